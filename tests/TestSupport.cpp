#include "TestSupport.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
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
  std::ostringstream out;
  out << std::ifstream(path, std::ios::binary).rdbuf();
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
// A plain job on the work queue, not an ordinary block: it must not look like a reload
// to the exposure tracker.
void submitTo(bool mainQueue, std::function<void()> job) {
  if (mainQueue) return OrvMainQueue::async(std::move(job));
  OrvExperimentQueue::sharedInstance().serialQueue().submit(std::move(job));
}

bool drain(bool mainQueue) {
  auto done = std::make_shared<std::promise<void>>();
  submitTo(mainQueue, [done] { done->set_value(); });
  return done->get_future().wait_for(kWait) == std::future_status::ready;
}
}  // namespace

bool drainWorkQueue() {
  // The drain job has signalled but may not have finished; wait until the queue is
  // idle, so that what the test does next starts from a settled queue.
  const auto deadline = std::chrono::steady_clock::now() + kWait;
  if (!drain(false)) return false;
  while (!OrvExperimentQueue::sharedInstance().isIdle()) {
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

int LogCapture::countContaining(const std::string& text) const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(std::count_if(lines_.begin(), lines_.end(), [&](const std::string& l) {
    return l.find(text) != std::string::npos;
  }));
}

std::size_t residentBytes() {
  long pages = 0, resident = 0;
  std::ifstream("/proc/self/statm") >> pages >> resident;
  return static_cast<std::size_t>(resident) * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

int runCommand(const std::string& commandLine, int timeoutSeconds, std::string* output) {
  const std::string timed = "timeout -s KILL " + std::to_string(timeoutSeconds) + " " + commandLine;
  FILE* pipe = ::popen(timed.c_str(), "r");
  if (!pipe) return -1;
  char buffer[1024];
  while (std::fgets(buffer, sizeof buffer, pipe))
    if (output) output->append(buffer);
  const int status = ::pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string helperPath(const std::string& name) {
  return std::string(ORV_TEST_BINARY_DIR) + "/tests/" + name;
}

}  // namespace orvtest
