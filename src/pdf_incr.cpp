// Incremental output (see pdf_incr.h).

#include "pdf_incr.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "pdf_crypt.h"
#include "pdf_decrypt.h"
#include "pdf_syntax.h"
#include "pdf_xref.h"

namespace {

// One object of the update: its number, generation and offset in the output.
struct upd_entry {
  int64_t num;
  int64_t gen;
  int64_t off;
};

// The entries by increasing number, one per number: of a number written
// twice, the later copy counts. Dense numbers (the usual case) are placed
// through a table; others are sorted (`es` is reordered then).
std::vector<upd_entry> last_per_number(std::vector<upd_entry> *es) {
  std::vector<upd_entry> uniq;
  int64_t top = 0;
  bool negative = false;
  for (const upd_entry &e : *es) {
    top = std::max(top, e.num);
    negative = negative || e.num < 0;
  }
  if (!negative && dense_enough(top, static_cast<int64_t>(es->size())) && es->size() < INT32_MAX) {
    std::vector<int32_t> last;
    vec_reserve_populated(&last, static_cast<size_t>(top) + 1);
    last.assign(static_cast<size_t>(top) + 1, -1);
    size_t kept = 0;
    for (size_t i = 0; i < es->size(); i++) {
      int32_t &l = last[static_cast<size_t>((*es)[i].num)];
      kept += l < 0;
      l = static_cast<int32_t>(i);
    }
    vec_reserve_populated(&uniq, kept + 1);
    for (int32_t i : last)
      if (i >= 0) uniq.push_back((*es)[static_cast<size_t>(i)]);
    return uniq;
  }
  std::stable_sort(es->begin(), es->end(),
                   [](const upd_entry &a, const upd_entry &b) { return a.num < b.num; });
  for (const upd_entry &e : *es) {
    if (!uniq.empty() && uniq.back().num == e.num) uniq.back() = e;
    else uniq.push_back(e);
  }
  return uniq;
}

// A table line "oooooooooo ggggg n \n" (offset below 10^10, generation
// below 10^5, as the output's limits keep them).
void put_table_line(std::string *s, int64_t off, int64_t gen) {
  char line[20];
  memcpy(line, "0000000000 00000 n \n", 20);
  for (int i = 9; i >= 0 && off > 0; i--, off /= 10) line[i] = static_cast<char>('0' + off % 10);
  for (int i = 15; i >= 11 && gen > 0; i--, gen /= 10) line[i] = static_cast<char>('0' + gen % 10);
  s->append(line, sizeof line);
}

void put_header(std::string *s, int64_t num, int64_t gen) {
  fixed_text t;
  ft_init(&t);
  ft_obj_header(&t, num, gen);
  s->append(t.s, t.n);
}

void put_tail(std::string *s, bool stream, const char *data, size_t len) {
  if (stream) {
    *s += "\nstream\n";
    if (data && len) s->append(data, len);
    *s += "\nendstream\nendobj\n";
  } else {
    *s += "\nendobj\n";
  }
}

// The generation a reference to `num` carries: that of the input's current
// copy when it is a direct object, else 0.
int64_t gen_of(const pdf_doc *doc, int64_t num) {
  const pdf_obj *o = num > 0 ? obj_find(&doc->objects, num) : nullptr;
  return o && !o->in_objstm && o->gen >= 0 && o->gen <= 65535 ? o->gen : 0;
}

// The dictionary of the input's newest section: [*s, *e) of doc->data with
// "<<" at *s. 0 when it cannot be found.
int newest_dict(const pdf_doc *doc, int64_t *s, int64_t *e) {
  const char *d = doc->data;
  int64_t size = doc->size, at = doc->xref_off;
  if (at < 0 || at >= size) return 0;
  int64_t open;
  if (doc->xref_kind == XREF_STREAM) {
    int64_t num, gen;
    if (!xref_header_at(d, size, at, &num, &gen, &open)) return 0;
  } else {
    int64_t t = find_kw(d, size, at, "trailer");
    if (t < 0) return 0;
    open = syn_skip(d, t + 7, size);  // comments may stand between
  }
  if (open + 1 >= size || d[open] != '<' || d[open + 1] != '<') return 0;
  int64_t c = find_dict_close(d, size, open, 0);
  if (c < 0) return 0;
  *s = open;
  *e = c + 2;
  return 1;
}

// Runs of consecutive numbers: "first count" pairs over the sorted entries.
std::vector<std::pair<int64_t, int64_t>> runs_of(const std::vector<upd_entry> &es) {
  std::vector<std::pair<int64_t, int64_t>> r;
  for (const upd_entry &e : es) {
    if (!r.empty() && r.back().first + r.back().second == e.num)
      r.back().second++;
    else
      r.push_back({e.num, 1});
  }
  return r;
}

// The trailer entries every section carries over: /Root, /Info, /ID and
// an encrypted document's /Encrypt.
std::string carried(const pdf_doc *doc) {
  std::string t = " /Root " + std::to_string(doc->root) + " " +
                  std::to_string(gen_of(doc, doc->root)) + " R";
  if (doc->info > 0)
    t += " /Info " + std::to_string(doc->info) + " " +
         std::to_string(gen_of(doc, doc->info)) + " R";
  if (doc->sec) {
    // The handler dictionary and the /ID its key was made with, as written
    // (a cross-reference stream's dictionary is never encrypted).
    t += " /Encrypt " + doc->sec->encrypt_entry;
    if (!doc->sec->id_entry.empty()) t += " /ID " + doc->sec->id_entry;
  } else if (doc->id_len > 0 && doc->id_off >= 0 &&
      static_cast<int64_t>(doc->id_off) + doc->id_len <= doc->size) {
    t += " /ID ";
    t.append(doc->data + doc->id_off, static_cast<size_t>(doc->id_len));
  }
  return t;
}

void upd_abandon(upd_file *w);

// Opens the temporary file and puts the input's bytes in it, through the
// kernel where it can copy them (or keeps the file upd_begin made, when its
// copy holds them). 0 with the error text set.
int upd_open(upd_file *w, const pdf_doc *doc, const char *path) {
  if (w->copier.joinable()) w->copier.join();
  // Begun early: kept when it copied the bytes the document was read from;
  // otherwise the file goes, and a new one takes the bytes below.
  if (w->f && w->early_ok && fmap_holds(&doc->map, &w->early)) {
    w->bad = fseek(w->f, 0, SEEK_END) != 0;
    if (w->bad) w->err = errno;
    w->written = doc->size;
    return 1;
  }
  upd_abandon(w);
  w->f = out_open_temp(path, w->tmp, sizeof w->tmp, &w->tmp_mode);
  if (!w->f) return 0;
  errno = 0;
  const size_t len = static_cast<size_t>(doc->size);
  size_t copied = 0;
  if (doc->map.len > 0 && fflush(w->f) == 0) {
    copied = fmap_copy_to(&doc->map, fileno(w->f), len);
    w->bad = copied > 0 && fseek(w->f, 0, SEEK_END) != 0;
  }
  w->bad = w->bad || !file_write_all(w->f, doc->data + copied, len - copied);
  if (w->bad) w->err = errno;
  w->written = static_cast<int64_t>(len);
  return 1;
}

// What the update holds before it goes to the file: a buffer reused
// throughout, few pages of memory to map.
constexpr size_t k_upd_chunk = static_cast<size_t>(1) << 18;

// Moves what the update holds so far to the file once it is large enough
// (force: whatever it holds).
void upd_flush(upd_file *w, std::string *u, bool force) {
  if (u->empty() || (!force && u->size() < k_upd_chunk)) return;
  if (!w->bad && fwrite(u->data(), 1, u->size(), w->f) != u->size()) {
    w->bad = true;
    w->err = errno;
  }
  w->written += static_cast<int64_t>(u->size());
  u->clear();
}

// Closes the file and puts it in the output's place when everything was
// written and the input's bytes are still the file's (doc_input_intact);
// otherwise removes it. 1 on success, 0 with the error text set.
int upd_finish(upd_file *w, const pdf_doc *doc, const char *path) {
  if (fflush(w->f) != 0 || ferror(w->f)) {
    if (!w->bad) w->err = errno;
    w->bad = true;
  }
  if (!w->bad) out_give_mode(w->f, path, w->tmp_mode);
  if (fclose(w->f) != 0) w->bad = true;
  w->f = nullptr;
  bool changed = !doc_input_intact(doc);  // sets the message
  if (w->bad || changed) {
    file_remove(w->tmp);
    out_forget_temp(w->tmp);
    if (!changed)
      set_error("write error on %s: %s", path, strerror(w->err ? w->err : EIO));
    return 0;
  }
  return out_commit(w->tmp, path);
}

// Removes the file of an update given up.
void upd_abandon(upd_file *w) {
  if (!w->f) return;
  fclose(w->f);
  w->f = nullptr;
  file_remove(w->tmp);
  out_forget_temp(w->tmp);
}

}  // namespace

