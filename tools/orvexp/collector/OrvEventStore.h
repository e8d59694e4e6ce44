// The collector's store: the log records `orvexp serve --events DB` accepted, in a
// SQLite file of their own, each eventId once.
//
// A request's records go in with one transaction, so the collector can answer 2xx
// exactly when they are committed and 503 when they are not (disk full, I/O error, the
// file locked past kBusyTimeout): nothing is acknowledged that is not stored, and
// nothing stored is half a request. A record without an eventId gets one derived from
// its content ("content-" and the MD5 of its JSON line), so a retried request of such
// records is stored once too.
//
// The file is refused, never repaired or followed: a missing directory, a symbolic
// link, anything but a regular file, a file that is not SQLite, another program's
// database, or one written by a newer orvexp (schema version above kSchemaVersion).
//
// Schema versions: 1 kept per event its identifiers, control flag, time and
// properties; 2 adds an exposure's context (OrvMediatorEvent::context): its unit, its
// group's intended share and the split it was placed by; 3 an outcome's name and value
// in columns of their own. Opened to write, an older store is migrated in one
// transaction (version-1 rows get no context; outcomes get their name and value from
// their properties); opened to read (`create` false), it is read as it is and left
// unchanged (version-1 rows without context).
//
// A commit survives a crash of the process; with synchronous=NORMAL (measured: a sync
// per commit keeps ingest below target) a power cut can lose commits made since the
// last checkpoint.
//
// Memory stays bounded whatever the file holds: nothing reads the file whole; queries
// aggregate in SQLite, but for the readout, which holds the units of at most
// kReadoutPassEvents events at a time (about 100 bytes an exposure; a larger store is
// read in passes). Thread-safe: writers take turns on one connection (add() calls
// waiting at the same time are committed together, each still all or nothing), a thread
// of the store's own copies the log into the database, and queries use a connection of
// their own, so a report never waits for an ingest (WAL).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "OrvMediator.h"

class OrvEventStore {
 public:
  static constexpr int kSchemaVersion = 3;
  static constexpr std::chrono::milliseconds kBusyTimeout{2000};
  // The name exposure events carry; only they are counted.
  static constexpr const char* kExposureEvent = "zu_experiment_exposure";
  // The name outcome events (OrvExperiment::track) carry; only they are read out.
  static constexpr const char* kOutcomeEvent = "orv_outcome";

  // Opens the store at `path`, creating it (owner-only) when it does not exist and
  // `create` is set (a reader passes false: a missing file is refused, not made).
  // nullptr with `*error` saying why when the path is refused (see above).
  static std::unique_ptr<OrvEventStore> open(const std::string& path, std::string* error,
                                             bool create = true);
  ~OrvEventStore();
  OrvEventStore(const OrvEventStore&) = delete;
  OrvEventStore& operator=(const OrvEventStore&) = delete;

  // Stores `events` in one transaction, each eventId once (also across restarts). True
  // once committed, with `*added` the number that were new; false with `*error` when
  // nothing was stored (also always for a version-1 store opened for reading). An
  // event's context is stored as given: its "unit" string, "intended_share" number and
  // "split" array (as compact JSON); the collector checks them before.
  bool add(const std::vector<OrvMediatorEvent>& events, std::size_t* added, std::string* error);

  // Exposure events per application, experiment, group and the split they carried,
  // ordered by those four (no split first). Experiment and group identifiers are the
  // text of "#experiment_id" and "#experiment_group_id" (a string itself, a number its
  // decimal text, anything else its JSON); `control` is true when any of the row's
  // events says so. A group has one row per distinct split its exposures carried: as
  // many rows as splits, never one per exposure.
  struct GroupCount {
    std::string appId;
    std::string experimentId;
    std::string groupId;
    bool control = false;
    std::int64_t exposures = 0;
    std::string split;  // the split's compact JSON text; "" for exposures that carried none
  };
  std::vector<GroupCount> exposureCounts() const;
  // The same rows handed to `visit` one experiment at a time (its groups, in that order),
  // so a pass over every experiment holds only one experiment's rows. The store's other
  // queries wait while it runs: `visit` must not call the store.
  void visitExposureCounts(const std::function<void(std::vector<GroupCount>&)>& visit) const;
  // The groups of one experiment only (none when it has no exposures), read from the
  // index's range for it whatever else the store holds.
  std::vector<GroupCount> exposureCounts(const std::string& appId,
                                         const std::string& experimentId) const;

  // One experiment's exposures over time: per group, how many arrived in each step of
  // `*stepMs` (chosen so that at most `maxSteps` steps span the first to the last
  // exposure), ordered by group, then time. Steps without exposures are left out.
  struct SeriesPoint {
    std::string groupId;
    std::int64_t startMs = 0;  // start of the step, Unix milliseconds
    std::int64_t exposures = 0;
  };
  std::vector<SeriesPoint> exposureSeries(const std::string& appId, const std::string& experimentId,
                                          int maxSteps, std::int64_t* stepMs) const;

  // The sufficient statistics of every experiment's outcomes (docs/readout.sql: its
  // attribution rule and its columns), one application, experiment, outcome and group
  // each, in that order.
  struct OutcomeStats {
    std::string appId;
    std::string experimentId;
    std::string outcome;
    std::string groupId;
    bool control = false;
    bool countsOnly = false;  // every event carried 1: a share of units converting
    std::int64_t units = 0;
    std::int64_t converted = 0;
    double sum = 0;
    double sumSquares = 0;
    double covariateSum = 0;
    double covariateSumSquares = 0;
    double crossSum = 0;
    std::int64_t unitsLeftOut = 0;  // of the experiment: exposed in two groups
  };
  //
  // Computed in one pass over the exposures' and the outcomes' indexes each, in memory
  // (docs/readout.sql takes seconds where this takes about one: bench BM_Readout);
  // equal to the query's rows but for the order floating-point sums are added in. A
  // store of more than `passEvents` events is read in as many passes, each over the
  // units whose hash falls in its share, all in one read transaction. With `only`, the
  // rows of those experiments (application, experiment) alone, reading only their
  // exposures and their applications' outcomes (the page asks for its experiments).
  static constexpr std::size_t kReadoutPassEvents = 2'000'000;
  std::vector<OutcomeStats> outcomeStatistics(
      std::size_t passEvents = kReadoutPassEvents,
      const std::vector<std::pair<std::string, std::string>>* only = nullptr) const;
  // docs/readout.sql, as embedded at build time.
  static const char* readoutSql();

  std::int64_t eventCount() const;

  // Every stored event as one JSON line (OrvMediatorEvent::toJson(true): with its
  // context when it has one), in the order they were stored. False with `*error` when the file
  // could not be read to the end.
  bool exportJsonLines(std::ostream& out, std::string* error) const;

  // The counting query behind exposureCounts(), as documented for other stores: it
  // reads only the view "exposures" (app_id, experiment_id, group_id, is_control,
  // time_ms, unit_id, intended_share, split), which this store defines over its table.
  static const char* countsSql();

 private:
  struct Impl;
  explicit OrvEventStore(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};
