// The exported functions: argument checks, the text and image watermark
// operations, the page count, and the page stamping procedure that both
// watermark kinds share (stamp streams, resources, the /Contents rewrite).
//
// Every export runs inside one trap: no exception crosses the C boundary; a
// std::bad_alloc becomes "out of memory" and the call returns 0. Numbers are
// formatted with the "C" numeric locale whatever the host has set, since a
// decimal comma would corrupt the PDF text.
//
// Process-wide state: the notice of the last call (g_notice); the error text
// lives in pdf_parse.
#include "reraruvozari.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <clocale>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <map>
#include <string>
#include <unordered_set>
#include <vector>

#include <locale.h>

#include "flate.h"
#include "pdf_parse.h"
#include "pdf_unicode.h"
#include "pdf_write.h"
#include "png.h"
#include "layout.h"
#include "pdf_marks.h"
#include "pdf_remove.h"
#include "stamp_options.h"
#include "pdf_incr.h"
#include "page_edit.h"

// What the last successful call has to say besides its result.
static std::string g_notice;

namespace {

// Advance widths of Helvetica-Bold in thousandths of an em, bytes 32..126;
// every other byte is 0 and measured as 0.6 em.
const int16_t helvetica_bold_widths[256] = {
    0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,
    0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,
    0,   0,   0,   0,   278, 333, 474, 556, 556, 889, 722, 238, 333, 333,
    389, 584, 278, 333, 278, 278, 556, 556, 556, 556, 556, 556, 556, 556,
    556, 556, 333, 333, 584, 584, 584, 611, 975, 722, 722, 722, 722, 667,
    611, 778, 722, 278, 556, 722, 611, 833, 722, 778, 667, 778, 722, 667,
    611, 722, 667, 944, 667, 667, 611, 333, 278, 333, 584, 556, 333, 556,
    611, 556, 611, 556, 333, 611, 611, 278, 278, 556, 278, 889, 611, 611,
    611, 611, 389, 556, 333, 611, 556, 778, 556, 556, 500, 389, 280, 389,
    584, 0};

// Switches the calling thread to the "C" numeric locale for one call.
struct c_numeric_locale {
#if defined(_WIN32)
  int old_mode;
  char *old_name;
  c_numeric_locale() {
    old_mode = _configthreadlocale(_ENABLE_PER_THREAD_LOCALE);
    const char *cur = setlocale(LC_NUMERIC, nullptr);
    old_name = cur ? strdup(cur) : nullptr;
    setlocale(LC_NUMERIC, "C");
  }
  ~c_numeric_locale() {
    if (old_name) setlocale(LC_NUMERIC, old_name);
    free(old_name);
    _configthreadlocale(old_mode);
  }
#else
  locale_t c_loc;
  locale_t old_loc;
  c_numeric_locale() {
    c_loc = newlocale(LC_NUMERIC_MASK, "C", (locale_t)0);
    old_loc = c_loc ? uselocale(c_loc) : (locale_t)0;
  }
  ~c_numeric_locale() {
    if (c_loc) {
      uselocale(old_loc);
      freelocale(c_loc);
    }
  }
#endif
  c_numeric_locale(const c_numeric_locale &) = delete;
  c_numeric_locale &operator=(const c_numeric_locale &) = delete;
};

// Runs an export's body: the "C" numeric locale, and no exception escapes.
template <class F>
int trap(F body) RERARUVOZARI_NOEXCEPT {
  try {
    g_notice.clear();
    c_numeric_locale loc;
    return body();
  } catch (const std::bad_alloc &) {
    set_error("out of memory");
  } catch (...) {
    set_error("internal error");
  }
  return 0;
}

struct free_deleter {
  void operator()(void *p) const { free(p); }
};
template <class T>
using c_ptr = std::unique_ptr<T, free_deleter>;

// Frees a byte buffer when the scope ends.
struct buf_guard {
  byte_buf *b;
  ~buf_guard() { buf_free(b); }
};

// Everything one stamping operation owns; released on every path. Buffers
// in `borrowed` are not freed through the objects that point at them: the
// image operation keeps ownership of its two zlib streams, and the stamp
// streams of pages with the same box share one dictionary and one data
// buffer (held in `pool`, freed once).
struct op_state {
  pdf_doc doc{};
  overlay ov{};
  new_object *objs = nullptr;
  int count = 0;
  int cap = 0;
  std::unordered_set<const void *> borrowed;
  std::vector<void *> pool;
  res_memo memo;
  // The classic stamp's resource names, with a suffix when the document
  // already has names of the kind (it was stamped before).
  std::string gs_name = "KpWmGS", font_name = "KpWmF1", image_name = "KpWmIm";
  // An incremental update's file, begun as the call starts (its copy of
  // the input runs beside the loading and the page edits).
  upd_file early;

