// Turns a feature payload into a feature table. Stateless, silent and total: any input
// gives a table (possibly empty); whatever does not fit the payload format is skipped
// where it stands. Safe to call from any thread, concurrently with itself.
#pragma once

#include <memory>

#include "OrvExperiment/OrvExperimentConfig.h"
#include "OrvExperiment/OrvValue.h"
#include "OrvFeature.h"

class OrvFeatureParser {
 public:
  OrvFeatureParser() = delete;

  // The reserved top-level key that lists experiment entries; never a feature.
  static constexpr const char* kExperimentDetailKey = "experiment_detail";

  // With `previous` (the table this one replaces), an experiment record of the same
  // exposure key as one there starts with that one's note of being stored, so a reload
  // does not send every already exposed key back to the store.
  //
  // `overrides` (a dictionary, else none) joins the payload's features as `mode` says
  // (kLocalOnly: the payload is ignored); a feature whose value comes from it is marked
  // as an override and belongs to no experiment, whatever the payload's entries list.
  static std::shared_ptr<const OrvFeatureTable> parse(
      const OrvValue& payload, const OrvFeatureTable* previous = nullptr,
      const OrvValue& overrides = OrvValue(),
      OrvOverrideMode mode = OrvOverrideMode::kLocalOverRemote);
};
