// The library's load hook: nothing to do when it is loaded into or unloaded from a process, or
// when threads start or end.
#if defined(_WIN32)
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)reason;
  (void)reserved;
  return instance != nullptr ? TRUE : FALSE;
}
#endif
