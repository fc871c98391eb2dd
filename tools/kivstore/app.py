"""Command line and process wiring of the local object store."""

import argparse
import gc
import ipaddress
import json
import logging
import os
import secrets
import signal
import ssl
import sys
import threading

from . import DEFAULT_BUCKETS, DEFAULT_ENDPOINTS
from .auth import ACCELERATE_SUFFIX, AccessKey, KeyRing
from .control import ControlServer, keys_from_json
from .faults import Faults
from .httpcore import Listener
from .service import Service
from .store import Store
from .tlscert import ensure_certificates

log = logging.getLogger('kivstore')

DESCRIPTION = """\
A local object store: the service's HTTP API (KIV4-HMAC-SHA256 signatures, virtual-host
addressing <bucket>.<endpoint>) and a boto3 dialect (AWS4-HMAC-SHA256, path-style or
virtual-host addressing) over HTTP and HTTPS on loopback, with a JSON control port for
fault rules, request counters and access keys (see kivstore/control.py).

When ready it prints one JSON line to stdout (and writes it to --ready-file): the ports,
the endpoints, the CA file of the HTTPS port and the data directory."""


class App:
    def __init__(self, args):
        self.args = args
        self.store = Store(args.data_dir, fsync=args.fsync)
        keys = []
        if args.keys_file:
            with open(args.keys_file) as f:
                keys += keys_from_json(json.load(f))
        for item in args.access_key:
            parts = item.split(':')
            if len(parts) not in (2, 3):
                raise SystemExit('--access-key takes ID:SECRET or ID:SECRET:TOKEN')
            keys.append(AccessKey(*parts))
        if not keys:
            keys.append(AccessKey('kiv-' + secrets.token_hex(8), secrets.token_hex(20)))
        self.ring = KeyRing(keys)
        self.faults = Faults()
        self.endpoints = list(dict.fromkeys(args.endpoint or DEFAULT_ENDPOINTS))
        for b in args.bucket:
            self.store.create_bucket(b, exist_ok=True)
        for item in args.bench_keys:
            name, _, count = item.partition(':')
            self.store.create_bucket(name, exist_ok=True)
            self.store.add_synthetic_keys(name, int(count))
        # The loaded index lives as long as the process: keep the collector from rescanning it.
        gc.collect()
        gc.freeze()
        self.service = Service(self.store, self.ring, self.faults, self.endpoints, args.accelerate_suffix,
                               args.boto_region, args.max_skew)
        self.listeners = []
        self.http = self.https = self.control = None
        self.ca_file = None
        if args.http_port >= 0:
            self.http = Listener(self, args.host, args.http_port, idle_timeout=args.idle_timeout)
            self.listeners.append(self.http)
        if args.https_port >= 0:
            tls_dir = args.tls_dir or os.path.join(args.data_dir, 'tls')
            self.ca_file, crt, key = ensure_certificates(tls_dir, self.endpoints, args.tls_name)
            ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            ctx.minimum_version = ssl.TLSVersion.TLSv1_2
            ctx.load_cert_chain(crt, key)
            self.https = Listener(self, args.host, args.https_port, tls_context=ctx, idle_timeout=args.idle_timeout)
            self.listeners.append(self.https)
        if args.control_port >= 0:
            self.control = ControlServer(self, args.host, args.control_port)

    @property
    def handler(self):
        return self.service

    def info(self):
        return {
            'event': 'ready', 'pid': os.getpid(), 'host': self.args.host,
            'http_port': self.http.port if self.http else None,
            'https_port': self.https.port if self.https else None,
            'control_port': self.control.port if self.control else None,
            'ca_file': self.ca_file, 'endpoints': self.endpoints, 'data_dir': os.path.abspath(self.args.data_dir),
            'buckets': sorted(self.store.buckets), 'accelerate_suffix': self.args.accelerate_suffix,
            'boto_region': self.args.boto_region, 'keys': [k.id for k in self.ring.all()],
        }

    def start(self):
        for listener in self.listeners:
            listener.start()
        if self.control:
            self.control.start()

    def stop(self):
        for listener in self.listeners:
            listener.stop()
        if self.control:
            self.control.httpd.server_close()  # the process ends next; no need to wait for its loop


def _loopback(text):
    try:
        if not ipaddress.ip_address(text).is_loopback:
            raise ValueError
    except ValueError:
        raise argparse.ArgumentTypeError('only loopback addresses may be served: %r' % text) from None
    return text


def parse_args(argv):
    p = argparse.ArgumentParser(prog='kivstore', description=DESCRIPTION,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument('--data-dir', required=True, help='where objects, uploads and the test CA live')
    p.add_argument('--host', type=_loopback, default='127.0.0.1', help='loopback address to listen on')
    p.add_argument('--http-port', type=int, default=0, help='0 picks a free port, -1 disables HTTP')
    p.add_argument('--https-port', type=int, default=0, help='0 picks a free port, -1 disables HTTPS')
    p.add_argument('--control-port', type=int, default=0, help='0 picks a free port, -1 disables control')
    p.add_argument('--endpoint', action='append', default=[],
                   help='endpoint host name served as <bucket>.<endpoint> (repeatable; default: %s)'
                   % ', '.join(DEFAULT_ENDPOINTS))
    p.add_argument('--bucket', action='append', default=[], help='bucket to create at start (repeatable; '
                   'the names tools/vhost-run maps by default are %s)' % ', '.join(DEFAULT_BUCKETS))
    p.add_argument('--access-key', action='append', default=[], metavar='ID:SECRET[:TOKEN]',
                   help='accepted access key (repeatable); with a TOKEN the request must carry it')
    p.add_argument('--keys-file', help='JSON list of {"id","secret","token","expiration"} to accept')
    p.add_argument('--tls-dir', help='where the test CA and certificate are kept (default DATA/tls)')
    p.add_argument('--tls-name', action='append', default=[], help='extra certificate name (repeatable)')
    p.add_argument('--ready-file', help='write the ready JSON here as well')
    p.add_argument('--boto-region', default='us-east-1', help='region of the boto3 dialect')
    p.add_argument('--accelerate-suffix', default=ACCELERATE_SUFFIX, help='accelerated-endpoint domain suffix')
    p.add_argument('--max-skew', type=int, default=900, help='accepted clock difference of signed requests, s')
    p.add_argument('--idle-timeout', type=float, default=120.0, help='seconds before an idle connection is closed')
    p.add_argument('--fsync', action='store_true', help='fsync bodies before they become visible')
    p.add_argument('--bench-keys', action='append', default=[], metavar='BUCKET:N',
                   help='add N index-only keys for listing benchmarks (listed, not stored, not readable)')
    p.add_argument('--log-level', default='WARNING')
    return p.parse_args(argv)


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    logging.basicConfig(level=getattr(logging, args.log_level.upper(), logging.WARNING),
                        format='%(asctime)s kivstore %(levelname)s %(message)s', stream=sys.stderr)
    app = App(args)
    app.start()
    info = json.dumps(app.info())
    if args.ready_file:
        tmp = args.ready_file + '.tmp'
        with open(tmp, 'w') as f:
            f.write(info + '\n')
        os.rename(tmp, args.ready_file)
    print(info, flush=True)
    done = threading.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, lambda *_: done.set())
    done.wait()
    app.stop()
    return 0
