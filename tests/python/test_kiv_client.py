"""The object store client as a host sees it: a DataSet against the local store process,
which verifies every signature, over HTTP and HTTPS."""

import hashlib
import os
import socket
import threading
import time
from urllib.parse import unquote

import pytest

import kiv_connector as kc
from kivstore_fixture import ENDPOINT, kiv_sign

ODD_KEYS = ['dir/with space', 'dir/caf\u00e9', 'dir/a+b', 'dir/100%', 'dir/x&y', 'dir/p/q/r']


def log_text(store):
    return (store.base / 'log' / 'connector.log_0').read_text(errors='replace')


def put(ds, key, data, bucket='kiv-test'):
    w = ds.open_wo(bucket, key)
    assert w.write(data) == len(data)
    assert w.close() == 0


def get(ds, key, bucket='kiv-test'):
    return ds.open_ro(bucket, key, 0, 2).read()


class Creds:
    """A host credential object; counts how often it is asked."""

    def __init__(self, key_id, secret, token=None):
        self.key_id, self.secret, self.token = key_id, secret, token
        self.calls = []

    def get_credentials(self):
        self.calls.append(time.monotonic())
        outer = self

        class C:
            access_key_id = outer.key_id
            access_key_secret = outer.secret
            security_token = outer.token
        return C()


@pytest.mark.parametrize('secure', [False, True], ids=['http', 'https'])
def test_objects_round_trip(kivstore_vhosts, secure):
    store = kivstore_vhosts
    assert os.environ['SSL_CERT_FILE'] == store.ca_file
    # 1 MiB parts: a 9.5 MiB checkpoint is ten parts
    config = store.write_config(checkpointConfig={'uploadIoSizeMB': 1, 'writeIoSizeMB': 1,
                                                 'uploadBufferSizeMB': 4})
    ds = kc.new_kiv_dataset(store.https_endpoint if secure else store.endpoint,
                            cred_path=store.cred_path, config_path=config)
    big = os.urandom(9 * (1 << 20) + (1 << 19))
    store.reset_counters()
    w = ds.open_wo('kiv-test', 'ckpt/big.bin')
    for off in range(0, len(big), 777777):
        w.write(big[off:off + 777777])
    w.close()
    assert store.count('UploadPart') == 10
    assert store.count('CompleteMultipartUpload') == 1

    r = ds.open_ro('kiv-test', 'ckpt/big.bin', len(big), 0)
    assert hashlib.sha256(r.read()).digest() == hashlib.sha256(big).digest()
    # ranged reads at the object's edges
    r.seek(len(big) - 10)
    assert r.read(100) == big[-10:]
    r.seek(0)
    part = bytearray(4096)
    assert r.readinto(part) == 4096 and bytes(part) == big[:4096]
    assert get(ds, 'ckpt/big.bin') == big

    for i, key in enumerate(ODD_KEYS):
        put(ds, key, b'v%d:' % i + key.encode())
    for i, key in enumerate(ODD_KEYS):
        assert get(ds, key) == b'v%d:' % i + key.encode(), key
    stored = {e['key'] for e in store.requests() if e['op'] == 'CompleteMultipartUpload'}
    assert set(ODD_KEYS) <= stored

    with pytest.raises(RuntimeError, match=r'open_ro failed, errno=2\(No such file or directory\)'):
        ds.open_ro('kiv-test', 'dir/missing', 0, 2)


# Headers the HTTP layer adds after signing, and the ranged read's Range header.
UNSIGNED_HEADERS = {'authorization', 'range', 'user-agent', 'connection'}


def resign(entry, key_id, secret, token=''):
    """The Authorization header an independent signer makes for one journal entry."""
    headers = [[n, v] for n, v in entry['headers'].items() if n not in UNSIGNED_HEADERS]
    vhost = entry['headers']['host'].split(':')[0]
    query = [tuple(item.partition('=')[::2]) for item in entry['query'].split('&') if item]
    kiv_sign(entry['method'], vhost, entry['bucket'], entry['path'], query, headers, key_id, secret,
             token=token, region='local')
    return headers[-1][1]


def test_signatures_match_an_independent_signer(kivstore_vhosts):
    store = kivstore_vhosts
    token = 'tok/+=en'
    store.set_keys([{'id': store.key_id, 'secret': store.secret},
                    {'id': 'tokenkey', 'secret': 'tokensecret', 'token': token}])
    config = store.write_config(checkpointConfig={'uploadIoSizeMB': 1, 'writeIoSizeMB': 1,
                                                 'uploadBufferSizeMB': 4})
    plain = kc.new_kiv_dataset(store.endpoint, cred_path=store.cred_path, config_path=config)
    with_token = kc.new_kiv_dataset(store.endpoint, cred_provider=Creds('tokenkey', 'tokensecret', token),
                                    config_path=config)
    cases = [(plain, store.key_id, store.secret, ''), (with_token, 'tokenkey', 'tokensecret', token)]
    for ds, key_id, _, _ in cases:
        store.reset_counters()
        for key in ['sig/plain', 'sig/odd key+%&\u00e9', 'sig/a=b?c#d']:
            put(ds, key, b'x' * 10)                   # DELETE, initiate (uploads=), part, complete
            put(ds, key + '.big', b'y' * (3 << 20))   # several parts: partNumber and uploadId
            r = ds.open_ro('kiv-test', key, 10, 0)    # ranged GET
            assert r.read() == b'x' * 10
            assert get(ds, key + '.big') == b'y' * (3 << 20)
        entries = store.requests()
        assert {'DeleteObject', 'InitiateMultipartUpload', 'UploadPart', 'CompleteMultipartUpload',
                'GetObject'} <= {e['op'] for e in entries}
        assert any('partNumber=' in e['query'] for e in entries)
        for e in entries:
            assert e['status'] < 300, e
            assert ('x-kiv-security-token' in e['headers']) == (ds is with_token), e
    for ds, key_id, secret, tok in cases:
        store.reset_counters()
        put(ds, 'sig/again', b'z')
        ds.open_ro('kiv-test', 'sig/again', 1, 0).read()
        for e in store.requests():
            assert e['headers']['authorization'] == resign(e, key_id, secret, tok), e


