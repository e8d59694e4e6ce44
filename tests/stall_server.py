#!/usr/bin/env python3
"""A loopback server that takes connections and then stalls, for exit tests.

usage: stall_server.py MODE MARKER [CERT KEY]
  tls-handshake  TLS with CERT and KEY: takes the ClientHello, sends half of its own
                 first flight (ServerHello, certificate...), then stalls
  http-body      answers an HTTP request with headers and half a body, then stalls
Prints its port (one line) once listening and creates MARKER (empty) after each
connection reached the stalling point. Ends by itself after 120 s.
"""
import socket
import ssl
import sys
import threading
import time

mode, marker = sys.argv[1], sys.argv[2]
listener = socket.socket()
listener.bind(("127.0.0.1", 0))
listener.listen(64)
print(listener.getsockname()[1], flush=True)

held = []


def mark():
    open(marker, "a").close()


def serve(conn):
    held.append(conn)
    if mode == "tls-handshake":
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(sys.argv[3], sys.argv[4])
        incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
        tls = context.wrap_bio(incoming, outgoing, server_side=True)
        incoming.write(conn.recv(65536))
        try:
            tls.do_handshake()
        except ssl.SSLWantReadError:
            pass
        flight = outgoing.read()
        conn.sendall(flight[: len(flight) // 2])
        mark()
        return
    conn.recv(65536)
    conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
                 b"Content-Length: 1000\r\n\r\n{\"color\":")
    mark()


def accept_loop():
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=serve, args=(conn,), daemon=True).start()


threading.Thread(target=accept_loop, daemon=True).start()
time.sleep(120)
