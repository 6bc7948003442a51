// Font subsetting per stamp: the text plan with the subset flag and the
// emission of its font objects (subset, compressed, widths, map), against
// the classic emission of whole fonts, for the texts of the size table in
// the README. The embedded fonts are inflated once before timing, as a
// process stamping many files has them cached.

#include <benchmark/benchmark.h>

#include <cstdlib>

#include "pdf_unicode.h"
#include "ttf.h"
#include "ttf_subset.h"

namespace {

const char *const k_texts[] = {
    "Vertraulich \xC3\x84\xC3\x96\xC3\x9C",
    "\xEA\xB8\xB0\xEB\xB0\x80",
    "\xE6\x9C\xBA\xE5\xAF\x86",
    "\xE6\x9C\xBA\xE5\xAF\x86 \xEA\xB8\xB0\xEB\xB0\x80 \xC3\x9Cn\xC3\xAF" "code",
};

void emit(benchmark::State &state, int subset) {
  const char *text = k_texts[state.range(0)];
  for (int i = 0; i < 3; i++) font_raw(i);
  size_t bytes = 0;
  for (auto _ : state) {
    wm_plan plan{};
    wm_text_flags flags{subset, 0, nullptr};
    if (!wm_plan_build_ex(text, 48, &flags, &plan)) state.SkipWithError("plan");
    new_object *objs = nullptr;
    int count = 0, cap = 0;
    int64_t counter = 10;
    if (!wm_plan_emit_fonts(&plan, &counter, &objs, &count, &cap))
      state.SkipWithError("emit");
    bytes = 0;
    for (int k = 0; k < count; k++) {
      bytes += objs[k].len;
      free(objs[k].dict);
      free(objs[k].data);
    }
    arr_free(objs);
    wm_plan_free(&plan);
  }
  state.counters["font_bytes"] = double(bytes);
}

void BM_SubsetFonts(benchmark::State &state) { emit(state, 1); }
void BM_WholeFonts(benchmark::State &state) { emit(state, 0); }

// The subsetter alone on the CJK font: two ideographs.
void BM_SubsetterCjk(benchmark::State &state) {
  const uint8_t *raw = font_raw(1);
  uint16_t gids[2] = {uint16_t(ttf_unicode_to_gid(raw, g_raw_len[1], 0x673A)),
                      uint16_t(ttf_unicode_to_gid(raw, g_raw_len[1], 0x5BC6))};
  for (auto _ : state) {
    ttf_subset_out out;
    const char *why;
    ttf_subset(raw, g_raw_len[1], gids, 2, nullptr, 0, &out, &why);
    benchmark::DoNotOptimize(out.font.data());
  }
}

}  // namespace

BENCHMARK(BM_SubsetFonts)->DenseRange(0, 3)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_WholeFonts)->DenseRange(0, 3)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SubsetterCjk)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
