// The PNG decoder against libpng over the corpus and crafted files, and the
// encoder round trip through libpng.

// libpng by its directory: plain <png.h> is this library's own header here.
#if __has_include(<libpng16/png.h>)
#include <libpng16/png.h>
#else
#include <libpng/png.h>
#endif
#include <zlib.h>

#include <algorithm>
#include <csetjmp>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "png.h"
#include "test_util.h"

namespace {

using bytes = std::vector<uint8_t>;

// ---- libpng as the judge ---------------------------------------------------

struct lp_image {
  bool ok = false;
  std::string err;
  int w = 0, h = 0;
  bytes rgba;
};

struct lp_reader {
  const uint8_t *p;
  size_t n;
  size_t pos;
};

void lp_read(png_structp png, png_bytep out, size_t n) {
  lp_reader *r = static_cast<lp_reader *>(png_get_io_ptr(png));
  if (r->n - r->pos < n) png_error(png, "read past end of data");
  std::memcpy(out, r->p + r->pos, n);
  r->pos += n;
}

void lp_error(png_structp png, png_const_charp msg) {
  std::string *e = static_cast<std::string *>(png_get_error_ptr(png));
  *e = msg;
  png_longjmp(png, 1);
}

void lp_warning(png_structp, png_const_charp) {}

// Decodes with libpng set to the decoder's conversions: palette and grey
// expanded to 8-bit RGB, 16-bit samples cut to their high byte, tRNS turned
// into alpha, opaque alpha added otherwise. Chunk CRCs are ignored, as the
// decoder ignores them.
lp_image lp_decode(const bytes &file) {
  lp_image r;
  lp_reader rd{file.data(), file.size(), 0};
  std::vector<png_bytep> rows;
  png_structp png =
      png_create_read_struct(PNG_LIBPNG_VER_STRING, &r.err, lp_error, lp_warning);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    r.ok = false;
    return r;
  }
  png_set_crc_action(png, PNG_CRC_QUIET_USE, PNG_CRC_QUIET_USE);
  png_set_read_fn(png, &rd, lp_read);
  png_read_info(png, info);
  int ct = png_get_color_type(png, info);
  int depth = png_get_bit_depth(png, info);
  if (ct == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
  if (ct == PNG_COLOR_TYPE_GRAY && depth < 8) png_set_expand_gray_1_2_4_to_8(png);
  if (png_get_valid(png, info, PNG_INFO_tRNS)) png_set_tRNS_to_alpha(png);
  if (depth == 16) png_set_strip_16(png);
  if (ct == PNG_COLOR_TYPE_GRAY || ct == PNG_COLOR_TYPE_GRAY_ALPHA)
    png_set_gray_to_rgb(png);
  png_set_filler(png, 0xFF, PNG_FILLER_AFTER);
  png_read_update_info(png, info);
  r.w = int(png_get_image_width(png, info));
  r.h = int(png_get_image_height(png, info));
  if (png_get_rowbytes(png, info) != size_t(r.w) * 4) {
    r.err = "unexpected row size";
    png_destroy_read_struct(&png, &info, nullptr);
    return r;
  }
  r.rgba.resize(size_t(r.w) * r.h * 4);
  rows.resize(r.h);
  for (int y = 0; y < r.h; y++) rows[y] = r.rgba.data() + size_t(y) * r.w * 4;
  png_read_image(png, rows.data());
  png_destroy_read_struct(&png, &info, nullptr);
  r.ok = true;
  return r;
}

// ---- Our decoder, wrapped ----------------------------------------------------

struct kp_image {
  bool ok = false;
  std::string err;
  int w = -1, h = -1;
  bytes rgba;
};

kp_image kp_decode(const bytes &file) {
  kp_image r;
  const char *err = nullptr;
  uint8_t *p = kp_png_decode_mem(file.data(), file.size(), &r.w, &r.h, &err);
  r.err = err ? err : "(null)";
  if (p) {
    r.ok = true;
    r.rgba.assign(p, p + size_t(r.w) * r.h * 4);
    std::free(p);
  }
  return r;
}

kp_image kp_decode_path(const std::string &path) {
  kp_image r;
  const char *err = nullptr;
  uint8_t *p = kp_png_decode(path.c_str(), &r.w, &r.h, &err);
  r.err = err ? err : "(null)";
  if (p) {
    r.ok = true;
    r.rgba.assign(p, p + size_t(r.w) * r.h * 4);
    std::free(p);
  }
  return r;
}

// Position of the first differing pixel, for failure messages.
std::string first_diff(const bytes &a, const bytes &b, int w) {
  if (a.size() != b.size())
    return "sizes " + std::to_string(a.size()) + " vs " + std::to_string(b.size());
  for (size_t i = 0; i < a.size(); i++) {
    if (a[i] != b[i]) {
      size_t px = i / 4;
      return "pixel (" + std::to_string(px % w) + "," + std::to_string(px / w) +
             ") byte " + std::to_string(i % 4) + ": " + std::to_string(a[i]) +
             " vs " + std::to_string(b[i]);
    }
  }
  return "equal";
}

// ---- Building PNG files ------------------------------------------------------

void put32(bytes &v, uint32_t x) {
  v.push_back(uint8_t(x >> 24));
  v.push_back(uint8_t(x >> 16));
  v.push_back(uint8_t(x >> 8));
  v.push_back(uint8_t(x));
}

void put_chunk(bytes &v, const char *type, const bytes &data, bool bad_crc = false) {
  put32(v, uint32_t(data.size()));
  size_t start = v.size();
  v.insert(v.end(), type, type + 4);
  v.insert(v.end(), data.begin(), data.end());
  uLong crc = crc32(0, v.data() + start, uInt(v.size() - start));
  put32(v, uint32_t(crc) ^ (bad_crc ? 0x1234u : 0u));
}

bytes signature() { return {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}; }

bytes ihdr_data(uint32_t w, uint32_t h, int depth, int ct, int interlace = 0) {
  bytes d;
  put32(d, w);
  put32(d, h);
  d.push_back(uint8_t(depth));
  d.push_back(uint8_t(ct));
  d.push_back(0);
  d.push_back(0);
  d.push_back(uint8_t(interlace));
  return d;
}

// A zlib stream of raw with the given window (9..15 bits).
bytes zlib_of(const bytes &raw, int window_bits = 15) {
  z_stream zs{};
  deflateInit2(&zs, 9, Z_DEFLATED, window_bits, 8, Z_DEFAULT_STRATEGY);
  bytes out(deflateBound(&zs, uLong(raw.size())) + 16);
  zs.next_in = const_cast<Bytef *>(raw.data());
  zs.avail_in = uInt(raw.size());
  zs.next_out = out.data();
  zs.avail_out = uInt(out.size());
  deflate(&zs, Z_FINISH);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

// A PNG of the given header and raw (filtered) scanlines, with optional
// PLTE and tRNS before the image data.
bytes make_png(uint32_t w, uint32_t h, int depth, int ct, const bytes &raw,
               const bytes *plte = nullptr, const bytes *trns = nullptr,
               int interlace = 0) {
  bytes v = signature();
  put_chunk(v, "IHDR", ihdr_data(w, h, depth, ct, interlace));
  if (plte) put_chunk(v, "PLTE", *plte);
  if (trns) put_chunk(v, "tRNS", *trns);
  put_chunk(v, "IDAT", zlib_of(raw));
  put_chunk(v, "IEND", {});
  return v;
}

bytes rgba_of(std::initializer_list<int> v) {
  bytes b;
  for (int x : v) b.push_back(uint8_t(x));
  return b;
}

// ---- Corpus --------------------------------------------------------------------

struct corpus_entry {
  std::string rel;       // "png/..."
  std::string expected;  // "" to decode, else the exact message
};

std::string trim(const std::string &s) {
  size_t a = s.find_first_not_of(' ');
  size_t b = s.find_last_not_of(' ');
  return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

// The PNG rows of the corpus README: | file | source | licence | exercises |
// expected | pngcheck |, expected being "decodes" or refused: "message".
std::vector<corpus_entry> corpus_entries() {
  std::vector<corpus_entry> out;
  std::stringstream in(tu::read_text(tu::corpus("README.md")));
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("| png/", 0) != 0) continue;
    std::vector<std::string> cols;
    size_t pos = 1;
    while (pos < line.size()) {
      size_t bar = line.find('|', pos);
      if (bar == std::string::npos) break;
      cols.push_back(trim(line.substr(pos, bar - pos)));
      pos = bar + 1;
    }
    if (cols.size() < 5) continue;
    corpus_entry e;
    e.rel = cols[0];
    const std::string &x = cols[4];
    if (x != "decodes") {
      size_t q1 = x.find('"');
      size_t q2 = x.rfind('"');
      e.expected = (q1 != std::string::npos && q2 > q1) ? x.substr(q1 + 1, q2 - q1 - 1)
                                                       : "?" + x;
    }
    out.push_back(e);
  }
  return out;
}

}  // namespace

