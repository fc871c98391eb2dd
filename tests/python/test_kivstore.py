"""The local object store in the service's own dialect, over HTTP and HTTPS."""

import base64
import calendar
import hashlib
import os
import re
import socket
import threading
import time

import pytest

pytest.register_assert_rewrite("kivstore_fixture")

from kivstore_fixture import ENDPOINT, url_escape

pytest_plugins = ['kivstore_fixture']

RANGE_STD = [('x-kiv-range-behavior', 'standard')]


def xml_unescape(text):
    def ref(m):
        body = m.group(1)
        named = {'amp': '&', 'lt': '<', 'gt': '>', 'quot': '"', 'apos': "'"}
        if body in named:
            return named[body]
        return chr(int(body[2:], 16) if body[1] == 'x' else int(body[1:]))
    return re.sub(r'&(amp|lt|gt|quot|apos|#x[0-9A-Fa-f]+|#[0-9]+);', ref, text)


def xml_escape(text):
    return text.replace('&', '&amp;').replace('<', '&lt;').replace('>', '&gt;')


def texts(body, tag, inside=None):
    text = body.decode('utf-8')
    if inside is not None:
        text = ''.join(re.findall(r'<%s>(.*?)</%s>' % (inside, inside), text, re.S))
    return [xml_unescape(t) for t in re.findall(r'<%s>(.*?)</%s>' % (tag, tag), text, re.S)]


def one(body, tag):
    found = texts(body, tag)
    return found[0] if found else None


def list_page(c, prefix='', delimiter=None, max_keys=1000, token=None, start_after=None, bucket=None):
    q = [('list-type', '2'), ('prefix', prefix), ('max-keys', str(max_keys))]
    if delimiter:
        q.append(('delimiter', delimiter))
    if token:
        q.append(('continuation-token', token))
    if start_after:
        q.append(('start-after', start_after))
    r = c.request('GET', '', query=q, bucket=bucket)
    assert r.status == 200, r
    return (texts(r.body, 'Key', 'Contents'), texts(r.body, 'Prefix', 'CommonPrefixes'),
            one(r.body, 'NextContinuationToken'), r)


def list_all(c, prefix='', delimiter=None, max_keys=1000):
    keys, prefixes, token, pages = [], [], None, 0
    while True:
        k, p, token, _ = list_page(c, prefix, delimiter, max_keys, token)
        keys += k
        prefixes += p
        pages += 1
        if not token:
            return keys, prefixes, pages


def content_md5(body):
    return base64.b64encode(hashlib.md5(body).digest()).decode()


def delete_body(keys, escape=True):
    objs = ''.join('<Object><Key>%s</Key></Object>' % (xml_escape(k) if escape else k) for k in keys)
    return ('<Delete><Quiet>true</Quiet>%s</Delete>' % objs).encode('utf-8')


def multi_delete(c, keys, escape=True, md5=True):
    body = delete_body(keys, escape)
    hdrs = [('Content-MD5', content_md5(body))] if md5 else []
    return c.request('POST', '', query=[('delete', '')], headers=hdrs, body=body)


@pytest.fixture(params=[False, True], ids=['http', 'https'])
def client(request, kivstore):
    c = kivstore.client(secure=request.param)
    yield c
    c.close()


def test_every_answer_carries_request_id_and_server_time(kivstore, client):
    answers = [client.put('a', b'x'), client.get('a'), client.get('missing'),
               client.request('HEAD', 'a', query=[('objectMeta', '')]), client.request('DELETE', 'a'),
               kivstore.client(secret='wrong').get('a')]
    for r in answers:
        assert re.fullmatch(r'[0-9A-F]{24}', r.header('x-kiv-request-id')), r
        assert r.header('x-kiv-server-time').isdigit(), r
    assert len({r.header('x-kiv-request-id') for r in answers}) == len(answers)


def test_put_get_head_delete(client):
    body = os.urandom(300000)
    r = client.put('dir/obj.bin', body)
    assert r.status == 200
    etag = r.header('ETag')
    assert etag == '"%s"' % hashlib.md5(body).hexdigest().upper()
    r = client.get('dir/obj.bin')
    assert (r.status, r.body, r.header('ETag')) == (200, body, etag)
    before = time.time()
    r = client.request('HEAD', 'dir/obj.bin', query=[('objectMeta', '')])
    assert r.status == 200 and r.body == b''
    assert int(r.header('Content-Length')) == len(body) and r.header('ETag') == etag
    mtime = calendar.timegm(time.strptime(r.header('Last-Modified'), '%a, %d %b %Y %H:%M:%S %Z'))
    assert before - 5 < mtime <= before + 1
    # A second PUT replaces the whole object.
    assert client.put('dir/obj.bin', b'second').status == 200
    assert client.get('dir/obj.bin').body == b'second'
    assert client.request('DELETE', 'dir/obj.bin').status == 204
    assert client.get('dir/obj.bin').status == 404
    assert client.request('HEAD', 'dir/obj.bin', query=[('objectMeta', '')]).status == 404
    assert client.request('DELETE', 'dir/obj.bin').status == 204  # deleting a missing key is no error


