#include "OrvExperiment/OrvExperiment.h"

#include "OrvExpLog.h"
#include "OrvExperimentQueue.h"
#include "OrvExperimentStorage.h"
#include "OrvExperimentTaskNotify.h"
#include "OrvExposureTracker.h"
#include "OrvFeatureManager.h"
#include "OrvRemoteConfig.h"

extern "C" {
const double OrvExperimentVersionNumber = 1.0;
const unsigned char OrvExperimentVersionString[] =
    "@(#)PROGRAM:OrvExperiment  PROJECT:OrvExperiment-1.0.2\n";
}

namespace {

constexpr const char* kTemplateCode = OrvFeatureManager::kTemplateCode;

// The value of a feature found with tracking, or absent. The lookup (and the exposure
// it may cause) happens whatever the caller then makes of the value.
OrvValue trackedValue(const std::string& key) {
  return OrvFeatureManager::sharedInstance().visitFeature(
      key, [](const OrvFeature* feature) { return feature ? feature->value() : OrvValue(); });
}

const OrvValue& emptyDictionary() {
  static const OrvValue* empty = new OrvValue(OrvValue::dictionary({}));
  return *empty;
}

}  // namespace

void OrvExperiment::startWithAppId(const std::string& appId, const std::string& serverUrl) {
  startWithConfig(OrvExperimentConfig::create(appId, serverUrl));
}

void OrvExperiment::startWithConfig(const std::shared_ptr<OrvExperimentConfig>& config) {
  if (!config) return;
  auto settings = OrvRemoteConfigSettings::create();
  settings->setAppId(config->appId());
  settings->setServerUrl(config->serverUrl());
  settings->setTemplateCode(kTemplateCode);
  if (OrvValue params = config->customFetchParams(); !params.isAbsent())
    settings->setFetchParams(params);
  if (OrvValue bucket = config->customBucketId(); !bucket.isAbsent())
    settings->setCustomBucketId(bucket);

  auto fetchTask = OrvRCFetchTask::create();
  fetchTask->addOnSuccessListener([config] {
    OrvExperimentQueue::sharedInstance().execute([config] {
      OrvFeatureManager::sharedInstance().parseExperimentConfig();
      // Read now, not at start: a task set after start hears this outcome.
      OrvNotifyTaskSuccess(config->startupTask());
    });
  });
  fetchTask->addOnFailureListener([config](std::int64_t code, const std::string& message) {
    OrvNotifyTaskFailure(config->startupTask(), code, message);
  });
  fetchTask->addOnLocalCacheReadyListener([config] {
    OrvExperimentQueue::sharedInstance().execute([config] {
      const std::string appId = config->appId();
      OrvExperimentStorage::initWithAppId(appId);
      auto& manager = OrvFeatureManager::sharedInstance();
      manager.setConfig(config);
      manager.parseExperimentConfig();
      OrvExpLog::info(OrvExpLog::kInitSuccess, appId, getSDKVersion());
    });
  });
  settings->setFetchTask(fetchTask);
  OrvRemoteConfig::startWithSettings(settings);
}

void OrvExperiment::setCustomFetchParams(const OrvValue& params) {
  OrvRemoteConfig::setCustomFetchParams(params, "", kTemplateCode);
}

void OrvExperiment::setCustomBucketId(const OrvValue& bucketId) {
  OrvRemoteConfig::setCustomBucketId(bucketId, "", kTemplateCode);
}

std::string OrvExperiment::getValueAsString(const std::string& key) {
  return getValueAsString(key, "");
}

std::string OrvExperiment::getValueAsString(const std::string& key,
                                            const std::string& defaultValue) {
  // A string is copied while the lock is held (no reference to take); any other value
  // is formatted after the lock is released.
  OrvValue other;
  std::string text;
  const bool found =
      OrvFeatureManager::sharedInstance().visitFeature(key, [&](const OrvFeature* feature) {
        if (!feature || feature->value().isAbsent()) return false;
        if (feature->value().isString()) {
          text = feature->value().stringValue();
        } else {
          other = feature->value();
        }
        return true;
      });
  if (!found) return defaultValue;
  return other.isAbsent() ? text : other.description();
}

OrvValue OrvExperiment::getValueAsNumber(const std::string& key) {
  return getValueAsNumber(key, OrvValue(0));
}

OrvValue OrvExperiment::getValueAsNumber(const std::string& key, const OrvValue& defaultValue) {
  const OrvValue value = trackedValue(key);
  if (value.isNumber()) return value;
  if (value.isString()) {
    OrvValue number = OrvValue::parseDecimal(value.stringValue());
    return number.isAbsent() ? defaultValue : number;
  }
  return defaultValue;
}

bool OrvExperiment::getValueAsBoolean(const std::string& key) {
  return getValueAsBoolean(key, false);
}

bool OrvExperiment::getValueAsBoolean(const std::string& key, bool defaultValue) {
  return OrvFeatureManager::sharedInstance().visitFeature(key, [&](const OrvFeature* feature) {
    return feature && feature->value().isNumber() ? feature->value().boolValue() : defaultValue;
  });
}

OrvValue OrvExperiment::getValueAsJson(const std::string& key) {
  return getValueAsJson(key, emptyDictionary());
}

OrvValue OrvExperiment::getValueAsJson(const std::string& key, const OrvValue& defaultValue) {
  const OrvValue value = trackedValue(key);
  return value.isDictionary() ? value : defaultValue;
}

std::shared_ptr<OrvExperimentTask> OrvExperiment::fetch() {
  auto task = OrvCreateLibraryTask();
  auto fetchTask = OrvRemoteConfig::fetchWithAppId("", kTemplateCode);
  if (!fetchTask) return task;
  fetchTask->addOnSuccessListener([task] {
    OrvExperimentQueue::sharedInstance().execute([task] {
      OrvFeatureManager::sharedInstance().parseExperimentConfig();
      OrvNotifyTaskSuccess(task);
    });
  });
  fetchTask->addOnFailureListener([task](std::int64_t code, const std::string& message) {
    OrvNotifyTaskFailure(task, code, message);
  });
  return task;
}

void OrvExperiment::exposure(const std::string& key) {
  OrvExposureTracker::sharedInstance().exposure(key);
}

void OrvExperiment::enableLog(bool enable) {
  OrvRemoteConfig::enableLog(enable);
  OrvExpLog::setEnableLog(enable);
}

const std::string& OrvExperiment::getSDKVersion() {
  static const std::string* version = new std::string("1.0.2");
  return *version;
}
