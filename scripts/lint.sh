#!/usr/bin/env bash
# `make lint`: cppcheck and clang-tidy over the driver sources, with the flags of
# the host build (ZQ_KERNEL_MODEL, the kernel model's headers, -m64).
# Exit status non-zero on any finding.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${1:-build/host64}
db=$build/compile_commands.json
if [ ! -f "$db" ]; then
    echo "lint: $db not found; configure the host build first (make host64)" >&2
    exit 2
fi

# The driver's translation units as the host build compiles them.
mapfile -t sources < <(/usr/bin/python3 - "$db" "$root/driver/" <<'PY'
import json, os, sys
db, prefix = sys.argv[1], sys.argv[2]
seen = set()
for entry in json.load(open(db)):
    path = os.path.normpath(os.path.join(entry["directory"], entry["file"]))
    if path.startswith(prefix) and path not in seen:
        seen.add(path)
        print(path)
PY
)
if [ ${#sources[@]} -eq 0 ]; then
    echo "lint: no driver sources in $db" >&2
    exit 2
fi

status=0

echo "lint: cppcheck (${#sources[@]} files)"
# The model's headers are included so that macros and types resolve, but only
# findings in driver files count.
cppcheck --quiet --enable=warning,portability,performance --error-exitcode=1 --inline-suppr \
    --std=c++17 --language=c++ --platform=unix32 -j2 \
    -DZQ_KERNEL_MODEL=1 -I"$root" -I"$root/kernel_model/include" \
    --suppress=missingIncludeSystem --suppress='*:'"$root"'/kernel_model/*' \
    "${sources[@]}" || status=1

echo "lint: clang-tidy (${#sources[@]} files)"
# The kernel runs no global constructors; clang's own warnings catch any.
# clang-tidy's "N warnings generated." lines count warnings it then suppresses.
printf '%s\n' "${sources[@]}" |
    xargs -P2 -n4 clang-tidy --quiet -p "$build" \
        --extra-arg=-Wglobal-constructors --extra-arg=-Wexit-time-destructors \
        2> >(grep -v '^[0-9]* warnings\? generated\.$' >&2) ||
    status=1

if [ $status -eq 0 ]; then
    echo "lint: clean"
fi
exit $status
