// Test-only switch over the fast routines. Not part of the library's interface: the tests call it
// to decode the same data with the plain routines and with each fast set and compare the bytes.
//
// The cap is process-wide (the one piece of mutable global state besides the live-instance
// count) because the tests reach the decoder through the public calls, which create their
// contexts internally. It is read when a frame header is read, so it must be set between
// decodes, never while one runs in another thread; the library itself never changes it.
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