// Every corpus file: the expected message for refused files, and for the
// rest the same RGBA as libpng under the same conversions.
TEST(PngCorpus, MatchesLibpngAndExpectedOutcome) {
  std::vector<corpus_entry> entries = corpus_entries();
  ASSERT_GE(entries.size(), 380u) << "corpus README table not parsed";
  int decoded = 0, refused = 0, interlaced = 0;
  for (const corpus_entry &e : entries) {
    SCOPED_TRACE(e.rel);
    std::string path = tu::corpus(e.rel);
    bytes file = tu::read_file(path);
    ASSERT_FALSE(file.empty());
    kp_image k = kp_decode_path(path);
    kp_image km = kp_decode(file);
    EXPECT_EQ(k.ok, km.ok);
    EXPECT_EQ(k.err, km.err);
    EXPECT_EQ(k.rgba, km.rgba);
    if (!e.expected.empty()) {
      EXPECT_FALSE(k.ok);
      EXPECT_EQ(k.err, e.expected);
      EXPECT_EQ(k.w, 0);
      EXPECT_EQ(k.h, 0);
      refused++;
      if (e.expected == "png: interlaced PNG not supported") interlaced++;
      continue;
    }
    ASSERT_TRUE(k.ok) << k.err;
    EXPECT_EQ(k.err, "");
    lp_image l = lp_decode(file);
    ASSERT_TRUE(l.ok) << "libpng: " << l.err;
    ASSERT_EQ(k.w, l.w);
    ASSERT_EQ(k.h, l.h);
    EXPECT_TRUE(k.rgba == l.rgba) << first_diff(k.rgba, l.rgba, k.w);
    decoded++;
  }
  EXPECT_EQ(decoded, 290);
  EXPECT_EQ(refused + decoded, int(entries.size()));
  EXPECT_EQ(interlaced, 63);
}

