#!/usr/bin/env python3
"""Round trips and refusals of the archive tool, driven through its command line.

Usage: pack_cli_test.py PATH_TO_3PPACK
Prints one line per case and "N passed, N failed" last; exits 1 on any failure.
"""
import hashlib
import json
import os
import random
import subprocess
import sys
import tempfile
import traceback

PACK = os.path.abspath(sys.argv[1]) if len(sys.argv) > 1 else "build/host/bin/3ppack"
CASES = []


def case(function):
    CASES.append(function)
    return function


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def run(*args, expect=0):
    """Runs 3ppack with args (str or bytes); checks the exit status unless expect is None."""
    result = subprocess.run([PACK, *args], capture_output=True, timeout=300)
    if expect is not None:
        check(result.returncode == expect,
              f"3ppack {' '.join(map(str, args))[:200]} exited {result.returncode}, "
              f"wanted {expect}\nstdout: {result.stdout[-2000:]!r}\nstderr: {result.stderr[-2000:]!r}")
    return result


def write(path, data, mtime=None):
    os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    if mtime is not None:
        os.utime(path, (mtime, mtime))
    return path


def read(path):
    with open(path, "rb") as f:
        return f.read()


KIND_FOLDERS = {"B": "install/bitmap", "I": "install", "S": "windows/system", "W": "windows"}


def destination(root, kind, name):
    parts = [p for p in name.replace("/", "\\").split("\\") if p not in ("", ".")]
    return os.path.join(root, KIND_FOLDERS[kind.upper()], *parts)


def round_trip(tmp, entries, version="1.00", extra=()):
    """entries: (kind, name, bytes, time). Creates through a manifest, then checks
    list --json, test and a byte-exact extract with times, by either decoder."""
    lines = []
    for i, (kind, name, data, time) in enumerate(entries):
        source = write(os.path.join(tmp, "src", f"{i}.bin"), data)
        lines.append(f"{kind}\tsrc/{i}.bin\t{name}\t{time}")
    manifest = os.path.join(tmp, "manifest.txt")
    write(manifest, ("# generated\n\n" + "\n".join(lines) + "\n").encode("utf-8"))
    archive = os.path.join(tmp, "out.z")
    run("create", "-o", archive, "-V", version, "-m", manifest, *extra)
    listing = json.loads(run("list", archive, "--json").stdout)
    check(listing["version"] == version, f"version {listing['version']!r}")
    check(listing["entry_count"] == len(entries), "entry count")
    for got, (kind, name, data, time) in zip(listing["entries"], entries):
        check((got["kind"], got["name"], got["size"], got["time"]) == (kind, name, len(data), time),
              f"listed {got} for {(kind, name, len(data), time)}")
    run("test", archive)
    for decoder in ("fast", "plain"):
        out = os.path.join(tmp, "x-" + decoder)
        run("extract", *(["--plain"] if decoder == "plain" else []), archive, "-C", out)
        for kind, name, data, time in entries:
            path = destination(out, kind, name)
            check(read(path) == data, f"extracted {path} differs ({decoder} decoder)")
            check(int(os.stat(path).st_mtime) == time, f"time of {path}")
    return archive


@case
def odd_inputs_round_trip():
    rng = random.Random(1)
    with tempfile.TemporaryDirectory() as tmp:
        round_trip(tmp, [
            ("i", "empty.txt", b"", 0),
            ("I", "one.bin", b"\x00", -1),
            ("B", "all bytes.bmp", bytes(range(256)) * 3, 2147483647),
            ("S", "sys\\sub dir\\1023.dll", bytes(rng.randrange(256) for _ in range(1023)), -2147483648),
            ("s", "1024.dll", bytes(rng.randrange(4) for _ in range(1024)), 1),
            ("W", "1025.ini", b"ab" * 512 + b"c", 900000000),
            ("w", "読んでください 説明.txt", "日本語のテキスト\r\n".encode("cp932") * 50, 1000),
            ("b", "a\\b\\c\\d\\ソ表.bmp", b"\xff" * 300 + b"\x00" * 509, 5),
        ], version="1.02 ベータ")


