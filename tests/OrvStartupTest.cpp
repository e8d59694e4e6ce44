#include <gtest/gtest.h>

#include <filesystem>

#include "LibraryFixture.h"
#include "OrvConfigServer.h"
#include "OrvExperimentStorage.h"
#include "OrvExposureTracker.h"
#include "OrvFeatureManager.h"
#include "ScriptedServer.h"
#include "platform/OrvUserDefaults.h"

using namespace orvtest;

namespace {

const char* kPayload = R"({"color":"red","limit":20,
  "experiment_detail":[{"#experiment_id":"101","#experiment_group_id":"2","bucket_id":7,
                        "#feature_list":["color"]}]})";

class StartupTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    ASSERT_TRUE(server_.start());
  }
  void serve(const std::string& app, const std::string& json) {
    std::filesystem::create_directories(dir_.path() + "/payloads/" + app);
    writeFile(OrvConfigServer::payloadPath(dir_.path() + "/payloads", app, "ki_feature"), json);
  }
  // Starts `app` against the reference server and waits for the start-up outcome.
  std::shared_ptr<TaskOutcome> start(const std::shared_ptr<OrvExperimentConfig>& config) {
    auto task = OrvExperimentTask::create();
    auto outcome = listenTo(task);
    config->setStartupTask(task);
    OrvExperiment::startWithConfig(config);
    EXPECT_TRUE(outcome->done.waitFor(1));
    return outcome;
  }
  OrvConfigServer server_{dir_.path() + "/payloads"};
};

}  // namespace

TEST_F(StartupTest, SuccessListenersSeeTheReloadedTable) {
  const std::string app = appId();
  serve(app, kPayload);
  auto config = OrvExperimentConfig::create(app, server_.url());
  auto task = OrvExperimentTask::create();
  Signal heard;
  std::string seen;
  task->addOnSuccessListener([&] {
    seen = OrvExperiment::getValueAsString("color");
    heard.notify();
  });
  config->setStartupTask(task);
  OrvExperiment::startWithAppId("ignored-by-this-test-" + app,
                                "file:///nonexistent");  // no task, no harm
  OrvExperiment::startWithConfig(config);
  ASSERT_TRUE(heard.waitFor(1));
  EXPECT_EQ(seen, "red");
  EXPECT_EQ(OrvFeatureManager::sharedInstance().config(), config);
  EXPECT_EQ(server_.requests().back().body["app_id"].stringValue(), app);
}

TEST_F(StartupTest, ASecondLaunchReadsTheCacheWithoutTheNetwork) {
  const std::string app = appId();
  serve(app, kPayload);
  // First launch, in another process, fills the cache.
  const std::string orvexp = helperPath("../tools/orvexp/orvexp");
  const std::string common = orvexp + " get --app " + app + " --data-dir '" + dir_.path() +
                             "/data' --events '" + dir_.file("events.jsonl") + "' ";
  EXPECT_EQ(runCommand(common + "--server " + server_.url() + " color > /dev/null"), 0);
  // Second launch: nothing listens at the server address, yet the values are there.
  std::string printed;
  const int status = runAndCapture(
      common + "--server http://127.0.0.1:" + std::to_string(closedPort()) + " color 2>/dev/null",
      &printed);
  EXPECT_EQ(status, 3);  // the fetch failed...
  EXPECT_NE(printed.find("color: string=\"red\""), std::string::npos)
      << printed;  // ...the cache answered
  // And the exposure of the first launch was not sent again.
  const std::string events = readFile(dir_.file("events.jsonl"));
  EXPECT_EQ(std::count(events.begin(), events.end(), '\n'), 1);
}

