#!/usr/bin/python3
# Makes the benchmark's real corpora from files that Debian packages install
# (scripts/install-deps.sh installs them):
#
#   windows-dll   the 32-bit Windows DLLs that wine32 ships, whole files (the
#                 64-bit ones of wine64 where a 64-bit-only machine has no
#                 wine32: scripts/install-deps.sh installs it only where
#                 32-bit code runs)
#   man-cp932     the Japanese manual pages, converted to code page 932 by iconv
#   icons-bmp     PNG icons, each flattened onto a grey background and stored
#                 as a 24-bit BMP file
#
# Each corpus is SIZE bytes: its files are joined in sorted path order and the
# list repeated when it is shorter, then cut, so the same installation always
# gives the same bytes. Run with the system's python3 (PIL comes from Debian).
#
#   make_corpora.py FOLDER SIZE    writes FOLDER/NAME-SIZE.bin for each
#                                  corpus that is not there yet
import gzip
import io
import os
import subprocess
import sys

DLL_FOLDERS = ("/usr/lib/i386-linux-gnu/wine/i386-windows",
               "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows")
DLL_FOLDER = next((f for f in DLL_FOLDERS if os.path.isdir(f)), DLL_FOLDERS[0])
MAN_FOLDER = "/usr/share/man/ja"
ICON_FOLDER = "/usr/share/icons/oxygen/base"
BACKGROUND = (192, 192, 192)  # the window face grey a bitmap of the product sits on


def sorted_files(folder, suffix):
    found = []
    for root, _, names in os.walk(folder):
        for name in names:
            path = os.path.join(root, name)
            if name.endswith(suffix) and os.path.isfile(path) and not os.path.islink(path):
                found.append(path)
    return sorted(found)


def fill(size, pieces):
    """Joins the pieces (an iterator factory) in order, again and again, until
    size bytes are there; returns exactly size bytes."""
    out = bytearray()
    while len(out) < size:
        added = False
        for piece in pieces():
            out += piece
            added = True
            if len(out) >= size:
                break
        if not added:
            raise SystemExit("make_corpora: no input files")
    return bytes(out[:size])


def dll_pieces():
    for path in sorted_files(DLL_FOLDER, ".dll"):
        with open(path, "rb") as f:
            yield f.read()


def man_pieces():
    for path in sorted_files(MAN_FOLDER, ".gz"):
        with gzip.open(path, "rb") as f:
            text = f.read()
        # -c drops the few characters that code page 932 lacks.
        yield subprocess.run(["iconv", "-c", "-f", "UTF-8", "-t", "CP932"], input=text,
                             stdout=subprocess.PIPE, check=False).stdout


def icon_pieces():
    from PIL import Image
    for path in sorted_files(ICON_FOLDER, ".png"):
        with Image.open(path) as image:
            rgba = image.convert("RGBA")
        flat = Image.new("RGBA", rgba.size, BACKGROUND + (255,))
        flat.alpha_composite(rgba)
        out = io.BytesIO()
        flat.convert("RGB").save(out, format="BMP")
        yield out.getvalue()


CORPORA = {"windows-dll": dll_pieces, "man-cp932": man_pieces, "icons-bmp": icon_pieces}


def main():
    if len(sys.argv) != 3:
        raise SystemExit("usage: make_corpora.py FOLDER SIZE")
    folder, size = sys.argv[1], int(sys.argv[2])
    os.makedirs(folder, exist_ok=True)
    for name, pieces in CORPORA.items():
        path = os.path.join(folder, "%s-%d.bin" % (name, size))
        if os.path.exists(path):
            continue
        data = fill(size, pieces)
        with open(path + ".tmp", "wb") as f:
            f.write(data)
        os.replace(path + ".tmp", path)


if __name__ == "__main__":
    main()
