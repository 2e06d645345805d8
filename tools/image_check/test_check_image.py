#!/usr/bin/python3
"""Tests of check_image.py against small images built for the purpose.

    test_check_image.py --images DIR --allowlist tiny.imports

DIR holds tiny_good.sys and its faulty variants (see tools/CMakeLists.txt).
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


def run_checker(image, *extra):
    proc = subprocess.run([sys.executable, os.path.join(HERE, "check_image.py"), image, "--allowlist", ALLOWLIST]
                          + list(extra), capture_output=True, text=True)
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
        return check_image.check(self.path, check_image.read_allowlist(ALLOWLIST))

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
    allowed = {"KfAcquireSpinLock", "IofCallDriver", "DbgPrint"}

    def test_dll_names_are_case_insensitive_and_modules_are_checked(self):
        ok = fake_pe(("HAL.dll", ["KfAcquireSpinLock"]), ("NTOSKRNL.EXE", ["IofCallDriver", "DbgPrint"]))
        self.assertEqual(check_image.check_imports(ok, self.allowed), [])

        swapped = fake_pe(("ntoskrnl.exe", ["KfAcquireSpinLock"]), ("hal.dll", ["IofCallDriver"]))
        errors = check_image.check_imports(swapped, self.allowed)
        self.assertEqual(len(errors), 2, errors)
        self.assertIn("KfAcquireSpinLock from ntoskrnl.exe, but on x86 it is exported by hal.dll", errors[0])

    def test_import_by_ordinal_is_rejected(self):
        errors = check_image.check_imports(fake_pe(("ntoskrnl.exe", [None])), self.allowed)
        self.assertEqual(errors, ["imports #7 from ntoskrnl.exe by ordinal"])


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
    global IMAGES, ALLOWLIST
    parser = argparse.ArgumentParser()
    parser.add_argument("--images", required=True)
    parser.add_argument("--allowlist", required=True)
    args, rest = parser.parse_known_args()
    IMAGES, ALLOWLIST = args.images, args.allowlist
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
