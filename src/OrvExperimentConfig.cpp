#include "OrvExperiment/OrvExperimentConfig.h"

#include <algorithm>
#include <cctype>
#include <string_view>

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

// An HTTP token (RFC 9110 section 5.6.2).
bool isToken(std::string_view name) {
  if (name.empty()) return false;
  return std::all_of(name.begin(), name.end(), [](unsigned char c) {
    return std::isalnum(c) ||
           std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
  });
}

bool sameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// Why a header cannot be sent with a config fetch, or "" when it can.
std::string headerProblem(const std::string& name, const std::string& value) {
  if (!isToken(name)) return "the name \"" + name + "\" is not an HTTP token";
  if (value.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos)
    return "the value of " + name + " holds a line break or a NUL byte";
  for (const char* own : {"Content-Type", "Content-Length", "Accept", "Accept-Encoding",
                          "If-None-Match", "Host", "Transfer-Encoding", "Expect"}) {
    if (sameName(name, own)) return name + " is set by the library itself";
  }
  return "";
}

bool acceptableTimeout(std::chrono::milliseconds timeout, const char* what) {
  if (timeout.count() >= 1) return true;
  OrvExpLog::error("OrvExperimentConfig: %@ of %@ ms refused (at least 1 ms)", what,
                   static_cast<std::int64_t>(timeout.count()));
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
  // The start turns the interval into milliseconds and the scheduler adds it to a
  // clock: far beyond any useful interval, both would overflow.
  constexpr std::chrono::seconds kMaximum = std::chrono::hours(24 * 365);
  if (interval > kMaximum) {
    OrvExpLog::info("refresh interval of %@ s lowered to the maximum of %@ s",
                    static_cast<std::int64_t>(interval.count()),
                    static_cast<std::int64_t>(kMaximum.count()));
    interval = kMaximum;
  }
  if (interval.count() > 0 && interval < kMinimumRefreshInterval) {
    OrvExpLog::info("refresh interval of %@ s raised to the minimum of %@ s",
                    static_cast<std::int64_t>(interval.count()),
                    static_cast<std::int64_t>(kMinimumRefreshInterval.count()));
    interval = kMinimumRefreshInterval;
  }
  refreshSeconds_.store(interval.count(), std::memory_order_relaxed);
}

bool OrvExperimentConfig::setOverrides(OrvValue overrides) {
  if (!overrides.isAbsent() && !overrides.isDictionary()) {
    OrvExpLog::error("OrvExperimentConfig: overrides must be a dictionary; refused");
    return false;
  }
  if (!acceptable(overrides, "overrides")) return false;
  std::lock_guard lock(mutex_);
  overrides_ = std::move(overrides);
  return true;
}

OrvValue OrvExperimentConfig::overrides() const {
  std::lock_guard lock(mutex_);
  return overrides_;
}

void OrvExperimentConfig::setOverridesFile(std::string path) {
  std::lock_guard lock(mutex_);
  overridesFile_ = std::move(path);
}

std::string OrvExperimentConfig::overridesFile() const {
  std::lock_guard lock(mutex_);
  return overridesFile_;
}

bool OrvExperimentConfig::setRequestHeaders(Headers headers) {
  for (const auto& [name, value] : headers) {
    if (const std::string problem = headerProblem(name, value); !problem.empty()) {
      OrvExpLog::error("OrvExperimentConfig: request headers refused: %@", problem);
      return false;
    }
  }
  std::lock_guard lock(mutex_);
  requestHeaders_ = std::move(headers);
  return true;
}

OrvExperimentConfig::Headers OrvExperimentConfig::requestHeaders() const {
  std::lock_guard lock(mutex_);
  return requestHeaders_;
}

bool OrvExperimentConfig::setConnectTimeout(std::chrono::milliseconds timeout) {
  if (!acceptableTimeout(timeout, "connect timeout")) return false;
  connectTimeoutMs_.store(timeout.count(), std::memory_order_relaxed);
  return true;
}

bool OrvExperimentConfig::setRequestTimeout(std::chrono::milliseconds timeout) {
  if (!acceptableTimeout(timeout, "request timeout")) return false;
  requestTimeoutMs_.store(timeout.count(), std::memory_order_relaxed);
  return true;
}
