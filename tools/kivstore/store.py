"""Buckets, objects and multipart uploads in a data directory.

Layout (every file name is derived from a hash or a generated hex id, never from a key):
  buckets.json                 bucket names and creation times
  objects/<h[:2]>/<h[2:]>      one file per object, h = sha256(bucket NUL key)
  uploads/<upload id>/         upload.json and one <n>.part file per part
  tmp/                         bodies being received; emptied at start

An object or part file is a 4096-byte header (magic, then JSON with bucket, key,
size, ETag and times, padded) followed by the bytes. A body is written aside and renamed
into place, so a killed server shows either the old object or the new one, never half.
Appends write past the end first and then rewrite the header, so an interrupted append
leaves the old size in force.
"""

import base64
import calendar
import hashlib
import json
import logging
import os
import queue
import re
import secrets
import shutil
import threading
import time

from .sortedkeys import SortedKeys

log = logging.getLogger('kivstore')

HDR = 4096
MAGIC = b'KIVOBJ1 '
MAX_KEY = 1024
_BUCKET_RE = re.compile(r'^[a-z0-9][a-z0-9-]{1,61}[a-z0-9]$')
_UPLOAD_RE = re.compile(r'^[0-9a-f]{32}$')
_SMALL = 1 << 16
_PIPE_CHUNK = 4 << 20


class StoreError(Exception):
    def __init__(self, status, code, message, headers=None, **extra):
        super().__init__(message)
        self.status = status
        self.code = code
        self.message = message
        self.headers = headers or []
        self.extra = extra


def no_such_key(key):
    return StoreError(404, 'NoSuchKey', 'The specified key does not exist.', Key=key)


class Meta:
    __slots__ = ('size', 'etag', 'mtime', 'otype', 'ctype', 'umeta')

    def __init__(self, size, etag, mtime, otype='Normal', ctype='application/octet-stream', umeta=None):
        self.size = size
        self.etag = etag
        self.mtime = mtime
        self.otype = otype
        self.ctype = ctype
        self.umeta = umeta or {}


class Bucket:
    __slots__ = ('name', 'created', 'keys', 'meta', 'synthetic')

    def __init__(self, name, created):
        self.name = name
        self.created = created
        self.keys = SortedKeys()
        self.meta = {}
        self.synthetic = 0


class Upload:
    __slots__ = ('id', 'bucket', 'key', 'initiated', 'ctype', 'umeta', 'parts', 'lock', 'dir')

    def __init__(self, uid, bucket, key, initiated, ctype, umeta, d):
        self.id = uid
        self.bucket = bucket
        self.key = key
        self.initiated = initiated
        self.ctype = ctype
        self.umeta = umeta
        self.parts = {}  # number -> (etag, size)
        self.lock = threading.Lock()
        self.dir = d


def check_bucket_name(name):
    return bool(_BUCKET_RE.match(name)) and '--' not in name[:4] and not name.startswith('xn--')


def check_key(key):
    """Raises for keys the service refuses: empty, over 1024 bytes, NUL or not UTF-8."""
    if not key:
        raise StoreError(400, 'InvalidObjectName', 'The object name must not be empty.')
    if '\x00' in key:
        raise StoreError(400, 'InvalidObjectName', 'The object name must not contain NUL.')
    try:
        raw = key.encode('utf-8')
    except UnicodeEncodeError:
        raise StoreError(400, 'InvalidObjectName', 'The object name is not valid UTF-8.') from None
    if len(raw) > MAX_KEY:
        raise StoreError(400, 'KeyTooLong', 'The object name is longer than %d bytes.' % MAX_KEY)


def _hdr_bytes(doc):
    text = MAGIC + json.dumps(doc, separators=(',', ':')).encode('ascii') + b'\n'
    if len(text) > HDR:
        raise StoreError(400, 'MetadataTooLarge', 'The object metadata is too large.')
    return text + b' ' * (HDR - len(text))


