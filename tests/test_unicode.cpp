// The embedded fonts, the text plan and the emitted font objects and text
// operators. Glyph ids and metrics are those of data/fonts; where possible
// they are checked against a second reading of the same files (zlib-flate,
// fontTools) rather than only pinned.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "bidi.h"
#include "flate.h"
#include "pdf_unicode.h"
#include "test_util.h"
#include "ttf.h"

namespace {

// data/fonts of the source tree, found from this file's own path.
std::string font_dir() {
  std::string here = __FILE__;
  size_t slash = here.find_last_of("/\\");
  std::string tests = slash == std::string::npos ? "." : here.substr(0, slash);
  return tests + "/../data/fonts";
}
const std::string k_font_dir = font_dir();
const char *const k_font_files[3] = {"dejavu_bold.ttf.z", "droid_fallback.ttf.z",
                                     "nanum_gothic_bold.ttf.z"};
const std::string k_dash = "\xE2\x80\x94";

struct objects {
  new_object *items = nullptr;
  int count = 0;
  int cap = 0;
  ~objects() {
    for (int i = 0; i < count; i++) {
      free(items[i].dict);
      free(items[i].data);
    }
    arr_free(items);
  }
};

struct plan_holder {
  wm_plan p{};
  ~plan_holder() { wm_plan_free(&p); }
};

// Shaped as the extended calls shape (whole fonts), or as the classic ones.
const wm_text_flags k_shaped{0, 1, nullptr, 1};

std::string stream_text(const new_object &o) {
  return std::string(reinterpret_cast<const char *>(o.data), o.len);
}

// ---- font set ---------------------------------------------------------------


// Field by field, so that a failure names the field.
static void expect_metrics(const font_metrics &m, const font_metrics &want) {
  EXPECT_EQ(m.units_per_em, want.units_per_em);
  EXPECT_EQ(m.ascent, want.ascent);
  EXPECT_EQ(m.descent, want.descent);
  EXPECT_EQ(m.bbox_x_min, want.bbox_x_min);
  EXPECT_EQ(m.bbox_y_min, want.bbox_y_min);
  EXPECT_EQ(m.bbox_x_max, want.bbox_x_max);
  EXPECT_EQ(m.bbox_y_max, want.bbox_y_max);
}

TEST(FontSet, TableRows) {
  const unsigned char *data[3] = {g_font_dejavu, g_font_cjk, g_font_hangul};
  const size_t lens[3] = {g_font_dejavu_len, g_font_cjk_len, g_font_hangul_len};
  const char *names[3] = {"DejaVuSans-Bold", "DroidSansFallback",
                          "NanumGothic-Bold"};
  const char *licences[3] = {"DejaVu (Bitstream Vera derivative) licence",
                             "Apache License 2.0", "SIL Open Font License 1.1"};
  for (int i = 0; i < 3; i++) {
    SCOPED_TRACE(i);
    EXPECT_STREQ(g_fonts[i].name, names[i]);
    EXPECT_EQ(std::string(g_fonts[i].res_name), "KpWmF" + std::to_string(i + 1));
    EXPECT_STREQ(g_fonts[i].licence, licences[i]);
    EXPECT_EQ(g_fonts[i].data, data[i]);
    EXPECT_EQ(g_fonts[i].comp_len, lens[i]);
    EXPECT_EQ(g_fonts[i].data[0], 0x78);
    EXPECT_EQ(g_fonts[i].data[1], 0xDA);
    // The compiled-in bytes are the committed file.
    std::vector<uint8_t> file = tu::read_file(k_font_dir + "/" + k_font_files[i]);
    ASSERT_EQ(file.size(), lens[i]);
    EXPECT_EQ(memcmp(file.data(), data[i], lens[i]), 0);
  }
}

TEST(FontSet, InflatesToRawLenAndZlibAgrees) {
  wm_font_cache_clear();
  for (int i = 0; i < 3; i++) {
    SCOPED_TRACE(i);
    ASSERT_EQ(g_raw[i], nullptr);
    const uint8_t *raw = font_raw(i);
    ASSERT_NE(raw, nullptr) << get_error();
    EXPECT_EQ(g_raw[i], raw);
    EXPECT_EQ(g_raw_len[i], g_fonts[i].raw_len);
    EXPECT_EQ(font_raw(i), raw);  // cached
    EXPECT_EQ(raw[0], 0);
    EXPECT_EQ(raw[1], 1);
    EXPECT_EQ(raw[2], 0);
    EXPECT_EQ(raw[3], 0);
  }
  REQUIRE_TOOL("zlib-flate");
  for (int i = 0; i < 3; i++) {
    SCOPED_TRACE(i);
    tu::run_result r = tu::run("zlib-flate -uncompress < '" + k_font_dir + "/" +
                               k_font_files[i] + "'");
    ASSERT_EQ(r.status, 0);
    ASSERT_EQ(r.out.size(), g_raw_len[i]);
    EXPECT_EQ(memcmp(r.out.data(), g_raw[i], g_raw_len[i]), 0);
  }
}

TEST(FontSet, FaceMetrics) {
  struct {
    unsigned index;
    font_metrics want;
  } cases[] = {
      {0, {2048, 1901, -483, -2190, -800, 3817, 2299}},
      {1, {256, 267, -68, 0, -61, 257, 220}},
      {2, {1000, 920, -230, -12, -196, 953, 805}},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.index);
    const font_metrics *m = face_metrics(c.index);
    ASSERT_NE(m, nullptr);
    expect_metrics(*m, c.want);
  }
  EXPECT_EQ(face_metrics(3), nullptr);
  EXPECT_EQ(face_metrics(~0u), nullptr);
}

// Installs a crafted font as cache entry 0 (freed by the cache clear).
void install_font0(const std::vector<uint8_t> &font) {
  wm_font_cache_clear();
  uint8_t *p = static_cast<uint8_t *>(malloc(font.size()));
  memcpy(p, font.data(), font.size());
  g_raw[0] = p;
  g_raw_len[0] = font.size();
}

std::vector<uint8_t> two_table_font(const std::vector<uint8_t> &head,
                                    const std::vector<uint8_t> &hhea) {
  std::vector<uint8_t> f = {0, 1, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0};
  auto rec = [&](const char *tag, size_t off, size_t len) {
    for (int i = 0; i < 4; i++) f.push_back(uint8_t(tag[i]));
    for (int i = 0; i < 4; i++) f.push_back(0);
    for (int s = 24; s >= 0; s -= 8) f.push_back(uint8_t(off >> s));
    for (int s = 24; s >= 0; s -= 8) f.push_back(uint8_t(len >> s));
  };
  rec("head", 44, head.size());
  rec("hhea", 44 + head.size(), hhea.size());
  f.insert(f.end(), head.begin(), head.end());
  f.insert(f.end(), hhea.begin(), hhea.end());
  return f;
}

TEST(FontSet, MetricsFallbacksForShortTables) {
  std::vector<uint8_t> head44(44, 0), hhea8(8, 0);
  head44[18] = 0x04;  // 1024
  head44[36] = 0xFF, head44[37] = 0xF6;  // xMin -10
  head44[42] = 0x03, head44[43] = 0x20;  // yMax 800
  hhea8[4] = 0x02, hhea8[5] = 0xBC;      // 700
  hhea8[6] = 0xFF, hhea8[7] = 0x38;      // -200
  struct {
    const char *name;
    std::vector<uint8_t> head, hhea;
    font_metrics want;
  } cases[] = {
      {"full", head44, hhea8, {1024, 700, -200, -10, 0, 0, 800}},
      {"head 43, hhea 5",
       std::vector<uint8_t>(head44.begin(), head44.end() - 1),
       std::vector<uint8_t>(hhea8.begin(), hhea8.begin() + 5),
       {1024, 1100, -300, -200, -300, 1200, 1100}},
      {"head 19, hhea 7", std::vector<uint8_t>(19, 0),
       std::vector<uint8_t>(hhea8.begin(), hhea8.begin() + 7),
       {1000, 700, -300, -200, -300, 1200, 1100}},
      {"units per em 0", std::vector<uint8_t>(44, 0), hhea8,
       {1000, 700, -200, 0, 0, 0, 0}},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.name);
    install_font0(two_table_font(c.head, c.hhea));
    const font_metrics *m = face_metrics(0);
    ASSERT_NE(m, nullptr);
    expect_metrics(*m, c.want);
  }
  // No hhea at all.
  std::vector<uint8_t> only_head = two_table_font(head44, hhea8);
  memcpy(only_head.data() + 12 + 16, "xxxx", 4);
  install_font0(only_head);
  set_error("");
  EXPECT_EQ(face_metrics(0), nullptr);
  EXPECT_STREQ(get_error(), "embedded font #0 has no head/hhea table");
  wm_font_cache_clear();
}

