#!/usr/bin/env python3
"""Draws the add-in's pictures into this folder: the about window's logo (287 x 103, 24-bit
BMP), its notice (321 x 60, JPEG) and disclaimer (365 x 112, JPEG), the startup window's logo
(240 x 90, 32-bit BMP) and the 32 x 32 16-colour icon. Standard library only; the output is the
same on every run, so the committed files can be checked against it:

    python3 resources/draw_pictures.py [--check]
"""

import math
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

# 5 x 7 capitals, one string of five columns per row.
FONT = {
    "A": ["01110", "10001", "10001", "11111", "10001", "10001", "10001"],
    "B": ["11110", "10001", "10001", "11110", "10001", "10001", "11110"],
    "C": ["01110", "10001", "10000", "10000", "10000", "10001", "01110"],
    "D": ["11110", "10001", "10001", "10001", "10001", "10001", "11110"],
    "E": ["11111", "10000", "10000", "11110", "10000", "10000", "11111"],
    "F": ["11111", "10000", "10000", "11110", "10000", "10000", "10000"],
    "G": ["01110", "10001", "10000", "10111", "10001", "10001", "01111"],
    "H": ["10001", "10001", "10001", "11111", "10001", "10001", "10001"],
    "I": ["01110", "00100", "00100", "00100", "00100", "00100", "01110"],
    "K": ["10001", "10010", "10100", "11000", "10100", "10010", "10001"],
    "L": ["10000", "10000", "10000", "10000", "10000", "10000", "11111"],
    "M": ["10001", "11011", "10101", "10101", "10001", "10001", "10001"],
    "N": ["10001", "11001", "10101", "10011", "10001", "10001", "10001"],
    "O": ["01110", "10001", "10001", "10001", "10001", "10001", "01110"],
    "P": ["11110", "10001", "10001", "11110", "10000", "10000", "10000"],
    "R": ["11110", "10001", "10001", "11110", "10100", "10010", "10001"],
    "S": ["01111", "10000", "10000", "01110", "00001", "00001", "11110"],
    "T": ["11111", "00100", "00100", "00100", "00100", "00100", "00100"],
    "U": ["10001", "10001", "10001", "10001", "10001", "10001", "01110"],
    "V": ["10001", "10001", "10001", "10001", "10001", "01010", "00100"],
    "W": ["10001", "10001", "10001", "10101", "10101", "10101", "01010"],
    "X": ["10001", "10001", "01010", "00100", "01010", "10001", "10001"],
    "Y": ["10001", "10001", "01010", "00100", "00100", "00100", "00100"],
    "Z": ["11111", "00001", "00010", "00100", "01000", "10000", "11111"],
    ".": ["00000", "00000", "00000", "00000", "00000", "01100", "01100"],
    ",": ["00000", "00000", "00000", "00000", "01100", "00100", "01000"],
    "-": ["00000", "00000", "00000", "11111", "00000", "00000", "00000"],
    " ": ["00000"] * 7,
}


