#include "analysis/OrvSrm.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <sstream>

#include "OrvAssignment.h"
#include "analysis/OrvStatistics.h"
#include "payloads/OrvPayloadDirectory.h"

namespace {

constexpr int kMaxIterations = 100'000;

// Q(a, x) for x >= a + 1 by its continued fraction (modified Lentz), which converges
// quickly there; `logPrefix` is log(x^a e^-x / Gamma(a)).
double upperGammaFraction(double a, double x, double logPrefix) {
  constexpr double kTiny = 1e-300;
  double b = x + 1 - a;
  double c = 1 / kTiny;
  double d = 1 / b;
  double h = d;
  for (int i = 1; i < kMaxIterations; ++i) {
    const double an = -i * (i - a);
    b += 2;
    d = an * d + b;
    if (std::fabs(d) < kTiny) d = kTiny;
    c = b + an / c;
    if (std::fabs(c) < kTiny) c = kTiny;
    d = 1 / d;
    const double delta = d * c;
    h *= delta;
    if (std::fabs(delta - 1) < 1e-16) break;
  }
  return std::exp(logPrefix) * h;
}

// 1 - P(a, x) for x < a + 1, P by its power series, which converges quickly there and
// keeps P below about 0.6, so the subtraction loses nothing that matters.
double upperGammaSeries(double a, double x, double logPrefix) {
  double term = 1 / a;
  double sum = term;
  for (int n = 1; n < kMaxIterations; ++n) {
    term *= x / (a + n);
    sum += term;
    if (term < sum * 1e-17) break;
  }
  return std::max(0.0, 1 - sum * std::exp(logPrefix));
}

std::string format(const char* pattern, double value) {
  char text[64];
  std::snprintf(text, sizeof text, pattern, value);
  return text;
}

std::string joined(const std::vector<std::string>& parts, const char* separator) {
  std::string out;
  for (const auto& part : parts) out += (out.empty() ? "" : separator) + part;
  return out;
}

// The application's payload as the server serves it; absent when there is none.
OrvValue servedPayload(const std::string& directory, const std::string& appId) {
  if (directory.empty() || !OrvPayloadDirectory::isSafeIdentifier(appId)) return OrvValue();
  std::string text;
  std::string problem;
  if (OrvPayloadDirectory::readPayloadFile(
          directory, OrvPayloadDirectory::payloadPath(directory, appId, "ki_feature"), &text,
          &problem) != 200)
    return OrvValue();
  auto parsed = OrvValue::parseJson(text);
  return parsed.ok() ? parsed.value : OrvValue();
}

OrvIntendedSplit splitFrom(const OrvSplitSource& source, const OrvValue& payload,
                           const std::string& experimentId, std::string* from) {
  if (auto given = source.expected.find(experimentId); given != source.expected.end()) {
    *from = "expect";
    return given->second;
  }
  if (payload.isDictionary()) {
    OrvIntendedSplit split = OrvAssignment::splitOf(payload, experimentId);
    if (!split.empty()) {
      *from = "server";
      return split;
    }
  }
  *from = "equal";
  return {};
}

}  // namespace

double orvChiSquarePValue(double statistic, int degreesOfFreedom) {
  if (degreesOfFreedom < 1 || std::isnan(statistic))
    return std::numeric_limits<double>::quiet_NaN();
  if (statistic <= 0) return 1;
  if (std::isinf(statistic)) return 0;
  const double x = statistic / 2;
  // Closed forms: Q(1/2, x) = erfc(sqrt(x)) and Q(1, x) = e^-x.
  if (degreesOfFreedom == 1) return std::erfc(std::sqrt(x));
  if (degreesOfFreedom == 2) return std::exp(-x);
  const double a = degreesOfFreedom / 2.0;
  const double logPrefix = a * std::log(x) - x - std::lgamma(a);
  return x < a + 1 ? upperGammaSeries(a, x, logPrefix) : upperGammaFraction(a, x, logPrefix);
}

