#include "TestSupport.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include "OrvExpLog.h"
#include "OrvExperiment/OrvPlatform.h"
#include "OrvExperimentQueue.h"
#include "platform/OrvMainQueue.h"

namespace orvtest {

namespace fs = std::filesystem;

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "orvtest-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
  for (auto it = fs::recursive_directory_iterator(path_, ignored);
       it != fs::recursive_directory_iterator(); it.increment(ignored))
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
  fs::remove_all(path_, ignored);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void writeFile(const std::string& path, const std::string& contents) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << contents;
}

OrvValue json(const std::string& text) {
  auto parsed = OrvValue::parseJson(text);
  EXPECT_TRUE(parsed.ok()) << parsed.error << " in " << text;
  return parsed.value;
}

const char* const kWorkedExamplePayload = R"({
  "color": "red", "limit": 20, "banner": {"title": "hi"}, "flag": true,
  "experiment_detail": [
    {"#experiment_id": "101", "#experiment_group_id": "2", "#is_control_group": false,
     "bucket_id": 7, "#feature_list": ["color", "limit", "gone"]},
    {"#experiment_id": "205", "#experiment_group_id": "1", "#is_control_group": true,
     "bucket_id": 3, "#feature_list": ["limit", 5]},
    "a string"
  ]})";

namespace {
void submitTo(bool mainQueue, std::function<void()> job) {
  if (mainQueue) {
    OrvMainQueue::async(std::move(job));
  } else {
    // A plain job, not an ordinary block: it must not look like a reload to the
    // exposure tracker.
    OrvExperimentQueue::sharedInstance().serialQueue().submit(std::move(job));
  }
}

bool drain(bool mainQueue) {
  auto done = std::make_shared<std::promise<void>>();
  submitTo(mainQueue, [done] { done->set_value(); });
  return done->get_future().wait_for(kWait) == std::future_status::ready;
}
}  // namespace

bool drainWorkQueue() {
  if (!drain(false)) return false;
  // The drain job has signalled but may not have finished; wait until the queue is
  // idle, so that what the test does next starts from a settled queue.
  auto& queue = OrvExperimentQueue::sharedInstance();
  const auto deadline = std::chrono::steady_clock::now() + kWait;
  while (!queue.isIdle()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

bool drainMainQueue() { return drain(true); }

QueueGate::QueueGate(bool mainQueue) {
  auto entered = std::make_shared<Signal>();
  submitTo(mainQueue, [entered, released = released_] {
    entered->notify();
    released->waitFor(1);
  });
  EXPECT_TRUE(entered->waitFor(1));
}

LogCapture::LogCapture() {
  OrvPlatform::setConsoleSink([this](std::string_view line) {
    std::lock_guard lock(mutex_);
    lines_.emplace_back(line);
  });
  OrvExpLog::setEnableLog(true);
}

LogCapture::~LogCapture() {
  OrvExpLog::setEnableLog(false);
  OrvPlatform::setConsoleSink(nullptr);
}

std::vector<std::string> LogCapture::lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

int LogCapture::count(const std::string& line) const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(std::count(lines_.begin(), lines_.end(), line));
}

int LogCapture::countContaining(const std::string& text) const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(std::count_if(lines_.begin(), lines_.end(), [&](const std::string& l) {
    return l.find(text) != std::string::npos;
  }));
}

std::size_t residentBytes() {
  long pages = 0, resident = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return static_cast<std::size_t>(resident) * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

int runCommand(const std::string& commandLine, int timeoutSeconds) {
  const int status = std::system(
      ("timeout -s KILL " + std::to_string(timeoutSeconds) + " " + commandLine).c_str());
  return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int runAndCapture(const std::string& commandLine, std::string* output) {
  FILE* pipe = ::popen(("timeout -s KILL 60 " + commandLine).c_str(), "r");
  if (!pipe) return -1;
  char buffer[1024];
  while (std::fgets(buffer, sizeof buffer, pipe)) output->append(buffer);
  const int status = ::pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string helperPath(const std::string& name) {
  return std::string(ORV_TEST_BINARY_DIR) + "/tests/" + name;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv) {
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

bool ChildProcess::readLine(std::string* line) {
  char buffer[512];
  if (!out_ || !std::fgets(buffer, sizeof buffer, out_)) return false;
  *line = buffer;
  if (!line->empty() && line->back() == '\n') line->pop_back();
  return true;
}

void ChildProcess::killNow() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  if (out_) std::fclose(out_);
  out_ = nullptr;
}

ReadOnlyPath::ReadOnlyPath(std::string path) : path_(std::move(path)) {
  ok_ = ::geteuid() == 0 ? runCommand("chattr +i '" + path_ + "' 2>/dev/null") == 0
                         : ::chmod(path_.c_str(), 0500) == 0;
}

ReadOnlyPath::~ReadOnlyPath() {
  if (::geteuid() != 0) {
    ::chmod(path_.c_str(), 0700);
  } else if (ok_) {
    runCommand("chattr -i '" + path_ + "' 2>/dev/null");
  }
}

}  // namespace orvtest
