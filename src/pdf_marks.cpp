// Watermarks that can be found again: the marked content around a stamp,
// its optional content group and the group's place in the catalog's
// /OCProperties (PDF 8.11, 14.8.2.2), with the object-text scanning these
// edits need. Every edit keeps what the document had: a group is appended
// to the arrays it belongs in, never put before the document's own, and
// removal takes out only the references to the groups it is given.
//
// No process-wide state.
#include "pdf_marks.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>
#include <string_view>
#include <unordered_set>

#include "pdf_syntax.h"

const char k_mk_marker[] = "KpWm";

namespace {

// Byte classes, one table look-up each: 1 delimiter, 2 whitespace.
struct class_table {
  unsigned char v[256];
};
constexpr class_table make_classes() {
  class_table t{};
  const char d[] = "()<>[]{}/%";
  for (int i = 0; d[i]; i++) t.v[static_cast<unsigned char>(d[i])] = 1;
  for (int c = 0; c < 256; c++)
    if (is_pdf_ws(static_cast<unsigned char>(c))) t.v[c] = 2;
  return t;
}
constexpr class_table k_classes = make_classes();

bool is_delim(unsigned char c) { return k_classes.v[c] == 1; }
bool token_end(unsigned char c) { return k_classes.v[c] != 0; }

// Past whitespace and comments.
int64_t skip_space(const char *t, int64_t i, int64_t end) {
  while (i < end) {
    unsigned char c = static_cast<unsigned char>(t[i]);
    if (k_classes.v[c] == 2) {
      i++;
    } else if (c == '%') {
      while (i < end && t[i] != '\n' && t[i] != '\r') i++;
    } else {
      break;
    }
  }
  return i;
}

// One past the ')' of the literal string whose '(' is at i, or -1.
int64_t string_end(const char *t, int64_t i, int64_t end) {
  int depth = 0;
  while (i < end) {
    char c = t[i];
    if (c == '\\') {
      i += 2;
      continue;
    }
    if (c == '(') depth++;
    if (c == ')' && --depth == 0) return i + 1;
    i++;
  }
  return -1;
}

// One past the token that is not a container, string or name at i.
int64_t word_end(const char *t, int64_t i, int64_t end) {
  while (i < end && !token_end(static_cast<unsigned char>(t[i]))) i++;
  return i;
}

// The bytes that matter to container_end.
constexpr class_table make_nesting() {
  class_table t{};
  const char d[] = "<>[](%";
  for (int i = 0; d[i]; i++) t.v[static_cast<unsigned char>(d[i])] = 1;
  return t;
}
constexpr class_table k_nesting = make_nesting();

// The first of those bytes at or after i (end when none): looked for one by
// one in the next few bytes, where most are (a page's arrays and small
// dictionaries), then sixteen at a time.
int64_t next_nesting(const char *t, int64_t i, int64_t end) {
  const int64_t near = end - i > 24 ? i + 24 : end;
  for (; i < near; i++)
    if (k_nesting.v[static_cast<unsigned char>(t[i])]) return i;
  return i < end ? find_any(t, i, end, "<>[](%") : end;
}

// One past the dictionary or array that opens at p, or -1.
int64_t container_end(const char *t, int64_t p, int64_t end) {
  int depth = 0;
  int64_t i = p;
  while (i < end) {
    // Whitespace, names, words and the other delimiters leave the depth as
    // it is, and none of them runs past one of these bytes.
    i = next_nesting(t, i, end);
    if (i >= end) break;
    char c = t[i];
    if (c == '<' && i + 1 < end && t[i + 1] == '<') {
      depth++;
      i += 2;
    } else if (c == '>' && i + 1 < end && t[i + 1] == '>') {
      i += 2;
      if (--depth == 0) return i;
    } else if (c == '[') {
      depth++;
      i++;
    } else if (c == ']') {
      i++;
      if (--depth == 0) return i;
    } else if (c == '(') {
      i = string_end(t, i, end);
      if (i < 0) return -1;
    } else if (c == '<') {
      const void *gt = memchr(t + i, '>', static_cast<size_t>(end - i));
      if (!gt) return -1;
      i = static_cast<int64_t>(static_cast<const char *>(gt) - t) + 1;
    } else if (c == '%') {
      i = skip_space(t, i, end);
    } else {
      i++;  // a '>' alone
    }
    if (depth < 0) return -1;
  }
  return -1;
}

bool all_digits(const char *t, int64_t s, int64_t e) {
  if (s >= e) return false;
  for (int64_t i = s; i < e; i++)
    if (!is_digit_c(static_cast<unsigned char>(t[i]))) return false;
  return true;
}

// The digits of an object number or generation at i: one past them, or -1.
int64_t digits_end(const char *t, int64_t i, int64_t end) {
  int64_t e = word_end(t, i, end);
  return all_digits(t, i, e) ? e : -1;
}

// When "num gen R" starts at i: one past the R, else -1.
int64_t ref_end(const char *t, int64_t i, int64_t end) {
  int64_t a = digits_end(t, i, end);
  if (a < 0 || a >= end || !is_pdf_ws(static_cast<unsigned char>(t[a]))) return -1;
  int64_t b = skip_space(t, a, end);
  int64_t c = digits_end(t, b, end);
  if (c < 0 || c >= end || !is_pdf_ws(static_cast<unsigned char>(t[c]))) return -1;
  int64_t d = skip_space(t, c, end);
  if (d >= end || t[d] != 'R') return -1;
  if (d + 1 < end && !token_end(static_cast<unsigned char>(t[d + 1]))) return -1;
  return d + 1;
}

std::string ref_text(int64_t num) { return std::to_string(num) + " 0 R"; }

// A PDF text string for a UTF-8 text: a literal when it is printable
// ASCII, else UTF-16BE with its byte order mark, in hex.
std::string text_string(const std::string &s) {
  bool ascii = true;
  for (unsigned char c : s)
    if (c < 0x20 || c > 0x7e) ascii = false;
  if (ascii) {
    std::string out = "(";
    for (char c : s) {
      if (c == '(' || c == ')' || c == '\\') out += '\\';
      out += c;
    }
    return out + ")";
  }
  static const char hex[] = "0123456789ABCDEF";
  std::string out = "<FEFF";
  auto unit = [&](unsigned u) {
    for (int sh = 12; sh >= 0; sh -= 4) out += hex[(u >> sh) & 15];
  };
  size_t i = 0;
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    unsigned cp = 0xFFFD;
    size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 1) {
      cp = c;
    } else if (n > 1 && i + n <= s.size()) {
      cp = c & (0x7F >> n);
      for (size_t k = 1; k < n; k++) {
        unsigned char d = static_cast<unsigned char>(s[i + k]);
        if ((d >> 6) != 2) {
          cp = 0xFFFD;
          n = k;
          break;
        }
        cp = (cp << 6) | (d & 0x3F);
      }
    }
    if (n == 0) n = 1;
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
    if (cp >= 0x10000) {
      unit(0xD800 + ((cp - 0x10000) >> 10));
      unit(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      unit(cp);
    }
    i += n;
  }
  return out + ">";
}

