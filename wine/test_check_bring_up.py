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


CREATE, CLOSE = PORT_BASE + 0x27E0, PORT_BASE + 0x2810


def dispatch_table(tid, driver, create, close):
    return [f'{tid}:trace:ntoskrnl:init_driver init done for L"{driver}" obj 0073B238',
            f'{tid}:trace:ntoskrnl:init_driver - MajorFunction[0] = {create:08X}',
            f'{tid}:trace:ntoskrnl:init_driver - MajorFunction[1] = 70D94560',
            f'{tid}:trace:ntoskrnl:init_driver - MajorFunction[2] = {close:08X}']


def dispatch_call(tid, routine, status):
    return [f'{tid}:Call driver dispatch {routine:08X} (device=01E80028,irp=01140480)',
            f'{tid}:Ret  driver dispatch {routine:08X} (device=01E80028,irp=01140480) retval={status}']


def good_log(port_status='0', banner=None, create_status='c0000002'):
    banner = banner or 'VAREDOD(Ver 1.0)  Time: 21:02:34  Date: Dec  6 2026 LOADED '
    return dispatch_table('0074', 'zqmodemsim', BUS_BASE + 0x11F0, BUS_BASE + 0x11F0) + [
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
    ] + dispatch_table('007c', 'zqevdodiag', CREATE, CLOSE) + [
        '0078:trace:ntoskrnl:dispatch_create device 01E80028 -> file 00762AD0',
    ] + dispatch_call('0078', CREATE, create_status) + dispatch_call('0078', CLOSE, create_status)


def good_probe():
    return ['wait_for_device: opened after 1 ms',
            'port_probe: QueryDosDevice COM7: \\Device\\ZQEVDODIAG1',
            'port_probe: SERIALCOMM value "\\Device\\Serial0": REG_SZ "COM1" (10 bytes)',
            'port_probe: SERIALCOMM value "\\Device\\ZQEVDODIAG1": REG_SZ "COM7" (12 bytes)',
            'port_probe: COM-port interface \\\\?\\zqmodem#diag#0000#{86e0d1e0-8089-11d0-9ce4-08003e301f73}: '
            'active, device ZQMODEM\\DIAG\\0000',
            'port_probe: CreateFile \\\\.\\COM7: opened',
            'port_probe: GetCommState: failed, error 1']


