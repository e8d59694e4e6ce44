#include "OrvFeatureManager.h"

#include <utility>

#include "OrvAssignment.h"
#include "OrvExpLog.h"
#include "OrvExposureTracker.h"
#include "OrvFeatureParser.h"
#include "OrvRemoteConfig.h"
#include "OrvStickyAssignments.h"
#include "OrvTableWatch.h"

OrvFeatureManager::OrvFeatureManager() : snapshot_(std::make_shared<const Snapshot>()) {}

OrvFeatureManager& OrvFeatureManager::sharedInstance() {
  static OrvFeatureManager* instance = new OrvFeatureManager();  // never destroyed
  return *instance;
}

void OrvFeatureManager::setConfig(std::shared_ptr<OrvExperimentConfig> config) {
  std::vector<std::shared_ptr<const Snapshot>> released;  // after the lock
  std::lock_guard lock(mutex_);
  Snapshot next = *snapshot_;
  next.config = std::move(config);
  released = publishLocked(std::move(next));
}

std::vector<std::shared_ptr<const OrvFeatureManager::Snapshot>> OrvFeatureManager::publishLocked(
    Snapshot next) {
  std::vector<std::shared_ptr<const Snapshot>> released;
  {
    std::lock_guard retiredLock(retiredMutex_);
    released.swap(retired_);
  }
  released.push_back(std::exchange(snapshot_, std::make_shared<const Snapshot>(std::move(next))));
  generation_.fetch_add(1, std::memory_order_release);
  return released;
}

const OrvFeatureManager::Snapshot& OrvFeatureManager::current() {
  // The manager is a singleton, so one slot per thread is enough.
  thread_local std::uint64_t seen = 0;
  thread_local std::shared_ptr<const Snapshot> held;
  if (generation_.load(std::memory_order_acquire) != seen) {
    std::shared_ptr<const Snapshot> old;
    {
      std::lock_guard lock(mutex_);
      old = std::exchange(held, snapshot_);
      seen = generation_.load(std::memory_order_relaxed);
    }
    // Freeing a large table would stall this read by milliseconds, and handing it to
    // another thread to free would wake that thread, which on a busy machine takes
    // this one's core: the next writer frees it.
    if (old && old.use_count() == 1) {
      std::lock_guard retiredLock(retiredMutex_);
      retired_.push_back(std::move(old));
    }
  }
  return *held;
}

const OrvFeature* OrvFeatureManager::findAndTrack(const Snapshot& snapshot,
                                                  const std::string& key) {
  if (!snapshot.features) return nullptr;
  const OrvFeature* found = snapshot.features->find(key);
  // The tracker only queues work, so calling it from a read cannot block.
  if (found && snapshot.config && snapshot.config->automaticExposureTracking()) {
    OrvExposureTracker::sharedInstance().exposure(key, *found);
  }
  return found;
}

std::shared_ptr<const OrvFeature> OrvFeatureManager::getFeature(const std::string& key,
                                                                bool trackExposure) {
  const Snapshot& snapshot = current();
  const OrvFeature* found = trackExposure       ? findAndTrack(snapshot, key)
                            : snapshot.features ? snapshot.features->find(key)
                                                : nullptr;
  return found ? std::shared_ptr<const OrvFeature>(snapshot.features, found) : nullptr;
}

void OrvFeatureManager::parseExperimentConfig() {
  std::shared_ptr<OrvExperimentConfig> config = this->config();
  if (!config) {
    // A console sink is application code: never called under the manager's lock.
    OrvExpLog::error(OrvExpLog::kConfigNil);
    return;
  }
  if (config->overrideMode() == OrvOverrideMode::kLocalOnly) {
    load(config, OrvValue(), OrvValueSource::kOverride);  // the payload plays no part
    return;
  }
  auto data = OrvRemoteConfig::getDataWithAppId(config->appId(), kTemplateCode);
  auto value = data->get()(kTemplateCode);
  if (!value) {
    load(config, OrvValue(), OrvValueSource::kDefault);
    return;
  }
  load(config, value->objectValue(),
       value->fromCache() ? OrvValueSource::kCache : OrvValueSource::kNetwork);
}

void OrvFeatureManager::loadPayload(const OrvValue& payload, OrvValueSource source) {
  std::shared_ptr<OrvExperimentConfig> config = this->config();
  if (!config) {
    OrvExpLog::error(OrvExpLog::kConfigNil);
    return;
  }
  load(config, payload, source);
}

