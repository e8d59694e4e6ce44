"""Another language binds the C interface: a small ctypes binding of the installed
libOrvExperiment.so.N (Debian's python3, no package beyond the standard library), used
against a real `orvexp serve`. Waits for callbacks with generous timeouts, never for a
time. Usage: c_api_ctypes.py LIBRARY SERVER_URL PAYLOAD_FILE DATA_DIR VERSION
"""

import ctypes
import json
import sys
import threading

OK = 0
NULL_ARGUMENT = -1
BUFFER_TOO_SMALL = -4
SOURCE_NETWORK = 2
REASON_FOUND = 0
WAIT = 60.0  # seconds: generous, so a loaded machine only makes the test slower

FETCH_CALLBACK = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_int, ctypes.c_int64,
                                  ctypes.c_char_p)
CHANGE_CALLBACK = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.POINTER(ctypes.c_char_p),
                                   ctypes.c_size_t)
EVENT_CALLBACK = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p,
                                  ctypes.c_char_p)


class OrvError(Exception):
    def __init__(self, lib, status):
        super().__init__(f"{status}: {lib.orv_status_string(status).decode()}")
        self.status = status


class Orv:
    """The binding: argument types, text through the buffer convention (grown and retried
    when too small), callbacks kept alive for as long as the library may call them."""

    def __init__(self, path):
        lib = ctypes.CDLL(path)
        self.lib = lib
        c_char_p, c_size_t, c_int, c_int64 = (ctypes.c_char_p, ctypes.c_size_t, ctypes.c_int,
                                             ctypes.c_int64)
        size_p, u64_p, handle = (ctypes.POINTER(c_size_t), ctypes.POINTER(ctypes.c_uint64),
                                 ctypes.c_void_p)
        text_out = [ctypes.c_char_p, c_size_t, size_p]
        signatures = {
            "orv_status_string": (c_char_p, [c_int]),
            "orv_sdk_version": (c_char_p, []),
            "orv_package_version": (c_char_p, []),
            "orv_set_data_directory": (c_int, [c_char_p]),
            "orv_start": (c_int, [c_char_p, c_char_p]),
            "orv_is_ready": (c_int, []),
            "orv_wait_until_ready": (c_int, [c_int64, ctypes.POINTER(c_int64)] + text_out),
            "orv_get_string": (c_int, [c_char_p, c_char_p] + text_out),
            "orv_get_double": (c_int, [c_char_p, ctypes.c_double, ctypes.POINTER(ctypes.c_double)]),
            "orv_get_int64": (c_int, [c_char_p, c_int64, ctypes.POINTER(c_int64)]),
            "orv_get_bool": (c_int, [c_char_p, c_int, ctypes.POINTER(c_int)]),
            "orv_get_json": (c_int, [c_char_p, c_char_p] + text_out),
            "orv_get_string_detail": (c_int, [c_char_p, c_char_p, ctypes.POINTER(handle)]),
            "orv_detail_free": (None, [handle]),
            "orv_detail_source": (c_int, [handle, ctypes.POINTER(c_int)]),
            "orv_detail_reason": (c_int, [handle, ctypes.POINTER(c_int)]),
            "orv_detail_string": (c_int, [handle] + text_out),
            "orv_detail_is_control": (c_int, [handle, ctypes.POINTER(c_int)]),
            "orv_detail_experiment_id_json": (c_int, [handle] + text_out),
            "orv_detail_group_id_json": (c_int, [handle] + text_out),
            "orv_detail_bucket_id_json": (c_int, [handle] + text_out),
            "orv_fetch": (c_int, [FETCH_CALLBACK, ctypes.c_void_p]),
            "orv_add_change_listener": (c_int, [CHANGE_CALLBACK, ctypes.c_void_p, u64_p]),
            "orv_remove_change_listener": (c_int, [ctypes.c_uint64]),
            "orv_add_event_sink": (c_int, [EVENT_CALLBACK, ctypes.c_void_p, u64_p]),
            "orv_remove_event_sink": (c_int, [ctypes.c_uint64]),
            "orv_flush": (c_int, [c_int64]),
        }
        for name, (restype, argtypes) in signatures.items():
            function = getattr(lib, name)
            function.restype = restype
            function.argtypes = argtypes
        self._alive = {}  # callbacks by id; fetch callbacks stay (each runs once, late)
        self._fetches = []
        self.retries = 0  # texts that needed a second, larger buffer

    def _check(self, status):
        if status != OK:
            raise OrvError(self.lib, status)

    def _text(self, call, *args):
        size = 4  # small on purpose: most texts take the retry path
        while True:
            buffer = ctypes.create_string_buffer(size)
            length = ctypes.c_size_t()
            status = call(*args, buffer, size, ctypes.byref(length))
            if status == OK:
                return buffer.raw[:length.value].decode()
            if status != BUFFER_TOO_SMALL:
                raise OrvError(self.lib, status)
            self.retries += 1
            size = length.value + 1

    def start(self, app_id, url):
        self._check(self.lib.orv_start(app_id.encode(), url.encode()))

    def wait_until_ready(self, seconds):
        """True when ready; raises with the failure's code and message otherwise."""
        code = ctypes.c_int64()
        status = self.lib.orv_wait_until_ready(int(seconds * 1000), ctypes.byref(code), None, 0,
                                               None)
        if status == OK:
            return True
        raise OrvError(self.lib, status)

    def get_string(self, key, default=""):
        return self._text(self.lib.orv_get_string, key.encode(), default.encode())

    def get_double(self, key, default=0.0):
        value = ctypes.c_double()
        self._check(self.lib.orv_get_double(key.encode(), default, ctypes.byref(value)))
        return value.value

    def get_int64(self, key, default=0):
        value = ctypes.c_int64()
        self._check(self.lib.orv_get_int64(key.encode(), default, ctypes.byref(value)))
        return value.value

    def get_bool(self, key, default=False):
        value = ctypes.c_int()
        self._check(self.lib.orv_get_bool(key.encode(), int(default), ctypes.byref(value)))
        return bool(value.value)

    def get_json(self, key, default=None):
        text = self._text(self.lib.orv_get_json, key.encode(),
                          None if default is None else json.dumps(default).encode())
        return json.loads(text)

    def string_detail(self, key, default=""):
        handle = ctypes.c_void_p()
        self._check(self.lib.orv_get_string_detail(key.encode(), default.encode(),
                                                   ctypes.byref(handle)))
        try:
            source, reason, control = ctypes.c_int(), ctypes.c_int(), ctypes.c_int()
            self._check(self.lib.orv_detail_source(handle, ctypes.byref(source)))
            self._check(self.lib.orv_detail_reason(handle, ctypes.byref(reason)))
            detail = {"value": self._text(self.lib.orv_detail_string, handle),
                      "source": source.value, "reason": reason.value, "experiment": None}
            if self.lib.orv_detail_is_control(handle, ctypes.byref(control)) == OK:
                detail["experiment"] = {
                    "experiment_id": json.loads(
                        self._text(self.lib.orv_detail_experiment_id_json, handle)),
                    "group_id": json.loads(self._text(self.lib.orv_detail_group_id_json, handle)),
                    "bucket_id": json.loads(self._text(self.lib.orv_detail_bucket_id_json, handle)),
                    "is_control": bool(control.value)}
            return detail
        finally:
            self.lib.orv_detail_free(handle)

    def fetch(self, done):
        """done(ok, code, message) runs once, on the library's main queue."""
        callback = FETCH_CALLBACK(lambda _user, ok, code, message: done(bool(ok), code,
                                                                      message.decode()))
        self._fetches.append(callback)
        self._check(self.lib.orv_fetch(callback, None))

    def add_change_listener(self, listener):
        def call(_user, keys, count):
            listener([keys[i].decode() for i in range(count)])
        callback = CHANGE_CALLBACK(call)
        listener_id = ctypes.c_uint64()
        self._check(self.lib.orv_add_change_listener(callback, None, ctypes.byref(listener_id)))
        self._alive[("change", listener_id.value)] = callback
        return listener_id.value

    def remove_change_listener(self, listener_id):
        # The library promises no call once this returns, so the callback may go.
        self._check(self.lib.orv_remove_change_listener(listener_id))
        del self._alive[("change", listener_id)]

    def add_event_sink(self, sink):
        callback = EVENT_CALLBACK(lambda _user, name, properties, event_id: sink(
            name.decode(), json.loads(properties), event_id.decode()))
        sink_id = ctypes.c_uint64()
        self._check(self.lib.orv_add_event_sink(callback, None, ctypes.byref(sink_id)))
        self._alive[("sink", sink_id.value)] = callback
        return sink_id.value

    def remove_event_sink(self, sink_id):
        self._check(self.lib.orv_remove_event_sink(sink_id))
        del self._alive[("sink", sink_id)]

    def flush(self, seconds):
        return self.lib.orv_flush(int(seconds * 1000)) == OK


