// Start-up end to end, against the reference config server or a scripted one.
#include <gtest/gtest.h>

#include "LibraryFixture.h"
#include "OrvExperimentQueue.h"
#include "OrvExperimentStorage.h"
#include "OrvFeatureManager.h"
#include "OrvRemoteConfig.h"
#include "ScriptedServer.h"
#include "platform/OrvUserDefaults.h"

using namespace orvtest;

namespace {

const char* kPayload = R"({"color":"red","limit":20,
  "experiment_detail":[{"#experiment_id":"101","#experiment_group_id":"2","bucket_id":7,
                        "#feature_list":["color"]}]})";
const char* kGreen = R"({"color":"green",
  "experiment_detail":[{"#experiment_id":"101","#experiment_group_id":"2","bucket_id":7,
                        "#feature_list":["color"]}]})";

class StartupTest : public LibraryTest {};

}  // namespace

TEST_F(StartupTest, EverySuccessReloadsAndThenReachesTheStartupTask) {
  const std::string app = appId();
  serve(app, kPayload);
  auto config = OrvExperimentConfig::create(app, server().url());
  auto task = OrvExperimentTask::create();
  Signal heard;
  std::vector<std::string> seen;  // written on the main queue, read after `heard`
  task->addOnSuccessListener([&] {
    seen.push_back(OrvExperiment::getValueAsString("color"));
    heard.notify();
  });
  config->setStartupTask(task);
  OrvExperiment::startWithAppId(app + "-other", "file:///nonexistent");  // no task, no harm
  OrvExperiment::startWithConfig(config);
  ASSERT_TRUE(heard.waitFor(1));
  EXPECT_EQ(OrvFeatureManager::sharedInstance().config(), config);
  // A second start of the same record: a second success, a second reload.
  serve(app, kGreen);
  OrvExperiment::startWithConfig(config);
  ASSERT_TRUE(heard.waitFor(2));
  EXPECT_EQ(seen, (std::vector<std::string>{"red", "green"}));
}

TEST_F(StartupTest, FailuresReachTheirTasksUnchangedAndKeepTheTable) {
  ScriptedServer scripted;
  std::atomic<int> requests{0};
  scripted.answer([&](const httplib::Request&, httplib::Response& res) {
    // Start-up and the first fetch succeed; everything after fails (fetches are serial).
    if (++requests <= 2) return res.set_content(kPayload, "application/json");
    res.status = 503;
    res.set_content("maintenance", "text/plain");
  });
  auto config = OrvExperimentConfig::create(appId(), scripted.url());
  ASSERT_EQ(start(config)->successes, 1);
  auto a = OrvExperiment::fetch();
  auto b = OrvExperiment::fetch();
  ASSERT_NE(a, b);
  auto first = listenTo(a);
  auto second = listenTo(b);
  ASSERT_TRUE(first->done.waitFor(1));
  ASSERT_TRUE(second->done.waitFor(1));
  EXPECT_EQ(first->successes, 1);
  EXPECT_EQ(first->failures, 0);
  EXPECT_EQ(second->successes, 0);
  EXPECT_EQ(second->code, 503);
  EXPECT_EQ(second->message, "HTTP 503: maintenance");
  EXPECT_EQ(OrvExperiment::getValueAsString("color"), "red");
  // A second start of the same record: its failure reaches the start-up task.
  auto again = start(config);
  EXPECT_EQ(again->failures, 1);
  EXPECT_EQ(again->code, 503);
  EXPECT_EQ(OrvExperiment::getValueAsNumber("limit").int64Value(), 20);
}

TEST_F(StartupTest, AStartupTaskSetAfterStartHearsTheOutcome) {
  ScriptedServer scripted;
  auto release = std::make_shared<Signal>();
  scripted.answer([release](const httplib::Request&, httplib::Response& res) {
    release->waitFor(1);
    res.set_content(kPayload, "application/json");
  });
  auto config = OrvExperimentConfig::create(appId(), scripted.url());
  OrvExperiment::startWithConfig(config);
  auto task = OrvExperimentTask::create();
  auto outcome = listenTo(task);
  config->setStartupTask(task);  // after start, before the answer
  release->notify();
  ASSERT_TRUE(outcome->done.waitFor(1));
  EXPECT_EQ(outcome->successes, 1);
}

TEST_F(StartupTest, ParametersAndBucketTravelOnlyWhenSetAndLaterOnesGoToTheStartedApp) {
  const std::pair<const char*, const char*> cases[] = {
      {nullptr, nullptr}, {R"({"tier":"gold"})", nullptr}, {nullptr, R"({"b":1})"}};
  std::shared_ptr<OrvExperimentConfig> config;
  for (const auto& [params, bucket] : cases) {
    config = OrvExperimentConfig::create(appId(params ? "p" : bucket ? "b" : ""), server().url());
    if (params) config->setCustomFetchParams(json(params));
    if (bucket) config->setCustomBucketId(json(bucket));
    start(config);  // nothing is served: a 404, but the request is what counts
    const OrvValue body = server().requests().back().body;
    EXPECT_EQ(body["app_id"].stringValue(), config->appId());
    EXPECT_EQ(body["fetch_params"], params ? json(params) : OrvValue());
    EXPECT_EQ(body["bucket_id"], bucket ? json(bucket) : OrvValue());
  }
  OrvExperiment::setCustomFetchParams(json(R"({"tier":"silver"})"));
  OrvExperiment::setCustomBucketId(json(R"({"b":2})"));
  ASSERT_TRUE(listenTo(OrvExperiment::fetch())->done.waitFor(1));
  const OrvValue body = server().requests().back().body;
  EXPECT_EQ(body["app_id"].stringValue(), config->appId());  // "" became the started app
  EXPECT_EQ(body["fetch_params"], json(R"({"tier":"silver"})"));
  EXPECT_EQ(body["bucket_id"], json(R"({"b":2})"));
  EXPECT_EQ(config->customBucketId(), json(R"({"b":1})"));  // the record keeps its own
}

