// The C interface (orv_experiment.h) over the C++ API. Everything here is a thin
// boundary: it checks pointers, turns JSON text into values and back, copies text into
// the caller's buffers, and turns every exception into a status code. The library's
// behaviour stays in the C++ classes. This part: status, start, configuration, reads
// and detail; the others are OrvExperimentCEvents.cpp and OrvExperimentCTesting.cpp.
#include "OrvExperimentCInternal.h"

#ifndef ORV_PACKAGE_VERSION
#error "ORV_PACKAGE_VERSION must be defined by the build"
#endif

using namespace orv_c;

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
