// `orvexp report --events DB [--dir PAYLOADS] [--expect EXP=GROUP:WEIGHT,...] [--json]`:
// the sample-ratio-mismatch check of every experiment in the collector's store, then the
// readout of its outcomes (OrvReadout).
// `orvexp events export --events DB [--out FILE]`: the stored events as JSON lines, each
// with its context (unit, split, intended share) when it has one.
// Neither creates a store that is not there.
#include <CLI/CLI.hpp>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>

#include "analysis/OrvReadout.h"
#include "analysis/OrvSrm.h"
#include "cli/Commands.h"
#include "cli/ToolSupport.h"
#include "collector/OrvEventStore.h"

namespace orvexp {
namespace {

constexpr int kAlarmExitCode = 7;

// "EXP=GROUP:WEIGHT,GROUP:WEIGHT" into the experiment and its split; "" when it parses,
// else what is wrong.
std::string parseExpect(const std::string& text, std::string* experiment, OrvIntendedSplit* split) {
  const std::size_t equals = text.find('=');
  if (equals == std::string::npos || equals == 0)
    return text + ": expected EXPERIMENT=GROUP:WEIGHT,GROUP:WEIGHT...";
  *experiment = text.substr(0, equals);
  split->clear();
  double sum = 0;
  std::size_t start = equals + 1;
  while (start <= text.size()) {
    std::size_t comma = text.find(',', start);
    if (comma == std::string::npos) comma = text.size();
    const std::string item = text.substr(start, comma - start);
    const std::size_t colon = item.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == item.size())
      return text + ": \"" + item + "\" is not GROUP:WEIGHT";
    const std::string weightText = item.substr(colon + 1);
    char* end = nullptr;
    const double weight = std::strtod(weightText.c_str(), &end);
    if (*end != '\0' || !std::isfinite(weight) || weight < 0)
      return text + ": the weight of \"" + item + "\" is not a finite number >= 0";
    split->emplace_back(item.substr(0, colon), weight);
    sum += weight;
    start = comma + 1;
  }
  if (!(sum > 0)) return text + ": no group has a positive weight";
  return "";
}

struct ReportOptions {
  std::string events;
  std::string dir;
  std::vector<std::string> expect;
  bool json = false;
  OrvReadoutOptions readout;
};

int runReport(const ReportOptions& o) {
  OrvSplitSource source;
  source.payloadDir = o.dir;
  for (const auto& text : o.expect) {
    std::string experiment;
    OrvIntendedSplit split;
    parseExpect(text, &experiment, &split);  // checked when the options were parsed
    source.expected[experiment] = split;
  }
  std::string error;
  const auto store = OrvEventStore::open(o.events, &error, false);
  if (!store) {
    printError("report", error);
    return 1;
  }
  const std::vector<OrvSrmCheck> checks = orvSrmChecks(*store, source);
  const std::vector<OrvExperimentReadout> readouts =
      orvReadouts(store->outcomeStatistics(), o.readout);
  bool alarm = false;
  for (const auto& c : checks) alarm = alarm || c.alarm;
  if (o.json) {
    OrvValue::Array list;
    for (const auto& c : checks) list.push_back(c.toValue());
    OrvValue::Array outcomes;
    for (const auto& r : readouts) {
      OrvValue::Dictionary entry = {{"app_id", OrvValue(r.appId)},
                                    {"experiment_id", OrvValue(r.experimentId)}};
      const OrvValue readout = r.toValue(o.readout);  // outlives the loop over its entries
      for (const auto& field : readout.entries()) entry.push_back(field);
      outcomes.push_back(OrvValue::dictionary(std::move(entry)));
    }
    std::cout << OrvValue::dictionary({{"experiments", OrvValue::array(std::move(list))},
                                       {"readouts", OrvValue::array(std::move(outcomes))}})
                     .toJson()
              << "\n";
  } else if (checks.empty()) {
    std::cout << "no exposures stored in " << o.events << "\n";
  } else {
    if (o.readout.fixedHorizon) std::cout << "warning: " << kOrvFixedHorizonWarning << "\n\n";
    for (std::size_t i = 0; i < checks.size(); ++i) {
      if (i) std::cout << "\n";
      printSrmCheck(std::cout, checks[i]);
      // The split first: a readout of groups that are not comparable means nothing.
      for (const auto& r : readouts)
        if (r.appId == checks[i].appId && r.experimentId == checks[i].experimentId)
          printReadout(std::cout, r, o.readout);
    }
  }
  std::cout.flush();
  return alarm ? kAlarmExitCode : 0;
}

int runExport(const std::string& events, const std::string& outFile) {
  std::string error;
  const auto store = OrvEventStore::open(events, &error, false);
  if (!store) {
    printError("events export", error);
    return 1;
  }
  std::ofstream file;
  if (!outFile.empty()) {
    file.open(outFile, std::ios::binary | std::ios::trunc);
    if (!file) {
      printError("events export", "cannot write " + outFile);
      return 1;
    }
  }
  std::ostream& out = outFile.empty() ? std::cout : file;
  if (!store->exportJsonLines(out, &error)) {
    printError("events export", error + (outFile.empty() ? "" : " to " + outFile));
    return 1;
  }
  return 0;
}

}  // namespace

