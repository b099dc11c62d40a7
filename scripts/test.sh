#!/usr/bin/env bash
# Builds Kelvra with its tests and runs every test, offscreen, inside a private
# network namespace with its own session bus and keyring.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
build=${KELVRA_TEST_BUILD_DIR:-build-test}
cmake -S . -B "$build" -DKELVRA_TESTING=ON -DKELVRA_API=standin -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)"
export QT_QPA_PLATFORM=offscreen
exec bash scripts/netns.sh bash scripts/keyring.sh \
    ctest --test-dir "$build" --output-on-failure --no-tests=error -j"$(nproc)" "$@"
