#!/usr/bin/env python3
"""Reference p-values for the sample-ratio-mismatch tests, from SciPy.

usage: srm_scipy.py CASES.json
CASES.json: {"fits": [{"counts": [...], "weights": [...]}, ...],
             "tails": [[statistic, degrees_of_freedom], ...],
             "mixtures": [[{"counts": [...], "weights": [...]}, ...], ...]}
Prints {"fits": [[chi_square, p, anytime_p], ...], "tails": [p, ...],
        "mixtures": [[chi_square, design_effect, p, anytime_p], ...]} with every digit
(repr).

A mixture is one experiment whose exposures were placed under several splits: each
part the counts per group under one split, and that split's weights (the same groups,
in the same order, in every part). Its expected counts are the parts' (exposures times
shares) added up, the statistic scipy's chisquare on them, and the p-value that of the
statistic divided by the mean design effect (Rao and Scott's first-order correction):
the groups' variances sum_S N_S p (1 - p) over their expected counts, averaged over the
degrees of freedom.

anytime_p is Lindon and Malek's (NeurIPS 2022): 1 / B, capped at 1, for the Bayes factor
B of the Dirichlet-multinomial with prior 100 x shares against the multinomial of the
shares, here the ratio of scipy's log-likelihoods of the counts (its gammaln for the
Dirichlet-multinomial, scipy.stats.multinomial for the null; the multinomial coefficient
cancels); on a mixture the product of each part's.
"""
import json
import sys

import numpy
from scipy.special import gammaln
from scipy.stats import chi2, chisquare, multinomial

PRIOR = 100  # exposures' worth of weight on the intended shares


def log_bayes_factor(counts, weights):
    counts = numpy.array(counts, dtype=float)
    shares = numpy.array(weights, dtype=float) / sum(weights)
    if (counts[shares == 0] > 0).any():
        return numpy.inf
    counts, shares = counts[shares > 0], shares[shares > 0]
    n, prior = counts.sum(), PRIOR * shares
    # log P(counts | Dirichlet-multinomial) - log P(counts | multinomial), the
    # multinomial coefficient n! / prod x! taken out of both.
    dirichlet = (gammaln(PRIOR) - gammaln(PRIOR + n) +
                 (gammaln(prior + counts) - gammaln(prior)).sum())
    coefficient = gammaln(n + 1) - gammaln(counts + 1).sum()
    return dirichlet + coefficient - multinomial.logpmf(counts, int(n), shares)


def anytime(log_b):
    return float(min(1.0, numpy.exp(-log_b)))


cases = json.load(open(sys.argv[1]))
fits = []
for case in cases["fits"]:
    total = sum(case["counts"])
    weight_sum = sum(case["weights"])
    expected = [w / weight_sum * total for w in case["weights"]]
    result = chisquare(case["counts"], f_exp=expected)
    fits.append([float(result.statistic), float(result.pvalue),
                 anytime(log_bayes_factor(case["counts"], case["weights"]))])
tails = [float(chi2.sf(x, df)) for x, df in cases["tails"]]
mixtures = []
for parts in cases.get("mixtures", []):
    observed = numpy.zeros(len(parts[0]["counts"]))
    expected = numpy.zeros(len(observed))
    variance = numpy.zeros(len(observed))
    for part in parts:
        shares = numpy.array(part["weights"], dtype=float) / sum(part["weights"])
        exposures = sum(part["counts"])
        observed += part["counts"]
        expected += exposures * shares
        variance += exposures * shares * (1 - shares)
    intended = expected > 0
    statistic = float(chisquare(observed[intended], f_exp=expected[intended]).statistic)
    df = int(intended.sum()) - 1
    design_effect = float((variance[intended] / expected[intended]).sum() / df)
    log_b = sum(log_bayes_factor(part["counts"], part["weights"]) for part in parts)
    mixtures.append([statistic, design_effect, float(chi2.sf(statistic / design_effect, df)),
                     anytime(log_b)])
print(json.dumps({"fits": fits, "tails": tails, "mixtures": mixtures}))
