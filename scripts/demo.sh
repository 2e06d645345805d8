#!/usr/bin/env bash
# `make demo`: the target build has produced the kernel images; show what they
# are, then bring them up in a fresh Wine prefix and show the port from a Win32
# program's side (wine/demo.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/target}
driver=$build/driver/zqevdodiag.sys

if [ ! -f "$driver" ]; then
    echo "demo: $driver not found; build the target first (make target)" >&2
    exit 1
fi

images=("$driver")
if [ -f "$build/modem_sim/zqmodemsim.sys" ]; then
    images+=("$build/modem_sim/zqmodemsim.sys")
fi

echo "Kernel images for 32-bit Windows 2000/XP:"
echo
/usr/bin/python3 tools/image_check/describe_image.py "${images[@]}"

echo "Image checks:"
/usr/bin/python3 tools/image_check/check_image.py "$driver" \
    --allowlist tools/image_check/zqevdodiag.imports --banner-strings --product-name zqevdodiag

echo
echo "In Wine (wine/demo.sh):"
bash wine/demo.sh "$build"
