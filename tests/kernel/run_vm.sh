#!/bin/sh
# Boots the test machine once and runs the kernel cases in it.
# Usage: run_vm.sh WORK KELSIM KELFLASH-CLI [PROGRAM]
#   WORK/cases     the cases, one a line (see guest_init.sh)
#   WORK/images/   the images they burn (the guest sees them in /images)
#   PROGRAM        one more program for the cases (in /usr/bin by its name)
# Leaves WORK/console.log (the guest's console) and WORK/results/<case>/.
# Exit status: 0 the machine ran every case, 77 the cases cannot run here
# (the reason on stdout), anything else a failure.
# KELFLASH_VM_CACHE: where the Debian packages are kept (default
# ~/.cache/kelflash/vm); KELFLASH_VM_TIMEOUT: seconds for the whole run
# (default 1500).
set -eu
work=$(cd "$1" && pwd)
kelsim=$2
cli=$3
extra=${4:-}
here=$(cd "$(dirname "$0")" && pwd)
cache=${KELFLASH_VM_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/kelflash/vm}

skip() {
    echo "kernel cases skipped: $*"
    exit 77
}

command -v qemu-system-x86_64 >/dev/null || skip "qemu-system-x86_64 not found (scripts/setup installs qemu-system-x86)"
[ -x /bin/busybox ] && busybox --list 2>/dev/null | grep -qx cpio &&
    ldd /bin/busybox 2>&1 | grep -q 'not a dynamic' ||
    skip "no static busybox (scripts/setup installs busybox-static)"
debs=$("$here/fetch_debs.sh" "$cache" 2>"$work/fetch.log") ||
    skip "the kernel or udev package cannot be had: $(tail -n 3 "$work/fetch.log" | tr '\n' ' ')"
kroot=$(echo "$debs" | sed -n 1p)
uroot=$(echo "$debs" | sed -n 2p)
kver=$(ls "$kroot/lib/modules")
kernel=$kroot/boot/vmlinuz-$kver

root=$work/root
rm -rf "$root" "$work/results" "$work/initrd.cpio" "$work/results.img"
mkdir -p "$root/bin" "$root/usr/bin" "$root/lib/modules" "$root/lib/systemd" "$root/etc/udev" \
    "$root/images" "$work/results"
cp /bin/busybox "$root/bin/busybox"
ln -s busybox "$root/bin/sh"
for m in kernel/drivers/usb/common/usb-common kernel/drivers/usb/core/usbcore \
    kernel/drivers/usb/gadget/udc/udc-core kernel/fs/configfs/configfs \
    kernel/drivers/usb/gadget/libcomposite kernel/drivers/usb/gadget/udc/dummy_hcd \
    kernel/drivers/usb/gadget/function/usb_f_fs kernel/drivers/virtio/virtio \
    kernel/drivers/virtio/virtio_ring kernel/drivers/virtio/virtio_pci_legacy_dev \
    kernel/drivers/virtio/virtio_pci_modern_dev kernel/drivers/virtio/virtio_pci \
    kernel/drivers/block/virtio_blk; do
    src=$kroot/lib/modules/$kver/$m.ko
    if [ -f "$src.xz" ]; then
        xz -dc "$src.xz" >"$root/lib/modules/$(basename "$m").ko"
    else
        cp "$src" "$root/lib/modules/$(basename "$m").ko"
    fi
done

# Programs with every library they load, at the paths they load them from.
copy_program() {  # copy_program SOURCE DEST
    cp "$1" "$root$2"
    ldd "$1" | sed -n 's/.*=> \(\/[^ ]*\) .*/\1/p; s/^[[:space:]]*\(\/[^ ]*\) .*/\1/p' |
        while read -r lib; do
            case "$lib" in
            /lib/* | /lib64/* | /usr/lib/*) dest=$lib ;;
            # A library of the build tree (found by run path): where the
            # loader looks by default.
            *) dest=/usr/lib/x86_64-linux-gnu/$(basename "$lib") ;;
            esac
            [ -e "$root$dest" ] && continue
            mkdir -p "$root$(dirname "$dest")"
            cp -L "$lib" "$root$dest"
        done
}
copy_program "$kelsim" /usr/bin/kelsim
copy_program "$cli" /usr/bin/kelflash-cli
[ -n "$extra" ] && copy_program "$extra" "/usr/bin/$(basename "$extra")"
copy_program "$uroot/bin/udevadm" /bin/udevadm
ln -s /bin/udevadm "$root/lib/systemd/systemd-udevd"
cp -r "$uroot/lib/udev" "$root/lib/udev"
[ -f "$uroot/etc/udev/udev.conf" ] && cp "$uroot/etc/udev/udev.conf" "$root/etc/udev/"
# udevd resolves the groups its rules name; unknown ones only cost a warning.
printf 'root:x:0:0:root:/:/bin/sh\n' >"$root/etc/passwd"
for g in root:0 tty:5 disk:6 lp:7 kmem:15 dialout:20 cdrom:24 tape:26 audio:29 video:44 \
    plugdev:46 input:101 kvm:102 render:103 sgx:104; do
    echo "${g%%:*}:x:${g#*:}:"
done >"$root/etc/group"
cp "$work/cases" "$root/cases"
cp "$work"/images/* "$root/images/"
cp "$here/guest_init.sh" "$root/init"
chmod 755 "$root/init"
(cd "$root" && find . | busybox cpio -o -H newc >"$work/initrd.cpio" 2>/dev/null)
# The results disk: the guest writes a tar archive from its start.
truncate -s 1G "$work/results.img"

# KVM only when a guest really runs on it: on a nested host /dev/kvm may open
# and the guest still never get going. The probe boots the kernel without a
# root file system; it panics (and QEMU ends) within a second on a working KVM.
accel=tcg
if [ -r /dev/kvm ] && [ -w /dev/kvm ] && [ "${KELFLASH_VM_ACCEL:-}" != tcg ]; then
    timeout -s KILL 15 qemu-system-x86_64 -accel kvm -cpu host -m 256 -nographic -no-reboot \
        -nodefaults -serial "file:$work/kvm-probe.log" -kernel "$kernel" \
        -append "console=ttyS0 panic=-1 root=/dev/kelflash-none" >/dev/null 2>&1 &&
        grep -q 'Kernel panic' "$work/kvm-probe.log" && accel=kvm
    rm -f "$work/kvm-probe.log"
fi
echo "kernel cases: $kver on QEMU ($accel)"
cpu=max
[ "$accel" = kvm ] && cpu=host
set +e
timeout -s KILL "${KELFLASH_VM_TIMEOUT:-1500}" qemu-system-x86_64 -accel "$accel" -cpu "$cpu" \
    -m 1024 -smp 2 -nographic -no-reboot -nodefaults -serial "file:$work/console.log" \
    -kernel "$kernel" -initrd "$work/initrd.cpio" \
    -append "console=ttyS0 panic=-1 loglevel=4 rdinit=/init" \
    -drive "file=$work/results.img,format=raw,if=virtio"
rc=$?
set -e
rm -rf "$root" "$work/initrd.cpio"
if [ $rc -ne 0 ]; then
    echo "kernel cases: QEMU ended with status $rc; the console:"
    tail -n 40 "$work/console.log"
    exit 1
fi
tar -xf "$work/results.img" -C "$work/results" 2>/dev/null || true
rm -f "$work/results.img"
if [ ! -f "$work/results/complete" ]; then
    echo "kernel cases: the machine did not finish; the console:"
    tail -n 40 "$work/console.log"
    exit 1
fi
grep 'kelvm:' "$work/console.log" || true
