// The outside components on their own: the remote-configuration component (fetch,
// cache, failures, the wire, the reference server) and the analytics mediator.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zlib.h>

#include <filesystem>

#include "../external/remote_config/OrvRCCache.h"
#include "../external/remote_config/OrvRCResponse.h"
#include "LibraryFixture.h"
#include "OrvMediator.h"
#include "OrvRemoteConfig.h"
#include "ScriptedServer.h"

using namespace orvtest;

namespace {

constexpr const char* kTemplate = "ki_feature";

OrvValue currentPayload(const std::string& appId) {
  auto value = OrvRemoteConfig::getDataWithAppId(appId, kTemplate)->get()(kTemplate);
  return value ? value->objectValue() : OrvValue();
}

class RemoteConfigTest : public LibraryTest {
 protected:
  // Starts the component for `app`; the payload it had at local-cache-ready goes to
  // `payloadAtReady`, then `ready` is notified.
  std::shared_ptr<TaskOutcome> startComponent(const std::string& app, const std::string& url,
                                              std::size_t maxBodyBytes = 32u << 20,
                                              long totalTimeoutMs = 30'000) {
    auto settings = OrvRemoteConfigSettings::create();
    settings->setAppId(app);
    settings->setServerUrl(url);
    settings->setTemplateCode(kTemplate);
    settings->setMaxBodyBytes(maxBodyBytes);
    settings->setTotalTimeoutMs(totalTimeoutMs);
    auto task = OrvRCFetchTask::create();
    task->addOnLocalCacheReadyListener([this, app] {
      payloadAtReady = currentPayload(app);
      ready.notify();
    });
    auto outcome = listenTo(task);
    settings->setFetchTask(task);
    OrvRemoteConfig::startWithSettings(settings);
    return outcome;
  }
  std::shared_ptr<TaskOutcome> fetchComponent() {
    auto outcome = listenTo(OrvRemoteConfig::fetchWithAppId(appId(), kTemplate));
    EXPECT_TRUE(outcome->done.waitFor(1));
    return outcome;
  }
  std::string cacheFile(const std::string& app) const {
    return OrvRCCache::path(dir_.path() + "/data", app, kTemplate);
  }
  Signal ready;
  OrvValue payloadAtReady;
};

}  // namespace

TEST_F(RemoteConfigTest, ADamagedCacheReadsAsNoPayloadWithOneLineAndIsReplacedOwnerOnly) {
  std::filesystem::create_directories(std::filesystem::path(cacheFile(appId())).parent_path());
  writeFile(cacheFile(appId()), "{\"app_id\": trunc");
  ScriptedServer scripted;
  auto gate = std::make_shared<Signal>();  // the answer waits for local-cache-ready
  scripted.answer([gate](const httplib::Request& req, httplib::Response& res) {
    gate->waitFor(1);
    // Asked for gzip, the server compresses: the payload arriving intact shows decoding.
    if (req.get_header_value("Accept-Encoding").find("gzip") != std::string::npos)
      res.set_content(R"({"fresh":1})", "application/json");
  });
  LogCapture log;
  OrvRemoteConfig::enableLog(true);
  auto outcome = startComponent(appId(), scripted.url());
  EXPECT_TRUE(ready.waitFor(1));
  EXPECT_TRUE(payloadAtReady.isAbsent());
  gate->notify();
  EXPECT_TRUE(outcome->done.waitFor(1));
  OrvRemoteConfig::enableLog(false);
  EXPECT_EQ(outcome->successes, 1) << outcome->message;
  EXPECT_EQ(currentPayload(appId()), json(R"({"fresh":1})"));
  EXPECT_EQ(log.countContaining("damaged cache"), 1);
  EXPECT_EQ(readFile(cacheFile(appId())).find("trunc"), std::string::npos);
  struct stat st {};
  ASSERT_EQ(::stat(cacheFile(appId()).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0077, 0u);
}

TEST_F(RemoteConfigTest, NotModifiedKeepsThePayloadAndIsASuccess) {
  serve(appId(), R"({"a":1})");
  ASSERT_TRUE(startComponent(appId(), server().url())->done.waitFor(1));
  const OrvValue before = currentPayload(appId());
  EXPECT_EQ(fetchComponent()->successes, 1);
  EXPECT_TRUE(currentPayload(appId()).isSameObject(before));
  serve(appId(), R"({"a":2})");
  fetchComponent();
  EXPECT_EQ(currentPayload(appId()), json(R"({"a":2})"));
  auto requests = server().requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[1].status, 304);
  EXPECT_EQ(requests[1].ifNoneMatch, requests[2].ifNoneMatch);
  EXPECT_EQ(requests[2].status, 200);
}

