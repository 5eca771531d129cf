r"""Reads scenario files (tests/e2e/scenarios/*.scn) into Scenario records.

A scenario file holds cases. A line `=== title` starts a case; a title that
begins with `@` names a reusable block instead, which cases pull in with
`use NAME` (blocks from common.inc serve every file). Lines starting with `#`
are comments; a line that starts with blanks continues the line before it.

A directive is a keyword, maybe options, maybe `= VALUE`. A VALUE is a
sequence of pieces, concatenated:
    "text"        C escapes \\ \" \n \r \t \0 \xNN; other characters are
                  written as UTF-8 and stored as code page 932 bytes
    'text'        the same without escapes (handy for Windows paths)
    <41 42 0A>    bytes in hex
    @NAME(a, b)   a text defined with `define NAME = VALUE`, its %s and %d
                  replaced in order by the arguments (each itself pieces, or
                  a bare word)
    word          a bare word: its own bytes
Any quoted, hex or @ piece may be followed by *N: N copies.

Machine directives:
    use NAME                       pull in the block @NAME
    installdir [HKLM|HKCU] = V     SoftWare\\ORBELINE\\3D Perinwood\\Directories, InstallDir
    version [HKLM|HKCU] = V        ...\\VersionInfo, Version
    reg HIVE KEY NAME = V          any registry value;  regkey HIVE KEY: a key, no value
    windir = V                     the Windows directory the program is told (host only)
    workdir PATH                   where the program runs (default C:\\update)
    folder PATH                    an empty folder
    file PATH [mtime N] [readonly] = V
    link PATH = TARGET             host only: a symbolic link to the Windows path TARGET
    hardlink PATH = FIRST          host only: a second name of the file FIRST
    stdin = V;  args W...;  env NAME VALUE
    interrupt SIGNAL               standard input stays open after the typed bytes;
                                   once the program waits for more, it gets
                                   SIGNAL (INT, TERM, HUP; a Ctrl-C under Wine)
    host-only REASON               skipped under Wine, with the reason printed
    hold PATH [share-all|share-none]
                                   Wine only: another program holds the file open
                                   (sharing reading and writing, or everything
                                   as a virus scanner does, or nothing)
    attributes PATH = N            Wine only: DOS attributes set before the run
                                   (read-only 1, hidden 2, system 4)
Archive (3pupdate.z in the working folder), one of:
    archive = V                    the exact bytes
    archive-fields                 continuation lines: a make_archive description
    archive-version = V  and  entry KIND NAME TIME [size N] [copies N] = V
                                   built for the scenario (by make_archive, or by
                                   `3ppack create` after `archive-packer 3ppack`);
                                   archive-count N and archive-cut-bits N adjust
                                   a make_archive build
    archive-pack OPTION...         more options for `3ppack create`: --no-trailer,
                                   --sign NAME (the runner's key NAME: vendor, next, other)
    archive-edit flip OFFSET BIT   then flips bit BIT (0 the highest) of byte OFFSET
                                   (a negative OFFSET counts from the end)
    archive-edit insert OFFSET = V inserts V's bytes in front of byte OFFSET
    archive-edit cut N             drops the last N bytes
    archive-edit trailer-after N   appends N zero bytes, then an unsigned trailer
                                   whose digest covers everything before it
    first-run [kill] = V           two runs at once: the program (no arguments) is
                                   started first, V typed; once it waits for more,
                                   it is killed (kill) before the scenario's run,
                                   or gets first-input = V and the end of its
                                   input after it; first-stdout = V and
                                   first-result R then say how it ended
Expectations:
    stdout = V;  result ok|fatal|error|interrupted|quiet N
                                   (exit 0 + 5000 ms, 1 + 5000, 1 + 10000, 1 + no pause,
                                   N + no pause)
    expect-log PATH = V            the file holds V's text in UTF-8, each time
                                   stamp (2026-12-09T08:30:00Z) read as TIME and
                                   the tag that begins a line (PC-07:4312) as TAG
    expect-file PATH [mtime N] [readonly] = V;  expect-absent PATH;  expect-folder PATH
    expect-viewer = V              one recorded viewer command-line tail
    expect-attributes PATH = N     Wine only: the file's DOS attributes after the run
    expect-nothing-created         host only: the program creates no file or folder
                                   on the machine's drives at any moment (strace)
The run's own files are named "~3pu", four random hex digits, ".tmp" or
".bak": "~3pu####" stands for those digits in stdout and in paths. A backup
is named "~3pu-NAME.bak" after its destination NAME where that name is free.
Everything not named by an expectation must be as it was before the run: no
file changed, appeared or vanished, no folder appeared or vanished.
"""

