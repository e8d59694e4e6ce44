"""OrvExperiment for Python: feature reads, experiment exposures and outcomes over the
installed shared library (libOrvExperiment.so.N), through ctypes.

A typical program::

    import orvexperiment as orv

    orv.start("my-app", "https://config.example", bucket_id="user-42")
    orv.wait_until_ready(5.0)
    if orv.get_string("color", "red") == "blue":
        ...
    orv.track("purchase", 12.5)
    orv.flush()

Every call may raise :class:`OrvError`, whose ``status`` is the C interface's status
code (:class:`Status`). The environment variable ORVEXPERIMENT_LIBRARY names the shared
library to load instead of the installed one.
"""

from . import testing
from .client import (
    Detail,
    Event,
    Experiment,
    OverrideMode,
    Reason,
    Source,
    add_change_listener,
    add_event_sink,
    enable_log,
    exposure,
    fetch,
    flush,
    get_bool,
    get_bool_detail,
    get_int,
    get_json,
    get_json_detail,
    get_number,
    get_number_detail,
    get_string,
    get_string_detail,
    is_ready,
    package_version,
    remove_change_listener,
    remove_event_sink,
    sdk_version,
    set_bucket_id,
    set_data_directory,
    set_fetch_params,
    start,
    track,
    wait_until_ready,
)
from .errors import OrvError, Status
from .exporter import ExporterStats, add_otlp_exporter, otlp_exporter_stats, remove_otlp_exporter

__all__ = [
    "Detail",
    "Event",
    "Experiment",
    "ExporterStats",
    "OrvError",
    "OverrideMode",
    "Reason",
    "Source",
    "Status",
    "add_change_listener",
    "add_event_sink",
    "add_otlp_exporter",
    "enable_log",
    "exposure",
    "fetch",
    "flush",
    "get_bool",
    "get_bool_detail",
    "get_int",
    "get_json",
    "get_json_detail",
    "get_number",
    "get_number_detail",
    "get_string",
    "get_string_detail",
    "is_ready",
    "otlp_exporter_stats",
    "package_version",
    "remove_change_listener",
    "remove_event_sink",
    "remove_otlp_exporter",
    "sdk_version",
    "set_bucket_id",
    "set_data_directory",
    "set_fetch_params",
    "start",
    "testing",
    "track",
    "wait_until_ready",
]
