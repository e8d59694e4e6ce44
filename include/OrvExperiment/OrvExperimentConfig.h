/// @file
/// The description of one start of the library: application identifier, config-server
/// address, whether feature reads report exposures by themselves, the bucket identifier
/// and fetch parameters handed to the remote-configuration component at start, and the
/// task that hears every start-up fetch outcome.
///
/// One instance is shared (std::shared_ptr) between the application and the library;
/// changes the application makes after start are seen by later reads of that field:
/// automaticExposureTracking at the next feature read, startupTask at the next fetch
/// outcome, appId at the next reload. serverUrl, customBucketId and customFetchParams
/// are read only by the start call. Every member is thread-safe.
///
/// Local overrides pin features to values on this machine (in a test, in an
/// emergency, while developing) without touching the server. An overridden feature
/// reads its override whatever the payload says about it, belongs to no experiment and
/// so reports no exposure; detail reads give it the source OrvValueSource::kOverride.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "OrvExperiment/OrvExport.h"
#include "OrvExperiment/OrvValue.h"

class OrvExperimentTask;

/// How local overrides and the server's payload combine.
enum class OrvOverrideMode : std::uint8_t {
  /// An override replaces the payload's value of its key; keys only the payload has
  /// read as usual.
  kLocalOverRemote,
  /// The payload's value wins; an override only serves a key the payload lacks.
  kRemoteOverLocal,
  /// Overrides only: no fetch, no cached payload, no network and no exposure store. The
  /// library is ready at once.
  kLocalOnly,
};

/// The description of one start of the library (see OrvExperimentConfig.h), shared
/// between the application and the library. Every member is thread-safe.
class ORV_EXPORT OrvExperimentConfig {
 public:
  /// Automatic exposure tracking starts on; bucket identifier, fetch parameters and
  /// start-up task start absent. Neither argument is checked.
  /// @{
  OrvExperimentConfig(std::string appId, std::string serverUrl);
  static std::shared_ptr<OrvExperimentConfig> create(std::string appId, std::string serverUrl);
  /// @}

  OrvExperimentConfig(const OrvExperimentConfig&) = delete;
  OrvExperimentConfig& operator=(const OrvExperimentConfig&) = delete;

  /// The application identifier. A change after start is seen at the next reload.
  /// @{
  std::string appId() const;
  void setAppId(std::string appId);
  /// @}

  /// The config-server address, read only by the start call.
  /// @{
  std::string serverUrl() const;
  void setServerUrl(std::string serverUrl);
  /// @}

  /// Whether feature reads report exposures by themselves (on by default). A change
  /// after start is seen at the next feature read.
  /// @{
  bool automaticExposureTracking() const noexcept {
    return automaticExposureTracking_.load(std::memory_order_relaxed);
  }
  void setAutomaticExposureTracking(bool on) noexcept {
    automaticExposureTracking_.store(on, std::memory_order_relaxed);
  }
  /// @}

  /// The bucket identifier and the fetch parameters handed to the remote-configuration
  /// component at start, read only by the start call.
  /// Handed to the component unexamined (usually a dictionary). Values are immutable,
  /// so the record holds its own snapshot whatever the caller does afterwards. A value
  /// nested deeper than OrvValue::kMaxNestingDepth is refused with an error line, and
  /// the record keeps what it had.
  /// @{
  OrvValue customBucketId() const;
  void setCustomBucketId(OrvValue bucketId);

  OrvValue customFetchParams() const;
  void setCustomFetchParams(OrvValue params);
  /// @}

  /// The task that hears every start-up fetch outcome (none by default). A change
  /// after start is seen at the next fetch outcome.
  /// @{
  std::shared_ptr<OrvExperimentTask> startupTask() const;
  void setStartupTask(std::shared_ptr<OrvExperimentTask> task);
  /// @}

  /// Periodic refresh, read by the start call. 0 (the default): none. Otherwise the
  /// library fetches every interval, with +-10% jitter; at least kMinimumRefreshInterval
  /// (a smaller value is raised, with one log line) and at most a year (a larger one is
  /// lowered, also with a line). After failures it backs off
  /// exponentially (up to 15 minutes), honours Retry-After on 429 and 503, and waits for
  /// Cache-Control max-age when that is longer. A refresh never overlaps another fetch
  /// of the application, and fetch() restarts the wait. Refreshes reach change listeners
  /// and readiness, never the start-up task.
  /// @{
  static constexpr std::chrono::seconds kMinimumRefreshInterval{30};
  std::chrono::seconds refreshInterval() const noexcept {
    return std::chrono::seconds(refreshSeconds_.load(std::memory_order_relaxed));
  }
  void setRefreshInterval(std::chrono::seconds interval);
  /// @}

