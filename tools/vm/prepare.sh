#!/bin/sh
# Makes what the guest of tools/vm/test boots: Debian's own kernel (downloaded, never installed
# on this machine), the modules the tests load with their order, and an initramfs of
# busybox-static and tools/vm/init. Cached in $1 by kernel version, made again when this script
# or tools/vm/init changed in content; prints the folder last.
set -eu
cache=$1
here=$(cd "$(dirname "$0")" && pwd)
package=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
[ -n "$package" ] || { echo "SKIPPED: apt knows no linux-image-amd64" >&2; exit 77; }
version=${package#linux-image-}
out="$cache/$version"
# Keyed by what this script and the guest's init say, not by when they were written: a fresh
# clone reuses the cache, and never remakes it under a run that is using it.
stamp=$(cat "$here/prepare.sh" "$here/init" | cksum)
if [ -f "$out/.complete" ] && [ "$(cat "$out/.complete")" = "$stamp" ]; then
    echo "$out"
    exit 0
fi
rm -rf "$out"
mkdir -p "$out/debs"
(cd "$out/debs" && apt-get download "$package" kmod >/dev/null 2>&1) ||
    { echo "SKIPPED: cannot download $package" >&2; exit 77; }
for deb in "$out"/debs/*.deb; do
    case "$deb" in
    *kmod_*) dpkg-deb -x "$deb" "$out/kmod" ;;
    *) dpkg-deb -x "$deb" "$out/kernel" ;;
    esac
done
rm -rf "$out/debs"
ln -sf kmod "$out/kmod/bin/depmod"
ln -sf kmod "$out/kmod/bin/modprobe"
"$out/kmod/bin/depmod" -b "$out/kernel" "$version"
cp "$out/kernel/boot/vmlinuz-$version" "$out/bzImage"

# The modules each test needs, in the order they load; paths as the guest sees the tree.
modules="$out/kernel/lib/modules/$version"
order() {
    for module in "$@"; do
        "$out/kmod/bin/modprobe" -d "$out/kernel" -S "$version" --show-depends "$module" |
            awk '$1 == "insmod" {print $2}'
    done | awk '!seen[$0]++' | sed "s|^$modules/||"
}
root="$out/initramfs"
mkdir -p "$root/kf/bin" "$root/kf/modules" "$root/proc" "$root/sys" "$root/dev" "$root/tmp" \
    "$root/run" "$root/usr" "$root/etc" "$root/mnt"
cp /bin/busybox "$root/kf/bin/busybox"
for module in $(order virtio_pci 9pnet_virtio 9p); do
    cp "$modules/$module" "$root/kf/modules/"
    echo "/kf/modules/$(basename "$module")" >>"$root/kf/boot-modules"
done
order xhci_pci ftdi_sio >"$root/kf/ftdi-modules"
order cdc_acm dummy_hcd usb_f_acm g_serial libcomposite >"$root/kf/acm-modules"
order dummy_hcd gadgetfs ch341 pl2303 cp210x ftdi_sio >"$root/kf/chip-modules"
cp "$here/init" "$root/init"
chmod 755 "$root/init"
(cd "$root" && find . | cpio -o -H newc 2>/dev/null | gzip -1) >"$out/initrd.img"
echo "$stamp" >"$out/.complete"
echo "$out"
