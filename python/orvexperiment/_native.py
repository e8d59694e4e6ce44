"""Small helpers over the C calls: text out of the snprintf-style buffers, JSON in and
out, and durations."""

from __future__ import annotations

import ctypes
import json
import math
from typing import Any, Callable, Optional

from . import _library
from .errors import OrvError, Status

# More than the C interface's cap (a year) counts as the cap.
_MAX_SECONDS = 365 * 24 * 3600


def lib() -> ctypes.CDLL:
    return _library.library()


def text(call: Callable[..., int], *leading: Any, what: str) -> str:
    """Calls ``call(*leading, buffer, size, &length)`` until the text fits; its text."""
    size = 256
    while True:
        buffer = ctypes.create_string_buffer(size)
        length = ctypes.c_size_t(0)
        status = call(*leading, buffer, size, ctypes.byref(length))
        if status == Status.OK:
            return buffer.raw[: length.value].decode("utf-8", "replace")
        if status != Status.BUFFER_TOO_SMALL:
            raise OrvError(status, what)
        size = length.value + 1


def encode(value: Optional[str]) -> Optional[bytes]:
    return None if value is None else value.encode("utf-8")


def to_json(value: Any) -> bytes:
    """``value`` as compact JSON text; TypeError for what JSON cannot hold."""
    return json.dumps(value, separators=(",", ":"), allow_nan=False).encode("utf-8")


def milliseconds(seconds: float) -> int:
    """Seconds as whole milliseconds, capped at a year; a negative stays negative so that
    the library refuses it."""
    if math.isnan(seconds):
        raise ValueError("a duration must be a number of seconds, not NaN")
    return int(round(min(seconds, _MAX_SECONDS) * 1000))
