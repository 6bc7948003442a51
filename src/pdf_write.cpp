// PDF writing: the overlay of replaced dictionary texts, the merging of one
// resource entry into the resources a page uses, the list of new objects and
// the writer of the complete output file (PDF 7.5: header, body, one classic
// cross-reference table, trailer). Incremental updates, object streams and
// cross-reference streams are never written; every object goes out at the top
// level. No process-wide state.

#include "pdf_write.h"

#include "pdf_decrypt.h"
#include "text_arena.h"

#include <algorithm>
#include <atomic>
#include <thread>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <memory>
#include <vector>
#include <new>

#ifndef _WIN32
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#endif

namespace {

struct free_deleter {
  void operator()(void *p) const { free(p); }
};

// Longest dictionary text the editors take (far beyond any real one).
constexpr size_t k_max_text = static_cast<size_t>(INT32_MAX) - 16;

// Attempts at a free temporary name before giving up.
constexpr int k_tmp_attempts = 100;

}  // namespace

// ---- overlay ----------------------------------------------------------------

// Fibonacci hashing of the object number onto a power-of-two table.
static uint32_t ov_slot(int64_t num, int64_t hash_cap) {
  uint32_t h = static_cast<uint32_t>(num) * 2654435761u;
  return h & static_cast<uint32_t>(hash_cap - 1);
}

static int64_t ov_index(const overlay *ov, int64_t num) {
  if (ov->count <= 0) return -1;
  if (!ov->hash || ov->hash_cap <= 0) {
    for (int64_t i = 0; i < ov->count; i++)
      if (ov->keys[i] == num) return i;
    return -1;
  }
  uint32_t mask = static_cast<uint32_t>(ov->hash_cap - 1);
  const uint32_t b = static_cast<uint32_t>(num) & mask;
  if (!(ov->seen[b >> 6] >> (b & 63) & 1)) return -1;
  for (uint32_t s = ov_slot(num, ov->hash_cap);; s = (s + 1) & mask) {
    int64_t i = ov->hash[s];
    if (i < 0) return -1;
    if (ov->keys[i] == num) return i;
  }
}

static void ov_hash_put(int64_t *hash, uint64_t *seen, int64_t hash_cap, const int64_t *keys,
                        int64_t i) {
  uint32_t mask = static_cast<uint32_t>(hash_cap - 1);
  uint32_t s = ov_slot(keys[i], hash_cap);
  while (hash[s] >= 0) s = (s + 1) & mask;
  hash[s] = i;
  const uint32_t b = static_cast<uint32_t>(keys[i]) & mask;
  seen[b >> 6] |= uint64_t(1) << (b & 63);
}

// Grows both arrays (16, then doubling, as often as it takes to hold `want`
// entries) and rebuilds the index at twice the new capacity, so the index is
// never more than half full. 0 on failure, with the overlay still consistent
// at its old capacity.
static int ov_grow(overlay *ov, int64_t want = 0) {
  if (ov->cap > INT32_MAX / 4) return 0;
  int64_t ncap = ov->cap == 0 ? 16 : ov->cap * 2;
  while (ncap < want && ncap <= INT32_MAX / 4) ncap *= 2;
  int64_t nhash = ncap * 2;
  size_t ncap_z = static_cast<size_t>(ncap);
  int64_t *keys = static_cast<int64_t *>(
      realloc(ov->keys, ncap_z * sizeof(int64_t)));
  if (!keys) return 0;
  ov->keys = keys;
  char **texts = static_cast<char **>(realloc(ov->texts, ncap_z * sizeof(char *)));
  if (!texts) return 0;
  ov->texts = texts;
  int64_t *hash = static_cast<int64_t *>(
      malloc(static_cast<size_t>(nhash) * sizeof(int64_t)));
  if (!hash) return 0;
  mem_populate(hash, static_cast<size_t>(nhash) * sizeof(int64_t));
  memset(hash, 0xFF, static_cast<size_t>(nhash) * sizeof(int64_t));
  // One bit per slot, in whole words (the first table has 32 slots).
  uint64_t *seen = static_cast<uint64_t *>(calloc((static_cast<size_t>(nhash) + 63) / 64, 8));
  if (!seen) {
    free(hash);
    return 0;
  }
  for (int64_t i = 0; i < ov->count; i++) ov_hash_put(hash, seen, nhash, ov->keys, i);
  free(ov->hash);
  free(ov->seen);
  ov->hash = hash;
  ov->seen = seen;
  ov->hash_cap = nhash;
  ov->cap = ncap;
  return 1;
}

void ov_init(overlay *ov) {
  ov->keys = nullptr;
  ov->texts = nullptr;
  ov->count = 0;
  ov->cap = 0;
  ov->hash = nullptr;
  ov->hash_cap = 0;
  ov->seen = nullptr;
  ov->failed = 0;
  ov->arena = nullptr;
}

void ov_free(overlay *ov) {
  for (int64_t i = 0; i < ov->count; i++) ov_text_free(ov, ov->texts[i]);
  ta_free(ov->arena);
  free(ov->keys);
  free(ov->texts);
  free(ov->hash);
  free(ov->seen);
  ov_init(ov);
}

void ov_add(overlay *ov, int64_t num, char *text) {
  if (!text) return;
  int64_t i = ov_index(ov, num);
  if (i >= 0) {
    if (ov->texts[i] != text) ov_text_free(ov, ov->texts[i]);
    ov->texts[i] = text;
    return;
  }
  if (ov->count == ov->cap && !ov_grow(ov)) {
    ov_text_free(ov, text);
    ov->failed = 1;
    return;
  }
  i = ov->count;
  ov->keys[i] = num;
  ov->texts[i] = text;
  ov->count++;
  ov_hash_put(ov->hash, ov->seen, ov->hash_cap, ov->keys, i);
}

// Overlays made ready for fewer entries take their texts from malloc.
constexpr int64_t k_arena_entries = 1024;

void ov_reserve(overlay *ov, int64_t n) {
  if (n > ov->cap) ov_grow(ov, n);
  if (n >= k_arena_entries && !ov->arena) ov->arena = ta_new();
}

char *ov_text_alloc(overlay *ov, size_t n) {
  char *p = ta_alloc(ov->arena, n);
  return p ? p : static_cast<char *>(malloc(n));
}

void ov_text_free(overlay *ov, char *p) {
  if (!ta_holds(ov->arena, p)) free(p);
}

const char *ov_get(const overlay *ov, int64_t num) {
  int64_t i = ov_index(ov, num);
  return i >= 0 ? ov->texts[i] : nullptr;
}

// ---- current dictionary texts -------------------------------------------------

char *copy_bytes(const char *p, size_t n) {
  char *s = static_cast<char *>(malloc(n + 1));
  if (!s) return nullptr;
  if (n) memcpy(s, p, n);
  s[n] = 0;
  return s;
}

char *copy_bytes_or_throw(const char *p, size_t n) {
  char *c = copy_bytes(p, n);
  if (!c) throw std::bad_alloc();
  return c;
}

void str_append_num(std::string *s, long long v) {
  fixed_text t;
  ft_init(&t);
  ft_num(&t, v);
  s->append(t.s, t.n);
}

void ft_init(fixed_text *t) {
  t->n = 0;
  t->ok = true;
  t->s[0] = 0;
}

void ft_bytes(fixed_text *t, const char *p, size_t n) {
  if (!t->ok || n >= sizeof t->s - t->n) {
    t->ok = false;
    return;
  }
  memcpy(t->s + t->n, p, n);
  t->n += n;
  t->s[t->n] = 0;
}

void ft_str(fixed_text *t, const char *s) { ft_bytes(t, s, strlen(s)); }

void ft_num(fixed_text *t, long long v) {
  char tmp[24];
  char *end = tmp + sizeof tmp;
  char *p = end;
  unsigned long long u = v < 0 ? 0ULL - static_cast<unsigned long long>(v)
                          : static_cast<unsigned long long>(v);
  do {
    *--p = static_cast<char>('0' + u % 10);
    u /= 10;
  } while (u);
  if (v < 0) *--p = '-';
  ft_bytes(t, p, static_cast<size_t>(end - p));
}

// A borrowed view of the object's current dictionary text: the overlay's
// text, the stored text of an object from an object stream, or the file
// bytes from "<<" through the matching ">>". 0 when none can be had.
static int cur_text(const pdf_doc *doc, const overlay *ov, int64_t num,
                    const char **text, int64_t *len) {
  const char *t = ov ? ov_get(ov, num) : nullptr;
  if (t) {
    size_t n = strlen(t);
    if (n > k_max_text) return 0;
    *text = t;
    *len = static_cast<int64_t>(n);
    return 1;
  }
  const pdf_obj *o = obj_find(&doc->objects, num);
  if (!o) return 0;
  if (o->in_objstm) {
    if (!o->text && o->text_len > 0) return 0;
    const char *ot = o->text ? o->text : "";
    int64_t l = o->text_len > 0 ? o->text_len : 0;
    // Some writers (qpdf's QDF mode) put comments around a packed object;
    // its dictionary is what lies from "<<" through the matching ">>".
    int64_t p = 0;
    for (;;) {
      p = skip_ws(ot, p, l);
      if (p >= l || ot[p] != '%') break;
      while (p < l && ot[p] != '\n' && ot[p] != '\r') p++;
    }
    int64_t c = p + 1 < l && ot[p] == '<' && ot[p + 1] == '<'
                    ? find_dict_close(ot, l, p, 0)
                    : -1;
    if (c >= 0) {
      *text = ot + p;
      *len = c + 2 - p;
    } else {
      *text = ot;
      *len = l;
    }
    return 1;
  }
  if (o->dict_off < 0 || o->dict_off >= doc->size) return 0;
  int64_t c = obj_dict_close(doc->data, doc->size, o);
  if (c < 0) return 0;
  *text = doc->data + o->dict_off;
  *len = c + 2 - o->dict_off;
  return 1;
}

