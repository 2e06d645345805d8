#!/usr/bin/python3
"""Judges a Wine log of the driver bring-up (channels +debugstr, +plugplay,
+loaddll, +ntoskrnl and +relay, optionally +timestamp) together with what
port_probe.exe (and, with --suite, the conformance suite after it) printed in
the same session.

    check_bring_up.py <log> <session-output> <zqmodemsim.sys> <zqevdodiag.sys> <port-name> [--suite]

Walks the steps in order: the bus driver loaded, its root device added, the
child enumerated, the port driver loaded on it, its LOADED banner printed, its
AddDevice returned STATUS_SUCCESS; then, from the probe, the port started: the
port's link leads to the port's device object, "SERIALCOMM" holds the port's
name under that device's name, the COM-port interface of the child is enabled;
and the probe's open of the port reached the port's IRP_MJ_CREATE routine.
With --suite, also: the port's create routine refused a second open with
STATUS_ACCESS_DENIED (Wine drops that status, so its trace is the only place
it shows), and the suite's last line says no test failed. AddDevice results
are attributed by address: the routine must lie inside the image that +loaddll
reports, whose size comes from the .sys file itself. Exit 0 when every step
happened; otherwise names the first missing step and prints the relevant part
of the log and the session's output.
"""
import os
import re
import struct
import sys

LINE = re.compile(r'^(?:(?P<time>\d+\.\d+):)?(?P<tid>[0-9a-f]{4}):(?P<cls>\w+):(?P<ch>\w+):(?P<fn>\S+) (?P<msg>.*)$')
LOADED = re.compile(r'Loaded L"(?P<path>.*)" at (?P<base>[0-9A-Fa-f]+): ')
ROOT_ADDED = re.compile(r'Adding new root-enumerated device L"ROOT\\\\ZQMODEMSIM\\\\0000"')
CHILD_CREATED = re.compile(r'Creating new device L"ZQMODEM\\\\DIAG\\\\0000"')
# Wine prints the status with %#lx: "0" for success, "0xc000000e" otherwise.
ADD_DEVICE_RETURNED = re.compile(r'AddDevice routine (?P<addr>[0-9A-Fa-f]+) returned (?P<status>0x[0-9a-fA-F]+|0)\b')
# ntoskrnl writes these on the relay channel, without the class:channel prefix.
RELAY_LINE = re.compile(r'^(?:(?P<time>\d+\.\d+):)?(?P<tid>[0-9a-f]{4}):(?P<msg>(?:Call|Ret ) driver .*)$')
DISPATCH_RETURNED = re.compile(r'^Ret  driver dispatch (?P<addr>[0-9A-Fa-f]+) \(device=(?P<device>[0-9A-Fa-f]+),'
                               r'irp=[0-9A-Fa-f]+\) retval=(?P<status>[0-9a-fA-F]+)$')
INIT_DONE = re.compile(r'^init done for L"(?P<driver>[^"]*)"')
MAJOR_FUNCTION = re.compile(r'^- MajorFunction\[(?P<index>\d+)\] = (?P<addr>[0-9A-Fa-f]+)$')
IRP_MJ_CREATE = 0
IRP_MJ_PNP = 27
DBG_PRINT = re.compile(r'^[0-9a-f]+:[0-9a-f]+: (?P<text>.*)$')
STARS = '*' * 79
BANNER = re.compile(r'^VAREDOD\(Ver 1\.0\)  Time: \d\d:\d\d:\d\d  Date: [A-Z][a-z]{2} [ 0-3]\d \d{4} LOADED ?$')
STATUS_ACCESS_DENIED = 0xC0000022
SUITE_RESULT = re.compile(r'^(?P<passed>\d+) passed, (?P<failed>\d+) failed$')
SUITE_FAILURE = re.compile(r'^FAIL (?P<test>\S+)')
# What Wine 8 needs for a step, when that step is missing ({port}: the port's name).
HINTS = {
    'bus driver zqmodemsim.sys loaded': 'was the bus installed (install.log) and does the image load (err: lines)?',
    'child ZQMODEM\\DIAG\\0000 enumerated':
        'Wine asks a started bus for BusRelations only after it calls IoInvalidateDeviceRelations, '
        'and installs a child only when BusQueryCompatibleIDs succeeds (an empty list will do).',
    'port driver zqevdodiag.sys loaded on the child':
        'is the port INF in C:\\windows\\inf with a model for ZQMODEM\\DIAG (look for "install_device_driver")?',
    'port link \\DosDevices\\{port} leads to the port':
        'the link is made at IRP_MN_START_DEVICE; did the start fail (PortName from the staged INF\'s .HW section)?',
    'COM-port interface of ZQMODEM\\DIAG\\0000 enabled':
        'AddDevice registers GUID_DEVINTERFACE_COMPORT and the start enables it (IoSetDeviceInterfaceState).',
    'open of \\\\.\\{port} reached the port\'s IRP_MJ_CREATE routine':
        'with +ntoskrnl and +relay Wine logs the dispatch table ("- MajorFunction[0] = ...") and every '
        '"Ret  driver dispatch" line; is relay tracing limited rather than off (RelayInclude)?',
    'second open of \\\\.\\{port} refused by the port\'s create routine':
        'the suite\'s exclusive_open test makes it; did that test run, and did the I/O shim pass the create down?',
}
EXCERPT = re.compile(r'zq|ZQ|err:|debugstr|AddDevice|install_device_driver|enumerate_new_device|dispatch_create|'
                     r'IoOpenDeviceRegistryKey|IoCreateUnprotectedSymbolicLink|IoSetDeviceInterfaceState')
