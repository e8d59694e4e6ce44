#!/usr/bin/env python3
"""The experiment loop end to end, as its users run it: orvexp serve assigns groups and
collects exposures; real `orvexp get` processes (one data directory and bucket
identifier each) are the devices; `orvexp report`, GET /api/experiments and the page in
Debian's headless chromium must agree with each other, with the documented hash
computed here independently, and with scipy's chi-square test.

usage: experiment_loop.py ORVEXP SOURCE_DIR WORK_DIR [DEVICES]
Leaves WORK_DIR/page.png (the page with the alarm) and WORK_DIR/page.html.
Run it with Debian's /usr/bin/python3 (python3-scipy).

Every wait is for an event (a line printed, a process or a request ending), and none
has a length of its own: each may take whatever is left of the run's time, which ends
before CTest's TIMEOUT so that on a machine too slow for it the run still ends by
itself, naming the step it was at, and stops the server.
"""
import concurrent.futures
import hashlib
import html.parser
import http.client
import json
import os
import shutil
import subprocess
import sys
import threading
import urllib.parse

import run_budget

# scipy takes seconds to import on a busy machine, and is needed only after the devices.
stats = run_budget.LateImport("scipy.stats")

orvexp, source, work = sys.argv[1], sys.argv[2], sys.argv[3]
devices = int(sys.argv[4]) if len(sys.argv) > 4 else 200
# CTest's TIMEOUT for this test is 600 s; what is left after this is for the report.
RUN_SECONDS = 570
# Devices at once. Each holds one connection at a time (fetch, then OTLP), and the server
# answers a client's ninth connection (every one here is 127.0.0.1's) with 503: four
# leave room for the connections of devices that have just ended, which the server
# counts until its thread for each has seen it closed, later on a busy machine.
PARALLEL_DEVICES = 4
budget = run_budget.Budget(RUN_SECONDS)
check, elapsed, left, run, failures = (budget.check, budget.elapsed, budget.left, budget.run,
                                       budget.failures)
remover = run_budget.fresh(work)
payloads = os.path.join(work, "payloads")  # where budget.serve writes them
assigned_text = open(os.path.join(source, "examples/assigned-payload.json"), "rb").read()
assigned = json.loads(assigned_text)
static_text = open(os.path.join(source, "examples/payload.json"), "rb").read()
posted = {"experiment_detail": [
    {"#experiment_id": name, "#feature_list": ["x"],
     "#groups": [{"id": "1", "weight": 50, "control": True}, {"id": "2", "weight": 50}]}
    for name in ("even", "thinned", "lost")]}
# The healthy fleet's experiment is split 90/10: judged against equal shares it would be
# a false alarm, so its verdict shows that the split travels with its exposures.
ninety = json.loads(assigned_text)
for g, weight in zip(ninety["experiment_detail"][0]["#groups"], (90, 10)):
    g["weight"] = weight
events_db = os.path.join(work, "events.db")
url = budget.serve(orvexp, {"fleet-app": json.dumps(ninety).encode(), "faulty-app": assigned_text,
                            "static-app": static_text, "posted-app": json.dumps(posted).encode()},
                   events_db)
server = budget.server
address = urllib.parse.urlsplit(url)
connections = threading.local()
opened = []  # every thread's connection, for close_connections


def request(path, body=None, headers=None, method=None):
    """(status, headers, body bytes) of one request to the server, over a connection the
    thread keeps. The server ends a connection after a few requests or seconds idle, and
    every request here may be sent twice, so one found closed is opened again, once."""
    data = json.dumps(body).encode() if isinstance(body, (dict, list)) else body
    for attempt in (1, 2):
        seconds = left("requesting %s" % path)
        if getattr(connections, "one", None) is None:
            connections.one = http.client.HTTPConnection(address.hostname, address.port)
        connection = connections.one
        if connection not in opened:
            opened.append(connection)
        connection.timeout = seconds
        if connection.sock:
            connection.sock.settimeout(seconds)
        try:
            connection.request(method or ("POST" if data is not None else "GET"), path, data,
                               {"Content-Type": "application/json", **(headers or {})})
            res = connection.getresponse()
            return res.status, res.headers, res.read()
        except (http.client.RemoteDisconnected, ConnectionResetError, BrokenPipeError):
            connection.close()
            connections.one = None
            if attempt == 2:
                raise


def close_connections():
    """Gives every thread's connection back: while devices run, the server's room for
    this client is theirs. (A connection used again opens again.)"""
    while opened:
        opened.pop().close()


