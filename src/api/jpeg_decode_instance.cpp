// Placeholder operations until the back-ends are wired in.
#include "api/jpeg_decode_instance.h"

#include "platform/platform.h"

JpegDecodeInstance::~JpegDecodeInstance() = default;

void* JpegDecodeInstance::DeletingDestructor(unsigned flags) {
  this->~JpegDecodeInstance();
  if ((flags & 1u) != 0) {
    jpegdec::platform::HeapRelease(this);
  }
  return this;
}
int32_t JpegDecodeInstance::Start(uint32_t, uint32_t, int32_t, int32_t) { return 0; }
int32_t JpegDecodeInstance::Write(const uint8_t*, uint32_t) { return 0; }
int32_t JpegDecodeInstance::Read(uint8_t**, uint32_t*) { return -1; }
void JpegDecodeInstance::Finish(uint32_t*) {}
void JpegDecodeInstance::EndOfInput(int32_t) {}
int32_t JpegDecodeInstance::IsStreaming() { return 0; }
uint32_t JpegDecodeInstance::GetElapsedTime() { return 0; }
uint32_t JpegDecodeInstance::GetWriteCount() { return 0; }
uint32_t JpegDecodeInstance::GetReadCount() { return 0; }
