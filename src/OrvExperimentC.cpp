// The C interface (orv_experiment.h) over the C++ API. Everything here is a thin
// boundary: it checks pointers, turns JSON text into values and back, copies text into
// the caller's buffers, and turns every exception into a status code. The library's
// behaviour stays in the C++ classes.
//
// Callback registrations keep a small record of their own so that removal can promise
// a C caller what it needs before freeing its `user` data: once remove returns, the
// callback neither runs nor will run. The C++ API drops a listener from its list but
// lets a delivery already under way (or queued on the main queue) finish.
#include "OrvExperiment/orv_experiment.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "OrvExperiment/OrvExperiment.h"
#include "OrvExperiment/OrvExperimentConfig.h"
#include "OrvExperiment/OrvPlatform.h"
#include "OrvExperiment/OrvTesting.h"
#include "OrvExperimentQueue.h"
#include "OrvMediator.h"
#include "platform/OrvMainQueue.h"

#ifndef ORV_PACKAGE_VERSION
#error "ORV_PACKAGE_VERSION must be defined by the build"
#endif

struct orv_config {
  std::shared_ptr<OrvExperimentConfig> config;
};

struct orv_otlp_options {
  OrvOtlpExporterOptions options;
};

// A detail read's outcome, whatever the kind of read: the value held as an OrvValue so
// that every accessor can convert it.
struct orv_detail {
  OrvValue value;
  OrvValueSource source = OrvValueSource::kDefault;
  OrvEvaluationReason reason = OrvEvaluationReason::kNotReady;
  std::optional<OrvExperimentMembership> experiment;
};

namespace {

// Timeouts and intervals beyond this are taken as this, so that adding one to a clock
// reading cannot overflow.
constexpr std::int64_t kMaxMilliseconds = std::int64_t{365} * 24 * 3600 * 1000;
constexpr std::int64_t kMaxSeconds = kMaxMilliseconds / 1000;

// How many callbacks of this interface this thread is running, and how many of them
// are event sinks: waits refuse to run where what they wait for could not.
thread_local int tlCallbackDepth = 0;
thread_local int tlSinkDepth = 0;

template <class F>
orv_status_t guarded(F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return ORV_ERR_OUT_OF_MEMORY;
  } catch (...) {
    return ORV_ERR_INTERNAL;
  }
}

// A buffer argument the caller got wrong: a size with no memory behind it.
bool badBuffer(const char* buffer, std::size_t size) { return buffer == nullptr && size != 0; }

// The snprintf-style copy the header promises.
orv_status_t copyOut(std::string_view text, char* buffer, std::size_t size, std::size_t* length) {
  if (length) *length = text.size();
  if (size == 0) return ORV_ERR_BUFFER_TOO_SMALL;
  const std::size_t n = std::min(text.size(), size - 1);
  if (n) std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
  return n == text.size() ? ORV_OK : ORV_ERR_BUFFER_TOO_SMALL;
}

// JSON text in; ORV_ERR_INVALID_JSON for a text the parser refuses (std::bad_alloc
// passes through to guarded()).
orv_status_t parseJson(const char* json, OrvValue& out) {
  OrvValue::ParseResult parsed = OrvValue::parseJson(json);
  if (!parsed.ok()) return ORV_ERR_INVALID_JSON;
  out = std::move(parsed.value);
  return ORV_OK;
}

// A payload: JSON text of an object (ORV_ERR_INVALID_ARGUMENT for any other value).
orv_status_t parsePayload(const char* json, OrvValue& out) {
  if (orv_status_t status = parseJson(json, out); status != ORV_OK) return status;
  return out.isDictionary() ? ORV_OK : ORV_ERR_INVALID_ARGUMENT;
}

// A typed read's text form, as getValueAsString gives it.
std::string textForm(const OrvValue& value) {
  return value.isString() ? value.stringValue() : value.description();
}

template <class T>
orv_detail_t* makeDetail(OrvEvaluationDetail<T>&& detail) {
  auto* out = new orv_detail();
  out->value = OrvValue(std::move(detail.value));
  out->source = detail.source;
  out->reason = detail.reason;
  out->experiment = std::move(detail.experiment);
  return out;
}

orv_status_t membershipText(const orv_detail_t* detail, OrvValue OrvExperimentMembership::*field,
                            char* buffer, std::size_t size, std::size_t* length) {
  if (!detail || badBuffer(buffer, size)) return ORV_ERR_NULL_ARGUMENT;
  return guarded([&] {
    if (!detail->experiment) return ORV_ERR_NOT_FOUND;
    return copyOut(((*detail->experiment).*field).toJson(), buffer, size, length);
  });
}