LINK = 'port link \\DosDevices\\COM7 leads to the port'
VALUE = 'SERIALCOMM value \\Device\\ZQEVDODIAG1 holds COM7'
INTERFACE = 'COM-port interface of ZQMODEM\\DIAG\\0000 enabled'
OPEN = "open of \\\\.\\COM7 reached the port's IRP_MJ_CREATE routine"
REFUSED = "second open of \\\\.\\COM7 refused by the port's create routine"
SUITE = 'conformance suite passed'


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

    def write(self, name, lines):
        path = os.path.join(self.dir.name, name)
        with open(path, 'w') as f:
            f.write('\r\n'.join(lines) + '\n' if name.endswith('.out') else '\n'.join(lines) + '\n')
        return path

    def judge(self, lines, probe=None, suite=False):
        log = check_bring_up.Log(self.write('drivers.log', lines))
        probe = check_bring_up.Probe(self.write('drivers.log.out', good_probe() if probe is None else probe))
        return check_bring_up.judge(log, probe, self.bus, self.port, suite)

    def verdict(self, lines, probe=None):
        steps = self.judge(lines, probe)
        failed = [name for name, ok, _ in steps if not ok]
        return len(steps), failed

    def detail(self, lines, probe, name):
        return next(detail for step, _, detail in self.judge(lines, probe) if step == name)

    def test_complete_bring_up_passes_every_step(self):
        self.assertEqual(self.verdict(good_log()), (11, []))
        # Timestamps (+timestamp) do not change the verdict.
        self.assertEqual(self.verdict(['905.553:' + line if line else line for line in good_log()]), (11, []))

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
        index = next(i for i, line in enumerate(lines) if 'VAREDOD' in line)
        lines[index] = lines[index].replace('007c:', '0080:')
        self.assertEqual(self.verdict(lines)[1], ['LOADED banner printed'])

    def test_missing_child_stops_at_that_step(self):
        lines = [line for line in good_log() if 'ZQMODEM\\\\DIAG' not in line]
        self.assertEqual(self.verdict(lines), (4, ['child ZQMODEM\\DIAG\\0000 enumerated']))
        lines = [line for line in good_log() if 'zqmodemsim.sys' not in line]
        self.assertEqual(self.verdict(lines), (1, ['bus driver zqmodemsim.sys loaded']))

    def test_port_names_must_come_from_the_probe_of_a_started_port(self):
        # COM7 never opened: the probe did not run, and the judge says what ran instead.
        waited = ['wait_for_device: not opened within 30000 ms, last error 2']
        self.assertEqual(self.verdict(good_log(), waited)[1], [LINK])
        self.assertIn('not opened within 30000 ms', self.detail(good_log(), waited, LINK))
        # A COM7 that leads elsewhere (Wine's own serial port) is not the port's.
        probe = [line.replace('COM7: \\Device\\ZQEVDODIAG1', 'COM7: \\Device\\Serial6') for line in good_probe()]
        self.assertEqual(self.verdict(good_log(), probe)[1], [LINK])
        probe = [line.replace('COM7: \\Device\\ZQEVDODIAG1', 'COM7: failed, error 2') for line in good_probe()]
        self.assertIn('failed, error 2', self.detail(good_log(), probe, LINK))
        # The port's Plug and Play returns show the failed start.
        pnp = PORT_BASE + 0x1B00
        lines = good_log() + [f'007c:trace:ntoskrnl:init_driver - MajorFunction[27] = {pnp:08X}'] + \
            dispatch_call('007c', pnp, '00000000') + dispatch_call('007c', pnp, 'c0000034')
        self.assertIn('IRP_MJ_PNP routine returned: 0x0, 0xc0000034', self.detail(lines, probe, LINK))

    def test_serialcomm_value_must_be_the_ports_name_as_a_string(self):
        wrong_values = ('"\\Device\\ZQEVDODIAG1": REG_SZ "COM8" (12 bytes)',
                        '"\\Device\\ZQEVDODIAG1": REG_BINARY "COM7" (12 bytes)',
                        '"\\Device\\ZQEVDODIAG2": REG_SZ "COM7" (12 bytes)')
        for wrong in wrong_values:
            probe = [line.replace('"\\Device\\ZQEVDODIAG1": REG_SZ "COM7" (12 bytes)', wrong)
                     for line in good_probe()]
            self.assertEqual(self.verdict(good_log(), probe), (9, [VALUE]), wrong)

    def test_interface_must_be_active_and_the_childs(self):
        for old, new in (('active, device', 'not active, device'), ('ZQMODEM\\DIAG\\0000', 'ROOT\\PORTS\\0000')):
            probe = [line.replace(old, new) for line in good_probe()]
            self.assertEqual(self.verdict(good_log(), probe), (10, [INTERFACE]), new)

    def test_open_is_judged_by_the_ports_create_routine_not_by_createfile(self):
        # Wine opens the handle whatever the driver answers; the step reports the driver's status.
        self.assertIn('returned 0xc0000002; CreateFile said: opened', self.detail(good_log(), None, OPEN))
        self.assertIn('returned 0x00000000', self.detail(good_log(create_status='00000000'), None, OPEN))
        # Only the create routine counts: a close returning, or another driver's create, is no create.
        lines = [line for line in good_log() if f'dispatch {CREATE:08X}' not in line]
        self.assertEqual(self.verdict(lines), (11, [OPEN]))
        lines = [line for line in good_log() if f'MajorFunction[0] = {CREATE:08X}' not in line]
        self.assertEqual(self.verdict(lines), (11, [OPEN]))
        # The port's table must point into the port's image.
        lines = [line.replace(f'{CREATE:08X}', f'{OTHER_BASE:08X}') for line in good_log()]
        self.assertIn("outside the port's image", self.detail(lines, None, OPEN))


    def test_suite_needs_the_refusal_in_wines_trace_and_no_failed_test(self):
        refused = good_log(create_status='00000000') + dispatch_call('0078', CREATE, 'c0000022')
        passed = good_probe() + ['conformance: port COM7, seed 1', 'ok   exclusive_open (5 ms)', '12 passed, 0 failed']
        steps = self.judge(refused, passed, suite=True)
        self.assertEqual([name for name, ok, _ in steps if not ok], [])
        self.assertEqual(steps[-1][0], 'conformance suite passed')
        # CreateFile succeeded both times; only the create routine's return shows the refusal.
        self.assertEqual(self.verdict_of(good_log(create_status='00000000'), passed), [REFUSED])
        failed = passed[:-1] + ['FAIL echo (10 ms)', 'FAIL megabyte_each_way (20 ms)', '10 passed, 2 failed']
        self.assertEqual(self.verdict_of(refused, failed), [SUITE])
        self.assertIn('(echo, megabyte_each_way)', self.detail_of(refused, failed, SUITE))
        # A suite that stopped (a hang, a crash) printed no result line.
        self.assertEqual(self.verdict_of(refused, passed[:-1]), [SUITE])
        # Without --suite the refusal and the result are not asked for.
        self.assertEqual(self.verdict(good_log(create_status='00000000'), good_probe()), (11, []))

    def verdict_of(self, lines, probe):
        return [name for name, ok, _ in self.judge(lines, probe, suite=True) if not ok]

    def detail_of(self, lines, probe, name):
        return next(detail for step, _, detail in self.judge(lines, probe, suite=True) if step == name)


if __name__ == '__main__':
    unittest.main()
