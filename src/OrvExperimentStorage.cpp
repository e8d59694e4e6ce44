#include "OrvExperimentStorage.h"

#include <atomic>
#include <memory>
#include <mutex>

#include "OrvExpLog.h"
#include "platform/OrvDataDirectory.h"
#include "platform/OrvUserDefaults.h"

namespace {

struct OpenStore {
  std::mutex mutex;
  // Guarded by mutex.
  std::shared_ptr<OrvUserDefaults> defaults;  // null until opened
  std::string appId;
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
  // Opened outside the lock: opening may touch the disk.
  auto opened = OrvUserDefaults::initWithSuiteName(std::string(kDomainPrefix) + appId);
  std::lock_guard lock(openStore().mutex);
  openStore().defaults = std::move(opened);
  openStore().appId = appId;
  bumpGeneration();
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
  if (auto store = current()) return store->recordOnce(std::move(recordKeys), std::move(events));
  auto outbox = OrvEventOutbox::forDirectory(OrvDataDirectory::get());
  outbox->append(std::move(events));
  return std::vector<OrvRecordOutcome>(recordKeys.size(), OrvRecordOutcome::kRecorded);
}

bool OrvExperimentStorage::waitUntilChecked(std::chrono::steady_clock::time_point deadline) {
  auto store = current();
  return !store || store->waitUntilChecked(deadline);
}