// Marks the current thread as running a callback of this interface for its lifetime.
class CallbackScope {
 public:
  explicit CallbackScope(bool sink) : sink_(sink) {
    ++tlCallbackDepth;
    if (sink_) ++tlSinkDepth;
  }
  ~CallbackScope() {
    --tlCallbackDepth;
    if (sink_) --tlSinkDepth;
  }
  CallbackScope(const CallbackScope&) = delete;
  CallbackScope& operator=(const CallbackScope&) = delete;

 private:
  bool sink_;
};

// One registered listener or sink. A call enters (refused once removed) and leaves;
// removal waits until no call is running except the remover's own.
struct Registration {
  std::mutex mutex;
  std::condition_variable idle;
  bool removed = false;  // guarded by mutex
  int running = 0;       // guarded by mutex
};

class RegisteredCall;
// The innermost call this thread is inside; each links to the one it runs within. A
// chain of objects on the stack, so entering a call allocates nothing and cannot fail
// between counting the call and recording it.
thread_local const RegisteredCall* tlInnermost = nullptr;

// GCC 12 at -O2 and above takes the chain for a dangling pointer: it cannot see that the
// destructor unlinks the object before its frame ends.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdangling-pointer"
#endif
class RegisteredCall {
 public:
  RegisteredCall(Registration& registration, bool sink)
      : registration_(registration), outer_(tlInnermost) {
    {
      std::lock_guard lock(registration_.mutex);
      if (registration_.removed) return;
      ++registration_.running;
    }
    entered_ = true;
    scope_.emplace(sink);
    tlInnermost = this;
  }
  ~RegisteredCall() {
    if (!entered_) return;
    tlInnermost = outer_;
    scope_.reset();
    std::lock_guard lock(registration_.mutex);
    --registration_.running;
    registration_.idle.notify_all();
  }
  RegisteredCall(const RegisteredCall&) = delete;
  RegisteredCall& operator=(const RegisteredCall&) = delete;

  explicit operator bool() const { return entered_; }

  // How many calls of `registration` this thread is inside.
  static int countInside(const Registration& registration) {
    int count = 0;
    for (const RegisteredCall* call = tlInnermost; call; call = call->outer_)
      if (&call->registration_ == &registration) ++count;
    return count;
  }

 private:
  Registration& registration_;
  const RegisteredCall* const outer_;
  bool entered_ = false;
  std::optional<CallbackScope> scope_;
};
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic pop
#endif

void retire(Registration& registration) {
  const int own = RegisteredCall::countInside(registration);
  std::unique_lock lock(registration.mutex);
  registration.removed = true;
  registration.idle.wait(lock, [&] { return registration.running <= own; });
}

// Ids (the C++ API's own) to registrations, per kind. Never destroyed: library threads
// may deliver while the process exits.
struct Registry {
  std::mutex mutex;
  std::map<std::uint64_t, std::shared_ptr<Registration>> entries;  // guarded by mutex

  void add(std::uint64_t id, std::shared_ptr<Registration> registration) {
    std::lock_guard lock(mutex);
    entries.emplace(id, std::move(registration));
  }
  std::shared_ptr<Registration> take(std::uint64_t id) {
    std::lock_guard lock(mutex);
    auto it = entries.find(id);
    if (it == entries.end()) return nullptr;
    auto registration = std::move(it->second);
    entries.erase(it);
    return registration;
  }
};

Registry& changeListeners() {
  static Registry* registry = new Registry();
  return *registry;
}

Registry& eventSinks() {
  static Registry* registry = new Registry();
  return *registry;
}

// The exporter ids this interface handed out and has not removed: the mediator answers
// stats of an unknown id with zeros, where a C caller is owed #ORV_ERR_NOT_FOUND. Never
// destroyed, like the registries.
struct ExporterIds {
  std::mutex mutex;
  std::set<std::uint64_t> ids;  // guarded by mutex
};

ExporterIds& exporterIds() {
  static ExporterIds* ids = new ExporterIds();
  return *ids;
}

// RFC 9110's token: what a header name may be.
bool isHeaderToken(std::string_view name) {
  if (name.empty()) return false;
  return std::all_of(name.begin(), name.end(), [](unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
  });
}

std::chrono::milliseconds cappedMilliseconds(std::int64_t ms) {
  return std::chrono::milliseconds(std::min(ms, kMaxMilliseconds));
}

// A wait for readiness on these threads would wait for work queued behind itself.
bool waitWouldDeadlock() {
  return tlCallbackDepth > 0 || OrvMainQueue::currentJob() != 0 ||
         OrvExperimentQueue::sharedInstance().serialQueue().isCurrentThread();
}

// The outcome a whenReady() task delivers, for a thread that waits for it.
struct ReadyWait {
  std::mutex mutex;
  std::condition_variable changed;
  // Guarded by mutex.
  enum class State { kPending, kReady, kFailed } state = State::kPending;
  std::int64_t code = 0;
  std::string message;
};

}  // namespace

