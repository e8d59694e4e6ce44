#include "platform/storage/OrvDefaultsDatabase.h"

#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <optional>
#include <unordered_map>

#include "platform/execution/OrvProcessLifetime.h"
#include "platform/execution/OrvSerialExecutor.h"
#include "platform/files/OrvDataDirectory.h"
#include "platform/logs/OrvLogChannel.h"

namespace {

std::atomic<const OrvLogChannel*> logChannel{nullptr};
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

bool truthy(const OrvValue& v) { return !v.isAbsent() && v.boolValue(); }

}  // namespace

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
    outbox_.count();
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
  if (readOnly) return defaults_.prepare(connection, false) ? defaults_.probe() : SQLITE_ERROR;
  return defaults_.prepare(connection, true) && outbox_.prepare(connection) ? SQLITE_OK
                                                                            : SQLITE_ERROR;
}

void OrvDefaultsDatabase::release() {
  defaults_.release();
  outbox_.release();
}

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

// Opens the path again when the file there is no longer the one open: a new file gets
// everything the old one held. Under mutex_.
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
  if (!transactionLocked([&] {
        if (!outage_.writeBack(*this, &stored)) return false;
        outbox_.trim(&errors_);
        return true;
      }))
    return false;
  outage_.wroteBack();
  storedInBackground_ = storedInBackground_ || stored;
  return true;
}

bool OrvDefaultsDatabase::writeRow(const std::string& suite, const std::string& key,
                                   const OrvValue& value) {
  return defaults_.write(suite, key, value);
}

bool OrvDefaultsDatabase::insertEvent(OrvOutboxEvent& event) { return outbox_.insert(event); }

bool OrvDefaultsDatabase::deleteEvent(std::int64_t seq) { return outbox_.remove(seq); }

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
  // A job at the time the back-off ends: it waits in the executor's timed list, not in
  // its worker, so the retries of several databases do not wait for each other.
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
  return defaults_.read(suite, key, out);
}

void OrvDefaultsDatabase::keepInMemoryLocked(OrvOutboxEvent event) {
  if (outage_.keepEvent(std::move(event), OrvOutboxTable::limit()))
    outbox_.noteDropped(1, " in memory", &errors_);
}

void OrvDefaultsDatabase::noteRoomLocked() { outbox_.noteRoom(outage_.events().size(), &notes_); }

// Once the outbox is empty after a backlog, gives back the space it left. Under mutex_.
void OrvDefaultsDatabase::reclaimIfEmptyLocked() {
  if (file_.writable() && outbox_.drainedAfterBacklog()) file_.reclaimSpace();
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
  defaults_.readAll(suite, &rows);
  outage_.overlay(suite, &rows);
  flushErrors(lock);
  return rows;
}

void OrvDefaultsDatabase::put(const std::string& suite, const std::string& key,
                              const OrvValue& value) {
  std::unique_lock lock(mutex_);
  const bool writable = writableLocked();
  if (writable && defaults_.write(suite, key, value)) {
    outage_.forgetRow(suite, key);
    outage_.succeeded();
  } else {
    if (writable && file_.writable())
      writeFailedLocked(file_.error("cannot write"), file_.errorCode());
    outage_.keepRow(suite, key, value);
  }
  flushErrors(lock);
}

OrvValue OrvDefaultsDatabase::putIfAbsent(const std::string& suite, const std::string& key,
                                          const OrvValue& value) {
  std::unique_lock lock(mutex_);
  OrvValue kept;
  const bool writable = writableLocked();
  const bool done = writable && transactionLocked([&] {
                      if (!readRowLocked(suite, key, &kept)) return false;
                      if (!kept.isAbsent()) return true;
                      kept = value;
                      return defaults_.write(suite, key, value);
                    });
  if (done) {
    outage_.succeeded();
  } else {
    // What the file or memory holds still wins over a value of our own.
    readRowLocked(suite, key, &kept);
    if (kept.isAbsent()) {
      kept = value;
      outage_.keepRow(suite, key, value);
    }
  }
  flushErrors(lock);
  return kept;
}

bool OrvDefaultsDatabase::isPersistent() {
  std::lock_guard lock(mutex_);
  return file_.writable() && !outage_.broken();
}

