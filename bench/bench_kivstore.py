#!/usr/bin/env python3
"""Speed of the local object store beside nginx serving the same bytes from disk.

Prints, in one run: 4 KiB GETs per second (wrk, keep-alive), MB/s of a 256 MiB GET and of a
256 MiB PUT (one keep-alive connection; nginx stores PUT bodies with its DAV module), each
with the ratio store / nginx, and the time of a listing page of 1000 keys out of a bucket
of a million (that one has no peer; it is shown against its 10 ms budget).

Both servers run one process on this machine; wrk and the client share the two cores.
Usage: .venv/bin/python bench/bench_kivstore.py [--seconds 5] [--keys 1000000]
"""

import argparse
import json
import os
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(REPO, 'tests', 'python'))
from kivstore_fixture import ENDPOINT, kiv_sign  # noqa: E402

BUCKET = 'kiv-bench'
KEY_ID, SECRET = 'benchkey', 'benchsecret'
BIG = 256 << 20
SMALL = 4096


def free_port():
    s = socket.socket()
    s.bind(('127.0.0.1', 0))
    port = s.getsockname()[1]
    s.close()
    return port


def signed_headers(method, key, port, query=(), extra=()):
    vhost = '%s.%s' % (BUCKET, ENDPOINT)
    hdrs = [['Host', '%s:%d' % (vhost, port)]] + [list(h) for h in extra]
    kiv_sign(method, vhost, BUCKET, '/' + key, list(query), hdrs, KEY_ID, SECRET)
    return hdrs


class Conn:
    """A minimal keep-alive HTTP/1.1 client that reads bodies into one reused buffer."""

    def __init__(self, port):
        self.sock = socket.create_connection(('127.0.0.1', port))
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.buf = bytearray(8 << 20)
        self.view = memoryview(self.buf)
        self.pending = b''

    def request(self, method, target, headers, body=None):
        head = '%s %s HTTP/1.1\r\n%s\r\n' % (method, target, ''.join('%s: %s\r\n' % tuple(h) for h in headers))
        self.sock.sendall(head.encode('latin-1'))
        if body is not None:
            self.sock.sendall(body)
        data = self.pending
        while b'\r\n\r\n' not in data:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise ConnectionError('closed')
            data += chunk
        head, _, rest = data.partition(b'\r\n\r\n')
        status = int(head.split(b' ', 2)[1])
        m = re.search(rb'(?i)content-length:\s*(\d+)', head)
        length = int(m.group(1)) if m and method != 'HEAD' else 0
        server_time = re.search(rb'(?i)x-kiv-server-time:\s*(\d+)', head)
        got = min(len(rest), length)
        first = rest[:got]
        self.pending = rest[got:]
        left = length - got
        while left:
            n = self.sock.recv_into(self.view[:min(left, len(self.buf))])
            if n == 0:
                raise ConnectionError('closed in body')
            left -= n
        return status, length, first, int(server_time.group(1)) if server_time else None

    def close(self):
        self.sock.close()


def start_store(tmp, keys):
    ready = os.path.join(tmp, 'ready.json')
    cmd = [sys.executable, '-m', 'kivstore', '--data-dir', os.path.join(tmp, 'store'), '--https-port', '-1',
           '--ready-file', ready, '--access-key', '%s:%s' % (KEY_ID, SECRET), '--bucket', BUCKET,
           '--bench-keys', '%s:%d' % (BUCKET, keys)]
    env = dict(os.environ, PYTHONPATH=os.path.join(REPO, 'tools'))
    proc = subprocess.Popen(cmd, env=env, stdout=subprocess.DEVNULL)
    while not os.path.exists(ready):
        if proc.poll() is not None:
            raise SystemExit('kivstore failed to start')
        time.sleep(0.05)
    with open(ready) as f:
        return proc, json.load(f)


