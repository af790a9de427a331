/* Heap high-water mark of the comparison tool, for the peak memory of one decode.
 *
 * On Linux (glibc) the tool defines malloc, calloc, realloc, free and the aligned allocators
 * itself; the dynamic linker binds every library in the process to them (libjpegdec, libjpeg,
 * libstdc++'s operator new), so every heap block is counted at its usable size
 * (malloc_usable_size) on its way to glibc's allocator. Elsewhere nothing is counted and
 * HeapCounterAvailable() is 0. */
#ifndef JPEGDEC_BENCH_HEAP_COUNTER_H_
#define JPEGDEC_BENCH_HEAP_COUNTER_H_

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

int HeapCounterAvailable(void);
/* Starts a new measurement: the high-water mark is set to the bytes live now. */
void HeapCounterReset(void);
/* Bytes live now, and the most live at any moment since the last reset. */
size_t HeapCounterLive(void);
size_t HeapCounterPeak(void);

#ifdef __cplusplus
}
#endif

#endif
