// The sample-ratio-mismatch check: is the observed split of an experiment's exposures
// the split its groups were meant to get? A chi-square goodness-of-fit test of the
// exposure counts against the intended shares; an alarm when p < kAlarmP once there
// are enough exposures to judge (kMinExposures in all, and at least 5 expected in
// every group, the test's own validity rule). Exposures in a group their intended
// split does not give a share are an alarm at any count. Pure arithmetic: no I/O,
// thread-safe.
//
// What each exposure was meant to get: the split it carried (the weights its unit was
// placed by, as the library reports them), so an experiment whose weights changed, or
// whose units keep the group an older split gave them, is judged against the mixture of
// its splits; an exposure that carried none is judged against the served weights or
// equal shares (see OrvSplitSource); `--expect` judges every exposure against the split
// given. See orvSrmCheck for the test on a mixture.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "OrvExperiment/OrvValue.h"
#include "collector/OrvCarriedSplit.h"
#include "collector/OrvEventStore.h"

struct OrvSrmGroup {
  std::string groupId;
  bool control = false;
  std::int64_t exposures = 0;
  double share = 0;  // of the experiment's exposures
  // Its expected exposures over the experiment's: the share its split gives it, averaged
  // over the exposures by the split each is judged against; 0 when none gives it one.
  double intendedShare = 0;
};

struct OrvSrmCheck {
  static constexpr double kAlarmP = 0.001;
  // Below it, and at or above kAlarmP, the verdict asks to watch the experiment.
  static constexpr double kWatchP = 0.01;
  static constexpr std::int64_t kMinExposures = 100;

  std::string appId;
  std::string experimentId;
  // Intended groups first, in the order of the splits (as the rows name them, the
  // fallback last) and each split's own order, then groups seen but not intended.
  std::vector<OrvSrmGroup> groups;
  // What the exposures were judged against: "exposures" (at least one carried a split,
  // and each that did is judged against its own; the others as withoutSplitFrom says),
  // "expect" (the split given, for every exposure), "server" (the weights the server
  // serves) or "equal" (equal shares of the groups seen), the last two when none did.
  std::string intendedFrom;
  std::int64_t total = 0;
  // Exposures that carried no split, and what they were judged against ("expect",
  // "server" or "equal"; "" when there are none).
  std::int64_t withoutSplit = 0;
  std::string withoutSplitFrom;
  int splits = 0;  // distinct splits the exposures carried (also when "expect" overrides them)
  int degreesOfFreedom = 0;
  double chiSquare = 0;  // Pearson's statistic on the expected counts
  // The statistic's scale on a mixture of splits (see orvSrmCheck): 1 when every
  // exposure was judged against one split; p is of chiSquare / designEffect.
  double designEffect = 1;
  double pValue = 1;
  // The same question asked so that it may be asked at every new exposure: valid however
  // often the check is looked at (orvSplitLogBayesFactor, OrvStatistics.h). Shown beside
  // pValue; the alarm stays pValue's.
  double anytimePValue = 1;
  bool judged = false;  // enough exposures for the test to mean something
  bool alarm = false;
  std::string verdict;  // the outcome in plain words, one sentence

  // {"app_id", "experiment_id", "intended_from", "total", "without_split",
  //  "without_split_from" (null when without_split is 0), "splits", "chi_square",
  //  "degrees_of_freedom", "design_effect", "p_value", "anytime_p_value", "judged", "alarm",
  //  "verdict", "groups": [{"group_id", "control", "exposures", "share", "intended_share"}]}
  OrvValue toValue() const;
  // What the intended shares were made of, in words for a page or a report ("the 2
  // splits the exposures carried, judged as their mixture; 120 exposures carried none:
  // equal shares of the groups seen"), from intendedFrom, splits and withoutSplit.
  std::string intendedDescription() const;
};

// P(X >= statistic) for X chi-square distributed with `degreesOfFreedom` (>= 1): the
// regularized upper incomplete gamma function Q(df/2, statistic/2), accurate to 1e-12.
double orvChiSquarePValue(double statistic, int degreesOfFreedom);

// The check of one experiment. `counts` holds that experiment's rows (as
// OrvEventStore::exposureCounts gives them, one per group and carried split).
// `intended` is the split for the exposures that carried none (or that carried one
// that is not a split, see orvCarriedSplit), empty for equal shares of the groups seen,
// and `intendedFrom` where it comes from; with "expect" it is the split of every
// exposure instead, whatever they carried.
OrvSrmCheck orvSrmCheck(const std::string& appId, const std::string& experimentId,
                        const std::vector<OrvEventStore::GroupCount>& counts,
                        const OrvIntendedSplit& intended, const std::string& intendedFrom);

// Where an experiment's intended split comes from, in this order: `expected` (by
// experiment id, as `orvexp report --expect` gives it) for every exposure; else the
// split each exposure carried, and for exposures that carried none the payload the
// server serves the application (payloadDir/<app_id>/ki_feature.json) when it declares
// the experiment's groups, else equal shares of the groups seen. The report, the API
// and the page all ask here, so they agree.
struct OrvSplitSource {
  std::map<std::string, OrvIntendedSplit> expected;
  std::string payloadDir;  // "" for none
};

// The split given or served for one experiment and `*from` ("expect", "server", or
// "equal" with an empty split), which orvSrmCheck takes as `intended`: not what the
// exposures carried. Reads the application's payload file when it gets that far.
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
