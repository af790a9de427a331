// Placeholder: the heap only, until the rest of the layer is built.
#include <cstdlib>

#include "platform/platform.h"

namespace jpegdec::platform {

void* HeapAllocate(std::size_t size) { return std::malloc(size); }
void HeapRelease(void* memory) { std::free(memory); }

}  // namespace jpegdec::platform
