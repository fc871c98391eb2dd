#!/usr/bin/env python3
"""kiv_connector beside boto3 on the same work against one local object store front, with
the server's own ceiling for each workload.

Work (sizes of a full run; --quick makes them small):
  1. 5000 objects of 64 KiB listed and read one by one: DataSet.list + read() of every object,
     beside boto3's list_objects_v2 paginator + get_object().read() one by one.
  2. One 1 GiB object read: open_ro(type=0) read fully (readinto one buffer, and read() in
     64 MiB pieces), beside boto3 get_object().read() and download_fileobj (16 threads).
  3. A 1 GiB checkpoint: open_wo written in pieces then closed, beside boto3 upload_fileobj
     with 16 threads (TransferConfig max_concurrency=16).

The store (tools/kivstore) is slow for small GETs, so nginx stands in front of it
(bench/client/nginx.conf.in): GET and HEAD without a query are answered from a copy of the
object bytes laid out by key, everything else (listings, stat, writes) is proxied to the store.
Both clients use that front through the virtual-host names, which resolve only under
tools/vhost-run; the benchmark re-runs itself there when they do not resolve.

Ceilings: wrk against the front (one connection, the same keys) for the reads; for the
checkpoint, a plain http.client multipart upload of the same size and part size through the
front at several connection counts, the best of them.

Usage: .venv/bin/python bench/bench_client.py [--quick] [--reps 3]
"""

import argparse
import concurrent.futures
import http.client
import io
import itertools
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path.insert(0, HERE)
from bench_kivstore import BUCKET, ENDPOINT, KEY_ID, SECRET, Conn, free_port, signed_headers, start_store  # noqa: E402

MiB = 1 << 20
GiB = 1 << 30
REGION = 'us-east-1'  # the store's boto3 dialect region


def vhost():
    return '%s.%s' % (BUCKET, ENDPOINT)


def names_resolve():
    try:
        addrs = {ai[4][0] for ai in socket.getaddrinfo(vhost(), 80, socket.AF_INET, socket.SOCK_STREAM)}
    except socket.gaierror:
        return False
    return addrs == {'127.0.0.1'}


# -- servers ----------------------------------------------------------------------------

