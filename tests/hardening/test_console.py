"""A hostile console: standard input empty, closed or ending mid-line at each
prompt; standard output closed or a reader that goes away; a 100 MB line
typed ahead. The program must neither crash nor hang, and must not let the
console's bytes land in a user's file."""

from __future__ import annotations

import os
import tempfile
from pathlib import Path

import archive_forge as forge
import harness as h
from registry import test

P = h.INSTALL_DIR + b'\\'
CONTENT = bytes(range(256)) * 20
ENTRIES = 40


def downgrade_machine() -> h.Machine:
    """Installed 1.02, archive 1.01: the downgrade question comes first."""
    archive = forge.encode(b'1.01', [(b'a.txt', h.ENTRY_TIME, b'i', CONTENT)])
    return h.Machine(archive, installed_version=b'1.02')


def overwrite_machine() -> h.Machine:
    """A newer file at the entry's path: the overwrite question."""
    archive = forge.encode(b'1.01', [(b'a.txt', h.ENTRY_TIME, b'i', CONTENT),
                                     (b'b.txt', h.ENTRY_TIME, b'i', b'second')])
    return h.Machine(archive, files={P + b'a.txt': h.FileState(b'mine', h.NEW_TIME, False)})


def many_entries_machine() -> h.Machine:
    """Forty entries: about 6000 bytes of console output, so the console's
    buffer is written out while some output file is open."""
    entries = [(b'f%02d.txt' % i, h.ENTRY_TIME, b'i', CONTENT[i:] + b'%d' % i) for i in range(ENTRIES)]
    return h.Machine(forge.encode(b'1.01', entries))


def check_many_entries(outcome: h.Outcome, context: str) -> None:
    h.check_clean_end(outcome, context)
    for i in range(ENTRIES):
        found = outcome.files.get(P + b'f%02d.txt' % i)
        h.expect(found is not None and found.content == CONTENT[i:] + b'%d' % i,
                 '%s: f%02d.txt is not the entry data (%r ... %r)'
                 % (context, i, found and found.content[:20], found and found.content[-60:]))


@test('end of input at the downgrade question: empty, closed, mid-line')
def downgrade_input(ctx):
    for build in (ctx.build, ctx.sanitize):
        for label, stdin, redirect in (('empty', b'', ''), ('closed', b'', '<&-'),
                                       ('mid-line', b'x', ''), ('blank line then end', b'\n \n', '')):
            context = '%s, %s input' % (build, label)
            outcome = h.run(downgrade_machine(), build=build, stdin=stdin, shell_redirect=redirect, timeout=20)
            h.check_clean_end(outcome, context)
            h.expect(outcome.status == 1 and outcome.stdout.endswith(h.UPDATE_CANCELLED),
                     '%s: %r' % (context, outcome.stdout[-100:]))
            h.expect(P + b'a.txt' not in outcome.files, context + ': file written after a cancel')


@test('end of input at the overwrite question: empty, closed, mid-line')
def overwrite_input(ctx):
    for build in (ctx.build, ctx.sanitize):
        cases = (('empty', b'', '', b'mine'), ('closed', b'', '<&-', b'mine'),
                 ('mid-line no answer', b'qq', '', b'mine'), ('answer without line end', b'y', '', CONTENT),
                 ('answer then end mid-line', b'yes', '', CONTENT))
        for label, stdin, redirect, expected in cases:
            context = '%s, %s' % (build, label)
            outcome = h.run(overwrite_machine(), build=build, stdin=stdin, shell_redirect=redirect, timeout=20)
            h.check_clean_end(outcome, context)
            h.expect(outcome.status == 0 and outcome.stdout.endswith(h.UPDATE_DONE),
                     '%s: %r' % (context, outcome.stdout[-100:]))
            h.expect(outcome.files[P + b'a.txt'].content == expected, context + ': a.txt wrong')
            h.expect(outcome.files[P + b'b.txt'].content == b'second', context + ': b.txt wrong')


