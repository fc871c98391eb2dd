"""pytest plugin: the local object store as a real process, and a signing test client.

Fixtures:
  kivstore         a fresh store on free loopback ports with its own data directory under
                   tmp_path; yields a KivStore handle (endpoints, credential and configuration
                   files, control calls, restart and kill, signed clients). Stopped afterwards.
  kivstore_vhosts  the same, and first checks that the virtual-host names resolve to
                   127.0.0.1 (that is, the session runs under tools/vhost-run); it fails with
                   the command to use when they do not.

The signer here is written from the protocol description, independently of the server.
"""

import base64
import calendar
import hashlib
import hmac
import http.client
import json
import os
import signal
import socket
import ssl
import subprocess
import sys
import time
from pathlib import Path
from urllib.parse import quote

import pytest

REPO = Path(__file__).resolve().parents[2]
TOOLS = REPO / 'tools'
ENDPOINT = 'kiv-local.kivstore.test'
BUCKETS = ('kiv-test', 'kiv-test-2', 'kiv-data', 'kiv-bench', 'kiv-demo')
KEY_ID = 'kivtestaccesskey'
SECRET = 'kivtestsecret0123456789'


def url_escape(text, escape_slash=False):
    """Letters, digits and -._~ stay; '/' stays unless escape_slash; all else is %XX."""
    raw = text.encode('utf-8') if isinstance(text, str) else text
    safe = b'-._~' + (b'' if escape_slash else b'/')
    return ''.join(chr(c) if (chr(c).isascii() and chr(c).isalnum()) or c in safe else '%%%02X' % c for c in raw)


def region_of(endpoint_host, accelerate_suffix='kiv-accelerate.zorvex.test'):
    label = endpoint_host.split('.', 1)[0]
    if endpoint_host.endswith(accelerate_suffix):
        return label[:-9] if len(label) > 8 and label.endswith('-internal') else label
    label = label[4:]
    return label[:-9] if label.endswith('-internal') else label


def _hmac(key, msg):
    return hmac.new(key, msg.encode('utf-8'), hashlib.sha256).digest()


def kiv_sign(method, vhost, bucket, encoded_path, query, headers, key_id, secret, token='', region=None,
             stamp=None):
    """Adds the signing headers and Authorization to headers (a list of [name, value]).

    query is a list of (encoded key, encoded value); encoded_path begins with '/'.
    """
    region = region_of(vhost.split('.', 1)[1]) if region is None else region
    stamp = stamp or time.strftime('%Y%m%dT%H%M%SZ', time.gmtime())
    names = {n.lower() for n, _ in headers}
    if token and 'x-kiv-security-token' not in names:
        headers.append(['x-kiv-security-token', token])
    if 'x-kiv-content-sha256' not in names:
        headers.append(['x-kiv-content-sha256', 'UNSIGNED-PAYLOAD'])
    if 'x-kiv-date' not in names:
        headers.append(['x-kiv-date', stamp])
    stamp = next(v for n, v in headers if n.lower() == 'x-kiv-date')
    ordered = sorted(headers, key=lambda h: h[0].lower())
    canon_headers = ''.join('%s:%s\n' % (n.lower(), vhost if n.lower() == 'host' else v) for n, v in ordered)
    additional = ';'.join(n.lower() for n, _ in ordered
                          if not n.lower().startswith('x-kiv-') and n.lower() not in ('content-type', 'content-md5'))
    canon_query = '&'.join(k + '=' + v if v else k for k, v in sorted(query, key=lambda kv: kv[0]))
    uri = '/' + bucket + encoded_path
    creq = '\n'.join([method, uri, canon_query, canon_headers, additional, 'UNSIGNED-PAYLOAD'])
    date8 = stamp[:8]
    scope = '%s/%s/kiv/zorvex_v4_request' % (date8, region)
    sts = '\n'.join(['KIV4-HMAC-SHA256', stamp, scope, hashlib.sha256(creq.encode('utf-8')).hexdigest()])
    k = _hmac(('zorvex_v4' + secret).encode('utf-8'), date8)
    for part in (region, 'kiv', 'zorvex_v4_request'):
        k = _hmac(k, part)
    sig = hmac.new(k, sts.encode('utf-8'), hashlib.sha256).hexdigest()
    headers.append(['Authorization', 'KIV4-HMAC-SHA256 Credential=%s/%s,AdditionalHeaders=%s,Signature=%s'
                    % (key_id, scope, additional, sig)])
    return creq