DEVICE_NAME = re.compile(r'^\\Device\\ZQEVDODIAG\d+$')
CHILD_INSTANCE = 'ZQMODEM\\DIAG\\0000'
PROBE_DOS = re.compile(r'^port_probe: QueryDosDevice (?P<port>\S+): (?P<result>.*)$')
PROBE_VALUE = re.compile(r'^port_probe: SERIALCOMM value "(?P<name>[^"]*)": (?P<type>\S+) "(?P<data>[^"]*)" '
                         r'\((?P<size>\d+) bytes\)$')
PROBE_INTERFACE = re.compile(r'^port_probe: COM-port interface (?P<path>\S+): (?P<state>active|not active), '
                             r'device (?P<instance>.*)$')
PROBE_OPEN = re.compile(r'^port_probe: CreateFile (?P<path>\S+): (?P<result>.*)$')


def image_size(path):
    """SizeOfImage from the PE optional header."""
    with open(path, 'rb') as f:
        data = f.read(4096)
    pe = struct.unpack_from('<I', data, 0x3C)[0]
    if data[pe:pe + 4] != b'PE\0\0':
        raise ValueError(f'{path} is not a PE image')
    return struct.unpack_from('<I', data, pe + 24 + 56)[0]


class Log:
    def __init__(self, path):
        with open(path, errors='replace') as f:
            self.raw = f.read().splitlines()
        self.lines = [m for m in map(LINE.match, self.raw) if m]
        self.relay = [m for m in map(RELAY_LINE.match, self.raw) if m]
        first = next((m for m in self.lines if m['time']), None)
        self.t0 = float(first['time']) if first else None

    def at(self, m):
        """The time of a log line since the log's first; nothing for anything else."""
        if self.t0 is None or not isinstance(m, re.Match) or 'time' not in m.re.groupindex or not m['time']:
            return ''
        return f' (+{float(m["time"]) - self.t0:.2f}s)'

    def find(self, pattern, ch=None):
        return next((m for m in self.lines if (ch is None or m['ch'] == ch) and pattern.search(m['msg'])), None)

    def image_range(self, name, size):
        for m in self.lines:
            hit = LOADED.search(m['msg']) if m['ch'] == 'loaddll' else None
            if hit and hit['path'].lower().endswith('\\' + name):
                base = int(hit['base'], 16)
                return m, base, base + size
        return None, 0, 0

    def add_device_result(self, lo, hi):
        for m in self.lines:
            hit = ADD_DEVICE_RETURNED.search(m['msg']) if m['ch'] == 'plugplay' else None
            if hit and lo <= int(hit['addr'], 16) < hi:
                return m, int(hit['status'], 16)
        return None, None

    def dispatch_routine(self, driver, index):
        """The address that the driver's DriverEntry put in MajorFunction[index]."""
        table = False
        for m in self.lines:
            if m['ch'] != 'ntoskrnl':
                continue
            done = INIT_DONE.match(m['msg'])
            if done:
                table = done['driver'].lower() == driver
                continue
            entry = MAJOR_FUNCTION.match(m['msg']) if table else None
            if entry and int(entry['index']) == index:
                return int(entry['addr'], 16)
        return None

    def dispatch_results(self, addr):
        """(line, status) of every return from the dispatch routine at addr."""
        results = []
        for m in self.relay:
            hit = DISPATCH_RETURNED.match(m['msg'])
            if hit and int(hit['addr'], 16) == addr:
                results.append((m, int(hit['status'], 16)))
        return results

    def dbg_prints(self):
        return [(m, DBG_PRINT.match(m['msg'])['text']) for m in self.lines
                if m['ch'] == 'debugstr' and DBG_PRINT.match(m['msg'])]

    def banner(self):
        prints = self.dbg_prints()
        for i in range(len(prints) - 2):
            (a, t1), (b, t2), (c, t3) = prints[i:i + 3]
            if a['tid'] == b['tid'] == c['tid'] and t1 == STARS and BANNER.match(t2) and t3 == STARS:
                return b, t2
        return None, None

    def excerpt(self, limit=80):
        picked = [line for line in self.raw if EXCERPT.search(line)]
        return picked[:limit] + ([f'... ({len(picked) - limit} more lines)'] if len(picked) > limit else [])


