// The page edits of a stamp (see page_edit.h).

#include "page_edit.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "pdf_syntax.h"

namespace {

struct free_deleter {
  void operator()(void *p) const { free(p); }
};
using c_str_ptr = std::unique_ptr<char, free_deleter>;

// The entries of an array object, when `num` names one ("[4 0 R 5 0 R]");
// NULL otherwise. A /Contents reference may name such an array, which must
// be spliced, not nested, into the new /Contents array.
char *array_object_entries(const pdf_doc *doc, int64_t num) {
  const pdf_obj *o = obj_find_head(&doc->objects, num);
  const char *t;
  int64_t p, end;
  if (!o || o->has_stream || !obj_value_range(doc->data, doc->size, o, &t, &p, &end))
    return nullptr;
  syn_token k;
  if (syn_next(t, p, end, &k) != SYN_ARRAY) return nullptr;
  int64_t close = syn_value_end(t, k.start, end);
  if (close < 0) return nullptr;
  char *out = dict_copy(t + k.end, static_cast<size_t>(close - 1 - k.end));
  if (!out) throw std::bad_alloc();
  return out;
}

// The page text text[0, len) with its /Contents entry replaced by `entry`,
// as a new string; NULL (with the error text set) when the page's
// dictionary does not close.
char *replace_contents(const char *text, int64_t len, const char *entry) {
  char *copy = copy_bytes_or_throw(text, static_cast<size_t>(len));
  strip_dict_entry(copy, "Contents");
  char *res = dict_append_before_close(copy, entry);
  if (res == copy) {
    // Out of memory only when the text it failed to extend was whole: taking
    // the entries out of a broken page can leave one that is not.
    const bool whole = dict_whole(copy, static_cast<int64_t>(strlen(copy)));
    free(copy);
    if (whole) throw std::bad_alloc();
    set_error("the page dictionary does not close");
    return nullptr;
  }
  return res;
}

// replace_contents done in one copy for the common page: `ce` its only
// /Contents entry, whose value ends where a word cannot go on (so that
// taking the entry out joins no two words), and the text (without zero
// bytes) one dictionary. The same text as replace_contents, the overlay's
// text (ov_text_alloc; `ov` NULL: malloc'ed); NULL when the page is not of
// that kind (the caller takes the general way).
char *contents_replaced(overlay *ov, const char *text, int64_t len, const dict_entry &ce,
                        const char *entry) {
  if (ce.key < 0 || ce.val_end < 0 || ce.val_end > len) return nullptr;
  const int64_t to = ce.val_end;
  if (to < len && !is_pdf_ws(static_cast<unsigned char>(text[to])) &&
      !strchr("()<>[]{}/%", text[to]))
    return nullptr;
  dict_iter it;
  it.t = text;
  it.pos = to;
  it.end = len;
  it.done = 0;
  dict_entry e;
  if (dict_may_name(text, to, len, "Contents"))
    while (dict_iter_next(&it, &e))
      if (dict_entry_is(text, &e, "Contents")) return nullptr;
  int64_t from = ce.key;
  if (from > 0 && (text[from - 1] == ' ' || text[from - 1] == '\t')) from--;
  // The entry is a whole value at the top level: the closing scan leaves
  // it in the state it entered it, so the text without it closes where the
  // text does, the entry's length sooner.
  const int64_t tc = dict_close_at(text, 0, len);
  if (tc < to || syn_skip(text, tc + 2, len) < len) return nullptr;
  const int64_t c = tc - (to - from);
  const size_t elen = strlen(entry);
  const size_t n = static_cast<size_t>(c) + elen + 4;
  char *out = ov ? ov_text_alloc(ov, n) : static_cast<char *>(malloc(n));
  if (!out) throw std::bad_alloc();
  memcpy(out, text, static_cast<size_t>(from));
  memcpy(out + from, text + to, static_cast<size_t>(tc - to));
  memcpy(out + c, entry, elen);
  memcpy(out + c + elen, " >>", 4);
  return out;
}

// " /Contents [ open 0 R <middle> after 0 R ]", assembled in place: the
// common page's entry, made once per page.
std::string contents_entry(int64_t open_num, const char *middle, size_t n,
                           int64_t after_num) {
  fixed_text a, b;
  ft_init(&a);
  ft_num(&a, open_num);
  ft_init(&b);
  ft_num(&b, after_num);
  static const char k_head[] = " /Contents [ ";
  static const char k_ref[] = " 0 R ";
  static const char k_tail[] = " 0 R ]";
  const size_t head = sizeof k_head - 1, ref = sizeof k_ref - 1, tail = sizeof k_tail - 1;
  std::string e;
  e.resize(head + a.n + ref + n + 1 + b.n + tail);
  char *p = &e[0];
  auto put = [&p](const char *s, size_t k) {
    if (k) memcpy(p, s, k);
    p += k;
  };
  put(k_head, head);
  put(a.s, a.n);
  put(k_ref, ref);
  put(middle, n);
  put(" ", 1);
  put(b.s, b.n);
  put(k_tail, tail);
  return e;
}

// The /Contents entry that replaces the page's entry `ce` (of
// text[0, len), with a value): " /Contents [ open_num 0 R <the page's
// content> after_num 0 R ]", or " /Contents alone_num 0 R" when the value
// names no content (null, a missing object). 1, or 0 with the error text
// set when the value is neither a stream nor an array.
int contents_new_entry(const pdf_doc *doc, const char *text, int64_t len,
                       const dict_entry &ce, int64_t open_num, int64_t after_num,
                       int64_t alone_num, std::string *entry) {
  auto alone = [&] {
    *entry = " /Contents ";
    str_append_num(entry, alone_num);
    *entry += " 0 R";
    return 1;
  };
  syn_token v;
  int kind = syn_next(text, ce.val, len, &v);
  if (kind == SYN_ARRAY) {
    if (ce.val_end < 0) {
      set_error("the page's /Contents array does not close");
      return 0;
    }
    *entry = contents_entry(open_num, text + v.end,
                            static_cast<size_t>(ce.val_end - 1 - v.end), after_num);
    return 1;
  }
  int64_t num, gen;
  if (syn_ref_at(text, ce.val, len, &num, &gen)) {
    if (gen > 65534) gen = 0;
    const pdf_obj *o = num > 0 ? obj_find_head(&doc->objects, num) : nullptr;
    c_str_ptr spliced(o ? array_object_entries(doc, num) : nullptr);
    // A reference to a missing object is null; an object that is neither a
    // stream nor an array of them (null, a packed object, a plain
    // dictionary) is no content either: the page has none of its own.
    if (!o || (!o->has_stream && !spliced)) return alone();
    if (spliced) {
      *entry = contents_entry(open_num, spliced.get(), strlen(spliced.get()), after_num);
      return 1;
    }
    // The common page: one content stream, "num gen R" between the two.
    fixed_text ref;
    ft_init(&ref);
    ft_num(&ref, num);
    FT_LIT(&ref, " ");
    ft_num(&ref, gen);
    FT_LIT(&ref, " R");
    *entry = contents_entry(open_num, ref.s, ref.n, after_num);
    return 1;
  }
  if (syn_word_is(text, &v, "null")) return alone();
  set_error("the page's /Contents is neither a stream nor an array");
  return 0;
}

}  // namespace