void upd_cancel(upd_file *w) {
  // The copy stops at its next piece: a failed call does not wait for
  // the whole input to be copied.
  w->stop = 1;
  if (w->copier.joinable()) w->copier.join();
  upd_abandon(w);
}

upd_file::~upd_file() { upd_cancel(this); }

int upd_begin(upd_file *w, const char *input_path, const char *output_path) {
  if (w->f || !input_path || !output_path || !fmap_copy_path_worth(input_path)) return 0;
  w->f = out_open_temp(output_path, w->tmp, sizeof w->tmp, &w->tmp_mode);
  if (!w->f) return 0;
  if (fflush(w->f) != 0) {
    upd_abandon(w);
    return 0;
  }
  // The thread touches nothing but its own descriptor, w->f's descriptor
  // and w->early_ok and w->early, which upd_open reads after joining it.
  try {
    w->copier = std::thread([w, path = std::string(input_path)] {
      w->early_ok = fmap_copy_path(path.c_str(), fileno(w->f), &w->early, &w->stop);
    });
  } catch (...) {
    upd_abandon(w);
    return 0;
  }
  return 1;
}

static int write_update(const pdf_doc *doc, const overlay *ov,
                        const new_object *objs, int count,
                        const char *output_path, upd_file *begun) {
  if (!out_ready(ov, output_path)) return 0;
  if (doc->saw_encrypt && !doc->sec) {
    set_error("incremental output of encrypted PDFs is not supported");
    return 0;
  }
  int64_t ds, de;
  if (!doc->xref_trusted || doc->xref_off < 0 || doc->xref_kind == XREF_NONE ||
      !newest_dict(doc, &ds, &de)) {
    set_error(
        "cannot append an incremental update: the cross-reference data of "
        "the input is damaged (a full rewrite repairs it)");
    return 0;
  }
  if (count < 0 || (count > 0 && !objs)) count = 0;
  const char *d = doc->data;
  int64_t n = doc->max_num > 0 ? doc->max_num : 0;
  int64_t prev_size = int_after_name(d, ds, de, "Size");
  if (prev_size - 1 > n) n = prev_size - 1;
  if (!out_last_num(objs, count, &n)) return 0;
  // A cross-reference stream takes the next number itself.
  if (doc->xref_kind == XREF_STREAM && n + 1 > k_max_obj_num) {
    set_error("object number too large: %lld", static_cast<long long>(n + 1));
    return 0;
  }

  // The update; offsets count from the start of the output.
  upd_file own;
  upd_file &w = begun ? *begun : own;
  if (!upd_open(&w, doc, output_path)) return 0;
  std::string u;
  u.reserve(k_upd_chunk + 4096);
  mem_populate(&u[0], u.capacity());
  // Where the next byte of the update goes in the output.
  auto at = [&w, &u]() { return w.written + static_cast<int64_t>(u.size()); };
  if (doc->size > 0 && d[doc->size - 1] != '\n' && d[doc->size - 1] != '\r')
    u += '\n';
  std::vector<upd_entry> es;
  vec_reserve_populated(&es, static_cast<size_t>((ov ? ov->count : 0) + count) + 1);
  // An encrypted document stays encrypted as the full rewrite keeps it:
  // objects written under their old number and generation are still
  // encrypted right, the others are sealed (see seal_packed_text).
  const bool sealing = doc->sec != nullptr;
  if (sealing) crypt_random_fresh();
  std::string sealed;
  std::vector<uint8_t> sealed_data;
  // Replaced objects of the input, in the order they were first changed.
  // An object that lay in an object stream is written as an ordinary one.
  for (int64_t i = 0; ov && i < ov->count; i++) {
    int64_t num = ov->keys[i];
    const pdf_obj *o = obj_find(&doc->objects, num);
    const char *text = ov->texts[i];
    if (!o || !text) continue;  // written nowhere in a full rewrite either
    int64_t gen = o->in_objstm ? 0 : gen_of(doc, num);
    es.push_back({num, gen, at()});
    put_header(&u, num, gen);
    if (sealing && o->in_objstm && num != doc->sec->encrypt_num &&
        !(sealed = seal_packed_text(doc, num, text, strlen(text))).empty())
      u += sealed;
    else
      u += text;
    bool stream = o->has_stream && !o->in_objstm;
    const char *data = nullptr;
    size_t len = 0;
    if (stream && o->data_off >= 0 && o->data_end > o->data_off &&
        o->data_end <= doc->size) {
      data = d + o->data_off;
      len = static_cast<size_t>(o->data_end - o->data_off);
    }
    put_tail(&u, stream, data, len);
    upd_flush(&w, &u, false);
  }
  for (int i = 0; i < count; i++) {
    const new_object *o = &objs[i];
    es.push_back({o->num, 0, at()});
    put_header(&u, o->num, 0);
    if (sealing) {
      seal_new_object(doc, o, &sealed, &sealed_data);
      u += sealed;
      put_tail(&u, o->has_stream != 0, reinterpret_cast<const char *>(sealed_data.data()),
               sealed_data.size());
    } else {
      u += o->dict ? o->dict : "<< >>";
      put_tail(&u, o->has_stream != 0, reinterpret_cast<const char *>(o->data),
               o->data ? o->len : 0);
    }
    upd_flush(&w, &u, false);
  }
  std::vector<upd_entry> uniq = last_per_number(&es);

  const int64_t xref_at = at();
  const std::string keep = carried(doc);
  const std::string prev = " /Prev " + std::to_string(doc->xref_off);
  if (doc->xref_kind == XREF_STREAM) {
    // A cross-reference stream, itself the last number: type, offset (4
    // bytes, more past 4 GiB), 2-byte generation per entry, not compressed.
    int64_t self = n + 1;
    uniq.push_back({self, 0, xref_at});
    int wide = 4;
    while (wide < 8 && (static_cast<uint64_t>(xref_at) >> (8 * wide)) != 0) wide++;
    std::string rows;
    for (const upd_entry &e : uniq) {
      const uint64_t off = static_cast<uint64_t>(e.off);
      rows += '\1';
      for (int b = wide - 1; b >= 0; b--) rows += static_cast<char>(off >> (8 * b));
      rows += static_cast<char>(e.gen >> 8);
      rows += static_cast<char>(e.gen);
    }
    std::string index;
    for (const auto &r : runs_of(uniq))
      index += (index.empty() ? "" : " ") + std::to_string(r.first) + " " +
               std::to_string(r.second);
    put_header(&u, self, 0);
    u += "<< /Type /XRef /Size " + std::to_string(self + 1) + " /Index [" + index +
         "] /W [1 " + std::to_string(wide) + " 2]" + prev + keep + " /Length " + std::to_string(rows.size()) +
         " >>";
    put_tail(&u, true, rows.data(), rows.size());
  } else {
    // A table (also after a hybrid file's: the objects it lists are all
    // ordinary ones, and /Prev leads to the older trailer and its stream).
    u += "xref\n";
    size_t k = 0;
    for (const auto &r : runs_of(uniq)) {
      u += std::to_string(r.first) + " " + std::to_string(r.second) + "\n";
      for (int64_t j = 0; j < r.second; j++, k++) {
        put_table_line(&u, uniq[k].off, uniq[k].gen);
        upd_flush(&w, &u, false);
      }
    }
    u += "trailer\n<< /Size " + std::to_string(n + 1) + prev + keep + " >>\n";
  }
  u += "startxref\n" + std::to_string(xref_at) + "\n%%EOF\n";
  if (doc->xref_kind != XREF_STREAM && xref_at > k_max_table_offset) {
    upd_abandon(&w);
    set_error("output file too large");
    return 0;
  }
  upd_flush(&w, &u, true);
  return upd_finish(&w, doc, output_path);
}

