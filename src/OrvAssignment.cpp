#include "OrvAssignment.h"

#include <cstdint>
#include <set>

#include "platform/values/OrvMD5.h"

namespace OrvAssignment {
namespace {

constexpr const char* kGroups = "#groups";
constexpr std::int64_t kMaxWeight = 1'000'000;

bool isWholeWeight(const OrvValue& w) {
  return w.isNumber() && !w.isBoolean() && OrvValue(w.int64Value()) == w && w.int64Value() >= 0 &&
         w.int64Value() <= kMaxWeight;
}

// The declared weights as a membership's "#split".
OrvValue splitValue(const OrvValue& groups) {
  OrvValue::Array pairs;
  for (const OrvValue& g : groups.elements())
    if (isWholeWeight(g["weight"])) pairs.push_back(OrvValue::array({g["id"], g["weight"]}));
  return OrvValue::array(std::move(pairs));
}

int indexOf(const OrvValue& groups, const std::string& id) {
  for (std::size_t i = 0; i < groups.size(); ++i)
    if (groups.at(i)["id"].isString() && groups.at(i)["id"].stringValue() == id)
      return static_cast<int>(i);
  return -1;
}

}  // namespace

std::string identifierText(const OrvValue& v) {
  if (v.isString()) return v.stringValue();
  if (v.isNumber() && !v.isBoolean()) return v.description();
  return v.toJson();
}

std::string unitOf(const OrvValue& requestBody) {
  for (const OrvValue* v : {&requestBody["bucket_id"], &requestBody["fetch_params"]["unit_id"]}) {
    if (v->isAbsent() || v->isNull()) continue;
    std::string text = identifierText(*v);
    if (!text.empty()) return text;
  }
  return "";
}

std::string hashKey(const OrvValue& entry) {
  std::string key = identifierText(entry["#experiment_id"]);
  if (const OrvValue& seed = entry["#seed"]; !seed.isAbsent()) key += "/" + identifierText(seed);
  return key;
}

int groupIndex(const std::string& key, const std::string& unit, const OrvValue& groups) {
  std::int64_t total = 0;
  for (const OrvValue& g : groups.elements())
    if (isWholeWeight(g["weight"])) total += g["weight"].int64Value();
  if (total <= 0) return -1;
  // The first 64 bits of MD5("<key>/<unit>"), big-endian, modulo the sum of the
  // weights, walk the groups in order. Integer arithmetic only, so every language
  // reproduces it; the modulo bias is below 2^-32 for sums up to 2^32.
  const std::string digest = OrvMD5::hex(key + "/" + unit);
  if (digest.size() < 16) return -1;  // no MD5: better no group than one for everybody
  const std::uint64_t point =
      std::stoull(digest.substr(0, 16), nullptr, 16) % static_cast<std::uint64_t>(total);
  std::uint64_t cumulative = 0;
  for (std::size_t i = 0; i < groups.size(); ++i) {
    const OrvValue& w = groups.at(i)["weight"];
    if (!isWholeWeight(w)) continue;
    cumulative += static_cast<std::uint64_t>(w.int64Value());
    if (point < cumulative) return static_cast<int>(i);
  }
  return -1;
}

bool hasGroups(const OrvValue& payload) {
  for (const OrvValue& entry : payload["experiment_detail"].elements())
    if (!entry[kGroups].isAbsent()) return true;
  return false;
}

std::string problemOf(const OrvValue& payload) {
  for (const OrvValue& entry : payload["experiment_detail"].elements()) {
    const OrvValue& groups = entry[kGroups];
    if (groups.isAbsent()) continue;
    const std::string experiment = identifierText(entry["#experiment_id"]);
    const std::string where = "experiment " + experiment + ": ";
    if (!entry["#experiment_id"].isString() && !entry["#experiment_id"].isNumber())
      return "an entry with \"#groups\" has no \"#experiment_id\"";
    if (!entry["#experiment_group_id"].isAbsent())
      return where + "\"#groups\" and \"#experiment_group_id\" exclude each other";
    if (!entry["#sticky"].isAbsent() && !entry["#sticky"].isBoolean())
      return where + "\"#sticky\" must be a boolean";
    if (!entry["#seed"].isAbsent() && !entry["#seed"].isString() &&
        (!entry["#seed"].isNumber() || entry["#seed"].isBoolean()))
      return where + "\"#seed\" must be a string or a number";
    if (!groups.isArray() || groups.size() == 0)
      return where + "\"#groups\" must be a non-empty array";
    std::set<std::string> ids;
    std::int64_t total = 0;
    for (const OrvValue& g : groups.elements()) {
      if (!g.isDictionary() || !g["id"].isString() || g["id"].stringValue().empty())
        return where + "every group needs a non-empty string \"id\"";
      if (!ids.insert(g["id"].stringValue()).second)
        return where + "group \"" + g["id"].stringValue() + "\" is declared twice";
      if (!isWholeWeight(g["weight"]))
        return where + "group \"" + g["id"].stringValue() +
               "\": \"weight\" must be a whole number from 0 to 1000000";
      if (!g["control"].isAbsent() && !g["control"].isBoolean())
        return where + "group \"" + g["id"].stringValue() + "\": \"control\" must be a boolean";
      if (!g["values"].isAbsent() && !g["values"].isDictionary())
        return where + "group \"" + g["id"].stringValue() + "\": \"values\" must be an object";
      if (g["values"]["experiment_detail"].isAbsent() == false)
        return where + "a group's \"values\" cannot hold \"experiment_detail\"";
      total += g["weight"].int64Value();
    }
    if (total <= 0) return where + "the weights of \"#groups\" add up to 0";
  }
  return "";
}

OrvValue resolve(const OrvValue& payload, const std::string& unit, Memory* memory,
                 std::vector<std::string>* leftOut) {
  OrvValue::Dictionary top;
  for (const auto& [key, value] : payload.entries())
    if (key != "experiment_detail") top.emplace_back(key, value);
  OrvValue::Array detail;
  // Values a group sets replace the top-level ones; later entries win, as the client's
  // own rule for a feature listed twice.
  OrvValue::Dictionary overrides;
  for (const OrvValue& entry : payload["experiment_detail"].elements()) {
    const OrvValue& groups = entry[kGroups];
    const bool sticky = entry["#sticky"].boolValue();
    if (groups.isAbsent() || (sticky && memory == nullptr)) {
      detail.push_back(entry);
      continue;
    }
    if (unit.empty()) {
      if (leftOut) leftOut->push_back(identifierText(entry["#experiment_id"]));
      continue;
    }
    const std::string key = hashKey(entry);
    OrvValue split = splitValue(groups);
    int index = -1;
    if (sticky) {
      std::optional<Memory::Kept> kept = memory->recall(key, unit);
      index = kept ? indexOf(groups, kept->groupId) : -1;
      if (index < 0) {
        const int fresh = groupIndex(key, unit, groups);
        if (fresh < 0) continue;
        const Memory::Kept mine{groups.at(static_cast<std::size_t>(fresh))["id"].stringValue(),
                                split};
        // Another process may have kept one first: its group wins while it is declared.
        // A kept group that is no longer declared is replaced.
        kept = memory->keep(key, unit, mine, kept.has_value());
        index = indexOf(groups, kept->groupId);
        if (index < 0) {
          kept = mine;
          index = fresh;
        }
      }
      split = kept->split;
    } else {
      index = groupIndex(key, unit, groups);
    }
    if (index < 0) continue;
    const OrvValue& group = groups.at(static_cast<std::size_t>(index));
    OrvValue::Dictionary resolved;
    for (const auto& [name, value] : entry.entries())
      if (name != kGroups) resolved.emplace_back(name, value);
    resolved.emplace_back("#experiment_group_id", group["id"]);
    resolved.emplace_back("#is_control_group", OrvValue(group["control"].boolValue()));
    resolved.emplace_back("#split", std::move(split));
    if (entry["bucket_id"].isAbsent()) resolved.emplace_back("bucket_id", OrvValue(unit));
    if (entry["#feature_list"].isAbsent()) {
      OrvValue::Array keys;
      for (const auto& [name, value] : group["values"].entries()) keys.emplace_back(name);
      resolved.emplace_back("#feature_list", OrvValue::array(std::move(keys)));
    }
    for (const auto& [name, value] : group["values"].entries()) overrides.emplace_back(name, value);
    detail.push_back(OrvValue::dictionary(std::move(resolved)));
  }
  for (auto& entry : overrides) top.push_back(std::move(entry));  // dictionary(): last wins
  if (!payload["experiment_detail"].isAbsent())
    top.emplace_back("experiment_detail", OrvValue::array(std::move(detail)));
  return OrvValue::dictionary(std::move(top));
}

OrvValue withoutGroups(const OrvValue& payload) {
  OrvValue::Dictionary top;
  for (const auto& [key, value] : payload.entries()) {
    if (key != "experiment_detail" || !value.isArray()) {
      top.emplace_back(key, value);
      continue;
    }
    OrvValue::Array detail;
    for (const OrvValue& entry : value.elements())
      if (entry[kGroups].isAbsent()) detail.push_back(entry);
    top.emplace_back(key, OrvValue::array(std::move(detail)));
  }
  return OrvValue::dictionary(std::move(top));
}

std::vector<std::pair<std::string, double>> splitOf(const OrvValue& payload,
                                                    const std::string& experimentId) {
  std::vector<std::pair<std::string, double>> split;
  for (const OrvValue& entry : payload["experiment_detail"].elements()) {
    if (entry[kGroups].isAbsent() || identifierText(entry["#experiment_id"]) != experimentId)
      continue;
    split.clear();  // the last declaration wins, as it does for the features
    for (const OrvValue& g : entry[kGroups].elements())
      if (isWholeWeight(g["weight"]))
        split.emplace_back(g["id"].stringValue(), static_cast<double>(g["weight"].int64Value()));
  }
  return split;
}

std::optional<double> intendedShare(const OrvValue& split, const std::string& groupId) {
  if (!split.isArray()) return std::nullopt;
  std::int64_t total = 0;
  std::optional<std::int64_t> mine;
  for (const OrvValue& pair : split.elements()) {
    if (!pair.isArray() || pair.size() != 2 || !pair.at(0).isString() ||
        pair.at(0).stringValue().empty() || !isWholeWeight(pair.at(1)))
      return std::nullopt;
    total += pair.at(1).int64Value();
    if (pair.at(0).stringValue() == groupId) mine = pair.at(1).int64Value();
  }
  if (!mine || total <= 0) return std::nullopt;
  return static_cast<double>(*mine) / static_cast<double>(total);
}

}  // namespace OrvAssignment