@pytest.mark.parametrize('rng,status,want,content_range', [
    ('bytes=0-9', 206, slice(0, 10), 'bytes 0-9/1000'),
    ('bytes=990-1999', 206, slice(990, 1000), 'bytes 990-999/1000'),
    ('bytes=999-999', 206, slice(999, 1000), 'bytes 999-999/1000'),
    ('bytes=500-', 206, slice(500, 1000), 'bytes 500-999/1000'),
    ('bytes=-10', 206, slice(990, 1000), 'bytes 990-999/1000'),
    ('bytes=1000-1000', 416, None, 'bytes */1000'),
    ('bytes=5000-6000', 416, None, 'bytes */1000'),
    ('bytes=9-3', 200, slice(0, 1000), None),  # unreadable ranges are ignored
])
def test_ranged_get(kivstore, rng, status, want, content_range):
    c = kivstore.client()
    body = os.urandom(1000)
    c.put('r', body)
    r = c.get('r', headers=RANGE_STD, unsigned=[('Range', rng)])
    assert r.status == status, r
    assert r.header('Content-Range') == content_range
    if want is not None:
        assert r.body == body[want]
    else:
        assert one(r.body, 'Code') == 'InvalidRange'


def test_range_past_end_without_standard_behaviour_reads_whole_object(kivstore):
    c = kivstore.client()
    c.put('r', b'0123456789')
    r = c.get('r', unsigned=[('Range', 'bytes=20-30')])
    assert (r.status, r.body) == (200, b'0123456789')
    r = c.get('r', unsigned=[('Range', 'bytes=0-0')])
    assert (r.status, r.body) == (206, b'0')
    c.put('empty', b'')
    assert c.get('empty', headers=RANGE_STD, unsigned=[('Range', 'bytes=0-10')]).status == 416


def test_missing_bucket_and_key(kivstore, client):
    r = client.get('nothing')
    assert r.status == 404 and one(r.body, 'Code') == 'NoSuchKey'
    kivstore.create_bucket('kiv-late')
    r = client.get('k', bucket='kiv-absent')
    assert r.status == 404 and one(r.body, 'Code') == 'NoSuchBucket'
    assert client.put('k', b'1', bucket='kiv-late').status == 200


def test_copy(client):
    src = os.urandom(100000)
    client.put('src key+&%.bin', src)
    source = '/kiv-test/' + url_escape('src key+&%.bin')
    r = client.put('copied', b'', headers=[('x-kiv-copy-source', source)])
    assert r.status == 200, r
    assert client.get('copied').body == src
    r = client.put('other', b'', headers=[('x-kiv-copy-source', source)], bucket='kiv-test-2')
    assert r.status == 200 and client.get('other', bucket='kiv-test-2').body == src
    r = client.put('x', b'', headers=[('x-kiv-copy-source', '/kiv-test/none')])
    assert r.status == 404 and one(r.body, 'Code') == 'NoSuchKey'


def test_append(client):
    def append(pos, data):
        return client.request('POST', 'log', query=[('append', ''), ('position', str(pos))], body=data)
    r = append(0, b'abc')
    assert r.status == 200 and r.header('x-kiv-next-append-position') == '3'
    r = append(2, b'zzz')
    assert r.status == 409 and r.header('x-kiv-next-append-position') == '3'
    assert one(r.body, 'Code') == 'PositionNotEqualToLength'
    assert append(3, b'defg').header('x-kiv-next-append-position') == '7'
    assert append(7, b'').header('x-kiv-next-append-position') == '7'
    assert client.get('log').body == b'abcdefg'
    client.put('plain', b'p')
    r = client.request('POST', 'plain', query=[('append', ''), ('position', '1')], body=b'q')
    assert r.status == 409 and one(r.body, 'Code') == 'ObjectNotAppendable'
    assert client.request('POST', 'log', query=[('append', ''), ('position', 'x')], body=b'q').status == 400


def _initiate(c, key):
    r = c.request('POST', key, query=[('uploads', '')])
    assert r.status == 200, r
    uid = one(r.body, 'UploadId')
    assert uid and texts(r.body, 'UploadId', 'InitiateMultipartUploadResult') == [uid]
    return uid


def _complete_body(parts):
    return ('<CompleteMultipartUpload>' + ''.join(
        '<Part><PartNumber>%d</PartNumber><ETag>%s</ETag></Part>' % p for p in parts) +
        '</CompleteMultipartUpload>').encode()