// As doc_write: a failure after the input changed says so.
int doc_write_incremental(const pdf_doc *doc, const overlay *ov,
                          const new_object *objs, int count,
                          const char *output_path, upd_file *begun) {
  int ok = write_update(doc, ov, objs, count, output_path, begun);
  if (!ok) doc_input_intact(doc);
  return ok;
}

int doc_write_copy(const pdf_doc *doc, const char *output_path) {
  if (!out_ready(nullptr, output_path)) return 0;
  upd_file w;
  if (!upd_open(&w, doc, output_path)) return 0;
  return upd_finish(&w, doc, output_path);
}

int doc_signed(const pdf_doc *doc) {
  const char *t;
  int64_t len;
  if (doc->root < 1 || !dict_text_view(doc, nullptr, doc->root, &t, &len)) return 0;
  int64_t at = find_name(t, len, 0, len, "AcroForm");
  if (at < 0) return 0;
  int64_t p = skip_ws(t, at + 9, len);
  int64_t flags = -1;
  if (p + 1 < len && t[p] == '<' && t[p + 1] == '<') {
    int64_t c = find_dict_close(t, len, p, 0);
    if (c >= 0) flags = int_after_name(t, p, c + 2, "SigFlags");
  } else {
    int64_t q = p;
    int64_t num = parse_int_at(t, len, &q);
    const char *f;
    int64_t flen;
    if (num > 0 && dict_text_view(doc, nullptr, num, &f, &flen))
      flags = int_after_name(f, 0, flen, "SigFlags");
  }
  return flags > 0 && (flags & 1) ? 1 : 0;
}