// Applies `fn` to the dictionary that is the value of /key in *outer: in
// place when it is inline, in the overlay when it is a reference. 0 when
// there is no such dictionary.
template <class F>
int edit_sub(const pdf_doc *doc, overlay *ov, std::string *outer,
             const char *key, F fn) {
  int64_t ks, vs, ve;
  const int64_t n = static_cast<int64_t>(outer->size());
  if (!mk_dict_find(outer->data(), 0, n, key, &ks, &vs, &ve)) return 0;
  int64_t num;
  if (outer->compare(static_cast<size_t>(vs), 2, "<<") == 0) {
    std::string sub = outer->substr(static_cast<size_t>(vs),
                                    static_cast<size_t>(ve - vs));
    fn(&sub);
    outer->replace(static_cast<size_t>(vs), static_cast<size_t>(ve - vs), sub);
    return 1;
  }
  if (mk_ref(outer->data(), vs, ve, &num, nullptr)) {
    std::string sub;
    if (!mk_obj_text(doc, ov, num, &sub)) return 0;
    fn(&sub);
    mk_set_text(ov, num, sub);
    return 1;
  }
  return 0;
}

// Appends `item` to the array /key of *dict: in place, or, when the array
// is an object of its own, as an inline copy with the item; a new array
// when there is none. 0 when /key holds something else.
int append_to_array(const pdf_doc *doc, std::string *dict, const char *key,
                    const std::string &item) {
  int64_t ks, vs, ve, num;
  const int64_t n = static_cast<int64_t>(dict->size());
  if (!mk_dict_find(dict->data(), 0, n, key, &ks, &vs, &ve))
    return mk_add_key(dict, key, "[" + item + "]");
  if ((*dict)[static_cast<size_t>(vs)] == '[') {
    dict->insert(static_cast<size_t>(ve - 1), " " + item + " ");
    return 1;
  }
  std::string arr;
  if (mk_ref(dict->data(), vs, ve, &num, nullptr) &&
      mk_plain_obj_text(doc, num, &arr) && !arr.empty() && arr[0] == '[' &&
      arr.back() == ']') {
    arr.insert(arr.size() - 1, " " + item + " ");
    dict->replace(static_cast<size_t>(vs), static_cast<size_t>(ve - vs), arr);
    return 1;
  }
  return 0;
}

