// PNG decoding speed against libpng, both producing 8-bit RGBA, on a
// photo-like 4000x3000 RGBA image and a 4000x3000 8-bit palette image, each
// written by libpng at its default settings (adaptive filters, zlib level 6).
// Items are pixels, so items_per_second reads as pixels per second.

#include <benchmark/benchmark.h>

// libpng by its directory: plain <png.h> is this library's own header here.
#if __has_include(<libpng16/png.h>)
#include <libpng16/png.h>
#else
#include <libpng/png.h>
#endif

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "png.h"

namespace {

using bytes = std::vector<uint8_t>;

constexpr int k_width = 4000;
constexpr int k_height = 3000;

void write_cb(png_structp png, png_bytep p, size_t n) {
  bytes *out = static_cast<bytes *>(png_get_io_ptr(png));
  out->insert(out->end(), p, p + n);
}

void flush_cb(png_structp) {}

// Encodes rows of the given colour type with libpng's defaults.
bytes libpng_encode(int w, int h, int color_type, const bytes &pixels,
                    const bytes &plte = {}, const bytes &trns = {}) {
  bytes out;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    std::fprintf(stderr, "libpng encode failed\n");
    std::exit(1);
  }
  png_set_write_fn(png, &out, write_cb, flush_cb);
  png_set_IHDR(png, info, png_uint_32(w), png_uint_32(h), 8, color_type, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  std::vector<png_color> pal;
  if (!plte.empty()) {
    for (size_t i = 0; i + 2 < plte.size(); i += 3)
      pal.push_back(png_color{plte[i], plte[i + 1], plte[i + 2]});
    png_set_PLTE(png, info, pal.data(), int(pal.size()));
  }
  if (!trns.empty()) png_set_tRNS(png, info, trns.data(), int(trns.size()), nullptr);
  png_write_info(png, info);
  size_t row = pixels.size() / size_t(h);
  for (int y = 0; y < h; y++)
    png_write_row(png, pixels.data() + size_t(y) * row);
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return out;
}

// Smooth shading with edges and a little sensor-like noise: compresses
// somewhat like a photograph and drives every filter type.
const bytes &photo_png() {
  static bytes file = [] {
    bytes px(size_t(k_width) * k_height * 4);
    uint32_t seed = 12345;
    for (int y = 0; y < k_height; y++) {
      for (int x = 0; x < k_width; x++) {
        seed = seed * 1664525u + 1013904223u;
        int noise = int(seed >> 28) - 8;
        double fx = x / 400.0, fy = y / 300.0;
        double base = 128 + 60 * std::sin(fx * 1.7 + std::cos(fy * 1.3)) +
                      40 * std::cos(fy * 2.1 - fx * 0.4);
        bool edge = ((x / 250) + (y / 250)) % 5 == 0;
        auto clamp = [](double v) { return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v); };
        uint8_t *p = &px[(size_t(y) * k_width + x) * 4];
        p[0] = clamp(base + noise + (edge ? 40 : 0));
        p[1] = clamp(base * 0.8 + 20 + noise);
        p[2] = clamp(255 - base * 0.6 + noise);
        p[3] = uint8_t(x < k_width / 2 ? 255 : 255 - (x - k_width / 2) * 255 / (k_width / 2));
      }
    }
    return libpng_encode(k_width, k_height, PNG_COLOR_TYPE_RGBA, px);
  }();
  return file;
}

// A 256-colour image of flat regions, dithered bands and noise, with tRNS.
const bytes &palette_png() {
  static bytes file = [] {
    bytes idx(size_t(k_width) * k_height);
    uint32_t seed = 777;
    for (int y = 0; y < k_height; y++) {
      for (int x = 0; x < k_width; x++) {
        seed = seed * 1664525u + 1013904223u;
        int region = ((x / 300) * 7 + (y / 200) * 3) % 4;
        uint8_t v;
        if (region == 0) v = uint8_t((x / 300 + y / 200) * 11);
        else if (region == 1) v = uint8_t((x + y) / 16 + ((seed >> 31) & 1));
        else if (region == 2) v = uint8_t(seed >> 24);
        else v = uint8_t(std::sqrt(double(x) * y) / 15);
        idx[size_t(y) * k_width + x] = v;
      }
    }
    bytes plte, trns;
    for (int i = 0; i < 256; i++) {
      plte.push_back(uint8_t(i));
      plte.push_back(uint8_t(255 - i));
      plte.push_back(uint8_t(i * 7));
    }
    for (int i = 0; i < 64; i++) trns.push_back(uint8_t(i * 4));
    return libpng_encode(k_width, k_height, PNG_COLOR_TYPE_PALETTE, idx, plte, trns);
  }();
  return file;
}

