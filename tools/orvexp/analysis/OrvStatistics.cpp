#include "analysis/OrvStatistics.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <set>
#include <string>
#include <utility>

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr int kMaxIterations = 1'000'000;

// log Gamma(x) - ((x - 1/2) log x - x + log(2 pi) / 2) for x >= kStirlingFrom: Stirling's
// series to the term in x^-13, whose first omitted term is below 1e-17 there.
constexpr double kStirlingFrom = 15;
double stirlingRemainder(double x) {
  const double r = 1 / x;
  const double r2 = r * r;
  return r * (1.0 / 12 +
              r2 * (-1.0 / 360 +
                    r2 * (1.0 / 1260 +
                          r2 * (-1.0 / 1680 +
                                r2 * (1.0 / 1188 + r2 * (-691.0 / 360360 + r2 * (1.0 / 156)))))));
}

// log Gamma(a) - log Gamma(a + b) for a, b > 0. Taken as a difference of std::lgamma it
// loses about log Gamma(a + b) * 1e-16 (1e-9 once a + b passes 1e6: t with a million
// degrees of freedom, a split of a million exposures); Stirling's series for both makes
// it -(a - 1/2) log1p(b / a) - b log(a + b) + b plus the remainders, each term of the
// size of the result. A small a is first raised past kStirlingFrom by the recurrence.
double logGammaRatio(double a, double b) {
  if (a + b < kStirlingFrom) return std::lgamma(a) - std::lgamma(a + b);
  double shift = 0;
  while (a < kStirlingFrom) {
    // Gamma(a) = Gamma(a + 1) / a, and likewise for a + b.
    shift += std::log((a + b) / a);
    a += 1;
  }
  const double c = a + b;
  return shift - (a - 0.5) * std::log1p(b / a) - b * std::log(c) + b + stirlingRemainder(a) -
         stirlingRemainder(c);
}

double logBeta(double a, double b) {
  const double small = std::min(a, b);
  return std::lgamma(small) + logGammaRatio(std::max(a, b), small);
}

// The regularized incomplete beta function I_x(a, b) by its continued fraction,
// evaluated by the modified Lentz method (W. H. Press et al., Numerical Recipes, 3rd ed.,
// 2007, section 6.4; W. J. Lentz, Applied Optics 15:668-671, 1976), which converges
// quickly for x < (a + 1) / (a + b + 2). y = 1 - x, given exactly by the caller.
double betaFraction(double x, double y, double a, double b) {
  const double logX = x < 0.5 ? std::log(x) : std::log1p(-y);
  const double logY = y < 0.5 ? std::log(y) : std::log1p(-x);
  const double front = std::exp(a * logX + b * logY - logBeta(a, b)) / a;
  // The fraction loses about a relative 1e-16 a (its odd terms are 1 - x times factors
  // near 1 when x is near 1 and a is large: t with millions of degrees of freedom), so
  // it runs in long double, which on x86-64 holds 64 bits of mantissa: against 40-digit
  // arithmetic, t's tail is then within 3e-11 at 1e8 degrees of freedom, where double
  // was 1e-9 off.
  using Wide = long double;
  constexpr Wide kTiny = 1e-300L;
  const Wide wa = a, wb = b, wx = x, wy = y;
  const Wide qab = wa + wb, qap = wa + 1, qam = wa - 1;
  Wide c = 1;
  // 1 - qab x / qap, without its cancellation when x is near 1.
  Wide d = x < 0.5 ? 1 - qab * wx / qap : (1 - wb + qab * wy) / qap;
  if (std::fabs(d) < kTiny) d = kTiny;
  d = 1 / d;
  Wide h = d;
  for (int m = 1; m < kMaxIterations; ++m) {
    const Wide wm = m, m2 = 2 * wm;
    Wide aa = wm * (wb - wm) * wx / ((qam + m2) * (wa + m2));
    d = 1 + aa * d;
    if (std::fabs(d) < kTiny) d = kTiny;
    c = 1 + aa / c;
    if (std::fabs(c) < kTiny) c = kTiny;
    d = 1 / d;
    h *= d * c;
    aa = -(wa + wm) * (qab + wm) * wx / ((wa + m2) * (qap + m2));
    d = 1 + aa * d;
    if (std::fabs(d) < kTiny) d = kTiny;
    c = 1 + aa / c;
    if (std::fabs(c) < kTiny) c = kTiny;
    d = 1 / d;
    const Wide delta = d * c;
    h *= delta;
    if (std::fabs(delta - 1) < 1e-19L) break;
  }
  return front * static_cast<double>(h);
}

