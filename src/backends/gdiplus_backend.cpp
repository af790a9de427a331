// Placeholder until the GDI+ back-end is built.
#include "backends/gdiplus_backend.h"

namespace jpegdec {

GdiplusBackend::~GdiplusBackend() = default;
int32_t GdiplusBackend::SetUp(uint32_t, uint32_t) { return 0; }
int32_t GdiplusBackend::Write(const uint8_t*, uint32_t) { return 0; }
int32_t GdiplusBackend::Read(uint8_t**, uint32_t*) { return -1; }
void GdiplusBackend::MarkInputComplete(int32_t) {}
void GdiplusBackend::Teardown(uint32_t* leftover) {
  if (leftover != nullptr) {
    *leftover = 0;
  }
}

}  // namespace jpegdec