@case
def ten_million_equal_bytes():
    with tempfile.TemporaryDirectory() as tmp:
        archive = round_trip(tmp, [("I", "big.dat", b"\x5a" * 10_000_000, 12345)])
        check(os.path.getsize(archive) < 50_000, f"archive of {os.path.getsize(archive)} bytes")


@case
def two_hundred_fifty_five_entries():
    with tempfile.TemporaryDirectory() as tmp:
        entries = [("iwsb"[i % 4], f"dir{i % 7}\\file {i}.txt", bytes([i]) * (i % 5), i)
                   for i in range(255)]
        round_trip(tmp, entries)
        source = write(os.path.join(tmp, "one"), b"x")
        args = []
        for i in range(256):
            args += ["-e", "I", source, f"n{i}"]
        result = run("create", "-o", os.path.join(tmp, "many.z"), "-V", "1", *args, expect=1)
        check(b"256" in result.stderr, result.stderr)
        check(not os.path.exists(os.path.join(tmp, "many.z")), "archive written")


@case
def only_empty_entries_and_no_entries():
    with tempfile.TemporaryDirectory() as tmp:
        round_trip(tmp, [("I", "a", b"", 1), ("W", "b", b"", 2)])
    with tempfile.TemporaryDirectory() as tmp:
        round_trip(tmp, [], version="")


@case
def times_from_option_and_source():
    with tempfile.TemporaryDirectory() as tmp:
        source = write(os.path.join(tmp, "f"), b"abc", mtime=1234567890)
        archive = os.path.join(tmp, "a.z")
        run("create", "-o", archive, "-V", "2.0", "-e", "I", source, "f1",
            "-E", "I", source, "f2", "77")
        times = [e["time"] for e in json.loads(run("list", archive, "--json").stdout)["entries"]]
        check(times == [1234567890, 77], f"times {times}")
        run("create", "-o", archive, "-V", "2.0", "-t", "5", "-e", "I", source, "f1",
            "-E", "I", source, "f2", "77")
        times = [e["time"] for e in json.loads(run("list", archive, "--json").stdout)["entries"]]
        check(times == [5, 77], f"times {times}")
        text = run("list", archive).stdout.decode()
        check("1970-01-01T00:00:05Z" in text and "f2" in text, text)


@case
def refusals_name_the_culprit_and_write_nothing():
    with tempfile.TemporaryDirectory() as tmp:
        good = write(os.path.join(tmp, "good"), b"data")
        big = os.path.join(tmp, "huge")
        with open(big, "wb") as f:
            f.truncate(4 << 30)  # sparse: 4 GiB without using the disk
        archive = os.path.join(tmp, "a.z")
        write(archive, b"old archive")
        cases = [
            (["-e", "I", good, "smile \U0001F600"], "smile"),
            (["-e", "I", good, "yen\u00a5sign"], "yen"),
            (["-e", "I", good, "長" * 128], "長長"),
            (["-e", "I", good, "x" * 256], "xxxx"),
            (["-e", "I", good, ""], "name"),
            (["-e", "X", good, "n"], "'X'"),
            (["-e", "II", good, "n"], "'II'"),
            (["-e", "I", os.path.join(tmp, "missing"), "n"], "missing"),
            (["-e", "I", tmp, "n"], tmp),
            (["-e", "I", big, "n"], "huge"),
            (["-E", "I", good, "n", "2147483648"], "2147483648"),
            (["-E", "I", good, "n", "12x"], "12x"),
            (["-V", "v" * 256, "-e", "I", good, "n"], "vvvv"),
            (["-V", "\U0001F600", "-e", "I", good, "n"], "version"),
        ]
        for extra, culprit in cases:
            args = ["create", "-o", archive] + (["-V", "1.0"] if "-V" not in extra else []) + extra
            result = run(*args, expect=1)
            check(culprit.encode() in result.stderr, f"{extra[:3]}: {result.stderr!r}")
            check(read(archive) == b"old archive", f"{extra[:3]}: archive touched")
        check(sorted(os.listdir(tmp)) == ["a.z", "good", "huge"], f"left behind: {os.listdir(tmp)}")
        manifest = write(os.path.join(tmp, "m"), b"I\tgood\tok\nI good oops\n")
        result = run("create", "-o", archive, "-V", "1", "-m", manifest, expect=1)
        check(b"line 2" in result.stderr, result.stderr)


