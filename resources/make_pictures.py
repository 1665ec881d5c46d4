#!/usr/bin/env python3
"""Draws the installer's two pictures: installer.ico (32x32, 16 colours) and
about.bmp (230x45, 32 bits per pixel). Run it from anywhere; it writes beside itself.
The banner's lettering is rendered by ImageMagick's convert; the rest is plain bytes."""
import os
import struct
import subprocess

HERE = os.path.dirname(os.path.abspath(__file__))

# The 16-colour palette of the icon (the standard VGA colours), as (r, g, b).
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, DARK_BLUE, GREY, LIGHT_GREY, GREEN, YELLOW, WHITE, DARK_CYAN = 0, 4, 8, 7, 10, 11, 15, 6
CLEAR = None


def icon_pixels():
    """A bench instrument (grey case, green display, knobs) with a yellow down arrow:
    firmware going into the unit. Rows top to bottom; None is transparent."""
    px = [[CLEAR] * 32 for _ in range(32)]

    def rect(x0, y0, x1, y1, c):
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                px[y][x] = c

    # Instrument case with a dark outline.
    rect(1, 12, 30, 30, BLACK)
    rect(2, 13, 29, 29, LIGHT_GREY)
    rect(2, 29, 29, 29, GREY)
    rect(29, 13, 29, 29, GREY)
    # Display window and a trace on it.
    rect(4, 15, 19, 25, BLACK)
    rect(5, 16, 18, 24, DARK_BLUE)
    trace = [22, 21, 19, 18, 18, 19, 21, 22, 21, 19, 18, 18, 19, 21]
    for i, y in enumerate(trace):
        px[y][5 + i] = GREEN
    # Two knobs and a power lamp.
    for cx, cy in ((24, 17), (24, 23)):
        rect(cx - 2, cy - 1, cx + 2, cy + 1, BLACK)
        rect(cx - 1, cy - 2, cx + 1, cy + 2, BLACK)
        rect(cx - 1, cy - 1, cx + 1, cy + 1, GREY)
    rect(5, 27, 6, 27, GREEN)
    # Arrow pointing down into the case.
    rect(13, 0, 18, 6, BLACK)
    rect(14, 0, 17, 6, YELLOW)
    for i in range(6):
        y = 6 + i
        rect(9 + i, y, 22 - i, y, BLACK)
        if i < 5:
            rect(10 + i, y, 21 - i, y, YELLOW)
    return px


def write_icon(path):
    px = icon_pixels()
    width = height = 32
    header = struct.pack('<IiiHHIIiiII', 40, width, height * 2, 1, 4, 0, 0, 0, 0, 16, 0)
    palette = b''.join(struct.pack('<BBBB', b, g, r, 0) for r, g, b in PALETTE)
    xor_rows = []
    and_rows = []
    for y in reversed(range(height)):  # bottom-up, like every DIB
        row = bytearray()
        mask = bytearray(4)
        for x in range(0, width, 2):
            hi = px[y][x] if px[y][x] is not None else 0
            lo = px[y][x + 1] if px[y][x + 1] is not None else 0
            row.append((hi << 4) | lo)
        for x in range(width):
            if px[y][x] is None:
                mask[x // 8] |= 0x80 >> (x % 8)
        xor_rows.append(bytes(row))
        and_rows.append(bytes(mask))
    image = header + palette + b''.join(xor_rows) + b''.join(and_rows)
    directory = struct.pack('<HHH', 0, 1, 1)
    entry = struct.pack('<BBBBHHII', width, height, 16, 0, 1, 4, len(image), 6 + 16)
    with open(path, 'wb') as f:
        f.write(directory + entry + image)


def banner_rgba(width, height):
    """The About box banner: a blue gradient with the product's name, as RGBA bytes."""
    font = '/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf'
    small = '/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf'
    cmd = [
        'convert', '-size', f'{height}x{width}', 'gradient:#1d3f7a-#3a8fc4', '-rotate', '-90',
        '-fill', '#ffffff', '-font', font, '-pointsize', '22', '-gravity', 'West',
        '-annotate', '+12-6', 'KQ7750',
        '-fill', '#cfe6ff', '-font', small, '-pointsize', '11',
        '-annotate', '+13+13', 'Firmware Installer',
        '-fill', '#ffd54a', '-draw', 'rectangle 196,10 216,34',
        '-fill', '#1d3f7a', '-draw', 'rectangle 199,13 213,31',
        '-fill', '#7fe07f', '-draw', 'polyline 200,26 203,20 206,24 209,16 212,22',
        '-depth', '8', 'rgba:-',
    ]
    data = subprocess.run(cmd, check=True, capture_output=True).stdout
    if len(data) != width * height * 4:
        raise SystemExit(f'convert gave {len(data)} bytes, expected {width * height * 4}')
    return data


def write_bitmap(path):
    width, height = 230, 45
    rgba = banner_rgba(width, height)
    rows = []
    for y in reversed(range(height)):
        row = bytearray()
        for x in range(width):
            r, g, b, _ = rgba[(y * width + x) * 4:(y * width + x) * 4 + 4]
            row += bytes((b, g, r, 0))  # BI_RGB: the fourth byte is unused
        rows.append(bytes(row))
    pixels = b''.join(rows)
    info = struct.pack('<IiiHHIIiiII', 40, width, height, 1, 32, 0, len(pixels), 2835, 2835, 0, 0)
    file_header = struct.pack('<2sIHHI', b'BM', 14 + len(info) + len(pixels), 0, 0, 14 + len(info))
    with open(path, 'wb') as f:
        f.write(file_header + info + pixels)


if __name__ == '__main__':
    write_icon(os.path.join(HERE, 'installer.ico'))
    write_bitmap(os.path.join(HERE, 'about.bmp'))
