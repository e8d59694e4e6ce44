// The OTLP/HTTP exporter against the reference collector and against collectors that
// misbehave, counted at the wire: every request a collector got, with the eventIds it
// carried and the status it was answered, and every sink call.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <set>

#include <httplib.h>

#include "LibraryFixture.h"
#include "ScriptedServer.h"
#include "collector/OrvEventCollector.h"
#include "platform/network/OrvHttpClient.h"
#include "platform/storage/OrvEventOutbox.h"
#include "platform/storage/OrvUserDefaults.h"
#include "server/OrvConfigServer.h"

using namespace orvtest;
using std::chrono::milliseconds;

namespace {

// A collector on 127.0.0.1 that answers every POST as its script says and records each
// request as it came.
class WireCollector {
 public:
  struct Request {
    std::chrono::steady_clock::time_point at;
    std::string path;
    std::vector<std::string> eventIds;
    int status = 0;
  };
  // Answers request `n` (from 0); `res.status` stays 200 unless it sets another.
  using Script = std::function<void(std::size_t n, const httplib::Request&, httplib::Response&)>;

  explicit WireCollector(Script script) : script_(std::move(script)) {
    server_.answer([this](const httplib::Request& req, httplib::Response& res) {
      Request seen{std::chrono::steady_clock::now(), req.path, otlpEventIds(req.body), 200};
      std::size_t n;
      {
        std::lock_guard lock(mutex_);
        n = count_++;
      }
      res.status = 200;
      script_(n, req, res);
      seen.status = res.status;
      std::lock_guard lock(mutex_);
      requests_.push_back(std::move(seen));
      changed_.notify_all();
    });
  }
  std::string url() const { return server_.url(); }
  // The slowest of a few round trips to it (GETs, which are no requests of the script
  // and answered 404): how fast this machine answers right now.
  milliseconds slowestPing() const {
    httplib::Client client(url());
    milliseconds slowest{0};
    for (int i = 0; i < 3; ++i) {
      const auto from = std::chrono::steady_clock::now();
      EXPECT_TRUE(client.Get("/ping"));
      slowest = std::max(slowest, std::chrono::duration_cast<milliseconds>(
                                      std::chrono::steady_clock::now() - from));
    }
    return slowest;
  }
  // In the order they arrived (a held request is recorded only once it is answered).
  std::vector<Request> requests() const {
    std::lock_guard lock(mutex_);
    std::vector<Request> arrived = requests_;
    std::stable_sort(arrived.begin(), arrived.end(),
                     [](const Request& a, const Request& b) { return a.at < b.at; });
    return arrived;
  }
  // How often each eventId arrived in a request answered 2xx.
  std::map<std::string, int> accepted() const {
    std::map<std::string, int> out;
    for (const auto& r : requests())
      if (r.status / 100 == 2)
        for (const auto& id : r.eventIds) ++out[id];
    return out;
  }
  // Waits until `count` requests were answered (a held one is recorded only then);
  // false after kWait.
  bool waitRequests(std::size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kWait, [&] { return requests_.size() >= count; });
  }
  // Waits until `count` distinct eventIds were accepted; false after kWait.
  bool waitAccepted(std::size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kWait, [&] {
      std::set<std::string> ids;
      for (const auto& r : requests_)
        if (r.status / 100 == 2) ids.insert(r.eventIds.begin(), r.eventIds.end());
      return ids.size() >= count;
    });
  }

 private:
  Script script_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t count_ = 0;          // guarded by mutex_
  std::vector<Request> requests_;  // guarded by mutex_
  ScriptedServer server_{"/.*"};   // last: stopped before what its handler uses goes
};

void track(int count, const std::string& prefix = "e", const OrvValue& properties = {}) {
  for (int i = 0; i < count; ++i) {
    OrvMediator::sharedInstance()->orvAnalyticsTrackEvent(
        prefix + std::to_string(i), properties.isAbsent() ? OrvValue::dictionary({}) : properties,
        "app");
  }
}

