// PDF reading: error text, byte buffers and arrays, the object index built
// by scanning the file, the document loader and the page tree walk (PDF 7.3,
// 7.5, 7.7.3); the text scanners they use are in pdf_syntax.cpp. Cross-reference sections are read only
// for their trailer entries; objects are found by scanning for "obj".
// Not handled: encryption (refused), filters other than FlateDecode on object
// streams, inline page dictionaries in /Kids.
//
// Process-wide state: g_err (last error text), g_inline_kids (set by the page
// walk), g_scan_wide (lets tests choose the object scan's vector width).

#include "pdf_parse.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <vector>
#ifndef _WIN32
#include <thread>
#endif

#include "flate.h"
#include "pdf_decrypt.h"
#include "pdf_xref.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <wchar.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#endif
#ifdef __linux__
#include <sys/mman.h>
#endif
#if (defined(__x86_64__) || defined(_M_X64)) && !defined(RRV_NO_SIMD)
#include <immintrin.h>
#define RRV_SIMD 1
#endif

char g_err[1024];
int g_inline_kids;
int g_scan_wide = -1;
int64_t g_lazy_budget = -1;

// ---- error text -----------------------------------------------------------

void set_error(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(g_err, sizeof g_err, fmt, ap);
  va_end(ap);
  if (n < 0) g_err[0] = 0;
  g_err[sizeof g_err - 1] = 0;
}

const char *get_error(void) { return g_err; }

// ---- files ----------------------------------------------------------------

#ifdef _WIN32
// UTF-8 to a malloc'ed UTF-16 string, NULL when the path is not valid UTF-8.
static wchar_t *widen(const char *s) {
  int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s, -1, NULL, 0);
  if (n <= 0) return NULL;
  wchar_t *w = (wchar_t *)malloc((size_t)n * sizeof(wchar_t));
  if (!w) return NULL;
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s, -1, w, n) != n) {
    free(w);
    return NULL;
  }
  return w;
}

FILE *file_open(const char *path, const char *mode) {
  wchar_t *wp = widen(path);
  wchar_t *wm = widen(mode);
  FILE *f = NULL;
  if (wp && wm) {
    f = _wfopen(wp, wm);
  } else {
    errno = EINVAL;
  }
  free(wp);
  free(wm);
  return f;
}

