// The switch between the plain and the fast routines.
#include "decoder/cpu_dispatch.h"

namespace jpegdec {

bool dispatch_detail::forcePlain = false;

void ForcePlainRoutines(bool force) { dispatch_detail::forcePlain = force; }

}  // namespace jpegdec
