#!/bin/sh
# Installs what tools/vm/test needs to boot Debian's kernel under QEMU (QEMU itself, busybox for
# the guest, cpio for its initramfs, python3 for the host's side). The kernel itself is
# downloaded, never installed.
set -eu
exec "$(dirname "$0")/../install-packages.sh" --no-recommends \
    qemu-system-x86 busybox-static cpio python3
