// The C interface's test mode: a payload in memory, captured exposures, reset.
#include "OrvExperimentCInternal.h"

using namespace orv_c;

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
