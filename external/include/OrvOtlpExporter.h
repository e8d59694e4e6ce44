/// @file
/// An exporter of exposure events to an OpenTelemetry collector (or any OTLP/HTTP
/// receiver), enabled with OrvMediator::sharedInstance()->addOtlpExporter(options).
///
/// Each event becomes one OTLP log record, sent as JSON (`POST {endpoint}/v1/logs`,
/// Content-Type application/json, gzip above a small size) in batches. The exporter is a
/// consumer of the mediator's durable outbox: once the sinks have taken an event it is
/// handed to the exporter's own queue in the same database, and it leaves that queue
/// when the collector has accepted it, or when the collector refused it for good. So
/// events survive crashes and restarts and are delivered at least once, each with its
/// stable eventId, in the order they were stored.
///
/// What each answer leads to:
/// - 2xx: accepted, whatever the body (only its first 64 KiB are read, for a
///   partialSuccess; rejected records are counted and logged, never more than were sent).
/// - 429, 502, 503, 504, a timeout or a transport failure: retried after an exponential
///   back-off with jitter (minBackoff doubling to maxBackoff), which a Retry-After may
///   lengthen, never shorten, up to one hour (OrvHttpClient::kMaxRetryAfter).
/// - 307 and 308 to the same scheme, host and port: followed (up to 5); any other
///   redirect keeps the batch, retried like a failure, with a line saying why.
/// - 413: the batch is sent again in halves, at once, down to single records; later
///   batches stay that small until 16 have gone through, then grow again. A single
///   record still too large is refused for good.
/// - Any other status: refused for good (OTLP/HTTP forbids retrying it). The batch goes
///   to the dead letters of the outbox with the status and the start of the answer,
///   counted in `dropped` and logged; `orvexp outbox` lists them, `--redrive` queues them
///   again.
///
/// Thread-safe. The exporter sends from a thread of its own; nothing it does blocks a
/// read or the library's work queue. Every wait uses the steady clock, so a wall clock
/// set back delays nothing. It stops at process exit (a request in flight is aborted;
/// what was not accepted stays queued for the next run).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "OrvExperiment/OrvExport.h"

struct OrvOutboxEvent;

/// Where an exporter sends and how (OrvMediator::addOtlpExporter).
struct ORV_EXPORT OrvOtlpExporterOptions {
  /// "http(s)://host[:port][/base]": requests go to {endpoint}/v1/logs (an endpoint that
  /// already ends in /v1/logs is used as it is). Required.
  std::string endpoint;
  /// Sent with every request, e.g. {"Authorization", "Bearer ..."}.
  std::vector<std::pair<std::string, std::string>> headers;
  std::size_t maxBatch = 512;                        ///< log records per request
  std::chrono::milliseconds flushInterval{1000};     ///< longest an event waits for a batch
  std::chrono::milliseconds connectTimeout{10'000};  ///< to connect
  std::chrono::milliseconds requestTimeout{10'000};  ///< whole request
  std::size_t gzipAbove = 1024;                      ///< body bytes; larger bodies are gzipped
  std::chrono::milliseconds minBackoff{1000};        ///< first retry delay
  std::chrono::milliseconds maxBackoff{300'000};     ///< longest retry delay (5 min)
  std::string serviceName = "orv-experiment";        ///< resource attribute service.name
};

/// What an exporter has done so far (OrvOtlpExporter::stats).
struct ORV_EXPORT OrvOtlpExporterStats {
  std::uint64_t exported = 0;  ///< log records the collector accepted
  std::uint64_t rejected = 0;  ///< of those, reported rejected in a partialSuccess

  /// Log records refused for good, kept as dead letters in the outbox.
  std::uint64_t dropped = 0;
  std::uint64_t failedRequests = 0;  ///< requests that will be retried
};

/// An exporter of exposure events to an OTLP/HTTP receiver (see OrvOtlpExporter.h),
/// usually made through OrvMediator::addOtlpExporter.
class ORV_EXPORT OrvOtlpExporter {
 public:
  /// Starts the exporter's thread, sending as `options` say.
  explicit OrvOtlpExporter(OrvOtlpExporterOptions options);
  ~OrvOtlpExporter();  ///< stops the thread (waiting for a request in flight)
  OrvOtlpExporter(const OrvOtlpExporter&) = delete;
  OrvOtlpExporter& operator=(const OrvOtlpExporter&) = delete;

  /// The exporter's queue in the outbox: the same for the same endpoint across runs.
  const std::string& consumerName() const;
  /// Events were handed to the queue, how many not said: the queue is read again.
  void wake();
  /// `events` events were handed to the queue. While a batch waits to fill up, the queue
  /// is read again only once the events handed over since the last read can fill it, a
  /// flush asks, or the oldest event has waited flushInterval; not on every hand-over.
  void wake(std::size_t events);
  /// Sends what is queued now without waiting for a fuller batch, and waits until the
  /// queue is empty (or until `deadline`). True when it emptied.
  bool waitDelivered(std::chrono::steady_clock::time_point deadline);
  /// What the exporter has done so far.
  OrvOtlpExporterStats stats() const;

  /// The OTLP/HTTP JSON request body for `events`.
  static std::string encode(const std::vector<OrvOutboxEvent>& events,
                            const std::string& serviceName);

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};