// Removes every reference "num gen R" to one of `nums` from the text
// (strings and comments left alone), with one blank before it.
void remove_refs(std::string *s, const std::vector<int64_t> &nums) {
  const char *t = s->data();
  int64_t end = static_cast<int64_t>(s->size());
  std::string out;
  out.reserve(s->size());
  int64_t i = 0, copied = 0;
  while (i < end) {
    char c = t[i];
    if (c == '(') {
      int64_t e = string_end(t, i, end);
      i = e < 0 ? end : e;
    } else if (c == '%') {
      while (i < end && t[i] != '\n' && t[i] != '\r') i++;
    } else if (c == '<' && i + 1 < end && t[i + 1] == '<') {
      i += 2;
    } else if (c == '<') {
      const void *gt = memchr(t + i, '>', static_cast<size_t>(end - i));
      i = gt ? static_cast<int64_t>(static_cast<const char *>(gt) - t) + 1 : end;
    } else if (is_digit_c(static_cast<unsigned char>(c)) &&
               (i == 0 || token_end(static_cast<unsigned char>(t[i - 1])))) {
      int64_t e = ref_end(t, i, end);
      if (e < 0) {
        i = word_end(t, i, end);
        continue;
      }
      int64_t q = i;
      int64_t num = parse_int_at(t, e, &q);
      if (std::find(nums.begin(), nums.end(), num) != nums.end()) {
        int64_t from = (i > copied && t[i - 1] == ' ') ? i - 1 : i;
        out.append(t + copied, static_cast<size_t>(from - copied));
        copied = e;
      }
      i = e;
    } else {
      i++;
    }
  }
  out.append(t + copied, static_cast<size_t>(end - copied));
  s->swap(out);
}

// After its groups were taken out: drops the /AS entries whose /OCGs are
// empty, and the state and order arrays left empty.
void tidy_config(std::string *d) {
  int64_t ks, vs, ve;
  if (mk_dict_find(d->data(), 0, static_cast<int64_t>(d->size()), "AS", &ks,
                   &vs, &ve) &&
      (*d)[static_cast<size_t>(vs)] == '[') {
    std::vector<std::pair<int64_t, int64_t>> items;
    if (mk_array_items(d->data(), vs, ve, &items)) {
      std::string arr = "[";
      for (const auto &it : items) {
        int64_t ok, ov_s, ov_e;
        bool empty = d->compare(static_cast<size_t>(it.first), 2, "<<") == 0 &&
                     mk_dict_find(d->data(), it.first, it.second, "OCGs", &ok,
                                  &ov_s, &ov_e) &&
                     mk_empty(d->data(), ov_s, ov_e);
        if (empty) continue;
        arr += d->substr(static_cast<size_t>(it.first),
                         static_cast<size_t>(it.second - it.first));
        arr += ' ';
      }
      arr += "]";
      d->replace(static_cast<size_t>(vs), static_cast<size_t>(ve - vs), arr);
    }
  }
  for (const char *key : {"AS", "ON", "OFF", "Order", "Locked"}) {
    if (mk_dict_find(d->data(), 0, static_cast<int64_t>(d->size()), key, &ks,
                     &vs, &ve) &&
        (*d)[static_cast<size_t>(vs)] == '[' && mk_empty(d->data(), vs, ve))
      mk_del_key(d, key);
  }
}

}  // namespace

int64_t mk_value_end(const char *t, int64_t pos, int64_t end) {
  int64_t p = skip_space(t, pos, end);
  if (p >= end) return -1;
  char c = t[p];
  if (c == '(') return string_end(t, p, end);
  if (c == '[' || (c == '<' && p + 1 < end && t[p + 1] == '<'))
    return container_end(t, p, end);
  if (c == '<') {
    const void *gt = memchr(t + p, '>', static_cast<size_t>(end - p));
    return gt ? static_cast<int64_t>(static_cast<const char *>(gt) - t) + 1 : -1;
  }
  if (c == '/') return word_end(t, p + 1, end);
  if (is_delim(static_cast<unsigned char>(c))) return -1;
  int64_t r = ref_end(t, p, end);
  return r >= 0 ? r : word_end(t, p, end);
}

