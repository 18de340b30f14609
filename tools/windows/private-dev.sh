#!/bin/sh
# Runs a command where /dev holds none of this machine's serial ports, so that Wine, which
# links com1, com2, ... to every /dev/ttyS*, ttyUSB* and ttyACM* it finds when it starts, never
# reaches one: a private mount namespace whose /dev is a small tmpfs with the few nodes Wine and
# Xvfb need, and pseudo-terminals of its own (a devpts instance of its own).
#   tools/windows/private-dev.sh COMMAND [ARG...]
set -eu
if [ "${ZELVOR_PRIVATE_DEV:-}" != 1 ]; then
    # As root a mount namespace of its own; otherwise inside a user namespace where this user
    # is root, which may mount as well.
    if [ "$(id -u)" -eq 0 ]; then
        exec env ZELVOR_PRIVATE_DEV=1 unshare -m --propagation private "$0" "$@"
    fi
    exec env ZELVOR_PRIVATE_DEV=1 unshare -r -m --propagation private "$0" "$@"
fi
dev=$(mktemp -d)
mount -t tmpfs -o mode=755 zelvor-dev "$dev"
for node in null zero full random urandom tty; do
    touch "$dev/$node"
    mount --bind "/dev/$node" "$dev/$node"
done
mkdir "$dev/pts" "$dev/shm"
mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts "$dev/pts"
ln -s pts/ptmx "$dev/ptmx"
mount --bind /dev/shm "$dev/shm"
ln -s /proc/self/fd "$dev/fd"
ln -s /proc/self/fd/0 "$dev/stdin"
ln -s /proc/self/fd/1 "$dev/stdout"
ln -s /proc/self/fd/2 "$dev/stderr"
mount --move "$dev" /dev
rmdir "$dev" 2>/dev/null || true
if ls /dev | grep -q -E '^tty(S|USB|ACM)'; then
    echo "private-dev.sh: a serial port is still in /dev; not going on" >&2
    exit 1
fi
exec "$@"
