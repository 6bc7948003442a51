// Text rendering with the three embedded TrueType fonts: the font table and
// the cache of inflated fonts, the text plan (strict UTF-8 decoding, first
// font whose cmap has the character, runs of one font, widths), the five PDF
// objects of each run (Type0 / CIDFontType2 with Identity-H, PDF 9.7 and
// 9.10 ToUnicode) and the text-showing operators. The classic exports draw
// whole fonts in text order; on request (wm_text_flags) the fonts are
// subset, right-to-left text is put in visual order, Arabic letters take
// their contextual forms and the user's font is tried first.
//
// Process-wide state: g_raw, g_raw_len (inflated fonts, kept until
// wm_font_cache_clear) and s_metrics (the records face_metrics hands out).
#include "pdf_unicode.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include <algorithm>
#include <string>
#include <vector>

#include "bidi.h"
#include "flate.h"
#include "shape.h"
#include "ttf.h"
#include "ttf_subset.h"

// The stored zlib streams are generated from data/fonts by cmake/fonts.cmake;
// the lengths below are those of the files tools/make_fonts.py wrote, and the
// tests check them against the arrays and the inflated data.
const embedded_font g_fonts[3] = {
    {"DejaVuSans-Bold", "KpWmF1", g_font_dejavu, 67093, 113208,
     "DejaVu (Bitstream Vera derivative) licence"},
    {"DroidSansFallback", "KpWmF2", g_font_cjk, 786118, 1447676,
     "Apache License 2.0"},
    {"NanumGothic-Bold", "KpWmF3", g_font_hangul, 275499, 715504,
     "SIL Open Font License 1.1"},
};

uint8_t *g_raw[3];
size_t g_raw_len[3];

static font_metrics s_metrics[3];

// ---- font cache ------------------------------------------------------------

const uint8_t *font_raw(int index) {
  if (index < 0 || index > 2) {
    set_error("corrupt embedded font blob #%d", index);
    return nullptr;
  }
  if (g_raw[index]) return g_raw[index];
  const embedded_font &f = g_fonts[index];
  uint8_t *block = static_cast<uint8_t *>(malloc(f.raw_len));
  if (!block) {
    set_error("out of memory inflating embedded font");
    return nullptr;
  }
  // The stream is zlib: skip the 2-byte header, inflate the Deflate data and
  // check the Adler-32 that follows it, so a damaged build never hands a
  // half-font to the cmap reader.
  int got = -1;
  if (f.comp_len > 6)
    got = kp_inflate(f.data + 2, f.comp_len - 2, block, f.raw_len);
  bool ok = got > 0 && uint32_t(got) == f.raw_len;
  if (ok) {
    const uint8_t *t = f.data + f.comp_len - 4;
    uint32_t stored = (uint32_t(t[0]) << 24) | (uint32_t(t[1]) << 16) |
                      (uint32_t(t[2]) << 8) | t[3];
    ok = kp_adler32(block, f.raw_len) == stored;
  }
  if (!ok) {
    free(block);
    set_error("corrupt embedded font blob #%d", index);
    return nullptr;
  }
  g_raw[index] = block;
  g_raw_len[index] = size_t(got);
  return block;
}

static int32_t rd_i16(const uint8_t *p) {
  int32_t v = (int32_t(p[0]) << 8) | p[1];
  return v >= 0x8000 ? v - 0x10000 : v;
}

// Metrics of the font raw[0, len): 1, or 0 when head or hhea is missing
// (errno ENOMEM when a table copy could not be allocated).
static int read_metrics(const uint8_t *raw, size_t len, font_metrics *m) {
  ttf_bytes head, hhea;
  errno = 0;  // ttf_table also fails when its copy cannot be allocated
  int have_head = ttf_table(raw, len, "head", &head);
  int have_hhea = ttf_table(raw, len, "hhea", &hhea);
  if (!have_head || !have_hhea) {
    free(head.data);
    free(hhea.data);
    return 0;
  }
  m->units_per_em =
      head.len >= 20 ? (int(head.data[18]) << 8) | head.data[19] : 1000;
  if (head.len >= 44) {
    m->bbox_x_min = rd_i16(head.data + 36);
    m->bbox_y_min = rd_i16(head.data + 38);
    m->bbox_x_max = rd_i16(head.data + 40);
    m->bbox_y_max = rd_i16(head.data + 42);
  } else {
    m->bbox_x_min = -200;
    m->bbox_y_min = -300;
    m->bbox_x_max = 1200;
    m->bbox_y_max = 1100;
  }
  m->ascent = hhea.len >= 6 ? rd_i16(hhea.data + 4) : m->bbox_y_max;
  m->descent = hhea.len >= 8 ? rd_i16(hhea.data + 6) : m->bbox_y_min;
  if (m->units_per_em == 0) m->units_per_em = 1000;
  free(head.data);
  free(hhea.data);
  return 1;
}

