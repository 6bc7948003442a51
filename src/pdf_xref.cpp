// Cross-reference data (PDF 7.5.4, 7.5.6, 7.5.8): classic tables and their
// trailers, cross-reference streams, hybrid files (/XRefStm), the /Prev
// chain from startxref; and stream decoding (7.4.4 FlateDecode with the
// predictors of 7.4.4.4) for object and cross-reference streams.
// The chain is only read here; whether its offsets agree with the objects
// in the file is for the object index to judge.
// Not handled: filters other than FlateDecode, encrypted streams.
//
// No process-wide state.

#include "pdf_xref.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "flate.h"
#include "pdf_parse.h"

// Sections followed along /Prev at most: real files have a few dozen
// revisions; a loop (an offset seen before) makes the chain damaged.
static constexpr int64_t k_max_sections = 4096;
// Decoded stream data the retries of one decode may spend in total (the
// first attempt, at 20:1, is free).
static constexpr size_t k_decode_budget = (size_t)1 << 30;

// ---- small readers --------------------------------------------------------

// Whitespace and comments from pos.
static int64_t skip_ws_comments(const char *d, int64_t pos, int64_t end) {
  for (;;) {
    pos = skip_ws(d, pos, end);
    if (pos >= end || d[pos] != '%') return pos;
    while (pos < end && d[pos] != '\r' && d[pos] != '\n') pos++;
  }
}

// A non-negative decimal integer of up to 18 digits at pos (no sign; leading
// zeros do not count), or -1.
static int64_t digits_at(const char *d, int64_t end, int64_t *pos) {
  int64_t p = *pos;
  const int64_t start = p;
  while (p < end && d[p] == '0') p++;
  int64_t v = 0;
  int n = 0;
  while (p < end && is_digit_c((unsigned char)d[p])) {
    if (++n > 18) return -1;
    v = v * 10 + (d[p] - '0');
    p++;
  }
  if (p == start) return -1;
  *pos = p;
  return v;
}

int xref_header_at(const char *d, int64_t size, int64_t pos, int64_t *num,
                   int64_t *gen, int64_t *body) {
  if (pos < 0 || pos >= size) return 0;
  int64_t p = skip_ws(d, pos, size);
  int64_t n = digits_at(d, size, &p);
  if (n < 0 || n > INT32_MAX || p >= size || !is_pdf_ws((unsigned char)d[p])) return 0;
  p = skip_ws(d, p, size);
  int64_t g = digits_at(d, size, &p);
  if (g < 0 || g > INT32_MAX) return 0;
  p = skip_ws(d, p, size);
  if (!kw_at(d, p, size, "obj")) return 0;
  *num = (int64_t)n;
  *gen = (int64_t)g;
  *body = skip_ws_comments(d, p + 3, size);
  return 1;
}

static bool is_delim(unsigned char c) {
  return is_pdf_ws(c) || c == '(' || c == ')' || c == '<' || c == '>' || c == '[' ||
         c == ']' || c == '{' || c == '}' || c == '/' || c == '%';
}

// Past a literal string whose '(' is at i (nesting, backslash escapes).
static int64_t past_literal(const char *t, int64_t i, int64_t e) {
  int64_t nest = 0;
  while (i < e) {
    char c = t[i];
    if (c == '\\') {
      i += 2;
      continue;
    }
    if (c == '(') nest++;
    else if (c == ')' && --nest == 0) return i + 1;
    i++;
  }
  return e;
}

int64_t dict_value_at(const char *t, int64_t s, int64_t e, const char *key) {
  if (s < 0 || s + 1 >= e || t[s] != '<' || t[s + 1] != '<') return -1;
  size_t klen = strlen(key);
  int64_t depth = 0;
  int64_t i = s;
  while (i < e) {
    char c = t[i];
    if (c == '%') {
      while (i < e && t[i] != '\r' && t[i] != '\n') i++;
    } else if (c == '(') {
      i = past_literal(t, i, e);
    } else if (c == '<') {
      if (i + 1 < e && t[i + 1] == '<') {
        depth++;
        i += 2;
      } else {
        while (i < e && t[i] != '>') i++;
        i++;
      }
    } else if (c == '>') {
      if (i + 1 < e && t[i + 1] == '>') {
        if (--depth <= 0) return -1;
        i += 2;
      } else {
        i++;
      }
    } else if (c == '/') {
      int64_t a = i + 1;
      int64_t b = a;
      while (b < e && !is_delim((unsigned char)t[b])) b++;
      if (depth == 1 && (size_t)(b - a) == klen && memcmp(t + a, key, klen) == 0)
        return skip_ws_comments(t, b, e);
      i = b;
      // A value that is itself a name is skipped with the key's lookahead
      // on the next round; any other token too.
    } else {
      i++;
    }
  }
  return -1;
}

