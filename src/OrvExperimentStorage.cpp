#include "OrvExperimentStorage.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <unordered_set>

#include "OrvExpLog.h"
#include "OrvStickyAssignments.h"
#include "platform/files/OrvDataDirectory.h"
#include "platform/storage/OrvUserDefaults.h"

namespace {

struct OpenStore {
  std::mutex mutex;
  // Guarded by mutex.
  std::shared_ptr<OrvUserDefaults> defaults;  // null until opened, and in memory mode
  std::string appId;
  bool memoryOnly = false;
  std::unordered_set<std::string> memoryRecords;  // of the open domain, in memory mode
  std::vector<OrvOutboxEvent> captured;
};

OpenStore& openStore() {
  static OpenStore* s = new OpenStore();  // never released, like the domain it names
  return *s;
}

std::atomic<std::uint64_t> storeGeneration{1};

void bumpGeneration() { storeGeneration.fetch_add(1, std::memory_order_acq_rel); }

std::shared_ptr<OrvUserDefaults> current() {
  std::lock_guard lock(openStore().mutex);
  return openStore().defaults;
}

}  // namespace

void OrvExperimentStorage::initWithAppId(const std::string& appId) {
  if (memoryOnly()) {
    std::lock_guard lock(openStore().mutex);
    openStore().memoryRecords.clear();
    openStore().appId = appId;
    bumpGeneration();
    return;
  }
  // Opened outside the lock: opening may touch the disk.
  auto opened = OrvUserDefaults::initWithSuiteName(std::string(kDomainPrefix) + appId);
  std::lock_guard lock(openStore().mutex);
  openStore().defaults = std::move(opened);
  openStore().appId = appId;
  bumpGeneration();
}

void OrvExperimentStorage::setMemoryOnly(bool on) {
  std::shared_ptr<OrvUserDefaults> closed;  // released outside the lock
  std::lock_guard lock(openStore().mutex);
  OpenStore& store = openStore();
  store.memoryOnly = on;
  closed = std::move(store.defaults);
  store.appId.clear();
  store.memoryRecords.clear();
  store.captured.clear();
  bumpGeneration();
  OrvStickyAssignments::forgetInMemory();
}

bool OrvExperimentStorage::memoryOnly() {
  std::lock_guard lock(openStore().mutex);
  return openStore().memoryOnly;
}

bool OrvExperimentStorage::captureIfMemoryOnly(OrvOutboxEvent event) {
  std::lock_guard lock(openStore().mutex);
  if (!openStore().memoryOnly) return false;
  openStore().captured.push_back(std::move(event));
  return true;
}

std::vector<OrvOutboxEvent> OrvExperimentStorage::capturedEvents() {
  std::lock_guard lock(openStore().mutex);
  return openStore().captured;
}

void OrvExperimentStorage::clearCapturedEvents() {
  std::lock_guard lock(openStore().mutex);
  openStore().captured.clear();
}

void OrvExperimentStorage::putBool(bool value, const std::string& key) {
  if (auto store = current()) {
    store->setBool(value, key);
    if (!value) bumpGeneration();
  }
}

bool OrvExperimentStorage::getBoolForKey(const std::string& key, bool defaultValue) {
  auto store = current();
  if (!store || store->objectForKey(key).isAbsent()) return defaultValue;
  return store->boolForKey(key);
}

void OrvExperimentStorage::putString(const std::string& value, const std::string& key) {
  if (auto store = current()) {
    store->setObject(OrvValue(value), key);
    bumpGeneration();
  }
}

std::string OrvExperimentStorage::getStringForKey(const std::string& key,
                                                  const std::string& defaultValue) {
  auto store = current();
  if (!store) return defaultValue;
  return store->stringForKey(key).value_or(defaultValue);
}

void OrvExperimentStorage::removeKey(const std::string& key) {
  if (auto store = current()) {
    store->removeObjectForKey(key);
    bumpGeneration();
  }
}

void OrvExperimentStorage::clear() {
  auto store = current();
  if (!store) return;
  for (const auto& entry : store->dictionaryRepresentation())
    store->removeObjectForKey(entry.first);
  bumpGeneration();
}

std::uint64_t OrvExperimentStorage::generation() noexcept {
  return storeGeneration.load(std::memory_order_acquire);
}

std::string OrvExperimentStorage::appId() {
  std::lock_guard lock(openStore().mutex);
  return openStore().appId;
}

std::vector<OrvRecordOutcome> OrvExperimentStorage::recordExposures(
    std::vector<std::string> recordKeys, std::vector<OrvOutboxEvent> events) {
  {
    std::lock_guard lock(openStore().mutex);
    OpenStore& store = openStore();
    if (store.memoryOnly) {
      std::vector<OrvRecordOutcome> outcomes;
      for (std::size_t i = 0; i < recordKeys.size(); ++i) {
        if (!store.memoryRecords.insert(recordKeys[i]).second) {
          outcomes.push_back(OrvRecordOutcome::kAlreadyRecorded);
          continue;
        }
        outcomes.push_back(OrvRecordOutcome::kRecorded);
        store.captured.push_back(std::move(events[i]));
      }
      return outcomes;
    }
  }
  if (auto store = current()) return store->recordOnce(std::move(recordKeys), std::move(events));
  auto outbox = OrvEventOutbox::forDirectory(OrvDataDirectory::get());
  outbox->append(std::move(events));
  return std::vector<OrvRecordOutcome>(recordKeys.size(), OrvRecordOutcome::kRecorded);
}

bool OrvExperimentStorage::waitUntilChecked(std::chrono::steady_clock::time_point deadline) {
  auto store = current();
  return !store || store->waitUntilChecked(deadline);
}
