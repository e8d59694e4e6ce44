#include "OrvSrm.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <sstream>

#include "OrvAssignment.h"
#include "OrvConfigServer.h"

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
  if (directory.empty() || !OrvConfigServer::isSafeIdentifier(appId)) return OrvValue();
  std::string text;
  std::string problem;
  if (OrvConfigServer::readPayloadFile(directory,
                                       OrvConfigServer::payloadPath(directory, appId, "ki_feature"),
                                       &text, &problem) != 200)
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

OrvSrmCheck orvSrmCheck(const std::string& appId, const std::string& experimentId,
                        const std::vector<OrvEventStore::GroupCount>& counts,
                        const OrvIntendedSplit& intended, const std::string& intendedFrom) {
  OrvSrmCheck check;
  check.appId = appId;
  check.experimentId = experimentId;
  check.intendedFrom = intended.empty() ? "equal" : intendedFrom;

  // The intended groups in order, a group named twice with its weights added; a weight
  // that is negative or not a number counts as none.
  std::vector<double> weights;
  const auto find = [&check](const std::string& id) {
    return std::find_if(check.groups.begin(), check.groups.end(),
                        [&id](const OrvSrmGroup& g) { return g.groupId == id; });
  };
  const auto intend = [&](const std::string& id, double weight) {
    if (!(weight > 0) || std::isinf(weight)) weight = 0;
    if (auto known = find(id); known != check.groups.end()) {
      weights[static_cast<std::size_t>(known - check.groups.begin())] += weight;
      return;
    }
    check.groups.emplace_back().groupId = id;
    weights.push_back(weight);
  };
  if (intended.empty()) {
    for (const auto& c : counts) intend(c.groupId, 1);
  } else {
    for (const auto& [id, weight] : intended) intend(id, weight);
  }
  double weightSum = 0;
  for (double w : weights) weightSum += w;
  for (std::size_t i = 0; i < weights.size(); ++i)
    check.groups[i].intendedShare = weightSum > 0 ? weights[i] / weightSum : 0;

  for (const auto& c : counts) {
    auto group = find(c.groupId);
    if (group == check.groups.end()) {
      check.groups.emplace_back().groupId = c.groupId;
      group = check.groups.end() - 1;
    }
    group->control = group->control || c.control;
    group->exposures += c.exposures;
    check.total += c.exposures;
  }

  std::vector<std::string> observed, shares, unintended;
  std::int64_t unintendedExposures = 0;
  int withShare = 0;
  double leastExpected = std::numeric_limits<double>::infinity();
  std::string leastGroup;
  for (auto& g : check.groups) {
    g.share = check.total > 0 ? static_cast<double>(g.exposures) / check.total : 0;
    if (g.intendedShare <= 0) {
      if (g.exposures > 0) {
        unintended.push_back(g.groupId);
        unintendedExposures += g.exposures;
      }
      continue;
    }
    ++withShare;
    const double expected = g.intendedShare * check.total;
    if (expected > 0) {
      const double gap = static_cast<double>(g.exposures) - expected;
      check.chiSquare += gap * gap / expected;
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
  check.pValue = check.degreesOfFreedom >= 1 && check.total > 0
                     ? orvChiSquarePValue(check.chiSquare, check.degreesOfFreedom)
                     : 1;
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
  return OrvValue::dictionary({{"app_id", OrvValue(appId)},
                               {"experiment_id", OrvValue(experimentId)},
                               {"intended_from", OrvValue(intendedFrom)},
                               {"total", OrvValue(total)},
                               {"chi_square", OrvValue(chiSquare)},
                               {"degrees_of_freedom", OrvValue(degreesOfFreedom)},
                               {"p_value", OrvValue(pValue)},
                               {"judged", OrvValue(judged)},
                               {"alarm", OrvValue(alarm)},
                               {"verdict", OrvValue(verdict)},
                               {"groups", OrvValue::array(std::move(list))}});
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
