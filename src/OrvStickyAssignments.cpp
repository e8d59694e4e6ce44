#include "OrvStickyAssignments.h"

#include <map>
#include <mutex>
#include <utility>

#include "OrvExperimentStorage.h"
#include "platform/storage/OrvUserDefaults.h"

namespace {

struct InMemory {
  std::mutex mutex;
  std::map<std::string, OrvValue> rows;  // guarded by mutex; key: app, then row key
};

InMemory& inMemory() {
  static InMemory* rows = new InMemory();  // never released: used until exit
  return *rows;
}

std::string rowKey(const std::string& experiment, const std::string& unit) {
  return OrvValue::array({OrvValue(experiment), OrvValue(unit)}).toJson();
}

OrvValue rowOf(const OrvAssignment::Memory::Kept& kept) {
  return OrvValue::dictionary({{"group", OrvValue(kept.groupId)}, {"split", kept.split}});
}

std::optional<OrvAssignment::Memory::Kept> keptOf(const OrvValue& row) {
  if (!row["group"].isString()) return std::nullopt;  // absent, or not a row of ours
  return OrvAssignment::Memory::Kept{row["group"].stringValue(), row["split"]};
}

}  // namespace

OrvStickyAssignments::OrvStickyAssignments(std::string appId)
    : appId_(std::move(appId)), memoryOnly_(OrvExperimentStorage::memoryOnly()) {}

OrvStickyAssignments::~OrvStickyAssignments() = default;

OrvUserDefaults* OrvStickyAssignments::suite() {
  if (!suite_) suite_ = OrvUserDefaults::initWithSuiteName(kSuitePrefix + appId_);
  return suite_.get();
}

std::optional<OrvAssignment::Memory::Kept> OrvStickyAssignments::recall(
    const std::string& experiment, const std::string& unit) {
  const std::string key = rowKey(experiment, unit);
  if (memoryOnly_) {
    std::lock_guard lock(inMemory().mutex);
    const auto it = inMemory().rows.find(appId_ + '\n' + key);
    return it == inMemory().rows.end() ? std::nullopt : keptOf(it->second);
  }
  OrvUserDefaults* defaults = suite();
  return defaults ? keptOf(defaults->objectForKey(key)) : std::nullopt;
}

OrvAssignment::Memory::Kept OrvStickyAssignments::keep(const std::string& experiment,
                                                       const std::string& unit, const Kept& kept,
                                                       bool replace) {
  const std::string key = rowKey(experiment, unit);
  if (memoryOnly_) {
    std::lock_guard lock(inMemory().mutex);
    OrvValue& row = inMemory().rows[appId_ + '\n' + key];
    if (replace || !keptOf(row)) row = rowOf(kept);
    return *keptOf(row);
  }
  OrvUserDefaults* defaults = suite();
  if (!defaults) return kept;
  if (replace) {
    defaults->setObject(rowOf(kept), key);
    return kept;
  }
  return keptOf(defaults->objectForKeyOrSet(rowOf(kept), key)).value_or(kept);
}

void OrvStickyAssignments::forgetInMemory() {
  std::lock_guard lock(inMemory().mutex);
  inMemory().rows.clear();
}