  op_state() { ov_init(&ov); }
  ~op_state() {
    upd_cancel(&early);  // an update not written: its copy is stopped
    for (int i = 0; i < count; i++) {
      if (!borrowed.count(objs[i].dict)) ov_text_free(&ov, objs[i].dict);
      if (!borrowed.count(objs[i].data)) free(objs[i].data);
    }
    for (void *p : pool) free(p);
    arr_free(objs);
    ov_free(&ov);
    doc_free(&doc);
  }
  op_state(const op_state &) = delete;
  op_state &operator=(const op_state &) = delete;
};

// Appends a new object whose dictionary is formatted here; 0 when memory
// runs out (the stream bytes are freed then).
int push_new(op_state *st, int64_t num, const char *dict, uint8_t *data,
             size_t len, int has_stream) {
  char *d = copy_bytes(dict, strlen(dict));
  if (!d) {
    free(data);
    return 0;
  }
  return push_obj(&st->objs, &st->count, &st->cap, num, d, data, len,
                  has_stream);
}

// Appends a stream object that owns its dictionary and bytes (both freed
// on failure).
int push_new_owned(op_state *st, int64_t num, char *dict, uint8_t *data,
                   size_t len) {
  return push_obj(&st->objs, &st->count, &st->cap, num, dict, data, len, 1);
}

// Appends a stream object whose dictionary and bytes are in `borrowed`:
// the record does not own them, and a failure leaves them alone.
int push_borrowed(op_state *st, int64_t num, char *dict, uint8_t *data,
                  size_t len) {
  if (!push_obj(&st->objs, &st->count, &st->cap, num, nullptr, nullptr, 0, 1))
    return 0;
  new_object *o = &st->objs[st->count - 1];
  o->dict = dict;
  o->data = data;
  o->len = len;
  return 1;
}

// Appends a stream object whose bytes stay owned by the caller.
int push_kept(op_state *st, int64_t num, const char *dict, uint8_t *data,
              size_t len) {
  char *d = copy_bytes(dict, strlen(dict));
  if (!d) return 0;
  if (!push_obj(&st->objs, &st->count, &st->cap, num, d, nullptr, 0, 1))
    return 0;
  st->borrowed.insert(data);
  st->objs[st->count - 1].data = data;
  st->objs[st->count - 1].len = len;
  return 1;
}

// A stamp stream that many pages share: its dictionary and data.
struct shared_stream {
  char *dict;
  uint8_t *data;
  size_t len;
  // The marked stamp's dictionary of the stream drawn alone, made at its
  // first use (in the operation's pool): the same for every page.
  char *marked_alone;
};

// Builds `prefix` + `body` + `suffix` and its dictionary into buffers owned
// by the operation's pool. 0 when memory runs out.
int make_shared_stream(op_state *st, const char *prefix, const char *body,
                       size_t body_len, const char *suffix, shared_stream *out) {
  size_t a = strlen(prefix), c = strlen(suffix);
  size_t len = a + body_len + c;
  fixed_text dict;
  ft_init(&dict);
  ft_str(&dict, "<< /Length ");
  ft_num(&dict, static_cast<long long>(len));
  ft_str(&dict, " >>");
  vec_reserve_more(&st->pool, 2);
  uint8_t *data = static_cast<uint8_t *>(malloc(len ? len : 1));
  if (!data) return 0;
  st->pool.push_back(data);
  char *d = copy_bytes(dict.s, dict.n);
  if (!d) return 0;
  st->pool.push_back(d);
  st->borrowed.insert(data);
  st->borrowed.insert(d);
  memcpy(data, prefix, a);
  memcpy(data + a, body, body_len);
  memcpy(data + a + body_len, suffix, c);
  out->dict = d;
  out->data = data;
  out->len = len;
  out->marked_alone = nullptr;
  return 1;
}

// The marker of a marked stamp's streams (the extended calls): `ocg` is
// its group, 0 for none.
struct stamp_mark {
  int64_t ocg;
};

// The dictionary of a marked stamp stream: its length and the marker with
// the stream's kind, its group and, for the stream beside the content, the
// /Contents value the page had (`was`, NULL when it had none). A page's
// own dictionary is the overlay's text (`ov`, see ov_text_alloc); NULL:
// malloc'ed.
char *marked_dict(overlay *ov, size_t len, const char *kind, int64_t ocg,
                  const std::string *was) {
  // Most dictionaries fit a fixed buffer: one allocation, the result's.
  fixed_text f;
  ft_init(&f);
  FT_LIT(&f, "<< /Length ");
  ft_num(&f, static_cast<long long>(len));
  FT_LIT(&f, " /");
  ft_str(&f, k_mk_marker);
  FT_LIT(&f, " << /Kind /");
  ft_str(&f, kind);
  if (ocg > 0) {
    FT_LIT(&f, " /OC ");
    ft_num(&f, ocg);
    FT_LIT(&f, " 0 R");
  }
  if (was) {
    FT_LIT(&f, " /Was ");
    ft_bytes(&f, was->data(), was->size());
  }
  FT_LIT(&f, " >> >>");
  if (f.ok && (!was || !memchr(was->data(), 0, was->size()))) {
    if (!ov) return copy_bytes_or_throw(f.s, f.n);
    char *t = ov_text_alloc(ov, f.n + 1);
    if (!t) throw std::bad_alloc();
    memcpy(t, f.s, f.n);
    t[f.n] = 0;
    return t;
  }
  std::string d;
  d.reserve(64 + (was ? was->size() : 0));
  d += "<< /Length ";
  str_append_num(&d, static_cast<long long>(len));
  d += " /";
  d += k_mk_marker;
  d += " << /Kind /";
  d += kind;
  if (ocg > 0) {
    d += " /OC ";
    str_append_num(&d, ocg);
    d += " 0 R";
  }
  if (was) {
    d += " /Was ";
    d += *was;
  }
  d += " >> >>";
  return copy_bytes_or_throw(d.data(), d.size());
}

// Pushes a stream whose dictionary is owned by the record and whose bytes
// are shared; the dictionary is freed when the push fails.
int push_marked(op_state *st, int64_t num, char *dict, const shared_stream *s) {
  if (!push_borrowed(st, num, dict, s->data, s->len)) {
    ov_text_free(&st->ov, dict);
    return 0;
  }
  return 1;
}

// Stamps one page: two stamp streams (beside the content, alone), the
// resource entries and the graphics state merged into its resources, and its
// /Contents rewritten: [first, content, after], or [after, content, first]
// when the stamp goes under. `mark` NULL: the classic unmarked streams.
// 1 on success, 0 when memory runs out, -1 with the reason in the error
// text when the page cannot be stamped.
int stamp_page(op_state *st, const page_info *page, const shared_stream *after,
               shared_stream *alone, const res_entry *entries,
               int n_entries, int64_t first_num, int under, int64_t *counter,
               const stamp_mark *mark) {
  int64_t after_num = *counter + 1;
  int64_t alone_num = *counter + 2;
  *counter += 2;
  // The page's text as it stands (borrowed until the overlay changes).
  const char *view = nullptr;
  int64_t view_len = 0;
  const bool has_view = dict_text_view(&st->doc, &st->ov, page->num, &view, &view_len);
  if (mark) {
    std::string was;
    const char *pt = view;
    int64_t pl = view_len, ks, vs, ve;
    // Up to a zero byte.
    bool has_was = has_view;
    if (has_was) {
      const void *nul = memchr(pt, 0, static_cast<size_t>(pl));
      if (nul) pl = static_cast<int64_t>(static_cast<const char *>(nul) - pt);
      has_was = mk_dict_find(pt, 0, pl, "Contents", &ks, &vs, &ve) != 0;
    }
    if (has_was) was.assign(pt + vs, static_cast<size_t>(ve - vs));
    if (!alone->marked_alone) {
      c_ptr<char> d(marked_dict(nullptr, alone->len, "Alone", mark->ocg, nullptr));
      st->pool.push_back(d.get());
      alone->marked_alone = d.release();
      st->borrowed.insert(alone->marked_alone);
    }
    if (!push_marked(st, after_num,
                     marked_dict(&st->ov, after->len, under ? "Under" : "Over", mark->ocg,
                                 has_was ? &was : nullptr),
                     after) ||
        !push_borrowed(st, alone_num, alone->marked_alone, alone->data, alone->len))
      return 0;
  } else if (!push_borrowed(st, after_num, after->dict, after->data, after->len) ||
             !push_borrowed(st, alone_num, alone->dict, alone->data, alone->len)) {
    return 0;
  }
  // The dictionary editors keep a text unchanged when they cannot allocate
  // its new version, as they do with a text they cannot edit; only errno
  // tells the two apart, and a page half stamped is no success.
  errno = 0;
  const int64_t open_num = under ? after_num : first_num;
  const int64_t close_num = under ? first_num : after_num;
  const int common =
      has_view ? pe_stamp_common(&st->doc, &st->ov, page->num, view, view_len, entries,
                                 n_entries, open_num, close_num, alone_num)
               : 0;
  if (common < 0) return -1;
  if (common == 0) {
    if (!res_merge_all(&st->doc, &st->ov, page, entries, n_entries, &st->memo)) return -1;
    const pdf_obj *o = obj_find(&st->doc.objects, page->num);
    const char *t;
    int64_t tl;
    // Without a dictionary there is nothing to rewrite: the page stays as
    // it was. The text is borrowed until ov_add replaces it.
    if (o && dict_text_view(&st->doc, &st->ov, o->num, &t, &tl)) {
      char *text = pe_rewrite_contents(&st->doc, t, tl, open_num, close_num, alone_num);
      if (!text) return -1;
      ov_add(&st->ov, page->num, text);
    }
  }
  return errno == ENOMEM ? 0 : 1;
}

// The visible page: the CropBox (the page's own, or else one it inherits)
// clipped to the MediaBox, as viewers show it (a CropBox reaching past the
// MediaBox would put the stamp off the page), or the MediaBox when there is
// no CropBox or they do not overlap.
void page_box(const page_info *pg, double *x0, double *y0, double *w,
              double *h) {
  const bool own = pg->has_crop != 0;
  const double x = own ? pg->crop_x : pg->inh_crop_x, y = own ? pg->crop_y : pg->inh_crop_y;
  const double cw = own ? pg->crop_w : pg->inh_crop_w, ch = own ? pg->crop_h : pg->inh_crop_h;
  double cx0 = std::max(x, pg->media_x);
  double cy0 = std::max(y, pg->media_y);
  double cx1 = std::min(x + cw, pg->media_x + pg->media_w);
  double cy1 = std::min(y + ch, pg->media_y + pg->media_h);
  if ((own || pg->has_inh_crop) && cx1 > cx0 && cy1 > cy0) {
    *x0 = cx0;
    *y0 = cy0;
    *w = cx1 - cx0;
    *h = cy1 - cy0;
  } else {
    *x0 = pg->media_x;
    *y0 = pg->media_y;
    *w = pg->media_w;
    *h = pg->media_h;
  }
}

// The graphics state (H + 1) with the opacity, first of the new objects.
int push_gstate(op_state *st, int64_t num, float opacity) {
  char dict[128];
  snprintf(dict, sizeof dict, "<< /Type /ExtGState /ca %.4f /CA %.4f >>",
           static_cast<double>(opacity), static_cast<double>(opacity));
  return push_new(st, num, dict, nullptr, 0, 0);
}

// The opening stream "q\n" that saves the page's state before its content;
// a marked one says what it is.
int push_opening(op_state *st, int64_t num, bool marked) {
  uint8_t *q = static_cast<uint8_t *>(malloc(2));
  if (!q) return 0;
  q[0] = 'q';
  q[1] = '\n';
  return push_new(st, num,
                  marked ? "<< /Length 2 /KpWm << /Kind /Open >> >>" : "<< /Length 2 >>",
                  q, 2, 1);
}

// The closing stream "Q\n" that ends a page's content drawn over a stamp.
int push_closing(op_state *st, int64_t num, bool marked) {
  uint8_t *q = static_cast<uint8_t *>(malloc(2));
  if (!q) return 0;
  q[0] = 'Q';
  q[1] = '\n';
  return push_new(st, num,
                  marked ? "<< /Length 2 /KpWm << /Kind /Close >> >>" : "<< /Length 2 >>",
                  q, 2, 1);
}

int alloc_new_objects(op_state *st, int64_t cap) {
  if (cap > 0x3fffffff) cap = 0x3fffffff;
  // Nearly all of it is filled (two objects per page): populated at once.
  st->objs = static_cast<new_object *>(
      arr_realloc(nullptr, 0, static_cast<size_t>(cap) * sizeof(new_object), true));
  if (!st->objs) {
    set_error("out of memory allocating new objects");
    return 0;
  }
  st->cap = static_cast<int>(cap);
  return 1;
}

// A resources dictionary naming the entries, by category.
std::string resources_text(const res_entry *entries, int n) {
  std::string r = "<<";
  for (const char *category : {"Font", "XObject"}) {
    bool open = false;
    for (int i = 0; i < n; i++) {
      if (strcmp(entries[i].category, category) != 0) continue;
      if (!open) r += std::string(" /") + category + " <<";
      open = true;
      r += std::string(" /") + entries[i].name + " ";
      str_append_num(&r, entries[i].num);
      r += " 0 R";
    }
    if (open) r += " >>";
  }
  return r + " >>";
}

// Pushes the form object `num` that draws `body` (its bytes are copied)
// within the visible box. 0 when memory runs out.
int push_form(op_state *st, const double *box, const std::string &resources,
              const byte_buf *body, int64_t num) {
  char head[256];
  snprintf(head, sizeof head,
           "<< /Type /XObject /Subtype /Form /BBox [%.2f %.2f %.2f %.2f] "
           "/Resources ",
           box[0], box[1], box[0] + box[2], box[1] + box[3]);
  std::string dict = head + resources + " /Length ";
  str_append_num(&dict, static_cast<long long>(body->len));
  dict += " >>";
  char *d = copy_bytes(dict.data(), dict.size());
  uint8_t *data = static_cast<uint8_t *>(malloc(body->len ? body->len : 1));
  if (!d || !data) {
    free(d);
    free(data);
    return 0;
  }
  if (body->len) memcpy(data, body->data, body->len);  // an empty body may have no storage
  return push_new_owned(st, num, d, data, body->len);
}

// Whether page n of `count` is stamped: the classic range, or the list.
bool page_wanted(const stamp_options *o, int n, int count) {
  if (o->classic) {
    int last = (o->end_page == -1 || o->end_page > count) ? count : o->end_page;
    return n >= o->start_page && n <= last;
  }
  return so_page_selected(o->pages, n, count);
}

// The error of stamp_page's result r (0: memory ran out, -1: the page
// cannot be stamped, the reason in the error text) for page n; returns 0.
int page_failed(const op_state *st, int r, int n) {
  // A page of a mapped input that another process cut or rewrote reads
  // wrong: that is the fault to tell.
  if (!doc_input_intact(&st->doc)) return 0;
  if (r < 0) {
    std::string why = get_error();
    set_error("cannot stamp page %d: %s", n, why.c_str());
  } else {
    set_error("out of memory stamping page %d", n);
  }
  return 0;
}

// Runs the page loop with the same body for every page; `body_of` builds
// the body for one page into `out` from the page's visible box and its
// displayed rotation alone, so a page whose box and rotation have the same
// bits as the previous page's reuses its body, and its two stamp streams
// share their bytes with that page's. `first_num` is the stream shared by
// every page: "q" before the page's content, or "Q" after it when the stamp
// goes under. *stamped counts the pages the options selected. With `mark`
// the stamp is a marked watermark artifact, in its group when it has one.
template <class BodyFn>
int stamp_pages(op_state *st, const stamp_options *o, const res_entry *entries,
                int n_entries, int64_t gs_num, int64_t first_num,
                int64_t *counter, int *stamped, const stamp_mark *mark,
                BodyFn body_of) {
  // Marked: the artifact (in its group) holds everything the stamp draws.
  const std::string open = mark ? mk_marks_open(mark->ocg) : std::string();
  const std::string close = mark ? mk_marks_close(mark->ocg) : std::string();
  // The extended calls name their graphics state after its object number,
  // new in every output, so that stamping a stamped file again cannot meet
  // a name already in use.
  const std::string gs_name =
      o->classic ? st->gs_name : "KpWmGS" + std::to_string(gs_num);
  const std::string q_gs = open + "q\n/" + gs_name + " gs\n";
  const std::string over_head = "Q\n" + q_gs;
  const std::string tail = "Q\n" + close;
  const std::string under_tail = tail + "q\n";
  // Every page takes the entries, then the graphics state.
  const res_entry gs_entry{"ExtGState", gs_name.c_str(), gs_num};
  std::vector<res_entry> with_gs(entries, entries + n_entries);
  with_gs.push_back(gs_entry);
  byte_buf body{};
  buf_guard guard{&body};
  double last_box[5] = {0, 0, 0, 0, 0};
  bool have_body = false;
  shared_stream after{}, alone{};
  const bool upright = !o->classic && !o->ignore_rotation;
  std::unordered_map<int64_t, int> rotations;
  // The extended calls draw each distinct stamp once, as a form (a tiled
  // stamp is large, and pages of two sizes or rotations may alternate);
  // the form holds the stamp's resources and its name carries its number.
  struct form_use {
    int64_t num;
    shared_stream after, alone;
    std::string name;                // "KpWmFm<num>"
    std::vector<res_entry> entries;  // what a page that draws it gets
  };
  std::map<std::array<double, 5>, form_use> forms;
  std::string form_resources;
  if (!o->classic) form_resources = resources_text(entries, n_entries);
  const int count = st->doc.pages.count;
  // A page object the tree lists twice is one page shown twice: it is
  // stamped once (a second stamp would wrap it again, drawn twice as dark).
  int32_t top = 0;
  for (int i = 0; i < count; i++) top = std::max(top, st->doc.pages.items[i].num);
  std::vector<uint8_t> seen(static_cast<size_t>(top) + 1, 0);
  *stamped = 0;
  input_trim trim;
  trim_init(&trim, &st->doc);
  for (int i = 0; i < count; i++) {
    int n = i + 1;
    if (!page_wanted(o, n, count)) continue;
    ++*stamped;
    trim_step(&trim);
    const page_info *pg = &st->doc.pages.items[i];
    if (pg->num < 0 || seen[static_cast<size_t>(pg->num)]) continue;
    seen[static_cast<size_t>(pg->num)] = 1;
    if (!obj_find(&st->doc.objects, pg->num)) continue;
    double box[5];
    page_box(pg, &box[0], &box[1], &box[2], &box[3]);
    box[4] = upright ? lay_page_rotation(&st->doc, pg, &rotations) : 0;
    if (!o->classic) {
      const std::array<double, 5> key{box[0], box[1], box[2], box[3], box[4]};
      auto it = forms.find(key);
      if (it == forms.end()) {
        body.len = 0;
        if (body.data) body.data[0] = 0;
        body_of(box, static_cast<int>(box[4]), &body);
        form_use f{++*counter, {}, {}, {}, {}};
        char draw[64];
        snprintf(draw, sizeof draw, "/KpWmFm%lld Do\n", static_cast<long long>(f.num));
        const bool ok =
            !body.failed && push_form(st, box, form_resources, &body, f.num) &&
            (o->under ? make_shared_stream(st, q_gs.c_str(), draw, strlen(draw),
                                           under_tail.c_str(), &f.after)
                      : make_shared_stream(st, over_head.c_str(), draw,
                                           strlen(draw), tail.c_str(), &f.after)) &&
            make_shared_stream(st, q_gs.c_str(), draw, strlen(draw), tail.c_str(),
                               &f.alone);
        if (!ok) {
          set_error("out of memory building the stamp of page %d", n);
          return 0;
        }
        it = forms.emplace(key, std::move(f)).first;
        // The entries of a page that draws the form: the page's own (its
        // layer), the form and the graphics state.
        form_use &u = it->second;
        u.name = "KpWmFm" + std::to_string(u.num);
        for (int k = 0; k < n_entries; k++)
          if (strcmp(entries[k].category, "Properties") == 0) u.entries.push_back(entries[k]);
        u.entries.push_back({"XObject", u.name.c_str(), u.num});
        u.entries.push_back(gs_entry);
      }
      form_use &u = it->second;
      const int r = stamp_page(st, pg, &u.after, &u.alone, u.entries.data(),
                               static_cast<int>(u.entries.size()), first_num, o->under,
                               counter, mark);
      if (r <= 0) return page_failed(st, r, n);
      continue;
    }
    if (!have_body || memcmp(box, last_box, sizeof box) != 0) {
      body.len = 0;
      if (body.data) body.data[0] = 0;
      body_of(box, static_cast<int>(box[4]), &body);
      memcpy(last_box, box, sizeof box);
      have_body = false;
      if (body.failed) {
        set_error("out of memory building the stamp of page %d", n);
        return 0;
      }
      // Over the content: "q" [content] "Q q gs <stamp> Q". Under it:
      // "q gs <stamp> Q q" [content] "Q".
      const bool ok =
          o->under ? make_shared_stream(st, q_gs.c_str(), body.data,
                                        body.len, under_tail.c_str(), &after)
                   : make_shared_stream(st, over_head.c_str(), body.data,
                                        body.len, tail.c_str(), &after);
      if (!ok || !make_shared_stream(st, q_gs.c_str(), body.data,
                                     body.len, tail.c_str(), &alone)) {
        set_error("out of memory stamping page %d", n);
        return 0;
      }
      have_body = true;
    }
    int r = stamp_page(st, pg, &after, &alone, with_gs.data(),
                       static_cast<int>(with_gs.size()), first_num, o->under, counter, mark);
    if (r <= 0) return page_failed(st, r, n);
  }
  if (st->ov.failed) {
    set_error("out of memory recording changed objects");
    return 0;
  }
  return 1;
}

int check_common(int position, int start_page, int end_page) {
  if (position < 0 || position > 5) {
    set_error("invalid position %d: must be 0-5", position);
    return 0;
  }
  if (start_page < 1) {
    set_error("start_page must be >= 1 (got %d)", start_page);
    return 0;
  }
  if (end_page != -1 && end_page < start_page) {
    set_error("end_page must be >= start_page (got %d < %d)", end_page,
              start_page);
    return 0;
  }
  return 1;
}

int load_for_range(op_state *st, const char *input_path, const char *output_path,
                   int start_page, int end_page) {
  doc_open_opts open = {0, nullptr, 0, file_keep_unmapped(input_path, output_path), 1};
  if (doc_load_opts(input_path, &st->doc, &open) != 0) return 0;
  if (st->doc.pages.count < start_page) {
    set_error("page range %d-%d is outside this document (%d pages)",
              start_page, end_page, static_cast<int>(st->doc.pages.count));
    return 0;
  }
  return 1;
}

// Escapes plain text for a PDF literal string.
void escape_text(const char *text, size_t len, byte_buf *out) {
  for (const char *p = text; p < text + len; p++) {
    char c = *p;
    switch (c) {
      case '(':
      case ')':
      case '\\': {
        char e[2] = {'\\', c};
        buf_bytes(out, e, 2);
        break;
      }
      case '\r': buf_bytes(out, "\\r", 2); break;
      case '\n': buf_bytes(out, "\\n", 2); break;
      case '\t': buf_bytes(out, "\\t", 2); break;
      default: buf_bytes(out, &c, 1); break;
    }
  }
}

int clamp_int(int v, int lo, int hi) { return v < lo ? lo : v > hi ? hi : v; }

float clamp_opacity(float v) {
  if (!(v >= 0.0f)) return 0.0f;  // NaN too
  return v > 1.0f ? 1.0f : v;
}

// ---- stamp kinds ------------------------------------------------------------

enum stamp_kind { STAMP_TEXT, STAMP_IMAGE };

// Units of the text drawn by the extended calls: the font is set at 1000
// and the matrix scales it to the size asked for, so that fractional and
// fitted sizes need no second plan and positions keep their precision.
constexpr double k_text_units = 1000.0;

// Helvetica-Bold's ascender and descender, thousandths of an em.
constexpr double k_helv_ascent = 718, k_helv_descent = 207;

// One line of a text stamp: drawn with the embedded fonts (plan.uses_fonts)
// or in Helvetica-Bold from its escaped bytes.
struct text_line {
  wm_plan plan{};
  byte_buf escaped{};
  double width = 0;
  text_line() = default;
  ~text_line() {
    wm_plan_free(&plan);
    buf_free(&escaped);
  }
  text_line(const text_line &) = delete;
  text_line &operator=(const text_line &) = delete;
};

// A text stamp, prepared once per operation. The classic calls have one
// line measured in points at their font size; the extended ones any number
// of lines measured in thousandths of an em.
struct text_stamp {
  user_font user{};  // the user's font, when the options name one
  std::vector<std::unique_ptr<text_line>> lines;
  double width = 0;  // the widest line
  double ascent = 0, descent = 0;
  bool helvetica = false;  // some line is drawn in Helvetica-Bold
  text_stamp() = default;
  ~text_stamp() { user_font_free(&user); }
  text_stamp(const text_stamp &) = delete;
  text_stamp &operator=(const text_stamp &) = delete;
};
// A PNG stamp: its colour and alpha planes, zlib-compressed.
struct image_stamp {
  int width = 0, height = 0;
  c_ptr<uint8_t> rgb_z, alpha_z;
  size_t rgb_z_len = 0, alpha_z_len = 0;
  bool has_alpha = false;
};

double helvetica_width(const char *text, size_t len, double size) {
  double w = 0.0;
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
       p < reinterpret_cast<const unsigned char *>(text) + len; p++) {
    int e = helvetica_bold_widths[*p];
    w += (e > 0 ? e / 1000.0 : 0.6) * size;
  }
  return w;
}

