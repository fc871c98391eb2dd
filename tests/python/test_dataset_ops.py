"""Dataset operations against the local store: listing, the object kinds, checkpoints."""

import hashlib
import json
import os
import subprocess
import sys
import textwrap
import time

import pytest

import kiv_connector as kc


def dataset(store, **groups):
    return kc.new_kiv_dataset(store.endpoint, cred_path=store.cred_path,
                              config_path=store.write_config(**groups))


def fill(store, prefix, count, size=3):
    """count objects made by server-side copies of one seed object; returns their keys."""
    c = store.client()
    seed = prefix + 'seed'
    c.put(seed, b's' * size)
    keys = [seed]
    for i in range(count - 1):
        key = '%sk%05d' % (prefix, i)
        r = c.request('PUT', key, headers=[('x-kiv-copy-source', '/%s/%s' % (store.bucket, seed))])
        assert r.status == 200, r
        keys.append(key)
    return keys


def test_list_skips_directory_keys_and_empty_objects(kivstore_vhosts):
    store = kivstore_vhosts
    keys = fill(store, 'pages/', 2100)
    c = store.client()
    c.put('pages/sub/', b'')
    c.put('pages/marker/', b'not empty, but a directory key')
    c.put('pages/empty', b'')
    c.put('pagesX/outside', b'x')
    ds = dataset(store)
    store.reset_counters()
    seen = [o.key for o in ds.list('kiv-test', 'pages/')]
    assert sorted(seen) == sorted('/kiv-test/' + k for k in keys)
    assert store.count('ListObjectsV2') == 3


def test_listing_error_after_some_pages(kivstore_vhosts):
    store = kivstore_vhosts
    fill(store, 'err/', 1500)
    ds = dataset(store)
    store.add_rule(op='ListObjectsV2', skip=1, status=500, count=100)
    it = ds.list('kiv-test', 'err/')
    got = []
    with pytest.raises(RuntimeError) as e:
        for o in it:
            got.append(o.key)
    assert len(got) == 1000
    assert str(e.value) == ('failed to get next object, key=, errno=5(Input/output error), '
                            'msg=failed to list objects')
    with pytest.raises(StopIteration):
        next(it)


def test_dropping_an_iterator_mid_listing(kivstore_vhosts):
    store = kivstore_vhosts
    fill(store, 'drop/', 1200, size=5)
    ds = dataset(store)
    store.settings(list_page_delay_ms=300)
    it = ds.list('kiv-test', 'drop/')
    first = [next(it) for _ in range(3)]
    t0 = time.monotonic()
    del it  # the second page is still being listed
    assert time.monotonic() - t0 < 5
    store.settings(list_page_delay_ms=0)
    assert [o.read() for o in first] == [b's' * 5] * 3


def check_reader(obj, data):
    """The read-only file interface over an object holding data."""
    assert obj.size == len(data)
    assert obj.tell() == 0
    assert obj.read(5) == data[:5]
    assert obj.tell() == 5
    assert obj.seek(-3, 2) == len(data) - 3
    assert obj.read() == data[-3:]
    assert obj.read() == b''
    assert obj.seek(10) == 10
    assert obj.seek(7, 1) == 17
    buf = bytearray(100)
    assert obj.readinto(buf) == 100 and bytes(buf) == data[17:117]
    twin = obj.copy()
    assert twin.key == obj.key and twin.size == obj.size and twin.label == obj.label
    assert obj.flush() == -1
    obj.seek(0)
    with obj as f:
        assert f is obj
        assert f.read() == data


def test_object_kinds_read_alike(kivstore_vhosts):
    store = kivstore_vhosts
    data = os.urandom(300000)
    store.client().put('kinds/obj', data)
    ds = dataset(store)
    kinds = {
        'streamed, size given': ds.open_ro('kiv-test', 'kinds/obj', len(data), 0, 'lbl'),
        'unknown type streams': ds.open_ro('kiv-test', 'kinds/obj', len(data), 7, 'lbl'),
        'in memory, size from the store': ds.open_ro('kiv-test', 'kinds/obj', 0, 2, 'lbl'),
        'listed': next(iter(ds.list('kiv-test', 'kinds/'))),
    }
    for name, obj in kinds.items():
        try:
            check_reader(obj, data)
        except AssertionError as e:
            raise AssertionError(name) from e
    assert kinds['streamed, size given'].label == 'lbl'
    assert kinds['listed'].key == '/kiv-test/kinds/obj'


def test_missing_objects_raise(kivstore_vhosts):
    store = kivstore_vhosts
    ds = dataset(store)
    with pytest.raises(RuntimeError, match=r'^open_ro failed, errno=2\(No such file or directory\), msg='):
        ds.open_ro('kiv-test', 'nothing/here', 0, 2)
    lazy = ds.open_ro('kiv-test', 'nothing/here', 10, 0)  # opens nothing until read
    with pytest.raises(RuntimeError, match=r'^read failed, errno=2\(No such file or directory\)'):
        lazy.read()
    with pytest.raises(RuntimeError, match=r'^open_ro failed, errno=22'):
        ds.open_ro('kiv-test', 'nothing/here', 10, 2)  # a size but no buffer to fill


