/// @file
/// The analytics mediator: passes events (the library's exposure events, and any the
/// application tracks itself) to the sinks the application registers.
///
/// Events are delivered from a durable outbox in the data directory's database, where
/// the library stores each exposure event in the same transaction that records the
/// exposure. An event leaves the outbox only after every registered sink has taken it;
/// with no sink registered, events wait there, also across restarts, and go to the
/// first sink registered (inside addEventSink). Delivery is in order and at least once:
/// an event can be delivered again after a crash, always with the same eventId, so a
/// consumer that keys on eventId sees each exactly once. The outbox holds at most
/// outboxLimit() events; storing one more drops the oldest, with an error line, counted
/// in droppedEventCount().
///
/// What a process that died left undelivered in the outbox is taken over and delivered
/// by a process with a sink or an exporter within OrvEventOutbox's orphan-scan interval
/// (30 s), also when that process stores nothing itself.
///
/// Sinks run on the thread that delivers (the library's work queue, the caller of
/// addEventSink or orvAnalyticsTrackEvent, or the library's background thread for
/// leftovers and exposures that waited for the database), one event at a time, never
/// two at once; a
/// sink that throws is logged and the event counts as taken. No lock of the mediator is
/// held while a sink runs or a line is logged: a call made while another thread
/// delivers leaves its events to that delivery and returns. Thread-safe: every member
/// may be called from any thread, also from a sink or a console sink.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "OrvExperiment/OrvExport.h"
#include "OrvExperiment/OrvValue.h"
#include "OrvOtlpExporter.h"

/// One event, as a sink receives it.
struct ORV_EXPORT OrvMediatorEvent {
  std::string name;                            ///< "zu_experiment_exposure"
  OrvValue properties;                         ///< a dictionary
  std::string appId;                           ///< the application the exposure was for
  std::chrono::system_clock::time_point time;  ///< when the event was stored
  /// The same on every delivery of this event; unique per event (a UUID of version 7).
  std::string eventId;
  /// What an analysis needs beyond the properties, for an exposure whose experiment
  /// assigned its unit; absent otherwise. A dictionary of `"unit"` (the bucket
  /// identifier's text, the unit the exposure is for), and, when the unit was placed
  /// by weighted groups, `"split"` (the weights it was placed by: an array of
  /// `[group id, weight]` pairs, in their declared order) and `"intended_share"` (its
  /// group's weight over their sum). Never secret; never inside `properties`, which
  /// keep the three keys they have always had. The OTLP exporter sends it as the
  /// attributes `feature_flag.context.id`, `orv.split` (compact JSON text) and
  /// `orv.intended_share`.
  OrvValue context;

  /// The event as one compact JSON object, as jsonLinesFileSink() writes it:
  /// @code
  /// {"app_id":..., "event_id":..., "name":..., "properties":{...},
  ///  "time":"2026-12-06T07:24:54.123Z"}
  /// @endcode
  std::string toJson() const;
  /// The same with `"context"` as well when the event has one (`withContext`).
  std::string toJson(bool withContext) const;
};

/// The analytics mediator (see OrvMediator.h): one per process, sharedInstance().
class ORV_EXPORT OrvMediator {
 public:
  /// A sink: takes one event at a time, on the thread that delivers (see OrvMediator.h).
  using Sink = std::function<void(const OrvMediatorEvent&)>;

  /// The process's one mediator; never null.
  static OrvMediator* sharedInstance();

  /// Stores the event in the outbox of the current data directory, then delivers.
  /// Properties nested deeper than OrvValue::kMaxNestingDepth are refused (error line).
  void orvAnalyticsTrackEvent(const std::string& name, const OrvValue& properties,
                              const std::string& appId);
  /// The same with the event's analysis context (OrvMediatorEvent::context).
  void orvAnalyticsTrackEvent(const std::string& name, const OrvValue& properties,
                              const std::string& appId, const OrvValue& context);
  /// Delivers what waits in the outboxes this process uses (the library calls this after
  /// it has recorded exposures).
  void deliverPending();
  /// Waits until no thread is delivering, or `deadline`; false on timeout or when called
  /// from a sink (which would wait for itself).
  bool waitForDelivery(std::chrono::steady_clock::time_point deadline);

  /// Returns an id for removeEventSink; 0 for an empty function (ignored). Events
  /// waiting in the outbox are delivered before it returns (by another thread, when one
  /// is delivering at that moment).
  std::uint64_t addEventSink(Sink sink);
  /// The other sinks keep receiving everything, also what this one had not taken yet.
  void removeEventSink(std::uint64_t id);

  /// Sends every event, once the sinks have taken it, to an OTLP/HTTP collector (see
  /// OrvOtlpExporter). Returns an id for removeOtlpExporter; 0 when the endpoint is not
  /// an http(s) URL. An endpoint that has an exporter already (the same {endpoint}/v1/logs)
  /// gets that one's id, and these options are not used. Events waiting in the outbox are
  /// handed to it before it returns.
  std::uint64_t addOtlpExporter(OrvOtlpExporterOptions options);
  /// Stops it (waiting for a request in flight). What it had not delivered stays queued
  /// in the outbox for an exporter to the same endpoint, in this run or a later one.
  void removeOtlpExporter(std::uint64_t id);
  /// What the exporter `id` has done so far; all zero for an id that has no exporter.
  OrvOtlpExporterStats otlpExporterStats(std::uint64_t id);
  /// Waits until every exporter has delivered what was handed to it, or the timeout.
  bool flushExporters(std::chrono::milliseconds timeout);

  /// Events waiting in the outbox of the current data directory.
  std::size_t pendingEventCount();
  /// The bound of the outbox (default 100,000; at least 1), and how many events were
  /// dropped for it in this process.
  /// @{
  static void setOutboxLimit(std::size_t limit);
  static std::size_t outboxLimit();
  static std::uint64_t droppedEventCount();
  /// @}

  /// The mediator's own error lines ("[OrvMediator] [ERROR] ..."); off by default.
  /// OrvExperiment::enableLog switches them together with the library's.
  static void enableLog(bool enable);

  /// A sink that appends each event as one JSON object per line (toJson()) to `path`
  /// (created owner-only when missing). It never writes an eventId twice: the ids
  /// already in the file are read when the sink is made. Lines from several threads
  /// never interleave.
  static Sink jsonLinesFileSink(const std::string& path);

  OrvMediator(const OrvMediator&) = delete;
  OrvMediator& operator=(const OrvMediator&) = delete;

 private:
  OrvMediator();
  void deliverRound();
  void scanForLeftovers(std::uint64_t chain);
  void scheduleScan(std::uint64_t chain);
  void startScanningLocked();
  struct State;
  // Constant after construction; never destroyed (the mediator lives for the process).
  State* const state_;
};
