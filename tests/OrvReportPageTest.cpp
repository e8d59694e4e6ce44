// The report page and the readout: pages bounded however many experiments the store
// holds, links, the readout as the API gives it, and one pass over the indexes.
#include <gtest/gtest.h>

#include <random>
#include <tuple>

#include "CollectorFixture.h"
#include "report/OrvReportPage.h"

using namespace orvtest;

// 3,001 experiments, the one in alarm last in application order: every answer is one
// page of at most kPageSize (the whole report was megabytes), the alarm comes first and
// the header links to it, and every route carries the security headers, 404s too.
TEST(ReportPage, ManyExperimentsComeAPageAtATimeAlarmFirstWithSecurityHeaders) {
  ReportServer s;
  std::vector<OrvMediatorEvent> events;
  for (int i = 0; i < 3000; ++i)
    events.push_back(exposure("e" + std::to_string(i), "exp" + std::to_string(i), "1"));
  for (int i = 0; i < 200; ++i)
    events.push_back(exposure("s" + std::to_string(i), "skewed", i < 150 ? "1" : "2", i < 150,
                              1'700'000'000'000, "zz"));
  s.add(events);

  const auto page = s.get("/");
  ASSERT_TRUE(page && page->status == 200);
  EXPECT_LT(page->body.size(), 1u << 20);
  EXPECT_EQ(attributes(page->body, "data-app").size(), OrvReportPage::kPageSize);
  EXPECT_EQ(attributes(page->body, "data-app").front(), "zz");
  EXPECT_EQ(attributes(page->body, "id"), (std::vector<std::string>{"first-alarm"}));
  EXPECT_NE(page->body.find("<a class=\"alarms\" href=\"#first-alarm\">1 alarm</a>"),
            std::string::npos);
  EXPECT_NE(page->body.find("rel=\"last\" href=\"/?page=61\""), std::string::npos);
  const auto last = s.get("/?page=61");
  ASSERT_TRUE(last && last->status == 200);
  EXPECT_EQ(attributes(last->body, "data-experiment"), (std::vector<std::string>{"exp999"}));

  const auto api = s.get("/api/experiments?page=2");
  ASSERT_TRUE(api && api->status == 200);
  EXPECT_LT(api->body.size(), 1u << 20);
  const OrvValue list = json(api->body);
  EXPECT_EQ(list["total"].int64Value(), 3001);
  EXPECT_EQ(list["alarms"].int64Value(), 1);
  EXPECT_EQ(list["pages"].int64Value(), 61);
  EXPECT_EQ(list["experiments"].size(), OrvReportPage::kPageSize);
  EXPECT_EQ(json(s.get("/api/experiments")->body)["experiments"].at(0)["alarm"].boolValue(), true);

  for (const auto& [target, status] :
       std::vector<std::pair<std::string, int>>{{"/", 200},
                                                {"/?page=62", 404},
                                                {"/?page=x", 404},
                                                {"/apps/zz/experiments/skewed", 200},
                                                {"/experiments/skewed", 200},
                                                {"/experiments/nope", 404},
                                                {"/api/experiments?app=zz", 200},
                                                {"/api/experiments?page=0", 404}}) {
    const auto res = s.get(target);
    ASSERT_TRUE(res) << target;
    EXPECT_EQ(res->status, status) << target;
    EXPECT_EQ(res->get_header_value("Content-Security-Policy"),
              OrvReportPage::kContentSecurityPolicy)
        << target;
    EXPECT_EQ(res->get_header_value("X-Content-Type-Options"), "nosniff") << target;
    EXPECT_EQ(res->get_header_value("X-Frame-Options"), "DENY") << target;
  }
}

