/* jpegdec: a resumable baseline JPEG decoder for scanner drivers.
 *
 * Usable from C and C++. The library exports four functions; everything else is reached through
 * the decoder instance's table of ten operations, in this fixed slot order:
 *   0 deleting destructor, 1 Start, 2 Write, 3 Read, 4 Finish, 5 EndOfInput, 6 IsStreaming,
 *   7 GetElapsedTime, 8 GetWriteCount, 9 GetReadCount.
 * On 32-bit Windows the operations use the thiscall convention, the exports cdecl.
 *
 * Calling order, one instance per image:
 *   InitializeJpegDec (once) -> CreateJpegDecodeInstance -> Start -> Write and Read interleaved
 *   -> EndOfInput once every byte is written -> Read until it returns 2 (end) or -1 (failure)
 *   -> Finish -> DeleteJpegDecodeInstance -> UnInitializeJpegDec (once).
 *
 * Operations:
 *   Start(width, height, mode, memoryDivisor): chooses and sets up the decoding way; 1 set up,
 *     0 failed (after 0, call only Finish and delete). width and height only size buffers and
 *     guide the automatic choice; the image's own size comes from the data. Modes:
 *       0 automatic: GDI+ when it can be loaded and a 24-bit bitmap of width x height fits in
 *         the largest block the system grants divided by 3 x memoryDivisor and again by 3;
 *         otherwise streaming. memoryDivisor 0 or below, and height 0 (a page of unknown
 *         length, which cannot be weighed), always give streaming.
 *       1 GDI+: the system's imaging library decodes the whole file; falls back to 2 when it
 *         cannot be loaded or set up. Rows are R, G, B, padded to a multiple of 4 bytes; for a
 *         greyscale image (which the library decodes to 8-bit indexed) one grey byte per pixel,
 *         padded likewise. rowLength always gives the size, and tells these rows from the
 *         fallback's (JpegDecProbeRowsAreGdiplus in jpegdec_probe.h).
 *       2 buffered: the whole file is collected, then decoded after EndOfInput.
 *       3 streaming: rows come out while the file is still arriving.
 *     Modes 2 and 3 give rows of width x components bytes, no padding: one grey byte per pixel
 *     for one component; the two samples as stored for two; R, G, B for three; R, G, B and
 *     255 - K (the fourth sample inverted) for four. Where an Adobe segment gives the colour
 *     transform 0, three and four components come as stored (C, M, Y, K for four).
 *     jpegdec_probe.h reads the frame from the file's first bytes: its size, components, this
 *     layout and the row lengths of every mode. Any other mode fails.
 *     Starting an instance again releases what the earlier Start set up.
 *   Write(data, length): hands compressed bytes in; 1 accepted, 0 refused (nothing stored).
 *     In buffered and GDI+ mode a refusal before EndOfInput means the collected file could not
 *     grow and is lost: the next Read returns -1. The collected file grows in proportion to its
 *     size, so collecting takes time linear in it. In every mode a Write after EndOfInput is
 *     refused (0): the file is complete.
 *   Read(&row, &rowLength): takes one decoded row out, top row first; results below. The row
 *     belongs to the library and stays valid until the next Read or Finish on the instance.
 *   Finish(&leftover): ends decoding and releases everything the instance holds; leftover (may
 *     be null) receives the count of bytes that followed the image's end marker, or 0 when the
 *     image did not end with one (and always in GDI+ mode). In buffered mode they are counted in
 *     the whole collected file; in streaming mode, at the end of what was written: the rest of
 *     the piece that held the marker, and any piece taken behind it while the decoder was still
 *     at work (none for a host that reads until 1 before each piece; every piece after the end
 *     is refused). They are the last leftover bytes written, and not part of this image: when a
 *     device sends two images in one transfer they are the first bytes of the next one, which
 *     the host writes to a new instance ahead of the rest of the transfer. A second Finish does
 *     nothing; deleting without Finish releases all too.
 *   EndOfInput(rowLimit): no more bytes will come; call it once every byte is written. The
 *     buffered and GDI+ ways decode only after it; the GDI+ way hands out at most rowLimit rows,
 *     so pass the image height there (with 0 or less, and no earlier positive limit, it hands
 *     out none). In streaming mode it ends a stream that stops short (below); the row limit
 *     has no effect there. A Write after it is refused (0) in every mode.
 *   IsStreaming(): 1 when the instance feeds the streaming way (mode 3), else 0.
 *   GetElapsedTime / GetWriteCount / GetReadCount: milliseconds spent in Write and Read, and
 *     the calls counted (refused ones included; in buffered mode, the pieces fed to the decoder
 *     and the decoder's reads). 0 without a back-end. In streaming mode a Write is timed only
 *     when its piece makes the input buffer grow: appending a piece is a copy far below a
 *     millisecond, which for single-byte pieces would cost less than reading the clock. Nor is
 *     a Read that only leaves a small piece waiting for the next (below).
 *
 * Read results: 0 a row was handed out; 1 no row now (more input needed, input not yet
 * complete, or more work to do first: call Read again); 2 no more rows; -1 decoding failed,
 * or the instance has no decoding way (Start failed or Finish was called). In modes 2 and 3,
 * 2 means the image is complete and sound: image data that ends (an end-of-image marker, or
 * the end of the input after EndOfInput) before every row of the frame is decoded gives the
 * rows decoded so far, then -1; a file that lacks only its end marker ends with 2 once every
 * row is out; an end marker before any frame is -1. Damaged data (bytes
 * changed or lost in transfer: data left over where the image or a restart interval should
 * end, a marker before it, a restart marker missing or out of sequence, codes that cannot be)
 * never ends with 2: -1 after the rows. Without restart markers the decode ends where the
 * damage shows; with them it costs only the intervals it touches: every row still comes out,
 * the rest of a damaged interval and any interval lost with its marker in mid-grey (sample
 * 128), the other rows as in the intact file. docs/robustness.md says which rows to trust.
 *
 * The streaming protocol (mode 3, or automatic mode when it chooses streaming):
 *   - Write a piece, then Read until Read returns 1 before writing the next piece: Read answers
 *     1 once the decoder has used every byte it holds (or lets a small piece wait, below), and
 *     only rarely before (a share of work done on a long run of markers: read again).
 *   - A piece written while the decoder is still at work (rows waiting, work to do) is taken
 *     if it fits behind the bytes the decoder reads, and refused otherwise. A refused Write
 *     therefore means "Read again, then retry the same piece"; the piece need never be split.
 *   - A piece of any size is taken once the decoder waits for input: when it does not fit
 *     behind the bytes the decoder still holds (at most one marker segment, under 64 KiB), the
 *     input buffer grows to hold both. So the buffer (48 bytes per pixel of the width given to
 *     Start, at least 100 KiB) grows at most to the largest piece written plus that remainder,
 *     never with the image. If that memory cannot be had, the piece is refused and the next
 *     Read returns -1.
 *   - Small pieces may wait for the next before they are decoded (Read then answers 1 at once),
 *     but only where they cannot let a row out: after every piece, reading until 1 hands out
 *     the same rows as if each piece were decoded at once. A Read that finds no new piece, and
 *     EndOfInput, decode whatever waits; an error in such bytes is reported by a later Read.
 *   - Once every byte is written, call EndOfInput and Read until 2 or -1. Read may still answer
 *     1 a few times (the decoder works in shares); once the decoder has used every byte and
 *     would wait for more, Read hands out the rows already decoded, then returns 2 when every
 *     row of the frame was decoded (a file lacking only its end marker), else -1 (a stream cut
 *     short by a jam or a pulled cable, or data that is not JPEG at all). A host that never
 *     calls EndOfInput sees Read answer 1 for ever on such a stream.
 *   - A page of unknown length: a frame header with height 0 and the lines in a DNL segment after
 *     the scan data (modes 2 and 3, and automatic mode when it streams). Rows come out as the data
 *     arrives, one band later than for a frame with a height: a band goes out once the next band
 *     has begun with data of its own (not just the bits padding the last byte) or the DNL segment
 *     has come, so no row below the page's end is handed out. A page whose scan data ends without
 *     the segment (an end marker, another marker, the end of the input) ends with -1 after the rows
 *     already handed out (the band held back is dropped: its rows may lie below the page's end); a
 *     DNL segment of 0 lines, or of fewer lines than rows already handed out, likewise. A DNL
 *     segment of more lines than the scan data held gives every row decoded, then -1. Memory stays
 *     independent of the height. GDI+ mode gives such a page to the system's imaging library, which
 *     may refuse it (Wine's does: -1 without a row); automatic mode, given height 0, streams.
 *   - A DNL segment for a frame with a height (lowering it) cannot take back rows already
 *     handed out: rows come out as they are decoded, before the segment is read.
 *
 * Threads: the library starts none and takes no lock while decoding. Separate instances may run
 * on separate threads at once, in every mode, each giving the rows it gives alone; one instance
 * is used by one thread at a time. CreateJpegDecodeInstance and DeleteJpegDecodeInstance may be
 * called from several threads at once (the live count changes in indivisible steps);
 * InitializeJpegDec, which resets the count, only while no other thread is inside the library.
 * Automatic mode's memory probes run one at a time in the process, so no thread's choice depends
 * on another's probe. Several GDI+ decodes of very large images at once can exhaust a 32-bit
 * process's address space; each then fails with -1 (pass a larger memoryDivisor, or stream).
 */
