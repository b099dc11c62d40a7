#!/usr/bin/env bash
# Runs a command with a session bus and an unlocked Secret Service (gnome-keyring)
# in a fresh home, as qtkeychain needs on Linux.
# Usage: scripts/keyring.sh COMMAND [ARGS...]
set -euo pipefail
if [ "${KELVRA_IN_KEYRING:-}" != "1" ]; then
    HOME=$(mktemp -d /tmp/kelvra-home-XXXXXX)
    export HOME
    export XDG_RUNTIME_DIR="$HOME/runtime"
    mkdir -p -m 700 "$XDG_RUNTIME_DIR"
    exec dbus-run-session -- env KELVRA_IN_KEYRING=1 "$0" "$@"
fi
# The password must not be empty, or the "login" collection is never made.
printf 'kelvra-test\n' | gnome-keyring-daemon --unlock --components=secrets >/dev/null
exec "$@"
