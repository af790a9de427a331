// Driving jpegdec through its public API.
#include "jpegdec_peer.h"

#include <algorithm>
#include <cstring>

#include "jpegdec/jpegdec.h"
#if defined(JPEGDEC_BUILDING)
// Linked with the library itself (bench/routines.cpp): the instance class as the library has it.
#include "api/jpeg_decode_instance.h"
#endif

extern "C" void PeerTakeRow(PeerOutput* out, const std::uint8_t* row, std::size_t length) {
  out->checksum = out->checksum * 31u + row[0] + row[length - 1];
  if (out->image != nullptr && out->rows < out->imageRows) {
    std::memcpy(out->image + out->rows * out->stride, row, std::min(length, out->stride));
  }
  out->rows += 1;
  out->rowBytes = static_cast<std::uint32_t>(length);
}

namespace jpegdec::bench {
namespace {

// Read calls in a row that neither hand out a row nor let a piece in, after which the decode
// counts as stalled (a library that never asks for input again, or never ends after EndOfInput:
// a file that ends early ends with -1 once the decoder has used every byte).
constexpr unsigned kMaxIdleReads = 1000;

}  // namespace

int JpegdecDecode(const std::uint8_t* data, std::size_t size, int mode, std::size_t piece,
                  std::uint32_t width, std::uint32_t height, PeerOutput* out) {
  JpegDecodeInstance* instance = CreateJpegDecodeInstance();
  if (instance == nullptr) {
    return 0;
  }
  int ok = 0;
  if (instance->Start(width, height, mode, 1) == 1) {
    std::size_t offset = 0;
    const bool streaming = instance->IsStreaming() == 1;
    if (!streaming) {
      if (instance->Write(data, static_cast<std::uint32_t>(size)) == 1) {
        offset = size;
        instance->EndOfInput(static_cast<std::int32_t>(height));
      }
    }
    unsigned idle = 0;
    while (offset == size || streaming) {
      std::uint8_t* row = nullptr;
      std::uint32_t rowLength = 0;
      const std::int32_t result = instance->Read(&row, &rowLength);
      if (result == JPEGDEC_READ_ROW) {
        PeerTakeRow(out, row, rowLength);
        idle = 0;
        continue;
      }
      if (result == JPEGDEC_READ_END) {
        ok = 1;
        break;
      }
      if (result != JPEGDEC_READ_AGAIN) {
        break;
      }
      if (offset < size) {
        const std::size_t n = std::min(piece, size - offset);
        if (instance->Write(data + offset, static_cast<std::uint32_t>(n)) == 1) {
          offset += n;
          idle = 0;
          if (offset == size) {
            instance->EndOfInput(static_cast<std::int32_t>(height));
          }
          continue;
        }
      }
      if (++idle > kMaxIdleReads) {
        break;
      }
    }
  }
  std::uint32_t leftover = 0;
  instance->Finish(&leftover);
  DeleteJpegDecodeInstance(instance);
  return ok;
}

}  // namespace jpegdec::bench
