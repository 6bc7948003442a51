// Object index, document loader and page tree, on small PDF texts.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "flate.h"
#include "index_compare.h"
#include "pdf_parse.h"
#include "pdf_xref.h"
#include "test_util.h"

namespace {

const char *k_dash = "\xE2\x80\x94";

// A document indexed from bytes in memory (no file, no trailers).
struct indexed {
  pdf_doc doc;
  explicit indexed(const std::string &s) {
    memset(&doc, 0, sizeof doc);
    doc.data = (char *)malloc(s.size() + 1);
    memcpy(doc.data, s.data(), s.size());
    doc.data[s.size()] = 0;
    doc.size = (int32_t)s.size();
    doc_index_objects(&doc);
  }
  ~indexed() { doc_free(&doc); }
  const pdf_obj *find(int32_t n) const { return obj_find(&doc.objects, n); }
  std::string text(int32_t n) const {
    const pdf_obj *o = find(n);
    if (!o || !o->in_objstm) return "<none>";
    return std::string(o->text, (size_t)o->text_len);
  }
};

int32_t at(const std::string &s, const std::string &sub, size_t from = 0) {
  size_t p = s.find(sub, from);
  return p == std::string::npos ? -1 : (int32_t)p;
}

// "N 0 obj\n<body>\nendobj\n" for each body, numbered from 1, then a classic
// table and trailer with startxref pointing at it.
std::string classic_pdf(const std::vector<std::string> &bodies,
                        const std::string &trailer) {
  std::string s = "%PDF-1.4\n";
  for (size_t i = 0; i < bodies.size(); i++)
    s += std::to_string(i + 1) + " 0 obj\n" + bodies[i] + "\nendobj\n";
  size_t x = s.size();
  s += "xref\n0 1\n0000000000 65535 f \ntrailer\n" + trailer + "\nstartxref\n" +
       std::to_string(x) + "\n%%EOF\n";
  return s;
}

std::string stream_obj(int32_t num, const std::string &dict_entries,
                       const std::string &data) {
  return std::to_string(num) + " 0 obj\n<< " + dict_entries + " /Length " +
         std::to_string(data.size()) + " >>\nstream\n" + data +
         "\nendstream\nendobj\n";
}

std::string deflate(const std::string &s) {
  uint8_t *out = nullptr;
  size_t n = 0;
  if (kp_deflate((const uint8_t *)s.data(), s.size(), &out, &n) != 0) return "";
  std::string r((const char *)out, n);
  free(out);
  return r;
}

// An object stream holding `objs` (number, text) pairs.
std::string objstm(int32_t num, const std::vector<std::pair<int, std::string>> &objs,
                   bool flate, const std::string &extra = "") {
  std::string hdr, body;
  for (const auto &o : objs) {
    hdr += std::to_string(o.first) + " " + std::to_string(body.size()) + " ";
    body += o.second + "\n";
  }
  std::string data = hdr + body;
  std::string entries = "/Type /ObjStm /N " + std::to_string(objs.size()) +
                        " /First " + std::to_string(hdr.size()) + " " + extra;
  if (flate) return stream_obj(num, entries + " /Filter /FlateDecode", deflate(data));
  return stream_obj(num, entries, data);
}

struct loaded {
  tu::temp_dir dir;
  std::string path;
  pdf_doc doc;
  int32_t rc;
  explicit loaded(const std::string &bytes, const std::string &name = "in.pdf",
                  const doc_open_opts *opts = nullptr) {
    path = dir / name;
    tu::write_file(path, bytes);
    rc = doc_load_opts(path.c_str(), &doc, opts);
  }
  ~loaded() { doc_free(&doc); }
  std::string err() const { return get_error(); }
  std::vector<int32_t> page_nums() const {
    std::vector<int32_t> v;
    for (int32_t i = 0; i < doc.pages.count; i++) v.push_back(doc.pages.items[i].num);
    return v;
  }
};

// ---- object index ---------------------------------------------------------------

TEST(Index, OneDictionaryObject) {
  std::string s = "1 0 obj << /Type /Catalog >> endobj";
  indexed ix(s);
  ASSERT_EQ(ix.doc.objects.count, 1);
  const pdf_obj *o = ix.find(1);
  ASSERT_NE(o, nullptr);
  EXPECT_EQ(o->gen, 0);
  EXPECT_EQ(o->hdr_off, 0);
  EXPECT_EQ(o->dict_off, at(s, "<<"));
  EXPECT_EQ(o->endobj_off, at(s, "endobj"));
  EXPECT_EQ(o->has_stream, 0);
  EXPECT_EQ(o->stream_kw_off, -1);
  EXPECT_EQ(ix.doc.max_num, 1);
}

TEST(Index, Headers) {
  struct {
    const char *text;
    int32_t num;  // expected object, 0: none
    int32_t gen;
  } cases[] = {
      {"%x\nx12 0 obj << >> endobj", 12, 0},
      {"%x\n0 0 obj << >> endobj", 0, 0},
      {"%x\n7 3 obj\r\n(str) endobj", 7, 3},
      {"%x\n7\t3\tobj 5 endobj", 7, 3},
      {"%x\n7 obj 5 endobj", 0, 0},
      {"%x\n7 a obj 5 endobj", 0, 0},
      {"%x\n7 0 objx 5 endobj", 0, 0},
      {"%x\n7 0 obj 5", 0, 0},            // no endobj, not a dictionary
      {"%x\n7 0 obj << /A 1", 0, 0},      // no endobj, never closed
      {"%x\n7 0 obj << /A 1 >>", 7, 0},   // no endobj, closed
      {"%x\n8388608 0 obj 1 endobj", 8388608, 0},
      {"%x\n8388607 0 obj 1 endobj", 8388607, 0},
      {"%x\n1073741823 0 obj 1 endobj", 1073741823, 0},
      {"%x\n1073741824 0 obj 1 endobj", 0, 0},
      {"%x\n99999999999999 0 obj 1 endobj", 0, 0},
      // Comments: after the header, and a header inside one.
      {"%x\n7 0 obj % page\n<< /A 1 >> endobj", 7, 0},
      {"%x\n% 7 0 obj << /A 1 >> endobj", 0, 0},
      {"%x\n(%) 7 0 obj << /A 1 >> endobj", 7, 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text);
    indexed ix(c.text);
    if (c.num == 0) {
      EXPECT_EQ(ix.doc.objects.count, 0);
    } else {
      ASSERT_EQ(ix.doc.objects.count, 1);
      EXPECT_EQ(ix.doc.objects.items[0].num, c.num);
      EXPECT_EQ(ix.doc.objects.items[0].gen, c.gen);
    }
  }
}

// Runs the body with the object scan limited to 16-byte vectors as well as
// with the widest the processor has.
template <class F>
void each_scan_width(F body) {
  struct reset {
    ~reset() { g_scan_wide = -1; }
  } r;
  for (int wide : {-1, 0}) {
    SCOPED_TRACE(wide ? "widest vectors" : "16-byte vectors");
    g_scan_wide = wide;
    body();
  }
}

// The object scan looks at every position, wherever it falls in the blocks
// the scanner compares at once, up to the last byte of the file.
TEST(Index, ObjectsAtEveryOffset) {
  std::string many = "%x\n";
  std::vector<int32_t> hdrs;
  for (int n = 1; n <= 200; n++) {
    many += std::string((size_t)(n % 7), ' ');
    hdrs.push_back((int32_t)many.size());
    many += std::to_string(n) + " 0 obj(" + std::string((size_t)(n % 5), 'j') + ")endobj";
  }
  each_scan_width([&] {
    indexed all(many);
    ASSERT_EQ(all.doc.objects.count, 200);
    for (int n = 1; n <= 200; n++) EXPECT_EQ(all.find(n)->hdr_off, hdrs[(size_t)n - 1]) << n;
    for (size_t pad = 0; pad < 100; pad++) {
      SCOPED_TRACE(pad);
      // The object closes the file: its "obj" is among the last bytes looked at.
      indexed end(std::string(pad, '%') + "\n9 0 obj<<>>");
      ASSERT_EQ(end.doc.objects.count, 1);
      EXPECT_EQ(end.doc.objects.items[0].hdr_off, (int32_t)pad + 1);
    }
    // "obj" needs one byte after it; the first byte of the file never starts it.
    EXPECT_EQ(indexed("obj 1 0 obj").doc.objects.count, 0);
  });
}

TEST(Index, ObjectWithoutEndobjEndsAfterItsDictionary) {
  std::string s = "%PDF\n4 0 obj << /A 1 >>\n5 0 obj << /B 2 >> endobj\n";
  indexed ix(s);
  ASSERT_NE(ix.find(4), nullptr);
  EXPECT_EQ(ix.find(4)->endobj_off, at(s, ">>") + 2);
  ASSERT_NE(ix.find(5), nullptr);
  EXPECT_EQ(ix.find(5)->endobj_off, at(s, "endobj"));
}

TEST(Index, StreamExtents) {
  std::string good = "%PDF\n1 0 obj << /Length 3 >>\nstream\r\nabc\r\nendstream\nendobj\n";
  indexed a(good);
  const pdf_obj *o = a.find(1);
  ASSERT_NE(o, nullptr);
  EXPECT_EQ(o->has_stream, 1);
  EXPECT_EQ(o->stream_kw_off, at(good, "stream"));
  EXPECT_EQ(o->data_off, at(good, "abc"));
  EXPECT_EQ(o->data_end, o->data_off + 3);
  EXPECT_EQ(o->endobj_off, at(good, "endobj"));

  std::string wrong = "%PDF\n1 0 obj << /Length 100 >>\nstream\r\nabc\r\nendstream\nendobj\n";
  indexed b(wrong);
  o = b.find(1);
  ASSERT_NE(o, nullptr);
  EXPECT_EQ(o->data_end, at(wrong, "endstream"));
  EXPECT_EQ(o->endobj_off, at(wrong, "endobj"));

  // A length that ends before other data: not followed by endstream.
  std::string shortl = "%PDF\n1 0 obj << /Length 1 >>\nstream\nabc\nendstream\nendobj\n";
  indexed c(shortl);
  EXPECT_EQ(c.find(1)->data_end, at(shortl, "endstream"));

  // Neither a usable length nor endstream.
  std::string none = "%PDF\n1 0 obj << /Length 99 >>\nstream\nabc";
  indexed d(none);
  ASSERT_NE(d.find(1), nullptr);
  EXPECT_EQ(d.find(1)->data_end, -1);
  EXPECT_EQ(d.find(1)->endobj_off, -1);

  // "stream" ending the file.
  std::string eof = "%PDF\n1 0 obj << /Length 5 >> stream";
  indexed e(eof);
  ASSERT_NE(e.find(1), nullptr);
  EXPECT_EQ(e.find(1)->data_off, (int32_t)eof.size());
}

TEST(Index, StreamDataStart) {
  struct {
    const char *after_kw;
    int32_t data_delta;  // data_off - (stream keyword + 6)
  } cases[] = {{"\r\nX", 2}, {"\rX", 1}, {"\nX", 1}, {"  \t\nX", 4}, {" X", 1}, {"(X", 1}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.after_kw);
    std::string s = std::string("%PDF\n1 0 obj << /Length 1 >> stream") + c.after_kw +
                    "\nendstream endobj";
    indexed ix(s);
    ASSERT_NE(ix.find(1), nullptr);
    EXPECT_EQ(ix.find(1)->data_off - (at(s, "stream") + 6), c.data_delta);
  }
}

