#!/usr/bin/env bash
# The main job on a fresh machine: builds and installs the module, starts the
# local object store, fills a bucket and runs the example training-data loop.
#   tools/demo.sh [--samples N] [--sample-kib K] [--checkpoint-mib M]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
bash tools/setup.sh
venv=${KIV_VENV:-$here/.venv}
"$venv/bin/python" -m pip install -q --no-build-isolation "$here"
# the store's virtual-host names resolve to loopback inside a private mount namespace
exec "$here/tools/vhost-run" -- "$venv/bin/python" "$here/examples/train_loop.py" "$@"
