#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "OrvExperiment/OrvValue.h"
#include "TestSupport.h"

using orvtest::json;

TEST(OrvValueJson, ReadsEveryKindAndWritesCompactSortedJson) {
  OrvValue v = json(R"({"s":"red","i":-20,"f":2.5,"b":true,"n":null,"a":[1,"x",[]],
                        "d":{"z":1,"a":{}},"u":"\u00e9\ud83d\ude00"})");
  ASSERT_TRUE(v.isDictionary());
  EXPECT_EQ(v.size(), 8u);
  EXPECT_TRUE(v["s"].isString());
  EXPECT_EQ(v["s"].stringValue(), "red");
  EXPECT_EQ(v["i"].kind(), OrvValue::Kind::kInteger);
  EXPECT_EQ(v["i"].int64Value(), -20);
  EXPECT_EQ(v["f"].kind(), OrvValue::Kind::kFloating);
  EXPECT_DOUBLE_EQ(v["f"].doubleValue(), 2.5);
  EXPECT_TRUE(v["b"].isBoolean());
  EXPECT_TRUE(v["b"].isNumber());
  EXPECT_EQ(v["b"].int64Value(), 1);
  EXPECT_TRUE(v["n"].isNull());
  EXPECT_FALSE(v["n"].isAbsent());
  EXPECT_TRUE(v["missing"].isAbsent());
  EXPECT_TRUE(v["a"].isArray());
  EXPECT_EQ(v["a"].at(1).stringValue(), "x");
  EXPECT_TRUE(v["a"].at(9).isAbsent());
  EXPECT_TRUE(v["s"]["not a dictionary"].isAbsent());
  EXPECT_EQ(v["u"].stringValue(), "\xC3\xA9\xF0\x9F\x98\x80");
  EXPECT_EQ(v.toJson(),
            R"({"a":[1,"x",[]],"b":true,"d":{"a":{},"z":1},"f":2.5,"i":-20,"n":null,"s":"red",)"
            "\"u\":\"\xC3\xA9\xF0\x9F\x98\x80\"}");
  // Whatever toJson writes reads back to equal content.
  EXPECT_EQ(json(v.toJson()), v);
}

TEST(OrvValueJson, TextFormsAreStable) {
  EXPECT_EQ(OrvValue("red").description(), "red");
  EXPECT_EQ(OrvValue(20).description(), "20");
  EXPECT_EQ(OrvValue(std::numeric_limits<std::int64_t>::min()).description(),
            "-9223372036854775808");
  EXPECT_EQ(OrvValue(0.1).description(), "0.1");
  EXPECT_EQ(OrvValue(20.0).description(), "20");
  EXPECT_EQ(OrvValue(true).description(), "true");
  EXPECT_EQ(OrvValue(false).description(), "false");
  EXPECT_EQ(OrvValue::null().description(), "null");
  EXPECT_EQ(OrvValue().description(), "(null)");
  EXPECT_EQ(json(R"({"k":["a\"b",1]})").description(), R"({"k":["a\"b",1]})");
  EXPECT_EQ(OrvValue("tab\there\x01").toJson(), R"("tab\there\u0001")");
  EXPECT_EQ(OrvValue(std::numeric_limits<double>::infinity()).toJson(), "null");
  // Shortest text that reads back to the same double.
  const double third = 1.0 / 3.0;
  EXPECT_EQ(std::stod(OrvValue(third).description()), third);
}

TEST(OrvValueJson, DuplicateKeysKeepTheLastAndUnsignedIntegersStayExact) {
  OrvValue v = json(R"({"k":1,"k":2,"max":18446744073709551615,"max1":18446744073709551614,
                        "low":9223372036854775808,"bigger":123456789012345678901234567890})");
  EXPECT_EQ(v.size(), 5u);
  EXPECT_EQ(v["k"].int64Value(), 2);
  EXPECT_EQ(v["max"].kind(), OrvValue::Kind::kUnsigned);
  EXPECT_EQ(v["max"].description(), "18446744073709551615");
  EXPECT_EQ(v["low"].description(), "9223372036854775808");
  EXPECT_EQ(v.toJson(), R"({"bigger":1.2345678901234568e+29,"k":2,"low":9223372036854775808,)"
                        R"("max":18446744073709551615,"max1":18446744073709551614})");
  // As doubles the two would be one number; kept exact, they differ.
  EXPECT_FALSE(v["max"] == v["max1"]);
  EXPECT_FALSE(v["low"] == OrvValue(std::numeric_limits<std::int64_t>::max()));
  EXPECT_EQ(v["max"], OrvValue(std::numeric_limits<std::uint64_t>::max()));
  EXPECT_EQ(v["max"].int64Value(), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(OrvValue(std::uint64_t{5}).kind(), OrvValue::Kind::kInteger);
  // Without the over-long integer the fast parser reads the input; same result.
  EXPECT_EQ(json("[18446744073709551615]").toJson(), "[18446744073709551615]");
}

TEST(OrvValueJson, BadInputGivesAnErrorWithThePosition) {
  struct Case {
    std::string text;
    std::string expected;  // part of the error message
  };
  const Case cases[] = {
      {"", "JSON error"},
      {"{", "JSON error"},
      {R"({"a":1,})", "JSON error"},
      {R"({"a":tru})", "at byte"},
      {R"({"a":1} x)", "at byte"},
      {R"(["a" "b"])", "at byte"},
      {"{\"a\":\"\xFF\"}", "at byte 6: invalid UTF-8"},
      {"[\"\xC0\xAF\"]", "at byte 2: invalid UTF-8"},
      {R"(["\ud800"])", "JSON error"},
      {"<html><body>502</body></html>", "JSON error"},
  };
  for (const Case& c : cases) {
    auto parsed = OrvValue::parseJson(c.text);
    EXPECT_FALSE(parsed.ok()) << c.text;
    EXPECT_TRUE(parsed.value.isAbsent()) << c.text;
    EXPECT_NE(parsed.error.find(c.expected), std::string::npos) << c.text << " -> " << parsed.error;
  }
}

