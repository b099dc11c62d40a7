#!/usr/bin/env bash
# Builds Kelvra's tests with AddressSanitizer and UndefinedBehaviorSanitizer
# in a folder of their own and runs the whole suite under them, in the same
# private network namespace and keyring as the test command. Any report fails
# the test it came from, and so the run.
# Usage: scripts/sanitize.sh [CTEST ARGS...]   (e.g. -R tst_ui for a subset)
# It builds with clang, which also gives the fuzz targets (scripts/fuzz.sh)
# their home: one sanitized build serves both.
# Leaks that are Qt's or its libraries' own one-time allocations are listed,
# each with its reason, in scripts/sanitize-suppressions.txt; ours never are.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/sanitize-build.sh
cmake --build "$build" -j"$(nproc)"

# The slow unwinder records whole allocation stacks, so a suppression can
# name the library a leak really comes from.
export ASAN_OPTIONS="fast_unwind_on_malloc=0:detect_leaks=1:halt_on_error=1:abort_on_error=0:strict_string_checks=0:detect_stack_use_after_return=0"
export LSAN_OPTIONS="suppressions=$PWD/scripts/sanitize-suppressions.txt:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export QT_QPA_PLATFORM=offscreen
exec bash scripts/netns.sh bash scripts/keyring.sh \
    ctest --test-dir "$build" --output-on-failure --no-tests=error -j"$(nproc)" "$@"
