// Scanners over PDF text: byte classes, keywords, integers, names, literal
// strings and the dictionary closing scan, and the text edits that remove or
// append dictionary entries (PDF 7.2, 7.3). Dictionaries are searched and
// edited as text; nothing here builds an object model or allocates beyond
// the edited texts and the closing cache.

#include "pdf_syntax.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#if (defined(__x86_64__) || defined(_M_X64)) && !defined(RRV_NO_SIMD)
#include <emmintrin.h>
#define RRV_SSE2 1
#endif

#ifdef RRV_SSE2
// Bit k set where byte k of the sixteen in x equals c.
static inline unsigned eq16(__m128i x, char c) {
  return (unsigned)_mm_movemask_epi8(_mm_cmpeq_epi8(x, _mm_set1_epi8(c)));
}
static inline int lowest_bit(unsigned m) {
#if defined(__GNUC__)
  return __builtin_ctz(m);
#else
  int b = 0;
  while (!(m & (1u << b))) b++;
  return b;
#endif
}
#endif

int64_t skip_ws(const char *text, int64_t pos, int64_t end) {
  if (pos < 0) pos = 0;
  while (pos < end && is_pdf_ws((unsigned char)text[pos])) pos++;
  return pos;
}

int kw_at(const char *text, int64_t pos, int64_t end, const char *kw) {
  if (pos < 0 || end < 0) return 0;
  size_t n = strlen(kw);
  if ((int64_t)pos + (int64_t)n > (int64_t)end) return 0;
  if (memcmp(text + pos, kw, n) != 0) return 0;
  if (pos > 0 && is_alnum_c((unsigned char)text[pos - 1])) return 0;
  int64_t after = (int64_t)pos + (int64_t)n;
  if (after < end && is_alnum_c((unsigned char)text[after])) return 0;
  return 1;
}

// Index of the keyword byte least likely in PDF text (English letter
// frequency; anything else counts as rare): memchr for it skips most of the
// file, where searching for the first byte ('e' of "endobj", 't' of
// "trailer") stops at nearly every word.
struct rarity_table {
  unsigned char v[256];
};
static constexpr rarity_table make_rarity() {
  rarity_table t{};
  const char order[] = "etaoinsrhldcumfpgwybvkxjqz";
  for (int c = 0; c < 256; c++) t.v[c] = 30;
  for (int i = 0; order[i]; i++) t.v[(unsigned char)order[i]] = (unsigned char)i;
  return t;
}
static constexpr rarity_table s_rarity = make_rarity();

static size_t rare_index(const char *kw, size_t n) {
  size_t best = 0;
  int best_score = -1;
  for (size_t i = 0; i < n; i++) {
    int score = s_rarity.v[(unsigned char)kw[i]];
    if (score > best_score) {
      best_score = score;
      best = i;
    }
  }
  return best;
}

// Every position is a candidate; only those holding the keyword's rarest
// byte at the right distance are tested.
int64_t find_kw(const char *text, int64_t end, int64_t start, const char *kw) {
  if (start < 0) start = 0;
  size_t n = strlen(kw);
  if (n == 0 || end < 0 || (int64_t)start + (int64_t)n > (int64_t)end)
    return -1;
  int64_t last = end - (int64_t)n;  // last position where kw fits
  int64_t k = (int64_t)rare_index(kw, n);
  int64_t i = start;
  while (i <= last) {
    const void *hit = memchr(text + i + k, kw[k], (size_t)(last - i) + 1);
    if (!hit) return -1;
    i = (int64_t)((const char *)hit - text) - k;
    if (kw_at(text, i, end, kw)) return i;
    i++;
  }
  return -1;
}

// The last position where the keyword stands, searched from the end: the
// trailer keywords a loader wants are near the end of the file.
int64_t rfind_kw(const char *text, int64_t end, const char *kw) {
  size_t n = strlen(kw);
  if (n == 0 || end < (int64_t)n) return -1;
  int64_t k = (int64_t)rare_index(kw, n);
  char c = kw[k];
#ifdef __GLIBC__
  int64_t span = end - (int64_t)n + 1;  // candidates i in [0, span)
  while (span > 0) {
    const void *hit = memrchr(text + k, c, (size_t)span);
    if (!hit) return -1;
    int64_t i = (int64_t)((const char *)hit - text) - k;
    if (kw_at(text, i, end, kw)) return i;
    span = i;
  }
#else
  for (int64_t i = end - (int64_t)n; i >= 0; i--)
    if (text[i + k] == c && kw_at(text, i, end, kw)) return i;
#endif
  return -1;
}

