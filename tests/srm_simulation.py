#!/usr/bin/env python3
"""Healthy experiments, simulated, for the calibration of the sample-ratio-mismatch check.

usage: srm_simulation.py REPLICATES SEED [--table]    (Debian's python3-scipy)

Each scenario is one experiment whose exposures were placed under one or more splits, a
fixed number under each (the weights changed, and units keep the group an older split
gave them). A replicate draws each split's counts from the multinomial of its shares, so
none has a mismatch: a calibrated check falls below p = a in a share a of them. Prints
{"scenarios": [{"name", "replicates": [[[group, split text, count], ...], ...]}]}; with
--table, how often the p-values computed here with scipy fall below 0.001, 0.01 and 0.05:
Pearson's statistic on the mixture's expected counts against chi-square(k - 1) as it is
("plain"), and divided by the mean design effect ("corrected", Rao and Scott's
first-order correction, as orvSrmCheck does).
"""
import json
import sys

import numpy
from scipy.stats import chi2

SCENARIOS = [
    ("90/10", [([["control", 90], ["green", 10]], 2000)]),
    ("50/50 then 90/10", [([["control", 50], ["green", 50]], 1000),
                          ([["control", 90], ["green", 10]], 1000)]),
    ("thirds then 80/10/10", [([["a", 1], ["b", 1], ["c", 1]], 1000),
                              ([["a", 8], ["b", 1], ["c", 1]], 1000)]),
]

replicates, seed = int(sys.argv[1]), int(sys.argv[2])
generator = numpy.random.default_rng(seed)
out = []
for name, splits in SCENARIOS:
    shares = [numpy.array([w for _, w in split], dtype=float) / sum(w for _, w in split)
              for split, _ in splits]
    draws = [generator.multinomial(n, p, size=replicates) for (_, n), p in zip(splits, shares)]
    if "--table" in sys.argv:
        observed = sum(draws)
        expected = sum(n * p for (_, n), p in zip(splits, shares))
        variance = sum(n * p * (1 - p) for (_, n), p in zip(splits, shares))
        df = len(expected) - 1
        statistic = ((observed - expected) ** 2 / expected).sum(axis=1)
        design_effect = (variance / expected).sum() / df
        for label, p in (("plain", chi2.sf(statistic, df)),
                         ("corrected", chi2.sf(statistic / design_effect, df))):
            print("%-21s %-9s design effect %.4f: %s" % (name, label, design_effect, ", ".join(
                "p < %g in %.5f" % (a, (p < a).mean()) for a in (0.001, 0.01, 0.05))))
    texts = [json.dumps(split, separators=(",", ":")) for split, _ in splits]
    out.append({"name": name, "replicates": [
        [[group, text, int(d[r, g])] for (split, _), text, d in zip(splits, texts, draws)
         for g, (group, _) in enumerate(split)] for r in range(replicates)]})
if "--table" not in sys.argv:
    print(json.dumps({"scenarios": out}))
