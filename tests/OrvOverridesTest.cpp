// Local overrides and the config fetch's own settings in real starts: against the
// reference server and a scripted one, with the exposure store on disk.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "LibraryFixture.h"
#include "OrvExperiment/OrvExperiment.h"
#include "ScriptedServer.h"

namespace {

using namespace orvtest;

const std::string kPayload = fixture("overrides-payload.json");

using OrvOverridesTest = LibraryTest;

TEST_F(OrvOverridesTest, AnOverriddenExperimentFeatureSendsNoExposureAndSaysWhy) {
  const std::string app = appId();
  serve(app, kPayload);
  EventCapture events;
  orvtest::LogCapture log;
  auto config = OrvExperimentConfig::create(app, server().url());
  ASSERT_TRUE(config->setOverrides(json(R"({"color": "pink"})")));
  ASSERT_EQ(start(config)->successes, 1);
  auto color = OrvExperiment::getStringDetail("color");
  EXPECT_EQ(color.value, "pink");
  EXPECT_EQ(color.source, OrvValueSource::kOverride);
  EXPECT_FALSE(color.experiment);
  EXPECT_EQ(OrvExperiment::getNumberDetail("size").source, OrvValueSource::kNetwork);
  ASSERT_TRUE(OrvExperiment::flush(orvtest::kWait));
  ASSERT_EQ(events.size(), 1u);  // the size experiment only
  EXPECT_EQ(events.events()[0].properties["#experiment_id"], OrvValue("sizes"));
  EXPECT_EQ(log.countContaining("color : Overridden locally, not an experiment assignment"), 1);

  // The snapshot lists every feature with its source and membership, and exposes none.
  auto snapshot = OrvExperiment::getSnapshot();
  ASSERT_EQ(snapshot.size(), 3u);
  EXPECT_EQ(snapshot[0].key, "color");
  EXPECT_EQ(snapshot[0].source, OrvValueSource::kOverride);
  EXPECT_EQ(snapshot[1].key, "size");
  ASSERT_TRUE(snapshot[1].experiment);
  EXPECT_EQ(snapshot[1].experiment->groupId, OrvValue("A"));
  EXPECT_EQ(snapshot[2].value, OrvValue("Hi"));
  EXPECT_EQ(OrvExperiment::getKeys(), (std::vector<std::string>{"color", "size", "title"}));
  ASSERT_TRUE(OrvExperiment::flush(orvtest::kWait));
  EXPECT_EQ(events.size(), 1u);
}

TEST_F(OrvOverridesTest, LocalOnlyNeverAsksTheServerNorTouchesTheDisk) {
  ScriptedServer server;
  std::atomic<int> requests{0};
  server.answer([&](const httplib::Request&, httplib::Response& res) {
    ++requests;
    res.set_content(kPayload, "application/json");
  });
  const std::string file = dir_.file("overrides.json");
  orvtest::writeFile(file, R"({"color": "blue"})");
  // The fixture's event sink has the outbox open: nothing may join it.
  auto files = [&] {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path() + "/data"))
      names.insert(entry.path().filename().string());
    return names;
  };
  const std::set<std::string> before = files();
  auto config = OrvExperimentConfig::create(appId(), server.url());
  config->setOverrideMode(OrvOverrideMode::kLocalOnly);
  config->setOverridesFile(file);
  ASSERT_TRUE(config->setOverrides(json(R"({"limit": 3})")));
  ASSERT_EQ(start(config)->successes, 1);
  EXPECT_TRUE(OrvExperiment::isReady());
  EXPECT_EQ(OrvExperiment::getKeys(), (std::vector<std::string>{"color", "limit"}));
  auto limit = OrvExperiment::getNumberDetail("limit");
  EXPECT_EQ(limit.value, OrvValue(3));
  EXPECT_EQ(limit.source, OrvValueSource::kOverride);

  // fetch() reads the overrides again instead of asking anyone.
  orvtest::writeFile(file, R"({"color": "black"})");
  EXPECT_EQ(fetch()->successes, 1);
  EXPECT_EQ(OrvExperiment::getValueAsString("color"), "black");
  OrvExperiment::exposure("color");
  ASSERT_TRUE(OrvExperiment::flush(orvtest::kWait));
  EXPECT_EQ(requests.load(), 0);
  EXPECT_EQ(files(), before);

  // A later start without the file keeps none of its entries.
  auto next = OrvExperimentConfig::create(appId("-next"), server.url());
  next->setOverrideMode(OrvOverrideMode::kLocalOnly);
  ASSERT_TRUE(next->setOverrides(json(R"({"limit": 4})")));
  ASSERT_EQ(start(next)->successes, 1);
  EXPECT_EQ(OrvExperiment::getKeys(), (std::vector<std::string>{"limit"}));
}

TEST_F(OrvOverridesTest, RequestHeadersReachTheServerAndTimeoutsApply) {
  ScriptedServer server;
  std::mutex mutex;
  std::string authorization, custom;
  Signal stallReleased;
  std::atomic<bool> stall{false};
  server.answer([&](const httplib::Request& req, httplib::Response& res) {
    if (stall) {
      stallReleased.waitFor(1);
      return;
    }
    std::lock_guard lock(mutex);
    authorization = req.get_header_value("Authorization");
    custom = req.get_header_value("X-Tenant");
    res.set_content(kPayload, "application/json");
  });
  auto config = OrvExperimentConfig::create(appId(), server.url());
  EXPECT_FALSE(config->setRequestHeaders({{"Bad Name", "x"}}));
  EXPECT_FALSE(config->setRequestHeaders({{"X-Evil", "a\r\nInjected: yes"}}));
  EXPECT_FALSE(config->setRequestHeaders({{"content-type", "text/plain"}}));
  ASSERT_TRUE(config->setRequestHeaders({{"Authorization", "Bearer t0ken"}, {"X-Tenant", "se"}}));
  EXPECT_FALSE(config->setRequestHeaders({{"X-Tenant", std::string("a\0b", 3)}}));
  EXPECT_EQ(config->requestHeaders().size(), 2u);  // a refusal keeps what was set
  ASSERT_EQ(start(config)->successes, 1);
  {
    std::lock_guard lock(mutex);
    EXPECT_EQ(authorization, "Bearer t0ken");
    EXPECT_EQ(custom, "se");
  }

  stall = true;
  auto stalled = OrvExperimentConfig::create(appId("-stalled"), server.url());
  EXPECT_FALSE(stalled->setRequestTimeout(std::chrono::milliseconds(0)));
  ASSERT_TRUE(stalled->setRequestTimeout(std::chrono::milliseconds(200)));
  auto outcome = start(stalled);
  stallReleased.notify();
  EXPECT_EQ(outcome->failures, 1);
  EXPECT_EQ(outcome->code, OrvRemoteConfig::kErrorTimeout);
}

}  // namespace