int mk_dict_find(const char *t, int64_t start, int64_t end, const char *key,
                 int64_t *ks, int64_t *vs, int64_t *ve) {
  int64_t i = skip_space(t, start, end);
  if (i + 1 >= end || t[i] != '<' || t[i + 1] != '<') return 0;
  i += 2;
  const size_t klen = strlen(key);
  for (;;) {
    i = skip_space(t, i, end);
    if (i >= end || (t[i] == '>' && i + 1 < end && t[i + 1] == '>')) return 0;
    if (t[i] != '/') {
      int64_t e = mk_value_end(t, i, end);
      if (e < 0) return 0;
      i = e;
      continue;
    }
    int64_t k = i;
    int64_t ke = word_end(t, i + 1, end);
    int64_t v = skip_space(t, ke, end);
    int64_t e = mk_value_end(t, v, end);
    if (e < 0) return 0;
    bool hit = static_cast<size_t>(ke - k - 1) == klen && memcmp(t + k + 1, key, klen) == 0;
    // A key spelt with '#' escapes is the key it spells.
    if (!hit && memchr(t + k + 1, '#', static_cast<size_t>(ke - k - 1))) {
      syn_token name;
      name.kind = SYN_NAME;
      name.start = k;
      name.end = ke;
      name.open = 0;
      hit = syn_name_is(t, &name, key) != 0;
    }
    if (hit) {
      if (ks) *ks = k;
      *vs = v;
      *ve = e;
      return 1;
    }
    i = e;
  }
}

int mk_ref(const char *t, int64_t vs, int64_t ve, int64_t *num, int64_t *gen) {
  int64_t p = skip_space(t, vs, ve);
  if (ref_end(t, p, ve) != ve) return 0;
  int64_t n = parse_int_at(t, ve, &p);
  int64_t g = parse_int_at(t, ve, &p);
  if (n <= 0) return 0;
  if (num) *num = n;
  if (gen) *gen = g < 0 ? 0 : g;
  return 1;
}

int mk_array_items(const char *t, int64_t pos, int64_t end,
                   std::vector<std::pair<int64_t, int64_t>> *items) {
  items->clear();
  int64_t i = skip_space(t, pos, end);
  if (i >= end || t[i] != '[') return 0;
  i++;
  for (;;) {
    i = skip_space(t, i, end);
    if (i >= end) return 0;
    if (t[i] == ']') return 1;
    int64_t e = mk_value_end(t, i, end);
    if (e < 0) return 0;
    items->push_back({i, e});
    i = e;
  }
}

std::string mk_name(const char *t, int64_t vs, int64_t ve) {
  int64_t p = skip_space(t, vs, ve);
  if (p >= ve || t[p] != '/') return std::string();
  return std::string(t + p + 1, static_cast<size_t>(ve - p - 1));
}

int mk_del_key(std::string *dict, const char *key) {
  int64_t ks, vs, ve;
  if (!mk_dict_find(dict->data(), 0, static_cast<int64_t>(dict->size()), key,
                    &ks, &vs, &ve))
    return 0;
  if (ks > 0 && (*dict)[static_cast<size_t>(ks - 1)] == ' ') ks--;
  dict->erase(static_cast<size_t>(ks), static_cast<size_t>(ve - ks));
  return 1;
}

int mk_add_key(std::string *dict, const char *key, const std::string &value) {
  size_t e = dict->size();
  while (e > 0 && is_pdf_ws(static_cast<unsigned char>((*dict)[e - 1]))) e--;
  if (e < 4 || dict->compare(e - 2, 2, ">>") != 0) return 0;
  dict->insert(e - 2, " /" + std::string(key) + " " + value + " ");
  return 1;
}

int mk_empty(const char *t, int64_t vs, int64_t ve) {
  int64_t p = skip_space(t, vs, ve);
  if (p + 1 < ve && t[p] == '<' && t[p + 1] == '<')
    return skip_space(t, p + 2, ve) == ve - 2;
  if (p < ve && t[p] == '[') return skip_space(t, p + 1, ve) == ve - 1;
  return 0;
}

namespace {

// The current dictionary text of object num as a view, up to any zero
// byte (overlay first); false when there is none.
bool text_of(const pdf_doc *doc, const overlay *ov, int64_t num, const char **t, int64_t *n) {
  if (!dict_text_view(doc, ov, num, t, n)) return false;
  const void *nul = memchr(*t, 0, static_cast<size_t>(*n));
  if (nul) *n = static_cast<int64_t>(static_cast<const char *>(nul) - *t);
  return true;
}

}  // namespace