// Measures one line and prepares its text: the plan of its fonts, or its
// escaped bytes for Helvetica-Bold. `flags` may be null (the classic way).
int line_prepare(const char *text, size_t len, int font_size,
                 const wm_text_flags *flags, text_line *line) {
  const std::string copy(text, len);
  if (!(flags ? wm_plan_build_ex(copy.c_str(), font_size, flags, &line->plan)
              : wm_plan_build(copy.c_str(), font_size, &line->plan)))
    return 0;
  if (line->plan.uses_fonts) {
    line->width = line->plan.total_width;
    return 1;
  }
  // Helvetica-Bold has no glyph for a tab: the extended calls draw it as a
  // space, as the embedded fonts do (the classic calls keep the byte).
  std::string spaced;
  if (flags && memchr(text, '\t', len)) {
    spaced = copy;
    std::replace(spaced.begin(), spaced.end(), '\t', ' ');
    text = spaced.c_str();
  }
  line->width = helvetica_width(text, len, font_size);
  escape_text(text, len, &line->escaped);
  if (line->escaped.failed) {
    set_error("out of memory escaping watermark text");
    return 0;
  }
  return 1;
}

// Whether a line drawn in Helvetica-Bold has a straight quote or a grave
// accent. The font's own encoding gives those two bytes the curly quotes;
// WinAnsiEncoding, which agrees with it on every other printable ASCII
// byte, gives them the glyphs typed (and measured: see the widths above).
bool helvetica_quotes(const text_stamp &ts) {
  for (const auto &line : ts.lines) {
    if (line->plan.uses_fonts) continue;
    const byte_buf &b = line->escaped;
    if (b.len && (memchr(b.data, '\'', b.len) || memchr(b.data, '`', b.len))) return true;
  }
  return false;
}

