#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace orvtest {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "orvtest-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  // Tests may leave read-only directories behind; make them writable again first.
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ignored);
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
  }
  std::filesystem::remove_all(path_, ignored);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void writeFile(const std::string& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
}

OrvValue json(const std::string& text) {
  auto parsed = OrvValue::parseJson(text);
  EXPECT_TRUE(parsed.ok()) << parsed.error << " in " << text;
  return parsed.value;
}

}  // namespace orvtest

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <future>
#include <thread>

#include "OrvExpLog.h"
#include "OrvExperiment/OrvPlatform.h"
#include "OrvExperimentQueue.h"
#include "platform/OrvMainQueue.h"

namespace orvtest {

namespace {
bool drain(const std::function<void(std::function<void()>)>& submit) {
  auto done = std::make_shared<std::promise<void>>();
  auto future = done->get_future();
  submit([done] { done->set_value(); });
  return future.wait_for(kWait) == std::future_status::ready;
}
}  // namespace

bool drainWorkQueue() {
  // Submitted as a plain job, not an ordinary block: draining must not look like a
  // reload to the exposure tracker.
  auto& queue = OrvExperimentQueue::sharedInstance().serialQueue();
  if (!drain([&queue](std::function<void()> job) { queue.submit(std::move(job)); })) return false;
  // The drain job has signalled but may not have finished; wait until the queue is
  // idle, so that what the test does next starts from a settled queue.
  const auto deadline = std::chrono::steady_clock::now() + kWait;
  while (!queue.isIdle()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

bool drainMainQueue() {
  return drain([](std::function<void()> job) { OrvMainQueue::async(std::move(job)); });
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
  int n = 0;
  for (const auto& l : lines_) n += l == line ? 1 : 0;
  return n;
}

void LogCapture::clear() {
  std::lock_guard lock(mutex_);
  lines_.clear();
}

int runCommand(const std::string& commandLine, int timeoutSeconds) {
  const std::string wrapped =
      "timeout -s KILL " + std::to_string(timeoutSeconds) + " " + commandLine;
  const int status = std::system(wrapped.c_str());
  if (status == -1 || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

int runAndCapture(const std::string& commandLine, std::string* output) {
  FILE* pipe = ::popen(commandLine.c_str(), "r");
  if (!pipe) return -1;
  char buffer[1024];
  while (std::fgets(buffer, sizeof buffer, pipe)) output->append(buffer);
  const int status = ::pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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

ChildProcess::ChildProcess(const std::vector<std::string>& argv) {
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return;
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(pipeFds[1], 1);
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  ::close(pipeFds[1]);
  out_ = ::fdopen(pipeFds[0], "r");
}

ChildProcess::~ChildProcess() {
  killNow();
  if (out_) std::fclose(out_);
}

bool ChildProcess::readLine(std::string* line) {
  char buffer[512];
  if (!out_ || !std::fgets(buffer, sizeof buffer, out_)) return false;
  *line = buffer;
  if (!line->empty() && line->back() == '\n') line->pop_back();
  return true;
}

int ChildProcess::waitExit(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  while (pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      killNow();
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  pid_ = -1;
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

void ChildProcess::killNow() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
}

ReadOnlyPath::ReadOnlyPath(std::string path) : path_(std::move(path)) {
  if (::geteuid() == 0) {
    ok_ = runCommand("chattr +i '" + path_ + "' 2>/dev/null") == 0;
  } else {
    ok_ = ::chmod(path_.c_str(), 0500) == 0;
  }
}

ReadOnlyPath::~ReadOnlyPath() {
  if (::geteuid() == 0) {
    if (ok_) runCommand("chattr -i '" + path_ + "' 2>/dev/null");
  } else {
    ::chmod(path_.c_str(), 0700);
  }
}

std::string helperPath(const std::string& name) {
  return std::string(ORV_TEST_BINARY_DIR) + "/tests/" + name;
}

}  // namespace orvtest
