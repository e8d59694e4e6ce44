// Helpers shared by the test binaries: scratch directories and files, waiting on
// conditions, queues and task outcomes, captured log lines, and helper processes.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "OrvExperiment/OrvValue.h"

// Lets test failures show values as JSON.
inline void PrintTo(const OrvValue& value, std::ostream* out) { *out << value.toJson(); }

namespace orvtest {

using namespace std::chrono_literals;
constexpr auto kWait = 20s;  // upper bound for anything a test waits on

// A fresh directory under the system temp directory, removed with its contents (made
// writable again first) when the object goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& contents);
// Parses JSON that the test itself wrote; fails the test on a parse error.
OrvValue json(const std::string& text);
// The worked example payload: four features, two experiment entries, misfits.
extern const char* const kWorkedExamplePayload;

// A counter that threads bump and tests wait on. Whatever a thread wrote before
// notify() is visible to a test whose waitFor() saw the count.
class Signal {
 public:
  // Notifies under the lock: a waiter may destroy the Signal as soon as it wakes.
  void notify() {
    std::lock_guard lock(mutex_);
    ++count_;
    cv_.notify_all();
  }
  bool waitFor(int count) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, kWait, [&] { return count_ >= count; });
  }
  int count() const {
    std::lock_guard lock(mutex_);
    return count_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  int count_ = 0;
};

// What a completion task (the library's or the component's) reported; `done` counts
// outcomes, the fields hold the latest.
struct TaskOutcome {
  Signal done;
  int successes = 0;
  int failures = 0;
  std::int64_t code = 0;
  std::string message;
};
template <class Task>
std::shared_ptr<TaskOutcome> listenTo(const std::shared_ptr<Task>& task) {
  auto outcome = std::make_shared<TaskOutcome>();
  // Deliveries to one task never overlap, so the fields need no lock of their own.
  task->addOnSuccessListener([outcome] {
    ++outcome->successes;
    outcome->done.notify();
  });
  task->addOnFailureListener([outcome](std::int64_t code, const std::string& message) {
    ++outcome->failures;
    outcome->code = code;
    outcome->message = message;
    outcome->done.notify();
  });
  return outcome;
}

// Runs on the queue after everything submitted so far; false on timeout.
bool drainWorkQueue();
bool drainMainQueue();

// Holds a queue (the work queue by default) with a job that waits until the gate goes
// away, so a test can line work up behind it.
class QueueGate {
 public:
  explicit QueueGate(bool mainQueue = false);
  ~QueueGate() { released_->notify(); }

 private:
  std::shared_ptr<Signal> released_ = std::make_shared<Signal>();
};

// Captures console lines and switches the library's log on for its lifetime.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  std::vector<std::string> lines() const;
  int countContaining(const std::string& text) const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

std::size_t residentBytes();

// Runs a shell command line with a time limit and returns its exit status (-1 when it
// did not exit normally); its standard output goes to `output` when given.
int runCommand(const std::string& commandLine, int timeoutSeconds = 60,
               std::string* output = nullptr);
// Path of a helper program built next to the tests.
std::string helperPath(const std::string& name);

}  // namespace orvtest
