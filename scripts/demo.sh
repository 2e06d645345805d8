#!/usr/bin/env bash
# `make demo`, once the target builds have produced the kernel images and the
# Win32 programs: brings the port up in every Wine this machine can run (the
# x64 images in a 64-bit prefix everywhere, the i386 images in a 32-bit one
# where the kernel runs 32-bit programs) and lets the demo client talk to it
# (wine/demo.sh). Exit code 0 when every run worked.
#
#   demo.sh <target32-build-dir> <target64-build-dir>
set -uo pipefail
cd "$(dirname "$0")/.."
builds=("${2:-build/target64}" "${1:-build/target32}")

rc=0
for build in "${builds[@]}"; do
    echo
    if [ "$build" = "${builds[0]}" ]; then
        echo "==== 64-bit Wine (/usr/lib/wine/wine64): the x64 images of $build ===="
    elif reason=$(bash scripts/runs-i386.sh); then
        echo "==== 32-bit Wine (/usr/lib/wine/wine): the i386 images of $build ===="
    else
        echo "==== 32-bit Wine: not run on this machine ($reason) ===="
        continue
    fi
    bash wine/demo.sh "$build" || rc=1
done
exit $rc
