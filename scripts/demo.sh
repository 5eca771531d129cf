#!/usr/bin/env bash
# The demo: installs what is missing, builds the host target, lays out an
# emulated Windows machine with an installation of the product under
# build/demo, packs a demo update archive with 3ppack and runs a real update
# on it, dialogue and progress bars on this terminal. Ends by listing what the
# update changed.
#
# When standard input is a terminal, you answer the questions yourself;
# otherwise every question is answered "no" (the updater's answer at the end
# of input). UPDATER_PAUSE_SCALE (default 0.2) shortens the updater's pauses.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

if [ -t 1 ]; then
  say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
else
  say() { printf '\n== %s\n' "$*"; }
fi

say "packages"
bash scripts/install-deps.sh

say "host build"
cmake --preset host >/dev/null
cmake --build --preset host -j "$(nproc)"
update="$root/build/host/bin/3pupdate"
pack="$root/build/host/bin/3ppack"

demo="$root/build/demo"
machine="$demo/machine"
say "emulated machine in ${machine#"$root"/}"
rm -rf "$demo"
mkdir -p "$demo/samples"

# The registry: values are files, their bytes the value data (string values
# with their terminating NUL, as the registry keeps them).
product_key="$machine/registry/HKEY_LOCAL_MACHINE/SoftWare/ORBELINE/3D Perinwood"
mkdir -p "$product_key/Directories" "$product_key/VersionInfo"
install_windows='C:\Program Files\ORBELINE\3D Perinwood'
printf '%s\0' "$install_windows" >"$product_key/Directories/InstallDir"
printf '1.01\0' >"$product_key/VersionInfo/Version"

install="$machine/drive_c/Program Files/ORBELINE/3D Perinwood"
windows="$machine/drive_c/windows"
mkdir -p "$install/bitmap" "$install/data" "$windows/system"

# The viewer: the updater starts C:\windows\notepad.exe on every entry with an
# upper-case kind letter. Here it only records what it was asked to open.
cat >"$windows/notepad.exe" <<EOF
#!/bin/sh
printf '%s\n' "notepad opened: \$1" >>"$demo/viewer.log"
EOF
chmod +x "$windows/notepad.exe"

# The installation as version 1.01 left it: days_ago N gives a time N days back.
days_ago() { echo $(( $(date +%s) - $1 * 86400 )); }
archive_time=$(days_ago 2)
to_cp932() { iconv -f UTF-8 -t CP932; }

printf '3D Perinwood 1.01\r\n' | to_cp932 >"$install/readme.txt"
touch -d "@$(days_ago 300)" "$install/readme.txt"
# Edited by the user yesterday, after the archive was made: the updater asks.
printf '[display]\r\nwidth=1024\r\nheight=768\r\n; my own settings\r\n' >"$install/perinwood.ini"
touch -d "@$(days_ago 1)" "$install/perinwood.ini"
# Read-only and also newer than the archive's copy (a hot fix): the updater
# asks; on Yes it clears the read-only bit, writes, and sets the bit again.
head -c 40000 /dev/zero | tr '\0' '\252' >"$windows/system/perin3d.dll"
touch -d "@$(days_ago 1)" "$windows/system/perin3d.dll"
chmod a-w "$windows/system/perin3d.dll"
head -c 5000 /dev/zero >"$install/bitmap/title.bmp"
touch -d "@$(days_ago 300)" "$install/bitmap/title.bmp"

say "sample files and the demo archive"
samples="$demo/samples"
# Japanese text, in code page 932 as the product keeps it.
{
  printf '3D Perinwood Ver1.02 アップデート\r\n\r\n'
  printf '変更点:\r\n'
  printf '  ・描画速度を改善しました。\r\n'
  printf '  ・新しいステージを追加しました。\r\n'
  printf '  ・設定ファイルの読み込みの不具合を修正しました。\r\n'
} | to_cp932 >"$samples/readme.txt"
printf '[display]\r\nwidth=1280\r\nheight=960\r\n' >"$samples/perinwood.ini"
# A 24-bit bitmap: a 256x128 gradient with a flat band, 54-byte header.
python3 - "$samples/title.bmp" <<'EOF'
import struct, sys
w, h = 256, 128
rows = b"".join(
    bytes(c for x in range(w) for c in ((40, 40, 160) if 48 <= y < 80 else (x, y * 2, 255 - x)))
    for y in range(h))