char *pe_rewrite_contents(const pdf_doc *doc, const char *page, int64_t page_len,
                          int64_t open_num, int64_t after_num, int64_t alone_num) {
  // Zero bytes (in strings, or as whitespace) are written as escapes or
  // spaces first: the edited text is a C string.
  c_str_ptr clean;
  const char *text = page;
  int64_t len = page_len;
  if (memchr(page, 0, static_cast<size_t>(page_len))) {
    clean.reset(dict_copy(page, static_cast<size_t>(page_len)));
    if (!clean) throw std::bad_alloc();
    text = clean.get();
    len = static_cast<int64_t>(strlen(text));
  }
  std::string entry;
  dict_entry ce;
  if (!dict_get(text, 0, len, "Contents", &ce) || ce.val < 0) {
    std::string alone = " /Contents ";
    str_append_num(&alone, alone_num);
    alone += " 0 R";
    return replace_contents(text, len, alone.c_str());
  }
  if (!contents_new_entry(doc, text, len, ce, open_num, after_num, alone_num, &entry))
    return nullptr;
  // The page's text is borrowed (maybe an overlay text the caller replaces
  // with the result); the general way edits a copy.
  char *out = contents_replaced(nullptr, text, len, ce, entry.c_str());
  return out ? out : replace_contents(text, len, entry.c_str());
}

