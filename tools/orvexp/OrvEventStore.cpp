#include "OrvEventStore.h"

#include "ReadoutSql.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string_view>
#include <thread>
#include <tuple>
#include <unordered_map>

#include "OrvAssignment.h"
#include "platform/OrvDataDirectory.h"
#include "platform/OrvMD5.h"

namespace {

// Written into every store's header: a file with another id is another program's.
constexpr std::int64_t kApplicationId = 0x4F525645;  // "ORVE"

// The writer's page cache holds the event_id index of about a million events, so that
// an insert at a random place in it reads nothing from the file: our exporters' ids
// are time-ordered and land at the index's end, but any OTLP client may send random ones.
constexpr const char* kWriterCacheSize = "PRAGMA cache_size=-65536";
// The reader maps up to 1 GiB of the file: the readout scans two indexes of about 60 MB
// each at a million events, and a page read through the map is not copied as a read()
// copies it (a third less time, measured). Only this connection reads through it.
constexpr const char* kReaderCacheSize = "PRAGMA cache_size=-32768; PRAGMA mmap_size=1073741824";

// Random event ids put nearly every insert on an index page of its own: a request of
// 512 records adds about 1,000 pages to the log. When commits copied the log into the
// database themselves (SQLite's automatic checkpoint), a tenth of them took 60 ms or
// more. A thread of the store's own copies it once it holds kCheckpointFrames; a
// writer does only when it reaches kWriterCheckpointFrames (the thread cannot keep up,
// or a long query holds the log back), which bounds the log.
constexpr int kCheckpointFrames = 16384;
constexpr int kWriterCheckpointFrames = 65536;
// The last frames of a checkpoint are copied with writers held, so that the log is
// copied whole and the next commit starts it over (under a steady stream of commits it
// would never be, and would grow to kWriterCheckpointFrames).
constexpr int kFinishFrames = 1024;
constexpr const char* kJournalSizeLimit = "PRAGMA journal_size_limit=100663296";

// Requests waiting together are stored in one transaction, up to this many records.
constexpr std::size_t kMaxGroupRows = 8192;

// NORMAL, not FULL: a commit survives a crash of the process (the log is written before
// the answer) but may be lost with the machine's power before the next checkpoint syncs
// it. Measured with 1,000,000 events stored, in 512-record requests over loopback on 2
// cores, FULL's sync per commit kept ingest at 40,000 events/s for one client and
// 47,000 for four, below the 50,000 the collector must take; NORMAL reaches 50,000 and
// 65,000 (bench: BM_CollectorIngest).
constexpr const char* kSynchronous = "PRAGMA synchronous=NORMAL";

// Version 2: an exposure's unit, its group's intended share and the split it was placed
// by (compact JSON text), NULL when the exposure carried none (and on every row stored
// before version 2). Version 3: an outcome's name and value (OrvExperiment::track), NULL
// on every other row, so the readout reads them from an index instead of parsing each
// row's properties.
constexpr const char* kSchemaSql =
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
constexpr const char* kIndexAndViewSql =
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
constexpr const char* kMigrateFrom1Sql =
    "ALTER TABLE events ADD COLUMN unit_id TEXT;"
    "ALTER TABLE events ADD COLUMN intended_share REAL;"
    "ALTER TABLE events ADD COLUMN split TEXT;"
    "DROP INDEX IF EXISTS events_exposures;"
    "DROP VIEW IF EXISTS exposures;";

// Version 2 to 3: the outcomes stored so far get their name and value from their
// properties, as add() now derives them.
constexpr const char* kMigrateFrom2Sql =
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
constexpr const char* kVersion1ReaderViewSql =
    "CREATE TEMP VIEW exposures AS"
    " SELECT app_id, experiment_id, group_id, is_control, time_ms, NULL AS unit_id,"
    " NULL AS intended_share, NULL AS split FROM main.events"
    " WHERE name = 'zu_experiment_exposure';"
    "CREATE TEMP VIEW outcomes AS"
    " SELECT app_id, NULL AS unit_id, NULL AS outcome, NULL AS value, time_ms"
    " FROM main.events WHERE 0;";

constexpr const char* kVersion2ReaderViewSql =
    "CREATE TEMP VIEW outcomes AS"
    " SELECT app_id, unit_id, outcome, value, time_ms FROM (SELECT app_id, unit_id, time_ms,"
    " CASE WHEN json_type(properties, '$.\"#outcome\"') = 'text'"
    " THEN json_extract(properties, '$.\"#outcome\"') END AS outcome,"
    " CASE WHEN json_type(properties, '$.\"#value\"') IN ('integer', 'real')"
    " THEN json_extract(properties, '$.\"#value\"') END AS value"
    " FROM main.events WHERE name = 'orv_outcome')"
    " WHERE unit_id IS NOT NULL AND outcome IS NOT NULL AND value IS NOT NULL;";

constexpr const char* kInsertSql =
    "INSERT OR IGNORE INTO events (event_id, app_id, name, experiment_id, group_id, "
    "is_control, time_ms, properties, unit_id, intended_share, split, outcome, value) "
    "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13)";

struct Finalize {
  void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using Statement = std::unique_ptr<sqlite3_stmt, Finalize>;

Statement prepare(sqlite3* db, const char* sql) {
  sqlite3_stmt* raw = nullptr;
  sqlite3_prepare_v2(db, sql, -1, &raw, nullptr);
  return Statement(raw);
}

std::string columnText(sqlite3_stmt* st, int column) {
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(st, column));
  return text ? std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(st, column)))
              : std::string();
}

