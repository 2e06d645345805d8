#!/usr/bin/env bash
# `make wine-bench`, once the target builds and pty_peer exist: the port
# driver on the simulated modem against Wine's own serial port on a
# pseudo-terminal, in every Wine this machine can run (the x64 images in a
# 64-bit prefix everywhere, the i386 images in a 32-bit one where the kernel
# runs 32-bit programs), each in one untraced session (wine/bench.sh). Ends
# with the tables of both together. Exit code 0 when every run worked.
#
#   wine-bench.sh <target32-build-dir> <target64-build-dir> <pty_peer> [bench_client options...]
set -uo pipefail
if [ $# -lt 3 ]; then
    sed -n '2,9p' "$0" >&2
    exit 2
fi
cd "$(dirname "$0")/.." || exit 2
builds=("$2" "$1")
peer=$3
shift 3
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT

echo "Wine benchmark: $(/usr/lib/wine/wine64 --version), $(nproc) processors, load average $(cut -d' ' -f1-3 /proc/loadavg)"
rc=0
names=()
for build in "${builds[@]}"; do
    echo
    if [ "$build" = "${builds[0]}" ]; then
        name="64-bit Wine, x64 images"
    elif reason=$(bash scripts/runs-i386.sh); then
        name="32-bit Wine, i386 images"
    else
        echo "==== 32-bit Wine: not run on this machine ($reason) ===="
        continue
    fi
    echo "==== $name of $build ===="
    names+=("$name")
    bash wine/bench.sh "$build" "$peer" "$@" | tee "$logs/${#names[@]}"
    [ "${PIPESTATUS[0]}" -eq 0 ] || rc=1
done

echo
echo "==== Summary (load average now $(cut -d' ' -f1-3 /proc/loadavg)) ===="
for i in "${!names[@]}"; do
    echo "${names[$i]}:"
    sed -n '/^bench: MiB\/s/,$p' "$logs/$((i + 1))" | grep -v '^wine-harness' | sed 's/^bench: /  /'
    grep '^bench: intact .*received' "$logs/$((i + 1))" | sed 's/^bench: /  /'
done
exit $rc
