// Loading large documents (doc_load) against merely reading them into memory.
//
// Inputs, generated once into /tmp (the qpdf ones skipped without qpdf):
//   corpus10k      10,010 pages: a corpus file's 14 pages repeated (qpdf --pages)
//   unique10k_raw  10,000 pages in a two-level tree, each with its own ~4 KB
//                  uncompressed content stream (about 42 MB), classic table
//   unique10k      the same rewritten by qpdf, streams left uncompressed
//   unique10k_os   the same with object streams (--object-streams=generate)
// qpdf writes every page into one /Kids array, of which the loader takes
// the first 1024 entries, so those loads list 1024 pages.
// Each load reports MB/s and "x_read", its time over the time to read the
// same file into memory.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <sys/wait.h>

#include "pdf_parse.h"

namespace {

const std::string k_dir = "/tmp/rrv_bench_parse";

bool have(const std::string &path) {
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) return false;
  fclose(f);
  return true;
}

int sh(const std::string &cmd) { return system(cmd.c_str()); }

// 10,000 pages in a two-level tree (100 nodes of 100 pages), each page with
// its own content stream of unique text, uncompressed: about 42 MB.
bool write_unique(const std::string &path) {
  FILE *f = fopen(path.c_str(), "wb");
  if (!f) return false;
  const int nodes = 100, per_node = 100;
  std::vector<long> offs;
  auto obj = [&](const std::string &s) {
    offs.push_back(ftell(f));
    fprintf(f, "%zu 0 obj\n%s\nendobj\n", offs.size(), s.c_str());
  };
  auto node_num = [&](int j) { return 4 + j * (1 + 2 * per_node); };
  fputs("%PDF-1.4\n", f);
  obj("<< /Type /Catalog /Pages 2 0 R >>");
  std::string kids;
  for (int j = 0; j < nodes; j++) kids += std::to_string(node_num(j)) + " 0 R ";
  obj("<< /Type /Pages /Count " + std::to_string(nodes * per_node) + " /Kids [" + kids +
      "] /MediaBox [0 0 612 792] >>");
  obj("<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>");
  for (int j = 0; j < nodes; j++) {
    int node = node_num(j);
    std::string pk;
    for (int i = 0; i < per_node; i++) pk += std::to_string(node + 1 + 2 * i) + " 0 R ";
    obj("<< /Type /Pages /Parent 2 0 R /Count " + std::to_string(per_node) + " /Kids [" +
        pk + "] >>");
    for (int i = 0; i < per_node; i++) {
      int page = j * per_node + i;
      std::string content = "BT /F1 9 Tf 36 760 Td 11 TL\n";
      for (int line = 0; line < 60; line++)
        content += "(page " + std::to_string(page) + " line " + std::to_string(line) +
                   " the quick brown fox jumps over the lazy dog) '\n";
      content += "ET\n";
      obj("<< /Type /Page /Parent " + std::to_string(node) +
          " 0 R /Resources << /Font << /F1 3 0 R >> >> /Contents " +
          std::to_string(node + 2 + 2 * i) + " 0 R >>");
      obj("<< /Length " + std::to_string(content.size()) + " >>\nstream\n" + content +
          "\nendstream");
    }
  }
  long x = ftell(f);
  fprintf(f, "xref\n0 %zu\n0000000000 65535 f \n", offs.size() + 1);
  for (long o : offs) fprintf(f, "%010ld 00000 n \n", o);
  fprintf(f, "trailer\n<< /Size %zu /Root 1 0 R >>\nstartxref\n%ld\n%%%%EOF\n",
          offs.size() + 1, x);
  return fclose(f) == 0;
}

