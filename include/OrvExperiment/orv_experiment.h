/**
 * @file orv_experiment.h
 * @brief The library's C interface, for C programs and for other languages through
 * their foreign-function interfaces.
 *
 * It wraps the C++ API (OrvExperiment, OrvExperimentConfig, OrvPlatform and the
 * mediator's event sinks) and behaves as that API does: start once with an application
 * identifier and a config-server address, then read feature values by key. Reads never
 * wait for the network, the disk or a queue; they answer the caller's default until the
 * first payload is in place (see orv_wait_until_ready()). A read of a feature that
 * belongs to an experiment reports one exposure event per application, bucket,
 * experiment and group, remembered across launches.
 *
 * @par Thread-safety
 * Every function may be called from any thread at any time, before or after start-up.
 * Only orv_wait_until_ready(), orv_flush(), the remove functions of listeners, sinks
 * and exporters, and the test-mode functions wait; each says for what and for how long.
 *
 * @par Status codes
 * Functions that can fail return an ::orv_status_t: #ORV_OK (zero) or a negative
 * ORV_ERR_ code. No C++ exception leaves a function of this interface: running out of
 * memory is #ORV_ERR_OUT_OF_MEMORY and any other exception #ORV_ERR_INTERNAL. A required
 * pointer that is NULL is #ORV_ERR_NULL_ARGUMENT, and the call then does nothing else
 * (no read, so no exposure). Output parameters are written only when the call returns
 * #ORV_OK, unless a function says otherwise.
 *
 * @par Strings
 * Text passed in is NUL-terminated UTF-8 that the caller keeps ownership of; the library
 * copies what it keeps. Text handed out is copied into a buffer the caller owns, always
 * through the same three parameters `char* buffer, size_t size, size_t* length`, as
 * snprintf() does:
 * - at most `size - 1` bytes and a terminating NUL are written (nothing when `size` is
 *   0, and `buffer` may then be NULL);
 * - `*length` receives the text's full length in bytes, without the NUL, whether it fit
 *   or not (`length` may be NULL);
 * - when the text did not fit (`size <= *length`) the call returns
 *   #ORV_ERR_BUFFER_TOO_SMALL and the buffer holds a NUL-terminated prefix, which may
 *   end inside a UTF-8 sequence. Call again with a buffer of `*length + 1` bytes.
 *
 * A value may contain NUL bytes (JSON "\u0000" in a string feature); `*length` counts
 * them. JSON text handed out is compact and escapes every control character, so it
 * never contains one. The library allocates nothing the caller must free other than the
 * three handle types (orv_config_free(), orv_detail_free(), orv_otlp_options_free()). Two kinds of
 * text are not copied: constants (versions, status names), which live as long as the process, and
 * the strings a callback receives, which are valid until the callback returns.
 *
 * @par Callbacks
 * Completion and change callbacks run on the library's main queue, a thread of its own
 * that runs one job at a time (see OrvPlatform.h for how a C++ host moves it to a
 * thread of its choice), never inside the call that registered them. Event-sink
 * callbacks run on the thread that delivers events (see orv_add_event_sink()). A
 * main-queue callback must not wait for another one: they run one after the other. The
 * `user` pointer is passed back unexamined.
 *
 * @par Process exit
 * A program may return from main() at any point, also right after a read. Exit stops
 * the library's threads: callbacks still queued are dropped, and so is exposure work;
 * call orv_flush() before exiting to have every exposure recorded and delivered.
 */
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "OrvExperiment/OrvExport.h"

