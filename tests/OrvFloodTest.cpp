// Read floods must not queue work without bound, and whatever is not queued must not
// change what is sent, stored or logged.
#include <gtest/gtest.h>

#include <thread>

#include "LibraryFixture.h"
#include "OrvExperimentQueue.h"
#include "OrvExperimentStorage.h"
#include "OrvFeatureManager.h"
#include "OrvRemoteConfig.h"

using namespace orvtest;

namespace {

const char* kPayload = R"({"color":"red","plain":1,
  "experiment_detail":[{"#experiment_id":"X","#experiment_group_id":"1","#feature_list":["color"]}]})";

// Holds the serial work queue until released, so a test can line requests up.
class QueueGate {
 public:
  QueueGate() : state_(std::make_shared<State>()) {
    OrvExperimentQueue::sharedInstance().serialQueue().submit([state = state_] {
      state->entered.notify();
      state->released.waitFor(1);
    });
    EXPECT_TRUE(state_->entered.waitFor(1));
  }
  ~QueueGate() { release(); }
  void release() { state_->released.notify(); }

 private:
  struct State {
    Signal entered;
    Signal released;
  };
  std::shared_ptr<State> state_;
};

std::uint64_t submitted() {
  return OrvExperimentQueue::sharedInstance().serialQueue().submittedCount();
}

class FloodTest : public LibraryTest {};

}  // namespace

TEST_F(FloodTest, AFloodOfReadsQueuesAHandfulOfBlocksAndSendsOneEvent) {
  EventCapture events;
  startWithPayload(appId(), kPayload);
  ASSERT_TRUE(drainWorkQueue());
  const std::uint64_t before = submitted();
  std::vector<std::thread> readers;
  for (int t = 0; t < 2; ++t) {
    readers.emplace_back([] {
      for (int i = 0; i < 200000; ++i) {
        OrvExperiment::getValueAsString("color");
        OrvExperiment::getValueAsNumber("plain");
      }
    });
  }
  for (auto& r : readers) r.join();
  ASSERT_TRUE(drainWorkQueue());
  EXPECT_EQ(events.size(), 1u);
  // One block per key until its first run, plus the drain; never one per read.
  EXPECT_LT(submitted() - before, 100u);
  EXPECT_TRUE(OrvExperimentStorage::getBoolForKey(
      OrvFeatureManager::sharedInstance().getFeature("color", false)->experimentInfo()->recordKey(),
      false));

  // Once recorded, reads queue nothing at all.
  const std::uint64_t settled = submitted();
  for (int i = 0; i < 10000; ++i) OrvExperiment::getValueAsString("color");
  EXPECT_EQ(submitted(), settled);
}

TEST_F(FloodTest, RequestsAreNeverFoldedAcrossAReload) {
  EventCapture events;
  const std::string app = appId();
  startWithPayload(app, kPayload);
  {
    QueueGate gate;
    OrvExperiment::getValueAsString("color");  // waits in the queue: experiment X
    // The payload moves "color" to experiment Y; the component has it, and the reload
    // is queued behind the waiting request.
    replacePayload(app, R"({"color":"red",
        "experiment_detail":[{"#experiment_id":"Y","#experiment_group_id":"1","#feature_list":["color"]}]})");
    auto fetched = OrvRemoteConfig::fetchWithAppId(app, "ki_feature");
    Signal done;
    fetched->addOnSuccessListener([&] { done.notify(); });
    ASSERT_TRUE(done.waitFor(1));
    OrvExperimentQueue::sharedInstance().execute(
        [] { OrvFeatureManager::sharedInstance().parseExperimentConfig(); });
    OrvExperiment::getValueAsString("color");  // sees experiment Y once it runs
  }
  ASSERT_TRUE(drainWorkQueue());
  auto sent = events.events();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].properties["#experiment_id"].stringValue(), "X");
  EXPECT_EQ(sent[1].properties["#experiment_id"].stringValue(), "Y");
}

TEST_F(FloodTest, FoldedRequestsStillLogWhenLoggingComesOnBeforeTheyRun) {
  EventCapture events;
  startWithPayload(appId(), kPayload);
  LogCapture log;
  OrvExperiment::enableLog(false);
  {
    QueueGate gate;
    for (int i = 0; i < 5; ++i) OrvExperiment::getValueAsString("color");
    OrvExperiment::getValueAsString("plain");
    OrvExperiment::enableLog(true);
  }
  ASSERT_TRUE(drainWorkQueue());
  OrvExperiment::enableLog(false);
  EXPECT_EQ(events.size(), 1u);
  // Five requests: one event, four times "already exposed", exactly as if all ran.
  EXPECT_EQ(log.count("[OrvExperiment] color : Already exposed, skip this exposure incident."), 4);
  EXPECT_EQ(
      log.count("[OrvExperiment] plain : No relevant experiment detected, skip exposure event."),
      1);
}

TEST_F(FloodTest, WithLoggingOnEveryReadStillWritesItsLine) {
  startWithPayload(appId(), kPayload);
  OrvExperiment::getValueAsString("color");
  ASSERT_TRUE(drainWorkQueue());
  LogCapture log;
  for (int i = 0; i < 50; ++i) {
    OrvExperiment::getValueAsString("color");
    OrvExperiment::getValueAsString("plain");
  }
  ASSERT_TRUE(drainWorkQueue());
  EXPECT_EQ(log.count("[OrvExperiment] color : Already exposed, skip this exposure incident."), 50);
  EXPECT_EQ(
      log.count("[OrvExperiment] plain : No relevant experiment detected, skip exposure event."),
      50);
}

TEST_F(FloodTest, ARecordRemovedFromTheStoreIsSentAgain) {
  EventCapture events;
  startWithPayload(appId(), kPayload);
  OrvExperiment::getValueAsString("color");
  ASSERT_TRUE(drainWorkQueue());
  const std::string record =
      OrvFeatureManager::sharedInstance().getFeature("color", false)->experimentInfo()->recordKey();
  OrvExperimentQueue::sharedInstance().execute(
      [record] { OrvExperimentStorage::removeKey(record); });
  ASSERT_TRUE(drainWorkQueue());
  OrvExperiment::getValueAsString("color");
  ASSERT_TRUE(drainWorkQueue());
  EXPECT_EQ(events.size(), 2u);
}
