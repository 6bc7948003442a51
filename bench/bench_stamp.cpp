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

#include "reraruvozari.h"

namespace {

constexpr int k_pages = 10000;
constexpr size_t k_content = 4096;
constexpr int k_nodes = 100;
constexpr int k_first_page = 3 + k_nodes;

const char *s_in = "/tmp/rrv_bench_stamp_in.pdf";
const char *s_out = "/tmp/rrv_bench_stamp_out.pdf";

void build_file() {
  std::string s = "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n";
  std::vector<size_t> off(k_first_page + 2 * k_pages + 1, 0);
  auto obj = [&](int num, const std::string &body) {
    off[static_cast<size_t>(num)] = s.size();
    s += std::to_string(num) + " 0 obj\n" + body + "\nendobj\n";
  };
  obj(1, "<< /Type /Catalog /Pages 2 0 R >>");
  std::string kids;
  for (int i = 0; i < k_nodes; i++) kids += std::to_string(3 + i) + " 0 R ";
  obj(2, "<< /Type /Pages /Count " + std::to_string(k_pages) + " /Kids [" + kids +
             "] /MediaBox [0 0 612 792] /Resources << /Font << /F1 << /Type /Font "
             "/Subtype /Type1 /BaseFont /Helvetica >> >> >> >>");
  const int per_node = k_pages / k_nodes;
  for (int j = 0; j < k_nodes; j++) {
    kids.clear();
    for (int i = j * per_node; i < (j + 1) * per_node; i++)
      kids += std::to_string(k_first_page + 2 * i) + " 0 R ";
    obj(3 + j, "<< /Type /Pages /Parent 2 0 R /Count " + std::to_string(per_node) +
                   " /Kids [" + kids + "] >>");
  }
  std::string body;
  unsigned seed = 1;
  for (int i = 0; i < k_pages; i++) {
    obj(k_first_page + 2 * i,
        "<< /Type /Page /Parent " + std::to_string(3 + i / per_node) +
            " 0 R /Contents " + std::to_string(k_first_page + 1 + 2 * i) + " 0 R" +
            (i % 10 == 9 ? " /Rotate 90" : "") + " >>");
    body = "BT /F1 9 Tf 36 756 Td 11 TL\n";
    while (body.size() < k_content - 32) {
      body += "(";
      for (int k = 0; k < 60; k++) {
        seed = seed * 1103515245u + 12345u;
        body += static_cast<char>('a' + (seed >> 16) % 26);
      }
      body += ") '\n";
    }
    body += "ET\n";
    obj(k_first_page + 1 + 2 * i, "<< /Length " + std::to_string(body.size()) +
                                      " >>\nstream\n" + body + "\nendstream");
  }
  int n = k_first_page - 1 + 2 * k_pages;
  size_t x = s.size();
  s += "xref\n0 " + std::to_string(n + 1) + "\n0000000000 65535 f \n";
  char e[32];
  for (int i = 1; i <= n; i++) {
    snprintf(e, sizeof e, "%010zu 00000 n \n", off[static_cast<size_t>(i)]);
    s += e;
  }
  s += "trailer\n<< /Size " + std::to_string(n + 1) +
       " /Root 1 0 R >>\nstartxref\n" + std::to_string(x) + "\n%%EOF\n";
  FILE *f = fopen(s_in, "wb");
  if (!f || fwrite(s.data(), 1, s.size(), f) != s.size()) abort();
  fclose(f);
}

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
