#!/usr/bin/env bash
# Runs every libFuzzer target under fuzz/ for a while, each on its seed corpus
# (fuzz/corpus/NAME) and its dictionary where it has one, with AddressSanitizer
# and UndefinedBehaviorSanitizer, inside the private network namespace. New
# inputs the fuzzer keeps go to the build folder, not the repository; a crash
# leaves its input there too and fails the run.
# Usage: scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]   (default 30 s, every target)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
shift || true
source scripts/sanitize-build.sh
cmake --build "$build" --target fuzz_all -j"$(nproc)"

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    for dir in fuzz/corpus/*/; do targets+=("$(basename "$dir")"); done
fi
export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1"
export LSAN_OPTIONS="suppressions=$PWD/scripts/sanitize-suppressions.txt:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
failed=()
for name in "${targets[@]}"; do
    work="$build/fuzz/work/$name"
    artifacts="$build/fuzz/artifacts/$name"
    mkdir -p "$work" "$artifacts"
    args=(-max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$artifacts/" -timeout=10 -rss_limit_mb=2048)
    [ -f "fuzz/dict/$name.dict" ] && args+=(-dict="fuzz/dict/$name.dict")
    log="$build/fuzz/$name.log"
    if bash scripts/netns.sh "$build/fuzz/fuzz_$name" "${args[@]}" "$work" "fuzz/corpus/$name" >"$log" 2>&1; then
        status=ok
    else
        status=FAILED
        failed+=("$name")
        grep -E "ERROR|SUMMARY|runtime error" "$log" | head -5 || true
    fi
    runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo 0)
    echo "fuzz $name: $status, $runs executions in ${seconds} s (log: $log)"
done
if [ ${#failed[@]} -gt 0 ]; then
    echo "fuzz: failures in ${failed[*]}; inputs under $build/fuzz/artifacts/" >&2
    exit 1
fi
