/* jpegdec_probe.h: what a host learns from the first bytes of a JPEG file before it decodes it.
 *
 * Header-only, for C (C89 and later) and C++: static inline functions, no export, no allocation,
 * nothing kept between calls. It does not need the library; include it beside jpegdec.h.
 *
 *   JpegDecFrameInfo frame;
 *   int result = JpegDecProbeFrame(bytes, count, &frame);
 *
 * Give it the file's first `count` bytes (the first piece, or everything received so far). It
 * walks the marker segments up to the first scan header exactly as the native decoder reads
 * them, reading only inside the bytes given, and returns:
 *   JPEGDEC_PROBE_NEED_MORE  the frame header is not yet wholly in: call again with more bytes.
 *   JPEGDEC_PROBE_FRAME      the frame header is in: every field of `frame` is set.
 *   JPEGDEC_PROBE_INVALID    the native decoder refuses these bytes before any frame header, and
 *                            so fails at once (Read returns -1): a marker out of order (a scan,
 *                            restart, DNL, second start or end marker, code 0x02, a frame header
 *                            before the start-of-image marker), a malformed segment (a length
 *                            below 2, a DRI segment of a length other than 4, a quantisation or
 *                            Huffman table segment the decoder cannot read, a frame header
 *                            without components or too short for them), or any code the decoder
 *                            refuses before the start-of-image marker. A code or table the
 *                            decoder does not take but another decoder might (16-bit
 *                            quantisation tables, JPG, DAC, JPGn, TEM or reserved codes, a
 *                            stuffed zero) between the start-of-image marker and the frame header
 *                            gives no verdict yet: the walk goes on to the frame header, which is
 *                            then reported with native 0.
 * Bytes before the start-of-image marker FF D8 are skipped as the decoder skips them, not
 * refused: everything up to the first 0xFF byte, and the segments of any markers met there that
 * the decoder reads (application, comment, table and DRI segments, which count as they would
 * after FF D8). So a file that a device prefixed with a few bytes of its own, or the tail of an
 * earlier image without 0xFF bytes, is probed and decoded like the file alone; and bytes with no
 * 0xFF at all (text, say) give NEED_MORE, as the decoder waits for a marker too. GDI+ mode may
 * refuse a file that does not open with FF D8 (Wine's GDI+ and the Linux stand-in do).
 * The work is linear in `count` and nothing is read outside the bytes given, whatever they hold.
 * A frame header is usually within the first kilobyte; a file may put long application
 * segments (camera data, colour profiles) before it.
 *
 * The fields (all 0 before the frame header is in, the -1 ones -1):
 *   frameMarker, precision  the frame header's marker (0xC0 baseline, 0xC1 extended sequential,
 *                           0xC2 progressive, ...) and bits per sample.
 *   width, height           as the frame header gives them. Height 0 means the number of lines
 *                           comes in a DNL segment after the first scan (a page of unknown
 *                           length); the native decoder takes such a frame.
 *   componentCount, horizontal[], vertical[]
 *                           the components and the sampling factors of the first four, as
 *                           declared (the decoder takes a one-component frame as 1x1 whatever it
 *                           declares).
 *   native                  1: the native decoder (modes 2 and 3, and automatic mode when it
 *                           streams) takes these headers: a baseline or extended sequential
 *                           Huffman frame (0xC0, 0xC1) of 8-bit samples, 1 to 4 components with
 *                           sampling factors 1 to 4, width above 0, 8-bit quantisation tables,
 *                           sound table segments, and a first scan holding every component.
 *                           0: it refuses them: use GDI+ mode (1) for such a file, which decodes
 *                           what the system's imaging library decodes (progressive JPEG, say).
 *                           Damage in the image data after the headers shows only while decoding.
 *   complete                1: more bytes would change nothing: the walk read the first scan
 *                           header, or stopped where the decoder would stop (native 0). 0: the
 *                           bytes end before the first scan header; native, converted,
 *                           restartInterval and adobeTransform are so far, and a call with more
 *                           bytes gives their final values.
 *   adobeTransform          the colour-transform byte of the last "Adobe" application segment
 *                           before the scan (0 none, 1 YCbCr, 2 YCCK); -1 when there is none.
 *   converted               modes 2 and 3 convert three or four components to R, G, B (1) or
 *                           hand them out as stored (0); see the row layouts below. They convert
 *                           unless an Adobe segment gives the transform 0 (or, before the frame
 *                           header, 255 for a four-component frame).
 *   jfifUnits, jfifXDensity, jfifYDensity
 *                           the resolution of a JFIF segment: units 0 (the densities give only
 *                           the pixel aspect), 1 dots per inch, 2 dots per centimetre; -1 and
 *                           0, 0 when there is no JFIF segment.
 *   restartInterval         MCUs between restart markers (a DRI segment before the scan); 0 none.
 *   nativeRowBytes          rowLength in modes 2 and 3: width x componentCount.
 *   gdiplusRowBytes, gdiplusBytesPerPixel
 *                           rowLength and bytes per pixel in GDI+ mode: 1 byte for a grey image
 *                           and 3 (R, G, B) for every other, the row padded to a multiple of 4.
 *
 * Row layouts, top row first, in modes 2 and 3 (nativeRowBytes, no padding):
 *   1 component    one grey byte per pixel.
 *   2 components   the two samples of each pixel as stored.
 *   3 components   converted 1: R, G, B from YCbCr. converted 0: the three samples as stored.
 *   4 components   converted 1: R, G, B from YCC, and 255 - K (the fourth sample inverted).
 *                  converted 0: C, M, Y, K as stored.
 * In GDI+ mode (gdiplusRowBytes), where the imaging library decodes the file: one grey byte per
 * pixel for one component, R, G, B for three and four components (the imaging library converts
 * CMYK itself), each row padded to a multiple of 4 bytes.
 *
 * GDI+ rows or the buffered fallback's: mode 1 falls back to buffered decoding (mode 2) when
 * GDI+ cannot be loaded or set up, and IsStreaming() is 0 either way. The row length tells them
 * apart: JpegDecProbeRowsAreGdiplus below. Where gdiplusRowBytes equals nativeRowBytes (grey and
 * three-component images whose width is a multiple of 4) both ways lay a row out alike, one grey
 * byte or three bytes per pixel without padding; the one case the length cannot tell is a
 * four-component image less than 4 pixels wide.
 */
