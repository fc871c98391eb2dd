"""The control port: JSON over HTTP on loopback, for tests and benchmarks.

  GET    /info                      ports, endpoints, CA file, buckets
  GET    /rules | POST /rules       list | arm rules (one object or a list); DELETE /rules clears
  GET    /counters                  requests received per operation, and "total"; DELETE resets
                                    counters and the journal
  GET    /requests?since=N          the journal: one entry per request (method, path, query, op,
                                    bucket, key, status, conn, headers, rule); DELETE clears it
  GET    /keys | PUT /keys          the access keys: [{"id", "secret", "token"?, "expiration"?}]
  POST   /buckets                   {"name": ...} creates a bucket
  GET    /settings | PUT /settings  {"list_page_delay_ms": N}: latency added to every listing page
"""

import json
import logging
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlsplit

from .auth import AccessKey
from .faults import RuleError
from .store import StoreError

log = logging.getLogger('kivstore')


def keys_from_json(items):
    if not isinstance(items, list):
        raise ValueError('keys are a JSON list')
    keys = []
    for k in items:
        if not isinstance(k, dict) or not isinstance(k.get('id'), str) or not isinstance(k.get('secret'), str):
            raise ValueError('a key needs string "id" and "secret"')
        exp = k.get('expiration')
        if exp is not None and not isinstance(exp, (int, float)):
            raise ValueError('"expiration" is epoch seconds')
        keys.append(AccessKey(k['id'], k['secret'], k.get('token') or '', exp))
    return keys


def keys_to_json(keys):
    return [{'id': k.id, 'secret': k.secret, 'token': k.token, 'expiration': k.expiration} for k in keys]


class ControlServer:
    def __init__(self, app, host, port):
        self.app = app
        outer = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = 'HTTP/1.1'

            def log_message(self, fmt, *args):
                log.debug('control: ' + fmt, *args)

            def _reply(self, status, obj):
                data = json.dumps(obj).encode('utf-8')
                self.send_response(status)
                self.send_header('Content-Type', 'application/json')
                self.send_header('Content-Length', str(len(data)))
                self.end_headers()
                self.wfile.write(data)

            def _body(self):
                n = int(self.headers.get('Content-Length') or 0)
                raw = self.rfile.read(n) if n else b''
                return json.loads(raw) if raw else None

            def _dispatch(self):
                url = urlsplit(self.path)
                try:
                    status, obj = outer.route(self.command, url.path, parse_qs(url.query), self._body)
                except (ValueError, RuleError, StoreError) as e:
                    status, obj = 400, {'error': getattr(e, 'message', str(e))}
                except Exception as e:  # the control port must survive whatever it is sent
                    log.exception('control request failed')
                    status, obj = 500, {'error': str(e)}
                self._reply(status, obj)

            do_GET = do_POST = do_PUT = do_DELETE = _dispatch

        self.httpd = ThreadingHTTPServer((host, port), Handler)
        self.httpd.daemon_threads = True
        self.port = self.httpd.server_address[1]
        self.thread = threading.Thread(target=self.httpd.serve_forever, name='control', daemon=True)

    def start(self):
        self.thread.start()

    def stop(self):
        self.httpd.shutdown()
        self.httpd.server_close()

    def route(self, method, path, query, body):
        app = self.app
        faults = app.faults
        if path == '/info' and method == 'GET':
            return 200, app.info()
        if path == '/health':
            return 200, {'ok': True}
        if path == '/rules':
            if method == 'GET':
                return 200, faults.rules()
            if method == 'POST':
                doc = body()
                rules = doc if isinstance(doc, list) else [doc]
                return 200, {'ids': faults.add(rules)}
            if method == 'DELETE':
                faults.clear()
                return 200, {'ok': True}
        if path == '/counters':
            if method == 'GET':
                return 200, faults.snapshot_counters()
            if method == 'DELETE':
                faults.reset_counters()
                return 200, {'ok': True}
        if path == '/requests':
            if method == 'GET':
                since = int(query.get('since', ['0'])[0])
                return 200, faults.requests(since)
            if method == 'DELETE':
                faults.journal.clear()
                return 200, {'ok': True}
        if path == '/keys':
            if method == 'GET':
                return 200, keys_to_json(app.ring.all())
            if method == 'PUT':
                app.ring.replace(keys_from_json(body()))
                return 200, {'ok': True}
        if path == '/buckets' and method == 'POST':
            doc = body() or {}
            app.store.create_bucket(str(doc.get('name', '')), exist_ok=bool(doc.get('exist_ok', True)))
            return 200, {'ok': True}
        if path == '/settings':
            if method == 'GET':
                return 200, dict(faults.settings)
            if method == 'PUT':
                doc = body() or {}
                for k, v in doc.items():
                    if k not in faults.settings or not isinstance(v, int) or v < 0:
                        raise ValueError('unknown setting or bad value: %r' % k)
                faults.settings.update(doc)
                return 200, dict(faults.settings)
        return 404, {'error': 'no such control resource: %s %s' % (method, path)}
