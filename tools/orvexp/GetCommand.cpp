// `orvexp get --app ID --server URL [--data-dir D] [--no-tracking] [--events FILE]
//  [--timeout S] KEY...`: a real client of the library.
#include <CLI/CLI.hpp>

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
  bool waitReady = false;
  bool detail = false;
  double timeoutSeconds = 30;
  std::vector<std::string> keys;
};

int runGet(const GetOptions& o) {
  if (!o.dataDir.empty()) OrvPlatform::setDataDirectory(o.dataDir);
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
    OrvMediator::sharedInstance()->addEventSink(
        [](const OrvMediatorEvent& e) { std::cout << "event " << e.toJson() << std::endl; });
  }
  auto config = OrvExperimentConfig::create(o.app, o.server);
  config->setAutomaticExposureTracking(!o.noTracking);
  auto task = OrvExperimentTask::create();
  OutcomeWaiter waiter(task);
  config->setStartupTask(task);
  OrvExperiment::startWithConfig(config);

  const auto timeout = std::chrono::milliseconds(static_cast<long>(o.timeoutSeconds * 1000));
  Outcome outcome = waiter.wait(timeout);
  if (o.waitReady) {
    // The cached table counts too: wait for readiness rather than for the fetch alone.
    Outcome ready = OutcomeWaiter(OrvExperiment::whenReady()).wait(timeout);
    if (!ready.reported || !ready.success) {
      std::cerr << "orvexp get: not ready within " << o.timeoutSeconds << " s"
                << (ready.reported ? " (" + ready.message + ")" : std::string()) << "\n";
      return 6;
    }
  }
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
    if (o.detail) {
      printDetail(std::cout, key);
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
  cmd->add_option("--data-dir", o->dataDir, "Data directory (default: the per-user one)");
  cmd->add_flag("--no-tracking", o->noTracking, "Do not report exposures when reading");
  cmd->add_option("--events", o->eventsFile, "Append exposure events to this file as JSON lines");
  cmd->add_option("--events-url", o->eventsUrl,
                  "Send exposure events to this OTLP/HTTP collector ({URL}/v1/logs), e.g. "
                  "orvexp serve --events");
  cmd->add_option("--timeout", o->timeoutSeconds, "Seconds to wait for the fetch")
      ->capture_default_str()
      ->check(CLI::PositiveNumber);
  cmd->add_flag("--wait-ready", o->waitReady,
                "Wait until a feature table (cached or fetched) is in place; exit 6 if none");
  cmd->add_flag("--detail", o->detail,
                "Show each key's source, reason and experiment membership (a string read)");
  cmd->add_option("keys", o->keys, "Feature keys to read")->required();
  cmd->callback([o, &exitCode] { exitCode = runGet(*o); });
}

}  // namespace orvexp
