"""What the end-to-end scripts share: a run-wide time budget, the server they run, a
fresh work directory, and modules imported in the background.

Every wait is for an event and none has a length of its own: each may take whatever is
left of the run's time, which ends before CTest's TIMEOUT, so that on a machine too slow
for it the run still ends by itself, naming the step it was at, and stops the server.
"""
import atexit
import concurrent.futures
import importlib
import os
import selectors
import shutil
import subprocess
import sys
import time


class Budget:
    def __init__(self, seconds):
        self.seconds = seconds
        self.began = time.monotonic()
        self.failures = []
        self.server = None
        # Whatever ends the run, an exception included, the server goes with it.
        atexit.register(self.stop_server)

    def stop_server(self):
        if self.server and self.server.poll() is None:
            self.server.kill()

    def serve(self, orvexp, payloads, events_db):
        """Starts `orvexp serve` on a free loopback port, collecting into `events_db`, with
        each of `payloads` ({app: bytes}) as that application's payload; its URL."""
        directory = os.path.join(os.path.dirname(events_db), "payloads")
        for app, text in payloads.items():
            os.makedirs(os.path.join(directory, app))
            with open(os.path.join(directory, app, "ki_feature.json"), "wb") as f:
                f.write(text)
        self.server = subprocess.Popen([orvexp, "serve", "--dir", directory, "--port", "0",
                                        "--events", events_db, "--quiet"],
                                       stdout=subprocess.PIPE, text=True)
        with selectors.DefaultSelector() as ready:
            ready.register(self.server.stdout, selectors.EVENT_READ)
            if not ready.select(self.left("starting the server")):
                self.left("starting the server: it printed nothing")
        first_line = self.server.stdout.readline().split()
        if not first_line:
            print("FAILED: orvexp serve ended (%s) before it printed its port"
                  % self.server.wait(), flush=True)
            sys.exit(1)
        return first_line[-1]

    def check(self, ok, what):
        if not ok:
            self.failures.append(what)
            print("FAILED: " + what, flush=True)
        return ok

    def elapsed(self):
        return time.monotonic() - self.began

    def left(self, doing):
        """The seconds every wait may still take; out of them, the run ends here."""
        seconds = self.seconds - self.elapsed()
        if seconds <= 0:
            print("FAILED: out of time (%d s) while %s; %d failures before" % (
                self.seconds, doing, len(self.failures)), flush=True)
            self.stop_server()
            os._exit(1)  # exit() would wait for the processes still running
        return seconds

    def run(self, args, doing):
        """subprocess.run within the time left; a run still going then is a failure."""
        try:
            return subprocess.run(args, capture_output=True, text=True,
                                  timeout=self.left(doing))
        except subprocess.TimeoutExpired:
            self.left(doing)
            raise


def fresh(work):
    """Moves the last run's files aside and removes them beside this run (thousands of
    data directories take a while); the remover's process, to be waited for at the end."""
    stale = work + ".stale"
    if os.path.exists(work):
        shutil.rmtree(stale, ignore_errors=True)  # left by a run stopped before removing it
        os.rename(work, stale)
    return subprocess.Popen(["rm", "-rf", stale], stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)


class LateImport:
    """A module imported in the background, waited for at its first use."""

    def __init__(self, name):
        self._module = concurrent.futures.ThreadPoolExecutor(1).submit(
            importlib.import_module, name)

    def __getattr__(self, attribute):
        return getattr(self._module.result(), attribute)
