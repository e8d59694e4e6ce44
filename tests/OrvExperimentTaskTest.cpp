#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <thread>

#include "OrvExperiment/OrvExperimentTask.h"
#include "OrvExperiment/OrvPlatform.h"
#include "OrvExperimentTaskNotify.h"
#include "TestSupport.h"
#include "platform/OrvMainQueue.h"

using namespace orvtest;
using Calls = std::vector<std::string>;

namespace {

// Records listener calls, in the order they ran.
struct Recorder {
  std::mutex mutex;
  Calls calls;
  void add(std::string call) {
    std::lock_guard lock(mutex);
    calls.push_back(std::move(call));
  }
  std::function<void()> success(std::string name) {
    return [this, name] { add(name); };
  }
  OrvExperimentTask::FailureListener failure() {
    return [this](std::int64_t code, const std::string& m) { add(std::to_string(code) + m); };
  }
  Calls get() {
    std::lock_guard lock(mutex);
    return calls;
  }
};

}  // namespace

TEST(OrvExperimentTask, DeliveriesRunInNotificationOrderAndListenersInTheOrderAdded) {
  Recorder r;
  auto a = OrvExperimentTask::create();
  auto b = OrvExperimentTask::create();
  const auto twice = r.success("T");
  EXPECT_EQ(a->addOnSuccessListener(r.success("P"))
                ->addOnFailureListener(r.failure())
                ->addOnSuccessListener(twice)
                ->addOnSuccessListener(twice),
            a);
  b->addOnSuccessListener(r.success("b"));
  OrvNotifyTaskSuccess(a);
  OrvNotifyTaskSuccess(b);
  OrvNotifyTaskFailure(a, INT64_MIN, "");
  OrvNotifyTaskFailure(a, 503, "é %@ %d");
  OrvNotifyTaskSuccess(a);
  ASSERT_TRUE(drainMainQueue());
  EXPECT_EQ(r.get(),
            (Calls{"P", "T", "T", "b", std::to_string(INT64_MIN), "503é %@ %d", "P", "T", "T"}));
}

TEST(OrvExperimentTask, TheListIsReadWhenTheDeliveryRunsAndNothingIsReplayed) {
  Recorder r;
  auto task = OrvExperimentTask::create();
  OrvNotifyTaskSuccess(nullptr);
  OrvNotifyTaskFailure(nullptr, 1, "x");
  EXPECT_EQ(task->addOnSuccessListener(nullptr)->addOnFailureListener(nullptr), task);
  EXPECT_TRUE(task->successListeners().empty() && task->failureListeners().empty());
  // Delivered while nobody listens: gone, also for listeners added later.
  OrvNotifyTaskSuccess(task);
  OrvNotifyTaskFailure(task, 1, "unheard");
  ASSERT_TRUE(drainMainQueue());
  {
    QueueGate gate(/*mainQueue=*/true);
    OrvNotifyTaskSuccess(task);
    task->addOnSuccessListener(r.success("late"));  // before its delivery ran: heard
  }
  ASSERT_TRUE(drainMainQueue());
  task->addOnSuccessListener(r.success("after"))->addOnFailureListener(r.failure());
  ASSERT_TRUE(drainMainQueue());
  EXPECT_EQ(r.get(), (Calls{"late"}));

  // A pending delivery keeps a task the application dropped.
  std::weak_ptr<OrvExperimentTask> weak = task;
  {
    QueueGate gate(true);
    OrvNotifyTaskSuccess(task);
    task.reset();
    EXPECT_FALSE(weak.expired());
  }
  ASSERT_TRUE(drainMainQueue());
  EXPECT_EQ(r.get(), (Calls{"late", "late", "after"}));
  EXPECT_TRUE(weak.expired());
}

TEST(OrvExperimentTask, ALibraryTaskKeepsUnheardOutcomesAndDeliversThemInOrder) {
  Recorder r;
  auto task = OrvCreateLibraryTask();
  OrvNotifyTaskSuccess(task);
  OrvNotifyTaskFailure(task, -7, "second");
  OrvNotifyTaskSuccess(task);
  ASSERT_TRUE(drainMainQueue());
  task->addOnFailureListener(r.failure());
  ASSERT_TRUE(drainMainQueue());
  EXPECT_EQ(r.get(), Calls{});  // the failure may not overtake the older success
  task->addOnSuccessListener(r.success("S"));
  ASSERT_TRUE(drainMainQueue());
  EXPECT_EQ(r.get(), (Calls{"S", "-7second", "S"}));
  // Heard once, the kept outcomes are spent.
  task->addOnSuccessListener(r.success("S2"));
  OrvNotifyTaskSuccess(task);
  ASSERT_TRUE(drainMainQueue());
  EXPECT_EQ(r.get(), (Calls{"S", "-7second", "S", "S", "S2"}));
}