int pe_stamp_common(const pdf_doc *doc, overlay *ov, int64_t page_num, const char *t,
                    int64_t len, const res_entry *adds, int n, int64_t open_num,
                    int64_t after_num, int64_t alone_num) {
  if (n <= 0 || !t || len <= 0 || memchr(t, 0, static_cast<size_t>(len))) return 0;
  const int64_t open = syn_skip(t, 0, len);
  if (open + 1 >= len || t[open] != '<' || t[open + 1] != '<') return 0;
  // One pass over the page's entries finds the first /Resources (as the
  // merge's lookup does) and the /Contents, which must be the only one.
  dict_iter it;
  dict_iter_init(&it, t, 0, len);
  dict_entry e, res, con;
  bool have_res = false, have_con = false;
  while (dict_iter_next(&it, &e)) {
    // A key spelt with '#' escapes may be longer than the name it spells.
    const int64_t kl = e.key_end - e.key;
    const bool may = kl == 10 || kl == 9 || memchr(t + e.key, '#', static_cast<size_t>(kl));
    if (!may) continue;
    if (!have_res && dict_entry_is(t, &e, "Resources")) {
      res = e;
      have_res = true;
    } else if (dict_entry_is(t, &e, "Contents")) {
      if (have_con) return 0;
      con = e;
      have_con = true;
    }
  }
  if (!have_res || !have_con || con.val < 0 || res.val_end < 0) return 0;
  res_page_plan plan;
  if (!res_page_plan_make(doc, ov, page_num, t, len, &res, adds, n, &plan) ||
      res.val_end != plan.close + 2)
    return 0;
  std::string entry;
  // A value that is no content: the general way says so, in its order.
  if (!contents_new_entry(doc, t, len, con, open_num, after_num, alone_num, &entry))
    return 0;
  // The page text with the resources merged, as the one-edit merge makes
  // it: the new categories replace the close of the resources (a whole
  // value at the top level, so every entry keeps its place, those after it
  // shifted), and the /Contents entry's place in that text.
  c_str_ptr merged;
  const char *t1 = t;
  int64_t len1 = len;
  dict_entry c1 = con;
  if (plan.first_new >= 0) {
    const int64_t alen = static_cast<int64_t>(plan.added_len);
    // The merge's own limit on an edited text (splice's).
    if (len - 2 + alen > static_cast<int64_t>(INT32_MAX) - 16) return 0;
    len1 = len - 2 + alen;
    merged.reset(static_cast<char *>(malloc(static_cast<size_t>(len1) + 1)));
    if (!merged) throw std::bad_alloc();
    char *m = merged.get();
    memcpy(m, t, static_cast<size_t>(plan.close));
    memcpy(m + plan.close, plan.added, static_cast<size_t>(alen));
    memcpy(m + plan.close + alen, t + plan.close + 2,
           static_cast<size_t>(len - plan.close - 2));
    m[len1] = 0;
    t1 = m;
    if (con.key > plan.close) {
      const int64_t d = alen - 2;
      c1.key += d;
      c1.key_end += d;
      c1.val += d;
      c1.val_end += d;
    }
  }
  char *out = contents_replaced(ov, t1, len1, c1, entry.c_str());
  if (!out) return 0;
  return res_page_plan_apply(doc, ov, page_num, adds, &plan, out);
}
