#include <gtest/gtest.h>

#include "OrvFeatureParser.h"
#include "TestSupport.h"
#include "platform/OrvMD5.h"

using orvtest::json;

namespace {

const char* const kWorkedExample = orvtest::kWorkedExamplePayload;

}  // namespace

TEST(OrvFeatureParser, WorkedExampleGivesExactlyFourFeatures) {
  OrvValue payload = json(kWorkedExample);
  auto table = OrvFeatureParser::parse(payload);
  ASSERT_EQ(table->size(), 4u);
  EXPECT_EQ(table->count("experiment_detail"), 0u);
  EXPECT_EQ(table->count("gone"), 0u);

  const auto& color = table->at("color");
  const auto& limit = table->at("limit");
  const auto& banner = table->at("banner");
  const auto& flag = table->at("flag");

  // Values are the payload's own objects, not copies.
  EXPECT_TRUE(color->value().isSameObject(payload["color"]));
  EXPECT_TRUE(banner->value().isSameObject(payload["banner"]));
  EXPECT_EQ(limit->value().int64Value(), 20);
  EXPECT_TRUE(flag->value().isBoolean());
  EXPECT_EQ(flag->value().int64Value(), 1);

  const auto& a = color->experimentInfo();
  ASSERT_TRUE(a);
  EXPECT_EQ(a->experimentId().stringValue(), "101");
  EXPECT_EQ(a->experimentGroupId().stringValue(), "2");
  EXPECT_FALSE(a->isControl());
  EXPECT_EQ(a->customBucketId().int64Value(), 7);

  // The later entry wins for "limit".
  const auto& b = limit->experimentInfo();
  ASSERT_TRUE(b);
  EXPECT_EQ(b->experimentId().stringValue(), "205");
  EXPECT_EQ(b->experimentGroupId().stringValue(), "1");
  EXPECT_TRUE(b->isControl());
  EXPECT_EQ(b->customBucketId().int64Value(), 3);

  EXPECT_FALSE(banner->experimentInfo());
  EXPECT_FALSE(flag->experimentInfo());
}

TEST(OrvFeatureParser, FeaturesOfOneEntryShareOneRecord) {
  auto table = OrvFeatureParser::parse(json(R"({"x":1,"y":2,"z":3,
      "experiment_detail":[{"#experiment_id":"e","#feature_list":["x","y","x"]}]})"));
  ASSERT_EQ(table->size(), 3u);
  ASSERT_TRUE(table->at("x")->experimentInfo());
  EXPECT_EQ(table->at("x")->experimentInfo().get(), table->at("y")->experimentInfo().get());
  EXPECT_FALSE(table->at("z")->experimentInfo());
}

TEST(OrvFeatureParser, InputThatIsNotADictionaryGivesAnEmptyTable) {
  for (const OrvValue& input : {OrvValue(), OrvValue("text"), json("[1,2]"), OrvValue::null(),
                                OrvValue(3), json(R"({"experiment_detail":[]})")}) {
    auto table = OrvFeatureParser::parse(input);
    ASSERT_TRUE(table);
    EXPECT_TRUE(table->empty()) << input.description();
  }
}

TEST(OrvFeatureParser, MisfitsAreSkippedWhereTheyStand) {
  // experiment_detail of the wrong kind: every other key still becomes a feature.
  for (const char* detail : {R"("text")", "42", R"({"#feature_list":["a"]})", "null"}) {
    auto table = OrvFeatureParser::parse(
        json(std::string(R"({"a":1,"b":"x","experiment_detail":)") + detail + "}"));
    EXPECT_EQ(table->size(), 2u) << detail;
    EXPECT_EQ(table->count("experiment_detail"), 0u);
    EXPECT_FALSE(table->at("a")->experimentInfo()) << detail;
  }

  auto table = OrvFeatureParser::parse(json(R"({"a":null,"b":1,"c":2,"d":3,"experiment_detail":[
      7, null, ["a"],
      {"#feature_list":"a"},
      {"#experiment_id":101,"#experiment_group_id":[1],"bucket_id":{"k":"v"},"#feature_list":["a",1,null,{}]},
      {"#is_control_group":"yes","#feature_list":["b"]},
      {"#is_control_group":2,"#feature_list":["c"]},
      {"#is_control_group":"0","#feature_list":["d"]},
      {"#is_control_group":{},"#feature_list":["nothing-here"]}
  ]})"));
  ASSERT_EQ(table->size(), 4u);
  // A null payload value is still a feature holding that null.
  EXPECT_TRUE(table->at("a")->value().isNull());
  const auto& a = table->at("a")->experimentInfo();
  ASSERT_TRUE(a);
  EXPECT_EQ(a->experimentId().kind(), OrvValue::Kind::kInteger);  // a number id stays a number
  EXPECT_EQ(a->experimentId().int64Value(), 101);
  EXPECT_TRUE(a->experimentGroupId().isArray());
  EXPECT_TRUE(a->customBucketId().isDictionary());
  EXPECT_FALSE(a->isControl());

  const auto& b = table->at("b")->experimentInfo();
  ASSERT_TRUE(b);
  EXPECT_TRUE(b->isControl());
  EXPECT_TRUE(b->experimentId().isAbsent());
  EXPECT_TRUE(b->experimentGroupId().isAbsent());
  EXPECT_TRUE(b->customBucketId().isAbsent());
  EXPECT_TRUE(table->at("c")->experimentInfo()->isControl());
  EXPECT_FALSE(table->at("d")->experimentInfo()->isControl());
}

TEST(OrvFeatureParser, KeysAreExactAndCaseSensitive) {
  auto table = OrvFeatureParser::parse(json(R"({"Color":1,"color":2,"Experiment_Detail":3,
      "experiment_detail":[{"#experiment_id":"x","#feature_list":["COLOR","color"]}]})"));
  ASSERT_EQ(table->size(), 3u);
  EXPECT_EQ(table->at("Experiment_Detail")->value().int64Value(), 3);
  EXPECT_FALSE(table->at("Color")->experimentInfo());
  EXPECT_TRUE(table->at("color")->experimentInfo());
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
  auto table = OrvFeatureParser::parse(json(kWorkedExample));
  EXPECT_EQ(table->at("color")->experimentInfo()->recordKey(), "eab42a8b1be8e342da1d4cdead8b1da0");
  EXPECT_EQ(table->at("limit")->experimentInfo()->recordKey(), "a0d2f4cb424c9363f8df96bad6765bf8");
  EXPECT_EQ(OrvMD5::hexOfText("_101_2"), "b4b028846820c20551745aa9e8cf3086");
}
