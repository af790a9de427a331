// Placeholder until the streaming back-end is built.
#include "backends/streaming_backend.h"

namespace jpegdec {

StreamingBackend::~StreamingBackend() = default;
int32_t StreamingBackend::SetUp(uint32_t) { return 0; }
int32_t StreamingBackend::Write(const uint8_t*, uint32_t) { return 0; }
int32_t StreamingBackend::Read(uint8_t**, uint32_t*) { return -1; }
void StreamingBackend::Finish(uint32_t*) {}
void StreamingBackend::Release() {}

}  // namespace jpegdec