// A user's font whose characters beyond U+FFFF are only in a format 12
// subtable, and one that has no other subtable: every character fontTools
// maps (its best map prefers the full repertoire) maps to the same glyph
// in the lookup user fonts get.
TEST(FontSet, FullRepertoireSubtablesAgreeWithFontTools) {
  const std::string regular = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
  REQUIRE_PRESENT(tu::exists(regular) &&
                      tu::run("/usr/bin/python3 -c 'import fontTools' 2>/dev/null").status == 0,
                  "judge python3-fonttools and fonts-dejavu-core");
  tu::temp_dir d;
  const char *const variants[] = {"as shipped", "format 12 alone"};
  for (int v = 0; v < 2; v++) {
    SCOPED_TRACE(variants[v]);
    const std::string font = d / "f.ttf";
    const std::string cmd =
        "/usr/bin/python3 -c \"\nimport sys\nfrom fontTools.ttLib import TTFont\n"
        "from fontTools.ttLib.tables._c_m_a_p import CmapSubtable\n"
        "f=TTFont(sys.argv[1])\nm=f.getBestCmap()\nif sys.argv[3]=='1':\n"
        "  t=CmapSubtable.newSubtable(12); t.platformID=3; t.platEncID=10; t.language=0\n"
        "  t.cmap=dict(m); f['cmap'].tables=[t]\nf.save(sys.argv[2])\n"
        "for cp,g in sorted(m.items()): print(cp,f.getGlyphID(g))\n\" '" +
        regular + "' '" + font + "' " + std::to_string(v);
    tu::run_result r = tu::run(cmd);
    ASSERT_EQ(r.status, 0) << r.out;
    std::map<uint32_t, int> want;
    std::istringstream in(r.out);
    uint32_t cp;
    int gid;
    while (in >> cp >> gid) want[cp] = gid;
    ASSERT_GT(want.count(0x1F600), 0u) << "the font maps no character beyond U+FFFF";
    const std::vector<uint8_t> raw = tu::read_file(font);
    const uint8_t *p = raw.data();
    size_t mismatches = 0;
    for (uint32_t c = 0; c <= 0x10FFFF; c += (c < 0x20000 ? 1 : 0x3F1)) {
      int32_t got = ttf_unicode_to_gid_full(p, raw.size(), c);
      auto it = want.find(c);
      int32_t expect = it == want.end() ? -1 : it->second;
      if (it == want.end() && got == 0) got = -1;  // explicit .notdef
      if (got != expect && ++mismatches < 10)
        ADD_FAILURE() << "U+" << std::hex << c << ": " << std::dec << got << " != " << expect;
    }
    EXPECT_EQ(mismatches, 0u);
  }
}

// Every code point of the BMP and beyond, looked up by us and by fontTools.
TEST(FontSet, CmapAndAdvancesAgreeWithFontTools) {
  REQUIRE_PRESENT(tu::run("/usr/bin/python3 -c 'import fontTools' 2>/dev/null").status == 0,
                  "judge python3-fonttools");
  for (int i = 0; i < 3; i++) {
    SCOPED_TRACE(i);
    std::string cmd =
        "/usr/bin/python3 -c \"\nimport sys,zlib,io\nfrom fontTools.ttLib "
        "import TTFont\nf=TTFont(io.BytesIO(zlib.decompress(open(sys.argv[1],"
        "'rb').read())))\nfor cp,g in sorted(f['cmap'].getBestCmap().items()):"
        "\n  print(cp,f.getGlyphID(g),f['hmtx'].metrics[g][0])\n\" '" +
        k_font_dir + "/" + k_font_files[i] + "'";
    tu::run_result r = tu::run(cmd);
    ASSERT_EQ(r.status, 0);
    std::map<uint32_t, std::pair<int, int>> want;
    std::istringstream in(r.out);
    uint32_t cp;
    int gid, adv;
    while (in >> cp >> gid >> adv) want[cp] = {gid, adv};
    ASSERT_GT(want.size(), 1000u);
    const uint8_t *raw = font_raw(i);
    ASSERT_NE(raw, nullptr);
    size_t mismatches = 0;
    for (uint32_t c = 0; c <= 0x10FFFF; c += (c < 0x10000 ? 1 : 0x3F1)) {
      int32_t got = ttf_unicode_to_gid(raw, g_raw_len[i], c);
      auto it = want.find(c);
      int32_t expect = it == want.end() ? -1 : it->second.first;
      if (it == want.end() && got == 0) got = -1;  // explicit .notdef
      if (got != expect && ++mismatches < 10)
        ADD_FAILURE() << "U+" << std::hex << c << ": " << std::dec << got
                      << " != " << expect;
    }
    EXPECT_EQ(mismatches, 0u);
    for (auto &w : want)
      ASSERT_EQ(ttf_advance(raw, g_raw_len[i], w.second.first), w.second.second)
          << "glyph " << w.second.first;
  }
}

TEST(FontSet, Coverage) {
  size_t counts[3] = {0, 0, 0};
  for (int i = 0; i < 3; i++) {
    const uint8_t *raw = font_raw(i);
    ASSERT_NE(raw, nullptr);
    for (uint32_t c = 0; c <= 0xFFFF; c++) {
      if (ttf_unicode_to_gid(raw, g_raw_len[i], c) <= 0) continue;
      counts[i]++;
      SCOPED_TRACE(c);
      EXPECT_FALSE(c < 0x20 || (c >= 0x7F && c < 0xA0)) << "control mapped";
      if (i == 1) {
        EXPECT_FALSE(c < 0x80) << "font 1 maps Basic Latin";
      }
      if (i == 2) {
        EXPECT_TRUE(c >= 0xAC00 && c <= 0xD7A3);
      }
    }
  }
  EXPECT_EQ(counts[0], 1902u);
  EXPECT_EQ(counts[1], 10226u);
  EXPECT_EQ(counts[2], 2350u);
}

TEST(FontSet, InflatedOnlyWhenTriedAndAgainAfterClear) {
  wm_font_cache_clear();
  wm_font_cache_clear();  // twice, and before anything was inflated
  plan_holder a;
  ASSERT_EQ(wm_plan_build("caf\xC3\xA9", 20, &a.p), 1);
  EXPECT_NE(g_raw[0], nullptr);
  EXPECT_EQ(g_raw[1], nullptr);
  EXPECT_EQ(g_raw[2], nullptr);
  EXPECT_EQ(g_raw_len[1], 0u);

  wm_font_cache_clear();
  for (int i = 0; i < 3; i++) {
    EXPECT_EQ(g_raw[i], nullptr);
    EXPECT_EQ(g_raw_len[i], 0u);
  }
  plan_holder b;
  ASSERT_EQ(wm_plan_build("\xED\x95\x9C", 20, &b.p), 1);  // 한
  for (int i = 0; i < 3; i++) EXPECT_EQ(g_raw_len[i], g_fonts[i].raw_len);
  EXPECT_EQ(b.p.runs[0].font, 2);
}

// ---- text plan ----------------------------------------------------------------

struct run_want {
  int font;
  std::vector<uint16_t> glyphs;
};

