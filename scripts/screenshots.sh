#!/usr/bin/env bash
# Starts the stand-ins and the real client on a private X display (Xvfb)
# inside the private network namespace, drives it and writes one PNG per page
# and state into OUTDIR. People look at the pictures; no test compares them.
# Usage: scripts/screenshots.sh OUTDIR
# The steps are in scripts/screenshots-inside.sh: a page adds one "shot NAME"
# line there, after the keys or clicks that bring it up.
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 OUTDIR" >&2; exit 2; }
repo=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$1"
out=$(cd "$1" && pwd)
case "$out/" in
    "$repo"/*) echo "OUTDIR must lie outside the repository: $out" >&2; exit 2 ;;
esac
cd "$repo"

bash scripts/deps.sh xvfb x11-apps imagemagick xdotool curl

build=${KELVRA_RUN_BUILD_DIR:-build}
cmake -S . -B "$build" -DKELVRA_API=standin -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target kelvra kelvra-backend-standin kelvra-service kelvra-setup

# A display number nobody uses, so several runs (and people) never meet.
display=99
while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do display=$((display + 1)); done
xvfb_pid=
cleanup() { [ -n "$xvfb_pid" ] && { kill "$xvfb_pid" 2>/dev/null || true; wait "$xvfb_pid" 2>/dev/null || true; }; }
trap cleanup EXIT
Xvfb ":$display" -screen 0 1600x1000x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$display" ] && break; sleep 0.1; done
[ -e "/tmp/.X11-unix/X$display" ] || { echo "Xvfb did not start on :$display" >&2; exit 1; }

# The X socket is a file under /tmp/.X11-unix, so the client inside the
# namespace still reaches the display started out here.
DISPLAY=":$display" timeout 300 bash scripts/netns.sh bash scripts/keyring.sh \
    bash scripts/screenshots-inside.sh "$build" "$out"
echo "Screenshots in $out:"
ls "$out"
