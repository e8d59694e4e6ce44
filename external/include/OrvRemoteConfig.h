/// @file
/// The remote-configuration component: fetches an application's payload (one per
/// template code) from a config server, caches it in the data directory and hands it
/// out. Class operations only, over one process-wide state; every call is thread-safe
/// and returns at once (fetches run on the component's worker thread).
///
/// Wire protocol: POST {serverUrl}/v1/remote-config/fetch with a JSON body
///   {"app_id", "template_code", "fetch_params" (when set), "bucket_id" (when set),
///    "sdk": {"name", "version"}}
/// and If-None-Match with the cached payload's ETag. 200 with a JSON object body (and an
/// ETag) replaces the payload and the cache; 304 keeps them; both are success, except a
/// 304 while no payload is held (kErrorNotModifiedWithoutCache). A
/// "file://PATH" server URL reads the payload from that file instead. Anything else is a
/// failure with one of the codes below (an HTTP status is its own code), and the cached
/// payload stays as it was.
///
/// The empty application identifier "" stands for the application started most
/// recently. Fetch parameters and a bucket identifier set for "" before any start are
/// kept for the next start whose settings carry none of their own.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "OrvExperiment/OrvExport.h"
#include "OrvExperiment/OrvValue.h"

/// The listeners of one start or one fetch. Every listener runs on the component's
/// callback thread, never inside the call that adds it. An outcome reached before a
/// listener of its kind was added is delivered to that listener when it is added, so
/// nothing is lost to a late registration. Thread-safe.
class ORV_EXPORT OrvRCFetchTask : public std::enable_shared_from_this<OrvRCFetchTask> {
 public:
  /// A listener of a successful fetch.
  using SuccessListener = std::function<void()>;
  /// A listener of a failed fetch; takes its code and message.
  using FailureListener = std::function<void(std::int64_t code, const std::string& message)>;
  /// A listener of the cached payload having been read (also when there was none).
  using LocalCacheReadyListener = std::function<void()>;

  /// A new task with no listener.
  static std::shared_ptr<OrvRCFetchTask> create();

  /// Adds a listener of that outcome and returns this task, so that calls chain.
  /// @{
  std::shared_ptr<OrvRCFetchTask> addOnSuccessListener(SuccessListener listener);
  std::shared_ptr<OrvRCFetchTask> addOnFailureListener(FailureListener listener);
  std::shared_ptr<OrvRCFetchTask> addOnLocalCacheReadyListener(LocalCacheReadyListener listener);
  /// @}

  /// Reporting, for the component itself.
  /// @{
  void reportSuccess();
  void reportFailure(std::int64_t code, const std::string& message);
  void reportLocalCacheReady();
  /// @}

 private:
  OrvRCFetchTask() = default;
  struct Outcome {
    enum Kind { kSuccess, kFailure, kLocalCacheReady } kind;
    std::int64_t code = 0;
    std::string message;
  };
  void report(Outcome outcome);
  void listen(Outcome::Kind kind, std::function<void(const Outcome&)> listener);

  std::mutex mutex_;
  // Guarded by mutex_.
  std::vector<Outcome> outcomes_;
  std::vector<std::pair<Outcome::Kind, std::shared_ptr<const std::function<void(const Outcome&)>>>>
      listeners_;
};

/// What startWithSettings needs: build it, then hand it over. Not synchronised: fill it
/// in on one thread before the call; the component copies what it needs.
class ORV_EXPORT OrvRemoteConfigSettings {
 public:
  /// A new record: everything empty or absent, no refresh, the default transport limits.
  static std::shared_ptr<OrvRemoteConfigSettings> create() {
    return std::make_shared<OrvRemoteConfigSettings>();
  }

