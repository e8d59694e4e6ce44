// Helpers shared by the test binaries: scratch directories, files, and running
// helper processes.
#pragma once

#include <string>
#include <vector>

#include "OrvExperiment/OrvValue.h"

namespace orvtest {

// A fresh directory under the system temp directory, removed with its contents when
// the object goes away.
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

}  // namespace orvtest

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

namespace orvtest {

using namespace std::chrono_literals;
constexpr auto kWait = 20s;  // upper bound for anything a test waits on

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

// Captures console lines and switches logging on for its lifetime.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  std::vector<std::string> lines() const;
  int count(const std::string& line) const;
  void clear();

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

// Runs a shell command line with a time limit; returns its exit status, or -1 when it
// did not exit normally.
int runCommand(const std::string& commandLine, int timeoutSeconds = 60);

// The worked example payload: four features, two experiment entries, misfits.
extern const char* const kWorkedExamplePayload;

// Runs a shell command line, collects its standard output and returns its exit
// status (-1 when it did not exit normally).
int runAndCapture(const std::string& commandLine, std::string* output);

// A helper program running with its standard output piped to us, for tests that kill
// it at a moment of their choosing.
class ChildProcess {
 public:
  explicit ChildProcess(const std::vector<std::string>& argv);
  ~ChildProcess();  // kills (SIGKILL) and reaps it if still running
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  // The next line of its output (without the newline); false at end of output.
  bool readLine(std::string* line);
  void killNow();
  int pid() const { return pid_; }
  // Waits up to `timeout` for it to end: its exit code, 128 + signal when a signal
  // ended it, or -1 when it is still running (it is then killed).
  int waitExit(std::chrono::milliseconds timeout);

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
  ReadOnlyPath(const ReadOnlyPath&) = delete;
  ReadOnlyPath& operator=(const ReadOnlyPath&) = delete;
  bool ok() const { return ok_; }

 private:
  std::string path_;
  bool ok_ = false;
};

// Path of a helper program built next to the tests.
std::string helperPath(const std::string& name);

}  // namespace orvtest
