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

rm -rf pkg root run xdg
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
    usr/share/doc/kelflash-cli/copyright usr/share/doc/kelflash-cli/changelog.gz
holds "$deb" usr/bin/KelFlash usr/bin/HostProbe usr/lib/kelflash/libKelUI.so.1 \
    usr/share/applications/kelflash.desktop usr/share/icons/hicolor/32x32/apps/kelflash.png \
    usr/share/doc/kelflash/copyright usr/share/doc/kelflash/changelog.gz
for policy in "$source"/packaging/polkit/*.policy; do
    [ -e "$policy" ] || continue
    holds "$deb" "usr/share/polkit-1/actions/$(basename "$policy")"
done
dpkg-deb -f "$deb" Depends | grep -q "libqt5widgets5" || fail "no dependencies from the linked libraries"
dpkg-deb -f "$deb" Depends | grep -q "kelflash-cli (= " || fail "the window's package does not depend on the command line's"
if dpkg-deb -f "$cli" Depends | grep -qE "libqt5(gui|widgets)"; then
    fail "the command line's package depends on a GUI library: $(dpkg-deb -f "$cli" Depends)"
fi

for package in "$deb" "$cli"; do
    lintian --tag-display-limit 0 "$package" >lintian.log 2>&1 || true
    if grep -q '^E:' lintian.log; then
        cat lintian.log
        fail "lintian reports errors for $(basename "$package")"
    fi
done

dpkg -x "$cli" root
dpkg -x "$deb" root
[ "$(root/usr/bin/kelflash-cli --version)" = "kelflash-cli $(dpkg-deb -f "$deb" Version)" ] ||
    fail "kelflash-cli --version does not give the package's version"
status=0
root/usr/bin/kelsim >/dev/null 2>&1 || status=$?
[ "$status" -eq 2 ] || fail "kelsim without arguments ended with $status, not its usage status 2"
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
