// Whole processes and first times: the first read of a fresh process, how soon a
// process is gone after main() returns, switching applications, a first-time exposure
// (alone and many at once), and one big payload's memory in a fresh process.
#include "BenchSupport.h"

#include <benchmark/benchmark.h>
#include <malloc.h>
#include <signal.h>
#include <simdjson.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <mutex>
#include <random>
#include <thread>
#include <unordered_map>
#include <vector>

#include "../tests/ManyExperiments.h"
#include "OrvAssignment.h"
#include "OrvExperiment/OrvExperiment.h"
#include "OrvExperiment/OrvPlatform.h"
#include "OrvExperimentQueue.h"
#include "OrvExperimentStorage.h"
#include "OrvFeatureManager.h"
#include "OrvFeatureParser.h"
#include "OrvMediator.h"
#include "platform/storage/OrvEventOutbox.h"
#include "remote_config/OrvRCCache.h"

namespace {

using namespace orv_bench;

// ---- the first read of a fresh process ------------------------------------------

// A fresh process per iteration (orv_first_read_probe) starts on a cached payload of
// 10,001 features (about 400 kB) with a server that fails at once, so the cache answers,
// and reads an experiment's key until it is correct: the time reported is from main()
// to that read, as the child measured it. Beside it, in the same run, the same binary
// returning from main() at once (process_exit_at_once_ms) and the whole first-read
// process, exit included (process_ms).
void BM_FirstReadFreshProcess(benchmark::State& state) {
  const std::string dir = dataRoot + "/first-read";
  const std::string app = "first-read";
  const std::string text = readPayload(kTableFeatures);
  std::string problem;
  if (!OrvRCCache::store(dir, app, "ki_feature", {OrvValue::parseJson(text).value, "\"etag\""},
                         &problem)) {
    state.SkipWithError(("the cache could not be written: " + problem).c_str());
    return;
  }
  double process = 0, exitAtOnce = 0;
  for (auto _ : state) {
    double seconds = 0;
    runChild({ORV_FIRST_READ_PROBE_PATH, dir, app, "f0", "value number 0", "--exit-at-once"},
             seconds);
    exitAtOnce += seconds;
    const std::string out =
        runChild({ORV_FIRST_READ_PROBE_PATH, dir, app, "f0", "value number 0"}, seconds);
    long long micros = -1;
    if (std::sscanf(out.c_str(), "first_read_us=%lld", &micros) != 1 || micros < 0) {
      state.SkipWithError("the probe did not read the cached value");
      return;
    }
    process += seconds;
    state.SetIterationTime(static_cast<double>(micros) / 1e6);
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["process_ms"] = process / n * 1e3;
  state.counters["process_exit_at_once_ms"] = exitAtOnce / n * 1e3;
}
BENCHMARK(BM_FirstReadFreshProcess)
    ->Iterations(iterations(30))
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime();

// ---- how soon a process is gone after main returns -------------------------------

// A fresh orv_exit_probe per iteration, in a fresh data directory: the time from its
// "exiting" line (right before main returns) until it is gone. Arg 0 is the baseline
// (started, nothing in flight); 1 returns while 5,000 first-time exposures are recorded
// and delivered to a sink; 2 while three reloads parse a payload of 20,000 experiments.
// The exit stops library threads within a grace period of one second, so anything
// near it means a thread was left to run out its time.
void BM_ExitWhileBusy(benchmark::State& state) {
  static const char* const kModes[] = {"idle", "deliver", "reload"};
  static const int kSizes[] = {10, 5000, 20000};
  const int mode = static_cast<int>(state.range(0));
  state.SetLabel(kModes[mode]);
  int round = 0;
  for (auto _ : state) {
    const std::string dir =
        dataRoot + "/exit-" + std::to_string(mode) + "-" + std::to_string(round++);
    std::filesystem::create_directories(dir);
    int out[2];
    if (::pipe(out) != 0) return state.SkipWithError("pipe failed");
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::dup2(out[1], 1);
      ::close(out[0]);
      ::close(out[1]);
      const std::string size = std::to_string(kSizes[mode]);
      ::execl(ORV_EXIT_PROBE_PATH, ORV_EXIT_PROBE_PATH, kModes[mode], dir.c_str(), size.c_str(),
              static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(out[1]);
    std::string text;
    char c;
    while (text.find("exiting\n") == std::string::npos && ::read(out[0], &c, 1) == 1) text += c;
    const auto said = std::chrono::steady_clock::now();
    int status = 0;
    ::waitpid(pid, &status, 0);
    const auto gone = std::chrono::steady_clock::now();
    ::close(out[0]);
    std::filesystem::remove_all(dir);
    if (text.find("exiting\n") == std::string::npos || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0)
      return state.SkipWithError("the probe failed or crashed before or during its exit");
    state.SetIterationTime(std::chrono::duration<double>(gone - said).count());
  }
}
BENCHMARK(BM_ExitWhileBusy)
    ->DenseRange(0, 2)
    ->Iterations(iterations(10))
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime();

// Starting another application inside a process that already runs one (threads up, the
// exposure store open): from the start until the new application's cached table answers.
void BM_SwitchApplication(benchmark::State& state) {
  const std::string text = payloadText(kTableFeatures);
  const OrvValue payload = OrvValue::parseJson(text).value;
  // Across repetitions too: every round a fresh application, so nothing of it is in
  // memory yet and the start really reads its cache.
  static int round = 0;
  for (auto _ : state) {
    state.PauseTiming();
    const std::string app = "cold-" + std::to_string(::getpid()) + "-" + std::to_string(round++);
    std::string problem;
    OrvRCCache::store(OrvPlatform::dataDirectory(), app, "ki_feature", {payload, "\"etag\""},
                      &problem);
    auto config = OrvExperimentConfig::create(
        app, "file:///nonexistent/orv-bench");  // fetch fails: cache only
    state.ResumeTiming();
    OrvExperiment::startWithConfig(config);
    auto& manager = OrvFeatureManager::sharedInstance();
    for (;;) {
      auto feature = manager.getFeature("f0", false);  // no exposure work in the timing
      if (manager.config() == config && feature &&
          feature->value().stringValue() == "value number 0")
        break;
      std::this_thread::yield();
    }
    state.PauseTiming();
    drainQueue();
    state.ResumeTiming();
  }
  // Leave the library on the read benchmarks' application (outside the timed loop).
  startOn(startedApp, readPayload(kTableFeatures));
}
BENCHMARK(BM_SwitchApplication)
    ->Iterations(iterations(20))
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// ---- first-time exposure ----------------------------------------------------------

void BM_FirstExposure(benchmark::State& state) {
  auto& manager = OrvFeatureManager::sharedInstance();
  int i = 0;
  for (auto _ : state) {
    state.PauseTiming();
    const std::string key = "f" + std::to_string((i++ % (kTableFeatures / 10)) * 10);
    const std::string record = manager.getFeature(key, false)->experimentInfo()->recordKey();
    OrvExperimentQueue::sharedInstance().execute(
        [record] { OrvExperimentStorage::removeKey(record); });
    drainQueue();
    std::uint64_t before;
    {
      std::lock_guard lock(events.mutex);
      before = events.count;
    }
    state.ResumeTiming();
    OrvExperiment::getValueAsString(key);
    if (!waitForEvents(before + 1)) {
      state.SkipWithError("the exposure event never came");
      return;
    }
  }
}
BENCHMARK(BM_FirstExposure)
    ->Iterations(iterations(200))
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

// ---- memory of one big payload, in a fresh process -------------------------------

// Runs orv_payload_probe on `text` (written to a file under `name`): the library starts
// on it in a fresh process. Returns what the probe printed (code, features, peak, held,
// heap), empty when it could not run.
std::map<std::string, double> probePayload(const std::string& name, const std::string& text) {
  // A fresh data directory each time: no cache from an earlier run to load beside it.
  const std::string dir = dataRoot + "/probe-" + name;
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  std::ofstream(dir + "/payload.json", std::ios::binary) << text;
  double seconds = 0;
  const std::string printed = runChild({ORV_PROBE_PATH, dir, dir + "/payload.json"}, seconds);
  std::map<std::string, double> out;
  char key[32];
  double value = 0;
  for (int at = 0, used = 0;
       std::sscanf(printed.c_str() + at, " %31[a-z]=%lf%n", key, &value, &used) == 2; at += used)
    out[key] = value;
  std::filesystem::remove_all(dir);
  return out;
}

double probed(const std::map<std::string, double>& out, const char* key) {
  const auto it = out.find(key);
  return it == out.end() ? -1 : it->second;
}

// A 31 MiB body through the whole start-up (file://, parse, table) in a child process.
// Bodies that load: /0 an object holding a long array of 12-digit numbers, /1 the usual
// mix of features. /2: 2.5 million short keys ({"k0000001":1,...}), the most a body of
// that size costs per byte as a dictionary; it is over the budget and is refused (code
// -11), so its figures are those of the refusal. /3: a refusal, an array of 16 million
// zeros. Peak and held resident growth are reported less a tiny payload's, and as
// multiples of the body.
void BM_PayloadMemory(benchmark::State& state) {
  constexpr std::size_t kBody = 31u << 20;
  std::string body;
  body.reserve(kBody + 64);
  switch (state.range(0)) {
    case 0:
      state.SetLabel("numbers");
      body = R"({"numbers":[100000000000)";
      for (std::uint64_t n = 100000000001; body.size() + 14 < kBody; ++n)
        body += "," + std::to_string(n);
      body += "]}";
      break;
    case 1:
      state.SetLabel("mixed features");
      // Longer numbers make large payloads longer per feature: aim a little under.
      body = makePayload(static_cast<int>(8500.0 * kBody / payloadText(10000).size()));
      break;
    case 2: {
      state.SetLabel("short keys, refused");
      char entry[32];
      body = "{";
      for (int k = 1; k <= 2'500'000; ++k) {
        std::snprintf(entry, sizeof entry, "%s\"k%07d\":1", k > 1 ? "," : "", k);
        body += entry;
      }
      body += "}";
      break;
    }
    default:
      state.SetLabel("zeros, refused");
      body = R"({"zeros":[0)";
      while (body.size() + 3 < kBody) body += ",0";
      body += "]}";
  }
  for (auto _ : state) {
    const auto tiny = probePayload("tiny", R"({"a":"b"})");
    const auto big = probePayload(std::to_string(state.range(0)), body);
    const double size = static_cast<double>(body.size());
    state.counters["code"] = big.count("code") ? big.at("code") : -999;
    state.counters["features"] = probed(big, "features");
    state.counters["peak_x_body"] = (probed(big, "peak") - probed(tiny, "peak")) / size;
    state.counters["held_x_body"] = (probed(big, "held") - probed(tiny, "held")) / size;
  }
}
BENCHMARK(BM_PayloadMemory)->DenseRange(0, 3)->Iterations(1)->Unit(benchmark::kMillisecond);

// The heap the whole library holds once started on the 10,000-feature payload (about
// 400 kB of JSON) in a fresh process: the table, the payload, and whatever the threads
// that parsed it keep (each thread's parser). Also less the heap after a start on a
// tiny payload, which is what the payload's size costs.
void BM_LoadedLibraryMemory(benchmark::State& state) {
  for (auto _ : state) {
    const auto tiny = probePayload("tiny", R"({"a":"b"})");
    const auto loaded = probePayload("10000", payloadText(kTableFeatures));
    state.counters["code"] = probed(loaded, "code");
    state.counters["heap_bytes"] = probed(loaded, "heap");
    state.counters["heap_less_tiny"] = probed(loaded, "heap") - probed(tiny, "heap");
    state.counters["tiny_heap_bytes"] = probed(tiny, "heap");
  }
}
BENCHMARK(BM_LoadedLibraryMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

// ---- many first-time exposures at once (group commit) --------------------------------

// From the first read to the last event at the sink, every exposure new to the store.
// Switches the library to applications of its own, so it runs last.
void BM_DistinctFirstExposures(benchmark::State& state) {
  constexpr int kExposures = 10'000;
  static const std::string payload = manyExperiments(kExposures, "d", "x");
  // Across repetitions too: an application used before has its exposures recorded, so a
  // round on it would wait for events that never come.
  static int round = 0;
  for (auto _ : state) {
    state.PauseTiming();
    // A fresh application: a fresh exposure domain, so every read is a first exposure.
    if (!startOn(startedApp + "-distinct-" + std::to_string(round++), payload)) {
      state.SkipWithError("start-up failed");
      return;
    }
    std::uint64_t before;
    {
      std::lock_guard lock(events.mutex);
      before = events.count;
    }
    state.ResumeTiming();
    for (int i = 0; i < kExposures; ++i) OrvExperiment::getValueAsString("d" + std::to_string(i));
    if (!waitForEvents(before + kExposures)) {
      state.SkipWithError("not every exposure event came");
      return;
    }
  }
  state.SetItemsProcessed(state.iterations() * kExposures);
}
BENCHMARK(BM_DistinctFirstExposures)
    ->Iterations(iterations(3))
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
