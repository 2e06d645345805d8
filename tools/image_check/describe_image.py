#!/usr/bin/python3
"""Prints what a kernel image is: size, machine, subsystem, imports by DLL, version resource.

    describe_image.py IMAGE...
"""

import os
import sys

import pefile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_image  # noqa: E402

MACHINES = {0x014C: "i386", 0x8664: "x86-64", 0x01C0: "ARM", 0xAA64: "ARM64"}
SUBSYSTEMS = {1: "native (kernel mode)", 2: "Windows GUI", 3: "Windows console"}


def describe(path):
    pe = pefile.PE(path)
    machine = pe.FILE_HEADER.Machine
    subsystem = pe.OPTIONAL_HEADER.Subsystem
    kind = "PE32" if pe.OPTIONAL_HEADER.Magic == check_image.ARCHES["i386"].magic else "PE32+"
    print(path)
    print("  size:       %d bytes" % os.path.getsize(path))
    print("  format:     %s, machine %s, subsystem %s" % (
        kind, MACHINES.get(machine, hex(machine)), SUBSYSTEMS.get(subsystem, str(subsystem))))
    print("  checksum:   0x%08x" % pe.OPTIONAL_HEADER.CheckSum)
    by_dll = {}
    for dll, name in check_image.imports(pe):
        by_dll.setdefault(dll, []).append(name)
    for dll, names in by_dll.items():
        print("  imports from %s (%d):" % (dll, len(names)))
        for name in sorted(names):
            print("    %s" % name)
    strings = check_image.version_strings(pe) or {}
    versions = check_image.fixed_versions(pe)
    print("  version resource:")
    if versions:
        print("    file version:     %s" % versions[0])
        print("    product version:  %s" % versions[1])
    for key in ("FileDescription", "ProductName", "OriginalFilename", "InternalName"):
        if key in strings:
            print("    %-17s %s" % (key + ":", strings[key]))
    if not versions and not strings:
        print("    (none)")


def main(argv):
    for path in argv:
        describe(path)
        print()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
