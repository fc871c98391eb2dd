"""Signature verification of the local object store: every field the signature covers."""

import time

import pytest

pytest.register_assert_rewrite("kivstore_fixture")

from kivstore_fixture import KEY_ID, SECRET  # noqa: E402

pytest_plugins = ['kivstore_fixture']


def _code_and_check(r):
    import re
    text = r.body.decode()
    code = re.search(r'<Code>(.*?)</Code>', text).group(1)
    check = re.search(r'<FailedCheck>(.*?)</FailedCheck>', text)
    return code, check.group(1) if check else None


def _set(headers, name, value):
    for h in headers:
        if h[0].lower() == name.lower():
            h[1] = value
            return
    headers.append([name, value])


def _get(headers, name):
    return next(v for n, v in headers if n.lower() == name.lower())


def _auth_sub(old, new):
    def alter(h):
        _set(h, 'Authorization', _get(h, 'Authorization').replace(old, new))
    return alter


def _scope_other_day(h):
    stamp = _get(h, 'x-kiv-date')
    other = time.strftime('%Y%m%d', time.gmtime(time.time() - 86400))
    _set(h, 'Authorization', _get(h, 'Authorization').replace('/%s/' % stamp[:8], '/%s/' % other))


def _same_day_other_second(h):
    stamp = _get(h, 'x-kiv-date')
    _set(h, 'x-kiv-date', stamp[:-3] + ('%02d' % ((int(stamp[-3:-1]) + 1) % 60)) + 'Z')


OLD = time.strftime('%Y%m%dT%H%M%SZ', time.gmtime(time.time() - 3 * 3600))

# (name, request keyword changes, expected status, code, failed check)
CASES = [
    ('date-within-day', dict(alter=_same_day_other_second), 'SignatureDoesNotMatch', 'signature'),
    ('date-other-day', dict(alter=_scope_other_day), 'SignatureDoesNotMatch', 'date'),
    ('date-skewed', dict(headers=[('x-kiv-date', OLD)]), 'RequestTimeTooSkewed', 'date'),
    ('date-malformed', dict(alter=lambda h: _set(h, 'x-kiv-date', 'yesterday')), 'AccessDenied', 'date'),
    ('date-missing', dict(alter=lambda h: h.remove(next(x for x in h if x[0] == 'x-kiv-date'))), 'AccessDenied', 'date'),
    ('region', dict(alter=_auth_sub('/local/kiv/', '/elsewhere/kiv/')), 'SignatureDoesNotMatch', 'region'),
    ('service', dict(alter=_auth_sub('/kiv/zorvex', '/xyz/zorvex')), 'SignatureDoesNotMatch', 'scope'),
    ('key-id', dict(key_id='nobody'), 'InvalidAccessKeyId', 'access-key'),
    ('secret', dict(secret='not-the-secret'), 'SignatureDoesNotMatch', 'signature'),
    ('header', dict(headers=[('x-kiv-meta-a', '1')], alter=lambda h: _set(h, 'x-kiv-meta-a', '2')),
     'SignatureDoesNotMatch', 'signature'),
    ('content-type', dict(headers=[('Content-Type', 'text/plain')], alter=lambda h: _set(h, 'Content-Type', 'text/html')),
     'SignatureDoesNotMatch', 'signature'),
    ('host', dict(alter=lambda h: _set(h, 'Host', _get(h, 'Host').replace('kiv-test.', 'kiv-test-2.'))),
     'SignatureDoesNotMatch', 'signature'),
    ('query', dict(query=[('versionId', 'a')], send_target='/obj?versionId=b'), 'SignatureDoesNotMatch', 'signature'),
    ('query-added', dict(send_target='/obj?x=1'), 'SignatureDoesNotMatch', 'signature'),
    ('key', dict(send_target='/obj2'), 'SignatureDoesNotMatch', 'signature'),
    ('signature', dict(alter=lambda h: _set(h, 'Authorization', _get(h, 'Authorization')[:-4] + '0000')),
     'SignatureDoesNotMatch', 'signature'),
    ('additional-missing', dict(headers=[('x-extra', '1')], alter=lambda h: h.remove(next(x for x in h if x[0] == 'x-extra'))),
     'AccessDenied', 'additional-headers'),
    ('algorithm', dict(alter=_auth_sub('KIV4-HMAC-SHA256', 'KIV3-HMAC-SHA1')), 'AccessDenied', 'algorithm'),
    ('malformed', dict(alter=lambda h: _set(h, 'Authorization', 'KIV4-HMAC-SHA256 garbage')), 'AccessDenied', 'authorization'),
    ('no-authorization', dict(sign=False), 'AccessDenied', 'authorization'),
    ('no-content-sha256', dict(alter=lambda h: h.remove(next(x for x in h if x[0] == 'x-kiv-content-sha256'))),
     'AccessDenied', 'content-sha256'),
]


