#!/usr/bin/env python3
"""The readout of an experiment's outcome, end to end, on fleets of real processes.

orvexp serve assigns each unit to control or green (50/50, examples/assigned-payload.json)
and collects the events. Every unit is an `orvexp get` of its own (data directory and
bucket id), which reads the experiment's feature and exports its exposure; then, from the
group it was shown, a seeded Bernoulli draw decides whether it converts, and a converting
unit records it with `orvexp track ... purchase` in the same data directory. Two fleets:
500 units where green converts twice as often as control, 300 where both convert
alike.

`orvexp report --json` must then read out what the script itself did: each group's units
and conversions exactly, green above control in the first fleet with the true lift inside
its always-valid interval, no difference in the second. The fixed-horizon Welch interval
and p-value (`--fixed-horizon`) are computed again here with SciPy from the units' values,
and the always-valid interval from its formula, each to a relative 1e-9. The API
(/api/experiments, tuned to the same units) gives the report's readout, and the page in
Debian's headless chromium shows its lift, interval and verdict; WORK_DIR/readout.png is
the first fleet's page.

usage: readout_fleet.py ORVEXP SOURCE_DIR WORK_DIR [short]
`short` (sanitizer builds, where a process costs ten times as much): 200 units a fleet;
the check that the first fleet shows its lift is left out (at that size it would not,
see POWER below), every other check is kept.
Run it with Debian's /usr/bin/python3 (python3-scipy).

Every wait is for an event (a line printed, a process ending) and none has a length of
its own: each may take whatever is left of the run's time, which ends before CTest's
TIMEOUT so that on a machine too slow for it the run still ends by itself, naming the
step it was at, and stops the server.
"""
import concurrent.futures
import html.parser
import json
import math
import os
import random
import shutil
import subprocess
import sys
import urllib.request

import run_budget

# SciPy takes seconds to import on a busy machine, and is needed only after the fleets.
numpy = run_budget.LateImport("numpy")
stats = run_budget.LateImport("scipy.stats")
optimize = run_budget.LateImport("scipy.optimize")

orvexp, source, work = sys.argv[1], sys.argv[2], sys.argv[3]
short = len(sys.argv) > 4 and sys.argv[4] == "short"
# CTest's TIMEOUT for this test is 600 s; what is left after this is for stopping.
RUN_SECONDS = 570
# Units at once, each a get and maybe a track, one after the other. The server answers a
# client's ninth connection (every one here is 127.0.0.1's) with 503: four leave room for
# the connections of processes that have just ended.
PARALLEL_UNITS = 4
SEED = 20240611
EXPERIMENT = "checkout-button"
OUTCOME = "purchase"
ALPHA = 0.05
# The design. At 1,000 units, 10% against 15% (a relative lift of 0.5), the always-valid
# interval tuned to the default 10,000 units leaves out 0 with a probability of 0.03 (0.14
# tuned to 1,000): a lift that size in a rare outcome needs about 7,600 units to show
# reliably, more processes than this test can afford. So a larger lift at higher rates,
# 40% against 80% (a relative lift of 1.0), over 500 units, with the interval tuned to
# that size: its POWER, the probability that it leaves out 0, is 0.998 by the normal
# approximation (scipy.stats.norm: the lift is 5.98 standard errors by the delta method,
# the interval's half width 3.04), and every one of 200,000 simulated fleets did. The
# chance that the interval misses the true lift, and that the fleet with no effect shows
# one, is 0.0024 each.
UNITS = 200 if short else 500
FLEETS = {
    "lift-app": {"control": 0.40, "green": 0.80},
    "null-app": {"control": 0.40, "green": 0.40},
}
# The fleet with no effect needs no power: its checks (the interval holds 0, no
# difference in words, every figure computed again) hold at any size, so it runs fewer
# processes. Both readouts stay tuned to UNITS.
FLEET_UNITS = {"lift-app": UNITS, "null-app": UNITS if short else 300}
budget = run_budget.Budget(RUN_SECONDS)
check, elapsed, left, run, failures = (budget.check, budget.elapsed, budget.left, budget.run,
                                       budget.failures)
remover = run_budget.fresh(work)
payload_text = open(os.path.join(source, "examples/assigned-payload.json"), "rb").read()
payload = json.loads(payload_text)
entry = payload["experiment_detail"][0]
FEATURE = entry["#feature_list"][0]
check(entry["#experiment_id"] == EXPERIMENT
      and [(g["id"], g["weight"], g.get("control", False)) for g in entry["#groups"]]
      == [("control", 50, True), ("green", 50, False)],
      "examples/assigned-payload.json splits %s 50/50 between control and green: %s"
      % (EXPERIMENT, entry))
