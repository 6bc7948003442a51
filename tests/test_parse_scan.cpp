// Error text, byte buffer, object vector, arena and the dictionary scanners.

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "pdf_marks.h"
#include "pdf_parse.h"

namespace {

int32_t len32(const std::string &s) { return (int32_t)s.size(); }

// ---- error text --------------------------------------------------------------

TEST(ErrorText, LongMessageIsCutTo1023Bytes) {
  std::string path(2000, 'p');
  set_error("cannot open %s: %s", path.c_str(), "x");
  EXPECT_EQ(strlen(get_error()), 1023u);
  EXPECT_EQ(std::string(get_error()).substr(0, 12), "cannot open ");
  EXPECT_EQ(get_error(), g_err);
}

TEST(ErrorText, EmptyFormatClears) {
  set_error("x %d", 5);
  EXPECT_STREQ(get_error(), "x 5");
  set_error("%s", "");
  EXPECT_STREQ(get_error(), "");
}

// ---- byte buffer --------------------------------------------------------------

TEST(ByteBuf, FirstAppendAllocates64KiB) {
  byte_buf b = {};
  buf_str(&b, "abc");
  ASSERT_NE(b.data, nullptr);
  EXPECT_EQ(b.cap, 65536u);
  EXPECT_EQ(b.len, 3u);
  EXPECT_EQ(b.data[3], 0);
  buf_free(&b);
  EXPECT_EQ(b.data, nullptr);
  EXPECT_EQ(b.cap, 0u);
}

TEST(ByteBuf, InitAllocatesAndTerminates) {
  byte_buf b;
  buf_init(&b);
  ASSERT_NE(b.data, nullptr);
  EXPECT_EQ(b.cap, 65536u);
  EXPECT_EQ(b.len, 0u);
  EXPECT_EQ(b.data[0], 0);
  EXPECT_EQ(b.failed, 0);
  buf_free(&b);
}

TEST(ByteBuf, Appending64KiBDoublesOnce) {
  byte_buf b = {};
  std::vector<char> big(65536, 'z');
  buf_bytes(&b, big.data(), big.size());
  EXPECT_EQ(b.cap, 131072u);
  EXPECT_EQ(b.len, 65536u);
  EXPECT_EQ(b.data[65536], 0);
  EXPECT_EQ(memcmp(b.data, big.data(), big.size()), 0);
  buf_free(&b);
}

TEST(ByteBuf, GrowthKeepsContent) {
  byte_buf b = {};
  std::string expect;
  for (int i = 0; i < 100000; i++) {
    buf_int(&b, i);
    buf_str(&b, " ");
    expect += std::to_string(i) + " ";
  }
  ASSERT_EQ(b.len, expect.size());
  EXPECT_EQ(std::string(b.data, b.len), expect);
  EXPECT_GE(b.cap, b.len + 1);
  EXPECT_EQ(b.cap & (b.cap - 1), 0u);  // 64 KiB doubled: a power of two
  buf_free(&b);
}

TEST(ByteBuf, IntForms) {
  struct {
    int32_t v;
    const char *s;
  } cases[] = {{-5, "-5"}, {0, "0"}, {INT32_MAX, "2147483647"},
               {INT32_MIN, "-2147483648"}, {100, "100"}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.s);
    byte_buf b = {};
    buf_int(&b, c.v);
    ASSERT_NE(b.data, nullptr);
    EXPECT_STREQ(b.data, c.s);
    buf_free(&b);
  }
}

TEST(ByteBuf, EmptyStringsAllocateNothing) {
  byte_buf b = {};
  buf_str(&b, nullptr);
  buf_str(&b, "");
  buf_bytes(&b, "x", 0);
  EXPECT_EQ(b.data, nullptr);
  EXPECT_EQ(b.len, 0u);
  EXPECT_EQ(b.cap, 0u);
}

TEST(ByteBuf, PrintfAnyLength) {
  byte_buf b = {};
  buf_str(&b, "<<");
  std::string long_name(100000, 'N');
  buf_printf(&b, " /%s %d >>", long_name.c_str(), 42);
  std::string expect = "<< /" + long_name + " 42 >>";
  ASSERT_EQ(b.len, expect.size());
  EXPECT_EQ(std::string(b.data), expect);
  buf_free(&b);
}

TEST(ByteBuf, FailedGrowthIsSticky) {
  byte_buf b = {};
  buf_str(&b, "head");
  // A size no allocator grants: the buffer gives up its storage.
  buf_reserve(&b, SIZE_MAX - 8);
  EXPECT_EQ(b.failed, 1);
  EXPECT_EQ(b.data, nullptr);
  EXPECT_EQ(b.len, 0u);
  EXPECT_EQ(b.cap, 0u);
  // Later appends must not start a fresh (truncated) buffer.
  buf_str(&b, "tail");
  buf_int(&b, 7);
  buf_printf(&b, "%s", "more");
  buf_bytes(&b, "x", 1);
  EXPECT_EQ(b.data, nullptr);
  EXPECT_EQ(b.len, 0u);
  EXPECT_EQ(b.failed, 1);
  buf_free(&b);
  EXPECT_EQ(b.failed, 0);
}

