#!/usr/bin/env bash
# `make seeds`: every host test program of each build folder, once per seed
# (ZQ_SEED), two programs at a time. Ends with the failures, each with the
# command that repeats it, and exits non-zero when there was one.
#
#   seeds.sh <first>-<last> <host-build-dir>...
set -uo pipefail
cd "$(dirname "$0")/.."
range=$1
shift
first=${range%-*}
last=${range#*-}

runs=$(mktemp)
results=$(mktemp -d)
trap 'rm -rf "$runs" "$results"' EXIT
for build in "$@"; do
    bash scripts/test-programs.sh "$build" | while read -r program; do
        for seed in $(seq "$first" "$last"); do
            echo "$seed $program"
        done
    done
done >"$runs"

total=$(wc -l <"$runs")
echo "seeds: $total runs (seeds $first..$last over $*)"
start=$SECONDS
# One run: its output is kept only when it fails.
run_one()
{
    local seed=$1 program=$2 out
    out="$3/$(echo "$seed $program" | md5sum | cut -c1-16)"
    if ! ZQ_SEED=$seed "$program" --gtest_brief=1 >"$out" 2>&1; then
        echo "ZQ_SEED=$seed $program" >"$out.failed"
    else
        rm -f "$out"
    fi
}
export -f run_one
xargs -P 2 -L 1 bash -c 'run_one "$0" "$1" '"$results" <"$runs"

failures=$(cat "$results"/*.failed 2>/dev/null | sort -n)
echo "seeds: $total runs in $((SECONDS - start))s, $(echo -n "$failures" | grep -c .) failed"
if [ -n "$failures" ]; then
    echo "$failures" | sed 's/^/seeds: failed: /'
    exit 1
fi
