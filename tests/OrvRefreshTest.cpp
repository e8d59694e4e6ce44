// Periodic refresh, on loopback servers with the schedule sped up. Every check is a lower
// bound on the gap before a request, or an order between requests that the schedule
// alone decides, so load cannot break them. Where a fault would only make a refresh come
// late, the test plans it out of reach (at full time scale) and waits for it.
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <map>

#include "../external/remote_config/OrvRCInternal.h"
#include "LibraryFixture.h"
#include "ScriptedServer.h"

using namespace orvtest;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::minutes;
using std::chrono::seconds;

namespace {

constexpr const char* kTemplate = "ki_feature";

// One scripted answer, and the least unscaled wait the schedule must leave after it.
struct Step {
  int status;
  std::string cacheControl;  // "" for none
  milliseconds minGap;
};

// The requests of all of a test's servers, in arrival order.
class Requests {
 public:
  struct Request {
    std::string server;
    Clock::time_point arrived, answered;
  };
  // Answers the n-th request to `server` with steps[n] (the last step repeats).
  ScriptedServer::Handler script(const std::string& server, std::vector<Step> steps) {
    return [this, server, steps](const httplib::Request&, httplib::Response& res) {
      const auto [n, index] = arrive(server);
      const Step& step = steps[std::min(n, steps.size() - 1)];
      res.status = step.status;
      if (!step.cacheControl.empty()) res.set_header("Cache-Control", step.cacheControl);
      if (res.status == 200) res.set_content(R"({"v":1})", "application/json");
      std::lock_guard lock(mutex_);
      requests_[index].answered = Clock::now();
    };
  }
  // Waits until `server` has had `count` requests.
  bool waitFor(const std::string& server, std::size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kWait, [&] { return at_[server].size() >= count; });
  }
  // The first `count` requests to `server`.
  std::vector<Request> of(const std::string& server, std::size_t count) {
    std::lock_guard lock(mutex_);
    std::vector<Request> out;
    for (std::size_t i : at_[server])
      if (out.size() < count) out.push_back(requests_[i]);
    return out;
  }
  // Where the n-th request to `server` stands among all requests.
  std::size_t position(const std::string& server, std::size_t n) {
    std::lock_guard lock(mutex_);
    return at_[server].at(n);
  }

 private:
  // This request's number among those to `server`, and among all.
  std::pair<std::size_t, std::size_t> arrive(const std::string& server) {
    std::lock_guard lock(mutex_);
    at_[server].push_back(requests_.size());
    requests_.push_back({server, Clock::now(), {}});
    changed_.notify_all();
    return {at_[server].size() - 1, requests_.size() - 1};
  }
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Request> requests_;
  std::map<std::string, std::vector<std::size_t>> at_;
};

// What each request of one application was, as its listeners heard them: they run on
// one thread in the order the worker ran the requests.
class Kinds {
 public:
  void add(const char* kind) {
    std::lock_guard lock(mutex_);
    kinds_.emplace_back(kind);
    changed_.notify_all();
  }
  std::vector<std::string> all() const {
    std::lock_guard lock(mutex_);
    return kinds_;
  }
  bool waitForRefreshAfter(const std::string& kind) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kWait, [&] {
      auto it = std::find(kinds_.begin(), kinds_.end(), kind);
      return it != kinds_.end() && std::find(it, kinds_.end(), "refresh") != kinds_.end();
    });
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> kinds_;
};

double ms(std::chrono::duration<double, std::milli> d) { return d.count(); }

bool drain(OrvSerialExecutor& queue) {
  auto done = std::make_shared<Signal>();
  queue.submit([done] { done->notify(); });
  return done->waitFor(1);
}

std::shared_ptr<TaskOutcome> startComponent(const std::string& app, const std::string& url,
                                            milliseconds interval) {
  auto settings = OrvRemoteConfigSettings::create();
  settings->setAppId(app);
  settings->setServerUrl(url);
  settings->setTemplateCode(kTemplate);
  settings->setRefreshIntervalMs(static_cast<long>(interval.count()));
  auto task = OrvRCFetchTask::create();
  auto outcome = listenTo(task);
  settings->setFetchTask(task);
  OrvRemoteConfig::startWithSettings(settings);
  EXPECT_TRUE(outcome->done.waitFor(1)) << app;
  return outcome;
}