#ifndef JPEGDEC_JPEGDEC_PROBE_H_
#define JPEGDEC_JPEGDEC_PROBE_H_

#include <stddef.h>

#if defined(__cplusplus) || (defined(__STDC_VERSION__) && __STDC_VERSION__ >= 199901L)
#define JPEGDEC_PROBE_INLINE inline
#elif defined(__GNUC__) || defined(__clang__)
#define JPEGDEC_PROBE_INLINE __inline__
#elif defined(_MSC_VER)
#define JPEGDEC_PROBE_INLINE __inline
#else
#define JPEGDEC_PROBE_INLINE
#endif

/* JpegDecProbeFrame's results. */
#define JPEGDEC_PROBE_NEED_MORE 0
#define JPEGDEC_PROBE_FRAME 1
#define JPEGDEC_PROBE_INVALID (-1)

#define JPEGDEC_PROBE_MAX_COMPONENTS 4

typedef struct JpegDecFrameInfo {
  unsigned int frameMarker;
  unsigned int precision;
  unsigned int width;
  unsigned int height;
  unsigned int componentCount;
  unsigned int horizontal[JPEGDEC_PROBE_MAX_COMPONENTS];
  unsigned int vertical[JPEGDEC_PROBE_MAX_COMPONENTS];
  int native;
  int complete;
  int adobeTransform;
  int converted;
  int jfifUnits;
  unsigned int jfifXDensity;
  unsigned int jfifYDensity;
  unsigned int restartInterval;
  unsigned long nativeRowBytes;
  unsigned long gdiplusRowBytes;
  unsigned int gdiplusBytesPerPixel;
} JpegDecFrameInfo;

/* ---- The walk's pieces (not for hosts) ---- */

/* What the walk carries from segment to segment besides the fields. */
typedef struct JpegDecProbeWalk {
  JpegDecFrameInfo* info;
  int soiSeen;
  int frameSeen;
  unsigned int transform;   /* as the decoder keeps it: 3 before any Adobe segment */
  unsigned int quantTables; /* bit t: a DQT defined table t */
  unsigned int acTables;    /* bit t: a DHT defined AC table t (0 and 1 have standard ones) */
  unsigned int ids[JPEGDEC_PROBE_MAX_COMPONENTS];
  unsigned int tq[JPEGDEC_PROBE_MAX_COMPONENTS];
} JpegDecProbeWalk;

