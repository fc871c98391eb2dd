"""The boto3 dialect of the local object store, driven with boto3 over HTTP and HTTPS."""

import concurrent.futures
import hashlib
import io
import os

import pytest

pytest.register_assert_rewrite("kivstore_fixture")

pytest_plugins = ['kivstore_fixture']

boto3 = pytest.importorskip('boto3')
from botocore.config import Config  # noqa: E402
from botocore.exceptions import ClientError  # noqa: E402


def s3_client(store, secure=False, secret=None, region='us-east-1', token=None, checksums='when_supported'):
    scheme, port = ('https', store.https_port) if secure else ('http', store.http_port)
    return boto3.client(
        's3', endpoint_url='%s://127.0.0.1:%d' % (scheme, port), region_name=region,
        aws_access_key_id=store.key_id, aws_secret_access_key=secret or store.secret,
        aws_session_token=token, verify=store.ca_file if secure else None,
        config=Config(s3={'addressing_style': 'path'}, retries={'max_attempts': 1},
                      request_checksum_calculation=checksums))


@pytest.fixture(params=[False, True], ids=['http', 'https'])
def boto(request, kivstore):
    return s3_client(kivstore, request.param)


def _code(exc):
    return exc.value.response['Error']['Code']


def test_objects(boto):
    body = os.urandom(300000)
    r = boto.put_object(Bucket='kiv-test', Key='dir/a b+c', Body=body, ContentType='text/x', Metadata={'m': 'v'})
    assert r['ETag'] == '"%s"' % hashlib.md5(body).hexdigest()
    got = boto.get_object(Bucket='kiv-test', Key='dir/a b+c')
    assert got['Body'].read() == body and got['ContentType'] == 'text/x' and got['Metadata'] == {'m': 'v'}
    part = boto.get_object(Bucket='kiv-test', Key='dir/a b+c', Range='bytes=10-19')
    assert part['Body'].read() == body[10:20] and part['ContentRange'] == 'bytes 10-19/300000'
    with pytest.raises(ClientError) as e:
        boto.get_object(Bucket='kiv-test', Key='dir/a b+c', Range='bytes=300000-')
    assert _code(e) == 'InvalidRange'
    head = boto.head_object(Bucket='kiv-test', Key='dir/a b+c')
    assert head['ContentLength'] == len(body)
    boto.copy_object(Bucket='kiv-test-2', Key='copy', CopySource={'Bucket': 'kiv-test', 'Key': 'dir/a b+c'})
    assert boto.get_object(Bucket='kiv-test-2', Key='copy')['Body'].read() == body
    boto.delete_object(Bucket='kiv-test', Key='dir/a b+c')
    with pytest.raises(ClientError) as e:
        boto.get_object(Bucket='kiv-test', Key='dir/a b+c')
    assert _code(e) == 'NoSuchKey'
    with pytest.raises(ClientError) as e:
        boto.head_object(Bucket='kiv-test', Key='dir/a b+c')
    assert e.value.response['ResponseMetadata']['HTTPStatusCode'] == 404
    with pytest.raises(ClientError) as e:
        boto.get_object(Bucket='kiv-nobucket', Key='x')
    assert _code(e) == 'NoSuchBucket'


def test_multipart_and_transfer(boto):
    up = boto.create_multipart_upload(Bucket='kiv-test', Key='mp')
    uid = up['UploadId']
    parts = []
    data = [os.urandom(5 << 20), os.urandom(1000)]
    for n, chunk in enumerate(data, 1):
        r = boto.upload_part(Bucket='kiv-test', Key='mp', PartNumber=n, UploadId=uid, Body=chunk)
        parts.append({'PartNumber': n, 'ETag': r['ETag']})
    assert [p['PartNumber'] for p in boto.list_parts(Bucket='kiv-test', Key='mp', UploadId=uid)['Parts']] == [1, 2]
    boto.complete_multipart_upload(Bucket='kiv-test', Key='mp', UploadId=uid, MultipartUpload={'Parts': parts})
    assert boto.get_object(Bucket='kiv-test', Key='mp')['Body'].read() == b''.join(data)
    uid = boto.create_multipart_upload(Bucket='kiv-test', Key='gone')['UploadId']
    boto.abort_multipart_upload(Bucket='kiv-test', Key='gone', UploadId=uid)
    with pytest.raises(ClientError) as e:
        boto.upload_part(Bucket='kiv-test', Key='gone', PartNumber=1, UploadId=uid, Body=b'x')
    assert _code(e) == 'NoSuchUpload'
    # The transfer manager: parallel parts and ranged reads.
    from boto3.s3.transfer import TransferConfig
    cfg = TransferConfig(multipart_threshold=8 << 20, multipart_chunksize=8 << 20, max_concurrency=4)
    blob = os.urandom(20 << 20)
    boto.upload_fileobj(io.BytesIO(blob), 'kiv-test', 'xfer', Config=cfg)
    out = io.BytesIO()
    boto.download_fileobj('kiv-test', 'xfer', out, Config=cfg)
    assert out.getvalue() == blob


