// The feature table: every feature of one payload, immutable once the parser returns it
// and replaced whole on reload.
//
// A table is flat: one array of features in key order, each pointing at its key and
// value inside the payload (which the table holds, so a payload document is kept
// exactly once and never copied), and an open-addressing index over that array. The
// experiment records live in one array of the table too. A feature reference stays
// valid as long as its table is held; lookups hand out features as shared pointers
// that share the table's ownership, so a caller keeps a valid record after a reload
// replaces the table.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "OrvExperiment/OrvValue.h"
#include "OrvExperimentInfo.h"

class OrvFeature {
 public:
  const std::string& key() const noexcept { return *key_; }
  const OrvValue& value() const noexcept { return *value_; }
  // The experiment membership that controls this feature, or null.
  const OrvExperimentInfo* experimentInfo() const noexcept { return experimentInfo_; }
  // A local override's value: it never belongs to an experiment.
  bool isOverride() const noexcept { return override_; }

 private:
  friend class OrvFeatureTable;
  friend class OrvFeatureParser;
  const std::string* key_ = nullptr;
  const OrvValue* value_ = nullptr;
  const OrvExperimentInfo* experimentInfo_ = nullptr;
  bool override_ = false;
};

class OrvFeatureTable {
 public:
  OrvFeatureTable() = default;
  OrvFeatureTable(const OrvFeatureTable&) = delete;
  OrvFeatureTable& operator=(const OrvFeatureTable&) = delete;

  // The feature of `key` (exact, case-sensitive), or null.
  const OrvFeature* find(std::string_view key) const noexcept;
  // The feature of `key`; throws std::out_of_range when there is none.
  const OrvFeature& at(std::string_view key) const;
  bool contains(std::string_view key) const noexcept { return find(key) != nullptr; }

  // The payload the table was built from (absent for none), overrides aside.
  const OrvValue& payload() const noexcept { return payload_; }

  std::size_t size() const noexcept { return features_.size(); }
  bool empty() const noexcept { return features_.empty(); }
  // In key order.
  std::vector<OrvFeature>::const_iterator begin() const noexcept { return features_.begin(); }
  std::vector<OrvFeature>::const_iterator end() const noexcept { return features_.end(); }

 private:
  friend class OrvFeatureParser;
  struct Slot {
    std::uint32_t hash = 0;   // the key's hash, low half; settles most mismatches
    std::uint32_t index = 0;  // into features_, plus one; 0 is an empty slot
  };
  static std::uint64_t hashOf(std::string_view key) noexcept;
  // Builds the index over features_; called once by the parser.
  void index();

  OrvValue payload_;    // what every key_ and value_ points into,
  OrvValue overrides_;  // or this, for an override
  std::vector<OrvFeature> features_;
  std::unique_ptr<OrvExperimentInfo[]> experiments_;
  std::vector<Slot> slots_;  // a power of two in size, at most three quarters full
};