  /// Local overrides (see above): a dictionary of feature key to value, any JSON value.
  /// Read at every load (start, fetch, refresh, a change of the overrides file): a change
  /// takes effect at the next one. Anything but a dictionary or absent (none) is refused
  /// with an error line, and so is a value nested deeper than OrvValue::kMaxNestingDepth;
  /// false then, and the record keeps what it had. The key "experiment_detail" is reserved
  /// and ignored.
  /// @{
  bool setOverrides(OrvValue overrides);
  OrvValue overrides() const;
  /// @}
  /// A file holding such a dictionary as JSON ("" for none), read by the start call and
  /// again within about kOverridesFilePollInterval of each change (of its size,
  /// modification time or identity), which rebuilds the table so change listeners hear of
  /// it. A file that is missing, unreadable, larger than kMaxOverridesFileBytes or not a
  /// JSON object counts as no overrides, with one error line per change (a missing file
  /// only with logging on: creating it later is a way to start overriding). Its entries
  /// win over setOverrides' for the same key.
  /// @{
  static constexpr std::size_t kMaxOverridesFileBytes = std::size_t{8} << 20;
  static constexpr std::chrono::milliseconds kOverridesFilePollInterval{1000};
  void setOverridesFile(std::string path);
  std::string overridesFile() const;
  /// @}
  /// How local overrides and the server's payload combine (OrvOverrideMode).
  /// Read by the start call. Default: kLocalOverRemote.
  /// @{
  OrvOverrideMode overrideMode() const noexcept {
    return overrideMode_.load(std::memory_order_relaxed);
  }
  void setOverrideMode(OrvOverrideMode mode) noexcept {
    overrideMode_.store(mode, std::memory_order_relaxed);
  }
  /// @}

  /// Sent with every config fetch, for example {"Authorization", "Bearer ..."}. Read by
  /// the start call. Refused as a whole (false, with an error line; the record keeps what
  /// it had) when a name is not an HTTP token, a value holds a line break or a NUL byte,
  /// or a name is one the library sets itself (Content-Type, Content-Length, Accept,
  /// Accept-Encoding, If-None-Match, Host, Transfer-Encoding, Expect).
  /// @{
  using Headers = std::vector<std::pair<std::string, std::string>>;
  bool setRequestHeaders(Headers headers);
  Headers requestHeaders() const;
  /// @}

  /// The config fetch's limits, read by the start call: to connect (default 10 s) and for
  /// the whole request (default 30 s). A value below 1 ms is refused (false, with an error
  /// line; the record keeps what it had).
  /// @{
  std::chrono::milliseconds connectTimeout() const noexcept {
    return std::chrono::milliseconds(connectTimeoutMs_.load(std::memory_order_relaxed));
  }
  bool setConnectTimeout(std::chrono::milliseconds timeout);
  std::chrono::milliseconds requestTimeout() const noexcept {
    return std::chrono::milliseconds(requestTimeoutMs_.load(std::memory_order_relaxed));
  }
  bool setRequestTimeout(std::chrono::milliseconds timeout);
  /// @}

 private:
  std::atomic<bool> automaticExposureTracking_{true};
  std::atomic<std::int64_t> refreshSeconds_{0};
  std::atomic<OrvOverrideMode> overrideMode_{OrvOverrideMode::kLocalOverRemote};
  std::atomic<std::int64_t> connectTimeoutMs_{10'000};
  std::atomic<std::int64_t> requestTimeoutMs_{30'000};

  mutable std::mutex mutex_;
  // Guarded by mutex_.
  std::string appId_;
  std::string serverUrl_;
  OrvValue customBucketId_;
  OrvValue customFetchParams_;
  std::shared_ptr<OrvExperimentTask> startupTask_;
  OrvValue overrides_;
  std::string overridesFile_;
  Headers requestHeaders_;
};
