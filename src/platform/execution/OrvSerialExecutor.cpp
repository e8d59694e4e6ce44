#include "platform/execution/OrvSerialExecutor.h"

#include <exception>
#include <memory>

#include "platform/execution/OrvProcessLifetime.h"
#include "platform/logs/OrvLogChannel.h"

OrvSerialExecutor::OrvSerialExecutor(std::string name, const OrvLogChannel* log)
    : name_(std::move(name)), log_(log) {
  // Before the worker exists: third-party libraries are set up, and our exit handler
  // registered after them (see OrvProcessLifetime).
  OrvProcessLifetime::initialise();
  // All executors are told to stop first, then waited for, so that they wind down
  // together within one grace period.
  if (!OrvProcessLifetime::addHooks([this] { beginStop(); },
                                    [this](auto deadline) { waitStopped(deadline); })) {
    // Made while the process exits: no worker, since nothing would join it; every job
    // submitted is dropped, as queued jobs are at exit.
    std::lock_guard lock(mutex_);
    stopping_ = true;
    workerExited_ = true;
    return;
  }
  std::lock_guard lock(mutex_);
  worker_ = std::thread([this] { run(); });
  workerId_ = worker_.get_id();
}

OrvSerialExecutor& OrvSerialExecutor::background() {
  static auto* queue = new OrvSerialExecutor("background");  // never destroyed
  return *queue;
}

void OrvSerialExecutor::submit(std::function<void()> job) {
  if (!job) return;
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    jobs_.push_back(std::move(job));
    outstanding_.fetch_add(1, std::memory_order_acq_rel);
    ++submitted_;
    if (jobs_.size() > peak_) peak_ = jobs_.size();
  }
  wake_.notify_one();
}

void OrvSerialExecutor::submitAt(std::chrono::steady_clock::time_point at,
                                 std::function<void()> job) {
  if (!job) return;
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    timed_.emplace(at, std::move(job));  // after any other job of the same time
  }
  wake_.notify_one();
}

void OrvSerialExecutor::releaseDueLocked() {
  const auto now = std::chrono::steady_clock::now();
  while (!timed_.empty() && timed_.begin()->first <= now) {
    jobs_.push_back(std::move(timed_.begin()->second));
    timed_.erase(timed_.begin());
    outstanding_.fetch_add(1, std::memory_order_acq_rel);
    ++submitted_;
    if (jobs_.size() > peak_) peak_ = jobs_.size();
  }
}

std::size_t OrvSerialExecutor::pendingCount() const {
  std::lock_guard lock(mutex_);
  return jobs_.size();
}

void OrvSerialExecutor::resetPeakPendingCount() {
  std::lock_guard lock(mutex_);
  peak_ = jobs_.size();
}

std::uint64_t OrvSerialExecutor::submittedCount() const {
  std::lock_guard lock(mutex_);
  return submitted_;
}

std::size_t OrvSerialExecutor::peakPendingCount() const {
  std::lock_guard lock(mutex_);
  return peak_;
}

void OrvSerialExecutor::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    releaseDueLocked();
    if (stopping_) break;
    if (jobs_.empty()) {
      if (timed_.empty()) {
        wake_.wait(lock);
      } else {
        // A copy: the node may be gone (run, or dropped at exit) before the wait ends.
        const auto due = timed_.begin()->first;
        wake_.wait_until(lock, due);
      }
      continue;
    }
    std::function<void()> job = std::move(jobs_.front());
    jobs_.pop_front();
    lock.unlock();
    // A job that throws loses only itself; the queue goes on with the next one. Jobs
    // that owe someone an outcome catch for themselves and report it.
    try {
      job();
    } catch (const std::exception& e) {
      if (log_) log_->error("%@: a job threw an exception: %@", name_, e.what());
    } catch (...) {
      if (log_) log_->error("%@: a job threw an exception", name_);
    }
    // Destroy the job (and whatever it captured) before taking the lock again.
    job = nullptr;
    lock.lock();
    outstanding_.fetch_sub(1, std::memory_order_acq_rel);
  }
  workerExited_ = true;
  exited_.notify_all();
}

void OrvSerialExecutor::beginStop() {
  // Queued jobs are dropped, not run: the process is going away. Their captures are
  // destroyed outside the lock.
  std::deque<std::function<void()>> dropped;
  std::multimap<std::chrono::steady_clock::time_point, std::function<void()>> droppedTimed;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    dropped.swap(jobs_);
    droppedTimed.swap(timed_);
  }
  wake_.notify_all();
}

void OrvSerialExecutor::waitStopped(std::chrono::steady_clock::time_point deadline) {
  // exit() called from one of our own jobs: we cannot wait for ourselves.
  if (isCurrentThread()) return;
  std::unique_lock lock(mutex_);
  const bool finished = exited_.wait_until(lock, deadline, [this] { return workerExited_; });
  lock.unlock();
  if (finished && worker_.joinable()) worker_.join();
}

bool OrvSerialExecutor::drain(std::chrono::steady_clock::time_point deadline) {
  if (isCurrentThread() || OrvProcessLifetime::exiting()) return false;
  // Jobs run in submission order, so once one submitted now has run, so has every
  // earlier one. The marker is shared: a timed-out wait leaves it to the job.
  struct Marker {
    std::mutex mutex;
    std::condition_variable reached;
    bool done = false;  // guarded by mutex
  };
  auto marker = std::make_shared<Marker>();
  submit([marker] {
    std::lock_guard lock(marker->mutex);
    marker->done = true;
    marker->reached.notify_all();
  });
  std::unique_lock lock(marker->mutex);
  return marker->reached.wait_until(lock, deadline, [&] { return marker->done; });
}
