// libFuzzer target: the whole operation on arbitrary bytes taken as a PDF
// file. Page count, an ASCII and a CJK text watermark and an image watermark
// (a small PNG with transparency, encoded once), and the extended call's
// marked text stamp, incremental and not (each removed again), and the
// removal of whatever stamps the input holds, are written to a temporary
// output that is removed afterwards. Any result is fine as long as a failure
// comes with a message and a success with an output file.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

#include "png.h"
#include "reraruvozari.h"

namespace {

std::string s_dir;

// The last call's result against its message and output; `keep` leaves
// the output for a call that reads it.
void check(int ok, const std::string &out, bool keep = false) {
  const char *e = reraruvozari_last_error();
  if (!e) abort();
  if (ok ? e[0] != '\0' || access(out.c_str(), F_OK) != 0 : e[0] == '\0') {
    fprintf(stderr, "result %d, message \"%s\" (%s)\n", ok, e, out.c_str());
    abort();
  }
  if (ok && !keep) remove(out.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  char tmpl[] = "/tmp/fuzz_core_stampXXXXXX";
  const char *d = mkdtemp(tmpl);
  if (!d) abort();
  s_dir = d;
  // 4 x 3 pixels, each with its own colour and alpha.
  uint8_t rgba[4 * 3 * 4];
  for (int i = 0; i < 12; i++) {
    rgba[i * 4] = static_cast<uint8_t>(i * 20);
    rgba[i * 4 + 1] = static_cast<uint8_t>(255 - i * 20);
    rgba[i * 4 + 2] = static_cast<uint8_t>(i * 7);
    rgba[i * 4 + 3] = static_cast<uint8_t>(i * 21);
  }
  if (!kp_png_write((s_dir + "/stamp.png").c_str(), 4, 3, rgba)) abort();
  atexit([] {
    remove((s_dir + "/stamp.png").c_str());
    rmdir(s_dir.c_str());
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string in = s_dir + "/in.pdf";
  const std::string out = s_dir + "/out.pdf";
  const std::string png = s_dir + "/stamp.png";
  FILE *f = fopen(in.c_str(), "wb");
  if (!f) return 0;
  if (size) fwrite(data, 1, size, f);
  fclose(f);

  int pages = -1;
  int ok = reraruvozari_page_count(in.c_str(), &pages);
  const char *e = reraruvozari_last_error();
  if (ok ? pages < 0 || e[0] != '\0' : pages != -1 || e[0] == '\0') abort();

  check(reraruvozari_text(in.c_str(), out.c_str(), "Draft (copy) \\ 1", 0.5f,
                          45.0f, 36, 0, 200, 0, 0),
        out);
  check(reraruvozari_text_range(in.c_str(), out.c_str(),
                                "\xE6\x9C\xBA\xE5\xAF\x86 \xEA\xB8\xB0\xEB\xB0\x80",
                                0.3f, 0.0f, 24, 5, 0, 0, 255, 1, 2),
        out);
  check(reraruvozari_image(in.c_str(), out.c_str(), png.c_str(), 0.7f, 4, 2.0f),
        out);
  // The extended call's marked stamp in its layer, as an update and as a
  // full rewrite: the one-pass page edit and the update's writer.
  reraruvozari_options *o = reraruvozari_options_new();
  if (!o) abort();
  const std::string back = s_dir + "/back.pdf";
  for (int incremental : {1, 0}) {
    reraruvozari_options_set_incremental(o, incremental);
    const int stamped = reraruvozari_stamp_text(in.c_str(), out.c_str(), "Marked", o);
    check(stamped, out, true);
    // The stamp taken out again, the same way it went in.
    if (stamped) {
      int removed = -1, changed = -1;
      check(reraruvozari_remove(out.c_str(), back.c_str(), o, &removed, &changed), back);
      remove(out.c_str());
    }
  }
  // And from the input itself, which may hold stamps of any kind.
  int removed = -1, changed = -1;
  check(reraruvozari_remove(in.c_str(), back.c_str(), nullptr, &removed, &changed), back);
  reraruvozari_options_free(o);
  remove(in.c_str());
  return 0;
}
