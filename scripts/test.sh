#!/usr/bin/env bash
# Sets up a fresh machine, builds everything under build/ and runs every test.
# With CI=true it also runs the suite under the sanitizers (build/asan) and every
# fuzz target for 10 seconds from the same build.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset default >/dev/null
ninja -C build
ctest --test-dir build --output-on-failure -j2
if [ "${CI:-}" = "true" ]; then
  scripts/sanitize.sh
  TARVEX_FUZZ_BUILD=build/asan scripts/fuzz.sh 10
fi
