// Turns "the application used this feature" into at most one analytics event per
// application, bucket, experiment and group, remembered across launches and across
// processes in the exposure store. exposure() only queues work on the serial work
// queue (and may be called from any thread, also under the feature manager's lock);
// the rest runs on that queue.
//
// Recording an exposure and storing its event are one transaction in the store's
// database (see OrvExperimentStorage::recordExposures), decided by the database, so a
// record written by another process is respected and an event is never lost between
// the two. The events then go to the mediator, which delivers them from the outbox.
//
// Group commit and bounded work under read floods. While logging is off, requests
// queued together (no ordinary block between them) share one job and one transaction;
// a repeated key adds nothing to it. A request whose outcome is already known to be
// nothing at all is not queued when the queue is idle: a feature without an
// experiment, or whose record this process knows to be stored. If logging has been
// switched on by the time a shared job runs, the repeated requests are run after it so
// their log lines still appear. With logging on, every request is its own job, so each
// writes its line at its own place in the queue.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "OrvExperimentInfo.h"
#include "OrvFeature.h"

class OrvExposureTracker {
 public:
  static constexpr const char* kEventName = "zu_experiment_exposure";

  static OrvExposureTracker& sharedInstance();

  // A request for `key`, as the public exposure call makes it.
  void exposure(const std::string& key);
  // The same, from a lookup that found `feature` for `key` in the current table.
  void exposure(const std::string& key, const OrvFeature& feature);

  // On the serial work queue only: the requests for `keys`, in order.
  void doExposures(const std::vector<std::string>& keys);
  void doExposure(const std::string& key) { doExposures({key}); }
  // The event's properties: the identifiers that are present and the control flag.
  static OrvValue eventProperties(const OrvExperimentInfo& info);
  // The event's analysis context (OrvMediatorEvent::context): the unit, and the split
  // and intended share when the membership carries a usable "#split"; absent without
  // a bucket identifier.
  static OrvValue eventContext(const OrvExperimentInfo& info);

  OrvExposureTracker(const OrvExposureTracker&) = delete;
  OrvExposureTracker& operator=(const OrvExposureTracker&) = delete;

 private:
  OrvExposureTracker() = default;
  struct Batch {
    std::uint64_t epoch = 0;  // the queue epoch its job was queued in
    std::vector<std::string> keys;
    std::unordered_map<std::string, std::uint64_t> repeats;  // requests beyond the first
  };
  void enqueue(const std::string& key);
  void runBatch(const std::shared_ptr<Batch>& batch);

  std::mutex batchMutex_;
  // Guarded by batchMutex_: the batch whose job is queued but not yet started.
  std::shared_ptr<Batch> open_;
};
