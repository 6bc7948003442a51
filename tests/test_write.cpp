// Overlay, resource merging, new object list and formatting helpers of the
// writer, on dictionary texts of small in-memory documents.

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "page_edit.h"
#include "pdf_write.h"
#include "text_arena.h"
#include "test_util.h"

namespace {

// A document indexed from the given file text (no xref needed for the index).
struct mem_doc {
  pdf_doc doc;
  explicit mem_doc(const std::string &text) {
    memset(&doc, 0, sizeof doc);
    doc.data = static_cast<char *>(malloc(text.size() + 1));
    memcpy(doc.data, text.data(), text.size());
    doc.data[text.size()] = 0;
    doc.size = static_cast<int32_t>(text.size());
    doc_index_objects(&doc);
  }
  ~mem_doc() { doc_free(&doc); }
};

struct ov_holder {
  overlay ov;
  ov_holder() { ov_init(&ov); }
  ~ov_holder() { ov_free(&ov); }
};

std::string objs_text(const std::vector<std::pair<int, std::string>> &objs) {
  std::string s = "%PDF-1.4\n";
  for (const auto &o : objs)
    s += std::to_string(o.first) + " 0 obj\n" + o.second + "\nendobj\n";
  return s;
}

std::map<int, std::string> ov_map(const overlay &ov) {
  std::map<int, std::string> m;
  for (int32_t i = 0; i < ov.count; i++) m[ov.keys[i]] = ov.texts[i];
  return m;
}

char *dup(const char *s) { return strdup(s); }

// The same edits: the same texts, and the objects first changed in the same
// order (the incremental writer follows it).
void expect_same_edits(const overlay &a, const overlay &b) {
  EXPECT_EQ(ov_map(a), ov_map(b));
  ASSERT_EQ(a.count, b.count);
  for (int i = 0; i < a.count; i++) EXPECT_EQ(a.keys[i], b.keys[i]);
}

}  // namespace

TEST(Overlay, ReplaceInPlaceKeepsOrderAndCount) {
  ov_holder h;
  overlay *ov = &h.ov;
  EXPECT_EQ(ov_get(ov, 1), nullptr);
  ov_add(ov, 7, dup("<< /A 1 >>"));
  ov_add(ov, 3, dup("<< /B 2 >>"));
  ov_add(ov, 9, nullptr);  // null changes nothing
  EXPECT_EQ(ov->count, 2);
  ov_add(ov, 7, dup("<< /A 3 >>"));
  ASSERT_EQ(ov->count, 2);
  EXPECT_EQ(ov->keys[0], 7);
  EXPECT_EQ(ov->keys[1], 3);
  EXPECT_STREQ(ov_get(ov, 7), "<< /A 3 >>");
  EXPECT_STREQ(ov_get(ov, 3), "<< /B 2 >>");
  EXPECT_EQ(ov_get(ov, 9), nullptr);
  EXPECT_EQ(ov->cap, 16);
  ov_free(ov);
  EXPECT_EQ(ov->count, 0);
  EXPECT_EQ(ov->cap, 0);
  EXPECT_EQ(ov->keys, nullptr);
  EXPECT_EQ(ov->failed, 0);
}

TEST(Overlay, ManyEntriesFoundByHash) {
  // Grown as entries come, or with room made at once part-way (the table
  // rebuilt around the entries it holds).
  for (int64_t reserve_at : {-1, 0, 777}) {
    SCOPED_TRACE(reserve_at);
    ov_holder h;
    overlay *ov = &h.ov;
    // Numbers that collide on a power-of-two table as well as dense ones.
    std::vector<int32_t> nums;
    for (int32_t i = 1; i <= 10000; i++) nums.push_back(i * 4096);
    for (int32_t i = 1; i <= 10000; i++) nums.push_back(i);
    for (size_t k = 0; k < nums.size(); k++) {
      if ((int64_t)k == reserve_at) {
        ov_reserve(ov, 20000);
        EXPECT_GE(ov->cap, 20000);
      }
      ov_add(ov, nums[k], dup(std::to_string(nums[k]).c_str()));
    }
    ASSERT_EQ(ov->count, 20000 - 2);  // 4096 and 8192 occur twice
    EXPECT_EQ(ov->failed, 0);
    for (int32_t n : nums) {
      const char *t = ov_get(ov, n);
      ASSERT_NE(t, nullptr) << n;
      EXPECT_EQ(std::string(t), std::to_string(n));
    }
    EXPECT_EQ(ov_get(ov, 10001), nullptr);
    EXPECT_EQ(ov_get(ov, 0), nullptr);
    EXPECT_EQ(ov_get(ov, -4096), nullptr);
    // Replacing keeps first-added order.
    ov_add(ov, 4096, dup("x"));
    EXPECT_EQ(ov->keys[0], 4096);
    EXPECT_STREQ(ov->texts[0], "x");
    EXPECT_STREQ(ov_get(ov, 4096), "x");
    for (int32_t i = 1; i < ov->count; i++) EXPECT_NE(ov->keys[i], 4096);
  }
}

