#include <gtest/gtest.h>

#include <thread>

#include "OrvExpLog.h"
#include "TestSupport.h"

using namespace orvtest;

TEST(OrvExpLog, BothLevelsWriteWhileOnAndNothingIsFormattedWhileOff) {
  LogCapture log;
  OrvExpLog::setEnableLog(false);
  OrvExpLog::info("hidden %@", "info");
  OrvExpLog::error(OrvExpLog::kConfigNil);
  OrvExpLog::setEnableLog(true);
  OrvExpLog::info(OrvExpLog::kInitSuccess, std::string("abc"), std::string("1.0.2"));
  OrvExpLog::error(OrvExpLog::kConfigNil);
  OrvExpLog::info(OrvExpLog::kNoExperiment, std::string("banner"));
  // Arguments are text, never formats; a missing argument renders as "(null)".
  OrvExpLog::info(OrvExpLog::kAlreadyExposed, std::string("50%off %@ %d %s %n"));
  OrvExpLog::info("%@ and %@ and %@", OrvValue(7), json(R"({"a":[1]})"));
  OrvExpLog::info("100%% %@, trailing %", static_cast<const char*>(nullptr));
  OrvExpLog::setEnableLog(false);
  OrvExpLog::info("hidden again");
  EXPECT_EQ(
      log.lines(),
      (std::vector<std::string>{
          "[OrvExperiment] OrvExperiment SDK initialize Success with appId = abc, version = 1.0.2",
          "[OrvExperiment] [ERROR] FeatureManager: config is nil, SDK must be initialized first",
          "[OrvExperiment] banner : No relevant experiment detected, skip exposure event.",
          "[OrvExperiment] 50%off %@ %d %s %n : Already exposed, skip this exposure incident.",
          "[OrvExperiment] 7 and {\"a\":[1]} and (null)",
          "[OrvExperiment] 100% (null), trailing %",
      }));
}

TEST(OrvExpLog, SwitchingAndLoggingFromManyThreadsKeepsLinesWhole) {
  LogCapture log;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 500; ++i) {
        if (t == 0) OrvExpLog::setEnableLog(i % 2 == 0);
        OrvExpLog::info("thread %@ line %@", t, i);
      }
    });
  }
  for (auto& th : threads) th.join();
  for (const auto& line : log.lines()) EXPECT_EQ(line.rfind("[OrvExperiment] thread ", 0), 0u);
}
