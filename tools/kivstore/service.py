"""The service's operations over HTTP: addressing, verification, faults and answers."""

import base64
import binascii
import hashlib
import itertools
import logging
import os
import threading
import time
import zlib
from urllib.parse import quote, unquote, unquote_to_bytes

from . import xmlbody
from .auth import AuthError, derive_region, verify_boto, verify_kiv
from .httpcore import REASONS, BadRequest, ClientGone
from .store import (HDR, Hashes, StoreError, check_key, decode_token, encode_token, http_date, iso_date)
from .xmlbody import doc, elem, esc

log = logging.getLogger('kivstore')

BOTO_NS = 'http://s3.amazonaws.com/doc/2006-03-01/'
SMALL_BODY_LIMIT = 16 << 20
_conn_ids = itertools.count(1)
_rid_prefix = os.urandom(4).hex().upper()
_rid_counter = itertools.count(1)


class Ctx:
    """Per-request state of one exchange."""
    __slots__ = ('rid', 'dialect', 'rule', 'started', 'close', 'continue_sent', 'expect', 'entry',
                 'status', 'bucket', 'key', 'op')


def _strip_port(host):
    if host.startswith('['):
        return host.split(']', 1)[0] + ']'
    h, sep, port = host.rpartition(':')
    return h if sep and port.isdigit() else host


def _decode_key(raw):
    try:
        return unquote_to_bytes(raw).decode('utf-8')
    except UnicodeDecodeError:
        raise StoreError(400, 'InvalidObjectName', 'The object name is not valid UTF-8.') from None


def _parse_query(query):
    q = {}
    for item in query.split('&'):
        if not item:
            continue
        k, _, v = item.partition('=')
        try:
            k = unquote_to_bytes(k).decode('utf-8')
            v = unquote_to_bytes(v).decode('utf-8')
        except UnicodeDecodeError:
            raise StoreError(400, 'InvalidArgument', 'A query parameter is not valid UTF-8.') from None
        q.setdefault(k, v)
    return q


def parse_range(value, size):
    """None to ignore the header, 'unsat' when it starts at or past the end, else (start, end)."""
    if not value.startswith('bytes='):
        return None
    ranges = value[6:].strip()
    if ',' in ranges:
        return None
    a, sep, b = ranges.partition('-')
    a, b = a.strip(), b.strip()
    if not sep:
        return None
    if a == '':
        if not b.isdigit():
            return None
        n = int(b)
        if n == 0 or size == 0:
            return 'unsat'
        return max(0, size - n), size - 1
    if not a.isdigit() or (b and not b.isdigit()):
        return None
    start = int(a)
    end = int(b) if b else size - 1
    if b and end < start:
        return None
    if start >= size:
        return 'unsat'
    return start, min(end, size - 1)


def classify(method, has_bucket, key, q):
    if not has_bucket:
        return 'ListBuckets' if method == 'GET' else 'Unknown'
    if not key:
        if method == 'GET':
            if 'uploads' in q:
                return 'ListMultipartUploads'
            if 'location' in q:
                return 'GetBucketLocation'
            return 'ListObjectsV2' if q.get('list-type') == '2' else 'ListObjects'
        return {'HEAD': 'HeadBucket', 'PUT': 'CreateBucket', 'DELETE': 'DeleteBucket'}.get(method) or \
            ('DeleteMultipleObjects' if method == 'POST' and 'delete' in q else 'Unknown')
    if method == 'GET':
        return 'ListParts' if 'uploadId' in q else 'GetObject'
    if method == 'HEAD':
        return 'GetObjectMeta' if 'objectMeta' in q else 'HeadObject'
    if method == 'PUT':
        if 'partNumber' in q or 'uploadId' in q:
            return 'UploadPart'
        return 'PutObject'
    if method == 'POST':
        if 'uploads' in q:
            return 'InitiateMultipartUpload'
        if 'uploadId' in q:
            return 'CompleteMultipartUpload'
        if 'append' in q:
            return 'AppendObject'
        return 'Unknown'
    if method == 'DELETE':
        return 'AbortMultipartUpload' if 'uploadId' in q else 'DeleteObject'
    return 'Unknown'


