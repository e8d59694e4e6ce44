// The library's console log. Off until enableLog; while off, a call costs one atomic
// load and formats nothing. Lines read "[OrvExperiment] message" for information and
// "[OrvExperiment] [ERROR] message" for errors. Formats use "%@" placeholders, each
// filled with the next argument's text form (OrvValue::description(); strings as
// themselves; a missing argument as "(null)"), and "%%" for a percent sign. Argument
// text is inserted as is: a "%" inside an argument is never read as a format.
// Thread-safe: any thread may log or switch the log at any time.
#pragma once

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>

#include "OrvExperiment/OrvValue.h"

class OrvExpLog {
 public:
  OrvExpLog() = delete;

  static constexpr std::string_view kTag = "[OrvExperiment]";

  // Every message the library itself logs.
  static constexpr std::string_view kInitSuccess =
      "OrvExperiment SDK initialize Success with appId = %@, version = %@";
  static constexpr std::string_view kConfigNil =
      "FeatureManager: config is nil, SDK must be initialized first";
  static constexpr std::string_view kNoExperiment =
      "%@ : No relevant experiment detected, skip exposure event.";
  static constexpr std::string_view kAlreadyExposed =
      "%@ : Already exposed, skip this exposure incident.";

  static void setEnableLog(bool enable) noexcept {
    enabled_.store(enable, std::memory_order_relaxed);
  }
  static bool isEnableLog() noexcept { return enabled_.load(std::memory_order_relaxed); }

  template <class... Args>
  static void info(std::string_view format, const Args&... args) {
    if (!isEnableLog()) return;
    write(false, format, {text(args)...});
  }

  template <class... Args>
  static void error(std::string_view format, const Args&... args) {
    if (!isEnableLog()) return;
    write(true, format, {text(args)...});
  }

  // The message that a format and its arguments give (no tag). Exposed for tests.
  static std::string render(std::string_view format, std::initializer_list<std::string> args);

 private:
  static void write(bool isError, std::string_view format, std::initializer_list<std::string> args);

  static std::string text(const OrvValue& v) { return v.description(); }
  static std::string text(const std::string& s) { return s; }
  static std::string text(std::string_view s) { return std::string(s); }
  static std::string text(const char* s) { return s ? std::string(s) : std::string("(null)"); }
  template <class T, class = std::enable_if_t<std::is_arithmetic_v<T>>>
  static std::string text(T v) {
    if constexpr (std::is_same_v<T, bool>) {
      return v ? "true" : "false";
    } else if constexpr (std::is_integral_v<T>) {
      return std::to_string(v);
    } else {
      return OrvValue(static_cast<double>(v)).description();
    }
  }

  static inline std::atomic<bool> enabled_{false};
};
