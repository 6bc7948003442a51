// Scanners over PDF text: byte classes, keywords, integers, names, strings,
// dictionary closing, and the text edits of dictionary entries. Positions are
// 64-bit offsets into a text (a file may be larger than 4 GiB); `end`, `len`
// and `limit` bound every read (a scanner never looks at or beyond them).
//
// No process-wide state.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- byte classes -------------------------------------------------------------

constexpr bool is_pdf_ws(unsigned char c) {
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
int64_t skip_ws(const char *text, int64_t pos, int64_t end);
// 1 when the keyword stands at pos as a whole word (no letter or digit
// touching it on either side) and fits before end.
int kw_at(const char *text, int64_t pos, int64_t end, const char *kw);
// The first whole-word keyword at or after start that ends by end, or -1.
int64_t find_kw(const char *text, int64_t end, int64_t start, const char *kw);
// The last whole-word keyword ending by end, or -1.
int64_t rfind_kw(const char *text, int64_t end, const char *kw);
// The integer after optional whitespace at *pos (sign allowed); moves *pos
// past its digits. -1 (and *pos unchanged) when none stands there; values
// wrap modulo 2^32, so a negative result always means "no integer".
int64_t parse_int_at(const char *text, int64_t end, int64_t *pos);
// Where parse_int_at saturates (2^61 - 1).
constexpr int64_t k_int_most = ((int64_t)1 << 61) - 1;
// The '/' of the first name equal to `name` within [start, min(len, end)),
// or -1. Any such name counts, at any depth.
int64_t find_name(const char *text, int64_t len, int64_t start, int64_t end,
                  const char *name);
// The first position in [i, end) that holds one of the bytes of `set` (a C
// string of one to eight bytes), or end. Sixteen bytes at a time where the
// processor can: for scans that pass over long runs of bytes that do not
// matter to them.
int64_t find_any(const char *text, int64_t i, int64_t end, const char *set);
// Skips a literal string whose '(' is at i: parentheses nest and a
// backslash escapes the byte after it. Returns the position after the
// closing ')' (or where the range ran out, possibly limit + 1 after a final
// backslash); *closed tells whether the string was closed.
int64_t literal_end(const unsigned char *t, int64_t i, int64_t limit,
                    bool *closed);
// For "<<" at pos: the keyword "stream" after the dictionary's ">>", or -1.
int64_t dict_stream_kw(const char *text, int64_t len, int64_t pos);
// For "<<" at pos: the first '>' of the ">>" that closes it, searched
// before limit (len when limit <= 0 or beyond len), or -1. Strings, hex
// strings and comments are passed over whole.
int64_t find_dict_close(const char *text, int64_t len, int64_t pos,
                        int64_t limit);
// The same for the dictionary that is the first thing at or after start
// (whitespace and comments before it are passed over).
int64_t dict_close_at(const char *t, int64_t start, int64_t end);
// 1 when the text is one closed dictionary, with nothing but whitespace and
// comments around it.
int dict_whole(const char *t, int64_t len);
// A malloc'ed copy (as dict_copy makes it) of the dictionary whose "<<" is
// at pos, or NULL when it does not close or memory runs out.
char *dict_text_at(const char *text, int64_t len, int64_t pos);

// ---- tokens -----------------------------------------------------------------------
// The tokens of PDF text (PDF 7.2, 7.3). Whitespace (the zero byte
// included) and comments separate tokens; nothing inside a string, hex
// string or comment is seen as anything else.

enum {
  SYN_END = 0,    // no token before the end of the range
  SYN_NAME,       // "/..." (start at the '/')
  SYN_STRING,     // "(...)", parentheses balanced, escapes honoured
  SYN_HEX,        // "<...>"
  SYN_DICT,       // "<<"
  SYN_DICT_END,   // ">>"
  SYN_ARRAY,      // "["
  SYN_ARRAY_END,  // "]"
  SYN_WORD,       // a number, keyword, boolean, null, "R"
  SYN_OTHER       // a stray delimiter: ')', '{', '}', a single '>'
};

struct syn_token {
  int kind;
  int64_t start;
  int64_t end;  // one past the token
  int open;     // a string or hex string that runs to the end of the range
};

// The first position at or after pos that is neither whitespace nor part
// of a comment, or end.
int64_t syn_skip(const char *t, int64_t pos, int64_t end);
// Reads the token at or after pos into *tok; returns its kind. At the end
// of the range: SYN_END with start = end = max(end, pos).
int syn_next(const char *t, int64_t pos, int64_t end, syn_token *tok);
// 1 when tok is the name `name`; "#xx" escapes in the token are decoded
// (/Cont#65nts is /Contents).
int syn_name_is(const char *t, const syn_token *tok, const char *name);
// 1 when tok is the keyword `word` (null, true, R, ...).
int syn_word_is(const char *t, const syn_token *tok, const char *word);
// 1 when the tokens at or after pos are "num gen R"; fills the numbers
// (either pointer may be NULL).
int syn_ref_at(const char *t, int64_t pos, int64_t end, int64_t *num,
               int64_t *gen);
// One past the value that begins with the token at or after pos: a whole
// dictionary or array, an indirect reference "num gen R", or one token.
// -1 when the value does not end within the range (an unclosed dictionary,
// array or string) or there is none.
int64_t syn_value_end(const char *t, int64_t pos, int64_t end);

// ---- dictionary entries ------------------------------------------------------------

// The entries of a dictionary, at its top level only: those of the
// dictionary that is the first thing in the range, or, when the range does
// not begin with "<<", the key-value pairs read from its start. Anything
// standing where a key belongs is passed over as a value.
struct dict_iter {
  const char *t;
  int64_t pos;
  int64_t end;
  int done;
};
struct dict_entry {
  int64_t key;      // the key's '/'
  int64_t key_end;  // one past the key
  int64_t val;      // first byte of the value, -1 for a key without one
  int64_t val_end;  // one past the value, -1 when it does not end in range
};

void dict_iter_init(dict_iter *it, const char *t, int64_t start, int64_t end);
// 1 with the next entry in *e, 0 at the dictionary's close or the end.
int dict_iter_next(dict_iter *it, dict_entry *e);
int dict_entry_is(const char *t, const dict_entry *e, const char *key);
// Whether t[start, end) may hold the name /key: it spells it out, or has a
// '#' (an escape could spell it otherwise). 0: no entry of the range can
// have that key.
int dict_may_name(const char *t, int64_t start, int64_t end, const char *key);
// The first top-level entry `key` of the dictionary in [start, end): 1 when
// found (out may be NULL).
int dict_get(const char *t, int64_t start, int64_t end, const char *key,
             dict_entry *out);
// The '/' of that entry's key, or -1.
int64_t dict_key_at(const char *t, int64_t start, int64_t end, const char *key);
// 1 when the entry's value is an indirect reference; its object number.
int dict_get_ref(const char *t, int64_t start, int64_t end, const char *key,
                 int64_t *num);
// The integer value of the top-level entry /name of the dictionary in
// [s, e), or -1.
int64_t int_after_name(const char *t, int64_t s, int64_t e, const char *name);
// The box "[x0 y0 x1 y1]" at or after pos (any two opposite corners): its
// lower-left corner and size; 1 when it has four numbers and a positive size.
int box_at(const char *text, int64_t pos, int64_t len, double *x, double *y,
           double *w, double *h);
// The first top-level entry /name from start whose value is such a box.
int box_xywh_named(const char *text, int64_t len, int64_t start,
                   const char *name, double *x, double *y, double *w,
                   double *h);

// ---- dictionary edits --------------------------------------------------------
// Edited texts are NUL-terminated, so they must hold no zero byte: every
// text taken from a file is copied with dict_copy first.

// A malloc'ed NUL-terminated copy of t[0, n) that means the same and holds
// no zero byte: one inside a literal string is written "\000", any other is
// written as a space. NULL when memory runs out.
char *dict_copy(const char *t, size_t n);
// Removes every top-level entry /key (with its value) from a NUL-terminated
// dictionary text; an entry whose value does not end is kept.
void strip_dict_entry(char *dict, const char *key);
// Appends text before the closing ">>" of a malloc'ed dictionary text; the
// result replaces dict (which is kept unchanged when the edit is impossible).
char *dict_append_before_close(char *dict, const char *text);
// The same edit on a text that is not owned (len bytes): a new string
// (written as dict_copy would), or NULL when the text is not one closed
// dictionary (whitespace and comments may follow it) or memory runs out.
char *dict_appended(const char *dict, size_t len, const char *text);

// ---- closing cache -------------------------------------------------------------

// Closing positions remembered from one long walk. A dictionary that is
// never closed makes the closing scan run to the end of the file; in a
// damaged file with many such objects every object header would start
// another such walk. One walk that matches every "<<" it steps on with its
// ">>" answers all of them: the walk from a "<<" it stepped on is the same
// walk, ending where that "<<" is matched. Zero-initialise before use.
struct close_cache {
  int64_t *opens;   // "<<" positions the walk stepped on, increasing
  int64_t *closes;  // their matching ">>", or -1
  int64_t count;
  int64_t cap;
};

void close_cache_free(close_cache *c);
// find_dict_close over [pos, size) for the object scan, answered from the
// cache where a long walk already went.
int64_t close_scan_cached(const char *d, int64_t size, int64_t pos,
                          close_cache *cache);
