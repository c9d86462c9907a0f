#!/bin/sh
# Fetches the Debian packages the guest is made of - the kernel that
# linux-image-amd64 names and the udev daemon - and unpacks each once into
# CACHE/<package>_<version>/ (kept between runs; an unfinished unpack is never
# taken for a finished one). Prints the unpacked directories: kernel, then udev.
# Usage: fetch_debs.sh CACHE
set -eu
cache=$1
mkdir -p "$cache"

fetch() {  # fetch PACKAGE -> prints the unpacked directory
    pkg=$1
    ver=$(apt-cache policy "$pkg" 2>/dev/null | sed -n 's/^ *Candidate: *//p')
    if [ -z "$ver" ] || [ "$ver" = "(none)" ]; then
        echo "fetch_debs: apt knows no package $pkg" >&2
        return 1
    fi
    dir="$cache/${pkg}_$(echo "$ver" | tr ':~+' '___')"
    if [ ! -f "$dir/.complete" ]; then
        rm -rf "$dir" "$dir.part"
        mkdir -p "$dir.part"
        (cd "$dir.part" && apt-get download -q "$pkg=$ver" >/dev/null 2>"$dir.part.log") || {
            echo "fetch_debs: cannot download $pkg $ver:" >&2
            cat "$dir.part.log" >&2
            rm -rf "$dir.part" "$dir.part.log"
            return 1
        }
        dpkg-deb -x "$dir.part"/*.deb "$dir.part/root"
        rm -f "$dir.part"/*.deb "$dir.part.log"
        mv "$dir.part" "$dir"
        touch "$dir/.complete"
    fi
    echo "$dir/root"
}

kpkg=$(apt-cache depends linux-image-amd64 2>/dev/null |
    sed -n 's/^ *Depends: *\(linux-image-[0-9][^ ]*-amd64\)$/\1/p' | head -n 1)
if [ -z "$kpkg" ]; then
    echo "fetch_debs: linux-image-amd64 names no kernel package (apt-get update?)" >&2
    exit 1
fi
fetch "$kpkg"
fetch udev