# The documented assignment, computed independently of the server.
EXPERIMENT = "checkout-button"
GROUPS = assigned["experiment_detail"][0]["#groups"]  # 50/50: the faulty fleet's
FLEET_GROUPS = ninety["experiment_detail"][0]["#groups"]  # 90/10: the healthy fleet's
GROUPS_OF = {"fleet-app": FLEET_GROUPS, "faulty-app": GROUPS}


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


def check_unit(i):
    """Fetches as unit i and checks its assignment; 1 when it is in group green."""
    unit = unit_name(i)
    status, headers, body = request(FETCH, {"app_id": "fleet-app", "bucket_id": unit})
    payload = json.loads(body)
    want = group_of(EXPERIMENT, unit, FLEET_GROUPS)
    entry = payload["experiment_detail"][0]
    ok = (status == 200 and entry["#experiment_group_id"] == want["id"]
          and entry["#is_control_group"] == want.get("control", False)
          and entry["bucket_id"] == unit
          and all(payload[k] == v for k, v in want.get("values", {}).items())
          and headers["ETag"] == '"%s"' % hashlib.md5(body).hexdigest())
    check(ok, "fetch for %s: %s %s" % (unit, status, body[:300]))
    if i <= 2:
        again = request(FETCH, {"app_id": "fleet-app", "bucket_id": unit},
                        {"If-None-Match": headers["ETag"]})
        check(again[0] == 304, "the same unit gets the same payload: If-None-Match gives 304")
        other = request(FETCH, {"app_id": "fleet-app", "bucket_id": unit + "x"},
                        {"If-None-Match": headers["ETag"]})
        check(other[0] == 200 and other[1]["ETag"] != headers["ETag"],
              "another unit's resolved payload has an ETag of its own")
    return int(want["id"] == "green")


# One request after another, each a round trip through the server's threads: on a busy
# machine most of their time is waiting to be scheduled, so they go four at a time.
with concurrent.futures.ThreadPoolExecutor(4) as pool:
    greens = sum(pool.map(check_unit, range(1, 2001)))
close_connections()
# 2,000 units at 90/10: the green count is Binomial(2000, 0.1); 4 standard deviations.
check(abs(greens - 200) < 4 * 13.4, "the hash splits 2,000 units near 90/10: %d green" % greens)
status, _, body = request(FETCH, {"app_id": "fleet-app", "fetch_params": {"unit_id": 42}})
check(json.loads(body)["experiment_detail"][0]["#experiment_group_id"]
      == group_of(EXPERIMENT, "42", FLEET_GROUPS)["id"], "a unit from fetch_params.unit_id")
status, _, body = request(FETCH, {"app_id": "fleet-app"})
payload = json.loads(body)
check(payload["experiment_detail"] == [] and payload["button_color"] == "grey",
      "without a unit the experiment is left out: %s" % body)
status, headers, body = request(FETCH, {"app_id": "static-app", "bucket_id": "u"})
check(body == static_text and headers["ETag"] == '"%s"' % hashlib.md5(static_text).hexdigest(),
      "a payload without groups is served byte for byte")

# --- devices: separate processes, each its own data directory and bucket id ---------


def run_device(app, i, exports):
    doing = "device %d of %s" % (i, app)
    # get's --timeout bounds its start-up and, again, the delivery of its exposure.
    args = [orvexp, "get", "--app", app, "--server", url, "--data-dir",
            os.path.join(work, "devices", app, str(i)), "--bucket-id", unit_name(i),
            "--timeout", "%d" % min(86400, max(1, left(doing) / 2)), "--json", "button_color"]
    args += ["--events-url", url] if exports else [
        "--events", os.path.join(work, "devices", app, "%d.dropped" % i)]
    done = run(args, doing)
    return done.returncode, done.stdout, done.stderr


def run_fleets(fleets):
    """The devices of every (app, exports, count), PARALLEL_DEVICES at a time; the
    exposures per group each fleet exported, by app."""
    started = elapsed()
    with concurrent.futures.ThreadPoolExecutor(PARALLEL_DEVICES) as pool:
        futures = {(app, i): pool.submit(run_device, app, i, exports(i))
                   for app, exports, count in fleets for i in range(1, count + 1)}
    counts = {app: {} for app, _, _ in fleets}
    for app, exports, count in fleets:
        for i in range(1, count + 1):
            code, out, err = futures[(app, i)].result()
            want = group_of(EXPERIMENT, unit_name(i), GROUPS_OF[app])
            read = json.loads(out.splitlines()[-1]) if out else {}
            check(code == 0 and read.get("string") == want["values"]["button_color"],
                  "device %d of %s read %s (exit %d): %s" % (i, app, out, code, err))
            if exports(i):
                counts[app][want["id"]] = counts[app].get(want["id"], 0) + 1
    print("%d devices in %.1f s" % (len(futures), elapsed() - started), flush=True)
    return counts


