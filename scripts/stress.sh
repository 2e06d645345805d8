#!/usr/bin/env bash
# `make stress`: the reliability campaign. For each host build given with its
# count: that many generated scenarios and the complete sweeps, shared among
# <jobs> processes. Prints every failure (its replay command and the shrunk
# scenario), a line per build, and last a line with the totals.
#
#   stress.sh <jobs> <scenarios> <host-build-dir> [<scenarios> <host-build-dir>]...
set -uo pipefail
cd "$(dirname "$0")/.."
jobs=$1
shift
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT

totals=()
while [ $# -ge 2 ]; do
    count=$1 build=$2
    shift 2
    emulator=()
    if [[ $build == *32* ]] && ! bash scripts/runs-i386.sh >/dev/null; then
        emulator=(/usr/bin/qemu-i386-static)
    fi
    start=$SECONDS
    for shard in $(seq 0 $((jobs - 1))); do
        "${emulator[@]}" "$build/tests/stress/stress_tests" --scenarios="$count" --sweeps --shard="$shard/$jobs" \
            >"$logs/$shard" 2>&1 &
    done
    wait
    grep -hv '^stress: ' "$logs"/* || true
    # stress: A generated scenarios, B allocation-failure cases, C modem-fault cases, D requests in E s: P passed, F failed
    line=$(cat "$logs"/* | grep -h '^stress: ' | awk -v s=$((SECONDS - start)) '
        { a += $2; b += $5; c += $8; d += $11; p += $16; f += $18 }
        END { printf "%d generated scenarios, %d allocation-failure cases, %d modem-fault cases, %d requests in %d s: %d passed, %d failed", a, b, c, d, s, p, f }')
    echo "stress $build: $line"
    totals+=("$line")
done
printf '%s\n' "${totals[@]}" | awk '
    { a += $1; b += $4; c += $7; d += $10; s += $13; p += $15; f += $17 }
    END { printf "stress: %d generated scenarios, %d allocation-failure cases, %d modem-fault cases, %d requests in %d s: %d passed, %d failed\n", a, b, c, d, s, p, f; exit f != 0 }'