int64_t parse_int_at(const char *text, int64_t end, int64_t *pos) {
  int64_t p = *pos;
  if (p < 0) return -1;
  while (p < end && is_pdf_ws((unsigned char)text[p])) p++;
  if (p >= end) return -1;
  if ((unsigned char)text[p] <= 32) return -1;
  int neg = 0;
  if (text[p] == '-' || text[p] == '+') {
    neg = text[p] == '-';
    p++;
    if (p >= end) return -1;
  }
  if (!is_digit_c((unsigned char)text[p])) return -1;
  // A value from 2^61 up saturates there: the sum of two values (a
  // position and a length) never overflows. Callers treat any negative
  // value as "no integer" and check the range they accept.
  int64_t v = 0;
  while (p < end && is_digit_c((unsigned char)text[p])) {
    int d = text[p] - '0';
    v = v > (k_int_most - d) / 10 ? k_int_most : v * 10 + d;
    p++;
  }
  *pos = p;
  return neg ? -v : v;
}

int64_t find_name(const char *text, int64_t len, int64_t start, int64_t end,
                  const char *name) {
  int64_t limit = len < end ? len : end;
  if (start < 0 || limit <= 0) return -1;
  size_t n = strlen(name);
  if ((int64_t)start + (int64_t)n + 1 > (int64_t)limit) return -1;
  int64_t last = limit - (int64_t)n - 1;
  int64_t p = start;
  while (p <= last) {
    const void *hit = memchr(text + p, '/', (size_t)(last - p) + 1);
    if (!hit) return -1;
    p = (int64_t)((const char *)hit - text);
    // Dictionaries are full of names: the first letter settles most of them.
    if (n > 0 && text[p + 1] != name[0]) {
      p++;
      continue;
    }
    if (memcmp(text + p + 1, name, n) == 0) {
      int64_t after = p + 1 + (int64_t)n;
      if (after == limit || !is_name_char((unsigned char)text[after]))
        return p;
    }
    p++;
  }
  return -1;
}

int64_t literal_end(const unsigned char *t, int64_t i, int64_t limit,
                           bool *closed) {
  int64_t nest = 1;
  i++;
  while (i < limit && nest > 0) {
    if (t[i] == '\\') {
      i += 2;
      continue;
    }
    if (t[i] == '(') nest++;
    else if (t[i] == ')') nest--;
    i++;
  }
  *closed = nest == 0;
  return i;
}

// ---- tokens ---------------------------------------------------------------------

// Delimiters end names and other words (PDF 7.2.3).
struct byte_table {
  unsigned char v[256];
};
// s_word_end: delimiters and whitespace, the bytes that end a word;
// s_ws: whitespace alone (one table look-up each instead of six compares).
static constexpr byte_table make_word_end() {
  byte_table t{};
  const char d[] = "()<>[]{}/%";
  for (int i = 0; d[i]; i++) t.v[(unsigned char)d[i]] = 1;
  for (int c = 0; c < 256; c++)
    if (is_pdf_ws((unsigned char)c)) t.v[c] = 1;
  return t;
}
static constexpr byte_table s_word_end = make_word_end();
static constexpr byte_table make_ws() {
  byte_table t{};
  for (int c = 0; c < 256; c++) t.v[c] = is_pdf_ws((unsigned char)c) ? 1 : 0;
  return t;
}
static constexpr byte_table s_ws = make_ws();

static bool ends_word(unsigned char c) { return s_word_end.v[c] != 0; }

int64_t syn_skip(const char *t, int64_t pos, int64_t end) {
  if (pos < 0) pos = 0;
  while (pos < end) {
    unsigned char c = (unsigned char)t[pos];
    if (s_ws.v[c]) {
      pos++;
    } else if (c == '%') {
      while (pos < end && t[pos] != '\r' && t[pos] != '\n') pos++;
    } else {
      break;
    }
  }
  return pos;
}

int syn_next(const char *t, int64_t pos, int64_t end, syn_token *tok) {
  int64_t p = syn_skip(t, pos, end);
  tok->start = p;
  tok->open = 0;
  if (p >= end) {
    tok->start = tok->end = end > pos ? end : pos;
    return tok->kind = SYN_END;
  }
  unsigned char c = (unsigned char)t[p];
  int kind = SYN_OTHER;
  int64_t q = p + 1;
  switch (c) {
    case '/':
      kind = SYN_NAME;
      while (q < end && !ends_word((unsigned char)t[q])) q++;
      break;
    case '(': {
      bool closed;
      kind = SYN_STRING;
      q = literal_end((const unsigned char *)t, p, end, &closed);
      if (q > end) q = end;
      tok->open = !closed;
      break;
    }
    case '<':
      if (q < end && t[q] == '<') {
        kind = SYN_DICT;
        q++;
      } else {
        kind = SYN_HEX;
        const void *gt = memchr(t + q, '>', (size_t)(end - q));
        if (gt) {
          q = (int64_t)((const char *)gt - t) + 1;
        } else {
          q = end;
          tok->open = 1;
        }
      }
      break;
    case '>':
      if (q < end && t[q] == '>') {
        kind = SYN_DICT_END;
        q++;
      }
      break;
    case '[': kind = SYN_ARRAY; break;
    case ']': kind = SYN_ARRAY_END; break;
    case ')':
    case '{':
    case '}': break;
    default:
      kind = SYN_WORD;
      while (q < end && !ends_word((unsigned char)t[q])) q++;
      break;
  }
  tok->end = q;
  return tok->kind = kind;
}

