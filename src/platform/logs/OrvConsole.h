// The process console: where the library's log lines go. By default stderr, with a
// time and process prefix; OrvPlatform::setConsoleSink replaces it. Thread-safe:
// write() may be called from any thread, concurrently with setSink().
#pragma once

#include <functional>
#include <string_view>

class OrvConsole {
 public:
  OrvConsole() = delete;
  static void write(std::string_view line);
  static void setSink(std::function<void(std::string_view)> sink);
};
