// Removal of this library's stamps. A stamped page's /Contents is
// [opening, content..., stamp] (or [stamp, content..., closing] for a stamp
// drawn under the content, or the stamp alone for a page that had none);
// each stamp taken off peels one such layer, outermost first, so a page
// stamped twice loses both. A stamp stream written by the extended calls
// carries a /KpWm dictionary: its kind, its group and the /Contents value
// the page had before (/Was), which the page gets back exactly. Streams of
// the classic calls carry nothing: they are recognised by their decoded
// bytes, and the page gets the content between them.
//
// A page whose /Contents no longer has the shape a stamp left (another
// program added or merged streams) keeps its stamps: removing streams from
// content we did not write could break it.
//
// No process-wide state.
#include "pdf_remove.h"

#include <algorithm>
#include <unordered_map>
#include <cstring>
#include <map>
#include <new>
#include <set>
#include <string_view>

#include "flate.h"
#include "pdf_decrypt.h"
#include "pdf_marks.h"
#include "pdf_syntax.h"

namespace {

enum stream_kind { K_NONE, K_OPEN, K_CLOSE, K_OVER, K_UNDER, K_ALONE };

struct res_name {
  std::string category;
  std::string name;
};

// What a content stream is to us.
struct stream_info {
  stream_kind kind = K_NONE;
  bool has_was = false;
  std::string was;  // the page's earlier /Contents value
  int64_t ocg = 0;
  std::vector<res_name> names;
};

struct ref {
  int64_t num;
  int64_t gen;
};

// A stream larger than this is not inflated to look for resource names.
constexpr size_t k_max_inflated = size_t(256) << 20;

bool stamp_kind(stream_kind k) { return k == K_OVER || k == K_UNDER || k == K_ALONE; }

// The decoded bytes of a stream without a filter or with /FlateDecode
// alone, decrypted first in an encrypted document: 1, or 2 when `most` is
// not 0 and the stream holds more than `most` bytes (*out has the first
// `most`); 0 for any other filter or damaged data.
int stream_bytes(const pdf_doc *doc, const pdf_obj *o, const char *t,
                 int64_t s, int64_t e, std::string *out, size_t most = 0) {
  if (o->data_off < 0 || o->data_end < o->data_off || o->data_end > doc->size)
    return 0;
  const char *d = doc->data + o->data_off;
  size_t n = static_cast<size_t>(o->data_end - o->data_off);
  std::vector<uint8_t> clear;
  if (doc->sec) {
    clear = sec_stream_data(doc->sec, o, t + s, static_cast<size_t>(e - s),
                            reinterpret_cast<const uint8_t *>(d), n);
    d = reinterpret_cast<const char *>(clear.data());
    n = clear.size();
  }
  int64_t ks, vs, ve;
  if (!mk_dict_find(t, s, e, "Filter", &ks, &vs, &ve)) {
    if (most && n > most) {
      out->assign(d, most);
      return 2;
    }
    out->assign(d, n);
    return 1;
  }
  std::string f = mk_name(t, vs, ve);
  if (f.empty()) {
    std::vector<std::pair<int64_t, int64_t>> items;
    if (!mk_array_items(t, vs, ve, &items) || items.size() != 1) return 0;
    f = mk_name(t, items[0].first, items[0].second);
  }
  if (f != "FlateDecode" || n < 2 || mk_dict_find(t, s, e, "DecodeParms", &ks, &vs, &ve))
    return 0;
  // More room only for data that needs it: damaged data fails alike at
  // any size.
  for (size_t cap = most ? most : std::max<size_t>(4096, n * 8); cap <= k_max_inflated;
       cap *= 4) {
    out->resize(cap);
    int got = kp_inflate(reinterpret_cast<const uint8_t *>(d) + 2, n - 2,
                         reinterpret_cast<uint8_t *>(&(*out)[0]), cap);
    if (got >= 0) {
      out->resize(static_cast<size_t>(got));
      return 1;
    }
    if (got != -2) break;
    if (most) return 2;  // the first `most` bytes are written
  }
  return 0;
}

bool starts(std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }
bool ends(std::string_view s, std::string_view p) {
  return s.size() >= p.size() && s.substr(s.size() - p.size()) == p;
}

// The resource names a stamp draws with: every /KpWm... name, filed under
// the category its operator uses (gs, Tf, Do, BDC).
void stamp_names(const std::string &c, std::vector<res_name> *out) {
  size_t i = 0;
  while ((i = c.find("/KpWm", i)) != std::string::npos) {
    size_t e = i + 1;
    while (e < c.size() && is_name_char(static_cast<unsigned char>(c[e]))) e++;
    std::string name = c.substr(i + 1, e - i - 1);
    size_t p = e;
    auto ws = [&] {
      while (p < c.size() && is_pdf_ws(static_cast<unsigned char>(c[p]))) p++;
    };
    ws();
    while (p < c.size() && (is_digit_c(static_cast<unsigned char>(c[p])) ||
                            c[p] == '.' || c[p] == '-'))
      p++;
    ws();
    size_t q = p;
    while (q < c.size() && is_alnum_c(static_cast<unsigned char>(c[q]))) q++;
    const std::string op = c.substr(p, q - p);
    const char *cat = op == "gs" ? "ExtGState" : op == "Tf" ? "Font"
                      : op == "Do" ? "XObject" : op == "BDC" ? "Properties" : nullptr;
    if (cat) {
      bool dup = false;
      for (const res_name &r : *out)
        if (r.name == name && r.category == cat) dup = true;
      if (!dup) out->push_back({cat, name});
    }
    i = e;
  }
}

// The classic graphics-state line at `at`: "/KpWmGS" with any suffix, then
// " gs\n".
bool classic_gs_at(std::string_view c, size_t at) {
  if (c.substr(at, 7) != "/KpWmGS") return false;
  size_t e = at + 7;
  while (e < c.size() && is_name_char(static_cast<unsigned char>(c[e]))) e++;
  return c.substr(e, 4) == " gs\n";
}

// The kind of a stream by the classic calls' bytes.
stream_kind classic_kind(std::string_view b) {
  if (b == "q\n") return K_OPEN;
  if (!ends(b, "Q\n")) return K_NONE;
  if (starts(b, "Q\nq\n") && classic_gs_at(b, 4)) return K_OVER;
  if (starts(b, "q\n") && classic_gs_at(b, 2)) return K_ALONE;
  return K_NONE;
}

// A compressed stream larger than this is no classic stamp stream (they
// hold one line of text or one image's drawing).
constexpr int64_t k_max_classic_z = 1 << 16;

stream_info classify(const pdf_doc *doc, int64_t num) {
  stream_info si;
  const pdf_obj *o = obj_find(&doc->objects, num);
  if (!o || !o->has_stream) return si;
  const char *t;
  int64_t s, e;
  if (!obj_dict_range(doc->data, doc->size, o, &t, &s, &e)) return si;
  // obj_dict_range's end is the dictionary's close or beyond; the value
  // scanner stops at the ">>".
  int64_t ks, vs, ve;
  std::string bytes;
  if (mk_dict_find(t, s, e, k_mk_marker, &ks, &vs, &ve) &&
      t[skip_ws(t, vs, ve)] == '<') {
    int64_t a, b, c;
    if (mk_dict_find(t, vs, ve, "Kind", &a, &b, &c)) {
      const std::string k = mk_name(t, b, c);
      si.kind = k == "Open" ? K_OPEN : k == "Close" ? K_CLOSE : k == "Over" ? K_OVER
                : k == "Under" ? K_UNDER : k == "Alone" ? K_ALONE : K_NONE;
    }
    if (mk_dict_find(t, vs, ve, "Was", &a, &b, &c)) {
      si.has_was = true;
      si.was.assign(t + b, static_cast<size_t>(c - b));
    }
    if (mk_dict_find(t, vs, ve, "OC", &a, &b, &c)) mk_ref(t, b, c, &si.ocg, nullptr);
    if (stamp_kind(si.kind) && stream_bytes(doc, o, t, s, e, &bytes))
      stamp_names(bytes, &si.names);
    return si;
  }
  // The classic streams, by their bytes (decoded: a program that rewrote
  // the file may have compressed them). Page content is mostly not ours:
  // raw bytes are looked at where they lie, and only small compressed or
  // encrypted streams are decoded.
  if (o->data_off < 0 || o->data_end < o->data_off || o->data_end > doc->size) return si;
  std::string_view raw(doc->data + o->data_off,
                       static_cast<size_t>(o->data_end - o->data_off));
  if (!doc->sec && !mk_dict_find(t, s, e, "Filter", &ks, &vs, &ve)) {
    si.kind = classic_kind(raw);
    if (stamp_kind(si.kind)) stamp_names(std::string(raw), &si.names);
    return si;
  }
  // Its first bytes tell most streams from a classic one ("q\n", or one
  // that begins "q\n" or "Q\nq\n"), without decoding them whole.
  if (o->data_end - o->data_off > k_max_classic_z) return si;
  const int got = stream_bytes(doc, o, t, s, e, &bytes, 16);
  if (!got || (got == 2 && !starts(bytes, "q\n") && !starts(bytes, "Q\nq\n")) ||
      (got == 2 && !stream_bytes(doc, o, t, s, e, &bytes)))
    return si;
  si.kind = classic_kind(bytes);
  if (stamp_kind(si.kind)) stamp_names(bytes, &si.names);
  return si;
}

// The references of a /Contents value: one for a reference to a stream,
// the entries of an array (written in place or as an object of its own).
// *is_array tells which; 0 when an entry is not a reference.
int contents_refs(const pdf_doc *doc, const std::string &v, std::vector<ref> *out,
                  bool *is_array) {
  out->clear();
  const char *t = v.data();
  const int64_t n = static_cast<int64_t>(v.size());
  ref r{0, 0};
  std::string arr;
  if (mk_ref(t, 0, n, &r.num, &r.gen)) {
    const pdf_obj *o = obj_find(&doc->objects, r.num);
    if (!o || o->has_stream || !mk_plain_obj_text(doc, r.num, &arr)) {
      *is_array = false;
      out->push_back(r);
      return 1;
    }
    t = arr.data();
  }
  std::vector<std::pair<int64_t, int64_t>> items;
  const int64_t an = arr.empty() ? n : static_cast<int64_t>(arr.size());
  if (!mk_array_items(t, 0, an, &items)) return 0;
  for (const auto &it : items) {
    if (!mk_ref(t, it.first, it.second, &r.num, &r.gen)) return 0;
    out->push_back(r);
  }
  *is_array = true;
  return 1;
}

bool same_refs(const std::vector<ref> &a, const std::vector<ref> &b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); i++)
    if (a[i].num != b[i].num) return false;
  return true;
}