TEST(TextPlan, RunsAndGlyphs) {
  struct {
    const char *name;
    const char *text;
    int uses_fonts;
    std::vector<run_want> runs;
  } cases[] = {
      {"empty", "", 0, {}},
      {"plain", "Hello", 0, {}},
      {"plain with line feed", "Hello\n", 0, {}},
      {"plain controls", "a\tb\r\nc", 0, {}},
      {"e acute", "\xC3\xA9", 1, {{0, {169}}}},
      {"tab becomes space", "Gr\t\xC3\xBC\xC3\x9F" "e", 1,
       {{0, {40, 83, 1, 188, 159, 70}}}},
      {"Hello world in Chinese", "Hello \xE4\xB8\x96\xE7\x95\x8C", 1,
       {{0, {41, 70, 77, 77, 80, 1}}, {1, {291, 5061}}}},
      {"Japanese", "\xE6\x97\xA5\xE6\x9C\xAC", 1, {{1, {3344, 3493}}}},
      {"Korean between Latin", "A\xED\x95\x9C" "B", 1,
       {{0, {34}}, {2, {2211}}, {0, {35}}}},
      {"space splits CJK", "\xE6\x97\xA5 \xE6\x9C\xAC", 1,
       {{1, {3344}}, {0, {1}}, {1, {3493}}}},
      {"Greek, Cyrillic, Hebrew, Arabic", "\xCE\xB1\xD0\x96\xD7\x90\xD8\xA7", 1,
       {{0, {677, 778, 1072, 1118}}}},
      {"ideographic space", "\xE3\x80\x80", 1, {{1, {1}}}},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.name);
    plan_holder h;
    ASSERT_EQ(wm_plan_build(c.text, 20, &h.p), 1) << get_error();
    EXPECT_EQ(h.p.uses_fonts, c.uses_fonts);
    ASSERT_EQ(h.p.run_count, int(c.runs.size()));
    double total = 0;
    for (size_t r = 0; r < c.runs.size(); r++) {
      const wm_run &run = h.p.runs[r];
      EXPECT_EQ(run.font, c.runs[r].font);
      EXPECT_EQ(std::string(run.res_name), "KpWmF" + std::to_string(r + 1));
      ASSERT_EQ(run.count, int(c.runs[r].glyphs.size()));
      for (int k = 0; k < run.count; k++) EXPECT_EQ(run.glyphs[k], c.runs[r].glyphs[size_t(k)]);
      total += run.width;
    }
    EXPECT_EQ(h.p.total_width, total);
    for (int k = 0; k < h.p.run_count; k++) {
      EXPECT_EQ(h.p.runs[k].type0_obj, 0);
      EXPECT_EQ(h.p.runs[k].shares, k);
    }
    if (!c.uses_fonts) {
      EXPECT_EQ(h.p.total_width, 0.0);
      EXPECT_EQ(h.p.mid_height, 0.0);
    }
  }
  plan_holder n;
  EXPECT_EQ(wm_plan_build(nullptr, 20, &n.p), 1);
  EXPECT_EQ(n.p.uses_fonts, 0);
}

TEST(TextPlan, CodesAndMeasures) {
  struct {
    const char *name;
    const char *text;
    int size;
    std::vector<uint32_t> codes;  // all runs
    double width, mid;
    bool shaped = false;  // as the extended calls build it
  } cases[] = {
      {"e acute", "\xC3\xA9", 20, {0xE9}, 13.564453125, 6.923828125},
      {"two ideographs", "\xE6\x97\xA5\xE6\x9C\xAC", 20, {0x65E5, 0x672C}, 40,
       7.7734375},
      {"combining acute alone is half an em", "\xCC\x81", 20, {0x301}, 10,
       6.923828125},
      {"Hello world", "Hello \xE4\xB8\x96\xE7\x95\x8C", 20,
       {'H', 'e', 'l', 'l', 'o', ' ', 0x4E16, 0x754C}, 104.716796875,
       6.923828125},
      {"tab code", "\t\xC3\xA9", 10, {0x20, 0xE9},
       713.0 / 2048 * 10 + 1389.0 / 2048 * 10, 3.4619140625},
      {"Korean", "\xED\x95\x9C\xEA\xB8\x80", 10, {0xD55C, 0xAE00}, 18.8, 3.45},
      {"halfwidth katakana", "\xEF\xBD\xA1", 20, {0xFF61}, 10, 7.7734375},
      // Shaped: a mark after its letter takes no room in left-to-right
      // text; with a right-to-left letter anywhere, half an em as before.
      {"combining acute after e, shaped", "e\xCC\x81", 20, {'e', 0x301}, 13.564453125,
       6.923828125, true},
      {"combining acute after e", "e\xCC\x81", 20, {'e', 0x301}, 23.564453125, 6.923828125},
      // Marks alone have nothing to sit on: a line of no width could be
      // neither placed nor tiled.
      {"combining acute alone, shaped", "\xCC\x81", 20, {0x301}, 10, 6.923828125, true},
      {"combining acute and a Hebrew letter, shaped", "e\xCC\x81\xD7\x90", 20,
       {'e', 0x301, 0x5D0}, 23.564453125 + 1491.0 / 2048 * 20, 6.923828125, true},
      // Invisible format characters keep the font's zero advance in shaped
      // text, right-to-left too: there is nothing to draw them over. The
      // classic calls measure them as any zero advance.
      {"zero-width non-joiner between Hebrew letters, shaped", "\xD7\x90\xE2\x80\x8C\xD7\x90",
       20, {0x5D0, 0x200C, 0x5D0}, 2 * 1491.0 / 2048 * 20, 6.923828125, true},
      {"zero-width space and marks of direction, shaped",
       "\xD7\x90\xE2\x80\x8B\xE2\x80\x8F\xD7\x90", 20, {0x5D0, 0x200F, 0x200B, 0x5D0},
       2 * 1491.0 / 2048 * 20, 6.923828125, true},
      {"zero-width non-joiner between Hebrew letters", "\xD7\x90\xE2\x80\x8C\xD7\x90", 20,
       {0x5D0, 0x200C, 0x5D0}, 2 * 1491.0 / 2048 * 20 + 10, 6.923828125},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.name);
    plan_holder h;
    ASSERT_EQ(wm_plan_build_ex(c.text, c.size, c.shaped ? &k_shaped : nullptr, &h.p), 1)
        << get_error();
    std::vector<uint32_t> codes;
    for (int r = 0; r < h.p.run_count; r++)
      for (int k = 0; k < h.p.runs[r].count; k++)
        codes.push_back(h.p.runs[r].codes[k]);
    EXPECT_EQ(codes, c.codes);
    EXPECT_NEAR(h.p.total_width, c.width, 1e-9);
    EXPECT_NEAR(h.p.mid_height, c.mid, 1e-9);
  }
}

TEST(TextPlan, Failures) {
  std::string eight, nine;
  for (int i = 0; i < 4; i++) eight += "a\xE4\xB8\x96";
  nine = eight + "a";
  plan_holder ok;
  ASSERT_EQ(wm_plan_build(eight.c_str(), 20, &ok.p), 1);
  EXPECT_EQ(ok.p.run_count, 8);
  EXPECT_STREQ(ok.p.runs[7].res_name, "KpWmF8");
  EXPECT_EQ(ok.p.runs[7].shares, 7);

  const std::string bad = "watermark text is not valid UTF-8 (bad byte ";
  const std::string cannot =
      "watermark text contains a character this build cannot draw (U+";
  const std::string tail = ") " + k_dash + " remove it or use plain text";
  const std::string line_break = "watermark text contains a line break " +
                                 k_dash +
                                 " multi-line watermarks are not supported";
  struct {
    const char *name;
    std::string text;
    std::string message;
  } cases[] = {
      {"line feed", "Gr\xC3\xBC\xC3\x9F" "e\n", line_break},
      {"carriage return", "\xC3\xA9\r", line_break},
      {"ninth run", nine,
       "watermark text switches between scripts too many times (max 8 runs)"},
      {"overlong NUL", "\xC0\x80", bad + "0xC0 at offset 0)"},
      {"cut at the end", "ab\xE2\x82", bad + "0xE2 at offset 2)"},
      {"surrogate", "\xED\xA0\x80", bad + "0xED at offset 0)"},
      {"stray continuation", "\xC3\xA9\x80", bad + "0x80 at offset 2)"},
      {"wrong continuation", "x\xC3(", bad + "0xC3 at offset 1)"},
      {"overlong three bytes", "\xE0\x80\xAF", bad + "0xE0 at offset 0)"},
      {"overlong four bytes", "\xF0\x8F\xBF\xBF", bad + "0xF0 at offset 0)"},
      {"above U+10FFFF", "\xF4\x90\x80\x80", bad + "0xF4 at offset 0)"},
      {"lead F8", "\xC3\xA9\xF8\x88\x80\x80\x80", bad + "0xF8 at offset 2)"},
      {"lead FF", "\xFF", bad + "0xFF at offset 0)"},
      {"emoji", "\xF0\x9F\x98\x80", cannot + "1F600" + tail},
      {"bell with non-ASCII", "\xC3\xA9\x07", cannot + "0007" + tail},
      {"delete with non-ASCII", "\xC3\xA9\x7F", cannot + "007F" + tail},
      {"C1 control", "\xC2\x85", cannot + "0085" + tail},
      {"Hangul outside KS X 1001", "\xEA\xB0\x82", cannot + "AC02" + tail},
      {"private use", "\xEE\x80\x80", cannot + "E000" + tail},
      {"U+FFFF", "\xEF\xBF\xBF", cannot + "FFFF" + tail},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.name);
    wm_plan p;
    memset(&p, 0x5A, sizeof p);
    set_error("");
    EXPECT_EQ(wm_plan_build(c.text.c_str(), 20, &p), 0);
    EXPECT_EQ(get_error(), c.message);
    EXPECT_EQ(p.uses_fonts, 0);
    EXPECT_EQ(p.run_count, 0);
    wm_plan_free(&p);
    wm_plan_free(&p);
  }
  wm_plan_free(nullptr);
}