// Every file under the corpus directory is covered by the table.
TEST(PngCorpus, TableListsEveryFile) {
  tu::run_result r = tu::run("cd '" + tu::corpus("") + "' && find png -name '*.png' | sort");
  ASSERT_EQ(r.status, 0);
  ASSERT_GE(std::count(r.out.begin(), r.out.end(), '\n'), 380) << tu::corpus("png");
  std::vector<corpus_entry> entries = corpus_entries();
  std::stringstream in(r.out);
  std::string rel;
  while (std::getline(in, rel)) {
    bool found = false;
    for (const corpus_entry &e : entries) found = found || e.rel == rel;
    EXPECT_TRUE(found) << rel;
  }
}

// Random scanlines (every filter type, random bytes) for every colour type,
// bit depth and a spread of widths: bit-exact with libpng. Any byte sequence
// is valid filtered data, so this reaches every unfilter and conversion path.
TEST(PngDecode, RandomScanlinesMatchLibpng) {
  struct format {
    int ct, depth;
  };
  const format formats[] = {{0, 1}, {0, 2}, {0, 4}, {0, 8}, {0, 16}, {2, 8},
                            {2, 16}, {3, 1}, {3, 2}, {3, 4}, {3, 8}, {4, 8},
                            {4, 16}, {6, 8}, {6, 16}};
  const int channels[] = {1, 0, 3, 1, 2, 0, 4};
  std::mt19937 rng(12345);
  for (const format &f : formats) {
    for (uint32_t w : {1u, 2u, 3u, 5u, 7u, 8u, 9u, 15u, 16u, 17u, 31u, 33u, 100u}) {
      for (int variant = 0; variant < 3; variant++) {
        SCOPED_TRACE("ct " + std::to_string(f.ct) + " depth " + std::to_string(f.depth) +
                     " width " + std::to_string(w) + " variant " + std::to_string(variant));
        uint32_t h = 1 + rng() % 12;
        size_t row = (size_t(w) * channels[f.ct] * f.depth + 7) / 8;
        bytes raw;
        for (uint32_t y = 0; y < h; y++) {
          raw.push_back(uint8_t(rng() % 5));
          for (size_t i = 0; i < row; i++) raw.push_back(uint8_t(rng()));
        }
        bytes plte, trns;
        bool with_plte = f.ct == 3;
        bool with_trns = variant != 0 && (f.ct == 3 || f.ct == 0 || f.ct == 2);
        if (with_plte) {
          // Enough entries for every index the depth can hold.
          size_t entries = size_t(1) << f.depth;
          for (size_t i = 0; i < entries * 3; i++) plte.push_back(uint8_t(rng()));
          if (with_trns) {
            size_t n = 1 + rng() % entries;
            for (size_t i = 0; i < n; i++) trns.push_back(uint8_t(rng()));
          }
        } else if (with_trns) {
          // A key that occurs: the first sample(s) of the image.
          unsigned maxv = f.depth == 16 ? 0xFFFF : (1u << f.depth) - 1;
          for (int c = 0; c < (f.ct == 2 ? 3 : 1); c++) {
            unsigned key = variant == 1 ? rng() % (maxv + 1) : (f.depth < 8 ? 0 : maxv);
            put32(trns, key);
            trns.erase(trns.end() - 4, trns.end() - 2);
          }
        }
        bytes file = make_png(w, h, f.depth, f.ct, raw, with_plte ? &plte : nullptr,
                              with_trns ? &trns : nullptr);
        kp_image k = kp_decode(file);
        lp_image l = lp_decode(file);
        ASSERT_TRUE(l.ok) << l.err;
        ASSERT_TRUE(k.ok) << k.err;
        ASSERT_EQ(k.w, int(w));
        ASSERT_EQ(k.h, int(h));
        ASSERT_TRUE(k.rgba == l.rgba) << first_diff(k.rgba, l.rgba, k.w);
      }
    }
  }
}

// Colour keys (tRNS of a grey or RGB image): the pixels of exactly the key
// become transparent, to known bytes and to the bytes libpng gives.
TEST(PngDecode, ColourKeyMatchesLibpng) {
  struct row {
    const char *name;
    int depth, ct;
    uint32_t w;
    bytes raw, trns, rgba;
  } rows[] = {
      {"grey 8-bit", 8, 0, 3, {0, 0, 7, 255}, {0, 7},
       {0, 0, 0, 255, 7, 7, 7, 0, 255, 255, 255, 255}},
      {"grey 8-bit, key out of range: its low byte", 8, 0, 2, {0, 0, 255}, {1, 0},
       {0, 0, 0, 0, 255, 255, 255, 255}},
      {"grey 2-bit, key out of range: its low bits", 2, 0, 4, {0, 0x1B}, {0, 6},
       {0, 0, 0, 255, 85, 85, 85, 255, 170, 170, 170, 0, 255, 255, 255, 255}},
      {"grey 16-bit: the whole sample", 16, 0, 3, {0, 0x12, 0x34, 0x12, 0x35, 0x12, 0x00},
       {0x12, 0x34}, {0x12, 0x12, 0x12, 0, 0x12, 0x12, 0x12, 255, 0x12, 0x12, 0x12, 255}},
      {"RGB 8-bit", 8, 2, 2, {0, 1, 2, 3, 1, 2, 4}, {0, 1, 0, 2, 0, 3},
       {1, 2, 3, 0, 1, 2, 4, 255}},
      {"RGB 8-bit, key out of range: its low bytes", 8, 2, 2, {0, 1, 2, 3, 3, 2, 1},
       {1, 1, 0, 2, 0, 3}, {1, 2, 3, 0, 3, 2, 1, 255}},
      {"RGB 16-bit: every whole sample", 16, 2, 2,
       {0, 0xAA, 0x01, 0xBB, 0x02, 0xCC, 0x03, 0xAA, 0x01, 0xBB, 0x02, 0xCC, 0x04},
       {0xAA, 0x01, 0xBB, 0x02, 0xCC, 0x03}, {0xAA, 0xBB, 0xCC, 0, 0xAA, 0xBB, 0xCC, 255}},
      {"RGB key of the wrong length is ignored", 8, 2, 1, {0, 1, 2, 3}, {0, 1, 0, 2},
       {1, 2, 3, 255}},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.name);
    bytes file = make_png(r.w, 1, r.depth, r.ct, r.raw, nullptr, &r.trns);
    kp_image k = kp_decode(file);
    ASSERT_TRUE(k.ok) << k.err;
    EXPECT_TRUE(k.rgba == r.rgba) << first_diff(k.rgba, r.rgba, k.w);
    lp_image l = lp_decode(file);
    ASSERT_TRUE(l.ok) << l.err;
    EXPECT_TRUE(k.rgba == l.rgba) << first_diff(k.rgba, l.rgba, k.w);
  }
}

