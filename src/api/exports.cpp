// The four exported functions and the live-instance count.
#include <new>

#include "api/jpeg_decode_instance.h"
#include "jpegdec/jpegdec.h"
#include "platform/platform.h"

namespace {

// Instances created and not yet deleted. The library's only mutable global.
int32_t liveInstances = 0;

}  // namespace

extern "C" {

JPEGDEC_API int32_t JPEGDEC_CDECL InitializeJpegDec(void) {
  liveInstances = 0;
  return 1;
}

JPEGDEC_API JpegDecodeInstance* JPEGDEC_CDECL CreateJpegDecodeInstance(void) {
  void* memory = jpegdec::platform::HeapAllocate(sizeof(JpegDecodeInstance));
  if (memory == nullptr) {
    return nullptr;
  }
  auto* instance = new (memory) JpegDecodeInstance();
  ++liveInstances;
  instance->instanceId = liveInstances;
  return instance;
}

JPEGDEC_API void JPEGDEC_CDECL DeleteJpegDecodeInstance(JpegDecodeInstance* instance) {
  if (instance == nullptr) {
    return;
  }
  --liveInstances;
  instance->DeletingDestructor(1);
}

JPEGDEC_API int32_t JPEGDEC_CDECL UnInitializeJpegDec(void) { return liveInstances; }

}  // extern "C"