// The test, on a mixture of splits. Given how many exposures were judged against each
// split S (N_S), an exposure of S lands in group g with the share p_Sg that S gives g,
// independently of the others: the counts O_g are a sum of independent multinomials,
// with E_g = sum_S N_S p_Sg expected in g. Pearson's statistic on those expected
// counts, X2 = sum_g (O_g - E_g)^2 / E_g over the groups with E_g > 0 and k - 1
// degrees of freedom for k such groups (K. Pearson, 1900, "On the criterion that a
// given system of deviations ... ", Phil. Mag. 50:157-175), is the ordinary
// goodness-of-fit test when there is one split, and is what docs/srm.sql computes.
//
// On a mixture the counts vary less than one multinomial with the mixture's shares
// would (the variance of O_g is sum_S N_S p_Sg (1 - p_Sg), at most E_g (1 - E_g / N)
// by Cauchy-Schwarz), so X2 against chi-square(k - 1) is conservative: of 200,000
// simulated healthy 50/50-then-90/10 experiments (1,000 exposures under each), 0.027%
// fell below p = 0.001 instead of 0.1%, and 0.41% below 0.01, which would hide real
// mismatches. The p-value therefore takes Rao and Scott's first-order correction
// (J. N. K. Rao and A. J. Scott, 1981, "The analysis of categorical data from complex
// sample surveys: chi-squared tests for goodness of fit and independence in two-way
// tables", JASA 76:221-230): X2 / d against chi-square(k - 1), with d the mean design
// effect sum_g Var(O_g) / E_g / (k - 1). d is 1 with one split (nothing changes), makes
// the test exact for two groups (X2 / d is then the square of one count's z-score), and
// is an approximation for three or more (a little liberal: 0.11% to 0.12% below
// p = 0.001 for thirds-then-80/10/10). d <= 1, so the correction never makes a check
// less sensitive. docs/srm.sql computes X2 and d alike; tests/srm_simulation.py --table
// prints these rates, and the test Srm.PValuesAreCalibratedBySimulation checks this
// code's.
OrvSrmCheck orvSrmCheck(const std::string& appId, const std::string& experimentId,
                        const std::vector<OrvEventStore::GroupCount>& counts,
                        const OrvIntendedSplit& intended, const std::string& intendedFrom) {
  OrvSrmCheck check;
  check.appId = appId;
  check.experimentId = experimentId;
  const bool expect = intendedFrom == "expect" && !intended.empty();

  // A split and the exposures judged against it.
  struct Source {
    std::vector<double> weights;  // by index into check.groups; none past its last group
    double weightSum = 0;
    std::int64_t exposures = 0;
    double share(std::size_t group) const {
      return weightSum > 0 && group < weights.size() ? weights[group] / weightSum : 0;
    }
  };
  std::vector<Source> sources;
  const auto indexOf = [&check](const std::string& id) {
    auto known = std::find_if(check.groups.begin(), check.groups.end(),
                              [&id](const OrvSrmGroup& g) { return g.groupId == id; });
    if (known == check.groups.end()) {
      check.groups.emplace_back().groupId = id;
      known = check.groups.end() - 1;
    }
    return static_cast<std::size_t>(known - check.groups.begin());
  };
  // A group named twice has its weights added; a weight that is negative or not a
  // number counts as none.
  const auto addSource = [&](const OrvIntendedSplit& split) {
    Source source;
    for (const auto& [id, given] : split) {
      const double weight = given > 0 && !std::isinf(given) ? given : 0;
      const std::size_t group = indexOf(id);
      if (source.weights.size() <= group) source.weights.resize(group + 1, 0);
      source.weights[group] += weight;
      source.weightSum += weight;
    }
    sources.push_back(std::move(source));
    return sources.size() - 1;
  };

  // Each row's source: the split it carried, in the order the rows name them; rows
  // without one (or with "expect") keep kFallback until the fallback is known.
  constexpr std::size_t kFallback = SIZE_MAX;
  std::vector<std::size_t> sourceOfRow(counts.size(), kFallback);
  std::map<std::string, std::size_t> sourceOfText;  // kFallback: not a split
  std::int64_t fallbackExposures = 0;
  for (std::size_t row = 0; row < counts.size(); ++row) {
    const auto& c = counts[row];
    check.total += c.exposures;
    std::size_t source = kFallback;
    if (!c.split.empty()) {
      auto known = sourceOfText.find(c.split);
      if (known == sourceOfText.end()) {
        const OrvIntendedSplit split = orvCarriedSplit(OrvValue::parseJson(c.split).value);
        std::size_t made = kFallback;
        // With "expect" a split only tells the row apart from one without (any index
        // but kFallback does): every row is judged against the fallback.
        if (!split.empty()) made = expect ? 0 : addSource(split);
        known = sourceOfText.emplace(c.split, made).first;
      }
      source = known->second;
    }
    if (source == kFallback) check.withoutSplit += c.exposures;
    if (expect || source == kFallback) {
      fallbackExposures += c.exposures;
    } else {
      sourceOfRow[row] = source;
      sources[source].exposures += c.exposures;
    }
  }
  for (const auto& [text, source] : sourceOfText) check.splits += source != kFallback ? 1 : 0;

  const std::string fallbackFrom = intended.empty() ? "equal" : intendedFrom;
  check.intendedFrom = fallbackExposures < check.total ? "exposures" : fallbackFrom;
  if (check.withoutSplit > 0) check.withoutSplitFrom = fallbackFrom;
  if (fallbackExposures > 0 || check.total == 0) {
    // Equal shares of the groups seen, all of them (also those seen under a split).
    OrvIntendedSplit fallback = intended;
    if (fallback.empty())
      for (const auto& c : counts)
        if (std::none_of(fallback.begin(), fallback.end(),
                         [&c](const auto& named) { return named.first == c.groupId; }))
          fallback.emplace_back(c.groupId, 1);
    const std::size_t source = addSource(fallback);
    sources[source].exposures = fallbackExposures;
    for (auto& s : sourceOfRow)
      if (s == kFallback) s = source;
  }

  // Exposures in a group their own split gives no share are placed where they should
  // not be, whatever the other splits give that group.
  std::vector<std::string> unintended;
  std::int64_t unintendedExposures = 0;
  std::vector<std::vector<std::int64_t>> countsBySource(sources.size());
  for (std::size_t row = 0; row < counts.size(); ++row) {
    const auto& c = counts[row];
    const std::size_t group = indexOf(c.groupId);
    OrvSrmGroup& g = check.groups[group];
    g.control = g.control || c.control;
    g.exposures += c.exposures;
    auto& bySource = countsBySource[sourceOfRow[row]];
    if (bySource.size() <= group) bySource.resize(group + 1, 0);
    bySource[group] += c.exposures;
    if (c.exposures > 0 && !(sources[sourceOfRow[row]].share(group) > 0)) {
      unintendedExposures += c.exposures;
      if (std::find(unintended.begin(), unintended.end(), c.groupId) == unintended.end())
        unintended.push_back(c.groupId);
    }
  }

  // Intended shares: with one split the split's own (the page shows them as declared),
  // on a mixture each split's weighted by its exposures.
  const Source* only = sources.size() == 1 ? &sources.front() : nullptr;
  for (const Source& source : sources)
    if (source.exposures == check.total && check.total > 0) only = &source;
  std::vector<double> variances(check.groups.size(), 0);
  for (std::size_t i = 0; i < check.groups.size(); ++i) {
    for (const Source& source : sources) {
      const double p = source.share(i);
      variances[i] += static_cast<double>(source.exposures) * p * (1 - p);
      if (!only) check.groups[i].intendedShare += static_cast<double>(source.exposures) * p;
    }
    check.groups[i].intendedShare =
        only              ? only->share(i)
        : check.total > 0 ? check.groups[i].intendedShare / static_cast<double>(check.total)
                          : 0;
  }

  std::vector<std::string> observed, shares;
  int withShare = 0;
  double leastExpected = std::numeric_limits<double>::infinity();
  std::string leastGroup;
  double varianceRatios = 0;
  for (std::size_t i = 0; i < check.groups.size(); ++i) {
    OrvSrmGroup& g = check.groups[i];
    g.share = check.total > 0 ? static_cast<double>(g.exposures) / check.total : 0;
    if (g.intendedShare <= 0) continue;
    ++withShare;
    const double expected = g.intendedShare * check.total;
    if (expected > 0) {
      const double gap = static_cast<double>(g.exposures) - expected;
      check.chiSquare += gap * gap / expected;
      varianceRatios += variances[i] / expected;
    }
    if (expected < leastExpected) {
      leastExpected = expected;
      leastGroup = g.groupId;
    }
    observed.push_back(std::to_string(g.exposures));
    shares.push_back(format("%.3g", g.intendedShare * 100));
  }
  check.degreesOfFreedom = std::max(0, withShare - 1);
  if (check.degreesOfFreedom == 0) check.chiSquare = 0;  // no test with one group
  if (!only && check.degreesOfFreedom >= 1)
    check.designEffect = varianceRatios / check.degreesOfFreedom;
  if (check.degreesOfFreedom < 1 || check.total <= 0) {
    check.pValue = 1;
  } else if (check.designEffect > 0) {
    check.pValue = orvChiSquarePValue(check.chiSquare / check.designEffect, check.degreesOfFreedom);
  } else {
    // Every split puts all its exposures in one group: the counts cannot vary.
    check.pValue = check.chiSquare > 0 ? 0 : 1;
  }
  // Anytime valid: each split's exposures are a stream of their own, tested against that
  // split's shares by Lindon and Malek's Bayes factor. Under the null every factor, and
  // so their product, is a test martingale (at each exposure only its own split's factor
  // moves, with mean 1), so the product's reciprocal is as valid on a mixture as on one
  // split, with no design effect to correct.
  double logBayesFactor = 0;
  for (std::size_t source = 0; source < sources.size(); ++source)
    logBayesFactor += orvSplitLogBayesFactor(countsBySource[source], sources[source].weights);
  check.anytimePValue = std::exp(-std::max(0.0, logBayesFactor));
  check.judged = withShare >= 2 && check.total >= OrvSrmCheck::kMinExposures && leastExpected >= 5;
  check.alarm = !unintended.empty() || (check.judged && check.pValue < OrvSrmCheck::kAlarmP);

  const std::string split = joined(observed, " : ");
  const std::string intendedSplit = joined(shares, " : ");
  if (!unintended.empty()) {
    check.verdict = "Sample ratio mismatch: " + std::to_string(unintendedExposures) +
                    (unintendedExposures == 1 ? " exposure" : " exposures") + " went to group" +
                    (unintended.size() > 1 ? "s " : " ") + joined(unintended, ", ") +
                    ", which the intended split does not give a share; devices are being "
                    "assigned to groups they should not be in.";
  } else if (withShare < 2) {
    check.verdict = check.intendedFrom == "equal"
                        ? "Nothing to judge: only one group has exposures, and no intended "
                          "split names another."
                        : "Nothing to judge: the intended split gives fewer than two groups a "
                          "share.";
  } else if (check.total < OrvSrmCheck::kMinExposures) {
    check.verdict = "Not enough exposures to judge yet (" + std::to_string(check.total) + " of " +
                    std::to_string(OrvSrmCheck::kMinExposures) + ").";
  } else if (!check.judged) {
    check.verdict = "Not enough exposures to judge yet: group " + leastGroup +
                    " is expected to have only " + format("%.3g", leastExpected) +
                    " (at least 5 are needed).";
  } else if (check.alarm) {
    check.verdict = "Sample ratio mismatch: the observed split " + split +
                    " is unlikely (p = " + format("%.2g", check.pValue) + ") under the intended " +
                    intendedSplit + "; exposures are being lost or doubled in one group.";
  } else if (check.pValue < OrvSrmCheck::kWatchP) {
    // Worth a look, not yet an alarm: checked again and again as exposures arrive, a
    // threshold this loose would raise false alarms on healthy experiments.
    check.verdict = "No alarm yet, but watch it: the observed split " + split +
                    " is somewhat unlikely (p = " + format("%.2g", check.pValue) +
                    ") under the intended " + intendedSplit +
                    "; the alarm is raised below p = " + format("%g", OrvSrmCheck::kAlarmP) + ".";
  } else {
    check.verdict = "No mismatch: the observed split " + split + " fits the intended " +
                    intendedSplit + " (p = " + format("%.2g", check.pValue) + ").";
  }
  return check;
}

