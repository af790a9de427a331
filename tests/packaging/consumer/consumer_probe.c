/* The installed frame probe, built as C89 and as C++ (consumer_probe.cpp) with strict warnings:
 * probes every prefix of the JPEG file named on the command line and prints what the frame holds.
 * The answer must be "need more bytes" up to some prefix and the same frame from there on. */
#include <jpegdec/jpegdec_probe.h>
#include <stdio.h>
#include <stdlib.h>

static int Fail(const char* what, unsigned long at) {
  fprintf(stderr, "consumer_probe: %s (prefix of %lu bytes)\n", what, at);
  return 1;
}

int main(int argc, char** argv) {
  static unsigned char file[1 << 16];
  JpegDecFrameInfo first;
  JpegDecFrameInfo frame;
  size_t size;
  size_t n;
  int seen = 0;
  FILE* in;
  if (argc != 2 || (in = fopen(argv[1], "rb")) == NULL) {
    return Fail("usage: consumer_probe FILE.jpg", 0);
  }
  size = fread(file, 1, sizeof file, in);
  fclose(in);
  JpegDecProbeFrame(file, 0, &first);
  for (n = 0; n <= size; ++n) {
    const int result = JpegDecProbeFrame(file, n, &frame);
    if (result == JPEGDEC_PROBE_INVALID || (seen && result != JPEGDEC_PROBE_FRAME)) {
      return Fail("not need-more, then the frame", n);
    }
    if (result == JPEGDEC_PROBE_FRAME && !seen) {
      first = frame;
      seen = 1;
    }
    if (seen && (frame.width != first.width || frame.height != first.height ||
                 frame.componentCount != first.componentCount ||
                 frame.nativeRowBytes != first.nativeRowBytes)) {
      return Fail("the frame changed", n);
    }
  }
  if (!seen || !frame.complete) {
    return Fail("no whole header", size);
  }
  printf("probe ok %ux%ux%u %ux%u native %d converted %d rows %lu %lu\n", frame.width, frame.height,
         frame.componentCount, frame.horizontal[0], frame.vertical[0], frame.native,
         frame.converted, frame.nativeRowBytes, frame.gdiplusRowBytes);
  return EXIT_SUCCESS;
}