int text_prepare(const char *text, const stamp_options *o, text_stamp *ts) {
  if (o->classic) {
    ts->lines.push_back(std::make_unique<text_line>());
    if (!line_prepare(text, strlen(text), static_cast<int>(o->font_size),
                      nullptr, ts->lines[0].get()))
      return 0;
    ts->width = ts->lines[0]->width;
    return 1;
  }
  // Lines end at LF, CR LF or a lone CR. Each line has fonts of its own,
  // cut down to its glyphs unless subsetting is turned off.
  std::vector<std::pair<size_t, size_t>> spans;
  for (size_t at = 0;;) {
    size_t end = at + strcspn(text + at, "\r\n");
    spans.emplace_back(at, end - at);
    if (!text[end]) break;
    at = end + (text[end] == '\r' && text[end + 1] == '\n' ? 2 : 1);
  }
  if (spans.size() > 1000) {
    set_error("watermark text has more than 1000 lines");
    return 0;
  }
  // Visual order and Arabic forms, the user's font first.
  if (!o->font_path.empty() && !user_font_load(o->font_path.c_str(), &ts->user))
    return 0;
  const wm_text_flags flags{o->subset, 1, ts->user.data ? &ts->user : nullptr, 1};
  ts->ascent = ts->descent = 0;
  for (size_t i = 0; i < spans.size(); i++) {
    ts->lines.push_back(std::make_unique<text_line>());
    text_line *line = ts->lines.back().get();
    if (!line_prepare(text + spans[i].first, spans[i].second,
                      static_cast<int>(k_text_units), &flags, line))
      return 0;
    ts->width = std::max(ts->width, line->width);
    if (!line->plan.uses_fonts) {
      ts->helvetica = true;
      ts->ascent = std::max(ts->ascent, k_helv_ascent);
      ts->descent = std::max(ts->descent, k_helv_descent);
      continue;
    }
    for (int k = 0; k < line->plan.run_count; k++) {
      wm_run *run = &line->plan.runs[k];
      const font_metrics *m = wm_plan_metrics(&line->plan, run->font);
      if (!m) return 0;
      const double upem = m->units_per_em > 0 ? m->units_per_em : 1000;
      ts->ascent = std::max(ts->ascent, m->ascent * k_text_units / upem);
      ts->descent = std::max(ts->descent, -m->descent * k_text_units / upem);
      // The resources of every line live in one dictionary.
      if (i > 0)
        snprintf(run->res_name, sizeof run->res_name, "KpWmL%dF%d", static_cast<int>(i + 1),
                 run->shares + 1);
    }
  }
  return 1;
}

