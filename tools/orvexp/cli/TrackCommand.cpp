// orvexp track: records one outcome for a unit from a script, through the library's own
// OrvExperiment::track, so it takes the path an application's outcome takes (the data
// directory's outbox, then the sinks and the OTLP exporter), with no config server: the
// library is started with local overrides only.
#include <CLI/CLI.hpp>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>

#include "OrvExperiment/OrvExperiment.h"
#include "OrvExperiment/OrvPlatform.h"
#include "OrvMediator.h"
#include "cli/Commands.h"
#include "cli/ToolSupport.h"
#include "platform/files/OrvDataDirectory.h"

namespace orvexp {
namespace {

struct TrackOptions {
  std::string app;
  std::string bucketId;
  std::string dataDir;
  std::string eventsFile;
  std::string eventsUrl;
  double timeoutSeconds = 10;
  std::string name;
  double value = 1;
};

int runTrack(const TrackOptions& o) {
  const std::string dataDir = o.dataDir.empty() ? defaultDataDir() : o.dataDir;
  std::string why;
  if (!OrvDataDirectory::ensureUsable(dataDir, &why)) {
    printError("track", "--data-dir: " + why);
    return 2;
  }
  OrvPlatform::setDataDirectory(dataDir);
  std::uint64_t exporter = 0;
  if (!routeEvents(
          "track", o.eventsUrl, o.eventsFile,
          [](const OrvMediatorEvent& e) { std::cout << ("event " + e.toJson(true) + "\n"); },
          &exporter))
    return 2;

  // Local overrides only: nothing is fetched, and the start is done once the (empty)
  // table is in place, which is when the configuration track() reads is.
  auto config = OrvExperimentConfig::create(o.app, "");
  config->setOverrideMode(OrvOverrideMode::kLocalOnly);
  config->setCustomBucketId(OrvValue(o.bucketId));
  auto started = std::make_shared<std::pair<std::mutex, std::condition_variable>>();
  auto done = std::make_shared<bool>(false);
  auto task = OrvExperimentTask::create();
  auto mark = [started, done] {
    std::lock_guard lock(started->first);
    *done = true;
    started->second.notify_all();
  };
  task->addOnSuccessListener(mark);
  task->addOnFailureListener([mark](std::int64_t, const std::string&) { mark(); });
  config->setStartupTask(task);
  OrvExperiment::startWithConfig(config);
  const auto timeout = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::duration<double>(o.timeoutSeconds));
  {
    std::unique_lock lock(started->first);
    if (!started->second.wait_for(lock, timeout, [&] { return *done; })) {
      printError("track", "the library did not start within --timeout");
      return 1;
    }
  }
  switch (OrvExperiment::track(o.name, o.value)) {
    case OrvTrackResult::kStored:
      break;
    case OrvTrackResult::kInvalidName:
      printError("track", "NAME must be 1 to 128 bytes of letters, digits and _ . : -");
      return 2;
    default:
      printError("track", "the outcome was not recorded");
      return 1;
  }
  if (!OrvExperiment::flush(timeout)) {
    printError("track", "the outcome is stored in " + dataDir +
                            " but was not delivered within --timeout; a later run that "
                            "exports to the same place sends it");
    return 5;
  }
  return 0;
}

}  // namespace

void setupTrackCommand(CLI::App& app, int& exitCode) {
  auto* cmd = app.add_subcommand("track", "Record an outcome (a purchase, a click) for a unit");
  auto o = std::make_shared<TrackOptions>();
  cmd->add_option("--app", o->app, "Application identifier")
      ->required()
      ->check([](const std::string& v) { return v.empty() ? "must not be empty" : ""; });
  cmd->add_option("--bucket-id", o->bucketId, "The unit the outcome is for")
      ->required()
      ->check([](const std::string& v) { return v.empty() ? "must not be empty" : ""; });
  cmd->add_option("--data-dir", o->dataDir,
                  "Where the outbox lives (default: orvexp's own, as for get)");
  cmd->add_option("--events", o->eventsFile, "Append the event to this file as a JSON line");
  cmd->add_option("--events-url", o->eventsUrl, "Send the event to this OTLP/HTTP collector");
  cmd->add_option("--timeout", o->timeoutSeconds, "Seconds to wait for delivery (default 10)")
      ->check(CLI::Range(0.001, 86400.0));
  cmd->add_option("name", o->name, "What happened: purchase, checkout_completed")
      ->required()
      ->check([](const std::string& v) {
        const bool ok = !v.empty() && v.size() <= 128 &&
                        v.find_first_not_of(
                            "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                            "0123456789_.:-") == std::string::npos;
        return ok ? std::string()
                  : std::string("must be 1 to 128 bytes of letters, digits and _ . : -");
      });
  cmd->add_option("value", o->value, "What it was worth (default 1, a count)")
      ->check([](const std::string& v) {
        try {
          return std::isfinite(std::stod(v)) ? std::string() : std::string("must be finite");
        } catch (...) {
          return std::string("must be a number");
        }
      });
  cmd->callback([o, &exitCode] { exitCode = runTrack(*o); });
}

}  // namespace orvexp