// Small images decoded to known bytes, and files refused with known messages.
TEST(PngDecode, CraftedCases) {
  struct crafted {
    std::string name;
    bytes file;
    std::string err;  // empty: must decode
    int w, h;
    bytes rgba;
  };
  std::vector<crafted> cases;
  auto ok = [&](const std::string &name, bytes file, int w, int h, bytes rgba) {
    cases.push_back({name, std::move(file), "", w, h, std::move(rgba)});
  };
  auto bad = [&](const std::string &name, bytes file, const std::string &err) {
    cases.push_back({name, std::move(file), err, 0, 0, {}});
  };

  ok("grey 1x1 0x80", make_png(1, 1, 8, 0, {0, 0x80}), 1, 1, rgba_of({0x80, 0x80, 0x80, 255}));
  {
    bytes plte = {10, 20, 30, 40, 50, 60};
    ok("1-bit palette", make_png(2, 1, 1, 3, {0, 0x40}, &plte), 2, 1,
       rgba_of({10, 20, 30, 255, 40, 50, 60, 255}));
  }
  {
    bytes plte = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    bytes trns = {7};
    ok("short tRNS leaves the rest opaque", make_png(3, 1, 8, 3, {0, 0, 1, 2}, &plte, &trns),
       3, 1, rgba_of({1, 2, 3, 7, 4, 5, 6, 255, 7, 8, 9, 255}));
  }
  {
    bytes trns = {0x00, 0xFF};
    ok("grey tRNS 00 FF", make_png(3, 1, 8, 0, {0, 0, 254, 255}, nullptr, &trns), 3, 1,
       rgba_of({0, 0, 0, 255, 254, 254, 254, 255, 255, 255, 255, 0}));
    bytes trns2 = {0x00, 0x02};
    ok("2-bit grey tRNS compares the sample", make_png(4, 1, 2, 0, {0, 0x1B}, nullptr, &trns2),
       4, 1, rgba_of({0, 0, 0, 255, 85, 85, 85, 255, 170, 170, 170, 0, 255, 255, 255, 255}));
  }
  ok("16-bit RGBA keeps high bytes",
     make_png(1, 1, 16, 6, {0, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0}), 1, 1,
     rgba_of({0x12, 0x56, 0x9A, 0xDE}));
  ok("filter type 7 taken as stored", make_png(2, 2, 8, 0, {0, 10, 20, 7, 1, 2}), 2, 2,
     rgba_of({10, 10, 10, 255, 20, 20, 20, 255, 1, 1, 1, 255, 2, 2, 2, 255}));
  {
    bytes plte = {10, 20, 30, 40, 50, 60};
    bytes trns = {0, 0, 0, 0};
    ok("palette index beyond PLTE is opaque black",
       make_png(4, 1, 8, 3, {0, 1, 2, 3, 255}, &plte, &trns), 4, 1,
       rgba_of({40, 50, 60, 0, 0, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0, 255}));
    bytes empty;
    ok("empty PLTE", make_png(2, 1, 4, 3, {0, 0x0F}, &empty), 2, 1,
       rgba_of({0, 0, 0, 255, 0, 0, 0, 255}));
  }

  // Chunk arrangement.
  const bytes raw22 = {0, 1, 2, 1, 3, 4};  // 2x2 grey, second row Sub
  const bytes px22 = rgba_of({1, 1, 1, 255, 2, 2, 2, 255, 3, 3, 3, 255, 7, 7, 7, 255});
  {
    bytes z = zlib_of(raw22);
    bytes v = signature();
    put_chunk(v, "IHDR", ihdr_data(2, 2, 8, 0));
    put_chunk(v, "IDAT", bytes(z.begin(), z.begin() + 3));
    put_chunk(v, "tEXt", {'a', 0, 'b'});
    put_chunk(v, "IDAT", {});
    put_chunk(v, "IDAT", bytes(z.begin() + 3, z.end()));
    put_chunk(v, "IEND", {});
    ok("split IDAT with chunks between", v, 2, 2, px22);
  }
  {
    bytes v = signature();
    put_chunk(v, "IHDR", ihdr_data(2, 2, 8, 0), true);
    put_chunk(v, "IDAT", zlib_of(raw22), true);
    put_chunk(v, "IEND", {}, true);
    ok("wrong CRCs accepted", v, 2, 2, px22);
  }
  {
    bytes v = signature();
    put_chunk(v, "IDAT", zlib_of(raw22));
    put_chunk(v, "IHDR", ihdr_data(2, 2, 8, 0));
    put_chunk(v, "IEND", {});
    ok("IHDR after IDAT", v, 2, 2, px22);
  }
  {
    bytes v = signature();
    put_chunk(v, "IHDR", ihdr_data(9, 9, 8, 0));
    put_chunk(v, "IHDR", ihdr_data(2, 2, 8, 0));
    put_chunk(v, "IDAT", zlib_of(raw22));
    ok("later IHDR overrides, no IEND", v, 2, 2, px22);
    bytes t = v;
    t.insert(t.end(), {1, 2, 3, 4, 5, 6, 7});
    ok("1 to 7 trailing bytes ignored", t, 2, 2, px22);
    put_chunk(v, "IEND", {});
    v.insert(v.end(), {'j', 'u', 'n', 'k', 0, 0, 0, 99, 'I', 'D', 'A', 'T', 1, 2});
    ok("bytes after IEND ignored", v, 2, 2, px22);
  }

  // zlib framing.
  ok("small window 0x58 accepted", [&] {
    bytes v = signature();
    put_chunk(v, "IHDR", ihdr_data(2, 2, 8, 0));
    bytes z = zlib_of(raw22, 13);
    EXPECT_EQ(z[0], 0x58);
    put_chunk(v, "IDAT", z);
    put_chunk(v, "IEND", {});
    return v;
  }(), 2, 2, px22);
  ok("smallest window 0x08 accepted", [&] {
    bytes v = signature();
    put_chunk(v, "IHDR", ihdr_data(2, 2, 8, 0));
    bytes z = zlib_of(raw22, 9);
    z[0] = 0x08;  // 256-byte window (zlib writes 9 bits as 512)
    z[1] = uint8_t(z[1] & 0xE0);
    z[1] = uint8_t(z[1] + (31 - (0x08 * 256 + z[1]) % 31) % 31);
    put_chunk(v, "IDAT", z);
    put_chunk(v, "IEND", {});
    return v;
  }(), 2, 2, px22);
  {
    // A stream with its first two bytes replaced, FLG made to pass the check
    // unless the case breaks the check itself.
    auto with_header = [&](uint8_t cmf, uint8_t flg_bits, bool fix_check) {
      bytes z = zlib_of(raw22);
      z[0] = cmf;
      z[1] = flg_bits;
      if (fix_check) z[1] = uint8_t(z[1] + (31 - (cmf * 256 + z[1]) % 31) % 31);
      bytes v = signature();
      put_chunk(v, "IHDR", ihdr_data(2, 2, 8, 0));
      put_chunk(v, "IDAT", z);
      put_chunk(v, "IEND", {});
      return v;
    };
    bad("header check broken", with_header(0x78, 0x9D, false), "png: bad zlib header in IDAT");
    bad("method 9", with_header(0x79, 0x00, true), "png: bad zlib header in IDAT");
    bad("method 15", with_header(0x7F, 0x00, true), "png: bad zlib header in IDAT");
    bad("window 64 KiB", with_header(0x88, 0x00, true), "png: bad zlib header in IDAT");
    bad("preset dictionary", with_header(0x78, 0x20, true), "png: bad zlib header in IDAT");
    ok("compression level bits ignored", with_header(0x78, 0xC0, true), 2, 2, px22);
    bytes v = signature();
    put_chunk(v, "IHDR", ihdr_data(2, 2, 8, 0));
    put_chunk(v, "IDAT", {0x78, 0x9C, 3, 0, 0});
    bad("joined data under 6 bytes", v, "png: bad zlib header in IDAT");
  }
  bad("inflates one byte short", make_png(2, 2, 8, 0, {0, 1, 2, 1, 3}),
      "png: inflate failed (corrupt or truncated stream)");
  bad("inflates one byte long", make_png(2, 2, 8, 0, {0, 1, 2, 1, 3, 4, 5}),
      "png: inflate failed (corrupt or truncated stream)");
  {
    bytes v = make_png(2, 2, 8, 0, raw22);
    // The Adler-32 sits just before the IDAT CRC: last 12 bytes are IEND,
    // then 4 CRC bytes.
    v[v.size() - 12 - 4 - 1] ^= 1;
    bad("adler-32 mismatch", v, "png: adler-32 checksum mismatch");
    // Cut the deflate data short inside the IDAT chunk.
    bytes z = zlib_of(raw22);
    bytes u = signature();
    put_chunk(u, "IHDR", ihdr_data(2, 2, 8, 0));
    put_chunk(u, "IDAT", bytes(z.begin(), z.end() - 6));
    bad("truncated stream", u, "png: inflate failed (corrupt or truncated stream)");
  }

  // Sizes.
  auto header_only = [&](uint32_t w, uint32_t h, int depth, int ct, int interlace = 0) {
    bytes v = signature();
    put_chunk(v, "IHDR", ihdr_data(w, h, depth, ct, interlace));
    put_chunk(v, "IDAT", zlib_of({0, 0}));
    put_chunk(v, "IEND", {});
    return v;
  };
  bad("width 0", header_only(0, 1, 8, 0), "png: image too large");
  bad("height 0", header_only(1, 0, 8, 0), "png: image too large");
  bad("width 2^31", header_only(0x80000000u, 1, 8, 0), "png: image too large");
  bad("height 2^31", header_only(1, 0x80000000u, 8, 0), "png: image too large");
  bad("32768 x 32769", header_only(32768, 32769, 1, 0), "png: image too large");
  // The memory budget: 256 MiB of decoded pixels, and as much for the data
  // as stored; an image within it goes on to the next checks.
  auto over = [](const char *size) {
    return std::string("png: image too large (") + size +
           " pixels; the decoder's limit is 256 MiB of pixels, 8192x8192 at 8 bits)";
  };
  bad("32768 x 32768", header_only(32768, 32768, 1, 0), over("32768x32768"));
  bad("2^30 x 1", header_only(1u << 30, 1, 1, 0), over("1073741824x1"));
  bad("8192 x 8193", header_only(8192, 8193, 8, 0), over("8192x8193"));
  bad("16-bit RGBA whose stored data is over", header_only(4096, 8193, 16, 6),
      over("4096x8193"));
  // At the limits themselves (the rows' filter-type bytes do not count).
  bad("8192 x 8192 passes the budget", header_only(8192, 8192, 8, 0),
      "png: inflate failed (corrupt or truncated stream)");
  bad("8-bit RGBA 8192 x 8192 passes the budget", header_only(8192, 8192, 8, 6),
      "png: inflate failed (corrupt or truncated stream)");
  bad("16-bit RGBA 4096 x 8192 passes the budget", header_only(4096, 8192, 16, 6),
      "png: inflate failed (corrupt or truncated stream)");
  {
    // A 16 KB scan at 1 bit per pixel whose pixels would take 514 MiB.
    const uint32_t w = 10200, h = 13200;
    bytes raw(size_t(h) * (w / 8 + 1), 0);
    bytes file = make_png(w, h, 1, 0, raw);
    EXPECT_LT(file.size(), 40000u);
    bad("1-bit scan of 10200 x 13200", file, over("10200x13200"));
  }

  // Header checks and their order.
  bad("interlaced", make_png(2, 2, 8, 0, raw22, nullptr, nullptr, 1),
      "png: interlaced PNG not supported");
  bad("interlaced before colour type", header_only(2, 2, 3, 1, 1),
      "png: interlaced PNG not supported");
  bad("colour type 1", header_only(2, 2, 8, 1), "png: unsupported color type");
  bad("colour type 5", header_only(2, 2, 8, 5), "png: unsupported color type");
  bad("colour type 7", header_only(2, 2, 8, 7), "png: unsupported color type");
  bad("palette without PLTE", header_only(2, 2, 8, 3), "png: palette PNG without PLTE");
  bad("palette without PLTE before depth", header_only(2, 2, 3, 3),
      "png: palette PNG without PLTE");
  bad("grey depth 3", header_only(2, 2, 3, 0), "png: unsupported bit depth");
  bad("RGB depth 4", header_only(2, 2, 4, 2), "png: unsupported bit depth");
  bad("RGBA depth 1", header_only(2, 2, 1, 6), "png: unsupported bit depth");
  bad("grey alpha depth 2", header_only(2, 2, 2, 4), "png: unsupported bit depth");
  {
    bytes plte = {1, 2, 3};
    bad("16-bit palette", make_png(1, 1, 16, 3, {0, 0, 0}, &plte),
        "png: 16-bit palette not supported");
    bad("palette depth 3", make_png(1, 1, 3, 3, {0, 0}, &plte), "png: unsupported bit depth");
    bytes p769(769), p4(4), p768(768);
    bad("PLTE 769 bytes", make_png(1, 1, 8, 3, {0, 0}, &p769), "png: bad PLTE");
    bad("PLTE 4 bytes", make_png(1, 1, 8, 3, {0, 0}, &p4), "png: bad PLTE");
    ok("PLTE 768 bytes", make_png(1, 1, 8, 3, {0, 0}, &p768), 1, 1, rgba_of({0, 0, 0, 255}));
  }
  {
    bytes v = signature();
    put_chunk(v, "IHDR", bytes(12));
    bad("IHDR of 12 bytes", v, "png: bad IHDR length");
    bytes u = signature();
    put_chunk(u, "IHDR", ihdr_data(2, 2, 8, 0));
    bad("no IDAT", u, "png: missing IHDR or IDAT");
    bytes n = signature();
    put_chunk(n, "IDAT", zlib_of(raw22));
    put_chunk(n, "IEND", {});
    bad("no IHDR", n, "png: missing IHDR or IDAT");
    bytes t = make_png(2, 2, 8, 0, raw22);
    t.resize(t.size() - 13);  // IEND's CRC and the last IDAT CRC byte gone
    bad("chunk past end of file", t, "png: truncated chunk");
    bytes e = make_png(2, 2, 8, 0, raw22);
    e.resize(e.size() - 4);  // IEND without its CRC
    bad("IEND without CRC", e, "png: truncated chunk");
    bytes huge = signature();
    put32(huge, 0xFFFFFFFFu);
    huge.insert(huge.end(), {'t', 'E', 'X', 't', 0, 0, 0, 0});
    bad("chunk length 2^32 - 1", huge, "png: truncated chunk");
  }
  bad("empty", {}, "png: not a PNG file (bad signature)");
  {
    bytes seven = signature();
    seven.resize(7);
    bad("7 bytes", seven, "png: not a PNG file (bad signature)");
  }
  {
    bytes s = signature();
    s[7] = 0x0B;
    s.resize(40);
    bad("wrong signature", s, "png: not a PNG file (bad signature)");
    bytes f = signature();
    f.resize(15);
    bad("15 bytes", f, "png: missing IHDR or IDAT");
  }

  for (const crafted &c : cases) {
    SCOPED_TRACE(c.name);
    kp_image k = kp_decode(c.file);
    if (c.err.empty()) {
      ASSERT_TRUE(k.ok) << k.err;
      EXPECT_EQ(k.err, "");
      EXPECT_EQ(k.w, c.w);
      EXPECT_EQ(k.h, c.h);
      EXPECT_TRUE(k.rgba == c.rgba) << first_diff(k.rgba, c.rgba, c.w);
    } else {
      EXPECT_FALSE(k.ok);
      EXPECT_EQ(k.err, c.err);
      EXPECT_EQ(k.w, 0);
      EXPECT_EQ(k.h, 0);
    }
  }
}

