#!/usr/bin/env python3
"""The example programs as their users run them, against `orvexp serve` on a free loopback
port, judged by their output and by the exposure events that arrive.

Usage: run_example.py cli-tool|service ORVEXP EXAMPLE WORK_DIR

cli-tool: prints the served values (not its defaults) and exits 0 right after flush(), with
exactly one exposure event in its JSON-lines file; a second run prints them again and sends
nothing more (the exposure is remembered); with no payload to be had and no cache, it prints
its defaults, exits 3 and sends nothing.

service: shows the refresh interval it runs with (a shorter one raised to the minimum); with
no payload to be had runs on its defaults and stops cleanly; applies the served values and its exposure reaches the collector; after the payload file
changes and SIGHUP it logs exactly the changed keys and applies the new values; SIGTERM
right then makes it exit 0, saying it stopped cleanly, and its flush on the way out has
delivered the new group's exposure to the collector.
"""
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import threading
import time

WAIT = 60  # seconds; generous, the suite runs beside other builds

APP = "shop-app"
EXPERIMENT = {"#experiment_id": "checkout-7", "#experiment_group_id": "b",
              "#is_control_group": False, "bucket_id": 11, "#feature_list": ["color"]}
PAYLOAD = {"color": "teal", "limit": 42, "flag": True,
           "banner": {"title": "Spring sale", "dismissible": False},
           "experiment_detail": [EXPERIMENT]}

failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAILED: " + what, flush=True)
    return ok


class Output:
    """A child's stdout, read line by line on a thread of its own, so the test can wait
    for a line with a timeout."""

    def __init__(self, stream):
        self.lines = []
        self.closed = False
        self.cond = threading.Condition()
        self.thread = threading.Thread(target=self._read, args=(stream,), daemon=True)
        self.thread.start()

    def _read(self, stream):
        for line in stream:
            with self.cond:
                self.lines.append(line.rstrip("\n"))
                self.cond.notify_all()
        with self.cond:
            self.closed = True
            self.cond.notify_all()

    def wait_for(self, pattern, start=0, timeout=WAIT):
        """Index of the first line from `start` on matching `pattern`, or None."""
        regex = re.compile(pattern)
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                for i in range(start, len(self.lines)):
                    if regex.search(self.lines[i]):
                        return i
                left = deadline - time.monotonic()
                if self.closed or left <= 0:
                    return None
                self.cond.wait(left)

    def text(self):
        with self.cond:
            return "\n".join(self.lines)


def write_payload(directory, payload):
    """Replaces the served file whole, so the server never reads half of it."""
    os.makedirs(os.path.join(directory, APP), exist_ok=True)
    path = os.path.join(directory, APP, "ki_feature.json")
    with open(path + ".tmp", "w") as f:
        json.dump(payload, f)
    os.replace(path + ".tmp", path)


def start_server(orvexp, work, events=None):
    args = [orvexp, "serve", "--dir", os.path.join(work, "srv"), "--port", "0"]
    if events:
        args += ["--events", events]
    server = subprocess.Popen(args, stdout=subprocess.PIPE,
                              stderr=open(os.path.join(work, "serve.err"), "w"), text=True)
    out = Output(server.stdout)
    i = out.wait_for(r"^serving .* on http://127\.0\.0\.1:\d+$")
    if i is None:
        server.kill()
        sys.exit("serve did not start: " + open(os.path.join(work, "serve.err")).read())
    return server, out.lines[i].split()[-1]


def stop(process):
    if process.poll() is None:
        process.terminate()
        process.wait(timeout=WAIT)


def exported(orvexp, db):
    """The collector's events, as `orvexp events export` prints them."""
    done = subprocess.run([orvexp, "events", "export", "--events", db], capture_output=True,
                          text=True, timeout=WAIT)
    if done.returncode != 0:
        return []  # not created yet: nothing arrived
    return [json.loads(line) for line in done.stdout.splitlines() if line.strip()]


