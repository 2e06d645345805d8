#!/usr/bin/env bash
# The GoogleTest programs that CTest runs in a host build folder, one path a
# line: each runs its whole suite when started without a filter.
#
#   test-programs.sh <host-build-dir>
set -euo pipefail
ctest --test-dir "$1" --show-only=json-v1 | /usr/bin/python3 -c '
import json, sys
programs = set()
for test in json.load(sys.stdin)["tests"]:
    command = test.get("command") or []
    # Skip a cross-compiling emulator in front of the program.
    path = next((c for c in command if c.endswith("_tests")), None)
    if path:
        programs.add(path)
print("\n".join(sorted(programs)))
'
