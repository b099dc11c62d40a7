#!/usr/bin/env bash
# Runs a command in a private network namespace: only loopback exists, and the
# addresses the client and the tests expect (the connectivity probe, the
# catalogue's server addresses) are put on it. The stand-in API host names
# resolve to loopback addresses through a private /etc/hosts. Nothing can
# leave the machine.
# Usage: scripts/netns.sh COMMAND [ARGS...]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
if [ "${KELVRA_IN_NETNS:-}" != "1" ]; then
    exec unshare --net --mount env KELVRA_IN_NETNS=1 "$here/netns.sh" "$@"
fi
ip link set lo up
while read -r addr; do
    [ -n "$addr" ] && { ip addr add "$addr" dev lo 2>/dev/null || true; }
done < "$here/netns-addresses.txt"
# Keep the mount private to this namespace, then give it its own hosts file.
mount --make-rprivate /
hosts=$(mktemp /tmp/kelvra-hosts-XXXXXX)
cat /etc/hosts "$here/netns-hosts.txt" > "$hosts"
chmod 644 "$hosts"
mount --bind "$hosts" /etc/hosts
exec "$@"
