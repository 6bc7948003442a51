// Stamping a document whose pages all hang from one /Pages node that holds
// the resources they inherit (a flat page tree, as qpdf and many generators
// write large documents): the text operation at 10,000 and 100,000 pages.
// The time must grow linearly with the page count: the inherited resources
// are merged into their one holder once per operation, not once per page.
// The files are built in setup unless they are already there.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bench_docs.h"
#include "reraruvozari.h"

namespace {

std::string flat_path(int pages) {
  return "/tmp/rrv_bench_flat_" + std::to_string(pages) + ".pdf";
}

// 1 catalog, 2 the one /Pages node (with /Resources), then page and content
// stream pairs.
void build_flat(int pages, const std::string &path) {
  if (FILE *f = fopen(path.c_str(), "rb")) {
    fclose(f);
    return;
  }
  bench_pdf p;
  bench_obj(&p, 1, "<< /Type /Catalog /Pages 2 0 R >>");
  std::string kids;
  for (int i = 0; i < pages; i++) kids += std::to_string(3 + 2 * i) + " 0 R ";
  bench_obj(&p, 2, "<< /Type /Pages /Count " + std::to_string(pages) + " /Kids [" + kids +
                       "] /MediaBox [0 0 612 792] /Resources << /Font << /F1 << /Type /Font "
                       "/Subtype /Type1 /BaseFont /Helvetica >> >> >> >>");
  for (int i = 0; i < pages; i++) {
    std::string body = "BT /F1 12 Tf 72 720 Td (Page " + std::to_string(i + 1) + ") Tj ET";
    bench_obj(&p, 3 + 2 * i, "<< /Type /Page /Parent 2 0 R /Contents " +
                                 std::to_string(4 + 2 * i) + " 0 R >>");
    bench_obj(&p, 4 + 2 * i, "<< /Length " + std::to_string(body.size()) + " >>\nstream\n" +
                                 body + "\nendstream");
  }
  bench_save(bench_finish(&p), path.c_str());
}

void BM_text_flat_tree(benchmark::State &st) {
  const int pages = static_cast<int>(st.range(0));
  const std::string in = flat_path(pages), out = "/tmp/rrv_bench_flat_out.pdf";
  build_flat(pages, in);
  for (auto _ : st) {
    if (!reraruvozari_text(in.c_str(), out.c_str(), "CONFIDENTIAL", 0.3f, 45.0f, 48, 0,
                           128, 128, 128))
      st.SkipWithError(reraruvozari_last_error());
  }
  st.SetItemsProcessed(st.iterations() * pages);
  remove(out.c_str());
}

BENCHMARK(BM_text_flat_tree)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
