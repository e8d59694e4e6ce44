// `orvexp get --app ID --server URL [--data-dir D] [--bucket-id TEXT] [--no-tracking]
//  [--events FILE] [--events-url URL] [--timeout S] [--wait-ready] [--detail] [--json] KEY...`: a
//  real client of the library.
#include <fcntl.h>
#include <unistd.h>
#include <CLI/CLI.hpp>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "Commands.h"
#include "OrvExperiment/OrvExperiment.h"
#include "OrvExperiment/OrvPlatform.h"
#include "OrvMediator.h"
#include "ToolSupport.h"
#include "platform/OrvDataDirectory.h"
#include "platform/OrvHttpClient.h"

namespace orvexp {
namespace {

struct GetOptions {
  std::string app;
  std::string server;
  std::string dataDir;
  std::string eventsFile;
  std::string eventsUrl;
  std::string bucketId;
  bool noTracking = false;
  bool waitReady = false;
  bool detail = false;
  bool json = false;
  double timeoutSeconds = 30;
  std::vector<std::string> keys;
};

// The tool's own data directory, beside the library's per-user default: exposures
// recorded by a look at the values must never count as the real application's.
std::string defaultDataDir() { return OrvDataDirectory::perUser("orvexp"); }

// "" when `url` is one the library can fetch from: http:// or https:// with a host, or
// file:// with a path (schemes in any case); otherwise what is wrong with it.
std::string serverUrlProblem(const std::string& url) {
  const std::string normal = OrvHttpClient::withLowerCaseScheme(url);
  if (normal.rfind("file://", 0) == 0) return normal.size() == 7 ? "no path after file://" : "";
  if (normal.rfind("http://", 0) != 0 && normal.rfind("https://", 0) != 0)
    return "not an http://, https:// or file:// URL";
  return OrvHttpClient::urlProblem(normal);
}

int runGet(GetOptions o) {
  if (o.dataDir.empty()) o.dataDir = defaultDataDir();
  // Everything the options name is checked before the library starts.
  std::string why;
  if (!OrvDataDirectory::ensureUsable(o.dataDir, &why)) {
    std::cerr << "orvexp get: --data-dir: " << why << "\n";
    return 2;
  }
  if (!o.eventsFile.empty()) {
    const int fd = ::open(o.eventsFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) {
      std::cerr << "orvexp get: --events: cannot open " << o.eventsFile << ": "
                << std::strerror(errno) << "\n";
      return 2;
    }
    ::close(fd);
  }
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
  if (!o.bucketId.empty()) config->setCustomBucketId(OrvValue(o.bucketId));
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
    if (o.json) {
      printTypedReadsJson(std::cout, key);
    } else if (o.detail) {
      printDetail(std::cout, key);
    } else {
      printTypedReads(std::cout, key);
    }
  }
  if (!OrvExperiment::flush(timeout)) {
    std::cerr << "orvexp get: exposures still pending at exit (recorded ones are sent by a "
                 "later run; ones the database could not check yet, as another process held "
                 "it, are left for a later read)\n";
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
      ->required()
      ->check(CLI::Validator(
          [](std::string& url) {
            const std::string problem = serverUrlProblem(url);
            return problem.empty() ? problem : url + ": " + problem;
          },
          "URL"));
  cmd->add_option("--data-dir", o->dataDir,
                  "Data directory (default: orvexp's own, $XDG_DATA_HOME/orvexp or "
                  "~/.local/share/orvexp, never the applications' one)");
  cmd->add_option("--bucket-id", o->bucketId,
                  "Bucket identifier sent with every fetch (an assigning server places this "
                  "unit in a group)");
  cmd->add_flag("--no-tracking", o->noTracking, "Do not report exposures when reading");
  cmd->add_option("--events", o->eventsFile, "Append exposure events to this file as JSON lines");
  cmd->add_option("--events-url", o->eventsUrl,
                  "Send exposure events to this OTLP/HTTP collector ({URL}/v1/logs), e.g. "
                  "orvexp serve --events");
  // NaN passes every comparison and 1e300 s overflows the clock: both are refused.
  cmd->add_option("--timeout", o->timeoutSeconds, "Seconds to wait for the fetch (up to a day)")
      ->capture_default_str()
      ->check(CLI::Validator(
          [](std::string& text) {
            char* end = nullptr;
            const double s = std::strtod(text.c_str(), &end);
            const bool ok =
                end != text.c_str() && *end == '\0' && std::isfinite(s) && s > 0 && s <= 86400;
            return ok ? std::string() : text + " is not a number of seconds in (0, 86400]";
          },
          "SECONDS"));
  cmd->add_flag("--wait-ready", o->waitReady,
                "Wait until a feature table (cached or fetched) is in place; exit 6 if none");
  cmd->add_flag("--detail", o->detail,
                "Show each key's source, reason and experiment membership (a string read)");
  cmd->add_flag("--json", o->json,
                "Print one JSON object per key: key, present, and when present kind, value, "
                "string, number, boolean, json (events as {\"event\":...})");
  cmd->add_option("keys", o->keys, "Feature keys to read")->required();
  cmd->callback([o, &exitCode] { exitCode = runGet(*o); });
}

}  // namespace orvexp