// I_x(a, b) with y = 1 - x (t's tails need both ends without cancellation): the fraction
// where it converges quickly, else 1 - I_y(b, a), once.
double incompleteBeta(double x, double y, double a, double b) {
  if (x <= 0) return 0;
  if (y <= 0) return 1;
  return x > (a + 1) / (a + b + 2) ? 1 - betaFraction(y, x, b, a) : betaFraction(x, y, a, b);
}

// P(T > t) for t >= 0: I_x(df / 2, 1 / 2) / 2 with x = df / (df + t^2).
double studentUpperTail(double t, double df) {
  if (std::isinf(t)) return 0;
  const double ratio = t * t / df;  // may overflow to infinity: x = 0, y = 1
  return 0.5 * incompleteBeta(1 / (1 + ratio), ratio / (1 + ratio), df / 2, 0.5);
}

double studentDensity(double t, double df) {
  return std::exp(-logBeta(df / 2, 0.5) - 0.5 * std::log(df) -
                  (df + 1) / 2 * std::log1p(t * t / df));
}

// The standard normal's upper quantile within 4.5e-4 (M. Abramowitz and I. A. Stegun,
// Handbook of Mathematical Functions, 1964, 26.2.23), for p <= 1/2: a start for Newton.
double roughNormalQuantile(double p) {
  const double t = std::sqrt(-2 * std::log(p));
  return t - (2.515517 + t * (0.802853 + t * 0.010328)) /
                 (1 + t * (1.432788 + t * (0.189269 + t * 0.001308)));
}

double variance(double n, double sum, double sumSquares, bool* negative) {
  const double centred = sumSquares - sum * sum / n;
  // Sums of real values give centred >= 0 up to rounding, which is relative to the
  // terms subtracted; anything further below 0 is sums no sample has.
  if (centred < -1e-9 * std::fabs(sumSquares)) *negative = true;
  return std::max(0.0, centred) / (n - 1);
}

// Validated groups: means and variances of the values (adjusted when there is a
// covariate).
struct Moments {
  double n = 0;
  double mean = 0;
  double variance = 0;
};

}  // namespace

double orvStudentTwoSidedP(double t, double degreesOfFreedom) {
  if (std::isnan(t) || !(degreesOfFreedom > 0)) return std::numeric_limits<double>::quiet_NaN();
  return std::min(1.0, 2 * studentUpperTail(std::fabs(t), degreesOfFreedom));
}

double orvStudentQuantile(double upperTail, double degreesOfFreedom) {
  if (!(upperTail > 0 && upperTail < 1) || !(degreesOfFreedom > 0))
    return std::numeric_limits<double>::quiet_NaN();
  if (upperTail == 0.5) return 0;
  if (upperTail > 0.5) return -orvStudentQuantile(1 - upperTail, degreesOfFreedom);
  // Newton's method on the tail, which is convex in q > 0, from the normal quantile with
  // its first Cornish-Fisher correction for t; a bracket keeps each step inside
  // [low, high] where the root is, bisecting when Newton would leave it.
  const double z = roughNormalQuantile(upperTail);
  double q = z + (z * z * z + z) / (4 * degreesOfFreedom);
  double low = 0, high = kInfinity;
  for (int i = 0; i < 400; ++i) {
    const double gap = studentUpperTail(q, degreesOfFreedom) - upperTail;
    if (gap == 0) return q;
    (gap > 0 ? low : high) = q;
    double next = q + gap / studentDensity(q, degreesOfFreedom);
    if (!(next > low && next < high)) next = std::isinf(high) ? 2 * q : (low + high) / 2;
    if (std::fabs(next - q) <= 1e-15 * next) return next;
    q = next;
  }
  return q;
}

