#!/usr/bin/python3
"""Judges a Wine log of the driver bring-up (channels +debugstr, +plugplay,
+loaddll, optionally +timestamp).

    check_bring_up.py <log> <zqmodemsim.sys> <zqevdodiag.sys>

Walks the steps in order: the bus driver loaded, its root device added, the
child enumerated, the port driver loaded on it, its LOADED banner printed, its
AddDevice returned STATUS_SUCCESS. AddDevice results are attributed by address:
the routine must lie inside the image that +loaddll reports, whose size comes
from the .sys file itself. Exit 0 when every step happened; otherwise names the
first missing step and prints the relevant part of the log.
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
DBG_PRINT = re.compile(r'^[0-9a-f]+:[0-9a-f]+: (?P<text>.*)$')
STARS = '*' * 79
BANNER = re.compile(r'^VAREDOD\(Ver 1\.0\)  Time: \d\d:\d\d:\d\d  Date: [A-Z][a-z]{2} [ 0-3]\d \d{4} LOADED ?$')
# What Wine 8 needs for a step, when that step is missing.
HINTS = {
    'bus driver zqmodemsim.sys loaded': 'was the bus installed (install.log) and does the image load (err: lines)?',
    'child ZQMODEM\\DIAG\\0000 enumerated':
        'Wine asks a started bus for BusRelations only after it calls IoInvalidateDeviceRelations, '
        'and installs a child only when BusQueryCompatibleIDs succeeds (an empty list will do).',
    'port driver zqevdodiag.sys loaded on the child':
        'is the port INF in C:\\windows\\inf with a model for ZQMODEM\\DIAG (look for "install_device_driver")?',
}
EXCERPT = re.compile(r'zq|ZQ|err:|debugstr|AddDevice|install_device_driver|enumerate_new_device')


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
        first = next((m for m in self.lines if m['time']), None)
        self.t0 = float(first['time']) if first else None

    def at(self, m):
        if self.t0 is None or not m['time']:
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


def judge(log, bus_sys, port_sys):
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
    step('port AddDevice returned STATUS_SUCCESS', m if status == 0 else None,
         f' (it returned {status:#010x})' if m and status else '')
    return steps


def main():
    if len(sys.argv) != 4:
        sys.stderr.write(__doc__)
        return 2
    log = Log(sys.argv[1])
    steps = judge(log, sys.argv[2], sys.argv[3])
    for name, ok, detail in steps:
        print(f'{"ok  " if ok else "FAIL"} {name}{detail}')
    if all(ok for _, ok, _ in steps):
        print('driver DbgPrint output:')
        for m, text in log.dbg_prints():
            print(f'  {m["tid"]}{log.at(m)}: {text}')
        return 0
    name, _, detail = steps[-1]
    print(f'\nWine bring-up failed: step "{name}" did not happen{detail}.')
    if name in HINTS:
        print(f'Hint: {HINTS[name]}')
    print(f'Relevant lines of {sys.argv[1]}:')
    print('\n'.join('  ' + line for line in log.excerpt()))
    return 1


if __name__ == '__main__':
    sys.exit(main())
