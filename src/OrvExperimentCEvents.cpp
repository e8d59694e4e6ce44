// The C interface's readiness, fetch, change listeners, event sinks, exposures,
// outcomes, flush and OTLP exporters (see OrvExperimentCInternal.h for the
// registrations' promise on removal).
#include "OrvExperimentCInternal.h"

using namespace orv_c;

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
