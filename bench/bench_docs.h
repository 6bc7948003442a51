// Documents the benchmarks stamp and write, built in memory: a PDF made
// object by object and finished with its cross-reference table, and the
// 10,000-page text document several benchmarks share.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

struct bench_pdf {
  std::string s = "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n";
  std::vector<size_t> off = std::vector<size_t>(1, 0);  // by object number
};

inline void bench_obj(bench_pdf *p, int num, const std::string &body) {
  if (p->off.size() <= static_cast<size_t>(num)) p->off.resize(static_cast<size_t>(num) + 1, 0);
  p->off[static_cast<size_t>(num)] = p->s.size();
  p->s += std::to_string(num) + " 0 obj\n" + body + "\nendobj\n";
}

// The table of objects 1..n and a trailer naming object 1 as the catalog.
inline std::string bench_finish(bench_pdf *p) {
  const size_t n = p->off.size() - 1;
  const size_t x = p->s.size();
  p->s += "xref\n0 " + std::to_string(n + 1) + "\n0000000000 65535 f \n";
  char e[32];
  for (size_t i = 1; i <= n; i++) {
    snprintf(e, sizeof e, "%010zu 00000 n \n", p->off[i]);
    p->s += e;
  }
  p->s += "trailer\n<< /Size " + std::to_string(n + 1) + " /Root 1 0 R >>\nstartxref\n" +
          std::to_string(x) + "\n%%EOF\n";
  return std::move(p->s);
}

inline void bench_save(const std::string &s, const char *path) {
  FILE *f = fopen(path, "wb");
  if (!f || fwrite(s.data(), 1, s.size(), f) != s.size()) abort();
  fclose(f);
}

// Numbers: 1 catalog, 2 the root node, 3..102 the intermediate nodes (at
// most 100 kids each), then page and content stream pairs. Each page has
// its own content stream of about `content` bytes of text; the resources
// are inherited from the root. With `rotate`, every tenth page is shown
// rotated by 90 degrees.
inline std::string bench_tree_doc(int pages, size_t content, bool rotate) {
  constexpr int nodes = 100;
  constexpr int first_page = 3 + nodes;
  bench_pdf p;
  bench_obj(&p, 1, "<< /Type /Catalog /Pages 2 0 R >>");
  std::string kids;
  for (int i = 0; i < nodes; i++) kids += std::to_string(3 + i) + " 0 R ";
  bench_obj(&p, 2,
            "<< /Type /Pages /Count " + std::to_string(pages) + " /Kids [" + kids +
                "] /MediaBox [0 0 612 792] /Resources << /Font << /F1 << /Type /Font "
                "/Subtype /Type1 /BaseFont /Helvetica >> >> >> >>");
  const int per_node = pages / nodes;
  for (int j = 0; j < nodes; j++) {
    kids.clear();
    for (int i = j * per_node; i < (j + 1) * per_node; i++)
      kids += std::to_string(first_page + 2 * i) + " 0 R ";
    bench_obj(&p, 3 + j,
              "<< /Type /Pages /Parent 2 0 R /Count " + std::to_string(per_node) +
                  " /Kids [" + kids + "] >>");
  }
  std::string body;
  unsigned seed = 1;
  for (int i = 0; i < pages; i++) {
    bench_obj(&p, first_page + 2 * i,
              "<< /Type /Page /Parent " + std::to_string(3 + i / per_node) +
                  " 0 R /Contents " + std::to_string(first_page + 1 + 2 * i) + " 0 R" +
                  (rotate && i % 10 == 9 ? " /Rotate 90" : "") + " >>");
    body = "BT /F1 9 Tf 36 756 Td 11 TL\n";
    while (body.size() < content - 32) {
      body += "(";
      for (int k = 0; k < 60; k++) {
        seed = seed * 1103515245u + 12345u;
        body += static_cast<char>('a' + (seed >> 16) % 26);
      }
      body += ") '\n";
    }
    body += "ET\n";
    bench_obj(&p, first_page + 1 + 2 * i,
              "<< /Length " + std::to_string(body.size()) + " >>\nstream\n" + body +
                  "\nendstream");
  }
  return bench_finish(&p);
}