std::string refs_text(const std::vector<ref> &v, bool as_array) {
  std::string s = as_array ? "[" : "";
  for (size_t i = 0; i < v.size(); i++) {
    if (i) s += ' ';
    s += std::to_string(v[i].num) + " " + std::to_string(v[i].gen) + " R";
  }
  return as_array ? s + "]" : s;
}

// One page's findings.
struct page_plan {
  int stamps = 0;
  bool changed = false;
  bool drop_contents = false;  // the page had no /Contents
  std::string contents;        // its /Contents value after the removal
  std::vector<stream_info> removed;
  std::vector<ref> rest;       // the streams that stay
};

// Peels the page's stamps off its /Contents value `v`.
void plan_page(const pdf_doc *doc, const std::string &v, page_plan *pp) {
  std::vector<ref> e;
  bool is_array = false;
  if (!contents_refs(doc, v, &e, &is_array)) return;
  std::string repr = v;
  for (;;) {
    if (e.size() == 1) {
      stream_info si = classify(doc, e[0].num);
      if (si.kind != K_ALONE) break;
      pp->removed.push_back(si);
      pp->stamps++;
      pp->drop_contents = true;
      e.clear();
      break;
    }
    if (e.size() < 2) break;
    stream_info a = classify(doc, e.front().num);
    stream_info b = classify(doc, e.back().num);
    const stream_info *st = nullptr;
    if (a.kind == K_OPEN && b.kind == K_OVER) st = &b;
    else if (a.kind == K_UNDER && b.kind == K_CLOSE) st = &a;
    if (!st) break;
    std::vector<ref> middle(e.begin() + 1, e.end() - 1);
    if (st->has_was) {
      std::vector<ref> was;
      bool was_array = false;
      if (!contents_refs(doc, st->was, &was, &was_array) || !same_refs(was, middle)) {
        pp->changed = true;
        break;
      }
      repr = st->was;
      e = was;
      is_array = was_array;
    } else {
      repr = refs_text(middle, middle.size() != 1);
      e = middle;
      is_array = middle.size() != 1;
    }
    pp->removed.push_back(*st);
    pp->stamps++;
  }
  (void)is_array;
  if (pp->stamps && !pp->drop_contents) pp->contents = repr;
  pp->rest = e;
  // A stamp still among the streams: the page was changed after stamping.
  for (const ref &r : e)
    if (stamp_kind(classify(doc, r.num).kind)) pp->changed = true;
}

