// Character properties for line reordering and Arabic shaping, generated
// from the Unicode Character Database by tools/make_unicode_tables.py into
// unicode_tables.cpp. Every table is sorted by its first field.
#pragma once

#include <cstddef>
#include <cstdint>

struct uc_range {
  uint32_t first, last;
  uint8_t value;
};
struct uc_pair {
  uint32_t from, to;
};
struct uc_bracket {
  uint32_t cp, pair;
  uint8_t opening;  // 1 opening, 0 closing
};
struct uc_form {
  uint32_t base;
  uint8_t form;  // 0 isolated, 1 final, 2 initial, 3 medial
  uint32_t presentation;
};
struct uc_ligature {
  uint32_t first, second;
  uint8_t form;
  uint32_t presentation;
};

// Bidi classes other than L (enum bidi_class of bidi.h).
extern const uc_range uc_bidi_ranges[];
extern const size_t uc_bidi_ranges_len;
extern const uc_pair uc_mirror_pairs[];
extern const size_t uc_mirror_pairs_len;
extern const uc_bracket uc_brackets[];
extern const size_t uc_brackets_len;
// Joining types other than U (enum joining_type of shape.h).
extern const uc_range uc_joining_ranges[];
extern const size_t uc_joining_ranges_len;
// Arabic presentation forms: one per (base, form).
extern const uc_form uc_forms[];
extern const size_t uc_forms_len;
// Lam-alef ligatures (isolated and final).
extern const uc_ligature uc_ligatures[];
extern const size_t uc_ligatures_len;

// Value of the range holding cp, or `fallback` (binary search).
inline uint8_t uc_range_value(const uc_range *t, size_t n, uint32_t cp,
                              uint8_t fallback) {
  size_t lo = 0, hi = n;
  while (lo < hi) {
    size_t mid = (lo + hi) / 2;
    if (t[mid].last < cp)
      lo = mid + 1;
    else
      hi = mid;
  }
  return lo < n && t[lo].first <= cp ? t[lo].value : fallback;
}
