// Text rendering with the embedded fonts: the font table and its cache, the
// text plan (UTF-8 decoding, font choice, runs, widths), the font objects of
// each run and the text-showing operators.
//
// Process-wide state: g_raw and g_raw_len (the cache of inflated fonts, kept
// until wm_font_cache_clear) and the metrics records of face_metrics.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pdf_parse.h"
#include "pdf_write.h"
#include "user_font.h"

struct embedded_font {
  const char *name;
  const char *res_name;
  const uint8_t *data;
  uint32_t comp_len;
  uint32_t raw_len;
  const char *licence;
};

// The stored zlib streams, generated from data/fonts at build time.
extern const unsigned char g_font_dejavu[];
extern const size_t g_font_dejavu_len;
extern const unsigned char g_font_cjk[];
extern const size_t g_font_cjk_len;
extern const unsigned char g_font_hangul[];
extern const size_t g_font_hangul_len;

extern const embedded_font g_fonts[3];
extern uint8_t *g_raw[3];
extern size_t g_raw_len[3];

struct font_metrics {
  int units_per_em;
  int ascent;
  int descent;
  int bbox_x_min;
  int bbox_y_min;
  int bbox_x_max;
  int bbox_y_max;
};

// Inflated bytes of font `index` (0..2), inflating on first use; NULL with
// the error text set. The length is g_raw_len[index].
const uint8_t *font_raw(int index);
const font_metrics *face_metrics(unsigned index);
void wm_font_cache_clear(void);

// Up to this many runs, every run has a font of its own (its own resource
// name and, with whole fonts, its own five objects), as the classic exports
// have always written them; they refuse a text of more runs. With
// share_fonts, a text of more runs (CJK text with spaces and digits from
// the Latin font switches at every one) shares: every run of a font draws
// with the first such run's font.
constexpr int WM_OWN_FONT_RUNS = 8;
// Font index of a run drawn with the user's font (after the three embedded).
constexpr int WM_USER_FONT = 3;

// How a text is drawn beyond the classic way (all zero: whole fonts, text
// order, no user font: the classic exports' output).
struct wm_text_flags {
  int subset;             // embed each font cut down to the glyphs drawn
  int shape;              // visual order of right-to-left text, Arabic forms
  const user_font *user;  // tried before the embedded fonts; may be null
  int share_fonts;        // more than WM_OWN_FONT_RUNS runs share their fonts
};

struct wm_run {
  int font;
  int shares;     // the run whose font this one draws with (itself, or an earlier run)
  int type0_obj;  // its Type0 font object, once emitted
  char res_name[32];
  uint16_t *glyphs;  // glyph ids in the whole font
  uint32_t *codes;   // the typed character of each glyph
  uint32_t *codes2;  // null, or the second character of a ligature (0: none)
  uint16_t *cids;    // null, or the ids shown (the subset's glyph ids)
  int count;
  int capacity;
  double width;
};

struct wm_plan {
  int uses_fonts;
  wm_run *runs;  // run_count of them, in an array of run_cap
  int run_count;
  int run_cap;
  double total_width;
  double mid_height;
  wm_text_flags flags;
  font_metrics user_metrics;
  // Glyphs of no advance (combining marks) are measured as the font says,
  // 0, and drawn over the glyph before them: shaped text without
  // right-to-left glyphs, and not of marks alone. Otherwise they take half
  // an em.
  int marks_in_place;
};

// 1 on success (uses_fonts 0 means: draw with Helvetica-Bold), 0 with the
// error text set and the plan left empty.
int wm_plan_build(const char *text, int font_size, wm_plan *plan);

// One character of NUL-terminated strict UTF-8 at s (no overlong forms, no
// surrogates, nothing above U+10FFFF; the NUL is no continuation byte, so a
// cut sequence stops there): its length, or 0.
int wm_decode_utf8(const unsigned char *s, uint32_t *cp);
// The same with the flags (copied into the plan; the user font must outlive
// it). With shaping, runs come in visual order, left to right.
int wm_plan_build_ex(const char *text, int font_size, const wm_text_flags *flags,
                     wm_plan *plan);
void wm_plan_free(wm_plan *plan);
// Metrics of a font of the plan (an embedded one or the user's); NULL with
// the error text set.
const font_metrics *wm_plan_metrics(const wm_plan *plan, int font);
// Appends five objects (font file, descriptor, CIDFontType2, Type0,
// ToUnicode) per run that has a font of its own, numbered from *last_obj + 1,
// and sets every run's type0_obj. With subsetting, five objects per font
// instead, shared by its runs.
int wm_plan_emit_fonts(wm_plan *plan, int64_t *last_obj, new_object **objs,
                       int *count, int *capacity);
int wm_plan_emit_text(const wm_plan *plan, int font_size, double x, double y,
                      byte_buf *out);
