#!/bin/sh
# The burner against a plain loop of the same transfers, on the kernel's own
# USB stack: one boot of the kernel cases' QEMU machine (tests/kernel/run_vm.sh)
# burns a one-component image of MiB (default 64) with kelflash-cli through
# "kelsim gadget", then sends the same component with usb_loop (the upgrade
# library's command functions in a bare loop) to a fresh "kelsim gadget". Both
# boards start in U-Boot; each command is timed alone inside the guest, from
# its start (the board's enumeration included) to its end.
#
# Usage: bench/kernel/kernel_bench.sh BUILD-DIR [MiB]
#   needs kelsim, kelflash-cli and usb_loop built in BUILD-DIR, and what the
#   kernel cases need (README); KELFLASH_VM_ACCEL=tcg to keep KVM out.
set -eu
build=$(cd "$1" && pwd)
mib=${2:-64}
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
work=$build/bench/kernel/vm
for p in sim/kelsim cli/kelflash-cli bench/kernel/usb_loop; do
    [ -x "$build/$p" ] || { echo "kernel_bench: $build/$p not built" >&2; exit 2; }
done

rm -rf "$work"
mkdir -p "$work/images" "$work/pack"
head -c "$((mib << 20))" /dev/urandom >"$work/pack/rootfs.bin"
cat >"$work/pack/manifest.json" <<JSON
{
  "platform": "KV7210", "product": "bench", "version": "1",
  "components": [
    {"name": "image.target.rootfs", "partition": "rootfs", "attributes": "burn",
     "file": "rootfs.bin"}
  ]
}
JSON
"$build/cli/kelflash-cli" pack "$work/pack/manifest.json" "$work/images/bench.img" >/dev/null
rm -rf "$work/pack"
# Generous limits: TCG moves a few MB/s.
limit=$((120 + mib * 10))
cat >"$work/cases" <<CASES
burner none $limit --stage uboot --quiet -- timed /images/bench.img --usb 1:1
loop none $limit --stage uboot --quiet -- timed run usb_loop 1:1 $mib
CASES
KELFLASH_VM_TIMEOUT=${KELFLASH_VM_TIMEOUT:-$((300 + 3 * limit))} \
    "$src/tests/kernel/run_vm.sh" "$work" "$build/sim/kelsim" "$build/cli/kelflash-cli" \
    "$build/bench/kernel/usb_loop" >"$work/run.log" 2>&1 || {
    echo "kernel_bench: the machine did not run the cases:" >&2
    cat "$work/run.log" >&2
    exit 1
}
head -n 1 "$work/run.log"

seconds() {  # seconds CASE: the command's own time, or nothing when it failed
    r=$work/results/$1
    if [ "$(cat "$r/status" 2>/dev/null)" != 0 ] || [ ! -f "$r/time" ]; then
        echo "kernel_bench: case $1 failed (status $(cat "$r/status" 2>/dev/null)):" >&2
        cat "$r/err.txt" "$r/out.json" >&2 2>/dev/null
        return 1
    fi
    if ! grep -q "^image.target.rootfs -> rootfs $((mib << 20)) .* complete" \
        "$r/dump/components.txt"; then
        echo "kernel_bench: the board of case $1 did not get the whole component" >&2
        return 1
    fi
    awk '$1 == "real" { print $2 }' "$r/time"
}
burner=$(seconds burner) || exit 1
loop=$(seconds loop) || exit 1
echo "$mib $burner $loop" | awk '{
    bytes = $1 * 1048576
    printf "%d MiB, one component, U-Boot board through usbfs and dummy_hcd\n", $1
    printf "burner (kelflash-cli burn)   %7.2f MB/s  (%.2f s)\n", bytes / 1e6 / $2, $2
    printf "plain loop (usb_loop)        %7.2f MB/s  (%.2f s)\n", bytes / 1e6 / $3, $3
    printf "ratio burner/loop            %7.3f  (goal >= 0.90)\n", $3 / $2
}'
rm -f "$work/images/bench.img"