struct lp_reader {
  const uint8_t *p;
  size_t n;
  size_t pos;
};

void read_cb(png_structp png, png_bytep out, size_t n) {
  lp_reader *r = static_cast<lp_reader *>(png_get_io_ptr(png));
  if (r->n - r->pos < n) png_error(png, "read past end");
  std::memcpy(out, r->p + r->pos, n);
  r->pos += n;
}

// libpng decoding to 8-bit RGBA with the conversions the decoder applies.
bool libpng_decode(const bytes &file, bytes &out) {
  lp_reader rd{file.data(), file.size(), 0};
  std::vector<png_bytep> rows;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    return false;
  }
  png_set_read_fn(png, &rd, read_cb);
  png_read_info(png, info);
  int ct = png_get_color_type(png, info);
  if (ct == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
  if (ct == PNG_COLOR_TYPE_PALETTE && png_get_valid(png, info, PNG_INFO_tRNS))
    png_set_tRNS_to_alpha(png);
  png_set_filler(png, 0xFF, PNG_FILLER_AFTER);
  png_read_update_info(png, info);
  size_t w = png_get_image_width(png, info), h = png_get_image_height(png, info);
  out.resize(w * h * 4);
  rows.resize(h);
  for (size_t y = 0; y < h; y++) rows[y] = out.data() + y * w * 4;
  png_read_image(png, rows.data());
  png_destroy_read_struct(&png, &info, nullptr);
  return true;
}

void run_kp(benchmark::State &state, const bytes &file) {
  for (auto _ : state) {
    int w = 0, h = 0;
    const char *err = nullptr;
    uint8_t *p = kp_png_decode_mem(file.data(), file.size(), &w, &h, &err);
    if (!p) {
      state.SkipWithError(err);
      break;
    }
    benchmark::DoNotOptimize(p);
    std::free(p);
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * k_width * k_height);
  state.counters["file_MB"] = double(file.size()) / 1e6;
}

// Each decode fills a fresh buffer, as the decoder under test returns a
// newly allocated image; reusing one warm buffer would spare libpng the page
// faults of a new 48 MB allocation.
void run_libpng(benchmark::State &state, const bytes &file) {
  for (auto _ : state) {
    bytes out;
    if (!libpng_decode(file, out)) {
      state.SkipWithError("libpng failed");
      break;
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * k_width * k_height);
  state.counters["file_MB"] = double(file.size()) / 1e6;
}

void BM_kp_decode_rgba(benchmark::State &s) { run_kp(s, photo_png()); }
void BM_libpng_decode_rgba(benchmark::State &s) { run_libpng(s, photo_png()); }
void BM_kp_decode_palette(benchmark::State &s) { run_kp(s, palette_png()); }
void BM_libpng_decode_palette(benchmark::State &s) { run_libpng(s, palette_png()); }

// Both decoders must agree before their speed means anything.
void BM_check_agreement(benchmark::State &state) {
  for (auto _ : state) {
    for (const bytes *f : {&photo_png(), &palette_png()}) {
      int w = 0, h = 0;
      const char *err = nullptr;
      uint8_t *p = kp_png_decode_mem(f->data(), f->size(), &w, &h, &err);
      bytes ref;
      bool same = p && libpng_decode(*f, ref) && ref.size() == size_t(w) * h * 4 &&
                  std::memcmp(ref.data(), p, ref.size()) == 0;
      std::free(p);
      if (!same) {
        state.SkipWithError("kp and libpng disagree");
        return;
      }
    }
  }
}

}  // namespace

BENCHMARK(BM_check_agreement)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_kp_decode_rgba)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_libpng_decode_rgba)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_kp_decode_palette)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_libpng_decode_palette)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