class Response:
    def __init__(self, status, headers, body):
        self.status = status
        self.headers = headers  # list of (name, value)
        self.body = body

    def header(self, name, default=None):
        low = name.lower()
        for n, v in self.headers:
            if n.lower() == low:
                return v
        return default

    def __repr__(self):
        return '<Response %d %r>' % (self.status, self.body[:300])


class _VHostHTTPS(http.client.HTTPSConnection):
    """TLS to the loopback address, verified against the virtual host name."""

    def __init__(self, vhost, *args, **kw):
        self._vhost = vhost
        super().__init__(*args, **kw)

    def connect(self):
        http.client.HTTPConnection.connect(self)
        self.sock = self._context.wrap_socket(self.sock, server_hostname=self._vhost)


class KivClient:
    """Signed requests in the service's dialect over one keep-alive connection."""

    def __init__(self, store, secure=False, endpoint=ENDPOINT, key_id=None, secret=None, token=None):
        self.store = store
        self.secure = secure
        self.endpoint = endpoint
        self.key_id = key_id or store.key_id
        self.secret = secret or store.secret
        self.token = store.token if token is None else token
        self.port = store.https_port if secure else store.http_port
        self._conn = None

    def _connection(self, vhost):
        if self._conn is None:
            if self.secure:
                ctx = ssl.create_default_context(cafile=self.store.ca_file)
                self._conn = _VHostHTTPS(vhost, '127.0.0.1', self.port, timeout=30, context=ctx)
            else:
                self._conn = http.client.HTTPConnection('127.0.0.1', self.port, timeout=30)
        return self._conn

    def close(self):
        if self._conn is not None:
            self._conn.close()
            self._conn = None

    def request(self, method, key='', query=(), headers=(), body=b'', bucket=None, unsigned=(), sign=True,
                alter=None, raw_path=None, send_target=None):
        """One signed request. query: (name, value) pairs, unencoded. unsigned: headers added
        after signing. alter(headers list) may change the request after it was signed, and
        send_target replaces the request target that was signed."""
        bucket = bucket or self.store.bucket
        vhost = '%s.%s' % (bucket, self.endpoint)
        path = raw_path if raw_path is not None else '/' + url_escape(key.lstrip('/') if key else '')
        q = [(url_escape(k, True), url_escape(v, True)) for k, v in query]
        hdrs = [['Host', '%s:%d' % (vhost, self.port)]] + [list(h) for h in headers]
        if body and not any(n.lower() == 'content-length' for n, _ in hdrs):
            hdrs.append(['Content-Length', str(len(body))])
        if sign:
            kiv_sign(method, vhost, bucket, path, q, hdrs, self.key_id, self.secret, self.token)
        hdrs += [list(h) for h in unsigned]
        if alter:
            alter(hdrs)
        target = send_target or path + ('?' + '&'.join(k + '=' + v for k, v in q) if q else '')
        for attempt in (0, 1):
            conn = self._connection(vhost)
            try:
                conn.putrequest(method, target, skip_host=True, skip_accept_encoding=True)
                for n, v in hdrs:
                    conn.putheader(n, v)
                conn.endheaders(body if body else None)
                r = conn.getresponse()
                data = r.read()
                resp = Response(r.status, r.getheaders(), data)
                if r.will_close:
                    self.close()
                return resp
            except (http.client.RemoteDisconnected, BrokenPipeError, ConnectionResetError):
                self.close()
                if attempt:
                    raise

    def put(self, key, body, **kw):
        return self.request('PUT', key, body=body, **kw)

    def get(self, key, **kw):
        return self.request('GET', key, **kw)