int dict_text_view(const pdf_doc *doc, const overlay *ov, int64_t num,
                   const char **text, int64_t *len) {
  return cur_text(doc, ov, num, text, len);
}

char *get_obj_dict_text(const pdf_doc *doc, const overlay *ov, int64_t num) {
  const char *t;
  int64_t n;
  if (!cur_text(doc, ov, num, &t, &n)) return nullptr;
  return dict_copy(t, static_cast<size_t>(n));
}

// ---- resource merging -----------------------------------------------------

namespace {

// How a merge went: the entry is in place (or was already), the value
// found is no dictionary (to be treated as absent), or the text cannot take
// the entry (the error text says why).
enum merge_status { MERGE_ABSENT = 0, MERGE_DONE = 1, MERGE_FAILED = -1 };

merge_status merge_failed(const char *why, int64_t num) {
  set_error("%s (object %lld)", why, static_cast<long long>(num));
  return MERGE_FAILED;
}

}  // namespace

// text[0..at) + a + text[at..len) as a new string, or NULL.
static char *splice(const char *text, int64_t len, int64_t at, const char *a,
                    int64_t cut_end) {
  size_t alen = strlen(a);
  size_t head = static_cast<size_t>(at);
  size_t tail = static_cast<size_t>(len - cut_end);
  if (alen > k_max_text || head + tail > k_max_text - alen) return nullptr;
  char *s = static_cast<char *>(malloc(head + alen + tail + 1));
  if (!s) return nullptr;
  memcpy(s, text, head);
  memcpy(s + head, a, alen);
  memcpy(s + head + alen, text + cut_end, tail);
  s[head + alen + tail] = 0;
  return s;
}

// " /name num 0 R ": an entry, with the space that parts it from what
// precedes it in a category dictionary. false when it would be too long.
static bool entry_ref(fixed_text *ref, const char *name, int64_t num) {
  ft_init(ref);
  ft_str(ref, " /");
  ft_str(ref, name);
  ft_str(ref, " ");
  ft_num(ref, num);
  ft_str(ref, " 0 R ");
  return ref->ok && ref->n <= 128;
}

// " /category << /name num 0 R >>": a category dictionary with the entry.
static bool category_with_entry(fixed_text *add, const char *category,
                                const fixed_text *ref) {
  ft_init(add);
  ft_str(add, " /");
  ft_str(add, category);
  ft_str(add, " <<");
  ft_str(add, ref->s);
  ft_str(add, ">>");
  return add->ok;
}

// text + add before its close as a new string; NULL when the text is not
// one closed dictionary. Throws std::bad_alloc.
static char *appended_or_null(const char *t, int64_t len, const char *add) {
  char *out = dict_appended(t, static_cast<size_t>(len), add);
  if (!out && dict_whole(t, len)) throw std::bad_alloc();
  return out;
}

// The owned text res with add before its close (res is freed), or NULL with
// res unchanged when the text is not one closed dictionary.
static char *append_owned(char *res, const char *add) {
  char *out = appended_or_null(res, static_cast<int64_t>(strlen(res)), add);
  if (out) free(res);
  return out;
}

// 1 when the text (after whitespace and comments) is a dictionary.
static bool is_dict_text(const char *t, int64_t len) {
  int64_t p = syn_skip(t, 0, len);
  return p + 1 < len && t[p] == '<' && t[p + 1] == '<';
}

// The entry added to category object r (a resources dictionary's /Font
// 12 0 R), unless the object already has the name. ABSENT when r names no
// dictionary.
static merge_status merge_into_category_object(const pdf_doc *doc, overlay *ov,
                                               int64_t r, const char *name,
                                               const fixed_text *ref) {
  const char *t;
  int64_t tlen;
  if (r <= 0 || !cur_text(doc, ov, r, &t, &tlen) || !is_dict_text(t, tlen))
    return MERGE_ABSENT;
  if (dict_get(t, 0, tlen, name, nullptr)) return MERGE_DONE;
  char *merged = appended_or_null(t, tlen, ref->s);
  if (!merged) return merge_failed("a resource dictionary does not close", r);
  ov_add(ov, r, merged);
  return MERGE_DONE;
}

// The category entry of a resources text replaced by one that holds only
// the new entry (its old value named no dictionary).
static char *replace_category(char *res, const char *category,
                              const fixed_text *ref, merge_status *st) {
  fixed_text add;
  if (!category_with_entry(&add, category, ref)) return res;
  strip_dict_entry(res, category);
  char *out = append_owned(res, add.s);
  if (out) {
    *st = MERGE_DONE;
    return out;
  }
  *st = MERGE_FAILED;
  set_error("a resource dictionary does not close");
  return res;
}

// merge_into_dict_text with the outcome in *st.
static char *merge_category(const pdf_doc *doc, overlay *ov, char *res,
                            const char *category, const char *name,
                            int64_t num, merge_status *st) {
  *st = MERGE_FAILED;
  if (!res) return res;
  size_t rlen = strlen(res);
  if (rlen > k_max_text) return res;
  int64_t len = static_cast<int64_t>(rlen);

  fixed_text ref;
  if (!entry_ref(&ref, name, num)) return res;

  dict_entry ce;
  if (!dict_get(res, 0, len, category, &ce)) {
    fixed_text add;
    if (!category_with_entry(&add, category, &ref)) return res;
    char *out = append_owned(res, add.s);
    if (out) {
      *st = MERGE_DONE;
      return out;
    }
    set_error("a resource dictionary does not close");
    return res;
  }
  int64_t p = ce.val;
  if (p >= 0 && res[p] == '<' && p + 1 < len && res[p + 1] == '<') {
    int64_t c = find_dict_close(res, len, p, 0);
    if (c < 0) {
      set_error("the /%s dictionary of the resources does not close", category);
      return res;
    }
    *st = MERGE_DONE;
    if (dict_get(res, p, c + 2, name, nullptr)) return res;
    char *s = splice(res, len, c, ref.s, c);
    if (!s) throw std::bad_alloc();
    free(res);
    return s;
  }
  int64_t r = 0;
  if (p >= 0 && syn_ref_at(res, p, len, &r, nullptr)) {
    *st = merge_into_category_object(doc, ov, r, name, &ref);
    if (*st != MERGE_ABSENT) return res;
  }
  // null, a missing object, or anything else that is no dictionary.
  return replace_category(res, category, &ref, st);
}

char *merge_into_dict_text(const pdf_doc *doc, overlay *ov, char *res,
                           const char *category, const char *name,
                           int64_t num) {
  merge_status st;
  return merge_category(doc, ov, res, category, name, num, &st);
}