// The classic calls keep their fixed resource names on a document that has
// none of this library's names, and add a suffix to every one of them on a
// document stamped before, so that the new stamp never draws with an
// earlier stamp's font, graphics state or image.
int classic_names(op_state *st, text_stamp *ts) {
  const std::string sfx = res_name_suffix(&st->doc);
  if (sfx.empty()) return 1;
  st->gs_name += sfx;
  st->font_name += sfx;
  st->image_name += sfx;
  for (const auto &line : ts->lines)
    for (int i = 0; i < line->plan.run_count; i++) {
      wm_run *run = &line->plan.runs[i];
      const size_t n = strlen(run->res_name);
      if (n + sfx.size() >= sizeof run->res_name) {
        set_error("resource name too long");
        return 0;
      }
      memcpy(run->res_name + n, sfx.c_str(), sfx.size() + 1);
    }
  return 1;
}

// Opens the document the extended calls change: encrypted ones with the
// caller's password (or an empty user password), refused when their
// permissions forbid changing them unless the caller overrides that.
int open_for_change(op_state *st, const char *input_path, const char *output_path,
                    const stamp_options *o) {
  // An incremental update copies the file in the kernel: what it reads of
  // it need not stay mapped.
  doc_open_opts open = {1, o->has_password ? o->password.c_str() : nullptr, o->incremental,
                        file_keep_unmapped(input_path, output_path), !o->incremental};
  if (doc_load_opts(input_path, &st->doc, &open) != 0) return 0;
  if (!o->ignore_permissions && !doc_may_modify(&st->doc)) {
    set_error("the document's permissions forbid modifying it; give the owner password");
    return 0;
  }
  return 1;
}

// Decodes the PNG and compresses its planes; done before the PDF is opened.
int image_prepare(const char *image_path, image_stamp *im) {
  int width = 0, height = 0;
  const char *png_error = nullptr;
  // As for the PDF paths: a FIFO would block, a device or directory is no
  // image.
  if (file_kind(image_path) == FILE_OTHER) {
    set_error("cannot open %s: not a regular file", image_path);
    return 0;
  }
  c_ptr<uint8_t> rgba(kp_png_decode(image_path, &width, &height, &png_error));
  if (!rgba || width <= 0 || height <= 0) {
    set_error("cannot decode PNG image %s: %s", image_path,
              png_error && *png_error ? png_error : "format error");
    return 0;
  }
  im->width = width;
  im->height = height;
  size_t npix = static_cast<size_t>(width) * static_cast<size_t>(height);
  bool has_alpha = false;
  for (size_t i = 0; i < npix; i++) {
    if (rgba.get()[i * 4 + 3] != 255) {
      has_alpha = true;
      break;
    }
  }
  {
    c_ptr<uint8_t> rgb(static_cast<uint8_t *>(malloc(npix * 3)));
    if (!rgb) {
      set_error("out of memory allocating RGB buffer");
      return 0;
    }
    const uint8_t *src = rgba.get();
    uint8_t *dst = rgb.get();
    for (size_t i = 0; i < npix; i++) {
      dst[i * 3] = src[i * 4];
      dst[i * 3 + 1] = src[i * 4 + 1];
      dst[i * 3 + 2] = src[i * 4 + 2];
    }
    uint8_t *z = nullptr;
    if (kp_deflate(rgb.get(), npix * 3, &z, &im->rgb_z_len) != 0) {
      set_error("out of memory compressing the image");
      return 0;
    }
    im->rgb_z.reset(z);
  }
  if (has_alpha) {
    c_ptr<uint8_t> a(static_cast<uint8_t *>(malloc(npix)));
    uint8_t *z = nullptr;
    if (a) {
      for (size_t i = 0; i < npix; i++) a.get()[i] = rgba.get()[i * 4 + 3];
      if (kp_deflate(a.get(), npix, &z, &im->alpha_z_len) == 0) im->alpha_z.reset(z);
    }
    if (!im->alpha_z) has_alpha = false;  // drawn without its soft mask
  }
  im->has_alpha = has_alpha;
  return 1;
}

// Pushes the image and its soft mask from *next on.
int image_push(op_state *st, const image_stamp *im, int64_t *next,
               int64_t *image_num) {
  int64_t smask_num = im->has_alpha ? (*next)++ : 0;
  *image_num = (*next)++;
  int ok = 1;
  if (im->has_alpha) {
    char dict[256];
    snprintf(dict, sizeof dict,
             "<< /Type /XObject /Subtype /Image /Width %d /Height %d "
             "/ColorSpace /DeviceGray /BitsPerComponent 8 /Filter /FlateDecode "
             "/Length %zu >>",
             im->width, im->height, im->alpha_z_len);
    ok = push_kept(st, smask_num, dict, im->alpha_z.get(), im->alpha_z_len);
  }
  if (ok) {
    char dict[512];
    if (im->has_alpha)
      snprintf(dict, sizeof dict,
               "<< /Type /XObject /Subtype /Image /Width %d /Height %d "
               "/ColorSpace /DeviceRGB /BitsPerComponent 8 /Filter "
               "/FlateDecode /Length %zu /SMask %lld 0 R >>",
               im->width, im->height, im->rgb_z_len, static_cast<long long>(smask_num));
    else
      snprintf(dict, sizeof dict,
               "<< /Type /XObject /Subtype /Image /Width %d /Height %d "
               "/ColorSpace /DeviceRGB /BitsPerComponent 8 /Filter "
               "/FlateDecode /Length %zu >>",
               im->width, im->height, im->rgb_z_len);
    ok = push_kept(st, *image_num, dict, im->rgb_z.get(), im->rgb_z_len);
  }
  return ok;
}

