"""Which Windows build the Windows suites run, and with which Wine loader:
the answer of scripts/wine-build.sh (the one probe every suite and
scripts/test.sh share), read once per process.

On a machine that runs 32-bit code the suites run build/win32 under the
32-bit loader, as always; on a 64-bit-only kernel they run build/win64 under
wine64 in 64-bit prefixes. UPDATER_TEST_WINE=win32|win64|auto forces it."""

from __future__ import annotations

import shlex
import subprocess
from dataclasses import dataclass
from functools import lru_cache
from pathlib import Path
from typing import Dict

REPO_ROOT = Path(__file__).resolve().parents[2]


@dataclass(frozen=True)
class WineBuild:
    build: str        # win32 or win64
    loader: str       # the Wine loader, named explicitly
    server: str       # its wineserver
    arch: str         # WINEARCH of the prefixes
    runs_32bit: bool  # whether this machine runs 32-bit x86 programs at all
    reason: str       # one line: which build, under what, and why

    def tree(self, suffix: str = '') -> Path:
        """The build tree of the chosen build (build/win32-key with suffix '-key')."""
        return REPO_ROOT / 'build' / (self.build + suffix)

    def environment(self) -> Dict[str, str]:
        """What every Wine process of the suites gets on top of its own settings."""
        return {'WINEARCH': self.arch, 'WINELOADER': self.loader, 'WINESERVER': self.server}


@lru_cache(maxsize=None)
def chosen() -> WineBuild:
    printed = subprocess.run(['bash', str(REPO_ROOT / 'scripts' / 'wine-build.sh')],
                             capture_output=True, text=True, check=True).stdout
    values = {}
    for line in printed.splitlines():
        name, _, quoted = line.partition('=')
        values[name] = ' '.join(shlex.split(quoted))
    return WineBuild(values['WINE_BUILD'], values['WINE_LOADER'], values['WINE_SERVER'],
                     values['WINE_ARCH'], values['WINE_RUNS_32BIT'] == 'yes',
                     values['WINE_REASON'])
