"""Builds update archives field by field, including the ones no encoder would
write: bad code lengths, tables that are not prefix-free, run counts of
gigabytes, truncations at any bit. Python standard library only.

The format: one bit stream, most significant bit first, no alignment.
Header: rows-1 (8), escape length (8), escape code, rows of symbol (8),
length (8), code; version length (8) and bytes; entry count (8). Entry: name
length (8) and bytes, reserved (32), time (32), kind (8), size (32), then
items: a row's code is a literal; the escape and count bytes (255 adds 254
and continues, a byte below 255 adds itself and ends) repeat the previous
literal.
"""

from __future__ import annotations

import heapq
from typing import Dict, Iterable, List, Optional, Sequence, Tuple


class BitWriter:
    def __init__(self) -> None:
        self.out = bytearray()
        self.bits = 0

    def put(self, value: int, width: int) -> None:
        for i in range(width - 1, -1, -1):
            if self.bits % 8 == 0:
                self.out.append(0)
            if (value >> i) & 1:
                self.out[-1] |= 0x80 >> (self.bits % 8)
            self.bits += 1

    def code(self, text: str) -> None:
        for c in text:
            self.put(1 if c == '1' else 0, 1)

    def byte(self, value: int) -> None:
        self.put(value & 0xFF, 8)

    def word(self, value: int) -> None:
        self.put(value & 0xFFFFFFFF, 32)

    def counted(self, text: bytes) -> None:
        self.byte(len(text))
        for b in text:
            self.byte(b)

    def repeated_byte(self, value: int, count: int) -> None:
        """count copies of the byte value, a byte at a time rather than a bit
        at a time (run counts of millions of bytes)."""
        if count <= 0:
            return
        shift = self.bits % 8
        if shift == 0:
            self.out += bytes([value]) * count
        else:
            self.out[-1] |= value >> shift
            self.out += bytes([((value << (8 - shift)) | (value >> shift)) & 0xFF]) * (count - 1)
            self.out.append((value << (8 - shift)) & 0xFF)
        self.bits += 8 * count

    def data(self) -> bytes:
        return bytes(self.out)


Row = Tuple[int, str]  # symbol byte, code as '0'/'1' text


def put_header(w: BitWriter, rows: Sequence[Row], escape: str, version: bytes, entries: int,
               stored_lengths: Optional[Dict[int, int]] = None, escape_length: Optional[int] = None) -> None:
    """Rows in table order; stored_lengths overrides the length byte of a row
    (by index), escape_length that of the escape (the code bits stay)."""
    w.byte(len(rows) - 1)
    w.byte(len(escape) if escape_length is None else escape_length)
    w.code(escape)
    for index, (symbol, code) in enumerate(rows):
        w.byte(symbol)
        w.byte(stored_lengths.get(index, len(code)) if stored_lengths else len(code))
        w.code(code)
    w.counted(version)
    w.byte(entries)


def put_entry_header(w: BitWriter, name: bytes, time: int, kind: bytes, size: int) -> None:
    w.counted(name)
    w.word(0)
    w.word(time)
    w.byte(kind[0])
    w.word(size)


FIXED_ROWS = [(b, '0' + format(b, '08b')) for b in range(256)]  # every byte, 9 bits
FIXED_ESCAPE = '1'


