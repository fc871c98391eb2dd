"""Fault rules and request counters of the local object store, and bad input."""

import socket
import time

import pytest

pytest.register_assert_rewrite("kivstore_fixture")

from kivstore_fixture import ENDPOINT, kiv_sign  # noqa: E402

pytest_plugins = ['kivstore_fixture']


def raw_get(store, key, extra=(), secure=False):
    """A signed GET over a fresh socket; returns everything received until the peer closed,
    and how the connection ended ('eof' or 'reset')."""
    vhost = '%s.%s' % (store.bucket, ENDPOINT)
    hdrs = [['Host', '%s:%d' % (vhost, store.http_port)]] + [list(h) for h in extra]
    kiv_sign('GET', vhost, store.bucket, '/' + key, [], hdrs, store.key_id, store.secret)
    req = 'GET /%s HTTP/1.1\r\n%s\r\n' % (key, ''.join('%s: %s\r\n' % tuple(h) for h in hdrs))
    s = socket.create_connection(('127.0.0.1', store.http_port), timeout=10)
    s.sendall(req.encode())
    data = b''
    end = 'eof'
    try:
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
    except ConnectionResetError:
        end = 'reset'
    except socket.timeout:
        end = 'open'
    s.close()
    return data, end


def send_raw(port, data, timeout=5):
    """Sends bytes and returns one answer (its head and Content-Length body), or what came
    before the peer closed."""
    s = socket.create_connection(('127.0.0.1', port), timeout=timeout)
    try:
        s.sendall(data)
        out = b''
        while True:
            head, sep, rest = out.partition(b'\r\n\r\n')
            if sep:
                length = [int(line.split(b':')[1]) for line in head.split(b'\r\n')
                          if line.lower().startswith(b'content-length:')]
                if len(rest) >= (length[0] if length else 0):
                    return out
            try:
                chunk = s.recv(65536)
            except (ConnectionResetError, socket.timeout):
                return out
            if not chunk:
                return out
            out += chunk
    finally:
        s.close()


def test_status_rules_are_consumed_in_order_and_counted(kivstore):
    c = kivstore.client()
    c.put('obj', b'payload')
    kivstore.reset_counters()
    kivstore.add_rule(method='GET', key='obj', status=500, count=3)
    kivstore.add_rule(method='GET', key='obj', status=503, code='QpsLimitExceeded', message='Please reduce your request rate.')
    got = [c.get('obj') for _ in range(5)]
    assert [r.status for r in got] == [500, 500, 500, 503, 200]
    assert b'<Code>QpsLimitExceeded</Code>' in got[3].body
    assert got[4].body == b'payload'
    assert kivstore.counters()['GetObject'] == 5
    assert kivstore.rules() == []
    for status, code in ((403, 'AccessDenied'), (404, 'NoSuchKey'), (400, 'InvalidArgument')):
        kivstore.add_rule(status=status)
        r = c.get('obj')
        assert r.status == status and ('<Code>%s</Code>' % code).encode() in r.body
    kivstore.add_rule(status=500, body='raw body text', key='o*', count=-1)
    assert [c.get('obj').body for _ in range(3)] == [b'raw body text'] * 3
    assert c.get('missing').status == 404  # the pattern does not match
    kivstore.clear_rules()
    assert c.get('obj').status == 200
    reqs = kivstore.requests()
    assert [r['op'] for r in reqs][-1] == 'GetObject' and reqs[-1]['status'] == 200


def test_rules_by_operation_skip_and_method(kivstore):
    c = kivstore.client()
    c.put('a', b'1')
    kivstore.add_rule(op='ListObjectsV2', status=500, skip=1)
    kivstore.add_rule(method='PUT', status=503)
    assert c.request('GET', '', query=[('list-type', '2')]).status == 200
    assert c.get('a').status == 200
    assert c.request('GET', '', query=[('list-type', '2')]).status == 500
    assert c.put('b', b'2').status == 503
    assert c.put('b', b'2').status == 200
    assert kivstore.counters() == {'PutObject': 3, 'GetObject': 1, 'ListObjectsV2': 2, 'total': 6}


def test_delay_server_time_and_list_latency(kivstore):
    c = kivstore.client()
    c.put('a', b'1')
    kivstore.add_rule(key='a', delay_ms=300)
    t = time.monotonic()
    r = c.get('a')
    assert r.status == 200 and time.monotonic() - t >= 0.3
    assert int(r.header('x-kiv-server-time')) >= 300
    kivstore.add_rule(key='a', server_time=1500)
    assert c.get('a').header('x-kiv-server-time') == '1500'
    kivstore.settings(list_page_delay_ms=200)
    t = time.monotonic()
    for _ in range(2):
        assert c.request('GET', '', query=[('list-type', '2')]).status == 200
    assert time.monotonic() - t >= 0.4


