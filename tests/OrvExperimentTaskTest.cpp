#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <thread>

#include "OrvExpLog.h"
#include "OrvExperiment/OrvExperimentTask.h"
#include "OrvExperiment/OrvPlatform.h"
#include "OrvExperimentTaskNotify.h"
#include "TestSupport.h"
#include "platform/OrvMainQueue.h"

using namespace orvtest;

namespace {

// Records listener calls; only touched on the main queue, read after a drain.
struct Recorder {
  std::mutex mutex;
  std::vector<std::string> calls;
  void add(std::string call) {
    std::lock_guard lock(mutex);
    calls.push_back(std::move(call));
  }
  std::vector<std::string> get() {
    std::lock_guard lock(mutex);
    return calls;
  }
};

// Holds the main queue until opened, so a test can act between a notification call
// and its delivery.
class MainQueueGate {
 public:
  MainQueueGate() : state_(std::make_shared<State>()) {
    OrvMainQueue::async([state = state_] {
      state->entered.notify();
      std::unique_lock lock(state->mutex);
      state->cv.wait(lock, [&] { return state->open; });
    });
    EXPECT_TRUE(state_->entered.waitFor(1));
  }
  ~MainQueueGate() {
    std::lock_guard lock(state_->mutex);
    state_->open = true;
    state_->cv.notify_all();
  }

 private:
  // Shared with the job, which may still be leaving the wait after the gate is gone.
  struct State {
    Signal entered;
    std::mutex mutex;
    std::condition_variable cv;
    bool open = false;
  };
  std::shared_ptr<State> state_;
};

}  // namespace

TEST(OrvExperimentTask, ListenersRunInOrderOncePerDelivery) {
  Recorder r;
  auto task = OrvExperimentTask::create();
  auto same = task->addOnSuccessListener([&] { r.add("P"); })
                  ->addOnSuccessListener([&] { r.add("Q"); })
                  ->addOnFailureListener([&](std::int64_t c, const std::string& m) {
                    r.add("F" + std::to_string(c) + ":" + m);
                  })
                  ->addOnSuccessListener([&] { r.add("R"); });
  EXPECT_EQ(same.get(), task.get());

  OrvNotifyTaskSuccess(task);
  OrvNotifyTaskSuccess(task);
  OrvNotifyTaskFailure(task, -42, "boom");
  OrvNotifyTaskSuccess(task);
  ASSERT_TRUE(drainMainQueue());
  EXPECT_EQ(r.get(),
            (std::vector<std::string>{"P", "Q", "R", "P", "Q", "R", "F-42:boom", "P", "Q", "R"}));
}

TEST(OrvExperimentTask, DeliveriesAcrossTasksKeepNotificationOrder) {
  Recorder r;
  auto a = OrvExperimentTask::create();
  auto b = OrvExperimentTask::create();
  a->addOnSuccessListener([&] { r.add("a"); });
  b->addOnSuccessListener([&] {
     r.add("b");
   })->addOnFailureListener([&](std::int64_t, const std::string&) { r.add("b-fail"); });
  OrvNotifyTaskSuccess(b);
  OrvNotifyTaskSuccess(a);
  OrvNotifyTaskFailure(b, 1, "");
  OrvNotifyTaskSuccess(a);
  ASSERT_TRUE(drainMainQueue());
  EXPECT_EQ(r.get(), (std::vector<std::string>{"b", "a", "b-fail", "a"}));
}

TEST(OrvExperimentTask, ListenerListIsReadWhenTheDeliveryRuns) {
  Recorder r;
  auto task = OrvExperimentTask::create();
  {
    MainQueueGate gate;
    OrvNotifyTaskSuccess(task);
    // Added after the call, before the delivery ran: it is called.
    task->addOnSuccessListener([&] { r.add("late"); });
  }
  ASSERT_TRUE(drainMainQueue());
  // Added after the delivery ran: not called for that outcome, only for later ones.
  task->addOnSuccessListener([&] { r.add("later"); });
  ASSERT_TRUE(drainMainQueue());
  EXPECT_EQ(r.get(), (std::vector<std::string>{"late"}));
  OrvNotifyTaskSuccess(task);
  ASSERT_TRUE(drainMainQueue());
  EXPECT_EQ(r.get(), (std::vector<std::string>{"late", "late", "later"}));
}