class ExporterTest : public LibraryTest {
 protected:
  // With `batch`, a request goes out only once it holds that many records (or on a
  // flush), so that what reaches the wire does not depend on the machine's speed.
  OrvOtlpExporterOptions options(const std::string& url, std::size_t batch = 0) {
    OrvOtlpExporterOptions o;
    o.endpoint = url;
    o.maxBatch = batch ? batch : 10;
    o.flushInterval = batch ? milliseconds(60'000) : milliseconds(20);
    o.minBackoff = milliseconds(50);
    o.maxBackoff = milliseconds(2000);
    // Long enough that a loaded machine never times out a request the collector answers:
    // a timed-out request is sent again, and rows that count requests or log lines would
    // see it twice. The row about timeouts sets its own.
    o.requestTimeout = milliseconds(5000);
    o.gzipAbove = 0;  // the wire shows plain JSON
    return o;
  }
  std::uint64_t add(const OrvOtlpExporterOptions& o) {
    exporters_.push_back(OrvMediator::sharedInstance()->addOtlpExporter(o));
    EXPECT_NE(exporters_.back(), 0u);
    return exporters_.back();
  }
  // A data directory of its own for each row, so that no row's queue reaches the next.
  void nextRow(const std::string& name) {
    for (auto id : exporters_) OrvMediator::sharedInstance()->removeOtlpExporter(id);
    exporters_.clear();
    OrvPlatform::setDataDirectory(dir_.path() + "/" + name);
  }
  void TearDown() override {
    for (auto id : exporters_) OrvMediator::sharedInstance()->removeOtlpExporter(id);
    OrvEventOutbox::setOrphanScanInterval(std::chrono::seconds(30));
    LibraryTest::TearDown();
  }
  std::vector<std::uint64_t> exporters_;
};

void expectEachOnce(const std::map<std::string, int>& counts, std::size_t expected) {
  EXPECT_EQ(counts.size(), expected);
  for (const auto& [id, n] : counts) EXPECT_EQ(n, 1) << id;
}

}  // namespace

TEST_F(ExporterTest, EveryEventReachesTheReferenceCollectorOnceAndAnEndpointHasOneQueue) {
  OrvConfigServer server(dir_.path());
  std::string error;
  ASSERT_TRUE(server.collectEventsTo(dir_.file("collected.sqlite3"), &error)) << error;
  ASSERT_TRUE(server.start());
  LogCapture log;
  OrvMediator::enableLog(true);
  EventCapture sinks;
  const auto id = add(options("HTTP" + server.url().substr(4)));  // schemes ignore case
  // The same endpoint again (once with a trailing slash) is the same exporter: a second
  // queue for it broke a constraint on every hand-over and sent each event four times.
  EXPECT_EQ(OrvMediator::sharedInstance()->addOtlpExporter(options(server.url() + "/")), id);
  track(45);
  ASSERT_TRUE(OrvExperiment::flush(kWait));
  OrvMediator::enableLog(false);
  std::map<std::string, int> lines;
  std::stringstream exported;
  const auto stored = OrvEventStore::open(dir_.file("collected.sqlite3"), &error, false);
  ASSERT_TRUE(stored && stored->exportJsonLines(exported, &error)) << error;
  for (std::string line; std::getline(exported, line);)
    ++lines[json(line)["event_id"].stringValue()];
  expectEachOnce(lines, 45);
  expectEachOnce(sinks.perId(), 45);
  EXPECT_EQ(OrvMediator::sharedInstance()->otlpExporterStats(id).exported, 45u);
  EXPECT_EQ(log.countContaining("[ERROR]"), 0);
  EXPECT_TRUE(OrvUserDefaults::initWithSuiteName("probe")->isPersistent());
  OrvOtlpExporterOptions hostless;  // libcurl would take "v1" for the host
  hostless.endpoint = "http:///v1/logs";
  EXPECT_EQ(OrvMediator::sharedInstance()->addOtlpExporter(hostless), 0u);
}