// Images claiming more raw data than their compressed data could ever give
// are refused before the raw buffer is allocated; the bound must still admit
// the densest real streams (long zero runs at zlib's best ratio).
TEST(PngDecode, DensestStreamsStillDecode) {
  for (int ct : {0, 6}) {
    SCOPED_TRACE(ct);
    const uint32_t w = ct == 0 ? 4000 : 1000, h = 4000;
    const size_t row = ct == 0 ? w : w * 4;
    bytes raw((row + 1) * h, 0);
    bytes file = make_png(w, h, 8, ct, raw);
    bytes z = zlib_of(raw);
    EXPECT_GT(double(raw.size()) / double(z.size()), 1000.0);
    kp_image k = kp_decode(file);
    ASSERT_TRUE(k.ok) << k.err;
    bytes expect(size_t(w) * h * 4, 0);
    if (ct == 0)
      for (size_t i = 3; i < expect.size(); i += 4) expect[i] = 255;
    EXPECT_TRUE(k.rgba == expect);
  }
}

// The file entry point: unreadable and empty files, and the same result as
// the in-memory decode.
TEST(PngDecode, FromFile) {
  tu::temp_dir dir;
  int w = -1, h = -1;
  const char *err = nullptr;
  EXPECT_EQ(kp_png_decode((dir / "missing.png").c_str(), &w, &h, &err), nullptr);
  EXPECT_STREQ(err, "png: cannot read file");
  EXPECT_EQ(w, 0);
  EXPECT_EQ(h, 0);
  // No regular file: refused without reading (a FIFO would block).
  const std::string fifo = dir / "fifo.png";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string &p : {dir.path, fifo, std::string("/dev/zero")}) {
    SCOPED_TRACE(p);
    EXPECT_EQ(kp_png_decode(p.c_str(), &w, &h, &err), nullptr);
    EXPECT_STREQ(err, "png: not a regular file");
  }
  // Past 2 GiB (sparse: no disk space is used): not read at all.
  const std::string big = dir / "big.png";
  tu::write_file(big, std::string(reinterpret_cast<const char *>(make_png(1, 1, 8, 0, {0, 0}).data()), 8));
  ASSERT_EQ(truncate(big.c_str(), off_t(1) << 31), 0);
  EXPECT_EQ(kp_png_decode(big.c_str(), &w, &h, &err), nullptr);
  EXPECT_STREQ(err, "png: file too large (the limit is 2 GiB)");
  tu::write_file(dir / "empty.png", "");
  EXPECT_EQ(kp_png_decode((dir / "empty.png").c_str(), &w, &h, &err), nullptr);
  EXPECT_STREQ(err, "png: not a PNG file (bad signature)");

  bytes file = make_png(1, 1, 8, 0, {0, 0x80});
  tu::write_file(dir / "grey.png", std::string(file.begin(), file.end()));
  uint8_t *p = kp_png_decode((dir / "grey.png").c_str(), &w, &h, &err);
  ASSERT_NE(p, nullptr);
  EXPECT_STREQ(err, "");
  EXPECT_EQ(w, 1);
  EXPECT_EQ(h, 1);
  EXPECT_EQ(std::memcmp(p, "\x80\x80\x80\xFF", 4), 0);
  std::free(p);
}

