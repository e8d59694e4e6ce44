#include <gtest/gtest.h>

#include <atomic>
#include <sstream>
#include <thread>

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
  OrvMediator::sharedInstance()->orvAnalyticsTrackEvent(name,
                                                        json(R"({"#is_control_group":false})"), "");
}

}  // namespace

TEST(OrvMediator, BuffersUntilTheFirstSinkThenDeliversInOrderToEverySink) {
  const auto before = std::chrono::system_clock::now();
  track("e1");
  track("e2");
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
  }
  track("after-removal");  // buffered again, since no sink is left
  EXPECT_EQ(first.names().size(), 3u);
  {
    std::lock_guard lock(first.mutex);
    EXPECT_GE(first.events[0].time, before);
    EXPECT_EQ(first.events[0].appId, "");
    EXPECT_FALSE(first.events[0].properties["#is_control_group"].boolValue());
  }
  Collected drain;
  ScopedSink d(drain.sink());
  EXPECT_EQ(drain.names(), (std::vector<std::string>{"after-removal"}));
}

TEST(OrvMediator, TheBufferKeepsTheNewestEvents) {
  const std::size_t extra = 5;
  for (std::size_t i = 0; i < OrvMediator::kMaxBufferedEvents + extra; ++i)
    track("e" + std::to_string(i));
  Collected c;
  ScopedSink s(c.sink());
  auto names = c.names();
  ASSERT_EQ(names.size(), OrvMediator::kMaxBufferedEvents);
  EXPECT_EQ(names.front(), "e" + std::to_string(extra));
  EXPECT_EQ(names.back(), "e" + std::to_string(OrvMediator::kMaxBufferedEvents + extra - 1));
}

TEST(OrvMediator, JsonLinesSinkWritesOneObjectPerLineFromManyThreads) {
  TempDir dir;
  const std::string path = dir.file("events.jsonl");
  {
    ScopedSink s(OrvMediator::jsonLinesFileSink(path));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([t] {
        for (int i = 0; i < 50; ++i) {
          OrvMediator::sharedInstance()->orvAnalyticsTrackEvent(
              "zu_experiment_exposure", json("{\"#experiment_id\":\"t" + std::to_string(t) + "\"}"),
              "");
        }
      });
    }
    for (auto& th : threads) th.join();
  }
  std::istringstream lines(readFile(path));
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    OrvValue v = json(line);
    ASSERT_TRUE(v.isDictionary()) << line;
    EXPECT_EQ(v["name"].stringValue(), "zu_experiment_exposure");
    EXPECT_EQ(v["app_id"].stringValue(), "");
    EXPECT_EQ(v["time"].stringValue().size(), 24u) << line;  // 2026-12-06T07:24:54.123Z
    EXPECT_EQ(v["properties"]["#experiment_id"].stringValue().substr(0, 1), "t");
    ++count;
  }
  EXPECT_EQ(count, 200);
}
