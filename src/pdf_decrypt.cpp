// Opening an encrypted document: the newest trailer dictionary that names
// /Encrypt (a classic trailer or a cross-reference stream's dictionary,
// whichever lies last in the file) gives the handler's dictionary and the
// first /ID string.
#include "pdf_decrypt.h"

#include "pdf_parse.h"
#include "pdf_syntax.h"

#include <cstring>
#include <new>
#include <string>

namespace {

struct trailer_text {
  int64_t at = -1; // file offset of the trailer (keyword or object)
  const char *text = nullptr;
  size_t len = 0;
};

// The newest trailer naming /Encrypt.
trailer_text find_trailer(const pdf_doc *doc) {
  trailer_text best;
  const char *d = doc->data;
  int64_t size = doc->size;
  for (int64_t t = find_kw(d, size, 0, "trailer"); t >= 0;
       t = find_kw(d, size, t + 1, "trailer")) {
    int64_t s = skip_ws(d, t + 7, size);
    if (s + 1 >= size || d[s] != '<' || d[s + 1] != '<') continue;
    int64_t c = find_dict_close(d, size, s, 0);
    int64_t e = c > 0 ? c + 2 : size;
    if (find_name(d, e, s, e, "Encrypt") < 0) continue;
    best.at = t;
    best.text = d + s;
    best.len = size_t(e - s);
  }
  const obj_vec *v = &doc->objects;
  for (int64_t i = 0; i < v->count; i++) {
    const pdf_obj *o = &v->items[i];
    if (!o->has_stream || o->in_objstm || o->hdr_off <= best.at) continue;
    const char *t;
    int64_t s, e;
    if (!obj_dict_range(d, size, o, &t, &s, &e)) continue;
    if (find_name(t, e, s, e, "XRef") < 0 || find_name(t, e, s, e, "Encrypt") < 0) continue;
    best.at = o->hdr_off;
    best.text = t + s;
    best.len = size_t(e - s);
  }
  return best;
}

// The handler's dictionary with every value that refers to another object
// replaced by that object (some producers write /Length, /O, /U or the
// crypt filters as objects of their own), nested dictionaries likewise, at
// most `depth` levels down. Keys and direct values are copied as written.
std::string inline_refs(const pdf_doc *doc, const char *t, int64_t s, int64_t e, int depth) {
  std::string out = "<<";
  dict_iter it;
  dict_iter_init(&it, t, s, e);
  dict_entry en;
  while (dict_iter_next(&it, &en)) {
    out += ' ';
    out.append(t + en.key, size_t(en.key_end - en.key));
    if (en.val < 0 || en.val_end < 0) continue;
    const char *vt = t;
    int64_t vs = en.val, ve = en.val_end;
    int64_t num = 0;
    if (syn_ref_at(t, en.val, en.val_end, &num, nullptr)) {
      const pdf_obj *o = obj_find(&doc->objects, num);
      const char *ot;
      int64_t os, oe;
      if (o && !o->has_stream && obj_value_range(doc->data, doc->size, o, &ot, &os, &oe)) {
        int64_t b = syn_skip(ot, os, oe);
        int64_t be = syn_value_end(ot, b, oe);
        if (b < oe && be > b) {
          vt = ot;
          vs = b;
          ve = be;
        }
      }
    }
    out += ' ';
    if (depth > 0 && ve - vs >= 2 && vt[vs] == '<' && vt[vs + 1] == '<')
      out += inline_refs(doc, vt, vs, ve, depth - 1);
    else
      out.append(vt + vs, size_t(ve - vs));
  }
  out += " >>";
  return out;
}

} // namespace

int sec_open(pdf_doc *doc, const char *password, std::string *why) {
  try {
    trailer_text tr = find_trailer(doc);
    doc_security sec;
    std::string id0;
    if (!tr.text || !crypt_trailer_entries(tr.text, tr.len, &sec.encrypt_entry, &sec.id_entry, &id0)) {
      *why = "its trailer's /Encrypt entry cannot be read";
      return SEC_REFUSED;
    }
    const char *dict = sec.encrypt_entry.data();
    size_t dict_len = sec.encrypt_entry.size();
    if (dict_len && dict[0] != '<') {
      int64_t p = 0;
      int64_t num = parse_int_at(dict, int64_t(dict_len), &p);
      const pdf_obj *o = num > 0 ? obj_find(&doc->objects, num) : nullptr;
      const char *t;
      int64_t s, e;
      if (!o || !obj_dict_range(doc->data, doc->size, o, &t, &s, &e)) {
        *why = "its /Encrypt dictionary is missing";
        return SEC_REFUSED;
      }
      sec.encrypt_num = num;
      sec.encrypt_dict = t + s;
      dict = t + s;
      dict_len = size_t(e - s);
    }
    std::string err;
    const std::string direct = inline_refs(doc, dict, 0, int64_t(dict_len), 3);
    if (crypt_parse(direct.data(), direct.size(), id0, &sec.crypt, &err) != 0) {
      *why = err;
      return SEC_REFUSED;
    }
    if (crypt_authenticate(&sec.crypt, password) != 0) return SEC_PASSWORD;
    doc->sec = new doc_security(std::move(sec));
    return SEC_OPEN;
  } catch (const std::bad_alloc &) {
    *why = "out of memory";
    return SEC_REFUSED;
  }
}

void sec_free(doc_security *sec) { delete sec; }

std::vector<uint8_t> sec_stream_data(const doc_security *sec, const pdf_obj *o,
                                     const char *dict, size_t dict_len,
                                     const uint8_t *data, size_t n) {
  int method = crypt_stream_method(&sec->crypt, dict, dict_len);
  return crypt_decrypt(&sec->crypt, o->num, o->gen, method, data, n);
}
