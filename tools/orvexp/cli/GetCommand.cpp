// `orvexp get --app ID --server URL [--data-dir D] [--bucket-id TEXT] [--no-tracking]
//  [--events FILE] [--events-url URL] [--timeout S] [--wait-ready] [--detail] [--json] KEY...`: a
//  real client of the library.
#include <fcntl.h>
#include <unistd.h>
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <set>
#include <string_view>

#include "OrvExperiment/OrvExperiment.h"
#include "OrvExperiment/OrvPlatform.h"
#include "OrvMediator.h"
#include "cli/Commands.h"
#include "cli/ToolSupport.h"
#include "platform/files/OrvDataDirectory.h"
#include "platform/network/OrvHttpClient.h"

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
  std::vector<std::string> overrides;  // KEY=JSON
  std::string overridesFile;
  std::string overrideMode = "local-over-remote";
  std::vector<std::string> keys;
};

// --override KEY=JSON, all of them, as one dictionary; text that is not JSON is a
// string, so `--override color=blue` works as a developer expects. "" on success.
std::string overridesOf(const std::vector<std::string>& texts, OrvValue* overrides) {
  OrvValue::Dictionary entries;
  for (const std::string& text : texts) {
    const std::size_t equals = text.find('=');
    if (equals == std::string::npos || equals == 0)
      return "--override " + text + ": expected KEY=JSON";
    OrvValue::ParseResult parsed = OrvValue::parseJson(std::string_view(text).substr(equals + 1));
    entries.emplace_back(text.substr(0, equals),
                         parsed.ok() ? parsed.value : OrvValue(text.substr(equals + 1)));
  }
  *overrides = OrvValue::dictionary(std::move(entries));
  return "";
}

// The tool's own data directory, beside the library's per-user default: exposures
// recorded by a look at the values must never count as the real application's.

// "" when `url` is one the library can fetch from: http:// or https:// with a host, or
// file:// with a path (schemes in any case); otherwise what is wrong with it.
std::string serverUrlProblem(const std::string& url) {
  const std::string normal = OrvHttpClient::withLowerCaseScheme(url);
  if (normal.rfind("file://", 0) == 0) return normal.size() == 7 ? "no path after file://" : "";
  if (normal.rfind("http://", 0) != 0 && normal.rfind("https://", 0) != 0)
    return "not an http://, https:// or file:// URL";
  return OrvHttpClient::urlProblem(normal);
}

// The library's log lines, of which two kinds are used: the last reason the OTLP
// exporter gave for a failed delivery, heard on the mediator's log channel (the
// exporter keeps no error of its own for us to ask), and the library's word that
// weighted groups went unassigned, shown once however many loads say it. Shared with
// the console sink, which library threads call until they stop.
struct DeliveryFailures {
  std::mutex mutex;
  std::string lastReason;          // guarded by mutex
  std::set<std::string> warnings;  // guarded by mutex
};

std::shared_ptr<DeliveryFailures> listenForDeliveryFailures() {
  auto failures = std::make_shared<DeliveryFailures>();
  OrvPlatform::setConsoleSink([failures](std::string_view line) {
    // "[OrvMediator] OTLP export to URL failed (REASON); retrying in N ms"
    constexpr std::string_view kFailed = " failed (", kRetrying = "); retrying in ";
    // The library's word that weighted groups went unassigned: the values printed are
    // then the top-level ones, and the user should know why.
    for (std::string_view kLeftOut : {"no unit to assign groups", "\"#groups\" cannot be used"})
      if (const std::size_t at = line.find(kLeftOut); at != std::string_view::npos) {
        std::lock_guard lock(failures->mutex);
        if (failures->warnings.insert(std::string(line.substr(at))).second)
          std::cerr << ("orvexp get: warning: " + std::string(line.substr(at)) + "\n");
        return;
      }
    if (line.find("OTLP export to ") == std::string_view::npos) return;
    const std::size_t from = line.find(kFailed), to = line.rfind(kRetrying);
    if (from == std::string_view::npos || to == std::string_view::npos || to < from) return;
    std::lock_guard lock(failures->mutex);
    failures->lastReason = line.substr(from + kFailed.size(), to - from - kFailed.size());
  });
  OrvMediator::enableLog(true);
  OrvExperiment::enableLog(true);  // only the lines above are shown
  return failures;
}

