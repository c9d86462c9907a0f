#!/bin/sh
# The command-line programs run on a station without a display: none of them
# may need a GUI library. No program's run path may hold an empty entry, which
# the loader reads as the current directory.
#   gui_free_test.sh CLI_PROGRAM... [--gui GUI_PROGRAM...]
set -eu
status=0
gui_allowed=no
for program in "$@"; do
    if [ "$program" = --gui ]; then
        gui_allowed=yes
        continue
    fi
    dynamic=$(readelf -d "$program") || { echo "cannot read $program"; exit 1; }
    gui=$(echo "$dynamic" | grep NEEDED | grep -E 'libQt5(Gui|Widgets)|libKelUI|libX11|libxcb' || true)
    if [ $gui_allowed = no ] && [ -n "$gui" ]; then
        echo "$(basename "$program") needs a GUI library:"
        echo "$gui"
        status=1
    fi
    runpath=$(echo "$dynamic" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p')
    case ":$runpath:" in
    "::") ;;
    *::*) echo "$(basename "$program") has an empty run-path entry: [$runpath]"; status=1 ;;
    esac
done
exit $status
