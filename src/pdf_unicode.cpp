// Text rendering with the three embedded TrueType fonts: the font table and
// the cache of inflated fonts, the text plan (strict UTF-8 decoding, first
// font whose cmap has the character, runs of one font, widths), the five PDF
// objects of each run (Type0 / CIDFontType2 with Identity-H, PDF 9.7 and
// 9.10 ToUnicode) and the text-showing operators. No shaping, no bidi.
//
// Process-wide state: g_raw, g_raw_len (inflated fonts, kept until
// wm_font_cache_clear) and s_metrics (the records face_metrics hands out).
#include "pdf_unicode.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "flate.h"
#include "ttf.h"

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

const font_metrics *face_metrics(unsigned index) {
  if (index > 2) return nullptr;
  const uint8_t *raw = font_raw(int(index));
  if (!raw) return nullptr;
  ttf_bytes head, hhea;
  errno = 0;  // ttf_table also fails when its copy cannot be allocated
  int have_head = ttf_table(raw, g_raw_len[index], "head", &head);
  int have_hhea = ttf_table(raw, g_raw_len[index], "hhea", &hhea);
  if (!have_head || !have_hhea) {
    free(head.data);
    free(hhea.data);
    if (errno == ENOMEM)
      set_error("out of memory reading embedded font #%d", int(index));
    else
      set_error("embedded font #%d has no head/hhea table", int(index));
    return nullptr;
  }
  font_metrics *m = &s_metrics[index];
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

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
// The terminating NUL is no continuation byte, so a cut sequence stops there.
// Returns the sequence length, or 0.
static int decode_utf8(const unsigned char *s, uint32_t *cp) {
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
  for (int i = 0; i < plan->run_count && i < WM_MAX_RUNS; i++) {
    free(plan->runs[i].glyphs);
    free(plan->runs[i].codes);
  }
  memset(plan, 0, sizeof *plan);
}

static int fail_plan(wm_plan *plan) {
  free_runs(plan);
  return 0;
}

static bool run_push(wm_run *r, uint16_t gid, uint32_t cp) {
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
    r->capacity = cap;
  }
  r->glyphs[r->count] = gid;
  r->codes[r->count] = cp;
  r->count++;
  return true;
}

int wm_plan_build(const char *text, int font_size, wm_plan *plan) {
  memset(plan, 0, sizeof *plan);
  if (!text || !*text) return 1;
  const unsigned char *s = reinterpret_cast<const unsigned char *>(text);
  if (is_plain_ascii(s)) return 1;
  plan->uses_fonts = 1;

  wm_run *cur = nullptr;
  for (size_t pos = 0; s[pos];) {
    uint32_t cp;
    int n = decode_utf8(s + pos, &cp);
    if (n == 0) {
      set_error("watermark text is not valid UTF-8 (bad byte 0x%02X at offset %ld)",
                unsigned(s[pos]), long(pos));
      return fail_plan(plan);
    }
    if (cp == 0x0A || cp == 0x0D) {
      set_error("watermark text contains a line break \xE2\x80\x94 multi-line "
                "watermarks are not supported");
      return fail_plan(plan);
    }
    if (cp == 0x09) cp = 0x20;

    int font = -1;
    int32_t gid = -1;
    for (int f = 0; f < 3; f++) {
      const uint8_t *raw = font_raw(f);
      if (!raw) return fail_plan(plan);  // out of memory: its message is set
      gid = ttf_unicode_to_gid(raw, g_raw_len[f], cp);
      if (gid > 0 && gid <= 0xFFFF) {
        font = f;
        break;
      }
    }
    if (font < 0) {
      set_error("watermark text contains a character this build cannot draw "
                "(U+%04X) \xE2\x80\x94 remove it or use plain text",
                unsigned(cp));
      return fail_plan(plan);
    }

    if (!cur || cur->font != font) {
      if (plan->run_count == WM_MAX_RUNS) {
        set_error("watermark text switches between scripts too many times "
                  "(max %d runs)",
                  WM_MAX_RUNS);
        return fail_plan(plan);
      }
      cur = &plan->runs[plan->run_count];
      memset(cur, 0, sizeof *cur);
      cur->font = font;
      plan->run_count++;
      snprintf(cur->res_name, sizeof cur->res_name, "KpWmF%d",
               plan->run_count);
    }
    if (!run_push(cur, uint16_t(gid), cp)) {
      set_error("out of memory building watermark text plan");
      return fail_plan(plan);
    }
    pos += size_t(n);
  }

  for (int i = 0; i < plan->run_count; i++) {
    wm_run *r = &plan->runs[i];
    const font_metrics *m = face_metrics(unsigned(r->font));
    if (!m) return fail_plan(plan);
    const uint8_t *raw = g_raw[r->font];
    size_t raw_len = g_raw_len[r->font];
    double upem = double(m->units_per_em);
    r->width = 0;
    for (int k = 0; k < r->count; k++) {
      int32_t adv = ttf_advance(raw, raw_len, r->glyphs[k]);
      // Zero-advance glyphs (combining marks) get half an em so that a mark
      // drawn on its own does not overprint its neighbour.
      if (adv <= 0) adv = m->units_per_em / 2;
      r->width += double(adv) / upem * font_size;
    }
    plan->total_width += r->width;
  }

  const font_metrics *m = face_metrics(unsigned(plan->runs[0].font));
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
                       uint16_t gid) {
  int32_t adv = ttf_advance(raw, raw_len, gid);
  if (adv <= 0 || upem <= 0) return 500;
  return int(int64_t(adv) * 1000 / upem);
}

