// A second process for the cache test: starts the component for APP against URL in
// DIR, prints the payload it has when the local cache is ready, then the outcome.
//   orv_rc_helper DIR APP URL
#include <cstdio>
#include <future>

#include "OrvExperiment/OrvPlatform.h"
#include "OrvRemoteConfig.h"

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  OrvPlatform::setDataDirectory(argv[1]);
  const std::string app = argv[2];
  auto settings = OrvRemoteConfigSettings::create();
  settings->setAppId(app);
  settings->setServerUrl(argv[3]);
  settings->setTemplateCode("ki_feature");
  auto task = OrvRCFetchTask::create();
  std::promise<void> done;
  task->addOnLocalCacheReadyListener([app] {
    auto value = OrvRemoteConfig::getDataWithAppId(app, "ki_feature")->get()("ki_feature");
    std::printf("local-cache-ready %s\n", value ? value->objectValue().toJson().c_str() : "none");
    std::fflush(stdout);
  });
  task->addOnSuccessListener([&done] {
    std::printf("success\n");
    done.set_value();
  });
  task->addOnFailureListener([&done](std::int64_t code, const std::string&) {
    std::printf("failure %lld\n", static_cast<long long>(code));
    done.set_value();
  });
  settings->setFetchTask(task);
  OrvRemoteConfig::startWithSettings(settings);
  done.get_future().wait();
  return 0;
}
