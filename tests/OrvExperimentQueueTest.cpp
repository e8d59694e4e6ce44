#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "OrvExperiment/OrvExperimentConfig.h"
#include "OrvExperiment/OrvExperimentTask.h"
#include "OrvExperimentQueue.h"
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
  for (int i = 0; i < kBlocks; ++i) inOrder[static_cast<std::size_t>(i)] = i;
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

TEST(OrvExperimentQueue, ProcessesExitCleanlyWithWorkQueuedOrRunning) {
  const std::string helper = helperPath("orv_exit_helper");
  // Returning from main with blocks queued on both queues and one still running.
  EXPECT_EQ(runCommand(helper + " return-with-work"), 0);
  // exit() from another thread while work is queued.
  EXPECT_EQ(runCommand(helper + " exit-from-thread"), 0);
  // exit() from inside a block on the work queue.
  EXPECT_EQ(runCommand(helper + " exit-inside-block"), 3);
  // A block that never finishes does not hang the exit.
  EXPECT_EQ(runCommand(helper + " stuck-block", 30), 0);
}

TEST(OrvExperimentConfig, DefaultsAndConcurrentUse) {
  auto config = OrvExperimentConfig::create("app", "https://config.example");
  EXPECT_TRUE(config->automaticExposureTracking() && !config->startupTask());
  EXPECT_TRUE(config->customBucketId().isAbsent() && config->customFetchParams().isAbsent());
  // One thread writes while another reads: race-free (run under the thread sanitizer).
  std::thread writer([&] {
    for (int i = 0; i < 2000; ++i) {
      config->setAppId("app" + std::to_string(i));
      config->setAutomaticExposureTracking(i % 2 == 0);
      config->setStartupTask(OrvExperimentTask::create());
      config->setCustomBucketId(OrvValue(i));
    }
  });
  for (int i = 0; i < 2000; ++i) {
    EXPECT_EQ(config->appId().rfind("app", 0), 0u);
    EXPECT_GE(config->customBucketId().int64Value(), 0);
    (void)config->startupTask();
    (void)config->automaticExposureTracking();
  }
  writer.join();
  EXPECT_EQ(config->appId(), "app1999");
}
