// The sample-ratio-mismatch check: p-values against SciPy and by simulation, verdicts at
// their boundaries, the intended split, and the splits exposures carried.
#include <gtest/gtest.h>

#include <cmath>
#include <map>

#include "CollectorFixture.h"
#include "analysis/OrvSrm.h"

using namespace orvtest;

TEST(Srm, PValuesAndStatisticsMatchScipy) {
  if (runCommand("/usr/bin/python3 -c 'import scipy' 2>/dev/null") != 0)
    GTEST_SKIP() << "SciPy is missing (Debian's python3-scipy)";
  // fits: counts per group and weights; tails: [statistic, degrees of freedom];
  // mixtures: experiments whose exposures carried several splits, per split its
  // exposures per group and its weights.
  const std::string casesFile = std::string(ORV_TEST_SOURCE_DIR) + "/tests/fixtures/srm-cases.json";
  const OrvValue cases = json(readFile(casesFile));
  const auto& fits = cases["fits"].elements();
  const auto& tails = cases["tails"].elements();
  const auto& mixtures = cases["mixtures"].elements();
  std::string output;
  ASSERT_EQ(runCommand("/usr/bin/python3 " + std::string(ORV_TEST_SOURCE_DIR) +
                           "/tests/srm_scipy.py " + casesFile,
                       60, &output),
            0)
      << output;
  const OrvValue reference = json(output);
  const auto close = [](double ours, double theirs) {
    const double gap = std::fabs(ours - theirs);
    return gap <= 1e-9 && gap <= 1e-9 * std::fabs(theirs);
  };
  for (std::size_t i = 0; i < fits.size(); ++i) {
    std::vector<OrvEventStore::GroupCount> counts;
    OrvIntendedSplit split;
    for (std::size_t g = 0; g < fits[i]["counts"].size(); ++g) {
      counts.push_back(
          {"a", "e", std::to_string(g), false, fits[i]["counts"].at(g).int64Value(), ""});
      split.emplace_back(std::to_string(g), fits[i]["weights"].at(g).doubleValue());
    }
    const OrvSrmCheck check = orvSrmCheck("a", "e", counts, split, "expect");
    const double chi = reference["fits"].at(i).at(0).doubleValue();
    const double p = reference["fits"].at(i).at(1).doubleValue();
    EXPECT_NEAR(check.chiSquare, chi, 1e-9 * std::max(1.0, chi)) << "fit " << i;
    EXPECT_TRUE(close(check.pValue, p)) << "fit " << i << ": " << check.pValue << " vs " << p;
    const double anytime = reference["fits"].at(i).at(2).doubleValue();
    EXPECT_TRUE(close(check.anytimePValue, anytime))
        << "fit " << i << ": anytime " << check.anytimePValue << " vs " << anytime;
  }
  for (std::size_t i = 0; i < tails.size(); ++i) {
    const double ours = orvChiSquarePValue(tails[i].at(0).doubleValue(),
                                           static_cast<int>(tails[i].at(1).int64Value()));
    const double theirs = reference["tails"].at(i).doubleValue();
    EXPECT_TRUE(close(ours, theirs)) << tails[i].toJson() << ": " << ours << " vs " << theirs;
  }
  for (std::size_t i = 0; i < mixtures.size(); ++i) {
    std::vector<OrvEventStore::GroupCount> counts;
    for (const auto& part : mixtures[i].elements()) {
      OrvValue::Array split;
      for (std::size_t g = 0; g < part["weights"].size(); ++g)
        split.push_back(OrvValue::array({OrvValue(std::to_string(g)), part["weights"].at(g)}));
      for (std::size_t g = 0; g < part["counts"].size(); ++g)
        if (part["counts"].at(g).int64Value() > 0)
          counts.push_back({"a", "e", std::to_string(g), false, part["counts"].at(g).int64Value(),
                            OrvValue::array(split).toJson()});
    }
    const OrvSrmCheck check = orvSrmCheck("a", "e", counts, {}, "equal");
    const OrvValue& theirs = reference["mixtures"].at(i);
    EXPECT_EQ(check.intendedFrom, "exposures");
    EXPECT_NEAR(check.chiSquare, theirs.at(0).doubleValue(), 1e-9 * std::max(1.0, check.chiSquare))
        << "mixture " << i;
    EXPECT_NEAR(check.designEffect, theirs.at(1).doubleValue(), 1e-12) << "mixture " << i;
    EXPECT_TRUE(close(check.pValue, theirs.at(2).doubleValue()))
        << "mixture " << i << ": " << check.pValue << " vs " << theirs.at(2).doubleValue();
    EXPECT_TRUE(close(check.anytimePValue, theirs.at(3).doubleValue()))
        << "mixture " << i << ": anytime " << check.anytimePValue << " vs "
        << theirs.at(3).doubleValue();
  }
  EXPECT_EQ(orvChiSquarePValue(0, 3), 1);
  EXPECT_EQ(orvChiSquarePValue(INFINITY, 3), 0);
}

