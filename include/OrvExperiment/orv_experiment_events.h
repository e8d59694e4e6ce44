/**
 * @file orv_experiment_events.h
 * @brief The C interface's readiness, fetches, change listeners, exposure events and
 * outcomes, event sinks, and export to an OpenTelemetry collector.
 *
 * Part of the C interface: include orv_experiment.h (which includes this file), whose
 * conventions (thread-safety, status codes, strings, callbacks) hold here too.
 */
#pragma once

#include "OrvExperiment/orv_experiment.h"

#ifdef __cplusplus
extern "C" {
#endif

/** @name Readiness, fetches and changes */
/** @{ */

/**
 * @brief Whether a feature table (from the cache or a fetch) is in place.
 * @return 1 when it is, 0 when not.
 */
ORV_EXPORT int orv_is_ready(void);

/**
 * @brief Waits until a feature table is in place, start-up has failed, or the timeout
 * passes.
 *
 * Start-up fails when it ends with neither a usable cache nor a successful fetch; the
 * failure is then answered at once by every later call, until a later fetch or refresh
 * brings a table.
 *
 * Never call it where the outcome it waits for would have to run: inside a callback of
 * this library or a job of the main queue, or on the library's work queue. There it
 * returns #ORV_ERR_WOULD_DEADLOCK at once; wait on a thread of your own instead, or use
 * orv_fetch()'s callback.
 * @param timeout_ms How long to wait, in milliseconds; more than a year counts as a year.
 *        0 only looks: #ORV_OK when a table is in place, #ORV_ERR_TIMEOUT otherwise (a
 *        failed start-up included).
 * @param[out] failure_code On #ORV_ERR_STARTUP_FAILED, receives the failed fetch's code;
 *        may be NULL.
 * @param message On #ORV_ERR_STARTUP_FAILED, receives the failed fetch's message (see the
 *        string convention above; a message that does not fit is cut short, and the
 *        status still says the start-up failed); may be NULL when `message_size` is 0.
 * @param message_size The message buffer's size in bytes.
 * @param[out] message_length On #ORV_ERR_STARTUP_FAILED, receives the message's full
 *        length; may be NULL.
 * @return #ORV_OK (ready), #ORV_ERR_STARTUP_FAILED, #ORV_ERR_TIMEOUT,
 *         #ORV_ERR_WOULD_DEADLOCK, #ORV_ERR_INVALID_ARGUMENT (a negative timeout) or
 *         #ORV_ERR_NULL_ARGUMENT (a NULL message with a non-zero size).
 */
ORV_EXPORT orv_status_t orv_wait_until_ready(int64_t timeout_ms, int64_t* failure_code,
                                             char* message, size_t message_size,
                                             size_t* message_length);

/**
 * @brief Hears how a fetch ended.
 *
 * Runs on the main queue, once per orv_fetch() call.
 * @param user The pointer given to orv_fetch().
 * @param ok 1 when the fetch succeeded and its features are in place, 0 when it failed.
 * @param code 0 on success; the failure's code otherwise (negative for the library's
 *        own failures, the HTTP status for an error answer).
 * @param message "" on success; the failure's message otherwise. Valid until the
 *        callback returns.
 */
typedef void (*orv_fetch_callback_t)(void* user, int ok, int64_t code, const char* message);

/**
 * @brief Fetches now.
 *
 * The callback runs exactly once, on the main queue, after the outcome (unless the
 * process exits first); before start-up it hears a failure.
 * @param callback Hears the outcome; NULL to fetch without hearing.
 * @param user Passed to the callback.
 * @return #ORV_OK, or #ORV_ERR_OUT_OF_MEMORY (the callback may then never run).
 */
ORV_EXPORT orv_status_t orv_fetch(orv_fetch_callback_t callback, void* user);

/**
 * @brief Hears the keys a load changed.
 *
 * Runs on the main queue after each load whose table differs from the one before (a
 * value or an experiment membership changed, a key added or removed); not after a load
 * that changed nothing.
 * @param user The pointer given to orv_add_change_listener().
 * @param keys The keys that differ, sorted; `keys[count]` is NULL. Valid until the
 *        callback returns.
 * @param count How many keys.
 */
typedef void (*orv_change_callback_t)(void* user, const char* const* keys, size_t count);

/**
 * @brief Adds a change listener.
 * @param callback The listener.
 * @param user Passed to the callback.
 * @param[out] id Receives the listener's id for orv_remove_change_listener(); never 0.
 * @return #ORV_OK, #ORV_ERR_NULL_ARGUMENT or #ORV_ERR_OUT_OF_MEMORY.
 */
ORV_EXPORT orv_status_t orv_add_change_listener(orv_change_callback_t callback, void* user,
                                                uint64_t* id);

/**
 * @brief Removes a change listener.
 *
 * Once it returns the listener is not called again, and no call of it is running on
 * another thread (it waits for one to return), so `user` may be freed. Called inside the
 * listener itself it does not wait for that call.
 * @param id An id from orv_add_change_listener().
 * @return #ORV_OK, or #ORV_ERR_NOT_FOUND (never added, or removed already).
 */
ORV_EXPORT orv_status_t orv_remove_change_listener(uint64_t id);

/** @} */

/** @name Exposure events */
/** @{ */

/**
 * @brief Takes one event: the library's exposure events ("zu_experiment_exposure") and
 * those tracked by other parts of the process.
 *
 * Delivery is in order and at least once: after a crash an event may come again, always
 * with the same `event_id`. Runs on the thread that delivers: the library's work queue,
 * the caller of orv_add_event_sink(), or a background thread of the library; one event
 * at a time, never two at once.
 * @param user The pointer given to orv_add_event_sink().
 * @param name The event's name.
 * @param properties_json The event's properties, a JSON object.
 * @param event_id The event's unique identifier (a UUID), the same on every delivery.
 */
typedef void (*orv_event_callback_t)(void* user, const char* name, const char* properties_json,
                                     const char* event_id);

/**
 * @brief Adds an event sink.
 *
 * Events stored before any sink was registered (also by earlier runs) are delivered
 * before this returns, possibly on this thread and so before `*id` is written.
 * @param callback The sink.
 * @param user Passed to the callback.
 * @param[out] id Receives the sink's id for orv_remove_event_sink(); never 0.
 * @return #ORV_OK, #ORV_ERR_NULL_ARGUMENT or #ORV_ERR_OUT_OF_MEMORY.
 */
ORV_EXPORT orv_status_t orv_add_event_sink(orv_event_callback_t callback, void* user, uint64_t* id);

/**
 * @brief Removes an event sink.
 *
 * The other sinks keep receiving everything. Once it returns the sink is not called
 * again, and no call of it is running on another thread (it waits for one to return),
 * so `user` may be freed. Called inside the sink itself it does not wait for that call.
 * @param id An id from orv_add_event_sink().
 * @return #ORV_OK, or #ORV_ERR_NOT_FOUND (never added, or removed already).
 */
ORV_EXPORT orv_status_t orv_remove_event_sink(uint64_t id);

/**
 * @brief Reports an exposure of a feature whatever automatic exposure tracking says.
 * @param key The feature's key.
 * @return #ORV_OK, or #ORV_ERR_NULL_ARGUMENT.
 */
ORV_EXPORT orv_status_t orv_exposure(const char* key);

/**
 * @brief Records an outcome of the current unit (the bucket identifier, else the fetch
 * parameter "unit_id"), as OrvExperiment::track does: stored in the outbox before it
 * returns, then delivered to the event sinks and exporters like an exposure.
 * @param name What happened ("purchase"): 1 to 128 bytes of letters, digits, underscores,
 * dots, colons and hyphens.
 * @param value What it was worth; 1 for a count.
 * @return #ORV_OK; #ORV_ERR_NULL_ARGUMENT; #ORV_ERR_INVALID_ARGUMENT for a bad name or a
 * value that is not finite; #ORV_ERR_NO_UNIT before a start or without a unit.
 */
ORV_EXPORT orv_status_t orv_track(const char* name, double value);

/**
 * @brief Waits until every exposure requested before this call has been recorded and
 * handed to the event sinks (or, with no sink yet, stored for the first one).
 *
 * For short-lived programs to call before they exit. Inside an event sink it returns
 * #ORV_ERR_WOULD_DEADLOCK at once; inside a change or fetch callback it works, but holds
 * up the other callbacks while it waits.
 * @param timeout_ms How long to wait, in milliseconds; more than a year counts as a year.
 * @return #ORV_OK, #ORV_ERR_TIMEOUT (also once the process has begun to exit),
 *         #ORV_ERR_WOULD_DEADLOCK or #ORV_ERR_INVALID_ARGUMENT (a negative timeout).
 */
ORV_EXPORT orv_status_t orv_flush(int64_t timeout_ms);

/** @} */

/** @name Export to a collector
 * Every event the event sinks take (exposures and outcomes alike), also with no sink at
 * all, can go to an OpenTelemetry collector or any OTLP/HTTP receiver as one log record
 * each (`POST {endpoint}/v1/logs`), in batches, from a thread of the exporter's own. An
 * event leaves the exporter's durable queue (in the data directory) once the collector
 * has accepted it, so events survive crashes and restarts and reach the collector at
 * least once, each with its stable event identifier. Failures are retried with
 * back-off; a batch the collector refuses for good is kept as dead letters and counted
 * in orv_otlp_stats_t::dropped. orv_flush() also waits until the exporters' collectors
 * have what was flushed. */
/** @{ */

/// Where and how an exporter sends (opaque): made by orv_otlp_options_create(), freed
/// by orv_otlp_options_free(). One handle is for one thread at a time.
typedef struct orv_otlp_options orv_otlp_options_t;

/**
 * @brief Makes exporter options for an endpoint, with batches of up to 512 records sent
 * at least every second and 10-second connect and request timeouts.
 * @param endpoint "http(s)://host[:port][/base]"; requests go to {endpoint}/v1/logs (one
 *        that already ends in /v1/logs is used as it is). Copied; checked by
 *        orv_add_otlp_exporter().
 * @param[out] options Receives the new handle; free it with orv_otlp_options_free().
 * @return #ORV_OK, #ORV_ERR_NULL_ARGUMENT or #ORV_ERR_OUT_OF_MEMORY.
 */
ORV_EXPORT orv_status_t orv_otlp_options_create(const char* endpoint, orv_otlp_options_t** options);

/**
 * @brief Frees exporter options; an exporter made from them keeps its own copy.
 * @param options The handle, or NULL (ignored).
 */
ORV_EXPORT void orv_otlp_options_free(orv_otlp_options_t* options);

/**
 * @brief Adds an HTTP header sent with every request to the collector
 * ("Authorization", say).
 * @param options The options.
 * @param name An HTTP token.
 * @param value The value, without line breaks.
 * @return #ORV_OK, #ORV_ERR_NULL_ARGUMENT, or #ORV_ERR_INVALID_ARGUMENT for a name that
 *         is not a token or a value with a line break (nothing changed).
 */
ORV_EXPORT orv_status_t orv_otlp_options_add_header(orv_otlp_options_t* options, const char* name,
                                                    const char* value);

/**
 * @brief The most log records one request carries.
 * @param options The options.
 * @param records At least 1 (default 512).
 * @return #ORV_OK, #ORV_ERR_NULL_ARGUMENT, or #ORV_ERR_INVALID_ARGUMENT for a value
 *         below 1 (nothing changed).
 */
ORV_EXPORT orv_status_t orv_otlp_options_set_max_batch(orv_otlp_options_t* options,
                                                       int64_t records);

/**
 * @brief The longest an event waits for its batch to fill before it is sent anyway.
 * @param options The options.
 * @param interval_ms 0 or more (default 1000); more than a year counts as a year.
 * @return #ORV_OK, #ORV_ERR_NULL_ARGUMENT, or #ORV_ERR_INVALID_ARGUMENT for a negative
 *         value (nothing changed).
 */
ORV_EXPORT orv_status_t orv_otlp_options_set_flush_interval(orv_otlp_options_t* options,
                                                            int64_t interval_ms);

/**
 * @brief The limits of one request to the collector: to connect, and for the whole
 * request.
 * @param options The options.
 * @param connect_ms At least 1 (default 10000); more than a year counts as a year.
 * @param request_ms At least 1 (default 10000); more than a year counts as a year.
 * @return #ORV_OK, #ORV_ERR_NULL_ARGUMENT, or #ORV_ERR_INVALID_ARGUMENT for a value
 *         below 1 (nothing changed).
 */
ORV_EXPORT orv_status_t orv_otlp_options_set_timeouts(orv_otlp_options_t* options,
                                                      int64_t connect_ms, int64_t request_ms);

/**
 * @brief Starts an exporter. Events already waiting in the data directory's outbox (also
 * from earlier runs) are handed to it before it returns.
 *
 * An endpoint that has an exporter already (the same {endpoint}/v1/logs) gets that
 * exporter's id, and these options are not used; one removal then removes it.
 * @param options The options; the handle may be freed right after.
 * @param[out] id Receives the exporter's id for orv_remove_otlp_exporter() and
 *        orv_otlp_exporter_stats(); never 0.
 * @return #ORV_OK, #ORV_ERR_NULL_ARGUMENT, #ORV_ERR_OUT_OF_MEMORY, or
 *         #ORV_ERR_INVALID_ARGUMENT for an endpoint that is not an http(s) URL (with an
 *         error line; nothing started).
 */
ORV_EXPORT orv_status_t orv_add_otlp_exporter(const orv_otlp_options_t* options, uint64_t* id);

/**
 * @brief Stops an exporter.
 *
 * Waits for a request in flight to end (at most its request timeout). What the collector
 * has not accepted stays queued in the data directory, for an exporter to the same
 * endpoint in this run or a later one; call orv_flush() first to have it delivered.
 * @param id An id from orv_add_otlp_exporter().
 * @return #ORV_OK, or #ORV_ERR_NOT_FOUND (never added, or removed already).
 */
ORV_EXPORT orv_status_t orv_remove_otlp_exporter(uint64_t id);

/// What an exporter has done since it was added (orv_otlp_exporter_stats()).
typedef struct orv_otlp_stats_t {
  uint64_t exported;         ///< Log records the collector accepted.
  uint64_t rejected;         ///< Of those, ones the collector reported it rejected.
  uint64_t dropped;          ///< Log records refused for good, kept as dead letters.
  uint64_t failed_requests;  ///< Requests that failed and will be retried.
} orv_otlp_stats_t;

/**
 * @brief Reads an exporter's counters.
 * @param id An id from orv_add_otlp_exporter().
 * @param[out] stats Receives the counters.
 * @return #ORV_OK, #ORV_ERR_NULL_ARGUMENT, or #ORV_ERR_NOT_FOUND (never added, or
 *         removed already).
 */
ORV_EXPORT orv_status_t orv_otlp_exporter_stats(uint64_t id, orv_otlp_stats_t* stats);

/** @} */

#ifdef __cplusplus
}
#endif
