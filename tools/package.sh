#!/bin/sh
# Builds the Debian package in build-package/ (the /opt layout, without tests) and prints its
# path. Needs what tools/install-deps.sh installs.
set -eu
cd "$(dirname "$0")/.."
out=${1:-build-package}
cmake -S . -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELVOR_PACKAGE=ON \
    -DBUILD_TESTING=OFF >/dev/null
cmake --build "$out" --target zelvor-upload compressed-docs >/dev/null
(cd "$out" && cpack >/dev/null)
realpath "$out"/zelvor-upload_*_amd64.deb