void put_matrix(byte_buf *out, const lay_matrix &m) {
  buf_printf(out, "%.6f %.6f %.6f %.6f %.2f %.2f cm\n", m.a, m.b, m.c, m.d,
             m.e, m.f);
}

// The places of the stamp on one page: one matrix, or the repetitions of a
// tiled stamp. The matrices map the stamp's box, centred on the origin and
// measured in points, to user space. 0 with the error text set.
int stamp_places(const stamp_options *o, const double *box, int rotate,
                 double stamp_w, double stamp_h, int position,
                 std::vector<lay_matrix> *out) {
  lay_request rq{};
  rq.x0 = box[0];
  rq.y0 = box[1];
  rq.w = box[2];
  rq.h = box[3];
  rq.rotate = rotate;
  rq.stamp_w = stamp_w;
  rq.stamp_h = stamp_h;
  rq.angle = o->rotation;
  rq.position = position;
  rq.margin = o->margin;
  rq.off_x = o->offset_x;
  rq.off_y = o->offset_y;
  rq.fit = o->fit;
  out->clear();
  if (!o->tile) {
    out->push_back(lay_place(&rq).m);
    return 1;
  }
  // A stamp smaller than a point on a poster would be repeated millions of
  // times; a hundred thousand is more than any page can show.
  if (!lay_tiles(&rq, o->tile_gap, 100000, out)) {
    set_error("the tiled stamp is too small for the page: more than 100000 "
              "repetitions");
    return 0;
  }
  return 1;
}

// The body's frame for a tiled stamp: nothing is drawn past the visible box.
void put_clip(byte_buf *out, const stamp_options *o, const double *box) {
  if (o->tile)
    buf_printf(out, "%.2f %.2f %.2f %.2f re W n\n", box[0], box[1], box[2],
               box[3]);
}

// The line that tells that a full rewrite of a signed input leaves its
// signatures broken; "" for other inputs.
std::string signed_notice(const pdf_doc *doc, const char *input_path) {
  if (!doc_signed(doc)) return std::string();
  return std::string(input_path) +
         ": the file is digitally signed; rewritten whole, its signatures no "
         "longer verify (an incremental update keeps them valid)\n";
}

// Refuses to change the pages of a certified document unless the caller
// overrides it: 1 when the change may go ahead, else 0 with the error text.
// Every level is refused, not only level 1 ("no changes"): the changes a
// certification admits are form filling and signing (level 2) and
// annotations (level 3), never new or removed page content, so a stamp
// breaks the certification whichever level it has, and a reader that
// checks it then reports the document as changed in a way its author
// forbade. `what` names the change in the message ("stamp it").
int certified_ok(const pdf_doc *doc, const stamp_options *o, const char *what) {
  if (o->ignore_permissions) return 1;
  static const char *const allowed[] = {
      "no changes allowed", "only form filling and signing allowed",
      "only form filling, signing and annotations allowed"};
  int level = doc_certified(doc);
  if (level < 1 || level > 3) return 1;
  set_error("the document is certified with %s; use --ignore-permissions to %s anyway",
            allowed[level - 1], what);
  return 0;
}

