/// @file
/// A completion task: how the application learns how a start-up fetch or a fetch()
/// ended. Success listeners take no arguments; failure listeners take the component's
/// integer code and message. Every listener runs on the main queue (see OrvPlatform),
/// never inside the call that reported the outcome, one at a time, in the order added.
/// The listener list is read when a delivery runs, so a listener added after an outcome
/// was reported but before its delivery ran hears it; listeners stay registered for
/// later deliveries, and nothing is replayed: a task made with create() that had no
/// listener when a delivery ran never hears that outcome.
///
/// Waiting for an outcome inside a listener (or any job of the main queue) blocks until
/// the wait's own timeout: the outcome is delivered on the main queue, behind the job
/// that waits. A task from whenReady() or fetch() asked for on the main queue whose
/// outcome has waited a second behind the job that asked is reported with an error line.
/// Add a listener instead, or wait on a thread of your own.
///
/// A task the library makes and returns (fetch()) is the one exception: the main queue
/// is a thread of its own, so a fast outcome could otherwise be delivered before the
/// caller had the chance to add listeners. Such a task keeps an outcome that found no
/// listener of its kind (up to 16 outcomes) and delivers it, on the main queue, once a
/// listener of its kind is added. Kept outcomes go out in the order they were reported:
/// none is overtaken by a later outcome, kept or not.
///
/// Thread-safety: listeners may be added from any thread at any time, also while a
/// delivery runs. A delivery walks the list as it stood when it began; a listener added
/// meanwhile is called from the next delivery on.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "OrvExperiment/OrvExport.h"

/// A completion task (see OrvExperimentTask.h): the success and failure listeners that
/// hear how a start-up fetch or a fetch() ended.
class ORV_EXPORT OrvExperimentTask : public std::enable_shared_from_this<OrvExperimentTask> {
 public:
  /// A listener of success; takes no arguments.
  using SuccessListener = std::function<void()>;
  /// A listener of failure; takes the component's integer code and message.
  using FailureListener = std::function<void(std::int64_t code, const std::string& message)>;

  /// A new task with no listener, for OrvExperimentConfig::setStartupTask. It keeps no
  /// outcome that found no listener (see OrvExperimentTask.h).
  static std::shared_ptr<OrvExperimentTask> create();

  /// Appends the listener (an empty function is ignored) and returns this task, so
  /// that calls chain: task->addOnSuccessListener(a)->addOnFailureListener(b).
  /// @{
  std::shared_ptr<OrvExperimentTask> addOnSuccessListener(SuccessListener listener);
  std::shared_ptr<OrvExperimentTask> addOnFailureListener(FailureListener listener);
  /// @}

  /// Snapshots of the lists, and whole-list replacement.
  /// @{
  std::vector<SuccessListener> successListeners() const;
  void setSuccessListeners(std::vector<SuccessListener> listeners);
  std::vector<FailureListener> failureListeners() const;
  void setFailureListeners(std::vector<FailureListener> listeners);
  /// @}

 private:
  OrvExperimentTask() = default;
  friend struct OrvExperimentTaskAccess;

  // Lists are replaced, never changed in place, so a delivery can walk a snapshot
  // without holding the lock while listeners run.
  mutable std::mutex mutex_;
  // Guarded by mutex_.
  std::shared_ptr<const std::vector<SuccessListener>> successListeners_;
  std::shared_ptr<const std::vector<FailureListener>> failureListeners_;
  struct Outcome {
    bool success = false;
    std::int64_t code = 0;
    std::string message;
  };
  std::vector<Outcome> unheard_;  // oldest first; only when keepsUnheard_

  // Constant after construction: set for tasks the library returns, with the main-queue
  // job that asked for the task (0: none), whose listener may wait for its outcome.
  bool keepsUnheard_ = false;
  std::uint64_t askedInMainQueueJob_ = 0;
};