def encode_fixed(version: bytes, entries: Sequence[Tuple[bytes, int, bytes, Sequence]]) -> Tuple[bytes, List[bytes]]:
    """An archive over a fixed table (every byte a 9-bit code, escape '1'),
    built from items, fast enough for runs of hundreds of megabytes. Each
    entry's items: ('bytes', data) or ('run', byte, count) where count is
    the copies after one literal of byte. Returns the archive and each
    entry's content size (size fields are exact)."""
    w = BitWriter()
    put_header(w, FIXED_ROWS, FIXED_ESCAPE, version, len(entries))
    sizes = []
    for name, time, kind, items in entries:
        size = sum(len(i[1]) if i[0] == 'bytes' else 1 + i[2] for i in items)
        sizes.append(size)
        put_entry_header(w, name, time, kind, size)
        for item in items:
            if item[0] == 'bytes':
                for b in item[1]:
                    w.code(FIXED_ROWS[b][1])
            else:
                _, byte, count = item
                w.code(FIXED_ROWS[byte][1])
                w.code(FIXED_ESCAPE)
                w.repeated_byte(255, count // 254)
                w.byte(count % 254)
    return w.data(), sizes


def run_count_bytes(count: int) -> List[int]:
    """The fewest count bytes for count (>= 0)."""
    out = []
    while count >= 255:
        out.append(255)
        count -= 254
    out.append(count)
    return out


def huffman_lengths(weights: Dict[int, int]) -> Dict[int, int]:
    """Code lengths (no limit; fine for test data) for symbols with weights."""
    symbols = list(weights)
    if len(symbols) == 1:
        return {symbols[0]: 1}
    heap = [(weights[s], i, [s]) for i, s in enumerate(symbols)]
    heapq.heapify(heap)
    depth = {s: 0 for s in symbols}
    counter = len(symbols)
    while len(heap) > 1:
        w1, _, a = heapq.heappop(heap)
        w2, _, b = heapq.heappop(heap)
        for s in a + b:
            depth[s] += 1
        heapq.heappush(heap, (w1 + w2, counter, a + b))
        counter += 1
    return depth


def canonical_codes(lengths: Dict[int, int]) -> Dict[int, str]:
    code = 0
    previous = 0
    out = {}
    for symbol, length in sorted(lengths.items(), key=lambda item: (item[1], item[0])):
        code <<= length - previous
        out[symbol] = format(code, '0%db' % length)
        code += 1
        previous = length
    return out


ESCAPE = 256


def _items(data: bytes, min_run: int = 4) -> List[Tuple[str, int]]:
    """('lit', byte) and ('run', count) items for data."""
    items: List[Tuple[str, int]] = []
    i = 0
    while i < len(data):
        items.append(('lit', data[i]))
        j = i + 1
        while j < len(data) and data[j] == data[i]:
            j += 1
        repeat = j - i - 1
        if repeat >= min_run:
            items.append(('run', repeat))
            i = j
        else:
            i += 1
    return items


Entry = Tuple[bytes, int, bytes, bytes]  # name, time, kind letter, content


def encode(version: bytes, entries: Sequence[Entry]) -> bytes:
    """A valid, prefix-free archive of entries."""
    per_entry = [_items(content) for _, _, _, content in entries]
    weights: Dict[int, int] = {ESCAPE: 1}
    for items in per_entry:
        for kind, value in items:
            key = value if kind == 'lit' else ESCAPE
            weights[key] = weights.get(key, 0) + 1
    if len(weights) == 1:
        weights[0x41] = 1  # a table needs a row
    codes = canonical_codes(huffman_lengths(weights))
    rows = [(s, codes[s]) for s in sorted(codes) if s != ESCAPE]
    w = BitWriter()
    put_header(w, rows, codes[ESCAPE], version, len(entries))
    for (name, time, kind, content), items in zip(entries, per_entry):
        put_entry_header(w, name, time, kind, len(content))
        for item, value in items:
            if item == 'lit':
                w.code(codes[value])
            else:
                w.code(codes[ESCAPE])
                for b in run_count_bytes(value):
                    w.byte(b)
    return w.data()


# The 37-byte example archive: one entry a.txt, data 41 41 41 41 42 0A.
EXAMPLE = bytes.fromhex('0203E82024202828 0F0218971818 8082B0973A3C3A00 0000001AD2748034 8000000338 1D80'
                        .replace(' ', ''))
EXAMPLE_DATA = b'AAAABA\n'[:4] + b'B\n'


def truncated(data: bytes, bits: int) -> bytes:
    """The first bits bits of data, the last byte's other bits zero."""
    whole, rest = divmod(bits, 8)
    out = bytearray(data[:whole])
    if rest:
        out.append(data[whole] & (0xFF00 >> rest) & 0xFF)
    return bytes(out)


def flip_bit(data: bytes, bit: int) -> bytes:
    out = bytearray(data)
    out[bit // 8] ^= 0x80 >> (bit % 8)
    return bytes(out)


def header_bits(rows: Iterable[Row], escape: str, version: bytes) -> int:
    return 8 + 8 + len(escape) + sum(16 + len(code) for _, code in rows) + 8 + 8 * len(version) + 8


class DecodeFailure(Exception):
    """The archive cannot be read to its end (bad header, no matching code,
    a run before any literal, or bits past the end of the file)."""


class _Reader:
    def __init__(self, data: bytes) -> None:
        self.data = data
        self.position = 0
        self.end = 8 * len(data)

    def peek(self, n: int) -> int:
        value = 0
        for i in range(self.position, self.position + n):
            bit = (self.data[i >> 3] >> (7 - (i & 7))) & 1 if i < self.end else 0
            value = (value << 1) | bit
        return value

    def consume(self, n: int) -> None:
        self.position += n
        if self.position > self.end:
            raise DecodeFailure('past the end of the file')

    def read(self, n: int) -> int:
        value = self.peek(n)
        self.consume(n)
        return value


def decode(data: bytes, max_output: int = 64 << 20):
    """The plain reading of an archive: (version, [(name, time, kind, content)]).
    Raises DecodeFailure where the updater must stop with its decoding error.
    Codes are tested escape first, then rows in table order; first match wins."""
    r = _Reader(data)
    rows = r.read(8) + 1
    table = []
    escape_length = r.read(8)
    if not 1 <= escape_length <= 32:
        raise DecodeFailure('escape length %d' % escape_length)
    escape = r.read(escape_length)
    longest = escape_length
    for _ in range(rows):
        symbol = r.read(8)
        length = r.read(8)
        if not 1 <= length <= 32:
            raise DecodeFailure('code length %d' % length)
        table.append((symbol, length, r.read(length)))
        longest = max(longest, length)
    version = bytes(r.read(8) for _ in range(r.read(8)))
    count = r.read(8)
    entries = []
    for _ in range(count):
        name = bytes(r.read(8) for _ in range(r.read(8)))
        r.read(32)
        time = r.read(32)
        if time >= 1 << 31:
            time -= 1 << 32
        kind = bytes([r.read(8)])
        size = r.read(32)
        out = bytearray()
        previous = None
        while len(out) < size:
            word = r.peek(longest)
            if word >> (longest - escape_length) == escape:
                if previous is None:
                    raise DecodeFailure('run before any literal')
                r.consume(escape_length)
                run = 0
                while True:
                    b = r.read(8)
                    if b != 255:
                        run += b
                        break
                    run += 254
                if len(out) + run > max_output:
                    raise ValueError('output over %d bytes: not a test archive' % max_output)
                out += bytes([previous]) * run
                continue
            for symbol, length, code in table:
                if word >> (longest - length) == code:
                    r.consume(length)
                    previous = symbol
                    out.append(symbol)
                    break
            else:
                raise DecodeFailure('no code matches')
        entries.append((name.split(b'\0')[0], time, kind, bytes(out)))
    return version, entries
