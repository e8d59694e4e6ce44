// The event store's readout: outcomes attributed to the group of each unit's first
// exposure, as docs/readout.sql does, in one pass over the exposure and outcome indexes
// (in several passes past a number of events, so memory stays bounded), on the
// reader's connection inside one read transaction.
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

#include "ReadoutSql.h"
#include "collector/OrvEventStoreImpl.h"

namespace {

constexpr std::int64_t kCovariateWindowMs = 1'209'600'000;  // 14 days, as docs/readout.sql

// What the readout keeps of the whole store, across passes: per experiment its groups'
// units and, per outcome, each group's sums. A few entries per experiment, group and
// outcome name; ordered as the query orders its rows (SQLite compares text bytewise).
struct Sums {
  std::int64_t converted = 0;
  double sum = 0, sumSquares = 0, covariateSum = 0, covariateSumSquares = 0, crossSum = 0;
};
struct OutcomeAgg {
  bool after = false;  // some unit produced it at or after its exposure: it is read out
  bool ones = true;    // every such event carried 1
  std::map<std::uint32_t, Sums> groups;  // by group id
};
struct ExperimentAgg {
  std::int64_t unitsLeftOut = 0;
  std::map<std::uint32_t, std::pair<bool, std::int64_t>> groups;  // control, units
  std::map<std::uint32_t, OutcomeAgg> outcomes;                   // by outcome name id
};

// The few group ids and outcome names of one read, numbered in the order first seen.
class Names {
 public:
  std::uint32_t id(std::string_view text) {
    const auto [at, added] =
        ids_.emplace(std::string(text), static_cast<std::uint32_t>(texts_.size()));
    if (added) texts_.push_back(&at->first);
    return at->second;
  }
  const std::string& text(std::uint32_t id) const { return *texts_[id]; }

 private:
  std::unordered_map<std::string, std::uint32_t> ids_;  // nodes never move
  std::vector<const std::string*> texts_;               // by id, into ids_
};

std::string_view columnView(sqlite3_stmt* st, int column) {
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(st, column));
  return text ? std::string_view(text, static_cast<std::size_t>(sqlite3_column_bytes(st, column)))
              : std::string_view();
}

// A unit of an application as the readout tells units apart: two 64-bit hashes of
// "app\0unit" by two unrelated functions (std::hash, MurmurHash2 in libstdc++, and FNV-1a
// with SplitMix64's finalizer), 128 bits in all. Looking a unit up by its text cost a
// second cache miss on every exposure (the text compared, wherever it lies): a fifth of
// the readout's time. Two of a million units share one with a chance of about 10^-27.
struct UnitKey {
  std::uint64_t a = 0, b = 0;
  bool operator==(const UnitKey&) const = default;
};

UnitKey unitKeyOf(std::string& key, std::string_view app, std::string_view unit) {
  key.assign(app);
  key += '\0';
  key += unit;
  std::uint64_t b = 0xcbf29ce484222325ULL;
  for (unsigned char c : key) b = (b ^ c) * 0x100000001b3ULL;
  b ^= b >> 30;
  b *= 0xbf58476d1ce4e5b9ULL;
  b ^= b >> 27;
  b *= 0x94d049bb133111ebULL;
  b ^= b >> 31;
  return {std::hash<std::string>()(key), b};
}

// The units of a pass, numbered in the order first seen: an open-addressing table.
class UnitIds {
 public:
  std::uint32_t id(const UnitKey& key) {
    if (2 * (count_ + 1) > slots_.size()) grow();
    std::size_t i = key.b & (slots_.size() - 1);
    for (; slots_[i].id != 0; i = (i + 1) & (slots_.size() - 1))
      if (slots_[i].key == key) return slots_[i].id - 1;
    slots_[i] = {key, static_cast<std::uint32_t>(++count_)};
    return slots_[i].id - 1;
  }
  std::optional<std::uint32_t> find(const UnitKey& key) const {
    if (slots_.empty()) return std::nullopt;
    for (std::size_t i = key.b & (slots_.size() - 1); slots_[i].id != 0;
         i = (i + 1) & (slots_.size() - 1))
      if (slots_[i].key == key) return slots_[i].id - 1;
    return std::nullopt;
  }
  std::size_t count() const { return count_; }

 private:
  struct Slot {
    UnitKey key;
    std::uint32_t id = 0;  // id + 1; 0 is an empty slot
  };
  void grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(std::max<std::size_t>(16, old.size() * 2), Slot{});
    for (const Slot& slot : old) {
      if (slot.id == 0) continue;
      std::size_t i = slot.key.b & (slots_.size() - 1);
      while (slots_[i].id != 0) i = (i + 1) & (slots_.size() - 1);
      slots_[i] = slot;
    }
  }
  std::vector<Slot> slots_;  // a power of two of them, at most half in use
  std::size_t count_ = 0;
};

