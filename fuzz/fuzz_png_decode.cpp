// libFuzzer target: the PNG decoder over arbitrary bytes. Any result is fine
// as long as it is a clean success (width * height * 4 readable bytes) or a
// clean failure with a message.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "png.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  int w = -1, h = -1;
  const char *err = nullptr;
  uint8_t *rgba = kp_png_decode_mem(data, size, &w, &h, &err);
  if (!err) __builtin_trap();
  if (rgba) {
    if (w <= 0 || h <= 0 || err[0] != '\0') __builtin_trap();
    // Touch the whole result so that a short allocation shows.
    size_t n = size_t(w) * size_t(h) * 4;
    unsigned sum = 0;
    for (size_t i = 0; i < n; i += 61) sum += rgba[i];
    sum += rgba[n - 1];
    if (sum == 0xFFFFFFFFu) std::abort();
    std::free(rgba);
  } else {
    if (w != 0 || h != 0 || std::strncmp(err, "png: ", 5) != 0) __builtin_trap();
  }
  return 0;
}