// The readout under each experiment, as the API gives it: always valid unless
// ?horizon=fixed (then with the warning), the numbers on the page exactly the API's, the
// verdict in words, a readout under an alarm marked as such, outcome names escaped.
TEST(ReportPage, ReadsOutOutcomesAlwaysValidUnlessAFixedHorizonIsAsked) {
  ReportServer s;
  std::vector<OrvMediatorEvent> events;
  constexpr std::int64_t kExposed = 1'700'000'000'000;
  const auto unitEvent = [](OrvMediatorEvent e, const std::string& unit) {
    e.context = OrvValue::dictionary({{"unit", OrvValue(unit)}});
    return e;
  };
  const auto outcome = [&](const std::string& id, const std::string& app, const std::string& unit,
                           const std::string& name) {
    OrvMediatorEvent e;
    e.eventId = id;
    e.appId = app;
    e.name = OrvEventStore::kOutcomeEvent;
    e.time = std::chrono::system_clock::time_point(std::chrono::milliseconds(kExposed + 1000));
    e.properties = OrvValue::dictionary({{"#outcome", OrvValue(name)}, {"#value", OrvValue(1.0)}});
    return unitEvent(e, unit);
  };
  // checkout: 1,000 units a group; 200 of control's convert, 400 of green's (a lift of
  // 100%, shown by the always-valid interval at this size).
  // skewed: 150 : 50 at 50 : 50, an alarm, with a few outcomes. plain: no outcome.
  for (int u = 0; u < 2000; ++u) {
    const bool control = u % 2 == 0;
    const std::string unit = "u" + std::to_string(u);
    events.push_back(unitEvent(
        exposure("x" + unit, "checkout", control ? "control" : "green", control, kExposed, "shop"),
        unit));
    if (u % 10 < (control ? 2 : 4)) events.push_back(outcome("o" + unit, "shop", unit, "<b>sale"));
  }
  for (int u = 0; u < 200; ++u) {
    const std::string unit = "v" + std::to_string(u);
    events.push_back(unitEvent(
        exposure("y" + unit, "skewed", u < 150 ? "control" : "green", u < 150, kExposed, "shop"),
        unit));
    if (u % 7 == 0) events.push_back(outcome("p" + unit, "shop", unit, "signup"));
  }
  events.push_back(exposure("plain", "plain", "1", true, kExposed, "shop"));
  s.add(events);

  const auto experimentOf = [&](const std::string& query, const std::string& id) {
    const auto res = s.get("/api/experiments" + query);
    EXPECT_TRUE(res && res->status == 200) << query;
    const OrvValue list = json(res ? res->body : "{}")["experiments"];
    for (const OrvValue& e : list.elements())
      if (e["experiment_id"].stringValue() == id) return e;
    ADD_FAILURE() << id << " is not listed";
    return OrvValue();
  };
  const OrvValue checkout = experimentOf("", "checkout");
  const OrvValue readout = checkout["readout"];
  EXPECT_TRUE(readout["sequential"].boolValue());
  ASSERT_EQ(readout["outcomes"].size(), 1u);
  const OrvValue sale = readout["outcomes"].at(0);
  EXPECT_EQ(sale["outcome"].stringValue(), "<b>sale");
  EXPECT_EQ(sale["metric"].stringValue(), "proportion");
  EXPECT_EQ(sale["groups"].at(0)["units"].int64Value(), 1000);
  EXPECT_DOUBLE_EQ(sale["groups"].at(0)["value"].doubleValue(), 0.2);
  EXPECT_DOUBLE_EQ(sale["groups"].at(1)["value"].doubleValue(), 0.4);
  const OrvValue green = sale["comparisons"].at(0);
  EXPECT_NEAR(green["estimate"].doubleValue(), 1.0, 1e-12);
  EXPECT_GT(green["ci"].at(0).doubleValue(), 0);
  // Always valid: wider than the fixed horizon's interval on both sides.
  EXPECT_LT(green["ci"].at(0).doubleValue(), green["fixed_ci"].at(0).doubleValue());
  EXPECT_GT(green["ci"].at(1).doubleValue(), green["fixed_ci"].at(1).doubleValue());
  EXPECT_TRUE(experimentOf("", "plain")["readout"].isNull());

  const auto page = s.get("/apps/shop/experiments/checkout");
  ASSERT_TRUE(page && page->status == 200);
  EXPECT_EQ(page->body.find("<b>sale"), std::string::npos);
  EXPECT_NE(page->body.find("&lt;b&gt;sale"), std::string::npos);
  EXPECT_EQ(attributes(page->body, "data-estimate"),
            (std::vector<std::string>{green["estimate"].toJson()}));
  EXPECT_EQ(attributes(page->body, "data-low"),
            (std::vector<std::string>{green["ci"].at(0).toJson()}));
  EXPECT_EQ(attributes(page->body, "data-high"),
            (std::vector<std::string>{green["ci"].at(1).toJson()}));
  EXPECT_NE(page->body.find(">Green raises &lt;b&gt;sale by 100% ("), std::string::npos);
  EXPECT_EQ(page->body.find("Warning:"), std::string::npos);

  const OrvValue fixed = experimentOf("?horizon=fixed", "checkout")["readout"];
  EXPECT_FALSE(fixed["sequential"].boolValue());
  EXPECT_EQ(fixed["outcomes"].at(0)["comparisons"].at(0)["ci"], green["fixed_ci"]);
  const auto fixedPage = s.get("/apps/shop/experiments/checkout?horizon=fixed");
  ASSERT_TRUE(fixedPage && fixedPage->status == 200);
  EXPECT_NE(fixedPage->body.find(kOrvFixedHorizonWarning), std::string::npos);
  EXPECT_EQ(attributes(fixedPage->body, "data-low"),
            (std::vector<std::string>{green["fixed_ci"].at(0).toJson()}));
  // Tuned to the units there are, the always-valid interval is narrower than at 10,000.
  const OrvValue tuned = experimentOf("?expected_units=2000", "checkout")["readout"];
  const OrvValue tunedCi = tuned["outcomes"].at(0)["comparisons"].at(0)["ci"];
  EXPECT_GT(tunedCi.at(0).doubleValue(), green["ci"].at(0).doubleValue());
  EXPECT_LT(tunedCi.at(0).doubleValue(), green["fixed_ci"].at(0).doubleValue());
  for (const char* target :
       {"/?horizon=sometimes", "/api/experiments?horizon=", "/apps/shop?horizon=x",
        "/?expected_units=0", "/api/experiments?expected_units=1e4"})
    EXPECT_EQ(s.get(target)->status, 404) << target;

  const OrvValue skewed = experimentOf("", "skewed");
  EXPECT_TRUE(skewed["alarm"].boolValue());
  EXPECT_EQ(skewed["readout"]["outcomes"].at(0)["outcome"].stringValue(), "signup");
  const auto alarmed = s.get("/apps/shop/experiments/skewed");
  ASSERT_TRUE(alarmed && alarmed->status == 200);
  const std::size_t alarm = alarmed->body.find("<strong>Alarm:</strong>"),
                    readoutAt = alarmed->body.find("<h3>Readout</h3>"),
                    marked = alarmed->body.find("The split is off");
  EXPECT_LT(alarm, readoutAt);
  EXPECT_LT(readoutAt, marked);
  EXPECT_NE(marked, std::string::npos);
  // Beside the fixed-horizon p the page shows the one that stays valid as it refreshes.
  EXPECT_EQ(attributes(alarmed->body, "data-anytime-p-value"),
            (std::vector<std::string>{skewed["anytime_p_value"].toJson()}));
  EXPECT_LT(skewed["anytime_p_value"].doubleValue(), 0.01);
}

