// The library's serial work queue: loading features, remembering exposures and sending
// exposure events all run here, strictly one after another in the order asked for,
// off the caller's thread. One instance per process, never destroyed. Every member may
// be called from any thread (including under the feature manager's lock); nothing
// waits for a block.
//
// Blocks come in two sorts. Ordinary blocks (execute) may change what later work sees
// (a reload, a start-up step); each one starts a new "epoch". Exposure blocks
// (executeExposure) only read the table and record exposures; the exposure tracker
// uses the epoch to tell whether an exposure still waiting in the queue would see the
// same state as a new request for the same key.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>

#include "platform/execution/OrvSerialExecutor.h"

class OrvExperimentQueue {
 public:
  static OrvExperimentQueue& sharedInstance();

  // Queues `block` behind everything already queued; an empty function is ignored.
  void execute(std::function<void()> block);

  // Calls `decide(epoch)` with the number of ordinary blocks queued so far, under the
  // same lock that orders submissions, and queues the block it returns (if any). So an
  // epoch seen here can only change through an ordinary block queued after this one.
  template <class Decide>
  void executeExposure(Decide&& decide) {
    std::lock_guard lock(submitMutex_);
    std::function<void()> block = decide(epoch_);
    if (block) queue_.submit(std::move(block));
  }

  // True when no block of any sort is queued or running.
  bool isIdle() const noexcept { return queue_.isIdle(); }

  // Waits until every block queued before this call has run, or until `deadline`.
  // False on timeout, and at once on the queue's own thread (it would wait for itself).
  bool drain(std::chrono::steady_clock::time_point deadline);

  OrvSerialExecutor& serialQueue() { return queue_; }

 private:
  OrvExperimentQueue();

  OrvSerialExecutor queue_;
  std::mutex submitMutex_;
  std::uint64_t epoch_ = 0;  // guarded by submitMutex_
};