TEST(Index, IndirectLength) {
  std::string s =
      "%PDF\n1 0 obj << /Length 7 0 R >>\nstream\n" + std::string(42, 'x') +
      "\nendstream\nendobj\n7 0 obj 42 endobj\n";
  indexed ix(s);
  const pdf_obj *o = ix.find(1);
  ASSERT_NE(o, nullptr);
  EXPECT_EQ(o->data_end, o->data_off + 42);
  // A comment before the number; data that holds "endstream" itself.
  std::string c = "%PDF\n1 0 obj << /Length 7 0 R >>\nstream\nab endstream endobj cd\n"
                  "endstream\nendobj\n7 0 obj % the length\n22 endobj\n";
  indexed ic(c);
  ASSERT_NE(ic.find(1), nullptr);
  EXPECT_EQ(ic.find(1)->data_end, ic.find(1)->data_off + 22);
  // An indirect length to a missing object falls back to "endstream".
  std::string m = "%PDF\n1 0 obj << /Length 9 0 R >>\nstream\nabc\nendstream\nendobj\n";
  indexed iy(m);
  EXPECT_EQ(iy.find(1)->data_end, at(m, "endstream"));
}

TEST(Index, LaterDefinitionWinsAndDirectBeatsPacked) {
  std::string s = "%PDF\n4 0 obj << /V 1 >> endobj\n" +
                  objstm(10, {{4, "<< /V 3 >>"}, {6, "<< /V 6 >>"}}, false) +
                  "4 0 obj << /V 2 >> endobj\n";
  indexed ix(s);
  const pdf_obj *o = ix.find(4);
  ASSERT_NE(o, nullptr);
  EXPECT_EQ(o->in_objstm, 0);
  EXPECT_EQ(o->dict_off, at(s, "<< /V 2"));
  EXPECT_EQ(ix.text(6), "<< /V 6 >>\n");
  EXPECT_EQ(ix.find(10), nullptr);  // the object stream itself
  int n4 = 0;
  for (int32_t i = 0; i < ix.doc.objects.count; i++) n4 += ix.doc.objects.items[i].num == 4;
  EXPECT_EQ(n4, 1);
  EXPECT_EQ(ix.doc.max_num, 6);
}

TEST(Index, LastExpandedObjectStreamWins) {
  std::string s = "%PDF\n" + objstm(10, {{4, "(a)"}}, false) + objstm(11, {{4, "(b)"}}, false);
  indexed ix(s);
  EXPECT_EQ(ix.text(4), "(b)\n");
}

