// The one SQLite database of a data directory ("orv_defaults.sqlite3", WAL journal): the
// rows of every user-defaults suite (one per suite and key), the event outbox and its
// dead letters. One object per directory in use, shared by every suite and outbox opened
// there. The schema carries its version (PRAGMA user_version, see OrvDefaultsSchema); a
// file of an older version is brought up to date when opened, one of a newer version is
// refused (one line; the process then keeps everything in memory).
//
// The database decides, not a copy in memory: reads go to the file, so a process sees
// what another process wrote, and recordOnce() checks and writes inside one
// transaction that holds the write lock, so two processes never both record the same
// key. Every write is durable (fsync) before the call returns.
//
// Faults never cause a resend. A write that fails is kept in memory for the process
// (reads see it) and the database is tried again after a back-off (doubling from
// 100 ms to 30 s), on later calls and in the background; what was kept is written back,
// before anything newer, once it can be. A database that cannot be opened for writing
// is still read (read-only) where possible, so a record it holds is never sent again.
// While another process holds the database (locked), or only its main file can be read
// (a journal that cannot be read may hold records), a record cannot be checked: it
// then waits in memory, without its event, and is checked and written once the
// database can be had; at exit, what still waits is left for a later run to record.
// One error line per outage.
//
// Opening never waits long for another process's lock (start-up must not), and a
// database another process holds is retried later instead. Every file of the database
// is opened without following symbolic links and only when it is a regular file of
// ours; group and other permission bits are removed. Before each write the file at the
// path must still be the one open: when the directory was deleted (or the file
// replaced) while in use, the database is recreated there with everything the open
// one held. Once the outbox drains, the space a backlog took is given back to the file
// system.
//
// Thread-safe: every member may be called from any thread. No member calls out to
// application code while holding the internal lock.
#pragma once

#include <sys/types.h>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "OrvExperiment/OrvValue.h"
#include "platform/OrvDefaultsSchema.h"
#include "platform/OrvEventOutbox.h"
#include "platform/OrvOutageKeeper.h"
#include "platform/OrvSqliteFile.h"

struct sqlite3;
struct sqlite3_stmt;
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
  static constexpr std::size_t kDeadLetterLimit = 10'000;

 private:
  struct Statements;
  using Clock = std::chrono::steady_clock;

  void start();
  bool openLocked();
  bool openedLocked(const OrvSqliteFile::Opening& opening);
  // The statements on the file's connections (OrvSqliteFile::Users). Under mutex_.
  int prepare(sqlite3* connection, bool readOnly) override;
  void release() override;
  bool writableLocked();
  void recreateLocked();
  void retry();
  // Notes a failed write with the outage keeper, and its line. Under mutex_.
  void writeFailedLocked(const std::string& why, int code);
  // Writes what memory kept to the file, in one transaction. Under mutex_.
  bool writeBackLocked();
  // The write-back's writer (OrvOutageKeeper::Writer). Under mutex_.
  bool writeRow(const std::string& suite, const std::string& key, const OrvValue& value) override;
  bool insertEvent(OrvOutboxEvent& event) override;
  bool deleteEvent(std::int64_t seq) override;
  bool record(const std::string& suite, const std::string& key, OrvOutboxEvent& event,
              OrvRecordOutcome* outcome) override;
  // True while a record the file may hold cannot be seen: another process holds the
  // database, or only the main file is read while a journal may hold more.
  bool uncheckableLocked() const;
  // Checks one record and, unless the suite holds it already, writes it with its event,
  // in the current transaction; false when a statement failed. Under mutex_.
  bool recordLocked(const std::string& suite, const std::string& key, OrvOutboxEvent& event,
                    OrvRecordOutcome* outcome);
  void waitLocked(const std::string& suite, Record& record);
  void noteDroppedLocked(std::size_t count, const char* where);
  void noteRoomLocked();
  void reclaimIfEmptyLocked();
  // Runs `body` (false when a statement failed) in one IMMEDIATE transaction: true once
  // committed; otherwise rolled back, the event count restored and the failure reported.
  template <class Body>
  bool transactionLocked(Body&& body);
  // Reads the outbox's row count into approxEvents_; false when it could not be read.
  bool countEventsLocked(sqlite3_stmt* count);
  bool readRowLocked(const std::string& suite, const std::string& key, OrvValue* out);
  bool writeRowLocked(const std::string& suite, const std::string& key, const OrvValue& value);
  bool insertEventLocked(OrvOutboxEvent& event);
  // Deletes one outbox row (counted out of approxEvents_); false when the statement failed.
  bool deleteEventLocked(std::int64_t seq);
  void trimEventsLocked();
  void claimOrphansLocked();
  void keepInMemoryLocked(OrvOutboxEvent event);
  // Logs what the locked section noted, after the lock is released, and schedules a
  // background retry when something waits in memory for the file.
  void flushErrors(std::unique_lock<std::mutex>& lock);

  // Constant after construction.
  const std::string directory_;
  const std::string owner_;  // this process, as it owns outbox rows

  std::mutex mutex_;
  // Guarded by mutex_.
  OrvSqliteFile file_;
  std::unique_ptr<Statements> statements_;  // on file_'s connection
  bool opened_ = false;                     // an open was attempted
  // What memory keeps while the file cannot be written, and when to try it again.
  OrvOutageKeeper outage_;
  bool storedInBackground_ = false;  // the listener is to hear of it
  int listenerCalls_ = 0;            // stored-events listener calls under way
  std::condition_variable checked_;  // waiting_ emptied, or a listener call ended
  std::size_t approxEvents_ = 0;
  // Events dropped since the outbox (or memory) last had room; 0 when it has room.
  std::uint64_t droppedInEpisode_ = 0;
  bool reclaimPending_ = false;         // a backlog was removed: give the space back once empty
  Clock::time_point lastOrphanScan_{};  // epoch: never
  std::vector<std::string> errors_;     // to log once the lock is released
  std::vector<std::string> notes_;      // information lines, likewise
};
