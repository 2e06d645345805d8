#!/usr/bin/env bash
# Whether this machine's kernel runs 32-bit (i386) programs. Exits 0 when it
# does; otherwise exits 1 and prints the reason on stdout. ZQ_NO_I386=1 forces
# the answer "no", so that the path taken on machines without 32-bit support
# (i386 host tests through qemu-i386-static, the 32-bit Wine test skipped) can
# be exercised anywhere.
set -u

if [ "${ZQ_NO_I386:-0}" = 1 ]; then
    echo "ZQ_NO_I386=1 is set"
    exit 1
fi
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
if ! echo 'int main(void) { return 0; }' | gcc -m32 -x c - -o "$dir/probe" 2>"$dir/err"; then
    echo "no 32-bit C compiler to build a probe ($(head -n 1 "$dir/err"))"
    exit 1
fi
if ! out=$("$dir/probe" 2>&1); then
    echo "the kernel cannot run a 32-bit program (${out##*probe: })"
    exit 1
fi
exit 0