// The always-valid readout: the Gaussian-mixture asymptotic confidence sequence of
// I. Waudby-Smith, D. Arbour, R. Sinha, E. H. Kennedy and A. Ramdas, "Time-uniform
// central limit theory and asymptotic confidence sequences", Annals of Statistics, 2024
// (arXiv:2103.06476): at time t, with sigma-hat the estimated standard deviation of one
// observation,
//   estimate +/- sigma-hat * sqrt(2 (t rho^2 + 1) / (t^2 rho^2) * log(sqrt(t rho^2 + 1) / alpha)),
// which covers the truth at every t at once with probability 1 - alpha as t grows. Here
// t is the units of the two groups compared and sigma-hat^2 is t times the estimate's
// variance, so the half width is the standard error times a factor of t alone, and the
// one formula serves relative and absolute differences. rho^2 = (-2 log alpha +
// log(-2 log alpha + 1)) / N*, the paper's choice that makes the width smallest at
// t = N* (near enough: the exact minimiser solves v = -2 log alpha + log(v + 1) for
// v = N* rho^2, and this is one step of that fixed point from v = -2 log alpha). rho
// depends on N* and the alpha of the readout only, never on the data, as the guarantee
// requires.
double orvSequenceHalfWidth(double standardError, double units, double expectedUnits,
                            double alpha) {
  const double logAlpha = std::log(alpha);
  const double rho2 = (-2 * logAlpha + std::log(1 - 2 * logAlpha)) / expectedUnits;
  const double v = units * rho2;
  return standardError * std::sqrt(2 * (v + 1) / v * (0.5 * std::log1p(v) - logAlpha));
}

// The p-value that goes with it: the sequence at level 1 - a, with the same rho, excludes
// 0 exactly when z^2 >= 2 (v + 1) / v * log(sqrt(v + 1) / a); solved for a,
// p = sqrt(v + 1) exp(-z^2 v / (2 (v + 1))), capped at 1. It is the reciprocal of the
// Gaussian mixture martingale's value, so p <= alpha at some look happens with
// probability at most alpha (asymptotically), however often one looks; each look's p is
// valid on its own, and so is the smallest seen so far.
double orvSequencePValue(double z, double units, double expectedUnits, double alpha) {
  const double logAlpha = std::log(alpha);
  const double rho2 = (-2 * logAlpha + std::log(1 - 2 * logAlpha)) / expectedUnits;
  const double v = units * rho2;
  return std::exp(std::min(0.0, 0.5 * std::log1p(v) - z * z * v / (2 * (v + 1))));
}

// The sequential test of multinomial counts of M. Lindon and A. Malek, "Anytime-valid
// inference for multinomial count data", NeurIPS 2022: under the intended shares p the
// exposures fall in the groups independently, one at a time; the alternative is a
// Dirichlet(a) prior on the shares, whose predictive probability of the counts seen so
// far over the null's is the Bayes factor
//   B = Gamma(A) / Gamma(A + n) * prod_g Gamma(a_g + x_g) / (Gamma(a_g) p_g^x_g),  A = sum a_g,
// a nonnegative martingale of mean 1 under the null, so by Ville's inequality
// P(B ever reaches 1 / alpha) <= alpha: min(1, 1 / B) is a p-value valid at every look,
// exactly, not asymptotically. The prior a = 100 p centres the alternative on the
// intended split with the weight of 100 exposures, wide enough for gross mismatches to
// show within hundreds of exposures while small ones still do in time: simulated against
// 50 : 50 at p <= 0.05, a 55 : 45 split shows after a median of 900 exposures, 52.6 :
// 47.4 after 2,800, 51 : 49 after 23,000 (a prior of 1,000 exposures gains little on
// small mismatches and loses on gross ones). B depends on the counts only, not on the
// order they arrived in.
double orvSplitLogBayesFactor(const std::vector<std::int64_t>& counts,
                              const std::vector<double>& shares) {
  double weightSum = 0;
  for (double w : shares) weightSum += w;
  std::int64_t n = 0;
  double logB = 0;
  for (std::size_t g = 0; g < counts.size(); ++g) {
    if (counts[g] <= 0) continue;
    const double p = g < shares.size() && weightSum > 0 ? shares[g] / weightSum : 0;
    if (!(p > 0)) return kInfinity;
    const double x = static_cast<double>(counts[g]);
    n += counts[g];
    logB += -logGammaRatio(kOrvSplitPriorConcentration * p, x) - x * std::log(p);
  }
  if (n == 0) return 0;
  return logB + logGammaRatio(kOrvSplitPriorConcentration, static_cast<double>(n));
}

double orvSplitAnytimePValue(const std::vector<std::int64_t>& counts,
                             const std::vector<double>& shares) {
  return std::exp(-std::max(0.0, orvSplitLogBayesFactor(counts, shares)));
}

