// OFREP evaluation in `orvexp serve`, against the real tool: the protocol's answers and
// errors, and the exposure each unit's evaluation stores, once.
#include <gtest/gtest.h>
#include <httplib.h>

#include <filesystem>
#include <sstream>

#include "OrvAssignment.h"
#include "OrvExperiment/OrvExperiment.h"
#include "OrvExperiment/OrvTesting.h"
#include "TestSupport.h"

using namespace orvtest;

namespace {

const std::string kOrvexp = std::string(ORV_TEST_BINARY_DIR) + "/tools/orvexp/orvexp";
const std::string kPayload = std::string(ORV_TEST_SOURCE_DIR) + "/tests/interop/ofrep-payload.json";

// `orvexp serve --events` over one application, "shop", serving kPayload.
struct Server {
  explicit Server(std::vector<std::string> extra = {},
                  const std::string& payload = readFile(kPayload)) {
    std::filesystem::create_directories(dir.file("payloads/shop"));
    writeFile(dir.file("payloads/shop/ki_feature.json"), payload);
    std::vector<std::string> argv = {kOrvexp,  "serve", "--dir",   dir.file("payloads"),
                                     "--port", "0",     "--quiet", "--events",
                                     store()};
    argv.insert(argv.end(), extra.begin(), extra.end());
    process = std::make_unique<ChildProcess>(argv);
    std::string line;
    if (process->readLine(&line)) port = std::atoi(line.substr(line.rfind(':') + 1).c_str());
  }
  std::string store() const { return dir.file("events.sqlite3"); }

  // The answer to POST `path` with `body` (and `headers`); status -1 when none came.
  struct Reply {
    int status = -1;
    OrvValue body;
    std::string etag;
  };
  Reply post(const std::string& path, const std::string& body,
             httplib::Headers headers = {{"X-Orv-App", "shop"}}) const {
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(20, 0);
    Reply reply;
    if (auto res = client.Post(path, headers, body, "application/json")) {
      reply.status = res->status;
      reply.body = OrvValue::parseJson(res->body).value;
      reply.etag = res->get_header_value("ETag");
    }
    return reply;
  }
  Reply flag(const std::string& key, const std::string& unit) const {
    return post("/ofrep/v1/evaluate/flags/" + key,
                R"({"context":{"targetingKey":")" + unit + R"(","plan":"pro"}})");
  }
  // The stored events, as `orvexp events export` prints them.
  std::vector<OrvValue> events() const {
    std::string out;
    EXPECT_EQ(runCommand(kOrvexp + " events export --events " + store(), 60, &out), 0);
    std::vector<OrvValue> events;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) events.push_back(json(line));
    return events;
  }

  TempDir dir;
  std::unique_ptr<ChildProcess> process;
  int port = 0;
};

// The exposure event the library makes when application "shop" with `unit` as its
// bucket reads `key` of the fixture (in test mode, which captures it).
OrvTestExposure libraryExposure(const std::string& unit, const std::string& key) {
  auto config = OrvExperimentConfig::create("shop", "http://127.0.0.1:9");
  config->setCustomBucketId(OrvValue(unit));
  EXPECT_TRUE(OrvTesting::start(readFile(kPayload), config));
  OrvExperiment::getValueAsString(key);
  auto seen = OrvTesting::exposures();
  OrvTesting::reset();
  EXPECT_EQ(seen.size(), 1u);
  return seen.empty() ? OrvTestExposure() : seen.front();
}

// The group the library gives `unit` in the fixture's experiment.
std::string groupOf(const std::string& unit) {
  const OrvValue payload = json(readFile(kPayload));
  const OrvValue& groups = payload["experiment_detail"].at(0)["#groups"];
  return groups
      .at(static_cast<std::size_t>(
          OrvAssignment::groupIndex("checkout-button", unit, groups)))["id"]
      .stringValue();
}

TEST(OrvOfrep, AnswersValuesOfEveryKindAndTheUnitsGroup) {
  Server server;
  ASSERT_GT(server.port, 0);
  EXPECT_EQ(server.flag("title", "u1").body,
            json(R"({"key":"title","value":"Welcome","reason":"STATIC"})"));
  EXPECT_EQ(server.flag("limit", "u1").body["value"], OrvValue(20));
  EXPECT_EQ(server.flag("enabled", "u1").body["value"], OrvValue(true));
  EXPECT_EQ(server.flag("theme", "u1").body["value"], json(R"({"dark":true,"accent":"teal"})"));
  for (const std::string unit : {"u1", "u2", "u3", "u4"}) {
    const std::string group = groupOf(unit);
    const auto reply = server.flag("button_color", unit);
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body["value"], OrvValue(group == "control" ? "grey" : "green"));
    EXPECT_EQ(reply.body["reason"], OrvValue("SPLIT"));
    EXPECT_EQ(reply.body["variant"], OrvValue(group));
    EXPECT_EQ(reply.body["metadata"],
              OrvValue::dictionary({{"experiment_id", OrvValue("checkout-button")},
                                    {"group_id", OrvValue(group)},
                                    {"is_control_group", OrvValue(group == "control")}}));
  }
  // No unit: the payload's own value, as the library has it without a unit.
  EXPECT_EQ(server.post("/ofrep/v1/evaluate/flags/button_color", "{\"context\":{}}").body,
            json(R"({"key":"button_color","value":"grey","reason":"DEFAULT"})"));
  // The application by path prefix instead of the header.
  EXPECT_EQ(server.post("/apps/shop/ofrep/v1/evaluate/flags/limit", "{}", {}).body["value"],
            OrvValue(20));
}

