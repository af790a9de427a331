// The portable build's stand-in for "gdiplus.dll": the GDI+ flat entry points the back-end
// resolves, decoding with libturbojpeg (loaded at run time) and encoding a standard BMP file.
#pragma once

#include "platform/platform.h"

namespace jpegdec::platform::standin {

// True when the stand-in can work (libturbojpeg can be loaded).
bool ImagingAvailable();

// The stand-in's entry point of that name, or null.
EntryPoint FindImagingEntryPoint(const char* name);

}  // namespace jpegdec::platform::standin
