"""Start-up, reads, readiness, listeners, event sinks and outcomes.

The library is one per process: these are module-level functions over it. Every one
may be called from any thread. Reads never wait for the network or the disk; they
answer the default until the first payload is in place (see :func:`wait_until_ready`).
"""

from __future__ import annotations

import atexit
import ctypes
import enum
import json
import logging
import threading
from dataclasses import dataclass
from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence, Tuple

from . import _library
from ._native import encode, lib, milliseconds, text, to_json
from .errors import OrvError, Status, check

log = logging.getLogger("orvexperiment")


class OverrideMode(enum.IntEnum):
    """How local overrides and the server's payload combine."""

    LOCAL_OVER_REMOTE = 0  #: an override replaces the payload's value (default)
    REMOTE_OVER_LOCAL = 1  #: the payload wins; overrides fill missing keys
    LOCAL_ONLY = 2  #: overrides only: no fetch, no cache, no store


class Source(enum.IntEnum):
    """Where a detail read's value came from."""

    DEFAULT = 0
    CACHE = 1
    NETWORK = 2
    OVERRIDE = 3


class Reason(enum.IntEnum):
    """Why a detail read's value is what it is."""

    FOUND = 0
    MISSING_KEY = 1
    WRONG_TYPE = 2
    NOT_READY = 3


@dataclass(frozen=True)
class Experiment:
    """A feature's experiment membership; identifiers keep the payload's JSON kind."""

    experiment_id: Any
    group_id: Any
    bucket_id: Any
    is_control: bool


@dataclass(frozen=True)
class Detail:
    """A read with where its value came from, why, and the feature's experiment."""

    value: Any
    source: Source
    reason: Reason
    experiment: Optional[Experiment]


@dataclass(frozen=True)
class Event:
    """One event an event sink takes: an exposure ("zu_experiment_exposure"), an outcome
    ("orv_outcome") or another part of the process's; ``event_id`` is the same on every
    delivery of it."""

    name: str
    properties: Dict[str, Any]
    event_id: str


def sdk_version() -> str:
    """The SDK version the library reports to config servers."""
    return lib().orv_sdk_version().decode()


def package_version() -> str:
    """The installed library's own version (MAJOR.MINOR.PATCH)."""
    return lib().orv_package_version().decode()


def set_data_directory(path: str) -> None:
    """The directory for the exposure store, the event outbox and the payload cache;
    before :func:`start` (stores already open keep theirs)."""
    check(lib().orv_set_data_directory(encode(path)), "set_data_directory")


def enable_log(enable: bool = True) -> None:
    """Switches the library's log lines on stderr on or off (off by default)."""
    lib().orv_enable_log(1 if enable else 0)


def _make_config(
    app_id: str,
    server: str,
    bucket_id: Any,
    fetch_params: Any,
    overrides: Optional[Mapping[str, Any]],
    overrides_file: Optional[str],
    override_mode: OverrideMode,
    automatic_exposure_tracking: bool,
    refresh_interval: float,
    headers: Optional[Mapping[str, str]],
    timeouts: Optional[Tuple[float, float]],
) -> ctypes.c_void_p:
    """A new orv_config_t handle; the caller frees it."""
    handle = ctypes.c_void_p()
    check(lib().orv_config_create(encode(app_id), encode(server), ctypes.byref(handle)), "start")
    try:
        c = lib()
        tracking = int(automatic_exposure_tracking)
        check(c.orv_config_set_automatic_exposure_tracking(handle, tracking), "tracking")
        if bucket_id is not None:
            check(c.orv_config_set_bucket_id_json(handle, to_json(bucket_id)), "bucket_id")
        if fetch_params is not None:
            check(c.orv_config_set_fetch_params_json(handle, to_json(fetch_params)), "fetch_params")
        if overrides is not None:
            check(c.orv_config_set_overrides_json(handle, to_json(dict(overrides))), "overrides")
        if overrides_file is not None:
            check(c.orv_config_set_overrides_file(handle, encode(overrides_file)), "overrides_file")
        check(c.orv_config_set_override_mode(handle, int(override_mode)), "override_mode")
        if refresh_interval:
            check(c.orv_config_set_refresh_interval(handle, int(refresh_interval)),
                  "refresh_interval")
        for name, value in (headers or {}).items():
            check(c.orv_config_add_request_header(handle, encode(name), encode(value)),
                  f"header {name}")
        if timeouts is not None:
            check(c.orv_config_set_timeouts(handle, milliseconds(timeouts[0]),
                                            milliseconds(timeouts[1])), "timeouts")
    except BaseException:
        lib().orv_config_free(handle)
        raise
    return handle


