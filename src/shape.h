// Arabic shaping: joining types, the contextual form of each letter
// (isolated, final, initial, medial) and the lam-alef ligatures, as the
// code points of the Arabic presentation forms that carry them. Which of
// those a font draws is its caller's business. No state.
#pragma once

#include <cstddef>
#include <cstdint>

enum joining_type : uint8_t { JOIN_U, JOIN_R, JOIN_L, JOIN_D, JOIN_C, JOIN_T };

enum shape_form : int8_t {
  FORM_NONE = -1,  // does not join at all
  FORM_ISOL = 0,
  FORM_FINA = 1,
  FORM_INIT = 2,
  FORM_MEDI = 3
};

joining_type shape_joining_type(uint32_t cp);

// The form of each of the n characters of logical text, from its joining
// type and those of its neighbours (marks of type T are skipped over and
// get FORM_NONE).
void shape_forms(const uint32_t *cps, size_t n, int8_t *forms);

// The presentation form of `base` in `form`, or 0 when Unicode has none.
uint32_t shape_presentation(uint32_t base, int form);

// The lam-alef ligature of lam followed by `alef` (U+0622, U+0623, U+0625
// or U+0627), isolated when the lam is initial, final when it is medial;
// 0 when the pair forms no ligature.
uint32_t shape_lam_alef(uint32_t lam, uint32_t alef, int lam_form);