#ifndef JPEGDEC_JPEGDEC_H_
#define JPEGDEC_JPEGDEC_H_

#include <stdint.h>

/* JPEGDEC_VERSION_MAJOR, _MINOR, _PATCH and JPEGDEC_VERSION_STRING ("MAJOR.MINOR.PATCH"). */
#include "jpegdec_version.h"

#if defined(_WIN32)
#if defined(JPEGDEC_BUILDING)
#define JPEGDEC_API __declspec(dllexport)
#else
#define JPEGDEC_API __declspec(dllimport)
#endif
#define JPEGDEC_CDECL __cdecl
#if defined(__GNUC__) || defined(__clang__)
#define JPEGDEC_THISCALL __attribute__((thiscall))
#else
#define JPEGDEC_THISCALL __thiscall
#endif
#else
#define JPEGDEC_API __attribute__((visibility("default")))
#define JPEGDEC_CDECL
#define JPEGDEC_THISCALL
#endif

/* Decoding modes for Start. */
#define JPEGDEC_MODE_AUTO 0
#define JPEGDEC_MODE_GDIPLUS 1
#define JPEGDEC_MODE_BUFFERED 2
#define JPEGDEC_MODE_STREAMING 3

/* Read results. */
#define JPEGDEC_READ_ROW 0   /* a row was handed out */
#define JPEGDEC_READ_AGAIN 1 /* no row now: write more input, or read again */
#define JPEGDEC_READ_END 2   /* no more rows */
#define JPEGDEC_READ_FAILED (-1)

