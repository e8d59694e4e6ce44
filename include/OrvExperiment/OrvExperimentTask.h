// A completion task: how the application learns how a start-up fetch or a fetch()
// ended. Success listeners take no arguments; failure listeners take the component's
// integer code and message. Every listener runs on the main queue (see OrvPlatform),
// never inside the call that reported the outcome, one at a time, in the order added.
// The listener list is read when a delivery runs, so a listener added after an outcome
// was reported but before its delivery ran hears it; listeners stay registered for
// later deliveries, and an outcome delivered while the task had listeners is not
// replayed to listeners added later.
//
// One exception keeps outcomes from being lost to timing: the main queue is a thread
// of its own, so a fast outcome can be delivered before the caller of fetch() had the
// chance to add listeners. An outcome delivered while the task had no listener of its
// kind is therefore kept (up to 16 per kind) and delivered, on the main queue, to the
// first listener of that kind added later.
//
// Thread-safety: listeners may be added from any thread at any time, also while a
// delivery runs. A delivery walks the list as it stood when it began; a listener added
// meanwhile is called from the next delivery on.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

class OrvExperimentTask : public std::enable_shared_from_this<OrvExperimentTask> {
 public:
  using SuccessListener = std::function<void()>;
  using FailureListener = std::function<void(std::int64_t code, const std::string& message)>;

  static std::shared_ptr<OrvExperimentTask> create();

  // Appends the listener (an empty function is ignored) and returns this task, so
  // that calls chain: task->addOnSuccessListener(a)->addOnFailureListener(b).
  std::shared_ptr<OrvExperimentTask> addOnSuccessListener(SuccessListener listener);
  std::shared_ptr<OrvExperimentTask> addOnFailureListener(FailureListener listener);

  // Snapshots of the lists, and whole-list replacement.
  std::vector<SuccessListener> successListeners() const;
  void setSuccessListeners(std::vector<SuccessListener> listeners);
  std::vector<FailureListener> failureListeners() const;
  void setFailureListeners(std::vector<FailureListener> listeners);

 private:
  OrvExperimentTask() = default;
  friend struct OrvExperimentTaskAccess;

  // Lists are replaced, never changed in place, so a delivery can walk a snapshot
  // without holding the lock while listeners run.
  mutable std::mutex mutex_;
  // Guarded by mutex_.
  std::shared_ptr<const std::vector<SuccessListener>> successListeners_;
  std::shared_ptr<const std::vector<FailureListener>> failureListeners_;
  std::uint32_t unheardSuccesses_ = 0;
  std::vector<std::pair<std::int64_t, std::string>> unheardFailures_;
};
