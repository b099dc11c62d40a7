#!/usr/bin/env bash
# Builds Kelvra's tests with AddressSanitizer and UndefinedBehaviorSanitizer
# in a folder of their own and runs the whole suite under them, in the same
# private network namespace and keyring as the test command. Any report fails
# the test it came from, and so the run.
# Usage: scripts/sanitize.sh [--ci] [CTEST ARGS...]   (e.g. -R tst_ui for a subset)
# --ci builds and runs the subset CI runs: the tests of the code that reads
# outside input and of the core's own logic, which are quick and depend
# little on timing (the whole suite under the sanitizers takes about two and
# a half times the normal run, and its timing-heavy tests slow down with it:
# the ad-blocking test's 300,000-name lists and the stand-in's own load tests
# run in the whole-suite run only).
# It builds with clang, which also gives the fuzz targets (scripts/fuzz.sh)
# their home: one sanitized build serves both.
# Leaks that are Qt's or its libraries' own one-time allocations are listed,
# each with its reason, in scripts/sanitize-suppressions.txt; ours never are.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/sanitize-build.sh
ci_tests=(tst_settings tst_logger tst_singleinstance tst_sessionguards tst_tokenmanager tst_serverlistreader
          tst_serverlist tst_serverconfig tst_nextserverpicker tst_pinger
          tst_localsocketcontroller tst_ipcclient tst_openvpnprotocol tst_smartconnectplan tst_smartconnectmemory
          tst_networkidentifier tst_protocolsmodel tst_settingscontroller tst_bypasslist
          tst_updatecheck tst_installedapps tst_wifiname tst_serverlistcache tst_serverlistdisposer)
if [ "${1:-}" = "--ci" ]; then
    shift
    # The stand-ins the tests start are programs of their own.
    cmake --build "$build" -j"$(nproc)" --target "${ci_tests[@]}" kelvra-backend-standin kelvra-service-standin \
        kelvra-service-impostor kelvra-service kelvra
    set -- -R "^($(IFS='|'; echo "${ci_tests[*]}"))\$" "$@"
else
    cmake --build "$build" -j"$(nproc)"
fi

# The slow unwinder records whole allocation stacks, so a suppression can
# name the library a leak really comes from.
export ASAN_OPTIONS="fast_unwind_on_malloc=0:detect_leaks=1:halt_on_error=1:abort_on_error=0:strict_string_checks=0:detect_stack_use_after_return=0"
export LSAN_OPTIONS="suppressions=$PWD/scripts/sanitize-suppressions.txt:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export QT_QPA_PLATFORM=offscreen
exec bash scripts/netns.sh bash scripts/keyring.sh \
    ctest --test-dir "$build" --output-on-failure --no-tests=error -j"$(nproc)" "$@"
