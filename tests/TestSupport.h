// Helpers shared by the test binaries: scratch directories and files, waiting on
// conditions and queues, captured log lines, and helper processes.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
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
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
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

// A counter that threads bump and tests wait on.
class Signal {
 public:
  // Notifies under the lock: a waiter may destroy the Signal as soon as it wakes.
  void notify() {
    std::lock_guard lock(mutex_);
    ++count_;
    cv_.notify_all();
  }
  bool waitFor(int count, std::chrono::milliseconds timeout = kWait) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] { return count_ >= count; });
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
  int count(const std::string& line) const;            // lines equal to `line`
  int countContaining(const std::string& text) const;  // lines that contain `text`

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

// Resident memory of this process, in bytes.
std::size_t residentBytes();

// Runs a shell command line with a time limit; returns its exit status, or -1 when it
// did not exit normally.
int runCommand(const std::string& commandLine, int timeoutSeconds = 60);
// The same, collecting its standard output.
int runAndCapture(const std::string& commandLine, std::string* output);
// Path of a helper program built next to the tests.
std::string helperPath(const std::string& name);

// A helper program with its standard output piped to us, for tests that kill it at a
// moment of their choosing.
class ChildProcess {
 public:
  explicit ChildProcess(const std::vector<std::string>& argv);
  ~ChildProcess() { killNow(); }  // SIGKILL and reap, if still running
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  // The next line of its output (without the newline); false at end of output.
  bool readLine(std::string* line);
  void killNow();

 private:
  int pid_ = -1;
  FILE* out_ = nullptr;
};

// Makes a file or directory unwritable for its lifetime, even for root (through the
// immutable attribute); ok() is false where that is not possible.
class ReadOnlyPath {
 public:
  explicit ReadOnlyPath(std::string path);
  ~ReadOnlyPath();
  bool ok() const { return ok_; }

 private:
  std::string path_;
  bool ok_ = false;
};

}  // namespace orvtest