int mk_obj_text(const pdf_doc *doc, const overlay *ov, int64_t num,
                std::string *out) {
  const char *t;
  int64_t len;
  if (!text_of(doc, ov, num, &t, &len)) return 0;
  out->assign(t, static_cast<size_t>(len));
  return 1;
}

void mk_set_text(overlay *ov, int64_t num, const std::string &text) {
  char *c = copy_bytes(text.data(), text.size());
  if (!c) throw std::bad_alloc();
  ov_add(ov, num, c);
}

int mk_plain_obj_text(const pdf_doc *doc, int64_t num, std::string *out) {
  const pdf_obj *o = obj_find(&doc->objects, num);
  if (!o || o->has_stream) return 0;
  const char *t;
  int64_t p, end;
  if (o->in_objstm) {
    if (o->text_len <= 0) return 0;
    t = o->text;
    p = 0;
    end = o->text_len;
  } else {
    if (o->dict_off >= 0) return 0;
    t = doc->data;
    end = o->endobj_off > 0 ? o->endobj_off : doc->size;
    p = find_kw(doc->data, end, o->hdr_off, "obj");
    if (p < 0) return 0;
    p += 3;
  }
  p = skip_space(t, p, end);
  int64_t e = mk_value_end(t, p, end);
  if (e < 0) return 0;
  out->assign(t + p, static_cast<size_t>(e - p));
  return 1;
}

std::string mk_layer_name(int64_t ocg) {
  return "KpWmOC" + std::to_string(ocg);
}

std::string mk_marks_open(int64_t ocg) {
  std::string s;
  if (ocg > 0) s = "/OC /" + mk_layer_name(ocg) + " BDC\n";
  return s + "/Artifact <</Type /Pagination /Subtype /Watermark>> BDC\n";
}

std::string mk_marks_close(int64_t ocg) { return ocg > 0 ? "EMC\nEMC\n" : "EMC\n"; }

std::string mk_ocg_dict(const std::string &name, int show) {
  const char *view = show == MK_SHOW_PRINT ? "/OFF" : "/ON";
  const char *print = show == MK_SHOW_SCREEN ? "/OFF" : "/ON";
  return "<< /Type /OCG /Name " + text_string(name) +
         " /Usage << /View << /ViewState " + view +
         " >> /Print << /PrintState " + print +
         " >> /CreatorInfo << /Creator (reraruvozari) /Subtype /Artwork >> >> /" +
         k_mk_marker + " true >>";
}

int mk_catalog_has_oc(const pdf_doc *doc, const overlay *ov) {
  const char *t;
  int64_t n, ks, vs, ve;
  return text_of(doc, ov, doc->root, &t, &n) && mk_dict_find(t, 0, n, "OCProperties", &ks, &vs, &ve);
}

