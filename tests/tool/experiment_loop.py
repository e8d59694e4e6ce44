#!/usr/bin/env python3
"""The experiment loop end to end, as its users run it: orvexp serve assigns groups and
collects exposures; real `orvexp get` processes (one data directory and bucket
identifier each) are the devices; `orvexp report`, GET /api/experiments and the page in
Debian's headless chromium must agree with each other, with the documented hash
computed here independently, and with scipy's chi-square test.

usage: experiment_loop.py ORVEXP SOURCE_DIR WORK_DIR [DEVICES]
Leaves WORK_DIR/page.png (the page with the alarm) and WORK_DIR/page.html.
Run it with Debian's /usr/bin/python3 (python3-scipy).
"""
import concurrent.futures
import hashlib
import html.parser
import json
import os
import shutil
import subprocess
import sys
import urllib.error
import urllib.request

from scipy import stats

orvexp, source, work = sys.argv[1], sys.argv[2], sys.argv[3]
devices = int(sys.argv[4]) if len(sys.argv) > 4 else 200
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAILED: " + what, flush=True)


shutil.rmtree(work, ignore_errors=True)
payloads = os.path.join(work, "payloads")
assigned_text = open(os.path.join(source, "examples/assigned-payload.json"), "rb").read()
assigned = json.loads(assigned_text)
static_text = open(os.path.join(source, "examples/payload.json"), "rb").read()
posted = {"experiment_detail": [
    {"#experiment_id": name, "#feature_list": ["x"],
     "#groups": [{"id": "1", "weight": 50, "control": True}, {"id": "2", "weight": 50}]}
    for name in ("even", "thinned", "lost")]}
for app, text in (("fleet-app", assigned_text), ("faulty-app", assigned_text),
                  ("static-app", static_text), ("posted-app", json.dumps(posted).encode())):
    os.makedirs(os.path.join(payloads, app))
    with open(os.path.join(payloads, app, "ki_feature.json"), "wb") as f:
        f.write(text)

events_db = os.path.join(work, "events.db")
server = subprocess.Popen([orvexp, "serve", "--dir", payloads, "--port", "0", "--events",
                           events_db, "--quiet"], stdout=subprocess.PIPE, text=True)
url = server.stdout.readline().split()[-1]


def request(path, body=None, headers=None, method=None):
    """(status, headers, body bytes) of one request to the server."""
    data = json.dumps(body).encode() if isinstance(body, (dict, list)) else body
    req = urllib.request.Request(url + path, data=data, method=method,
                                 headers={"Content-Type": "application/json", **(headers or {})})
    try:
        with urllib.request.urlopen(req, timeout=60) as res:
            return res.status, res.headers, res.read()
    except urllib.error.HTTPError as e:
        return e.code, e.headers, e.read()


# The documented assignment, computed independently of the server.
EXPERIMENT = "checkout-button"
GROUPS = assigned["experiment_detail"][0]["#groups"]


def group_of(experiment, unit, groups):
    digest = hashlib.md5(("%s/%s" % (experiment, unit)).encode()).hexdigest()
    point = int(digest[:16], 16) % sum(g["weight"] for g in groups)
    cumulative = 0
    for g in groups:
        cumulative += g["weight"]
        if point < cumulative:
            return g


def unit_name(i):
    return "device-%d" % i


# --- assignment by the server -------------------------------------------------------
FETCH = "/v1/remote-config/fetch"
greens = 0
for i in range(1, 2001):
    unit = unit_name(i)
    status, headers, body = request(FETCH, {"app_id": "fleet-app", "bucket_id": unit})
    payload = json.loads(body)
    want = group_of(EXPERIMENT, unit, GROUPS)
    entry = payload["experiment_detail"][0]
    ok = (status == 200 and entry["#experiment_group_id"] == want["id"]
          and entry["#is_control_group"] == want.get("control", False)
          and entry["bucket_id"] == unit
          and all(payload[k] == v for k, v in want.get("values", {}).items())
          and headers["ETag"] == '"%s"' % hashlib.md5(body).hexdigest())
    check(ok, "fetch for %s: %s %s" % (unit, status, body[:300]))
    greens += want["id"] == "green"
    if i <= 2:
        again = request(FETCH, {"app_id": "fleet-app", "bucket_id": unit},
                        {"If-None-Match": headers["ETag"]})
        check(again[0] == 304, "the same unit gets the same payload: If-None-Match gives 304")
        other = request(FETCH, {"app_id": "fleet-app", "bucket_id": unit + "x"},
                        {"If-None-Match": headers["ETag"]})
        check(other[0] == 200 and other[1]["ETag"] != headers["ETag"],
              "another unit's resolved payload has an ETag of its own")
