// Benchmarks. Every ratio claimed is against a baseline measured in the same run:
//  - BM_ReadBaseline: one recursive_mutex lock, one unordered_map<string> find and one
//    string copy, the floor for a read as designed;
//  - BM_SimdjsonParse: simdjson's own DOM parse of the same payload text.
// Run: cmake --preset bench && cmake --build --preset bench && build/bench/bench/orv_benchmarks
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

#include "OrvExperiment/OrvExperiment.h"
#include "OrvExperiment/OrvPlatform.h"
#ifdef ORV_ORVEXP_PATH
#include <httplib.h>

#include "OrvConfigServer.h"
#include "OrvEventCollector.h"
#include "OrvReadout.h"
#include "OrvSrm.h"
#include "OrvStatistics.h"
#endif
#include "../tests/ManyExperiments.h"
#include "OrvAssignment.h"
#include "OrvExperimentQueue.h"
#include "OrvExperimentStorage.h"
#include "OrvFeatureManager.h"
#include "OrvFeatureParser.h"
#include "OrvMediator.h"
#include "platform/OrvEventOutbox.h"
#include "remote_config/OrvRCCache.h"

namespace {

constexpr int kTableFeatures = 10000;

// A payload of `features` features ("f0", "f1", ...) of mixed kinds, with one
// experiment entry per 10 features listing those 10.
std::string makePayload(int features) {
  std::string out = "{";
  for (int i = 0; i < features; ++i) {
    out += "\"f" + std::to_string(i) + "\":";
    switch (i % 4) {
      case 0:
        out += "\"value number " + std::to_string(i) + "\"";
        break;
      case 1:
        out += std::to_string(i * 3);
        break;
      case 2:
        out += (i % 8 == 2) ? "true" : "false";
        break;
      default:
        out +=
            "{\"title\":\"t" + std::to_string(i) + "\",\"weight\":" + std::to_string(i % 97) + "}";
    }
    out += ",";
  }
  out += "\"experiment_detail\":[";
  for (int e = 0; e * 10 < features; ++e) {
    if (e) out += ",";
    out += "{\"#experiment_id\":\"exp" + std::to_string(e) + "\",\"#experiment_group_id\":\"" +
           std::to_string(e % 3) + "\",\"#is_control_group\":" + (e % 2 ? "true" : "false") +
           ",\"bucket_id\":" + std::to_string(e % 100) + ",\"#feature_list\":[";
    for (int k = 0; k < 10 && e * 10 + k < features; ++k) {
      if (k) out += ",";
      out += "\"f" + std::to_string(e * 10 + k) + "\"";
    }
    out += "]}";
  }
  out += "]}";
  return out;
}

std::size_t residentBytes() {
  long pages = 0, resident = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return static_cast<std::size_t>(resident) * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

// Heap in use, mapped blocks included (large buffers are mapped, not in the arenas).
std::size_t heapBytes() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

// ORV_BENCH_SHORT=1 (CI) runs every benchmark once with small fixed counts: it proves
// each one finishes and still measures what it says, not how fast. Read at registration.
bool shortRun() {
  static const bool on = [] {
    const char* v = std::getenv("ORV_BENCH_SHORT");
    return v && *v && std::string(v) != "0";
  }();
  return on;
}
// A fixed iteration count, a tenth of it (at least one) in a short run.
benchmark::IterationCount iterations(benchmark::IterationCount n) {
  return shortRun() ? std::max<benchmark::IterationCount>(1, n / 10) : n;
}

// How long any single wait of a benchmark may take before it is reported as an error
// instead of hanging the run.
constexpr auto kBenchWait = std::chrono::seconds(60);

bool drainQueue() {
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  OrvExperimentQueue::sharedInstance().serialQueue().submit([&] {
    std::lock_guard lock(m);
    done = true;
    cv.notify_all();
  });
  std::unique_lock lock(m);
  return cv.wait_for(lock, std::chrono::seconds(30), [&] { return done; });
}

// Exposure events reach this sink; first-time exposure timing waits on it.
struct EventCounter {
  std::mutex mutex;
  std::condition_variable cv;
  std::uint64_t count = 0;
} events;

// Waits until the exposure sink has counted `target` events; false after kBenchWait.
bool waitForEvents(std::uint64_t target) {
  std::unique_lock lock(events.mutex);
  return events.cv.wait_for(lock, kBenchWait, [&] { return events.count >= target; });
}

std::string dataRoot;
std::string startedApp;
std::shared_ptr<OrvExperimentConfig> startedConfig;

// Starts the library on a payload file and waits for start-up's success.
bool startOn(const std::string& app, const std::string& payload) {
  const std::string file = dataRoot + "/" + app + ".json";
  std::ofstream(file) << payload;
  auto config = OrvExperimentConfig::create(app, "file://" + file);
  auto task = OrvExperimentTask::create();
  std::mutex m;
  std::condition_variable cv;
  bool ok = false, done = false;
  task->addOnSuccessListener([&] {
    std::lock_guard lock(m);
    ok = done = true;
    cv.notify_all();
  });
  task->addOnFailureListener([&](std::int64_t, const std::string&) {
    std::lock_guard lock(m);
    done = true;
    cv.notify_all();
  });
  config->setStartupTask(task);
  OrvExperiment::startWithConfig(config);
  std::unique_lock lock(m);
  cv.wait_for(lock, std::chrono::seconds(30), [&] { return done; });
  config->setStartupTask(nullptr);
  startedConfig = config;
  return ok;
}

// ---- reads ------------------------------------------------------------------------

struct BaselineFeature {
  std::string value;
};

void BM_ReadBaseline(benchmark::State& state) {
  static std::recursive_mutex mutex;
  static const auto* table = [] {
    auto* t = new std::unordered_map<std::string, std::shared_ptr<BaselineFeature>>();
    for (int i = 0; i < kTableFeatures; ++i) {
      t->emplace(
          "f" + std::to_string(i),
          std::make_shared<BaselineFeature>(BaselineFeature{"value number " + std::to_string(i)}));
    }
    return t;
  }();
  const std::string key = "f4";
  for (auto _ : state) {
    std::string copy;
    {
      std::lock_guard lock(mutex);
      auto it = table->find(key);
      if (it != table->end()) copy = it->second->value;
    }
    benchmark::DoNotOptimize(copy);
  }
}
BENCHMARK(BM_ReadBaseline)->Threads(1)->Threads(2)->UseRealTime();

// Keys: f4 is a string feature without... every feature belongs to an experiment in
// the generated payload, so "present, no experiment" reads use the extra keys below.
const char* keyFor(int kind) {
  switch (kind) {
    case 0:
      return "plain";  // present, no experiment
    case 1:
      return "missing";  // not in the table
    default:
      return "f4";  // experiment, exposure already recorded
  }
}

template <int Accessor>
void BM_Read(benchmark::State& state) {
  const std::string key = keyFor(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    if constexpr (Accessor == 0) {
      benchmark::DoNotOptimize(OrvExperiment::getValueAsString(key));
    } else if constexpr (Accessor == 1) {
      benchmark::DoNotOptimize(OrvExperiment::getValueAsNumber(key));
    } else if constexpr (Accessor == 2) {
      benchmark::DoNotOptimize(OrvExperiment::getValueAsBoolean(key));
    } else {
      benchmark::DoNotOptimize(OrvExperiment::getValueAsJson(key));
    }
  }
  state.SetLabel(key);
}
#define ORV_READ_BENCHMARK(name, accessor) \
  BENCHMARK_TEMPLATE(BM_Read, accessor)    \
      ->Name(name)                         \
      ->Arg(0)                             \
      ->Arg(1)                             \
      ->Arg(2)                             \
      ->Threads(1)                         \
      ->Threads(2)                         \
      ->UseRealTime()
ORV_READ_BENCHMARK("BM_GetValueAsString", 0);
ORV_READ_BENCHMARK("BM_GetValueAsNumber", 1);
ORV_READ_BENCHMARK("BM_GetValueAsBoolean", 2);
ORV_READ_BENCHMARK("BM_GetValueAsJson", 3);

// ---- parse ------------------------------------------------------------------------

const std::string& payloadText(int features) {
  static std::mutex m;
  static std::unordered_map<int, std::string> cache;
  std::lock_guard lock(m);
  auto& text = cache[features];
  if (text.empty()) text = makePayload(features);
  return text;
}

// The read benchmarks' payload: payloadText() with one more feature, "plain", that
// belongs to no experiment.
std::string readPayload(int features) {
  std::string text = payloadText(features);
  text.insert(1, "\"plain\":\"a plain value\",");
  return text;
}

// A payload of `features` features whose values are all short strings, half of them
// within std::string's inline buffer ("s12") and half beyond it ("value number 13"), and
// no experiment entries: where the per-string costs of parsing show most.
std::string makeStringsPayload(int features) {
  std::string out = "{";
  for (int i = 0; i < features; ++i) {
    out += "\"f" + std::to_string(i) + "\":\"";
    out += (i % 2 ? "value number " : "s") + std::to_string(i);
    out += "\",";
  }
  out.back() = '}';
  return out;
}

// Arg 0: the feature count; arg 1: 0 for the mixed payload, 1 for the strings payload.
const std::string& parseText(const benchmark::State& state) {
  if (state.range(1) == 0) return payloadText(static_cast<int>(state.range(0)));
  static std::mutex m;
  static std::unordered_map<int, std::string> cache;
  std::lock_guard lock(m);
  auto& text = cache[static_cast<int>(state.range(0))];
  if (text.empty()) text = makeStringsPayload(static_cast<int>(state.range(0)));
  return text;
}

void BM_Parse(benchmark::State& state) {
  const std::string& text = payloadText(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    auto parsed = OrvValue::parseJson(text);
    auto table = OrvFeatureParser::parse(parsed.value);
    benchmark::DoNotOptimize(table);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_Parse)->Arg(100)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);

// The two halves of BM_Parse, to show where its time goes. Each text is also parsed by
// BM_SimdjsonParse with the same arguments: the ratio of the two is the one to watch.
void BM_ParseJsonOnly(benchmark::State& state) {
  const std::string& text = parseText(state);
  for (auto _ : state) benchmark::DoNotOptimize(OrvValue::parseJson(text));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_ParseJsonOnly)
    ->ArgsProduct({{10000}, {0, 1}})
    ->ArgNames({"features", "strings"})
    ->Unit(benchmark::kMicrosecond);

void BM_BuildTableOnly(benchmark::State& state) {
  const OrvValue payload = OrvValue::parseJson(payloadText(static_cast<int>(state.range(0)))).value;
  for (auto _ : state) benchmark::DoNotOptimize(OrvFeatureParser::parse(payload));
}
BENCHMARK(BM_BuildTableOnly)->Arg(10000)->Unit(benchmark::kMicrosecond);

// A load's cost for a payload without weighted groups: arg 1 is 0 for the table build
// alone (the baseline, as loads were), 1 with the look for "#groups" every load now
// makes first. The ratio of the two is the whole of what assignment costs such payloads.
void BM_LoadWithoutGroups(benchmark::State& state) {
  const OrvValue payload = OrvValue::parseJson(payloadText(static_cast<int>(state.range(0)))).value;
  const bool look = state.range(1) == 1;
  for (auto _ : state) {
    if (look && OrvAssignment::hasGroups(payload)) state.SkipWithError("the payload has groups");
    benchmark::DoNotOptimize(OrvFeatureParser::parse(payload));
  }
}
BENCHMARK(BM_LoadWithoutGroups)
    ->ArgsProduct({{100, 10000}, {0, 1}})
    ->ArgNames({"features", "look"})
    ->Unit(benchmark::kMicrosecond);

// The same table with its experiments declared as two weighted groups each, resolved
// for one unit before the build (what a file://, static or test-mode load does).
void BM_LoadResolvingGroups(benchmark::State& state) {
  const int experiments = static_cast<int>(state.range(0));
  OrvValue::Dictionary top;
  OrvValue::Array detail;
  for (int i = 0; i < experiments; ++i) {
    const std::string key = "f" + std::to_string(i);
    top.emplace_back(key, OrvValue("base"));
    detail.push_back(OrvValue::dictionary(
        {{"#experiment_id", OrvValue("e" + std::to_string(i))},
         {"#feature_list", OrvValue::array({OrvValue(key)})},
         {"#groups",
          OrvValue::array({OrvValue::dictionary({{"id", OrvValue("a")}, {"weight", OrvValue(50)}}),
                           OrvValue::dictionary(
                               {{"id", OrvValue("b")},
                                {"weight", OrvValue(50)},
                                {"values", OrvValue::dictionary({{key, OrvValue("b")}})}})})}}));
  }
  top.emplace_back("experiment_detail", OrvValue::array(std::move(detail)));
  const OrvValue payload = OrvValue::dictionary(std::move(top));
  for (auto _ : state) {
    OrvValue resolved = OrvAssignment::resolve(payload, "device-7", nullptr);
    benchmark::DoNotOptimize(OrvFeatureParser::parse(resolved));
  }
}
BENCHMARK(BM_LoadResolvingGroups)->Arg(100)->Arg(10000)->Unit(benchmark::kMicrosecond);

void BM_SimdjsonParse(benchmark::State& state) {
  const std::string& text = parseText(state);
  simdjson::dom::parser parser;
  simdjson::padded_string padded(text);
  for (auto _ : state) {
    simdjson::dom::element root;
    auto error = parser.parse(padded).get(root);
    benchmark::DoNotOptimize(error);
    benchmark::DoNotOptimize(root);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_SimdjsonParse)
    ->ArgsProduct({{100, 10000, 100000}, {0}})
    ->Args({10000, 1})
    ->ArgNames({"features", "strings"})
    ->Unit(benchmark::kMicrosecond);

// ---- memory -----------------------------------------------------------------------

long statusBytes(const char* field) {
  std::ifstream in("/proc/self/status");
  const std::string prefix = std::string(field) + ":";
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(prefix, 0) == 0) return std::stol(line.substr(prefix.size())) * 1024;
  }
  return -1;
}

// One load of the 10,000-feature payload (parse and table) on a thread of its own, as
// the library's fetch worker does it: what the load costs at its peak, with the parser's
// buffers, and what stays once it is done while that thread lives on (its thread_local
// parser included, if it keeps one).
void BM_TableMemory(benchmark::State& state) {
  const std::string& text = payloadText(kTableFeatures);
  for (auto _ : state) {
    std::mutex m;
    std::condition_variable cv;
    bool loaded = false, finish = false;
    std::shared_ptr<const OrvFeatureTable> table;
    malloc_trim(0);
    const std::size_t heapBefore = heapBytes();
    const long rssBefore = statusBytes("VmRSS");
    std::ofstream("/proc/self/clear_refs") << "5";  // the peak starts again from here
    std::thread loader([&] {
      auto loadedTable = OrvFeatureParser::parse(OrvValue::parseJson(text).value);
      std::unique_lock lock(m);
      table = std::move(loadedTable);
      loaded = true;
      cv.notify_all();
      cv.wait(lock, [&] { return finish; });
    });
    {
      std::unique_lock lock(m);
      cv.wait(lock, [&] { return loaded; });
    }
    const long peak = statusBytes("VmHWM");
    malloc_trim(0);
    state.counters["peak_resident_bytes"] = static_cast<double>(peak - rssBefore);
    state.counters["heap_bytes"] = static_cast<double>(heapBytes() - heapBefore);
    state.counters["resident_bytes"] = static_cast<double>(statusBytes("VmRSS") - rssBefore);
    {
      std::lock_guard lock(m);
      finish = true;
      cv.notify_all();
    }
    loader.join();
    benchmark::DoNotOptimize(table);
  }
}
BENCHMARK(BM_TableMemory)->Iterations(1);

// ---- the first read of a fresh process ------------------------------------------

// Runs `command` (argv) with stdout read back; the wall time from spawn to exit in
// `processSeconds`. Empty output when it could not run or failed.
std::string runChild(const std::vector<std::string>& command, double& processSeconds) {
  int out[2];
  if (::pipe(out) != 0) return "";
  const auto started = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out[1], 1);
    ::close(out[0]);
    ::close(out[1]);
    std::vector<char*> argv;
    for (const auto& a : command) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(out[1]);
  std::string text;
  char buffer[256];
  for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;) text.append(buffer, n);
  ::close(out[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  processSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? text : "";
}

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

// ---- read flood -------------------------------------------------------------------

void BM_ReadFlood(benchmark::State& state) {
  auto& queue = OrvExperimentQueue::sharedInstance().serialQueue();
  auto& manager = OrvFeatureManager::sharedInstance();
  const std::string key = "f20";
  for (auto _ : state) {
    state.PauseTiming();
    // Start from an unrecorded exposure, so the flood also covers the first write.
    const std::string record = manager.getFeature(key, false)->experimentInfo()->recordKey();
    OrvExperimentQueue::sharedInstance().execute(
        [record] { OrvExperimentStorage::removeKey(record); });
    drainQueue();
    malloc_trim(0);
    const std::size_t rssBefore = residentBytes();
    const std::uint64_t submittedBefore = queue.submittedCount();
    queue.resetPeakPendingCount();
    state.ResumeTiming();
    const long kReadsPerThread = shortRun() ? 100'000 : 5'000'000;
    std::vector<std::thread> readers;
    for (int t = 0; t < 2; ++t) {
      readers.emplace_back([&] {
        for (long n = 0; n < kReadsPerThread; ++n)
          benchmark::DoNotOptimize(OrvExperiment::getValueAsString(key));
      });
    }
    for (auto& r : readers) r.join();
    state.PauseTiming();
    drainQueue();
    state.counters["reads"] = 2.0 * kReadsPerThread;
    state.counters["peak_queued_blocks"] = static_cast<double>(queue.peakPendingCount());
    state.counters["blocks_queued"] = static_cast<double>(queue.submittedCount() - submittedBefore);
    state.counters["resident_growth_bytes"] =
        static_cast<double>(residentBytes()) - static_cast<double>(rssBefore);
    state.ResumeTiming();
  }
}
BENCHMARK(BM_ReadFlood)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// ---- reads while another thread reloads ------------------------------------------------

// One thread fetches a 100,000-feature payload in a loop, as an application's fetch()
// does: the component reads the body (file://), parses it and caches it, the work queue
// builds the table and swaps it in, and the previous table and its document are freed.
// This thread reads and times every read. Reports the 99.9th percentile and the worst
// read. Puts the read benchmarks' payload back afterwards.
void BM_ReadDuringReload(benchmark::State& state) {
  const std::string payloadFile = dataRoot + "/" + startedApp + ".json";
  std::ofstream(payloadFile) << readPayload(100'000);
  // One fetch outcome at a time; false when none came within kBenchWait.
  const auto fetchOnce = [] {
    auto done = std::make_shared<std::promise<bool>>();
    OrvExperiment::fetch()
        ->addOnSuccessListener([done] { done->set_value(true); })
        ->addOnFailureListener(
            [done](std::int64_t, const std::string&) { done->set_value(false); });
    auto future = done->get_future();
    return future.wait_for(kBenchWait) == std::future_status::ready && future.get();
  };
  if (!fetchOnce() || OrvFeatureManager::sharedInstance().features()->size() < 100'000) {
    state.SkipWithError("the large payload was not loaded");
    return;
  }
  std::atomic<bool> stop{false}, failed{false};
  std::atomic<int> reloads{0};
  std::thread reloader([&] {
    while (!stop) {
      if (!fetchOnce()) {
        failed = true;
        return;
      }
      ++reloads;
    }
  });
  // Written before timing starts: a first touch of a page of this buffer would fault,
  // and a fault waits for the address-space lock that the reloader's frees take.
  std::vector<std::int64_t> nanos(static_cast<std::size_t>(state.max_iterations), 0);
  std::size_t reads = 0;
  rusage before{};
  ::getrusage(RUSAGE_THREAD, &before);
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(OrvExperiment::getValueAsString("f4"));
    nanos[reads++] =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - t0)
            .count();
  }
  rusage after{};
  ::getrusage(RUSAGE_THREAD, &after);
  stop = true;
  reloader.join();
  std::ofstream(payloadFile) << readPayload(kTableFeatures);
  if (failed || !fetchOnce()) state.SkipWithError("a fetch failed");
  // On a machine with as many cores as busy threads, the worst read is the scheduler
  // taking the core away, not waiting for the reload: this says how often that happened.
  state.counters["reader_preempted"] = static_cast<double>(after.ru_nivcsw - before.ru_nivcsw);

  nanos.resize(reads);
  std::sort(nanos.begin(), nanos.end());
  state.counters["over_50us"] = static_cast<double>(
      nanos.end() - std::upper_bound(nanos.begin(), nanos.end(), std::int64_t{50'000}));
  state.counters["p999_us"] = nanos[nanos.size() * 999 / 1000] / 1000.0;
  state.counters["max_us"] = nanos.back() / 1000.0;
  state.counters["reloads"] = reloads.load();
}
BENCHMARK(BM_ReadDuringReload)->Iterations(iterations(3'000'000))->UseRealTime();

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

// ---- OTLP/HTTP export to orvexp serve ----------------------------------------------

#ifdef ORV_ORVEXP_PATH
// A real `orvexp serve --events` on loopback, started once. Its store keeps every round's
// events (each round's are new): rounds differ by a few percent of stored rows.
struct Collector {
  pid_t pid = -1;
  std::string url;
  std::string events;
};

Collector* startedCollector = nullptr;

const Collector& collector() {
  static Collector* c = [] {
    auto* out = new Collector();
    out->events = dataRoot + "/collected.sqlite3";
    const std::string portFile = dataRoot + "/serve.out";
    std::filesystem::create_directories(dataRoot + "/payloads");
    out->pid = ::fork();
    if (out->pid == 0) {
      std::freopen(portFile.c_str(), "w", stdout);
      ::execl(ORV_ORVEXP_PATH, "orvexp", "serve", "--dir", (dataRoot + "/payloads").c_str(),
              "--port", "0", "--events", out->events.c_str(), "--quiet",
              static_cast<char*>(nullptr));
      ::_exit(127);
    }
    for (int i = 0; i < 1000 && out->url.empty(); ++i) {
      std::ifstream in(portFile);
      std::string word;
      while (in >> word)
        if (out->url.empty() && word.rfind("http://", 0) == 0) out->url = word;
      if (out->url.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    startedCollector = out;
    return out;
  }();
  return *c;
}

// Events stored straight into the exporter's queue, then timed from the exporter's
// start until the collector has accepted all of them.
void BM_OtlpExport(benchmark::State& state) {
  const std::size_t count = static_cast<std::size_t>(state.range(0));
  const Collector& c = collector();
  if (c.url.empty()) {
    state.SkipWithError("orvexp serve did not start");
    return;
  }
  const auto outbox = OrvEventOutbox::forDirectory(OrvPlatform::dataDirectory());
  std::size_t peakGrowth = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<OrvOutboxEvent> events(count);
    for (std::size_t i = 0; i < count; ++i) {
      events[i].consumer = "otlp " + c.url + "/v1/logs";
      events[i].appId = startedApp;
      events[i].name = "zu_experiment_exposure";
      events[i].properties =
          OrvValue::dictionary({{"#experiment_id", OrvValue("exp" + std::to_string(i))},
                                {"#experiment_group_id", OrvValue("1")},
                                {"#is_control_group", OrvValue(false)}});
    }
    outbox->append(std::move(events));
    malloc_trim(0);
    const std::size_t before = residentBytes();
    std::atomic<bool> done{false};
    std::atomic<std::size_t> peak{before};
    std::thread sampler([&] {
      while (!done) {
        peak = std::max(peak.load(), residentBytes());
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    });
    state.ResumeTiming();
    OrvOtlpExporterOptions options;
    options.endpoint = c.url;
    const auto id = OrvMediator::sharedInstance()->addOtlpExporter(options);
    const bool delivered = OrvMediator::sharedInstance()->flushExporters(std::chrono::minutes(5));
    state.PauseTiming();
    OrvMediator::sharedInstance()->removeOtlpExporter(id);
    done = true;
    sampler.join();
    peakGrowth = std::max(peakGrowth, peak.load() > before ? peak.load() - before : 0);
    if (!delivered) state.SkipWithError("the exporter did not finish");
    state.ResumeTiming();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * count));
  state.counters["peak_resident_growth_MB"] = static_cast<double>(peakGrowth) / (1 << 20);
}
BENCHMARK(BM_OtlpExport)
    ->Arg(1'000)
    ->Arg(20'000)
    ->Arg(100'000)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

double processCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double threadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// Events arriving one by one, as an application logs them: each goes through the
// mediator (stored, handed to the exporter's queue, the exporter woken) before the next,
// back to back or range(1) microseconds apart; timed from the first event until the
// collector has accepted all of them. The exporter is woken once per event while it
// waits for a full batch (512): other_threads_cpu_s is the CPU time of every thread but
// the benchmark's own (the exporter's, mostly), beside the storing the benchmark's
// thread does itself.
void BM_OtlpExportOneByOne(benchmark::State& state) {
  const std::size_t count = static_cast<std::size_t>(state.range(0));
  const auto pause = std::chrono::microseconds(state.range(1));
  const Collector& c = collector();
  if (c.url.empty()) {
    state.SkipWithError("orvexp serve did not start");
    return;
  }
  auto* mediator = OrvMediator::sharedInstance();
  double others = 0;
  for (auto _ : state) {
    state.PauseTiming();
    OrvOtlpExporterOptions options;
    options.endpoint = c.url;
    const auto id = mediator->addOtlpExporter(options);
    // Whatever an earlier benchmark left queued goes first, outside the timing.
    const bool drained = mediator->flushExporters(std::chrono::minutes(5));
    const double processBefore = processCpuSeconds(), threadBefore = threadCpuSeconds();
    state.ResumeTiming();
    for (std::size_t i = 0; i < count; ++i) {
      mediator->orvAnalyticsTrackEvent(
          "zu_experiment_exposure",
          OrvValue::dictionary({{"#experiment_id", OrvValue("exp" + std::to_string(i))},
                                {"#experiment_group_id", OrvValue("1")},
                                {"#is_control_group", OrvValue(false)}}),
          startedApp);
      if (pause.count() > 0) std::this_thread::sleep_for(pause);
    }
    const bool delivered = mediator->flushExporters(std::chrono::minutes(5));
    state.PauseTiming();
    others += (processCpuSeconds() - processBefore) - (threadCpuSeconds() - threadBefore);
    const OrvOtlpExporterStats stats = mediator->otlpExporterStats(id);
    mediator->removeOtlpExporter(id);
    if (!drained || !delivered || stats.exported < count)
      state.SkipWithError("the exporter did not finish");
    state.ResumeTiming();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * count));
  state.counters["other_threads_cpu_s"] = others / static_cast<double>(state.iterations());
}
BENCHMARK(BM_OtlpExportOneByOne)
    ->Args({2'000, 0})
    ->Args({10'000, 0})
    ->Args({2'000, 500})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
#endif

// ---- the collector's store: ingest over HTTP and the sample-ratio check --------------

#ifdef ORV_ORVEXP_PATH
constexpr std::int64_t kStoredEvents = 1'000'000;
constexpr std::size_t kIngestBatch = 512;  // the exporter's default maxBatch

// Exposures over 4 applications and 25 experiments each, split 50 : 50, about a
// millisecond apart, each with an event id made as the library makes them: new in every
// call, so no repetition posts an id the collector already holds.
std::vector<OrvOutboxEvent> randomExposures(std::size_t count, std::mt19937_64& random) {
  static std::int64_t clockMs = 1'700'000'000'000;
  std::vector<OrvOutboxEvent> events(count);
  for (auto& e : events) {
    const std::uint64_t draw = random();
    e.eventId = OrvEventOutbox::newEventId();  // as the library gives every event
    e.appId = "bench-app-" + std::to_string(draw % 4);
    e.name = OrvEventStore::kExposureEvent;
    e.timeMs = clockMs++;
    const bool control = (draw >> 8) % 2 == 0;
    e.properties =
        OrvValue::dictionary({{"#experiment_id", OrvValue(std::to_string(100 + (draw >> 16) % 25))},
                              {"#experiment_group_id", OrvValue(control ? "1" : "2")},
                              {"#is_control_group", OrvValue(control)}});
    // The unit, as the library sends it with every exposure of a unit it knows.
    e.context = OrvValue::dictionary(
        {{"unit", OrvValue("unit-" + std::to_string((draw >> 24) % 1'000'000))}});
  }
  return events;
}

// The collector's store with kStoredEvents exposures, stored once in transactions of
// 50,000; nullptr (with a line on stderr) when it cannot be made. Closed by main().
std::unique_ptr<OrvEventCollector> prefilled;

OrvEventCollector* storedCollector() {
  static OrvEventCollector* collector = []() -> OrvEventCollector* {
    std::string error;
    auto c = OrvEventCollector::open(dataRoot + "/collector.sqlite3", &error);
    std::mt19937_64 random(2024);
    for (std::int64_t done = 0; c && done < kStoredEvents; done += 50'000) {
      std::vector<OrvMediatorEvent> batch;
      for (auto& e : randomExposures(50'000, random)) {
        OrvMediatorEvent m;
        m.eventId = std::move(e.eventId);
        m.appId = std::move(e.appId);
        m.name = std::move(e.name);
        m.properties = std::move(e.properties);
        m.context = std::move(e.context);
        m.time = std::chrono::system_clock::time_point(std::chrono::milliseconds(e.timeMs));
        batch.push_back(std::move(m));
      }
      if (!c->store().add(batch, nullptr, &error)) c.reset();
    }
    if (!c) std::fprintf(stderr, "the collector's store: %s\n", error.c_str());
    prefilled = std::move(c);
    return prefilled.get();
  }();
  return collector;
}

// `orvexp serve`'s server in this process, collecting into the prefilled store (a
// connection of its own to the same file), so ingest and pages are measured through the
// real request handling: bounded body reading, the collector, the report.
std::unique_ptr<OrvConfigServer> startedReportServer;  // stopped by main()

OrvConfigServer* reportServer() {
  static OrvConfigServer* server = []() -> OrvConfigServer* {
    if (!storedCollector()) return nullptr;
    std::filesystem::create_directories(dataRoot + "/payloads");
    auto s = std::make_unique<OrvConfigServer>(dataRoot + "/payloads");
    if (!s->collectEventsTo(dataRoot + "/collector.sqlite3") || !s->start()) return nullptr;
    startedReportServer = std::move(s);
    return startedReportServer.get();
  }();
  return server;
}

void BM_SrmQuery(benchmark::State& state) {
  OrvEventCollector* collector = storedCollector();
  if (!collector) {
    state.SkipWithError("the store could not be made");
    return;
  }
  std::size_t experiments = 0;
  for (auto _ : state) {
    const auto checks = orvSrmChecks(collector->store(), OrvSplitSource{});
    experiments = checks.size();
    benchmark::DoNotOptimize(checks.data());
  }
  state.counters["experiments"] = static_cast<double>(experiments);
  state.counters["stored_events"] = static_cast<double>(collector->store().eventCount());
}
BENCHMARK(BM_SrmQuery)->Unit(benchmark::kMillisecond)->Iterations(iterations(10));

// The readout of a store of its own holding 1,000,000 exposures (200,000 units in each
// of 5 experiments, split 50 : 50 over a week) and 1,000,000 outcomes (purchases with an
// amount and counted clicks, at random units and times from 3 days before the first
// exposure to 4 days after the last, so some are covariates): outcomeStatistics (the
// attribution, every unit's sums, in one pass over the two indexes), then
// orvReadouts over its rows, as `orvexp report` and the page read them out. A tenth of
// each in a short run. /1: the same in passes of a tenth of the rows each, as a store
// ten times larger than kReadoutPassEvents is read.
OrvEventStore* readoutStore() {
  static std::unique_ptr<OrvEventStore> store = []() -> std::unique_ptr<OrvEventStore> {
    const std::int64_t units = shortRun() ? 20'000 : 200'000, experiments = 5;
    const std::int64_t outcomes = units * experiments;
    std::string error;
    auto s = OrvEventStore::open(dataRoot + "/readout.sqlite3", &error);
    std::mt19937_64 random(2026);
    constexpr std::int64_t kStart = 1'700'000'000'000, kWeek = 7 * 86'400'000LL;
    std::vector<OrvMediatorEvent> batch;
    std::int64_t made = 0;
    const auto add = [&](OrvMediatorEvent e, bool last) {
      e.eventId = "r" + std::to_string(made++);
      batch.push_back(std::move(e));
      if ((batch.size() == 50'000 || last) && s) {
        if (!s->add(batch, nullptr, &error)) s.reset();
        batch.clear();
      }
    };
    for (std::int64_t x = 0; x < experiments; ++x) {
      for (std::int64_t u = 0; u < units; ++u) {
        const bool control = random() % 2 == 0;
        OrvMediatorEvent e;
        e.appId = "shop";
        e.name = OrvEventStore::kExposureEvent;
        e.time = std::chrono::system_clock::time_point(
            std::chrono::milliseconds(kStart + static_cast<std::int64_t>(random() % kWeek)));
        e.properties =
            OrvValue::dictionary({{"#experiment_id", OrvValue("x" + std::to_string(x))},
                                  {"#experiment_group_id", OrvValue(control ? "control" : "green")},
                                  {"#is_control_group", OrvValue(control)}});
        e.context = OrvValue::dictionary({{"unit", OrvValue("unit-" + std::to_string(u))}});
        add(std::move(e), false);
      }
    }
    for (std::int64_t i = 0; i < outcomes; ++i) {
      const bool click = random() % 2 == 0;
      OrvMediatorEvent e;
      e.appId = "shop";
      e.name = OrvEventStore::kOutcomeEvent;
      e.time = std::chrono::system_clock::time_point(std::chrono::milliseconds(
          kStart - 3 * 86'400'000LL + static_cast<std::int64_t>(random() % (2 * kWeek))));
      e.properties = OrvValue::dictionary(
          {{"#outcome", OrvValue(click ? "click" : "purchase")},
           {"#value", OrvValue(click ? 1.0 : static_cast<double>(random() % 5000) / 100)}});
      e.context = OrvValue::dictionary(
          {{"unit",
            OrvValue("unit-" + std::to_string(random() % static_cast<std::uint64_t>(units)))}});
      add(std::move(e), i + 1 == outcomes);
    }
    if (!s) std::fprintf(stderr, "the readout's store: %s\n", error.c_str());
    return s;
  }();
  return store.get();
}

void BM_Readout(benchmark::State& state) {
  OrvEventStore* store = readoutStore();
  if (!store) {
    state.SkipWithError("the store could not be made");
    return;
  }
  const std::size_t passEvents = state.range(0) == 0
                                     ? OrvEventStore::kReadoutPassEvents
                                     : static_cast<std::size_t>(store->eventCount() / 2 / 10);
  std::size_t rows = 0, readouts = 0;
  for (auto _ : state) {
    const auto stats = store->outcomeStatistics(passEvents);
    const auto read = orvReadouts(stats, OrvReadoutOptions{});
    rows = stats.size();
    readouts = read.size();
    benchmark::DoNotOptimize(read.data());
  }
  if (readouts != 5 || rows != 20) state.SkipWithError("not every experiment was read out");
  state.counters["stored_events"] = static_cast<double>(store->eventCount());
  state.counters["rows"] = static_cast<double>(rows);
}
BENCHMARK(BM_Readout)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(iterations(10));

// orvAnalyze on state.range(0) groups (one control) of 10,000 units each with a covariate:
// CUPED's pooled theta, then each group's relative lift, Welch's test (a t quantile by
// Newton's method on the incomplete beta) and the always-valid interval. 1,000 groups is
// far past any real experiment: what one page of experiments would ask of it.
void BM_AnalyzeGroups(benchmark::State& state) {
  const auto count = static_cast<int>(state.range(0));
  std::mt19937_64 random(2025);
  std::normal_distribution<double> noise(0, 0.01);
  std::vector<OrvGroupSums> groups(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    // Sums of 10,000 values of mean about 5 and variance 4, covariate mean 4 and variance
    // 4, correlated 0.5.
    OrvGroupSums& g = groups[static_cast<std::size_t>(i)];
    const double n = 10'000, mean = 5 * (1 + noise(random)), x = 4 * (1 + noise(random));
    g.id = "g" + std::to_string(i);
    g.control = i == 0;
    g.units = 10'000;
    g.sum = n * mean;
    g.sumSquares = n * (mean * mean + 4);
    g.covariate = OrvGroupSums::Covariate{n * x, n * (x * x + 4), n * (x * mean + 2)};
  }
  OrvAnalysisOptions options;
  options.expectedUnits = 50'000;
  for (auto _ : state) {
    const OrvAnalysis analysis = orvAnalyze(groups, options);
    if (!analysis.error.empty()) {
      state.SkipWithError(analysis.error.c_str());
      return;
    }
    benchmark::DoNotOptimize(analysis.comparisons.data());
  }
  state.counters["comparisons"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * (count - 1), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_AnalyzeGroups)->Arg(2)->Arg(1000)->Unit(benchmark::kMicrosecond);

// Batches of kIngestBatch records as the library's exporter encodes them, posted by
// `clients` connections at once into a store of kStoredEvents; timed from the first
// request to the last answer. Every answer must be 200 and every record a new row.
void BM_CollectorIngest(benchmark::State& state) {
  constexpr int kBatches = 40;
  const int clients = static_cast<int>(state.range(0));
  OrvEventCollector* collector = storedCollector();
  OrvConfigServer* server = reportServer();
  if (!collector || !server) {
    state.SkipWithError("the store or the server could not be made");
    return;
  }
  std::mt19937_64 random(static_cast<std::uint64_t>(clients) * 7919);
  const std::int64_t before = collector->store().eventCount();
  std::atomic<int> failures{0};
  std::size_t bodyBytes = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<std::string> bodies;
    for (int b = 0; b < kBatches; ++b)
      bodies.push_back(OrvOtlpExporter::encode(randomExposures(kIngestBatch, random), "bench"));
    bodyBytes = bodies.front().size();
    state.ResumeTiming();
    std::vector<std::thread> posting;
    for (int c = 0; c < clients; ++c) {
      posting.emplace_back([&, c] {
        httplib::Client client("127.0.0.1", server->port());
        client.set_keep_alive(true);
        client.set_tcp_nodelay(true);  // as libcurl, the exporter's client, does
        for (int b = c; b < kBatches; b += clients) {
          const auto res = client.Post("/v1/logs", bodies[b], "application/json");
          if (!res || res->status != 200) ++failures;
        }
      });
    }
    for (auto& t : posting) t.join();
  }
  const std::int64_t stored = collector->store().eventCount() - before;
  const std::int64_t posted =
      state.iterations() * kBatches * static_cast<std::int64_t>(kIngestBatch);
  if (failures > 0 || stored != posted) state.SkipWithError("a batch was not stored whole");
  state.SetItemsProcessed(posted);
  state.counters["batch_KiB"] = static_cast<double>(bodyBytes) / 1024;
}
BENCHMARK(BM_CollectorIngest)
    ->Arg(1)
    ->Arg(4)
    ->Iterations(iterations(5))
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// GET / (the first page: 50 of the experiments, with a chart each) and GET
// /api/experiments over loopback, as a browser and a script load them, with
// kStoredEvents stored in 100 experiments. /0 and /1 while events arrive (one is stored
// before each load, so the report is computed again every time); /2 while none do (the
// report is computed once).
void BM_ReportPage(benchmark::State& state) {
  OrvConfigServer* server = reportServer();
  if (!server) {
    state.SkipWithError("the store or the server could not be made");
    return;
  }
  const char* path = state.range(0) == 1 ? "/api/experiments" : "/";
  httplib::Client client("127.0.0.1", server->port());
  client.set_keep_alive(true);
  std::size_t bytes = 0;
  std::mt19937_64 random(99 + static_cast<std::uint64_t>(state.range(0)));
  for (auto _ : state) {
    if (state.range(0) < 2) {
      state.PauseTiming();
      const auto posted =
          client.Post("/v1/logs", OrvOtlpExporter::encode(randomExposures(1, random), "bench"),
                      "application/json");
      if (!posted || posted->status != 200) state.SkipWithError("an event was not stored");
      state.ResumeTiming();
    }
    const auto res = client.Get(path);
    if (!res || res->status != 200) {
      state.SkipWithError("the page was not served");
      return;
    }
    bytes = res->body.size();
  }
  state.SetLabel(std::string(path) + (state.range(0) < 2 ? " while events arrive" : " unchanged"));
  state.counters["KiB"] = static_cast<double>(bytes) / 1024;
  // The ingest benchmarks before it add to the store: the page covers all of it.
  if (OrvEventCollector* stored = storedCollector())
    state.counters["stored_events"] = static_cast<double>(stored->store().eventCount());
}
BENCHMARK(BM_ReportPage)
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(iterations(5))
    ->UseRealTime();

// A flood of made-up experiment ids: one exposure each for kFloodExperiments ids in one
// application (as one client posting made-up ids makes them), plus kFloodAlarms
// experiments split 150 : 50, which are in alarm. In a store and a server of their own,
// in this process, so the growth of its resident size is the server's.
constexpr int kFloodAlarms = 10;
int floodExperiments() { return shortRun() ? 10'000 : 100'000; }

struct Flood {
  std::unique_ptr<OrvEventCollector> collector;
  std::unique_ptr<OrvConfigServer> server;
  long residentBefore = 0;  // once stored and started, before any page was asked for
};
Flood flood;  // stopped by main()

OrvConfigServer* floodServer() {
  static OrvConfigServer* server = []() -> OrvConfigServer* {
    std::string error;
    const std::string path = dataRoot + "/flood.sqlite3";
    flood.collector = OrvEventCollector::open(path, &error);
    std::vector<OrvMediatorEvent> batch;
    const auto add = [&](const std::string& experiment, const std::string& group) {
      OrvMediatorEvent& m = batch.emplace_back();
      m.eventId = OrvEventOutbox::newEventId();
      m.appId = "flood-app";
      m.name = OrvEventStore::kExposureEvent;
      m.time = std::chrono::system_clock::now();
      m.properties = OrvValue::dictionary({{"#experiment_id", OrvValue(experiment)},
                                           {"#experiment_group_id", OrvValue(group)},
                                           {"#is_control_group", OrvValue(group == "1")}});
    };
    for (int i = 0; i < floodExperiments(); ++i) add("made-up-" + std::to_string(i), "1");
    for (int a = 0; a < kFloodAlarms; ++a)
      for (int k = 0; k < 200; ++k) add("skewed-" + std::to_string(a), k < 150 ? "1" : "2");
    if (!flood.collector || !flood.collector->store().add(batch, nullptr, &error)) {
      std::fprintf(stderr, "the flood's store: %s\n", error.c_str());
      return nullptr;
    }
    batch = {};
    std::filesystem::create_directories(dataRoot + "/payloads");
    flood.server = std::make_unique<OrvConfigServer>(dataRoot + "/payloads");
    if (!flood.server->collectEventsTo(path) || !flood.server->start()) return nullptr;
    malloc_trim(0);
    flood.residentBefore = statusBytes("VmRSS");
    std::ofstream("/proc/self/clear_refs") << "5";  // the peak starts again from here
    return flood.server.get();
  }();
  return server;
}

// GET / (api:0) and GET /api/experiments (api:1) over loopback with floodExperiments()
// experiments stored: while events arrive (arriving:1, one stored before each load, so
// whatever the server keeps is computed again) or not (the first load, untimed, computes
// it). Counters: the answer's bytes, and the growth of the server's resident size since
// before its first page (now and at its peak), over every load so far.
void BM_ReportPageManyExperiments(benchmark::State& state) {
  OrvConfigServer* server = floodServer();
  if (!server) {
    state.SkipWithError("the store or the server could not be made");
    return;
  }
  const char* path = state.range(0) == 1 ? "/api/experiments" : "/";
  const bool arriving = state.range(1) == 1;
  httplib::Client client("127.0.0.1", server->port());
  client.set_keep_alive(true);
  client.set_read_timeout(600, 0);
  std::size_t bytes = 0;
  int posted = 0;
  // Unchanged means computed before: the first load, which computes it, is not timed.
  if (!arriving && !client.Get(path)) {
    state.SkipWithError("the page was not served");
    return;
  }
  for (auto _ : state) {
    if (arriving) {
      state.PauseTiming();
      OrvOutboxEvent e;
      e.eventId = OrvEventOutbox::newEventId();
      e.appId = "flood-app";
      e.name = OrvEventStore::kExposureEvent;
      e.timeMs = 1'700'000'000'000;
      e.properties = OrvValue::dictionary(
          {{"#experiment_id", OrvValue("arriving-" + std::to_string(posted++))},
           {"#experiment_group_id", OrvValue("1")}});
      const std::string body = OrvOtlpExporter::encode({e}, "bench");
      const auto res = client.Post("/v1/logs", body, "application/json");
      if (!res || res->status != 200) state.SkipWithError("an event was not stored");
      state.ResumeTiming();
    }
    const auto res = client.Get(path);
    if (!res || res->status != 200) {
      state.SkipWithError("the page was not served");
      return;
    }
    bytes = res->body.size();
  }
  state.SetLabel(std::string(path) + (arriving ? " while events arrive" : " unchanged"));
  state.counters["experiments"] = floodExperiments() + kFloodAlarms + posted;
  state.counters["answer_KiB"] = static_cast<double>(bytes) / 1024;
  state.counters["resident_growth_MiB"] =
      static_cast<double>(statusBytes("VmRSS") - flood.residentBefore) / (1 << 20);
  state.counters["peak_resident_growth_MiB"] =
      static_cast<double>(statusBytes("VmHWM") - flood.residentBefore) / (1 << 20);
}
BENCHMARK(BM_ReportPageManyExperiments)
    ->Args({0, 0})
    ->Args({1, 0})
    ->Args({0, 1})
    ->Args({1, 1})
    ->ArgNames({"api", "arriving"})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(iterations(5))
    ->UseRealTime();
#endif

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

int main(int argc, char** argv) {
  char pattern[] = "/tmp/orv-bench-XXXXXX";
  if (!::mkdtemp(pattern)) return 1;
  dataRoot = pattern;
  OrvPlatform::setDataDirectory(dataRoot + "/data");
  OrvMediator::sharedInstance()->addEventSink([](const OrvMediatorEvent&) {
    std::lock_guard lock(events.mutex);
    ++events.count;
    events.cv.notify_all();
  });
  const std::string payload = readPayload(kTableFeatures);
  startedApp = "bench-" + std::to_string(::getpid());
  if (!startOn(startedApp, payload)) {
    std::fprintf(stderr, "start-up failed\n");
    return 1;
  }
  // Record the exposure of the experiment key the read benchmarks use.
  OrvExperiment::getValueAsString("f4");
  drainQueue();

  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
#ifdef ORV_ORVEXP_PATH
  if (startedCollector && startedCollector->pid > 0) ::kill(startedCollector->pid, SIGTERM);
  startedReportServer.reset();
  prefilled.reset();
  flood.server.reset();
  flood.collector.reset();
#endif
  std::error_code ignored;
  std::filesystem::remove_all(dataRoot, ignored);
  return 0;
}
