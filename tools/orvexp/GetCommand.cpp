// `orvexp get --app ID --server URL [--data-dir D] [--no-tracking] [--events FILE]
//  [--timeout S] [--json] KEY...`: a real client of the library.
#include <unistd.h>
#include <CLI/CLI.hpp>

#include <cstdlib>
#include <iostream>

#include "Commands.h"
#include "OrvExperiment/OrvExperiment.h"
#include "OrvExperiment/OrvPlatform.h"
#include "OrvMediator.h"
#include "ToolSupport.h"

namespace orvexp {
namespace {

struct GetOptions {
  std::string app;
  std::string server;
  std::string dataDir;
  std::string eventsFile;
  std::string eventsUrl;
  bool noTracking = false;
  bool json = false;
  double timeoutSeconds = 30;
  std::vector<std::string> keys;
};

// The tool's own data directory, beside the library's per-user default: exposures
// recorded by a look at the values must never count as the real application's.
std::string defaultDataDir() {
  const char* xdg = std::getenv("XDG_DATA_HOME");
  if (xdg && *xdg == '/') return std::string(xdg) + "/orvexp";
  const char* home = std::getenv("HOME");
  if (home && *home) return std::string(home) + "/.local/share/orvexp";
  return "/tmp/orvexp-" + std::to_string(::getuid());
}

int runGet(GetOptions o) {
  if (o.dataDir.empty()) o.dataDir = defaultDataDir();
  OrvPlatform::setDataDirectory(o.dataDir);
  if (!o.eventsUrl.empty()) {
    OrvOtlpExporterOptions exporter;
    exporter.endpoint = o.eventsUrl;
    if (OrvMediator::sharedInstance()->addOtlpExporter(exporter) == 0) {
      std::cerr << "orvexp get: --events-url must be an http(s) URL\n";
      return 2;
    }
  }
  if (!o.eventsFile.empty()) {
    OrvMediator::sharedInstance()->addEventSink(OrvMediator::jsonLinesFileSink(o.eventsFile));
  } else if (o.eventsUrl.empty()) {
    // With --json every line of stdout is one JSON object.
    OrvMediator::sharedInstance()->addEventSink([json = o.json](const OrvMediatorEvent& e) {
      std::cout << (json ? "{\"event\":" + e.toJson() + "}\n" : "event " + e.toJson() + "\n")
                << std::flush;
    });
  }
  auto config = OrvExperimentConfig::create(o.app, o.server);
  config->setAutomaticExposureTracking(!o.noTracking);
  auto task = OrvExperimentTask::create();
  OutcomeWaiter waiter(task);
  config->setStartupTask(task);
  OrvExperiment::startWithConfig(config);

  const auto timeout = std::chrono::milliseconds(static_cast<long>(o.timeoutSeconds * 1000));
  Outcome outcome = waiter.wait(timeout);
  int exitCode = 0;
  if (!outcome.reported) {
    std::cerr << "orvexp get: no answer from " << o.server << " within " << o.timeoutSeconds
              << " s; values below come from the cache\n";
    exitCode = 4;
  } else if (!outcome.success) {
    std::cerr << "orvexp get: fetch failed (" << outcome.code << "): " << outcome.message
              << "; values below come from the cache\n";
    exitCode = 3;
  }
  // The cache is loaded before any fetch outcome, so reads are meaningful either way.
  OrvExperiment::flush(timeout);
  for (const std::string& key : o.keys) {
    if (o.json) {
      printTypedReadsJson(std::cout, key);
    } else {
      printTypedReads(std::cout, key);
    }
  }
  if (!OrvExperiment::flush(timeout)) {
    std::cerr << "orvexp get: exposures still pending at exit (recorded; they are sent by a "
                 "later run)\n";
    return 5;
  }
  return exitCode;
}

}  // namespace

void setupGetCommand(CLI::App& app, int& exitCode) {
  auto* cmd = app.add_subcommand("get", "Start against a server and print feature values");
  auto o = std::make_shared<GetOptions>();
  cmd->add_option("--app", o->app, "Application identifier")->required();
  cmd->add_option("--server", o->server, "Config server URL (http://, https:// or file://)")
      ->required();
  cmd->add_option("--data-dir", o->dataDir,
                  "Data directory (default: orvexp's own, $XDG_DATA_HOME/orvexp or "
                  "~/.local/share/orvexp, never the applications' one)");
  cmd->add_flag("--no-tracking", o->noTracking, "Do not report exposures when reading");
  cmd->add_option("--events", o->eventsFile, "Append exposure events to this file as JSON lines");
  cmd->add_option("--events-url", o->eventsUrl,
                  "Send exposure events to this OTLP/HTTP collector ({URL}/v1/logs), e.g. "
                  "orvexp serve --events");
  cmd->add_option("--timeout", o->timeoutSeconds, "Seconds to wait for the fetch")
      ->capture_default_str()
      ->check(CLI::PositiveNumber);
  cmd->add_flag("--json", o->json,
                "Print one JSON object per key: key, present, and when present kind, value, "
                "string, number, boolean, json (events as {\"event\":...})");
  cmd->add_option("keys", o->keys, "Feature keys to read")->required();
  cmd->callback([o, &exitCode] { exitCode = runGet(*o); });
}

}  // namespace orvexp