const font_metrics *face_metrics(unsigned index) {
  if (index > 2) return nullptr;
  const uint8_t *raw = font_raw(int(index));
  if (!raw) return nullptr;
  font_metrics *m = &s_metrics[index];
  if (!read_metrics(raw, g_raw_len[index], m)) {
    if (errno == ENOMEM)
      set_error("out of memory reading embedded font #%d", int(index));
    else
      set_error("embedded font #%d has no head/hhea table", int(index));
    return nullptr;
  }
  return m;
}

void wm_font_cache_clear(void) {
  for (int i = 0; i < 3; i++) {
    free(g_raw[i]);
    g_raw[i] = nullptr;
    g_raw_len[i] = 0;
  }
}

// ---- text plan ---------------------------------------------------------------

static bool is_plain_ascii(const unsigned char *s) {
  for (; *s; s++)
    if (!(*s == 0x09 || *s == 0x0A || *s == 0x0D || (*s >= 0x20 && *s <= 0x7E)))
      return false;
  return true;
}

int wm_decode_utf8(const unsigned char *s, uint32_t *cp) {
  unsigned char c = s[0];
  int n;
  uint32_t v, min;
  if (c < 0x80) {
    *cp = c;
    return 1;
  } else if (c >= 0xC0 && c <= 0xDF) {
    n = 2, v = c & 0x1F, min = 0x80;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3, v = c & 0x0F, min = 0x800;
  } else if (c >= 0xF0 && c <= 0xF7) {
    n = 4, v = c & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  for (int i = 1; i < n; i++) {
    if ((s[i] & 0xC0) != 0x80) return 0;
    v = (v << 6) | (s[i] & 0x3F);
  }
  if (v < min || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return 0;
  *cp = v;
  return n;
}

static void free_runs(wm_plan *plan) {
  for (int i = 0; i < plan->run_count; i++) {
    free(plan->runs[i].glyphs);
    free(plan->runs[i].codes);
    free(plan->runs[i].codes2);
    free(plan->runs[i].cids);
  }
  free(plan->runs);
  memset(plan, 0, sizeof *plan);
}

// A new empty run at the end; null when out of memory.
static wm_run *add_run(wm_plan *plan) {
  if (plan->run_count == plan->run_cap) {
    if (plan->run_cap > INT_MAX / 2) return nullptr;
    const int cap = plan->run_cap ? plan->run_cap * 2 : WM_OWN_FONT_RUNS;
    wm_run *r = static_cast<wm_run *>(realloc(plan->runs, size_t(cap) * sizeof(wm_run)));
    if (!r) return nullptr;
    plan->runs = r;
    plan->run_cap = cap;
  }
  wm_run *r = &plan->runs[plan->run_count++];
  memset(r, 0, sizeof *r);
  return r;
}

// Beyond WM_OWN_FONT_RUNS runs, every run draws with the font (resource
// name and objects) of the first run of its font; so does every run when
// sharing whole fonts (a copy of a whole font per run is megabytes).
static void share_fonts(wm_plan *plan) {
  int first[WM_USER_FONT + 1] = {-1, -1, -1, -1};  // each font's first run
  const bool always = plan->flags.share_fonts && !plan->flags.subset;
  for (int i = 0; i < plan->run_count; i++) {
    wm_run *r = &plan->runs[i];
    r->shares = i;
    if (plan->run_count <= WM_OWN_FONT_RUNS && !always) continue;
    int &f = first[r->font];
    if (f < 0) {
      f = i;
      continue;
    }
    r->shares = f;
    memcpy(r->res_name, plan->runs[f].res_name, sizeof r->res_name);
  }
}

static int fail_plan(wm_plan *plan) {
  free_runs(plan);
  return 0;
}

// Grows the arrays (codes2 too when `two`) and appends one glyph.
static bool run_push(wm_run *r, uint16_t gid, uint32_t cp, uint32_t cp2,
                     bool two) {
  if (r->count == r->capacity) {
    if (r->capacity > INT_MAX / 2) return false;
    int cap = r->capacity ? r->capacity * 2 : 32;
    uint16_t *g = static_cast<uint16_t *>(
        realloc(r->glyphs, size_t(cap) * sizeof(uint16_t)));
    if (!g) return false;
    r->glyphs = g;
    uint32_t *c = static_cast<uint32_t *>(
        realloc(r->codes, size_t(cap) * sizeof(uint32_t)));
    if (!c) return false;
    r->codes = c;
    if (two) {
      c = static_cast<uint32_t *>(realloc(r->codes2, size_t(cap) * sizeof(uint32_t)));
      if (!c) return false;
      r->codes2 = c;
    }
    r->capacity = cap;
  }
  r->glyphs[r->count] = gid;
  r->codes[r->count] = cp;
  if (two) r->codes2[r->count] = cp2;
  r->count++;
  return true;
}

// The bytes of a plan's font (the user's or an embedded one, inflated on
// first use); NULL with the error text set.
static const uint8_t *plan_font(const wm_plan *plan, int font, size_t *len) {
  if (font == WM_USER_FONT) {
    *len = plan->flags.user->len;
    return plan->flags.user->data;
  }
  const uint8_t *raw = font_raw(font);
  *len = raw ? g_raw_len[font] : 0;
  return raw;
}

static const font_metrics *plan_metrics(const wm_plan *plan, int font) {
  if (font == WM_USER_FONT) return &plan->user_metrics;
  return face_metrics(unsigned(font));
}

const font_metrics *wm_plan_metrics(const wm_plan *plan, int font) {
  return plan_metrics(plan, font);
}

static const char *plan_font_name(const wm_plan *plan, int font) {
  return font == WM_USER_FONT ? plan->flags.user->name : g_fonts[font].name;
}

// One glyph of the line: its font, glyph id, the typed characters it
// stands for and its embedding level.
struct line_glyph {
  int font;
  uint16_t gid;
  uint32_t cp, cp2;
  uint8_t level;
};

// The glyph of cp in `font`, or 0.
static uint16_t glyph_in(const wm_plan *plan, int font, uint32_t cp) {
  size_t len;
  const uint8_t *raw = plan_font(plan, font, &len);
  int32_t g = !raw ? -1
              : font == WM_USER_FONT ? ttf_unicode_to_gid_full(raw, len, cp)
                                     : ttf_unicode_to_gid(raw, len, cp);
  return g > 0 && g <= 0xFFFF ? uint16_t(g) : 0;
}

// Contextual forms, lam-alef ligatures, levels, mirrored characters and the
// visual order of the logical glyphs `in` (one per character).
static std::vector<line_glyph> shape_line(const wm_plan *plan,
                                          const std::vector<line_glyph> &in) {
  const size_t n = in.size();
  std::vector<uint32_t> cps(n);
  for (size_t i = 0; i < n; i++) cps[i] = in[i].cp;
  std::vector<int8_t> forms(n);
  shape_forms(cps.data(), n, forms.data());
  std::vector<uint8_t> levels(n);
  bidi_levels(cps.data(), n, -1, levels.data());
  std::vector<line_glyph> out;
  out.reserve(n);
  for (size_t i = 0; i < n; i++) {
    line_glyph g = in[i];
    g.level = levels[i];
    if (g.cp == 0x0644 && i + 1 < n && in[i + 1].font == g.font) {
      uint32_t lig = shape_lam_alef(0x0644, in[i + 1].cp, forms[i]);
      uint16_t lg = lig ? glyph_in(plan, g.font, lig) : 0;
      if (lg) {
        // In right-to-left text the ligature's characters are kept in
        // visual order too (alef, lam): extraction reverses the visual run
        // character by character, and so gives them back as typed.
        g.gid = lg;
        g.cp2 = in[i + 1].cp;
        if (g.level % 2) std::swap(g.cp, g.cp2);
        out.push_back(g);
        i++;
        continue;
      }
    }
    if (forms[i] > FORM_ISOL) {
      uint32_t p = shape_presentation(g.cp, forms[i]);
      uint16_t pg = p ? glyph_in(plan, g.font, p) : 0;
      if (pg) g.gid = pg;
    }
    if (g.level % 2) {
      uint32_t m = bidi_mirror(g.cp);
      uint16_t mg = m != g.cp ? glyph_in(plan, g.font, m) : 0;
      if (mg) g.gid = mg;
    }
    out.push_back(g);
  }
  std::vector<uint8_t> glyph_levels(out.size());
  for (size_t i = 0; i < out.size(); i++) glyph_levels[i] = out[i].level;
  std::vector<size_t> order(out.size());
  bidi_reorder(glyph_levels.data(), out.size(), order.data());
  std::vector<line_glyph> visual;
  visual.reserve(out.size());
  for (size_t k : order) visual.push_back(out[k]);
  return visual;
}

int wm_plan_build(const char *text, int font_size, wm_plan *plan) {
  return wm_plan_build_ex(text, font_size, nullptr, plan);
}

// Whether a zero advance of the glyph for `code` is kept as 0: combining
// marks drawn in place, and in shaped text the invisible format characters
// (zero-width space and joiners, direction marks and embeddings, word
// joiner, byte order mark), which have nothing to draw over.
static bool zero_kept(const wm_plan *plan, uint32_t code) {
  if (plan->marks_in_place) return true;
  if (!plan->flags.shape) return false;
  return code == 0x061C || code == 0x180E || (code >= 0x200B && code <= 0x200F) ||
         (code >= 0x202A && code <= 0x202E) || (code >= 0x2060 && code <= 0x2064) ||
         (code >= 0x2066 && code <= 0x206F) || code == 0xFEFF ||
         (code >= 0xE0001 && code <= 0xE007F);
}

int wm_plan_build_ex(const char *text, int font_size, const wm_text_flags *flags,
                     wm_plan *plan) {
  memset(plan, 0, sizeof *plan);
  if (!text || !*text) return 1;
  const unsigned char *s = reinterpret_cast<const unsigned char *>(text);
  wm_text_flags fl = flags ? *flags : wm_text_flags{0, 0, nullptr, 0};
  if (!fl.user && is_plain_ascii(s)) return 1;
  plan->uses_fonts = 1;
  plan->flags = fl;
  if (fl.user && !read_metrics(fl.user->data, fl.user->len, &plan->user_metrics)) {
    set_error("font %s has no head/hhea table", fl.user->name);
    return fail_plan(plan);
  }

  // Decoding stops at the first bad sequence or line break; the characters
  // before it are looked up first, so that the first fault in text order is
  // the one reported.
  std::vector<line_glyph> line;
  int bad = 0;  // 1 bad UTF-8, 2 line break
  size_t bad_pos = 0;
  for (size_t pos = 0; s[pos];) {
    uint32_t cp;
    int n = wm_decode_utf8(s + pos, &cp);
    if (n == 0 || cp == 0x0A || cp == 0x0D) {
      bad = n == 0 ? 1 : 2;
      bad_pos = pos;
      break;
    }
    line.push_back({-1, 0, cp == 0x09 ? 0x20u : cp, 0, 0});
    pos += size_t(n);
  }
  for (line_glyph &g : line) {
    if (fl.user) {
      g.gid = glyph_in(plan, WM_USER_FONT, g.cp);
      if (g.gid) g.font = WM_USER_FONT;
    }
    for (int f = 0; f < 3 && g.font < 0; f++) {
      if (!font_raw(f)) return fail_plan(plan);  // out of memory: its message is set
      g.gid = glyph_in(plan, f, g.cp);
      if (g.gid) g.font = f;
    }
    if (g.font < 0) {
      set_error("watermark text contains a character this build cannot draw "
                "(U+%04X) \xE2\x80\x94 remove it or use plain text",
                unsigned(g.cp));
      return fail_plan(plan);
    }
  }
  auto report_bad = [&]() {
    if (bad == 1)
      set_error("watermark text is not valid UTF-8 (bad byte 0x%02X at offset %ld)",
                unsigned(s[bad_pos]), long(bad_pos));
    else
      set_error("watermark text contains a line break \xE2\x80\x94 multi-line "
                "watermarks are not supported");
    return fail_plan(plan);
  };
  if (fl.shape) {
    if (bad) return report_bad();
    line = shape_line(plan, line);
    // A mark follows its letter in left-to-right text, and a zero advance
    // puts it over that letter. In a right-to-left run the visual order
    // puts it before its letter, where no advance would put it over the
    // next one: such text keeps half an em.
    plan->marks_in_place = 1;
    for (const line_glyph &g : line)
      if (g.level % 2) plan->marks_in_place = 0;
  }

  wm_run *cur = nullptr;
  for (const line_glyph &g : line) {
    if (!cur || cur->font != g.font) {
      if (plan->run_count == WM_OWN_FONT_RUNS && !fl.share_fonts) {
        set_error("watermark text switches between scripts too many times "
                  "(max %d runs)",
                  WM_OWN_FONT_RUNS);
        return fail_plan(plan);
      }
      cur = add_run(plan);
      if (!cur) {
        set_error("out of memory building watermark text plan");
        return fail_plan(plan);
      }
      cur->font = g.font;
      snprintf(cur->res_name, sizeof cur->res_name, "KpWmF%d",
               plan->run_count);
    }
    if (!run_push(cur, g.gid, g.cp, g.cp2, fl.shape != 0)) {
      set_error("out of memory building watermark text plan");
      return fail_plan(plan);
    }
  }
  if (bad) return report_bad();
  share_fonts(plan);

  // A line of marks alone (nothing to draw them over) is measured as the
  // classic way measures it: a line of no width cannot be placed or tiled.
  for (int pass = 0; pass < 2; pass++) {
    plan->total_width = 0;
    for (int i = 0; i < plan->run_count; i++) {
      wm_run *r = &plan->runs[i];
      const font_metrics *m = plan_metrics(plan, r->font);
      if (!m) return fail_plan(plan);
      size_t raw_len;
      const uint8_t *raw = plan_font(plan, r->font, &raw_len);
      double upem = double(m->units_per_em);
      r->width = 0;
      for (int k = 0; k < r->count; k++) {
        int32_t adv = ttf_advance(raw, raw_len, r->glyphs[k]);
        // Zero-advance glyphs (combining marks) get half an em so that a
        // mark drawn on its own does not overprint its neighbour, unless
        // they are drawn in place (see wm_plan.marks_in_place).
        if (adv < 0 || (adv == 0 && !zero_kept(plan, r->codes[k]))) adv = m->units_per_em / 2;
        r->width += double(adv) / upem * font_size;
      }
      plan->total_width += r->width;
    }
    if (!(plan->marks_in_place && plan->total_width <= 0)) break;
    plan->marks_in_place = 0;
  }

  const font_metrics *m = plan_metrics(plan, plan->runs[0].font);
  if (!m) return fail_plan(plan);  // its message is set
  double factor = 0.36;
  if (m->units_per_em > 0)
    factor = (m->ascent + m->descent) * 0.5 / m->units_per_em;
  plan->mid_height = factor * font_size;
  return 1;
}

void wm_plan_free(wm_plan *plan) {
  if (!plan) return;
  free_runs(plan);
}

// ---- font objects ------------------------------------------------------------

// Font units to the 1000-unit glyph space of PDF font dictionaries, as a
// floor (round_up 0) or a ceiling (round_up 1); the product fits in 64 bits.
static int to_glyph_space(int v, int upem, int round_up) {
  int64_t p = int64_t(v) * 1000;
  int64_t q = p / upem;
  if (p % upem != 0 && ((p < 0) != round_up)) q += round_up ? 1 : -1;
  return int(q);
}

static int glyph_width(const uint8_t *raw, size_t raw_len, int upem,
                       uint16_t gid, bool keep_zero) {
  int32_t adv = ttf_advance(raw, raw_len, gid);
  if (adv == 0 && keep_zero && upem > 0) return 0;
  if (adv <= 0 || upem <= 0) return 500;
  return int(int64_t(adv) * 1000 / upem);
}

struct width_range {
  int first, last, width;
};

// One range per stretch of shown ids rising by one with equal widths, in
// the given order. `gids` are the ids in the font raw[0, raw_len) the
// widths come from.
static std::vector<width_range> width_ranges(const uint16_t *ids, const uint16_t *gids,
                                             const uint32_t *codes, int count,
                                             const uint8_t *raw, size_t raw_len, int upem,
                                             const wm_plan *plan) {
  std::vector<width_range> out;
  for (int k = 0; k < count; k++) {
    int g = ids[k];
    int w = glyph_width(raw, raw_len, upem, gids[k], zero_kept(plan, codes[k]));
    if (!out.empty() && g == out.back().last + 1 && w == out.back().width) {
      out.back().last = g;
      continue;
    }
    out.push_back({g, g, w});
  }
  return out;
}

// True when two ranges share an id without being the same range. Readers
// that look an id up among ranges sorted by their first id (poppler does)
// may then find one that ends before it and give it the default width;
// repeats of one range are harmless.
static bool ranges_overlap(std::vector<width_range> r) {
  std::sort(r.begin(), r.end(), [](const width_range &a, const width_range &b) {
    return a.first != b.first ? a.first < b.first : a.last < b.last;
  });
  int reach = -1;  // the highest id the ranges before cover
  for (size_t i = 0; i < r.size(); i++) {
    if (i > 0 && r[i].first <= reach &&
        (r[i].first != r[i - 1].first || r[i].last != r[i - 1].last))
      return true;
    reach = std::max(reach, r[i].last);
  }
  return false;
}

// The /W array of the ranges: "[first last width ...]".
static void widths_text(const std::vector<width_range> &ranges, byte_buf *b) {
  buf_str(b, "[");
  for (const width_range &r : ranges) buf_printf(b, "%d %d %d ", r.first, r.last, r.width);
  buf_str(b, "]");
}

// A character as UTF-16 hexadecimal: 4 digits, or 8 for a surrogate pair.
static void put_utf16(byte_buf *b, uint32_t cp) {
  if (cp > 0xFFFF) {
    uint32_t v = cp - 0x10000;
    buf_printf(b, "%04X%04X", unsigned(0xD800 + (v >> 10)),
               unsigned(0xDC00 + (v & 0x3FF)));
  } else {
    buf_printf(b, "%04X", unsigned(cp));
  }
}

// ToUnicode entries id -> codes[k] (and codes2[k] after it for a ligature,
// when codes2 is given and the entry is not 0).
static void tounicode_text(const uint16_t *ids, const uint32_t *codes,
                           const uint32_t *codes2, int count, byte_buf *b) {
  buf_str(b, "/CIDInit /ProcSet findresource begin\n");
  buf_str(b, "12 dict begin\nbegincmap\n");
  buf_str(b, "/CIDSystemInfo << /Registry (Adobe) /Ordering (UCS) "
             "/Supplement 0 >> def\n");
  buf_str(b, "/CMapName /Adobe-Identity-UCS def\n/CMapType 2 def\n");
  buf_str(b, "1 begincodespacerange\n<0000> <FFFF>\nendcodespacerange\n");
  for (int k = 0; k < count; k += 100) {
    int n = count - k < 100 ? count - k : 100;
    buf_printf(b, "%d beginbfchar\n", n);
    for (int j = k; j < k + n; j++) {
      buf_printf(b, "<%04X> <", unsigned(ids[j]));
      put_utf16(b, codes[j]);
      if (codes2 && codes2[j]) put_utf16(b, codes2[j]);
      buf_str(b, ">\n");
    }
    buf_str(b, "endbfchar\n");
  }
  buf_str(b, "endcmap\nCMapName currentdict /CMap defineresource pop\n");
  buf_str(b, "end\nend\n");
}

static bool buf_ok(const byte_buf *b) { return b->data && !b->failed; }

// The five objects n + 1 .. n + 5 of one font: the font file (`file`, a
// zlib stream of file_len bytes inflating to raw_len, owned from here on),
// the descriptor, the descendant font with the widths text, the Type0 font
// and the ToUnicode map `map` (its buffer is taken over).
static int emit_five(int32_t n, const char *name, const font_metrics *m,
                     uint8_t *file, size_t file_len, size_t raw_len,
                     const char *widths, byte_buf *map, new_object **objs,
                     int *count, int *capacity) {
  int upem = m->units_per_em;
  char *dict = fmt_alloc("<< /Length %lu /Length1 %lu /Filter /FlateDecode >>",
                         static_cast<unsigned long>(file_len),
                         static_cast<unsigned long>(raw_len));
  if (!dict) {
    free(file);
    buf_free(map);
    set_error("out of memory emitting FontFile2");
    return 0;
  }
  if (!push_obj(objs, count, capacity, n + 1, dict, file, file_len, 1)) {
    buf_free(map);
    set_error("out of memory emitting FontFile2");
    return 0;
  }

  // n + 2: the descriptor, in the 1000-unit glyph space like /W (the font
  // file's own units would make the box of a 2048-unit font twice too big
  // and that of a 256-unit font four times too small).
  int ascent = int(int64_t(m->ascent) * 1000 / upem);
  int descent = int(int64_t(m->descent) * 1000 / upem);
  dict = fmt_alloc(
      "<< /Type /FontDescriptor /FontName /%s /Flags 4 /FontBBox [%d %d %d "
      "%d] /ItalicAngle 0 /Ascent %d /Descent %d /CapHeight %d /StemV 80 "
      "/FontFile2 %ld 0 R >>",
      name, to_glyph_space(m->bbox_x_min, upem, 0),
      to_glyph_space(m->bbox_y_min, upem, 0),
      to_glyph_space(m->bbox_x_max, upem, 1),
      to_glyph_space(m->bbox_y_max, upem, 1), ascent, descent,
      int(ascent * 0.7), long(n + 1));
  if (!dict || !push_obj(objs, count, capacity, n + 2, dict, nullptr, 0, 0)) {
    buf_free(map);
    set_error("out of memory emitting FontDescriptor");
    return 0;
  }

  // n + 3: the descendant font with the widths.
  dict = fmt_alloc(
      "<< /Type /Font /Subtype /CIDFontType2 /BaseFont /%s /CIDSystemInfo "
      "<< /Registry (Adobe) /Ordering (Identity) /Supplement 0 >> "
      "/FontDescriptor %ld 0 R /CIDToGIDMap /Identity /DW 1000 /W %s >>",
      name, long(n + 2), widths);
  if (!dict || !push_obj(objs, count, capacity, n + 3, dict, nullptr, 0, 0)) {
    buf_free(map);
    set_error("out of memory emitting CIDFontType2");
    return 0;
  }

  // n + 4: the Type0 font the page resources name.
  dict = fmt_alloc(
      "<< /Type /Font /Subtype /Type0 /BaseFont /%s /Encoding /Identity-H "
      "/DescendantFonts [ %ld 0 R ] /ToUnicode %ld 0 R >>",
      name, long(n + 3), long(n + 5));
  if (!dict || !push_obj(objs, count, capacity, n + 4, dict, nullptr, 0, 0)) {
    buf_free(map);
    set_error("out of memory emitting Type0 font");
    return 0;
  }

  // n + 5: glyph id -> code point, uncompressed.
  if (!buf_ok(map)) {
    buf_free(map);
    set_error("out of memory emitting ToUnicode CMap");
    return 0;
  }
  dict = fmt_alloc("<< /Length %lu >>", static_cast<unsigned long>(map->len));
  if (!dict) {
    buf_free(map);
    set_error("out of memory emitting ToUnicode CMap");
    return 0;
  }
  size_t map_len = map->len;
  uint8_t *map_data = reinterpret_cast<uint8_t *>(map->data);
  map->data = nullptr;
  if (!push_obj(objs, count, capacity, n + 5, dict, map_data, map_len, 1)) {
    set_error("out of memory emitting ToUnicode CMap");
    return 0;
  }
  return 1;
}

static int take_numbers(int64_t *last_obj, int32_t *n) {
  if (*last_obj > INT32_MAX - 5) {
    set_error("too many objects in the document to add embedded fonts");
    return 0;
  }
  *n = static_cast<int32_t>(*last_obj);
  *last_obj = *n + 5;
  return 1;
}

// The whole font file as a zlib stream: a copy of the stored stream of an
// embedded font, the user's font compressed.
static uint8_t *whole_font_file(const wm_plan *plan, int font, size_t *file_len,
                                size_t *raw_len) {
  if (font == WM_USER_FONT) {
    uint8_t *z = nullptr;
    if (kp_deflate(plan->flags.user->data, plan->flags.user->len, &z, file_len) != 0) {
      set_error("out of memory compressing font %s", plan->flags.user->name);
      return nullptr;
    }
    *raw_len = plan->flags.user->len;
    return z;
  }
  const embedded_font &f = g_fonts[font];
  uint8_t *copy = static_cast<uint8_t *>(malloc(f.comp_len));
  if (!copy) {
    set_error("out of memory copying embedded font");
    return nullptr;
  }
  memcpy(copy, f.data, f.comp_len);
  *file_len = f.comp_len;
  *raw_len = f.raw_len;
  return copy;
}

// A glyph drawn: the id shown (the subset's, or the glyph id itself), its
// glyph id in the whole font, and the character (or two, for a ligature)
// it stands for.
struct shown_glyph {
  uint16_t id, gid;
  uint32_t cp, cp2;
};

// Shown ids in order, each once with the first characters that gave it:
// what the widths and the map of a font drawn by several runs list.
struct shown_lists {
  std::vector<uint16_t> ids, gids;
  std::vector<uint32_t> codes, codes2;
};

static shown_lists each_id_once(std::vector<shown_glyph> all) {
  std::stable_sort(all.begin(), all.end(),
                   [](const shown_glyph &a, const shown_glyph &b) { return a.id < b.id; });
  shown_lists out;
  for (size_t k = 0; k < all.size(); k++) {
    if (k > 0 && all[k].id == all[k - 1].id) continue;
    out.ids.push_back(all[k].id);
    out.gids.push_back(all[k].gid);
    out.codes.push_back(all[k].cp);
    out.codes2.push_back(all[k].cp2);
  }
  return out;
}

// Whole fonts: five objects per run with a font of its own, as the classic
// exports write them.
static int emit_whole_fonts(wm_plan *plan, int64_t *last_obj, new_object **objs,
                            int *count, int *capacity) {
  for (int i = 0; i < plan->run_count; i++) {
    wm_run *r = &plan->runs[i];
    if (r->shares != i) {
      r->type0_obj = plan->runs[r->shares].type0_obj;
      continue;
    }
    const font_metrics *m = plan_metrics(plan, r->font);
    if (!m) return 0;
    size_t raw_len;
    const uint8_t *raw = plan_font(plan, r->font, &raw_len);
    if (!raw) return 0;
    int32_t n;
    if (!take_numbers(last_obj, &n)) return 0;
    r->type0_obj = n + 4;

    // The widths and the map cover the glyphs of every run drawing with
    // this font. Up to eight runs, each with a font of its own, a run lists
    // its glyphs in text order; beyond eight (runs share fonts), or when
    // the ranges would overlap, each glyph is listed once, in order.
    const uint16_t *gids = r->glyphs;
    const uint32_t *codes = r->codes, *codes2 = r->codes2;
    int n_gids = r->count;
    std::vector<width_range> ranges =
        width_ranges(r->glyphs, r->glyphs, r->codes, r->count, raw, raw_len, m->units_per_em,
                     plan);
    shown_lists once;
    bool shared = false;  // later runs draw with this one's font
    for (int j = i + 1; j < plan->run_count && !shared; j++) shared = plan->runs[j].shares == i;
    if (plan->run_count > WM_OWN_FONT_RUNS || shared || ranges_overlap(ranges)) {
      std::vector<shown_glyph> all;
      for (int j = i; j < plan->run_count; j++) {
        const wm_run *o = &plan->runs[j];
        if (o->shares != i) continue;
        for (int k = 0; k < o->count; k++)
          all.push_back({o->glyphs[k], o->glyphs[k], o->codes[k], o->codes2 ? o->codes2[k] : 0});
      }
      once = each_id_once(std::move(all));
      gids = once.ids.data();
      codes = once.codes.data();
      codes2 = once.codes2.data();
      n_gids = int(once.ids.size());
      ranges = width_ranges(gids, gids, codes, n_gids, raw, raw_len, m->units_per_em, plan);
    }
    // Nothing from here on throws: the font file is owned by hand.
    size_t file_len = 0, file_raw_len = 0;
    uint8_t *file = whole_font_file(plan, r->font, &file_len, &file_raw_len);
    if (!file) return 0;
    byte_buf w;
    buf_init(&w);
    widths_text(ranges, &w);
    byte_buf map;
    buf_init(&map);
    tounicode_text(gids, codes, codes2, n_gids, &map);
    if (!buf_ok(&w)) {
      buf_free(&w);
      buf_free(&map);
      free(file);
      set_error("out of memory building /W array");
      return 0;
    }
    int ok = emit_five(n, plan_font_name(plan, r->font), m, file, file_len,
                       file_raw_len, w.data, &map, objs, count, capacity);
    buf_free(&w);
    buf_free(&map);
    if (!ok) return 0;
  }
  return 1;
}

// Subset fonts: one set of five objects per font, shared by its runs; the
// runs show the subset's glyph ids (cids).
static int emit_subset_fonts(wm_plan *plan, int64_t *last_obj, new_object **objs,
                             int *count, int *capacity) {
  bool done[WM_USER_FONT + 1] = {false, false, false, false};
  for (int i = 0; i < plan->run_count; i++) {
    const int font = plan->runs[i].font;
    if (done[font]) continue;
    done[font] = true;
    const font_metrics *m = plan_metrics(plan, font);
    if (!m) return 0;
    size_t raw_len;
    const uint8_t *raw = plan_font(plan, font, &raw_len);
    if (!raw) return 0;

    std::vector<uint16_t> gids;
    std::vector<ttf_cmap_pair> pairs;
    for (int j = i; j < plan->run_count; j++) {
      const wm_run *r = &plan->runs[j];
      if (r->font != font) continue;
      for (int k = 0; k < r->count; k++) {
        gids.push_back(r->glyphs[k]);
        if (!r->codes2 || !r->codes2[k]) pairs.push_back({r->codes[k], r->glyphs[k]});
      }
    }
    const bool whole = font == WM_USER_FONT && plan->flags.user->no_subset;
    ttf_subset_out sub;
    std::string name = plan_font_name(plan, font);
    if (!whole) {
      const char *why = "";
      if (!ttf_subset(raw, raw_len, gids.data(), gids.size(), pairs.data(),
                      pairs.size(), &sub, &why)) {
        set_error("cannot subset font %s: %s", name.c_str(), why);
        return 0;
      }
      char tag[7];
      ttf_subset_tag(&sub, name.c_str(), tag);
      name = std::string(tag) + "+" + name;
    }

    // Shown ids of every run of this font, and one entry per shown id for
    // the widths and the map (the first character that gave it).
    std::vector<shown_glyph> entries;
    for (int j = i; j < plan->run_count; j++) {
      wm_run *r = &plan->runs[j];
      if (r->font != font) continue;
      r->cids = static_cast<uint16_t *>(malloc(size_t(r->count) * sizeof(uint16_t) + 1));
      if (!r->cids) {
        set_error("out of memory building watermark text plan");
        return 0;
      }
      for (int k = 0; k < r->count; k++) {
        uint16_t cid = whole ? r->glyphs[k] : uint16_t(ttf_subset_gid(&sub, r->glyphs[k]));
        r->cids[k] = cid;
        entries.push_back({cid, r->glyphs[k], r->codes[k], r->codes2 ? r->codes2[k] : 0});
      }
    }
    const shown_lists once = each_id_once(std::move(entries));
    const std::vector<width_range> ranges =
        width_ranges(once.ids.data(), once.gids.data(), once.codes.data(), int(once.ids.size()),
                     raw, raw_len, m->units_per_em, plan);
    int32_t n;
    if (!take_numbers(last_obj, &n)) return 0;
    for (int j = i; j < plan->run_count; j++)
      if (plan->runs[j].font == font) plan->runs[j].type0_obj = n + 4;
    // Nothing from here on throws: the font file is owned by hand.
    uint8_t *file = nullptr;
    size_t file_len = 0, file_raw_len = 0;
    if (whole) {
      file = whole_font_file(plan, font, &file_len, &file_raw_len);
      if (!file) return 0;
    } else {
      if (kp_deflate(sub.font.data(), sub.font.size(), &file, &file_len) != 0) {
        set_error("out of memory compressing font %s", name.c_str());
        return 0;
      }
      file_raw_len = sub.font.size();
    }
    byte_buf w;
    buf_init(&w);
    widths_text(ranges, &w);
    byte_buf map;
    buf_init(&map);
    tounicode_text(once.ids.data(), once.codes.data(), once.codes2.data(), int(once.ids.size()),
                   &map);
    if (!buf_ok(&w)) {
      buf_free(&w);
      buf_free(&map);
      free(file);
      set_error("out of memory building /W array");
      return 0;
    }
    int ok = emit_five(n, name.c_str(), m, file, file_len, file_raw_len,
                       w.data, &map, objs, count, capacity);
    buf_free(&w);
    buf_free(&map);
    if (!ok) return 0;
  }
  return 1;
}

int wm_plan_emit_fonts(wm_plan *plan, int64_t *last_obj, new_object **objs,
                       int *count, int *capacity) {
  if (plan->flags.subset) return emit_subset_fonts(plan, last_obj, objs, count, capacity);
  return emit_whole_fonts(plan, last_obj, objs, count, capacity);
}

// ---- text operators ------------------------------------------------------------

int wm_plan_emit_text(const wm_plan *plan, int font_size, double x, double y,
                      byte_buf *out) {
  static const char hex[] = "0123456789ABCDEF";
  double cur = x;
  for (int i = 0; i < plan->run_count; i++) {
    const wm_run *r = &plan->runs[i];
    const uint16_t *shown = r->cids ? r->cids : r->glyphs;
    buf_printf(out, "/%s %d Tf\n1 0 0 1 %.2f %.2f Tm\n<", r->res_name,
               font_size, cur, y);
    char chunk[4 * 64];
    int used = 0;
    for (int k = 0; k < r->count; k++) {
      unsigned g = shown[k];
      chunk[used++] = hex[(g >> 12) & 15];
      chunk[used++] = hex[(g >> 8) & 15];
      chunk[used++] = hex[(g >> 4) & 15];
      chunk[used++] = hex[g & 15];
      if (used == int(sizeof chunk)) {
        buf_bytes(out, chunk, size_t(used));
        used = 0;
      }
    }
    buf_bytes(out, chunk, size_t(used));
    buf_str(out, "> Tj\n");
    cur += r->width;
  }
  return 1;
}
