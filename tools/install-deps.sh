#!/bin/sh
# Installs the Debian 12 packages that building, running and testing need (the screen-reader
# interface, AT-SPI, and a D-Bus session for the keyboard test among them); does nothing when
# they are all there. Uses sudo unless run as root.
set -eu

packages="cmake ninja-build g++ qt6-base-dev qt6-qpa-plugins qt6-wayland libqt6svg6
          fonts-dejavu-core xvfb xauth desktop-file-utils appstream lintian dpkg-dev file
          libglib2.0-dev pkg-config at-spi2-core dbus-daemon"

missing=""
for package in $packages; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $package"
    fi
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
    as_root=""
else
    as_root="sudo"
fi
echo "Installing:$missing"
$as_root apt-get update -q
$as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q $missing