@case
def raw_names_are_stored_unconverted():
    with tempfile.TemporaryDirectory() as tmp:
        source = write(os.path.join(tmp, "f"), b"raw")
        archive = os.path.join(tmp, "a.z")
        run("create", "-o", archive.encode(), "-V", b"\x82\xa0", "--raw",
            "-e", "I", source.encode(), b"\x83\x5c\\x.txt")
        listing = json.loads(run("list", archive, "--json").stdout)
        check(listing["version"] == "あ", listing)
        check(listing["entries"][0]["name"] == "ソ\\x.txt", listing)
        out = os.path.join(tmp, "x")
        run("extract", archive, "-C", out)
        # The trail byte 0x5C of ソ is part of the character, not a separator.
        check(read(os.path.join(out, "install", "ソ", "x.txt")) == b"raw", "extract")


@case
def output_is_deterministic():
    with tempfile.TemporaryDirectory() as tmp:
        source = write(os.path.join(tmp, "f"), bytes(random.Random(2).randrange(9) for _ in range(5000)))
        first, second = os.path.join(tmp, "1.z"), os.path.join(tmp, "2.z")
        run("create", "-o", first, "-V", "1", "-t", "0", "-e", "I", source, "f")
        run("create", "-o", second, "-V", "1", "-t", "0", "-e", "I", source, "f")
        check(read(first) == read(second), "two runs differ")
        limited = os.path.join(tmp, "3.z")
        run("create", "-o", limited, "-V", "1", "-t", "0", "-L", "9", "-e", "I", source, "f")
        run("test", limited)
        run("create", "-o", limited, "-V", "1", "-L", "0", "-e", "I", source, "f", expect=2)


@case
def extract_refuses_names_that_leave_the_folder():
    with tempfile.TemporaryDirectory() as tmp:
        source = write(os.path.join(tmp, "f"), b"evil")
        archive = os.path.join(tmp, "a.z")
        bad = ["..\\..\\escape.txt", "a\\..\\..\\..\\escape.txt", "\\abs.txt", "C:\\x.txt",
               "c:x.txt", "/abs2.txt", "a/../../../escape2.txt"]
        args = []
        for name in bad:
            args += ["-e", "I", source, name]
        args += ["-e", "W", source, "fine.txt"]
        run("create", "-o", archive, "-V", "1", *args)
        run("test", archive)  # the vendor may place files so; only extract refuses
        out = os.path.join(tmp, "deep", "er", "out")
        result = run("extract", archive, "-C", out, expect=1)
        check(result.stderr.count(b"skipped") == len(bad), result.stderr)
        found = []
        for root, _, files in os.walk(tmp):
            found += [os.path.relpath(os.path.join(root, f), tmp) for f in files]
        check(sorted(found) == ["a.z", "deep/er/out/windows/fine.txt", "f"], f"files: {found}")


def bits_of(data):
    return "".join(f"{b:08b}" for b in data)


def field_map(data):
    """Fields of the archive header and the entry records: (start, width, kind, info)."""
    bits = bits_of(data)
    pos = 0
    fields = []

    def take(width, kind, info=None):
        nonlocal pos
        value = int(bits[pos:pos + width] or "0", 2)
        fields.append((pos, width, kind, info))
        pos += width
        return value

    rows = take(8, "row count") + 1
    escape = take(8, "length")
    take(escape, "code")
    symbols = []
    for _ in range(rows):
        symbols.append(take(8, "symbol"))
        length = take(8, "length")
        take(length, "code")
    version = take(8, "version length")
    for _ in range(version):
        take(8, "version text")
    entries = take(8, "entry count")
    if entries:  # the first entry record's header is enough
        name = take(8, "name length")
        for _ in range(name):
            take(8, "name text")
        take(32, "reserved")
        take(32, "time")
        take(8, "kind")
        take(32, "size")
    return fields, symbols, pos


