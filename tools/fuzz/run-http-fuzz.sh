#!/bin/bash
# Builds and runs the response-parsing fuzzer. Usage: tools/fuzz/run-http-fuzz.sh [seconds]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
secs=${1:-180}
out=${FUZZ_DIR:-$root/build/fuzz-http}
mkdir -p "$out/corpus"
src="$root/src/zentho"
# the parsers are compiled instrumented; the rest of the runtime comes from the library
cmake -S "$root" -B "$out/lib" -G Ninja -DKIV_BUILD_MODULE=OFF >/dev/null
cmake --build "$out/lib" --target kiv_zentho -j2 >/dev/null
clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -I"$root/src" "$here/http_response_fuzz.cpp" \
  "$src/net/http/message.cpp" "$src/net/http/headers.cpp" "$src/net/http/body.cpp" "$src/net/http/url.cpp" \
  "$out/lib/src/libkiv_zentho.a" -lssl -lcrypto -laio -lpthread \
  -o "$out/http_response_fuzz"
printf '\x05HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabc' > "$out/corpus/length"
printf '\x03HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n1;x\r\n!\r\n0\r\nT: v\r\n\r\n' > "$out/corpus/chunked"
printf '\x41HTTP/1.1 206 P\r\nContent-Range: bytes 0-9/100\r\n\r\n0123456789' > "$out/corpus/range"
"$out/http_response_fuzz" -max_total_time="$secs" -max_len=20000 "$out/corpus"