TEST(OrvExperimentTask, FailureListenersGetExactlyTheCodeAndMessage) {
  std::vector<std::pair<std::int64_t, std::string>> got;
  auto task = OrvExperimentTask::create();
  task->addOnFailureListener([&](std::int64_t c, const std::string& m) { got.emplace_back(c, m); });
  OrvNotifyTaskFailure(task, INT64_MIN, "");
  OrvNotifyTaskFailure(task, 503, "Service Unavailable: é %@ %d");
  ASSERT_TRUE(drainMainQueue());
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0], std::make_pair(INT64_MIN, std::string()));
  EXPECT_EQ(got[1], std::make_pair(std::int64_t{503}, std::string("Service Unavailable: é %@ %d")));
}

TEST(OrvExperimentTask, NullsAreIgnoredAndAPendingDeliveryKeepsTheTaskAlive) {
  OrvNotifyTaskSuccess(nullptr);
  OrvNotifyTaskFailure(nullptr, 1, "x");

  auto task = OrvExperimentTask::create();
  EXPECT_EQ(task->addOnSuccessListener(nullptr).get(), task.get());
  EXPECT_EQ(task->addOnFailureListener(nullptr).get(), task.get());
  EXPECT_TRUE(task->successListeners().empty());
  EXPECT_TRUE(task->failureListeners().empty());

  Signal called;
  std::weak_ptr<OrvExperimentTask> weak = task;
  {
    MainQueueGate gate;
    task->addOnSuccessListener([&] { called.notify(); });
    OrvNotifyTaskSuccess(task);
    task.reset();
    EXPECT_FALSE(weak.expired());  // held by the pending delivery
  }
  EXPECT_TRUE(called.waitFor(1));
  ASSERT_TRUE(drainMainQueue());
  EXPECT_TRUE(weak.expired());
}

TEST(OrvExperimentTask, NotifyingNeverRunsAListenerInsideTheCall) {
  std::atomic<bool> ran{false};
  std::atomic<bool> ranInsideCall{true};
  auto task = OrvExperimentTask::create();
  task->addOnSuccessListener([&] { ran = true; });
  Signal done;
  OrvMainQueue::async([&] {
    OrvNotifyTaskSuccess(task);  // made on the main queue itself
    ranInsideCall = ran.load();
    done.notify();
  });
  ASSERT_TRUE(done.waitFor(1));
  ASSERT_TRUE(drainMainQueue());
  EXPECT_FALSE(ranInsideCall);
  EXPECT_TRUE(ran);
}

TEST(OrvExperimentTask, AddingToTheListBeingDeliveredIsSafeAndReportedOnce) {
  LogCapture log;
  Recorder r;
  auto task = OrvExperimentTask::create();
  std::weak_ptr<OrvExperimentTask> weak = task;
  task->addOnSuccessListener([&r, weak] {
    r.add("adder");
    auto t = weak.lock();
    t->addOnSuccessListener([&r] { r.add("added"); });
    t->addOnSuccessListener([&r] { r.add("added"); });
  });
  task->addOnSuccessListener([&] { r.add("second"); });
  OrvNotifyTaskSuccess(task);
  ASSERT_TRUE(drainMainQueue());
  EXPECT_EQ(r.get(), (std::vector<std::string>{"adder", "second"}));
  int errors = 0;
  for (const auto& line : log.lines()) errors += line.rfind("[OrvExperiment] [ERROR] ", 0) == 0;
  EXPECT_EQ(errors, 1);

  task->setSuccessListeners({[&] { r.add("only"); }});
  task->addOnFailureListener([&](std::int64_t, const std::string&) { r.add("fail"); });
  OrvNotifyTaskSuccess(task);
  OrvNotifyTaskFailure(task, 0, "");
  ASSERT_TRUE(drainMainQueue());
  EXPECT_EQ(r.get(), (std::vector<std::string>{"adder", "second", "only", "fail"}));
}