// Each row: the first four requests fail in a way OTLP/HTTP allows to retry, then the
// collector takes everything. Retries back off exponentially (a Retry-After lengthens
// the wait, never shortens it) and every event is accepted exactly once at the wire.
TEST_F(ExporterTest, RetryableFailuresBackOffAndEveryEventIsAcceptedOnce) {
  constexpr int kFaults = 4;
  struct Row {
    const char* name;
    int status;
    const char* retryAfter;
    bool slow;  // answers only once the exporter has given up and sent again
  };
  for (const Row& row : {Row{"429-retry-after-0", 429, "0", false},
                         Row{"429-date-in-the-past", 429, "Mon, 01 Jan 2001 00:00:00 GMT", false},
                         Row{"502", 502, nullptr, false}, Row{"504", 504, nullptr, false},
                         Row{"503-retry-after-1", 503, "1", false},
                         Row{"slower-than-the-timeout", 503, nullptr, true}}) {
    SCOPED_TRACE(row.name);
    nextRow(row.name);
    Signal arrived;  // outlives the collector, whose stalled handlers wait on it
    WireCollector collector([&](std::size_t n, const httplib::Request&, httplib::Response& res) {
      arrived.notify();
      if (n >= (row.slow ? 1u : std::size_t{kFaults})) return;
      // Held until the exporter has given up on it and sent the next one, however
      // long that takes on this machine: a timeout, whatever the timeout is.
      if (row.slow) arrived.waitFor(static_cast<int>(n) + 2);
      res.status = row.status;
      if (row.retryAfter) res.set_header("Retry-After", row.retryAfter);
    });
    EventCapture sinks;
    auto o = options(collector.url(), 5);
    const int faults = row.slow ? 1 : kFaults;
    if (row.slow) {
      // Far above a round trip on this machine now, and above a busy machine's stalls:
      // an answer that merely came late would be a failure too, and a resend.
      const milliseconds ping = collector.slowestPing();
      o.requestTimeout = std::max(milliseconds(2000), 50 * ping);
      // After a timeout the back-off alone is certain between two arrivals (the first
      // may reach the collector late within the timeout): its lower half is longer than
      // the timeout, so that a retry right after the timeout shows.
      o.minBackoff = 2 * o.requestTimeout + milliseconds(200);
      std::cout << "request timeout " << o.requestTimeout.count() << " ms (slowest ping "
                << ping.count() << " ms)\n";
    }
    const auto id = add(o);
    track(5);
    ASSERT_TRUE(collector.waitAccepted(5));
    ASSERT_TRUE(collector.waitRequests(faults + 1u));  // the held one, answered last
    const auto requests = collector.requests();
    ASSERT_EQ(requests.size(), faults + 1u);
    for (int k = 0; k < faults; ++k) {
      // The k-th retry waits at least the lower half of minBackoff * 2^k, and a
      // Retry-After of 1 s at least that.
      auto floor = o.minBackoff * (1 << k) / 2;
      if (row.retryAfter && std::string(row.retryAfter) == "1") floor = milliseconds(1000);
      EXPECT_GE(requests[k + 1].at - requests[k].at, floor) << "retry " << k;
    }
    expectEachOnce(collector.accepted(), 5);
    expectEachOnce(sinks.perId(), 5);
    EXPECT_EQ(OrvMediator::sharedInstance()->otlpExporterStats(id).failedRequests,
              static_cast<std::uint64_t>(faults));
  }
}