// "N G R" at pos: N, or -1.
static int64_t ref_at(const char *t, int64_t e, int64_t pos) {
  if (pos < 0) return -1;
  int64_t p = pos;
  int64_t n = digits_at(t, e, &p);
  if (n < 0 || n > INT32_MAX) return -1;
  p = skip_ws(t, p, e);
  if (digits_at(t, e, &p) < 0) return -1;
  p = skip_ws(t, p, e);
  return p < e && t[p] == 'R' ? (int64_t)n : -1;
}

static int64_t int_value(const char *t, int64_t s, int64_t e, const char *key) {
  int64_t p = dict_value_at(t, s, e, key);
  if (p < 0) return -1;
  return digits_at(t, e, &p);
}

// The extent of an array of two strings at pos ("[<..> <..>]" or with
// literal strings): its length, or 0 when it is not one.
int64_t id_array_len(const char *t, int64_t e, int64_t pos) {
  if (pos < 0 || pos >= e || t[pos] != '[') return 0;
  int64_t i = skip_ws_comments(t, pos + 1, e);
  for (int k = 0; k < 2; k++) {
    if (i >= e) return 0;
    if (t[i] == '(') {
      int64_t j = past_literal(t, i, e);
      if (j >= e || t[j - 1] != ')') return 0;
      i = j;
    } else if (t[i] == '<') {
      int64_t j = i + 1;
      while (j < e && t[j] != '>') {
        unsigned char c = (unsigned char)t[j];
        if (!is_pdf_ws(c) && !isxdigit(c)) return 0;
        j++;
      }
      if (j >= e) return 0;
      i = j + 1;
    } else {
      return 0;
    }
    i = skip_ws_comments(t, i, e);
  }
  return i < e && t[i] == ']' ? i + 1 - pos : 0;
}

// Facts of one chain dictionary t[s, e), kept when no newer one gave them.
static void take_facts(const char *t, int64_t s, int64_t e, xref_chain *out) {
  if (out->root < 0) out->root = ref_at(t, e, dict_value_at(t, s, e, "Root"));
  // The newest trailer alone says whether there is an /Info: an update that
  // leaves it out has removed it (readers show none), and an older one's
  // would bring back what was deleted.
  if (out->info < 0 && out->sections == 1)
    out->info = ref_at(t, e, dict_value_at(t, s, e, "Info"));
  if (out->id_len == 0) {
    int64_t p = dict_value_at(t, s, e, "ID");
    int64_t n = id_array_len(t, e, p);
    if (n > 0) {
      out->id_off = p;
      out->id_len = n;
    }
  }
  int64_t enc = dict_value_at(t, s, e, "Encrypt");
  if (enc >= 0) out->encrypt_at.push_back(enc);
}

// ---- stream decoding --------------------------------------------------------

// Undoes a PNG (10-15) or TIFF (2) predictor in place; the result is the
// rows without their filter-type bytes. 0 when the parameters are unusable.
static int unpredict(uint8_t *buf, size_t *len, int64_t pred, int64_t colors,
                     int64_t bpc, int64_t columns) {
  if (colors < 1 || colors > 32 || bpc < 1 || bpc > 16 || columns < 1 ||
      columns > (1 << 24))
    return 0;
  size_t row = (size_t)((colors * bpc * columns + 7) / 8);
  size_t bpp = (size_t)((colors * bpc + 7) / 8);
  if (pred == 2) {
    if (bpc != 8) return 0;
    for (size_t r = 0; r + row <= *len; r += row)
      for (size_t i = bpp; i < row; i++) buf[r + i] = (uint8_t)(buf[r + i] + buf[r + i - bpp]);
    return 1;
  }
  // PNG: each row is a filter-type byte and `row` bytes, filtered against
  // the previous row (zero above the first).
  size_t in = 0, out = 0;
  uint8_t *prev = NULL;
  while (in + 1 + row <= *len) {
    uint8_t type = buf[in];
    uint8_t *cur = buf + out;
    memmove(cur, buf + in + 1, row);
    for (size_t i = 0; i < row; i++) {
      unsigned a = i >= bpp ? cur[i - bpp] : 0;
      unsigned b = prev ? prev[i] : 0;
      unsigned c = prev && i >= bpp ? prev[i - bpp] : 0;
      unsigned x = cur[i];
      switch (type) {
        case 0: break;
        case 1: x += a; break;
        case 2: x += b; break;
        case 3: x += (a + b) / 2; break;
        case 4: {
          int p = (int)a + (int)b - (int)c;
          int pa = abs(p - (int)a), pb = abs(p - (int)b), pc = abs(p - (int)c);
          x += pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
          break;
        }
        default: return 0;
      }
      cur[i] = (uint8_t)x;
    }
    prev = cur;
    in += 1 + row;
    out += row;
  }
  *len = out;
  return 1;
}