// Merges into the /Resources entry `e` of object `holder`, whose current
// text is text[0..len). ABSENT when the value names no dictionary (null, a
// missing object, an array...): such an entry counts as absent.
static merge_status merge_in_holder(const pdf_doc *doc, overlay *ov,
                                    int64_t holder, const char *text,
                                    int64_t len, const dict_entry *e,
                                    const char *category, const char *name,
                                    int64_t num) {
  int64_t p = e->val;
  if (p < 0 || p >= len) return MERGE_ABSENT;
  // A merge may replace overlay texts (a category object that is the holder
  // itself, in a broken file), so never work on a borrowed overlay text;
  // nor on one with zero bytes, which every edited text must be free of.
  std::unique_ptr<char, free_deleter> own;
  if ((ov && ov_get(ov, holder) == text) ||
      memchr(text, 0, static_cast<size_t>(len))) {
    own.reset(dict_copy(text, static_cast<size_t>(len)));
    if (!own) throw std::bad_alloc();
    // Zero bytes written as escapes move what follows: find the entry again.
    size_t n = strlen(own.get());
    if (n != static_cast<size_t>(len)) {
      dict_entry again;
      if (n > k_max_text || !dict_get(own.get(), 0, static_cast<int64_t>(n), "Resources", &again))
        return MERGE_ABSENT;
      p = again.val;
      len = static_cast<int64_t>(n);
      if (p < 0) return MERGE_ABSENT;
    }
    text = own.get();
  }
  if (text[p] == '<' && p + 1 < len && text[p + 1] == '<') {
    int64_t c = find_dict_close(text, len, p, 0);
    if (c < 0) return merge_failed("the resources dictionary does not close", holder);
    // The two common cases without copying the dictionary, with the results
    // of the general merge below: the category names an object (the entry
    // goes there and the dictionary stays as it is), or the dictionary has
    // no such category (one is added before its close).
    int64_t end = c + 2;
    dict_entry ce;
    bool has_cat = dict_get(text, p, end, category, &ce);
    fixed_text ref;
    if (!entry_ref(&ref, name, num)) return MERGE_DONE;
    fixed_text add;
    if (!has_cat && category_with_entry(&add, category, &ref)) {
      ft_str(&add, " >>");  // the close it goes before
      if (add.ok) {
        char *s = splice(text, len, c, add.s, c + 2);
        if (!s) throw std::bad_alloc();
        ov_add(ov, holder, s);
        return MERGE_DONE;
      }
    }
    int64_t r;
    if (has_cat && ce.val >= 0 && syn_ref_at(text, ce.val, end, &r, nullptr)) {
      merge_status st = merge_into_category_object(doc, ov, r, name, &ref);
      if (st != MERGE_ABSENT) return st;
    }
    char *inl = copy_bytes(text + p, static_cast<size_t>(c + 2 - p));
    if (!inl) throw std::bad_alloc();
    size_t before = static_cast<size_t>(c + 2 - p);
    merge_status st;
    char *merged = merge_category(doc, ov, inl, category, name, num, &st);
    if (st == MERGE_FAILED) {
      free(merged);
      return MERGE_FAILED;
    }
    if (strlen(merged) == before && memcmp(merged, text + p, before) == 0) {
      free(merged);  // nothing added: the entry was there already
      return MERGE_DONE;
    }
    char *s = splice(text, len, p, merged, c + 2);
    free(merged);
    if (!s) throw std::bad_alloc();
    ov_add(ov, holder, s);
    return MERGE_DONE;
  }
  int64_t r;
  if (!syn_ref_at(text, p, len, &r, nullptr)) return MERGE_ABSENT;
  const char *t;
  int64_t tlen;
  if (r <= 0 || !cur_text(doc, ov, r, &t, &tlen) || !is_dict_text(t, tlen))
    return MERGE_ABSENT;
  size_t n = static_cast<size_t>(tlen);
  std::unique_ptr<char, free_deleter> orig(dict_copy(t, n));
  if (!orig) throw std::bad_alloc();
  n = strlen(orig.get());
  char *copy = copy_bytes(orig.get(), n);
  if (!copy) throw std::bad_alloc();
  merge_status st;
  char *merged = merge_category(doc, ov, copy, category, name, num, &st);
  if (st == MERGE_FAILED) {
    free(merged);
    return MERGE_FAILED;
  }
  if (strlen(merged) == n && memcmp(merged, orig.get(), n) == 0 &&
      n == static_cast<size_t>(tlen)) {
    free(merged);  // unchanged, or the change went into a category object
    return MERGE_DONE;
  }
  ov_add(ov, r, merged);
  return MERGE_DONE;
}

// The object number after /Parent in a node's text, or -1.
static int64_t parent_of(const char *text, int64_t len) {
  int64_t r;
  return dict_get_ref(text, 0, len, "Parent", &r) && r > 0 ? r : -1;
}

// 1 when the /Resources value of a node names a dictionary (in place or
// through a reference).
static bool resources_usable(const pdf_doc *doc, const overlay *ov,
                             const char *text, int64_t len,
                             const dict_entry *e) {
  int64_t p = e->val;
  if (p < 0 || p + 1 >= len) return false;
  if (text[p] == '<' && text[p + 1] == '<') return true;
  int64_t r;
  const char *t;
  int64_t tlen;
  return syn_ref_at(text, p, len, &r, nullptr) && r > 0 &&
         cur_text(doc, ov, r, &t, &tlen) && is_dict_text(t, tlen);
}

// The object's text without its /Resources entry, recorded in the overlay.
static void drop_resources(overlay *ov, int64_t num, const char *t,
                           int64_t len) {
  char *copy = dict_copy(t, static_cast<size_t>(len));
  if (!copy) throw std::bad_alloc();
  strip_dict_entry(copy, "Resources");
  ov_add(ov, num, copy);
}

// The nearest node from `node` upwards whose /Resources names a dictionary:
// what a page without resources of its own inherits. 0 when there is none.
// A /Resources on the way that names no dictionary (null, a missing object)
// is removed: readers disagree on whether it stops the inheritance, and it
// holds nothing. The answer for every node on the way is remembered.
static int64_t resources_holder(const pdf_doc *doc, overlay *ov, int64_t node,
                                res_memo *memo) {
  climb_seen seen;
  int64_t found = 0;
  while (node > 0) {
    if (memo) {
      auto it = memo->holder.find(node);
      if (it != memo->holder.end()) {
        found = it->second;
        break;
      }
    }
    if (!climb_add(&seen, node)) break;
    const char *t;
    int64_t len;
    if (!cur_text(doc, ov, node, &t, &len)) break;
    dict_entry e;
    if (dict_get(t, 0, len, "Resources", &e)) {
      if (resources_usable(doc, ov, t, len, &e)) {
        found = node;
        break;
      }
      drop_resources(ov, node, t, len);
      if (!cur_text(doc, ov, node, &t, &len)) break;
    }
    node = parent_of(t, len);
  }
  if (memo)
    for (int64_t n : seen.path) memo->holder[n] = found;
  return found;
}

int res_merge(const pdf_doc *doc, overlay *ov, const page_info *page,
              const char *category, const char *name, int64_t num,
              res_memo *memo) {
  const char *t;
  int64_t len;
  // Dictionary text may be empty for an object-stream object without text.
  if (!cur_text(doc, ov, page->num, &t, &len) || len <= 0 || !is_dict_text(t, len)) {
    set_error("the page object has no dictionary");
    return 0;
  }

  dict_entry e;
  if (dict_get(t, 0, len, "Resources", &e)) {
    merge_status st = merge_in_holder(doc, ov, page->num, t, len, &e, category, name, num);
    if (st != MERGE_ABSENT) return st == MERGE_DONE;
    // A /Resources that names no dictionary: the page inherits, or gets
    // resources of its own below.
    drop_resources(ov, page->num, t, len);
  }

  // Inherited resources: the nearest node above the page that holds
  // /Resources. Giving the page a /Resources of its own there would hide
  // every inherited font and image, so the entry goes to that node instead,
  // once per operation.
  int64_t holder = resources_holder(doc, ov, page->parent, memo);
  if (holder > 0) {
    uint64_t key = (static_cast<uint64_t>(static_cast<uint32_t>(holder)) << 32) |
                   static_cast<uint32_t>(num);
    if (memo && memo->merged.count(key)) return 1;
    const char *pt;
    int64_t plen;
    dict_entry pe;
    if (cur_text(doc, ov, holder, &pt, &plen) &&
        dict_get(pt, 0, plen, "Resources", &pe)) {
      merge_status st = merge_in_holder(doc, ov, holder, pt, plen, &pe, category, name, num);
      if (st == MERGE_FAILED) return 0;
      if (st == MERGE_DONE) {
        if (memo) memo->merged.insert(key);
        return 1;
      }
    }
  }

  // Re-read: a merge above may have replaced the page's own overlay text.
  if (!cur_text(doc, ov, page->num, &t, &len)) return 0;
  fixed_text add;
  ft_init(&add);
  ft_str(&add, " /Resources << /");
  ft_str(&add, category);
  ft_str(&add, " << /");
  ft_str(&add, name);
  ft_str(&add, " ");
  ft_num(&add, num);
  ft_str(&add, " 0 R >> >>");
  if (!add.ok) return 1;
  char *out = appended_or_null(t, len, add.s);
  if (!out) {
    set_error("the page dictionary does not close");
    return 0;
  }
  ov_add(ov, page->num, out);
  return 1;
}

int res_merge_entry(const pdf_doc *doc, overlay *ov, const page_info *page,
                    const char *category, const char *name, int64_t num) {
  return res_merge(doc, ov, page, category, name, num, nullptr);
}

int res_page_plan_make(const pdf_doc *doc, const overlay *ov, int64_t page_num,
                       const char *t, int64_t len, const dict_entry *res,
                       const res_entry *adds, int n, res_page_plan *plan) {
  if (n <= 0 || n > k_res_plan_max) return 0;
  for (int i = 0; i < n; i++)
    for (int j = 0; j < i; j++)
      if (strcmp(adds[i].category, adds[j].category) == 0) return 0;
  const int64_t p = res->val;
  if (p < 0 || p + 1 >= len || t[p] != '<' || t[p + 1] != '<') return 0;
  const int64_t c = find_dict_close(t, len, p, 0);
  if (c < 0) return 0;
  // What each entry needs, decided before anything changes: -1 nothing (a
  // name too long for an entry, as res_merge), 0 a new category before the
  // close of the resources, else the category object that takes it. The
  // new categories go in one after the other, as one merge after another
  // leaves them.
  plan->n = n;
  plan->close = c;
  plan->first_new = -1;
  plan->added_len = 0;
  for (int i = 0; i < n; i++) {
    plan->target[i] = -1;
    if (!entry_ref(&plan->refs[i], adds[i].name, adds[i].num)) continue;
    dict_entry ce;
    if (!dict_get(t, p, c + 2, adds[i].category, &ce)) {
      fixed_text add;
      if (!category_with_entry(&add, adds[i].category, &plan->refs[i])) return 0;
      ft_str(&add, " >>");
      if (!add.ok) return 0;
      memcpy(plan->added + plan->added_len, add.s, add.n - 2);
      plan->added_len += add.n - 2;
      plan->target[i] = 0;
      if (plan->first_new < 0) plan->first_new = i;
      continue;
    }
    int64_t r;
    const char *rt;
    int64_t rl;
    if (ce.val < 0 || !syn_ref_at(t, ce.val, c + 2, &r, nullptr) || r <= 0 ||
        r == page_num || !cur_text(doc, ov, r, &rt, &rl) || !is_dict_text(rt, rl))
      return 0;
    plan->target[i] = r;
  }
  if (plan->first_new >= 0) {
    memcpy(plan->added + plan->added_len, ">>", 2);
    plan->added_len += 2;
  }
  plan->added[plan->added_len] = 0;
  return 1;
}

