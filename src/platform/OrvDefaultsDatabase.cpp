#include "platform/OrvDefaultsDatabase.h"

#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <sstream>
#include <unordered_map>

#include "platform/OrvDataDirectory.h"
#include "platform/OrvDefaultsSchema.h"
#include "platform/OrvLogChannel.h"
#include "platform/OrvProcessLifetime.h"
#include "platform/OrvSerialExecutor.h"

namespace {

// How a value's kind is kept in the `kind` column of orv_defaults.
enum StoredKind : int { kBool = 0, kString = 1, kInteger = 2, kFloating = 3, kJson = 4 };

std::atomic<const OrvLogChannel*> logChannel{nullptr};
std::atomic<std::size_t> limitOfEvents{OrvEventOutbox::kDefaultLimit};
std::atomic<std::uint64_t> eventsDropped{0};
std::atomic<std::int64_t> orphanScanMs{30'000};
std::atomic<void (*)()> storedListener{nullptr};

struct OpenDatabases {
  std::mutex mutex;
  // Guarded by mutex.
  std::unordered_map<std::string, std::weak_ptr<OrvDefaultsDatabase>> byDirectory;
};
OpenDatabases& openDatabases() {
  static auto* open = new OpenDatabases();  // leaked: reached from library threads at exit
  return *open;
}

// The start time of process `pid` in clock ticks since boot (field 22 of its stat
// file), or "" when there is no such process. With the pid it names one process run.
std::string startTimeOf(long pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  if (!std::getline(in, stat)) return "";
  const std::size_t end = stat.rfind(')');  // the command name may hold blanks
  if (end == std::string::npos) return "";
  std::istringstream fields(stat.substr(end + 1));
  std::string field;
  for (int i = 3; i <= 22 && fields >> field; ++i) {
    if (i == 22) return field;
  }
  return "";
}

std::string thisProcess() {
  const long pid = static_cast<long>(::getpid());
  return std::to_string(pid) + ":" + startTimeOf(pid);
}

bool isAlive(const std::string& owner) {
  const std::size_t colon = owner.find(':');
  if (colon == std::string::npos) return false;
  const long pid = std::atol(owner.c_str());
  return pid > 0 && startTimeOf(pid) == owner.substr(colon + 1) && !owner.substr(colon + 1).empty();
}

bool truthy(const OrvValue& v) { return !v.isAbsent() && v.boolValue(); }

std::string columnText(sqlite3_stmt* st, int column) {
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(st, column));
  return text ? std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(st, column)))
              : std::string();
}

OrvValue columnValue(sqlite3_stmt* st, int kindColumn, int valueColumn) {
  switch (sqlite3_column_int(st, kindColumn)) {
    case kBool:
      return OrvValue(sqlite3_column_int64(st, valueColumn) != 0);
    case kString:
      return OrvValue(columnText(st, valueColumn));
    case kInteger:
      return OrvValue(static_cast<std::int64_t>(sqlite3_column_int64(st, valueColumn)));
    case kFloating:
      return OrvValue(sqlite3_column_double(st, valueColumn));
    case kJson:
      return OrvValue::parseJson(columnText(st, valueColumn)).value;
    default:
      return OrvValue();  // a kind from a newer version: not ours to read
  }
}