// ---- object vector and arena -----------------------------------------------------

pdf_obj rec(int32_t num, int32_t tag) {
  pdf_obj o;
  memset(&o, 0, sizeof o);
  o.num = num;
  o.hdr_off = tag;
  return o;
}

TEST(ObjVec, GrowsFrom128To256KeepingRecords) {
  obj_vec v = {};
  for (int32_t i = 0; i < 128; i++) {
    pdf_obj r = rec(i + 1, i);
    ASSERT_NE(objvec_push(&v, &r), nullptr);
  }
  EXPECT_EQ(v.cap, 128);
  pdf_obj r = rec(129, 128);
  pdf_obj *p = objvec_push(&v, &r);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->num, 129);
  EXPECT_EQ(v.cap, 256);
  EXPECT_EQ(v.count, 129);
  for (int32_t i = 0; i < 129; i++) {
    EXPECT_EQ(v.items[i].num, i + 1);
    EXPECT_EQ(v.items[i].hdr_off, i);
  }
  objvec_free(&v);
  EXPECT_EQ(v.items, nullptr);
  EXPECT_EQ(v.count, 0);
}

TEST(ObjVec, FindReturnsFirstOfDuplicatesWithAndWithoutTable) {
  obj_vec v = {};
  EXPECT_EQ(obj_find(&v, 1), nullptr);
  pdf_obj a = rec(5, 1), b = rec(5, 2), c = rec(7, 3), big = rec(9000000, 4);
  objvec_push(&v, &a);
  objvec_push(&v, &b);
  objvec_push(&v, &c);
  objvec_push(&v, &big);
  for (int pass = 0; pass < 2; pass++) {
    SCOPED_TRACE(pass ? "with table" : "linear");
    ASSERT_NE(obj_find(&v, 5), nullptr);
    EXPECT_EQ(obj_find(&v, 5)->hdr_off, 1);
    EXPECT_EQ(obj_find(&v, 7)->hdr_off, 3);
    EXPECT_EQ(obj_find(&v, 6), nullptr);
    EXPECT_EQ(obj_find(&v, 0), nullptr);
    EXPECT_EQ(obj_find(&v, -1), nullptr);
    EXPECT_EQ(obj_find(&v, 100), nullptr);
    ASSERT_NE(obj_find(&v, 9000000), nullptr);
    EXPECT_EQ(obj_find(&v, 9000000)->hdr_off, 4);
    objvec_index(&v);
    // One number far beyond the count of records: searched, not tabled.
    EXPECT_EQ(v.by_num, nullptr);
    ASSERT_NE(v.by_pair, nullptr);
  }
  // Pushes after the table was built stay visible, with first-record order.
  pdf_obj d = rec(7, 5), e = rec(50, 6), f = rec(3, 7);
  objvec_push(&v, &d);
  objvec_push(&v, &e);
  objvec_push(&v, &f);
  EXPECT_EQ(obj_find(&v, 7)->hdr_off, 3);
  ASSERT_NE(obj_find(&v, 50), nullptr);
  EXPECT_EQ(obj_find(&v, 50)->hdr_off, 6);
  ASSERT_NE(obj_find(&v, 3), nullptr);
  EXPECT_EQ(obj_find(&v, 3)->hdr_off, 7);
  objvec_free(&v);
}

TEST(ObjVec, FailedVectorRefusesPushes) {
  obj_vec v = {};
  pdf_obj a = rec(1, 0);
  objvec_push(&v, &a);
  v.failed = 1;
  EXPECT_EQ(objvec_push(&v, &a), nullptr);
  EXPECT_EQ(v.count, 1);
  objvec_free(&v);
}

