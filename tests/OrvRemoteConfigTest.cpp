#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "../external/remote_config/OrvRCCache.h"
#include "../external/remote_config/OrvRCResponse.h"
#include "OrvConfigServer.h"
#include "OrvExperiment/OrvPlatform.h"
#include "OrvRemoteConfig.h"
#include "ScriptedServer.h"
#include "TestSupport.h"

using namespace orvtest;

namespace {

constexpr const char* kTemplate = "ki_feature";

// What a fetch task reported.
struct Watch {
  Signal localCacheReady;
  Signal finished;
  std::mutex mutex;
  OrvValue payloadAtLocalCacheReady;
  bool success = false;
  std::int64_t code = 0;
  std::string message;
};

OrvValue currentPayload(const std::string& appId) {
  auto value = OrvRemoteConfig::getDataWithAppId(appId, kTemplate)->get()(kTemplate);
  return value ? value->objectValue() : OrvValue();
}

std::shared_ptr<Watch> watch(const std::shared_ptr<OrvRCFetchTask>& task,
                             const std::string& appId = "") {
  auto w = std::make_shared<Watch>();
  task->addOnLocalCacheReadyListener([w, appId] {
        {
          std::lock_guard lock(w->mutex);
          w->payloadAtLocalCacheReady = currentPayload(appId);
        }
        w->localCacheReady.notify();
      })
      ->addOnSuccessListener([w] {
        {
          std::lock_guard lock(w->mutex);
          w->success = true;
        }
        w->finished.notify();
      })
      ->addOnFailureListener([w](std::int64_t code, const std::string& message) {
        {
          std::lock_guard lock(w->mutex);
          w->code = code;
          w->message = message;
        }
        w->finished.notify();
      });
  return w;
}

class RemoteConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(payloadDir());
    OrvPlatform::setDataDirectory(dataDir());
    ASSERT_TRUE(server_.start());
    app_ = std::string("app-") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
  }
  void TearDown() override { OrvPlatform::setDataDirectory(""); }

  std::string dataDir() const { return dir_.path() + "/data"; }
  std::string payloadDir() const { return dir_.path() + "/payloads"; }
  void serve(const std::string& appId, const std::string& json) {
    std::filesystem::create_directories(payloadDir() + "/" + appId);
    writeFile(OrvConfigServer::payloadPath(payloadDir(), appId, kTemplate), json);
  }
  std::shared_ptr<Watch> start(
      const std::string& appId, const std::string& url,
      const std::function<void(OrvRemoteConfigSettings&)>& configure = {}) {
    auto settings = OrvRemoteConfigSettings::create();
    settings->setAppId(appId);
    settings->setServerUrl(url);
    settings->setTemplateCode(kTemplate);
    auto task = OrvRCFetchTask::create();
    auto w = watch(task, appId);
    settings->setFetchTask(task);
    if (configure) configure(*settings);
    OrvRemoteConfig::startWithSettings(settings);
    return w;
  }
  std::string cacheFile(const std::string& appId) const {
    return OrvRCCache::path(dataDir(), appId, kTemplate);
  }

  TempDir dir_;
  OrvConfigServer server_{dir_.path() + "/payloads"};
  std::string app_;
};

}  // namespace