# 2,000 units at 50/50: the green count is Binomial(2000, 0.5); 4 standard deviations.
check(abs(greens - 1000) < 4 * 22.4, "the hash splits 2,000 units near 50/50: %d green" % greens)
status, _, body = request(FETCH, {"app_id": "fleet-app", "fetch_params": {"unit_id": 42}})
check(json.loads(body)["experiment_detail"][0]["#experiment_group_id"]
      == group_of(EXPERIMENT, "42", GROUPS)["id"], "a unit from fetch_params.unit_id")
status, _, body = request(FETCH, {"app_id": "fleet-app"})
payload = json.loads(body)
check(payload["experiment_detail"] == [] and payload["button_color"] == "grey",
      "without a unit the experiment is left out: %s" % body)
status, headers, body = request(FETCH, {"app_id": "static-app", "bucket_id": "u"})
check(body == static_text and headers["ETag"] == '"%s"' % hashlib.md5(static_text).hexdigest(),
      "a payload without groups is served byte for byte")

# --- devices: separate processes, each its own data directory and bucket id ---------


def run_device(app, i, exports):
    args = [orvexp, "get", "--app", app, "--server", url, "--data-dir",
            os.path.join(work, "devices", app, str(i)), "--bucket-id", unit_name(i),
            "--timeout", "60", "--json", "button_color"]
    args += ["--events-url", url] if exports else [
        "--events", os.path.join(work, "devices", app, "%d.dropped" % i)]
    done = subprocess.run(args, capture_output=True, text=True, timeout=300)
    return done.returncode, done.stdout, done.stderr


def run_fleet(app, exports, count):
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        futures = {i: pool.submit(run_device, app, i, exports(i)) for i in range(1, count + 1)}
    counts = {}
    for i, future in futures.items():
        code, out, err = future.result()
        want = group_of(EXPERIMENT, unit_name(i), GROUPS)
        read = json.loads(out.splitlines()[-1]) if out else {}
        check(code == 0 and read.get("string") == want["values"]["button_color"],
              "device %d of %s read %s (exit %d): %s" % (i, app, out, code, err))
        if exports(i):
            counts[want["id"]] = counts.get(want["id"], 0) + 1
    return counts


def report():
    done = subprocess.run([orvexp, "report", "--events", events_db, "--dir", payloads, "--json"],
                          capture_output=True, text=True, timeout=120)
    return done.returncode, {(e["app_id"], e["experiment_id"]): e
                             for e in json.loads(done.stdout)["experiments"]}


def observed(entry):
    return {g["group_id"]: g["exposures"] for g in entry["groups"]}


healthy = run_fleet("fleet-app", lambda i: True, devices)


def faulty_exports(i):
    """Every other device of group green never exports: half its exposures are lost."""
    if group_of(EXPERIMENT, unit_name(i), GROUPS)["id"] != "green":
        return True
    return i not in dropped


# Twice as many devices: at 200, losing half of one group is not always below p = 0.001
# (91 : 55 here at 200 devices gives p = 0.0029); at 400 it is, whatever the noise.
dropped = set([i for i in range(1, 2 * devices + 1)
               if group_of(EXPERIMENT, unit_name(i), GROUPS)["id"] == "green"][1::2])
faulty = run_fleet("faulty-app", faulty_exports, 2 * devices)
code, reported = report()
fleet = reported.get(("fleet-app", EXPERIMENT), {})
check(observed(fleet) == healthy and not fleet.get("alarm") and fleet.get("judged"),
      "the healthy fleet: counts %s, no alarm: %s" % (healthy, fleet))