int stream_decode(int64_t num, int64_t gen, const char *t, int64_t s, int64_t e,
                  const uint8_t *data, size_t len, size_t *budget, uint8_t **out,
                  size_t *out_len) {
  // The object's identity is what decryption would key on; nothing is
  // encrypted here.
  (void)num;
  (void)gen;
  *out = NULL;
  *out_len = 0;
  if (len > (size_t)INT32_MAX) return 0;
  uint8_t *block = NULL;
  size_t n = 0;
  bool flate = find_name(t, e, s, e, "FlateDecode") >= 0 || find_name(t, e, s, e, "Fl") >= 0;
  if (flate) {
    if (len < 1) return 0;
    const uint8_t *src = data;
    size_t src_len = len;
    unsigned b0 = src[0], b1 = len > 1 ? src[1] : 0;
    if (len > 6 && (b0 & 0x0f) == 8 && (b0 & 0x80) == 0 && (b0 * 256 + b1) % 31 == 0) {
      src += 2;
      src_len -= 2;
    }
    size_t cap = 20 * len + 65536;
    size_t most = 1032 * len + 65536;
    for (;;) {
      block = (uint8_t *)malloc(cap);
      if (!block) return 0;
      int r = kp_inflate(src, src_len, block, cap);
      if (r > 0) {
        n = (size_t)r;
        break;
      }
      free(block);
      block = NULL;
      // Only data that needs more room is tried again (damaged data fails
      // alike at any size). Retries are paid from the budget so that
      // streams of great expansion cannot make it loop long.
      size_t next = cap * 2;
      if (r != -2 || cap >= most || cap >= (size_t)INT32_MAX || *budget > k_decode_budget ||
          next > k_decode_budget - *budget)
        return 0;
      *budget += next;
      cap = next;
    }
    // Give back the unused room (the first attempt allows 20:1).
    if (n + 1 < cap) {
      uint8_t *small = (uint8_t *)realloc(block, n + 1);
      if (small) block = small;
    }
  } else if (find_name(t, e, s, e, "Filter") >= 0) {
    return 0;
  } else {
    block = (uint8_t *)malloc(len + 1);
    if (!block) return 0;
    if (len) memcpy(block, data, len);
    n = len;
  }
  int64_t pp = find_name(t, e, s, e, "Predictor");
  if (pp >= 0) {
    int64_t q = skip_ws(t, pp + 10, e);
    int64_t pred = digits_at(t, e, &q);
    if (pred >= 2) {
      auto param = [&](const char *name, int64_t dflt) -> int64_t {
        int64_t at = find_name(t, e, s, e, name);
        if (at < 0) return dflt;
        int64_t r = skip_ws(t, at + 1 + (int64_t)strlen(name), e);
        int64_t v = digits_at(t, e, &r);
        return v < 0 ? dflt : v;
      };
      if (!unpredict(block, &n, pred, param("Colors", 1), param("BitsPerComponent", 8),
                     param("Columns", 1))) {
        free(block);
        return 0;
      }
    }
  }
  block[n] = 0;
  *out = block;
  *out_len = n;
  return 1;
}

// ---- sections ---------------------------------------------------------------

