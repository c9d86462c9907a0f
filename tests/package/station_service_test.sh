#!/bin/sh
# The burning station as a service: the options file becomes exactly the
# arguments it names, nothing in it is evaluated, a wrong file stops with
# status 2 and a message naming the line; and the station it starts burns a
# board under the simulator, reporting in plain lines as the journal gets them.
# (The unit itself is checked in the package, package_test.sh.)
#   station_service_test.sh CLI SIM SOURCE_DIR
set -eu
cli=$1
sim=$2
station=$3/packaging/systemd/kelflash-station
wd=$(pwd)
fail() {
    echo "station_service_test: $*" >&2
    exit 1
}
rm -rf fake e2e case.conf args err pwned*
mkdir fake e2e
# A kelflash-cli that writes down the arguments it was given, one a line.
cat >fake/kelflash-cli <<FAKE
#!/bin/sh
for a; do printf '%s\n' "\$a"; done >"$wd/args"
FAKE
chmod +x fake/kelflash-cli

sha=0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef
cr=$(printf '\r')
# name | exit status | the arguments joined with "|", or a piece of the message | the file
cases=$(cat <<CASES
minimal	0	burn|/srv/a.img|--watch	IMAGE=/srv/a.img
every key, blanks, comments, quotes, a CRLF line	0	burn|/srv/line 1.img|--watch|--parts|boot,rootfs|--retries|3|--verify|--check-crc|--sha256|$sha|--no-reboot|--count|5|-v	# station 1\n\n  IMAGE = "/srv/line 1.img"  \nPARTS='boot,rootfs'\nRETRIES=3\nVERIFY=yes\nCHECK_CRC=on\nSHA256=$sha\nREBOOT=no\nFORCE=false\nCOUNT=5$cr\nVERBOSE=1
values are never evaluated	0	burn|/srv/\$(touch pwned).img|--watch|--parts|\`touch pwned2\`;x|--retries|\$((1+1)) \$HOME	IMAGE=/srv/\$(touch pwned).img\nPARTS=\`touch pwned2\`;x\nRETRIES=\$((1+1)) \$HOME
an empty value leaves the option out	0	burn|/srv/a.img|--watch|--no-reboot	PARTS=\nIMAGE=/srv/a.img\nREBOOT=off\nVERIFY=
no last newline	0	burn|/srv/a.img|--watch|--force	IMAGE=/srv/a.img\nFORCE=yes\c
unknown key	2	case.conf:2: unknown key 'BAUD'	IMAGE=/srv/a.img\nBAUD=115200
key given twice	2	case.conf:3: IMAGE is given twice	IMAGE=/srv/a.img\n#\nIMAGE=/srv/b.img
not yes or no	2	case.conf:1: VERIFY takes yes or no, not 'maybe'	VERIFY=maybe\nIMAGE=/srv/a.img
relative image	2	IMAGE must be an absolute path, not 'a.img'	IMAGE=a.img
an image that would be an option	2	IMAGE must be an absolute path, not '--all'	IMAGE=--all
no image	2	case.conf: no IMAGE given	PARTS=boot
no KEY=VALUE	2	case.conf:1: not a KEY=VALUE line	/srv/a.img
CASES
)
tab=$(printf '\t')
printf "%s\n" "$cases" | while IFS=$tab read -r name want expected text; do
    rm -f args err
    printf %b "$text" >case.conf
    status=0
    PATH="$wd/fake:$PATH" sh "$station" "$wd/case.conf" 2>err || status=$?
    [ "$status" -eq "$want" ] || fail "$name: status $status, not $want ($(cat err))"
    if [ "$want" -eq 0 ]; then
        got=$(paste -sd'|' args)
        [ "$got" = "$expected" ] || fail "$name: arguments '$got', not '$expected'"
    else
        grep -qF -- "$expected" err || fail "$name: message '$(cat err)' lacks '$expected'"
        [ ! -e args ] || fail "$name: kelflash-cli was started"
    fi
done
[ ! -e pwned ] && [ ! -e pwned2 ] || fail "a value of the options file was run"
status=0
sh "$station" "$wd/missing.conf" 2>err || status=$?
[ "$status" -eq 2 ] && grep -qF "cannot read $wd/missing.conf" err ||
    fail "a missing options file: status $status, $(cat err)"

# The real thing: a station for one board, output to a file as to the journal.
yes "kelflash station spl" | head -c 16384 >e2e/spl.bin
yes "kelflash station rootfs" | head -c 300000 >e2e/rootfs.bin
cat >e2e/image.json <<'JSON'
{
    "platform": "KV7210", "product": "kv7210-evb", "version": "1.0",
    "media_type": "mmc", "media_id": "emmc0",
    "env": {"parts_mmc": "1m(spl),-(rootfs)"},
    "components": [
        {"name": "spl", "partition": "spl", "attributes": "run",
         "ram": "0x80000000", "file": "spl.bin"},
        {"name": "image.target.rootfs", "partition": "rootfs", "attributes": "burn",
         "file": "rootfs.bin"}
    ]
}
JSON
"$cli" pack e2e/image.json e2e/station.img >/dev/null
printf 'IMAGE=%s\nCOUNT=1\nVERIFY=yes\n' "$wd/e2e/station.img" >e2e/station.conf
status=0
"$sim" usb --quiet --dump "$wd/e2e/board" -- env PATH="$(dirname "$cli"):$PATH" \
    sh "$station" "$wd/e2e/station.conf" >e2e/out.log 2>&1 </dev/null || status=$?
[ "$status" -eq 0 ] || { cat e2e/out.log; fail "the station ended with $status"; }
cmp -s e2e/rootfs.bin e2e/board/rootfs.bin || fail "the board does not hold the image's rootfs"
grep -qE '^OK +1:4 +3/3 components' e2e/out.log ||
    { cat e2e/out.log; fail "no result line for the board"; }
grep -qx '1 board(s): 1 succeeded, 0 failed' e2e/out.log ||
    { cat e2e/out.log; fail "no summary line"; }
if grep -q "$(printf '[\r\033]')" e2e/out.log; then
    fail "terminal control characters in the station's output"
fi
echo "station_service_test: options file and station as expected"