// Why the exposures did not reach the collector at `url` by exit, in words; "" when its
// queue is empty (what was pending was the database, not the collector).
std::string undeliveredReason(std::uint64_t exporter, const std::string& url,
                              DeliveryFailures& failures, const std::string& seconds) {
  auto& mediator = *OrvMediator::sharedInstance();
  if (mediator.flushExporters(std::chrono::milliseconds(0))) return "";
  const OrvOtlpExporterStats stats = mediator.otlpExporterStats(exporter);
  std::string reason;
  {
    std::lock_guard lock(failures.mutex);
    reason = failures.lastReason;
  }
  std::string text = "--events-url " + url + ": ";
  if (stats.failedRequests == 0 || reason.empty()) {
    text += "the collector did not answer within " + seconds + " s";
  } else if (reason.rfind("HTTP ", 0) == 0) {
    text += "the collector did not take them: it answered " + reason;
  } else {
    text += "the collector was unreachable: " + reason;
  }
  const std::uint64_t attempts = stats.failedRequests;
  if (attempts > 1) text += " (" + std::to_string(attempts) + " attempts)";
  return text;
}

int runGet(GetOptions o) {
  if (o.dataDir.empty()) o.dataDir = defaultDataDir();
  // Everything the options name is checked before the library starts.
  std::string why;
  if (!OrvDataDirectory::ensureUsable(o.dataDir, &why)) {
    printError("get", "--data-dir: " + why);
    return 2;
  }
  if (!o.eventsFile.empty()) {
    const int fd = ::open(o.eventsFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) {
      printError("get", "--events: cannot open " + o.eventsFile + ": " + std::strerror(errno));
      return 2;
    }
    ::close(fd);
  }
  OrvPlatform::setDataDirectory(o.dataDir);
  std::uint64_t exporter = 0;
  std::shared_ptr<DeliveryFailures> failures = listenForDeliveryFailures();
  // With --json every line of stdout is one JSON object.
  const auto toStdout = [json = o.json](const OrvMediatorEvent& e) {
    std::cout << (json ? "{\"event\":" + e.toJson() + "}\n" : "event " + e.toJson() + "\n")
              << std::flush;
  };
  if (!routeEvents("get", o.eventsUrl, o.eventsFile, toStdout, &exporter)) return 2;
  auto config = OrvExperimentConfig::create(o.app, o.server);
  config->setAutomaticExposureTracking(!o.noTracking);
  if (!o.overrides.empty()) {
    OrvValue overrides;
    if (const std::string problem = overridesOf(o.overrides, &overrides); !problem.empty()) {
      printError("get", problem);
      return 2;
    }
    config->setOverrides(overrides);
  }
  config->setOverridesFile(o.overridesFile);
  config->setOverrideMode(o.overrideMode == "local-only" ? OrvOverrideMode::kLocalOnly
                          : o.overrideMode == "remote-over-local"
                              ? OrvOverrideMode::kRemoteOverLocal
                              : OrvOverrideMode::kLocalOverRemote);
  if (!o.bucketId.empty()) config->setCustomBucketId(OrvValue(o.bucketId));
  auto task = OrvExperimentTask::create();
  OutcomeWaiter waiter(task);
  config->setStartupTask(task);

  // --timeout is one deadline for all of start-up: the fetch, and readiness after it.
  const auto timeout = std::chrono::milliseconds(static_cast<long>(o.timeoutSeconds * 1000));
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  const std::string seconds = OrvValue(o.timeoutSeconds).description();
  OrvExperiment::startWithConfig(config);
  Outcome outcome = waiter.waitUntil(deadline);
  // Readiness also tells, after a failed fetch, whether a cached table stands in: its
  // verdict is given after the cache has been loaded (or found missing), where the
  // fetch's failure may come before.
  Outcome ready;
  if (o.waitReady || (outcome.reported && !outcome.success))
    ready = OutcomeWaiter(OrvExperiment::whenReady()).waitUntil(deadline);
  if (o.waitReady) {
    if (!ready.reported) {
      printError("get", "no feature table within " + seconds +
                            " s: no usable cache, and no answer from " + o.server);
      return 6;
    }
    if (!ready.success) {
      printError("get", "start-up failed (" + std::to_string(ready.code) + "): " + ready.message +
                            "; no feature table: neither a usable cache nor a successful fetch");
      return 6;
    }
  }
  const bool cached = ready.reported ? ready.success : OrvExperiment::isReady();
  const std::string values = cached
                                 ? "the values below come from the cache"
                                 : "no cached table either: every read below answers its default";
  int exitCode = 0;
  if (!outcome.reported) {
    printError("get", "no answer from " + o.server + " within " + seconds + " s; " + values);
    exitCode = 4;
  } else if (!outcome.success) {
    printError("get", "fetch failed (" + std::to_string(outcome.code) + "): " + outcome.message +
                          "; " + values);
    exitCode = 3;
  }
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  OrvExperiment::flush(std::max(left, std::chrono::milliseconds(0)));
  ReadOptions reads;
  reads.detail = o.detail;
  reads.fileServer = OrvHttpClient::withLowerCaseScheme(o.server).rfind("file://", 0) == 0;
  for (const std::string& key : o.keys) {
    if (o.json) {
      printTypedReadsJson(std::cout, key, reads);
    } else if (o.detail) {
      printDetail(std::cout, key, reads);
    } else {
      printTypedReads(std::cout, key);
    }
  }
  // Delivering the exposures of these reads is a wait of its own, up to --timeout again.
  if (!OrvExperiment::flush(timeout)) {
    const std::string collector =
        exporter != 0 ? undeliveredReason(exporter, o.eventsUrl, *failures, seconds) : "";
    if (!collector.empty()) {
      printError("get", "exposures not delivered at exit: " + collector + "; they stay queued in " +
                            o.dataDir + " for a later run");
    } else {
      printError("get",
                 "exposures still pending at exit (recorded ones are sent by a later run; ones "
                 "the database could not check yet, as another process held it, are left for a "
                 "later read)");
    }
    return 5;
  }
  if (exporter != 0) {
    const OrvOtlpExporterStats stats = OrvMediator::sharedInstance()->otlpExporterStats(exporter);
    if (stats.dropped > 0)
      printError("get", "warning: --events-url " + o.eventsUrl + ": the collector refused " +
                            std::to_string(stats.dropped) +
                            " exposures for good; kept as dead letters (orvexp outbox --data-dir " +
                            o.dataDir + ")");
  }
  return exitCode;
}

}  // namespace

