"""The library's status codes and the exception that carries them."""

from __future__ import annotations

import enum

from . import _library


class Status(enum.IntEnum):
    """orv_status_t: OK or a negative error code."""

    OK = 0
    NULL_ARGUMENT = -1
    INVALID_ARGUMENT = -2
    INVALID_JSON = -3
    BUFFER_TOO_SMALL = -4
    NOT_FOUND = -5
    TIMEOUT = -6
    STARTUP_FAILED = -7
    WOULD_DEADLOCK = -8
    OUT_OF_MEMORY = -9
    INTERNAL = -10
    NO_UNIT = -11


class OrvError(Exception):
    """A call the library refused or that failed; ``status`` says which way.

    ``status`` is a :class:`Status` (or the plain int for a code this package does not
    know). A failed start-up (``Status.STARTUP_FAILED``) also has the failed fetch's
    ``code`` and ``message``; other errors have ``code`` 0 and the status's description.
    """

    def __init__(self, status: int, what: str = "", code: int = 0, message: str = "") -> None:
        try:
            self.status: "Status | int" = Status(status)
        except ValueError:
            self.status = status
        self.code = code
        self.message = message or _library.library().orv_status_string(status).decode()
        super().__init__(f"{what}: {self.message}" if what else self.message)


def check(status: int, what: str) -> None:
    """Raises OrvError unless ``status`` is OK."""
    if status != Status.OK:
        raise OrvError(status, what)
