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
  exposeAll(45, "HTTP" + server.url().substr(4));  // schemes are case-insensitive
  const auto seen = collected(dir_.file("collected.jsonl"));
  EXPECT_EQ(seen.size(), 45u);
  for (const auto& [experiment, count] : seen) EXPECT_EQ(count, 1) << experiment;
  const auto stats = OrvMediator::sharedInstance()->otlpExporterStats(exporter_);
  EXPECT_EQ(stats.exported, 45u);
  EXPECT_EQ(stats.dropped, 0u);
  OrvOtlpExporterOptions hostless;  // libcurl would take "v1" for the host
  hostless.endpoint = "http:///v1/logs";
  EXPECT_EQ(OrvMediator::sharedInstance()->addOtlpExporter(hostless), 0u);
}

// Each row: what the collector does to the first requests; every event still arrives
// exactly once, except a batch refused for good, which is dropped and counted.
TEST_F(ExporterTest, MisbehavingCollectorsNeitherLoseNorDuplicateEvents) {
  enum Fault { k500Flapping, k429, k503RetryAfter, k400Once, kHangs, kClosesMidResponse };
  for (Fault fault : {k500Flapping, k429, k503RetryAfter, k400Once, kHangs, kClosesMidResponse}) {
    SCOPED_TRACE(fault);
    const std::string file = dir_.file("faulty" + std::to_string(fault) + ".jsonl");
    OrvEventCollector collector(file);
    ScriptedServer server("/v1/logs");
    std::mutex mutex;
    std::vector<std::chrono::steady_clock::time_point> arrivals;
    server.answer([&](const httplib::Request& req, httplib::Response& res) {
      std::size_t n;
      {
        std::lock_guard lock(mutex);
        n = arrivals.size();
        arrivals.push_back(std::chrono::steady_clock::now());
      }
      const bool misbehave = fault == k500Flapping ? n % 2 == 0 : n < (fault == k400Once ? 1 : 2);
      if (misbehave && fault == kClosesMidResponse) {
        // The collector takes the batch but the answer never arrives: sent again.
        collector.handle(req.body, req.get_header_value("Content-Type"));
        res.set_content_provider(100, "application/json", [](std::size_t, std::size_t, auto& sink) {
          sink.write("{\"par", 5);
          return false;
        });
        return;
      }
      if (misbehave && fault == kHangs) std::this_thread::sleep_for(std::chrono::milliseconds(600));
      if (misbehave && fault != kHangs) {
        const int status[] = {500, 429, 503, 400};
        res.status = status[fault];
        if (fault == k429) res.set_header("Retry-After", "0");
        if (fault == k503RetryAfter) res.set_header("Retry-After", "1");
        return;
      }
      const auto answer = collector.handle(req.body, req.get_header_value("Content-Type"));
      res.status = answer.status;
      res.set_content(answer.body, "application/json");
    });
    exposeAll(30, server.url());
    const auto seen = collected(file);
    const std::size_t dropped = fault == k400Once ? 10 : 0;
    EXPECT_EQ(OrvMediator::sharedInstance()->otlpExporterStats(exporter_).dropped, dropped);
    EXPECT_EQ(seen.size(), 30u - dropped);
    for (const auto& [experiment, count] : seen) EXPECT_EQ(count, 1) << experiment;
    if (fault == k503RetryAfter) {
      // The back-off alone would have retried after 10-20 ms.
      std::lock_guard lock(mutex);
      EXPECT_GE(arrivals[1] - arrivals[0], std::chrono::milliseconds(950));
    }
    OrvMediator::sharedInstance()->removeOtlpExporter(exporter_);
    exporter_ = 0;
    OrvPlatform::setDataDirectory(dir_.path() + "/data" + std::to_string(fault));
  }
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
