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
#   nav PAGE        opens a page from the navigation rail
#   mailed_code     the last sign-in code the backend stand-in printed
set -euo pipefail
build=$1
out=$2
bin="$build/bin"
source "$(dirname "$0")/standins.sh"
start_standins "$bin" "$out/backend.log"

client=
win=
start_client() {
    "$bin/kelvra" >>"$out/client.log" 2>&1 &
    client=$!
    pids+=("$client")
    win=$(timeout 30 xdotool search --sync --onlyvisible --name '^Kelvra$' | head -n1) || true
    if [ -z "$win" ]; then
        echo "The client's window did not appear within 30 s; its output is in $out/client.log" >&2
        exit 1
    fi
    # Keys go through the X test extension to the focused window: events sent
    # to a window directly are marked synthetic, and Qt may ignore those.
    xdotool windowfocus --sync "$win" 2>/dev/null || true
}
stop_client() {
    kill "$client" 2>/dev/null || true
    wait "$client" 2>/dev/null || true
}
# The client's settings file in the namespace's fresh home.
set_setting() {
    local file="$HOME/.config/Kelvra.Inc/Kelvra.conf" group=$1 key=$2 value=$3
    mkdir -p "$(dirname "$file")"
    touch "$file"
    if grep -q "^\[$group\]" "$file"; then
        sed -i "/^\[$group\]/,/^\[/{/^$key=/d}" "$file"
        sed -i "/^\[$group\]/a $key=$value" "$file"
    else
        printf '\n[%s]\n%s=%s\n' "$group" "$key" "$value" >>"$file"
    fi
}
start_client
key() { xdotool key --clearmodifiers "$@"; }
type_text() { xdotool type --delay 20 "$*"; }
click() { xdotool mousemove --window "$win" "$1" "$2" click 1; }
pause() { sleep "$1"; }
shot() { import -window "$win" "$out/$1.png"; echo "  $1.png"; }

# The window is 1180 x 720 on this display: a 44-pixel title bar, then the
# 84-pixel navigation rail and the page.
nav() {
    case $1 in
        home) click 42 90 ;; locations) click 42 158 ;; protocol) click 42 226 ;; settings) click 42 294 ;; account) click 42 362 ;;
        inbox) click 42 430 ;; plans) click 42 498 ;; support) click 42 674 ;;
    esac
    pause 1
}
# A session of the stand-in for an address, as a browser's sign-in makes one:
# the code it mails, traded for a token.
session_token() {
    local before ca="$(dirname "$0")/../tools/backend/certs/ca.pem" base=https://testapi.kelvra.test:8443/api
    # The headers the stand-in expects of every client.
    local headers=(-H 'Content-Type: application/json' -H 'Accept: application/json'
                   -H 'X-App-Version: 3.7.8' -H 'X-Platform: windows')
    before=$(codes_mailed)
    curl -s --cacert "$ca" "${headers[@]}" -d "{\"email\":\"$1\"}" "$base/auth/get-login-code" >/dev/null
    wait_for_code "$before"
    curl -s --cacert "$ca" "${headers[@]}" -d "{\"email\":\"$1\",\"code\":\"$(mailed_code)\"}" \
        "$base/auth/code-login" | sed -n 's/.*"token":"\([^"]*\)".*/\1/p' | sed 's/|/%7C/'
}
# Hands a link to the running client as the desktop does: a second start.
open_link() { "$bin/kelvra" "$1" >>"$out/client.log" 2>&1; pause 1.5; }
mailed_code() { sed -n 's/^Sign-in code for .*: \([0-9]\{6\}\)$/\1/p' "$out/backend.log" | tail -n1; }
codes_mailed() { grep -c '^Sign-in code for ' "$out/backend.log" || true; }
# Waits for a code newer than the ones counted before the request.
wait_for_code() {
    local before=$1
    for _ in $(seq 50); do [ "$(codes_mailed)" -gt "$before" ] && return 0; sleep 0.2; done
    echo "The backend stand-in printed no sign-in code" >&2
    return 1
}

sign_in() {
    local before
    before=$(codes_mailed)
    type_text "$1"
    key Return
    wait_for_code "$before"
    pause 1
    type_text "$(mailed_code)"
    pause 3
}

# Let the first frames settle (fonts, the first replies) before the first picture.
pause 2
shot signin

# Links: one the backend refuses says why; a browser's hand-back the client
# didn't ask for waits for a yes (Escape says no).
open_link "kelvra://login?code=nosuchcode"
shot signin-link-failed
key Return
pause 0.5
open_link "kelvra-fiddle://$(session_token browser.user@example.com)?state=unasked"
shot signin-link-confirm
key Escape
pause 0.5

