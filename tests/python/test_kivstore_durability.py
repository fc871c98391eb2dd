"""The local object store keeps what it acknowledged across restarts and kills."""

import os
import socket
import time

import pytest

pytest.register_assert_rewrite("kivstore_fixture")

from kivstore_fixture import ENDPOINT, kiv_sign  # noqa: E402

pytest_plugins = ['kivstore_fixture']


def _listing(c):
    import re
    r = c.request('GET', '', query=[('list-type', '2')])
    return re.findall(r'<Key>(.*?)</Key>', r.body.decode())


@pytest.mark.parametrize('how', ['stop', 'kill'])
def test_objects_uploads_and_appends_survive_restart(kivstore, how):
    c = kivstore.client()
    body = os.urandom(200000)
    c.put('a/obj', body)
    c.put('../../etc/passwd', b'not a path')
    c.request('POST', 'log', query=[('append', ''), ('position', '0')], body=b'abc')
    r = c.request('POST', 'mp', query=[('uploads', '')])
    uid = r.body.decode().split('<UploadId>')[1].split('</UploadId>')[0]
    etag = c.request('PUT', 'mp', query=[('partNumber', '1'), ('uploadId', uid)], body=b'part-one').header('etag')
    c.close()
    if how == 'kill':
        kivstore.kill()
        kivstore.start({'http': kivstore.http_port, 'https': kivstore.https_port, 'control': kivstore.control_port})
    else:
        kivstore.restart()
    c = kivstore.client()
    assert c.get('a/obj').body == body
    assert c.get('../../etc/passwd').body == b'not a path'
    assert _listing(c) == ['../../etc/passwd', 'a/obj', 'log']
    r = c.request('POST', 'log', query=[('append', ''), ('position', '3')], body=b'def')
    assert r.status == 200 and c.get('log').body == b'abcdef'
    etag2 = c.request('PUT', 'mp', query=[('partNumber', '2'), ('uploadId', uid)], body=b'-two').header('etag')
    done = ('<CompleteMultipartUpload><Part><PartNumber>1</PartNumber><ETag>%s</ETag></Part>'
            '<Part><PartNumber>2</PartNumber><ETag>%s</ETag></Part></CompleteMultipartUpload>' % (etag, etag2))
    assert c.request('POST', 'mp', query=[('uploadId', uid)], body=done.encode()).status == 200
    assert c.get('mp').body == b'part-one-two'


def _start_put(store, key, total, sent):
    """Begins a signed PUT of total bytes and sends only sent of them."""
    vhost = '%s.%s' % (store.bucket, ENDPOINT)
    hdrs = [['Host', '%s:%d' % (vhost, store.http_port)], ['Content-Length', str(total)]]
    kiv_sign('PUT', vhost, store.bucket, '/' + key, [], hdrs, store.key_id, store.secret)
    s = socket.create_connection(('127.0.0.1', store.http_port))
    s.sendall(('PUT /%s HTTP/1.1\r\n%s\r\n' % (key, ''.join('%s: %s\r\n' % tuple(h) for h in hdrs))).encode())
    s.sendall(b'n' * sent)
    return s


def test_a_killed_server_never_shows_half_an_object(kivstore):
    c = kivstore.client()
    c.put('old', b'old version')
    c.close()
    socks = [_start_put(kivstore, 'old', 8 << 20, 4 << 20), _start_put(kivstore, 'new', 8 << 20, 4 << 20)]
    time.sleep(0.3)
    tmp = os.path.join(kivstore.data_dir, 'tmp')
    assert len(os.listdir(tmp)) == 2  # the bodies are being written aside
    kivstore.kill()
    for s in socks:
        s.close()
    kivstore.start()
    c = kivstore.client()
    assert c.get('old').body == b'old version'
    assert c.get('new').status == 404
    assert _listing(c) == ['old']
    assert os.listdir(tmp) == []


def test_an_interrupted_upload_leaves_the_old_object(kivstore):
    c = kivstore.client()
    c.put('k', b'v1')
    s = _start_put(kivstore, 'k', 1 << 20, 1000)
    s.close()  # the client goes away in the middle of the body
    time.sleep(0.2)
    assert c.get('k').body == b'v1'
    s = _start_put(kivstore, 'k', 1 << 20, 1 << 20)
    assert s.recv(100).startswith(b'HTTP/1.1 200')
    s.close()
    assert c.get('k').body == b'n' * (1 << 20)
