#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <thread>

#include "OrvExperiment/OrvPlatform.h"
#include "OrvMediator.h"
#include "TestSupport.h"

using namespace orvtest;

namespace {

// Registers a sink for the scope of a test; every test leaves the mediator sink-less.
class ScopedSink {
 public:
  explicit ScopedSink(OrvMediator::Sink sink)
      : id_(OrvMediator::sharedInstance()->addEventSink(std::move(sink))) {}
  ~ScopedSink() { OrvMediator::sharedInstance()->removeEventSink(id_); }

 private:
  std::uint64_t id_;
};

struct Collected {
  std::mutex mutex;
  std::vector<OrvMediatorEvent> events;
  OrvMediator::Sink sink() {
    return [this](const OrvMediatorEvent& e) {
      std::lock_guard lock(mutex);
      events.push_back(e);
    };
  }
  std::vector<std::string> names() {
    std::lock_guard lock(mutex);
    std::vector<std::string> out;
    for (const auto& e : events) out.push_back(e.name);
    return out;
  }
};

void track(const std::string& name) {
  OrvMediator::sharedInstance()->orvAnalyticsTrackEvent(
      name, json(R"({"#is_control_group":false})"), "app");
}

// Each test's outbox lives in a data directory of its own.
class OrvMediatorTest : public ::testing::Test {
 protected:
  void SetUp() override { OrvPlatform::setDataDirectory(dir_.path()); }
  void TearDown() override {
    OrvMediator::setOutboxLimit(100'000);
    OrvPlatform::setDataDirectory("");
  }
  TempDir dir_;
};

}  // namespace

TEST_F(OrvMediatorTest, WaitsInTheOutboxUntilASinkThenDeliversInOrderToEverySink) {
  const auto before = std::chrono::system_clock::now() - std::chrono::milliseconds(1);
  track("e1");
  track("e2");
  EXPECT_EQ(OrvMediator::sharedInstance()->pendingEventCount(), 2u);
  Collected first;
  Collected second;
  {
    ScopedSink a(first.sink());
    EXPECT_EQ(first.names(), (std::vector<std::string>{"e1", "e2"}));
    ScopedSink thrower([](const OrvMediatorEvent&) { throw std::runtime_error("sink failure"); });
    ScopedSink b(second.sink());
    track("e3");
    EXPECT_EQ(first.names(), (std::vector<std::string>{"e1", "e2", "e3"}));
    EXPECT_EQ(second.names(), (std::vector<std::string>{"e3"}));
    EXPECT_EQ(OrvMediator::sharedInstance()->pendingEventCount(), 0u);
  }
  track("after-removal");  // waits again, since no sink is left
  EXPECT_EQ(first.names().size(), 3u);
  {
    std::lock_guard lock(first.mutex);
    EXPECT_GE(first.events[0].time, before);
    EXPECT_EQ(first.events[0].appId, "app");
    EXPECT_FALSE(first.events[0].properties["#is_control_group"].boolValue());
    std::set<std::string> ids;
    for (const auto& e : first.events) ids.insert(e.eventId);
    EXPECT_EQ(ids.size(), 3u);
    EXPECT_EQ(first.events[0].eventId.size(), 36u) << first.events[0].eventId;
  }
  Collected drain;
  ScopedSink d(drain.sink());
  EXPECT_EQ(drain.names(), (std::vector<std::string>{"after-removal"}));
}

TEST_F(OrvMediatorTest, EventsOfADeadProcessAreDeliveredOnceHereAndTheFileSinkNeverRepeatsAnId) {
  // Another process stores events with no sink and exits: they wait in its outbox rows.
  ASSERT_EQ(runCommand(helperPath("orv_store_helper") + " " + dir_.path() + " track gone 3"), 0);
  const std::string path = dir_.file("events.jsonl");
  Collected seen;
  {
    OrvMediator::Sink collect = seen.sink();
    OrvMediator::Sink file = OrvMediator::jsonLinesFileSink(path);
    ScopedSink both([&](const OrvMediatorEvent& e) {
      collect(e);
      file(e);
    });
  }
  ASSERT_EQ(seen.names(), (std::vector<std::string>{"e0", "e1", "e2"}));
  EXPECT_EQ(seen.events[0].appId, "gone");
  EXPECT_EQ(OrvMediator::sharedInstance()->pendingEventCount(), 0u);
  // A redelivery of the same events (as after a crash before they were removed) to a
  // new file sink over the same file writes nothing.
  const std::string written = readFile(path);
  OrvMediatorEvent fresh = seen.events[0];
  fresh.eventId = "another-id";
  {
    auto again = OrvMediator::jsonLinesFileSink(path);
    for (const auto& e : seen.events) again(e);
    again(fresh);
  }
  EXPECT_EQ(readFile(path), written + fresh.toJson() + "\n");
}

TEST_F(OrvMediatorTest, AFullOutboxDropsTheOldestAndCountsThem) {
  OrvMediator::setOutboxLimit(5);
  const std::uint64_t droppedBefore = OrvMediator::droppedEventCount();
  for (int i = 0; i < 8; ++i) track("e" + std::to_string(i));
  EXPECT_EQ(OrvMediator::droppedEventCount() - droppedBefore, 3u);
  Collected c;
  ScopedSink s(c.sink());
  EXPECT_EQ(c.names(), (std::vector<std::string>{"e3", "e4", "e5", "e6", "e7"}));
}

TEST_F(OrvMediatorTest, JsonLinesSinkWritesOneObjectPerLineFromManyThreads) {
  const std::string path = dir_.file("events.jsonl");
  {
    ScopedSink s(OrvMediator::jsonLinesFileSink(path));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([t] {
        for (int i = 0; i < 50; ++i) {
          OrvMediator::sharedInstance()->orvAnalyticsTrackEvent(
              "zu_experiment_exposure", json("{\"#experiment_id\":\"t" + std::to_string(t) + "\"}"),
              "app");
        }
      });
    }
    for (auto& th : threads) th.join();
  }
  std::istringstream lines(readFile(path));
  std::string line;
  std::set<std::string> ids;
  while (std::getline(lines, line)) {
    OrvValue v = json(line);
    ASSERT_TRUE(v.isDictionary()) << line;
    EXPECT_EQ(v["name"].stringValue(), "zu_experiment_exposure");
    EXPECT_EQ(v["app_id"].stringValue(), "app");
    EXPECT_EQ(v["time"].stringValue().size(), 24u) << line;  // 2026-12-06T07:24:54.123Z
    EXPECT_EQ(v["properties"]["#experiment_id"].stringValue().substr(0, 1), "t");
    ids.insert(v["event_id"].stringValue());
  }
  EXPECT_EQ(ids.size(), 200u);
}
