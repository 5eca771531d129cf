"""Memory checking under valgrind (a complete update and a decoding failure:
no error, no leak) and read-only files end to end."""

from __future__ import annotations

import shutil

import archive_forge as forge
import harness as h
import test_faults
from registry import test

P = h.INSTALL_DIR + b'\\'
VALGRIND = ['valgrind', '--error-exitcode=99', '--leak-check=full', '--track-fds=no',
            '--errors-for-leak-kinds=definite,indirect,possible',
            '--show-leak-kinds=definite,indirect,possible', '-q']


def full_update() -> h.Machine:
    """Every path the program has: a written file, an overwritten newer
    read-only file (answered y), a folder made, a skipped unknown kind."""
    entries = [(b'a.txt', h.ENTRY_TIME, b'i', b'alpha ' * 500),
               (b'ro.txt', h.ENTRY_TIME, b'i', b'\0' * 2000 + b'end'),
               (b'pic.bmp', h.ENTRY_TIME, b'b', bytes(range(256)) * 5),
               (b'odd', h.ENTRY_TIME, b'x', b'not written')]
    files = {P + b'ro.txt': h.FileState(b'older content', h.NEW_TIME, True)}
    return h.Machine(forge.encode(b'1.01', entries), files=files)


@test('valgrind: a complete update and a decoding failure, no error, no leak')
def valgrind(ctx):
    if shutil.which('valgrind') is None:
        raise h.Failure('valgrind is not installed (Debian: valgrind)')
    outcome = h.run(full_update(), build=ctx.build, stdin=b'y\n', wrapper=VALGRIND, timeout=120)
    h.expect(outcome.status == 0, 'complete update under valgrind: status %r\n%s'
             % (outcome.status, outcome.stderr.decode(errors='replace')[-3000:]))
    h.expect(outcome.files[P + b'ro.txt'].content == b'\0' * 2000 + b'end', 'valgrind run: ro.txt not written')
    h.expect(outcome.stderr == b'', 'valgrind reported: %s' % outcome.stderr.decode(errors='replace')[-3000:])
    # A damaged archive: found by the check before anything is written.
    archive = forge.encode(b'1.01', [(b'a.txt', h.ENTRY_TIME, b'i', b'alpha ' * 500)])
    damaged = archive[:len(archive) - 20] + b'\xff' * 20
    outcome = h.run(h.Machine(damaged), build=ctx.build, wrapper=VALGRIND, timeout=120)
    h.expect(outcome.status == 1 and outcome.stdout.endswith(h.DECODE_ERROR),
             'decoding failure under valgrind: status %r, %r\n%s'
             % (outcome.status, outcome.stdout[-80:], outcome.stderr.decode(errors='replace')[-3000:]))
    h.expect(outcome.stderr == b'', 'valgrind reported: %s' % outcome.stderr.decode(errors='replace')[-3000:])
    # A decoding failure in the middle of a written entry (the archive swapped
    # after the check): the output is abandoned and the old file kept.
    outcome = h.run(test_faults._changing_archive(), build=ctx.build, stdin=test_faults.CHANGING_ANSWERS, wrapper=VALGRIND,
                    timeout=120)
    test_faults.check_changing_archive(outcome, 'abandoned entry under valgrind')
    h.expect(outcome.stderr == b'', 'valgrind reported: %s' % outcome.stderr.decode(errors='replace')[-3000:])


