#include "OrvFeatureParser.h"

#include <string_view>
#include <vector>

std::shared_ptr<const OrvFeatureTable> OrvFeatureParser::parse(const OrvValue& payload) {
  auto table = std::make_shared<OrvFeatureTable>();
  if (!payload.isDictionary()) return table;

  // Feature key to the record of the experiment entry that lists it (an index into
  // `infos`). Later entries overwrite earlier ones, so the last entry listing a key wins.
  std::vector<std::shared_ptr<const OrvExperimentInfo>> infos;
  std::unordered_map<std::string_view, std::size_t> memberships;
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
    infos.push_back(std::move(info));
    // The views point into the payload, which outlives this function's map.
    for (const OrvValue& key : entry["#feature_list"].elements()) {
      if (key.isString()) memberships[key.stringValue()] = infos.size() - 1;
    }
  }

  // All features of a table live in one block; the table's entries share its
  // ownership, so a feature handed out keeps the block (and nothing else) alive.
  struct FeatureBlock {
    std::vector<OrvFeature> features;
  };
  auto block = std::make_shared<FeatureBlock>();
  block->features.reserve(payload.size());  // no reallocation: entries point into it
  table->reserve(payload.size());
  for (const auto& [key, value] : payload.entries()) {
    if (key == kExperimentDetailKey) continue;
    OrvFeature& feature = block->features.emplace_back();
    feature.setValue(value);
    if (auto it = memberships.find(key); it != memberships.end()) {
      feature.setExperimentInfo(infos[it->second]);
    }
    table->emplace(key, std::shared_ptr<const OrvFeature>(block, &feature));
  }
  return table;
}
