// An application built against an installed OrvExperiment, as C++17: it starts from a
// file:// payload, prints a value and the version, and records the exposure event with
// the JSON-lines sink. Usage: app PAYLOAD DATA_DIR EVENTS_FILE
#include <OrvExperiment/OrvExperiment.h>
#include <OrvExperiment/OrvPlatform.h>
#include <OrvMediator.h>
#include <OrvOtlpExporter.h>
#include <OrvRemoteConfig.h>

#include <condition_variable>
#include <cstdio>
#include <mutex>

#if __cplusplus != 201703L
#error "built as C++17: every public header must compile as C++17"
#endif

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  OrvPlatform::setDataDirectory(argv[2]);
  OrvMediator::sharedInstance()->addEventSink(OrvMediator::jsonLinesFileSink(argv[3]));
  std::mutex mutex;
  std::condition_variable changed;
  int outcome = 0;  // 1 success, 2 failure; guarded by mutex
  auto report = [&](int o) {
    std::lock_guard<std::mutex> lock(mutex);
    outcome = o;
    changed.notify_all();
  };
  auto config = OrvExperimentConfig::create("consumer", std::string("file://") + argv[1]);
  config->setStartupTask(
      OrvExperimentTask::create()
          ->addOnSuccessListener([&] { report(1); })
          ->addOnFailureListener([&](int64_t, const std::string&) { report(2); }));
  OrvExperiment::startWithConfig(config);
  {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait_for(lock, std::chrono::seconds(10), [&] { return outcome != 0; });
    if (outcome != 1) return 1;
  }
  std::printf("%s %s\n", OrvExperiment::getValueAsString("color").c_str(),
              OrvExperiment::getSDKVersion().c_str());
  return OrvExperiment::flush(std::chrono::seconds(10)) ? 0 : 1;
}