def test_multipart_upload(client):
    uid = _initiate(client, 'big')
    data = {n: os.urandom(100000 + n) for n in (1, 2, 3)}
    etags = {}
    for n in (2, 3, 1):  # parts may arrive in any order
        r = client.request('PUT', 'big', query=[('partNumber', str(n)), ('uploadId', uid)], body=data[n])
        assert r.status == 200, r
        etags[n] = r.header('etag')
    assert client.get('big').status == 404  # not visible before completion
    bad = _complete_body([(1, etags[1]), (2, '"0000"'), (3, etags[3])])
    r = client.request('POST', 'big', query=[('uploadId', uid)], body=bad)
    assert r.status == 400 and one(r.body, 'Code') == 'InvalidPart'
    r = client.request('POST', 'big', query=[('uploadId', uid)], body=_complete_body([(2, etags[2]), (1, etags[1])]))
    assert r.status == 400 and one(r.body, 'Code') == 'InvalidPartOrder'
    r = client.request('POST', 'big', query=[('uploadId', uid)], body=b'<CompleteMultipartUpload><Part>')
    assert r.status == 400 and one(r.body, 'Code') == 'MalformedXML'
    good = _complete_body([(n, etags[n]) for n in (1, 2, 3)])
    r = client.request('POST', 'big', query=[('uploadId', uid)], body=good)
    assert r.status == 200, r
    assert client.get('big').body == data[1] + data[2] + data[3]
    r = client.request('POST', 'big', query=[('uploadId', uid)], body=good)
    assert r.status == 404 and one(r.body, 'Code') == 'NoSuchUpload'


def test_multipart_without_parts_abort_and_unknown_upload(client):
    uid = _initiate(client, 'empty')
    r = client.request('POST', 'empty', query=[('uploadId', uid)], body=_complete_body([]))
    assert r.status == 200 and client.get('empty').body == b''
    uid = _initiate(client, 'aborted')
    client.request('PUT', 'aborted', query=[('partNumber', '1'), ('uploadId', uid)], body=b'x')
    assert client.request('DELETE', 'aborted', query=[('uploadId', uid)]).status == 204
    for method, q in (('DELETE', []), ('PUT', [('partNumber', '1')]), ('POST', [])):
        r = client.request(method, 'aborted', query=[('uploadId', uid)] + q, body=_complete_body([]) if method == 'POST' else b'x')
        assert r.status == 404 and one(r.body, 'Code') == 'NoSuchUpload', (method, r)
    uid = _initiate(client, 'k')
    r = client.request('PUT', 'other-key', query=[('partNumber', '1'), ('uploadId', uid)], body=b'x')
    assert r.status == 404  # an upload belongs to its key
    r = client.request('PUT', 'k', query=[('partNumber', '0'), ('uploadId', uid)], body=b'x')
    assert r.status == 400


def _fill(c, keys, threads=4):
    keys = list(keys)
    errors = []

    def work(part):
        cc = c.store.client(secure=c.secure)
        for k in part:
            r = cc.put(k, b'')
            if r.status != 200:
                errors.append((k, r))
        cc.close()
    ts = [threading.Thread(target=work, args=(keys[i::threads],)) for i in range(threads)]
    for t in ts:
        t.start()
    for t in ts:
        t.join()
    assert not errors, errors[:3]


def test_listing_pages_prefixes_and_order(client):
    keys = ['p/%04d' % i for i in range(2100)] + ['p/sub/a', 'p/sub/b', 'p/sub2/c', 'q', 'p', 'p/']
    odd = ['u/B', 'u/a', 'u/\u00e9', 'u/~', 'u/\u4e2d', 'u/\U0001f600', 'u/a b', 'u/A']
    _fill(client, keys + odd)
    listed, prefixes, pages = list_all(client, 'p/')
    assert pages == 3 and prefixes == []
    assert listed == sorted(k for k in keys if k.startswith('p/'))
    listed, prefixes, pages = list_all(client, 'p/', '/')
    assert listed == ['p/'] + ['p/%04d' % i for i in range(2100)] and prefixes == ['p/sub/', 'p/sub2/']
    # Byte order of the UTF-8 keys.
    assert list_all(client, 'u/')[0] == sorted(odd, key=lambda k: k.encode('utf-8'))
    # The directory probe: one key with delimiter.
    k, p, token, _ = list_page(client, 'p/sub', '/', 1)
    assert (k, p, bool(token)) == ([], ['p/sub/'], True)
    k, p, token, _ = list_page(client, 'p/sub', '/', 1, token)
    assert (k, p, token) == ([], ['p/sub2/'], None)
    k, p, token, _ = list_page(client, 'p/', start_after='p/2098')
    assert k[:3] == ['p/2099', 'p/sub/a', 'p/sub/b']
    k, p, token, _ = list_page(client, 'p/', max_keys=5000)
    assert len(k) == 1000 and token
    k, p, token, r = list_page(client, 'nothing/')
    assert (k, p, token) == ([], [], None) and one(r.body, 'IsTruncated') == 'false'


