#include "analysis/OrvReadout.h"

#include <cmath>
#include <cstdio>

std::string orvPercent(double fraction) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", fraction * 100);
  std::string s = text;
  if (s.size() > 2 && s.compare(s.size() - 2, 2, ".0") == 0) s.resize(s.size() - 2);
  return s + "%";
}

namespace {

std::string level(const OrvReadoutOptions& options) {
  const std::string confidence = orvPercent(1 - options.alpha);
  return options.fixedHorizon ? confidence + ", fixed horizon" : "always-valid " + confidence;
}

// A comparison in words. When the interval holds 0, how many more units per group would
// show `liftOfInterest` at least: the fixed-horizon interval's half-width shrinks as one
// over the square root of the units, so n (h / lift)^2 units bring it down to the lift
// (an always-valid interval needs more). A rough figure, said as one.
std::string verdictOf(const std::string& outcome, const OrvComparison& c,
                      const OrvReadoutOptions& options) {
  const std::string interval = orvPercent(c.low) + " to " + orvPercent(c.high);
  if (c.low > 0 || c.high < 0) {
    return c.id + (c.estimate > 0 ? " raises " : " lowers ") + outcome + " by " +
           orvPercent(std::fabs(c.estimate)) + " (" + interval + "), " + level(options);
  }
  std::string text = "no difference shown yet between " + c.id + " and control on " + outcome +
                     " (" + interval + ", " + level(options) + ")";
  const double perGroup = (static_cast<double>(c.units) + static_cast<double>(c.controlUnits)) / 2;
  const double halfWidth = (c.fixedHigh - c.fixedLow) / 2;
  if (halfWidth > options.liftOfInterest && std::isfinite(halfWidth)) {
    const double needed = perGroup * std::pow(halfWidth / options.liftOfInterest, 2);
    char more[64];
    std::snprintf(more, sizeof more, "%.0f", std::ceil(needed - perGroup));
    text += "; at this rate at least about " + std::string(more) +
            " more units per group would show a " + orvPercent(options.liftOfInterest) + " lift";
  }
  return text;
}

OrvOutcomeReadout readoutOf(const std::vector<OrvEventStore::OutcomeStats>& groups,
                            const OrvReadoutOptions& options) {
  OrvOutcomeReadout r;
  r.outcome = groups.front().outcome;
  r.proportion = groups.front().countsOnly;
  // The covariate only when the units have one: with no outcome before any exposure its
  // variance is 0 and there is nothing to adjust by.
  double covariateVariance = 0;
  for (const auto& g : groups)
    if (g.units > 0)
      covariateVariance +=
          g.covariateSumSquares - g.covariateSum * g.covariateSum / static_cast<double>(g.units);
  std::vector<OrvGroupSums> sums;
  for (const auto& g : groups) {
    OrvGroupSums s;
    s.id = g.groupId;
    s.control = g.control;
    s.units = g.units;
    if (r.proportion) {
      s.sum = static_cast<double>(g.converted);
    } else {
      s.sum = g.sum;
      s.sumSquares = g.sumSquares;
    }
    if (!r.proportion && covariateVariance > 0)
      s.covariate = OrvGroupSums::Covariate{g.covariateSum, g.covariateSumSquares, g.crossSum};
    sums.push_back(s);
    r.groups.push_back(
        {g.groupId, g.control, g.units, g.units > 0 ? s.sum / static_cast<double>(g.units) : 0});
  }
  OrvAnalysisOptions analysis;
  analysis.alpha = options.alpha;
  analysis.metric = r.proportion ? OrvMetric::kProportion : OrvMetric::kMean;
  if (!options.fixedHorizon) analysis.expectedUnits = options.expectedUnits;
  r.analysis = orvAnalyze(sums, analysis);
  for (const auto& c : r.analysis.comparisons)
    r.verdicts.push_back(verdictOf(r.outcome, c, options));
  return r;
}

}  // namespace

std::vector<OrvExperimentReadout> orvReadouts(const std::vector<OrvEventStore::OutcomeStats>& rows,
                                              const OrvReadoutOptions& options) {
  std::vector<OrvExperimentReadout> readouts;
  std::size_t i = 0;
  while (i < rows.size()) {
    OrvExperimentReadout e;
    e.appId = rows[i].appId;
    e.experimentId = rows[i].experimentId;
    e.unitsLeftOut = rows[i].unitsLeftOut;
    while (i < rows.size() && rows[i].appId == e.appId && rows[i].experimentId == e.experimentId) {
      std::vector<OrvEventStore::OutcomeStats> groups;
      const std::string& outcome = rows[i].outcome;
      for (; i < rows.size() && rows[i].appId == e.appId &&
             rows[i].experimentId == e.experimentId && rows[i].outcome == outcome;
           ++i)
        groups.push_back(rows[i]);
      e.outcomes.push_back(readoutOf(groups, options));
    }
    readouts.push_back(std::move(e));
  }
  return readouts;
}

OrvValue OrvExperimentReadout::toValue(const OrvReadoutOptions& options) const {
  OrvValue::Array list;
  for (const auto& o : outcomes) {
    OrvValue::Array groups;
    for (const auto& g : o.groups)
      groups.push_back(OrvValue::dictionary({{"group_id", OrvValue(g.id)},
                                             {"control", OrvValue(g.control)},
                                             {"units", OrvValue(g.units)},
                                             {"value", OrvValue(g.value)}}));
    OrvValue::Array comparisons;
    for (std::size_t k = 0; k < o.analysis.comparisons.size(); ++k) {
      const OrvComparison& c = o.analysis.comparisons[k];
      comparisons.push_back(OrvValue::dictionary(
          {{"group_id", OrvValue(c.id)},
           {"estimate", OrvValue(c.estimate)},
           {"standard_error", OrvValue(c.standardError)},
           {"ci", OrvValue::array({OrvValue(c.low), OrvValue(c.high)})},
           {"p_value", OrvValue(c.pValue)},
           {"fixed_ci", OrvValue::array({OrvValue(c.fixedLow), OrvValue(c.fixedHigh)})},
           {"fixed_p_value", OrvValue(c.fixedPValue)},
           {"verdict", OrvValue(o.verdicts[k])}}));
    }
    OrvValue::Dictionary entry = {{"outcome", OrvValue(o.outcome)},
                                  {"metric", OrvValue(o.proportion ? "proportion" : "mean")},
                                  {"groups", OrvValue::array(std::move(groups))},
                                  {"comparisons", OrvValue::array(std::move(comparisons))}};
    if (!o.analysis.error.empty()) entry.emplace_back("error", OrvValue(o.analysis.error));
    if (o.analysis.cupedTheta) entry.emplace_back("cuped_theta", OrvValue(*o.analysis.cupedTheta));
    list.push_back(OrvValue::dictionary(std::move(entry)));
  }
  return OrvValue::dictionary({{"units_left_out", OrvValue(unitsLeftOut)},
                               {"sequential", OrvValue(!options.fixedHorizon)},
                               {"alpha", OrvValue(options.alpha)},
                               {"outcomes", OrvValue::array(std::move(list))}});
}
