#!/usr/bin/env bash
# Sets up a fresh machine, builds everything under build/ and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build
ctest --test-dir build --output-on-failure -j2