// Not fopen's "x" mode: msvcrt.dll, which MinGW builds use, ignores it and
// truncates an existing file. _O_EXCL is honoured by every Windows C runtime.
FILE *file_create_excl(const char *path) {
  wchar_t *wp = widen(path);
  if (!wp) {
    errno = EINVAL;
    return NULL;
  }
  int fd = _wopen(wp, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
  free(wp);
  if (fd < 0) return NULL;
  FILE *f = _fdopen(fd, "wb");
  if (!f) {
    int e = errno;
    _close(fd);
    file_remove(path);
    errno = e;
  }
  return f;
}

int file_remove(const char *path) {
  wchar_t *wp = widen(path);
  if (!wp) {
    errno = EINVAL;
    return -1;
  }
  int r = _wremove(wp);
  free(wp);
  return r;
}

int file_replace(const char *from, const char *to) {
  wchar_t *wf = widen(from);
  wchar_t *wt = widen(to);
  int r = -1;
  if (wf && wt) {
    if (MoveFileExW(wf, wt, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
      r = 0;
    else
      errno = EACCES;
  } else {
    errno = EINVAL;
  }
  free(wf);
  free(wt);
  return r;
}

// The file's identity (volume and index), for file_keep_unmapped.
static bool file_identity(const char *path, BY_HANDLE_FILE_INFORMATION *info) {
  wchar_t *wp = widen(path);
  if (!wp) return false;
  HANDLE h = CreateFileW(wp, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
  free(wp);
  if (h == INVALID_HANDLE_VALUE) return false;
  bool ok = GetFileInformationByHandle(h, info) != 0;
  CloseHandle(h);
  return ok;
}

int file_keep_unmapped(const char *input, const char *output) {
  BY_HANDLE_FILE_INFORMATION a, b;
  if (!input || !output || !file_identity(input, &a) || !file_identity(output, &b)) return 0;
  return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
         a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

int file_kind(const char *path) {
  wchar_t *wp = widen(path);
  if (!wp) return FILE_MISSING;
  struct _stat64 st;
  int r = _wstat64(wp, &st);
  free(wp);
  if (r != 0) return FILE_MISSING;
  return (st.st_mode & _S_IFMT) == _S_IFREG ? FILE_REGULAR : FILE_OTHER;
}
#else
FILE *file_open(const char *path, const char *mode) {
  return fopen(path, mode);
}

FILE *file_create_excl(const char *path) {
  int fd = open(path, O_WRONLY | O_CREAT | O_EXCL, 0666);
  if (fd < 0) return NULL;
  FILE *f = fdopen(fd, "wb");
  if (!f) {
    int e = errno;
    close(fd);
    unlink(path);
    errno = e;
  }
  return f;
}

int file_remove(const char *path) { return remove(path); }

int file_replace(const char *from, const char *to) {
  return rename(from, to) == 0 ? 0 : -1;
}

int file_keep_unmapped(const char *, const char *) { return 0; }

int file_kind(const char *path) {
  struct stat st;
  if (stat(path, &st) != 0) return FILE_MISSING;
  return S_ISREG(st.st_mode) ? FILE_REGULAR : FILE_OTHER;
}
#endif

int file_write_all(FILE *f, const void *p, size_t n) {
  const char *c = (const char *)p;
  while (n > 0) {
    size_t k = n < ((size_t)1 << 30) ? n : (size_t)1 << 30;
    if (fwrite(c, 1, k, f) != k) return 0;
    c += k;
    n -= k;
  }
  return 1;
}

// ---- byte buffer ----------------------------------------------------------

static constexpr size_t k_buf_initial = 65536;

static void buf_fail(byte_buf *b) {
  free(b->data);
  b->data = NULL;
  b->len = 0;
  b->cap = 0;
  b->failed = 1;
}

void buf_init(byte_buf *b) {
  b->data = (char *)malloc(k_buf_initial);
  b->len = 0;
  b->failed = 0;
  if (!b->data) {
    b->cap = 0;
    b->failed = 1;
    return;
  }
  b->cap = k_buf_initial;
  b->data[0] = 0;
}

void buf_free(byte_buf *b) {
  free(b->data);
  b->data = NULL;
  b->len = 0;
  b->cap = 0;
  b->failed = 0;
}

void buf_reserve(byte_buf *b, size_t n) {
  if (b->failed) return;
  if (!b->data) {
    b->data = (char *)malloc(k_buf_initial);
    b->len = 0;
    if (!b->data) {
      buf_fail(b);
      return;
    }
    b->cap = k_buf_initial;
    b->data[0] = 0;
  }
  if (n > SIZE_MAX - 1 - b->len) {
    buf_fail(b);
    return;
  }
  size_t need = b->len + n + 1;
  if (need <= b->cap) return;
  size_t cap = b->cap;
  while (cap < need) {
    if (cap > SIZE_MAX / 2) {
      buf_fail(b);
      return;
    }
    cap *= 2;
  }
  char *p = (char *)realloc(b->data, cap);
  if (!p) {
    buf_fail(b);
    return;
  }
  b->data = p;
  b->cap = cap;
}

void buf_bytes(byte_buf *b, const void *src, size_t n) {
  if (n == 0 || b->failed) return;
  buf_reserve(b, n);
  if (!b->data) return;
  memcpy(b->data + b->len, src, n);
  b->len += n;
  b->data[b->len] = 0;
}

void buf_str(byte_buf *b, const char *s) {
  if (!s || !*s) return;
  buf_bytes(b, s, strlen(s));
}

void buf_int(byte_buf *b, int64_t v) {
  char tmp[32];
  snprintf(tmp, sizeof tmp, "%lld", (long long)v);
  buf_str(b, tmp);
}

void buf_printf(byte_buf *b, const char *fmt, ...) {
  if (b->failed) return;
  va_list ap;
  va_start(ap, fmt);
  va_list ap2;
  va_copy(ap2, ap);
  int n = vsnprintf(NULL, 0, fmt, ap);
  va_end(ap);
  if (n < 0) {
    va_end(ap2);
    buf_fail(b);
    return;
  }
  if (n > 0) {
    buf_reserve(b, (size_t)n);
    if (b->data) {
      vsnprintf(b->data + b->len, (size_t)n + 1, fmt, ap2);
      b->len += (size_t)n;
    }
  }
  va_end(ap2);
}

// ---- object vector and arena ------------------------------------------------



// Room for `cap` records; false (nothing changed) when it cannot be had.
// A vector that is not read on demand (lazy) is filled as far as it grows,
// so its new part is populated at once; a lazy one keeps its memory to
// what it uses.
static bool objvec_grow(obj_vec *v, int64_t cap) {
  pdf_obj *p = (pdf_obj *)arr_realloc(v->items, (size_t)v->count * sizeof(pdf_obj),
                                      (size_t)cap * sizeof(pdf_obj), !v->lazy);
  if (!p) return false;
  v->items = p;
  v->cap = cap;
  return true;
}

pdf_obj *objvec_push(obj_vec *v, const pdf_obj *rec) {
  if (v->failed) return NULL;
  if (v->count >= v->cap &&
      (v->count > INT32_MAX / 2 || !objvec_grow(v, v->cap == 0 ? 128 : v->count * 2))) {
    v->failed = 1;
    return NULL;
  }
  int64_t idx = v->count;
  v->items[idx] = *rec;
  v->count++;
  // Keep the lookup exact: a record the table cannot hold drops the table,
  // and obj_find falls back to a linear search.
  if (v->by_num) {
    if (rec->num >= 0 && rec->num < v->by_num_len) {
      if (v->by_num[rec->num] < 0) v->by_num[rec->num] = (int32_t)idx;
    } else {
      free(v->by_num);
      v->by_num = NULL;
      v->by_num_len = 0;
    }
  }
  if (v->by_pair) {
    free(v->by_pair);
    v->by_pair = NULL;
    v->pair_count = 0;
  }
  return &v->items[idx];
}

static bool lazy_fill(const obj_vec *v, pdf_obj *o);
static void lazy_free(lazy_scan *lz);

// The record obj_find gives, as it stands.
static pdf_obj *find_raw(const obj_vec *v, int64_t num) {
  if (!v || v->count <= 0 || !v->items) return NULL;
  if (v->by_num) {
    // The table covers every number of the records.
    if (num < 0 || num >= v->by_num_len) return NULL;
    int64_t i = v->by_num[num];
    return i >= 0 && i < v->count ? &v->items[i] : NULL;
  }
  if (v->by_pair) {
    int64_t lo = 0, hi = v->pair_count;
    while (lo < hi) {
      int64_t mid = lo + (hi - lo) / 2;
      if (v->by_pair[2 * mid] < num) lo = mid + 1;
      else hi = mid;
    }
    if (lo < v->pair_count && v->by_pair[2 * lo] == num) {
      int64_t i = v->by_pair[2 * lo + 1];
      return i >= 0 && i < v->count ? &v->items[i] : NULL;
    }
    return NULL;
  }
  for (int64_t i = 0; i < v->count; i++)
    if (v->items[i].num == num) return &v->items[i];
  return NULL;
}

const pdf_obj *obj_find(const obj_vec *v, int64_t num) {
  pdf_obj *o = find_raw(v, num);
  if (o && o->lazy) return lazy_fill(v, o) ? o : NULL;
  return o;
}

void objvec_index(obj_vec *v) {
  free(v->by_num);
  v->by_num = NULL;
  v->by_num_len = 0;
  free(v->by_pair);
  v->by_pair = NULL;
  v->pair_count = 0;
  int64_t m = -1;
  for (int64_t i = 0; i < v->count; i++) {
    int64_t n = v->items[i].num;
    if (n > m) m = n;
  }
  if (m < 0) return;
  if (!dense_enough(m, v->count)) {
    std::vector<int64_t> order;
    try {
      order.reserve((size_t)v->count);
    } catch (...) {
      return;
    }
    for (int64_t i = 0; i < v->count; i++)
      if (v->items[i].num >= 0) order.push_back(i);
    const pdf_obj *it = v->items;
    std::stable_sort(order.begin(), order.end(),
                     [it](int64_t a, int64_t b) { return it[a].num < it[b].num; });
    int32_t *p = (int32_t *)malloc((order.size() + 1) * 2 * sizeof(int32_t));
    if (!p) return;
    int64_t k = 0;
    for (size_t j = 0; j < order.size(); j++) {
      if (k > 0 && p[2 * (k - 1)] == it[order[j]].num) continue;  // first record wins
      p[2 * k] = it[order[j]].num;
      p[2 * k + 1] = (int32_t)order[j];
      k++;
    }
    v->by_pair = p;
    v->pair_count = k;
    return;
  }
  int32_t *t = (int32_t *)malloc(((size_t)m + 1) * sizeof(int32_t));
  if (!t) return;
  mem_populate(t, ((size_t)m + 1) * sizeof(int32_t));
  for (int64_t i = 0; i <= m; i++) t[i] = -1;
  for (int64_t i = 0; i < v->count; i++) {
    int64_t n = v->items[i].num;
    if (n >= 0 && t[n] < 0) t[n] = (int32_t)i;
  }
  v->by_num = t;
  v->by_num_len = m + 1;
}

void objvec_free(obj_vec *v) {
  lazy_free(v->lazy);
  arr_free(v->items);
  free(v->by_num);
  free(v->by_pair);
  memset(v, 0, sizeof *v);
}

void *arena_alloc(arena *a, size_t n) {
  void *p = malloc(n ? n : 1);
  if (!p) return NULL;
  if (a->count >= a->cap) {
    if (a->count > INT32_MAX / 2) {
      free(p);
      return NULL;
    }
    int64_t cap = a->cap == 0 ? 8 : a->count * 2;
    void **l = (void **)realloc(a->blocks, (size_t)cap * sizeof(void *));
    if (!l) {
      free(p);
      return NULL;
    }
    a->blocks = l;
    a->cap = cap;
  }
  a->blocks[a->count++] = p;
  return p;
}

// Records a block the caller allocated; frees it when the list cannot grow.
static int arena_adopt(arena *a, void *p) {
  if (a->count >= a->cap) {
    if (a->count > INT32_MAX / 2) {
      free(p);
      return 0;
    }
    int64_t cap = a->cap == 0 ? 8 : a->count * 2;
    void **l = (void **)realloc(a->blocks, (size_t)cap * sizeof(void *));
    if (!l) {
      free(p);
      return 0;
    }
    a->blocks = l;
    a->cap = cap;
  }
  a->blocks[a->count++] = p;
  return 1;
}

void arena_free(arena *a) {
  for (int64_t i = 0; i < a->count; i++) free(a->blocks[i]);
  free(a->blocks);
  a->blocks = NULL;
  a->count = 0;
  a->cap = 0;
}

// ---- object index -----------------------------------------------------------

int64_t obj_dict_close(const char *data, int64_t size, const pdf_obj *o) {
  if (o->dict_off < 0 || o->dict_off >= size) return -1;
  if (o->dict_close > o->dict_off && o->dict_close < size) return o->dict_close;
  return find_dict_close(data, size, o->dict_off, 0);
}

int obj_value_range(const char *data, int64_t size, const pdf_obj *o,
                    const char **text, int64_t *start, int64_t *end) {
  if (!o) return 0;
  if (o->in_objstm) return obj_dict_range(data, size, o, text, start, end);
  int64_t e = size;
  if (o->stream_kw_off > 0) e = o->stream_kw_off;
  else if (o->endobj_off > 0) e = o->endobj_off;
  if (e > size) e = size;
  int64_t s = o->dict_off;
  if (s < 0) {
    int64_t k = o->hdr_off >= 0 ? find_kw(data, e, o->hdr_off, "obj") : -1;
    if (k < 0) return 0;
    s = k + 3;
  }
  if (s >= size || s > e) return 0;
  *text = data;
  *start = s;
  *end = e;
  return 1;
}

int obj_dict_range(const char *data, int64_t size, const pdf_obj *o,
                   const char **text, int64_t *start, int64_t *end) {
  if (!o) return 0;
  if (o->in_objstm) {
    if (!o->text) return 0;
    *text = o->text;
    *start = 0;
    *end = o->text_len > 0 ? o->text_len : 0;
    return 1;
  }
  if (o->dict_off < 0 || o->dict_off >= size) return 0;
  int64_t e = size;
  if (o->stream_kw_off > 0) e = o->stream_kw_off;
  else if (o->endobj_off > 0) e = o->endobj_off;
  if (e > size) e = size;
  if (e < o->dict_off) e = o->dict_off;
  *text = data;
  *start = o->dict_off;
  *end = e;
  return 1;
}

// Remembers the last search of one keyword over the whole file: the first
// match at or after `from` is `result` (-1: none). A later search from a
// position in [from, result] has the same answer, so the monotone searches
// of the index passes stay linear even when keywords are missing.
struct kw_memo {
  const char *kw;
  int64_t from;
  int64_t result;
  int valid;
  int64_t searched;  // bytes the searches went over, in all
};

static int64_t memo_find(kw_memo *m, const char *data, int64_t size,
                         int64_t start) {
  if (start < 0) start = 0;
  if (m->valid && start >= m->from &&
      (m->result < 0 || start <= m->result))
    return m->result;
  int64_t r = find_kw(data, size, start, m->kw);
  m->searched += (r >= 0 ? r : size) - start;
  m->from = start;
  m->result = r;
  m->valid = 1;
  return r;
}

// Decimal value of digits [a, b), saturating at INT32_MAX (such numbers are
// beyond every limit anyway).
static int64_t digits_value(const char *t, int64_t a, int64_t b) {
  int64_t v = 0;
  for (int64_t i = a; i < b; i++) {
    v = v * 10 + (t[i] - '0');
    if (v > INT32_MAX) return INT32_MAX;
  }
  return (int64_t)v;
}

static int64_t stream_data_start(const char *d, int64_t size, int64_t kw) {
  int64_t q = kw + 6;
  while (q < size && (d[q] == ' ' || d[q] == '\t')) q++;
  if (q < size && d[q] == '\r') {
    q++;
    if (q < size && d[q] == '\n') q++;
    return q;
  }
  if (q < size && d[q] == '\n') return q + 1;
  int64_t r = kw + 7;
  return r > size ? size : r;
}

// The positions of a file where the three bytes "obj" or "/En" begin, in
// increasing order: the candidates of the object scan, and of the name
// /Encrypt, found in one pass. Every byte of the file is looked at, so this
// pass bounds the time to index a file; the three bytes are compared 32
// positions at a time where the processor can, which also spares the scan
// the stops at every 'j' of compressed stream data.
struct mark_scan {
  const unsigned char *d;
  int64_t size;
  int64_t base;   // first position of the block `mask` describes
  uint32_t mask;  // candidates left in the block: bit k = position base + k
  int wide;       // 32-byte vectors available
};

#ifdef RRV_SIMD
#if defined(__GNUC__)
// The first block at or after b (b a multiple of 32, every block ending
// 34 bytes or more before `size`) with a candidate: its position in *b and
// its mask, or 0 when none is left in those blocks.
__attribute__((target("avx2"))) static uint32_t marks32_next(const unsigned char *d,
                                                             int64_t size, int64_t *b) {
  const __m256i o = _mm256_set1_epi8('o'), bb = _mm256_set1_epi8('b'),
                j = _mm256_set1_epi8('j'), sl = _mm256_set1_epi8('/'),
                e = _mm256_set1_epi8('E'), n = _mm256_set1_epi8('n');
  int64_t i = *b;
  for (; (int64_t)i + 34 <= size; i += 32) {
    const unsigned char *p = d + i;
    const __m256i x = _mm256_loadu_si256((const __m256i *)p);
    const __m256i y = _mm256_loadu_si256((const __m256i *)(p + 1));
    const __m256i z = _mm256_loadu_si256((const __m256i *)(p + 2));
    __m256i obj = _mm256_and_si256(
        _mm256_and_si256(_mm256_cmpeq_epi8(x, o), _mm256_cmpeq_epi8(y, bb)),
        _mm256_cmpeq_epi8(z, j));
    __m256i enc = _mm256_and_si256(
        _mm256_and_si256(_mm256_cmpeq_epi8(x, sl), _mm256_cmpeq_epi8(y, e)),
        _mm256_cmpeq_epi8(z, n));
    uint32_t m = (uint32_t)_mm256_movemask_epi8(_mm256_or_si256(obj, enc));
    if (m) {
      *b = i;
      return m;
    }
  }
  *b = i;
  return 0;
}
#endif

static uint32_t marks16(const unsigned char *p) {
  const __m128i x = _mm_loadu_si128((const __m128i *)p);
  const __m128i y = _mm_loadu_si128((const __m128i *)(p + 1));
  const __m128i z = _mm_loadu_si128((const __m128i *)(p + 2));
  __m128i obj = _mm_and_si128(_mm_and_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8('o')),
                                            _mm_cmpeq_epi8(y, _mm_set1_epi8('b'))),
                              _mm_cmpeq_epi8(z, _mm_set1_epi8('j')));
  __m128i enc = _mm_and_si128(_mm_and_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8('/')),
                                            _mm_cmpeq_epi8(y, _mm_set1_epi8('E'))),
                              _mm_cmpeq_epi8(z, _mm_set1_epi8('n')));
  return (uint32_t)_mm_movemask_epi8(_mm_or_si128(obj, enc));
}
#endif

static void mark_init(mark_scan *m, const char *d, int64_t size) {
  m->d = (const unsigned char *)d;
  m->size = size;
  m->base = -32;  // the first block is at 0
  m->mask = 0;
  m->wide = 0;
#if defined(RRV_SIMD) && defined(__GNUC__)
  m->wide = g_scan_wide != 0 && __builtin_cpu_supports("avx2") ? 1 : 0;
#endif
}

static bool mark_at(const unsigned char *d, int64_t i) {
  return (d[i] == 'o' && d[i + 1] == 'b' && d[i + 2] == 'j') ||
         (d[i] == '/' && d[i + 1] == 'E' && d[i + 2] == 'n');
}

// The next candidate, or -1 when none is left.
static int64_t mark_next(mark_scan *m) {
  while (m->mask == 0) {
    m->base += 32;
    int64_t b = m->base;
    if (b > m->size - 3) return -1;
    const unsigned char *d = m->d;
    uint32_t k = 0;
    if ((int64_t)b + 34 <= m->size) {
#ifdef RRV_SIMD
#if defined(__GNUC__)
      if (m->wide) {
        // Blocks without a candidate are passed over inside the vector loop.
        k = marks32_next(d, m->size, &m->base);
        if (!k) {
          m->base -= 32;  // the loop above moves on to the first unscanned block
          continue;
        }
      } else
#endif
        k = marks16(d + b) | (marks16(d + b + 16) << 16);
#else
      // Elsewhere: stop only where an 'j' or an 'E' stands.
      const void *j = memchr(d + b + 2, 'j', 32);
      const void *e = memchr(d + b + 1, 'E', 32);
      if (!j && !e) continue;
      for (int64_t i = 0; i < 32; i++)
        if (mark_at(d, b + i)) k |= (uint32_t)1 << i;
#endif
    } else {
      for (int64_t i = 0; b + i + 3 <= m->size && i < 32; i++)
        if (mark_at(d, b + i)) k |= (uint32_t)1 << i;
    }
    m->mask = k;
  }
#if defined(__GNUC__)
  int bit = __builtin_ctz(m->mask);
#else
  int bit = 0;
  while (!(m->mask & ((uint32_t)1 << bit))) bit++;
#endif
  m->mask &= m->mask - 1;
  return m->base + bit;
}

// Flags of the records of the file scan, beside the records.
enum {
  REC_OBJSTM = 1,   // an object stream, expanded
  REC_IN_DATA = 2,  // inside the data of a stream before it
  REC_COMMENT = 4,  // its header stands in a comment
};

// Whether the header beginning at h stands in a comment: a '%' earlier on
// its line with no '(' before it on the line (which could open a string
// holding the '%') and no "endobj" after it (binary data followed by
// "endstream endobj" on the same line as the next header).
static bool header_in_comment(const char *d, int64_t h) {
  int64_t lo = h > 4096 ? h - 4096 : 0;
  int64_t pct = -1;
  int64_t i = h - 1;
  for (; i >= lo && d[i] != '\n' && d[i] != '\r'; i--)
    if (d[i] == '%') pct = i;
  if (pct < 0) return false;
  for (int64_t j = i + 1; j < pct; j++)
    if (d[j] == '(') return false;
  return find_kw(d, h, pct, "endobj") < 0;
}

// Whitespace and comments from pos.
static int64_t skip_ws_comments(const char *d, int64_t pos, int64_t end) {
  for (;;) {
    pos = skip_ws(d, pos, end);
    if (pos >= end || d[pos] != '%') return pos;
    while (pos < end && d[pos] != '\r' && d[pos] != '\n') pos++;
  }
}

// Spans of text looked at to tell whether an "endobj" lies inside a string
// or comment of an object's value; farther ones are taken as they stand.
static constexpr int64_t k_opaque_span = 1 << 20;

// 1 when position e lies inside a string, hex string or comment of the
// text that begins at body (e - body at most k_opaque_span).
static bool inside_opaque(const char *d, int64_t body, int64_t e) {
  if (e - body > k_opaque_span) return false;
  int64_t q = body;
  for (;;) {
    while (q < e && is_pdf_ws((unsigned char)d[q])) q++;
    if (q >= e) return false;
    if (d[q] == '%') {
      while (q < e && d[q] != '\r' && d[q] != '\n') q++;
      if (q >= e) return true;
      continue;
    }
    syn_token k;
    syn_next(d, q, e, &k);
    if (k.open) return true;
    q = k.end;
  }
}

// inside_opaque within a budget of bytes looked at (what the scan of a
// damaged file may spend on these questions in all).
static bool opaque_at(const char *d, int64_t body, int64_t e, int64_t *budget) {
  if (*budget <= 0 || e - body > k_opaque_span) return false;
  *budget -= e - body;
  return inside_opaque(d, body, e);
}

// What the reading of one object's body shares with the others: the last
// "endobj" search, the closing scans of nested dictionaries, and the bytes
// the checks for an "endobj" inside a string may still read in all.
struct scan_ctx {
  kw_memo endobj;
  close_cache cache;
  int64_t reach_budget;
};

static void scan_ctx_init(scan_ctx *cx, int64_t size) {
  cx->endobj = {"endobj", 0, 0, 0, 0};
  memset(&cx->cache, 0, sizeof cx->cache);
  cx->reach_budget = 2 * size + 4 * k_opaque_span;
}

// The record of the object whose header "num gen obj" has its number at
// num_start and "obj" at kw: where its dictionary, stream keyword and data
// begin, and, for an object without a stream, where it ends (a stream's end
// is left to stream_extent). false when the object cannot be read (no
// "endobj" follows a value that is not a dictionary, nor a dictionary that
// closes).
static bool scan_object(const char *d, int64_t size, int64_t kw, int64_t num_start,
                        pdf_obj *o, scan_ctx *cx) {
  o->dict_off = o->stream_kw_off = o->data_off = o->data_end = -1;
  o->endobj_off = -1;
  o->dict_close = 0;
  o->has_stream = 0;
  o->hdr_off = num_start;
  int64_t body = skip_ws_comments(d, kw + 3, size);
  if (body < size && d[body] == '<') {
    o->dict_off = body;
    // One closing scan serves all three questions: the scan limited to
    // the "endobj" at e finds the same ">>" when that lies before e - 1,
    // and nothing otherwise.
    int64_t c = close_scan_cached(d, size, body, &cx->cache);
    o->dict_close = c;
    int64_t s = -1;
    if (c >= 0) {
      s = skip_ws(d, c + 2, size);
      if (!kw_at(d, s, size, "stream")) s = -1;
    }
    if (s >= 0) {
      o->has_stream = 1;
      o->stream_kw_off = s;
      o->data_off = stream_data_start(d, size, s);
    } else {
      int64_t e = memo_find(&cx->endobj, d, size, body);
      // The word in a string or comment of the dictionary (a title, an
      // annotation's text) does not end the object.
      if (e >= 0 && c > e && opaque_at(d, body, e, &cx->reach_budget))
        e = memo_find(&cx->endobj, d, size, c + 2);
      if (e >= 0) {
        o->endobj_off = e;
        if (c >= 0 && c + 1 < e && find_kw(d, e, c + 2, "obj") >= 0)
          o->endobj_off = c + 2;
      } else {
        if (c < 0) return false;
        o->endobj_off = c + 2;
      }
    }
  } else {
    int64_t e = memo_find(&cx->endobj, d, size, kw + 3);
    if (e < 0) return false;
    if (body < e && opaque_at(d, body, e, &cx->reach_budget)) {
      // The object ends at the "endobj" after its value, when one
      // follows it at once.
      int64_t lim = size - e > k_opaque_span ? e + k_opaque_span : size;
      cx->reach_budget -= lim - body;
      int64_t v = syn_value_end(d, body, lim);
      int64_t q = v >= 0 ? syn_skip(d, v, size) : -1;
      if (q >= 0 && kw_at(d, q, size, "endobj")) e = q;
    }
    o->endobj_off = e;
  }
  return true;
}

static void pass_scan(pdf_doc *doc, std::vector<uint8_t> *flags) {
  const char *d = doc->data;
  int64_t size = doc->size;
  if (size < 3) return;
  scan_ctx cx;
  scan_ctx_init(&cx, size);
  // "obj" is looked at from position 1 up to size - 4.
  int64_t last = size - 4;
  mark_scan marks;
  mark_init(&marks, d, size);
  input_trim trim;
  trim_init(&trim, doc);
  for (;;) {
    int64_t kw = mark_next(&marks);
    if (kw < 0) break;
    trim_pos(&trim, kw);
    if (d[kw] == '/') {
      if (kw + 8 <= size && memcmp(d + kw, "/Encrypt", 8) == 0)
        doc->names_encrypt = 1;
      continue;
    }
    // "obj" stands there: it must be a whole word.
    if (kw < 1 || kw > last || is_alnum_c((unsigned char)d[kw - 1]) ||
        is_alnum_c((unsigned char)d[kw + 3]))
      continue;
    // Header, read backwards: number, line whitespace, generation.
    int64_t i = kw - 1;
    while (i >= 0 && is_line_ws((unsigned char)d[i])) i--;
    if (i < 0) continue;
    int64_t gen_end = i + 1;
    while (i >= 0 && is_digit_c((unsigned char)d[i])) i--;
    int64_t gen_start = i + 1;
    if (gen_start == gen_end || i < 0) continue;
    while (i >= 0 && is_line_ws((unsigned char)d[i])) i--;
    if (i < 0) continue;
    int64_t num_end = i + 1;
    while (i >= 0 && is_digit_c((unsigned char)d[i])) i--;
    int64_t num_start = i + 1;
    if (num_start == num_end) continue;
    int64_t num = digits_value(d, num_start, num_end);
    if (num == 0) continue;

    pdf_obj o;
    memset(&o, 0, sizeof o);
    o.num = (int32_t)num;  // digits_value saturates at INT32_MAX
    o.gen = (int32_t)digits_value(d, gen_start, gen_end);
    if (!scan_object(d, size, kw, num_start, &o, &cx)) continue;
    if (!objvec_push(&doc->objects, &o)) break;
    flags->push_back(header_in_comment(d, num_start) ? REC_COMMENT : 0);
  }
  close_cache_free(&cx.cache);
}

// The value of a one-integer object ("7 0 obj 42 endobj") from its header.
static int64_t indirect_int(const char *d, int64_t size, const pdf_obj *o) {
  int64_t p = o->hdr_off;
  if (parse_int_at(d, size, &p) < 0) return -1;
  p = skip_ws(d, p, size);
  if (p < size && is_digit_c((unsigned char)d[p])) parse_int_at(d, size, &p);
  p = skip_ws(d, p, size);
  // (A comment may stand before the number: "30 0 obj % the length".)
  if (kw_at(d, p, size, "obj")) p = skip_ws_comments(d, p + 3, size);
  return parse_int_at(d, size, &p);
}

// Whether an object header (or the cross-reference data, or nothing but
// whitespace and comments) follows pos.
static bool object_follows(const char *d, int64_t size, int64_t pos) {
  int64_t p = skip_ws_comments(d, pos, size);
  if (p >= size || kw_at(d, p, size, "xref") || kw_at(d, p, size, "trailer") ||
      kw_at(d, p, size, "startxref"))
    return true;
  int64_t num, gen, body;
  return xref_header_at(d, size, p, &num, &gen, &body) != 0;
}

// The "endstream" and "endobj" searches of the stream extents.
struct stream_ctx {
  kw_memo endstream, endobj, endobj2, endobj3;
};

static void stream_ctx_init(stream_ctx *sx) {
  sx->endstream = {"endstream", 0, 0, 0, 0};
  sx->endobj = {"endobj", 0, 0, 0, 0};
  sx->endobj2 = {"endobj", 0, 0, 0, 0};
  sx->endobj3 = {"endobj", 0, 0, 0, 0};
}


// Where the data of the stream o ends, and the object: by its /Length
// (direct, or an object holding one integer), when "endstream" or
// "endobj" follows the data there; otherwise by the keywords. `lazy`: the
// records are read on demand (the length's object is read as far as it
// must be: whether it has a stream).
static void stream_extent(const char *d, int64_t size, const obj_vec *v, pdf_obj *o,
                          stream_ctx *sx, bool lazy) {
  int ok = 0;
  int64_t e = -1, eo = -1;
  if (o->dict_off >= 0) {
    int64_t rend = o->stream_kw_off;
    dict_entry le;
    int64_t ln = dict_get(d, o->dict_off, rend, "Length", &le) ? le.val : -1;
    int64_t p = ln >= 0 ? ln : rend;
    if (ln >= 0 && p < rend && is_digit_c((unsigned char)d[p])) {
      int64_t val = parse_int_at(d, rend, &p);
      int indirect_bad = 0;
      if (p < rend && is_pdf_ws((unsigned char)d[p])) {
        int64_t q = p;
        int64_t g = parse_int_at(d, rend, &q);
        if (g >= 0 && q < rend && is_pdf_ws((unsigned char)d[q])) {
          int64_t r = skip_ws(d, q, rend);
          if (r < rend && d[r] == 'R') {
            const pdf_obj *t = lazy ? obj_find_head(v, val) : obj_find(v, val);
            // (A packed object has no header in the file to read it from.)
            if (!t || t->has_stream || t->in_objstm) indirect_bad = 1;
            else val = indirect_int(d, size, t);
          }
        }
      }
      if (!indirect_bad && val >= 0 &&
          (int64_t)o->data_off + (int64_t)val < (int64_t)size) {
        e = o->data_off + val;
        int64_t w = e;
        while (w < size && is_line_ws((unsigned char)d[w])) w++;
        if (((int64_t)w + 9 <= size && memcmp(d + w, "endstream", 9) == 0) ||
            ((int64_t)w + 6 <= size && memcmp(d + w, "endobj", 6) == 0)) {
          eo = memo_find(&sx->endobj, d, size, e);
          if (eo >= 0) {
            int64_t es = memo_find(&sx->endstream, d, size, e);
            if (es >= 0 && es < eo) eo = memo_find(&sx->endobj2, d, size, es + 9);
          }
          if (eo >= 0) ok = 1;
        }
      }
    }
  }
  if (ok) {
    o->data_end = e;
    o->endobj_off = eo;
    return;
  }
  // A wrong /Length: the data runs to "endstream", or, when the stream
  // has none (the next "endstream" lies beyond the next "endobj", which
  // another object follows), to that "endobj".
  int64_t es = memo_find(&sx->endstream, d, size, o->data_off);
  int64_t eo3 = memo_find(&sx->endobj3, d, size, o->data_off);
  if (eo3 >= 0 && (es < 0 || (eo3 < es && object_follows(d, size, eo3 + 6)))) {
    int64_t de = eo3;
    if (de > o->data_off && d[de - 1] == '\n') de--;
    if (de > o->data_off && d[de - 1] == '\r') de--;
    o->data_end = de;
    o->endobj_off = eo3;
  } else if (es < 0) {
    o->data_end = -1;
    o->endobj_off = -1;
  } else {
    o->data_end = es;
    o->endobj_off = memo_find(&sx->endobj2, d, size, es + 9);
  }
}

static void pass_streams(pdf_doc *doc) {
  obj_vec *v = &doc->objects;
  stream_ctx sx;
  stream_ctx_init(&sx);
  // First record per number, for indirect /Length lookups.
  objvec_index(v);
  input_trim trim;
  trim_init(&trim, doc);
  for (int64_t k = 0; k < v->count; k++) {
    pdf_obj *o = &v->items[k];
    if (!o->has_stream) continue;
    trim_step(&trim);
    stream_extent(doc->data, doc->size, v, o, &sx, false);
  }
}

// ---- records read on demand --------------------------------------------------
// An index built from a sound cross-reference chain (index_from_chain) knows
// where each object's header is; the rest of its record (dictionary, stream
// keyword and data, end) is read the first time the object is asked for,
// by the same code and with the same shared searches as the passes over
// the whole file. Most objects of a large document (content streams,
// fonts, images) are never asked for by an operation that only changes its
// pages.

struct lazy_scan {
  const char *d;
  int64_t size;
  scan_ctx scan;
  stream_ctx streams;
  // The searches of the whole-file passes stay linear because they go
  // forward; read in the order a document asks for its objects, a hostile
  // file (objects without "endobj", dictionaries that never close) could
  // make each read run to its end. Past this many bytes searched, every
  // record left is read in file order at once (lazy_sweep).
  int64_t budget;
  int64_t closes;  // bytes of dictionaries closed (or not) so far
  bool swept;
};

static void lazy_sweep(const obj_vec *v);

static void lazy_free(lazy_scan *lz) {
  if (!lz) return;
  close_cache_free(&lz->scan.cache);
  delete lz;
}

// The header "num gen obj" at `at`, in the form the whole-file scan reads
// it back from "obj" (digits, line whitespace, digits, line whitespace):
// the position of "obj", or -1. *num and *gen (when asked for) saturate at
// INT32_MAX, as the scan's do.
static int64_t scanned_header_at(const char *d, int64_t size, int64_t at,
                                 int64_t *num = NULL, int64_t *gen = NULL) {
  if (at <= 0 || at >= size || is_digit_c((unsigned char)d[at - 1])) return -1;
  int64_t p = at;
  while (p < size && is_digit_c((unsigned char)d[p])) p++;
  const int64_t num_end = p;
  while (p < size && is_line_ws((unsigned char)d[p])) p++;
  if (p == at || p == num_end) return -1;
  const int64_t gen_start = p;
  while (p < size && is_digit_c((unsigned char)d[p])) p++;
  const int64_t gen_end = p;
  while (p < size && is_line_ws((unsigned char)d[p])) p++;
  if (p == gen_start || p == gen_end || p > size - 4 || memcmp(d + p, "obj", 3) != 0 ||
      is_alnum_c((unsigned char)d[p + 3]))
    return -1;
  if (num) *num = digits_value(d, at, num_end);
  if (gen) *gen = digits_value(d, gen_start, gen_end);
  return p;
}

static int is_objstm(const char *d, int64_t size, const pdf_obj *o);

// The first part of a record: false (and the record marked unreadable)
// when the object cannot be read. An object stream is no object of the
// index (its objects are), unless `container`: the chain names it as one.
static bool lazy_read_body(lazy_scan *lz, pdf_obj *o, bool container = false) {
  int64_t kw = scanned_header_at(lz->d, lz->size, o->hdr_off);
  pdf_obj r = *o;
  const bool read = kw >= 0 && scan_object(lz->d, lz->size, kw, o->hdr_off, &r, &lz->scan);
  if (kw >= 0 && r.dict_off >= 0)
    lz->closes += (r.dict_close > r.dict_off ? r.dict_close : lz->size) - r.dict_off;
  if (!read || (!container && r.has_stream && is_objstm(lz->d, lz->size, &r))) {
    o->lazy = OBJ_UNREADABLE;
    return false;
  }
  r.lazy = r.has_stream ? OBJ_STREAM_UNREAD : 0;
  *o = r;
  return true;
}

// Read as far as telling whether the object has a stream (also what a
// stream's indirect /Length asks of its object).
const pdf_obj *obj_find_head(const obj_vec *v, int64_t num) {
  pdf_obj *o = find_raw(v, num);
  if (o && o->lazy == OBJ_UNREAD && v->lazy) lazy_read_body(v->lazy, o);
  return o && o->lazy != OBJ_UNREADABLE ? o : NULL;
}

static int64_t lazy_work(const lazy_scan *lz) {
  return lz->closes + lz->scan.endobj.searched + lz->streams.endstream.searched +
         lz->streams.endobj.searched + lz->streams.endobj2.searched +
         lz->streams.endobj3.searched;
}

static bool lazy_fill(const obj_vec *v, pdf_obj *o) {
  lazy_scan *lz = v->lazy;
  if (!lz) return o->lazy == 0;
  if (!lz->swept && lazy_work(lz) > lz->budget) lazy_sweep(v);
  if (o->lazy == OBJ_UNREAD && !lazy_read_body(lz, o)) return false;
  if (o->lazy == OBJ_STREAM_UNREAD) {
    stream_extent(lz->d, lz->size, v, o, &lz->streams, true);
    o->lazy = 0;
  }
  return o->lazy == 0;
}

// Every record not read yet, read in file order (the records of the file
// come in the order of their headers), as the whole-file passes read them.
static void lazy_sweep(const obj_vec *v) {
  lazy_scan *lz = v->lazy;
  lz->swept = true;
  for (int64_t i = 0; i < v->count; i++)
    if (v->items[i].lazy == OBJ_UNREAD) lazy_read_body(lz, &v->items[i]);
  for (int64_t i = 0; i < v->count; i++)
    if (v->items[i].lazy == OBJ_STREAM_UNREAD) lazy_fill(v, &v->items[i]);
}

void objvec_fill_all(obj_vec *v) {
  if (!v->lazy) return;
  // Read first, then compact: a stream's /Length is found by its number
  // while the records are read.
  for (int64_t i = 0; i < v->count; i++)
    if (v->items[i].lazy) lazy_fill(v, &v->items[i]);
  int64_t kept = 0;
  for (int64_t i = 0; i < v->count; i++) {
    if (v->items[i].lazy) continue;
    if (kept != i) v->items[kept] = v->items[i];
    kept++;
  }
  lazy_free(v->lazy);
  v->lazy = NULL;
  if (kept != v->count) {
    v->count = kept;
    objvec_index(v);
  }
}

static int is_objstm(const char *d, int64_t size, const pdf_obj *o) {
  const char *t;
  int64_t s, e;
  if (!o->has_stream || o->in_objstm || o->dict_off < 0) return 0;
  if (!obj_dict_range(d, size, o, &t, &s, &e)) return 0;
  // The stream's own /Type, not the name anywhere in its dictionary.
  dict_entry te;
  if (!dict_get(t, s, e, "Type", &te) || te.val < 0) return 0;
  syn_token tok;
  return syn_next(t, te.val, e, &tok) == SYN_NAME && syn_name_is(t, &tok, "ObjStm");
}

// Where the records taken from object streams came from: the record of the
// stream and the object's place in its header.
struct packed_origin {
  int64_t stream_rec;
  int64_t index;
};

// Adds the objects of the object stream at record k; returns how many.
static int64_t expand_objstm(pdf_doc *doc, int64_t k, size_t *budget_used,
                             std::vector<packed_origin> *origins) {
  const char *d = doc->data;
  int64_t size = doc->size;
  pdf_obj o = doc->objects.items[k];
  if (o.data_off < 0 || o.data_end < 0 || o.data_end > size ||
      o.data_off > o.data_end)
    return 0;
  int64_t n = o.data_end - o.data_off;
  if (n < 1) return 0;
  const char *t;
  int64_t s, e;
  if (!obj_dict_range(d, size, &o, &t, &s, &e)) return 0;
  int64_t count = int_after_name(t, s, e, "N");
  if (find_name(t, e, s, e, "First") < 0) return 0;
  int64_t first = int_after_name(t, s, e, "First");
  if (count < 1 || count > 100000 || first < 1) return 0;

  uint8_t *block = NULL;
  size_t dec_len = 0;
  const uint8_t *data = (const uint8_t *)d + o.data_off;
  std::vector<uint8_t> clear;
  if (doc->sec) {
    clear = sec_stream_data(doc->sec, &o, t + s, (size_t)(e - s), data, (size_t)n);
    data = clear.data();
    n = (int64_t)clear.size();
    if (n < 1) return 0;
  }
  if (!stream_decode(o.num, o.gen, t, s, e, data, (size_t)n, budget_used, &block, &dec_len))
    return 0;
  if (dec_len > (size_t)INT32_MAX - 1) {
    free(block);
    return 0;
  }
  if (!arena_adopt(&doc->arena, block)) return 0;

  const char *text = (const char *)block;
  int64_t L = (int64_t)dec_len;
  // Header: N pairs "number offset".
  std::vector<int64_t> pairs((size_t)count * 2);
  int64_t pos = 0;
  for (int64_t j = 0; j < count; j++) {
    int64_t num = parse_int_at(text, L, &pos);
    int64_t off = parse_int_at(text, L, &pos);
    if (num < 1 || num > INT32_MAX || off < 0) return 0;
    pairs[2 * (size_t)j] = num;
    pairs[2 * (size_t)j + 1] = off;
  }
  int64_t added = 0;
  for (int64_t j = 0; j < count; j++) {
    int64_t start = (int64_t)first + pairs[2 * (size_t)j + 1];
    if (start >= L) continue;
    int64_t end = j + 1 < count ? (int64_t)first + pairs[2 * (size_t)j + 3] : L;
    if (end > L) end = L;
    pdf_obj r;
    memset(&r, 0, sizeof r);
    r.num = (int32_t)pairs[2 * (size_t)j];
    r.in_objstm = 1;
    r.text = text + start;
    // Offsets that do not increase leave the object without text.
    r.text_len = end > start ? (int32_t)(end - start) : 0;
    if (!objvec_push(&doc->objects, &r)) break;
    origins->push_back({k, j});
    added++;
  }
  return added;
}

// Record k's header offset (hdr_off) among the first `direct` records, which
// the scan found in increasing order: the record, or -1.
static int64_t record_at(const obj_vec *v, int64_t direct, int64_t hdr) {
  int64_t lo = 0, hi = direct;
  while (lo < hi) {
    int64_t mid = lo + (hi - lo) / 2;
    if (v->items[mid].hdr_off < hdr) lo = mid + 1;
    else hi = mid;
  }
  return lo < direct && v->items[lo].hdr_off == hdr ? lo : -1;
}

// Marks the records that lie inside the data of a stream found before them
// (an embedded file, an uncompressed stream quoting "N G obj"): their
// extent is known, so nothing in them is an object of this file.
static void mark_in_data(const obj_vec *v, int64_t direct, std::vector<uint8_t> *flags) {
  int64_t data_end = -1;
  for (int64_t k = 0; k < direct; k++) {
    const pdf_obj *o = &v->items[k];
    if (o->hdr_off < data_end) {
      (*flags)[(size_t)k] |= REC_IN_DATA;
      continue;
    }
    if ((*flags)[(size_t)k] & REC_COMMENT) continue;
    if (o->has_stream && o->data_off >= 0 && o->data_end > o->data_off)
      data_end = o->data_end;
  }
}

// For each entry of the chain that places an object at an offset, the
// record found there (-1: none); 0 when an offset does not lead to the
// header "num gen obj" of its entry, and the chain cannot be trusted.
static int judge_chain(const pdf_doc *doc, int64_t direct, const xref_chain *xr,
                       std::vector<int32_t> *at_rec) {
  vec_reserve_populated(at_rec, xr->entries.size());
  at_rec->assign(xr->entries.size(), -1);
  int64_t next = 0;  // most files list objects in the order they are written
  input_trim trim;
  trim_init(&trim, doc);
  for (size_t i = 0; i < xr->entries.size(); i++) {
    const xref_entry &x = xr->entries[i];
    if (x.type != XREF_AT || x.num == 0) continue;
    trim_step(&trim);
    if (x.where < 0 || x.where >= doc->size) return 0;
    int64_t num, gen, body;
    int64_t at = skip_ws(doc->data, (int64_t)x.where, doc->size);
    // The record that stands there: most often the one after the last
    // entry's. The scan read its header already when it has the entry's
    // number and generation (what it takes for a header is a part of what
    // xref_header_at takes, leading zeros included; below INT32_MAX its
    // values are exact, not clamped).
    const bool is_next = next < direct && doc->objects.items[next].hdr_off == at;
    const int64_t r = is_next ? next : record_at(&doc->objects, direct, at);
    const bool seen = r >= 0 && doc->objects.items[r].num == x.num && x.num < INT32_MAX &&
                      doc->objects.items[r].gen == x.gen && x.gen < INT32_MAX;
    if (!seen && (!xref_header_at(doc->data, doc->size, at, &num, &gen, &body) ||
                  num != x.num || gen != x.gen))
      return 0;
    (*at_rec)[i] = (int32_t)r;
    if (r >= 0) next = r + 1;
  }
  return 1;
}

// The entry of number n in the chain's entries (increasing numbers), or NULL.
static const xref_entry *chain_entry(const xref_chain *xr, int64_t n, size_t *idx) {
  auto it = std::lower_bound(xr->entries.begin(), xr->entries.end(), n,
                             [](const xref_entry &x, int64_t v) { return x.num < v; });
  if (it == xr->entries.end() || it->num != n) return NULL;
  *idx = (size_t)(it - xr->entries.begin());
  return &*it;
}

// Number -> record index; a table when the numbers are dense enough, a
// hash map otherwise. -1: no record.
struct num_choice {
  std::vector<int32_t> table;  // record indexes
  std::unordered_map<int64_t, int64_t> map;
  bool dense;
  int64_t get(int64_t n) const {
    if (dense) return table[(size_t)n];
    auto it = map.find(n);
    return it == map.end() ? -1 : it->second;
  }
  void set(int64_t n, int64_t v) {
    if (dense) table[(size_t)n] = (int32_t)v;
    else map[n] = v;
  }
};

// Keeps one record per number: the chain's choice where it is trusted and
// names one, else the last direct record, else the last packed one.
static void pass_resolve(pdf_doc *doc, const std::vector<uint8_t> &flags, int64_t direct,
                         const std::vector<packed_origin> &origins,
                         const std::vector<int32_t> &first_packed, const xref_chain *xr,
                         const std::vector<int32_t> &at_rec, bool trusted) {
  obj_vec *v = &doc->objects;
  if (v->failed) return;
  int64_t m = 0;
  for (int64_t i = 0; i < v->count; i++)
    if (v->items[i].num <= k_max_obj_num && v->items[i].num > m) m = v->items[i].num;
  if (trusted)
    for (const xref_entry &x : xr->entries)
      if (x.num <= k_max_obj_num && x.num > m) m = x.num;
  num_choice c;
  c.dense = dense_enough(m, (int64_t)v->count + (int64_t)xr->entries.size());
  if (c.dense) {
    vec_reserve_populated(&c.table, (size_t)m + 1);
    c.table.assign((size_t)m + 1, -1);
  }
  const int64_t skip = REC_OBJSTM | REC_IN_DATA | REC_COMMENT;
  for (int64_t i = 0; i < direct; i++) {
    int64_t n = v->items[i].num;
    if (n < 1 || n > k_max_obj_num || (flags[(size_t)i] & skip)) continue;
    c.set(n, i);
  }
  for (int64_t i = direct; i < v->count; i++) {
    int64_t n = v->items[i].num;
    if (n < 1 || n > k_max_obj_num) continue;
    int64_t cur = c.get(n);
    if (cur < 0 || cur >= direct) c.set(n, i);
  }
  if (trusted) {
    for (size_t ei = 0; ei < xr->entries.size(); ei++) {
      const xref_entry &x = xr->entries[ei];
      if (x.num < 1 || x.num > k_max_obj_num) continue;
      if (x.type == XREF_FREE) {
        c.set(x.num, -1);
      } else if (x.type == XREF_AT) {
        int64_t r = at_rec[ei];
        if (r < 0) continue;  // the header is there, the object unreadable: repair
        c.set(x.num, flags[(size_t)r] & REC_OBJSTM ? -1 : r);
      } else {
        size_t si;
        const xref_entry *st = x.where <= INT32_MAX ? chain_entry(xr, (int64_t)x.where, &si) : NULL;
        if (!st || st->type != XREF_AT || at_rec[si] < 0) continue;
        int64_t k = at_rec[si];
        int64_t first = first_packed[(size_t)k];
        if (first < 0) continue;
        // The object's place in the stream's header, when every object of
        // the stream before it was taken.
        int64_t r = (int64_t)first + x.gen;
        if (r < v->count && origins[(size_t)(r - direct)].stream_rec == k &&
            origins[(size_t)(r - direct)].index == x.gen && v->items[r].num == x.num)
          c.set(x.num, (int64_t)r);
      }
    }
  }
  // The records that stay keep their order, so they are moved down in
  // place: a second vector as large as the first would only cost memory.
  int64_t max_num = 0;
  int64_t kept = 0;
  for (int64_t i = 0; i < v->count; i++) {
    const pdf_obj *o = &v->items[i];
    int64_t n = o->num;
    if (n > k_max_obj_num || n < 1 || c.get(n) != i) continue;
    if (kept != i) v->items[kept] = *o;
    kept++;
    if (n > max_num) max_num = n;
  }
  v->count = kept;
  // A number the chain frees may still be named by the document: new
  // objects go above it, never to an object it refers to. Only the freed
  // numbers new ones could reach count (each within twice the entries of
  // the last one counted; the entries go by increasing number), so that a
  // stray free entry near the largest number takes no room from them.
  if (trusted) {
    const int64_t reach = 2 * (int64_t)xr->entries.size() + 65536;
    for (const xref_entry &x : xr->entries)
      if (x.type == XREF_FREE && x.num > max_num && x.num - max_num <= reach &&
          x.num <= k_max_obj_num)
        max_num = x.num;
  }
  free(v->by_num);  // numbers now lead elsewhere
  v->by_num = NULL;
  v->by_num_len = 0;
  free(v->by_pair);
  v->by_pair = NULL;
  v->pair_count = 0;
  doc->max_num = max_num;
  objvec_index(v);
}

// (header offset, entry index) of every object a chain places in the file.
using head_list = std::vector<std::pair<int64_t, int32_t>, arr_alloc<std::pair<int64_t, int32_t>>>;

// Sorts (offset, entry) pairs of distinct offsets by offset: most files
// list their objects in file order already; the others are sorted by the
// offsets' digits, eleven bits at a time, in linear time (in place, in
// n log n, when the memory for that cannot be had).
static void sort_heads(head_list *heads) {
  head_list &a = *heads;
  if (std::is_sorted(a.begin(), a.end())) return;
  head_list b;
  constexpr int k_bits = 11;
  constexpr size_t k_buckets = size_t{1} << k_bits;
  std::vector<size_t> count;
  try {
    vec_reserve_populated(&b, a.size());
    b.resize(a.size());
    count.resize(k_buckets);
  } catch (...) {
    std::sort(a.begin(), a.end());  // in place, without the second buffer
    return;
  }
  int64_t top = 0;
  for (const auto &h : a) top = std::max(top, h.first);
  for (int shift = 0; shift < 63 && (top >> shift) != 0; shift += k_bits) {
    std::fill(count.begin(), count.end(), 0);
    for (const auto &h : a) count[(size_t)(h.first >> shift) & (k_buckets - 1)]++;
    size_t at = 0;
    for (size_t &c : count) {
      const size_t n = c;
      c = at;
      at += n;
    }
    for (const auto &h : a) b[count[(size_t)(h.first >> shift) & (k_buckets - 1)]++] = h;
    a.swap(b);
  }
}

int64_t g_header_window = (int64_t)1 << 18;

// The first part of a stream object's record (what lazy_read_body reads),
// from a copy of the file's bytes: `w` holds the file's bytes from
// position w0 on, wl of them, and the header's "obj" is at kw in it. 1 with
// *o filled when the copy holds everything that reading looks at (a
// dictionary that closes within it, the keyword "stream" and the end of
// its line), so that reading it from the file could give nothing else; 0
// otherwise (objects that are no stream, object streams and dictionaries
// cut off by the copy's end are read from the file when asked for).
static int stream_head_in_copy(const char *w, int64_t wl, int64_t w0, int64_t kw,
                               pdf_obj *o, int64_t *left) {
  const int64_t body = skip_ws_comments(w, kw + 3, wl);
  if (body + 1 >= wl || w[body] != '<' || w[body + 1] != '<') return 0;
  // The closing scan stops at the first ">>" that closes; the file's own
  // scan finds the same one while it lies this near. It looks no farther,
  // and the scans of one pass look at no more bytes than *left in all (a
  // window of dictionaries that never close is read from the file, on
  // first use, as before).
  const int64_t lim = std::min<int64_t>(wl, body + 65536 + 2);
  const int64_t c = find_dict_close(w, lim, body, 0);
  *left -= (c >= 0 ? c + 2 : lim) - body;
  if (c < 0) return 0;
  const int64_t s = skip_ws(w, c + 2, wl);
  if (!kw_at(w, s, wl, "stream")) return 0;
  int64_t q = s + 6;
  while (q < wl && (w[q] == ' ' || w[q] == '\t')) q++;
  if (q + 1 >= wl) return 0;
  pdf_obj r = *o;  // in the copy's positions first
  r.dict_off = body;
  r.dict_close = c;
  r.stream_kw_off = s;
  r.data_off = stream_data_start(w, wl, s);
  r.data_end = r.endobj_off = -1;
  r.has_stream = 1;
  if (is_objstm(w, wl, &r)) return 0;
  r.dict_off += w0;
  r.dict_close += w0;
  r.stream_kw_off += w0;
  r.data_off += w0;
  r.lazy = OBJ_STREAM_UNREAD;
  *o = r;
  return 1;
}

// One thread's share of a chain's headers: heads[from, to).
struct heads_check {
  size_t from, to;
  int ok;  // cleared when a header is not its entry's
};

// The headers of `part`: each checked to be the header its entry names
// (number and generation), its record made in recs[k] for heads[k] (see
// index_from_chain), and the entry's record index noted in at_rec. `trim`:
// the calling thread gives back the mapping's pages as it goes when it
// reads through it.
static void check_heads(const pdf_doc *doc, const xref_chain *xr,
                        const head_list *heads, heads_check *part,
                        pdf_obj *recs, std::vector<int32_t> *at_rec, bool trim) {
  const char *d = doc->data;
  const int64_t size = doc->size;
  std::unique_ptr<char[]> win;
  size_t win_cap = 0;
  if (doc->map.len && size > g_header_window && g_header_window >= 4096) {
    win.reset(new (std::nothrow) char[(size_t)g_header_window]);
    if (win) win_cap = (size_t)g_header_window;
    mem_populate(win.get(), win_cap);
  }
  int64_t w0 = 0, w1 = 0;  // the file's bytes [w0, w1) are in win
  input_trim tr;
  trim_init(&tr, trim ? doc : nullptr);
  int64_t left = size;  // bytes the closing scans in the window may look at
  for (size_t k = part->from; k < part->to; k++) {
    const std::pair<int64_t, int32_t> &h = (*heads)[k];
    const xref_entry &x = xr->entries[(size_t)h.second];
    if (win_cap && h.first + 64 > w1 && w1 < size) {
      // From the page of the byte before the header (which must not be a
      // digit).
      w0 = h.first > 0 ? (h.first - 1) & ~(int64_t)4095 : 0;
      const int64_t got =
          fmap_read(&doc->map, win.get(), std::min<size_t>(win_cap, (size_t)(size - w0)), w0);
      if (got < 0) win_cap = 0;
      w1 = got > 0 ? w0 + got : w0;
    }
    if (!win_cap) trim_step(&tr);
    pdf_obj o;
    memset(&o, 0, sizeof o);
    o.num = (int32_t)x.num;
    o.gen = (int32_t)x.gen;
    o.dict_off = o.stream_kw_off = o.data_off = o.data_end = o.endobj_off = -1;
    o.lazy = OBJ_UNREAD;
    // The header in the scan's form is one the chain's judgement takes
    // too (its separators are whitespace, its numbers not too long), with
    // the same numbers. Read within the window when it holds all of it
    // (both reads stop at its end otherwise), else from the input. While
    // the window holds a stream's dictionary, its record is read there
    // too: the stream data between headers is never looked at again, nor
    // paged in for the few bytes a record needs.
    int64_t at = -1, num, gen;
    if (h.first > w0 && h.first < w1) {
      const int64_t a = skip_ws(win.get(), h.first - w0, w1 - w0);
      const int64_t kw = scanned_header_at(win.get(), w1 - w0, a, &num, &gen);
      if (kw >= 0) {
        at = w0 + a;
        if (left > 0 && num == x.num && gen == x.gen)
          stream_head_in_copy(win.get(), w1 - w0, w0, kw, &o, &left);
      }
    }
    if (at < 0) {
      at = skip_ws(d, h.first, size);
      if (scanned_header_at(d, size, at, &num, &gen) < 0) {
        part->ok = 0;
        return;
      }
    }
    // The records come in the order of their headers: an entry that leads
    // to whitespace before a later entry's header leads to that header,
    // whose number is not its own.
    if (num != x.num || gen != x.gen) {
      part->ok = 0;
      return;
    }
    o.hdr_off = at;
    recs[k] = o;
    (*at_rec)[(size_t)h.second] = (int32_t)k;
  }
}

int64_t g_split_heads = (int64_t)1 << 14;

int64_t g_read_whole_max = (int64_t)256 << 20;

void (*g_after_read)(const char *path) = nullptr;

// The index of a document whose chain `xr` (read already) is whole and not
// encrypted, built from the chain alone: one record per object it places in
// the file, each checked to lead to that object's header (as the chain's
// judgement does) and read on first use; the object streams it names are
// read and expanded at once. The objects the chain does not list are not
// looked for (readers that trust the chain do not see them either), and
// nothing else of the file is read. 0, with nothing changed, when the
// chain does not qualify: the caller scans the whole file instead.
static int index_from_chain(pdf_doc *doc, const xref_chain *xr) {
  const char *d = doc->data;
  const int64_t size = doc->size;
  if (!xr->whole || !xr->encrypt_at.empty() || xr->entries.empty()) return 0;
  head_list heads;  // (header, entry index)
  try {
    vec_reserve_populated(&heads, xr->entries.size());
  } catch (...) {
    return 0;
  }
  for (size_t i = 0; i < xr->entries.size(); i++) {
    const xref_entry &x = xr->entries[i];
    if (x.type != XREF_AT || x.num == 0) continue;
    if (x.where < 0 || x.where >= size || x.num >= INT32_MAX || x.gen >= INT32_MAX) return 0;
    heads.push_back({(int64_t)x.where, (int32_t)i});
  }
  // Headers stand 8 bytes apart or more ("1 0 obj" and a separator): a
  // chain that places more objects than the file can hold is refused
  // before anything is made for them.
  if ((int64_t)heads.size() > size / 8 + 1) return 0;
  // The headers are read in file order, and those of a mapped input from
  // copies of its parts, window by window: mapping every page of a large
  // file costs more than copying it (a fault per few pages, microseconds
  // each on virtual machines).
  sort_heads(&heads);
  std::vector<int32_t> at_rec;
  vec_reserve_populated(&at_rec, xr->entries.size());
  at_rec.assign(xr->entries.size(), -1);
  lazy_scan *lz = new (std::nothrow) lazy_scan;
  if (!lz) return 0;
  lz->d = d;
  lz->size = size;
  scan_ctx_init(&lz->scan, size);
  stream_ctx_init(&lz->streams);
  lz->budget = g_lazy_budget >= 0 ? g_lazy_budget : 4 * size + ((int64_t)64 << 20);
  lz->closes = 0;
  lz->swept = false;
  obj_vec *v = &doc->objects;
  // One record per header, made as its header is checked: the array is
  // sized and populated once (before the index becomes lazy, which grows
  // it no further than it uses). A chain that does not qualify leaves no
  // record behind.
  const size_t n = heads.size();
  if (v->cap < (int64_t)n && n < (size_t)INT32_MAX / 2) objvec_grow(v, (int64_t)n);
  if (v->cap < (int64_t)n) {
    v->failed = 1;  // out of memory: the caller reports it
    v->lazy = lz;
    return 1;
  }
  // A long chain is checked in two halves at once: the second core has
  // nothing else to do once the input's copy (incremental output) is made.
  size_t half = n;
#ifndef _WIN32
  if (g_split_heads > 0 && n >= (size_t)g_split_heads) half = n / 2;
#endif
  heads_check lower{0, half, 1}, upper{half, n, 1};
#ifndef _WIN32
  std::thread helper;
  if (half < n) {
    try {
      helper = std::thread(check_heads, doc, xr, &heads, &upper, v->items, &at_rec, false);
    } catch (...) {
      lower.to = n;
    }
  }
#endif
  check_heads(doc, xr, &heads, &lower, v->items, &at_rec, true);
#ifndef _WIN32
  if (helper.joinable()) helper.join();
#endif
  if (!lower.ok || (lower.to < n && !upper.ok)) {
    lazy_free(lz);
    return 0;
  }
  v->count = (int64_t)n;
  v->lazy = lz;
  const int64_t direct = v->count;
  doc->xref_off = xr->last_off;
  doc->xref_kind = xr->kind;
  doc->xref_trusted = 1;
  // The object streams the chain names: read and expanded in file order,
  // as the passes over the whole file do.
  objvec_index(v);  // their /Length may be an object of its own
  std::vector<uint8_t> flags((size_t)direct, 0);
  std::vector<uint8_t> named((size_t)direct, 0);
  // Their dictionaries first, then their extents: the /Length of one may
  // name another, which must stay a container.
  for (const xref_entry &x : xr->entries) {
    size_t si;
    if (x.type != XREF_PACKED || x.where > INT32_MAX) continue;
    const xref_entry *st = chain_entry(xr, (int64_t)x.where, &si);
    if (!st || st->type != XREF_AT || at_rec[si] < 0) continue;
    pdf_obj *c = &v->items[at_rec[si]];
    if (c->lazy == OBJ_UNREAD) lazy_read_body(lz, c, true);
    if (c->lazy == OBJ_STREAM_UNREAD) named[(size_t)at_rec[si]] = 1;
  }
  for (int64_t k = 0; k < direct; k++) {
    if (!named[(size_t)k]) continue;
    stream_extent(d, size, v, &v->items[k], &lz->streams, true);
    v->items[k].lazy = 0;
  }
  std::vector<packed_origin> origins;
  std::vector<int32_t> first_packed((size_t)direct, -1);
  size_t used = 0;
  for (int64_t k = 0; k < direct && !v->failed; k++) {
    if (!named[(size_t)k]) continue;
    if (is_objstm(d, size, &v->items[k])) flags[(size_t)k] |= REC_OBJSTM;
    int64_t first = v->count;
    if (expand_objstm(doc, k, &used, &origins) > 0) {
      first_packed[(size_t)k] = (int32_t)first;
      flags[(size_t)k] |= REC_OBJSTM;
    }
  }
  if (!v->failed)
    pass_resolve(doc, flags, direct, origins, first_packed, xr, at_rec, true);
  return 1;
}

// The index with or without the chain's judgement (without: the repair
// path, also taken when the chain's choice leaves no pages). `chain_read`:
// xr holds the chain already.
static void index_objects(pdf_doc *doc, bool use_chain, xref_chain *xr,
                          bool chain_read = false) {
  if (!doc->data || doc->size <= 0) return;
  std::vector<uint8_t> flags;
  // The chain first: the number of objects it lists is about the number of
  // records the scan makes, and an array made that large at once is not
  // copied and mapped again at every doubling. Headers stand 8 bytes apart
  // or more, which bounds what a damaged chain can ask for.
  if (use_chain && !chain_read) xref_read(doc->data, doc->size, xr);
  int64_t listed = 0;
  for (const xref_entry &x : xr->entries) listed += x.type != XREF_FREE;
  const int64_t expect = std::min<int64_t>(listed, doc->size / 8 + 1);
  if (expect > doc->objects.cap && expect < INT32_MAX / 2) objvec_grow(&doc->objects, expect);
  pass_scan(doc, &flags);
  if (doc->objects.failed) return;
  pass_streams(doc);
  int64_t direct = doc->objects.count;
  mark_in_data(&doc->objects, direct, &flags);
  // The security handler, before object streams are decrypted (once: the
  // repair path indexes again).
  if (doc->allow_encrypted && doc->names_encrypt && !doc->sec_tried) {
    doc->sec_tried = 1;
    std::string why;
    doc->sec_status = sec_open(doc, doc->password, &why);
    snprintf(doc->sec_why, sizeof doc->sec_why, "%s", why.c_str());
  }

  doc->xref_off = xr->last_off;
  doc->xref_kind = xr->kind;
  std::vector<int32_t> at_rec;  // record indexes (at most INT32_MAX / 2 records)
  bool trusted = use_chain && xr->whole && judge_chain(doc, direct, xr, &at_rec);
  doc->xref_trusted = trusted ? 1 : 0;

  // Object streams: those the file scan recognises by their type, and
  // those the chain names whatever their type says.
  std::vector<uint8_t> named(direct > 0 ? (size_t)direct : 0, 0);
  if (trusted)
    for (const xref_entry &x : xr->entries) {
      size_t si;
      if (x.type != XREF_PACKED || x.where > INT32_MAX) continue;
      const xref_entry *st = chain_entry(xr, (int64_t)x.where, &si);
      if (st && st->type == XREF_AT && at_rec[si] >= 0 &&
          doc->objects.items[at_rec[si]].has_stream)
        named[(size_t)at_rec[si]] = 1;
    }
  input_trim trim;
  trim_init(&trim, doc);
  for (int64_t k = 0; k < direct; k++) {
    trim_step(&trim);
    if (!(flags[(size_t)k] & (REC_IN_DATA | REC_COMMENT)) &&
        is_objstm(doc->data, doc->size, &doc->objects.items[k]))
      flags[(size_t)k] |= REC_OBJSTM;
  }
  std::vector<packed_origin> origins;
  std::vector<int32_t> first_packed((size_t)direct, -1);
  size_t used = 0;
  for (int64_t k = 0; k < direct && !doc->objects.failed; k++) {
    if (!(flags[(size_t)k] & REC_OBJSTM) && !named[(size_t)k]) continue;
    int64_t first = doc->objects.count;
    int64_t added = expand_objstm(doc, k, &used, &origins);
    if (added > 0) {
      first_packed[(size_t)k] = (int32_t)first;
      flags[(size_t)k] |= REC_OBJSTM;
    }
  }
  if (!doc->objects.failed)
    pass_resolve(doc, flags, direct, origins, first_packed, xr, at_rec, trusted);
}

void doc_index_objects(pdf_doc *doc) {
  xref_chain xr;
  index_objects(doc, true, &xr);
}

// ---- page tree ----------------------------------------------------------------

static int page_push(page_vec *v, const page_info *p) {
  if (v->failed) return 0;
  if (v->count >= v->cap) {
    if (v->count > INT32_MAX / 2) {
      v->failed = 1;
      return 0;
    }
    int64_t cap = v->cap == 0 ? 16 : v->count * 2;
    page_info *n = (page_info *)arr_realloc(v->items, (size_t)v->count * sizeof(page_info),
                                            (size_t)cap * sizeof(page_info), false);
    if (!n) {
      v->failed = 1;
      return 0;
    }
    v->items = n;
    v->cap = cap;
  }
  v->items[v->count++] = *p;
  return 1;
}

// Room for the pages the tree's root counts (/Count), made at once and
// populated, instead of doubling from 16 with a copy each time. The count
// is trusted no further than the file's objects reach; nothing changes
// when it is missing or the room cannot be had (pages are then added as
// they come).
static void page_reserve(page_vec *v, const char *data, int64_t size, const obj_vec *objects,
                         int64_t root) {
  const pdf_obj *o = obj_find(objects, root);
  const char *t;
  int64_t s, e;
  if (!o || v->failed || !obj_dict_range(data, size, o, &t, &s, &e)) return;
  int64_t n = int_after_name(t, s, e, "Count");
  n = std::min(n, std::min<int64_t>(objects->count, INT32_MAX / 2));
  if (n <= v->cap || n < 1024) return;
  page_info *p = (page_info *)arr_realloc(v->items, (size_t)v->count * sizeof(page_info),
                                          (size_t)n * sizeof(page_info), true);
  if (!p) return;
  v->items = p;
  v->cap = n;
}

static constexpr int64_t k_max_depth = k_max_tree_depth;
// The nodes of the path from the root kept in a set beyond this depth (a
// short path is searched in place).
static constexpr size_t k_path_scan = 64;

bool climb_add(climb_seen *c, int64_t node) {
  if ((int64_t)c->path.size() > k_max_tree_depth) return false;
  for (size_t i = 0; i < c->path.size() && i < k_path_scan; i++)
    if (c->path[i] == node) return false;
  if (c->path.size() >= k_path_scan && !c->deep.insert(node).second) return false;
  c->path.push_back(node);
  return true;
}
// Bounds on one walk. A tree of shared subtrees (every level listing the
// same node twice) lists 2^64 pages, and a big node listed under many paths
// is searched on every visit: the walk stops after 2^23 node visits or once
// the dictionary bytes it has searched exceed 64 times the file size plus
// 64 MiB. A tree in which each node is listed once stays far below both.
static constexpr int64_t k_max_visits = (int64_t)1 << 23;
static constexpr int64_t k_work_base = (int64_t)1 << 26;

struct walk_state {
  const char *data;
  int64_t size;
  const obj_vec *objects;
  page_vec *pages;
  int64_t visits;
  int64_t work;
  int64_t work_max;
  bool stop;
  bool too_deep;     // a node lies deeper than k_max_depth
  input_trim *trim;  // NULL: the input is not given back while walking
};

// The entries of a node that the walk asks about, noted in one pass over
// its dictionary (in their order; a node rarely has any key twice): the
// values of /MediaBox, /CropBox, /Type and /Kids. `full`: a key came more
// often than noted, and the walk reads each key's values again (values_of).
enum { k_node_seen = 4 };
struct node_keys {
  int64_t media[k_node_seen], crop[k_node_seen], type[k_node_seen], kids[k_node_seen];
  int n_media, n_crop, n_type, n_kids;
  bool full;
};

static void note_key(int64_t *vals, int *n, int64_t val, bool *full) {
  if (*n == k_node_seen) *full = true;
  else vals[(*n)++] = val;
}

static void node_scan(const char *t, int64_t s, int64_t e, node_keys *k) {
  memset(k, 0, sizeof *k);
  dict_iter it;
  dict_iter_init(&it, t, s, e);
  dict_entry d;
  while (dict_iter_next(&it, &d)) {
    if (d.val < 0) continue;
    // Only keys of these lengths can be one of the four, unless spelt with
    // '#' escapes.
    const int64_t kl = d.key_end - d.key;
    if (kl != 9 && kl != 8 && kl != 5 && !memchr(t + d.key, '#', (size_t)kl)) continue;
    if (dict_entry_is(t, &d, "MediaBox")) note_key(k->media, &k->n_media, d.val, &k->full);
    else if (dict_entry_is(t, &d, "CropBox")) note_key(k->crop, &k->n_crop, d.val, &k->full);
    else if (dict_entry_is(t, &d, "Type")) note_key(k->type, &k->n_type, d.val, &k->full);
    else if (dict_entry_is(t, &d, "Kids")) note_key(k->kids, &k->n_kids, d.val, &k->full);
  }
}

// Every value of the entries /name of a node's dictionary, in their order.
static void values_of(const char *t, int64_t s, int64_t e, const char *name,
                      std::vector<int64_t> *out) {
  out->clear();
  dict_iter it;
  dict_iter_init(&it, t, s, e);
  dict_entry d;
  while (dict_iter_next(&it, &d))
    if (d.val >= 0 && dict_entry_is(t, &d, name)) out->push_back(d.val);
}

// The box of a node's entry whose value begins at val: an array in place,
// or an indirect reference to one (resolved). 1 when usable.
static int box_of_value(const walk_state *st, const char *t, int64_t val, int64_t e,
                        double *x, double *y, double *w, double *h) {
  if (box_at(t, val, e, x, y, w, h)) return 1;
  int64_t r;
  const char *bt;
  int64_t bs, be;
  return syn_ref_at(t, val, e, &r, NULL) &&
         obj_value_range(st->data, st->size, obj_find(st->objects, r), &bt, &bs, &be) &&
         box_at(bt, bs, be, x, y, w, h);
}

// The first usable box among the noted values.
static int noted_box(const walk_state *st, const char *t, int64_t e, const int64_t *vals,
                     int n, double *x, double *y, double *w, double *h) {
  for (int i = 0; i < n; i++)
    if (box_of_value(st, t, vals[i], e, x, y, w, h)) return 1;
  return 0;
}

// The boxes a node's pages inherit: the media box, and the crop box when a
// node above them has one (both are inheritable).
struct walk_boxes {
  double mx, my, mw, mh;
  double cx, cy, cw, ch;
  int has_crop;
};

// A node of the path from the root: its number, the boxes its pages
// inherit, its kids and the next of them to walk.
struct walk_frame {
  int64_t num;
  walk_boxes boxes;
  std::vector<int64_t> kids;
  size_t next;
};

// Reads node num: a page is listed; a node with kids fills *f and returns
// true, for the walk to go down into them.
static bool visit_node(walk_state *st, int64_t num, int64_t parent, walk_boxes b,
                       walk_frame *f) {
  if (st->pages->failed || st->stop) return false;
  if (++st->visits > k_max_visits) {
    st->stop = true;
    return false;
  }
  const pdf_obj *o = obj_find(st->objects, num);
  if (!o) return false;
  if (st->trim) trim_step(st->trim);
  const char *t;
  int64_t s, e;
  if (!obj_dict_range(st->data, st->size, o, &t, &s, &e)) return false;
  st->work += (int64_t)(e - s) + 1;
  if (st->work > st->work_max) {
    st->stop = true;
    return false;
  }
  node_keys nk;
  node_scan(t, s, e, &nk);
  std::vector<int64_t> all;
  // The values of one key: those noted, or all of them read again when
  // some key came more often than noted.
  int count = 0;
  auto values = [&](const char *name, const int64_t *noted, int n) -> const int64_t * {
    if (!nk.full) {
      count = n;
      return noted;
    }
    values_of(t, s, e, name, &all);
    count = (int)all.size();
    return all.data();
  };
  const int64_t *v = values("MediaBox", nk.media, nk.n_media);
  double bx, by, bw, bh;
  if (noted_box(st, t, e, v, count, &bx, &by, &bw, &bh)) {
    b.mx = bx;
    b.my = by;
    b.mw = bw;
    b.mh = bh;
  }
  page_info pg;
  memset(&pg, 0, sizeof pg);
  v = values("CropBox", nk.crop, nk.n_crop);
  if (noted_box(st, t, e, v, count, &pg.crop_x, &pg.crop_y, &pg.crop_w, &pg.crop_h))
    pg.has_crop = 1;
  // 1: page, 0: intermediate node (or another type), 2: no /Type at all.
  int kind = 2;
  v = values("Type", nk.type, nk.n_type);
  for (int i = 0; i < count && kind == 2; i++) {
    syn_token tok;
    syn_next(t, v[i], e, &tok);
    if (syn_name_is(t, &tok, "Page")) kind = 1;
    else if (syn_name_is(t, &tok, "Pages")) kind = 0;
  }
  if (kind == 2 && count > 0) kind = 0;  // typed, but neither
  int64_t kids_at = -1;  // '[' of the /Kids array, in kt[0, ke)
  const char *kt = t;
  int64_t ke = e;
  v = values("Kids", nk.kids, nk.n_kids);
  for (int i = 0; i < count && kids_at < 0; i++) {
    if (t[v[i]] == '[') {
      kids_at = v[i];
      continue;
    }
    // An array object of its own ("/Kids 20 0 R"), as readers take it.
    int64_t r, as, ae;
    const char *at;
    if (syn_ref_at(t, v[i], e, &r, NULL) &&
        obj_value_range(st->data, st->size, obj_find(st->objects, r), &at, &as, &ae) &&
        (as = syn_skip(at, as, ae)) < ae && at[as] == '[') {
      kt = at;
      kids_at = as;
      ke = ae;
    }
  }
  // Without /Type, a leaf of the tree (no /Kids array) is a page, as
  // other readers take it.
  if (kind == 2) kind = kids_at >= 0 ? 0 : 1;
  if (kind == 1) {
    pg.num = (int32_t)num;  // a record's number
    pg.parent = (int32_t)parent;
    pg.media_x = b.mx;
    pg.media_y = b.my;
    pg.media_w = b.mw;
    pg.media_h = b.mh;
    if (b.has_crop) {
      pg.inh_crop_x = b.cx;
      pg.inh_crop_y = b.cy;
      pg.inh_crop_w = b.cw;
      pg.inh_crop_h = b.ch;
      pg.has_inh_crop = 1;
    }
    page_push(st->pages, &pg);
    return false;
  }
  if (kids_at < 0) return false;
  int64_t p = kids_at + 1;
  // Every kid is walked: writers such as qpdf list all the pages of a large
  // document in one flat /Kids array, so a cap here would drop pages. The
  // visit and work bounds of the walk keep hostile trees in check.
  std::vector<int64_t> &kids = f->kids;
  kids.clear();
  for (;;) {
    syn_token k;
    int tk = syn_next(kt, p, ke, &k);
    if (tk == SYN_END || tk == SYN_ARRAY_END) break;
    if (tk == SYN_DICT) {
      g_inline_kids = 1;
      return false;
    }
    // "num gen R", read leniently: "num R" and a bare number count too.
    if (tk == SYN_WORD && is_digit_c((unsigned char)kt[k.start])) {
      int64_t q = k.start;
      int64_t kid = parse_int_at(kt, ke, &q);
      if (kid > 0) kids.push_back(kid);
      p = k.end;
      syn_token g;
      if (syn_next(kt, p, ke, &g) == SYN_WORD && is_digit_c((unsigned char)kt[g.start])) {
        p = g.end;
        syn_next(kt, p, ke, &g);
      }
      if (syn_word_is(kt, &g, "R")) p = g.end;
    } else {
      p = syn_value_end(kt, k.start, ke);
    }
    if (p < 0) break;
  }
  if (pg.has_crop) {  // the node's own, for the pages below it
    b.cx = pg.crop_x;
    b.cy = pg.crop_y;
    b.cw = pg.crop_w;
    b.ch = pg.crop_h;
    b.has_crop = 1;
  }
  f->num = num;
  f->boxes = b;
  f->next = 0;
  return true;
}

// Walks the tree below node num depth-first, kids in order, with a stack
// of its own (a deep tree needs no deep recursion).
static void walk_tree(walk_state *st, int64_t num, int64_t parent, double mx,
                      double my, double mw, double mh, int64_t depth) {
  std::vector<walk_frame> path(1);
  walk_boxes root_boxes;
  memset(&root_boxes, 0, sizeof root_boxes);
  root_boxes.mx = mx;
  root_boxes.my = my;
  root_boxes.mw = mw;
  root_boxes.mh = mh;
  if (!visit_node(st, num, parent, root_boxes, &path[0])) return;
  std::unordered_set<int64_t> deep;  // the nodes of the path beyond k_path_scan
  walk_frame next;
  while (!path.empty() && !st->stop && !st->pages->failed) {
    walk_frame &top = path.back();
    if (top.next == top.kids.size()) {
      if (path.size() > k_path_scan) deep.erase(top.num);
      path.pop_back();
      continue;
    }
    const int64_t kid = top.kids[top.next++];
    // A kid that is already on the path from the root would make the walk
    // go round the cycle; it is left out.
    bool on_path = deep.count(kid) != 0;
    for (size_t j = 0; j < path.size() && j < k_path_scan && !on_path; j++)
      on_path = path[j].num == kid;
    if (on_path) continue;
    if (depth + (int64_t)path.size() > k_max_depth) {
      st->too_deep = true;
      st->stop = true;
      return;
    }
    if (!visit_node(st, kid, top.num, top.boxes, &next)) continue;
    path.push_back(std::move(next));
    next = walk_frame();
    if (path.size() > k_path_scan) deep.insert(kid);
  }
}

static void walk_trimmed(const char *data, int64_t size, const obj_vec *objects,
                         int64_t num, int64_t parent, double media_x, double media_y,
                         double media_w, double media_h, page_vec *pages,
                         int64_t depth, input_trim *trim) {
  if (depth < 0) depth = 0;
  walk_state st;
  st.trim = trim;
  st.data = data;
  st.size = size;
  st.objects = objects;
  st.pages = pages;
  st.visits = 0;
  st.work = 0;
  st.work_max = 64 * (int64_t)(size > 0 ? size : 0) + k_work_base;
  st.stop = false;
  st.too_deep = false;
  page_reserve(pages, data, size, objects, num);
  walk_tree(&st, num, parent, media_x, media_y, media_w, media_h, depth);
  if (st.too_deep) pages->too_deep = 1;
}

void walk_pages(const char *data, int64_t size, const obj_vec *objects,
                int64_t num, int64_t parent, double media_x, double media_y,
                double media_w, double media_h, page_vec *pages,
                int64_t depth) {
  walk_trimmed(data, size, objects, num, parent, media_x, media_y, media_w, media_h,
               pages, depth, NULL);
}

// ---- document -----------------------------------------------------------------

#ifndef _WIN32
// The nanoseconds of a file's modification time.
static long file_mtime_ns(const struct stat &st) {
#ifdef __APPLE__
  return st.st_mtimespec.tv_nsec;
#else
  return st.st_mtim.tv_nsec;
#endif
}
#endif

// Memory for a large input. Reading 40 MB into fresh 4 KiB pages costs
// several times the copy itself (one fault, one zeroing and one accounting
// per page; about 5 us a page on virtual machines), so on Linux a large
// input gets its own mapping with transparent huge pages asked for and
// populated in one call. Anything else, or a refusal, falls back to malloc.
// (Used where the file itself cannot be mapped: see file_map.h.)
static constexpr size_t k_map_min = (size_t)4 << 20;
// Files from this size up are mapped rather than read (see file_map.h).

static char *data_alloc(size_t n, size_t *map_len) {
  *map_len = 0;
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (n >= k_map_min) {
    const size_t huge = (size_t)2 << 20;
    size_t len = (n + huge - 1) / huge * huge;
    void *p = mmap(NULL, len, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p != MAP_FAILED) {
      madvise(p, len, MADV_HUGEPAGE);
      *map_len = len;
      return (char *)p;
    }
  }
#endif
  return (char *)malloc(n);
}

#ifndef _WIN32
// Fills dst[0, n) from the file at offset `at`; the mapped memory is
// populated first, in one call rather than one fault per page. 0 on a short
// read or an error.
static int read_span(int fd, char *dst, size_t n, int64_t at, bool mapped) {
  if (mapped) mem_populate(dst, n);
  size_t got = 0;
  while (got < n) {
    ssize_t r = pread(fd, dst + got, n - got, (off_t)(at + (int64_t)got));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return 0;
    got += (size_t)r;
  }
  return 1;
}

// Reads the whole file into data[0, n). A large file in a mapping of its
// own is read by two threads, one half each: populating and copying are
// done by the kernel at the speed of one core, and most machines have two.
static int read_file(FILE *f, char *data, size_t n, size_t map_len) {
  int fd = fileno(f);
  bool mapped = map_len > 0;
  if (!mapped || n < 2 * k_map_min) return read_span(fd, data, n, 0, mapped);
  size_t half = (n / 2) & ~(((size_t)2 << 20) - 1);  // on a huge-page boundary
  int second = 0;
  std::thread t;
  try {
    t = std::thread([&] { second = read_span(fd, data + half, n - half, (int64_t)half, true); });
  } catch (...) {  // no thread to be had: one reader does it all
    return read_span(fd, data, n, 0, true);
  }
  int first = read_span(fd, data, half, 0, true);
  t.join();
  return first && second;
}

#endif

#ifdef _WIN32
// Reads n bytes in pieces of at most 1 GiB (a count the C runtime's
// fread takes in one call everywhere). 0 on a short read.
static int read_stdio(FILE *f, char *data, size_t n) {
  size_t got = 0;
  while (got < n) {
    size_t want = n - got < ((size_t)1 << 30) ? n - got : (size_t)1 << 30;
    if (fread(data + got, 1, want, f) != want) return 0;
    got += want;
  }
  return 1;
}
#endif

static void data_release(char *data, size_t map_len) {
#ifdef __linux__
  if (map_len) {
    munmap(data, map_len);
    return;
  }
#endif
  (void)map_len;
  free(data);
}

int64_t g_trim_steps = 1024;

void trim_init(input_trim *t, const pdf_doc *doc) {
  t->map = doc && doc->lean && doc->map.len ? &doc->map : NULL;
  t->left = g_trim_steps;
  t->next_pos = (int64_t)g_trim_steps * 4096;
}

void trim_release(input_trim *t) {
  t->left = g_trim_steps;
  if (t->map) fmap_release(t->map);
}

void doc_free(pdf_doc *doc) {
  if (doc->map.len)
    fmap_close(&doc->map);
  else
    data_release(doc->data, doc->data_map);
  doc->data = NULL;
  free(doc->map_path);
  doc->map_path = NULL;
  objvec_free(&doc->objects);
  arr_free(doc->pages.items);
  arena_free(&doc->arena);
  sec_free(doc->sec);
  memset(doc, 0, sizeof *doc);
}

// The first /name at or after a position, within a range ending at `end`,
// whose value parses as an integer >= 0. Remembered like kw_memo: trailers
// that share one range end (no "startxref" between them) share the search,
// so a file of many "trailer" keywords is still read in linear time.
struct name_memo {
  const char *name;
  int64_t end;
  int64_t from;
  int64_t result;  // name position, -1: none
  int64_t value;
  int valid;
};

static int64_t memo_name_int(name_memo *m, const char *d, int64_t start,
                             int64_t end, int64_t *value) {
  if (m->valid && m->end == end && start >= m->from &&
      (m->result < 0 || start <= m->result)) {
    *value = m->value;
    return m->result;
  }
  int64_t at = start, v = -1;
  int64_t n = (int64_t)strlen(m->name);
  while ((at = find_name(d, end, at, end, m->name)) >= 0) {
    int64_t p = at + 1 + n;
    v = parse_int_at(d, end, &p);
    if (v >= 0) break;
    at++;
  }
  m->end = end;
  m->from = start;
  m->result = at;
  m->value = v;
  m->valid = 1;
  *value = v;
  return at;
}

// The trailers after the table that startxref names; positions of their
// /Encrypt values go to *enc.
static void read_classic_trailers(pdf_doc *doc, int64_t from, std::vector<int64_t> *enc) {
  const char *d = doc->data;
  int64_t size = doc->size;
  kw_memo sx = {"startxref", 0, 0, 0, 0};
  name_memo root = {"Root", 0, 0, 0, 0, 0};
  name_memo info = {"Info", 0, 0, 0, 0, 0};
  int64_t enc_end = -1, enc_from = 0, enc_at = -1;
  int64_t t = find_kw(d, size, from, "trailer");
  while (t >= 0) {
    int64_t s = skip_ws(d, t + 7, size);
    int64_t e = memo_find(&sx, d, size, t + 1);
    if (e < 0) e = size;
    if (s < e && d[s] == '<') {
      int64_t v;
      if (memo_name_int(&root, d, s, e, &v) >= 0) doc->trailer_root = v;
      if (memo_name_int(&info, d, s, e, &v) >= 0) doc->trailer_info = v;
      if (!(enc_end == e && s >= enc_from && (enc_at < 0 || s <= enc_at))) {
        enc_at = find_name(d, e, s, e, "Encrypt");
        enc_end = e;
        enc_from = s;
      }
      if (enc_at >= 0) enc->push_back(skip_ws(d, enc_at + 8, size));
    }
    t = find_kw(d, size, t + 1, "trailer");
  }
}

static void read_trailers(pdf_doc *doc, std::vector<int64_t> *enc) {
  const char *d = doc->data;
  int64_t size = doc->size;
  doc->startxref = -1;
  int64_t sx = rfind_kw(d, size, "startxref");
  if (sx < 0) return;
  int64_t p = sx + 9;
  int64_t off = parse_int_at(d, size, &p);
  if (off < 0) return;
  doc->startxref = off;
  int streams = 0;
  while (off >= 0 && off < size && streams != 32) {
    int64_t q = skip_ws(d, off, size);
    if (q >= size) return;
    if (kw_at(d, q, size, "xref")) {
      read_classic_trailers(doc, q + 4, enc);
      return;
    }
    if (!is_digit_c((unsigned char)d[q])) return;
    parse_int_at(d, size, &q);
    q = skip_ws(d, q, size);
    if (q < size && is_digit_c((unsigned char)d[q])) {
      parse_int_at(d, size, &q);
      q = skip_ws(d, q, size);
    }
    streams++;
    if (!kw_at(d, q, size, "obj")) return;
    int64_t s = skip_ws(d, q + 3, size);
    int64_t e = size;
    if (s + 1 < size && d[s] == '<' && d[s + 1] == '<') {
      int64_t k = dict_stream_kw(d, size, s);
      if (k >= 0) e = k;
    }
    // The stream dictionary's own entries (a nested dictionary or a string
    // may hold the same names).
    int64_t prev = -1;
    dict_entry de;
    if (dict_get(d, s, e, "Prev", &de) && de.val >= 0) {
      int64_t r = de.val;
      prev = parse_int_at(d, e, &r);
    }
    if (doc->trailer_root < 0 && dict_get(d, s, e, "Root", &de) && de.val >= 0) {
      int64_t r = de.val;
      int64_t v = parse_int_at(d, e, &r);
      if (v >= 0) doc->trailer_root = v;
    }
    if (dict_get(d, s, e, "Encrypt", &de) && de.val >= 0) enc->push_back(de.val);
    if (prev < 0 || prev >= size) return;
    off = prev;
  }
}

// Every trailer dictionary of the file, within 4096 bytes of its keyword:
// the positions of its /Encrypt values to *enc, and the last valid /ID
// array to *id_off, *id_len (when `want_id`).
static void trailer_sweep(const pdf_doc *doc, std::vector<int64_t> *enc, bool want_id,
                          int64_t *id_off, int64_t *id_len, int64_t *info) {
  const bool want_info = info != nullptr;
  const char *d = doc->data;
  int64_t size = doc->size;
  // Without the name anywhere no trailer can hold it; most files are
  // settled by the object scan's note instead of a look at every "trailer".
  if (!doc->names_encrypt && !want_id && !want_info) return;
  for (int64_t t = find_kw(d, size, 0, "trailer"); t >= 0;
       t = find_kw(d, size, t + 1, "trailer")) {
    int64_t we = t > size - 4096 ? size : t + 4096;
    int64_t s = skip_ws(d, t + 7, we);
    int64_t c = find_dict_close(d, size, s, we);
    int64_t e = c > 0 ? c : we;
    if (doc->names_encrypt) {
      int64_t at = find_name(d, e, t + 7, e, "Encrypt");
      if (at >= 0) enc->push_back(skip_ws(d, at + 8, e));
    }
    if (want_id && c > 0) {
      int64_t p = dict_value_at(d, s, c + 2, "ID");
      int64_t n = p >= 0 ? id_array_len(d, c + 2, p) : 0;
      if (n > 0) {
        *id_off = p;
        *id_len = n;
      }
    }
    // The document information of a file whose chain gave none: the
    // newest trailer's reference to an object there is.
    if (want_info && c > 0) {
      int64_t p = dict_value_at(d, s, c + 2, "Info"), v;
      if (p >= 0 && syn_ref_at(d, p, c + 2, &v, nullptr) && v > 0 && obj_find(&doc->objects, v))
        *info = v;
    }
  }
}

// Whether the /Encrypt value at pos names a dictionary: a direct one, or
// an object of the index that is one. A missing or damaged object is not
// encryption (readers open such files as plain).
static bool names_dictionary(const pdf_doc *doc, int64_t pos) {
  const char *d = doc->data;
  int64_t size = doc->size;
  int64_t p = skip_ws_comments(d, pos, size);
  if (p + 1 < size && d[p] == '<' && d[p + 1] == '<') return true;
  int64_t q = p;
  if (p >= size || !is_digit_c((unsigned char)d[p])) return false;
  int64_t num = parse_int_at(d, size, &q);
  q = skip_ws(d, q, size);
  if (num < 1 || parse_int_at(d, size, &q) < 0) return false;
  q = skip_ws(d, q, size);
  if (q >= size || d[q] != 'R') return false;
  const pdf_obj *o = obj_find(&doc->objects, num);
  if (!o) return false;
  if (o->in_objstm) {
    if (!o->text || o->text_len < 2) return false;
    int64_t b = skip_ws_comments(o->text, 0, o->text_len);
    return b + 1 < o->text_len && o->text[b] == '<' && o->text[b + 1] == '<';
  }
  return o->dict_off >= 0 && o->dict_off + 1 < size && d[o->dict_off + 1] == '<';
}

// The dictionary range [*s, *e) of a cross-reference stream of the index
// (a stream whose dictionary has /Type /XRef); 0 for other records.
static int xref_stream_dict(const pdf_doc *doc, const pdf_obj *o, int64_t *s, int64_t *e) {
  if (o->in_objstm || !o->has_stream || o->dict_off < 0 || o->stream_kw_off <= o->dict_off)
    return 0;
  int64_t at = find_name(doc->data, o->stream_kw_off, o->dict_off, o->stream_kw_off, "XRef");
  if (at < 0) return 0;
  *s = o->dict_off;
  *e = o->stream_kw_off;
  return 1;
}

// The header's version ("%PDF-1.7" -> 17) within the first KiB, or 0.
static int64_t header_version(const char *d, int64_t size) {
  int64_t lim = size < 1024 ? size : 1024;
  for (int64_t i = 0; i + 8 <= lim; i++) {
    if (memcmp(d + i, "%PDF-", 5) != 0) continue;
    if (!is_digit_c((unsigned char)d[i + 5]) || d[i + 6] != '.' ||
        !is_digit_c((unsigned char)d[i + 7]))
      return 0;
    return (d[i + 5] - '0') * 10 + (d[i + 7] - '0');
  }
  return 0;
}

// The catalog's /Version name ("/1.7" -> 17), or 0.
static int64_t catalog_version(const pdf_doc *doc) {
  const pdf_obj *cat = obj_find(&doc->objects, doc->root);
  const char *t;
  int64_t s, e;
  if (!cat || !obj_dict_range(doc->data, doc->size, cat, &t, &s, &e)) return 0;
  int64_t c = s + 1 < e && t[s] == '<' && t[s + 1] == '<' ? find_dict_close(t, e, s, 0) : -1;
  if (c < 0) return 0;
  int64_t p = dict_value_at(t, s, c + 2, "Version");
  if (p < 0 || p + 4 > c || t[p] != '/' || !is_digit_c((unsigned char)t[p + 1]) ||
      t[p + 2] != '.' || !is_digit_c((unsigned char)t[p + 3]))
    return 0;
  return (t[p + 1] - '0') * 10 + (t[p + 3] - '0');
}

static int64_t find_catalog(const pdf_doc *doc) {
  const obj_vec *v = &doc->objects;
  for (int64_t i = 0; i < v->count; i++) {
    const char *t;
    int64_t s, e;
    if (!obj_dict_range(doc->data, doc->size, &v->items[i], &t, &s, &e))
      continue;
    int64_t at = find_name(t, e, s, e, "Type");
    if (at < 0) continue;
    int64_t p = skip_ws(t, at + 5, e);
    if ((int64_t)p + 8 <= e && memcmp(t + p, "/Catalog", 8) == 0)
      return v->items[i].num;
  }
  return -1;
}

static int settle(pdf_doc *doc, const char *path, const std::vector<int64_t> &enc_in,
                  const xref_chain &xr, int64_t swept_info);

// A failure after the file was read; when the file changed meanwhile, the
// change is what is reported (the bytes read were not the file's).
static int32_t load_fail(pdf_doc *doc) {
  doc_input_intact(doc);
  doc_free(doc);
  return -1;
}

int doc_input_intact(const pdf_doc *doc) {
  if (!doc->map.len || !fmap_changed(&doc->map)) return 1;
  set_error("the input file changed while it was read: %s",
            doc->map_path ? doc->map_path : "(unknown)");
  return 0;
}

int32_t doc_load(const char *path, pdf_doc *doc) {
  return doc_load_opts(path, doc, nullptr);
}

int doc_may_modify(const pdf_doc *doc) {
  return !doc->sec || crypt_may_modify(&doc->sec->crypt);
}

// Whether an object of the file is a security handler's dictionary: no
// stream, a /Filter name and a /V, and the standard handler's /O and /U or
// a public-key handler's /Recipients.
static bool lost_handler(const pdf_doc *doc) {
  const obj_vec *v = &doc->objects;
  for (int64_t i = 0; i < v->count; i++) {
    const pdf_obj *o = &v->items[i];
    const char *t;
    int64_t s, e;
    dict_entry f;
    if (o->in_objstm || o->has_stream || !obj_dict_range(doc->data, doc->size, o, &t, &s, &e) ||
        !dict_get(t, s, e, "Filter", &f) || f.val < 0 || t[skip_ws(t, f.val, e)] != '/' ||
        !dict_get(t, s, e, "V", nullptr))
      continue;
    if ((dict_get(t, s, e, "O", nullptr) && dict_get(t, s, e, "U", nullptr)) ||
        dict_get(t, s, e, "Recipients", nullptr))
      return true;
  }
  return false;
}

// The largest object number that a reference "num gen R" in [s, e) names
// (0: none), numbers up to `cap`.
static int64_t top_reference(const char *t, int64_t s, int64_t e, int64_t cap) {
  int64_t top = 0;
  for (int64_t r = s; r < e; r++) {
    const void *hit = memchr(t + r, 'R', (size_t)(e - r));
    if (!hit) break;
    r = (const char *)hit - t;
    if (r + 1 < e && (is_name_char((unsigned char)t[r + 1]) || t[r + 1] == '.')) continue;
    // Back over "num gen ": digits, whitespace, digits, whitespace.
    int64_t p = r;
    if (p <= s || !is_pdf_ws((unsigned char)t[p - 1])) continue;
    while (p > s && is_pdf_ws((unsigned char)t[p - 1])) p--;
    const int64_t gen_end = p;
    while (p > s && is_digit_c((unsigned char)t[p - 1])) p--;
    if (p == gen_end || p <= s || !is_pdf_ws((unsigned char)t[p - 1])) continue;
    while (p > s && is_pdf_ws((unsigned char)t[p - 1])) p--;
    const int64_t num_end = p;
    while (p > s && num_end - p < 12 && is_digit_c((unsigned char)t[p - 1])) p--;
    if (p == num_end || (p > s && (is_name_char((unsigned char)t[p - 1]) || t[p - 1] == '.')))
      continue;
    const int64_t v = digits_value(t, p, num_end);
    if (v <= cap && v > top) top = v;
  }
  return top;
}

// A repaired document may refer to objects it has lost (a download cut
// short): new objects go above every number referred to, so that none of
// them takes the place of a missing one (an /Annots entry would list the
// stamp's graphics state). Numbers far above those in use (damage, or text
// that only looks like a reference) are not followed.
static void raise_past_references(pdf_doc *doc) {
  const obj_vec *v = &doc->objects;
  const int64_t cap = std::min<int64_t>(k_max_obj_num / 2, 2 * doc->max_num + 100000);
  int64_t top = doc->max_num;
  for (int64_t i = 0; i < v->count; i++) {
    const char *t;
    int64_t s, e;
    if (obj_value_range(doc->data, doc->size, &v->items[i], &t, &s, &e))
      top = std::max(top, top_reference(t, s, e, cap));
  }
  doc->max_num = top;
}

int32_t doc_load_opts(const char *path, pdf_doc *doc, const doc_open_opts *opts) {
  memset(doc, 0, sizeof *doc);
  doc->root = -1;
  doc->info = -1;
  if (opts && opts->allow_encrypted) {
    doc->allow_encrypted = 1;
    doc->password = opts->password;
  }
  if (opts) doc->lean = opts->lean;
  if (!path) {
    set_error("NULL path argument");
    return -1;
  }
  // Checked before opening: opening a FIFO would block, and reading a
  // directory or a device never gives a PDF.
  if (file_kind(path) == FILE_OTHER) {
    set_error("cannot open %s: not a regular file", path);
    return -1;
  }
  FILE *f = file_open(path, "rb");
  if (!f) {
    set_error("cannot open %s: %s", path, strerror(errno));
    return -1;
  }
  int64_t size = -1;
#ifdef _WIN32
  if (_fseeki64(f, 0, SEEK_END) == 0) size = _ftelli64(f);
  if (_fseeki64(f, 0, SEEK_SET) != 0) size = -1;
#else
  // The size from the descriptor: seeking a stream to its end reads its
  // last block.
  struct stat fst;
  if (fstat(fileno(f), &fst) == 0 && S_ISREG(fst.st_mode)) size = (int64_t)fst.st_size;
#endif
  if (size <= 0) {
    fclose(f);
    set_error("empty input file: %s", path);
    return -1;
  }
  // The whole file is addressed at once (mapped or read), one byte more
  // than its size.
  if ((uint64_t)size >= SIZE_MAX / 2) {
    fclose(f);
    set_error("cannot read %s: file too large (%lld bytes)", path, (long long)size);
    return -1;
  }
  // A small file is read: for a few pages of bytes, the mapping's system
  // calls (map, duplicate, advise, unmap) cost more than the copy, which
  // is what counts when a batch stamps thousands of small files. So is a
  // file an operation reads every byte of (a full rewrite scans and copies
  // them all) up to g_read_whole_max: its copy goes into huge pages in one
  // call per thread, where a mapping sets up each 4 KiB page of it apart,
  // which costs more than the copy (about a third of a full rewrite's time
  // on virtual machines). A lean open reads little of the file, and a very
  // large one would cost its size in private memory: both are mapped.
  const bool reads_all = opts && opts->whole && !doc->lean && size <= g_read_whole_max;
  if (size >= k_fmap_min && !(opts && opts->no_map) && !reads_all &&
      fmap_open(fileno(f), size, &doc->map)) {
    doc->map_path = strdup(path);
    if (!doc->map_path) {
      fclose(f);
      fmap_close(&doc->map);
      set_error("out of memory reading %s", path);
      return -1;
    }
    doc->data = doc->map.data;  // data[size] is 0 already
  }
  if (!doc->data) doc->data = data_alloc((size_t)size + 1, &doc->data_map);
  if (!doc->data) {
    fclose(f);
    set_error("out of memory reading %s", path);
    return -1;
  }
  // A read that failed gives back what it was reading into.
  auto read_failed = [&]() {
    fclose(f);
    data_release(doc->data, doc->data_map);
    doc->data = NULL;
    doc->data_map = 0;
    return -1;
  };
#ifdef _WIN32
  if (!doc->map.len && !read_stdio(f, doc->data, (size_t)size)) {
#else
  if (!doc->map.len && !read_file(f, doc->data, (size_t)size, doc->data_map)) {
#endif
    set_error("read error on %s", path);
    return read_failed();
  }
#ifndef _WIN32
  // A file read (not mapped) that another process cut and wrote again, or
  // rewrote, while it was read gives a mix of its old and new bytes: its
  // size or modification time then differ from those it had before.
  if (g_after_read && !doc->map.len) g_after_read(path);
  struct stat after;
  if (!doc->map.len &&
      (fstat(fileno(f), &after) != 0 || (int64_t)after.st_size != size ||
       after.st_mtime != fst.st_mtime || file_mtime_ns(after) != file_mtime_ns(fst))) {
    set_error("the input file changed while it was read: %s", path);
    return read_failed();
  }
#endif
  fclose(f);
  if (!doc->map.len) doc->data[size] = 0;
  doc->size = (int64_t)size;
  doc->trailer_root = -1;
  doc->trailer_info = -1;

  std::vector<int64_t> enc;
  read_trailers(doc, &enc);
  xref_chain xr;
  // An operation that reads little of the file (see doc_open_opts.lean)
  // trusts a sound chain instead of scanning every byte.
  bool chain_read = false;
  if (doc->lean && enc.empty()) {
    xref_read(doc->data, doc->size, &xr);
    chain_read = true;
  }
  if (!(chain_read && index_from_chain(doc, &xr))) index_objects(doc, true, &xr, chain_read);
  if (doc->objects.failed) {
    set_error("out of memory indexing %s", path);
    return load_fail(doc);
  }
  if (doc->objects.count == 0) {
    set_error("no PDF objects found \xE2\x80\x94 not a valid PDF: %s", path);
    return load_fail(doc);
  }
  if (doc->xref_trusted)
    for (const xref_entry &x : xr.entries)
      if (x.type != XREF_FREE && x.num > k_max_obj_num) {
        set_error("object number %lld in %s is beyond the supported %lld", (long long)x.num, path,
                  (long long)k_max_obj_num);
        return load_fail(doc);
      }
  enc.insert(enc.end(), xr.encrypt_at.begin(), xr.encrypt_at.end());
  doc->id_off = xr.id_off;
  doc->id_len = xr.id_len;
  // A whole chain without /ID means the file has none; only a damaged one
  // sends the search to every trailer.
  int64_t swept_info = -1;
  trailer_sweep(doc, &enc, doc->id_len == 0 && !xr.whole, &doc->id_off, &doc->id_len,
                doc->trailer_info < 0 && xr.info < 0 && !xr.whole ? &swept_info : nullptr);
  int rc = settle(doc, path, enc, xr, swept_info);
  if (rc > 0) {
    // The chain's choice of objects leaves no pages: the repair path.
    objvec_free(&doc->objects);
    arena_free(&doc->arena);
    arr_free(doc->pages.items);
    memset(&doc->pages, 0, sizeof doc->pages);
    index_objects(doc, false, &xr);
    if (doc->objects.failed) {
      set_error("out of memory indexing %s", path);
      return load_fail(doc);
    }
    rc = settle(doc, path, enc, xr, swept_info);
  }
  if (rc == 0 && !doc->xref_trusted) raise_past_references(doc);
  doc->password = NULL;  // borrowed for the call only
  if (rc == 0 && !doc_input_intact(doc)) rc = -1;
  return rc == 0 ? 0 : load_fail(doc);
}

// After indexing: encryption, root, info, version and the page list. 0 on
// success; -1 with the message set; 1 when the index chosen by a trusted
// chain gives no pages (the caller retries without the chain).
// `swept_info`: the /Info a search of the trailers found (-1: none), the
// last choice.
static int settle(pdf_doc *doc, const char *path, const std::vector<int64_t> &enc_in,
                  const xref_chain &xr, int64_t swept_info) {
  std::vector<int64_t> enc = enc_in;
  // Cross-reference streams the scan found, wherever the chain leads.
  bool want_info = doc->trailer_info < 0 && (xr.info < 0 || !obj_find(&doc->objects, xr.info));
  int64_t scanned_info = -1;
  if (doc->names_encrypt || (!xr.whole && (want_info || doc->id_len == 0))) {
    for (int64_t i = 0; i < doc->objects.count; i++) {
      int64_t s, e;
      if (!xref_stream_dict(doc, &doc->objects.items[i], &s, &e)) continue;
      int64_t c = find_dict_close(doc->data, e, s, 0);
      if (c < 0) continue;
      int64_t at = dict_value_at(doc->data, s, c + 2, "Encrypt");
      if (at >= 0) enc.push_back(at);
      at = dict_value_at(doc->data, s, c + 2, "Info");
      int64_t q = at;
      if (at >= 0 && is_digit_c((unsigned char)doc->data[at])) {
        int64_t v = parse_int_at(doc->data, c + 2, &q);
        if (v > 0 && obj_find(&doc->objects, v)) scanned_info = v;
      }
      if (doc->id_len == 0) {
        at = dict_value_at(doc->data, s, c + 2, "ID");
        int64_t n = at >= 0 ? id_array_len(doc->data, c + 2, at) : 0;
        if (n > 0) {
          doc->id_off = at;
          doc->id_len = n;
        }
      }
    }
  }
  doc->saw_encrypt = 0;
  for (int64_t at : enc)
    if (names_dictionary(doc, at)) doc->saw_encrypt = 1;
  // A damaged file whose trailers are lost may be encrypted all the same:
  // its handler's dictionary lies among its objects. Without what the lost
  // trailer held its strings and streams stay unread, and stamped as clear
  // text the output shows nothing of the pages.
  if (!doc->saw_encrypt && !xr.whole && lost_handler(doc)) {
    set_error("cannot open %s: it is encrypted, and the trailer that names its encryption is "
              "lost (the file is damaged)", path);
    return -1;
  }
  if (doc->saw_encrypt && !doc->sec) {
    if (!doc->allow_encrypted)
      set_error("encrypted PDFs are not supported: %s", path);
    else if (doc->sec_tried && doc->sec_status == SEC_PASSWORD)
      set_error("PDF is encrypted; the password is wrong or missing: %s", path);
    else
      set_error("cannot open the encrypted PDF %s: %s", path,
                doc->sec_tried ? doc->sec_why : "its /Encrypt dictionary cannot be found");
    return -1;
  }
  // The handler was read while the objects were being indexed, from the
  // first copy of its object; the copy kept in the end is the one an output
  // carries. An update may write the dictionary again (the same handler:
  // read again from the kept copy, it gives the same key); a damaged file
  // may define the object twice, as something else, and an output with the
  // other copy would open in no reader, this one included.
  if (doc->sec && doc->sec->encrypt_num > 0) {
    const pdf_obj *o = obj_find(&doc->objects, doc->sec->encrypt_num);
    const char *t;
    int64_t s, e;
    if (!o || !obj_dict_range(doc->data, doc->size, o, &t, &s, &e) ||
        t + s != doc->sec->encrypt_dict) {
      doc_security *first = doc->sec;
      doc->sec = NULL;
      std::string why;
      const bool same = sec_open(doc, doc->password, &why) == SEC_OPEN &&
                        doc->sec->crypt.key == first->crypt.key &&
                        doc->sec->crypt.stm_method == first->crypt.stm_method &&
                        doc->sec->crypt.str_method == first->crypt.str_method &&
                        doc->sec->crypt.encrypt_metadata == first->crypt.encrypt_metadata;
      if (!same) {
        if (doc->sec) sec_free(doc->sec);
        doc->sec = first;
        set_error("cannot open the encrypted PDF %s: its /Encrypt dictionary (object %lld) "
                  "is defined twice", path, (long long)first->encrypt_num);
        return -1;
      }
      sec_free(first);
    }
  }
  doc->root = doc->trailer_root;
  doc->info = doc->trailer_info;
  if (doc->root < 1 && xr.root > 0 && obj_find(&doc->objects, xr.root)) doc->root = xr.root;
  if (doc->info < 0) {
    if (xr.info > 0 && obj_find(&doc->objects, xr.info)) doc->info = xr.info;
    else if (scanned_info > 0) doc->info = scanned_info;
    else if (swept_info > 0) doc->info = swept_info;
  }
  if (doc->root < 1) {
    objvec_fill_all(&doc->objects);
    doc->root = find_catalog(doc);
    if (doc->root < 1) {
      if (doc->xref_trusted) return 1;
      set_error("cannot find PDF Root catalog: %s", path);
      return -1;
    }
  }
  int64_t v = header_version(doc->data, doc->size);
  int64_t cv = catalog_version(doc);
  if (cv > v) v = cv;
  doc->version = (int32_t)(v < 14 ? 14 : v);
  const pdf_obj *cat = obj_find(&doc->objects, doc->root);
  const char *t;
  int64_t s, e;
  g_inline_kids = 0;
  // The catalog's own /Pages entry: a name dictionary inside it may have
  // one too (the named pages), and so may strings.
  dict_entry pe;
  if (cat && obj_dict_range(doc->data, doc->size, cat, &t, &s, &e) &&
      dict_get(t, s, e, "Pages", &pe) && pe.val >= 0) {
    {
      int64_t p = pe.val;
      int64_t pages = parse_int_at(t, e, &p);
      input_trim trim;
      trim_init(&trim, doc);
      if (pages >= 1)
        walk_trimmed(doc->data, doc->size, &doc->objects, pages, -1, 0, 0, 612,
                     792, &doc->pages, 0, &trim);
    }
  }
  if (doc->pages.failed) {
    g_inline_kids = 0;
    set_error("out of memory listing the pages of %s", path);
    return -1;
  }
  if (doc->pages.too_deep) {
    g_inline_kids = 0;
    set_error("page tree is nested more than %lld levels deep: %s", (long long)k_max_depth,
              path);
    return -1;
  }
  if (doc->pages.count == 0) {
    if (doc->xref_trusted) {
      g_inline_kids = 0;
      return 1;
    }
    if (g_inline_kids) {
      g_inline_kids = 0;
      set_error(
          "page tree uses inline page dictionaries in /Kids \xE2\x80\x94 "
          "pages must be indirect objects: %s",
          path);
    } else {
      set_error("PDF has no pages: %s", path);
    }
    return -1;
  }
  return 0;
}