// Puts the apps' next refreshes 15 minutes away at full scale (a failed start with a long
// interval) and drops their listeners: nothing of this test runs into the next one.
void quiet(std::initializer_list<std::string> apps) {
  orvRCSetRefreshTimeScaleForTesting(1.0);
  for (const auto& app : apps) startComponent(app, kClosedPortUrl, std::chrono::hours(24));
  EXPECT_TRUE(drain(orvRCWorker()));
  EXPECT_TRUE(drain(orvRCCallbackQueue()));
}

class RefreshTest : public LibraryTest {
 protected:
  void TearDown() override {
    orvRCSetRefreshTimeScaleForTesting(1.0);
    LibraryTest::TearDown();
  }
  Requests requests;
};

}  // namespace

TEST_F(RefreshTest, GapsKeepTheMinimumJitterMaxAgeAndDoublingBackOff) {
  constexpr double kScale = 0.001;  // 30 s runs as 30 ms
  orvRCSetRefreshTimeScaleForTesting(kScale);
  const milliseconds jittered = seconds(27);  // the least of 30 s with -10%
  const struct {
    std::string name;
    milliseconds interval;  // 0: the library's config, asked for 1 s
    std::vector<Step> steps;
  } rows[] = {
      {"minimum", {}, std::vector<Step>(9, {200, "", jittered})},
      {"max-age",
       seconds(30),
       {{200, "max-age=300", seconds(300)},  // longer: it counts
        {200, "max-age=1", jittered},        // shorter: the interval
        {200, "", {}}}},
      {"back-off",
       seconds(30),
       {{500, "", 2 * jittered},  // 2, 4, 8, 16 intervals
        {503, "", 4 * jittered},
        {500, "", 8 * jittered},
        {500, "", 16 * jittered},
        {200, "", {}}}},
  };
  std::vector<std::unique_ptr<ScriptedServer>> servers;
  for (const auto& row : rows) {
    servers.push_back(std::make_unique<ScriptedServer>());
    servers.back()->answer(requests.script(row.name, row.steps));
    if (row.interval.count() > 0) {
      startComponent(appId(row.name), servers.back()->url(), row.interval);
      continue;
    }
    auto config = OrvExperimentConfig::create(appId(row.name), servers.back()->url());
    config->setRefreshInterval(seconds(1));
    EXPECT_EQ(config->refreshInterval(), OrvExperimentConfig::kMinimumRefreshInterval);
    EXPECT_EQ(config->refreshInterval(), seconds(30));
    // Far above any use, an interval would overflow the clock: it is bounded.
    auto far = OrvExperimentConfig::create("far", "");
    far->setRefreshInterval(seconds(INT64_MAX));
    EXPECT_EQ(far->refreshInterval(), std::chrono::hours(24 * 365));
    start(config);
  }
  for (const auto& row : rows) {
    ASSERT_TRUE(requests.waitFor(row.name, row.steps.size())) << row.name;
    const auto seen = requests.of(row.name, row.steps.size());
    for (std::size_t i = 1; i < seen.size(); ++i) {
      EXPECT_GE(ms(seen[i].arrived - seen[i - 1].answered), ms(row.steps[i - 1].minGap * kScale))
          << row.name << " request " << i;
    }
  }
  quiet({appId("minimum"), appId("max-age"), appId("back-off")});
}

