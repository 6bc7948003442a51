// The document writer on a 10,000-page file of about 40 MB: load + write with
// an empty overlay, write alone, write with every page replaced in the
// overlay, against a plain read and write of the same bytes. The file is
// built in setup unless it is already there (each page with its own 4 KiB
// content stream, the resources inherited from the root of a two-level page
// tree); with qpdf present a second copy with object streams is made from it.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_docs.h"
#include "pdf_write.h"

namespace {

constexpr int k_pages = 10000;
constexpr size_t k_content = 4096;

const char *s_plain = "/tmp/rrv_bench_write_in.pdf";
const char *s_objstm = "/tmp/rrv_bench_write_objstm.pdf";
const char *s_out = "/tmp/rrv_bench_write_out.pdf";

void build_file() {
  bench_save(bench_tree_doc(k_pages, k_content, false), s_plain);
  std::string cmd = std::string("qpdf --object-streams=generate ") + s_plain + " " +
                    s_objstm + " >/dev/null 2>&1";
  if (system(cmd.c_str()) != 0) remove(s_objstm);
}

long file_size(const char *path) {
  FILE *f = fopen(path, "rb");
  if (!f) return -1;
  fseek(f, 0, SEEK_END);
  long n = ftell(f);
  fclose(f);
  return n;
}

const char *input(int which) {
  static bool built = false;
  if (!built) {
    if (file_size(s_plain) < 0) build_file();
    built = true;
  }
  return which == 0 ? s_plain : s_objstm;
}

void BM_CopyBytes(benchmark::State &st) {
  const char *in = input(static_cast<int>(st.range(0)));
  long n = file_size(in);
  if (n < 0) {
    st.SkipWithError("no input (qpdf missing?)");
    return;
  }
  for (auto _ : st) {
    FILE *f = fopen(in, "rb");
    std::vector<char> buf(static_cast<size_t>(n));
    size_t got = fread(buf.data(), 1, buf.size(), f);
    fclose(f);
    FILE *o = fopen("/tmp/rrv_bench_write_copy.tmp", "wb");
    fwrite(buf.data(), 1, got, o);
    fclose(o);
    rename("/tmp/rrv_bench_write_copy.tmp", s_out);
  }
  st.SetBytesProcessed(st.iterations() * n);
}

void BM_LoadWrite(benchmark::State &st) {
  const char *in = input(static_cast<int>(st.range(0)));
  long n = file_size(in);
  if (n < 0) {
    st.SkipWithError("no input (qpdf missing?)");
    return;
  }
  for (auto _ : st) {
    pdf_doc doc;
    memset(&doc, 0, sizeof doc);
    if (doc_load(in, &doc) != 0) {
      st.SkipWithError(get_error());
      return;
    }
    if (!doc_write(&doc, nullptr, nullptr, 0, s_out)) st.SkipWithError(get_error());
    st.counters["pages"] = doc.pages.count;
    doc_free(&doc);
  }
  st.SetBytesProcessed(st.iterations() * n);
}

void BM_WriteOnly(benchmark::State &st) {
  const char *in = input(static_cast<int>(st.range(0)));
  pdf_doc doc;
  memset(&doc, 0, sizeof doc);
  if (file_size(in) < 0 || doc_load(in, &doc) != 0) {
    st.SkipWithError("cannot load input");
    return;
  }
  for (auto _ : st)
    if (!doc_write(&doc, nullptr, nullptr, 0, s_out)) st.SkipWithError(get_error());
  st.SetBytesProcessed(st.iterations() * doc.size);
  doc_free(&doc);
}

// Every page gets an entry in the overlay and two new objects, as a stamping
// operation leaves them: the writer then looks up every object in it.
void BM_WriteStampedPages(benchmark::State &st) {
  const char *in = input(static_cast<int>(st.range(0)));
  pdf_doc doc;
  memset(&doc, 0, sizeof doc);
  if (file_size(in) < 0 || doc_load(in, &doc) != 0) {
    st.SkipWithError("cannot load input");
    return;
  }
  overlay ov;
  ov_init(&ov);
  new_object *objs = nullptr;
  int count = 0, cap = 0;
  int32_t next = doc.max_num;
  for (int32_t i = 0; i < doc.pages.count; i++) {
    const page_info *pg = &doc.pages.items[i];
    res_merge_entry(&doc, &ov, pg, "ExtGState", "KpWmGS", doc.max_num + 1);
    char *t = get_obj_dict_text(&doc, &ov, pg->num);
    ov_add(&ov, pg->num, t);
    push_obj(&objs, &count, &cap, ++next, fmt_alloc("<< /Length 2 >>"),
             reinterpret_cast<uint8_t *>(strdup("Q\n")), 2, 1);
  }
  for (auto _ : st)
    if (!doc_write(&doc, &ov, objs, count, s_out)) st.SkipWithError(get_error());
  st.SetBytesProcessed(st.iterations() * doc.size);
  for (int i = 0; i < count; i++) {
    free(objs[i].dict);
    free(objs[i].data);
  }
  arr_free(objs);
  ov_free(&ov);
  doc_free(&doc);
}

}  // namespace

// Argument 0: the classic file; 1: the same pages in object streams.
BENCHMARK(BM_CopyBytes)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadWrite)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteOnly)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteStampedPages)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
