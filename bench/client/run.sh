#!/bin/bash
# kiv_connector beside boto3 against the local store behind nginx (see bench/bench_client.py).
# Usage: bench/client/run.sh [--quick] [--reps N] [...]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
exec "${PYTHON:-$root/.venv/bin/python}" "$root/bench/bench_client.py" "$@"