def start_front(tmp, store_port):
    if shutil.which('nginx') is None and not os.path.exists('/usr/sbin/nginx'):
        raise SystemExit('nginx is missing: run tools/setup.sh (it installs tools/debian-packages.txt)')
    prefix = os.path.join(tmp, 'nginx')
    www = os.path.join(prefix, 'www')
    os.makedirs(os.path.join(prefix, 'tmp'), exist_ok=True)
    os.makedirs(os.path.join(www, BUCKET), exist_ok=True)
    port = free_port()
    with open(os.path.join(HERE, 'client', 'nginx.conf.in')) as f:
        text = f.read()
    for name, value in (('PREFIX', prefix), ('WWW', www), ('PORT', str(port)), ('STORE_PORT', str(store_port)),
                        ('ENDPOINT_RE', re.escape(ENDPOINT))):
        text = text.replace('@%s@' % name, value)
    conf = os.path.join(prefix, 'nginx.conf')
    with open(conf, 'w') as f:
        f.write(text)
    proc = subprocess.Popen(['nginx', '-c', conf, '-p', prefix], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    for _ in range(250):
        if proc.poll() is not None:
            raise SystemExit('nginx failed: ' + proc.stderr.read().decode(errors='replace'))
        try:
            socket.create_connection(('127.0.0.1', port), timeout=0.1).close()
            return proc, port, os.path.join(www, BUCKET)
        except OSError:
            time.sleep(0.02)
    raise SystemExit('nginx did not start')


def stop(procs):
    for p in procs:
        if p.poll() is None:
            p.send_signal(signal.SIGTERM)
    for p in procs:
        try:
            p.wait(10)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()


# -- data -------------------------------------------------------------------------------

class Work:
    def __init__(self, quick):
        self.count = 500 if quick else 5000
        self.small = 64 << 10
        self.big = (64 if quick else 1024) * MiB
        self.prefix = 'small/'
        self.big_key = 'big/object'
        # Object i is a 64 KiB window of one random pool, so every object differs.
        self.pool = os.urandom(self.small + 16 * self.count)
        self.blob = os.urandom(self.big)

    def key(self, i):
        return '%s%05d' % (self.prefix, i)

    def body(self, i):
        return self.pool[16 * i:16 * i + self.small]


def boto_client(port, pool=32):
    import boto3
    from botocore.config import Config
    return boto3.client('s3', endpoint_url='http://%s:%d' % (ENDPOINT, port), region_name=REGION,
                        aws_access_key_id=KEY_ID, aws_secret_access_key=SECRET,
                        config=Config(s3={'addressing_style': 'virtual'}, max_pool_connections=pool))


def fill(work, port, www):
    """Stores the objects through the front, then lays the same bytes out by key for nginx."""
    s3 = boto_client(port)
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        list(pool.map(lambda i: s3.put_object(Bucket=BUCKET, Key=work.key(i), Body=work.body(i)), range(work.count)))
    raw_multipart_put(port, work.big_key, work.blob, 64 * MiB, 4)
    for i in range(work.count):
        write_file(os.path.join(www, work.key(i)), work.body(i))
    write_file(os.path.join(www, work.big_key), work.blob)
    head = s3.head_object(Bucket=BUCKET, Key=work.big_key)
    assert head['ContentLength'] == work.big, head
    n = sum(len(p.get('Contents', [])) for p in s3.get_paginator('list_objects_v2').paginate(
        Bucket=BUCKET, Prefix=work.prefix))
    assert n == work.count, n


def write_file(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, 'wb') as f:
        f.write(data)


# -- ceilings ---------------------------------------------------------------------------

def wrk(port, path, seconds, conns=1, script_args=None):
    """Requests/s and body MB/s (Transfer/sec, headers included) of wrk against the front."""
    args = ['wrk', '-t1', '-c%d' % conns, '-d%ds' % seconds, '--timeout', '60s', '-H', 'Host: ' + vhost()]
    if script_args:
        args += ['-s', os.path.join(HERE, 'client', 'keys.lua')]
    args.append('http://127.0.0.1:%d%s' % (port, path))
    if script_args:
        args += ['--'] + [str(a) for a in script_args]
    out = subprocess.run(args, capture_output=True, text=True).stdout
    rps = re.search(r'Requests/sec:\s*([\d.]+)', out)
    tps = re.search(r'Transfer/sec:\s*([\d.]+)([KMG]?B)', out)
    if not rps or not tps or 'Non-2xx' in out or 'Socket errors' in out:
        raise SystemExit('wrk failed:\n' + out)
    scale = {'B': 1, 'KB': 1 << 10, 'MB': 1 << 20, 'GB': 1 << 30}[tps.group(2)]
    return float(rps.group(1)), float(tps.group(1)) * scale / 1e6


def raw_get(port, path, size, reps):
    """MB/s of plain GETs of the whole object on one keep-alive socket into an 8 MiB buffer."""
    c = Conn(port)
    out = Figures()
    for _ in range(reps):
        t = time.perf_counter()
        status, length, _, _ = c.request('GET', path, [['Host', vhost()]])
        dt = time.perf_counter() - t
        assert status == 200 and length == size, (status, length)
        out.add(size / 1e6 / dt)
    c.close()
    return out


def _call(conn, method, target, headers, body=None):
    conn.putrequest(method, target, skip_host=True, skip_accept_encoding=True)
    for n, v in headers:
        conn.putheader(n, str(v))
    conn.endheaders(body)
    r = conn.getresponse()
    data = r.read()
    if r.status != 200:
        raise RuntimeError('%s %s: %d %r' % (method, target, r.status, data[:300]))
    return r, data


def raw_multipart_put(port, key, data, part, conns):
    """One multipart upload with plain http.client, `conns` parts in flight; seconds taken."""
    mv = memoryview(data)
    t0 = time.perf_counter()
    c = http.client.HTTPConnection('127.0.0.1', port, timeout=600)
    _, body = _call(c, 'POST', '/%s?uploads' % key,
                    signed_headers('POST', key, port, [('uploads', '')], extra=[('Content-Length', '0')]))
    uid = re.search(rb'<UploadId>([^<]+)</UploadId>', body).group(1).decode()
    nparts = (len(data) + part - 1) // part
    numbers = iter(range(1, nparts + 1))
    lock = threading.Lock()
    etags = {}

    def worker():
        conn = http.client.HTTPConnection('127.0.0.1', port, timeout=600)
        while True:
            with lock:
                n = next(numbers, None)
            if n is None:
                break
            chunk = mv[(n - 1) * part:n * part]
            q = [('partNumber', str(n)), ('uploadId', uid)]
            r, _ = _call(conn, 'PUT', '/%s?partNumber=%d&uploadId=%s' % (key, n, uid),
                         signed_headers('PUT', key, port, q, extra=[('Content-Length', str(len(chunk)))]), chunk)
            etags[n] = r.getheader('ETag')
        conn.close()

    threads = [threading.Thread(target=worker) for _ in range(min(conns, nparts))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if len(etags) != nparts:
        raise RuntimeError('a part upload failed')
    doc = ('<CompleteMultipartUpload>' + ''.join('<Part><PartNumber>%d</PartNumber><ETag>%s</ETag></Part>' % (n, etags[n])
                                                 for n in range(1, nparts + 1)) + '</CompleteMultipartUpload>').encode()
    _call(c, 'POST', '/%s?uploadId=%s' % (key, uid),
          signed_headers('POST', key, port, [('uploadId', uid)], extra=[('Content-Length', str(len(doc)))]), doc)
    c.close()
    return time.perf_counter() - t0


# -- the clients ------------------------------------------------------------------------

class ListRead:
    """Workload 1; each run returns seconds, after checking what was read."""

    def __init__(self, work):
        self.work = work

    def check(self, keys, bodies):
        assert len(keys) == self.work.count, len(keys)
        for i, (k, b) in enumerate(zip(keys, bodies)):
            assert k == self.work.key(i) and b == self.work.body(i), k

    def boto(self, s3):
        keys, bodies = [], []
        t = time.perf_counter()
        for page in s3.get_paginator('list_objects_v2').paginate(Bucket=BUCKET, Prefix=self.work.prefix):
            for o in page.get('Contents', []):
                keys.append(o['Key'])
                bodies.append(s3.get_object(Bucket=BUCKET, Key=o['Key'])['Body'].read())
        dt = time.perf_counter() - t
        self.check(keys, bodies)
        return dt

    def kiv(self, ds):
        keys, bodies = [], []
        t = time.perf_counter()
        for o in ds.list(BUCKET, self.work.prefix):
            keys.append(o.key)
            bodies.append(o.read())
        dt = time.perf_counter() - t
        # listed keys are object paths or bare keys; compare the key part
        self.check([k.split('/', 2)[2] if k.startswith('/' + BUCKET + '/') else k for k in keys], bodies)
        return dt


class SeekableBuffer(io.RawIOBase):
    """A file over a preallocated buffer, so download_fileobj writes in place."""

    def __init__(self, buf):
        self.view = memoryview(buf)
        self.pos = 0

    def seekable(self):
        return True

    def writable(self):
        return True

    def seek(self, off, whence=0):
        self.pos = off if whence == 0 else (self.pos + off if whence == 1 else len(self.view) + off)
        return self.pos

    def tell(self):
        return self.pos

    def write(self, b):
        n = len(b)
        self.view[self.pos:self.pos + n] = b
        self.pos += n
        return n


class BigRead:
    PIECE = 64 * MiB

    def __init__(self, work, buf):
        self.work = work
        self.buf = buf

    def verify(self, data):
        assert len(data) == self.work.big and data == self.work.blob, 'wrong bytes read'

    def boto_get(self, s3):
        t = time.perf_counter()
        data = s3.get_object(Bucket=BUCKET, Key=self.work.big_key)['Body'].read()
        dt = time.perf_counter() - t
        self.verify(data)
        return dt

    def boto_download(self, s3):
        from boto3.s3.transfer import TransferConfig
        self.buf[:16] = b'\0' * 16
        t = time.perf_counter()
        s3.download_fileobj(BUCKET, self.work.big_key, SeekableBuffer(self.buf),
                            Config=TransferConfig(max_concurrency=16))
        dt = time.perf_counter() - t
        self.verify(self.buf)
        return dt

    def kiv_readinto(self, ds):
        self.buf[:16] = b'\0' * 16
        t = time.perf_counter()
        o = ds.open_ro(BUCKET, self.work.big_key, self.work.big, 0)
        n = o.readinto(self.buf)
        o.close()
        dt = time.perf_counter() - t
        assert n == self.work.big, n
        self.verify(self.buf)
        return dt

    def kiv_read(self, ds):
        pieces = []
        t = time.perf_counter()
        o = ds.open_ro(BUCKET, self.work.big_key, self.work.big, 0)
        while True:
            b = o.read(self.PIECE)
            if not b:
                break
            pieces.append(b)
        o.close()
        dt = time.perf_counter() - t
        self.verify(b''.join(pieces))
        return dt


class Checkpoint:
    def __init__(self, work, piece):
        self.work = work
        self.piece = piece

    def verify(self, s3, key):
        head = s3.head_object(Bucket=BUCKET, Key=key)
        assert head['ContentLength'] == self.work.big, head
        size = self.work.big
        for off in (0, size // 2 + 12345, size - MiB):
            r = s3.get_object(Bucket=BUCKET, Key=key, Range='bytes=%d-%d' % (off, off + MiB - 1))
            assert r['Body'].read() == self.work.blob[off:off + MiB], 'checkpoint %s differs at %d' % (key, off)

    def boto(self, s3):
        from boto3.s3.transfer import TransferConfig
        key = 'ckpt/boto3'
        t = time.perf_counter()
        s3.upload_fileobj(io.BytesIO(self.work.blob), BUCKET, key, Config=TransferConfig(max_concurrency=16))
        dt = time.perf_counter() - t
        self.verify(s3, key)
        return dt

    def kiv(self, ds, s3):
        key = 'ckpt/kiv'
        mv = memoryview(self.work.blob)
        t = time.perf_counter()
        o = ds.open_wo(BUCKET, key)
        for off in range(0, len(mv), self.piece):
            o.write(mv[off:off + self.piece])
        o.close()
        dt = time.perf_counter() - t
        self.verify(s3, key)
        return dt


# -- running and printing ---------------------------------------------------------------

class Figures:
    """Rates over repetitions of one measurement; the best is reported, with the range."""

    def __init__(self):
        self.rates = []
        self.error = None

    def add(self, rate):
        self.rates.append(rate)

    @property
    def best(self):
        return max(self.rates) if self.rates else None

    def text(self, fmt='%.0f'):
        if self.error:
            return 'n/a'
        if not self.rates:
            return '-'
        if len(self.rates) == 1:
            return fmt % self.rates[0]
        return (fmt + ' (' + fmt + '-' + fmt + ')') % (self.best, min(self.rates), max(self.rates))


def measure(fig, fn, amount):
    """Runs fn (returns seconds) and records amount/second, or the error that stopped it."""
    if fig.error:
        return
    try:
        fig.add(amount / fn())
    except RuntimeError as e:  # the binding reports missing or failing operations this way
        fig.error = str(e)
    except AssertionError as e:
        fig.error = 'wrong result: %s' % e


def best_of(*figs):
    out = Figures()
    for f in figs:
        out.rates += f.rates
    if not out.rates:
        out.error = next((f.error for f in figs if f.error), None)
    else:
        out.rates = [max(out.rates)]
    return out


def ratio(a, b):
    return '%.2f' % (a.best / b.best) if a.best and b.best else '-'


def log_counts(log_dir):
    warn = err = 0
    for name in os.listdir(log_dir):
        if name.startswith('connector.log'):
            with open(os.path.join(log_dir, name), errors='replace') as f:
                for line in f:
                    warn += '|WARN |' in line
                    err += '|ERROR|' in line
    return warn, err


def make_dataset(tmp, port, args):
    import kiv_connector as kc
    cred = os.path.join(tmp, 'cred.json')
    with open(cred, 'w') as f:
        json.dump({'AccessKeyId': KEY_ID, 'AccessKeySecret': SECRET, 'SecurityToken': '',
                   'Expiration': time.strftime('%Y-%m-%dT%H:%M:%SZ', time.gmtime(time.time() + 86400))}, f)
    cfg = os.path.join(tmp, 'config.json')
    log = os.path.join(tmp, 'log')
    os.makedirs(log, exist_ok=True)
    with open(cfg, 'w') as f:
        json.dump({'logLevel': 1, 'logPath': log + '/', 'auditPath': os.path.join(log, 'audit.log'),
                   'datasetConfig': {'timeoutMs': args.timeout_ms},
                   'checkpointConfig': {'writeIoSizeMB': args.write_io_mb, 'uploadIoSizeMB': args.upload_io_mb,
                                        'uploadBufferSizeMB': args.upload_buffer_mb,
                                        'uploadConcurrency': args.upload_concurrency}}, f)
    return kc.new_kiv_dataset('%s:%d' % (ENDPOINT, port), cred_path=cred, config_path=cfg)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument('--quick', action='store_true', help='500 small objects, 64 MiB large ones (smoke run)')
    ap.add_argument('--reps', type=int, default=3, help='repetitions of each measurement (best and range shown)')
    ap.add_argument('--seconds', type=int, default=None, help='length of each wrk run (default 8, quick 2)')
    ap.add_argument('--piece-mb', type=int, default=16, help='size of each checkpoint write() call')
    ap.add_argument('--write-io-mb', type=int, default=32, help='checkpointConfig writeIoSizeMB')
    ap.add_argument('--upload-io-mb', type=int, default=16, help='checkpointConfig uploadIoSizeMB')
    ap.add_argument('--upload-buffer-mb', type=int, default=1024, help='checkpointConfig uploadBufferSizeMB')
    ap.add_argument('--upload-concurrency', type=int, default=64, help='checkpointConfig uploadConcurrency')
    ap.add_argument('--timeout-ms', type=int, default=60000,
                    help='datasetConfig timeoutMs: 64 parts of 16 MiB in flight share the slow store')
    ap.add_argument('--keep', action='store_true', help='keep the temporary directory (logs) at the end')
    args = ap.parse_args()
    if not names_resolve():
        if os.environ.get('KIVSTORE_VHOSTS'):
            raise SystemExit('%s does not resolve to 127.0.0.1 even under tools/vhost-run' % vhost())
        cmd = [sys.executable, os.path.join(REPO, 'tools', 'vhost-run'), '--', sys.executable] + sys.argv
        os.execv(sys.executable, cmd)
    if shutil.which('wrk') is None:
        raise SystemExit('wrk is missing: run tools/setup.sh (it installs tools/debian-packages.txt)')
    seconds = args.seconds or (2 if args.quick else 8)
    load0 = ' '.join('%.2f' % v for v in os.getloadavg())
    work = Work(args.quick)
    tmp = tempfile.mkdtemp(prefix='bench-client-')
    procs = []
    try:
        store, info = start_store(tmp, 0)
        procs.append(store)
        front, port, www = start_front(tmp, info['http_port'])
        procs.append(front)
        t = time.perf_counter()
        fill(work, port, www)
        print('filled %d x %d KiB and one %d MiB object in %.1f s' % (work.count, work.small >> 10, work.big >> 20,
                                                                     time.perf_counter() - t), flush=True)
        s3 = boto_client(port)
        try:
            ds = make_dataset(tmp, port, args)
            ds_error = None
        except RuntimeError as e:
            ds, ds_error = None, str(e)

        def kiv(fig, fn, amount):
            if ds is None:
                fig.error = ds_error
            else:
                measure(fig, lambda: fn(ds), amount)

        # 1. list and read one by one, objects/s
        lr = ListRead(work)
        lr_boto, lr_kiv = Figures(), Figures()
        # 2. one large read, MB/s
        buf = bytearray(work.big)  # touched once here, reused by every in-place read
        br = BigRead(work, buf)
        get_boto, dl_boto, ri_kiv, rd_kiv = Figures(), Figures(), Figures(), Figures()
        # 3. checkpoint, MB/s
        cp = Checkpoint(work, args.piece_mb * MiB)
        cp_boto, cp_kiv = Figures(), Figures()
        mb = work.big / 1e6
        for rep in range(args.reps):
            measure(lr_boto, lambda: lr.boto(s3), work.count)
            kiv(lr_kiv, lr.kiv, work.count)
            measure(get_boto, lambda: br.boto_get(s3), mb)
            measure(dl_boto, lambda: br.boto_download(s3), mb)
            kiv(ri_kiv, br.kiv_readinto, mb)
            kiv(rd_kiv, br.kiv_read, mb)
            measure(cp_boto, lambda: cp.boto(s3), mb)
            kiv(cp_kiv, lambda d: cp.kiv(d, s3), mb)
            print('repetition %d of %d done' % (rep + 1, args.reps), flush=True)

        # ceilings
        small_rps, _ = wrk(port, '/', seconds, 1, [work.count, '/' + work.prefix])
        small_rps16, _ = wrk(port, '/', seconds, 16, [work.count, '/' + work.prefix])
        big_path = '/' + work.big_key
        big_c1 = wrk(port, big_path, seconds, 1)[1]
        big_c4 = wrk(port, big_path, seconds, 4)[1]
        big_raw = raw_get(port, big_path, work.big, args.reps)
        put_part = args.upload_io_mb * MiB
        puts = {}
        for conns in (1, 4, 16, 64):
            puts[conns] = Figures()
            for _ in range(max(1, args.reps - 1)):
                puts[conns].add(mb / raw_multipart_put(port, 'ckpt/raw', work.blob, put_part, conns))
        put_direct = Figures()
        best_conns = max(puts, key=lambda c: puts[c].best)
        put_direct.add(mb / raw_multipart_put(info['http_port'], 'ckpt/raw-direct', work.blob, put_part, best_conns))

        ceil_small = Figures()
        ceil_small.add(small_rps)
        ceil_big = Figures()
        ceil_big.add(max(big_c1, big_c4, big_raw.best))
        ceil_put = Figures()
        ceil_put.add(puts[best_conns].best)
        kiv_big = best_of(ri_kiv, rd_kiv)
        boto_big = best_of(get_boto, dl_boto)

        print()
        print('load average before/after: %s / %s (2 cores, shared)' % (load0, ' '.join(
            '%.2f' % v for v in os.getloadavg())))
        print('kiv_connector beside boto3, one local store behind nginx on loopback; best of %d (range)' % args.reps)
        print('%-48s %22s %22s %10s %16s %10s' % ('work', 'kiv_connector', 'boto3', 'kiv/boto3', 'server ceiling',
                                                   'kiv/ceil'))
        rows = [
            ('%d x %d KiB list + read one by one, obj/s' % (work.count, work.small >> 10), lr_kiv, lr_boto, ceil_small),
            ('%d MiB read, MB/s (best way of each)' % (work.big >> 20), kiv_big, boto_big, ceil_big),
            ('  kiv readinto(buffer) / boto3 get().read()', ri_kiv, get_boto, None),
            ('  kiv read(64 MiB) / boto3 download_fileobj', rd_kiv, dl_boto, None),
            ('%d MiB checkpoint write + close, MB/s' % (work.big >> 20), cp_kiv, cp_boto, ceil_put),
        ]
        for name, k, b, c in rows:
            print('%-48s %22s %22s %10s %16s %10s' % (name, k.text(), b.text(), ratio(k, b),
                                                       c.text() if c else '', ratio(k, c) if c else ''))
        print()
        print('ceilings: wrk -t1 -c1 over the same %d keys: %.0f GET/s (-c16: %.0f GET/s); %d MiB GET by wrk: '
              '%.0f MB/s at 1 connection, %.0f MB/s at 4 (Transfer/sec); by a raw socket into an 8 MiB buffer: %s MB/s'
              % (work.count, small_rps, small_rps16, work.big >> 20, big_c1, big_c4, big_raw.text()))
        print('store PUT ceiling: http.client multipart upload, %d MiB parts, through the front: %s MB/s; '
              'direct to the store at %d connections: %.0f MB/s'
              % (args.upload_io_mb, ', '.join('%s at %d conns' % (puts[c].text(), c) for c in sorted(puts)),
                 best_conns, put_direct.best))
        print('kiv checkpoint config: writeIoSizeMB %d, uploadIoSizeMB %d, uploadBufferSizeMB %d, uploadConcurrency '
              '%d; write() pieces of %d MiB. boto3: TransferConfig max_concurrency=16, 8 MiB parts, default checksums; '
              'max_pool_connections=32' % (args.write_io_mb, args.upload_io_mb, args.upload_buffer_mb,
                                            args.upload_concurrency, args.piece_mb))
        print('a ceiling is the best of the measuring clients above; where a client beats it, it is a lower bound '
              '(those clients, not nginx or the store, were the limit)')
        print('GET and HEAD without a query are answered by nginx from disk (signatures not checked there); '
              'listings, stat and all writes are checked by the store behind it')
        warn, err = log_counts(os.path.join(tmp, 'log'))
        print('kiv_connector log: %d WARN and %d ERROR lines; datasetConfig timeoutMs %d' % (warn, err, args.timeout_ms))
        errors = {f.error for f in (lr_kiv, ri_kiv, rd_kiv, cp_kiv, lr_boto, get_boto, dl_boto, cp_boto) if f.error}
        for e in sorted(errors):
            print('n/a: ' + e)
    finally:
        stop(procs)
        if args.keep:
            print('kept ' + tmp)
        else:
            shutil.rmtree(tmp, ignore_errors=True)


if __name__ == '__main__':
    main()