@pytest.mark.parametrize('secure', [False, True], ids=['http', 'https'])
def test_each_altered_field_is_refused(kivstore, secure):
    c = kivstore.client(secure=secure)
    assert c.put('obj', b'data').status == 200
    for name, kw, code, check in CASES:
        kw = dict(kw)
        cc = kivstore.client(secure=secure, key_id=kw.pop('key_id', None), secret=kw.pop('secret', None))
        r = cc.request('GET', 'obj', **kw)
        assert r.status == 403, (name, r)
        assert _code_and_check(r) == (code, check), (name, r)
        cc.close()
    # A refused request does not spoil the connection, and a sound one still passes.
    assert c.get('obj').body == b'data'


def test_headers_added_after_signing_are_not_covered(kivstore):
    c = kivstore.client()
    c.put('obj', b'0123456789')
    r = c.get('obj', headers=[('x-kiv-range-behavior', 'standard')],
              unsigned=[('Range', 'bytes=1-2'), ('User-Agent', 'KIVConnector'), ('Connection', 'keep-alive')])
    assert (r.status, r.body) == (206, b'12')
    # ...but an x-kiv- header is always covered, listed or not.
    r = c.get('obj', unsigned=[('x-kiv-meta-late', '1')])
    assert r.status == 403


def test_region_from_endpoint_names(kivstore):
    for endpoint in ('kiv-local.kivstore.test', 'kiv-local-internal.kivstore.test', 'local.kiv-accelerate.zorvex.test',
                     'kiv-other.kivstore.test'):
        c = kivstore.client(endpoint=endpoint)
        assert c.put('r', b'x').status == 200, endpoint
        c.close()
    # Signed for one region and sent to an endpoint of another.
    c = kivstore.client(endpoint='kiv-other.kivstore.test')

    def to_local(h):
        _set(h, 'Host', _get(h, 'Host').replace('kiv-other', 'kiv-local'))
    r = c.get('r', alter=to_local)
    assert r.status == 403 and _code_and_check(r)[1] == 'region'


def test_security_token_and_key_rotation(kivstore):
    c = kivstore.client()
    assert c.put('obj', b'1').status == 200
    kivstore.set_keys([{'id': 'rotated', 'secret': 'new-secret', 'token': 'tok-123'}])
    r = c.get('obj')
    assert r.status == 403 and _code_and_check(r) == ('InvalidAccessKeyId', 'access-key')
    no_token = kivstore.client(key_id='rotated', secret='new-secret', token='')
    r = no_token.get('obj')
    assert r.status == 403 and _code_and_check(r)[1] == 'security-token'
    wrong = kivstore.client(key_id='rotated', secret='new-secret', token='tok-999')
    assert wrong.get('obj').status == 403
    good = kivstore.client(key_id='rotated', secret='new-secret', token='tok-123')
    assert good.get('obj').body == b'1'
    # A key without a token refuses requests that carry one.
    kivstore.set_keys([{'id': KEY_ID, 'secret': SECRET}])
    r = kivstore.client(token='unexpected').get('obj')
    assert r.status == 403 and _code_and_check(r)[1] == 'security-token'
    assert kivstore.client().get('obj').status == 200
    kivstore.set_keys([{'id': KEY_ID, 'secret': SECRET, 'expiration': time.time() - 1}])
    r = kivstore.client().get('obj')
    assert r.status == 403 and _code_and_check(r)[1] == 'expiration'


def test_mismatch_answer_shows_canonical_request(kivstore):
    c = kivstore.client(secret='wrong')
    r = c.get('some key', query=[('b', '2'), ('a', '')])
    text = r.body.decode().replace('&#xA;', '\n')
    assert r.status == 403
    assert '<CanonicalRequest>GET\n/kiv-test/some%20key\na&amp;b=2\n' in text
    assert 'KIV4-HMAC-SHA256\n' in text