const char* orv_status_string(orv_status_t status) {
  switch (status) {
    case ORV_OK:
      return "ok";
    case ORV_ERR_NULL_ARGUMENT:
      return "a required pointer is null";
    case ORV_ERR_INVALID_ARGUMENT:
      return "an argument is out of range";
    case ORV_ERR_INVALID_JSON:
      return "the JSON text does not parse";
    case ORV_ERR_BUFFER_TOO_SMALL:
      return "the buffer is too small";
    case ORV_ERR_NOT_FOUND:
      return "not found";
    case ORV_ERR_TIMEOUT:
      return "timed out";
    case ORV_ERR_STARTUP_FAILED:
      return "start-up failed";
    case ORV_ERR_WOULD_DEADLOCK:
      return "the wait would wait for itself";
    case ORV_ERR_OUT_OF_MEMORY:
      return "out of memory";
    case ORV_ERR_INTERNAL:
      return "internal error";
    case ORV_ERR_NO_UNIT:
      return "no application started, or no unit to record for";
  }
  return "unknown status";
}

const char* orv_sdk_version(void) { return OrvExperiment::getSDKVersion().c_str(); }

const char* orv_package_version(void) { return ORV_PACKAGE_VERSION; }

orv_status_t orv_set_data_directory(const char* path) {
  if (!path) return ORV_ERR_NULL_ARGUMENT;
  return guarded([&] {
    OrvPlatform::setDataDirectory(path);
    return ORV_OK;
  });
}

void orv_enable_log(int enable) {
  guarded([&] {
    OrvExperiment::enableLog(enable != 0);
    return ORV_OK;
  });
}

orv_status_t orv_start(const char* app_id, const char* server_url) {
  if (!app_id || !server_url) return ORV_ERR_NULL_ARGUMENT;
  return guarded([&] {
    OrvExperiment::startWithAppId(app_id, server_url);
    return ORV_OK;
  });
}

orv_status_t orv_config_create(const char* app_id, const char* server_url, orv_config_t** config) {
  if (!app_id || !server_url || !config) return ORV_ERR_NULL_ARGUMENT;
  return guarded([&] {
    auto handle = std::make_unique<orv_config>();
    handle->config = OrvExperimentConfig::create(app_id, server_url);
    *config = handle.release();
    return ORV_OK;
  });
}

void orv_config_free(orv_config_t* config) { delete config; }

orv_status_t orv_config_set_automatic_exposure_tracking(orv_config_t* config, int on) {
  if (!config) return ORV_ERR_NULL_ARGUMENT;
  config->config->setAutomaticExposureTracking(on != 0);
  return ORV_OK;
}

orv_status_t orv_config_set_bucket_id_json(orv_config_t* config, const char* json) {
  if (!config || !json) return ORV_ERR_NULL_ARGUMENT;
  return guarded([&] {
    OrvValue value;
    if (orv_status_t status = parseJson(json, value); status != ORV_OK) return status;
    config->config->setCustomBucketId(std::move(value));
    return ORV_OK;
  });
}

orv_status_t orv_config_set_fetch_params_json(orv_config_t* config, const char* json) {
  if (!config || !json) return ORV_ERR_NULL_ARGUMENT;
  return guarded([&] {
    OrvValue value;
    if (orv_status_t status = parseJson(json, value); status != ORV_OK) return status;
    config->config->setCustomFetchParams(std::move(value));
    return ORV_OK;
  });
}

orv_status_t orv_config_set_refresh_interval(orv_config_t* config, int64_t seconds) {
  if (!config) return ORV_ERR_NULL_ARGUMENT;
  if (seconds < 0) return ORV_ERR_INVALID_ARGUMENT;
  return guarded([&] {
    config->config->setRefreshInterval(std::chrono::seconds(std::min(seconds, kMaxSeconds)));
    return ORV_OK;
  });
}

orv_status_t orv_config_set_overrides_json(orv_config_t* config, const char* json) {
  if (!config || !json) return ORV_ERR_NULL_ARGUMENT;
  return guarded([&] {
    OrvValue value;
    if (orv_status_t status = parseJson(json, value); status != ORV_OK) return status;
    return config->config->setOverrides(std::move(value)) ? ORV_OK : ORV_ERR_INVALID_ARGUMENT;
  });
}

orv_status_t orv_config_set_overrides_file(orv_config_t* config, const char* path) {
  if (!config || !path) return ORV_ERR_NULL_ARGUMENT;
  return guarded([&] {
    config->config->setOverridesFile(path);
    return ORV_OK;
  });
}

