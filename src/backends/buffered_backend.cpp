// Placeholder until the buffered back-end is built.
#include "backends/buffered_backend.h"

namespace jpegdec {

BufferedBackend::~BufferedBackend() = default;
int32_t BufferedBackend::SetUp(uint32_t, uint32_t) { return 0; }
int32_t BufferedBackend::Write(const uint8_t*, uint32_t) { return 0; }
void BufferedBackend::MarkInputComplete() {}
int32_t BufferedBackend::Read(uint8_t**, uint32_t*) { return -1; }
void BufferedBackend::ReleaseBlock() {}

}  // namespace jpegdec