from __future__ import annotations

import dataclasses
import re
from pathlib import Path
from typing import Dict, List, Optional, Tuple

import archive_fields
from machine import FileSpec, RegistryValue

PRODUCT_KEY = b'SoftWare\\ORBELINE\\3D Perinwood\\'
RESULTS = {'ok': (0, 5000), 'fatal': (1, 5000), 'error': (1, 10000), 'interrupted': (1, 0)}


class ScenarioError(Exception):
    pass


@dataclasses.dataclass
class Entry:
    kind: bytes
    name: bytes
    time: int
    data: bytes
    size: Optional[int] = None


@dataclasses.dataclass
class Scenario:
    file: str
    title: str
    line: int
    host_only: Optional[str] = None
    registry: Dict[Tuple[str, bytes, Optional[bytes]], RegistryValue] = dataclasses.field(default_factory=dict)
    files: Dict[bytes, FileSpec] = dataclasses.field(default_factory=dict)
    folders: List[bytes] = dataclasses.field(default_factory=list)
    working_folder: bytes = b'C:\\update'
    windows_directory: Optional[bytes] = None
    stdin: bytes = b''
    interrupt: Optional[str] = None
    args: List[bytes] = dataclasses.field(default_factory=list)
    env: Dict[str, str] = dataclasses.field(default_factory=dict)
    archive_bytes: Optional[bytes] = None
    archive_fields: Optional[str] = None
    archive_version: Optional[bytes] = None
    archive_count: Optional[int] = None
    archive_cut_bits: Optional[int] = None
    packer: str = 'make_archive'
    pack_options: List[bytes] = dataclasses.field(default_factory=list)
    archive_edits: List[Tuple[str, int, object]] = dataclasses.field(default_factory=list)
    entries: List[Entry] = dataclasses.field(default_factory=list)
    stdout: Optional[bytes] = None
    exit_status: Optional[int] = None
    pause_ms: Optional[int] = None
    expect_files: Dict[bytes, FileSpec] = dataclasses.field(default_factory=dict)
    expect_mtime_given: Dict[bytes, bool] = dataclasses.field(default_factory=dict)
    expect_absent: List[bytes] = dataclasses.field(default_factory=list)
    expect_folders: List[bytes] = dataclasses.field(default_factory=list)
    expect_viewers: List[bytes] = dataclasses.field(default_factory=list)
    expect_nothing_created: bool = False
    holds: List[bytes] = dataclasses.field(default_factory=list)
    shared_holds: List[bytes] = dataclasses.field(default_factory=list)
    locked_holds: List[bytes] = dataclasses.field(default_factory=list)
    attributes: Dict[bytes, int] = dataclasses.field(default_factory=dict)
    expect_attributes: Dict[bytes, int] = dataclasses.field(default_factory=dict)
    expect_logs: Dict[bytes, bytes] = dataclasses.field(default_factory=dict)
    first_run: Optional[bytes] = None
    first_kill: bool = False
    first_input: bytes = b''
    first_stdout: Optional[bytes] = None
    first_result: Optional[Tuple[int, int]] = None
    links: Dict[bytes, bytes] = dataclasses.field(default_factory=dict)
    hard_links: Dict[bytes, bytes] = dataclasses.field(default_factory=dict)

    @property
    def name(self) -> str:
        return f'{self.file}: {self.title}'