class Canvas:
    def __init__(self, width, height, colour):
        self.width, self.height = width, height
        self.pixels = [[colour] * width for _ in range(height)]

    def put(self, x, y, colour):
        if 0 <= x < self.width and 0 <= y < self.height:
            self.pixels[y][x] = colour

    def rect(self, x0, y0, x1, y1, colour):
        for y in range(max(y0, 0), min(y1, self.height)):
            for x in range(max(x0, 0), min(x1, self.width)):
                self.pixels[y][x] = colour

    def vertical_gradient(self, top, bottom):
        for y in range(self.height):
            t = y / max(self.height - 1, 1)
            colour = tuple(round(a + (b - a) * t) for a, b in zip(top, bottom))
            self.pixels[y] = [colour] * self.width

    def text(self, x, y, text, colour, scale=1):
        for ch in text:
            for row, bits in enumerate(FONT[ch]):
                for col, bit in enumerate(bits):
                    if bit == "1":
                        self.rect(x + col * scale, y + row * scale, x + (col + 1) * scale,
                                  y + (row + 1) * scale, colour)
            x += 6 * scale
        return x

    def centred_text(self, y, text, colour, scale=1):
        width = (6 * len(text) - 1) * scale
        self.text((self.width - width) // 2, y, text, colour, scale)

    def zip_mark(self, x, y, size, colour, teeth):
        """An archive: a folded sheet with a zipper down its middle."""
        self.rect(x, y, x + size, y + size * 5 // 4, colour)
        fold = size // 4
        for i in range(fold):
            for j in range(fold - i):
                self.put(x + size - 1 - j, y + i, teeth)
        mid = x + size // 2
        for i in range(2, size * 5 // 4 - 2, 2):
            offset = -2 if (i // 2) % 2 else 0
            self.rect(mid + offset, y + i, mid + offset + 2, y + i + 1, teeth)


def bmp(canvas, bits):
    """A bottom-up BITMAPINFOHEADER bitmap, 24 or 32 bits a pixel."""
    bytes_per_pixel = bits // 8
    stride = (canvas.width * bytes_per_pixel + 3) & ~3
    rows = []
    for row in reversed(canvas.pixels):
        data = bytearray()
        for r, g, b in row:
            data += bytes((b, g, r)) + (b"\xff" if bits == 32 else b"")
        rows.append(bytes(data) + b"\0" * (stride - len(data)))
    image = b"".join(rows)
    info = struct.pack("<IiiHHIIiiII", 40, canvas.width, canvas.height, 1, bits, 0, len(image),
                       3780, 3780, 0, 0)
    header = struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(image), 0, 0, 14 + len(info))
    return header + info + image


def icon(canvas, palette, clear=None):
    """A one-image .ico: 32 x 32, 4 bits a pixel from a 16-colour palette, and its AND mask:
    pixels of the colour clear are transparent (black in the colour image, set in the mask)."""
    index = {colour: i for i, colour in enumerate(palette)}
    xor, mask = bytearray(), bytearray()
    for row in reversed(canvas.pixels):
        pixels = [(0, 0, 0) if colour == clear else colour for colour in row]
        for x in range(0, 32, 2):
            xor.append(index[pixels[x]] << 4 | index[pixels[x + 1]])
        bits = 0
        for colour in row:
            bits = bits << 1 | (colour == clear)
        mask += bits.to_bytes(4, "big")
    colours = b"".join(bytes((b, g, r, 0)) for r, g, b in palette)
    info = struct.pack("<IiiHHIIiiII", 40, 32, 64, 1, 4, 0, len(xor) + len(mask), 0, 0, 16, 0)
    image = info + colours + bytes(xor) + mask
    directory = struct.pack("<HHH", 0, 1, 1) + struct.pack("<BBBBHHII", 32, 32, 16, 0, 1, 4,
                                                           len(image), 22)
    return directory + image


# Baseline JPEG: 4:4:4, the example quantization and Huffman tables of ITU T.81 annex K.
ZIGZAG = [0, 1, 8, 16, 9, 2, 3, 10, 17, 24, 32, 25, 18, 11, 4, 5, 12, 19, 26, 33, 40, 48, 41, 34,
          27, 20, 13, 6, 7, 14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37,
          44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63]
LUMA_Q = [16, 11, 10, 16, 24, 40, 51, 61, 12, 12, 14, 19, 26, 58, 60, 55, 14, 13, 16, 24, 40, 57,
          69, 56, 14, 17, 22, 29, 51, 87, 80, 62, 18, 22, 37, 56, 68, 109, 103, 77, 24, 35, 55, 64,
          81, 104, 113, 92, 49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99]
CHROMA_Q = [17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99, 24, 26, 56, 99, 99,
            99, 99, 99, 47, 66, 99, 99, 99, 99, 99, 99] + [99] * 32
DC_LUMA = ([0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0], list(range(12)))
DC_CHROMA = ([0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0], list(range(12)))
AC_LUMA = ([0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7D], bytes.fromhex(
    "01020300041105122131410613516107227114328191a1082342b1c11552d1f02433627282090a161718191a"
    "25262728292a3435363738393a434445464748494a535455565758595a636465666768696a737475767778"
    "797a838485868788898a92939495969798999aa2a3a4a5a6a7a8a9aab2b3b4b5b6b7b8b9bac2c3c4c5c6c7"
    "c8c9cad2d3d4d5d6d7d8d9dae1e2e3e4e5e6e7e8e9eaf1f2f3f4f5f6f7f8f9fa"))
AC_CHROMA = ([0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77], bytes.fromhex(
    "000102031104052131061241510761711322328108144291a1b1c109233352f0156272d10a162434e125f1"
    "1718191a262728292a35363738393a434445464748494a535455565758595a636465666768696a73747576"
    "7778797a82838485868788898a92939495969798999aa2a3a4a5a6a7a8a9aab2b3b4b5b6b7b8b9bac2c3c4"
    "c5c6c7c8c9cad2d3d4d5d6d7d8d9dae2e3e4e5e6e7e8e9eaf2f3f4f5f6f7f8f9fa"))


def huffman_codes(table):
    counts, symbols = table
    codes, code, k = {}, 0, 0
    for length, count in enumerate(counts, start=1):
        for _ in range(count):
            codes[symbols[k]] = (code, length)
            code += 1
            k += 1
        code <<= 1
    return codes


def scaled(table, quality):
    factor = 5000 / quality if quality < 50 else 200 - 2 * quality
    return [min(max((q * factor + 50) // 100, 1), 255) for q in table]


class BitWriter:
    def __init__(self):
        self.out, self.acc, self.bits = bytearray(), 0, 0

    def write(self, value, length):
        self.acc = (self.acc << length) | (value & ((1 << length) - 1))
        self.bits += length
        while self.bits >= 8:
            self.bits -= 8
            byte = (self.acc >> self.bits) & 0xFF
            self.out.append(byte)
            if byte == 0xFF:
                self.out.append(0)  # stuffed, so it is no marker
        self.acc &= (1 << self.bits) - 1

    def flush(self):
        if self.bits:
            self.write((1 << (8 - self.bits)) - 1, 8 - self.bits)


COS = [[math.cos((2 * x + 1) * u * math.pi / 16) for x in range(8)] for u in range(8)]


def fdct(block):
    rows = [[sum(block[y * 8 + x] * COS[u][x] for x in range(8)) for u in range(8)]
            for y in range(8)]
    out = [0.0] * 64
    for v in range(8):
        for u in range(8):
            s = sum(rows[y][u] * COS[v][y] for y in range(8))
            cu = math.sqrt(0.5) if u == 0 else 1.0
            cv = math.sqrt(0.5) if v == 0 else 1.0
            out[v * 8 + u] = s * cu * cv / 4
    return out


def magnitude(value):
    size = abs(value).bit_length()
    return size, value if value >= 0 else value + (1 << size) - 1


def jpeg(canvas, quality=90):
    quant = [scaled(LUMA_Q, quality), scaled(CHROMA_Q, quality)]
    dc = [huffman_codes(DC_LUMA), huffman_codes(DC_CHROMA)]
    ac = [huffman_codes(AC_LUMA), huffman_codes(AC_CHROMA)]
    w, h = canvas.width, canvas.height
    planes = [[], [], []]
    for row in canvas.pixels:
        for r, g, b in row:
            planes[0].append(0.299 * r + 0.587 * g + 0.114 * b - 128)
            planes[1].append(-0.168736 * r - 0.331264 * g + 0.5 * b)
            planes[2].append(0.5 * r - 0.418688 * g - 0.081312 * b)
    bits = BitWriter()
    previous = [0, 0, 0]
    for by in range(0, h, 8):
        for bx in range(0, w, 8):
            for c in range(3):
                t = 0 if c == 0 else 1
                # Edge blocks repeat the last row and column.
                block = [planes[c][min(by + y, h - 1) * w + min(bx + x, w - 1)]
                         for y in range(8) for x in range(8)]
                coefficients = fdct(block)
                q = [round(coefficients[ZIGZAG[i]] / quant[t][i]) for i in range(64)]
                size, value = magnitude(q[0] - previous[c])
                previous[c] = q[0]
                bits.write(*dc[t][size])
                bits.write(value, size)
                run = 0
                for i in range(1, 64):
                    if q[i] == 0:
                        run += 1
                        continue
                    while run > 15:
                        bits.write(*ac[t][0xF0])
                        run -= 16
                    size, value = magnitude(q[i])
                    bits.write(*ac[t][run << 4 | size])
                    bits.write(value, size)
                    run = 0
                if run:
                    bits.write(*ac[t][0x00])
    bits.flush()

    def segment(marker, payload):
        return struct.pack(">BBH", 0xFF, marker, len(payload) + 2) + payload

    out = b"\xff\xd8"
    out += segment(0xE0, b"JFIF\0" + struct.pack(">BBBHHBB", 1, 1, 0, 1, 1, 0, 0))
    for t in range(2):
        out += segment(0xDB, bytes([t]) + bytes(quant[t]))
    out += segment(0xC0, struct.pack(">BHHB", 8, h, w, 3) + bytes([1, 0x11, 0, 2, 0x11, 1, 3,
                                                                  0x11, 1]))
    for cls_id, table in ((0x00, DC_LUMA), (0x10, AC_LUMA), (0x01, DC_CHROMA),
                          (0x11, AC_CHROMA)):
        out += segment(0xC4, bytes([cls_id]) + bytes(table[0]) + bytes(table[1]))
    out += segment(0xDA, bytes([3, 1, 0x00, 2, 0x11, 3, 0x11, 0, 63, 0]))
    return out + bytes(bits.out) + b"\xff\xd9"


NAVY = (20, 40, 90)
SKY = (90, 150, 220)
WHITE = (255, 255, 255)
GOLD = (240, 190, 40)
PAPER = (250, 248, 240)
INK = (40, 40, 40)
RED = (190, 30, 30)


def logo():
    c = Canvas(287, 103, NAVY)
    c.vertical_gradient(SKY, NAVY)
    c.zip_mark(18, 20, 48, PAPER, GOLD)
    c.text(90, 28, "PARVEX", WHITE, 5)
    c.text(92, 76, "SMALLER MAIL, SAME FILES", GOLD, 1)
    return c


def startup_logo():
    c = Canvas(240, 90, NAVY)
    c.vertical_gradient(NAVY, SKY)
    c.zip_mark(12, 14, 40, PAPER, GOLD)
    c.text(72, 18, "PARVEX", WHITE, 4)
    c.rect(150, 58, 232, 76, RED)  # the edition badge
    c.text(155, 64, "FREE EDITION", WHITE, 1)
    return c


def notice():
    """The about window puts its "Email us:" and website buttons over the right of the lower
    two thirds (from x 248, y 24): the drawing keeps to the left of them."""
    c = Canvas(321, 60, PAPER)
    c.rect(0, 0, 321, 4, GOLD)
    c.rect(0, 56, 240, 60, GOLD)
    c.text(8, 14, "ATTACHMENTS ZIPPED", INK, 2)
    c.text(8, 36, "WHEN YOU SEND MAIL.", NAVY, 2)
    return c


def disclaimer():
    c = Canvas(365, 112, PAPER)
    c.rect(0, 0, 365, 2, INK)
    c.rect(0, 110, 365, 112, INK)
    lines = ["PROVIDED AS IS, WITHOUT", "WARRANTY OF ANY KIND. KEEP A", "COPY OF EVERY FILE YOU SEND."]
    for i, line in enumerate(lines):
        c.centred_text(20 + i * 28, line, INK, 2)
    return c


ICON_PALETTE = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
                (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
                (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255)]


ICON_CLEAR = (255, 0, 255)  # not drawn: the desktop shows through


def app_icon():
    """A closed envelope with a zipper down its middle, its pull tab standing out above."""
    black, white, grey, navy, yellow = (0, 0, 0), (255, 255, 255), (192, 192, 192), \
        (0, 0, 128), (255, 255, 0)
    c = Canvas(32, 32, ICON_CLEAR)
    c.rect(1, 8, 31, 29, navy)  # outline
    c.rect(2, 9, 30, 28, white)
    for i in range(14):  # the flap, from the top corners down to the middle
        c.put(2 + i, 9 + i * 9 // 14, grey)
        c.put(29 - i, 9 + i * 9 // 14, grey)
    c.rect(15, 9, 17, 28, grey)  # the zipper's track
    for y in range(9, 28, 2):
        c.rect(14, y, 16, y + 1, black)
        c.rect(16, y + 1, 18, y + 2, black)
    c.rect(13, 2, 19, 9, navy)  # the pull tab
    c.rect(14, 3, 18, 8, yellow)
    c.rect(15, 5, 17, 6, navy)
    return c


PICTURES = {
    "logo.bmp": lambda: bmp(logo(), 24),
    "startup.bmp": lambda: bmp(startup_logo(), 32),
    "notice.jpg": lambda: jpeg(notice()),
    "disclaimer.jpg": lambda: jpeg(disclaimer()),
    "parvex.ico": lambda: icon(app_icon(), ICON_PALETTE, ICON_CLEAR),
}


def main():
    check = "--check" in sys.argv[1:]
    stale = []
    for name, draw in PICTURES.items():
        data = draw()
        path = os.path.join(HERE, name)
        if check:
            with open(path, "rb") as f:
                if f.read() != data:
                    stale.append(name)
        else:
            with open(path, "wb") as f:
                f.write(data)
    if stale:
        print("not as drawn: " + ", ".join(stale))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
