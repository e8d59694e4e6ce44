#include "platform/storage/OrvEventOutbox.h"

#include <openssl/rand.h>

#include <chrono>
#include <random>

#include "platform/execution/OrvProcessLifetime.h"
#include "platform/files/OrvDataDirectory.h"
#include "platform/storage/OrvDefaultsDatabase.h"

std::shared_ptr<OrvEventOutbox> OrvEventOutbox::forDirectory(const std::string& directory) {
  return OrvDefaultsDatabase::forDirectory(directory)->outbox();
}

std::vector<std::shared_ptr<OrvEventOutbox>> OrvEventOutbox::allOpen() {
  std::vector<std::shared_ptr<OrvEventOutbox>> outboxes;
  for (auto& db : OrvDefaultsDatabase::allOpen()) outboxes.push_back(db->outbox());
  return outboxes;
}

void OrvEventOutbox::append(std::vector<OrvOutboxEvent> events) {
  db_.appendEvents(std::move(events));
}

std::vector<OrvOutboxEvent> OrvEventOutbox::pending(std::size_t max, const std::string& consumer) {
  return db_.pendingEvents(max, consumer);
}

void OrvEventOutbox::handOver(const std::vector<OrvOutboxEvent>& events,
                              const std::vector<std::string>& consumers) {
  db_.handOverEvents(events, consumers);
}

void OrvEventOutbox::remove(const std::vector<std::int64_t>& seqs) { db_.removeEvents(seqs); }

bool OrvEventOutbox::deadLetter(const std::vector<OrvOutboxEvent>& events, long status,
                                const std::string& reason) {
  return db_.deadLetterEvents(events, status, reason);
}

std::vector<OrvDeadLetter> OrvEventOutbox::deadLetters(std::size_t max) {
  return db_.deadLetters(max);
}

std::size_t OrvEventOutbox::redriveDeadLetters() { return db_.redriveDeadLetters(); }

std::size_t OrvEventOutbox::size() { return db_.eventCount(); }

void OrvEventOutbox::setOrphanScanInterval(std::chrono::milliseconds interval) {
  OrvDefaultsDatabase::setOrphanScanInterval(interval);
}

std::chrono::milliseconds OrvEventOutbox::orphanScanInterval() {
  return OrvDefaultsDatabase::orphanScanInterval();
}

void OrvEventOutbox::setStoredListener(void (*listener)()) {
  OrvDefaultsDatabase::setStoredListener(listener);
}

void OrvEventOutbox::setLimit(std::size_t limit) { OrvDefaultsDatabase::setEventLimit(limit); }

std::size_t OrvEventOutbox::limit() { return OrvDefaultsDatabase::eventLimit(); }

std::uint64_t OrvEventOutbox::droppedCount() { return OrvDefaultsDatabase::droppedEvents(); }

std::int64_t OrvEventOutbox::nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

void OrvEventOutbox::stamp(OrvOutboxEvent& event) {
  if (event.eventId.empty()) event.eventId = newEventId();
  if (event.timeMs == 0) event.timeMs = nowMs();
}

std::string OrvEventOutbox::newEventId() {
  OrvProcessLifetime::initialise();
  unsigned char bytes[16];
  if (RAND_bytes(bytes, sizeof bytes) != 1) {
    // No entropy source through OpenSSL: the kernel's, through the standard library.
    std::random_device device;
    for (auto& b : bytes) b = static_cast<unsigned char>(device());
  }
  // Version 7 (RFC 9562): the first 48 bits are the Unix time in milliseconds, the last
  // 74 random. Ids made in turn sort in turn, so each index keyed on them (the outbox's,
  // a collector's) grows at its end: inserting and removing a batch touches a few pages
  // however long the queue, where random ids cost about one page per event.
  const auto ms = static_cast<std::uint64_t>(nowMs());
  for (int i = 0; i < 6; ++i) bytes[i] = static_cast<unsigned char>(ms >> (40 - 8 * i));
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x70);  // version 7
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);  // RFC 9562 variant
  static constexpr char kHex[] = "0123456789abcdef";
  std::string id;
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) id += '-';
    id += kHex[bytes[i] >> 4];
    id += kHex[bytes[i] & 0x0F];
  }
  return id;
}
