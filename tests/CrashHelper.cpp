// A process for crash tests, killed with SIGKILL at random moments by the test.
//   orv_crash_helper DIR PAYLOAD_FILE EVENTS_FILE run     read features and fetch forever
//   orv_crash_helper DIR PAYLOAD_FILE EVENTS_FILE verify  print "recorded KEY" or
//                                                         "unrecorded KEY" per feature
//   orv_crash_helper DIR PAYLOAD_FILE EVENTS_FILE full    files may not grow past 48 KiB
//                                                         (a full disk); read every feature
//                                                         twice, print "events N", exit
// In "run" it prints "ready" once started, "read KEY" after each read and "event" after
// each event handed over.
#include <sys/resource.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <future>
#include <random>
#include <string>
#include <vector>

#include "OrvExperiment/OrvExperiment.h"
#include "OrvExperiment/OrvPlatform.h"
#include "OrvExperimentQueue.h"
#include "OrvExperimentStorage.h"
#include "OrvFeatureManager.h"
#include "OrvMediator.h"

int main(int argc, char** argv) {
  if (argc != 5) return 2;
  const std::string mode = argv[4];
  if (mode == "full") {
    // Writes past the limit fail with EFBIG, as on a full disk (SIGXFSZ ignored).
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{48 * 1024, 48 * 1024};
    setrlimit(RLIMIT_FSIZE, &limit);
    OrvExperiment::enableLog(true);
  }
  OrvPlatform::setDataDirectory(argv[1]);
  OrvMediator::sharedInstance()->addEventSink(OrvMediator::jsonLinesFileSink(argv[3]));
  auto config = OrvExperimentConfig::create("crash-app", std::string("file://") + argv[2]);
  config->setAutomaticExposureTracking(mode != "verify");
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
  std::vector<std::string> keys;
  for (const auto& entry : *table) keys.push_back(entry.first);
  if (mode == "verify") {
    std::promise<void> done;
    OrvExperimentQueue::sharedInstance().execute([&] {
      for (const auto& key : keys) {
        const auto& info = table->at(key)->experimentInfo();
        if (!info) continue;
        const bool recorded = OrvExperimentStorage::getBoolForKey(info->recordKey(), false);
        std::printf("%s %s\n", recorded ? "recorded" : "unrecorded", key.c_str());
      }
      done.set_value();
    });
    done.get_future().wait();
    return 0;
  }
  if (mode == "full") {
    std::atomic<int> events{0};
    OrvMediator::sharedInstance()->addEventSink([&](const OrvMediatorEvent&) { ++events; });
    for (int round = 0; round < 2; ++round) {
      for (const auto& key : keys) OrvExperiment::getValueAsString(key);
    }
    std::promise<void> done;
    OrvExperimentQueue::sharedInstance().execute([&] { done.set_value(); });
    done.get_future().wait();
    std::printf("events %d\n", events.load());
    return 0;
  }
  // Tell the test when an event has been handed over, so it can kill us after that.
  OrvMediator::sharedInstance()->addEventSink([](const OrvMediatorEvent&) {
    std::printf("event\n");
    std::fflush(stdout);
  });
  std::printf("ready\n");
  std::fflush(stdout);
  std::mt19937 random(std::random_device{}());
  for (long n = 0;; ++n) {
    const std::string& key = keys[random() % keys.size()];
    OrvExperiment::getValueAsString(key);
    std::printf("read %s\n", key.c_str());
    std::fflush(stdout);
    if (n % 25 == 0) OrvExperiment::fetch();
  }
}
