// kp_deflate on arbitrary bytes: zlib must inflate the result to the input
// with the same Adler-32, and kp_inflate must give the input back.
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "flate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  uint8_t *z = nullptr;
  size_t z_len = 0;
  if (kp_deflate(data, size, &z, &z_len) != 0) abort();
  if (z_len < 6 || z[0] != 0x78 || z[1] != 0x01) abort();
  std::vector<uint8_t> back(size + 1);
  uLongf back_len = back.size();
  if (uncompress(back.data(), &back_len, z, z_len) != Z_OK) abort();
  if (back_len != size || (size && memcmp(back.data(), data, size) != 0))
    abort();
  std::vector<uint8_t> ours(size);
  int r = kp_inflate(z + 2, z_len - 2, ours.data(), size);
  if (r != static_cast<int>(size) || (size && memcmp(ours.data(), data, size) != 0))
    abort();
  free(z);
  return 0;
}
