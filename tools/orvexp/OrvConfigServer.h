// The reference config server: speaks the component's fetch protocol over HTTP and
// serves each application's payload from "DIR/<app_id>/<template_code>.json".
// POST /v1/remote-config/fetch answers 200 with the file and a strong ETag (the MD5 of
// its bytes), 304 when If-None-Match matches, 404 for an unknown application or a
// missing file (naming the file it looked for), 400 for a malformed request, 500 (with a line on
// stderr) for a payload file that is not a JSON object or is too large. Identifiers are only looked
// up when they consist of letters, digits, ".", "_" and "-" and do not start with "."; anything
// else is unknown (404), so no request can name a path outside DIR. Only regular files
// are served, and a symbolic link only while it leads to a file inside DIR.
//
// Slow or greedy clients cannot starve it: a request (headers and body) must arrive
// within kRequestTimeout and be at most kMaxRequestBytes, a client (by address) holds at
// most kMaxConnectionsPerClient connections at once (more are answered 503), and every
// accepted connection gets a worker of its own up to kMaxConnections. The port is bound
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
  static constexpr std::size_t kMaxPayloadBytes = 32u << 20;
  static constexpr std::size_t kMaxLoggedRequests = 64;
  static constexpr std::size_t kMaxLoggedBodyBytes = 4096;

  explicit OrvConfigServer(std::string directory);
  ~OrvConfigServer();
  OrvConfigServer(const OrvConfigServer&) = delete;
  OrvConfigServer& operator=(const OrvConfigServer&) = delete;

  // Also accepts OTLP/HTTP logs (POST /v1/logs) and appends them to `path` (see
  // OrvEventCollector). Call before start().
  void collectEventsTo(const std::string& path);

  // Answers 200 and 304 with "Cache-Control: max-age=N" (negative: none). Call before
  // start().
  void setMaxAge(long seconds);

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

  // Where the payload of an application and template code lives.
  static std::string payloadPath(const std::string& directory, const std::string& appId,
                                 const std::string& templateCode);
  static bool isSafeIdentifier(const std::string& id);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};
