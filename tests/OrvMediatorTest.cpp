#include <gtest/gtest.h>

#include <sstream>
#include <thread>

#include "OrvMediator.h"
#include "TestSupport.h"

using namespace orvtest;

namespace {

// Collects the names of the events a sink receives, for the scope of a test; every
// test leaves the mediator without sinks.
struct Collected {
  explicit Collected(OrvMediator::Sink sink = nullptr)
      : id(OrvMediator::sharedInstance()->addEventSink(sink ? std::move(sink)
                                                            : [this](const OrvMediatorEvent& e) {
                                                                std::lock_guard lock(mutex);
                                                                events.push_back(e);
                                                              })) {}
  ~Collected() { OrvMediator::sharedInstance()->removeEventSink(id); }
  std::vector<std::string> names() {
    std::lock_guard lock(mutex);
    std::vector<std::string> out;
    for (const auto& e : events) out.push_back(e.name);
    return out;
  }
  std::mutex mutex;
  std::vector<OrvMediatorEvent> events;
  std::uint64_t id;
};

void track(const std::string& name, const std::string& id = "x") {
  OrvMediator::sharedInstance()->orvAnalyticsTrackEvent(
      name, json(R"({"#experiment_id":")" + id + "\"}"), "");
}

}  // namespace

TEST(OrvMediator, BuffersUntilTheFirstSinkThenDeliversInOrderToEverySink) {
  const auto before = std::chrono::system_clock::now();
  track("e1");
  track("e2");
  std::vector<std::string> second;
  {
    Collected first;
    EXPECT_EQ(first.names(), (std::vector<std::string>{"e1", "e2"}));
    Collected thrower([](const OrvMediatorEvent&) { throw std::runtime_error("sink failure"); });
    Collected other;
    track("e3");
    EXPECT_EQ(first.names(), (std::vector<std::string>{"e1", "e2", "e3"}));
    EXPECT_EQ(other.names(), (std::vector<std::string>{"e3"}));
    EXPECT_GE(first.events[0].time, before);
    EXPECT_EQ(first.events[0].appId, "");
    EXPECT_EQ(first.events[0].properties, json(R"({"#experiment_id":"x"})"));
  }
  track("after-removal");  // buffered again: no sink is left
  Collected late;
  EXPECT_EQ(late.names(), (std::vector<std::string>{"after-removal"}));
}

TEST(OrvMediator, TheBufferKeepsTheNewestEvents) {
  const std::size_t extra = 5, total = OrvMediator::kMaxBufferedEvents + extra;
  for (std::size_t i = 0; i < total; ++i) track("e" + std::to_string(i));
  Collected c;
  auto names = c.names();
  ASSERT_EQ(names.size(), OrvMediator::kMaxBufferedEvents);
  EXPECT_EQ(names.front(), "e" + std::to_string(extra));
  EXPECT_EQ(names.back(), "e" + std::to_string(total - 1));
}

TEST(OrvMediator, JsonLinesSinkWritesOneObjectPerLineFromManyThreads) {
  TempDir dir;
  {
    Collected sink(OrvMediator::jsonLinesFileSink(dir.file("events.jsonl")));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([t] {
        for (int i = 0; i < 50; ++i) track("zu_experiment_exposure", "t" + std::to_string(t));
      });
    }
    for (auto& th : threads) th.join();
  }
  std::istringstream lines(readFile(dir.file("events.jsonl")));
  int count = 0;
  for (std::string line; std::getline(lines, line); ++count) {
    OrvValue v = json(line);
    EXPECT_EQ(v["name"].stringValue(), "zu_experiment_exposure");
    EXPECT_EQ(v["app_id"], OrvValue(""));
    EXPECT_EQ(v["time"].stringValue().size(), 24u) << line;  // 2026-12-06T07:24:54.123Z
    EXPECT_EQ(v["properties"]["#experiment_id"].stringValue()[0], 't');
  }
  EXPECT_EQ(count, 200);
}