// The server remembers no units: a sticky experiment gives each the group of a first visit.
TEST(OrvOfrep, ResolvesAStickyExperimentAsForAUnitSeenFirst) {
  std::string sticky = readFile(kPayload);
  sticky.insert(sticky.find("\"#experiment_id\""), "\"#sticky\": true, ");
  Server server({}, sticky);
  for (const std::string unit : {"u1", "u2", "u3"}) {
    const auto reply = server.flag("button_color", unit);
    EXPECT_EQ(reply.body["reason"], OrvValue("SPLIT"));
    EXPECT_EQ(reply.body["variant"], OrvValue(groupOf(unit)));
  }
}

TEST(OrvOfrep, AnswersErrorsAsTheProtocolNamesThem) {
  Server server;
  auto code = [](const Server::Reply& r) {
    return std::to_string(r.status) + " " + r.body["errorCode"].stringValue();
  };
  EXPECT_EQ(code(server.flag("nothing", "u1")), "404 FLAG_NOT_FOUND");
  EXPECT_EQ(server.flag("nothing", "u1").body["key"], OrvValue("nothing"));
  EXPECT_EQ(code(server.post("/ofrep/v1/evaluate/flags/title", "{")), "400 PARSE_ERROR");
  EXPECT_EQ(code(server.post("/ofrep/v1/evaluate/flags/title", R"({"context":[1]})")),
            "400 INVALID_CONTEXT");
  EXPECT_EQ(code(server.post("/ofrep/v1/evaluate/flags/title",
                             R"({"context":{"targetingKey":{"a":1}}})")),
            "400 INVALID_CONTEXT");
  EXPECT_EQ(code(server.post("/ofrep/v1/evaluate/flags/title", "{}", {})), "400 GENERAL");
  EXPECT_EQ(code(server.post("/ofrep/v1/evaluate/flags/title", "{}", {{"X-Orv-App", "none"}})),
            "404 FLAG_NOT_FOUND");
  EXPECT_EQ(code(server.post("/ofrep/v1/evaluate/flags/title",
                             "{\"context\":{\"pad\":\"" + std::string(70'000, 'x') + "\"}}")),
            "413 GENERAL");
  // The server still answers after all of that.
  EXPECT_EQ(server.flag("title", "u1").status, 200);
}

TEST(OrvOfrep, EvaluationsAreAdmittedAsEveryOtherConnection) {
  Server server({"--max-connections-per-client", "1"});
  const httplib::Headers shop = {{"X-Orv-App", "shop"}};
  int refused = 0;
  // The connection held is closed after 5 s idle: on a machine stalled that long the
  // next one is admitted, and the round is made again.
  for (int round = 0; round < 3 && refused != 503; ++round) {
    httplib::Client holder("127.0.0.1", server.port);  // the one this address may hold
    holder.set_keep_alive(true);
    auto first = holder.Post("/ofrep/v1/evaluate/flags/title", shop, "{}", "application/json");
    ASSERT_EQ(first ? first->status : -1, 200);
    refused = server.flag("title", "u1").status;
  }
  EXPECT_EQ(refused, 503);
}

TEST(OrvOfrep, BulkAnswersEveryFlagWithAnETag) {
  Server server;
  const auto all = server.post("/ofrep/v1/evaluate/flags", R"({"context":{"targetingKey":"u1"}})");
  ASSERT_EQ(all.status, 200);
  ASSERT_EQ(all.body["flags"].size(), 7u);
  ASSERT_FALSE(all.etag.empty());
  for (const OrvValue& flag : all.body["flags"].elements())
    EXPECT_EQ(flag, server.flag(flag["key"].stringValue(), "u1").body);
  const auto again = server.post("/ofrep/v1/evaluate/flags", R"({"context":{"targetingKey":"u1"}})",
                                 {{"X-Orv-App", "shop"}, {"If-None-Match", all.etag}});
  EXPECT_EQ(again.status, 304);
  EXPECT_EQ(again.etag, all.etag);
}

TEST(OrvOfrep, StoresTheLibrarysExposureOncePerUnit) {
  Server server;
  const std::vector<std::string> units = {"a", "b", "c", "d", "e"};
  for (int round = 0; round < 2; ++round)
    for (const auto& unit : units) {
      ASSERT_EQ(server.flag("button_color", unit).status, 200);
      ASSERT_EQ(server.flag("checkout_copy", unit).status, 200);  // the same experiment
      ASSERT_EQ(server.flag("title", unit).status, 200);          // none
    }
  const auto events = server.events();
  ASSERT_EQ(events.size(), units.size());
  for (const auto& unit : units) {
    const auto found = std::find_if(events.begin(), events.end(), [&](const OrvValue& e) {
      return e["context"]["unit"] == OrvValue(unit);
    });
    ASSERT_NE(found, events.end()) << unit;
    // The library's event for the same unit, but for its id and time.
    const OrvTestExposure library = libraryExposure(unit, "button_color");
    EXPECT_EQ((*found)["name"], OrvValue(library.eventName));
    EXPECT_EQ((*found)["app_id"], OrvValue(library.appId));
    EXPECT_EQ((*found)["properties"], library.properties);
    EXPECT_EQ((*found)["context"], library.context);
    EXPECT_EQ((*found)["properties"]["#experiment_group_id"], OrvValue(groupOf(unit)));
    EXPECT_EQ((*found)["context"]["split"], json(R"([["control",30],["green",70]])"));
  }
}

TEST(OrvOfrep, StoresNoExposureWhenToldNotTo) {
  Server server({"--no-ofrep-exposures"});
  ASSERT_EQ(server.flag("button_color", "a").status, 200);
  EXPECT_TRUE(server.events().empty());
}

}  // namespace