static JPEGDEC_PROBE_INLINE unsigned int JpegDecProbeBe16(const unsigned char* p) {
  return (0u + p[0]) << 8 | (0u + p[1]);
}

/* What a segment's check found: the decoder takes it, refuses it as a feature it lacks (a valid
 * file for another decoder), or refuses it as malformed. */
#define JPEGDEC_PROBE_TAKEN 1
#define JPEGDEC_PROBE_UNSUPPORTED 0
#define JPEGDEC_PROBE_MALFORMED (-1)

/* DQT: tables of Pq/Tq and 64 8-bit values. The decoder lacks 16-bit ones (Pq 1); a Pq above 1,
 * a table id above 3 or a table cut short are malformed. Checked table by table, in order. */
static JPEGDEC_PROBE_INLINE int JpegDecProbeDqt(JpegDecProbeWalk* walk, const unsigned char* p,
                                                size_t length) {
  while (length > 0) {
    const unsigned int pq = (0u + p[0]) >> 4;
    const unsigned int id = (0u + p[0]) & 15u;
    if (pq == 1) {
      return JPEGDEC_PROBE_UNSUPPORTED;
    }
    if (pq != 0 || id > 3 || length < 65) {
      return JPEGDEC_PROBE_MALFORMED;
    }
    walk->quantTables |= 1u << id;
    p += 65;
    length -= 65;
  }
  return JPEGDEC_PROBE_TAKEN;
}

/* DHT: tables of a class-and-id byte, 16 code counts and the symbols. Each table must fit its
 * segment; a DC table 0 or 1 or an AC table 0 to 3 must also fit the decoder's capacity (12 DC,
 * 256 AC symbols) with codes that fit their lengths. Tables of other ids are skipped. Every
 * failure is a malformed segment. */
static JPEGDEC_PROBE_INLINE int JpegDecProbeDht(JpegDecProbeWalk* walk, const unsigned char* p,
                                                size_t length) {
  while (length > 0) {
    unsigned int total = 0;
    unsigned long code = 0;
    int fits = 1;
    unsigned int bits;
    unsigned int kind;
    if (length < 17) {
      return JPEGDEC_PROBE_MALFORMED;
    }
    kind = p[0];
    for (bits = 1; bits <= 16; ++bits) {
      total += p[bits];
      code = (code << 1) + p[bits];
      if (code > (1ul << bits)) {
        fits = 0;
      }
    }
    if (17u + total > length) {
      return JPEGDEC_PROBE_MALFORMED;
    }
    if (kind <= 1 || (kind >= 0x10 && kind <= 0x13)) {
      if (!fits || total > (kind <= 1 ? 12u : 256u)) {
        return JPEGDEC_PROBE_MALFORMED;
      }
      if (kind >= 0x10) {
        walk->acTables |= 1u << (kind - 0x10);
      }
    }
    p += 17u + total;
    length -= 17u + total;
  }
  return JPEGDEC_PROBE_TAKEN;
}

/* The frame header: P, Y, X, Nf, then Ci, Hi/Vi, Tqi per component. 0: too broken to report. */
static JPEGDEC_PROBE_INLINE int JpegDecProbeSof(JpegDecProbeWalk* walk, unsigned int marker,
                                                const unsigned char* p, size_t length) {
  JpegDecFrameInfo* info = walk->info;
  unsigned int count;
  unsigned int c;
  unsigned long width;
  if (length < 6 || p[5] == 0 || length < 6u + 3u * p[5]) {
    return 0;
  }
  count = p[5];
  info->frameMarker = marker;
  info->precision = p[0];
  info->height = JpegDecProbeBe16(p + 1);
  info->width = JpegDecProbeBe16(p + 3);
  info->componentCount = count;
  info->native = info->native && (marker == 0xC0 || marker == 0xC1) && info->precision == 8 &&
                 count <= JPEGDEC_PROBE_MAX_COMPONENTS && info->width > 0;
  for (c = 0; c < count; ++c) {
    const unsigned char* field = p + 6 + 3 * c;
    const unsigned int h = (0u + field[1]) >> 4;
    const unsigned int v = (0u + field[1]) & 15u;
    if (h < 1 || h > 4 || v < 1 || v > 4 || field[2] > 3) {
      info->native = 0;
    }
    if (c < JPEGDEC_PROBE_MAX_COMPONENTS) {
      info->horizontal[c] = h;
      info->vertical[c] = v;
      walk->ids[c] = field[0];
      walk->tq[c] = field[2];
    }
  }
  if (walk->transform == 255) {
    walk->transform = count == 3 ? 1 : 0;
  }
  width = info->width;
  info->nativeRowBytes = width * count;
  info->gdiplusBytesPerPixel = count == 1 ? 1 : 3;
  info->gdiplusRowBytes = (width * info->gdiplusBytesPerPixel + 3) / 4 * 4;
  walk->frameSeen = 1;
  return 1;
}

