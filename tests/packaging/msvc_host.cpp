// A host built the way a driver built with Microsoft's compiler is: the public header's C++
// class under _MSC_VER (a virtual destructor first, then the nine operations), thiscall member
// calls, jpegdec.lib as the import library. It decodes the sample JPEG through every slot in
// each decoding way, deletes one instance through slot 0 itself, and checks the results.
//
// It has no C runtime (none is available to this build): its own entry point, and only three
// kernel32 functions. Prints "msvc_host: ok ..." and exits 0 when every check passes.
#include <jpegdec/jpegdec.h>

#include "sample_jpeg.h"

extern "C" {
__declspec(dllimport) void* __stdcall GetStdHandle(unsigned long handle);
__declspec(dllimport) int __stdcall WriteFile(void* file, const void* data, unsigned long size,
                                              unsigned long* written, void* overlapped);
__declspec(dllimport) __declspec(noreturn) void __stdcall ExitProcess(unsigned int code);
}

namespace {

constexpr unsigned long kStandardOutput = static_cast<unsigned long>(-11);
constexpr uint32_t kPieceSize = 97;  // small and odd, so that pieces end anywhere
constexpr int kPixelTolerance = 12;  // the gradient survives quality 95 and 4:2:0 this closely
constexpr uint32_t kRowBytes = SAMPLE_WIDTH * 3;

void Print(const char* text) {
  unsigned long length = 0;
  while (text[length] != '\0') {
    ++length;
  }
  unsigned long written = 0;
  WriteFile(GetStdHandle(kStandardOutput), text, length, &written, nullptr);
}

void PrintNumber(uint32_t value) {
  char digits[12];
  int at = 11;
  digits[at] = '\0';
  do {
    digits[--at] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  Print(digits + at);
}

const char* currentCase = "start-up";  // named in a failure message

void Check(bool ok, const char* what) {
  if (!ok) {
    Print("msvc_host: FAILED (");
    Print(currentCase);
    Print("): ");
    Print(what);
    Print("\n");
    ExitProcess(1);
  }
}

// The stack pointer, read in the caller: a thiscall operation pops its own arguments, so the
// pointer is the same before and after every call when both sides agree on the convention.
[[gnu::always_inline]] inline uint32_t StackPointer() {
  uint32_t sp;
  __asm__ volatile("movl %%esp, %0" : "=r"(sp) : : "memory");
  return sp;
}

#define CALL(expression)                                         \
  [&] {                                                          \
    const uint32_t before = StackPointer();                      \
    auto result = (expression);                                  \
    Check(StackPointer() == before, "stack after " #expression); \
    return result;                                               \
  }()
#define CALL_VOID(expression)                                    \
  do {                                                           \
    const uint32_t before = StackPointer();                      \
    expression;                                                  \
    Check(StackPointer() == before, "stack after " #expression); \
  } while (false)

bool Near(uint8_t value, int expected) {
  const int difference = static_cast<int>(value) - expected;
  return difference >= -kPixelTolerance && difference <= kPixelTolerance;
}

// The sample is a gradient: red rises to the right, green downwards, blue is 128.
bool RowMatchesSample(const uint8_t* row, uint32_t y) {
  for (uint32_t x = 0; x < SAMPLE_WIDTH; ++x) {
    const uint8_t* pixel = row + x * 3;
    if (!Near(pixel[0], static_cast<int>(x * 255 / (SAMPLE_WIDTH - 1))) ||
        !Near(pixel[1], static_cast<int>(y * 255 / (SAMPLE_HEIGHT - 1))) || !Near(pixel[2], 128)) {
      return false;
    }
  }
  return true;
}

// The three decoding ways, each driven through the same slots.
struct ModeCase {
  const char* name;
  int32_t mode;
  int32_t streaming;     // IsStreaming after Start
  uint32_t rowBytes;     // rowLength of every row
  uint32_t leftover;     // what Finish reports
  bool countsHostCalls;  // the getters count this host's calls (buffered counts its pieces)
};
constexpr uint32_t kPaddedRowBytes = (kRowBytes + 3) / 4 * 4;
constexpr ModeCase kModes[] = {
    {"streaming", JPEGDEC_MODE_STREAMING, 1, kRowBytes, SAMPLE_TRAILER, true},
    {"buffered", JPEGDEC_MODE_BUFFERED, 0, kRowBytes, SAMPLE_TRAILER, false},
    {"GDI+", JPEGDEC_MODE_GDIPLUS, 0, kPaddedRowBytes, 0, true},
};
constexpr uint32_t kMostIdleReads = 64;  // Reads answering 1 after the whole file was given

// Feeds the sample in small pieces through Start, Write, Read, EndOfInput, IsStreaming, the
// getters and Finish, checking every row.
void DecodeSample(JpegDecodeInstance* decoder, const ModeCase& test) {
  Check(CALL(decoder->IsStreaming()) == 0, "IsStreaming before Start is 0");
  Check(CALL(decoder->GetWriteCount()) == 0 && CALL(decoder->GetReadCount()) == 0,
        "the counts before Start are 0");
  Check(CALL(decoder->Start(SAMPLE_WIDTH, SAMPLE_HEIGHT, test.mode, 1)) == 1, "Start returns 1");
  Check(CALL(decoder->IsStreaming()) == test.streaming, "IsStreaming after Start");

  uint32_t offset = 0, writes = 0, reads = 0, rows = 0, idle = 0;
  int32_t result;
  uint8_t* row = nullptr;
  uint32_t rowLength = 0;
  while ((result = CALL(decoder->Read(&row, &rowLength))) == JPEGDEC_READ_ROW ||
         result == JPEGDEC_READ_AGAIN) {
    ++reads;
    if (result == JPEGDEC_READ_ROW) {
      Check(rowLength == test.rowBytes, "every row has the mode's length");
      Check(rows < SAMPLE_HEIGHT && RowMatchesSample(row, rows), "the rows are the sample's");
      ++rows;
      continue;
    }
    if (offset == SAMPLE_SIZE) {
      Check(++idle <= kMostIdleReads, "the decoder ends once it has the whole file");
      continue;
    }
    const uint32_t left = SAMPLE_SIZE - offset;
    const uint32_t length = left < kPieceSize ? left : kPieceSize;
    ++writes;
    if (CALL(decoder->Write(kSample + offset, length)) == 1) {
      offset += length;
    }
    if (offset == SAMPLE_SIZE) {
      // The row limit: the GDI+ way hands out at most this many rows (none for 0), the
      // buffered way ignores it, and the streaming way ignores the call.
      CALL_VOID(decoder->EndOfInput(SAMPLE_HEIGHT));
    }
  }
  ++reads;
  Check(result == JPEGDEC_READ_END, "Read ends with 2");
  Check(rows == SAMPLE_HEIGHT, "every row was handed out");
  if (test.mode == JPEGDEC_MODE_STREAMING) {
    Check(CALL(decoder->Read(&row, &rowLength)) == JPEGDEC_READ_END, "Read after the end is 2");
    ++reads;
  }
  const uint32_t writeCount = CALL(decoder->GetWriteCount());
  const uint32_t readCount = CALL(decoder->GetReadCount());
  Check(test.countsHostCalls ? writeCount == writes && readCount == reads
                             : writeCount != 0 && readCount != 0,
        "GetWriteCount and GetReadCount count the calls");
  Check(CALL(decoder->GetElapsedTime()) < 60000, "GetElapsedTime is a plausible time");

  uint32_t leftover = 12345;
  CALL_VOID(decoder->Finish(&leftover));
  Check(leftover == test.leftover, "Finish reports the bytes after the end of the image");
  Check(CALL(decoder->GetReadCount()) == 0, "after Finish the instance has no back-end");
  CALL_VOID(decoder->Finish(nullptr));  // a second Finish does nothing
}

}  // namespace

extern "C" void __cdecl HostMain() {
  Check(InitializeJpegDec() == 1, "InitializeJpegDec returns 1");
  for (const ModeCase& test : kModes) {
    currentCase = test.name;
    JpegDecodeInstance* decoder = CreateJpegDecodeInstance();
    Check(decoder != nullptr && UnInitializeJpegDec() == 1, "one live instance");
    DecodeSample(decoder, test);
    DeleteJpegDecodeInstance(decoder);
    Check(UnInitializeJpegDec() == 0, "no live instance after DeleteJpegDecodeInstance");
  }
  currentCase = "delete";

  // Slot 0 called from this side: `delete` through the virtual destructor frees the instance
  // and whatever it holds (a started, unfinished decode). It bypasses the export, so the
  // instance stays counted.
  JpegDecodeInstance* unfinished = CreateJpegDecodeInstance();
  Check(unfinished != nullptr, "a second instance");
  Check(CALL(unfinished->Start(SAMPLE_WIDTH, SAMPLE_HEIGHT, JPEGDEC_MODE_STREAMING, 1)) == 1,
        "the second instance starts");
  uint8_t* row = nullptr;
  uint32_t rowLength = 0;
  CALL(unfinished->Read(&row, &rowLength));
  CALL(unfinished->Write(kSample, SAMPLE_SIZE / 2));
  CALL(unfinished->Read(&row, &rowLength));
  CALL_VOID(delete unfinished);
  Check(UnInitializeJpegDec() == 1, "delete does not touch the count");

  Print("msvc_host: ok, ");
  PrintNumber(SAMPLE_HEIGHT);
  Print(" rows decoded through every slot, streaming, buffered and through GDI+\n");
  ExitProcess(0);
}
