// The collector's SQLite store, its answers, the sample-ratio-mismatch check and the
// report page: each eventId once across restarts, files refused, a full disk, p-values
// against SciPy, and pages bounded however many experiments the store holds.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cmath>
#include <csignal>
#include <map>
#include <random>
#include <set>
#include <tuple>

#include "TestSupport.h"
#include "analysis/OrvSrm.h"
#include "collector/OrvEventCollector.h"
#include "platform/values/OrvMD5.h"
#include "report/OrvReportPage.h"
#include "server/OrvConfigServer.h"

using namespace orvtest;

namespace {

OrvMediatorEvent exposure(const std::string& id, OrvValue experiment, OrvValue group,
                          bool control = false, std::int64_t ms = 1'700'000'000'000,
                          const std::string& app = "a") {
  OrvMediatorEvent e;
  e.eventId = id;
  e.appId = app;
  e.name = OrvEventStore::kExposureEvent;
  e.time = std::chrono::system_clock::time_point(std::chrono::milliseconds(ms));
  e.properties = OrvValue::dictionary({{"#experiment_id", std::move(experiment)},
                                       {"#experiment_group_id", std::move(group)},
                                       {"#is_control_group", OrvValue(control)}});
  return e;
}

std::vector<OrvMediatorEvent> batch(int count, const std::string& prefix) {
  std::vector<OrvMediatorEvent> events;
  for (int i = 0; i < count; ++i)
    events.push_back(exposure(prefix + std::to_string(i), "x", std::to_string(i % 2)));
  return events;
}

std::unique_ptr<OrvEventStore> openStore(const std::string& path, bool create = true) {
  std::string error;
  auto store = OrvEventStore::open(path, &error, create);
  EXPECT_TRUE(store) << error;
  return store;
}

std::vector<std::string> exported(const OrvEventStore& store) {
  std::stringstream out;
  std::string error;
  EXPECT_TRUE(store.exportJsonLines(out, &error)) << error;
  std::vector<std::string> lines;
  for (std::string line; std::getline(out, line);) lines.push_back(line);
  return lines;
}

std::string refusal(const std::string& path, bool create = true) {
  std::string error;
  EXPECT_EQ(OrvEventStore::open(path, &error, create), nullptr) << path;
  return error;
}

void sql(const std::string& path, const char* statements) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, statements, nullptr, nullptr, nullptr), SQLITE_OK)
      << sqlite3_errmsg(db);
  sqlite3_close(db);
}

// Files may not grow past `bytes` while it lives (EFBIG, as on a full disk).
class DiskLimit {
 public:
  explicit DiskLimit(rlim_t bytes) : handler_(std::signal(SIGXFSZ, SIG_IGN)) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    const rlimit limit{bytes, saved_.rlim_max};
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~DiskLimit() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, handler_);
  }

 private:
  void (*handler_)(int);
  rlimit saved_{};
};

std::int64_t fileSize(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_size : 0;
}

// A real server collecting into a store of its own, and a second connection to the same
// file that adds events as another collector would.
struct ReportServer {
  ReportServer() {
    EXPECT_TRUE(server.collectEventsTo(dir.file("events.sqlite3")));
    store = openStore(dir.file("events.sqlite3"), false);
    EXPECT_TRUE(server.start());
  }
  void add(const std::vector<OrvMediatorEvent>& events) {
    std::string error;
    ASSERT_TRUE(store->add(events, nullptr, &error)) << error;
  }
  // Sent as given: the target is already percent-encoded where it needs to be.
  httplib::Result get(const std::string& target) const {
    httplib::Client client("127.0.0.1", server.port());
    client.set_url_encode(false);
    client.set_read_timeout(60, 0);
    return client.Get(target);
  }
  TempDir dir;
  OrvConfigServer server{dir.path()};
  std::unique_ptr<OrvEventStore> store;
};

