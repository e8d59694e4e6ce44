// An outage keeper: what a data directory's database keeps in memory while its file
// cannot be written (an outage), and when to try the file again.
//
// A write that fails starts an outage, or continues it: one error line per outage (the
// first failure's; none for the failures after it), and the file is tried again after a
// back-off that doubles from 100 ms to 30 s. Meanwhile rows (the newest state per suite
// and key), events and the removal of delivered events are kept in memory for the
// process, and reads see them. Records that cannot be checked against the file (another
// process holds it) wait, at most one per suite and key, in the order asked.
//
// Once the file can be written again, writeBack() writes what was kept, in one
// transaction that its owner holds, before anything newer: rows, then events in the
// order they were kept (the insertion order is the delivery order), then the removals,
// then the records that waited, checked now. Events handed out from memory are then
// rows of the file: currentSeq() maps the seq a consumer holds to where the event went.
//
// Not thread-safe: its owner (OrvDefaultsDatabase) calls it under its own lock only. It
// knows nothing of SQLite: the owner writes through a Writer.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include "OrvExperiment/OrvValue.h"
#include "platform/storage/OrvEventOutbox.h"

class OrvOutageKeeper {
 public:
  using Clock = std::chrono::steady_clock;

  // What a write-back writes through, inside the owner's transaction; each false when
  // a statement failed.
  class Writer {
   public:
    // An absent value removes the row.
    virtual bool writeRow(const std::string& suite, const std::string& key,
                          const OrvValue& value) = 0;
    // Sets the event's seq once it was stored.
    virtual bool insertEvent(OrvOutboxEvent& event) = 0;
    virtual bool deleteEvent(std::int64_t seq) = 0;
    // Checks a record against the file and, unless it is there, writes it and its event.
    virtual bool record(const std::string& suite, const std::string& key, OrvOutboxEvent& event,
                        OrvRecordOutcome* outcome) = 0;

   protected:
    ~Writer() = default;
  };

  // --- The file's state.
  // True while writes fail and memory holds what they could not write.
  bool broken() const { return broken_; }
  // True when the last failure was another process's lock.
  bool contended() const { return contended_; }
  void setContended(bool contended) { contended_ = contended; }
  // A write failed (`busy`: another process holds the file): the line to log when this
  // starts an outage, else "". The next try waits for the back-off.
  std::string failed(const std::string& why, bool busy);
  // Broken without a line or a back-off: the directory's refusal was reported already.
  void markBroken() { broken_ = true; }
  // A write reached the file: the outage, if any, is over.
  void succeeded();
  // True while the back-off of an outage runs: the file is not to be tried.
  bool backingOff() const { return broken_ && Clock::now() < retryAt_; }
  // When the file may be tried again (the epoch before any failure).
  Clock::time_point retryAt() const { return retryAt_; }
  // How long a write may wait for another process's lock: as long as a writer may
  // reasonably hold it normally, hardly at all during an outage.
  std::chrono::milliseconds busyBudget() const;

  // --- The background retry.
  // True when memory holds something for the file during an outage and no retry is
  // scheduled; retryScheduled() then says one is.
  bool wantsRetry() const { return broken_ && !retryScheduled_ && pending(); }
  void retryScheduled() { retryScheduled_ = true; }
  void retryStarted() { retryScheduled_ = false; }
  // True when anything waits in memory for the file.
  bool pending() const;

  // --- Rows.
  // The value kept for a row (an absent value: removed), or null.
  const OrvValue* row(const std::string& suite, const std::string& key) const;
  void keepRow(const std::string& suite, const std::string& key, const OrvValue& value);
  void forgetRow(const std::string& suite, const std::string& key);
  // Lays what is kept for `suite` over the rows read from the file.
  void overlay(const std::string& suite, std::map<std::string, OrvValue>* rows) const;

  // --- Events.
  // Keeps an event (its seq: the next negative one); beyond `limit` the oldest goes.
  // True when one was dropped.
  bool keepEvent(OrvOutboxEvent event, std::size_t limit);
  const std::deque<OrvOutboxEvent>& events() const { return events_; }
  void forgetEvent(std::int64_t seq);
  // Removes the kept event `seq` and returns it; nothing when there is none.
  std::optional<OrvOutboxEvent> takeEvent(std::int64_t seq);
  // Delivered events whose rows could not be deleted yet: not handed out again.
  void keepRemoval(std::int64_t seq) { removals_.insert(seq); }
  const std::set<std::int64_t>& removals() const { return removals_; }
  // Where an event handed out as `seq` is now: in the file, once a write-back stored
  // what memory kept (a consumer may hold a batch read before); otherwise `seq`.
  std::int64_t currentSeq(std::int64_t seq) const;

  // --- Records that wait to be checked.
  bool isWaiting(const std::string& suite, const std::string& key) const;
  bool hasWaiting() const { return !waiting_.empty(); }
  // Adds a record unless one waits for the same suite and key; beyond `limit` the
  // oldest goes. True when one was dropped.
  bool wait(const std::string& suite, std::string key, OrvOutboxEvent event, std::size_t limit);

  // --- The write-back.
  // Writes everything kept through `writer`, inside the owner's transaction; `stored`
  // is set when a waiting record was recorded (its event stored). False when a
  // statement failed: the owner rolls back and memory keeps it all.
  bool writeBack(Writer& writer, bool* stored);
  // The write-back committed: memory lets go of it and the outage is over.
  void wroteBack();

 private:
  struct Waiting {
    std::string suite;
    std::string key;
    OrvOutboxEvent event;
  };

  // Guarded by the owner's lock (OrvDefaultsDatabase::mutex_), as every call.
  bool broken_ = false;
  bool contended_ = false;
  bool retryScheduled_ = false;
  Clock::time_point retryAt_{};
  std::chrono::milliseconds backoff_{0};
  // Rows that could not be written (an absent value: removed), newest state per key.
  std::map<std::pair<std::string, std::string>, OrvValue> rows_;
  // Events that could not be stored; negative seqs.
  std::deque<OrvOutboxEvent> events_;
  std::int64_t nextSeq_ = -1;
  std::set<std::int64_t> removals_;
  // The memory seqs of the last committed write-back, and the rows they became; and
  // those of the write-back under way, which count only once it commits (a rolled-back
  // row's seq may be given to another event).
  std::map<std::int64_t, std::int64_t> writtenBack_;
  std::map<std::int64_t, std::int64_t> writingBack_;
  // Records that cannot be checked yet, in the order asked, and their keys. Empty
  // while broken_ is false: they arise only from a failure, and the write-back that
  // ends an outage records them.
  std::deque<Waiting> waiting_;
  std::set<std::pair<std::string, std::string>> waitingKeys_;
};
