#include "platform/storage/OrvUserDefaults.h"

#include "platform/files/OrvDataDirectory.h"
#include "platform/storage/OrvDefaultsDatabase.h"

OrvUserDefaults::OrvUserDefaults(std::shared_ptr<OrvDefaultsDatabase> db, std::string suite)
    : db_(std::move(db)), suite_(std::move(suite)) {}

OrvUserDefaults::~OrvUserDefaults() = default;

void OrvUserDefaults::setLogChannel(const OrvLogChannel* log) {
  OrvDefaultsDatabase::setLogChannel(log);
  OrvDataDirectory::setLogChannel(log);
}

std::shared_ptr<OrvUserDefaults> OrvUserDefaults::initWithSuiteName(const std::string& suiteName) {
  return std::make_shared<OrvUserDefaults>(
      OrvDefaultsDatabase::forDirectory(OrvDataDirectory::get()), suiteName);
}

void OrvUserDefaults::setBool(bool value, const std::string& key) {
  db_->put(suite_, key, OrvValue(value));
}

void OrvUserDefaults::setObject(const OrvValue& value, const std::string& key) {
  db_->put(suite_, key, value);
}

OrvValue OrvUserDefaults::objectForKeyOrSet(const OrvValue& value, const std::string& key) {
  return db_->putIfAbsent(suite_, key, value);
}

void OrvUserDefaults::removeObjectForKey(const std::string& key) {
  db_->put(suite_, key, OrvValue());
}

OrvValue OrvUserDefaults::objectForKey(const std::string& key) const {
  return db_->get(suite_, key);
}

bool OrvUserDefaults::boolForKey(const std::string& key) const {
  return objectForKey(key).boolValue();
}

std::optional<std::string> OrvUserDefaults::stringForKey(const std::string& key) const {
  const OrvValue v = objectForKey(key);
  if (v.isString()) return v.stringValue();
  if (v.isNumber()) return v.description();
  return std::nullopt;
}

std::map<std::string, OrvValue> OrvUserDefaults::dictionaryRepresentation() const {
  return db_->all(suite_);
}

std::vector<OrvRecordOutcome> OrvUserDefaults::recordOnce(std::vector<std::string> keys,
                                                          std::vector<OrvOutboxEvent> events) {
  std::vector<OrvDefaultsDatabase::Record> records;
  records.reserve(keys.size());
  for (std::size_t i = 0; i < keys.size() && i < events.size(); ++i)
    records.push_back({std::move(keys[i]), std::move(events[i])});
  return db_->recordOnce(suite_, std::move(records));
}

bool OrvUserDefaults::isPersistent() const { return db_->isPersistent(); }

bool OrvUserDefaults::waitUntilChecked(std::chrono::steady_clock::time_point deadline) const {
  return db_->waitUntilChecked(deadline);
}