// The values of attribute `name` in `html`, in order.
std::vector<std::string> attributes(const std::string& html, const std::string& name) {
  std::vector<std::string> values;
  const std::string lead = " " + name + "=\"";
  for (std::size_t at = html.find(lead); at != std::string::npos; at = html.find(lead, at + 1)) {
    const std::size_t start = at + lead.size();
    values.push_back(html.substr(start, html.find('"', start) - start));
  }
  return values;
}

// The rows of `query` on the file at `path`, each its columns' text joined by "|".
std::vector<std::string> sqlRows(const std::string& path, const std::string& query) {
  std::vector<std::string> rows;
  sqlite3* db = nullptr;
  sqlite3_stmt* st = nullptr;
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  EXPECT_EQ(sqlite3_prepare_v2(db, query.c_str(), -1, &st, nullptr), SQLITE_OK) << query;
  while (st && sqlite3_step(st) == SQLITE_ROW) {
    std::string row;
    for (int i = 0; i < sqlite3_column_count(st); ++i) {
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(st, i));
      row += (i ? "|" : "") + std::string(text ? text : "NULL");
    }
    rows.push_back(row);
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
  return rows;
}

std::string orvexpPath() { return std::string(ORV_TEST_BINARY_DIR) + "/tools/orvexp/orvexp"; }

// An OTLP attribute whose value is of `type` ("stringValue", "doubleValue", ...).
OrvValue attribute(const std::string& key, const char* type, OrvValue value) {
  return OrvValue::dictionary(
      {{"key", OrvValue(key)}, {"value", OrvValue::dictionary({{type, std::move(value)}})}});
}

// An exposure as the library's exporter sends it: an OTLP log record, with `context`
// after its other attributes.
OrvValue exposureRecord(const std::string& id, const std::string& experiment, const OrvValue& group,
                        OrvValue::Array context = {}) {
  context.insert(
      context.begin(),
      {attribute("eventId", "stringValue", id), attribute("appId", "stringValue", "a"),
       attribute("#experiment_id", "stringValue", experiment),
       OrvValue::dictionary({{"key", OrvValue("#experiment_group_id")}, {"value", group}}),
       attribute("#is_control_group", "boolValue", false)});
  return OrvValue::dictionary({{"eventName", OrvValue(OrvEventStore::kExposureEvent)},
                               {"attributes", OrvValue::array(std::move(context))}});
}

// counts[i] exposures of `experiment` in group split[i].first, each carrying the split
// (its text, and its group's share) when `carry` is set.
void place(OrvValue::Array* records, const std::string& experiment,
           const std::vector<std::pair<std::string, int>>& split, const std::vector<int>& counts,
           bool carry = true) {
  OrvValue::Array pairs;
  double sum = 0;
  for (const auto& [group, weight] : split) {
    pairs.push_back(OrvValue::array({OrvValue(group), OrvValue(weight)}));
    sum += weight;
  }
  const std::string text = OrvValue::array(pairs).toJson();
  for (std::size_t g = 0; g < split.size(); ++g) {
    for (int i = 0; i < counts[g]; ++i) {
      const std::string id = experiment + std::to_string(records->size());
      OrvValue::Array context;
      if (carry)
        context = {attribute("feature_flag.context.id", "stringValue", id),
                   attribute("orv.split", "stringValue", text),
                   attribute("orv.intended_share", "doubleValue", split[g].second / sum)};
      records->push_back(exposureRecord(id, experiment,
                                        json(R"({"stringValue":")" + split[g].first + "\"}"),
                                        std::move(context)));
    }
  }
}

// Sends `records` to the server's collector in one request: its status and body.
std::string post(const ReportServer& s, const OrvValue::Array& records) {
  httplib::Client client("127.0.0.1", s.server.port());
  client.set_read_timeout(60, 0);
  const OrvValue body = OrvValue::dictionary(
      {{"resourceLogs",
        OrvValue::array({OrvValue::dictionary(
            {{"scopeLogs", OrvValue::array({OrvValue::dictionary(
                               {{"logRecords", OrvValue::array(records)}})})}})})}});
  const auto res = client.Post("/v1/logs", body.toJson(), "application/json");
  return res ? std::to_string(res->status) + " " + res->body : "no answer";
}

}  // namespace

