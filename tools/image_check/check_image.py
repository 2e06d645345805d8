#!/usr/bin/python3
"""Checks that a built .sys image is one Windows will load as a kernel driver.

An i386 image must load on Windows 2000/XP; an amd64 image on x64 Windows of
the same family. Run with Debian's /usr/bin/python3, which sees the
python3-pefile package.

    check_image.py IMAGE --arch {i386,amd64} --allowlist FILE [--banner-strings] [--product-name NAME]

Exit code 0 when every check holds; 1 with one line per failed check otherwise;
2 when the image cannot be read at all.
"""

import argparse
import re
import sys

import pefile

SUBSYSTEM_NATIVE = 1
IMAGE_SCN_MEM_EXECUTE = 0x20000000

KERNEL_DLL = "ntoskrnl.exe"
HAL_DLL = "hal.dll"

# On x86 these are exported by HAL.dll, not by ntoskrnl.exe; an image that
# imports them from the wrong module fails to load.
HAL_ROUTINES_I386 = frozenset({
    "KfAcquireSpinLock",
    "KfReleaseSpinLock",
    "ExAcquireFastMutex",
    "ExReleaseFastMutex",
    "ExTryToAcquireFastMutex",
    "KeGetCurrentIrql",
    "KfRaiseIrql",
    "KfLowerIrql",
    "KeRaiseIrqlToDpcLevel",
    "KeStallExecutionProcessor",
    "KeQueryPerformanceCounter",
})
# On x64 the fast-mutex routines are ntoskrnl.exe exports, the spin-lock and
# IRQL ones are gone or inline, and only these few stay in HAL.dll.
HAL_ROUTINES_AMD64 = frozenset({
    "KeStallExecutionProcessor",
    "KeQueryPerformanceCounter",
})


class Arch:
    def __init__(self, name, machine, magic, hal_routines, format_name):
        self.name = name
        self.machine = machine
        self.magic = magic
        self.hal_routines = hal_routines
        self.format_name = format_name


ARCHES = {
    "i386": Arch("i386", 0x014C, 0x010B, HAL_ROUTINES_I386, "PE32"),
    "amd64": Arch("amd64", 0x8664, 0x020B, HAL_ROUTINES_AMD64, "PE32+"),
}

# The debug banners, as the driver's DbgPrint calls pass them. Each must appear
# as a whole NUL-terminated string.
ASTERISKS = b"*" * 79
BANNER_STRINGS = (
    b"VAREDOD(%s)  Time: %s  Date: %s LOADED \n",
    b"VAREDOD(%s)  Time: %s  Date: %s UNLOADED \n",
    ASTERISKS + b"\n",
    ASTERISKS + b"\n\n",
    b"Ver 1.0",
)
# The build time and date the banners print, in __TIME__ and __DATE__ form.
BUILD_TIME = re.compile(rb"(?<![0-9:])[0-2][0-9]:[0-5][0-9]:[0-5][0-9]\x00")
BUILD_DATE = re.compile(rb"(?<![A-Za-z])(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [ 1-3][0-9] [0-9]{4}\x00")


def read_allowlist(path, arch):
    """Routine names, one a line; '#' starts a comment. A name written as
    "i386: Name" or "amd64: Name" is allowed on that architecture only."""
    names = set()
    with open(path, encoding="ascii") as f:
        for number, line in enumerate(f, 1):
            text = line.split("#", 1)[0].strip()
            if not text:
                continue
            only, _, name = text.rpartition(":")
            only, name = only.strip(), name.strip()
            if only and only not in ARCHES:
                raise ValueError("%s:%d: unknown architecture %r" % (path, number, only))
            if not only or only == arch:
                names.add(name)
    return names


def imports(pe):
    """[(dll, name)] in import-table order; an import by ordinal is named "#N"."""
    result = []
    for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        dll = entry.dll.decode("ascii", "replace")
        for imp in entry.imports:
            if imp.name:
                name = imp.name.decode("ascii", "replace")
            elif imp.ordinal is not None:
                name = "#%d" % imp.ordinal
            else:
                name = None
            result.append((dll, name))
    return result


def version_strings(pe):
    """The version resource's string table as a dict, or None when the image has none."""
    strings = None
    for info in getattr(pe, "FileInfo", None) or []:
        for block in info:
            if getattr(block, "Key", b"") == b"StringFileInfo":
                strings = strings or {}
                for table in block.StringTable:
                    for key, value in table.entries.items():
                        strings[key.decode("utf-8", "replace")] = value.decode("utf-8", "replace")
    return strings


def fixed_versions(pe):
    """(file version, product version) from VS_FIXEDFILEINFO, as dotted text."""
    fixed = getattr(pe, "VS_FIXEDFILEINFO", None)
    if not fixed:
        return None
    f = fixed[0]

    def dotted(ms, ls):
        return "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)

    return dotted(f.FileVersionMS, f.FileVersionLS), dotted(f.ProductVersionMS, f.ProductVersionLS)


def check_headers(pe, arch):
    errors = []
    if pe.OPTIONAL_HEADER.Magic != arch.magic:
        errors.append("not a %s image (optional header magic 0x%x)" % (arch.format_name, pe.OPTIONAL_HEADER.Magic))
    if pe.FILE_HEADER.Machine != arch.machine:
        errors.append("machine is 0x%x, not %s (0x%x)" % (pe.FILE_HEADER.Machine, arch.name, arch.machine))
    if pe.OPTIONAL_HEADER.Subsystem != SUBSYSTEM_NATIVE:
        errors.append("subsystem is %d, not native (1)" % pe.OPTIONAL_HEADER.Subsystem)
    return errors


