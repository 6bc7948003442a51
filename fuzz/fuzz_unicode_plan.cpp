// Fuzz target: the text plan on arbitrary bytes, then, when it succeeds with
// the embedded fonts, the font objects and the text operators it drives.
// The input's length picks the flags: subset fonts (odd lengths), visual
// order and Arabic forms (bit 1), so that the classic way and every
// combination of the others are run.
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
      if (flags.subset ? count < 5 || count > 5 * plan.run_count
                       : count != 5 * plan.run_count)
        abort();
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
    free(objs);
  }
  wm_plan_free(&plan);
  return 0;
}
