// Knowing what you read: readiness, detail reads, change listeners, periodic refresh.
#include <gtest/gtest.h>

#include "../external/remote_config/OrvRCInternal.h"
#include "LibraryFixture.h"
#include "ScriptedServer.h"
#include "payloads/OrvPayloadDirectory.h"
#include "server/OrvConfigServer.h"

using namespace orvtest;

// Readiness lives for the process, so each row runs in a fresh helper process; the rows
// share one data directory, so the first leaves a cache behind for the others.
TEST(Readiness, CacheAndFetchOutcomesInEveryCombination) {
  TempDir dir;
  writeFile(dir.file("payload.json"), R"({"color":"red"})");
  const std::string good = "file://" + dir.file("payload.json");
  const std::string bad = "file://" + dir.file("missing.json");
  const std::string before =
      "before " + std::to_string(static_cast<int>(OrvEvaluationReason::kNotReady)) + "\n";
  const std::string fileError = std::to_string(OrvRemoteConfig::kErrorFile);
  const std::pair<std::string, std::string> rows[] = {
      // no cache, fetch succeeds (and caches)
      {"ready " + dir.file("cached") + " " + good, before + "ready 0 1 red\n"},
      // cache, fetch fails: ready from the cache
      {"ready " + dir.file("cached") + " " + bad, before + "ready 0 1 red\n"},
      // cache, fetch succeeds
      {"ready " + dir.file("cached") + " " + good, before + "ready 0 1 red\n"},
      // neither: the fetch's failure
      {"ready " + dir.file("empty") + " " + bad, before + "ready " + fileError + " 0 \n"},
      // neither, then a fetch() that succeeds: the waiting task hears that too
      {"ready-later " + dir.file("later") + " " + dir.file("later.json"),
       "fetch 0 early " + fileError + " success\nready 1 late 0 red\n"},
  };
  for (const auto& [args, expected] : rows) {
    std::string out;
    ASSERT_EQ(runCommand(helperPath("orv_test_helper") + " " + args, 60, &out), 0) << args;
    EXPECT_EQ(out, expected) << args;
  }
}

class TableWatchTest : public LibraryTest {};

TEST_F(TableWatchTest, DetailReadsGiveTheReasonSourceAndMembershipPerKind) {
  startWithPayload(appId(), R"({"color":"red","n":"12","word":"abc","flag":true,"d":{"a":1},
    "experiment_detail":[{"#experiment_id":"7","#experiment_group_id":"g","bucket_id":3,
                          "#is_control_group":true,"#feature_list":["color"]}]})");
  using R = OrvEvaluationReason;
  const auto s = OrvExperiment::getStringDetail("color", "x");
  EXPECT_EQ(s.value + "/" + std::to_string(int(s.reason)) + "/" + std::to_string(int(s.source)),
            "red/" + std::to_string(int(R::kFound)) + "/" +
                std::to_string(int(OrvValueSource::kNetwork)));
  ASSERT_TRUE(s.experiment);
  EXPECT_EQ(s.experiment->experimentId.description() + s.experiment->groupId.description() +
                s.experiment->bucketId.description(),
            "7g3");
  EXPECT_TRUE(s.experiment->isControl);
  const struct {
    OrvEvaluationReason reason;
    std::string value;
  } rows[] = {
      {OrvExperiment::getStringDetail("nope", "x").reason,
       OrvExperiment::getStringDetail("nope", "x").value},
      {OrvExperiment::getNumberDetail("n").reason,
       OrvExperiment::getNumberDetail("n").value.description()},
      {OrvExperiment::getNumberDetail("word").reason,
       OrvExperiment::getNumberDetail("word").value.description()},
      {OrvExperiment::getBooleanDetail("flag").reason,
       OrvExperiment::getBooleanDetail("flag").value ? "1" : "0"},
      {OrvExperiment::getBooleanDetail("color", true).reason,
       OrvExperiment::getBooleanDetail("color", true).value ? "1" : "0"},
      {OrvExperiment::getJsonDetail("d").reason, OrvExperiment::getJsonDetail("d").value.toJson()},
      {OrvExperiment::getJsonDetail("n").reason, OrvExperiment::getJsonDetail("n").value.toJson()},
  };
  const std::pair<R, std::string> expected[] = {
      {R::kMissingKey, "x"}, {R::kFound, "12"},         {R::kWrongType, "0"}, {R::kFound, "1"},
      {R::kWrongType, "1"},  {R::kFound, R"({"a":1})"}, {R::kWrongType, "{}"}};
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    EXPECT_EQ(rows[i].reason, expected[i].first) << i;
    EXPECT_EQ(rows[i].value, expected[i].second) << i;
  }
}

