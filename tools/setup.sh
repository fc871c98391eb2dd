#!/usr/bin/env bash
# Idempotent set-up: Debian build packages and a Python virtual environment.
# Fast when everything is already there: it only checks and returns.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
venv=${KIV_VENV:-$here/.venv}

# Debian packages the build, the tests and the benchmarks need.
debs=(
  build-essential cmake ninja-build pkg-config
  libssl-dev openssl ca-certificates
  rapidjson-dev libtinyxml2-dev zlib1g-dev libaio-dev
  libgtest-dev googletest
  util-linux iproute2 procps
)
# Further packages can be listed, one per line, in tools/debian-packages.txt.
if [ -f "$here/tools/debian-packages.txt" ]; then
  while read -r p; do [ -n "$p" ] && [ "${p#\#}" = "$p" ] && debs+=("$p"); done < "$here/tools/debian-packages.txt"
fi

missing=()
for p in "${debs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing Debian packages: ${missing[*]}"
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO=sudo
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

py=${PYTHON:-python3.11}
command -v "$py" >/dev/null || py=python3
if [ ! -x "$venv/bin/python" ]; then
  echo "setup: creating virtual environment $venv"
  "$py" -m venv "$venv"
fi

req="$here/tools/requirements.txt"
stamp="$venv/.requirements.sha256"
sum=$(sha256sum "$req" | cut -d' ' -f1)
if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$sum" ]; then
  echo "setup: installing Python packages into $venv"
  "$venv/bin/python" -m pip install -q --upgrade pip
  "$venv/bin/python" -m pip install -q -r "$req"
  echo "$sum" > "$stamp"
fi
