#!/usr/bin/env python3
"""orvexp analyze against SciPy, figure by figure.

usage: analyze_scipy.py ORVEXP [CASES [SEED]]    (Debian's python3-scipy; 50 cases, seed 20240)

Each case is an experiment drawn with numpy: 2 to 4 groups of 20 to 20,000 units, a
mean (normal or lognormal values) or a proportion, a relative or absolute difference,
with or without a covariate (CUPED), fixed horizon or always valid (each of those 16
combinations in turn), alpha from 0.001 to 0.3. orvexp gets only the groups' sums; the reference is computed here from the units'
values themselves:
  - means and variances with numpy; the absolute difference's t statistic and p-value
    from scipy.stats.ttest_ind(equal_var=False) on the values (Welch's test);
  - the relative difference by the delta method, its degrees of freedom Satterthwaite's
    for the two weighted variances, its p-value from scipy.stats.t;
  - CUPED's theta from the covariances pooled within groups, and each unit's value
    adjusted, Y - theta (X - mean of X over all units), before the above;
  - the interval's t quantile: scipy.stats.t.isf, refined by root-finding on t.sf
    (SciPy 1.10's quantile alone is good to about 1e-9, its tail to 1e-15);
  - the always-valid interval and p-value from the formula of Waudby-Smith, Arbour,
    Sinha, Kennedy and Ramdas (Annals of Statistics, 2024), written out again here.
Every figure must agree within a relative 1e-9 (the estimate and the interval's ends
relative to the larger of themselves and the standard error, since an end may lie
near 0). Prints the worst difference; exits 1 when any figure is off.
"""
import json
import math
import subprocess
import sys

import numpy
from scipy import optimize, stats

TOLERANCE = 1e-9


def quantile(upper_tail, df):
    rough = stats.t.isf(upper_tail, df)
    return optimize.brentq(lambda q: stats.t.sf(q, df) - upper_tail, rough * (1 - 1e-6),
                           rough * (1 + 1e-6), xtol=1e-300, rtol=1e-15)


def draw_case(rng, kind):
    # Every combination in turn: metric, difference, covariate, sequential.
    metric = ["mean", "proportion"][kind & 1]
    difference = ["relative", "absolute"][kind >> 1 & 1]
    cuped = bool(kind >> 2 & 1)
    sequential = bool(kind >> 3 & 1)
    alpha = float(rng.choice([0.05, 0.01, 0.1, rng.uniform(0.001, 0.3)]))
    k = int(rng.integers(2, 5))
    control = int(rng.integers(0, k))
    lognormal = bool(rng.random() < 0.5)
    base = rng.uniform(0.05, 0.5)  # a proportion's control chance
    values = []
    for g in range(k):
        n = int(math.exp(rng.uniform(math.log(20), math.log(20000))))
        lift = 0 if g == control else rng.normal(0, 0.1)
        x = rng.lognormal(1, 0.5, n) if lognormal else rng.normal(10, 3, n)
        if metric == "proportion":
            chance = numpy.clip(base * (1 + lift) * (0.5 + x / x.mean() / 2), 0, 1)
            y = (rng.random(n) < chance).astype(float)
        else:
            noise = rng.lognormal(0, 1, n) if lognormal else rng.normal(0, 5, n)
            y = (1 + lift) * (2 + 0.8 * x) + noise
        values.append((y, x))
    payload_groups = []
    for g, (y, x) in enumerate(values):
        entry = {"id": "g%d" % g, "units": len(y), "sum": math.fsum(y)}
        if g == control:
            entry["control"] = True
        if metric == "mean" or rng.random() < 0.5:
            entry["sum_squares"] = math.fsum(y * y)
        if cuped:
            entry["covariate"] = {"sum": math.fsum(x), "sum_squares": math.fsum(x * x),
                                  "cross_sum": math.fsum(x * y)}
        payload_groups.append(entry)
    payload = {"alpha": alpha, "difference": difference, "metric": metric,
               "groups": payload_groups}
    if sequential:
        payload["sequential"] = {"expected_units": float(round(rng.uniform(500, 50000)))}
    return payload, values, control