def test_reset_close_chunked_and_connection_close(kivstore):
    c = kivstore.client()
    body = bytes(range(256)) * 400
    c.put('obj', body)
    kivstore.add_rule(key='obj', reset_after=1000)
    data, end = raw_get(kivstore, 'obj')
    head, _, got = data.partition(b'\r\n\r\n')
    assert end == 'reset' and b'Content-Length: %d' % len(body) in head and got == body[:1000]
    kivstore.add_rule(key='obj', close_after_header=True)
    data, end = raw_get(kivstore, 'obj')
    assert end == 'eof' and data.endswith(b'\r\n\r\n') and data.startswith(b'HTTP/1.1 200')
    kivstore.add_rule(key='obj', chunked=True, chunk_size=1000)
    r = c.get('obj')
    assert r.header('Transfer-Encoding') == 'chunked' and r.header('Content-Length') is None and r.body == body
    kivstore.add_rule(key='obj', connection_close=True)
    data, end = raw_get(kivstore, 'obj', [('Connection', 'keep-alive')])
    assert end == 'eof' and b'Connection: close' in data and data.endswith(body)
    # Each connection the store saw is told apart in the journal.
    conns = [r['conn'] for r in kivstore.requests() if r['op'] == 'GetObject']
    assert len(set(conns)) >= 4


def test_redirect_to_another_host_name(kivstore):
    c = kivstore.client()
    c.put('obj', b'moved')
    kivstore.add_rule(key='obj', redirect='kiv-test.kiv-local-internal.kivstore.test', redirect_status=302)
    r = c.get('obj')
    assert r.status == 302
    loc = r.header('Location')
    assert loc == 'http://kiv-test.kiv-local-internal.kivstore.test:%d/obj' % kivstore.http_port
    # A client that follows sends the same signed request with the new Host.
    r2 = c.get('obj', alter=lambda h: h.__setitem__(0, ['Host', loc.split('/')[2]]))
    assert (r2.status, r2.body) == (200, b'moved')
    # The alias is spent: the same rewritten request is refused the second time.
    assert c.get('obj', alter=lambda h: h.__setitem__(0, ['Host', loc.split('/')[2]])).status == 403


def test_bad_rules_are_refused(kivstore):
    for rule in ({'status': 'x'}, {'nonsense': 1}, {'status': 99}, {'redirect_status': 200, 'redirect': 'h'}):
        with pytest.raises(RuntimeError, match='400'):
            kivstore.control('POST', '/rules', rule)


BAD_INPUT = [
    b'GARBAGE\r\n\r\n',
    b'GET / HTTP/9.9\r\nHost: x\r\n\r\n',
    b'GET /\x00 HTTP/1.1\r\nHost: a b\r\n\r\n',
    b'GET / HTTP/1.1\r\n' + b'X-Long: ' + b'a' * 70000 + b'\r\n\r\n',
    b'PUT /k HTTP/1.1\r\nHost: kiv-test.kiv-local.kivstore.test\r\nContent-Length: -5\r\n\r\n',
    b'PUT /k HTTP/1.1\r\nHost: kiv-test.kiv-local.kivstore.test\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n',
    b'PUT /k HTTP/1.1\r\nHost: kiv-test.kiv-local.kivstore.test\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n',
    b'GET / HTTP/1.1\r\n folded: header\r\n\r\n',
    b'GET /k HTTP/1.1\r\nHost: nodots\r\n\r\n',
    b'GET /k HTTP/1.1\r\nHost: kiv-test.kiv-local.kivstore.test\r\nAuthorization: KIV4-HMAC-SHA256 Credential=\r\n\r\n',
    b'\xff\xfe\r\n\r\n',
    b'GET /k HTTP/1.1\r\nHost: kiv-test.kiv-local.kivstore.test\r\nContent-Length: 100\r\n\r\nshort',
]


def test_bad_input_gets_an_answer_and_the_store_stays_up(kivstore):
    c = kivstore.client()
    c.put('k', b'still here')
    for data in BAD_INPUT:
        out = send_raw(kivstore.http_port, data, timeout=2)
        if not data.endswith(b'short'):
            assert out.startswith((b'HTTP/1.1 400', b'HTTP/1.1 403')), (data[:60], out[:200])
        assert c.get('k').body == b'still here', data[:60]
    # Half a request, then the peer goes away.
    s = socket.create_connection(('127.0.0.1', kivstore.http_port))
    s.sendall(b'PUT /k HTTP/1.1\r\nContent-Length: 1000000\r\n\r\n' + b'x' * 1000)
    s.close()
    for body in (b'<CompleteMultipartUpload><Part><PartNumber>x', b'\xff\xfe', b''):
        r = c.request('POST', 'k', query=[('uploadId', '0' * 32)], body=body)
        assert r.status in (400, 404)
    assert c.get('k').body == b'still here'
    assert kivstore.proc.poll() is None


def test_control_port_survives_bad_requests(kivstore):
    out = send_raw(kivstore.control_port, b'POST /rules HTTP/1.1\r\nContent-Length: 5\r\n\r\n{{{{{')
    assert out.startswith(b'HTTP/1.1 400')
    assert kivstore.counters() == {}
