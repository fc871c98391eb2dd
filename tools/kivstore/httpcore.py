"""HTTP/1.1 server core: one thread per connection, keep-alive, bodies by length or chunks.

Limits: the request head (request line and headers) is at most 64 KiB; a chunk-size
line at most 4 KiB. Sockets stay in blocking mode with kernel send/receive time-outs,
so large answers can go out with sendfile straight from the page cache.
"""

import logging
import os
import socket
import ssl
import struct
import threading
import time

log = logging.getLogger('kivstore')

MAX_HEAD = 64 * 1024
MAX_CHUNK_LINE = 4096
_TOKEN = b"!#$%&'*+-.^_`|~0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"


def _is_token(b):
    return bool(b) and not b.translate(None, _TOKEN)

REASONS = {
    100: 'Continue', 200: 'OK', 204: 'No Content', 206: 'Partial Content',
    301: 'Moved Permanently', 302: 'Found', 303: 'See Other', 304: 'Not Modified',
    307: 'Temporary Redirect', 308: 'Permanent Redirect', 400: 'Bad Request',
    403: 'Forbidden', 404: 'Not Found', 405: 'Method Not Allowed', 409: 'Conflict',
    411: 'Length Required', 412: 'Precondition Failed', 413: 'Payload Too Large',
    416: 'Range Not Satisfiable', 431: 'Request Header Fields Too Large',
    500: 'Internal Server Error', 501: 'Not Implemented', 503: 'Service Unavailable',
}


class BadRequest(Exception):
    """A request that cannot be read; the connection is answered with 400 and closed."""


class ClientGone(Exception):
    """The peer closed or reset the connection, or stopped sending in time."""


class Request:
    __slots__ = ('method', 'target', 'path', 'query', 'version', 'headers', 'hmap', 'body',
                 'conn', 'started', 'keep_alive')

    def header(self, name, default=''):
        return self.hmap.get(name, default)


class BodyReader:
    """Reads a request body from the connection's buffer, then from the socket."""

    def __init__(self, conn, length=None, chunked=False):
        self._conn = conn
        self._left = length if not chunked else 0
        self._chunked = chunked
        self._done = (not chunked) and length == 0
        self._need_crlf = False
        self.trailers = {}
        self.received = 0

    @property
    def done(self):
        return self._done

    def _next_chunk(self):
        if self._need_crlf:
            if self._conn.read_line(MAX_CHUNK_LINE) != b'':
                raise BadRequest('chunk data longer than its size')
            self._need_crlf = False
        line = self._conn.read_line(MAX_CHUNK_LINE)
        size_text = line.split(b';', 1)[0].strip()
        if not size_text or len(size_text) > 15 or any(c not in b'0123456789abcdefABCDEF' for c in size_text):
            raise BadRequest('bad chunk size line')
        size = int(size_text, 16)
        if size == 0:
            while True:  # trailers up to the empty line
                t = self._conn.read_line(MAX_CHUNK_LINE)
                if t == b'':
                    break
                name, sep, value = t.partition(b':')
                if sep:
                    self.trailers[name.strip().lower().decode('latin-1')] = value.strip().decode('latin-1')
            self._done = True
            return
        self._left = size
        self._need_crlf = True

    def readinto(self, mv):
        """Reads up to len(mv) bytes; 0 only at the end of the body."""
        while self._left == 0:
            if self._done:
                return 0
            if not self._chunked:
                self._done = True
                return 0
            self._next_chunk()
        want = min(len(mv), self._left)
        n = self._conn.recv_into(mv[:want])
        self._left -= n
        self.received += n
        if self._left == 0 and not self._chunked:
            self._done = True
        return n

    def read(self, n):
        buf = bytearray(n)
        mv = memoryview(buf)
        got = 0
        while got < n:
            r = self.readinto(mv[got:])
            if r == 0:
                break
            got += r
        del mv
        del buf[got:]
        return bytes(buf)

    def read_all(self, limit):
        """The whole body, refusing more than limit bytes."""
        parts = []
        total = 0
        while True:
            chunk = self.read(min(1 << 20, limit + 1 - total))
            if not chunk:
                return b''.join(parts)
            total += len(chunk)
            if total > limit:
                raise BadRequest('body larger than %d bytes' % limit)
            parts.append(chunk)

    def drain(self, limit=1 << 30):
        """Consumes what is left; False when more than limit bytes remained."""
        buf = memoryview(bytearray(1 << 16))
        total = 0
        while True:
            n = self.readinto(buf)
            if n == 0:
                return True
            total += n
            if total > limit:
                return False


