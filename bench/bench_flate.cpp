// kp_inflate against zlib's inflate and kp_deflate against zlib level 6 on a
// TrueType font, photo-like RGB samples and random bytes. Counters: MB/s of
// uncompressed data, compressed size and ratio.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "flate.h"

namespace {

using bytes = std::vector<uint8_t>;

bytes read_file(const char *path) {
  bytes b;
  FILE *f = fopen(path, "rb");
  if (!f) return b;
  uint8_t buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) b.insert(b.end(), buf, buf + n);
  fclose(f);
  return b;
}

uint32_t lcg_next(uint64_t &s) {
  s = s * 6364136223846793005ULL + 1442695040888963407ULL;
  return static_cast<uint32_t>(s >> 33);
}

const bytes &font_data() {
  static bytes b = [] {
    const char *paths[] = {
        "/usr/share/fonts/truetype/droid/DroidSansFallbackFull.ttf",
        "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"};
    for (const char *p : paths) {
      bytes f = read_file(p);
      if (!f.empty()) return f;
    }
    return bytes();
  }();
  return b;
}

// 2048 x 2048 RGB: smooth gradients with a little noise.
const bytes &photo_data() {
  static bytes b = [] {
    const int w = 2048, h = 2048;
    bytes p(static_cast<size_t>(w) * h * 3);
    uint64_t s = 12345;
    for (int y = 0; y < h; y++)
      for (int x = 0; x < w; x++) {
        uint8_t *px = &p[(static_cast<size_t>(y) * w + x) * 3];
        int n = static_cast<int>(lcg_next(s) % 7) - 3;
        px[0] = static_cast<uint8_t>(std::min(255, std::max(0, x / 8 + n)));
        px[1] = static_cast<uint8_t>(std::min(255, std::max(0, y / 8 + n)));
        px[2] = static_cast<uint8_t>(std::min(255, std::max(0, (x + y) / 16 + 64 + n)));
      }
    return p;
  }();
  return b;
}

const bytes &random_data() {
  static bytes b = [] {
    bytes r(4u << 20);
    uint64_t s = 777;
    for (auto &x : r) x = static_cast<uint8_t>(lcg_next(s) >> 7);
    return r;
  }();
  return b;
}

const bytes &input(int which) {
  return which == 0 ? font_data() : which == 1 ? photo_data() : random_data();
}

const char *input_name(int which) {
  return which == 0 ? "font" : which == 1 ? "photo" : "random";
}

bytes zlib_compress(const bytes &in, int level) {
  uLongf n = compressBound(in.size());
  bytes out(n);
  compress2(out.data(), &n, in.data(), in.size(), level);
  out.resize(n);
  return out;
}

void set_counters(benchmark::State &st, size_t in_len, size_t z_len) {
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * in_len));
  st.counters["MB/s"] = benchmark::Counter(
      static_cast<double>(in_len) / 1e6, benchmark::Counter::kIsIterationInvariantRate);
  st.counters["in"] = static_cast<double>(in_len);
  st.counters["out"] = static_cast<double>(z_len);
  st.counters["ratio"] = in_len ? static_cast<double>(z_len) / in_len : 0;
  st.SetLabel(input_name(static_cast<int>(st.range(0))));
}

void BM_kp_inflate(benchmark::State &st) {
  const bytes &in = input(static_cast<int>(st.range(0)));
  if (in.empty()) return st.SkipWithError("no input");
  bytes z = zlib_compress(in, 6);
  bytes out(in.size());
  for (auto _ : st) {
    int r = kp_inflate(z.data() + 2, z.size() - 2, out.data(), out.size());
    if (r != static_cast<int>(in.size())) st.SkipWithError("kp_inflate failed");
    benchmark::DoNotOptimize(out.data());
  }
  set_counters(st, in.size(), z.size());
}

void BM_zlib_inflate(benchmark::State &st) {
  const bytes &in = input(static_cast<int>(st.range(0)));
  if (in.empty()) return st.SkipWithError("no input");
  bytes z = zlib_compress(in, 6);
  bytes out(in.size());
  for (auto _ : st) {
    uLongf n = out.size();
    if (uncompress(out.data(), &n, z.data(), z.size()) != Z_OK)
      st.SkipWithError("uncompress failed");
    benchmark::DoNotOptimize(out.data());
  }
  set_counters(st, in.size(), z.size());
}

void BM_kp_deflate(benchmark::State &st) {
  const bytes &in = input(static_cast<int>(st.range(0)));
  if (in.empty()) return st.SkipWithError("no input");
  size_t z_len = 0;
  for (auto _ : st) {
    uint8_t *out = nullptr;
    if (kp_deflate(in.data(), in.size(), &out, &z_len) != 0)
      st.SkipWithError("kp_deflate failed");
    benchmark::DoNotOptimize(out);
    free(out);
  }
  set_counters(st, in.size(), z_len);
}

void BM_zlib_deflate6(benchmark::State &st) {
  const bytes &in = input(static_cast<int>(st.range(0)));
  if (in.empty()) return st.SkipWithError("no input");
  bytes out(compressBound(in.size()));
  uLongf n = 0;
  for (auto _ : st) {
    n = out.size();
    compress2(out.data(), &n, in.data(), in.size(), 6);
    benchmark::DoNotOptimize(out.data());
  }
  set_counters(st, in.size(), n);
}

BENCHMARK(BM_kp_inflate)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_zlib_inflate)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_kp_deflate)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_zlib_deflate6)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
