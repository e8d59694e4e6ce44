// Faults: misbehaving servers, processes killed at random moments, data directories
// pulled away, and readers racing reloads.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "LibraryFixture.h"
#include "OrvEventCollector.h"
#include "OrvFeatureManager.h"
#include "ScriptedServer.h"

using namespace orvtest;

namespace {

std::string manyExperiments(int count, const std::string& valuePrefix = "v") {
  std::string out = "{";
  std::string detail = "\"experiment_detail\":[";
  for (int i = 0; i < count; ++i) {
    out += "\"k" + std::to_string(i) + "\":\"" + valuePrefix + std::to_string(i) + "\",";
    if (i) detail += ",";
    detail += "{\"#experiment_id\":\"e" + std::to_string(i) +
              "\",\"#experiment_group_id\":\"g\",\"bucket_id\":" + std::to_string(i % 7) +
              ",\"#feature_list\":[\"k" + std::to_string(i) + "\"]}";
  }
  return out + detail + "]}";
}

std::size_t residentBytes() {
  long pages = 0, resident = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return static_cast<std::size_t>(resident) * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

class FaultTest : public LibraryTest {};

}  // namespace

TEST_F(FaultTest, AFlappingOrFloodingServerNeverCostsTheLastGoodPayload) {
  ScriptedServer scripted;
  std::atomic<int> request{0};
  scripted.answer([&](const httplib::Request&, httplib::Response& res) {
    if (++request % 2 == 0) {
      res.status = 500;
    } else {
      res.set_content(R"({"color":"red"})", "application/json");
    }
  });
  auto config = OrvExperimentConfig::create(appId(), scripted.url());
  auto task = OrvExperimentTask::create();
  auto started = listenTo(task);
  config->setStartupTask(task);
  OrvExperiment::startWithConfig(config);
  ASSERT_TRUE(started->done.waitFor(1));
  for (int i = 0; i < 10; ++i) {
    auto outcome = listenTo(OrvExperiment::fetch());
    ASSERT_TRUE(outcome->done.waitFor(1));
    EXPECT_EQ(outcome->successes, i % 2 == 0 ? 0 : 1) << i;
    EXPECT_EQ(OrvExperiment::getValueAsString("color"), "red") << i;
  }

  // A server that never stops sending: the body limit ends it, memory stays bounded.
  scripted.answer([](const httplib::Request&, httplib::Response& res) {
    res.set_chunked_content_provider("application/json", [](std::size_t, httplib::DataSink& sink) {
      static const std::string chunk(1 << 16, ' ');
      return sink.write(chunk.data(), chunk.size());
    });
  });
  const std::size_t before = residentBytes();
  auto flooded = listenTo(OrvExperiment::fetch());
  ASSERT_TRUE(flooded->done.waitFor(1));
  EXPECT_EQ(flooded->code, OrvRemoteConfig::kErrorBodyTooLarge) << flooded->message;
  EXPECT_LT(residentBytes(), before + (256u << 20));
  EXPECT_EQ(OrvExperiment::getValueAsString("color"), "red");
}

// Kills (SIGKILL) at random moments of a process that keeps exposing new experiments,
// restarted over the same data directory; then one clean run that drains. Events go to
// a slow JSON-lines sink, or through the OTLP exporter to a collector that answers
// slowly. Every record ends up exactly once at the consumer, every line has a record,
// and no eventId appears twice. ORV_KILL_ROUNDS sets the kills per consumer (20).
class KillLoop : public FaultTest {
 protected:
  void run(const std::string& collectorUrl, const std::string& events) {
    const char* rounds = std::getenv("ORV_KILL_ROUNDS");
    const int kills = rounds ? std::atoi(rounds) : 20;
    const std::string payload = dir_.file("crash-payload.json");
    writeFile(payload, manyExperiments(4000));
    const std::string data = dir_.path() + "/crash-data";
    std::vector<std::string> argv{helperPath("orv_crash_helper"), data, payload, events, "run"};
    if (!collectorUrl.empty()) argv.push_back(collectorUrl);
    std::mt19937 random(12345);
    int absorbed = 0;
    for (int round = 0; round < kills; ++round) {
      ChildProcess child(argv);
      // Lines of output to let pass; every other round also waits for an event, so
      // that kills land both before and after events are taken.
      const int killAfter = static_cast<int>(random() % 40);
      const bool afterAnEvent = round % 2 == 0;
      std::string line;
      int seen = 0;
      bool ready = false;
      bool event = false;
      while (child.readLine(&line)) {
        ready = ready || line == "ready";
        event = event || line == "event" || line == "done";
        absorbed += line == "absorbed";
        if (ready && (event || !afterAnEvent) && seen++ >= killAfter) break;
      }
      child.killNow();
      ASSERT_TRUE(ready) << "round " << round << ": the store or the cache did not open";
    }
    std::string command;
    argv[4] = "drain";
    for (const auto& a : argv) command += "'" + a + "' ";
    std::string drained;
    ASSERT_EQ(runAndCapture(command, &drained), 0) << drained;
    std::set<std::string> recorded;
    std::istringstream drainLines(drained);
    for (std::string line; std::getline(drainLines, line);) {
      absorbed += line == "absorbed";
      if (line.rfind("recorded ", 0) == 0) recorded.insert(line.substr(9));
    }
    std::map<std::string, int> lines;
    std::set<std::string> ids;
    std::istringstream eventLines(readFile(events));
    for (std::string line; std::getline(eventLines, line);) {
      OrvValue event = json(line);
      ++lines[event["properties"]["#experiment_id"].stringValue()];
      EXPECT_TRUE(ids.insert(event["event_id"].stringValue()).second) << line;
    }
    EXPECT_FALSE(recorded.empty()) << command << "\n" << drained.substr(0, 300);
    for (const auto& experiment : recorded) EXPECT_EQ(lines[experiment], 1) << experiment;
    for (const auto& [experiment, count] : lines)
      EXPECT_TRUE(recorded.count(experiment)) << experiment;
    std::printf("kills %d, records %zu, redeliveries absorbed %d\n", kills, recorded.size(),
                absorbed);
  }
};

TEST_F(KillLoop, ASlowJsonLinesSinkGetsEveryEventOnce) { run("", dir_.file("events.jsonl")); }

TEST_F(KillLoop, ASlowOtlpCollectorGetsEveryEventOnce) {
  OrvEventCollector collector(dir_.file("collected.jsonl"));
  ScriptedServer server("/v1/logs");
  server.answer([&](const httplib::Request& req, httplib::Response& res) {
    std::this_thread::sleep_for(std::chrono::milliseconds(3));  // a collector under load
    const auto answer = collector.handle(req.body, req.get_header_value("Content-Type"));
    res.status = answer.status;
    res.set_content(answer.body, "application/json");
  });
  run(server.url(), dir_.file("collected.jsonl"));
}

TEST_F(FaultTest, ADataDirectoryRemovedWhileRunningDoesNotStopReads) {
  EventCapture events;
  const std::string app = appId();
  startWithPayload(app, manyExperiments(5));
  OrvExperiment::getValueAsString("k0");
  ASSERT_TRUE(drainWorkQueue());
  std::filesystem::remove_all(dir_.path() + "/data");
  for (int i = 0; i < 5; ++i)
    EXPECT_EQ(OrvExperiment::getValueAsString("k" + std::to_string(i)), "v" + std::to_string(i));
  auto outcome = listenTo(OrvExperiment::fetch());
  ASSERT_TRUE(outcome->done.waitFor(1));
  EXPECT_EQ(outcome->successes, 1) << outcome->message;
  ASSERT_TRUE(drainWorkQueue());
  EXPECT_EQ(events.size(), 5u);  // k0 once, then k1..k4; nothing twice
  EXPECT_EQ(OrvExperiment::getValueAsString("k4"), "v4");
}

TEST_F(FaultTest, AReadOnlyDataDirectoryIsReportedAndReadsKeepAnswering) {
  // A directory of its own: the fixture's is in use (and writable) already.
  const std::string data = dir_.path() + "/read-only";
  std::filesystem::create_directories(data);
  ReadOnlyPath readOnly(data);
  if (!readOnly.ok()) GTEST_SKIP() << "cannot make a directory read-only here";
  LogCapture log;
  OrvExperiment::enableLog(true);
  OrvPlatform::setDataDirectory(data);
  EventCapture events;
  startWithPayload(appId(), manyExperiments(3));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(OrvExperiment::getValueAsString("k0"), "v0");
  ASSERT_TRUE(drainWorkQueue());
  OrvExperiment::enableLog(false);
  EXPECT_EQ(events.size(), 1u);  // deduplicated in memory although nothing persists
  int storeErrors = 0;
  int cacheErrors = 0;
  for (const auto& line : log.lines()) {
    storeErrors += line.find("[ERROR] OrvUserDefaults") != std::string::npos;
    cacheErrors += line.find("not cached") != std::string::npos;
  }
  EXPECT_EQ(storeErrors, 1);
  EXPECT_GE(cacheErrors, 1);
}

TEST_F(FaultTest, AFullDiskIsReportedAndNothingIsSentTwice) {
  const std::string payload = dir_.file("full-payload.json");
  writeFile(payload, manyExperiments(40));
  std::string output;
  const int status =
      runAndCapture(helperPath("orv_crash_helper") + " '" + dir_.path() + "/data' '" + payload +
                        "' '" + dir_.file("events.jsonl") + "' full 2>&1",
                    &output);
  EXPECT_EQ(status, 0) << output;
  // Every experiment sent exactly once although the store could not keep growing.
  EXPECT_NE(output.find("events 40\n"), std::string::npos) << output;
  EXPECT_NE(output.find("[ERROR] OrvUserDefaults"), std::string::npos) << output;
}

TEST_F(FaultTest, ReadersAndAFetchLoopTogetherSeeWholeTablesAndSendEachExposureOnce) {
  EventCapture events;
  const std::string app = appId();
  constexpr int kKeys = 60;
  startWithPayload(app, manyExperiments(kKeys, "a"));
  std::atomic<bool> stop{false};
  std::vector<std::thread> readers;
  for (int t = 0; t < 4; ++t) {
    readers.emplace_back([&, t] {
      for (int n = t; !stop; ++n) {
        const std::string value = OrvExperiment::getValueAsString("k" + std::to_string(n % kKeys));
        // Every value comes from one version of the payload or the other, never half.
        ASSERT_TRUE(value[0] == 'a' || value[0] == 'b') << value;
        ASSERT_EQ(value.substr(1), std::to_string(n % kKeys));
      }
    });
  }
  const std::size_t before = residentBytes();
  for (int i = 0; i < 20; ++i) {
    replacePayload(app, manyExperiments(kKeys, i % 2 == 0 ? "b" : "a"));
    auto outcome = listenTo(OrvExperiment::fetch());
    ASSERT_TRUE(outcome->done.waitFor(1));
  }
  stop = true;
  for (auto& r : readers) r.join();
  ASSERT_TRUE(drainWorkQueue());
  EXPECT_EQ(events.size(), static_cast<std::size_t>(kKeys));
  EXPECT_LT(residentBytes(), before + (64u << 20));
}