int stamp_op(stamp_kind kind, const char *input_path, const char *output_path,
             const char *payload, const stamp_options *opts) {
  set_error("");
  if (!input_path || !output_path) {
    set_error("NULL path argument");
    return 0;
  }
  stamp_options o = *opts;
  if (kind == STAMP_TEXT) {
    if (!payload || !*payload) {
      set_error("watermark text cannot be empty");
      return 0;
    }
    if (o.classic && o.font_size < 1) {
      set_error("font_size must be positive (got %d)",
                static_cast<int>(o.font_size));
      return 0;
    }
  } else if (!payload) {
    set_error("NULL image_path argument");
    return 0;
  }
  if (o.classic) {
    if (!check_common(o.position, o.start_page, o.end_page)) return 0;
    // An opacity that is not a number has no clamped value (it drew an
    // invisible stamp and reported success).
    if (std::isnan(o.opacity)) {
      set_error("opacity is not a number");
      return 0;
    }
  } else if (o.position == POS_DEFAULT) {
    o.position = kind == STAMP_TEXT ? POS_DIAGONAL : POS_CENTER;
  }
  float opacity = static_cast<float>(o.opacity);
  if (o.classic) opacity = clamp_opacity(opacity);
  else if (o.opacity < 0) opacity = kind == STAMP_TEXT ? 0.3f : 0.5f;

  image_stamp im;
  if (kind == STAMP_IMAGE && !image_prepare(payload, &im)) return 0;

  op_state st;
  // The input's bytes go to the update's file while the document is loaded
  // and its pages are edited.
  if (o.incremental) upd_begin(&st.early, input_path, output_path);
  if (o.classic) {
    if (!load_for_range(&st, input_path, output_path, o.start_page, o.end_page)) return 0;
  } else if (!open_for_change(&st, input_path, output_path, &o) || !certified_ok(&st.doc, &o, "stamp it")) {
    return 0;
  }

  text_stamp ts;
  if (kind == STAMP_TEXT && !text_prepare(payload, &o, &ts)) return 0;
  if (o.classic && !classic_names(&st, &ts)) return 0;

  // The extended calls mark their stamps; --replace first takes this
  // library's earlier stamps off the pages that get the new one.
  const bool marked = !o.classic;
  std::vector<char> sel;  // the pages stamped
  if (marked) {
    sel.resize(static_cast<size_t>(st.doc.pages.count));
    for (int i = 0; i < st.doc.pages.count; i++)
      sel[static_cast<size_t>(i)] = page_wanted(&o, i + 1, st.doc.pages.count);
  }
  if (marked && o.replace) {
    rm_result removed;
    rm_stamps(&st.doc, &st.ov, sel, &removed);
  }

  // The groups the pages use that the catalog does not declare: the
  // stamp's layer declares them too (read before the pages are stamped).
  std::vector<int64_t> used_groups;
  if (marked && !o.no_layer && !mk_catalog_has_oc(&st.doc, &st.ov))
    used_groups = mk_used_groups(&st.doc, &st.ov);

  int64_t H = st.doc.max_num;
  // The extended calls name the stamp's resources after its objects'
  // numbers: above every such name the pages hold already.
  // (A stamp takes two objects a page, a form a page at most, and a few
  // thousand for the fonts of its lines.)
  if (marked)
    H = mk_stamp_names_top(&st.doc, &st.ov, sel, H, 4 * static_cast<int64_t>(st.doc.pages.count) + 65536);
  if (!alloc_new_objects(&st, 2 * static_cast<int64_t>(st.doc.pages.count) +
                                  (kind == STAMP_TEXT ? 19 : 5)))
    return 0;
  // New objects: the graphics state, the kind's shared objects, the stream
  // every page shares, the fonts, then two stamp streams per page.
  const int64_t gs_num = H + 1;
  int64_t next = H + 2;
  int64_t image_num = 0;
  std::vector<res_entry> entries;
  int ok = push_gstate(&st, gs_num, opacity);
  if (ok && kind == STAMP_TEXT) {
    const int64_t helv_num = next++;
    ok = push_new(&st, helv_num,
                  helvetica_quotes(ts)
                      ? "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica-Bold"
                        " /Encoding /WinAnsiEncoding >>"
                      : "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica-Bold >>",
                  nullptr, 0, 0);
    if (o.classic ? !ts.lines[0]->plan.uses_fonts : ts.helvetica)
      entries.push_back({"Font", o.classic ? st.font_name.c_str() : "KpWmHv", helv_num});
  } else if (ok) {
    ok = image_push(&st, &im, &next, &image_num);
    entries.push_back({"XObject", o.classic ? st.image_name.c_str() : "KpWmIm",
                       image_num});
  }
  // The stamp's layer, when it has one.
  stamp_mark mark{0};
  std::string layer_res;
  if (ok && marked && !o.no_layer) {
    mark.ocg = next++;
    layer_res = mk_layer_name(mark.ocg);
    const std::string d = mk_ocg_dict(o.layer, o.show);
    ok = push_new(&st, mark.ocg, d.c_str(), nullptr, 0, 0);
    entries.push_back({"Properties", layer_res.c_str(), mark.ocg});
  }
  const int64_t first_num = next;
  if (ok)
    ok = o.under ? push_closing(&st, first_num, marked)
                 : push_opening(&st, first_num, marked);
  if (!ok) {
    set_error("out of memory allocating new objects");
    return 0;
  }
  int64_t counter = first_num;
  for (const auto &line : ts.lines) {
    wm_plan *plan = &line->plan;
    if (!plan->uses_fonts) continue;
    if (!wm_plan_emit_fonts(plan, &counter, &st.objs, &st.count, &st.cap))
      return 0;
    for (int i = 0; i < plan->run_count; i++)
      if (plan->runs[i].shares == i)
        entries.push_back({"Font", plan->runs[i].res_name, plan->runs[i].type0_obj});
  }

  const double r = clamp_int(o.red, 0, 255) / 255.0;
  const double g = clamp_int(o.green, 0, 255) / 255.0;
  const double b = clamp_int(o.blue, 0, 255) / 255.0;
  const float rotation = std::isfinite(o.rotation) ? static_cast<float>(o.rotation) : 0.0f;
  const float scale = (o.scale > 0 && std::isfinite(o.scale)) ? static_cast<float>(o.scale) : 1.0f;
  std::vector<lay_matrix> places;

  // The classic placement, kept as it always was: margins of 36 points
  // around the unrotated box, the text box one font size high.
  auto classic_text = [&](const double *box, byte_buf *out) {
    const int font_size = static_cast<int>(o.font_size);
    lay_request rq{box[0], box[1], box[2], box[3], 0, ts.width,
                   static_cast<double>(font_size), rotation, o.position,
                   36, 0, 0, 0, 1, 0};
    const lay_matrix m = lay_place(&rq).m;
    buf_printf(out,
               "%.4f %.4f %.4f rg\n%.4f %.4f %.4f RG\n"
               "%.6f %.6f %.6f %.6f %.2f %.2f cm\n",
               r, g, b, r, g, b, m.a, m.b, m.c, m.d, m.e, m.f);
    const text_line &line = *ts.lines[0];
    if (line.plan.uses_fonts) {
      buf_str(out, "BT\n");
      wm_plan_emit_text(&line.plan, font_size, -ts.width / 2,
                        -line.plan.mid_height, out);
      buf_str(out, "ET\n");
    } else {
      buf_printf(out, "BT\n/%s %d Tf\n1 0 0 1 %.2f %.2f Tm\n(", st.font_name.c_str(),
                 font_size, -ts.width / 2, -0.36 * font_size);
      buf_bytes(out, line.escaped.data, line.escaped.len);
      buf_str(out, ") Tj\nET\n");
    }
  };
  auto classic_image = [&](const double *box, byte_buf *out) {
    const double dw = im.width * static_cast<double>(scale);
    const double dh = im.height * static_cast<double>(scale);
    lay_request rq{box[0], box[1], box[2], box[3], 0, dw, dh, 0, o.position,
                   36, 0, 0, 0, 1, 1};
    const lay_matrix m = lay_place(&rq).m;
    buf_printf(out, "%.2f 0 0 %.2f %.2f %.2f cm\n/%s Do\n", dw, dh, m.e,
               m.f, st.image_name.c_str());
  };

  // The text, centred on the origin, in thousandths of an em: the lines'
  // boxes (advance width by ascender to descender) centred on each other,
  // `line_spacing` sizes from baseline to baseline.
  const double spacing = o.line_spacing * k_text_units;
  const double text_height =
      ts.ascent + ts.descent +
      spacing * static_cast<double>(ts.lines.size() > 0 ? ts.lines.size() - 1 : 0);
  auto put_text = [&](byte_buf *out) {
    buf_str(out, "BT\n");
    bool helvetica_set = false;
    for (size_t i = 0; i < ts.lines.size(); i++) {
      const text_line &line = *ts.lines[i];
      const double x = -line.width / 2;
      const double y = text_height / 2 - ts.ascent - spacing * static_cast<double>(i);
      if (line.plan.uses_fonts) {
        wm_plan_emit_text(&line.plan, static_cast<int>(k_text_units), x, y, out);
        helvetica_set = false;
      } else if (line.escaped.len > 0) {
        // Not KpWmF1: that is the first embedded font of the first line.
        if (!helvetica_set) buf_str(out, "/KpWmHv 1000 Tf\n");
        helvetica_set = true;
        buf_printf(out, "1 0 0 1 %.2f %.2f Tm\n(", x, y);
        buf_bytes(out, line.escaped.data, line.escaped.len);
        buf_str(out, ") Tj\n");
      }
    }
    buf_str(out, "ET\n");
  };
  int places_ok = 1;
  auto text_body = [&](const double *box, int rotate, byte_buf *out) {
    const double unit = o.font_size / k_text_units;
    if (!stamp_places(&o, box, rotate, ts.width * unit, text_height * unit,
                      o.position, &places)) {
      places_ok = 0;
      return;
    }
    buf_printf(out, "%.4f %.4f %.4f rg\n%.4f %.4f %.4f RG\n", r, g, b, r, g, b);
    put_clip(out, &o, box);
    for (const lay_matrix &m : places) {
      if (o.tile) buf_str(out, "q\n");
      put_matrix(out, lay_concat({unit, 0, 0, unit, 0, 0}, m));
      put_text(out);
      if (o.tile) buf_str(out, "Q\n");
    }
  };
  auto image_body = [&](const double *box, int rotate, byte_buf *out) {
    const double dw = im.width * o.scale, dh = im.height * o.scale;
    if (!stamp_places(&o, box, rotate, dw, dh, o.position, &places)) {
      places_ok = 0;
      return;
    }
    put_clip(out, &o, box);
    for (const lay_matrix &m : places) {
      if (o.tile) buf_str(out, "q\n");
      put_matrix(out, lay_concat({dw, 0, 0, dh, -dw / 2, -dh / 2}, m));
      buf_str(out, "/KpWmIm Do\n");
      if (o.tile) buf_str(out, "Q\n");
    }
  };
  auto body_of = [&](const double *box, int rotate, byte_buf *out) {
    if (o.classic) {
      if (kind == STAMP_TEXT) classic_text(box, out);
      else classic_image(box, out);
    } else if (kind == STAMP_TEXT) {
      text_body(box, rotate, out);
    } else {
      image_body(box, rotate, out);
    }
  };
  int stamped = 0;
  // Every page stamped changes its dictionary.
  ov_reserve(&st.ov, st.ov.count + st.doc.pages.count);
  if (!stamp_pages(&st, &o, entries.data(), static_cast<int>(entries.size()),
                   gs_num, first_num, &counter, &stamped,
                   marked ? &mark : nullptr, body_of))
    return 0;
  // A catalog that cannot take the group leaves the stamp always shown.
  if (mark.ocg) mk_catalog_add_ocg(&st.doc, &st.ov, mark.ocg, o.show, used_groups);
  if (!places_ok) return 0;
  if (stamped == 0) {
    set_error("no page of %s matches %s", input_path, o.pages_text.c_str());
    return 0;
  }
  // Showing only on screen or only in print is the layer's setting: a
  // stamp in no layer shows everywhere, which the caller is told.
  const std::string layer_note =
      !o.classic && o.no_layer && o.show != 0
          ? std::string("the stamp is in no layer, so it shows on screen and in print "
                        "alike (showing it only ") +
                (o.show == 1 ? "on screen" : "in print") + " needs its layer)\n"
          : std::string();
  if (o.incremental) {
    if (!doc_write_incremental(&st.doc, &st.ov, st.objs, st.count, output_path, &st.early))
      return 0;
    g_notice = layer_note;
    return 1;
  }
  if (!doc_write(&st.doc, &st.ov, st.objs, st.count, output_path)) return 0;
  g_notice = layer_note + signed_notice(&st.doc, input_path);
  return 1;
}
// The classic calls: their arguments as options, with the classic placement.
stamp_options classic_options(float opacity, float rotation, int font_size,
                              int position, int red, int green, int blue,
                              float scale, int start_page, int end_page) {
  stamp_options o;
  o.classic = 1;
  o.opacity = opacity;
  o.rotation = rotation;
  o.font_size = font_size;
  o.position = position;
  o.red = red;
  o.green = green;
  o.blue = blue;
  o.scale = scale;
  o.start_page = start_page;
  o.end_page = end_page;
  return o;
}