def report(with_dir=True):
    done = run([orvexp, "report", "--events", events_db, "--json"]
               + (["--dir", payloads] if with_dir else []), "running orvexp report")
    return done.returncode, {(e["app_id"], e["experiment_id"]): e
                             for e in json.loads(done.stdout)["experiments"]}


def observed(entry):
    return {g["group_id"]: g["exposures"] for g in entry["groups"]}


def faulty_exports(i):
    """Two of every three devices of group green never export: their exposures are lost."""
    if group_of(EXPERIMENT, unit_name(i), GROUPS)["id"] != "green":
        return True
    return i not in dropped


# The units are fixed, and so are the counts: at 200 devices, losing two thirds of group
# green leaves 37 : 91 (p = 1.8e-06), far below the alarm's 0.001, where losing half
# would leave 55 : 91 (p = 0.0029) and need twice the devices to alarm.
green_devices = [i for i in range(1, devices + 1)
                 if group_of(EXPERIMENT, unit_name(i), GROUPS)["id"] == "green"]
dropped = set(green_devices) - set(green_devices[::3])
# Both fleets at once: the devices are independent processes, and the report waits for all.
close_connections()
fleets = run_fleets([("fleet-app", lambda i: True, devices),
                     ("faulty-app", faulty_exports, devices)])
healthy, faulty = fleets["fleet-app"], fleets["faulty-app"]
# Without --dir the report knows nothing but what the exposures carried.
for with_dir in (True, False):
    code, reported = report(with_dir)
    fleet = reported.get(("fleet-app", EXPERIMENT), {})
    check(observed(fleet) == healthy and not fleet.get("alarm") and fleet.get("judged")
          and fleet.get("intended_from") == "exposures" and fleet.get("without_split") == 0,
          "the healthy 90/10 fleet (--dir %s): counts %s, no alarm, judged against the split "
          "its exposures carried: %s" % (with_dir, healthy, fleet))
    bad = reported.get(("faulty-app", EXPERIMENT), {})
    check(observed(bad) == faulty and bad.get("alarm") and bad.get("intended_from") == "exposures",
          "the faulty fleet (--dir %s): counts %s, alarm: %s" % (with_dir, faulty, bad))
    check(code == 7, "report exits 7 when an experiment is in alarm (got %d)" % code)
print("healthy fleet %s p=%s; faulty fleet %s p=%s" % (
    healthy, fleet.get("p_value"), faulty, bad.get("p_value")), flush=True)

# --- exposures posted straight to the collector: 1000 : 1000 and 1000 : 880 -------------
# Some carry the split their unit was placed by, as the library's exporter sends it.


def post_exposures(experiment, counts, split=None, first=0):
    records = []
    for group, n in counts.items():
        for k in range(first, first + n):
            event_id = "%s-%s-%d" % (experiment, group, k)
            attributes = [{"key": "eventId", "value": {"stringValue": event_id}},
                          {"key": "appId", "value": {"stringValue": "posted-app"}},
                          {"key": "#experiment_id", "value": {"stringValue": experiment}},
                          {"key": "#experiment_group_id", "value": {"stringValue": group}},
                          {"key": "#is_control_group", "value": {"boolValue": group == "1"}}]
            if split:
                share = dict(split)[group] / sum(w for _, w in split)
                attributes += [
                    {"key": "feature_flag.context.id", "value": {"stringValue": event_id}},
                    {"key": "orv.split",
                     "value": {"stringValue": json.dumps(split, separators=(",", ":"))}},
                    {"key": "orv.intended_share", "value": {"doubleValue": share}}]
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
# 90/10 carried by each exposure: 905 : 95 fits it (against equal shares it would be far
# off); 905 : 140 is an alarm; a split changed from 50/50 to 90/10 is judged against both.
TENTH, HALF = [["1", 90], ["2", 10]], [["1", 50], ["2", 50]]
post_exposures("carried", {"1": 905, "2": 95}, TENTH)
post_exposures("carried-faulty", {"1": 905, "2": 140}, TENTH)
post_exposures("carried-changed", {"1": 520, "2": 480}, HALF)
post_exposures("carried-changed", {"1": 905, "2": 95}, TENTH, first=1000)

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
    # With several splits carried, the statistic over the design effect (which docs/srm.sql
    # computes too, below); 1 otherwise.
    p = stats.chi2.sf(reference.statistic / entry["design_effect"], len(ids) - 1)
    check(abs(entry["chi_square"] - reference.statistic) <= 1e-9 * max(1, reference.statistic)
          and abs(entry["p_value"] - p) <= 1e-9,
          "%s: chi-square %s p %s, scipy %s %s" % (key, entry["chi_square"], entry["p_value"],
                                                   reference.statistic, p))
