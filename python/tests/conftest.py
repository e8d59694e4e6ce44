"""A real `orvexp serve --events` on 127.0.0.1 and the library started against it once
per test session (the library is one per process).

ORVEXP names the orvexp to run (default: the one on PATH); ORVEXPERIMENT_LIBRARY the
shared library to load (default: the installed one, by soname).
"""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import threading
from pathlib import Path
from typing import Any, Callable, Dict, Iterator, List

import pytest

import orvexperiment

WAIT = 60.0  # seconds; generous, and only ever the bound of a wait for an event

PAYLOAD: Dict[str, Any] = {
    "color": "red",
    "limit": 20,
    "banner": {"title": "Welcome", "dismissible": True},
    "flag": True,
    "price": "3.50",
    "experiment_detail": [
        {"#experiment_id": "101", "#experiment_group_id": "2", "#is_control_group": False,
         "bucket_id": 7, "#feature_list": ["color"]},
    ],
}


class Heard:
    """What callbacks on library threads heard, with a wait for a condition on it."""

    def __init__(self) -> None:
        self.items: List[Any] = []
        self.condition = threading.Condition()

    def add(self, item: Any) -> None:
        with self.condition:
            self.items.append(item)
            self.condition.notify_all()

    def wait_for(self, predicate: Callable[[List[Any]], bool]) -> List[Any]:
        with self.condition:
            assert self.condition.wait_for(lambda: predicate(self.items), timeout=WAIT), self.items
            return list(self.items)


class Server:
    def __init__(self, orvexp: str, root: Path) -> None:
        self.orvexp = orvexp
        self.payload_file = root / "srv" / "py-app" / "ki_feature.json"
        self.payload_file.parent.mkdir(parents=True)
        self.write_payload(PAYLOAD)
        self.events_db = root / "events.db"
        self.process = subprocess.Popen(
            [orvexp, "serve", "--dir", str(root / "srv"), "--events", str(self.events_db),
             "--port", "0", "--quiet"], stdout=subprocess.PIPE, text=True)
        # "serving DIR on http://127.0.0.1:PORT", once it listens; EOF if it died.
        line = self.process.stdout.readline() if self.process.stdout else ""
        assert line.startswith("serving"), f"serve printed {line!r}"
        self.url = "http://127.0.0.1:" + line.rsplit(":", 1)[1].strip()

    def write_payload(self, payload: Dict[str, Any]) -> None:
        temporary = self.payload_file.with_suffix(".tmp")
        temporary.write_text(json.dumps(payload), encoding="utf-8")
        temporary.replace(self.payload_file)

    def stored_events(self) -> List[Dict[str, Any]]:
        out = subprocess.run([self.orvexp, "events", "export", "--events", str(self.events_db)],
                             check=True, capture_output=True, text=True, timeout=WAIT).stdout
        return [json.loads(line) for line in out.splitlines()]

    def stop(self) -> None:
        self.process.terminate()
        self.process.wait(timeout=WAIT)


@pytest.fixture(scope="session")
def server(tmp_path_factory: pytest.TempPathFactory) -> Iterator[Server]:
    orvexp = os.environ.get("ORVEXP") or shutil.which("orvexp")
    assert orvexp, "no orvexp: set ORVEXP or put it on PATH"
    running = Server(orvexp, tmp_path_factory.mktemp("orv"))
    yield running
    running.stop()


@pytest.fixture(scope="session")
def started(server: Server, tmp_path_factory: pytest.TempPathFactory) -> Dict[str, Any]:
    """The library started for "py-app" with an exporter to the collector and a sink."""
    orvexperiment.set_data_directory(str(tmp_path_factory.mktemp("data")))
    exporter = orvexperiment.add_otlp_exporter(server.url, {"X-Team": "py"}, max_batch=2,
                                               flush_interval=0.2, request_timeout=30)
    events = Heard()
    orvexperiment.add_event_sink(events.add)
    orvexperiment.start("py-app", server.url, bucket_id="unit-py")
    orvexperiment.wait_until_ready(WAIT)
    return {"exporter": exporter, "events": events}