static bool word_is_uint(const char *t, const syn_token *k) {
  if (k->kind != SYN_WORD) return false;
  for (int64_t i = k->start; i < k->end; i++)
    if (!is_digit_c((unsigned char)t[i])) return false;
  return true;
}

// "num gen R" with plain whitespace between the words, read without
// tokens: 1 with the words' starts, 0 when the text takes the general way
// (a comment, another word, a number touching a delimiter).
static int plain_ref_at(const char *t, int64_t pos, int64_t end, int64_t *a, int64_t *b) {
  int64_t p = pos < 0 ? 0 : pos;
  int64_t *starts[2] = {a, b};
  for (int64_t *s : starts) {
    while (p < end && s_ws.v[(unsigned char)t[p]]) p++;
    *s = p;
    while (p < end && is_digit_c((unsigned char)t[p])) p++;
    if (p == *s || p >= end || !s_ws.v[(unsigned char)t[p]]) return 0;
  }
  while (p < end && s_ws.v[(unsigned char)t[p]]) p++;
  return p < end && t[p] == 'R' && (p + 1 == end || ends_word((unsigned char)t[p + 1]));
}

int syn_ref_at(const char *t, int64_t pos, int64_t end, int64_t *num,
               int64_t *gen) {
  int64_t sa, sb;
  if (plain_ref_at(t, pos, end, &sa, &sb)) {
    int64_t n = parse_int_at(t, end, &sa);
    int64_t g = parse_int_at(t, end, &sb);
    if (n < 0 || g < 0) return 0;
    if (num) *num = n;
    if (gen) *gen = g;
    return 1;
  }
  syn_token a, b, r;
  syn_next(t, pos, end, &a);
  if (!word_is_uint(t, &a)) return 0;
  syn_next(t, a.end, end, &b);
  if (!word_is_uint(t, &b)) return 0;
  syn_next(t, b.end, end, &r);
  if (r.kind != SYN_WORD || r.end - r.start != 1 || t[r.start] != 'R') return 0;
  int64_t p = a.start;
  int64_t n = parse_int_at(t, a.end, &p);
  p = b.start;
  int64_t g = parse_int_at(t, b.end, &p);
  if (n < 0 || g < 0) return 0;
  if (num) *num = n;
  if (gen) *gen = g;
  return 1;
}

int syn_word_is(const char *t, const syn_token *tok, const char *word) {
  size_t n = strlen(word);
  return tok->kind == SYN_WORD && (size_t)(tok->end - tok->start) == n &&
         memcmp(t + tok->start, word, n) == 0;
}

