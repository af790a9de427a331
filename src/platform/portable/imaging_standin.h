// The portable build's stand-in for "gdiplus.dll": the GDI+ flat entry points the back-end
// resolves, decoding with libturbojpeg (loaded at run time) and encoding a standard BMP file:
// 14 + 40 header bytes, bottom-up rows, 24-bit BGR for colour and four-component images, 8-bit
// indexed with a 256-entry grey colour table for greyscale ones.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace jpegdec::platform::standin {

// True when the stand-in can work (libturbojpeg can be loaded).
bool ImagingAvailable();

// The stand-in's entry point of that name, or null.
EntryPoint FindImagingEntryPoint(const char* name);

}  // namespace jpegdec::platform::standin

// Hooks for tests of the GDI+ back-end over the stand-in (portable build only).
namespace jpegdec::platform::standin::testing {

// Clears every hook below.
void ResetHooks();

// GdipSaveImageToStream fails (with a non-zero status) while set.
void SetSaveFailure(bool fail);

// Bits per pixel of the BMP files written (0: as the image asks, 8 or 24). Any other depth
// writes an uncompressed file of that depth, which the back-end is expected to refuse.
void SetBmpDepth(std::uint32_t bitsPerPixel);

// The encoder list GdipGetImageEncoders reports.
enum class EncoderList {
  kBmpOnly,           // one record, exactly one record's size (as Wine reports it)
  kSecondWithText,    // a PNG and a BMP record, their strings packed behind the records
  kWithoutBmp,        // a PNG record only
  kShorterThanCount,  // says two records but gives the size of one
};
void SetEncoderList(EncoderList list);

// Bitmaps created and not yet disposed of, and startups not yet shut down.
std::int64_t LiveBitmaps();
std::int64_t LiveStartups();

}  // namespace jpegdec::platform::standin::testing
