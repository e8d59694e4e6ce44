// What the benchmark files share: the payloads they load, the library started once by
// main() on a data directory of its own, the exposure counter its sink feeds, waits
// that end on events (never on a clock), and the child-process and memory probes.
// Every ratio a benchmark claims is against a baseline measured in the same run.
#pragma once

#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "OrvExperiment/OrvExperimentConfig.h"

namespace orv_bench {

inline constexpr int kTableFeatures = 10000;

// A payload of `features` features ("f0", "f1", ...) of mixed kinds, with one
// experiment entry per 10 features listing those 10.
std::string makePayload(int features);

std::size_t residentBytes();

// Heap in use, mapped blocks included (large buffers are mapped, not in the arenas).
std::size_t heapBytes();

// ORV_BENCH_SHORT=1 (CI) runs every benchmark once with small fixed counts: it proves
// each one finishes and still measures what it says, not how fast. Read at registration.
bool shortRun();
// A fixed iteration count, a tenth of it (at least one) in a short run.
benchmark::IterationCount iterations(benchmark::IterationCount n);

// How long any single wait of a benchmark may take before it is reported as an error
// instead of hanging the run.
inline constexpr auto kBenchWait = std::chrono::seconds(60);

bool drainQueue();

// Exposure events reach this sink; first-time exposure timing waits on it.
struct EventCounter {
  std::mutex mutex;
  std::condition_variable cv;
  std::uint64_t count = 0;
};
extern EventCounter events;

// Waits until the exposure sink has counted `target` events; false after kBenchWait.
bool waitForEvents(std::uint64_t target);

extern std::string dataRoot;
extern std::string startedApp;
extern std::shared_ptr<OrvExperimentConfig> startedConfig;

// Starts the library on a payload file and waits for start-up's success.
bool startOn(const std::string& app, const std::string& payload);

const std::string& payloadText(int features);

// The read benchmarks' payload: payloadText() with one more feature, "plain", that
// belongs to no experiment.
std::string readPayload(int features);

// A payload of `features` features whose values are all short strings, half of them
// within std::string's inline buffer ("s12") and half beyond it ("value number 13"), and
// no experiment entries: where the per-string costs of parsing show most.
long statusBytes(const char* field);

// Runs `command` (argv) with stdout read back; the wall time from spawn to exit in
// `processSeconds`. Empty output when it could not run or failed.
std::string runChild(const std::vector<std::string>& command, double& processSeconds);

// Stop what the export and collector benchmarks started (a child `orvexp serve`, servers
// and stores in process); main() calls them after the run.
void stopExportBenchmarks();
void stopCollectorBenchmarks();

}  // namespace orv_bench
