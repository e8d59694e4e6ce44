#include "platform/OrvMainQueue.h"

#include <atomic>
#include <memory>
#include <mutex>

#include "platform/OrvSerialExecutor.h"

namespace {

using Executor = std::function<void(std::function<void()>)>;

struct MainQueueState {
  std::mutex mutex;
  std::shared_ptr<const Executor> custom;  // guarded by mutex; null means the default
  std::atomic<const OrvLogChannel*> log{nullptr};
};

MainQueueState& state() {
  static MainQueueState* s = new MainQueueState();
  return *s;
}

OrvSerialExecutor& defaultQueue() {
  // Created on first use, never destroyed (see OrvSerialExecutor's lifetime notes).
  static OrvSerialExecutor* q = new OrvSerialExecutor("main queue", state().log.load());
  return *q;
}

}  // namespace

void OrvMainQueue::async(std::function<void()> job) {
  if (!job) return;
  std::shared_ptr<const Executor> custom;
  {
    std::lock_guard lock(state().mutex);
    custom = state().custom;
  }
  if (custom) {
    (*custom)(std::move(job));
  } else {
    defaultQueue().submit(std::move(job));
  }
}

void OrvMainQueue::setExecutor(std::function<void(std::function<void()>)> executor) {
  std::shared_ptr<const Executor> replacement;
  if (executor) replacement = std::make_shared<const Executor>(std::move(executor));
  std::lock_guard lock(state().mutex);
  state().custom = std::move(replacement);
}

void OrvMainQueue::setLogChannel(const OrvLogChannel* log) { state().log.store(log); }