// Beyond eight runs (refused without share_fonts, see Failures) every run
// draws with the first font of its kind: one resource name and one set of
// five objects per font.
TEST(TextPlan, RunsBeyondEightShareTheirFont) {
  std::string nine;
  for (int i = 0; i < 4; i++) nine += "a\xE4\xB8\x96";
  nine += "a";
  for (int subset = 0; subset < 2; subset++) {
    SCOPED_TRACE(subset);
    plan_holder h;
    wm_text_flags flags{subset, 0, nullptr, 1};
    ASSERT_EQ(wm_plan_build_ex(nine.c_str(), 20, &flags, &h.p), 1) << get_error();
    ASSERT_EQ(h.p.run_count, 9);
    objects o;
    int64_t counter = 40;
    ASSERT_EQ(wm_plan_emit_fonts(&h.p, &counter, &o.items, &o.count, &o.cap), 1);
    EXPECT_EQ(o.count, 10);
    EXPECT_EQ(counter, 50);
    for (int k = 0; k < 9; k++) {
      EXPECT_EQ(h.p.runs[k].font, k % 2);
      EXPECT_EQ(h.p.runs[k].shares, k % 2);
      EXPECT_EQ(std::string(h.p.runs[k].res_name), k % 2 ? "KpWmF2" : "KpWmF1");
      EXPECT_EQ(h.p.runs[k].type0_obj, k % 2 ? 49 : 44);
    }
  }
}

TEST(TextPlan, LongRunsGrow) {
  std::string text;
  for (int i = 0; i < 250; i++) text += "\xC3\xA9";
  plan_holder h;
  ASSERT_EQ(wm_plan_build(text.c_str(), 20, &h.p), 1);
  ASSERT_EQ(h.p.run_count, 1);
  EXPECT_EQ(h.p.runs[0].count, 250);
  EXPECT_EQ(h.p.runs[0].capacity, 256);
  for (int k = 0; k < 250; k++) {
    EXPECT_EQ(h.p.runs[0].glyphs[k], 169);
    EXPECT_EQ(h.p.runs[0].codes[k], 0xE9u);
  }
  EXPECT_NEAR(h.p.total_width, 250 * 13.564453125, 1e-6);
}

// ---- font objects ---------------------------------------------------------------

std::string descriptor0(int file_obj) {
  return "<< /Type /FontDescriptor /FontName /DejaVuSans-Bold /Flags 4 "
         "/FontBBox [-1070 -391 1864 1123] /ItalicAngle 0 /Ascent 928 "
         "/Descent -235 /CapHeight 649 /StemV 80 /FontFile2 " +
         std::to_string(file_obj) + " 0 R >>";
}

TEST(FontObjects, ThreeRunsNumberedFromTheCounter) {
  plan_holder h;
  ASSERT_EQ(wm_plan_build("A\xED\x95\x9C" "B", 20, &h.p), 1);
  objects o;
  int64_t counter = 20;
  ASSERT_EQ(wm_plan_emit_fonts(&h.p, &counter, &o.items, &o.count, &o.cap), 1);
  EXPECT_EQ(counter, 35);
  ASSERT_EQ(o.count, 15);
  for (int i = 0; i < 15; i++) EXPECT_EQ(o.items[i].num, 21 + i);
  EXPECT_EQ(h.p.runs[0].type0_obj, 24);
  EXPECT_EQ(h.p.runs[1].type0_obj, 29);
  EXPECT_EQ(h.p.runs[2].type0_obj, 34);

  const int fonts[3] = {0, 2, 0};
  for (int r = 0; r < 3; r++) {
    SCOPED_TRACE(r);
    const new_object *f = &o.items[5 * r];
    const embedded_font &ef = g_fonts[fonts[r]];
    int n = 20 + 5 * r;
    ASSERT_EQ(f[0].has_stream, 1);
    ASSERT_EQ(f[0].len, ef.comp_len);
    EXPECT_EQ(memcmp(f[0].data, ef.data, ef.comp_len), 0);
    EXPECT_EQ(std::string(f[0].dict),
              "<< /Length " + std::to_string(ef.comp_len) + " /Length1 " +
                  std::to_string(ef.raw_len) + " /Filter /FlateDecode >>");
    EXPECT_EQ(f[1].has_stream, 0);
    EXPECT_EQ(f[2].has_stream, 0);
    EXPECT_EQ(f[3].has_stream, 0);
    EXPECT_EQ(std::string(f[3].dict),
              "<< /Type /Font /Subtype /Type0 /BaseFont /" +
                  std::string(ef.name) +
                  " /Encoding /Identity-H /DescendantFonts [ " +
                  std::to_string(n + 3) + " 0 R ] /ToUnicode " +
                  std::to_string(n + 5) + " 0 R >>");
    ASSERT_EQ(f[4].has_stream, 1);
    EXPECT_EQ(std::string(f[4].dict),
              "<< /Length " + std::to_string(f[4].len) + " >>");
  }
  EXPECT_EQ(std::string(o.items[1].dict), descriptor0(21));
  EXPECT_EQ(std::string(o.items[11].dict), descriptor0(31));
  EXPECT_EQ(std::string(o.items[6].dict),
            "<< /Type /FontDescriptor /FontName /NanumGothic-Bold /Flags 4 "
            "/FontBBox [-12 -196 953 805] /ItalicAngle 0 /Ascent 920 "
            "/Descent -230 /CapHeight 644 /StemV 80 /FontFile2 26 0 R >>");
  EXPECT_EQ(std::string(o.items[2].dict),
            "<< /Type /Font /Subtype /CIDFontType2 /BaseFont /DejaVuSans-Bold "
            "/CIDSystemInfo << /Registry (Adobe) /Ordering (Identity) "
            "/Supplement 0 >> /FontDescriptor 22 0 R /CIDToGIDMap /Identity "
            "/DW 1000 /W [34 34 773 ] >>");
  EXPECT_NE(std::string(o.items[7].dict).find("/W [2211 2211 940 ] >>"),
            std::string::npos);
  EXPECT_NE(std::string(o.items[12].dict).find("/W [35 35 762 ] >>"),
            std::string::npos);
}

std::string widths_of(const char *text, int *run_font = nullptr, bool shaped = false) {
  plan_holder h;
  if (!wm_plan_build_ex(text, 20, shaped ? &k_shaped : nullptr, &h.p) || h.p.run_count != 1)
    return "no plan";
  if (run_font) *run_font = h.p.runs[0].font;
  objects o;
  int64_t counter = 0;
  if (!wm_plan_emit_fonts(&h.p, &counter, &o.items, &o.count, &o.cap))
    return "failed";
  std::string d = o.items[2].dict;
  size_t at = d.find("/W ");
  return d.substr(at + 3, d.size() - at - 3 - 3);
}

