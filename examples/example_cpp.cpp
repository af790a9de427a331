// Decodes a JPEG file through jpegdec from C++: the file is written in pieces and the rows are
// read back while it is still coming in.  Usage: example_cpp FILE.jpg
#include <jpegdec/jpegdec.h>

#include <cstdio>
#include <fstream>
#include <vector>

int main(int argc, char** argv) {
  std::ifstream file(argc == 2 ? argv[1] : "", std::ios::binary);
  if (!file) {
    std::fprintf(stderr, "usage: example_cpp FILE.jpg (a readable JPEG file)\n");
    return 2;
  }
  InitializeJpegDec();
  JpegDecodeInstance* decoder = CreateJpegDecodeInstance();
  if (decoder == nullptr) {
    return 1;
  }

  std::vector<char> piece(4096);
  uint32_t pending = 0;  // bytes of piece not yet accepted by Write
  uint8_t* row = nullptr;
  uint32_t rowLength = 0, rows = 0, rowBytes = 0, leftover = 0;
  int32_t result = JPEGDEC_READ_FAILED;
  // The size given to Start only sizes the input buffer; the image's own comes from the data.
  if (decoder->Start(0, 0, JPEGDEC_MODE_STREAMING, 1) == 1) {
    while ((result = decoder->Read(&row, &rowLength)) == JPEGDEC_READ_ROW ||
           result == JPEGDEC_READ_AGAIN) {
      if (result == JPEGDEC_READ_ROW) {  // top row first; valid until the next call
        ++rows;
        rowBytes = rowLength;
        continue;
      }
      // 1: write the next piece. Write refuses while the decoder still has work of its own; the
      // same piece is then offered again after the next Read.
      if (pending == 0) {
        file.read(piece.data(), static_cast<std::streamsize>(piece.size()));
        pending = static_cast<uint32_t>(file.gcount());
        if (pending == 0) {
          break;  // every byte written and still no end: the file was cut short
        }
      }
      if (decoder->Write(reinterpret_cast<const uint8_t*>(piece.data()), pending) == 1) {
        pending = 0;
      }
    }
  }
  decoder->Finish(&leftover);
  DeleteJpegDecodeInstance(decoder);

  std::printf("%s: %u rows of %u bytes, %u bytes after the image\n",
              result == JPEGDEC_READ_END ? "decoded" : "failed", rows, rowBytes, leftover);
  return result == JPEGDEC_READ_END && UnInitializeJpegDec() == 0 ? 0 : 1;
}