TEST_F(RefreshTest, AFetchRestartsTheWaitNothingQueuesBehindItAndBackOffStopsAtItsCap) {
  constexpr double kScale = 0.005;  // 30 s runs as 150 ms
  const auto least = seconds(27) * kScale;
  ScriptedServer a, w;
  const std::vector<Step> ok = {{200, "", {}}};

  // A fetch restarts the wait. At full scale the start-up plans the first refresh 27 s
  // or more ahead, beyond any wait here: only the fetch, made at a small scale, can
  // bring a refresh within reach, and then not before a full interval after it.
  a.answer(requests.script("a1", ok));
  startComponent(appId("a1"), a.url(), seconds(30));
  ASSERT_TRUE(drain(orvRCWorker()));
  orvRCSetRefreshTimeScaleForTesting(kScale);
  OrvRemoteConfig::fetchWithAppId(appId("a1"), kTemplate);
  ASSERT_TRUE(requests.waitFor("a1", 3));
  auto seen = requests.of("a1", 3);
  EXPECT_GE(ms(seen[2].arrived - seen[1].answered), ms(least));
  quiet({appId("a1")});

  // No refresh queues behind a fetch. A job right behind A's start-up fetches A and
  // holds the worker until another job is queued: W's refresh, due well after A's, so
  // A's refresh came due meanwhile with the fetch waiting. Which request was which is
  // told by the listeners, which run in the order the worker ran the requests: every
  // refresh, also the first after the fetch, comes an interval after the request before.
  orvRCSetRefreshTimeScaleForTesting(kScale);
  a.answer(requests.script("a2", ok));
  w.answer(requests.script("w2", ok));
  startComponent(appId("w2"), w.url(), seconds(120));
  auto kinds = std::make_shared<Kinds>();
  auto settings = OrvRemoteConfigSettings::create();
  settings->setAppId(appId("a2"));
  settings->setServerUrl(a.url());
  settings->setTemplateCode(kTemplate);
  settings->setRefreshIntervalMs(30'000);
  settings->setRefreshListener(
      [kinds](bool, std::int64_t, const std::string&) { kinds->add("refresh"); });
  settings->setFetchTask(
      OrvRCFetchTask::create()->addOnSuccessListener([kinds] { kinds->add("start"); }));
  OrvRemoteConfig::startWithSettings(settings);
  orvRCWorker().submit([kinds, app = appId("a2")] {
    OrvRemoteConfig::fetchWithAppId(app, kTemplate)->addOnSuccessListener([kinds] {
      kinds->add("fetch");
    });
    const std::size_t queued = orvRCWorker().pendingCount();
    const auto deadline = Clock::now() + kWait;
    while (orvRCWorker().pendingCount() == queued && Clock::now() < deadline)
      std::this_thread::yield();
  });
  ASSERT_TRUE(kinds->waitForRefreshAfter("fetch"));
  const auto order = kinds->all();
  seen = requests.of("a2", order.size());
  ASSERT_EQ(seen.size(), order.size());
  for (std::size_t i = 1; i < order.size(); ++i) {
    if (order[i] != "refresh") continue;
    EXPECT_GE(ms(seen[i].arrived - seen[i - 1].answered), ms(least))
        << i << " after " << order[i - 1];
  }
  quiet({appId("a2"), appId("w2")});

  // The back-off stops at 15 minutes: A's first failure with a 20-minute interval (40
  // doubled) is retried before W's refresh, held off 16 minutes by max-age, although W
  // started after A failed.
  orvRCSetRefreshTimeScaleForTesting(0.001);
  a.answer(requests.script("a3", {{500, "", {}}}));
  w.answer(requests.script("w3", {{200, "max-age=960", {}}}));
  EXPECT_EQ(startComponent(appId("a3"), a.url(), minutes(20))->failures, 1);
  EXPECT_EQ(startComponent(appId("w3"), w.url(), seconds(30))->successes, 1);
  ASSERT_TRUE(requests.waitFor("a3", 2));
  ASSERT_TRUE(requests.waitFor("w3", 2));
  EXPECT_LT(requests.position("a3", 1), requests.position("w3", 1));
  quiet({appId("a3"), appId("w3")});
}

// A Retry-After is honoured, but only up to an hour: one of 31.7 years (or a date in
// the year 9999) once silenced refresh for good.
TEST_F(RefreshTest, RetryAfterIsHonouredUpToAnHour) {
  constexpr double kScale = 0.0001;  // an hour runs as 360 ms
  orvRCSetRefreshTimeScaleForTesting(kScale);
  for (const char* retryAfter : {"999999999", "Fri, 31 Dec 9999 23:59:59 GMT"}) {
    SCOPED_TRACE(retryAfter);
    ScriptedServer server;
    const std::string name = std::string("retry-after ") + retryAfter;
    auto script = requests.script(name, {{200, "", {}}});
    std::atomic<int> n{0};
    server.answer([&](const httplib::Request& req, httplib::Response& res) {
      script(req, res);
      if (n++ > 0) return;
      res.status = 503;
      res.set_header("Retry-After", retryAfter);
    });
    EXPECT_EQ(startComponent(appId(name), server.url(), seconds(30))->failures, 1);
    ASSERT_TRUE(requests.waitFor(name, 2));
    const auto seen = requests.of(name, 2);
    EXPECT_GE(ms(seen[1].arrived - seen[0].answered), ms(std::chrono::hours(1) * kScale));
    quiet({appId(name)});
    orvRCSetRefreshTimeScaleForTesting(kScale);
  }
}