static int hex_val(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

int syn_name_is(const char *t, const syn_token *tok, const char *name) {
  if (tok->kind != SYN_NAME) return 0;
  const unsigned char *n = (const unsigned char *)name;
  int64_t i = tok->start + 1;
  while (i < tok->end) {
    unsigned char c = (unsigned char)t[i];
    // "#xx" is the byte xx (a '#' without two hex digits stands for itself).
    if (c == '#' && i + 2 < tok->end) {
      int h = hex_val((unsigned char)t[i + 1]);
      int l = hex_val((unsigned char)t[i + 2]);
      if (h >= 0 && l >= 0) {
        c = (unsigned char)(h * 16 + l);
        i += 2;
      }
    }
    if (*n == 0 || *n != c) return 0;
    n++;
    i++;
  }
  return *n == 0;
}

// ---- closing scan -----------------------------------------------------------------

// Bytes that matter to the closing scan; everything else is passed over in
// a tight loop (dictionaries make up much of a file, so this loop dominates
// the time to index one).
static constexpr byte_table make_close_special() {
  byte_table t{};
  t.v[(unsigned char)'('] = 1;
  t.v[(unsigned char)'<'] = 1;
  t.v[(unsigned char)'>'] = 1;
  t.v[(unsigned char)'%'] = 1;
  return t;
}
static constexpr byte_table s_close_special = make_close_special();

// The first position in [i, last) whose byte may change the closing scan's
// state ('(', '<', '>' or '%'), or last: sixteen bytes at a time where the
// processor can.
static inline int64_t close_special_next(const unsigned char *t, int64_t i, int64_t last) {
#ifdef RRV_SSE2
  for (; i + 16 <= last; i += 16) {
    const __m128i x = _mm_loadu_si128((const __m128i *)(t + i));
    const unsigned m = eq16(x, '(') | eq16(x, '<') | eq16(x, '>') | eq16(x, '%');
    if (m) return i + lowest_bit(m);
  }
#endif
  while (i < last && !s_close_special.v[t[i]]) i++;
  return i;
}

int64_t find_any(const char *text, int64_t i, int64_t end, const char *set) {
  const size_t n = strlen(set);
  if (i < 0) i = 0;
#ifdef RRV_SSE2
  if (n >= 1 && n <= 8) {
    __m128i want[8];
    for (size_t k = 0; k < n; k++) want[k] = _mm_set1_epi8(set[k]);
    for (; i + 16 <= end; i += 16) {
      const __m128i x = _mm_loadu_si128((const __m128i *)(text + i));
      __m128i hit = _mm_cmpeq_epi8(x, want[0]);
      for (size_t k = 1; k < n; k++) hit = _mm_or_si128(hit, _mm_cmpeq_epi8(x, want[k]));
      const unsigned m = (unsigned)_mm_movemask_epi8(hit);
      if (m) return i + lowest_bit(m);
    }
  }
#endif
  for (; i < end; i++)
    if (memchr(set, text[i], n)) return i;
  return i;
}

// For a string, hex string or comment that begins at i (t[i] is '(', '%',
// or a '<' not followed by '<'): the position after it, or limit when it
// does not end before limit. Nothing inside one ends a dictionary.
static int64_t skip_opaque(const unsigned char *t, int64_t i, int64_t limit) {
  unsigned char c = t[i];
  if (c == '(') {
    bool closed;
    int64_t e = literal_end(t, i, limit, &closed);
    return closed ? e : limit;
  }
  if (c == '%') {
    while (i < limit && t[i] != '\r' && t[i] != '\n') i++;
    return i;
  }
  const void *gt = memchr(t + i + 1, '>', (size_t)(limit - i - 1));
  return gt ? (int64_t)((const unsigned char *)gt - t) + 1 : limit;
}

// The closing scan: from "<<" at pos, the position of the first '>' of the
// ">>" that returns the depth to 0 within [pos, limit), or -1.
static int64_t close_scan(const char *text, int64_t limit, int64_t pos) {
  if (pos < 0 || (int64_t)pos + 1 >= (int64_t)limit) return -1;
  if (text[pos] != '<' || text[pos + 1] != '<') return -1;
  const unsigned char *t = (const unsigned char *)text;
  int64_t depth = 0;
  int64_t i = pos;
  int64_t last = limit - 1;  // a pair needs i + 1 < limit
  while (i < last) {
    i = close_special_next(t, i, last);
    if (i >= last) break;
    unsigned char c = t[i];
    if (c == '<' && t[i + 1] == '<') {
      depth++;
      i += 2;
    } else if (c == '>') {
      if (t[i + 1] == '>') {
        depth--;
        if (depth == 0) return i;
        i += 2;
      } else {
        i++;
      }
    } else {
      i = skip_opaque(t, i, limit);
    }
  }
  return -1;
}

int64_t dict_stream_kw(const char *text, int64_t len, int64_t pos) {
  int64_t c = close_scan(text, len, pos);
  if (c < 0) return -1;
  int64_t p = skip_ws(text, c + 2, len);
  return kw_at(text, p, len, "stream") ? p : -1;
}

int64_t find_dict_close(const char *text, int64_t len, int64_t pos,
                        int64_t limit) {
  if (limit <= 0 || limit >= len) limit = len;
  return close_scan(text, limit, pos);
}

char *dict_text_at(const char *text, int64_t len, int64_t pos) {
  int64_t c = close_scan(text, len, pos);
  if (c < 0) return NULL;
  return dict_copy(text + pos, (size_t)(c + 2 - pos));
}

// ---- values and entries -------------------------------------------------------------

static constexpr byte_table make_array_special() {
  byte_table t{};
  const char d[] = "[]<(%";
  for (int i = 0; d[i]; i++) t.v[(unsigned char)d[i]] = 1;
  return t;
}
static constexpr byte_table s_array_special = make_array_special();

// The first byte of "[]<(%" at or after q (end when none): looked for one
// by one in the next few bytes, where most are (a box, a short list of
// references), then sixteen at a time.
static int64_t next_array_special(const char *t, int64_t q, int64_t end) {
  const int64_t near = end - q > 24 ? q + 24 : end;
  for (; q < near; q++)
    if (s_array_special.v[(unsigned char)t[q]]) return q;
  return q < end ? find_any(t, q, end, "[]<(%") : end;
}

// The end of the value whose first token k is: its last byte + 1, or -1
// when it does not end before `end`.
static int64_t value_end_from(const char *t, const syn_token *k, int64_t end) {
  switch (k->kind) {
    case SYN_END:
      return -1;
    case SYN_DICT: {
      int64_t c = close_scan(t, end, k->start);
      return c < 0 ? -1 : c + 2;
    }
    case SYN_ARRAY: {
      // Only brackets, strings, hex strings and comments matter to where
      // an array ends (a "<<" or ">>" in it is a token like the others, and
      // no name or word runs past these bytes): what lies between them is
      // passed over sixteen bytes at a time.
      int64_t depth = 1;
      int64_t q = k->end;
      for (;;) {
        q = next_array_special(t, q, end);
        if (q >= end) return -1;
        const char c = t[q];
        if (c == '[') {
          depth++;
          q++;
        } else if (c == ']') {
          q++;
          if (--depth == 0) return q;
        } else if (c == '(') {
          bool closed;
          q = literal_end((const unsigned char *)t, q, end, &closed);
          if (!closed) return -1;
        } else if (c == '<') {
          if (q + 1 < end && t[q + 1] == '<') {
            q += 2;
          } else {
            const void *gt = memchr(t + q + 1, '>', (size_t)(end - q - 1));
            if (!gt) return -1;
            q = (int64_t)((const char *)gt - t) + 1;
          }
        } else {
          while (q < end && t[q] != '\r' && t[q] != '\n') q++;
        }
      }
    }
    case SYN_STRING:
    case SYN_HEX:
      return k->open ? -1 : k->end;
    case SYN_WORD: {
      // "num gen R" is one value.
      if (!word_is_uint(t, k)) return k->end;
      // Whitespace between the three words (the common case) is read here;
      // a comment sends the question to the tokenizer below.
      int64_t w = k->end;
      while (w < end && s_ws.v[(unsigned char)t[w]]) w++;
      if (w >= end || t[w] != '%') {
        int64_t q = w;
        while (q < end && is_digit_c((unsigned char)t[q])) q++;
        if (q == w || (q < end && !ends_word((unsigned char)t[q]))) return k->end;
        while (q < end && s_ws.v[(unsigned char)t[q]]) q++;
        if (q >= end || t[q] != '%')
          return q < end && t[q] == 'R' && (q + 1 >= end || ends_word((unsigned char)t[q + 1]))
                     ? q + 1
                     : k->end;
      }
      syn_token b, r;
      if (word_is_uint(t, k) && syn_next(t, k->end, end, &b) == SYN_WORD &&
          word_is_uint(t, &b) && syn_next(t, b.end, end, &r) == SYN_WORD &&
          r.end - r.start == 1 && t[r.start] == 'R') {
        int64_t p = k->start;
        int64_t n = parse_int_at(t, k->end, &p);
        p = b.start;
        int64_t g = parse_int_at(t, b.end, &p);
        if (n >= 0 && g >= 0) return r.end;
      }
      return k->end;
    }
    default:
      return k->end;
  }
}

int64_t syn_value_end(const char *t, int64_t pos, int64_t end) {
  syn_token k;
  syn_next(t, pos, end, &k);
  return value_end_from(t, &k, end);
}

void dict_iter_init(dict_iter *it, const char *t, int64_t start, int64_t end) {
  it->t = t;
  it->end = end;
  it->done = 0;
  int64_t p = syn_skip(t, start, end);
  if ((int64_t)p + 1 < (int64_t)end && t[p] == '<' && t[p + 1] == '<') p += 2;
  it->pos = p;
}

int dict_iter_next(dict_iter *it, dict_entry *e) {
  const char *t = it->t;
  while (!it->done) {
    syn_token k;
    int kind = syn_next(t, it->pos, it->end, &k);
    if (kind == SYN_END || kind == SYN_DICT_END) break;
    if (kind != SYN_NAME) {
      // Something stands where a key belongs: passed over as a value.
      int64_t v = value_end_from(t, &k, it->end);
      if (v < 0) break;
      it->pos = v;
      continue;
    }
    e->key = k.start;
    e->key_end = k.end;
    syn_token v;
    int vk = syn_next(t, k.end, it->end, &v);
    if (vk == SYN_END || vk == SYN_DICT_END) {
      e->val = e->val_end = -1;  // a key without a value
      it->pos = v.start;
      if (vk == SYN_END) it->done = 1;
      return 1;
    }
    e->val = v.start;
    e->val_end = value_end_from(t, &v, it->end);
    if (e->val_end < 0) it->done = 1;
    else it->pos = e->val_end;
    return 1;
  }
  it->done = 1;
  return 0;
}

int dict_entry_is(const char *t, const dict_entry *e, const char *key) {
  syn_token k;
  k.kind = SYN_NAME;
  k.start = e->key;
  k.end = e->key_end;
  k.open = 0;
  return syn_name_is(t, &k, key);
}

// Two searches at memory speed settle most lookups of a key a dictionary
// does not have.
int dict_may_name(const char *t, int64_t start, int64_t end, const char *key) {
  if (start < 0 || end <= start) return true;
  char want[64];
  const size_t n = strlen(key);
  if (n == 0 || n + 1 > sizeof want) return true;
  want[0] = '/';
  memcpy(want + 1, key, n);
  const char *p = t + start;
  const char *e = t + end;
#ifdef RRV_SSE2
  // One pass: any '#' (an escaped name may spell the key) answers yes; a
  // '/' followed by the key's first byte is a candidate to compare.
  while (e - p >= 17) {
    const __m128i x = _mm_loadu_si128((const __m128i *)p);
    const __m128i y = _mm_loadu_si128((const __m128i *)(p + 1));
    if (eq16(x, '#')) return true;
    unsigned m = eq16(x, '/') & eq16(y, key[0]);
    while (m) {
      const int b = lowest_bit(m);
      if ((size_t)(e - (p + b)) > n && memcmp(p + b, want, n + 1) == 0) return true;
      m &= m - 1;
    }
    p += 16;
  }
#endif
  if (memchr(p, '#', (size_t)(e - p))) return true;
  while ((size_t)(e - p) > n) {
    p = (const char *)memchr(p, '/', (size_t)(e - p) - n);
    if (!p) return false;
    if (memcmp(p, want, n + 1) == 0) return true;
    p++;
  }
  return false;
}

int dict_get(const char *t, int64_t start, int64_t end, const char *key,
             dict_entry *out) {
  if (!dict_may_name(t, start, end, key)) return 0;
  dict_iter it;
  dict_iter_init(&it, t, start, end);
  dict_entry e;
  while (dict_iter_next(&it, &e)) {
    if (dict_entry_is(t, &e, key)) {
      if (out) *out = e;
      return 1;
    }
  }
  return 0;
}

int64_t dict_key_at(const char *t, int64_t start, int64_t end,
                    const char *key) {
  dict_entry e;
  return dict_get(t, start, end, key, &e) ? e.key : -1;
}

int dict_get_ref(const char *t, int64_t start, int64_t end, const char *key,
                 int64_t *num) {
  dict_entry e;
  if (!dict_get(t, start, end, key, &e) || e.val < 0) return 0;
  return syn_ref_at(t, e.val, end, num, NULL);
}

int64_t int_after_name(const char *t, int64_t s, int64_t e,
                       const char *name) {
  dict_entry d;
  if (!dict_get(t, s, e, name, &d) || d.val < 0) return -1;
  int64_t p = d.val;
  return parse_int_at(t, e, &p);
}

int64_t dict_close_at(const char *t, int64_t start, int64_t end) {
  int64_t p = syn_skip(t, start, end);
  return close_scan(t, end, p);
}

// ---- boxes ---------------------------------------------------------------------------

static void parse_box_number(const char *t, int64_t len, int64_t *pos,
                             double *out) {
  int64_t p = *pos;
  int neg = 0;
  if (p < len && (t[p] == '-' || t[p] == '+')) {
    neg = t[p] == '-';
    p++;
  }
  double v = 0;
  while (p < len && is_digit_c((unsigned char)t[p])) {
    v = v * 10 + (t[p] - '0');
    p++;
  }
  if (p < len && t[p] == '.') {
    p++;
    double scale = 0.1;
    while (p < len && is_digit_c((unsigned char)t[p])) {
      v += (t[p] - '0') * scale;
      scale *= 0.1;
      p++;
    }
  }
  *out = neg ? -v : v;
  *pos = p;
}

int box_at(const char *text, int64_t pos, int64_t len, double *x, double *y,
           double *w, double *h) {
  int64_t p = syn_skip(text, pos, len);
  if (p >= len || text[p] != '[') return 0;
  p = syn_skip(text, p + 1, len);
  double val[4];
  for (int k = 0; k < 4; k++) {
    if (p >= len || text[p] == ']') return 0;
    unsigned char c = (unsigned char)text[p];
    // A letter gives 0 without being consumed, so every later slot reads
    // it too: such a box is never usable.
    if (c == '-' || c == '+' || c == '.' || is_digit_c(c)) {
      parse_box_number(text, len, &p, &val[k]);
      p = syn_skip(text, p, len);
    } else {
      val[k] = 0;
    }
  }
  // Any two opposite corners make the rectangle, in either order (readers
  // normalise "[0 500 400 0]" to "[0 0 400 500]"); an empty one is no box.
  const double x0 = std::min(val[0], val[2]), x1 = std::max(val[0], val[2]);
  const double y0 = std::min(val[1], val[3]), y1 = std::max(val[1], val[3]);
  if (!(x1 > x0) || !(y1 > y0)) return 0;
  // Non-finite values (hundreds of digits) would reach the output as "inf".
  double ww = x1 - x0, hh = y1 - y0;
  if (!std::isfinite(ww) || !std::isfinite(hh) || !std::isfinite(x0) || !std::isfinite(y0))
    return 0;
  *x = x0;
  *y = y0;
  *w = ww;
  *h = hh;
  return 1;
}

int box_xywh_named(const char *text, int64_t len, int64_t start,
                   const char *name, double *x, double *y, double *w,
                   double *h) {
  dict_iter it;
  dict_iter_init(&it, text, start, len);
  dict_entry e;
  while (dict_iter_next(&it, &e))
    if (e.val >= 0 && dict_entry_is(text, &e, name) &&
        box_at(text, e.val, len, x, y, w, h))
      return 1;
  return 0;
}

// ---- dictionary edits --------------------------------------------------------------

namespace {

enum text_state { TS_OUT, TS_LIT, TS_HEX, TS_COMMENT };

// Steps the lexical state over byte i of t[0, n): which of string, hex
// string or comment the byte belongs to. *nest counts a literal string's
// open parentheses; an escaped byte is stepped over with its backslash
// (*skip is set).
inline text_state text_step(const char *t, size_t n, size_t i, text_state s,
                            int *nest, bool *skip) {
  unsigned char c = (unsigned char)t[i];
  *skip = false;
  switch (s) {
    case TS_OUT:
      if (c == '(') {
        *nest = 1;
        return TS_LIT;
      }
      if (c == '%') return TS_COMMENT;
      if (c == '<') {
        if (i + 1 < n && t[i + 1] == '<') {
          *skip = true;  // "<<"
          return TS_OUT;
        }
        return TS_HEX;
      }
      return TS_OUT;
    case TS_LIT:
      if (c == '\\') {
        *skip = i + 1 < n;
        return TS_LIT;
      }
      if (c == '(') ++*nest;
      else if (c == ')' && --*nest == 0) return TS_OUT;
      return TS_LIT;
    case TS_HEX:
      return c == '>' ? TS_OUT : TS_HEX;
    case TS_COMMENT:
      return c == '\r' || c == '\n' ? TS_OUT : TS_COMMENT;
  }
  return s;
}

// The copy made by dict_copy (its length in *out_n).
char *text_rewritten(const char *t, size_t n, size_t *out_n) {
  if (n > (SIZE_MAX - 1) / 4) return NULL;
  char *s = (char *)malloc(4 * n + 1);
  if (!s) return NULL;
  // A zero byte is whitespace outside strings and comments, and means
  // nothing inside a comment or hex string: a space says the same. Inside a
  // literal string it is a character, written as the escape "\000".
  text_state st = TS_OUT;
  int nest = 0;
  size_t o = 0;
  for (size_t i = 0; i < n; i++) {
    bool skip;
    st = text_step(t, n, i, st, &nest, &skip);
    if (st == TS_LIT && (t[i] == 0 || (skip && t[i + 1] == 0))) {
      memcpy(s + o, "\\000", 4);  // NUL, or a backslash and NUL
      o += 4;
      if (skip) i++;
      continue;
    }
    s[o++] = t[i] == 0 ? ' ' : t[i];
    if (skip) {
      i++;
      s[o++] = t[i] == 0 ? ' ' : t[i];
    }
  }
  s[o] = 0;
  *out_n = o;
  return s;
}

}  // namespace

char *dict_copy(const char *t, size_t n) {
  if (!(n && memchr(t, 0, n))) {
    char *s = (char *)malloc(n + 1);
    if (!s) return NULL;
    if (n) memcpy(s, t, n);
    s[n] = 0;
    return s;
  }
  size_t o;
  return text_rewritten(t, n, &o);
}

void strip_dict_entry(char *dict, const char *key) {
  if (!dict || !key) return;
  size_t len = strlen(dict);
  if (len > (size_t)INT32_MAX) return;
  int64_t n = (int64_t)len;
  dict_iter it;
  dict_iter_init(&it, dict, 0, n);
  dict_entry e;
  while (dict_iter_next(&it, &e)) {
    if (e.val_end < 0 || !dict_entry_is(dict, &e, key)) continue;
    int64_t from = e.key;
    if (from > 0 && (dict[from - 1] == ' ' || dict[from - 1] == '\t')) from--;
    int64_t to = e.val_end;
    memmove(dict + from, dict + to, (size_t)(n - to) + 1);
    n -= to - from;
    it.end = n;
    it.pos = from;
  }
}

int dict_whole(const char *t, int64_t len) {
  int64_t c = dict_close_at(t, 0, len);
  return c >= 0 && syn_skip(t, c + 2, len) >= len;
}

char *dict_appended(const char *dict, size_t len, const char *text) {
  if (!dict || len > (size_t)INT32_MAX) return NULL;
  int64_t n = (int64_t)len;
  // Only a text that is one dictionary (with whitespace or comments after
  // it) is edited.
  if (!dict_whole(dict, n)) return NULL;
  int64_t c = dict_close_at(dict, 0, n);
  char *head = dict_copy(dict, (size_t)c);
  if (!head) return NULL;
  size_t hn = strlen(head);
  size_t tlen = text ? strlen(text) : 0;
  char *out = (char *)malloc(hn + tlen + 4);
  if (!out) {
    free(head);
    return NULL;
  }
  memcpy(out, head, hn);
  free(head);
  if (tlen) memcpy(out + hn, text, tlen);
  memcpy(out + hn + tlen, " >>", 4);
  return out;
}

char *dict_append_before_close(char *dict, const char *text) {
  if (!dict) return dict;
  char *out = dict_appended(dict, strlen(dict), text);
  if (!out) return dict;
  free(dict);
  return out;
}

// ---- closing cache ------------------------------------------------------------

void close_cache_free(close_cache *c) {
  free(c->opens);
  free(c->closes);
  memset(c, 0, sizeof *c);
}

static int close_cache_lookup(const close_cache *c, int64_t pos, int64_t *out) {
  int64_t lo = 0, hi = c->count;
  while (lo < hi) {
    int64_t mid = lo + (hi - lo) / 2;
    if (c->opens[mid] < pos) lo = mid + 1;
    else hi = mid;
  }
  if (lo < c->count && c->opens[lo] == pos) {
    *out = c->closes[lo];
    return 1;
  }
  return 0;
}

static int close_cache_add(close_cache *c, int64_t pos) {
  if (c->count >= c->cap) {
    if (c->cap > INT32_MAX / 2) return 0;
    int64_t cap = c->cap ? c->cap * 2 : 1024;
    int64_t *o = (int64_t *)realloc(c->opens, (size_t)cap * sizeof(int64_t));
    if (!o) return 0;
    c->opens = o;
    int64_t *k = (int64_t *)realloc(c->closes, (size_t)cap * sizeof(int64_t));
    if (!k) return 0;
    c->closes = k;
    c->cap = cap;
  }
  c->opens[c->count] = pos;
  c->closes[c->count] = -1;
  c->count++;
  return 1;
}

// close_scan over the whole text, recording the walk; 0 when memory ran out
// (the cache is then empty and the caller scans plainly).
static int close_walk_recorded(const char *text, int64_t limit, int64_t pos,
                               close_cache *c, int64_t *result) {
  c->count = 0;
  // Stack of unmatched entries, as indexes into the cache.
  int64_t *stack = NULL;
  int64_t depth = 0, stack_cap = 0;
  const unsigned char *t = (const unsigned char *)text;
  int64_t i = pos;
  int64_t last = limit - 1;
  *result = -1;
  while (i < last) {
    while (i < last && !s_close_special.v[t[i]]) i++;
    if (i >= last) break;
    unsigned char ch = t[i];
    if (ch == '<' && t[i + 1] == '<') {
      if (depth >= stack_cap) {
        int64_t cap = stack_cap ? stack_cap * 2 : 256;
        int64_t *ns = (int64_t *)realloc(stack, (size_t)cap * sizeof(int64_t));
        if (!ns) break;
        stack = ns;
        stack_cap = cap;
      }
      if (!close_cache_add(c, i)) break;
      stack[depth++] = c->count - 1;
      i += 2;
    } else if (ch == '>') {
      if (t[i + 1] != '>') {
        i++;
        continue;
      }
      c->closes[stack[--depth]] = i;
      if (depth == 0) {
        *result = i;
        free(stack);
        return 1;
      }
      i += 2;
    } else {
      i = skip_opaque(t, i, limit);
    }
  }
  free(stack);
  if (i < last) {  // out of memory
    c->count = 0;
    return 0;
  }
  return 1;
}

// Scans closer than this are done plainly; longer ones are recorded.
static constexpr int64_t k_plain_close_span = 1 << 20;

int64_t close_scan_cached(const char *d, int64_t size, int64_t pos,
                                 close_cache *cache) {
  if (pos < 0 || pos + 1 >= size || d[pos] != '<' || d[pos + 1] != '<')
    return -1;
  int64_t r;
  if (cache->count > 0 && close_cache_lookup(cache, pos, &r)) return r;
  int64_t limit = size - pos > k_plain_close_span ? pos + k_plain_close_span : size;
  r = close_scan(d, limit, pos);
  if (r >= 0 || limit == size) return r;
  if (close_walk_recorded(d, size, pos, cache, &r)) return r;
  return close_scan(d, size, pos);
}
