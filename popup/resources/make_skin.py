#!/usr/bin/env python3
"""Draws the notifier's artwork: skin.bmp (resource 132) and app.ico.

skin.bmp is 150 x 100, 24 bits, uncompressed, rows bottom-up. Magenta
(255, 0, 255) is the key colour for pixels the popup leaves out. Regions:
  (0, 0, 80, 60)     the frame: title band rows 0-23, dark line 24, white body
                     25-29, dark line 30, footer 31-59; dark outline with a light
                     inner edge; curved corners. Its middle (35, 25)-(45, 30) is
                     what the popup stretches.
  (0/40/80, 60, 40, 18)   close button: normal, hover, pressed.
  (0/50/100, 80, 50, 20)  view button: normal, hover, pressed (not drawn by
                     the popup, kept so the sheet is complete).
Run it from anywhere; it writes beside itself. Standard library only.
"""
import math
import os
import struct

KEY = (255, 0, 255)
TITLE = (74, 148, 219)
FOOTER = (76, 147, 213)
OUTLINE = (41, 86, 131)
LIGHT = (111, 168, 221)
WHITE = (253, 253, 254)
CROSS = (255, 255, 255)
HOVER_RED = (222, 52, 52)
PRESSED_RED = (150, 24, 30)
ICON_FILL = (240, 160, 32)
ICON_EDGE = (150, 90, 10)

WIDTH, HEIGHT = 150, 100
FRAME_W, FRAME_H = 80, 60
CORNER_RADIUS = 3.0


def blank(width, height, colour):
    return [[colour] * width for _ in range(height)]


def corner_depth(x, y, w, h, r):
    """How far (x, y) lies inside a w x h rectangle with corners of radius r."""
    px, py = x + 0.5, y + 0.5
    cx = r if px < r else (w - r if px > w - r else px)
    cy = r if py < r else (h - r if py > h - r else py)
    if (cx, cy) != (px, py) and (px < r or px > w - r) and (py < r or py > h - r):
        return r - math.hypot(px - cx, py - cy)
    return min(px, w - px, py, h - py)


def body_colour(y):
    if y <= 23:
        return TITLE
    if y == 24 or y == 30:
        return OUTLINE
    if y <= 29:
        return WHITE
    return FOOTER


def draw_frame(img):
    for y in range(FRAME_H):
        for x in range(FRAME_W):
            depth = corner_depth(x, y, FRAME_W, FRAME_H, CORNER_RADIUS)
            if depth < 0:
                colour = KEY
            elif depth < 1:
                colour = OUTLINE
            elif depth < 2 and body_colour(y) != OUTLINE:
                colour = LIGHT
            else:
                colour = body_colour(y)
            img[y][x] = colour


def draw_cross(img, left, top, w, h):
    """A white x of 8 x 8 pixels, two pixels thick, centred in the box."""
    cx, cy = left + w // 2 - 4, top + h // 2 - 4
    for i in range(8):
        for d in (0, 1):
            for x, y in ((cx + i, cy + min(7, i + d)), (cx + 7 - i, cy + min(7, i + d))):
                img[y][x] = CROSS


def draw_close_buttons(img):
    # The sprite sits on the popup's top-right corner below its top edge: its
    # first row continues the light edge, its last column the outline.
    for state, fill in enumerate((TITLE, HOVER_RED, PRESSED_RED)):
        left, top = state * 40, 60
        for y in range(18):
            for x in range(40):
                colour = fill
                if x == 39:
                    colour = OUTLINE
                elif state == 0 and (y == 0 or x == 38):
                    colour = LIGHT
                img[top + y][left + x] = colour
        draw_cross(img, left, top, 40, 18)


MAGNIFIER = [
    "..####....",
    ".#....#...",
    "#......#..",
    "#......#..",
    "#......#..",
    "#......#..",
    ".#....#...",
    "..#####...",
    "......###.",
    ".......###",
]
# Two small glyphs for the Chinese word for view, drawn in our own hand.
GLYPH_LOOK = [
    "....#....",
    "#########",
    "...###...",
    "..#.#.#..",
    ".#######.",
    "..#...#..",
    "..#####..",
    "..#...#..",
    "#########",
]
GLYPH_SEE = [
    "#########",
    ".#.#.#.#.",
    "#########",
    ".#######.",
    ".#.....#.",
    ".#######.",
    ".#.....#.",
    "..#...#..",
    ".#.....##",
]


def stamp(img, left, top, pattern, colour):
    for dy, row in enumerate(pattern):
        for dx, c in enumerate(row):
            if c == "#":
                img[top + dy][left + dx] = colour


def draw_view_buttons(img):
    fills = (FOOTER, (98, 166, 229), (52, 112, 170))
    for state, fill in enumerate(fills):
        left, top = state * 50, 80
        for y in range(20):
            for x in range(50):
                edge = x in (0, 49) or y in (0, 19)
                img[top + y][left + x] = OUTLINE if edge else fill
        stamp(img, left + 5, top + 5, MAGNIFIER, CROSS)
        stamp(img, left + 18, top + 6, GLYPH_LOOK, CROSS)
        stamp(img, left + 30, top + 6, GLYPH_SEE, CROSS)


def bmp_bytes(img):
    width, height = len(img[0]), len(img)
    row_size = (width * 3 + 3) & ~3
    pixels = bytearray()
    for y in range(height - 1, -1, -1):
        row = bytearray()
        for r, g, b in img[y]:
            row += bytes((b, g, r))
        pixels += row + bytes(row_size - len(row))
    header = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(pixels),
                         2835, 2835, 0, 0)
    file_header = struct.pack("<2sIHHI", b"BM", 14 + len(header) + len(pixels), 0, 0,
                              14 + len(header))
    return file_header + header + bytes(pixels)


def icon_image(size):
    """An amber rounded square with a white exclamation mark, 32-bit BGRA."""
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            depth = corner_depth(x, y, size, size, size / 4)
            if depth < 0:
                row.append((0, 0, 0, 0))
                continue
            colour = ICON_EDGE if depth < 1 else ICON_FILL
            mid = size / 2
            bar = abs(x + 0.5 - mid) <= size / 10
            if bar and (size * 0.2 <= y < size * 0.6 or size * 0.7 <= y < size * 0.82):
                colour = CROSS
            row.append(colour + (255,))
        rows.append(row)
    return rows


def icon_entry_bytes(rows):
    size = len(rows)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = bytearray()
    for row in reversed(rows):
        for r, g, b, a in row:
            pixels += bytes((b, g, r, a))
    mask_row = ((size + 31) // 32) * 4
    mask = bytes(mask_row * size)  # the alpha channel decides; the mask shows all
    return header + bytes(pixels) + mask


def ico_bytes(sizes):
    images = [icon_entry_bytes(icon_image(s)) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return out + b"".join(images)


def main():
    img = blank(WIDTH, HEIGHT, KEY)
    draw_frame(img)
    draw_close_buttons(img)
    draw_view_buttons(img)
    here = os.path.dirname(os.path.abspath(__file__))
    with open(os.path.join(here, "skin.bmp"), "wb") as f:
        f.write(bmp_bytes(img))
    with open(os.path.join(here, "app.ico"), "wb") as f:
        f.write(ico_bytes((16, 32)))


if __name__ == "__main__":
    main()