/* The first scan header: Ns, then Csj, Tdj/Taj per component. The decoder takes it when it holds
 * every frame component (one interleaved scan) with tables it has: DC 0 or 1, AC 0 or 1 or one a
 * DHT defined, and a quantisation table a DQT defined. */
static JPEGDEC_PROBE_INLINE int JpegDecProbeSos(const JpegDecProbeWalk* walk,
                                                const unsigned char* p, size_t length) {
  const unsigned int count = walk->info->componentCount;
  unsigned int selected = 0;
  unsigned int dc[JPEGDEC_PROBE_MAX_COMPONENTS] = {0, 0, 0, 0};
  unsigned int ac[JPEGDEC_PROBE_MAX_COMPONENTS] = {0, 0, 0, 0};
  unsigned int j;
  unsigned int i;
  if (length < 1 || p[0] == 0 || p[0] > 4 || length < 4u + 2u * p[0] || p[0] != count) {
    return 0;
  }
  for (j = 0; j < count; ++j) {
    const unsigned int selector = p[1 + 2 * j];
    const unsigned int tables = p[2 + 2 * j];
    if ((tables >> 4) > 3 || (tables & 15u) > 3) {
      return 0;
    }
    for (i = 0; i < count; ++i) {
      if (walk->ids[i] == selector) {
        dc[i] = tables >> 4;
        ac[i] = tables & 15u;
        selected |= 1u << i;
        break;
      }
    }
  }
  for (i = 0; i < count; ++i) {
    if ((selected & (1u << i)) == 0 || dc[i] > 1 ||
        (ac[i] > 1 && (walk->acTables & (1u << ac[i])) == 0) ||
        (walk->quantTables & (1u << walk->tq[i])) == 0) {
      return 0;
    }
  }
  return 1;
}

/* APP0 "JFIF" (identifier, version, units, densities) and APP14 "Adobe" (identifier, version,
 * two flag words, the transform byte). */
static JPEGDEC_PROBE_INLINE void JpegDecProbeApp(JpegDecProbeWalk* walk, unsigned int marker,
                                                 const unsigned char* p, size_t length) {
  JpegDecFrameInfo* info = walk->info;
  if (length < 12) {
    return;
  }
  if (marker == 0xE0 && info->jfifUnits < 0 && p[0] == 'J' && p[1] == 'F' && p[2] == 'I' &&
      p[3] == 'F' && p[4] == 0) {
    info->jfifUnits = p[7];
    info->jfifXDensity = JpegDecProbeBe16(p + 8);
    info->jfifYDensity = JpegDecProbeBe16(p + 10);
  }
  if (p[0] == 'A' && p[1] == 'd' && p[2] == 'o' && p[3] == 'b' && p[4] == 'e') {
    info->adobeTransform = p[11];
    walk->transform = p[11];
  }
}

/* Every field as before the frame header: 0, and -1 where -1 means "none". */
static JPEGDEC_PROBE_INLINE void JpegDecProbeClear(JpegDecFrameInfo* info) {
  unsigned int c;
  info->frameMarker = 0;
  info->precision = 0;
  info->width = 0;
  info->height = 0;
  info->componentCount = 0;
  for (c = 0; c < JPEGDEC_PROBE_MAX_COMPONENTS; ++c) {
    info->horizontal[c] = 0;
    info->vertical[c] = 0;
  }
  info->native = 0;
  info->complete = 0;
  info->adobeTransform = -1;
  info->converted = 0;
  info->jfifUnits = -1;
  info->jfifXDensity = 0;
  info->jfifYDensity = 0;
  info->restartInterval = 0;
  info->nativeRowBytes = 0;
  info->gdiplusRowBytes = 0;
  info->gdiplusBytesPerPixel = 0;
}

