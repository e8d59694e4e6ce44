// The reference config server: speaks the component's fetch protocol over HTTP and
// serves each application's payload from "DIR/<app_id>/<template_code>.json".
// POST /v1/remote-config/fetch answers 200 with the file and a strong ETag (the MD5 of
// its bytes), 304 when If-None-Match matches, 404 for an unknown application or a
// missing file (naming the file it looked for), 400 for a malformed request, 500 (with a line on
// stderr) for a payload file that is not a JSON object or is too large. Identifiers are only looked
// up when they consist of letters, digits, ".", "_" and "-" and do not start with "."; anything
// else is unknown (404), so no request can name a path outside DIR. Only regular files
// are served, and a symbolic link only while it leads to a file inside DIR
// (OrvPayloadDirectory).
//
// POST /ofrep/v1/evaluate/flags[/{key}] evaluates the flags of DIR/<app>/ki_feature.json
// over OFREP (see OrvOfrep.h), the application named by the header X-Orv-App or by the
// path prefix /apps/<app>; with an event store (collectEventsTo), a single evaluation
// that exposes a unit to an experiment group stores the library's exposure event for
// it, once per application, unit, experiment and group (setOfrepExposures).
//
// A payload that declares weighted groups ("#groups", see OrvAssignment.h) is resolved
// for the unit each request names, and its ETag is that of the resolved payload; any
// other payload is served byte for byte.
//
// Slow or greedy clients cannot starve it (the connection layer, OrvConnections.h): a
// request (headers and body) must arrive within kRequestTimeout; a body may decode (whatever its
// Content-Encoding and framing) to at most kMaxRequestBytes (kMaxLogsRequestBytes for POST
// /v1/logs), and is read only that far; a client (by address) holds at most
// kMaxConnectionsPerClient connections at once (setMaxConnectionsPerClient, `serve
// --max-connections-per-client`, changes it; more are answered 503 with a body that names the limit
// and that option), and every connection admitted gets a thread of its own at once, up to
// kMaxConnections. When that many are open, a newcomer takes the oldest connection of
// the client that holds the most (when it holds at least two more than the newcomer),
// so a few addresses cannot lock out the rest. The port is bound
// exclusively: a port in use is refused. Memory per request is released when it is
// answered; requests() keeps only the last kMaxLoggedRequests, with bodies up to
// kMaxLoggedBodyBytes. Thread-safe; the server runs on threads of its own between
// start() and stop().
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "OrvExperiment/OrvValue.h"

class OrvConfigServer {
 public:
  static constexpr std::chrono::seconds kRequestTimeout{10};
  static constexpr std::size_t kMaxConnections = 64;
  static constexpr std::size_t kMaxConnectionsPerClient = 8;
  // A fetch request is a few hundred bytes; 64 KiB leaves room for large fetch
  // parameters while bounding what one costs: its parsed body, and the parser buffers
  // each worker thread keeps at the size of the largest document it has read.
  static constexpr std::size_t kMaxRequestBytes = 64u << 10;
  // A log request, decoded. Our exporter's default batch, 512 exposure records, is about
  // 300 KiB of JSON; 8 MiB leaves 16 KiB per record of a batch that size, and the
  // exporter halves a batch answered 413, so larger batches still get through.
  static constexpr std::size_t kMaxLogsRequestBytes = 8u << 20;
  // Log request bodies held at once, from the first byte read until the answer; past it
  // a request is answered 503 with Retry-After, which an OTLP exporter retries. Bounds
  // the collector's memory whatever many clients send.
  static constexpr std::size_t kMaxHeldLogsBytes = 32u << 20;
  static constexpr std::size_t kMaxLoggedRequests = 64;
  static constexpr std::size_t kMaxLoggedBodyBytes = 4096;

  explicit OrvConfigServer(std::string directory);
  ~OrvConfigServer();
  OrvConfigServer(const OrvConfigServer&) = delete;
  OrvConfigServer& operator=(const OrvConfigServer&) = delete;

  // Also accepts OTLP/HTTP logs (POST /v1/logs) into the event store at `path` (see
  // OrvEventCollector), and serves the exposure report of that store a page at a time
  // (OrvReportPage: GET /, /apps/<app>, /apps/<app>/experiments/<id> and
  // /experiments/<id> as pages, GET /api/experiments as JSON). False, with `*error`, when
  // the store refuses the path. Call before start().
  bool collectEventsTo(const std::string& path, std::string* error = nullptr);

  // Whether OFREP evaluations store exposures in the event store (by default they do;
  // `serve --no-ofrep-exposures` turns it off). Call before start().
  void setOfrepExposures(bool record);

  // Answers 200 and 304 with "Cache-Control: max-age=N" (negative: none). Call before
  // start().
  void setMaxAge(long seconds);

  // The connections one client address may hold at once, 1 to kMaxConnections
  // (kMaxConnectionsPerClient unless set). Call before start(); false, changing
  // nothing, for a number out of range.
  bool setMaxConnectionsPerClient(std::size_t connections);

  // Passes one line per request answered to `log` (from the server's threads): time,
  // method, path, application, status, body bytes, time taken, and for a missing
  // payload the file looked for. Call before start().
  void logRequestsTo(std::function<void(const std::string& line)> log);

  // Binds (port 0 picks a free one) and starts serving. False when it cannot bind,
  // also when another socket holds the port.
  bool start(const std::string& host = "127.0.0.1", int port = 0);
  // Closes the connections under way and waits for the workers.
  void stop();
  int port() const;
  std::string url() const;

  struct Request {
    OrvValue body;  // the parsed request body (absent when it was not JSON or too long)
    std::string ifNoneMatch;
    int status = 0;  // what the server answered
  };
  // The last requests served (at most kMaxLoggedRequests), oldest first.
  std::vector<Request> requests() const;

  // Serves the requests of one connected socket on the calling thread, under the same
  // rules as a connection the server accepted, then closes it. For the fuzzer.
  void serveConnection(int socket);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};
