// The collector side in process: the store's ingest over HTTP, the split check's query,
// the readout, group comparisons and the report page (built only with the tool,
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

}  // namespace

void orv_bench::stopCollectorBenchmarks() {
#ifdef ORV_ORVEXP_PATH
  startedReportServer.reset();
  prefilled.reset();
  flood.server.reset();
  flood.collector.reset();
#endif
}