TEST(EventStore, KeepsEachEventIdOnceAcrossReopenAndExportsInStoredOrder) {
  TempDir dir;
  const std::string path = dir.file("events.sqlite3");
  std::vector<OrvMediatorEvent> first = {exposure("e1", "101", "1", true),
                                         exposure("e2", "101", "2"), exposure("e1", "101", "1")};
  std::size_t added = 0;
  std::string error;
  {
    auto store = openStore(path);
    ASSERT_TRUE(store->add(first, &added, &error)) << error;
    EXPECT_EQ(added, 2u);
  }
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  auto store = openStore(path, false);
  ASSERT_TRUE(store->add({exposure("e2", "101", "2"), exposure("e3", "101", "2")}, &added, &error));
  EXPECT_EQ(added, 1u);
  EXPECT_EQ(store->eventCount(), 3);
  EXPECT_EQ(exported(*store), (std::vector<std::string>{first[0].toJson(), first[1].toJson(),
                                                        exposure("e3", "101", "2").toJson()}));
}

TEST(EventStore, ARecordWithoutEventIdGetsOneFromItsContentSoARetryIsStoredOnce) {
  TempDir dir;
  OrvMediatorEvent anonymous = exposure("", "101", "1");
  std::size_t added = 0;
  std::string error;
  for (int attempt = 0; attempt < 2; ++attempt) {
    auto store = openStore(dir.file("events.sqlite3"));
    ASSERT_TRUE(store->add({anonymous}, &added, &error)) << error;
    EXPECT_EQ(added, attempt == 0 ? 1u : 0u);
  }
  auto store = openStore(dir.file("events.sqlite3"));
  ASSERT_TRUE(store->add({exposure("", "101", "2")}, &added, &error));
  EXPECT_EQ(added, 1u);  // other content, another id
  const auto lines = exported(*store);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(json(lines[0])["event_id"].stringValue(), "content-" + OrvMD5::hex(anonymous.toJson()));
}

TEST(EventStore, RefusesLinksOtherFilesOtherProgramsDatabasesAndNewerSchemas) {
  TempDir dir;
  openStore(dir.file("ours.sqlite3"));
  std::filesystem::create_symlink(dir.file("ours.sqlite3"), dir.file("link.sqlite3"));
  EXPECT_NE(refusal(dir.file("link.sqlite3")).find("link.sqlite3 is a symbolic link"),
            std::string::npos);
  openStore(dir.file("wal.sqlite3"));
  std::filesystem::create_symlink(dir.file("elsewhere"), dir.file("wal.sqlite3-wal"));
  EXPECT_NE(refusal(dir.file("wal.sqlite3")).find("-wal is a symbolic link"), std::string::npos);
  ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
  EXPECT_NE(refusal(dir.file("fifo")).find("fifo is a FIFO"), std::string::npos);
  EXPECT_NE(refusal(dir.path()).find("is a directory"), std::string::npos);
  EXPECT_NE(refusal(dir.file("no/such/events.sqlite3")).find("/no/such does not exist"),
            std::string::npos);
  EXPECT_NE(refusal(dir.file("missing.sqlite3"), false).find("missing.sqlite3 does not exist"),
            std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir.file("missing.sqlite3")));

  // A file named by mistake is left as it was, its mode too, by a writer and a reader;
  // a store of ours is made owner-only only by its writer.
  writeFile(dir.file("notes.txt"), std::string(8192, 'x'));
  ::chmod(dir.file("notes.txt").c_str(), 0644);
  for (const bool create : {true, false})
    EXPECT_NE(refusal(dir.file("notes.txt"), create).find("notes.txt is not a SQLite database"),
              std::string::npos);
  EXPECT_EQ(readFile(dir.file("notes.txt")), std::string(8192, 'x'));
  const auto mode = [&](const char* name) {
    struct stat st {};
    ::stat(dir.file(name).c_str(), &st);
    return st.st_mode & 0777;
  };
  EXPECT_EQ(mode("notes.txt"), 0644u);
  openStore(dir.file("shared.sqlite3"));
  ::chmod(dir.file("shared.sqlite3").c_str(), 0644);
  std::string error;
  EXPECT_TRUE(OrvEventStore::open(dir.file("shared.sqlite3"), &error, false)) << error;
  EXPECT_EQ(mode("shared.sqlite3"), 0644u);
  EXPECT_TRUE(OrvEventStore::open(dir.file("shared.sqlite3"), &error, true)) << error;
  EXPECT_EQ(mode("shared.sqlite3"), 0600u);
  sql(dir.file("theirs.sqlite3"), "PRAGMA application_id=12345; CREATE TABLE t (x)");
  sql(dir.file("unmarked.sqlite3"), "CREATE TABLE events (x)");
  for (const char* name : {"theirs.sqlite3", "unmarked.sqlite3"})
    EXPECT_NE(refusal(dir.file(name)).find("is another program's database"), std::string::npos);
  const std::string newer = std::to_string(OrvEventStore::kSchemaVersion + 1);
  sql(dir.file("ours.sqlite3"), ("PRAGMA user_version=" + newer).c_str());
  EXPECT_NE(refusal(dir.file("ours.sqlite3")).find("written by a newer orvexp (schema " + newer),
            std::string::npos);
}

