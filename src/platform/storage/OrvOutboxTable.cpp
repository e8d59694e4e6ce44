#include "platform/storage/OrvOutboxTable.h"

#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/execution/OrvProcessLifetime.h"

namespace {

using F = OrvSqliteFile;

std::atomic<std::size_t> limitOfEvents{OrvEventOutbox::kDefaultLimit};
std::atomic<std::uint64_t> eventsDropped{0};
std::atomic<std::int64_t> orphanScanMs{30'000};

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

// The properties column: the properties, with the context under its key when there
// is one (see OrvOutboxEvent::kContextKey).
std::string propertiesColumn(const OrvOutboxEvent& event) {
  if (!event.context.isDictionary() || !event.properties.isDictionary())
    return event.properties.toJson();
  OrvValue::Dictionary fields = event.properties.entries();
  fields.emplace_back(OrvOutboxEvent::kContextKey, event.context);
  return OrvValue::dictionary(std::move(fields)).toJson();
}

// The properties column read back into `event`'s properties and context.
void readProperties(const std::string& column, OrvOutboxEvent* event) {
  OrvValue stored = OrvValue::parseJson(column).value;
  const OrvValue& context = stored[OrvOutboxEvent::kContextKey];
  if (context.isAbsent()) {
    event->properties = std::move(stored);
    return;
  }
  event->context = context;
  OrvValue::Dictionary fields;
  for (const auto& entry : stored.entries())
    if (entry.first != OrvOutboxEvent::kContextKey) fields.push_back(entry);
  event->properties = OrvValue::dictionary(std::move(fields));
}

// An event's own columns, as parameters 1 to 5 of every statement that stores one.
void bindEvent(sqlite3_stmt* st, const OrvOutboxEvent& event) {
  F::bindText(st, 1, event.eventId);
  F::bindText(st, 2, event.appId);
  F::bindText(st, 3, event.name);
  F::bindText(st, 4, propertiesColumn(event));
  sqlite3_bind_int64(st, 5, event.timeMs);
}

// The dead letters' statements (see lazy()).
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

}  // namespace

void OrvOutboxTable::setLimit(std::size_t limit) {
  limitOfEvents.store(std::max<std::size_t>(1, limit), std::memory_order_relaxed);
}

std::size_t OrvOutboxTable::limit() { return limitOfEvents.load(std::memory_order_relaxed); }

std::uint64_t OrvOutboxTable::droppedCount() {
  return eventsDropped.load(std::memory_order_relaxed);
}

void OrvOutboxTable::setOrphanScanInterval(std::chrono::milliseconds interval) {
  orphanScanMs.store(std::max<std::int64_t>(1, interval.count()), std::memory_order_relaxed);
}

std::chrono::milliseconds OrvOutboxTable::orphanScanInterval() {
  return std::chrono::milliseconds(orphanScanMs.load(std::memory_order_relaxed));
}

OrvOutboxTable::OrvOutboxTable() : owner_(thisProcess()) {}

bool OrvOutboxTable::prepare(sqlite3* connection) {
  connection_ = connection;
  // A consumer that holds an event already keeps the one it has.
  return F::prepare(connection, &insert_,
                    "INSERT OR IGNORE INTO orv_outbox (event_id, app_id, name, properties, "
                    "time_ms, owner, consumer) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)") &&
         F::prepare(connection, &select_,
                    "SELECT id, event_id, app_id, name, properties, time_ms FROM orv_outbox "
                    "WHERE owner = ?1 AND consumer = ?3 ORDER BY id LIMIT ?2") &&
         F::prepare(connection, &passOn_,
                    "UPDATE OR IGNORE orv_outbox SET consumer = ?2 WHERE id = ?1") &&
         F::prepare(connection, &copyTo_,
                    "INSERT OR IGNORE INTO orv_outbox (event_id, app_id, name, properties, "
                    "time_ms, owner, consumer) SELECT event_id, app_id, name, properties, "
                    "time_ms, owner, ?2 FROM orv_outbox WHERE id = ?1") &&
         F::prepare(connection, &delete_, "DELETE FROM orv_outbox WHERE id = ?1") &&
         F::prepare(connection, &count_, "SELECT count(*) FROM orv_outbox") &&
         F::prepare(connection, &trim_,
                    "DELETE FROM orv_outbox WHERE id IN (SELECT id FROM orv_outbox ORDER BY id "
                    "LIMIT ?1)") &&
         F::prepare(connection, &owners_,
                    "SELECT DISTINCT owner FROM orv_outbox WHERE owner != ?1") &&
         F::prepare(connection, &claim_, "UPDATE orv_outbox SET owner = ?1 WHERE owner = ?2");
}

void OrvOutboxTable::release() {
  for (auto* statement :
       {&insert_, &select_, &delete_, &count_, &trim_, &owners_, &claim_, &passOn_, &copyTo_,
        &buryStored_, &buryEvent_, &trimDead_, &selectDead_, &redrive_, &clearDead_})
    statement->reset();
  connection_ = nullptr;
}

sqlite3_stmt* OrvOutboxTable::lazy(OrvSqliteFile::Statement& slot, const char* sql) {
  if (!slot) F::prepare(connection_, &slot, sql);
  return slot.get();
}

bool OrvOutboxTable::count() {
  sqlite3_stmt* st = count_.get();
  const bool ok = sqlite3_step(st) == SQLITE_ROW;
  if (ok) approxCount_ = static_cast<std::size_t>(sqlite3_column_int64(st, 0));
  sqlite3_reset(st);
  return ok;
}

bool OrvOutboxTable::insert(OrvOutboxEvent& event) {
  sqlite3_stmt* st = insert_.get();
  bindEvent(st, event);
  F::bindText(st, 6, owner_);
  F::bindText(st, 7, event.consumer);
  if (F::run(st) != SQLITE_DONE) return false;
  if (sqlite3_changes(connection_) == 1) {
    event.seq = sqlite3_last_insert_rowid(connection_);
    ++approxCount_;
  }
  return true;
}

bool OrvOutboxTable::remove(std::int64_t seq) {
  sqlite3_bind_int64(delete_.get(), 1, seq);
  if (F::run(delete_.get()) != SQLITE_DONE) return false;
  approxCount_ -= std::min<std::size_t>(approxCount_, sqlite3_changes(connection_));
  return true;
}

// Inside the transaction that added to the table.
void OrvOutboxTable::trim(std::vector<std::string>* errors) {
  const std::size_t bound = limit();
  if (approxCount_ <= bound) return;
  count();
  if (approxCount_ <= bound) return;
  const std::size_t excess = approxCount_ - bound;
  sqlite3_bind_int64(trim_.get(), 1, static_cast<sqlite3_int64>(excess));
  if (F::run(trim_.get()) != SQLITE_DONE) return;
  approxCount_ -= excess;
  noteDropped(excess, "", errors);
}

void OrvOutboxTable::claimOrphans() {
  const auto now = std::chrono::steady_clock::now();
  if (now - lastOrphanScan_ < orphanScanInterval()) return;
  lastOrphanScan_ = now;
  std::vector<std::string> dead;
  F::bindText(owners_.get(), 1, owner_);
  while (sqlite3_step(owners_.get()) == SQLITE_ROW) {
    std::string owner = F::columnText(owners_.get(), 0);
    if (!isAlive(owner)) dead.push_back(std::move(owner));
  }
  sqlite3_reset(owners_.get());
  for (const auto& owner : dead) {
    F::bindText(claim_.get(), 1, owner_);
    F::bindText(claim_.get(), 2, owner);
    F::run(claim_.get());
  }
}

void OrvOutboxTable::pending(std::size_t max, const std::string& consumer,
                             const std::set<std::int64_t>& skip,
                             std::vector<OrvOutboxEvent>* events) {
  sqlite3_stmt* st = select_.get();
  F::bindText(st, 1, owner_);
  sqlite3_bind_int64(st, 2, static_cast<sqlite3_int64>(max + skip.size()));
  F::bindText(st, 3, consumer);
  while (events->size() < max && !OrvProcessLifetime::exiting() && sqlite3_step(st) == SQLITE_ROW) {
    OrvOutboxEvent e;
    e.seq = sqlite3_column_int64(st, 0);
    if (skip.count(e.seq)) continue;
    e.eventId = F::columnText(st, 1);
    e.appId = F::columnText(st, 2);
    e.name = F::columnText(st, 3);
    readProperties(F::columnText(st, 4), &e);
    e.timeMs = sqlite3_column_int64(st, 5);
    e.consumer = consumer;
    events->push_back(std::move(e));
  }
  sqlite3_reset(st);
}

bool OrvOutboxTable::handOver(std::int64_t seq, const std::vector<std::string>& queues) {
  for (std::size_t q = 1; q < queues.size(); ++q) {
    sqlite3_bind_int64(copyTo_.get(), 1, seq);
    F::bindText(copyTo_.get(), 2, queues[q]);
    if (F::run(copyTo_.get()) != SQLITE_DONE) return false;
    approxCount_ += static_cast<std::size_t>(sqlite3_changes(connection_));
  }
  sqlite3_bind_int64(passOn_.get(), 1, seq);
  F::bindText(passOn_.get(), 2, queues[0]);
  if (F::run(passOn_.get()) != SQLITE_DONE) return false;
  // The first consumer holds the event already: the row handed over goes.
  return sqlite3_changes(connection_) != 0 || remove(seq);
}

bool OrvOutboxTable::bury(const std::vector<OrvOutboxEvent>& events,
                          const std::vector<std::int64_t>& seqs, long status,
                          const std::string& reason, std::int64_t nowMs, std::size_t* trimmed) {
  sqlite3_stmt* buryStored = lazy(buryStored_, kBuryStoredSql);
  sqlite3_stmt* buryEvent = lazy(buryEvent_, kBuryEventSql);
  sqlite3_stmt* trimDead = lazy(trimDead_, kTrimDeadSql);
  if (!buryStored || !buryEvent || !trimDead) return false;
  for (std::size_t i = 0; i < events.size(); ++i) {
    const OrvOutboxEvent& e = events[i];
    if (seqs[i] > 0) {
      sqlite3_bind_int64(buryStored, 1, seqs[i]);
      sqlite3_bind_int64(buryStored, 2, status);
      F::bindText(buryStored, 3, reason);
      sqlite3_bind_int64(buryStored, 4, nowMs);
      if (F::run(buryStored) != SQLITE_DONE || !remove(seqs[i])) return false;
    } else {
      // Still only in memory (kept after a failure that was no outage).
      bindEvent(buryEvent, e);
      F::bindText(buryEvent, 6, e.consumer);
      sqlite3_bind_int64(buryEvent, 7, status);
      F::bindText(buryEvent, 8, reason);
      sqlite3_bind_int64(buryEvent, 9, nowMs);
      if (F::run(buryEvent) != SQLITE_DONE) return false;
    }
  }
  sqlite3_bind_int64(trimDead, 1, static_cast<sqlite3_int64>(kDeadLetterLimit));
  if (F::run(trimDead) != SQLITE_DONE) return false;
  *trimmed = static_cast<std::size_t>(sqlite3_changes(connection_));
  return true;
}

void OrvOutboxTable::noteBuriedDropped(std::size_t trimmed, std::vector<std::string>* errors) {
  if (trimmed == 0) return;
  eventsDropped.fetch_add(trimmed, std::memory_order_relaxed);
  errors->push_back("OrvEventOutbox: more than " + std::to_string(kDeadLetterLimit) +
                    " dead letters; dropped the oldest " + std::to_string(trimmed));
}

bool OrvOutboxTable::deadLetters(std::size_t max, std::vector<OrvDeadLetter>* letters) {
  sqlite3_stmt* st = lazy(selectDead_, kSelectDeadSql);
  if (!st) return false;
  sqlite3_bind_int64(st, 1, static_cast<sqlite3_int64>(max));
  while (sqlite3_step(st) == SQLITE_ROW) {
    OrvDeadLetter d;
    d.event.eventId = F::columnText(st, 0);
    d.event.appId = F::columnText(st, 1);
    d.event.name = F::columnText(st, 2);
    readProperties(F::columnText(st, 3), &d.event);
    d.event.timeMs = sqlite3_column_int64(st, 4);
    d.event.consumer = F::columnText(st, 5);
    d.status = static_cast<long>(sqlite3_column_int64(st, 6));
    d.reason = F::columnText(st, 7);
    d.deadAtMs = sqlite3_column_int64(st, 8);
    letters->push_back(std::move(d));
  }
  sqlite3_reset(st);
  return true;
}

bool OrvOutboxTable::redrive(std::size_t* moved) {
  sqlite3_stmt* redrive = lazy(redrive_, kRedriveSql);
  sqlite3_stmt* clear = lazy(clearDead_, kClearDeadSql);
  if (!redrive || !clear || F::run(redrive) != SQLITE_DONE) return false;
  *moved = static_cast<std::size_t>(sqlite3_changes(connection_));
  approxCount_ += *moved;
  return F::run(clear) == SQLITE_DONE;
}

// One error line when an episode starts, not one per event.
void OrvOutboxTable::noteDropped(std::size_t count, const char* where,
                                 std::vector<std::string>* errors) {
  eventsDropped.fetch_add(count, std::memory_order_relaxed);
  if (droppedInEpisode_ == 0) {
    errors->push_back("OrvEventOutbox: more than " + std::to_string(limit()) + " events waiting" +
                      where +
                      "; dropping the oldest until there is room (counted in "
                      "OrvMediator::droppedEventCount())");
  }
  droppedInEpisode_ += count;
}

// Room is a tenth of the limit free, so that a queue at its limit does not start an
// episode per event.
void OrvOutboxTable::noteRoom(std::size_t inMemory, std::vector<std::string>* notes) {
  const std::size_t bound = limit();
  if (droppedInEpisode_ == 0 || approxCount_ + inMemory > bound - bound / 10) return;
  notes->push_back("OrvEventOutbox: room again; " + std::to_string(droppedInEpisode_) +
                   " events were dropped while it was full");
  droppedInEpisode_ = 0;
}

// Only after a backlog: an outbox that empties after every event costs nothing here.
bool OrvOutboxTable::drainedAfterBacklog() {
  if (!reclaimPending_ || approxCount_ != 0) return false;
  if (!count() || approxCount_ != 0) return false;
  reclaimPending_ = false;
  return true;
}
