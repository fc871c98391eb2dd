"""Request signature verification for both dialects, and the region rule.

KIV4-HMAC-SHA256: the payload is declared, not hashed; the canonical headers are every
"x-kiv-" header, "content-type" and "content-md5" when present, and the headers named in
AdditionalHeaders. AWS4-HMAC-SHA256: the usual SignedHeaders form.
"""

import calendar
import hashlib
import hmac
import re
import threading
import time
from urllib.parse import quote, unquote

ACCELERATE_SUFFIX = 'kiv-accelerate.zorvex.test'  # 26 characters
KIV_ALGO = 'KIV4-HMAC-SHA256'
AWS_ALGO = 'AWS4-HMAC-SHA256'
UNSIGNED = 'UNSIGNED-PAYLOAD'
_HEX64 = re.compile(r'^[0-9a-f]{64}$')


def derive_region(endpoint_host, accelerate_suffix=ACCELERATE_SUFFIX):
    """The region a client derives from the endpoint host (without port and bucket)."""
    label = endpoint_host.split('.', 1)[0]
    if endpoint_host.endswith(accelerate_suffix):
        if len(label) > 8 and label.endswith('-internal'):
            label = label[:-9]
        return label
    label = label[4:]
    if label.endswith('-internal'):
        label = label[:-9]
    return label


class AuthError(Exception):
    def __init__(self, code, check, message, status=403, extra=None):
        super().__init__(message)
        self.code = code
        self.check = check
        self.message = message
        self.status = status
        self.extra = extra or {}


class AccessKey:
    __slots__ = ('id', 'secret', 'token', 'expiration')

    def __init__(self, id, secret, token='', expiration=None):
        self.id = id
        self.secret = secret
        self.token = token or ''
        self.expiration = expiration  # epoch seconds or None


class KeyRing:
    """The accepted access keys; replaced whole while the server runs (any thread)."""

    def __init__(self, keys=()):
        self._lock = threading.Lock()
        self._keys = {k.id: k for k in keys}
        self._derived = {}

    def replace(self, keys):
        with self._lock:
            self._keys = {k.id: k for k in keys}
            self._derived = {}

    def get(self, key_id):
        return self._keys.get(key_id)

    def all(self):
        return list(self._keys.values())

    def signing_key(self, prefix, secret, date8, region, service, terminator):
        ck = (prefix, secret, date8, region, service)
        k = self._derived.get(ck)
        if k is None:
            k = hmac.new((prefix + secret).encode('utf-8'), date8.encode(), hashlib.sha256).digest()
            for part in (region, service, terminator):
                k = hmac.new(k, part.encode('utf-8'), hashlib.sha256).digest()
            if len(self._derived) > 4096:
                self._derived.clear()
            self._derived[ck] = k
        return k


_TIME_CACHE = {}


def _parse_time(text):
    # Clients reuse one date text for a minute, so parsed texts are kept.
    t = _TIME_CACHE.get(text)
    if t is None:
        try:
            t = calendar.timegm(time.strptime(text, '%Y%m%dT%H%M%SZ'))
        except (ValueError, OverflowError):
            return None
        if len(_TIME_CACHE) > 10000:
            _TIME_CACHE.clear()
        _TIME_CACHE[text] = t
    return t


def _auth_fields(value, algo):
    rest = value[len(algo):]
    if not rest.startswith(' '):
        raise AuthError('AccessDenied', 'authorization', 'malformed Authorization header')
    fields = {}
    for item in rest.split(','):
        name, sep, val = item.strip().partition('=')
        if not sep:
            raise AuthError('AccessDenied', 'authorization', 'malformed Authorization header')
        fields[name] = val
    return fields


