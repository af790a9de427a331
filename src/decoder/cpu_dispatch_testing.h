// Test-only switch over the fast routines. Not part of the library's interface: the tests call it
// to decode the same data with the plain routines and with each fast set and compare the bytes.
//
// The cap is process-wide because the tests reach the decoder through the public calls, which
// create their contexts internally. It is atomic, so decodes on any thread may read it, and read
// when a frame header is read; set it between decodes, so that every frame of a test sees the
// level meant for it. The library itself never changes it.
#pragma once

#include <cstdint>

namespace jpegdec {

// Caps the level that DetectRoutineLevel reports (kRoutinesPlain forces the plain routines;
// kRoutinesAvx2, the default, leaves the choice to the processor).
void LimitRoutineLevel(std::uint8_t highest);

// The current cap.
std::uint8_t RoutineLevelLimit();

// Convenience for the common case: true forces the plain routines, false lifts the cap.
void ForcePlainRoutines(bool force);

}  // namespace jpegdec