int res_page_plan_apply(const pdf_doc *doc, overlay *ov, int64_t page_num,
                        const res_entry *adds, const res_page_plan *plan,
                        char *page_text) {
  auto release = [ov](char *p) { ov_text_free(ov, p); };
  std::unique_ptr<char, decltype(release)> owned(page_text, release);
  for (int i = 0; i < plan->n; i++) {
    if (i == plan->first_new) {
      ov_add(ov, page_num, owned.release());
    } else if (plan->target[i] > 0 &&
               merge_into_category_object(doc, ov, plan->target[i], adds[i].name,
                                          &plan->refs[i]) == MERGE_FAILED) {
      return -1;
    }
  }
  if (owned) ov_add(ov, page_num, owned.release());
  return 1;
}

int res_merge_page(const pdf_doc *doc, overlay *ov, const page_info *page,
                   const res_entry *adds, int n) {
  const char *t;
  int64_t len;
  if (n <= 0 || !cur_text(doc, ov, page->num, &t, &len) || len <= 0 ||
      !is_dict_text(t, len) || memchr(t, 0, static_cast<size_t>(len)))
    return 0;
  dict_entry e;
  res_page_plan plan;
  if (!dict_get(t, 0, len, "Resources", &e) ||
      !res_page_plan_make(doc, ov, page->num, t, len, &e, adds, n, &plan))
    return 0;
  char *page_text = nullptr;
  if (plan.first_new >= 0) {
    page_text = splice(t, len, plan.close, plan.added, plan.close + 2);
    if (!page_text) return 0;
  }
  return res_page_plan_apply(doc, ov, page->num, adds, &plan, page_text);
}

int res_merge_all(const pdf_doc *doc, overlay *ov, const page_info *page,
                  const res_entry *entries, int n, res_memo *memo) {
  const int one_edit = res_merge_page(doc, ov, page, entries, n);
  if (one_edit != 0) return one_edit > 0;
  for (int i = 0; i < n; i++)
    if (!res_merge(doc, ov, page, entries[i].category, entries[i].name, entries[i].num, memo))
      return 0;
  return 1;
}

// ---- stamp names ----------------------------------------------------------

// Notes the names "/KpWm..." in t[0, n): whether there are any, and the
// largest number after a final '_' (the suffix of an earlier re-stamp).
static void note_stamp_names(const char *t, size_t n, bool *any, long *top) {
  const char *end = t + n;
  // 'K' is rare in PDF syntax and in compressed data alike: memchr finds
  // the candidates at memory speed.
  auto next_k = [end](const char *from) {
    return from < end ? static_cast<const char *>(memchr(from, 'K', static_cast<size_t>(end - from)))
                      : nullptr;
  };
  for (const char *k = n > 1 ? next_k(t + 1) : nullptr; k; k = next_k(k + 1)) {
    if (end - k < 4 || k[-1] != '/' || memcmp(k + 1, "pWm", 3) != 0) continue;
    const char *p = k - 1;
    *any = true;
    const char *q = p + 5;
    while (q < end && !is_pdf_ws(static_cast<unsigned char>(*q)) &&
           !strchr("()<>[]{}/%", *q))
      q++;
    const char *u = q;
    while (u > p + 5 && is_digit_c(static_cast<unsigned char>(u[-1]))) u--;
    if (u < q && u > p + 5 && u[-1] == '_' && q - u < 9)
      *top = std::max(*top, strtol(std::string(u, q).c_str(), nullptr, 10));
  }
}

std::string res_name_suffix(const pdf_doc *doc) {
  bool any = false;
  long top = 1;
  note_stamp_names(doc->data, static_cast<size_t>(doc->size), &any, &top);
  const obj_vec *v = &doc->objects;
  for (int64_t i = 0; i < v->count; i++)
    if (v->items[i].in_objstm && v->items[i].text && v->items[i].text_len > 0)
      note_stamp_names(v->items[i].text, static_cast<size_t>(v->items[i].text_len), &any,
                       &top);
  return any ? "_" + std::to_string(top + 1) : std::string();
}

// ---- new objects ----------------------------------------------------------

int push_obj(new_object **objs, int *count, int *capacity, int64_t num,
             char *dict, uint8_t *data, size_t len, int has_stream) {
  if (*count == *capacity) {
    int ncap;
    if (*capacity <= 0) {
      ncap = 32;
    } else if (*capacity > INT_MAX / 2 ||
               static_cast<size_t>(*capacity) * 2 > SIZE_MAX / sizeof(new_object)) {
      free(dict);
      free(data);
      return 0;
    } else {
      ncap = *capacity * 2;
    }
    new_object *n = static_cast<new_object *>(
        arr_realloc(*objs, static_cast<size_t>(*count) * sizeof(new_object),
                    static_cast<size_t>(ncap) * sizeof(new_object), false));
    if (!n) {
      free(dict);
      free(data);
      return 0;
    }
    *objs = n;
    *capacity = ncap;
  }
  new_object *o = &(*objs)[*count];
  o->num = num;
  o->dict = dict;
  o->data = data;
  o->len = len;
  o->has_stream = has_stream;
  (*count)++;
  return 1;
}

char *fmt_alloc(const char *fmt, ...) {
  char local[1024];
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(local, sizeof local, fmt, ap);
  va_end(ap);
  if (n < 0) return nullptr;
  if (static_cast<size_t>(n) < sizeof local)
    return copy_bytes(local, static_cast<size_t>(n));
  char *s = static_cast<char *>(malloc(static_cast<size_t>(n) + 1));
  if (!s) return nullptr;
  va_start(ap, fmt);
  int m = vsnprintf(s, static_cast<size_t>(n) + 1, fmt, ap);
  va_end(ap);
  if (m != n) {
    free(s);
    return nullptr;
  }
  return s;
}

// ---- document writer ------------------------------------------------------

namespace {

// What one input object contributes to the output besides its header line:
// a body (`body`, `body_len`) and, for a stream, its data bytes.
struct obj_parts {
  const char *body;
  size_t body_len;
  const char *data;
  size_t data_len;
  int stream;
  int scratch;  // the body lies in the caller's scratch string
};

}  // namespace

// The /Length that a stream's dictionary declares, direct or through an
// indirect reference; -1 when it has none that can be read.
static int64_t declared_length(const pdf_doc *doc, const pdf_obj *o) {
  const char *data = doc->data;
  int64_t end = o->stream_kw_off > 0 ? o->stream_kw_off : doc->size;
  if (o->dict_off < 0 || o->dict_off >= end) return -1;
  dict_entry le;
  if (!dict_get(data, o->dict_off, end, "Length", &le) || le.val < 0) return -1;
  int64_t p = le.val;
  if (p >= end || !is_digit_c(static_cast<unsigned char>(data[p]))) return -1;
  int64_t v = parse_int_at(data, end, &p);
  int64_t q = p;
  int64_t g = parse_int_at(data, end, &q);
  if (g >= 0) {
    q = skip_ws(data, q, end);
    if (q < end && data[q] == 'R') {
      const pdf_obj *r = obj_find(&doc->objects, v);
      if (!r || r->has_stream) return -1;
      const char *t = data;
      int64_t rp, re;
      if (r->in_objstm) {
        t = r->text;
        rp = 0;
        re = r->text_len;
        if (!t || re <= 0) return -1;
      } else {
        re = r->endobj_off > 0 && r->endobj_off <= doc->size ? r->endobj_off
                                                             : doc->size;
        rp = r->hdr_off >= 0 ? find_kw(data, re, r->hdr_off, "obj") : -1;
        if (rp < 0) return -1;
        rp += 3;
      }
      rp = skip_ws(t, rp, re);
      if (rp >= re || !is_digit_c(static_cast<unsigned char>(t[rp]))) return -1;
      return parse_int_at(t, re, &rp);
    }
  }
  return v;
}