TEST(Srm, VerdictsAndAlarmsAtTheirBoundaries) {
  const auto check = [](std::vector<std::int64_t> counts, const OrvIntendedSplit& split) {
    std::vector<OrvEventStore::GroupCount> groups;
    for (std::size_t g = 0; g < counts.size(); ++g)
      groups.push_back({"a", "e", std::to_string(g + 1), g == 0, counts[g], ""});
    return orvSrmCheck("a", "e", groups, split, "expect");
  };
  const OrvSrmCheck few = check({50, 49}, {});
  EXPECT_FALSE(few.judged);
  EXPECT_EQ(few.intendedFrom, "equal");
  EXPECT_EQ(few.verdict, "Not enough exposures to judge yet (99 of 100).");
  EXPECT_TRUE(check({50, 50}, {}).judged);
  // At least 5 expected in every group: 3 of 100, then 6 of 300.
  EXPECT_FALSE(check({97, 3}, {{"1", 97}, {"2", 3}}).judged);
  EXPECT_TRUE(check({294, 6}, {{"1", 98}, {"2", 2}}).judged);
  // p = 0.0011 and p = 0.00094 around kAlarmP.
  const OrvSrmCheck watch = check({1073, 927}, {{"1", 50}, {"2", 50}});
  EXPECT_FALSE(watch.alarm);
  EXPECT_EQ(watch.verdict.rfind("No alarm yet, but watch it: the observed split 1073 : 927", 0), 0u)
      << watch.verdict;
  // p = 0.0105 and p = 0.0091 around kWatchP.
  const OrvSrmCheck calm = check({1057, 943}, {{"1", 50}, {"2", 50}});
  EXPECT_EQ(
      calm.verdict.rfind("No mismatch: the observed split 1057 : 943 fits the intended 50 : 50", 0),
      0u)
      << calm.verdict;
  EXPECT_EQ(check({1058, 942}, {{"1", 50}, {"2", 50}}).verdict.rfind("No alarm yet", 0), 0u);
  const OrvSrmCheck alarm = check({1074, 926}, {{"1", 1}, {"2", 1}});
  EXPECT_TRUE(alarm.alarm);
  EXPECT_EQ(
      alarm.verdict.rfind("Sample ratio mismatch: the observed split 1074 : 926 is unlikely", 0),
      0u)
      << alarm.verdict;
  // A group the split does not have is an alarm at any count, and listed last.
  const OrvSrmCheck stray = check({2, 1, 1}, {{"2", 1}, {"1", 1}});
  EXPECT_FALSE(stray.judged);
  EXPECT_TRUE(stray.alarm);
  EXPECT_EQ(stray.groups[2].groupId, "3");
  EXPECT_EQ(stray.groups[2].intendedShare, 0);
  EXPECT_NE(stray.verdict.find("went to group 3,"), std::string::npos) << stray.verdict;
  const OrvValue value = stray.toValue();
  EXPECT_EQ(value["groups"].at(0)["group_id"].stringValue(), "2");
  EXPECT_EQ(value["total"].kind(), OrvValue::Kind::kInteger);
  EXPECT_EQ(value["groups"].at(1)["intended_share"].doubleValue(), 0.5);
}

TEST(Srm, TheIntendedSplitComesFromExpectThenTheServedPayloadThenEqualShares) {
  TempDir dir;
  std::filesystem::create_directories(dir.file("shop"));
  writeFile(
      dir.file("shop/ki_feature.json"),
      R"({"experiment_detail":[{"#experiment_id":"9","#feature_list":["c"],"#groups":[)"
      R"({"id":"1","weight":90,"control":true,"values":{"c":1}},{"id":"2","weight":10,"values":{"c":2}}]}]})");
  OrvSplitSource source;
  source.payloadDir = dir.path();
  std::string from;
  EXPECT_EQ(orvIntendedSplit(source, "shop", "9", &from), (OrvIntendedSplit{{"1", 90}, {"2", 10}}));
  EXPECT_EQ(from, "server");
  EXPECT_TRUE(orvIntendedSplit(source, "shop", "10", &from).empty());
  EXPECT_EQ(from, "equal");
  source.expected["9"] = {{"1", 1}, {"2", 1}};
  EXPECT_EQ(orvIntendedSplit(source, "shop", "9", &from), (OrvIntendedSplit{{"1", 1}, {"2", 1}}));
  EXPECT_EQ(from, "expect");
  source.expected.clear();
  const auto checks = orvSrmChecks({{"shop", "10", "1", false, 5, ""},
                                    {"shop", "9", "1", true, 900, ""},
                                    {"shop", "9", "2", false, 100, ""}},
                                   source);
  ASSERT_EQ(checks.size(), 2u);
  EXPECT_EQ(checks[0].intendedFrom, "equal");
  EXPECT_EQ(checks[1].intendedFrom, "server");
  EXPECT_FALSE(checks[1].alarm);
}

