#!/bin/sh
# The command-line programs run on a station without a display: none of them
# may need a GUI library.
#   gui_free_test.sh PROGRAM...
set -eu
status=0
for program in "$@"; do
    gui=$(readelf -d "$program" | grep NEEDED | grep -E 'libQt5(Gui|Widgets)|libKelUI|libX11|libxcb' || true)
    if [ -n "$gui" ]; then
        echo "$(basename "$program") needs a GUI library:"
        echo "$gui"
        status=1
    fi
done
exit $status
