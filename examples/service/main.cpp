// example-service: a long-running service that keeps its configuration current and
// reports exposures to an OpenTelemetry collector.
//
// What it shows:
//  - periodic refresh, the interval taken from the command line or the environment and
//    held to the library's minimum;
//  - a change listener that logs the keys a load changed and applies the new values;
//  - exposure events sent by the OTLP exporter (durable: what the collector has not
//    accepted survives a restart and goes out with the next run);
//  - signals handled on a thread of the program's own with sigwait(): SIGHUP fetches at
//    once (for a deployment that knows the configuration changed), SIGTERM and SIGINT
//    stop the service: flush, then return from main with status 0.
//
// Usage: example-service APP_ID SERVER_URL OTLP_ENDPOINT [REFRESH_SECONDS]
//   REFRESH_SECONDS defaults to $ORV_REFRESH_INTERVAL, else 300; at least 30.
//   OTLP_ENDPOINT: an OTLP/HTTP receiver such as http://collector:4318 (or
//   `orvexp serve --events DB`, which collects on the port it serves).
// Exposure records and the payload cache live in the library's default data directory
// ($XDG_DATA_HOME/orv-experiment); ORV_LOG=1 shows the library's log lines.
#include <OrvExperiment/OrvExperiment.h>
#include <OrvExperiment/OrvExperimentConfig.h>
#include <OrvMediator.h>
#include <OrvOtlpExporter.h>
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

constexpr std::chrono::seconds kDefaultRefresh{300};
constexpr std::chrono::seconds kStopFlushTimeout{10};

// One line to stdout at a time, flushed at once: listeners run on the library's main
// queue while main() logs signals, and whoever reads the log reads it as it happens.
void logLine(const std::string& line) {
  static std::mutex mutex;
  std::lock_guard<std::mutex> lock(mutex);
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

// The service's use of its configuration. Reads never wait, so this may run on any
// thread; reading an experiment's feature is what reports its exposure.
void applyConfiguration() {
  const std::string color = OrvExperiment::getValueAsString("color", "red");
  const OrvValue limit = OrvExperiment::getValueAsNumber("limit", OrvValue(10));
  const bool flag = OrvExperiment::getValueAsBoolean("flag", false);
  logLine("config: color=" + color + " limit=" + limit.description() +
          " flag=" + (flag ? "true" : "false"));
}

// Seconds as a positive whole number; 0 for anything else.
long long parseSeconds(const char* text) {
  if (!text || !*text) return 0;
  errno = 0;
  char* end = nullptr;
  const long long value = std::strtoll(text, &end, 10);
  if (errno != 0 || *end != '\0' || value <= 0) return 0;
  return value;
}

}  // namespace

int main(int argc, char** argv) {
  // First, before anything can start a thread: block the signals the service handles.
  // Every thread inherits this mask, so the signals stay pending until the loop below
  // takes them with sigwait(), in ordinary code, instead of a handler interrupting a
  // library thread in the middle of a lock or an allocation.
  sigset_t handled;
  sigemptyset(&handled);
  sigaddset(&handled, SIGHUP);
  sigaddset(&handled, SIGINT);
  sigaddset(&handled, SIGTERM);
  if (int error = pthread_sigmask(SIG_BLOCK, &handled, nullptr); error != 0) {
    std::fprintf(stderr, "cannot block signals: %s\n", std::strerror(error));
    return 1;
  }

  if (argc < 4 || argc > 5) {
    std::fprintf(stderr, "usage: %s APP_ID SERVER_URL OTLP_ENDPOINT [REFRESH_SECONDS]\n", argv[0]);
    return 2;
  }
  const char* refreshText = argc == 5 ? argv[4] : std::getenv("ORV_REFRESH_INTERVAL");
  std::chrono::seconds refresh = kDefaultRefresh;
  if (refreshText) {
    const long long seconds = parseSeconds(refreshText);
    if (seconds == 0) {
      std::fprintf(stderr, "refresh interval '%s' is not a positive number of seconds\n",
                   refreshText);
      return 2;
    }
    refresh = std::chrono::seconds(seconds);
  }
  // The library raises a shorter interval by itself; doing it here keeps what the
  // service logs true.
  if (refresh < OrvExperimentConfig::kMinimumRefreshInterval) {
    logLine("refresh interval " + std::to_string(refresh.count()) + " s is below the minimum");
    refresh = OrvExperimentConfig::kMinimumRefreshInterval;
  }
  if (const char* log = std::getenv("ORV_LOG"); log && std::string(log) == "1")
    OrvExperiment::enableLog(true);

  // The OTLP exporter rather than a file: a service runs where its collector is, and the
  // exporter retries with back-off for as long as the collector is away, keeping what it
  // has not delivered in the data directory. Real deployments add
  // otlp.headers = {{"Authorization", "Bearer ..."}} for a vendor's endpoint.
  OrvOtlpExporterOptions otlp;
  otlp.endpoint = argv[3];
  otlp.serviceName = "example-service";
  if (OrvMediator::sharedInstance()->addOtlpExporter(otlp) == 0) {
    std::fprintf(stderr, "OTLP endpoint '%s' is not an http(s) URL\n", argv[3]);
    return 2;
  }

  // Registered before start-up, so the first table (from the cache, then from the
  // server) is applied through the same path as every later change.
  OrvExperiment::addChangeListener([](const std::vector<std::string>& keys) {
    std::string line = "changed:";
    for (std::size_t i = 0; i < keys.size(); ++i) line += (i ? ", " : " ") + keys[i];
    logLine(line);
    applyConfiguration();
  });

  auto config = OrvExperimentConfig::create(argv[1], argv[2]);
  config->setRefreshInterval(refresh);
  OrvExperiment::startWithConfig(config);
  logLine("started: app " + config->appId() + ", server " + config->serverUrl() +
          ", exposures to " + otlp.endpoint + ", refresh interval " +
          std::to_string(config->refreshInterval().count()) + " s");

  // Running on defaults after a failed start-up is fine for a service: the periodic
  // refresh keeps trying, and the change listener applies the first table it brings.
  OrvExperiment::whenReady()
      ->addOnSuccessListener([] { logLine("ready"); })
      ->addOnFailureListener([](std::int64_t code, const std::string& message) {
        logLine("not ready (code " + std::to_string(code) + ": " + message +
                "): running on defaults until a refresh succeeds");
      });

  // This thread is the service's signal thread. A service whose main thread runs a loop
  // of its own starts one like it and posts the signals to that loop.
  int status = 0;
  for (;;) {
    int received = 0;
    if (int error = sigwait(&handled, &received); error != 0) {
      if (error == EINTR) continue;
      std::fprintf(stderr, "sigwait: %s\n", std::strerror(error));
      status = 1;
      break;
    }
    if (received == SIGHUP) {
      logLine("SIGHUP: fetching");
      OrvExperiment::fetch()->addOnFailureListener(
          [](std::int64_t code, const std::string& message) {
            logLine("fetch failed (code " + std::to_string(code) + ": " + message +
                    "): keeping the values in place");
          });
      continue;
    }
    logLine(std::string("stopping on ") + (received == SIGTERM ? "SIGTERM" : "SIGINT"));
    break;
  }

  // flush() waits for exposures still being recorded and for the exporter to hand them
  // to the collector. What it has not delivered by the timeout stays queued in the data
  // directory and goes out with the next start.
  if (!OrvExperiment::flush(kStopFlushTimeout))
    logLine("exposures not all delivered; they go out with the next start");
  if (status == 0) logLine("stopped cleanly");
  return status;
}
