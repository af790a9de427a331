/* Decodes a JPEG file through jpegdec from C, the way a driver does: the file arrives in pieces
 * and the decoder streams rows back while it is still coming in.  Usage: example_c FILE.jpg */
#include <jpegdec/jpegdec.h>
#include <jpegdec/jpegdec_probe.h>
#include <stdio.h>

/* The page size a driver knows from the scan settings; here the frame probe reads it from the
 * file's first bytes. Leaves both 0 when there is no frame header there. */
static void PageSize(FILE* file, uint32_t* width, uint32_t* height) {
  static unsigned char head[1 << 16];
  JpegDecFrameInfo frame;
  const size_t got = fread(head, 1, sizeof head, file);
  JpegDecProbeFrame(head, got, &frame); /* the fields stay 0 until the frame header is in */
  *width = frame.width;
  *height = frame.height;
  rewind(file);
}

int main(int argc, char** argv) {
  FILE* file = argc == 2 ? fopen(argv[1], "rb") : NULL;
  if (file == NULL) {
    fprintf(stderr, "usage: example_c FILE.jpg (a readable JPEG file)\n");
    return 2;
  }
  InitializeJpegDec();
  JpegDecodeInstance* decoder = CreateJpegDecodeInstance();
  if (decoder == NULL) {
    fclose(file);
    return 1;
  }
  const JpegDecodeInstanceVtbl* ops = JPEGDEC_VTBL(decoder);

  uint8_t piece[4096];
  size_t pending = 0;     /* bytes of piece not yet accepted by Write */
  int allWritten = 0;     /* every byte of the file has been accepted, EndOfInput called */
  uint8_t* row = NULL;
  uint32_t width = 0, height = 0, rowLength = 0, rows = 0, rowBytes = 0, leftover = 0;
  unsigned long checksum = 0;
  int32_t result = JPEGDEC_READ_FAILED;
  /* Start sizes the input buffer by the width; the image's own size comes from the data. */
  PageSize(file, &width, &height);
  if (ops->Start(JPEGDEC_SELF(decoder), width, height, JPEGDEC_MODE_STREAMING, 1) == 1) {
    while ((result = ops->Read(JPEGDEC_SELF(decoder), &row, &rowLength)) == JPEGDEC_READ_ROW ||
           result == JPEGDEC_READ_AGAIN) {
      if (result == JPEGDEC_READ_ROW) { /* top row first; valid until the next call */
        ++rows;
        rowBytes = rowLength;
        for (uint32_t i = 0; i < rowLength; ++i) {
          checksum = checksum * 31u + row[i];
        }
        continue;
      }
      if (allWritten) {
        /* 1 after EndOfInput: the decoder is still at work (each Read does a share of it).
         * Read on: it ends with 2, or with -1 for a file that was cut short. */
        continue;
      }
      /* 1: write the next piece. Write refuses while the decoder still has work of its own;
       * the same piece is then offered again, whole, after the next Read. */
      if (pending == 0 && (pending = fread(piece, 1, sizeof piece, file)) == 0) {
        allWritten = 1;
        /* No more bytes will come: the decode ends once the decoder has used them all. */
        ops->EndOfInput(JPEGDEC_SELF(decoder), (int32_t)height);
        continue;
      }
      if (ops->Write(JPEGDEC_SELF(decoder), piece, (uint32_t)pending) == 1) {
        pending = 0;
      }
    }
  }
  ops->Finish(JPEGDEC_SELF(decoder), &leftover);
  DeleteJpegDecodeInstance(decoder);
  fclose(file);

  printf("%s: %u rows of %u bytes, %u bytes after the image, checksum %08lx\n",
         result == JPEGDEC_READ_END ? "decoded" : "failed", (unsigned)rows, (unsigned)rowBytes,
         (unsigned)leftover, checksum & 0xffffffffUL);
  return result == JPEGDEC_READ_END && UnInitializeJpegDec() == 0 ? 0 : 1;
}
