// The remote-configuration component on its own: fetch, cache, failures, the wire.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "../external/remote_config/OrvRCCache.h"
#include "../external/remote_config/OrvRCResponse.h"
#include "LibraryFixture.h"
#include "OrvRemoteConfig.h"
#include "ScriptedServer.h"

using namespace orvtest;

namespace {

constexpr const char* kTemplate = "ki_feature";

OrvValue currentPayload(const std::string& appId) {
  auto value = OrvRemoteConfig::getDataWithAppId(appId, kTemplate)->get()(kTemplate);
  return value ? value->objectValue() : OrvValue();
}

// What a fetch task reported.
struct Watch {
  Signal localCacheReady, finished;
  OrvValue payloadAtLocalCacheReady;
  bool success = false;
  std::int64_t code = 0;
  std::string message;
};

std::shared_ptr<Watch> watch(const std::shared_ptr<OrvRCFetchTask>& task,
                             const std::string& appId = "") {
  auto w = std::make_shared<Watch>();
  // Listeners of one task run one at a time; each field is read after its signal.
  task->addOnLocalCacheReadyListener([w, appId] {
        w->payloadAtLocalCacheReady = currentPayload(appId);
        w->localCacheReady.notify();
      })
      ->addOnSuccessListener([w] {
        w->success = true;
        w->finished.notify();
      })
      ->addOnFailureListener([w](std::int64_t code, const std::string& message) {
        w->code = code;
        w->message = message;
        w->finished.notify();
      });
  return w;
}

class RemoteConfigTest : public LibraryTest {
 protected:
  std::shared_ptr<Watch> startComponent(const std::string& appId, const std::string& url,
                                        std::size_t maxBodyBytes = 32u << 20) {
    auto settings = OrvRemoteConfigSettings::create();
    settings->setAppId(appId);
    settings->setServerUrl(url);
    settings->setTemplateCode(kTemplate);
    settings->setMaxBodyBytes(maxBodyBytes);
    settings->setTotalTimeoutMs(1000);
    auto task = OrvRCFetchTask::create();
    auto w = watch(task, appId);
    settings->setFetchTask(task);
    OrvRemoteConfig::startWithSettings(settings);
    return w;
  }
  std::string cacheFile(const std::string& appId) const {
    return OrvRCCache::path(dir_.path() + "/data", appId, kTemplate);
  }
  // A scripted server that answers only once the test has seen local-cache-ready.
  std::shared_ptr<Signal> gated(ScriptedServer& server, const std::string& body) {
    auto gate = std::make_shared<Signal>();
    server.answer([gate, body](const httplib::Request& req, httplib::Response& res) {
      gate->waitFor(1);
      // Asked for gzip, the server compresses: the payload arriving intact shows decoding.
      if (req.get_header_value("Accept-Encoding").find("gzip") != std::string::npos)
        res.set_content(body, "application/json");
    });
    return gate;
  }
};

}  // namespace