namespace {

// The dictionary that entry `key` of [t, t + n) holds, in place or through
// a reference: its text in *dt, *dn.
bool sub_dict(const pdf_doc *doc, const overlay *ov, const char *t, int64_t n, const char *key,
              const char **dt, int64_t *dn) {
  int64_t ks, vs, ve, num;
  if (!mk_dict_find(t, 0, n, key, &ks, &vs, &ve)) return false;
  if (mk_ref(t, vs, ve, &num, nullptr)) return text_of(doc, ov, num, dt, dn);
  if (ve - vs < 4 || t[vs] != '<' || t[vs + 1] != '<') return false;
  *dt = t + vs;
  *dn = ve - vs;
  return true;
}

// The references that are the values of dictionary [t, t + n).
void value_refs(const char *t, int64_t n, std::vector<int64_t> *out) {
  int64_t p = skip_space(t, 2, n);
  while (p < n && t[p] == '/') {
    const int64_t ke = word_end(t, p + 1, n);
    const int64_t vs = skip_space(t, ke, n);
    const int64_t ve = mk_value_end(t, vs, n);
    if (ve < 0) return;
    int64_t num;
    if (mk_ref(t, vs, ve, &num, nullptr) && num > 0) out->push_back(num);
    p = skip_space(t, ve, n);
  }
}

struct group_search {
  const pdf_doc *doc;
  const overlay *ov;
  std::unordered_set<int64_t> seen;  // objects looked at
  std::vector<int64_t> found;
};

// The /Type name of object num ("" when it has none).
std::string type_of(const group_search *g, int64_t num) {
  const char *t;
  int64_t n, ks, vs, ve;
  if (num <= 0 || !text_of(g->doc, g->ov, num, &t, &n) || !mk_dict_find(t, 0, n, "Type", &ks, &vs, &ve))
    return "";
  return mk_name(t, vs, ve);
}

// Object `num` as an /OC value: a group, or a membership dictionary whose
// /OCGs names groups.
void note_groups(group_search *g, int64_t num) {
  if (!g->seen.insert(num).second) return;
  const std::string type = type_of(g, num);
  if (type == "OCG") {
    g->found.push_back(num);
    return;
  }
  const char *t;
  int64_t n, ks, vs, ve, r;
  if (type != "OCMD" || !text_of(g->doc, g->ov, num, &t, &n) ||
      !mk_dict_find(t, 0, n, "OCGs", &ks, &vs, &ve))
    return;
  std::vector<std::pair<int64_t, int64_t>> items;
  if (mk_ref(t, vs, ve, &r, nullptr)) {
    items.push_back({vs, ve});
  } else if (!mk_array_items(t, vs, ve, &items)) {
    return;
  }
  for (const auto &it : items)
    if (mk_ref(t, it.first, it.second, &r, nullptr) && !g->seen.count(r) &&
        type_of(g, r) == "OCG") {
      g->seen.insert(r);
      g->found.push_back(r);
    }
}

// The groups a resources dictionary [r, r + rn) uses: its /Properties
// values, and the /OC of its XObjects and, through the resources of form
// XObjects, of theirs (each XObject looked at once; `depth` bounds the
// nesting a hostile file can ask for).
void groups_in_resources(group_search *g, const char *r, int64_t rn, int depth) {
  // Most resources name neither: a look at the bytes settles them.
  const bool props = dict_may_name(r, 0, rn, "Properties"),
             xobjects = dict_may_name(r, 0, rn, "XObject");
  const char *d;
  int64_t dn, ks, vs, ve;
  std::vector<int64_t> refs;
  if (props && sub_dict(g->doc, g->ov, r, rn, "Properties", &d, &dn)) {
    value_refs(d, dn, &refs);
    for (int64_t num : refs) note_groups(g, num);
  }
  refs.clear();
  if (!xobjects || !sub_dict(g->doc, g->ov, r, rn, "XObject", &d, &dn)) return;
  value_refs(d, dn, &refs);
  for (int64_t num : refs) {
    if (!g->seen.insert(-num).second) continue;  // this XObject was looked at
    const char *x;
    int64_t xn, oc;
    if (!text_of(g->doc, g->ov, num, &x, &xn)) continue;
    if (mk_dict_find(x, 0, xn, "OC", &ks, &vs, &ve) && mk_ref(x, vs, ve, &oc, nullptr) && oc > 0)
      note_groups(g, oc);
    // The XObject's text is borrowed: what its resources need is copied.
    const char *fr;
    int64_t frn;
    if (depth < 16 && sub_dict(g->doc, g->ov, x, xn, "Resources", &fr, &frn)) {
      const std::string inner(fr, static_cast<size_t>(frn));
      groups_in_resources(g, inner.data(), static_cast<int64_t>(inner.size()), depth + 1);
    }
  }
}

// What page_resources has looked at: resources by object number, or by the
// negated number of the node that holds them in place; the nodes above
// pages it has climbed from.
struct res_seen {
  std::unordered_set<int64_t> dicts, nodes;
};

// The resources page `page` draws with, its own or the nearest node's above
// it, as a view in *r, *rn: false when it has none, or when they were met
// before, so that pages sharing them (or a node above them) cost one look.
bool page_resources(const pdf_doc *doc, const overlay *ov, int64_t page, res_seen *seen,
                    const char **r, int64_t *rn) {
  const char *t;
  int64_t n, ks, vs, ve;
  int64_t node = page, holder = 0;
  for (int up = 0; up < 64 && node > 0 && text_of(doc, ov, node, &t, &n); up++) {
    if (mk_dict_find(t, 0, n, "Resources", &ks, &vs, &ve)) {
      holder = node;
      break;
    }
    int64_t parent = 0;
    if (!mk_dict_find(t, 0, n, "Parent", &ks, &vs, &ve) || !mk_ref(t, vs, ve, &parent, nullptr))
      break;
    // Whatever the node above gives, a page below it has had already.
    if (!seen->nodes.insert(parent).second) return false;
    node = parent;
  }
  if (!holder) return false;
  // The holder's entry as found above: [vs, ve) of its text t.
  int64_t num = 0;
  mk_ref(t, vs, ve, &num, nullptr);
  // (A page's own resources in place are no other page's.)
  if ((num > 0 || holder != page) && !seen->dicts.insert(num > 0 ? num : -holder).second)
    return false;
  if (num > 0) return text_of(doc, ov, num, r, rn);
  if (ve - vs < 4 || t[vs] != '<' || t[vs + 1] != '<') return false;
  *r = t + vs;
  *rn = ve - vs;
  return true;
}

}  // namespace

