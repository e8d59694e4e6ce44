"""What the end-to-end scripts share: a run-wide time budget and a fresh work directory.

Every wait is for an event and none has a length of its own: each may take whatever is
left of the run's time, which ends before CTest's TIMEOUT, so that on a machine too slow
for it the run still ends by itself, naming the step it was at, after `on_out` (which
stops the script's server).
"""
import os
import shutil
import subprocess
import time


class Budget:
    def __init__(self, seconds, on_out):
        self.seconds, self.on_out = seconds, on_out
        self.began = time.monotonic()
        self.failures = []

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
            self.on_out()
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