static void parts_of(const pdf_doc *doc, const overlay *ov, const pdf_obj *o,
                     obj_parts *pp, std::string *scratch) {
  static const char k_empty_dict[] = "<< >>";
  static const char k_null[] = "null";
  obj_parts p = {nullptr, 0, nullptr, 0, 0, 0};
  const char *data = doc->data;
  int64_t size = doc->size;
  const char *ovt = ov ? ov_get(ov, o->num) : nullptr;
  if (o->has_stream && !o->in_objstm) {
    p.stream = 1;
    if (o->data_off >= 0 && o->data_end > o->data_off && o->data_end <= size) {
      p.data = data + o->data_off;
      p.data_len = static_cast<size_t>(o->data_end - o->data_off);
    }
  }
  if (ovt) {
    p.body = ovt;
    p.body_len = strlen(ovt);
  } else if (o->in_objstm) {
    if (o->text && o->text_len > 0) {
      p.body = o->text;
      p.body_len = static_cast<size_t>(o->text_len);
    }
  } else if (o->has_stream) {
    int64_t at = o->dict_off >= 0 ? o->dict_off : 0;
    int64_t c = o->dict_off >= 0 ? obj_dict_close(data, size, o)
                : at < size ? find_dict_close(data, size, at, 0) : -1;
    if (c >= 0) {
      p.body = data + at;
      p.body_len = static_cast<size_t>(c + 2 - at);
      // The stream is written with the bytes the loader delimited; when its
      // dictionary declares another /Length (a damaged file whose length is
      // wrong or missing), the dictionary is given the true one, or readers
      // would cut the stream short or run past it.
      if (declared_length(doc, o) != static_cast<int64_t>(p.data_len)) {
        scratch->assign(p.body, p.body_len);
        strip_dict_entry(&(*scratch)[0], "Length");
        scratch->resize(strlen(scratch->c_str()));
        size_t close = scratch->rfind(">>");
        if (close != std::string::npos) {
          scratch->insert(close, " /Length " + std::to_string(p.data_len) + " ");
          p.body = scratch->data();
          p.body_len = scratch->size();
          p.scratch = 1;
        }
      }
    } else {
      p.body = k_empty_dict;
      p.body_len = sizeof k_empty_dict - 1;
    }
  } else {
    int64_t end = o->endobj_off > 0 && o->endobj_off <= size ? o->endobj_off : size;
    int64_t start = o->dict_off;
    if (start < 0) {
      int64_t k = o->hdr_off >= 0 ? find_kw(data, end, o->hdr_off, "obj") : -1;
      start = k >= 0 ? k + 3 : o->hdr_off;
    }
    if (start >= 0 && start < end) {
      p.body = data + start;
      p.body_len = static_cast<size_t>(end - start);
    }
  }
  // An object needs a value; an empty body would not parse.
  if (!p.body || p.body_len == 0) {
    p.body = k_null;
    p.body_len = sizeof k_null - 1;
  }
  *pp = p;
}

// At least the bytes parts_of gives an object, worked out from its record
// alone: checking the output's size this way does not read the whole input
// an extra time before writing it.
static size_t parts_bound(const pdf_doc *doc, const overlay *ov, const pdf_obj *o) {
  const int64_t size = doc->size;
  size_t body = 0, data = 0;
  if (o->has_stream && !o->in_objstm && o->data_off >= 0 &&
      o->data_end > o->data_off && o->data_end <= size)
    data = static_cast<size_t>(o->data_end - o->data_off);
  const char *ovt = ov ? ov_get(ov, o->num) : nullptr;
  if (ovt) {
    body = strlen(ovt);
  } else if (o->in_objstm) {
    body = o->text_len > 0 ? static_cast<size_t>(o->text_len) : 0;
  } else if (o->has_stream) {
    int64_t c = o->dict_off >= 0 ? obj_dict_close(doc->data, size, o) : -1;
    // A rewritten /Length adds at most " /Length " and its digits.
    body = c >= 0 ? static_cast<size_t>(c + 2 - o->dict_off) + 32 : 5;
  } else {
    int64_t end = o->endobj_off > 0 && o->endobj_off <= size ? o->endobj_off : size;
    int64_t start = o->dict_off >= 0 ? o->dict_off : o->hdr_off;
    if (start >= 0 && start < end) body = static_cast<size_t>(end - start);
  }
  return (body < 4 ? 4 : body) + data;  // an empty body is written "null"
}

static int gen_written(const pdf_obj *o) {
  return !o->in_objstm && o->gen >= 1 && o->gen <= 65534 ? o->gen : 0;
}

// Decimal digits of v >= 0 into the end of `end`; returns the first digit.
static char *put_digits(char *end, uint32_t v) {
  do {
    *--end = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v);
  return end;
}

// Output written in pieces. Small pieces (headers, keywords, the table) are
// gathered in `buf`; a large piece (a body or stream data of at least
// k_direct bytes) is not copied on POSIX systems but written from where it
// lies, with writev: the output is mostly the input's bytes, and copying
// them once more cost as much as the write itself. Every piece must stay in
// place until the next flush. `pos` is the file offset of the next byte.
constexpr size_t k_chunk = size_t{1} << 20;
constexpr size_t k_direct = 512;

struct out_chunks {
  FILE *f;
  char *buf;
  size_t len;
  size_t cap;
#ifndef _WIN32
  static constexpr int k_iov = 512;
  struct iovec iov[k_iov];
  int n_iov;
  size_t pending;  // bytes the iovecs hold
#endif
  uint64_t pos;
  int bad;  // 0, or the errno of the first failure
};

#ifndef _WIN32
static void oc_flush(out_chunks *oc) {
  struct iovec *v = oc->iov;
  int n = oc->n_iov;
  int fd = fileno(oc->f);
  while (n > 0 && !oc->bad) {
    ssize_t w = writev(fd, v, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      oc->bad = errno ? errno : EIO;
      break;
    }
    if (w == 0) {
      oc->bad = EIO;
      break;
    }
    size_t done = static_cast<size_t>(w);
    while (n > 0 && done >= v->iov_len) {
      done -= v->iov_len;
      v++;
      n--;
    }
    if (n > 0) {
      v->iov_base = static_cast<char *>(v->iov_base) + done;
      v->iov_len -= done;
    }
  }
  oc->n_iov = 0;
  oc->pending = 0;
  oc->len = 0;
}

// Adds a piece to the iovecs; the caller has made room for one more.
static void oc_iov(out_chunks *oc, const char *p, size_t n) {
  if (oc->n_iov > 0) {
    struct iovec *last = &oc->iov[oc->n_iov - 1];
    if (static_cast<const char *>(last->iov_base) + last->iov_len == p) {
      last->iov_len += n;
      oc->pending += n;
      return;
    }
  }
  oc->iov[oc->n_iov].iov_base = const_cast<char *>(p);
  oc->iov[oc->n_iov].iov_len = n;
  oc->n_iov++;
  oc->pending += n;
}

// Appends n bytes; `copy` makes even a large piece go through the buffer
// (for memory the caller reuses at once).
static void oc_put(out_chunks *oc, const char *p, size_t n, bool copy) {
  if (n == 0 || oc->bad) return;
  oc->pos += n;
  if (oc->n_iov == out_chunks::k_iov) oc_flush(oc);
  if (n >= k_direct && !copy) {
    oc_iov(oc, p, n);
  } else {
    if (oc->len + n > oc->cap) oc_flush(oc);
    memcpy(oc->buf + oc->len, p, n);
    oc_iov(oc, oc->buf + oc->len, n);
    oc->len += n;
  }
  if (oc->pending >= 8 * k_chunk || oc->len + k_direct > oc->cap) oc_flush(oc);
}

static void oc_bytes(out_chunks *oc, const char *p, size_t n) { oc_put(oc, p, n, false); }
#else
static void oc_flush(out_chunks *oc) {
  if (!oc->bad && oc->len && fwrite(oc->buf, 1, oc->len, oc->f) != oc->len)
    oc->bad = errno ? errno : EIO;
  oc->len = 0;
}

static void oc_bytes(out_chunks *oc, const char *p, size_t n) {
  if (n == 0 || oc->bad) return;
  oc->pos += n;
  if (oc->len + n > oc->cap) oc_flush(oc);
  if (n > oc->cap) {
    if (!oc->bad && !file_write_all(oc->f, p, n)) oc->bad = errno ? errno : EIO;
    return;
  }
  memcpy(oc->buf + oc->len, p, n);
  oc->len += n;
}

static void oc_put(out_chunks *oc, const char *p, size_t n, bool) { oc_bytes(oc, p, n); }
#endif

static void oc_str(out_chunks *oc, const char *s) { oc_bytes(oc, s, strlen(s)); }

// A piece whose memory is reused before the next flush: written at once.
static void oc_bytes_now(out_chunks *oc, const char *p, size_t n) {
  oc_bytes(oc, p, n);
#ifndef _WIN32
  if (n >= k_direct) oc_flush(oc);
#endif
}

// "NUM GEN obj\n" without printf, ending at `end` (32 bytes are enough):
// its first byte, or NULL for a number that is negative or past 32 bits
// (which ft_obj_header writes as a plain decimal).
static char *obj_header_before(char *end, int64_t num, int64_t gen) {
  if (num < 0 || gen < 0 || num > UINT32_MAX || gen > UINT32_MAX) return nullptr;
  char *p = end - 5;
  memcpy(p, " obj\n", 5);
  p = put_digits(p, static_cast<uint32_t>(gen));
  *--p = ' ';
  return put_digits(p, static_cast<uint32_t>(num));
}

void ft_obj_header(fixed_text *t, int64_t num, int64_t gen) {
  char tmp[32];
  const char *p = obj_header_before(tmp + sizeof tmp, num, gen);
  if (p) {
    ft_bytes(t, p, static_cast<size_t>(tmp + sizeof tmp - p));
    return;
  }
  ft_num(t, num);
  FT_LIT(t, " ");
  ft_num(t, gen);
  FT_LIT(t, " obj\n");
}