#if defined(__cplusplus) && !defined(JPEGDEC_BUILDING)
/* The instance as a C++ host sees it: ten virtual operations in slot order. */
class JpegDecodeInstance {
 public:
#if defined(_MSC_VER)
  virtual ~JpegDecodeInstance() = 0; /* slot 0: MSVC's deleting destructor */
#else
  virtual void* DeletingDestructor(unsigned flags) = 0; /* slot 0 */
#endif
  virtual int32_t Start(uint32_t width, uint32_t height, int32_t mode, int32_t memoryDivisor) = 0;
  virtual int32_t Write(const uint8_t* data, uint32_t length) = 0;
  virtual int32_t Read(uint8_t** row, uint32_t* rowLength) = 0;
  virtual void Finish(uint32_t* leftover) = 0;
  virtual void EndOfInput(int32_t rowLimit) = 0;
  virtual int32_t IsStreaming() = 0;
  virtual uint32_t GetElapsedTime() = 0;
  virtual uint32_t GetWriteCount() = 0;
  virtual uint32_t GetReadCount() = 0;

 protected:
#if !defined(_MSC_VER)
  ~JpegDecodeInstance() = default;
#endif
};
#elif defined(__cplusplus)
class JpegDecodeInstance;
#else
typedef struct JpegDecodeInstance JpegDecodeInstance;
#endif

