// Payload values and the feature parser: JSON in and out, text forms, readers, decimals,
// and the feature table with its exposure keys.
#include <gtest/gtest.h>
#include <malloc.h>

#include <cstdio>
#include <limits>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "OrvExperiment/OrvValue.h"
#include "OrvFeatureParser.h"
#include "TestSupport.h"
#include "platform/values/OrvMD5.h"

using namespace orvtest;

namespace {

// Bytes the heap holds now (not seen under sanitizers).
std::size_t heap() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

}  // namespace

TEST(OrvValueJson, EveryKindReadsAndWritesBackInItsStableTextForm) {
  OrvValue v = json(R"({"s":"red","i":-20,"f":2.5,"b":true,"n":null,"a":[1,"x",[]],
                        "d":{"z":1,"a":{}},"u":"\u00e9\ud83d\ude00","k":1,"k":2})");
  EXPECT_EQ(v.toJson(), R"({"a":[1,"x",[]],"b":true,"d":{"a":{},"z":1},"f":2.5,"i":-20,"k":2,)"
                        R"("n":null,"s":"red","u":"é😀"})");
  EXPECT_EQ(json(v.toJson()), v);
  EXPECT_TRUE(v["i"].kind() == OrvValue::Kind::kInteger &&
              v["f"].kind() == OrvValue::Kind::kFloating);
  EXPECT_TRUE(v["b"].isBoolean() && v["b"].isNumber() && v["n"].isNull());
  EXPECT_TRUE(v["missing"].isAbsent() && v["s"]["x"].isAbsent() && v["a"].at(9).isAbsent());
  std::string texts;  // 1/3: the shortest text that reads back to the same double
  for (const OrvValue& t : {OrvValue("red"), OrvValue(std::numeric_limits<std::int64_t>::min()),
                            OrvValue(0.1), OrvValue(20.0), OrvValue(1.0 / 3.0), OrvValue(false),
                            OrvValue::null(), OrvValue(), json(R"({"k":["a\"b",1]})")})
    texts += t.description() + " ";
  EXPECT_EQ(texts, R"(red -9223372036854775808 0.1 20 0.3333333333333333 false null (null) )"
                   R"({"k":["a\"b",1]} )");
  EXPECT_EQ(OrvValue("tab\there\x01").toJson(), R"("tab\there\u0001")");
  EXPECT_EQ(OrvValue(std::numeric_limits<double>::infinity()).toJson(), "null");
}

TEST(OrvValueJson, IntegersUpTo2To64Minus1StayExactAsWritten) {
  // The over-long integer sends this input down the slower, position-reporting path.
  OrvValue v = json(R"({"max":18446744073709551615,"max1":18446744073709551614,
                        "low":9223372036854775808,"bigger":123456789012345678901234567890})");
  EXPECT_EQ(v.toJson(), R"({"bigger":1.2345678901234568e+29,"low":9223372036854775808,)"
                        R"("max":18446744073709551615,"max1":18446744073709551614})");
  EXPECT_EQ(json("[18446744073709551615]").toJson(), "[18446744073709551615]");  // fast path
  // The slow path with a number as the whole text (it once refused every such text).
  EXPECT_EQ(json(" 72036854775800799232 ").toJson(), "72036854775800799232");
  EXPECT_EQ(json("-1e400").doubleValue(), -std::numeric_limits<double>::max());
  EXPECT_EQ(v["max"].kind(), OrvValue::Kind::kUnsigned);
  EXPECT_FALSE(v["max"] == v["max1"]);  // as doubles they would be one number
  EXPECT_FALSE(v["low"] == OrvValue(std::numeric_limits<std::int64_t>::max()));
  EXPECT_EQ(v["max"], OrvValue(std::numeric_limits<std::uint64_t>::max()));
  EXPECT_EQ(v["max"].int64Value(), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(OrvValue(std::uint64_t{5}).kind(), OrvValue::Kind::kInteger);
}

TEST(OrvValueJson, BadInputGivesAnErrorWithThePositionAndDepthIsBounded) {
  const std::pair<std::string, std::string> cases[] = {
      {"", "JSON error"},
      {R"({"a":tru})", "at byte"},
      {R"({"a":1} x)", "at byte"},
      {"1e400 1", "unexpected content"},
      {"{\"a\":\"\xFF\"}", "at byte 6: invalid UTF-8"},
      {"[\"\xC0\xAF\"]", "at byte 2: invalid UTF-8"},
      {R"(["\ud800"])", "JSON error"},
      {std::string(OrvValue::kMaxNestingDepth + 1, '[') + "]", "nesting"},
      {std::string(1000000, '['), "JSON error"},  // fails cleanly, no stack overflow
  };
  for (const auto& [text, expected] : cases) {
    auto parsed = OrvValue::parseJson(text);
    EXPECT_TRUE(parsed.value.isAbsent()) << text.substr(0, 20);
    EXPECT_NE(parsed.error.find(expected), std::string::npos) << parsed.error;
  }
  const std::size_t depth = OrvValue::kMaxNestingDepth;
  EXPECT_TRUE(OrvValue::parseJson(std::string(depth, '[') + std::string(depth, ']')).ok());
}