// Appends the entries of the classic table whose keyword "xref" is at x;
// the trailer dictionary's range in *ts, *te. 0 when it cannot be read.
static int read_table(const char *d, int64_t size, int64_t x, xref_list *used,
                      xref_list *freed, int64_t *ts, int64_t *te) {
  int64_t p = x + 4;
  for (;;) {
    p = skip_ws_comments(d, p, size);
    if (p >= size) return 0;
    if (kw_at(d, p, size, "trailer")) break;
    int64_t first = digits_at(d, size, &p);
    p = skip_ws(d, p, size);
    int64_t count = digits_at(d, size, &p);
    if (first < 0 || count < 0 || first + count > (int64_t)INT32_MAX + 1) return 0;
    // Each entry takes at least 5 bytes ("0 0 n"): a count beyond what the
    // rest of the file holds is damage, found before any entry is kept.
    if (count > (size - p) / 5 + 1) return 0;
    vec_reserve_more(used, (size_t)count);  // populated memory (arr_alloc)
    for (int64_t i = 0; i < count; i++) {
      p = skip_ws(d, p, size);
      // The usual line, "oooooooooo ggggg n" and its end of line, read in
      // place; anything else by the general rules below.
      if ((int64_t)p + 18 <= size && d[p + 10] == ' ' && d[p + 16] == ' ' &&
          (d[p + 17] == 'n' || d[p + 17] == 'f')) {
        int64_t off = 0;
        int64_t gen = 0;
        bool digits = true;
        for (int k = 0; k < 10; k++) {
          digits = digits && is_digit_c((unsigned char)d[p + k]);
          off = off * 10 + (d[p + k] - '0');
        }
        for (int k = 11; k < 16; k++) {
          digits = digits && is_digit_c((unsigned char)d[p + k]);
          gen = gen * 10 + (d[p + k] - '0');
        }
        if (digits) {
          xref_entry en;
          en.num = (int32_t)(first + i);
          en.gen = (int32_t)gen;
          en.where = off;
          en.type = d[p + 17] == 'n' ? XREF_AT : XREF_FREE;
          (d[p + 17] == 'n' ? used : freed)->push_back(en);
          p += 18;
          continue;
        }
      }
      int64_t off = digits_at(d, size, &p);
      p = skip_ws(d, p, size);
      int64_t gen = digits_at(d, size, &p);
      p = skip_ws(d, p, size);
      if (off < 0 || gen < 0 || gen > INT32_MAX || p >= size) return 0;
      char k = d[p++];
      if (k != 'n' && k != 'f') return 0;
      xref_entry en;
      en.num = (int32_t)(first + i);
      en.gen = (int32_t)gen;
      en.where = off;
      en.type = k == 'n' ? XREF_AT : XREF_FREE;
      (k == 'n' ? used : freed)->push_back(en);
    }
  }
  int64_t s = skip_ws_comments(d, p + 7, size);
  int64_t c = find_dict_close(d, size, s, 0);
  if (c < 0) return 0;
  *ts = s;
  *te = c + 2;
  return 1;
}

static int read_stream_entries(const char *d, int64_t size, int64_t off,
                               xref_list *to, int64_t *ds, int64_t *de,
                               size_t *budget);

// Appends the entries of the cross-reference stream whose header is at
// `off`; its dictionary's range in *ds, *de. 0 when no such stream stands
// there; 2 when its dictionary is there but its entries cannot be read
// (none are appended); 1 when all was read.
static int read_stream_section(const char *d, int64_t size, int64_t off,
                               xref_list *to, int64_t *ds, int64_t *de,
                               size_t *budget) {
  xref_list got;
  int r = read_stream_entries(d, size, off, &got, ds, de, budget);
  if (r == 1) to->insert(to->end(), got.begin(), got.end());
  return r;
}