TEST_F(RemoteConfigTest, FirstStartFetchesAndCachesThenTheNextProcessStartsFromTheCache) {
  // The server answers only once the test has looked at local-cache-ready: listeners
  // run on their own thread, so without the gate the fetch could already have landed.
  ScriptedServer gated;
  auto gate = std::make_shared<Signal>();
  gated.answer([gate](const httplib::Request&, httplib::Response& res) {
    gate->waitFor(1);
    res.set_content(R"({"color":"red","limit":20})", "application/json");
  });
  auto w = start(app_, gated.url());
  ASSERT_TRUE(w->localCacheReady.waitFor(1));
  gate->notify();
  ASSERT_TRUE(w->finished.waitFor(1));
  EXPECT_TRUE(w->payloadAtLocalCacheReady.isAbsent());  // no cache on a first start
  EXPECT_TRUE(w->success) << w->message;
  EXPECT_EQ(currentPayload(app_)["color"].stringValue(), "red");
  EXPECT_TRUE(std::filesystem::exists(cacheFile(app_)));
  struct stat st {};
  ASSERT_EQ(::stat(cacheFile(app_).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0077, 0u);

  // Another process, whose server is unreachable, has the payload at local-cache-ready.
  std::string printed;
  EXPECT_EQ(runAndCapture(helperPath("orv_rc_helper") + " '" + dataDir() + "' " + app_ +
                              " http://127.0.0.1:" + std::to_string(closedPort()),
                          &printed),
            0);
  EXPECT_EQ(printed, "local-cache-ready {\"color\":\"red\",\"limit\":20}\nfailure -1\n");
}

TEST_F(RemoteConfigTest, NotModifiedKeepsThePayloadAndIsASuccess) {
  serve(app_, R"({"a":1})");
  auto first = start(app_, server_.url());
  ASSERT_TRUE(first->finished.waitFor(1));
  ASSERT_TRUE(first->success);
  const OrvValue before = currentPayload(app_);
  auto again = watch(OrvRemoteConfig::fetchWithAppId(app_, kTemplate));
  ASSERT_TRUE(again->finished.waitFor(1));
  EXPECT_TRUE(again->success) << again->message;
  EXPECT_TRUE(currentPayload(app_).isSameObject(before));
  auto requests = server_.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].status, 200);
  EXPECT_TRUE(requests[0].ifNoneMatch.empty());
  EXPECT_EQ(requests[1].status, 304);
  EXPECT_FALSE(requests[1].ifNoneMatch.empty());

  // A changed payload is a new 200 with a new ETag.
  serve(app_, R"({"a":2})");
  auto changed = watch(OrvRemoteConfig::fetchWithAppId(app_, kTemplate));
  ASSERT_TRUE(changed->finished.waitFor(1));
  EXPECT_EQ(currentPayload(app_)["a"].int64Value(), 2);
  EXPECT_EQ(server_.requests().back().status, 200);
}

TEST_F(RemoteConfigTest, EveryFailureHasItsCodeAndLeavesTheCacheAlone) {
  ScriptedServer scripted;
  scripted.answer([](const httplib::Request&, httplib::Response& res) {
    res.set_content(R"({"good":true})", "application/json");
  });
  auto seeded = start(app_, scripted.url(), [](OrvRemoteConfigSettings& s) {
    s.setMaxBodyBytes(4096);
    s.setTotalTimeoutMs(1000);
  });
  ASSERT_TRUE(seeded->finished.waitFor(1));
  ASSERT_TRUE(seeded->success) << seeded->message;
  const std::string cacheBytes = readFile(cacheFile(app_));
  const OrvValue payload = currentPayload(app_);

  // The timeout case holds its handler until the client gave up.
  auto release = std::make_shared<Signal>();
  struct Case {
    const char* name;
    ScriptedServer::Handler handler;
    std::int64_t code;
  };
  const Case cases[] = {
      {"500", [](auto&, auto& res) { res.status = 500; }, 500},
      {"404", [](auto&, auto& res) { res.status = 404; }, 404},
      {"html",
       [](auto&, auto& res) { res.set_content("<html>502 Bad Gateway</html>", "text/html"); },
       OrvRemoteConfig::kErrorMalformedBody},
      {"array", [](auto&, auto& res) { res.set_content("[1,2]", "application/json"); },
       OrvRemoteConfig::kErrorNotAnObject},
      {"empty", [](auto&, auto& res) { res.set_content("", "application/json"); },
       OrvRemoteConfig::kErrorMalformedBody},
      {"oversize",
       [](auto&, auto& res) {
         res.set_content(std::string(100000, ' ') + "{}", "application/json");
       },
       OrvRemoteConfig::kErrorBodyTooLarge},
      {"truncated",
       [](auto&, auto& res) {
         res.set_content_provider(1000, "application/json",
                                  [](std::size_t, std::size_t, httplib::DataSink& sink) {
                                    sink.write("{\"cut\":", 7);
                                    return false;  // closes the connection mid-body
                                  });
       },
       OrvRemoteConfig::kErrorTransport},
      {"timeout", [release](auto&, auto&) { release->waitFor(1); }, OrvRemoteConfig::kErrorTimeout},
  };
  for (const Case& c : cases) {
    scripted.answer(c.handler);
    auto w = watch(OrvRemoteConfig::fetchWithAppId(app_, kTemplate));
    ASSERT_TRUE(w->finished.waitFor(1)) << c.name;
    EXPECT_FALSE(w->success) << c.name;
    EXPECT_EQ(w->code, c.code) << c.name << ": " << w->message;
    EXPECT_FALSE(w->message.empty()) << c.name;
    EXPECT_TRUE(currentPayload(app_).isSameObject(payload)) << c.name;
    EXPECT_EQ(readFile(cacheFile(app_)), cacheBytes) << c.name;
  }
  release->notify();

  // Nothing listening at all.
  auto refused = start(app_ + "-refused", "http://127.0.0.1:" + std::to_string(closedPort()));
  ASSERT_TRUE(refused->finished.waitFor(1));
  EXPECT_EQ(refused->code, OrvRemoteConfig::kErrorTransport) << refused->message;
  auto badUrl = start(app_ + "-bad-url", "ftp://127.0.0.1/x");
  ASSERT_TRUE(badUrl->finished.waitFor(1));
  EXPECT_EQ(badUrl->code, OrvRemoteConfig::kErrorBadUrl);
  auto notStarted = watch(OrvRemoteConfig::fetchWithAppId("never-started-app", kTemplate));
  ASSERT_TRUE(notStarted->finished.waitFor(1));
  EXPECT_EQ(notStarted->code, OrvRemoteConfig::kErrorNotStarted);
}

