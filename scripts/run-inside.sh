#!/usr/bin/env bash
# The part of the run command that happens inside the namespace: start the
# backend and service stand-ins, then the client; stop the stand-ins when it ends.
set -euo pipefail
build=$1
bin="$build/bin"
source "$(dirname "$0")/standins.sh"
start_standins "$bin"
"$bin/kelvra" "${@:2}"
