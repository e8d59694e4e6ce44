// A small program for exit tests: leaves work on the library's queues (or library work
// in flight) in various ways and then ends the process. Its exit status, and how soon
// it ends after printing "exiting", are what the tests check.
#include <sys/resource.h>
#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "../external/remote_config/OrvRCInternal.h"
#include "ManyExperiments.h"
#include "OrvExperiment/OrvExperiment.h"
#include "OrvExperiment/OrvPlatform.h"
#include "OrvExperimentQueue.h"
#include "OrvExperimentTaskNotify.h"
#include "OrvMediator.h"
#include "OrvOtlpExporter.h"
#include "StoppableOwner.h"
#include "platform/execution/OrvProcessLifetime.h"

namespace {

// Leaked, like the library's own state: a stuck block keeps using them past exit.
std::mutex& m = *new std::mutex;
std::condition_variable& cv = *new std::condition_variable;
std::int64_t outcome = 0;  // guarded by m: 1 none yet, 0 success, or a failure code
bool heard = false;        // guarded by m

void fillQueues() {
  auto task = OrvExperimentTask::create();
  task->addOnSuccessListener([] {});
  for (int i = 0; i < 1000; ++i) {
    OrvExperimentQueue::sharedInstance().execute([] { std::this_thread::yield(); });
    OrvNotifyTaskSuccess(task);
  }
}

void setOutcome(std::int64_t value) {
  std::lock_guard lock(m);
  outcome = value;
  heard = true;
  cv.notify_all();
}

// The next outcome reported to setOutcome (0 for success), or 1 after 60 s.
std::int64_t waitOutcome() {
  std::unique_lock lock(m);
  const bool got = cv.wait_for(lock, std::chrono::seconds(60), [] { return heard; });
  heard = false;
  return got ? outcome : 1;
}

// A task whose outcomes go to setOutcome.
std::shared_ptr<OrvExperimentTask> listened(std::shared_ptr<OrvExperimentTask> task) {
  task->addOnSuccessListener([] { setOutcome(0); });
  task->addOnFailureListener([](std::int64_t code, const std::string&) { setOutcome(code); });
  return task;
}

// Starts application "exit-app" on `url` with `dir` as data directory; the start-up
// fetch's outcome (see waitOutcome).
std::int64_t start(const char* dir, const std::string& url) {
  OrvPlatform::setDataDirectory(dir);
  auto config = OrvExperimentConfig::create("exit-app", url);
  config->setStartupTask(listened(OrvExperimentTask::create()));
  OrvExperiment::startWithConfig(config);
  return waitOutcome();
}

bool startAndWait(const char* dir, const char* url) { return start(dir, url) != 1; }

bool waitForFile(const char* path) {
  struct stat st {};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (::stat(path, &st) != 0) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

bool writeText(const std::string& path, const std::string& text) {
  std::FILE* f = std::fopen(path.c_str(), "w");
  if (!f) return false;
  std::fputs(text.c_str(), f);
  return std::fclose(f) == 0;
}

// Writes a payload of `count` experiments to DIR/payload.json and starts on it.
bool startOnExperiments(const char* dir, int count) {
  const std::string payload = std::string(dir) + "/payload.json";
  return writeText(payload, manyExperiments(count)) && start(dir, "file://" + payload) != 1;
}

void sayExiting() {
  std::puts("exiting");
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  const char* mode = argc > 1 ? argv[1] : "";
  // read DIR URL: start, wait for the start-up outcome, read an experiment feature
  // (queuing its exposure: MD5, a store write, the hand-over) and return at once.
  if (std::strcmp(mode, "read") == 0 && argc == 4) {
    if (!startAndWait(argv[2], argv[3])) return 4;
    OrvExperiment::getValueAsString("color");
    sayExiting();
    return 0;
  }
  // stalled DIR URL MARKER: start against a server that stalls, wait until the server
  // has the connection (it creates MARKER), then return with the fetch in flight.
  if (std::strcmp(mode, "stalled") == 0 && argc == 5) {
    OrvPlatform::setDataDirectory(argv[2]);
    OrvExperiment::startWithAppId("exit-app", argv[3]);
    if (!waitForFile(argv[4])) return 4;
    OrvExperiment::getValueAsString("color");
    sayExiting();
    return 0;
  }
  // exit-from-thread DIR URL: another thread calls exit() while this one keeps reading
  // and queuing work.
  if (std::strcmp(mode, "exit-from-thread") == 0 && argc == 4) {
    if (!startAndWait(argv[2], argv[3])) return 4;
    std::thread([] {
      OrvExperiment::getValueAsString("limit");
      sayExiting();
      std::exit(0);
    }).detach();
    for (;;) {
      OrvExperiment::getValueAsString("color");
      OrvExperiment::exposure("limit");
      fillQueues();
    }
  }
  // flush DIR URL EVENTS: events go to a JSON-lines file; two first-time exposures,
  // then flush() and return at once.
  if (std::strcmp(mode, "flush") == 0 && argc == 5) {
    if (!startAndWait(argv[2], argv[3])) return 4;
    OrvMediator::sharedInstance()->addEventSink(OrvMediator::jsonLinesFileSink(argv[4]));
    OrvExperiment::getValueAsString("color");
    OrvExperiment::getValueAsString("limit");
    std::puts(OrvExperiment::flush(std::chrono::seconds(20)) ? "flushed" : "timed out");
    sayExiting();
    return 0;
  }
  // oom DIR PAYLOAD SMALL: with address space limited to 1 GiB, start on file://PAYLOAD
  // (and whatever cache DIR holds), then put SMALL into PAYLOAD and fetch again.
  if (std::strcmp(mode, "oom") == 0 && argc == 5) {
    const rlimit limit{1ul << 30, 1ul << 30};
    if (::setrlimit(RLIMIT_AS, &limit) != 0) return 5;
    std::printf("start %lld\n",
                static_cast<long long>(start(argv[2], std::string("file://") + argv[3])));
    writeText(argv[3], argv[4]);
    std::printf("fetch %lld\n",
                static_cast<long long>((listened(OrvExperiment::fetch()), waitOutcome())));
    std::printf("color %s\n", OrvExperiment::getValueAsString("color").c_str());
    sayExiting();
    return 0;
  }
  // ready-later DIR PAYLOAD: start-up on file://PAYLOAD while it is missing (no cache, a
  // failed fetch); once a whenReady() task made before start-up heard that, PAYLOAD is
  // written and fetch() called. Then what that task heard in all, isReady(), and what a
  // whenReady() task made afterwards hears.
  if (std::strcmp(mode, "ready-later") == 0 && argc == 4) {
    OrvPlatform::setDataDirectory(argv[2]);
    auto early = std::make_shared<std::string>();  // guarded by m
    const auto note = [early](const std::string& what) {
      std::lock_guard lock(m);
      *early += " " + what;
      cv.notify_all();
    };
    OrvExperiment::whenReady()
        ->addOnSuccessListener([note] { note("success"); })
        ->addOnFailureListener(
            [note](std::int64_t code, const std::string&) { note(std::to_string(code)); });
    OrvExperiment::startWithAppId("exit-app", std::string("file://") + argv[3]);
    {
      std::unique_lock lock(m);
      if (!cv.wait_for(lock, std::chrono::seconds(60), [&] { return !early->empty(); })) return 4;
    }
    writeText(argv[3], R"({"color":"red"})");
    // The fetch's outcome is delivered on the main queue after anything the new table's
    // arrival told readiness listeners.
    const std::int64_t fetched = (listened(OrvExperiment::fetch()), waitOutcome());
    {
      std::lock_guard lock(m);
      std::printf("fetch %lld early%s\n", static_cast<long long>(fetched), early->c_str());
    }
    const std::int64_t late = (listened(OrvExperiment::whenReady()), waitOutcome());
    std::printf("ready %d late %lld %s\n", OrvExperiment::isReady(), static_cast<long long>(late),
                OrvExperiment::getValueAsString("color").c_str());
    return 0;
  }
  // ready DIR URL: readiness in a fresh process: the detail reason before start-up,
  // then whenReady()'s outcome with isReady() and the value read in its listener.
  if (std::strcmp(mode, "ready") == 0 && argc == 4) {
    std::printf("before %d\n", static_cast<int>(OrvExperiment::getStringDetail("color").reason));
    OrvPlatform::setDataDirectory(argv[2]);
    auto ready = OrvExperiment::whenReady();
    auto color = std::make_shared<std::string>();
    ready->addOnSuccessListener([color] { *color = OrvExperiment::getValueAsString("color"); });
    listened(ready);
    OrvExperiment::startWithAppId("exit-app", argv[3]);
    const std::int64_t code = waitOutcome();
    std::printf("ready %lld %d %s\n", static_cast<long long>(code), OrvExperiment::isReady(),
                color->c_str());
    return 0;
  }
  // idle DIR: started on a small payload with a sink, everything delivered, then
  // return: nothing in flight, the baseline the tests scale their exit bounds by.
  if (std::strcmp(mode, "idle") == 0 && argc == 3) {
    OrvMediator::sharedInstance()->addEventSink([](const OrvMediatorEvent&) {});
    if (!startOnExperiments(argv[2], 10)) return 4;
    OrvExperiment::getValueAsString("k0");
    if (!OrvExperiment::flush(std::chrono::seconds(20))) return 5;
    sayExiting();
    return 0;
  }
  // deliver DIR N: an event sink, N first-time exposures read, and return at once: the
  // work queue records them and the sink is being called while main returns.
  if (std::strcmp(mode, "deliver") == 0 && argc == 4) {
    OrvMediator::sharedInstance()->addEventSink([](const OrvMediatorEvent&) {});
    if (!startOnExperiments(argv[2], std::atoi(argv[3]))) return 4;
    for (int i = 0, n = std::atoi(argv[3]); i < n; ++i)
      OrvExperiment::getValueAsString("k" + std::to_string(i));
    sayExiting();
    return 0;
  }
  // export DIR N URL: the same with an OTLP exporter to the collector at URL as well.
  if (std::strcmp(mode, "export") == 0 && argc == 5) {
    OrvOtlpExporterOptions options;
    options.endpoint = argv[4];
    options.maxBatch = 50;
    options.flushInterval = std::chrono::milliseconds(1);
    OrvMediator::sharedInstance()->addOtlpExporter(options);
    OrvMediator::sharedInstance()->addEventSink([](const OrvMediatorEvent&) {});
    if (!startOnExperiments(argv[2], std::atoi(argv[3]))) return 4;
    for (int i = 0, n = std::atoi(argv[3]); i < n; ++i)
      OrvExperiment::getValueAsString("k" + std::to_string(i));
    OrvExperiment::flush(std::chrono::milliseconds(50));  // some requests under way
    sayExiting();
    return 0;
  }
  // refresh DIR N: refreshes every few milliseconds (the schedule scaled down), each
  // reloading a payload of N experiments; return while they run.
  if (std::strcmp(mode, "refresh") == 0 && argc == 4) {
    orvRCSetRefreshTimeScaleForTesting(1e-4);  // 30 s become 3 ms
    const std::string payload = std::string(argv[2]) + "/payload.json";
    writeText(payload, manyExperiments(std::atoi(argv[3])));
    auto config = OrvExperimentConfig::create("exit-app", "file://" + payload);
    config->setRefreshInterval(std::chrono::seconds(30));
    config->setStartupTask(listened(OrvExperimentTask::create()));
    OrvPlatform::setDataDirectory(argv[2]);
    OrvExperiment::startWithConfig(config);
    if (waitOutcome() == 1) return 4;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // refreshes under way
    OrvExperiment::getValueAsString("k0");
    sayExiting();
    return 0;
  }
  // reload DIR N: fetch() three times over a payload of N experiments, and return while
  // the reloads parse it on the work queue.
  if (std::strcmp(mode, "reload") == 0 && argc == 4) {
    if (!startOnExperiments(argv[2], std::atoi(argv[3]))) return 4;
    for (int i = 0; i < 3; ++i) OrvExperiment::fetch();
    OrvExperiment::getValueAsString("k1");
    sayExiting();
    return 0;
  }
  // stoppable: one stoppable thread that returns when asked (its line is written before
  // exit flushes stdout), one that never returns (left behind after the grace period),
  // and, once exit is under way, another and an OTLP exporter that must not start.
  if (std::strcmp(mode, "stoppable") == 0) {
    auto* polite = new StoppableOwner;  // leaked, as the library's own owners are
    polite->thread.start([polite] {
      polite->waitForStop();
      std::puts("joined");
    });
    auto* stuck = new StoppableOwner;
    stuck->thread.start([] {
      for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
    });
    OrvProcessLifetime::addAbortHook([] {
      StoppableOwner late;
      const bool started = late.thread.start([] { std::puts("started during exit"); });
      std::printf("made during exit: started %d, stop asked %d\n", started,
                  late.thread.stopRequested());
      OrvOtlpExporterOptions options;
      options.endpoint = "http://127.0.0.1:9/";
      OrvOtlpExporter exporter(options);
      std::printf("exporter made during exit: delivered %d\n",
                  exporter.waitDelivered(std::chrono::steady_clock::now() + std::chrono::hours(1)));
    });
    sayExiting();
    return 0;
  }
  if (std::strcmp(mode, "exit-inside-block") == 0) {
    fillQueues();
    OrvExperimentQueue::sharedInstance().execute([] { std::exit(3); });
    fillQueues();
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  if (std::strcmp(mode, "stuck-block") == 0) {
    OrvExperimentQueue::sharedInstance().execute([] {
      setOutcome(1);
      auto* never = new std::mutex;
      std::unique_lock lock(*never);
      (new std::condition_variable)->wait(lock);  // never notified
    });
    waitOutcome();
    fillQueues();
    sayExiting();
    return 0;
  }
  return 2;
}
