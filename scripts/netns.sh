#!/usr/bin/env bash
# Runs a command in a private network namespace: only loopback exists, and the
# addresses the client and the tests expect (the connectivity probe, the
# catalogue's server addresses) are put on it. Nothing can leave the machine.
# Usage: scripts/netns.sh COMMAND [ARGS...]
set -euo pipefail
if [ "${KELVRA_IN_NETNS:-}" != "1" ]; then
    exec unshare --net env KELVRA_IN_NETNS=1 "$0" "$@"
fi
ip link set lo up
while read -r addr; do
    [ -n "$addr" ] && ip addr add "$addr" dev lo 2>/dev/null || true
done < "$(dirname "$0")/netns-addresses.txt"
exec "$@"
