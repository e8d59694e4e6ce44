"""The package against the real library and a real `orvexp serve` (see conftest.py)."""

from __future__ import annotations

import gc
import subprocess
import sys
import textwrap
from typing import Any, Dict

import pytest

import orvexperiment as orv
from conftest import PAYLOAD, WAIT, Heard, Server


def test_versions() -> None:
    assert orv.sdk_version() == "1.0.2"
    assert orv.package_version().count(".") == 2


def test_typed_reads_and_detail(started: Dict[str, Any]) -> None:
    assert orv.is_ready()
    assert orv.get_string("color") == "red"
    assert orv.get_string("nope", "fallback") == "fallback"
    assert orv.get_number("price") == 3.5
    assert orv.get_int("limit") == 20
    assert orv.get_bool("flag") is True
    assert orv.get_bool("color", True) is True  # a string is no boolean: the default
    assert orv.get_json("banner") == {"title": "Welcome", "dismissible": True}
    assert orv.get_json("color", {"d": 1}) == {"d": 1}
    assert orv.get_string_detail("color") == orv.Detail(
        "red", orv.Source.NETWORK, orv.Reason.FOUND, orv.Experiment("101", "2", 7, False))
    missing = orv.get_number_detail("nope", 4)
    assert (missing.value, missing.reason, missing.experiment) == (4, orv.Reason.MISSING_KEY, None)


def test_errors_carry_the_status(started: Dict[str, Any]) -> None:
    with pytest.raises(orv.OrvError) as bad_name:
        orv.track("bad name")
    assert bad_name.value.status == orv.Status.INVALID_ARGUMENT
    with pytest.raises(orv.OrvError) as unknown:
        orv.remove_event_sink(987654321)
    assert unknown.value.status == orv.Status.NOT_FOUND
    with pytest.raises(orv.OrvError) as negative:
        orv.flush(-1)
    assert negative.value.status == orv.Status.INVALID_ARGUMENT
    with pytest.raises(orv.OrvError) as endpoint:
        orv.add_otlp_exporter("ftp://127.0.0.1/")
    assert endpoint.value.status == orv.Status.INVALID_ARGUMENT


def test_callbacks_that_raise_or_were_collected(started: Dict[str, Any], server: Server,
                                                caplog: pytest.LogCaptureFixture) -> None:
    def raising(_: Any) -> None:
        raise RuntimeError("boom")

    sink = orv.add_event_sink(raising)
    heard = Heard()
    # Neither lambda is referenced by the test: the package keeps them alive.
    listeners = [orv.add_change_listener(lambda keys: heard.add(keys)),
                 orv.add_change_listener(lambda keys: 1 / 0)]
    gc.collect()
    orv.track("py_contained", 2)
    orv.flush(WAIT)
    started["events"].wait_for(lambda items: any(
        e.name == "orv_outcome" and e.properties["#outcome"] == "py_contained" for e in items))

    server.write_payload({**PAYLOAD, "new_feature": "hello"})
    fetched = Heard()
    orv.fetch(lambda ok, code, message: fetched.add((ok, code, message)))
    assert fetched.wait_for(lambda items: len(items) == 1) == [(True, 0, "")]
    assert heard.wait_for(lambda items: len(items) == 1) == [["new_feature"]]
    for listener in listeners:
        orv.remove_change_listener(listener)
    orv.remove_event_sink(sink)
    assert orv.get_string("new_feature") == "hello"
    assert "event sink raised" in caplog.text and "change listener raised" in caplog.text


def test_events_reach_the_collector_once(started: Dict[str, Any], server: Server) -> None:
    assert orv.get_string("color") == "red"
    orv.track("py_purchase", 12.5)
    orv.track("py_signup")
    orv.flush(WAIT)
    stats = orv.otlp_exporter_stats(started["exporter"])
    assert stats.exported >= 3 and stats.dropped == 0
    stored = [e for e in server.stored_events() if e["app_id"] == "py-app"]
    exposures = [e for e in stored if e["name"] == "zu_experiment_exposure"]
    assert [e["properties"]["#experiment_id"] for e in exposures] == ["101"]
    outcomes = [(e["properties"]["#outcome"], e["properties"]["#value"]) for e in stored
                if e["name"] == "orv_outcome"]
    assert ("py_purchase", 12.5) in outcomes and ("py_signup", 1) in outcomes
    assert len(outcomes) == len({name for name, _ in outcomes}), outcomes
    assert len({e["event_id"] for e in stored}) == len(stored)


def test_test_mode_in_a_process_of_its_own() -> None:
    # Test mode cannot follow the real start of this process.
    script = textwrap.dedent("""
        import orvexperiment as orv
        payload = {"color": "green", "experiment_detail": [{"#experiment_id": "9",
                   "#experiment_group_id": "1", "#is_control_group": True,
                   "#feature_list": ["color"]}]}
        orv.testing.start(payload, overrides={"size": 3}, bucket_id="u1")
        orv.start("ignored", "http://127.0.0.1:9/")
        assert orv.testing.is_active()
        assert orv.get_string("color") == "green" and orv.get_string("color") == "green"
        assert orv.get_number_detail("size").source == orv.Source.OVERRIDE
        [exposure] = orv.testing.exposures()
        assert (exposure["experiment_id"], exposure["is_control"]) == ("9", True), exposure
        keys = []
        orv.add_change_listener(keys.append)
        orv.testing.set_payload({"color": "blue"})
        assert keys == [["color"]] and orv.get_string("color") == "blue", keys
        orv.testing.reset()
        assert not orv.testing.is_active() and orv.get_string("color", "d") == "d"
        try:
            orv.testing.set_payload({})
        except orv.OrvError as e:
            assert e.status == orv.Status.NO_UNIT
        else:
            raise AssertionError("set_payload outside test mode")
        print("test mode ok")
    """)
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         timeout=WAIT)
    assert run.returncode == 0 and "test mode ok" in run.stdout, run.stderr
