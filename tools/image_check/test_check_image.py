#!/usr/bin/python3
"""Tests of check_image.py against small images built for the purpose.

    test_check_image.py --images DIR --arch {i386,amd64} --allowlist tiny.imports

DIR holds tiny_good.sys and its faulty variants, built for ARCH (see
tools/CMakeLists.txt).
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import types
import unittest

import pefile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import check_image  # noqa: E402

IMAGES = None
ALLOWLIST = None
ARCH = None
OTHER_ARCH = {"i386": "amd64", "amd64": "i386"}


def run_checker(image, *extra, arch=None):
    proc = subprocess.run([sys.executable, os.path.join(HERE, "check_image.py"), image, "--arch", arch or ARCH,
                           "--allowlist", ALLOWLIST] + list(extra), capture_output=True, text=True)
    return proc.returncode, proc.stdout + proc.stderr


def image(name):
    return os.path.join(IMAGES, name + ".sys")


class BuiltImages(unittest.TestCase):
    def assertRejected(self, name, *phrases, extra=()):
        code, out = run_checker(image(name), *extra)
        self.assertEqual(code, 1, out)
        for phrase in phrases:
            self.assertIn(phrase, out)

    def test_good_image_passes_every_check(self):
        code, out = run_checker(image("tiny_good"), "--product-name", "tinydrv")
        self.assertEqual(code, 0, out)
        self.assertIn("ok", out)

    def test_image_of_the_other_architecture_is_rejected(self):
        code, out = run_checker(image("tiny_good"), arch=OTHER_ARCH[ARCH])
        self.assertEqual(code, 1, out)
        self.assertIn("machine is", out)
        self.assertIn("optional header magic", out)

    def test_unlisted_kernel_routine_is_named(self):
        self.assertRejected("tiny_unlisted", "KeQueryTimeIncrement", "not in the allowlist")

    def test_routine_from_another_dll_is_named(self):
        self.assertRejected("tiny_foreign", "GetTickCount", "KERNEL32.dll")

    def test_win32_subsystem_is_rejected(self):
        self.assertRejected("tiny_win32", "subsystem is 2")

    def test_missing_version_resource_is_rejected(self):
        self.assertRejected("tiny_noversion", "no version resource")

    def test_wrong_product_name_is_rejected(self):
        self.assertRejected("tiny_good", "ProductName is 'tinydrv'", extra=("--product-name", "other"))

    def test_image_without_banners_fails_the_banner_check(self):
        self.assertRejected("tiny_good", "LOADED", "UNLOADED", "build date", extra=("--banner-strings",))


class PatchedImages(unittest.TestCase):
    """Faults the linker never produces, patched into copies of the good image."""

    def setUp(self):
        self.dir = tempfile.mkdtemp()
        self.path = os.path.join(self.dir, "patched.sys")
        shutil.copy(image("tiny_good"), self.path)

    def tearDown(self):
        shutil.rmtree(self.dir)

    def patch(self, change, fix_checksum=True):
        pe = pefile.PE(self.path)
        change(pe)
        if fix_checksum:
            pe.OPTIONAL_HEADER.CheckSum = pe.generate_checksum()
        data = pe.write()
        pe.close()
        with open(self.path, "wb") as f:
            f.write(data)

    def errors(self):
        arch = check_image.ARCHES[ARCH]
        return check_image.check(self.path, check_image.read_allowlist(ALLOWLIST, ARCH), arch)

    def test_stale_and_zero_checksums_are_rejected(self):
        def bump(pe):
            pe.OPTIONAL_HEADER.CheckSum += 1
        self.patch(bump, fix_checksum=False)
        self.assertTrue(any("does not match" in e for e in self.errors()), self.errors())

        def clear(pe):
            pe.OPTIONAL_HEADER.CheckSum = 0
        self.patch(clear, fix_checksum=False)
        self.assertTrue(any("checksum is zero" in e for e in self.errors()), self.errors())

    def test_image_without_relocations_is_rejected(self):
        def strip(pe):
            entry = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]]
            entry.VirtualAddress = 0
            entry.Size = 0
        self.patch(strip)
        self.assertEqual(self.errors(), ["no base relocations"])

    def test_x64_image_without_unwind_data_is_rejected(self):
        if ARCH != "amd64":
            self.skipTest("unwind data is checked on x64 images only")

        def strip(pe):
            entry = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_EXCEPTION"]]
            entry.VirtualAddress = 0
            entry.Size = 0
        self.patch(strip)
        self.assertEqual(len(self.errors()), 1, self.errors())
        self.assertIn("no unwind data", self.errors()[0])

    def test_tls_and_delay_imports_are_rejected(self):
        def add(pe):
            for name in ("IMAGE_DIRECTORY_ENTRY_TLS", "IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT"):
                entry = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY[name]]
                entry.VirtualAddress, entry.Size = 0x1000, 0x18
        self.patch(add)
        errors = self.errors()
        self.assertTrue(any("thread-local storage" in e for e in errors), errors)
        self.assertTrue(any("delay-load imports" in e for e in errors), errors)

    def test_entry_point_outside_code_is_rejected(self):
        def move(pe):
            pe.OPTIONAL_HEADER.AddressOfEntryPoint = pe.OPTIONAL_HEADER.DATA_DIRECTORY[2].VirtualAddress
        self.patch(move)
        self.assertTrue(any("not in an executable section" in e for e in self.errors()), self.errors())


def fake_pe(*dlls):
    """An object with the import table shape check_imports reads: (dll, [names])..."""
    entries = [types.SimpleNamespace(dll=dll.encode(), imports=[
        types.SimpleNamespace(name=n.encode() if n else None, ordinal=7) for n in names]) for dll, names in dlls]
    return types.SimpleNamespace(DIRECTORY_ENTRY_IMPORT=entries)


class ImportRules(unittest.TestCase):
    allowed = {"KfAcquireSpinLock", "ExAcquireFastMutex", "IofCallDriver", "DbgPrint"}
    i386 = check_image.ARCHES["i386"]
    amd64 = check_image.ARCHES["amd64"]

    def test_dll_names_are_case_insensitive_and_modules_are_checked(self):
        ok = fake_pe(("HAL.dll", ["KfAcquireSpinLock"]), ("NTOSKRNL.EXE", ["IofCallDriver", "DbgPrint"]))
        self.assertEqual(check_image.check_imports(ok, self.allowed, self.i386), [])

        swapped = fake_pe(("ntoskrnl.exe", ["KfAcquireSpinLock"]), ("hal.dll", ["IofCallDriver"]))
        errors = check_image.check_imports(swapped, self.allowed, self.i386)
        self.assertEqual(len(errors), 2, errors)
        self.assertIn("KfAcquireSpinLock from ntoskrnl.exe, but on i386 it is exported by hal.dll", errors[0])

    def test_hal_routines_of_x86_come_from_the_kernel_on_x64(self):
        from_hal = fake_pe(("hal.dll", ["ExAcquireFastMutex"]))
        self.assertEqual(check_image.check_imports(from_hal, self.allowed, self.i386), [])
        errors = check_image.check_imports(from_hal, self.allowed, self.amd64)
        self.assertEqual(errors, ["imports ExAcquireFastMutex from hal.dll, but on amd64 it is exported by ntoskrnl.exe"])
        from_kernel = fake_pe(("ntoskrnl.exe", ["ExAcquireFastMutex"]))
        self.assertEqual(check_image.check_imports(from_kernel, self.allowed, self.amd64), [])

    def test_import_by_ordinal_is_rejected(self):
        errors = check_image.check_imports(fake_pe(("ntoskrnl.exe", [None])), self.allowed, self.i386)
        self.assertEqual(errors, ["imports #7 from ntoskrnl.exe by ordinal"])


class Allowlists(unittest.TestCase):
    def read(self, text, arch):
        with tempfile.NamedTemporaryFile("w", suffix=".imports", delete=False) as f:
            f.write(text)
        try:
            return check_image.read_allowlist(f.name, arch)
        finally:
            os.unlink(f.name)

    def test_names_marked_with_an_architecture_apply_to_it_alone(self):
        text = "# comment\nDbgPrint  # both\ni386: KfAcquireSpinLock\namd64:KeAcquireSpinLockRaiseToDpc\n"
        self.assertEqual(self.read(text, "i386"), {"DbgPrint", "KfAcquireSpinLock"})
        self.assertEqual(self.read(text, "amd64"), {"DbgPrint", "KeAcquireSpinLockRaiseToDpc"})
        with self.assertRaises(ValueError):
            self.read("arm64: DbgPrint\n", "i386")


class BannerStrings(unittest.TestCase):
    GOOD = (b"\x00" + b"\x00".join(check_image.BANNER_STRINGS) + b"\x00" + b"21:04:59\x00Dec  6 2026\x00")

    def test_all_strings_present(self):
        self.assertEqual(check_image.check_banner_strings(self.GOOD), [])

    def test_near_misses_are_rejected(self):
        cases = {
            b"LOADED \n\x00": b"LOADED\n\x00",  # blank before the line feed lost
            b"*" * 79 + b"\n\x00": b"*" * 80 + b"\n\x00",  # one asterisk too many
            b"Dec  6 2026": b"12/06/2026",  # date not in Mmm dd yyyy form
            b"21:04:59": b"9:04",
        }
        for good, bad in cases.items():
            with self.subTest(bad=bad):
                self.assertNotEqual(check_image.check_banner_strings(self.GOOD.replace(good, bad)), [])


def main():
    global IMAGES, ALLOWLIST, ARCH
    parser = argparse.ArgumentParser()
    parser.add_argument("--images", required=True)
    parser.add_argument("--allowlist", required=True)
    parser.add_argument("--arch", required=True, choices=sorted(OTHER_ARCH))
    args, rest = parser.parse_known_args()
    IMAGES, ALLOWLIST, ARCH = args.images, args.allowlist, args.arch
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