// The fixed-horizon readout: Welch's t-test (B. L. Welch, "The generalization of
// 'Student's' problem when several different population variances are involved",
// Biometrika 34:28-35, 1947), the estimate over its standard error against Student's t
// with the Welch-Satterthwaite degrees of freedom (F. E. Satterthwaite, "An approximate
// distribution of estimates of variance components", Biometrics Bulletin 2:110-114,
// 1946). The relative difference's variance is the delta method's,
//   Var(m_t / m_c) ~ s_t^2 / (n_t m_c^2) + m_t^2 s_c^2 / (n_c m_c^4),
// and its degrees of freedom are Satterthwaite's for that same weighted sum of the two
// group variances (c_t s_t^2 + c_c s_c^2 has df (c_t s_t^2 + c_c s_c^2)^2 /
// ((c_t s_t^2)^2 / (n_t - 1) + (c_c s_c^2)^2 / (n_c - 1))): the approximation Welch's own
// df is for the absolute difference, with the weights the ratio gives each group. It is
// Welch's df exactly when the means are equal, and the choice matters only for small
// groups, where the delta method is itself rough.
//
// CUPED (A. Deng, Y. Xu, R. Kohavi and T. Walker, "Improving the sensitivity of online
// controlled experiments by utilizing pre-experiment data", WSDM 2013): each value Y
// becomes Y - theta (X - mean X) for the unit's pre-experiment covariate X, which keeps
// every group's expectation (the covariate cannot depend on the group) and leaves
// Var(Y) - 2 theta Cov(X, Y) + theta^2 Var(X), least at theta = Cov(X, Y) / Var(X): a
// variance 1 - corr^2 times the original. theta is one for all groups (so the groups'
// adjustments are comparable), from the covariances pooled within groups: sums of the
// centred cross products over sums of the centred squares, which a difference between
// the groups' means cannot bias. mean X is that of all units. theta is then taken as
// known, as the paper does: its own error is of a smaller order. Everything above then
// applies to the adjusted values: the relative difference is that of the adjusted means.
OrvAnalysis orvAnalyze(const std::vector<OrvGroupSums>& groups, const OrvAnalysisOptions& options) {
  const auto fail = [](std::string error) {
    OrvAnalysis failed;
    failed.error = std::move(error);
    return failed;
  };
  if (!(options.alpha > 0 && options.alpha < 1))
    return fail("alpha must lie between 0 and 1 (exclusive)");
  if (options.expectedUnits &&
      !(*options.expectedUnits >= 1 && std::isfinite(*options.expectedUnits)))
    return fail("expected units must be a number of at least 1");
  if (groups.size() < 2) return fail("at least two groups are needed, one of them control");

  const bool proportion = options.metric == OrvMetric::kProportion;
  std::set<std::string> ids;
  const OrvGroupSums* control = nullptr;
  for (const OrvGroupSums& g : groups) {
    if (g.id.empty()) return fail("a group has an empty id");
    if (!ids.insert(g.id).second) return fail("group " + g.id + " is named twice");
    const std::string name = "group " + g.id;
    if (g.control) {
      if (control) return fail("groups " + control->id + " and " + g.id + " are both control");
      control = &g;
    }
    if (g.units < 2) return fail(name + ": at least 2 units are needed for a variance");
    if (!std::isfinite(g.sum) || (g.sumSquares && !std::isfinite(*g.sumSquares)))
      return fail(name + ": sums must be finite numbers");
    if (proportion) {
      if (g.sum < 0 || g.sum > static_cast<double>(g.units) || g.sum != std::floor(g.sum))
        return fail(name +
                    ": a proportion's sum counts the units whose value is 1, a whole "
                    "number from 0 to units");
      if (g.sumSquares && *g.sumSquares != g.sum)
        return fail(name + ": a proportion's values are 0 or 1, so sum_squares equals sum");
    } else if (!g.sumSquares) {
      return fail(name + ": sum_squares is needed for a mean");
    }
    if (g.covariate.has_value() != groups.front().covariate.has_value())
      return fail("either every group carries a covariate or none does");
    if (const auto& x = g.covariate;
        x && !(std::isfinite(x->sum) && std::isfinite(x->sumSquares) && std::isfinite(x->crossSum)))
      return fail(name + ": the covariate's sums must be finite numbers");
  }
  if (!control) return fail("no group is control: exactly one must be");
  OrvAnalysis out;
  out.controlId = control->id;

  std::vector<Moments> moments(groups.size());
  for (std::size_t i = 0; i < groups.size(); ++i) {
    const OrvGroupSums& g = groups[i];
    Moments& m = moments[i];
    m.n = static_cast<double>(g.units);
    m.mean = g.sum / m.n;
    bool negative = false;
    m.variance = variance(m.n, g.sum, g.sumSquares.value_or(g.sum), &negative);
    if (negative)
      return fail("group " + g.id + ": sum_squares is below sum^2 / units, which no values give");
  }

  if (groups.front().covariate) {
    double crossProducts = 0, squares = 0, covariateSum = 0, units = 0;
    std::vector<double> centredCross(groups.size()), centredSquares(groups.size());
    for (std::size_t i = 0; i < groups.size(); ++i) {
      const OrvGroupSums& g = groups[i];
      const auto& x = *g.covariate;
      const double n = moments[i].n;
      bool negative = false;
      centredSquares[i] = variance(n, x.sum, x.sumSquares, &negative) * (n - 1);
      centredCross[i] = x.crossSum - x.sum * g.sum / n;
      const double centredValues = moments[i].variance * (n - 1);
      // Cauchy-Schwarz: no values have a centred cross product beyond the root of both
      // centred squares'; the slack is the rounding of the subtraction.
      const double slack = 1e-9 * (std::fabs(x.crossSum) + std::fabs(x.sum * g.sum / n));
      if (negative ||
          std::fabs(centredCross[i]) > std::sqrt(centredSquares[i] * centredValues) + slack)
        return fail("group " + g.id + ": the covariate's sums are not those of any values");
      crossProducts += centredCross[i];
      squares += centredSquares[i];
      covariateSum += x.sum;
      units += n;
    }
    if (!(squares > 0)) return fail("the covariate does not vary within any group: no CUPED");
    const double theta = crossProducts / squares;
    const double overall = covariateSum / units;
    out.cupedTheta = theta;
    for (std::size_t i = 0; i < groups.size(); ++i) {
      Moments& m = moments[i];
      m.mean -= theta * (groups[i].covariate->sum / m.n - overall);
      const double centred =
          m.variance * (m.n - 1) - 2 * theta * centredCross[i] + theta * theta * centredSquares[i];
      m.variance = std::max(0.0, centred) / (m.n - 1);
    }
  }

  const Moments& c = moments[static_cast<std::size_t>(control - groups.data())];
  const bool relative = options.difference == OrvDifference::kRelative;
  if (relative && c.mean == 0)
    return fail("control " + control->id +
                " has a mean of 0: no relative difference; ask for the absolute one");
  for (std::size_t i = 0; i < groups.size(); ++i) {
    if (&groups[i] == control) continue;
    const Moments& t = moments[i];
    OrvComparison r;
    r.id = groups[i].id;
    r.units = groups[i].units;
    r.controlUnits = control->units;
    r.mean = t.mean;
    r.controlMean = c.mean;
    // Each group's share of the estimate's variance.
    double vt = t.variance / t.n, vc = c.variance / c.n;
    if (relative) {
      const double ratio = t.mean / c.mean;
      r.estimate = ratio - 1;
      vt /= c.mean * c.mean;
      vc *= ratio * ratio / (c.mean * c.mean);
    } else {
      r.estimate = t.mean - c.mean;
    }
    const double v = vt + vc;
    if (!(v > 0))
      return fail("group " + r.id + " and control " + control->id +
                  " have no variance: nothing to test");
    r.standardError = std::sqrt(v);
    r.degreesOfFreedom = v * v / (vt * vt / (t.n - 1) + vc * vc / (c.n - 1));
    const double z = r.estimate / r.standardError;
    const double q = orvStudentQuantile(options.alpha / 2, r.degreesOfFreedom);
    r.fixedLow = r.estimate - q * r.standardError;
    r.fixedHigh = r.estimate + q * r.standardError;
    r.fixedPValue = orvStudentTwoSidedP(z, r.degreesOfFreedom);
    r.sequential = options.expectedUnits.has_value();
    if (r.sequential) {
      const double units = t.n + c.n;
      const double half =
          orvSequenceHalfWidth(r.standardError, units, *options.expectedUnits, options.alpha);
      r.low = r.estimate - half;
      r.high = r.estimate + half;
      r.pValue = orvSequencePValue(z, units, *options.expectedUnits, options.alpha);
    } else {
      r.low = r.fixedLow;
      r.high = r.fixedHigh;
      r.pValue = r.fixedPValue;
    }
    out.comparisons.push_back(std::move(r));
  }
  return out;
}