TEST_F(StartupTest, AnEmptyAppIdOrServerAddressIsPassedOnUnchanged) {
  LogCapture log;
  const std::pair<std::string, std::string> cases[] = {{"", server().url()}, {appId(), ""}};
  for (const auto& [app, url] : cases) {
    auto outcome = start(OrvExperimentConfig::create(app, url));
    ASSERT_TRUE(drainWorkQueue());
    EXPECT_EQ(log.count("[OrvExperiment] OrvExperiment SDK initialize Success with appId = " + app +
                        ", version = 1.0.2"),
              1);
    EXPECT_EQ(OrvFeatureManager::sharedInstance().config()->appId(), app);
    // The store is the one of this identifier, "" included.
    OrvExperimentQueue::sharedInstance().execute([] { OrvExperimentStorage::putBool(true, "k"); });
    ASSERT_TRUE(drainWorkQueue());
    EXPECT_TRUE(OrvUserDefaults::initWithSuiteName("orv_experiment_sp_" + app)->boolForKey("k"));
    if (url.empty()) {
      EXPECT_EQ(outcome->code, OrvRemoteConfig::kErrorBadUrl);
    } else {
      EXPECT_EQ(server().requests().back().body["app_id"], OrvValue(""));
    }
  }
}

TEST_F(StartupTest, ASecondLaunchReadsTheCacheWithoutTheNetworkAndSendsNothingTwice) {
  const std::string app = appId();
  serve(app, kPayload);
  const std::string get = helperPath("../tools/orvexp/orvexp") + " get --app " + app +
                          " --data-dir '" + dir_.path() + "/data' --events '" +
                          dir_.file("events.jsonl") + "' --server ";
  EXPECT_EQ(runCommand(get + server().url() + " color > /dev/null"), 0);
  // Second launch: nothing listens at the server address, yet the values are there.
  std::string printed;
  const std::string unreachable = "http://127.0.0.1:" + std::to_string(closedPort());
  EXPECT_EQ(runAndCapture(get + unreachable + " color 2>/dev/null", &printed), 3);  // failed
  EXPECT_NE(printed.find("color: string=\"red\""), std::string::npos) << printed;
  const std::string events = readFile(dir_.file("events.jsonl"));
  EXPECT_EQ(std::count(events.begin(), events.end(), '\n'), 1);
}

TEST_F(StartupTest, ASecondStartMovesTheStoreAndTheTable) {
  EventCapture events;
  const std::string first = appId("-first");
  const std::string second = appId("-second");
  serve(first, kPayload);
  serve(second, kGreen);
  ASSERT_EQ(start(OrvExperimentConfig::create(first, server().url()))->successes, 1);
  EXPECT_EQ(OrvExperiment::getValueAsString("color"), "red");
  ASSERT_TRUE(drainWorkQueue());
  ASSERT_EQ(start(OrvExperimentConfig::create(second, server().url()))->successes, 1);
  EXPECT_EQ(OrvExperiment::getValueAsString("color"), "green");
  EXPECT_EQ(OrvExperiment::getValueAsNumber("limit", OrvValue(-1)).int64Value(), -1);
  ASSERT_TRUE(drainWorkQueue());
  EXPECT_EQ(events.size(), 2u);  // the same experiment, group and bucket: once per app
  const std::string record = "eab42a8b1be8e342da1d4cdead8b1da0";  // 7_101_2
  EXPECT_TRUE(OrvExperimentStorage::getBoolForKey(record, false));
  EXPECT_TRUE(OrvUserDefaults::initWithSuiteName("orv_experiment_sp_" + first)->boolForKey(record));
}

TEST(OrvexpDemo, RunsTheWholeFlowAndExitsZero) {
  std::string out;
  EXPECT_EQ(runAndCapture(helperPath("../tools/orvexp/orvexp") + " demo 2>&1", &out), 0) << out;
  const auto count = [&](const std::string& what) {
    std::size_t n = 0;
    for (auto at = out.find(what); at != std::string::npos; at = out.find(what, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(count("event zu_experiment_exposure"), 2u) << out;
  for (const char* line :
       {"OrvExperiment SDK initialize Success with appId = demo-app, version "
        "= 1.0.2",
        "color: string=\"red\"", "price: string=\"3.50\" number=3.5", "color: string=\"blue\"",
        "new_feature: string=\"hello\"", "demo finished"})
    EXPECT_EQ(count(line), 1u) << line;
}
