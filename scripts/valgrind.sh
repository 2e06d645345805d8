#!/usr/bin/env bash
# `make valgrind`: every test program of an x86-64 host build under valgrind's
# memcheck, which fails a program on any memory error or definite leak.
#
#   valgrind.sh <host-build-dir>
set -uo pipefail
cd "$(dirname "$0")/.."
build=$1
failed=0
start=$SECONDS
while read -r program; do
    log="$build/valgrind-$(basename "$program").log"
    if valgrind --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite \
        --track-origins=yes --log-file="$log" "$program" --gtest_brief=1 >"$log.out" 2>&1; then
        echo "valgrind: $(basename "$program"): clean ($(grep -m1 'ERROR SUMMARY' "$log" | sed 's/^==[0-9]*== //'))"
    else
        echo "valgrind: $(basename "$program"): FAILED, see $log and $log.out"
        failed=1
    fi
done < <(bash scripts/test-programs.sh "$build")
echo "valgrind: done in $((SECONDS - start))s"
exit $failed