# A wrong address, then the right one; a wrong code, then the mailed one.
type_text "not-an-address"
key Return
pause 0.5
shot signin-invalid-email
key ctrl+a
before=$(codes_mailed)
type_text "new.user@example.com"
key Return
wait_for_code "$before"
pause 1
shot signin-code
type_text "000000"
pause 1.5
shot signin-wrong-code
type_text "$(mailed_code)"
pause 3
# The welcome cards after the first sign-in; Enter moves on.
shot onboarding-1
key Return
pause 0.3
shot onboarding-2
key Return
pause 0.3
shot onboarding-3
key Return
pause 0.5
shot home-disconnected
# The backend's welcome message above the page: dismissed.
click 1122 86
pause 0.5

# Connect, and the connected screen.
click 446 336
shot home-connecting
pause 6
shot home-connected

# The list: as it opens, a location opened, a search, the empty favourites.
nav locations
shot locations
click 600 217
pause 0.5
shot locations-expanded
click 1000 96
type_text "London"
pause 0.8
shot locations-search
# Switching while connected: the search leaves one row, London.
click 600 217
pause 0.5
shot home-switching
pause 6
shot home-switched
nav locations
click 1000 96
key ctrl+a BackSpace
click 519 148
pause 0.5
shot locations-favourites-empty

nav protocol
shot protocol
click 600 366
pause 0.5
shot protocol-disconnect-first
key Escape
pause 0.5

nav settings
shot settings-connection
click 271 136
pause 0.5
shot settings-privacy
click 352 136
pause 1
shot settings-apps
click 422 136
pause 0.5
shot settings-app
click 360 492
pause 0.5
shot settings-log

nav account
pause 1
shot account
# A link for another account asks before switching.
open_link "kelvra-fiddle://$(session_token other.user@example.com)?state=unasked"
shot account-link-switch
key Escape
pause 0.5

# The inbox with its one-time message, the plans, support and a speed test.
nav inbox
pause 1.5
shot inbox-message
key Escape
pause 0.5
shot inbox
nav plans
pause 1.5
shot plans
click 1122 86
pause 0.5
nav support
pause 1
shot support
click 1050 588
pause 1
shot speedtest
click 632 559
pause 0.4
shot speedtest-running
pause 6
shot speedtest-done

nav home
click 446 336
pause 3
shot home-disconnected-again

# An error: AmneziaWG chosen, then a location without it.
nav protocol
click 600 528
pause 0.5
nav locations
click 146 148
pause 0.5
click 600 217
pause 0.5
nav home
shot home-error
nav protocol
click 600 192
pause 0.5

# Signing out, with its question.
nav account
click 174 450
pause 0.5
shot account-sign-out
key Return
pause 2
shot signin-signed-out
# Single sign-on: the browser is sent to the provider (none opens here).
click 498 539
pause 1
shot signin-browser

# The light theme, from the stored choice.
stop_client
set_setting Appearance dark false
start_client
pause 2
shot light-signin
sign_in "light@example.com"
shot light-home
nav locations
pause 1
shot light-locations
nav protocol
shot light-protocol
nav account
pause 1
shot light-account
# A server with fewer protocols: the protocol page marks what it lacks.
nav locations
click 146 148
pause 0.5
click 600 217
pause 1
nav protocol
shot light-protocol-limited

# The update notice: a backend that offers an update (the client's own
# program stands in for the installer), a fresh sign-in, the strip on the
# home page; pressing Update downloads and checks it, and the hand-over fails
# here (no elevation on this display). Then a required update.
restart_backend_offering() {
    kill "${pids[0]}" 2>/dev/null || true
    mkdir -p "$out/offer"
    cp "$bin/kelvra" "$out/offer/Kelvra-3.7.9-setup.exe"
    "$bin/kelvra-backend-standin" --update-offer "$out/offer/Kelvra-3.7.9-setup.exe" --update-type "$1" \
        >>"$out/backend.log" 2>&1 &
    pids[0]=$!
    sleep 1
}
stop_client
set_setting Appearance dark true
restart_backend_offering optional
start_client
pause 2
sign_in "update@example.com"
pause 2
shot home-update-available
click 990 100
pause 4
shot home-update-failed
stop_client
restart_backend_offering mandatory
start_client
pause 2
sign_in "required@example.com"
pause 2
shot home-update-required

# Kelvra Setup in each preview mode.
setup_shot() {
    local name=$1
    shift
    "$bin/kelvra-setup" "$@" >>"$out/setup.log" 2>&1 &
    local setup=$!
    local swin
    swin=$(timeout 20 xdotool search --sync --onlyvisible --name '^Kelvra Setup$' | head -n1) || true
    if [ -n "$swin" ]; then
        sleep "${SETUP_PAUSE:-1.5}"
        import -window "$swin" "$out/$name.png"
        echo "  $name.png"
    else
        echo "Kelvra Setup's window did not appear for $name" >&2
    fi
    kill "$setup" 2>/dev/null || true
    wait "$setup" 2>/dev/null || true
}
for demo in welcome options permission done error cancel installed update; do
    setup_shot "setup-$demo" --demo "$demo"
done
SETUP_PAUSE=4 setup_shot setup-installing --demo installing
SETUP_PAUSE=5.5 setup_shot setup-flow --demo flow
setup_shot setup-welcome-linux --demo welcome --os linux
