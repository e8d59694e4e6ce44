// The event store's queries for the split check and the page: exposures per group and
// carried split, their series in steps a chart reads easily, the count and the export.
// Each takes the reader's turn (readMutex) and sees the last commit.
#include "collector/OrvEventStore.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "collector/OrvEventStoreImpl.h"

const char* OrvEventStore::countsSql() {
  return "SELECT app_id, experiment_id, group_id, MAX(is_control) AS control, "
         "COUNT(*) AS exposures, split FROM exposures "
         "GROUP BY app_id, experiment_id, group_id, split "
         "ORDER BY app_id, experiment_id, group_id, split";
}

namespace {

OrvEventStore::GroupCount groupCountOf(sqlite3_stmt* st) {
  OrvEventStore::GroupCount c;
  c.appId = columnText(st, 0);
  c.experimentId = columnText(st, 1);
  c.groupId = columnText(st, 2);
  c.control = sqlite3_column_int64(st, 3) != 0;
  c.exposures = sqlite3_column_int64(st, 4);
  c.split = columnText(st, 5);
  return c;
}

}  // namespace

std::vector<OrvEventStore::GroupCount> OrvEventStore::exposureCounts() const {
  std::vector<GroupCount> counts;
  std::lock_guard lock(impl_->readMutex);
  Statement st = prepare(impl_->reader, countsSql());
  while (st && sqlite3_step(st.get()) == SQLITE_ROW) counts.push_back(groupCountOf(st.get()));
  return counts;
}

void OrvEventStore::visitExposureCounts(
    const std::function<void(std::vector<GroupCount>&)>& visit) const {
  std::vector<GroupCount> experiment;
  std::lock_guard lock(impl_->readMutex);
  Statement st = prepare(impl_->reader, countsSql());
  while (st && sqlite3_step(st.get()) == SQLITE_ROW) {
    GroupCount c = groupCountOf(st.get());
    if (!experiment.empty() && (experiment.front().appId != c.appId ||
                                experiment.front().experimentId != c.experimentId)) {
      visit(experiment);
      experiment.clear();
    }
    experiment.push_back(std::move(c));
  }
  if (!experiment.empty()) visit(experiment);
}

std::vector<OrvEventStore::GroupCount> OrvEventStore::exposureCounts(
    const std::string& appId, const std::string& experimentId) const {
  std::vector<GroupCount> counts;
  std::lock_guard lock(impl_->readMutex);
  Statement st = prepare(impl_->reader,
                         "SELECT app_id, experiment_id, group_id, MAX(is_control), COUNT(*), "
                         "split FROM exposures WHERE app_id = ?1 AND experiment_id = ?2 "
                         "GROUP BY group_id, split ORDER BY group_id, split");
  if (st) {
    bindText(st.get(), 1, appId);
    bindText(st.get(), 2, experimentId);
  }
  while (st && sqlite3_step(st.get()) == SQLITE_ROW) counts.push_back(groupCountOf(st.get()));
  return counts;
}