def start(
    app_id: str,
    server: str,
    bucket_id: Any = None,
    data_directory: Optional[str] = None,
    *,
    fetch_params: Any = None,
    overrides: Optional[Mapping[str, Any]] = None,
    overrides_file: Optional[str] = None,
    override_mode: OverrideMode = OverrideMode.LOCAL_OVER_REMOTE,
    automatic_exposure_tracking: bool = True,
    refresh_interval: float = 0,
    headers: Optional[Mapping[str, str]] = None,
    timeouts: Optional[Tuple[float, float]] = None,
) -> None:
    """Starts the library for an application and a config server (http, https or file
    URL). Returns at once: the payload comes from the cache and a fetch in the background.

    ``bucket_id`` (any JSON value) identifies the unit assigned to groups and recorded
    with outcomes; ``fetch_params`` (JSON) go with every fetch; ``overrides`` pin features
    to values on this machine (``overrides_file`` too, re-read when it changes), combined
    with the payload as ``override_mode`` says; ``refresh_interval`` in seconds (0: none,
    else at least 30); ``headers`` go with every fetch; ``timeouts`` are (connect, request)
    in seconds. Raises OrvError (``INVALID_JSON``, ``INVALID_ARGUMENT``) for a setting the
    library refuses, and TypeError for a value JSON cannot hold.
    """
    if data_directory is not None:
        set_data_directory(data_directory)
    handle = _make_config(app_id, server, bucket_id, fetch_params, overrides, overrides_file,
                          override_mode, automatic_exposure_tracking, refresh_interval, headers,
                          timeouts)
    try:
        check(lib().orv_start_with_config(handle), "start")
    finally:
        lib().orv_config_free(handle)


def set_bucket_id(bucket_id: Any) -> None:
    """Replaces the bucket identifier for later fetches and outcomes."""
    check(lib().orv_set_bucket_id_json(to_json(bucket_id)), "set_bucket_id")


def set_fetch_params(params: Any) -> None:
    """Replaces the custom fetch parameters for later fetches."""
    check(lib().orv_set_fetch_params_json(to_json(params)), "set_fetch_params")


def is_ready() -> bool:
    """Whether a feature table (from the cache or a fetch) is in place."""
    return lib().orv_is_ready() == 1


def wait_until_ready(timeout: float) -> None:
    """Waits up to ``timeout`` seconds for a feature table.

    Raises OrvError with status ``TIMEOUT``, or ``STARTUP_FAILED`` (with the failed
    fetch's ``code`` and ``message``) when start-up ended with neither a cache nor a
    payload, or ``WOULD_DEADLOCK`` inside a callback of the library.
    """
    code = ctypes.c_int64(0)
    message = ctypes.create_string_buffer(1024)
    length = ctypes.c_size_t(0)
    status = lib().orv_wait_until_ready(milliseconds(timeout), ctypes.byref(code), message,
                                        len(message), ctypes.byref(length))
    if status == Status.STARTUP_FAILED:
        raise OrvError(status, "wait_until_ready", code.value,
                       message.value.decode("utf-8", "replace"))
    check(status, "wait_until_ready")


def get_string(key: str, default: str = "") -> str:
    """The feature as text (a number's digits, compact JSON for objects); ``default``
    when there is none. Reports the feature's exposure, as every read does."""
    return text(lib().orv_get_string, encode(key), encode(default), what="get_string")


def get_number(key: str, default: float = 0.0) -> float:
    """The feature as a float (booleans 0 and 1, a string holding a decimal number read
    as one); ``default`` otherwise."""
    value = ctypes.c_double()
    check(lib().orv_get_double(encode(key), float(default), ctypes.byref(value)), "get_number")
    return value.value


def get_int(key: str, default: int = 0) -> int:
    """The feature as a 64-bit integer (fractions truncated toward zero, out-of-range
    values saturated); ``default`` otherwise."""
    value = ctypes.c_int64()
    check(lib().orv_get_int64(encode(key), int(default), ctypes.byref(value)), "get_int")
    return value.value


