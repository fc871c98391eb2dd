"""kivstore: a local object store that speaks the service's HTTP API on loopback.

Run it with `python -m kivstore --help` (with tools/ on PYTHONPATH) or `python tools/kivstore --help`.
"""

# Virtual-host names: every bucket is served as <bucket>.<endpoint>. /etc/hosts has no
# wildcards, so tools/vhost-run maps these endpoints and buckets (plus any given to it).
DEFAULT_ENDPOINTS = ('kiv-local.kivstore.test', 'kiv-local-internal.kivstore.test',
                     'kiv-other.kivstore.test', 'local.kiv-accelerate.zorvex.test')
DEFAULT_BUCKETS = ('kiv-test', 'kiv-test-2', 'kiv-data', 'kiv-bench', 'kiv-demo')