OrvValue OrvSrmCheck::toValue() const {
  OrvValue::Array list;
  for (const auto& g : groups) {
    list.push_back(OrvValue::dictionary({{"group_id", OrvValue(g.groupId)},
                                         {"control", OrvValue(g.control)},
                                         {"exposures", OrvValue(g.exposures)},
                                         {"share", OrvValue(g.share)},
                                         {"intended_share", OrvValue(g.intendedShare)}}));
  }
  return OrvValue::dictionary(
      {{"app_id", OrvValue(appId)},
       {"experiment_id", OrvValue(experimentId)},
       {"intended_from", OrvValue(intendedFrom)},
       {"total", OrvValue(total)},
       {"without_split", OrvValue(withoutSplit)},
       {"without_split_from",
        withoutSplitFrom.empty() ? OrvValue::null() : OrvValue(withoutSplitFrom)},
       {"splits", OrvValue(splits)},
       {"chi_square", OrvValue(chiSquare)},
       {"degrees_of_freedom", OrvValue(degreesOfFreedom)},
       {"design_effect", OrvValue(designEffect)},
       {"p_value", OrvValue(pValue)},
       {"anytime_p_value", OrvValue(anytimePValue)},
       {"judged", OrvValue(judged)},
       {"alarm", OrvValue(alarm)},
       {"verdict", OrvValue(verdict)},
       {"groups", OrvValue::array(std::move(list))}});
}

