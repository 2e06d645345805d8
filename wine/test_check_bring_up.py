#!/usr/bin/python3
"""Checks the bring-up judge on Wine logs of the shapes Wine 8 writes, so that a
wrong verdict in the smoke test cannot pass unnoticed."""
import os
import struct
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_bring_up  # noqa: E402

STARS = '*' * 79
BUS_BASE, PORT_BASE, OTHER_BASE = 0x6E800000, 0x62880000, 0x63140000


def pe_image(size):
    """The smallest header image_size() reads: MZ, e_lfanew, PE, COFF, SizeOfImage."""
    data = bytearray(512)
    data[0:2] = b'MZ'
    struct.pack_into('<I', data, 0x3C, 0x80)
    data[0x80:0x84] = b'PE\0\0'
    struct.pack_into('<I', data, 0x80 + 24 + 56, size)
    return bytes(data)


def dbg(tid, text):
    return f'{tid}:warn:debugstr:vDbgPrintExWithPrefix 00000000:00000001: {text}'


def good_log(port_status='0', banner=None):
    banner = banner or 'VAREDOD(Ver 1.0)  Time: 21:02:34  Date: Dec  6 2026 LOADED '
    return [
        f'0074:trace:loaddll:build_module Loaded L"C:\\\\windows\\\\system32\\\\drivers\\\\zqmodemsim.sys" at {BUS_BASE:08X}: native',
        '0074:trace:plugplay:wine_enumerate_root_devices Adding new root-enumerated device L"ROOT\\\\ZQMODEMSIM\\\\0000".',
        f'0074:trace:plugplay:load_function_driver Calling AddDevice routine {BUS_BASE + 0x1010:08X}.',
        f'0074:trace:plugplay:load_function_driver AddDevice routine {BUS_BASE + 0x1010:08X} returned 0.',
        '007c:trace:plugplay:enumerate_new_device Creating new device L"ZQMODEM\\\\DIAG\\\\0000".',
        f'007c:trace:loaddll:build_module Loaded L"C:\\\\windows\\\\system32\\\\drivers\\\\zqevdodiag.sys" at {PORT_BASE:08X}: native',
        dbg('007c', STARS), dbg('007c', banner), dbg('007c', STARS), '',
        f'007c:trace:plugplay:load_function_driver Calling AddDevice routine {PORT_BASE + 0x1010:08X}.',
        f'007c:trace:plugplay:load_function_driver AddDevice routine {PORT_BASE + 0x1010:08X} returned {port_status}.',
        f'0090:trace:plugplay:load_function_driver AddDevice routine {OTHER_BASE + 0x1A90:08X} returned 0.',
    ]


class JudgeTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.bus = os.path.join(self.dir.name, 'zqmodemsim.sys')
        self.port = os.path.join(self.dir.name, 'zqevdodiag.sys')
        for path in (self.bus, self.port):
            with open(path, 'wb') as f:
                f.write(pe_image(0x8000))

    def tearDown(self):
        self.dir.cleanup()

    def verdict(self, lines):
        path = os.path.join(self.dir.name, 'drivers.log')
        with open(path, 'w') as f:
            f.write('\n'.join(lines) + '\n')
        steps = check_bring_up.judge(check_bring_up.Log(path), self.bus, self.port)
        failed = [name for name, ok, _ in steps if not ok]
        return len(steps), failed

    def test_complete_bring_up_passes_every_step(self):
        self.assertEqual(self.verdict(good_log()), (7, []))
        # Timestamps (+timestamp) do not change the verdict.
        self.assertEqual(self.verdict(['905.553:' + line if line else line for line in good_log()]), (7, []))

    def test_add_device_failure_is_reported_with_wines_status_format(self):
        failed = self.verdict(good_log(port_status="0xc000000e"))[1]
        self.assertEqual(failed, ['port AddDevice returned STATUS_SUCCESS'])

    def test_add_device_counts_only_inside_the_ports_image(self):
        # Another driver's successful AddDevice must not stand in for the port's.
        lines = [line for line in good_log() if f'{PORT_BASE + 0x1010:08X}' not in line]
        self.assertEqual(self.verdict(lines)[1], ['port AddDevice returned STATUS_SUCCESS'])
        # Just past the end of the port's image is another image.
        lines = [line.replace(f'{PORT_BASE + 0x1010:08X}', f'{PORT_BASE + 0x8000:08X}') for line in good_log()]
        self.assertEqual(self.verdict(lines)[1], ['port AddDevice returned STATUS_SUCCESS'])

    def test_banner_must_be_exact_and_on_one_thread(self):
        for wrong in ('VAREDOD(Ver 1.0) Time: 21:02:34  Date: Dec  6 2026 LOADED ',
                      'VAREDOD(Ver 1.0)  Time: 21:02:34  Date: Dec  6 2026 UNLOADED ',
                      'VAREDOD(Ver 1.0)  Time: 21:2:34  Date: Dec  6 2026 LOADED '):
            self.assertEqual(self.verdict(good_log(banner=wrong)), (6, ['LOADED banner printed']), wrong)
        self.assertEqual(self.verdict(good_log(banner='VAREDOD(Ver 1.0)  Time: 09:05:00  Date: Jan 17 2027 LOADED '))[1],
                         [])
        lines = good_log()
        lines[8] = lines[8].replace('007c:', '0080:')
        self.assertEqual(self.verdict(lines)[1], ['LOADED banner printed'])

    def test_missing_child_stops_at_that_step(self):
        lines = [line for line in good_log() if 'ZQMODEM\\\\DIAG' not in line]
        self.assertEqual(self.verdict(lines), (4, ['child ZQMODEM\\DIAG\\0000 enumerated']))
        lines = [line for line in good_log() if 'zqmodemsim.sys' not in line]
        self.assertEqual(self.verdict(lines), (1, ['bus driver zqmodemsim.sys loaded']))


if __name__ == '__main__':
    unittest.main()
