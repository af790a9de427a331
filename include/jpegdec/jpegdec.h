/* jpegdec: a resumable baseline JPEG decoder for scanner drivers.
 *
 * Usable from C and C++. The library exports four functions; everything else is reached through
 * the decoder instance's table of ten operations, in this fixed slot order:
 *   0 deleting destructor, 1 Start, 2 Write, 3 Read, 4 Finish, 5 EndOfInput, 6 IsStreaming,
 *   7 GetElapsedTime, 8 GetWriteCount, 9 GetReadCount.
 * On 32-bit Windows the operations use the thiscall convention, the exports cdecl.
 */
#ifndef JPEGDEC_JPEGDEC_H_
#define JPEGDEC_JPEGDEC_H_

#include <stdint.h>

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
#define JPEGDEC_READ_ROW 0     /* a row was handed out */
#define JPEGDEC_READ_AGAIN 1   /* no row now: write more input (or read again) */
#define JPEGDEC_READ_END 2     /* no more rows */
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
  virtual int32_t Start(uint32_t width, uint32_t height, int32_t mode,
                        int32_t memoryDivisor) = 0;
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
/* The operations table as a C host sees it (C++ hosts use the class above). */
typedef struct JpegDecodeInstanceVtbl {
  void*(JPEGDEC_THISCALL* DeletingDestructor)(JpegDecodeInstance* self, unsigned flags);
  int32_t(JPEGDEC_THISCALL* Start)(JpegDecodeInstance* self, uint32_t width, uint32_t height,
                                   int32_t mode, int32_t memoryDivisor);
  int32_t(JPEGDEC_THISCALL* Write)(JpegDecodeInstance* self, const uint8_t* data,
                                   uint32_t length);
  int32_t(JPEGDEC_THISCALL* Read)(JpegDecodeInstance* self, uint8_t** row, uint32_t* rowLength);
  void(JPEGDEC_THISCALL* Finish)(JpegDecodeInstance* self, uint32_t* leftover);
  void(JPEGDEC_THISCALL* EndOfInput)(JpegDecodeInstance* self, int32_t rowLimit);
  int32_t(JPEGDEC_THISCALL* IsStreaming)(JpegDecodeInstance* self);
  uint32_t(JPEGDEC_THISCALL* GetElapsedTime)(JpegDecodeInstance* self);
  uint32_t(JPEGDEC_THISCALL* GetWriteCount)(JpegDecodeInstance* self);
  uint32_t(JPEGDEC_THISCALL* GetReadCount)(JpegDecodeInstance* self);
} JpegDecodeInstanceVtbl;

/* The operations table of an instance (its first field). */
#define JPEGDEC_VTBL(instance) (*(const JpegDecodeInstanceVtbl* const*)(const void*)(instance))
#endif

JPEGDEC_API int32_t JPEGDEC_CDECL InitializeJpegDec(void);
JPEGDEC_API JpegDecodeInstance* JPEGDEC_CDECL CreateJpegDecodeInstance(void);
JPEGDEC_API void JPEGDEC_CDECL DeleteJpegDecodeInstance(JpegDecodeInstance* instance);
JPEGDEC_API int32_t JPEGDEC_CDECL UnInitializeJpegDec(void);

#ifdef __cplusplus
}
#endif

#endif /* JPEGDEC_JPEGDEC_H_ */
