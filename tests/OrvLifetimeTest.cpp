// Process lifetime: programs that end right after using the library, with work in
// flight of every kind; flush(); jobs that throw; sources that would block.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <future>
#include <mutex>
#include <thread>

#include "../external/remote_config/OrvRCCache.h"
#include "../external/remote_config/OrvRCTransport.h"
#include "OrvExperiment/OrvExperiment.h"
#include "OrvExperimentQueue.h"
#include "OrvRemoteConfig.h"
#include "ScriptedServer.h"
#include "StoppableOwner.h"
#include "TestSupport.h"
#include "platform/execution/OrvProcessLifetime.h"

using namespace orvtest;

namespace {

// How soon a process must be gone after it printed "exiting", beyond the exit's own
// grace period for library threads: at least this, and more on a machine slower or
// busier than the helper's idle exit shows (exitBound). Sanitizer runtimes do their own
// work at exit (leak checks, reports), so they get more room. How prompt an exit is on
// a quiet machine is measured by BM_ExitWhileBusy, not here.
constexpr auto kExitBound = kSanitized ? 5000ms : 1000ms;
constexpr int kIdleExitMultiple = 20;

#if defined(__SANITIZE_THREAD__)
// A thread still at work when the exit's grace period ends is left behind by design;
// ThreadSanitizer reports it as a leak (exit code 66), which on a slow machine is a
// stalled fetch still unwinding after its transfer was cut short. The helpers run
// without that one report: races are still reported and still fail their exit code.
// Set before main(), while this process has one thread.
const bool helpersLeaveThreadsBehindQuietly = [] {
  const char* options = std::getenv("TSAN_OPTIONS");
  const std::string joined =
      (options && *options ? std::string(options) + ":" : std::string()) + "report_thread_leaks=0";
  return ::setenv("TSAN_OPTIONS", joined.c_str(), 1) == 0;
}();
#endif

// Runs per scenario: short in CI, ORV_EXIT_RUNS for the long local loop.
int runs() {
  const char* n = std::getenv("ORV_EXIT_RUNS");
  return n ? std::atoi(n) : 3;
}

// Keeps both cores busy while it lives, so that exit races get every chance to show.
struct BusyLoops {
  std::atomic<bool> stop{false};
  std::thread threads[2] = {std::thread([this] { spin(); }), std::thread([this] { spin(); })};
  void spin() {
    while (!stop.load(std::memory_order_relaxed)) {
    }
  }
  ~BusyLoops() {
    stop = true;
    for (auto& t : threads) t.join();
  }
};

// A stall_server.py instance and the port it listens on.
class StallServer {
 public:
  StallServer(const TempDir& dir, const std::string& mode) : marker_(dir.file("marker")) {
    std::string command = "exec python3 " + std::string(ORV_TEST_SOURCE_DIR) +
                          "/tests/stall_server.py " + mode + " " + marker_;
    if (mode == "tls-handshake") {
      const std::string key = dir.file("key.pem"), cert = dir.file("cert.pem");
      EXPECT_EQ(runCommand("openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 -days 1 "
                           "-keyout " +
                           key + " -out " + cert + " >/dev/null 2>&1"),
                0);
      command += " " + cert + " " + key;
    }
    process_ = std::make_unique<ChildProcess>(std::vector<std::string>{"/bin/sh", "-c", command});
    EXPECT_TRUE(process_->readLine(&port_));  // its first line
  }
  std::string url(const std::string& scheme) const { return scheme + "://127.0.0.1:" + port_; }
  // Created by the server each time a connection reaches its stall; removed here so
  // that the next client waits for its own connection.
  const std::string& freshMarker() const {
    ::unlink(marker_.c_str());
    return marker_;
  }