events_db = os.path.join(work, "events.db")
url = budget.serve(orvexp, {app: payload_text for app in FLEETS}, events_db)
server = budget.server

# Each unit's draw, made before any process runs and in a fixed order, so that which unit
# converts depends on the seed and the group it is shown, never on the order the units
# happen to finish in.
rng = random.Random(SEED)
draws = {(app, i): rng.random() for app in FLEETS for i in range(FLEET_UNITS[app])}


def unit_name(app, i):
    return "%s-unit-%d" % (app.split("-")[0], i)


def unit_life(app, i):
    """One unit: exposed by get, then maybe converting. (group, converted, problem)."""
    unit, data = unit_name(app, i), os.path.join(work, "units", app, str(i))
    doing = "unit %s" % unit
    # --timeout bounds start-up and, again, the delivery of the event at exit.
    timeout = "%d" % min(86400, max(1, left(doing) / 3))
    done = run([orvexp, "get", "--app", app, "--server", url, "--data-dir", data,
                "--bucket-id", unit, "--events-url", url, "--timeout", timeout, "--detail",
                "--json", FEATURE], doing)
    try:
        shown = json.loads(done.stdout.splitlines()[-1])["experiment"]
    except (IndexError, KeyError, ValueError):
        shown = {}
    group = shown.get("group_id")
    if done.returncode != 0 or shown.get("bucket_id") != unit or group not in FLEETS[app]:
        return None, False, "get as %s: exit %d, %s %s" % (unit, done.returncode,
                                                           done.stdout.strip(), done.stderr)
    converted = draws[(app, i)] < FLEETS[app][group]
    if converted:
        done = run([orvexp, "track", "--app", app, "--bucket-id", unit, "--data-dir", data,
                    "--events-url", url, "--timeout", timeout, OUTCOME], doing)
        if done.returncode != 0:
            return group, converted, "track as %s: exit %d, %s" % (unit, done.returncode,
                                                                   done.stderr)
    return group, converted, None


started = elapsed()
with concurrent.futures.ThreadPoolExecutor(PARALLEL_UNITS) as pool:
    lives = {(app, i): pool.submit(unit_life, app, i)
             for i in range(UNITS) for app in FLEETS if i < FLEET_UNITS[app]}
# values[app][group]: one 0 or 1 per unit of the group, as the script made them.
values = {app: {group: [] for group in rates} for app, rates in FLEETS.items()}
processes = 0
for (app, i), life in lives.items():
    group, converted, problem = life.result()
    check(problem is None, problem or "")
    if group:
        values[app][group].append(int(converted))
        processes += 1 + converted
print("%d units, %d processes in %.1f s" % (len(lives), processes, elapsed() - started),
      flush=True)


def report(*options):
    return run([orvexp, "report", "--events", events_db, "--expected-units", str(UNITS),
                *options], "running orvexp report %s" % " ".join(options))


done = report("--json")
check(done.returncode == 0, "report exits 0, no experiment in alarm: exit %d, %s"
      % (done.returncode, done.stderr))
reported = json.loads(done.stdout)
done = report("--json", "--fixed-horizon")
check(done.returncode == 0, "report --fixed-horizon exits 0: %s" % done.stderr)
fixed_reported = json.loads(done.stdout)
text = report().stdout


def outcome_of(answer, app):
    for r in answer["readouts"]:
        if r["app_id"] == app and r["experiment_id"] == EXPERIMENT:
            for o in r["outcomes"]:
                if o["outcome"] == OUTCOME:
                    return r, o
    return {}, {}


for app in FLEETS:
    srm = [e for e in reported["experiments"] if e["app_id"] == app]
    check(len(srm) == 1 and not srm[0]["alarm"]
          and {g["group_id"]: g["exposures"] for g in srm[0]["groups"]}
          == {g: len(v) for g, v in values[app].items()},
          "%s: one exposure per unit, no mismatch: %s" % (app, srm))


def quantile(upper_tail, df):
    """Student's t quantile: SciPy's isf, refined on its tail (isf alone is good to about
    1e-9, the tail to 1e-15)."""
    rough = stats.t.isf(upper_tail, df)
    return optimize.brentq(lambda q: stats.t.sf(q, df) - upper_tail, rough * (1 - 1e-6),
                           rough * (1 + 1e-6), xtol=1e-300, rtol=1e-15)