bad = reported.get(("faulty-app", EXPERIMENT), {})
check(observed(bad) == faulty and bad.get("alarm"),
      "the faulty fleet: counts %s, alarm: %s" % (faulty, bad))
check(code == 7, "report exits 7 when an experiment is in alarm (got %d)" % code)
print("healthy fleet %s p=%s; faulty fleet %s p=%s" % (
    healthy, fleet.get("p_value"), faulty, bad.get("p_value")), flush=True)

# --- exposures posted straight to the collector: 1000 : 1000 and 1000 : 880 -------------


def post_exposures(experiment, counts):
    records = []
    for group, n in counts.items():
        for k in range(n):
            attributes = [{"key": "eventId", "value": {"stringValue": "%s-%s-%d" % (experiment, group, k)}},
                          {"key": "appId", "value": {"stringValue": "posted-app"}},
                          {"key": "#experiment_id", "value": {"stringValue": experiment}},
                          {"key": "#experiment_group_id", "value": {"stringValue": group}},
                          {"key": "#is_control_group", "value": {"boolValue": group == "1"}}]
            records.append({"timeUnixNano": str(1_780_000_000_000_000_000 + k * 1_000_000_000),
                            "eventName": "zu_experiment_exposure", "attributes": attributes})
    for start in range(0, len(records), 500):
        body = {"resourceLogs": [{"scopeLogs": [{"logRecords": records[start:start + 500]}]}]}
        status, _, answer = request("/v1/logs", body)
        check(status == 200 and json.loads(answer) == {}, "posting: %s %s" % (status, answer))


post_exposures("even", {"1": 1000, "2": 1000})
post_exposures("thinned", {"1": 1000, "2": 880})
post_exposures("lost", {"1": 1000, "2": 850})
post_exposures("thinned", {"1": 10})  # the same eventIds again: stored once

# --- the API, the report and scipy ----------------------------------------------------
status, _, body = request("/api/experiments")
api = {(e["app_id"], e["experiment_id"]): e for e in json.loads(body)["experiments"]}
code, reported = report()
for key, entry in api.items():
    mine = reported.get(key, {})
    check(all(entry[k] == mine.get(k) for k in mine if k != "series"),
          "report and API agree on %s" % (key,))
    counts = observed(entry)
    shares = {g["group_id"]: g["intended_share"] for g in entry["groups"]}
    total = sum(counts.values())
    ids = [g for g in counts if shares[g] > 0]
    reference = stats.chisquare([counts[g] for g in ids], [shares[g] * total for g in ids])
    check(abs(entry["chi_square"] - reference.statistic) <= 1e-9 * max(1, reference.statistic)
          and abs(entry["p_value"] - reference.pvalue) <= 1e-9,
          "%s: chi-square %s p %s, scipy %s %s" % (key, entry["chi_square"], entry["p_value"],
                                                   reference.statistic, reference.pvalue))
check(not api[("posted-app", "even")]["alarm"], "1000 : 1000 at 50/50 is no alarm")
# 1000 : 880 is p = 0.0057: worth watching, above the alarm threshold of 0.001.
thinned = api[("posted-app", "thinned")]
check(not thinned["alarm"] and thinned["verdict"].startswith("No alarm yet, but watch it")
      and observed(thinned) == {"1": 1000, "2": 880},
      "1000 : 880 at 50/50 asks to watch, each eventId counted once: %s" % thinned)
check(api[("posted-app", "lost")]["alarm"], "1000 : 850 at 50/50 is an alarm")
check(api[("posted-app", "thinned")]["intended_from"] == "server",
      "the intended split comes from the weights the server serves")

# The documented SQL runs unchanged on the collector's file and gives the same numbers
# (every experiment here is split in equal shares).
import sqlite3  # noqa: E402

rows = sqlite3.connect("file:%s?mode=ro" % events_db, uri=True).execute(
    open(os.path.join(source, "docs/srm.sql")).read()).fetchall()
by_experiment = {}
for app, experiment, group, control, exposures, share, intended, chi_square, df in rows:
    by_experiment.setdefault((app, experiment), []).append((group, exposures, chi_square, df))
