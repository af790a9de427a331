// jpegdec as the comparison tool drives it: through the public API only, as a driver would.
#pragma once

#include <cstddef>
#include <cstdint>

#include "peers.h"

namespace jpegdec::bench {

// Decodes `data` with a fresh instance in `mode` (JPEGDEC_MODE_...). Streaming (mode 3) gets the
// file in pieces of `piece` bytes, following the streaming protocol: Read until it returns 1,
// then Write the next piece. The other modes get the whole file in one Write, then EndOfInput.
// `width` and `height` are the page's, passed to Start as a host would. Returns 1 when Read
// ended with 2, 0 otherwise.
int JpegdecDecode(const std::uint8_t* data, std::size_t size, int mode, std::size_t piece,
                  std::uint32_t width, std::uint32_t height, PeerOutput* out);

}  // namespace jpegdec::bench
