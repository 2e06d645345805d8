#!/usr/bin/env bash
# `make demo`: the target builds have produced the kernel images for i386 and
# for x64; show what they are, then bring each architecture up in a fresh Wine
# prefix where this machine can run it (64-bit Wine everywhere, 32-bit Wine
# where the kernel runs 32-bit programs) and show the port from a Win32
# program's side (wine/demo.sh).
#
#   demo.sh <target32-build-dir> <target64-build-dir>
set -uo pipefail
cd "$(dirname "$0")/.."
builds=("${1:-build/target32}" "${2:-build/target64}")
declare -A arch_of=(["${builds[0]}"]=i386 ["${builds[1]}"]=amd64)
declare -A title=([i386]="32-bit Windows 2000/XP (i386)" [amd64]="x64 Windows (AMD64)")

images=()
for build in "${builds[@]}"; do
    for image in "$build/driver/zqevdodiag.sys" "$build/modem_sim/zqmodemsim.sys"; do
        if [ ! -f "$image" ]; then
            echo "demo: $image not found; build the targets first (make targets)" >&2
            exit 1
        fi
        images+=("$image")
    done
done

echo "Kernel images: the port driver and the simulated modem bus, for ${title[i386]} and ${title[amd64]}"
echo
/usr/bin/python3 tools/image_check/describe_image.py "${images[@]}"

echo "Image checks:"
rc=0
for build in "${builds[@]}"; do
    arch=${arch_of[$build]}
    /usr/bin/python3 tools/image_check/check_image.py "$build/driver/zqevdodiag.sys" --arch "$arch" \
        --allowlist tools/image_check/zqevdodiag.imports --banner-strings --product-name zqevdodiag || rc=1
    /usr/bin/python3 tools/image_check/check_image.py "$build/modem_sim/zqmodemsim.sys" --arch "$arch" \
        --allowlist tools/image_check/zqmodemsim.imports || rc=1
done

for build in "${builds[@]}"; do
    arch=${arch_of[$build]}
    echo
    if [ "$arch" = i386 ] && ! reason=$(bash scripts/runs-i386.sh); then
        echo "==== 32-bit Wine: not run on this machine ($reason) ===="
        continue
    fi
    if [ "$arch" = i386 ]; then
        echo "==== 32-bit Wine (/usr/lib/wine/wine), the i386 images (wine/demo.sh $build) ===="
    else
        echo "==== 64-bit Wine (/usr/lib/wine/wine64), the x64 images (wine/demo.sh $build) ===="
    fi
    bash wine/demo.sh "$build" || rc=1
done
exit $rc