 private:
  std::string marker_;
  std::string port_;
  std::unique_ptr<ChildProcess> process_;
};

// How long the exit helper takes to end after "exiting" with the library started and
// nothing in flight: this machine's pace at this moment, busy loops and all.
std::chrono::milliseconds idleExit(const std::string& dataDir) {
  ChildProcess child({helperPath("orv_test_helper"), "idle", dataDir});
  std::string line;
  EXPECT_TRUE(child.readLine(&line) && line == "exiting") << "idle: ended before it got to exit";
  const ChildProcess::Ending ending = child.waitEnding(kWait);
  EXPECT_TRUE(ending.ended && !ending.signal && ending.code == 0) << "idle: " << ending.describe();
  return ending.waited;
}

// The bound on a busy exit: the grace period library threads get, plus kExitBound or,
// on a slow machine, a multiple of its idle exit.
std::chrono::milliseconds exitBound(std::chrono::milliseconds idle) {
  return OrvProcessLifetime::kExitGracePeriod +
         std::max<std::chrono::milliseconds>(kExitBound, kIdleExitMultiple * idle);
}

// Runs the exit helper once; checks that it reached its exit and was gone within
// `bound`, and says which way it failed: a crash, an error exit, or slowness (with the
// idle exit the bound came from). A process is waited for well past the bound, so that
// a slow exit is told from one that hangs.
void expectCleanPromptExit(const std::vector<std::string>& args, std::chrono::milliseconds bound,
                           std::chrono::milliseconds idle = {}) {
  std::vector<std::string> argv{helperPath("orv_test_helper")};
  argv.insert(argv.end(), args.begin(), args.end());
  ChildProcess child(argv);
  std::string line;
  ASSERT_TRUE(child.readLine(&line)) << args[0] << ": ended before it got to exit";
  ASSERT_EQ(line, "exiting");
  const ChildProcess::Ending ending = child.waitEnding(bound + kWait);
  ASSERT_TRUE(ending.ended && !ending.signal && ending.code == 0)
      << args[0] << ": " << ending.describe();
  EXPECT_LE(ending.waited, bound) << args[0] << ": too slow: ended " << ending.waited.count()
                                  << " ms after \"exiting\", bound " << bound.count()
                                  << " ms (idle exit " << idle.count() << " ms just before)";
}

}  // namespace

TEST(ProcessExit, EndsCleanlyAndPromptlyWhateverLibraryWorkIsInFlight) {
  TempDir dir;
  writeFile(dir.file("payload.json"), kWorkedExamplePayload);
  const std::string fileUrl = "file://" + dir.file("payload.json");
  StallServer tls(dir, "tls-handshake");
  TempDir httpDir;
  StallServer http(httpDir, "http-body");
  BusyLoops busy;
  for (int i = 0; i < runs(); ++i) {
    TempDir data;  // a fresh store each time: every read makes a first exposure
    TempDir idleData;
    const auto idle = idleExit(idleData.path());
    const auto bound = exitBound(idle);
    // An exposure being hashed, recorded and handed over while main returns.
    expectCleanPromptExit({"read", data.path(), fileUrl}, bound, idle);
    // exit() from another thread while this one keeps reading and queuing.
    expectCleanPromptExit({"exit-from-thread", data.path(), fileUrl}, bound, idle);
    // A fetch stalled in the TLS handshake, and one stalled in the body.
    expectCleanPromptExit({"stalled", data.path(), tls.url("https"), tls.freshMarker()}, bound,
                          idle);
    expectCleanPromptExit({"stalled", data.path(), http.url("http"), http.freshMarker()}, bound,
                          idle);
    if (HasFailure()) break;
  }
}

// Every library thread at work while main returns: the work queue recording thousands
// of exposures and calling a sink, the OTLP exporter with requests in flight, refreshes
// every few milliseconds, reloads parsing a large payload. What they touch (simdjson's
// singletons, libcurl, SQLite, OpenSSL, streams) must outlive them: this once aborted
// with "pure virtual method called" in half the runs.
TEST(ProcessExit, NoLibraryThreadOutlivesWhatItUsesWhateverPathIsBusy) {
  ScriptedServer collector("/v1/logs");
  collector.answer([](const httplib::Request&, httplib::Response& res) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));  // a collector under load
    res.set_content("{}", "application/json");
  });
  // A sanitizer build runs ten times slower: smaller jobs keep each exit's work in flight
  // of the same kind (a transaction recording exposures, a reload parsing a payload)
  // without making the run long.
  const auto size = [](int n) { return std::to_string(kSanitized ? n / 5 : n); };
  BusyLoops busy;
  for (int i = 0; i < runs(); ++i) {
    TempDir idleData;
    const auto idle = idleExit(idleData.path());
    for (const std::vector<std::string>& args : {std::vector<std::string>{"deliver", size(5000)},
                                                 {"export", size(2000), collector.url()},
                                                 {"refresh", size(2000)},
                                                 {"reload", size(20000)}}) {
      TempDir data;
      std::vector<std::string> argv{args[0], data.path()};
      argv.insert(argv.end(), args.begin() + 1, args.end());
      expectCleanPromptExit(argv, exitBound(idle), idle);
    }
    if (HasFailure()) break;
  }
}