TEST(FontObjects, WidthsArrays) {
  struct {
    const char *name;
    const char *text;
    const char *want;
    bool shaped = false;
  } cases[] = {
      {"e acute", "\xC3\xA9", "[169 169 678 ]"},
      {"digits merge", "\xC3\xA9" "123", "[169 169 678 18 20 695 ]"},
      {"repeats stay", "\xC3\xA9" "aaa", "[169 169 678 66 66 674 66 66 674 66 66 674 ]"},
      {"consecutive ids, other widths", "\xC3\xA9" "AB",
       "[169 169 678 34 34 773 35 35 762 ]"},
      {"descending ids", "\xC3\xA9" "321", "[169 169 678 20 20 695 19 19 695 18 18 695 ]"},
      // Ranges that share an id without being the same range (poppler gives
      // the id of one the default width): each glyph once, in order.
      {"a glyph again inside a range", "\xC3\xA9" "123 1", "[1 1 348 18 20 695 169 169 678 ]"},
      {"a range inside a range", "\xC3\xA9" "1232", "[18 20 695 169 169 678 ]"},
      {"a range again stays", "\xC3\xA9" "1212", "[169 169 678 18 19 695 18 19 695 ]"},
      {"zero advance", "\xCC\x81", "[529 529 500 ]"},
      // Shaped left-to-right text draws a mark over its letter.
      {"zero advance, shaped", "e\xCC\x81", "[70 70 678 529 529 0 ]", true},
      {"zero-width space in right-to-left text, shaped", "\xD7\x90\xE2\x80\x8B\xD7\x90",
       "[1072 1072 728 1532 1532 0 1072 1072 728 ]", true},
      {"ideographs one em", "\xE6\x97\xA5\xE6\x9C\xAC", "[3344 3344 1000 3493 3493 1000 ]"},
      {"halfwidth", "\xEF\xBD\xA1\xEF\xBD\xA2", "[10157 10158 500 ]"},
      {"Korean", "\xED\x95\x9C\xEA\xB8\x80", "[2211 2211 940 153 153 940 ]"},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(widths_of(c.text, nullptr, c.shaped), c.want);
  }
}

TEST(FontObjects, ToUnicodeMap) {
  plan_holder h;
  ASSERT_EQ(wm_plan_build("\xC3\xA9", 20, &h.p), 1);
  objects o;
  int64_t counter = 0;
  ASSERT_EQ(wm_plan_emit_fonts(&h.p, &counter, &o.items, &o.count, &o.cap), 1);
  EXPECT_EQ(stream_text(o.items[4]),
            "/CIDInit /ProcSet findresource begin\n"
            "12 dict begin\nbegincmap\n"
            "/CIDSystemInfo << /Registry (Adobe) /Ordering (UCS) /Supplement 0 "
            ">> def\n"
            "/CMapName /Adobe-Identity-UCS def\n/CMapType 2 def\n"
            "1 begincodespacerange\n<0000> <FFFF>\nendcodespacerange\n"
            "1 beginbfchar\n<00A9> <00E9>\nendbfchar\n"
            "endcmap\nCMapName currentdict /CMap defineresource pop\n"
            "end\nend\n");
  EXPECT_EQ(std::string(o.items[4].dict),
            "<< /Length " + std::to_string(o.items[4].len) + " >>");

  struct {
    int chars;
    std::vector<int> blocks;
  } cases[] = {{99, {99}}, {100, {100}}, {101, {100, 1}}, {250, {100, 100, 50}}};
  for (auto &c : cases) {
    SCOPED_TRACE(c.chars);
    std::string text;
    // e acute (169) then a (66): single-glyph ranges, repeated, kept in
    // text order.
    for (int i = 0; i < c.chars; i++) text += (i % 2) ? "a" : "\xC3\xA9";
    plan_holder p;
    ASSERT_EQ(wm_plan_build(text.c_str(), 20, &p.p), 1);
    objects obj;
    int64_t n = 0;
    ASSERT_EQ(wm_plan_emit_fonts(&p.p, &n, &obj.items, &obj.count, &obj.cap), 1);
    std::string map = stream_text(obj.items[4]);
    std::vector<int> blocks;
    size_t at = 0;
    while ((at = map.find(" beginbfchar\n", at)) != std::string::npos) {
      size_t line = map.rfind('\n', at) + 1;
      blocks.push_back(atoi(map.c_str() + line));
      at++;
    }
    EXPECT_EQ(blocks, c.blocks);
    size_t entries = 0;
    for (size_t k = 0; (k = map.find("<00A9> <00E9>\n", k)) != std::string::npos; k++)
      entries++;
    EXPECT_EQ(entries, size_t((c.chars + 1) / 2));
    EXPECT_EQ(map.find("<00A9> <00E9>\n<0042> <0061>\n") != std::string::npos,
              true);
  }
}

TEST(FontObjects, ToUnicodeWritesSurrogatePairsBeyondTheBmp) {
  wm_plan p{};
  wm_run run{};
  uint16_t glyphs[2] = {1, 169};
  uint32_t codes[2] = {0x1F600, 0x10FFFF};
  p.uses_fonts = 1;
  p.runs = &run;
  p.run_count = p.run_cap = 1;
  p.runs[0].font = 0;
  strcpy(p.runs[0].res_name, "KpWmF1");
  p.runs[0].glyphs = glyphs;
  p.runs[0].codes = codes;
  p.runs[0].count = 2;
  p.runs[0].capacity = 2;
  objects o;
  int64_t n = 0;
  ASSERT_EQ(wm_plan_emit_fonts(&p, &n, &o.items, &o.count, &o.cap), 1);
  std::string map = stream_text(o.items[4]);
  EXPECT_NE(map.find("2 beginbfchar\n<0001> <D83DDE00>\n<00A9> <DBFFDFFF>\n"),
            std::string::npos);
}

TEST(FontObjects, EmptyPlanAndExhaustedCounter) {
  wm_plan empty{};
  objects o;
  int64_t counter = 7;
  EXPECT_EQ(wm_plan_emit_fonts(&empty, &counter, &o.items, &o.count, &o.cap), 1);
  EXPECT_EQ(counter, 7);
  EXPECT_EQ(o.count, 0);

  plan_holder h;
  ASSERT_EQ(wm_plan_build("\xC3\xA9", 20, &h.p), 1);
  counter = INT32_MAX - 4;
  set_error("");
  EXPECT_EQ(wm_plan_emit_fonts(&h.p, &counter, &o.items, &o.count, &o.cap), 0);
  EXPECT_NE(std::string(get_error()), "");
  EXPECT_EQ(o.count, 0);
}

// ---- text operators ---------------------------------------------------------------

TEST(TextOperators, TwoRuns) {
  plan_holder h;
  ASSERT_EQ(wm_plan_build("Hello \xE4\xB8\x96\xE7\x95\x8C", 20, &h.p), 1);
  EXPECT_EQ(h.p.total_width, 104.716796875);
  byte_buf b;
  buf_init(&b);
  EXPECT_EQ(wm_plan_emit_text(&h.p, 20, -h.p.total_width / 2, -h.p.mid_height, &b),
            1);
  std::string got(b.data, b.len);
  buf_free(&b);
  EXPECT_EQ(got,
            "/KpWmF1 20 Tf\n1 0 0 1 -52.36 -6.92 Tm\n"
            "<00290046004D004D00500001> Tj\n"
            "/KpWmF2 20 Tf\n1 0 0 1 12.36 -6.92 Tm\n"
            "<012313C5> Tj\n");

  // Three runs; the x of each is the running unrounded sum.
  plan_holder k;
  ASSERT_EQ(wm_plan_build("A\xED\x95\x9C" "B", 10, &k.p), 1);
  buf_init(&b);
  wm_plan_emit_text(&k.p, 10, 0.004, 1.5, &b);
  got.assign(b.data, b.len);
  buf_free(&b);
  char want[512];
  snprintf(want, sizeof want,
           "/KpWmF1 10 Tf\n1 0 0 1 0.00 1.50 Tm\n<0022> Tj\n"
           "/KpWmF2 10 Tf\n1 0 0 1 %.2f 1.50 Tm\n<08A3> Tj\n"
           "/KpWmF3 10 Tf\n1 0 0 1 %.2f 1.50 Tm\n<0023> Tj\n",
           0.004 + 1585.0 / 2048 * 10, 0.004 + 1585.0 / 2048 * 10 + 9.4);
  EXPECT_EQ(got, want);

  // Long runs and the plain plan.
  std::string text;
  for (int i = 0; i < 100; i++) text += "\xE6\x97\xA5";
  plan_holder l;
  ASSERT_EQ(wm_plan_build(text.c_str(), 12, &l.p), 1);
  buf_init(&b);
  wm_plan_emit_text(&l.p, 12, 0, 0, &b);
  got.assign(b.data, b.len);
  buf_free(&b);
  std::string glyphs;
  for (int i = 0; i < 100; i++) glyphs += "0D10";
  EXPECT_EQ(got, "/KpWmF1 12 Tf\n1 0 0 1 0.00 0.00 Tm\n<" + glyphs + "> Tj\n");

  wm_plan none{};
  buf_init(&b);
  wm_plan_emit_text(&none, 12, 0, 0, &b);
  EXPECT_EQ(b.len, 0u);
  buf_free(&b);
}

}  // namespace