// The names a stamp that stays draws with, by the object that holds them:
// the node whose inline /Resources the page uses, its resources object, and
// every category object those resources refer to.
using kept_map = std::map<int64_t, std::set<std::string>>;

// What the nodes above pages inherit: node -> the nearest node from it
// upwards with a /Resources (0: none). Removal never adds or drops a
// /Resources above a page, so the answers hold for a whole removal, and a
// long chain of nodes is climbed once rather than once per page.
using holder_memo = std::unordered_map<int64_t, int64_t>;

// The object whose /Resources the page uses (itself or the nearest node
// above it), with that value's span in its text; 0 when there is none.
int64_t resources_node(const pdf_doc *doc, const overlay *ov, const page_info *pg,
                       std::string *text, int64_t *vs, int64_t *ve, holder_memo *memo) {
  int64_t node = pg->num, found = 0;
  bool remembered = false;
  climb_seen seen;
  while (node > 0 && climb_add(&seen, node)) {
    if (node != pg->num) {
      auto it = memo->find(node);
      if (it != memo->end()) {
        found = it->second;
        remembered = true;
        break;
      }
    }
    if (!mk_obj_text(doc, ov, node, text)) break;
    int64_t ks;
    const int64_t n = static_cast<int64_t>(text->size());
    if (mk_dict_find(text->data(), 0, n, "Resources", &ks, vs, ve)) {
      found = node;
      break;
    }
    int64_t parent = 0;
    if (node == pg->num) parent = pg->parent;
    else if (mk_dict_find(text->data(), 0, n, "Parent", &ks, vs, ve))
      mk_ref(text->data(), *vs, *ve, &parent, nullptr);
    node = parent;
  }
  for (int64_t n : seen.path)
    if (n != pg->num) (*memo)[n] = found;
  if (found && remembered) {
    int64_t ks;
    if (!mk_obj_text(doc, ov, found, text) ||
        !mk_dict_find(text->data(), 0, static_cast<int64_t>(text->size()), "Resources", &ks, vs,
                      ve))
      return 0;
  }
  return found;
}

