// Assignment in the library: the published conformance cases, a weighted payload read
// from a file (the group, its values and what the exposure carries), and what happens
// without a unit or with a malformed declaration. Across processes (sticky, the four
// ways to read one payload) it is tests/tool/assignment.py's.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "LibraryFixture.h"
#include "OrvAssignment.h"
#include "OrvExpLog.h"
#include "OrvExperiment/OrvTesting.h"
#include "OrvStickyAssignments.h"
#include "collector/OrvEventStore.h"

using namespace orvtest;

namespace {

// Groups "g0", "g1", ... with `weights`, each setting "color" to its own id.
OrvValue groupsOf(const OrvValue& weights) {
  OrvValue::Array groups;
  for (std::size_t i = 0; i < weights.size(); ++i) {
    const std::string id = "g" + std::to_string(i);
    groups.push_back(
        OrvValue::dictionary({{"id", OrvValue(id)},
                              {"weight", weights.at(i)},
                              {"values", OrvValue::dictionary({{"color", OrvValue(id)}})}}));
  }
  return OrvValue::array(std::move(groups));
}

class AssignmentLibraryTest : public LibraryTest {};

}  // namespace

TEST(AssignmentCases, EveryPublishedCaseGetsItsGroupFromTheHashAndFromResolution) {
  const OrvValue cases =
      json(readFile(std::string(ORV_TEST_SOURCE_DIR) + "/docs/assignment-cases.json"))["cases"];
  ASSERT_GE(cases.size(), 50u);
  for (const OrvValue& c : cases.elements()) {
    SCOPED_TRACE(c.toJson());
    OrvValue::Dictionary entry = {{"#experiment_id", c["experiment"]},
                                  {"#feature_list", OrvValue::array({OrvValue("color")})},
                                  {"#groups", groupsOf(c["weights"])}};
    if (!c["seed"].isAbsent()) entry.emplace_back("#seed", c["seed"]);
    const OrvValue declared = OrvValue::dictionary(std::move(entry));
    const std::string unit = c["unit"].stringValue();
    EXPECT_EQ(
        OrvAssignment::groupIndex(OrvAssignment::hashKey(declared), unit, declared["#groups"]),
        c["group"].int64Value());

    const OrvValue payload = OrvValue::dictionary(
        {{"color", OrvValue("top")}, {"experiment_detail", OrvValue::array({declared})}});
    ASSERT_EQ(OrvAssignment::problemOf(payload), "");
    std::vector<std::string> leftOut;
    const OrvValue resolved = OrvAssignment::resolve(payload, unit, nullptr, &leftOut);
    if (unit.empty()) {  // no unit, no membership: the top-level value stays
      EXPECT_EQ(leftOut, std::vector<std::string>{c["experiment"].stringValue()});
      EXPECT_EQ(resolved["color"], OrvValue("top"));
      continue;
    }
    const std::string group = "g" + std::to_string(c["group"].int64Value());
    EXPECT_EQ(resolved["color"], OrvValue(group));
    const OrvValue& member = resolved["experiment_detail"].at(0);
    EXPECT_EQ(member["#experiment_group_id"], OrvValue(group));
    EXPECT_EQ(member["bucket_id"], OrvValue(unit));
    const auto share = OrvAssignment::intendedShare(member["#split"], group);
    ASSERT_TRUE(share.has_value());
    double total = 0;
    for (const OrvValue& w : c["weights"].elements()) total += w.doubleValue();
    EXPECT_DOUBLE_EQ(*share, c["weights"].at(c["group"].int64Value()).doubleValue() / total);
  }
}