// An array keeps its first `keep` bytes whatever kind of memory it moves
// between (malloc'ed, or a mapping of its own from k_arr_map_min bytes up
// when it is filled at once), and every byte of the new size is usable.
TEST(ArrRealloc, KeepsBytesAcrossKinds) {
  const size_t big = k_arr_map_min + 4096, small = 1000;
  struct {
    const char *name;
    size_t first;
    bool first_fill;
    size_t second;
    bool second_fill;
  } rows[] = {
      {"small, grown small", small, true, 3 * small, false},
      {"small, grown large and filled", small, false, 3 * big, true},
      {"large, grown larger", big, true, 3 * big, true},
      {"large, grown larger, not filled", big, true, 2 * big, false},
      {"large, made small", big, true, small, false},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.name);
    unsigned char *p = static_cast<unsigned char *>(arr_realloc(nullptr, 0, r.first, r.first_fill));
    ASSERT_NE(p, nullptr);
    for (size_t i = 0; i < r.first; i++) p[i] = static_cast<unsigned char>(i * 7 + 1);
    const size_t keep = std::min(r.first, r.second);
    unsigned char *q = static_cast<unsigned char *>(arr_realloc(p, keep, r.second, r.second_fill));
    ASSERT_NE(q, nullptr);
    size_t wrong = 0;
    for (size_t i = 0; i < keep; i++) wrong += q[i] != static_cast<unsigned char>(i * 7 + 1);
    EXPECT_EQ(wrong, 0u);
    memset(q, 0xAB, r.second);
    arr_free(q);
  }
  arr_free(nullptr);
  // As a vector's memory: large and small vectors, moved and grown.
  std::vector<int64_t, arr_alloc<int64_t>> v;
  for (int64_t i = 0; i < 200000; i++) v.push_back(i);
  std::vector<int64_t, arr_alloc<int64_t>> w;
  w.swap(v);
  EXPECT_EQ(w.size(), 200000u);
  EXPECT_EQ(w[199999], 199999);
  w.resize(10);
  w.shrink_to_fit();
  EXPECT_EQ(w[9], 9);
}

TEST(Arena, GrowsListAndFreesAll) {
  arena a = {};
  for (int i = 0; i < 20; i++) {
    void *p = arena_alloc(&a, 16);
    ASSERT_NE(p, nullptr);
    memset(p, i, 16);
  }
  EXPECT_EQ(a.count, 20);
  EXPECT_EQ(a.cap, 32);
  arena_free(&a);
  EXPECT_EQ(a.blocks, nullptr);
  EXPECT_EQ(a.count, 0);
  EXPECT_EQ(a.cap, 0);
}

// ---- scanners -----------------------------------------------------------------

// The text with every '@' made a zero byte.
std::string zeros(std::string s) {
  for (char &c : s)
    if (c == '@') c = 0;
  return s;
}

TEST(Scan, SkipWs) {
  std::string t = std::string("\0\t\n\f\r x", 7);
  EXPECT_EQ(skip_ws(t.data(), 0, len32(t)), 6);
  EXPECT_EQ(skip_ws(t.data(), 0, 3), 3);
  EXPECT_EQ(skip_ws(t.data(), 9, 7), 9);
}

TEST(Scan, KwAt) {
  struct {
    const char *text;
    int32_t pos;
    const char *kw;
    int expect;
  } cases[] = {
      {"12 0 obj<<", 5, "obj", 1},   {"endobj", 3, "obj", 0},
      {"objects", 0, "obj", 0},      {"x obj", 2, "obj", 1},
      {"obj", 0, "obj", 1},          {"ob", 0, "obj", 0},
      {"endstream", 3, "stream", 0}, {"stream\r\n", 0, "stream", 1},
      {"(obj)", 1, "obj", 1},        {"obj", -1, "obj", 0},
      {"9obj", 1, "obj", 0},         {"obj9", 0, "obj", 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.text) + " @" + std::to_string(c.pos));
    EXPECT_EQ(kw_at(c.text, c.pos, (int32_t)strlen(c.text), c.kw), c.expect);
  }
  // The keyword ending exactly at the range end (byte after is outside).
  EXPECT_EQ(kw_at("xobjx", 1, 4, "obj"), 0);  // byte before is a letter
  EXPECT_EQ(kw_at(" objx", 1, 4, "obj"), 1);
}