// Texts for a large job come from the overlay's arena (builds with
// AddressSanitizer have none: every text is malloc'ed there). Each keeps
// its bytes while thousands more are cut after it, across blocks; a text
// replaced, whichever its origin, is given back the right way (free() on
// an arena text aborts); texts too large for a block are malloc'ed.
TEST(Overlay, TextsFromTheArenaStayApartAndAreFreedRight) {
  ov_holder h;
  overlay *ov = &h.ov;
  ov_reserve(ov, 100);
  EXPECT_EQ(ov->arena, nullptr);  // few entries: malloc
  ov_reserve(ov, 5000);
  const bool arena = ov->arena != nullptr;
  // Sizes from one byte to past the arena's largest text; 5 MB in all.
  const size_t sizes[] = {1, 7, 8, 9, 300, 4095, 4097, 65536, 65537, 200000};
  std::vector<std::string> want;
  size_t in_arena = 0;
  for (int i = 0; i < 3000; i++) {
    const size_t n = sizes[i % 10] + (i % 3);
    char *t = ov_text_alloc(ov, n + 1);
    ASSERT_NE(t, nullptr);
    if (arena && ta_holds(ov->arena, t)) {
      in_arena++;
      EXPECT_LE(n + 1, size_t{65536}) << n;
    }
    std::string s(n, static_cast<char>('a' + i % 26));
    memcpy(t, s.c_str(), n + 1);
    ov_add(ov, i + 1, t);
    want.push_back(s);
  }
  if (arena) {
    EXPECT_GT(in_arena, 2000u);
  }
  // Replaced: arena texts by malloc'ed ones and by arena ones, and the
  // other way round; a text replaced by itself stays.
  for (int i = 0; i < 3000; i += 7) {
    char *t = i % 2 ? dup("m") : ov_text_alloc(ov, 2);
    if (!(i % 2)) memcpy(t, "z", 2);
    ov_add(ov, i + 1, t);
    want[static_cast<size_t>(i)] = i % 2 ? "m" : "z";
  }
  ov_add(ov, 2, const_cast<char *>(ov_get(ov, 2)));
  for (int i = 0; i < 3000; i++)
    ASSERT_EQ(std::string(ov_get(ov, i + 1)), want[static_cast<size_t>(i)]) << i;
  // Given back unowned.
  ov_text_free(ov, ov_text_alloc(ov, 10));
  ov_text_free(ov, ov_text_alloc(ov, 100000));
  ov_text_free(ov, nullptr);
  EXPECT_FALSE(ta_holds(ov->arena, &want));
  EXPECT_FALSE(ta_holds(nullptr, &want));
}

TEST(Overlay, CurrentTextOverlayFirstThenInput) {
  mem_doc d(objs_text({{1, "<< /Type /Catalog >>"},
                       {2, "[1 2 3]"},
                       {4, "<< /Length 3 >>\nstream\nabc\nendstream"}}));
  ov_holder h;
  char *t = get_obj_dict_text(&d.doc, &h.ov, 1);
  ASSERT_NE(t, nullptr);
  EXPECT_STREQ(t, "<< /Type /Catalog >>");
  free(t);
  EXPECT_EQ(get_obj_dict_text(&d.doc, &h.ov, 2), nullptr);  // no dictionary
  EXPECT_EQ(get_obj_dict_text(&d.doc, &h.ov, 3), nullptr);  // missing
  t = get_obj_dict_text(&d.doc, &h.ov, 4);
  ASSERT_NE(t, nullptr);
  EXPECT_STREQ(t, "<< /Length 3 >>");
  free(t);
  ov_add(&h.ov, 1, dup("<< /Type /Catalog /X 1 >>"));
  t = get_obj_dict_text(&d.doc, &h.ov, 1);
  EXPECT_STREQ(t, "<< /Type /Catalog /X 1 >>");
  free(t);
}

