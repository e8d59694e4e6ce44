/* A C99 program built against the installed orv_experiment.h and the shared library,
 * run against a real `orvexp serve` (see c_api.sh). Every check waits for the event it
 * needs (a callback, a readiness outcome) with a generous timeout, never for a time.
 *
 * Usage:
 *   c_api_test ready   SERVER_URL PAYLOAD_FILE DATA_DIR VERSION
 *     start, readiness, typed and detail reads, the buffer convention, one exposure
 *     event per experiment, fetch after the payload changed, change listeners, flush,
 *     null pointers; ends with a read and returns from main.
 *   c_api_test failed  SERVER_URL DATA_DIR
 *     a start-up that fails (the server has no payload for the application): the wait
 *     answers the failure with its code and message, reads answer defaults.
 *   c_api_test export  SERVER_URL DATA_DIR
 *     the exporter's options and their errors; then, with an exporter to the server's
 *     collector and no sink, one exposure and two outcomes, flushed: the exporter's
 *     counters say the collector accepted all three, and the exporter is removed (c_api.sh
 *     then counts them in the collector's store). */
#define _POSIX_C_SOURCE 200809L

#include <OrvExperiment/orv_experiment.h>
#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#if !defined(__STDC_VERSION__) || __STDC_VERSION__ != 199901L
#error "built as C99: the C interface must compile as C99"
#endif

static int failures = 0;

#define CHECK(cond)                                                            \
  do {                                                                         \
    if (!(cond)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                              \
    }                                                                          \
  } while (0)

