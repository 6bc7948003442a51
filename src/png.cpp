// PNG images: a decoder of non-interlaced PNG files (every colour type and
// bit depth) to 8-bit RGBA, and an encoder of 8-bit RGBA as the simplest
// valid PNG. Chunk CRCs are not verified on reading; ancillary chunks other
// than PLTE and tRNS are skipped. Follows PNG (ISO/IEC 15948) 5.3 chunk
// layout, 9 filtering, 11.2 IHDR/PLTE, 11.3.2 tRNS; zlib framing RFC 1950.
//
// Process-wide state: the decoder's message buffer `buf`, the encoder's CRC
// table `s_crc_table` / `s_crc_ready`.

#include "png.h"

#include <cerrno>
#include <cstdio>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "flate.h"
#include "pdf_parse.h"

namespace {

struct free_deleter {
  void operator()(void *p) const { std::free(p); }
};
using malloc_ptr = std::unique_ptr<uint8_t, free_deleter>;

struct file_closer {
  void operator()(FILE *f) const { std::fclose(f); }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

}  // namespace

static const uint8_t png_signature[8] = {0x89, 0x50, 0x4E, 0x47,
                                         0x0D, 0x0A, 0x1A, 0x0A};

// ---------------------------------------------------------------------------
// Decoder

// The text of the last failure; the decoder hands out a pointer to it.
static char buf[256];

// Copies a failure message into `buf` and returns NULL, so that each check is
// one line: `return fail(err, "png: ...");`.
static uint8_t *fail(const char **png_error, const char *msg) {
  std::snprintf(buf, sizeof buf, "%s", msg);
  if (png_error) *png_error = buf;
  return nullptr;
}

static uint32_t get_be32(const uint8_t *p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) |
         (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

static bool chunk_is(const uint8_t *type, const char *name) {
  return std::memcmp(type, name, 4) == 0;
}

// One IDAT chunk's data inside the file image.
struct idat_span {
  size_t pos;
  size_t len;
};

// Header values and the views of PLTE and tRNS gathered by the chunk walk.
// The views point into the file image, which outlives the decode.
struct png_header {
  uint32_t width;
  uint32_t height;
  int bit_depth;
  int color_type;
  int interlace;
  bool have_plte;
  const uint8_t *plte;
  size_t plte_len;
  const uint8_t *trns;
  size_t trns_len;
  // The colour key of a grey or RGB image (tRNS of 2 or 6 bytes): pixels of
  // exactly these samples are transparent, as libpng makes them.
  bool keyed;
  uint16_t key[3];
};

// ---- Unfiltering -----------------------------------------------------------
//
// Rows are unfiltered in place inside the raw image; the previous row is the
// row above, already unfiltered. The first row has an all-zero row above it,
// which turns Up into None, Paeth into Sub and Average into x + a/2; those
// cases are handled apart so that no row of zeros needs to exist. The filter
// unit (bytes per complete pixel, at least 1) is a template argument so that
// the byte-to-the-left distance is a constant in the hot loops.

// The loops below carry the pixel to the left (and, for Paeth, the one above
// it) in locals instead of reloading bytes just stored, which would chain
// every pixel through a store-to-load round trip.

// Runs f(0) ... f(U - 1) unrolled, so that the per-byte locals of a pixel
// stay in registers.
template <typename F, int... K>
static inline void each_byte_impl(F &&f, std::integer_sequence<int, K...>) {
  (f(K), ...);
}
template <int U, typename F>
static inline void each_byte(F &&f) {
  each_byte_impl(f, std::make_integer_sequence<int, U>{});
}

template <int U>
static void unfilter_sub(uint8_t *row, size_t n) {
  if (n <= U) return;
  uint8_t a[U];
  for (int k = 0; k < U; k++) a[k] = row[k];
  for (size_t i = U; i + U <= n; i += U) {
    each_byte<U>([&](int k) {
      a[k] = uint8_t(row[i + k] + a[k]);
      row[i + k] = a[k];
    });
  }
}

static void unfilter_up(uint8_t *row, const uint8_t *prev, size_t n) {
  for (size_t i = 0; i < n; i++) row[i] = uint8_t(row[i] + prev[i]);
}

template <int U>
static void unfilter_avg(uint8_t *row, const uint8_t *prev, size_t n) {
  if (n < U) {
    for (size_t i = 0; i < n; i++) row[i] = uint8_t(row[i] + (prev[i] >> 1));
    return;
  }
  uint8_t a[U];
  for (int k = 0; k < U; k++) {
    a[k] = uint8_t(row[k] + (prev[k] >> 1));
    row[k] = a[k];
  }
  for (size_t i = U; i + U <= n; i += U) {
    each_byte<U>([&](int k) {
      a[k] = uint8_t(row[i + k] + ((unsigned(a[k]) + prev[i + k]) >> 1));
      row[i + k] = a[k];
    });
  }
}

template <int U>
static void unfilter_avg_first(uint8_t *row, size_t n) {
  if (n <= U) return;
  uint8_t a[U];
  for (int k = 0; k < U; k++) a[k] = row[k];
  for (size_t i = U; i + U <= n; i += U) {
    each_byte<U>([&](int k) {
      a[k] = uint8_t(row[i + k] + (a[k] >> 1));
      row[i + k] = a[k];
    });
  }
}

// The Paeth predictor with the distances rewritten around c:
// |p - a| = |b - c|, |p - b| = |a - c|, |p - c| = |a + b - 2c|.
static inline uint8_t paeth(int a, int b, int c) {
  int p = b - c;
  int q = a - c;
  int pa = p < 0 ? -p : p;
  int pb = q < 0 ? -q : q;
  int pc = p + q < 0 ? -(p + q) : p + q;
  if (pa <= pb && pa <= pc) return uint8_t(a);
  return uint8_t(pb <= pc ? b : c);
}

template <int U>
static void unfilter_paeth(uint8_t *row, const uint8_t *prev, size_t n) {
  if (n < U) {
    // a = c = 0 here, so the predictor is b.
    for (size_t i = 0; i < n; i++) row[i] = uint8_t(row[i] + prev[i]);
    return;
  }
  uint8_t a[U], c[U];
  for (int k = 0; k < U; k++) {
    a[k] = uint8_t(row[k] + prev[k]);
    row[k] = a[k];
    c[k] = prev[k];
  }
  // Row lengths are whole pixels when U >= 2, and any length when U = 1.
  for (size_t i = U; i + U <= n; i += U) {
    each_byte<U>([&](int k) {
      uint8_t b = prev[i + k];
      a[k] = uint8_t(row[i + k] + paeth(a[k], b, c[k]));
      row[i + k] = a[k];
      c[k] = b;
    });
  }
}

template <int U>
static void unfilter_row_unit(int type, uint8_t *row, const uint8_t *prev,
                              size_t n) {
  if (!prev) {
    switch (type) {
      case 1:
      case 4: unfilter_sub<U>(row, n); break;
      case 3: unfilter_avg_first<U>(row, n); break;
      default: break;  // None, Up over zeros, undefined types: as stored
    }
    return;
  }
  switch (type) {
    case 1: unfilter_sub<U>(row, n); break;
    case 2: unfilter_up(row, prev, n); break;
    case 3: unfilter_avg<U>(row, prev, n); break;
    case 4: unfilter_paeth<U>(row, prev, n); break;
    default: break;  // None, and undefined types taken as stored
  }
}

// Unfilters one row of n bytes; prev is NULL for the first row.
static void unfilter_row(int type, int unit, uint8_t *row, const uint8_t *prev,
                         size_t n) {
  switch (unit) {
    case 1: unfilter_row_unit<1>(type, row, prev, n); break;
    case 2: unfilter_row_unit<2>(type, row, prev, n); break;
    case 3: unfilter_row_unit<3>(type, row, prev, n); break;
    case 4: unfilter_row_unit<4>(type, row, prev, n); break;
    case 6: unfilter_row_unit<6>(type, row, prev, n); break;
    default: unfilter_row_unit<8>(type, row, prev, n); break;
  }
}

// ---- Conversion to RGBA ----------------------------------------------------
//
// Palette images and grey images of depth 1 to 8 go through a 256-entry
// RGBA table indexed by the sample; 16-bit images keep the high byte of each
// sample. A colour key makes the pixels whose samples equal it transparent:
// the whole 16-bit sample is compared for 16-bit images, the key's low byte
// (8-bit) or low bits (1 to 4) for the others, as libpng compares them.

static void build_lut(const png_header &h, uint8_t lut[256][4]) {
  if (h.color_type == 3) {
    // Entries beyond the palette become opaque black, so a damaged index
    // never reads past the PLTE data.
    size_t entries = h.plte_len / 3;
    for (size_t i = 0; i < 256; i++) {
      if (i < entries) {
        lut[i][0] = h.plte[3 * i];
        lut[i][1] = h.plte[3 * i + 1];
        lut[i][2] = h.plte[3 * i + 2];
        lut[i][3] = i < h.trns_len ? h.trns[i] : 255;
      } else {
        lut[i][0] = lut[i][1] = lut[i][2] = 0;
        lut[i][3] = 255;
      }
    }
    return;
  }
  // Grey: the sample scaled to 8 bits; transparent where the sample itself
  // equals the 16-bit tRNS value (a value out of the depth's range matches
  // nothing).
  unsigned maxval = (1u << h.bit_depth) - 1;
  unsigned key = h.key[0] & maxval;
  for (unsigned s = 0; s < 256; s++) {
    unsigned v = s <= maxval ? s * 255 / maxval : 0;
    lut[s][0] = lut[s][1] = lut[s][2] = uint8_t(v);
    lut[s][3] = (h.keyed && s == key) ? 0 : 255;
  }
}

static void convert_lut8(const uint8_t *src, uint8_t *dst, size_t width,
                         const uint8_t lut[256][4]) {
  for (size_t x = 0; x < width; x++) std::memcpy(dst + 4 * x, lut[src[x]], 4);
}

// Depths 1, 2 and 4: the leftmost pixel sits in the most significant bits.
template <int D>
static void convert_lut_low(const uint8_t *src, uint8_t *dst, size_t width,
                            const uint8_t lut[256][4]) {
  constexpr int per_byte = 8 / D;
  constexpr unsigned mask = (1u << D) - 1;
  size_t x = 0;
  size_t full = width / per_byte;
  for (size_t i = 0; i < full; i++) {
    unsigned byte = src[i];
    for (int k = 0; k < per_byte; k++) {
      std::memcpy(dst + 4 * x, lut[(byte >> (8 - D * (k + 1))) & mask], 4);
      x++;
    }
  }
  if (x < width) {
    unsigned byte = src[full];
    for (int k = 0; x < width; k++, x++)
      std::memcpy(dst + 4 * x, lut[(byte >> (8 - D * (k + 1))) & mask], 4);
  }
}

static void convert_rgb8(const uint8_t *src, uint8_t *dst, size_t width) {
  for (size_t x = 0; x < width; x++) {
    dst[0] = src[0];
    dst[1] = src[1];
    dst[2] = src[2];
    dst[3] = 255;
    src += 3;
    dst += 4;
  }
}

static void convert_rgb8_key(const uint8_t *src, uint8_t *dst, size_t width,
                             const uint16_t key[3]) {
  const uint8_t r = uint8_t(key[0]), g = uint8_t(key[1]), b = uint8_t(key[2]);
  for (size_t x = 0; x < width; x++) {
    dst[0] = src[0];
    dst[1] = src[1];
    dst[2] = src[2];
    dst[3] = (src[0] == r && src[1] == g && src[2] == b) ? 0 : 255;
    src += 3;
    dst += 4;
  }
}

static unsigned be16(const uint8_t *p) { return unsigned(p[0]) << 8 | p[1]; }

static void convert_grey16_key(const uint8_t *src, uint8_t *dst, size_t width,
                               unsigned key) {
  for (size_t x = 0; x < width; x++) {
    dst[0] = dst[1] = dst[2] = src[0];
    dst[3] = be16(src) == key ? 0 : 255;
    src += 2;
    dst += 4;
  }
}

static void convert_rgb16_key(const uint8_t *src, uint8_t *dst, size_t width,
                              const uint16_t key[3]) {
  for (size_t x = 0; x < width; x++) {
    dst[0] = src[0];
    dst[1] = src[2];
    dst[2] = src[4];
    dst[3] = (be16(src) == key[0] && be16(src + 2) == key[1] && be16(src + 4) == key[2]) ? 0 : 255;
    src += 6;
    dst += 4;
  }
}

static void convert_ga8(const uint8_t *src, uint8_t *dst, size_t width) {
  for (size_t x = 0; x < width; x++) {
    dst[0] = dst[1] = dst[2] = src[0];
    dst[3] = src[1];
    src += 2;
    dst += 4;
  }
}

static void convert_grey16(const uint8_t *src, uint8_t *dst, size_t width) {
  for (size_t x = 0; x < width; x++) {
    dst[0] = dst[1] = dst[2] = src[0];
    dst[3] = 255;
    src += 2;
    dst += 4;
  }
}

static void convert_rgb16(const uint8_t *src, uint8_t *dst, size_t width) {
  for (size_t x = 0; x < width; x++) {
    dst[0] = src[0];
    dst[1] = src[2];
    dst[2] = src[4];
    dst[3] = 255;
    src += 6;
    dst += 4;
  }
}

static void convert_ga16(const uint8_t *src, uint8_t *dst, size_t width) {
  for (size_t x = 0; x < width; x++) {
    dst[0] = dst[1] = dst[2] = src[0];
    dst[3] = src[2];
    src += 4;
    dst += 4;
  }
}

static void convert_rgba16(const uint8_t *src, uint8_t *dst, size_t width) {
  for (size_t x = 0; x < width; x++) {
    dst[0] = src[0];
    dst[1] = src[2];
    dst[2] = src[4];
    dst[3] = src[6];
    src += 8;
    dst += 4;
  }
}

static void convert_row(const png_header &h, const uint8_t *src, uint8_t *dst,
                        size_t width, const uint8_t lut[256][4]) {
  int ct = h.color_type;
  if (h.bit_depth == 16) {
    switch (ct) {
      case 0:
        if (h.keyed) convert_grey16_key(src, dst, width, h.key[0]);
        else convert_grey16(src, dst, width);
        break;
      case 2:
        if (h.keyed) convert_rgb16_key(src, dst, width, h.key);
        else convert_rgb16(src, dst, width);
        break;
      case 4: convert_ga16(src, dst, width); break;
      default: convert_rgba16(src, dst, width); break;
    }
    return;
  }
  switch (ct) {
    case 2:
      if (h.keyed) convert_rgb8_key(src, dst, width, h.key);
      else convert_rgb8(src, dst, width);
      break;
    case 4: convert_ga8(src, dst, width); break;
    case 6: std::memcpy(dst, src, width * 4); break;
    default:  // grey and palette
      switch (h.bit_depth) {
        case 1: convert_lut_low<1>(src, dst, width, lut); break;
        case 2: convert_lut_low<2>(src, dst, width, lut); break;
        case 4: convert_lut_low<4>(src, dst, width, lut); break;
        default: convert_lut8(src, dst, width, lut); break;
      }
      break;
  }
}

// ---- The decode ------------------------------------------------------------

static int channels_of(int color_type) {
  switch (color_type) {
    case 0: return 1;
    case 2: return 3;
    case 3: return 1;
    case 4: return 2;
    default: return 4;
  }
}

static bool depth_allowed(int color_type, int depth) {
  if (color_type == 0 || color_type == 3)
    return depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16;
  return depth == 8 || depth == 16;
}

// Deflate spends at least two bits (a length code and a distance code) on a
// match of at most 258 bytes, so a stream of n bytes cannot inflate to more
// than 1032 n bytes. Images that claim more are refused before their raw
// buffer is allocated.
static constexpr uint64_t max_inflate_ratio = 1032;

// The raw image cannot be 2 GiB or more: the inflater's result is an int.
static constexpr uint64_t max_raw_size = uint64_t(1) << 31;

// The decoder's memory budget: the decoded image (4 bytes a pixel) and the
// image data as stored (up to 8 bytes a pixel) may each take at most
// 256 MiB, whatever the header claims: 67,108,864 pixels (8192 x 8192) of
// 8-bit images, half that for 16-bit RGBA. A file over 2 GiB is not read.
static constexpr uint64_t k_png_budget = uint64_t(256) << 20;

static uint8_t *decode_core(const uint8_t *data, size_t len, int *out_w,
                            int *out_h, const char **err) {
  if (len < 8 || std::memcmp(data, png_signature, 8) != 0)
    return fail(err, "png: not a PNG file (bad signature)");
  if (len < 16) return fail(err, "png: missing IHDR or IDAT");

  png_header h{};
  std::vector<idat_span> idats;
  uint64_t idat_total = 0;
  size_t pos = 8;
  for (;;) {
    uint64_t clen = get_be32(data + pos);
    const uint8_t *type = data + pos + 4;
    if (uint64_t(len - pos) < 12 + clen)
      return fail(err, "png: truncated chunk");
    const uint8_t *cdata = data + pos + 8;
    if (chunk_is(type, "IHDR")) {
      if (clen != 13) return fail(err, "png: bad IHDR length");
      uint32_t w = get_be32(cdata);
      uint32_t hh = get_be32(cdata + 4);
      if (w == 0 || hh == 0 || w >= 0x80000000u || hh >= 0x80000000u ||
          uint64_t(w) * hh > (uint64_t(1) << 30))
        return fail(err, "png: image too large");
      h.width = w;
      h.height = hh;
      h.bit_depth = cdata[8];
      h.color_type = cdata[9];
      h.interlace = cdata[12];
    } else if (chunk_is(type, "PLTE")) {
      if (clen > 768 || clen % 3 != 0) return fail(err, "png: bad PLTE");
      h.have_plte = true;
      h.plte = cdata;
      h.plte_len = size_t(clen);
    } else if (chunk_is(type, "tRNS")) {
      h.trns = cdata;
      h.trns_len = size_t(clen);
    } else if (chunk_is(type, "IDAT")) {
      idats.push_back(idat_span{pos + 8, size_t(clen)});
      idat_total += clen;
    } else if (chunk_is(type, "IEND")) {
      break;
    }
    pos += size_t(12 + clen);
    if (len - pos < 8) break;
  }

  if (h.width == 0 || h.height == 0 || idats.empty())
    return fail(err, "png: missing IHDR or IDAT");
  if (h.interlace != 0) return fail(err, "png: interlaced PNG not supported");
  int ct = h.color_type;
  if (ct != 0 && ct != 2 && ct != 3 && ct != 4 && ct != 6)
    return fail(err, "png: unsupported color type");
  if (ct == 3 && !h.have_plte) return fail(err, "png: palette PNG without PLTE");
  if (!depth_allowed(ct, h.bit_depth))
    return fail(err, "png: unsupported bit depth");
  if (ct == 3 && h.bit_depth == 16)
    return fail(err, "png: 16-bit palette not supported");

  // Sizes: width and height are below 2^31 and their product at most 2^30,
  // so every figure below fits in 64 bits.
  const uint64_t bits_per_pixel = uint64_t(channels_of(ct)) * h.bit_depth;
  const uint64_t row_bytes = (uint64_t(h.width) * bits_per_pixel + 7) / 8;
  const uint64_t stride = row_bytes + 1;
  const uint64_t raw_size = uint64_t(h.height) * stride;
  const int unit = bits_per_pixel >= 8 ? int(bits_per_pixel / 8) : 1;
  // (The stored data's budget leaves out the rows' filter-type bytes.)
  if (uint64_t(h.width) * h.height * 4 > k_png_budget || raw_size - h.height > k_png_budget) {
    char msg[200];
    std::snprintf(msg, sizeof msg,
                  "png: image too large (%lux%lu pixels; the decoder's limit is 256 MiB of "
                  "pixels, 8192x8192 at 8 bits)",
                  static_cast<unsigned long>(h.width), static_cast<unsigned long>(h.height));
    return fail(err, msg);
  }
  // A key of the wrong length is ignored, as libpng ignores it.
  if ((ct == 0 && h.trns_len == 2) || (ct == 2 && h.trns_len == 6)) {
    h.keyed = true;
    for (int i = 0; i < (ct == 0 ? 1 : 3); i++)
      h.key[i] = uint16_t(h.trns[2 * i] << 8 | h.trns[2 * i + 1]);
  }

  // The joined image data: a view of the single IDAT chunk when there is
  // only one, else a copy of all of them end to end.
  std::vector<uint8_t> joined;
  const uint8_t *z = data + idats[0].pos;
  size_t z_len = idats[0].len;
  if (idats.size() > 1) {
    if (idat_total > SIZE_MAX) return fail(err, "png: out of memory");
    try {
      joined.resize(size_t(idat_total));
    } catch (...) {
      return fail(err, "png: out of memory");
    }
    size_t at = 0;
    for (const idat_span &s : idats) {
      if (s.len) std::memcpy(joined.data() + at, data + s.pos, s.len);
      at += s.len;
    }
    z = joined.data();
    z_len = joined.size();
  }

  // zlib header (RFC 1950 2.2): method 8, window at most 32 KiB, header
  // check, no preset dictionary. Small images often declare a small window.
  if (z_len < 6) return fail(err, "png: bad zlib header in IDAT");
  {
    unsigned cmf = z[0], flg = z[1];
    if ((cmf & 0x0F) != 8 || (cmf >> 4) > 7 || (cmf * 256 + flg) % 31 != 0 ||
        (flg & 0x20) != 0)
      return fail(err, "png: bad zlib header in IDAT");
  }
  const size_t deflate_len = z_len - 6;
  if (raw_size >= max_raw_size ||
      raw_size > uint64_t(deflate_len) * max_inflate_ratio + 1024)
    return fail(err, "png: inflate failed (corrupt or truncated stream)");

  malloc_ptr raw(static_cast<uint8_t *>(std::malloc(size_t(raw_size))));
  if (!raw) return fail(err, "png: out of memory");
  int got = kp_inflate(z + 2, deflate_len, raw.get(), size_t(raw_size));
  if (got < 0 || uint64_t(got) != raw_size)
    return fail(err, "png: inflate failed (corrupt or truncated stream)");
  if (kp_adler32(raw.get(), size_t(raw_size)) != get_be32(z + z_len - 4))
    return fail(err, "png: adler-32 checksum mismatch");
  // The compressed data is no longer needed.
  std::vector<uint8_t>().swap(joined);

  const size_t width = h.width;
  const size_t out_size = width * h.height * 4;
  malloc_ptr out(static_cast<uint8_t *>(std::malloc(out_size)));
  if (!out) return fail(err, "png: out of memory");

  uint8_t lut[256][4];
  if (ct == 3 || (ct == 0 && h.bit_depth <= 8)) build_lut(h, lut);

  // Each row is unfiltered and converted at once, while it is in cache.
  const size_t rb = size_t(row_bytes);
  uint8_t *prev = nullptr;
  for (size_t y = 0; y < h.height; y++) {
    uint8_t *line = raw.get() + y * size_t(stride);
    uint8_t *row = line + 1;
    unfilter_row(line[0], unit, row, prev, rb);
    convert_row(h, row, out.get() + y * width * 4, width, lut);
    prev = row;
  }

  *out_w = int(h.width);
  *out_h = int(h.height);
  if (err) *err = "";
  return out.release();
}

uint8_t *kp_png_decode_mem(const uint8_t *data, size_t len, int *width,
                           int *height, const char **png_error) {
  int w_dummy = 0, h_dummy = 0;
  if (!width) width = &w_dummy;
  if (!height) height = &h_dummy;
  *width = 0;
  *height = 0;
  if (!data) len = 0;
  try {
    return decode_core(data, len, width, height, png_error);
  } catch (...) {
    *width = 0;
    *height = 0;
    return fail(png_error, "png: out of memory");
  }
}

uint8_t *kp_png_decode(const char *path, int *width, int *height,
                       const char **png_error) {
  int w_dummy = 0, h_dummy = 0;
  if (!width) width = &w_dummy;
  if (!height) height = &h_dummy;
  *width = 0;
  *height = 0;
  if (!path) return fail(png_error, "png: cannot read file");
  // A FIFO, a device or a directory is refused before it is read: opening
  // a FIFO for reading would wait for a writer.
  if (file_kind(path) == FILE_OTHER) return fail(png_error, "png: not a regular file");
#ifndef _WIN32
  // Opened without waiting, and checked again on what was opened.
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  struct stat st;
  if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
    close(fd);
    return fail(png_error, "png: not a regular file");
  }
  file_ptr f(fd >= 0 ? fdopen(fd, "rb") : nullptr);
  if (fd >= 0 && !f) close(fd);
#else
  file_ptr f(file_open(path, "rb"));
#endif
  if (!f)
    return fail(png_error, errno == ENOMEM ? "png: out of memory"
                                           : "png: cannot read file");
  if (std::fseek(f.get(), 0, SEEK_END) != 0)
    return fail(png_error, "png: cannot read file");
  long size = std::ftell(f.get());
  if (size < 0) return fail(png_error, "png: cannot read file");
  if (uint64_t(size) >= max_raw_size || uint64_t(size) > SIZE_MAX)
    return fail(png_error, "png: file too large (the limit is 2 GiB)");
  std::rewind(f.get());
  if (size == 0) return fail(png_error, "png: not a PNG file (bad signature)");
  // Read the first bytes before trusting the size: a directory opens and
  // reports an enormous size on some systems, but cannot be read.
  uint8_t head[8];
  size_t head_len = size_t(size) < sizeof head ? size_t(size) : sizeof head;
  if (std::fread(head, 1, head_len, f.get()) != head_len)
    return fail(png_error, "png: cannot read file");
  malloc_ptr file(static_cast<uint8_t *>(std::malloc(size_t(size))));
  if (!file) return fail(png_error, "png: out of memory");
  std::memcpy(file.get(), head, head_len);
  size_t rest = size_t(size) - head_len;
  if (std::fread(file.get() + head_len, 1, rest, f.get()) != rest)
    return fail(png_error, "png: cannot read file");
  f.reset();
  return kp_png_decode_mem(file.get(), size_t(size), width, height, png_error);
}

// ---------------------------------------------------------------------------
// Encoder

// CRC-32 of the PNG standard (reflected polynomial 0xEDB88320), filled on
// first use.
static uint32_t s_crc_table[256];
static int s_crc_ready = 0;

static void crc_init() {
  for (uint32_t n = 0; n < 256; n++) {
    uint32_t c = n;
    for (int k = 0; k < 8; k++) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    s_crc_table[n] = c;
  }
  s_crc_ready = 1;
}

static uint32_t crc_update(uint32_t crc, const uint8_t *p, size_t n) {
  for (size_t i = 0; i < n; i++)
    crc = s_crc_table[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
  return crc;
}

static void put_be32(uint8_t *p, uint32_t v) {
  p[0] = uint8_t(v >> 24);
  p[1] = uint8_t(v >> 16);
  p[2] = uint8_t(v >> 8);
  p[3] = uint8_t(v);
}

// Appends one chunk (length, type, data, CRC of type and data) at out +
// out_len, which must have room for 12 + data_len bytes; returns the CRC.
static uint32_t png_chunk(uint8_t *out, size_t &out_len, const char *type,
                          const uint8_t *data, uint32_t data_len) {
  if (!s_crc_ready) crc_init();
  uint8_t *p = out + out_len;
  put_be32(p, data_len);
  std::memcpy(p + 4, type, 4);
  if (data_len) std::memcpy(p + 8, data, data_len);
  uint32_t crc = crc_update(0xFFFFFFFFu, p + 4, size_t(4) + data_len) ^
                 0xFFFFFFFFu;
  put_be32(p + 8 + data_len, crc);
  out_len += size_t(12) + data_len;
  return crc;
}

uint8_t *kp_png_encode(int width, int height, const uint8_t *rgba,
                       size_t *out_len) {
  if (width <= 0 || height <= 0 || !rgba || !out_len) return nullptr;
  try {
    const uint64_t row = uint64_t(width) * 4;
    const uint64_t stride = row + 1;
    // stride < 2^34 and height < 2^31: the product fits in 64 bits.
    const uint64_t scan_size = stride * uint64_t(height);
    if (scan_size > SIZE_MAX) return nullptr;

    uint8_t *z_raw = nullptr;
    size_t z_len = 0;
    {
      malloc_ptr scan(static_cast<uint8_t *>(std::malloc(size_t(scan_size))));
      if (!scan) return nullptr;
      for (uint64_t y = 0; y < uint64_t(height); y++) {
        uint8_t *line = scan.get() + y * stride;
        line[0] = 0;  // filter None
        std::memcpy(line + 1, rgba + y * row, size_t(row));
      }
      if (kp_deflate(scan.get(), size_t(scan_size), &z_raw, &z_len) != 0)
        return nullptr;
    }
    malloc_ptr z(z_raw);
    // A chunk's length field holds at most 2^31 - 1.
    if (z_len > 0x7FFFFFFFu) return nullptr;

    const size_t total = 8 + (12 + 13) + (12 + z_len) + 12;
    malloc_ptr out(static_cast<uint8_t *>(std::malloc(total)));
    if (!out) return nullptr;
    size_t len = 0;
    std::memcpy(out.get(), png_signature, 8);
    len = 8;
    uint8_t ihdr[13];
    put_be32(ihdr, uint32_t(width));
    put_be32(ihdr + 4, uint32_t(height));
    ihdr[8] = 8;   // bit depth
    ihdr[9] = 6;   // colour type RGBA
    ihdr[10] = 0;  // compression method
    ihdr[11] = 0;  // filter method
    ihdr[12] = 0;  // no interlace
    png_chunk(out.get(), len, "IHDR", ihdr, 13);
    png_chunk(out.get(), len, "IDAT", z.get(), uint32_t(z_len));
    png_chunk(out.get(), len, "IEND", nullptr, 0);
    *out_len = len;
    return out.release();
  } catch (...) {
    return nullptr;
  }
}

int kp_png_write(const char *path, int width, int height, const uint8_t *rgba) {
  if (!path || width <= 0 || height <= 0 || !rgba) return 0;
  size_t len = 0;
  malloc_ptr png(kp_png_encode(width, height, rgba, &len));
  if (!png) return 0;
  FILE *f = file_open(path, "wb");
  if (!f) return 0;
  size_t written = std::fwrite(png.get(), 1, len, f);
  // A failing close means buffered bytes never reached the file.
  int closed = std::fclose(f);
  return written == len && closed == 0 ? 1 : 0;
}