class SignedChunkReader:
    """Removes aws-chunked framing; chunk signatures are not checked."""

    def __init__(self, body):
        self._body = body
        self._buf = bytearray()
        self._scratch = memoryview(bytearray(1 << 16))
        self._left = 0
        self._need_crlf = False
        self._done = False
        self.trailers = {}

    def _fill(self):
        n = self._body.readinto(self._scratch)
        if n == 0:
            return False
        self._buf += self._scratch[:n]
        return True

    def _line(self):
        while True:
            i = self._buf.find(b'\r\n')
            if i >= 0:
                line = bytes(self._buf[:i])
                del self._buf[:i + 2]
                return line
            if len(self._buf) > 8192:
                raise BadRequest('aws-chunked line too long')
            if not self._fill():
                if self._buf:
                    line = bytes(self._buf)
                    self._buf.clear()
                    return line
                return None

    def readinto(self, mv):
        while self._left == 0:
            if self._done:
                return 0
            if self._need_crlf:
                if self._line() != b'':
                    raise BadRequest('aws-chunked data longer than its size')
                self._need_crlf = False
            line = self._line()
            if line is None:
                raise BadRequest('aws-chunked body ended early')
            size_text = line.split(b';', 1)[0].strip()
            try:
                size = int(size_text, 16)
            except ValueError:
                raise BadRequest('bad aws-chunked size line') from None
            if size == 0:
                while True:
                    t = self._line()
                    if not t:
                        break
                    name, sep, value = t.partition(b':')
                    if sep:
                        self.trailers[name.strip().lower().decode('latin-1')] = value.strip().decode('latin-1')
                self._done = True
                return 0
            self._left = size
            self._need_crlf = True
        want = min(len(mv), self._left)
        if self._buf:
            n = min(want, len(self._buf))
            mv[:n] = self._buf[:n]
            del self._buf[:n]
        else:
            n = self._body.readinto(mv[:want])
            if n == 0:
                raise BadRequest('aws-chunked body ended early')
        self._left -= n
        return n


def _b64(data):
    return base64.b64encode(data).decode('ascii')