static void put_obj_header(out_chunks *oc, int64_t num, int64_t gen) {
  char tmp[32];
  const char *p = obj_header_before(tmp + sizeof tmp, num, gen);
  if (p) {
    oc_bytes(oc, p, static_cast<size_t>(tmp + sizeof tmp - p));
    return;
  }
  fixed_text t;
  ft_init(&t);
  ft_obj_header(&t, num, gen);
  oc_bytes(oc, t.s, t.n);
}

static void put_tail(out_chunks *oc, int stream, const char *data, size_t len) {
  if (stream) {
    oc_bytes(oc, "\nstream\n", 8);
    if (data && len) oc_bytes(oc, data, len);
    oc_bytes(oc, "\nendstream\nendobj\n", 18);
  } else {
    oc_bytes(oc, "\nendobj\n", 8);
  }
}

// "%010ld %05ld n \n" without printf; v must not be negative.
static void put_xref_entry(char *e, uint64_t off, uint32_t gen, char kind) {
  for (int i = 9; i >= 0; i--) {
    e[i] = static_cast<char>('0' + off % 10);
    off /= 10;
  }
  e[10] = ' ';
  for (int i = 15; i >= 11; i--) {
    e[i] = static_cast<char>('0' + gen % 10);
    gen /= 10;
  }
  e[16] = ' ';
  e[17] = kind;
  e[18] = ' ';
  e[19] = '\n';
}

// Adds n to *total unless that would overflow; 0 on overflow.
static int add_size(size_t *total, size_t n) {
  if (n > SIZE_MAX - *total) return 0;
  *total += n;
  return 1;
}

// Per-object allowance for the header line and the keywords.
constexpr size_t k_obj_overhead = 64;

// The linearization parameters of the input (a dictionary with /Linearized
// as the file's first object) describe offsets that no longer hold once the
// file is rewritten; viewers that trust them read stale objects, so the
// dictionary is left out. Nothing refers to it.
static bool stale_linearization(const pdf_doc *doc, const pdf_obj *o) {
  if (o->in_objstm || o->has_stream || o->dict_off < 0) return false;
  int64_t end = o->endobj_off > 0 && o->endobj_off <= doc->size ? o->endobj_off
                                                                  : doc->size;
  return find_name(doc->data, end, o->dict_off, end, "Linearized") >= 0;
}

// Unused numbers between two written ones are listed as free entries, as
// one table would, up to this many; a longer run of unused numbers starts
// a new section instead, so that one very large object number does not
// make the table as large as the number.
constexpr int64_t k_max_free_run = 4096;

// Lines of the table for the numbers `nums` (increasing): entries and
// section headers.
static size_t table_size(const std::vector<int64_t> &nums) {
  size_t lines = 2;  // "xref" and object 0
  int64_t last = 0;
  for (int64_t num : nums) {
    int64_t gap = num - last - 1;
    lines += gap > k_max_free_run ? 2 : static_cast<size_t>(gap) + 1;
    last = num;
  }
  return lines;
}

// "xref", then sections "first count" of 20-byte entries: object 0 and
// every written number, with the unused numbers of short runs between
// them as free entries.
static void put_table(out_chunks *oc, const std::vector<int64_t> &nums,
                      const std::vector<int64_t> &offs, const std::vector<int32_t> &gens) {
  oc_bytes(oc, "xref\n", 5);
  size_t i = 0;
  int64_t first = 0;  // the section's first number
  for (;;) {
    // The section runs up to the number before the next long gap.
    size_t j = i;
    int64_t last = first;
    while (j < nums.size() && nums[j] - last - 1 <= k_max_free_run) last = nums[j++];
    fixed_text t;
    ft_init(&t);
    ft_num(&t, static_cast<long long>(first));
    ft_str(&t, " ");
    ft_num(&t, static_cast<long long>(last - first + 1));
    ft_str(&t, "\n");
    oc_bytes(oc, t.s, t.n);
    // In runs of 100 entries.
    char run[100 * 20];
    char *e = run;
    size_t k = i;
    for (int64_t num = first; num <= last && !oc->bad; num++) {
      if (k < j && nums[k] == num && offs[k] >= 0) {
        put_xref_entry(e, static_cast<uint64_t>(offs[k]), static_cast<uint32_t>(gens[k]), 'n');
      } else {
        memcpy(e, "0000000000 65535 f \n", 20);
      }
      if (k < j && nums[k] == num) k++;
      e += 20;
      if (e == run + sizeof run) {
        oc_put(oc, run, sizeof run, true);
        e = run;
      }
    }
    if (e > run) oc_put(oc, run, static_cast<size_t>(e - run), true);
    if (j >= nums.size()) break;
    i = j;
    first = nums[j];
  }
}

// What keeping the encryption changes in the output. Input objects are
// copied as they are (encrypted under their own numbers), except those
// taken out of object streams: their text is clear, so their strings are
// encrypted under their number as they become ordinary objects. New
// objects get their strings and stream data encrypted, and the /Length
// of the encrypted data (AES adds an IV and padding).
namespace {
struct sealed_parts {
  std::vector<std::string> bodies; // per input record; empty: as it is
  std::vector<std::string> new_dicts;
  std::vector<std::vector<uint8_t>> new_data;
};
}  // namespace

std::string seal_packed_text(const pdf_doc *doc, int64_t num, const char *text, size_t n) {
  // Most objects (page dictionaries, arrays, numbers) have no string:
  // their clear text is what the encrypted file holds.
  if (!text || n == 0 || !crypt_text_has_strings(text, n)) return std::string();
  return crypt_text_strings(&doc->sec->crypt, num, 0, text, n, true);
}

void seal_new_object(const pdf_doc *doc, const new_object *o, std::string *dict_out,
                     std::vector<uint8_t> *data) {
  const pdf_crypt *c = &doc->sec->crypt;
  const char *d = o->dict ? o->dict : "<< >>";
  const size_t dn = strlen(d);
  std::string dict = crypt_text_has_strings(d, dn) ? crypt_text_strings(c, o->num, 0, d, dn, true)
                                                   : std::string(d, dn);
  data->clear();
  if (o->has_stream) {
    int method = crypt_stream_method(c, dict.data(), dict.size());
    *data = crypt_encrypt(c, o->num, 0, method, o->data, o->data ? o->len : 0);
    if (data->size() != (o->data ? o->len : 0)) {
      const std::string len = std::to_string(data->size());
      dict_entry e;
      if (dict_get(dict.data(), 0, static_cast<int64_t>(dict.size()), "Length", &e) &&
          e.val >= 0 && e.val_end > e.val) {
        dict.replace(static_cast<size_t>(e.val), static_cast<size_t>(e.val_end - e.val), len);
      } else {
        size_t close = dict.rfind(">>");
        if (close != std::string::npos) dict.insert(close, " /Length " + len + " ");
      }
    }
  }
  *dict_out = std::move(dict);
}

static void seal(const pdf_doc *doc, const overlay *ov, const new_object *objs,
                 int count, sealed_parts *sp) {
  const obj_vec *ix = &doc->objects;
  crypt_random_fresh();
  sp->bodies.resize(static_cast<size_t>(ix->count));
  for (int64_t i = 0; i < ix->count; i++) {
    const pdf_obj *o = &ix->items[i];
    if (!o->in_objstm || o->num == doc->sec->encrypt_num) continue;
    const char *ovt = ov ? ov_get(ov, o->num) : nullptr;
    const char *t = ovt ? ovt : o->text;
    size_t n = ovt ? strlen(ovt) : o->text_len > 0 ? static_cast<size_t>(o->text_len) : 0;
    sp->bodies[static_cast<size_t>(i)] = seal_packed_text(doc, o->num, t, n);
  }
  sp->new_dicts.resize(static_cast<size_t>(count));
  sp->new_data.resize(static_cast<size_t>(count));
  for (int i = 0; i < count; i++)
    seal_new_object(doc, &objs[i], &sp->new_dicts[static_cast<size_t>(i)],
                    &sp->new_data[static_cast<size_t>(i)]);
}

void out_give_mode(FILE *f, const char *target, unsigned made) {
#ifndef _WIN32
  const int fd = fileno(f);
  struct stat st;
  if (stat(target, &st) != 0 || !S_ISREG(st.st_mode)) {
    if (made && fchmod(fd, static_cast<mode_t>(made & 07777)) != 0) {
      // the file is ours: this does not fail short of a file system
      // without modes
    }
    return;
  }
  // Owner first: changing it may clear the set-id bits that chmod sets.
  if (fchown(fd, st.st_uid, st.st_gid) != 0 && fchown(fd, static_cast<uid_t>(-1), st.st_gid) != 0) {
    // not permitted: the file stays the caller's
  }
  if (fchmod(fd, st.st_mode & 07777) != 0) {
    // as above
  }
#else
  (void)f;
  (void)target;
  (void)made;
#endif
}

// ---- temporary files being written ----------------------------------------