class Probe:
    """What port_probe.exe printed for the port (and what else ran in the same session)."""

    def __init__(self, path, port='COM7'):
        self.port = port.upper()
        with open(path, errors='replace') as f:
            self.raw = [line.rstrip('\r') for line in f.read().splitlines()]

    def find(self, pattern):
        return [m for m in map(pattern.match, self.raw) if m]

    def link_target(self, port):
        """(target, what QueryDosDevice said) for the port, or (None, None) when the probe did not run."""
        for m in self.find(PROBE_DOS):
            if m['port'].upper() == port:
                return (m['result'] if DEVICE_NAME.match(m['result']) else None), m['result']
        return None, None

    def value(self, name):
        return next((m for m in self.find(PROBE_VALUE) if m['name'].lower() == name.lower()), None)

    def interface(self, instance):
        return next((m for m in self.find(PROBE_INTERFACE) if m['instance'].upper() == instance), None)

    def open_result(self):
        m = next((m for m in self.find(PROBE_OPEN) if m['path'].upper().endswith('\\' + self.port)), None)
        return m['result'] if m else None

    def not_run(self):
        """A detail for a step that the probe's output cannot show."""
        return f' (port_probe did not report it; its session printed: {" | ".join(self.raw) or "nothing"})'


def judge_suite(log, probe, create, step):
    """The conformance suite's two verdicts: the refusal that only Wine's trace shows, and its own result."""
    refusals = [m for m, status in log.dispatch_results(create) if status == STATUS_ACCESS_DENIED]
    if not step(f'second open of \\\\.\\{probe.port} refused by the port\'s create routine',
                refusals[0] if refusals else None, ' (STATUS_ACCESS_DENIED)' if refusals else
                ' (no create returned STATUS_ACCESS_DENIED)'):
        return
    results = probe.find(SUITE_RESULT)
    failed = [m['test'] for m in probe.find(SUITE_FAILURE)]
    ok = results and int(results[-1]['failed']) == 0 and int(results[-1]['passed']) > 0
    detail = f': {results[-1].string}' if results else ' (it printed no result; did it run to the end?)'
    step('conformance suite passed', probe if ok else None, detail + (f' ({", ".join(failed)})' if failed else ''))


