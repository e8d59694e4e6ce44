// One feature: the payload's value under the feature key, held by reference, and the
// experiment membership that controls it, if any. Immutable once published in a
// feature table; shared by the table and by every caller that looked it up, so a
// caller keeps a valid record after a reload replaces the table.
#pragma once

#include <memory>
#include <string>
#include <unordered_map>

#include "OrvExperiment/OrvValue.h"
#include "OrvExperimentInfo.h"

class OrvFeature {
 public:
  const OrvValue& value() const noexcept { return value_; }
  void setValue(OrvValue v) { value_ = std::move(v); }

  const std::shared_ptr<const OrvExperimentInfo>& experimentInfo() const noexcept {
    return experimentInfo_;
  }
  void setExperimentInfo(std::shared_ptr<const OrvExperimentInfo> info) {
    experimentInfo_ = std::move(info);
  }

 private:
  OrvValue value_;
  std::shared_ptr<const OrvExperimentInfo> experimentInfo_;
};

// Feature key (exact, case-sensitive) to feature. A table is never changed after the
// parser returns it; it is replaced whole.
using OrvFeatureTable = std::unordered_map<std::string, std::shared_ptr<const OrvFeature>>;