// The keys of kept_map under which the page's resources live.
std::vector<int64_t> holder_keys(const pdf_doc *doc, const overlay *ov,
                                 const page_info *pg, holder_memo *memo) {
  std::vector<int64_t> keys;
  std::string text, res;
  int64_t vs, ve, num;
  int64_t node = resources_node(doc, ov, pg, &text, &vs, &ve, memo);
  if (!node) return keys;
  if (text[static_cast<size_t>(vs)] == '<') {
    keys.push_back(node);
    res = text.substr(static_cast<size_t>(vs), static_cast<size_t>(ve - vs));
  } else if (mk_ref(text.data(), vs, ve, &num, nullptr)) {
    keys.push_back(num);
    if (!mk_obj_text(doc, ov, num, &res)) return keys;
  }
  for (const char *cat : {"ExtGState", "Font", "XObject", "Properties"}) {
    int64_t ks, cs, ce;
    if (mk_dict_find(res.data(), 0, static_cast<int64_t>(res.size()), cat, &ks, &cs, &ce) &&
        mk_ref(res.data(), cs, ce, &num, nullptr))
      keys.push_back(num);
  }
  return keys;
}

// Every stamp stream listed in a /Contents value: the names it uses go
// under the page's holders, its group into `ocgs`.
void stamps_in(const pdf_doc *doc, const overlay *ov, const page_info *pg,
               const std::string &v, kept_map *kept, std::set<int64_t> *ocgs,
               holder_memo *memo) {
  std::vector<ref> e;
  bool is_array;
  if (!contents_refs(doc, v, &e, &is_array)) return;
  std::vector<int64_t> keys;
  bool have_keys = false;
  for (const ref &r : e) {
    stream_info si = classify(doc, r.num);
    if (!stamp_kind(si.kind)) continue;
    if (!have_keys) keys = holder_keys(doc, ov, pg, memo);
    have_keys = true;
    for (int64_t k : keys)
      for (const res_name &n : si.names) (*kept)[k].insert(n.name);
    if (si.ocg) ocgs->insert(si.ocg);
  }
}

