// Scanners over PDF text: byte classes, keywords, integers, names, literal
// strings and the dictionary closing scan, and the text edits that remove or
// append dictionary entries (PDF 7.2, 7.3). Dictionaries are searched and
// edited as text; nothing here builds an object model or allocates beyond
// the edited texts and the closing cache.

#include "pdf_syntax.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

int32_t skip_ws(const char *text, int32_t pos, int32_t end) {
  if (pos < 0) pos = 0;
  while (pos < end && is_pdf_ws((unsigned char)text[pos])) pos++;
  return pos;
}

int kw_at(const char *text, int32_t pos, int32_t end, const char *kw) {
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
int32_t find_kw(const char *text, int32_t end, int32_t start, const char *kw) {
  if (start < 0) start = 0;
  size_t n = strlen(kw);
  if (n == 0 || end < 0 || (int64_t)start + (int64_t)n > (int64_t)end)
    return -1;
  int32_t last = end - (int32_t)n;  // last position where kw fits
  int32_t k = (int32_t)rare_index(kw, n);
  int32_t i = start;
  while (i <= last) {
    const void *hit = memchr(text + i + k, kw[k], (size_t)(last - i) + 1);
    if (!hit) return -1;
    i = (int32_t)((const char *)hit - text) - k;
    if (kw_at(text, i, end, kw)) return i;
    i++;
  }
  return -1;
}

// The last position where the keyword stands, searched from the end: the
// trailer keywords a loader wants are near the end of the file.
int32_t rfind_kw(const char *text, int32_t end, const char *kw) {
  size_t n = strlen(kw);
  if (n == 0 || end < (int32_t)n) return -1;
  int32_t k = (int32_t)rare_index(kw, n);
  char c = kw[k];
#ifdef __GLIBC__
  int32_t span = end - (int32_t)n + 1;  // candidates i in [0, span)
  while (span > 0) {
    const void *hit = memrchr(text + k, c, (size_t)span);
    if (!hit) return -1;
    int32_t i = (int32_t)((const char *)hit - text) - k;
    if (kw_at(text, i, end, kw)) return i;
    span = i;
  }
#else
  for (int32_t i = end - (int32_t)n; i >= 0; i--)
    if (text[i + k] == c && kw_at(text, i, end, kw)) return i;
#endif
  return -1;
}

int32_t parse_int_at(const char *text, int32_t end, int32_t *pos) {
  int32_t p = *pos;
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
  // Accumulated modulo 2^32, as 32-bit arithmetic would, without undefined
  // behaviour; callers treat any negative value as "no integer".
  uint32_t v = 0;
  while (p < end && is_digit_c((unsigned char)text[p])) {
    v = v * 10u + (uint32_t)(text[p] - '0');
    p++;
  }
  if (neg) v = 0u - v;
  *pos = p;
  int32_t r;
  memcpy(&r, &v, sizeof r);
  return r;
}

int32_t find_name(const char *text, int32_t len, int32_t start, int32_t end,
                  const char *name) {
  int32_t limit = len < end ? len : end;
  if (start < 0 || limit <= 0) return -1;
  size_t n = strlen(name);
  if ((int64_t)start + (int64_t)n + 1 > (int64_t)limit) return -1;
  int32_t last = limit - (int32_t)n - 1;
  int32_t p = start;
  while (p <= last) {
    const void *hit = memchr(text + p, '/', (size_t)(last - p) + 1);
    if (!hit) return -1;
    p = (int32_t)((const char *)hit - text);
    // Dictionaries are full of names: the first letter settles most of them.
    if (n > 0 && text[p + 1] != name[0]) {
      p++;
      continue;
    }
    if (memcmp(text + p + 1, name, n) == 0) {
      int32_t after = p + 1 + (int32_t)n;
      if (after == limit || !is_name_char((unsigned char)text[after]))
        return p;
    }
    p++;
  }
  return -1;
}

int32_t literal_end(const unsigned char *t, int32_t i, int32_t limit,
                           bool *closed) {
  int32_t nest = 1;
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

// The scan of find_name_top from `start` with an initial nesting depth;
// reports the depth at the found name so that a caller can continue with
// the next top-level /Type in the same dictionary.
int32_t find_type_top_from(const char *text, int32_t limit,
                                  int32_t start, int32_t *depth_io) {
  int32_t depth = *depth_io;
  int32_t i = start < 0 ? 0 : start;
  while (i < limit) {
    unsigned char c = (unsigned char)text[i];
    if (c == '%') {
      while (i < limit && text[i] != '\r' && text[i] != '\n') i++;
      if (i >= limit) return -1;
      continue;
    }
    if (c == '(') {
      bool closed;
      i = literal_end(reinterpret_cast<const unsigned char *>(text), i, limit,
                      &closed);
      if (!closed) return -1;
      continue;
    }
    if (c == '<') {
      if (i + 1 >= limit) return -1;
      if (text[i + 1] == '<') {
        depth++;
        i += 2;
        continue;
      }
      const void *gt = memchr(text + i + 1, '>', (size_t)(limit - i - 1));
      if (!gt) return -1;
      i = (int32_t)((const char *)gt - text) + 1;
      continue;
    }
    if (c == '>') {
      if (i + 1 >= limit) return -1;
      if (text[i + 1] == '>') {
        if (depth > 0) depth--;
        i += 2;
        continue;
      }
      i++;
      continue;
    }
    if (c == '/' && depth <= 1 && (int64_t)i + 5 <= (int64_t)limit &&
        memcmp(text + i + 1, "Type", 4) == 0 &&
        (i + 5 == limit || !is_name_char((unsigned char)text[i + 5]))) {
      *depth_io = depth;
      return i;
    }
    i++;
  }
  return -1;
}

int32_t find_name_top(const char *text, int32_t len, int32_t start,
                      int32_t end) {
  int32_t limit = len < end ? len : end;
  int32_t depth = 0;
  return find_type_top_from(text, limit, start, &depth);
}

// Bytes that matter to the closing scan; everything else is passed over in
// a tight loop (dictionaries make up much of a file, so this loop dominates
// the time to index one).
struct byte_table {
  unsigned char v[256];
};
static constexpr byte_table make_close_special() {
  byte_table t{};
  t.v[(unsigned char)'('] = 1;
  t.v[(unsigned char)'<'] = 1;
  t.v[(unsigned char)'>'] = 1;
  return t;
}
static constexpr byte_table s_close_special = make_close_special();

// The closing scan: from "<<" at pos, the position of the first '>' of the
// ">>" that returns the depth to 0 within [pos, limit), or -1.
static int32_t close_scan(const char *text, int32_t limit, int32_t pos) {
  if (pos < 0 || (int64_t)pos + 1 >= (int64_t)limit) return -1;
  if (text[pos] != '<' || text[pos + 1] != '<') return -1;
  const unsigned char *t = (const unsigned char *)text;
  int32_t depth = 0;
  int32_t i = pos;
  int32_t last = limit - 1;  // a pair needs i + 1 < limit
  while (i < last) {
    while (i < last && !s_close_special.v[t[i]]) i++;
    if (i >= last) break;
    unsigned char c = t[i];
    if (c == '<' && t[i + 1] == '<') {
      depth++;
      i += 2;
    } else if (c == '>' && t[i + 1] == '>') {
      depth--;
      if (depth == 0) return i;
      i += 2;
    } else if (c == '(') {
      bool closed;
      i = literal_end(t, i, limit, &closed);
    } else {
      i++;
    }
  }
  return -1;
}

int32_t dict_stream_kw(const char *text, int32_t len, int32_t pos) {
  int32_t c = close_scan(text, len, pos);
  if (c < 0) return -1;
  int32_t p = skip_ws(text, c + 2, len);
  return kw_at(text, p, len, "stream") ? p : -1;
}

int32_t find_dict_close(const char *text, int32_t len, int32_t pos,
                        int32_t limit) {
  if (limit <= 0 || limit >= len) limit = len;
  return close_scan(text, limit, pos);
}

char *dict_text_at(const char *text, int32_t len, int32_t pos) {
  int32_t c = close_scan(text, len, pos);
  if (c < 0) return NULL;
  size_t n = (size_t)(c + 2 - pos);
  char *s = (char *)malloc(n + 1);
  if (!s) return NULL;
  memcpy(s, text + pos, n);
  s[n] = 0;
  return s;
}

static bool is_token_end(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == 11 || c == 12 ||
         c == '\r' || c == '(' || c == ')' || c == '/' || c == '<' ||
         c == '>' || c == '[' || c == ']';
}

// End (one past) of the value of an entry starting at v in a NUL-terminated
// text of length n; -1 when an opened dictionary, hex string or array is not
// closed.
static size_t skip_literal(const char *d, size_t n, size_t i) {
  if (n > (size_t)INT32_MAX) return n;  // longer than any text the scanners address
  bool closed;
  size_t e = (size_t)literal_end((const unsigned char *)d, (int32_t)i, (int32_t)n, &closed);
  return e > n ? n : e;
}

static int64_t value_end(const char *d, size_t n, size_t v) {
  if (v >= n) return -1;
  char c = d[v];
  if (c == '<' && v + 1 < n && d[v + 1] == '<') {
    if (n > (size_t)INT32_MAX) return -1;
    int32_t cl = close_scan(d, (int32_t)n, (int32_t)v);
    return cl < 0 ? -1 : (int64_t)cl + 2;
  }
  if (c == '<') {
    const void *gt = memchr(d + v + 1, '>', n - v - 1);
    return gt ? (const char *)gt - d + 1 : -1;
  }
  if (c == '[') {
    int nest = 0;
    size_t i = v;
    while (i < n) {
      if (d[i] == '(') {
        i = skip_literal(d, n, i);
        continue;
      }
      if (d[i] == '[') nest++;
      else if (d[i] == ']') {
        nest--;
        if (nest == 0) return (int64_t)i + 1;
      }
      i++;
    }
    return -1;
  }
  if (c == '(') return (int64_t)skip_literal(d, n, v);
  if (c == '/') {
    size_t i = v + 1;
    while (i < n && !is_token_end((unsigned char)d[i])) i++;
    return (int64_t)i;
  }
  size_t i = v;
  while (i < n && !is_token_end((unsigned char)d[i])) i++;
  size_t tok_end = i;
  // "12 0 R": the whole indirect reference.
  if (n <= (size_t)INT32_MAX) {
    int32_t p = (int32_t)tok_end;
    int32_t e = (int32_t)n;
    if (p < e && is_pdf_ws((unsigned char)d[p])) {
      int32_t q = p;
      if (parse_int_at(d, e, &q) >= 0) {
        int32_t r = skip_ws(d, q, e);
        if (q > p && r > q && r < e && d[r] == 'R') return (int64_t)r + 1;
      }
    }
  }
  return (int64_t)tok_end;
}

void strip_dict_entry(char *dict, const char *key) {
  if (!dict || !key) return;
  size_t klen = strlen(key);
  size_t n = strlen(dict);
  size_t i = 0;
  while (i < n) {
    if (dict[i] != '/') {
      const void *slash = memchr(dict + i, '/', n - i);
      if (!slash) break;
      i = (size_t)((const char *)slash - dict);
    }
    if (i + 1 + klen >= n || (klen > 0 && dict[i + 1] != key[0]) ||
        memcmp(dict + i + 1, key, klen) != 0 ||
        is_name_char((unsigned char)dict[i + 1 + klen])) {
      i++;
      continue;
    }
    size_t v = i + 1 + klen;
    while (v < n && is_pdf_ws((unsigned char)dict[v])) v++;
    if (v >= n) {
      i++;
      continue;
    }
    int64_t e = value_end(dict, n, v);
    if (e < 0) {
      i++;
      continue;
    }
    size_t from = i;
    if (i > 0 && (dict[i - 1] == ' ' || dict[i - 1] == '\t')) from = i - 1;
    size_t to = (size_t)e;
    memmove(dict + from, dict + to, n - to + 1);
    n -= to - from;
    i = from;
  }
}

char *dict_appended(const char *dict, size_t len, const char *text) {
  if (!dict) return NULL;
  const void *nul = memchr(dict, 0, len);
  size_t n = nul ? (size_t)((const char *)nul - dict) : len;
  if (n < 2) return NULL;
  size_t i = n - 1;
  while (is_line_ws((unsigned char)dict[i])) {
    if (i == 0) return NULL;
    i--;
  }
  if (i == 0) return NULL;
  if ((unsigned char)dict[i] <= 32) return NULL;
  if (dict[i] != '>' || dict[i - 1] != '>') return NULL;
  size_t head = i - 1;
  size_t tlen = text ? strlen(text) : 0;
  char *out = (char *)malloc(n + tlen + 8);
  if (!out) return NULL;
  memcpy(out, dict, head);
  if (tlen) memcpy(out + head, text, tlen);
  memcpy(out + head + tlen, " >>", 4);
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

static int close_cache_lookup(const close_cache *c, int32_t pos, int32_t *out) {
  int32_t lo = 0, hi = c->count;
  while (lo < hi) {
    int32_t mid = lo + (hi - lo) / 2;
    if (c->opens[mid] < pos) lo = mid + 1;
    else hi = mid;
  }
  if (lo < c->count && c->opens[lo] == pos) {
    *out = c->closes[lo];
    return 1;
  }
  return 0;
}

static int close_cache_add(close_cache *c, int32_t pos) {
  if (c->count >= c->cap) {
    if (c->cap > INT32_MAX / 2) return 0;
    int32_t cap = c->cap ? c->cap * 2 : 1024;
    int32_t *o = (int32_t *)realloc(c->opens, (size_t)cap * sizeof(int32_t));
    if (!o) return 0;
    c->opens = o;
    int32_t *k = (int32_t *)realloc(c->closes, (size_t)cap * sizeof(int32_t));
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
static int close_walk_recorded(const char *text, int32_t limit, int32_t pos,
                               close_cache *c, int32_t *result) {
  c->count = 0;
  // Stack of unmatched entries, as indexes into the cache.
  int32_t *stack = NULL;
  int32_t depth = 0, stack_cap = 0;
  const unsigned char *t = (const unsigned char *)text;
  int32_t i = pos;
  int32_t last = limit - 1;
  *result = -1;
  while (i < last) {
    while (i < last && !s_close_special.v[t[i]]) i++;
    if (i >= last) break;
    unsigned char ch = t[i];
    if (ch == '<' && t[i + 1] == '<') {
      if (depth >= stack_cap) {
        int32_t cap = stack_cap ? stack_cap * 2 : 256;
        int32_t *ns = (int32_t *)realloc(stack, (size_t)cap * sizeof(int32_t));
        if (!ns) break;
        stack = ns;
        stack_cap = cap;
      }
      if (!close_cache_add(c, i)) break;
      stack[depth++] = c->count - 1;
      i += 2;
    } else if (ch == '>' && t[i + 1] == '>') {
      c->closes[stack[--depth]] = i;
      if (depth == 0) {
        *result = i;
        free(stack);
        return 1;
      }
      i += 2;
    } else if (ch == '(') {
      bool closed;
      i = literal_end(t, i, limit, &closed);
    } else {
      i++;
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
static constexpr int32_t k_plain_close_span = 1 << 20;

int32_t close_scan_cached(const char *d, int32_t size, int32_t pos,
                                 close_cache *cache) {
  if (pos < 0 || pos + 1 >= size || d[pos] != '<' || d[pos + 1] != '<')
    return -1;
  int32_t r;
  if (cache->count > 0 && close_cache_lookup(cache, pos, &r)) return r;
  int32_t limit = size - pos > k_plain_close_span ? pos + k_plain_close_span : size;
  r = close_scan(d, limit, pos);
  if (r >= 0 || limit == size) return r;
  if (close_walk_recorded(d, size, pos, cache, &r)) return r;
  return close_scan(d, size, pos);
}

int32_t int_after_name(const char *t, int32_t s, int32_t e,
                              const char *name) {
  int32_t p = find_name(t, e, s, e, name);
  if (p < 0) return -1;
  p += 1 + (int32_t)strlen(name);
  return parse_int_at(t, e, &p);
}

static bool parse_box_number(const char *t, int32_t len, int32_t *pos,
                             double *out) {
  int32_t p = *pos;
  int neg = 0;
  if (p < len && (t[p] == '-' || t[p] == '+')) {
    neg = t[p] == '-';
    p++;
  }
  double v = 0;
  int digits = 0;
  while (p < len && is_digit_c((unsigned char)t[p])) {
    v = v * 10 + (t[p] - '0');
    p++;
    digits++;
  }
  if (p < len && t[p] == '.') {
    p++;
    double scale = 0.1;
    while (p < len && is_digit_c((unsigned char)t[p])) {
      v += (t[p] - '0') * scale;
      scale *= 0.1;
      p++;
      digits++;
    }
  }
  (void)digits;
  *out = neg ? -v : v;
  *pos = p;
  return true;
}

int box_xywh_named(const char *text, int32_t len, int32_t start,
                   const char *name, double *x, double *y, double *w,
                   double *h) {
  int32_t from = start;
  for (;;) {
    int32_t at = find_name(text, len, from, len, name);
    if (at < 0) return 0;
    from = at + 1;
    int32_t p = skip_ws(text, at + 1 + (int32_t)strlen(name), len);
    if (p >= len || text[p] != '[') continue;
    p = skip_ws(text, p + 1, len);
    double val[4];
    int k = 0;
    bool bad = false;
    while (k < 4) {
      if (p >= len || text[p] == ']') {
        bad = true;
        break;
      }
      unsigned char c = (unsigned char)text[p];
      if (c == '-' || c == '+' || c == '.' || is_digit_c(c)) {
        parse_box_number(text, len, &p, &val[k]);
        p = skip_ws(text, p, len);
      } else {
        val[k] = 0;
      }
      k++;
    }
    if (bad) continue;
    // Non-finite values (hundreds of digits) would reach the output as "inf".
    if (!(val[2] > val[0]) || !(val[3] > val[1])) continue;
    double ww = val[2] - val[0], hh = val[3] - val[1];
    if (!std::isfinite(ww) || !std::isfinite(hh) || !std::isfinite(val[0]) ||
        !std::isfinite(val[1]))
      continue;
    *x = val[0];
    *y = val[1];
    *w = ww;
    *h = hh;
    return 1;
  }
}