// Path of a generated input, "" when it cannot be made.
std::string input(const std::string &name) {
  std::string path = k_dir + "/" + name + ".pdf";
  if (have(path)) return path;
  if (name != "unique10k_raw" && sh("command -v qpdf >/dev/null 2>&1") != 0) return "";
  sh("mkdir -p " + k_dir);
  std::string tmp = path + ".tmp";
  int rc = -1;
  if (name == "corpus10k") {
    std::string ranges = "1-z";
    for (int i = 1; i < 715; i++) ranges += ",1-z";  // 14 pages x 715
    rc = sh("qpdf --empty --pages " RRV_SOURCE_DIR
            "/tests/data/corpus/pdf/pdfjs_standard_fonts.pdf " +
            ranges + " -- " + tmp + " >/dev/null 2>&1");
  } else if (name == "unique10k_raw") {
    if (!write_unique(tmp)) return "";
    rc = 0;
  } else if (name == "unique10k" || name == "unique10k_os") {
    std::string raw = input("unique10k_raw");
    if (raw.empty()) return "";
    rc = sh("qpdf --compress-streams=n " +
            std::string(name == "unique10k" ? "--object-streams=disable"
                                            : "--object-streams=generate") +
            " " + raw + " " + tmp + " >/dev/null 2>&1");
  }
  // qpdf exits with 3 after warnings; the file is still written.
  if ((rc != 0 && !(WIFEXITED(rc) && WEXITSTATUS(rc) == 3)) || !have(tmp)) return "";
  if (rename(tmp.c_str(), path.c_str()) != 0) return "";
  return path;
}

size_t read_whole(const std::string &path, std::vector<char> *buf) {
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) return 0;
  fseek(f, 0, SEEK_END);
  long n = ftell(f);
  fseek(f, 0, SEEK_SET);
  buf->resize((size_t)n);
  size_t got = fread(buf->data(), 1, (size_t)n, f);
  fclose(f);
  return got;
}

double seconds_to_read(const std::string &path) {
  double best = 1e30;
  for (int i = 0; i < 5; i++) {
    std::vector<char> buf;
    auto t0 = std::chrono::steady_clock::now();
    read_whole(path, &buf);
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (s < best) best = s;
  }
  return best;
}

void BM_Read(benchmark::State &state, const char *name) {
  std::string path = input(name);
  if (path.empty()) {
    state.SkipWithError("qpdf missing or failed");
    return;
  }
  size_t bytes = 0;
  for (auto _ : state) {
    std::vector<char> buf;
    bytes = read_whole(path, &buf);
    benchmark::DoNotOptimize(buf.data());
  }
  state.SetBytesProcessed((int64_t)(bytes * state.iterations()));
}

void BM_DocLoad(benchmark::State &state, const char *name) {
  std::string path = input(name);
  if (path.empty()) {
    state.SkipWithError("qpdf missing or failed");
    return;
  }
  std::vector<char> probe;
  size_t bytes = read_whole(path, &probe);
  probe.clear();
  probe.shrink_to_fit();
  double read_s = seconds_to_read(path);
  int32_t pages = 0, objects = 0;
  double total = 0;
  for (auto _ : state) {
    pdf_doc doc;
    auto t0 = std::chrono::steady_clock::now();
    if (doc_load(path.c_str(), &doc) != 0) {
      state.SkipWithError(get_error());
      return;
    }
    total += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    pages = doc.pages.count;
    objects = doc.objects.count;
    doc_free(&doc);
  }
  state.SetBytesProcessed((int64_t)(bytes * state.iterations()));
  state.counters["MB"] = (double)bytes / 1e6;
  state.counters["pages"] = pages;
  state.counters["objects"] = objects;
  state.counters["x_read"] = total / (double)state.iterations() / read_s;
}

BENCHMARK_CAPTURE(BM_Read, corpus10k, "corpus10k")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_DocLoad, corpus10k, "corpus10k")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Read, unique10k_raw, "unique10k_raw")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_DocLoad, unique10k_raw, "unique10k_raw")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Read, unique10k, "unique10k")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_DocLoad, unique10k, "unique10k")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Read, unique10k_os, "unique10k_os")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_DocLoad, unique10k_os, "unique10k_os")->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
