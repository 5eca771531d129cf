"""A hostile console: standard input closed at each question; standard output
closed, full, or a reader that goes away; a 100 MB line typed ahead. The
program must neither crash nor hang, and must not let the console's bytes
land in a user's file. (Input that ends empty or mid-line at a question is
scenario data: version_gate.scn and overwrite.scn.)"""

from __future__ import annotations

import os
import tempfile
from pathlib import Path

from checks import (ENTRY_TIME, NEW_TIME, P, T, archive, check, check_clean_end, check_stop, expect, file,
                    machine, run)

CONTENT = bytes(range(256)) * 20
ENTRIES = 40


def downgrade_machine(**options):
    """Installed 1.02, archive 1.01: the downgrade question comes first."""
    return machine(archive(b'1.01', [(b'i', b'a.txt', ENTRY_TIME, CONTENT)]), version=b'1.02\0', **options)


def overwrite_machine(**options):
    """A newer file at the entry's path: the overwrite question."""
    data = archive(b'1.01', [(b'i', b'a.txt', ENTRY_TIME, CONTENT), (b'i', b'b.txt', ENTRY_TIME, b'second')])
    return machine(data, {P + b'a.txt': file(b'mine', NEW_TIME)}, **options)


def many_entries_machine(**options):
    """Forty entries: about 6000 bytes of console output, so the console's
    buffer is written out while some output file is open."""
    entries = [(b'i', b'f%02d.txt' % i, ENTRY_TIME, CONTENT[i:] + b'%d' % i) for i in range(ENTRIES)]
    return machine(archive(b'1.01', entries), **options)


def check_many_entries(result, context: str) -> None:
    check_clean_end(result, context)
    for i in range(ENTRIES):
        found = result.files.get(P + b'f%02d.txt' % i)
        expect(found is not None and found.content == CONTENT[i:] + b'%d' % i,
               '%s: f%02d.txt is not the entry data (%r ... %r)'
               % (context, i, found and found.content[:20], found and found.content[-60:]))


@check('standard input closed at the downgrade and the overwrite question')
def closed_input(ctx):
    for build in ctx.builds:
        result = run(downgrade_machine(redirect='<&-', timeout=20), build)
        check_stop(result, T['UPDATE_CANCELLED'], build + ', closed input at the downgrade question')
        expect(P + b'a.txt' not in result.files, build + ': file written after a cancel')
        result = run(overwrite_machine(redirect='<&-', timeout=20), build)
        context = build + ', closed input at the overwrite question'
        check_stop(result, T['UPDATE_DONE'], context, status=0)
        expect(result.files[P + b'a.txt'].content == b'mine', context + ': a.txt wrong')
        expect(result.files[P + b'b.txt'].content == b'second', context + ': b.txt wrong')


@check('standard output closed or full, and all standard streams closed')
def closed_output(ctx):
    cases = [(ctx.build, r) for r in ('>&-', '>/dev/full', '<&- >&-', '<&- >&- 2>&-')]
    for build, redirect in cases + [(ctx.sanitize, '<&- >&- 2>&-')]:
        context = '%s, %s' % (build, redirect)
        result = run(many_entries_machine(redirect=redirect, timeout=30), build)
        expect(result.exit_status == 0, '%s: status %r, stderr %r'
               % (context, result.exit_status, result.stderr[-300:]))
        check_many_entries(result, context)


@check('a reader that goes away: output piped into head -c 10')
def broken_pipe(ctx):
    for build in ctx.builds:
        context = build + ', | head -c 10'
        result = run(many_entries_machine(pipe_to=['head', '-c', '10'], timeout=30), build)
        expect(result.exit_status == 0, '%s: status %r (negative: a signal)' % (context, result.exit_status))
        expect(len(result.stdout) == 10, context + ': head got %d bytes' % len(result.stdout))
        check_many_entries(result, context)
        # Stopped runs end with status 1 just as well.
        result = run(downgrade_machine(pipe_to=['head', '-c', '10'], timeout=30), build)
        expect(result.exit_status == 1, '%s, cancelled: status %r' % (context, result.exit_status))


def _write_repeated(handle, byte: bytes, count: int) -> None:
    chunk = byte * (1 << 20)
    while count > 0:
        handle.write(chunk[:count])
        count -= len(chunk)


@check('a 100 MB line typed ahead at each question')
def huge_line(ctx):
    folder = Path(tempfile.mkdtemp(prefix='harden-line-', dir=os.environ.get('HARDEN_TMP')))
    path = folder / 'line'
    limit = 16 * 1024  # kB: the input is read through a fixed buffer
    size = 100 * 1000 * 1000
    try:
        # Downgrade question: 100 MB of ignored bytes, then y; the rest of the
        # line (another 100 MB) reaches the overwrite question, whose answer
        # comes from its first accepted byte, none: the z bytes and the line
        # end are no answers, so the input ends without one and a.txt is kept.
        with open(path, 'wb') as handle:
            _write_repeated(handle, b'q', size)
            handle.write(b'y')
            _write_repeated(handle, b'z', size)
            handle.write(b'\n')
        newer = {P + b'a.txt': file(b'mine', NEW_TIME)}
        result = run(downgrade_machine(files=newer, stdin_file=path), ctx.build)
        check_stop(result, T['UPDATE_DONE'], '100 MB line', status=0)
        expect(result.peak_memory_kb > 0, '100 MB line: memory never sampled')
        expect(result.files[P + b'a.txt'].content == b'mine', '100 MB line: a.txt changed')
        expect(result.seconds < 30, '100 MB line: %.1fs' % result.seconds)
        expect(result.peak_memory_kb < limit, '100 MB line: %d kB resident' % result.peak_memory_kb)
        # Overwrite question: the answer, then 100 MB to drop up to the line end.
        with open(path, 'wb') as handle:
            handle.write(b'y')
            _write_repeated(handle, b'z', size)
            handle.write(b'\nn\n')
        result = run(overwrite_machine(stdin_file=path), ctx.build)
        check_stop(result, T['UPDATE_DONE'], 'answer then 100 MB', status=0)
        expect(result.files[P + b'a.txt'].content == CONTENT, 'answer then 100 MB: not overwritten')
        expect(result.peak_memory_kb < limit, 'answer then 100 MB: %d kB resident' % result.peak_memory_kb)
        print('    100 MB lines: %.2fs, %d kB resident' % (result.seconds, result.peak_memory_kb))
    finally:
        path.unlink(missing_ok=True)
        folder.rmdir()
