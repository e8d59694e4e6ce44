// A separate process for the exposure store's restart and concurrency tests.
//   orv_store_helper DIR put APP KEY ...   store YES under each key, then exit
//   orv_store_helper DIR get APP KEY ...   print KEY=1 (stored YES), KEY=0 or KEY=-
//   orv_store_helper DIR track APP N       track N events "e0".."eN-1" with no sink, exit
#include <cstdio>
#include <cstdlib>
#include <string>

#include "OrvExperiment/OrvPlatform.h"
#include "OrvExperimentStorage.h"
#include "OrvMediator.h"

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