def reference(payload, values, control):
    alpha = payload["alpha"]
    relative = payload["difference"] == "relative"
    theta = None
    if "covariate" in payload["groups"][0]:
        cross = sum(((x - x.mean()) * (y - y.mean())).sum() for y, x in values)
        squares = sum(((x - x.mean()) ** 2).sum() for y, x in values)
        theta = cross / squares
        overall = numpy.concatenate([x for _, x in values]).mean()
        values = [(y - theta * (x - overall), x) for y, x in values]
    yc = values[control][0]
    out = []
    for g, (yt, _) in enumerate(values):
        if g == control:
            continue
        mt, mc = yt.mean(), yc.mean()
        nt, nc = len(yt), len(yc)
        vt, vc = yt.var(ddof=1) / nt, yc.var(ddof=1) / nc
        welch = stats.ttest_ind(yt, yc, equal_var=False)
        if relative:
            estimate = mt / mc - 1
            vt, vc = vt / mc ** 2, vc * mt ** 2 / mc ** 4
        else:
            estimate = mt - mc
        se = math.sqrt(vt + vc)
        df = (vt + vc) ** 2 / (vt ** 2 / (nt - 1) + vc ** 2 / (nc - 1))
        p = 2 * stats.t.sf(abs(estimate) / se, df)
        if not relative:
            assert abs(welch.pvalue - p) <= 1e-12 + 1e-9 * p, (welch.pvalue, p)
            p = welch.pvalue
        q = quantile(alpha / 2, df)
        fixed = [estimate - q * se, estimate + q * se]
        entry = {"id": "g%d" % g, "units": nt, "control_units": nc, "mean": mt,
                 "control_mean": mc, "estimate": estimate, "standard_error": se,
                 "degrees_of_freedom": df, "cuped_theta": theta}
        if "sequential" in payload:
            # Waudby-Smith et al.: the Gaussian mixture boundary with rho tuned to N*;
            # sigma^2 = t Var(estimate), t the units of the two groups.
            t = nt + nc
            star = payload["sequential"]["expected_units"]
            rho2 = (-2 * math.log(alpha) + math.log(-2 * math.log(alpha) + 1)) / star
            sigma2 = t * se ** 2
            half = math.sqrt(2 * (t * rho2 + 1) / (t * t * rho2) * sigma2 *
                             math.log(math.sqrt(t * rho2 + 1) / alpha))
            # The smallest alpha' whose sequence (same rho) leaves out 0: |estimate| equals
            # the half width at alpha'.
            z2 = estimate ** 2 / se ** 2
            always = min(1.0, math.sqrt(t * rho2 + 1) * math.exp(-z2 * t * rho2 /
                                                                 (2 * (t * rho2 + 1))))
            entry.update({"ci": [estimate - half, estimate + half], "p_value": always,
                          "fixed_horizon": {"ci": fixed, "p_value": p}, "sequential": True})
        else:
            entry.update({"ci": fixed, "p_value": p, "sequential": False})
        out.append(entry)
    return out, theta


def main():
    orvexp = sys.argv[1]
    cases = int(sys.argv[2]) if len(sys.argv) > 2 else 50
    seed = int(sys.argv[3]) if len(sys.argv) > 3 else 20240
    rng = numpy.random.default_rng(seed)
    failures, figures, worst = 0, 0, (0.0, "")
    kinds = set()
    for case in range(cases):
        payload, values, control = draw_case(rng, case % 16)
        kinds.add((payload["metric"], payload["difference"], "covariate" in payload["groups"][0],
                   "sequential" in payload))
        run = subprocess.run([orvexp, "analyze"], input=json.dumps(payload), text=True,
                             capture_output=True, timeout=60)
        if run.returncode != 0:
            print("case %d: exit %d: %s" % (case, run.returncode, run.stderr.strip()))
            failures += 1
            continue
        ours = json.loads(run.stdout)
        theirs, theta = reference(payload, values, control)
        checks = [("cuped_theta", ours["cuped_theta"], theta, None)]
        for a, b in zip(ours["comparisons"], theirs):
            assert a["id"] == b["id"] and a["sequential"] == b["sequential"]
            assert a["units"] == b["units"] and a["control_units"] == b["control_units"]
            scale = b["standard_error"]
            for key in ("mean", "control_mean", "standard_error", "degrees_of_freedom",
                        "p_value", "cuped_theta"):
                checks.append((b["id"] + "." + key, a[key], b[key], None))
            checks.append((b["id"] + ".estimate", a["estimate"], b["estimate"], scale))
            for i in (0, 1):
                checks.append((b["id"] + ".ci[%d]" % i, a["ci"][i], b["ci"][i], scale))
            if b["sequential"]:
                fa, fb = a["fixed_horizon"], b["fixed_horizon"]
                checks.append((b["id"] + ".fixed_horizon.p_value", fa["p_value"],
                               fb["p_value"], None))
                for i in (0, 1):
                    checks.append((b["id"] + ".fixed_horizon.ci[%d]" % i, fa["ci"][i],
                                   fb["ci"][i], scale))
        if len(ours["comparisons"]) != len(theirs):
            print("case %d: %d comparisons, expected %d" % (case, len(ours["comparisons"]),
                                                            len(theirs)))
            failures += 1
        for name, a, b, scale in checks:
            if a is None or b is None:
                if a is not b:
                    print("case %d: %s: %r, expected %r" % (case, name, a, b))
                    failures += 1
                continue
            figures += 1
            gap = abs(a - b) / max(abs(b), scale or 0, 1e-300)
            if gap > worst[0]:
                worst = (gap, "case %d %s" % (case, name))
            if gap > TOLERANCE:
                print("case %d: %s: %r, SciPy %r (relative %.3g)" % (case, name, a, b, gap))
                failures += 1
    print("analyze_scipy: seed %d, %d cases (%d of the 16 kinds: metric x difference x "
          "covariate x sequential), %d figures; worst relative difference %.3g (%s)"
          % (seed, cases, len(kinds), figures, worst[0], worst[1]))
    print("%d passed, %d failed" % (figures - failures, failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
