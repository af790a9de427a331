// Placeholder until the imaging stand-in is built.
#include "platform/portable/imaging_standin.h"

namespace jpegdec::platform::standin {

bool ImagingAvailable() { return false; }
EntryPoint FindImagingEntryPoint(const char*) { return nullptr; }

}  // namespace jpegdec::platform::standin
