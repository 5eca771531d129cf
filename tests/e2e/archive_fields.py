"""Archives for the tests, as descriptions for the make_archive tool
(tests/support/make_archive_main.cpp, which writes the bits): the one place
Python makes archives. Scenarios, the hardening checks and the fuzz corpus
build their archives here.

describe() gives a sound archive of whole entries: a table of equal-width
codes over the bytes the entries use, the escape all ones. The other
functions give its fields one by one, for archives no encoder would write.
"""

from __future__ import annotations

import hashlib
import struct
import subprocess
from pathlib import Path
from typing import Dict, Iterable, List, Optional, Sequence, Tuple, Union

# An entry's data: bytes, or items where bytes are literals and (byte, n)
# is that byte as a literal followed by a run of n more copies.
Data = Union[bytes, Sequence[Union[bytes, Tuple[int, int]]]]
Entry = Tuple[bytes, bytes, int, Data]   # kind letter, name, time, data


def _items(data: Data) -> List[Union[bytes, Tuple[int, int]]]:
    return [data] if isinstance(data, (bytes, bytearray)) else list(data)


def data_size(data: Data) -> int:
    return sum(len(i) if isinstance(i, (bytes, bytearray)) else 1 + i[1] for i in _items(data))


def count_bytes(count: int) -> str:
    """A run count: 255 adds 254 and goes on, a byte below 255 ends it."""
    full = 0 if count < 255 else (count - 255) // 254 + 1
    return (f'repeat {full} {{ byte 255 }} ' if full else '') + f'byte {count - 254 * full}'


def counted(text: bytes) -> str:
    return 'counted "' + ''.join(f'\\x{b:02x}' for b in text) + '"'


def header(rows: Iterable[Tuple[int, str]], escape: str, version: bytes, count: int,
           escape_length: Optional[int] = None, lengths: Optional[Dict[int, int]] = None) -> str:
    """Rows (symbol, code as '0'/'1' text) in table order; escape_length and
    lengths (by row index) override the stored code lengths."""
    rows = list(rows)
    lines = [f'byte {len(rows) - 1} byte {len(escape) if escape_length is None else escape_length}'
             f' bits {escape}']
    for index, (symbol, code) in enumerate(rows):
        length = (lengths or {}).get(index, len(code))
        lines.append(f'byte {symbol} byte {length} bits {code}')
    lines.append(f'{counted(version)} byte {count}')
    return '\n'.join(lines) + '\n'


def entry_record(kind: bytes, name: bytes, time: int, size: int) -> str:
    return f'{counted(name)} word 0 word {time} hex {kind.hex()} word {size}\n'


def bits(code: str) -> str:
    return ''.join(f'bits {code[i:i + 4096]}\n' for i in range(0, len(code), 4096))


def describe(version: bytes, entries: Sequence[Entry], count: Optional[int] = None,
             sizes: Optional[Dict[int, int]] = None, cut_bits: Optional[int] = None) -> str:
    """count overrides the entry count, sizes (by entry index) the size
    fields, cut_bits cuts the archive after that many bits."""
    symbols = sorted({b for entry in entries for item in _items(entry[3])
                      for b in (item if isinstance(item, (bytes, bytearray)) else item[:1])}) or [0]
    width = max(1, len(symbols).bit_length())   # rows 0..n-1 and the escape all ones
    codes = {symbol: format(index, f'0{width}b') for index, symbol in enumerate(symbols)}
    text = header(((s, codes[s]) for s in symbols), '1' * width, version,
                  len(entries) if count is None else count)
    for index, (kind, name, time, data) in enumerate(entries):
        text += entry_record(kind, name, time, (sizes or {}).get(index, data_size(data)))
        for item in _items(data):
            if isinstance(item, (bytes, bytearray)):
                text += bits(''.join(codes[b] for b in item))
            else:
                text += f'bits {codes[item[0]]} bits {"1" * width} {count_bytes(item[1])}\n'
    if cut_bits is not None:
        text += f'truncate-bits {cut_bits}\n'
    return text


def make(description: str, build_dir: Path, scratch: Path) -> bytes:
    """The archive's bytes, written by build_dir's make_archive."""
    (scratch / 'archive.txt').write_text(description, encoding='utf-8')
    output = scratch / 'archive.z'
    completed = subprocess.run([str(build_dir / 'bin' / 'make_archive'), str(scratch / 'archive.txt'),
                                str(output)], capture_output=True, timeout=120)
    if completed.returncode != 0:
        raise ValueError('make_archive: ' + completed.stderr.decode(errors='replace'))
    return output.read_bytes()


def with_trailer(archive: bytes) -> bytes:
    """The archive followed by an unsigned trailer (the layout in
    src/archive/trailer.h): start magic, version 1, no flags, the SHA-256 of
    every byte before it, its length and the end magic."""
    return (archive + b'3puTRLR\x1a' + bytes([1, 0]) + hashlib.sha256(archive).digest() +
            struct.pack('>I', 54) + b'3puTEND\x1a')
