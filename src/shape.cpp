// Arabic shaping by joining type. A letter joins its logical predecessor
// when it is of type R, D or C and the predecessor (marks skipped) is L, D
// or C; it joins its successor when it is L, D or C and the successor is R,
// D or C. Joining both ways gives the medial form, only the predecessor the
// final, only the successor the initial, neither the isolated. A lam whose
// successor is an alef makes one ligature with it: isolated when the lam
// would have been initial, final when medial.
#include "shape.h"

#include <algorithm>

#include "unicode_tables.h"

joining_type shape_joining_type(uint32_t cp) {
  return joining_type(uc_range_value(uc_joining_ranges, uc_joining_ranges_len, cp, JOIN_U));
}

namespace {

bool joins_forward(joining_type t) { return t == JOIN_L || t == JOIN_D || t == JOIN_C; }
bool joins_backward(joining_type t) { return t == JOIN_R || t == JOIN_D || t == JOIN_C; }

}  // namespace

void shape_forms(const uint32_t *cps, size_t n, int8_t *forms) {
  const size_t none = size_t(-1);
  size_t prev = none;  // the last character that is not a mark
  for (size_t i = 0; i < n; i++) {
    joining_type t = shape_joining_type(cps[i]);
    forms[i] = FORM_NONE;
    if (t == JOIN_T) continue;
    if (t != JOIN_U) forms[i] = FORM_ISOL;
    if (prev != none && joins_backward(t) && joins_forward(shape_joining_type(cps[prev]))) {
      // The pair joins: this one finally, its predecessor towards it.
      forms[i] = FORM_FINA;
      if (forms[prev] == FORM_ISOL) forms[prev] = FORM_INIT;
      else if (forms[prev] == FORM_FINA) forms[prev] = FORM_MEDI;
    }
    prev = i;
  }
}

uint32_t shape_presentation(uint32_t base, int form) {
  const uc_form *end = uc_forms + uc_forms_len;
  const uc_form *p = std::lower_bound(
      uc_forms, end, base, [](const uc_form &a, uint32_t v) { return a.base < v; });
  for (; p != end && p->base == base; p++)
    if (p->form == form) return p->presentation;
  return 0;
}

uint32_t shape_lam_alef(uint32_t lam, uint32_t alef, int lam_form) {
  int form;
  if (lam_form == FORM_INIT) form = FORM_ISOL;
  else if (lam_form == FORM_MEDI) form = FORM_FINA;
  else return 0;
  for (size_t i = 0; i < uc_ligatures_len; i++)
    if (uc_ligatures[i].first == lam && uc_ligatures[i].second == alef &&
        uc_ligatures[i].form == form)
      return uc_ligatures[i].presentation;
  return 0;
}
