#!/usr/bin/env bash
# Sets up a fresh machine, builds tarvex, starts a local SMTP server, sends
# examples/demo.txt (a Japanese mail with a Japanese-named attachment) headless
# and shows what the server received, decoded.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset default >/dev/null
ninja -C build tarvex
exec /usr/bin/python3 scripts/demo.py
