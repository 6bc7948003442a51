// Memory the program fills as soon as it has it: the large arrays of a
// large job (records, pages, cross-reference entries).
//
// On virtual machines the first touch of every fresh 4 KiB page costs
// microseconds (a fault, a zeroing, and the host's own work), even once
// the page is populated; a 40,000-object file's record array alone paid
// about 4 ms for it. So memory about to be written is populated in one
// call, and a large array gets a mapping of its own on transparent huge
// pages, where a 2 MiB page costs about what one 4 KiB page does.
//
// No process-wide state.
#pragma once

#include <cstddef>
#include <new>

// Maps the whole pages of [p, p + n) at once, for memory about to be
// written: one system call instead of a page fault per page. Huge pages
// are asked for where whole 2 MiB pages of it lie. Nothing for less than
// k_populate_min bytes, or where the system cannot.
constexpr size_t k_populate_min = (size_t)64 << 10;
void mem_populate(void *p, size_t n);

// Arrays that may be large: as realloc for an array of `n` bytes whose
// first `keep` are kept; `fill`: it is filled at once, so its memory is
// populated, and from k_arr_map_min bytes up (on Linux) it is a mapping of
// its own on huge pages. NULL, with `p` unchanged, when the memory cannot
// be had. Blocks from arr_realloc are freed with arr_free only.
constexpr size_t k_arr_map_min = (size_t)512 << 10;
void *arr_realloc(void *p, size_t keep, size_t n, bool fill);
void arr_free(void *p);

// The same memory for a std::vector whose room is filled soon after it is
// made (it is populated as it is allocated: reserve what is needed).
template <class T>
struct arr_alloc {
  using value_type = T;
  arr_alloc() = default;
  template <class U>
  arr_alloc(const arr_alloc<U> &) {}
  T *allocate(size_t n) {
    if (n > (size_t)-1 / 2 / sizeof(T)) throw std::bad_alloc();
    void *p = arr_realloc(nullptr, 0, n * sizeof(T), true);
    if (!p) throw std::bad_alloc();
    return static_cast<T *>(p);
  }
  void deallocate(T *p, size_t) { arr_free(p); }
};
template <class T, class U>
bool operator==(const arr_alloc<T> &, const arr_alloc<U> &) { return true; }
template <class T, class U>
bool operator!=(const arr_alloc<T> &, const arr_alloc<U> &) { return false; }