def fold_case(path: bytes) -> bytes:
    """path with ASCII letters in lower case, as the machine's file names are
    matched: a code page 932 two-byte character stays as it is (its second
    byte may look like a letter)."""
    out = bytearray()
    i = 0
    while i < len(path):
        byte = path[i]
        if (0x81 <= byte <= 0x9F or 0xE0 <= byte <= 0xFC) and i + 1 < len(path):
            out += path[i:i + 2]
            i += 2
            continue
        out.append(byte + 32 if 0x41 <= byte <= 0x5A else byte)
        i += 1
    return bytes(out)


# ---- pieces -----------------------------------------------------------------

_ESCAPES = {'\\': b'\\', '"': b'"', 'n': b'\n', 'r': b'\r', 't': b'\t', '0': b'\0'}


def encode(text: str) -> bytes:
    return text.encode('cp932')


def _read_quoted(text: str, i: int, escapes: bool) -> Tuple[bytes, int]:
    quote = text[i]
    out = bytearray()
    i += 1
    while i < len(text):
        c = text[i]
        if c == quote:
            return bytes(out), i + 1
        if escapes and c == '\\':
            nxt = text[i + 1:i + 2]
            if nxt == 'x':
                out += bytes([int(text[i + 2:i + 4], 16)])
                i += 4
                continue
            if nxt not in _ESCAPES:
                raise ScenarioError(f'bad escape \\{nxt}')
            out += _ESCAPES[nxt]
            i += 2
            continue
        out += encode(c)
        i += 1
    raise ScenarioError('unterminated string')


class Tokens:
    """Tokens of one logical line, @ references already expanded:
    ['bytes', b], ['word', str] and ['=', None]."""

    def __init__(self, text: str, defines: Dict[str, bytes]):
        self.defines = defines
        self.items = self._scan(text)

    def _scan(self, text: str):
        items = []
        i = 0
        while i < len(text):
            c = text[i]
            if c.isspace():
                i += 1
                continue
            if c in '"\'':
                value, i = _read_quoted(text, i, escapes=(c == '"'))
                items.append(['bytes', value])
            elif c == '<':
                end = text.index('>', i)
                items.append(['bytes', bytes.fromhex(text[i + 1:end])])
                i = end + 1
            elif c == '@':
                m = re.compile(r'@([A-Za-z0-9_]+)').match(text, i)
                if not m:
                    raise ScenarioError('bad @ reference')
                i = m.end()
                args = None
                if text[i:i + 1] == '(':
                    args, i = self._scan_args(text, i + 1)
                items.append(['bytes', self._expand(m.group(1), args)])
            elif c == '=' and (i + 1 == len(text) or text[i + 1].isspace()):
                items.append(['=', None])
                i += 1
            else:
                start = i
                while i < len(text) and not text[i].isspace():
                    i += 1
                items.append(['word', text[start:i]])
                continue
            m = re.compile(r'\*(\d+)').match(text, i)
            if m:
                items[-1][1] = items[-1][1] * int(m.group(1))
                i = m.end()
        return items

    def _scan_args(self, text: str, i: int):
        args = []
        while True:
            while i < len(text) and text[i].isspace():
                i += 1
            if text[i:i + 1] == ')':
                return args, i + 1
            # one argument: pieces up to the next top-level ',' or ')'
            depth, j, quote = 0, i, None
            while j < len(text):
                c = text[j]
                if quote:
                    if c == '\\' and quote == '"':
                        j += 1
                    elif c == quote:
                        quote = None
                elif c in '"\'':
                    quote = c
                elif c == '(':
                    depth += 1
                elif c == ')' and depth == 0 or c == ',' and depth == 0:
                    break
                elif c == ')':
                    depth -= 1
                j += 1
            pieces = Tokens(text[i:j], self.defines).items
            args.append(b''.join(to_bytes(kind, value) for kind, value in pieces))
            i = j + 1 if text[j:j + 1] == ',' else j

    def _expand(self, name: str, args: Optional[List[bytes]]) -> bytes:
        if name not in self.defines:
            raise ScenarioError(f'unknown text @{name}')
        body = self.defines[name]
        if not args:
            return body
        queue = list(args)

        def substitute(match):
            if not queue:
                raise ScenarioError(f'@{name}: too few arguments')
            return queue.pop(0)
        result = re.sub(rb'%[sd]', substitute, body)
        if queue:
            raise ScenarioError(f'@{name}: too many arguments')
        return result


