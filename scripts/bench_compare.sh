#!/usr/bin/env bash
# Side by side (not run in CI): the encoders against other converters (reuses
# scripts/bench_encoding.sh; BENCH_SKIP_ENCODING=1 skips it), then tarvex against
# the mail tools scripts/setup.sh installs (msmtp, s-nail, Python's email +
# smtplib), all sending to the same discarding sink of our own
# (bench/discard_sink.py), in one run (bench/compare_peers.py): start-up of
# --version beyond starting /bin/true, mails per second with one process per mail,
# a 20 MB Japanese body from macro to dump against Python's codecs (time and peak
# memory), a 50 MB attachment's wall time and peak memory beside the peaks of 1 GB
# and 4 GB sparse attachments, and the CPU share of an idle macro run. Prints one
# table, each measure as a ratio with its goal, then the top entries of a perf
# profile of the 20 MB body's run (linux-perf).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset default >/dev/null
ninja -C build -j2 tarvex >/dev/null
if [ "${BENCH_SKIP_ENCODING:-0}" != 1 ]; then
  echo "==== encoding (scripts/bench_encoding.sh)"
  scripts/bench_encoding.sh
  echo "==== tarvex and its peers"
fi
/usr/bin/python3 bench/compare_peers.py build/tarvex