def judge_port(log, probe, driver, port_lo, port_hi, step, suite):
    """The steps that only a started port can pass, from the probe's view and the port's dispatch calls."""
    port = probe.port
    device, said = probe.link_target(port)
    detail = f' -> {device}' if device else (f' (QueryDosDevice: {said})' if said else probe.not_run())
    pnp = log.dispatch_routine(driver, IRP_MJ_PNP)
    if not device and pnp is not None:
        # The start is one of these; a failed start shows as an error status.
        statuses = ', '.join(f'{status:#x}' for _, status in log.dispatch_results(pnp))
        detail += f'; the port\'s IRP_MJ_PNP routine returned: {statuses or "nothing"}'
    if not step(f'port link \\DosDevices\\{port} leads to the port', device, detail):
        return
    m = probe.value(device)
    ok = m if m and m['type'] == 'REG_SZ' and m['data'] == port else None
    detail = f' ({m["type"]} "{m["data"]}", {m["size"]} bytes)' if m else ' (no such value)'
    if not step(f'SERIALCOMM value {device} holds {port}', ok, detail):
        return
    m = probe.interface(CHILD_INSTANCE)
    detail = f': {m["path"]}' if m and m['state'] == 'active' else \
        (' (present but not active)' if m else ' (no present COM-port interface of that device)')
    if not step(f'COM-port interface of {CHILD_INSTANCE} enabled', m if m and m['state'] == 'active' else None,
                detail):
        return
    # Wine's CreateFile succeeds as soon as the name leads to a device; the
    # create request reaches the driver afterwards and its status is dropped.
    # Only the port's dispatch routine shows that it got there and what it said.
    routine = log.dispatch_routine(driver, IRP_MJ_CREATE)
    if routine is None or not port_lo <= routine < port_hi:
        step(f'open of \\\\.\\{port} reached the port\'s IRP_MJ_CREATE routine', None,
             ' (no MajorFunction[0] of the port in the log)' if routine is None else
             f' (MajorFunction[0] {routine:08X} lies outside the port\'s image)')
        return
    results = log.dispatch_results(routine)
    opened = probe.open_result()
    detail = f': {len(results)} time(s), last returned {results[-1][1]:#010x}; CreateFile said: {opened}' if results \
        else f' (CreateFile said: {opened})' if opened else probe.not_run()
    if step(f'open of \\\\.\\{port} reached the port\'s IRP_MJ_CREATE routine', results[0][0] if results else None,
            detail) and suite:
        judge_suite(log, probe, routine, step)


def judge(log, probe, bus_sys, port_sys, suite=False):
    steps = []

    def step(name, match, detail=''):
        steps.append((name, match is not None, (log.at(match) if match else '') + detail))
        return match is not None

    bus_load, bus_lo, bus_hi = log.image_range(os.path.basename(bus_sys).lower(), image_size(bus_sys))
    if not step('bus driver zqmodemsim.sys loaded', bus_load):
        return steps
    if not step('root device ROOT\\ZQMODEMSIM\\0000 added', log.find(ROOT_ADDED, 'plugplay')):
        return steps
    m, status = log.add_device_result(bus_lo, bus_hi)
    if not step('bus AddDevice returned STATUS_SUCCESS', m if status == 0 else None,
                f' (it returned {status:#010x})' if m and status else ''):
        return steps
    if not step('child ZQMODEM\\DIAG\\0000 enumerated', log.find(CHILD_CREATED, 'plugplay')):
        return steps
    port_load, port_lo, port_hi = log.image_range(os.path.basename(port_sys).lower(), image_size(port_sys))
    if not step('port driver zqevdodiag.sys loaded on the child', port_load):
        return steps
    m, text = log.banner()
    if not step('LOADED banner printed', m, f': "{text}"' if m else ''):
        return steps
    m, status = log.add_device_result(port_lo, port_hi)
    if step('port AddDevice returned STATUS_SUCCESS', m if status == 0 else None,
            f' (it returned {status:#010x})' if m and status else ''):
        judge_port(log, probe, os.path.splitext(os.path.basename(port_sys))[0].lower(), port_lo, port_hi, step,
                   suite)
    return steps


def main():
    args = [a for a in sys.argv[1:] if a != '--suite']
    if len(args) != 5:
        sys.stderr.write(__doc__)
        return 2
    log = Log(args[0])
    probe = Probe(args[1], args[4])
    steps = judge(log, probe, args[2], args[3], '--suite' in sys.argv[1:])
    for name, ok, detail in steps:
        print(f'{"ok  " if ok else "FAIL"} {name}{detail}')
    if all(ok for _, ok, _ in steps):
        print('driver DbgPrint output:')
        for m, text in log.dbg_prints():
            print(f'  {m["tid"]}{log.at(m)}: {text}')
        return 0
    name, _, detail = steps[-1]
    print(f'\nWine test failed: step "{name}" did not happen{detail}.')
    hint = next((h for key, h in HINTS.items() if key.format(port=probe.port) == name), None)
    if hint:
        print(f'Hint: {hint}')
    print(f'Relevant lines of {args[0]}:')
    print('\n'.join('  ' + line for line in log.excerpt()))
    print(f'What the programs in the session printed ({args[1]}):')
    print('\n'.join('  ' + line for line in probe.raw))
    return 1


if __name__ == '__main__':
    sys.exit(main())
