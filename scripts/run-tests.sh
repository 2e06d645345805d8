#!/usr/bin/env bash
# `make test`, after the builds: runs CTest in each build folder given, all of
# them even when one fails, and ends with one line per folder.
#
#   run-tests.sh <jobs> <build-dir>...
set -uo pipefail
cd "$(dirname "$0")/.."
jobs=$1
shift

if reason=$(bash scripts/runs-i386.sh); then
    echo "run-tests: this machine runs 32-bit programs: i386 host tests run natively, the 32-bit Wine test runs"
else
    echo "run-tests: no 32-bit programs here ($reason): i386 host tests run through qemu-i386-static," \
        "the 32-bit Wine test is skipped"
fi

summary=()
failed=0
for build in "$@"; do
    echo
    echo "==== $build ===="
    log=$(mktemp)
    start=$SECONDS
    ctest --test-dir "$build" --output-on-failure -j"$jobs" 2>&1 | tee "$log"
    rc=${PIPESTATUS[0]}
    line=$(grep -E 'tests passed|No tests were found' "$log" | tail -n 1)
    skipped=$(grep -cE '\*\*\*Skipped|Not Run' "$log")
    rm -f "$log"
    # CTest prints no output of a skipped test; its reason is in the log.
    grep -h '^SKIPPED:' "$build/Testing/Temporary/LastTest.log" 2>/dev/null | sed 's/^/run-tests: /'
    summary+=("$(printf '%-20s %s, %d skipped (%ds)' "$build" "${line:-no result}" "$skipped" $((SECONDS - start)))")
    [ "$rc" -eq 0 ] || failed=1
done

echo
echo "==== summary ===="
printf '%s\n' "${summary[@]}"
exit $failed