// Identifiers holding / ? # and % link, percent-encoded, to a page of exactly their
// application's experiment; /experiments/<id> still lists every application's.
TEST(ReportPage, LinksNameExactlyTheirApplicationAndExperimentWhateverTheyHold) {
  ReportServer s;
  const std::string app = "shop/1?#%", experiment = "x/y?z#w%20";
  s.add({exposure("1", experiment, "1", false, 1'700'000'000'000, app),
         exposure("2", experiment, "1", false, 1'700'000'000'000, "shop"),
         exposure("3", "x", "1", false, 1'700'000'000'000, app)});
  const std::string encodedApp = "shop%2F1%3F%23%25", encoded = "x%2Fy%3Fz%23w%2520";
  const std::string own = "/apps/" + encodedApp + "/experiments/" + encoded;
  const auto all = s.get("/");
  ASSERT_TRUE(all && all->status == 200);
  const auto links = attributes(all->body, "href");
  EXPECT_NE(std::find(links.begin(), links.end(), own), links.end()) << all->body;

  const auto mine = s.get(own);
  ASSERT_TRUE(mine && mine->status == 200);
  EXPECT_EQ(attributes(mine->body, "data-app"), (std::vector<std::string>{app}));
  EXPECT_EQ(attributes(mine->body, "data-experiment"), (std::vector<std::string>{experiment}));
  const auto ofApp = s.get("/apps/" + encodedApp);
  EXPECT_EQ(attributes(ofApp->body, "data-experiment"),
            (std::vector<std::string>{"x", experiment}));
  const auto everyApp = s.get("/experiments/" + encoded);
  EXPECT_EQ(attributes(everyApp->body, "data-app"), (std::vector<std::string>{"shop", app}));
  EXPECT_EQ(s.get("/apps/shop/experiments/x")->status, 404);
  EXPECT_EQ(s.get("/apps/shop%2/experiments/x")->status, 404);  // a malformed escape
}

