// OTLP/HTTP export from the library to a real `orvexp serve` on loopback, batched and
// one by one, with the CPU each side spends (built only with the tool,
// ORV_ORVEXP_PATH).
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

#include "OrvExperiment/OrvExperiment.h"
#include "OrvExperiment/OrvPlatform.h"
#ifdef ORV_ORVEXP_PATH
#include <httplib.h>

#include "analysis/OrvReadout.h"
#include "analysis/OrvSrm.h"
#include "analysis/OrvStatistics.h"
#include "collector/OrvEventCollector.h"
#include "server/OrvConfigServer.h"
#endif
#include "../tests/ManyExperiments.h"
#include "OrvAssignment.h"
#include "OrvExperimentQueue.h"
#include "OrvExperimentStorage.h"
#include "OrvFeatureManager.h"
#include "OrvFeatureParser.h"
#include "OrvMediator.h"
#include "platform/storage/OrvEventOutbox.h"
#include "remote_config/OrvRCCache.h"

namespace {

using namespace orv_bench;

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

}  // namespace

void orv_bench::stopExportBenchmarks() {
#ifdef ORV_ORVEXP_PATH
  if (startedCollector && startedCollector->pid > 0) ::kill(startedCollector->pid, SIGTERM);
#endif
}
