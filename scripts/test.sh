#!/usr/bin/env bash
# Sets up and builds (see setup.sh), then runs every test suite, end-to-end suites included.
#
# scripts/test.sh --sanitize does the same set-up, then builds a Debug build with
# AddressSanitizer and UndefinedBehaviorSanitizer into build-asan/ (-DKESTRIN_SANITIZE=ON) and
# runs there the Qt Test suites and the replays of the fuzz corpora (CTest labels qttest and
# fuzz); the end-to-end suites stay out. A memory fault, a leak or undefined behaviour fails
# the test that met it.
set -euo pipefail
cd "$(dirname "$0")/.."

sanitize=false
case "${1:-}" in
    "") ;;
    --sanitize) sanitize=true ;;
    *) echo "usage: $0 [--sanitize]" >&2; exit 2 ;;
esac

scripts/setup.sh
if ! $sanitize; then
    ctest --test-dir build --output-on-failure -j"$(nproc)"
    exit
fi

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DKESTRIN_SANITIZE=ON
cmake --build build-asan -j"$(nproc)"
# Programs the suites start report through the same options; a report ends the process.
export ASAN_OPTIONS="detect_leaks=1:check_initialization_order=1:detect_stack_use_after_return=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
ctest --test-dir build-asan --output-on-failure -j"$(nproc)" -L 'qttest|fuzz'