std::string OrvSrmCheck::intendedDescription() const {
  const auto judgedBy = [](const std::string& from) -> std::string {
    if (from == "server") return "the weights the server serves";
    if (from == "expect") return "as given";
    return "equal shares of the groups seen";
  };
  const auto exposures = [](std::int64_t n) {
    return std::to_string(n) + (n == 1 ? " exposure" : " exposures");
  };
  if (intendedFrom == "exposures") {
    std::string text = splits == 1 ? "the split the exposures carried"
                                   : "the " + std::to_string(splits) +
                                         " splits the exposures carried, judged as their mixture";
    if (withoutSplit > 0)
      text += "; " + exposures(withoutSplit) + " carried none: " + judgedBy(withoutSplitFrom);
    return text;
  }
  std::string text = judgedBy(intendedFrom);
  if (intendedFrom == "expect" && withoutSplit < total)
    text += ", for every exposure, also the " + std::to_string(total - withoutSplit) +
            " that carried a split";
  return text;
}

OrvIntendedSplit orvIntendedSplit(const OrvSplitSource& source, const std::string& appId,
                                  const std::string& experimentId, std::string* from) {
  std::string ignored;
  if (!from) from = &ignored;
  const bool given = source.expected.count(experimentId) != 0;
  return splitFrom(source, given ? OrvValue() : servedPayload(source.payloadDir, appId),
                   experimentId, from);
}