#ifdef __cplusplus
extern "C" {
#endif

/** @name Status codes and versions */
/** @{ */

/// The outcome of a call: #ORV_OK or a negative error code.
typedef enum orv_status_t {
  ORV_OK = 0,                     ///< The call did what it says.
  ORV_ERR_NULL_ARGUMENT = -1,     ///< A required pointer was NULL.
  ORV_ERR_INVALID_ARGUMENT = -2,  ///< A number out of range (a negative timeout, say).
  ORV_ERR_INVALID_JSON = -3,      ///< A JSON text that does not parse or nests too deeply.
  ORV_ERR_BUFFER_TOO_SMALL = -4,  ///< The text did not fit; `*length` says what it needs.
  ORV_ERR_NOT_FOUND = -5,         ///< No such listener or sink, or no experiment membership.
  ORV_ERR_TIMEOUT = -6,           ///< The wait ended before what it waited for.
  ORV_ERR_STARTUP_FAILED = -7,    ///< Start-up ended with neither a cache nor a payload.
  ORV_ERR_WOULD_DEADLOCK = -8,    ///< A wait asked for on a thread the wait needs.
  ORV_ERR_OUT_OF_MEMORY = -9,     ///< Memory ran out; nothing was changed.
  ORV_ERR_INTERNAL = -10,         ///< Any other failure inside the library.
  ORV_ERR_NO_UNIT = -11           ///< No application started, or no unit to record for.
} orv_status_t;

/**
 * @brief A short English description of a status code.
 * @param status Any value; one that is not a status code gets "unknown status".
 * @return A constant string that lives as long as the process.
 */
ORV_EXPORT const char* orv_status_string(orv_status_t status);

/**
 * @brief The SDK version the library reports to config servers ("1.0.2").
 * @return A constant string that lives as long as the process.
 */
ORV_EXPORT const char* orv_sdk_version(void);

/**
 * @brief The version of the installed package this library was built as: the project's
 *        MAJOR.MINOR.PATCH, whose major number the shared library's soname carries.
 *        Not the SDK version of orv_sdk_version().
 * @return A constant string that lives as long as the process.
 */
ORV_EXPORT const char* orv_package_version(void);

/** @} */

/** @name Host settings */
/** @{ */

/**
 * @brief Sets the directory for the exposure store, the event outbox and the payload
 * cache.
 *
 * Default: $XDG_DATA_HOME (or ~/.local/share) followed by "orv-experiment", created
 * owner-only on first use. Call it before start-up: stores already open keep the
 * directory they opened.
 * @param path A directory path; copied.
 * @return #ORV_OK, or #ORV_ERR_NULL_ARGUMENT.
 */
ORV_EXPORT orv_status_t orv_set_data_directory(const char* path);

/**
 * @brief Switches the library's log lines (on stderr) on or off; off by default.
 * @param enable Non-zero for on.
 */
ORV_EXPORT void orv_enable_log(int enable);

/** @} */

/** @name Start-up */
/** @{ */

/**
 * @brief Starts the library with automatic exposure tracking on and nothing else set.
 *
 * Same as a configuration made by orv_config_create() and started at once. A second
 * start is not refused: it moves the library to the new configuration once its cache is
 * ready.
 * @param app_id The application identifier.
 * @param server_url The config server's address (http, https or file URL).
 * @return #ORV_OK, or #ORV_ERR_NULL_ARGUMENT.
 */
ORV_EXPORT orv_status_t orv_start(const char* app_id, const char* server_url);

/// A start-up configuration (opaque): made by orv_config_create(), freed by orv_config_free().
typedef struct orv_config orv_config_t;

/**
 * @brief Makes a configuration with automatic exposure tracking on, and no bucket
 * identifier, fetch parameters or refresh.
 *
 * A configuration may be changed from any thread. Once started it is shared with the
 * library: a later change of automatic exposure tracking takes effect at the next read,
 * while the bucket identifier, fetch parameters and refresh interval are read only by
 * the start.
 * @param app_id The application identifier; copied.
 * @param server_url The config server's address; copied.
 * @param[out] config Receives the new handle; free it with orv_config_free().
 * @return #ORV_OK, #ORV_ERR_NULL_ARGUMENT or #ORV_ERR_OUT_OF_MEMORY.
 */
ORV_EXPORT orv_status_t orv_config_create(const char* app_id, const char* server_url,
                                          orv_config_t** config);

/**
 * @brief Frees a configuration handle.
 *
 * A started configuration lives on inside the library; only the handle goes.
 * @param config The handle, or NULL (ignored).
 */
ORV_EXPORT void orv_config_free(orv_config_t* config);

/**
 * @brief Whether feature reads report exposures by themselves (on by default).
 * @param config The configuration.
 * @param on Non-zero for on.
 * @return #ORV_OK, or #ORV_ERR_NULL_ARGUMENT.
 */
ORV_EXPORT orv_status_t orv_config_set_automatic_exposure_tracking(orv_config_t* config, int on);

/**
 * @brief The bucket identifier sent with every fetch, as JSON text.
 * @param config The configuration.
 * @param json Any JSON value (usually an object or a number).
 * @return #ORV_OK, #ORV_ERR_NULL_ARGUMENT or #ORV_ERR_INVALID_JSON (nothing changed).
 */
ORV_EXPORT orv_status_t orv_config_set_bucket_id_json(orv_config_t* config, const char* json);

/**
 * @brief The custom parameters sent with every fetch, as JSON text.
 * @param config The configuration.
 * @param json Any JSON value (usually an object).
 * @return #ORV_OK, #ORV_ERR_NULL_ARGUMENT or #ORV_ERR_INVALID_JSON (nothing changed).
 */
ORV_EXPORT orv_status_t orv_config_set_fetch_params_json(orv_config_t* config, const char* json);

/**
 * @brief Periodic refresh: a fetch every `seconds` (with +-10% jitter), backing off
 * after failures.
 * @param config The configuration.
 * @param seconds 0 (the default) for none; otherwise at least 30 (a smaller value is
 *        raised, with one log line).
 * @return #ORV_OK, #ORV_ERR_NULL_ARGUMENT, or #ORV_ERR_INVALID_ARGUMENT for a negative
 *         interval.
 */
ORV_EXPORT orv_status_t orv_config_set_refresh_interval(orv_config_t* config, int64_t seconds);

/// How local overrides and the server's payload combine.
typedef enum orv_override_mode_t {
  ORV_OVERRIDE_LOCAL_OVER_REMOTE = 0,  ///< An override replaces the payload's value (default).
  ORV_OVERRIDE_REMOTE_OVER_LOCAL = 1,  ///< The payload wins; overrides fill missing keys.
  ORV_OVERRIDE_LOCAL_ONLY = 2          ///< Overrides only: no fetch, no cache, no store.
} orv_override_mode_t;

/**
 * @brief Local overrides: features pinned to values on this machine. An overridden
 * feature belongs to no experiment and reports no exposure.
 * @param config The configuration.
 * @param json A JSON object of feature key to value; "{}" for none.
 * @return #ORV_OK, #ORV_ERR_NULL_ARGUMENT, #ORV_ERR_INVALID_JSON, or
 *         #ORV_ERR_INVALID_ARGUMENT for JSON that is not an object (nothing changed).
 */
ORV_EXPORT orv_status_t orv_config_set_overrides_json(orv_config_t* config, const char* json);

/**
 * @brief A file holding a JSON object of overrides, read at start and again within
 * about a second of each change. Its entries win over orv_config_set_overrides_json()'s.
 * @param config The configuration.
 * @param path The file's path; "" for none. A missing or broken file counts as none.
 * @return #ORV_OK or #ORV_ERR_NULL_ARGUMENT.
 */
ORV_EXPORT orv_status_t orv_config_set_overrides_file(orv_config_t* config, const char* path);

/**
 * @brief How overrides and the payload combine; read by the start.
 * @param config The configuration.
 * @param mode One of #orv_override_mode_t.
 * @return #ORV_OK, #ORV_ERR_NULL_ARGUMENT or #ORV_ERR_INVALID_ARGUMENT.
 */
ORV_EXPORT orv_status_t orv_config_set_override_mode(orv_config_t* config, int mode);

/**
 * @brief Adds an HTTP header sent with every config fetch (authentication, say).
 * @param config The configuration.
 * @param name An HTTP token, not one the library sets itself (Content-Type, Accept, ...).
 * @param value The value, without line breaks.
 * @return #ORV_OK, #ORV_ERR_NULL_ARGUMENT, or #ORV_ERR_INVALID_ARGUMENT for a header
 *         the library refuses (with an error line; nothing changed).
 */
ORV_EXPORT orv_status_t orv_config_add_request_header(orv_config_t* config, const char* name,
                                                      const char* value);

/**
 * @brief The config fetch's limits: to connect, and for the whole request.
 * @param config The configuration.
 * @param connect_ms At least 1 (default 10000).
 * @param request_ms At least 1 (default 30000).
 * @return #ORV_OK, #ORV_ERR_NULL_ARGUMENT, or #ORV_ERR_INVALID_ARGUMENT for a value
 *         below 1 (nothing changed).
 */
ORV_EXPORT orv_status_t orv_config_set_timeouts(orv_config_t* config, int64_t connect_ms,
                                                int64_t request_ms);

/**
 * @brief Starts the library with a configuration (see orv_start() for a second start).
 * @param config The configuration; the handle may be freed right after.
 * @return #ORV_OK, or #ORV_ERR_NULL_ARGUMENT.
 */
ORV_EXPORT orv_status_t orv_start_with_config(const orv_config_t* config);

/**
 * @brief Replaces the custom fetch parameters for later fetches (nothing is fetched now).
 * @param json Any JSON value (usually an object).
 * @return #ORV_OK, #ORV_ERR_NULL_ARGUMENT or #ORV_ERR_INVALID_JSON.
 */
ORV_EXPORT orv_status_t orv_set_fetch_params_json(const char* json);

/**
 * @brief Replaces the bucket identifier for later fetches (nothing is fetched now).
 * @param json Any JSON value.
 * @return #ORV_OK, #ORV_ERR_NULL_ARGUMENT or #ORV_ERR_INVALID_JSON.
 */
ORV_EXPORT orv_status_t orv_set_bucket_id_json(const char* json);

/** @} */

/** @name Typed reads
 * Each answers the feature's value converted to its kind, or the default when there is
 * no table yet, no such feature, or a value of another kind. Each reports an exposure
 * when the feature belongs to an experiment and automatic exposure tracking is on. */
/** @{ */

/**
 * @brief Reads a feature as text: a string as itself, any other value as its text form
 * (a number's digits, "true", compact JSON for arrays and objects).
 * @param key The feature's key.
 * @param default_value The answer when there is no feature; NULL means "".
 * @param buffer Receives the text (see the string convention above).
 * @param size The buffer's size in bytes.
 * @param[out] length Receives the text's full length; may be NULL.
 * @return #ORV_OK, #ORV_ERR_BUFFER_TOO_SMALL or #ORV_ERR_NULL_ARGUMENT.
 */
ORV_EXPORT orv_status_t orv_get_string(const char* key, const char* default_value, char* buffer,
                                       size_t size, size_t* length);

/**
 * @brief Reads a feature as a double: a number (booleans are 0 and 1) as itself, a string
 * read as a decimal number ("3.50" gives 3.5); the default for anything else.
 * @param key The feature's key.
 * @param default_value The answer when there is no number.
 * @param[out] value Receives the answer.
 * @return #ORV_OK, or #ORV_ERR_NULL_ARGUMENT.
 */
ORV_EXPORT orv_status_t orv_get_double(const char* key, double default_value, double* value);

/**
 * @brief Reads a feature as a 64-bit integer, as orv_get_double() does; fractions are
 * truncated toward zero and values beyond the range saturate.
 * @param key The feature's key.
 * @param default_value The answer when there is no number.
 * @param[out] value Receives the answer.
 * @return #ORV_OK, or #ORV_ERR_NULL_ARGUMENT.
 */
ORV_EXPORT orv_status_t orv_get_int64(const char* key, int64_t default_value, int64_t* value);

/**
 * @brief Reads a feature as a boolean: a number's truth (non-zero is true); the default
 * for anything else, strings such as "true" included.
 * @param key The feature's key.
 * @param default_value The answer when there is no number (non-zero for true).
 * @param[out] value Receives 1 or 0.
 * @return #ORV_OK, or #ORV_ERR_NULL_ARGUMENT.
 */
ORV_EXPORT orv_status_t orv_get_bool(const char* key, int default_value, int* value);

/**
 * @brief Reads a feature that holds a JSON object, as compact JSON text; the default for
 * any other value.
 * @param key The feature's key.
 * @param default_json The answer when there is no object, as JSON text; NULL means "{}".
 * @param buffer Receives the text (see the string convention above).
 * @param size The buffer's size in bytes.
 * @param[out] length Receives the text's full length; may be NULL.
 * @return #ORV_OK, #ORV_ERR_BUFFER_TOO_SMALL, #ORV_ERR_NULL_ARGUMENT or
 *         #ORV_ERR_INVALID_JSON (for the default; nothing read).
 */
ORV_EXPORT orv_status_t orv_get_json(const char* key, const char* default_json, char* buffer,
                                     size_t size, size_t* length);

/** @} */

/** @name Detail reads
 * The typed reads with where the value came from, why it is what it is, and the
 * feature's experiment membership. Each reports an exposure exactly as the matching typed
 * read does. The answer is a handle that holds it, so reading its parts (and reading a
 * text again with a larger buffer) never reads the feature again. */
/** @{ */

/// Where a detail read's value came from.
typedef enum orv_value_source_t {
  ORV_SOURCE_DEFAULT = 0,  ///< The caller's default.
  ORV_SOURCE_CACHE = 1,    ///< The payload cached on disk by an earlier run.
  ORV_SOURCE_NETWORK = 2,  ///< A payload the server sent (or confirmed unchanged) in this run.
  ORV_SOURCE_OVERRIDE = 3  ///< A local override: no experiment, no exposure.
} orv_value_source_t;

/// Why a detail read's value is what it is.
typedef enum orv_reason_t {
  ORV_REASON_FOUND = 0,        ///< The feature's value, converted as the typed read does.
  ORV_REASON_MISSING_KEY = 1,  ///< No feature of that key in the table.
  ORV_REASON_WRONG_TYPE = 2,   ///< A feature whose value this kind of read does not take.
  ORV_REASON_NOT_READY = 3     ///< No table yet (see orv_is_ready()).
} orv_reason_t;

/// The outcome of a detail read (opaque, immutable): freed by orv_detail_free().
typedef struct orv_detail orv_detail_t;

/**
 * @brief orv_get_string() with its detail.
 * @param key The feature's key.
 * @param default_value The answer when there is no feature; NULL means "".
 * @param[out] detail Receives a new handle; free it with orv_detail_free().
 * @return #ORV_OK, #ORV_ERR_NULL_ARGUMENT or #ORV_ERR_OUT_OF_MEMORY.
 */
ORV_EXPORT orv_status_t orv_get_string_detail(const char* key, const char* default_value,
                                              orv_detail_t** detail);

/**
 * @brief orv_get_double() and orv_get_int64() with their detail; the value keeps the
 * payload's kind, so orv_detail_int64() of an integer feature is exact.
 * @param key The feature's key.
 * @param default_value The answer when there is no number.
 * @param[out] detail Receives a new handle; free it with orv_detail_free().
 * @return #ORV_OK, #ORV_ERR_NULL_ARGUMENT or #ORV_ERR_OUT_OF_MEMORY.
 */
ORV_EXPORT orv_status_t orv_get_number_detail(const char* key, double default_value,
                                              orv_detail_t** detail);

/**
 * @brief orv_get_bool() with its detail.
 * @param key The feature's key.
 * @param default_value The answer when there is no number (non-zero for true).
 * @param[out] detail Receives a new handle; free it with orv_detail_free().
 * @return #ORV_OK, #ORV_ERR_NULL_ARGUMENT or #ORV_ERR_OUT_OF_MEMORY.
 */
ORV_EXPORT orv_status_t orv_get_bool_detail(const char* key, int default_value,
                                            orv_detail_t** detail);

/**
 * @brief orv_get_json() with its detail.
 * @param key The feature's key.
 * @param default_json The answer when there is no object, as JSON text; NULL means "{}".
 * @param[out] detail Receives a new handle; free it with orv_detail_free().
 * @return #ORV_OK, #ORV_ERR_NULL_ARGUMENT, #ORV_ERR_INVALID_JSON (for the default;
 *         nothing read) or #ORV_ERR_OUT_OF_MEMORY.
 */
ORV_EXPORT orv_status_t orv_get_json_detail(const char* key, const char* default_json,
                                            orv_detail_t** detail);

/**
 * @brief Frees a detail handle.
 * @param detail The handle, or NULL (ignored).
 */
ORV_EXPORT void orv_detail_free(orv_detail_t* detail);

/**
 * @brief Where the value came from.
 * @param detail The detail.
 * @param[out] source Receives the source.
 * @return #ORV_OK, or #ORV_ERR_NULL_ARGUMENT.
 */
ORV_EXPORT orv_status_t orv_detail_source(const orv_detail_t* detail, orv_value_source_t* source);

/**
 * @brief Why the value is what it is.
 * @param detail The detail.
 * @param[out] reason Receives the reason.
 * @return #ORV_OK, or #ORV_ERR_NULL_ARGUMENT.
 */
ORV_EXPORT orv_status_t orv_detail_reason(const orv_detail_t* detail, orv_reason_t* reason);

/**
 * @brief The value as text, as orv_get_string() gives it.
 * @param detail The detail.
 * @param buffer Receives the text (see the string convention above).
 * @param size The buffer's size in bytes.
 * @param[out] length Receives the text's full length; may be NULL.
 * @return #ORV_OK, #ORV_ERR_BUFFER_TOO_SMALL or #ORV_ERR_NULL_ARGUMENT.
 */
ORV_EXPORT orv_status_t orv_detail_string(const orv_detail_t* detail, char* buffer, size_t size,
                                          size_t* length);

/**
 * @brief The value as JSON text (a string value in quotes).
 * @param detail The detail.
 * @param buffer Receives the text (see the string convention above).
 * @param size The buffer's size in bytes.
 * @param[out] length Receives the text's full length; may be NULL.
 * @return #ORV_OK, #ORV_ERR_BUFFER_TOO_SMALL or #ORV_ERR_NULL_ARGUMENT.
 */
ORV_EXPORT orv_status_t orv_detail_json(const orv_detail_t* detail, char* buffer, size_t size,
                                        size_t* length);

/**
 * @brief The value as a double: a number as itself, a string read as a decimal number,
 * 0 for anything else.
 * @param detail The detail.
 * @param[out] value Receives the number.
 * @return #ORV_OK, or #ORV_ERR_NULL_ARGUMENT.
 */
ORV_EXPORT orv_status_t orv_detail_double(const orv_detail_t* detail, double* value);

/**
 * @brief The value as a 64-bit integer, converted as orv_get_int64() does; 0 for a value
 * that is neither a number nor a string holding one.
 * @param detail The detail.
 * @param[out] value Receives the number.
 * @return #ORV_OK, or #ORV_ERR_NULL_ARGUMENT.
 */
ORV_EXPORT orv_status_t orv_detail_int64(const orv_detail_t* detail, int64_t* value);

/**
 * @brief The value's truth: 1 for a number that is not zero (booleans included), 0 for
 * anything else.
 * @param detail The detail.
 * @param[out] value Receives 1 or 0.
 * @return #ORV_OK, or #ORV_ERR_NULL_ARGUMENT.
 */
ORV_EXPORT orv_status_t orv_detail_bool(const orv_detail_t* detail, int* value);

/**
 * @brief Whether the feature belongs to an experiment. Also answered for a default when
 * the feature was found with a value of another kind.
 * @param detail The detail.
 * @param[out] member Receives 1 or 0.
 * @return #ORV_OK, or #ORV_ERR_NULL_ARGUMENT.
 */
ORV_EXPORT orv_status_t orv_detail_in_experiment(const orv_detail_t* detail, int* member);

/**
 * @brief Whether the feature's group is the experiment's control group.
 * @param detail The detail.
 * @param[out] is_control Receives 1 or 0.
 * @return #ORV_OK, #ORV_ERR_NULL_ARGUMENT, or #ORV_ERR_NOT_FOUND when the feature belongs
 *         to no experiment.
 */
ORV_EXPORT orv_status_t orv_detail_is_control(const orv_detail_t* detail, int* is_control);

/**
 * @brief The experiment's identifier as JSON text; it keeps the payload's kind ("\"101\""
 * for a string, "101" for a number).
 * @param detail The detail.
 * @param buffer Receives the text (see the string convention above).
 * @param size The buffer's size in bytes.
 * @param[out] length Receives the text's full length; may be NULL.
 * @return #ORV_OK, #ORV_ERR_BUFFER_TOO_SMALL, #ORV_ERR_NULL_ARGUMENT, or
 *         #ORV_ERR_NOT_FOUND when the feature belongs to no experiment.
 */
ORV_EXPORT orv_status_t orv_detail_experiment_id_json(const orv_detail_t* detail, char* buffer,
                                                      size_t size, size_t* length);

/**
 * @brief The experiment group's identifier as JSON text (see
 * orv_detail_experiment_id_json()).
 * @param detail The detail.
 * @param buffer Receives the text (see the string convention above).
 * @param size The buffer's size in bytes.
 * @param[out] length Receives the text's full length; may be NULL.
 * @return #ORV_OK, #ORV_ERR_BUFFER_TOO_SMALL, #ORV_ERR_NULL_ARGUMENT, or
 *         #ORV_ERR_NOT_FOUND when the feature belongs to no experiment.
 */
ORV_EXPORT orv_status_t orv_detail_group_id_json(const orv_detail_t* detail, char* buffer,
                                                 size_t size, size_t* length);

/**
 * @brief The bucket identifier the payload names for the experiment, as JSON text
 * ("null" when it names none).
 * @param detail The detail.
 * @param buffer Receives the text (see the string convention above).
 * @param size The buffer's size in bytes.
 * @param[out] length Receives the text's full length; may be NULL.
 * @return #ORV_OK, #ORV_ERR_BUFFER_TOO_SMALL, #ORV_ERR_NULL_ARGUMENT, or
 *         #ORV_ERR_NOT_FOUND when the feature belongs to no experiment.
 */
ORV_EXPORT orv_status_t orv_detail_bucket_id_json(const orv_detail_t* detail, char* buffer,
                                                  size_t size, size_t* length);

/** @} */

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
