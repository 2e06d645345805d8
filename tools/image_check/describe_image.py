#!/usr/bin/python3
"""Prints one line for each kernel image: format, machine, size, imports, version.

    describe_image.py IMAGE...
"""

import os
import sys

import pefile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_image  # noqa: E402

MACHINES = {0x014C: "i386", 0x8664: "x86-64"}
SUBSYSTEMS = {1: "native"}


def describe(path):
    pe = pefile.PE(path)
    kind = "PE32" if pe.OPTIONAL_HEADER.Magic == check_image.ARCHES["i386"].magic else "PE32+"
    machine = MACHINES.get(pe.FILE_HEADER.Machine, hex(pe.FILE_HEADER.Machine))
    subsystem = SUBSYSTEMS.get(pe.OPTIONAL_HEADER.Subsystem, "subsystem %d" % pe.OPTIONAL_HEADER.Subsystem)
    by_dll = {}
    for dll, _ in check_image.imports(pe):
        by_dll[dll] = by_dll.get(dll, 0) + 1
    imported = ", ".join("%d from %s" % (count, dll) for dll, count in by_dll.items()) or "none"
    versions = check_image.fixed_versions(pe)
    version = "version %s" % versions[0] if versions else "no version resource"
    return "%s: %s %s %s, %d bytes, imports %s, %s" % (
        path, kind, machine, subsystem, os.path.getsize(path), imported, version)


def main(argv):
    for path in argv:
        print("  " + describe(path))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
