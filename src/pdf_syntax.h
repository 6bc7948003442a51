// Scanners over PDF text: byte classes, keywords, integers, names, strings,
// dictionary closing, and the text edits of dictionary entries. Positions are
// int32 offsets into a text; `end`, `len` and `limit` bound every read (a
// scanner never looks at or beyond them).
//
// No process-wide state.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- byte classes -------------------------------------------------------------

inline bool is_pdf_ws(unsigned char c) {
  return c == 0 || c == 9 || c == 10 || c == 12 || c == 13 || c == 32;
}
inline bool is_line_ws(unsigned char c) {
  return c == 9 || c == 10 || c == 13 || c == 32;
}
inline bool is_alnum_c(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') ||
         (c >= 'a' && c <= 'z');
}
inline bool is_digit_c(unsigned char c) { return c >= '0' && c <= '9'; }
inline bool is_name_char(unsigned char c) {
  return is_alnum_c(c) || c == '+' || c == '-' || c == '_';
}

// ---- scanners -------------------------------------------------------------------

// The first position at or after pos (0 if negative) that is not
// whitespace, or end.
int32_t skip_ws(const char *text, int32_t pos, int32_t end);
// 1 when the keyword stands at pos as a whole word (no letter or digit
// touching it on either side) and fits before end.
int kw_at(const char *text, int32_t pos, int32_t end, const char *kw);
// The first whole-word keyword at or after start that ends by end, or -1.
int32_t find_kw(const char *text, int32_t end, int32_t start, const char *kw);
// The last whole-word keyword ending by end, or -1.
int32_t rfind_kw(const char *text, int32_t end, const char *kw);
// The integer after optional whitespace at *pos (sign allowed); moves *pos
// past its digits. -1 (and *pos unchanged) when none stands there; values
// wrap modulo 2^32, so a negative result always means "no integer".
int32_t parse_int_at(const char *text, int32_t end, int32_t *pos);
// The '/' of the first name equal to `name` within [start, min(len, end)),
// or -1. Any such name counts, at any depth.
int32_t find_name(const char *text, int32_t len, int32_t start, int32_t end,
                  const char *name);
// The '/' of the first /Type at dictionary depth 0 or 1 from start, or -1.
int32_t find_name_top(const char *text, int32_t len, int32_t start,
                      int32_t end);
// find_name_top from a given depth, which it updates, so that a caller can
// go on from the found name.
int32_t find_type_top_from(const char *text, int32_t limit, int32_t start,
                           int32_t *depth_io);
// Skips a literal string whose '(' is at i: parentheses nest and a
// backslash escapes the byte after it. Returns the position after the
// closing ')' (or where the range ran out, possibly limit + 1 after a final
// backslash); *closed tells whether the string was closed.
int32_t literal_end(const unsigned char *t, int32_t i, int32_t limit,
                    bool *closed);
// For "<<" at pos: the keyword "stream" after the dictionary's ">>", or -1.
int32_t dict_stream_kw(const char *text, int32_t len, int32_t pos);
// For "<<" at pos: the first '>' of the ">>" that closes it, searched
// before limit (len when limit <= 0 or beyond len), or -1.
int32_t find_dict_close(const char *text, int32_t len, int32_t pos,
                        int32_t limit);
// A malloc'ed NUL-terminated copy of the dictionary whose "<<" is at pos,
// or NULL when it does not close or memory runs out.
char *dict_text_at(const char *text, int32_t len, int32_t pos);
// The integer value of the first /name in [s, e), or -1.
int32_t int_after_name(const char *t, int32_t s, int32_t e, const char *name);
// The first /name in [start, len) followed by an array of four numbers
// describing a box of positive size: its corner and size. 1 when found.
int box_xywh_named(const char *text, int32_t len, int32_t start,
                   const char *name, double *x, double *y, double *w,
                   double *h);

// ---- dictionary edits --------------------------------------------------------

// Removes every entry /key (with its value) from a NUL-terminated text.
void strip_dict_entry(char *dict, const char *key);
// Appends text before the closing ">>" of a malloc'ed dictionary text; the
// result replaces dict (which is kept unchanged when the edit is impossible).
char *dict_append_before_close(char *dict, const char *text);
// The same edit on a text that is not owned (its first len bytes, up to a
// NUL): a new string, or NULL when the text does not end in ">>" or memory
// runs out.
char *dict_appended(const char *dict, size_t len, const char *text);

// ---- closing cache -------------------------------------------------------------

// Closing positions remembered from one long walk. A dictionary that is
// never closed makes the closing scan run to the end of the file; in a
// damaged file with many such objects every object header would start
// another such walk. One walk that matches every "<<" it steps on with its
// ">>" answers all of them: the walk from a "<<" it stepped on is the same
// walk, ending where that "<<" is matched. Zero-initialise before use.
struct close_cache {
  int32_t *opens;   // "<<" positions the walk stepped on, increasing
  int32_t *closes;  // their matching ">>", or -1
  int32_t count;
  int32_t cap;
};

void close_cache_free(close_cache *c);
// find_dict_close over [pos, size) for the object scan, answered from the
// cache where a long walk already went.
int32_t close_scan_cached(const char *d, int32_t size, int32_t pos,
                          close_cache *cache);
