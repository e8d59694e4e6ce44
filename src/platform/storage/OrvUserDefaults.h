// A persistent key-value domain, one per suite name: the C++ form of a user-defaults
// suite. All suites of a data directory live in one SQLite database file (see
// OrvDefaultsDatabase: WAL journal, one row per suite and key), so a suite name is only
// ever a column value and can never name a path.
//
// Reads go to the database, so they see what other processes wrote; every write is
// durable before the call returns. Several processes may use the same directory at
// once. When a write cannot reach the file it is kept in memory for the process and
// written later; one error line is logged per outage and the user's file is never
// deleted.
//
// Thread-safe: every member may be called from any thread.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include <vector>

#include "OrvExperiment/OrvValue.h"
#include "platform/storage/OrvEventOutbox.h"

class OrvDefaultsDatabase;
class OrvLogChannel;

class OrvUserDefaults {
 public:
  // Where error lines go (null: nowhere). Process-wide; `log` must live forever.
  static void setLogChannel(const OrvLogChannel* log);

  // Opens `suiteName` in the current data directory (OrvPlatform::dataDirectory()).
  static std::shared_ptr<OrvUserDefaults> initWithSuiteName(const std::string& suiteName);

  void setBool(bool value, const std::string& key);
  // Stores a boolean, number, string, array or dictionary; an absent value removes
  // the key.
  void setObject(const OrvValue& value, const std::string& key);
  void removeObjectForKey(const std::string& key);
  // The stored value when there is one (any process may have written it), else stores
  // `value` and returns it; checked and written in one transaction.
  OrvValue objectForKeyOrSet(const OrvValue& value, const std::string& key);

  // The stored value, or absent.
  OrvValue objectForKey(const std::string& key) const;
  // A stored boolean or number is true when non-zero, a string by the truth rule of
  // OrvValue::boolValue(); missing or anything else is false.
  bool boolForKey(const std::string& key) const;
  // A stored string as itself, a number or boolean as its text; otherwise nothing.
  std::optional<std::string> stringForKey(const std::string& key) const;
  // Every key of this suite with its value.
  std::map<std::string, OrvValue> dictionaryRepresentation() const;

  // For each key in order: records it (as true) and stores its event in the outbox, in
  // one transaction, unless the suite already holds a true value under it (written by
  // any process). What became of each; a record that waits is decided in the background
  // (see OrvDefaultsDatabase). `events` pairs with `keys`.
  std::vector<OrvRecordOutcome> recordOnce(std::vector<std::string> keys,
                                           std::vector<OrvOutboxEvent> events);

  // Waits until no record of this database waits to be checked (see recordOnce), or
  // `deadline`; false on timeout.
  bool waitUntilChecked(std::chrono::steady_clock::time_point deadline) const;

  const std::string& suiteName() const { return suite_; }
  // False while writes cannot reach the file (see the class comment).
  bool isPersistent() const;

  OrvUserDefaults(std::shared_ptr<OrvDefaultsDatabase> db, std::string suite);
  ~OrvUserDefaults();

 private:
  // Constant after construction.
  const std::shared_ptr<OrvDefaultsDatabase> db_;
  const std::string suite_;
};