@case
def test_catches_header_damage():
    with tempfile.TemporaryDirectory() as tmp:
        text = write(os.path.join(tmp, "t"), b"hello hello, world\n" * 3)
        runs = write(os.path.join(tmp, "r"), b"A" * 700 + b"BC" * 3)
        empty = write(os.path.join(tmp, "e"), b"")
        archive = os.path.join(tmp, "a.z")
        # The plain format: what its own structure tells (with the trailer,
        # its digest catches every flip).
        run("create", "-o", archive, "-V", "1.5", "-t", "9", "-e", "I", text, "t.txt",
            "-e", "b", runs, "r.bmp", "-e", "W", empty, "e.ini", "--no-trailer")
        original = read(archive)
        fields, symbols, _ = field_map(original)
        damaged = os.path.join(tmp, "d.z")
        missed = []
        for start, width, kind, _ in fields:
            for bit in range(start, start + width):
                data = bytearray(original)
                data[bit // 8] ^= 0x80 >> (bit % 8)
                write(damaged, bytes(data))
                caught = run("test", "--strict", damaged, expect=None).returncode == 1
                if kind in ("version text", "name text", "reserved", "time"):
                    # Text and times carry no structure (no byte of "t.txt" can
                    # become NUL in one flip); the reserved field has no meaning.
                    should = False
                elif kind == "symbol":
                    value = int(bits_of(bytes(data))[start:start + 8], 2)
                    should = value in symbols  # a repeated symbol; others just rename a byte
                elif kind == "kind":
                    should = chr(int(bits_of(bytes(data))[start:start + 8], 2)) not in "BISWbisw"
                else:
                    should = True
                if caught != should:
                    missed.append((kind, bit, caught))
        check(not missed, f"{len(missed)} flips misjudged, first: {missed[:5]}")


@case
def test_catches_every_truncation_and_trailing_bytes():
    with tempfile.TemporaryDirectory() as tmp:
        rng = random.Random(4)
        source = write(os.path.join(tmp, "s"), bytes(rng.randrange(6) for _ in range(300)) + b"z" * 400)
        empty = write(os.path.join(tmp, "e"), b"")
        archive = os.path.join(tmp, "a.z")
        run("create", "-o", archive, "-V", "1", "-e", "I", source, "s", "-e", "I", empty, "e")
        original = read(archive)
        damaged = os.path.join(tmp, "d.z")
        uncaught = []
        for size in range(len(original)):
            write(damaged, original[:size])
            # Cut at the trailer's start, it is the plain format: whole.
            if run("test", damaged, expect=None).returncode != 1 and size != len(original) - 54:
                uncaught.append(size)
        check(not uncaught, f"truncations to {uncaught[:10]} bytes pass")
        # Trailing bytes after an archive without a trailer: the updater reads
        # past them, so only --strict fails. After a trailer they are damage.
        write(damaged, original + b"\x00")
        check(run("test", damaged, expect=1).returncode == 1, "bytes after the trailer pass")
        run("create", "-o", archive, "-V", "1", "-e", "I", source, "s", "-e", "I", empty, "e",
            "--no-trailer")
        original = read(archive)
        write(damaged, original + b"\x00")
        result = run("test", damaged)
        check(b"warning" in result.stdout and b"goes on" in result.stdout, result.stdout)
        result = run("test", "--strict", damaged, expect=1)
        check(b"goes on" in result.stdout, result.stdout)
        # A truncated archive extracts what it can and leaves no half file.
        write(damaged, original[:len(original) - 30])  # inside the first entry's data
        out = os.path.join(tmp, "x")
        run("extract", damaged, "-C", out, expect=1)
        check(not os.path.exists(os.path.join(out, "install", "s")), "half file left")


@case
def test_reports_the_entry_and_bit():
    with tempfile.TemporaryDirectory() as tmp:
        source = write(os.path.join(tmp, "s"), b"abcabcabd" * 20)
        archive = os.path.join(tmp, "a.z")
        run("create", "-o", archive, "-V", "1", "-e", "I", source, "first", "-e", "I", source, "second")
        data = bytearray(read(archive))
        _, _, first_data_bit = field_map(bytes(data))
        listing = json.loads(run("list", archive, "--json").stdout)
        # Cut the file inside the second entry's data.
        end_of_first = first_data_bit + listing["entries"][0]["bits"]
        write(archive, bytes(data[:(end_of_first + 200) // 8]))
        result = run("test", archive, expect=1)
        check(b"entry 2 'second'" in result.stdout and b"bit" in result.stdout, result.stdout)


# ---- keys, signatures and the trailer ----------------------------------------

MAKE_ARCHIVE = os.path.join(os.path.dirname(PACK), "make_archive")
TRAILER_START, TRAILER_END = b"3puTRLR\x1a", b"3puTEND\x1a"


def openssl(*args, data=None):
    done = subprocess.run(["openssl", *args], input=data, capture_output=True, timeout=60)
    check(done.returncode == 0, f"openssl {args}: {done.stderr!r}")
    return done.stdout


def make_archive(tmp, description):
    out = os.path.join(tmp, "fields.z")
    done = subprocess.run([MAKE_ARCHIVE, "-", out], input=description.encode(), capture_output=True)
    check(done.returncode == 0, f"make_archive: {done.stderr!r}")
    return read(out)


def trailer(body, key=None):
    """The trailer 3ppack writes after body: unsigned, or signed with the
    private key file key (through openssl, independently of 3ppack)."""
    digest = hashlib.sha256(body).digest()
    if key is None:
        return TRAILER_START + b"\x01\x00" + digest + (54).to_bytes(4, "big") + TRAILER_END
    point = openssl("pkey", "-in", key, "-pubout", "-outform", "DER")[-65:]
    fields = TRAILER_START + b"\x01\x01" + digest + hashlib.sha256(point).digest()[:8]
    der = openssl("dgst", "-sha256", "-sign", key, data=fields)
    r_length = der[3]
    r = int.from_bytes(der[4:4 + r_length], "big")
    s = int.from_bytes(der[6 + r_length:], "big")
    signature = r.to_bytes(32, "big") + s.to_bytes(32, "big")
    return fields + signature + (126).to_bytes(4, "big") + TRAILER_END


@case
def keygen_creates_the_private_key_for_its_owner_alone():
    with tempfile.TemporaryDirectory() as tmp:
        name = os.path.join(tmp, "k")
        trace = os.path.join(tmp, "trace")
        # Under umask 0 a mode set after the open would leave the key open to
        # everyone for a moment: the creating call itself must say 0600.
        done = subprocess.run(["strace", "-f", "-qq", "-o", trace, "-e", "trace=open,openat,creat",
                               PACK, "keygen", "-o", name], capture_output=True,
                              preexec_fn=lambda: os.umask(0), timeout=60)
        check(done.returncode == 0, f"keygen: {done.stderr!r}")
        creating = [line for line in open(trace) if '/k.key"' in line]
        check(len(creating) == 1 and all(flag in creating[0] for flag in
                                         ("O_CREAT", "O_EXCL", "O_NOFOLLOW", ", 0600)")),
              f"the key is created by {creating}")
        check(os.stat(name + ".key").st_mode & 0o777 == 0o600, "k.key is not 0600")
        check(os.stat(name + ".pub").st_mode & 0o777 == 0o644, "k.pub is not 0644")
        before = read(name + ".key")
        result = run("keygen", "-o", name, expect=1)
        check(b"exist" in result.stderr and read(name + ".key") == before, "an existing key was touched")


@case
def signing_needs_p256_and_public_keys_come_in_any_point_form():
    with tempfile.TemporaryDirectory() as tmp:
        source = write(os.path.join(tmp, "s"), b"signed text\n" * 20)
        key = os.path.join(tmp, "v.key")
        openssl("ecparam", "-name", "prime256v1", "-genkey", "-noout", "-out", key)
        # Other 256-bit curves make signatures no updater can verify.
        for curve in ("secp256k1", "brainpoolP256r1"):
            odd = os.path.join(tmp, curve + ".key")
            openssl("ecparam", "-name", curve, "-genkey", "-noout", "-out", odd)
            archive = os.path.join(tmp, curve + ".z")
            result = run("create", "-o", archive, "-V", "1", "-e", "I", source, "s", "--sign", odd,
                         expect=1)
            check(b"P-256" in result.stderr and not os.path.exists(archive), f"{curve}: {result.stderr!r}")
        archive = os.path.join(tmp, "a.z")
        run("create", "-o", archive, "-V", "1", "-e", "I", source, "s", "--sign", key)
        keys = {}
        for form in ("uncompressed", "compressed", "hybrid"):
            keys[form] = os.path.join(tmp, form + ".pub")
            openssl("pkey", "-in", key, "-pubout", "-ec_conv_form", form, "-out", keys[form])
            result = run("test", "--key", keys[form], archive)
            check(b"signature valid" in result.stdout, f"{form}: {result.stdout!r}")
        # Several keys, as an updater between two keys holds them: any one signs.
        other = os.path.join(tmp, "o")
        run("keygen", "-o", other)
        result = run("test", "--key", other + ".pub", "--key", keys["hybrid"], archive)
        check(b"signature valid" in result.stdout, result.stdout)
        result = run("test", "--key", other + ".pub", "--key", other + ".pub", archive, expect=1)
        check(b"signed by another key" in result.stdout, result.stdout)


@case
def warnings_signatures_and_the_trailer_are_reported_apart():
    with tempfile.TemporaryDirectory() as tmp:
        key = os.path.join(tmp, "v")
        run("keygen", "-o", key)
        # One entry of an unknown kind letter 'x': readable, so a warning.
        body = make_archive(tmp, """byte 0 byte 1 bits 1  byte 0x41 byte 1 bits 0  counted 1.01 byte 1
                                    counted a.txt word 0 word 900000000 byte 0x78 word 2  bits 0 bits 0""")
        archive = write(os.path.join(tmp, "x.z"), body + trailer(body, key + ".key"))
        result = run("test", "--key", key + ".pub", archive)
        check(b"warning" in result.stdout and b"kind letter" in result.stdout and
              b"signature valid" in result.stdout, result.stdout)
        result = run("test", "--strict", "--key", key + ".pub", archive, expect=1)
        check(b"kind letter" in result.stdout and b"--key" not in result.stdout, result.stdout)
        # A stray byte before a trailer whose digest covers it: a layout fault,
        # not a digest fault.
        plain = make_archive(tmp, """byte 0 byte 1 bits 1  byte 0x41 byte 1 bits 0  counted 1.01 byte 1
                                     counted a.txt word 0 word 900000000 byte 0x69 word 2  bits 0 bits 0""")
        body = plain + b"\x00"
        archive = write(os.path.join(tmp, "gap.z"), body + trailer(body))
        listing = run("list", "--json", archive, expect=1)
        found = json.loads(listing.stdout)["trailer"]
        check(found["digest"] == "ok" and found["layout"] == "gap", listing.stdout)
        result = run("test", archive, expect=1)
        check(b"trailer begins" in result.stdout, result.stdout)
        archive = write(os.path.join(tmp, "ok.z"), plain + trailer(plain))
        found = json.loads(run("list", "--json", archive).stdout)["trailer"]
        check(found["digest"] == "ok" and found["layout"] == "ok", found)


@case
def extract_refuses_a_run_past_the_size_before_writing():
    with tempfile.TemporaryDirectory() as tmp:
        # long.txt says 3 bytes; its run carries it to 6 (the updater writes
        # all 6, test warns): extract writes nothing of the archive.
        body = make_archive(tmp, """byte 0 byte 1 bits 1  byte 0x41 byte 1 bits 0  counted 1.01 byte 2
                                    counted long.txt word 0 word 900000000 byte 0x69 word 3
                                    bits 0 bits 1 byte 5
                                    counted next.txt word 0 word 900000000 byte 0x69 word 1  bits 0""")
        archive = write(os.path.join(tmp, "run.z"), body + trailer(body))
        out = os.path.join(tmp, "out")
        result = run("extract", archive, "-C", out, expect=1)
        check(b"nothing extracted" in result.stderr, result.stderr)
        check(not os.path.exists(out) or not any(files for _, _, files in os.walk(out)),
              "extract wrote files")


def main():
    if not os.access(PACK, os.X_OK):
        print(f"3ppack not found at {PACK}")
        print("0 passed, 1 failed")
        return 1
    passed = failed = 0
    for function in CASES:
        try:
            function()
            print(f"PASS {function.__name__}")
            passed += 1
        except Exception as error:  # a failed check or a crash: both fail the case
            print(f"FAIL {function.__name__}: {error}")
            if not isinstance(error, Failure):
                traceback.print_exc()
            failed += 1
    print(f"{passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
