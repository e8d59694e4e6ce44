// The schema of a data directory's database (see OrvDefaultsDatabase), in one place:
// its file name, the version it carries (PRAGMA user_version) and the statements that
// create it. A file without a version is release 1.0.2's (no dead letters); opening runs
// kCreate on any file older than kVersion, so every statement must also meet a file that
// holds part of the schema already. A change of the schema raises kVersion and adds
// statements here; a file of a newer version is refused when opened.
//
// Constants only: thread-safe.
#pragma once

#include <array>

class OrvDefaultsSchema {
 public:
  OrvDefaultsSchema() = delete;

  static constexpr const char* kFileName = "orv_defaults.sqlite3";
  static constexpr int kVersion = 2;

  static constexpr std::array<const char*, 4> kCreate = {
      // One row per suite and key; `kind` says how `value` is to be read (see
      // OrvDefaultsTable).
      "CREATE TABLE IF NOT EXISTS orv_defaults (suite TEXT NOT NULL, key TEXT NOT NULL, kind "
      "INTEGER NOT NULL, value, PRIMARY KEY (suite, key)) WITHOUT ROWID",
      // The id is the insertion sequence: delivery order, whatever the clock says. A
      // consumer holds an event at most once.
      "CREATE TABLE IF NOT EXISTS orv_outbox (id INTEGER PRIMARY KEY AUTOINCREMENT, event_id "
      "TEXT NOT NULL, app_id TEXT NOT NULL, name TEXT NOT NULL, properties TEXT NOT NULL, "
      "time_ms INTEGER NOT NULL, owner TEXT NOT NULL, consumer TEXT NOT NULL DEFAULT '', UNIQUE "
      "(consumer, event_id))",
      // Each consumer's queue in order, without sorting the whole outbox per batch.
      "CREATE INDEX IF NOT EXISTS orv_outbox_queue ON orv_outbox (consumer, owner, id)",
      "CREATE TABLE IF NOT EXISTS orv_dead_letters (id INTEGER PRIMARY KEY AUTOINCREMENT, "
      "event_id TEXT NOT NULL, app_id TEXT NOT NULL, name TEXT NOT NULL, properties TEXT NOT "
      "NULL, time_ms INTEGER NOT NULL, consumer TEXT NOT NULL, status INTEGER NOT NULL, reason "
      "TEXT NOT NULL, dead_at_ms INTEGER NOT NULL, UNIQUE (consumer, event_id))",
  };
};