orv_status_t orv_config_set_override_mode(orv_config_t* config, int mode) {
  if (!config) return ORV_ERR_NULL_ARGUMENT;
  switch (mode) {
    case ORV_OVERRIDE_LOCAL_OVER_REMOTE:
      config->config->setOverrideMode(OrvOverrideMode::kLocalOverRemote);
      return ORV_OK;
    case ORV_OVERRIDE_REMOTE_OVER_LOCAL:
      config->config->setOverrideMode(OrvOverrideMode::kRemoteOverLocal);
      return ORV_OK;
    case ORV_OVERRIDE_LOCAL_ONLY:
      config->config->setOverrideMode(OrvOverrideMode::kLocalOnly);
      return ORV_OK;
    default:
      return ORV_ERR_INVALID_ARGUMENT;
  }
}

orv_status_t orv_config_add_request_header(orv_config_t* config, const char* name,
                                           const char* value) {
  if (!config || !name || !value) return ORV_ERR_NULL_ARGUMENT;
  return guarded([&] {
    auto headers = config->config->requestHeaders();
    headers.emplace_back(name, value);
    return config->config->setRequestHeaders(std::move(headers)) ? ORV_OK
                                                                 : ORV_ERR_INVALID_ARGUMENT;
  });
}

orv_status_t orv_config_set_timeouts(orv_config_t* config, int64_t connect_ms, int64_t request_ms) {
  if (!config) return ORV_ERR_NULL_ARGUMENT;
  if (connect_ms < 1 || request_ms < 1) return ORV_ERR_INVALID_ARGUMENT;
  return guarded([&] {
    config->config->setConnectTimeout(std::chrono::milliseconds(connect_ms));
    config->config->setRequestTimeout(std::chrono::milliseconds(request_ms));
    return ORV_OK;
  });
}

orv_status_t orv_start_with_config(const orv_config_t* config) {
  if (!config) return ORV_ERR_NULL_ARGUMENT;
  return guarded([&] {
    OrvExperiment::startWithConfig(config->config);
    return ORV_OK;
  });
}

orv_status_t orv_set_fetch_params_json(const char* json) {
  if (!json) return ORV_ERR_NULL_ARGUMENT;
  return guarded([&] {
    OrvValue value;
    if (orv_status_t status = parseJson(json, value); status != ORV_OK) return status;
    OrvExperiment::setCustomFetchParams(value);
    return ORV_OK;
  });
}

orv_status_t orv_set_bucket_id_json(const char* json) {
  if (!json) return ORV_ERR_NULL_ARGUMENT;
  return guarded([&] {
    OrvValue value;
    if (orv_status_t status = parseJson(json, value); status != ORV_OK) return status;
    OrvExperiment::setCustomBucketId(value);
    return ORV_OK;
  });
}

orv_status_t orv_get_string(const char* key, const char* default_value, char* buffer, size_t size,
                            size_t* length) {
  if (!key || badBuffer(buffer, size)) return ORV_ERR_NULL_ARGUMENT;
  return guarded([&] {
    const std::string value =
        OrvExperiment::getValueAsString(key, default_value ? default_value : "");
    return copyOut(value, buffer, size, length);
  });
}

orv_status_t orv_get_double(const char* key, double default_value, double* value) {
  if (!key || !value) return ORV_ERR_NULL_ARGUMENT;
  return guarded([&] {
    *value = OrvExperiment::getValueAsNumber(key, OrvValue(default_value)).doubleValue();
    return ORV_OK;
  });
}

orv_status_t orv_get_int64(const char* key, int64_t default_value, int64_t* value) {
  if (!key || !value) return ORV_ERR_NULL_ARGUMENT;
  return guarded([&] {
    *value =
        OrvExperiment::getValueAsNumber(key, OrvValue(std::int64_t{default_value})).int64Value();
    return ORV_OK;
  });
}

orv_status_t orv_get_bool(const char* key, int default_value, int* value) {
  if (!key || !value) return ORV_ERR_NULL_ARGUMENT;
  return guarded([&] {
    *value = OrvExperiment::getValueAsBoolean(key, default_value != 0) ? 1 : 0;
    return ORV_OK;
  });
}

orv_status_t orv_get_json(const char* key, const char* default_json, char* buffer, size_t size,
                          size_t* length) {
  if (!key || badBuffer(buffer, size)) return ORV_ERR_NULL_ARGUMENT;
  return guarded([&] {
    if (!default_json)
      return copyOut(OrvExperiment::getValueAsJson(key).toJson(), buffer, size, length);
    OrvValue fallback;
    if (orv_status_t status = parseJson(default_json, fallback); status != ORV_OK) return status;
    return copyOut(OrvExperiment::getValueAsJson(key, fallback).toJson(), buffer, size, length);
  });
}