def test_listing_and_delete_objects(boto):
    keys = ['l/%04d' % i for i in range(1100)] + ['l/sub/x', 'l/sub/y', 'l/a&b <c>', 'l/ctl\x01']
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        list(pool.map(lambda k: boto.put_object(Bucket='kiv-test', Key=k, Body=b''), keys))
    pages = list(boto.get_paginator('list_objects_v2').paginate(Bucket='kiv-test', Prefix='l/'))
    assert len(pages) == 2
    assert [o['Key'] for p in pages for o in p.get('Contents', [])] == sorted(keys, key=lambda k: k.encode())
    r = boto.list_objects_v2(Bucket='kiv-test', Prefix='l/', MaxKeys=2000)
    assert r['KeyCount'] == 1000 and r['IsTruncated']
    r = boto.list_objects_v2(Bucket='kiv-test', Prefix='l/', Delimiter='/', StartAfter='l/1099')
    assert [p['Prefix'] for p in r['CommonPrefixes']] == ['l/sub/']
    assert [o['Key'] for o in r['Contents']] == ['l/a&b <c>', 'l/ctl\x01']
    batch = [{'Key': k} for k in keys[:1000]]
    r = boto.delete_objects(Bucket='kiv-test', Delete={'Objects': batch, 'Quiet': True})
    assert not r.get('Errors')
    # Control characters cannot be read back by an XML 1.0 parser, so that key goes quietly.
    boto.delete_objects(Bucket='kiv-test', Delete={'Objects': [{'Key': 'l/ctl\x01'}], 'Quiet': True})
    r = boto.delete_objects(Bucket='kiv-test', Delete={'Objects': [{'Key': k} for k in keys[1000:-1]]})
    assert sorted(d['Key'] for d in r['Deleted']) == sorted(keys[1000:-1])
    assert boto.list_objects_v2(Bucket='kiv-test', Prefix='l/')['KeyCount'] == 0


def test_buckets(boto):
    boto.create_bucket(Bucket='kiv-made')
    assert 'kiv-made' in [b['Name'] for b in boto.list_buckets()['Buckets']]
    boto.head_bucket(Bucket='kiv-made')
    boto.put_object(Bucket='kiv-made', Key='k', Body=b'1')
    with pytest.raises(ClientError) as e:
        boto.delete_bucket(Bucket='kiv-made')
    assert _code(e) == 'BucketNotEmpty'
    boto.delete_object(Bucket='kiv-made', Key='k')
    boto.delete_bucket(Bucket='kiv-made')
    with pytest.raises(ClientError):
        boto.head_bucket(Bucket='kiv-made')


@pytest.mark.parametrize('checksums', ['when_supported', 'when_required'])
def test_signature_checks(kivstore, checksums):
    s3_client(kivstore, checksums=checksums).put_object(Bucket='kiv-test', Key='k', Body=b'v')
    for kw, code in ((dict(secret='wrong'), 'SignatureDoesNotMatch'),
                     (dict(region='eu-west-9'), 'AuthorizationHeaderMalformed'),
                     (dict(token='surprise'), 'InvalidToken')):
        with pytest.raises(ClientError) as e:
            s3_client(kivstore, checksums=checksums, **kw).get_object(Bucket='kiv-test', Key='k')
        assert _code(e) == code
    for secure in (False, True):
        assert s3_client(kivstore, secure, checksums=checksums).get_object(Bucket='kiv-test', Key='k')['Body'].read() == b'v'
