#!/bin/bash
# The bash completion of kelflash-cli, as bash runs it when TAB is pressed:
# commands and options from the program's help, image files, and, with a
# simulated USB board and a serial board attached, their location and port.
#   kelsim usb --serial-boards 1 -- bash completion_test.sh CLI SOURCE_DIR
set -eu
cli=$1
source=$2
fail() {
    echo "completion_test: $*" >&2
    exit 1
}
[ -r /usr/share/bash-completion/bash_completion ] ||
    fail "bash-completion is not installed (scripts/setup installs it)"
set +eu
. /usr/share/bash-completion/bash_completion
. "$source/packaging/bash-completion/kelflash-cli"
set -eu
PATH=$(dirname "$cli"):$PATH

# The words bash would hand over for LINE (split at blanks, and around a colon
# as bash does; a LINE that ends in a blank completes an empty word), the
# completion's answers sorted on one line.
complete_line() { # LINE
    COMP_LINE=$1
    COMP_POINT=${#1}
    read -r -a COMP_WORDS <<<"${1//:/ : }"
    [[ $1 == *' ' ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    set +eu
    _kelflash_cli kelflash-cli "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    set -eu
    printf '%s\n' "${COMPREPLY[@]}" | sort | paste -sd' '
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
mkdir images
touch line1.img notes.txt images/line2.img
port=${KELSIM_SERIAL_PORTS%% *}
[ -n "$port" ] || fail "no serial board from kelsim (KELSIM_SERIAL_PORTS is empty)"

while IFS='|' read -r line expected; do
    got=$(complete_line "$line")
    [ "$got" = "$expected" ] || fail "'$line': '$got', not '$expected'"
done <<CASES
kelflash-cli bu|burn
kelflash-cli |burn card devices extract help info pack probe report
kelflash-cli help pr|probe
kelflash-cli burn --ver|--verify
kelflash-cli --ver|--verbose --version
kelflash-cli -v burn line1.img --ret|--retries
kelflash-cli card |format list write
kelflash-cli burn |images line1.img
kelflash-cli burn line1.img --usb |1:4
kelflash-cli probe --usb 1:|4
kelflash-cli probe --serial $port|$port
kelflash-cli burn line1.img --parts |
CASES
echo "completion_test: every case completed as expected"
