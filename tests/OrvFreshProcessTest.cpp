// Behaviour before any start-up. CTest runs each test in a process of its own, which
// is what "before" needs; keep every test here independent of the others.
#include <gtest/gtest.h>

#include "../external/remote_config/OrvRCCache.h"
#include "LibraryFixture.h"
#include "ManyExperiments.h"
#include "OrvExpLog.h"
#include "OrvExperimentStorage.h"
#include "OrvFeatureManager.h"
#include "OrvRemoteConfig.h"

using namespace orvtest;

using BeforeStartUp = LibraryTest;

TEST_F(BeforeStartUp, ReadsAnswerDefaultsNothingIsExposedAndNothingIsLogged) {
  EventCapture events;
  std::vector<std::string> lines;  // logging is never switched on in this test
  OrvPlatform::setConsoleSink([&](std::string_view line) { lines.emplace_back(line); });
  EXPECT_FALSE(OrvExpLog::isEnableLog());
  EXPECT_EQ(OrvExperiment::getValueAsString("k") + OrvExperiment::getValueAsJson("k").toJson(),
            "{}");
  EXPECT_EQ(OrvExperiment::getValueAsNumber("k"), OrvValue(0));
  EXPECT_EQ(OrvExperiment::getValueAsNumber("k").kind(), OrvValue::Kind::kInteger);
  EXPECT_FALSE(OrvExperiment::getValueAsBoolean("k"));
  OrvExperiment::startWithConfig(nullptr);
  OrvExperiment::exposure("k");
  // A reload without configuration would log its error line; the table stays absent.
  OrvFeatureManager::sharedInstance().parseExperimentConfig();
  ASSERT_TRUE(drainWorkQueue());
  EXPECT_FALSE(OrvFeatureManager::sharedInstance().config());
  EXPECT_FALSE(OrvFeatureManager::sharedInstance().features());
  EXPECT_EQ(events.size(), 0u);
  OrvPlatform::setConsoleSink(nullptr);
  EXPECT_EQ(lines, std::vector<std::string>{});

  // Before a store is opened, reads answer the default and writes are dropped.
  EXPECT_TRUE(OrvExperimentStorage::getBoolForKey("k", true));
  OrvExperimentStorage::putBool(false, "k");
  OrvExperimentStorage::initWithAppId(appId());
  EXPECT_TRUE(OrvExperimentStorage::getBoolForKey("k", true));

  EXPECT_EQ(OrvExperiment::getSDKVersion(), "1.0.2");
  EXPECT_EQ(OrvExperimentVersionNumber, 1.0);
  EXPECT_STREQ(reinterpret_cast<const char*>(OrvExperimentVersionString),
               "@(#)PROGRAM:OrvExperiment  PROJECT:OrvExperiment-1.0.2\n");
}

TEST_F(BeforeStartUp, FetchStillReturnsATaskAndReportsTheComponentsAnswer) {
  auto first = OrvExperiment::fetch();
  EXPECT_NE(first, OrvExperiment::fetch());
  auto outcome = listenTo(first);  // the answer is there already; it is not lost
  ASSERT_TRUE(outcome->done.waitFor(1));
  EXPECT_EQ(outcome->code, OrvRemoteConfig::kErrorNotStarted);
}

TEST_F(BeforeStartUp, ParametersSetBeforeStartUpGoToTheNextStartWithoutItsOwn) {
  OrvExperiment::setCustomFetchParams(json(R"({"early":1})"));
  OrvExperiment::setCustomBucketId(json(R"({"b":"early"})"));
  // The first start carries its own parameters, not a bucket identifier.
  auto own = OrvExperimentConfig::create(appId("-own"), server().url());
  own->setCustomFetchParams(json(R"({"own":1})"));
  start(own);
  // The next one carries neither and gets the parameters still held.
  start(OrvExperimentConfig::create(appId("-none"), server().url()));
  const auto requests = server().requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].body["fetch_params"], json(R"({"own":1})"));
  EXPECT_EQ(requests[0].body["bucket_id"], json(R"({"b":"early"})"));
  EXPECT_EQ(requests[1].body["fetch_params"], json(R"({"early":1})"));
  EXPECT_TRUE(requests[1].body["bucket_id"].isAbsent());
}

// The first read of a process needs only the cached table, not the exposure store: the
// table is in place before the store opens, and the reads made before it is open are
// exposed afterwards, each once and in the order read. The start-up job is held where it
// says the start succeeded (a console sink runs on the job's own thread) while this
// thread reads.
TEST_F(BeforeStartUp, TheCachedTableIsReadBeforeTheExposureStoreOpensAndItsReadsAreExposedInOrder) {
  const std::string app = appId();
  const std::string data = dir_.path() + "/data";
  std::string problem;
  ASSERT_TRUE(OrvRCCache::store(data, app, "ki_feature", {json(manyExperiments(5, "k", "x")), ""},
                                &problem))
      << problem;

  EventCapture events;
  Signal saidStarted, readsDone;
  std::atomic<bool> storeWasOpen{true};
  OrvExperiment::enableLog(true);
  OrvPlatform::setConsoleSink([&](std::string_view line) {
    if (line.find("initialize Success") == std::string_view::npos) return;
    storeWasOpen = OrvExperimentStorage::appId() == app;
    saidStarted.notify();
    EXPECT_TRUE(readsDone.waitFor(1));
  });
  OrvExperiment::startWithConfig(
      OrvExperimentConfig::create(app, "file://" + dir_.file("missing.json")));
  ASSERT_TRUE(saidStarted.waitFor(1));
  EXPECT_FALSE(storeWasOpen);
  const std::vector<int> order = {3, 1, 4, 0, 2, 3};
  for (int i : order)
    EXPECT_EQ(OrvExperiment::getValueAsString("k" + std::to_string(i)), std::to_string(i));
  readsDone.notify();
  ASSERT_TRUE(OrvExperiment::flush(std::chrono::seconds(30)));
  OrvPlatform::setConsoleSink(nullptr);
  std::vector<std::string> exposed;
  for (const auto& e : events.events())
    exposed.push_back(e.properties["#experiment_id"].stringValue());
  EXPECT_EQ(exposed, (std::vector<std::string>{"x3", "x1", "x4", "x0", "x2"}));
  EXPECT_EQ(OrvExperimentStorage::appId(), app);
}