@test('read-only files: refused when older, overwritten and kept read-only when newer')
def read_only(ctx):
    for build in (ctx.build, ctx.sanitize):
        entries = [(b'first.txt', h.ENTRY_TIME, b'i', b'first'),
                   (b'newer.txt', h.ENTRY_TIME, b'i', b'new content'),
                   (b'older.txt', h.ENTRY_TIME, b'i', b'never')]
        files = {P + b'newer.txt': h.FileState(b'newer and read-only', h.NEW_TIME, True),
                 P + b'older.txt': h.FileState(b'older and read-only', h.OLD_TIME, True)}
        outcome = h.run(h.Machine(forge.encode(b'1.01', entries), files=files), build=build, stdin=b'y\n')
        h.check_clean_end(outcome, build)
        # The newer file was asked about and overwritten, and is read-only again.
        newer = outcome.files[P + b'newer.txt']
        h.expect(newer.content == b'new content' and newer.readonly and newer.mtime == h.ENTRY_TIME,
                 '%s: newer.txt %r' % (build, newer))
        # The older one is written without a question, and the write is refused.
        h.expect(outcome.status == 1 and outcome.stdout.endswith(h.cannot_write(P + b'older.txt')),
                 '%s: %r' % (build, outcome.stdout[-100:]))
        h.expect(outcome.files[P + b'older.txt'] == files[P + b'older.txt'], build + ': older.txt changed')
        h.expect(outcome.files[P + b'first.txt'].content == b'first', build + ': first.txt lost')
        # Answer A: every later newer file, read-only or not, without asking.
        files = {P + b'newer.txt': h.FileState(b'newer and read-only', h.NEW_TIME, True),
                 P + b'older.txt': h.FileState(b'newer too', h.NEW_TIME, True)}
        outcome = h.run(h.Machine(forge.encode(b'1.01', entries), files=files), build=build, stdin=b'A\n')
        h.check_clean_end(outcome, build + ' answer A')
        h.expect(outcome.status == 0 and outcome.stdout.count(h.NEWER_FILE_EXISTS) == 1,
                 '%s answer A: %r' % (build, outcome.stdout[-100:]))
        for name, content in ((b'newer.txt', b'new content'), (b'older.txt', b'never')):
            found = outcome.files[P + name]
            h.expect(found.content == content and found.readonly, '%s answer A: %r %r' % (build, name, found))
        # A folder standing at the path: the write is refused, the folder stays.
        outcome = h.run(h.Machine(forge.encode(b'1.01', entries[:1]),
                                  files={P + b'first.txt\\inside': h.FileState(b'x', h.OLD_TIME, False)}),
                        build=build)
        h.check_clean_end(outcome, build + ' folder at path')
        h.expect(outcome.stdout.endswith(h.cannot_write(P + b'first.txt')), build + ' folder at path: %r'
                 % outcome.stdout[-100:])
        h.expect(outcome.files.get(P + b'first.txt\\inside') is not None, build + ': folder contents lost')


@test('hostile registry values and Windows directory')
def hostile_machine(ctx):
    archive = forge.encode(b'1.01', [(b'a.txt', h.ENTRY_TIME, b'i', b'a'), (b'w.txt', h.ENTRY_TIME, b'W', b'w')])
    cases = [
        # (label, machine changes, expected ending)
        ('install folder of 300 bytes', dict(install_dir_data=b'C:\\' + b'p' * 297), None),
        ('install folder of 255 bytes, no NUL', dict(install_dir_data=b'C:\\' + b'p' * 252), None),
        ('empty install folder', dict(install_dir_data=b''), None),
        ('version of 100 bytes', dict(version_data=b'1.01' + b'z' * 96), None),
        ('version without NUL, 11 bytes', dict(version_data=b'1.01abcdefg'), None),
        ('version with bytes over 0x7F', dict(version_data=b'1.0\xff\x80\0'), None),
        ('Windows directory of 300 bytes', dict(windows_directory=b'C:\\' + b'w' * 297), None),
        ('Windows directory of 255 bytes', dict(windows_directory=b'C:\\' + b'w' * 252), None),
    ]
    for build in (ctx.build, ctx.sanitize):
        for label, changes, _ in cases:
            machine = h.Machine(archive)
            for name, value in changes.items():
                setattr(machine, name, value)
            context = '%s, %s' % (build, label)
            outcome = h.run(machine, build=build, stdin=b'y\n', timeout=20)
            h.check_clean_end(outcome, context)
            not_installed = h.message('\n 3D Perinwoodが正しくインストールされていません\n')
            h.expect(outcome.stdout.endswith(not_installed) or outcome.stdout.endswith(h.UPDATE_DONE) or
                     outcome.stdout.endswith(h.CANNOT_WRITE_TAIL) or outcome.stdout.endswith(h.PRE_V100) or
                     outcome.stdout.endswith(h.UPDATE_CANCELLED) or outcome.stdout.endswith(h.MAJOR_MISMATCH),
                     '%s: %r' % (context, outcome.stdout[-120:]))
