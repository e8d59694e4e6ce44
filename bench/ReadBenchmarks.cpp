// Reads (against BM_ReadBaseline, a locked map: the floor for a read as designed), the
// parse of a payload (against BM_SimdjsonParse, simdjson's own DOM parse of the same
// text), a table's memory, a read flood and reads while another thread reloads.
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

}  // namespace
