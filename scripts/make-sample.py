#!/usr/bin/env python3
"""Writes a synthetic scanned page as a binary PPM (P6): off-white paper, a coloured title band,
lines of "text", a colour photograph made of gradients and discs, and a grey-scale ramp.

Usage: make-sample.py OUTPUT.ppm [WIDTH HEIGHT]   (default 1275 x 1650: letter size at 150 dpi)

Python 3 standard library only; compress the result with cjpeg to get the sample JPEG.
"""
import math
import random
import sys


def make_page(width, height):
    rng = random.Random(7)
    rows = []
    paper = bytes((246, 244, 238))
    margin = width // 12

    # Text lines: runs of dark "words" on the paper, in paragraphs.
    def text_row(y_in_line, words):
        row = bytearray(paper * width)
        if 2 <= y_in_line <= 11:
            for start, length in words:
                ink = bytes((40, 40, 48)) * length
                row[3 * start:3 * (start + length)] = ink
        return row

    photo = (margin, height // 3, width // 2, height // 4)  # x, y, w, h
    ramp_y = photo[1] + photo[3] + height // 30
    title_h = height // 14
    line_pitch = 18
    words_for_line = {}

    for y in range(height):
        if margin // 2 <= y < margin // 2 + title_h:
            # Title band: a horizontal blue-to-teal gradient.
            row = bytearray(width * 3)
            for x in range(width):
                t = x / max(width - 1, 1)
                row[3 * x:3 * x + 3] = bytes((int(20 + 30 * t), int(60 + 120 * t), int(150 + 60 * (1 - t))))
            rows.append(row)
            continue
        if photo[1] <= y < photo[1] + photo[3]:
            row = bytearray(paper * width)
            py = y - photo[1]
            for px in range(photo[2]):
                u = px / photo[2]
                v = py / photo[3]
                r = 128 + 100 * math.sin(6.0 * u + 1.0)
                g = 128 + 90 * math.sin(5.0 * v + 2.0 * u)
                b = 128 + 80 * math.cos(4.0 * (u - v))
                for cx, cy, rad, col in ((0.3, 0.4, 0.15, (230, 60, 40)), (0.7, 0.6, 0.2, (250, 210, 40))):
                    if (u - cx) ** 2 + ((v - cy) * photo[3] / photo[2]) ** 2 < rad * rad:
                        r, g, b = col
                x = photo[0] + px
                row[3 * x:3 * x + 3] = bytes((max(0, min(255, int(r))), max(0, min(255, int(g))), max(0, min(255, int(b)))))
            rows.append(row)
            continue
        if ramp_y <= y < ramp_y + 40:
            row = bytearray(paper * width)
            for x in range(margin, width - margin):
                level = int(255 * (x - margin) / max(width - 2 * margin - 1, 1))
                row[3 * x:3 * x + 3] = bytes((level, level, level))
            rows.append(row)
            continue
        if y > margin // 2 + title_h + 20 and y < height - margin:
            line = y // line_pitch
            if line not in words_for_line:
                words = []
                x = margin
                end = width - margin if line % 9 != 8 else margin + rng.randint(width // 4, width // 2)
                while x < end:
                    length = rng.randint(12, 70)
                    if x + length > end:
                        break
                    words.append((x, length))
                    x += length + rng.randint(8, 14)
                words_for_line[line] = words if line % 10 != 9 else []
            rows.append(text_row(y % line_pitch, words_for_line[line]))
            continue
        rows.append(bytearray(paper * width))
    return rows


def main():
    if len(sys.argv) not in (2, 4):
        sys.stderr.write(__doc__)
        return 1
    width, height = (1275, 1650) if len(sys.argv) == 2 else (int(sys.argv[2]), int(sys.argv[3]))
    rows = make_page(width, height)
    with open(sys.argv[1], "wb") as out:
        out.write(b"P6\n%d %d\n255\n" % (width, height))
        for row in rows:
            out.write(row)
    return 0


if __name__ == "__main__":
    sys.exit(main())