TEST(RetryAfter, IsHonouredUpToAnHourAndOnlyEverLengthensTheBackOff) {
  using std::chrono::hours;
  const auto after = [](const std::string& value) {
    return OrvHttpClient::retryAfter({"HTTP/1.1 503 Busy\r\n", "Retry-After: " + value + "\r\n"});
  };
  EXPECT_EQ(after("0"), milliseconds(0));
  EXPECT_EQ(after("120"), milliseconds(120'000));
  // Far beyond the ceiling, in digits or as a date in the year 9999 (which overflowed).
  EXPECT_EQ(after("99999999999999999999999"), hours(1));
  EXPECT_EQ(after("Fri, 31 Dec 9999 23:59:59 GMT"), hours(1));
  EXPECT_EQ(after("Mon, 01 Jan 2001 00:00:00 GMT"), milliseconds(0));
  EXPECT_LT(after("soon"), milliseconds(0));
  EXPECT_LT(after("Fri, 31 Dec 9999 23:59:59 GMT trailing"), milliseconds(0));
  EXPECT_EQ(OrvHttpClient::retryDelay(milliseconds(800), milliseconds(0)), milliseconds(800));
  EXPECT_EQ(OrvHttpClient::retryDelay(milliseconds(800), milliseconds(-1)), milliseconds(800));
  EXPECT_EQ(OrvHttpClient::retryDelay(milliseconds(800), milliseconds(5000)), milliseconds(5000));
  EXPECT_EQ(OrvHttpClient::retryDelay(milliseconds(800), hours(30)), hours(1));
  EXPECT_EQ(OrvHttpClient::maxAge({"Cache-Control: max-age=999999999\r\n"}), hours(24));
}

// Each row: the first batch is refused with a status OTLP/HTTP says must not be retried.
// It is sent once, kept as dead letters with the status and the collector's message,
// and later events still go out; redriven, the dead letters arrive once.
TEST_F(ExporterTest, RefusedForGoodMeansDeadLettersThatOrvexpListsAndRedrives) {
  for (const int status : {400, 401, 408, 500, 501}) {
    SCOPED_TRACE(status);
    const std::string data = dir_.path() + "/refused" + std::to_string(status);
    nextRow("refused" + std::to_string(status));
    std::atomic<bool> refusing{true};
    WireCollector collector([&](std::size_t, const httplib::Request&, httplib::Response& res) {
      if (!refusing) return;
      res.status = status;
      res.set_content(R"({"code":3,"message":"no such tenant"})", "application/json");
    });
    const auto id = add(options(collector.url(), 5));
    track(5, "refused");
    ASSERT_TRUE(OrvExperiment::flush(kWait));
    refusing = false;
    track(3, "later");
    ASSERT_TRUE(OrvExperiment::flush(kWait));
    ASSERT_TRUE(collector.waitAccepted(3));
    EXPECT_EQ(OrvMediator::sharedInstance()->otlpExporterStats(id).dropped, 5u);
    auto outbox = OrvEventOutbox::forDirectory(data);
    const auto letters = outbox->deadLetters(100);
    ASSERT_EQ(letters.size(), 5u);
    // Each refused event went out once, in a request refused; never again.
    std::map<std::string, int> refusedAt;
    for (const auto& r : collector.requests())
      for (const auto& e : r.eventIds) refusedAt[e] += r.status == status ? 1 : 100;
    for (const auto& d : letters) EXPECT_EQ(refusedAt[d.event.eventId], 1) << d.event.name;
    EXPECT_EQ(letters[0].status, status);
    EXPECT_EQ(letters[0].reason, "HTTP " + std::to_string(status) + ": no such tenant");
    EXPECT_EQ(letters[0].event.name, "refused0");
    // orvexp lists them, then queues them again; this process's exporter to the same
    // endpoint takes them over (as a dead process's rows) and sends them.
    std::string listed;
    const std::string orvexp = helperPath("../tools/orvexp/orvexp") + " outbox --data-dir " + data;
    ASSERT_EQ(runCommand(orvexp, 60, &listed), 0);
    EXPECT_NE(listed.find("dead letters: 5\n"), std::string::npos) << listed;
    EXPECT_NE(listed.find("\t" + std::to_string(status) + "\tHTTP "), std::string::npos) << listed;
    OrvEventOutbox::setOrphanScanInterval(milliseconds(50));
    ASSERT_EQ(runCommand(orvexp + " --redrive", 60, &listed), 0);
    ASSERT_TRUE(collector.waitAccepted(8));
    expectEachOnce(collector.accepted(), 8);
    EXPECT_TRUE(outbox->deadLetters(100).empty());
  }
}

TEST_F(ExporterTest, LargeAnswersRedirectsAnd413sNeitherLoseNorRepeatAnEvent) {
  LogCapture log;
  OrvMediator::enableLog(true);
  {
    SCOPED_TRACE("a 2xx with a body of 2 MiB is a success");
    nextRow("large-answer");
    WireCollector collector([](std::size_t, const httplib::Request&, httplib::Response& res) {
      res.set_content(std::string(2 << 20, ' '), "application/json");
    });
    add(options(collector.url(), 4));
    track(4);
    ASSERT_TRUE(collector.waitAccepted(4));
    ASSERT_TRUE(OrvExperiment::flush(kWait));
    EXPECT_EQ(collector.requests().size(), 1u);
  }
  {
    SCOPED_TRACE("307 to the same origin is followed; 308 elsewhere keeps the batch");
    nextRow("redirects");
    WireCollector elsewhere([](std::size_t, const httplib::Request&, httplib::Response&) {});
    WireCollector collector(
        [&](std::size_t n, const httplib::Request& req, httplib::Response& res) {
          if (req.path == "/v1/logs" && n < 2) {
            res.status = 308;
            res.set_header("Location", elsewhere.url() + "/v1/logs");
          } else if (req.path == "/v1/logs") {
            res.status = 307;
            res.set_header("Location", "/moved/v1/logs");
          }
        });
    add(options(collector.url(), 4));
    track(4);
    ASSERT_TRUE(collector.waitAccepted(4));
    ASSERT_TRUE(OrvExperiment::flush(kWait));
    EXPECT_TRUE(elsewhere.requests().empty());
    const auto requests = collector.requests();
    ASSERT_EQ(requests.size(), 4u);  // 308, 308, 307, then the new path
    EXPECT_EQ(requests.back().path, "/moved/v1/logs");
    expectEachOnce(collector.accepted(), 4);
    EXPECT_GE(log.countContaining("another scheme, host or port"), 1);
  }
  {
    SCOPED_TRACE("413: halves, down to one record; one too large alone is a dead letter");
    nextRow("too-large");
    WireCollector collector([](std::size_t, const httplib::Request& req, httplib::Response& res) {
      if (req.body.size() > 2500 || req.body.find("HUGE") != std::string::npos) res.status = 413;
    });
    add(options(collector.url(), 11));
    track(10);
    track(1, "big", OrvValue::dictionary({{"blob", OrvValue("HUGE")}}));
    ASSERT_TRUE(collector.waitAccepted(10));
    ASSERT_TRUE(OrvExperiment::flush(kWait));
    expectEachOnce(collector.accepted(), 10);
    const auto letters = OrvEventOutbox::forDirectory(dir_.path() + "/too-large")->deadLetters(9);
    ASSERT_EQ(letters.size(), 1u);
    EXPECT_EQ(letters[0].event.name + " " + std::to_string(letters[0].status), "big0 413");
  }
  {
    // Halving, not shrinking by one: a collector that takes at most two records sees
    // requests of 8, 4, then 2 at a time.
    SCOPED_TRACE("413: a batch too large is sent again in halves");
    nextRow("halves");
    WireCollector collector([](std::size_t, const httplib::Request& req, httplib::Response& res) {
      const OrvValue body = OrvValue::parseJson(req.body).value;
      if (body["resourceLogs"].elements()[0]["scopeLogs"].elements()[0]["logRecords"].size() > 2)
        res.status = 413;
    });
    add(options(collector.url(), 8));
    track(8, "h");
    ASSERT_TRUE(collector.waitAccepted(8));
    std::vector<std::size_t> sizes;
    for (const auto& r : collector.requests()) sizes.push_back(r.eventIds.size());
    EXPECT_EQ(sizes, (std::vector<std::size_t>{8, 4, 2, 2, 2, 2}));
    expectEachOnce(collector.accepted(), 8);
  }
  {
    SCOPED_TRACE("a partialSuccess is believed only within the batch and logged on one line");
    nextRow("partial");
    WireCollector collector([](std::size_t, const httplib::Request&, httplib::Response& res) {
      res.set_content(R"({"partialSuccess":{"rejectedLogRecords":"9223372036854775807",
          "errorMessage":"bad\n[OrvMediator] [ERROR] forged"}})",
                      "application/json");
    });
    const auto id = add(options(collector.url(), 3));
    track(3);
    ASSERT_TRUE(collector.waitAccepted(3));
    ASSERT_TRUE(OrvExperiment::flush(kWait));
    EXPECT_EQ(OrvMediator::sharedInstance()->otlpExporterStats(id).rejected, 3u);
    EXPECT_EQ(log.countContaining("rejected 3 of 3 log records: bad\\n[OrvMediator]"), 1);
    EXPECT_EQ(log.countContaining("forged"), 1);  // one line, not two
  }
  OrvMediator::enableLog(false);
}