namespace {

// A value's text: [*s, *e) of *t. A reference "num gen R" is followed to
// the object's text (a dictionary, or any value of a direct object).
bool value_view(const pdf_doc *doc, const char *t, int64_t v, int64_t ve,
                const char **ot, int64_t *os, int64_t *oe) {
  if (v < 0 || ve <= v) return false;
  int64_t num;
  if (!syn_ref_at(t, v, ve, &num, nullptr)) {
    *ot = t;
    *os = syn_skip(t, v, ve);
    *oe = ve;
    return true;
  }
  int64_t len;
  if (dict_text_view(doc, nullptr, num, ot, &len)) {
    *os = 0;
    *oe = len;
    return true;
  }
  // An array or other value stored as an ordinary object.
  const pdf_obj *o = obj_find(&doc->objects, num);
  if (!o || o->in_objstm || o->hdr_off < 0 || o->hdr_off >= doc->size) return false;
  int64_t end = o->endobj_off > o->hdr_off && o->endobj_off <= doc->size ? o->endobj_off
                                                                       : doc->size;
  int64_t at = find_kw(doc->data, end, o->hdr_off, "obj");
  if (at < 0) return false;
  int64_t s = syn_skip(doc->data, at + 3, end);
  int64_t e = syn_value_end(doc->data, s, end);
  if (e < 0) return false;
  *ot = doc->data;
  *os = s;
  *oe = e;
  return true;
}

// The value of the entry `key` of the dictionary in [s, e) of t, followed
// if it is a reference.
bool entry_view(const pdf_doc *doc, const char *t, int64_t s, int64_t e, const char *key,
                const char **ot, int64_t *os, int64_t *oe) {
  dict_entry en;
  return dict_get(t, s, e, key, &en) && en.val >= 0 && en.val_end > en.val &&
         value_view(doc, t, en.val, en.val_end, ot, os, oe);
}

}  // namespace