TEST(Overlay, CurrentTextOfObjectFromObjectStream) {
  std::string packed = "3 0 << /Type /Page /Parent 2 0 R >>";
  std::string file = "%PDF-1.5\n10 0 obj\n<< /Type /ObjStm /N 1 /First 4 /Length " +
                     std::to_string(packed.size()) + " >>\nstream\n" + packed +
                     "\nendstream\nendobj\n";
  mem_doc d(file);
  ov_holder h;
  char *t = get_obj_dict_text(&d.doc, &h.ov, 3);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(std::string(t).find("<< /Type /Page /Parent 2 0 R >>"), 0u);
  free(t);
  page_info pg{};
  pg.num = 3;
  pg.parent = 2;
  EXPECT_EQ(res_merge_entry(&d.doc, &h.ov, &pg, "Font", "KpWmF1", 57), 1);
  ASSERT_NE(ov_get(&h.ov, 3), nullptr);
  EXPECT_NE(std::string(ov_get(&h.ov, 3))
                .find("/Resources << /Font << /KpWmF1 57 0 R >> >>"),
            std::string::npos);
}

// The suffix that keeps the classic resource names new: none in a file
// without this library's names, one above every earlier suffix otherwise,
// names inside object streams included.
TEST(Overlay, StampNameSuffix) {
  auto packed = [](const std::string &obj) {
    std::string body = "3 0 " + obj;
    return "%PDF-1.5\n10 0 obj\n<< /Type /ObjStm /N 1 /First 4 /Length " +
           std::to_string(body.size()) + " >>\nstream\n" + body + "\nendstream\nendobj\n";
  };
  struct row {
    const char *name;
    std::string file;
    const char *suffix;
  } rows[] = {
      {"none", "%PDF-1.4\n1 0 obj << /Font << /F1 2 0 R >> >> endobj\n", ""},
      {"K without the name", "%PDF-1.4\n1 0 obj << /KpW 1 /Kp 2 /XKpWm 3 >> endobj\nK", ""},
      {"classic name", "%PDF-1.4\n1 0 obj << /ExtGState << /KpWmGS 2 0 R >> >> endobj\n", "_2"},
      {"at the very start", "/KpWmF1", "_2"},
      {"earlier suffixes", "%PDF-1.4\n<< /KpWmGS_2 1 0 R /KpWmF1_7 2 0 R /KpWmIm_3 3 0 R >>", "_8"},
      {"a number without underscore", "%PDF-1.4\n<< /KpWmGS12 1 0 R >>", "_2"},
      {"packed", packed("<< /XObject << /KpWmIm_4 5 0 R >> >>"), "_5"},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.name);
    mem_doc d(r.file);
    EXPECT_EQ(res_name_suffix(&d.doc), r.suffix);
  }
}

struct merge_case {
  const char *name;
  const char *res;
  const char *category;
  const char *res_name;
  const char *expected;
  std::map<int, std::string> overlay_after;
};