def to_bytes(kind: str, value) -> bytes:
    if kind == 'bytes':
        return value
    if kind == 'word':
        return encode(value)
    raise ScenarioError('unexpected =')


def split_value(tokens: Tokens) -> Tuple[List[str], Optional[bytes]]:
    """Options before '=' (as words or bytes) and the value after it."""
    items = tokens.items
    for index, (kind, _) in enumerate(items):
        if kind == '=':
            value = b''.join(to_bytes(k, v) for k, v in items[index + 1:])
            return items[:index], value
    return items, None


# ---- files ------------------------------------------------------------------

def _logical_lines(text: str):
    """(line number, text) of each logical line; comments dropped."""
    lines: List[List] = []
    for number, raw in enumerate(text.splitlines(), 1):
        stripped = raw.strip()
        if not stripped or stripped.startswith('#'):
            continue
        if raw[0].isspace() and lines:
            lines[-1][1] += '\n' + raw
        else:
            lines.append([number, raw])
    return lines


def read_blocks(path: Path, defines: Dict[str, bytes], blocks: Dict[str, List]):
    """Splits a file into cases; `define` lines and @ blocks are collected
    into defines and blocks. Returns [(title, line, [(line, text)...])]."""
    cases = []
    current = None
    for number, text in _logical_lines(path.read_text(encoding='utf-8')):
        try:
            if text.startswith('==='):
                title = text[3:].strip()
                current = []
                if title.startswith('@'):
                    blocks[title[1:]] = current
                else:
                    cases.append((title, number, current))
            elif text.startswith('define '):
                m = re.match(r'define\s+([A-Za-z0-9_]+)\s+=\s?(.*)', text, re.S)
                if not m:
                    raise ScenarioError('define NAME = VALUE')
                defines[m.group(1)] = split_value(Tokens('= ' + m.group(2), defines))[1]
            elif current is None:
                raise ScenarioError('directive before the first ===')
            else:
                current.append((number, text))
        except (ScenarioError, ValueError, IndexError, UnicodeError) as error:
            raise ScenarioError(f'{path.name}:{number}: {error}') from None
    return cases


# ---- directives ---------------------------------------------------------------

def _word(item) -> bytes:
    kind, value = item
    return to_bytes(kind, value)


def _int(item) -> int:
    return int(_word(item).decode('ascii'), 0)


def _hive(options) -> str:
    hive = options[0][1] if options else 'HKLM'
    if hive not in ('HKLM', 'HKCU'):
        raise ScenarioError(f'unknown hive {hive}')
    return hive


def _file_options(options):
    """PATH [mtime N] [readonly] -> (path, mtime or None, readonly)."""
    mtime, readonly = None, False
    end = 1
    while end < len(options) and options[end] != ['word', 'mtime'] and \
            options[end] != ['word', 'readonly']:
        end += 1
    path = b''.join(_word(item) for item in options[:end])
    rest = options[end:]
    while rest:
        word = rest[0][1]
        if word == 'mtime':
            mtime, rest = _int(rest[1]), rest[2:]
        elif word == 'readonly':
            readonly, rest = True, rest[1:]
        else:
            raise ScenarioError(f'unknown file option {word}')
    return path, mtime, readonly


def _set_registry(s: Scenario, hive: str, key: bytes, name: Optional[bytes], data: bytes):
    s.registry[(hive, key.lower(), name.lower() if name is not None else None)] = \
        RegistryValue(hive, key, name, data)


