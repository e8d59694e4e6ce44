#!/usr/bin/env python3
"""Reference p-values for the sample-ratio-mismatch tests, from SciPy.

usage: srm_scipy.py CASES.json
CASES.json: {"fits": [{"counts": [...], "weights": [...]}, ...],
             "tails": [[statistic, degrees_of_freedom], ...]}
Prints {"fits": [[chi_square, p], ...], "tails": [p, ...]} with every digit (repr).
"""
import json
import sys

from scipy.stats import chi2, chisquare

cases = json.load(open(sys.argv[1]))
fits = []
for case in cases["fits"]:
    total = sum(case["counts"])
    weight_sum = sum(case["weights"])
    expected = [w / weight_sum * total for w in case["weights"]]
    result = chisquare(case["counts"], f_exp=expected)
    fits.append([float(result.statistic), float(result.pvalue)])
tails = [float(chi2.sf(x, df)) for x, df in cases["tails"]]
print(json.dumps({"fits": fits, "tails": tails}))