def get_bool(key: str, default: bool = False) -> bool:
    """A number's truth (non-zero is true); ``default`` for anything else, strings such as
    "true" included."""
    value = ctypes.c_int()
    check(lib().orv_get_bool(encode(key), int(bool(default)), ctypes.byref(value)), "get_bool")
    return value.value != 0


def get_json(key: str, default: Optional[Mapping[str, Any]] = None) -> Dict[str, Any]:
    """A feature that holds a JSON object, as a dict; ``default`` (or {}) otherwise."""
    fallback = None if default is None else to_json(dict(default))
    return json.loads(text(lib().orv_get_json, encode(key), fallback, what="get_json"))


def _detail(handle: ctypes.c_void_p) -> Detail:
    c = lib()
    try:
        source, reason, member = ctypes.c_int(), ctypes.c_int(), ctypes.c_int()
        check(c.orv_detail_source(handle, ctypes.byref(source)), "detail")
        check(c.orv_detail_reason(handle, ctypes.byref(reason)), "detail")
        check(c.orv_detail_in_experiment(handle, ctypes.byref(member)), "detail")
        value = json.loads(text(c.orv_detail_json, handle, what="detail"))
        experiment = None
        if member.value:
            control = ctypes.c_int()
            check(c.orv_detail_is_control(handle, ctypes.byref(control)), "detail")
            experiment = Experiment(
                json.loads(text(c.orv_detail_experiment_id_json, handle, what="detail")),
                json.loads(text(c.orv_detail_group_id_json, handle, what="detail")),
                json.loads(text(c.orv_detail_bucket_id_json, handle, what="detail")),
                control.value != 0)
        return Detail(value, Source(source.value), Reason(reason.value), experiment)
    finally:
        c.orv_detail_free(handle)


def get_string_detail(key: str, default: str = "") -> Detail:
    """:func:`get_string` with its :class:`Detail` (the value is the JSON value)."""
    handle = ctypes.c_void_p()
    check(lib().orv_get_string_detail(encode(key), encode(default), ctypes.byref(handle)), "detail")
    return _detail(handle)


def get_number_detail(key: str, default: float = 0.0) -> Detail:
    """:func:`get_number` with its :class:`Detail`; an integer feature stays an int."""
    handle = ctypes.c_void_p()
    check(lib().orv_get_number_detail(encode(key), float(default), ctypes.byref(handle)), "detail")
    return _detail(handle)


def get_bool_detail(key: str, default: bool = False) -> Detail:
    """:func:`get_bool` with its :class:`Detail` (the value is the feature's number)."""
    handle = ctypes.c_void_p()
    check(lib().orv_get_bool_detail(encode(key), int(bool(default)), ctypes.byref(handle)),
          "detail")
    return _detail(handle)


def get_json_detail(key: str, default: Optional[Mapping[str, Any]] = None) -> Detail:
    """:func:`get_json` with its :class:`Detail`."""
    handle = ctypes.c_void_p()
    fallback = None if default is None else to_json(dict(default))
    check(lib().orv_get_json_detail(encode(key), fallback, ctypes.byref(handle)), "detail")
    return _detail(handle)


def exposure(key: str) -> None:
    """Reports an exposure of a feature whatever automatic exposure tracking says."""
    check(lib().orv_exposure(encode(key)), "exposure")


def track(name: str, value: float = 1.0) -> None:
    """Records an outcome of the current unit (the bucket identifier, else the fetch
    parameter "unit_id"): stored before it returns, then delivered like an exposure.

    Raises OrvError ``INVALID_ARGUMENT`` for a bad name (1 to 128 letters, digits, ``_``,
    ``.``, ``:``, ``-``) or a value that is not finite, ``NO_UNIT`` before a start or
    without a unit.
    """
    check(lib().orv_track(encode(name), float(value)), f"track {name}")


def flush(timeout: float = 30.0) -> None:
    """Waits until every exposure and outcome recorded before the call has reached the
    event sinks and the exporters' collectors. Raises OrvError ``TIMEOUT``, or
    ``WOULD_DEADLOCK`` inside an event sink."""
    check(lib().orv_flush(milliseconds(timeout)), "flush")


# Registered callbacks by (kind, id): the ctypes objects must outlive every call the
# library may still make, so they are dropped only after the C removal returned (which
# waits for a running call).
_registered: Dict[Tuple[str, int], Any] = {}
_registered_lock = threading.Lock()


