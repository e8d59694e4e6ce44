// A named, switchable stream of console lines. Each component that writes diagnostics
// (the library, the remote-configuration component, the mediator) owns one channel with
// its own tag and switch; lines read "TAG message" for information and
// "TAG [ERROR] message" for errors and go to OrvConsole.
//
// Formats use "%@" placeholders, each filled with the next argument's text form
// (OrvValue::description(); strings as themselves; a missing argument as "(null)"),
// and "%%" for a percent sign. Argument text is never read as a format (a "%" inside an
// argument stays as it is), and its control characters are escaped (\n, \r, \t, \xNN),
// so one call writes one line whatever the values. While a channel is off, a call costs one atomic
// load and formats nothing.
//
// Thread-safe: any thread may log or switch a channel at any time. Never call a channel
// while holding a lock that a console sink could need: the sink is application code.
#pragma once

#include <atomic>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>

#include "OrvExperiment/OrvValue.h"

class OrvLogChannel {
 public:
  // `tag` must outlive the channel (a string literal).
  explicit constexpr OrvLogChannel(std::string_view tag) noexcept : tag_(tag) {}
  OrvLogChannel(const OrvLogChannel&) = delete;
  OrvLogChannel& operator=(const OrvLogChannel&) = delete;

  void setEnabled(bool on) noexcept { enabled_.store(on, std::memory_order_relaxed); }
  bool enabled() const noexcept { return enabled_.load(std::memory_order_relaxed); }

  template <class... Args>
  void info(std::string_view format, const Args&... args) const {
    if (!enabled()) return;
    write(false, format, {text(args)...});
  }

  template <class... Args>
  void error(std::string_view format, const Args&... args) const {
    if (!enabled()) return;
    write(true, format, {text(args)...});
  }

  // The message that a format and its arguments give (no tag).
  static std::string render(std::string_view format, std::initializer_list<std::string> args);

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

 private:
  void write(bool isError, std::string_view format, std::initializer_list<std::string> args) const;

  const std::string_view tag_;
  std::atomic<bool> enabled_{false};
};