static int read_stream_entries(const char *d, int64_t size, int64_t off,
                               xref_list *to, int64_t *ds, int64_t *de,
                               size_t *budget) {
  int64_t num, gen, s;
  if (!xref_header_at(d, size, off, &num, &gen, &s)) return 0;
  if (s + 1 >= size || d[s] != '<' || d[s + 1] != '<') return 0;
  int64_t c = find_dict_close(d, size, s, 0);
  if (c < 0) return 0;
  int64_t e = c + 2;
  int64_t kw = skip_ws(d, e, size);
  if (!kw_at(d, kw, size, "stream")) return 0;
  *ds = s;
  *de = e;
  int64_t ws = dict_value_at(d, s, e, "W");
  if (ws < 0 || d[ws] != '[') return 2;
  int64_t w[3];
  int64_t p = ws + 1;
  int64_t wsum = 0;
  for (int k = 0; k < 3; k++) {
    p = skip_ws(d, p, e);
    w[k] = digits_at(d, e, &p);
    if (w[k] < 0 || w[k] > 8) return 2;
    wsum += w[k];
  }
  if (wsum == 0) return 2;
  // The data: /Length when "endstream" follows it, else up to "endstream".
  int64_t q = kw + 6;
  if (q < size && d[q] == '\r') q++;
  if (q < size && d[q] == '\n') q++;
  int64_t data = q;
  int64_t data_end = -1;
  int64_t len = int_value(d, s, e, "Length");
  if (len >= 0 && len <= size - data) {
    int64_t t = skip_ws(d, data + (int64_t)len, size);
    if (kw_at(d, t, size, "endstream")) data_end = data + (int64_t)len;
  }
  if (data_end < 0) {
    data_end = find_kw(d, size, data, "endstream");
    if (data_end < 0) return 2;
  }
  uint8_t *buf;
  size_t n;
  if (!stream_decode(num, gen, d, s, e, (const uint8_t *)d + data, (size_t)(data_end - data),
                     budget, &buf, &n))
    return 2;
  struct free_on_exit {
    uint8_t *p;
    ~free_on_exit() { free(p); }
  } guard{buf};
  // /Index: pairs of first number and count; [0 Size] when absent.
  std::vector<int64_t> index;
  int64_t ix = dict_value_at(d, s, e, "Index");
  if (ix >= 0 && d[ix] == '[') {
    p = ix + 1;
    for (;;) {
      p = skip_ws(d, p, e);
      int64_t v = digits_at(d, e, &p);
      if (v < 0) break;
      index.push_back(v);
    }
    if (p >= e || d[p] != ']' || index.size() % 2) return 2;
  } else {
    int64_t sz = int_value(d, s, e, "Size");
    if (sz < 0) return 2;
    index.push_back(0);
    index.push_back(sz);
  }
  size_t at = 0;
  size_t row = (size_t)wsum;
  for (size_t k = 0; k < index.size(); k += 2) {
    int64_t first = index[k], count = index[k + 1];
    if (first + count > (int64_t)INT32_MAX + 1) return 2;
    if ((uint64_t)count > (n - at) / row) return 2;  // more than the data holds
    for (int64_t i = 0; i < count; i++) {
      int64_t f[3];
      for (int m = 0; m < 3; m++) {
        uint64_t v = 0;
        for (int64_t b = 0; b < w[m]; b++) v = v << 8 | buf[at++];
        f[m] = v > (uint64_t)INT64_MAX ? INT64_MAX : (int64_t)v;
      }
      int64_t type = w[0] == 0 ? 1 : f[0];
      xref_entry en;
      en.num = (int32_t)(first + i);
      if (type == 0) {
        en.type = XREF_FREE;
        en.where = 0;
        en.gen = f[2] > INT32_MAX ? INT32_MAX : (int32_t)f[2];
      } else if (type == 1) {
        en.type = XREF_AT;
        en.where = f[1];
        en.gen = f[2] > INT32_MAX ? INT32_MAX : (int32_t)f[2];
      } else if (type == 2) {
        en.type = XREF_PACKED;
        en.where = f[1];
        en.gen = f[2] > INT32_MAX ? INT32_MAX : (int32_t)f[2];
      } else {
        continue;  // other types stand for null
      }
      to->push_back(en);
    }
  }
  return 1;
}

// ---- the chain ----------------------------------------------------------------

