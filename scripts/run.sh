#!/usr/bin/env bash
# Builds the Kelvra client and runs it against the loopback stand-ins, inside a
# private network namespace so nothing it does can leave the machine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
build=${KELVRA_RUN_BUILD_DIR:-build}
cmake -S . -B "$build" -DKELVRA_API=standin -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "No display found: running offscreen (set DISPLAY to see the window)."
    export QT_QPA_PLATFORM=offscreen
fi
exec bash scripts/netns.sh bash scripts/keyring.sh bash scripts/run-inside.sh "$build"
