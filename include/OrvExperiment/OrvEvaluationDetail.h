// What a detail read returns: the value a typed read would return, and why.
#pragma once

#include <optional>
#include <string>

#include "OrvExperiment/OrvValue.h"

// Where the value came from.
enum class OrvValueSource {
  kDefault,  // the caller's default
  kCache,    // the payload cached on disk by an earlier run
  kNetwork,  // a payload the server sent (or confirmed unchanged) in this run
  // A local override (OrvExperimentConfig::setOverrides): never an experiment
  // assignment, so no membership and no exposure.
  kOverride,
};

enum class OrvEvaluationReason {
  kFound,       // the feature's value, converted as the typed read does
  kMissingKey,  // no feature of that key in the table
  kWrongType,   // a feature whose value this kind of read does not take
  kNotReady,    // no table yet (see OrvExperiment::isReady)
};

// The experiment a feature belongs to. Identifiers keep the payload's kind.
struct OrvExperimentMembership {
  OrvValue experimentId;
  OrvValue groupId;
  bool isControl = false;
  OrvValue bucketId;
};

template <class T>
struct OrvEvaluationDetail {
  T value{};
  OrvValueSource source = OrvValueSource::kDefault;
  OrvEvaluationReason reason = OrvEvaluationReason::kNotReady;
  std::optional<OrvExperimentMembership> experiment;  // also for a default of a found feature
};

// One feature of the current table, as OrvExperiment::getSnapshot() lists it.
struct OrvFeatureEntry {
  std::string key;
  OrvValue value;  // as the payload (or the override) holds it, unconverted
  OrvValueSource source = OrvValueSource::kDefault;
  std::optional<OrvExperimentMembership> experiment;
};
