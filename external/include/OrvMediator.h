// The analytics mediator: takes events from the library (exposure events) and passes
// them to the sinks the application registers, in the order received.
//
// While no sink is registered, events are kept in a buffer of at most
// kMaxBufferedEvents (the oldest is dropped, with a log line, when it is full) and
// handed, in order, to the next sink registered, inside addEventSink. Sinks run on the
// thread that tracks the event (the library's work queue), one event at a time; a
// sink that throws is logged and does not keep the event from the other sinks or the
// caller. Thread-safe: every member may be called from any thread, also from a sink.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "OrvExperiment/OrvValue.h"

struct OrvMediatorEvent {
  std::string name;                            // "zu_experiment_exposure"
  OrvValue properties;                         // a dictionary
  std::string appId;                           // as handed over ("" from the library)
  std::chrono::system_clock::time_point time;  // when the mediator received it

  // {"name":..., "app_id":..., "time":"2026-12-06T07:24:54.123Z", "properties":{...}}
  std::string toJson() const;
};

class OrvMediator {
 public:
  using Sink = std::function<void(const OrvMediatorEvent&)>;

  static constexpr std::size_t kMaxBufferedEvents = 1000;

  static OrvMediator* sharedInstance();

  void orvAnalyticsTrackEvent(const std::string& name, const OrvValue& properties,
                              const std::string& appId);

  // Returns an id for removeEventSink; 0 for an empty function (ignored).
  std::uint64_t addEventSink(Sink sink);
  void removeEventSink(std::uint64_t id);

  // The mediator's own error lines ("[OrvMediator] [ERROR] ..."); off by default.
  // OrvExperiment::enableLog switches them together with the library's.
  static void enableLog(bool enable);

  // A sink that appends each event as one JSON object per line to `path` (created
  // owner-only when missing). Lines from several threads never interleave.
  static Sink jsonLinesFileSink(const std::string& path);

  OrvMediator(const OrvMediator&) = delete;
  OrvMediator& operator=(const OrvMediator&) = delete;

 private:
  OrvMediator();
  struct State;
  // Constant after construction; never destroyed (the mediator lives for the process).
  State* const state_;
};