// Each row can end only one way, whatever the load: the transport's own timeout is left
// long for every row but the timeout row, whose server never answers.
TEST_F(RemoteConfigTest, EveryFailureHasItsCodeAndLeavesPayloadAndCacheAlone) {
  ScriptedServer scripted;
  scripted.answer([](auto&, auto& res) { res.set_content(R"({"good":1})", "application/json"); });
  ASSERT_TRUE(startComponent(appId(), scripted.url(), 4096)->done.waitFor(1));
  const std::string cacheBytes = readFile(cacheFile(appId()));
  const OrvValue payload = currentPayload(appId());
  ASSERT_EQ(payload, json(R"({"good":1})"));
  const auto endless = [](std::size_t, httplib::DataSink& sink) {
    static const std::string chunk(1 << 16, ' ');
    return sink.write(chunk.data(), chunk.size());  // a body that never ends
  };
  // 1 MiB of zeros deflated to about 1 KiB: under the limit on the wire, over it decoded.
  std::string bomb(compressBound(1 << 20), '\0');
  uLongf bombSize = bomb.size();
  ASSERT_EQ(compress(reinterpret_cast<Bytef*>(bomb.data()), &bombSize,
                     reinterpret_cast<const Bytef*>(std::string(1 << 20, '\0').data()), 1 << 20),
            Z_OK);
  bomb.resize(bombSize);
  ASSERT_LT(bomb.size(), 4096u);
  // Content types the server does not compress on its own, so the bytes are as written.
  const std::pair<std::int64_t, ScriptedServer::Handler> cases[] = {
      {503, [](auto&, auto& res) { res.status = 503; }},
      {OrvRemoteConfig::kErrorMalformedBody,
       [](auto&, auto& res) { res.set_content("<html>502 Bad Gateway</html>", "text/html"); }},
      {OrvRemoteConfig::kErrorNotAnObject,
       [](auto&, auto& res) { res.set_content("[1,2]", "application/json"); }},
      {OrvRemoteConfig::kErrorBodyTooLarge,
       [&](auto&, auto& res) {
         res.set_chunked_content_provider("application/octet-stream", endless);
       }},
      {OrvRemoteConfig::kErrorBodyTooLarge,
       [&](auto&, auto& res) {
         res.set_header("Content-Encoding", "deflate");
         res.set_content(bomb, "application/octet-stream");
       }},
      {OrvRemoteConfig::kErrorTransport,
       [](auto&, auto& res) {
         res.set_content_provider(1000, "text/plain", [](std::size_t, std::size_t, auto& sink) {
           sink.write("{\"cut\":", 7);
           return false;  // closes the connection mid-body
         });
       }},
  };
  const auto leftAlone = [&](std::int64_t code, const std::shared_ptr<TaskOutcome>& outcome) {
    EXPECT_EQ(outcome->code, code) << outcome->message;
    EXPECT_FALSE(outcome->message.empty()) << code;
    EXPECT_TRUE(currentPayload(appId()).isSameObject(payload)) << code;
    EXPECT_EQ(readFile(cacheFile(appId())), cacheBytes) << code;
  };
  for (const auto& [code, handler] : cases) {
    scripted.answer(handler);
    leftAlone(code, fetchComponent());
  }
  // A server that holds the request until the client gave up: started again with a
  // short total timeout, the start-up fetch can only time out.
  auto release = std::make_shared<Signal>();
  scripted.answer([release](auto&, auto&) { release->waitFor(1); });
  auto timedOut = startComponent(appId(), scripted.url(), 4096, 100);
  EXPECT_TRUE(timedOut->done.waitFor(1));
  release->notify();
  leftAlone(OrvRemoteConfig::kErrorTimeout, timedOut);
  // Nothing listening, and a file that is not there.
  for (const auto& [code, url] : {std::pair{OrvRemoteConfig::kErrorTransport, kClosedPortUrl},
                                  std::pair{OrvRemoteConfig::kErrorFile, "file:///no/such.json"}}) {
    auto outcome = startComponent(appId(url), url);
    ASSERT_TRUE(outcome->done.waitFor(1)) << url;
    EXPECT_EQ(outcome->code, code) << outcome->message;
  }
}

TEST(OrvConfigServer, RejectsMalformedRequestsAndUnknownOrHostileApplications) {
  TempDir dir;
  std::filesystem::create_directories(dir.path() + "/known");
  writeFile(OrvPayloadDirectory::payloadPath(dir.path(), "known", kTemplate), R"({"k":1})");
  writeFile(dir.file("secret.json"), R"({"secret":1})");
  OrvConfigServer server(dir.path());
  ASSERT_TRUE(server.start());
  httplib::Client client("127.0.0.1", server.port());
  const std::pair<const char*, int> cases[] = {
      {R"({"app_id":"known"})", 200},  // the template code defaults
      {R"({"app_id":"unknown"})", 404},
      {R"({"app_id":"..","template_code":"secret"})", 404},
      {R"({"app_id":"known/../..","template_code":"secret"})", 404},
      {R"({"app_id":".hidden"})", 404},
      {"not json", 400},
      {R"({"app_id":5})", 400}};
  for (const auto& [body, status] : cases) {
    auto res = client.Post(OrvRemoteConfig::kFetchPath, body, "application/json");
    EXPECT_EQ(res ? res->status : -1, status) << body;
  }
}

// The ETag is the last header block's (after a 100 Continue or a redirect), and only a
// well-formed one counts.
TEST(OrvRCResponse, TheETagComesFromTheLastHeaderBlock) {
  OrvRCRawResponse raw;
  raw.status = 200;
  raw.body = "{}";
  raw.headerLines = {"HTTP/1.1 100 Continue\r\n", "ETag: \"old\"\r\n", "HTTP/1.1 200 OK\r\n",
                     "etag: \"bad\x01\"\r\n", "ETag:  \"good\" \r\n"};
  EXPECT_EQ(OrvRCResponse::interpret(raw).etag, "\"good\"");
}