orv_status_t orv_get_string_detail(const char* key, const char* default_value,
                                   orv_detail_t** detail) {
  if (!key || !detail) return ORV_ERR_NULL_ARGUMENT;
  return guarded([&] {
    *detail = makeDetail(OrvExperiment::getStringDetail(key, default_value ? default_value : ""));
    return ORV_OK;
  });
}

orv_status_t orv_get_number_detail(const char* key, double default_value, orv_detail_t** detail) {
  if (!key || !detail) return ORV_ERR_NULL_ARGUMENT;
  return guarded([&] {
    *detail = makeDetail(OrvExperiment::getNumberDetail(key, OrvValue(default_value)));
    return ORV_OK;
  });
}

orv_status_t orv_get_bool_detail(const char* key, int default_value, orv_detail_t** detail) {
  if (!key || !detail) return ORV_ERR_NULL_ARGUMENT;
  return guarded([&] {
    *detail = makeDetail(OrvExperiment::getBooleanDetail(key, default_value != 0));
    return ORV_OK;
  });
}

orv_status_t orv_get_json_detail(const char* key, const char* default_json, orv_detail_t** detail) {
  if (!key || !detail) return ORV_ERR_NULL_ARGUMENT;
  return guarded([&] {
    if (!default_json) {
      *detail = makeDetail(OrvExperiment::getJsonDetail(key));
      return ORV_OK;
    }
    OrvValue fallback;
    if (orv_status_t status = parseJson(default_json, fallback); status != ORV_OK) return status;
    *detail = makeDetail(OrvExperiment::getJsonDetail(key, fallback));
    return ORV_OK;
  });
}

void orv_detail_free(orv_detail_t* detail) { delete detail; }

orv_status_t orv_detail_source(const orv_detail_t* detail, orv_value_source_t* source) {
  if (!detail || !source) return ORV_ERR_NULL_ARGUMENT;
  switch (detail->source) {
    case OrvValueSource::kDefault:
      *source = ORV_SOURCE_DEFAULT;
      return ORV_OK;
    case OrvValueSource::kCache:
      *source = ORV_SOURCE_CACHE;
      return ORV_OK;
    case OrvValueSource::kNetwork:
      *source = ORV_SOURCE_NETWORK;
      return ORV_OK;
    case OrvValueSource::kOverride:
      *source = ORV_SOURCE_OVERRIDE;
      return ORV_OK;
  }
  return ORV_ERR_INTERNAL;
}

orv_status_t orv_detail_reason(const orv_detail_t* detail, orv_reason_t* reason) {
  if (!detail || !reason) return ORV_ERR_NULL_ARGUMENT;
  switch (detail->reason) {
    case OrvEvaluationReason::kFound:
      *reason = ORV_REASON_FOUND;
      return ORV_OK;
    case OrvEvaluationReason::kMissingKey:
      *reason = ORV_REASON_MISSING_KEY;
      return ORV_OK;
    case OrvEvaluationReason::kWrongType:
      *reason = ORV_REASON_WRONG_TYPE;
      return ORV_OK;
    case OrvEvaluationReason::kNotReady:
      *reason = ORV_REASON_NOT_READY;
      return ORV_OK;
  }
  return ORV_ERR_INTERNAL;
}

orv_status_t orv_detail_string(const orv_detail_t* detail, char* buffer, size_t size,
                               size_t* length) {
  if (!detail || badBuffer(buffer, size)) return ORV_ERR_NULL_ARGUMENT;
  return guarded([&] { return copyOut(textForm(detail->value), buffer, size, length); });
}

orv_status_t orv_detail_json(const orv_detail_t* detail, char* buffer, size_t size,
                             size_t* length) {
  if (!detail || badBuffer(buffer, size)) return ORV_ERR_NULL_ARGUMENT;
  return guarded([&] { return copyOut(detail->value.toJson(), buffer, size, length); });
}

orv_status_t orv_detail_double(const orv_detail_t* detail, double* value) {
  if (!detail || !value) return ORV_ERR_NULL_ARGUMENT;
  *value = detail->value.doubleValue();
  return ORV_OK;
}

orv_status_t orv_detail_int64(const orv_detail_t* detail, int64_t* value) {
  if (!detail || !value) return ORV_ERR_NULL_ARGUMENT;
  *value = detail->value.int64Value();
  return ORV_OK;
}

orv_status_t orv_detail_bool(const orv_detail_t* detail, int* value) {
  if (!detail || !value) return ORV_ERR_NULL_ARGUMENT;
  *value = detail->value.isNumber() && detail->value.boolValue() ? 1 : 0;
  return ORV_OK;
}

orv_status_t orv_detail_in_experiment(const orv_detail_t* detail, int* member) {
  if (!detail || !member) return ORV_ERR_NULL_ARGUMENT;
  *member = detail->experiment ? 1 : 0;
  return ORV_OK;
}