void bindText(sqlite3_stmt* st, int index, const std::string& text) {
  sqlite3_bind_text(st, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

// The dead letters' statements (see Statements::lazy).
constexpr const char* kBuryStoredSql =
    "INSERT OR IGNORE INTO orv_dead_letters (event_id, app_id, name, properties, time_ms, "
    "consumer, status, reason, dead_at_ms) SELECT event_id, app_id, name, properties, time_ms, "
    "consumer, ?2, ?3, ?4 FROM orv_outbox WHERE id = ?1";
constexpr const char* kBuryEventSql =
    "INSERT OR IGNORE INTO orv_dead_letters (event_id, app_id, name, properties, time_ms, "
    "consumer, status, reason, dead_at_ms) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)";
constexpr const char* kTrimDeadSql =
    "DELETE FROM orv_dead_letters WHERE id NOT IN (SELECT id FROM orv_dead_letters ORDER BY id "
    "DESC LIMIT ?1)";
constexpr const char* kSelectDeadSql =
    "SELECT event_id, app_id, name, properties, time_ms, consumer, status, reason, dead_at_ms "
    "FROM orv_dead_letters ORDER BY id LIMIT ?1";
// Unowned ('' is no running process): the next process with the consumer claims them.
constexpr const char* kRedriveSql =
    "INSERT OR IGNORE INTO orv_outbox (event_id, app_id, name, properties, time_ms, owner, "
    "consumer) SELECT event_id, app_id, name, properties, time_ms, '', consumer FROM "
    "orv_dead_letters ORDER BY id";
constexpr const char* kClearDeadSql = "DELETE FROM orv_dead_letters";

// An event's own columns, as parameters 1 to 5 of every statement that stores one.
void bindEvent(sqlite3_stmt* st, const OrvOutboxEvent& event) {
  bindText(st, 1, event.eventId);
  bindText(st, 2, event.appId);
  bindText(st, 3, event.name);
  bindText(st, 4, event.properties.toJson());
  sqlite3_bind_int64(st, 5, event.timeMs);
}

}  // namespace

struct OrvDefaultsDatabase::Statements {
  using Statement = OrvSqliteFile::Statement;
  Statement selectOne, selectAll, upsert, remove;  // suites
  Statement insertEvent, selectEvents, deleteEvent, countEvents, trimEvents, owners, claim;
  Statement passOn, copyTo;
  Statement buryStored, buryEvent, trimDead, selectDead, redrive, clearDead;  // lazy

  // The statements a read-only connection needs too.
  bool prepareReads(sqlite3* db) {
    return prepare(db, &selectOne,
                   "SELECT kind, value FROM orv_defaults WHERE suite = ?1 AND key = ?2") &&
           prepare(db, &selectAll, "SELECT key, kind, value FROM orv_defaults WHERE suite = ?1");
  }

  // Every statement of the read-write connection.
  bool prepareAll(sqlite3* db) {
    return prepareReads(db) &&
           prepare(db, &upsert,
                   "INSERT INTO orv_defaults (suite, key, kind, value) VALUES (?1, ?2, ?3, ?4) ON "
                   "CONFLICT (suite, key) DO UPDATE SET kind = excluded.kind, value = "
                   "excluded.value") &&
           prepare(db, &remove, "DELETE FROM orv_defaults WHERE suite = ?1 AND key = ?2") &&
           // A consumer that holds an event already keeps the one it has.
           prepare(db, &insertEvent,
                   "INSERT OR IGNORE INTO orv_outbox (event_id, app_id, name, properties, "
                   "time_ms, owner, consumer) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)") &&
           prepare(db, &selectEvents,
                   "SELECT id, event_id, app_id, name, properties, time_ms FROM orv_outbox "
                   "WHERE owner = ?1 AND consumer = ?3 ORDER BY id LIMIT ?2") &&
           prepare(db, &passOn, "UPDATE OR IGNORE orv_outbox SET consumer = ?2 WHERE id = ?1") &&
           prepare(db, &copyTo,
                   "INSERT OR IGNORE INTO orv_outbox (event_id, app_id, name, properties, "
                   "time_ms, owner, consumer) SELECT event_id, app_id, name, properties, "
                   "time_ms, owner, ?2 FROM orv_outbox WHERE id = ?1") &&
           prepare(db, &deleteEvent, "DELETE FROM orv_outbox WHERE id = ?1") &&
           prepare(db, &countEvents, "SELECT count(*) FROM orv_outbox") &&
           prepare(db, &trimEvents,
                   "DELETE FROM orv_outbox WHERE id IN (SELECT id FROM orv_outbox ORDER BY id "
                   "LIMIT ?1)") &&
           prepare(db, &owners, "SELECT DISTINCT owner FROM orv_outbox WHERE owner != ?1") &&
           prepare(db, &claim, "UPDATE orv_outbox SET owner = ?1 WHERE owner = ?2");
  }

  // A statement of the rare calls (dead letters), prepared on first use rather than at
  // start-up; null when it cannot be prepared.
  sqlite3_stmt* lazy(sqlite3* db, Statement& slot, const char* sql) {
    if (!slot) prepare(db, &slot, sql);
    return slot.get();
  }

  static bool prepare(sqlite3* db, Statement* out, const char* sql) {
    return OrvSqliteFile::prepare(db, out, sql);
  }

  // Runs a statement that returns no rows; leaves it reset.
  static int run(sqlite3_stmt* st) {
    const int rc = sqlite3_step(st);
    sqlite3_reset(st);
    return rc;
  }
};

std::shared_ptr<OrvDefaultsDatabase> OrvDefaultsDatabase::forDirectory(
    const std::string& directory) {
  auto& open = openDatabases();
  std::shared_ptr<OrvDefaultsDatabase> db;
  {
    std::lock_guard lock(open.mutex);
    if (auto existing = open.byDirectory[directory].lock()) return existing;
    db = std::make_shared<OrvDefaultsDatabase>(directory);
    open.byDirectory[directory] = db;
  }
  // Outside the registry's lock: opening touches the disk and may log, and a console
  // sink may come back here (to track an event, say).
  db->start();
  return db;
}

std::vector<std::shared_ptr<OrvDefaultsDatabase>> OrvDefaultsDatabase::allOpen() {
  auto& open = openDatabases();
  std::lock_guard lock(open.mutex);
  std::vector<std::shared_ptr<OrvDefaultsDatabase>> all;
  for (auto it = open.byDirectory.begin(); it != open.byDirectory.end();) {
    if (auto db = it->second.lock()) {
      all.push_back(std::move(db));
      ++it;
    } else {
      it = open.byDirectory.erase(it);
    }
  }
  return all;
}

void OrvDefaultsDatabase::setLogChannel(const OrvLogChannel* log) {
  logChannel.store(log, std::memory_order_release);
}

OrvDefaultsDatabase::OrvDefaultsDatabase(std::string directory)
    : directory_(std::move(directory)),
      owner_(thisProcess()),
      file_(directory_, OrvDefaultsSchema::kFileName, OrvDefaultsSchema::kVersion,
            OrvDefaultsSchema::kCreate, *this) {}

void OrvDefaultsDatabase::start() {
  std::unique_lock lock(mutex_);
  if (!opened_) openLocked();
  flushErrors(lock);
}

OrvDefaultsDatabase::~OrvDefaultsDatabase() {
  std::lock_guard lock(mutex_);
  file_.close();
}

// Opens the file: read-write, or failing that read-only. Under mutex_.
bool OrvDefaultsDatabase::openLocked() { return openedLocked(file_.open()); }

// Takes in what opening the file came to. Under mutex_.
bool OrvDefaultsDatabase::openedLocked(const OrvSqliteFile::Opening& opening) {
  opened_ = true;
  if (opening.writable) {
    outage_.setContended(false);
    countEventsLocked(statements_->countEvents.get());
    return true;
  }
  if (opening.refused) {
    // Reported already, once for the process.
    outage_.markBroken();
    return false;
  }
  writeFailedLocked(opening.why, opening.code);
  if (opening.held) outage_.setContended(true);
  return false;
}

int OrvDefaultsDatabase::prepare(sqlite3* connection, bool readOnly) {
  statements_ = std::make_unique<Statements>();
  if (!readOnly) return statements_->prepareAll(connection) ? SQLITE_OK : SQLITE_ERROR;
  if (!statements_->prepareReads(connection)) return SQLITE_ERROR;
  const int rc = sqlite3_step(statements_->selectAll.get());
  sqlite3_reset(statements_->selectAll.get());
  return rc == SQLITE_ROW || rc == SQLITE_DONE ? SQLITE_OK : rc;
}

void OrvDefaultsDatabase::release() { statements_.reset(); }

// True when a write may be tried now: the connection is open and no back-off is
// running, or it could be opened again; after an outage, once what memory kept has been
// written back, so that it reaches the file before anything newer. Under mutex_.
bool OrvDefaultsDatabase::writableLocked() {
  if (outage_.backingOff()) return false;
  if (file_.writable() && file_.moved()) recreateLocked();
  if (!file_.writable() && !openLocked()) return false;
  file_.setBusyBudget(outage_.busyBudget());
  return !outage_.broken() || writeBackLocked();
}

// Opens the path again when the file there is no longer the one open. Under mutex_.
void OrvDefaultsDatabase::recreateLocked() {
  errors_.push_back("OrvUserDefaults: " + file_.path() +
                    " was removed or replaced while in use; writing to a new file there");
  const OrvSqliteFile::Opening opening = file_.reopen();
  if (openedLocked(opening) && !opening.copyFailure.empty())
    writeFailedLocked(opening.copyFailure, opening.copyCode);
}

void OrvDefaultsDatabase::writeFailedLocked(const std::string& why, int code) {
  if (std::string line = outage_.failed(why, OrvSqliteFile::isBusy(code)); !line.empty())
    errors_.push_back(std::move(line));
}

bool OrvDefaultsDatabase::writeBackLocked() {
  bool stored = false;
  if (!transactionLocked(
          [&] { return outage_.writeBack(*this, &stored) && (trimEventsLocked(), true); }))
    return false;
  outage_.wroteBack();
  storedInBackground_ = storedInBackground_ || stored;
  return true;
}

bool OrvDefaultsDatabase::writeRow(const std::string& suite, const std::string& key,
                                   const OrvValue& value) {
  return writeRowLocked(suite, key, value);
}

bool OrvDefaultsDatabase::insertEvent(OrvOutboxEvent& event) { return insertEventLocked(event); }

bool OrvDefaultsDatabase::deleteEvent(std::int64_t seq) { return deleteEventLocked(seq); }

bool OrvDefaultsDatabase::record(const std::string& suite, const std::string& key,
                                 OrvOutboxEvent& event, OrvRecordOutcome* outcome) {
  return recordLocked(suite, key, event, outcome);
}

bool OrvDefaultsDatabase::uncheckableLocked() const {
  return outage_.contended() || file_.journalUnseen();
}

void OrvDefaultsDatabase::flushErrors(std::unique_lock<std::mutex>& lock) {
  std::vector<std::string> errors, notes;
  errors.swap(errors_);
  notes.swap(notes_);
  const bool scheduleRetry = outage_.wantsRetry() && !OrvDataDirectory::isRefused(directory_) &&
                             !OrvProcessLifetime::exiting();
  if (scheduleRetry) outage_.retryScheduled();
  const bool stored = std::exchange(storedInBackground_, false);
  if (stored) ++listenerCalls_;
  if (!outage_.hasWaiting()) checked_.notify_all();
  const Clock::time_point at = outage_.retryAt();
  lock.unlock();
  if (scheduleRetry) {
    OrvSerialExecutor::background().submitAt(at, [self = weak_from_this()] {
      if (auto db = self.lock()) db->retry();
    });
  }
  if (stored) {
    if (auto* listener = storedListener.load(std::memory_order_acquire)) listener();
    lock.lock();
    --listenerCalls_;
    checked_.notify_all();
    lock.unlock();
  }
  const OrvLogChannel* log = logChannel.load(std::memory_order_acquire);
  if (!log) return;
  for (const auto& e : errors) log->error("%@", e);
  for (const auto& n : notes) log->info("%@", n);
}

// Writes back what memory holds, and records what waits, once the back-off has passed;
// schedules itself again (through flushErrors) while that fails.
void OrvDefaultsDatabase::retry() {
  std::unique_lock lock(mutex_);
  outage_.retryStarted();
  if (!OrvProcessLifetime::exiting() && outage_.broken()) writableLocked();
  flushErrors(lock);
}

// The stored value, from memory when a write of it is pending, else from the file.
// False when the file could not be read. Under mutex_.
bool OrvDefaultsDatabase::readRowLocked(const std::string& suite, const std::string& key,
                                        OrvValue* out) {
  *out = OrvValue();
  if (const OrvValue* kept = outage_.row(suite, key)) {
    *out = *kept;
    return true;
  }
  if (!statements_ || !statements_->selectOne) return false;
  sqlite3_stmt* st = statements_->selectOne.get();
  bindText(st, 1, suite);
  bindText(st, 2, key);
  const int rc = sqlite3_step(st);
  if (rc == SQLITE_ROW) *out = columnValue(st, 0, 1);
  sqlite3_reset(st);
  return rc == SQLITE_ROW || rc == SQLITE_DONE;
}

bool OrvDefaultsDatabase::writeRowLocked(const std::string& suite, const std::string& key,
                                         const OrvValue& value) {
  if (!file_.writable()) return false;
  if (value.isAbsent()) {
    sqlite3_stmt* st = statements_->remove.get();
    bindText(st, 1, suite);
    bindText(st, 2, key);
    return Statements::run(st) == SQLITE_DONE;
  }
  sqlite3_stmt* st = statements_->upsert.get();
  bindText(st, 1, suite);
  bindText(st, 2, key);
  switch (value.kind()) {
    case OrvValue::Kind::kBoolean:
      sqlite3_bind_int(st, 3, kBool);
      sqlite3_bind_int64(st, 4, value.boolValue() ? 1 : 0);
      break;
    case OrvValue::Kind::kInteger:
      sqlite3_bind_int(st, 3, kInteger);
      sqlite3_bind_int64(st, 4, value.int64Value());
      break;
    case OrvValue::Kind::kFloating:
      sqlite3_bind_int(st, 3, kFloating);
      sqlite3_bind_double(st, 4, value.doubleValue());
      break;
    case OrvValue::Kind::kString:
      sqlite3_bind_int(st, 3, kString);
      bindText(st, 4, value.stringValue());
      break;
    default:
      sqlite3_bind_int(st, 3, kJson);
      bindText(st, 4, value.toJson());
      break;
  }
  return Statements::run(st) == SQLITE_DONE;
}

bool OrvDefaultsDatabase::insertEventLocked(OrvOutboxEvent& event) {
  sqlite3_stmt* st = statements_->insertEvent.get();
  bindEvent(st, event);
  bindText(st, 6, owner_);
  bindText(st, 7, event.consumer);
  if (Statements::run(st) != SQLITE_DONE) return false;
  if (sqlite3_changes(file_.connection()) == 1) {
    event.seq = sqlite3_last_insert_rowid(file_.connection());
    ++approxEvents_;
  }
  return true;
}

bool OrvDefaultsDatabase::deleteEventLocked(std::int64_t seq) {
  sqlite3_bind_int64(statements_->deleteEvent.get(), 1, seq);
  if (Statements::run(statements_->deleteEvent.get()) != SQLITE_DONE) return false;
  approxEvents_ -= std::min<std::size_t>(approxEvents_, sqlite3_changes(file_.connection()));
  return true;
}

// Keeps the outbox within its limit, dropping the oldest events. Inside the
// transaction that added to it. Under mutex_.
void OrvDefaultsDatabase::trimEventsLocked() {
  const std::size_t limit = limitOfEvents.load(std::memory_order_relaxed);
  if (approxEvents_ <= limit) return;
  countEventsLocked(statements_->countEvents.get());
  if (approxEvents_ <= limit) return;
  const std::size_t excess = approxEvents_ - limit;
  sqlite3_bind_int64(statements_->trimEvents.get(), 1, static_cast<sqlite3_int64>(excess));
  if (Statements::run(statements_->trimEvents.get()) != SQLITE_DONE) return;
  approxEvents_ -= excess;
  noteDroppedLocked(excess, "");
}

void OrvDefaultsDatabase::keepInMemoryLocked(OrvOutboxEvent event) {
  if (outage_.keepEvent(std::move(event), limitOfEvents.load(std::memory_order_relaxed)))
    noteDroppedLocked(1, " in memory");
}

// A full outbox is one episode, from the first event it drops until it has room
// again: one error line when it starts and one line with the count when it ends, not
// one per event. Under mutex_.
void OrvDefaultsDatabase::noteDroppedLocked(std::size_t count, const char* where) {
  eventsDropped.fetch_add(count, std::memory_order_relaxed);
  if (droppedInEpisode_ == 0) {
    errors_.push_back("OrvEventOutbox: more than " +
                      std::to_string(limitOfEvents.load(std::memory_order_relaxed)) +
                      " events waiting" + where +
                      "; dropping the oldest until there is room (counted in "
                      "OrvMediator::droppedEventCount())");
  }
  droppedInEpisode_ += count;
}

// After events left the outbox: ends a full episode once there is room again (a tenth of
// the limit free, so that a queue at its limit does not start an episode per event).
void OrvDefaultsDatabase::noteRoomLocked() {
  const std::size_t limit = limitOfEvents.load(std::memory_order_relaxed);
  if (droppedInEpisode_ == 0 || approxEvents_ + outage_.events().size() > limit - limit / 10)
    return;
  notes_.push_back("OrvEventOutbox: room again; " + std::to_string(droppedInEpisode_) +
                   " events were dropped while it was full");
  droppedInEpisode_ = 0;
}

// Once the outbox is empty after a backlog, gives back the space it left (an outbox
// that empties after every event costs nothing here). Under mutex_.
void OrvDefaultsDatabase::reclaimIfEmptyLocked() {
  if (!reclaimPending_ || approxEvents_ != 0 || !file_.writable()) return;
  if (!countEventsLocked(statements_->countEvents.get()) || approxEvents_ != 0) return;
  reclaimPending_ = false;
  file_.reclaimSpace();
}

OrvValue OrvDefaultsDatabase::get(const std::string& suite, const std::string& key) {
  std::unique_lock lock(mutex_);
  file_.setBusyBudget(OrvSqliteFile::kOpenBusyWait);
  if (!file_.isOpen() && Clock::now() >= outage_.retryAt()) openLocked();
  OrvValue value;
  readRowLocked(suite, key, &value);
  flushErrors(lock);
  return value;
}

std::map<std::string, OrvValue> OrvDefaultsDatabase::all(const std::string& suite) {
  std::unique_lock lock(mutex_);
  file_.setBusyBudget(OrvSqliteFile::kOpenBusyWait);
  std::map<std::string, OrvValue> rows;
  if (statements_ && statements_->selectAll) {
    sqlite3_stmt* st = statements_->selectAll.get();
    bindText(st, 1, suite);
    while (sqlite3_step(st) == SQLITE_ROW) {
      OrvValue value = columnValue(st, 1, 2);
      if (!value.isAbsent()) rows.emplace(columnText(st, 0), std::move(value));
    }
    sqlite3_reset(st);
  }
  outage_.overlay(suite, &rows);
  flushErrors(lock);
  return rows;
}

void OrvDefaultsDatabase::put(const std::string& suite, const std::string& key,
                              const OrvValue& value) {
  std::unique_lock lock(mutex_);
  const bool writable = writableLocked();
  if (writable && writeRowLocked(suite, key, value)) {
    outage_.forgetRow(suite, key);
    outage_.succeeded();
  } else {
    if (writable && file_.writable())
      writeFailedLocked(file_.error("cannot write"), file_.errorCode());
    outage_.keepRow(suite, key, value);
  }
  flushErrors(lock);
}

bool OrvDefaultsDatabase::isPersistent() {
  std::lock_guard lock(mutex_);
  return file_.writable() && !outage_.broken();
}

template <class Body>
bool OrvDefaultsDatabase::transactionLocked(Body&& body) {
  const std::size_t eventsBefore = approxEvents_;
  if (file_.exec("BEGIN IMMEDIATE") && body() && file_.exec("COMMIT")) return true;
  // SQLite's message and code for the step that failed, before the rollback replaces it.
  const std::string why = file_.error("cannot write");
  const int code = file_.errorCode();
  file_.exec("ROLLBACK");
  approxEvents_ = eventsBefore;
  if ((code & 0xFF) == SQLITE_CONSTRAINT) {
    // A row that breaks a rule of the schema is a fault of this code, not of the disk:
    // reported, and the database stays in use.
    errors_.push_back("OrvUserDefaults: " + why);
    return false;
  }
  writeFailedLocked(why, code);
  return false;
}

bool OrvDefaultsDatabase::countEventsLocked(sqlite3_stmt* count) {
  const bool ok = sqlite3_step(count) == SQLITE_ROW;
  if (ok) approxEvents_ = static_cast<std::size_t>(sqlite3_column_int64(count, 0));
  sqlite3_reset(count);
  return ok;
}

bool OrvDefaultsDatabase::recordLocked(const std::string& suite, const std::string& key,
                                       OrvOutboxEvent& event, OrvRecordOutcome* outcome) {
  OrvValue existing;
  if (!readRowLocked(suite, key, &existing)) return false;
  if (truthy(existing)) {
    *outcome = OrvRecordOutcome::kAlreadyRecorded;
    return true;
  }
  *outcome = OrvRecordOutcome::kRecorded;
  return writeRowLocked(suite, key, OrvValue(true)) && insertEventLocked(event);
}

void OrvDefaultsDatabase::waitLocked(const std::string& suite, Record& record) {
  if (outage_.wait(suite, std::move(record.key), std::move(record.event),
                   limitOfEvents.load(std::memory_order_relaxed)))
    noteDroppedLocked(1, " to be checked");
}

bool OrvDefaultsDatabase::waitUntilChecked(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock lock(mutex_);
  return checked_.wait_until(lock, deadline, [&] {
    return OrvProcessLifetime::exiting() ||
           (!outage_.hasWaiting() && !storedInBackground_ && listenerCalls_ == 0);
  });
}

std::vector<OrvRecordOutcome> OrvDefaultsDatabase::recordOnce(const std::string& suite,
                                                              std::vector<Record> records) {
  for (auto& r : records) OrvEventOutbox::stamp(r.event);
  std::unique_lock lock(mutex_);
  std::vector<OrvRecordOutcome> outcomes(records.size(), OrvRecordOutcome::kRecorded);
  // The check and the write in one IMMEDIATE transaction: it holds the database's
  // write lock from the first read, so another process cannot record a key between
  // our check and our write. (What waited to be checked went first, in the write-back
  // that writableLocked() makes after any failure.)
  if (writableLocked() && transactionLocked([&] {
        for (std::size_t i = 0; i < records.size(); ++i)
          if (!recordLocked(suite, records[i].key, records[i].event, &outcomes[i])) return false;
        trimEventsLocked();
        return true;
      })) {
    for (const auto& r : records) outage_.forgetRow(suite, r.key);
    outage_.succeeded();
    flushErrors(lock);
    return outcomes;
  }
  // Not written. What the file can still show is respected; a record it may hold
  // unseen (another process has the database) waits until it can be checked; otherwise
  // it is kept in memory for this process, with its event, and written back later.
  for (std::size_t i = 0; i < records.size(); ++i) {
    OrvValue existing;
    const bool read = readRowLocked(suite, records[i].key, &existing);
    if (read && truthy(existing)) {
      outcomes[i] = OrvRecordOutcome::kAlreadyRecorded;
    } else if (outage_.isWaiting(suite, records[i].key) ||
               (read ? uncheckableLocked() : outage_.contended() || file_.readOnly())) {
      outcomes[i] = OrvRecordOutcome::kWaiting;
      waitLocked(suite, records[i]);
    } else {
      outcomes[i] = OrvRecordOutcome::kRecorded;
      outage_.keepRow(suite, records[i].key, OrvValue(true));
      keepInMemoryLocked(std::move(records[i].event));
    }
  }
  flushErrors(lock);
  return outcomes;
}

void OrvDefaultsDatabase::appendEvents(std::vector<OrvOutboxEvent> events) {
  for (auto& event : events) OrvEventOutbox::stamp(event);
  std::unique_lock lock(mutex_);
  if (writableLocked() && transactionLocked([&] {
        for (auto& event : events)
          if (!insertEventLocked(event)) return false;
        trimEventsLocked();
        return true;
      })) {
    outage_.succeeded();
    flushErrors(lock);
    return;
  }
  for (auto& event : events) keepInMemoryLocked(std::move(event));
  flushErrors(lock);
}

// Takes over the rows of owners that are no longer running. Under mutex_.
void OrvDefaultsDatabase::claimOrphansLocked() {
  const auto interval = std::chrono::milliseconds(orphanScanMs.load(std::memory_order_relaxed));
  if (Clock::now() - lastOrphanScan_ < interval || outage_.broken() || !file_.writable()) return;
  lastOrphanScan_ = Clock::now();
  std::vector<std::string> dead;
  sqlite3_stmt* owners = statements_->owners.get();
  bindText(owners, 1, owner_);
  while (sqlite3_step(owners) == SQLITE_ROW) {
    std::string owner = columnText(owners, 0);
    if (!isAlive(owner)) dead.push_back(std::move(owner));
  }
  sqlite3_reset(owners);
  for (const auto& owner : dead) {
    sqlite3_stmt* claim = statements_->claim.get();
    bindText(claim, 1, owner_);
    bindText(claim, 2, owner);
    Statements::run(claim);
  }
}

std::vector<OrvOutboxEvent> OrvDefaultsDatabase::pendingEvents(std::size_t max,
                                                               const std::string& consumer) {
  std::unique_lock lock(mutex_);
  std::vector<OrvOutboxEvent> events;
  // The file's rows in insertion order, then what memory kept, which is newer: kept
  // events reach the file only by a write-back, which precedes every later write.
  if (file_.writable() && statements_) {
    claimOrphansLocked();
    sqlite3_stmt* st = statements_->selectEvents.get();
    bindText(st, 1, owner_);
    sqlite3_bind_int64(st, 2, static_cast<sqlite3_int64>(max + outage_.removals().size()));
    bindText(st, 3, consumer);
    while (events.size() < max && !OrvProcessLifetime::exiting() &&
           sqlite3_step(st) == SQLITE_ROW) {
      OrvOutboxEvent e;
      e.seq = sqlite3_column_int64(st, 0);
      if (outage_.removals().count(e.seq)) continue;
      e.eventId = columnText(st, 1);
      e.appId = columnText(st, 2);
      e.name = columnText(st, 3);
      e.properties = OrvValue::parseJson(columnText(st, 4)).value;
      e.timeMs = sqlite3_column_int64(st, 5);
      e.consumer = consumer;
      events.push_back(std::move(e));
    }
    sqlite3_reset(st);
  }
  for (const auto& e : outage_.events()) {
    if (events.size() >= max) break;
    if (e.consumer == consumer) events.push_back(e);
  }
  flushErrors(lock);
  return events;
}

void OrvDefaultsDatabase::removeEvents(const std::vector<std::int64_t>& seqs) {
  std::unique_lock lock(mutex_);
  std::vector<std::int64_t> stored;
  for (std::int64_t seq : seqs) {
    seq = outage_.currentSeq(seq);
    if (seq < 0) {
      outage_.forgetEvent(seq);
    } else if (seq > 0) {
      stored.push_back(seq);
    }
  }
  if (stored.empty()) {
    noteRoomLocked();
    return flushErrors(lock);
  }
  if (writableLocked() && transactionLocked([&] {
        for (std::int64_t seq : stored)
          if (!deleteEventLocked(seq)) return false;
        return true;
      })) {
    outage_.succeeded();
    reclaimPending_ = true;
    reclaimIfEmptyLocked();
  } else {
    for (std::int64_t seq : stored) outage_.keepRemoval(seq);
  }
  noteRoomLocked();
  flushErrors(lock);
}

void OrvDefaultsDatabase::handOverEvents(const std::vector<OrvOutboxEvent>& events,
                                         const std::vector<std::string>& consumers) {
  // One queue per consumer name, however often it is named.
  std::vector<std::string> queues;
  for (const auto& c : consumers)
    if (std::find(queues.begin(), queues.end(), c) == queues.end()) queues.push_back(c);
  if (queues.empty()) {
    std::vector<std::int64_t> seqs;
    for (const auto& e : events) seqs.push_back(e.seq);
    return removeEvents(seqs);
  }
  std::unique_lock lock(mutex_);
  // The rows of the file, by where each event is now (a write-back may have moved one
  // read from memory there).
  std::vector<std::pair<std::int64_t, const OrvOutboxEvent*>> stored;
  for (const auto& e : events) {
    if (const std::int64_t seq = outage_.currentSeq(e.seq); seq > 0) {
      stored.emplace_back(seq, &e);
      continue;
    }
    // Kept in memory: passed on in memory.
    std::optional<OrvOutboxEvent> original = outage_.takeEvent(e.seq);
    if (!original) continue;
    for (const auto& queue : queues) {
      OrvOutboxEvent copy = *original;
      copy.consumer = queue;
      keepInMemoryLocked(std::move(copy));
    }
  }
  if (stored.empty()) return flushErrors(lock);
  const bool writable = writableLocked();
  // Each consumer gets a row of its own: the first one the row handed over (keeping its
  // place in the insertion order), the others copies after everything in their queues. A
  // consumer that holds the event already keeps the row it has, and the one handed over
  // goes.
  if (writable && transactionLocked([&] {
        for (const auto& [seq, e] : stored) {
          for (std::size_t q = 1; q < queues.size(); ++q) {
            sqlite3_bind_int64(statements_->copyTo.get(), 1, seq);
            bindText(statements_->copyTo.get(), 2, queues[q]);
            if (Statements::run(statements_->copyTo.get()) != SQLITE_DONE) return false;
            approxEvents_ += static_cast<std::size_t>(sqlite3_changes(file_.connection()));
          }
          sqlite3_bind_int64(statements_->passOn.get(), 1, seq);
          bindText(statements_->passOn.get(), 2, queues[0]);
          if (Statements::run(statements_->passOn.get()) != SQLITE_DONE) return false;
          if (sqlite3_changes(file_.connection()) == 0 && !deleteEventLocked(seq)) return false;
        }
        return true;
      })) {
    outage_.succeeded();
  } else {
    // The rows stay where they are (and are not handed out again); the consumers get
    // copies kept in memory for the process.
    for (const auto& [seq, e] : stored) {
      outage_.keepRemoval(seq);
      for (const auto& queue : queues) {
        OrvOutboxEvent copy = *e;
        copy.seq = seq;
        copy.consumer = queue;
        keepInMemoryLocked(std::move(copy));
      }
    }
  }
  flushErrors(lock);
}

bool OrvDefaultsDatabase::deadLetterEvents(const std::vector<OrvOutboxEvent>& events, long status,
                                           const std::string& reason) {
  std::unique_lock lock(mutex_);
  const std::int64_t now = OrvEventOutbox::nowMs();
  std::size_t trimmed = 0;
  const bool moved =
      writableLocked() && transactionLocked([&] {
        Statements& s = *statements_;
        sqlite3_stmt* buryStored = s.lazy(file_.connection(), s.buryStored, kBuryStoredSql);
        sqlite3_stmt* buryEvent = s.lazy(file_.connection(), s.buryEvent, kBuryEventSql);
        sqlite3_stmt* trim = s.lazy(file_.connection(), s.trimDead, kTrimDeadSql);
        if (!buryStored || !buryEvent || !trim) return false;
        for (const OrvOutboxEvent& e : events) {
          if (const std::int64_t seq = outage_.currentSeq(e.seq); seq > 0) {
            sqlite3_bind_int64(buryStored, 1, seq);
            sqlite3_bind_int64(buryStored, 2, status);
            bindText(buryStored, 3, reason);
            sqlite3_bind_int64(buryStored, 4, now);
            if (Statements::run(buryStored) != SQLITE_DONE || !deleteEventLocked(seq)) return false;
          } else {
            // Still only in memory (kept after a failure that was no outage).
            bindEvent(buryEvent, e);
            bindText(buryEvent, 6, e.consumer);
            sqlite3_bind_int64(buryEvent, 7, status);
            bindText(buryEvent, 8, reason);
            sqlite3_bind_int64(buryEvent, 9, now);
            if (Statements::run(buryEvent) != SQLITE_DONE) return false;
          }
        }
        sqlite3_bind_int64(trim, 1, static_cast<sqlite3_int64>(kDeadLetterLimit));
        if (Statements::run(trim) != SQLITE_DONE) return false;
        trimmed = static_cast<std::size_t>(sqlite3_changes(file_.connection()));
        return true;
      });
  if (moved) {
    outage_.succeeded();
    for (const OrvOutboxEvent& e : events) {
      if (e.seq < 0) outage_.forgetEvent(e.seq);
    }
    if (trimmed > 0) {
      eventsDropped.fetch_add(trimmed, std::memory_order_relaxed);
      errors_.push_back("OrvEventOutbox: more than " + std::to_string(kDeadLetterLimit) +
                        " dead letters; dropped the oldest " + std::to_string(trimmed));
    }
    reclaimPending_ = true;
    reclaimIfEmptyLocked();
    noteRoomLocked();
  }
  flushErrors(lock);
  return moved;
}

std::vector<OrvDeadLetter> OrvDefaultsDatabase::deadLetters(std::size_t max) {
  std::unique_lock lock(mutex_);
  std::vector<OrvDeadLetter> letters;
  if (!file_.writable() && Clock::now() >= outage_.retryAt()) openLocked();
  sqlite3_stmt* st = file_.writable() ? statements_->lazy(file_.connection(),
                                                          statements_->selectDead, kSelectDeadSql)
                                      : nullptr;
  if (st) {
    sqlite3_bind_int64(st, 1, static_cast<sqlite3_int64>(max));
    while (sqlite3_step(st) == SQLITE_ROW) {
      OrvDeadLetter d;
      d.event.eventId = columnText(st, 0);
      d.event.appId = columnText(st, 1);
      d.event.name = columnText(st, 2);
      d.event.properties = OrvValue::parseJson(columnText(st, 3)).value;
      d.event.timeMs = sqlite3_column_int64(st, 4);
      d.event.consumer = columnText(st, 5);
      d.status = static_cast<long>(sqlite3_column_int64(st, 6));
      d.reason = columnText(st, 7);
      d.deadAtMs = sqlite3_column_int64(st, 8);
      letters.push_back(std::move(d));
    }
    sqlite3_reset(st);
  }
  flushErrors(lock);
  return letters;
}

std::size_t OrvDefaultsDatabase::redriveDeadLetters() {
  std::unique_lock lock(mutex_);
  std::size_t moved = 0;
  if (writableLocked() && transactionLocked([&] {
        Statements& s = *statements_;
        sqlite3_stmt* redrive = s.lazy(file_.connection(), s.redrive, kRedriveSql);
        sqlite3_stmt* clear = s.lazy(file_.connection(), s.clearDead, kClearDeadSql);
        if (!redrive || !clear || Statements::run(redrive) != SQLITE_DONE) return false;
        moved = static_cast<std::size_t>(sqlite3_changes(file_.connection()));
        approxEvents_ += moved;
        return Statements::run(clear) == SQLITE_DONE;
      })) {
    outage_.succeeded();
  } else {
    moved = 0;
  }
  flushErrors(lock);
  return moved;
}

std::size_t OrvDefaultsDatabase::eventCount() {
  std::lock_guard lock(mutex_);
  std::size_t count = outage_.events().size();
  if (file_.writable() && statements_) {
    if (countEventsLocked(statements_->countEvents.get()))
      count += approxEvents_ - std::min(approxEvents_, outage_.removals().size());
  }
  return count;
}

void OrvDefaultsDatabase::setEventLimit(std::size_t limit) {
  limitOfEvents.store(std::max<std::size_t>(1, limit), std::memory_order_relaxed);
}

std::size_t OrvDefaultsDatabase::eventLimit() {
  return limitOfEvents.load(std::memory_order_relaxed);
}

std::uint64_t OrvDefaultsDatabase::droppedEvents() {
  return eventsDropped.load(std::memory_order_relaxed);
}

void OrvDefaultsDatabase::setOrphanScanInterval(std::chrono::milliseconds interval) {
  orphanScanMs.store(std::max<std::int64_t>(1, interval.count()), std::memory_order_relaxed);
}

std::chrono::milliseconds OrvDefaultsDatabase::orphanScanInterval() {
  return std::chrono::milliseconds(orphanScanMs.load(std::memory_order_relaxed));
}

void OrvDefaultsDatabase::setStoredListener(void (*listener)()) {
  storedListener.store(listener, std::memory_order_release);
}