def test_credential_file_rotation_is_picked_up(kivstore_vhosts):
    store = kivstore_vhosts
    soon = lambda: time.strftime('%Y-%m-%dT%H:%M:%SZ', time.gmtime(time.time() + 20))
    store.write_credentials(expiration=soon())
    ds = kc.new_kiv_dataset(store.endpoint, cred_path=store.cred_path, config_path=store.write_config())
    put(ds, 'rot/a', b'a')
    store.set_keys([{'id': 'rotated', 'secret': 'rotatedsecret'}])
    with pytest.raises(RuntimeError, match=r'errno=1\(Operation not permitted\)'):
        get(ds, 'rot/a')
    store.write_credentials(key_id='rotated', secret='rotatedsecret', expiration=soon())
    time.sleep(0.2)  # reloads are at least 100 ms apart
    store.reset_counters()
    assert get(ds, 'rot/a') == b'a'
    assert all('Credential=rotated/' in e['headers']['authorization'] for e in store.requests())


def test_python_credentials_are_asked_again_after_30_seconds(kivstore_vhosts):
    store = kivstore_vhosts
    creds = Creds(store.key_id, store.secret)
    start = time.monotonic()
    ds = kc.new_kiv_dataset(store.endpoint, cred_provider=creds, config_path=store.write_config())
    asked_at_start = len(creds.calls)
    assert asked_at_start >= 1
    put(ds, 'py/a', b'a')
    store.set_keys([{'id': 'next', 'secret': 'nextsecret'}])
    creds.key_id, creds.secret = 'next', 'nextsecret'
    while len(creds.calls) == asked_at_start and time.monotonic() - start < 45:
        time.sleep(0.2)  # gives up the interpreter lock, which the refresh needs
    assert len(creds.calls) > asked_at_start
    assert creds.calls[asked_at_start] - start >= 29
    time.sleep(0.1)
    store.reset_counters()
    assert get(ds, 'py/a') == b'a'
    assert all('Credential=next/' in e['headers']['authorization'] for e in store.requests())
    del ds  # stops the refresh thread


def free_port():
    s = socket.socket()
    s.bind(('127.0.0.1', 0))
    port = s.getsockname()[1]
    s.close()
    return port


@pytest.mark.parametrize('case', ['unresolvable', 'refused', 'deadline'])
def test_unreachable_store_fails_with_errno_and_dataset_stays_usable(kivstore_vhosts, case):
    store = kivstore_vhosts
    config = store.write_config(datasetConfig={'timeoutMs': 500})
    endpoint = {'unresolvable': 'http://kiv-nowhere.kivstore.test:%d' % store.http_port,
                'refused': 'http://%s:%d' % (ENDPOINT, free_port()),
                'deadline': store.endpoint}[case]
    errno_text, log_line = {'unresolvable': ('errno=2', 'DNS resolve failed, name = kiv-test.kiv-nowhere'),
                            'refused': ('errno=111', 'connection failed'),
                            'deadline': ('errno=110', 'http call timed out')}[case]
    ds = kc.new_kiv_dataset(endpoint, cred_path=store.cred_path, config_path=config)
    if case == 'deadline':
        put(ds, 'slow/a', b'slow')
        store.add_rule(op='GetObject', delay_ms=3000, count=1000)
    # a second failure shows the failed calls left nothing behind (the name lookup
    # is slow here, so it is asked once)
    for attempt in range(1 if case == 'unresolvable' else 2):
        t0 = time.monotonic()
        with pytest.raises(RuntimeError, match=errno_text):
            ds.open_ro('kiv-test', 'slow/a', 4, 0).read()
        # every attempt is cut at the time-out; retries bound the total (the name
        # lookup of the system resolver is not cut)
        assert time.monotonic() - t0 < 60
    assert log_line in log_text(store)
    if case == 'deadline':
        store.clear_rules()
        assert ds.open_ro('kiv-test', 'slow/a', 4, 0).read() == b'slow'


def test_forked_child_reads_with_inherited_host_credentials(kivstore_vhosts):
    store = kivstore_vhosts
    creds = Creds(store.key_id, store.secret)
    ds = kc.new_kiv_dataset(store.endpoint, cred_provider=creds, config_path=store.write_config())
    put(ds, 'fork/a', b'from parent')
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        status = 1
        try:
            os.close(r)
            os.write(w, get(ds, 'fork/a'))
            put(ds, 'fork/b', b'from child')
            del ds  # its refresh thread is gone in the child: nothing to wait for
            status = 0
        finally:
            os._exit(status)
    os.close(w)
    got = os.read(r, 100)
    os.close(r)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    assert got == b'from parent'
    assert get(ds, 'fork/b') == b'from child'
