// The program tests run as a separate process, one subcommand per kind of test:
//
// Exit tests: leave work on the library's queues (or library work in flight) in various
// ways and then end the process. Its exit status, and how soon it ends after printing
// "exiting", are what the tests check.
//   orv_test_helper MODE ...   (MODE: read, stalled, exit-from-thread, flush, oom,
//                               ready-later, ready, idle, deliver, export, refresh, reload,
//                               stoppable, exit-inside-block, stuck-block; see exitMain)
//
// The exposure store's restart and concurrency tests:
//   orv_test_helper store DIR put APP KEY ...   store YES under each key, then exit
//   orv_test_helper store DIR get APP KEY ...   print KEY=1 (stored YES), KEY=0 or KEY=-
//   orv_test_helper store DIR track APP N       track N events "e0".."eN-1" with no sink
//   orv_test_helper store DIR forward APP       a console sink tracks every error line as
//                                               an event; track one, expect both stored
//
// Crash tests, killed with SIGKILL at random moments by the test:
//   orv_test_helper crash DIR PAYLOAD_FILE EVENTS_FILE run    expose k0, k1, ... in order
//        (one experiment each), flushing every 10 reads and fetching every 50; events go
//        to a slow JSON-lines sink. Prints "ready", "read I" after each read, "event"
//        after each event written, "absorbed" for each redelivery the sink drops, and
//        "done" when every key has been read; then waits to be killed.
//   orv_test_helper crash DIR PAYLOAD_FILE EVENTS_FILE drain  deliver what waits (no
//        reads), print "absorbed" lines, then "recorded e<I>" for every recorded experiment.
//   orv_test_helper crash DIR PAYLOAD_FILE EVENTS_FILE full   files may not grow past
//        48 KiB (a full disk); read every feature twice, print "events N", exit
//   With a further argument URL, "run" and "drain" send events to the OTLP collector at
//   URL instead of EVENTS_FILE ("event" then means handed to the exporter).
//
// What the library gives each of many units, read the way an application reads it:
//   orv_test_helper start URL DATA_DIR UNITS_FILE KEY
//     one start against URL (any server, or file://), then for each unit: its bucket
//     identifier set, a fetch awaited, KEY read;
//   orv_test_helper test PAYLOAD_FILE - UNITS_FILE KEY
//     test mode, started once per unit with the unit as the bucket identifier.
//   One line per unit on stdout: "unit<TAB>group<TAB>value" ("-" for no group). Exits
//   1 when a fetch fails or is not heard of within a minute.
//
// No scenario has static objects with destructors: state is leaked, as the library's is.
#include <sys/resource.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <unordered_set>

#include "../external/remote_config/OrvRCInternal.h"
#include "ManyExperiments.h"
#include "OrvExpLog.h"
#include "OrvExperiment/OrvExperiment.h"
#include "OrvExperiment/OrvPlatform.h"
#include "OrvExperiment/OrvTesting.h"
#include "OrvExperimentQueue.h"
#include "OrvExperimentStorage.h"
#include "OrvExperimentTaskNotify.h"
#include "OrvFeatureManager.h"
#include "OrvMediator.h"
#include "OrvOtlpExporter.h"
#include "StoppableOwner.h"
#include "platform/execution/OrvProcessLifetime.h"
#include "platform/storage/OrvUserDefaults.h"