TEST(ProcessExit, QueuedRunningAndStuckJobsNeverHangOrCrashTheExit) {
  EXPECT_EQ(runCommand(helperPath("orv_test_helper") + " exit-inside-block"), 3);
  // A job that never finishes is left behind after the grace period.
  TempDir data;
  const auto idle = idleExit(data.path());
  expectCleanPromptExit({"stuck-block"}, exitBound(idle) + 1000ms, idle);
}

// At exit a stoppable thread that returns when asked is joined (its last line is out
// before exit flushes stdout), one that never returns is left behind after the grace
// period, and one made once exit is under way never starts; neither does an exporter.
TEST(ProcessExit, AStoppableThreadIsJoinedOrLeftBehindAndNoneStartsOnceExitBegan) {
  for (int i = 0; i < std::min(runs(), 3); ++i) {
    ChildProcess child({helperPath("orv_test_helper"), "stoppable"});
    std::string line;
    ASSERT_TRUE(child.readLine(&line));
    ASSERT_EQ(line, "exiting");
    const ChildProcess::Ending ending = child.waitEnding(kWait);
    ASSERT_TRUE(ending.ended && !ending.signal && ending.code == 0) << ending.describe();
    std::vector<std::string> rest;
    while (child.readLine(&line)) rest.push_back(line);
    std::sort(rest.begin(), rest.end());
    EXPECT_EQ(rest, (std::vector<std::string>{"exporter made during exit: delivered 1", "joined",
                                              "made during exit: started 0, stop asked 1"}));
  }
}

TEST(StoppableThread, StopWakesAndJoinsOrLeavesBehindAndNeverWaitsForItself) {
  const auto far = [] { return std::chrono::steady_clock::now() + kWait; };
  {
    // Asked to stop while it waits: woken and joined; it runs once whatever starts it.
    StoppableOwner owner;
    std::atomic<int> runs{0};
    const auto body = [&] {
      ++runs;
      owner.waitForStop();
    };
    ASSERT_TRUE(owner.thread.start(body));
    EXPECT_TRUE(owner.thread.start(body));
    EXPECT_FALSE(owner.thread.stopRequested());
    EXPECT_TRUE(owner.thread.stop(far()));
    EXPECT_TRUE(owner.thread.stopRequested());
    EXPECT_TRUE(owner.thread.start(body));
    EXPECT_EQ(runs.load(), 1);
  }
  {
    // Stopped before it started: it never starts.
    StoppableOwner owner;
    EXPECT_TRUE(owner.thread.stop(far()));
    EXPECT_FALSE(owner.thread.start([] { ADD_FAILURE() << "started after its stop"; }));
  }
  {
    // A body that does not return by the deadline is left behind and runs on; a later
    // stop waits for it.
    StoppableOwner owner;
    std::promise<void> gate;
    std::atomic<bool> stopSeen{false};
    owner.thread.start([&, open = gate.get_future().share()] {
      open.wait();
      stopSeen = owner.thread.stopRequested();
    });
    EXPECT_FALSE(owner.thread.stop(std::chrono::steady_clock::now() + 20ms));
    gate.set_value();
    EXPECT_TRUE(owner.thread.stop(far()));
    EXPECT_TRUE(stopSeen.load());
  }
  // The owner's last reference held by the body, left behind or not: the owner goes on
  // the thread itself, whose stop must not wait for itself.
  for (const bool leftBehind : {false, true}) {
    SCOPED_TRACE(leftBehind ? "left behind" : "never stopped");
    std::promise<void> gone, gate;
    auto owner = std::make_shared<StoppableOwner>(&gone);
    owner->thread.start([owner, open = gate.get_future().share()] { open.wait(); });
    if (leftBehind) {
      EXPECT_FALSE(owner->thread.stop(std::chrono::steady_clock::now() + 20ms));
    }
    owner.reset();
    gate.set_value();
    EXPECT_EQ(gone.get_future().wait_for(kWait), std::future_status::ready);
  }
}