TEST_F(RemoteConfigTest, AFirstStartHasNoCacheThenFetchesAndCachesOwnerOnly) {
  ScriptedServer scripted;
  auto gate = gated(scripted, R"({"color":"red"})");
  auto w = startComponent(appId(), scripted.url());
  ASSERT_TRUE(w->localCacheReady.waitFor(1));
  gate->notify();
  ASSERT_TRUE(w->finished.waitFor(1));
  EXPECT_TRUE(w->payloadAtLocalCacheReady.isAbsent());
  EXPECT_TRUE(w->success) << w->message;
  EXPECT_EQ(currentPayload(appId()), json(R"({"color":"red"})"));
  struct stat st {};
  ASSERT_EQ(::stat(cacheFile(appId()).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0077, 0u);
}

TEST_F(RemoteConfigTest, ADamagedCacheReadsAsNoPayloadWithOneLogLineAndIsReplaced) {
  std::filesystem::create_directories(std::filesystem::path(cacheFile(appId())).parent_path());
  writeFile(cacheFile(appId()), "{\"app_id\": trunc");
  ScriptedServer scripted;
  auto gate = gated(scripted, R"({"fresh":1})");
  LogCapture log;
  OrvRemoteConfig::enableLog(true);
  auto w = startComponent(appId(), scripted.url());
  ASSERT_TRUE(w->localCacheReady.waitFor(1));
  gate->notify();
  ASSERT_TRUE(w->finished.waitFor(1));
  OrvRemoteConfig::enableLog(false);
  EXPECT_TRUE(w->payloadAtLocalCacheReady.isAbsent());
  EXPECT_TRUE(w->success);
  EXPECT_EQ(log.countContaining("damaged cache"), 1);
  std::string problem;
  EXPECT_EQ(OrvRCCache::load(dir_.path() + "/data", appId(), kTemplate, &problem).payload,
            json(R"({"fresh":1})"));
}

TEST_F(RemoteConfigTest, NotModifiedKeepsThePayloadAndIsASuccess) {
  serve(appId(), R"({"a":1})");
  ASSERT_TRUE(startComponent(appId(), server().url())->finished.waitFor(1));
  const OrvValue before = currentPayload(appId());
  auto again = watch(OrvRemoteConfig::fetchWithAppId(appId(), kTemplate));
  ASSERT_TRUE(again->finished.waitFor(1));
  EXPECT_TRUE(again->success) << again->message;
  EXPECT_TRUE(currentPayload(appId()).isSameObject(before));
  serve(appId(), R"({"a":2})");
  ASSERT_TRUE(watch(OrvRemoteConfig::fetchWithAppId(appId(), kTemplate))->finished.waitFor(1));
  EXPECT_EQ(currentPayload(appId())["a"].int64Value(), 2);
  auto requests = server().requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].ifNoneMatch, "");
  EXPECT_EQ(requests[1].status, 304);
  EXPECT_EQ(requests[1].ifNoneMatch, requests[2].ifNoneMatch);
  EXPECT_EQ(requests[2].status, 200);
}

TEST_F(RemoteConfigTest, EveryFailureHasItsCodeAndLeavesTheCacheAlone) {
  ScriptedServer scripted;
  scripted.answer([](auto&, auto& res) { res.set_content(R"({"good":1})", "application/json"); });
  auto seeded = startComponent(appId(), scripted.url(), 4096);
  ASSERT_TRUE(seeded->finished.waitFor(1));
  ASSERT_TRUE(seeded->success) << seeded->message;
  const std::string cacheBytes = readFile(cacheFile(appId()));
  const OrvValue payload = currentPayload(appId());
  auto release = std::make_shared<Signal>();  // holds the timeout case until it gave up
  const std::pair<std::int64_t, ScriptedServer::Handler> cases[] = {
      {503, [](auto&, auto& res) { res.status = 503; }},
      {OrvRemoteConfig::kErrorMalformedBody,
       [](auto&, auto& res) { res.set_content("<html>502 Bad Gateway</html>", "text/html"); }},
      {OrvRemoteConfig::kErrorNotAnObject,
       [](auto&, auto& res) { res.set_content("[1,2]", "application/json"); }},
      {OrvRemoteConfig::kErrorBodyTooLarge,
       [](auto&, auto& res) { res.set_content(std::string(9000, ' ') + "{}", "text/plain"); }},
      {OrvRemoteConfig::kErrorTransport,
       [](auto&, auto& res) {
         res.set_content_provider(1000, "text/plain", [](std::size_t, std::size_t, auto& sink) {
           sink.write("{\"cut\":", 7);
           return false;  // closes the connection mid-body
         });
       }},
      {OrvRemoteConfig::kErrorTimeout, [release](auto&, auto&) { release->waitFor(1); }},
  };
  for (const auto& [code, handler] : cases) {
    scripted.answer(handler);
    auto w = watch(OrvRemoteConfig::fetchWithAppId(appId(), kTemplate));
    ASSERT_TRUE(w->finished.waitFor(1)) << code;
    EXPECT_EQ(w->code, code) << w->message;
    EXPECT_FALSE(w->message.empty()) << code;
    EXPECT_TRUE(currentPayload(appId()).isSameObject(payload)) << code;
    EXPECT_EQ(readFile(cacheFile(appId())), cacheBytes) << code;
  }
  release->notify();
  const std::pair<std::int64_t, std::string> starts[] = {
      {OrvRemoteConfig::kErrorTransport, "http://127.0.0.1:" + std::to_string(closedPort())},
      {OrvRemoteConfig::kErrorBadUrl, "ftp://127.0.0.1/x"},
      {OrvRemoteConfig::kErrorFile, "file://" + dir_.file("no-such.json")}};
  for (const auto& [code, url] : starts) {
    auto w = startComponent(appId(url.substr(0, 3)), url);
    ASSERT_TRUE(w->finished.waitFor(1)) << url;
    EXPECT_EQ(w->code, code) << w->message;
  }
  auto notStarted = watch(OrvRemoteConfig::fetchWithAppId("never-started-app", kTemplate));
  ASSERT_TRUE(notStarted->finished.waitFor(1));
  EXPECT_EQ(notStarted->code, OrvRemoteConfig::kErrorNotStarted);
}

