#include "OrvExposureTracker.h"

#include <unordered_set>

#include "OrvAssignment.h"
#include "OrvExpLog.h"
#include "OrvExperimentQueue.h"
#include "OrvExperimentStorage.h"
#include "OrvFeatureManager.h"
#include "OrvMediator.h"
#include "platform/values/OrvMD5.h"

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
        if (logging) return [this, key] { doExposure(key); };
        std::lock_guard lock(batchMutex_);
        if (open_ && open_->epoch == epoch) {
          // Its job is still waiting and no ordinary block lies between: it will see
          // the same table this request would.
          auto [it, added] = open_->repeats.try_emplace(key, 0);
          if (added) {
            open_->keys.push_back(key);
          } else {
            ++it->second;
          }
          return {};
        }
        open_ = std::make_shared<Batch>();
        open_->epoch = epoch;
        open_->keys.push_back(key);
        open_->repeats.emplace(key, 0);
        return [this, batch = open_] { runBatch(batch); };
      });
}

void OrvExposureTracker::runBatch(const std::shared_ptr<Batch>& batch) {
  {
    // Closed from now on: a later request queues a job of its own.
    std::lock_guard lock(batchMutex_);
    if (open_ == batch) open_.reset();
  }
  doExposures(batch->keys);
  // The repeated requests would each have found the outcome of the first: nothing to
  // do but a log line, which only matters if logging is now on.
  if (!OrvExpLog::isEnableLog()) return;
  for (const auto& key : batch->keys) {
    for (std::uint64_t i = 0; i < batch->repeats[key]; ++i) doExposure(key);
  }
}

void OrvExposureTracker::doExposures(const std::vector<std::string>& keys) {
  struct Pending {
    const std::string* key;
    std::shared_ptr<const OrvFeature> feature;  // keeps its table, and so `info`, alive
    const OrvExperimentInfo* info;
  };
  std::vector<Pending> pending;
  std::vector<std::string> recordKeys;
  std::vector<OrvOutboxEvent> events;
  std::unordered_set<std::string> inThisBatch;
  const std::uint64_t generation = OrvExperimentStorage::generation();
  const std::string appId = OrvExperimentStorage::appId();
  for (const std::string& key : keys) {
    auto feature = OrvFeatureManager::sharedInstance().getFeature(key, false);
    if (!feature) continue;
    const OrvExperimentInfo* info = feature->experimentInfo();
    if (!info) {
      OrvExpLog::info(feature->isOverride() ? OrvExpLog::kOverridden : OrvExpLog::kNoExperiment,
                      key);
      continue;
    }
    // Known stored in this generation: records are only ever removed through the
    // store, which starts a new generation.
    if (info->recordedGeneration() == generation) {
      OrvExpLog::info(OrvExpLog::kAlreadyExposed, key);
      continue;
    }
    const std::string& recordKey = info->recordKey();
    if (recordKey.empty()) {
      // Without MD5 every record would share one key and all but the first exposure
      // would be taken as sent: better none recorded than all merged.
      OrvExpLog::error("MD5 is not available; exposure of %@ neither recorded nor sent", key);
      continue;
    }
    if (!inThisBatch.insert(recordKey).second) {
      OrvExpLog::info(OrvExpLog::kAlreadyExposed, key);  // another feature of the experiment
      continue;
    }
    pending.push_back({&key, feature, info});
    recordKeys.push_back(recordKey);
    OrvOutboxEvent event;
    event.appId = appId;
    event.name = kEventName;
    event.properties = eventProperties(*info);
    event.context = eventContext(*info);
    events.push_back(std::move(event));
  }
  if (pending.empty()) return;
  const std::vector<OrvRecordOutcome> outcomes =
      OrvExperimentStorage::recordExposures(std::move(recordKeys), std::move(events));
  for (std::size_t i = 0; i < pending.size(); ++i) {
    // One that waits is the store's to decide: it records it (or finds it recorded)
    // once the database can be checked, so this process need not ask again.
    pending[i].info->setRecordedGeneration(generation);
    if (outcomes[i] == OrvRecordOutcome::kAlreadyRecorded)
      OrvExpLog::info(OrvExpLog::kAlreadyExposed, *pending[i].key);
  }
  // In test mode the events stay in memory: the mediator would open the outbox on disk.
  if (!OrvExperimentStorage::memoryOnly()) OrvMediator::sharedInstance()->deliverPending();
}

OrvValue OrvExposureTracker::eventContext(const OrvExperimentInfo& info) {
  if (info.customBucketId().isAbsent()) return OrvValue();
  OrvValue::Dictionary context = {
      {"unit", OrvValue(OrvAssignment::identifierText(info.customBucketId()))}};
  const std::string group = OrvAssignment::identifierText(info.experimentGroupId());
  if (const auto share = OrvAssignment::intendedShare(info.split(), group)) {
    context.emplace_back("split", info.split());
    context.emplace_back("intended_share", OrvValue(*share));
  }
  return OrvValue::dictionary(std::move(context));
}

OrvValue OrvExposureTracker::eventProperties(const OrvExperimentInfo& info) {
  OrvValue::Dictionary properties;
  if (!info.experimentId().isAbsent())
    properties.emplace_back("#experiment_id", info.experimentId());
  if (!info.experimentGroupId().isAbsent())
    properties.emplace_back("#experiment_group_id", info.experimentGroupId());
  properties.emplace_back("#is_control_group", OrvValue(info.isControl()));
  return OrvValue::dictionary(std::move(properties));
}
