#!/usr/bin/env bash
# Sourced, not run: starts the backend and service stand-ins from a build's
# bin folder, for the commands that run the real client inside the namespace.
# Everything started here (the stand-ins, and what the caller adds to `pids`)
# is stopped when the caller exits.
pids=()
stop_started() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; wait 2>/dev/null || true; }
trap stop_started EXIT

# start_standins BIN [BACKEND_LOG]: with BACKEND_LOG, the backend's output
# (the sign-in codes among it) goes to that file instead of the terminal.
start_standins() {
    local bin=$1 backend_log=${2:-}
    if [ -x "$bin/kelvra-backend-standin" ]; then
        # It prints the sign-in codes it "mails": sign in with any e-mail address and that code.
        if [ -n "$backend_log" ]; then
            "$bin/kelvra-backend-standin" >"$backend_log" 2>&1 &
        else
            "$bin/kelvra-backend-standin" &
        fi
        pids+=($!)
    fi
    if [ -x "$bin/kelvra-service" ]; then
        # Started under the installed service's name, next to the client, so the
        # client's check of the process behind the service socket accepts it.
        "$bin/kelvra-service" --api-base-url https://testapi.kelvra.test:8443/api/ &
        pids+=($!)
    fi
    sleep 1
}