  /// The application identifier.
  /// @{
  const std::string& appId() const { return appId_; }
  void setAppId(std::string v) { appId_ = std::move(v); }
  /// @}
  /// The config server's address, or "file://PATH" (see OrvRemoteConfig.h).
  /// @{
  const std::string& serverUrl() const { return serverUrl_; }
  void setServerUrl(std::string v) { serverUrl_ = std::move(v); }
  /// @}
  /// The template code of the payload to fetch.
  /// @{
  const std::string& templateCode() const { return templateCode_; }
  void setTemplateCode(std::string v) { templateCode_ = std::move(v); }
  /// @}
  /// The fetch parameters, sent in the request body as "fetch_params" (absent: none).
  /// @{
  const OrvValue& fetchParams() const { return fetchParams_; }
  void setFetchParams(OrvValue v) { fetchParams_ = std::move(v); }
  /// @}
  /// The bucket identifier, sent in the request body as "bucket_id" (absent: none).
  /// @{
  const OrvValue& customBucketId() const { return customBucketId_; }
  void setCustomBucketId(OrvValue v) { customBucketId_ = std::move(v); }
  /// @}
  /// The task that hears this start's outcomes (null: none).
  /// @{
  const std::shared_ptr<OrvRCFetchTask>& fetchTask() const { return fetchTask_; }
  void setFetchTask(std::shared_ptr<OrvRCFetchTask> v) { fetchTask_ = std::move(v); }
  /// @}

  /// Periodic refresh (0: none): the component fetches again this long after each fetch
  /// of the application ends (+-10% jitter; after failures an exponential back-off up
  /// to 15 min, or the server's Retry-After; at least the server's max-age), and tells
  /// `refreshListener` each refresh's outcome on its callback thread.
  /// @{
  using RefreshListener =
      std::function<void(bool success, std::int64_t code, const std::string& message)>;
  long refreshIntervalMs() const { return refreshIntervalMs_; }
  void setRefreshIntervalMs(long v) { refreshIntervalMs_ = v; }
  const RefreshListener& refreshListener() const { return refreshListener_; }
  void setRefreshListener(RefreshListener v) { refreshListener_ = std::move(v); }
  /// @}

  /// Transport limits for this application's fetches.
  /// @{
  long connectTimeoutMs() const { return connectTimeoutMs_; }
  void setConnectTimeoutMs(long v) { connectTimeoutMs_ = v; }
  long totalTimeoutMs() const { return totalTimeoutMs_; }
  void setTotalTimeoutMs(long v) { totalTimeoutMs_ = v; }
  std::size_t maxBodyBytes() const { return maxBodyBytes_; }
  void setMaxBodyBytes(std::size_t v) { maxBodyBytes_ = v; }
  /// @}
  /// Sent with every fetch of this application ({"Authorization", "Bearer ..."}); the
  /// caller checks them (see OrvExperimentConfig::setRequestHeaders).
  /// @{
  using Headers = std::vector<std::pair<std::string, std::string>>;
  const Headers& requestHeaders() const { return requestHeaders_; }
  void setRequestHeaders(Headers v) { requestHeaders_ = std::move(v); }
  /// @}

 private:
  std::string appId_;
  std::string serverUrl_;
  std::string templateCode_;
  OrvValue fetchParams_;
  OrvValue customBucketId_;
  std::shared_ptr<OrvRCFetchTask> fetchTask_;
  long refreshIntervalMs_ = 0;
  RefreshListener refreshListener_;
  long connectTimeoutMs_ = 10'000;
  long totalTimeoutMs_ = 30'000;
  std::size_t maxBodyBytes_ = 32u << 20;
  Headers requestHeaders_;
};

/// The payload handed out: objectValue() is the payload (a dictionary), never changed.
class ORV_EXPORT OrvRCValue {
 public:
  /// The payload `value`, and whether it is the one cached by an earlier run.
  explicit OrvRCValue(OrvValue value, bool fromCache = false)
      : value_(std::move(value)), fromCache_(fromCache) {}
  /// The payload (a dictionary).
  const OrvValue& objectValue() const { return value_; }
  /// True while the payload is the one cached by an earlier run, not yet sent or
  /// confirmed (304) by the server in this run.
  bool fromCache() const { return fromCache_; }

