// The process-wide owner of the current feature table. It holds the start-up
// configuration, loads the table from the payload the remote-configuration component
// has for the application, answers lookups by key and, for lookups made on the
// application's behalf, hands the key to the exposure tracker when automatic exposure
// tracking is on.
//
// Thread-safety: every member may be called from any thread. One recursive mutex
// guards the configuration and the table for writers; a table is never changed once
// stored, only replaced whole, so a feature obtained before a reload stays valid and
// keeps its old value. A reload builds the new table without the lock and takes it
// only to swap the table in, so no read waits for a build.
//
// Reads take no lock shared between reading threads: every change publishes an
// immutable snapshot (table, configuration, source) and bumps a generation counter;
// each thread keeps a reference to the snapshot it last saw and only takes the lock to
// pick up a newer one. So a read sees one whole table, and an idle thread keeps the
// table it last read alive until its next read; a table whose last reference a reader
// drops is freed by the next change, not by the reader. Lookups never touch the disk
// or the network.
#pragma once

#include <atomic>
#include <concepts>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "OrvExperiment/OrvEvaluationDetail.h"
#include "OrvExperiment/OrvExperimentConfig.h"
#include "OrvFeature.h"

class OrvFeatureManager {
 public:
  static constexpr const char* kTemplateCode = "ki_feature";

  static OrvFeatureManager& sharedInstance();

  void setConfig(std::shared_ptr<OrvExperimentConfig> config);

  // The feature for `key`, or null, sharing its table's ownership. With
  // `trackExposure` (the one-argument form), a found key is handed to the exposure
  // tracker when the configuration tracks exposures automatically, as for a read made
  // on the application's behalf; without it the lookup reports nothing (the exposure
  // tracker's own lookups, tools).
  std::shared_ptr<const OrvFeature> getFeature(const std::string& key, bool trackExposure);
  std::shared_ptr<const OrvFeature> getFeature(const std::string& key) {
    return getFeature(key, true);
  }

  // The tracked lookup of the typed reads: hands the feature (or null) to `visit`
  // against the calling thread's snapshot instead of returning a shared reference, so a
  // read writes no reference count that other threads share. `visit` must be short and
  // must not call back into the library.
  template <std::invocable<const OrvFeature*> Visit>
  auto getFeature(const std::string& key, Visit&& visit) {
    const Snapshot& snapshot = current();
    const OrvFeature* found = findAndTrack(snapshot, key);
    return visit(found);
  }

  // The same, with where the table came from: `visit(feature or null, source, ready)`,
  // `ready` false while no table from a payload is in place.
  template <class Visit>
  auto getFeatureWithSource(const std::string& key, Visit&& visit) {
    const Snapshot& snapshot = current();
    const OrvFeature* found = findAndTrack(snapshot, key);
    return visit(found, snapshot.source,
                 snapshot.features != nullptr && snapshot.source != OrvValueSource::kDefault);
  }

  // Rebuilds the table from the component's payload for the configuration's appId
  // (none in kLocalOnly mode) and the overrides. Without a configuration it logs an
  // error line and leaves the table as it is. On the work queue, like every load.
  void parseExperimentConfig();
  // The same from `payload`, taken as coming from `source` (test mode's payloads).
  void loadPayload(const OrvValue& payload, OrvValueSource source);
  // The overrides file's dictionary (absent: none), joined with the configuration's own
  // overrides at the next load.
  void setFileOverrides(OrvValue overrides);
  // Rebuilds the table from the payload it holds, with the overrides as they are now
  // (after the overrides file changed). Nothing before the first start.
  void reapplyOverrides();

  // The bucket identifier and fetch parameters handed to the component after start
  // (OrvExperiment::setCustomBucketId, setCustomFetchParams); until then the
  // configuration's are used. A payload's "#groups" are resolved at each load for the
  // unit they name, as an assigning server would for the fetch (see OrvAssignment).
  void setBucketId(OrvValue bucketId);
  void setFetchParams(OrvValue params);
  // The unit those name for `config` (later values first, then the configuration's);
  // "" for none.
  std::string unit(const OrvExperimentConfig& config);

  // The current table and where it came from, for listings; no exposure is reported.
  template <class Visit>
  auto visitTable(Visit&& visit) {
    const Snapshot& snapshot = current();
    return visit(snapshot.features.get(), snapshot.source);
  }

  // Back to the state before any start: no configuration, no table, no overrides. Only
  // while no load runs (test mode's reset, after the work queue drained).
  void reset();

  std::shared_ptr<OrvExperimentConfig> config() const;
  std::shared_ptr<const OrvFeatureTable> features() const;
  // Replaces the table whole (null drops it), as a load does; for tools and fuzzing.
  void setFeatures(std::shared_ptr<const OrvFeatureTable> features);

  OrvFeatureManager(const OrvFeatureManager&) = delete;
  OrvFeatureManager& operator=(const OrvFeatureManager&) = delete;

 private:
  // What reads see; immutable once published.
  struct Snapshot {
    std::shared_ptr<const OrvFeatureTable> features;
    std::shared_ptr<OrvExperimentConfig> config;
    // Of the payload the table came from; kDefault while none was (no table, or one
    // built from an absent payload).
    OrvValueSource source = OrvValueSource::kDefault;
  };

  OrvFeatureManager();
  // The calling thread's snapshot, brought up to date when a newer one was published.
  const Snapshot& current();
  // The snapshot's feature for `key` or null; hands a found key to the exposure tracker
  // when the snapshot's configuration tracks exposures automatically.
  static const OrvFeature* findAndTrack(const Snapshot& snapshot, const std::string& key);
  // Builds the table of `payload` with the configuration's overrides and publishes it;
  // change listeners and readiness hear of it unless `source` is kDefault.
  void load(const std::shared_ptr<OrvExperimentConfig>& config, const OrvValue& payload,
            OrvValueSource source);
  // `payload` with its "#groups" resolved for the unit (see setBucketId), sticky ones
  // through the application's memory; one log line names the experiments left out.
  OrvValue assignGroups(const OrvValue& payload, const OrvExperimentConfig& config);
  // Under mutex_: makes `next` the snapshot reads see. Returns the snapshot it replaced
  // and those readers retired, for the caller to release after unlocking.
  std::vector<std::shared_ptr<const Snapshot>> publishLocked(Snapshot next);

  mutable std::recursive_mutex mutex_;
  // Guarded by mutex_; never null. Its table is null until the first load.
  std::shared_ptr<const Snapshot> snapshot_;
  OrvValue fileOverrides_;  // guarded by mutex_
  // Guarded by mutex_; absent until set after a start.
  OrvValue laterBucketId_;
  OrvValue laterFetchParams_;
  // Changed under mutex_ whenever snapshot_ is; read without it.
  std::atomic<std::uint64_t> generation_{1};
  // Snapshots whose last reference a reader dropped, freed by the next publication.
  // Taken inside mutex_ by writers, alone by readers.
  std::mutex retiredMutex_;
  std::vector<std::shared_ptr<const Snapshot>> retired_;  // guarded by retiredMutex_
};