class Connection:
    """One accepted connection; only its own thread touches it."""

    def __init__(self, server, sock, addr, secure):
        self.server = server
        self.sock = sock
        self.addr = addr
        self.secure = secure
        self._buf = bytearray()
        self._pos = 0
        self.closed = False

    # -- reading -------------------------------------------------------------
    def _recv_more(self):
        try:
            data = self.sock.recv(1 << 16)
        except (socket.timeout, BlockingIOError, ssl.SSLWantReadError):
            raise ClientGone('receive timed out') from None
        except (OSError, ssl.SSLError) as e:
            raise ClientGone(str(e)) from None
        if not data:
            raise ClientGone('peer closed')
        if self._pos:
            del self._buf[:self._pos]
            self._pos = 0
        self._buf += data

    def recv_into(self, mv):
        avail = len(self._buf) - self._pos
        if avail:
            n = min(avail, len(mv))
            mv[:n] = self._buf[self._pos:self._pos + n]
            self._pos += n
            return n
        try:
            n = self.sock.recv_into(mv)
        except (socket.timeout, BlockingIOError, ssl.SSLWantReadError):
            raise ClientGone('receive timed out') from None
        except (OSError, ssl.SSLError) as e:
            raise ClientGone(str(e)) from None
        if n == 0:
            raise ClientGone('peer closed in the body')
        return n

    def read_line(self, limit):
        while True:
            i = self._buf.find(b'\r\n', self._pos)
            if i >= 0:
                line = bytes(self._buf[self._pos:i])
                self._pos = i + 2
                return line
            if len(self._buf) - self._pos > limit:
                raise BadRequest('line too long')
            self._recv_more()

    def read_head(self):
        """The raw request head, or None when the peer closed between requests."""
        scanned = 0  # bytes after _pos already searched, less the 3 that may start the end mark
        while True:
            i = self._buf.find(b'\r\n\r\n', self._pos + scanned)
            if i >= 0:
                head = bytes(self._buf[self._pos:i])
                self._pos = i + 4
                return head
            pending = len(self._buf) - self._pos
            if pending > MAX_HEAD:
                raise BadRequest('request head larger than %d bytes' % MAX_HEAD)
            scanned = max(0, pending - 3)
            try:
                self._recv_more()
            except ClientGone:
                if pending == 0:
                    return None
                raise

    # -- writing -------------------------------------------------------------
    def send(self, data):
        try:
            self.sock.sendall(data)
        except (OSError, ssl.SSLError) as e:
            raise ClientGone(str(e)) from None

    def sendfile(self, fd, offset, count):
        """Sends count bytes of a file from offset; in-kernel for plain sockets."""
        if not self.secure:
            out = self.sock.fileno()
            while count > 0:
                try:
                    n = os.sendfile(out, fd, offset, min(count, 1 << 30))
                except BlockingIOError:
                    raise ClientGone('send timed out') from None
                except OSError as e:
                    raise ClientGone(str(e)) from None
                if n == 0:
                    raise ClientGone('file shorter than expected')
                offset += n
                count -= n
            return
        buf = bytearray(1 << 20)
        mv = memoryview(buf)
        while count > 0:
            n = os.preadv(fd, [mv[:min(count, len(buf))]], offset)
            if n <= 0:
                raise ClientGone('file shorter than expected')
            self.send(mv[:n])
            offset += n
            count -= n

    def reset(self):
        """Closes with RST instead of FIN."""
        try:
            raw = self.sock
            if isinstance(raw, ssl.SSLSocket):
                raw = socket.socket(fileno=os.dup(raw.fileno()))
                self.sock.close()
            raw.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack('ii', 1, 0))
            raw.close()
        except OSError:
            pass
        self.closed = True

    def close(self):
        if self.closed:
            return
        self.closed = True
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        try:
            self.sock.close()
        except OSError:
            pass

    # -- the request loop ----------------------------------------------------
    def parse_head(self, head):
        lines = head.split(b'\r\n')
        parts = lines[0].split(b' ')
        if len(parts) != 3 or not _is_token(parts[0]):
            raise BadRequest('malformed request line')
        version = parts[2]
        if version not in (b'HTTP/1.1', b'HTTP/1.0'):
            raise BadRequest('unsupported protocol version')
        target = parts[1].decode('latin-1')
        if not target.startswith('/'):
            if target.startswith(('http://', 'https://')):
                rest = target.split('://', 1)[1]
                slash = rest.find('/')
                target = rest[slash:] if slash >= 0 else '/'
            else:
                raise BadRequest('malformed request target')
        headers = []
        hmap = {}
        for line in lines[1:]:
            if not line:
                continue
            if line[0] in (0x20, 0x09):
                raise BadRequest('folded header line')
            name, sep, value = line.partition(b':')
            if not sep or not _is_token(name):
                raise BadRequest('malformed header line')
            n = name.decode('latin-1')
            v = value.strip(b' \t').decode('latin-1')
            headers.append((n, v))
            hmap.setdefault(n.lower(), v)
        req = Request()
        req.method = parts[0].decode('latin-1')
        req.target = target
        path, _, query = target.partition('?')
        req.path = path.split('#', 1)[0]
        req.query = query.split('#', 1)[0]
        req.version = version
        req.headers = headers
        req.hmap = hmap
        req.conn = self
        conn_hdr = hmap.get('connection', '').lower()
        if version == b'HTTP/1.0':
            req.keep_alive = 'keep-alive' in conn_hdr
        else:
            req.keep_alive = 'close' not in conn_hdr
        te = hmap.get('transfer-encoding', '').lower()
        cl = hmap.get('content-length')
        if te:
            if te != 'chunked' or cl is not None:
                raise BadRequest('unsupported or conflicting Transfer-Encoding')
            req.body = BodyReader(self, chunked=True)
        elif cl is not None:
            if not cl.isdigit() or len(cl) > 18:
                raise BadRequest('malformed Content-Length')
            req.body = BodyReader(self, int(cl))
        else:
            req.body = BodyReader(self, 0)
        return req

    def serve(self):
        handler = self.server.handler
        try:
            while not self.closed:
                head = self.read_head()
                if head is None:
                    break
                started = time.monotonic()
                try:
                    req = self.parse_head(head)
                except BadRequest as e:
                    handler.bad_request(self, str(e), started)
                    break
                req.started = started
                keep = handler.handle(req)
                if not keep or not req.keep_alive or self.closed:
                    break
                if not req.body.done and not req.body.drain(limit=1 << 20):
                    break
        except BadRequest as e:
            try:
                handler.bad_request(self, str(e), time.monotonic())
            except ClientGone:
                pass
        except ClientGone:
            pass
        except Exception:
            log.exception('connection from %s failed', self.addr)
        finally:
            self.close()