def apply_lines(s: Scenario, lines, defines, blocks, depth=0):
    for number, text in lines:
        try:
            _apply_line(s, text, defines, blocks, depth)
        except (ScenarioError, ValueError, IndexError, KeyError, UnicodeError) as error:
            raise ScenarioError(f'{s.file}:{number}: {error}') from None


def _apply_line(s: Scenario, text: str, defines, blocks, depth):
    keyword, _, rest = text.strip().partition(' ')
    keyword = keyword.strip()
    if keyword == 'archive-fields':
        s.archive_fields = rest + '\n'
        return
    if keyword == 'host-only':
        s.host_only = rest.strip()
        return
    options, value = split_value(Tokens(rest, defines))
    if keyword == 'use':
        name = options[0][1]
        if name not in blocks or depth > 10:
            raise ScenarioError(f'no block @{name}')
        apply_lines(s, blocks[name], defines, blocks, depth + 1)
    elif keyword in ('installdir', 'version'):
        key, name = (b'Directories', b'InstallDir') if keyword == 'installdir' \
            else (b'VersionInfo', b'Version')
        _set_registry(s, _hive(options), PRODUCT_KEY + key, name, value)
    elif keyword == 'reg':
        _set_registry(s, _hive(options[:1]), _word(options[1]), _word(options[2]), value)
    elif keyword == 'regkey':
        _set_registry(s, _hive(options[:1]), _word(options[1]), None, b'')
    elif keyword == 'windir':
        s.windows_directory = value
    elif keyword == 'workdir':
        s.working_folder = _word(options[0])
    elif keyword == 'folder':
        s.folders.append(_word(options[0]))
    elif keyword == 'file':
        path, mtime, readonly = _file_options(options)
        s.files[fold_case(path)] = FileSpec(path, value, 946684800 if mtime is None else mtime,
                                         readonly)
    elif keyword in ('link', 'hardlink'):
        (s.links if keyword == 'link' else s.hard_links)[_word(options[0])] = value
        s.host_only = s.host_only or 'links'
    elif keyword == 'stdin':
        s.stdin = value
    elif keyword == 'interrupt':
        if options[0][1] not in ('INT', 'TERM', 'HUP'):
            raise ScenarioError('interrupt INT|TERM|HUP')
        s.interrupt = options[0][1]
    elif keyword == 'args':
        s.args = [_word(item) for item in options]
    elif keyword == 'env':
        s.env[options[0][1]] = _word(options[1]).decode()
    elif keyword == 'archive':
        s.archive_bytes = value
    elif keyword == 'archive-version':
        s.archive_version = value
    elif keyword == 'archive-count':
        s.archive_count = _int(options[0])
    elif keyword == 'archive-packer':
        if options[0][1] not in ('make_archive', '3ppack'):
            raise ScenarioError('archive-packer make_archive|3ppack')
        s.packer = options[0][1]
    elif keyword == 'archive-pack':
        s.pack_options = [_word(item) for item in options]
    elif keyword == 'archive-edit':
        kind = options[0][1] if options else ''
        if kind == 'flip' and len(options) == 3:
            s.archive_edits.append(('flip', _int(options[1]), _int(options[2])))
        elif kind == 'insert' and len(options) == 2 and value:
            s.archive_edits.append(('insert', _int(options[1]), value))
        elif kind in ('cut', 'trailer-after') and len(options) == 2:
            s.archive_edits.append((kind, _int(options[1]), None))
        else:
            raise ScenarioError('archive-edit flip OFFSET BIT | insert OFFSET = V | cut N | '
                                'trailer-after N')
    elif keyword == 'archive-cut-bits':
        s.archive_cut_bits = _int(options[0])
    elif keyword == 'entry':
        extra = {options[i][1]: _int(options[i + 1]) for i in range(3, len(options) - 1, 2)}
        if set(extra) - {'size', 'copies'}:
            raise ScenarioError('entry KIND NAME TIME [size N] [copies N] = DATA')
        for _ in range(extra.get('copies', 1)):
            s.entries.append(Entry(_word(options[0]), _word(options[1]), _int(options[2]),
                                   value or b'', extra.get('size')))
    elif keyword == 'stdout':
        s.stdout = value
    elif keyword in ('result', 'first-result'):
        result = (_int(options[1]), 0) if options[0][1] == 'quiet' else RESULTS[options[0][1]]
        if keyword == 'result':
            s.exit_status, s.pause_ms = result
        else:
            s.first_result = result
    elif keyword == 'first-run':
        s.first_run, s.first_kill = value, options == [['word', 'kill']]
    elif keyword == 'first-input':
        s.first_input = value
    elif keyword == 'first-stdout':
        s.first_stdout = value
    elif keyword == 'expect-log':
        s.expect_logs[_word(options[0])] = value
    elif keyword == 'expect-file':
        path, mtime, readonly = _file_options(options)
        s.expect_files[path] = FileSpec(path, value, mtime or 0, readonly)
        s.expect_mtime_given[path] = mtime is not None
    elif keyword == 'expect-absent':
        s.expect_absent.append(_word(options[0]))
    elif keyword == 'expect-folder':
        s.expect_folders.append(_word(options[0]))
    elif keyword == 'expect-nothing-created':
        s.expect_nothing_created = True
    elif keyword == 'expect-viewer':
        s.expect_viewers.append(value)
    elif keyword == 'hold':
        modes = {None: s.holds, 'share-all': s.shared_holds, 'share-none': s.locked_holds}
        mode = options[1][1] if options[1:] else None
        if mode not in modes:
            raise ScenarioError(f'unknown hold mode {mode}')
        modes[mode].append(_word(options[0]))
    elif keyword in ('attributes', 'expect-attributes'):
        target = s.attributes if keyword == 'attributes' else s.expect_attributes
        target[_word(options[0])] = int(value.decode('ascii'), 0)
    else:
        raise ScenarioError(f'unknown directive {keyword}')