template <class Body>
bool OrvDefaultsDatabase::transactionLocked(Body&& body) {
  const std::size_t eventsBefore = outbox_.approxCount();
  if (file_.exec("BEGIN IMMEDIATE") && body() && file_.exec("COMMIT")) return true;
  // SQLite's message and code for the step that failed, before the rollback replaces it.
  const std::string why = file_.error("cannot write");
  const int code = file_.errorCode();
  file_.exec("ROLLBACK");
  outbox_.restoreCount(eventsBefore);
  if ((code & 0xFF) == SQLITE_CONSTRAINT) {
    // A row that breaks a rule of the schema is a fault of this code, not of the disk:
    // reported, and the database stays in use.
    errors_.push_back("OrvUserDefaults: " + why);
    return false;
  }
  writeFailedLocked(why, code);
  return false;
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
  return defaults_.write(suite, key, OrvValue(true)) && outbox_.insert(event);
}

void OrvDefaultsDatabase::waitLocked(const std::string& suite, Record& record) {
  if (outage_.wait(suite, std::move(record.key), std::move(record.event), OrvOutboxTable::limit()))
    outbox_.noteDropped(1, " to be checked", &errors_);
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
        outbox_.trim(&errors_);
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
          if (!outbox_.insert(event)) return false;
        outbox_.trim(&errors_);
        return true;
      })) {
    outage_.succeeded();
    flushErrors(lock);
    return;
  }
  for (auto& event : events) keepInMemoryLocked(std::move(event));
  flushErrors(lock);
}

std::vector<OrvOutboxEvent> OrvDefaultsDatabase::pendingEvents(std::size_t max,
                                                               const std::string& consumer) {
  std::unique_lock lock(mutex_);
  std::vector<OrvOutboxEvent> events;
  // The file's rows in insertion order, then what memory kept, which is newer: kept
  // events reach the file only by a write-back, which precedes every later write.
  if (file_.writable()) {
    if (!outage_.broken()) outbox_.claimOrphans();
    outbox_.pending(max, consumer, outage_.removals(), &events);
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
          if (!outbox_.remove(seq)) return false;
        return true;
      })) {
    outage_.succeeded();
    outbox_.backlogRemoved();
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
  if (writable && transactionLocked([&] {
        for (const auto& [seq, e] : stored)
          if (!outbox_.handOver(seq, queues)) return false;
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
  const bool moved = writableLocked() && transactionLocked([&] {
                       // Where each event is now (see OrvOutageKeeper::currentSeq).
                       std::vector<std::int64_t> seqs;
                       for (const OrvOutboxEvent& e : events)
                         seqs.push_back(outage_.currentSeq(e.seq));
                       return outbox_.bury(events, seqs, status, reason, now, &trimmed);
                     });
  if (moved) {
    outage_.succeeded();
    for (const OrvOutboxEvent& e : events) {
      if (e.seq < 0) outage_.forgetEvent(e.seq);
    }
    outbox_.noteBuriedDropped(trimmed, &errors_);
    outbox_.backlogRemoved();
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
  if (file_.writable()) outbox_.deadLetters(max, &letters);
  flushErrors(lock);
  return letters;
}

std::size_t OrvDefaultsDatabase::redriveDeadLetters() {
  std::unique_lock lock(mutex_);
  std::size_t moved = 0;
  if (writableLocked() && transactionLocked([&] { return outbox_.redrive(&moved); })) {
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
  if (file_.writable() && outbox_.count())
    count += outbox_.approxCount() - std::min(outbox_.approxCount(), outage_.removals().size());
  return count;
}

void OrvDefaultsDatabase::setEventLimit(std::size_t limit) { OrvOutboxTable::setLimit(limit); }

std::size_t OrvDefaultsDatabase::eventLimit() { return OrvOutboxTable::limit(); }

std::uint64_t OrvDefaultsDatabase::droppedEvents() { return OrvOutboxTable::droppedCount(); }

void OrvDefaultsDatabase::setOrphanScanInterval(std::chrono::milliseconds interval) {
  OrvOutboxTable::setOrphanScanInterval(interval);
}

std::chrono::milliseconds OrvDefaultsDatabase::orphanScanInterval() {
  return OrvOutboxTable::orphanScanInterval();
}

void OrvDefaultsDatabase::setStoredListener(void (*listener)()) {
  storedListener.store(listener, std::memory_order_release);
}
