#include "OrvExposureTracker.h"

#include "OrvExpLog.h"
#include "OrvExperimentQueue.h"
#include "OrvExperimentStorage.h"
#include "OrvFeatureManager.h"
#include "OrvMediator.h"
#include "platform/OrvMD5.h"

namespace {

std::string textOrEmpty(const OrvValue& v) {
  return v.isAbsent() ? std::string() : v.description();
}

}  // namespace

OrvExposureTracker& OrvExposureTracker::sharedInstance() {
  static OrvExposureTracker* instance = new OrvExposureTracker();  // never destroyed
  return *instance;
}

void OrvExposureTracker::exposure(const std::string& key) {
  OrvExperimentQueue::sharedInstance().execute([this, key] { doExposure(key); });
}

void OrvExposureTracker::doExposure(const std::string& key) {
  auto feature = OrvFeatureManager::sharedInstance().getFeature(key, false);
  if (!feature) return;
  const auto& info = feature->experimentInfo();
  if (!info) {
    OrvExpLog::info(OrvExpLog::kNoExperiment, key);
    return;
  }
  const std::string recordKey = md5(exposureKeyString(*info));
  if (OrvExperimentStorage::getBoolForKey(recordKey, false)) {
    OrvExpLog::info(OrvExpLog::kAlreadyExposed, key);
    return;
  }
  // Recorded before it is handed over: an exposure is never sent twice, even if the
  // process dies right after the hand-over.
  OrvExperimentStorage::putBool(true, recordKey);
  trackExposureEvent(*info);
}

void OrvExposureTracker::trackExposureEvent(const OrvExperimentInfo& info) {
  OrvValue::Dictionary properties;
  if (!info.experimentId().isAbsent())
    properties.emplace_back("#experiment_id", info.experimentId());
  if (!info.experimentGroupId().isAbsent()) {
    properties.emplace_back("#experiment_group_id", info.experimentGroupId());
  }
  properties.emplace_back("#is_control_group", OrvValue(info.isControl()));
  OrvMediator::sharedInstance()->orvAnalyticsTrackEvent(
      kEventName, OrvValue::dictionary(std::move(properties)), "");
}

std::string OrvExposureTracker::md5(const std::string& s) const {
  return OrvMD5::hex(std::string_view(s.c_str()));  // up to the first NUL byte
}

std::string OrvExposureTracker::exposureKeyString(const OrvExperimentInfo& info) {
  return textOrEmpty(info.customBucketId()) + "_" + textOrEmpty(info.experimentId()) + "_" +
         textOrEmpty(info.experimentGroupId());
}