class Service:
    """Answers every request of the data ports; used from all connection threads."""

    def __init__(self, store, ring, faults, endpoints, accelerate_suffix, boto_region='us-east-1',
                 max_skew=900):
        self.store = store
        self.ring = ring
        self.faults = faults
        self.endpoints = sorted({e.lower() for e in endpoints}, key=len, reverse=True)
        self.accelerate_suffix = accelerate_suffix
        self.boto_region = boto_region
        self.max_skew = max_skew
        self._aliases = {}
        self._alias_lock = threading.Lock()
        self._iso_cache = {}

    # -- answers -------------------------------------------------------------
    def _base_headers(self, ctx, server_time=None):
        now = time.monotonic()
        st = ctx.rule.get('server_time') if ctx.rule and 'server_time' in ctx.rule else int((now - ctx.started) * 1000)
        h = [('Server', 'kivstore'), ('Date', http_date(time.time())), ('x-kiv-request-id', ctx.rid),
             ('x-kiv-server-time', str(st))]
        if ctx.dialect == 'boto':
            h.append(('x-amz-request-id', ctx.rid))
        return h

    def respond(self, req, ctx, status, headers=(), body=b'', fd=None, offset=0, length=None):
        """Sends one answer, applying the armed rule's changes to it."""
        conn = req.conn
        rule = ctx.rule or {}
        ctx.status = status
        if ctx.entry is not None:
            # in the journal before the client has the answer, so it can look at once
            ctx.entry['status'] = status
        if ctx.expect and not ctx.continue_sent:
            ctx.close = True  # the body was never asked for, so it is not on the wire
        if rule.get('connection_close'):
            ctx.close = True
        length = len(body) if fd is None else length
        lines = ['HTTP/1.1 %d %s' % (status, REASONS.get(status, 'Status'))]
        for name, value in self._base_headers(ctx):
            lines.append('%s: %s' % (name, value))
        for name, value in headers:
            lines.append('%s: %s' % (name, value))
        chunked = rule.get('chunked') and req.method != 'HEAD' and status not in (204, 304)
        if chunked:
            lines.append('Transfer-Encoding: chunked')
        elif status != 204 and status != 304:
            lines.append('Content-Length: %d' % length)
        lines.append('Connection: %s' % ('close' if ctx.close or not req.keep_alive else 'keep-alive'))
        head = ('\r\n'.join(lines) + '\r\n\r\n').encode('latin-1', 'replace')
        send_body = req.method != 'HEAD' and status not in (204, 304)
        if rule.get('close_after_header'):
            conn.send(head)
            conn.close()
            return
        if 'reset_after' in rule:
            n = max(0, min(rule['reset_after'], length))
            part = b'' if not send_body else body[:n] if fd is None else os.pread(fd, n, offset)
            conn.send(head + part)
            conn.reset()
            return
        if not send_body:
            conn.send(head)
        elif chunked:
            size = max(1, rule.get('chunk_size', 65536))
            conn.send(head)
            pos = 0
            while pos < length:
                n = min(size, length - pos)
                data = body[pos:pos + n] if fd is None else os.pread(fd, n, offset + pos)
                conn.send(b'%x\r\n' % len(data) + data + b'\r\n')
                pos += n
            conn.send(b'0\r\n\r\n')
        elif fd is None:
            conn.send(head + body if len(body) < (1 << 20) else head)
            if len(body) >= (1 << 20):
                conn.send(body)
        else:
            conn.send(head)
            conn.sendfile(fd, offset, length)
        if ctx.close:
            conn.close()

    def error(self, req, ctx, status, code, message, headers=(), extra=None):
        inner = elem('Code', code) + elem('Message', message) + elem('RequestId', ctx.rid) + \
            elem('HostId', _strip_port(req.hmap.get('host', '')))
        for name, value in (extra or {}).items():
            inner += elem(name, value)
        body = doc('Error', inner)
        hdrs = list(headers) + [('Content-Type', 'application/xml')]
        if ctx.dialect == 'kiv':
            hdrs.append(('x-kiv-ec', code))
        if req.method == 'HEAD':
            self.respond(req, ctx, status, hdrs, b'')
        else:
            self.respond(req, ctx, status, hdrs, body)

    def bad_request(self, conn, message, started):
        """A request that could not be parsed: 400 and the connection is closed."""
        class _Req:
            method = 'GET'
            hmap = {}
            keep_alive = False
        r = _Req()
        r.conn = conn
        ctx = self._ctx(started, 'kiv')
        ctx.close = True
        self.faults.record({'op': 'BadRequest', 'method': '', 'path': '', 'query': '', 'bucket': '', 'key': '',
                            'status': 400, 'conn': id(conn), 'headers': {}, 'dialect': 'kiv'})
        try:
            self.error(r, ctx, 400, 'InvalidRequest', message)
        except ClientGone:
            pass

    def _ctx(self, started, dialect):
        ctx = Ctx()
        ctx.rid = '%s%016X' % (_rid_prefix, next(_rid_counter))
        ctx.dialect = dialect
        ctx.rule = None
        ctx.started = started
        ctx.close = False
        ctx.continue_sent = False
        ctx.expect = False
        ctx.status = 0
        ctx.entry = None
        return ctx

    def want_body(self, req, ctx):
        if ctx.expect and not ctx.continue_sent:
            req.conn.send(b'HTTP/1.1 100 Continue\r\n\r\n')
        ctx.continue_sent = True

    # -- the request ---------------------------------------------------------
    def handle(self, req):
        """Answers one request; returns whether the connection may serve another."""
        auth = req.hmap.get('authorization', '')
        boto = auth.startswith('AWS4-') or 'x-amz-date' in req.hmap or 'x-amz-content-sha256' in req.hmap
        ctx = self._ctx(req.started, 'boto' if boto else 'kiv')
        ctx.expect = req.hmap.get('expect', '').lower() == '100-continue'
        if not hasattr(req.conn, 'cid'):
            req.conn.cid = next(_conn_ids)
        entry = ctx.entry = {'op': 'Unknown', 'method': req.method, 'path': req.path, 'query': req.query,
                             'bucket': '', 'key': '', 'status': 0, 'conn': req.conn.cid,
                             'headers': dict(req.hmap), 'dialect': ctx.dialect, 'rule': None}
        recorded = False
        try:
            host_hdr = req.hmap.get('host', '')
            alias_key = (host_hdr.lower(), req.target)
            if self._aliases:
                with self._alias_lock:
                    orig = self._aliases.pop(alias_key, None)
                if orig is not None:
                    req.hmap['host'] = orig
                    host_hdr = orig
            bucket, key, vhost, region = self._address(req, ctx, host_hdr)
            q = _parse_query(req.query)
            op = classify(req.method, bucket is not None, key, q)
            ctx.bucket, ctx.key, ctx.op = bucket or '', key, op
            entry.update(op=op, bucket=bucket or '', key=key)
            self.faults.record(entry)
            recorded = True
            rule = self.faults.match(req.method, op, bucket or '', key, ctx.dialect)
            if rule is not None:
                ctx.rule = rule
                entry['rule'] = rule['id']
                if rule.get('delay_ms'):
                    time.sleep(rule['delay_ms'] / 1000.0)
                if 'status' in rule or 'redirect' in rule:
                    self._fault_answer(req, ctx, rule)
                    return not ctx.close
            if ctx.dialect == 'kiv':
                _, payload = verify_kiv(req, self.ring, bucket or '', vhost, region, self.max_skew)
            else:
                _, payload = verify_boto(req, self.ring, region, self.max_skew)
            handler = getattr(self, 'op_' + op, None)
            if handler is None:
                raise StoreError(501, 'NotImplemented', 'This operation is not implemented.')
            if key:
                check_key(key)
            handler(req, ctx, bucket, key, q, payload)
        except AuthError as e:
            extra = {'FailedCheck': e.check}
            extra.update(e.extra)
            self.error(req, ctx, e.status, e.code, e.message, extra=extra)
        except StoreError as e:
            self.error(req, ctx, e.status, e.code, e.message, e.headers, e.extra)
        except xmlbody.MalformedXML as e:
            self.error(req, ctx, 400, 'MalformedXML', 'The XML you provided was not well-formed: %s' % e)
        except BadRequest as e:
            ctx.close = True
            self.error(req, ctx, 400, 'InvalidRequest', str(e))
        except ClientGone:
            ctx.close = True
            ctx.status = ctx.status or -1
        except Exception:
            log.exception('request %s %s failed', req.method, req.target)
            ctx.close = True
            try:
                self.error(req, ctx, 500, 'InternalError', 'We encountered an internal error. Please try again.')
            except ClientGone:
                pass
        finally:
            if not recorded:
                self.faults.record(entry)
            entry['status'] = ctx.status
        return not ctx.close

    def _address(self, req, ctx, host_hdr):
        host = _strip_port(host_hdr.strip()).lower()
        if not host:
            raise StoreError(400, 'InvalidRequest', 'The request has no Host header.')
        if ctx.dialect == 'boto':
            for ep in self.endpoints:
                if host.endswith('.' + ep):
                    return host[:-len(ep) - 1], _decode_key(req.path[1:]), host, self.boto_region
            first, _, rest = req.path[1:].partition('/')
            bucket = unquote(first) or None
            return bucket, (_decode_key(rest) if bucket else ''), host, self.boto_region
        bucket = None
        endpoint = None
        for ep in self.endpoints:
            if host == ep:
                endpoint = ep
                break
            if host.endswith('.' + ep):
                bucket, endpoint = host[:-len(ep) - 1], ep
                break
        if endpoint is None:
            bucket, sep, endpoint = host.partition('.')
            if not sep or not endpoint:
                raise StoreError(400, 'InvalidRequest', 'The Host header names no bucket: %s' % host)
        region = derive_region(endpoint, self.accelerate_suffix)
        return bucket, (_decode_key(req.path[1:]) if bucket else ''), host, region

    def _fault_answer(self, req, ctx, rule):
        if 'redirect' in rule:
            target = rule['redirect']
            port = rule.get('redirect_port') or req.conn.sock.getsockname()[1]
            scheme = 'https' if req.conn.secure else 'http'
            new_host = '%s:%d' % (target, port)
            with self._alias_lock:
                self._aliases[(new_host.lower(), req.target)] = req.hmap.get('host', '')
            self.respond(req, ctx, rule.get('redirect_status', 307),
                         [('Location', '%s://%s%s' % (scheme, new_host, req.target))] +
                         list((rule.get('headers') or {}).items()))
            return
        status = rule['status']
        hdrs = list((rule.get('headers') or {}).items())
        if 'body' in rule:
            self.respond(req, ctx, status, hdrs + [('Content-Type', 'application/xml')], rule['body'].encode('utf-8'))
            return
        default = {400: 'InvalidArgument', 403: 'AccessDenied', 404: 'NoSuchKey', 500: 'InternalError',
                   503: 'ServiceUnavailable'}.get(status, 'InjectedFault')
        self.error(req, ctx, status, rule.get('code', default), rule.get('message', 'injected fault'), hdrs)

    # -- body helpers --------------------------------------------------------
    def _body_reader(self, req, ctx, payload):
        self.want_body(req, ctx)
        enc = req.hmap.get('content-encoding', '').lower()
        if payload.startswith('STREAMING-') or 'aws-chunked' in enc:
            return SignedChunkReader(req.body)
        return req.body

    def _checker(self, req, ctx, payload, reader):
        md5_text = req.hmap.get('content-md5')
        want_md5 = None
        if md5_text is not None:
            try:
                want_md5 = base64.b64decode(md5_text, validate=True)
            except (binascii.Error, ValueError):
                want_md5 = b''
            if len(want_md5) != 16:
                raise StoreError(400, 'InvalidDigest', 'The Content-MD5 you specified is not valid.')
        want_sha = payload if len(payload) == 64 else None
        crc_header = req.hmap.get('x-amz-checksum-crc32')
        crc_trailer = 'x-amz-checksum-crc32' in req.hmap.get('x-amz-trailer', '').lower()
        hashes = Hashes(sha256=want_sha is not None, crc32=bool(crc_header or crc_trailer))

        def check(h, size):
            if want_md5 is not None and h.md5.digest() != want_md5:
                raise StoreError(400, 'BadDigest', 'The Content-MD5 you specified did not match what we received.')
            if want_sha is not None and h.sha256.hexdigest() != want_sha:
                raise StoreError(400, 'XAmzContentSHA256Mismatch',
                                 "The provided 'x-amz-content-sha256' header does not match what was computed.")
            crc = crc_header or (getattr(reader, 'trailers', {}) or {}).get('x-amz-checksum-crc32')
            if crc and h.crc32 is not None and _b64(h.crc32.to_bytes(4, 'big')) != crc:
                raise StoreError(400, 'BadDigest', 'The CRC32 you specified did not match the calculated checksum.')
        return hashes, check

    def _small_body(self, req, ctx, payload):
        reader = self._body_reader(req, ctx, payload)
        data = bytearray()
        buf = memoryview(bytearray(1 << 16))
        while True:
            n = reader.readinto(buf)
            if n == 0:
                break
            data += buf[:n]
            if len(data) > SMALL_BODY_LIMIT:
                raise StoreError(400, 'EntityTooLarge', 'The request body is too large.')
        data = bytes(data)
        if len(payload) == 64 and hashlib.sha256(data).hexdigest() != payload:
            raise StoreError(400, 'XAmzContentSHA256Mismatch',
                             "The provided 'x-amz-content-sha256' header does not match what was computed.")
        return data

    def _etag(self, ctx, etag):
        return '"%s"' % (etag.upper() if ctx.dialect == 'kiv' else etag)

    def _meta_prefix(self, ctx):
        return 'x-kiv-meta-' if ctx.dialect == 'kiv' else 'x-amz-meta-'

    def _user_meta(self, req):
        out = {}
        for name, value in req.headers:
            low = name.lower()
            for p in ('x-kiv-meta-', 'x-amz-meta-'):
                if low.startswith(p) and len(low) > len(p):
                    out[low[len(p):]] = value
        return out

    def _object_headers(self, ctx, meta):
        h = [('ETag', self._etag(ctx, meta.etag)), ('Last-Modified', http_date(meta.mtime)),
             ('Content-Type', meta.ctype), ('Accept-Ranges', 'bytes')]
        if ctx.dialect == 'kiv':
            h.append(('x-kiv-object-type', meta.otype))
            if meta.otype == 'Appendable':
                h.append(('x-kiv-next-append-position', str(meta.size)))
        p = self._meta_prefix(ctx)
        for k, v in meta.umeta.items():
            h.append((p + k, v))
        return h

    # -- bucket operations ---------------------------------------------------
    def op_ListBuckets(self, req, ctx, bucket, key, q, payload):
        items = ''.join('<Bucket>%s%s</Bucket>' % (elem('Name', b.name), elem('CreationDate', iso_date(b.created)))
                        for b in sorted(self.store.buckets.values(), key=lambda b: b.name))
        inner = '<Owner><ID>kivstore</ID><DisplayName>kivstore</DisplayName></Owner><Buckets>%s</Buckets>' % items
        self.respond(req, ctx, 200, [('Content-Type', 'application/xml')],
                     doc('ListAllMyBucketsResult', inner, BOTO_NS if ctx.dialect == 'boto' else None))

    def op_CreateBucket(self, req, ctx, bucket, key, q, payload):
        self._small_body(req, ctx, payload)
        self.store.create_bucket(bucket)
        self.respond(req, ctx, 200, [('Location', '/' + bucket)])

    def op_DeleteBucket(self, req, ctx, bucket, key, q, payload):
        self.store.delete_bucket(bucket)
        self.respond(req, ctx, 204)

    def op_HeadBucket(self, req, ctx, bucket, key, q, payload):
        self.store.bucket(bucket)
        self.respond(req, ctx, 200)

    def op_GetBucketLocation(self, req, ctx, bucket, key, q, payload):
        self.store.bucket(bucket)
        region = self.boto_region if ctx.dialect == 'boto' else ''
        self.respond(req, ctx, 200, [('Content-Type', 'application/xml')],
                     doc('LocationConstraint', esc(region if region != 'us-east-1' else ''), BOTO_NS if ctx.dialect == 'boto' else None))

    def _max_keys(self, q):
        text = q.get('max-keys', '1000')
        if not text.isdigit() or len(text) > 9:
            raise StoreError(400, 'InvalidArgument', 'max-keys must be a non-negative integer.', ArgumentName='max-keys')
        return min(int(text), 1000)

    def _iso(self, t):
        s = int(t)
        v = self._iso_cache.get(s)
        if v is None:
            if len(self._iso_cache) > 65536:
                self._iso_cache.clear()
            v = self._iso_cache[s] = iso_date(s)
        return v

    def _list(self, req, ctx, bucket, q, v2):
        prefix = q.get('prefix', '')
        delimiter = q.get('delimiter', '')
        max_keys = self._max_keys(q)
        url = q.get('encoding-type', '') == 'url'
        if 'encoding-type' in q and not url:
            raise StoreError(400, 'InvalidArgument', 'Invalid Encoding Method specified in Request', ArgumentName='encoding-type')
        token = None
        if v2 and 'continuation-token' in q:
            token = decode_token(q['continuation-token'])
            if token is None:
                raise StoreError(400, 'InvalidArgument', 'The continuation token provided is incorrect',
                                 ArgumentName='continuation-token')
        start_after = q.get('start-after', '') if v2 else q.get('marker', '')
        contents, prefixes, nxt = self.store.list_page(bucket, prefix, delimiter, max_keys, start_after, token)
        delay = self.faults.settings.get('list_page_delay_ms', 0)
        if delay:
            time.sleep(delay / 1000.0)
        enc = (lambda s: esc(quote(s, safe='/'))) if url else esc
        parts = ['<Name>%s</Name><Prefix>%s</Prefix>' % (esc(bucket), enc(prefix))]
        if v2:
            if 'start-after' in q:
                parts.append('<StartAfter>%s</StartAfter>' % enc(start_after))
            if 'continuation-token' in q:
                parts.append('<ContinuationToken>%s</ContinuationToken>' % esc(q['continuation-token']))
        else:
            parts.append('<Marker>%s</Marker>' % enc(start_after))
        parts.append('<MaxKeys>%d</MaxKeys>' % max_keys)
        if delimiter:
            parts.append('<Delimiter>%s</Delimiter>' % enc(delimiter))
        if url:
            parts.append('<EncodingType>url</EncodingType>')
        parts.append('<IsTruncated>%s</IsTruncated>' % ('true' if nxt else 'false'))
        if v2:
            parts.append('<KeyCount>%d</KeyCount>' % (len(contents) + len(prefixes)))
            if nxt:
                parts.append('<NextContinuationToken>%s</NextContinuationToken>' % encode_token(*nxt))
        elif nxt and delimiter:
            parts.append('<NextMarker>%s</NextMarker>' % enc(contents[-1][0] if nxt[0] == 'x' else prefixes[-1]))
        upper = ctx.dialect == 'kiv'
        iso = self._iso
        for k, m in contents:
            parts.append('<Contents><Key>%s</Key><LastModified>%s</LastModified><ETag>&quot;%s&quot;</ETag>'
                         '<Size>%d</Size><StorageClass>STANDARD</StorageClass><Type>%s</Type></Contents>'
                         % (enc(k), iso(m.mtime), m.etag.upper() if upper else m.etag, m.size, m.otype))
        for p in prefixes:
            parts.append('<CommonPrefixes><Prefix>%s</Prefix></CommonPrefixes>' % enc(p))
        self.respond(req, ctx, 200, [('Content-Type', 'application/xml')],
                     doc('ListBucketResult', ''.join(parts), BOTO_NS if ctx.dialect == 'boto' else None))

    def op_ListObjectsV2(self, req, ctx, bucket, key, q, payload):
        self._list(req, ctx, bucket, q, True)

    def op_ListObjects(self, req, ctx, bucket, key, q, payload):
        self._list(req, ctx, bucket, q, False)

    def op_DeleteMultipleObjects(self, req, ctx, bucket, key, q, payload):
        self.store.bucket(bucket)
        body = self._small_body(req, ctx, payload)
        md5_text = req.hmap.get('content-md5')
        if md5_text is not None:
            try:
                want = base64.b64decode(md5_text, validate=True)
            except (binascii.Error, ValueError):
                want = b''
            if len(want) != 16:
                raise StoreError(400, 'InvalidDigest', 'The Content-MD5 you specified is not valid.')
            if hashlib.md5(body).digest() != want:
                raise StoreError(400, 'BadDigest', 'The Content-MD5 you specified did not match what we received.')
        elif not (ctx.dialect == 'boto' and self._boto_checksum_ok(req, body)):
            raise StoreError(400, 'InvalidRequest', 'Missing required header for this request: Content-MD5')
        quiet, keys = xmlbody.parse_delete(body)
        out = []
        for k in keys:
            try:
                check_key(k)
                self.store.delete_object(bucket, k)
                if not quiet:
                    out.append('<Deleted>%s</Deleted>' % elem('Key', k))
            except StoreError as e:
                out.append('<Error>%s%s%s</Error>' % (elem('Key', k), elem('Code', e.code), elem('Message', e.message)))
        self.respond(req, ctx, 200, [('Content-Type', 'application/xml')],
                     doc('DeleteResult', ''.join(out), BOTO_NS if ctx.dialect == 'boto' else None))

    def _boto_checksum_ok(self, req, body):
        for name, fn in (('x-amz-checksum-crc32', lambda b: zlib.crc32(b).to_bytes(4, 'big')),
                         ('x-amz-checksum-crc32c', lambda b: _crc32c(b).to_bytes(4, 'big')),
                         ('x-amz-checksum-sha1', lambda b: hashlib.sha1(b).digest()),
                         ('x-amz-checksum-sha256', lambda b: hashlib.sha256(b).digest())):
            value = req.hmap.get(name)
            if value is not None:
                if _b64(fn(body)) != value:
                    raise StoreError(400, 'BadDigest', 'The %s you specified did not match the calculated checksum.' % name)
                return True
        return False

    def op_ListMultipartUploads(self, req, ctx, bucket, key, q, payload):
        ups = self.store.list_uploads(bucket)
        inner = elem('Bucket', bucket) + ''.join(
            '<Upload>%s%s%s</Upload>' % (elem('Key', k), elem('UploadId', u), elem('Initiated', iso_date(t)))
            for k, u, t in ups) + '<IsTruncated>false</IsTruncated>'
        self.respond(req, ctx, 200, [('Content-Type', 'application/xml')],
                     doc('ListMultipartUploadsResult', inner, BOTO_NS if ctx.dialect == 'boto' else None))

    # -- object operations ---------------------------------------------------
    def _conditions(self, req, meta):
        etag = meta.etag.lower()
        im = req.hmap.get('if-match')
        if im is not None and im.strip() != '*' and etag not in [t.strip().strip('"').lower() for t in im.split(',')]:
            raise StoreError(412, 'PreconditionFailed', 'At least one of the pre-conditions you specified did not hold.')
        inm = req.hmap.get('if-none-match')
        if inm is not None and (inm.strip() == '*' or etag in [t.strip().strip('"').lower() for t in inm.split(',')]):
            return 304
        return None

    def op_GetObject(self, req, ctx, bucket, key, q, payload):
        self._get(req, ctx, bucket, key, True)

    def op_HeadObject(self, req, ctx, bucket, key, q, payload):
        self._get(req, ctx, bucket, key, False)

    def op_GetObjectMeta(self, req, ctx, bucket, key, q, payload):
        fd, meta, _ = self.store.open_object(bucket, key)
        os.close(fd)
        self.respond(req, ctx, 200, [('ETag', self._etag(ctx, meta.etag)), ('Last-Modified', http_date(meta.mtime))],
                     fd=-1, length=meta.size)

    def _get(self, req, ctx, bucket, key, with_body):
        hit = self.store.cached(bucket, key)
        if hit is not None:
            fd, (meta, first) = None, hit
        else:
            fd, meta, first = self.store.open_object(bucket, key)
            self.store.remember(bucket, key, meta, first[:meta.size])
        try:
            hdrs = self._object_headers(ctx, meta)
            if self._conditions(req, meta) == 304:
                self.respond(req, ctx, 304, hdrs[:2])
                return
            size = meta.size
            status = 200
            start, end = 0, size - 1
            rng = req.hmap.get('range')
            if rng is not None:
                r = parse_range(rng, size)
                standard = ctx.dialect == 'boto' or req.hmap.get('x-kiv-range-behavior', '').lower() == 'standard'
                if r == 'unsat':
                    if standard:
                        raise StoreError(416, 'InvalidRange', 'The requested range is not satisfiable.',
                                         headers=[('Content-Range', 'bytes */%d' % size)], ActualObjectSize=str(size))
                elif r is not None:
                    start, end = r
                    status = 206
                    hdrs.append(('Content-Range', 'bytes %d-%d/%d' % (start, end, size)))
            length = end - start + 1
            if not with_body:
                self.respond(req, ctx, status, hdrs, fd=-1, length=length)
            elif end < len(first):
                self.respond(req, ctx, status, hdrs, first[start:end + 1])
            else:
                self.respond(req, ctx, status, hdrs, fd=fd, offset=HDR + start, length=length)
        finally:
            if fd is not None:
                os.close(fd)

    def _copy_source(self, req, ctx):
        src = req.hmap.get('x-kiv-copy-source') if ctx.dialect == 'kiv' else req.hmap.get('x-amz-copy-source')
        if src is None:
            return None
        src = src.split('?', 1)[0]
        src = src[1:] if src.startswith('/') else src
        sb, sep, sk = src.partition('/')
        if not sep or not sb or not sk:
            raise StoreError(400, 'InvalidArgument', 'Copy Source must mention the source bucket and key: /bucket/key.')
        sk = _decode_key(sk)
        check_key(sk)
        return unquote(sb), sk

    def op_PutObject(self, req, ctx, bucket, key, q, payload):
        src = self._copy_source(req, ctx)
        if src is not None:
            self._small_body(req, ctx, payload)
            directive = req.hmap.get('x-kiv-metadata-directive', req.hmap.get('x-amz-metadata-directive', 'COPY'))
            replace = directive.upper() == 'REPLACE'
            meta = self.store.copy_object(src[0], src[1], bucket, key,
                                          req.hmap.get('content-type') if replace else None,
                                          self._user_meta(req) if replace else None)
            body = doc('CopyObjectResult', elem('LastModified', iso_date(meta.mtime)) + elem('ETag', self._etag(ctx, meta.etag)),
                       BOTO_NS if ctx.dialect == 'boto' else None)
            self.respond(req, ctx, 200, [('Content-Type', 'application/xml'), ('ETag', self._etag(ctx, meta.etag))], body)
            return
        self.store.bucket(bucket)
        reader = self._body_reader(req, ctx, payload)
        hashes, check = self._checker(req, ctx, payload, reader)
        meta = self.store.put_object(bucket, key, reader, req.hmap.get('content-type') or 'application/octet-stream',
                                     self._user_meta(req), hashes, check)
        self.respond(req, ctx, 200, [('ETag', self._etag(ctx, meta.etag))])

    def op_DeleteObject(self, req, ctx, bucket, key, q, payload):
        self.store.delete_object(bucket, key)
        self.respond(req, ctx, 204)

    def op_AppendObject(self, req, ctx, bucket, key, q, payload):
        pos = q.get('position', '')
        if not pos.isdigit():
            raise StoreError(400, 'InvalidArgument', 'position must be a non-negative integer.', ArgumentName='position')
        self.store.bucket(bucket)
        reader = self._body_reader(req, ctx, payload)
        meta = self.store.append_object(bucket, key, int(pos), reader,
                                        req.hmap.get('content-type') or 'application/octet-stream', self._user_meta(req))
        self.respond(req, ctx, 200, [('ETag', self._etag(ctx, meta.etag)),
                                     ('x-kiv-next-append-position', str(meta.size))])

    def op_InitiateMultipartUpload(self, req, ctx, bucket, key, q, payload):
        self._small_body(req, ctx, payload)
        uid = self.store.initiate(bucket, key, req.hmap.get('content-type') or 'application/octet-stream',
                                  self._user_meta(req))
        body = doc('InitiateMultipartUploadResult', elem('Bucket', bucket) + elem('Key', key) + elem('UploadId', uid),
                   BOTO_NS if ctx.dialect == 'boto' else None)
        self.respond(req, ctx, 200, [('Content-Type', 'application/xml')], body)

    def op_UploadPart(self, req, ctx, bucket, key, q, payload):
        num = q.get('partNumber', '')
        if not num.isdigit() or not 1 <= int(num) <= 10000:
            raise StoreError(400, 'InvalidArgument', 'Part number must be an integer between 1 and 10000, inclusive.',
                             ArgumentName='partNumber')
        if 'uploadId' not in q:
            raise StoreError(400, 'InvalidArgument', 'uploadId is required.', ArgumentName='uploadId')
        if self._copy_source(req, ctx) is not None:
            raise StoreError(501, 'NotImplemented', 'Copying into a part is not implemented.')
        self.store.upload(q['uploadId'], bucket, key)
        reader = self._body_reader(req, ctx, payload)
        hashes, check = self._checker(req, ctx, payload, reader)
        etag = self.store.upload_part(q['uploadId'], bucket, key, int(num), reader, hashes, check)
        self.respond(req, ctx, 200, [('ETag', self._etag(ctx, etag))])

    def op_CompleteMultipartUpload(self, req, ctx, bucket, key, q, payload):
        self.store.upload(q['uploadId'], bucket, key)
        body = self._small_body(req, ctx, payload)
        parts = xmlbody.parse_complete(body)
        meta = self.store.complete(q['uploadId'], bucket, key, parts)
        scheme = 'https' if req.conn.secure else 'http'
        inner = elem('Location', '%s://%s/%s' % (scheme, req.hmap.get('host', ''), quote(key))) + elem('Bucket', bucket) + \
            elem('Key', key) + elem('ETag', self._etag(ctx, meta.etag))
        self.respond(req, ctx, 200, [('Content-Type', 'application/xml'), ('ETag', self._etag(ctx, meta.etag))],
                     doc('CompleteMultipartUploadResult', inner, BOTO_NS if ctx.dialect == 'boto' else None))

    def op_AbortMultipartUpload(self, req, ctx, bucket, key, q, payload):
        self.store.abort(q['uploadId'], bucket, key)
        self.respond(req, ctx, 204)

    def op_ListParts(self, req, ctx, bucket, key, q, payload):
        parts = self.store.list_parts(q['uploadId'], bucket, key)
        inner = elem('Bucket', bucket) + elem('Key', key) + elem('UploadId', q['uploadId']) + \
            '<IsTruncated>false</IsTruncated>' + ''.join(
                '<Part>%s%s%s</Part>' % (elem('PartNumber', n), elem('ETag', self._etag(ctx, e)), elem('Size', s))
                for n, (e, s) in parts)
        self.respond(req, ctx, 200, [('Content-Type', 'application/xml')],
                     doc('ListPartsResult', inner, BOTO_NS if ctx.dialect == 'boto' else None))


_CRC32C_TABLE = []
for _i in range(256):
    _c = _i
    for _ in range(8):
        _c = (_c >> 1) ^ 0x82F63B78 if _c & 1 else _c >> 1
    _CRC32C_TABLE.append(_c)


def _crc32c(data):
    crc = 0xFFFFFFFF
    t = _CRC32C_TABLE
    for b in data:
        crc = t[(crc ^ b) & 0xFF] ^ (crc >> 8)
    return crc ^ 0xFFFFFFFF
