#!/usr/bin/env bash
# Installs the Debian 12 packages Kelvra builds, runs and tests with, and any
# further packages named on its command line.
set -euo pipefail
packages=(
    cmake g++ make pkg-config
    qt6-base-dev qt6-declarative-dev qt6-remoteobjects-dev qt6-5compat-dev qtkeychain-qt6-dev
    qml6-module-qtquick qml6-module-qtquick-controls qml6-module-qtquick-window qml6-module-qtquick-layouts
    qml6-module-qtquick-templates qml6-module-qtqml-workerscript qml6-module-qt5compat-graphicaleffects
    qml6-module-qttest qml6-module-qtquick-shapes qml6-module-qt-labs-settings qml6-module-qtqml-models
    libqt6svg6 libgl1-mesa-dev
    dbus gnome-keyring libfaketime xdg-utils
    iproute2 iputils-ping util-linux openvpn openssl libssl-dev
    libnghttp2-dev
    "$@"
)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
