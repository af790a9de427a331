// Which routines the decoder runs: the plain ones, which define every result, or the fast ones
// beside them, which must give the same results bit for bit.
#pragma once

namespace jpegdec {

namespace dispatch_detail {
// Set only by tests, through ForcePlainRoutines; read where a fast routine could be chosen.
extern bool forcePlain;
}  // namespace dispatch_detail

// Test-only switch: while `force` is set, decoding runs the plain routines everywhere, so tests
// can compare both kinds on the same input. Off by default; set it between decodes only.
void ForcePlainRoutines(bool force);
inline bool PlainRoutinesForced() { return dispatch_detail::forcePlain; }

}  // namespace jpegdec
