/* libjpeg-turbo as a peer of the comparison: whole-file and suspending-source decoding. */
#include <setjmp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
/* jpeglib.h needs stdio.h (FILE, size_t) before it. */
// clang-format off
#include <jpeglib.h>
// clang-format on

#include "peers.h"

typedef struct SuspendingSource {
  struct jpeg_source_mgr pub;
  const uint8_t* data; /* the whole file, handed over piece by piece */
  size_t size;
  size_t fed;      /* bytes of `data` handed over so far */
  size_t piece;    /* bytes per piece */
  uint8_t* buffer; /* unread bytes of earlier pieces, then the newest piece */
  size_t capacity;
  size_t skip; /* bytes skip_input_data still has to drop from later pieces */
} SuspendingSource;

typedef struct Session {
  struct jpeg_decompress_struct cinfo;
  struct jpeg_error_mgr err;
  jmp_buf failed;
  int ok;
  SuspendingSource source;
} Session;

static void ErrorExit(j_common_ptr cinfo) {
  Session* session = (Session*)(void*)cinfo->client_data;
  longjmp(session->failed, 1);
}

static void OutputMessage(j_common_ptr cinfo) { (void)cinfo; }

static void InitSource(j_decompress_ptr cinfo) { (void)cinfo; }
static boolean FillInputBuffer(j_decompress_ptr cinfo) {
  (void)cinfo;
  return FALSE; /* suspend: the driver appends the next piece and calls again */
}
static void SkipInputData(j_decompress_ptr cinfo, long count) {
  struct jpeg_source_mgr* src = cinfo->src;
  if (count <= 0) {
    return;
  }
  if ((size_t)count <= src->bytes_in_buffer) {
    src->next_input_byte += count;
    src->bytes_in_buffer -= (size_t)count;
  } else {
    ((SuspendingSource*)(void*)src)->skip += (size_t)count - src->bytes_in_buffer;
    src->next_input_byte += src->bytes_in_buffer;
    src->bytes_in_buffer = 0;
  }
}
static void TermSource(j_decompress_ptr cinfo) { (void)cinfo; }

/* Keeps the unread bytes, appends the next piece behind them; 0 when the file is used up or
 * memory is short. This is what a host receiving the file in pieces has to do. */
static int AppendPiece(SuspendingSource* s) {
  size_t tail = s->pub.bytes_in_buffer;
  size_t n = s->size - s->fed < s->piece ? s->size - s->fed : s->piece;
  size_t drop;
  if (n == 0) {
    return 0;
  }
  if (tail + n > s->capacity) {
    size_t capacity = 2 * (tail + n);
    uint8_t* grown = (uint8_t*)malloc(capacity);
    if (grown == NULL) {
      return 0;
    }
    if (tail > 0) {
      memcpy(grown, s->pub.next_input_byte, tail);
    }
    free(s->buffer);
    s->buffer = grown;
    s->capacity = capacity;
  } else if (tail > 0) {
    memmove(s->buffer, s->pub.next_input_byte, tail);
  }
  memcpy(s->buffer + tail, s->data + s->fed, n);
  s->fed += n;
  drop = s->skip < tail + n ? s->skip : tail + n;
  s->skip -= drop;
  s->pub.next_input_byte = s->buffer + drop;
  s->pub.bytes_in_buffer = tail + n - drop;
  return 1;
}

static int Decode(Session* session, const uint8_t* data, size_t size, int defaults, size_t piece,
                  PeerOutput* out) {
  j_decompress_ptr cinfo = &session->cinfo;
  SuspendingSource* src = &session->source;
  JSAMPARRAY rows;
  JDIMENSION i, n, batch;
  size_t rowBytes;

  if (piece == 0) {
    jpeg_mem_src(cinfo, data, (unsigned long)size);
  } else {
    src->pub.init_source = InitSource;
    src->pub.fill_input_buffer = FillInputBuffer;
    src->pub.skip_input_data = SkipInputData;
    src->pub.resync_to_restart = jpeg_resync_to_restart;
    src->pub.term_source = TermSource;
    src->pub.next_input_byte = NULL;
    src->pub.bytes_in_buffer = 0;
    src->data = data;
    src->size = size;
    src->piece = piece;
    cinfo->src = &src->pub;
  }
  while (jpeg_read_header(cinfo, TRUE) == JPEG_SUSPENDED) {
    if (!AppendPiece(src)) {
      return 0;
    }
  }
  if (!defaults) {
    cinfo->dct_method = JDCT_ISLOW;
    cinfo->do_fancy_upsampling = FALSE;
  }
  while (!jpeg_start_decompress(cinfo)) {
    if (!AppendPiece(src)) {
      return 0;
    }
  }
  batch = cinfo->rec_outbuf_height > 0 ? (JDIMENSION)cinfo->rec_outbuf_height : 1;
  rowBytes = (size_t)cinfo->output_width * (size_t)cinfo->output_components;
  rows = (*cinfo->mem->alloc_sarray)((j_common_ptr)cinfo, JPOOL_IMAGE, (JDIMENSION)rowBytes, batch);
  while (cinfo->output_scanline < cinfo->output_height) {
    n = jpeg_read_scanlines(cinfo, rows, batch);
    if (n == 0) {
      if (piece == 0 || !AppendPiece(src)) {
        return 0;
      }
      continue;
    }
    for (i = 0; i < n; ++i) {
      PeerTakeRow(out, rows[i], rowBytes);
    }
  }
  while (!jpeg_finish_decompress(cinfo)) {
    if (piece == 0 || !AppendPiece(src)) {
      return 0;
    }
  }
  return 1;
}

int LibjpegDecode(const uint8_t* data, size_t size, int defaults, size_t piece, PeerOutput* out) {
  /* Everything setjmp's caller touches after a longjmp lives in this heap block. */
  Session* session = (Session*)calloc(1, sizeof(Session));
  int ok;
  if (session == NULL) {
    return 0;
  }
  session->cinfo.err = jpeg_std_error(&session->err);
  session->err.error_exit = ErrorExit;
  session->err.output_message = OutputMessage;
  session->cinfo.client_data = session;
  if (setjmp(session->failed) == 0) {
    jpeg_create_decompress(&session->cinfo);
    session->ok = Decode(session, data, size, defaults, piece, out);
  }
  ok = session->ok;
  jpeg_destroy_decompress(&session->cinfo);
  free(session->source.buffer);
  free(session);
  return ok;
}