// The pass a unit is read in: the passes split the units, never one unit's exposures or
// outcomes.
std::size_t partitionOf(const UnitKey& unit, std::size_t passes) {
  return passes == 1 ? 0 : unit.a % passes;
}

}  // namespace

const char* OrvEventStore::readoutSql() { return orvexp::kReadoutSql; }

std::vector<OrvEventStore::OutcomeStats> OrvEventStore::outcomeStatistics(
    std::size_t passEvents, const std::vector<std::pair<std::string, std::string>>* only) const {
  std::lock_guard lock(impl_->readMutex);
  sqlite3* db = impl_->reader;
  // Every pass reads the same snapshot, whatever arrives meanwhile.
  if (!exec(db, "BEGIN")) return {};
  struct EndRead {
    sqlite3* db;
    ~EndRead() { exec(db, "COMMIT"); }
  } endRead{db};
  // What the scans read: one index range per application, experiment and group that has
  // exposures (all, or of the experiments asked for), found by seeking from one to the
  // next, so that each row read holds only the unit, control flag and time; and per
  // application its outcomes, in unit order. An application without outcomes has no
  // readout: its exposures are not read at all.
  struct Range {
    std::string app, experiment, group;
    std::uint32_t experimentIndex = 0, groupId = 0;  // in `experiments`, in `groups`
  };
  std::vector<Range> ranges;
  std::vector<std::string> apps;  // with outcomes, in order
  {
    // From one (application, experiment, group) to the next in the index: a seek each.
    // With experiments asked for, only within each of them.
    Statement first = prepare(db, only ? "SELECT app_id, experiment_id, group_id FROM exposures "
                                         "WHERE app_id = ?1 AND experiment_id = ?2 AND group_id "
                                         "IS NOT NULL ORDER BY group_id LIMIT 1"
                                       : "SELECT app_id, experiment_id, group_id FROM exposures "
                                         "WHERE experiment_id IS NOT NULL AND group_id IS NOT "
                                         "NULL ORDER BY app_id, experiment_id, group_id LIMIT 1");
    Statement next = prepare(db, only ? "SELECT app_id, experiment_id, group_id FROM exposures "
                                        "WHERE app_id = ?1 AND experiment_id = ?2 AND group_id "
                                        "> ?3 ORDER BY group_id LIMIT 1"
                                      : "SELECT app_id, experiment_id, group_id FROM exposures "
                                        "WHERE experiment_id IS NOT NULL AND group_id IS NOT NULL "
                                        "AND (app_id, experiment_id, group_id) > (?1, ?2, ?3) "
                                        "ORDER BY app_id, experiment_id, group_id LIMIT 1");
    Statement hasOutcomes = prepare(db, "SELECT 1 FROM outcomes WHERE app_id = ?1 LIMIT 1");
    if (!first || !next || !hasOutcomes) return {};
    std::map<std::string, bool> appHas;
    const auto hasAny = [&](const std::string& app) {
      auto has = appHas.find(app);
      if (has == appHas.end()) {
        sqlite3_reset(hasOutcomes.get());
        bindText(hasOutcomes.get(), 1, app);
        has = appHas.emplace(app, sqlite3_step(hasOutcomes.get()) == SQLITE_ROW).first;
        if (has->second) apps.push_back(app);
      }
      return has->second;
    };
    const auto bind = [](sqlite3_stmt* st, std::initializer_list<const std::string*> texts) {
      sqlite3_reset(st);
      int i = 1;
      for (const std::string* text : texts)
        sqlite3_bind_text(st, i++, text->data(), static_cast<int>(text->size()), SQLITE_TRANSIENT);
    };
    const auto rangeAt = [](sqlite3_stmt* st) -> std::optional<Range> {
      if (sqlite3_step(st) != SQLITE_ROW) return std::nullopt;
      return Range{columnText(st, 0), columnText(st, 1), columnText(st, 2)};
    };
    const auto walk = [&] {
      for (auto r = rangeAt(first.get()); r; r = rangeAt(next.get())) {
        if (hasAny(r->app)) ranges.push_back(*r);
        bind(next.get(), {&r->app, &r->experiment, &r->group});
      }
    };
    if (!only) {
      walk();
    } else {
      for (const auto& [app, experiment] :
           std::set<std::pair<std::string, std::string>>(only->begin(), only->end())) {
        if (!hasAny(app)) continue;
        bind(first.get(), {&app, &experiment});
        walk();
      }
    }
    std::sort(apps.begin(), apps.end());
  }
  if (ranges.empty()) return {};
  // Exposures without a unit (NULL or empty: no unit to attribute to) are left out here,
  // not in SQL, which would test each row twice more.
  Statement exposures = prepare(db,
                                "SELECT unit_id, is_control, time_ms FROM exposures WHERE "
                                "app_id = ?1 AND experiment_id = ?2 AND group_id = ?3");
  Statement outcomes = prepare(db,
                               "SELECT unit_id, outcome, value, time_ms FROM outcomes "
                               "WHERE app_id = ?1 ORDER BY unit_id");
  if (!exposures || !outcomes) return {};
  // The events stored bound the exposures and the outcomes at once, found at once
  // (eventCount()); counting either would read its whole index once more.
  const std::size_t rows = static_cast<std::size_t>(std::max<std::int64_t>(
      1, scalar(db, "SELECT COALESCE(MAX(seq), 0) FROM events").value_or(0)));
  const std::size_t perPass = std::max<std::size_t>(passEvents, 1);
  const std::size_t passes = (rows + perPass - 1) / perPass;

  // The ranges come in the rows' order (application, experiment, group): the experiments
  // are numbered in it.
  Names groups, outcomeNames;
  std::vector<std::pair<std::string, std::string>> experiments;  // application, experiment
  for (Range& range : ranges) {
    if (experiments.empty() || experiments.back() != std::pair(range.app, range.experiment))
      experiments.emplace_back(range.app, range.experiment);
    range.experimentIndex = static_cast<std::uint32_t>(experiments.size() - 1);
    range.groupId = groups.id(range.group);
  }
  std::vector<ExperimentAgg> aggs(experiments.size());
  std::string key;
  for (std::size_t pass = 0; pass < passes; ++pass) {
    // This pass's units' exposures, then per unit and experiment its first exposure.
    UnitIds units;
    struct Exposure {
      std::uint32_t unit, experiment, group;
      bool control;
      std::int64_t timeMs;
    };
    std::vector<Exposure> seen;
    seen.reserve(std::min(rows / passes + 1, perPass));
    for (const Range& range : ranges) {
      sqlite3_stmt* st = exposures.get();
      sqlite3_reset(st);
      bindText(st, 1, range.app);
      bindText(st, 2, range.experiment);
      bindText(st, 3, range.group);
      while (sqlite3_step(st) == SQLITE_ROW) {
        const std::string_view unitId = columnView(st, 0);
        if (unitId.empty()) continue;
        const UnitKey unit = unitKeyOf(key, range.app, unitId);
        if (partitionOf(unit, passes) != pass) continue;
        seen.push_back({units.id(unit), range.experimentIndex, range.groupId,
                        sqlite3_column_int64(st, 1) != 0, sqlite3_column_int64(st, 2)});
      }
    }
    // By unit (a counting sort: units are numbered densely), then each unit's few by
    // experiment and time.
    {
      std::vector<std::size_t> start(units.count() + 1, 0);
      for (const Exposure& e : seen) ++start[e.unit + 1];
      for (std::size_t i = 1; i < start.size(); ++i) start[i] += start[i - 1];
      std::vector<Exposure> sorted(seen.size());
      for (const Exposure& e : seen) sorted[start[e.unit]++] = e;
      seen.swap(sorted);
      for (std::size_t i = 0, j = 0; i < seen.size(); i = j) {
        for (j = i + 1; j < seen.size() && seen[j].unit == seen[i].unit;) ++j;
        std::sort(seen.begin() + static_cast<std::ptrdiff_t>(i),
                  seen.begin() + static_cast<std::ptrdiff_t>(j),
                  [](const Exposure& a, const Exposure& b) {
                    return std::tie(a.experiment, a.timeMs) < std::tie(b.experiment, b.timeMs);
                  });
      }
    }
    struct First {
      std::uint32_t experiment, group;
      std::int64_t exposedMs;
    };
    std::vector<First> firsts;           // kept units only, ordered by unit
    std::vector<std::size_t> unitStart;  // firsts of unit u: [unitStart[u], unitStart[u + 1])
    for (std::size_t i = 0; i < seen.size();) {
      std::size_t j = i;
      bool control = false, mixed = false;
      for (; j < seen.size() && seen[j].unit == seen[i].unit &&
             seen[j].experiment == seen[i].experiment;
           ++j) {
        control = control || seen[j].control;
        mixed = mixed || seen[j].group != seen[i].group;
      }
      ExperimentAgg& agg = aggs[seen[i].experiment];
      if (mixed) {
        ++agg.unitsLeftOut;
      } else {
        auto& group = agg.groups[seen[i].group];
        group.first = group.first || control;
        ++group.second;
        while (unitStart.size() <= seen[i].unit) unitStart.push_back(firsts.size());
        firsts.push_back({seen[i].experiment, seen[i].group, seen[i].timeMs});
      }
      i = j;
    }
    while (unitStart.size() <= units.count()) unitStart.push_back(firsts.size());
    seen.clear();
    seen.shrink_to_fit();

    // Per kept unit, experiment and outcome name: the sum since its first exposure and
    // in the window before it. The rows come by unit, so one unit's sums at a time are
    // kept, then added to their group's.
    struct Unit {
      std::size_t first;  // in firsts
      std::uint32_t name;
      double value = 0, covariate = 0;
      bool after = false, ones = true;
    };
    std::vector<Unit> unitSums;
    const auto addUnit = [&] {
      for (const Unit& acc : unitSums) {
        const First& f = firsts[acc.first];
        OutcomeAgg& outcome = aggs[f.experiment].outcomes[acc.name];
        outcome.after = outcome.after || acc.after;
        outcome.ones = outcome.ones && acc.ones;
        Sums& sums = outcome.groups[f.group];
        sums.converted += acc.value > 0 ? 1 : 0;
        sums.sum += acc.value;
        sums.sumSquares += acc.value * acc.value;
        sums.covariateSum += acc.covariate;
        sums.covariateSumSquares += acc.covariate * acc.covariate;
        sums.crossSum += acc.covariate * acc.value;
      }
      unitSums.clear();
    };
    std::string lastUnit;
    std::optional<std::uint32_t> u;
    std::string lastName;
    std::uint32_t name = outcomeNames.id("");
    for (const std::string& app : apps) {
      sqlite3_stmt* st = outcomes.get();
      sqlite3_reset(st);
      bindText(st, 1, app);
      bool first = true;
      while (sqlite3_step(st) == SQLITE_ROW) {
        // The rows of one unit come together: it is looked up once.
        if (const std::string_view unit = columnView(st, 0); first || unit != lastUnit) {
          addUnit();
          first = false;
          lastUnit.assign(unit);
          const UnitKey k = unitKeyOf(key, app, unit);
          u = partitionOf(k, passes) == pass ? units.find(k) : std::nullopt;
        }
        if (!u) continue;
        const std::string_view outcomeName = columnView(st, 1);
        if (outcomeName != lastName) {
          lastName.assign(outcomeName);
          name = outcomeNames.id(outcomeName);
        }
        const double value = sqlite3_column_double(st, 2);
        const std::int64_t timeMs = sqlite3_column_int64(st, 3);
        for (std::size_t f = unitStart[*u]; f < unitStart[*u + 1]; ++f) {
          const std::int64_t exposedMs = firsts[f].exposedMs;
          if (timeMs < exposedMs - kCovariateWindowMs) continue;
          auto acc = std::find_if(unitSums.begin(), unitSums.end(),
                                  [&](const Unit& a) { return a.first == f && a.name == name; });
          if (acc == unitSums.end()) acc = unitSums.insert(unitSums.end(), Unit{f, name});
          if (timeMs >= exposedMs) {
            acc->value += value;
            acc->after = true;
            acc->ones = acc->ones && value == 1;
          } else {
            acc->covariate += value;
          }
        }
      }
    }
    addUnit();
  }

  // Rows in the query's order: application, experiment (the experiments' own), outcome,
  // group.
  // Ids in their texts' order.
  const auto byText = [](const auto& ids, const Names& names) {
    std::vector<std::uint32_t> sorted;
    for (const auto& entry : ids) sorted.push_back(entry.first);
    std::sort(sorted.begin(), sorted.end(),
              [&](std::uint32_t a, std::uint32_t b) { return names.text(a) < names.text(b); });
    return sorted;
  };
  std::vector<OutcomeStats> out;
  for (std::size_t e = 0; e < experiments.size(); ++e) {
    const ExperimentAgg& agg = aggs[e];
    const std::vector<std::uint32_t> groupOrder = byText(agg.groups, groups);
    for (std::uint32_t name : byText(agg.outcomes, outcomeNames)) {
      const OutcomeAgg& outcome = agg.outcomes.at(name);
      if (!outcome.after) continue;
      for (std::uint32_t group : groupOrder) {
        const auto& units = agg.groups.at(group);
        OutcomeStats r;
        r.appId = experiments[e].first;
        r.experimentId = experiments[e].second;
        r.outcome = outcomeNames.text(name);
        r.groupId = groups.text(group);
        r.control = units.first;
        r.countsOnly = outcome.ones;
        r.units = units.second;
        if (const auto found = outcome.groups.find(group); found != outcome.groups.end()) {
          const Sums& s = found->second;
          r.converted = s.converted;
          r.sum = s.sum;
          r.sumSquares = s.sumSquares;
          r.covariateSum = s.covariateSum;
          r.covariateSumSquares = s.covariateSumSquares;
          r.crossSum = s.crossSum;
        }
        r.unitsLeftOut = agg.unitsLeftOut;
        out.push_back(std::move(r));
      }
    }
  }
  return out;
}
