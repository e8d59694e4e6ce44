// The library's console log: its tag, its switch and the messages it writes, over the
// platform's log channel (see OrvLogChannel for formats and costs). Off until
// enableLog. Lines read "[OrvExperiment] message" for information and
// "[OrvExperiment] [ERROR] message" for errors. Thread-safe.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

#include "platform/logs/OrvLogChannel.h"

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
  static constexpr std::string_view kOverridden =
      "%@ : Overridden locally, not an experiment assignment, skip exposure event.";
  static constexpr std::string_view kAlreadyExposed =
      "%@ : Already exposed, skip this exposure incident.";
  static constexpr std::string_view kNoUnit =
      "no unit to assign groups to (set a bucket identifier, or the fetch parameter "
      "\"unit_id\"): experiments left out: %@";
  static constexpr std::string_view kOutcomeBadName =
      "outcome %@ not recorded: a name is 1 to 128 bytes of letters, digits and _ . : -";
  static constexpr std::string_view kOutcomeBadValue =
      "outcome %@ not recorded: its value is not a finite number";
  static constexpr std::string_view kOutcomeNoUnit =
      "outcome %@ not recorded: no unit (set a bucket identifier, or the fetch parameter "
      "\"unit_id\")";
  static constexpr std::string_view kGroupsUnusable =
      "the payload's \"#groups\" cannot be used (%@): their experiments are left out";

  static void setEnableLog(bool enable) noexcept { channel_.setEnabled(enable); }
  static bool isEnableLog() noexcept { return channel_.enabled(); }

  template <class... Args>
  static void info(std::string_view format, const Args&... args) {
    channel_.info(format, args...);
  }

  template <class... Args>
  static void error(std::string_view format, const Args&... args) {
    channel_.error(format, args...);
  }

  // The library's channel, for the platform parts that report on the library's behalf.
  static const OrvLogChannel& channel() noexcept { return channel_; }

 private:
  static inline OrvLogChannel channel_{kTag};
};
