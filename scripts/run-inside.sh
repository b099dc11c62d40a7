#!/usr/bin/env bash
# The part of the run command that happens inside the namespace: start the
# backend and service stand-ins, then the client; stop the stand-ins when it ends.
set -euo pipefail
build=$1
bin="$build/bin"
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; wait 2>/dev/null || true; }
trap cleanup EXIT

if [ -x "$bin/kelvra-backend-standin" ]; then
    # It prints the sign-in codes it "mails": sign in with any e-mail address and that code.
    "$bin/kelvra-backend-standin" &
    pids+=($!)
fi
if [ -x "$bin/kelvra-service" ]; then
    # Started under the installed service's name, next to the client, so the
    # client's check of the process behind the service socket accepts it.
    "$bin/kelvra-service" --api-base-url https://testapi.kelvra.test:8443/api/ &
    pids+=($!)
fi
sleep 1
"$bin/kelvra" "${@:2}"
