"""An example training-data loop on kiv_connector against the repo's local object store.

Starts the store on loopback with a fresh data directory, fills a bucket with a sample
data set, then: lists the prefix and reads every sample (checking each one's digest),
writes a checkpoint and reads it back (checking its bytes), and prints what it did.

Run it through tools/demo.sh, which builds what it needs and maps the store's
virtual-host names to loopback (tools/vhost-run).
"""

import argparse
import hashlib
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import kiv_connector as kc

REPO = Path(__file__).resolve().parents[1]
ENDPOINT_HOST = 'kiv-local.kivstore.test'
BUCKET = 'kiv-demo'
KEY_ID, SECRET = 'demoaccesskey', 'demosecret0123456789'


def start_store(workdir):
    ready = workdir / 'ready.json'
    cmd = [sys.executable, '-m', 'kivstore', '--data-dir', str(workdir / 'data'), '--ready-file', str(ready),
           '--access-key', '%s:%s' % (KEY_ID, SECRET), '--http-port', '0', '--https-port', '0',
           '--control-port', '0', '--bucket', BUCKET]
    env = dict(os.environ, PYTHONPATH=str(REPO / 'tools'))
    log = open(workdir / 'kivstore.log', 'wb')
    proc = subprocess.Popen(cmd, env=env, stdout=log, stderr=log)
    deadline = time.monotonic() + 30
    while not ready.exists():
        if proc.poll() is not None or time.monotonic() > deadline:
            proc.kill()
            sys.exit('the local object store did not start; see %s' % (workdir / 'kivstore.log'))
        time.sleep(0.05)
    info = json.loads(ready.read_text())
    return proc, 'http://%s:%d' % (ENDPOINT_HOST, info['http_port'])


def sample(i, size):
    """Sample i: a 32-byte digest of its payload, then the payload."""
    payload = hashlib.shake_256(b'sample %d' % i).digest(size - 32)
    return hashlib.sha256(payload).digest() + payload


def rate(nbytes, seconds):
    return '%.1f MB/s' % (nbytes / seconds / 1e6) if seconds > 0 else 'n/a'


def main():
    ap = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    ap.add_argument('--samples', type=int, default=1000)
    ap.add_argument('--sample-kib', type=int, default=64)
    ap.add_argument('--checkpoint-mib', type=int, default=512)
    args = ap.parse_args()

    workdir = Path(tempfile.mkdtemp(prefix='kiv-demo-'))
    (workdir / 'credentials.json').write_text(json.dumps({'AccessKeyId': KEY_ID, 'AccessKeySecret': SECRET}))
    (workdir / 'config.json').write_text(json.dumps({
        'logLevel': 1, 'logPath': str(workdir / 'log') + '/', 'auditPath': str(workdir / 'log') + '/',
        'checkpointConfig': {'uploadBufferSizeMB': 256},
    }))
    # small objects: one part each, one upload worker
    (workdir / 'fill.json').write_text(json.dumps({
        'logLevel': 1, 'logPath': str(workdir / 'log') + '/', 'auditPath': '',
        'checkpointConfig': {'uploadBufferSizeMB': 1, 'writeIoSizeMB': 1, 'uploadIoSizeMB': 1,
                             'uploadConcurrency': 1},
    }))
    store, endpoint = start_store(workdir)
    print('local object store at %s, data in %s' % (endpoint, workdir / 'data'))
    try:
        size = args.sample_kib << 10
        filler = kc.new_kiv_dataset(endpoint, cred_path=str(workdir / 'credentials.json'),
                                    config_path=str(workdir / 'fill.json'))
        t0 = time.monotonic()
        for i in range(args.samples):
            with filler.open_wo(BUCKET, 'train/sample-%06d.bin' % i) as w:
                w.write(sample(i, size))
        fill_s = time.monotonic() - t0
        print('filled %s/train/: %d samples of %d KiB in %.1f s (%s)'
              % (BUCKET, args.samples, args.sample_kib, fill_s, rate(args.samples * size, fill_s)))
        del filler

        ds = kc.new_kiv_dataset(endpoint, cred_path=str(workdir / 'credentials.json'),
                                config_path=str(workdir / 'config.json'))
        t0 = time.monotonic()
        seen = nbytes = 0
        for obj in ds.list(BUCKET, 'train/'):
            data = obj.read()
            if hashlib.sha256(data[32:]).digest() != data[:32]:
                sys.exit('corrupt sample %s' % obj.key)
            seen += 1
            nbytes += len(data)
        epoch_s = time.monotonic() - t0
        if seen != args.samples:
            sys.exit('listed %d samples, expected %d' % (seen, args.samples))
        print('epoch: listed and read %d samples, every digest checked, in %.2f s (%.0f samples/s, %s)'
              % (seen, epoch_s, seen / epoch_s, rate(nbytes, epoch_s)))

        total = args.checkpoint_mib << 20
        block = os.urandom(8 << 20)
        digest = hashlib.sha256()
        t0 = time.monotonic()
        with ds.open_wo(BUCKET, 'checkpoints/step-1000.pt') as w:
            done = 0
            while done < total:
                piece = block[: min(len(block), total - done)]
                w.write(piece)
                digest.update(piece)
                done += len(piece)
        write_s = time.monotonic() - t0
        print('checkpoint: wrote %d MiB in %.2f s (%s, upload finished at close)'
              % (args.checkpoint_mib, write_s, rate(total, write_s)))

        t0 = time.monotonic()
        back = hashlib.sha256()
        obj = ds.open_ro(BUCKET, 'checkpoints/step-1000.pt', total, 0)
        buf = bytearray(64 << 20)
        view = memoryview(buf)
        got = 0
        while (n := obj.readinto(buf)) > 0:
            back.update(view[:n])
            got += n
        read_s = time.monotonic() - t0
        if got != total or back.digest() != digest.digest():
            sys.exit('checkpoint read back differs: %d of %d bytes' % (got, total))
        print('checkpoint: read back %d MiB in %.2f s (%s), SHA-256 matches' % (args.checkpoint_mib, read_s,
                                                                               rate(total, read_s)))
        print('ok (logs in %s)' % (workdir / 'log'))
    finally:
        store.terminate()
        store.wait(10)


if __name__ == '__main__':
    main()