class Heard:
    """What callbacks delivered, for the main thread to wait on."""

    def __init__(self):
        self.condition = threading.Condition()
        self.items = []

    def add(self, item):
        with self.condition:
            self.items.append(item)
            self.condition.notify_all()

    def wait_for(self, predicate):
        with self.condition:
            if not self.condition.wait_for(lambda: predicate(self.items), timeout=WAIT):
                raise AssertionError(f"not heard within {WAIT} s; heard {self.items}")
            return list(self.items)


def main():
    library, url, payload, data_dir, version = sys.argv[1:]
    orv = Orv(library)
    assert orv.lib.orv_sdk_version().decode() == "1.0.2"  # what servers see, not the package
    assert orv.lib.orv_package_version().decode() == version
    # A NULL where a key belongs is an error code, not a crash.
    assert orv.lib.orv_get_string(None, None, None, 0, None) == NULL_ARGUMENT
    orv._check(orv.lib.orv_set_data_directory(data_dir.encode()))

    events, changes, fetches = Heard(), Heard(), Heard()
    sink = orv.add_event_sink(lambda name, properties, event_id: events.add(
        (name, properties, event_id)))
    listener = orv.add_change_listener(changes.add)
    orv.start("py-app", url)
    assert orv.wait_until_ready(WAIT)
    assert orv.lib.orv_is_ready() == 1

    assert orv.get_string("color") == "red"
    assert orv.get_string("nope", "fallback") == "fallback"
    assert orv.get_double("price") == 3.5
    assert orv.get_int64("limit") == 20
    assert orv.get_bool("flag") is True
    assert orv.get_json("banner") == {"title": "Welcome", "dismissible": True}
    assert orv.get_json("color", {"d": 1}) == {"d": 1}
    assert orv.retries > 0
    detail = orv.string_detail("color")
    assert detail == {"value": "red", "source": SOURCE_NETWORK, "reason": REASON_FOUND,
                      "experiment": {"experiment_id": "101", "group_id": "2", "bucket_id": 7,
                                     "is_control": False}}, detail

    # color was read three times (typed, detail, and once more below): one exposure.
    assert orv.get_string("color") == "red"
    assert orv.flush(WAIT)
    heard = events.wait_for(lambda items: len(items) >= 1)
    exposures = [properties for name, properties, _ in heard
                 if name == "zu_experiment_exposure" and properties.get("#experiment_id") == "101"]
    assert exposures == [{"#experiment_id": "101", "#experiment_group_id": "2",
                          "#is_control_group": False}], heard
    assert len({event_id for _, _, event_id in heard}) == len(heard)

    with open(payload, "w", encoding="utf-8") as f:
        json.dump({"color": "blue"}, f)
    orv.fetch(lambda ok, code, message: fetches.add((ok, code, message)))
    assert fetches.wait_for(lambda items: len(items) >= 1) == [(True, 0, "")]
    assert orv.get_string("color") == "blue"
    heard = changes.wait_for(lambda items: len(items) >= 2)
    assert heard[0] == ["banner", "color", "flag", "limit", "price"], heard
    assert heard[1] == ["banner", "color", "flag", "limit", "price"], heard

    # No Python callback may run once the interpreter shuts down: remove them first.
    orv.remove_event_sink(sink)
    orv.remove_change_listener(listener)
    assert orv.flush(WAIT)
    # The last thing before exit is a read.
    assert orv.get_string("color") == "blue"


if __name__ == "__main__":
    main()
