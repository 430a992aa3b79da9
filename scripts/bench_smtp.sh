#!/usr/bin/env bash
# Builds the SMTP component benchmark and prints its figures against our minimal sink:
# small messages per second over one connection (TLxSMTP, Python smtplib, and a plain
# blocking socket speaking the same dialogue), then wall time and peak memory of one
# send with a 50 MB attachment through PostMessage.Attachments.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset default >/dev/null
ninja -C build -j2 SmtpBench >/dev/null
bench=build/bench/SmtpBench

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "== small messages over one connection"
"$bench" --messages "${SMTP_BENCH_MESSAGES:-2000}"

echo "== one send with a 50 MB attachment"
head -c 52428800 /dev/urandom >"$work/attach.bin"
/usr/bin/time -v "$bench" --attachment "$work/attach.bin" 2>"$work/time.txt"
grep -E "Maximum resident set size|Elapsed \(wall clock\)" "$work/time.txt"
