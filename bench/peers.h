/* The decoders the comparison tool times, each behind one C function of the same shape.
 *
 * Every function decodes one JPEG file held in memory and reports the image it produced. Rows
 * are handed to the caller the way each library hands them out; the tool folds two bytes of
 * every row into `checksum` so no decode can be optimised away, and, when `image` is given,
 * copies each row there (`stride` bytes apart, at most `stride` bytes of each) for the
 * verification pass. Results: 1 decoded, 0 failed. */
#ifndef JPEGDEC_BENCH_PEERS_H_
#define JPEGDEC_BENCH_PEERS_H_

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct PeerOutput {
  uint8_t* image;     /* optional: whole-image copy of the rows */
  size_t stride;      /* bytes between rows of `image` */
  uint32_t imageRows; /* rows `image` holds; later rows are not copied */
  uint32_t rows;      /* rows handed out */
  uint32_t rowBytes;  /* length of the last row handed out */
  uint64_t checksum;
} PeerOutput;

/* Folds one row into `out` (and copies it to `out->image`). */
void PeerTakeRow(PeerOutput* out, const uint8_t* row, size_t length);

/* libjpeg-turbo through its libjpeg API. `defaults` 0: integer inverse DCT (JDCT_ISLOW) and box
 * upsampling (do_fancy_upsampling FALSE); 1: the library's defaults. `piece` 0: the whole file
 * through jpeg_mem_src; otherwise a suspending source manager that is handed the file in pieces
 * of `piece` bytes, each piece appended once the decoder suspends for lack of input. */
int LibjpegDecode(const uint8_t* data, size_t size, int defaults, size_t piece, PeerOutput* out);

/* stb_image from memory, components as stored (grey or RGB). */
int StbDecode(const uint8_t* data, size_t size, PeerOutput* out);

#ifdef __cplusplus
}
#endif

#endif
