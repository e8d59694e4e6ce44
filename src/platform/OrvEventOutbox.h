// Events waiting to be delivered, kept in the data directory's database beside the
// records they belong to, so that an event outlives a crash, a missing sink or a
// restart. Rows are owned by the process that stored them (or claimed one); only the
// owner delivers them, and the rows of a process that died are claimed by the next
// process that looks. An event leaves the outbox only through remove(), once its
// consumers have taken it: delivery is in order and at least once, and the stable
// eventId lets a consumer drop a redelivery.
//
// When the database cannot be written, events are kept in memory for the process
// instead (and delivered from there). The outbox holds at most limit() events: storing
// one more drops the oldest, counted in droppedCount() and logged.
//
// Thread-safe: every member may be called from any thread. No member calls out to
// application code.
#pragma once

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
  std::int64_t timeMs = 0;  // milliseconds since the epoch, when stored
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
  // Events waiting, in the file (of every owner) and in memory.
  std::size_t size();

  // The bound of each outbox (at least 1), and the events dropped by all of them.
  static void setLimit(std::size_t limit);
  static std::size_t limit();
  static std::uint64_t droppedCount();

  // Milliseconds since the epoch, the clock of OrvOutboxEvent::timeMs.
  static std::int64_t nowMs();
  // Fills in a missing eventId and time, as storing an event does.
  static void stamp(OrvOutboxEvent& event);

  // A new random event identifier: 32 lower-case hexadecimal digits in the 8-4-4-4-12
  // form of a UUID (version 4).
  static std::string newEventId();

  explicit OrvEventOutbox(std::shared_ptr<OrvDefaultsDatabase> db);

 private:
  // Constant after construction.
  const std::shared_ptr<OrvDefaultsDatabase> db_;
};