def welch_relative(treated, control):
    """The relative lift of the treated mean over control's, its delta-method standard
    error, Satterthwaite's degrees of freedom for that weighted sum of variances, and the
    fixed-horizon interval and p-value, from the units' values."""
    yt, yc = numpy.array(treated, dtype=float), numpy.array(control, dtype=float)
    mt, mc = yt.mean(), yc.mean()
    vt = yt.var(ddof=1) / len(yt) / mc ** 2
    vc = yc.var(ddof=1) / len(yc) * mt ** 2 / mc ** 4
    estimate, se = mt / mc - 1, math.sqrt(vt + vc)
    df = (vt + vc) ** 2 / (vt ** 2 / (len(yt) - 1) + vc ** 2 / (len(yc) - 1))
    q = quantile(ALPHA / 2, df)
    return {"estimate": estimate, "standard_error": se, "df": df,
            "ci": [estimate - q * se, estimate + q * se],
            "p_value": 2 * stats.t.sf(abs(estimate) / se, df)}


def always_valid(estimate, se, units):
    """The Gaussian-mixture confidence sequence's interval and p-value at `units`, tuned
    to UNITS (Waudby-Smith, Arbour, Sinha, Kennedy and Ramdas, 2024), written out again."""
    rho2 = (-2 * math.log(ALPHA) + math.log(-2 * math.log(ALPHA) + 1)) / UNITS
    v = units * rho2
    half = se * math.sqrt(2 * (v + 1) / v * math.log(math.sqrt(v + 1) / ALPHA))
    z2 = (estimate / se) ** 2
    return [estimate - half, estimate + half], min(1.0, math.sqrt(v + 1) * math.exp(
        -z2 * v / (2 * (v + 1))))


def close(a, b, scale):
    return isinstance(a, (int, float)) and abs(a - b) <= 1e-9 * max(abs(b), scale)


def percent(x):
    return "%+.1f%%" % (100 * x)


for app, rates in FLEETS.items():
    true_lift = rates["green"] / rates["control"] - 1
    readout, purchase = outcome_of(reported, app)
    fixed_readout, fixed = outcome_of(fixed_reported, app)
    if not check(purchase and fixed and not purchase.get("error"),
                 "%s: a readout of %s: %s" % (app, OUTCOME, readout)):
        continue
    # Each group's units and conversions, exactly as the units were run.
    mine = {g: (len(v), sum(v)) for g, v in values[app].items()}
    theirs = {g["group_id"]: (g["units"], g["value"], g["control"]) for g in purchase["groups"]}
    check(purchase["metric"] == "proportion" and readout["units_left_out"] == 0
          and theirs == {g: (n, k / n, g == "control") for g, (n, k) in mine.items()},
          "%s: each group's units and share converting, as run: report %s, units %s"
          % (app, theirs, mine))
    comparison = purchase["comparisons"][0] if purchase["comparisons"] else {}
    fixed_comparison = fixed["comparisons"][0] if fixed["comparisons"] else {}
    reference = welch_relative(values[app]["green"], values[app]["control"])
    scale = reference["standard_error"]
    check(fixed_readout.get("sequential") is False and fixed_comparison.get("group_id") == "green"
          and close(fixed_comparison.get("estimate"), reference["estimate"], scale)
          and close(fixed_comparison.get("standard_error"), scale, 0)
          and all(close(a, b, scale) for a, b in zip(fixed_comparison.get("ci", []),
                                                     reference["ci"]))
          and len(fixed_comparison.get("ci", [])) == 2
          and close(fixed_comparison.get("p_value"), reference["p_value"], 0),
          "%s: the fixed-horizon readout is Welch's (SciPy): report %s, SciPy %s"
          % (app, fixed_comparison, reference))
    ci, p = always_valid(reference["estimate"], scale, sum(n for n, _ in mine.values()))
    check(readout.get("sequential") is True
          and comparison.get("group_id") == "green"
          and all(close(a, b, scale) for a, b in zip(comparison.get("ci", []), ci))
          and len(comparison.get("ci", [])) == 2 and close(comparison.get("p_value"), p, 0)
          and all(close(a, b, scale) for a, b in zip(comparison.get("fixed_ci", []),
                                                     reference["ci"]))
          and close(comparison.get("fixed_p_value"), reference["p_value"], 0),
          "%s: the always-valid readout, computed again: report %s, here %s p %s"
          % (app, comparison, ci, p))
    low, high = comparison.get("ci", [math.nan, math.nan])
    verdict = comparison.get("verdict", "")
    check(low <= true_lift <= high, "%s: the interval %s to %s holds the true lift %s"
          % (app, percent(low), percent(high), percent(true_lift)))
    if true_lift == 0:
        check(verdict.startswith("no difference shown yet between green and control on "
                                 + OUTCOME), "%s: no difference, in words: %s" % (app, verdict))
    elif not short:
        check(low > 0 and verdict.startswith("green raises %s by " % OUTCOME),
              "%s: green above control, in words: %s" % (app, verdict))
    check(verdict and ("      " + verdict) in text.splitlines(),
          "%s: the text report says it too:\n%s" % (app, text))
    print("%s (seed %d, true rates control %.2f green %.2f, lift %s): " % (
        app, SEED, rates["control"], rates["green"], percent(true_lift))
        + ", ".join("%s %d of %d converted (%.2f%%)" % (g, k, n, 100 * k / n)
                    for g, (n, k) in mine.items()), flush=True)
    print("  lift %s; always-valid 95%% (tuned to %d units) %s to %s, p = %.3g; fixed horizon "
          "%s to %s, p = %.3g (SciPy %s to %s, p = %.3g)" % (
              percent(comparison.get("estimate", math.nan)), UNITS, percent(low), percent(high),
              comparison.get("p_value", math.nan), percent(fixed_comparison["ci"][0]),
              percent(fixed_comparison["ci"][1]), fixed_comparison["p_value"],
              percent(reference["ci"][0]), percent(reference["ci"][1]), reference["p_value"]),
          flush=True)
    print("  " + verdict, flush=True)

