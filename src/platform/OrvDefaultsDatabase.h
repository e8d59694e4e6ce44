// The one SQLite database of a data directory ("orv_defaults.sqlite3", WAL journal): the
// rows of every user-defaults suite (one per suite and key) and the event outbox. One
// object per directory in use, shared by every suite and outbox opened there.
//
// The database decides, not a copy in memory: reads go to the file, so a process sees
// what another process wrote, and recordOnce() checks and writes inside one
// transaction that holds the write lock, so two processes never both record the same
// key. Every write is durable (fsync) before the call returns.
//
// Faults never cause a resend. A write that fails is kept in memory for the process
// (reads see it) and the database is tried again after a back-off (doubling from
// 100 ms to 30 s); what was kept is written back once it can be. A database that
// cannot be opened for writing is still read (read-only) where possible, so a record
// it holds is never sent again. One error line per outage.
//
// Thread-safe: every member may be called from any thread. No member calls out to
// application code while holding the internal lock.
#pragma once

#include <chrono>
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
#include "platform/OrvEventOutbox.h"

struct sqlite3;
struct sqlite3_stmt;
class OrvLogChannel;

class OrvDefaultsDatabase {
 public:
  static constexpr const char* kFileName = "orv_defaults.sqlite3";

  // The database of `directory`, shared while anything holds it.
  static std::shared_ptr<OrvDefaultsDatabase> forDirectory(const std::string& directory);
  // Every database something in the process holds.
  static std::vector<std::shared_ptr<OrvDefaultsDatabase>> allOpen();
  // Where error lines go (null: nowhere). Process-wide; `log` must live forever.
  static void setLogChannel(const OrvLogChannel* log);

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
  // record, in order: true when it was recorded now, false when it was there already.
  struct Record {
    std::string key;
    OrvOutboxEvent event;
  };
  std::vector<bool> recordOnce(const std::string& suite, std::vector<Record> records);

  // The outbox (see OrvEventOutbox).
  void appendEvents(std::vector<OrvOutboxEvent> events);  // one transaction
  std::vector<OrvOutboxEvent> pendingEvents(std::size_t max, const std::string& consumer);
  void removeEvents(const std::vector<std::int64_t>& seqs);
  void handOverEvents(const std::vector<OrvOutboxEvent>& events,
                      const std::vector<std::string>& consumers);
  std::size_t eventCount();
  // Process-wide: the bound of every outbox, and the events all of them dropped.
  static void setEventLimit(std::size_t limit);
  static std::size_t eventLimit();
  static std::uint64_t droppedEvents();

 private:
  struct Statements;
  using Clock = std::chrono::steady_clock;

  bool openLocked();
  void closeLocked();
  bool writableLocked();
  void writeFailedLocked(const std::string& why);
  void writeSucceededLocked();
  bool execLocked(const char* sql);
  bool readRowLocked(const std::string& suite, const std::string& key, OrvValue* out);
  bool writeRowLocked(const std::string& suite, const std::string& key, const OrvValue& value);
  bool insertEventLocked(OrvOutboxEvent& event);
  void trimEventsLocked();
  void claimOrphansLocked();
  void keepInMemoryLocked(OrvOutboxEvent event);
  std::string sqliteErrorLocked(const char* what);
  // Logs what the locked section noted, after the lock is released.
  void flushErrors(std::unique_lock<std::mutex>& lock);

  // Constant after construction.
  const std::string directory_;
  const std::string path_;
  const std::string owner_;  // this process, as it owns outbox rows

  std::mutex mutex_;
  // Guarded by mutex_.
  sqlite3* connection_ = nullptr;      // read-write; null when it cannot be opened
  sqlite3* readConnection_ = nullptr;  // read-only fallback while connection_ is null
  std::unique_ptr<Statements> statements_;
  bool broken_ = false;  // writes are failing; memory holds what they could not write
  Clock::time_point retryAt_{};
  std::chrono::milliseconds backoff_{0};
  // Rows that could not be written (an absent value: removed), newest state per key.
  std::map<std::pair<std::string, std::string>, OrvValue> unwritten_;
  // Events that could not be stored; negative seqs.
  std::deque<OrvOutboxEvent> memoryEvents_;
  std::int64_t nextMemorySeq_ = -1;
  // Delivered events whose rows could not be deleted yet.
  std::set<std::int64_t> removedUnwritten_;
  std::size_t approxEvents_ = 0;
  Clock::time_point nextOrphanScan_{};
  std::vector<std::string> errors_;  // to log once the lock is released
};