TEST_F(RemoteConfigTest, AnOutcomeReachedBeforeAListenerIsAddedIsDeliveredToIt) {
  serve(appId(), R"({"a":1})");
  ASSERT_TRUE(startComponent(appId(), server().url())->finished.waitFor(1));
  auto unheard = OrvRemoteConfig::fetchWithAppId(appId(), kTemplate);
  // Fetches run one at a time: once this one is heard, the first one has ended too.
  ASSERT_TRUE(watch(OrvRemoteConfig::fetchWithAppId(appId(), kTemplate))->finished.waitFor(1));
  auto replayed = watch(unheard);
  ASSERT_TRUE(replayed->finished.waitFor(1));
  EXPECT_TRUE(replayed->success);
  EXPECT_EQ(replayed->localCacheReady.count(), 0);
}

TEST(OrvConfigServer, RejectsMalformedRequestsAndUnknownOrHostileApplications) {
  TempDir dir;
  std::filesystem::create_directories(dir.path() + "/known");
  writeFile(OrvConfigServer::payloadPath(dir.path(), "known", kTemplate), R"({"k":1})");
  writeFile(dir.file("secret.json"), R"({"secret":1})");
  OrvConfigServer server(dir.path());
  ASSERT_TRUE(server.start());
  httplib::Client client("127.0.0.1", server.port());
  const std::pair<const char*, int> cases[] = {
      {R"({"app_id":"known","template_code":"ki_feature"})", 200},
      {R"({"app_id":"known"})", 200},  // the template code defaults
      {R"({"app_id":"unknown"})", 404},
      {R"({"app_id":"..","template_code":"secret"})", 404},
      {R"({"app_id":"known/../..","template_code":"secret"})", 404},
      {R"({"app_id":".hidden"})", 404},
      {"not json", 400},
      {R"({"app_id":5})", 400},
      {R"({"app_id":"known","template_code":[]})", 400},
      {"[]", 400}};
  for (const auto& [body, status] : cases) {
    auto res = client.Post(OrvRemoteConfig::kFetchPath, body, "application/json");
    EXPECT_EQ(res ? res->status : -1, status) << body;
  }
}

// Inputs found by fuzz_response, kept as regressions.
TEST(OrvRCResponse, EveryFailureHasANonZeroCodeAndAMessage) {
  OrvRCRawResponse raw;
  raw.transportError = OrvRemoteConfig::kErrorTransport;  // with an empty message
  OrvRCFetchOutcome outcome = OrvRCResponse::interpret(raw);
  EXPECT_EQ(outcome.code, OrvRemoteConfig::kErrorTransport);
  EXPECT_FALSE(outcome.message.empty());
  raw = {};
  raw.body = "{}";
  for (long status : {0L, -1L, 99L, 600L, 1000L}) {
    raw.status = status;
    outcome = OrvRCResponse::interpret(raw);
    EXPECT_FALSE(outcome.success) << status;
    EXPECT_EQ(outcome.code, OrvRemoteConfig::kErrorTransport) << status;
  }
  raw.status = 200;
  raw.headerLines = {"HTTP/1.1 100 Continue\r\n", "ETag: \"old\"\r\n", "HTTP/1.1 200 OK\r\n",
                     "etag: \"bad\x01\"\r\n", "ETag:  \"good\" \r\n"};
  outcome = OrvRCResponse::interpret(raw);
  EXPECT_TRUE(outcome.success);
  EXPECT_EQ(outcome.etag, "\"good\"");
}
