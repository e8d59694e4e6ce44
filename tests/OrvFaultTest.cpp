// Faults: processes killed at random moments, data directories pulled away, read-only
// or full, and readers racing reloads.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <sstream>
#include <thread>

#include "LibraryFixture.h"
#include "OrvExperimentStorage.h"
#include "OrvFeatureManager.h"
#include "OrvFeatureParser.h"

using namespace orvtest;

namespace {

// Features "k0".."k<count-1>" with values "<prefix>0"..., each in an experiment of its own.
std::string manyExperiments(int count, const std::string& prefix = "v") {
  std::string out = "{";
  std::string detail = "\"experiment_detail\":[";
  for (int i = 0; i < count; ++i) {
    const std::string n = std::to_string(i);
    out += "\"k" + n + "\":\"" + prefix + n + "\",";
    detail += std::string(i ? "," : "") + "{\"#experiment_id\":\"e" + n +
              "\",\"#experiment_group_id\":\"g\",\"bucket_id\":" + std::to_string(i % 7) +
              ",\"#feature_list\":[\"k" + n + "\"]}";
  }
  return out + detail + "]}";
}

class FaultTest : public LibraryTest {};

}  // namespace

TEST_F(FaultTest, KillNineAtRandomMomentsNeverLosesARecordOrSendsTwice) {
  const std::string payload = dir_.file("crash-payload.json");
  const std::string events = dir_.file("events.jsonl");
  writeFile(payload, manyExperiments(200));
  std::mt19937 random(12345);
  for (int round = 0; round < 12; ++round) {
    FILE* child = ::popen(("exec " + helperPath("orv_crash_helper") + " '" + dir_.path() +
                           "/data' '" + payload + "' '" + events + "'")
                              .c_str(),
                          "r");
    ASSERT_TRUE(child);
    // Every other round also waits for an event hand-over, so that kills land both
    // before and after hand-overs.
    const int killAfter = static_cast<int>(random() % 60);
    const bool afterAnEvent = round % 2 == 0;
    char line[256];
    int seen = 0, pid = 0;
    bool event = false;
    while (std::fgets(line, sizeof line, child)) {
      if (std::sscanf(line, "ready %d", &pid) == 1) continue;
      event = event || std::strcmp(line, "event\n") == 0;
      if (pid > 0 && (event || !afterAnEvent) && seen++ >= killAfter) break;
    }
    if (pid > 0) ::kill(pid, SIGKILL);
    ::pclose(child);
    ASSERT_GT(pid, 0) << "round " << round << ": the store or the cache did not open";
  }
  // Every experiment sent at most once, and every one sent is recorded.
  std::map<std::string, int> sent;
  std::istringstream lines(readFile(events));
  for (std::string line; std::getline(lines, line);) {
    auto parsed = OrvValue::parseJson(line);  // a line cut short by a kill does not parse
    if (parsed.ok()) ++sent[parsed.value["properties"]["#experiment_id"].stringValue()];
  }
  EXPECT_FALSE(sent.empty());
  auto table = OrvFeatureParser::parse(json(readFile(payload)));
  OrvExperimentStorage::initWithAppId("crash-app");
  for (const auto& [experiment, count] : sent) {
    EXPECT_EQ(count, 1) << experiment;
    const auto& info = table->at("k" + experiment.substr(1))->experimentInfo();
    EXPECT_TRUE(OrvExperimentStorage::getBoolForKey(info->recordKey(), false)) << experiment;
  }
}

TEST_F(FaultTest, AReadOnlyDataDirectoryIsReportedAndReadsKeepAnswering) {
  const std::string data = dir_.path() + "/data";
  std::filesystem::create_directories(data);
  // Unwritable even for root, through the immutable attribute.
  const bool root = ::geteuid() == 0;
  if (root ? runCommand("chattr +i '" + data + "' 2>&1") != 0 : ::chmod(data.c_str(), 0500) != 0)
    GTEST_SKIP() << "cannot make a directory read-only here";
  EventCapture events;
  LogCapture log;
  OrvExperiment::enableLog(true);
  startWithPayload(appId(), manyExperiments(3));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(OrvExperiment::getValueAsString("k0"), "v0");
  const bool drained = drainWorkQueue();
  OrvExperiment::enableLog(false);
  if (root) runCommand("chattr -i '" + data + "'");
  ASSERT_TRUE(drained);
  EXPECT_EQ(events.size(), 1u);  // deduplicated in memory although nothing persists
  EXPECT_EQ(log.countContaining("[ERROR] OrvUserDefaults"), 1);
  EXPECT_GE(log.countContaining("not cached"), 1);
}

TEST_F(FaultTest, AFullDiskIsReportedAndNothingIsSentTwice) {
  EventCapture events;
  LogCapture log;
  startWithPayload(appId(), manyExperiments(40));
  // From here on files may not grow past 48 KiB (EFBIG), as on a full disk.
  const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit saved{};
  ::getrlimit(RLIMIT_FSIZE, &saved);
  const rlimit limit{48 * 1024, saved.rlim_max};
  ::setrlimit(RLIMIT_FSIZE, &limit);
  for (int round = 0; round < 2; ++round)
    for (int i = 0; i < 40; ++i) OrvExperiment::getValueAsString("k" + std::to_string(i));
  const bool drained = drainWorkQueue();
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, oldHandler);
  ASSERT_TRUE(drained);
  EXPECT_EQ(events.size(), 40u);  // each once, although the store could not keep growing
  EXPECT_EQ(log.countContaining("[ERROR] OrvUserDefaults"), 1);
}

TEST_F(FaultTest, ReadersRacingReloadsSeeWholeTablesAndEachExposureIsSentOnce) {
  EventCapture events;
  const std::string app = appId();
  constexpr int kKeys = 60;
  startWithPayload(app, manyExperiments(kKeys, "a"));
  const auto held = OrvFeatureManager::sharedInstance().getFeature("k1", false);
  std::atomic<bool> stop{false};
  std::vector<std::thread> readers;
  for (int t = 0; t < 4; ++t) {
    readers.emplace_back([&, t] {
      for (int n = t; !stop; ++n) {
        const std::string value = OrvExperiment::getValueAsString("k" + std::to_string(n % kKeys));
        // Every value comes from one version of the payload or the other, never half.
        ASSERT_TRUE(value[0] == 'a' || value[0] == 'b') << value;
        ASSERT_EQ(value.substr(1), std::to_string(n % kKeys));
      }
    });
  }
  for (int i = 0; i < 20; ++i) {
    const std::string prefix = i % 2 == 0 ? "b" : "a";
    replacePayload(app, manyExperiments(kKeys, prefix));
    fetch();
    // The success listener ran after the reload: the new table is in place.
    EXPECT_EQ(OrvExperiment::getValueAsString("k0"), prefix + "0");
  }
  stop = true;
  for (auto& r : readers) r.join();
  ASSERT_TRUE(drainWorkQueue());
  EXPECT_EQ(events.size(), static_cast<std::size_t>(kKeys));
  EXPECT_EQ(held->value().stringValue(), "a1");  // a feature held keeps its value
}
