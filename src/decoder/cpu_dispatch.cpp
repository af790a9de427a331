// The switch between the plain and the fast routines.
#include "decoder/cpu_dispatch.h"

namespace jpegdec {
namespace {

// Set only by tests; nothing in the library writes it.
bool forcePlain = false;

}  // namespace

void ForcePlainRoutines(bool force) { forcePlain = force; }

bool PlainRoutinesForced() { return forcePlain; }

}  // namespace jpegdec
