// The one SQLite database of a data directory ("orv_defaults.sqlite3", WAL journal): the
// rows of every user-defaults suite (one per suite and key), the event outbox and its
// dead letters. One object per directory in use, shared by every suite and outbox opened
// there; the facade that OrvUserDefaults and OrvEventOutbox use. It holds the lock and
// the transactions, and puts together four units, each with its own contract:
//   OrvSqliteFile    opening the file safely (links, ownership, permissions, identity,
//                    the schema of OrvDefaultsSchema and its version, read-only
//                    fallbacks, recreating a file taken away while in use);
//   OrvOutageKeeper  surviving outages (what memory keeps, the back-off, the write-back,
//                    one line per outage);
//   OrvDefaultsTable the suites' rows;
//   OrvOutboxTable   the outbox (order, owners and orphans, hand-over, dead letters,
//                    limit).
//
// The database decides, not a copy in memory: reads go to the file, so a process sees
// what another process wrote, and recordOnce() checks and writes inside one
// transaction that holds the write lock, so two processes never both record the same
// key. Every write is durable (fsync) before the call returns.
//
// Faults never cause a resend. A write that fails is kept in memory for the process
// (reads see it) and the file is tried again after the back-off, on later calls and in
// the background (a job at the time the back-off ends on OrvSerialExecutor::background(),
// so that the retries of several databases do not wait for each other). A database that
// cannot be opened for writing is still read where possible, so a record it holds is
// never sent again. While another process holds the database, or only its main file can
// be read (a journal that cannot be read may hold records), a record cannot be checked:
// it then waits in memory, without its event, and is checked and written once the
// database can be had; at exit, what still waits is left for a later run to record.
// Once the outbox drains after a backlog, the space it took is given back.
//
// Thread-safe: every member may be called from any thread. No member calls out to
// application code while holding the internal lock.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "OrvExperiment/OrvValue.h"
#include "platform/storage/OrvDefaultsSchema.h"
#include "platform/storage/OrvDefaultsTable.h"
#include "platform/storage/OrvEventOutbox.h"
#include "platform/storage/OrvOutageKeeper.h"
#include "platform/storage/OrvOutboxTable.h"
#include "platform/storage/OrvSqliteFile.h"

class OrvLogChannel;

