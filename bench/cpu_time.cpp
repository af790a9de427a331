#include "cpu_time.h"

#include <cstdint>

#if defined(_WIN32)
#include <windows.h>
#else
#include <time.h>
#endif

namespace jpegdec::bench {

double ProcessCpuSeconds() {
#if defined(_WIN32)
  FILETIME created, exited, kernel, user;
  if (GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user) == 0) {
    return -1.0;
  }
  const auto ticks = [](const FILETIME& t) {
    return static_cast<double>(static_cast<std::uint64_t>(t.dwHighDateTime) << 32 |
                               t.dwLowDateTime);
  };
  return (ticks(kernel) + ticks(user)) * 1e-7;  // 100 ns units
#else
  timespec t;
  if (clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t) != 0) {
    return -1.0;
  }
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
#endif
}

}  // namespace jpegdec::bench
