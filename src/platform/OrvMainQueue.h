// The main queue: where completion listeners run. By default a dedicated library
// thread that runs jobs one at a time in submission order; an application with its
// own event loop installs an executor (OrvPlatform::setMainQueueExecutor) and then
// receives every job instead. async() never runs the job inside the call.
#pragma once

#include <functional>

class OrvLogChannel;

class OrvMainQueue {
 public:
  OrvMainQueue() = delete;
  static void async(std::function<void()> job);
  static void setExecutor(std::function<void(std::function<void()>)> executor);
  // Where the default queue reports a job that throws. Takes effect only before the
  // queue's first job (the library sets it while it loads).
  static void setLogChannel(const OrvLogChannel* log);
};