TEST_F(StartupTest, AFailedFetchReportsTheComponentsCodeAndKeepsTheTable) {
  ScriptedServer scripted;
  scripted.answer([](const httplib::Request&, httplib::Response& res) {
    res.set_content(kPayload, "application/json");
  });
  const std::string app = appId();
  auto config = OrvExperimentConfig::create(app, scripted.url());
  auto first = start(config);
  ASSERT_EQ(first->successes, 1) << first->message;

  scripted.answer([](const httplib::Request&, httplib::Response& res) {
    res.status = 503;
    res.set_content("maintenance", "text/plain");
  });
  auto failed = listenTo(OrvExperiment::fetch());
  ASSERT_TRUE(failed->done.waitFor(1));
  EXPECT_EQ(failed->failures, 1);
  EXPECT_EQ(failed->code, 503);
  EXPECT_EQ(failed->message, "HTTP 503: maintenance");
  EXPECT_EQ(OrvExperiment::getValueAsString("color"), "red");

  // A second start of the same configuration: its failure reaches the start-up task.
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

TEST_F(StartupTest, EachFetchHearsItsOwnOutcome) {
  ScriptedServer scripted;
  std::atomic<int> requests{0};
  scripted.answer([&](const httplib::Request&, httplib::Response& res) {
    // Start-up, then one good and one failing fetch, in that order (fetches are serial).
    if (++requests == 3) {
      res.status = 500;
    } else {
      res.set_content(kPayload, "application/json");
    }
  });
  ASSERT_EQ(start(OrvExperimentConfig::create(appId(), scripted.url()))->successes, 1);
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
  EXPECT_EQ(second->code, 500);
}

TEST_F(StartupTest, ParametersReachTheServerForTheStartedApplication) {
  const std::string app = appId();
  serve(app, kPayload);
  auto config = OrvExperimentConfig::create(app, server_.url());
  config->setCustomFetchParams(json(R"({"tier":"gold"})"));
  config->setCustomBucketId(json(R"({"b":1})"));
  ASSERT_EQ(start(config)->successes, 1);
  OrvExperiment::setCustomFetchParams(json(R"({"tier":"silver"})"));
  OrvExperiment::setCustomBucketId(json(R"({"b":2})"));
  auto fetched = listenTo(OrvExperiment::fetch());
  ASSERT_TRUE(fetched->done.waitFor(1));
  auto requests = server_.requests();
  ASSERT_GE(requests.size(), 2u);
  const OrvValue& startBody = requests[requests.size() - 2].body;
  const OrvValue& fetchBody = requests.back().body;
  EXPECT_EQ(startBody["fetch_params"], json(R"({"tier":"gold"})"));
  EXPECT_EQ(startBody["bucket_id"], json(R"({"b":1})"));
  EXPECT_EQ(fetchBody["app_id"].stringValue(), app);  // "" became the started application
  EXPECT_EQ(fetchBody["fetch_params"], json(R"({"tier":"silver"})"));
  EXPECT_EQ(fetchBody["bucket_id"], json(R"({"b":2})"));
  // The configuration record keeps what it was started with.
  EXPECT_EQ(config->customFetchParams(), json(R"({"tier":"gold"})"));
  EXPECT_EQ(config->customBucketId(), json(R"({"b":1})"));
}

TEST_F(StartupTest, ASecondStartMovesTheStoreAndTheTable) {
  EventCapture events;
  const std::string first = appId("-first");
  const std::string second = appId("-second");
  serve(first, kPayload);
  serve(second, R"({"color":"green",
      "experiment_detail":[{"#experiment_id":"101","#experiment_group_id":"2","bucket_id":7,
                            "#feature_list":["color"]}]})");
  ASSERT_EQ(start(OrvExperimentConfig::create(first, server_.url()))->successes, 1);
  EXPECT_EQ(OrvExperiment::getValueAsString("color"), "red");
  ASSERT_TRUE(drainWorkQueue());
  ASSERT_EQ(start(OrvExperimentConfig::create(second, server_.url()))->successes, 1);
  EXPECT_EQ(OrvExperiment::getValueAsString("color"), "green");
  EXPECT_EQ(OrvExperiment::getValueAsNumber("limit", OrvValue(-1)).int64Value(), -1);
  ASSERT_TRUE(drainWorkQueue());
  // The same experiment, group and bucket: sent once per application.
  EXPECT_EQ(events.size(), 2u);
  const std::string record = OrvExposureTracker::sharedInstance().md5("7_101_2");
  EXPECT_TRUE(OrvExperimentStorage::getBoolForKey(record, false));
  auto firstDomain = OrvUserDefaults::initWithSuiteName("orv_experiment_sp_" + first);
  EXPECT_TRUE(firstDomain->boolForKey(record));
}

TEST(OrvexpDemo, RunsTheWholeFlowAndExitsZero) {
  std::string printed;
  EXPECT_EQ(runAndCapture(helperPath("../tools/orvexp/orvexp") + " demo 2>&1", &printed), 0)
      << printed;
  auto count = [&](const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = printed.find(what); at != std::string::npos;
         at = printed.find(what, at + 1))
      ++n;
    return n;
  };
  EXPECT_EQ(count("event zu_experiment_exposure"), 2u) << printed;
  EXPECT_EQ(count("OrvExperiment SDK initialize Success with appId = demo-app, version = 1.0.2"),
            1u);
  EXPECT_EQ(count("color: string=\"red\""), 1u);
  EXPECT_EQ(count("price: string=\"3.50\" number=3.5"), 1u);
  EXPECT_EQ(count("color: string=\"blue\""), 1u);
  EXPECT_EQ(count("new_feature: string=\"hello\""), 1u);
  EXPECT_EQ(count("demo finished"), 1u);
}
