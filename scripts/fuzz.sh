#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, AddressSanitizer, UndefinedBehavior-
# Sanitizer) and runs each for SECONDS (default 10), two at a time, starting from
# the seed inputs in tests/fuzz/corpus/<target>/. New inputs go to a scratch folder,
# never into the repository. Any crash, sanitizer finding, leak or failed property
# fails the script; the input that caused it is kept in BUILD/fuzz/artifacts/.
# The build folder is build/fuzz, or TARVEX_FUZZ_BUILD (scripts/sanitize.sh's
# build/asan holds the targets too, so CI compiles the libraries once).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-10}
build=${TARVEX_FUZZ_BUILD:-build/fuzz}
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake --preset fuzz -B "$build" >/dev/null
fi
ninja -C "$build" fuzz_targets
mkdir -p "$build/fuzz/artifacts" "$build/fuzz/logs"
scratch=$(mktemp -d "${TMPDIR:-/tmp}/tarvex-fuzz.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}

run_one() {
  local bin=$1 name=${1##*/fuzz_}
  local seeds=tests/fuzz/corpus/$name work=$scratch/$name
  mkdir -p "$work/corpus" "$work/tmp"
  local rc=0
  TMPDIR=$work/tmp "$bin" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=4096 -max_len=8192 \
      -print_final_stats=1 -artifact_prefix="$build/fuzz/artifacts/${name}-" \
      "$work/corpus" "$seeds" >"$build/fuzz/logs/$name.log" 2>&1 || rc=$?
  local done_line runs
  done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$build/fuzz/logs/$name.log" | tail -1 || true)
  runs=$(grep -E '^stat::number_of_executed_units' "$build/fuzz/logs/$name.log" | awk '{print $2}' || true)
  if [ "$rc" -ne 0 ]; then
    echo "fuzz: $name FAILED (exit $rc); log: $build/fuzz/logs/$name.log"
    grep -E 'ERROR|SUMMARY|fuzz property failed|runtime error' "$build/fuzz/logs/$name.log" | head -5 || true
    return 1
  fi
  echo "fuzz: $name ok: ${runs:-?} runs; ${done_line}"
}

targets=("$build"/fuzz/fuzz_*)
failed=0
pids=()
for bin in "${targets[@]}"; do
  [ -x "$bin" ] || continue
  run_one "$bin" & pids+=($!)
  # Two at a time: the machine has two cores.
  if ((${#pids[@]} >= 2)); then
    wait "${pids[0]}" || failed=1
    pids=("${pids[@]:1}")
  fi
done
for p in "${pids[@]}"; do wait "$p" || failed=1; done
exit $failed