TEST(OrvExperimentTask, NotifyingFromTheMainQueueReturnsBeforeAnyListenerRuns) {
  std::atomic<bool> ran{false};
  std::atomic<bool> ranInsideCall{true};
  auto task = OrvExperimentTask::create();
  task->addOnSuccessListener([&] { ran = true; });
  OrvMainQueue::async([&] {
    OrvNotifyTaskSuccess(task);
    ranInsideCall = ran.load();
  });
  ASSERT_TRUE(drainMainQueue());
  ASSERT_TRUE(drainMainQueue());
  EXPECT_FALSE(ranInsideCall);
  EXPECT_TRUE(ran);
}

TEST(OrvExperimentTask, AddingToTheListBeingDeliveredOrThrowingKeepsTheWalkSafe) {
  LogCapture log;
  Recorder r;
  auto task = OrvExperimentTask::create();
  OrvExperimentTask* raw = task.get();
  task->addOnSuccessListener([&r, raw] {
    r.add("adder");
    raw->addOnSuccessListener(r.success("added"))->addOnSuccessListener(r.success("added"));
    throw std::runtime_error("listener failure");
  });
  task->addOnSuccessListener(r.success("second"));
  OrvNotifyTaskSuccess(task);
  ASSERT_TRUE(drainMainQueue());
  EXPECT_EQ(r.get(), (Calls{"adder", "second"}));
  EXPECT_EQ(log.countContaining("[ERROR] OrvExperimentTask: a success listener was added"), 1);
  EXPECT_EQ(log.countContaining("[ERROR] OrvExperimentTask: a listener threw"), 1);
}

TEST(OrvExperimentTask, AddsFromOtherThreadsDuringDeliveriesAreRaceFree) {
  auto task = OrvExperimentTask::create();
  std::atomic<int> calls{0};
  constexpr int kThreads = 4, kAdds = 200;
  std::vector<std::thread> adders;
  for (int t = 0; t < kThreads; ++t) {
    adders.emplace_back([&] {
      for (int i = 0; i < kAdds; ++i) {
        task->addOnSuccessListener([&] { calls.fetch_add(1, std::memory_order_relaxed); });
        if (i % 20 == 0) OrvNotifyTaskSuccess(task);
      }
    });
  }
  for (auto& t : adders) t.join();
  ASSERT_TRUE(drainMainQueue());
  const int before = calls.load();
  OrvNotifyTaskSuccess(task);
  ASSERT_TRUE(drainMainQueue());
  EXPECT_EQ(calls.load() - before, kThreads * kAdds);  // every listener ever added
}

TEST(OrvPlatformMainQueue, AnApplicationLoopReceivesEveryDelivery) {
  std::mutex m;
  std::deque<std::function<void()>> jobs;
  OrvPlatform::setMainQueueExecutor([&](std::function<void()> job) {
    std::lock_guard lock(m);
    jobs.push_back(std::move(job));
  });
  Recorder r;
  const auto loop = std::this_thread::get_id();
  auto task = OrvExperimentTask::create();
  task->addOnSuccessListener([&] { r.add(std::this_thread::get_id() == loop ? "ok" : "wrong"); })
      ->addOnFailureListener(r.failure());
  std::thread([&] {
    OrvNotifyTaskSuccess(task);
    OrvNotifyTaskFailure(task, 7, "x");
  }).join();
  EXPECT_EQ(r.get(), Calls{});  // nothing runs until the loop pumps
  for (std::size_t i = 0; i < jobs.size(); ++i) jobs[i]();
  OrvPlatform::setMainQueueExecutor(nullptr);
  EXPECT_EQ(r.get(), (Calls{"ok", "7x"}));
  // The default thread is back.
  OrvNotifyTaskSuccess(task);
  ASSERT_TRUE(drainMainQueue());
  EXPECT_EQ(r.get().size(), 3u);
}