TEST(EventStore, AFullDiskStoresNoPartOfABatchAndTheBatchGoesInOnceThereIsRoom) {
  TempDir dir;
  const std::string path = dir.file("events.sqlite3");
  auto store = openStore(path);
  std::size_t added = 0;
  std::string error;
  ASSERT_TRUE(store->add(batch(10, "before-"), &added, &error)) << error;
  const auto big = batch(2000, "big-");  // hundreds of KiB of pages
  {
    // A few pages fit in the log, then the commit fails half-way.
    DiskLimit full(static_cast<rlim_t>(fileSize(path + "-wal") + 16 * 1024));
    EXPECT_FALSE(store->add(big, &added, &error));
    EXPECT_NE(error.find("cannot store events in " + path), std::string::npos) << error;
    EXPECT_EQ(store->eventCount(), 10);
  }
  store.reset();
  store = openStore(path);
  EXPECT_EQ(exported(*store).size(), 10u);
  ASSERT_TRUE(store->add(big, &added, &error)) << error;
  EXPECT_EQ(added, 2000u);
  EXPECT_EQ(store->eventCount(), 2010);
}

TEST(EventStore, WritersOnManyThreadsStoreEachIdOnceWhileQueriesRun) {
  TempDir dir;
  auto store = openStore(dir.file("events.sqlite3"));
  std::atomic<int> writing{4};
  std::atomic<std::size_t> added{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 25; ++round) {
        std::size_t n = 0;
        std::string error;
        // Threads 0 and 1 send the same ids, as do 2 and 3.
        EXPECT_TRUE(store->add(batch(20, std::to_string(t / 2) + "-" + std::to_string(round) + "-"),
                               &n, &error))
            << error;
        added += n;
      }
      --writing;
    });
  }
  std::int64_t seen = 0;
  while (writing > 0) {
    std::int64_t total = 0;
    for (const auto& c : store->exposureCounts()) total += c.exposures;
    EXPECT_GE(total, seen);  // a query sees whole commits, never fewer than before
    seen = total;
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(added, 1000u);
  EXPECT_EQ(store->eventCount(), 1000);
}