// With a minute-long flush interval a batch goes out once it is full, at once and not
// before, however its events were handed over: one by one, or several in one hand-over
// while a batch waits. The exporter reads its queue again only when the events handed
// over since its last read can fill a batch: a read skipped wrongly would hold a full
// batch for the minute. A flush sends the partial batch that waits; a short interval
// sends one without a flush.
TEST_F(ExporterTest, ABatchGoesOutOnceFullOrFlushedHoweverItsEventsWereHandedOver) {
  nextRow("batches");
  WireCollector collector([](std::size_t, const httplib::Request&, httplib::Response&) {});
  add(options(collector.url(), 5));
  track(4, "a");
  track(1, "b");  // the fifth: one request of five
  ASSERT_TRUE(collector.waitAccepted(5));
  track(2, "c");
  // Four in one hand-over beside the two waiting: one more request of five, one waits.
  std::vector<OrvOutboxEvent> several(4);
  for (std::size_t i = 0; i < several.size(); ++i) {
    several[i].name = "d" + std::to_string(i);
    several[i].appId = "app";
  }
  OrvEventOutbox::forDirectory(dir_.path() + "/batches")->append(several);
  OrvMediator::sharedInstance()->deliverPending();
  ASSERT_TRUE(collector.waitAccepted(10));
  ASSERT_TRUE(OrvMediator::sharedInstance()->flushExporters(kWait));
  std::vector<std::size_t> sizes;
  for (const auto& r : collector.requests()) sizes.push_back(r.eventIds.size());
  EXPECT_EQ(sizes, (std::vector<std::size_t>{5, 5, 1}));
  expectEachOnce(collector.accepted(), 11);

  nextRow("interval");
  WireCollector timed([](std::size_t, const httplib::Request&, httplib::Response&) {});
  auto o = options(timed.url(), 100);
  o.flushInterval = milliseconds(200);
  add(o);
  track(3);
  ASSERT_TRUE(timed.waitAccepted(3));  // no flush asked
  expectEachOnce(timed.accepted(), 3);
}