namespace {

// Checks experiment after experiment, reading an application's payload once for a run of
// its experiments.
class Checker {
 public:
  explicit Checker(const OrvSplitSource& source) : source_(source) {}
  OrvSrmCheck check(const std::vector<OrvEventStore::GroupCount>& counts) {
    const std::string& appId = counts.front().appId;
    const std::string& experimentId = counts.front().experimentId;
    if (!read_ || appId != payloadApp_) {
      read_ = true;
      payloadApp_ = appId;
      payload_ = servedPayload(source_.payloadDir, appId);
    }
    std::string from;
    const OrvIntendedSplit split = splitFrom(source_, payload_, experimentId, &from);
    return orvSrmCheck(appId, experimentId, counts, split, from);
  }

 private:
  const OrvSplitSource& source_;
  bool read_ = false;
  std::string payloadApp_;
  OrvValue payload_;
};

}  // namespace

std::vector<OrvSrmCheck> orvSrmChecks(const std::vector<OrvEventStore::GroupCount>& counts,
                                      const OrvSplitSource& source) {
  std::vector<OrvSrmCheck> checks;
  Checker checker(source);
  for (std::size_t begin = 0; begin < counts.size();) {
    std::size_t end = begin;
    while (end < counts.size() && counts[end].appId == counts[begin].appId &&
           counts[end].experimentId == counts[begin].experimentId)
      ++end;
    checks.push_back(checker.check(
        std::vector<OrvEventStore::GroupCount>(counts.begin() + static_cast<std::ptrdiff_t>(begin),
                                               counts.begin() + static_cast<std::ptrdiff_t>(end))));
    begin = end;
  }
  return checks;
}

std::vector<OrvSrmCheck> orvSrmChecks(const OrvEventStore& store, const OrvSplitSource& source) {
  return orvSrmChecks(store.exposureCounts(), source);
}

void orvSrmChecks(const OrvEventStore& store, const OrvSplitSource& source,
                  const std::function<void(OrvSrmCheck&)>& visit) {
  Checker checker(source);
  store.visitExposureCounts([&](std::vector<OrvEventStore::GroupCount>& counts) {
    OrvSrmCheck check = checker.check(counts);
    visit(check);
  });
}
