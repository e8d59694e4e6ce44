#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <future>
#include <thread>

#include "OrvExperiment/OrvExperimentTask.h"
#include "OrvExperiment/OrvPlatform.h"
#include "OrvExperimentTaskNotify.h"
#include "TestSupport.h"

using namespace orvtest;
using Calls = std::vector<std::string>;

namespace {

// Records listener calls in the order they ran (on the main queue, read after a drain).
struct Recorder {
  Calls calls;
  std::function<void()> success(std::string name) {
    return [this, name] { calls.push_back(name); };
  }
  OrvExperimentTask::FailureListener failure() {
    return [this](std::int64_t code, const std::string& m) {
      calls.push_back(std::to_string(code) + m);
    };
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
  EXPECT_EQ(r.calls,
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
  std::weak_ptr<OrvExperimentTask> weak = task;
  {
    QueueGate gate(/*mainQueue=*/true);
    OrvNotifyTaskSuccess(task);
    task->addOnSuccessListener(r.success("late"));  // before its delivery ran: heard
  }
  ASSERT_TRUE(drainMainQueue());
  task->addOnSuccessListener(r.success("after"))->addOnFailureListener(r.failure());
  ASSERT_TRUE(drainMainQueue());
  EXPECT_EQ(r.calls, (Calls{"late"}));
  {
    QueueGate gate(true);
    OrvNotifyTaskSuccess(task);
    task.reset();  // the pending delivery keeps the task
  }
  ASSERT_TRUE(drainMainQueue());
  EXPECT_EQ(r.calls, (Calls{"late", "late", "after"}));
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
  EXPECT_EQ(r.calls, Calls{});  // the failure may not overtake the older success
  task->addOnSuccessListener(r.success("S"));
  ASSERT_TRUE(drainMainQueue());
  EXPECT_EQ(r.calls, (Calls{"S", "-7second", "S"}));
  task->addOnSuccessListener(r.success("S2"));  // heard once, kept outcomes are spent
  OrvNotifyTaskSuccess(task);
  ASSERT_TRUE(drainMainQueue());
  EXPECT_EQ(r.calls, (Calls{"S", "-7second", "S", "S", "S2"}));
}

TEST(OrvExperimentTask, AddingToTheListBeingDeliveredOrThrowingKeepsTheWalkSafe) {
  LogCapture log;
  Recorder r;
  auto task = OrvExperimentTask::create();
  task->addOnSuccessListener([&r, raw = task.get()] {
    r.calls.push_back("adder");
    raw->addOnSuccessListener(r.success("added"))->addOnSuccessListener(r.success("added"));
    throw std::runtime_error("listener failure");
  });
  task->addOnSuccessListener(r.success("second"));
  OrvNotifyTaskSuccess(task);
  ASSERT_TRUE(drainMainQueue());
  EXPECT_EQ(r.calls, (Calls{"adder", "second"}));
  EXPECT_EQ(log.countContaining("[ERROR] OrvExperimentTask: a success listener was added"), 1);
  EXPECT_EQ(log.countContaining("[ERROR] OrvExperimentTask: a listener threw"), 1);
}

// A listener that waits for the outcome of a task it asked for blocks the very queue
// that would deliver it: said once, a second on. One that asks and returns is not.
TEST(OrvExperimentTask, WaitingInsideAMainQueueJobForAnOutcomeItAskedForIsReported) {
  constexpr const char* kReport = "has waited 1 s behind that listener";
  Signal reported;
  std::mutex mutex;
  std::vector<std::string> lines;
  OrvPlatform::setConsoleSink([&](std::string_view line) {
    {
      std::lock_guard lock(mutex);
      lines.emplace_back(line);
    }
    if (line.find(kReport) != std::string_view::npos) reported.notify();
  });
  OrvExpLog::setEnableLog(true);
  OrvMainQueue::async([] { OrvNotifyTaskSuccess(OrvCreateLibraryTask()); });
  std::promise<bool> heard;
  OrvMainQueue::async([&] {
    auto task = OrvCreateLibraryTask();
    OrvNotifyTaskSuccess(task);
    heard.set_value(reported.waitFor(1));  // blocks the main queue as a real wait would
  });
  EXPECT_TRUE(heard.get_future().get());
  ASSERT_TRUE(drainMainQueue());
  OrvExpLog::setEnableLog(false);
  OrvPlatform::setConsoleSink(nullptr);
  std::lock_guard lock(mutex);
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [&](const std::string& l) { return l.find(kReport) != l.npos; }),
            1);
}

TEST(OrvPlatformMainQueue, AnApplicationLoopReceivesEveryDeliveryAndNoneRunsInsideTheCall) {
  std::deque<std::function<void()>> jobs;  // filled by one thread at a time
  OrvPlatform::setMainQueueExecutor([&](std::function<void()> job) { jobs.push_back(job); });
  Recorder r;
  const auto loop = std::this_thread::get_id();
  auto task = OrvExperimentTask::create();
  task->addOnSuccessListener(
          [&] { r.calls.push_back(std::this_thread::get_id() == loop ? "ok" : "no"); })
      ->addOnFailureListener(r.failure());
  OrvNotifyTaskSuccess(task);  // from the loop's own thread
  std::thread([&] { OrvNotifyTaskFailure(task, 7, "x"); }).join();
  EXPECT_EQ(r.calls, Calls{});  // nothing runs until the loop pumps
  for (std::size_t i = 0; i < jobs.size(); ++i) jobs[i]();
  OrvPlatform::setMainQueueExecutor(nullptr);
  EXPECT_EQ(r.calls, (Calls{"ok", "7x"}));
  OrvNotifyTaskSuccess(task);  // the default main-queue thread is back
  ASSERT_TRUE(drainMainQueue());
  EXPECT_EQ(r.calls.size(), 3u);
}