#ifdef __cplusplus
extern "C" {
#endif

#if !defined(__cplusplus)
#if defined(_MSC_VER) && defined(_M_IX86)
/* Microsoft's compiler accepts __thiscall only on member functions. A __fastcall pointer with
 * an unused second argument calls the same way: the instance in ECX, the unused value in EDX,
 * the other arguments on the stack, removed by the callee. Pass JPEGDEC_SELF(instance) as the
 * first argument, which adds the unused one here. */
#define JPEGDEC_C_OPERATION __fastcall
#define JPEGDEC_C_SELF JpegDecodeInstance* self, void* unusedEdx
#define JPEGDEC_SELF(instance) (instance), 0
#elif defined(_MSC_VER) /* 64-bit: one calling convention for all */
#define JPEGDEC_C_OPERATION
#define JPEGDEC_C_SELF JpegDecodeInstance* self
#define JPEGDEC_SELF(instance) (instance)
#else
#define JPEGDEC_C_OPERATION JPEGDEC_THISCALL
#define JPEGDEC_C_SELF JpegDecodeInstance* self
#define JPEGDEC_SELF(instance) (instance)
#endif
#if defined(__GNUC__) && defined(_WIN32)
/* GCC applies thiscall to these plain function pointers as asked, but notes under -Wpedantic
 * that C has no class methods. */
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wattributes"
#endif
/* The operations table as a C host sees it (C++ hosts use the class above). */
typedef struct JpegDecodeInstanceVtbl {
  void*(JPEGDEC_C_OPERATION* DeletingDestructor)(JPEGDEC_C_SELF, unsigned flags);
  int32_t(JPEGDEC_C_OPERATION* Start)(JPEGDEC_C_SELF, uint32_t width, uint32_t height, int32_t mode,
                                      int32_t memoryDivisor);
  int32_t(JPEGDEC_C_OPERATION* Write)(JPEGDEC_C_SELF, const uint8_t* data, uint32_t length);
  int32_t(JPEGDEC_C_OPERATION* Read)(JPEGDEC_C_SELF, uint8_t** row, uint32_t* rowLength);
  void(JPEGDEC_C_OPERATION* Finish)(JPEGDEC_C_SELF, uint32_t* leftover);
  void(JPEGDEC_C_OPERATION* EndOfInput)(JPEGDEC_C_SELF, int32_t rowLimit);
  int32_t(JPEGDEC_C_OPERATION* IsStreaming)(JPEGDEC_C_SELF);
  uint32_t(JPEGDEC_C_OPERATION* GetElapsedTime)(JPEGDEC_C_SELF);
  uint32_t(JPEGDEC_C_OPERATION* GetWriteCount)(JPEGDEC_C_SELF);
  uint32_t(JPEGDEC_C_OPERATION* GetReadCount)(JPEGDEC_C_SELF);
} JpegDecodeInstanceVtbl;
#if defined(__GNUC__) && defined(_WIN32)
#pragma GCC diagnostic pop
#endif

/* The operations table of an instance (its first field). Call an operation as
 *   JPEGDEC_VTBL(instance)->Read(JPEGDEC_SELF(instance), &row, &rowLength);
 * Slot 0 with flags 1 destroys the instance and frees its memory; hosts normally use
 * DeleteJpegDecodeInstance instead, which also keeps the live-instance count. */
#define JPEGDEC_VTBL(instance) (*(const JpegDecodeInstanceVtbl* const*)(const void*)(instance))
#endif

/* Resets the count of live instances to 0 (live instances stay alive); returns 1. Call it while
 * no other thread is inside the library. */
JPEGDEC_API int32_t JPEGDEC_CDECL InitializeJpegDec(void);
/* A new instance (counted; its id is the count just after), or null when memory is short. Any
 * thread, also while others create or delete instances. */
JPEGDEC_API JpegDecodeInstance* JPEGDEC_CDECL CreateJpegDecodeInstance(void);
/* Uncounts and destroys the instance, releasing whatever it holds. Null is ignored. */
JPEGDEC_API void JPEGDEC_CDECL DeleteJpegDecodeInstance(JpegDecodeInstance* instance);
/* The count of instances still alive (0 when every one was deleted). Releases nothing. */
JPEGDEC_API int32_t JPEGDEC_CDECL UnInitializeJpegDec(void);

#ifdef __cplusplus
}
#endif

#endif /* JPEGDEC_JPEGDEC_H_ */