// A failing call's message stays until the next failing call; a success
// leaves it in place.
TEST(PngDecode, MessageOutlivesTheCall) {
  int w, h;
  const char *err1 = nullptr, *err2 = nullptr;
  bytes junk = {1, 2, 3};
  EXPECT_EQ(kp_png_decode_mem(junk.data(), junk.size(), &w, &h, &err1), nullptr);
  bytes good = make_png(1, 1, 8, 0, {0, 0x80});
  uint8_t *p = kp_png_decode_mem(good.data(), good.size(), &w, &h, &err2);
  ASSERT_NE(p, nullptr);
  std::free(p);
  EXPECT_STREQ(err1, "png: not a PNG file (bad signature)");
  EXPECT_EQ(kp_png_decode_mem(nullptr, 0, &w, &h, &err2), nullptr);
  EXPECT_STREQ(err2, "png: not a PNG file (bad signature)");
}

// ---- Encoder -------------------------------------------------------------------

TEST(PngEncode, RoundTripsThroughLibpngAndDecoder) {
  std::mt19937 rng(777);
  const int sizes[][2] = {{1, 1},   {2, 1},   {1, 2},    {3, 3},   {7, 5},  {16, 16},
                          {17, 9},  {31, 2},  {64, 64},  {99, 101}, {255, 3}, {257, 130},
                          {300, 200}, {1, 300}, {513, 1}};
  for (const auto &s : sizes) {
    int w = s[0], h = s[1];
    SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
    bytes rgba(size_t(w) * h * 4);
    // Mix noise with flat runs so the compressor sees both.
    for (size_t i = 0; i < rgba.size(); i++)
      rgba[i] = (i / 64) % 3 == 0 ? uint8_t(i / 256) : uint8_t(rng());
    size_t len = 0;
    uint8_t *png = kp_png_encode(w, h, rgba.data(), &len);
    ASSERT_NE(png, nullptr);
    bytes file(png, png + len);
    std::free(png);
    lp_image l = lp_decode(file);
    ASSERT_TRUE(l.ok) << l.err;
    EXPECT_EQ(l.w, w);
    EXPECT_EQ(l.h, h);
    EXPECT_TRUE(l.rgba == rgba) << first_diff(l.rgba, rgba, w);
    kp_image k = kp_decode(file);
    ASSERT_TRUE(k.ok) << k.err;
    EXPECT_TRUE(k.rgba == rgba);
  }
}

