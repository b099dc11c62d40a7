#!/usr/bin/env bash
# The part of scripts/screenshots.sh that runs inside the namespace, on the
# display it made: stand-ins, the client, then the steps at the bottom.
#
# Driving the app (X events go to the client's window):
#   key KEYS...     keys by X name: key Tab, key ctrl+v, key Return
#   type_text TEXT  types text into the focused field
#   click X Y       a left click at window coordinates
#   pause SECONDS   lets an animation or a reply finish
#   shot NAME       writes OUTDIR/NAME.png of the client's window
set -euo pipefail
build=$1
out=$2
bin="$build/bin"
source "$(dirname "$0")/standins.sh"
start_standins "$bin"
"$bin/kelvra" >"$out/client.log" 2>&1 &
pids+=($!)

win=$(timeout 30 xdotool search --sync --onlyvisible --name '^Kelvra$' | head -n1) || true
if [ -z "$win" ]; then
    echo "The client's window did not appear within 30 s; its output is in $out/client.log" >&2
    exit 1
fi

# Keys go through the X test extension to the focused window: events sent to a
# window directly are marked synthetic, and Qt may ignore those.
xdotool windowfocus --sync "$win" 2>/dev/null || true
key() { xdotool key --clearmodifiers "$@"; }
type_text() { xdotool type --delay 20 "$*"; }
click() { xdotool mousemove --window "$win" "$1" "$2" click 1; }
pause() { sleep "$1"; }
shot() { import -window "$win" "$out/$1.png"; echo "  $1.png"; }

# Let the first frames settle (fonts, the first replies) before the first picture.
pause 1
shot main
