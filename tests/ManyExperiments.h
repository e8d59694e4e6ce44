// A payload of `count` features "<key>0".."<key><count-1>" (integer values), each in an
// experiment of its own ("<id>0", ... with group "g"): every read of a new key is a
// first-time exposure. Shared by the exit tests' helper and the benchmarks.
#pragma once

#include <string>

inline std::string manyExperiments(int count, const std::string& key = "k",
                                   const std::string& id = "e") {
  std::string out = "{";
  std::string detail = "\"experiment_detail\":[";
  for (int i = 0; i < count; ++i) {
    const std::string n = std::to_string(i);
    out += "\"" + key + n + "\":" + n + ",";
    detail += std::string(i ? "," : "") + "{\"#experiment_id\":\"" + id + n +
              "\",\"#experiment_group_id\":\"g\",\"#feature_list\":[\"" + key + n + "\"]}";
  }
  return out + detail + "]}";
}