TEST(PngEncode, FileLayout) {
  bytes rgba(640 * 480 * 4, 0x5A);
  size_t len = 0;
  uint8_t *png = kp_png_encode(640, 480, rgba.data(), &len);
  ASSERT_NE(png, nullptr);
  bytes f(png, png + len);
  std::free(png);
  const bytes head = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 0x0D,
                      'I', 'H', 'D', 'R', 0, 0, 2, 0x80, 0, 0, 1, 0xE0, 8, 6, 0, 0, 0};
  ASSERT_GT(f.size(), head.size() + 12);
  EXPECT_TRUE(std::equal(head.begin(), head.end(), f.begin()));
  const bytes tail = {0, 0, 0, 0, 0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82};
  EXPECT_TRUE(std::equal(tail.begin(), tail.end(), f.end() - 12));
  // IHDR CRC as zlib computes it; then exactly one IDAT spanning the rest.
  uLong crc = crc32(0, f.data() + 12, 17);
  EXPECT_EQ(f[29], uint8_t(crc >> 24));
  EXPECT_EQ(f[32], uint8_t(crc));
  uint32_t idat_len = uint32_t(f[33]) << 24 | uint32_t(f[34]) << 16 | uint32_t(f[35]) << 8 | f[36];
  EXPECT_EQ(std::string(f.begin() + 37, f.begin() + 41), "IDAT");
  EXPECT_EQ(size_t(33) + 12 + idat_len + 12, f.size());
  uLong icrc = crc32(0, f.data() + 37, 4 + idat_len);
  size_t at = 41 + idat_len;
  EXPECT_EQ(uint32_t(f[at]) << 24 | uint32_t(f[at + 1]) << 16 | uint32_t(f[at + 2]) << 8 |
                f[at + 3],
            uint32_t(icrc));
  // The scanlines: filter byte 0 and the pixels unchanged.
  bytes raw(480 * (640 * 4 + 1));
  uLongf raw_len = uLongf(raw.size());
  ASSERT_EQ(uncompress(raw.data(), &raw_len, f.data() + 41, idat_len), Z_OK);
  ASSERT_EQ(raw_len, raw.size());
  for (size_t y = 0; y < 480; y++) EXPECT_EQ(raw[y * 2561], 0) << y;
}

