// The mediator and its durable outbox, in a data directory of each test's own.
#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "LibraryFixture.h"
#include "OrvExperiment/OrvPlatform.h"
#include "OrvMediator.h"
#include "platform/storage/OrvEventOutbox.h"
#include "platform/storage/OrvUserDefaults.h"

using namespace orvtest;
using Strings = std::vector<std::string>;

namespace {

void track(const std::string& name) {
  OrvMediator::sharedInstance()->orvAnalyticsTrackEvent(
      name, json(R"({"#is_control_group":false})"), "app");
}

class OrvMediatorTest : public ::testing::Test {
 protected:
  void SetUp() override { OrvPlatform::setDataDirectory(dir_.path()); }
  void TearDown() override {
    OrvMediator::setOutboxLimit(100'000);
    OrvEventOutbox::setOrphanScanInterval(std::chrono::seconds(30));
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
  {
    EventCapture first;
    EXPECT_EQ(first.names(), (Strings{"e1", "e2"}));
    const auto thrower = OrvMediator::sharedInstance()->addEventSink(
        [](const OrvMediatorEvent&) { throw std::runtime_error("sink failure"); });
    EventCapture second;
    track("e3");
    OrvMediator::sharedInstance()->removeEventSink(thrower);
    EXPECT_EQ(first.names(), (Strings{"e1", "e2", "e3"}));
    EXPECT_EQ(second.names(), (Strings{"e3"}));
    EXPECT_EQ(OrvMediator::sharedInstance()->pendingEventCount(), 0u);
    const auto e = first.events();
    EXPECT_GE(e[0].time, before);
    EXPECT_EQ(e[0].appId, "app");
    EXPECT_EQ((std::set<std::string>{e[0].eventId, e[1].eventId, e[2].eventId}).size(), 3u);
    EXPECT_EQ(e[0].eventId.size(), 36u) << e[0].eventId;
  }
  track("after-removal");  // waits again, since no sink is left
  EventCapture drain;
  EXPECT_EQ(drain.names(), (Strings{"after-removal"}));
}

TEST_F(OrvMediatorTest, EventsOfADeadProcessAreDeliveredOnceHereAndTheFileSinkNeverRepeatsAnId) {
  // Another process stores events with no sink and exits: they wait in its outbox rows.
  ASSERT_EQ(runCommand(helperPath("orv_test_helper") + " store " + dir_.path() + " track gone 3"),
            0);
  const std::string path = dir_.file("events.jsonl");
  std::vector<OrvMediatorEvent> seen;
  {
    OrvMediator::Sink file = OrvMediator::jsonLinesFileSink(path);
    const auto id = OrvMediator::sharedInstance()->addEventSink([&](const OrvMediatorEvent& e) {
      seen.push_back(e);
      file(e);
    });
    OrvMediator::sharedInstance()->removeEventSink(id);
  }
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[2].name + "/" + seen[2].appId, "e2/gone");
  EXPECT_EQ(OrvMediator::sharedInstance()->pendingEventCount(), 0u);
  // A redelivery of the same events (as after a crash before they were removed), to a
  // new sink over the same file, writes nothing; a new eventId is written.
  const std::string written = readFile(path);
  OrvMediatorEvent fresh = seen[0];
  fresh.eventId = "another-id";
  auto again = OrvMediator::jsonLinesFileSink(path);
  for (const auto& e : seen) again(e);
  again(fresh);
  EXPECT_EQ(readFile(path), written + fresh.toJson() + "\n");
}

// A process that died with events undelivered: a process with a sink delivers them
// within the orphan-scan interval although it stores nothing of its own.
TEST_F(OrvMediatorTest, WhatADeadProcessLeftIsDeliveredHereWithoutAnythingOfOurOwn) {
  OrvEventOutbox::setOrphanScanInterval(std::chrono::milliseconds(100));
  EventCapture sink;
  ASSERT_EQ(runCommand(helperPath("orv_test_helper") + " store " + dir_.path() + " track gone 3"),
            0);
  ASSERT_TRUE(sink.arrived.waitFor(3));
  EXPECT_EQ(sink.names(), (Strings{"e0", "e1", "e2"}));
}

TEST_F(OrvMediatorTest, AFullOutboxDropsTheOldestWithOneLinePerEpisodeAndCountsThem) {
  LogCapture log;
  OrvUserDefaults::setLogChannel(&OrvExpLog::channel());  // as the library sets it
  OrvMediator::setOutboxLimit(5);
  const std::uint64_t droppedBefore = OrvMediator::droppedEventCount();
  for (int i = 0; i < 8; ++i) track("e" + std::to_string(i));
  EXPECT_EQ(OrvMediator::droppedEventCount() - droppedBefore, 3u);
  {
    EventCapture c;
    EXPECT_EQ(c.names(), (Strings{"e3", "e4", "e5", "e6", "e7"}));
  }
  for (int i = 0; i < 7; ++i) track("f" + std::to_string(i));  // a second episode
  EventCapture c;
  EXPECT_EQ(log.countContaining("[ERROR] OrvEventOutbox: more than 5 events waiting"), 2);
  EXPECT_EQ(log.countContaining("room again; 3 events were dropped"), 1);
  EXPECT_EQ(log.countContaining("room again; 2 events were dropped"), 1);
}

// Dead letters are bounded too: past 10,000 the oldest go (counted, with one line), the
// newest stay, in the order they were refused.
TEST_F(OrvMediatorTest, DeadLettersPastTheirLimitDropTheOldestAndCountThem) {
  LogCapture log;
  OrvUserDefaults::setLogChannel(&OrvExpLog::channel());
  constexpr std::size_t kOver = 3, kLimit = 10'000;
  std::vector<OrvOutboxEvent> events(kLimit + kOver);
  for (std::size_t i = 0; i < events.size(); ++i) {
    events[i].name = "d" + std::to_string(i);
    events[i].consumer = "collector";
  }
  auto outbox = OrvEventOutbox::forDirectory(dir_.path());
  outbox->append(events);
  const std::uint64_t droppedBefore = OrvMediator::droppedEventCount();
  // Refused in two rounds: the first fills the dead letters exactly, the second overflows.
  for (const std::size_t round : {kLimit, kOver}) {
    const auto batch = outbox->pending(round, "collector");
    ASSERT_EQ(batch.size(), round);
    ASSERT_TRUE(outbox->deadLetter(batch, 400, "refused"));
  }
  EXPECT_EQ(OrvMediator::droppedEventCount() - droppedBefore, kOver);
  const auto letters = outbox->deadLetters(2 * kLimit);
  ASSERT_EQ(letters.size(), kLimit);
  EXPECT_EQ(letters.front().event.name, "d" + std::to_string(kOver));
  EXPECT_EQ(letters.back().event.name, "d" + std::to_string(kLimit + kOver - 1));
  EXPECT_EQ(log.countContaining("more than 10000 dead letters; dropped the oldest 3"), 1);
  EXPECT_EQ(outbox->size(), 0u);
}

// A backlog of megabytes, delivered: the file and its write-ahead log shrink back.
TEST_F(OrvMediatorTest, ADrainedBacklogGivesItsSpaceBackToTheFileSystem) {
  std::vector<OrvOutboxEvent> backlog(4000);
  for (auto& e : backlog) {
    e.name = "backlog";
    e.properties = OrvValue::dictionary({{"padding", OrvValue(std::string(1000, 'x'))}});
  }
  OrvEventOutbox::forDirectory(dir_.path())->append(backlog);
  const auto bytes = [&] {
    std::size_t total = 0;
    for (const char* suffix : {"", "-wal"})
      total += readFile(dir_.file("orv_defaults.sqlite3") + suffix).size();
    return total;
  };
  const std::size_t full = bytes();
  EXPECT_GT(full, 4u << 20);
  EventCapture drain;
  EXPECT_EQ(drain.events().size(), 4000u);
  EXPECT_LT(bytes(), 1u << 20) << "from " << full;
}

TEST_F(OrvMediatorTest, JsonLinesSinkWritesOneObjectPerLineFromManyThreads) {
  const std::string path = dir_.file("events.jsonl");
  const auto id = OrvMediator::sharedInstance()->addEventSink(OrvMediator::jsonLinesFileSink(path));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 50; ++i) track("zu_experiment_exposure");
    });
  }
  for (auto& th : threads) th.join();
  OrvMediator::sharedInstance()->removeEventSink(id);
  std::istringstream lines(readFile(path));
  std::set<std::string> ids;
  for (std::string line; std::getline(lines, line);) {
    OrvValue v = json(line);
    EXPECT_EQ(v["name"].stringValue() + "/" + v["app_id"].stringValue(),
              "zu_experiment_exposure/app");
    EXPECT_EQ(v["time"].stringValue().size(), 24u) << line;  // 2026-12-06T07:24:54.123Z
    ids.insert(v["event_id"].stringValue());
  }
  EXPECT_EQ(ids.size(), 200u);
}

