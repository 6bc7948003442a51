// Whole stamping operations on a 10,000-page file of about 40 MB (each page
// with its own 4 KiB content stream, a two-level page tree, every tenth page
// shown rotated): the classic diagonal text stamp against the extended call
// with its default placement, tiled, fitted, and under the content. The
// extended call reads each page's rotation; tiling draws some 30 copies of
// the text on a page (one shared stream per distinct page box).

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_docs.h"
#include "reraruvozari.h"

namespace {

constexpr int k_pages = 10000;
constexpr size_t k_content = 4096;

const char *s_in = "/tmp/rrv_bench_stamp_in.pdf";
const char *s_out = "/tmp/rrv_bench_stamp_out.pdf";

void build_file() { bench_save(bench_tree_doc(k_pages, k_content, true), s_in); }

const char *input() {
  static bool built = false;
  if (!built) {
    FILE *f = fopen(s_in, "rb");
    if (f) fclose(f);
    else build_file();
    built = true;
  }
  return s_in;
}

// The output is removed before each run: every run writes a new file.
template <class F>
void run(benchmark::State &st, F stamp) {
  const char *in = input();
  for (auto _ : st) {
    st.PauseTiming();
    remove(s_out);
    st.ResumeTiming();
    if (!stamp(in)) st.SkipWithError(reraruvozari_last_error());
  }
  st.counters["pages"] = k_pages;
}

void BM_ClassicDiagonal(benchmark::State &st) {
  run(st, [](const char *in) {
    return reraruvozari_text(in, s_out, "CONFIDENTIAL", 0.3f, 0, 48, 5, 128, 128, 128);
  });
}

// 0 defaults (diagonal, upright on the displayed page), 1 tile, 2 fit 0.8,
// 3 under.
void BM_Extended(benchmark::State &st) {
  const int64_t what = st.range(0);
  run(st, [what](const char *in) {
    reraruvozari_options *o = reraruvozari_options_new();
    if (what == 1) reraruvozari_options_set_tile(o, 1);
    if (what == 2) reraruvozari_options_set_fit(o, 0.8);
    if (what == 3) reraruvozari_options_set_under(o, 1);
    int ok = reraruvozari_stamp_text(in, s_out, "CONFIDENTIAL", o);
    reraruvozari_options_free(o);
    return ok;
  });
}

}  // namespace

BENCHMARK(BM_ClassicDiagonal)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Extended)->Arg(0)->Arg(1)->Arg(2)->Arg(3)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
