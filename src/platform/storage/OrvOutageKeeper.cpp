#include "platform/storage/OrvOutageKeeper.h"

#include <algorithm>

namespace {

constexpr auto kFirstBackoff = std::chrono::milliseconds(100);
constexpr auto kMaxBackoff = std::chrono::milliseconds(30'000);
// How long a write waits for another process's lock while the database works normally,
// and during an outage.
constexpr auto kWriteBusyWait = std::chrono::milliseconds(5000);
constexpr auto kOutageBusyWait = std::chrono::milliseconds(20);

}  // namespace

std::string OrvOutageKeeper::failed(const std::string& why, bool busy) {
  std::string line;
  if (!broken_) {
    line = "OrvUserDefaults: " + why +
           (busy ? "; another process holds the database: exposures wait until their records "
                   "can be checked, other writes are kept in memory until it is free"
                 : "; keeping records in memory until the database can be written again");
  }
  contended_ = busy;
  broken_ = true;
  backoff_ = std::min(kMaxBackoff, backoff_ < kFirstBackoff ? kFirstBackoff : backoff_ * 2);
  retryAt_ = Clock::now() + backoff_;
  return line;
}

void OrvOutageKeeper::succeeded() {
  broken_ = false;
  contended_ = false;
  backoff_ = std::chrono::milliseconds(0);
}

std::chrono::milliseconds OrvOutageKeeper::busyBudget() const {
  return broken_ ? kOutageBusyWait : kWriteBusyWait;
}

bool OrvOutageKeeper::pending() const {
  return !rows_.empty() || !removals_.empty() || !events_.empty() || !waiting_.empty();
}

const OrvValue* OrvOutageKeeper::row(const std::string& suite, const std::string& key) const {
  const auto it = rows_.find({suite, key});
  return it != rows_.end() ? &it->second : nullptr;
}

void OrvOutageKeeper::keepRow(const std::string& suite, const std::string& key,
                              const OrvValue& value) {
  rows_[{suite, key}] = value;
}

void OrvOutageKeeper::forgetRow(const std::string& suite, const std::string& key) {
  rows_.erase({suite, key});
}

void OrvOutageKeeper::overlay(const std::string& suite,
                              std::map<std::string, OrvValue>* rows) const {
  for (const auto& [row, value] : rows_) {
    if (row.first != suite) continue;
    if (value.isAbsent()) {
      rows->erase(row.second);
    } else {
      (*rows)[row.second] = value;
    }
  }
}

bool OrvOutageKeeper::keepEvent(OrvOutboxEvent event, std::size_t limit) {
  event.seq = nextSeq_--;
  events_.push_back(std::move(event));
  if (events_.size() <= limit) return false;
  events_.pop_front();
  return true;
}

void OrvOutageKeeper::forgetEvent(std::int64_t seq) {
  events_.erase(
      std::remove_if(events_.begin(), events_.end(), [seq](const auto& e) { return e.seq == seq; }),
      events_.end());
}

std::optional<OrvOutboxEvent> OrvOutageKeeper::takeEvent(std::int64_t seq) {
  auto it =
      std::find_if(events_.begin(), events_.end(), [seq](const auto& e) { return e.seq == seq; });
  if (it == events_.end()) return std::nullopt;
  OrvOutboxEvent event = std::move(*it);
  events_.erase(it);
  return event;
}

std::int64_t OrvOutageKeeper::currentSeq(std::int64_t seq) const {
  if (seq >= 0) return seq;
  const auto it = writtenBack_.find(seq);
  return it != writtenBack_.end() ? it->second : seq;
}

bool OrvOutageKeeper::isWaiting(const std::string& suite, const std::string& key) const {
  return waitingKeys_.count({suite, key}) != 0;
}

bool OrvOutageKeeper::wait(const std::string& suite, std::string key, OrvOutboxEvent event,
                           std::size_t limit) {
  if (!waitingKeys_.insert({suite, key}).second) return false;
  waiting_.push_back({suite, std::move(key), std::move(event)});
  if (waiting_.size() <= limit) return false;
  waitingKeys_.erase({waiting_.front().suite, waiting_.front().key});
  waiting_.pop_front();
  return true;
}

// One transaction, so a record written back never lands without its event (an event
// still in memory would die with the process). A copy a consumer already holds (the
// same consumer and eventId) is not added twice.
bool OrvOutageKeeper::writeBack(Writer& writer, bool* stored) {
  bool ok = true;
  for (auto it = rows_.begin(); ok && it != rows_.end(); ++it)
    ok = writer.writeRow(it->first.first, it->first.second, it->second);
  writingBack_.clear();
  for (auto it = events_.begin(); ok && it != events_.end(); ++it) {
    OrvOutboxEvent copy = *it;
    ok = writer.insertEvent(copy);
    if (ok && copy.seq > 0) writingBack_.emplace(it->seq, copy.seq);
  }
  for (auto it = removals_.begin(); ok && it != removals_.end(); ++it) ok = writer.deleteEvent(*it);
  if (!ok) return false;
  for (Waiting& w : waiting_) {
    OrvRecordOutcome outcome;
    if (!writer.record(w.suite, w.key, w.event, &outcome)) return false;
    *stored = *stored || outcome == OrvRecordOutcome::kRecorded;
  }
  // Only once the transaction commits do they leave memory: see wroteBack().
  return true;
}

void OrvOutageKeeper::wroteBack() {
  writtenBack_ = std::move(writingBack_);
  writingBack_.clear();
  rows_.clear();
  events_.clear();
  removals_.clear();
  waiting_.clear();
  waitingKeys_.clear();
  succeeded();
}
