#!/usr/bin/env python3
"""Round trips of `3ppack diff`: two release trees, one archive, applied by the
updater on an emulated machine (host) or under Wine (3ppack.exe and
3pupdate.exe), and the machine checked file by file against the NEW tree.

    python3 tests/pack/diff_round_trip.py --target host|wine

One line per case, then `N passed, N failed`; exits 1 on any failure.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO_ROOT = HERE.parent.parent
sys.path.insert(0, str(REPO_ROOT / 'tests' / 'e2e'))

from machine import FileSpec, Machine, RegistryValue, RunOptions  # noqa: E402
from run_scenarios import check_files, check_folders  # noqa: E402
from scenario_format import PRODUCT_KEY, Scenario, load_defines  # noqa: E402
import wine_build  # noqa: E402

OLD_TIME = 946684800        # 2000-01-01
NEW_TIME = 1262304000       # 2010-01-01
ROOTS = {'install': b'C:\\Perinwood', 'windows': b'C:\\windows'}
DONE = load_defines()['UPDATE_DONE']

# path in the tree -> (OLD content or None, NEW content or None)
TREES = {
    'install/same.txt': (b'unchanged\r\n', b'unchanged\r\n'),
    'install/changed.txt': (b'old text\r\n', b'new text, longer\r\n'),
    'install/gone.txt': (b'dropped from NEW\r\n', None),
    'install/new.txt': (None, b'a new file\r\n'),
    'install/readme.txt': (b'old readme', b'new readme'),
    'install/empty.dat': (b'was not empty', b''),
    'install/data/level1.dat': (None, bytes(range(256)) * 40 + b'\x00' * 5000),
    'install/データ/説明書.txt': (None, '日本語の説明\r\n'.encode('cp932') * 30),
    'install/bitmap/title.bmp': (b'BM old', b'BM' + b'\x10\x20' * 3000),
    'windows/app.ini': (None, b'[app]\r\nkey=1\r\n'),
    'windows/system/app.dll': (b'MZ old', b'MZ new' + bytes(1000)),
}


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


class Tool:
    """Runs the archive tool of one target in a folder: the host build, or
    3ppack.exe in a prefix of the Wine target."""

    def __init__(self, target: str, options: RunOptions):
        self.target = target
        self.host_tool = options.host_build_dir / 'bin' / '3ppack'
        if target == 'wine':
            import targets.wine as wine
            self.module = wine
            self.context = wine.prepare(REPO_ROOT, options)
            self.exe = options.win32_build_dir / 'bin' / '3ppack.exe'
        else:
            import targets.host as host
            self.module = host
            self.context = host.prepare(REPO_ROOT, options)

    def run(self, folder: Path, *args: str) -> subprocess.CompletedProcess:
        if self.target == 'host':
            return subprocess.run([str(self.host_tool), *args], cwd=folder, capture_output=True,
                                  timeout=120)
        worker = self.context.acquire()
        try:
            worker.start_server()
            # Files, never pipes, for a Wine program's standard handles.
            with open(folder / 'tool.out', 'wb') as out, open(folder / 'tool.err', 'wb') as err:
                status = subprocess.run([wine_build.chosen().loader, str(self.exe), *args], cwd=folder, env=worker.env,
                                        stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                        timeout=120).returncode
            return subprocess.CompletedProcess(args, status, (folder / 'tool.out').read_bytes(),
                                               (folder / 'tool.err').read_bytes())
        finally:
            self.context.release(worker)


def make_trees(folder: Path, trees) -> None:
    for path, (old, new) in trees.items():
        for side, content, time in (('old', old, OLD_TIME), ('new', new, NEW_TIME)):
            if content is None:
                continue
            target = folder / side / path
            target.parent.mkdir(parents=True, exist_ok=True)
            target.write_bytes(content)
            os.utime(target, (time, time))


def windows_path(tree_path: str) -> bytes:
    top, _, rest = tree_path.partition('/')
    return ROOTS[top] + b'\\' + rest.replace('/', '\\').encode('cp932')


def case_round_trip(tool: Tool, folder: Path) -> None:
    """new, changed, unchanged and removed files in every destination, applied by the updater

    A Japanese name and a viewer mark among them."""
    make_trees(folder, TREES)
    # An unchanged file with another time stays out of the archive.
    os.utime(folder / 'new/install/same.txt', (NEW_TIME, NEW_TIME))
    view = ['--view', 'readme.txt', '--view', 'windows/system/*.DLL', '--view', 'same.txt']
    done = tool.run(folder, 'diff', 'old', 'new', '-o', '3pupdate.z', '-V', '1.02', *view)
    check(done.returncode == 0, f'diff exited {done.returncode}: {done.stderr!r}')
    check(b'gone.txt is gone from NEW' in done.stderr and
          b"--view 'same.txt' matches no packed file" in done.stderr, f'warnings: {done.stderr!r}')
    archive = (folder / '3pupdate.z').read_bytes()

    # The dry run shows what list shows; packing again gives the same bytes,
    # and under Wine the host tool too (on the host it would be the same tool).
    dry = tool.run(folder, 'diff', 'old', 'new', '-V', '1.02', *view, '--dry-run', '--json')
    listed = tool.run(folder, 'list', '3pupdate.z', '--json')
    check(dry.returncode == 0 and json.loads(dry.stdout) == json.loads(listed.stdout),
          f'dry run {dry.stdout!r} differs from list {listed.stdout!r}')
    entries = json.loads(listed.stdout)['entries']
    check(len(entries) == 9, f'{len(entries)} entries')
    check(not list(folder.glob('3pupdate.z.tmp*')), 'temporary file left')
    again = tool.run(folder, 'diff', 'old', 'new', '-o', 'again.z', '-V', '1.02', *view)
    check(again.returncode == 0 and (folder / 'again.z').read_bytes() == archive,
          'a second diff gives other bytes')
    tested = tool.run(folder, 'test', '--strict', '3pupdate.z')
    check(tested.returncode == 0, f'test: {tested.stdout!r} {tested.stderr!r}')
    extracted = tool.run(folder, 'extract', '3pupdate.z', '-C', 'x')
    check(extracted.returncode == 0, f'extract: {extracted.stderr!r}')
    for path, (old, new) in TREES.items():
        if new is not None and new != old:
            check((folder / 'x' / path).read_bytes() == new, f'extracted {path} differs')
    if tool.target != 'host':
        host = subprocess.run([str(tool.host_tool), 'diff', 'old', 'new', '-o', 'host.z', '-V', '1.02',
                               *view], cwd=folder, capture_output=True)
        check(host.returncode == 0 and (folder / 'host.z').read_bytes() == archive,
              'the host tool packs other bytes')
    # A signed copy (the host tool signs; 3ppack.exe verifies, through CNG):
    # valid against its key, refused against another.
    for name in ('vendor', 'other'):
        subprocess.run([str(tool.host_tool), 'keygen', '-o', name], cwd=folder, check=True,
                       capture_output=True)
    signed = subprocess.run([str(tool.host_tool), 'diff', 'old', 'new', '-o', 'signed.z', '-V', '1.02',
                             '--sign', 'vendor.key'], cwd=folder, capture_output=True)
    check(signed.returncode == 0, f'signed diff: {signed.stderr!r}')
    good = tool.run(folder, 'test', '--key', 'vendor.pub', 'signed.z')
    check(good.returncode == 0 and b'signature valid' in good.stdout, f'test --key: {good.stdout!r}')
    other = tool.run(folder, 'test', '--key', 'other.pub', 'signed.z')
    check(other.returncode == 1 and b'another key' in other.stdout, f'test --key other: {other.stdout!r}')

    files = [FileSpec(windows_path(p), old, OLD_TIME) for p, (old, _) in TREES.items() if old]
    files.append(FileSpec(b'C:\\update\\3pupdate.z', archive))
    registry = [RegistryValue('HKLM', PRODUCT_KEY + b'Directories', b'InstallDir',
                              b'C:\\Perinwood\0'),
                RegistryValue('HKLM', PRODUCT_KEY + b'VersionInfo', b'Version', b'1.01\0')]
    (folder / 'run').mkdir()
    machine = Machine(name='diff round trip', scratch_dir=folder / 'run', registry=registry,
                      files=files, viewer_wait=2)
    result = tool.module.run(tool.context, machine)
    check(result.exit_status == 0 and DONE in result.stdout,
          f'update exited {result.exit_status}: {result.stdout.decode("cp932", "replace")}')

    expected = Scenario(file='diff', title='round trip', line=0)
    for path, (old, new) in TREES.items():
        unchanged = new is None or new == old
        expected.expect_files[windows_path(path)] = FileSpec(
            windows_path(path), old if new is None else new, OLD_TIME if unchanged else NEW_TIME)
        expected.expect_mtime_given[windows_path(path)] = True
    expected.expect_files[b'C:\\update\\3pupdate.z'] = FileSpec(b'C:\\update\\3pupdate.z', archive)
    expected.expect_mtime_given[b'C:\\update\\3pupdate.z'] = False
    problems = check_files(expected, result) + check_folders(expected, result)
    check(not problems, '\n'.join(problems))
    check(sorted(result.viewer_launches) == [b'C:\\Perinwood\\readme.txt',
                                             b'C:\\windows\\system\\app.dll'],
          f'viewers {result.viewer_launches}')


def refused(tool: Tool, folder: Path, args, *culprits: bytes) -> None:
    done = tool.run(folder, 'diff', 'old', 'new', '-o', 'out.z', '-V', '1.02', *args)
    check(done.returncode == 1, f'{args}: diff exited {done.returncode}: {done.stderr!r}')
    for culprit in culprits:
        check(culprit in done.stderr, f'{args}: {culprit!r} not named in {done.stderr!r}')
    check(not (folder / 'out.z').exists() and not list(folder.glob('out.z.tmp*')),
          f'{args}: something was written')


def case_refusals(tool: Tool, folder: Path) -> None:
    """what diff refuses is named, and nothing is written"""
    make_trees(folder, {'install/a.txt': (b'a', b'b'), 'install/gone.txt': (b'g', None)})
    refused(tool, folder, ['--strict'], b'gone.txt')
    new = folder / 'new'
    (new / 'extra').mkdir()
    (new / 'extra' / 'x.txt').write_bytes(b'x')
    (new / 'top.txt').write_bytes(b'x')
    (new / 'install' / 'caf\u00e9.txt').write_bytes(b'x')
    (new / 'install' / 'A.TXT').write_bytes(b'x')
    refused(tool, folder, [], b'extra', b'top.txt', b'caf', b'A.TXT')
    shutil.rmtree(new)
    (new / 'install').mkdir(parents=True)
    for i in range(256):
        (new / 'install' / f'f{i:03d}').write_bytes(b'x')
    refused(tool, folder, [], b'256 entries; an archive holds at most 255')
    shutil.rmtree(new)
    (new / 'windows').mkdir(parents=True)
    (new / 'windows' / 'n').mkdir()
    (new / 'windows' / 'n' / ('x' * 254)).write_bytes(b'x')
    refused(tool, folder, [], b'bytes stored; it must be 1 to 255')
    shutil.rmtree(new / 'windows')
    with open(new / 'huge.bin', 'wb') as huge:
        huge.truncate(4 << 30)   # sparse: 4 GiB without using the disk
    (new / 'install').mkdir(exist_ok=True)
    os.replace(new / 'huge.bin', new / 'install' / 'huge.bin')
    refused(tool, folder, [], b'huge.bin', b'an entry must stay below 4 GiB')


CASES = [case_round_trip, case_refusals]


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--target', choices=('host', 'wine'), default='host')
    parser.add_argument('--build-dir', type=Path, default=REPO_ROOT / 'build' / 'host')
    parser.add_argument('--win32-build-dir', type=Path, default=None,
                        help='the Windows build tree (default: the one wine-build.sh chooses)')
    args = parser.parse_args(argv)
    windows_tree = args.win32_build_dir or wine_build.chosen().tree()
    if args.target == 'wine':
        print(f'Windows build: {windows_tree.name} ({wine_build.chosen().reason})', flush=True)
    work = Path(tempfile.mkdtemp(prefix=f'diff-{args.target}-'))
    options = RunOptions(repo_root=REPO_ROOT, host_build_dir=args.build_dir.resolve(),
                         win32_build_dir=windows_tree.resolve(),
                         work_root=work / f'wine-{os.getpid()}')
    failed = 0
    try:
        tool = Tool(args.target, options)
        for case in CASES:
            folder = work / case.__name__
            folder.mkdir()
            try:
                case(tool, folder)
                print(f'ok   {args.target}: {case.__doc__.splitlines()[0]}', flush=True)
            except (Failure, subprocess.TimeoutExpired, OSError, ValueError) as error:
                failed += 1
                print(f'FAIL {args.target}: {case.__doc__.splitlines()[0]}\n    '
                      + str(error).replace('\n', '\n    '), flush=True)
    except Exception as error:  # the target could not run at all
        print(f'target {args.target} cannot run: {type(error).__name__}: {error}')
        failed = len(CASES)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print(f'{len(CASES) - failed} passed, {failed} failed')
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())
