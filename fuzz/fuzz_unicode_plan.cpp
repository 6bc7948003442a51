// Fuzz target: the text plan on arbitrary bytes, then, when it succeeds with
// the embedded fonts, the font objects and the text operators it drives.
// The input's length picks the flags: subset fonts (odd lengths), visual
// order and Arabic forms (bit 1), fonts shared beyond eight runs (bit 2),
// so that the classic way and every combination of the others are run.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "pdf_unicode.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 4096) return 0;
  // The first byte picks the size; the rest is the text, NUL-terminated
  // wherever the input holds a zero.
  int font_size = size ? 1 + data[0] % 200 : 12;
  std::string text(reinterpret_cast<const char *>(data) + (size ? 1 : 0),
                   size ? size - 1 : 0);
  wm_text_flags flags{(size & 1) != 0, (size & 2) != 0, nullptr, (size & 4) != 0};
  wm_plan plan;
  if (!wm_plan_build_ex(text.c_str(), font_size, &flags, &plan)) {
    if (plan.uses_fonts != 0 || plan.run_count != 0) abort();
    return 0;
  }
  if (plan.uses_fonts) {
    new_object *objs = nullptr;
    int count = 0, cap = 0;
    int64_t counter = 10;
    if (wm_plan_emit_fonts(&plan, &counter, &objs, &count, &cap)) {
      // Whole fonts: five objects per run with a font of its own; every run
      // draws with one of them.
      int own = 0;
      for (int i = 0; i < plan.run_count; i++) {
        const wm_run &r = plan.runs[i];
        if (r.shares == i) own++;
        if (r.shares < 0 || r.shares > i || plan.runs[r.shares].font != r.font ||
            r.type0_obj != plan.runs[r.shares].type0_obj || r.type0_obj <= 10)
          abort();
      }
      if (!flags.share_fonts && plan.run_count > WM_OWN_FONT_RUNS) abort();
      if (flags.subset ? count < 5 || count > 5 * own : count != 5 * own) abort();
      byte_buf b;
      buf_init(&b);
      wm_plan_emit_text(&plan, font_size, -plan.total_width / 2,
                        -plan.mid_height, &b);
      buf_free(&b);
    }
    for (int i = 0; i < count; i++) {
      free(objs[i].dict);
      free(objs[i].data);
    }
    arr_free(objs);
  }
  wm_plan_free(&plan);
  return 0;
}
