#include "ToolSupport.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "OrvExperiment/OrvExperiment.h"
#include "OrvFeatureManager.h"

namespace orvexp {

struct OutcomeWaiter::State {
  std::mutex mutex;
  std::condition_variable cv;
  Outcome outcome;  // guarded by mutex
  void set(Outcome o) {
    std::lock_guard lock(mutex);
    if (outcome.reported) return;
    outcome = std::move(o);
    outcome.reported = true;
    cv.notify_all();
  }
};

OutcomeWaiter::OutcomeWaiter(const std::shared_ptr<OrvExperimentTask>& task)
    : state_(std::make_shared<State>()) {
  task->addOnSuccessListener([state = state_] { state->set({true, true, 0, {}}); });
  task->addOnFailureListener([state = state_](std::int64_t code, const std::string& message) {
    state->set({true, false, code, message});
  });
}

Outcome OutcomeWaiter::wait(std::chrono::milliseconds timeout) {
  std::unique_lock lock(state_->mutex);
  state_->cv.wait_for(lock, timeout, [this] { return state_->outcome.reported; });
  return state_->outcome;
}

void printTypedReads(std::ostream& out, const std::string& key) {
  out << "  " << key << ": string=\"" << OrvExperiment::getValueAsString(key)
      << "\" number=" << OrvExperiment::getValueAsNumber(key).description()
      << " boolean=" << (OrvExperiment::getValueAsBoolean(key) ? "true" : "false")
      << " json=" << OrvExperiment::getValueAsJson(key).toJson() << "\n";
}

void printDetail(std::ostream& out, const std::string& key) {
  static const char* const kSources[] = {"default", "cache", "network"};
  static const char* const kReasons[] = {"found", "missing key", "wrong type", "not ready"};
  const auto d = OrvExperiment::getStringDetail(key);
  out << "  " << key << ": \"" << d.value << "\" source=" << kSources[static_cast<int>(d.source)]
      << " reason=" << kReasons[static_cast<int>(d.reason)];
  if (d.experiment) {
    out << " experiment=" << d.experiment->experimentId.description()
        << " group=" << d.experiment->groupId.description()
        << " control=" << (d.experiment->isControl ? "yes" : "no")
        << " bucket=" << d.experiment->bucketId.description();
  }
  out << "\n";
}

std::vector<const OrvFeatureTable::value_type*> sortedRows(const OrvFeatureTable& table) {
  std::vector<const OrvFeatureTable::value_type*> rows;
  rows.reserve(table.size());
  for (const auto& row : table) rows.push_back(&row);
  std::sort(rows.begin(), rows.end(), [](auto* a, auto* b) { return a->first < b->first; });
  return rows;
}

void printFeatureTable(std::ostream& out) {
  auto table = OrvFeatureManager::sharedInstance().features();
  if (!table) {
    out << "  (no feature table loaded)\n";
    return;
  }
  for (const auto* row : sortedRows(*table)) {
    out << "  " << row->first << " = " << row->second->value().description();
    if (const auto& info = row->second->experimentInfo()) {
      out << "  [experiment " << info->experimentId().description() << ", group "
          << info->experimentGroupId().description() << (info->isControl() ? ", control" : "")
          << ", bucket " << info->customBucketId().description() << "]";
    }
    out << "\n";
  }
}

}  // namespace orvexp
