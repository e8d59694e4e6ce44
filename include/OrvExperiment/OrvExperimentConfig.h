// The description of one start of the library: application identifier, config-server
// address, whether feature reads report exposures by themselves, the bucket identifier
// and fetch parameters handed to the remote-configuration component at start, and the
// task that hears every start-up fetch outcome.
//
// One instance is shared (std::shared_ptr) between the application and the library;
// changes the application makes after start are seen by later reads of that field:
// automaticExposureTracking at the next feature read, startupTask at the next fetch
// outcome, appId at the next reload. serverUrl, customBucketId and customFetchParams
// are read only by the start call. Every member is thread-safe.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "OrvExperiment/OrvExport.h"
#include "OrvExperiment/OrvValue.h"

class OrvExperimentTask;

class ORV_EXPORT OrvExperimentConfig {
 public:
  // Automatic exposure tracking starts on; bucket identifier, fetch parameters and
  // start-up task start absent. Neither argument is checked.
  OrvExperimentConfig(std::string appId, std::string serverUrl);
  static std::shared_ptr<OrvExperimentConfig> create(std::string appId, std::string serverUrl);

  OrvExperimentConfig(const OrvExperimentConfig&) = delete;
  OrvExperimentConfig& operator=(const OrvExperimentConfig&) = delete;

  std::string appId() const;
  void setAppId(std::string appId);

  std::string serverUrl() const;
  void setServerUrl(std::string serverUrl);

  bool automaticExposureTracking() const noexcept {
    return automaticExposureTracking_.load(std::memory_order_relaxed);
  }
  void setAutomaticExposureTracking(bool on) noexcept {
    automaticExposureTracking_.store(on, std::memory_order_relaxed);
  }

  // Handed to the component unexamined (usually a dictionary). Values are immutable,
  // so the record holds its own snapshot whatever the caller does afterwards. A value
  // nested deeper than OrvValue::kMaxNestingDepth is refused with an error line, and
  // the record keeps what it had.
  OrvValue customBucketId() const;
  void setCustomBucketId(OrvValue bucketId);

  OrvValue customFetchParams() const;
  void setCustomFetchParams(OrvValue params);

  std::shared_ptr<OrvExperimentTask> startupTask() const;
  void setStartupTask(std::shared_ptr<OrvExperimentTask> task);

  // Periodic refresh, read by the start call. 0 (the default): none. Otherwise the
  // library fetches every interval, with +-10% jitter; at least kMinimumRefreshInterval
  // (a smaller value is raised, with one log line). After failures it backs off
  // exponentially (up to 15 minutes), honours Retry-After on 429 and 503, and waits for
  // Cache-Control max-age when that is longer. A refresh never overlaps another fetch
  // of the application, and fetch() restarts the wait. Refreshes reach change listeners
  // and readiness, never the start-up task.
  static constexpr std::chrono::seconds kMinimumRefreshInterval{30};
  std::chrono::seconds refreshInterval() const noexcept {
    return std::chrono::seconds(refreshSeconds_.load(std::memory_order_relaxed));
  }
  void setRefreshInterval(std::chrono::seconds interval);

 private:
  std::atomic<bool> automaticExposureTracking_{true};
  std::atomic<std::int64_t> refreshSeconds_{0};

  mutable std::mutex mutex_;
  // Guarded by mutex_.
  std::string appId_;
  std::string serverUrl_;
  OrvValue customBucketId_;
  OrvValue customFetchParams_;
  std::shared_ptr<OrvExperimentTask> startupTask_;
};
