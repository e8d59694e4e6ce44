// What the application hears about the feature table beyond the reads: readiness (the
// first table from a cache or a fetch) and change listeners (the keys a reload added,
// removed or changed). Thread-safe; every listener runs on the main queue.
//
// Readiness is decided on the work queue, in order with the loads: a start-up failure
// is only taken as "not ready" after the cache-ready work queued before it has run.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "OrvExperiment/OrvExperimentTask.h"
#include "OrvFeature.h"

class OrvTableWatch {
 public:
  using ChangeListener = std::function<void(const std::vector<std::string>& keys)>;

  static OrvTableWatch& sharedInstance();

  bool isReady() const;
  // A task that hears success once a table is in place (at once if it is), and the
  // start-up fetch's failure when start-up ended with neither a usable cache nor a
  // successful fetch; after such a failure it still hears the success of the first
  // table a later fetch or refresh brings.
  std::shared_ptr<OrvExperimentTask> whenReady();

  std::uint64_t addChangeListener(ChangeListener listener);
  void removeChangeListener(std::uint64_t id);

  // On the work queue: a table built from a payload is in place, replacing `previous`
  // (null before the first). The first table after start (readiness) reports every key.
  void tableLoaded(const OrvFeatureTable* previous, const OrvFeatureTable& current);
  // On the work queue: the start-up fetch failed.
  void startupFailed(std::int64_t code, const std::string& message);

  // Back to the state before any start: not ready, no failure, no waiting task, no
  // listener (test mode's reset).
  void reset();

  // The sorted keys that differ between two tables: added, removed, or with another
  // value or experiment membership.
  static std::vector<std::string> changedKeys(const OrvFeatureTable* previous,
                                              const OrvFeatureTable& current);

 private:
  OrvTableWatch() = default;

  mutable std::mutex mutex_;
  // Guarded by mutex_.
  bool ready_ = false;
  bool failed_ = false;
  std::int64_t failureCode_ = 0;
  std::string failureMessage_;
  std::vector<std::shared_ptr<OrvExperimentTask>> waiting_;
  bool warnedFull_ = false;
  static constexpr std::size_t kMaxWaiting = 4096;
  std::map<std::uint64_t, std::shared_ptr<const ChangeListener>> listeners_;
  std::uint64_t nextId_ = 1;
};
