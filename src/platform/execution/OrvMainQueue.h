// The main queue: where completion listeners run. By default a dedicated library
// thread that runs jobs one at a time in submission order; an application with its
// own event loop installs an executor (OrvPlatform::setMainQueueExecutor) and then
// receives every job instead. async() never runs the job inside the call.
#pragma once

#include <chrono>
#include <cstdint>
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

  // Every job gets a number when submitted. The number of the job this thread is
  // running (0 when it runs none), and of the job running on the main queue now,
  // wherever it runs (0 when none is): a job that waits for another job queued behind
  // it waits for ever, which these let the library notice.
  static std::uint64_t currentJob() noexcept;
  static std::uint64_t runningJob() noexcept;

  // Waits until every job submitted before this call has run, or until `deadline`: false
  // on timeout, and at once inside a main-queue job or while an application executor
  // is installed (the application runs its jobs, maybe on this very thread).
  static bool drain(std::chrono::steady_clock::time_point deadline);
};
