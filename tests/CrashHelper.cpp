// A process for crash tests, killed with SIGKILL at random moments by the test.
//   orv_crash_helper DIR PAYLOAD_FILE EVENTS_FILE run    expose k0, k1, ... in order (one
//        experiment each), flushing every 10 reads and fetching every 50; events go to a
//        slow JSON-lines sink. Prints "ready", "read I" after each read, "event" after
//        each event written, "absorbed" for each redelivery the sink drops, and "done"
//        when every key has been read; then waits to be killed.
//   orv_crash_helper DIR PAYLOAD_FILE EVENTS_FILE drain  deliver what waits (no reads),
//        print "absorbed" lines, then "recorded e<I>" for every recorded experiment.
//   orv_crash_helper DIR PAYLOAD_FILE EVENTS_FILE full   files may not grow past 48 KiB
//        (a full disk); read every feature twice, print "events N", exit
// With a sixth argument URL, "run" and "drain" send events to the OTLP collector at URL
// instead of EVENTS_FILE ("event" then means handed to the exporter).
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "OrvExperiment/OrvExperiment.h"
#include "OrvExperiment/OrvPlatform.h"
#include "OrvExperimentQueue.h"
#include "OrvExperimentStorage.h"
#include "OrvFeatureManager.h"
#include "OrvMediator.h"

namespace {

void say(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
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

}  // namespace

int main(int argc, char** argv) {
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
  auto started = std::make_shared<std::promise<bool>>();
  auto task = OrvExperimentTask::create();
  task->addOnSuccessListener([started] { started->set_value(true); })
      ->addOnFailureListener(
          [started](std::int64_t, const std::string&) { started->set_value(false); });
  config->setStartupTask(task);
  OrvExperiment::startWithConfig(config);
  if (!started->get_future().get()) return 3;
  config->setStartupTask(nullptr);

  auto table = OrvFeatureManager::sharedInstance().features();
  if (mode == "drain") {
    if (!OrvExperiment::flush(std::chrono::seconds(60))) return 4;
    std::promise<void> done;
    OrvExperimentQueue::sharedInstance().execute([&] {
      for (const OrvFeature& feature : *table) {
        const auto* info = feature.experimentInfo();
        if (info && OrvExperimentStorage::getBoolForKey(info->recordKey(), false))
          say("recorded " + info->experimentId().stringValue());
      }
      done.set_value();
    });
    done.get_future().wait();
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