TEST(Flush, ExposuresReadBeforeFlushReachTheSinkBeforeTheProgramReturns) {
  TempDir dir;
  writeFile(dir.file("payload.json"), kWorkedExamplePayload);
  for (int i = 0; i < runs(); ++i) {
    TempDir data;
    ChildProcess child({helperPath("orv_test_helper"), "flush", data.path(),
                        "file://" + dir.file("payload.json"), data.file("events.jsonl")});
    std::string line;
    ASSERT_TRUE(child.readLine(&line));
    EXPECT_EQ(line, "flushed");
    ASSERT_EQ(child.waitExit(kWait), 0);
    // Two experiments read, two events: nothing was left in the queue at exit.
    const std::string events = readFile(data.file("events.jsonl"));
    ASSERT_EQ(std::count(events.begin(), events.end(), '\n'), 2) << events;
  }
}

TEST(Flush, TimesOutBehindABlockedQueueAndRefusesToWaitForItself) {
  {
    QueueGate gate;
    EXPECT_FALSE(OrvExperiment::flush(50ms));
  }
  EXPECT_TRUE(OrvExperiment::flush(kWait));
  // From inside queue work (where sinks run) it cannot wait for the queue: false, at once.
  std::promise<bool> inside;
  OrvExperimentQueue::sharedInstance().execute(
      [&] { inside.set_value(OrvExperiment::flush(kWait)); });
  auto answer = inside.get_future();
  ASSERT_EQ(answer.wait_for(kWait), std::future_status::ready);
  EXPECT_FALSE(answer.get());
}

TEST(ThrowingJobs, APayloadTooCostlyToLoadFailsThatOutcomeAndLaterFetchesStillRun) {
  if (kSanitized) GTEST_SKIP() << "sanitizer runtimes do not run under an address-space limit";
  // About 20 MB of JSON that would take far more than 1 GiB as values: refused by its
  // memory budget before it is built, so the address-space limit is never reached.
  std::string huge = R"({"color":"huge","zeros":[0)";
  huge.reserve(20u << 20);
  while (huge.size() < (20u << 20)) huge += ",0";
  huge += "]}";
  const std::string small = R"({"color":"red"})";
  // Rows: no cache and the start-up fetch runs out of memory; a cached payload too big
  // to load, after which start-up goes on to a fetch that succeeds.
  for (const bool hugeCache : {false, true}) {
    TempDir data;
    if (hugeCache) {
      ASSERT_EQ(::mkdir(data.file("remote_config").c_str(), 0700), 0);
      writeFile(
          OrvRCCache::path(data.path(), "exit-app", "ki_feature"),
          R"({"app_id":"exit-app","template_code":"ki_feature","etag":"","payload":)" + huge + "}");
    }
    writeFile(data.file("payload.json"), hugeCache ? small : huge);
    std::string out;
    EXPECT_EQ(runCommand(helperPath("orv_test_helper") + " oom " + data.path() + " " +
                             data.file("payload.json") + " '" + small + "'",
                         120, &out),
              0);
    const std::string start =
        hugeCache ? "0" : std::to_string(OrvRemoteConfig::kErrorPayloadTooCostly);
    EXPECT_EQ(out, "start " + start + "\nfetch 0\ncolor red\nexiting\n");
  }
}

TEST(BlockingSources, AFifoOrDirectoryAsSourceOrCacheIsRefusedAtOnce) {
  TempDir dir;
  ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
  ASSERT_EQ(::mkdir(dir.file("directory").c_str(), 0700), 0);
  ASSERT_EQ(::symlink(dir.file("fifo").c_str(), dir.file("link").c_str()), 0);
  for (const char* name : {"fifo", "directory", "link"}) {
    SCOPED_TRACE(name);
    OrvRCRequest request;
    request.serverUrl = "file://" + dir.file(name);
    request.maxBodyBytes = 1 << 20;
    const OrvRCRawResponse response = OrvRCTransport::fetch(request);  // must not block
    EXPECT_EQ(response.transportError, OrvRemoteConfig::kErrorFile);
  }
  // A FIFO where the cache belongs reads as no cache, with a reason.
  ASSERT_EQ(::mkdir(dir.file("remote_config").c_str(), 0700), 0);
  ASSERT_EQ(::mkfifo(OrvRCCache::path(dir.path(), "app", "ki_feature").c_str(), 0600), 0);
  std::string problem;
  EXPECT_TRUE(OrvRCCache::load(dir.path(), "app", "ki_feature", &problem).payload.isAbsent());
  EXPECT_NE(problem.find("not a regular file"), std::string::npos) << problem;
}
