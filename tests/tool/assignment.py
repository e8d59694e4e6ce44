#!/usr/bin/env python3
"""Assignment wherever a payload is read, as applications read it.

1. The published cases (docs/assignment-cases.json) against a computation of our own
   here (hashlib), and against what `orvexp serve` resolves for each.
2. One weighted payload read by every unit four ways: through `orvexp serve`, as a
   file:// payload, from a static web server (python3's http.server: GET only), and in
   test mode. Every unit gets the same group and value all four ways, and the group the
   hash gives.
3. Sticky: units placed at 50/50 in one process; the weights changed to 90/10; a
   second launch finds each of them in its group while new units split 90/10.
   Two processes placing the same new units at once, under different weights, agree.

Usage: assignment.py ORVEXP PROBE SOURCE_DIR WORK_DIR [full]
By default 400 units four ways, 200 kept across the change, 500 new and 100 raced: each
check is exact (same group everywhere, every kept unit kept) or within four standard
deviations of the weights, which these counts already test. `full` runs the long local
loop: 2,000 units four ways, 500 kept, 1,000 new, 300 raced.
"""
import functools
import hashlib
import http.server
import json
import os
import selectors
import shutil
import subprocess
import sys
import threading
import urllib.request

orvexp, probe, source, work = sys.argv[1:5]
full = sys.argv[5:] == ["full"]
UNITS, OLD, NEW, RACED = (2000, 500, 1000, 300) if full else (400, 200, 500, 100)
shutil.rmtree(work, ignore_errors=True)
os.makedirs(work)
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAILED: " + what, flush=True)


def group_of(key, unit, weights):
    """The documented hash, written here again: (group index, first 16 hex digits)."""
    digest = hashlib.md5(("%s/%s" % (key, unit)).encode()).hexdigest()[:16]
    point = int(digest, 16) % sum(weights)
    cumulative = 0
    for index, weight in enumerate(weights):
        cumulative += weight
        if point < cumulative:
            return index, digest
    return -1, digest


def hash_key(experiment, seed=None):
    return experiment if seed is None else "%s/%s" % (experiment, seed)


def payload_with(weights, sticky=False):
    entry = {"#experiment_id": "checkout", "#feature_list": ["color"],
             "#groups": [{"id": "g%d" % i, "weight": w, "control": i == 0,
                          "values": {"color": "color-%d" % i}} for i, w in enumerate(weights)]}
    if sticky:
        entry["#sticky"] = True
    return {"color": "top", "limit": 3, "experiment_detail": [entry]}


def write_json(path, value):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path + ".tmp", "w") as f:
        json.dump(value, f)
    os.replace(path + ".tmp", path)


def write_units(name, units):
    path = os.path.join(work, name)
    with open(path, "w") as f:
        f.write("".join(u + "\n" for u in units))
    return path


def run_probe(*args):
    """{unit: (group, value)} as the library gave them."""
    done = subprocess.run([probe, *args], capture_output=True, text=True, timeout=540)
    check(done.returncode == 0, "probe %s: exit %d: %s" % (args[0], done.returncode,
                                                           done.stderr[-500:]))
    answers = {}
    for line in done.stdout.splitlines():
        unit, group, value = line.split("\t")
        answers[unit] = (group, value)
    return answers


# --- 1. the published cases ---------------------------------------------------------
cases = json.load(open(os.path.join(source, "docs/assignment-cases.json")))["cases"]
check(len(cases) >= 50, "at least 50 published cases")
for c in cases:
    got = group_of(hash_key(c["experiment"], c.get("seed")), c["unit"], c["weights"])
    check(got == (c["group"], c["hash"]), "case %s: computed %s" % (c, got))

payloads = os.path.join(work, "payloads")
for i, c in enumerate(cases):
    entry = payload_with(c["weights"])["experiment_detail"][0]
    entry["#experiment_id"] = c["experiment"]
    if "seed" in c:
        entry["#seed"] = c["seed"]
    write_json(os.path.join(payloads, "case-%d" % i, "ki_feature.json"),
               {"color": "top", "experiment_detail": [entry]})
write_json(os.path.join(payloads, "probe-app", "ki_feature.json"), payload_with([50, 30, 20]))

server = subprocess.Popen([orvexp, "serve", "--dir", payloads, "--port", "0", "--quiet"],
                          stdout=subprocess.PIPE, text=True)