def load_scenarios(folder: Path, common: Optional[Path] = None) -> List[Scenario]:
    """The cases of folder's *.scn files, with the texts and blocks of common
    (folder's common.inc when not given)."""
    defines: Dict[str, bytes] = {}
    blocks: Dict[str, List] = {}
    common = common or folder / 'common.inc'
    if common.exists():
        read_blocks(common, defines, blocks)
    scenarios = []
    for path in sorted(folder.glob('*.scn')):
        file_blocks = dict(blocks)
        for title, line, lines in read_blocks(path, defines, file_blocks):
            s = Scenario(file=path.stem, title=title, line=line)
            apply_lines(s, lines, defines, file_blocks)
            if s.stdout is None or s.exit_status is None:
                raise ScenarioError(f'{path.name}:{line}: a case needs stdout and result')
            scenarios.append(s)
    return scenarios


# ---- archives -----------------------------------------------------------------

def archive_description(s: Scenario) -> Optional[str]:
    """The make_archive description of the scenario's archive, or None when
    the scenario has none (archive bytes given raw count as none here)."""
    if s.archive_fields is not None:
        cut = '' if s.archive_cut_bits is None else f'truncate-bits {s.archive_cut_bits}\n'
        return s.archive_fields + cut
    if s.archive_version is None and not s.entries:
        return None
    return archive_fields.describe(
        s.archive_version or b'', [(e.kind, e.name, e.time, e.data) for e in s.entries],
        count=s.archive_count, cut_bits=s.archive_cut_bits,
        sizes={i: e.size for i, e in enumerate(s.entries) if e.size is not None})


def load_defines(folder: Path = Path(__file__).resolve().parent / 'scenarios') -> Dict[str, bytes]:
    """What common.inc defines, by name: the console texts as the program
    prints them (code page 932, CR LF; fill() puts in their arguments) and
    the sample archive."""
    defines: Dict[str, bytes] = {}
    read_blocks(folder / 'common.inc', defines, {})
    return defines


def fill(text: bytes, *args: bytes) -> bytes:
    """A text with its %s and %d replaced by args, in order."""
    queue = list(args)
    return re.sub(rb'%[sd]', lambda _: queue.pop(0), text)
