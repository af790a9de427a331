/* A host written in plain C, as a driver built with another compiler would be: it loads
 * jpegdec.dll by name, finds the four exports with GetProcAddress, and calls every one of the
 * instance's ten operations through the table of thiscall pointers, checking around each call
 * that the stack pointer is where it was (a convention mismatch would leave it moved).
 *
 * Built twice: by mingw-w64 gcc (the header's thiscall pointers), and by clang for Microsoft's
 * ABI as Microsoft's C compiler sees the header (its __fastcall form; tests/packaging.cmake).
 *
 * Usage: abi_host gdiplus-present | gdiplus-missing
 * With "gdiplus-missing" (run with gdiplus.dll disabled) automatic mode must choose streaming
 * and mode 1 must fall back to mode 2. Exit status 0 when every check held. */
#include <stdint.h>

#include "jpegdec/jpegdec.h"

#if defined(JPEGDEC_ABI_HOST_FREESTANDING)
/* Built by clang for Microsoft's ABI (i686-pc-windows-msvc) as Microsoft's C compiler would
 * build it, with no SDK and no C runtime of that kind here: the few system functions it calls
 * are declared below and imported from kernel32.dll and msvcrt.dll through import libraries
 * made from tests/packaging/kernel32.def and msvcrt.def. The header's form for Microsoft's compiler
 * is the one under test: __fastcall pointers with an unused second argument. */
_Static_assert(_Generic(((JpegDecodeInstanceVtbl*)0)->Read,
                        int32_t(__fastcall*)(JpegDecodeInstance*, void*, uint8_t**, uint32_t*) : 1,
                        default : 0),
               "the header's C table for Microsoft's compiler is selected");
typedef void* HMODULE;
typedef int(__stdcall* FARPROC)(void);
#define NULL ((void*)0)
__declspec(dllimport) HMODULE __stdcall LoadLibraryA(const char* name);
__declspec(dllimport) FARPROC __stdcall GetProcAddress(HMODULE module, const char* name);
__declspec(dllimport) int __stdcall FreeLibrary(HMODULE module);
__declspec(dllimport) int __cdecl printf(const char* format, ...);
__declspec(dllimport) int __cdecl strcmp(const char* a, const char* b);
__declspec(dllimport) int __cdecl __getmainargs(int* argc, char*** argv, char*** environment,
                                                int expandWildcards, int* startInfo);
__declspec(dllimport) __declspec(noreturn) void __cdecl exit(int status);
#else
#include <stdio.h>
#include <string.h>
#include <windows.h>
#endif

/* The instance as the host sees it: the table pointer, then the fields in order. */
typedef struct HostInstance {
  const JpegDecodeInstanceVtbl* vtbl;
  int32_t instanceId;
  int32_t mode;
  void* gdiplusBackend;
  void* bufferedBackend;
  void* streamingBackend;
} HostInstance;

typedef int32_t(JPEGDEC_CDECL* InitializeFn)(void);
typedef JpegDecodeInstance*(JPEGDEC_CDECL* CreateFn)(void);
typedef void(JPEGDEC_CDECL* DeleteFn)(JpegDecodeInstance* instance);
typedef int32_t(JPEGDEC_CDECL* UnInitializeFn)(void);

static int failures = 0;
static unsigned long espBefore = 0;
static unsigned long espAfter = 0;

#define READ_ESP(where) __asm__ volatile("movl %%esp, %0" : "=m"(where))

static void CheckStack(const char* what) {
  if (espBefore != espAfter) {
    printf("FAIL %s: stack pointer moved by %ld bytes\n", what, (long)(espAfter - espBefore));
    ++failures;
  }
}