def _check_common(ring, key_id, date8, now_text, max_skew, now):
    key = ring.get(key_id)
    if key is None:
        raise AuthError('InvalidAccessKeyId', 'access-key',
                        'The access key id you provided does not exist in our records.')
    if key.expiration is not None and now >= key.expiration:
        raise AuthError('InvalidAccessKeyId', 'expiration', 'The access key has expired.')
    if not now_text:
        raise AuthError('AccessDenied', 'date', 'the date header of the request is missing')
    t = _parse_time(now_text)
    if t is None:
        raise AuthError('AccessDenied', 'date', 'the date header is not in the form YYYYMMDDTHHMMSSZ')
    if abs(now - t) > max_skew:
        raise AuthError('RequestTimeTooSkewed', 'date',
                        'The difference between the request time and the server time is too large.')
    if date8 != now_text[:8]:
        raise AuthError('SignatureDoesNotMatch', 'date',
                        'the date of the credential scope differs from the request date')
    return key


def _mismatch(creq, sts, provided):
    raise AuthError('SignatureDoesNotMatch', 'signature',
                    'The request signature we calculated does not match the signature you provided.',
                    extra={'CanonicalRequest': creq, 'StringToSign': sts, 'SignatureProvided': provided})


def verify_kiv(req, ring, bucket, vhost, region, max_skew, now=None):
    """Verifies a KIV4 request; returns the key. vhost is the Host value without port."""
    now = time.time() if now is None else now
    value = req.hmap.get('authorization', '')
    if not value:
        raise AuthError('AccessDenied', 'authorization', 'the request carries no Authorization header')
    if not value.startswith(KIV_ALGO):
        raise AuthError('AccessDenied', 'algorithm', 'the signature algorithm is not ' + KIV_ALGO)
    f = _auth_fields(value, KIV_ALGO)
    cred = f.get('Credential')
    sig = f.get('Signature')
    if not cred or not sig:
        raise AuthError('AccessDenied', 'authorization', 'Credential and Signature are required')
    scope = cred.split('/')
    if len(scope) < 5:
        raise AuthError('AccessDenied', 'credential', 'malformed credential scope')
    key_id = '/'.join(scope[:-4])
    date8, sregion, service, term = scope[-4:]
    key = _check_common(ring, key_id, date8, req.hmap.get('x-kiv-date', ''), max_skew, now)
    if sregion != region:
        raise AuthError('SignatureDoesNotMatch', 'region',
                        'the region of the credential scope is %r, this endpoint serves %r' % (sregion, region))
    if service != 'kiv' or term != 'zorvex_v4_request':
        raise AuthError('SignatureDoesNotMatch', 'scope', 'the credential scope must end in /kiv/zorvex_v4_request')
    token = req.hmap.get('x-kiv-security-token')
    if key.token:
        if token != key.token:
            raise AuthError('InvalidSecurityToken', 'security-token', 'The security token included in the request is invalid.')
    elif token is not None:
        raise AuthError('InvalidSecurityToken', 'security-token', 'this access key takes no security token')
    payload = req.hmap.get('x-kiv-content-sha256')
    if payload is None:
        raise AuthError('AccessDenied', 'content-sha256', 'the x-kiv-content-sha256 header is missing')
    if payload != UNSIGNED and not _HEX64.match(payload):
        raise AuthError('AccessDenied', 'content-sha256', 'x-kiv-content-sha256 is neither UNSIGNED-PAYLOAD nor a digest')
    additional = [h for h in f.get('AdditionalHeaders', '').split(';') if h]
    names = set()
    for name, _ in req.headers:
        low = name.lower()
        if low.startswith('x-kiv-') or low in ('content-type', 'content-md5'):
            names.add(low)
    for h in additional:
        low = h.lower()
        if low != h or low not in req.hmap:
            raise AuthError('AccessDenied', 'additional-headers', 'the additional header %r is not in the request' % h)
        names.add(low)
    lines = []
    for low in sorted(names):
        lines.append('%s:%s\n' % (low, vhost if low == 'host' else req.hmap[low]))
    pairs = []
    for item in req.query.split('&'):
        if item:
            k, _, v = item.partition('=')
            pairs.append((k, v))
    pairs.sort(key=lambda p: p[0])
    cquery = '&'.join(k + '=' + v if v else k for k, v in pairs)
    uri = '/' + bucket + req.path if bucket else req.path
    creq = '%s\n%s\n%s\n%s\n%s\n%s' % (req.method, uri, cquery, ''.join(lines), ';'.join(additional), UNSIGNED)
    sts = '%s\n%s\n%s/%s/kiv/zorvex_v4_request\n%s' % (
        KIV_ALGO, req.hmap['x-kiv-date'], date8, region, hashlib.sha256(creq.encode('latin-1', 'replace')).hexdigest())
    skey = ring.signing_key('zorvex_v4', key.secret, date8, region, 'kiv', 'zorvex_v4_request')
    want = hmac.new(skey, sts.encode('latin-1', 'replace'), hashlib.sha256).hexdigest()
    if not hmac.compare_digest(want, sig):
        _mismatch(creq, sts, sig)
    return key, payload