def _parse_hdr(raw):
    if len(raw) < HDR or not raw.startswith(MAGIC):
        return None
    end = raw.find(b'\n', len(MAGIC), HDR)
    if end < 0:
        return None
    try:
        return json.loads(raw[len(MAGIC):end])
    except ValueError:
        return None


def _meta_doc(bucket, key, m):
    return {'b': bucket, 'k': base64.b64encode(key.encode('utf-8')).decode('ascii'), 's': m.size,
            'e': m.etag, 'm': m.mtime, 't': m.otype, 'c': m.ctype, 'u': m.umeta}


def _doc_meta(doc):
    return Meta(int(doc['s']), str(doc['e']), float(doc['m']), str(doc.get('t', 'Normal')),
                str(doc.get('c', 'application/octet-stream')), dict(doc.get('u') or {}))


def _doc_key(doc):
    return base64.b64decode(doc['k']).decode('utf-8')


def _pwrite_all(fd, data, offset):
    mv = memoryview(data)
    while mv:
        n = os.pwrite(fd, mv, offset)
        mv = mv[n:]
        offset += n


class Hashes:
    """Digests computed while a body streams to disk."""

    def __init__(self, sha256=False, crc32=False):
        self.md5 = hashlib.md5()
        self.sha256 = hashlib.sha256() if sha256 else None
        self.crc32 = 0 if crc32 else None

    def update(self, mv):
        self.md5.update(mv)
        if self.sha256 is not None:
            self.sha256.update(mv)
        if self.crc32 is not None:
            import zlib
            self.crc32 = zlib.crc32(mv, self.crc32)


def receive_body(reader, fd, offset, hashes):
    """Copies a body from reader (readinto) to fd at offset; returns the byte count.

    For large bodies the digests run on a helper thread over buffers already written, so
    hashing overlaps receiving and writing instead of adding to them.
    """
    first = bytearray(_SMALL)
    mv = memoryview(first)
    got = 0
    while got < len(first):
        n = reader.readinto(mv[got:])
        if n == 0:
            hashes.update(mv[:got])
            _pwrite_all(fd, mv[:got], offset)
            return got
        got += n
    hashes.update(mv)
    _pwrite_all(fd, mv, offset)
    offset += got
    total = got
    bufs = [bytearray(_PIPE_CHUNK) for _ in range(4)]
    free = queue.Queue()
    full = queue.Queue()
    for i in range(len(bufs)):
        free.put(i)

    def digest():
        while True:
            item = full.get()
            if item is None:
                return
            i, n = item
            hashes.update(memoryview(bufs[i])[:n])
            free.put(i)

    t = threading.Thread(target=digest, daemon=True)
    t.start()
    try:
        done = False
        while not done:
            i = free.get()
            view = memoryview(bufs[i])
            n = 0
            while n < len(view):
                r = reader.readinto(view[n:])
                if r == 0:
                    done = True
                    break
                n += r
            _pwrite_all(fd, view[:n], offset)
            offset += n
            total += n
            full.put((i, n))
    finally:
        full.put(None)
        t.join()
    return total


def copy_range(src, src_off, dst, dst_off, count):
    while count > 0:
        try:
            n = os.copy_file_range(src, dst, count, src_off, dst_off)
        except OSError:
            n = -1
        if n <= 0:
            data = os.pread(src, min(count, 8 << 20), src_off)
            if not data:
                raise StoreError(500, 'InternalError', 'stored data is shorter than its size')
            _pwrite_all(dst, data, dst_off)
            n = len(data)
        src_off += n
        dst_off += n
        count -= n


_HTTP_DATES = {}


def http_date(t):
    s = int(t)
    v = _HTTP_DATES.get(s)
    if v is None:
        if len(_HTTP_DATES) > 100000:
            _HTTP_DATES.clear()
        v = _HTTP_DATES[s] = time.strftime('%a, %d %b %Y %H:%M:%S GMT', time.gmtime(s))
    return v