bool is_kept(const kept_map &kept, int64_t key, const std::string &name) {
  auto it = kept.find(key);
  return it != kept.end() && it->second.count(name);
}

// Drops the names from the resources dictionary *res held by object
// `holder` (inline category dictionaries, or the objects they refer to),
// but for those a stamp that stays still uses there; an inline category
// left empty goes too.
void drop_from_resources(const pdf_doc *doc, overlay *ov, std::string *res,
                         int64_t holder, const std::vector<res_name> &names,
                         const kept_map &kept) {
  for (const res_name &n : names) {
    int64_t ks, vs, ve, num;
    if (!mk_dict_find(res->data(), 0, static_cast<int64_t>(res->size()),
                      n.category.c_str(), &ks, &vs, &ve))
      continue;
    if ((*res)[static_cast<size_t>(vs)] == '<') {
      if (is_kept(kept, holder, n.name)) continue;
      std::string cat = res->substr(static_cast<size_t>(vs), static_cast<size_t>(ve - vs));
      if (!mk_del_key(&cat, n.name.c_str())) continue;
      if (mk_empty(cat.data(), 0, static_cast<int64_t>(cat.size()))) {
        mk_del_key(res, n.category.c_str());
      } else {
        res->replace(static_cast<size_t>(vs), static_cast<size_t>(ve - vs), cat);
      }
    } else if (mk_ref(res->data(), vs, ve, &num, nullptr)) {
      if (is_kept(kept, num, n.name)) continue;
      std::string cat;
      if (mk_obj_text(doc, ov, num, &cat) && mk_del_key(&cat, n.name.c_str()))
        mk_set_text(ov, num, cat);
    }
  }
}

