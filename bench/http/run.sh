#!/bin/bash
# HTTP benchmark on loopback against nginx: keep-alive GETs/s of a 4 KiB body
# and MB/s of one 256 MiB body, for this client, libcurl (one reused easy
# handle) and wrk (the limit), with ratios. Usage: bench/http/run.sh [seconds]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
secs=${1:-5}
build=${BUILD_DIR:-$root/build/bench-http}
work=$(mktemp -d /tmp/kivbench.XXXXXX)
trap 'kill $(cat $work/nginx.pid 2>/dev/null) 2>/dev/null || true; rm -rf "$work"' EXIT

for t in nginx wrk curl-config g++; do
  command -v $t >/dev/null || [ -x /usr/sbin/$t ] || { echo "missing $t: run tools/setup.sh" >&2; exit 1; }
done
cmake -S "$root" -B "$build" -G Ninja -DKIV_BUILD_MODULE=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target kiv_zentho -j2 >/dev/null
g++ -std=c++20 -O2 -I"$root/src" "$here/zentho_get.cpp" "$build/src/libkiv_zentho.a" -lssl -lcrypto -laio -lpthread -o "$work/zentho_get"
g++ -std=c++20 -O2 "$here/curl_get.cpp" $(curl-config --libs) -o "$work/curl_get"

mkdir -p "$work/www" "$work/tmp"
head -c 4096 /dev/urandom > "$work/www/4k"
head -c $((256 << 20)) /dev/zero > "$work/www/256m"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
cat > "$work/nginx.conf" <<CONF
worker_processes 1;
user root;
pid $work/nginx.pid;
error_log $work/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  keepalive_requests 100000000;
  sendfile on;
  client_body_temp_path $work/tmp; proxy_temp_path $work/tmp; fastcgi_temp_path $work/tmp;
  uwsgi_temp_path $work/tmp; scgi_temp_path $work/tmp;
  server { listen 127.0.0.1:$port; root $work/www; }
}
CONF
nginx -p "$work" -c "$work/nginx.conf"
for i in $(seq 100); do curl -s -o /dev/null "http://127.0.0.1:$port/4k" && break; sleep 0.05; done
base="http://127.0.0.1:$port"

# "requests bytes seconds" -> requests/s or MB/s
rps() { awk '{printf "%.0f", $1/$3}'; }
mbs() { awk '{printf "%.1f", $2/$3/1e6}'; }
best_mbs() {  # best of three single 256 MiB downloads
  local best=0 v
  for i in 1 2 3; do v=$("$@" | mbs); best=$(awk -v a=$best -v b=$v 'BEGIN{print (b>a)?b:a}'); done
  echo $best
}
wrk_rps() { wrk -t1 -c1 -d${secs}s "$1" | awk '/Requests\/sec/ {print $2}'; }
wrk_mbs() {
  wrk -t1 -c1 -d${secs}s "$1" | awk '/Transfer\/sec/ {v=$2; u=v; sub(/[0-9.]+/,"",u); sub(/[A-Za-z]+/,"",v);
    m=(u=="GB")?1073.741824:(u=="MB")?1.048576:(u=="KB")?0.001024:1e-6; printf "%.1f", v*m}'
}

z_rps=$("$work/zentho_get" "$base/4k" $secs | rps)
c_rps=$("$work/curl_get" "$base/4k" $secs | rps)
w_rps=$(wrk_rps "$base/4k")
z_mbs=$(best_mbs "$work/zentho_get" "$base/256m" once)
c_mbs=$(best_mbs "$work/curl_get" "$base/256m" once)
w_mbs=$(wrk_mbs "$base/256m")

printf "%-28s %12s %12s %12s %10s %10s\n" "work" "zentho" "libcurl" "wrk" "z/curl" "z/wrk"
printf "%-28s %12s %12s %12s %10s %10s\n" "4 KiB keep-alive GET/s" $z_rps $c_rps $w_rps \
  $(awk -v a=$z_rps -v b=$c_rps 'BEGIN{printf "%.2fx", a/b}') $(awk -v a=$z_rps -v b=$w_rps 'BEGIN{printf "%.2fx", a/b}')
printf "%-28s %12s %12s %12s %10s %10s\n" "256 MiB body MB/s" $z_mbs $c_mbs $w_mbs \
  $(awk -v a=$z_mbs -v b=$c_mbs 'BEGIN{printf "%.2fx", a/b}') $(awk -v a=$z_mbs -v b=$w_mbs 'BEGIN{printf "%.2fx", a/b}')