// Event ids are version-7 UUIDs: the time they were made (milliseconds) leads, so ids
// made in turn sort in turn across clock ticks, and the random rest keeps ids made in the
// same millisecond apart.
TEST(EventIds, AreVersionSevenUuidsThatSortInTheOrderMadeAndNeverRepeat) {
  const auto hexTime = [](const std::string& id) {
    return std::stoull(id.substr(0, 8) + id.substr(9, 4), nullptr, 16);
  };
  std::set<std::string> seen;
  std::string previous;
  for (int i = 0; i < 20'000; ++i) {
    const std::int64_t before = OrvEventOutbox::nowMs();
    const std::string id = OrvEventOutbox::newEventId();
    const std::int64_t after = OrvEventOutbox::nowMs();
    ASSERT_EQ(id.size(), 36u) << id;
    ASSERT_EQ(id[14], '7') << id;
    ASSERT_NE(std::string("89ab").find(id[19]), std::string::npos) << id;
    ASSERT_TRUE(id[8] == '-' && id[13] == '-' && id[18] == '-' && id[23] == '-') << id;
    ASSERT_GE(hexTime(id), static_cast<std::uint64_t>(before)) << id;
    ASSERT_LE(hexTime(id), static_cast<std::uint64_t>(after)) << id;
    if (!previous.empty() && hexTime(id) > hexTime(previous)) {
      ASSERT_GT(id, previous);
    }
    ASSERT_TRUE(seen.insert(id).second) << id;
    previous = id;
  }
}
