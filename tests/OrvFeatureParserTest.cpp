#include <gtest/gtest.h>

#include "OrvFeatureParser.h"
#include "TestSupport.h"
#include "platform/OrvMD5.h"

using orvtest::json;
using orvtest::kWorkedExamplePayload;

TEST(OrvFeatureParser, WorkedExampleGivesExactlyFourFeatures) {
  OrvValue payload = json(kWorkedExamplePayload);
  auto table = OrvFeatureParser::parse(payload);
  ASSERT_EQ(table->size(), 4u);  // no "experiment_detail", no "gone"
  const auto& color = table->at("color");
  const auto& limit = table->at("limit");
  EXPECT_TRUE(color->value().isSameObject(payload["color"]));  // the payload's own object
  EXPECT_TRUE(table->at("banner")->value().isSameObject(payload["banner"]));
  EXPECT_TRUE(table->at("flag")->value().isBoolean());
  EXPECT_EQ(limit->value(), OrvValue(20));
  const auto& a = color->experimentInfo();
  ASSERT_TRUE(a);
  EXPECT_EQ(a->experimentId(), OrvValue("101"));
  EXPECT_EQ(a->experimentGroupId(), OrvValue("2"));
  EXPECT_FALSE(a->isControl());
  EXPECT_EQ(a->customBucketId(), OrvValue(7));
  const auto& b = limit->experimentInfo();  // the later entry wins
  ASSERT_TRUE(b);
  EXPECT_EQ(b->experimentId(), OrvValue("205"));
  EXPECT_EQ(b->experimentGroupId(), OrvValue("1"));
  EXPECT_TRUE(b->isControl());
  EXPECT_EQ(b->customBucketId(), OrvValue(3));
  EXPECT_FALSE(table->at("banner")->experimentInfo() || table->at("flag")->experimentInfo());
}

TEST(OrvFeatureParser, MisfitsAreSkippedWhereTheyStand) {
  for (const OrvValue& input : {OrvValue(), OrvValue("text"), json("[1,2]"), OrvValue::null(),
                                json(R"({"experiment_detail":[]})")})
    EXPECT_TRUE(OrvFeatureParser::parse(input)->empty()) << input.toJson();
  // experiment_detail of the wrong kind: every other key still becomes a feature.
  for (const char* detail : {R"("text")", "42", R"({"#feature_list":["a"]})", "null"}) {
    auto table = OrvFeatureParser::parse(
        json(std::string(R"({"a":1,"b":"x","experiment_detail":)") + detail + "}"));
    EXPECT_EQ(table->size(), 2u) << detail;
    EXPECT_FALSE(table->at("a")->experimentInfo()) << detail;
  }
  auto table = OrvFeatureParser::parse(json(R"({"a":null,"b":1,"c":2,"d":3,"Experiment_Detail":4,
    "experiment_detail":[7, null, ["a"], {"#feature_list":"a"},
      {"#experiment_id":101,"#experiment_group_id":[1],"bucket_id":{"k":"v"},
       "#feature_list":["a",1,null,{},"A"]},
      {"#is_control_group":"yes","#feature_list":["b","b","c"]},
      {"#is_control_group":2,"#feature_list":["c"]},
      {"#is_control_group":"0","#feature_list":["d"]},
      {"#is_control_group":{},"#feature_list":["nothing-here"]}]})"));
  ASSERT_EQ(table->size(), 5u);
  EXPECT_TRUE(table->at("a")->value().isNull());  // a null value is still a feature
  EXPECT_FALSE(table->at("Experiment_Detail")->experimentInfo());  // keys are exact
  const auto& a = table->at("a")->experimentInfo();
  ASSERT_TRUE(a);
  EXPECT_EQ(a->experimentId().kind(), OrvValue::Kind::kInteger);  // a number id stays a number
  EXPECT_TRUE(a->experimentGroupId().isArray() && a->customBucketId().isDictionary());
  EXPECT_FALSE(a->isControl());
  const auto& b = table->at("b")->experimentInfo();
  ASSERT_TRUE(b);
  EXPECT_TRUE(b->isControl());
  EXPECT_TRUE(b->experimentId().isAbsent() && b->customBucketId().isAbsent());
  EXPECT_TRUE(table->at("c")->experimentInfo()->isControl());  // from 2, the later entry
  EXPECT_NE(table->at("c")->experimentInfo(), b);
  EXPECT_FALSE(table->at("d")->experimentInfo()->isControl());
  // Features listed by one entry share its record.
  auto shared = OrvFeatureParser::parse(json(R"({"x":1,"y":2,
      "experiment_detail":[{"#experiment_id":"e","#feature_list":["x","y"]}]})"));
  EXPECT_EQ(shared->at("x")->experimentInfo(), shared->at("y")->experimentInfo());
}

// Each part of the exposure key string is its text form: a boolean is a number there.
TEST(OrvExperimentInfo, KeyStringsFollowTheTextFormOfEachKind) {
  const std::pair<const char*, const char*> cases[] = {
      {R"(,"bucket_id":7,"#experiment_id":"101","#experiment_group_id":"2")", "7_101_2"},
      {R"(,"#experiment_id":"101","#experiment_group_id":"2")", "_101_2"},
      {R"(,"bucket_id":true,"#experiment_id":false,"#experiment_group_id":1)", "1_0_1"},
      {R"(,"bucket_id":null,"#experiment_id":2.5)", "null_2.5_"},
      {R"(,"bucket_id":18446744073709551615,"#experiment_id":-3)", "18446744073709551615_-3_"},
      {R"(,"bucket_id":{"k":[1]},"#experiment_group_id":"g")", R"({"k":[1]}__g)"},
      {"", "__"},
  };
  for (const auto& [fields, expected] : cases) {
    auto table = OrvFeatureParser::parse(json(
        std::string(R"({"f":1,"experiment_detail":[{"#feature_list":["f"])") + fields + "}]}"));
    EXPECT_EQ(table->at("f")->experimentInfo()->exposureKeyString(), expected) << fields;
  }
  auto table = OrvFeatureParser::parse(json(kWorkedExamplePayload));
  EXPECT_EQ(table->at("color")->experimentInfo()->recordKey(), "eab42a8b1be8e342da1d4cdead8b1da0");
  EXPECT_EQ(table->at("limit")->experimentInfo()->recordKey(), "a0d2f4cb424c9363f8df96bad6765bf8");
  EXPECT_EQ(OrvMD5::hexOfText("_101_2"), "b4b028846820c20551745aa9e8cf3086");
  EXPECT_EQ(OrvMD5::hexOfText(std::string("_101_2\0tail", 11)), "b4b028846820c20551745aa9e8cf3086");
}