// Events stored a day "in the future" (the clock was set back since) and out of wall
// order: sent at once, in the order stored.
TEST_F(ExporterTest, AClockSetBackDelaysNothingAndOrderIsTheOrderStored) {
  WireCollector collector([](std::size_t, const httplib::Request&, httplib::Response&) {});
  auto o = options(collector.url());
  o.maxBatch = 100;
  o.flushInterval = milliseconds(200);
  const auto id = add(o);
  (void)id;
  const std::int64_t now = OrvEventOutbox::nowMs(), day = 24 * 3600 * 1000;
  std::vector<OrvOutboxEvent> events(3);
  const std::int64_t times[] = {now + day, now - day, now};
  for (int i = 0; i < 3; ++i) {
    events[i].name = "e" + std::to_string(i);
    events[i].appId = "app";
    events[i].eventId = "id-" + std::to_string(i);
    events[i].timeMs = times[i];
    events[i].consumer = "otlp " + collector.url() + "/v1/logs";
  }
  OrvEventOutbox::forDirectory(dir_.path() + "/data")->append(events);
  ASSERT_TRUE(collector.waitAccepted(3));  // would have waited a day
  std::vector<std::string> order;
  for (const auto& r : collector.requests())
    order.insert(order.end(), r.eventIds.begin(), r.eventIds.end());
  EXPECT_EQ(order, (std::vector<std::string>{"id-0", "id-1", "id-2"}));
}