TEST(Index, ObjectStreamsThatContributeNothing) {
  struct {
    const char *name;
    std::string text;
  } cases[] = {
      {"N too large", "%PDF\n1 0 obj << /Type /ObjStm /N 100001 /First 4 /Length 8 >>\n"
                      "stream\n5 0 (x)\nendstream endobj\n"},
      {"First 0", "%PDF\n1 0 obj << /Type /ObjStm /N 1 /First 0 /Length 8 >>\n"
                  "stream\n5 0 (x)\nendstream endobj\n"},
      {"no First", "%PDF\n1 0 obj << /Type /ObjStm /N 1 /Length 8 >>\n"
                   "stream\n5 0 (x)\nendstream endobj\n"},
      {"other filter", "%PDF\n1 0 obj << /Type /ObjStm /N 1 /First 4 /Filter /LZWDecode "
                       "/Length 8 >>\nstream\n5 0 (x)\nendstream endobj\n"},
      {"number 0", "%PDF\n1 0 obj << /Type /ObjStm /N 2 /First 8 /Length 13 >>\n"
                   "stream\n5 0 0 3 (x)(y)\nendstream endobj\n"},
      {"negative offset", "%PDF\n1 0 obj << /Type /ObjStm /N 1 /First 5 /Length 9 >>\n"
                          "stream\n5 -1 (x)\nendstream endobj\n"},
      {"corrupt flate", "%PDF\n1 0 obj << /Type /ObjStm /N 1 /First 4 /Filter /FlateDecode "
                        "/Length 8 >>\nstream\n\xff\xff\xff\xff\xff\xff\xff\xff\nendstream endobj\n"},
      {"short header", "%PDF\n1 0 obj << /Type /ObjStm /N 3 /First 4 /Length 8 >>\n"
                       "stream\n5 0 (x)\nendstream endobj\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    indexed ix(c.text);
    EXPECT_EQ(ix.find(5), nullptr);
    EXPECT_EQ(ix.find(1), nullptr);
  }
}

TEST(Index, UnfilteredAndCompressedObjectStreams) {
  for (bool flate : {false, true}) {
    SCOPED_TRACE(flate ? "flate" : "plain");
    std::string s = "%PDF\n" + objstm(3, {{1, "<< /Type /Catalog /Pages 2 0 R >>"},
                                          {2, "<< /Type /Pages /Kids [] /Count 0 >>"},
                                          {7, "42"}},
                                      flate);
    indexed ix(s);
    EXPECT_EQ(ix.text(1), "<< /Type /Catalog /Pages 2 0 R >>\n");
    EXPECT_EQ(ix.text(2), "<< /Type /Pages /Kids [] /Count 0 >>\n");
    EXPECT_EQ(ix.text(7), "42\n");  // the last object runs to the end
    EXPECT_EQ(ix.find(1)->gen, 0);
    EXPECT_EQ(ix.find(1)->hdr_off, 0);
    EXPECT_EQ(ix.find(1)->dict_off, 0);
    EXPECT_EQ(ix.find(3), nullptr);
  }
}

TEST(Index, ZlibHeaderOptional) {
  std::string body = "1 0 << /A 1 >>";
  std::string z = deflate(body);
  ASSERT_GT(z.size(), 6u);
  std::string raw = z.substr(2);  // raw Deflate with the checksum after it
  std::string s = "%PDF\n" +
                  stream_obj(9, "/Type /ObjStm /N 1 /First 4 /Filter [/FlateDecode]", raw);
  indexed ix(s);
  EXPECT_EQ(ix.text(1), "<< /A 1 >>");
}

TEST(Index, ObjectStreamBeyond20To1IsExpanded) {
  // 20,000 identical objects: compresses far better than 20:1.
  std::vector<std::pair<int, std::string>> objs;
  std::string filler = "<< /Type /Annot /Subtype /Text /Contents (" + std::string(200, 'a') + ") >>";
  for (int i = 0; i < 20000; i++) objs.push_back({i + 1, filler});
  std::string s = "%PDF\n" + objstm(30000, objs, true);
  size_t compressed = s.size();
  indexed ix(s);
  EXPECT_EQ(ix.doc.objects.count, 20000);
  EXPECT_EQ(ix.text(1), filler + "\n");
  EXPECT_EQ(ix.text(20000), filler + "\n");
  EXPECT_GT(20000 * filler.size(), 20 * compressed + 65536);  // really beyond 20:1
}

TEST(Index, ObjectStreamOffsetsNeverReadOutside) {
  // Offsets that decrease give empty text; offsets and /First beyond the
  // data skip the object; nothing reads outside the decoded block.
  std::string hdr = "1 10 2 3 3 2147483000 4 12 ";
  std::string body = "(aaaaaaaaaaaaaaaaaa)";
  std::string s = "%PDF\n" + stream_obj(9, "/Type /ObjStm /N 4 /First " +
                                               std::to_string(hdr.size()),
                                        hdr + body);
  indexed ix(s);
  EXPECT_EQ(ix.text(1), "");  // offsets 10 then 3
  EXPECT_EQ(ix.find(1)->text_len, 0);
  EXPECT_EQ(ix.text(2), body.substr(3));  // end clamped to the data
  EXPECT_EQ(ix.find(3), nullptr);
  EXPECT_EQ(ix.text(4), body.substr(12));

  std::string big_first = "%PDF\n" + stream_obj(9, "/Type /ObjStm /N 1 /First 2147483647",
                                                "1 5 (x)");
  indexed iy(big_first);
  EXPECT_EQ(iy.find(1), nullptr);
}

TEST(Index, XrefStreamStaysAnOrdinaryObject) {
  std::string s = "%PDF\n" + stream_obj(5, "/Type /XRef /Size 6 /W [1 1 1]", "abc");
  indexed ix(s);
  ASSERT_NE(ix.find(5), nullptr);
  EXPECT_EQ(ix.find(5)->has_stream, 1);
}

TEST(Index, DictRange) {
  std::string s = "%PDF\n1 0 obj << /A 1 >> endobj\n" + stream_obj(2, "/B 2", "xyz") +
                  "3 0 obj [1 2] endobj\n";
  indexed ix(s);
  const char *t;
  int64_t b, e;
  ASSERT_TRUE(obj_dict_range(ix.doc.data, ix.doc.size, ix.find(1), &t, &b, &e));
  EXPECT_EQ(std::string(t + b, (size_t)(e - b)), "<< /A 1 >> ");
  ASSERT_TRUE(obj_dict_range(ix.doc.data, ix.doc.size, ix.find(2), &t, &b, &e));
  EXPECT_EQ(std::string(t + b, (size_t)(e - b)), "<< /B 2 /Length 3 >>\n");
  EXPECT_FALSE(obj_dict_range(ix.doc.data, ix.doc.size, ix.find(3), &t, &b, &e));
}

// ---- loader ---------------------------------------------------------------------

const std::string k_pages2 = "<< /Type /Pages /Kids [3 0 R] /Count 1 /MediaBox [0 0 200 100] >>";
const std::string k_page = "<< /Type /Page /Parent 2 0 R >>";

TEST(Load, SimpleFile) {
  loaded l(classic_pdf({"<< /Type /Catalog /Pages 2 0 R >>", k_pages2, k_page,
                        "<< /Producer (x) >>"},
                       "<< /Size 5 /Root 1 0 R /Info 4 0 R >>"));
  ASSERT_EQ(l.rc, 0) << l.err();
  EXPECT_EQ(l.doc.root, 1);
  EXPECT_EQ(l.doc.info, 4);
  EXPECT_EQ(l.doc.max_num, 4);
  ASSERT_EQ(l.doc.pages.count, 1);
  EXPECT_EQ(l.doc.pages.items[0].num, 3);
  EXPECT_EQ(l.doc.pages.items[0].parent, 2);
  EXPECT_EQ(l.doc.pages.items[0].media_w, 200);
  EXPECT_EQ(l.doc.pages.items[0].media_h, 100);
  // doc_free twice is harmless
  doc_free(&l.doc);
  doc_free(&l.doc);
}

// A file of several megabytes is read into memory of its own, by two
// readers of one half each: every byte must arrive where it belongs.
TEST(Load, LargeFileArrivesWhole) {
  std::vector<std::string> objs = {"<< /Type /Catalog /Pages 2 0 R >>", k_pages2, k_page};
  uint32_t seed = 1;
  for (int n = 4; n < 3004; n++) {
    std::string s((size_t)(3000 + n % 4000), ' ');
    for (char &c : s) c = (char)('a' + (seed = seed * 1103515245u + 12345u) % 26);
    objs.push_back("(" + s + ")");
  }
  std::string text = classic_pdf(objs, "<< /Root 1 0 R >>");
  ASSERT_GT(text.size(), (size_t)12 << 20);
  loaded l(text);
  ASSERT_EQ(l.rc, 0) << l.err();
  ASSERT_EQ(l.doc.size, (int32_t)text.size());
  EXPECT_EQ(memcmp(l.doc.data, text.data(), text.size()), 0);
  EXPECT_EQ(l.doc.data[text.size()], 0);
  EXPECT_EQ(l.doc.objects.count, 3003);
  EXPECT_EQ(l.doc.pages.count, 1);
}

TEST(Load, CatalogSearchWithoutRootOrStartxref) {
  loaded a(classic_pdf({"<< /Type /Pages /Kids [2 0 R] >>", k_page,
                        "<< /Type /Catalog /Pages 1 0 R >>"},
                       "<< /Size 4 >>"));
  ASSERT_EQ(a.rc, 0) << a.err();
  EXPECT_EQ(a.doc.root, 3);

  std::string s = "%PDF-1.4\n1 0 obj << /Type /Pages /Kids [2 0 R] >> endobj\n"
                  "2 0 obj " + k_page + " endobj\n"
                  "3 0 obj << /Type /Catalog /Pages 1 0 R >> endobj\n";
  loaded b(s);
  ASSERT_EQ(b.rc, 0) << b.err();
  EXPECT_EQ(b.doc.root, 3);
  EXPECT_EQ(b.doc.info, -1);
}

TEST(Load, LaterClassicTrailerWins) {
  // Two catalogs; the table that startxref names is followed by two trailers.
  std::string s = "%PDF-1.4\n1 0 obj << /Type /Catalog /Pages 3 0 R >> endobj\n"
                  "2 0 obj << /Type /Catalog /Pages 3 0 R >> endobj\n"
                  "3 0 obj << /Type /Pages /Kids [4 0 R] >> endobj\n"
                  "4 0 obj << /Type /Page >> endobj\n";
  size_t x = s.size();
  s += "xref\n0 1\n0000000000 65535 f \ntrailer\n<< /Root 1 0 R /Info 3 0 R >>\n"
       "startxref\n" + std::to_string(x) + "\n%%EOF\n"
       "trailer\n<< /Root 2 0 R >>\nstartxref\n" + std::to_string(x) + "\n%%EOF\n";
  loaded l(s);
  ASSERT_EQ(l.rc, 0) << l.err();
  EXPECT_EQ(l.doc.root, 2);
  EXPECT_EQ(l.doc.info, 3);
}

// A chain of cross-reference streams, the last one first; stream k (1 =
// newest) carries `entries(k)`.
std::string xref_chain(int count, std::string (*entries)(int)) {
  std::string s = "%PDF-1.5\n1 0 obj << /Type /Catalog /Pages 2 0 R >> endobj\n"
                  "2 0 obj << /Type /Pages /Kids [3 0 R] >> endobj\n"
                  "3 0 obj << /Type /Page >> endobj\n"
                  "9 0 obj << /Type /Catalog /Pages 2 0 R >> endobj\n";
  long prev = -1;
  for (int k = count; k >= 1; k--) {
    long off = (long)s.size();
    std::string e = "/Type /XRef /Size 10 /W [1 1 1] " + entries(k);
    if (prev >= 0) e += " /Prev " + std::to_string(prev);
    s += stream_obj(100 + k, e, "");
    prev = off;
  }
  s += "startxref\n" + std::to_string(prev) + "\n%%EOF\n";
  return s;
}

TEST(Load, XrefStreamChain) {
  loaded l(xref_chain(2, [](int k) -> std::string {
    return k == 1 ? "/Root 9 0 R /Info 3 0 R" : "/Root 1 0 R";
  }));
  ASSERT_EQ(l.rc, 0) << l.err();
  EXPECT_EQ(l.doc.root, 9);  // the newest stream wins
  EXPECT_EQ(l.doc.info, 3);   // /Info is read from streams too
  EXPECT_EQ(l.doc.xref_kind, XREF_STREAM);
  std::string text(l.doc.data, (size_t)l.doc.size);
  EXPECT_EQ(l.doc.xref_off, std::stoi(text.substr(text.rfind("startxref") + 10)));

  // The whole chain is followed: the 33rd stream's /Root is seen.
  loaded far(xref_chain(40, [](int k) -> std::string {
    return k == 33 ? "/Root 9 0 R" : "";
  }));
  ASSERT_EQ(far.rc, 0) << far.err();
  EXPECT_EQ(far.doc.root, 9);
  loaded near(xref_chain(40, [](int k) -> std::string {
    return k == 32 ? "/Root 9 0 R" : "";
  }));
  ASSERT_EQ(near.rc, 0) << near.err();
  EXPECT_EQ(near.doc.root, 9);
}

// Encryption: an /Encrypt naming a dictionary in any trailer or
// cross-reference stream dictionary the loader finds, by the chain or by
// the scan, refuses the file; one naming a missing or non-dictionary object
// is not encryption.
TEST(Load, EncryptRefused) {
  const std::string k_enc = "<< /Filter /Standard /V 1 /R 2 /O (o) /U (u) /P -4 >>";
  std::vector<std::string> objs = {"<< /Type /Catalog /Pages 2 0 R >>", k_pages2, k_page, k_enc,
                                   "42"};
  struct enc_case {
    std::string name;
    std::string text;
    bool refused;
    bool lost = false;  // refused as a damaged file whose trailer is lost
  };
  std::string stream_enc = xref_chain(1, [](int) -> std::string { return "/Encrypt 9 0 R"; });
  // startxref leading nowhere: the stream is found by the scan only.
  std::string damaged_sx = stream_enc;
  damaged_sx.replace(damaged_sx.rfind("startxref\n") + 10, 1, "1");
  std::string damaged_classic = classic_pdf(objs, "<< /Root 1 0 R /Encrypt 4 0 R >>");
  damaged_classic.replace(damaged_classic.rfind("startxref\n") + 10, 1, "1");
  std::vector<enc_case> cases = {
      {"trailer", classic_pdf(objs, "<< /Root 1 0 R /Encrypt 4 0 R >>"), true},
      {"direct dictionary", classic_pdf(objs, "<< /Root 1 0 R /Encrypt << /Filter /Standard >> >>"),
       true},
      {"missing object", classic_pdf(objs, "<< /Root 1 0 R /Encrypt 7 0 R >>"), false},
      {"not a dictionary", classic_pdf(objs, "<< /Root 1 0 R /Encrypt 5 0 R >>"), false},
      {"xref stream", stream_enc, true},
      {"xref stream, missing object",
       xref_chain(1, [](int) -> std::string { return "/Encrypt 77 0 R"; }), false},
      {"xref stream, damaged startxref", damaged_sx, true},
      {"trailer, damaged startxref", damaged_classic, true},
      {"32nd xref stream",
       xref_chain(40, [](int k) -> std::string { return k == 32 ? "/Encrypt 9 0 R" : ""; }),
       true},
      {"33rd xref stream",
       xref_chain(40, [](int k) -> std::string { return k == 33 ? "/Encrypt 9 0 R" : ""; }),
       true},
      // A stray trailer that startxref does not lead to.
      {"unreached trailer",
       "trailer << /Encrypt 4 0 R >>\n" + classic_pdf(objs, "<< /Root 1 0 R >>"), true},
      // The name as the file's last bytes names nothing.
      {"/Encrypt ends the file",
       classic_pdf(objs, "<< /Root 1 0 R >>") + "trailer <</Encrypt", false},
      // Beyond 4096 bytes of its keyword and not on the startxref path: not
      // read, so the damaged file (its offsets moved) holds a handler that
      // no trailer it has names.
      {"far /Encrypt",
       "trailer << /Pad (" + std::string(5000, 'x') + ") /Encrypt 4 0 R >>\n" +
           classic_pdf(objs, "<< /Root 1 0 R >>"),
       false, true},
  };
  // A stray trailer after the file's end, at every offset in the blocks the
  // object scan compares at once.
  std::string plain = classic_pdf(objs, "<< /Root 1 0 R >>");
  for (size_t pad = 0; pad < 40; pad++)
    cases.push_back({"stray trailer, pad " + std::to_string(pad),
                     plain + std::string(pad, ' ') + "trailer << /Encrypt 4 0 R >>\n", true});
  each_scan_width([&] {
    for (const auto &c : cases) {
      SCOPED_TRACE(c.name);
      loaded l(c.text);
      if (c.lost) {
        EXPECT_EQ(l.rc, -1);
        EXPECT_EQ(l.err(), "cannot open " + l.path +
                               ": it is encrypted, and the trailer that names its encryption "
                               "is lost (the file is damaged)");
      } else if (c.refused) {
        EXPECT_EQ(l.rc, -1);
        EXPECT_EQ(l.err(), "encrypted PDFs are not supported: " + l.path);
        EXPECT_EQ(l.doc.data, nullptr);
        EXPECT_EQ(l.doc.objects.items, nullptr);
      } else {
        EXPECT_EQ(l.rc, 0) << l.err();
      }
    }
  });
}

using tu::pdf_text;

// A file whose chain lists an object numbered 2^30: beyond what is kept.
std::string beyond_supported() {
  pdf_text p;
  p.obj(1, "<< /Type /Catalog /Pages 2 0 R >>");
  p.obj(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>");
  p.obj(3, "<< /Type /Page /Contents 1073741824 0 R >>");
  p.obj(1073741824, "<< /Length 0 >>\nstream\n\nendstream");
  return p.done(p.table({1, 2, 3, 1073741824}, {}, "/Root 1 0 R /Size 1073741825"));
}

TEST(Load, Messages) {
  std::vector<std::string> ok = {"<< /Type /Catalog /Pages 2 0 R >>", k_pages2, k_page};
  struct {
    const char *name;
    std::string text;
    std::string message;  // "%s" stands for the path
  } cases[] = {
      {"empty", "", "empty input file: %s"},
      {"no objects", "just some text\nwith no objects\n",
       std::string("no PDF objects found ") + k_dash + " not a valid PDF: %s"},
      {"no catalog", "%PDF\n1 0 obj << /Type /Page >> endobj\n",
       "cannot find PDF Root catalog: %s"},
      {"pages 0 0 R", classic_pdf({"<< /Type /Catalog /Pages 0 0 R >>"}, "<< /Root 1 0 R >>"),
       "PDF has no pages: %s"},
      {"no /Pages", classic_pdf({"<< /Type /Catalog >>"}, "<< /Root 1 0 R >>"),
       "PDF has no pages: %s"},
      {"missing root object", classic_pdf(ok, "<< /Root 7 0 R >>"), "PDF has no pages: %s"},
      {"inline kids",
       classic_pdf({"<< /Type /Catalog /Pages 2 0 R >>",
                    "<< /Type /Pages /Kids [<< /Type /Page >>] /Count 1 >>"},
                   "<< /Root 1 0 R >>"),
       std::string("page tree uses inline page dictionaries in /Kids ") + k_dash +
           " pages must be indirect objects: %s"},
      // After the inline-kids failure, an unrelated empty tree says so plainly.
      {"no pages after inline", classic_pdf({"<< /Type /Catalog /Pages 2 0 R >>",
                                             "<< /Type /Pages /Kids [] >>"},
                                            "<< /Root 1 0 R >>"),
       "PDF has no pages: %s"},
      {"number beyond the supported", beyond_supported(),
       "object number 1073741824 in %s is beyond the supported 1073741823"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    loaded l(c.text);
    EXPECT_EQ(l.rc, -1);
    std::string m = c.message;
    m.replace(m.find("%s"), 2, l.path);
    EXPECT_EQ(l.err(), m);
    EXPECT_EQ(l.doc.data, nullptr);
    EXPECT_EQ(l.doc.pages.items, nullptr);
    EXPECT_EQ(g_inline_kids, 0);
  }
}

TEST(Load, FileErrors) {
  pdf_doc doc;
  EXPECT_EQ(doc_load(nullptr, &doc), -1);
  EXPECT_STREQ(get_error(), "NULL path argument");

  tu::temp_dir dir;
  std::string missing = dir / "missing.pdf";
  EXPECT_EQ(doc_load(missing.c_str(), &doc), -1);
  EXPECT_EQ(std::string(get_error()), "cannot open " + missing + ": No such file or directory");

  // Neither may block or read forever.
  std::string fifo = dir / "fifo.pdf";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (std::string p : {dir.path, fifo, std::string("/dev/zero")}) {
    SCOPED_TRACE(p);
    EXPECT_EQ(doc_load(p.c_str(), &doc), -1);
    EXPECT_EQ(std::string(get_error()), "cannot open " + p + ": not a regular file");
    EXPECT_EQ(doc.data, nullptr);
  }
}

// Files past the limit are refused with their size and the limit, not
// read. Sparse: no disk space is used.
TEST(Load, IncrementalUpdateRedefinesPage) {
  std::string base = classic_pdf({"<< /Type /Catalog /Pages 2 0 R >>", k_pages2, k_page},
                                 "<< /Root 1 0 R >>");
  std::string upd = "3 0 obj << /Type /Page /Parent 2 0 R /MediaBox [0 0 50 60] >> endobj\n";
  size_t x = base.size() + upd.size();
  std::string s = base + upd + "xref\n0 1\n0000000000 65535 f \ntrailer\n<< /Root 1 0 R >>\n"
                  "startxref\n" + std::to_string(x) + "\n%%EOF\n";
  loaded l(s);
  ASSERT_EQ(l.rc, 0) << l.err();
  ASSERT_EQ(l.doc.pages.count, 1);
  EXPECT_EQ(l.doc.pages.items[0].media_w, 50);
  EXPECT_EQ(l.doc.pages.items[0].media_h, 60);
}


const std::string k_cat = "<< /Type /Catalog /Pages 2 0 R >>";

// The base revision: catalog 1, pages 2, page 3 of 200 x 100.
pdf_text base_doc() {
  pdf_text p;
  p.obj(1, k_cat);
  p.obj(2, k_pages2);
  p.obj(3, k_page);
  return p;
}

// Which copy of an object counts: the cross-reference chain where it is
// whole and agrees with the file, the last copy found where it is not.
TEST(Load, ChainDecidesCurrentCopy) {
  struct chain_case {
    std::string name;
    std::string text;
    double page_w;  // width of the only page
    int trusted;
  };
  std::vector<chain_case> cases;
  const std::string k_small_page = "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 50 60] >>";
  {
    // An update that puts the new page in an object stream, listed by a
    // cross-reference stream.
    pdf_text p = base_doc();
    long t = p.table({1, 2, 3}, {}, "/Root 1 0 R /Size 4");
    p.s += objstm(10, {{3, k_small_page}}, true);
    p.at.push_back({10, (long)p.s.rfind("10 0 obj")});
    long x = p.xref_stream(11, {{3, 2, 10, 0}, {10, 1, -1, 0}}, "/Root 1 0 R", t);
    cases.push_back({"update in object stream", p.done(x), 50, 1});
  }
  {
    // The same as a hybrid file: a classic table whose /XRefStm lists the
    // packed page.
    pdf_text p = base_doc();
    long t = p.table({1, 2, 3}, {}, "/Root 1 0 R /Size 4");
    p.s += objstm(10, {{3, k_small_page}}, false);
    p.at.push_back({10, (long)p.s.rfind("10 0 obj")});
    long xs = p.xref_stream(11, {{3, 2, 10, 0}}, "");
    long x = p.table({10}, {}, "/Root 1 0 R /Size 12 /XRefStm " + std::to_string(xs), t);
    cases.push_back({"hybrid update in object stream", p.done(x), 50, 1});
  }
  {
    // An unfiltered PDF attachment after the document's objects.
    pdf_text inner;
    inner.obj(1, k_cat);
    inner.obj(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>");
    inner.obj(3, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 10 10] >>");
    std::string att = inner.done((long)inner.s.size());
    pdf_text p = base_doc();
    p.stream(4, "/Type /EmbeddedFile", att);
    long x = p.table({1, 2, 3, 4}, {}, "/Root 1 0 R /Size 5");
    cases.push_back({"attachment", p.done(x), 200, 1});
    std::string damaged = p.done(x);
    damaged.replace(damaged.rfind("startxref\n") + 10, 1, "9");
    cases.push_back({"attachment, damaged startxref", damaged, 200, 0});
  }
  {
    // Headers in comments, and a comment between header and dictionary;
    // the real pages node is packed, so a direct copy would win.
    pdf_text p;
    p.s += "% 2 0 obj << /Type /Pages /Kids [] /Count 0 >>\n";
    p.s += "1 0 obj % catalog\n" + k_cat + "\nendobj\n";
    p.at.push_back({1, (long)p.s.find("1 0 obj")});
    p.s += objstm(10, {{2, k_pages2}, {3, k_page}}, true);
    p.at.push_back({10, (long)p.s.rfind("10 0 obj")});
    long x = p.xref_stream(11, {{1, 1, -1, 0}, {2, 2, 10, 0}, {3, 2, 10, 1}, {10, 1, -1, 0}},
                           "/Root 1 0 R");
    cases.push_back({"comments", p.done(x), 200, 1});
    std::string damaged = p.done(x);
    damaged.replace(damaged.rfind("startxref\n") + 10, 1, "9");
    cases.push_back({"comments, damaged startxref", damaged, 200, 0});
  }
  {
    // A page numbered beyond 2^23.
    pdf_text p;
    p.obj(1, k_cat);
    p.obj(2, "<< /Type /Pages /Kids [9000000 0 R] /Count 1 >>");
    p.obj(9000000, k_small_page);
    long x = p.table({1, 2, 9000000}, {}, "/Root 1 0 R /Size 9000001");
    cases.push_back({"large number", p.done(x), 50, 1});
  }
  {
    // A later revision redefines the page; an offset of the chain that
    // leads elsewhere makes the last copy win instead.
    pdf_text p = base_doc();
    long t = p.table({1, 2, 3}, {}, "/Root 1 0 R /Size 4");
    p.obj(3, k_small_page);
    long x = p.table({3}, {}, "/Root 1 0 R /Size 4", t);
    cases.push_back({"classic update", p.done(x), 50, 1});
    p.at.push_back({3, p.off_of(3) + 1});
    long y = p.table({3}, {}, "/Root 1 0 R /Size 4", t);
    cases.push_back({"offset off by one", p.done(y), 50, 0});
  }
  {
    // The older section's /Prev leads back to the newer one: a loop, which
    // readers take as damage (qpdf: "loop detected"), so the scan decides.
    pdf_text p = base_doc();
    long t = p.table({1, 2, 3}, {}, "/Root 1 0 R /Size 4 /Prev 0000000000");
    p.obj(3, k_small_page);
    long x = p.table({3}, {}, "/Root 1 0 R /Size 4", t);
    char back[16];
    snprintf(back, sizeof back, "%010ld", x);
    p.s.replace(p.s.find("/Prev 0000000000") + 6, 10, back);
    cases.push_back({"/Prev loop", p.done(x), 50, 0});
  }
  {
    // Table lines as some writers leave them (no padding, one space, a bare
    // newline) are read as the usual ones; a line whose generation is not
    // the object's makes the chain untrusted.
    pdf_text p = base_doc();
    long x = p.table({1, 2, 3}, {}, "/Root 1 0 R /Size 4");
    std::string text = p.done(x);
    char usual[32], loose[32];
    snprintf(usual, sizeof usual, "%010ld 00000 n \n", p.off_of(3));
    snprintf(loose, sizeof loose, "%ld 0 n\n", p.off_of(3));
    std::string short_lines = text;
    short_lines.replace(short_lines.find(usual, (size_t)x), strlen(usual), loose);
    cases.push_back({"short table line", short_lines, 200, 1});
    std::string other_gen = text;
    other_gen.replace(other_gen.find(usual, (size_t)x) + 11, 5, "00001");
    cases.push_back({"generation not the object's", other_gen, 200, 0});
  }
  {
    // The offsets after "startxref" and /Prev spelt with 22 digits, leading
    // zeros: the chain reads them as the numbers they spell.
    pdf_text p = base_doc();
    long t = p.table({1, 2, 3}, {}, "/Root 1 0 R /Size 4");
    p.obj(3, k_small_page);
    auto pad = [](long v) {
      std::string n = std::to_string(v);
      return std::string(22 - n.size(), '0') + n;
    };
    long x = p.table({3}, {}, "/Root 1 0 R /Size 4 /Prev " + pad(t));
    cases.push_back({"zero-padded offsets", p.s + "startxref\n" + pad(x) + "\n%%EOF\n", 50, 1});
  }
  for (bool in_order : {false, true}) {
    // The listed page's header spells its number with 19 and 25 digits,
    // leading zeros: read as 3 wherever the object lies, so the chain is
    // trusted and the listed copy wins over the later, unlisted one.
    for (const std::string num : {"0000000000000000003", "0000000000000000000000003"}) {
      pdf_text p;
      p.obj(1, k_cat);
      if (in_order) p.obj(2, k_pages2);
      p.s += num + " 0 obj\n" + k_page + "\nendobj\n";
      p.at.push_back({3, (long)p.s.find(num + " 0 obj")});
      if (!in_order) p.obj(2, k_pages2);
      p.s += "3 0 obj\n" + k_small_page + "\nendobj\n";
      long x = p.table({1, 2, 3}, {}, "/Root 1 0 R /Size 4");
      cases.push_back({std::to_string(num.size()) + "-digit header" + (in_order ? ", in order" : ""),
                       p.done(x), 200, 1});
    }
  }
  {
    // A table that frees the pages node (a broken writer): the chain's
    // choice leaves no pages, and the repair path finds them.
    pdf_text p = base_doc();
    long x = p.table({1, 3}, {2}, "/Root 1 0 R /Size 4");
    cases.push_back({"pages node freed", p.done(x), 200, 0});
  }
  {
    // Object streams the scan does not recognise: the abbreviated filter
    // name, and a wrong /Type that only the chain corrects.
    for (const char *kind : {"/Type /ObjStm /Filter /Fl", "/Type /Foo /Filter /FlateDecode"}) {
      pdf_text p;
      p.obj(1, k_cat);
      std::string hdr = "2 0 3 " + std::to_string(k_pages2.size() + 1) + " ";
      std::string body = k_pages2 + "\n" + k_small_page;
      p.stream(10, std::string(kind) + " /N 2 /First " + std::to_string(hdr.size()),
               deflate(hdr + body));
      long x = p.xref_stream(11, {{1, 1, -1, 0}, {2, 2, 10, 0}, {3, 2, 10, 1}, {10, 1, -1, 0}},
                             "/Root 1 0 R");
      cases.push_back({kind, p.done(x), 50, 1});
    }
  }
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    loaded l(c.text);
    ASSERT_EQ(l.rc, 0) << l.err();
    EXPECT_EQ(l.doc.xref_trusted, c.trusted);
    ASSERT_EQ(l.doc.pages.count, 1);
    EXPECT_EQ(l.doc.pages.items[0].media_w, c.page_w);
    // Opened lean, a trusted chain is read instead of the file, with the
    // same result; an untrusted one sends the load to the scan. Its
    // headers checked on one thread, then in two halves.
    const int64_t split_was = g_split_heads;
    for (int64_t split : {0, 1}) {
      g_split_heads = split;
      doc_open_opts lean = {0, nullptr, 1, 0};
      loaded z(c.text, "in.pdf", &lean);
      g_split_heads = split_was;
      ASSERT_EQ(z.rc, 0) << z.err();
      EXPECT_EQ(z.doc.objects.lazy != nullptr, c.trusted == 1) << "split " << split;
      tu::expect_same_index(l.doc, z.doc);
    }
  }
}

// A number the newest section frees stays out of reach of new objects even
// above every number in use (the document may still name it); a free entry
// far beyond every other one (as large as numbers go) takes no room from
// them.
TEST(Load, FreedNumbersStayFree) {
  struct {
    std::vector<int> freed;
    int64_t max_num;
  } rows[] = {{{4}, 4}, {{4, 1073741823}, 4}, {{4, 60000, 70000}, 70000}};
  for (const auto &r : rows) {
    SCOPED_TRACE(r.max_num);
    pdf_text p = base_doc();
    p.obj(4, "<< /Note (freed later) >>");
    long t = p.table({1, 2, 3, 4}, {}, "/Root 1 0 R /Size 5");
    long x = p.table({}, r.freed, "/Root 1 0 R /Size " + std::to_string(r.freed.back() + 1), t);
    const std::string text = p.done(x);
    doc_open_opts lean = {0, nullptr, 1, 0};
    for (const doc_open_opts *o : {(const doc_open_opts *)nullptr, (const doc_open_opts *)&lean}) {
      loaded l(text, "in.pdf", o);
      ASSERT_EQ(l.rc, 0) << l.err();
      EXPECT_EQ(l.doc.xref_trusted, 1);
      EXPECT_EQ(obj_find(&l.doc.objects, 4), nullptr);
      EXPECT_EQ(l.doc.max_num, r.max_num);
    }
  }
}

// A lean open of a mapped input reads the headers through copies of its
// parts; headers astride their ends, behind whitespace, with leading zeros
// or at a page's first byte give the index the whole-file scan gives.
TEST(Load, LeanHeadersReadInWindows) {
  pdf_text p;
  p.obj(1, k_cat);
  p.obj(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 /MediaBox [0 0 200 100] >>");
  p.obj(3, "<< /Type /Page /Parent 2 0 R /Contents 4 0 R >>");
  std::vector<int> nums = {1, 2, 3};
  uint32_t r = 12345;
  for (int n = 4; n < 700; n++) {
    r = r * 1103515245u + 12345u;
    const size_t pad = (r >> 8) % 700;
    if (n % 7 == 0) {
      // The table leads to whitespace before the header.
      p.at.push_back({n, (long)p.s.size()});
      p.s += std::string(1 + pad % 90, pad % 2 ? ' ' : '\n');
      p.s += (n % 3 ? "" : "000") + std::to_string(n) + " 0 obj\n<< /N " + std::to_string(n) +
             " >>\nendobj\n";
    } else if (n % 11 == 0) {
      // A header at a page's first byte.
      p.s += std::string(4096 - p.s.size() % 4096, '\n');
      p.obj(n, "<< /N " + std::to_string(n) + " >>");
    } else {
      // Streams whose records are read from the windows: dictionaries
      // with strings and nested dictionaries, comments before them, the
      // keyword's line ended in each way and padded.
      static const char *const k_dicts[] = {
          "<< /Length L >>", "<< /S (a>>b) /D << /X 1 >> /Length L >>",
          "%c\n<< /Length L >>", "<< /Length L /Type /XObject /T <3e3e> >>",
          "<</Length L>>", "<< /Type /ObjStm /N 0 /First 0 /Length L >>"};
      static const char *const k_lines[] = {"stream\n", "stream\r\n", "stream\r",
                                            "stream  \t \n", "stream"};
      const std::string data = std::string(pad, 'x') + "123456789";
      std::string dict = k_dicts[(r >> 4) % 6];
      dict.replace(dict.find("Length L") + 7, 1, std::to_string(data.size()));
      p.obj(n, dict + (pad % 3 ? "\n" : " ") + k_lines[(r >> 12) % 5] + data + "\nendstream");
    }
    nums.push_back(n);
  }
  const std::string text = p.done(p.table(nums, {}, "/Root 1 0 R /Size 700"));
  ASSERT_GT(text.size(), (size_t)k_fmap_min);
  loaded full(text);
  ASSERT_EQ(full.rc, 0) << full.err();
  ASSERT_EQ(full.doc.xref_trusted, 1);
  struct restore {
    int64_t window = g_header_window, split = g_split_heads;
    ~restore() {
      g_header_window = window;
      g_split_heads = split;
    }
  } keep;
  // On one thread, and in two halves on two.
  for (int64_t split : {0, 2}) {
    for (int64_t w : {4096, 4096 + 100, 3 * 4096 + 7, 1 << 20}) {
      SCOPED_TRACE(std::to_string(w) + " split " + std::to_string(split));
      g_header_window = w;
      g_split_heads = split;
      doc_open_opts lean = {0, nullptr, 1, 0};
      loaded z(text, "in.pdf", &lean);
      ASSERT_EQ(z.rc, 0) << z.err();
      EXPECT_NE(z.doc.objects.lazy, nullptr);
      tu::expect_same_index(full.doc, z.doc);
    }
  }
  // Windows of a page ending at each byte around a stream's keyword: in
  // the keyword, in the blanks after it, before and after its line's end.
  const std::string blanks = "stream" + std::string(30, ' ') + "\t\r\n";
  for (const char *line : {blanks.c_str(), "stream\r\n", "stream\r"}) {
    SCOPED_TRACE(line);
    pdf_text q;
    q.obj(1, k_cat);
    q.obj(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 /MediaBox [0 0 200 100] >>");
    q.obj(3, "<< /Type /Page /Parent 2 0 R >>");
    std::vector<int> listed = {1, 2, 3};
    for (int cut = -40; cut <= 1; cut++) {
      const int n = 50 + cut;
      q.s += std::string(4096 - (q.s.size() + 4095) % 4096, '\n');  // the header at a page's byte 1
      const std::string head = std::to_string(n) + " 0 obj\n<< /Length 5000 /P (";
      const long keyword = (long)(q.s.size() + 4095) / 4096 * 4096 + cut;
      const long pad = keyword - (long)(q.s.size() + head.size() + 5);
      q.at.push_back({n, (long)q.s.size()});
      q.s += head + std::string((size_t)pad, 'p') + ") >>\n" + line + std::string(5000, 'd') +
             "\nendstream\nendobj\n";
      listed.push_back(n);
    }
    const std::string cut_text = q.done(q.table(listed, {}, "/Root 1 0 R /Size 52"));
    ASSERT_GT(cut_text.size(), (size_t)k_fmap_min);
    loaded scanned(cut_text);
    ASSERT_EQ(scanned.rc, 0) << scanned.err();
    g_header_window = 4096;
    g_split_heads = 0;
    doc_open_opts lean = {0, nullptr, 1, 0};
    loaded z(cut_text, "in.pdf", &lean);
    ASSERT_EQ(z.rc, 0) << z.err();
    tu::expect_same_index(scanned.doc, z.doc);
  }
}

// Objects a lean open reads only when asked for, in documents whose chain
// is sound: the index is the chain's (nothing of the file is scanned) and
// every record is what the scan of the whole file finds.
TEST(Load, LeanOpenReadsObjectsOnDemand) {
  struct lean_case {
    std::string name;
    std::string text;
    int unlisted;  // an object only the scan finds (the chain does not list it), or 0
    int lean_max;  // the largest number in use, when the chain's differs (0: the same)
  };
  std::vector<lean_case> cases;
  {
    // Streams whose /Length names each other: neither is an integer.
    pdf_text p = base_doc();
    p.obj(4, "<< /Length 5 0 R >>\nstream\nabc\nendstream");
    p.obj(5, "<< /Length 4 0 R >>\nstream\nxyz\nendstream");
    p.obj(6, "<< /Length 7 0 R >>\nstream\nlong data\nendstream");
    p.obj(7, "9");
    long x = p.table({1, 2, 3, 4, 5, 6, 7}, {}, "/Root 1 0 R /Size 8");
    cases.push_back({"lengths naming streams", p.done(x), 0, 0});
  }
  {
    // An object stream nobody names (an old copy of the page in it), and
    // one the chain names.
    pdf_text p = base_doc();
    p.objstm(4, {{3, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 1 1] >>"}});
    p.objstm(5, {{9, "(packed)"}});
    long x = p.xref_stream(10, {{1, 1, -1, 0}, {2, 1, -1, 0}, {3, 1, -1, 0}, {4, 1, -1, 0},
                                {5, 1, -1, 0}, {9, 2, 5, 0}},
                           "/Root 1 0 R");
    cases.push_back({"object streams", p.done(x), 0, 0});
  }
  {
    // The /Length of a named object stream names another one: both stay
    // containers.
    pdf_text p = base_doc();
    std::string hdr = "8 0 ", body = "(in four)";
    p.at.push_back({4, (long)p.s.size()});
    p.s += "4 0 obj\n<< /Type /ObjStm /N 1 /First " + std::to_string(hdr.size()) +
           " /Length 5 0 R >>\nstream\n" + hdr + body + "\nendstream\nendobj\n";
    p.objstm(5, {{9, "(in five)"}});
    long x = p.xref_stream(10, {{1, 1, -1, 0}, {2, 1, -1, 0}, {3, 1, -1, 0}, {4, 1, -1, 0},
                                {5, 1, -1, 0}, {8, 2, 4, 0}, {9, 2, 5, 0}},
                           "/Root 1 0 R");
    cases.push_back({"object stream lengths", p.done(x), 0, 0});
  }
  {
    // Without /Root in the trailer the catalog is searched for among all
    // records, read at once; an object stream nobody names goes, and the
    // stream after it finds its length's object.
    pdf_text p = base_doc();
    p.objstm(4, {{3, "<< /Type /Page /Parent 2 0 R >>"}});
    p.obj(5, "20");
    p.obj(6, "(six)");
    p.obj(7, "<< /Length 5 0 R >>\nstream\n01234567890123456789\nendstream");
    long x = p.table({1, 2, 3, 4, 5, 6, 7}, {}, "/Size 8");
    cases.push_back({"no /Root", p.done(x), 0, 0});
  }
  {
    // An object written but left out of the table: the scan finds it,
    // the chain (which readers trust) does not.
    pdf_text p = base_doc();
    p.obj(4, "(unlisted)");
    long x = p.table({1, 2, 3}, {}, "/Root 1 0 R /Size 4");
    cases.push_back({"unlisted object", p.done(x), 4, 0});
  }
  {
    // The last object before the table has no "endobj" and a dictionary
    // that does not close: listed, but unreadable.
    pdf_text p = base_doc();
    p.at.push_back({4, (long)p.s.size()});
    p.s += "4 0 obj\n<< /A (x) /B [1 2\n";
    long x = p.table({1, 2, 3, 4}, {}, "/Root 1 0 R /Size 5");
    // The scan finds no object 4; the chain says the number is in use, and
    // new objects are numbered past it.
    cases.push_back({"unreadable object", p.done(x), 0, 4});
  }
  {
    // Headers in strings and stream data, and "endobj" in a string.
    pdf_text p = base_doc();
    p.obj(4, "<< /T (5 0 obj << /Type /Page >> endobj) >>");
    p.stream(5, "", "6 0 obj\n<< /Fake 1 >>\nendobj\n");
    p.obj(6, "(endobj) 42");
    long x = p.table({1, 2, 3, 4, 5, 6}, {}, "/Root 1 0 R /Size 7");
    cases.push_back({"headers in strings and data", p.done(x), 0, 0});
  }
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    loaded full(c.text);
    ASSERT_EQ(full.rc, 0) << full.err();
    doc_open_opts lean = {0, nullptr, 1, 0};
    loaded z(c.text, "in.pdf", &lean);
    ASSERT_EQ(z.rc, 0) << z.err();
    // (Read at once when the catalog had to be searched for.)
    EXPECT_EQ(z.doc.objects.lazy != nullptr, c.name != "no /Root");
    if (c.unlisted) {
      EXPECT_NE(obj_find(&full.doc.objects, c.unlisted), nullptr);
      EXPECT_EQ(obj_find(&z.doc.objects, c.unlisted), nullptr);
      continue;
    }
    if (c.lean_max) {
      EXPECT_EQ(z.doc.max_num, c.lean_max);
      z.doc.max_num = full.doc.max_num;
    }
    tu::expect_same_index(full.doc, z.doc);
    // All at once, as code that walks the records asks for them.
    objvec_fill_all(&z.doc.objects);
    EXPECT_EQ(z.doc.objects.lazy, nullptr);
    ASSERT_EQ(z.doc.objects.count, full.doc.objects.count);
    for (int64_t i = 0; i < z.doc.objects.count; i++)
      EXPECT_EQ(z.doc.objects.items[i].num, full.doc.objects.items[i].num);
  }
}

TEST(Load, FreeEntriesDeleteObjects) {
  // Revision 1 has an outline 5 and an annotation 6; revision 2 frees both
  // and rewrites the catalog without /Outlines. The copies still in the
  // file stay deleted; a number the chain never lists is found by the scan.
  pdf_text p = base_doc();
  p.obj(5, "<< /Type /Outlines /Count 0 >>");
  p.obj(6, "<< /Type /Annot /Subtype /Text >>");
  p.obj(1, "<< /Type /Catalog /Pages 2 0 R /Outlines 5 0 R >>");
  long t = p.table({1, 2, 3, 5, 6}, {}, "/Root 1 0 R /Size 7");
  p.obj(1, k_cat);
  p.obj(8, "(unlisted)");
  long x = p.table({1}, {5, 6}, "/Root 1 0 R /Size 7", t);
  loaded l(p.done(x));
  ASSERT_EQ(l.rc, 0) << l.err();
  EXPECT_EQ(l.doc.xref_trusted, 1);
  EXPECT_EQ(l.doc.xref_kind, XREF_TABLE);
  EXPECT_EQ(l.doc.xref_off, (int32_t)x);
  EXPECT_EQ(obj_find(&l.doc.objects, 5), nullptr);
  EXPECT_EQ(obj_find(&l.doc.objects, 6), nullptr);
  EXPECT_NE(obj_find(&l.doc.objects, 8), nullptr);
  const pdf_obj *cat = obj_find(&l.doc.objects, 1);
  ASSERT_NE(cat, nullptr);
  EXPECT_EQ(cat->hdr_off, (int32_t)p.off_of(1));
}

// A stream whose /Length is wrong and that has no "endstream" keeps its
// data up to the "endobj" that the next object follows.
TEST(Index, StreamWithoutEndstreamEndsAtEndobj) {
  struct {
    const char *name;
    std::string text;
    std::string data;  // expected; "<none>": extent unknown
  } cases[] = {
      {"next object follows", "%PDF\n4 0 obj << /Length 999 >>\nstream\nBT (a) Tj ET\nendobj\n"
                              "5 0 obj << /Length 3 >>\nstream\nabc\nendstream\nendobj\n",
       "BT (a) Tj ET"},
      {"end of file follows", "%PDF\n4 0 obj << /Length 999 >>\nstream\r\nq Q\r\nendobj\n",
       "q Q"},
      // "endobj" inside the data, no header after it: the data runs to its
      // own endstream.
      {"endobj in data", "%PDF\n4 0 obj << /Length 999 >>\nstream\n(endobj) x\nendstream\nendobj\n",
       "(endobj) x\n"},
      {"neither", "%PDF\n4 0 obj << /Length 999 >>\nstream\nabc", "<none>"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    indexed ix(c.text);
    const pdf_obj *o = ix.find(4);
    ASSERT_NE(o, nullptr);
    if (c.data == "<none>") {
      EXPECT_EQ(o->data_end, -1);
    } else {
      ASSERT_GE(o->data_end, o->data_off);
      EXPECT_EQ(std::string(ix.doc.data + o->data_off, (size_t)(o->data_end - o->data_off)),
                c.data);
    }
  }
}

// What the output keeps: the version (header or catalog, at least 1.4),
// the /ID of the newest dictionary that has one, /Info from a
// cross-reference stream.
TEST(Load, VersionIdAndInfo) {
  struct {
    const char *name;
    std::string header;
    std::string catalog_extra;
    int32_t version;
  } versions[] = {
      {"1.3", "%PDF-1.3", "", 14},       {"1.7", "%PDF-1.7", "", 17},
      {"2.0", "%PDF-2.0", "", 20},       {"catalog higher", "%PDF-1.4", " /Version /1.7", 17},
      {"header higher", "%PDF-1.6", " /Version /1.5", 16},
      {"no header", "", "", 14},
  };
  for (const auto &v : versions) {
    SCOPED_TRACE(v.name);
    pdf_text p;
    p.s = v.header + "\n";
    p.obj(1, "<< /Type /Catalog /Pages 2 0 R" + v.catalog_extra + " >>");
    p.obj(2, k_pages2);
    p.obj(3, k_page);
    loaded l(p.done(p.table({1, 2, 3}, {}, "/Root 1 0 R")));
    ASSERT_EQ(l.rc, 0) << l.err();
    EXPECT_EQ(l.doc.version, v.version);
  }
  const std::string id = "[<0123456789ABCDEF0123456789ABCDEF> (second\\)id)]";
  pdf_text p = base_doc();
  p.obj(4, "<< /Title (t) >>");
  long t = p.table({1, 2, 3, 4}, {}, "/Root 1 0 R /ID [<00> <00>]");
  long x = p.xref_stream(5, {}, "/Root 1 0 R /Info 4 0 R /ID " + id, t);
  loaded l(p.done(x));
  ASSERT_EQ(l.rc, 0) << l.err();
  EXPECT_EQ(l.doc.info, 4);
  ASSERT_GT(l.doc.id_len, 0);
  EXPECT_EQ(std::string(l.doc.data + l.doc.id_off, (size_t)l.doc.id_len), id);
}

TEST(Load, PagesInObjectStream) {
  std::string s = "%PDF-1.5\n" +
                  objstm(10, {{1, "<< /Type /Catalog /Pages 2 0 R >>"},
                              {2, "<< /Type /Pages /Kids [3 0 R 4 0 R] /MediaBox [0 0 10 20] >>"},
                              {3, "<< /Type /Page >>"},
                              {4, "<< /Type /Page /CropBox [1 1 5 5] >>"}},
                         true);
  loaded l(s);
  ASSERT_EQ(l.rc, 0) << l.err();
  EXPECT_EQ(l.page_nums(), (std::vector<int32_t>{3, 4}));
  EXPECT_EQ(l.doc.pages.items[1].has_crop, 1);
  EXPECT_EQ(l.doc.pages.items[1].crop_w, 4);
}

// ---- page tree --------------------------------------------------------------------

// Catalog 1, root node 2, then the given objects from 3 on.
std::string tree_pdf(const std::string &root_node, const std::vector<std::string> &rest) {
  std::vector<std::string> objs = {"<< /Type /Catalog /Pages 2 0 R >>", root_node};
  objs.insert(objs.end(), rest.begin(), rest.end());
  return classic_pdf(objs, "<< /Root 1 0 R >>");
}

TEST(Pages, InheritedMediaBoxAndCropBox) {
  loaded l(tree_pdf("<< /Type /Pages /MediaBox [0 0 595 842] /CropBox [1 1 9 9] "
                    "/Kids [3 0 R 4 0 R] >>",
                    {"<< /Type /Page >>", "<< /Type /Page /CropBox [10 20 300 400] >>"}));
  ASSERT_EQ(l.rc, 0) << l.err();
  ASSERT_EQ(l.doc.pages.count, 2);
  const page_info &a = l.doc.pages.items[0], &b = l.doc.pages.items[1];
  EXPECT_EQ(a.num, 3);
  EXPECT_EQ(a.parent, 2);
  EXPECT_EQ(a.media_x, 0);
  EXPECT_EQ(a.media_y, 0);
  EXPECT_EQ(a.media_w, 595);
  EXPECT_EQ(a.media_h, 842);
  EXPECT_EQ(a.has_crop, 0);
  EXPECT_EQ(a.crop_w, 0);
  // The node's CropBox is inherited (placement takes it when the page has
  // none of its own).
  EXPECT_EQ(a.has_inh_crop, 1);
  EXPECT_EQ(a.inh_crop_x, 1);
  EXPECT_EQ(a.inh_crop_w, 8);
  EXPECT_EQ(b.num, 4);
  EXPECT_EQ(b.has_crop, 1);
  EXPECT_EQ(b.crop_x, 10);
  EXPECT_EQ(b.crop_y, 20);
  EXPECT_EQ(b.crop_w, 290);
  EXPECT_EQ(b.crop_h, 380);
}

TEST(Pages, DefaultAndRejectedBoxes) {
  loaded l(tree_pdf("<< /Type /Pages /Kids [3 0 R 4 0 R 5 0 R] >>",
                    {"<< /Type /Page >>", "<< /Type /Page /MediaBox [612 792 0 0] >>",
                     "<< /Type /Page /MediaBox 12 0 R >>"}));
  ASSERT_EQ(l.rc, 0) << l.err();
  ASSERT_EQ(l.doc.pages.count, 3);
  for (int i = 0; i < 3; i++) {
    EXPECT_EQ(l.doc.pages.items[i].media_x, 0);
    EXPECT_EQ(l.doc.pages.items[i].media_w, 612);
    EXPECT_EQ(l.doc.pages.items[i].media_h, 792);
  }
}

// /Kids given as an array object of its own, at the root and below it, as
// qpdf and poppler read it; a reference to something else lists no kids.
TEST(Pages, KidsInAnArrayObject) {
  pdf_text p;
  p.obj(1, k_cat);
  p.obj(2, "<< /Type /Pages /Kids 9 0 R /Count 3 >>");
  p.obj(3, "<< /Type /Page /Parent 2 0 R >>");
  p.obj(4, "<< /Type /Pages /Parent 2 0 R /Kids 10 0 R /Count 2 >>");
  p.obj(5, "<< /Type /Page /Parent 4 0 R >>");
  p.obj(6, "<< /Type /Page /Parent 4 0 R >>");
  p.obj(7, "<< /Type /Pages /Parent 2 0 R /Kids 11 0 R /Count 0 >>");
  p.obj(9, "[3 0 R 4 0 R 7 0 R]");
  p.obj(10, "% the kids\n[5 0 R 6 0 R]");
  p.obj(11, "<< /Not an array >>");
  loaded l(p.done(p.table({1, 2, 3, 4, 5, 6, 7, 9, 10, 11}, {}, "/Root 1 0 R /Size 12")));
  ASSERT_EQ(l.rc, 0) << l.err();
  ASSERT_EQ(l.doc.pages.count, 3);
  EXPECT_EQ(l.doc.pages.items[0].num, 3);
  EXPECT_EQ(l.doc.pages.items[1].num, 5);
  EXPECT_EQ(l.doc.pages.items[2].num, 6);
}

TEST(Pages, NodeKinds) {
  loaded l(tree_pdf("<< /Type /Pages /Kids [3 0 R 5 0 R] >>",
                    {"<< /Type /Pages /Res << /Type /Page >> /Kids [4 0 R] >>",
                     "<< /Type /Page >>",
                     "<< /Type /Page /Kids [6 0 R] >>",
                     "<< /Type /Page >>"}));
  // (6 exists and is a page, but only as a kid of page 5)
  ASSERT_EQ(l.rc, 0) << l.err();
  // 3 is an intermediate node; 5 is a page whose /Kids are not walked.
  EXPECT_EQ(l.page_nums(), (std::vector<int32_t>{4, 5}));
  EXPECT_EQ(l.doc.pages.items[0].parent, 3);
}

// A writer may chain one node per page (node 2 lists page 3 and node 4,
// node 4 lists page 5 and node 6, ...): the tree is as deep as the document
// is long, and every page is kept in order. Deeper than the walk follows,
// the load fails instead of losing the deepest pages.
TEST(Pages, DeepChainsKeepEveryPageOrFail) {
  for (int levels : {100, 65536, 65537}) {
    SCOPED_TRACE(levels);
    std::vector<std::string> rest;
    for (int k = 3; k <= 2 * levels + 1; k++) {
      if (k % 2)
        rest.push_back("<< /Type /Page >>");
      else if (k < 2 * levels)
        rest.push_back("<< /Type /Pages /Kids [" + std::to_string(k + 1) + " 0 R " +
                       std::to_string(k + 2) + " 0 R] >>");
      else
        rest.push_back("<< /Type /Pages /Kids [" + std::to_string(k + 1) + " 0 R] >>");
    }
    loaded l(tree_pdf("<< /Type /Pages /Kids [3 0 R 4 0 R] >>", rest));
    if (levels <= 65536) {
      ASSERT_EQ(l.rc, 0) << l.err();
      ASSERT_EQ(l.doc.pages.count, levels);
      for (int i = 0; i < levels; i++) ASSERT_EQ(l.doc.pages.items[i].num, 3 + 2 * i);
    } else {
      EXPECT_EQ(l.rc, -1);
      EXPECT_NE(l.err().find("page tree is nested more than 65536 levels deep"),
                std::string::npos)
          << l.err();
    }
  }
}

// A flat /Kids array of many pages (as qpdf writes large documents) keeps
// every page.
TEST(Pages, LargeFlatKids) {
  std::string kids;
  std::vector<std::string> rest;
  for (int i = 0; i < 3000; i++) {
    kids += std::to_string(i + 3) + " 0 R ";
    rest.push_back("<< /Type /Page >>");
  }
  // The root's /Count sizes the page list at first; whatever it says, the
  // pages are the tree's, and no more room is taken than the file's
  // objects could fill.
  for (const char *count : {"", "/Count 3000", "/Count 1500", "/Count 5000", "/Count 50000",
                            "/Count 999999999999", "/Count -5", "/Count (3000)"}) {
    SCOPED_TRACE(count);
    loaded l(tree_pdf(std::string("<< /Type /Pages ") + count + " /Kids [" + kids + "] >>",
                      rest));
    ASSERT_EQ(l.rc, 0) << l.err();
    ASSERT_EQ(l.doc.pages.count, 3000);
    EXPECT_EQ(l.doc.pages.items[0].num, 3);
    EXPECT_EQ(l.doc.pages.items[2999].num, 3002);
    EXPECT_LE(l.doc.pages.cap, 6000);
  }
}

TEST(Pages, KidsArrayForms) {
  loaded l(tree_pdf("<< /Type /Pages /Kids 9 0 R /Kids [3 0 R x 4 R <5> 0 0 R 3] >>",
                    {"<< /Type /Page >>", "<< /Type /Page >>"}));
  ASSERT_EQ(l.rc, 0) << l.err();
  EXPECT_EQ(l.page_nums(), (std::vector<int32_t>{3, 4, 3}));
}

TEST(Pages, CyclesTerminate) {
  // 2 -> [3 4], 3 -> [2 5]: the walk must not go round 2 -> 3 -> 2 ...
  loaded a(tree_pdf("<< /Type /Pages /Kids [3 0 R 4 0 R] >>",
                    {"<< /Type /Pages /Kids [2 0 R 5 0 R] >>", "<< /Type /Page >>",
                     "<< /Type /Page >>"}));
  ASSERT_EQ(a.rc, 0) << a.err();
  EXPECT_EQ(a.page_nums(), (std::vector<int32_t>{5, 4}));

  // A node listing itself twice: 2^64 walks without protection.
  loaded b(tree_pdf("<< /Type /Pages /Kids [2 0 R 2 0 R 3 0 R] >>", {"<< /Type /Page >>"}));
  ASSERT_EQ(b.rc, 0) << b.err();
  EXPECT_EQ(b.page_nums(), (std::vector<int32_t>{3}));

  // A page listed twice by different nodes stays listed twice.
  loaded c(tree_pdf("<< /Type /Pages /Kids [3 0 R 4 0 R] >>",
                    {"<< /Type /Pages /Kids [5 0 R] >>", "<< /Type /Pages /Kids [5 0 R] >>",
                     "<< /Type /Page >>"}));
  ASSERT_EQ(c.rc, 0) << c.err();
  EXPECT_EQ(c.page_nums(), (std::vector<int32_t>{5, 5}));
}

TEST(Pages, InlineKidsStopTheNode) {
  loaded l(tree_pdf("<< /Type /Pages /Kids [3 0 R 4 0 R] >>",
                    {"<< /Type /Page >>",
                     "<< /Type /Pages /Kids [5 0 R << /Type /Page >>] >>",
                     "<< /Type /Page >>"}));
  ASSERT_EQ(l.rc, 0) << l.err();
  EXPECT_EQ(l.page_nums(), (std::vector<int32_t>{3}));
}

TEST(Pages, WalkFromPageItself) {
  std::string s = "%PDF\n3 0 obj << /Type /Page /MediaBox [0 0 5 5] >> endobj\n";
  indexed ix(s);
  page_vec pv = {};
  walk_pages(ix.doc.data, ix.doc.size, &ix.doc.objects, 3, -1, 0, 0, 612, 792, &pv, 0);
  ASSERT_EQ(pv.count, 1);
  EXPECT_EQ(pv.items[0].parent, -1);
  EXPECT_EQ(pv.items[0].media_w, 5);
  EXPECT_EQ(pv.cap, 16);
  arr_free(pv.items);
}

// A key given more than once: the first usable value counts (a box that is
// no box, a type that is neither, kids that are no array are passed over),
// also past the few repeats the walk notes in its one pass.
TEST(Pages, RepeatedKeys) {
  loaded l(tree_pdf(
      "<< /Type /Pages /Kids 9 /Kids [3 0 R 4 0 R 5 0 R 6 0 R] >>",
      {"<< /Type /Page /MediaBox null /MediaBox [0 0 30 40] >>",
       "<< /Type /Foo /Type /Page /MediaBox [0 0 50 60] /MediaBox [0 0 1 1] >>",
       "<< /Type /Page /MediaBox 1 /MediaBox 2 /MediaBox 3 /MediaBox 4 /MediaBox 5 "
       "/MediaBox [0 0 70 80] >>",
       "<< /Type /Pages /Type /Page /CropBox (x) /CropBox [1 2 11 22] >>"}));
  ASSERT_EQ(l.rc, 0) << l.err();
  ASSERT_EQ(l.page_nums(), (std::vector<int32_t>{3, 4, 5}));
  const double widths[] = {30, 50, 70};
  for (int i = 0; i < 3; i++) EXPECT_EQ(l.doc.pages.items[i].media_w, widths[i]);
}

// Leaves of the page tree without /Type are pages.
TEST(Pages, LeafWithoutTypeIsAPage) {
  loaded l(tree_pdf("<< /Type /Pages /Kids [3 0 R 4 0 R 5 0 R] >>",
                        {"<< /MediaBox [0 0 10 20] >>", "<< /Type /Page >>",
                         "<< /Kids [] >>"}));
  ASSERT_EQ(l.rc, 0) << l.err();
  EXPECT_EQ(l.page_nums(), (std::vector<int32_t>{3, 4}));
  EXPECT_EQ(l.doc.pages.items[0].media_w, 10);
}

// ---- hostile inputs: must finish, with the results of the plain rules ---------

TEST(Hostile, ManyUnclosedDictionaries) {
  // 40,000 objects whose dictionaries never close within 1 MiB; the last 100
  // are closed by ">>" at the end. Each object's end must be what the plain
  // closing scan says, without a walk to the end of the file per object.
  std::string s = "%PDF-1.4\n";
  std::vector<int32_t> dict_pos;
  for (int i = 1; i <= 40000; i++) {
    s += std::to_string(i) + " 0 obj\n";
    dict_pos.push_back((int32_t)s.size());
    s += "<< /K (pad pad pad pad pad pad)\n";
  }
  for (int i = 0; i < 100; i++) s += ">>\n";
  indexed ix(s);
  EXPECT_EQ(ix.doc.objects.count, 100);
  for (int32_t i = 0; i < 40000; i += 997) {
    SCOPED_TRACE(i);
    int32_t c = find_dict_close(s.data(), (int32_t)s.size(), dict_pos[(size_t)i], 0);
    const pdf_obj *o = ix.find(i + 1);
    if (c < 0) {
      EXPECT_EQ(o, nullptr);
    } else {
      ASSERT_NE(o, nullptr);
      EXPECT_EQ(o->endobj_off, c + 2);
    }
  }
  for (int32_t i = 39900; i < 40000; i++) {
    int32_t c = find_dict_close(s.data(), (int32_t)s.size(), dict_pos[(size_t)i], 0);
    ASSERT_GE(c, 0);
    ASSERT_NE(ix.find(i + 1), nullptr);
    EXPECT_EQ(ix.find(i + 1)->endobj_off, c + 2);
  }
}

TEST(Hostile, ManyTrailersAfterOneTable) {
  std::string s = classic_pdf({"<< /Type /Catalog /Pages 2 0 R >>", k_pages2, k_page},
                              "<< /Size 4 >>");
  size_t sx = s.rfind("startxref");
  std::string tail = s.substr(sx);
  s.resize(sx);
  for (int i = 0; i < 100000; i++) s += "trailer\n<< /Size 4 /Root -1 >>\n";
  s += "trailer\n<< /Root 1 0 R /Info 3 0 R >>\n" + tail;
  loaded l(s);
  ASSERT_EQ(l.rc, 0) << l.err();
  EXPECT_EQ(l.doc.root, 1);
  EXPECT_EQ(l.doc.info, 3);
}

TEST(Hostile, SharedSubtreesStopWithinBounds) {
  // Three levels of 1024 references to one node: 2^30 paths to the page.
  std::string kids3, kids4, kids5;
  for (int i = 0; i < 1024; i++) {
    kids3 += "3 0 R ";
    kids4 += "4 0 R ";
    kids5 += "5 0 R ";
  }
  loaded l(tree_pdf("<< /Type /Pages /Kids [" + kids3 + "] >>",
                    {"<< /Type /Pages /Kids [" + kids4 + "] >>",
                     "<< /Type /Pages /Kids [" + kids5 + "] >>", "<< /Type /Page >>"}));
  ASSERT_EQ(l.rc, 0) << l.err();
  EXPECT_GT(l.doc.pages.count, 1024);
  EXPECT_LE(l.doc.pages.count, 1 << 23);
  for (int32_t i = 0; i < l.doc.pages.count; i += 4099) EXPECT_EQ(l.doc.pages.items[i].num, 5);
}

}  // namespace
