#!/bin/sh
# Installs what tools/vm/test needs to boot Debian's kernel under QEMU (QEMU itself, busybox for
# the guest, cpio for its initramfs, python3 for the host's side); does nothing when they are
# all there. Uses sudo unless run as root. The kernel itself is downloaded, never installed.
set -eu
packages="qemu-system-x86 busybox-static cpio python3"
missing=""
for package in $packages; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
        missing="$missing $package"
done
[ -z "$missing" ] && exit 0
as_root=""
[ "$(id -u)" -eq 0 ] || as_root="sudo"
echo "Installing:$missing"
$as_root apt-get update -q
$as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $missing
