#!/bin/sh
# /init of the test machine: loads the USB gadget stack on two dummy host
# controllers, then burns each case of /cases (one line each: NAME UDEVD
# SECONDS KELSIM-OPTIONS... -- BURN-OPTIONS...) with "kelsim gadget" serving
# the boards and kelflash-cli burning them through the kernel's USB stack, and
# writes every case's outcome to the results disk (/dev/vda, a tar archive).
# BURN-OPTIONS "run PROGRAM ARGS..." runs /usr/bin/PROGRAM ARGS instead of
# the burner (the benchmarks' plain loop); a leading "timed " times the command
# alone (without the gadget's set-up and dump) into the case's "time" file and
# keeps no burnt data.
/bin/busybox --install -s /bin
export PATH=/bin:/usr/bin:/sbin:/usr/sbin
mkdir -p /proc /sys /dev
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mkdir -p /dev/pts /run /tmp /out
mount -t devpts devpts /dev/pts
mount -t tmpfs run /run
mount -t tmpfs tmp /tmp

say() { echo "kelvm: $*" >/dev/console; }
end() {
    sync
    poweroff -f
    sleep 5
    echo o >/proc/sysrq-trigger
}

for m in usb-common usbcore udc-core configfs libcomposite virtio_ring virtio \
    virtio_pci_legacy_dev virtio_pci_modern_dev virtio_pci virtio_blk; do
    msg=$(insmod /lib/modules/$m.ko 2>&1) || say "module $m did not load: $msg"
done
insmod /lib/modules/dummy_hcd.ko num=2 || say "module dummy_hcd did not load"
insmod /lib/modules/usb_f_fs.ko || say "module usb_f_fs did not load"
mount -t configfs none /sys/kernel/config
say "up after $(cut -d' ' -f1 /proc/uptime) s; controllers: $(ls /sys/class/udc | tr '\n' ' ')"
i=0
while [ ! -b /dev/vda ] && [ $i -lt 50 ]; do sleep 0.1; i=$((i + 1)); done

udevd_pid=
while read -r name udevd seconds rest; do
    case "$name" in '' | '#'*) continue ;; esac
    dir=/out/$name
    mkdir -p "$dir"
    if [ "$udevd" = udevd ] && [ -z "$udevd_pid" ]; then
        /lib/systemd/systemd-udevd >"$dir/udevd.log" 2>&1 &
        udevd_pid=$!
        udevadm settle -t 10 2>/dev/null
    elif [ "$udevd" != udevd ] && [ -n "$udevd_pid" ]; then
        kill "$udevd_pid"
        wait "$udevd_pid" 2>/dev/null
        udevd_pid=
        rm -rf /run/udev
    fi
    rest=" $rest"  # so that " -- " is found when there are no simulator options
    kelsim_args=${rest%% -- *}
    burn_args=${rest#* -- }
    say "case $name (udevd: $udevd)"
    start=$(cut -d' ' -f1 /proc/uptime)
    timer=
    case "$burn_args" in
    'timed '*)
        timer="time -p -o $dir/time"
        burn_args=${burn_args#timed }
        ;;
    esac
    case "$burn_args" in
    'run '*) command="/usr/bin/${burn_args#run }" ;;
    *) command="/usr/bin/kelflash-cli burn $burn_args --json" ;;
    esac
    # shellcheck disable=SC2086
    timeout -s KILL "$seconds" /usr/bin/kelsim gadget --dump "$dir/dump" $kelsim_args -- \
        $timer $command >"$dir/out.json" 2>"$dir/err.txt"
    echo $? >"$dir/status"
    stop=$(cut -d' ' -f1 /proc/uptime)
    echo "$start $stop" | awk '{ printf "%.1f\n", $2 - $1 }' >"$dir/seconds"
    say "case $name: status $(cat "$dir/status") after $(cat "$dir/seconds") s"
    # A benchmark's burnt data would only crowd the next one out of memory;
    # components.txt still tells what arrived.
    [ -n "$timer" ] && rm -f "$dir"/dump/*.bin
    # Nothing of a case may be left for the next one.
    ls /sys/kernel/config/usb_gadget >"$dir/leftovers"
done </cases
[ -n "$udevd_pid" ] && kill "$udevd_pid"

echo done >/out/complete
if [ -b /dev/vda ]; then
    (cd /out && tar -cf /dev/vda .) && say "results written" || say "cannot write the results"
else
    say "no results disk"
fi
end
