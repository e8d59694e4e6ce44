// The support pieces: the serial work queue, the console log, and the configuration
// record that many threads share.
#include <gtest/gtest.h>

#include <atomic>
#include <numeric>
#include <thread>

#include "OrvExpLog.h"
#include "OrvExperiment/OrvExperimentConfig.h"
#include "OrvExperiment/OrvExperimentTask.h"
#include "OrvExperimentQueue.h"
#include "OrvExperimentTaskNotify.h"
#include "TestSupport.h"

using namespace orvtest;

TEST(OrvExperimentQueue, BlocksFromManyThreadsRunOnceEachNeverOverlappingInOrderPerThread) {
  auto& queue = OrvExperimentQueue::sharedInstance();
  constexpr int kThreads = 4, kBlocks = 2000;
  std::atomic<int> running{0};
  std::atomic<bool> overlapped{false};
  std::vector<std::vector<int>> seen(kThreads);  // written only by blocks
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kBlocks; ++i) {
        queue.execute([&, t, i] {
          if (running.fetch_add(1) != 0) overlapped = true;
          seen[static_cast<std::size_t>(t)].push_back(i);
          running.fetch_sub(1);
        });
      }
    });
  }
  for (auto& th : threads) th.join();
  ASSERT_TRUE(drainWorkQueue());
  EXPECT_FALSE(overlapped);
  std::vector<int> inOrder(kBlocks);
  std::iota(inOrder.begin(), inOrder.end(), 0);
  for (const auto& s : seen) EXPECT_EQ(s, inOrder);
}

TEST(OrvExperimentQueue, ExecuteNeverWaitsAndNestedBlocksGoToTheBack) {
  auto& queue = OrvExperimentQueue::sharedInstance();
  queue.execute(nullptr);          // ignored
  std::vector<std::string> order;  // written only by blocks
  {
    QueueGate gate;  // a long block is running: execute still returns
    queue.execute([&] {
      order.push_back("first");
      queue.execute([&] { order.push_back("nested"); });
    });
    queue.execute([&] { order.push_back("second"); });
  }
  ASSERT_TRUE(drainWorkQueue());
  EXPECT_EQ(order, (std::vector<std::string>{"first", "second", "nested"}));
}

// One thread changes a configuration record and adds task listeners while another reads
// the record and has deliveries run: race-free (under the thread sanitizer), and no
// listener is lost.
TEST(OrvExperimentConfig, DefaultsAndConcurrentUseOfARecordAndItsTask) {
  auto config = OrvExperimentConfig::create("app", "https://config.example");
  EXPECT_TRUE(config->automaticExposureTracking() && !config->startupTask());
  EXPECT_TRUE(config->customBucketId().isAbsent() && config->customFetchParams().isAbsent());
  auto task = OrvExperimentTask::create();
  std::atomic<int> calls{0};
  std::thread writer([&] {
    for (int i = 0; i < 1000; ++i) {
      config->setAppId("app" + std::to_string(i));
      config->setAutomaticExposureTracking(i % 2 == 0);
      config->setStartupTask(task);
      task->addOnSuccessListener([&] { ++calls; });
    }
  });
  for (int i = 0; i < 1000; ++i) {
    EXPECT_EQ(config->appId().rfind("app", 0), 0u);
    OrvNotifyTaskSuccess(config->automaticExposureTracking() ? config->startupTask() : nullptr);
  }
  writer.join();
  ASSERT_TRUE(drainMainQueue());
  const int before = calls;
  OrvNotifyTaskSuccess(task);
  ASSERT_TRUE(drainMainQueue());
  EXPECT_EQ(calls - before, 1000);  // every listener ever added
}

TEST(OrvExpLog, BothLevelsWriteWhileOnAndNothingIsFormattedWhileOff) {
  LogCapture log;
  OrvExpLog::setEnableLog(false);
  OrvExpLog::error(OrvExpLog::kConfigNil);
  OrvExpLog::setEnableLog(true);
  OrvExpLog::info(OrvExpLog::kInitSuccess, std::string("abc"), std::string("1.0.2"));
  OrvExpLog::error(OrvExpLog::kConfigNil);
  OrvExpLog::info(OrvExpLog::kNoExperiment, std::string("banner"));
  // Arguments are text, never formats; a missing argument renders as "(null)".
  OrvExpLog::info(OrvExpLog::kAlreadyExposed, std::string("50%off %@ %d %s %n"));
  OrvExpLog::info("%@ and %@ and %@", OrvValue(7), json(R"({"a":[1]})"));
  OrvExpLog::info("100%% %@, trailing %", static_cast<const char*>(nullptr));
  // Control characters in a value never end the line (an application id, a collector's
  // message could forge the next one).
  OrvExpLog::info(OrvExpLog::kInitSuccess, std::string("a\n[OrvExperiment] forged\r\t\x01\x7f"),
                  std::string("1"));
  OrvExpLog::setEnableLog(false);
  OrvExpLog::info("hidden again");
  EXPECT_EQ(
      log.lines(),
      (std::vector<std::string>{
          "[OrvExperiment] OrvExperiment SDK initialize Success with appId = abc, version = 1.0.2",
          "[OrvExperiment] [ERROR] FeatureManager: config is nil, SDK must be initialized first",
          "[OrvExperiment] banner : No relevant experiment detected, skip exposure event.",
          "[OrvExperiment] 50%off %@ %d %s %n : Already exposed, skip this exposure incident.",
          "[OrvExperiment] 7 and {\"a\":[1]} and (null)",
          "[OrvExperiment] 100% (null), trailing %",
          "[OrvExperiment] OrvExperiment SDK initialize Success with appId = "
          "a\\n[OrvExperiment] forged\\r\\t\\x01\\x7f, version = 1",
      }));
}
