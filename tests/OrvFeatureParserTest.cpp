#include <gtest/gtest.h>

#include <map>

#include "OrvFeatureParser.h"
#include "TestSupport.h"
#include "platform/OrvMD5.h"

using orvtest::json;
using orvtest::kWorkedExamplePayload;

namespace {

// The table parse() makes of `payload`, as text: "key=value" per feature in key order,
// followed by "[experiment id|group id|control|bucket id]" when it has experiment info.
std::string describe(const std::string& payload) {
  const auto text = [](const OrvValue& v) { return v.isAbsent() ? "-" : v.toJson(); };
  std::map<std::string, std::string> sorted;
  const auto table = OrvFeatureParser::parse(json(payload));
  for (const auto& [key, feature] : *table) {
    sorted[key] = text(feature->value());
    if (const auto& i = feature->experimentInfo()) {
      sorted[key] += "[" + text(i->experimentId()) + "|" + text(i->experimentGroupId()) + "|" +
                     (i->isControl() ? "1" : "0") + "|" + text(i->customBucketId()) + "]";
    }
  }
  std::string out;
  for (const auto& [key, feature] : sorted) out += key + "=" + feature + ";";
  return out;
}

}  // namespace

TEST(OrvFeatureParser, WorkedExampleAndMisfitsSkippedWhereTheyStand) {
  const std::pair<std::string, std::string> cases[] = {
      {kWorkedExamplePayload,  // the later entry wins "limit"; "gone" and 5 are no features
       R"(banner={"title":"hi"};color="red"["101"|"2"|0|7];flag=true;limit=20["205"|"1"|1|3];)"},
      {"null", ""},
      {R"("text")", ""},
      {"[1,2]", ""},
      {R"({"experiment_detail":[]})", ""},
      {R"({"a":1,"experiment_detail":"text"})", "a=1;"},
      {R"({"a":1,"experiment_detail":{"#feature_list":["a"]}})", "a=1;"},
      {R"({"a":null,"b":1,"c":2,"d":3,"Experiment_Detail":4,"experiment_detail":[
          7, null, ["a"], {"#feature_list":"a"},
          {"#experiment_id":101,"#experiment_group_id":[1],"bucket_id":{"k":"v"},
           "#feature_list":["a",1,null,{},"A"]},
          {"#is_control_group":"yes","#feature_list":["b","b","c"]},
          {"#is_control_group":2,"#feature_list":["c"]},
          {"#is_control_group":"0","#feature_list":["d"]},
          {"#is_control_group":{},"#feature_list":["nothing-here"]}]})",
       R"(Experiment_Detail=4;a=null[101|[1]|0|{"k":"v"}];b=1[-|-|1|-];c=2[-|-|1|-];)"
       R"(d=3[-|-|0|-];)"},
  };
  for (const auto& [payload, expected] : cases) EXPECT_EQ(describe(payload), expected) << payload;

  // Values are the payload's own objects; features of one entry share its record.
  OrvValue payload = json(kWorkedExamplePayload);
  auto table = OrvFeatureParser::parse(payload);
  EXPECT_TRUE(table->at("banner")->value().isSameObject(payload["banner"]));
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
