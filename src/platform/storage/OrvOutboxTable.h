// The outbox table of a data directory's database: the events waiting for their
// consumers (table orv_outbox) and the dead letters (orv_dead_letters; see
// OrvDefaultsSchema, and OrvEventOutbox for what the outbox promises its users).
//
// Order: a row's id is its insertion sequence, and each consumer reads its queue in id
// order, so events are delivered in the order they were stored, whatever their clocks
// say. A hand-over to several consumers keeps the first one's place (the row is passed
// on) and queues copies for the others after everything they hold; a consumer that
// holds an event already (same eventId) keeps the row it has.
//
// Ownership: a row belongs to the process that stored it (pid and start time, so a
// reused pid is another process) and only its owner reads it; the rows of processes that
// are no longer running are claimed by the next one that looks, at most once per
// orphanScanInterval().
//
// Limit: the outbox keeps at most limit() events (process-wide); storing more drops the
// oldest, counted process-wide in droppedCount(). A full outbox is one episode per
// database: one error line when it starts dropping, one line with the count once a tenth
// of the limit is free again. At most kDeadLetterLimit dead letters are kept, likewise.
//
// The count of rows is kept approximately in memory (approxCount(), exact after
// count()) so that the limit is checked without a query per event; a transaction that
// rolls back restores it.
//
// Not thread-safe: its owner (OrvDefaultsDatabase) calls it under its own lock only,
// inside the transactions it holds. Lines to log are added to the vectors given.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "platform/storage/OrvEventOutbox.h"
#include "platform/storage/OrvSqliteFile.h"

class OrvOutboxTable {
 public:
  static constexpr std::size_t kDeadLetterLimit = 10'000;

  // Process-wide: the bound of every outbox (at least 1), the events all of them
  // dropped, and how often the rows of processes that died are looked for.
  static void setLimit(std::size_t limit);
  static std::size_t limit();
  static std::uint64_t droppedCount();
  static void setOrphanScanInterval(std::chrono::milliseconds interval);
  static std::chrono::milliseconds orphanScanInterval();

  // Owned by this process.
  OrvOutboxTable();

  bool prepare(sqlite3* connection);
  void release();

  // The approximate row count, and its value restored after a rollback.
  std::size_t approxCount() const { return approxCount_; }
  void restoreCount(std::size_t count) { approxCount_ = count; }
  // Counts the rows exactly; false when they could not be counted.
  bool count();

  // Stores `event` (its seq set, once a row was added). A consumer that holds the
  // event already keeps the one it has: nothing is added, and that is no failure.
  bool insert(OrvOutboxEvent& event);
  // Deletes one row; false when the statement failed.
  bool remove(std::int64_t seq);
  // Drops the oldest rows beyond the limit.
  void trim(std::vector<std::string>* errors);
  // Takes over the rows of owners that are no longer running, when the last look was
  // longer ago than the interval.
  void claimOrphans();
  // Up to `max` events of this owner for `consumer`, oldest first, without those in
  // `skip`; stops early once the process is exiting.
  void pending(std::size_t max, const std::string& consumer, const std::set<std::int64_t>& skip,
               std::vector<OrvOutboxEvent>* events);
  // Passes row `seq` on to the first of `queues` and copies it to the others.
  bool handOver(std::int64_t seq, const std::vector<std::string>& queues);
  // Moves events to the dead letters: those stored (seqs[i] > 0) from their rows, the
  // others as given; then drops dead letters beyond kDeadLetterLimit (`trimmed`).
  bool bury(const std::vector<OrvOutboxEvent>& events, const std::vector<std::int64_t>& seqs,
            long status, const std::string& reason, std::int64_t nowMs, std::size_t* trimmed);
  // Counts and reports dead letters that bury() dropped, once its transaction committed.
  void noteBuriedDropped(std::size_t trimmed, std::vector<std::string>* errors);
  // Up to `max` dead letters, oldest first; false when they could not be read.
  bool deadLetters(std::size_t max, std::vector<OrvDeadLetter>* letters);
  // Queues every dead letter again for the consumer that refused it, unowned: the next
  // process with that consumer claims them. `moved`: how many.
  bool redrive(std::size_t* moved);

  // A full episode: `count` events dropped (`where`: "" for the file, or where else).
  void noteDropped(std::size_t count, const char* where, std::vector<std::string>* errors);
  // After events left: ends an episode once there is room again (`inMemory`: events
  // kept outside the file).
  void noteRoom(std::size_t inMemory, std::vector<std::string>* notes);

  // Once a backlog was removed and the table is empty: true, once, so that the space
  // is given back (see OrvSqliteFile::reclaimSpace).
  void backlogRemoved() { reclaimPending_ = true; }
  bool drainedAfterBacklog();

 private:
  // A statement of the rare calls (dead letters), prepared on first use rather than at
  // start-up; null when it cannot be prepared.
  sqlite3_stmt* lazy(OrvSqliteFile::Statement& slot, const char* sql);

  // Constant after construction.
  const std::string owner_;  // this process, as it owns rows

  // Guarded by the owner's lock (OrvDefaultsDatabase::mutex_), as every call.
  sqlite3* connection_ = nullptr;  // the one the statements were prepared on
  OrvSqliteFile::Statement insert_, select_, delete_, count_, trim_, owners_, claim_;
  OrvSqliteFile::Statement passOn_, copyTo_;
  OrvSqliteFile::Statement buryStored_, buryEvent_, trimDead_, selectDead_, redrive_,
      clearDead_;  // lazy
  std::size_t approxCount_ = 0;
  // Events dropped since the outbox (or memory) last had room; 0 when it has room.
  std::uint64_t droppedInEpisode_ = 0;
  bool reclaimPending_ = false;  // a backlog was removed: give the space back once empty
  std::chrono::steady_clock::time_point lastOrphanScan_{};  // epoch: never
};
