#!/usr/bin/env bash
# The part of the run command that happens inside the namespace: start the
# stand-ins that are built, then the client; stop the stand-ins when it ends.
set -euo pipefail
build=$1
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; }
trap cleanup EXIT
for standin in kelvra-backend-standin kelvra-service-standin; do
    if [ -x "$build/bin/$standin" ]; then
        "$build/bin/$standin" &
        pids+=($!)
    fi
done
"$build/bin/kelvra" "${@:2}"