header = b"BM" + struct.pack("<IHHI", 54 + len(rows), 0, 0, 54)
info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 24, 0, len(rows), 2835, 2835, 0, 0)
open(sys.argv[1], "wb").write(header + info + rows)
EOF
# A binary for the system folder: code-like bytes with zero padding.
python3 - "$samples/perin3d.dll" <<'EOF'
import random, sys
r = random.Random(102)
out = bytearray(b"MZ\x90\x00" + bytes(60))
while len(out) < 60000:
    out += bytes(r.choice(b"\x8b\x89\xe8\x83\x55\xc3\x50\x0f\x74\x75") for _ in range(r.randrange(1, 200)))
    out += bytes(r.randrange(0, 600) if r.random() < 0.2 else 0)
open(sys.argv[1], "wb").write(bytes(out[:60000]))
EOF
python3 -c 'import random,sys; r=random.Random(7); sys.stdout.buffer.write(bytes(r.randrange(256) for _ in range(20000)))' >"$samples/level1.dat"

# Upper-case kind letters open in the viewer after the update.
manifest="$samples/manifest.txt"
{
  printf '# kind\tsource\tname in the archive\n'
  printf 'I\treadme.txt\treadme.txt\n'
  printf 'i\tperinwood.ini\tperinwood.ini\n'
  printf 'b\ttitle.bmp\ttitle.bmp\n'
  printf 'i\tlevel1.dat\tdata\\levels\\level1.dat\n'
  printf 's\tperin3d.dll\tperin3d.dll\n'
} >"$manifest"
touch -d "@$archive_time" "$samples"/*
work="$machine/drive_c/Downloads"
mkdir -p "$work"
"$pack" create -o "$work/3pupdate.z" -V 1.02 -m "$manifest"
"$pack" list "$work/3pupdate.z"
"$pack" test "$work/3pupdate.z"

# Everything in the machine's drive before the update: path, size, time, mode, hash.
snapshot() {
  (cd "$machine/drive_c" && find . -type f ! -name notepad.exe -printf '%P\n' | LC_ALL=C sort |
    while IFS= read -r f; do
      printf '%s\t%s\t%s\t%s\t%s\n' "$f" "$(stat -c %s "$f")" \
        "$(date -u -d "@$(stat -c %Y "$f")" '+%Y-%m-%d %H:%M')" \
        "$( [ "$(stat -c %A "$f" | cut -c3)" = w ] && echo rw || echo read-only)" \
        "$(md5sum <"$f" | cut -c1-8)"
    done)
}
snapshot >"$demo/before.txt"

say "the update (3pupdate in C:\\Downloads)"
export UPDATER_MACHINE="$machine"
export UPDATER_PAUSE_SCALE="${UPDATER_PAUSE_SCALE:-0.2}"
status=0
if [ -t 0 ]; then
  echo "Answer the questions with the keys they name (y/n, or y/n/a/s), then Enter."
  input=/dev/stdin
else
  echo "Standard input is not a terminal: every question is answered \"no\"."
  input=/dev/null
fi
# The updater prints code page 932; a terminal gets it converted by the
# updater itself, a file or pipe gets the bytes, so convert them here.
if [ -t 1 ]; then
  (cd "$work" && "$update" <"$input") || status=$?
else
  (cd "$work" && "$update" <"$input" | iconv -f CP932 -t UTF-8 | tr -d '\r') || status=$?
fi
echo
echo "3pupdate exited with status $status"

say "what changed"
snapshot >"$demo/after.txt"
python3 - "$demo/before.txt" "$demo/after.txt" <<'EOF'
import sys
def load(path):
    rows = {}
    for line in open(path, encoding="utf-8", errors="replace"):
        name, size, time, mode, digest = line.rstrip("\n").split("\t")
        rows[name] = (size, time, mode, digest)
    return rows
before, after = load(sys.argv[1]), load(sys.argv[2])
print(f"{'':9} {'file (under drive_c)':58} {'bytes':>7}  {'modified (UTC)':16}  mode")
for name in sorted(set(before) | set(after)):
    old, new = before.get(name), after.get(name)
    if old == new:
        state = "unchanged"
    elif old is None:
        state = "new"
    elif new is None:
        state = "removed"
    else:
        state = "replaced" if old[3] != new[3] else "touched"
    size, time, mode, _ = new or old
    print(f"{state:9} {name:58} {size:>7}  {time:16}  {mode}")
EOF
if [ -f "$demo/viewer.log" ]; then
  echo
  cat "$demo/viewer.log"
fi
echo
echo "The machine stays in ${machine#"$root"/}; run scripts/demo.sh again to start afresh."