TEST_F(TableWatchTest, ChangeListenersHearTheKeysThatDifferAndNothingAfterA304) {
  const std::string app = appId();
  OrvConfigServer server(dir_.path());
  ASSERT_TRUE(server.start());
  const std::string payload = OrvPayloadDirectory::payloadPath(dir_.path(), app, "ki_feature");
  std::filesystem::create_directories(dir_.file(app));
  // Each row is a payload fetched in turn (the same one again is a 304): features, and
  // the membership of feature "m", then the keys the listener hears of it.
  const std::string before = R"("same":1,"gone":1,"value":1)";
  const std::string after = R"("same":1,"value":2,"added":1)";
  const struct {
    std::string features, experiment, group;
    int bucket;
    bool control;
    std::vector<std::string> heard;
  } rows[] = {
      {before, "a", "g", 1, false, {}},  // the start-up's payload
      {before, "a", "g", 1, false, {}},
      {after, "b", "g", 1, false, {"added", "gone", "m", "value"}},
      {after, "b", "g", 1, false, {}},
      {after, "b", "h", 1, false, {"m"}},  // the group alone
      {after, "b", "h", 2, false, {"m"}},  // the bucket alone
      {after, "b", "h", 2, true, {"m"}},   // the control flag alone
  };
  const auto write = [&](const auto& row) {
    writeFile(payload,
              "{" + row.features + R"(,"m":1,"experiment_detail":[{"#feature_list":["m"],)" +
                  R"("#experiment_id":")" + row.experiment + R"(","#experiment_group_id":")" +
                  row.group + R"(","bucket_id":)" + std::to_string(row.bucket) +
                  R"(,"#is_control_group":)" + (row.control ? "true" : "false") + "}]}");
  };
  write(rows[0]);
  ASSERT_EQ(start(OrvExperimentConfig::create(app, server.url()))->done.count(), 1);
  std::mutex mutex;
  std::vector<std::vector<std::string>> heard;
  const auto id = OrvExperiment::addChangeListener([&](const std::vector<std::string>& keys) {
    std::lock_guard lock(mutex);
    heard.push_back(keys);
  });
  for (std::size_t i = 1; i < std::size(rows); ++i) {
    write(rows[i]);
    EXPECT_EQ(fetch()->successes, 1) << i;
    ASSERT_TRUE(drainMainQueue());
    std::lock_guard lock(mutex);
    EXPECT_EQ(heard, rows[i].heard.empty() ? decltype(heard){} : decltype(heard){rows[i].heard})
        << i;
    heard.clear();
  }
  OrvExperiment::removeChangeListener(id);
}

TEST_F(TableWatchTest, RefreshBacksOffHonoursRetryAfterAndReachesChangeListenersOnly) {
  orvRCSetRefreshTimeScaleForTesting(0.005);  // 30 s runs as 150 ms
  ScriptedServer server;
  std::mutex mutex;
  std::vector<std::chrono::steady_clock::time_point> arrivals;
  server.answer([&](const httplib::Request&, httplib::Response& res) {
    std::size_t n;
    {
      std::lock_guard lock(mutex);
      n = arrivals.size();
      arrivals.push_back(std::chrono::steady_clock::now());
    }
    if (n == 1) res.status = 500;  // back-off: 300 ms
    if (n == 2) {
      res.status = 503;  // Retry-After 200 s: 1 s, more than the back-off's 600 ms
      res.set_header("Retry-After", "200");
    }
    if (n == 1 || n == 2) return;
    res.set_content(n == 0 ? R"({"v":1})" : R"({"v":2})", "application/json");
  });
  Signal changed;
  const auto id = OrvExperiment::addChangeListener([&](const auto&) { changed.notify(); });
  auto config = OrvExperimentConfig::create(appId(), server.url());
  config->setRefreshInterval(std::chrono::seconds(30));
  const auto startup = start(config);
  ASSERT_TRUE(changed.waitFor(2));  // the start-up load, then the refresh that brought v=2
  EXPECT_EQ(OrvExperiment::getValueAsNumber("v").int64Value(), 2);
  OrvExperiment::removeChangeListener(id);
  orvRCSetRefreshTimeScaleForTesting(1.0);
  std::lock_guard lock(mutex);
  ASSERT_GE(arrivals.size(), 4u);
  EXPECT_GE(arrivals[2] - arrivals[1], std::chrono::milliseconds(250));
  EXPECT_GE(arrivals[3] - arrivals[2], std::chrono::milliseconds(950));
  EXPECT_EQ(startup->successes + startup->failures, 1);  // refreshes never reach it
}

// The first table from a payload is news in every key, also in keys an overrides-only
// table held before it with the same value: a listener that builds its screen from the
// keys it hears must hear them all once.
TEST_F(TableWatchTest, TheFirstTableFromAPayloadReportsEveryKeyEvenOnesOverridesHeldBefore) {
  if (OrvExperiment::isReady())
    GTEST_SKIP() << "readiness belongs to the process; ctest runs this test in its own";
  const std::string app = appId();
  auto config = OrvExperimentConfig::create(app, "file://" + dir_.file(app + ".json"));
  config->setOverrides(json(R"({"color":"purple"})"));
  EXPECT_EQ(start(config)->failures, 1);  // no payload yet: a table of the override alone
  ASSERT_TRUE(drainWorkQueue());
  EXPECT_EQ(OrvExperiment::getValueAsString("color"), "purple");
  ASSERT_FALSE(OrvExperiment::isReady());
  std::mutex mutex;
  std::vector<std::vector<std::string>> heard;
  const auto id = OrvExperiment::addChangeListener([&](const std::vector<std::string>& keys) {
    std::lock_guard lock(mutex);
    heard.push_back(keys);
  });
  replacePayload(app, R"({"color":"red","x":1})");
  EXPECT_EQ(fetch()->successes, 1);
  ASSERT_TRUE(drainMainQueue());
  OrvExperiment::removeChangeListener(id);
  std::lock_guard lock(mutex);
  EXPECT_EQ(heard, (std::vector<std::vector<std::string>>{{"color", "x"}}));
}
