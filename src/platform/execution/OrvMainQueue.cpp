#include "platform/execution/OrvMainQueue.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <utility>

#include "platform/execution/OrvSerialExecutor.h"

namespace {

using Executor = std::function<void(std::function<void()>)>;

struct MainQueueState {
  std::mutex mutex;
  std::shared_ptr<const Executor> custom;  // guarded by mutex; null means the default
  std::atomic<const OrvLogChannel*> log{nullptr};
  std::atomic<std::uint64_t> lastJob{0};
  std::atomic<std::uint64_t> running{0};
};

thread_local std::uint64_t tlJob = 0;

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
  const std::uint64_t number = state().lastJob.fetch_add(1, std::memory_order_relaxed) + 1;
  job = [number, job = std::move(job)] {
    // Restored afterwards: an application's loop may run one job inside another.
    struct Running {
      std::uint64_t thread = std::exchange(tlJob, 0);
      std::uint64_t queue = state().running.load(std::memory_order_relaxed);
      ~Running() {
        tlJob = thread;
        state().running.store(queue, std::memory_order_relaxed);
      }
    } running;
    tlJob = number;
    state().running.store(number, std::memory_order_relaxed);
    job();
  };
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

std::uint64_t OrvMainQueue::currentJob() noexcept { return tlJob; }

std::uint64_t OrvMainQueue::runningJob() noexcept {
  return state().running.load(std::memory_order_relaxed);
}

bool OrvMainQueue::drain(std::chrono::steady_clock::time_point deadline) {
  if (tlJob != 0) return false;
  {
    std::lock_guard lock(state().mutex);
    if (state().custom) return false;
  }
  return defaultQueue().drain(deadline);
}
