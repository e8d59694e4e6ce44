#include "OrvFeatureParser.h"

#include <string_view>

std::shared_ptr<const OrvFeatureTable> OrvFeatureParser::parse(const OrvValue& payload) {
  auto table = std::make_shared<OrvFeatureTable>();
  if (!payload.isDictionary()) return table;

  // Feature key to the record of the experiment entry that lists it. Later entries
  // overwrite earlier ones, so the last entry listing a key wins.
  std::unordered_map<std::string_view, std::shared_ptr<const OrvExperimentInfo>> memberships;
  const OrvValue::Array& entries = payload[kExperimentDetailKey].elements();
  std::size_t listed = 0;
  for (const OrvValue& entry : entries) listed += entry["#feature_list"].size();
  memberships.reserve(listed);
  for (const OrvValue& entry : entries) {
    if (!entry.isDictionary()) continue;
    auto info = std::make_shared<OrvExperimentInfo>();
    info->setExperimentId(entry["#experiment_id"]);
    info->setExperimentGroupId(entry["#experiment_group_id"]);
    info->setIsControl(entry["#is_control_group"].boolValue());
    info->setCustomBucketId(entry["bucket_id"]);
    std::shared_ptr<const OrvExperimentInfo> shared = std::move(info);
    // The views point into the payload, which outlives this function's map.
    for (const OrvValue& key : entry["#feature_list"].elements()) {
      if (key.isString()) memberships[key.stringValue()] = shared;
    }
  }

  table->reserve(payload.size());
  for (const auto& [key, value] : payload.entries()) {
    if (key == kExperimentDetailKey) continue;
    auto feature = std::make_shared<OrvFeature>();
    feature->setValue(value);
    if (auto it = memberships.find(key); it != memberships.end()) {
      feature->setExperimentInfo(it->second);
    }
    table->emplace(key, std::move(feature));
  }
  return table;
}
