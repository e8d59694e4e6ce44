// The benchmarks' shared helpers and main(). Run: cmake --preset bench &&
// cmake --build --preset bench && build/bench/bench/orv_benchmarks
#include "BenchSupport.h"

#include <malloc.h>
#include <signal.h>
#include <simdjson.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <mutex>
#include <random>
#include <thread>
#include <unordered_map>
#include <vector>

#include "../tests/ManyExperiments.h"
#include "OrvExperiment/OrvExperiment.h"
#include "OrvExperiment/OrvPlatform.h"
#include "OrvExperimentQueue.h"
#include "OrvFeatureManager.h"
#include "OrvMediator.h"

namespace orv_bench {

// A payload of `features` features ("f0", "f1", ...) of mixed kinds, with one
// experiment entry per 10 features listing those 10.
std::string makePayload(int features) {
  std::string out = "{";
  for (int i = 0; i < features; ++i) {
    out += "\"f" + std::to_string(i) + "\":";
    switch (i % 4) {
      case 0:
        out += "\"value number " + std::to_string(i) + "\"";
        break;
      case 1:
        out += std::to_string(i * 3);
        break;
      case 2:
        out += (i % 8 == 2) ? "true" : "false";
        break;
      default:
        out +=
            "{\"title\":\"t" + std::to_string(i) + "\",\"weight\":" + std::to_string(i % 97) + "}";
    }
    out += ",";
  }
  out += "\"experiment_detail\":[";
  for (int e = 0; e * 10 < features; ++e) {
    if (e) out += ",";
    out += "{\"#experiment_id\":\"exp" + std::to_string(e) + "\",\"#experiment_group_id\":\"" +
           std::to_string(e % 3) + "\",\"#is_control_group\":" + (e % 2 ? "true" : "false") +
           ",\"bucket_id\":" + std::to_string(e % 100) + ",\"#feature_list\":[";
    for (int k = 0; k < 10 && e * 10 + k < features; ++k) {
      if (k) out += ",";
      out += "\"f" + std::to_string(e * 10 + k) + "\"";
    }
    out += "]}";
  }
  out += "]}";
  return out;
}

std::size_t residentBytes() {
  long pages = 0, resident = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return static_cast<std::size_t>(resident) * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

// Heap in use, mapped blocks included (large buffers are mapped, not in the arenas).
std::size_t heapBytes() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

// ORV_BENCH_SHORT=1 (CI) runs every benchmark once with small fixed counts: it proves
// each one finishes and still measures what it says, not how fast. Read at registration.
bool shortRun() {
  static const bool on = [] {
    const char* v = std::getenv("ORV_BENCH_SHORT");
    return v && *v && std::string(v) != "0";
  }();
  return on;
}
// A fixed iteration count, a tenth of it (at least one) in a short run.
benchmark::IterationCount iterations(benchmark::IterationCount n) {
  return shortRun() ? std::max<benchmark::IterationCount>(1, n / 10) : n;
}

// How long any single wait of a benchmark may take before it is reported as an error
// instead of hanging the run.

bool drainQueue() {
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  OrvExperimentQueue::sharedInstance().serialQueue().submit([&] {
    std::lock_guard lock(m);
    done = true;
    cv.notify_all();
  });
  std::unique_lock lock(m);
  return cv.wait_for(lock, std::chrono::seconds(30), [&] { return done; });
}

// Exposure events reach this sink; first-time exposure timing waits on it.
EventCounter events;

// Waits until the exposure sink has counted `target` events; false after kBenchWait.
bool waitForEvents(std::uint64_t target) {
  std::unique_lock lock(events.mutex);
  return events.cv.wait_for(lock, kBenchWait, [&] { return events.count >= target; });
}

std::string dataRoot;
std::string startedApp;
std::shared_ptr<OrvExperimentConfig> startedConfig;

// Starts the library on a payload file and waits for start-up's success.
bool startOn(const std::string& app, const std::string& payload) {
  const std::string file = dataRoot + "/" + app + ".json";
  std::ofstream(file) << payload;
  auto config = OrvExperimentConfig::create(app, "file://" + file);
  auto task = OrvExperimentTask::create();
  std::mutex m;
  std::condition_variable cv;
  bool ok = false, done = false;
  task->addOnSuccessListener([&] {
    std::lock_guard lock(m);
    ok = done = true;
    cv.notify_all();
  });
  task->addOnFailureListener([&](std::int64_t, const std::string&) {
    std::lock_guard lock(m);
    done = true;
    cv.notify_all();
  });
  config->setStartupTask(task);
  OrvExperiment::startWithConfig(config);
  std::unique_lock lock(m);
  cv.wait_for(lock, std::chrono::seconds(30), [&] { return done; });
  config->setStartupTask(nullptr);
  startedConfig = config;
  return ok;
}

const std::string& payloadText(int features) {
  static std::mutex m;
  static std::unordered_map<int, std::string> cache;
  std::lock_guard lock(m);
  auto& text = cache[features];
  if (text.empty()) text = makePayload(features);
  return text;
}

// The read benchmarks' payload: payloadText() with one more feature, "plain", that
// belongs to no experiment.
std::string readPayload(int features) {
  std::string text = payloadText(features);
  text.insert(1, "\"plain\":\"a plain value\",");
  return text;
}

// A payload of `features` features whose values are all short strings, half of them
// within std::string's inline buffer ("s12") and half beyond it ("value number 13"), and
// no experiment entries: where the per-string costs of parsing show most.
long statusBytes(const char* field) {
  std::ifstream in("/proc/self/status");
  const std::string prefix = std::string(field) + ":";
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(prefix, 0) == 0) return std::stol(line.substr(prefix.size())) * 1024;
  }
  return -1;
}

// Runs `command` (argv) with stdout read back; the wall time from spawn to exit in
// `processSeconds`. Empty output when it could not run or failed.
std::string runChild(const std::vector<std::string>& command, double& processSeconds) {
  int out[2];
  if (::pipe(out) != 0) return "";
  const auto started = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out[1], 1);
    ::close(out[0]);
    ::close(out[1]);
    std::vector<char*> argv;
    for (const auto& a : command) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(out[1]);
  std::string text;
  char buffer[256];
  for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;) text.append(buffer, n);
  ::close(out[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  processSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? text : "";
}

}  // namespace orv_bench

using namespace orv_bench;

int main(int argc, char** argv) {
  char pattern[] = "/tmp/orv-bench-XXXXXX";
  if (!::mkdtemp(pattern)) return 1;
  dataRoot = pattern;
  OrvPlatform::setDataDirectory(dataRoot + "/data");
  OrvMediator::sharedInstance()->addEventSink([](const OrvMediatorEvent&) {
    std::lock_guard lock(events.mutex);
    ++events.count;
    events.cv.notify_all();
  });
  const std::string payload = readPayload(kTableFeatures);
  startedApp = "bench-" + std::to_string(::getpid());
  if (!startOn(startedApp, payload)) {
    std::fprintf(stderr, "start-up failed\n");
    return 1;
  }
  // Record the exposure of the experiment key the read benchmarks use.
  OrvExperiment::getValueAsString("f4");
  drainQueue();

  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  stopExportBenchmarks();
  stopCollectorBenchmarks();
  std::error_code ignored;
  std::filesystem::remove_all(dataRoot, ignored);
  return 0;
}