TEST(EventStore, CountsExposuresPerGroupAndSeriesInSteps) {
  TempDir dir;
  auto store = openStore(dir.file("events.sqlite3"));
  const std::int64_t t0 = 1'700'000'000'000;
  OrvMediatorEvent other = exposure("o1", "101", "1", true, t0);
  other.name = "purchase";
  std::size_t added = 0;
  std::string error;
  ASSERT_TRUE(store->add(
      {exposure("1", "101", "1", true, t0), exposure("2", "101", "1", false, t0 + 500),
       exposure("3", "101", "1", false, t0 + 2500), exposure("4", "101", "2", false, t0 + 100),
       exposure("5", "101", "2", true, t0 + 2600), exposure("6", 7, 1),
       exposure("7", OrvValue::array({1}), "g", false, t0, "b"), other},
      &added, &error))
      << error;
  std::vector<std::string> counts;
  for (const auto& c : store->exposureCounts())
    counts.push_back(c.appId + "/" + c.experimentId + "/" + c.groupId + "/" +
                     (c.control ? "control" : "-") + "/" + std::to_string(c.exposures));
  EXPECT_EQ(counts, (std::vector<std::string>{"a/101/1/control/3", "a/101/2/control/2", "a/7/1/-/1",
                                              "b/[1]/g/-/1"}));
  std::int64_t step = 0;
  std::vector<std::string> series;
  for (const auto& p : store->exposureSeries("a", "101", 3, &step))
    series.push_back(p.groupId + "@" + std::to_string(p.startMs - t0) + "=" +
                     std::to_string(p.exposures));
  EXPECT_EQ(step, 1000);
  EXPECT_EQ(series, (std::vector<std::string>{"1@0=2", "1@2000=1", "2@0=1", "2@2000=1"}));
  EXPECT_TRUE(store->exposureSeries("a", "nope", 3, &step).empty());
}

TEST(EventCollector, AnswersOtlpStatusBodiesAndA503WhenStoringFails) {
  TempDir dir;
  std::string error;
  auto collector = OrvEventCollector::open(dir.file("events.sqlite3"), &error);
  ASSERT_TRUE(collector) << error;
  EXPECT_EQ(OrvEventCollector::open(dir.file("no/dir.sqlite3"), &error), nullptr);
  const auto unsupported = collector->handle("{}", "application/x-protobuf");
  EXPECT_EQ(unsupported.status, 415);
  EXPECT_EQ(json(unsupported.body)["code"].int64Value(), 3);
  const auto malformed = collector->handle("{\"resourceLogs\":7}", "application/json");
  EXPECT_EQ(malformed.status, 400);
  EXPECT_EQ(json(malformed.body)["code"].int64Value(), 3);
  EXPECT_EQ(json(OrvEventCollector::statusBody(413, "big"))["code"].int64Value(), 8);
  const std::string body =
      R"({"resourceLogs":[{"scopeLogs":[{"logRecords":[1,{"eventName":"ok","attributes":[{"key":"eventId","value":{"stringValue":"r1"}}]}]}]}]})";
  {
    DiskLimit full(1);
    const auto refused = collector->handle(body, "application/json");
    EXPECT_EQ(refused.status, 503);
    EXPECT_EQ(refused.retryAfterSeconds, 1);
    EXPECT_EQ(json(refused.body)["code"].int64Value(), 14);
    EXPECT_EQ(collector->store().eventCount(), 0);
  }
  for (int attempt = 0; attempt < 2; ++attempt) {
    const auto taken = collector->handle(body, "application/json; charset=utf-8");
    EXPECT_EQ(taken.status, 200);
    EXPECT_EQ(json(taken.body)["partialSuccess"]["rejectedLogRecords"].stringValue(), "1");
  }
  EXPECT_EQ(collector->store().eventCount(), 1);
}

