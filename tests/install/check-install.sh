#!/bin/sh
# Installs into a staging folder and builds the .deb, then checks what lands where: the program
# in /opt/zelvor-upload, the /usr/bin link to it, a valid desktop entry, the icon, and package
# dependencies found from the libraries the program links.
set -eu
build=$1
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

DESTDIR="$stage/root" cmake --install "$build" --prefix / >/dev/null
root="$stage/root"
[ -x "$root/opt/zelvor-upload/zelvor-upload" ] || fail "no program in /opt/zelvor-upload"
[ "$(readlink "$root/usr/bin/zelvor-upload")" = /opt/zelvor-upload/zelvor-upload ] ||
    fail "/usr/bin/zelvor-upload is not a link to the program"
desktop="$root/usr/share/applications/zelvor-upload.desktop"
[ -f "$desktop" ] || fail "no desktop entry"
desktop-file-validate "$desktop" || fail "desktop entry does not validate"
grep -q '^Exec=zelvor-upload$' "$desktop" || fail "desktop entry does not start the program"
[ -f "$root/usr/share/icons/hicolor/scalable/apps/zelvor-upload.svg" ] || fail "no icon"
extra=$(cd "$root" && find . -type f -o -type l | sort | grep -v -x -e ./opt/zelvor-upload/zelvor-upload \
    -e ./usr/bin/zelvor-upload -e ./usr/share/applications/zelvor-upload.desktop \
    -e ./usr/share/icons/hicolor/scalable/apps/zelvor-upload.svg || true)
[ -z "$extra" ] || fail "unexpected files installed: $extra"

(cd "$build" && cpack -B "$stage/package" >/dev/null) || fail "cpack failed"
deb=$(ls "$stage"/package/zelvor-upload_*_amd64.deb)
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
echo "$depends" | grep -q 'libqt6widgets6' || fail "package does not depend on Qt Widgets"
dpkg-deb -x "$deb" "$stage/deb"
[ -x "$stage/deb/opt/zelvor-upload/zelvor-upload" ] || fail "package lacks the program"
[ "$(readlink "$stage/deb/usr/bin/zelvor-upload")" = /opt/zelvor-upload/zelvor-upload ] ||
    fail "package lacks the /usr/bin link"
echo "install layout and package: ok"