// The readout's pass over the indexes against docs/readout.sql run by SQLite on the same
// file: a version-2 store read as it is (its outcomes parsed from their properties),
// then migrated, then read in one pass and in passes of a few units. Random units in two
// applications and experiments, some exposed in both groups or never, outcomes before,
// within and after the covariate window, amounts and counts, malformed ones.
TEST(Readout, OnePassOverTheIndexesEqualsTheQueryInEveryPassSize) {
  TempDir dir;
  const std::string path = dir.file("events.sqlite3");
  sql(path, fixture("events-v2.sql").c_str());
  std::mt19937_64 random(20245);
  const auto uniform = [&](std::int64_t low, std::int64_t high) {
    return std::uniform_int_distribution<std::int64_t>(low, high)(random);
  };
  constexpr std::int64_t kStart = 1'700'000'000'000, kDay = 86'400'000;
  std::string inserts = "BEGIN;";
  int seq = 0;
  const auto insert = [&](const std::string& app, const char* name, const std::string& experiment,
                          const std::string& group, std::int64_t ms, const std::string& unit,
                          const std::string& properties) {
    const auto quoted = [](const std::string& text) {
      return text.empty() ? std::string("NULL") : "'" + text + "'";
    };
    inserts +=
        "INSERT INTO events (event_id, app_id, name, experiment_id, group_id, is_control,"
        " time_ms, properties, unit_id) VALUES ('e" +
        std::to_string(++seq) + "', '" + app + "', '" + name + "', " + quoted(experiment) + ", " +
        quoted(group) + ", " + (group == "control" ? "1" : "0") + ", " + std::to_string(ms) +
        ", '" + properties + "', " + quoted(unit) + ");";
  };
  for (const std::string app : {"a", "b"}) {
    for (const std::string experiment : {"x", "y"}) {
      for (int u = 0; u < 40; ++u) {
        if (uniform(0, 9) < 2) continue;  // never exposed
        const std::string group = uniform(0, 1) ? "green" : "control";
        for (std::int64_t n = uniform(1, 3); n > 0; --n)
          insert(app, "zu_experiment_exposure", experiment, group, kStart + uniform(0, 10 * kDay),
                 "u" + std::to_string(u), "{}");
        if (u < 2)
          insert(app, "zu_experiment_exposure", experiment, group == "green" ? "control" : "green",
                 kStart + uniform(0, 10 * kDay), "u" + std::to_string(u), "{}");
      }
      insert(app, "zu_experiment_exposure", experiment, "green", kStart, "", "{}");  // no unit
    }
    for (int i = 0; i < 400; ++i) {
      const bool count = uniform(0, 2) == 0;
      const std::string value =
          count ? "1"
                : std::to_string(uniform(50, 5000) / 100) + "." + std::to_string(uniform(10, 99));
      insert(app, "orv_outcome", "", "", kStart + uniform(-20 * kDay, 20 * kDay),
             "u" + std::to_string(uniform(0, 44)),
             std::string("{\"#outcome\":\"") + (count ? "signup" : "purchase") +
                 "\",\"#value\":" + value + "}");
    }
    insert(app, "orv_outcome", "", "", kStart + kDay, "u3",
           "{\"#outcome\":\"odd\",\"#value\":\"x\"}");
    insert(app, "orv_outcome", "", "", kStart + kDay, "u3", "{\"#value\":2}");
    // An outcome in the very millisecond of its unit's only exposure counts (at or after).
    insert(app, "zu_experiment_exposure", "x", "green", kStart + kDay, "u90", "{}");
    insert(app, "orv_outcome", "", "", kStart + kDay, "u90",
           "{\"#outcome\":\"signup\",\"#value\":1}");
  }
  sql(path, (inserts + "COMMIT;").c_str());

  // The query's rows, read as the store's are (SQLite's text of a real keeps 15 digits).
  const auto queried = [&] {
    std::vector<OrvEventStore::OutcomeStats> rows;
    for (const std::string& row : sqlRows(path, OrvEventStore::readoutSql())) {
      std::vector<std::string> f;
      std::istringstream columns(row);
      for (std::string column; std::getline(columns, column, '|');) f.push_back(column);
      if (f.size() != 14) {
        ADD_FAILURE() << row;
        continue;
      }
      // As sqlite3_column_double and _int64 read them: NULL is 0.
      const auto number = [&](int i) { return f[i] == "NULL" ? 0.0 : std::stod(f[i]); };
      OrvEventStore::OutcomeStats r;
      r.appId = f[0];
      r.experimentId = f[1];
      r.outcome = f[2];
      r.groupId = f[3];
      r.control = number(4) != 0;
      r.countsOnly = number(5) != 0;
      r.units = static_cast<std::int64_t>(number(6));
      r.converted = static_cast<std::int64_t>(number(7));
      r.sum = number(8);
      r.sumSquares = number(9);
      r.covariateSum = number(10);
      r.covariateSumSquares = number(11);
      r.crossSum = number(12);
      r.unitsLeftOut = static_cast<std::int64_t>(number(13));
      rows.push_back(r);
    }
    return rows;
  };
  const auto same = [](const std::vector<OrvEventStore::OutcomeStats>& got,
                       const std::vector<OrvEventStore::OutcomeStats>& want, const char* what) {
    ASSERT_EQ(got.size(), want.size()) << what;
    for (std::size_t i = 0; i < got.size(); ++i) {
      const auto &g = got[i], &w = want[i];
      const std::string row = std::string(what) + ": " + w.appId + "/" + w.experimentId + "/" +
                              w.outcome + "/" + w.groupId;
      EXPECT_EQ(std::tie(g.appId, g.experimentId, g.outcome, g.groupId, g.control, g.countsOnly,
                         g.units, g.converted, g.unitsLeftOut),
                std::tie(w.appId, w.experimentId, w.outcome, w.groupId, w.control, w.countsOnly,
                         w.units, w.converted, w.unitsLeftOut))
          << row;
      // The same sums but for the order the terms were added in.
      for (const auto& [a, b] : {std::pair(g.sum, w.sum), std::pair(g.sumSquares, w.sumSquares),
                                 std::pair(g.covariateSum, w.covariateSum),
                                 std::pair(g.covariateSumSquares, w.covariateSumSquares),
                                 std::pair(g.crossSum, w.crossSum)})
        EXPECT_NEAR(a, b, 1e-12 * std::max(1.0, std::abs(b))) << row;
    }
  };
  const auto asItIs = openStore(path, false)->outcomeStatistics();
  EXPECT_EQ(sqlRows(path, "PRAGMA user_version").at(0), "2");
  auto writer = openStore(path);
  EXPECT_EQ(sqlRows(path, "PRAGMA user_version").at(0), "3");
  EXPECT_EQ(sqlRows(path,
                    "SELECT COUNT(*), COUNT(outcome), COUNT(value) FROM events "
                    "WHERE name = 'orv_outcome'")
                .at(0),
            "806|804|804");
  const auto before = queried();
  // Both applications, both experiments, both outcomes; the malformed ones in none.
  ASSERT_EQ(before.size(), 16u);
  EXPECT_EQ(before.front().unitsLeftOut, 2);
  EXPECT_TRUE(std::any_of(before.begin(), before.end(),
                          [](const auto& r) { return r.covariateSum > 0 && !r.countsOnly; }));
  same(asItIs, before, "version 2, read as it is");
  for (const std::size_t passEvents :
       {OrvEventStore::kReadoutPassEvents, std::size_t{97}, std::size_t{1}})
    same(writer->outcomeStatistics(passEvents), before,
         ("passes of " + std::to_string(passEvents)).c_str());
  // Some experiments only, as the page asks (one of them not in the store).
  const std::vector<std::pair<std::string, std::string>> only = {
      {"b", "x"}, {"a", "y"}, {"c", "x"}};
  std::vector<OrvEventStore::OutcomeStats> chosen;
  for (const auto& r : before)
    if ((r.appId == "b" && r.experimentId == "x") || (r.appId == "a" && r.experimentId == "y"))
      chosen.push_back(r);
  same(writer->outcomeStatistics(OrvEventStore::kReadoutPassEvents, &only), chosen, "two of four");
  same(writer->outcomeStatistics(97, &only), chosen, "two of four, in passes");
}
