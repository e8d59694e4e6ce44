// One experiment membership: which experiment and group a feature belongs to, whether
// the group is the control group, and the bucket it was assigned in. Built only by
// OrvFeatureParser; once the parser has published a table, records are never changed
// and may be read from any thread without a lock. One record is shared by every
// feature its experiment entry lists.
#pragma once

#include "OrvExperiment/OrvValue.h"

class OrvExperimentInfo {
 public:
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

 private:
  OrvValue experimentId_;
  OrvValue experimentGroupId_;
  bool isControl_ = false;
  OrvValue customBucketId_;
};