// ---- line reordering ----------------------------------------------------------

// Every line of the Unicode bidi conformance file (unicode-data) without
// explicit embeddings, isolates or paragraph separators: paragraph level,
// the level of each character and the visual order.
TEST(Bidi, AgreesWithTheUnicodeConformanceFile) {
  const char *path = "/usr/share/unicode/BidiCharacterTest.txt";
  std::string text = tu::read_text(path);
  if (text.empty()) {
    if (tu::oracles_required()) FAIL() << "missing judge data: " << path;
    GTEST_SKIP() << "missing judge data: " << path;
  }
  std::istringstream in(text);
  std::string line;
  size_t tested = 0, failed = 0;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> f;
    std::stringstream ls(line);
    for (std::string part; std::getline(ls, part, ';');) f.push_back(part);
    if (f.size() < 5) continue;
    std::vector<uint32_t> cps;
    std::istringstream cs(f[0]);
    bool skip = false;
    for (std::string h; cs >> h;) {
      uint32_t cp = uint32_t(strtoul(h.c_str(), nullptr, 16));
      bidi_class c = bidi_class_of(cp);
      if (c == BIDI_B || c >= BIDI_LRE) skip = true;
      cps.push_back(cp);
    }
    if (skip) continue;
    int dir = atoi(f[1].c_str());
    std::vector<uint8_t> levels(cps.size());
    int para = bidi_levels(cps.data(), cps.size(), dir == 2 ? -1 : dir, levels.data());
    std::vector<size_t> order(cps.size());
    bidi_reorder(levels.data(), cps.size(), order.data());
    std::istringstream lvs(f[3]);
    std::vector<bool> gone(cps.size(), false);
    bool ok = para == atoi(f[2].c_str());
    size_t k = 0;
    for (std::string l; lvs >> l; k++) {
      if (l == "x") gone[k] = true;
      else if (k >= cps.size() || levels[k] != atoi(l.c_str())) ok = false;
    }
    std::string got;
    for (size_t v : order)
      if (!gone[v]) got += (got.empty() ? "" : " ") + std::to_string(v);
    std::string want = f[4];
    while (!want.empty() && want[0] == ' ') want.erase(0, 1);
    while (!want.empty() && want.back() == ' ') want.pop_back();
    if (got != want) ok = false;
    tested++;
    if (!ok && ++failed <= 5) ADD_FAILURE() << line << "\n got order " << got;
  }
  EXPECT_EQ(failed, 0u);
  EXPECT_GT(tested, 50000u);
}

// ---- shaping -----------------------------------------------------------------

