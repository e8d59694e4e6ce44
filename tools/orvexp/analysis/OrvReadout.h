// The readout of an experiment's outcomes: for each outcome its units produced (the rows
// of docs/readout.sql, OrvEventStore::outcomeStatistics), each group's units and rate or
// mean, and each group against control (OrvStatistics: the lift with its interval and
// p-value, always valid unless a fixed horizon is asked for, with the pre-exposure
// covariate when the units have one), and a verdict in words. Pure arithmetic on the
// rows given: no I/O, thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "OrvExperiment/OrvValue.h"
#include "analysis/OrvStatistics.h"
#include "collector/OrvEventStore.h"

struct OrvReadoutOptions {
  double alpha = 0.05;
  // The readout is always valid (OrvStatistics' confidence sequence) tuned to this many
  // units in the two groups compared, unless fixedHorizon is set: then the classical
  // interval, valid only when looked at once, at a size fixed in advance.
  double expectedUnits = 10000;
  bool fixedHorizon = false;
  // The lift people ask about when nothing is shown yet: how many more units per group
  // would show this relative lift.
  double liftOfInterest = 0.05;
};

// "3.1%", "-0.4%", "5%" (a whole percentage without its ".0"): as the verdicts say it.
std::string orvPercent(double fraction);

// Said wherever a fixed-horizon readout is shown.
constexpr const char* kOrvFixedHorizonWarning =
    "fixed-horizon intervals: valid when looked at once, at a number of units fixed in "
    "advance; looked at early and often they show differences that are not there";

struct OrvOutcomeReadout {
  std::string outcome;
  bool proportion = false;  // every event counted 1: the share of units that converted
  struct Group {
    std::string id;
    bool control = false;
    std::int64_t units = 0;
    double value = 0;  // the rate (proportion) or the mean per unit
  };
  std::vector<Group> groups;
  OrvAnalysis analysis;               // error set when the groups cannot be compared yet
  std::vector<std::string> verdicts;  // one per comparison, in its order
};

struct OrvExperimentReadout {
  std::string appId;
  std::string experimentId;
  std::int64_t unitsLeftOut = 0;  // exposed in two groups: in no outcome
  std::vector<OrvOutcomeReadout> outcomes;

  // {"units_left_out", "sequential", "alpha", "outcomes": [{"outcome", "metric", "groups":
  //  [{"group_id", "control", "units", "value"}], "error"?, "cuped_theta"?, "comparisons":
  //  [{"group_id", "estimate", "ci": [low, high], "p_value", "standard_error",
  //  "fixed_ci", "fixed_p_value", "verdict"}]}]}
  OrvValue toValue(const OrvReadoutOptions& options) const;
};

// The readouts of every experiment in `rows` (ordered as outcomeStatistics gives them).
std::vector<OrvExperimentReadout> orvReadouts(const std::vector<OrvEventStore::OutcomeStats>& rows,
                                              const OrvReadoutOptions& options);
