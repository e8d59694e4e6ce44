#!/usr/bin/env python3
"""Slow clients for the serve tests: a slowloris attack from one address.

usage: slow_client.py PORT CONNECTIONS SOURCE_ADDRESS
Opens CONNECTIONS connections to 127.0.0.1:PORT from SOURCE_ADDRESS, each starting a
request, then sends one more header line per connection every second, forever. Prints
"connected" once every connection has sent its first line. Connections the server
closes are left closed. Ends by itself after 120 s.
"""
import socket
import sys
import time

port, count, source = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
connections = []
for _ in range(count):
    c = socket.create_connection(("127.0.0.1", port), source_address=(source, 0))
    c.sendall(b"POST /v1/remote-config/fetch HTTP/1.1\r\nHost: x\r\n")
    connections.append(c)
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
            connections.remove(c)
