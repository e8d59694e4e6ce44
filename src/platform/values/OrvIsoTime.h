// Time as ISO 8601 text in UTC with milliseconds ("2026-12-06T14:05:09.123Z"), as event
// records and request logs write it.
#pragma once

#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>

inline std::string orvIsoTime(std::chrono::system_clock::time_point t) {
  using namespace std::chrono;
  const std::time_t seconds = system_clock::to_time_t(t);
  const auto millis = duration_cast<milliseconds>(t.time_since_epoch()).count() % 1000;
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[40];
  const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  std::snprintf(text + n, sizeof text - n, ".%03dZ", static_cast<int>(millis));
  return text;
}