TEST(OrvValueDocument, PartsOutliveTheirDocumentAcrossThreadsAndCostIsBounded) {
  // A parsed document is one block: parts copied out (here from several threads at once,
  // the last one freeing it) keep it alive, and dropping them all frees it (the sanitizer
  // runs see a use after free or a leak).
  std::vector<OrvValue> kept(4);
  {
    OrvValue doc = json(R"({"a":{"b":[1,"a string longer than the inline buffer",{"c":null}]},
                            "s":"short"})");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&kept, t, doc] {
        for (int i = 0; i <= 2000; ++i) kept[t] = i % 2 ? doc["s"] : doc["a"]["b"].at(t % 3);
      });
    }
    for (auto& thread : threads) thread.join();
    OrvValue::Array copied = doc["a"]["b"].elements();
    kept.push_back(OrvValue::array(std::move(copied)));  // a built value holding parts
  }
  EXPECT_EQ(kept[0].toJson() + kept[1].toJson() + kept[2].toJson() + kept[4].toJson(),
            R"(1"a string longer than the inline buffer"{"c":null})"
            R"([1,"a string longer than the inline buffer",{"c":null}])");
  EXPECT_TRUE(kept[4].at(1).isSameObject(kept[1]));

  // 8 bytes of memory per byte of text: an array of 5 million zeros (10 MiB) would take
  // far more and is refused; the same size of text as a few long strings is not.
  std::string zeros = "[0";
  while (zeros.size() < (10u << 20)) zeros += ",0";
  auto refused = OrvValue::parseJson(zeros + "]");
  EXPECT_TRUE(refused.tooCostly && refused.value.isAbsent()) << refused.error;
  const std::string longText(1u << 20, 'x');
  std::string strings = "[\"" + longText + "\"";
  for (int i = 0; i < 9; ++i) strings += ",\"" + longText + "\"";
  auto accepted = OrvValue::parseJson(strings + "]");
  ASSERT_TRUE(accepted.ok()) << accepted.error;
  EXPECT_EQ(accepted.value.at(9).stringValue().size(), longText.size());
}

