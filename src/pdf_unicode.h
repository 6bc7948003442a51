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

constexpr int WM_MAX_RUNS = 8;

struct wm_run {
  int font;
  char res_name[24];
  uint16_t *glyphs;
  uint32_t *codes;
  int count;
  int capacity;
  double width;
};

struct wm_plan {
  int uses_fonts;
  wm_run runs[WM_MAX_RUNS];
  int run_count;
  double total_width;
  double mid_height;
  int type0_objs[WM_MAX_RUNS];
};

// 1 on success (uses_fonts 0 means: draw with Helvetica-Bold), 0 with the
// error text set and the plan left empty.
int wm_plan_build(const char *text, int font_size, wm_plan *plan);
void wm_plan_free(wm_plan *plan);
// Appends five objects per run (font file, descriptor, CIDFontType2, Type0,
// ToUnicode) numbered from *last_obj + 1; fills plan->type0_objs.
int wm_plan_emit_fonts(wm_plan *plan, int32_t *last_obj, new_object **objs,
                       int *count, int *capacity);
int wm_plan_emit_text(const wm_plan *plan, int font_size, double x, double y,
                      byte_buf *out);