def start_nginx(tmp):
    if shutil.which('nginx') is None:
        raise SystemExit('nginx is missing: run tools/setup.sh (it installs tools/debian-packages.txt)')
    prefix = os.path.join(tmp, 'nginx')
    www = os.path.join(prefix, 'www')
    os.makedirs(os.path.join(prefix, 'body'), exist_ok=True)
    os.makedirs(www, exist_ok=True)
    port = free_port()
    conf = os.path.join(prefix, 'nginx.conf')
    with open(conf, 'w') as f:
        f.write('''user root; worker_processes 1; daemon off; pid %(p)s/nginx.pid; error_log %(p)s/error.log;
events { worker_connections 1024; }
http { access_log off; sendfile on; tcp_nopush on; tcp_nodelay on; keepalive_requests 1000000;
  client_body_temp_path %(p)s/body; client_max_body_size 0; client_body_buffer_size 1m;
  server { listen 127.0.0.1:%(port)d; root %(www)s; location / { dav_methods PUT; create_full_put_path on; } } }
''' % {'p': prefix, 'port': port, 'www': www})
    proc = subprocess.Popen(['nginx', '-c', conf, '-p', prefix], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for _ in range(200):
        try:
            socket.create_connection(('127.0.0.1', port), timeout=0.1).close()
            return proc, port, www
        except OSError:
            time.sleep(0.02)
    raise SystemExit('nginx did not start')


def wrk_rps(port, path, headers, seconds):
    args = ['wrk', '-t1', '-c16', '-d%ds' % seconds, '--latency']
    for n, v in headers:
        args += ['-H', '%s: %s' % (n, v)]
    out = subprocess.run(args + ['http://127.0.0.1:%d%s' % (port, path)], capture_output=True, text=True).stdout
    m = re.search(r'Requests/sec:\s*([\d.]+)', out)
    if not m or 'Non-2xx' in out:
        raise SystemExit('wrk failed:\n' + out)
    return float(m.group(1))


def big_get(port, target, headers, reps):
    c = Conn(port)
    best = 0.0
    for _ in range(reps):
        t = time.perf_counter()
        status, length, _, _ = c.request('GET', target, headers)
        dt = time.perf_counter() - t
        assert status == 200 and length == BIG, status
        best = max(best, BIG / dt / 1e6)
    c.close()
    return best


def big_put(port, target, header_fn, body, reps):
    c = Conn(port)
    best = 0.0
    for _ in range(reps):
        hdrs = header_fn()
        t = time.perf_counter()
        status, _, _, _ = c.request('PUT', target, hdrs, body)
        dt = time.perf_counter() - t
        assert status in (200, 201, 204), status
        best = max(best, BIG / dt / 1e6)
    c.close()
    return best


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument('--seconds', type=int, default=5, help='length of each wrk run')
    ap.add_argument('--keys', type=int, default=1000000, help='keys in the listed bucket')
    ap.add_argument('--reps', type=int, default=3, help='repetitions of the large transfers (best is shown)')
    args = ap.parse_args()
    if shutil.which('wrk') is None:
        raise SystemExit('wrk is missing: run tools/setup.sh (it installs tools/debian-packages.txt)')
    tmp = tempfile.mkdtemp(prefix='bench-kivstore-')
    procs = []
    try:
        store, info = start_store(tmp, args.keys)
        procs.append(store)
        nginx, nport, www = start_nginx(tmp)
        procs.append(nginx)
        sport = info['http_port']
        small = os.urandom(SMALL)
        big = memoryview(os.urandom(BIG))
        with open(os.path.join(www, 'small'), 'wb') as f:
            f.write(small)
        with open(os.path.join(www, 'big'), 'wb') as f:
            f.write(big)
        c = Conn(sport)
        assert c.request('PUT', '/small', signed_headers('PUT', 'small', sport, extra=[('Content-Length', SMALL)]), small)[0] == 200
        c.close()

        put_s = big_put(sport, '/big', lambda: signed_headers('PUT', 'big', sport, extra=[('Content-Length', BIG)]),
                        big, args.reps)
        put_n = big_put(nport, '/upload', lambda: [['Host', 'localhost'], ['Content-Length', BIG]], big, args.reps)
        get_s = big_get(sport, '/big', signed_headers('GET', 'big', sport), args.reps)
        get_n = big_get(nport, '/big', [['Host', 'localhost']], args.reps)
        rps_s = wrk_rps(sport, '/small', signed_headers('GET', 'small', sport), args.seconds)
        rps_n = wrk_rps(nport, '/small', [['Host', 'localhost']], args.seconds)

        # Listing pages of 1000 keys, at the start, the middle and the end of the bucket.
        c = Conn(sport)
        times, server = [], []
        for i in range(30):
            pos = (i * args.keys // 30)
            q = [('list-type', '2'), ('max-keys', '1000'), ('prefix', 'synthetic/'),
                 ('start-after', 'synthetic/%09d' % pos)]
            target = '/?' + '&'.join('%s=%s' % kv for kv in q).replace('/', '%2F')
            qenc = [(k, v.replace('/', '%2F')) for k, v in q]
            hdrs = signed_headers('GET', '', sport, qenc)
            t = time.perf_counter()
            status, length, first, st = c.request('GET', target, hdrs)
            times.append((time.perf_counter() - t) * 1000)
            server.append(st)
            assert status == 200, status
        c.close()

        print('kivstore benchmark (one process each, loopback, %d s wrk runs, best of %d for 256 MiB)' % (args.seconds, args.reps))
        print('%-34s %14s %14s %8s' % ('work', 'kivstore', 'nginx', 'ratio'))
        print('%-34s %14.0f %14.0f %8.2f' % ('4 KiB GET, requests/s (16 conns)', rps_s, rps_n, rps_s / rps_n))
        print('%-34s %14.0f %14.0f %8.2f' % ('256 MiB GET, MB/s', get_s, get_n, get_s / get_n))
        print('%-34s %14.0f %14.0f %8.2f' % ('256 MiB PUT, MB/s', put_s, put_n, put_s / put_n))
        print('listing page of 1000 of %d keys: median %.2f ms, max %.2f ms round trip (server time median %d ms); '
              'budget 10 ms, ratio %.2f' % (args.keys, statistics.median(times), max(times),
                                            statistics.median(server), statistics.median(times) / 10.0))
    finally:
        for p in procs:
            p.send_signal(signal.SIGTERM)
        for p in procs:
            try:
                p.wait(10)
            except subprocess.TimeoutExpired:
                p.kill()
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == '__main__':
    main()
