#!/usr/bin/env bash
# Runs every test: the C++ unit tests (ctest) and the Python tests (pytest).
#   tools/test.sh           all tests
#   tools/test.sh --asan    the C++ tests only, built with AddressSanitizer and UBSan
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
bash tools/setup.sh
venv=${KIV_VENV:-$here/.venv}
export PATH="$venv/bin:$PATH"
jobs=${KIV_JOBS:-$(nproc)}

if [ "${1:-}" = "--asan" ]; then
  bdir=build/asan
  cmake -S . -B $bdir -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKIV_BUILD_TESTS=ON -DKIV_BUILD_MODULE=OFF -DKIV_SANITIZE=ON >/dev/null
  cmake --build $bdir -j "$jobs"
  ASAN_OPTIONS=detect_leaks=0:detect_stack_use_after_return=0 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir $bdir --output-on-failure -j "$jobs"
  exit 0
fi

bdir=build/cpp
cmake -S . -B $bdir -G Ninja -DKIV_BUILD_TESTS=ON -DKIV_BUILD_MODULE=OFF >/dev/null
cmake --build $bdir -j "$jobs"
ctest --test-dir $bdir --output-on-failure -j "$jobs"

# The module, built and installed into the virtual environment.
python -m pip install -q --no-build-isolation "$here"
# In a private mount namespace whose /etc/hosts maps the local object store's
# virtual-host names to loopback (the machine's own /etc/hosts is untouched).
cd "$here/tests/python"
"$here/tools/vhost-run" -- python -m pytest -q -p no:cacheprovider .
