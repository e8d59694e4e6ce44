#!/usr/bin/env python3
"""Slow clients for the serve tests: a slowloris attack from one or more addresses.

usage: slow_client.py PORT CONNECTIONS SOURCE_ADDRESS[,SOURCE_ADDRESS...]
Opens CONNECTIONS connections to 127.0.0.1:PORT from each SOURCE_ADDRESS, each starting
a request, then sends one more header line per connection every second, forever.
Prints "connected" once every connection has sent its first line (a connection the
server answers or closes at once still counts as sent). On SIGUSR1 prints "open N":
how many connections the server has neither answered nor closed. Ends by itself after
120 s.
"""
import select
import signal
import socket
import sys
import time

port, count, sources = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3].split(",")
connections = []
for source in sources:
    for _ in range(count):
        c = socket.create_connection(("127.0.0.1", port), source_address=(source, 0))
        try:
            c.sendall(b"POST /v1/remote-config/fetch HTTP/1.1\r\nHost: x\r\n")
        except OSError:
            pass
        connections.append(c)


def still_open():
    """Connections with nothing to read: an answer or a close would be readable."""
    readable = select.select(connections, [], [], 0)[0] if connections else []
    return len(connections) - len(readable)


signal.signal(signal.SIGUSR1, lambda *_: print("open %d" % still_open(), flush=True))
print("connected", flush=True)
deadline = time.time() + 120
n = 0
while time.time() < deadline:
    time.sleep(1)
    n += 1
    for c in list(connections):
        try:
            c.sendall(b"X-Slow-%d: 1\r\n" % n)
        except OSError:
            pass
