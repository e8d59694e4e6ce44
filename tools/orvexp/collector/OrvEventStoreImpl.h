// The event store's internals, shared by its three parts: OrvEventStore.cpp (opening,
// the schema's migrations, writing through the leader-batched writer and the
// checkpointer), OrvEventStoreQueries.cpp (the split check's counts, the series, the
// export) and OrvEventStoreReadout.cpp (outcomes attributed to groups in one pass).
// Only those include it. The schema and its version live here, in one place.
//
// Thread-safety as OrvEventStore.h says: writers take turns on `writer` (writeMutex)
// through the leader queue (queueMutex); queries take turns on `reader` (readMutex);
// the checkpointer's connection belongs to its thread.
#pragma once

#include <sqlite3.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "OrvAssignment.h"
#include "collector/OrvEventStore.h"

namespace orv_store {

// Written into every store's header: a file with another id is another program's.
inline constexpr std::int64_t kApplicationId = 0x4F525645;  // "ORVE"

// The writer's page cache holds the event_id index of about a million events, so that
// an insert at a random place in it reads nothing from the file: our exporters' ids
// are time-ordered and land at the index's end, but any OTLP client may send random ones.
inline constexpr const char* kWriterCacheSize = "PRAGMA cache_size=-65536";
// The reader maps up to 1 GiB of the file: the readout scans two indexes of about 60 MB
// each at a million events, and a page read through the map is not copied as a read()
// copies it (a third less time, measured). Only this connection reads through it.
inline constexpr const char* kReaderCacheSize =
    "PRAGMA cache_size=-32768; PRAGMA mmap_size=1073741824";

// Random event ids put nearly every insert on an index page of its own: a request of
// 512 records adds about 1,000 pages to the log. When commits copied the log into the
// database themselves (SQLite's automatic checkpoint), a tenth of them took 60 ms or
// more. A thread of the store's own copies it once it holds kCheckpointFrames; a
// writer does only when it reaches kWriterCheckpointFrames (the thread cannot keep up,
// or a long query holds the log back), which bounds the log.
inline constexpr int kCheckpointFrames = 16384;
inline constexpr int kWriterCheckpointFrames = 65536;
// The last frames of a checkpoint are copied with writers held, so that the log is
// copied whole and the next commit starts it over (under a steady stream of commits it
// would never be, and would grow to kWriterCheckpointFrames).
inline constexpr int kFinishFrames = 1024;
inline constexpr const char* kJournalSizeLimit = "PRAGMA journal_size_limit=100663296";

// Requests waiting together are stored in one transaction, up to this many records.
inline constexpr std::size_t kMaxGroupRows = 8192;

// NORMAL, not FULL: a commit survives a crash of the process (the log is written before
// the answer) but may be lost with the machine's power before the next checkpoint syncs
// it. Measured with 1,000,000 events stored, in 512-record requests over loopback on 2
// cores, FULL's sync per commit kept ingest at 40,000 events/s for one client and
// 47,000 for four, below the 50,000 the collector must take; NORMAL reaches 50,000 and
// 65,000 (bench: BM_CollectorIngest).
inline constexpr const char* kSynchronous = "PRAGMA synchronous=NORMAL";

// Version 2: an exposure's unit, its group's intended share and the split it was placed
// by (compact JSON text), NULL when the exposure carried none (and on every row stored
// before version 2). Version 3: an outcome's name and value (OrvExperiment::track), NULL
// on every other row, so the readout reads them from an index instead of parsing each
// row's properties.
inline constexpr const char* kSchemaSql =
    "CREATE TABLE IF NOT EXISTS events ("
    " seq INTEGER PRIMARY KEY,"
    " event_id TEXT UNIQUE NOT NULL,"
    " app_id TEXT NOT NULL,"
    " name TEXT NOT NULL,"
    " experiment_id TEXT,"
    " group_id TEXT,"
    " is_control INTEGER NOT NULL DEFAULT 0,"
    " time_ms INTEGER NOT NULL,"
    " properties TEXT NOT NULL,"
    " unit_id TEXT,"
    " intended_share REAL,"
    " split TEXT,"
    " outcome TEXT,"
    " value REAL);";

// What the versions differ by besides the table's columns: the indexes and the views.
// Only exposures and outcomes are indexed, each by a partial index that covers every
// query of it, so no query reads the table's rows:
// - exposures in GROUP BY order of the per-group counts (one scan, no sort), one
//   experiment's series a range of it; the unit last, for the readout's scan;
// - outcomes by unit and time with their name and value, for the readout.
// The unit in the exposures' index costs ingest little: the index is appended to in
// the order of its first columns, and the event_id index dominates (BM_CollectorIngest).
inline constexpr const char* kIndexAndViewSql =
    "CREATE INDEX IF NOT EXISTS events_exposures_with_unit ON events"
    " (app_id, experiment_id, group_id, split, is_control, time_ms, unit_id)"
    " WHERE name = 'zu_experiment_exposure';"
    "CREATE VIEW IF NOT EXISTS exposures AS"
    " SELECT app_id, experiment_id, group_id, is_control, time_ms, unit_id, intended_share,"
    " split FROM events WHERE name = 'zu_experiment_exposure';"
    "CREATE INDEX IF NOT EXISTS events_outcomes_by_unit ON events"
    " (app_id, unit_id, time_ms, outcome, value) WHERE name = 'orv_outcome';"
    "CREATE VIEW IF NOT EXISTS outcomes AS"
    " SELECT app_id, unit_id, outcome, value, time_ms FROM events"
    " WHERE name = 'orv_outcome' AND unit_id IS NOT NULL AND outcome IS NOT NULL"
    " AND value IS NOT NULL;";

// Version 1 to 2 (then 2 to 3), inside the transaction that stamps the new version: the
// old rows' new columns are NULL (they carried no split), and the index and view are
// made again with them.
inline constexpr const char* kMigrateFrom1Sql =
    "ALTER TABLE events ADD COLUMN unit_id TEXT;"
    "ALTER TABLE events ADD COLUMN intended_share REAL;"
    "ALTER TABLE events ADD COLUMN split TEXT;"
    "DROP INDEX IF EXISTS events_exposures;"
    "DROP VIEW IF EXISTS exposures;";

// Version 2 to 3: the outcomes stored so far get their name and value from their
// properties, as add() now derives them.
inline constexpr const char* kMigrateFrom2Sql =
    "ALTER TABLE events ADD COLUMN outcome TEXT;"
    "ALTER TABLE events ADD COLUMN value REAL;"
    "UPDATE events SET"
    " outcome = CASE WHEN json_type(properties, '$.\"#outcome\"') = 'text'"
    " THEN json_extract(properties, '$.\"#outcome\"') END,"
    " value = CASE WHEN json_type(properties, '$.\"#value\"') IN ('integer', 'real')"
    " THEN json_extract(properties, '$.\"#value\"') END"
    " WHERE name = 'orv_outcome';"
    "DROP INDEX IF EXISTS events_exposures_by_split;"
    "DROP INDEX IF EXISTS events_outcomes;"
    "DROP VIEW IF EXISTS exposures;"
    "DROP VIEW IF EXISTS outcomes;";

// A reader of an older file changes nothing in it (another orvexp may still be writing
// it as that version): its own connection sees this version's views over the old table.
// Version 1's rows have every new column NULL; version 2's outcomes are parsed from
// their properties, as the migration would. A TEMP view is found before the file's own.
inline constexpr const char* kVersion1ReaderViewSql =
    "CREATE TEMP VIEW exposures AS"
    " SELECT app_id, experiment_id, group_id, is_control, time_ms, NULL AS unit_id,"
    " NULL AS intended_share, NULL AS split FROM main.events"
    " WHERE name = 'zu_experiment_exposure';"
    "CREATE TEMP VIEW outcomes AS"
    " SELECT app_id, NULL AS unit_id, NULL AS outcome, NULL AS value, time_ms"
    " FROM main.events WHERE 0;";

inline constexpr const char* kVersion2ReaderViewSql =
    "CREATE TEMP VIEW outcomes AS"
    " SELECT app_id, unit_id, outcome, value, time_ms FROM (SELECT app_id, unit_id, time_ms,"
    " CASE WHEN json_type(properties, '$.\"#outcome\"') = 'text'"
    " THEN json_extract(properties, '$.\"#outcome\"') END AS outcome,"
    " CASE WHEN json_type(properties, '$.\"#value\"') IN ('integer', 'real')"
    " THEN json_extract(properties, '$.\"#value\"') END AS value"
    " FROM main.events WHERE name = 'orv_outcome')"
    " WHERE unit_id IS NOT NULL AND outcome IS NOT NULL AND value IS NOT NULL;";

inline constexpr const char* kInsertSql =
    "INSERT OR IGNORE INTO events (event_id, app_id, name, experiment_id, group_id, "
    "is_control, time_ms, properties, unit_id, intended_share, split, outcome, value) "
    "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13)";

struct Finalize {
  void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using Statement = std::unique_ptr<sqlite3_stmt, Finalize>;

inline Statement prepare(sqlite3* db, const char* sql) {
  sqlite3_stmt* raw = nullptr;
  sqlite3_prepare_v2(db, sql, -1, &raw, nullptr);
  return Statement(raw);
}

inline std::string columnText(sqlite3_stmt* st, int column) {
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(st, column));
  return text ? std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(st, column)))
              : std::string();
}

