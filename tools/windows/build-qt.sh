#!/bin/bash
# Builds Qt 6 for 64-bit Windows (MinGW) from Debian's own qt6-base source into a cache folder
# outside the repository, once: about 30 minutes and 2 GB of memory on 2 cores, 66 MB installed.
# Later runs see the finished install and return at once. Prints the install's path last.
#
#   ZELVOR_WINDOWS_CACHE  the cache folder (default ~/.cache/zelvor-upload/windows)
#
# The Qt host tools (moc, rcc, uic) are the build machine's own Qt of the same version, so the
# source must match the installed qt6-base-dev: both come from Debian 12.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cache=${ZELVOR_WINDOWS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/zelvor-upload/windows}
install="$cache/qt"
if [ -f "$install/.complete" ]; then
    echo "$install"
    exit 0
fi

"$here/install-deps.sh"
as_root=""
[ "$(id -u)" -eq 0 ] || as_root="sudo"

mkdir -p "$cache"
# Installed Qt's CMake files name the toolchain file they were built with; the copy in the cache
# finds the install beside it.
cp "$here/mingw-toolchain.cmake" "$cache/mingw-toolchain.cmake"

work="$cache/qt-build"
finish() {
    cmake --build "$work/build" --parallel 2
    cmake --install "$work/build" --strip
    touch "$install/.complete"
    rm -rf "$work"
    echo "$install"
}
if [ -f "$work/build/build.ninja" ]; then
    finish # an earlier build was interrupted: it goes on where it stopped
    exit 0
fi
rm -rf "$work"
mkdir -p "$work"
cd "$work"
if ! apt-get source --only-source --download-only qt6-base >/dev/null 2>&1; then
    echo "Adding Debian's source packages to apt's sources"
    $as_root sh -c 'cat > /etc/apt/sources.list.d/zelvor-deb-src.sources' <<'SOURCES'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
    $as_root apt-get update -q
fi
apt-get source --only-source qt6-base >/dev/null
src=$(find "$work" -maxdepth 1 -type d -name 'qt6-base-*' -print -quit)
[ -n "$src" ] || { echo "apt-get source qt6-base gave no source folder" >&2; exit 1; }

# Each switch below was needed: Debian's tarball lacks 3rdparty/wintab (tablet events) and
# direct2d; DirectWrite 3 needs direct2d in QtGui; a Debian patch turns androiddeployqt on when
# cross-compiling; host libraries must not leak in (pkg-config, system_*). The rest is not used.
cmake -S "$src" -B "$work/build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$cache/mingw-toolchain.cmake" \
    -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$install" -DBUILD_SHARED_LIBS=ON \
    -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF \
    -DINPUT_opengl=no -DFEATURE_opengl=OFF -DFEATURE_vulkan=OFF \
    -DFEATURE_tabletevent=OFF -DFEATURE_direct2d=OFF -DFEATURE_directwrite3=OFF \
    -DFEATURE_androiddeployqt=OFF -DFEATURE_pkg_config=OFF \
    -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF -DFEATURE_system_harfbuzz=OFF \
    -DFEATURE_system_freetype=OFF -DFEATURE_system_png=OFF -DFEATURE_system_jpeg=OFF \
    -DFEATURE_system_doubleconversion=OFF \
    -DFEATURE_network=OFF -DFEATURE_sql=OFF -DFEATURE_dbus=OFF -DFEATURE_xml=OFF \
    -DFEATURE_printsupport=OFF -DFEATURE_concurrent=OFF -DFEATURE_zstd=OFF -DFEATURE_icu=OFF \
    -DFEATURE_glib=OFF -DFEATURE_testlib=ON
finish
