// `orvexp demo [--data-dir D] [--devices N]`: the whole start-read-expose-fetch flow
// against the reference server on a loopback port, with the bundled example payload;
// then the experiment loop: N devices (separate processes) assigned to groups by the
// server, their exposures counted per group and checked for a sample ratio mismatch,
// once healthy and once with a faulty client; the healthy devices also record purchases,
// green's more often than control's, and the demo ends with their readout.
#include <CLI/CLI.hpp>

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <random>
#include <sstream>
#include <vector>

#include "DemoPayload.h"
#include "OrvAssignment.h"
#include "OrvExperiment/OrvExperiment.h"
#include "OrvExperiment/OrvPlatform.h"
#include "OrvFeatureManager.h"
#include "OrvMediator.h"
#include "analysis/OrvReadout.h"
#include "analysis/OrvSrm.h"
#include "cli/Commands.h"
#include "cli/DemoFleet.h"
#include "cli/ToolSupport.h"
#include "collector/OrvEventStore.h"
#include "payloads/OrvPayloadDirectory.h"
#include "server/OrvConfigServer.h"

namespace orvexp {
namespace {

constexpr const char* kDemoApp = "demo-app";
constexpr auto kTimeout = std::chrono::seconds(10);
constexpr const char* kExperiment = "checkout-button";

// What the healthy fleet's devices do after reading: a device converts with its group's
// rate, and records a purchase. Each device's draw is fixed in advance from the seed, so
// the purchases, and the readout, are the same on every run whatever order the devices
// finish in.
constexpr const char* kOutcome = "purchase";
constexpr std::uint64_t kOutcomeSeed = 20240611;
const std::map<std::string, double>& conversionRates() {
  static const std::map<std::string, double> rates = {{"control", 0.40}, {"green", 0.60}};
  return rates;
}

// Log lines and events come from library threads. They wait in `pending` until the
// step that caused them has been printed and its work has run (settle()), so the
// output reads in order: each read, then what it logged and sent. A step that reads a
// key four ways logs its exposure outcome four times; each line is shown once.
std::mutex outputMutex;
std::vector<std::string> pending;  // guarded by outputMutex
void say(const std::string& line) {
  std::lock_guard lock(outputMutex);
  std::cout << line << std::endl;
}
void later(std::string line) {
  std::lock_guard lock(outputMutex);
  pending.push_back(std::move(line));
}
bool settle() {
  const bool drained = OrvExperiment::flush(kTimeout);
  std::lock_guard lock(outputMutex);
  std::vector<std::string> shown;
  for (const std::string& line : pending) {
    if (std::find(shown.begin(), shown.end(), line) != shown.end()) continue;
    std::cout << line << '\n';
    shown.push_back(line);
  }
  pending.clear();
  std::cout.flush();
  return drained;
}

bool writePayload(const std::string& dir, const std::string& json,
                  const std::string& app = kDemoApp) {
  const std::string path = OrvPayloadDirectory::payloadPath(dir, app, "ki_feature");
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  const std::string temp = path + ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << json;
    if (!out) return false;
  }
  std::error_code error;
  std::filesystem::rename(temp, path, error);
  return !error;
}

// The example payload with a few values changed, as a second version on the server.
std::string changedPayload() {
  OrvValue original = OrvValue::parseJson(kDemoPayload).value;
  OrvValue::Dictionary entries = original.entries();
  for (auto& [key, value] : entries) {
    if (key == "color") value = OrvValue("blue");
    if (key == "limit") value = OrvValue(30);
  }
  entries.emplace_back("new_feature", OrvValue("hello"));
  return OrvValue::dictionary(std::move(entries)).toJson();
}

int fail(const std::string& why) {
  printError("demo", why);
  return 1;
}

// The experiment loop: `devices` devices of `app` read the assigned payload's feature,
// then the collector's counts and the mismatch check of its experiment are printed.
// A faulty fleet drops the exposures of every other device in the group "green"; a
// fleet with `purchases` converts at conversionRates(). False when a device failed or the
// check came out otherwise than `expectAlarm`.
bool runFleetOf(const std::string& app, bool faulty, bool purchases, bool expectAlarm, int devices,
                const OrvConfigServer& server, const std::string& payloadDir,
                const std::string& scratch, const std::string& eventsPath) {
  const std::string experiment = kExperiment;
  if (!writePayload(payloadDir, kAssignedPayload, app)) return fail("cannot write " + app) == 0;
  const OrvValue payload = OrvValue::parseJson(kAssignedPayload).value;
  OrvValue groups;
  for (const OrvValue& entry : payload["experiment_detail"].elements())
    if (entry["#experiment_id"].stringValue() == experiment) groups = entry["#groups"];
  FleetRun run;
  run.orvexp = "/proc/self/exe";
  run.serverUrl = server.url();
  run.appId = app;
  run.dataRoot = scratch + "/" + app;
  run.devices = devices;
  run.key = "button_color";
  int dropped = 0;
  int greens = 0;
  if (faulty) {
    run.exports = [&](const std::string& unit) {
      const int index = OrvAssignment::groupIndex(experiment, unit, groups);
      if (groups.at(static_cast<std::size_t>(index))["id"].stringValue() != "green") return true;
      const bool keep = ++greens % 2 == 1;
      if (!keep) ++dropped;
      return keep;
    };
  }
  std::vector<double> draws;
  int converted = 0;
  if (purchases) {
    // Device N's draw is the Nth of the seed's sequence, 53 bits of each 64-bit output: the
    // same on every platform (the distributions of <random> are not).
    std::mt19937_64 engine(kOutcomeSeed);
    for (int i = 0; i <= devices; ++i)
      draws.push_back(static_cast<double>(engine() >> 11) * 0x1p-53);
    run.outcome = kOutcome;
    // By the group the device was shown, as its get printed it.
    run.converts = [&](int device, const std::string& shown) {
      const OrvValue read = OrvValue::parseJson(shown.substr(0, shown.find('\n'))).value;
      const auto rate = conversionRates().find(read["experiment"]["group_id"].stringValue());
      const bool converts = rate != conversionRates().end() &&
                            draws.at(static_cast<std::size_t>(device)) < rate->second;
      converted += converts;
      return converts;
    };
  }
  std::filesystem::create_directories(run.dataRoot);
  say("\n== " + std::to_string(devices) + " devices of " + app +
      (faulty ? " (faulty: half of group green's exposures never leave the device)" : "") +
      ": each a separate orvexp get with its own data directory and --bucket-id device-N" +
      (purchases ? "; then each converts with its group's rate and records a purchase with "
                   "orvexp track"
                 : ""));
  std::string problem;
  if (runFleet(run, &problem) != 0) return fail(problem) == 0;
  if (faulty) say("  exposures dropped by the faulty client: " + std::to_string(dropped));
  if (purchases) say("  devices that recorded a purchase: " + std::to_string(converted));
  std::string why;
  const auto store = OrvEventStore::open(eventsPath, &why);
  if (!store) return fail(why) == 0;
  OrvSplitSource source;
  source.payloadDir = payloadDir;
  for (const OrvSrmCheck& check : orvSrmChecks(*store, source)) {
    if (check.appId != app) continue;
    {
      std::lock_guard lock(outputMutex);
      printSrmCheck(std::cout, check);
    }
    if (check.alarm != expectAlarm)
      return fail(std::string("the check ") + (check.alarm ? "raised" : "did not raise") +
                  " an alarm") == 0;
  }
  return true;
}

// The readout of `app`'s experiment, as `orvexp report --expected-units N` prints it under
// the mismatch check, tuned to the `devices` the experiment was run with; then where the
// page of the checks is. False when there is no readout: the purchases never arrived.
bool printFleetReadout(const std::string& app, int devices, const std::string& url,
                       const std::string& eventsPath) {
  std::string why;
  const auto store = OrvEventStore::open(eventsPath, &why);
  if (!store) return fail(why) == 0;
  OrvReadoutOptions options;
  options.expectedUnits = devices;
  const double control = conversionRates().at("control"), green = conversionRates().at("green");
  char truth[160];
  std::snprintf(truth, sizeof truth,
                "each device converted with a chance of %g%% in control and %g%% in green, a "
                "true lift of %+g%%, drawn from seed %llu",
                control * 100, green * 100, (green / control - 1) * 100,
                static_cast<unsigned long long>(kOutcomeSeed));
  for (const OrvExperimentReadout& r : orvReadouts(store->outcomeStatistics(), options)) {
    if (r.appId != app || r.experimentId != kExperiment) continue;
    say("\n== the readout of " + app + ", experiment " + kExperiment + " (" + truth + ")");
    {
      std::lock_guard lock(outputMutex);
      printReadout(std::cout, r, options);
    }
    const std::string report =
        "orvexp report --events DB --expected-units " + std::to_string(devices);
    say("  the page at " + url + "/ showed both fleets' checks while the demo ran; on a " +
        "collector's store, orvexp serve --events DB serves it and " + report +
        " prints this readout");
    return true;
  }
  return fail("no readout of " + app + ": its purchases did not reach the collector") == 0;
}

int runDemo(std::string dataDir, int devices) {
  std::error_code error;
  const auto scratch =
      std::filesystem::temp_directory_path(error) / ("orvexp-demo-" + std::to_string(::getpid()));
  std::filesystem::remove_all(scratch, error);
  if (dataDir.empty()) dataDir = (scratch / "data").string();
  const std::string payloadDir = (scratch / "payloads").string();
  struct Cleanup {
    std::filesystem::path path;
    ~Cleanup() {
      std::error_code ignored;
      std::filesystem::remove_all(path, ignored);
    }
  } cleanup{scratch};

  if (!OrvValue::parseJson(kDemoPayload).value.isDictionary())
    return fail("the embedded payload is not a JSON object");
  if (!writePayload(payloadDir, kDemoPayload))
    return fail("cannot write the payload to " + payloadDir);
  OrvConfigServer server(payloadDir);
  const std::string collected = (scratch / "events.sqlite3").string();
  std::string refused;
  if (!server.collectEventsTo(collected, &refused)) return fail(refused);
  if (!server.start("127.0.0.1", 0)) return fail("cannot start the config server on 127.0.0.1");
  say("config server: " + server.url() + " serving " + payloadDir +
      ", collecting OTLP events into " + collected);
  say("data directory: " + dataDir);

  OrvPlatform::setDataDirectory(dataDir);
  OrvPlatform::setConsoleSink([](std::string_view line) { later("  log   " + std::string(line)); });
  OrvMediator::sharedInstance()->addEventSink(
      [](const OrvMediatorEvent& e) { later("  event " + e.name + " " + e.properties.toJson()); });
  // The same events also go over OTLP/HTTP to the server's embedded collector.
  OrvOtlpExporterOptions exporter;
  exporter.endpoint = server.url();
  OrvMediator::sharedInstance()->addOtlpExporter(exporter);
  OrvExperiment::addChangeListener([](const std::vector<std::string>& keys) {
    std::string text;
    for (const auto& key : keys) text += (text.empty() ? "" : ", ") + key;
    say("  changed " + text);
  });
  OrvExperiment::enableLog(true);

  auto config = OrvExperimentConfig::create(kDemoApp, server.url());
  auto startup = OrvExperimentTask::create();
  OutcomeWaiter started(startup);
  config->setStartupTask(startup);
  say("\n== start-up (" + std::string(kDemoApp) + ", SDK " + OrvExperiment::getSDKVersion() + ")");
  OrvExperiment::startWithConfig(config);
  Outcome outcome = started.wait(kTimeout);
  if (!outcome.reported) return fail("start-up did not finish within 10 s");
  if (!settle()) return fail("the work queue did not drain");
  if (!outcome.success)
    return fail("start-up fetch failed (" + std::to_string(outcome.code) + "): " + outcome.message);

  say("\n== feature table");
  {
    std::lock_guard lock(outputMutex);
    printFeatureTable(std::cout);
  }
  say("\n== typed reads: each key read as string, number, boolean and JSON; the first read of "
      "an experiment feature reports its exposure, the later ones find it already exposed "
      "(each log line is shown once)");
  for (const char* key : {"color", "limit", "banner", "flag", "price", "missing"}) {
    {
      std::lock_guard lock(outputMutex);
      printTypedReads(std::cout, key);
      if (const auto feature = OrvFeatureManager::sharedInstance().getFeature(key, false);
          feature && feature->value().isBoolean())
        std::cout << "  (a boolean is a number to the number read: true is 1 and false is 0, "
                     "returned as the boolean itself)\n";
    }
    if (!settle()) return fail("the work queue did not drain");
  }

  say("\n== reading experiment features again: no new events");
  for (int round = 0; round < 2; ++round) {
    const std::string color = OrvExperiment::getValueAsString("color");
    const std::string limit = OrvExperiment::getValueAsNumber("limit").description();
    say("  color=" + color + " limit=" + limit);
    if (!settle()) return fail("the work queue did not drain");
  }

  say("\n== the server's payload changes; fetch()");
  if (!writePayload(payloadDir, changedPayload())) return fail("cannot change the served payload");
  OutcomeWaiter fetched(OrvExperiment::fetch());
  outcome = fetched.wait(kTimeout);
  if (!outcome.reported) return fail("fetch did not finish within 10 s");
  if (!settle()) return fail("the work queue did not drain");
  if (!outcome.success)
    return fail("fetch failed (" + std::to_string(outcome.code) + "): " + outcome.message);
  for (const char* key : {"color", "limit", "new_feature"}) {
    {
      std::lock_guard lock(outputMutex);
      printTypedReads(std::cout, key);
    }
    if (!settle()) return fail("the work queue did not drain");
  }
  OrvExperiment::enableLog(false);
  OrvPlatform::setConsoleSink(nullptr);
  say("\n== events that reached the collector over OTLP/HTTP (one line each, by eventId)");
  {
    std::string why;
    const auto store = OrvEventStore::open(collected, &why);
    std::ostringstream lines;
    if (!store || !store->exportJsonLines(lines, &why)) return fail(why);
    std::istringstream in(lines.str());
    for (std::string line; std::getline(in, line);) say("  collected " + line);
  }
  if (devices > 0) {
    const std::string fleets = (scratch / "devices").string();
    say("\n== the experiment loop: the exposure report page at " + server.url() +
        "/ shows each fleet's check as its exposures arrive");
    // The healthy fleet is five times as large: an always-valid interval shows its +50%
    // lift (40% to 60%) at 1,000 units with a chance of 0.98 (tests/tool/readout_fleet.py
    // computes it); at 200 it would say "no difference shown yet".
    if (!runFleetOf("fleet-app", false, true, false, 5 * devices, server, payloadDir, fleets,
                    collected) ||
        // Twice as many: at 200 devices, losing half of one group can stay above
        // p = 0.001 by chance; at 400 it does not.
        !runFleetOf("faulty-app", true, false, true, 2 * devices, server, payloadDir, fleets,
                    collected) ||
        !printFleetReadout("fleet-app", 5 * devices, server.url(), collected))
      return 1;
  }
  say("\ndemo finished");
  return 0;
}

}  // namespace

void setupDemoCommand(CLI::App& app, int& exitCode) {
  auto* cmd = app.add_subcommand(
      "demo", "Run the whole flow against a loopback server with the example payload");
  auto dataDir = std::make_shared<std::string>();
  auto devices = std::make_shared<int>(200);
  cmd->add_option("--data-dir", *dataDir, "Data directory (default: a fresh temporary one)");
  cmd->add_option("--devices", *devices,
                  "Scale of the experiment loop: the healthy fleet has 5 N devices, the faulty "
                  "one 2 N (0 leaves it out)")
      ->capture_default_str()
      ->check(CLI::Range(0, 100000));
  cmd->callback([dataDir, devices, &exitCode] { exitCode = runDemo(*dataDir, *devices); });
}

}  // namespace orvexp
