#!/usr/bin/env bash
# Sourced, not run: starts the backend and service stand-ins from a build's
# bin folder, for the commands that run the real client inside the namespace.
# Their pids are added to the caller's `pids` array, which its EXIT trap stops.
start_standins() {
    local bin=$1
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
}
