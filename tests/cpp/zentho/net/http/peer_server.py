#!/usr/bin/env python3
"""A small HTTP/1.1 peer for the client tests, on 127.0.0.1.

Paths: /hello, /body?n=N, /chunked?cut=N (the answer is sent in two pieces
split at byte N), /slow?ms=N, /redirect?code=C&to=LOC, /echo (method and body
length), /conns (connections accepted so far), /closeidle (the connection is
closed 50 ms after the answer). Prints the port on stdout once listening."""
import socket
import sys
import threading
import time
from urllib.parse import urlsplit, parse_qs

conns = 0
lock = threading.Lock()

CHUNKED = (b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
           b"5\r\nhello\r\n1;x=y\r\n \r\n10\r\n0123456789abcdef\r\n0\r\n\r\n")


def answer(code, body=b"", extra=b""):
    return (b"HTTP/1.1 %d X\r\nContent-Length: %d\r\n" % (code, len(body))) + extra + b"\r\n" + body


def read_request(f):
    line = f.readline()
    if not line:
        return None
    headers = {}
    while True:
        h = f.readline()
        if h in (b"\r\n", b"\n", b""):
            break
        k, _, v = h.decode().partition(":")
        headers[k.strip().lower()] = v.strip()
    body = b""
    if "content-length" in headers:
        body = f.read(int(headers["content-length"]))
    elif headers.get("transfer-encoding", "").lower() == "chunked":
        while True:
            size = int(f.readline().split(b";")[0], 16)
            if size == 0:
                f.readline()
                break
            body += f.read(size)
            f.readline()
    method, target, _ = line.decode().split(" ", 2)
    return method, target, headers, body


def serve(conn):
    global conns
    with lock:
        conns += 1
    conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    f = conn.makefile("rb")
    try:
        while True:
            req = read_request(f)
            if req is None:
                return
            method, target, headers, body = req
            u = urlsplit(target)
            q = {k: v[0] for k, v in parse_qs(u.query).items()}
            path = u.path
            if path == "/hello":
                conn.sendall(answer(200, b"hello"))
            elif path == "/body":
                n = int(q.get("n", "0"))
                conn.sendall(answer(200, bytes((i * 7) & 255 for i in range(n))))
            elif path == "/chunked":
                cut = int(q.get("cut", "0"))
                conn.sendall(CHUNKED[:cut])
                time.sleep(0.002)
                conn.sendall(CHUNKED[cut:])
            elif path == "/slow":
                time.sleep(int(q.get("ms", "0")) / 1000)
                conn.sendall(answer(200, b"slow"))
            elif path == "/redirect":
                code = int(q.get("code", "302"))
                conn.sendall(answer(code, b"moved", b"Location: " + q.get("to", "/hello").encode() + b"\r\n"))
            elif path == "/echo":
                conn.sendall(answer(200, ("%s %d %s" % (method, len(body), headers.get("user-agent", ""))).encode()))
            elif path == "/conns":
                conn.sendall(answer(200, str(conns).encode()))
            elif path == "/closeidle":
                conn.sendall(answer(200, b"bye soon"))
                time.sleep(0.05)
                return
            else:
                conn.sendall(answer(404, b"no"))
    except (ConnectionError, OSError):
        return
    finally:
        conn.close()


def main():
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("127.0.0.1", 0))
    s.listen(128)
    print(s.getsockname()[1], flush=True)
    while True:
        c, _ = s.accept()
        threading.Thread(target=serve, args=(c,), daemon=True).start()


if __name__ == "__main__":
    sys.exit(main())