inline void bindText(sqlite3_stmt* st, int index, const std::string& text) {
  sqlite3_bind_text(st, index, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
}

// An absent column is NULL.
inline void bindText(sqlite3_stmt* st, int index, const std::optional<std::string>& text) {
  if (text) {
    bindText(st, index, *text);
  } else {
    sqlite3_bind_null(st, index);
  }
}

inline void bindDouble(sqlite3_stmt* st, int index, std::optional<double> value) {
  if (value) {
    sqlite3_bind_double(st, index, *value);
  } else {
    sqlite3_bind_null(st, index);
  }
}

inline bool exec(sqlite3* db, const char* sql) {
  return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

// The first column of the first row, or nothing when the statement fails.
inline std::optional<std::int64_t> scalar(sqlite3* db, const char* sql) {
  Statement st = prepare(db, sql);
  if (!st || sqlite3_step(st.get()) != SQLITE_ROW) return std::nullopt;
  return sqlite3_column_int64(st.get(), 0);
}

// An experiment or group identifier as the columns keep it (NULL when absent), the text
// the served payloads' identifiers are matched by.
inline std::optional<std::string> columnIdentifier(const OrvValue& value) {
  if (value.isAbsent()) return std::nullopt;
  return OrvAssignment::identifierText(value);
}

// One row of the events table, everything derived before the write lock is taken.
struct Row {
  std::string eventId;
  std::string appId;
  std::string name;
  std::optional<std::string> experimentId;
  std::optional<std::string> groupId;
  bool control = false;
  std::int64_t timeMs = 0;
  std::string properties;
  std::optional<std::string> unit;
  std::optional<double> intendedShare;
  std::optional<std::string> split;  // compact JSON
  std::optional<std::string> outcome;
  std::optional<double> value;
};

// One add() call waiting for its commit.
struct Pending {
  const std::vector<Row>* rows = nullptr;
  std::size_t added = 0;
  bool done = false;  // the fields below are set
  bool ok = false;
  std::string error;
};

// Step lengths a chart reads easily, in milliseconds.
inline constexpr std::int64_t kNiceSteps[] = {
    1,          2,          5,          10,          20,         50,        100,       200,
    500,        1'000,      2'000,      5'000,       10'000,     15'000,    30'000,    60'000,
    120'000,    300'000,    600'000,    900'000,     1'800'000,  3'600'000, 7'200'000, 10'800'000,
    21'600'000, 43'200'000, 86'400'000, 172'800'000, 604'800'000};

}  // namespace orv_store

// Internal to the store's three sources, which all work in these terms.
using namespace orv_store;

struct OrvEventStore::Impl {
  using Pending = orv_store::Pending;
  std::string path;
  // The file's schema once opened: kSchemaVersion, or the older version of a store a reader
  // opened (which it leaves as it is). Constant after open().
  std::int64_t schemaVersion = 0;

  // Writers take turns on this connection.
  std::mutex writeMutex;
  sqlite3* writer = nullptr;  // guarded by writeMutex
  Statement insert;           // guarded by writeMutex

  // Requests waiting to be stored. One of the waiting threads at a time (the leader)
  // stores what waits, several requests in one transaction, and wakes their threads.
  std::mutex queueMutex;
  std::condition_variable stored;
  std::deque<Pending*> queue;  // guarded by queueMutex
  bool leading = false;        // guarded by queueMutex

  // Queries take turns on this one; in WAL mode they see the last commit and never
  // wait for a writer.
  mutable std::mutex readMutex;
  sqlite3* reader = nullptr;  // guarded by readMutex

  // The checkpointer's connection, used by its thread only.
  sqlite3* checkpointer = nullptr;
  std::thread checkpointThread;
  std::mutex checkpointMutex;
  std::condition_variable checkpointWake;
  bool checkpointDue = false;  // guarded by checkpointMutex
  bool stopping = false;       // guarded by checkpointMutex

  ~Impl() {
    if (checkpointThread.joinable()) {
      {
        std::lock_guard lock(checkpointMutex);
        stopping = true;
      }
      checkpointWake.notify_one();
      checkpointThread.join();
    }
    insert.reset();
    if (checkpointer) sqlite3_close_v2(checkpointer);
    if (reader) sqlite3_close_v2(reader);
    if (writer) sqlite3_close_v2(writer);
  }

  // Called by SQLite on the writer's thread after each commit, with the log's length.
  static int afterCommit(void* self, sqlite3* db, const char*, int frames) {
    auto* impl = static_cast<Impl*>(self);
    if (frames >= kWriterCheckpointFrames) {
      sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    } else if (frames >= kCheckpointFrames) {
      {
        std::lock_guard lock(impl->checkpointMutex);
        impl->checkpointDue = true;
      }
      impl->checkpointWake.notify_one();
    }
    return SQLITE_OK;
  }

  void checkpointLoop() {
    std::unique_lock lock(checkpointMutex);
    for (;;) {
      checkpointWake.wait(lock, [this] { return stopping || checkpointDue; });
      if (stopping) return;
      checkpointDue = false;
      lock.unlock();
      catchUp();
      lock.lock();
    }
  }

  // Copies the log into the database without holding writers up, round after round
  // while commits keep adding to it, and the last few frames with writers held, so that
  // the log is copied whole and the next commit starts it over (it would grow for as
  // long as commits keep coming otherwise).
  void catchUp() {
    int before = -1;
    for (int round = 0;; ++round) {
      int frames = 0;
      if (sqlite3_wal_checkpoint_v2(checkpointer, nullptr, SQLITE_CHECKPOINT_PASSIVE, &frames,
                                    nullptr) != SQLITE_OK)
        return;
      // Few commits came during the last round: the next is short enough to hold them.
      if ((before >= 0 && frames - before <= kFinishFrames) || round == 8) {
        std::lock_guard lock(writeMutex);
        sqlite3_wal_checkpoint_v2(checkpointer, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr,
                                  nullptr);
        return;
      }
      before = frames;
    }
  }

  bool startCheckpointer(std::string* why) {
    // A connection knows the file is in WAL mode only once it has read it.
    if (!openConnection(&checkpointer, why) || !exec(checkpointer, "PRAGMA journal_mode=WAL") ||
        !exec(checkpointer, kSynchronous)) {
      if (why->empty()) *why = sqliteError(checkpointer, "cannot use");
      return false;
    }
    sqlite3_wal_hook(writer, &Impl::afterCommit, this);
    checkpointThread = std::thread([this] { checkpointLoop(); });
    return true;
  }

  // Stores the rows of every request of `group` in one transaction; each request's
  // outcome is the transaction's.
  void storeGroup(const std::vector<Pending*>& group) {
    std::lock_guard lock(writeMutex);
    sqlite3_stmt* st = insert.get();
    bool ok = exec(writer, "BEGIN IMMEDIATE");
    for (Pending* p : group) {
      p->added = 0;
      for (std::size_t i = 0; ok && i < p->rows->size(); ++i) {
        const Row& row = (*p->rows)[i];
        bindText(st, 1, row.eventId);
        bindText(st, 2, row.appId);
        bindText(st, 3, row.name);
        bindText(st, 4, row.experimentId);
        bindText(st, 5, row.groupId);
        sqlite3_bind_int(st, 6, row.control ? 1 : 0);
        sqlite3_bind_int64(st, 7, row.timeMs);
        bindText(st, 8, row.properties);
        bindText(st, 9, row.unit);
        bindDouble(st, 10, row.intendedShare);
        bindText(st, 11, row.split);
        bindText(st, 12, row.outcome);
        bindDouble(st, 13, row.value);
        ok = sqlite3_step(st) == SQLITE_DONE;
        if (ok) p->added += static_cast<std::size_t>(sqlite3_changes(writer));
        sqlite3_reset(st);
      }
    }
    sqlite3_clear_bindings(st);
    ok = ok && exec(writer, "COMMIT");
    std::string why;
    if (!ok) {
      why = sqliteError(writer, "cannot store events in");
      // A failed statement or commit may have ended the transaction already.
      if (!sqlite3_get_autocommit(writer)) exec(writer, "ROLLBACK");
    }
    for (Pending* p : group) {
      p->ok = ok;
      p->error = why;
    }
  }

  std::string sqliteError(sqlite3* db, const std::string& doing) const {
    return doing + " " + path + ": " + (db ? sqlite3_errmsg(db) : "out of memory");
  }

  bool openConnection(sqlite3** db, std::string* why) {
    const int rc = sqlite3_open_v2(
        path.c_str(), db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW,
        nullptr);
    if (rc != SQLITE_OK) {
      *why = sqliteError(*db, "cannot open");
      return false;
    }
    sqlite3_busy_timeout(*db, static_cast<int>(kBusyTimeout.count()));
    sqlite3_extended_result_codes(*db, 1);
    return true;
  }

  // Checks whose file it is before anything is written to it, then creates the schema,
  // or, when `migrate` is set, brings an older store to this version, in one
  // transaction. A reader leaves an older store as it is and reads it as it is.
  bool prepareSchema(bool migrate, std::string* why) {
    const auto applicationId = scalar(writer, "PRAGMA application_id");
    const auto version = scalar(writer, "PRAGMA user_version");
    const auto tables = scalar(writer, "SELECT count(*) FROM sqlite_schema");
    if (!applicationId || !version || !tables) {
      const int code = sqlite3_errcode(writer);
      *why = code == SQLITE_NOTADB || code == SQLITE_CORRUPT
                 ? path + " is not a SQLite database (" + sqlite3_errmsg(writer) + "); refused"
                 : sqliteError(writer, "cannot read");
      return false;
    }
    if (*applicationId != kApplicationId && (*applicationId != 0 || *tables != 0)) {
      char id[16];
      std::snprintf(id, sizeof id, "%#llx", static_cast<unsigned long long>(*applicationId));
      *why = path + " is another program's database (application_id " + id + ", " +
             std::to_string(*tables) + " schema objects); refused";
      return false;
    }
    if (*version > kSchemaVersion) {
      *why = path + " was written by a newer orvexp (schema " + std::to_string(*version) +
             ", this one knows up to " + std::to_string(kSchemaVersion) + "); refused";
      return false;
    }
    if (!exec(writer, "PRAGMA journal_mode=WAL") || !exec(writer, kSynchronous) ||
        !exec(writer, kWriterCacheSize) || !exec(writer, kJournalSizeLimit)) {
      *why = sqliteError(writer, "cannot use");
      return false;
    }
    schemaVersion = *version;
    if (*version == kSchemaVersion || (*version > 0 && !migrate)) return true;
    // Another process may be creating or migrating it at the same moment: the version
    // is read again inside the transaction, which holds the file's write lock.
    const std::string stamp = "PRAGMA application_id=" + std::to_string(kApplicationId) +
                              ";PRAGMA user_version=" + std::to_string(kSchemaVersion);
    bool ok = exec(writer, "BEGIN IMMEDIATE");
    const auto current = ok ? scalar(writer, "PRAGMA user_version") : std::nullopt;
    ok = ok && current;
    if (ok && *current < kSchemaVersion) {
      ok = (*current == 0 ? exec(writer, kSchemaSql)
                          : (*current > 1 || exec(writer, kMigrateFrom1Sql)) &&
                                exec(writer, kMigrateFrom2Sql)) &&
           exec(writer, kIndexAndViewSql) && exec(writer, stamp.c_str());
    }
    ok = ok && exec(writer, "COMMIT");
    if (!ok) {
      *why = sqliteError(writer, *version > 0 ? "cannot migrate the event store in"
                                              : "cannot create the event store in");
      if (!sqlite3_get_autocommit(writer)) exec(writer, "ROLLBACK");
      return false;
    }
    schemaVersion = kSchemaVersion;
    return true;
  }

  // The reader's connection, which only reads (see kVersion1ReaderViewSql).
  bool openReader(std::string* why) {
    if (!openConnection(&reader, why)) return false;
    if (!exec(reader, kReaderCacheSize) ||
        (schemaVersion == 1 && !exec(reader, kVersion1ReaderViewSql)) ||
        (schemaVersion == 2 && !exec(reader, kVersion2ReaderViewSql)) ||
        !exec(reader, "PRAGMA query_only=1")) {
      *why = sqliteError(reader, "cannot use");
      return false;
    }
    return true;
  }
};
