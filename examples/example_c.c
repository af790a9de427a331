/* Decodes a JPEG file through jpegdec from C, the way a driver does: the file arrives in pieces
 * and the decoder streams rows back while it is still coming in.  Usage: example_c FILE.jpg */
#include <jpegdec/jpegdec.h>
#include <stdio.h>

int main(int argc, char** argv) {
  FILE* file = argc == 2 ? fopen(argv[1], "rb") : NULL;
  if (file == NULL) {
    fprintf(stderr, "usage: example_c FILE.jpg (a readable JPEG file)\n");
    return 2;
  }
  InitializeJpegDec();
  JpegDecodeInstance* decoder = CreateJpegDecodeInstance();
  if (decoder == NULL) {
    return 1;
  }
  const JpegDecodeInstanceVtbl* ops = JPEGDEC_VTBL(decoder);

  uint8_t piece[4096];
  size_t pending = 0; /* bytes of piece not yet accepted by Write */
  uint8_t* row = NULL;
  uint32_t rowLength = 0, rows = 0, rowBytes = 0, leftover = 0;
  unsigned long checksum = 0;
  int32_t result = JPEGDEC_READ_FAILED;
  /* The size given to Start only sizes the input buffer; the image's own comes from the data. */
  if (ops->Start(JPEGDEC_SELF(decoder), 0, 0, JPEGDEC_MODE_STREAMING, 1) == 1) {
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
      /* 1: write the next piece. Write refuses while the decoder still has work of its own;
       * the same piece is then offered again after the next Read. */
      if (pending == 0 && (pending = fread(piece, 1, sizeof piece, file)) == 0) {
        break; /* every byte written and still no end: the file was cut short */
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
