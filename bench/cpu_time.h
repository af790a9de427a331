// The process's CPU time, the clock the benchmarks time with by default: it counts this process
// alone, whatever else the machine runs.
#pragma once

namespace jpegdec::bench {

// User and system time in seconds, or a negative value when the system cannot give it. On
// Windows (and Wine) it advances in steps of 10 to 20 ms.
double ProcessCpuSeconds();

}  // namespace jpegdec::bench
