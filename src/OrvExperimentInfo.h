// One experiment membership: which experiment and group a feature belongs to, whether
// the group is the control group, and the bucket it was assigned in. Built only by
// OrvFeatureParser; once the parser has published a table the fields never change and
// may be read from any thread without a lock. One record is shared by every feature
// its experiment entry lists.
//
// Two derived values are cached on the record, both thread-safe: the exposure record
// key (computed once, on first use) and the store generation in which the exposure
// tracker last saw that record stored.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "OrvExperiment/OrvValue.h"

class OrvExperimentInfo {
 public:
  OrvExperimentInfo() = default;
  OrvExperimentInfo(const OrvExperimentInfo&) = delete;
  OrvExperimentInfo& operator=(const OrvExperimentInfo&) = delete;

  // Identifiers keep the payload's kind: a number identifier stays a number.
  const OrvValue& experimentId() const noexcept { return experimentId_; }
  void setExperimentId(OrvValue v) { experimentId_ = std::move(v); }

  const OrvValue& experimentGroupId() const noexcept { return experimentGroupId_; }
  void setExperimentGroupId(OrvValue v) { experimentGroupId_ = std::move(v); }

  bool isControl() const noexcept { return isControl_; }
  void setIsControl(bool v) noexcept { isControl_ = v; }

  // Whatever the entry's "bucket_id" held, of any kind; only its text form is used.
  const OrvValue& customBucketId() const noexcept { return customBucketId_; }
  void setCustomBucketId(OrvValue v) { customBucketId_ = std::move(v); }

  // The weights the unit was placed by ("#split" of an entry resolved from weighted
  // groups: [[group id, weight], ...]), absent for a plain entry; only read, never
  // trusted to be well formed (see OrvAssignment::intendedShare).
  const OrvValue& split() const noexcept { return split_; }
  void setSplit(OrvValue v) { split_ = std::move(v); }

  // "<bucket>_<experiment id>_<group id>", each part its text form (a boolean as 1 or
  // 0), absent parts empty.
  std::string exposureKeyString() const;
  // The MD5 of exposureKeyString() as 32 lower-case hex digits, computed once.
  const std::string& recordKey() const;

  // The exposure tracker's note that this record's exposure is stored in the store
  // generation given (0: not known to be stored).
  std::uint64_t recordedGeneration() const noexcept {
    return recordedGeneration_.load(std::memory_order_acquire);
  }
  void setRecordedGeneration(std::uint64_t generation) const noexcept {
    recordedGeneration_.store(generation, std::memory_order_release);
  }

 private:
  OrvValue experimentId_;
  OrvValue experimentGroupId_;
  bool isControl_ = false;
  OrvValue customBucketId_;
  OrvValue split_;

  mutable std::once_flag recordKeyOnce_;
  mutable std::string recordKey_;  // written once, under recordKeyOnce_
  mutable std::atomic<std::uint64_t> recordedGeneration_{0};
};
