#!/usr/bin/env python3
"""Compares the pictures a build drew with the committed ones:
compare_screens.py DRAWN_FOLDER COMMITTED_FOLDER [DPI...]

Every committed picture (of the given dots per inch, all when none are given) must have been
drawn, at the same size, with at most TOLERANCE of its pixels off by more than NEAR in some
channel: the fonts and wine are the same packages everywhere, so anything more is a change to
a window. Exits 1 naming each picture that differs, is missing or is new, and how to retake
them."""
import struct
import sys
import zlib
from pathlib import Path

NEAR = 8  # per channel, out of 255: rounding in a blend, never a moved line or another glyph
TOLERANCE = 0.001  # of a picture's pixels


def read_png(path):
    """(width, height, rows of channel bytes, channels) of an 8-bit, non-interlaced PNG."""
    data = Path(path).read_bytes()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError("not a PNG")
    pos, idat, header = 8, [], None
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        pos += 12 + length
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat.append(body)
        elif kind == b"IEND":
            break
    width, height, depth, colour, _, _, interlace = header
    channels = {0: 1, 2: 3, 4: 2, 6: 4}.get(colour)
    if depth != 8 or channels is None or interlace:
        raise ValueError(f"PNG kind not read here (depth {depth}, colour type {colour})")
    raw = zlib.decompress(b"".join(idat))
    stride = width * channels
    rows, previous = [], bytearray(stride)
    for y in range(height):
        start = y * (stride + 1)
        kind, row = raw[start], bytearray(raw[start + 1:start + 1 + stride])
        for i in range(stride):
            left = row[i - channels] if i >= channels else 0
            up = previous[i]
            if kind == 1:
                row[i] = (row[i] + left) & 255
            elif kind == 2:
                row[i] = (row[i] + up) & 255
            elif kind == 3:
                row[i] = (row[i] + (left + up) // 2) & 255
            elif kind == 4:
                corner = previous[i - channels] if i >= channels else 0
                p = left + up - corner
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - corner)
                row[i] = (row[i] + (left if pa <= pb and pa <= pc else up if pb <= pc else corner)) & 255
        rows.append(row)
        previous = row
    return width, height, rows, channels


def difference(drawn, committed):
    """Why two pictures differ, or None when they match within the tolerance."""
    w1, h1, rows1, c1 = read_png(drawn)
    w2, h2, rows2, c2 = read_png(committed)
    if (w1, h1) != (w2, h2):
        return f"{w1}x{h1} drawn, {w2}x{h2} committed"
    if c1 != c2:
        return f"{c1} channels drawn, {c2} committed"
    off, box = 0, None
    for y, (a, b) in enumerate(zip(rows1, rows2)):
        if a == b:
            continue
        for x in range(w1):
            i = x * c1
            if any(abs(a[i + k] - b[i + k]) > NEAR for k in range(c1)):
                off += 1
                box = (min(box[0], x), min(box[1], y), max(box[2], x), max(box[3], y)) if box else (x, y, x, y)
    if off <= TOLERANCE * w1 * h1:
        return None
    return f"{off} pixels differ, within x {box[0]}-{box[2]}, y {box[1]}-{box[3]}"


def main():
    drawn, committed = Path(sys.argv[1]), Path(sys.argv[2])
    dpis = sys.argv[3:]
    wanted = lambda p: not dpis or any(p.name.endswith(f"-{d}dpi.png") for d in dpis)
    names = sorted({p.name for folder in (drawn, committed) for p in folder.glob("*.png") if wanted(p)})
    changed = []
    for name in names:
        if not (committed / name).exists():
            changed.append(f"{name}: drawn, not committed")
        elif not (drawn / name).exists():
            changed.append(f"{name}: committed, no longer drawn")
        else:
            why = difference(drawn / name, committed / name)
            if why:
                changed.append(f"{name}: {why}")
    if not names:
        changed.append(f"no pictures in {drawn} nor in {committed}")
    for line in changed:
        print(line)
    if changed:
        print(f"The windows differ from the pictures in {committed} (drawn ones in {drawn}). "
              "If the change is meant, retake them all with: bash scripts/screens.sh")
        return 1
    print(f"{len(names)} pictures match")
    return 0


if __name__ == "__main__":
    sys.exit(main())