namespace {

// The names of the temporary files this process is writing, for
// out_remove_temps to take away when a signal ends the process. A slot is
// 0 (free), 1 (held by one thread: being filled, compared or emptied) or 2
// (holds a name); `seq` changes whenever a slot is filled, so that a
// handler that copied a name can tell it was not changed meanwhile.
// Nothing here allocates or locks. More temporary files at once than
// slots are not noted.
constexpr int k_temp_slots = 32;
struct temp_slot {
  std::atomic<int> state{0};
  std::atomic<unsigned> seq{0};
  char path[1024];
};
temp_slot g_temp_slots[k_temp_slots];

void temp_note(const char *tmp) {
  const size_t n = strlen(tmp);
  if (n >= sizeof g_temp_slots[0].path) return;
  for (temp_slot &s : g_temp_slots) {
    int free_state = 0;
    if (!s.state.compare_exchange_strong(free_state, 1)) continue;
    s.seq.fetch_add(1);
    memcpy(s.path, tmp, n + 1);
    s.state.store(2);
    return;
  }
}

}  // namespace

void out_forget_temp(const char *tmp) {
  for (temp_slot &s : g_temp_slots) {
    // The name is compared only while this thread holds the slot; a slot
    // another thread holds for a moment is waited for (it may be ours).
    for (;;) {
      int held = 2;
      if (s.state.compare_exchange_strong(held, 1)) break;
      if (held == 0) break;
      std::this_thread::yield();
    }
    int held = 1;
    if (s.state.load() != 1) continue;
    const bool mine = strcmp(s.path, tmp) == 0;
    s.state.compare_exchange_strong(held, mine ? 0 : 2);
    if (mine) return;
  }
}

void out_remove_temps() {
  for (temp_slot &s : g_temp_slots) {
    if (s.state.load() != 2) continue;
    const unsigned seq = s.seq.load();
    char name[sizeof s.path];
    memcpy(name, s.path, sizeof name);
    name[sizeof name - 1] = 0;
    // A name copied while another thread refilled the slot is not used.
    if (s.state.load() != 2 || s.seq.load() != seq) continue;
#ifndef _WIN32
    unlink(name);  // remove() is not safe in a signal handler
#else
    file_remove(name);
#endif
  }
}

FILE *out_open_temp(const char *path, char *tmp, size_t tmp_cap, unsigned *mode) {
  *mode = 0;
  FILE *f = nullptr;
  int err = EEXIST;
#ifndef _WIN32
  // The signals that end a process wait until the file is noted: a handler
  // that runs between the two would leave it behind.
  sigset_t ending, before;
  sigemptyset(&ending);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&ending, sig);
  const bool masked = pthread_sigmask(SIG_BLOCK, &ending, &before) == 0;
  struct unmask {
    bool on;
    sigset_t *set;
    ~unmask() {
      if (on) pthread_sigmask(SIG_SETMASK, set, nullptr);
    }
  } restore{masked, &before};
#endif
  for (int attempt = 0; attempt < k_tmp_attempts && !f; attempt++) {
    int k = snprintf(tmp, tmp_cap, "%s.tmp%lld", path, static_cast<long long>(rand()));
    if (k < 0 || static_cast<size_t>(k) >= tmp_cap) {
      set_error("output path too long: %s", path);
      return nullptr;
    }
    errno = 0;
    f = file_create_excl(tmp);
    if (!f) {
      err = errno;
      if (err != EEXIST) break;
    }
  }
  if (!f) {
    set_error("cannot open output file %s: %s", tmp, strerror(err));
    return nullptr;
  }
  temp_note(tmp);
#ifndef _WIN32
  // Created empty with the umask's mode; the owner's bits alone from here
  // until the rename.
  struct stat st;
  if (fstat(fileno(f), &st) == 0) {
    *mode = static_cast<unsigned>(st.st_mode & 07777);
    if (fchmod(fileno(f), st.st_mode & 0700) != 0) {
      // a file system without modes: nothing to hide the bytes from
    }
  }
#endif
  return f;
}

int out_commit(const char *tmp, const char *path) {
  if (file_replace(tmp, path) != 0) {
    int err = errno;
    file_remove(tmp);
    out_forget_temp(tmp);
    set_error("cannot rename %s to %s: %s", tmp, path, strerror(err));
    return 0;
  }
  out_forget_temp(tmp);
  return 1;
}

int out_ready(const overlay *ov, const char *output_path) {
  if (!output_path) {
    set_error("NULL output_path");
    return 0;
  }
  if (file_kind(output_path) == FILE_OTHER) {
    set_error("cannot write %s: not a regular file", output_path);
    return 0;
  }
  if (ov && ov->failed) {
    set_error("out of memory");
    return 0;
  }
  return 1;
}

int out_last_num(const new_object *objs, int count, int64_t *n) {
  for (int i = 0; i < count; i++) {
    if (objs[i].num < 1) {
      set_error("invalid object number %lld", static_cast<long long>(objs[i].num));
      return 0;
    }
    if (objs[i].num > *n) *n = objs[i].num;
  }
  if (*n > k_max_obj_num) {
    set_error("object number too large: %lld", static_cast<long long>(*n));
    return 0;
  }
  return 1;
}

