#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets: small archives that reach
every part of the reader and the decoders (the 37-byte example, full and
odd tables, the longest codes, run counts of every shape, entries across
block boundaries, an archive larger than the reader's window), plus the
archive tool's output for small inputs when build/host/bin/3ppack exists.

    python3 fuzz/make_corpus.py            # writes fuzz/corpus/<target>/
"""

import os
import random
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / 'tests' / 'e2e'))
import archive_fields as fields  # noqa: E402
from scenario_format import load_defines  # noqa: E402

BUILD = ROOT / 'build' / 'host'

TARGETS = ('archive_walk', 'decoder_diff')


def make(description):
    with tempfile.TemporaryDirectory() as folder:
        return fields.make(description, BUILD, Path(folder))


def table_256_prefix_free():
    rows = [(b, '0' + format(b, '08b')) for b in range(256)]
    codes = dict(rows)
    data = bytes(range(256)) * 2
    return make(fields.header(rows, '1', b'1.01', 2) +
                fields.entry_record(b'I', b'all.bin', 900000000, len(data) + 600) +
                fields.bits(''.join(codes[b] for b in data)) + 'bits 1 ' + fields.count_bytes(600) + '\n' +
                fields.entry_record(b'w', b'empty', 0, 0))


def table_256_odd(seed):
    """Random codes of random lengths, repeated symbols, not prefix-free;
    data of random bits, so decoding meets matches, overlaps and failures."""
    rng = random.Random(seed)
    rows = []
    for _ in range(256):
        length = rng.choice([1, 2, 3, 5, 8, 11, 12, 16, 24, 31, 32])
        rows.append((rng.randrange(256), ''.join(rng.choice('01') for _ in range(length))))
    escape = ''.join(rng.choice('01') for _ in range(rng.choice([2, 7, 12, 32])))
    text = fields.header(rows, escape, b'1.0' + bytes([rng.randrange(256)]), 3)
    for n in range(3):
        name, time = b'odd%d' % n, rng.randrange(1 << 31)
        text += fields.entry_record(b'bisw'[n:n + 1], name, time, rng.randrange(64))
        text += fields.bits(rows[0][1] + ''.join(str(rng.getrandbits(1)) for _ in range(200)))
    return make(text)


def longest_codes():
    rows = [(0x41, '0' * 31 + '1'), (0x42, '1' * 32), (0x43, '01')]
    return make(fields.header(rows, '0' * 32, b'1.01', 1) + fields.entry_record(b'i', b'long', 1, 40) +
                fields.bits('01' + '1' * 32 + '0' * 31 + '1' + '0' * 32) + 'byte 0\n' +  # a run of 0
                fields.bits('0' * 32) + fields.count_bytes(37))


def run_shapes():
    rows = [(0x61, '0'), (0x62, '10')]
    counts = [[0], [5], [254], [255, 0], [255, 1], [255, 254], [255, 255, 0], [255, 255, 3]]
    total = 2 + sum(254 * c.count(255) + c[-1] for c in counts)
    text = fields.header(rows, '11', b'1.02a', 2) + fields.entry_record(b'i', b'runs', 2, total) + 'bits 0\n'
    for c in counts:
        text += 'bits 11 ' + ' '.join('byte %d' % b for b in c) + '\n'
    text += 'bits 10\n'
    # A run before any literal: a decoding failure.
    return make(text + fields.entry_record(b'i', b'early', 3, 4) + 'bits 11 byte 4\n')


def across_blocks():
    """Names, a version and data that straddle the 1024-byte block bounds."""
    rng = random.Random(7)
    entries = []
    for n in range(6):
        name = bytes(rng.randrange(0x61, 0x7B) for _ in range(255 if n % 2 else 17))
        time = rng.randrange(1 << 31)
        entries.append((b'IBSW'[n % 4:n % 4 + 1], name, time,
                        bytes(rng.randrange(40, 50) for _ in range(300 + 211 * n))))
    return make(fields.describe(b'v' * 255, entries))


def larger_than_window():
    rng = random.Random(11)
    data = bytes(rng.randrange(48, 64) for _ in range(40000))
    return make(fields.describe(b'1.01', [(b'i', b'big.bin', 5, data),
                                          (b'i', b'tail', 6, [(0x78, 2999), b'yz'])]))


def packed_seeds():
    """The archive tool's output for a few small inputs, when it is built."""
    tool = BUILD / 'bin' / '3ppack'
    seeds = {}
    inputs = {
        'pack_text': {'readme.txt': b'3D update\r\nline two\r\n' * 20},
        'pack_runs': {'zeros.bin': b'\0' * 5000 + b'\1' * 3, 'one.bin': b'q'},
        'pack_two': {'a.txt': b'abcabcabc', 'b.dat': bytes(range(256))},
        'pack_limited': {'c.bin': bytes(i * i % 251 for i in range(3000))},
    }
    for name, files in inputs.items():
        with tempfile.TemporaryDirectory() as folder:
            args = [str(tool), 'create', '-o', os.path.join(folder, 'out.z'), '-V', '1.01', '-t', '900000000']
            for file_name, content in files.items():
                path = os.path.join(folder, file_name)
                with open(path, 'wb') as handle:
                    handle.write(content)
                args += ['-e', 'i', path, file_name]
            done = subprocess.run(args, capture_output=True)
            if done.returncode == 0:
                seeds[name] = Path(folder, 'out.z').read_bytes()
            else:
                print('3ppack failed for %s: %s' % (name, done.stderr.decode(errors='replace')))
    return seeds


def main():
    seeds = {
        'example': load_defines()['SAMPLE_ARCHIVE'],
        'table256': table_256_prefix_free(),
        'odd_table_1': table_256_odd(1),
        'odd_table_2': table_256_odd(2),
        'longest_codes': longest_codes(),
        'run_shapes': run_shapes(),
        'across_blocks': across_blocks(),
        'larger_than_window': larger_than_window(),
        'empty_archive': make(fields.describe(b'1.01', [])),
        'zero_size': make(fields.describe(b'1.01', [(b'i', b'z', 0, b'')] * 3)),
    }
    seeds.update(packed_seeds())
    for target in TARGETS:
        folder = ROOT / 'fuzz' / 'corpus' / target
        folder.mkdir(parents=True, exist_ok=True)
        for name, data in seeds.items():
            (folder / (name + '.z')).write_bytes(data)
    print('%d seeds per target' % len(seeds))


if __name__ == '__main__':
    main()