TEST_F(RemoteConfigTest, ParametersAndBucketsTravelInTheRequestBody) {
  serve(app_, R"({"a":1})");
  auto w = start(app_, server_.url(), [](OrvRemoteConfigSettings& s) {
    s.setFetchParams(json(R"({"country":"SE"})"));
    s.setCustomBucketId(json(R"({"bucket":7})"));
  });
  ASSERT_TRUE(w->finished.waitFor(1));
  // "" is the application started last.
  OrvRemoteConfig::setCustomFetchParams(json(R"({"country":"NO","tier":2})"), "", kTemplate);
  OrvRemoteConfig::setCustomBucketId(json(R"({"bucket":9})"), "", kTemplate);
  auto again = watch(OrvRemoteConfig::fetchWithAppId("", kTemplate));
  ASSERT_TRUE(again->finished.waitFor(1));
  EXPECT_TRUE(again->success) << again->message;

  auto requests = server_.requests();
  ASSERT_EQ(requests.size(), 2u);
  const OrvValue& first = requests[0].body;
  EXPECT_EQ(first["app_id"].stringValue(), app_);
  EXPECT_EQ(first["template_code"].stringValue(), kTemplate);
  EXPECT_EQ(first["fetch_params"], json(R"({"country":"SE"})"));
  EXPECT_EQ(first["bucket_id"], json(R"({"bucket":7})"));
  EXPECT_EQ(first["sdk"]["name"].stringValue(), "OrvExperiment");
  EXPECT_EQ(first["sdk"]["version"].stringValue(), "1.0.2");
  const OrvValue& second = requests[1].body;
  EXPECT_EQ(second["app_id"].stringValue(), app_);
  EXPECT_EQ(second["fetch_params"], json(R"({"country":"NO","tier":2})"));
  EXPECT_EQ(second["bucket_id"], json(R"({"bucket":9})"));
}

TEST_F(RemoteConfigTest, FileUrlsReadThePayloadAndAMissingFileIsAFailure) {
  const std::string file = dir_.file("payload.json");
  writeFile(file, R"({"from":"file"})");
  auto w = start(app_, "file://" + file);
  ASSERT_TRUE(w->finished.waitFor(1));
  EXPECT_TRUE(w->success) << w->message;
  EXPECT_EQ(currentPayload(app_)["from"].stringValue(), "file");

  auto missing = start(app_ + "-missing", "file://" + dir_.file("no-such.json"));
  ASSERT_TRUE(missing->finished.waitFor(1));
  EXPECT_EQ(missing->code, OrvRemoteConfig::kErrorFile);
  EXPECT_TRUE(currentPayload(app_ + "-missing").isAbsent());
}

TEST_F(RemoteConfigTest, ADamagedCacheReadsAsNoPayloadWithOneLogLine) {
  std::filesystem::create_directories(std::filesystem::path(cacheFile(app_)).parent_path());
  writeFile(cacheFile(app_), "{\"app_id\": trunc");
  ScriptedServer gated;
  auto gate = std::make_shared<Signal>();
  gated.answer([gate](const httplib::Request&, httplib::Response& res) {
    gate->waitFor(1);
    res.set_content(R"({"fresh":1})", "application/json");
  });
  LogCapture log;
  OrvRemoteConfig::enableLog(true);
  auto w = start(app_, gated.url());
  ASSERT_TRUE(w->localCacheReady.waitFor(1));
  gate->notify();
  ASSERT_TRUE(w->finished.waitFor(1));
  OrvRemoteConfig::enableLog(false);
  EXPECT_TRUE(w->payloadAtLocalCacheReady.isAbsent());
  EXPECT_TRUE(w->success);
  EXPECT_EQ(currentPayload(app_)["fresh"].int64Value(), 1);
  int damaged = 0;
  for (const auto& line : log.lines()) damaged += line.find("damaged cache") != std::string::npos;
  EXPECT_EQ(damaged, 1);
  // The cache was replaced by the good payload.
  std::string problem;
  EXPECT_EQ(OrvRCCache::load(dataDir(), app_, kTemplate, &problem).payload["fresh"].int64Value(),
            1);
}

