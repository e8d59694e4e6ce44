#include "OrvFeatureParser.h"

#include <algorithm>
#include <functional>
#include <stdexcept>
#include <string_view>

#include "platform/values/OrvValueNode.h"

std::uint64_t OrvFeatureTable::hashOf(std::string_view key) noexcept {
  return std::hash<std::string_view>{}(key);
}

void OrvFeatureTable::index() {
  // At most three quarters full: probes stay short and the index small.
  std::size_t capacity = 16;
  while (capacity * 3 < features_.size() * 4) capacity *= 2;
  slots_.assign(capacity, Slot{});
  const std::size_t mask = capacity - 1;
  for (std::size_t i = 0; i < features_.size(); ++i) {
    const std::uint64_t hash = hashOf(features_[i].key());
    std::size_t at = hash & mask;
    while (slots_[at].index != 0) at = (at + 1) & mask;
    slots_[at] = Slot{static_cast<std::uint32_t>(hash), static_cast<std::uint32_t>(i + 1)};
  }
}

const OrvFeature* OrvFeatureTable::find(std::string_view key) const noexcept {
  if (slots_.empty()) return nullptr;
  const std::uint64_t hash = hashOf(key);
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t at = hash & mask;; at = (at + 1) & mask) {
    const Slot slot = slots_[at];
    if (slot.index == 0) return nullptr;
    if (slot.hash == static_cast<std::uint32_t>(hash)) {
      const OrvFeature& feature = features_[slot.index - 1];
      if (feature.key() == key) return &feature;
    }
  }
}

const OrvFeature& OrvFeatureTable::at(std::string_view key) const {
  if (const OrvFeature* feature = find(key)) return *feature;
  throw std::out_of_range("no feature " + std::string(key));
}

std::shared_ptr<const OrvFeatureTable> OrvFeatureParser::parse(const OrvValue& payload,
                                                               const OrvFeatureTable* previous,
                                                               const OrvValue& overrides,
                                                               OrvOverrideMode mode) {
  auto table = std::make_shared<OrvFeatureTable>();
  if (overrides.isDictionary() && overrides.size() > 0) table->overrides_ = overrides;
  const bool remote = mode != OrvOverrideMode::kLocalOnly && payload.isDictionary();
  if (!remote && table->overrides_.isAbsent()) return table;
  if (remote) table->payload_ = payload;
  const OrvValue::Dictionary& fromPayload = table->payload_.entries();
  const OrvValue::Dictionary& fromOverrides = table->overrides_.entries();

  // Both lists are sorted and unique: a merge keeps the features so, and a key both
  // hold takes the side `mode` prefers.
  table->features_.reserve(fromPayload.size() + fromOverrides.size());
  auto add = [&](const OrvValue::Entry& entry, bool isOverride) {
    if (entry.first == kExperimentDetailKey) return;
    OrvFeature& feature = table->features_.emplace_back();
    feature.key_ = &entry.first;
    feature.value_ = &entry.second;
    feature.override_ = isOverride;
  };
  const bool localWins = mode != OrvOverrideMode::kRemoteOverLocal;
  auto p = fromPayload.begin();
  auto o = fromOverrides.begin();
  while (p != fromPayload.end() || o != fromOverrides.end()) {
    if (o == fromOverrides.end() || (p != fromPayload.end() && p->first < o->first)) {
      add(*p++, false);
    } else if (p == fromPayload.end() || o->first < p->first) {
      add(*o++, true);
    } else {
      add(localWins ? *o : *p, localWins);
      ++p;
      ++o;
    }
  }
  table->index();
  if (!remote) return table;
  const OrvValue& root = table->payload_;

  // Each experiment entry that lists a key becomes one record, shared by every feature
  // it lists; a key listed by several entries belongs to the last of them. Records are
  // made only for those entries (one that lists no key would be no feature's), so what
  // the table allocates stays within what parseJson() counted for the payload.
  static_assert(
      sizeof(OrvFeature) + 8 * sizeof(OrvFeatureTable::Slot) / 3 + 1 <= kTableBytesPerFeature,
      "the JSON budget's margin for a feature");
  static_assert(sizeof(OrvExperimentInfo) <= kTableBytesPerExperiment,
                "the JSON budget's margin for an experiment record");
  static_assert(std::string_view(R"({"#feature_list":[""]})").size() >= kExperimentEntryMinBytes,
                "the least text of an entry that lists a key");
  const auto listsAKey = [](const OrvValue& entry) {
    const OrvValue::Array& keys = entry["#feature_list"].elements();
    return std::any_of(keys.begin(), keys.end(), [](const OrvValue& k) { return k.isString(); });
  };
  const OrvValue::Array& entries = root[kExperimentDetailKey].elements();
  table->experiments_ = std::make_unique<OrvExperimentInfo[]>(
      static_cast<std::size_t>(std::count_if(entries.begin(), entries.end(), listsAKey)));
  std::size_t used = 0;
  for (const OrvValue& entry : entries) {
    if (!listsAKey(entry)) continue;
    OrvExperimentInfo& info = table->experiments_[used++];
    info.setExperimentId(entry["#experiment_id"]);
    info.setExperimentGroupId(entry["#experiment_group_id"]);
    info.setIsControl(entry["#is_control_group"].boolValue());
    info.setCustomBucketId(entry["bucket_id"]);
    info.setSplit(entry["#split"]);
    bool carried = previous == nullptr;
    for (const OrvValue& key : entry["#feature_list"].elements()) {
      if (!key.isString()) continue;
      if (!carried) {
        // The first listed key that had a record in the previous table tells whether
        // that was this record (the same exposure key) and what it knew of it.
        const OrvFeature* before = previous->find(key.stringValue());
        if (const OrvExperimentInfo* was = before ? before->experimentInfo() : nullptr) {
          carried = true;
          if (was->recordedGeneration() != 0 &&
              was->exposureKeyString() == info.exposureKeyString())
            info.setRecordedGeneration(was->recordedGeneration());
        }
      }
      // Found through the table's own (const) index; the table is still private here.
      const OrvFeature* feature = table->find(key.stringValue());
      if (feature && !feature->isOverride())
        const_cast<OrvFeature*>(feature)->experimentInfo_ = &info;
    }
  }
  return table;
}