def _set_timeouts(sock, seconds):
    tv = struct.pack('ll', int(seconds), int((seconds % 1) * 1e6))
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVTIMEO, tv)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDTIMEO, tv)


class Listener:
    """Accepts on one socket and serves each connection on its own thread."""

    def __init__(self, server, host, port, tls_context=None, idle_timeout=120.0):
        self.server = server
        self.tls = tls_context
        self.idle_timeout = idle_timeout
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind((host, port))
        self.sock.listen(256)
        self.port = self.sock.getsockname()[1]
        self._stop = False
        self.thread = threading.Thread(target=self._accept_loop, name='accept-%d' % self.port, daemon=True)

    def start(self):
        self.thread.start()

    def stop(self):
        self._stop = True
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.sock.close()

    def _accept_loop(self):
        while not self._stop:
            try:
                sock, addr = self.sock.accept()
            except OSError:
                if self._stop:
                    return
                time.sleep(0.01)
                continue
            threading.Thread(target=self._serve, args=(sock, addr), daemon=True).start()

    def _serve(self, sock, addr):
        try:
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            _set_timeouts(sock, self.idle_timeout)
            if self.tls is not None:
                sock.settimeout(10)
                try:
                    sock = self.tls.wrap_socket(sock, server_side=True)
                except (OSError, ssl.SSLError) as e:
                    log.debug('TLS handshake with %s failed: %s', addr, e)
                    sock.close()
                    return
                sock.settimeout(None)
        except OSError:
            sock.close()
            return
        Connection(self.server, sock, addr, self.tls is not None).serve()