TEST(Scan, FindKw) {
  struct {
    const char *text;
    int32_t start;
    const char *kw;
    int32_t expect;
  } cases[] = {
      {"xtrailer trailer", 0, "trailer", 9},
      {"endobj obj", 0, "obj", 7},
      {"endobj obj", -5, "obj", 7},
      {"abc", 0, "obj", -1},
      {"obj obj", 1, "obj", 4},
      {"oooobj", 0, "obj", -1},
      {"o obj", 0, "obj", 2},
      {"startxref startxref", 10, "startxref", 10},
      {"", 0, "obj", -1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(find_kw(c.text, (int32_t)strlen(c.text), c.start, c.kw), c.expect);
  }
  // Results must not depend on bytes beyond `end`.
  EXPECT_EQ(find_kw("1 0 objX", 7, 0, "obj"), 4);
  EXPECT_EQ(find_kw("1 0 ob", 5, 0, "obj"), -1);
}

TEST(Scan, ParseIntAt) {
  struct {
    std::string text;
    int64_t pos;
    int64_t value;
    int64_t new_pos;
  } cases[] = {
      {"  -12 0 R", 0, -12, 5},
      {"+7", 0, 7, 2},
      {"- 5", 0, -1, 0},
      {"abc", 0, -1, 0},
      {std::string("\x01 5"), 0, -1, 0},
      {"42", 0, 42, 2},
      {"  ", 0, -1, 0},
      {"-", 0, -1, 0},
      {"007x", 0, 7, 3},
      {"x 13", 1, 13, 4},
      {"\n\r\t\f 9", 0, 9, 6},
      {"2147483647", 0, 2147483647, 10},
      // Offsets of files past 2 GiB; no wrap (4294967297 is not 1).
      {"2147483648", 0, 2147483648LL, 10},
      {"4294967297", 0, 4294967297LL, 10},
      {"9999999999", 0, 9999999999LL, 10},
      // Saturates at 2^61 - 1: a position plus a length never overflows.
      {"2305843009213693951", 0, k_int_most, 19},
      {"2305843009213693952", 0, k_int_most, 19},
      {"99999999999999999999", 0, k_int_most, 20},
      {"-99999999999999999999", 0, -k_int_most, 21},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text);
    int64_t pos = c.pos;
    EXPECT_EQ(parse_int_at(c.text.data(), len32(c.text), &pos), c.value);
    EXPECT_EQ(pos, c.new_pos);
  }
  int64_t pos = 0;
  EXPECT_EQ(parse_int_at("123", 2, &pos), 12);  // stops at the range end
  EXPECT_EQ(pos, 2);
}

