// The reference OTLP/HTTP logs receiver behind `orvexp serve --events DB`: takes the
// decoded body of a POST /v1/logs (OTLP JSON) and stores its log records in an
// OrvEventStore, one transaction per request. It answers 2xx only once the records are
// committed, 503 (retry) when storing failed, and 400/415 for a body it cannot take;
// every error body is an OTLP Status ({"code": gRPC code, "message": ...}). Keeps
// nothing per request. Thread-safe.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "collector/OrvEventStore.h"

class OrvEventCollector {
 public:
  // nullptr with `*error` when the store refuses `path` (see OrvEventStore::open).
  static std::unique_ptr<OrvEventCollector> open(const std::string& path, std::string* error);
  ~OrvEventCollector();
  OrvEventCollector(const OrvEventCollector&) = delete;
  OrvEventCollector& operator=(const OrvEventCollector&) = delete;

  struct Answer {
    int status = 200;
    std::string body;             // an ExportLogsServiceResponse, or a Status
    long retryAfterSeconds = -1;  // sent as Retry-After when >= 0
  };
  // 200 with "{}" (or a partialSuccess naming the records it could not take), 400 for a
  // body that is not an OTLP logs request, 415 for anything but JSON, 503 when the
  // records could not be stored.
  Answer handle(std::string_view body, std::string_view contentType);

  // An OTLP Status body for an error answered outside handle() (too large, busy).
  static std::string statusBody(int httpStatus, const std::string& message);

  OrvEventStore& store();

 private:
  explicit OrvEventCollector(std::unique_ptr<OrvEventStore> store);
  std::unique_ptr<OrvEventStore> store_;
};
