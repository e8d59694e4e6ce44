// Behaviour before any start-up. CTest runs each test in a process of its own, which
// is what "before" needs; keep every test here independent of the others.
#include <gtest/gtest.h>

#include "LibraryFixture.h"
#include "OrvFeatureManager.h"
#include "OrvRemoteConfig.h"

using namespace orvtest;

TEST(BeforeStartUp, ReadsAnswerDefaultsAndNothingIsExposed) {
  EventCapture events;
  LogCapture log;
  EXPECT_EQ(OrvExperiment::getValueAsString("k"), "");
  EXPECT_EQ(OrvExperiment::getValueAsString("k", "d"), "d");
  EXPECT_EQ(OrvExperiment::getValueAsNumber("k").int64Value(), 0);
  EXPECT_EQ(OrvExperiment::getValueAsNumber("k").kind(), OrvValue::Kind::kInteger);
  EXPECT_FALSE(OrvExperiment::getValueAsBoolean("k"));
  EXPECT_TRUE(OrvExperiment::getValueAsBoolean("k", true));
  EXPECT_TRUE(OrvExperiment::getValueAsJson("k").isDictionary());
  EXPECT_EQ(OrvExperiment::getValueAsJson("k").size(), 0u);
  EXPECT_FALSE(OrvFeatureManager::sharedInstance().getFeature("k"));
  OrvExperiment::exposure("k");
  ASSERT_TRUE(drainWorkQueue());
  EXPECT_EQ(events.size(), 0u);
  EXPECT_TRUE(log.lines().empty());

  // A reload without configuration logs the error line and changes nothing.
  OrvFeatureManager::sharedInstance().parseExperimentConfig();
  EXPECT_EQ(
      log.lines(),
      (std::vector<std::string>{
          "[OrvExperiment] [ERROR] FeatureManager: config is nil, SDK must be initialized first"}));
  EXPECT_FALSE(OrvFeatureManager::sharedInstance().features());
}

TEST(BeforeStartUp, VersionDataAndANullConfigurationChangeNothing) {
  EXPECT_EQ(OrvExperiment::getSDKVersion(), "1.0.2");
  EXPECT_EQ(&OrvExperiment::getSDKVersion(), &OrvExperiment::getSDKVersion());
  EXPECT_EQ(OrvExperimentVersionNumber, 1.0);
  EXPECT_STREQ(reinterpret_cast<const char*>(OrvExperimentVersionString),
               "@(#)PROGRAM:OrvExperiment  PROJECT:OrvExperiment-1.0.2\n");
  EXPECT_EQ(sizeof("@(#)PROGRAM:OrvExperiment  PROJECT:OrvExperiment-1.0.2\n"), 56u);

  OrvExperiment::startWithConfig(nullptr);
  ASSERT_TRUE(drainWorkQueue());
  EXPECT_FALSE(OrvFeatureManager::sharedInstance().config());
}

TEST(BeforeStartUp, FetchStillReturnsATaskAndReportsTheComponentsAnswer) {
  auto first = OrvExperiment::fetch();
  auto second = OrvExperiment::fetch();
  EXPECT_NE(first, second);
  auto outcome = listenTo(first);
  ASSERT_TRUE(outcome->done.waitFor(1));
  EXPECT_EQ(outcome->code, OrvRemoteConfig::kErrorNotStarted);
}
