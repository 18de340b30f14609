#!/bin/sh
# Installs the Debian 12 packages that building, running and testing need (the screen-reader
# interface, AT-SPI, and a D-Bus session for the keyboard test among them); does nothing when
# they are all there. Uses sudo unless run as root.
set -eu
exec "$(dirname "$0")/install-packages.sh" \
    cmake ninja-build g++ qt6-base-dev qt6-qpa-plugins qt6-wayland libqt6svg6 \
    fonts-dejavu-core xvfb xauth desktop-file-utils appstream lintian dpkg-dev file \
    libglib2.0-dev pkg-config at-spi2-core dbus-daemon
