#include "platform/OrvSerialExecutor.h"

#include <chrono>
#include <cstdlib>
#include <exception>
#include <vector>

#include "OrvExpLog.h"

namespace {

constexpr auto kExitGracePeriod = std::chrono::seconds(2);

// Every executor ever made; leaked so that the exit handler can reach them however
// late it runs.
struct Registry {
  std::mutex mutex;
  std::vector<OrvSerialExecutor*> executors;
};
Registry& registry() {
  static Registry* r = new Registry();
  return *r;
}

}  // namespace

OrvSerialExecutor::OrvSerialExecutor(std::string name) : name_(std::move(name)) {
  static std::once_flag atExitOnce;
  std::call_once(atExitOnce, [] { std::atexit(&OrvSerialExecutor::stopAllAtExit); });
  {
    std::lock_guard lock(registry().mutex);
    registry().executors.push_back(this);
  }
  std::lock_guard lock(mutex_);
  worker_ = std::thread([this] { run(); });
  workerId_ = worker_.get_id();
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
    wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
    if (stopping_) break;
    std::function<void()> job = std::move(jobs_.front());
    jobs_.pop_front();
    lock.unlock();
    try {
      job();
    } catch (const std::exception& e) {
      OrvExpLog::error("%@: a job threw an exception: %@", name_, e.what());
    } catch (...) {
      OrvExpLog::error("%@: a job threw an exception", name_);
    }
    // Destroy the job (and whatever it captured) before taking the lock again.
    job = nullptr;
    lock.lock();
    outstanding_.fetch_sub(1, std::memory_order_acq_rel);
  }
  workerExited_ = true;
  exited_.notify_all();
}

void OrvSerialExecutor::stopForExit() {
  std::unique_lock lock(mutex_);
  stopping_ = true;
  // Queued jobs are dropped, not run: the process is going away. Move them out so
  // that their captures are destroyed outside the lock.
  std::deque<std::function<void()>> dropped;
  dropped.swap(jobs_);
  wake_.notify_all();
  if (std::this_thread::get_id() == workerId_) {
    // exit() was called from one of our own jobs: we cannot wait for ourselves.
    lock.unlock();
    return;
  }
  const bool finished = exited_.wait_for(lock, kExitGracePeriod, [this] { return workerExited_; });
  lock.unlock();
  if (finished && worker_.joinable()) {
    worker_.join();
  }
  // Otherwise a job is still running past the grace period: leave the worker behind.
  // The executor itself is never destroyed, so the thread keeps valid state.
}

void OrvSerialExecutor::stopAllAtExit() {
  std::vector<OrvSerialExecutor*> executors;
  {
    std::lock_guard lock(registry().mutex);
    executors = registry().executors;
  }
  for (OrvSerialExecutor* executor : executors) executor->stopForExit();
}
