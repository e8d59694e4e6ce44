// A small program for exit tests: leaves work on the library's queues in various ways
// and then ends the process. Its exit status is what the test checks.
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "OrvExperiment/OrvExperimentTask.h"
#include "OrvExperimentQueue.h"
#include "OrvExperimentTaskNotify.h"
#include "platform/OrvMainQueue.h"

namespace {

// Leaked, like the library's own state: the stuck block keeps running past exit.
std::mutex& m = *new std::mutex;
std::condition_variable& cv = *new std::condition_variable;
bool started = false;

void fillQueues() {
  auto task = OrvExperimentTask::create();
  task->addOnSuccessListener([] {});
  for (int i = 0; i < 1000; ++i) {
    OrvExperimentQueue::sharedInstance().execute([] { std::this_thread::yield(); });
    OrvNotifyTaskSuccess(task);
  }
}

void waitStarted() {
  std::unique_lock lock(m);
  cv.wait(lock, [] { return started; });
}

void markStarted() {
  {
    std::lock_guard lock(m);
    started = true;
  }
  cv.notify_all();
}

}  // namespace

int main(int argc, char** argv) {
  const char* mode = argc > 1 ? argv[1] : "";
  if (std::strcmp(mode, "return-with-work") == 0) {
    OrvExperimentQueue::sharedInstance().execute([] {
      markStarted();
      std::this_thread::sleep_for(std::chrono::milliseconds(200));  // a block still running
    });
    waitStarted();
    fillQueues();
    return 0;
  }
  if (std::strcmp(mode, "exit-from-thread") == 0) {
    fillQueues();
    std::thread([] { std::exit(0); }).detach();
    for (;;) fillQueues();
  }
  if (std::strcmp(mode, "exit-inside-block") == 0) {
    fillQueues();
    OrvExperimentQueue::sharedInstance().execute([] { std::exit(3); });
    fillQueues();
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  if (std::strcmp(mode, "stuck-block") == 0) {
    OrvExperimentQueue::sharedInstance().execute([] {
      markStarted();
      auto* never = new std::mutex;
      std::unique_lock lock(*never);
      (new std::condition_variable)->wait(lock);  // never notified
    });
    waitStarted();
    fillQueues();
    return 0;
  }
  return 2;
}
