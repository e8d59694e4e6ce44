// Test mode as an application's tests use it: payloads in memory, exposures captured,
// overrides, change listeners, and a reset that leaves nothing behind for the next
// test. This binary never starts the library for real (that would end test mode for
// the process), except in a child process.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "OrvExperiment/OrvExperiment.h"
#include "OrvExperiment/OrvTesting.h"
#include "TestSupport.h"

namespace {

using namespace orvtest;

// Two experiments: "checkout" controls two keys, "banner" one; "plain" belongs to none.
const std::string kPayload = fixture("testing-payload.json");

class OrvTestingTest : public ::testing::Test {
 protected:
  void SetUp() override { OrvPlatform::setDataDirectory(dir_.path() + "/data"); }
  void TearDown() override {
    OrvTesting::reset();
    // Test mode never touches the disk: not even the data directory is made.
    EXPECT_FALSE(std::filesystem::exists(dir_.path() + "/data"));
    OrvPlatform::setDataDirectory("");
  }
  TempDir dir_;
};

TEST_F(OrvTestingTest, ExposuresAreCapturedOncePerExperimentAndGroupUntilReset) {
  ASSERT_TRUE(OrvTesting::start(kPayload));
  EXPECT_TRUE(OrvExperiment::isReady());
  EXPECT_EQ(OrvExperiment::getValueAsString("color", "red"), "green");
  EXPECT_EQ(OrvExperiment::getValueAsNumber("size").int64Value(), 2);
  EXPECT_TRUE(OrvExperiment::getValueAsBoolean("plain", false));
  EXPECT_EQ(OrvExperiment::getValueAsString("color"), "green");  // again
  auto seen = OrvTesting::exposures();
  ASSERT_EQ(seen.size(), 1u);  // color and size share one experiment; plain has none
  EXPECT_EQ(seen[0].appId, OrvTesting::kDefaultAppId);
  EXPECT_EQ(seen[0].eventName, "zu_experiment_exposure");
  EXPECT_EQ(seen[0].experimentId, OrvValue("checkout"));
  EXPECT_EQ(seen[0].groupId, OrvValue("B"));
  EXPECT_FALSE(seen[0].isControl);
  EXPECT_EQ(
      seen[0].properties.toJson(),
      R"({"#experiment_group_id":"B","#experiment_id":"checkout","#is_control_group":false})");

  auto detail = OrvExperiment::getStringDetail("title");
  EXPECT_EQ(detail.source, OrvValueSource::kNetwork);
  ASSERT_TRUE(detail.experiment);
  EXPECT_EQ(detail.experiment->experimentId, OrvValue(7));  // identifiers keep their kind
  seen = OrvTesting::exposures();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_TRUE(seen[1].isControl);

  OrvTesting::clearExposures();
  OrvExperiment::getValueAsString("title");
  EXPECT_TRUE(OrvTesting::exposures().empty());  // exposed stays exposed

  OrvTesting::reset();
  EXPECT_FALSE(OrvTesting::isActive());
  EXPECT_FALSE(OrvExperiment::isReady());
  EXPECT_EQ(OrvExperiment::getValueAsString("color", "red"), "red");
  EXPECT_EQ(OrvExperiment::getStringDetail("color").reason, OrvEvaluationReason::kNotReady);
  EXPECT_TRUE(OrvExperiment::getKeys().empty());

  // Nothing remembered from before the reset: the next test exposes afresh.
  ASSERT_TRUE(OrvTesting::start(kPayload));
  OrvExperiment::getValueAsString("color");
  EXPECT_EQ(OrvTesting::exposures().size(), 1u);
}

TEST_F(OrvTestingTest, SetPayloadReturnsAfterChangeListenersRanAndANewGroupIsExposedAgain) {
  ASSERT_TRUE(OrvTesting::start(kPayload));
  std::vector<std::vector<std::string>> heard;  // written on the main queue
  OrvExperiment::addChangeListener(
      [&](const std::vector<std::string>& keys) { heard.push_back(keys); });
  OrvExperiment::getValueAsString("color");
  OrvExperiment::getValueAsString("title");
  std::string next = kPayload;
  next.replace(next.find("\"B\""), 3, "\"C\"");       // checkout moves to group C
  next.replace(next.find("\"Hi\""), 4, "\"Hello\"");  // title changes its value
  ASSERT_TRUE(OrvTesting::setPayload(next));
  ASSERT_EQ(heard.size(), 1u);  // no wait: setPayload returned after the listener ran
  EXPECT_EQ(heard[0], (std::vector<std::string>{"color", "size", "title"}));
  EXPECT_EQ(OrvExperiment::getValueAsString("title"), "Hello");  // same group: no event
  OrvExperiment::getValueAsString("size");
  auto seen = OrvTesting::exposures();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[2].groupId, OrvValue("C"));

  ASSERT_TRUE(OrvTesting::setPayload(next));  // the same payload again: nothing changed
  EXPECT_EQ(heard.size(), 1u);

  // Listeners belong to the test: gone after reset.
  OrvTesting::reset();
  ASSERT_TRUE(OrvTesting::start(kPayload));
  ASSERT_TRUE(OrvTesting::setPayload(next));
  EXPECT_EQ(heard.size(), 1u);
}

TEST_F(OrvTestingTest, BadInputIsRefusedAndLeavesTheLibraryUnstarted) {
  EXPECT_FALSE(OrvTesting::setPayload(kPayload));  // not in test mode
  EXPECT_FALSE(OrvTesting::start("{\"a\":"));
  EXPECT_FALSE(OrvTesting::start("[1, 2]"));
  EXPECT_FALSE(OrvTesting::start(OrvValue("not a payload")));
  EXPECT_FALSE(OrvTesting::isActive());
  ASSERT_TRUE(OrvTesting::start(kPayload));
  EXPECT_FALSE(OrvTesting::setPayload("\"text\""));
  EXPECT_EQ(OrvExperiment::getValueAsString("color"), "green");  // the table stayed
}

TEST_F(OrvTestingTest, ApplicationStartUpCodeRunsUnchangedAndFetchSucceeds) {
  ASSERT_TRUE(OrvTesting::start(kPayload));
  OrvExperiment::startWithAppId("real-app", "http://127.0.0.1:1");
  auto outcome = orvtest::listenTo(OrvExperiment::fetch());
  ASSERT_TRUE(outcome->done.waitFor(1));
  EXPECT_EQ(outcome->successes, 1);
  EXPECT_EQ(OrvExperiment::getValueAsString("color"), "green");
  auto ready = orvtest::listenTo(OrvExperiment::whenReady());
  ASSERT_TRUE(ready->done.waitFor(1));
  EXPECT_EQ(ready->successes, 1);
  OrvExperiment::getValueAsString("color");
  EXPECT_TRUE(OrvExperiment::flush(orvtest::kWait));  // and the disk stays untouched
  EXPECT_EQ(OrvTesting::exposures().size(), 1u);
}

TEST_F(OrvTestingTest, OverridesWinOrYieldByModeAndAreNeverExposed) {
  auto config = OrvExperimentConfig::create("overridden", "");
  ASSERT_TRUE(
      config->setOverrides(json(R"({"color": "pink", "extra": 5, "experiment_detail": 1})")));
  ASSERT_TRUE(OrvTesting::start(kPayload, config));
  auto color = OrvExperiment::getStringDetail("color");
  EXPECT_EQ(color.value, "pink");
  EXPECT_EQ(color.source, OrvValueSource::kOverride);
  EXPECT_FALSE(color.experiment);  // an override is no assignment
  EXPECT_EQ(OrvExperiment::getNumberDetail("extra").source, OrvValueSource::kOverride);
  EXPECT_TRUE(OrvTesting::exposures().empty());
  OrvExperiment::getValueAsString("size");  // the experiment's other key is still exposed
  ASSERT_EQ(OrvTesting::exposures().size(), 1u);
  EXPECT_EQ(OrvTesting::exposures()[0].appId, "overridden");

  config->setOverrideMode(OrvOverrideMode::kRemoteOverLocal);
  ASSERT_TRUE(OrvTesting::start(kPayload, config));
  EXPECT_EQ(OrvExperiment::getValueAsString("color"), "green");
  EXPECT_EQ(OrvExperiment::getNumberDetail("extra").source, OrvValueSource::kOverride);
  EXPECT_EQ(OrvTesting::exposures().size(), 1u);

  config->setOverrideMode(OrvOverrideMode::kLocalOnly);
  ASSERT_TRUE(OrvTesting::start(kPayload, config));
  EXPECT_EQ(OrvExperiment::getKeys(), (std::vector<std::string>{"color", "extra"}));
  EXPECT_EQ(OrvExperiment::getStringDetail("title").reason, OrvEvaluationReason::kMissingKey);
  EXPECT_TRUE(OrvTesting::exposures().empty());

  EXPECT_FALSE(config->setOverrides(OrvValue(3)));  // only a dictionary
  EXPECT_EQ(config->overrides()["color"], OrvValue("pink"));
}

TEST_F(OrvTestingTest, AnOverridesFileIsReadAtStartAndAgainWhenItChanges) {
  const std::string file = dir_.file("overrides.json");
  auto config = OrvExperimentConfig::create("file-app", "");
  config->setOverridesFile(file);  // missing: no overrides until it exists
  ASSERT_TRUE(config->setOverrides(json(R"({"size": 40, "title": "from dictionary"})")));
  ASSERT_TRUE(OrvTesting::start(kPayload, config));
  EXPECT_EQ(OrvExperiment::getValueAsNumber("size").int64Value(), 40);

  std::mutex mutex;
  std::vector<std::string> heard;
  Signal changed;
  OrvExperiment::addChangeListener([&](const std::vector<std::string>& keys) {
    {
      std::lock_guard lock(mutex);
      heard = keys;
    }
    changed.notify();
  });
  // Written whole and renamed, as editors do; the file's entries win over the dictionary's.
  writeFile(file + ".tmp", R"({"color": "blue", "title": "from file"})");
  std::filesystem::rename(file + ".tmp", file);
  ASSERT_TRUE(changed.waitFor(1));
  {
    std::lock_guard lock(mutex);
    EXPECT_EQ(heard, (std::vector<std::string>{"color", "title"}));
  }
  EXPECT_EQ(OrvExperiment::getValueAsString("color"), "blue");
  EXPECT_EQ(OrvExperiment::getValueAsString("title"), "from file");
  EXPECT_EQ(OrvExperiment::getValueAsNumber("size").int64Value(), 40);

  // A broken file counts as none (an error line); fixing it brings the overrides back.
  // Reads made so far may still wait in the queue: done before logging goes on, they log
  // nothing (a busy queue takes them as one job, which would log if logging were on).
  ASSERT_TRUE(orvtest::drainWorkQueue());
  orvtest::LogCapture log;
  writeFile(file, "{broken");
  ASSERT_TRUE(changed.waitFor(2));
  EXPECT_EQ(OrvExperiment::getValueAsString("color"), "green");
  EXPECT_GE(log.countContaining("is not JSON"), 1);
  writeFile(file, R"({"color": "black"})");
  ASSERT_TRUE(changed.waitFor(3));
  EXPECT_EQ(OrvExperiment::getValueAsString("color"), "black");
  OrvExperiment::exposure("color");
  ASSERT_TRUE(orvtest::drainWorkQueue());
  // One line for the read above (logging was on), one for the explicit exposure.
  EXPECT_EQ(log.countContaining("color : Overridden locally, not an experiment assignment"), 2);
  // Only the read while the broken file left color to the payload was an assignment.
  EXPECT_EQ(OrvTesting::exposures().size(), 1u);
}

TEST_F(OrvTestingTest, ReadsFromManyThreadsBetweenStartAndResetExposeOnce) {
  // Under ThreadSanitizer this is the check that start, reads and reset hand the
  // library's state between threads without a race.
  for (int round = 0; round < 5; ++round) {
    ASSERT_TRUE(OrvTesting::start(kPayload));
    std::vector<std::thread> readers;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 4; ++t) {
      readers.emplace_back([&] {
        for (int i = 0; i < 200; ++i) {
          if (OrvExperiment::getValueAsString("color") != "green") ++wrong;
          OrvExperiment::getValueAsString("title");
        }
      });
    }
    for (auto& reader : readers) reader.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(OrvTesting::exposures().size(), 2u);
    OrvTesting::reset();
  }
}

TEST(OrvTestingRealStart, TestModeIsRefusedAfterARealStart) {
  // In a child: a real start cannot be taken back for the rest of the process.
  EXPECT_EXIT(
      {
        TempDir dir;
        OrvPlatform::setDataDirectory(dir.path());
        auto config = OrvExperimentConfig::create("real", "http://127.0.0.1:1");
        config->setOverrideMode(OrvOverrideMode::kLocalOnly);  // nothing remote to wait for
        OrvExperiment::startWithConfig(config);
        const bool started = OrvTesting::start(kPayload);
        std::_Exit(started ? 1 : 42);
      },
      ::testing::ExitedWithCode(42), "");
}

}  // namespace
