// The comparison of an experiment's groups from each group's sums: the estimate of each
// group against control, its standard error, a confidence interval and a p-value, fixed
// horizon or always valid, optionally with a pre-experiment covariate (CUPED); and the
// anytime-valid test of a split of counts that the sample-ratio-mismatch check uses.
// Pure arithmetic on plain structs: no I/O, no shared state, thread-safe. The report,
// the page and `orvexp analyze` all come here, so they agree. The methods and their
// papers are named where they are computed (OrvStatistics.cpp); tests/analyze_scipy.py
// recomputes every figure with SciPy from the units' values themselves.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// One group's units, each contributing one value (a proportion's values are 0 or 1).
struct OrvGroupSums {
  std::string id;
  bool control = false;
  std::int64_t units = 0;
  double sum = 0;
  // Of the values squared; may be absent for a proportion, where it is `sum`.
  std::optional<double> sumSquares;
  // The same units' values of a covariate measured before the experiment (for CUPED):
  // its sum, the sum of its squares, and the sum of covariate times value.
  struct Covariate {
    double sum = 0;
    double sumSquares = 0;
    double crossSum = 0;
  };
  std::optional<Covariate> covariate;
};

enum class OrvDifference {
  kRelative,  // mean / control mean - 1
  kAbsolute,  // mean - control mean
};

enum class OrvMetric {
  kMean,        // any value; sum_squares required
  kProportion,  // 0/1 values: sum counts the ones
};

struct OrvAnalysisOptions {
  double alpha = 0.05;  // 1 - the intervals' level, and the test's size
  OrvDifference difference = OrvDifference::kRelative;
  OrvMetric metric = OrvMetric::kMean;
  // Set: the readout is always valid (a confidence sequence, see OrvStatistics.cpp),
  // tuned to be narrowest when the two groups compared hold this many units together.
  // At least 1.
  std::optional<double> expectedUnits;
};

struct OrvComparison {
  std::string id;  // the group compared with control
  std::int64_t units = 0;
  std::int64_t controlUnits = 0;
  // The groups' means, adjusted by the covariate when there is one.
  double mean = 0;
  double controlMean = 0;
  double estimate = 0;  // as OrvAnalysisOptions::difference asks
  double standardError = 0;
  double degreesOfFreedom = 0;  // Welch-Satterthwaite, of the fixed-horizon test
  // The readout: always valid when `sequential`, else fixed horizon.
  bool sequential = false;
  double low = 0;
  double high = 0;
  double pValue = 1;
  // The fixed-horizon interval and p-value, whichever the readout is.
  double fixedLow = 0;
  double fixedHigh = 0;
  double fixedPValue = 1;
};

struct OrvAnalysis {
  // Empty on success; else what is wrong with the input, in words, and nothing else is
  // set.
  std::string error;
  std::string controlId;
  std::optional<double> cupedTheta;        // set when the groups carried a covariate
  std::vector<OrvComparison> comparisons;  // the other groups, in the order given
};

// Each group other than control against control. The input must have at least two
// groups with unique non-empty ids, exactly one of them control, each with at least 2
// units and sums a real sample can have (finite, a variance not below 0; a proportion's
// sum a whole number from 0 to units); either every group carries a covariate or none
// does; a relative difference needs a control mean other than 0; and the estimate's
// standard error must be above 0. alpha lies in (0, 1).
OrvAnalysis orvAnalyze(const std::vector<OrvGroupSums>& groups, const OrvAnalysisOptions& options);

// Student's t distribution with `degreesOfFreedom` > 0 (not necessarily whole):
// P(|T| >= |t|), and the q with P(T > q) = upperTail for 0 < upperTail < 1. Within a
// relative 1e-11 up to 1e7 degrees of freedom and 1e-10 up to 1e8 (on x86-64: see
// incompleteBeta), far out into the tails.
double orvStudentTwoSidedP(double t, double degreesOfFreedom);
double orvStudentQuantile(double upperTail, double degreesOfFreedom);

// The always-valid readout's boundary: half the width of the confidence sequence for an
// estimate with standard error `standardError` at time `units` (> 0), tuned to
// `expectedUnits`, at level 1 - alpha; and the p-value that goes with it, the smallest
// alpha at which it excludes 0 for an estimate `z` standard errors from 0.
double orvSequenceHalfWidth(double standardError, double units, double expectedUnits, double alpha);
double orvSequencePValue(double z, double units, double expectedUnits, double alpha);

// The sample-ratio-mismatch check's anytime-valid p-value: `counts` per group against the
// intended `shares` (weights on any scale, not negative; a group past the last weight has
// none), by the Dirichlet-multinomial Bayes factor with a prior of
// kOrvSplitPriorConcentration times the shares (see OrvStatistics.cpp). 0 when a group the
// shares give nothing holds a count; 1 with no counts.
constexpr double kOrvSplitPriorConcentration = 100;
double orvSplitAnytimePValue(const std::vector<std::int64_t>& counts,
                             const std::vector<double>& shares);
// Its logarithm of the Bayes factor (+infinity where the p-value is 0), which adds up over
// independent streams of counts: exposures placed under different splits.
double orvSplitLogBayesFactor(const std::vector<std::int64_t>& counts,
                              const std::vector<double>& shares);