TEST(Scan, FindName) {
  struct {
    std::string text;
    const char *name;
    int32_t expect;
  } cases[] = {
      {"<< /Length 5 >>", "Length", 3},
      {"<</Length/X>>", "Length", 2},
      {"<< /Length1 5 >>", "Length", -1},
      {"<< /Length_x 5 >>", "Length", -1},
      {"<< /Length+ 5 >>", "Length", -1},
      {"<< /Length1 5 /Length 6 >>", "Length", 14},
      {"/Length", "Length", 0},  // ends exactly at the range end
      {"<< /Type.x >>", "Type", 3},
      {"(/Type) /Type", "Type", 1},
      {"/Typ", "Type", -1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(find_name(c.text.data(), len32(c.text), 0, len32(c.text), c.name),
              c.expect);
  }
  std::string t = "/Lengthy";
  EXPECT_EQ(find_name(t.data(), len32(t), 0, 7, "Length"), 0);  // range cut
  EXPECT_EQ(find_name(t.data(), 7, 0, 100, "Length"), 0);       // len cut
  EXPECT_EQ(find_name(t.data(), len32(t), -1, len32(t), "Length"), -1);
  EXPECT_EQ(find_name(t.data(), len32(t), 1, len32(t), "Length"), -1);
}

TEST(Scan, DictKeyAtTopLevel) {
  struct {
    std::string text;
    int32_t start;
    int32_t expect;
  } cases[] = {
      {"<< /Resources << /Type /X >> /Type /Page >>", 0, 29},
      {"<< /T (/Type) /Type /Page >>", 0, 14},
      {"<< /T (a\\)/Type) /Type /Page >>", 0, 17},
      {"<< /T ((/Type)) /Type /Page >>", 0, 16},
      {"<< % /Type\n/Type /Page >>", 0, 11},
      {"<< /H <2F54797065> /Type /P >>", 0, 19},
      {"<< /A << /B << /Type /X >> >> >>", 0, -1},
      {" /Type /Page", 0, 1},  // started inside: depth 0 is top level
      {"<< /Types /Page >>", 0, -1},
      {"<< /Type", 0, 3},
      {"<< % open", 0, -1},
      {"<< (open", 0, -1},
      {"<< <abc", 0, -1},
      {"<< /X <", 0, -1},
      {"<< /X >", 0, -1},
      {"<< /X > /Type /P >>", 0, 8},
      {"<< /Ty#70e /Page >>", 0, 3},  // #xx escapes are decoded
      {"<< /Ty#7 1 /Type /Page >>", 0, 11},
      {zeros("<<@/Type@/Page>>"), 0, 3},  // zero bytes are whitespace
      {zeros("<< /K (a@b /Type) /Type /P >>"), 0, 18},
      {"<< % comment >> /Type\n/Type /P >>", 0, 22},
      {"<< /A [ /Type ] /B << /Type 1 >> /Type /P >>", 0, 33},
      {"<< /#54ype /Page >>", 0, 3},  // spelt only through an escape
      {"<< /A 1 /Type", 0, 8},         // the range's last bytes
      {"<< /A /Typ", 0, -1},
      {"<< /Tx 1 /Ty 2 /Tz 3 /Tw 4 /Tv 5 /Tu 6 /Type /P >>", 0, 39},
      {"<< /Filler (a long string without the key in it, then) /Type /P >>", 0, 55},
      {"<< /Filler (a long string that has /Type in it, then) /Typ /P >>", 0, -1},
      {"<< /Filler (a long string without the key in it, then) /Ty#70e /P >>", 0, 55},
  };
  // Every case again behind 1 to 40 bytes of whitespace: the key and the
  // bytes that matter fall at every place of a 16-byte block.
  for (int shift = 0; shift <= 40; shift++)
    for (const auto &c : cases) {
      const std::string text = std::string(static_cast<size_t>(shift), ' ') + c.text;
      SCOPED_TRACE(text);
      EXPECT_EQ(dict_key_at(text.data(), c.start, len32(text), "Type"),
                c.expect < 0 ? -1 : c.expect + shift);
    }
}

TEST(Scan, DictTextAt) {
  struct {
    std::string text;
    int32_t pos;
    const char *expect;  // NULL: no dictionary
  } cases[] = {
      {"<< /A (x>>y) /B << /C 1 >> >> trailing", 0,
       "<< /A (x>>y) /B << /C 1 >> >>"},
      {"<< /A 1", 0, nullptr},
      {"<abc>", 0, nullptr},
      {"<< /S (\\\\) /U 1 >> x", 0, "<< /S (\\\\) /U 1 >>"},
      {"<< /S (\\)>>) /U 1 >> x", 0, "<< /S (\\)>>) /U 1 >>"},
      {"<< /S (a(b)c>>) >>", 0, "<< /S (a(b)c>>) >>"},
      {"xx<<>>", 2, "<<>>"},
      {"<<", 0, nullptr},
      {"<< (unterminated >>", 0, nullptr},
      {"<< /A <41> >>", 0, "<< /A <41> >>"},
      {"<< /Long (a string of more than sixteen bytes >> ) /B <</C 1>> >> x", 0,
       "<< /Long (a string of more than sixteen bytes >> ) /B <</C 1>> >>"},
      {"<< /Long [ 1 2 3 4 5 6 7 8 9 10 11 12 13 14 ] % comment >>\n/D 4 >> x", 0,
       "<< /Long [ 1 2 3 4 5 6 7 8 9 10 11 12 13 14 ] % comment >>\n/D 4 >>"},
      {"<< /Long [ 1 2 3 4 5 6 7 8 9 10 11 12 13 14 ] > >", 0, nullptr},
  };
  // Behind 0 to 40 other bytes: what matters falls at every place of a
  // 16-byte block.
  for (int shift = 0; shift <= 40; shift++)
    for (const auto &c : cases) {
      const std::string text = std::string(static_cast<size_t>(shift), 'x') + c.text;
      SCOPED_TRACE(text);
      char *d = dict_text_at(text.data(), len32(text), c.pos + shift);
      if (!c.expect) {
        EXPECT_EQ(d, nullptr);
      } else {
        ASSERT_NE(d, nullptr);
        EXPECT_STREQ(d, c.expect);
      }
      free(d);
    }
  // The closing ">>" must lie inside the range.
  std::string t = "<< /A 1 >>";
  EXPECT_EQ(find_dict_close(t.data(), len32(t), 0, 0), 8);
  EXPECT_EQ(find_dict_close(t.data(), len32(t), 0, 9), -1);
  EXPECT_EQ(find_dict_close(t.data(), len32(t), 0, 10), 8);
  EXPECT_EQ(find_dict_close(t.data(), 9, 0, 100), -1);
}

TEST(Scan, DictStreamKw) {
  struct {
    std::string text;
    int32_t expect;
  } cases[] = {
      {"<< /Length 3 >>\r\nstream\r\nabc", 17},
      {"<< >> endstream", -1},
      {"<< >>stream", 5},
      {"<< >> streamx", -1},
      {"<< >> \n\n", -1},
      {"<< /A << >> ", -1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(dict_stream_kw(c.text.data(), len32(c.text), 0), c.expect);
  }
}

TEST(Scan, StripDictEntry) {
  struct {
    const char *dict;
    const char *key;
    const char *expect;
  } cases[] = {
      {"<< /Type /Page /Resources 5 0 R /Contents 6 0 R >>", "Resources",
       "<< /Type /Page /Contents 6 0 R >>"},
      {"<< /Contents [4 0 R 5 0 R] >>", "Contents", "<< >>"},
      {"<< /FontFile 3 0 R >>", "Font", "<< /FontFile 3 0 R >>"},
      {"<< /R << /A (>>) /B << >> >> /X 1 >>", "R", "<< /X 1 >>"},
      {"<< /H <00ff> /X 1 >>", "H", "<< /X 1 >>"},
      {"<< /A [1 [2] (]) 3] /X 1 >>", "A", "<< /X 1 >>"},
      {"<< /S (a(b)\\)c) /X 1 >>", "S", "<< /X 1 >>"},
      {"<< /N /Name/X 1 >>", "N", "<</X 1 >>"},
      {"<< /K 12 /X 1 >>", "K", "<< /X 1 >>"},
      {"<< /K true/X 1 >>", "K", "<</X 1 >>"},
      {"<< /K 1 /K 2 0 R /X 1 >>", "K", "<< /X 1 >>"},
      // Only the dictionary's own entries: nested ones stay.
      {"<< /Sub << /K 1 >> >>", "K", "<< /Sub << /K 1 >> >>"},
      {"<< /K [1 2", "K", "<< /K [1 2"},
      {"<< /K << /A 1", "K", "<< /K << /A 1"},
      {"<< /K", "K", "<< /K"},
      {"<< /K ", "K", "<< /K "},
      {"<< /K (open", "K", "<< /K (open"},
      {"/K 1", "K", ""},
      {"<< /K 5 0 obj >>", "K", "<< 0 obj >>"},
      {"<< /Cont#65nts 4 0 R /X 1 >>", "Contents", "<< /X 1 >>"},
      {"<< /A << /Contents 1 >> /Contents 2 >>", "Contents", "<< /A << /Contents 1 >> >>"},
      {"<< /S (/Contents 1) /Contents 2 >>", "Contents", "<< /S (/Contents 1) >>"},
      {"<< % /Contents 1\n/Contents 2 >>", "Contents", "<< % /Contents 1\n >>"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.dict) + " - " + c.key);
    std::string buf = c.dict;
    std::vector<char> d(buf.begin(), buf.end());
    d.push_back(0);
    strip_dict_entry(d.data(), c.key);
    EXPECT_STREQ(d.data(), c.expect);
  }
}

// A copy of a dictionary text never holds a zero byte: inside a literal
// string it becomes the escape \000 (a backslash before it too), elsewhere
// a space; everything else is kept.
TEST(Scan, DictCopyWritesZeroBytesAsTheyRead) {
  struct {
    std::string in;
    const char *out;
  } cases[] = {
      {"<< /A 1 >>", "<< /A 1 >>"},
      {zeros("<<@/A (x@y)@>>"), "<< /A (x\\000y) >>"},
      {zeros("(a\\@b)"), "(a\\000b)"},
      {zeros("(\\(@) @"), "(\\(\\000)  "},
      {zeros("<0@1> % c@\n"), "<0 1> % c \n"},
      {zeros("((@)@)@"), "((\\000)\\000) "},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.out);
    char *s = dict_copy(c.in.data(), c.in.size());
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s, c.out);
    free(s);
  }
}

