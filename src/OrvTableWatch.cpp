#include "OrvTableWatch.h"

#include <algorithm>
#include <utility>

#include "OrvExpLog.h"
#include "OrvExperimentTaskNotify.h"
#include "platform/execution/OrvMainQueue.h"

namespace {

bool sameMembership(const OrvExperimentInfo* a, const OrvExperimentInfo* b) {
  if (!a || !b) return !a && !b;
  return a->experimentId() == b->experimentId() &&
         a->experimentGroupId() == b->experimentGroupId() && a->isControl() == b->isControl() &&
         a->customBucketId() == b->customBucketId();
}

}  // namespace

OrvTableWatch& OrvTableWatch::sharedInstance() {
  static OrvTableWatch* instance = new OrvTableWatch();  // never destroyed
  return *instance;
}

bool OrvTableWatch::isReady() const {
  std::lock_guard lock(mutex_);
  return ready_;
}

std::shared_ptr<OrvExperimentTask> OrvTableWatch::whenReady() {
  auto task = OrvCreateLibraryTask();
  std::unique_lock lock(mutex_);
  if (ready_) {
    lock.unlock();
    OrvNotifyTaskSuccess(task);
    return task;
  }
  // It waits for the first table also after a failed start-up: a later fetch may bring it.
  // Bounded, for an application that asks again every frame while no table comes: the
  // oldest of those that heard the failure already give way.
  bool warn = false;
  if (failed_ && waiting_.size() >= kMaxWaiting) {
    waiting_.erase(waiting_.begin());
    warn = !std::exchange(warnedFull_, true);
  }
  waiting_.push_back(task);
  if (failed_) {
    const std::int64_t code = failureCode_;
    const std::string message = failureMessage_;
    lock.unlock();
    OrvNotifyTaskFailure(task, code, message);
  }
  if (warn) {
    OrvExpLog::error(
        "whenReady(): more than %@ tasks wait for a first table after a failed "
        "start-up; the oldest will not hear of it",
        kMaxWaiting);
  }
  return task;
}

std::uint64_t OrvTableWatch::addChangeListener(ChangeListener listener) {
  if (!listener) return 0;
  std::lock_guard lock(mutex_);
  const std::uint64_t id = nextId_++;
  listeners_.emplace(id, std::make_shared<const ChangeListener>(std::move(listener)));
  return id;
}

void OrvTableWatch::removeChangeListener(std::uint64_t id) {
  std::shared_ptr<const ChangeListener> removed;  // released outside the lock
  std::lock_guard lock(mutex_);
  auto it = listeners_.find(id);
  if (it == listeners_.end()) return;
  removed = std::move(it->second);
  listeners_.erase(it);
}

void OrvTableWatch::tableLoaded(const OrvFeatureTable* previous, const OrvFeatureTable& current) {
  std::vector<std::shared_ptr<OrvExperimentTask>> waiting;
  std::vector<std::shared_ptr<const ChangeListener>> listeners;
  {
    std::lock_guard lock(mutex_);
    // The first table is news in every key, also those a table held before readiness
    // (overrides only) had already.
    if (!ready_) previous = nullptr;
    ready_ = true;
    waiting.swap(waiting_);
    for (const auto& entry : listeners_) listeners.push_back(entry.second);
  }
  for (const auto& task : waiting) OrvNotifyTaskSuccess(task);
  if (listeners.empty()) return;
  auto keys = std::make_shared<const std::vector<std::string>>(changedKeys(previous, current));
  if (keys->empty()) return;  // a 304, or the same payload again
  for (const auto& listener : listeners) {
    OrvMainQueue::async([listener, keys] { (*listener)(*keys); });
  }
}

void OrvTableWatch::startupFailed(std::int64_t code, const std::string& message) {
  std::vector<std::shared_ptr<OrvExperimentTask>> waiting;
  {
    std::lock_guard lock(mutex_);
    if (ready_) return;  // the cached table is in place: readiness succeeded already
    failed_ = true;
    failureCode_ = code;
    failureMessage_ = message;
    waiting = waiting_;  // they stay for the success of a later load
  }
  for (const auto& task : waiting) OrvNotifyTaskFailure(task, code, message);
}

void OrvTableWatch::reset() {
  std::vector<std::shared_ptr<OrvExperimentTask>> waiting;  // released outside the lock
  std::map<std::uint64_t, std::shared_ptr<const ChangeListener>> listeners;
  std::lock_guard lock(mutex_);
  ready_ = false;
  failed_ = false;
  failureCode_ = 0;
  failureMessage_.clear();
  warnedFull_ = false;
  waiting.swap(waiting_);
  listeners.swap(listeners_);
}

std::vector<std::string> OrvTableWatch::changedKeys(const OrvFeatureTable* previous,
                                                    const OrvFeatureTable& current) {
  std::vector<std::string> keys;
  for (const OrvFeature& feature : current) {
    const OrvFeature* before = previous ? previous->find(feature.key()) : nullptr;
    if (!before || !(before->value() == feature.value()) ||
        !sameMembership(before->experimentInfo(), feature.experimentInfo()))
      keys.push_back(feature.key());
  }
  if (previous) {
    for (const OrvFeature& feature : *previous)
      if (!current.contains(feature.key())) keys.push_back(feature.key());
  }
  std::sort(keys.begin(), keys.end());
  return keys;
}
