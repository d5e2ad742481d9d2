#!/usr/bin/env python3
"""Builds quillomarvet.ico from the pixel art below.

The icon has two images, 32x32 and 16x16, both 4 bits per pixel with the
standard 16-colour Windows palette and a 1-bit AND mask for transparency.
Only the Python standard library is used, so the icon can be regenerated
anywhere:

    python3 make_icon.py [output.ico]
"""

import os
import struct
import sys

# Standard 16-colour Windows (VGA) palette, as (R, G, B), in index order.
PALETTE = [
    (0x00, 0x00, 0x00),  # 0  black
    (0x80, 0x00, 0x00),  # 1  dark red
    (0x00, 0x80, 0x00),  # 2  dark green
    (0x80, 0x80, 0x00),  # 3  dark yellow
    (0x00, 0x00, 0x80),  # 4  dark blue
    (0x80, 0x00, 0x80),  # 5  dark magenta
    (0x00, 0x80, 0x80),  # 6  dark cyan
    (0xC0, 0xC0, 0xC0),  # 7  light grey
    (0x80, 0x80, 0x80),  # 8  dark grey
    (0xFF, 0x00, 0x00),  # 9  red
    (0x00, 0xFF, 0x00),  # 10 green
    (0xFF, 0xFF, 0x00),  # 11 yellow
    (0x00, 0x00, 0xFF),  # 12 blue
    (0xFF, 0x00, 0xFF),  # 13 magenta
    (0x00, 0xFF, 0xFF),  # 14 cyan
    (0xFF, 0xFF, 0xFF),  # 15 white
]

# One character per pixel; '.' is transparent.
COLOUR_KEYS = {
    'K': 0, 'r': 1, 'g': 2, 'y': 3, 'n': 4, 'p': 5, 't': 6, 'L': 7,
    'D': 8, 'R': 9, 'G': 10, 'Y': 11, 'B': 12, 'M': 13, 'C': 14, 'W': 15,
}
TRANSPARENT = '.'

# A computer and a small device, linked by a cable through a connector.
ICON_32 = """
................................
................................
.KKKKKKKKKKKKKKKKKK.............
.KWWWWWWWWWWWWWWWDK.............
.KWLLLLLLLLLLLLLLDK.............
.KWLKKKKKKKKKKKKLDK.............
.KWLKnnnnnnnnnnKLDK.............
.KWLKnttnnnnnnnKLDK.............
.KWLKntnnnnnnnnKLDK.............
.KWLKnnnnnnnnnnKLDK.............
.KWLKnnnnnnnnnnKLDK.............
.KWLKnnnnnnnnnnKLDK.............
.KWLKKKKKKKKKKKKLDK.............
.KWLLLLLLLLLLLLLLDK.............
.KWLDDDDDDLLLgLGLDK.............
.KWLLLLLLLLLLLLLLDK.............
.KDDDDDDDDDDDDDDDDK.............
.KKKKKKKKKKKKKKKKKK..KKKKKKKKKK.
........KK...........KWWWWWWWDK.
........KK...........KWLLLLLLDK.
........KK...........KWDDDDDDDK.
........KK..KKKKK....KWLLLLLLDK.
........KK..KLDDKKKK.KWDDDDDDDK.
........KK..KLDDKWLK.KWLLLLLLDK.
........KKKKKLDDKLDKKKWLLLLLLDK.
........KKKKKLDDKLDKKKWLLLLLLDK.
............KLDDKDDK.KWLLGLRLDK.
............KLDDKKKK.KWLLLLLLDK.
............KKKKK....KDDDDDDDDK.
.....................KKKKKKKKKK.
................................
................................
"""

# The same picture, simplified so it still reads at 16x16.
ICON_16 = """
................
KKKKKKKKKK......
KLLLLLLLDK......
KLtnnnnLDK......
KLnnnnnLDK......
KLnnnnnLDK......
KLLLLLLGDK......
KDDDDDDDDK......
KKKKKKKKKK......
...K.......KKKKK
...K.KKK...KLLDK
...K.KLDKK.KLDDK
...KKKLDLKKKLLDK
.....KLDKK.KGLDK
.....KKK...KDDDK
...........KKKKK
"""


def parse_art(text, size):
    """Turns the text picture into rows of palette indices (None = clear)."""
    rows = [line for line in text.strip().splitlines()]
    if len(rows) != size:
        raise ValueError('expected %d rows, got %d' % (size, len(rows)))
    pixels = []
    for y, line in enumerate(rows):
        if len(line) != size:
            raise ValueError('row %d is %d pixels wide, expected %d'
                             % (y, len(line), size))
        row = []
        for x, ch in enumerate(line):
            if ch == TRANSPARENT:
                row.append(None)
            elif ch in COLOUR_KEYS:
                row.append(COLOUR_KEYS[ch])
            else:
                raise ValueError('unknown colour %r at %d,%d' % (ch, x, y))
        pixels.append(row)
    return pixels


def pad4(data):
    return data + b'\0' * (-len(data) % 4)


def icon_image(pixels):
    """Encodes one DIB-style icon image: header, palette, XOR and AND maps."""
    size = len(pixels)
    xor_rows = []
    and_rows = []
    # DIB rows are stored bottom-up.
    for row in reversed(pixels):
        nibbles = [0 if p is None else p for p in row]
        packed = bytes((nibbles[i] << 4) | nibbles[i + 1]
                       for i in range(0, size, 2))
        xor_rows.append(pad4(packed))

        mask = bytearray((size + 7) // 8)
        for x, p in enumerate(row):
            if p is None:
                mask[x // 8] |= 0x80 >> (x % 8)
        and_rows.append(pad4(bytes(mask)))

    xor_bits = b''.join(xor_rows)
    and_bits = b''.join(and_rows)

    # BITMAPINFOHEADER; the height covers both the XOR and AND bitmaps.
    header = struct.pack('<IiiHHIIiiII',
                         40, size, size * 2, 1, 4, 0,
                         len(xor_bits) + len(and_bits), 0, 0, 0, 0)
    palette = b''.join(struct.pack('<BBBB', b, g, r, 0)
                       for (r, g, b) in PALETTE)
    return header + palette + xor_bits + and_bits


def build_ico(images):
    """images: list of (size, pixels). Returns the whole .ico file."""
    count = len(images)
    blobs = [icon_image(pixels) for _, pixels in images]
    out = struct.pack('<HHH', 0, 1, count)          # ICONDIR
    offset = 6 + 16 * count
    for (size, _), blob in zip(images, blobs):      # ICONDIRENTRY
        out += struct.pack('<BBBBHHII',
                           size % 256, size % 256, 16, 0, 1, 4,
                           len(blob), offset)
        offset += len(blob)
    return out + b''.join(blobs)


def main(argv):
    here = os.path.dirname(os.path.abspath(__file__))
    target = argv[1] if len(argv) > 1 else os.path.join(here,
                                                        'quillomarvet.ico')
    data = build_ico([(32, parse_art(ICON_32, 32)),
                      (16, parse_art(ICON_16, 16))])
    with open(target, 'wb') as f:
        f.write(data)
    print('wrote %s (%d bytes)' % (target, len(data)))
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
