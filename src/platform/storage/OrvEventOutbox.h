// Events waiting to be delivered, kept in the data directory's database beside the
// records they belong to, so that an event outlives a crash, a missing sink or a
// restart. Rows are owned by the process that stored them (or claimed one); only the
// owner delivers them, and the rows of a process that died are claimed by the next
// process that looks (at most every orphanScanInterval()). An event leaves the outbox
// only through remove(), once its consumers have taken it, or deadLetter(), once a
// consumer refused it for good: delivery is in insertion order and at least once, and
// the stable eventId lets a consumer drop a redelivery.
//
// Dead letters are kept (at most OrvDefaultsDatabase::kDeadLetterLimit, the oldest
// dropped and counted) with the status and reason of their refusal, until
// redriveDeadLetters() queues them again for the consumer that refused them.
//
// When the database cannot be written, events are kept in memory for the process
// instead (delivered from there, and written back once the database can be written).
// The outbox holds at most limit() events: storing one more drops the oldest, counted
// in droppedCount(), with one error line per episode (and one when there is room again).
//
// Thread-safe: every member may be called from any thread. No member calls out to
// application code.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "OrvExperiment/OrvValue.h"

class OrvDefaultsDatabase;

struct OrvOutboxEvent {
  std::int64_t seq = 0;  // delivery order within the outbox; set when stored
  // Who takes it next: "" for the sinks, or a named consumer (an exporter) that was
  // handed the event once the sinks had taken it.
  std::string consumer;
  std::string eventId;  // stable across redeliveries; made when stored if empty
  std::string appId;
  std::string name;
  OrvValue properties;
  // What an analysis needs beyond the properties (OrvMediatorEvent::context); absent
  // for most events. Stored with the properties under kContextKey, which no consumer
  // sees there.
  OrvValue context;
  std::int64_t timeMs = 0;  // milliseconds since the epoch, when stored

  // The key the context is stored under inside the properties column: an outbox
  // written by this version stays readable by earlier ones (which pass it on as a
  // property) without a change of the schema.
  static constexpr const char* kContextKey = "#orv_context";
};

// What recording an exposure came to.
enum class OrvRecordOutcome {
  kRecorded,         // recorded now, and its event stored (or kept in memory)
  kAlreadyRecorded,  // the store held it already, written by this process or another
  kWaiting,          // cannot be checked now (the database is held); decided later
};

// An event a consumer refused for good, with why.
struct OrvDeadLetter {
  OrvOutboxEvent event;
  long status = 0;     // the HTTP status of the refusal
  std::string reason;  // what the consumer said
  std::int64_t deadAtMs = 0;
};

class OrvEventOutbox {
 public:
  static constexpr std::size_t kDefaultLimit = 100'000;

  // The outbox of `directory` (opened when needed), and every outbox this process has
  // open: those of the data directories whose stores are in use.
  static std::shared_ptr<OrvEventOutbox> forDirectory(const std::string& directory);
  static std::vector<std::shared_ptr<OrvEventOutbox>> allOpen();

  // Stores `events` in one transaction (times and eventIds filled in when missing).
  void append(std::vector<OrvOutboxEvent> events);
  // Up to `max` events for `consumer` this process owns, oldest first, after claiming
  // those of processes that have died.
  std::vector<OrvOutboxEvent> pending(std::size_t max, const std::string& consumer = "");
  // Removes delivered events (the seqs of events returned by pending()).
  void remove(const std::vector<std::int64_t>& seqs);
  // Passes events (returned by pending()) on to each of `consumers` in one transaction;
  // with no consumer this is remove().
  void handOver(const std::vector<OrvOutboxEvent>& events,
                const std::vector<std::string>& consumers);
  // Moves events (returned by pending()) to the dead letters, with the status and
  // reason of their refusal. False when they could not be moved (they stay queued).
  bool deadLetter(const std::vector<OrvOutboxEvent>& events, long status,
                  const std::string& reason);
  // Up to `max` dead letters, oldest first.
  std::vector<OrvDeadLetter> deadLetters(std::size_t max);
  // Queues every dead letter again for the consumer that refused it (as rows no running
  // process owns, so the next process with that consumer claims them). How many.
  std::size_t redriveDeadLetters();
  // Events waiting, in the file (of every owner) and in memory.
  std::size_t size();

  // The bound of each outbox (at least 1), and the events dropped by all of them.
  static void setLimit(std::size_t limit);
  static std::size_t limit();
  static std::uint64_t droppedCount();
  // How often the rows of processes that died are looked for (default 30 s).
  static void setOrphanScanInterval(std::chrono::milliseconds interval);
  static std::chrono::milliseconds orphanScanInterval();
  // Called (on a library thread, no lock held) after events were stored in the
  // background, so that they are delivered. Set once; must live forever.
  static void setStoredListener(void (*listener)());

  // Milliseconds since the epoch, the clock of OrvOutboxEvent::timeMs.
  static std::int64_t nowMs();
  // Fills in a missing eventId and time, as storing an event does.
  static void stamp(OrvOutboxEvent& event);

  // A new event identifier: 32 lower-case hexadecimal digits in the 8-4-4-4-12 form of
  // a UUID, version 7 (the time in milliseconds, then 74 random bits): unique, and in the
  // order made, which keeps the indexes keyed on it cheap to grow and shrink.
  static std::string newEventId();

  // A view of `db`, which owns it: each database holds one, and hands it out as a
  // pointer that shares the database's ownership, so a delivery round makes no object.
  explicit OrvEventOutbox(OrvDefaultsDatabase& db) : db_(db) {}
  OrvEventOutbox(const OrvEventOutbox&) = delete;
  OrvEventOutbox& operator=(const OrvEventOutbox&) = delete;

 private:
  OrvDefaultsDatabase& db_;
};
