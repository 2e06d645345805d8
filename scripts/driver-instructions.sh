#!/usr/bin/env bash
# The port driver's instructions per 4 KiB in the paths of
# bench/driver_paths.cpp, counted by callgrind in the optimised benchmark
# build (-O2), beside the instructions of one memcpy of 4 KiB in the same run.
# Only the pieces' moves are counted (client requests in the benchmark), and
# the count is split by image: the driver's own code and the copies it calls,
# then the kernel model (the kernel routines the driver calls, as the model
# implements them, and the model's scheduling) and the simulated modem.
# `make driver-instructions` builds the benchmark and runs this.
#
#   driver-instructions.sh <bench-build-dir>
set -euo pipefail
if [ $# -ne 1 ]; then
    sed -n '2,12p' "$0" >&2
    exit 2
fi
cd "$(dirname "$0")/.."
program=$1/bench/driver_bench
[ -x "$program" ] || { echo "driver-instructions: $program not built (make bench)" >&2; exit 2; }
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

count()
{
    local name=$1 filter=$2
    shift 2
    valgrind --tool=callgrind --collect-atstart=no --callgrind-out-file="$out/$name.out" \
        "$program" --benchmark_filter="$filter" --benchmark_min_time=0.001 >"$out/$name.log" 2>&1 ||
        { cat "$out/$name.log" >&2; exit 1; }
    python3 scripts/callgrind-split.py "$out/$name.out" "$@"
}

echo "driver-instructions: $(uname -m), load average $(cut -d' ' -f1-3 /proc/loadavg)"
copy=$(count memcpy '^Memcpy/1/0$' CopyPieces | sed 's/.* copy=\([0-9]*\).*/\1/')
copy_as_driver=$(count memcpy_as_driver '^Memcpy/1/1$' CopyPieces | sed 's/.* copy=\([0-9]*\).*/\1/')
echo "memcpy of 4 KiB: $copy instructions; as the driver's image binds it (memcpy@GLIBC_2.2.5): $copy_as_driver"
printf '%-34s %8s %8s %8s %8s %8s\n' "instructions per 4 KiB" "driver" "own" "copies" "model" "modem"
row()
{
    local label=$1
    shift
    local line
    line=$(count "$@")
    # key=value pairs into variables
    local pieces driver_own driver_copies driver_total model modem
    eval "$(tr ' ' '\n' <<<"$line" | grep -E '^[a-z_]+=[0-9]+$' | grep -v '^copy=')"
    printf '%-34s %8s %8s %8s %8s %8s\n' "$label" "$driver_total" "$driver_own" "$driver_copies" "$model" "$modem"
}
row "bulk-in into a waiting read" recv_read '^ReceiveIntoWaitingRead$'
row "bulk-in into the ring, no read" recv_ring '^ReceiveIntoRing$'
row "written piece" write '^WritePiece$'
row "ring in and out across the wrap" ring '^RingAcrossTheWrap$'
echo "driver: its own instructions plus the copies it calls; model: the kernel model's own instructions"
