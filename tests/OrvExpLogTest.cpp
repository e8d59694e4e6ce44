#include <gtest/gtest.h>

#include <thread>

#include "OrvExpLog.h"
#include "TestSupport.h"

using namespace orvtest;

TEST(OrvExpLog, NothingIsWrittenWhileOffAndBothLevelsWhileOn) {
  LogCapture log;
  OrvExpLog::setEnableLog(false);
  EXPECT_FALSE(OrvExpLog::isEnableLog());
  OrvExpLog::info("hidden %@", "info");
  OrvExpLog::error("hidden %@", "error");
  EXPECT_TRUE(log.lines().empty());

  OrvExpLog::setEnableLog(true);
  OrvExpLog::info("shown %@", 1);
  OrvExpLog::error("shown %@", 2);
  OrvExpLog::setEnableLog(false);
  OrvExpLog::info("hidden again");
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"[OrvExperiment] shown 1",
                                                   "[OrvExperiment] [ERROR] shown 2"}));
}

TEST(OrvExpLog, LibraryMessagesComeOutExactly) {
  LogCapture log;
  OrvExpLog::info(OrvExpLog::kInitSuccess, std::string("abc"), std::string("1.0.2"));
  OrvExpLog::error(OrvExpLog::kConfigNil);
  OrvExpLog::info(OrvExpLog::kNoExperiment, std::string("banner"));
  OrvExpLog::info(OrvExpLog::kAlreadyExposed, std::string("color"));
  EXPECT_EQ(
      log.lines(),
      (std::vector<std::string>{
          "[OrvExperiment] OrvExperiment SDK initialize Success with appId = abc, version = 1.0.2",
          "[OrvExperiment] [ERROR] FeatureManager: config is nil, SDK must be initialized first",
          "[OrvExperiment] banner : No relevant experiment detected, skip exposure event.",
          "[OrvExperiment] color : Already exposed, skip this exposure incident.",
      }));
}

TEST(OrvExpLog, ArgumentsAreTextNeverFormats) {
  LogCapture log;
  OrvExpLog::info(OrvExpLog::kAlreadyExposed, std::string("50%off %@ %d %s %n"));
  OrvExpLog::info("%@ and %@ and %@", OrvValue(7), orvtest::json(R"({"a":[1]})"));
  OrvExpLog::info("100%% %@", OrvValue());
  OrvExpLog::info("trailing %");
  const char* nullText = nullptr;
  OrvExpLog::info("%@", nullText);
  EXPECT_EQ(
      log.lines(),
      (std::vector<std::string>{
          "[OrvExperiment] 50%off %@ %d %s %n : Already exposed, skip this exposure incident.",
          "[OrvExperiment] 7 and {\"a\":[1]} and (null)",
          "[OrvExperiment] 100% (null)",
          "[OrvExperiment] trailing %",
          "[OrvExperiment] (null)",
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
  for (const auto& line : log.lines()) {
    EXPECT_EQ(line.rfind("[OrvExperiment] thread ", 0), 0u) << line;
  }
}
