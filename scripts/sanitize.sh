#!/usr/bin/env bash
# Builds everything with clang under AddressSanitizer and UndefinedBehaviorSanitizer
# in build/asan (the fuzz targets too, so scripts/fuzz.sh can use the same build:
# TARVEX_FUZZ_BUILD=build/asan) and runs the test suite there. Any sanitizer finding
# fails its test: UBSan halts on the first error; leaks are reported everywhere.
# The Qt test program runs apart, one test at a time, with a suppressions file for
# leaks inside the toolkit and the libraries it loads (tests/sanitize/lsan-qt.supp).
# The two tests of a real window on Xvfb run in the normal build only: the
# sanitized program starts too slowly for their waits on a loaded machine, and the
# code they drive is the one the Qt test program covers here.
# Options: --no-qt skips the Qt tests, --no-e2e the tests that drive the program
# from Python (both for quicker runs); extra arguments go to ctest.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/asan
qt="^qt\\."
exclude=("^qt\\.xvfb_window\$|^e2e\\.test_desktop_window\$")
ctest_args=()
run_qt=1
for a in "$@"; do
  case "$a" in
    --no-qt) exclude+=("$qt"); run_qt=0 ;;
    --no-e2e) exclude+=("^e2e\\.") ;;
    *) ctest_args+=("$a") ;;
  esac
done
cmake --preset asan >/dev/null
ninja -C "$build"
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
# (strict_string_checks stays off: it flags a bounded strndup inside the X keyboard
# library the window loads, which is legal.)
export ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1
status=0
# Everything but the toolkit's tests, with every leak reported.
pattern=$qt
for e in "${exclude[@]}"; do pattern="$pattern|$e"; done
ctest --test-dir "$build" --output-on-failure -j2 -E "$pattern" "${ctest_args[@]}" || status=1
if ((run_qt)); then
  LSAN_OPTIONS=suppressions=$PWD/tests/sanitize/lsan-qt.supp:print_suppressions=0 \
    ctest --test-dir "$build" --output-on-failure -j1 -R "$qt" -E "${exclude[0]}" "${ctest_args[@]}" || status=1
fi
exit $status