namespace {

// Leaked, like the library's own state: a stuck block keeps using them past exit.
std::mutex& m = *new std::mutex;
std::condition_variable& cv = *new std::condition_variable;
std::int64_t outcome = 0;  // guarded by m: 1 none yet, 0 success, or a failure code
bool heard = false;        // guarded by m

void say(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

void sayExiting() { say("exiting"); }

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

// Starts on `config` (data directory already set); the start-up fetch's outcome.
std::int64_t start(const std::shared_ptr<OrvExperimentConfig>& config) {
  config->setStartupTask(listened(OrvExperimentTask::create()));
  OrvExperiment::startWithConfig(config);
  return waitOutcome();
}

// Starts application "exit-app" on `url` with `dir` as data directory.
std::int64_t start(const char* dir, const std::string& url) {
  OrvPlatform::setDataDirectory(dir);
  return start(OrvExperimentConfig::create("exit-app", url));
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

int exitMain(int argc, char** argv) {
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
  // export DIR N URL: the same with an OTLP exporter to the collector at URL as well.
  if ((std::strcmp(mode, "deliver") == 0 && argc == 4) ||
      (std::strcmp(mode, "export") == 0 && argc == 5)) {
    if (argc == 5) {
      OrvOtlpExporterOptions options;
      options.endpoint = argv[4];
      options.maxBatch = 50;
      options.flushInterval = std::chrono::milliseconds(1);
      OrvMediator::sharedInstance()->addOtlpExporter(options);
    }
    OrvMediator::sharedInstance()->addEventSink([](const OrvMediatorEvent&) {});
    if (!startOnExperiments(argv[2], std::atoi(argv[3]))) return 4;
    for (int i = 0, n = std::atoi(argv[3]); i < n; ++i)
      OrvExperiment::getValueAsString("k" + std::to_string(i));
    if (argc == 5) OrvExperiment::flush(std::chrono::milliseconds(50));  // requests under way
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
    OrvPlatform::setDataDirectory(argv[2]);
    if (start(config) == 1) return 4;
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

// store DIR MODE APP ...: argv[0] is "store".
int storeMain(int argc, char** argv) {
  if (argc < 4) return 2;
  OrvPlatform::setDataDirectory(argv[1]);
  const std::string mode = argv[2], app = argv[3];
  if (mode == "track" && argc == 5) {
    for (int i = 0; i < std::atoi(argv[4]); ++i) {
      OrvMediator::sharedInstance()->orvAnalyticsTrackEvent("e" + std::to_string(i),
                                                            OrvValue::dictionary({}), app);
    }
    return 0;
  }
  if (mode == "forward") {
    OrvExpLog::setEnableLog(true);
    OrvUserDefaults::setLogChannel(&OrvExpLog::channel());
    auto* mediator = OrvMediator::sharedInstance();
    OrvPlatform::setConsoleSink([mediator, app](std::string_view line) {
      if (line.find("[ERROR]") != line.npos) mediator->orvAnalyticsTrackEvent("log", {}, app);
    });
    mediator->orvAnalyticsTrackEvent("e", OrvValue::dictionary({}), app);
    return mediator->pendingEventCount() == 2 ? 0 : 3;
  }
  OrvExperimentStorage::initWithAppId(app);
  for (int i = 4; i < argc; ++i) {
    if (mode == "put") {
      OrvExperimentStorage::putBool(true, argv[i]);
    } else {
      const bool a = OrvExperimentStorage::getBoolForKey(argv[i], false);
      const bool b = OrvExperimentStorage::getBoolForKey(argv[i], true);
      std::printf("%s=%s\n", argv[i], a != b ? "-" : a ? "1" : "0");
    }
  }
  return 0;
}

// The JSON-lines sink, slowed down (so kills land while it works) and watched: ids it
// will drop as already written are reported as "absorbed".
OrvMediator::Sink watchedFileSink(const std::string& path) {
  auto known = std::make_shared<std::unordered_set<std::string>>();
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    auto parsed = OrvValue::parseJson(line);
    if (parsed.ok()) known->insert(parsed.value["event_id"].stringValue());
  }
  auto file = OrvMediator::jsonLinesFileSink(path);
  return [known, file](const OrvMediatorEvent& event) {
    std::this_thread::sleep_for(std::chrono::microseconds(300));  // a slow consumer
    const bool fresh = known->insert(event.eventId).second;
    file(event);
    say(fresh ? "event" : "absorbed");
  };
}

// crash DIR PAYLOAD_FILE EVENTS_FILE MODE [URL]: argv[0] is "crash".
int crashMain(int argc, char** argv) {
  if (argc != 5 && argc != 6) return 2;
  const std::string mode = argv[4];
  const std::string collector = argc == 6 ? argv[5] : "";
  if (mode == "full") {
    // Writes past the limit fail with EFBIG, as on a full disk (SIGXFSZ ignored).
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{48 * 1024, 48 * 1024};
    setrlimit(RLIMIT_FSIZE, &limit);
    OrvExperiment::enableLog(true);
  }
  OrvPlatform::setDataDirectory(argv[1]);
  if (!collector.empty()) {
    OrvOtlpExporterOptions exporter;
    exporter.endpoint = collector;
    exporter.flushInterval = std::chrono::milliseconds(5);
    exporter.maxBatch = 20;
    exporter.minBackoff = std::chrono::milliseconds(5);
    OrvMediator::sharedInstance()->addOtlpExporter(exporter);
    OrvMediator::sharedInstance()->addEventSink([](const OrvMediatorEvent&) { say("event"); });
  } else if (mode != "full") {
    OrvMediator::sharedInstance()->addEventSink(watchedFileSink(argv[3]));
  }
  auto config = OrvExperimentConfig::create("crash-app", std::string("file://") + argv[2]);
  config->setAutomaticExposureTracking(mode != "drain");
  if (start(config) != 0) return 3;
  config->setStartupTask(nullptr);

  auto table = OrvFeatureManager::sharedInstance().features();
  if (mode == "drain") {
    if (!OrvExperiment::flush(std::chrono::seconds(60))) return 4;
    OrvExperimentQueue::sharedInstance().execute([&] {
      for (const OrvFeature& feature : *table) {
        const auto* info = feature.experimentInfo();
        if (info && OrvExperimentStorage::getBoolForKey(info->recordKey(), false))
          say("recorded " + info->experimentId().stringValue());
      }
      setOutcome(0);
    });
    waitOutcome();
    return OrvMediator::sharedInstance()->pendingEventCount() == 0 ? 0 : 5;
  }
  if (mode == "full") {
    std::atomic<int> events{0};
    OrvMediator::sharedInstance()->addEventSink([&](const OrvMediatorEvent&) { ++events; });
    for (int round = 0; round < 2; ++round) {
      for (const OrvFeature& feature : *table) OrvExperiment::getValueAsString(feature.key());
    }
    OrvExperiment::flush(std::chrono::seconds(60));
    std::printf("events %d\n", events.load());
    return 0;
  }
  say("ready");
  for (std::size_t i = 0; i < table->size(); ++i) {
    OrvExperiment::getValueAsString("k" + std::to_string(i));
    say("read " + std::to_string(i));
    if (i % 10 == 9) OrvExperiment::flush(std::chrono::seconds(60));
    if (i % 50 == 49) OrvExperiment::fetch();
  }
  OrvExperiment::flush(std::chrono::seconds(60));
  say("done");
  for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
}

void printUnit(const std::string& unit, const std::string& key) {
  const auto detail = OrvExperiment::getStringDetail(key, "");
  std::printf("%s\t%s\t%s\n", unit.c_str(),
              detail.experiment ? detail.experiment->groupId.description().c_str() : "-",
              detail.value.c_str());
}

// start|test URL|PAYLOAD DATA_DIR|- UNITS_FILE KEY
int probeMain(int argc, char** argv) {
  if (argc != 6) {
    std::fputs("usage: orv_test_helper start|test URL|PAYLOAD DATA_DIR|- UNITS_FILE KEY\n", stderr);
    return 2;
  }
  const std::string mode = argv[1], source = argv[2], key = argv[5];
  std::ifstream unitsFile(argv[4]);
  std::string unit;
  if (mode == "test") {
    std::ifstream in(source);
    std::stringstream payload;
    payload << in.rdbuf();
    while (std::getline(unitsFile, unit)) {
      auto config = OrvExperimentConfig::create(OrvTesting::kDefaultAppId, "");
      config->setCustomBucketId(OrvValue(unit));
      if (!OrvTesting::start(payload.str(), config)) return 1;
      printUnit(unit, key);
    }
    OrvTesting::reset();
    return 0;
  }
  OrvPlatform::setDataDirectory(argv[3]);
  if (start(OrvExperimentConfig::create("probe-app", source)) != 0) return 1;
  while (std::getline(unitsFile, unit)) {
    OrvExperiment::setCustomBucketId(OrvValue(unit));
    if ((listened(OrvExperiment::fetch()), waitOutcome()) != 0) return 1;
    printUnit(unit, key);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const char* command = argc > 1 ? argv[1] : "";
  if (std::strcmp(command, "store") == 0) return storeMain(argc - 1, argv + 1);
  if (std::strcmp(command, "crash") == 0) return crashMain(argc - 1, argv + 1);
  if (std::strcmp(command, "start") == 0 || std::strcmp(command, "test") == 0)
    return probeMain(argc, argv);
  return exitMain(argc, argv);
}