/* Calls `expr`, storing its value in `result`, with the stack pointer read on both sides. */
#define CALL(result, expr) \
  do {                     \
    READ_ESP(espBefore);   \
    (result) = (expr);     \
    READ_ESP(espAfter);    \
    CheckStack(#expr);     \
  } while (0)
#define CALL_VOID(expr)  \
  do {                   \
    READ_ESP(espBefore); \
    (expr);              \
    READ_ESP(espAfter);  \
    CheckStack(#expr);   \
  } while (0)

#define EXPECT(condition)                                 \
  do {                                                    \
    if (!(condition)) {                                   \
      printf("FAIL line %d: %s\n", __LINE__, #condition); \
      ++failures;                                         \
    }                                                     \
  } while (0)

/* The checker must be able to see a mismatch: a callee that pops its argument (stdcall)
 * called through a pointer that says the caller pops it (cdecl) moves the stack by 4. */
static int32_t __attribute__((stdcall)) PopsItsArgument(int32_t value) { return value + 1; }
typedef int32_t (*CallerPopsFn)(int32_t value);

static void CheckTheChecker(void) {
  CallerPopsFn wrong = (CallerPopsFn)(void (*)(void))PopsItsArgument;
  int32_t result = 0;
  READ_ESP(espBefore);
  result = wrong(1);
  READ_ESP(espAfter);
  /* Undo the mismatch: a compiler that addresses its frame from the stack pointer (clang)
   * would otherwise return through the wrong slot. */
  __asm__ volatile("movl %0, %%esp" : : "m"(espBefore));
  if (result != 2 || espAfter == espBefore) {
    printf("FAIL the stack check cannot see a convention mismatch\n");
    ++failures;
  }
}

/* A JPEG file's start, up to the frame header: SOI, then a comment segment. */
static const uint8_t kStartOfFile[] = {0xFF, 0xD8, 0xFF, 0xFE, 0x00, 0x06, 'a', 'b', 'c', 'd'};

static void ExerciseEverySlot(JpegDecodeInstance* instance) {
  const HostInstance* host = (const HostInstance*)(const void*)instance;
  const JpegDecodeInstanceVtbl* vtbl = JPEGDEC_VTBL(instance);
  int32_t result = 0;
  uint32_t count = 0;
  uint8_t* row = NULL;
  uint32_t rowLength = 0;
  uint32_t leftover = 99;

  CALL(result, vtbl->Start(JPEGDEC_SELF(instance), 64, 48, JPEGDEC_MODE_STREAMING, 1));
  EXPECT(host->mode == JPEGDEC_MODE_STREAMING);
  EXPECT(host->streamingBackend != NULL);
  EXPECT(host->bufferedBackend == NULL && host->gdiplusBackend == NULL);
  CALL(result, vtbl->IsStreaming(JPEGDEC_SELF(instance)));
  EXPECT(result == 1);
  CALL(result, vtbl->Write(JPEGDEC_SELF(instance), kStartOfFile, (uint32_t)sizeof kStartOfFile));
  CALL(result, vtbl->Read(JPEGDEC_SELF(instance), &row, &rowLength));
  EXPECT(result == 1 || result == -1);
  CALL_VOID(vtbl->EndOfInput(JPEGDEC_SELF(instance), 0));
  CALL(count, vtbl->GetElapsedTime(JPEGDEC_SELF(instance)));
  CALL(count, vtbl->GetWriteCount(JPEGDEC_SELF(instance)));
  EXPECT(count == 1);
  CALL(count, vtbl->GetReadCount(JPEGDEC_SELF(instance)));
  EXPECT(count == 1);
  CALL_VOID(vtbl->Finish(JPEGDEC_SELF(instance), &leftover));
  EXPECT(leftover == 0);
  EXPECT(host->streamingBackend == NULL);
  CALL(result, vtbl->Read(JPEGDEC_SELF(instance), &row, &rowLength));
  EXPECT(result == -1); /* no back-end left: never "a row was handed out" */
  CALL_VOID(vtbl->Finish(JPEGDEC_SELF(instance), NULL));
  (void)result;
}

static void CheckModeChoice(JpegDecodeInstance* instance, int gdiplusPresent) {
  const HostInstance* host = (const HostInstance*)(const void*)instance;
  const JpegDecodeInstanceVtbl* vtbl = JPEGDEC_VTBL(instance);
  int32_t result = 0;

  CALL(result, vtbl->Start(JPEGDEC_SELF(instance), 64, 48, JPEGDEC_MODE_AUTO, 1));
  if (gdiplusPresent) {
    EXPECT(host->mode == JPEGDEC_MODE_GDIPLUS);
    EXPECT(host->gdiplusBackend != NULL && result == 1);
  } else {
    EXPECT(host->mode == JPEGDEC_MODE_STREAMING);
    EXPECT(host->streamingBackend != NULL);
  }
  CALL(result, vtbl->IsStreaming(JPEGDEC_SELF(instance)));
  EXPECT(result == (gdiplusPresent ? 0 : 1));
  CALL_VOID(vtbl->Finish(JPEGDEC_SELF(instance), NULL));

  CALL(result, vtbl->Start(JPEGDEC_SELF(instance), 64, 48, JPEGDEC_MODE_GDIPLUS, 1));
  if (gdiplusPresent) {
    EXPECT(host->mode == JPEGDEC_MODE_GDIPLUS && result == 1);
  } else {
    EXPECT(host->mode == JPEGDEC_MODE_BUFFERED);
    EXPECT(host->bufferedBackend != NULL && host->gdiplusBackend == NULL);
  }
  CALL(result, vtbl->IsStreaming(JPEGDEC_SELF(instance)));
  EXPECT(result == 0);
  CALL_VOID(vtbl->EndOfInput(JPEGDEC_SELF(instance), 10));
  CALL_VOID(vtbl->Finish(JPEGDEC_SELF(instance), NULL));
  (void)result;
}

int main(int argc, char** argv) {
  HMODULE dll = NULL;
  InitializeFn initialize = NULL;
  CreateFn create = NULL;
  DeleteFn destroy = NULL;
  UnInitializeFn uninitialize = NULL;
  JpegDecodeInstance* first = NULL;
  JpegDecodeInstance* second = NULL;
  int32_t result = 0;
  void* returned = NULL;
  int gdiplusPresent = 0;

  if (argc != 2 ||
      (strcmp(argv[1], "gdiplus-present") != 0 && strcmp(argv[1], "gdiplus-missing") != 0)) {
    printf("usage: abi_host gdiplus-present|gdiplus-missing\n");
    return 2;
  }
  gdiplusPresent = strcmp(argv[1], "gdiplus-present") == 0;
  CheckTheChecker();

  dll = LoadLibraryA("jpegdec.dll");
  if (dll == NULL) {
    printf("FAIL jpegdec.dll cannot be loaded\n");
    return 1;
  }
  initialize = (InitializeFn)(void (*)(void))GetProcAddress(dll, "InitializeJpegDec");
  create = (CreateFn)(void (*)(void))GetProcAddress(dll, "CreateJpegDecodeInstance");
  destroy = (DeleteFn)(void (*)(void))GetProcAddress(dll, "DeleteJpegDecodeInstance");
  uninitialize = (UnInitializeFn)(void (*)(void))GetProcAddress(dll, "UnInitializeJpegDec");
  if (initialize == NULL || create == NULL || destroy == NULL || uninitialize == NULL) {
    printf("FAIL an export is missing\n");
    return 1;
  }

  CALL(result, initialize());
  EXPECT(result == 1);
  CALL(first, create());
  CALL(second, create());
  if (first == NULL || second == NULL) {
    printf("FAIL no instance\n");
    return 1;
  }
  EXPECT(((const HostInstance*)(const void*)first)->instanceId == 1);
  EXPECT(((const HostInstance*)(const void*)second)->instanceId == 2);
  EXPECT(((const HostInstance*)(const void*)first)->mode == 1);

  ExerciseEverySlot(first);
  CheckModeChoice(second, gdiplusPresent);

  /* Slot 0 with flags 1 destroys and frees, as an MSVC host's delete would. It does not
   * touch the live-instance count, which only the export keeps. */
  CALL(returned, JPEGDEC_VTBL(first)->DeletingDestructor(JPEGDEC_SELF(first), 1));
  EXPECT(returned == (void*)first);
  CALL(result, uninitialize());
  EXPECT(result == 2);
  CALL_VOID(destroy(second));
  CALL_VOID(destroy(NULL));
  CALL(result, uninitialize());
  EXPECT(result == 1);

  FreeLibrary(dll);
  if (failures != 0) {
    printf("%d check(s) failed\n", failures);
    return 1;
  }
  printf("every slot called; stack pointer unchanged around each call\n");
  return 0;
}

#if defined(JPEGDEC_ABI_HOST_FREESTANDING)
/* The entry point: the arguments from msvcrt.dll, as a C runtime's start-up would get them. */
void __cdecl HostEntry(void) {
  int argc = 0;
  char** argv = NULL;
  char** environment = NULL;
  int startInfo = 0;
  __getmainargs(&argc, &argv, &environment, 0, &startInfo);
  exit(main(argc, argv));
}
#endif