class OrvDefaultsDatabase : public std::enable_shared_from_this<OrvDefaultsDatabase>,
                            private OrvOutageKeeper::Writer,
                            private OrvSqliteFile::Users {
 public:
  static constexpr const char* kFileName = OrvDefaultsSchema::kFileName;

  // The database of `directory`, shared while anything holds it.
  static std::shared_ptr<OrvDefaultsDatabase> forDirectory(const std::string& directory);
  // Every database something in the process holds.
  static std::vector<std::shared_ptr<OrvDefaultsDatabase>> allOpen();
  // This database's outbox, sharing the database's ownership (no allocation).
  std::shared_ptr<OrvEventOutbox> outbox() { return {shared_from_this(), &outboxView_}; }
  // Where error lines go (null: nowhere). Process-wide; `log` must live forever.
  static void setLogChannel(const OrvLogChannel* log);

  // Does not open the file: forDirectory() opens it outside its own lock.
  explicit OrvDefaultsDatabase(std::string directory);
  ~OrvDefaultsDatabase();
  OrvDefaultsDatabase(const OrvDefaultsDatabase&) = delete;
  OrvDefaultsDatabase& operator=(const OrvDefaultsDatabase&) = delete;

  // One suite's rows. An absent value removes the key.
  OrvValue get(const std::string& suite, const std::string& key);
  std::map<std::string, OrvValue> all(const std::string& suite);
  void put(const std::string& suite, const std::string& key, const OrvValue& value);
  // The value under `key` when one is there (written by any process), else stores
  // `value` and returns it: the first writer wins, checked and written in one
  // transaction. While the file cannot be written, memory keeps it as put() does.
  OrvValue putIfAbsent(const std::string& suite, const std::string& key, const OrvValue& value);
  // False while writes cannot reach the file.
  bool isPersistent();

  // Records each key (as true) with its event stored in the outbox, in one
  // transaction, unless the suite already holds a true value under it. For each
  // record, in order, what became of it (see OrvRecordOutcome). Records that wait (the
  // database cannot be checked now) are recorded later in the background, or found
  // there already; their events are then stored and the stored-events listener hears.
  struct Record {
    std::string key;
    OrvOutboxEvent event;
  };
  std::vector<OrvRecordOutcome> recordOnce(const std::string& suite, std::vector<Record> records);
  // Waits until no record waits to be checked and the events of those that were are
  // handed to the stored-events listener, or until `deadline`. False on timeout.
  bool waitUntilChecked(std::chrono::steady_clock::time_point deadline);

  // The outbox (see OrvEventOutbox).
  void appendEvents(std::vector<OrvOutboxEvent> events);  // one transaction
  std::vector<OrvOutboxEvent> pendingEvents(std::size_t max, const std::string& consumer);
  void removeEvents(const std::vector<std::int64_t>& seqs);
  void handOverEvents(const std::vector<OrvOutboxEvent>& events,
                      const std::vector<std::string>& consumers);
  bool deadLetterEvents(const std::vector<OrvOutboxEvent>& events, long status,
                        const std::string& reason);
  std::vector<OrvDeadLetter> deadLetters(std::size_t max);
  std::size_t redriveDeadLetters();
  std::size_t eventCount();
  // Process-wide: the bound of every outbox, and the events all of them dropped.
  static void setEventLimit(std::size_t limit);
  static std::size_t eventLimit();
  static std::uint64_t droppedEvents();
  // Process-wide: how often the rows of processes that died are looked for.
  static void setOrphanScanInterval(std::chrono::milliseconds interval);
  static std::chrono::milliseconds orphanScanInterval();
  // Process-wide: called (on a library thread, no lock held) after events were stored
  // in the background, so that someone delivers them. Set once; must live forever.
  static void setStoredListener(void (*listener)());

  // At most this many dead letters are kept; storing one more drops the oldest.
  static constexpr std::size_t kDeadLetterLimit = OrvOutboxTable::kDeadLetterLimit;

 private:
  OrvEventOutbox outboxView_{*this};  // a view; constant
  using Clock = std::chrono::steady_clock;

  void start();
  bool openLocked();
  // Takes in what opening the file came to: the outage it starts or ends.
  bool openedLocked(const OrvSqliteFile::Opening& opening);
  // The tables' statements on the file's connections (OrvSqliteFile::Users).
  int prepare(sqlite3* connection, bool readOnly) override;
  void release() override;
  bool writableLocked();
  void recreateLocked();
  void retry();
  // Notes a failed write with the outage keeper, and its line.
  void writeFailedLocked(const std::string& why, int code);
  // Writes what memory kept to the file, in one transaction.
  bool writeBackLocked();
  // The write-back's writer (OrvOutageKeeper::Writer): the tables, in the transaction.
  bool writeRow(const std::string& suite, const std::string& key, const OrvValue& value) override;
  bool insertEvent(OrvOutboxEvent& event) override;
  bool deleteEvent(std::int64_t seq) override;
  bool record(const std::string& suite, const std::string& key, OrvOutboxEvent& event,
              OrvRecordOutcome* outcome) override;
  // True while a record the file may hold cannot be seen: another process holds the
  // database, or only the main file is read while a journal may hold more.
  bool uncheckableLocked() const;
  // Checks one record and, unless the suite holds it already, writes it with its event,
  // in the current transaction; false when a statement failed.
  bool recordLocked(const std::string& suite, const std::string& key, OrvOutboxEvent& event,
                    OrvRecordOutcome* outcome);
  void waitLocked(const std::string& suite, Record& record);
  void keepInMemoryLocked(OrvOutboxEvent event);
  void noteRoomLocked();
  void reclaimIfEmptyLocked();
  // Runs `body` (false when a statement failed) in one IMMEDIATE transaction: true once
  // committed; otherwise rolled back, the event count restored and the failure reported.
  template <class Body>
  bool transactionLocked(Body&& body);
  bool readRowLocked(const std::string& suite, const std::string& key, OrvValue* out);
  // Logs what the locked section noted, after the lock is released, and schedules a
  // background retry when something waits in memory for the file.
  void flushErrors(std::unique_lock<std::mutex>& lock);

  // Constant after construction.
  const std::string directory_;

  std::mutex mutex_;
  // Guarded by mutex_; so are the units' calls, made by the members named ...Locked and
  // the overrides above, which run with it held.
  OrvSqliteFile file_;  // declared before the tables: their statements go first
  OrvDefaultsTable defaults_;
  OrvOutboxTable outbox_;
  OrvOutageKeeper outage_;
  bool opened_ = false;              // an open was attempted
  bool storedInBackground_ = false;  // the listener is to hear of it
  int listenerCalls_ = 0;            // stored-events listener calls under way
  std::condition_variable checked_;  // no record waits any more, or a listener call ended
  std::vector<std::string> errors_;  // to log once the lock is released
  std::vector<std::string> notes_;   // information lines, likewise
};
