#!/usr/bin/env python3
"""Checks the Windows programs' images (build/win32/bin) for what Wine does
not show: the application manifest that asks for administrator rights, the
terminal-server flag, and no test hook in the shipped program.

    python3 tests/e2e/pe_checks.py [--win32-build-dir DIR]

One line per check, then `N passed, N failed`; exits 1 on any failure.
"""

from __future__ import annotations

import argparse
import struct
import sys
from pathlib import Path
from typing import List, Optional

REPO_ROOT = Path(__file__).resolve().parent.parent.parent
TERMINAL_SERVER_AWARE = 0x8000   # IMAGE_DLLCHARACTERISTICS_TERMINAL_SERVER_AWARE
RT_MANIFEST = 24
RESOURCE_DIRECTORY = 2            # index in the optional header's data directories


class Image:
    """The parts of a 32-bit PE image that the checks read."""

    def __init__(self, data: bytes):
        self.data = data
        header = struct.unpack_from('<I', data, 0x3C)[0]
        if data[header:header + 4] != b'PE\0\0':
            raise ValueError('not a PE image')
        sections, optional_size = struct.unpack_from('<H12xH', data, header + 6)
        optional = header + 24
        if struct.unpack_from('<H', data, optional)[0] != 0x10B:
            raise ValueError('not a 32-bit image')
        self.dll_characteristics = struct.unpack_from('<H', data, optional + 70)[0]
        self.resource_rva = struct.unpack_from('<I', data, optional + 96 + 8 * RESOURCE_DIRECTORY)[0]
        table = optional + optional_size
        self.sections = [struct.unpack_from('<8xIIII', data, table + 40 * i) for i in range(sections)]

    def offset(self, rva: int) -> int:
        for size, address, raw_size, raw in self.sections:
            if address <= rva < address + max(size, raw_size):
                return raw + rva - address
        raise ValueError(f'address {rva:#x} is in no section')

    def resource(self, kind: int) -> Optional[bytes]:
        """The data of the first resource of that type (first name, first
        language), or None."""
        if not self.resource_rva:
            return None
        base = self.offset(self.resource_rva)
        entry = self._entry(base, base, kind)
        for _ in range(2):            # name, then language: take the first
            if entry is None or not entry & 0x80000000:
                return None
            directory = base + (entry & 0x7FFFFFFF)
            entry = struct.unpack_from('<I', self.data, directory + 16 + 4)[0]
        if entry & 0x80000000:
            return None
        rva, size = struct.unpack_from('<II', self.data, base + entry)
        start = self.offset(rva)
        return self.data[start:start + size]

    def _entry(self, base: int, directory: int, wanted: int) -> Optional[int]:
        named, numbered = struct.unpack_from('<HH', self.data, directory + 12)
        for i in range(named + numbered):
            name, target = struct.unpack_from('<II', self.data, directory + 16 + 8 * i)
            if name == wanted:
                return target
        return None


def check(build: Path) -> List[str]:
    failures = []
    shipped = (build / 'bin' / '3pupdate.exe').read_bytes()
    tested = (build / 'bin' / '3pupdate-test.exe').read_bytes()
    for name, data in (('3pupdate.exe', shipped), ('3pupdate-test.exe', tested)):
        image = Image(data)
        if not image.dll_characteristics & TERMINAL_SERVER_AWARE:
            failures.append(f'{name}: not marked terminal-server aware (--tsaware)')
        manifest = image.resource(RT_MANIFEST)
        if manifest is None:
            failures.append(f'{name}: no application manifest resource')
            continue
        for wanted in (b'level="requireAdministrator"', b'<ws2:longPathAware>true<',
                       b'supportedOS Id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"'):
            if wanted not in manifest:
                failures.append(f'{name}: the manifest lacks {wanted.decode()}')
    # The shipped program reads no test variable; the test program, built
    # from the same code, does (so the check looks for the right text).
    if b'UPDATER_' in shipped:
        failures.append('3pupdate.exe: holds the name of a test variable (UPDATER_...)')
    if b'UPDATER_FAULTS' not in tested:
        failures.append('3pupdate-test.exe: has no fault injector')
    return failures


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--win32-build-dir', type=Path, default=REPO_ROOT / 'build' / 'win32')
    args = parser.parse_args(argv)
    try:
        failures = check(args.win32_build_dir)
    except (OSError, ValueError, struct.error) as error:
        failures = [f'cannot read the images: {error}']
    for failure in failures:
        print('FAIL ' + failure)
    print(f'{0 if failures else 1} passed, {1 if failures else 0} failed')
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