void OrvFeatureManager::load(const std::shared_ptr<OrvExperimentConfig>& config,
                             const OrvValue& payload, OrvValueSource source) {
  // A local-only table holds overrides alone, whatever payload a caller has at hand.
  if (config->overrideMode() == OrvOverrideMode::kLocalOnly) source = OrvValueSource::kOverride;
  std::shared_ptr<const OrvFeatureTable> previous;
  OrvValue fromFile;
  {
    std::lock_guard lock(mutex_);
    previous = snapshot_->features;
    fromFile = fileOverrides_;
  }
  OrvValue overrides = config->overrides();
  if (overrides.size() == 0) {
    overrides = std::move(fromFile);
  } else if (fromFile.size() > 0) {
    // The file's entries come last, so they win (a dictionary keeps a key's last).
    OrvValue::Dictionary joined = overrides.entries();
    joined.insert(joined.end(), fromFile.entries().begin(), fromFile.entries().end());
    overrides = OrvValue::dictionary(std::move(joined));
  }
  // Built without the lock: reads go on against the current table meanwhile. Loads
  // run one at a time on the work queue, so no other load can slip in between. A
  // payload without "#groups" (every payload an assigning server resolved) goes to the
  // parser as it is.
  std::shared_ptr<const OrvFeatureTable> table = OrvFeatureParser::parse(
      source != OrvValueSource::kOverride && OrvAssignment::hasGroups(payload)
          ? assignGroups(payload, *config)
          : payload,
      previous.get(), overrides, config->overrideMode());
  std::vector<std::shared_ptr<const Snapshot>> released;
  {
    std::lock_guard lock(mutex_);
    Snapshot next = *snapshot_;  // the configuration may have changed meanwhile
    next.features = table;
    next.source = source;
    released = publishLocked(std::move(next));
  }
  // The old table is released here, outside the lock, however large it is.
  if (source != OrvValueSource::kDefault)
    OrvTableWatch::sharedInstance().tableLoaded(previous.get(), *table);
}

OrvValue OrvFeatureManager::assignGroups(const OrvValue& payload,
                                         const OrvExperimentConfig& config) {
  if (const std::string problem = OrvAssignment::problemOf(payload); !problem.empty()) {
    OrvExpLog::error(OrvExpLog::kGroupsUnusable, problem);
    return OrvAssignment::withoutGroups(payload);
  }
  const std::string unit = this->unit(config);
  OrvStickyAssignments memory(config.appId());
  std::vector<std::string> leftOut;
  OrvValue resolved = OrvAssignment::resolve(payload, unit, &memory, &leftOut);
  if (!leftOut.empty()) {
    std::string names;
    for (const std::string& id : leftOut) names += (names.empty() ? "" : ", ") + id;
    OrvExpLog::error(OrvExpLog::kNoUnit, names);
  }
  return resolved;
}

std::string OrvFeatureManager::unit(const OrvExperimentConfig& config) {
  OrvValue bucketId;
  OrvValue fetchParams;
  {
    std::lock_guard lock(mutex_);
    bucketId = laterBucketId_;
    fetchParams = laterFetchParams_;
  }
  if (bucketId.isAbsent()) bucketId = config.customBucketId();
  if (fetchParams.isAbsent()) fetchParams = config.customFetchParams();
  return OrvAssignment::unitOf(
      OrvValue::dictionary({{"bucket_id", bucketId}, {"fetch_params", fetchParams}}));
}

void OrvFeatureManager::setBucketId(OrvValue bucketId) {
  std::lock_guard lock(mutex_);
  laterBucketId_ = std::move(bucketId);
}

void OrvFeatureManager::setFetchParams(OrvValue params) {
  std::lock_guard lock(mutex_);
  laterFetchParams_ = std::move(params);
}

void OrvFeatureManager::setFileOverrides(OrvValue overrides) {
  std::lock_guard lock(mutex_);
  fileOverrides_ = std::move(overrides);
}

void OrvFeatureManager::reapplyOverrides() {
  std::shared_ptr<OrvExperimentConfig> config;
  OrvValue payload;
  OrvValueSource source = OrvValueSource::kDefault;
  {
    std::lock_guard lock(mutex_);
    config = snapshot_->config;
    if (snapshot_->features) payload = snapshot_->features->payload();
    source = snapshot_->source;
  }
  if (config) load(config, payload, source);
}

void OrvFeatureManager::reset() {
  std::vector<std::shared_ptr<const Snapshot>> released;
  OrvValue overrides;
  std::lock_guard lock(mutex_);
  overrides = std::exchange(fileOverrides_, OrvValue());
  laterBucketId_ = OrvValue();
  laterFetchParams_ = OrvValue();
  released = publishLocked(Snapshot{});
}

std::shared_ptr<OrvExperimentConfig> OrvFeatureManager::config() const {
  std::lock_guard lock(mutex_);
  return snapshot_->config;
}

std::shared_ptr<const OrvFeatureTable> OrvFeatureManager::features() const {
  std::lock_guard lock(mutex_);
  return snapshot_->features;
}

void OrvFeatureManager::setFeatures(std::shared_ptr<const OrvFeatureTable> features) {
  // The replaced table and snapshot are released after the lock: freeing a large table
  // takes milliseconds, and a reader picking up the new one waits for this lock.
  std::vector<std::shared_ptr<const Snapshot>> released;
  std::lock_guard lock(mutex_);
  Snapshot next = *snapshot_;
  next.features = std::move(features);
  released = publishLocked(std::move(next));
}
