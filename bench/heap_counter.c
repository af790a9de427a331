/* Counting allocator for the comparison tool (see heap_counter.h). */
#include "heap_counter.h"

#if defined(__linux__)
#include <errno.h>
#include <malloc.h>
#endif

#if defined(__GLIBC__)

/* glibc's own entry points, which the definitions below forward to. */
extern void* __libc_malloc(size_t size);
extern void* __libc_calloc(size_t count, size_t size);
extern void* __libc_realloc(void* block, size_t size);
extern void* __libc_memalign(size_t alignment, size_t size);
extern void __libc_free(void* block);

/* The tool is single-threaded; the counters are plain. */
static size_t live_bytes;
static size_t peak_bytes;

static void* Counted(void* block) {
  if (block != NULL) {
    live_bytes += malloc_usable_size(block);
    if (live_bytes > peak_bytes) {
      peak_bytes = live_bytes;
    }
  }
  return block;
}

static void Uncount(void* block) {
  if (block != NULL) {
    live_bytes -= malloc_usable_size(block);
  }
}

void* malloc(size_t size) { return Counted(__libc_malloc(size)); }
void* calloc(size_t count, size_t size) { return Counted(__libc_calloc(count, size)); }
void free(void* block) {
  Uncount(block);
  __libc_free(block);
}
void* realloc(void* block, size_t size) {
  size_t old = block != NULL ? malloc_usable_size(block) : 0;
  void* moved = __libc_realloc(block, size);
  if (moved == NULL && size != 0) {
    return NULL; /* failed: the old block stays */
  }
  live_bytes -= old; /* moved, grown in place, or freed by a zero size */
  return Counted(moved);
}
void* memalign(size_t alignment, size_t size) { return Counted(__libc_memalign(alignment, size)); }
void* aligned_alloc(size_t alignment, size_t size) {
  return Counted(__libc_memalign(alignment, size));
}
int posix_memalign(void** out, size_t alignment, size_t size) {
  if (alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0) {
    return EINVAL;
  }
  void* block = Counted(__libc_memalign(alignment, size));
  if (block == NULL) {
    return ENOMEM;
  }
  *out = block;
  return 0;
}

int HeapCounterAvailable(void) { return 1; }
void HeapCounterReset(void) { peak_bytes = live_bytes; }
size_t HeapCounterLive(void) { return live_bytes; }
size_t HeapCounterPeak(void) { return peak_bytes; }

#else

int HeapCounterAvailable(void) { return 0; }
void HeapCounterReset(void) {}
size_t HeapCounterLive(void) { return 0; }
size_t HeapCounterPeak(void) { return 0; }

#endif