print(text, end="", flush=True)

# --- the page and the API read out the same, tuned to the same units -----------------
class Readout(html.parser.HTMLParser):
    """The readout's rows (their data- attributes), its verdicts and anything loaded."""

    def __init__(self):
        super().__init__()
        self.rows, self.verdicts, self.outside, self._verdict = [], [], [], None

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if tag == "tr" and "data-estimate" in a:
            self.rows.append(a)
        if tag == "p" and "data-group" in a:
            self._verdict = ""
        if tag in ("script", "img", "link", "iframe") or (tag != "a" and a.get("src")):
            self.outside.append(tag)

    def handle_endtag(self, tag):
        if tag == "p" and self._verdict is not None:
            self.verdicts.append(self._verdict)
            self._verdict = None

    def handle_data(self, data):
        if self._verdict is not None:
            self._verdict += data


browser = shutil.which("chromium")
check(browser is not None, "Debian's chromium is installed")
flags = ["--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
         "--user-data-dir=" + os.path.join(work, "chromium")]
tuning = "expected_units=%d" % UNITS
for app in FLEETS:
    _, purchase = outcome_of(reported, app)
    with urllib.request.urlopen("%s/api/experiments?app=%s&%s" % (url, app, tuning),
                                timeout=left("asking the API")) as answer:
        listed = json.load(answer)["experiments"]
    api = listed[0]["readout"]["outcomes"][0] if listed and listed[0]["readout"] else {}
    check(api == purchase, "%s: the API's readout is the report's:\n  api    %s\n  report %s"
          % (app, api, purchase))
    page_url = "%s/apps/%s/experiments/%s?%s" % (url, app, EXPERIMENT, tuning)
    dom = subprocess.run([browser, *flags, "--dump-dom", page_url], capture_output=True,
                         text=True, timeout=left("dumping the page in chromium")).stdout
    page = Readout()
    page.feed(dom)
    comparison = api.get("comparisons", [{}])[0]
    shown = [(r["data-group"], float(r["data-estimate"]), float(r["data-low"]),
              float(r["data-high"])) for r in page.rows]
    check(not page.outside and shown == [("green", comparison.get("estimate"),
                                          *comparison.get("ci", [None, None]))],
          "%s: the page shows the API's lift and interval: %s" % (app, shown))
    words = comparison.get("verdict", "")
    check(words and any(v.startswith(words[0].upper() + words[1:]) for v in page.verdicts),
          "%s: the page's verdict is the API's: %s" % (app, page.verdicts))
    if app == next(iter(FLEETS)):
        shot = os.path.join(work, "readout.png")
        subprocess.run([browser, *flags, "--window-size=900,1500", "--screenshot=" + shot,
                        page_url], capture_output=True, timeout=left("taking the screenshot"))
        check(os.path.getsize(shot) > 10000 if os.path.exists(shot) else False,
              "a screenshot of the readout")
        print("screenshot: " + shot, flush=True)

server.terminate()
check(server.wait(timeout=left("stopping the server")) == 0, "serve stops on SIGTERM")
remover.wait(timeout=left("removing the last run's files"))
print("%d failures in %.1f s%s" % (len(failures), elapsed(), " (short)" if short else ""))
sys.exit(1 if failures else 0)
