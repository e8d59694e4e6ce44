// The reference OTLP/HTTP logs receiver behind `orvexp serve --events FILE`: takes the
// body of a POST /v1/logs (OTLP JSON; the server has already undone any gzip), appends
// one JSON line per log record to FILE in the JSON-lines sink's format, and never
// writes an eventId twice, also across its own restarts (it reads FILE first). Keeps
// nothing per request. Thread-safe.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

class OrvEventCollector {
 public:
  explicit OrvEventCollector(std::string path);
  ~OrvEventCollector();
  OrvEventCollector(const OrvEventCollector&) = delete;
  OrvEventCollector& operator=(const OrvEventCollector&) = delete;

  struct Answer {
    int status = 200;
    std::string body;  // an ExportLogsServiceResponse, or an error
  };
  // 200 with "{}" (or a partialSuccess naming the records it could not take), 400 for a
  // body that is not an OTLP logs request, 415 for anything but JSON.
  Answer handle(std::string_view body, std::string_view contentType);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};