def check_relocations(pe):
    # The loader relocates every driver; an image without relocations can only
    # load at its preferred base, which a driver never gets.
    reloc = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]]
    blocks = getattr(pe, "DIRECTORY_ENTRY_BASERELOC", [])
    if reloc.VirtualAddress == 0 or reloc.Size == 0 or not any(b.entries for b in blocks):
        return ["no base relocations"]
    return []


def check_unsupported_directories(pe):
    # The kernel's image loader handles neither thread-local storage nor
    # delay-load imports; an image with either loads and then misbehaves.
    errors = []
    for name, what in (("IMAGE_DIRECTORY_ENTRY_TLS", "thread-local storage"),
                       ("IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT", "delay-load imports")):
        entry = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY[name]]
        if entry.VirtualAddress != 0 or entry.Size != 0:
            errors.append("has %s, which the kernel loader does not support" % what)
    return errors


def check_unwind_data(pe, arch):
    # x64 Windows unwinds kernel stacks (exceptions, bug checks, the debugger)
    # through the exception directory; a routine without an entry there
    # cannot be unwound.
    if arch.name != "amd64":
        return []
    entry = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_EXCEPTION"]]
    if entry.VirtualAddress == 0 or entry.Size == 0:
        return ["no unwind data (.pdata), which x64 Windows needs to unwind kernel stacks"]
    return []


def check_checksum(pe):
    stored = pe.OPTIONAL_HEADER.CheckSum
    if stored == 0:
        return ["PE checksum is zero (the kernel loader rejects drivers without one)"]
    computed = pe.generate_checksum()
    if stored != computed:
        return ["PE checksum 0x%08x does not match the image (0x%08x)" % (stored, computed)]
    return []


def check_entry_point(pe):
    rva = pe.OPTIONAL_HEADER.AddressOfEntryPoint
    if rva == 0:
        return ["no entry point"]
    section = pe.get_section_by_rva(rva)
    if section is None or not section.Characteristics & IMAGE_SCN_MEM_EXECUTE:
        return ["entry point 0x%x is not in an executable section" % rva]
    return []


def check_imports(pe, allowed, arch):
    errors = []
    for dll, name in imports(pe):
        where = dll.lower()
        if where not in (KERNEL_DLL, HAL_DLL):
            errors.append("imports %s from %s (only ntoskrnl.exe and HAL.dll are allowed)" % (name, dll))
            continue
        if name is None or name.startswith("#"):
            errors.append("imports %s from %s by ordinal" % (name or "?", dll))
            continue
        if name not in allowed:
            errors.append("imports %s from %s, which is not in the allowlist" % (name, dll))
        expected = HAL_DLL if name in arch.hal_routines else KERNEL_DLL
        if where != expected:
            errors.append("imports %s from %s, but on %s it is exported by %s" % (name, dll, arch.name, expected))
    return errors


def check_banner_strings(data):
    errors = []
    for text in BANNER_STRINGS:
        found = False
        for m in re.finditer(re.escape(text + b"\x00"), data):
            # A longer run of asterisks would print a different line.
            if not text.startswith(b"*") or m.start() == 0 or data[m.start() - 1:m.start()] != b"*":
                found = True
                break
        if not found:
            errors.append("banner string %r not found" % text.decode("ascii"))
    if not BUILD_TIME.search(data):
        errors.append("no build time (hh:mm:ss) string found")
    if not BUILD_DATE.search(data):
        errors.append("no build date (Mmm dd yyyy) string found")
    return errors


def check_version_resource(pe, product_name):
    strings = version_strings(pe)
    if strings is None:
        return ["no version resource"]
    errors = []
    if product_name is not None and strings.get("ProductName") != product_name:
        errors.append("version resource ProductName is %r, expected %r" % (strings.get("ProductName"), product_name))
    if "CompanyName" in strings:
        errors.append("version resource names a company (%r)" % strings["CompanyName"])
    return errors


def check(path, allowed, arch, banner_strings=False, product_name=None):
    """All failed checks of the image at path, as messages; empty when it passes."""
    with open(path, "rb") as f:
        data = f.read()
    pe = pefile.PE(data=data)
    errors = []
    errors += check_headers(pe, arch)
    errors += check_relocations(pe)
    errors += check_unsupported_directories(pe)
    errors += check_checksum(pe)
    errors += check_entry_point(pe)
    errors += check_unwind_data(pe, arch)
    errors += check_imports(pe, allowed, arch)
    errors += check_version_resource(pe, product_name)
    if banner_strings:
        errors += check_banner_strings(data)
    return errors


def main(argv=None):
    parser = argparse.ArgumentParser(description="Check a kernel driver image for Windows.")
    parser.add_argument("image")
    parser.add_argument("--arch", required=True, choices=sorted(ARCHES), help="architecture the image is for")
    parser.add_argument("--allowlist", required=True, help="file of importable routine names, one a line")
    parser.add_argument("--banner-strings", action="store_true", help="require the driver's debug banner strings")
    parser.add_argument("--product-name", help="ProductName the version resource must carry")
    args = parser.parse_args(argv)
    try:
        arch = ARCHES[args.arch]
        allowed = read_allowlist(args.allowlist, arch.name)
        errors = check(args.image, allowed, arch, args.banner_strings, args.product_name)
    except (OSError, ValueError, pefile.PEFormatError) as e:
        print("%s: cannot check: %s" % (args.image, e), file=sys.stderr)
        return 2
    for message in errors:
        print("%s: %s" % (args.image, message), file=sys.stderr)
    if errors:
        return 1
    print("%s: ok" % args.image)
    return 0


if __name__ == "__main__":
    sys.exit(main())
