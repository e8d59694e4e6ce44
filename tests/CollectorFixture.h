// Shared by the collector's tests: exposures and batches of them, stores opened or
// refused, SQL on the file, a disk limit, and a real server collecting into a store.
#pragma once

#include <httplib.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include "TestSupport.h"
#include "collector/OrvEventCollector.h"
#include "server/OrvConfigServer.h"

namespace orvtest {

inline OrvMediatorEvent exposure(const std::string& id, OrvValue experiment, OrvValue group,
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

inline std::vector<OrvMediatorEvent> batch(int count, const std::string& prefix) {
  std::vector<OrvMediatorEvent> events;
  for (int i = 0; i < count; ++i)
    events.push_back(exposure(prefix + std::to_string(i), "x", std::to_string(i % 2)));
  return events;
}

inline std::unique_ptr<OrvEventStore> openStore(const std::string& path, bool create = true) {
  std::string error;
  auto store = OrvEventStore::open(path, &error, create);
  EXPECT_TRUE(store) << error;
  return store;
}

inline std::vector<std::string> exported(const OrvEventStore& store) {
  std::stringstream out;
  std::string error;
  EXPECT_TRUE(store.exportJsonLines(out, &error)) << error;
  std::vector<std::string> lines;
  for (std::string line; std::getline(out, line);) lines.push_back(line);
  return lines;
}

inline std::string refusal(const std::string& path, bool create = true) {
  std::string error;
  EXPECT_EQ(OrvEventStore::open(path, &error, create), nullptr) << path;
  return error;
}

inline void sql(const std::string& path, const char* statements) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, statements, nullptr, nullptr, nullptr), SQLITE_OK)
      << sqlite3_errmsg(db);
  sqlite3_close(db);
}

inline std::int64_t fileSize(const std::string& path) {
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
inline std::vector<std::string> attributes(const std::string& html, const std::string& name) {
  std::vector<std::string> values;
  const std::string lead = " " + name + "=\"";
  for (std::size_t at = html.find(lead); at != std::string::npos; at = html.find(lead, at + 1)) {
    const std::size_t start = at + lead.size();
    values.push_back(html.substr(start, html.find('"', start) - start));
  }
  return values;
}

// The rows of `query` on the file at `path`, each its columns' text joined by "|".
inline std::vector<std::string> sqlRows(const std::string& path, const std::string& query) {
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

inline std::string orvexpPath() {
  return std::string(ORV_TEST_BINARY_DIR) + "/tools/orvexp/orvexp";
}

// An OTLP attribute whose value is of `type` ("stringValue", "doubleValue", ...).
inline OrvValue attribute(const std::string& key, const char* type, OrvValue value) {
  return OrvValue::dictionary(
      {{"key", OrvValue(key)}, {"value", OrvValue::dictionary({{type, std::move(value)}})}});
}

// An exposure as the library's exporter sends it: an OTLP log record, with `context`
// after its other attributes.
inline OrvValue exposureRecord(const std::string& id, const std::string& experiment,
                               const OrvValue& group, OrvValue::Array context = {}) {
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
inline void place(OrvValue::Array* records, const std::string& experiment,
                  const std::vector<std::pair<std::string, int>>& split,
                  const std::vector<int>& counts, bool carry = true) {
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
inline std::string post(const ReportServer& s, const OrvValue::Array& records) {
  httplib::Client client("127.0.0.1", s.server.port());
  client.set_read_timeout(60, 0);
  const std::string body = R"({"resourceLogs":[{"scopeLogs":[{"logRecords":)" +
                           OrvValue::array(records).toJson() + "}]}]}";
  const auto res = client.Post("/v1/logs", body, "application/json");
  return res ? std::to_string(res->status) + " " + res->body : "no answer";
}

}  // namespace orvtest