TEST(OrvValueJson, NestingDepthIsBounded) {
  auto nested = [](int depth) {
    return std::string(static_cast<std::size_t>(depth), '[') +
           std::string(static_cast<std::size_t>(depth), ']');
  };
  EXPECT_TRUE(OrvValue::parseJson(nested(OrvValue::kMaxNestingDepth)).ok());
  auto tooDeep = OrvValue::parseJson(nested(OrvValue::kMaxNestingDepth + 1));
  EXPECT_FALSE(tooDeep.ok());
  EXPECT_NE(tooDeep.error.find("nesting"), std::string::npos) << tooDeep.error;
  // Far beyond any limit: must fail cleanly, not overflow the stack.
  EXPECT_FALSE(OrvValue::parseJson(nested(1000000)).ok());
}

TEST(OrvValueReaders, StringTruthRule) {
  const std::pair<const char*, bool> cases[] = {
      {"yes", true},  {"YES", true},    {"true", true}, {"T", true},      {"1", true},
      {"9", true},    {"  +007", true}, {"-1", true},   {"no", false},    {"0", false},
      {"000", false}, {"", false},      {"  ", false},  {"false", false}, {"x1", false},
      {"-0", false},  {"\t\n y", true},
  };
  for (const auto& [text, expected] : cases)
    EXPECT_EQ(OrvValue(text).boolValue(), expected) << text;
  EXPECT_TRUE(OrvValue(2).boolValue());
  EXPECT_FALSE(OrvValue(0).boolValue());
  EXPECT_TRUE(OrvValue(0.5).boolValue());
  EXPECT_FALSE(OrvValue::null().boolValue());
  EXPECT_FALSE(json("{}").boolValue());
  EXPECT_FALSE(OrvValue().boolValue());
}

TEST(OrvValueReaders, WrongKindsAnswerEmptyZeroOrFalse) {
  const OrvValue values[] = {OrvValue(), OrvValue::null(), json("[1]"), json(R"({"a":1})")};
  for (const OrvValue& v : values) {
    EXPECT_EQ(v.stringValue(), "");
    EXPECT_EQ(v.int64Value(), 0);
    EXPECT_EQ(v.doubleValue(), 0.0);
    EXPECT_FALSE(v.isNumber());
  }
  EXPECT_EQ(OrvValue(1e300).int64Value(), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(OrvValue(-2.9).int64Value(), -2);
  EXPECT_EQ(OrvValue("12.9").int64Value(), 12);
  EXPECT_EQ(OrvValue(5).size(), 0u);
}

TEST(OrvValueDecimal, ParsesBaseTenNumbersExactly) {
  const std::pair<const char*, const char*> accepted[] = {
      {"3.50", "3.5"},
      {"42", "42"},
      {"-0", "0"},
      {"+7", "7"},
      {"0.001", "0.001"},
      {" -0.001e2 ", "-0.1"},
      {"1E3", "1000"},
      {".5", "0.5"},
      {"5.", "5"},
      {"00012.3400", "12.34"},
      {"1e-128",
       "0."
       "0000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
       "0000000000000000000000000000000000001"},
      {"123456789012345678901", "123456789012345678000"},
  };
  for (const auto& [text, canonical] : accepted) {
    OrvValue d = OrvValue::parseDecimal(text);
    ASSERT_EQ(d.kind(), OrvValue::Kind::kDecimal) << text;
    EXPECT_EQ(d.description(), canonical) << text;
    EXPECT_TRUE(d.isNumber());
  }
  EXPECT_EQ(OrvValue::parseDecimal("3.50").decimalMantissa(), 35);
  EXPECT_EQ(OrvValue::parseDecimal("3.50").decimalExponent(), -1);
  EXPECT_DOUBLE_EQ(OrvValue::parseDecimal("3.50").doubleValue(), 3.5);
  EXPECT_EQ(OrvValue::parseDecimal("-12.99").int64Value(), -12);

  const char* rejected[] = {"",      " ",    "abc", "-",   ".",     "1e",     "1e+", "12abc",
                            "1,000", "0x10", "nan", "inf", "1e200", "1e-200", "--1", "1.2.3"};
  for (const char* text : rejected) EXPECT_TRUE(OrvValue::parseDecimal(text).isAbsent()) << text;
}

TEST(OrvValueEquality, IdentityDiffersFromContent) {
  OrvValue a = json(R"({"k":[1,2]})");
  OrvValue copy = a;
  OrvValue b = json(R"({"k":[1,2]})");
  EXPECT_TRUE(a.isSameObject(copy));
  EXPECT_FALSE(a.isSameObject(b));
  EXPECT_EQ(a, b);
  EXPECT_TRUE(a["k"].isSameObject(copy["k"]));
  EXPECT_FALSE(a == json(R"({"k":[1,3]})"));
  // Numbers compare by value across kinds; strings never equal numbers.
  EXPECT_EQ(OrvValue(1), OrvValue(true));
  EXPECT_EQ(OrvValue::parseDecimal("3.50"), OrvValue(3.5));
  EXPECT_EQ(OrvValue::parseDecimal("42"), OrvValue(42));
  EXPECT_FALSE(OrvValue("1") == OrvValue(1));
  EXPECT_EQ(OrvValue(), OrvValue());
  EXPECT_FALSE(OrvValue() == OrvValue::null());
}
