#include "OrvExposureTracker.h"

#include "OrvExpLog.h"
#include "OrvExperimentQueue.h"
#include "OrvExperimentStorage.h"
#include "OrvFeatureManager.h"
#include "OrvMediator.h"
#include "platform/OrvMD5.h"

OrvExposureTracker& OrvExposureTracker::sharedInstance() {
  static OrvExposureTracker* instance = new OrvExposureTracker();  // never destroyed
  return *instance;
}

void OrvExposureTracker::exposure(const std::string& key) { enqueue(key); }

void OrvExposureTracker::exposure(const std::string& key, const OrvFeature& feature) {
  if (!OrvExpLog::isEnableLog() && OrvExperimentQueue::sharedInstance().isIdle()) {
    // Queued now, the request would run at once, against this very table, and find
    // this feature: with nothing ahead of it, switching logging on "before it runs"
    // is a race the request could just as well have won.
    const auto& info = feature.experimentInfo();
    if (!info) return;  // it would only log "no relevant experiment"
    if (info->recordedGeneration() == OrvExperimentStorage::generation())
      return;  // "already exposed"
  }
  enqueue(key);
}

void OrvExposureTracker::enqueue(const std::string& key) {
  const bool logging = OrvExpLog::isEnableLog();
  OrvExperimentQueue::sharedInstance().executeExposure(
      [&](std::uint64_t epoch) -> std::function<void()> {
        if (logging) {
          // Every request must write its own line at its own place in the queue.
          return [this, key] { doExposure(key); };
        }
        std::lock_guard lock(waitingMutex_);
        // Only a request of the same epoch may absorb this one: an ordinary block
        // queued in between could change what it finds.
        auto [it, inserted] = waiting_.try_emplace({key, epoch}, 0);
        if (!inserted) {
          ++it->second;
          return {};
        }
        return [this, key, epoch] { runQueued(key, epoch); };
      });
}

void OrvExposureTracker::runQueued(const std::string& key, std::uint64_t epoch) {
  std::uint64_t folded = 0;
  {
    std::lock_guard lock(waitingMutex_);
    auto it = waiting_.find({key, epoch});
    if (it != waiting_.end()) {
      folded = it->second;
      waiting_.erase(it);
    }
  }
  doExposure(key);
  // The folded requests would each have found the outcome of this one: nothing to
  // do but a log line, which only matters if logging is now on.
  if (folded > 0 && OrvExpLog::isEnableLog()) {
    for (std::uint64_t i = 0; i < folded; ++i) doExposure(key);
  }
}

void OrvExposureTracker::doExposure(const std::string& key) {
  auto feature = OrvFeatureManager::sharedInstance().getFeature(key, false);
  if (!feature) return;
  const auto& info = feature->experimentInfo();
  if (!info) {
    OrvExpLog::info(OrvExpLog::kNoExperiment, key);
    return;
  }
  const std::string& recordKey = info->recordKey();
  const std::uint64_t generation = OrvExperimentStorage::generation();
  if (OrvExperimentStorage::getBoolForKey(recordKey, false)) {
    info->setRecordedGeneration(generation);
    OrvExpLog::info(OrvExpLog::kAlreadyExposed, key);
    return;
  }
  // Recorded before it is handed over: an exposure is never sent twice, even if the
  // process dies right after the hand-over.
  OrvExperimentStorage::putBool(true, recordKey);
  info->setRecordedGeneration(generation);
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

std::string OrvExposureTracker::md5(const std::string& s) const { return OrvMD5::hexOfText(s); }