// Exposures posted to a real collector with the splits their units were placed by: each
// experiment is judged against its own, a mixture when its weights changed, and the
// exposures that carried none against equal shares, which the page says.
TEST(CarriedSplits, EachExposureIsJudgedByTheSplitItCarried) {
  ReportServer s;
  const std::vector<std::pair<std::string, int>> tenth = {{"control", 90}, {"green", 10}},
                                                 half = {{"control", 50}, {"green", 50}};
  OrvValue::Array records;
  place(&records, "carried", tenth, {900, 100});
  place(&records, "bare", tenth, {900, 100}, false);
  place(&records, "changed", half, {520, 480});
  place(&records, "changed", tenth, {905, 95});
  place(&records, "faulty", tenth, {900, 160});
  place(&records, "partial", tenth, {900, 100});
  place(&records, "partial", half, {40, 60}, false);
  // Placed where their own split gives no share, whatever the other split gives there.
  place(&records, "stray", {{"control", 1}, {"green", 1}, {"blue", 1}}, {10, 10, 10});
  place(&records, "stray", {{"control", 9}, {"green", 1}, {"blue", 0}}, {900, 100, 2});
  EXPECT_EQ(post(s, records), "200 {}");
  std::map<std::string, OrvValue> checks;
  const OrvValue api = json(s.get("/api/experiments")->body);
  for (const auto& e : api["experiments"].elements()) checks[e["experiment_id"].stringValue()] = e;

  EXPECT_EQ(checks["carried"]["intended_from"].stringValue(), "exposures");
  EXPECT_TRUE(checks["carried"]["judged"].boolValue());
  EXPECT_FALSE(checks["carried"]["alarm"].boolValue());
  EXPECT_EQ(checks["carried"]["groups"].at(1)["intended_share"].doubleValue(), 0.1);
  EXPECT_EQ(checks["bare"]["intended_from"].stringValue(), "equal");
  EXPECT_TRUE(checks["bare"]["alarm"].boolValue());  // the same counts, carrying nothing
  // 1425 : 575 fits the mixture's 70 : 30 (p = 0.18); the last split alone would alarm.
  const OrvValue& changed = checks["changed"];
  EXPECT_FALSE(changed["alarm"].boolValue()) << changed["verdict"].stringValue();
  EXPECT_EQ(changed["splits"].int64Value(), 2);
  EXPECT_NEAR(changed["design_effect"].doubleValue(), (1000 * 0.25 + 1000 * 0.09) / 2000 / 0.21,
              1e-12);
  EXPECT_NE(changed["verdict"].stringValue().find("fits the intended 70 : 30"), std::string::npos);
  EXPECT_EQ(checks["faulty"]["verdict"].stringValue().rfind(
                "Sample ratio mismatch: the observed split 900 : 160 is unlikely", 0),
            0u);
  EXPECT_EQ(checks["partial"]["without_split"].int64Value(), 100);
  EXPECT_EQ(checks["partial"]["without_split_from"].stringValue(), "equal");
  EXPECT_NEAR(checks["partial"]["groups"].at(0)["intended_share"].doubleValue(), 950 / 1100.0,
              1e-12);
  EXPECT_EQ(checks["stray"]["verdict"].stringValue().rfind(
                "Sample ratio mismatch: 2 exposures went to group blue,", 0),
            0u);
  const auto page = s.get("/apps/a/experiments/partial");
  ASSERT_TRUE(page && page->status == 200);
  EXPECT_NE(page->body.find("intended split: the split the exposures carried; 100 exposures "
                            "carried none: equal shares of the groups seen"),
            std::string::npos);
}

