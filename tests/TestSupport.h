// Helpers shared by the test binaries: scratch directories and files, waiting on
// conditions, queues and task outcomes, captured log lines, and helper processes.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "OrvExpLog.h"
#include "OrvExperiment/OrvPlatform.h"
#include "OrvExperiment/OrvValue.h"
#include "OrvExperimentQueue.h"
#include "platform/execution/OrvMainQueue.h"

// Lets test failures show values as JSON.
inline void PrintTo(const OrvValue& value, std::ostream* out) { *out << value.toJson(); }

namespace orvtest {

// Sanitizer runtimes keep freed memory aside and do work of their own at exit: tests that
// bound memory or exit times allow for them.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

using namespace std::chrono_literals;
constexpr auto kWait = 20s;  // upper bound for anything a test waits on

// A fresh directory under the system temp directory, removed with its contents when
// the object goes away.
class TempDir {
 public:
  TempDir() : path_((std::filesystem::temp_directory_path() / "orvtest-XXXXXX").string()) {
    if (::mkdtemp(path_.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline std::string readFile(const std::string& path) {
  std::ostringstream out;
  out << std::ifstream(path, std::ios::binary).rdbuf();
  return out.str();
}

inline void writeFile(const std::string& path, const std::string& contents) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << contents;
}

// Parses JSON that the test itself wrote; fails the test on a parse error.
inline OrvValue json(const std::string& text) {
  auto parsed = OrvValue::parseJson(text);
  EXPECT_TRUE(parsed.ok()) << parsed.error << " in " << text;
  return parsed.value;
}

// The worked example payload: four features, two experiment entries, misfits.
inline const std::string kWorkedExamplePayload =
    readFile(std::string(ORV_TEST_SOURCE_DIR) + "/tests/worked_example.json");

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

// Runs `job` on the main queue, or on the work queue as a plain job (not an ordinary
// block: it must not look like a reload to the exposure tracker).
inline void submitTo(bool mainQueue, std::function<void()> job) {
  if (mainQueue) return OrvMainQueue::async(std::move(job));
  OrvExperimentQueue::sharedInstance().serialQueue().submit(std::move(job));
}

// Returns once the queue has run everything submitted so far; false on timeout. The
// work queue is also left idle, so what the test does next starts from a settled queue.
inline bool drain(bool mainQueue) {
  auto done = std::make_shared<std::promise<void>>();
  submitTo(mainQueue, [done] { done->set_value(); });
  const auto deadline = std::chrono::steady_clock::now() + kWait;
  if (done->get_future().wait_until(deadline) != std::future_status::ready) return false;
  while (!mainQueue && !OrvExperimentQueue::sharedInstance().isIdle()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}
inline bool drainWorkQueue() { return drain(false); }
inline bool drainMainQueue() { return drain(true); }

// Holds a queue (the work queue by default) with a job that waits until the gate goes
// away, so a test can line work up behind it.
class QueueGate {
 public:
  explicit QueueGate(bool mainQueue = false) {
    auto entered = std::make_shared<Signal>();
    submitTo(mainQueue, [entered, released = released_] {
      entered->notify();
      released->waitFor(1);
    });
    EXPECT_TRUE(entered->waitFor(1));
  }
  ~QueueGate() { released_->notify(); }

 private:
  std::shared_ptr<Signal> released_ = std::make_shared<Signal>();
};

// Captures console lines and switches the library's log on for its lifetime.
class LogCapture {
 public:
  LogCapture() {
    OrvPlatform::setConsoleSink([this](std::string_view line) {
      std::lock_guard lock(mutex_);
      lines_.emplace_back(line);
    });
    OrvExpLog::setEnableLog(true);
  }
  ~LogCapture() {
    OrvExpLog::setEnableLog(false);
    OrvPlatform::setConsoleSink(nullptr);
  }
  std::vector<std::string> lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  int countContaining(const std::string& text) const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(std::count_if(lines_.begin(), lines_.end(), [&](const auto& line) {
      return line.find(text) != std::string::npos;
    }));
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

// Runs a shell command line with a time limit and returns its exit status (-1 when it
// did not exit normally); its standard output goes to `output` when given.
inline int runCommand(const std::string& commandLine, int timeoutSeconds = 60,
                      std::string* output = nullptr) {
  const std::string timed = "timeout -s KILL " + std::to_string(timeoutSeconds) + " " + commandLine;
  FILE* pipe = ::popen(timed.c_str(), "r");
  if (!pipe) return -1;
  char buffer[1024];
  while (std::fgets(buffer, sizeof buffer, pipe))
    if (output) output->append(buffer);
  const int status = ::pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A helper program running with its standard output piped to us, for tests that wait
// for its lines and end it at a moment of their choosing.
class ChildProcess {
 public:
  explicit ChildProcess(const std::vector<std::string>& argv) {
    int fds[2];
    if (::pipe(fds) != 0) return;
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(fds[1], 1);
      ::close(fds[0]);
      ::close(fds[1]);
      ::execv(args[0], args.data());
      ::_exit(127);
    }
    ::close(fds[1]);
    out_ = ::fdopen(fds[0], "r");
  }
  ~ChildProcess() {
    killNow();
    if (out_) std::fclose(out_);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  // The next line of its output (without the newline); false at end of output.
  bool readLine(std::string* line) {
    char buffer[512];
    if (!out_ || !std::fgets(buffer, sizeof buffer, out_)) return false;
    *line = buffer;
    if (!line->empty() && line->back() == '\n') line->pop_back();
    return true;
  }
  void killNow() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  int pid() const { return pid_; }
  // How a process ended, for messages that tell a crash from an error exit from a
  // process that was merely slow.
  struct Ending {
    bool ended = false;  // false: still running at the deadline (it was then killed)
    int code = 0;        // its exit code, when it exited
    int signal = 0;      // the signal that ended it, or 0
    std::chrono::milliseconds waited{0};  // from the call until it ended
    std::string describe() const {
      const std::string after = " after " + std::to_string(waited.count()) + " ms";
      if (!ended) return "still running" + after + " (killed)";
      if (signal)
        return "crashed: signal " + std::to_string(signal) + " (" + ::strsignal(signal) + ")" +
               after;
      return "exited with code " + std::to_string(code) + after;
    }
  };
  // Waits up to `timeout` for it to end.
  Ending waitEnding(std::chrono::milliseconds timeout) {
    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + timeout;
    Ending ending;
    int status = 0;
    while (pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() >= deadline) {
        killNow();
        ending.waited = timeout;
        return ending;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    pid_ = -1;
    ending.ended = true;
    ending.waited = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    if (WIFSIGNALED(status)) ending.signal = WTERMSIG(status);
    if (WIFEXITED(status)) ending.code = WEXITSTATUS(status);
    return ending;
  }
  // Its exit code, 128 + signal when a signal ended it, or -1 when it was still running
  // after `timeout` (it is then killed).
  int waitExit(std::chrono::milliseconds timeout) {
    const Ending e = waitEnding(timeout);
    return !e.ended ? -1 : e.signal ? 128 + e.signal : e.code;
  }

 private:
  int pid_ = -1;
  FILE* out_ = nullptr;
};

// Files may not grow past `bytes` while it lives (EFBIG, as on a full disk).
class DiskLimit {
 public:
  explicit DiskLimit(rlim_t bytes) : handler_(std::signal(SIGXFSZ, SIG_IGN)) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    const rlimit limit{bytes, saved_.rlim_max};
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~DiskLimit() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, handler_);
  }

 private:
  void (*handler_)(int);
  rlimit saved_{};
};

// The eventId attribute of every log record of an OTLP/JSON logs request, in order.
inline std::vector<std::string> otlpEventIds(const std::string& body) {
  std::vector<std::string> ids;
  const OrvValue request = OrvValue::parseJson(body).value;
  for (const auto& resource : request["resourceLogs"].elements())
    for (const auto& scope : resource["scopeLogs"].elements())
      for (const auto& record : scope["logRecords"].elements())
        for (const auto& attribute : record["attributes"].elements())
          if (attribute["key"].stringValue() == "eventId")
            ids.push_back(attribute["value"]["stringValue"].stringValue());
  return ids;
}

// The text of tests/fixtures/NAME.
inline std::string fixture(const std::string& name) {
  return readFile(std::string(ORV_TEST_SOURCE_DIR) + "/tests/fixtures/" + name);
}

// Path of a helper program built next to the tests.
inline std::string helperPath(const std::string& name) {
  return std::string(ORV_TEST_BINARY_DIR) + "/tests/" + name;
}

}  // namespace orvtest