TEST(OrvExperimentTask, AddsFromOtherThreadsDuringDeliveriesAreRaceFree) {
  auto task = OrvExperimentTask::create();
  std::atomic<int> calls{0};
  constexpr int kThreads = 4;
  constexpr int kAddsPerThread = 200;
  std::vector<std::thread> adders;
  for (int t = 0; t < kThreads; ++t) {
    adders.emplace_back([&] {
      for (int i = 0; i < kAddsPerThread; ++i) {
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
  // The last delivery reached every listener ever added.
  EXPECT_EQ(calls.load() - before, kThreads * kAddsPerThread);
  EXPECT_EQ(task->successListeners().size(), static_cast<std::size_t>(kThreads * kAddsPerThread));
}

TEST(OrvExperimentTask, AThrowingListenerDoesNotStopTheOthers) {
  Recorder r;
  auto task = OrvExperimentTask::create();
  task->addOnSuccessListener([] { throw std::runtime_error("listener failure"); })
      ->addOnSuccessListener([&] { r.add("after"); });
  OrvNotifyTaskSuccess(task);
  ASSERT_TRUE(drainMainQueue());
  EXPECT_EQ(r.get(), (std::vector<std::string>{"after"}));
}

TEST(OrvPlatformMainQueue, AnApplicationLoopReceivesEveryDelivery) {
  std::mutex m;
  std::deque<std::function<void()>> jobs;
  OrvPlatform::setMainQueueExecutor([&](std::function<void()> job) {
    std::lock_guard lock(m);
    jobs.push_back(std::move(job));
  });
  const auto loopThread = std::this_thread::get_id();
  std::vector<std::string> calls;
  bool onLoopThread = true;
  auto task = OrvExperimentTask::create();
  task->addOnSuccessListener([&] {
    calls.push_back("ok");
    onLoopThread = onLoopThread && std::this_thread::get_id() == loopThread;
  });
  task->addOnFailureListener(
      [&](std::int64_t c, const std::string& msg) { calls.push_back(std::to_string(c) + msg); });
  std::thread other([&] {
    OrvNotifyTaskSuccess(task);
    OrvNotifyTaskFailure(task, 7, "x");
  });
  other.join();
  EXPECT_TRUE(calls.empty());  // nothing runs until the loop pumps
  for (;;) {
    std::function<void()> job;
    {
      std::lock_guard lock(m);
      if (jobs.empty()) break;
      job = std::move(jobs.front());
      jobs.pop_front();
    }
    job();
  }
  OrvPlatform::setMainQueueExecutor(nullptr);
  EXPECT_EQ(calls, (std::vector<std::string>{"ok", "7x"}));
  EXPECT_TRUE(onLoopThread);

  // The default thread is back.
  Signal back;
  task->setSuccessListeners({[&] { back.notify(); }});
  OrvNotifyTaskSuccess(task);
  EXPECT_TRUE(back.waitFor(1));
}

TEST(OrvExperimentTask, AnOutcomeNobodyHeardGoesToTheFirstListenerAddedLater) {
  Recorder r;
  auto task = OrvExperimentTask::create();
  OrvNotifyTaskSuccess(task);
  OrvNotifyTaskFailure(task, -7, "not started");
  ASSERT_TRUE(drainMainQueue());  // both delivered to nobody
  task->addOnSuccessListener([&] { r.add("first"); });
  ASSERT_TRUE(drainMainQueue());
  task->addOnSuccessListener([&] { r.add("second"); });  // the held outcome is spent
  task->addOnFailureListener(
      [&](std::int64_t c, const std::string& m) { r.add(std::to_string(c) + m); });
  ASSERT_TRUE(drainMainQueue());
  EXPECT_EQ(r.get(), (std::vector<std::string>{"first", "-7not started"}));
  OrvNotifyTaskSuccess(task);
  ASSERT_TRUE(drainMainQueue());
  EXPECT_EQ(r.get(), (std::vector<std::string>{"first", "-7not started", "first", "second"}));
}