// Attributes that are not what they should be are left out of the context, never a
// reason to refuse the record; the properties keep their three keys.
TEST(CarriedSplits, MalformedAttributesAreIgnored) {
  ReportServer s;
  const auto unit = attribute("feature_flag.context.id", "stringValue", "u");
  const auto split = [](const std::string& t) { return attribute("orv.split", "stringValue", t); };
  const auto share = [](OrvValue v) { return attribute("orv.intended_share", "doubleValue", v); };
  const OrvValue control = json(R"({"stringValue":"control"})");
  OrvValue::Array records = {
      exposureRecord("good", "x", control,
                     {unit, split(R"([["control",3],["b",1]])"), share(0.75)}),
      // A share that contradicts the split gives way to the split's.
      exposureRecord("contradicted", "x", control,
                     {split(R"([["control",3],["b",1]])"), share(0.5)}),
      exposureRecord("numbered", "x", json(R"({"intValue":"2"})"), {split(R"([["1",1],["2",3]])")}),
      exposureRecord("share-only", "x", control, {share(0.25)}),
      exposureRecord("number unit", "x", control,
                     {attribute("feature_flag.context.id", "intValue", "7")})};
  for (const std::string bad :
       {"not json", "[]", R"([["a",1.5]])", R"([["a",-1]])", R"([["a",1000001]])", "[[1,2]]",
        R"([["a",0]])", R"({"a":1})", R"([["a",1],["a",2]])", R"([["",1]])", R"([["a",1,2]])",
        R"([["a",true]])", R"([["a","1"]])"})
    records.push_back(exposureRecord("split " + bad, "x", control, {unit, split(bad)}));
  for (const OrvValue& bad : {OrvValue(1.5), OrvValue(-0.1), OrvValue("0.5"), OrvValue(true)})
    records.push_back(exposureRecord("share " + bad.toJson(), "x", control, {unit, share(bad)}));
  EXPECT_EQ(post(s, records), "200 {}");

  std::map<std::string, OrvValue> events;
  for (const auto& line : exported(*s.store)) {
    const OrvValue event = json(line);
    events[event["event_id"].stringValue()] = event;
    EXPECT_EQ(event["properties"].size(), 3u) << line;
  }
  ASSERT_EQ(events.size(), records.size());
  EXPECT_EQ(events["good"]["context"],
            json(R"({"unit":"u","split":[["control",3],["b",1]],"intended_share":0.75})"));
  EXPECT_EQ(events["contradicted"]["context"]["intended_share"].doubleValue(), 0.75);
  EXPECT_EQ(events["numbered"]["context"]["intended_share"].doubleValue(), 0.75);
  EXPECT_EQ(events["share-only"]["context"], json(R"({"intended_share":0.25})"));
  EXPECT_TRUE(events["number unit"]["context"].isAbsent());
  for (const auto& [id, event] : events) {
    if (id.rfind("split ", 0) == 0 || id.rfind("share ", 0) == 0) {
      EXPECT_EQ(event["context"], json(R"({"unit":"u"})")) << id;
    }
  }
}

// Healthy experiments drawn by numpy: the share of checks below p = a is a, within four
// standard errors, for one split and for mixtures (where Pearson's statistic alone would
// alarm half as often at a = 0.01: tests/srm_simulation.py --table). Below 0.01, 20,000
// replicates cannot tell a calibrated check from one alarming at a quarter of the rate.
TEST(Srm, PValuesAreCalibratedBySimulation) {
  if (runCommand("/usr/bin/python3 -c 'import scipy' 2>/dev/null") != 0)
    GTEST_SKIP() << "SciPy is missing (Debian's python3-scipy)";
  constexpr int kReplicates = 20000;
  std::string output;
  ASSERT_EQ(runCommand("/usr/bin/python3 " + std::string(ORV_TEST_SOURCE_DIR) +
                           "/tests/srm_simulation.py " + std::to_string(kReplicates) + " 7",
                       120, &output),
            0);
  const OrvValue simulated = json(output);
  ASSERT_EQ(simulated["scenarios"].size(), 3u);
  for (const auto& scenario : simulated["scenarios"].elements()) {
    ASSERT_EQ(scenario["replicates"].size(), static_cast<std::size_t>(kReplicates));
    int below[2] = {0, 0};
    for (const auto& replicate : scenario["replicates"].elements()) {
      std::vector<OrvEventStore::GroupCount> counts;
      for (const auto& row : replicate.elements())  // [group, split, count]
        counts.push_back({"a", "e", row.at(0).stringValue(), false, row.at(2).int64Value(),
                          row.at(1).stringValue()});
      const double p = orvSrmCheck("a", "e", counts, {}, "equal").pValue;
      below[0] += p < 0.01;
      below[1] += p < 0.05;
    }
    for (const auto& [n, alpha] : {std::pair(below[0], 0.01), std::pair(below[1], 0.05)})
      EXPECT_NEAR(n, kReplicates * alpha, 4 * std::sqrt(kReplicates * alpha * (1 - alpha)))
          << scenario["name"].stringValue() << " at p < " << alpha;
  }
}
