/// @file
/// What a detail read returns: the value a typed read would return, and why.
#pragma once

#include <optional>
#include <string>

#include "OrvExperiment/OrvValue.h"

/// Where the value came from.
enum class OrvValueSource {
  kDefault,  ///< the caller's default
  kCache,    ///< the payload cached on disk by an earlier run
  kNetwork,  ///< a payload the server sent (or confirmed unchanged) in this run
  /// A local override (OrvExperimentConfig::setOverrides): never an experiment
  /// assignment, so no membership and no exposure.
  kOverride,
};

/// Why a read answered what it did.
enum class OrvEvaluationReason {
  kFound,       ///< the feature's value, converted as the typed read does
  kMissingKey,  ///< no feature of that key in the table
  kWrongType,   ///< a feature whose value this kind of read does not take
  kNotReady,    ///< no table yet (see OrvExperiment::isReady)
};

/// The experiment a feature belongs to. Identifiers keep the payload's kind.
struct OrvExperimentMembership {
  OrvValue experimentId;   ///< the experiment entry's `"#experiment_id"`
  OrvValue groupId;        ///< the experiment entry's `"#experiment_group_id"`
  bool isControl = false;  ///< the experiment entry's `"#is_control_group"`
  OrvValue bucketId;       ///< the experiment entry's `"bucket_id"`; absent when it names none
};

/// The answer of a detail read (OrvExperiment::getStringDetail and the others): the
/// value, where it came from, why, and the feature's experiment.
template <class T>
struct OrvEvaluationDetail {
  T value{};                                         ///< what the matching typed read returns
  OrvValueSource source = OrvValueSource::kDefault;  ///< where `value` came from
  OrvEvaluationReason reason = OrvEvaluationReason::kNotReady;  ///< why `value` is what it is
  std::optional<OrvExperimentMembership> experiment;  ///< also for a default of a found feature
};

/// One feature of the current table, as OrvExperiment::getSnapshot() lists it.
struct OrvFeatureEntry {
  std::string key;  ///< the feature's key
  OrvValue value;   ///< as the payload (or the override) holds it, unconverted
  OrvValueSource source = OrvValueSource::kDefault;   ///< where `value` came from
  std::optional<OrvExperimentMembership> experiment;  ///< absent for a feature of no experiment
};