orv_status_t orv_detail_is_control(const orv_detail_t* detail, int* is_control) {
  if (!detail || !is_control) return ORV_ERR_NULL_ARGUMENT;
  if (!detail->experiment) return ORV_ERR_NOT_FOUND;
  *is_control = detail->experiment->isControl ? 1 : 0;
  return ORV_OK;
}

orv_status_t orv_detail_experiment_id_json(const orv_detail_t* detail, char* buffer, size_t size,
                                           size_t* length) {
  return membershipText(detail, &OrvExperimentMembership::experimentId, buffer, size, length);
}

orv_status_t orv_detail_group_id_json(const orv_detail_t* detail, char* buffer, size_t size,
                                      size_t* length) {
  return membershipText(detail, &OrvExperimentMembership::groupId, buffer, size, length);
}

orv_status_t orv_detail_bucket_id_json(const orv_detail_t* detail, char* buffer, size_t size,
                                       size_t* length) {
  return membershipText(detail, &OrvExperimentMembership::bucketId, buffer, size, length);
}

int orv_is_ready(void) {
  try {
    return OrvExperiment::isReady() ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

orv_status_t orv_wait_until_ready(int64_t timeout_ms, int64_t* failure_code, char* message,
                                  size_t message_size, size_t* message_length) {
  if (badBuffer(message, message_size)) return ORV_ERR_NULL_ARGUMENT;
  if (timeout_ms < 0) return ORV_ERR_INVALID_ARGUMENT;
  return guarded([&] {
    if (waitWouldDeadlock()) return ORV_ERR_WOULD_DEADLOCK;
    if (OrvExperiment::isReady()) return ORV_OK;
    // Only looking: no task, so that polling cannot pile up tasks waiting for a table.
    if (timeout_ms == 0) return ORV_ERR_TIMEOUT;
    auto wait = std::make_shared<ReadyWait>();
    // The task keeps an outcome that comes before its listeners, so the order is free.
    auto task = OrvExperiment::whenReady();
    task->addOnSuccessListener([wait] {
      std::lock_guard lock(wait->mutex);
      wait->state = ReadyWait::State::kReady;
      wait->changed.notify_all();
    });
    task->addOnFailureListener([wait](std::int64_t code, const std::string& text) {
      std::lock_guard lock(wait->mutex);
      if (wait->state != ReadyWait::State::kPending) return;
      wait->state = ReadyWait::State::kFailed;
      wait->code = code;
      wait->message = text;
      wait->changed.notify_all();
    });
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(std::min(timeout_ms, kMaxMilliseconds));
    std::unique_lock lock(wait->mutex);
    if (!wait->changed.wait_until(lock, deadline,
                                  [&] { return wait->state != ReadyWait::State::kPending; }))
      return ORV_ERR_TIMEOUT;
    if (wait->state == ReadyWait::State::kReady) return ORV_OK;
    if (failure_code) *failure_code = wait->code;
    copyOut(wait->message, message, message_size, message_length);
    return ORV_ERR_STARTUP_FAILED;
  });
}

orv_status_t orv_fetch(orv_fetch_callback_t callback, void* user) {
  return guarded([&] {
    auto task = OrvExperiment::fetch();
    if (!callback) return ORV_OK;
    // The task reports one outcome; the flag keeps "exactly once" a promise of this
    // interface rather than of the task.
    auto heard = std::make_shared<std::atomic<bool>>(false);
    task->addOnSuccessListener([callback, user, heard] {
      if (heard->exchange(true)) return;
      CallbackScope scope(false);
      callback(user, 1, 0, "");
    });
    task->addOnFailureListener([callback, user, heard](std::int64_t code, const std::string& text) {
      if (heard->exchange(true)) return;
      CallbackScope scope(false);
      callback(user, 0, code, text.c_str());
    });
    return ORV_OK;
  });
}

orv_status_t orv_add_change_listener(orv_change_callback_t callback, void* user, uint64_t* id) {
  if (!callback || !id) return ORV_ERR_NULL_ARGUMENT;
  return guarded([&] {
    auto registration = std::make_shared<Registration>();
    const std::uint64_t added = OrvExperiment::addChangeListener(
        [registration, callback, user](const std::vector<std::string>& keys) {
          RegisteredCall call(*registration, false);
          if (!call) return;
          std::vector<const char*> texts;
          texts.reserve(keys.size() + 1);
          for (const std::string& key : keys) texts.push_back(key.c_str());
          texts.push_back(nullptr);
          callback(user, texts.data(), keys.size());
        });
    changeListeners().add(added, std::move(registration));
    *id = added;
    return ORV_OK;
  });
}

orv_status_t orv_remove_change_listener(uint64_t id) {
  return guarded([&] {
    auto registration = changeListeners().take(id);
    if (!registration) return ORV_ERR_NOT_FOUND;
    OrvExperiment::removeChangeListener(id);
    retire(*registration);
    return ORV_OK;
  });
}

orv_status_t orv_add_event_sink(orv_event_callback_t callback, void* user, uint64_t* id) {
  if (!callback || !id) return ORV_ERR_NULL_ARGUMENT;
  return guarded([&] {
    auto registration = std::make_shared<Registration>();
    const std::uint64_t added = OrvMediator::sharedInstance()->addEventSink(
        [registration, callback, user](const OrvMediatorEvent& event) {
          RegisteredCall call(*registration, true);
          if (!call) return;
          const std::string properties = event.properties.toJson();
          callback(user, event.name.c_str(), properties.c_str(), event.eventId.c_str());
        });
    eventSinks().add(added, std::move(registration));
    *id = added;
    return ORV_OK;
  });
}

orv_status_t orv_remove_event_sink(uint64_t id) {
  return guarded([&] {
    auto registration = eventSinks().take(id);
    if (!registration) return ORV_ERR_NOT_FOUND;
    OrvMediator::sharedInstance()->removeEventSink(id);
    retire(*registration);
    return ORV_OK;
  });
}

orv_status_t orv_exposure(const char* key) {
  if (!key) return ORV_ERR_NULL_ARGUMENT;
  return guarded([&] {
    OrvExperiment::exposure(key);
    return ORV_OK;
  });
}

orv_status_t orv_track(const char* name, double value) {
  if (!name) return ORV_ERR_NULL_ARGUMENT;
  return guarded([&] {
    switch (OrvExperiment::track(name, value)) {
      case OrvTrackResult::kStored:
        return ORV_OK;
      case OrvTrackResult::kInvalidName:
      case OrvTrackResult::kInvalidValue:
        return ORV_ERR_INVALID_ARGUMENT;
      case OrvTrackResult::kNotStarted:
      case OrvTrackResult::kNoUnit:
        return ORV_ERR_NO_UNIT;
    }
    return ORV_ERR_INTERNAL;
  });
}

orv_status_t orv_flush(int64_t timeout_ms) {
  if (timeout_ms < 0) return ORV_ERR_INVALID_ARGUMENT;
  return guarded([&] {
    if (tlSinkDepth > 0 || OrvExperimentQueue::sharedInstance().serialQueue().isCurrentThread())
      return ORV_ERR_WOULD_DEADLOCK;
    const bool done =
        OrvExperiment::flush(std::chrono::milliseconds(std::min(timeout_ms, kMaxMilliseconds)));
    return done ? ORV_OK : ORV_ERR_TIMEOUT;
  });
}

orv_status_t orv_otlp_options_create(const char* endpoint, orv_otlp_options_t** options) {
  if (!endpoint || !options) return ORV_ERR_NULL_ARGUMENT;
  return guarded([&] {
    auto handle = std::make_unique<orv_otlp_options>();
    handle->options.endpoint = endpoint;
    *options = handle.release();
    return ORV_OK;
  });
}

void orv_otlp_options_free(orv_otlp_options_t* options) { delete options; }

orv_status_t orv_otlp_options_add_header(orv_otlp_options_t* options, const char* name,
                                         const char* value) {
  if (!options || !name || !value) return ORV_ERR_NULL_ARGUMENT;
  if (!isHeaderToken(name) || std::strpbrk(value, "\r\n")) return ORV_ERR_INVALID_ARGUMENT;
  return guarded([&] {
    options->options.headers.emplace_back(name, value);
    return ORV_OK;
  });
}

orv_status_t orv_otlp_options_set_max_batch(orv_otlp_options_t* options, int64_t records) {
  if (!options) return ORV_ERR_NULL_ARGUMENT;
  if (records < 1) return ORV_ERR_INVALID_ARGUMENT;
  options->options.maxBatch = static_cast<std::size_t>(
      std::min<std::uint64_t>(static_cast<std::uint64_t>(records), SIZE_MAX));
  return ORV_OK;
}

orv_status_t orv_otlp_options_set_flush_interval(orv_otlp_options_t* options, int64_t interval_ms) {
  if (!options) return ORV_ERR_NULL_ARGUMENT;
  if (interval_ms < 0) return ORV_ERR_INVALID_ARGUMENT;
  options->options.flushInterval = cappedMilliseconds(interval_ms);
  return ORV_OK;
}

orv_status_t orv_otlp_options_set_timeouts(orv_otlp_options_t* options, int64_t connect_ms,
                                           int64_t request_ms) {
  if (!options) return ORV_ERR_NULL_ARGUMENT;
  if (connect_ms < 1 || request_ms < 1) return ORV_ERR_INVALID_ARGUMENT;
  options->options.connectTimeout = cappedMilliseconds(connect_ms);
  options->options.requestTimeout = cappedMilliseconds(request_ms);
  return ORV_OK;
}

orv_status_t orv_add_otlp_exporter(const orv_otlp_options_t* options, uint64_t* id) {
  if (!options || !id) return ORV_ERR_NULL_ARGUMENT;
  return guarded([&] {
    // Not under the ids' lock: the add delivers waiting events to the sinks, which may
    // call this interface.
    const std::uint64_t added = OrvMediator::sharedInstance()->addOtlpExporter(options->options);
    if (added == 0) return ORV_ERR_INVALID_ARGUMENT;
    auto& known = exporterIds();
    std::lock_guard lock(known.mutex);
    known.ids.insert(added);
    *id = added;
    return ORV_OK;
  });
}

orv_status_t orv_remove_otlp_exporter(uint64_t id) {
  return guarded([&] {
    auto& known = exporterIds();
    {
      std::lock_guard lock(known.mutex);
      if (known.ids.erase(id) == 0) return ORV_ERR_NOT_FOUND;
    }
    // Outside the lock: the removal waits for a request in flight.
    OrvMediator::sharedInstance()->removeOtlpExporter(id);
    return ORV_OK;
  });
}

orv_status_t orv_otlp_exporter_stats(uint64_t id, orv_otlp_stats_t* stats) {
  if (!stats) return ORV_ERR_NULL_ARGUMENT;
  return guarded([&] {
    {
      auto& known = exporterIds();
      std::lock_guard lock(known.mutex);
      if (known.ids.count(id) == 0) return ORV_ERR_NOT_FOUND;
    }
    const OrvOtlpExporterStats counted = OrvMediator::sharedInstance()->otlpExporterStats(id);
    stats->exported = counted.exported;
    stats->rejected = counted.rejected;
    stats->dropped = counted.dropped;
    stats->failed_requests = counted.failedRequests;
    return ORV_OK;
  });
}

orv_status_t orv_test_start(const char* payload_json, const orv_config_t* config) {
  if (!payload_json) return ORV_ERR_NULL_ARGUMENT;
  return guarded([&] {
    if (waitWouldDeadlock()) return ORV_ERR_WOULD_DEADLOCK;
    OrvValue payload;
    if (orv_status_t status = parsePayload(payload_json, payload); status != ORV_OK) return status;
    return OrvTesting::start(payload, config ? config->config : nullptr) ? ORV_OK
                                                                         : ORV_ERR_INVALID_ARGUMENT;
  });
}

orv_status_t orv_test_set_payload(const char* payload_json) {
  if (!payload_json) return ORV_ERR_NULL_ARGUMENT;
  return guarded([&] {
    if (waitWouldDeadlock()) return ORV_ERR_WOULD_DEADLOCK;
    OrvValue payload;
    if (orv_status_t status = parsePayload(payload_json, payload); status != ORV_OK) return status;
    if (!OrvTesting::isActive()) return ORV_ERR_NO_UNIT;
    return OrvTesting::setPayload(payload) ? ORV_OK : ORV_ERR_NO_UNIT;
  });
}

orv_status_t orv_test_exposures_json(char* buffer, size_t size, size_t* length) {
  if (badBuffer(buffer, size)) return ORV_ERR_NULL_ARGUMENT;
  return guarded([&] {
    if (waitWouldDeadlock()) return ORV_ERR_WOULD_DEADLOCK;
    OrvValue::Array events;
    for (OrvTestExposure& exposure : OrvTesting::exposures()) {
      OrvValue::Dictionary fields = {{"app_id", OrvValue(exposure.appId)},
                                     {"event_name", OrvValue(exposure.eventName)},
                                     {"experiment_id", std::move(exposure.experimentId)},
                                     {"group_id", std::move(exposure.groupId)},
                                     {"is_control", OrvValue(exposure.isControl)},
                                     {"properties", std::move(exposure.properties)}};
      if (exposure.context.isDictionary()) fields.emplace_back("context", exposure.context);
      events.push_back(OrvValue::dictionary(std::move(fields)));
    }
    return copyOut(OrvValue::array(std::move(events)).toJson(), buffer, size, length);
  });
}

orv_status_t orv_test_clear_exposures(void) {
  return guarded([&] {
    if (waitWouldDeadlock()) return ORV_ERR_WOULD_DEADLOCK;
    OrvTesting::clearExposures();
    return ORV_OK;
  });
}

orv_status_t orv_test_reset(void) {
  return guarded([&] {
    if (waitWouldDeadlock()) return ORV_ERR_WOULD_DEADLOCK;
    OrvTesting::reset();
    return ORV_OK;
  });
}

int orv_test_is_active(void) { return OrvTesting::isActive() ? 1 : 0; }