// Glyph digests ("advance outline-hash", one per line) of glyph ids in the
// font file `font`, by fontTools.
std::vector<std::string> glyph_digests(const std::string &font,
                                       const std::vector<int> &gids) {
  std::string cmd = "/usr/bin/python3 '" + std::string(RRV_TEST_DATA) +
                    "/../font_judge.py' outline '" + font + "'";
  for (int g : gids) cmd += " " + std::to_string(g);
  tu::run_result r = tu::run(cmd + " 2>&1");
  EXPECT_EQ(r.status, 0) << r.out;
  std::vector<std::string> out;
  std::istringstream in(r.out);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// Right-to-left and Arabic text drawn with the shaping flag: the glyphs in
// visual order have the outlines and advances hb-shape gives with the whole
// Debian font the embedded one was cut from. Each row lists the line's
// runs of one direction and script in visual order, as the bidirectional
// algorithm places them; hb-shape shapes each alone (it neither reorders a
// line nor shapes two scripts in one buffer), in the run's direction.
TEST(Shaping, GlyphsInVisualOrderAgreeWithHarfBuzz) {
  REQUIRE_TOOL("hb-shape");
  const std::string whole = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf";
  if (!tu::exists(whole) ||
      tu::run("/usr/bin/python3 -c 'import fontTools' 2>/dev/null").status != 0) {
    if (tu::oracles_required()) FAIL() << "missing judge: DejaVu fonts or fontTools";
    GTEST_SKIP() << "missing judge: DejaVu fonts or fontTools";
  }
  struct seg {
    const char *text;
    const char *dir;
  };
  struct {
    const char *name;
    const char *text;
    std::vector<seg> visual;
  } cases[] = {
      {"Hebrew", "\xD7\xA1\xD7\x95\xD7\x93\xD7\x99", {{"\xD7\xA1\xD7\x95\xD7\x93\xD7\x99", "rtl"}}},
      {"Arabic joining", "\xD8\xB3\xD8\xB1\xD9\x8A", {{"\xD8\xB3\xD8\xB1\xD9\x8A", "rtl"}}},
      {"lam-alef, two words",
       "\xD8\xA7\xD9\x84\xD8\xB3\xD9\x84\xD8\xA7\xD9\x85 \xD8\xB9\xD9\x84\xD9\x8A\xD9\x83\xD9\x85",
       {{"\xD8\xA7\xD9\x84\xD8\xB3\xD9\x84\xD8\xA7\xD9\x85 \xD8\xB9\xD9\x84\xD9\x8A\xD9\x83\xD9\x85", "rtl"}}},
      {"medial and final forms, lam-alef isolated",
       "\xD9\x84\xD8\xA7 \xD8\xA8\xD9\x8A\xD8\xAA \xD9\x85\xD8\xAD\xD9\x85\xD8\xAF",
       {{"\xD9\x84\xD8\xA7 \xD8\xA8\xD9\x8A\xD8\xAA \xD9\x85\xD8\xAD\xD9\x85\xD8\xAF", "rtl"}}},
      {"number after Arabic",
       "\xD8\xB3\xD8\xB1\xD9\x8A 2024",
       {{"2024", "ltr"}, {" ", "rtl"}, {"\xD8\xB3\xD8\xB1\xD9\x8A", "rtl"}}},
      {"mirrored brackets", "(\xD7\xA1\xD7\x95\xD7\x93\xD7\x99)", {{"(\xD7\xA1\xD7\x95\xD7\x93\xD7\x99)", "rtl"}}},
      {"mixed line",
       "Confidential \xE2\x80\x94 \xD7\xA1\xD7\x95\xD7\x93\xD7\x99 \xE2\x80\x94 \xD8\xB3\xD8\xB1\xD9\x8A",
       {{"Confidential \xE2\x80\x94 ", "ltr"},
        {"\xD8\xB3\xD8\xB1\xD9\x8A", "rtl"},
        {" \xE2\x80\x94 ", "rtl"},
        {"\xD7\xA1\xD7\x95\xD7\x93\xD7\x99", "rtl"}}},
  };
  tu::temp_dir dir;
  const uint8_t *raw = font_raw(0);
  ASSERT_NE(raw, nullptr);
  tu::write_file(dir / "emb.ttf", std::string(reinterpret_cast<const char *>(raw), g_raw_len[0]));
  for (auto &c : cases) {
    SCOPED_TRACE(c.name);
    plan_holder h;
    wm_text_flags flags{0, 1, nullptr, 1};
    ASSERT_EQ(wm_plan_build_ex(c.text, 20, &flags, &h.p), 1) << get_error();
    std::vector<int> ours;
    for (int r = 0; r < h.p.run_count; r++) {
      ASSERT_EQ(h.p.runs[r].font, 0);
      for (int k = 0; k < h.p.runs[r].count; k++) ours.push_back(h.p.runs[r].glyphs[k]);
    }
    std::vector<int> theirs;
    for (const seg &s : c.visual) {
      tu::run_result r = tu::run(
          "hb-shape --no-glyph-names --no-positions --no-clusters "
          "--features=-kern,-liga --direction=" + std::string(s.dir) + " '" +
          whole + "' '" + s.text + "'");
      ASSERT_EQ(r.status, 0) << r.out;
      std::string t = r.out;
      for (char &ch : t)
        if (ch == '[' || ch == ']' || ch == '|') ch = ' ';
      std::istringstream in(t);
      for (int g; in >> g;) theirs.push_back(g);
    }
    ASSERT_EQ(ours.size(), theirs.size());
    EXPECT_EQ(glyph_digests(dir / "emb.ttf", ours), glyph_digests(whole, theirs));
    // Without the flag: text order, one glyph per character.
    plan_holder plain;
    ASSERT_EQ(wm_plan_build(c.text, 20, &plain.p), 1);
    EXPECT_EQ(plain.p.runs[0].codes2, nullptr);
  }
}

// The typed characters stay with their glyphs: a ligature carries both,
// and the codes of a right-to-left run, read backwards, give the text as
// typed.
TEST(Shaping, CodesFollowTheGlyphs) {
  // "لا" lam-alef: one glyph for both characters, kept in visual order
  // (alef, lam) like the rest of the right-to-left run.
  plan_holder h;
  wm_text_flags flags{0, 1, nullptr, 1};
  ASSERT_EQ(wm_plan_build_ex("\xD9\x84\xD8\xA7", 20, &flags, &h.p), 1);
  ASSERT_EQ(h.p.run_count, 1);
  ASSERT_EQ(h.p.runs[0].count, 1);
  EXPECT_EQ(h.p.runs[0].codes[0], 0x627u);
  EXPECT_EQ(h.p.runs[0].codes2[0], 0x644u);
  EXPECT_EQ(h.p.runs[0].glyphs[0],
            ttf_unicode_to_gid(font_raw(0), g_raw_len[0], 0xFEFB));
  // Hebrew in visual order: the codes run backwards.
  plan_holder he;
  ASSERT_EQ(wm_plan_build_ex("\xD7\xA1\xD7\x95\xD7\x93\xD7\x99", 20, &flags, &he.p), 1);
  std::vector<uint32_t> codes(he.p.runs[0].codes, he.p.runs[0].codes + he.p.runs[0].count);
  EXPECT_EQ(codes, (std::vector<uint32_t>{0x5D9, 0x5D3, 0x5D5, 0x5E1}));
}

// ---- subset fonts --------------------------------------------------------------

// With the subset flag each font used gets one set of five objects, shared
// by its runs: the font file is a subset named ABCDEF+Name, whose glyphs
// fontTools finds equal (outline and advance) to those of the embedded
// font; the runs show the subset's ids, the widths and the map use them.
TEST(FontObjects, SubsetFontsSharedByTheirRunsJudgedByFontTools) {
  if (tu::run("/usr/bin/python3 -c 'import fontTools' 2>/dev/null").status != 0) {
    if (tu::oracles_required()) FAIL() << "missing judge: python3-fonttools";
    GTEST_SKIP() << "missing judge: python3-fonttools";
  }
  const std::string judge = std::string(RRV_TEST_DATA) + "/../font_judge.py";
  struct {
    const char *text;
    int fonts;        // distinct fonts
    size_t max_size;  // bytes of the five objects' streams and dictionaries
  } cases[] = {
      {"Vertraulich \xC3\x84\xC3\x96\xC3\x9C", 1, 6 * 1024},
      {"\xEA\xB8\xB0\xEB\xB0\x80", 1, 12 * 1024},
      {"\xE6\x9C\xBA\xE5\xAF\x86", 1, 12 * 1024},
      {"\xE6\x9C\xBA\xE5\xAF\x86 \xEA\xB8\xB0\xEB\xB0\x80 \xC3\x9Cn\xC3\xAF" "code", 3, 24 * 1024},
  };
  tu::temp_dir dir;
  for (auto &c : cases) {
    SCOPED_TRACE(c.text);
    plan_holder h;
    wm_text_flags flags{1, 0, nullptr, 1};
    ASSERT_EQ(wm_plan_build_ex(c.text, 20, &flags, &h.p), 1) << get_error();
    objects o;
    int64_t counter = 100;
    ASSERT_EQ(wm_plan_emit_fonts(&h.p, &counter, &o.items, &o.count, &o.cap), 1)
        << get_error();
    ASSERT_EQ(o.count, 5 * c.fonts);
    EXPECT_EQ(counter, 100 + 5 * c.fonts);
    size_t total = 0;
    for (int i = 0; i < o.count; i++) total += o.items[i].len + strlen(o.items[i].dict);
    EXPECT_LE(total, c.max_size);
    for (int r = 0; r < h.p.run_count; r++) {
      const wm_run &run = h.p.runs[r];
      ASSERT_NE(run.cids, nullptr);
      for (int q = 0; q < h.p.run_count; q++)
        EXPECT_EQ(h.p.runs[q].font == run.font, h.p.runs[q].type0_obj == run.type0_obj);
      int at = run.type0_obj - 3 - 101;  // index of the font file
      ASSERT_GE(at, 0);
      const new_object *f = &o.items[at];
      // The font file inflates to /Length1 bytes.
      std::string d = f[0].dict;
      size_t l1 = size_t(atol(d.c_str() + d.find("/Length1 ") + 9));
      std::vector<uint8_t> sub(l1);
      ASSERT_EQ(kp_inflate(f[0].data + 2, f[0].len - 6, sub.data(), l1), int(l1));
      // ABCDEF+Name in the descriptor, the descendant and the Type0 font.
      std::string name = std::string(g_fonts[run.font].name);
      for (int k = 1; k <= 3; k++) {
        std::string t = f[k].dict;
        size_t p = t.find("+" + name + " ");
        ASSERT_NE(p, std::string::npos) << t;
        for (size_t i = p - 6; i < p; i++) EXPECT_TRUE(t[i] >= 'A' && t[i] <= 'Z') << t;
      }
      std::string map;
      std::string tounicode = stream_text(f[4]);
      for (int k = 0; k < run.count; k++) {
        map += std::to_string(run.glyphs[k]) + " " + std::to_string(run.cids[k]) + "\n";
        char entry[32];
        snprintf(entry, sizeof entry, "<%04X> <%04X>\n", unsigned(run.cids[k]),
                 unsigned(run.codes[k]));
        EXPECT_NE(tounicode.find(entry), std::string::npos) << entry;
        char width[32];
        snprintf(width, sizeof width, "%d ", run.cids[k]);
        EXPECT_NE(std::string(f[2].dict).find(width), std::string::npos);
      }
      tu::write_file(dir / "whole.ttf",
                     std::string(reinterpret_cast<const char *>(font_raw(run.font)),
                                 g_raw_len[run.font]));
      tu::write_file(dir / "sub.ttf", std::string(sub.begin(), sub.end()));
      tu::write_file(dir / "map", map);
      tu::run_result jr = tu::run("/usr/bin/python3 '" + judge + "' same '" +
                                  (dir / "whole.ttf") + "' '" + (dir / "sub.ttf") +
                                  "' '" + (dir / "map") + "' 2>&1");
      EXPECT_EQ(jr.status, 0) << jr.out;
    }
    // The content stream shows the subset's ids.
    byte_buf b;
    buf_init(&b);
    wm_plan_emit_text(&h.p, 20, 0, 0, &b);
    char first[8];
    snprintf(first, sizeof first, "<%04X", unsigned(h.p.runs[0].cids[0]));
    EXPECT_NE(std::string(b.data, b.len).find(first), std::string::npos);
    buf_free(&b);
  }
}

// ---- the user's font -------------------------------------------------------------

using bytes = std::vector<uint8_t>;

uint32_t be32_at(const bytes &b, size_t at) {
  return (uint32_t(b[at]) << 24) | (uint32_t(b[at + 1]) << 16) |
         (uint32_t(b[at + 2]) << 8) | b[at + 3];
}

// Offset of a table of a standalone font, or 0.
size_t table_at(const bytes &f, const char *tag) {
  size_t num = (size_t(f[4]) << 8) | f[5];
  for (size_t i = 0; i < num; i++)
    if (!memcmp(f.data() + 12 + 16 * i, tag, 4)) return be32_at(f, 12 + 16 * i + 8);
  return 0;
}

bytes with_fs_type(bytes f, uint16_t fs) {
  size_t os2 = table_at(f, "OS/2");
  f[os2 + 8] = uint8_t(fs >> 8);
  f[os2 + 9] = uint8_t(fs);
  return f;
}

bytes with_upem(bytes f, uint16_t upem) {
  size_t head = table_at(f, "head");
  f[head + 18] = uint8_t(upem >> 8);
  f[head + 19] = uint8_t(upem);
  return f;
}

// A collection of the fonts: the header, then each font with its table
// offsets moved to where it lies in the collection.
bytes collection(const std::vector<bytes> &fonts) {
  bytes out = {'t', 't', 'c', 'f', 0, 1, 0, 0, 0, 0, 0, uint8_t(fonts.size())};
  size_t at = 12 + 4 * fonts.size();
  std::vector<size_t> starts;
  for (const bytes &f : fonts) {
    starts.push_back(at);
    at += (f.size() + 3) & ~size_t(3);
  }
  for (size_t s : starts)
    for (int k = 24; k >= 0; k -= 8) out.push_back(uint8_t(s >> k));
  for (size_t i = 0; i < fonts.size(); i++) {
    bytes f = fonts[i];
    size_t num = (size_t(f[4]) << 8) | f[5];
    for (size_t t = 0; t < num; t++) {
      uint32_t o = be32_at(f, 12 + 16 * t + 8) + uint32_t(starts[i]);
      for (int k = 0; k < 4; k++) f[12 + 16 * t + 8 + size_t(k)] = uint8_t(o >> (24 - 8 * k));
    }
    out.insert(out.end(), f.begin(), f.end());
    while (out.size() % 4) out.push_back(0);
  }
  return out;
}

TEST(UserFont, AcceptedRefusedAndCollections) {
  const std::string regular = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
  const std::string bold = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf";
  bytes r = tu::read_file(regular), b = tu::read_file(bold);
  if (r.empty() || b.empty()) {
    if (tu::oracles_required()) FAIL() << "missing DejaVu fonts";
    GTEST_SKIP() << "missing DejaVu fonts";
  }
  bytes otto = {'O', 'T', 'T', 'O', 0, 1, 0, 0, 0, 0, 0, 0,
                'C', 'F', 'F', ' ', 0, 0, 0, 0, 0, 0, 0, 28, 0, 0, 0, 4, 1, 0, 4, 2};
  bytes cut(r.begin(), r.begin() + 4000);
  struct {
    const char *name;
    bytes font;
    const char *error;  // substring; null: accepted
    int no_subset;
    const char *family;
  } cases[] = {
      {"installable", r, nullptr, 0, "DejaVuSans"},
      {"preview & print", with_fs_type(r, 0x0004), nullptr, 0, "DejaVuSans"},
      {"editable, no subsetting", with_fs_type(r, 0x0108), nullptr, 1, "DejaVuSans"},
      {"restricted and print: the lesser restriction", with_fs_type(r, 0x0006), nullptr, 0, "DejaVuSans"},
      {"restricted licence", with_fs_type(r, 0x0002), "restricted licence (OS/2 fsType 0x0002)", 0, nullptr},
      {"bitmap only", with_fs_type(r, 0x0204), "bitmap embedding only (OS/2 fsType 0x0204)", 0, nullptr},
      {"collection: the first face", collection({b, r}), nullptr, 0, "DejaVuSans"},
      {"OpenType CFF", otto, "OpenType CFF outlines", 0, nullptr},
      {"cut short", cut, "is damaged", 0, nullptr},
      {"not a font", bytes(100, 'x'), "is not a TrueType font", 0, nullptr},
      {"a Type 1 font", bytes{0x80, 0x01, 0x10, 0x20, 0, 0, '%', '!', 'P', 'S', '-', 'A'},
       "is not a TrueType font", 0, nullptr},
      {"em too large", with_upem(r, 26624), "is damaged (26624 units per em, not 16 to 16384)",
       0, nullptr},
      {"em too small", with_upem(r, 8), "is damaged (8 units per em", 0, nullptr},
      {"empty collection", bytes{'t', 't', 'c', 'f', 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, "has no font", 0, nullptr},
  };
  tu::temp_dir dir;
  for (auto &c : cases) {
    SCOPED_TRACE(c.name);
    tu::write_file(dir / "f", std::string(c.font.begin(), c.font.end()));
    user_font uf;
    int ok = user_font_load((dir / "f").c_str(), &uf);
    if (c.error) {
      EXPECT_EQ(ok, 0);
      EXPECT_NE(std::string(get_error()).find(c.error), std::string::npos) << get_error();
      EXPECT_EQ(uf.data, nullptr);
      continue;
    }
    ASSERT_EQ(ok, 1) << get_error();
    EXPECT_EQ(uf.no_subset, c.no_subset);
    EXPECT_STREQ(uf.name, c.family);
    // The collection's first face is the bold font.
    bool is_bold = std::string(c.name).find("collection") == 0;
    ttf_face_info info;
    ASSERT_EQ(ttf_info(uf.data, uf.len, &info), 1);
    EXPECT_EQ(ttf_unicode_to_gid(uf.data, uf.len, 'A'),
              ttf_unicode_to_gid(is_bold ? b.data() : r.data(), is_bold ? b.size() : r.size(), 'A'));
    EXPECT_EQ(ttf_advance(uf.data, uf.len, 36),
              ttf_advance(is_bold ? b.data() : r.data(), is_bold ? b.size() : r.size(), 36));
    user_font_free(&uf);
  }
  user_font uf;
  EXPECT_EQ(user_font_load((dir / "missing.ttf").c_str(), &uf), 0);
  EXPECT_NE(std::string(get_error()).find("cannot open font file"), std::string::npos);
}

// The user's font draws every character it has, plain ASCII included; the
// embedded fonts draw the rest. Its subset is judged like the others.
TEST(UserFont, UsedFirstEmbeddedFontsAsFallbackSubsetJudged) {
  const std::string regular = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
  if (!tu::exists(regular) ||
      tu::run("/usr/bin/python3 -c 'import fontTools' 2>/dev/null").status != 0) {
    if (tu::oracles_required()) FAIL() << "missing DejaVu fonts or fontTools";
    GTEST_SKIP() << "missing DejaVu fonts or fontTools";
  }
  user_font uf;
  ASSERT_EQ(user_font_load(regular.c_str(), &uf), 1) << get_error();
  struct uf_guard {
    user_font *f;
    ~uf_guard() { user_font_free(f); }
  } guard{&uf};
  wm_text_flags flags{1, 1, &uf, 1};
  plan_holder h;
  ASSERT_EQ(wm_plan_build_ex("Hello \xEA\xB8\xB0\xEB\xB0\x80", 20, &flags, &h.p), 1) << get_error();
  ASSERT_EQ(h.p.run_count, 2);
  EXPECT_EQ(h.p.runs[0].font, WM_USER_FONT);
  EXPECT_EQ(h.p.runs[1].font, 2);
  EXPECT_EQ(h.p.runs[0].glyphs[0], ttf_unicode_to_gid(uf.data, uf.len, 'H'));
  // Plain ASCII, drawn with the user's font rather than Helvetica.
  plan_holder ascii;
  ASSERT_EQ(wm_plan_build_ex("Hello", 20, &flags, &ascii.p), 1);
  EXPECT_EQ(ascii.p.uses_fonts, 1);
  EXPECT_EQ(ascii.p.runs[0].font, WM_USER_FONT);

  objects o;
  int64_t counter = 0;
  ASSERT_EQ(wm_plan_emit_fonts(&h.p, &counter, &o.items, &o.count, &o.cap), 1) << get_error();
  ASSERT_EQ(o.count, 10);
  EXPECT_NE(std::string(o.items[3].dict).find("+DejaVuSans "), std::string::npos);
  std::string d = o.items[0].dict;
  size_t l1 = size_t(atol(d.c_str() + d.find("/Length1 ") + 9));
  std::vector<uint8_t> sub(l1);
  ASSERT_EQ(kp_inflate(o.items[0].data + 2, o.items[0].len - 6, sub.data(), l1), int(l1));
  tu::temp_dir dir;
  std::string map;
  for (int k = 0; k < h.p.runs[0].count; k++)
    map += std::to_string(h.p.runs[0].glyphs[k]) + " " + std::to_string(h.p.runs[0].cids[k]) + "\n";
  tu::write_file(dir / "sub.ttf", std::string(sub.begin(), sub.end()));
  tu::write_file(dir / "map", map);
  tu::run_result jr = tu::run("/usr/bin/python3 '" + std::string(RRV_TEST_DATA) +
                              "/../font_judge.py' same '" + regular + "' '" +
                              (dir / "sub.ttf") + "' '" + (dir / "map") + "' 2>&1");
  EXPECT_EQ(jr.status, 0) << jr.out;
  // The hinting programs of the user's font travel with the subset.
  for (const char *tag : {"fpgm", "prep", "cvt "}) {
    ttf_bytes t;
    EXPECT_EQ(ttf_table(sub.data(), sub.size(), tag, &t), 1) << tag;
    free(t.data);
  }
}