static int write_whole(const pdf_doc *doc, const overlay *ov, const new_object *objs,
                       int count, const char *output_path) {
  if (!out_ready(ov, output_path)) return 0;
  if (count < 0 || (count > 0 && !objs)) count = 0;

  int64_t n = doc->max_num > 0 ? doc->max_num : 0;
  if (!out_last_num(objs, count, &n)) return 0;
  const obj_vec *ix = &doc->objects;
  const int64_t skip =
      ix->count > 0 && stale_linearization(doc, &ix->items[0]) ? 0 : -1;
  // The numbers written, in increasing order, with the offset and
  // generation of each; the table lists them in sections (see put_table).
  std::vector<int64_t> nums;
  // Where the numbers are dense (as they are in nearly every file), a
  // table from number to place gives both the order and the look-ups;
  // otherwise the numbers are sorted and searched.
  std::vector<int32_t> slot_of;
  const size_t listed = static_cast<size_t>(ix->count) + static_cast<size_t>(count);
  int64_t top = n;
  for (int64_t i = 0; i < ix->count; i++) top = std::max<int64_t>(top, ix->items[i].num);
  if (dense_enough(top, static_cast<int64_t>(listed)) && listed < INT32_MAX / 2) {
    vec_reserve_populated(&slot_of, static_cast<size_t>(top) + 1);
    slot_of.assign(static_cast<size_t>(top) + 1, -1);
    for (int64_t i = 0; i < ix->count; i++)
      if (i != skip && ix->items[i].num >= 1) slot_of[static_cast<size_t>(ix->items[i].num)] = 0;
    for (int i = 0; i < count; i++) slot_of[static_cast<size_t>(objs[i].num)] = 0;
    size_t found = 0;
    for (int32_t k : slot_of) found += k == 0;
    vec_reserve_populated(&nums, found + 1);
    for (size_t k = 1; k < slot_of.size(); k++)
      if (slot_of[k] == 0) {
        slot_of[k] = static_cast<int32_t>(nums.size());
        nums.push_back(static_cast<int64_t>(k));
      }
  } else {
    vec_reserve_populated(&nums, listed + 1);
    for (int64_t i = 0; i < ix->count; i++)
      if (i != skip && ix->items[i].num >= 1) nums.push_back(ix->items[i].num);
    for (int i = 0; i < count; i++) nums.push_back(objs[i].num);
    std::sort(nums.begin(), nums.end());
    nums.erase(std::unique(nums.begin(), nums.end()), nums.end());
  }
  // The table reaches /Size - 1 even when that object is not written (a
  // stale linearization dictionary): it is listed free.
  if (n > 0 && (nums.empty() || nums.back() < n)) nums.push_back(n);
  std::vector<int64_t> offs;
  std::vector<int32_t> gens;
  vec_reserve_populated(&offs, nums.size());
  vec_reserve_populated(&gens, nums.size());
  offs.assign(nums.size(), -1);
  gens.assign(nums.size(), 0);
  // A number's place in nums; for a number not there, a place that holds
  // another number or is past the end.
  auto slot = [&nums, &slot_of](int64_t num) {
    if (!slot_of.empty()) {
      if (num >= 0 && num < static_cast<int64_t>(slot_of.size()) &&
          slot_of[static_cast<size_t>(num)] >= 0)
        return static_cast<size_t>(slot_of[static_cast<size_t>(num)]);
      return !nums.empty() && nums.back() == num ? nums.size() - 1 : nums.size();
    }
    return static_cast<size_t>(std::lower_bound(nums.begin(), nums.end(), num) - nums.begin());
  };
  size_t table_lines = table_size(nums);

  // An upper bound of the output's size, checked before anything is
  // written: the input's bytes plus what the overlay and object streams
  // add, the new objects and the cross-reference table. (The size written
  // is checked again at the end.)
  sealed_parts sealed;
  if (doc->sec) seal(doc, ov, objs, count, &sealed);
  const bool sealing = doc->sec != nullptr;
  size_t total = 64;
  int ok = 1;
  std::string scratch;
  for (int64_t i = 0; i < ix->count && ok; i++) {
    if (i == skip) continue;
    const std::string *sb = sealing ? &sealed.bodies[static_cast<size_t>(i)] : nullptr;
    ok = add_size(&total, k_obj_overhead) &&
         add_size(&total, sb && !sb->empty() ? sb->size()
                                             : parts_bound(doc, ov, &ix->items[i]));
  }
  for (int i = 0; i < count && ok; i++) {
    size_t k = static_cast<size_t>(i);
    ok = add_size(&total, k_obj_overhead) &&
         add_size(&total, sealing ? sealed.new_dicts[k].size()
                          : objs[i].dict ? strlen(objs[i].dict) : 5) &&
         add_size(&total, sealing ? sealed.new_data[k].size()
                          : objs[i].data ? objs[i].len : 0);
  }
  if (sealing)
    ok = ok && add_size(&total, doc->sec->encrypt_entry.size() + doc->sec->id_entry.size());
  ok = ok && table_lines < SIZE_MAX / 40 && add_size(&total, table_lines * 40) &&
       add_size(&total, 256 + static_cast<size_t>(doc->id_len));
  if (!ok || total > static_cast<size_t>(k_max_table_offset)) {
    set_error("output file too large");
    return 0;
  }

  // The buffer for the small pieces, before anything is created.
  std::unique_ptr<char, free_deleter> chunk(static_cast<char *>(malloc(k_chunk)));
  if (!chunk) {
    set_error("out of memory assembling output file");
    return 0;
  }
  mem_populate(chunk.get(), k_chunk);

  // The output goes to a fresh name beside it, created exclusively (an
  // existing file or link of that name is never opened, followed or
  // truncated), in pieces: the output is never held whole in memory. Any
  // failure removes the partial file.
  char tmp[1024];
  unsigned tmp_mode;
  FILE *f = out_open_temp(output_path, tmp, sizeof tmp, &tmp_mode);
  if (!f) return 0;
  setvbuf(f, nullptr, _IONBF, 0);  // pieces go straight to write()
#ifdef __linux__
  // The file's blocks are allocated in one call (up to the bound; the
  // excess is cut off at the end): block by block, as the writes arrive,
  // costs the file system about a quarter more. Where the file system
  // cannot, the writes allocate as usual.
  // A call that fails part way may still have grown the file: its size is
  // set to what was written at the end in every case. Small files are
  // written in a few calls anyway, and there the allocation and the cut
  // cost more than they save (two more changes to the file's metadata).
  constexpr size_t k_prealloc_min = size_t(1) << 20;
  if (total >= k_prealloc_min && fallocate(fileno(f), 0, 0, static_cast<off_t>(total)) != 0) {
    // not supported here, or no room for the bound: the writes allocate
  }
#endif

  out_chunks oc;
  oc.f = f;
  oc.buf = chunk.get();
  oc.len = 0;
  oc.cap = k_chunk;
#ifndef _WIN32
  oc.n_iov = 0;
  oc.pending = 0;
#endif
  oc.pos = 0;
  oc.bad = 0;

  // The header declares the input's version (at least 1.4): the objects
  // kept may use what that version brought.
  int64_t version = doc->version >= 14 && doc->version <= 99 ? doc->version : 14;
  const char header[] = {'%', 'P', 'D', 'F', '-', static_cast<char>('0' + version / 10), '.',
                         static_cast<char>('0' + version % 10), '\n',
                         '%', '\xE2', '\xE3', '\xCF', '\xD3', '\n'};
  oc_bytes(&oc, header, sizeof header);

  for (int64_t i = 0; i < ix->count && !oc.bad; i++) {
    if (i == skip) continue;
    const pdf_obj *o = &ix->items[i];
#if defined(__GNUC__)
    // The bytes each object's parts are read from lie far apart in a
    // large input, one cache miss each: asked for a few objects ahead.
    if (i + 16 < ix->count) {
      const pdf_obj *ahead = &ix->items[i + 16];
      if (ahead->hdr_off >= 0 && ahead->hdr_off < doc->size)
        __builtin_prefetch(doc->data + ahead->hdr_off);
      if (ahead->dict_off > ahead->hdr_off && ahead->dict_off < doc->size)
        __builtin_prefetch(doc->data + ahead->dict_off);
    }
#endif
    int g = gen_written(o);
    uint64_t at = oc.pos;
    if (o->num >= 1 && at <= static_cast<uint64_t>(k_max_table_offset)) {
      size_t k = slot(o->num);
      offs[k] = static_cast<int64_t>(at);
      if (g) gens[k] = g;
    }
    obj_parts p;
    parts_of(doc, ov, o, &p, &scratch);
    if (sealing && !sealed.bodies[static_cast<size_t>(i)].empty()) {
      p.body = sealed.bodies[static_cast<size_t>(i)].data();
      p.body_len = sealed.bodies[static_cast<size_t>(i)].size();
      p.scratch = 0;
    }
    put_obj_header(&oc, o->num, g);
    if (p.scratch)
      oc_bytes_now(&oc, p.body, p.body_len);
    else
      oc_bytes(&oc, p.body, p.body_len);
    put_tail(&oc, p.stream, p.data, p.data_len);
  }
  for (int i = 0; i < count && !oc.bad; i++) {
    const new_object *o = &objs[i];
    uint64_t at = oc.pos;
    size_t k = slot(o->num);
    if (at <= static_cast<uint64_t>(k_max_table_offset)) offs[k] = static_cast<int64_t>(at);
    gens[k] = 0;
    put_obj_header(&oc, o->num, 0);
    if (sealing) {
      const std::string &sd = sealed.new_dicts[static_cast<size_t>(i)];
      const std::vector<uint8_t> &data = sealed.new_data[static_cast<size_t>(i)];
      oc_bytes(&oc, sd.data(), sd.size());
      put_tail(&oc, o->has_stream, reinterpret_cast<const char *>(data.data()), data.size());
      continue;
    }
    oc_str(&oc, o->dict ? o->dict : "<< >>");
    put_tail(&oc, o->has_stream, reinterpret_cast<const char *>(o->data),
             o->data ? o->len : 0);
  }

  uint64_t xref_at = oc.pos;
  put_table(&oc, nums, offs, gens);
  auto gen_of = [&](int64_t num) {
    size_t k = slot(num);
    return k < nums.size() && nums[k] == num ? gens[k] : 0;
  };
  fixed_text t;
  ft_init(&t);
  ft_str(&t, "trailer\n<< /Size ");
  ft_num(&t, static_cast<long long>(n) + 1);
  ft_str(&t, " /Root ");
  ft_num(&t, doc->root);
  ft_str(&t, " ");
  ft_num(&t, gen_of(doc->root));
  ft_str(&t, " R");
  if (doc->info > 0) {
    ft_str(&t, " /Info ");
    ft_num(&t, doc->info);
    ft_str(&t, " ");
    ft_num(&t, gen_of(doc->info));
    ft_str(&t, " R");
  }
  oc_bytes(&oc, t.s, t.n);
  if (sealing) {
    // The same handler dictionary and the /ID its key was made with: the
    // output opens with the input's passwords and permissions.
    std::string entries = " /Encrypt " + doc->sec->encrypt_entry;
    if (!doc->sec->id_entry.empty()) entries += " /ID " + doc->sec->id_entry;
    oc_bytes_now(&oc, entries.data(), entries.size());
  } else if (doc->id_len > 0 && doc->id_off >= 0 &&
      static_cast<int64_t>(doc->id_off) + doc->id_len <= doc->size) {
    // The input's /ID, both strings as they were: the document is the same
    // one, and workflows recognise it by the first.
    oc_bytes(&oc, " /ID ", 5);
    oc_bytes_now(&oc, doc->data + doc->id_off, static_cast<size_t>(doc->id_len));
  }
  ft_init(&t);
  ft_str(&t, " >>\nstartxref\n");
  ft_num(&t, static_cast<long long>(xref_at));
  ft_str(&t, "\n%%EOF\n");
  oc_bytes(&oc, t.s, t.n);
  oc_flush(&oc);
  // `bad`: the errno of the first failure, named in the message.
  int bad = oc.bad;
  if (xref_at > static_cast<uint64_t>(k_max_table_offset)) bad = EFBIG;
#ifdef __linux__
  struct stat st;
  if (!bad && (fstat(fileno(f), &st) != 0 ||
               (static_cast<uint64_t>(st.st_size) != oc.pos &&
                ftruncate(fileno(f), static_cast<off_t>(oc.pos)) != 0)))
    bad = errno ? errno : EIO;
#endif
  if ((fflush(f) != 0 || ferror(f)) && !bad) bad = errno ? errno : EIO;
  if (!bad) out_give_mode(f, output_path, tmp_mode);
  // A file system may report a failed write only when the file is closed.
  if (fclose(f) != 0 && !bad) bad = errno ? errno : EIO;
  // A changed input is named as the cause of any failure: writing from a
  // vanished page of a mapped input fails with EFAULT.
  bool changed = !doc_input_intact(doc);
  if (bad || changed) {
    file_remove(tmp);
    out_forget_temp(tmp);
    if (changed)
      ;  // the message is set
    else if (xref_at > static_cast<uint64_t>(k_max_table_offset))
      set_error("output file too large");
    else
      set_error("write error on %s: %s", output_path, strerror(bad));
    return 0;
  }
  return out_commit(tmp, output_path);
}

// A failure of any kind, when the input changed under a mapping, is named
// as that (its bytes may have been zeros by then).
int doc_write(const pdf_doc *doc, const overlay *ov, const new_object *objs,
              int count, const char *output_path) {
  int ok = write_whole(doc, ov, objs, count, output_path);
  if (!ok) doc_input_intact(doc);
  return ok;
}