TEST_F(RemoteConfigTest, AnOutcomeReachedBeforeAListenerIsAddedIsDeliveredToIt) {
  serve(app_, R"({"a":1})");
  auto w = start(app_, server_.url());
  ASSERT_TRUE(w->finished.waitFor(1));
  auto unheard = OrvRemoteConfig::fetchWithAppId(app_, kTemplate);
  // Fetches run one at a time: once this one is heard, the first one has ended too.
  auto later = watch(OrvRemoteConfig::fetchWithAppId(app_, kTemplate));
  ASSERT_TRUE(later->finished.waitFor(1));
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
  auto post = [&](const std::string& body) {
    auto res = client.Post(OrvRemoteConfig::kFetchPath, body, "application/json");
    return res ? res->status : -1;
  };
  EXPECT_EQ(post(R"({"app_id":"known","template_code":"ki_feature"})"), 200);
  EXPECT_EQ(post(R"({"app_id":"known"})"), 200);  // the template code defaults
  EXPECT_EQ(post(R"({"app_id":"unknown"})"), 404);
  EXPECT_EQ(post(R"({"app_id":"..","template_code":"secret"})"), 404);
  EXPECT_EQ(post(R"({"app_id":"known/../..","template_code":"secret"})"), 404);
  EXPECT_EQ(post(R"({"app_id":".hidden"})"), 404);
  EXPECT_EQ(post("not json"), 400);
  EXPECT_EQ(post(R"({"app_id":5})"), 400);
  EXPECT_EQ(post(R"({"app_id":"known","template_code":[]})"), 400);
  EXPECT_EQ(post("[]"), 400);
}

// Inputs found by fuzz_response, kept as regressions.
TEST(OrvRCResponse, EveryFailureHasANonZeroCodeAndAMessage) {
  OrvRCRawResponse emptyTransportMessage;
  emptyTransportMessage.transportError = OrvRemoteConfig::kErrorTransport;
  OrvRCFetchOutcome outcome = OrvRCResponse::interpret(emptyTransportMessage);
  EXPECT_FALSE(outcome.success);
  EXPECT_EQ(outcome.code, OrvRemoteConfig::kErrorTransport);
  EXPECT_FALSE(outcome.message.empty());
  for (long status : {0L, -1L, 99L, 600L, 1000L}) {
    OrvRCRawResponse raw;
    raw.status = status;
    raw.body = "{}";
    outcome = OrvRCResponse::interpret(raw);
    EXPECT_FALSE(outcome.success) << status;
    EXPECT_EQ(outcome.code, OrvRemoteConfig::kErrorTransport) << status;
  }
  OrvRCRawResponse withEtags;
  withEtags.status = 200;
  withEtags.body = "{}";
  withEtags.headerLines = {"HTTP/1.1 100 Continue\r\n", "ETag: \"old\"\r\n", "HTTP/1.1 200 OK\r\n",
                           "etag: \"bad\x01\"\r\n", "ETag:  \"good\" \r\n"};
  outcome = OrvRCResponse::interpret(withEtags);
  EXPECT_TRUE(outcome.success);
  EXPECT_EQ(outcome.etag, "\"good\"");
}

TEST_F(RemoteConfigTest, GzipBodiesAreAcceptedAndDecoded) {
  ScriptedServer scripted;
  std::atomic<bool> askedForGzip{false};
  scripted.answer([&](const httplib::Request& req, httplib::Response& res) {
    askedForGzip = req.get_header_value("Accept-Encoding").find("gzip") != std::string::npos;
    const std::string plain = R"({"zipped":"yes"})";
    z_stream z{};
    deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16 /* gzip */, 8, Z_DEFAULT_STRATEGY);
    std::string out(256, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(plain.data()));
    z.avail_in = static_cast<uInt>(plain.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    res.set_header("Content-Encoding", "gzip");
    res.set_content(out, "application/json");
  });
  auto w = start(app_, scripted.url());
  ASSERT_TRUE(w->finished.waitFor(1));
  EXPECT_TRUE(w->success) << w->message;
  EXPECT_TRUE(askedForGzip);
  EXPECT_EQ(currentPayload(app_)["zipped"].stringValue(), "yes");
}
