#!/usr/bin/env bash
# `make demo`, once the target builds have produced the kernel images and the
# Win32 programs: describes and checks the four images, then brings the port
# up in every Wine this machine can run (the x64 images in a 64-bit prefix
# everywhere, the i386 images in a 32-bit one where the kernel runs 32-bit
# programs) and lets the demo client talk to it (wine/demo.sh). Exit code 0
# when every run worked.
#
#   demo.sh <target32-build-dir> <target64-build-dir>
set -uo pipefail
cd "$(dirname "$0")/.."
builds=("${2:-build/target64}" "${1:-build/target32}")
declare -A arch_of=(["${builds[0]}"]=amd64 ["${builds[1]}"]=i386)

# The four images, one line each, and their checks (silent when they pass).
echo "Kernel images: the port driver and the simulated modem bus, for x64 Windows and 32-bit Windows 2000/XP"
rc=0
for build in "${builds[@]}"; do
    arch=${arch_of[$build]}
    port=$build/driver/zqevdodiag.sys bus=$build/modem_sim/zqmodemsim.sys
    if [ ! -f "$port" ] || [ ! -f "$bus" ]; then
        echo "demo: the images of $build are missing; build the targets first (make targets)" >&2
        exit 1
    fi
    /usr/bin/python3 tools/image_check/describe_image.py "$port" "$bus" || rc=1
    /usr/bin/python3 tools/image_check/check_image.py "$port" --arch "$arch" \
        --allowlist tools/image_check/zqevdodiag.imports --banner-strings --product-name zqevdodiag >/dev/null || rc=1
    /usr/bin/python3 tools/image_check/check_image.py "$bus" --arch "$arch" \
        --allowlist tools/image_check/zqmodemsim.imports >/dev/null || rc=1
done
if [ $rc -ne 0 ]; then
    echo "demo: an image failed its checks (above)" >&2
    exit 1
fi
echo "  all four pass the image checks"

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
