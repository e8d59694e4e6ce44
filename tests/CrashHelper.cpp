// A process for the crash test, killed with SIGKILL at random moments by the test.
//   orv_crash_helper DIR PAYLOAD_FILE EVENTS_FILE
// Starts application "crash-app" on the payload file, prints "ready PID", then reads random
// features and fetches forever, printing "read KEY" after each read and "event" after
// each event handed over.
#include <unistd.h>

#include <cstdio>
#include <future>
#include <random>
#include <string>
#include <vector>

#include "OrvExperiment/OrvExperiment.h"
#include "OrvExperiment/OrvPlatform.h"
#include "OrvFeatureManager.h"
#include "OrvMediator.h"

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  OrvPlatform::setDataDirectory(argv[1]);
  OrvMediator::sharedInstance()->addEventSink(OrvMediator::jsonLinesFileSink(argv[3]));
  OrvMediator::sharedInstance()->addEventSink([](const OrvMediatorEvent&) {
    std::printf("event\n");
    std::fflush(stdout);
  });
  auto config = OrvExperimentConfig::create("crash-app", std::string("file://") + argv[2]);
  auto started = std::make_shared<std::promise<void>>();
  config->setStartupTask(
      OrvExperimentTask::create()->addOnSuccessListener([started] { started->set_value(); }));
  OrvExperiment::startWithConfig(config);
  started->get_future().wait();
  config->setStartupTask(nullptr);

  std::vector<std::string> keys;
  for (const auto& entry : *OrvFeatureManager::sharedInstance().features())
    keys.push_back(entry.first);
  std::printf("ready %d\n", static_cast<int>(::getpid()));
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
