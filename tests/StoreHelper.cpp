// A separate process for the exposure store's restart and concurrency tests.
//   orv_store_helper DIR put APP KEY ...   store YES under each key, then exit
//   orv_store_helper DIR get APP KEY ...   print KEY=1 (stored YES), KEY=0 or KEY=-
//   orv_store_helper DIR track APP N       track N events "e0".."eN-1" with no sink, exit
//   orv_store_helper DIR forward APP       a console sink tracks every error line as an
//                                          event; track one event, expect both stored
#include <cstdio>
#include <cstdlib>
#include <string>

#include "OrvExpLog.h"
#include "OrvExperiment/OrvPlatform.h"
#include "OrvExperimentStorage.h"
#include "OrvMediator.h"
#include "platform/storage/OrvUserDefaults.h"

int main(int argc, char** argv) {
  if (argc < 4) return 2;
  OrvPlatform::setDataDirectory(argv[1]);
  if (std::string(argv[2]) == "track" && argc == 5) {
    for (int i = 0; i < std::atoi(argv[4]); ++i) {
      OrvMediator::sharedInstance()->orvAnalyticsTrackEvent("e" + std::to_string(i),
                                                            OrvValue::dictionary({}), argv[3]);
    }
    return 0;
  }
  if (std::string(argv[2]) == "forward") {
    OrvExpLog::setEnableLog(true);
    OrvUserDefaults::setLogChannel(&OrvExpLog::channel());
    auto* mediator = OrvMediator::sharedInstance();
    const std::string app = argv[3];
    OrvPlatform::setConsoleSink([mediator, app](std::string_view line) {
      if (line.find("[ERROR]") != line.npos) mediator->orvAnalyticsTrackEvent("log", {}, app);
    });
    mediator->orvAnalyticsTrackEvent("e", OrvValue::dictionary({}), app);
    return mediator->pendingEventCount() == 2 ? 0 : 3;
  }
  OrvExperimentStorage::initWithAppId(argv[3]);
  for (int i = 4; i < argc; ++i) {
    if (std::string(argv[2]) == "put") {
      OrvExperimentStorage::putBool(true, argv[i]);
    } else {
      const bool a = OrvExperimentStorage::getBoolForKey(argv[i], false);
      const bool b = OrvExperimentStorage::getBoolForKey(argv[i], true);
      std::printf("%s=%s\n", argv[i], a != b ? "-" : a ? "1" : "0");
    }
  }
  return 0;
}
