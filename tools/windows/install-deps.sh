#!/bin/sh
# Installs the Debian 12 packages that the Windows build, its packages and its tests under Wine
# need; does nothing when they are all there. Uses sudo unless run as root.
set -eu
packages="cmake ninja-build g++ dpkg-dev qt6-base-dev qt6-base-dev-tools
          g++-mingw-w64-x86-64-posix mingw-w64-tools binutils-mingw-w64-x86-64
          wine64 wine fonts-wine xvfb xauth xdotool imagemagick nsis zip util-linux
          msitools wixl icoutils"
exec "$(dirname "$0")/../install-packages.sh" $packages
