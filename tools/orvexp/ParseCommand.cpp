// `orvexp parse FILE`: shows the feature table a payload file turns into.
#include <CLI/CLI.hpp>

#include <fstream>
#include <iostream>
#include <sstream>

#include "Commands.h"
#include "OrvFeatureParser.h"
#include "ToolSupport.h"

namespace orvexp {
namespace {

int runParse(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::cerr << "orvexp parse: " << path << ": cannot open file\n";
    return 1;
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) {
    std::cerr << "orvexp parse: " << path << ": read error\n";
    return 1;
  }
  OrvValue::ParseResult parsed = OrvValue::parseJson(text.str());
  if (!parsed.ok()) {
    std::cerr << "orvexp parse: " << path << ": " << parsed.error << "\n";
    return 1;
  }
  auto table = OrvFeatureParser::parse(parsed.value);

  std::cout << "key\tvalue\texperiment_id\tgroup_id\tcontrol\tbucket_id\n";
  for (const auto* row : sortedRows(*table)) {
    const OrvFeature& feature = *row->second;
    std::cout << row->first << '\t' << feature.value().description();
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
  std::cout << table->size() << " features\n";
  return 0;
}

}  // namespace

void setupParseCommand(CLI::App& app, int& exitCode) {
  auto* cmd = app.add_subcommand("parse", "Print the feature table of a payload file");
  auto path = std::make_shared<std::string>();
  cmd->add_option("file", *path, "Feature payload (a JSON object)")->required();
  cmd->callback([path, &exitCode] { exitCode = runParse(*path); });
}

}  // namespace orvexp
