// A first-in, first-out queue of jobs run one at a time on a worker thread of its own,
// the C++ form of a serial dispatch queue. submit() may be called from any thread,
// including from a running job; it never waits for a job.
//
// Lifetime: executors live for the whole process (create them with new and never
// delete them). At process exit (see OrvProcessLifetime) every executor stops: jobs
// still queued are dropped, a running job may finish within the shared grace period,
// and the worker is joined, so no library thread runs into static destruction. A job
// that never ends is left behind after the grace period rather than hanging the exit;
// the executor's state stays valid for it because the executor is never destroyed.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

class OrvLogChannel;

class OrvSerialExecutor {
 public:
  // A job that throws is reported on `log` (when given) and the queue goes on.
  explicit OrvSerialExecutor(std::string name, const OrvLogChannel* log = nullptr);

  // The library's background queue, made on first use: retries of the database, scans
  // for another process's leftovers, watchdogs, mostly submitted with submitAt(). Its
  // jobs are short, but one may deliver events and so run sinks.
  static OrvSerialExecutor& background();
  OrvSerialExecutor(const OrvSerialExecutor&) = delete;
  OrvSerialExecutor& operator=(const OrvSerialExecutor&) = delete;

  // Queues `job` behind everything already queued. An empty function is ignored.
  // After process exit has begun, jobs are dropped.
  void submit(std::function<void()> job);
  // Queues `job` at `at` (steady clock): it then runs behind what is queued at that
  // moment. Jobs due at the same time run in the order submitted. A job waiting for its
  // time is not pending (isIdle() and pendingCount() ignore it); at exit it is dropped.
  void submitAt(std::chrono::steady_clock::time_point at, std::function<void()> job);

  // Jobs waiting (not counting a running one), and the most ever waiting at once.
  std::size_t pendingCount() const;
  std::size_t peakPendingCount() const;
  // Starts a new peak measurement from the current queue length.
  void resetPeakPendingCount();
  // Jobs accepted since the executor was made.
  std::uint64_t submittedCount() const;
  // True when no job is queued or running. One atomic load.
  bool isIdle() const noexcept { return outstanding_.load(std::memory_order_acquire) == 0; }
  // Waits until every job submitted before this call has run, or until `deadline`.
  // False on timeout, after exit has begun, and at once inside one of this executor's
  // jobs (it would wait for itself).
  bool drain(std::chrono::steady_clock::time_point deadline);
  // True when called from inside one of this executor's jobs.
  bool isCurrentThread() const noexcept { return std::this_thread::get_id() == workerId_; }

 private:
  void run();
  // Moves the timed jobs that are due to the queue. Under mutex_.
  void releaseDueLocked();
  void beginStop();
  void waitStopped(std::chrono::steady_clock::time_point deadline);

  // Constant after construction.
  const std::string name_;
  const OrvLogChannel* const log_;
  // Jobs queued or running; changed under mutex_, read without it.
  std::atomic<std::uint64_t> outstanding_{0};

  mutable std::mutex mutex_;
  // Guarded by mutex_.
  std::condition_variable wake_;
  std::condition_variable exited_;
  std::deque<std::function<void()>> jobs_;
  // Jobs waiting for their time, by time and then submission order.
  std::multimap<std::chrono::steady_clock::time_point, std::function<void()>> timed_;
  std::size_t peak_ = 0;
  std::uint64_t submitted_ = 0;
  bool stopping_ = false;
  bool workerExited_ = false;
  std::thread worker_;
  // Written once in the constructor, before any job can run.
  std::thread::id workerId_;
};
