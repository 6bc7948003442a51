// Blocks of texts (see text_arena.h).

#include "text_arena.h"

#include <cstdint>
#include <cstdlib>
#include <new>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#if defined(__SANITIZE_ADDRESS__)
#define RRV_TA_MALLOC_ONLY 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define RRV_TA_MALLOC_ONLY 1
#endif
#endif

namespace {

constexpr size_t k_block = size_t{2} << 20;
// A text this large takes its own malloc: a block holds many.
constexpr size_t k_max_text = size_t{64} << 10;

struct block {
  char *base;
  bool mapped;
};

}  // namespace

struct text_arena {
  std::vector<block> blocks;
  char *cur = nullptr;
  char *end = nullptr;
};

namespace {

// A block of k_block bytes at a k_block boundary where the system maps
// one; malloc'ed otherwise. NULL when memory runs out.
char *block_new(bool *mapped) {
  *mapped = false;
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  void *raw = mmap(nullptr, 2 * k_block, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw != MAP_FAILED) {
    const uintptr_t r = reinterpret_cast<uintptr_t>(raw);
    const uintptr_t a = (r + k_block - 1) & ~(uintptr_t)(k_block - 1);
    if (a > r) munmap(raw, a - r);
    if (r + 2 * k_block > a + k_block)
      munmap(reinterpret_cast<void *>(a + k_block), r + 2 * k_block - (a + k_block));
    char *p = reinterpret_cast<char *>(a);
    madvise(p, k_block, MADV_HUGEPAGE);
#if defined(MADV_POPULATE_WRITE)
    madvise(p, k_block, MADV_POPULATE_WRITE);
#endif
    *mapped = true;
    return p;
  }
#endif
  return static_cast<char *>(malloc(k_block));
}

void block_free(const block &b) {
#if defined(__linux__)
  if (b.mapped) {
    munmap(b.base, k_block);
    return;
  }
#endif
  free(b.base);
}

}  // namespace

text_arena *ta_new() {
#ifdef RRV_TA_MALLOC_ONLY
  return nullptr;
#else
  return new (std::nothrow) text_arena;
#endif
}

void ta_free(text_arena *a) {
  if (!a) return;
  for (const block &b : a->blocks) block_free(b);
  delete a;
}

char *ta_alloc(text_arena *a, size_t n) {
  if (!a || n > k_max_text) return nullptr;
  n = (n + 7) & ~size_t{7};
  if (static_cast<size_t>(a->end - a->cur) < n) {
    try {
      if (a->blocks.size() == a->blocks.capacity())
        a->blocks.reserve(2 * a->blocks.size() + 4);
    } catch (const std::bad_alloc &) {
      return nullptr;
    }
    block b;
    b.base = block_new(&b.mapped);
    if (!b.base) return nullptr;
    a->blocks.push_back(b);
    a->cur = b.base;
    a->end = b.base + k_block;
  }
  char *p = a->cur;
  a->cur += n;
  return p;
}

bool ta_holds(const text_arena *a, const void *p) {
  if (!a) return false;
  const uintptr_t q = reinterpret_cast<uintptr_t>(p);
  for (const block &b : a->blocks) {
    const uintptr_t s = reinterpret_cast<uintptr_t>(b.base);
    if (q >= s && q < s + k_block) return true;
  }
  return false;
}
