#!/usr/bin/env python3
"""docs/readout.sql on the collector's store, as a warehouse would run it, against the
attribution rule computed here again from the events themselves.

A fleet of units, each its own processes as an application's would be: some record a
purchase before they are exposed (their covariate), every one is exposed by `orvexp
get` through `orvexp serve`, and then some record purchases (amounts) and signups
(counts). One unit is also exposed in the other group (left out). The SQL's rows must
equal, to the unit, what the documented rule gives on `orvexp events export`.

Usage: readout.py ORVEXP SOURCE_DIR WORK_DIR
"""
import concurrent.futures
import datetime
import json
import os
import selectors
import shutil
import sqlite3
import subprocess
import sys
import urllib.request

orvexp, source, work = sys.argv[1:4]
shutil.rmtree(work, ignore_errors=True)
os.makedirs(os.path.join(work, "payloads", "shop"))
failures = []
UNITS = 40
COVARIATE_WINDOW_MS = 14 * 24 * 3600 * 1000


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAILED: " + what, flush=True)


with open(os.path.join(work, "payloads", "shop", "ki_feature.json"), "w") as f:
    json.dump({"color": "grey", "experiment_detail": [
        {"#experiment_id": "checkout", "#feature_list": ["color"],
         "#groups": [{"id": "control", "weight": 50, "control": True},
                     {"id": "green", "weight": 50, "values": {"color": "green"}}]}]}, f)
db = os.path.join(work, "events.sqlite3")
server = subprocess.Popen([orvexp, "serve", "--dir", os.path.join(work, "payloads"), "--port",
                           "0", "--quiet", "--events", db], stdout=subprocess.PIPE, text=True)


def run(*args):
    done = subprocess.run([orvexp, *args], capture_output=True, text=True, timeout=300)
    check(done.returncode == 0, "%s: exit %d: %s" % (args[0], done.returncode, done.stderr))


def unit_life(i):
    unit, data = "u%d" % i, os.path.join(work, "d%d" % i)
    track = ["track", "--app", "shop", "--bucket-id", unit, "--data-dir", data,
             "--events-url", url]
    if i % 4 == 0:
        run(*track, "purchase", str(10 + i))  # before the exposure: the covariate
    run("get", "--app", "shop", "--server", url, "--bucket-id", unit, "--data-dir", data,
        "--events-url", url, "color")
    if i % 3 == 0:
        run(*track, "purchase", "%d.5" % i)
    if i % 7 == 0:
        run(*track, "purchase", "2")
    if i % 5 == 0:
        run(*track, "signup")


try:
    with selectors.DefaultSelector() as ready:
        ready.register(server.stdout, selectors.EVENT_READ)
        check(bool(ready.select(60)), "orvexp serve prints its address")
    url = server.stdout.readline().split()[-1]
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        list(pool.map(unit_life, range(UNITS)))
    # u1 is also exposed in the other group, later: it is left out of the readout.
    attributes = [{"key": k, "value": {"stringValue": v}} for k, v in (
        ("eventId", "mixed-u1"), ("appId", "shop"), ("#experiment_id", "checkout"),
        ("#experiment_group_id", "both"), ("feature_flag.context.id", "u1"))]
    body = {"resourceLogs": [{"scopeLogs": [{"logRecords": [{
        "timeUnixNano": "4102444800000000000", "eventName": "zu_experiment_exposure",
        "attributes": attributes}]}]}]}
    request = urllib.request.Request(url + "/v1/logs", json.dumps(body).encode(),
                                     {"Content-Type": "application/json"})
    with urllib.request.urlopen(request, timeout=60) as answer:
        check(answer.status == 200, "the extra exposure is stored")
finally:
    server.terminate()
    server.wait(timeout=60)

# --- the rule, again, on the events themselves ---------------------------------------
exported = subprocess.run([orvexp, "events", "export", "--events", db], capture_output=True,
                          text=True, check=True).stdout.splitlines()


def millis(text):
    stamp = datetime.datetime.strptime(text, "%Y-%m-%dT%H:%M:%S.%fZ")
    return round(stamp.replace(tzinfo=datetime.timezone.utc).timestamp() * 1000)


exposures, outcomes = {}, []
for line in exported:
    e = json.loads(line)
    unit = e.get("context", {}).get("unit")
    if e["name"] == "zu_experiment_exposure" and unit:
        exposures.setdefault(unit, []).append(
            (millis(e["time"]), e["properties"]["#experiment_group_id"]))
    elif e["name"] == "orv_outcome":
        outcomes.append((unit, e["properties"]["#outcome"], e["properties"]["#value"],
                         millis(e["time"])))