def _boto_quote(text):
    return quote(text, safe='-_.~')


def verify_boto(req, ring, region, max_skew, now=None):
    """Verifies an AWS4 (header) signature; returns (key, declared payload hash)."""
    now = time.time() if now is None else now
    value = req.hmap.get('authorization', '')
    if not value:
        raise AuthError('AccessDenied', 'authorization', 'the request carries no Authorization header')
    if not value.startswith(AWS_ALGO):
        raise AuthError('AccessDenied', 'algorithm', 'the signature algorithm is not ' + AWS_ALGO)
    f = _auth_fields(value, AWS_ALGO)
    cred = f.get('Credential')
    sig = f.get('Signature')
    signed = f.get('SignedHeaders')
    if not cred or not sig or not signed:
        raise AuthError('AccessDenied', 'authorization', 'Credential, SignedHeaders and Signature are required')
    scope = cred.split('/')
    if len(scope) < 5:
        raise AuthError('AccessDenied', 'credential', 'malformed credential scope')
    key_id = '/'.join(scope[:-4])
    date8, sregion, service, term = scope[-4:]
    amz_date = req.hmap.get('x-amz-date', '')
    key = _check_common(ring, key_id, date8, amz_date, max_skew, now)
    if sregion != region:
        raise AuthError('AuthorizationHeaderMalformed', 'region',
                        'the region %r is wrong; expecting %r' % (sregion, region))
    if service != 's3' or term != 'aws4_request':
        raise AuthError('AuthorizationHeaderMalformed', 'scope', 'the credential scope must end in /s3/aws4_request')
    token = req.hmap.get('x-amz-security-token')
    if key.token:
        if token != key.token:
            raise AuthError('InvalidToken', 'security-token', 'The provided token is malformed or otherwise invalid.')
    elif token is not None:
        raise AuthError('InvalidToken', 'security-token', 'this access key takes no security token')
    payload = req.hmap.get('x-amz-content-sha256')
    if payload is None:
        raise AuthError('InvalidRequest', 'content-sha256', 'Missing required header for this request: x-amz-content-sha256', status=400)
    names = signed.split(';')
    if 'host' not in names:
        raise AuthError('AccessDenied', 'additional-headers', 'the host header must be signed')
    lines = []
    for n in names:
        if n not in req.hmap:
            raise AuthError('AccessDenied', 'additional-headers', 'the signed header %r is not in the request' % n)
        lines.append('%s:%s\n' % (n, ' '.join(req.hmap[n].split())))
    pairs = []
    for item in req.query.split('&'):
        if item:
            k, _, v = item.partition('=')
            pairs.append((_boto_quote(unquote(k)), _boto_quote(unquote(v))))
    pairs.sort()
    cquery = '&'.join(k + '=' + v for k, v in pairs)
    creq = '%s\n%s\n%s\n%s\n%s\n%s' % (req.method, req.path, cquery, ''.join(lines), signed, payload)
    sts = '%s\n%s\n%s\n%s' % (AWS_ALGO, amz_date, '/'.join(scope[-4:]),
                              hashlib.sha256(creq.encode('latin-1', 'replace')).hexdigest())
    skey = ring.signing_key('AWS4', key.secret, date8, region, 's3', 'aws4_request')
    want = hmac.new(skey, sts.encode('latin-1', 'replace'), hashlib.sha256).hexdigest()
    if not hmac.compare_digest(want, sig):
        _mismatch(creq, sts, sig)
    return key, payload