void setupGetCommand(CLI::App& app, int& exitCode) {
  auto* cmd = app.add_subcommand("get", "Start against a server and print feature values");
  auto o = std::make_shared<GetOptions>();
  cmd->add_option("--app", o->app, "Application identifier")
      ->required()
      ->check(CLI::Validator(
          [](std::string& app) { return app.empty() ? std::string("must not be empty") : ""; },
          "ID"));
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
  cmd->add_option("--timeout", o->timeoutSeconds,
                  "Seconds to wait for start-up (the fetch and, with --wait-ready, a table), and "
                  "again at exit for exposures to be delivered (up to a day)")
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
                "Show each key's source (default, cache, network, or file for a file:// server), "
                "reason and experiment membership (a string read); with --json as members "
                "source, reason, experiment");
  cmd->add_flag("--json", o->json,
                "Print one JSON object per key: key, present, when present kind and value, "
                "and string, number, boolean, json (the defaults when not present; events as "
                "{\"event\":...})");
  // One KEY=JSON per --override: a vector option would otherwise go on taking the
  // words after it, the feature keys included.
  cmd->add_option("--override", o->overrides,
                  "Pin a feature locally, KEY=JSON (text that is not JSON is a string); "
                  "repeat the option for more. An overridden feature reports no exposure")
      ->type_name("KEY=JSON")
      ->allow_extra_args(false);
  cmd->add_option("--overrides-file", o->overridesFile,
                  "A JSON object of overrides, re-read when it changes; its entries win over "
                  "--override's");
  cmd->add_option("--override-mode", o->overrideMode,
                  "How overrides and the server's payload combine")
      ->capture_default_str()
      ->check(CLI::IsMember({"local-over-remote", "remote-over-local", "local-only"}));
  cmd->add_option("keys", o->keys, "Feature keys to read")->required();
  cmd->callback([o, &exitCode] { exitCode = runGet(*o); });
}

}  // namespace orvexp
