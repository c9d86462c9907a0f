#!/bin/sh
# The Debian package made from this build tree: what it holds, what lintian says
# of it, and its programs run from an extraction into a folder of the test's own
# (never installed on this machine).
#   package_test.sh BUILD_DIR SOURCE_DIR
set -eu
build=$1
source=$2
wd=$(pwd)
fail() {
    echo "package_test: $*" >&2
    exit 1
}

rm -rf pkg root run xdg units
if ! cpack -G DEB -B "$wd/pkg" --config "$build/CPackConfig.cmake" >cpack.log 2>&1; then
    cat cpack.log
    fail "cpack could not build the package"
fi
deb=$(ls "$wd"/pkg/kelflash_*_*.deb)
cli=$(ls "$wd"/pkg/kelflash-cli_*_*.deb)

holds() { # package file...
    package=$1
    shift
    contents=$(dpkg-deb --contents "$package" | awk '{print $6}')
    for f in "$@"; do
        echo "$contents" | grep -qx "./$f" || fail "$(basename "$package") lacks /$f"
    done
}
holds "$cli" usr/bin/kelflash-cli usr/bin/kelsim usr/lib/udev/rules.d/70-kelflash.rules \
    usr/share/doc/kelflash-cli/copyright usr/share/doc/kelflash-cli/changelog.gz \
    usr/share/man/man1/kelflash-cli.1.gz usr/share/man/man1/kelsim.1.gz \
    usr/share/bash-completion/completions/kelflash-cli \
    usr/lib/systemd/system/kelflash-station@.service usr/libexec/kelflash/kelflash-station \
    usr/lib/udev/rules.d/71-kelflash-station.rules usr/share/doc/kelflash-cli/examples/station.conf
holds "$deb" usr/bin/KelFlash usr/bin/HostProbe usr/lib/kelflash/libKelUI.so.1 \
    usr/share/applications/kelflash.desktop usr/share/icons/hicolor/32x32/apps/kelflash.png \
    usr/share/doc/kelflash/copyright usr/share/doc/kelflash/changelog.gz \
    usr/share/man/man1/KelFlash.1.gz usr/share/man/man1/HostProbe.1.gz
for policy in "$source"/packaging/polkit/*.policy; do
    [ -e "$policy" ] || continue
    holds "$deb" "usr/share/polkit-1/actions/$(basename "$policy")"
done
dpkg-deb -f "$deb" Depends | grep -q "libqt5widgets5" || fail "no dependencies from the linked libraries"
dpkg-deb -f "$deb" Depends | grep -q "kelflash-cli (= " || fail "the window's package does not depend on the command line's"
# The station service's user is made by the command line's postinst.
dpkg-deb -f "$cli" Depends | grep -q "adduser" || fail "the command line's package does not depend on adduser"
dpkg-deb --ctrl-tarfile "$cli" | tar -t | grep -qx "./postinst" || fail "the command line's package has no postinst"
if dpkg-deb -f "$cli" Depends | grep -qE "libqt5(gui|widgets)"; then
    fail "the command line's package depends on a GUI library: $(dpkg-deb -f "$cli" Depends)"
fi

for package in "$deb" "$cli"; do
    lintian --tag-display-limit 0 "$package" >lintian.log 2>&1 || true
    if grep -q '^E:' lintian.log; then
        cat lintian.log
        fail "lintian reports errors for $(basename "$package")"
    fi
    if grep -qE 'no-manual-page|manpage' lintian.log; then
        cat lintian.log
        fail "lintian finds fault with the manual pages of $(basename "$package")"
    fi
done

dpkg -x "$cli" root
dpkg -x "$deb" root
[ "$(root/usr/bin/kelflash-cli --version)" = "kelflash-cli $(dpkg-deb -f "$deb" Version)" ] ||
    fail "kelflash-cli --version does not give the package's version"
status=0
root/usr/bin/kelsim >/dev/null 2>&1 || status=$?
[ "$status" -eq 2 ] || fail "kelsim without arguments ended with $status, not its usage status 2"
# Every program in /usr/bin has its page; man finds it in the package's folder
# and formats it without a warning.
for program in root/usr/bin/*; do
    name=$(basename "$program")
    page=$(MANPATH="$wd/root/usr/share/man" man -w "$name") ||
        fail "man finds no page for $name in the package"
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "$name(1) formats with warnings: $warnings"
done
MANPATH="$wd/root/usr/share/man" man -P cat kelflash-cli 2>/dev/null | grep -q "kelflash-station@" ||
    fail "kelflash-cli(1) does not describe the station service"

# The station's unit as systemd reads it, in a root of the package over this
# machine's system units (for the targets it names); any remark is a fault.
if systemd-analyze --version >/dev/null 2>&1 && [ -d /lib/systemd/system ]; then
    mkdir -p units/usr/lib/systemd
    cp -a /lib/systemd/system units/usr/lib/systemd/
    dpkg -x "$cli" units
    systemd-analyze verify --man=no --root="$wd/units" \
        units/usr/lib/systemd/system/kelflash-station@.service >verify.log 2>&1 || true
    if [ -s verify.log ]; then
        cat verify.log
        fail "systemd-analyze verify finds fault with kelflash-station@.service"
    fi
else
    echo "package_test: SKIPPED the unit check: systemd-analyze cannot run here (scripts/setup installs systemd)"
fi

# KelUI comes from the package, found through the run path.
ldd root/usr/bin/KelFlash | grep -q "libKelUI.so.1 => $wd/root/usr/bin/../lib/kelflash/" ||
    fail "KelFlash does not find the package's KelUI"
# The window starts as the menu entry starts it and keeps running, with its
# files in the user's data directory; without a PATH it finds no adb to start,
# so no adb server of this machine is touched.
exec_line=$(grep '^Exec=' root/usr/share/applications/kelflash.desktop | cut -d= -f2-)
program=${exec_line%% *}
arguments=${exec_line#"$program"}
mkdir run
status=0
(cd run && XDG_DATA_HOME="$wd/xdg" QT_QPA_PLATFORM=offscreen timeout 4 \
    env PATH=/nonexistent "$wd/root/usr/bin/$program" $arguments >../kelflash.log 2>&1) || status=$?
[ "$status" -eq 124 ] || {
    cat kelflash.log
    fail "KelFlash ended with $status instead of running"
}
ls xdg/KelFlash/log/KelFlash_log_* >/dev/null 2>&1 ||
    fail "KelFlash started from the menu wrote no log file in the user's data directory"
[ -z "$(ls run)" ] || fail "KelFlash started from the menu left files in its start folder"
echo "package_test: $(basename "$deb") and $(basename "$cli"): contents as expected, no lintian errors"