def test_listing_bad_arguments(client):
    for q in ([('list-type', '2'), ('max-keys', '-1')], [('list-type', '2'), ('max-keys', 'ten')],
              [('list-type', '2'), ('continuation-token', '!!notatoken')]):
        r = client.request('GET', '', query=q)
        assert r.status == 400 and one(r.body, 'Code') == 'InvalidArgument', (q, r)


def test_multi_delete(client):
    keys = ['d/%d' % i for i in range(10)] + ['d/a&b', 'd/<lt>', 'd/q"uo\'te']
    _fill(client, keys + ['d/keep', 'd/a', 'other'])
    r = multi_delete(client, keys[:5], md5=False)
    assert r.status == 400
    body = delete_body(keys[:5])
    r = client.request('POST', '', query=[('delete', '')], headers=[('Content-MD5', content_md5(body + b' '))], body=body)
    assert r.status == 400 and one(r.body, 'Code') == 'BadDigest'
    assert list_all(client, 'd/')[0] == sorted(keys + ['d/keep', 'd/a'])
    r = multi_delete(client, keys)
    assert r.status == 200 and texts(r.body, 'Error') == []
    assert list_all(client, 'd/')[0] == ['d/a', 'd/keep']
    # A key sent without escaping is still found, and an escaped key that looks like markup
    # deletes exactly that key.
    _fill(client, ['d/x&y', 'd/x</Key></Object><Object><Key>d/keep'])
    assert multi_delete(client, ['d/x&y'], escape=False).status == 200
    assert multi_delete(client, ['d/x</Key></Object><Object><Key>d/keep']).status == 200
    assert list_all(client, 'd/')[0] == ['d/a', 'd/keep']
    r = client.request('POST', '', query=[('delete', '')], headers=[('Content-MD5', content_md5(b'<x/>'))], body=b'<x/>')
    assert r.status == 400 and one(r.body, 'Code') == 'MalformedXML'
    many = delete_body(['k%d' % i for i in range(1001)])
    r = client.request('POST', '', query=[('delete', '')], headers=[('Content-MD5', content_md5(many))], body=many)
    assert r.status == 400


@pytest.mark.parametrize('key', [
    '../../etc/passwd', '/abs/path', 'a/../../b', 'ctl\x01\x02\x1f\x7f\ttab\rcr\nlf', 'sp ace+plus%pct&amp;<lt>"q\'',
    '\u00e9\u4e2d\U0001f600', 'k' * 1024, '\u00e9' * 512, '..', '.', 'a//b///',
], ids=['dotdot', 'abs', 'mid-dotdot', 'control', 'punct', 'unicode', 'k1024', 'u1024', 'two-dots', 'dot', 'slashes'])
def test_hostile_keys(kivstore, key):
    c = kivstore.client()
    body = key.encode('utf-8')[:64] + b'!'
    assert c.put(key, body).status == 200
    assert c.get(key).body == body
    assert list_all(c)[0] == [key.lstrip('/')]
    allowed = re.compile(r'(data/objects/[0-9a-f]{2}/[0-9a-f]{62}|data/buckets\.json|'
                         r'log|credentials\.json|config\.json|ready\.json|kivstore\.stderr)')
    for root, _, files in os.walk(kivstore.base):
        for f in files:
            rel = os.path.relpath(os.path.join(root, f), kivstore.base)
            assert allowed.fullmatch(rel), rel
    assert c.request('DELETE', key).status == 204
    assert list_all(c)[0] == []


def test_refused_keys(kivstore):
    c = kivstore.client()
    for path, code in (('/' + 'k' * 1025, 'KeyTooLong'), ('/bad%FFutf8', 'InvalidObjectName'),
                       ('/nul%00byte', 'InvalidObjectName')):
        r = c.request('PUT', raw_path=path, body=b'x')
        assert r.status == 400 and one(r.body, 'Code') == code, (path, r)
    assert list_all(c)[0] == []


def test_keys_outside_data_dir_never_written(kivstore, tmp_path):
    c = kivstore.client()
    victim = tmp_path / 'victim'
    rel = os.path.relpath(victim, kivstore.data_dir)
    c.put(rel, b'overwrite?')
    c.put('../victim', b'overwrite?')
    assert not victim.exists()
    assert sorted(os.listdir(tmp_path)) == ['kivstore']