#define CHECK_STATUS(expr, want)                                                                 \
  do {                                                                                           \
    orv_status_t got_ = (expr);                                                                  \
    if (got_ != (want)) {                                                                        \
      fprintf(stderr, "%s:%d: %s gave %d (%s), want %s\n", __FILE__, __LINE__, #expr, (int)got_, \
              orv_status_string(got_), #want);                                                   \
      ++failures;                                                                                \
    }                                                                                            \
  } while (0)

/* What the callbacks saw; guarded by `lock`, announced on `changed`. */
enum { kMaxEvents = 32, kTextSize = 256 };
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
static int event_count = 0;
static char event_names[kMaxEvents][kTextSize];
static char event_properties[kMaxEvents][kTextSize];
static char event_ids[kMaxEvents][kTextSize];
static orv_status_t flush_in_sink = ORV_OK;
static int fetches_heard = 0;
static int fetch_ok = -1;
static int64_t fetch_code = -1;
static char fetch_message[kTextSize];
static orv_status_t wait_in_fetch_callback = ORV_OK;
static int callbacks_as_documented = 1; /* the right user pointer, keys[count] NULL */
static uint64_t remover_id = 0, removed_id = 0;
static int remover_calls = 0, removed_calls = 0, staying_calls = 0;
static orv_status_t remove_other_status = ORV_ERR_INTERNAL;
static orv_status_t remove_self_status = ORV_ERR_INTERNAL;
static char staying_keys[kTextSize];

static void copy_text(char* to, const char* from) {
  size_t n = strlen(from);
  if (n >= kTextSize) n = kTextSize - 1;
  memcpy(to, from, n);
  to[n] = '\0';
}

/* Waits until `done()` holds (with `lock` held) or a minute passes. */
static int wait_for(int (*done)(void)) {
  struct timespec deadline;
  int ok;
  clock_gettime(CLOCK_REALTIME, &deadline);
  deadline.tv_sec += 60;
  pthread_mutex_lock(&lock);
  while (!(ok = done())) {
    if (pthread_cond_timedwait(&changed, &lock, &deadline) == ETIMEDOUT) {
      ok = done();
      break;
    }
  }
  pthread_mutex_unlock(&lock);
  return ok;
}

static void on_event(void* user, const char* name, const char* properties_json,
                     const char* event_id) {
  /* The one wait that must refuse here: flush waits for sinks to finish. */
  orv_status_t flushed = orv_flush(60000);
  pthread_mutex_lock(&lock);
  if (user != &event_count) callbacks_as_documented = 0;
  if (event_count == 0) flush_in_sink = flushed;
  if (event_count < kMaxEvents) {
    copy_text(event_names[event_count], name);
    copy_text(event_properties[event_count], properties_json);
    copy_text(event_ids[event_count], event_id);
  }
  ++event_count;
  pthread_cond_broadcast(&changed);
  pthread_mutex_unlock(&lock);
}

static void on_fetch(void* user, int ok, int64_t code, const char* message) {
  /* Readiness is delivered on the main queue, where this runs: a wait here must refuse. */
  orv_status_t waited = orv_wait_until_ready(60000, NULL, NULL, 0, NULL);
  pthread_mutex_lock(&lock);
  if (user != &fetches_heard) callbacks_as_documented = 0;
  ++fetches_heard;
  fetch_ok = ok;
  fetch_code = code;
  copy_text(fetch_message, message);
  wait_in_fetch_callback = waited;
  pthread_cond_broadcast(&changed);
  pthread_mutex_unlock(&lock);
}

/* Added first, so called first for a load: it removes the listener added next, whose
 * call for the same load is queued already and must not happen, then itself, which must
 * not wait for this very call. */
static void on_change_remover(void* user, const char* const* keys, size_t count) {
  uint64_t other, self;
  orv_status_t other_status, self_status;
  (void)keys;
  (void)count;
  pthread_mutex_lock(&lock);
  if (user != &remover_calls) callbacks_as_documented = 0;
  other = removed_id;
  self = remover_id;
  pthread_mutex_unlock(&lock);
  other_status = orv_remove_change_listener(other);
  self_status = orv_remove_change_listener(self);
  pthread_mutex_lock(&lock);
  ++remover_calls;
  remove_other_status = other_status;
  remove_self_status = self_status;
  pthread_cond_broadcast(&changed);
  pthread_mutex_unlock(&lock);
}

static void on_change_removed(void* user, const char* const* keys, size_t count) {
  (void)keys;
  (void)count;
  pthread_mutex_lock(&lock);
  if (user != &removed_calls) callbacks_as_documented = 0;
  ++removed_calls;
  pthread_mutex_unlock(&lock);
}

static void on_change_stay(void* user, const char* const* keys, size_t count) {
  size_t i;
  pthread_mutex_lock(&lock);
  if (user != &staying_calls || keys[count] != NULL) callbacks_as_documented = 0;
  staying_keys[0] = '\0';
  for (i = 0; i < count; ++i) {
    if (strlen(staying_keys) + strlen(keys[i]) + 2 >= kTextSize) break;
    strcat(staying_keys, keys[i]);
    strcat(staying_keys, ",");
  }
  ++staying_calls;
  pthread_cond_broadcast(&changed);
  pthread_mutex_unlock(&lock);
}

static int one_fetch_heard(void) { return fetches_heard >= 1; }
static int first_load_heard(void) { return staying_calls >= 1; }
static int second_load_heard(void) { return staying_calls >= 2; }

static int write_file(const char* path, const char* text) {
  FILE* f = fopen(path, "w");
  if (!f) return 0;
  fputs(text, f);
  return fclose(f) == 0;
}

/* Every function answers a NULL it needs with ORV_ERR_NULL_ARGUMENT, and does nothing. */
static void null_pointers(void) {
  char buffer[8];
  size_t length = 0;
  double d = 0;
  int64_t i = 0;
  int b = 0;
  uint64_t id = 0;
  orv_config_t* config = NULL;
  orv_detail_t* detail = NULL;

  CHECK_STATUS(orv_set_data_directory(NULL), ORV_ERR_NULL_ARGUMENT);
  CHECK_STATUS(orv_start(NULL, "http://127.0.0.1:1"), ORV_ERR_NULL_ARGUMENT);
  CHECK_STATUS(orv_start("app", NULL), ORV_ERR_NULL_ARGUMENT);
  CHECK_STATUS(orv_start_with_config(NULL), ORV_ERR_NULL_ARGUMENT);
  CHECK_STATUS(orv_config_create("app", "url", NULL), ORV_ERR_NULL_ARGUMENT);
  CHECK_STATUS(orv_config_create(NULL, "url", &config), ORV_ERR_NULL_ARGUMENT);
  CHECK(config == NULL);
  CHECK_STATUS(orv_config_set_automatic_exposure_tracking(NULL, 1), ORV_ERR_NULL_ARGUMENT);
  CHECK_STATUS(orv_config_set_bucket_id_json(NULL, "1"), ORV_ERR_NULL_ARGUMENT);
  CHECK_STATUS(orv_config_set_fetch_params_json(NULL, "{}"), ORV_ERR_NULL_ARGUMENT);
  CHECK_STATUS(orv_config_set_refresh_interval(NULL, 60), ORV_ERR_NULL_ARGUMENT);
  CHECK_STATUS(orv_set_fetch_params_json(NULL), ORV_ERR_NULL_ARGUMENT);
  CHECK_STATUS(orv_set_bucket_id_json(NULL), ORV_ERR_NULL_ARGUMENT);
  orv_config_free(NULL);
  orv_detail_free(NULL);

  CHECK_STATUS(orv_get_string(NULL, "d", buffer, sizeof buffer, &length), ORV_ERR_NULL_ARGUMENT);
  CHECK_STATUS(orv_get_string("color", "d", NULL, sizeof buffer, &length), ORV_ERR_NULL_ARGUMENT);
  CHECK_STATUS(orv_get_double(NULL, 1.0, &d), ORV_ERR_NULL_ARGUMENT);
  CHECK_STATUS(orv_get_double("limit", 1.0, NULL), ORV_ERR_NULL_ARGUMENT);
  CHECK_STATUS(orv_get_int64(NULL, 1, &i), ORV_ERR_NULL_ARGUMENT);
  CHECK_STATUS(orv_get_int64("limit", 1, NULL), ORV_ERR_NULL_ARGUMENT);
  CHECK_STATUS(orv_get_bool(NULL, 1, &b), ORV_ERR_NULL_ARGUMENT);
  CHECK_STATUS(orv_get_bool("flag", 1, NULL), ORV_ERR_NULL_ARGUMENT);
  CHECK_STATUS(orv_get_json(NULL, NULL, buffer, sizeof buffer, &length), ORV_ERR_NULL_ARGUMENT);
  CHECK_STATUS(orv_get_json("banner", NULL, NULL, 1, &length), ORV_ERR_NULL_ARGUMENT);
  CHECK_STATUS(orv_get_string_detail(NULL, NULL, &detail), ORV_ERR_NULL_ARGUMENT);
  CHECK_STATUS(orv_get_string_detail("color", NULL, NULL), ORV_ERR_NULL_ARGUMENT);
  CHECK_STATUS(orv_get_number_detail(NULL, 0, &detail), ORV_ERR_NULL_ARGUMENT);
  CHECK_STATUS(orv_get_bool_detail(NULL, 0, &detail), ORV_ERR_NULL_ARGUMENT);
  CHECK_STATUS(orv_get_json_detail(NULL, NULL, &detail), ORV_ERR_NULL_ARGUMENT);
  CHECK(detail == NULL);

  CHECK_STATUS(orv_detail_source(NULL, NULL), ORV_ERR_NULL_ARGUMENT);
  CHECK_STATUS(orv_detail_reason(NULL, NULL), ORV_ERR_NULL_ARGUMENT);
  CHECK_STATUS(orv_detail_string(NULL, buffer, sizeof buffer, &length), ORV_ERR_NULL_ARGUMENT);
  CHECK_STATUS(orv_detail_json(NULL, buffer, sizeof buffer, &length), ORV_ERR_NULL_ARGUMENT);
  CHECK_STATUS(orv_detail_double(NULL, &d), ORV_ERR_NULL_ARGUMENT);
  CHECK_STATUS(orv_detail_int64(NULL, &i), ORV_ERR_NULL_ARGUMENT);
  CHECK_STATUS(orv_detail_bool(NULL, &b), ORV_ERR_NULL_ARGUMENT);
  CHECK_STATUS(orv_detail_in_experiment(NULL, &b), ORV_ERR_NULL_ARGUMENT);
  CHECK_STATUS(orv_detail_is_control(NULL, &b), ORV_ERR_NULL_ARGUMENT);
  CHECK_STATUS(orv_detail_experiment_id_json(NULL, buffer, sizeof buffer, &length),
               ORV_ERR_NULL_ARGUMENT);
  CHECK_STATUS(orv_detail_group_id_json(NULL, buffer, sizeof buffer, &length),
               ORV_ERR_NULL_ARGUMENT);
  CHECK_STATUS(orv_detail_bucket_id_json(NULL, buffer, sizeof buffer, &length),
               ORV_ERR_NULL_ARGUMENT);

  CHECK_STATUS(orv_wait_until_ready(0, NULL, NULL, 4, NULL), ORV_ERR_NULL_ARGUMENT);
  CHECK_STATUS(orv_add_change_listener(NULL, NULL, &id), ORV_ERR_NULL_ARGUMENT);
  CHECK_STATUS(orv_add_change_listener(on_change_stay, NULL, NULL), ORV_ERR_NULL_ARGUMENT);
  CHECK_STATUS(orv_add_event_sink(NULL, NULL, &id), ORV_ERR_NULL_ARGUMENT);
  CHECK_STATUS(orv_add_event_sink(on_event, NULL, NULL), ORV_ERR_NULL_ARGUMENT);
  CHECK(id == 0);
  CHECK_STATUS(orv_exposure(NULL), ORV_ERR_NULL_ARGUMENT);
  CHECK_STATUS(orv_track(NULL, 1), ORV_ERR_NULL_ARGUMENT);
}

/* The status codes: each named, and the rest not. */
static void statuses(void) {
  orv_status_t s;
  for (s = ORV_ERR_NO_UNIT; s <= ORV_OK; s = (orv_status_t)(s + 1))
    CHECK(strcmp(orv_status_string(s), "unknown status") != 0);
  CHECK(strcmp(orv_status_string((orv_status_t)1), "unknown status") == 0);
  CHECK(strcmp(orv_status_string((orv_status_t)(ORV_ERR_NO_UNIT - 1)), "unknown status") == 0);
}

/* A text read through the buffer convention: too small first, then exactly enough. */
static void check_retry(orv_status_t (*read)(const void*, char*, size_t, size_t*), const void* arg,
                        const char* want) {
  char small[2] = {'x', 'x'};
  char* buffer;
  size_t length = 0, again = 0;
  CHECK_STATUS(read(arg, NULL, 0, &length), ORV_ERR_BUFFER_TOO_SMALL);
  CHECK(length == strlen(want));
  CHECK_STATUS(read(arg, small, sizeof small, &length), ORV_ERR_BUFFER_TOO_SMALL);
  CHECK(small[0] == want[0] && small[1] == '\0');
  buffer = malloc(length + 1);
  CHECK(buffer != NULL);
  if (!buffer) return;
  CHECK_STATUS(read(arg, buffer, length + 1, &again), ORV_OK);
  CHECK(again == length && strcmp(buffer, want) == 0);
  CHECK_STATUS(read(arg, buffer, length + 1, NULL), ORV_OK);
  free(buffer);
}

static orv_status_t read_color(const void* arg, char* b, size_t n, size_t* l) {
  return orv_get_string((const char*)arg, NULL, b, n, l);
}
static orv_status_t read_banner(const void* arg, char* b, size_t n, size_t* l) {
  return orv_get_json((const char*)arg, NULL, b, n, l);
}
static orv_status_t read_experiment_id(const void* arg, char* b, size_t n, size_t* l) {
  return orv_detail_experiment_id_json((const orv_detail_t*)arg, b, n, l);
}

static int text_is(orv_status_t status, const char* buffer, const char* want) {
  return status == ORV_OK && strcmp(buffer, want) == 0;
}

static void reads(void) {
  char text[kTextSize];
  double d = 0;
  int64_t i = 0;
  int b = 0;
  orv_detail_t* detail = NULL;
  orv_value_source_t source = ORV_SOURCE_DEFAULT;
  orv_reason_t reason = ORV_REASON_NOT_READY;

  CHECK(text_is(orv_get_string("color", "none", text, sizeof text, NULL), text, "red"));
  CHECK(text_is(orv_get_string("limit", NULL, text, sizeof text, NULL), text, "20"));
  CHECK(text_is(orv_get_string("nope", "none", text, sizeof text, NULL), text, "none"));
  CHECK(text_is(orv_get_string("nope", NULL, text, sizeof text, NULL), text, ""));
  CHECK_STATUS(orv_get_double("price", -1, &d), ORV_OK);
  CHECK(d == 3.5);
  CHECK_STATUS(orv_get_int64("limit", -1, &i), ORV_OK);
  CHECK(i == 20);
  CHECK_STATUS(orv_get_int64("banner", -7, &i), ORV_OK);
  CHECK(i == -7);
  CHECK_STATUS(orv_get_double("nope", 2.25, &d), ORV_OK);
  CHECK(d == 2.25);
  CHECK_STATUS(orv_get_bool("flag", 0, &b), ORV_OK);
  CHECK(b == 1);
  CHECK_STATUS(orv_get_bool("color", 1, &b), ORV_OK);
  CHECK(b == 1);
  CHECK(text_is(orv_get_json("banner", NULL, text, sizeof text, NULL), text,
                "{\"dismissible\":true,\"title\":\"Welcome\"}"));
  CHECK(
      text_is(orv_get_json("color", "{\"d\":[1]}", text, sizeof text, NULL), text, "{\"d\":[1]}"));
  CHECK(text_is(orv_get_json("nope", NULL, text, sizeof text, NULL), text, "{}"));
  CHECK_STATUS(orv_get_json("banner", "{bad", text, sizeof text, NULL), ORV_ERR_INVALID_JSON);

  check_retry(read_color, "color", "red");
  check_retry(read_banner, "banner", "{\"dismissible\":true,\"title\":\"Welcome\"}");

  /* A feature of experiment 101, group 2, bucket 7, from the server in this run. */
  CHECK_STATUS(orv_get_string_detail("color", "none", &detail), ORV_OK);
  CHECK_STATUS(orv_detail_source(detail, &source), ORV_OK);
  CHECK(source == ORV_SOURCE_NETWORK);
  CHECK_STATUS(orv_detail_reason(detail, &reason), ORV_OK);
  CHECK(reason == ORV_REASON_FOUND);
  CHECK(text_is(orv_detail_string(detail, text, sizeof text, NULL), text, "red"));
  CHECK(text_is(orv_detail_json(detail, text, sizeof text, NULL), text, "\"red\""));
  CHECK_STATUS(orv_detail_in_experiment(detail, &b), ORV_OK);
  CHECK(b == 1);
  CHECK_STATUS(orv_detail_is_control(detail, &b), ORV_OK);
  CHECK(b == 0);
  check_retry(read_experiment_id, detail, "\"101\"");
  CHECK(text_is(orv_detail_group_id_json(detail, text, sizeof text, NULL), text, "\"2\""));
  CHECK(text_is(orv_detail_bucket_id_json(detail, text, sizeof text, NULL), text, "7"));
  orv_detail_free(detail);

  /* A local override: its own source, no experiment. */
  CHECK_STATUS(orv_get_string_detail("pinned", "none", &detail), ORV_OK);
  CHECK_STATUS(orv_detail_source(detail, &source), ORV_OK);
  CHECK(source == ORV_SOURCE_OVERRIDE);
  CHECK_STATUS(orv_detail_in_experiment(detail, &b), ORV_OK);
  CHECK(b == 0);
  CHECK(text_is(orv_detail_string(detail, text, sizeof text, NULL), text, "local"));
  orv_detail_free(detail);

  /* The default of a found feature of another kind keeps the feature's membership. */
  CHECK_STATUS(orv_get_number_detail("color", 1.5, &detail), ORV_OK);
  CHECK_STATUS(orv_detail_reason(detail, &reason), ORV_OK);
  CHECK(reason == ORV_REASON_WRONG_TYPE);
  CHECK_STATUS(orv_detail_source(detail, &source), ORV_OK);
  CHECK(source == ORV_SOURCE_DEFAULT);
  CHECK_STATUS(orv_detail_double(detail, &d), ORV_OK);
  CHECK(d == 1.5);
  CHECK_STATUS(orv_detail_in_experiment(detail, &b), ORV_OK);
  CHECK(b == 1);
  orv_detail_free(detail);

  CHECK_STATUS(orv_get_number_detail("price", 0, &detail), ORV_OK);
  CHECK_STATUS(orv_detail_double(detail, &d), ORV_OK);
  CHECK(d == 3.5);
  CHECK_STATUS(orv_detail_int64(detail, &i), ORV_OK);
  CHECK(i == 3);
  CHECK(text_is(orv_detail_string(detail, text, sizeof text, NULL), text, "3.5"));
  CHECK_STATUS(orv_detail_in_experiment(detail, &b), ORV_OK);
  CHECK(b == 0);
  CHECK_STATUS(orv_detail_is_control(detail, &b), ORV_ERR_NOT_FOUND);
  CHECK_STATUS(orv_detail_experiment_id_json(detail, text, sizeof text, NULL), ORV_ERR_NOT_FOUND);
  orv_detail_free(detail);

  CHECK_STATUS(orv_get_bool_detail("flag", 0, &detail), ORV_OK);
  CHECK_STATUS(orv_detail_bool(detail, &b), ORV_OK);
  CHECK(b == 1);
  CHECK(text_is(orv_detail_json(detail, text, sizeof text, NULL), text, "true"));
  orv_detail_free(detail);

  CHECK_STATUS(orv_get_json_detail("banner", NULL, &detail), ORV_OK);
  CHECK(text_is(orv_detail_json(detail, text, sizeof text, NULL), text,
                "{\"dismissible\":true,\"title\":\"Welcome\"}"));
  orv_detail_free(detail);
  CHECK_STATUS(orv_get_json_detail("banner", "[", &detail), ORV_ERR_INVALID_JSON);

  CHECK_STATUS(orv_get_string_detail("nope", "none", &detail), ORV_OK);
  CHECK_STATUS(orv_detail_reason(detail, &reason), ORV_OK);
  CHECK(reason == ORV_REASON_MISSING_KEY);
  CHECK(text_is(orv_detail_string(detail, text, sizeof text, NULL), text, "none"));
  orv_detail_free(detail);
}

static int run_ready(const char* url, const char* payload, const char* data_dir,
                     const char* version) {
  char text[kTextSize];
  orv_config_t* config = NULL;
  uint64_t sink = 0, staying = 0, remover = 0, removed = 0;
  int i, first_experiment = 0;

  CHECK(strcmp(orv_sdk_version(), "1.0.2") == 0); /* what servers see, not the package */
  CHECK(strcmp(orv_package_version(), version) == 0);
  statuses();
  null_pointers();

  CHECK_STATUS(orv_set_data_directory(data_dir), ORV_OK);
  /* Not started and no cache in a new directory: nothing can make it ready. */
  CHECK(orv_is_ready() == 0);
  CHECK_STATUS(orv_wait_until_ready(0, NULL, NULL, 0, NULL), ORV_ERR_TIMEOUT);
  CHECK_STATUS(orv_wait_until_ready(50, NULL, NULL, 0, NULL), ORV_ERR_TIMEOUT);
  CHECK_STATUS(orv_wait_until_ready(-1, NULL, NULL, 0, NULL), ORV_ERR_INVALID_ARGUMENT);
  CHECK_STATUS(orv_flush(-1), ORV_ERR_INVALID_ARGUMENT);

  CHECK_STATUS(orv_add_event_sink(on_event, &event_count, &sink), ORV_OK);
  CHECK(sink != 0);
  CHECK_STATUS(orv_add_change_listener(on_change_remover, &remover_calls, &remover), ORV_OK);
  CHECK_STATUS(orv_add_change_listener(on_change_removed, &removed_calls, &removed), ORV_OK);
  CHECK_STATUS(orv_add_change_listener(on_change_stay, &staying_calls, &staying), ORV_OK);
  CHECK(remover != 0 && removed != 0 && staying != 0 && remover != removed);
  pthread_mutex_lock(&lock);
  remover_id = remover;
  removed_id = removed;
  pthread_mutex_unlock(&lock);

  CHECK_STATUS(orv_config_create("c-app", url, &config), ORV_OK);
  CHECK_STATUS(orv_config_set_fetch_params_json(config, "{\"platform\":\"c\"}"), ORV_OK);
  CHECK_STATUS(orv_config_set_bucket_id_json(config, "{\"user\""), ORV_ERR_INVALID_JSON);
  CHECK_STATUS(orv_config_set_refresh_interval(config, -1), ORV_ERR_INVALID_ARGUMENT);
  CHECK_STATUS(orv_config_set_refresh_interval(config, 0), ORV_OK);
  CHECK_STATUS(orv_config_set_automatic_exposure_tracking(config, 1), ORV_OK);
  CHECK_STATUS(orv_config_set_overrides_json(config, "[1]"), ORV_ERR_INVALID_ARGUMENT);
  CHECK_STATUS(orv_config_set_overrides_json(config, "{\"pinned\":\"local\"}"), ORV_OK);
  CHECK_STATUS(orv_config_set_override_mode(config, 7), ORV_ERR_INVALID_ARGUMENT);
  CHECK_STATUS(orv_config_set_override_mode(config, ORV_OVERRIDE_LOCAL_OVER_REMOTE), ORV_OK);
  CHECK_STATUS(orv_config_add_request_header(config, "Bad Name", "x"), ORV_ERR_INVALID_ARGUMENT);
  CHECK_STATUS(orv_config_add_request_header(config, "Authorization", "Bearer c"), ORV_OK);
  CHECK_STATUS(orv_config_set_timeouts(config, 0, 1000), ORV_ERR_INVALID_ARGUMENT);
  CHECK_STATUS(orv_config_set_timeouts(config, 5000, 30000), ORV_OK);
  CHECK_STATUS(orv_start_with_config(config), ORV_OK);
  orv_config_free(config);

  CHECK_STATUS(orv_wait_until_ready(60000, NULL, NULL, 0, NULL), ORV_OK);
  CHECK(orv_is_ready() == 1);
  /* The first table changes every key. Listeners hear a load in the order added, so once
   * the last has heard it the others have run or were skipped. */
  CHECK(wait_for(first_load_heard));
  pthread_mutex_lock(&lock);
  CHECK(strcmp(staying_keys, "banner,color,flag,limit,pinned,price,") == 0);
  CHECK(remover_calls == 1 && removed_calls == 0);
  CHECK(remove_other_status == ORV_OK && remove_self_status == ORV_OK);
  pthread_mutex_unlock(&lock);
  reads();

  /* Exposures: every read of color above (typed, detail, retried) and of limit reports
   * at most one event per experiment, and color's experiment has exactly one. */
  CHECK_STATUS(orv_flush(60000), ORV_OK);
  pthread_mutex_lock(&lock);
  CHECK(event_count >= 1 && event_count <= kMaxEvents);
  CHECK(flush_in_sink == ORV_ERR_WOULD_DEADLOCK);
  for (i = 0; i < event_count && i < kMaxEvents; ++i) {
    int j;
    CHECK(strcmp(event_names[i], "zu_experiment_exposure") == 0);
    CHECK(strlen(event_ids[i]) == 36);
    if (strstr(event_properties[i], "\"#experiment_id\":\"101\"")) {
      ++first_experiment;
      CHECK(strstr(event_properties[i], "\"#experiment_group_id\":\"2\"") != NULL);
      CHECK(strstr(event_properties[i], "\"#is_control_group\":false") != NULL);
    }
    for (j = 0; j < i; ++j) CHECK(strcmp(event_properties[i], event_properties[j]) != 0);
  }
  CHECK(first_experiment == 1);
  pthread_mutex_unlock(&lock);
  CHECK_STATUS(orv_remove_event_sink(sink), ORV_OK);
  CHECK_STATUS(orv_remove_event_sink(sink), ORV_ERR_NOT_FOUND);

  /* Outcomes: refused for a bad name or value, and for want of a unit until one is set. */
  CHECK_STATUS(orv_track("", 1), ORV_ERR_INVALID_ARGUMENT);
  CHECK_STATUS(orv_track("bad name", 1), ORV_ERR_INVALID_ARGUMENT);
  CHECK_STATUS(orv_track("purchase", 1.0 / 0.0), ORV_ERR_INVALID_ARGUMENT);
  CHECK_STATUS(orv_track("purchase", 12.5), ORV_ERR_NO_UNIT);
  CHECK_STATUS(orv_set_bucket_id_json("\"user-1\""), ORV_OK);
  CHECK_STATUS(orv_track("purchase", 12.5), ORV_OK);

  /* A new payload, then a fetch: the callback hears success with the new value in
   * place, and the listener that stays hears the changed keys (color's value, the
   * memberships the payload no longer has, the new key); the removed ones hear nothing. */
  CHECK(write_file(payload,
                   "{\"color\":\"blue\",\"limit\":20,\"flag\":true,\"price\":\"3.50\","
                   "\"banner\":{\"title\":\"Welcome\",\"dismissible\":true},"
                   "\"new_feature\":\"hello\"}"));
  CHECK_STATUS(orv_fetch(on_fetch, &fetches_heard), ORV_OK);
  CHECK(wait_for(one_fetch_heard));
  CHECK(text_is(orv_get_string("color", NULL, text, sizeof text, NULL), text, "blue"));
  CHECK(wait_for(second_load_heard));
  pthread_mutex_lock(&lock);
  CHECK(fetches_heard == 1);
  CHECK(fetch_ok == 1 && fetch_code == 0 && strcmp(fetch_message, "") == 0);
  CHECK(wait_in_fetch_callback == ORV_ERR_WOULD_DEADLOCK);
  CHECK(strcmp(staying_keys, "color,limit,new_feature,") == 0);
  CHECK(remover_calls == 1 && removed_calls == 0);
  CHECK(callbacks_as_documented);
  pthread_mutex_unlock(&lock);
  CHECK_STATUS(orv_remove_change_listener(removed), ORV_ERR_NOT_FOUND);
  CHECK_STATUS(orv_remove_change_listener(staying), ORV_OK);
  CHECK_STATUS(orv_flush(60000), ORV_OK);

  if (failures) {
    fprintf(stderr, "c_api_test ready: %d checks failed\n", failures);
    return 1;
  }
  /* The last thing before returning from main is a read: exit must cope. */
  return orv_get_string("color", NULL, text, sizeof text, NULL) == ORV_OK &&
                 strcmp(text, "blue") == 0
             ? 0
             : 1;
}

static int run_failed(const char* url, const char* data_dir) {
  char message[8], whole[kTextSize];
  size_t length = 0, whole_length = 0;
  int64_t code = 0, again = 0;
  orv_detail_t* detail = NULL;
  orv_reason_t reason = ORV_REASON_FOUND;

  CHECK_STATUS(orv_set_data_directory(data_dir), ORV_OK);
  CHECK_STATUS(orv_start("no-such-app", url), ORV_OK);
  /* The status says the start-up failed even when the message is cut short. */
  CHECK_STATUS(orv_wait_until_ready(60000, &code, message, sizeof message, &length),
               ORV_ERR_STARTUP_FAILED);
  CHECK(code == 404);
  CHECK(length > sizeof message && strlen(message) == sizeof message - 1);
  CHECK_STATUS(orv_wait_until_ready(60000, &again, whole, sizeof whole, &whole_length),
               ORV_ERR_STARTUP_FAILED);
  CHECK(again == code && whole_length == length && strlen(whole) == length);
  CHECK(strncmp(whole, message, sizeof message - 1) == 0);
  CHECK(strstr(whole, "no-such-app") != NULL);
  CHECK(orv_is_ready() == 0);

  CHECK_STATUS(orv_fetch(on_fetch, &fetches_heard), ORV_OK);
  CHECK(wait_for(one_fetch_heard));
  pthread_mutex_lock(&lock);
  CHECK(fetch_ok == 0 && fetch_code == 404 && strlen(fetch_message) > 0);
  CHECK(wait_in_fetch_callback == ORV_ERR_WOULD_DEADLOCK);
  CHECK(callbacks_as_documented);
  pthread_mutex_unlock(&lock);

  CHECK_STATUS(orv_get_string_detail("color", "none", &detail), ORV_OK);
  CHECK_STATUS(orv_detail_reason(detail, &reason), ORV_OK);
  CHECK(reason == ORV_REASON_NOT_READY);
  orv_detail_free(detail);

  if (failures) {
    fprintf(stderr, "c_api_test failed: %d checks failed\n", failures);
    return 1;
  }
  return orv_get_string("color", "none", whole, sizeof whole, NULL) == ORV_OK &&
                 strcmp(whole, "none") == 0
             ? 0
             : 1;
}

static int run_export(const char* url, const char* data_dir) {
  orv_otlp_options_t* options = NULL;
  orv_config_t* config = NULL;
  orv_otlp_stats_t stats;
  uint64_t exporter = 0, again = 0;
  char text[kTextSize];

  CHECK_STATUS(orv_otlp_options_create(NULL, &options), ORV_ERR_NULL_ARGUMENT);
  CHECK_STATUS(orv_otlp_options_create(url, NULL), ORV_ERR_NULL_ARGUMENT);
  CHECK_STATUS(orv_otlp_options_set_max_batch(NULL, 1), ORV_ERR_NULL_ARGUMENT);
  CHECK_STATUS(orv_add_otlp_exporter(NULL, &exporter), ORV_ERR_NULL_ARGUMENT);
  CHECK_STATUS(orv_otlp_exporter_stats(1, NULL), ORV_ERR_NULL_ARGUMENT);
  CHECK_STATUS(orv_remove_otlp_exporter(12345), ORV_ERR_NOT_FOUND);
  CHECK_STATUS(orv_otlp_exporter_stats(12345, &stats), ORV_ERR_NOT_FOUND);

  CHECK_STATUS(orv_otlp_options_create("ftp://127.0.0.1/", &options), ORV_OK);
  CHECK_STATUS(orv_add_otlp_exporter(options, &exporter), ORV_ERR_INVALID_ARGUMENT);
  orv_otlp_options_free(options);
  orv_otlp_options_free(NULL);

  CHECK_STATUS(orv_otlp_options_create(url, &options), ORV_OK);
  CHECK_STATUS(orv_otlp_options_add_header(options, "bad name", "x"), ORV_ERR_INVALID_ARGUMENT);
  CHECK_STATUS(orv_otlp_options_add_header(options, "X-Team", "a\r\nb"), ORV_ERR_INVALID_ARGUMENT);
  CHECK_STATUS(orv_otlp_options_add_header(options, "X-Team", "checkout"), ORV_OK);
  CHECK_STATUS(orv_otlp_options_set_max_batch(options, 0), ORV_ERR_INVALID_ARGUMENT);
  CHECK_STATUS(orv_otlp_options_set_max_batch(options, 2), ORV_OK);
  CHECK_STATUS(orv_otlp_options_set_flush_interval(options, -1), ORV_ERR_INVALID_ARGUMENT);
  CHECK_STATUS(orv_otlp_options_set_flush_interval(options, 200), ORV_OK);
  CHECK_STATUS(orv_otlp_options_set_timeouts(options, 0, 1), ORV_ERR_INVALID_ARGUMENT);
  CHECK_STATUS(orv_otlp_options_set_timeouts(options, 30000, 30000), ORV_OK);

  CHECK_STATUS(orv_set_data_directory(data_dir), ORV_OK);
  CHECK_STATUS(orv_add_otlp_exporter(options, &exporter), ORV_OK);
  CHECK(exporter != 0);
  /* The same endpoint is the same exporter. */
  CHECK_STATUS(orv_add_otlp_exporter(options, &again), ORV_OK);
  CHECK(again == exporter);
  orv_otlp_options_free(options);

  CHECK_STATUS(orv_config_create("c-app", url, &config), ORV_OK);
  CHECK_STATUS(orv_config_set_bucket_id_json(config, "\"unit-c\""), ORV_OK);
  CHECK_STATUS(orv_start_with_config(config), ORV_OK);
  orv_config_free(config);
  CHECK_STATUS(orv_wait_until_ready(60000, NULL, NULL, 0, NULL), ORV_OK);

  /* color belongs to experiment 101 alone: read twice, exposed once. */
  CHECK(text_is(orv_get_string("color", NULL, text, sizeof text, NULL), text, "red"));
  CHECK(text_is(orv_get_string("color", NULL, text, sizeof text, NULL), text, "red"));
  CHECK_STATUS(orv_track("purchase", 12.5), ORV_OK);
  CHECK_STATUS(orv_track("signup", 1), ORV_OK);
  CHECK_STATUS(orv_flush(60000), ORV_OK);

  CHECK_STATUS(orv_otlp_exporter_stats(exporter, &stats), ORV_OK);
  CHECK(stats.exported == 3 && stats.rejected == 0 && stats.dropped == 0);
  CHECK_STATUS(orv_remove_otlp_exporter(exporter), ORV_OK);
  CHECK_STATUS(orv_remove_otlp_exporter(exporter), ORV_ERR_NOT_FOUND);
  CHECK_STATUS(orv_otlp_exporter_stats(exporter, &stats), ORV_ERR_NOT_FOUND);

  if (failures) fprintf(stderr, "c_api_test export: %d checks failed\n", failures);
  return failures ? 1 : 0;
}

int main(int argc, char** argv) {
  if (argc == 6 && strcmp(argv[1], "ready") == 0)
    return run_ready(argv[2], argv[3], argv[4], argv[5]);
  if (argc == 4 && strcmp(argv[1], "failed") == 0) return run_failed(argv[2], argv[3]);
  if (argc == 4 && strcmp(argv[1], "export") == 0) return run_export(argv[2], argv[3]);
  fprintf(stderr,
          "usage: c_api_test ready URL PAYLOAD DATA_DIR VERSION | failed URL DATA_DIR | "
          "export URL DATA_DIR\n");
  return 2;
}