int64_t mk_stamp_names_top(const pdf_doc *doc, const overlay *ov, const std::vector<char> &pages,
                           int64_t from, int64_t reach) {
  std::vector<int64_t> above;  // the names' numbers above `from`
  res_seen resources_seen;
  for (int64_t i = 0; i < doc->pages.count && i < static_cast<int64_t>(pages.size()); i++) {
    const char *r;
    int64_t rn;
    if (!pages[static_cast<size_t>(i)] ||
        !page_resources(doc, ov, doc->pages.items[i].num, &resources_seen, &r, &rn))
      continue;
    for (const char *category : {"ExtGState", "XObject", "Properties"}) {
      const char *d;
      int64_t dn;
      if (!dict_may_name(r, 0, rn, category) || !sub_dict(doc, ov, r, rn, category, &d, &dn) ||
          std::string_view(d, static_cast<size_t>(dn)).find("KpWm") == std::string_view::npos)
        continue;
      dict_iter it;
      dict_iter_init(&it, d, 0, dn);
      dict_entry e;
      while (dict_iter_next(&it, &e)) {
        // "/KpWmGS12", "/KpWmFm12", "/KpWmOC12": the kinds named after a
        // number.
        const int64_t k = e.key + 1, ke = e.key_end;
        if (ke - k < 7 || ke - k > 24 || memcmp(d + k, "KpWm", 4) != 0 ||
            !(memcmp(d + k + 4, "GS", 2) == 0 || memcmp(d + k + 4, "Fm", 2) == 0 ||
              memcmp(d + k + 4, "OC", 2) == 0))
          continue;
        int64_t v = 0;
        int64_t p = k + 6;
        while (p < ke && d[p] >= '0' && d[p] <= '9') v = v * 10 + (d[p++] - '0');
        if (p == ke && v > from) above.push_back(v);
      }
    }
  }
  // Only names the new numbers could reach matter: each raises the start,
  // which may bring the next within reach.
  std::sort(above.begin(), above.end());
  int64_t top = from;
  for (int64_t v : above)
    if (v - top <= reach) top = v;
  return top;
}

std::vector<int64_t> mk_used_groups(const pdf_doc *doc, const overlay *ov) {
  group_search g{doc, ov, {}, {}};
  res_seen resources_seen;
  std::vector<std::pair<int64_t, int64_t>> items;
  for (int64_t i = 0; i < doc->pages.count; i++) {
    const int64_t page = doc->pages.items[i].num;
    const char *t;
    int64_t n, ks, vs, ve, num;
    // The annotations' groups.
    if (text_of(doc, ov, page, &t, &n) && dict_may_name(t, 0, n, "Annots") &&
        mk_dict_find(t, 0, n, "Annots", &ks, &vs, &ve)) {
      std::string annots;
      if (mk_ref(t, vs, ve, &num, nullptr)) {
        if (!mk_plain_obj_text(doc, num, &annots)) annots.clear();
      } else {
        annots.assign(t + vs, static_cast<size_t>(ve - vs));
      }
      items.clear();
      if (!annots.empty() && mk_array_items(annots.data(), 0, static_cast<int64_t>(annots.size()), &items))
        for (const auto &it : items) {
          const char *a;
          int64_t an, oc;
          if (mk_ref(annots.data(), it.first, it.second, &num, nullptr) &&
              text_of(doc, ov, num, &a, &an) && mk_dict_find(a, 0, an, "OC", &ks, &vs, &ve) &&
              mk_ref(a, vs, ve, &oc, nullptr) && oc > 0)
            note_groups(&g, oc);
        }
    }
    // The page's resources (shared ones looked at once).
    const char *r;
    int64_t rn;
    if (!page_resources(doc, ov, page, &resources_seen, &r, &rn)) continue;
    const std::string res(r, static_cast<size_t>(rn));
    groups_in_resources(&g, res.data(), static_cast<int64_t>(res.size()), 0);
  }
  return g.found;
}

