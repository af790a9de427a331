// Decodes a JPEG file through jpegdec from C++: the file is written in pieces and the rows are
// read back while it is still coming in.  Usage: example_cpp FILE.jpg
#include <jpegdec/jpegdec.h>
#include <jpegdec/jpegdec_probe.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

// The page size a driver knows from the scan settings; here the frame probe reads it from the
// file's first bytes. Both 0 when there is no frame header.
void PageSize(const std::vector<unsigned char>& file, uint32_t* width, uint32_t* height) {
  JpegDecFrameInfo frame;
  JpegDecProbeFrame(file.data(), file.size(), &frame);  // the fields stay 0 without a frame
  *width = frame.width;
  *height = frame.height;
}

}  // namespace

int main(int argc, char** argv) {
  std::ifstream in(argc == 2 ? argv[1] : "", std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "usage: example_cpp FILE.jpg (a readable JPEG file)\n");
    return 2;
  }
  // The whole file stands for what the device will send; it is written in 4 KiB pieces.
  const std::vector<unsigned char> file{std::istreambuf_iterator<char>(in),
                                        std::istreambuf_iterator<char>()};
  InitializeJpegDec();
  JpegDecodeInstance* decoder = CreateJpegDecodeInstance();
  if (decoder == nullptr) {
    return 1;
  }

  constexpr std::size_t kPiece = 4096;
  std::size_t written = 0;  // bytes accepted by Write
  bool inputEnded = false;
  uint8_t* row = nullptr;
  uint32_t width = 0, height = 0, rowLength = 0, rows = 0, rowBytes = 0, leftover = 0;
  int32_t result = JPEGDEC_READ_FAILED;
  // Start sizes the input buffer by the width; the image's own size comes from the data.
  PageSize(file, &width, &height);
  if (decoder->Start(width, height, JPEGDEC_MODE_STREAMING, 1) == 1) {
    while ((result = decoder->Read(&row, &rowLength)) == JPEGDEC_READ_ROW ||
           result == JPEGDEC_READ_AGAIN) {
      if (result == JPEGDEC_READ_ROW) {  // top row first; valid until the next call
        ++rows;
        rowBytes = rowLength;
        continue;
      }
      if (written < file.size()) {
        // 1: write the next piece. Write refuses while the decoder still has work of its own;
        // the same piece is then offered again, whole, after the next Read.
        const std::size_t piece = std::min(kPiece, file.size() - written);
        if (decoder->Write(file.data() + written, static_cast<uint32_t>(piece)) == 1) {
          written += piece;
        }
        continue;
      }
      if (!inputEnded) {
        // No more bytes will come: the decode ends once the decoder has used them all, with 2,
        // or with -1 for a file that was cut short. Until then Read answers 1: read on.
        decoder->EndOfInput(static_cast<int32_t>(height));
        inputEnded = true;
      }
    }
  }
  decoder->Finish(&leftover);
  DeleteJpegDecodeInstance(decoder);

  std::printf("%s: %u rows of %u bytes, %u bytes after the image\n",
              result == JPEGDEC_READ_END ? "decoded" : "failed", rows, rowBytes, leftover);
  return result == JPEGDEC_READ_END && UnInitializeJpegDec() == 0 ? 0 : 1;
}