std::vector<OrvEventStore::SeriesPoint> OrvEventStore::exposureSeries(
    const std::string& appId, const std::string& experimentId, int maxSteps,
    std::int64_t* stepMs) const {
  std::vector<SeriesPoint> points;
  if (stepMs) *stepMs = 0;
  std::lock_guard lock(impl_->readMutex);
  // One read transaction for both statements: the steps fit what is counted.
  if (!exec(impl_->reader, "BEGIN")) return points;
  Statement range = prepare(impl_->reader,
                            "SELECT MIN(time_ms), MAX(time_ms) FROM exposures "
                            "WHERE app_id = ?1 AND experiment_id = ?2");
  if (range) {
    bindText(range.get(), 1, appId);
    bindText(range.get(), 2, experimentId);
  }
  if (range && sqlite3_step(range.get()) == SQLITE_ROW &&
      sqlite3_column_type(range.get(), 0) != SQLITE_NULL) {
    const std::int64_t first = sqlite3_column_int64(range.get(), 0);
    const std::int64_t last = sqlite3_column_int64(range.get(), 1);
    const std::int64_t steps = maxSteps < 1 ? 1 : maxSteps;
    // The shortest step with which `steps` of them reach from first to last.
    const std::int64_t least = (last - first) / steps + 1;
    std::int64_t step = 0;
    for (std::int64_t nice : kNiceSteps) {
      if (nice >= least) {
        step = nice;
        break;
      }
    }
    if (step == 0) step = (least + 86'400'000 - 1) / 86'400'000 * 86'400'000;
    if (stepMs) *stepMs = step;
    Statement st = prepare(impl_->reader,
                           "SELECT group_id, (time_ms - ?3) / ?4 AS step, COUNT(*) "
                           "FROM exposures WHERE app_id = ?1 AND experiment_id = ?2 "
                           "GROUP BY group_id, step ORDER BY group_id, step");
    if (st) {
      bindText(st.get(), 1, appId);
      bindText(st.get(), 2, experimentId);
      sqlite3_bind_int64(st.get(), 3, first);
      sqlite3_bind_int64(st.get(), 4, step);
    }
    while (st && sqlite3_step(st.get()) == SQLITE_ROW) {
      SeriesPoint p;
      p.groupId = columnText(st.get(), 0);
      p.startMs = first + sqlite3_column_int64(st.get(), 1) * step;
      p.exposures = sqlite3_column_int64(st.get(), 2);
      points.push_back(std::move(p));
    }
  }
  range.reset();
  exec(impl_->reader, "COMMIT");
  return points;
}

std::int64_t OrvEventStore::eventCount() const {
  std::lock_guard lock(impl_->readMutex);
  // Rows are never deleted and a row's seq is the largest before it plus one (an ignored
  // or rolled back insert takes none), so the largest seq is the count, found in the
  // primary key at once where COUNT(*) would read every row.
  return scalar(impl_->reader, "SELECT COALESCE(MAX(seq), 0) FROM events").value_or(0);
}

bool OrvEventStore::exportJsonLines(std::ostream& out, std::string* error) const {
  std::lock_guard lock(impl_->readMutex);
  // A version-1 store's rows carry no context.
  Statement st = prepare(impl_->reader, impl_->schemaVersion == 1
                                            ? "SELECT event_id, app_id, name, time_ms, properties, "
                                              "NULL, NULL, NULL FROM events ORDER BY seq"
                                            : "SELECT event_id, app_id, name, time_ms, properties, "
                                              "unit_id, intended_share, split FROM events "
                                              "ORDER BY seq");
  int rc = st ? SQLITE_ROW : SQLITE_ERROR;
  while (st && (rc = sqlite3_step(st.get())) == SQLITE_ROW) {
    OrvMediatorEvent event;
    event.eventId = columnText(st.get(), 0);
    event.appId = columnText(st.get(), 1);
    event.name = columnText(st.get(), 2);
    event.time = std::chrono::system_clock::time_point(
        std::chrono::milliseconds(sqlite3_column_int64(st.get(), 3)));
    event.properties = OrvValue::parseJson(columnText(st.get(), 4)).value;
    OrvValue::Dictionary context;
    if (sqlite3_column_type(st.get(), 5) != SQLITE_NULL)
      context.emplace_back("unit", OrvValue(columnText(st.get(), 5)));
    if (sqlite3_column_type(st.get(), 6) != SQLITE_NULL)
      context.emplace_back("intended_share", OrvValue(sqlite3_column_double(st.get(), 6)));
    if (sqlite3_column_type(st.get(), 7) != SQLITE_NULL)
      context.emplace_back("split", OrvValue::parseJson(columnText(st.get(), 7)).value);
    if (!context.empty()) event.context = OrvValue::dictionary(std::move(context));
    out << event.toJson(true) << '\n';
    if (!out) {
      if (error) *error = "cannot write the events of " + impl_->path;
      return false;
    }
  }
  if (rc != SQLITE_DONE) {
    if (error) *error = impl_->sqliteError(impl_->reader, "cannot read");
    return false;
  }
  out.flush();
  if (!out) {
    if (error) *error = "cannot write the events of " + impl_->path;
    return false;
  }
  return true;
}