try:
    with selectors.DefaultSelector() as ready:
        ready.register(server.stdout, selectors.EVENT_READ)
        check(bool(ready.select(60)), "orvexp serve prints its address")
    url = server.stdout.readline().split()[-1]

    def fetch(app, unit):
        body = json.dumps({"app_id": app, "bucket_id": unit}).encode()
        req = urllib.request.Request(url + "/v1/remote-config/fetch", body,
                                     {"Content-Type": "application/json"})
        with urllib.request.urlopen(req, timeout=60) as res:
            return json.load(res)

    for i, c in enumerate(cases):
        if c["unit"] == "":
            continue  # no unit names no group; the library's test covers it
        entry = fetch("case-%d" % i, c["unit"])["experiment_detail"][0]
        check(entry["#experiment_group_id"] == "g%d" % c["group"],
              "server, case %s: got %s" % (c, entry))

    # --- 2. one payload, four ways --------------------------------------------------
    units = ["unit-%d" % i for i in range(UNITS)]
    units_file = write_units("units.txt", units)
    ways_file = os.path.join(payloads, "probe-app", "ki_feature.json")

    class Quiet(http.server.SimpleHTTPRequestHandler):
        def log_message(self, *args):
            pass

    static = http.server.ThreadingHTTPServer(
        ("127.0.0.1", 0), functools.partial(Quiet, directory=payloads))
    threading.Thread(target=static.serve_forever, daemon=True).start()
    static_url = "http://127.0.0.1:%d/probe-app/ki_feature.json" % static.server_address[1]
    ways = {
        "orvexp serve": run_probe("start", url, os.path.join(work, "d1"), units_file, "color"),
        "file://": run_probe("start", "file://" + ways_file, os.path.join(work, "d2"), units_file,
                             "color"),
        "static web server": run_probe("start", static_url, os.path.join(work, "d3"), units_file,
                                       "color"),
        "test mode": run_probe("test", ways_file, "-", units_file, "color"),
    }
    static.shutdown()
    counts = [0, 0, 0]
    for unit in units:
        index, _ = group_of("checkout", unit, [50, 30, 20])
        counts[index] += 1
        want = ("g%d" % index, "color-%d" % index)
        for way, answers in ways.items():
            check(answers.get(unit) == want, "%s: %s got %s, the hash says %s"
                  % (way, unit, answers.get(unit), want))
        if len(failures) > 20:
            break
    # Binomial(UNITS, p): within 4 standard deviations of the weights.
    for index, p in enumerate((0.5, 0.3, 0.2)):
        sd = (UNITS * p * (1 - p)) ** 0.5
        check(abs(counts[index] - UNITS * p) < 4 * sd, "split near the weights: %s" % counts)
finally:
    server.terminate()
    server.wait(timeout=60)

# --- 3. sticky ----------------------------------------------------------------------
sticky_file = os.path.join(work, "sticky.json")
data_dir = os.path.join(work, "sticky-data")
old_units = ["old-%d" % i for i in range(OLD)]
new_units = ["new-%d" % i for i in range(NEW)]
write_json(sticky_file, payload_with([50, 50], sticky=True))
first = run_probe("start", "file://" + sticky_file, data_dir, write_units("old.txt", old_units),
                  "color")
check(all(first[u][0] == "g%d" % group_of("checkout", u, [50, 50])[0] for u in old_units),
      "a sticky experiment places a unit seen for the first time by the hash")
write_json(sticky_file, payload_with([90, 10], sticky=True))
moved_by_hash = sum(group_of("checkout", u, [90, 10])[0] != group_of("checkout", u, [50, 50])[0]
                    for u in old_units)
check(moved_by_hash > OLD // 5, "the weight change would move %d of the %d units"
      % (moved_by_hash, OLD))
second = run_probe("start", "file://" + sticky_file, data_dir,
                   write_units("both.txt", old_units + new_units), "color")
kept = sum(second.get(u) == first.get(u) for u in old_units)
check(kept == OLD, "after a restart and a weight change, %d of %d units kept their group"
      % (kept, OLD))
new_control = sum(second[u][0] == "g0" for u in new_units if u in second)
sd = (NEW * 0.9 * 0.1) ** 0.5
check(abs(new_control - 0.9 * NEW) < 4 * sd, "new units follow the new weights: %d of %d in the "
      "90%%" % (new_control, NEW))

# Two processes on one data directory place the same new units at once, one under
# 50/50 and one under 90/10: whichever keeps a unit first decides for both.
other_file = os.path.join(work, "sticky-5050.json")
write_json(other_file, payload_with([50, 50], sticky=True))
race_units = write_units("race.txt", ["race-%d" % i for i in range(RACED)])
racers = [subprocess.Popen([probe, "start", "file://" + f, data_dir, race_units, "color"],
                           stdout=subprocess.PIPE, text=True) for f in (sticky_file, other_file)]
outputs = [r.communicate(timeout=540)[0] for r in racers]
check(all(r.returncode == 0 for r in racers), "both racing processes finish")
check(outputs[0] == outputs[1] and outputs[0].count("\n") == RACED,
      "two processes placing the same units at once agree on every group")
# A restart of either finds the same groups again.
again = run_probe("start", "file://" + other_file, data_dir, race_units, "color")
check("".join("%s\t%s\t%s\n" % (u, *again[u]) for u in ["race-%d" % i for i in range(RACED)])
      == outputs[0], "the groups the race decided are kept across a restart")

if failures:
    print("%d failures" % len(failures))
    sys.exit(1)
print("assignment: cases, four ways, sticky: all passed")
