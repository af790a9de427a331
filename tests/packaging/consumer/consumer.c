/* Uses an installed jpegdec: counts instances through the exports and, on Windows, reads the
 * DLL's version resource. Prints "consumer ok VERSION" when everything matches. */
#include <jpegdec/jpegdec.h>
#include <stdio.h>
#include <string.h>
#if defined(_WIN32)
#include <windows.h>
#endif

static int Fail(const char* what) {
  fprintf(stderr, "consumer: %s\n", what);
  return 1;
}

#if defined(_WIN32)
/* The fixed and the string version of the loaded jpegdec.dll must be the package's. */
static int CheckVersionResource(void) {
  char path[MAX_PATH];
  HMODULE module = GetModuleHandleA("jpegdec.dll");
  if (module == NULL || GetModuleFileNameA(module, path, MAX_PATH) == 0) {
    return Fail("jpegdec.dll is not loaded");
  }
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeA(path, &ignored);
  static char info[4096];
  if (size == 0 || size > sizeof info || !GetFileVersionInfoA(path, 0, size, info)) {
    return Fail("jpegdec.dll has no version resource");
  }
  VS_FIXEDFILEINFO* fixed = NULL;
  UINT length = 0;
  if (!VerQueryValueA(info, "\\", (void**)&fixed, &length) || length < sizeof *fixed ||
      fixed->dwFileVersionMS != (DWORD)((EXPECTED_MAJOR << 16) | EXPECTED_MINOR) ||
      fixed->dwFileVersionLS != (DWORD)(EXPECTED_PATCH << 16) ||
      fixed->dwProductVersionMS != fixed->dwFileVersionMS) {
    return Fail("the fixed version of jpegdec.dll is not the package's");
  }
  char* text = NULL;
  if (!VerQueryValueA(info, "\\StringFileInfo\\040904B0\\ProductVersion", (void**)&text, &length) ||
      strcmp(text, EXPECTED_VERSION) != 0) {
    return Fail("the product version string of jpegdec.dll is not the package's");
  }
  return 0;
}
#endif

/* The header's version macros are the package's. */
#define JPEGDEC_STRINGIFY(x) #x
#define JPEGDEC_VERSION_TEXT(a, b, c) \
  JPEGDEC_STRINGIFY(a) "." JPEGDEC_STRINGIFY(b) "." JPEGDEC_STRINGIFY(c)

int main(void) {
  if (JPEGDEC_VERSION_MAJOR != EXPECTED_MAJOR || JPEGDEC_VERSION_MINOR != EXPECTED_MINOR ||
      JPEGDEC_VERSION_PATCH != EXPECTED_PATCH ||
      strcmp(JPEGDEC_VERSION_STRING, EXPECTED_VERSION) != 0 ||
      strcmp(
          JPEGDEC_VERSION_TEXT(JPEGDEC_VERSION_MAJOR, JPEGDEC_VERSION_MINOR, JPEGDEC_VERSION_PATCH),
          EXPECTED_VERSION) != 0)
    return Fail("the header's version macros are not the package's");
  if (InitializeJpegDec() != 1)
    return Fail("InitializeJpegDec did not return 1");
  JpegDecodeInstance* instance = CreateJpegDecodeInstance();
  if (instance == NULL || UnInitializeJpegDec() != 1)
    return Fail("the instance is not counted");
  DeleteJpegDecodeInstance(instance);
  if (UnInitializeJpegDec() != 0)
    return Fail("the deleted instance is still counted");
#if defined(_WIN32)
  if (CheckVersionResource() != 0)
    return 1;
#endif
  printf("consumer ok %s\n", EXPECTED_VERSION);
  return 0;
}
