// Start-up end to end, against the reference config server or a scripted one.
#include <gtest/gtest.h>

#include "../external/remote_config/OrvRCCache.h"
#include "LibraryFixture.h"
#include "OrvExperimentQueue.h"
#include "OrvExperimentStorage.h"
#include "OrvFeatureManager.h"
#include "ScriptedServer.h"
#include "platform/storage/OrvUserDefaults.h"

using namespace orvtest;

namespace {

const char* kRed = R"({"color":"red","limit":20,
  "experiment_detail":[{"#experiment_id":"101","#experiment_group_id":"2","bucket_id":7,
                        "#feature_list":["color"]}]})";
const char* kGreen = R"({"color":"green",
  "experiment_detail":[{"#experiment_id":"101","#experiment_group_id":"2","bucket_id":7,
                        "#feature_list":["color"]}]})";
const std::string kInitLine = "OrvExperiment SDK initialize Success with appId = ";

class StartupTest : public LibraryTest {};

}  // namespace

TEST_F(StartupTest, EverySuccessReloadsAndThenReachesTheStartupTask) {
  const std::string app = appId();
  serve(app, kRed);
  auto config = OrvExperimentConfig::create(app, server().url());
  Signal heard;
  std::vector<std::string> seen;  // written on the main queue, read after `heard`
  config->setStartupTask(OrvExperimentTask::create()->addOnSuccessListener([&] {
    seen.push_back(OrvExperiment::getValueAsString("color"));
    heard.notify();
  }));
  OrvExperiment::startWithAppId(app + "-other", "file:///nonexistent");  // no task, no harm
  OrvExperiment::startWithConfig(config);
  ASSERT_TRUE(heard.waitFor(1));
  serve(app, kGreen);  // a second start of the same record: a second reload and success
  OrvExperiment::startWithConfig(config);
  ASSERT_TRUE(heard.waitFor(2));
  EXPECT_EQ(seen, (std::vector<std::string>{"red", "green"}));
}

TEST_F(StartupTest, OutcomesReachTheTaskOfTheirMomentUnchangedAndFailuresKeepTheTable) {
  ScriptedServer scripted;
  auto release = std::make_shared<Signal>();
  std::atomic<int> requests{0};
  scripted.answer([&, release](const httplib::Request&, httplib::Response& res) {
    release->waitFor(1);
    // Start-up and the first fetch succeed; everything after fails (fetches are serial).
    if (++requests <= 2) return res.set_content(kRed, "application/json");
    res.status = 503;
    res.set_content("maintenance", "text/plain");
  });
  auto config = OrvExperimentConfig::create(appId(), scripted.url());
  OrvExperiment::startWithConfig(config);
  auto task = OrvExperimentTask::create();
  auto started = listenTo(task);
  config->setStartupTask(task);  // after start, before the answer: it hears the outcome
  release->notify();
  ASSERT_TRUE(started->done.waitFor(1) && started->successes == 1);
  auto first = listenTo(OrvExperiment::fetch());  // each task hears its own fetch
  auto second = listenTo(OrvExperiment::fetch());
  ASSERT_TRUE(first->done.waitFor(1) && second->done.waitFor(1));
  EXPECT_EQ(first->successes, 1);
  EXPECT_EQ(second->code, 503);
  EXPECT_EQ(second->message, "HTTP 503: maintenance");
  EXPECT_EQ(OrvExperiment::getValueAsString("color"), "red");
  auto again = start(config);  // a second start of the record: its task hears the failure
  EXPECT_EQ(again->code, 503);
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
    EXPECT_EQ(body["fetch_params"], params ? json(params) : OrvValue());
    EXPECT_EQ(body["bucket_id"], bucket ? json(bucket) : OrvValue());
  }
  OrvExperiment::setCustomFetchParams(json(R"({"tier":"silver"})"));
  OrvExperiment::setCustomBucketId(json(R"({"b":2})"));
  fetch();
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
    OrvExperimentQueue::sharedInstance().execute([] { OrvExperimentStorage::putBool(true, "k"); });
    ASSERT_TRUE(drainWorkQueue());
    EXPECT_EQ(log.countContaining(kInitLine + app + ", version = 1.0.2"), 1);
    EXPECT_EQ(OrvFeatureManager::sharedInstance().config()->appId(), app);
    // The store is the one of this identifier, "" included.
    EXPECT_TRUE(OrvUserDefaults::initWithSuiteName("orv_experiment_sp_" + app)->boolForKey("k"));
    if (url.empty()) {
      EXPECT_EQ(outcome->code, OrvRemoteConfig::kErrorBadUrl);
    } else {
      EXPECT_EQ(server().requests().back().body["app_id"], OrvValue(app));
    }
  }
}

namespace {

// The failure goes to the task's listeners straight away, not through the work queue:
// it is heard while the queue is held, before the cache-ready work could run. Readiness,
// decided on the work queue after that work, still succeeds from the cache.
TEST_F(StartupTest, AStartupFailureReachesTheTaskAtOnceAndReadinessStillFindsTheCache) {
  const std::string app = appId();
  ASSERT_TRUE(OrvRCCache::store(dir_.path() + "/data", app, "ki_feature",
                                {json(R"({"color":"cached"})"), ""}, nullptr));
  auto config = OrvExperimentConfig::create(app, kClosedPortUrl);
  auto task = OrvExperimentTask::create();
  auto outcome = listenTo(task);
  config->setStartupTask(task);
  {
    QueueGate gate;
    OrvExperiment::startWithConfig(config);
    ASSERT_TRUE(outcome->done.waitFor(1)) << "the failure waited for the work queue";
    EXPECT_EQ(outcome->code, OrvRemoteConfig::kErrorTransport);
  }
  auto ready = listenTo(OrvExperiment::whenReady());
  ASSERT_TRUE(ready->done.waitFor(1));
  EXPECT_EQ(ready->successes, 1);
  ASSERT_TRUE(drainWorkQueue());
  EXPECT_EQ(OrvExperiment::getValueAsString("color", "default"), "cached");
}

}  // namespace
