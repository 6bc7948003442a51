// The loader against the PDF corpus: page counts judged by pdfinfo, and the
// refusals the corpus README documents.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "index_compare.h"
#include "pdf_parse.h"
#include "test_util.h"

namespace {

struct corpus_entry {
  std::string file;
  std::string expected;  // the README's "Expected" column
};

std::string trim(const std::string &s) {
  size_t a = s.find_first_not_of(' ');
  size_t b = s.find_last_not_of(' ');
  return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

// Rows of the README's PDF table: | File | Source | Licence | Exercises | Expected | ...
std::vector<corpus_entry> corpus_pdfs() {
  std::vector<corpus_entry> out;
  std::string readme = tu::read_text(tu::corpus("README.md"));
  size_t pos = 0;
  while (pos < readme.size()) {
    size_t eol = readme.find('\n', pos);
    if (eol == std::string::npos) eol = readme.size();
    std::string line = readme.substr(pos, eol - pos);
    pos = eol + 1;
    if (line.size() < 2 || line[0] != '|') continue;
    std::vector<std::string> cols;
    size_t c = 1;
    while (c < line.size()) {
      size_t n = line.find('|', c);
      if (n == std::string::npos) break;
      cols.push_back(trim(line.substr(c, n - c)));
      c = n + 1;
    }
    if (cols.size() < 5) continue;
    const std::string &f = cols[0];
    if (f.size() < 5 || f.compare(f.size() - 4, 4, ".pdf") != 0 || f.find('/') != std::string::npos)
      continue;
    out.push_back({f, cols[4]});
  }
  return out;
}

int pdfinfo_pages(const std::string &path) {
  tu::run_result r = tu::run("pdfinfo '" + path + "' 2>/dev/null");
  size_t p = r.out.find("\nPages:");
  if (r.status != 0 || p == std::string::npos) return -1;
  return atoi(r.out.c_str() + p + 7);
}

bool starts_with(const std::string &s, const char *prefix) {
  return s.compare(0, strlen(prefix), prefix) == 0;
}

TEST(Corpus, EveryPdfLoadsOrIsRefusedAsDocumented) {
  REQUIRE_TOOL("pdfinfo");
  std::vector<corpus_entry> entries = corpus_pdfs();
  ASSERT_GE(entries.size(), 51u);
  int loads = 0, refused = 0;
  for (const corpus_entry &e : entries) {
    SCOPED_TRACE(e.file + " (" + e.expected + ")");
    std::string path = tu::corpus("pdf/" + e.file);
    ASSERT_TRUE(tu::exists(path));
    set_error("%s", "");
    pdf_doc doc;
    int32_t rc = doc_load(path.c_str(), &doc);
    std::string err = get_error();
    if (starts_with(e.expected, "refused: encrypted")) {
      EXPECT_EQ(rc, -1);
      EXPECT_EQ(err, "encrypted PDFs are not supported: " + path);
      refused++;
    } else if (starts_with(e.expected, "refused: the page tree uses inline")) {
      EXPECT_EQ(rc, -1);
      EXPECT_EQ(err, "page tree uses inline page dictionaries in /Kids \xE2\x80\x94 "
                     "pages must be indirect objects: " + path);
      refused++;
    } else if (e.file == "gen_damaged_truncated.pdf") {
      // Catalog and page tree are cut off: a clean error, nothing held.
      EXPECT_EQ(rc, -1);
      EXPECT_EQ(err, "cannot find PDF Root catalog: " + path);
      EXPECT_EQ(doc.data, nullptr);
      refused++;
    } else {
      // "loads", and damaged files whose objects survive.
      ASSERT_TRUE(starts_with(e.expected, "loads") || starts_with(e.expected, "damaged"));
      EXPECT_EQ(rc, 0) << err;
      if (rc == 0) {
        EXPECT_EQ(doc.pages.count, pdfinfo_pages(path));
        EXPECT_EQ(err, "");
        for (int32_t i = 0; i < doc.pages.count; i++) {
          EXPECT_GT(doc.pages.items[i].media_w, 0);
          EXPECT_GT(doc.pages.items[i].media_h, 0);
          EXPECT_NE(obj_find(&doc.objects, doc.pages.items[i].num), nullptr);
        }
        loads++;
      }
    }
    doc_free(&doc);
  }
  EXPECT_EQ(loads + refused, (int)entries.size());
}

// Opened lean (incremental output, page counts), a document whose chain
// reads whole gets its index from the chain and reads its objects on
// demand: every loadable file of the corpus gives what the scan of the
// whole file gives.
TEST(Corpus, LeanLoadsReadWhatTheScanReads) {
  int from_chain = 0, loaded = 0;
  // Read on demand, and (budget 0) all at once at the first request, as
  // when the reads on demand have searched too much.
  for (int64_t budget : {(int64_t)-1, (int64_t)0})
  for (const corpus_entry &e : corpus_pdfs()) {
    SCOPED_TRACE(e.file + (budget == 0 ? " (swept)" : ""));
    g_lazy_budget = budget;
    std::string path = tu::corpus("pdf/" + e.file);
    doc_open_opts full = {1, nullptr, 0, 0}, lean = {1, nullptr, 1, 0};
    pdf_doc a, b;
    int32_t ra = doc_load_opts(path.c_str(), &a, &full);
    std::string ea = get_error();
    int32_t rb = doc_load_opts(path.c_str(), &b, &lean);
    EXPECT_EQ(rb, ra);
    if (ra != 0 || rb != 0) {
      EXPECT_EQ(get_error(), ea);
    } else {
      loaded++;
      if (b.objects.lazy) from_chain++;
      tu::expect_same_index(a, b);
    }
    doc_free(&a);
    doc_free(&b);
    g_lazy_budget = -1;
  }
  EXPECT_GE(loaded, 80);
  // Most real files have a sound chain.
  EXPECT_GE(from_chain, loaded / 2);
}

}  // namespace
