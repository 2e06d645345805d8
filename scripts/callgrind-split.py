#!/usr/bin/env python3
"""Splits a callgrind profile of bench/driver_paths.cpp by image: the port
driver's own instructions (the memset of its RtlZeroMemory included), the
copies it calls (memcpy and memmove), the kernel model and the simulated
modem, each per piece: per call of NotePiece, which the benchmark makes once
per 4 KiB piece.

The model switches between its contexts' stacks, which callgrind takes for
calls and returns it cannot match: inclusive costs across a switch are not
to be trusted, so only instructions by the routine that executes them (self
cost) are summed, and calls only where the callee cannot switch (the copies).

usage: callgrind-split.py <callgrind.out> [<caller of the yardstick's copies>]

Prints one line of key=value pairs; `copy` is the cost of the copies that
<caller> makes, per piece."""
import collections
import re
import sys

DRIVER, MODEM, MODEL = "zqevdodiag", "zqmodemsim", "libkm"
COPY = re.compile(r"(__)?mem(cpy|move).*")
FILL = re.compile(r"(__)?memset.*")  # the driver's RtlZeroMemory: its own work


def routine(name):
    """The bare routine name of a demangled one: no namespace, no arguments."""
    name = (name or "").replace("(anonymous namespace)::", "")
    return re.sub(r"\(.*$", "", name).split("::")[-1]


def parse(path):
    """Self cost per (object, function), and the calls: (caller object,
    caller, callee, count, inclusive cost)."""
    names = {"ob": {}, "fl": {}, "fn": {}}
    kind_of = {"ob": "ob", "cob": "ob", "fl": "fl", "fi": "fl", "fe": "fl", "cfi": "fl", "cfl": "fl",
               "fn": "fn", "cfn": "fn"}
    self_cost = collections.Counter()
    calls = []
    ob = fn = cfn = None
    pending_call = None
    for line in open(path, errors="replace"):
        m = re.match(r"^(ob|cob|fl|fi|fe|cfi|cfl|fn|cfn)=(?:\((\d+)\))?\s*(.*)$", line)
        if m:
            key, ident, text = m.groups()
            table = names[kind_of[key]]
            if ident is not None:
                if text:
                    table[ident] = text
                text = table.get(ident, "?")
            if key == "ob":
                ob = text
            elif key == "fn":
                fn = text
            elif key == "cfn":
                cfn = text
            continue
        m = re.match(r"^calls=(\d+)", line)
        if m:
            pending_call = int(m.group(1))
            continue
        m = re.match(r"^[+\-*]?\d*\s+(\d+)", line)
        if m is None or fn is None:
            continue
        cost = int(m.group(1))
        if pending_call is not None:
            calls.append((ob, fn, cfn, pending_call, cost))
            pending_call = None
        else:
            self_cost[(ob, fn)] += cost
    return self_cost, calls


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    self_cost, calls = parse(sys.argv[1])
    caller = sys.argv[2] if len(sys.argv) > 2 else None
    pieces = sum(count for _, _, cf, count, _ in calls if routine(cf) == "NotePiece")
    if pieces == 0:
        sys.exit("callgrind-split: no piece counted in %s" % sys.argv[1])
    by_image = collections.Counter()
    for (ob, _), cost in self_cost.items():
        by_image[next((i for i in (DRIVER, MODEM, MODEL) if i in (ob or "")), "other")] += cost
    copies = sum(cost for ob, _, cf, _, cost in calls if DRIVER in (ob or "") and COPY.fullmatch(routine(cf)))
    fills = sum(cost for ob, _, cf, _, cost in calls if DRIVER in (ob or "") and FILL.fullmatch(routine(cf)))
    yardstick = sum(cost for _, f, cf, _, cost in calls if routine(f) == caller and COPY.fullmatch(routine(cf)))
    values = {
        "pieces": pieces,
        "driver_own": (by_image[DRIVER] + fills) / pieces,
        "driver_copies": copies / pieces,
        "driver_total": (by_image[DRIVER] + fills + copies) / pieces,
        "model": by_image[MODEL] / pieces,
        "modem": by_image[MODEM] / pieces,
        "copy": yardstick / pieces,
    }
    print(" ".join("%s=%.0f" % (k, v) for k, v in values.items()))


main()
