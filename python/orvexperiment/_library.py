"""Loading of the shared library and the C prototypes this package calls.

The library is loaded once, on first use, by its soname, so that the dynamic linker
picks the installed major version (the one this package was installed with); the
environment variable ORVEXPERIMENT_LIBRARY names another file instead (a build tree's,
in the package's own tests).
"""

from __future__ import annotations

import ctypes
import os
import threading
from typing import Optional

# Kept equal to the build's soname by a check in the CMake configuration.
SONAME = "libOrvExperiment.so.2"
ENVIRONMENT_VARIABLE = "ORVEXPERIMENT_LIBRARY"

c_char_p = ctypes.c_char_p
c_void_p = ctypes.c_void_p
c_int = ctypes.c_int
c_double = ctypes.c_double
c_int64 = ctypes.c_int64
c_uint64 = ctypes.c_uint64
c_size_t = ctypes.c_size_t
POINTER = ctypes.POINTER


class OtlpStats(ctypes.Structure):
    """orv_otlp_stats_t."""

    _fields_ = [
        ("exported", c_uint64),
        ("rejected", c_uint64),
        ("dropped", c_uint64),
        ("failed_requests", c_uint64),
    ]


FETCH_CALLBACK = ctypes.CFUNCTYPE(None, c_void_p, c_int, c_int64, c_char_p)
CHANGE_CALLBACK = ctypes.CFUNCTYPE(None, c_void_p, POINTER(c_char_p), c_size_t)
EVENT_CALLBACK = ctypes.CFUNCTYPE(None, c_void_p, c_char_p, c_char_p, c_char_p)

_status = c_int
_text_out = [c_char_p, c_size_t, POINTER(c_size_t)]

# name: (result, argument types). Functions returning a status return a C int.
_PROTOTYPES = {
    "orv_status_string": (c_char_p, [c_int]),
    "orv_sdk_version": (c_char_p, []),
    "orv_package_version": (c_char_p, []),
    "orv_set_data_directory": (_status, [c_char_p]),
    "orv_enable_log": (None, [c_int]),
    "orv_config_create": (_status, [c_char_p, c_char_p, POINTER(c_void_p)]),
    "orv_config_free": (None, [c_void_p]),
    "orv_config_set_automatic_exposure_tracking": (_status, [c_void_p, c_int]),
    "orv_config_set_bucket_id_json": (_status, [c_void_p, c_char_p]),
    "orv_config_set_fetch_params_json": (_status, [c_void_p, c_char_p]),
    "orv_config_set_refresh_interval": (_status, [c_void_p, c_int64]),
    "orv_config_set_overrides_json": (_status, [c_void_p, c_char_p]),
    "orv_config_set_overrides_file": (_status, [c_void_p, c_char_p]),
    "orv_config_set_override_mode": (_status, [c_void_p, c_int]),
    "orv_config_add_request_header": (_status, [c_void_p, c_char_p, c_char_p]),
    "orv_config_set_timeouts": (_status, [c_void_p, c_int64, c_int64]),
    "orv_start_with_config": (_status, [c_void_p]),
    "orv_set_fetch_params_json": (_status, [c_char_p]),
    "orv_set_bucket_id_json": (_status, [c_char_p]),
    "orv_get_string": (_status, [c_char_p, c_char_p] + _text_out),
    "orv_get_double": (_status, [c_char_p, c_double, POINTER(c_double)]),
    "orv_get_int64": (_status, [c_char_p, c_int64, POINTER(c_int64)]),
    "orv_get_bool": (_status, [c_char_p, c_int, POINTER(c_int)]),
    "orv_get_json": (_status, [c_char_p, c_char_p] + _text_out),
    "orv_get_string_detail": (_status, [c_char_p, c_char_p, POINTER(c_void_p)]),
    "orv_get_number_detail": (_status, [c_char_p, c_double, POINTER(c_void_p)]),
    "orv_get_bool_detail": (_status, [c_char_p, c_int, POINTER(c_void_p)]),
    "orv_get_json_detail": (_status, [c_char_p, c_char_p, POINTER(c_void_p)]),
    "orv_detail_free": (None, [c_void_p]),
    "orv_detail_source": (_status, [c_void_p, POINTER(c_int)]),
    "orv_detail_reason": (_status, [c_void_p, POINTER(c_int)]),
    "orv_detail_json": (_status, [c_void_p] + _text_out),
    "orv_detail_in_experiment": (_status, [c_void_p, POINTER(c_int)]),
    "orv_detail_is_control": (_status, [c_void_p, POINTER(c_int)]),
    "orv_detail_experiment_id_json": (_status, [c_void_p] + _text_out),
    "orv_detail_group_id_json": (_status, [c_void_p] + _text_out),
    "orv_detail_bucket_id_json": (_status, [c_void_p] + _text_out),
    "orv_is_ready": (c_int, []),
    "orv_wait_until_ready": (_status, [c_int64, POINTER(c_int64)] + _text_out),
    "orv_fetch": (_status, [FETCH_CALLBACK, c_void_p]),
    "orv_add_change_listener": (_status, [CHANGE_CALLBACK, c_void_p, POINTER(c_uint64)]),
    "orv_remove_change_listener": (_status, [c_uint64]),
    "orv_add_event_sink": (_status, [EVENT_CALLBACK, c_void_p, POINTER(c_uint64)]),
    "orv_remove_event_sink": (_status, [c_uint64]),
    "orv_exposure": (_status, [c_char_p]),
    "orv_track": (_status, [c_char_p, c_double]),
    "orv_flush": (_status, [c_int64]),
    "orv_otlp_options_create": (_status, [c_char_p, POINTER(c_void_p)]),
    "orv_otlp_options_free": (None, [c_void_p]),
    "orv_otlp_options_add_header": (_status, [c_void_p, c_char_p, c_char_p]),
    "orv_otlp_options_set_max_batch": (_status, [c_void_p, c_int64]),
    "orv_otlp_options_set_flush_interval": (_status, [c_void_p, c_int64]),
    "orv_otlp_options_set_timeouts": (_status, [c_void_p, c_int64, c_int64]),
    "orv_add_otlp_exporter": (_status, [c_void_p, POINTER(c_uint64)]),
    "orv_remove_otlp_exporter": (_status, [c_uint64]),
    "orv_otlp_exporter_stats": (_status, [c_uint64, POINTER(OtlpStats)]),
    "orv_test_start": (_status, [c_char_p, c_void_p]),
    "orv_test_set_payload": (_status, [c_char_p]),
    "orv_test_exposures_json": (_status, _text_out),
    "orv_test_clear_exposures": (_status, []),
    "orv_test_reset": (_status, []),
    "orv_test_is_active": (c_int, []),
}

_lock = threading.Lock()
_library: Optional[ctypes.CDLL] = None


def library() -> ctypes.CDLL:
    """The loaded library with its prototypes declared; loads it on the first call.

    Raises OSError when it cannot be loaded (not installed, or a file that is not it).
    """
    global _library
    with _lock:
        if _library is None:
            path = os.environ.get(ENVIRONMENT_VARIABLE) or SONAME
            loaded = ctypes.CDLL(path)
            for name, (result, arguments) in _PROTOTYPES.items():
                function = getattr(loaded, name)
                function.restype = result
                function.argtypes = arguments
            _library = loaded
        return _library