TEST(Scan, TokensAndValues) {
  // kind, then the end of the value that starts there.
  struct {
    std::string text;
    int kind;
    int32_t start, end, value_end;
  } cases[] = {
      {"  /Na#20me/X", SYN_NAME, 2, 10, 10},
      {"(a\\)b(c)d)x", SYN_STRING, 0, 10, 10},
      {"(open", SYN_STRING, 0, 5, -1},
      {"<41 42>>", SYN_HEX, 0, 7, 7},
      {"% c >>\n<< /A (>>) >> x", SYN_DICT, 7, 9, 20},
      {"[1 [2] (]) <5D>] x", SYN_ARRAY, 0, 1, 16},
      {"[ << /A ] >> ]", SYN_ARRAY, 0, 1, 9},
      {"[ (open", SYN_ARRAY, 0, 1, -1},
      {"[ <abc", SYN_ARRAY, 0, 1, -1},
      {"[ % ] comment\n 1 ] x", SYN_ARRAY, 0, 1, 18},
      {"[ % ] comment\r 1 ] x", SYN_ARRAY, 0, 1, 18},
      {"[ 1 2", SYN_ARRAY, 0, 1, -1},
      {"[[[]]] x", SYN_ARRAY, 0, 1, 6},
      {"[ /N#5D ] x", SYN_ARRAY, 0, 1, 9},
      {"[ (a\\) ]) ] x", SYN_ARRAY, 0, 1, 11},
      {"[ <<>> >> > ] x", SYN_ARRAY, 0, 1, 13},
      {"[ 0 0 595.276 841.89 ] /Rotate 0", SYN_ARRAY, 0, 1, 22},
      {"[ 4 0 R 5 0 R 6 0 R 7 0 R 8 0 R 9 0 R 10 0 R ]", SYN_ARRAY, 0, 1, 46},
      // A string, then a nested array and a comment, past the first 24 bytes.
      {"[ 1 2 3 4 5 6 7 8 9 10 11 (]) ] x", SYN_ARRAY, 0, 1, 31},
      {"[ 1 2 3 4 5 6 7 8 9 10 1 [ ] % ]\n ] x", SYN_ARRAY, 0, 1, 35},
      {"12 0 R /X", SYN_WORD, 0, 2, 6},
      {"12 0 obj", SYN_WORD, 0, 2, 2},
      {"12 R", SYN_WORD, 0, 2, 2},
      {"1 0 R/X", SYN_WORD, 0, 1, 5},
      {"1\n0\rR>>", SYN_WORD, 0, 1, 5},
      {"1 0 R", SYN_WORD, 0, 1, 5},
      {"1 0 Rx", SYN_WORD, 0, 1, 1},
      {"1 0x R", SYN_WORD, 0, 1, 1},
      {"1x 0 R", SYN_WORD, 0, 2, 2},
      {"1 0", SYN_WORD, 0, 1, 1},
      {"1 0 ", SYN_WORD, 0, 1, 1},
      {"1 % c\n0 R", SYN_WORD, 0, 1, 9},
      {"1 0 % c\rR /A", SYN_WORD, 0, 1, 9},
      {"1 0 (R)", SYN_WORD, 0, 1, 1},
      {"1 -0 R", SYN_WORD, 0, 1, 1},
      {"99999999999999999999 0 R", SYN_WORD, 0, 20, 24},
      {zeros("@null@"), SYN_WORD, 1, 5, 5},
      {">> x", SYN_DICT_END, 0, 2, 2},
      {") x", SYN_OTHER, 0, 1, 1},
      {"  % only", SYN_END, 8, 8, -1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text);
    syn_token k;
    EXPECT_EQ(syn_next(c.text.data(), 0, len32(c.text), &k), c.kind);
    EXPECT_EQ(k.start, c.start);
    EXPECT_EQ(k.end, c.end);
    EXPECT_EQ(syn_value_end(c.text.data(), 0, len32(c.text)), c.value_end);
  }
  // References, read plainly or through the tokens (comments, other words).
  struct {
    std::string text;
    int64_t pos, end;  // end -1: the whole text
    int ok;
    int64_t num, gen;
  } refs[] = {
      {"12 0 R /X", 0, -1, 1, 12, 0},
      {"  7\n\r3 R>>", 0, -1, 1, 7, 3},
      {zeros("@5@0@R"), -4, -1, 1, 5, 0},
      {"5 0 R", 0, 5, 1, 5, 0},
      {"5 0 R", 0, 4, 0, 0, 0},
      {"5 0 Rx", 0, -1, 0, 0, 0},
      {"5 0 R(x)", 0, -1, 1, 5, 0},
      {"1 % c\n0 R", 0, -1, 1, 1, 0},
      {"1 0 % c\rR /A", 0, -1, 1, 1, 0},
      {"1x 0 R", 0, -1, 0, 0, 0},
      {"1 0x R", 0, -1, 0, 0, 0},
      {"1/0 R", 0, -1, 0, 0, 0},
      {"+1 0 R", 0, -1, 0, 0, 0},
      {"1 0 obj", 0, -1, 0, 0, 0},
      {"99999999999999999999 0 R", 0, -1, 1, 2305843009213693951, 0},
  };
  for (const auto &c : refs) {
    SCOPED_TRACE(c.text);
    int64_t num = 0, gen = 0;
    EXPECT_EQ(syn_ref_at(c.text.data(), c.pos, c.end < 0 ? len32(c.text) : c.end, &num, &gen),
              c.ok);
    EXPECT_EQ(num, c.num);
    EXPECT_EQ(gen, c.gen);
  }
  syn_token k;
  std::string n = "/Cont#65nts";
  syn_next(n.data(), 0, len32(n), &k);
  EXPECT_TRUE(syn_name_is(n.data(), &k, "Contents"));
  EXPECT_FALSE(syn_name_is(n.data(), &k, "Cont#65nts"));
}

