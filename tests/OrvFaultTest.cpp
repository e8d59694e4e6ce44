// Faults: misbehaving servers, processes killed at random moments, data directories
// pulled away or full, and readers racing reloads.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <random>
#include <sstream>
#include <thread>

#include "LibraryFixture.h"
#include "OrvFeatureManager.h"
#include "OrvRemoteConfig.h"
#include "ScriptedServer.h"

using namespace orvtest;

namespace {

// Features "k0".."k<count-1>" with values "<prefix>0"..., each in an experiment of its own.
std::string manyExperiments(int count, const std::string& prefix = "v") {
  std::string out = "{";
  std::string detail = "\"experiment_detail\":[";
  for (int i = 0; i < count; ++i) {
    const std::string n = std::to_string(i);
    out += "\"k" + n + "\":\"" + prefix + n + "\",";
    detail += std::string(i ? "," : "") + "{\"#experiment_id\":\"e" + n +
              "\",\"#experiment_group_id\":\"g\",\"bucket_id\":" + std::to_string(i % 7) +
              ",\"#feature_list\":[\"k" + n + "\"]}";
  }
  return out + detail + "]}";
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
  ASSERT_EQ(start(OrvExperimentConfig::create(appId(), scripted.url()))->successes, 1);
  for (int i = 0; i < 6; ++i) {
    auto outcome = listenTo(OrvExperiment::fetch());
    ASSERT_TRUE(outcome->done.waitFor(1));
    EXPECT_EQ(outcome->successes, i % 2) << i;
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

TEST_F(FaultTest, KillNineAtRandomMomentsNeverLosesARecordOrSendsTwice) {
  const std::string payload = dir_.file("crash-payload.json");
  writeFile(payload, manyExperiments(200));
  const std::string events = dir_.file("events.jsonl");
  const std::string data = dir_.path() + "/data";
  const std::string helper = helperPath("orv_crash_helper");
  std::mt19937 random(12345);
  for (int round = 0; round < 12; ++round) {
    ChildProcess child({helper, data, payload, events, "run"});
    // Every other round also waits for an event hand-over, so that kills land both
    // before and after hand-overs.
    const int killAfter = static_cast<int>(random() % 60);
    const bool afterAnEvent = round % 2 == 0;
    std::string line;
    int seen = 0;
    bool ready = false, event = false;
    while (child.readLine(&line)) {
      ready = ready || line == "ready";
      event = event || line == "event";
      if (ready && (event || !afterAnEvent) && seen++ >= killAfter) break;
    }
    child.killNow();
    ASSERT_TRUE(ready) << "round " << round << ": the store or the cache did not open";
  }
  // Every experiment sent at most once, and every one sent is recorded.
  std::map<std::string, int> sent;
  std::istringstream lines(readFile(events));
  for (std::string line; std::getline(lines, line);) {
    auto parsed = OrvValue::parseJson(line);
    if (parsed.ok()) ++sent[parsed.value["properties"]["#experiment_id"].stringValue()];
  }  // (a line cut short by a kill does not parse)
  EXPECT_FALSE(sent.empty());
  std::string verified = "\n";
  ASSERT_EQ(runAndCapture(helper + " '" + data + "' '" + payload + "' '" + events + "' verify",
                          &verified),
            0);
  for (const auto& [experiment, count] : sent) {
    EXPECT_EQ(count, 1) << experiment;
    EXPECT_NE(verified.find("\nrecorded k" + experiment.substr(1) + "\n"), std::string::npos)
        << experiment;
  }
}

TEST_F(FaultTest, ADataDirectoryRemovedWhileRunningDoesNotStopReads) {
  EventCapture events;
  startWithPayload(appId(), manyExperiments(5));
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
  std::filesystem::create_directories(dir_.path() + "/data");
  ReadOnlyPath readOnly(dir_.path() + "/data");
  if (!readOnly.ok()) GTEST_SKIP() << "cannot make a directory read-only here";
  EventCapture events;
  LogCapture log;
  OrvExperiment::enableLog(true);
  startWithPayload(appId(), manyExperiments(3));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(OrvExperiment::getValueAsString("k0"), "v0");
  ASSERT_TRUE(drainWorkQueue());
  OrvExperiment::enableLog(false);
  EXPECT_EQ(events.size(), 1u);  // deduplicated in memory although nothing persists
  EXPECT_EQ(log.countContaining("[ERROR] OrvUserDefaults"), 1);
  EXPECT_GE(log.countContaining("not cached"), 1);
}

TEST_F(FaultTest, AFullDiskIsReportedAndNothingIsSentTwice) {
  const std::string payload = dir_.file("full-payload.json");
  writeFile(payload, manyExperiments(40));
  std::string output;
  EXPECT_EQ(runAndCapture(helperPath("orv_crash_helper") + " '" + dir_.path() + "/data' '" +
                              payload + "' '" + dir_.file("events.jsonl") + "' full 2>&1",
                          &output),
            0)
      << output;
  // Every experiment sent exactly once although the store could not keep growing.
  EXPECT_NE(output.find("events 40\n"), std::string::npos) << output;
  EXPECT_NE(output.find("[ERROR] OrvUserDefaults"), std::string::npos) << output;
}

TEST_F(FaultTest, ReadersRacingReloadsSeeWholeTablesAndEachExposureIsSentOnce) {
  EventCapture events;
  const std::string app = appId();
  constexpr int kKeys = 60;
  startWithPayload(app, manyExperiments(kKeys, "a"));
  const auto old = OrvFeatureManager::sharedInstance().getFeature("k1", false);
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
    const std::string prefix = i % 2 == 0 ? "b" : "a";
    replacePayload(app, manyExperiments(kKeys, prefix));
    auto outcome = listenTo(OrvExperiment::fetch());
    ASSERT_TRUE(outcome->done.waitFor(1));
    // The success listener ran after the reload: the new table is in place.
    EXPECT_EQ(OrvExperiment::getValueAsString("k0"), prefix + "0");
  }
  stop = true;
  for (auto& r : readers) r.join();
  ASSERT_TRUE(drainWorkQueue());
  EXPECT_EQ(events.size(), static_cast<std::size_t>(kKeys));
  EXPECT_LT(residentBytes(), before + (64u << 20));
  EXPECT_EQ(old->value().stringValue(), "a1");  // a feature held keeps its value
}
