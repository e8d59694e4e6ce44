#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "LibraryFixture.h"
#include "OrvExperimentStorage.h"
#include "OrvExposureTracker.h"
#include "OrvFeatureManager.h"

using namespace orvtest;

namespace {

const char* const kWorkedExample = orvtest::kWorkedExamplePayload;

class ExposureTest : public LibraryTest {};

}  // namespace

TEST_F(ExposureTest, WorkedExampleEndToEnd) {
  EventCapture events;
  LogCapture log;
  const std::string app = appId();
  startWithPayload(app, kWorkedExample);
  EXPECT_EQ(log.count("[OrvExperiment] OrvExperiment SDK initialize Success with appId = " + app +
                      ", version = 1.0.2"),
            1);

  for (const char* key : {"color", "limit", "color", "banner", "gone"})
    OrvExperiment::exposure(key);
  ASSERT_TRUE(drainWorkQueue());

  EXPECT_TRUE(OrvExperimentStorage::getBoolForKey("eab42a8b1be8e342da1d4cdead8b1da0", false));
  EXPECT_TRUE(OrvExperimentStorage::getBoolForKey("a0d2f4cb424c9363f8df96bad6765bf8", false));
  EXPECT_EQ(OrvExposureTracker::sharedInstance().md5("_101_2"), "b4b028846820c20551745aa9e8cf3086");
  // Every byte counts: identifiers that differ only after a NUL never share a record.
  EXPECT_EQ(OrvExposureTracker::sharedInstance().md5(std::string("_101_2\0tail", 11)),
            "331b36ab7b64f029d84e9e88d8ca0fd9");

  auto sent = events.events();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].name, "zu_experiment_exposure");
  EXPECT_EQ(sent[0].appId, app);  // the application the exposure was recorded for
  EXPECT_EQ(
      sent[0].properties,
      json(R"({"#experiment_id":"101","#experiment_group_id":"2","#is_control_group":false})"));
  EXPECT_TRUE(sent[0].properties["#is_control_group"].isBoolean());
  EXPECT_EQ(
      sent[1].properties,
      json(R"({"#experiment_id":"205","#experiment_group_id":"1","#is_control_group":true})"));

  EXPECT_EQ(log.count("[OrvExperiment] color : Already exposed, skip this exposure incident."), 1);
  EXPECT_EQ(
      log.count("[OrvExperiment] banner : No relevant experiment detected, skip exposure event."),
      1);
  for (const auto& line : log.lines()) EXPECT_EQ(line.find("gone"), std::string::npos) << line;
}

TEST_F(ExposureTest, KeyStringsAndEventsForPartialExperimentInformation) {
  EventCapture events;
  startWithPayload(appId(), R"({"a":1,"b":2,"c":3,"d":4,"e":5,
      "experiment_detail":[
        {"#feature_list":["a","b"]},
        {"#experiment_id":101,"bucket_id":{"k":"v"},"#feature_list":["c"]},
        {"#experiment_id":"x","#experiment_group_id":"g","bucket_id":"b","#is_control_group":"yes","#feature_list":["d"]}
      ]})");
  for (const char* key : {"a", "b", "c", "d", "e"}) OrvExperiment::exposure(key);
  ASSERT_TRUE(drainWorkQueue());
  auto& tracker = OrvExposureTracker::sharedInstance();
  // No identifiers at all: the two underscores alone, shared by "a" and "b".
  EXPECT_TRUE(OrvExperimentStorage::getBoolForKey(tracker.md5("__"), false));
  // A number id keeps its text; a dictionary bucket uses its compact JSON text.
  EXPECT_TRUE(OrvExperimentStorage::getBoolForKey(tracker.md5(R"({"k":"v"}_101_)"), false));
  EXPECT_TRUE(OrvExperimentStorage::getBoolForKey(tracker.md5("b_x_g"), false));
  auto sent = events.events();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0].properties, json(R"({"#is_control_group":false})"));
  EXPECT_EQ(sent[1].properties, json(R"({"#experiment_id":101,"#is_control_group":false})"));
  EXPECT_EQ(sent[1].properties["#experiment_id"].kind(), OrvValue::Kind::kInteger);
  EXPECT_EQ(sent[2].properties,
            json(R"({"#experiment_id":"x","#experiment_group_id":"g","#is_control_group":true})"));
  for (const auto& e : sent) EXPECT_TRUE(e.properties["bucket_id"].isAbsent());
}

TEST_F(ExposureTest, ManyThreadsReadingSendOneEventPerExperiment) {
  EventCapture events;
  startWithPayload(appId(), kWorkedExample);
  std::vector<std::thread> readers;
  for (int t = 0; t < 4; ++t) {
    readers.emplace_back([] {
      for (int i = 0; i < 2000; ++i) {
        EXPECT_EQ(OrvExperiment::getValueAsString("color"), "red");
        EXPECT_EQ(OrvExperiment::getValueAsNumber("limit").int64Value(), 20);
        OrvExperiment::getValueAsBoolean("flag");
      }
    });
  }
  for (auto& r : readers) r.join();
  ASSERT_TRUE(drainWorkQueue());
  EXPECT_EQ(events.size(), 2u);
}

TEST_F(ExposureTest, TrackingOffMeansReadsNeverExposeButExplicitCallsDo) {
  EventCapture events;
  auto config = startWithPayload(appId(), kWorkedExample, /*automaticTracking=*/false);
  for (int i = 0; i < 10; ++i) OrvExperiment::getValueAsString("color");
  ASSERT_TRUE(drainWorkQueue());
  EXPECT_EQ(events.size(), 0u);
  OrvExperiment::exposure("color");
  ASSERT_TRUE(drainWorkQueue());
  EXPECT_EQ(events.size(), 1u);
  // The shared record: switching tracking on takes effect at the next read.
  config->setAutomaticExposureTracking(true);
  OrvExperiment::getValueAsString("limit");
  ASSERT_TRUE(drainWorkQueue());
  EXPECT_EQ(events.size(), 2u);
}

TEST_F(ExposureTest, ExposuresAreRememberedAcrossRestartsPerApplication) {
  const std::string payload = payloadFile("restart");
  writeFile(payload, kWorkedExample);
  auto run = [&](const std::string& app) {
    const std::string eventsFile = dir_.file(app + "-events.jsonl");
    const std::string cmd = helperPath("../tools/orvexp/orvexp") + " get --app " + app +
                            " --server file://" + payload + " --data-dir '" + dir_.path() +
                            "/data' --events '" + eventsFile + "' color limit banner > /dev/null";
    EXPECT_EQ(runCommand(cmd), 0);
    std::string text = readFile(eventsFile);
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
  };
  EXPECT_EQ(run("first"), 2);
  EXPECT_EQ(run("first"), 2);  // the file keeps the first run's lines; no new ones
  EXPECT_EQ(run("second"), 2);
}

// The database decides whether a record is new: processes sharing a data directory
// never both send an exposure, also when one of them has been running all along.
TEST_F(ExposureTest, ProcessesSharingADataDirectorySendEachExposureOnce) {
  const std::string app = appId();
  const std::string payload = payloadFile(app);
  writeFile(payload, kWorkedExample);
  auto get = [&](const std::string& data, const std::string& eventsFile) {
    return std::vector<std::string>{helperPath("../tools/orvexp/orvexp"),
                                    "get",
                                    "--app",
                                    app,
                                    "--server",
                                    "file://" + payload,
                                    "--data-dir",
                                    data,
                                    "--events",
                                    eventsFile,
                                    "color"};
  };
  for (int trial = 0; trial < 50; ++trial) {
    const std::string data = dir_.path() + "/trial" + std::to_string(trial);
    const std::string eventsFile = data + ".jsonl";
    {
      ChildProcess a(get(data, eventsFile));
      ChildProcess b(get(data, eventsFile));
      ASSERT_EQ(a.waitExit(kWait), 0);
      ASSERT_EQ(b.waitExit(kWait), 0);
    }
    const std::string lines = readFile(eventsFile);
    ASSERT_EQ(std::count(lines.begin(), lines.end(), '\n'), 1) << "trial " << trial << lines;
  }
  // This process started before another one recorded "color": it sends nothing for it.
  EventCapture events;
  OrvPlatform::setDataDirectory(dir_.path() + "/shared");
  startWithPayload(app, kWorkedExample);
  ChildProcess other(get(dir_.path() + "/shared", dir_.file("other.jsonl")));
  ASSERT_EQ(other.waitExit(kWait), 0);
  OrvExperiment::getValueAsString("color");
  ASSERT_TRUE(OrvExperiment::flush(kWait));
  EXPECT_EQ(events.size(), 0u);
  OrvExperiment::getValueAsString("limit");  // not recorded anywhere yet
  ASSERT_TRUE(OrvExperiment::flush(kWait));
  EXPECT_EQ(events.size(), 1u);
}

TEST_F(ExposureTest, ReadsDuringReloadsSeeWholeTables) {
  const std::string app = appId();
  startWithPayload(app, R"({"v":"A","onlyA":1})");
  std::atomic<bool> stop{false};
  std::atomic<int> checks{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 2; ++t) {
    readers.emplace_back([&] {
      while (!stop) {
        auto table = OrvFeatureManager::sharedInstance().features();
        ASSERT_TRUE(table);
        const std::string v = table->at("v")->value().stringValue();
        ASSERT_TRUE(v == "A" || v == "B");
        EXPECT_EQ(table->count("onlyA"), v == "A" ? 1u : 0u);
        EXPECT_EQ(table->count("onlyB"), v == "B" ? 1u : 0u);
        const std::string read = OrvExperiment::getValueAsString("v");
        EXPECT_TRUE(read == "A" || read == "B") << read;
        ++checks;
      }
    });
  }
  auto old = OrvFeatureManager::sharedInstance().getFeature("onlyA", false);
  for (int i = 0; i < 30; ++i) {
    replacePayload(app, i % 2 == 0 ? R"({"v":"B","onlyB":1})" : R"({"v":"A","onlyA":1})");
    auto outcome = listenTo(OrvExperiment::fetch());
    ASSERT_TRUE(outcome->done.waitFor(1));
    ASSERT_EQ(outcome->successes, 1) << outcome->message;
    // The success listener ran after the reload: the new table is in place.
    EXPECT_EQ(OrvExperiment::getValueAsString("v"), i % 2 == 0 ? "B" : "A");
  }
  stop = true;
  for (auto& r : readers) r.join();
  EXPECT_GT(checks.load(), 0);
  // A feature obtained before the reloads keeps its value.
  ASSERT_TRUE(old);
  EXPECT_EQ(old->value().int64Value(), 1);
}

TEST_F(ExposureTest, AccessorConversionTable) {
  LogCapture log;
  startWithPayload(appId(), R"({"s":"hello","n":20,"f":2.5,"t":true,"zero":0,"d":{"k":[1]},"a":[1],
      "nul":null,"dec":"3.50","int":"42","abc":"abc","truth":"true","neg":"-1e2",
      "experiment_detail":[{"#experiment_id":"e","#feature_list":["abc"]}]})");
  auto raw = [](const char* key) {
    return OrvFeatureManager::sharedInstance().getFeature(key, false)->value();
  };

  // string
  EXPECT_EQ(OrvExperiment::getValueAsString("s"), "hello");
  EXPECT_EQ(OrvExperiment::getValueAsString("n"), "20");
  EXPECT_EQ(OrvExperiment::getValueAsString("f"), "2.5");
  EXPECT_EQ(OrvExperiment::getValueAsString("t"), "true");
  EXPECT_EQ(OrvExperiment::getValueAsString("d"), R"({"k":[1]})");
  EXPECT_EQ(OrvExperiment::getValueAsString("a"), "[1]");
  EXPECT_EQ(OrvExperiment::getValueAsString("nul"), "null");
  EXPECT_EQ(OrvExperiment::getValueAsString("missing"), "");
  EXPECT_EQ(OrvExperiment::getValueAsString("missing", "dflt"), "dflt");

  // number
  const OrvValue fallback(99);
  EXPECT_TRUE(OrvExperiment::getValueAsNumber("n").isSameObject(raw("n")));
  EXPECT_EQ(OrvExperiment::getValueAsNumber("t").int64Value(), 1);
  OrvValue dec = OrvExperiment::getValueAsNumber("dec");
  EXPECT_EQ(dec.kind(), OrvValue::Kind::kDecimal);
  EXPECT_EQ(dec.description(), "3.5");
  EXPECT_EQ(OrvExperiment::getValueAsNumber("int").description(), "42");
  EXPECT_EQ(OrvExperiment::getValueAsNumber("neg").int64Value(), -100);
  EXPECT_EQ(OrvExperiment::getValueAsNumber("abc").int64Value(), 0);
  EXPECT_EQ(OrvExperiment::getValueAsNumber("abc").kind(), OrvValue::Kind::kInteger);
  EXPECT_TRUE(OrvExperiment::getValueAsNumber("abc", fallback).isSameObject(fallback));
  EXPECT_TRUE(OrvExperiment::getValueAsNumber("d", fallback).isSameObject(fallback));
  EXPECT_TRUE(OrvExperiment::getValueAsNumber("a", fallback).isSameObject(fallback));
  EXPECT_TRUE(OrvExperiment::getValueAsNumber("missing", fallback).isSameObject(fallback));
  EXPECT_TRUE(OrvExperiment::getValueAsNumber("missing", OrvValue()).isAbsent());

  // boolean
  EXPECT_FALSE(OrvExperiment::getValueAsBoolean("zero", true));
  EXPECT_TRUE(OrvExperiment::getValueAsBoolean("n"));
  EXPECT_TRUE(OrvExperiment::getValueAsBoolean("t"));
  EXPECT_TRUE(OrvExperiment::getValueAsBoolean("truth", true));  // a string: the default
  EXPECT_FALSE(OrvExperiment::getValueAsBoolean("truth"));
  EXPECT_FALSE(OrvExperiment::getValueAsBoolean("d"));
  EXPECT_TRUE(OrvExperiment::getValueAsBoolean("missing", true));

  // dictionary
  EXPECT_TRUE(OrvExperiment::getValueAsJson("d").isSameObject(raw("d")));
  EXPECT_TRUE(OrvExperiment::getValueAsJson("a").isDictionary());
  EXPECT_EQ(OrvExperiment::getValueAsJson("a").size(), 0u);
  EXPECT_TRUE(
      OrvExperiment::getValueAsJson("s").isSameObject(OrvExperiment::getValueAsJson("missing")));
  const OrvValue custom = json(R"({"x":1})");
  EXPECT_TRUE(OrvExperiment::getValueAsJson("n", custom).isSameObject(custom));

  // A failed conversion still counts as a tracked lookup.
  ASSERT_TRUE(drainWorkQueue());
  // "s" was read twice; "abc" three times: one event, then twice already exposed.
  EXPECT_EQ(log.count("[OrvExperiment] s : No relevant experiment detected, skip exposure event."),
            2);
  EXPECT_EQ(log.count("[OrvExperiment] abc : Already exposed, skip this exposure incident."), 2);
  EXPECT_EQ(
      log.count("[OrvExperiment] missing : No relevant experiment detected, skip exposure event."),
      0);
}

TEST_F(ExposureTest, ClearDropsTheTableUntilTheNextLoad) {
  startWithPayload(appId(), R"({"k":"v"})");
  auto& manager = OrvFeatureManager::sharedInstance();
  ASSERT_TRUE(manager.getFeature("k", false));
  manager.clear();
  EXPECT_FALSE(manager.getFeature("k", false));
  EXPECT_EQ(OrvExperiment::getValueAsString("k", "d"), "d");
  ASSERT_TRUE(manager.config());
  manager.parseExperimentConfig();
  EXPECT_EQ(OrvExperiment::getValueAsString("k", "d"), "v");
}
