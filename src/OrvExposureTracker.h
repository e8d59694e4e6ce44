// Turns "the application used this feature" into at most one analytics event per
// application, bucket, experiment and group, remembered across launches in the
// exposure store. exposure() only queues work on the serial work queue (and may be
// called from any thread, also under the feature manager's lock); the rest runs on
// that queue, which makes each store check-then-write one step.
//
// Bounded work under read floods. While logging is off, a request whose outcome is
// already known to be nothing at all is not queued:
//  - with the queue idle, a request for a feature without an experiment, or whose
//    record is known to be stored, would run at once and only write a log line;
//  - a request for a key that already has a request waiting in the queue, with no
//    ordinary block queued between them, would see the state the waiting one leaves:
//    the record stored (or nothing to do), so it is folded into the waiting one. If
//    logging has been switched on by the time the waiting one runs, the folded ones
//    run right after it, so their log lines still appear.
// Events sent, records stored and log lines written are the same as when every request
// is queued; the queue holds at most one waiting request per key and epoch.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>

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

  // On the serial work queue only.
  void doExposure(const std::string& key);
  void trackExposureEvent(const OrvExperimentInfo& info);
  // 32 lower-case hexadecimal digits of the MD5 of `s`, up to its first NUL byte.
  std::string md5(const std::string& s) const;

  OrvExposureTracker(const OrvExposureTracker&) = delete;
  OrvExposureTracker& operator=(const OrvExposureTracker&) = delete;

 private:
  OrvExposureTracker() = default;
  void enqueue(const std::string& key);
  void runQueued(const std::string& key, std::uint64_t epoch);

  std::mutex waitingMutex_;
  // Guarded by waitingMutex_: for each key and queue epoch with a request queued but
  // not yet started, how many later requests were folded into it. A request of a newer
  // epoch gets an entry of its own, so an older waiting one keeps its folded count.
  std::map<std::pair<std::string, std::uint64_t>, std::uint64_t> waiting_;
};
