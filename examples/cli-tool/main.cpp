// example-cli-tool: a command-line program that reads its feature values once and exits.
//
// What a short-lived program has to get right, in order:
//  1. Register where exposure events go before anything can be exposed.
//  2. Wait for readiness before reading: a read right after start-up answers its default,
//     because values arrive from the cache or the server a moment later. The wait runs on
//     the program's own thread, bounded by a timeout, so an unreachable server costs
//     seconds and the program goes on with its defaults.
//  3. Read typed values, each with a default.
//  4. flush() before returning from main: exposure work still queued at exit is dropped.
//
// Usage: example-cli-tool APP_ID SERVER_URL [EVENTS_FILE]
//   EVENTS_FILE: exposure events, one JSON object per line (default: exposures.jsonl).
// Exit status: 0 with served or cached values, 3 when only defaults could be printed,
// 2 for a usage error. Exposure records and the payload cache live in the library's
// default data directory ($XDG_DATA_HOME/orv-experiment); ORV_LOG=1 shows its log lines.
#include <OrvExperiment/OrvExperiment.h>
#include <OrvMediator.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>

namespace {

constexpr std::chrono::seconds kReadyTimeout{10};
constexpr std::chrono::seconds kFlushTimeout{5};

// Readiness as main() sees it. The listeners that fill it in run on the library's main
// queue and may run after main() stopped waiting (a timeout), so they share it by
// shared_ptr instead of pointing into main()'s stack.
struct Readiness {
  enum class State { kWaiting, kReady, kFailed };
  std::mutex mutex;
  std::condition_variable decided;
  State state = State::kWaiting;  // guarded by mutex
  std::int64_t code = 0;          // guarded by mutex; the failed fetch's code
  std::string message;            // guarded by mutex
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4) {
    std::fprintf(stderr, "usage: %s APP_ID SERVER_URL [EVENTS_FILE]\n", argv[0]);
    return 2;
  }
  const std::string appId = argv[1];
  const std::string serverUrl = argv[2];
  const std::string eventsFile = argc == 4 ? argv[3] : "exposures.jsonl";
  if (const char* log = std::getenv("ORV_LOG"); log && std::string(log) == "1")
    OrvExperiment::enableLog(true);

  // A JSON-lines file, not the OTLP exporter: a command-line tool runs for a moment,
  // often where no collector is reachable, and its user should not wait for the network
  // when it exits. flush() then waits for a local append only. Whatever ships the
  // machine's logs (an OpenTelemetry Collector's filelog receiver, Vector, Fluent Bit)
  // forwards the file; consumers deduplicate on event_id. Registered before start-up, the
  // sink also receives what an earlier run recorded but did not deliver.
  OrvMediator::sharedInstance()->addEventSink(OrvMediator::jsonLinesFileSink(eventsFile));

  OrvExperiment::startWithAppId(appId, serverUrl);

  auto readiness = std::make_shared<Readiness>();
  OrvExperiment::whenReady()
      ->addOnSuccessListener([readiness] {
        std::lock_guard<std::mutex> lock(readiness->mutex);
        readiness->state = Readiness::State::kReady;
        readiness->decided.notify_all();
      })
      ->addOnFailureListener([readiness](std::int64_t code, const std::string& message) {
        std::lock_guard<std::mutex> lock(readiness->mutex);
        readiness->state = Readiness::State::kFailed;
        readiness->code = code;
        readiness->message = message;
        readiness->decided.notify_all();
      });

  bool ready = false;
  {
    std::unique_lock<std::mutex> lock(readiness->mutex);
    const bool decided = readiness->decided.wait_for(
        lock, kReadyTimeout, [&] { return readiness->state != Readiness::State::kWaiting; });
    ready = readiness->state == Readiness::State::kReady;
    if (!decided) {
      std::fprintf(stderr, "no values from %s within %lld s: printing defaults\n",
                   serverUrl.c_str(), static_cast<long long>(kReadyTimeout.count()));
    } else if (!ready) {
      std::fprintf(stderr, "no values from %s (code %lld: %s): printing defaults\n",
                   serverUrl.c_str(), static_cast<long long>(readiness->code),
                   readiness->message.c_str());
    }
  }

  // Each read of a feature that belongs to an experiment reports its exposure, once per
  // experiment and group, also across runs.
  const std::string color = OrvExperiment::getValueAsString("color", "red");
  const OrvValue limit = OrvExperiment::getValueAsNumber("limit", OrvValue(10));
  const bool flag = OrvExperiment::getValueAsBoolean("flag", false);
  const OrvValue banner = OrvExperiment::getValueAsJson("banner");
  std::printf("color: %s\nlimit: %s\nflag: %s\nbanner: %s\n", color.c_str(),
              limit.description().c_str(), flag ? "true" : "false", banner.toJson().c_str());

  // Nothing is lost when this times out: a recorded event waits in the data directory's
  // outbox for the next run, and an exposure not yet recorded is reported by the next read.
  if (!OrvExperiment::flush(kFlushTimeout))
    std::fprintf(stderr, "exposure events not all written to %s yet\n", eventsFile.c_str());
  return ready ? 0 : 3;
}