TEST(Scan, ContainerValueEnds) {
  // A dictionary or array value, then what follows it (-1: it does not end).
  struct {
    std::string value, after;
    bool ends;
  } cases[] = {
      {"<< /A [1 2] /B << /C (x>>]) >> >>", " tail >>", true},
      {"[ 1 << /A 2 >> (]) <5D> % ] a comment\n ]", " ] tail", true},
      {"<< /A % >> a comment\r 1 >>", ">> x", true},
      {"<< /A <41 3E> /B > 1 >>", " x", true},
      {"[ /A]", "B ] x", true},
      {"<< /Long#3E [ 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 ] >>", " x", true},
      {"[ 1 2", "", false},
      {"<< /A (open >> ]", "", false},
      {"<< /A <abc ]", "", false},
      {"<< /A % >> ]", "", false},
  };
  // Behind 0 to 40 bytes of whitespace: the bytes that matter fall at every
  // place of a 16-byte block.
  for (int shift = 0; shift <= 40; shift++)
    for (const auto &c : cases) {
      const std::string text = std::string(static_cast<size_t>(shift), ' ') + c.value + c.after;
      SCOPED_TRACE(text);
      EXPECT_EQ(mk_value_end(text.data(), 0, len32(text)),
                c.ends ? shift + len32(c.value) : -1);
      EXPECT_EQ(find_any(text.data(), 0, len32(text), "(%"),
                static_cast<int64_t>(text.find_first_of("(%") == std::string::npos
                                         ? text.size()
                                         : text.find_first_of("(%")));
    }
}

