// Shared internals of the remote-configuration component.
#pragma once

#include <string>

#include "OrvExpLog.h"
#include "platform/OrvSerialExecutor.h"

// Runs fetches, one at a time. Never destroyed.
OrvSerialExecutor& orvRCWorker();
// Runs fetch-task listeners, so a slow listener never delays a fetch. Never destroyed.
OrvSerialExecutor& orvRCCallbackQueue();

// The component's log, separate from the library's: "[OrvRemoteConfig] message".
class OrvRCLog {
 public:
  static void setEnabled(bool on);
  static bool enabled();
  template <class... Args>
  static void info(std::string_view format, const Args&... args) {
    if (!enabled()) return;
    write(OrvExpLog::render(format, {text(args)...}));
  }

 private:
  static void write(const std::string& message);
  static std::string text(const std::string& s) { return s; }
  static std::string text(const char* s) { return s ? s : "(null)"; }
  static std::string text(std::int64_t v) { return std::to_string(v); }
  static std::string text(int v) { return std::to_string(v); }
  static std::string text(std::size_t v) { return std::to_string(v); }
};