// One entry per stretch of glyph ids rising by one with equal widths, in
// text order: "first last width ".
static void widths_text(const wm_run *r, const uint8_t *raw, size_t raw_len,
                        int upem, byte_buf *b) {
  buf_str(b, "[");
  int first = -1, last = -1, width = 0;
  for (int k = 0; k < r->count; k++) {
    int g = r->glyphs[k];
    int w = glyph_width(raw, raw_len, upem, r->glyphs[k]);
    if (first >= 0 && g == last + 1 && w == width) {
      last = g;
      continue;
    }
    if (first >= 0) buf_printf(b, "%d %d %d ", first, last, width);
    first = last = g;
    width = w;
  }
  if (first >= 0) buf_printf(b, "%d %d %d ", first, last, width);
  buf_str(b, "]");
}

static void tounicode_text(const wm_run *r, byte_buf *b) {
  buf_str(b, "/CIDInit /ProcSet findresource begin\n");
  buf_str(b, "12 dict begin\nbegincmap\n");
  buf_str(b, "/CIDSystemInfo << /Registry (Adobe) /Ordering (UCS) "
             "/Supplement 0 >> def\n");
  buf_str(b, "/CMapName /Adobe-Identity-UCS def\n/CMapType 2 def\n");
  buf_str(b, "1 begincodespacerange\n<0000> <FFFF>\nendcodespacerange\n");
  for (int k = 0; k < r->count; k += 100) {
    int n = r->count - k < 100 ? r->count - k : 100;
    buf_printf(b, "%d beginbfchar\n", n);
    for (int j = k; j < k + n; j++) {
      uint32_t cp = r->codes[j];
      if (cp > 0xFFFF) {
        // UTF-16 surrogate pair for characters beyond the BMP.
        uint32_t v = cp - 0x10000;
        buf_printf(b, "<%04X> <%04X%04X>\n", unsigned(r->glyphs[j]),
                   unsigned(0xD800 + (v >> 10)), unsigned(0xDC00 + (v & 0x3FF)));
      } else {
        buf_printf(b, "<%04X> <%04X>\n", unsigned(r->glyphs[j]), unsigned(cp));
      }
    }
    buf_str(b, "endbfchar\n");
  }
  buf_str(b, "endcmap\nCMapName currentdict /CMap defineresource pop\n");
  buf_str(b, "end\nend\n");
}

static bool buf_ok(const byte_buf *b) { return b->data && !b->failed; }