TEST_F(AssignmentLibraryTest,
       AWeightedFilePayloadGivesTheBucketItsGroupAndTheExposureCarriesItsSplit) {
  EventCapture events;
  const std::string payload = fixture("assignment-weighted.json");
  const OrvValue declared = OrvValue::parseJson(payload).value;
  // A unit of each group, found by the documented hash.
  std::string unitOf[2];
  for (int i = 0; unitOf[0].empty() || unitOf[1].empty(); ++i) {
    const std::string unit = "device-" + std::to_string(i);
    const int g =
        OrvAssignment::groupIndex("button", unit, declared["experiment_detail"].at(0)["#groups"]);
    if (unitOf[g].empty()) unitOf[g] = unit;
  }
  replacePayload(appId(), payload);
  auto config = OrvExperimentConfig::create(appId(), "file://" + dir_.file(appId() + ".json"));
  config->setCustomBucketId(OrvValue(unitOf[1]));
  ASSERT_EQ(start(config)->successes, 1);

  auto detail = OrvExperiment::getStringDetail("color", "");
  EXPECT_EQ(detail.value, "blue");
  ASSERT_TRUE(detail.experiment.has_value());
  EXPECT_EQ(detail.experiment->groupId, OrvValue("blue"));
  EXPECT_EQ(detail.experiment->bucketId, OrvValue(unitOf[1]));
  EXPECT_EQ(OrvExperiment::getValueAsNumber("size").int64Value(), 1);  // untouched

  // A bucket set later applies from the next load on, as a server's would.
  OrvExperiment::setCustomBucketId(OrvValue(unitOf[0]));
  EXPECT_EQ(fetch()->successes, 1);
  EXPECT_EQ(OrvExperiment::getValueAsString("color"), "grey");

  ASSERT_TRUE(OrvExperiment::flush(std::chrono::seconds(30)));
  const auto got = events.events();
  ASSERT_EQ(got.size(), 2u);  // one per group the device was in
  // The properties are the three they always were; the split travels beside them,
  // through the outbox's database.
  EXPECT_EQ(
      got[0].properties.toJson(),
      R"({"#experiment_group_id":"blue","#experiment_id":"button","#is_control_group":false})");
  EXPECT_EQ(got[0].context["unit"], OrvValue(unitOf[1]));
  EXPECT_EQ(got[0].context["split"].toJson(), R"([["control",9],["blue",1]])");
  EXPECT_DOUBLE_EQ(got[0].context["intended_share"].doubleValue(), 0.1);
  EXPECT_DOUBLE_EQ(got[1].context["intended_share"].doubleValue(), 0.9);
  EXPECT_EQ(got[0].toJson().find("context"), std::string::npos);
  EXPECT_NE(got[0].toJson(true).find(R"("intended_share":0.1)"), std::string::npos);
}

TEST(AssignmentTestMode, NoUnitLeavesTheExperimentOutWithOneLinePerLoadAndABadDeclarationToo) {
  LogCapture log;
  const std::string weighted = fixture("assignment-test-mode.json");
  ASSERT_TRUE(OrvTesting::start(weighted));
  for (int i = 0; i < 20; ++i) EXPECT_EQ(OrvExperiment::getValueAsString("color"), "grey");
  EXPECT_FALSE(OrvExperiment::getStringDetail("color").experiment.has_value());
  EXPECT_TRUE(OrvExperiment::getNumberDetail("limit").experiment.has_value());
  ASSERT_TRUE(OrvTesting::setPayload(weighted));
  EXPECT_EQ(log.countContaining("experiments left out: e1"), 2);  // two loads, however many reads

  auto config = OrvExperimentConfig::create(OrvTesting::kDefaultAppId, "");
  config->setCustomFetchParams(OrvValue::dictionary({{"unit_id", OrvValue(17)}}));
  ASSERT_TRUE(OrvTesting::start(weighted, config));
  EXPECT_EQ(OrvExperiment::getValueAsString("color"), "red");
  const auto exposures = OrvTesting::exposures();
  ASSERT_EQ(exposures.size(), 1u);
  EXPECT_EQ(exposures[0].context.toJson(), R"({"intended_share":1,"split":[["a",1]],"unit":"17"})");

  // A weight out of range: that experiment gets nobody, the rest of the payload loads.
  std::string bad = weighted;
  bad.replace(bad.find("\"weight\": 1"), 11, "\"weight\": -1");
  ASSERT_TRUE(OrvTesting::start(bad, config));
  EXPECT_EQ(OrvExperiment::getValueAsString("color"), "grey");
  EXPECT_EQ(OrvExperiment::getValueAsNumber("limit").int64Value(), 3);
  EXPECT_EQ(log.countContaining("\"weight\" must be a whole number"), 1);
  OrvTesting::reset();
}

TEST_F(AssignmentLibraryTest, AKeptAssignmentIsTheFirstWritersUntilItIsReplaced) {
  const OrvValue split = OrvValue::parseJson(R"([["a",1],["b",1]])").value;
  OrvStickyAssignments first(appId());
  EXPECT_FALSE(first.recall("exp/seed", "unit").has_value());
  EXPECT_EQ(first.keep("exp/seed", "unit", {"a", split}, false).groupId, "a");
  // Another load (in this process or another) that placed the unit elsewhere finds the
  // first one's group, in the database.
  OrvStickyAssignments second(appId());
  EXPECT_EQ(second.keep("exp/seed", "unit", {"b", split}, false).groupId, "a");
  EXPECT_EQ(second.recall("exp/seed", "unit")->split, split);
  EXPECT_FALSE(second.recall("exp/other", "unit").has_value());
  EXPECT_FALSE(OrvStickyAssignments(appId("-other")).recall("exp/seed", "unit").has_value());
  EXPECT_EQ(second.keep("exp/seed", "unit", {"b", split}, true).groupId, "b");
  EXPECT_EQ(first.recall("exp/seed", "unit")->groupId, "b");
}

TEST_F(AssignmentLibraryTest, AnOutcomeIsStoredForTheUnitAndReachesTheCollectorOnce) {
  EXPECT_EQ(OrvExperiment::track("purchase", 1), OrvTrackResult::kNotStarted);
  EventCapture events;
  auto config = startWithPayload(appId(), R"({"color": "red"})");
  EXPECT_EQ(OrvExperiment::track("purchase", 12.5), OrvTrackResult::kNoUnit);
  OrvExperiment::setCustomBucketId(OrvValue(42));
  for (const char* bad : {"", "two words", "ümlaut", "a\nb"})
    EXPECT_EQ(OrvExperiment::track(bad), OrvTrackResult::kInvalidName) << bad;
  EXPECT_EQ(OrvExperiment::track(std::string(129, 'x')), OrvTrackResult::kInvalidName);
  EXPECT_EQ(OrvExperiment::track(std::string(128, 'x')), OrvTrackResult::kStored);
  EXPECT_EQ(OrvExperiment::track("purchase", std::nan("")), OrvTrackResult::kInvalidValue);

  // Through the outbox to a real collector, whose store keys on eventId.
  ASSERT_TRUE(server().collectEventsTo(dir_.file("events.sqlite3")));
  OrvOtlpExporterOptions options;
  options.endpoint = server().url();
  const auto exporter = OrvMediator::sharedInstance()->addOtlpExporter(options);
  ASSERT_NE(exporter, 0u);
  EXPECT_EQ(OrvExperiment::track("purchase", 12.5), OrvTrackResult::kStored);
  EXPECT_EQ(OrvExperiment::track("checkout.completed:v2"), OrvTrackResult::kStored);
  ASSERT_TRUE(OrvExperiment::flush(std::chrono::seconds(60)));
  const auto got = events.events();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[1].name, "orv_outcome");
  EXPECT_EQ(got[1].appId, appId());
  EXPECT_EQ(got[1].properties.toJson(), R"({"#outcome":"purchase","#value":12.5})");
  EXPECT_EQ(got[2].properties.toJson(), R"({"#outcome":"checkout.completed:v2","#value":1})");
  EXPECT_EQ(got[1].context.toJson(), R"({"unit":"42"})");

  std::string error;
  auto store = OrvEventStore::open(dir_.file("events.sqlite3"), &error, false);
  ASSERT_TRUE(store) << error;
  EXPECT_EQ(store->eventCount(), 2);  // those tracked once the exporter was there
  std::ostringstream lines;
  ASSERT_TRUE(store->exportJsonLines(lines, &error)) << error;
  for (std::size_t i : {1, 2}) EXPECT_NE(lines.str().find(got[i].eventId), std::string::npos);
  EXPECT_NE(lines.str().find(R"("context":{"unit":"42"})"), std::string::npos) << lines.str();
  OrvMediator::sharedInstance()->removeOtlpExporter(exporter);
}

TEST(AssignmentTestMode, AnOutcomeIsCapturedInTestMode) {
  auto config = OrvExperimentConfig::create(OrvTesting::kDefaultAppId, "");
  config->setCustomBucketId(OrvValue("u"));
  ASSERT_TRUE(OrvTesting::start(R"({"x": 1})", config));
  EXPECT_EQ(OrvExperiment::track("purchase", 3), OrvTrackResult::kStored);
  const auto captured = OrvTesting::exposures();
  ASSERT_EQ(captured.size(), 1u);
  EXPECT_EQ(captured[0].eventName, "orv_outcome");
  EXPECT_EQ(captured[0].properties["#value"].doubleValue(), 3);
  EXPECT_EQ(captured[0].context.toJson(), R"({"unit":"u"})");
  OrvTesting::reset();
}