/* How a walk ends: the bytes ran out, it reached the first scan header or stopped for good after
 * the frame header, or it met what the decoder refuses before the frame header. */
#define JPEGDEC_PROBE_WALK_OUT_OF_BYTES 0
#define JPEGDEC_PROBE_WALK_OVER 1
#define JPEGDEC_PROBE_WALK_BROKEN 2

/* SOF0 to SOF15: the codes 0xC0 to 0xCF but DHT (0xC4), JPG (0xC8) and DAC (0xCC). */
static JPEGDEC_PROBE_INLINE int JpegDecProbeIsFrameMarker(unsigned int marker) {
  return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

/* The codes the native decoder reads outside scan data. */
static JPEGDEC_PROBE_INLINE int JpegDecProbeIsKnown(unsigned int marker) {
  return marker == 0xC0 || marker == 0xC1 || marker == 0xC4 || (marker >= 0xDA && marker <= 0xDD) ||
         (marker >= 0xE0 && marker <= 0xEF) || marker == 0xFE;
}

/* The walk meets what the decoder refuses: after the frame header the walk is over (native 0);
 * before it the bytes are invalid when the refusal is for a fault (`malformed`) or comes before
 * the start-of-image marker, and otherwise (a feature the decoder lacks, in a file that may
 * suit another decoder) native becomes 0 and the walk goes on to the frame header. -1: go on. */
static JPEGDEC_PROBE_INLINE int JpegDecProbeRefused(JpegDecProbeWalk* walk, int malformed) {
  walk->info->native = 0;
  if (walk->frameSeen) {
    return JPEGDEC_PROBE_WALK_OVER;
  }
  return malformed || !walk->soiSeen ? JPEGDEC_PROBE_WALK_BROKEN : -1;
}

/* Walks the marker segments from the first byte, as the decoder's marker pass does; `info` is
 * cleared, with native 1, and `walk` set up. */
static JPEGDEC_PROBE_INLINE int JpegDecProbeWalkSegments(JpegDecProbeWalk* walk,
                                                         const unsigned char* data, size_t size) {
  JpegDecFrameInfo* info = walk->info;
  size_t at = 0;
  for (;;) {
    unsigned int marker;
    size_t length;
    const unsigned char* payload;
    int check;
    /* Bytes up to the next 0xFF are skipped, and so are fill bytes before a marker. */
    while (at < size && data[at] != 0xFF) {
      ++at;
    }
    while (at + 1 < size && data[at + 1] == 0xFF) {
      ++at;
    }
    if (at + 1 >= size) {
      return JPEGDEC_PROBE_WALK_OUT_OF_BYTES;
    }
    marker = data[at + 1];
    at += 2;
    /* Codes judged before any byte of their segment, as the decoder judges them. */
    if (marker == 0xD8 && !walk->soiSeen) {
      walk->soiSeen = 1;
      continue;
    }
    if ((marker >= 0xD0 && marker <= 0xD9) || marker == 0x02) {
      /* RSTn, a second SOI, EOI, code 0x02: before the first scan none of them belongs here */
      return JpegDecProbeRefused(walk, 1);
    }
    if ((marker == 0xDA || marker == 0xDC) && !walk->frameSeen) {
      return JPEGDEC_PROBE_WALK_BROKEN; /* a scan or its line count before the frame */
    }
    if (JpegDecProbeIsFrameMarker(marker) && (walk->frameSeen || !walk->soiSeen)) {
      return JpegDecProbeRefused(walk, 1); /* a second frame header, or one before SOI */
    }
    if (!JpegDecProbeIsKnown(marker) && !JpegDecProbeIsFrameMarker(marker)) {
      /* JPG, DAC, JPGn, TEM, reserved codes, a stuffed zero: the decoder has no use for them */
      check = JpegDecProbeRefused(walk, 0);
      if (check >= 0) {
        return check;
      }
      if (marker == 0x00 || marker == 0x01) {
        continue; /* no segment follows these codes */
      }
    }
    if (size - at < 2) {
      return JPEGDEC_PROBE_WALK_OUT_OF_BYTES;
    }
    length = JpegDecProbeBe16(data + at);
    if (marker == 0xDD || marker == 0xDC) {
      /* DRI and DNL: a length field that must say 4, then one 16-bit value */
      if (size - at < 4) {
        return JPEGDEC_PROBE_WALK_OUT_OF_BYTES;
      }
      if (length == 4 && marker == 0xDD) {
        info->restartInterval = JpegDecProbeBe16(data + at + 2);
      } else if (length != 4 || JpegDecProbeBe16(data + at + 2) == 0) {
        return JpegDecProbeRefused(walk, 1);
      }
    }
    if (length < 2) {
      return JpegDecProbeRefused(walk, 1);
    }
    if (length > size - at) {
      return JPEGDEC_PROBE_WALK_OUT_OF_BYTES; /* the segment goes on past the bytes given */
    }
    payload = data + at + 2;
    length -= 2;
    at += 2 + length;
    check = JPEGDEC_PROBE_TAKEN;
    if (JpegDecProbeIsFrameMarker(marker)) {
      if (!JpegDecProbeSof(walk, marker, payload, length)) {
        return JPEGDEC_PROBE_WALK_BROKEN;
      }
    } else if (marker == 0xDA) {
      if (!JpegDecProbeSos(walk, payload, length)) {
        info->native = 0;
      }
      return JPEGDEC_PROBE_WALK_OVER;
    } else if (marker == 0xDB) {
      check = JpegDecProbeDqt(walk, payload, length);
    } else if (marker == 0xC4) {
      check = JpegDecProbeDht(walk, payload, length);
    } else if (marker >= 0xE0 && marker <= 0xEF) {
      JpegDecProbeApp(walk, marker, payload, length);
    }
    if (check != JPEGDEC_PROBE_TAKEN) {
      check = JpegDecProbeRefused(walk, check == JPEGDEC_PROBE_MALFORMED);
      if (check >= 0) {
        return check;
      }
    }
    if (walk->frameSeen && !info->native) {
      return JPEGDEC_PROBE_WALK_OVER; /* the decoder stops here */
    }
  }
}

/* ---- For hosts ---- */

static JPEGDEC_PROBE_INLINE int JpegDecProbeFrame(const unsigned char* data, size_t size,
                                                  JpegDecFrameInfo* info) {
  JpegDecProbeWalk walk;
  int end;
  JpegDecProbeClear(info);
  info->native = 1;
  walk.info = info;
  walk.soiSeen = 0;
  walk.frameSeen = 0;
  walk.transform = 3;
  walk.quantTables = 0;
  walk.acTables = 0;
  end = JpegDecProbeWalkSegments(&walk, data, size);
  if (!walk.frameSeen) {
    JpegDecProbeClear(info);
    return end == JPEGDEC_PROBE_WALK_BROKEN ? JPEGDEC_PROBE_INVALID : JPEGDEC_PROBE_NEED_MORE;
  }
  info->complete = end == JPEGDEC_PROBE_WALK_OVER;
  info->converted = walk.transform != 0 && (info->componentCount == 3 || info->componentCount == 4);
  return JPEGDEC_PROBE_FRAME;
}

/* Whether a row of `rowLength` bytes from an instance started in mode 1 (or in automatic mode
 * with IsStreaming() 0) is GDI+'s: 1 GDI+'s (gdiplusRowBytes, gdiplusBytesPerPixel); 0 the
 * native decoder's (nativeRowBytes, the layouts above: mode 1 fell back to buffered decoding, or
 * both ways lay the row out alike); -1 neither length. */
static JPEGDEC_PROBE_INLINE int JpegDecProbeRowsAreGdiplus(const JpegDecFrameInfo* info,
                                                           unsigned long rowLength) {
  if (rowLength == info->nativeRowBytes) {
    return 0;
  }
  return rowLength == info->gdiplusRowBytes ? 1 : -1;
}

#endif /* JPEGDEC_JPEGDEC_PROBE_H_ */
