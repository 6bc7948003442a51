// kp_inflate on arbitrary bytes: no out-of-bounds access, and the result
// (bytes, -1 or -2) equals the plain bit-by-bit model's. The first byte picks
// the output capacity so that short-buffer paths are reached too.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "../tests/test_flate_reference.h"
#include "flate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  size_t cap = static_cast<size_t>(data[0]) * 257;
  data++;
  size--;
  std::vector<uint8_t> out(cap), model(cap);
  int r = kp_inflate(data, size, out.data(), cap);
  int m = ref::inflate(data, size, model.data(), cap);
  if (r != m) abort();
  // The whole output, or (-2) its first cap bytes.
  const size_t n = r >= 0 ? static_cast<size_t>(r) : r == -2 ? cap : 0;
  if (n > 0 && memcmp(out.data(), model.data(), n) != 0) abort();
  return 0;
}
