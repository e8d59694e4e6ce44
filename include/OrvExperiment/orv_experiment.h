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

#ifdef __cplusplus
}
#endif

/* The rest of the interface, by area. */
#include "OrvExperiment/orv_experiment_events.h"
#include "OrvExperiment/orv_experiment_testing.h"