check(len(exposures) == UNITS, "every unit exposed once at least: %d" % len(exposures))
units = {u: (min(seen)[0], min(seen)[1]) for u, seen in exposures.items()
         if len({g for _, g in seen}) == 1}
check("u1" not in units and len(units) == UNITS - 1, "u1, in two groups, is left out")
names = {}
for unit, name, value, time in outcomes:
    if unit in units and time >= units[unit][0]:
        names[name] = names.get(name, True) and value == 1
expected = {}
for name, counts_only in names.items():
    for unit, (exposed, group) in units.items():
        value = sum(v for u, n, v, t in outcomes if u == unit and n == name and t >= exposed)
        covariate = sum(v for u, n, v, t in outcomes
                        if u == unit and n == name and exposed - COVARIATE_WINDOW_MS <= t < exposed)
        row = expected.setdefault((name, group), [int(counts_only), 0, 0, 0.0, 0.0, 0.0, 0.0, 0.0])
        row[1] += 1
        row[2] += value > 0
        row[3] += value
        row[4] += value * value
        row[5] += covariate
        row[6] += covariate * covariate
        row[7] += covariate * value
check(set(names) == {"purchase", "signup"} and not names["purchase"] and names["signup"],
      "purchase is an amount, signup a count: %s" % names)
check(any(r[5] > 0 for r in expected.values()), "some units carry a covariate")

rows = sqlite3.connect("file:%s?mode=ro" % db, uri=True).execute(
    open(os.path.join(source, "docs/readout.sql")).read()).fetchall()
got = {}
for (app, experiment, outcome, group, control, counts_only, n, converted, total, squares,
     cov_sum, cov_squares, cross, left_out) in rows:
    check(app == "shop" and experiment == "checkout" and left_out == 1
          and control == (group == "control"), "row %s" % (rows[0],))
    got[(outcome, group)] = [counts_only, n, converted, total, squares, cov_sum, cov_squares,
                             cross]
check(got == {k: [v[0], v[1], v[2], *v[3:]] for k, v in expected.items()},
      "docs/readout.sql gives the rule's statistics:\n  sql  %s\n  rule %s" % (got, expected))
# --- the SQL's rows piped into orvexp analyze give what orvexp report reads out ------
report = json.loads(subprocess.run([orvexp, "report", "--events", db, "--json"],
                                   capture_output=True, text=True).stdout)
readout = {o["outcome"]: o for r in report["readouts"] for o in r["outcomes"]}
check(set(readout) == set(names) and report["readouts"][0]["units_left_out"] == 1,
      "report reads out every outcome: %s" % sorted(readout))
for outcome in names:
    groups = []
    for (name, group), v in sorted(got.items()):
        if name != outcome:
            continue
        entry = {"id": group, "control": group == "control", "units": v[1]}
        if v[0]:  # counts only: the share of units converting
            entry["sum"] = v[2]
        else:
            entry.update(sum=v[3], sum_squares=v[4])
            if any(w[6] - w[5] ** 2 / w[1] > 0 for (n, _), w in got.items() if n == outcome):
                entry["covariate"] = {"sum": v[5], "sum_squares": v[6], "cross_sum": v[7]}
        groups.append(entry)
    request = {"alpha": 0.05, "metric": "proportion" if names[outcome] else "mean",
               "sequential": {"expected_units": 10000}, "groups": groups}
    done = subprocess.run([orvexp, "analyze"], input=json.dumps(request), capture_output=True,
                          text=True)
    check(done.returncode == 0, "analyze %s: %s" % (outcome, done.stderr))
    analyzed = json.loads(done.stdout)["comparisons"][0] if done.returncode == 0 else {}
    mine = readout.get(outcome, {}).get("comparisons", [{}])[0]
    check(all(analyzed.get(k) == mine.get(k) for k in ("estimate", "standard_error", "ci",
                                                        "p_value")),
          "%s: the SQL's rows through orvexp analyze %s, the report %s" % (outcome, analyzed, mine))

if failures:
    print("%d failures" % len(failures))
    sys.exit(1)
print("readout: %d units, %d outcome events; docs/readout.sql agrees" % (len(units), len(outcomes)))