// The resources the page uses (its own or inherited) lose the names.
void drop_names(const pdf_doc *doc, overlay *ov, const page_info *pg,
                const std::vector<res_name> &names, const kept_map &kept, holder_memo *memo) {
  if (names.empty()) return;
  std::string text;
  int64_t vs, ve, num;
  const int64_t node = resources_node(doc, ov, pg, &text, &vs, &ve, memo);
  if (!node) return;
  if (text[static_cast<size_t>(vs)] == '<') {
    std::string res = text.substr(static_cast<size_t>(vs), static_cast<size_t>(ve - vs));
    drop_from_resources(doc, ov, &res, node, names, kept);
    // A /Resources left empty stays: the page may have had it so (an empty
    // one is what a page without resources should have anyway).
    text.replace(static_cast<size_t>(vs), static_cast<size_t>(ve - vs), res);
    mk_set_text(ov, node, text);
  } else if (mk_ref(text.data(), vs, ve, &num, nullptr)) {
    std::string res;
    if (!mk_obj_text(doc, ov, num, &res)) return;
    drop_from_resources(doc, ov, &res, num, names, kept);
    mk_set_text(ov, num, res);
  }
}

// The resolved text of the value [vs, ve) of `t` (the object it refers
// to, for a reference); 0 when there is none.
int resolved(const pdf_doc *doc, const overlay *ov, const std::string &t,
             int64_t vs, int64_t ve, std::string *out) {
  int64_t num;
  if (mk_ref(t.data(), vs, ve, &num, nullptr)) return mk_obj_text(doc, ov, num, out);
  out->assign(t, static_cast<size_t>(vs), static_cast<size_t>(ve - vs));
  return 1;
}

// Whether the streams `rest`, drawn with the resources dictionary `res`,
// draw our graphics state: the resources name it and a stream uses it, or
// a form they draw does (a program that wraps a page's content in a form
// of its own keeps the stamp there). `depth` bounds nested forms.
bool draws_stamp(const pdf_doc *doc, const overlay *ov, const std::string &res,
                 const std::vector<ref> &rest, int depth) {
  int64_t ks, cs, ce;
  std::string cat;
  if (mk_dict_find(res.data(), 0, static_cast<int64_t>(res.size()), "ExtGState", &ks,
                   &cs, &ce) &&
      resolved(doc, ov, res, cs, ce, &cat) && cat.find("/KpWmGS") != std::string::npos) {
    for (const ref &r : rest) {
      const pdf_obj *o = obj_find(&doc->objects, r.num);
      const char *t;
      int64_t s, e;
      std::string bytes;
      if (o && o->has_stream && obj_dict_range(doc->data, doc->size, o, &t, &s, &e) &&
          stream_bytes(doc, o, t, s, e, &bytes) &&
          bytes.find("/KpWmGS") != std::string::npos)
        return true;
    }
  }
  if (depth <= 0 ||
      !mk_dict_find(res.data(), 0, static_cast<int64_t>(res.size()), "XObject", &ks, &cs,
                    &ce) ||
      !resolved(doc, ov, res, cs, ce, &cat))
    return false;
  // Every form among the XObjects, with its own resources.
  int64_t i = 2;
  const int64_t n = static_cast<int64_t>(cat.size());
  while (i < n) {
    int64_t v = mk_value_end(cat.data(), i, n);
    if (v < 0) break;
    int64_t num;
    if (mk_ref(cat.data(), i, v, &num, nullptr)) {
      const pdf_obj *o = obj_find(&doc->objects, num);
      const char *t;
      int64_t s, e, fs, fe;
      if (o && o->has_stream && obj_dict_range(doc->data, doc->size, o, &t, &s, &e)) {
        const std::string form(t + s, static_cast<size_t>(e - s));
        std::string fres;
        if (mk_dict_find(form.data(), 0, static_cast<int64_t>(form.size()), "Resources",
                         &ks, &fs, &fe) &&
            resolved(doc, ov, form, fs, fe, &fres) &&
            draws_stamp(doc, ov, fres, {ref{num, 0}}, depth - 1))
          return true;
      }
    }
    i = v;
  }
  return false;
}