def _call_safely(what: str, call: Callable[[], None]) -> None:
    # An exception must not unwind into the library's thread (decoding what it passed
    # included): it is logged and dropped.
    try:
        call()
    except BaseException:  # noqa: BLE001 - nothing may escape into C
        log.exception("orvexperiment: %s raised; ignored", what)


def add_change_listener(listener: Callable[[List[str]], None]) -> int:
    """Calls ``listener(keys)`` on the library's main queue after each load that changed
    features, with the sorted keys that differ. Returns an id for
    :func:`remove_change_listener`. An exception it raises is logged and ignored."""

    def trampoline(_user: Any, keys: Any, count: int) -> None:
        _call_safely("change listener",
                     lambda: listener([keys[i].decode("utf-8", "replace") for i in range(count)]))

    callback = _library.CHANGE_CALLBACK(trampoline)
    identifier = ctypes.c_uint64()
    check(lib().orv_add_change_listener(callback, None, ctypes.byref(identifier)),
          "add_change_listener")
    with _registered_lock:
        _registered[("listener", identifier.value)] = callback
    return identifier.value


def remove_change_listener(listener_id: int) -> None:
    """Removes a change listener; once it returns the listener neither runs nor will run.
    Raises OrvError ``NOT_FOUND`` for an unknown id."""
    check(lib().orv_remove_change_listener(listener_id), "remove_change_listener")
    with _registered_lock:
        _registered.pop(("listener", listener_id), None)


def add_event_sink(sink: Callable[[Event], None]) -> int:
    """Hands every event to ``sink(event)``, in order, one at a time, on the library's
    delivering thread; events stored before any sink (also by earlier runs) are delivered
    before this returns. Returns an id for :func:`remove_event_sink`. An exception the
    sink raises is logged and ignored (the event counts as taken)."""

    def trampoline(_user: Any, name: bytes, properties: bytes, event_id: bytes) -> None:
        _call_safely("event sink", lambda: sink(Event(
            name.decode("utf-8", "replace"), json.loads(properties), event_id.decode())))

    callback = _library.EVENT_CALLBACK(trampoline)
    identifier = ctypes.c_uint64()
    check(lib().orv_add_event_sink(callback, None, ctypes.byref(identifier)), "add_event_sink")
    with _registered_lock:
        _registered[("sink", identifier.value)] = callback
    return identifier.value


def remove_event_sink(sink_id: int) -> None:
    """Removes an event sink; once it returns the sink neither runs nor will run. Raises
    OrvError ``NOT_FOUND`` for an unknown id."""
    check(lib().orv_remove_event_sink(sink_id), "remove_event_sink")
    with _registered_lock:
        _registered.pop(("sink", sink_id), None)


# Fetch callbacks not yet called; each removes itself once it has run.
_pending_fetches: Dict[int, Any] = {}


def fetch(callback: Optional[Callable[[bool, int, str], None]] = None) -> None:
    """Fetches now; ``callback(ok, code, message)`` hears the outcome once, on the main
    queue (``code`` is the HTTP status or the library's negative code of a failure)."""
    if callback is None:
        check(lib().orv_fetch(_library.FETCH_CALLBACK(), None), "fetch")
        return
    key: List[int] = []

    def trampoline(_user: Any, ok: int, code: int, message: bytes) -> None:
        try:
            _call_safely("fetch callback",
                         lambda: callback(ok == 1, code, message.decode("utf-8", "replace")))
        finally:
            with _registered_lock:
                _pending_fetches.pop(key[0], None)

    c_callback = _library.FETCH_CALLBACK(trampoline)
    key.append(id(c_callback))
    with _registered_lock:
        _pending_fetches[key[0]] = c_callback
    status = lib().orv_fetch(c_callback, None)
    if status != Status.OK:
        with _registered_lock:
            _pending_fetches.pop(key[0], None)
        check(status, "fetch")


@atexit.register
def _unregister_all() -> None:
    # Library threads outlive the interpreter's finalisation: no callback of ours may
    # run into it. Removal waits for a call under way, which needs the GIL the C call
    # releases.
    with _registered_lock:
        keys = list(_registered)
    for kind, identifier in keys:
        if kind == "listener":
            lib().orv_remove_change_listener(identifier)
        else:
            lib().orv_remove_event_sink(identifier)