TEST(Merge, IntoDictText) {
  // Object 8 is a category dictionary, 9 already holds the name, 11 is not a
  // dictionary.
  mem_doc d(objs_text({{8, "<< /F1 5 0 R >>"},
                       {9, "<< /KpWmF1 3 0 R >>"},
                       {11, "42"}}));
  const merge_case cases[] = {
      {"category absent", "<< /ProcSet [/PDF] >>", "Font", "KpWmF1",
       "<< /ProcSet [/PDF]  /Font << /KpWmF1 57 0 R >> >>", {}},
      {"inline category", "<< /Font << /F1 5 0 R >> >>", "Font", "KpWmF1",
       "<< /Font << /F1 5 0 R  /KpWmF1 57 0 R >> >>", {}},
      {"existing name kept", "<< /Font << /KpWmF1 9 0 R >> >>", "Font",
       "KpWmF1", "<< /Font << /KpWmF1 9 0 R >> >>", {}},
      {"longer name is another name", "<< /Font << /KpWmF12 9 0 R >> >>",
       "Font", "KpWmF1", "<< /Font << /KpWmF12 9 0 R  /KpWmF1 57 0 R >> >>", {}},
      {"category by reference", "<< /Font 8 0 R >>", "Font", "KpWmF1",
       "<< /Font 8 0 R >>", {{8, "<< /F1 5 0 R  /KpWmF1 57 0 R  >>"}}},
      {"referenced category has the name", "<< /Font 9 0 R >>", "Font",
       "KpWmF1", "<< /Font 9 0 R >>", {}},
      // A category that names no dictionary holds nothing: it is replaced.
      {"unresolvable reference", "<< /Font 99 0 R >>", "Font", "KpWmF1",
       "<<  /Font << /KpWmF1 57 0 R >> >>", {}},
      {"reference to a non-dictionary", "<< /Font 11 0 R >>", "Font", "KpWmF1",
       "<<  /Font << /KpWmF1 57 0 R >> >>", {}},
      {"category is a name", "<< /Font /Helv >>", "Font", "KpWmF1",
       "<<  /Font << /KpWmF1 57 0 R >> >>", {}},
      {"category is null", "<< /Font null /X 1 >>", "Font", "KpWmF1",
       "<< /X 1  /Font << /KpWmF1 57 0 R >> >>", {}},
      {"category without value", "<< /Font", "Font", "KpWmF1", "<< /Font", {}},
      {"unclosed category", "<< /Font << /F1 5 0 R >>", "Font", "KpWmF1",
       "<< /Font << /F1 5 0 R  /KpWmF1 57 0 R >>", {}},
      {"similar category name", "<< /Fonts << >> >>", "Font", "KpWmF1",
       "<< /Fonts << >>  /Font << /KpWmF1 57 0 R >> >>", {}},
      {"graphics state", "<<>>", "ExtGState", "KpWmGS",
       "<< /ExtGState << /KpWmGS 57 0 R >> >>", {}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    ov_holder h;
    char *out = merge_into_dict_text(&d.doc, &h.ov, dup(c.res), c.category,
                                     c.res_name, 57);
    ASSERT_NE(out, nullptr);
    EXPECT_STREQ(out, c.expected);
    free(out);
    EXPECT_EQ(ov_map(h.ov), c.overlay_after);
  }
}

TEST(Merge, ReferencedCategoryAlreadyInOverlay) {
  mem_doc d(objs_text({{8, "<< /F1 5 0 R >>"}}));
  ov_holder h;
  ov_add(&h.ov, 8, dup("<< /F1 5 0 R /F2 6 0 R >>"));
  char *out = merge_into_dict_text(&d.doc, &h.ov, dup("<< /Font 8 0 R >>"),
                                   "Font", "KpWmF1", 57);
  free(out);
  EXPECT_STREQ(ov_get(&h.ov, 8), "<< /F1 5 0 R /F2 6 0 R  /KpWmF1 57 0 R  >>");
  // A second merge of the same name changes nothing more.
  out = merge_into_dict_text(&d.doc, &h.ov, dup("<< /Font 8 0 R >>"), "Font",
                             "KpWmF1", 57);
  free(out);
  EXPECT_STREQ(ov_get(&h.ov, 8), "<< /F1 5 0 R /F2 6 0 R  /KpWmF1 57 0 R  >>");
  EXPECT_EQ(h.ov.count, 1);
}

struct res_case {
  const char *name;
  std::vector<std::pair<int, std::string>> objs;
  int page, parent;
  int result;
  std::map<int, std::string> overlay_after;
};

TEST(Merge, ResourcesOfPage) {
  const res_case cases[] = {
      {"inline resources on the page",
       {{3, "<< /Type /Page /Parent 2 0 R /Resources << /ProcSet [/PDF] >> >>"},
        {2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>"}},
       3, 2, 1,
       {{3, "<< /Type /Page /Parent 2 0 R /Resources << /ProcSet [/PDF]  /Font "
            "<< /KpWmF1 57 0 R >> >> >>"}}},
      {"resources by reference",
       {{3, "<< /Type /Page /Parent 2 0 R /Resources 4 0 R >>"},
        {4, "<< /Font << /F1 5 0 R >> >>"}},
       3, 2, 1,
       {{4, "<< /Font << /F1 5 0 R  /KpWmF1 57 0 R >> >>"}}},
      {"category by reference",
       {{3, "<< /Type /Page /Resources << /Font 8 0 R >> >>"},
        {8, "<< /F1 5 0 R >>"}},
       3, 0, 1,
       {{8, "<< /F1 5 0 R  /KpWmF1 57 0 R  >>"}}},
      {"existing name unchanged",
       {{3, "<< /Type /Page /Resources << /Font << /KpWmF1 9 0 R >> >> >>"}},
       3, 0, 1,
       {}},
      {"parent holds inline resources",
       {{3, "<< /Type /Page /Parent 2 0 R >>"},
        {2, "<< /Type /Pages /Kids [3 0 R] /Count 1 /Resources << /Font << /F1 "
            "5 0 R >> >> >>"}},
       3, 2, 1,
       {{2, "<< /Type /Pages /Kids [3 0 R] /Count 1 /Resources << /Font << /F1 "
            "5 0 R  /KpWmF1 57 0 R >> >> >>"}}},
      {"parent holds resources by reference",
       {{3, "<< /Type /Page /Parent 2 0 R >>"},
        {2, "<< /Type /Pages /Kids [3 0 R] /Count 1 /Resources 6 0 R >>"},
        {6, "<< /ProcSet [/PDF] >>"}},
       3, 2, 1,
       {{6, "<< /ProcSet [/PDF]  /Font << /KpWmF1 57 0 R >> >>"}}},
      {"grandparent holds inline resources",
       {{3, "<< /Type /Page /Parent 2 0 R >>"},
        {2, "<< /Type /Pages /Parent 1 0 R /Kids [3 0 R] /Count 1 >>"},
        {1, "<< /Type /Pages /Kids [2 0 R] /Count 1 /Resources << /Font << /F1 "
            "5 0 R >> >> >>"}},
       3, 2, 1,
       {{1, "<< /Type /Pages /Kids [2 0 R] /Count 1 /Resources << /Font << /F1 "
            "5 0 R  /KpWmF1 57 0 R >> >> >>"}}},
      {"great-grandparent holds resources by reference",
       {{3, "<< /Type /Page /Parent 2 0 R >>"},
        {2, "<< /Type /Pages /Parent 1 0 R /Kids [3 0 R] /Count 1 >>"},
        {1, "<< /Type /Pages /Parent 7 0 R /Kids [2 0 R] /Count 1 >>"},
        {7, "<< /Type /Pages /Kids [1 0 R] /Count 1 /Resources 8 0 R >>"},
        {8, "<< /Font << /F1 5 0 R >> >>"}},
       3, 2, 1,
       {{8, "<< /Font << /F1 5 0 R  /KpWmF1 57 0 R >> >>"}}},
      {"no resources anywhere",
       {{3, "<< /Type /Page /Parent 2 0 R >>"},
        {2, "<< /Type /Pages /Parent 1 0 R /Kids [3 0 R] /Count 1 >>"},
        {1, "<< /Type /Pages /Kids [2 0 R] /Count 1 >>"}},
       3, 2, 1,
       {{3, "<< /Type /Page /Parent 2 0 R  /Resources << /Font << /KpWmF1 57 0 "
            "R >> >> >>"}}},
      {"parent loop without resources",
       {{3, "<< /Type /Page /Parent 2 0 R >>"},
        {2, "<< /Type /Pages /Parent 6 0 R /Kids [3 0 R] >>"},
        {6, "<< /Type /Pages /Parent 2 0 R /Kids [2 0 R] >>"}},
       3, 2, 1,
       {{3, "<< /Type /Page /Parent 2 0 R  /Resources << /Font << /KpWmF1 57 0 "
            "R >> >> >>"}}},
      {"parent points back at the page",
       {{3, "<< /Type /Page /Parent 2 0 R >>"},
        {2, "<< /Type /Pages /Parent 3 0 R /Kids [3 0 R] >>"}},
       3, 2, 1,
       {{3, "<< /Type /Page /Parent 2 0 R  /Resources << /Font << /KpWmF1 57 0 "
            "R >> >> >>"}}},
      {"unusable own resources fall back to the parent",
       {{3, "<< /Type /Page /Parent 2 0 R /Resources 99 0 R >>"},
        {2, "<< /Type /Pages /Resources << >> >>"}},
       3, 2, 1,
       {{2, "<< /Type /Pages /Resources <<  /Font << /KpWmF1 57 0 R >> >> >>"},
        {3, "<< /Type /Page /Parent 2 0 R >>"}}},
      // Readers disagree on whether such an entry stops the inheritance, and
      // it holds nothing: it goes, and the entry reaches the root's.
      {"intermediate /Resources that is no dictionary",
       {{3, "<< /Type /Page /Parent 2 0 R >>"},
        {2, "<< /Type /Pages /Parent 1 0 R /Resources [1] >>"},
        {1, "<< /Type /Pages /Resources << >> >>"}},
       3, 2, 1,
       {{1, "<< /Type /Pages /Resources <<  /Font << /KpWmF1 57 0 R >> >> >>"},
        {2, "<< /Type /Pages /Parent 1 0 R >>"}}},
      {"own /Resources null and none above",
       {{3, "<< /Type /Page /Resources null /Parent 2 0 R >>"},
        {2, "<< /Type /Pages >>"}},
       3, 2, 1,
       {{3, "<< /Type /Page /Parent 2 0 R  /Resources << /Font << /KpWmF1 57 0 R >> >> >>"}}},
      {"page missing", {{2, "<< /Type /Pages >>"}}, 3, 2, 0, {}},
      {"page without dictionary", {{3, "[1 2]"}}, 3, 0, 0, {}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    mem_doc d(objs_text(c.objs));
    ov_holder h;
    page_info pg{};
    pg.num = c.page;
    pg.parent = c.parent;
    EXPECT_EQ(res_merge_entry(&d.doc, &h.ov, &pg, "Font", "KpWmF1", 57),
              c.result);
    EXPECT_EQ(ov_map(h.ov), c.overlay_after);
    // Merging the same entry again changes nothing more.
    auto before = ov_map(h.ov);
    res_merge_entry(&d.doc, &h.ov, &pg, "Font", "KpWmF1", 57);
    EXPECT_EQ(ov_map(h.ov), before);
  }
}

TEST(Merge, SecondCategoryJoinsTheNewResources) {
  mem_doc d(objs_text({{3, "<< /Type /Page /Parent 2 0 R >>"},
                       {2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>"}}));
  ov_holder h;
  page_info pg{};
  pg.num = 3;
  pg.parent = 2;
  ASSERT_EQ(res_merge_entry(&d.doc, &h.ov, &pg, "Font", "KpWmF1", 5), 1);
  ASSERT_EQ(res_merge_entry(&d.doc, &h.ov, &pg, "ExtGState", "KpWmGS", 4), 1);
  EXPECT_STREQ(ov_get(&h.ov, 3),
               "<< /Type /Page /Parent 2 0 R  /Resources << /Font << /KpWmF1 "
               "5 0 R >>  /ExtGState << /KpWmGS 4 0 R >> >> >>");
  EXPECT_EQ(h.ov.count, 1);
}

TEST(Merge, PagesSharingAnInheritedDictionaryChangeItOnce) {
  mem_doc d(objs_text(
      {{1, "<< /Type /Pages /Kids [2 0 R] /Count 2 /Resources << /Font << /F1 "
           "9 0 R >> >> >>"},
       {2, "<< /Type /Pages /Parent 1 0 R /Kids [3 0 R 4 0 R] /Count 2 >>"},
       {3, "<< /Type /Page /Parent 2 0 R >>"},
       {4, "<< /Type /Page /Parent 2 0 R >>"}}));
  ov_holder h;
  for (int p : {3, 4}) {
    page_info pg{};
    pg.num = p;
    pg.parent = 2;
    EXPECT_EQ(res_merge_entry(&d.doc, &h.ov, &pg, "Font", "KpWmF1", 57), 1);
    EXPECT_EQ(res_merge_entry(&d.doc, &h.ov, &pg, "ExtGState", "KpWmGS", 56), 1);
  }
  EXPECT_EQ(ov_map(h.ov),
            (std::map<int, std::string>{
                {1, "<< /Type /Pages /Kids [2 0 R] /Count 2 /Resources << /Font "
                    "<< /F1 9 0 R  /KpWmF1 57 0 R >>  /ExtGState << /KpWmGS 56 0 "
                    "R >> >> >>"}}));
}

// The one-edit merge of a page's entries gives what merging them one by one
// gives: the same texts, the same order of first change (the incremental
// writer follows it); pages it does not take are left untouched (0).
TEST(Merge, OneEditMergeEqualsOneByOne) {
  const res_entry adds[] = {{"Font", "KpWmF1", 57}, {"XObject", "KpWmFm", 58},
                          {"ExtGState", "KpWmGS", 56}};
  struct {
    const char *name;
    const char *page;
    int taken;  // what res_merge_page returns
  } cases[] = {
      {"no category yet", "<< /Type /Page /Resources << /ProcSet [/PDF] >> /Contents 5 0 R >>", 1},
      {"font dictionary object", "<< /Type /Page /Resources << /Font 9 0 R >> >>", 1},
      {"all three as objects",
       "<< /Resources << /Font 9 0 R /XObject 10 0 R /ExtGState 11 0 R >> >>", 1},
      {"name there already", "<< /Resources << /Font 12 0 R >> >>", 1},
      {"comment and string in the resources",
       "<< /Resources << /P (>> x) % >>\n /Font 9 0 R >> /Z 1 >>", 1},
      {"category written in place", "<< /Resources << /Font << /F1 9 0 R >> >> >>", 0},
      {"resources by reference", "<< /Resources 13 0 R >>", 0},
      {"no resources", "<< /Type /Page /Parent 2 0 R >>", 0},
      {"category naming no dictionary", "<< /Resources << /Font 14 0 R >> >>", 0},
      {"category naming the page", "<< /Resources << /Font 3 0 R >> >>", 0},
      {"resources that do not close", "<< /Resources << /Font 9 0 R", 0},
  };
  const std::vector<std::pair<int, std::string>> others = {
      {2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>"},
      {9, "<< /F1 20 0 R >>"},
      {10, "<< >>"},
      {11, "<< /G0 21 0 R >>"},
      {12, "<< /KpWmF1 57 0 R >>"},
      {13, "<< /Font 9 0 R >>"},
      {14, "[1 2]"}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    auto objs = others;
    objs.push_back({3, c.page});
    mem_doc d(objs_text(objs));
    page_info pg{};
    pg.num = 3;
    pg.parent = 2;
    ov_holder one, each, all;
    ASSERT_EQ(res_merge_page(&d.doc, &one.ov, &pg, adds, 3), c.taken);
    int each_ok = 1;
    for (const res_entry &a : adds)
      each_ok &= res_merge_entry(&d.doc, &each.ov, &pg, a.category, a.name, a.num);
    // res_merge_all: the one edit where it applies, one by one elsewhere.
    EXPECT_EQ(res_merge_all(&d.doc, &all.ov, &pg, adds, 3, nullptr), each_ok);
    EXPECT_EQ(ov_map(all.ov), ov_map(each.ov));
    if (!c.taken) {
      EXPECT_EQ(one.ov.count, 0);
      continue;
    }
    EXPECT_EQ(each_ok, 1);
    expect_same_edits(one.ov, each.ov);
  }
  // Two entries of one category: merged one by one.
  const res_entry twice[] = {{"Font", "A", 1}, {"Font", "B", 2}};
  mem_doc d(objs_text({{3, "<< /Resources << >> >>"}}));
  page_info pg{};
  pg.num = 3;
  ov_holder h;
  EXPECT_EQ(res_merge_page(&d.doc, &h.ov, &pg, twice, 2), 0);
}

// The one-pass edit of the common page gives what the merge and then the
// /Contents rewrite give: the same texts, the same order of first change,
// the same refusal. Pages it does not take (0) are left untouched, for
// the general way.
TEST(PageEdit, OnePassEqualsMergeThenRewrite) {
  const res_entry adds[] = {{"Properties", "KpWmOC7", 57}, {"XObject", "KpWmFm", 58},
                          {"Font", "KpWmF1", 59}};
  struct {
    const char *name;
    const char *page;
    int taken;  // what pe_stamp_common returns
  } cases[] = {
      {"contents after the resources",
       "<< /Type /Page /Resources << /ProcSet [/PDF] >>\n/Contents 5 0 R\n>>", 1},
      {"contents before the resources",
       "<< /Contents 5 0 R /Resources << /Font 9 0 R >> /Rotate 90 >>", 1},
      {"contents right after the close", "<</Resources<<>>/Contents 5 0 R>>", 1},
      {"tab before contents", "<< /Resources << /Font 9 0 R >>\t/Contents 5 0 R >>", 1},
      {"contents array", "<< /Resources << >> /Contents [5 0 R 6 0 R] >>", 1},
      {"contents names an array object", "<< /Resources << >> /Contents 15 0 R >>", 1},
      {"contents null", "<< /Resources << >> /Contents null >>", 1},
      {"contents names a missing object", "<< /Resources << >> /Contents 99 0 R >>", 1},
      {"keys spelt with escapes", "<< /Re#73ources << >> /Con#74ents 5 0 R >>", 1},
      {"strings and comments around",
       "<< /T (>> /Contents 7 0 R) /Resources << /P (<<) >> % /Contents 8 0 R\n"
       "/Contents 5 0 R >> % end", 1},
      {"every category an object",
       "<< /Resources << /Font 9 0 R /XObject 10 0 R /Properties 11 0 R >> /Contents 5 0 R >>",
       1},
      {"no contents", "<< /Resources << >> >>", 0},
      {"two contents entries", "<< /Contents 5 0 R /Resources << >> /Contents 6 0 R >>", 0},
      // Taking both out leaves a text that does not close: an error, not
      // "out of memory".
      {"two contents entries, a stray '>'",
       "<</Resources<<>>/Contents [5 0 R] >/Contents 5 0 R>>", 0},
      {"contents without a value", "<< /Resources << >> /Contents >>", 0},
      {"a word right after the contents", "<< /Resources << >> /Contents [5 0 R]x 1 >>", 0},
      {"contents a number", "<< /Resources << >> /Contents 5 >>", 0},
      {"resources by reference", "<< /Resources 13 0 R /Contents 5 0 R >>", 0},
      {"category written in place",
       "<< /Resources << /Font << /F1 9 0 R >> >> /Contents 5 0 R >>", 0},
      {"no resources", "<< /Type /Page /Contents 5 0 R >>", 0},
  };
  const std::vector<std::pair<int, std::string>> others = {
      {2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>"},
      {5, "<< /Length 2 >>\nstream\nq\n\nendstream"},
      {6, "<< /Length 2 >>\nstream\nQ\n\nendstream"},
      {9, "<< /F1 20 0 R >>"},
      {10, "<< >>"},
      {11, "<< /P0 21 0 R >>"},
      {13, "<< /Font 9 0 R >>"},
      {15, "[5 0 R 6 0 R]"}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    auto objs = others;
    objs.push_back({3, c.page});
    mem_doc d(objs_text(objs));
    page_info pg{};
    pg.num = 3;
    pg.parent = 2;
    ov_holder one, general;
    set_error("");
    const char *view;
    int64_t view_len;
    ASSERT_TRUE(dict_text_view(&d.doc, &one.ov, 3, &view, &view_len));
    ASSERT_EQ(pe_stamp_common(&d.doc, &one.ov, 3, view, view_len, adds, 3, 40, 41, 42),
              c.taken);
    int general_ok = res_merge_all(&d.doc, &general.ov, &pg, adds, 3, nullptr);
    if (general_ok) {
      const char *t;
      int64_t len;
      ASSERT_TRUE(dict_text_view(&d.doc, &general.ov, 3, &t, &len));
      char *text = pe_rewrite_contents(&d.doc, t, len, 40, 41, 42);
      general_ok = text != nullptr;
      ov_add(&general.ov, 3, text);
    }
    if (!c.taken) {
      EXPECT_EQ(one.ov.count, 0);
      continue;
    }
    EXPECT_EQ(general_ok, 1) << get_error();
    expect_same_edits(one.ov, general.ov);
    // The stamp's streams frame the page's content, or stand alone.
    const std::string page = ov_get(&one.ov, 3);
    EXPECT_TRUE(page.find("/Contents [ 40 0 R ") != std::string::npos ||
                page.find("/Contents 42 0 R") != std::string::npos)
        << page;
  }
}

// Broken files where a category or resources reference names the holder
// itself: the merge must not read a text it has just replaced.
TEST(Merge, SelfReferencesStayMemorySafe) {
  const char *pages[] = {
      "<< /Type /Page /Resources << /Font 3 0 R >> >>",
      "<< /Type /Page /Resources 3 0 R >>",
      "<< /Type /Page /Parent 2 0 R >>",
  };
  for (const char *page : pages) {
    SCOPED_TRACE(page);
    mem_doc d(objs_text({{3, page},
                         {2, "<< /Type /Pages /Resources << /Font 2 0 R >> >>"}}));
    ov_holder h;
    page_info pg{};
    pg.num = 3;
    pg.parent = 2;
    ov_add(&h.ov, 3, dup(page));
    ov_add(&h.ov, 2, dup("<< /Type /Pages /Resources << /Font 2 0 R >> >>"));
    for (const char *cat : {"Font", "ExtGState", "Font"})
      EXPECT_EQ(res_merge_entry(&d.doc, &h.ov, &pg, cat, "KpWmF1", 57), 1);
    EXPECT_EQ(h.ov.failed, 0);
  }
}

TEST(NewObjects, PushGrowsFrom32ByDoubling) {
  new_object *objs = nullptr;
  int count = 0, cap = 0;
  for (int i = 0; i < 100; i++) {
    char *d = fmt_alloc("<< /N %d >>", i);
    uint8_t *data = static_cast<uint8_t *>(malloc(1));
    data[0] = static_cast<uint8_t>(i);
    ASSERT_EQ(push_obj(&objs, &count, &cap, i + 1, d, data, 1, 1), 1);
    if (i == 0) {
      EXPECT_EQ(cap, 32);
    } else if (i == 32) {
      EXPECT_EQ(cap, 64);
    } else if (i == 64) {
      EXPECT_EQ(cap, 128);
    }
  }
  EXPECT_EQ(count, 100);
  for (int i = 0; i < count; i++) {
    EXPECT_EQ(objs[i].num, i + 1);
    EXPECT_EQ(std::string(objs[i].dict), "<< /N " + std::to_string(i) + " >>");
    EXPECT_EQ(objs[i].data[0], i);
    EXPECT_EQ(objs[i].has_stream, 1);
    free(objs[i].dict);
    free(objs[i].data);
  }
  arr_free(objs);
}

TEST(NewObjects, FormatAllocAnyLength) {
  for (size_t n : {0u, 1u, 1022u, 1023u, 1024u, 1025u, 5000u}) {
    SCOPED_TRACE(n);
    std::string s(n, 'x');
    char *t = fmt_alloc("[%s]", s.c_str());
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(std::string(t), "[" + s + "]");
    free(t);
  }
}