TEST(Scan, DictAppendBeforeClose) {
  struct {
    const char *dict;
    const char *text;
    const char *expect;  // NULL: unchanged, same pointer
  } cases[] = {
      {"<<>>", " /X 1", "<< /X 1 >>"},
      {"<< /A 1 >>\n", "/B 2", "<< /A 1 /B 2 >>"},
      {"<< /A << /C 1 >> >>  \r\n", " /B 2", "<< /A << /C 1 >>  /B 2 >>"},
      {"<< /A 1", " /B 2", nullptr},
      {"<< /A 1 >", " /B 2", nullptr},
      {"<< /A 1 >>\f", " /B 2", "<< /A 1  /B 2 >>"},  // form feed: whitespace
      {">", " /B 2", nullptr},
      {"", " /B 2", nullptr},
      {"   ", " /B 2", nullptr},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.dict);
    char *d = strdup(c.dict);
    char *r = dict_append_before_close(d, c.text);
    if (!c.expect) {
      EXPECT_EQ(r, d);
      EXPECT_STREQ(r, c.dict);
    } else {
      EXPECT_STREQ(r, c.expect);
    }
    free(r);
  }
}

TEST(Scan, BoxXywhNamed) {
  struct {
    std::string text;
    const char *name;
    int ok;
    double x, y, w, h;
  } cases[] = {
      {"/MediaBox [0 0 595 842]", "MediaBox", 1, 0, 0, 595, 842},
      {"/MediaBox [0.5 -10 100.25 +50]", "MediaBox", 1, 0.5, -10, 99.75, 60},
      // Any two opposite corners, in any order; an empty box is none.
      {"/MediaBox [612 792 0 0]", "MediaBox", 1, 0, 0, 612, 792},
      {"/MediaBox [0 500 400 0]", "MediaBox", 1, 0, 0, 400, 500},
      {"/CropBox [500 150 100 650]", "CropBox", 1, 100, 150, 400, 500},
      {"/MediaBox [5 5 5 10]", "MediaBox", 0, 0, 0, 0, 0},
      {"/MediaBox 12 0 R", "MediaBox", 0, 0, 0, 0, 0},
      {"/MediaBox [.5 5. 10 10]", "MediaBox", 1, 0.5, 5, 9.5, 5},
      {"/MediaBox [0 0 10]", "MediaBox", 0, 0, 0, 0, 0},
      {"/MediaBox [0 0 10", "MediaBox", 0, 0, 0, 0, 0},
      {"/MediaBox 5 /MediaBox [1 2 3 4]", "MediaBox", 1, 1, 2, 2, 2},
      {"/MediaBox [1 1 0 1] /MediaBox [1 2 3 4]", "MediaBox", 1, 1, 2, 2, 2},
      {"/MediaBoxes [1 2 3 4]", "MediaBox", 0, 0, 0, 0, 0},
      // A letter gives 0 without being consumed, so every slot reads it.
      {"/CropBox [x 1 2 3]", "CropBox", 0, 0, 0, 0, 0},
      {"/CropBox [10 20 300 400]", "CropBox", 1, 10, 20, 290, 380},
      // Hundreds of digits overflow to infinity: not a usable box.
      {"/CropBox [0 0 " + std::string(400, '9') + " 5]", "CropBox", 0, 0, 0, 0, 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text);
    double x = -1, y = -1, w = -1, h = -1;
    int r = box_xywh_named(c.text.data(), len32(c.text), 0, c.name, &x, &y, &w, &h);
    EXPECT_EQ(r, c.ok);
    if (c.ok) {
      EXPECT_DOUBLE_EQ(x, c.x);
      EXPECT_DOUBLE_EQ(y, c.y);
      EXPECT_DOUBLE_EQ(w, c.w);
      EXPECT_DOUBLE_EQ(h, c.h);
    } else {
      EXPECT_EQ(x, -1);
      EXPECT_EQ(w, -1);
    }
  }
}

}  // namespace
