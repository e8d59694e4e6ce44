// The OTLP/HTTP exporter against the reference collector and against collectors that
// misbehave: every event arrives exactly once (by eventId), whatever the collector does.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <sstream>

#include "LibraryFixture.h"
#include "OrvConfigServer.h"
#include "OrvEventCollector.h"
#include "ScriptedServer.h"
#include "platform/OrvUserDefaults.h"

using namespace orvtest;

namespace {

std::string experiments(int count) {
  std::string out = "{";
  std::string detail = "\"experiment_detail\":[";
  for (int i = 0; i < count; ++i) {
    out += "\"k" + std::to_string(i) + "\":" + std::to_string(i) + ",";
    detail += std::string(i ? "," : "") + "{\"#experiment_id\":\"e" + std::to_string(i) +
              "\",\"#experiment_group_id\":\"g\",\"#feature_list\":[\"k" + std::to_string(i) +
              "\"]}";
  }
  return out + detail + "]}";
}

// Experiment ids in a collector's file, with how often each appears; every eventId once.
std::map<std::string, int> collected(const std::string& path) {
  std::map<std::string, int> seen;
  std::set<std::string> ids;
  std::istringstream lines(readFile(path));
  for (std::string line; std::getline(lines, line);) {
    OrvValue event = json(line);
    EXPECT_TRUE(ids.insert(event["event_id"].stringValue()).second) << line;
    ++seen[event["properties"]["#experiment_id"].stringValue()];
  }
  return seen;
}

class ExporterTest : public LibraryTest {
 protected:
  // Starts on `count` experiments with an exporter to `url`, reads them all, flushes.
  void exposeAll(int count, const std::string& url) {
    startWithPayload(appId(), experiments(count));
    OrvOtlpExporterOptions options;
    options.endpoint = url;
    options.maxBatch = 10;
    options.flushInterval = std::chrono::milliseconds(20);
    options.minBackoff = std::chrono::milliseconds(20);
    options.requestTimeout = std::chrono::milliseconds(300);
    exporter_ = OrvMediator::sharedInstance()->addOtlpExporter(options);
    ASSERT_NE(exporter_, 0u);
    for (int i = 0; i < count; ++i) OrvExperiment::getValueAsString("k" + std::to_string(i));
    EXPECT_TRUE(OrvExperiment::flush(kWait));
    // Delivered from the database, not from a fallback in memory.
    EXPECT_TRUE(OrvUserDefaults::initWithSuiteName("probe")->isPersistent());
  }
  void TearDown() override {
    OrvMediator::sharedInstance()->removeOtlpExporter(exporter_);
    LibraryTest::TearDown();
  }
  std::uint64_t exporter_ = 0;
};

}  // namespace

TEST_F(ExporterTest, EveryEventReachesTheReferenceCollectorOnce) {
  OrvConfigServer server(dir_.path());
  server.collectEventsTo(dir_.file("collected.jsonl"));
  ASSERT_TRUE(server.start());
  exposeAll(45, server.url());
  const auto seen = collected(dir_.file("collected.jsonl"));
  EXPECT_EQ(seen.size(), 45u);
  for (const auto& [experiment, count] : seen) EXPECT_EQ(count, 1) << experiment;
  const auto stats = OrvMediator::sharedInstance()->otlpExporterStats(exporter_);
  EXPECT_EQ(stats.exported, 45u);
  EXPECT_EQ(stats.dropped, 0u);
}