int remove_op(const char *input_path, const char *output_path,
              const stamp_options *o, int *removed_stamps, int *pages_changed) {
  set_error("");
  if (!input_path || !output_path) {
    set_error("NULL path argument");
    return 0;
  }
  op_state st;
  // As for a stamp: the input's bytes go to the update's file while the
  // document is loaded (given up when no stamp is found).
  if (o->incremental) upd_begin(&st.early, input_path, output_path);
  if (!open_for_change(&st, input_path, output_path, o)) return 0;
  const int count = st.doc.pages.count;
  std::vector<char> sel(static_cast<size_t>(count));
  bool any = false;
  for (int i = 0; i < count; i++) {
    sel[static_cast<size_t>(i)] = so_page_selected(o->pages, i + 1, count);
    any = any || sel[static_cast<size_t>(i)];
  }
  if (!any) {
    set_error("no page of %s matches %s", input_path, o->pages_text.c_str());
    return 0;
  }
  rm_result r;
  rm_stamps(&st.doc, &st.ov, sel, &r);
  if (st.ov.failed) {
    set_error("out of memory recording changed objects");
    return 0;
  }
  if (r.stamps > 0 && !certified_ok(&st.doc, o, "remove its stamps")) return 0;
  std::string notice;
  for (int64_t n : r.changed)
    notice += "page " + std::to_string(n) +
              ": stamp left in place, the page was changed after stamping\n";
  if (r.stamps == 0 ? !doc_write_copy(&st.doc, output_path)
                    : o->incremental
                        ? !doc_write_incremental(&st.doc, &st.ov, st.objs, st.count,
                                                 output_path, &st.early)
                        : !doc_write(&st.doc, &st.ov, st.objs, st.count, output_path))
    return 0;
  if (removed_stamps) *removed_stamps = r.stamps;
  if (pages_changed) *pages_changed = r.pages;
  if (r.stamps > 0 && !o->incremental) notice += signed_notice(&st.doc, input_path);
  g_notice = notice;
  return 1;
}

// opts NULL: the classic call, which refuses encrypted files.
int page_count_op(const char *pdf_path, int *out_pages,
                  const stamp_options *opts = nullptr) {
  set_error("");
  if (!pdf_path) {
    set_error("NULL path argument");
    return 0;
  }
  if (!out_pages) {
    set_error("NULL pages argument");
    return 0;
  }
  pdf_doc doc{};
  struct doc_guard {
    pdf_doc *d;
    ~doc_guard() { doc_free(d); }
  } guard{&doc};
  doc_open_opts open = {1, opts && opts->has_password ? opts->password.c_str() : nullptr, 1, 0};
  if (doc_load_opts(pdf_path, &doc, opts ? &open : nullptr) != 0) return 0;
  int n = doc.pages.count;
  doc_free(&doc);
  if (n < 1) {
    set_error("PDF has no pages: %s", pdf_path);
    return 0;
  }
  *out_pages = n;
  set_error("");
  return 1;
}

}  // namespace

extern "C" {

RERARUVOZARI_API int RERARUVOZARI_CALL reraruvozari_init(void) RERARUVOZARI_NOEXCEPT {
  set_error("");
  return 1;
}

RERARUVOZARI_API const char *RERARUVOZARI_CALL
reraruvozari_last_error(void) RERARUVOZARI_NOEXCEPT {
  return get_error();
}

RERARUVOZARI_API int RERARUVOZARI_CALL reraruvozari_text_range(
    const char *input_path, const char *output_path, const char *text,
    float opacity, float rotation, int font_size, int position, int red,
    int green, int blue, int start_page, int end_page) RERARUVOZARI_NOEXCEPT {
  return trap([&] {
    const stamp_options o =
        classic_options(opacity, rotation, font_size, position, red, green,
                        blue, 1.0f, start_page, end_page);
    return stamp_op(STAMP_TEXT, input_path, output_path, text, &o);
  });
}

RERARUVOZARI_API int RERARUVOZARI_CALL reraruvozari_text(
    const char *input_path, const char *output_path, const char *text,
    float opacity, float rotation, int font_size, int position, int red,
    int green, int blue) RERARUVOZARI_NOEXCEPT {
  set_error("");
  return reraruvozari_text_range(input_path, output_path, text, opacity,
                                 rotation, font_size, position, red, green,
                                 blue, 1, -1);
}

RERARUVOZARI_API int RERARUVOZARI_CALL reraruvozari_image_range(
    const char *input_path, const char *output_path, const char *image_path,
    float opacity, int position, float scale, int start_page,
    int end_page) RERARUVOZARI_NOEXCEPT {
  return trap([&] {
    const stamp_options o = classic_options(opacity, 0, 1, position, 128, 128,
                                            128, scale, start_page, end_page);
    return stamp_op(STAMP_IMAGE, input_path, output_path, image_path, &o);
  });
}

RERARUVOZARI_API int RERARUVOZARI_CALL reraruvozari_image(
    const char *input_path, const char *output_path, const char *image_path,
    float opacity, int position, float scale) RERARUVOZARI_NOEXCEPT {
  set_error("");
  return reraruvozari_image_range(input_path, output_path, image_path,
                                  opacity, position, scale, 1, -1);
}

RERARUVOZARI_API int RERARUVOZARI_CALL reraruvozari_stamp_text(
    const char *input_path, const char *output_path, const char *text,
    const reraruvozari_options *options) RERARUVOZARI_NOEXCEPT {
  return trap([&] {
    const stamp_options defaults;
    return stamp_op(STAMP_TEXT, input_path, output_path, text,
                    options ? &options->v : &defaults);
  });
}

RERARUVOZARI_API int RERARUVOZARI_CALL reraruvozari_stamp_image(
    const char *input_path, const char *output_path, const char *image_path,
    const reraruvozari_options *options) RERARUVOZARI_NOEXCEPT {
  return trap([&] {
    const stamp_options defaults;
    return stamp_op(STAMP_IMAGE, input_path, output_path, image_path,
                    options ? &options->v : &defaults);
  });
}

RERARUVOZARI_API int RERARUVOZARI_CALL reraruvozari_remove(
    const char *input_path, const char *output_path,
    const reraruvozari_options *options, int *removed_stamps,
    int *pages_changed) RERARUVOZARI_NOEXCEPT {
  return trap([&] {
    const stamp_options defaults;
    return remove_op(input_path, output_path, options ? &options->v : &defaults,
                     removed_stamps, pages_changed);
  });
}

RERARUVOZARI_API const char *RERARUVOZARI_CALL
reraruvozari_last_notice(void) RERARUVOZARI_NOEXCEPT {
  return g_notice.c_str();
}

RERARUVOZARI_API int RERARUVOZARI_CALL
reraruvozari_page_count(const char *pdf_path, int *out_pages) RERARUVOZARI_NOEXCEPT {
  return trap([&] { return page_count_op(pdf_path, out_pages); });
}

RERARUVOZARI_API int RERARUVOZARI_CALL
reraruvozari_count_pages(const char *pdf_path, const reraruvozari_options *options,
                         int *out_pages) RERARUVOZARI_NOEXCEPT {
  static const stamp_options defaults;
  return trap([&] {
    return page_count_op(pdf_path, out_pages, options ? &options->v : &defaults);
  });
}

RERARUVOZARI_API void RERARUVOZARI_CALL reraruvozari_cleanup(void) RERARUVOZARI_NOEXCEPT {
  wm_font_cache_clear();
  set_error("");
}

RERARUVOZARI_API void RERARUVOZARI_CALL reraruvozari_remove_temporary_files(void)
    RERARUVOZARI_NOEXCEPT {
  out_remove_temps();
}

}  // extern "C"
