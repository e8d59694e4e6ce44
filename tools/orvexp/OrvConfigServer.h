// The reference config server: speaks the component's fetch protocol over HTTP and
// serves each application's payload from "DIR/<app_id>/<template_code>.json".
// POST /v1/remote-config/fetch answers 200 with the file and a strong ETag (the MD5 of
// its bytes), 304 when If-None-Match matches, 404 for an unknown application or a
// missing file (naming the file it looked for), 400 for a malformed request. Identifiers are only
// looked up when they consist of letters, digits, ".", "_" and "-" and do not start with ".";
// anything else is unknown (404), so no request can name a path outside DIR. Thread-safe; the
// server runs on threads of its own between start() and stop().
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "OrvExperiment/OrvValue.h"

class OrvConfigServer {
 public:
  explicit OrvConfigServer(std::string directory);
  ~OrvConfigServer();
  OrvConfigServer(const OrvConfigServer&) = delete;
  OrvConfigServer& operator=(const OrvConfigServer&) = delete;

  // Also accepts OTLP/HTTP logs (POST /v1/logs) and appends them to `path` (see
  // OrvEventCollector). Call before start().
  void collectEventsTo(const std::string& path);

  // Passes one line per request answered to `log` (from the server's threads): time,
  // method, path, application, status, body bytes, time taken, and for a missing
  // payload the file looked for. Call before start().
  void logRequestsTo(std::function<void(const std::string& line)> log);

  // Binds (port 0 picks a free one) and starts serving. False when it cannot bind.
  bool start(const std::string& host = "127.0.0.1", int port = 0);
  void stop();
  int port() const;
  std::string url() const;

  struct Request {
    OrvValue body;  // the parsed request body (absent when it was not JSON)
    std::string ifNoneMatch;
    int status = 0;  // what the server answered
  };
  // Every request served so far, oldest first.
  std::vector<Request> requests() const;

  // Where the payload of an application and template code lives.
  static std::string payloadPath(const std::string& directory, const std::string& appId,
                                 const std::string& templateCode);
  static bool isSafeIdentifier(const std::string& id);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};
