"""Export of every event (exposures and outcomes) to an OpenTelemetry collector or any
OTLP/HTTP receiver, from a thread of the library's own, durably and at least once."""

from __future__ import annotations

import ctypes
from dataclasses import dataclass
from typing import Mapping, Optional

from . import _library
from ._native import encode, lib, milliseconds
from .errors import check


@dataclass(frozen=True)
class ExporterStats:
    """What an exporter has done since it was added."""

    exported: int  #: log records the collector accepted
    rejected: int  #: of those, ones the collector reported it rejected
    dropped: int  #: log records refused for good, kept as dead letters
    failed_requests: int  #: requests that failed and will be retried


def add_otlp_exporter(
    endpoint: str,
    headers: Optional[Mapping[str, str]] = None,
    *,
    max_batch: Optional[int] = None,
    flush_interval: Optional[float] = None,
    connect_timeout: float = 10.0,
    request_timeout: float = 10.0,
) -> int:
    """Sends every event to ``{endpoint}/v1/logs`` ("http(s)://host[:port][/base]") in
    batches of up to ``max_batch`` records (default 512), each event waiting at most
    ``flush_interval`` seconds (default 1) for its batch; timeouts in seconds.
    :func:`orvexperiment.flush` also waits for the collector. Works with no event sink.

    Returns an id for :func:`remove_otlp_exporter` and :func:`otlp_exporter_stats`; an
    endpoint that has an exporter already gives that one's id. Raises OrvError
    ``INVALID_ARGUMENT`` for an endpoint that is not an http(s) URL, a header the library
    refuses, or a value out of range.
    """
    c = lib()
    options = ctypes.c_void_p()
    check(c.orv_otlp_options_create(encode(endpoint), ctypes.byref(options)), "otlp exporter")
    try:
        for name, value in (headers or {}).items():
            check(c.orv_otlp_options_add_header(options, encode(name), encode(value)),
                  f"otlp exporter header {name}")
        if max_batch is not None:
            check(c.orv_otlp_options_set_max_batch(options, int(max_batch)), "max_batch")
        if flush_interval is not None:
            check(c.orv_otlp_options_set_flush_interval(options, milliseconds(flush_interval)),
                  "flush_interval")
        check(c.orv_otlp_options_set_timeouts(options, milliseconds(connect_timeout),
                                              milliseconds(request_timeout)), "timeouts")
        identifier = ctypes.c_uint64()
        check(c.orv_add_otlp_exporter(options, ctypes.byref(identifier)),
              f"otlp exporter to {endpoint}")
        return identifier.value
    finally:
        c.orv_otlp_options_free(options)


def remove_otlp_exporter(exporter_id: int) -> None:
    """Stops an exporter (waiting for a request in flight). What the collector has not
    accepted stays queued for an exporter to the same endpoint, in this run or a later
    one: call :func:`orvexperiment.flush` first. Raises OrvError ``NOT_FOUND``."""
    check(lib().orv_remove_otlp_exporter(exporter_id), "remove_otlp_exporter")


def otlp_exporter_stats(exporter_id: int) -> ExporterStats:
    """The exporter's counters. Raises OrvError ``NOT_FOUND`` for an unknown id."""
    stats = _library.OtlpStats()
    check(lib().orv_otlp_exporter_stats(exporter_id, ctypes.byref(stats)), "otlp_exporter_stats")
    return ExporterStats(stats.exported, stats.rejected, stats.dropped, stats.failed_requests)
