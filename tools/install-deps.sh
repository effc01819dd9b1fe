#!/usr/bin/env bash
# Installs the Debian packages that building, testing and running need, and
# nothing when they are all there already.
set -euo pipefail

packages=(
    cmake g++ make pkg-config
    qt6-base-dev qt6-multimedia-dev
    # Qt's own dialogs and buttons in the user's language.
    qt6-translations-l10n
    libcurl4-openssl-dev libsqlite3-dev libcpp-httplib-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    # The test marketplace builds its compressed bomb with zlib.
    zlib1g-dev
    # The fuzz targets: libFuzzer and the sanitizers come with clang.
    clang libclang-rt-14-dev
    # The end-to-end test runs the real program in a virtual display and
    # hands addresses to a stand-in xdg-open; the font renders the Chinese UI.
    xvfb xauth xdg-utils fonts-wqy-zenhei
    # Notification tests start a session bus of their own (dbus-daemon).
    dbus
    # The benchmarks against a real web server start their own nginx (Debian
    # 12's nginx-light brings the nginx with the ssl and http2 modules).
    nginx-light
    # The round-trip benchmark makes a self-signed certificate for its HTTPS
    # server, and times the curl tool beside the worker.
    openssl curl
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed'; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=
[ "$(id -u)" -ne 0 ] && sudo=sudo
echo "Installing: ${missing[*]}"
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