int doc_certified(const pdf_doc *doc) {
  const char *t;
  int64_t len;
  if (doc->root < 1 || !dict_text_view(doc, nullptr, doc->root, &t, &len)) return 0;
  const char *pt, *st;
  int64_t ps, pe, ss, se;
  if (!entry_view(doc, t, 0, len, "Perms", &pt, &ps, &pe)) return 0;
  dict_entry en;
  if (!dict_get(pt, ps, pe, "DocMDP", &en) || en.val < 0) return 0;
  // Certified. Without readable transform parameters the level is the
  // default one, 2.
  if (!value_view(doc, pt, en.val, en.val_end, &st, &ss, &se)) return 2;
  const char *rt;
  int64_t rs, re;
  if (!entry_view(doc, st, ss, se, "Reference", &rt, &rs, &re)) return 2;
  int64_t p = rs;
  if (p >= re || rt[p] != '[') return 2;
  p++;
  for (;;) {
    p = syn_skip(rt, p, re);
    if (p >= re || rt[p] == ']') break;
    int64_t v = syn_value_end(rt, p, re);
    if (v < 0) break;
    const char *x;
    int64_t xs, xe;
    if (value_view(doc, rt, p, v, &x, &xs, &xe) && xs + 1 < xe && x[xs] == '<' &&
        x[xs + 1] == '<') {
      dict_entry m;
      syn_token tok;
      if (dict_get(x, xs, xe, "TransformMethod", &m) && m.val >= 0 &&
          syn_next(x, m.val, m.val_end, &tok) == SYN_NAME && syn_name_is(x, &tok, "DocMDP")) {
        const char *pp;
        int64_t pps, ppe;
        int64_t level = entry_view(doc, x, xs, xe, "TransformParams", &pp, &pps, &ppe)
                            ? int_after_name(pp, pps, ppe, "P")
                            : -1;
        return level >= 1 && level <= 3 ? level : 2;
      }
    }
    p = v;
  }
  return 2;
}
