#include "OrvFeatureManager.h"

#include <utility>

#include "OrvExpLog.h"
#include "OrvExperimentQueue.h"
#include "OrvExposureTracker.h"
#include "OrvFeatureParser.h"
#include "OrvRemoteConfig.h"
#include "OrvTableWatch.h"

OrvFeatureManager::OrvFeatureManager() : snapshot_(std::make_shared<const Snapshot>()) {}

OrvFeatureManager& OrvFeatureManager::sharedInstance() {
  static OrvFeatureManager* instance = new OrvFeatureManager();  // never destroyed
  return *instance;
}

void OrvFeatureManager::setConfig(std::shared_ptr<OrvExperimentConfig> config) {
  std::lock_guard lock(mutex_);
  config_ = std::move(config);
  publishLocked();
}

void OrvFeatureManager::publishLocked() {
  snapshot_ = std::make_shared<const Snapshot>(Snapshot{features_, config_, source_, fromPayload_});
  generation_.fetch_add(1, std::memory_order_release);
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
    // The last reference to an old table is dropped on the work queue: freeing a large
    // table would otherwise stall this read by milliseconds.
    if (old && old.use_count() == 1) {
      OrvExperimentQueue::sharedInstance().serialQueue().submit([old = std::move(old)] {});
    }
  }
  return *held;
}

const OrvFeature* OrvFeatureManager::findAndTrack(const Snapshot& snapshot,
                                                  const std::string& key) {
  if (!snapshot.features) return nullptr;
  auto it = snapshot.features->find(key);
  if (it == snapshot.features->end()) return nullptr;
  // The tracker only queues work, so calling it from a read cannot block.
  if (snapshot.config && snapshot.config->automaticExposureTracking()) {
    OrvExposureTracker::sharedInstance().exposure(key, *it->second);
  }
  return it->second.get();
}

std::shared_ptr<const OrvFeature> OrvFeatureManager::getFeature(const std::string& key) {
  return getFeature(key, true);
}

std::shared_ptr<const OrvFeature> OrvFeatureManager::getFeature(const std::string& key,
                                                                bool trackExposure) {
  std::lock_guard lock(mutex_);
  const auto* found = findAndTrack(key, trackExposure);
  return found ? *found : nullptr;
}

const std::shared_ptr<const OrvFeature>* OrvFeatureManager::findAndTrack(const std::string& key,
                                                                         bool trackExposure) {
  if (!features_) return nullptr;
  auto it = features_->find(key);
  if (it == features_->end()) return nullptr;
  // The tracker only queues work, so calling it under the lock cannot deadlock.
  if (trackExposure && config_ && config_->automaticExposureTracking()) {
    OrvExposureTracker::sharedInstance().exposure(key, *it->second);
  }
  return &it->second;
}

void OrvFeatureManager::parseExperimentConfig() {
  std::shared_ptr<OrvExperimentConfig> config;
  std::shared_ptr<const OrvFeatureTable> previous;
  {
    std::lock_guard lock(mutex_);
    config = config_;
    previous = features_;
  }
  if (!config) {
    // A console sink is application code: never called under the manager's lock.
    OrvExpLog::error(OrvExpLog::kConfigNil);
    return;
  }
  // Built without the lock: reads go on against the current table meanwhile. Loads
  // run one at a time on the work queue, so no other load can slip in between.
  auto data = OrvRemoteConfig::getDataWithAppId(config->appId(), kTemplateCode);
  auto value = data->get()(kTemplateCode);
  std::shared_ptr<const OrvFeatureTable> table =
      OrvFeatureParser::parse(value ? value->objectValue() : OrvValue());
  {
    std::lock_guard lock(mutex_);
    features_ = table;
    fromPayload_ = value != nullptr;
    source_ = !value               ? OrvValueSource::kDefault
              : value->fromCache() ? OrvValueSource::kCache
                                   : OrvValueSource::kNetwork;
    publishLocked();
  }
  // The old table is released here, outside the lock, however large it is.
  if (value) OrvTableWatch::sharedInstance().tableLoaded(previous.get(), *table);
}

void OrvFeatureManager::clear() {
  std::lock_guard lock(mutex_);
  features_.reset();
  publishLocked();
}

std::shared_ptr<OrvExperimentConfig> OrvFeatureManager::config() const {
  std::lock_guard lock(mutex_);
  return config_;
}

std::shared_ptr<const OrvFeatureTable> OrvFeatureManager::features() const {
  std::lock_guard lock(mutex_);
  return features_;
}

void OrvFeatureManager::setFeatures(std::shared_ptr<const OrvFeatureTable> features) {
  std::lock_guard lock(mutex_);
  features_ = std::move(features);
  publishLocked();
}