int mk_catalog_add_ocg(const pdf_doc *doc, overlay *ov, int64_t ocg, int show,
                       const std::vector<int64_t> &used) {
  std::string cat;
  if (!mk_obj_text(doc, ov, doc->root, &cat)) return 0;
  const std::string ref = ref_text(ocg);
  const std::string as = "<< /Event /View /OCGs [" + ref +
                         "] /Category [/View] >> << /Event /Print /OCGs [" +
                         ref + "] /Category [/Print] >>";
  // The default configuration: the group in the order the viewer lists,
  // off on screen when it is for print only, and the events that apply
  // its usage.
  bool fresh = false;  // a configuration made here: its /Order has the group
  auto config = [&](std::string *d) {
    int64_t ks, vs, ve;
    const char *t = d->data();
    const int64_t n = static_cast<int64_t>(d->size());
    if (!fresh && mk_dict_find(t, 0, n, "Order", &ks, &vs, &ve))
      append_to_array(doc, d, "Order", ref);
    t = d->data();
    std::string base;
    if (mk_dict_find(t, 0, static_cast<int64_t>(d->size()), "BaseState", &ks,
                     &vs, &ve))
      base = mk_name(t, vs, ve);
    if (show == MK_SHOW_PRINT) {
      if (base != "OFF") append_to_array(doc, d, "OFF", ref);
    } else if (!base.empty() && base != "ON") {
      append_to_array(doc, d, "ON", ref);
    }
    append_to_array(doc, d, "AS", as);
  };
  int64_t ks, vs, ve;
  if (!mk_dict_find(cat.data(), 0, static_cast<int64_t>(cat.size()),
                    "OCProperties", &ks, &vs, &ve)) {
    std::string d = "<< /Order [" + ref + "] >>";
    fresh = true;
    config(&d);
    // The groups the document uses stay listed (and on, the default).
    std::string groups;
    for (int64_t u : used)
      if (u != ocg) groups += ref_text(u) + " ";
    if (!mk_add_key(&cat, "OCProperties", "<< /OCGs [" + groups + ref + "] /D " + d + " >>"))
      return 0;
  } else {
    int ok = 1;
    auto props = [&](std::string *p) {
      if (!append_to_array(doc, p, "OCGs", ref)) ok = 0;
      if (!edit_sub(doc, ov, p, "D", config)) {
        std::string d = "<< /Order [" + ref + "] >>";
        fresh = true;
        config(&d);
        mk_del_key(p, "D");
        mk_add_key(p, "D", d);
      }
    };
    if (!edit_sub(doc, ov, &cat, "OCProperties", props) || !ok) return 0;
  }
  // Optional content came with PDF 1.5; a catalog /Version overrides an
  // older header. A document of 1.5 or later (its header or its catalog)
  // keeps its version: a /Version /1.5 beside a later header made readers
  // that go by the catalog report the older one.
  std::string version;
  if (mk_dict_find(cat.data(), 0, static_cast<int64_t>(cat.size()), "Version",
                   &ks, &vs, &ve))
    version = mk_name(cat.data(), vs, ve);
  if (doc->version < 15 && (version.size() < 3 || version.compare("1.5") < 0)) {
    mk_del_key(&cat, "Version");
    mk_add_key(&cat, "Version", "/1.5");
  }
  mk_set_text(ov, doc->root, cat);
  return 1;
}

void mk_catalog_drop_ocgs(const pdf_doc *doc, overlay *ov,
                          const std::vector<int64_t> &ocgs) {
  if (ocgs.empty()) return;
  std::string cat;
  if (!mk_obj_text(doc, ov, doc->root, &cat)) return;
  bool none_left = false;
  auto config = [&](std::string *d) {
    remove_refs(d, ocgs);
    tidy_config(d);
  };
  auto props = [&](std::string *p) {
    remove_refs(p, ocgs);
    int64_t ks, vs, ve;
    if (mk_dict_find(p->data(), 0, static_cast<int64_t>(p->size()), "D", &ks,
                     &vs, &ve) &&
        (*p)[static_cast<size_t>(vs)] != '<') {
      edit_sub(doc, ov, p, "D", config);
    } else {
      edit_sub(doc, ov, p, "D", [&](std::string *d) { tidy_config(d); });
    }
    if (mk_dict_find(p->data(), 0, static_cast<int64_t>(p->size()), "OCGs",
                     &ks, &vs, &ve) &&
        mk_empty(p->data(), vs, ve))
      none_left = true;
  };
  if (!edit_sub(doc, ov, &cat, "OCProperties", props)) return;
  if (none_left) mk_del_key(&cat, "OCProperties");
  mk_set_text(ov, doc->root, cat);
}