check(not api[("posted-app", "even")]["alarm"], "1000 : 1000 at 50/50 is no alarm")
# 1000 : 880 is p = 0.0057: worth watching, above the alarm threshold of 0.001.
thinned = api[("posted-app", "thinned")]
check(not thinned["alarm"] and thinned["verdict"].startswith("No alarm yet, but watch it")
      and observed(thinned) == {"1": 1000, "2": 880},
      "1000 : 880 at 50/50 asks to watch, each eventId counted once: %s" % thinned)
check(api[("posted-app", "lost")]["alarm"], "1000 : 850 at 50/50 is an alarm")
check(api[("posted-app", "thinned")]["intended_from"] == "server",
      "the intended split comes from the weights the server serves")
for experiment, alarm in (("carried", False), ("carried-faulty", True), ("carried-changed", False)):
    entry = reported[("posted-app", experiment)]
    check(entry["alarm"] == alarm and entry["intended_from"] == "exposures"
          and entry["without_split"] == 0,
          "%s: judged against the splits its exposures carried, alarm %s: %s"
          % (experiment, alarm, entry))

# The documented SQL runs unchanged on the collector's file and gives the report's
# numbers (exposures that carried no split are in equal shares here, as the SQL
# assumes).
import sqlite3  # noqa: E402

rows = sqlite3.connect("file:%s?mode=ro" % events_db, uri=True).execute(
    open(os.path.join(source, "docs/srm.sql")).read()).fetchall()
by_experiment = {}
for app, experiment, group, control, exposures, share, intended, chi_square, df, de in rows:
    by_experiment.setdefault((app, experiment), []).append(
        (group, exposures, intended, chi_square, df, de))
for key, entry in reported.items():
    sql = by_experiment.get(key, [])
    shares = {g["group_id"]: g["intended_share"] for g in entry["groups"]}
    check(sorted((g, n) for g, n, _, _, _, _ in sql) == sorted(observed(entry).items())
          and all(abs(i - shares[g]) <= 1e-9
                  and abs(c - entry["chi_square"]) <= 1e-9 * max(1, c)
                  and d == entry["degrees_of_freedom"]
                  and abs(e - entry["design_effect"]) <= 1e-9
                  for g, _, i, c, d, e in sql),
          "docs/srm.sql on the collector's file agrees with orvexp report on %s: %s" % (key, sql))
# At p = 0.001 with one degree of freedom the critical value is 10.828.
for app, experiment, alarm in (("posted-app", "carried", False),
                               ("posted-app", "carried-faulty", True),
                               ("posted-app", "carried-changed", False),
                               ("fleet-app", EXPERIMENT, False), ("faulty-app", EXPERIMENT, True)):
    _, _, _, chi_square, _, de = by_experiment[(app, experiment)][0]
    check((chi_square / de > 10.828) == alarm,
          "docs/srm.sql on %s: chi-square %s / design effect %s" % (experiment, chi_square, de))

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
                     text=True, timeout=left("dumping the page in chromium")).stdout
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
                url + "/experiments/lost"], capture_output=True,
               timeout=left("taking the screenshot in chromium"))
check(os.path.getsize(os.path.join(work, "page.png")) > 10000, "a screenshot of the page")

# --- only the documented routes exist ----------------------------------------------
for method, path in (("GET", "/other"), ("GET", "/v1/logs"), ("PUT", "/"),
                     ("DELETE", "/api/experiments"), ("GET", "/experiments/nope")):
    status = request(path, b"" if method != "GET" else None, method=method)[0]
    check(status in (404, 405), "%s %s is not served (%d)" % (method, path, status))

server.terminate()
check(server.wait(timeout=left("stopping the server")) == 0, "serve stops on SIGTERM")
remover.wait(timeout=left("removing the last run's files"))
print("screenshot: " + os.path.join(work, "page.png"))
print("%d failures in %.1f s" % (len(failures), elapsed()))
sys.exit(1 if failures else 0)
