#!/usr/bin/env python3
"""Reads an image the jpegdec tool wrote (PNG, BMP, PPM or PGM) with a reader of its own (zlib
for PNG's data, nothing of libpng or libjpeg) and compares its pixels with a reference PPM or PGM
holding the library's rows, exactly. With --grey the reference's R, G, B become grey by the
tool's formula first. With --phys X,Y,UNIT (or "none") the PNG's pHYs chunk, or the BMP's pixels
per metre (UNIT 1), must say that.

  cli_image_check.py IMAGE REFERENCE [--grey] [--phys X,Y,UNIT|none]
"""
import struct
import sys
import zlib


def read_pnm(data):
    fields, at = [], 0
    while len(fields) < 4:
        while data[at:at + 1].isspace():
            at += 1
        if data[at:at + 1] == b'#':
            at = data.index(b'\n', at)
            continue
        end = at
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[at:end])
        at = end
    magic, width, height = fields[0], int(fields[1]), int(fields[2])
    channels = {b'P5': 1, b'P6': 3}[magic]
    pixels = data[at + 1:at + 1 + width * height * channels]
    return width, height, channels, pixels, None


def paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    if pa <= pb and pa <= pc:
        return a
    return b if pb <= pc else c


def read_png(data):
    assert data[:8] == b'\x89PNG\r\n\x1a\n', 'not a PNG'
    at, idat, phys = 8, b'', None
    while at < len(data):
        length, kind = struct.unpack('>I4s', data[at:at + 8])
        body = data[at + 8:at + 8 + length]
        if kind == b'IHDR':
            width, height, depth, colour = struct.unpack('>IIBB', body[:10])
            assert depth == 8 and colour in (0, 2), 'only 8-bit grey or RGB'
            channels = 1 if colour == 0 else 3
        elif kind == b'pHYs':
            phys = struct.unpack('>IIB', body)
        elif kind == b'IDAT':
            idat += body
        at += 12 + length
    raw = zlib.decompress(idat)
    stride = width * channels
    rows, previous = [], bytearray(stride)
    for y in range(height):
        kind = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for x in range(stride):
            left = line[x - channels] if x >= channels else 0
            up = previous[x]
            corner = previous[x - channels] if x >= channels else 0
            predictor = (0, left, up, (left + up) // 2, paeth(left, up, corner))[kind]
            line[x] = (line[x] + predictor) & 0xFF
        rows.append(bytes(line))
        previous = line
    return width, height, channels, b''.join(rows), phys


def read_bmp(data):
    assert data[:2] == b'BM', 'not a BMP'
    size, _, offset = struct.unpack('<IIi', data[2:14])
    assert size == len(data), 'the file header gives %d bytes, the file has %d' % (size, len(data))
    (info, width, height, planes, bits, compression, image_size, xppm, yppm, colours,
     _) = struct.unpack('<IiiHHIIiiII', data[14:54])
    assert info == 40 and planes == 1 and compression == 0 and height > 0, 'a bottom-up BMP'
    channels = bits // 8
    assert bits in (8, 24), 'only 8-bit grey or 24-bit'
    if bits == 8:
        assert colours == 256 and offset == 54 + 1024
        for level in range(256):
            assert data[54 + 4 * level:58 + 4 * level] == bytes((level, level, level, 0))
    stride = (width * channels + 3) // 4 * 4
    assert image_size == stride * height and offset + image_size == len(data)
    rows = []
    for y in range(height):
        line = data[offset + (height - 1 - y) * stride:][:stride]
        assert line[width * channels:] == bytes(stride - width * channels), 'padding not zero'
        line = line[:width * channels]
        if channels == 3:
            swapped = bytearray(line)
            swapped[0::3], swapped[2::3] = line[2::3], line[0::3]
            line = bytes(swapped)
        rows.append(line)
    phys = (xppm, yppm, 1) if xppm or yppm else None
    return width, height, channels, b''.join(rows), phys


def read_image(path):
    data = open(path, 'rb').read()
    if data[:2] == b'BM':
        return read_bmp(data)
    if data[:4] == b'\x89PNG':
        return read_png(data)
    return read_pnm(data)


def main():
    image, reference = sys.argv[1], sys.argv[2]
    grey = '--grey' in sys.argv
    width, height, channels, pixels, phys = read_image(image)
    ref_width, ref_height, ref_channels, ref, _ = read_image(reference)
    if grey and ref_channels == 3:
        ref = bytes((19595 * ref[i] + 38470 * ref[i + 1] + 7471 * ref[i + 2] + 32768) >> 16
                    for i in range(0, len(ref), 3))
        ref_channels = 1
    if (width, height, channels) != (ref_width, ref_height, ref_channels):
        sys.exit('%s: %dx%d, %d channels; the reference %dx%d, %d' %
                 (image, width, height, channels, ref_width, ref_height, ref_channels))
    if pixels != ref:
        at = next(i for i in range(len(ref)) if pixels[i] != ref[i])
        sys.exit('%s: sample %d (row %d) is %d, the reference has %d' %
                 (image, at, at // (width * channels), pixels[at], ref[at]))
    if '--phys' in sys.argv:
        want = sys.argv[sys.argv.index('--phys') + 1]
        want = None if want == 'none' else tuple(int(v) for v in want.split(','))
        if phys != want:
            sys.exit('%s: resolution %s, want %s' % (image, phys, want))


if __name__ == '__main__':
    main()