def test_checkpoint_edge_cases(kivstore_vhosts):
    store = kivstore_vhosts
    ds = dataset(store, checkpointConfig={'uploadIoSizeMB': 1, 'writeIoSizeMB': 1, 'uploadBufferSizeMB': 4,
                                          'uploadConcurrency': 4})
    # zero bytes written: an empty object
    w = ds.open_wo('kiv-test', 'ck/empty')
    assert (w.seek(0), w.tell(), w.flush()) == (-1, -1, 0)
    assert w.write(b'') == 0
    w.close()
    assert ds.open_ro('kiv-test', 'ck/empty', 0, 0).read() == b''
    assert store.client().get('ck/empty').status == 200

    # the store refuses the completion: close raises, nothing is stored
    store.add_rule(op='CompleteMultipartUpload', status=403, code='AccessDenied')
    w = ds.open_wo('kiv-test', 'ck/refused')
    w.write(b'z' * (3 << 20))
    with pytest.raises(RuntimeError, match=r'close failed, errno=1\(Operation not permitted\), '
                                           r'msg=upload failed \[key=/kiv-test/ck/refused\]'):
        w.close()
    assert store.client().get('ck/refused').status == 404
    store.clear_rules()

    # a part upload fails: later writes fail, close raises, nothing is stored
    store.add_rule(op='UploadPart', status=500, count=10000)
    w = ds.open_wo('kiv-test', 'ck/failing')
    with pytest.raises(RuntimeError, match=r'write failed, errno=.*wc=-2'):
        for _ in range(200):
            w.write(b'q' * (1 << 20))
    with pytest.raises(RuntimeError, match=r'close failed, errno='):
        w.close()
    assert store.client().get('ck/failing').status == 404
    store.clear_rules()

    # with statement: closed on leaving the block
    with ds.open_wo('kiv-test', 'ck/with') as w:
        w.write(memoryview(b'abc' * 1000)[1:])
    assert ds.open_ro('kiv-test', 'ck/with', 0, 2).read() == (b'abc' * 1000)[1:]


# Runs in a fresh interpreter so that its peak memory is the checkpoint's alone.
CHECKPOINT_WRITER = '''
import hashlib, json, os, sys
import kiv_connector as kc
endpoint, cred, config, total = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
def status(name):
    for line in open('/proc/self/status'):
        if line.startswith(name):
            return int(line.split()[1]) * 1024
block = os.urandom(64 << 20)
view = memoryview(block)
ds = kc.new_kiv_dataset(endpoint, cred_path=cred, config_path=config)
w = ds.open_wo('kiv-test', 'ck/3g')
before = status('VmRSS')
digest = hashlib.sha256()
sizes = [(1 << 20) + 17, 13 << 20, 4093, (31 << 20) + 5, 1, 7 << 20]
done = i = 0
while done < total:
    n = min(sizes[i % len(sizes)], total - done)
    start = (done * 7 + i) % ((64 << 20) - n)
    piece = view[start:start + n]
    w.write(piece)
    digest.update(piece)
    done += n
    i += 1
w.close()
print(json.dumps({'sha256': digest.hexdigest(), 'rss_before': before, 'peak': status('VmHWM'),
                  'pieces': i}))
'''


def test_three_gib_checkpoint_round_trip_within_its_upload_buffer(kivstore_vhosts):
    store = kivstore_vhosts
    total = 3 << 30
    buffer_mib = 256
    # the local store joins 3 GiB of parts on completion, which can outlast the default
    # 10 s request time-out on a busy machine
    config = store.write_config(checkpointConfig={'uploadBufferSizeMB': buffer_mib},
                                datasetConfig={'timeoutMs': 120000})
    t0 = time.monotonic()
    r = subprocess.run([sys.executable, '-c', CHECKPOINT_WRITER, store.endpoint, store.cred_path, config,
                        str(total)], capture_output=True, text=True, timeout=900)
    assert r.returncode == 0, r.stderr[-3000:]
    out = json.loads(r.stdout.strip().splitlines()[-1])
    written = time.monotonic() - t0
    growth = out['peak'] - out['rss_before']
    print('3 GiB checkpoint in %d pieces: %.1f s; peak RSS %.0f MiB, %.0f MiB above the RSS before '
          'the first write (upload buffer %d MiB)' % (out['pieces'], written, out['peak'] / 2**20,
                                                      growth / 2**20, buffer_mib))
    assert growth <= (buffer_mib + 64) << 20

    ds = dataset(store)
    obj = ds.open_ro('kiv-test', 'ck/3g', total, 0)
    digest = hashlib.sha256()
    buf = bytearray(64 << 20)
    view = memoryview(buf)
    got = 0
    while True:
        n = obj.readinto(buf)
        if n == 0:
            break
        digest.update(view[:n])
        got += n
    assert got == total
    assert digest.hexdigest() == out['sha256']
