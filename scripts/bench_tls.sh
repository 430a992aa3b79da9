#!/usr/bin/env bash
# Builds the TLS benchmark and prints the throughput of one send with a large
# attachment (default 50 MB) through TLS and through the plain connection, against our
# minimal sink, and their ratio.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset default >/dev/null
ninja -C build -j2 TlsBench >/dev/null
build/bench/TlsBench "${TLS_BENCH_MB:-50}" "${TLS_BENCH_ROUNDS:-3}"
