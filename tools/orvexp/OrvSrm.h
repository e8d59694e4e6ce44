// The sample-ratio-mismatch check: is the observed split of an experiment's exposures
// the split its groups were meant to get? A chi-square goodness-of-fit test of the
// exposure counts against the intended shares; an alarm when p < kAlarmP once there
// are enough exposures to judge (kMinExposures in all, and at least 5 expected in
// every group, the test's own validity rule). Exposures in a group the intended split
// does not have are an alarm at any count. Pure arithmetic: no I/O, thread-safe.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "OrvEventStore.h"
#include "OrvExperiment/OrvValue.h"

// Group identifier and weight (any non-negative scale; shares are weight / sum).
using OrvIntendedSplit = std::vector<std::pair<std::string, double>>;

struct OrvSrmGroup {
  std::string groupId;
  bool control = false;
  std::int64_t exposures = 0;
  double share = 0;          // of the experiment's exposures
  double intendedShare = 0;  // 0 for a group the intended split does not have
};

struct OrvSrmCheck {
  static constexpr double kAlarmP = 0.001;
  // Below it, and at or above kAlarmP, the verdict asks to watch the experiment.
  static constexpr double kWatchP = 0.01;
  static constexpr std::int64_t kMinExposures = 100;

  std::string appId;
  std::string experimentId;
  // Intended groups first, in the split's order, then groups seen but not intended.
  std::vector<OrvSrmGroup> groups;
  std::string intendedFrom;  // "server" (its weights), "expect" (given) or "equal"
  std::int64_t total = 0;
  int degreesOfFreedom = 0;
  double chiSquare = 0;
  double pValue = 1;
  bool judged = false;  // enough exposures for the test to mean something
  bool alarm = false;
  std::string verdict;  // the outcome in plain words, one sentence

  // {"app_id", "experiment_id", "intended_from", "total", "chi_square",
  //  "degrees_of_freedom", "p_value", "judged", "alarm", "verdict",
  //  "groups": [{"group_id", "control", "exposures", "share", "intended_share"}]}
  OrvValue toValue() const;
};

// P(X >= statistic) for X chi-square distributed with `degreesOfFreedom` (>= 1): the
// regularized upper incomplete gamma function Q(df/2, statistic/2), accurate to 1e-12.
double orvChiSquarePValue(double statistic, int degreesOfFreedom);

// The check of one experiment. `counts` holds that experiment's groups (as
// OrvEventStore::exposureCounts gives them); `intended` its intended split, or empty
// for equal shares of the groups seen. `intendedFrom` is recorded as given ("equal"
// when `intended` is empty).
OrvSrmCheck orvSrmCheck(const std::string& appId, const std::string& experimentId,
                        const std::vector<OrvEventStore::GroupCount>& counts,
                        const OrvIntendedSplit& intended, const std::string& intendedFrom);

// Where an experiment's intended split comes from, in this order: `expected` (by
// experiment id, as `orvexp report --expect` gives it), else the payload the server
// serves the application (payloadDir/<app_id>/ki_feature.json) when it declares the
// experiment's groups, else equal shares of the groups seen. The report, the API and
// the page all ask here, so they agree.
struct OrvSplitSource {
  std::map<std::string, OrvIntendedSplit> expected;
  std::string payloadDir;  // "" for none
};

// The intended split of one experiment and `*from` ("expect", "server", or "equal"
// with an empty split). Reads the application's payload file when it gets that far.
OrvIntendedSplit orvIntendedSplit(const OrvSplitSource& source, const std::string& appId,
                                  const std::string& experimentId, std::string* from);

// The check of every experiment in `counts` (as OrvEventStore::exposureCounts gives
// them, ordered by application and experiment), in that order; each application's
// payload is read at most once.
std::vector<OrvSrmCheck> orvSrmChecks(const std::vector<OrvEventStore::GroupCount>& counts,
                                      const OrvSplitSource& source);
// The same over what `store` holds now.
std::vector<OrvSrmCheck> orvSrmChecks(const OrvEventStore& store, const OrvSplitSource& source);
// The same, each check handed to `visit` as it is made instead of all held at once
// (OrvEventStore::visitExposureCounts: `visit` must not call the store).
void orvSrmChecks(const OrvEventStore& store, const OrvSplitSource& source,
                  const std::function<void(OrvSrmCheck&)>& visit);