for key, entry in api.items():
    sql = by_experiment.get(key, [])
    check(sorted((g, n) for g, n, _, _ in sql) == sorted(observed(entry).items())
          and all(abs(c - entry["chi_square"]) <= 1e-9 * max(1, c) and d == entry["degrees_of_freedom"]
                  for _, _, c, d in sql),
          "docs/srm.sql on the collector's file agrees with the API on %s: %s" % (key, sql))

# --- the page in a real browser -----------------------------------------------------


class Sections(html.parser.HTMLParser):
    """The data- attributes of every experiment section and its rows, and the page's
    references to anything outside it."""

    def __init__(self):
        super().__init__()
        self.sections, self.outside, self.verdicts, self._in_verdict = [], [], [], False

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if tag == "section":
            self.sections.append({"attrs": a, "rows": []})
        elif tag == "tr" and "data-group" in a:
            self.sections[-1]["rows"].append(a)
        elif tag == "p" and "verdict" in a.get("class", ""):
            self._in_verdict = True
            self.verdicts.append("")
        for name in ("src", "href"):
            if name in a and (a[name].startswith("//") or ":" in a[name].split("/")[0]):
                self.outside.append(a[name])
        if tag in ("script", "link", "img", "iframe", "object"):
            self.outside.append(tag)

    def handle_endtag(self, tag):
        if tag == "p":
            self._in_verdict = False

    def handle_data(self, data):
        if self._in_verdict:
            self.verdicts[-1] += data


browser = shutil.which("chromium")
check(browser is not None, "Debian's chromium is installed")
flags = ["--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
         "--user-data-dir=" + os.path.join(work, "chromium")]
dom = subprocess.run([browser, *flags, "--dump-dom", url + "/"], capture_output=True,
                     text=True, timeout=120).stdout
open(os.path.join(work, "page.html"), "w").write(dom)
page = Sections()
page.feed(dom)
check(not page.outside, "the page loads nothing from outside: %s" % page.outside)
shown = {(s["attrs"]["data-app"], s["attrs"]["data-experiment"]): s for s in page.sections}
check(set(shown) == set(api), "the page shows every experiment: %s" % sorted(shown))
for key, s in shown.items():
    entry = api.get(key)
    if not entry:
        continue
    a = s["attrs"]
    check(a["data-alarm"] == str(entry["alarm"]).lower() and int(a["data-total"]) == entry["total"]
          and float(a["data-p-value"]) == entry["p_value"]
          and float(a["data-chi-square"]) == entry["chi_square"],
          "page and API agree on %s: %s" % (key, a))
    rows = {r["data-group"]: (int(r["data-exposures"]), float(r["data-share"]),
                              float(r["data-intended-share"])) for r in s["rows"]}
    check(rows == {g["group_id"]: (g["exposures"], g["share"], g["intended_share"])
                   for g in entry["groups"]}, "page rows of %s: %s" % (key, rows))
alarms = [v for v in page.verdicts if "mismatch" in v.lower() and v.startswith("Alarm")]
check(len(alarms) == sum(1 for e in api.values() if e["alarm"]),
      "the alarm in plain words, once per experiment in alarm: %s" % page.verdicts)
subprocess.run([browser, *flags, "--window-size=900,1800",
                "--screenshot=" + os.path.join(work, "page.png"),
                url + "/experiments/lost"], capture_output=True, timeout=120)
check(os.path.getsize(os.path.join(work, "page.png")) > 10000, "a screenshot of the page")

# --- only the documented routes exist ----------------------------------------------
for method, path in (("GET", "/other"), ("GET", "/v1/logs"), ("PUT", "/"),
                     ("DELETE", "/api/experiments"), ("GET", "/experiments/nope")):
    status = request(path, b"" if method != "GET" else None, method=method)[0]
    check(status in (404, 405), "%s %s is not served (%d)" % (method, path, status))

server.terminate()
check(server.wait(timeout=60) == 0, "serve stops on SIGTERM")
print("screenshot: " + os.path.join(work, "page.png"))
print("%d failures" % len(failures))
sys.exit(1 if failures else 0)
