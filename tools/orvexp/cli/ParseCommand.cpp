// `orvexp parse FILE`: shows the feature table a payload file turns into.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <CLI/CLI.hpp>

#include <filesystem>
#include <iostream>
#include <vector>

#include "OrvAssignment.h"
#include "OrvFeatureParser.h"
#include "OrvRCResponse.h"
#include "OrvRCTransport.h"
#include "cli/Commands.h"
#include "cli/ToolSupport.h"

namespace orvexp {
namespace {

// What the parser passes over without a word: entries that are not objects, list
// elements that are not strings, listed keys that are not features.
std::vector<std::string> skippedParts(const OrvValue& payload) {
  std::vector<std::string> warnings;
  const std::string name = OrvFeatureParser::kExperimentDetailKey;
  const OrvValue& detail = payload[name];
  if (!detail.isAbsent() && !detail.isArray())
    warnings.push_back(name + " is not an array: no feature belongs to an experiment");
  for (std::size_t i = 0; i < detail.elements().size(); ++i) {
    const OrvValue& entry = detail.at(i);
    const std::string where = name + "[" + std::to_string(i) + "]";
    if (!entry.isDictionary()) {
      warnings.push_back(where + " is not an object: skipped");
      continue;
    }
    const OrvValue& list = entry["#feature_list"];
    if (!list.isArray()) warnings.push_back(where + " has no #feature_list array: lists nothing");
    for (std::size_t j = 0; j < list.elements().size(); ++j) {
      const OrvValue& key = list.at(j);
      if (!key.isString()) {
        warnings.push_back(where + ".#feature_list[" + std::to_string(j) + "] " + key.toJson() +
                           " is not a string: skipped");
      } else if (key.stringValue() == name || payload[key.stringValue()].isAbsent()) {
        warnings.push_back(where + " lists \"" + key.stringValue() +
                           "\", which is not a feature: skipped");
      }
    }
  }
  return warnings;
}

int runParse(const std::string& path, const std::string& unit) {
  std::error_code error;
  if (std::filesystem::is_directory(path, error)) {
    printError(
        "parse",
        path + ": is a directory; give a payload file, such as DIR/<app_id>/ki_feature.json");
    return 1;
  }
  // Read and judged as the library fetches a file:// URL, so a file it would refuse
  // fails here with the library's failure code and message.
  OrvRCRequest request;
  request.serverUrl = "file://" + path;
  OrvRCFetchOutcome outcome = OrvRCResponse::interpret(OrvRCTransport::fetch(request));
  if (!outcome.success) {
    printError("parse", path + ": " + outcome.message + " (failure code " +
                            std::to_string(outcome.code) + ")");
    return 1;
  }
  for (const std::string& warning : skippedParts(outcome.payload))
    printError("parse", path + ": warning: " + warning);
  OrvValue payload = outcome.payload;
  if (OrvAssignment::hasGroups(payload)) {
    // Resolved as the library resolves what it loads, so this shows what the unit gets.
    if (const std::string problem = OrvAssignment::problemOf(payload); !problem.empty()) {
      printError("parse", path + ": warning: \"#groups\" cannot be used (" + problem +
                              "): their experiments are left out");
      payload = OrvAssignment::withoutGroups(payload);
    } else {
      OrvAssignment::FirstTime memory;  // as on the unit's first launch
      std::vector<std::string> leftOut;
      payload = OrvAssignment::resolve(payload, unit, &memory, &leftOut);
      for (const std::string& id : leftOut)
        printError("parse", path + ": warning: experiment " + id +
                                " assigns weighted groups: give --unit to see what a unit gets");
    }
  }
  auto table = OrvFeatureParser::parse(payload);

  std::cout << "key\tvalue\texperiment_id\tgroup_id\tcontrol\tbucket_id\n";
  for (const OrvFeature& feature : *table) {  // in key order
    std::cout << feature.key() << '\t' << feature.value().description();
    if (const auto& info = feature.experimentInfo()) {
      std::cout << '\t' << info->experimentId().description() << '\t'
                << info->experimentGroupId().description() << '\t'
                << (info->isControl() ? "yes" : "no") << '\t'
                << info->customBucketId().description();
    } else {
      std::cout << "\t-\t-\t-\t-";
    }
    std::cout << '\n';
  }
  std::cout << table->size() << (table->size() == 1 ? " feature\n" : " features\n");
  return 0;
}

}  // namespace

void setupParseCommand(CLI::App& app, int& exitCode) {
  auto* cmd = app.add_subcommand("parse", "Print the feature table of a payload file");
  auto path = std::make_shared<std::string>();
  auto unit = std::make_shared<std::string>();
  cmd->add_option("file", *path, "Feature payload (a JSON object)")->required();
  cmd->add_option("--unit", *unit,
                  "The unit (bucket identifier) whose groups to show, for weighted \"#groups\"");
  cmd->callback([path, unit, &exitCode] { exitCode = runParse(*path, *unit); });
}

}  // namespace orvexp
