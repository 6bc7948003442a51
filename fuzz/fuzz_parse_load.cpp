// libFuzzer target: the document loader on arbitrary bytes (through a
// temporary file, as doc_load reads paths), opening encrypted documents with
// the empty user password, in full and lean (the index read from the
// chain), then the security handler's dictionary reader and
// the dictionary editors on the same bytes as text.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

#include "pdf_crypt.h"
#include "pdf_parse.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static std::string path = "/tmp/fuzz_parse_load." + std::to_string(getpid()) + ".pdf";
  FILE *f = fopen(path.c_str(), "wb");
  if (!f) return 0;
  if (size) fwrite(data, 1, size, f);
  fclose(f);
  pdf_doc doc;
  doc_open_opts opts = {1, nullptr, 0, 0};
  if (doc_load_opts(path.c_str(), &doc, &opts) == 0) {
    for (int32_t i = 0; i < doc.pages.count; i++) {
      const pdf_obj *o = obj_find(&doc.objects, doc.pages.items[i].num);
      const char *t;
      int64_t s, e;
      if (o && obj_dict_range(doc.data, doc.size, o, &t, &s, &e) && e - s >= 2 && t[s] == '<' &&
          t[s + 1] == '<') {
        char *d = dict_text_at(t, e, s);
        if (d) {
          strip_dict_entry(d, "Contents");
          d = dict_append_before_close(d, " /KpWm 1");
          free(d);
        }
      }
    }
    doc_free(&doc);
  }
  // Opened lean, a sound chain gives the index and objects are read on
  // demand: read them one by one, then all at once.
  doc_open_opts lean = {1, nullptr, 1, 0};
  if (doc_load_opts(path.c_str(), &doc, &lean) == 0) {
    for (int64_t n = 1; n <= doc.max_num && n <= 4096; n++) {
      const pdf_obj *o = obj_find_head(&doc.objects, n);
      if (o && n % 2) obj_find(&doc.objects, n);
    }
    objvec_fill_all(&doc.objects);
    doc_free(&doc);
  }
  pdf_crypt c;
  std::string err;
  if (crypt_parse((const char *)data, size, "id", &c, &err) == 0 &&
      crypt_authenticate(&c, nullptr) == 0) {
    std::string t = crypt_text_strings(&c, 1, 0, (const char *)data, size, false);
    crypt_text_strings(&c, 1, 0, t.data(), t.size(), true);
  }
  char *text = (char *)malloc(size + 1);
  if (!text) return 0;
  if (size) memcpy(text, data, size);
  text[size] = 0;
  strip_dict_entry(text, "Resources");
  text = dict_append_before_close(text, " /X 1");
  free(text);
  return 0;
}