// Keys written out of order are sorted in a way that depends on the object's size
// (comparisons up to 256 keys, a radix sort beyond; entries moved into a new vector, or
// permuted in place for a few and past 65,536): each way must order keys as bytes (longer
// shared prefixes than eight bytes, keys that others extend with NULs, bytes above 0x7F)
// and keep the last of repeated keys.
TEST(OrvValueDocument, ObjectsOfEverySizeSortTheirKeysAsBytes) {
  for (const int count : {20, 200, 5000, 70'000}) {
    std::map<std::string, int> expected;
    std::string text = "{";
    for (int i = 0; i < count; ++i) {
      const int n = static_cast<int>((i * 7919LL) % (count * 4 / 5));
      // Long shared prefixes, digits, bytes above 0x7F, and a few keys repeated often.
      const std::string name = n % 4 == 0
                                   ? "a-shared-prefix-longer-than-a-chunk-" + std::to_string(n)
                               : n % 4 == 1 ? std::to_string(n * 31)
                               : n % 4 == 2 ? "\xc3\xa9" + std::to_string(n)
                                            : "k" + std::to_string(n % 97);
      const bool nul = n % 5 == 0;
      text += std::string(i ? "," : "") + "\"" + name + (nul ? "\\u0000" : "") +
              "\":" + std::to_string(i);
      expected[nul ? name + std::string(1, '\0') : name] = i;
    }
    const OrvValue object = json(text + "}");
    ASSERT_EQ(object.size(), expected.size()) << count;
    auto want = expected.begin();
    for (const auto& [key, value] : object.entries()) {
      ASSERT_EQ(key, want->first) << count;
      ASSERT_EQ(value.int64Value(), want->second) << count << " " << key;
      ++want;
    }
  }
}

// An object of short keys ({"k0000001":1,...}) costs per byte of text what its entries,
// the parser's tape and the feature table the payload becomes take together: over 8 bytes
// per byte (counted before anything is built) once that passes the 64 MiB floor, and
// within it below.
TEST(OrvValueDocument, ShortKeysAreCountedWithTheParserAndTheTable) {
  const auto shortKeys = [](int count) {
    std::string text = "{";
    char entry[32];
    for (int k = 1; k <= count; ++k) {
      std::snprintf(entry, sizeof entry, "%s\"k%07d\":1", k > 1 ? "," : "", k);
      text += entry;
    }
    return text + "}";
  };
  const std::string over = shortKeys(1'000'000);  // 13 MB: a budget of 104 MB
  auto refused = OrvValue::parseJson(over);
  EXPECT_TRUE(refused.tooCostly && refused.value.isAbsent()) << refused.error;

  const std::string under = shortKeys(400'000);  // 5.2 MB: the 64 MiB floor
  auto loaded = OrvValue::parseJson(under);
  ASSERT_TRUE(loaded.ok()) << loaded.error;
  EXPECT_EQ(loaded.value.size(), 400'000u);
  EXPECT_EQ(loaded.value["k0400000"].int64Value(), 1);
}

// A thread keeps its parser's buffers (about 14 times the text) only for small texts: once
// a larger one is loaded, the thread holds the value and not the parser.
TEST(OrvValueDocument, AThreadKeepsNoParserForALargeText) {
  if (kSanitized) GTEST_SKIP() << "sanitizer allocators are not seen by mallinfo2";
  std::string text = "[100000";
  for (int i = 1; i < 50'000; ++i) text += "," + std::to_string(100000 + i);
  text += "]";
  std::size_t held = 0;
  std::thread loader([&] {
    const std::size_t before = heap();
    const OrvValue value = OrvValue::parseJson(text).value;
    ASSERT_EQ(value.size(), 50'000u);
    held = heap() - before;  // the value (16 bytes an element) and what the thread kept
  });
  loader.join();
  EXPECT_LT(held, 3 * text.size()) << "text " << text.size();
}

TEST(OrvValueReaders, TruthRuleWrongKindsAndEquality) {
  const std::pair<const char*, bool> truths[] = {
      {"yes", true}, {"YES", true},    {"T", true},   {"9", true},  {"  +007", true},
      {"-1", true},  {"\t y", true},   {"no", false}, {"0", false}, {"000", false},
      {"", false},   {"false", false}, {"x1", false}, {"-0", false}};
  for (const auto& [text, expected] : truths)
    EXPECT_EQ(OrvValue(text).boolValue(), expected) << text;
  EXPECT_TRUE(OrvValue(2).boolValue() && OrvValue(0.5).boolValue());
  EXPECT_FALSE(OrvValue(0).boolValue());
  for (const OrvValue& v : {OrvValue(), OrvValue::null(), json("[1]"), json(R"({"a":1})")}) {
    EXPECT_EQ(v.stringValue(), "");
    EXPECT_EQ(v.int64Value(), 0);
    EXPECT_EQ(v.doubleValue(), 0.0);
    EXPECT_FALSE(v.isNumber() || v.boolValue());
  }
  EXPECT_EQ(OrvValue(1e300).int64Value(), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(OrvValue(-2.9).int64Value(), -2);
  EXPECT_EQ(OrvValue("12.9").int64Value(), 12);
  // Numbers compare by value across kinds; nothing else does.
  EXPECT_EQ(json(R"({"k":[1,2]})"), json(R"({"k":[1,2]})"));
  EXPECT_FALSE(json(R"({"k":[1,2]})") == json(R"({"k":[1,3]})"));
  EXPECT_EQ(OrvValue(1), OrvValue(true));
  EXPECT_EQ(OrvValue::parseDecimal("3.50"), OrvValue(3.5));
  EXPECT_EQ(OrvValue::parseDecimal("42"), OrvValue(42));
  EXPECT_FALSE(OrvValue("1") == OrvValue(1));
  EXPECT_EQ(OrvValue(), OrvValue());
  EXPECT_FALSE(OrvValue() == OrvValue::null());
}

TEST(OrvValueDecimal, ParsesBaseTenNumbersExactlyToEighteenDigits) {
  // "text=canonical text"
  for (const std::string c : {"3.50=3.5", "-0=0", "+7=7", " -0.001e2 =-0.1", "1E3=1000", ".5=0.5",
                              "5.=5", "00012.3400=12.34", "1234567890123456789=1234567890123456780",
                              "123456789012345678901=123456789012345678000"}) {
    OrvValue d = OrvValue::parseDecimal(c.substr(0, c.find('=')));
    EXPECT_EQ(d.kind(), OrvValue::Kind::kDecimal) << c;
    EXPECT_EQ(d.description(), c.substr(c.find('=') + 1)) << c;
  }
  EXPECT_EQ(OrvValue::parseDecimal("1e-128").description(), "0." + std::string(127, '0') + "1");
  EXPECT_EQ(OrvValue::parseDecimal("3.50").decimalMantissa(), 35);
  EXPECT_EQ(OrvValue::parseDecimal("3.50").decimalExponent(), -1);
  EXPECT_EQ(OrvValue::parseDecimal("-12.99").int64Value(), -12);
  for (const char* text : {"", " ", "abc", "-", ".", "1e", "1e+", "12abc", "1,000", "0x10", "nan",
                           "inf", "1e200", "1e-200", "--1", "1.2.3"})
    EXPECT_TRUE(OrvValue::parseDecimal(text).isAbsent()) << text;
}

namespace {

// The table parse() makes of `payload`, as text: "key=value" per feature in key order,
// followed by "[experiment id|group id|control|bucket id]" when it has experiment info.
std::string describe(const std::string& payload) {
  const auto text = [](const OrvValue& v) { return v.isAbsent() ? "-" : v.toJson(); };
  std::map<std::string, std::string> sorted;
  const auto table = OrvFeatureParser::parse(json(payload));
  for (const OrvFeature& feature : *table) {
    const std::string& key = feature.key();
    sorted[key] = text(feature.value());
    if (const auto* i = feature.experimentInfo()) {
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

  // Features listed by one entry share its record.
  auto shared = OrvFeatureParser::parse(json(R"({"x":1,"y":2,
      "experiment_detail":[{"#experiment_id":"e","#feature_list":["x","y"]}]})"));
  EXPECT_EQ(shared->at("x").experimentInfo(), shared->at("y").experimentInfo());

  // A reload keeps what the table it replaces knew of a record with the same exposure
  // key, found through any listed key the old table had; a changed group starts afresh.
  const auto payload = [](const char* group, const char* list) {
    return json(std::string(R"({"x":1,"y":2,"z":3,"experiment_detail":[{"#experiment_id":"e",)") +
                R"("#experiment_group_id":")" + group + R"(","#feature_list":[)" + list + "]}]}");
  };
  auto before = OrvFeatureParser::parse(payload("1", R"("x","y")"));
  before->at("x").experimentInfo()->setRecordedGeneration(7);
  std::string kept;
  for (const auto& [group, list] : {std::pair{"1", R"("x","y")"},
                                    {"1", R"("w","z","y")"},
                                    {"2", R"("x","y")"},
                                    {"1", R"("z")"}}) {
    auto after = OrvFeatureParser::parse(payload(group, list), before.get());
    kept += std::to_string(after->at("y").experimentInfo()
                               ? after->at("y").experimentInfo()->recordedGeneration()
                               : after->at("z").experimentInfo()->recordedGeneration());
  }
  EXPECT_EQ(kept, "7700");  // same key; via "y"; another group; "z" unknown to the old table
  // The index finds every key, present or not, in tables of every size.
  for (const int n : {0, 1, 13, 1000}) {
    std::string text = "{";
    for (int i = 0; i < n; ++i) text += "\"k" + std::to_string(i) + "\":" + std::to_string(i) + ",";
    auto table = OrvFeatureParser::parse(json(text + "\"experiment_detail\":[]}"));
    ASSERT_EQ(table->size(), static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i)
      EXPECT_EQ(table->at("k" + std::to_string(i)).value().int64Value(), i);
    EXPECT_FALSE(table->contains("k" + std::to_string(n)) || table->contains("") ||
                 table->contains("experiment_detail"));
  }
}

// Each part of the exposure key string is its text form: a boolean is a number there.
// The table holds a record per experiment entry that lists a key, and none for the rest
// of the list: 500,000 zeros there cost the table nothing (a record each was 52 MB).
TEST(OrvFeatureParser, EntriesThatListNoKeyCostTheTableNothing) {
  if (kSanitized) GTEST_SKIP() << "sanitizer allocators are not seen by mallinfo2";
  std::string text = R"({"color":"red","experiment_detail":[)";
  for (int i = 0; i < 500'000; ++i) text += "0,";
  text += R"({"#experiment_id":"e","#feature_list":["color"]}]})";
  const OrvValue payload = json(text);
  const std::size_t before = heap();
  const auto table = OrvFeatureParser::parse(payload);
  EXPECT_LT(heap() - before, std::size_t{1} << 16);
  ASSERT_NE(table->find("color"), nullptr);
  ASSERT_NE(table->find("color")->experimentInfo(), nullptr);
  EXPECT_EQ(table->find("color")->experimentInfo()->experimentId().stringValue(), "e");
}

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
    EXPECT_EQ(table->at("f").experimentInfo()->exposureKeyString(), expected) << fields;
  }
  auto table = OrvFeatureParser::parse(json(kWorkedExamplePayload));
  EXPECT_EQ(table->at("color").experimentInfo()->recordKey(), "eab42a8b1be8e342da1d4cdead8b1da0");
  EXPECT_EQ(table->at("limit").experimentInfo()->recordKey(), "a0d2f4cb424c9363f8df96bad6765bf8");
  EXPECT_EQ(OrvMD5::hex("_101_2"), "b4b028846820c20551745aa9e8cf3086");
  EXPECT_EQ(OrvMD5::hex(std::string("_101_2\0tail", 11)), "331b36ab7b64f029d84e9e88d8ca0fd9");
}