def iso_date(t):
    return time.strftime('%Y-%m-%dT%H:%M:%S.000Z', time.gmtime(t))


def _succ(prefix):
    """The least text above every text that begins with prefix."""
    return prefix[:-1] + chr(ord(prefix[-1]) + 1)


def encode_token(kind, key):
    return base64.urlsafe_b64encode((kind + key).encode('utf-8')).decode('ascii')


def decode_token(token):
    try:
        text = base64.urlsafe_b64decode(token.encode('ascii')).decode('utf-8')
    except (ValueError, UnicodeError):
        return None
    if not text or text[0] not in 'xi':
        return None
    return text[0], text[1:]


class Store:
    """Shared by every connection thread; the index is guarded by one lock, writes of the
    same key by one of a set of striped locks."""

    def __init__(self, data_dir, fsync=False):
        self.dir = os.path.abspath(data_dir)
        self.fsync = fsync
        self.lock = threading.Lock()
        self._key_locks = [threading.Lock() for _ in range(256)]
        self.buckets = {}
        self.uploads = {}
        self._cache = {}  # (bucket, key) -> (Meta, bytes) of small objects; valid while Meta is current
        self._cache_bytes = 0
        for sub in ('objects', 'uploads', 'tmp'):
            os.makedirs(os.path.join(self.dir, sub), exist_ok=True)
        for i in range(256):
            os.makedirs(os.path.join(self.dir, 'objects', '%02x' % i), exist_ok=True)
        self._load()

    # -- paths ---------------------------------------------------------------
    @staticmethod
    def _hash(bucket, key):
        return hashlib.sha256(bucket.encode('utf-8') + b'\0' + key.encode('utf-8')).hexdigest()

    def _obj_path(self, bucket, key):
        h = self._hash(bucket, key)
        return os.path.join(self.dir, 'objects', h[:2], h[2:])

    def _key_lock(self, bucket, key):
        return self._key_locks[hash((bucket, key)) & 255]

    def _tmp(self):
        path = os.path.join(self.dir, 'tmp', secrets.token_hex(12))
        fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_EXCL, 0o600)
        return path, fd

    def _finish(self, fd):
        if self.fsync:
            os.fsync(fd)
        os.close(fd)

    # -- start-up ------------------------------------------------------------
    def _load(self):
        shutil.rmtree(os.path.join(self.dir, 'tmp'), ignore_errors=True)
        os.makedirs(os.path.join(self.dir, 'tmp'), exist_ok=True)
        try:
            with open(os.path.join(self.dir, 'buckets.json'), 'rb') as f:
                for name, created in json.load(f).items():
                    self.buckets[name] = Bucket(name, float(created))
        except FileNotFoundError:
            pass
        objects = os.path.join(self.dir, 'objects')
        for sub in sorted(os.listdir(objects)):
            d = os.path.join(objects, sub)
            if not os.path.isdir(d):
                continue
            for name in os.listdir(d):
                path = os.path.join(d, name)
                try:
                    with open(path, 'rb') as f:
                        doc = _parse_hdr(f.read(HDR))
                        length = os.fstat(f.fileno()).st_size
                    if doc is None:
                        raise ValueError('bad header')
                    key = _doc_key(doc)
                    meta = _doc_meta(doc)
                    bucket = self.buckets.get(doc['b'])
                    if bucket is None or self._obj_path(doc['b'], key) != path or length < HDR + meta.size:
                        raise ValueError('does not belong here')
                except (OSError, ValueError, KeyError, TypeError) as e:
                    log.warning('ignoring stored file %s: %s', path, e)
                    continue
                bucket.keys.add(key)
                bucket.meta[key] = meta
        uploads = os.path.join(self.dir, 'uploads')
        for uid in os.listdir(uploads):
            d = os.path.join(uploads, uid)
            if not _UPLOAD_RE.match(uid):
                shutil.rmtree(d, ignore_errors=True)
                continue
            try:
                with open(os.path.join(d, 'upload.json'), 'rb') as f:
                    doc = json.load(f)
                up = Upload(uid, doc['b'], _doc_key(doc), float(doc['i']), doc.get('c', ''), doc.get('u') or {}, d)
                for name in os.listdir(d):
                    if name.endswith('.part'):
                        with open(os.path.join(d, name), 'rb') as f:
                            pdoc = _parse_hdr(f.read(HDR))
                        if pdoc is not None:
                            up.parts[int(name[:-5])] = (pdoc['e'], int(pdoc['s']))
                    elif name != 'upload.json':
                        os.unlink(os.path.join(d, name))
            except (OSError, ValueError, KeyError, TypeError) as e:
                log.warning('ignoring upload %s: %s', d, e)
                continue
            self.uploads[uid] = up

    # -- buckets -------------------------------------------------------------
    def _save_buckets(self):
        path = os.path.join(self.dir, 'buckets.json.tmp')
        with open(path, 'w') as f:
            json.dump({b.name: b.created for b in self.buckets.values()}, f)
        os.rename(path, os.path.join(self.dir, 'buckets.json'))

    def create_bucket(self, name, exist_ok=False):
        if not check_bucket_name(name):
            raise StoreError(400, 'InvalidBucketName', 'The specified bucket is not valid.', BucketName=name)
        with self.lock:
            if name in self.buckets:
                if exist_ok:
                    return self.buckets[name]
                raise StoreError(409, 'BucketAlreadyExists', 'The requested bucket name is not available.', BucketName=name)
            b = self.buckets[name] = Bucket(name, time.time())
            self._save_buckets()
            return b

    def delete_bucket(self, name):
        with self.lock:
            b = self.bucket(name)
            if len(b.keys) or any(u.bucket == name for u in self.uploads.values()):
                raise StoreError(409, 'BucketNotEmpty', 'The bucket you tried to delete is not empty.', BucketName=name)
            del self.buckets[name]
            self._save_buckets()

    def bucket(self, name):
        b = self.buckets.get(name)
        if b is None:
            raise StoreError(404, 'NoSuchBucket', 'The specified bucket does not exist.', BucketName=name)
        return b

    def add_synthetic_keys(self, name, count, prefix='synthetic/'):
        """Index-only keys for listing benchmarks: listed, but neither stored nor readable."""
        b = self.bucket(name)
        now = time.time()
        meta = Meta(0, 'd41d8cd98f00b204e9800998ecf8427e', now)
        with self.lock:
            for i in range(count):
                k = '%s%09d' % (prefix, i)
                if b.keys.add(k):
                    b.meta[k] = meta
            b.synthetic += count

    # -- objects -------------------------------------------------------------
    def open_object(self, bucket, key):
        """(fd, meta, first bytes) of a stored object; the caller closes fd."""
        self.bucket(bucket)
        try:
            fd = os.open(self._obj_path(bucket, key), os.O_RDONLY)
        except FileNotFoundError:
            raise no_such_key(key) from None
        try:
            raw = os.pread(fd, HDR + _SMALL, 0)
            doc = _parse_hdr(raw)
            if doc is None or doc['b'] != bucket or _doc_key(doc) != key:
                raise StoreError(500, 'InternalError', 'the stored object is damaged')
            return fd, _doc_meta(doc), raw[HDR:]
        except BaseException:
            os.close(fd)
            raise

    def cached(self, bucket, key):
        """(meta, bytes) of a small object read before and unchanged since, or None."""
        b = self.bucket(bucket)
        with self.lock:
            ent = self._cache.get((bucket, key))
            if ent is not None and b.meta.get(key) is ent[0]:
                return ent
        return None

    def remember(self, bucket, key, meta, data):
        if meta.size > _SMALL or len(data) != meta.size:
            return
        with self.lock:
            b = self.buckets.get(bucket)
            if b is None or b.meta.get(key) is None or b.meta[key].etag != meta.etag or b.meta[key].size != meta.size:
                return
            if self._cache_bytes > (256 << 20):
                self._cache.clear()
                self._cache_bytes = 0
            self._cache[(bucket, key)] = (b.meta[key], bytes(data))
            self._cache_bytes += len(data) + 200

    def head(self, bucket, key):
        b = self.bucket(bucket)
        with self.lock:
            m = b.meta.get(key)
        if m is None:
            raise no_such_key(key)
        return m

    def _install(self, bucket, key, tmp_path, meta):
        with self.lock:
            b = self.bucket(bucket)
            os.rename(tmp_path, self._obj_path(bucket, key))
            b.keys.add(key)
            b.meta[key] = meta

    def put_object(self, bucket, key, reader, ctype, umeta, hashes=None, check=None):
        """Stores the body of reader as the object; check(hashes, size) may refuse it."""
        self.bucket(bucket)
        hashes = hashes or Hashes()
        path, fd = self._tmp()
        try:
            os.pwrite(fd, b'\0' * HDR, 0)
            size = receive_body(reader, fd, HDR, hashes)
            if check is not None:
                check(hashes, size)
            meta = Meta(size, hashes.md5.hexdigest(), time.time(), 'Normal', ctype, umeta)
            _pwrite_all(fd, _hdr_bytes(_meta_doc(bucket, key, meta)), 0)
            self._finish(fd)
            fd = -1
            with self._key_lock(bucket, key):
                self._install(bucket, key, path, meta)
            path = None
            return meta
        finally:
            if fd >= 0:
                os.close(fd)
            if path is not None:
                try:
                    os.unlink(path)
                except FileNotFoundError:
                    pass

    def copy_object(self, src_bucket, src_key, bucket, key, ctype=None, umeta=None):
        self.bucket(bucket)
        sfd, smeta, _ = self.open_object(src_bucket, src_key)
        path = None
        try:
            path, fd = self._tmp()
            try:
                copy_range(sfd, HDR, fd, HDR, smeta.size)
                etag = smeta.etag if smeta.otype != 'Appendable' else hashlib.md5(smeta.etag.encode()).hexdigest()
                meta = Meta(smeta.size, etag, time.time(), 'Normal' if smeta.otype == 'Appendable' else smeta.otype,
                            ctype or smeta.ctype, smeta.umeta if umeta is None else umeta)
                _pwrite_all(fd, _hdr_bytes(_meta_doc(bucket, key, meta)), 0)
                self._finish(fd)
                fd = -1
            finally:
                if fd >= 0:
                    os.close(fd)
            with self._key_lock(bucket, key):
                self._install(bucket, key, path, meta)
            path = None
            return meta
        finally:
            os.close(sfd)
            if path is not None:
                try:
                    os.unlink(path)
                except FileNotFoundError:
                    pass

    def append_object(self, bucket, key, position, reader, ctype, umeta):
        b = self.bucket(bucket)
        with self._key_lock(bucket, key):
            with self.lock:
                cur = b.meta.get(key)
            if cur is not None and cur.otype != 'Appendable':
                raise StoreError(409, 'ObjectNotAppendable', 'The object is not appendable.', Key=key)
            size = cur.size if cur is not None else 0
            if position != size:
                raise StoreError(409, 'PositionNotEqualToLength',
                                 'Position is not equal to file length.', Key=key,
                                 headers=[('x-kiv-next-append-position', str(size))])
            hashes = Hashes()
            if cur is None:
                path, fd = self._tmp()
                try:
                    os.pwrite(fd, b'\0' * HDR, 0)
                    n = receive_body(reader, fd, HDR, hashes)
                    meta = Meta(n, hashes.md5.hexdigest(), time.time(), 'Appendable', ctype, umeta)
                    _pwrite_all(fd, _hdr_bytes(_meta_doc(bucket, key, meta)), 0)
                    self._finish(fd)
                    fd = -1
                    self._install(bucket, key, path, meta)
                    path = None
                finally:
                    if fd >= 0:
                        os.close(fd)
                    if path is not None:
                        os.unlink(path)
                return meta
            fd = os.open(self._obj_path(bucket, key), os.O_RDWR)
            try:
                n = receive_body(reader, fd, HDR + size, hashes)
                etag = hashlib.md5(bytes.fromhex(cur.etag) + hashes.md5.digest()).hexdigest()
                meta = Meta(size + n, etag, time.time(), 'Appendable', cur.ctype, cur.umeta)
                if self.fsync:
                    os.fsync(fd)
                _pwrite_all(fd, _hdr_bytes(_meta_doc(bucket, key, meta)), 0)
                self._finish(fd)
                fd = -1
            finally:
                if fd >= 0:
                    os.close(fd)
            with self.lock:
                b.meta[key] = meta
            return meta

    def delete_object(self, bucket, key):
        """True when an object was removed; deleting a missing object is not an error."""
        b = self.bucket(bucket)
        with self._key_lock(bucket, key):
            with self.lock:
                try:
                    os.unlink(self._obj_path(bucket, key))
                    removed = True
                except FileNotFoundError:
                    removed = False
                b.keys.discard(key)
                b.meta.pop(key, None)
        return removed

    # -- listing -------------------------------------------------------------
    def list_page(self, bucket, prefix, delimiter, max_keys, start_after=None, token=None):
        """One listing page: ([(key, meta)], [common prefix], next token or None).

        token is a decoded continuation token (kind, key): 'x' resumes after key, 'i' at key.
        """
        b = self.bucket(bucket)
        if token is not None:
            start, incl = token[1], token[0] == 'i'
        elif start_after:
            start, incl = start_after, False
        else:
            start, incl = prefix, True
        if start < prefix:
            start, incl = prefix, True
        contents = []
        prefixes = []
        last = None
        with self.lock:
            keys = b.keys
            it = keys.iter_from(start, incl)
            while True:
                k = next(it, None)
                if k is None or not k.startswith(prefix):
                    break
                if len(contents) + len(prefixes) >= max_keys:
                    return contents, prefixes, last or ('i', k)
                if delimiter:
                    i = k.find(delimiter, len(prefix))
                    if i >= 0:
                        cp = k[:i + len(delimiter)]
                        prefixes.append(cp)
                        resume = _succ(cp)
                        last = ('i', resume)
                        it = keys.iter_from(resume, True)
                        continue
                contents.append((k, b.meta[k]))
                last = ('x', k)
        return contents, prefixes, None

    # -- multipart -----------------------------------------------------------
    def initiate(self, bucket, key, ctype, umeta):
        self.bucket(bucket)
        uid = secrets.token_hex(16)
        tmp = os.path.join(self.dir, 'uploads', '.tmp-' + uid)
        os.mkdir(tmp)
        now = time.time()
        doc = {'b': bucket, 'k': base64.b64encode(key.encode('utf-8')).decode('ascii'), 'i': now, 'c': ctype, 'u': umeta}
        with open(os.path.join(tmp, 'upload.json'), 'w') as f:
            json.dump(doc, f)
        final = os.path.join(self.dir, 'uploads', uid)
        os.rename(tmp, final)
        with self.lock:
            self.uploads[uid] = Upload(uid, bucket, key, now, ctype, umeta, final)
        return uid

    def upload(self, uid, bucket, key):
        self.bucket(bucket)
        up = self.uploads.get(uid) if _UPLOAD_RE.match(uid or '') else None
        if up is None or up.bucket != bucket or up.key != key:
            raise StoreError(404, 'NoSuchUpload', 'The specified upload does not exist.', UploadId=uid)
        return up

    def upload_part(self, uid, bucket, key, number, reader, hashes=None, check=None):
        up = self.upload(uid, bucket, key)
        hashes = hashes or Hashes()
        path = os.path.join(up.dir, secrets.token_hex(8) + '.tmp')
        fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_EXCL, 0o600)
        try:
            os.pwrite(fd, b'\0' * HDR, 0)
            size = receive_body(reader, fd, HDR, hashes)
            if check is not None:
                check(hashes, size)
            etag = hashes.md5.hexdigest()
            _pwrite_all(fd, _hdr_bytes({'e': etag, 's': size, 'm': time.time()}), 0)
            self._finish(fd)
            fd = -1
            with up.lock:
                if self.uploads.get(uid) is not up:
                    raise StoreError(404, 'NoSuchUpload', 'The specified upload does not exist.', UploadId=uid)
                os.rename(path, os.path.join(up.dir, '%d.part' % number))
                path = None
                up.parts[number] = (etag, size)
            return etag
        finally:
            if fd >= 0:
                os.close(fd)
            if path is not None:
                try:
                    os.unlink(path)
                except FileNotFoundError:
                    pass

    def complete(self, uid, bucket, key, listed):
        up = self.upload(uid, bucket, key)
        with up.lock:
            if self.uploads.get(uid) is not up:
                raise StoreError(404, 'NoSuchUpload', 'The specified upload does not exist.', UploadId=uid)
            prev = 0
            chosen = []
            for number, etag in listed:
                if number <= prev:
                    raise StoreError(400, 'InvalidPartOrder', 'The list of parts was not in ascending order.')
                prev = number
                have = up.parts.get(number)
                if have is None or etag.strip('"').lower() != have[0]:
                    raise StoreError(400, 'InvalidPart', 'One or more of the specified parts could not be found or '
                                     'its entity tag did not match.', PartNumber=str(number))
                chosen.append((number, have))
            path, fd = self._tmp()
            try:
                os.pwrite(fd, b'\0' * HDR, 0)
                off = HDR
                digests = b''
                for number, (etag, size) in chosen:
                    pfd = os.open(os.path.join(up.dir, '%d.part' % number), os.O_RDONLY)
                    try:
                        copy_range(pfd, HDR, fd, off, size)
                    finally:
                        os.close(pfd)
                    off += size
                    digests += bytes.fromhex(etag)
                etag = '%s-%d' % (hashlib.md5(digests).hexdigest(), len(chosen))
                meta = Meta(off - HDR, etag, time.time(), 'Multipart', up.ctype or 'application/octet-stream', up.umeta)
                _pwrite_all(fd, _hdr_bytes(_meta_doc(bucket, key, meta)), 0)
                self._finish(fd)
                fd = -1
                with self._key_lock(bucket, key):
                    self._install(bucket, key, path, meta)
                path = None
            finally:
                if fd >= 0:
                    os.close(fd)
                if path is not None:
                    os.unlink(path)
            with self.lock:
                self.uploads.pop(uid, None)
            shutil.rmtree(up.dir, ignore_errors=True)
            return meta

    def abort(self, uid, bucket, key):
        up = self.upload(uid, bucket, key)
        with up.lock:
            with self.lock:
                if self.uploads.pop(uid, None) is None:
                    raise StoreError(404, 'NoSuchUpload', 'The specified upload does not exist.', UploadId=uid)
            shutil.rmtree(up.dir, ignore_errors=True)

    def list_parts(self, uid, bucket, key):
        up = self.upload(uid, bucket, key)
        with up.lock:
            return sorted(up.parts.items())

    def list_uploads(self, bucket):
        self.bucket(bucket)
        with self.lock:
            return sorted((u.key, u.id, u.initiated) for u in self.uploads.values() if u.bucket == bucket)
