// The four exported functions and the live-instance count.
#include <new>

#include "api/jpeg_decode_instance.h"
#include "jpegdec/jpegdec.h"
#include "platform/platform.h"

namespace {

// Instances created and not yet deleted: the library's one mutable global. Instances may be
// created and deleted on several threads at once, so it changes only in indivisible steps, and
// an instance's id is the value its own increment produced.
jpegdec::platform::SharedCount liveInstances{0};

}  // namespace

extern "C" {

JPEGDEC_API int32_t JPEGDEC_CDECL InitializeJpegDec(void) {
  jpegdec::platform::SharedWrite(&liveInstances, 0);
  return 1;
}

JPEGDEC_API JpegDecodeInstance* JPEGDEC_CDECL CreateJpegDecodeInstance(void) {
  void* memory = jpegdec::platform::HeapAllocate(sizeof(JpegDecodeInstance));
  if (memory == nullptr) {
    return nullptr;
  }
  auto* instance = new (memory) JpegDecodeInstance();
  instance->instanceId = jpegdec::platform::SharedAdd(&liveInstances, 1);
  return instance;
}

JPEGDEC_API void JPEGDEC_CDECL DeleteJpegDecodeInstance(JpegDecodeInstance* instance) {
  if (instance == nullptr) {
    return;
  }
  jpegdec::platform::SharedAdd(&liveInstances, -1);
  instance->DeletingDestructor(1);
}

JPEGDEC_API int32_t JPEGDEC_CDECL UnInitializeJpegDec(void) {
  return jpegdec::platform::SharedRead(&liveInstances);
}

}  // extern "C"
