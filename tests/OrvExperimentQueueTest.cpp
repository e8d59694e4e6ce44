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
  constexpr int kThreads = 4;
  constexpr int kBlocks = 2000;
  std::atomic<int> running{0};
  std::atomic<int> maxRunning{0};
  // Written only by blocks, which the queue runs one at a time.
  std::vector<std::vector<int>> seen(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kBlocks; ++i) {
        queue.execute([&, t, i] {
          const int now = running.fetch_add(1) + 1;
          int prev = maxRunning.load();
          while (now > prev && !maxRunning.compare_exchange_weak(prev, now)) {
          }
          seen[static_cast<std::size_t>(t)].push_back(i);
          running.fetch_sub(1);
        });
      }
    });
  }
  for (auto& th : threads) th.join();
  ASSERT_TRUE(drainWorkQueue());
  EXPECT_EQ(maxRunning.load(), 1);
  for (int t = 0; t < kThreads; ++t) {
    const auto& s = seen[static_cast<std::size_t>(t)];
    ASSERT_EQ(s.size(), static_cast<std::size_t>(kBlocks));
    for (int i = 0; i < kBlocks; ++i)
      ASSERT_EQ(s[static_cast<std::size_t>(i)], i) << "thread " << t;
  }
}

TEST(OrvExperimentQueue, ExecuteNeverWaitsAndNestedBlocksGoToTheBack) {
  auto& queue = OrvExperimentQueue::sharedInstance();
  queue.execute(nullptr);  // ignored

  std::mutex m;
  std::condition_variable cv;
  bool open = false;
  std::vector<std::string> order;
  Signal started;
  queue.execute([&] {
    started.notify();
    std::unique_lock lock(m);
    cv.wait(lock, [&] { return open; });
    order.push_back("first");
    queue.execute([&] { order.push_back("nested"); });
  });
  ASSERT_TRUE(started.waitFor(1));
  // The first block is still running, yet execute returns.
  queue.execute([&] { order.push_back("second"); });
  EXPECT_GE(queue.serialQueue().pendingCount(), 1u);
  {
    std::lock_guard lock(m);
    open = true;
  }
  cv.notify_all();
  ASSERT_TRUE(drainWorkQueue());
  ASSERT_TRUE(drainWorkQueue());
  EXPECT_EQ(order, (std::vector<std::string>{"first", "second", "nested"}));
}

TEST(OrvExperimentConfig, DefaultsCopiesAndConcurrentUse) {
  auto config = OrvExperimentConfig::create("app", "https://config.example");
  EXPECT_EQ(config->appId(), "app");
  EXPECT_EQ(config->serverUrl(), "https://config.example");
  EXPECT_TRUE(config->automaticExposureTracking());
  EXPECT_TRUE(config->customBucketId().isAbsent());
  EXPECT_TRUE(config->customFetchParams().isAbsent());
  EXPECT_EQ(config->startupTask(), nullptr);

  std::string appId = "mutable";
  config->setAppId(appId);
  appId += "-changed";  // the record kept its own copy
  EXPECT_EQ(config->appId(), "mutable");
  OrvValue params = orvtest::json(R"({"country":"SE"})");
  config->setCustomFetchParams(params);
  EXPECT_TRUE(config->customFetchParams().isSameObject(params));  // shared, not copied

  // One thread writes while others read: must be race-free.
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (int i = 0; i < 2000; ++i) {
      config->setAppId("app" + std::to_string(i));
      config->setAutomaticExposureTracking(i % 2 == 0);
      config->setStartupTask(OrvExperimentTask::create());
      config->setCustomBucketId(OrvValue(i));
    }
    stop = true;
  });
  std::size_t reads = 0;
  do {
    reads += config->appId().size() + (config->automaticExposureTracking() ? 1 : 0);
    reads += config->startupTask() ? 1 : 0;
    reads += static_cast<std::size_t>(config->customBucketId().int64Value() >= 0);
  } while (!stop);
  writer.join();
  EXPECT_GT(reads, 0u);
  EXPECT_EQ(config->appId(), "app1999");
}
