// Memory the program fills at once (see mem_pages.h).

#include "mem_pages.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#ifdef __linux__
#include <sys/mman.h>
#endif

void mem_populate(void *p, size_t n) {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
  if (n < k_populate_min) return;
  uintptr_t a = ((uintptr_t)p + 4095) & ~(uintptr_t)4095;
  uintptr_t e = ((uintptr_t)p + n) & ~(uintptr_t)4095;
#if defined(MADV_HUGEPAGE)
  const uintptr_t huge = (uintptr_t)2 << 20;
  const uintptr_t ha = ((uintptr_t)p + huge - 1) & ~(huge - 1);
  const uintptr_t he = ((uintptr_t)p + n) & ~(huge - 1);
  if (he > ha) madvise((void *)ha, he - ha, MADV_HUGEPAGE);
#endif
  if (e > a) madvise((void *)a, e - a, MADV_POPULATE_WRITE);
#else
  (void)p, (void)n;
#endif
}

// Every array block starts with this header: the length of its own mapping,
// or 0 for a malloc'ed block.
struct arr_head {
  size_t map_len;
  size_t pad[7];  // the elements as aligned as the block itself
};

void *arr_realloc(void *p, size_t keep, size_t n, bool fill) {
  arr_head *h = p ? (arr_head *)p - 1 : nullptr;
  if (n > SIZE_MAX - 2 * sizeof(arr_head) - ((size_t)2 << 20)) return nullptr;
  const size_t want = n + sizeof(arr_head);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (fill && n >= k_arr_map_min) {
    const size_t huge = (size_t)2 << 20;
    const size_t len = (want + huge - 1) / huge * huge;
    void *m = mmap(NULL, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m != MAP_FAILED) {
      madvise(m, len, MADV_HUGEPAGE);
      mem_populate(m, len);
      arr_head *nh = (arr_head *)m;
      nh->map_len = len;
      if (p) memcpy(nh + 1, p, keep);
      arr_free(p);
      return nh + 1;
    }
  }
#endif
  if (h && h->map_len) {
    arr_head *nh = (arr_head *)malloc(want);
    if (!nh) return nullptr;
    nh->map_len = 0;
    memcpy(nh + 1, p, keep);
    arr_free(p);
    return nh + 1;
  }
  arr_head *nh = (arr_head *)realloc(h, want);
  if (!nh) return nullptr;
  nh->map_len = 0;
  if (fill && n > keep) mem_populate((char *)(nh + 1) + keep, n - keep);
  return nh + 1;
}

void arr_free(void *p) {
  if (!p) return;
  arr_head *h = (arr_head *)p - 1;
#ifdef __linux__
  if (h->map_len) {
    munmap(h, h->map_len);
    return;
  }
#endif
  free(h);
}
