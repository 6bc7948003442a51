// Fuzz target: arbitrary bytes as the user's font file (a collection, a
// damaged directory, broken loca, glyf and composite glyphs), then, when
// they are accepted, a shaped text plan drawn with them and its subset font
// objects: the subsetter and the shaper on fonts nobody checked.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "pdf_unicode.h"
#include "user_font.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  user_font uf;
  if (!user_font_from_bytes(data, size, "fuzz", &uf)) {
    if (uf.data) abort();
    return 0;
  }
  // Latin, a lam-alef pair, Arabic joining letters, Hebrew and a bracket.
  const char *text = "Ab \xD9\x84\xD8\xA7\xD8\xB3\xD8\xB1\xD9\x8A \xD7\xA1(1)";
  wm_text_flags flags{1, 1, &uf, 1};
  wm_plan plan;
  if (wm_plan_build_ex(text, 24, &flags, &plan)) {
    new_object *objs = nullptr;
    int count = 0, cap = 0;
    int64_t counter = 10;
    if (wm_plan_emit_fonts(&plan, &counter, &objs, &count, &cap)) {
      byte_buf b;
      buf_init(&b);
      wm_plan_emit_text(&plan, 24, 0, 0, &b);
      buf_free(&b);
    }
    for (int i = 0; i < count; i++) {
      free(objs[i].dict);
      free(objs[i].data);
    }
    arr_free(objs);
    wm_plan_free(&plan);
  }
  user_font_free(&uf);
  return 0;
}