TEST(PngEncode, BadArgumentsGiveNothing) {
  uint8_t px[4] = {1, 2, 3, 4};
  size_t len = 12345;
  EXPECT_EQ(kp_png_encode(0, 1, px, &len), nullptr);
  EXPECT_EQ(kp_png_encode(1, 0, px, &len), nullptr);
  EXPECT_EQ(kp_png_encode(-1, 1, px, &len), nullptr);
  EXPECT_EQ(kp_png_encode(1, -5, px, &len), nullptr);
  EXPECT_EQ(kp_png_encode(1, 1, nullptr, &len), nullptr);
  EXPECT_EQ(kp_png_encode(1, 1, px, nullptr), nullptr);
  EXPECT_EQ(len, 12345u);

  tu::temp_dir dir;
  std::string out = dir / "out.png";
  EXPECT_EQ(kp_png_write(out.c_str(), 0, 1, px), 0);
  EXPECT_EQ(kp_png_write(out.c_str(), 1, 0, px), 0);
  EXPECT_EQ(kp_png_write(out.c_str(), 1, 1, nullptr), 0);
  EXPECT_EQ(kp_png_write(nullptr, 1, 1, px), 0);
  EXPECT_FALSE(tu::exists(out));
  EXPECT_EQ(kp_png_write((dir / "no/such/dir.png").c_str(), 1, 1, px), 0);
}

TEST(PngEncode, WriteStoresTheEncodedBytes) {
  tu::temp_dir dir;
  std::string out = dir / "px.png";
  uint8_t px[8] = {1, 2, 3, 4, 250, 251, 252, 0};
  ASSERT_EQ(kp_png_write(out.c_str(), 2, 1, px), 1);
  size_t len = 0;
  uint8_t *png = kp_png_encode(2, 1, px, &len);
  ASSERT_NE(png, nullptr);
  bytes disk = tu::read_file(out);
  EXPECT_TRUE(disk == bytes(png, png + len));
  std::free(png);
  int w, h;
  const char *err;
  uint8_t *back = kp_png_decode(out.c_str(), &w, &h, &err);
  ASSERT_NE(back, nullptr) << err;
  EXPECT_EQ(std::memcmp(back, px, 8), 0);
  std::free(back);
}