void setupReportCommand(CLI::App& app, int& exitCode) {
  auto* cmd = app.add_subcommand(
      "report",
      "Check every experiment in the collector's store for a sample ratio mismatch (exit 7 "
      "on an alarm)");
  auto o = std::make_shared<ReportOptions>();
  cmd->add_option("--events", o->events, "The store of orvexp serve --events")->required();
  cmd->add_option("--dir", o->dir,
                  "The served payload directory: exposures that carried no split, of an "
                  "experiment whose payload declares its groups (\"#groups\"), are checked "
                  "against their weights")
      ->check(CLI::ExistingDirectory);
  // One split per --expect, as get takes one KEY=JSON per --override.
  cmd->add_option("--expect", o->expect,
                  "EXPERIMENT=GROUP:WEIGHT,GROUP:WEIGHT...: the intended split of every "
                  "exposure of an experiment (before the splits they carried and --dir); "
                  "repeat the option for more; otherwise each exposure is judged against the "
                  "split it carried, else --dir's, else equal shares")
      ->allow_extra_args(false)
      ->check(CLI::Validator(
          [](std::string& text) {
            std::string experiment;
            OrvIntendedSplit split;
            return parseExpect(text, &experiment, &split);
          },
          "EXP=GROUP:WEIGHT,..."));
  cmd->add_flag("--fixed-horizon", o->readout.fixedHorizon,
                "The readout's classical intervals, valid only when looked at once (by "
                "default they are always valid: looking every day keeps their promise)");
  cmd->add_option("--expected-units", o->readout.expectedUnits,
                  "The always-valid readout is narrowest when the two groups compared hold "
                  "this many units together (default 10000)")
      ->check(CLI::Range(1.0, 1e12));
  cmd->add_option("--alpha", o->readout.alpha, "1 - the intervals' level (default 0.05)")
      ->check(CLI::Range(1e-9, 0.5));
  cmd->add_flag("--json", o->json,
                "Print one JSON object: {\"experiments\": [...]}, each with its groups, "
                "where its intended split came from, chi-square, design effect, p-value, "
                "judged, alarm and verdict");
  cmd->callback([o, &exitCode] { exitCode = runReport(*o); });
}

void setupEventsCommand(CLI::App& app, int& exitCode) {
  auto* cmd = app.add_subcommand("events", "Work with the collector's store of events");
  cmd->require_subcommand(1);
  auto* exportCmd = cmd->add_subcommand(
      "export",
      "Print every stored event as a JSON line, in the order they were stored, with its "
      "context (unit, split, intended share) when it carried one");
  struct Options {
    std::string events;
    std::string out;
  };
  auto o = std::make_shared<Options>();
  exportCmd->add_option("--events", o->events, "The store of orvexp serve --events")->required();
  exportCmd->add_option("--out", o->out, "Write to this file instead of standard output");
  exportCmd->callback([o, &exitCode] { exitCode = runExport(o->events, o->out); });
}

}  // namespace orvexp
