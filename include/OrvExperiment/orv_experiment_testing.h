/**
 * @file orv_experiment_testing.h
 * @brief The C interface's test mode, for an application's own tests of code that reads
 * features.
 *
 * Part of the C interface: include orv_experiment.h (which includes this file), whose
 * conventions (thread-safety, status codes, strings, callbacks) hold here too.
 */
#pragma once

#include "OrvExperiment/orv_experiment.h"

#ifdef __cplusplus
extern "C" {
#endif

/** @name Test mode
 * For an application's own tests of code that reads features (see OrvTesting.h): a
 * payload put in place as if a server had sent it, with no disk, no network, and
 * readiness at once. Reads, detail reads, exposures, change listeners and overrides
 * behave as in production, except that exposure events are captured for
 * orv_test_exposures_json() instead of going to the event sinks and exporters. While
 * test mode is on, orv_start() and orv_start_with_config() are ignored and orv_fetch()
 * succeeds without a fetch.
 *
 * All but orv_test_is_active() wait for the library's work queued before the call (and
 * the change listeners it runs), as long as those take. orv_test_start(),
 * orv_test_set_payload() and orv_test_reset() must be called while no other thread
 * uses the library: between tests, from the test's own thread. None of
 * these functions may be called inside a callback of this library; there they return
 * #ORV_ERR_WOULD_DEADLOCK. Test mode cannot follow a real start in the same process. */
/** @{ */

/**
 * @brief Starts test mode (resetting it first when it is on already).
 * @param payload_json A JSON object in the payload format.
 * @param config The configuration whose bucket identifier, fetch parameters, overrides
 *        and exposure tracking apply (its server address plays no part), or NULL for one
 *        of the application "test-app" with automatic exposure tracking on.
 * @return #ORV_OK, #ORV_ERR_NULL_ARGUMENT, #ORV_ERR_INVALID_JSON,
 *         #ORV_ERR_INVALID_ARGUMENT for a payload that is not an object or after a real
 *         start (the library is then left unstarted), or #ORV_ERR_WOULD_DEADLOCK.
 */
ORV_EXPORT orv_status_t orv_test_start(const char* payload_json, const orv_config_t* config);

/**
 * @brief Replaces the payload as a fetch that brought it would: change listeners hear
 * the keys that differ before it returns (with the library's own main queue), and an
 * experiment already exposed stays exposed.
 * @param payload_json A JSON object in the payload format.
 * @return #ORV_OK, #ORV_ERR_NULL_ARGUMENT, #ORV_ERR_INVALID_JSON,
 *         #ORV_ERR_INVALID_ARGUMENT for a payload that is not an object,
 *         #ORV_ERR_NO_UNIT outside test mode (nothing changed), or
 *         #ORV_ERR_WOULD_DEADLOCK.
 */
ORV_EXPORT orv_status_t orv_test_set_payload(const char* payload_json);

/**
 * @brief The exposure events captured since test mode started (or was cleared), oldest
 * first, once every exposure asked for before the call has been decided.
 *
 * A JSON array of objects with "app_id", "event_name", "experiment_id", "group_id" (as
 * the payload has them), "is_control", "properties" (as a sink would receive them) and,
 * with a unit, "context".
 * @param buffer Receives the text (see the string convention above).
 * @param size The buffer's size in bytes.
 * @param[out] length Receives the text's full length; may be NULL.
 * @return #ORV_OK, #ORV_ERR_BUFFER_TOO_SMALL, #ORV_ERR_NULL_ARGUMENT or
 *         #ORV_ERR_WOULD_DEADLOCK.
 */
ORV_EXPORT orv_status_t orv_test_exposures_json(char* buffer, size_t size, size_t* length);

/**
 * @brief Forgets the captured exposure events; what was exposed stays exposed.
 * @return #ORV_OK or #ORV_ERR_WOULD_DEADLOCK.
 */
ORV_EXPORT orv_status_t orv_test_clear_exposures(void);

/**
 * @brief Leaves test mode for the unstarted state: no table, no configuration, no
 * change listener, no exposure remembered or captured. Does nothing outside test mode.
 * @return #ORV_OK or #ORV_ERR_WOULD_DEADLOCK.
 */
ORV_EXPORT orv_status_t orv_test_reset(void);

/**
 * @brief Whether test mode is on.
 * @return 1 when it is, 0 when not.
 */
ORV_EXPORT int orv_test_is_active(void);

/** @} */

#ifdef __cplusplus
}
#endif