// Whether a stamp is drawn by the streams that stay although none of them
// is ours: another program merged the page's content into streams or forms
// of its own.
bool stamp_merged(const pdf_doc *doc, const overlay *ov, const page_info *pg,
                  const std::vector<ref> &rest, holder_memo *memo) {
  std::string text, res;
  int64_t vs, ve;
  const int64_t node = resources_node(doc, ov, pg, &text, &vs, &ve, memo);
  if (!node || !resolved(doc, ov, text, vs, ve, &res)) return false;
  return draws_stamp(doc, ov, res, rest, 3);
}

}  // namespace

void rm_stamps(const pdf_doc *doc, overlay *ov, const std::vector<char> &selected,
               rm_result *out) {
  const int count = doc->pages.count;
  std::vector<page_plan> plans(static_cast<size_t>(count));
  kept_map kept;
  std::set<int64_t> kept_ocgs;
  holder_memo memo;
  // A page object the tree lists twice is planned once, as selected when
  // either of its places is.
  int32_t top = 0;
  for (int i = 0; i < count; i++) top = std::max(top, doc->pages.items[i].num);
  std::vector<uint8_t> any_selected(static_cast<size_t>(top) + 1, 0), done(any_selected.size(), 0);
  for (size_t i = 0; i < selected.size() && i < static_cast<size_t>(count); i++)
    if (selected[i] && doc->pages.items[i].num >= 0)
      any_selected[static_cast<size_t>(doc->pages.items[i].num)] = 1;
  for (int i = 0; i < count; i++) {
    const page_info *pg = &doc->pages.items[i];
    if (pg->num < 0 || done[static_cast<size_t>(pg->num)]) continue;
    done[static_cast<size_t>(pg->num)] = 1;
    std::string text;
    if (!mk_obj_text(doc, ov, pg->num, &text)) continue;
    int64_t ks, vs, ve;
    if (!mk_dict_find(text.data(), 0, static_cast<int64_t>(text.size()), "Contents",
                      &ks, &vs, &ve))
      continue;
    const std::string v = text.substr(static_cast<size_t>(vs), static_cast<size_t>(ve - vs));
    page_plan &pp = plans[static_cast<size_t>(i)];
    if (any_selected[static_cast<size_t>(pg->num)]) {
      plan_page(doc, v, &pp);
      if (!pp.changed && stamp_merged(doc, ov, pg, pp.rest, &memo)) pp.changed = true;
      if (pp.changed) out->changed.push_back(i + 1);
      stamps_in(doc, ov, pg,
                pp.stamps ? (pp.drop_contents ? std::string() : pp.contents) : v,
                &kept, &kept_ocgs, &memo);
    } else {
      stamps_in(doc, ov, pg, v, &kept, &kept_ocgs, &memo);
    }
  }
  std::vector<int64_t> drop_ocgs;
  for (int i = 0; i < count; i++) {
    page_plan &pp = plans[static_cast<size_t>(i)];
    if (!pp.stamps) continue;
    const page_info *pg = &doc->pages.items[i];
    std::string text;
    if (!mk_obj_text(doc, ov, pg->num, &text)) continue;
    mk_del_key(&text, "Contents");
    if (!pp.drop_contents) mk_add_key(&text, "Contents", pp.contents);
    mk_set_text(ov, pg->num, text);
    std::vector<res_name> names;
    for (const stream_info &si : pp.removed) {
      for (const res_name &n : si.names) names.push_back(n);
      if (si.ocg && !kept_ocgs.count(si.ocg) &&
          std::find(drop_ocgs.begin(), drop_ocgs.end(), si.ocg) == drop_ocgs.end())
        drop_ocgs.push_back(si.ocg);
    }
    drop_names(doc, ov, pg, names, kept, &memo);
    out->stamps += pp.stamps;
    out->pages++;
  }
  mk_catalog_drop_ocgs(doc, ov, drop_ocgs);
}