def poll(condition, timeout=WAIT):
    """Polls `condition` until it gives something true or the timeout passes."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(0.1)


def exposure_of(event):
    return (event.get("name"), event.get("app_id"), event.get("properties"))


def expected_exposure(group):
    return ("zu_experiment_exposure", APP,
            {"#experiment_id": "checkout-7", "#experiment_group_id": group,
             "#is_control_group": False})


def environment(work):
    env = dict(os.environ)
    env["XDG_DATA_HOME"] = os.path.join(work, "xdg")  # the library's data directory
    env.pop("ORV_REFRESH_INTERVAL", None)
    return env


def run_cli(orvexp, example, work):
    server, url = start_server(orvexp, work)
    events = os.path.join(work, "exposures.jsonl")
    env = environment(work)
    served = ["color: teal", "limit: 42", "flag: true",
              'banner: {"dismissible":false,"title":"Spring sale"}']
    try:
        for run in ("first", "second"):
            done = subprocess.run([example, APP, url, events], capture_output=True, text=True,
                                  env=env, timeout=WAIT)
            check(done.returncode == 0, "%s run exits 0 (got %d): %s" %
                  (run, done.returncode, done.stderr))
            check(done.stdout.splitlines() == served,
                  "%s run prints the served values, got:\n%s" % (run, done.stdout))
            lines = open(events).read().splitlines() if os.path.exists(events) else []
            check(len(lines) == 1,
                  "after the %s run exactly one exposure event, got %d" % (run, len(lines)))
            if lines:
                check(exposure_of(json.loads(lines[0])) == expected_exposure("b"),
                      "the event is the experiment's exposure: " + lines[0])
    finally:
        stop(server)

    # No payload to be had and no cache: defaults, status 3, no event. (A file:// address
    # that does not exist rather than the stopped server's port, which another test's server
    # may have taken meanwhile.)
    env["XDG_DATA_HOME"] = os.path.join(work, "xdg-fresh")
    gone = os.path.join(work, "gone.jsonl")
    missing = "file://" + os.path.join(work, "no-such-payload.json")
    done = subprocess.run([example, APP, missing, gone], capture_output=True, text=True,
                          env=env, timeout=WAIT)
    check(done.returncode == 3, "without a payload exits 3 (got %d)" % done.returncode)
    check(done.stdout.splitlines()[:3] == ["color: red", "limit: 10", "flag: false"],
          "without a payload prints the defaults, got:\n" + done.stdout)
    check("printing defaults" in done.stderr, "says why: " + done.stderr)
    check(not os.path.exists(gone) or os.path.getsize(gone) == 0,
          "no event without values")


def run_service(orvexp, example, work):
    db = os.path.join(work, "events.sqlite3")
    server, url = start_server(orvexp, work, events=db)
    try:
        run_service_on_defaults(example, work, url)
        run_service_with_changes(orvexp, example, work, db, url)
    finally:
        stop(server)


def start_service(example, work, name, args, env):
    service = subprocess.Popen([example] + args, stdout=subprocess.PIPE, text=True, env=env,
                               stderr=open(os.path.join(work, name + ".err"), "w"))
    return service, Output(service.stdout)


def stop_service(service, out):
    """SIGTERM: the service exits 0, saying it stopped cleanly."""
    service.send_signal(signal.SIGTERM)
    try:
        code = service.wait(timeout=WAIT)
    except subprocess.TimeoutExpired:
        code = None
    check(code == 0, "SIGTERM makes the service exit 0 (got %s)" % code)
    out.thread.join(timeout=WAIT)
    check(out.wait_for(r"^stopping on SIGTERM$") is not None
          and out.wait_for(r"^stopped cleanly$") is not None,
          "the service says it stopped cleanly")


def run_service_on_defaults(example, work, collector):
    """An interval below the minimum, from the command line, is raised; with no payload
    to be had the service runs on its defaults and still stops cleanly."""
    env = environment(work)
    env["XDG_DATA_HOME"] = os.path.join(work, "xdg-defaults")
    missing = "file://" + os.path.join(work, "no-such-payload.json")
    service, out = start_service(example, work, "defaults",
                                 [APP, missing, collector, "5"], env)
    try:
        check(out.wait_for(r"^refresh interval 5 s is below the minimum$") is not None,
              "the service says the interval was raised")
        check(out.wait_for(r"^started: .* refresh interval 30 s$") is not None,
              "the service shows the interval it runs with")
        check(out.wait_for(r"^not ready \(code -6: .*\): running on defaults") is not None,
              "the service says it runs on defaults")
        stop_service(service, out)
    finally:
        if service.poll() is None:
            service.kill()
            service.wait()
        print("--- service on defaults, stdout\n" + out.text(), flush=True)


def run_service_with_changes(orvexp, example, work, db, url):
    env = environment(work)
    # From the environment, and far longer than the test: a change can only come from the
    # fetch that SIGHUP asks for.
    env["ORV_REFRESH_INTERVAL"] = "3600"
    service, out = start_service(example, work, "service", [APP, url, url], env)
    try:
        check(out.wait_for(r"^started: app shop-app, server %s, exposures to %s, "
                           r"refresh interval 3600 s$" % (re.escape(url), re.escape(url)))
              is not None, "the service shows the refresh interval it runs with")
        check(out.wait_for(r"^ready$") is not None, "the service becomes ready")
        applied = out.wait_for(r"^config: color=teal limit=42 flag=true$")
        check(applied is not None, "the service applies the served values")
        arrived = poll(lambda: [e for e in exported(orvexp, db)
                                if exposure_of(e) == expected_exposure("b")])
        check(len(arrived) == 1, "the exposure reaches the collector")

        # A new value and group for the experiment's feature and a new key: the rest stays.
        changed = dict(PAYLOAD, color="plum", greeting="hello",
                       experiment_detail=[dict(EXPERIMENT, **{"#experiment_group_id": "c"})])
        write_payload(os.path.join(work, "srv"), changed)
        mark = len(out.lines)
        service.send_signal(signal.SIGHUP)
        line = out.wait_for(r"^changed:", start=mark)
        check(line is not None and out.lines[line] == "changed: color, greeting",
              "the service logs the changed keys after SIGHUP, got: %s" %
              (out.lines[line] if line is not None else None))
        check(out.wait_for(r"^config: color=plum limit=42 flag=true$", start=mark) is not None,
              "the service applies the changed values")

        # At once, while the new group's exposure may still be on its way: the flush on
        # the way out delivers it.
        stop_service(service, out)
        events = [exposure_of(e) for e in exported(orvexp, db)]
        check(sorted(events, key=lambda e: e[2]["#experiment_group_id"]) ==
              [expected_exposure("b"), expected_exposure("c")],
              "after the stop the collector holds one exposure per group: %s" % events)
    finally:
        if service.poll() is None:
            service.kill()
            service.wait()
        print("--- service stdout\n" + out.text(), flush=True)


def main():
    which, orvexp, example, work = sys.argv[1:5]
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    write_payload(os.path.join(work, "srv"), PAYLOAD)
    {"cli-tool": run_cli, "service": run_service}[which](orvexp, example, work)
    if failures:
        print("%d checks failed" % len(failures))
        return 1
    print("%s: all checks passed" % which)
    return 0


if __name__ == "__main__":
    sys.exit(main())
