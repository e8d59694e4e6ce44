#include <gtest/gtest.h>

#include <sstream>
#include <thread>

#include "OrvMediator.h"
#include "TestSupport.h"

using namespace orvtest;
using Names = std::vector<std::string>;

namespace {

// A sink for the scope of a test, collecting event names; every test leaves the
// mediator without sinks. Sinks run inside the track call.
struct Sink {
  explicit Sink(OrvMediator::Sink sink = nullptr)
      : id(OrvMediator::sharedInstance()->addEventSink(
            sink ? std::move(sink) : [this](const OrvMediatorEvent& e) { events.push_back(e); })) {}
  ~Sink() { OrvMediator::sharedInstance()->removeEventSink(id); }
  Names names() const {
    Names out;
    for (const auto& e : events) out.push_back(e.name);
    return out;
  }
  std::vector<OrvMediatorEvent> events;
  std::uint64_t id;
};

void track(const std::string& name, const std::string& id = "x") {
  OrvMediator::sharedInstance()->orvAnalyticsTrackEvent(
      name, json(R"({"#experiment_id":")" + id + "\"}"), "");
}

}  // namespace

TEST(OrvMediator, BuffersTheNewestEventsUntilTheFirstSinkThenDeliversInOrderToEverySink) {
  const auto before = std::chrono::system_clock::now();
  const std::size_t total = OrvMediator::kMaxBufferedEvents + 2;
  for (std::size_t i = 0; i < total; ++i) track("e" + std::to_string(i));
  {
    Sink first;
    ASSERT_EQ(first.events.size(), OrvMediator::kMaxBufferedEvents);
    EXPECT_EQ(first.events.front().name, "e2");  // the oldest two were dropped
    EXPECT_GE(first.events.front().time, before);
    EXPECT_EQ(first.events.front().appId, "");
    EXPECT_EQ(first.events.front().properties, json(R"({"#experiment_id":"x"})"));
    Sink thrower([](const OrvMediatorEvent&) { throw std::runtime_error("sink failure"); });
    Sink other;
    track("live");
    EXPECT_EQ(first.names().back(), "live");
    EXPECT_EQ(other.names(), Names{"live"});
  }
  track("after-removal");  // buffered again: no sink is left
  Sink late;
  EXPECT_EQ(late.names(), Names{"after-removal"});
}

TEST(OrvMediator, JsonLinesSinkWritesOneObjectPerLineFromManyThreads) {
  TempDir dir;
  {
    Sink sink(OrvMediator::jsonLinesFileSink(dir.file("events.jsonl")));
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
    EXPECT_EQ(v["name"].stringValue() + "/" + v["app_id"].toJson(), "zu_experiment_exposure/\"\"");
    EXPECT_EQ(v["time"].stringValue().size(), 24u) << line;  // 2026-12-06T07:24:54.123Z
    EXPECT_EQ(v["properties"]["#experiment_id"].stringValue()[0], 't');
  }
  EXPECT_EQ(count, 200);
}