@test('standard output closed or full, and all standard streams closed')
def closed_output(ctx):
    cases = [(ctx.build, r) for r in ('>&-', '>/dev/full', '<&- >&-', '<&- >&- 2>&-')]
    for build, redirect in cases + [(ctx.sanitize, '<&- >&- 2>&-')]:
            context = '%s, %s' % (build, redirect)
            outcome = h.run(many_entries_machine(), build=build, shell_redirect=redirect, timeout=30)
            h.expect(outcome.status == 0, '%s: status %r, stderr %r' % (context, outcome.status, outcome.stderr[-300:]))
            check_many_entries(outcome, context)


@test('a reader that goes away: output piped into head -c 10')
def broken_pipe(ctx):
    for build in (ctx.build, ctx.sanitize):
        context = build + ', | head -c 10'
        outcome = h.run(many_entries_machine(), build=build, pipe_to=['head', '-c', '10'], timeout=30)
        h.expect(outcome.status == 0, '%s: status %r (negative: a signal)' % (context, outcome.status))
        h.expect(len(outcome.stdout) == 10, context + ': head got %d bytes' % len(outcome.stdout))
        check_many_entries(outcome, context)
        # Stopped runs end with status 1 just as well.
        outcome = h.run(downgrade_machine(), build=build, pipe_to=['head', '-c', '10'], timeout=30)
        h.expect(outcome.status == 1, '%s, cancelled: status %r' % (context, outcome.status))


def _write_repeated(handle, byte: bytes, count: int) -> None:
    chunk = byte * (1 << 20)
    while count > 0:
        handle.write(chunk[:count])
        count -= len(chunk)


@test('a 100 MB line typed ahead at each question')
def huge_line(ctx):
    folder = Path(tempfile.mkdtemp(prefix='harden-line-', dir=os.environ.get('HARDEN_TMP')))
    try:
        size = 100 * 1000 * 1000
        # Downgrade question: 100 MB of ignored bytes, then y; the rest of the
        # line (another 100 MB) reaches the overwrite question, whose answer
        # comes from its first accepted byte; the rest is dropped.
        path = folder / 'line'
        with open(path, 'wb') as handle:
            _write_repeated(handle, b'q', size)
            handle.write(b'y')
            _write_repeated(handle, b'z', size)
            handle.write(b'\n')
        machine = downgrade_machine()
        machine.files = {P + b'a.txt': h.FileState(b'mine', h.NEW_TIME, False)}
        # The input is read through a fixed buffer: memory stays small.
        limit = 16 * 1024
        outcome = h.run(machine, build=ctx.build, stdin_path=path, timeout=60)
        h.check_clean_end(outcome, '100 MB line')
        h.expect(outcome.status == 0, '100 MB line: status %r %r' % (outcome.status, outcome.stdout[-100:]))
        h.expect(outcome.max_rss_kb > 0, '100 MB line: memory never sampled')
        # The y answered the downgrade; the overwrite question took the next y
        # it found, none: the z bytes and the line end are not answers, so the
        # input ends without one and the file is kept.
        h.expect(outcome.files[P + b'a.txt'].content == b'mine', '100 MB line: a.txt changed')
        h.expect(outcome.seconds < 30, '100 MB line: %.1fs' % outcome.seconds)
        h.expect(outcome.max_rss_kb < limit, '100 MB line: %d kB resident' % outcome.max_rss_kb)
        # Overwrite question: the answer, then 100 MB to drop up to the line end.
        with open(path, 'wb') as handle:
            handle.write(b'y')
            _write_repeated(handle, b'z', size)
            handle.write(b'\nn\n')
        outcome = h.run(overwrite_machine(), build=ctx.build, stdin_path=path, timeout=60)
        h.check_clean_end(outcome, 'answer then 100 MB')
        h.expect(outcome.status == 0 and outcome.files[P + b'a.txt'].content == CONTENT,
                 'answer then 100 MB: not overwritten')
        h.expect(outcome.max_rss_kb < limit, 'answer then 100 MB: %d kB resident' % outcome.max_rss_kb)
        print('    100 MB lines: %.2fs, %d kB resident' % (outcome.seconds, outcome.max_rss_kb))
    finally:
        for name in os.listdir(folder):
            os.unlink(folder / name)
        os.rmdir(folder)