// Each row: what the collector does to the first requests; every event still arrives
// exactly once, except a batch refused for good, which is dropped and counted.
TEST_F(ExporterTest, MisbehavingCollectorsNeitherLoseNorDuplicateEvents) {
  enum Fault { kFlapping500, kTooManyRequests, kBadRequestOnce, kHangs, kClosesMidResponse };
  for (Fault fault :
       {kFlapping500, kTooManyRequests, kBadRequestOnce, kHangs, kClosesMidResponse}) {
    SCOPED_TRACE(fault);
    const std::string file = dir_.file("faulty" + std::to_string(fault) + ".jsonl");
    OrvEventCollector collector(file);
    ScriptedServer server("/v1/logs");
    std::atomic<int> requests{0};
    server.answer([&](const httplib::Request& req, httplib::Response& res) {
      const int n = requests++;
      const bool misbehave = fault == kFlapping500 ? n % 2 == 0 : n < 2;
      if (misbehave) {
        switch (fault) {
          case kFlapping500:
            res.status = 500;
            return;
          case kTooManyRequests:
            res.status = 429;
            res.set_header("Retry-After", "0");
            return;
          case kBadRequestOnce:
            if (n == 0) {
              res.status = 400;
              return;
            }
            break;
          case kHangs:
            std::this_thread::sleep_for(std::chrono::milliseconds(600));  // past the timeout
            break;
          case kClosesMidResponse:
            // The collector takes the batch but the answer never arrives: sent again.
            collector.handle(req.body, req.get_header_value("Content-Type"));
            res.set_content_provider(100, "application/json",
                                     [](std::size_t, std::size_t, httplib::DataSink& sink) {
                                       sink.write("{\"par", 5);
                                       return false;
                                     });
            return;
        }
      }
      const auto answer = collector.handle(req.body, req.get_header_value("Content-Type"));
      res.status = answer.status;
      res.set_content(answer.body, "application/json");
    });
    exposeAll(30, server.url());
    const auto seen = collected(file);
    const auto stats = OrvMediator::sharedInstance()->otlpExporterStats(exporter_);
    const std::size_t dropped = fault == kBadRequestOnce ? 10 : 0;
    EXPECT_EQ(stats.dropped, dropped);
    EXPECT_EQ(seen.size(), 30u - dropped);
    for (const auto& [experiment, count] : seen) EXPECT_EQ(count, 1) << experiment;
    OrvMediator::sharedInstance()->removeOtlpExporter(exporter_);
    exporter_ = 0;
    OrvPlatform::setDataDirectory(dir_.path() + "/data" + std::to_string(fault));
  }
}

TEST_F(ExporterTest, RetryAfterIsHonoured) {
  OrvEventCollector collector(dir_.file("late.jsonl"));
  ScriptedServer server("/v1/logs");
  std::mutex mutex;
  std::vector<std::chrono::steady_clock::time_point> arrivals;
  server.answer([&](const httplib::Request& req, httplib::Response& res) {
    std::size_t n;
    {
      std::lock_guard lock(mutex);
      arrivals.push_back(std::chrono::steady_clock::now());
      n = arrivals.size();
    }
    if (n == 1) {
      res.status = 503;
      res.set_header("Retry-After", "1");
      return;
    }
    const auto answer = collector.handle(req.body, req.get_header_value("Content-Type"));
    res.status = answer.status;
    res.set_content(answer.body, "application/json");
  });
  exposeAll(5, server.url());
  std::lock_guard lock(mutex);
  ASSERT_EQ(arrivals.size(), 2u);
  // The back-off alone would have retried after 10-20 ms.
  EXPECT_GE(arrivals[1] - arrivals[0], std::chrono::milliseconds(950));
  EXPECT_EQ(collected(dir_.file("late.jsonl")).size(), 5u);
}

TEST(OrvEventCollector, RefusesWhatIsNotAnOtlpJsonLogsRequest) {
  TempDir dir;
  OrvEventCollector collector(dir.file("c.jsonl"));
  EXPECT_EQ(collector.handle("{}", "application/x-protobuf").status, 415);
  EXPECT_EQ(collector.handle("not json", "application/json").status, 400);
  EXPECT_EQ(collector.handle(R"({"resourceLogs":7})", "application/json").status, 400);
  const auto partial = collector.handle(
      R"({"resourceLogs":[{"scopeLogs":[{"logRecords":[1,{"timeUnixNano":"x"},{"eventName":"ok"}]}]}]})",
      "application/json; charset=utf-8");
  EXPECT_EQ(partial.status, 200);
  EXPECT_EQ(json(partial.body)["partialSuccess"]["rejectedLogRecords"].stringValue(), "2");
  EXPECT_EQ(json(readFile(dir.file("c.jsonl")))["name"].stringValue(), "ok");
}