int wm_plan_emit_fonts(wm_plan *plan, int32_t *last_obj, new_object **objs,
                       int *count, int *capacity) {
  for (int i = 0; i < plan->run_count; i++) {
    const wm_run *r = &plan->runs[i];
    const embedded_font &f = g_fonts[r->font];
    const font_metrics *m = face_metrics(unsigned(r->font));
    if (!m) return 0;
    const uint8_t *raw = font_raw(r->font);
    if (!raw) return 0;
    size_t raw_len = g_raw_len[r->font];
    int upem = m->units_per_em;

    if (*last_obj > INT32_MAX - 5) {
      set_error("too many objects in the document to add embedded fonts");
      return 0;
    }
    int32_t n = *last_obj;
    *last_obj = n + 5;
    plan->type0_objs[i] = n + 4;

    // n + 1: the stored zlib stream, unchanged.
    uint8_t *copy = static_cast<uint8_t *>(malloc(f.comp_len));
    if (!copy) {
      set_error("out of memory copying embedded font");
      return 0;
    }
    memcpy(copy, f.data, f.comp_len);
    char *dict = fmt_alloc("<< /Length %lu /Length1 %lu /Filter /FlateDecode >>",
                           static_cast<unsigned long>(f.comp_len),
                           static_cast<unsigned long>(f.raw_len));
    if (!dict) {
      free(copy);
      set_error("out of memory emitting FontFile2");
      return 0;
    }
    if (!push_obj(objs, count, capacity, n + 1, dict, copy, f.comp_len, 1)) {
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
        f.name, to_glyph_space(m->bbox_x_min, upem, 0),
        to_glyph_space(m->bbox_y_min, upem, 0),
        to_glyph_space(m->bbox_x_max, upem, 1),
        to_glyph_space(m->bbox_y_max, upem, 1), ascent, descent,
        int(ascent * 0.7), long(n + 1));
    if (!dict || !push_obj(objs, count, capacity, n + 2, dict, nullptr, 0, 0)) {
      set_error("out of memory emitting FontDescriptor");
      return 0;
    }

    // n + 3: the descendant font with the widths.
    byte_buf w;
    buf_init(&w);
    widths_text(r, raw, raw_len, upem, &w);
    if (!buf_ok(&w)) {
      buf_free(&w);
      set_error("out of memory building /W array");
      return 0;
    }
    dict = fmt_alloc(
        "<< /Type /Font /Subtype /CIDFontType2 /BaseFont /%s /CIDSystemInfo "
        "<< /Registry (Adobe) /Ordering (Identity) /Supplement 0 >> "
        "/FontDescriptor %ld 0 R /CIDToGIDMap /Identity /DW 1000 /W %s >>",
        f.name, long(n + 2), w.data);
    buf_free(&w);
    if (!dict || !push_obj(objs, count, capacity, n + 3, dict, nullptr, 0, 0)) {
      set_error("out of memory emitting CIDFontType2");
      return 0;
    }

    // n + 4: the Type0 font the page resources name.
    dict = fmt_alloc(
        "<< /Type /Font /Subtype /Type0 /BaseFont /%s /Encoding /Identity-H "
        "/DescendantFonts [ %ld 0 R ] /ToUnicode %ld 0 R >>",
        f.name, long(n + 3), long(n + 5));
    if (!dict || !push_obj(objs, count, capacity, n + 4, dict, nullptr, 0, 0)) {
      set_error("out of memory emitting Type0 font");
      return 0;
    }

    // n + 5: glyph id -> code point, uncompressed.
    byte_buf map;
    buf_init(&map);
    tounicode_text(r, &map);
    if (!buf_ok(&map)) {
      buf_free(&map);
      set_error("out of memory emitting ToUnicode CMap");
      return 0;
    }
    dict = fmt_alloc("<< /Length %lu >>", static_cast<unsigned long>(map.len));
    if (!dict) {
      buf_free(&map);
      set_error("out of memory emitting ToUnicode CMap");
      return 0;
    }
    size_t map_len = map.len;
    uint8_t *map_data = reinterpret_cast<uint8_t *>(map.data);
    if (!push_obj(objs, count, capacity, n + 5, dict, map_data, map_len, 1)) {
      set_error("out of memory emitting ToUnicode CMap");
      return 0;
    }
  }
  return 1;
}

// ---- text operators ------------------------------------------------------------

int wm_plan_emit_text(const wm_plan *plan, int font_size, double x, double y,
                      byte_buf *out) {
  static const char hex[] = "0123456789ABCDEF";
  double cur = x;
  for (int i = 0; i < plan->run_count; i++) {
    const wm_run *r = &plan->runs[i];
    buf_printf(out, "/%s %d Tf\n1 0 0 1 %.2f %.2f Tm\n<", r->res_name,
               font_size, cur, y);
    char chunk[4 * 64];
    int used = 0;
    for (int k = 0; k < r->count; k++) {
      unsigned g = r->glyphs[k];
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
