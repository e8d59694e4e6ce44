"""Test mode, for an application's own tests of code that reads features.

``testing.start(payload)`` puts a payload in place as if a server had sent it: no disk,
no network, ready at once. Reads, detail reads, change listeners and overrides behave as
in production; exposure events are captured for :func:`exposures` instead of going to
the event sinks. The application's own :func:`orvexperiment.start` is ignored meanwhile.
Call :func:`start`, :func:`set_payload` and :func:`reset` from the test's own thread
while nothing else uses the library. Test mode cannot follow a real start in the same
process::

    def setUp(self):
        orvexperiment.testing.start({"color": "green"})

    def tearDown(self):
        orvexperiment.testing.reset()
"""

from __future__ import annotations

import json
from typing import Any, Dict, List, Mapping, Optional, Tuple

from ._native import lib, text, to_json
from .client import OverrideMode, _make_config
from .errors import check


def start(
    payload: Mapping[str, Any],
    app_id: str = "test-app",
    bucket_id: Any = None,
    *,
    fetch_params: Any = None,
    overrides: Optional[Mapping[str, Any]] = None,
    override_mode: OverrideMode = OverrideMode.LOCAL_OVER_REMOTE,
    automatic_exposure_tracking: bool = True,
) -> None:
    """Starts test mode with ``payload`` (a dict in the payload format), resetting it
    first when it is on. ``bucket_id`` (or fetch parameter "unit_id") is the unit that
    weighted groups are resolved for. Raises OrvError ``INVALID_ARGUMENT`` after a real
    start in this process."""
    handle = _make_config(app_id, "", bucket_id, fetch_params, overrides, None, override_mode,
                          automatic_exposure_tracking, 0, None, None)
    try:
        check(lib().orv_test_start(to_json(dict(payload)), handle), "testing.start")
    finally:
        lib().orv_config_free(handle)


def set_payload(payload: Mapping[str, Any]) -> None:
    """Replaces the payload as a fetch would; change listeners have heard the keys that
    differ when it returns. Raises OrvError ``NO_UNIT`` outside test mode."""
    check(lib().orv_test_set_payload(to_json(dict(payload))), "testing.set_payload")


def exposures() -> List[Dict[str, Any]]:
    """The captured exposure events, oldest first: dicts with "app_id", "event_name",
    "experiment_id", "group_id", "is_control", "properties" and (with a unit)
    "context"."""
    return json.loads(text(lib().orv_test_exposures_json, what="testing.exposures"))


def clear_exposures() -> None:
    """Forgets the captured events; what was exposed stays exposed."""
    check(lib().orv_test_clear_exposures(), "testing.clear_exposures")


def reset() -> None:
    """Back to the unstarted state; does nothing outside test mode."""
    check(lib().orv_test_reset(), "testing.reset")


def is_active() -> bool:
    """Whether test mode is on."""
    return lib().orv_test_is_active() == 1


__all__: Tuple[str, ...] = ("start", "set_payload", "exposures", "clear_exposures", "reset",
                            "is_active")
