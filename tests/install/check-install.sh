#!/bin/bash
# A plain install into a staging folder, then the Debian package, checked file by file: the
# program, a valid desktop entry, AppStream metadata and man page under /usr/local for the
# plain install; /opt/zelvor-upload with its /usr/bin link, the copyright file, dependencies
# and a clean lintian report for the package.
set -euo pipefail
build=$1
source=$(cd "$(dirname "$0")/../.." && pwd)
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

DESTDIR="$stage/plain" cmake --install "$build" --prefix /usr/local >/dev/null
root="$stage/plain/usr/local"
[ -x "$root/bin/zelvor-upload" ] || fail "no program in /usr/local/bin"
desktop-file-validate "$root/share/applications/zelvor-upload.desktop" ||
    fail "desktop entry does not validate"
grep -q '^Exec=zelvor-upload$' "$root/share/applications/zelvor-upload.desktop" ||
    fail "desktop entry does not start the program"
appstreamcli validate --no-net "$root/share/metainfo/org.zelvor.upload.metainfo.xml" >/dev/null ||
    fail "AppStream metadata does not validate"
[ -f "$root/share/icons/hicolor/scalable/apps/zelvor-upload.svg" ] || fail "no icon"
[ -f "$root/share/zelvor-upload/sample.DNL" ] || fail "no sample download file"
zcat "$root/share/man/man1/zelvor-upload.1.gz" >"$stage/man" || fail "the man page is not gzip"
grep -q '^\.TH ZELVOR-UPLOAD 1' "$stage/man" || fail "no man page"
written=$(cd "$stage/plain" && find . -type f -o -type l)
outside=$(printf '%s\n' "$written" | grep -v '^\./usr/local/' || true)
[ -z "$outside" ] || fail "a plain install wrote outside its prefix: $outside"

"$source/tools/package.sh" "$stage/package" >"$stage/package.log" || fail "tools/package.sh failed"
deb=$(tail -n 1 "$stage/package.log")
dpkg-deb -x "$deb" "$stage/deb"
[ -x "$stage/deb/opt/zelvor-upload/zelvor-upload" ] || fail "package lacks the program"
[ -f "$stage/deb/opt/zelvor-upload/sample.DNL" ] || fail "package lacks the sample beside the program"
[ "$(readlink "$stage/deb/usr/bin/zelvor-upload")" = /opt/zelvor-upload/zelvor-upload ] ||
    fail "package lacks the /usr/bin link"
grep -q '^License: MIT' "$stage/deb/usr/share/doc/zelvor-upload/copyright" || fail "no copyright"
depends=$(dpkg-deb -f "$deb" Depends)
for needed in libqt6widgets6 qt6-wayland libqt6svg6; do
    echo "$depends" | grep -q "$needed" || fail "package does not depend on $needed"
done
# lintian exits 1 for tags it fails on, which the report below shows, and 2 when it could not run.
linted=0
lintian "$deb" >"$stage/lintian" 2>&1 || linted=$?
[ "$linted" -le 1 ] || fail "lintian did not run: $(cat "$stage/lintian")"
report=$(grep -v 'root privileges' "$stage/lintian" || true)
[ -z "$report" ] || fail "lintian: $report"
echo "plain install, package and lintian: ok"
