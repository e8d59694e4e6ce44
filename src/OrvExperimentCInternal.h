// What the three parts of the C interface share: OrvExperimentC.cpp (status, start,
// configuration, reads and detail), OrvExperimentCEvents.cpp (readiness, fetch, change
// listeners, event sinks, exposures, outcomes, flush, OTLP exporters) and
// OrvExperimentCTesting.cpp (test mode). Only they include it.
//
// Everything crossing the boundary goes through guarded() (no exception reaches C).
// Callback registrations keep a small record of their own so that removal can promise
// a C caller what it needs before freeing its `user` data: once remove returns, the
// callback neither runs nor will run. The C++ API drops a listener from its list but
// lets a delivery already under way (or queued on the main queue) finish.
#pragma once

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
#include "platform/execution/OrvMainQueue.h"

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

namespace orv_c {

// Timeouts and intervals beyond this are taken as this, so that adding one to a clock
// reading cannot overflow.
inline constexpr std::int64_t kMaxMilliseconds = std::int64_t{365} * 24 * 3600 * 1000;
inline constexpr std::int64_t kMaxSeconds = kMaxMilliseconds / 1000;

// How many callbacks of this interface this thread is running, and how many of them
// are event sinks: waits refuse to run where what they wait for could not.
inline thread_local int tlCallbackDepth = 0;
inline thread_local int tlSinkDepth = 0;

template <class F>
inline orv_status_t guarded(F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return ORV_ERR_OUT_OF_MEMORY;
  } catch (...) {
    return ORV_ERR_INTERNAL;
  }
}

// A buffer argument the caller got wrong: a size with no memory behind it.
inline bool badBuffer(const char* buffer, std::size_t size) {
  return buffer == nullptr && size != 0;
}

// The snprintf-style copy the header promises.
inline orv_status_t copyOut(std::string_view text, char* buffer, std::size_t size,
                            std::size_t* length) {
  if (length) *length = text.size();
  if (size == 0) return ORV_ERR_BUFFER_TOO_SMALL;
  const std::size_t n = std::min(text.size(), size - 1);
  if (n) std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
  return n == text.size() ? ORV_OK : ORV_ERR_BUFFER_TOO_SMALL;
}

// JSON text in; ORV_ERR_INVALID_JSON for a text the parser refuses (std::bad_alloc
// passes through to guarded()).
inline orv_status_t parseJson(const char* json, OrvValue& out) {
  OrvValue::ParseResult parsed = OrvValue::parseJson(json);
  if (!parsed.ok()) return ORV_ERR_INVALID_JSON;
  out = std::move(parsed.value);
  return ORV_OK;
}

// A payload: JSON text of an object (ORV_ERR_INVALID_ARGUMENT for any other value).
inline orv_status_t parsePayload(const char* json, OrvValue& out) {
  if (orv_status_t status = parseJson(json, out); status != ORV_OK) return status;
  return out.isDictionary() ? ORV_OK : ORV_ERR_INVALID_ARGUMENT;
}

// A typed read's text form, as getValueAsString gives it.
inline std::string textForm(const OrvValue& value) {
  return value.isString() ? value.stringValue() : value.description();
}

template <class T>
inline orv_detail_t* makeDetail(OrvEvaluationDetail<T>&& detail) {
  auto* out = new orv_detail();
  out->value = OrvValue(std::move(detail.value));
  out->source = detail.source;
  out->reason = detail.reason;
  out->experiment = std::move(detail.experiment);
  return out;
}

inline orv_status_t membershipText(const orv_detail_t* detail,
                                   OrvValue OrvExperimentMembership::*field, char* buffer,
                                   std::size_t size, std::size_t* length) {
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
inline thread_local const RegisteredCall* tlInnermost = nullptr;

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

inline void retire(Registration& registration) {
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

inline Registry& changeListeners() {
  static Registry* registry = new Registry();
  return *registry;
}

inline Registry& eventSinks() {
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

inline ExporterIds& exporterIds() {
  static ExporterIds* ids = new ExporterIds();
  return *ids;
}

// RFC 9110's token: what a header name may be.
inline bool isHeaderToken(std::string_view name) {
  if (name.empty()) return false;
  return std::all_of(name.begin(), name.end(), [](unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
  });
}

inline std::chrono::milliseconds cappedMilliseconds(std::int64_t ms) {
  return std::chrono::milliseconds(std::min(ms, kMaxMilliseconds));
}

// A wait for readiness on these threads would wait for work queued behind itself.
inline bool waitWouldDeadlock() {
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

}  // namespace orv_c
