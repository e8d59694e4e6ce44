// Turns "the application used this feature" into at most one analytics event per
// application, bucket, experiment and group, remembered across launches in the
// exposure store. exposure() only queues the work on the serial work queue and may be
// called from any thread, also under the feature manager's lock; the rest runs on that
// queue, which makes each store check-then-write one step. Stateless.
#pragma once

#include <string>

#include "OrvExperimentInfo.h"

class OrvExposureTracker {
 public:
  static constexpr const char* kEventName = "zu_experiment_exposure";

  static OrvExposureTracker& sharedInstance();

  void exposure(const std::string& key);
  // On the serial work queue only.
  void doExposure(const std::string& key);
  void trackExposureEvent(const OrvExperimentInfo& info);
  // 32 lower-case hexadecimal digits of the MD5 of `s`, up to its first NUL byte.
  std::string md5(const std::string& s) const;

  // "<bucket>_<experiment id>_<group id>", absent parts as empty text.
  static std::string exposureKeyString(const OrvExperimentInfo& info);

  OrvExposureTracker(const OrvExposureTracker&) = delete;
  OrvExposureTracker& operator=(const OrvExposureTracker&) = delete;

 private:
  OrvExposureTracker() = default;
};
