#include "OrvExperiment/OrvExperimentConfig.h"

#include "OrvExpLog.h"
#include "OrvExperiment/OrvExperimentTask.h"

namespace {

// Checked (and logged) before the record's lock is taken.
bool acceptable(const OrvValue& value, const char* what) {
  if (value.nestingDepth() <= OrvValue::kMaxNestingDepth) return true;
  OrvExpLog::error("OrvExperimentConfig: %@ nested deeper than %@ levels refused", what,
                   OrvValue::kMaxNestingDepth);
  return false;
}

}  // namespace

OrvExperimentConfig::OrvExperimentConfig(std::string appId, std::string serverUrl)
    : appId_(std::move(appId)), serverUrl_(std::move(serverUrl)) {}

std::shared_ptr<OrvExperimentConfig> OrvExperimentConfig::create(std::string appId,
                                                                 std::string serverUrl) {
  return std::make_shared<OrvExperimentConfig>(std::move(appId), std::move(serverUrl));
}

std::string OrvExperimentConfig::appId() const {
  std::lock_guard lock(mutex_);
  return appId_;
}

void OrvExperimentConfig::setAppId(std::string appId) {
  std::lock_guard lock(mutex_);
  appId_ = std::move(appId);
}

std::string OrvExperimentConfig::serverUrl() const {
  std::lock_guard lock(mutex_);
  return serverUrl_;
}

void OrvExperimentConfig::setServerUrl(std::string serverUrl) {
  std::lock_guard lock(mutex_);
  serverUrl_ = std::move(serverUrl);
}

OrvValue OrvExperimentConfig::customBucketId() const {
  std::lock_guard lock(mutex_);
  return customBucketId_;
}

void OrvExperimentConfig::setCustomBucketId(OrvValue bucketId) {
  if (!acceptable(bucketId, "bucket identifier")) return;
  std::lock_guard lock(mutex_);
  customBucketId_ = std::move(bucketId);
}

OrvValue OrvExperimentConfig::customFetchParams() const {
  std::lock_guard lock(mutex_);
  return customFetchParams_;
}

void OrvExperimentConfig::setCustomFetchParams(OrvValue params) {
  if (!acceptable(params, "fetch parameters")) return;
  std::lock_guard lock(mutex_);
  customFetchParams_ = std::move(params);
}

std::shared_ptr<OrvExperimentTask> OrvExperimentConfig::startupTask() const {
  std::lock_guard lock(mutex_);
  return startupTask_;
}

void OrvExperimentConfig::setStartupTask(std::shared_ptr<OrvExperimentTask> task) {
  std::lock_guard lock(mutex_);
  startupTask_ = std::move(task);
}

void OrvExperimentConfig::setRefreshInterval(std::chrono::seconds interval) {
  if (interval.count() < 0) interval = std::chrono::seconds(0);
  if (interval.count() > 0 && interval < kMinimumRefreshInterval) {
    OrvExpLog::info("refresh interval of %@ s raised to the minimum of %@ s",
                    static_cast<std::int64_t>(interval.count()),
                    static_cast<std::int64_t>(kMinimumRefreshInterval.count()));
    interval = kMinimumRefreshInterval;
  }
  refreshSeconds_.store(interval.count(), std::memory_order_relaxed);
}