void bindText(sqlite3_stmt* st, int index, const std::string& text) {
  sqlite3_bind_text(st, index, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
}

// An absent column is NULL.
void bindText(sqlite3_stmt* st, int index, const std::optional<std::string>& text) {
  if (text) {
    bindText(st, index, *text);
  } else {
    sqlite3_bind_null(st, index);
  }
}

void bindDouble(sqlite3_stmt* st, int index, std::optional<double> value) {
  if (value) {
    sqlite3_bind_double(st, index, *value);
  } else {
    sqlite3_bind_null(st, index);
  }
}

bool exec(sqlite3* db, const char* sql) {
  return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

// The first column of the first row, or nothing when the statement fails.
std::optional<std::int64_t> scalar(sqlite3* db, const char* sql) {
  Statement st = prepare(db, sql);
  if (!st || sqlite3_step(st.get()) != SQLITE_ROW) return std::nullopt;
  return sqlite3_column_int64(st.get(), 0);
}

// An experiment or group identifier as the columns keep it (NULL when absent), the text
// the served payloads' identifiers are matched by.
std::optional<std::string> columnIdentifier(const OrvValue& value) {
  if (value.isAbsent()) return std::nullopt;
  return OrvAssignment::identifierText(value);
}

std::string directoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Checks the store's directory, then its files as every database of ours is checked
// (OrvDataDirectory::checkDatabaseFiles), saying what is wrong with the main file.
bool checkFiles(const std::string& path, bool create, std::string* why) {
  struct stat dir {};
  const std::string directory = directoryOf(path);
  if (::stat(directory.c_str(), &dir) != 0 || !S_ISDIR(dir.st_mode)) {
    *why = "cannot open " + path + ": the directory " + directory + " does not exist";
    return false;
  }
  int mainErrno = 0;
  if (!OrvDataDirectory::checkDatabaseFiles(path, create, why, &mainErrno)) return false;
  if (mainErrno == ENOENT) {
    *why = path + " does not exist";
    return false;
  }
  if (mainErrno != 0) {
    *why = "cannot open " + path + ": " + std::strerror(mainErrno);
    return false;
  }
  return true;
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

Row rowOf(const OrvMediatorEvent& event) {
  Row row;
  row.eventId = event.eventId;
  if (row.eventId.empty()) {
    OrvMediatorEvent anonymous = event;
    anonymous.eventId.clear();
    // With its context: two records that differ only there are two events.
    const std::string line = anonymous.toJson(true);
    const std::string digest = OrvMD5::hex(line);
    // Without MD5 the line itself still names the content exactly.
    row.eventId = "content-" + (digest.empty() ? line : digest);
  }
  row.appId = event.appId;
  row.name = event.name;
  row.experimentId = columnIdentifier(event.properties["#experiment_id"]);
  row.groupId = columnIdentifier(event.properties["#experiment_group_id"]);
  row.control = event.properties["#is_control_group"].boolValue();
  row.timeMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(event.time.time_since_epoch()).count();
  row.properties = event.properties.isDictionary() ? event.properties.toJson() : "{}";
  // The context as the collector took it (OrvEventCollector checks what it takes).
  if (const OrvValue& unit = event.context["unit"]; unit.isString()) row.unit = unit.stringValue();
  if (const OrvValue& share = event.context["intended_share"];
      share.isNumber() && !share.isBoolean())
    row.intendedShare = share.doubleValue();
  if (const OrvValue& split = event.context["split"]; split.isArray()) row.split = split.toJson();
  // An outcome whose name or value is not what OrvExperiment::track sends is stored all
  // the same, but is in no readout.
  if (row.name == OrvEventStore::kOutcomeEvent) {
    if (const OrvValue& name = event.properties["#outcome"]; name.isString())
      row.outcome = name.stringValue();
    if (const OrvValue& value = event.properties["#value"];
        value.isNumber() && !value.isBoolean() && std::isfinite(value.doubleValue()))
      row.value = value.doubleValue();
  }
  return row;
}

// One add() call waiting for its commit.
struct Pending {
  const std::vector<Row>* rows = nullptr;
  std::size_t added = 0;
  bool done = false;  // the fields below are set
  bool ok = false;
  std::string error;
};

// Step lengths a chart reads easily, in milliseconds.
constexpr std::int64_t kNiceSteps[] = {
    1,          2,          5,          10,          20,         50,        100,       200,
    500,        1'000,      2'000,      5'000,       10'000,     15'000,    30'000,    60'000,
    120'000,    300'000,    600'000,    900'000,     1'800'000,  3'600'000, 7'200'000, 10'800'000,
    21'600'000, 43'200'000, 86'400'000, 172'800'000, 604'800'000};

}  // namespace

struct OrvEventStore::Impl {
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

std::unique_ptr<OrvEventStore> OrvEventStore::open(const std::string& path, std::string* error,
                                                   bool create) {
  std::string why;
  auto impl = std::make_unique<Impl>();
  impl->path = path;
  const bool ok = checkFiles(path, create, &why) && impl->openConnection(&impl->writer, &why) &&
                  impl->prepareSchema(create, &why) && impl->openReader(&why) &&
                  impl->startCheckpointer(&why);
  if (ok) {
    // An older store opened for reading takes no events (add() says so).
    if (impl->schemaVersion != kSchemaVersion)
      return std::unique_ptr<OrvEventStore>(new OrvEventStore(std::move(impl)));
    impl->insert = prepare(impl->writer, kInsertSql);
    if (impl->insert) return std::unique_ptr<OrvEventStore>(new OrvEventStore(std::move(impl)));
  }
  if (why.empty())
    why = impl->sqliteError(impl->reader ? impl->reader : impl->writer, "cannot use");
  if (error) *error = why;
  return nullptr;
}

OrvEventStore::OrvEventStore(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

OrvEventStore::~OrvEventStore() = default;

bool OrvEventStore::add(const std::vector<OrvMediatorEvent>& events, std::size_t* added,
                        std::string* error) {
  if (!impl_->insert) {
    if (error)
      *error = "cannot store events in " + impl_->path + ": a version-" +
               std::to_string(impl_->schemaVersion) +
               " store opened for reading (open it to write to migrate it)";
    return false;
  }
  std::vector<Row> rows;
  rows.reserve(events.size());
  for (const auto& event : events) rows.push_back(rowOf(event));
  Pending mine;
  mine.rows = &rows;
  if (rows.empty()) {
    mine.ok = true;
  } else {
    std::unique_lock lock(impl_->queueMutex);
    impl_->queue.push_back(&mine);
    while (!mine.done) {
      if (impl_->leading) {
        impl_->stored.wait(lock);
        continue;
      }
      impl_->leading = true;
      std::vector<Pending*> group;
      std::size_t groupRows = 0;
      while (!impl_->queue.empty() && (group.empty() || groupRows < kMaxGroupRows)) {
        group.push_back(impl_->queue.front());
        groupRows += impl_->queue.front()->rows->size();
        impl_->queue.pop_front();
      }
      lock.unlock();
      impl_->storeGroup(group);
      lock.lock();
      impl_->leading = false;
      for (Pending* p : group) p->done = true;
      impl_->stored.notify_all();
    }
  }
  if (!mine.ok) {
    if (error) *error = mine.error;
    return false;
  }
  if (added) *added = mine.added;
  return true;
}

const char* OrvEventStore::countsSql() {
  return "SELECT app_id, experiment_id, group_id, MAX(is_control) AS control, "
         "COUNT(*) AS exposures, split FROM exposures "
         "GROUP BY app_id, experiment_id, group_id, split "
         "ORDER BY app_id, experiment_id, group_id, split";
}

namespace {

OrvEventStore::GroupCount groupCountOf(sqlite3_stmt* st) {
  OrvEventStore::GroupCount c;
  c.appId = columnText(st, 0);
  c.experimentId = columnText(st, 1);
  c.groupId = columnText(st, 2);
  c.control = sqlite3_column_int64(st, 3) != 0;
  c.exposures = sqlite3_column_int64(st, 4);
  c.split = columnText(st, 5);
  return c;
}

}  // namespace

namespace {

constexpr std::int64_t kCovariateWindowMs = 1'209'600'000;  // 14 days, as docs/readout.sql

// What the readout keeps of the whole store, across passes: per experiment its groups'
// units and, per outcome, each group's sums. A few entries per experiment, group and
// outcome name; ordered as the query orders its rows (SQLite compares text bytewise).
struct Sums {
  std::int64_t converted = 0;
  double sum = 0, sumSquares = 0, covariateSum = 0, covariateSumSquares = 0, crossSum = 0;
};
struct OutcomeAgg {
  bool after = false;  // some unit produced it at or after its exposure: it is read out
  bool ones = true;    // every such event carried 1
  std::map<std::uint32_t, Sums> groups;  // by group id
};
struct ExperimentAgg {
  std::int64_t unitsLeftOut = 0;
  std::map<std::uint32_t, std::pair<bool, std::int64_t>> groups;  // control, units
  std::map<std::uint32_t, OutcomeAgg> outcomes;                   // by outcome name id
};

// The few group ids and outcome names of one read, numbered in the order first seen.
class Names {
 public:
  std::uint32_t id(std::string_view text) {
    const auto [at, added] =
        ids_.emplace(std::string(text), static_cast<std::uint32_t>(texts_.size()));
    if (added) texts_.push_back(&at->first);
    return at->second;
  }
  const std::string& text(std::uint32_t id) const { return *texts_[id]; }

 private:
  std::unordered_map<std::string, std::uint32_t> ids_;  // nodes never move
  std::vector<const std::string*> texts_;               // by id, into ids_
};

std::string_view columnView(sqlite3_stmt* st, int column) {
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(st, column));
  return text ? std::string_view(text, static_cast<std::size_t>(sqlite3_column_bytes(st, column)))
              : std::string_view();
}

// A unit of an application as the readout tells units apart: two 64-bit hashes of
// "app\0unit" by two unrelated functions (std::hash, MurmurHash2 in libstdc++, and FNV-1a
// with SplitMix64's finalizer), 128 bits in all. Looking a unit up by its text cost a
// second cache miss on every exposure (the text compared, wherever it lies): a fifth of
// the readout's time. Two of a million units share one with a chance of about 10^-27.
struct UnitKey {
  std::uint64_t a = 0, b = 0;
  bool operator==(const UnitKey&) const = default;
};

UnitKey unitKeyOf(std::string& key, std::string_view app, std::string_view unit) {
  key.assign(app);
  key += '\0';
  key += unit;
  std::uint64_t b = 0xcbf29ce484222325ULL;
  for (unsigned char c : key) b = (b ^ c) * 0x100000001b3ULL;
  b ^= b >> 30;
  b *= 0xbf58476d1ce4e5b9ULL;
  b ^= b >> 27;
  b *= 0x94d049bb133111ebULL;
  b ^= b >> 31;
  return {std::hash<std::string>()(key), b};
}

// The units of a pass, numbered in the order first seen: an open-addressing table.
class UnitIds {
 public:
  std::uint32_t id(const UnitKey& key) {
    if (2 * (count_ + 1) > slots_.size()) grow();
    std::size_t i = key.b & (slots_.size() - 1);
    for (; slots_[i].id != 0; i = (i + 1) & (slots_.size() - 1))
      if (slots_[i].key == key) return slots_[i].id - 1;
    slots_[i] = {key, static_cast<std::uint32_t>(++count_)};
    return slots_[i].id - 1;
  }
  std::optional<std::uint32_t> find(const UnitKey& key) const {
    if (slots_.empty()) return std::nullopt;
    for (std::size_t i = key.b & (slots_.size() - 1); slots_[i].id != 0;
         i = (i + 1) & (slots_.size() - 1))
      if (slots_[i].key == key) return slots_[i].id - 1;
    return std::nullopt;
  }
  std::size_t count() const { return count_; }

 private:
  struct Slot {
    UnitKey key;
    std::uint32_t id = 0;  // id + 1; 0 is an empty slot
  };
  void grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(std::max<std::size_t>(16, old.size() * 2), Slot{});
    for (const Slot& slot : old) {
      if (slot.id == 0) continue;
      std::size_t i = slot.key.b & (slots_.size() - 1);
      while (slots_[i].id != 0) i = (i + 1) & (slots_.size() - 1);
      slots_[i] = slot;
    }
  }
  std::vector<Slot> slots_;  // a power of two of them, at most half in use
  std::size_t count_ = 0;
};

// The pass a unit is read in: the passes split the units, never one unit's exposures or
// outcomes.
std::size_t partitionOf(const UnitKey& unit, std::size_t passes) {
  return passes == 1 ? 0 : unit.a % passes;
}

}  // namespace

const char* OrvEventStore::readoutSql() { return orvexp::kReadoutSql; }

std::vector<OrvEventStore::OutcomeStats> OrvEventStore::outcomeStatistics(
    std::size_t passEvents, const std::vector<std::pair<std::string, std::string>>* only) const {
  std::lock_guard lock(impl_->readMutex);
  sqlite3* db = impl_->reader;
  // Every pass reads the same snapshot, whatever arrives meanwhile.
  if (!exec(db, "BEGIN")) return {};
  struct EndRead {
    sqlite3* db;
    ~EndRead() { exec(db, "COMMIT"); }
  } endRead{db};
  // What the scans read: one index range per application, experiment and group that has
  // exposures (all, or of the experiments asked for), found by seeking from one to the
  // next, so that each row read holds only the unit, control flag and time; and per
  // application its outcomes, in unit order. An application without outcomes has no
  // readout: its exposures are not read at all.
  struct Range {
    std::string app, experiment, group;
    std::uint32_t experimentIndex = 0, groupId = 0;  // in `experiments`, in `groups`
  };
  std::vector<Range> ranges;
  std::vector<std::string> apps;  // with outcomes, in order
  {
    // From one (application, experiment, group) to the next in the index: a seek each.
    // With experiments asked for, only within each of them.
    Statement first = prepare(db, only ? "SELECT app_id, experiment_id, group_id FROM exposures "
                                         "WHERE app_id = ?1 AND experiment_id = ?2 AND group_id "
                                         "IS NOT NULL ORDER BY group_id LIMIT 1"
                                       : "SELECT app_id, experiment_id, group_id FROM exposures "
                                         "WHERE experiment_id IS NOT NULL AND group_id IS NOT "
                                         "NULL ORDER BY app_id, experiment_id, group_id LIMIT 1");
    Statement next = prepare(db, only ? "SELECT app_id, experiment_id, group_id FROM exposures "
                                        "WHERE app_id = ?1 AND experiment_id = ?2 AND group_id "
                                        "> ?3 ORDER BY group_id LIMIT 1"
                                      : "SELECT app_id, experiment_id, group_id FROM exposures "
                                        "WHERE experiment_id IS NOT NULL AND group_id IS NOT NULL "
                                        "AND (app_id, experiment_id, group_id) > (?1, ?2, ?3) "
                                        "ORDER BY app_id, experiment_id, group_id LIMIT 1");
    Statement hasOutcomes = prepare(db, "SELECT 1 FROM outcomes WHERE app_id = ?1 LIMIT 1");
    if (!first || !next || !hasOutcomes) return {};
    std::map<std::string, bool> appHas;
    const auto hasAny = [&](const std::string& app) {
      auto has = appHas.find(app);
      if (has == appHas.end()) {
        sqlite3_reset(hasOutcomes.get());
        bindText(hasOutcomes.get(), 1, app);
        has = appHas.emplace(app, sqlite3_step(hasOutcomes.get()) == SQLITE_ROW).first;
        if (has->second) apps.push_back(app);
      }
      return has->second;
    };
    const auto bind = [](sqlite3_stmt* st, std::initializer_list<const std::string*> texts) {
      sqlite3_reset(st);
      int i = 1;
      for (const std::string* text : texts)
        sqlite3_bind_text(st, i++, text->data(), static_cast<int>(text->size()), SQLITE_TRANSIENT);
    };
    const auto rangeAt = [](sqlite3_stmt* st) -> std::optional<Range> {
      if (sqlite3_step(st) != SQLITE_ROW) return std::nullopt;
      return Range{columnText(st, 0), columnText(st, 1), columnText(st, 2)};
    };
    const auto walk = [&] {
      for (auto r = rangeAt(first.get()); r; r = rangeAt(next.get())) {
        if (hasAny(r->app)) ranges.push_back(*r);
        bind(next.get(), {&r->app, &r->experiment, &r->group});
      }
    };
    if (!only) {
      walk();
    } else {
      for (const auto& [app, experiment] :
           std::set<std::pair<std::string, std::string>>(only->begin(), only->end())) {
        if (!hasAny(app)) continue;
        bind(first.get(), {&app, &experiment});
        walk();
      }
    }
    std::sort(apps.begin(), apps.end());
  }
  if (ranges.empty()) return {};
  // Exposures without a unit (NULL or empty: no unit to attribute to) are left out here,
  // not in SQL, which would test each row twice more.
  Statement exposures = prepare(db,
                                "SELECT unit_id, is_control, time_ms FROM exposures WHERE "
                                "app_id = ?1 AND experiment_id = ?2 AND group_id = ?3");
  Statement outcomes = prepare(db,
                               "SELECT unit_id, outcome, value, time_ms FROM outcomes "
                               "WHERE app_id = ?1 ORDER BY unit_id");
  if (!exposures || !outcomes) return {};
  // The events stored bound the exposures and the outcomes at once, found at once
  // (eventCount()); counting either would read its whole index once more.
  const std::size_t rows = static_cast<std::size_t>(std::max<std::int64_t>(
      1, scalar(db, "SELECT COALESCE(MAX(seq), 0) FROM events").value_or(0)));
  const std::size_t perPass = std::max<std::size_t>(passEvents, 1);
  const std::size_t passes = (rows + perPass - 1) / perPass;

  // The ranges come in the rows' order (application, experiment, group): the experiments
  // are numbered in it.
  Names groups, outcomeNames;
  std::vector<std::pair<std::string, std::string>> experiments;  // application, experiment
  for (Range& range : ranges) {
    if (experiments.empty() || experiments.back() != std::pair(range.app, range.experiment))
      experiments.emplace_back(range.app, range.experiment);
    range.experimentIndex = static_cast<std::uint32_t>(experiments.size() - 1);
    range.groupId = groups.id(range.group);
  }
  std::vector<ExperimentAgg> aggs(experiments.size());
  std::string key;
  for (std::size_t pass = 0; pass < passes; ++pass) {
    // This pass's units' exposures, then per unit and experiment its first exposure.
    UnitIds units;
    struct Exposure {
      std::uint32_t unit, experiment, group;
      bool control;
      std::int64_t timeMs;
    };
    std::vector<Exposure> seen;
    seen.reserve(std::min(rows / passes + 1, perPass));
    for (const Range& range : ranges) {
      sqlite3_stmt* st = exposures.get();
      sqlite3_reset(st);
      bindText(st, 1, range.app);
      bindText(st, 2, range.experiment);
      bindText(st, 3, range.group);
      while (sqlite3_step(st) == SQLITE_ROW) {
        const std::string_view unitId = columnView(st, 0);
        if (unitId.empty()) continue;
        const UnitKey unit = unitKeyOf(key, range.app, unitId);
        if (partitionOf(unit, passes) != pass) continue;
        seen.push_back({units.id(unit), range.experimentIndex, range.groupId,
                        sqlite3_column_int64(st, 1) != 0, sqlite3_column_int64(st, 2)});
      }
    }
    // By unit (a counting sort: units are numbered densely), then each unit's few by
    // experiment and time.
    {
      std::vector<std::size_t> start(units.count() + 1, 0);
      for (const Exposure& e : seen) ++start[e.unit + 1];
      for (std::size_t i = 1; i < start.size(); ++i) start[i] += start[i - 1];
      std::vector<Exposure> sorted(seen.size());
      for (const Exposure& e : seen) sorted[start[e.unit]++] = e;
      seen.swap(sorted);
      for (std::size_t i = 0, j = 0; i < seen.size(); i = j) {
        for (j = i + 1; j < seen.size() && seen[j].unit == seen[i].unit;) ++j;
        std::sort(seen.begin() + static_cast<std::ptrdiff_t>(i),
                  seen.begin() + static_cast<std::ptrdiff_t>(j),
                  [](const Exposure& a, const Exposure& b) {
                    return std::tie(a.experiment, a.timeMs) < std::tie(b.experiment, b.timeMs);
                  });
      }
    }
    struct First {
      std::uint32_t experiment, group;
      std::int64_t exposedMs;
    };
    std::vector<First> firsts;           // kept units only, ordered by unit
    std::vector<std::size_t> unitStart;  // firsts of unit u: [unitStart[u], unitStart[u + 1])
    for (std::size_t i = 0; i < seen.size();) {
      std::size_t j = i;
      bool control = false, mixed = false;
      for (; j < seen.size() && seen[j].unit == seen[i].unit &&
             seen[j].experiment == seen[i].experiment;
           ++j) {
        control = control || seen[j].control;
        mixed = mixed || seen[j].group != seen[i].group;
      }
      ExperimentAgg& agg = aggs[seen[i].experiment];
      if (mixed) {
        ++agg.unitsLeftOut;
      } else {
        auto& group = agg.groups[seen[i].group];
        group.first = group.first || control;
        ++group.second;
        while (unitStart.size() <= seen[i].unit) unitStart.push_back(firsts.size());
        firsts.push_back({seen[i].experiment, seen[i].group, seen[i].timeMs});
      }
      i = j;
    }
    while (unitStart.size() <= units.count()) unitStart.push_back(firsts.size());
    seen.clear();
    seen.shrink_to_fit();

    // Per kept unit, experiment and outcome name: the sum since its first exposure and
    // in the window before it. The rows come by unit, so one unit's sums at a time are
    // kept, then added to their group's.
    struct Unit {
      std::size_t first;  // in firsts
      std::uint32_t name;
      double value = 0, covariate = 0;
      bool after = false, ones = true;
    };
    std::vector<Unit> unitSums;
    const auto addUnit = [&] {
      for (const Unit& acc : unitSums) {
        const First& f = firsts[acc.first];
        OutcomeAgg& outcome = aggs[f.experiment].outcomes[acc.name];
        outcome.after = outcome.after || acc.after;
        outcome.ones = outcome.ones && acc.ones;
        Sums& sums = outcome.groups[f.group];
        sums.converted += acc.value > 0 ? 1 : 0;
        sums.sum += acc.value;
        sums.sumSquares += acc.value * acc.value;
        sums.covariateSum += acc.covariate;
        sums.covariateSumSquares += acc.covariate * acc.covariate;
        sums.crossSum += acc.covariate * acc.value;
      }
      unitSums.clear();
    };
    std::string lastUnit;
    std::optional<std::uint32_t> u;
    std::string lastName;
    std::uint32_t name = outcomeNames.id("");
    for (const std::string& app : apps) {
      sqlite3_stmt* st = outcomes.get();
      sqlite3_reset(st);
      bindText(st, 1, app);
      bool first = true;
      while (sqlite3_step(st) == SQLITE_ROW) {
        // The rows of one unit come together: it is looked up once.
        if (const std::string_view unit = columnView(st, 0); first || unit != lastUnit) {
          addUnit();
          first = false;
          lastUnit.assign(unit);
          const UnitKey k = unitKeyOf(key, app, unit);
          u = partitionOf(k, passes) == pass ? units.find(k) : std::nullopt;
        }
        if (!u) continue;
        const std::string_view outcomeName = columnView(st, 1);
        if (outcomeName != lastName) {
          lastName.assign(outcomeName);
          name = outcomeNames.id(outcomeName);
        }
        const double value = sqlite3_column_double(st, 2);
        const std::int64_t timeMs = sqlite3_column_int64(st, 3);
        for (std::size_t f = unitStart[*u]; f < unitStart[*u + 1]; ++f) {
          const std::int64_t exposedMs = firsts[f].exposedMs;
          if (timeMs < exposedMs - kCovariateWindowMs) continue;
          auto acc = std::find_if(unitSums.begin(), unitSums.end(),
                                  [&](const Unit& a) { return a.first == f && a.name == name; });
          if (acc == unitSums.end()) acc = unitSums.insert(unitSums.end(), Unit{f, name});
          if (timeMs >= exposedMs) {
            acc->value += value;
            acc->after = true;
            acc->ones = acc->ones && value == 1;
          } else {
            acc->covariate += value;
          }
        }
      }
    }
    addUnit();
  }

  // Rows in the query's order: application, experiment (the experiments' own), outcome,
  // group.
  // Ids in their texts' order.
  const auto byText = [](const auto& ids, const Names& names) {
    std::vector<std::uint32_t> sorted;
    for (const auto& entry : ids) sorted.push_back(entry.first);
    std::sort(sorted.begin(), sorted.end(),
              [&](std::uint32_t a, std::uint32_t b) { return names.text(a) < names.text(b); });
    return sorted;
  };
  std::vector<OutcomeStats> out;
  for (std::size_t e = 0; e < experiments.size(); ++e) {
    const ExperimentAgg& agg = aggs[e];
    const std::vector<std::uint32_t> groupOrder = byText(agg.groups, groups);
    for (std::uint32_t name : byText(agg.outcomes, outcomeNames)) {
      const OutcomeAgg& outcome = agg.outcomes.at(name);
      if (!outcome.after) continue;
      for (std::uint32_t group : groupOrder) {
        const auto& units = agg.groups.at(group);
        OutcomeStats r;
        r.appId = experiments[e].first;
        r.experimentId = experiments[e].second;
        r.outcome = outcomeNames.text(name);
        r.groupId = groups.text(group);
        r.control = units.first;
        r.countsOnly = outcome.ones;
        r.units = units.second;
        if (const auto found = outcome.groups.find(group); found != outcome.groups.end()) {
          const Sums& s = found->second;
          r.converted = s.converted;
          r.sum = s.sum;
          r.sumSquares = s.sumSquares;
          r.covariateSum = s.covariateSum;
          r.covariateSumSquares = s.covariateSumSquares;
          r.crossSum = s.crossSum;
        }
        r.unitsLeftOut = agg.unitsLeftOut;
        out.push_back(std::move(r));
      }
    }
  }
  return out;
}

std::vector<OrvEventStore::GroupCount> OrvEventStore::exposureCounts() const {
  std::vector<GroupCount> counts;
  std::lock_guard lock(impl_->readMutex);
  Statement st = prepare(impl_->reader, countsSql());
  while (st && sqlite3_step(st.get()) == SQLITE_ROW) counts.push_back(groupCountOf(st.get()));
  return counts;
}

void OrvEventStore::visitExposureCounts(
    const std::function<void(std::vector<GroupCount>&)>& visit) const {
  std::vector<GroupCount> experiment;
  std::lock_guard lock(impl_->readMutex);
  Statement st = prepare(impl_->reader, countsSql());
  while (st && sqlite3_step(st.get()) == SQLITE_ROW) {
    GroupCount c = groupCountOf(st.get());
    if (!experiment.empty() && (experiment.front().appId != c.appId ||
                                experiment.front().experimentId != c.experimentId)) {
      visit(experiment);
      experiment.clear();
    }
    experiment.push_back(std::move(c));
  }
  if (!experiment.empty()) visit(experiment);
}

std::vector<OrvEventStore::GroupCount> OrvEventStore::exposureCounts(
    const std::string& appId, const std::string& experimentId) const {
  std::vector<GroupCount> counts;
  std::lock_guard lock(impl_->readMutex);
  Statement st = prepare(impl_->reader,
                         "SELECT app_id, experiment_id, group_id, MAX(is_control), COUNT(*), "
                         "split FROM exposures WHERE app_id = ?1 AND experiment_id = ?2 "
                         "GROUP BY group_id, split ORDER BY group_id, split");
  if (st) {
    bindText(st.get(), 1, appId);
    bindText(st.get(), 2, experimentId);
  }
  while (st && sqlite3_step(st.get()) == SQLITE_ROW) counts.push_back(groupCountOf(st.get()));
  return counts;
}

std::vector<OrvEventStore::SeriesPoint> OrvEventStore::exposureSeries(
    const std::string& appId, const std::string& experimentId, int maxSteps,
    std::int64_t* stepMs) const {
  std::vector<SeriesPoint> points;
  if (stepMs) *stepMs = 0;
  std::lock_guard lock(impl_->readMutex);
  // One read transaction for both statements: the steps fit what is counted.
  if (!exec(impl_->reader, "BEGIN")) return points;
  Statement range = prepare(impl_->reader,
                            "SELECT MIN(time_ms), MAX(time_ms) FROM exposures "
                            "WHERE app_id = ?1 AND experiment_id = ?2");
  if (range) {
    bindText(range.get(), 1, appId);
    bindText(range.get(), 2, experimentId);
  }
  if (range && sqlite3_step(range.get()) == SQLITE_ROW &&
      sqlite3_column_type(range.get(), 0) != SQLITE_NULL) {
    const std::int64_t first = sqlite3_column_int64(range.get(), 0);
    const std::int64_t last = sqlite3_column_int64(range.get(), 1);
    const std::int64_t steps = maxSteps < 1 ? 1 : maxSteps;
    // The shortest step with which `steps` of them reach from first to last.
    const std::int64_t least = (last - first) / steps + 1;
    std::int64_t step = 0;
    for (std::int64_t nice : kNiceSteps) {
      if (nice >= least) {
        step = nice;
        break;
      }
    }
    if (step == 0) step = (least + 86'400'000 - 1) / 86'400'000 * 86'400'000;
    if (stepMs) *stepMs = step;
    Statement st = prepare(impl_->reader,
                           "SELECT group_id, (time_ms - ?3) / ?4 AS step, COUNT(*) "
                           "FROM exposures WHERE app_id = ?1 AND experiment_id = ?2 "
                           "GROUP BY group_id, step ORDER BY group_id, step");
    if (st) {
      bindText(st.get(), 1, appId);
      bindText(st.get(), 2, experimentId);
      sqlite3_bind_int64(st.get(), 3, first);
      sqlite3_bind_int64(st.get(), 4, step);
    }
    while (st && sqlite3_step(st.get()) == SQLITE_ROW) {
      SeriesPoint p;
      p.groupId = columnText(st.get(), 0);
      p.startMs = first + sqlite3_column_int64(st.get(), 1) * step;
      p.exposures = sqlite3_column_int64(st.get(), 2);
      points.push_back(std::move(p));
    }
  }
  range.reset();
  exec(impl_->reader, "COMMIT");
  return points;
}

std::int64_t OrvEventStore::eventCount() const {
  std::lock_guard lock(impl_->readMutex);
  // Rows are never deleted and a row's seq is the largest before it plus one (an ignored
  // or rolled back insert takes none), so the largest seq is the count, found in the
  // primary key at once where COUNT(*) would read every row.
  return scalar(impl_->reader, "SELECT COALESCE(MAX(seq), 0) FROM events").value_or(0);
}

bool OrvEventStore::exportJsonLines(std::ostream& out, std::string* error) const {
  std::lock_guard lock(impl_->readMutex);
  // A version-1 store's rows carry no context.
  Statement st = prepare(impl_->reader, impl_->schemaVersion == 1
                                            ? "SELECT event_id, app_id, name, time_ms, properties, "
                                              "NULL, NULL, NULL FROM events ORDER BY seq"
                                            : "SELECT event_id, app_id, name, time_ms, properties, "
                                              "unit_id, intended_share, split FROM events "
                                              "ORDER BY seq");
  int rc = st ? SQLITE_ROW : SQLITE_ERROR;
  while (st && (rc = sqlite3_step(st.get())) == SQLITE_ROW) {
    OrvMediatorEvent event;
    event.eventId = columnText(st.get(), 0);
    event.appId = columnText(st.get(), 1);
    event.name = columnText(st.get(), 2);
    event.time = std::chrono::system_clock::time_point(
        std::chrono::milliseconds(sqlite3_column_int64(st.get(), 3)));
    event.properties = OrvValue::parseJson(columnText(st.get(), 4)).value;
    OrvValue::Dictionary context;
    if (sqlite3_column_type(st.get(), 5) != SQLITE_NULL)
      context.emplace_back("unit", OrvValue(columnText(st.get(), 5)));
    if (sqlite3_column_type(st.get(), 6) != SQLITE_NULL)
      context.emplace_back("intended_share", OrvValue(sqlite3_column_double(st.get(), 6)));
    if (sqlite3_column_type(st.get(), 7) != SQLITE_NULL)
      context.emplace_back("split", OrvValue::parseJson(columnText(st.get(), 7)).value);
    if (!context.empty()) event.context = OrvValue::dictionary(std::move(context));
    out << event.toJson(true) << '\n';
    if (!out) {
      if (error) *error = "cannot write the events of " + impl_->path;
      return false;
    }
  }
  if (rc != SQLITE_DONE) {
    if (error) *error = impl_->sqliteError(impl_->reader, "cannot read");
    return false;
  }
  out.flush();
  if (!out) {
    if (error) *error = "cannot write the events of " + impl_->path;
    return false;
  }
  return true;
}