class KivStore:
    """A running store process and what a test needs to talk to it."""

    def __init__(self, base, buckets=BUCKETS, key_id=KEY_ID, secret=SECRET, token='', extra_args=(), tls_dir=None):
        self.base = Path(base)
        self.data_dir = self.base / 'data'
        self.bucket = buckets[0]
        self.buckets = tuple(buckets)
        self.key_id, self.secret, self.token = key_id, secret, token
        self.extra_args = list(extra_args) + (['--tls-dir', str(tls_dir)] if tls_dir else [])
        self.proc = None
        self.info = None
        (self.base / 'log').mkdir(parents=True, exist_ok=True)
        self.cred_path = str(self.base / 'credentials.json')
        self.config_path = str(self.base / 'config.json')
        self.write_credentials()
        with open(self.config_path, 'w') as f:
            json.dump({'logLevel': 1, 'logPath': str(self.base / 'log') + '/',
                       'auditPath': str(self.base / 'log' / 'audit.log')}, f)
        self.start()

    def write_credentials(self, key_id=None, secret=None, token=None, expiration=None):
        """(Re)writes the credential file a DataSet reads."""
        exp = expiration or time.strftime('%Y-%m-%dT%H:%M:%SZ', time.gmtime(time.time() + 3600 * 24))
        doc = {'AccessKeyId': key_id or self.key_id, 'AccessKeySecret': secret or self.secret,
               'SecurityToken': self.token if token is None else token, 'Expiration': exp}
        tmp = self.cred_path + '.tmp'
        with open(tmp, 'w') as f:
            json.dump(doc, f)
        os.rename(tmp, self.cred_path)

    def write_config(self, name='config.json', **groups):
        """A DataSet configuration logging under the store's directory, with the given
        groups (datasetConfig, checkpointConfig); returns its path."""
        doc = {'logLevel': 1, 'logPath': str(self.base / 'log') + '/', 'auditPath': ''}
        doc.update(groups)
        path = self.base / name
        path.write_text(json.dumps(doc))
        return str(path)

    # -- process -------------------------------------------------------------
    def start(self, ports=None):
        ready = self.base / 'ready.json'
        if ready.exists():
            ready.unlink()
        key = '%s:%s' % (self.key_id, self.secret) + (':' + self.token if self.token else '')
        p = ports or {}
        cmd = [sys.executable, '-m', 'kivstore', '--data-dir', str(self.data_dir), '--ready-file', str(ready),
               '--access-key', key, '--http-port', str(p.get('http', 0)), '--https-port', str(p.get('https', 0)),
               '--control-port', str(p.get('control', 0))]
        for b in self.buckets:
            cmd += ['--bucket', b]
        cmd += self.extra_args
        env = dict(os.environ, PYTHONPATH=str(TOOLS) + os.pathsep + os.environ.get('PYTHONPATH', ''))
        self._stderr = open(self.base / 'kivstore.stderr', 'ab')
        self.proc = subprocess.Popen(cmd, env=env, stdout=subprocess.DEVNULL, stderr=self._stderr)
        deadline = time.monotonic() + 30
        while not ready.exists():
            if self.proc.poll() is not None:
                raise RuntimeError('kivstore exited with %d: %s' % (self.proc.returncode, self.stderr_text()))
            if time.monotonic() > deadline:
                self.kill()
                raise RuntimeError('kivstore did not become ready in 30 s')
            time.sleep(0.02)
        self.info = json.loads(ready.read_text())
        self.http_port = self.info['http_port']
        self.https_port = self.info['https_port']
        self.control_port = self.info['control_port']
        self.ca_file = self.info['ca_file']
        self.endpoint = 'http://%s:%d' % (ENDPOINT, self.http_port)
        self.https_endpoint = 'https://%s:%d' % (ENDPOINT, self.https_port)

    def stderr_text(self):
        try:
            return (self.base / 'kivstore.stderr').read_text(errors='replace')[-4000:]
        except OSError:
            return ''

    def stop(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc = None
        self._stderr.close()

    def kill(self):
        """SIGKILL, as a crash would."""
        if self.proc is not None:
            self.proc.kill()
            self.proc.wait()
            self.proc = None
            self._stderr.close()

    def restart(self, same_ports=True):
        ports = {'http': self.http_port, 'https': self.https_port, 'control': self.control_port} if same_ports else None
        self.stop()
        self.start(ports)

    # -- control port --------------------------------------------------------
    def control(self, method, path, doc=None):
        conn = http.client.HTTPConnection('127.0.0.1', self.control_port, timeout=30)
        try:
            body = json.dumps(doc).encode() if doc is not None else None
            conn.request(method, path, body=body, headers={'Content-Type': 'application/json'})
            r = conn.getresponse()
            data = json.loads(r.read() or b'null')
            if r.status != 200:
                raise RuntimeError('control %s %s: %d %s' % (method, path, r.status, data))
            return data
        finally:
            conn.close()

    def add_rule(self, **rule):
        """Arms one fault rule (see kivstore/control.py); returns its id."""
        return self.control('POST', '/rules', rule)['ids'][0]

    def add_rules(self, rules):
        return self.control('POST', '/rules', list(rules))['ids']

    def rules(self):
        return self.control('GET', '/rules')

    def clear_rules(self):
        self.control('DELETE', '/rules')

    def counters(self):
        return self.control('GET', '/counters')

    def count(self, op):
        return self.counters().get(op, 0)

    def reset_counters(self):
        self.control('DELETE', '/counters')

    def requests(self, since=0):
        return self.control('GET', '/requests?since=%d' % since)

    def set_keys(self, keys):
        """Replaces the accepted keys: [{"id", "secret", "token"?, "expiration"?}]."""
        self.control('PUT', '/keys', list(keys))

    def settings(self, **kw):
        return self.control('PUT', '/settings', kw)

    def create_bucket(self, name):
        self.control('POST', '/buckets', {'name': name})

    # -- clients -------------------------------------------------------------
    def client(self, secure=False, **kw):
        return KivClient(self, secure=secure, **kw)

    def vhost(self, bucket=None):
        return '%s.%s' % (bucket or self.bucket, ENDPOINT)


def vhost_names_resolve(names):
    for name in names:
        try:
            addrs = {ai[4][0] for ai in socket.getaddrinfo(name, 80, socket.AF_INET, socket.SOCK_STREAM)}
        except socket.gaierror:
            return name
        if addrs != {'127.0.0.1'}:
            return name
    return None


@pytest.fixture(scope='session')
def kivstore_tls_dir(tmp_path_factory):
    """One test CA and certificate for every store of the session."""
    return tmp_path_factory.mktemp('kivstore-tls')


@pytest.fixture
def kivstore(tmp_path, kivstore_tls_dir):
    store = KivStore(tmp_path / 'kivstore', tls_dir=kivstore_tls_dir)
    try:
        yield store
    finally:
        store.stop()


@pytest.fixture
def kivstore_vhosts(kivstore):
    bad = vhost_names_resolve([ENDPOINT] + [kivstore.vhost(b) for b in kivstore.buckets])
    if bad is not None:
        pytest.fail('%s does not resolve to 127.0.0.1: run the tests under tools/vhost-run, e.g. '
                    '"tools/vhost-run -- python -m pytest ..." (it maps the store\'s virtual hosts in a '
                    'private mount namespace)' % bad, pytrace=False)
    return kivstore