 private:
  const OrvValue value_;
  const bool fromCache_;
};

/// Looks up the current payload of a template code; null when there is none.
using OrvRCLookup = std::function<std::shared_ptr<OrvRCValue>(const std::string& templateCode)>;

/// A handle on one application's payloads. get() always returns a callable lookup,
/// which reads the in-memory payload at the time it is called (no disk, no network).
class ORV_EXPORT OrvRCData {
 public:
  /// A handle on the payloads of `appId`.
  explicit OrvRCData(std::string appId) : appId_(std::move(appId)) {}
  /// A lookup of this application's current payloads.
  OrvRCLookup get() const;

 private:
  const std::string appId_;
};

/// The remote-configuration component (see OrvRemoteConfig.h): static calls only.
class ORV_EXPORT OrvRemoteConfig {
 public:
  OrvRemoteConfig() = delete;

  /// @name Failure codes besides HTTP statuses
  /// @{
  static constexpr std::int64_t kErrorTransport = -1;      ///< connection, DNS, TLS, protocol
  static constexpr std::int64_t kErrorTimeout = -2;        ///< connect or total timeout
  static constexpr std::int64_t kErrorMalformedBody = -3;  ///< body is not JSON
  static constexpr std::int64_t kErrorNotAnObject = -4;    ///< JSON, but not an object
  static constexpr std::int64_t kErrorBodyTooLarge = -5;   ///< over maxBodyBytes
  static constexpr std::int64_t kErrorFile = -6;        ///< file:// source unreadable or not a file
  static constexpr std::int64_t kErrorNotStarted = -7;  ///< no such application started
  static constexpr std::int64_t kErrorBadUrl = -8;      ///< empty or unsupported server URL
  static constexpr std::int64_t kErrorResources = -9;   ///< out of memory processing the payload
  /// 304 Not Modified although no payload is held: the server claims a version the
  /// client does not have.
  static constexpr std::int64_t kErrorNotModifiedWithoutCache = -10;
  /// Loading the payload would take more memory than OrvValue::kMaxParseCostPerByte
  /// times its size (at least OrvValue::kMinParseBudget) at its peak: refused, never
  /// cached.
  static constexpr std::int64_t kErrorPayloadTooCostly = -11;
  /// @}

  /// The path a fetch is POSTed to, after the server URL.
  static constexpr const char* kFetchPath = "/v1/remote-config/fetch";

  /// Starts (or restarts) the application of the settings: its cached payload is read
  /// from the data directory and made available, the local-cache-ready listener is
  /// called (also when there is no cache), then a fetch runs and the success or failure
  /// listener is called. A null settings record is ignored.
  static void startWithSettings(const std::shared_ptr<OrvRemoteConfigSettings>& settings);

  /// Fetches again for a started application; returns at once with the task.
  static std::shared_ptr<OrvRCFetchTask> fetchWithAppId(const std::string& appId,
                                                        const std::string& templateCode);

  /// Used by later fetches of that application, in the request body. A value nested
  /// deeper than OrvValue::kMaxNestingDepth is refused with an error line (the one held
  /// stays), here and in startWithSettings.
  /// @{
  static void setCustomFetchParams(const OrvValue& params, const std::string& appId,
                                   const std::string& templateCode);
  static void setCustomBucketId(const OrvValue& bucketId, const std::string& appId,
                                const std::string& templateCode);
  /// @}

  /// The component's own log lines ("[OrvRemoteConfig] ...", one per fetch outcome).
  static void enableLog(bool enable);

  /// Never null, for any application identifier and template code.
  static std::shared_ptr<OrvRCData> getDataWithAppId(const std::string& appId,
                                                     const std::string& templateCode);
};