// Keeps the first entry of each number in `all` (precedence order).
static void first_per_number(xref_list &all, xref_list *out) {
  out->clear();
  if (all.empty()) return;
  int64_t m = 0;
  for (const xref_entry &x : all) m = std::max<int64_t>(m, x.num);
  if (dense_enough(m, (int64_t)all.size()) && all.size() <= INT32_MAX) {
    std::vector<int32_t> pick;
    vec_reserve_populated(&pick, (size_t)m + 1);
    pick.assign((size_t)m + 1, -1);
    size_t kept = 0;
    for (size_t i = 0; i < all.size(); i++)
      if (pick[(size_t)all[i].num] < 0) {
        pick[(size_t)all[i].num] = (int32_t)i;
        kept++;
      }
    vec_reserve_populated(out, kept);
    for (int32_t p : pick)
      if (p >= 0) out->push_back(all[(size_t)p]);
    return;
  }
  std::vector<int64_t> order(all.size());
  for (size_t i = 0; i < all.size(); i++) order[i] = (int64_t)i;
  std::stable_sort(order.begin(), order.end(),
                   [&](int64_t a, int64_t b) { return all[(size_t)a].num < all[(size_t)b].num; });
  for (size_t i = 0; i < order.size(); i++)
    if (i == 0 || all[(size_t)order[i]].num != all[(size_t)order[i - 1]].num)
      out->push_back(all[(size_t)order[i]]);
}

// The last "startxref" of the file and the offset after it, or -1.
static int64_t startxref_value(const char *d, int64_t size) {
  // Searched from the end: the keyword is in the file's last bytes.
  int64_t found = -1;
  for (int64_t from = size > 4096 ? size - 4096 : 0;; from = 0) {
    for (int64_t at = find_kw(d, size, from, "startxref"); at >= 0;
         at = find_kw(d, size, at + 1, "startxref"))
      found = at;
    if (found >= 0 || from == 0) break;
  }
  if (found < 0) return -1;
  int64_t p = skip_ws(d, found + 9, size);
  int64_t v = digits_at(d, size, &p);
  return v < 0 || v >= size ? -1 : (int64_t)v;
}

void xref_read(const char *d, int64_t size, xref_chain *out) {
  out->entries.clear();
  out->encrypt_at.clear();
  out->last_off = -1;
  out->kind = XREF_NONE;
  out->sections = 0;
  out->whole = 0;
  out->root = out->info = -1;
  out->id_off = -1;
  out->id_len = 0;
  int64_t off = startxref_value(d, size);
  if (off < 0) return;
  xref_list all;
  std::vector<int64_t> seen;
  size_t budget = 0;
  bool ok = true;
  while (off >= 0) {
    // A loop leaves sections out of reach: damage, as readers take it.
    if (std::find(seen.begin(), seen.end(), off) != seen.end()) {
      ok = false;
      break;
    }
    if ((int64_t)seen.size() >= k_max_sections) {
      ok = false;
      break;
    }
    seen.push_back(off);
    int64_t q = skip_ws(d, off, size);
    int64_t s = -1, e = -1;
    int kind;
    if (kw_at(d, q, size, "xref")) {
      xref_list used, freed, packed;
      if (!read_table(d, size, q, &used, &freed, &s, &e)) {
        ok = false;
        break;
      }
      kind = XREF_TABLE;
      // A hybrid file: the stream lists the objects that readers of classic
      // tables do not see; the table's own objects come first, the stream's
      // before the table's free entries.
      int64_t stm = int_value(d, s, e, "XRefStm");
      if (stm >= 0) {
        int64_t ss, se;
        int r = stm < size ? read_stream_section(d, size, (int64_t)stm, &packed, &ss, &se, &budget)
                           : 0;
        if (r != 1) ok = false;
        if (r == 0) break;
        kind = XREF_HYBRID;
        int64_t enc = dict_value_at(d, ss, se, "Encrypt");
        if (enc >= 0) out->encrypt_at.push_back(enc);
      }
      // The newest table of a file with one section is most of the chain:
      // taken over, not copied.
      if (all.empty()) all.swap(used);
      else all.insert(all.end(), used.begin(), used.end());
      all.insert(all.end(), packed.begin(), packed.end());
      all.insert(all.end(), freed.begin(), freed.end());
    } else {
      int r = read_stream_section(d, size, q, &all, &s, &e, &budget);
      if (r != 1) ok = false;
      if (r == 0) break;
      kind = XREF_STREAM;
    }
    if (out->sections == 0) {
      out->last_off = off;
      out->kind = kind;
    }
    out->sections++;
    take_facts(d, s, e, out);
    int64_t prev = int_value(d, s, e, "Prev");
    if (dict_value_at(d, s, e, "Prev") >= 0 && (prev < 0 || prev >= size)) {
      ok = false;
      break;
    }
    off = prev < 0 ? -1 : (int64_t)prev;
  }
  out->whole = ok && out->sections > 0;
  first_per_number(all, &out->entries);
}