TEST(Srm, PValuesAndStatisticsMatchScipy) {
  if (runCommand("/usr/bin/python3 -c 'import scipy' 2>/dev/null") != 0)
    GTEST_SKIP() << "SciPy is missing (Debian's python3-scipy)";
  struct Fit {
    std::vector<std::int64_t> counts;
    std::vector<double> weights;
  };
  const std::vector<Fit> fits = {{{1000, 880}, {50, 50}},
                                 {{1000, 1000}, {1, 1}},
                                 {{500, 520, 480}, {1, 1, 1}},
                                 {{9000, 1100}, {90, 10}},
                                 {{700, 200, 100}, {70, 20, 10}},
                                 {{6000, 4000}, {1, 1}},
                                 {{3000, 2000, 2500, 2500}, {1, 1, 1, 1}},
                                 {{10000, 100}, {1, 1}},
                                 {{310, 290, 205, 95, 100}, {3, 3, 2, 1, 1}}};
  const std::vector<std::pair<double, int>> tails = {
      {0.5, 1},  {3.84, 1}, {5.99, 2}, {7.81, 3},  {1, 10},   {30, 10}, {49, 50},
      {100, 50}, {500, 40}, {1e-3, 5}, {200, 199}, {15.5, 4}, {1e5, 7}, {60, 3}};
  // Experiments whose exposures carried several splits: per split, its exposures per
  // group and its weights.
  const std::vector<std::vector<Fit>> mixtures = {
      {{{520, 480}, {50, 50}}, {{905, 95}, {90, 10}}},
      {{{500, 500}, {50, 50}}, {{900, 160}, {90, 10}}},
      {{{200, 30}, {1, 1}}, {{9000, 1100}, {90, 10}}},
      {{{340, 330, 330}, {1, 1, 1}}, {{790, 110, 100}, {8, 1, 1}}},
      {{{500, 500, 0}, {1, 1, 0}}, {{200, 210, 590}, {2, 2, 6}}, {{100, 0, 0}, {1, 0, 0}}}};
  const auto asValue = [](const Fit& f) {
    OrvValue::Array counts, weights;
    for (auto c : f.counts) counts.push_back(OrvValue(c));
    for (auto w : f.weights) weights.push_back(OrvValue(w));
    return OrvValue::dictionary(
        {{"counts", OrvValue::array(counts)}, {"weights", OrvValue::array(weights)}});
  };
  OrvValue::Array fitList, tailList, mixtureList;
  for (const auto& f : fits) fitList.push_back(asValue(f));
  for (const auto& [x, df] : tails)
    tailList.push_back(OrvValue::array({OrvValue(x), OrvValue(df)}));
  for (const auto& parts : mixtures) {
    OrvValue::Array list;
    for (const auto& part : parts) list.push_back(asValue(part));
    mixtureList.push_back(OrvValue::array(std::move(list)));
  }
  TempDir dir;
  writeFile(dir.file("cases.json"),
            OrvValue::dictionary({{"fits", OrvValue::array(fitList)},
                                  {"tails", OrvValue::array(tailList)},
                                  {"mixtures", OrvValue::array(mixtureList)}})
                .toJson());
  std::string output;
  ASSERT_EQ(runCommand("/usr/bin/python3 " + std::string(ORV_TEST_SOURCE_DIR) +
                           "/tests/srm_scipy.py " + dir.file("cases.json"),
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
    for (std::size_t g = 0; g < fits[i].counts.size(); ++g) {
      counts.push_back({"a", "e", std::to_string(g), false, fits[i].counts[g], ""});
      split.emplace_back(std::to_string(g), fits[i].weights[g]);
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
    const double ours = orvChiSquarePValue(tails[i].first, tails[i].second);
    const double theirs = reference["tails"].at(i).doubleValue();
    EXPECT_TRUE(close(ours, theirs))
        << tails[i].first << ", df " << tails[i].second << ": " << ours << " vs " << theirs;
  }
  for (std::size_t i = 0; i < mixtures.size(); ++i) {
    std::vector<OrvEventStore::GroupCount> counts;
    for (const auto& part : mixtures[i]) {
      OrvValue::Array split;
      for (std::size_t g = 0; g < part.weights.size(); ++g)
        split.push_back(OrvValue::array(
            {OrvValue(std::to_string(g)), OrvValue(static_cast<std::int64_t>(part.weights[g]))}));
      for (std::size_t g = 0; g < part.counts.size(); ++g)
        if (part.counts[g] > 0)
          counts.push_back({"a", "e", std::to_string(g), false, part.counts[g],
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

// A store written before splits were stored: read as it is by a reader (orvexp report
// among them), migrated in one transaction by a writer, all or nothing.
TEST(EventStore, AVersionOneStoreIsReadAsItIsAndMigratedWhenOpenedToWrite) {
  TempDir dir;
  const std::string path = dir.file("events.sqlite3");
  // Version 1's schema, as orvexp wrote it, and 3,000 exposures: more pages of index to
  // rebuild than DiskLimit leaves room for below.
  sql(path,
      "PRAGMA application_id=1330796101; PRAGMA user_version=1;"
      "CREATE TABLE events (seq INTEGER PRIMARY KEY, event_id TEXT UNIQUE NOT NULL,"
      " app_id TEXT NOT NULL, name TEXT NOT NULL, experiment_id TEXT, group_id TEXT,"
      " is_control INTEGER NOT NULL DEFAULT 0, time_ms INTEGER NOT NULL,"
      " properties TEXT NOT NULL);"
      "CREATE INDEX events_exposures ON events (app_id, experiment_id, group_id, is_control,"
      " time_ms) WHERE name = 'zu_experiment_exposure';"
      "CREATE VIEW exposures AS SELECT app_id, experiment_id, group_id, is_control, time_ms"
      " FROM events WHERE name = 'zu_experiment_exposure';"
      "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 2999)"
      " INSERT INTO events (event_id, app_id, name, experiment_id, group_id, time_ms,"
      " properties) SELECT 'old-' || i, 'a', 'zu_experiment_exposure', 'old',"
      " CASE WHEN i % 5 < 3 THEN '1' ELSE '2' END, 1700000000000, '{}' FROM n;");
  const auto version = [&] { return sqlRows(path, "PRAGMA user_version").at(0); };
  const auto report = [&](const std::string& options) {
    std::string out;
    EXPECT_EQ(runCommand(orvexpPath() + " report --json --events " + path + options, 60, &out), 7);
    return json(out)["experiments"].at(0);  // 1800 : 1200, far from equal shares
  };
  {
    auto reader = openStore(path, false);
    EXPECT_EQ(reader->exposureCounts().at(0).exposures, 1800);
    EXPECT_TRUE(json(exported(*reader).at(0))["context"].isAbsent());
    std::string error;
    EXPECT_FALSE(reader->add(batch(1, "new-"), nullptr, &error));
    EXPECT_NE(error.find("a version-1 store opened for reading"), std::string::npos) << error;
  }
  EXPECT_EQ(report("")["without_split"].int64Value(), 3000);
  {
    DiskLimit full(32768 + 16384);  // the shared-memory index and a few pages of the log
    EXPECT_NE(refusal(path).find("cannot migrate the event store in"), std::string::npos);
  }
  EXPECT_EQ(version(), "1");
  EXPECT_EQ(sqlRows(path, "SELECT COUNT(*) FROM exposures").at(0), "3000");

  auto writer = openStore(path);
  EXPECT_EQ(version(), "3");
  OrvMediatorEvent placed = exposure("new", "old", "2");
  placed.context = json(R"({"unit":"u","split":[["1",3],["2",2]],"intended_share":0.4})");
  std::string error;
  ASSERT_TRUE(writer->add({placed}, nullptr, &error)) << error;
  EXPECT_EQ(
      sqlRows(path,
              "SELECT group_id, split, COUNT(*), COUNT(unit_id) FROM exposures "
              "GROUP BY group_id, split"),
      (std::vector<std::string>{"1|NULL|1800|0", "2|NULL|1200|0", "2|[[\"1\",3],[\"2\",2]]|1|1"}));
  EXPECT_EQ(json(exported(*writer).back())["context"], placed.context);
  EXPECT_EQ(report("")["intended_from"].stringValue(), "exposures");
  const OrvValue given = report(" --expect old=1:1,2:9");  // over the split carried too
  EXPECT_EQ(given["intended_from"].stringValue(), "expect");
  EXPECT_EQ(given["groups"].at(1)["intended_share"].doubleValue(), 0.9);
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

// The readout's pass over the indexes against docs/readout.sql run by SQLite on the same
// file: a version-2 store read as it is (its outcomes parsed from their properties),
// then migrated, then read in one pass and in passes of a few units. Random units in two
// applications and experiments, some exposed in both groups or never, outcomes before,
// within and after the covariate window, amounts and counts, malformed ones.
TEST(Readout, OnePassOverTheIndexesEqualsTheQueryInEveryPassSize) {
  TempDir dir;
  const std::string path = dir.file("events.sqlite3");
  sql(path,
      "PRAGMA application_id=1330796101; PRAGMA user_version=2;"
      "CREATE TABLE events (seq INTEGER PRIMARY KEY, event_id TEXT UNIQUE NOT NULL,"
      " app_id TEXT NOT NULL, name TEXT NOT NULL, experiment_id TEXT, group_id TEXT,"
      " is_control INTEGER NOT NULL DEFAULT 0, time_ms INTEGER NOT NULL,"
      " properties TEXT NOT NULL, unit_id TEXT, intended_share REAL, split TEXT);"
      "CREATE INDEX events_exposures_by_split ON events (app_id, experiment_id, group_id,"
      " split, is_control, time_ms) WHERE name = 'zu_experiment_exposure';"
      "CREATE VIEW exposures AS SELECT app_id, experiment_id, group_id, is_control, time_ms,"
      " unit_id, intended_share, split FROM events WHERE name = 'zu_experiment_exposure';"
      "CREATE INDEX events_outcomes ON events (app_id, unit_id, time_ms)"
      " WHERE name = 'orv_outcome';"
      "CREATE VIEW outcomes AS SELECT app_id, unit_id, json_extract(properties,"
      " '$.\"#outcome\"') AS outcome, json_extract(properties, '$.\"#value\"') AS value,"
      " time_ms FROM events WHERE name = 'orv_outcome';");
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
  }
  sql(path, (inserts + "COMMIT;").c_str());

  // The query's rows, read as the store's are.
  const auto queried = [&] {
    std::vector<OrvEventStore::OutcomeStats> rows;
    sqlite3* db = nullptr;
    sqlite3_stmt* st = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    EXPECT_EQ(sqlite3_prepare_v2(db, OrvEventStore::readoutSql(), -1, &st, nullptr), SQLITE_OK)
        << sqlite3_errmsg(db);
    while (st && sqlite3_step(st) == SQLITE_ROW) {
      OrvEventStore::OutcomeStats r;
      const auto text = [&](int i) {
        const auto* t = reinterpret_cast<const char*>(sqlite3_column_text(st, i));
        return std::string(t ? t : "NULL");
      };
      r.appId = text(0);
      r.experimentId = text(1);
      r.outcome = text(2);
      r.groupId = text(3);
      r.control = sqlite3_column_int(st, 4) != 0;
      r.countsOnly = sqlite3_column_int(st, 5) != 0;
      r.units = sqlite3_column_int64(st, 6);
      r.converted = sqlite3_column_int64(st, 7);
      r.sum = sqlite3_column_double(st, 8);
      r.sumSquares = sqlite3_column_double(st, 9);
      r.covariateSum = sqlite3_column_double(st, 10);
      r.covariateSumSquares = sqlite3_column_double(st, 11);
      r.crossSum = sqlite3_column_double(st, 12);
      r.unitsLeftOut = sqlite3_column_int64(st, 13);
      rows.push_back(r);
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
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
            "804|802|802");
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
