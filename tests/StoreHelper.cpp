// A separate process for the exposure store's restart and crash tests.
//   orv_store_helper DIR put APP KEY=1|KEY=0|KEY=s:TEXT ...   write, then exit
//   orv_store_helper DIR get APP KEY ...                       print KEY=1|0|-|s:TEXT
//   orv_store_helper DIR put-forever APP PREFIX                write PREFIXi, print i, repeat
//   orv_store_helper DIR unopened APP                          writes before opening
//   orv_store_helper DIR track APP N      track N events "e0".."eN-1" with no sink, exit
//   orv_store_helper DIR forward APP      a console sink tracks every error line as an
//                                         event; track one event, expect both stored
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "OrvExpLog.h"
#include "OrvExperiment/OrvPlatform.h"
#include "OrvExperimentStorage.h"
#include "OrvMediator.h"
#include "platform/OrvUserDefaults.h"

int main(int argc, char** argv) {
  if (argc < 4) return 2;
  OrvPlatform::setDataDirectory(argv[1]);
  OrvExpLog::setEnableLog(true);
  const std::string mode = argv[2];
  const std::string app = argv[3];
  if (mode == "track" && argc == 5) {
    for (int i = 0; i < std::atoi(argv[4]); ++i) {
      OrvMediator::sharedInstance()->orvAnalyticsTrackEvent("e" + std::to_string(i),
                                                            OrvValue::dictionary({}), app);
    }
    return 0;
  }
  if (mode == "forward") {
    OrvUserDefaults::setLogChannel(&OrvExpLog::channel());
    auto* mediator = OrvMediator::sharedInstance();
    OrvPlatform::setConsoleSink([mediator, app](std::string_view line) {
      if (line.find("[ERROR]") != line.npos) mediator->orvAnalyticsTrackEvent("log", {}, app);
    });
    mediator->orvAnalyticsTrackEvent("e", OrvValue::dictionary({}), app);
    return mediator->pendingEventCount() == 2 ? 0 : 3;
  }
  if (mode == "unopened") {
    const bool before = OrvExperimentStorage::getBoolForKey("k", true);
    OrvExperimentStorage::putBool(false, "k");
    OrvExperimentStorage::putString("lost", "s");
    OrvExperimentStorage::initWithAppId(app);
    std::printf("before=%d after=%d string=%s\n", before,
                OrvExperimentStorage::getBoolForKey("k", true),
                OrvExperimentStorage::getStringForKey("s", "default").c_str());
    return 0;
  }
  OrvExperimentStorage::initWithAppId(app);
  if (mode == "put") {
    for (int i = 4; i < argc; ++i) {
      const char* eq = std::strchr(argv[i], '=');
      if (!eq) return 2;
      const std::string key(argv[i], static_cast<std::size_t>(eq - argv[i]));
      const std::string value(eq + 1);
      if (value.rfind("s:", 0) == 0) {
        OrvExperimentStorage::putString(value.substr(2), key);
      } else {
        OrvExperimentStorage::putBool(value == "1", key);
      }
    }
    return 0;
  }
  if (mode == "get") {
    for (int i = 4; i < argc; ++i) {
      const bool a = OrvExperimentStorage::getBoolForKey(argv[i], false);
      const bool b = OrvExperimentStorage::getBoolForKey(argv[i], true);
      const std::string s = OrvExperimentStorage::getStringForKey(argv[i], "\x01");
      if (a != b) {
        std::printf("%s=-\n", argv[i]);
      } else if (s != "\x01" && s != "true" && s != "false") {
        std::printf("%s=s:%s\n", argv[i], s.c_str());
      } else {
        std::printf("%s=%d\n", argv[i], a ? 1 : 0);
      }
    }
    return 0;
  }
  if (mode == "put-forever" && argc > 4) {
    for (long i = 0;; ++i) {
      OrvExperimentStorage::putBool(true, argv[4] + std::to_string(i));
      // Only reported after the write call returned: the parent may kill us any time.
      std::printf("%ld\n", i);
      std::fflush(stdout);
    }
  }
  return 2;
}
