// The per-application exposure store: one persistent domain per application
// identifier, named "orv_experiment_sp_" followed by the identifier, holding one
// boolean per exposure already sent. Class operations only.
//
// Until initWithAppId opens a domain, reads answer the caller's default and writes are
// dropped. A later initWithAppId moves every later call to the new domain; records of
// the earlier one stay where they are. The open-domain reference is thread-safe; the
// library itself calls everything from its serial work queue, which is what makes an
// exposure's check-then-write one step.
#pragma once

#include <vector>

#include "platform/storage/OrvEventOutbox.h"

#include <chrono>
#include <cstdint>
#include <string>

class OrvExperimentStorage {
 public:
  OrvExperimentStorage() = delete;

  static constexpr const char* kDomainPrefix = "orv_experiment_sp_";

  static void initWithAppId(const std::string& appId);
  static void putBool(bool value, const std::string& key);
  // The stored value read as a boolean (a stored NO reads NO whatever the default), or
  // `defaultValue` when nothing is stored or no domain is open.
  static bool getBoolForKey(const std::string& key, bool defaultValue);
  static void putString(const std::string& value, const std::string& key);
  static std::string getStringForKey(const std::string& key, const std::string& defaultValue);
  static void removeKey(const std::string& key);
  // Empties the open domain only.
  static void clear();

  // The application identifier of the open domain ("" before any).
  static std::string appId();

  // For each record key in order: stores YES under it and its event in the outbox of
  // the domain's database, in one transaction, unless YES is stored there already (by
  // any process). What became of each: recorded now, there already, or waiting until
  // the database can be checked (another process holds it), when it is decided in the
  // background. Before any domain is open nothing can be remembered: every event is
  // stored for delivery and every answer is kRecorded.
  static std::vector<OrvRecordOutcome> recordExposures(std::vector<std::string> recordKeys,
                                                       std::vector<OrvOutboxEvent> events);

  // Waits until no exposure of the open domain waits to be checked, and those that did
  // are stored and handed on, or until `deadline`. False on timeout.
  static bool waitUntilChecked(std::chrono::steady_clock::time_point deadline);

  // Test mode. While on, a domain is opened in memory only: its records live in this
  // process, and recordExposures keeps each event recorded now in capture order
  // (capturedEvents) instead of storing it in the outbox. Switching either way forgets
  // the open domain, its records and the captured events, and starts a new generation.
  static void setMemoryOnly(bool on);
  static bool memoryOnly();
  static std::vector<OrvOutboxEvent> capturedEvents();
  // In test mode, keeps `event` with the captured ones (an outcome); false otherwise.
  static bool captureIfMemoryOnly(OrvOutboxEvent event);
  static void clearCapturedEvents();

  // Changes whenever a stored YES may have stopped reading YES: a domain is opened,
  // a key is removed or cleared, or a NO or a string is written. Never 0. Lets the
  // exposure tracker trust a note that a record is stored only while this is unchanged.
  static std::uint64_t generation() noexcept;
};
