// The Deflate codec against zlib and against the plain models in
// test_flate_reference.h: round trips, zlib's streams of every level and
// strategy, crafted and damaged streams, the compressor's matching rules.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdlib>
#include <dirent.h>
#include <string>
#include <vector>

#include "flate.h"
#include "test_flate_reference.h"
#include "test_util.h"

namespace {

using bytes = std::vector<uint8_t>;

// Deterministic generator (64-bit LCG, high bits).
struct lcg {
  uint64_t s;
  explicit lcg(uint64_t seed) : s(seed * 2862933555777941757ULL + 1) {}
  uint32_t next() {
    s = s * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<uint32_t>(s >> 33);
  }
};

bytes random_bytes(size_t n, uint64_t seed, unsigned alphabet = 256) {
  lcg g(seed);
  bytes b(n);
  for (auto &x : b) x = static_cast<uint8_t>(g.next() % alphabet);
  return b;
}

bytes text_bytes(size_t n, uint64_t seed) {
  static const char *words[] = {"the ", "watermark ", "page ", "stream ",
                                "obj ", "endobj\n", "/Type ", "/Font ",
                                "<< ", ">> ", "0 R ", "BT ", "ET\n", "q ",
                                "Q\n", "1 0 0 1 ", "Tf ", "Tj "};
  lcg g(seed);
  bytes b;
  while (b.size() < n) {
    const char *w = words[g.next() % (sizeof words / sizeof *words)];
    b.insert(b.end(), w, w + strlen(w));
  }
  b.resize(n);
  return b;
}

// Smooth gradient with a little noise, like photo samples.
bytes photo_bytes(size_t n, uint64_t seed) {
  lcg g(seed);
  bytes b(n);
  for (size_t i = 0; i < n; i++)
    b[i] = static_cast<uint8_t>((i / 3 % 640) / 3 + (i / 1920) % 64 +
                                g.next() % 5);
  return b;
}

bytes zlib_uncompress(const bytes &z, size_t expect_len, int *rc) {
  bytes out(expect_len + 1);
  uLongf out_len = out.size();
  *rc = uncompress(out.data(), &out_len, z.data(), z.size());
  out.resize(out_len);
  return out;
}

bytes kp_compress(const bytes &in) {
  uint8_t *out = nullptr;
  size_t out_len = 0;
  EXPECT_EQ(kp_deflate(in.data(), in.size(), &out, &out_len), 0);
  bytes r(out, out + out_len);
  free(out);
  return r;
}

// zlib raw Deflate (windowBits -15) at a level and strategy.
bytes zlib_raw(const bytes &in, int level, int strategy, int mem = 8) {
  z_stream z;
  memset(&z, 0, sizeof z);
  EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, -15, mem, strategy), Z_OK);
  bytes out(deflateBound(&z, in.size()) + 16);
  z.next_in = const_cast<uint8_t *>(in.data());
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

// zlib's raw inflate with an output cap: the bytes, or false when zlib does
// not reach the end of the stream within the cap and the input.
bool zlib_raw_inflate(const bytes &in, size_t cap, bytes *out) {
  z_stream z;
  memset(&z, 0, sizeof z);
  if (inflateInit2(&z, -15) != Z_OK) return false;
  out->assign(cap + 1, 0);
  z.next_in = const_cast<uint8_t *>(in.data());
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = out->data();
  z.avail_out = static_cast<uInt>(cap);
  int rc = inflate(&z, Z_FINISH);
  out->resize(z.total_out);
  inflateEnd(&z);
  return rc == Z_STREAM_END;
}

int kp_inflate_vec(const bytes &in, size_t cap, bytes *out) {
  out->assign(cap, 0xAA);
  // An exact-size heap copy of the input so that ASan sees any over-read.
  uint8_t *src = static_cast<uint8_t *>(malloc(in.size() ? in.size() : 1));
  if (!in.empty()) memcpy(src, in.data(), in.size());
  int r = kp_inflate(src, in.size(), out->data(), cap);
  free(src);
  // Whole output, or (-2) the first cap bytes of it.
  if (r >= 0) out->resize(static_cast<size_t>(r));
  else if (r == -1) out->clear();
  return r;
}

// Least-significant-first bit writer for crafting streams.
struct bit_writer {
  bytes data;
  uint32_t buf = 0;
  int cnt = 0;
  bit_writer &bits(unsigned v, int n) {
    for (int i = 0; i < n; i++) {
      buf |= ((v >> i) & 1u) << cnt;
      if (++cnt == 8) {
        data.push_back(static_cast<uint8_t>(buf));
        buf = 0;
        cnt = 0;
      }
    }
    return *this;
  }
  // A Huffman code of n bits, most significant bit first.
  bit_writer &code(unsigned c, int n) {
    for (int i = n - 1; i >= 0; i--) bits((c >> i) & 1u, 1);
    return *this;
  }
  bytes done() {
    bytes d = data;
    if (cnt) d.push_back(static_cast<uint8_t>(buf));
    return d;
  }
  // Fixed-code helpers (RFC 1951 3.2.6).
  bit_writer &fixed_lit(unsigned sym) {
    if (sym < 144) return code(0x30 + sym, 8);
    if (sym < 256) return code(0x190 + sym - 144, 9);
    if (sym < 280) return code(sym - 256, 7);
    return code(0xC0 + sym - 280, 8);
  }
};

// ---- tokens of a kp_deflate stream, for checking the matcher ----

struct token {
  int block;
  int pos;  // position in the block
  int len;  // 0 for a literal
  int dist;
};

std::vector<token> tokens_of(const bytes &z) {
  std::vector<token> out;
  ref::reader r = {z.data() + 2, 0, z.size() - 2, 0, 0, 0};
  for (int block = 0;; block++) {
    int hdr = ref::bits(r, 3);
    EXPECT_EQ(hdr >> 1, 2);
    int nlen = ref::bits(r, 5) + 257, ndist = ref::bits(r, 5) + 1,
        ncode = ref::bits(r, 4) + 4;
    int cl[19] = {0};
    for (int i = 0; i < ncode; i++) cl[d_bl_order[i]] = ref::bits(r, 3);
    ref::table ct, lt, dt;
    ref::build(r, ct, cl, 19);
    int lens[320], i = 0;
    while (i < nlen + ndist) {
      int sym = ref::decode(r, ct);
      if (sym < 16) {
        lens[i++] = sym;
        continue;
      }
      int v = sym == 16 ? lens[i - 1] : 0;
      int rep = sym == 16 ? 3 + ref::bits(r, 2)
                : sym == 17 ? 3 + ref::bits(r, 3)
                            : 11 + ref::bits(r, 7);
      while (rep--) lens[i++] = v;
    }
    ref::build(r, lt, lens, nlen);
    ref::build(r, dt, lens + nlen, ndist);
    int pos = 0;
    for (;;) {
      int sym = ref::decode(r, lt);
      if (r.err || sym == 256) break;
      if (sym < 256) {
        out.push_back({block, pos++, 0, sym});
        continue;
      }
      int li = sym - 257;
      int length = d_len_base[li] + ref::bits(r, d_len_extra[li]);
      int ds = ref::decode(r, dt);
      int dist = d_dist_base[ds] + ref::bits(r, d_dist_extra[ds]);
      out.push_back({block, pos, length, dist});
      pos += length;
    }
    EXPECT_EQ(r.err, 0);
    if ((hdr & 1) || r.err) break;
  }
  return out;
}

// ---- Adler-32 ----

TEST(Adler32, MatchesZlib) {
  for (size_t n : {0, 1, 7, 8, 5551, 5552, 5553, 11104, 100000, 1 << 20}) {
    SCOPED_TRACE(n);
    bytes ff(n, 0xFF);
    bytes rnd = random_bytes(n, n);
    EXPECT_EQ(kp_adler32(ff.data(), n), adler32(1, ff.data(), static_cast<uInt>(n)));
    EXPECT_EQ(kp_adler32(rnd.data(), n), adler32(1, rnd.data(), static_cast<uInt>(n)));
  }
}

// ---- Deflate ----

struct named_input {
  std::string name;
  bytes data;
};

std::vector<named_input> deflate_inputs() {
  std::vector<named_input> v;
  v.push_back({"empty", {}});
  v.push_back({"one byte", {0x41}});
  v.push_back({"two bytes", {0, 0}});
  v.push_back({"zeros 65535", bytes(65535, 0)});
  v.push_back({"zeros 65536", bytes(65536, 0)});
  v.push_back({"zeros 65537", bytes(65537, 0)});
  v.push_back({"random 65537", random_bytes(65537, 1)});
  v.push_back({"random 1 MiB + 3", random_bytes((1 << 20) + 3, 2)});
  v.push_back({"text 1 MiB + 100", text_bytes((1 << 20) + 100, 3)});
  v.push_back({"photo 300000", photo_bytes(300000, 4)});
  v.push_back({"small alphabet 200000", random_bytes(200000, 5, 4)});
  v.push_back({"binary alphabet 70000", random_bytes(70000, 6, 2)});
  bytes runs;
  lcg g(7);
  while (runs.size() < 150000)
    runs.insert(runs.end(), g.next() % 600 + 1, static_cast<uint8_t>(g.next()));
  v.push_back({"runs", runs});
  // Fibonacci-like frequencies: the unlimited Huffman tree is deeper than
  // 15 levels, so the length limiting runs.
  bytes fib;
  uint32_t a = 1, b = 1;
  for (int sym = 0; sym < 25; sym++) {
    for (uint32_t k = 0; k < a && fib.size() < 65536; k++)
      fib.push_back(static_cast<uint8_t>(sym * 7));
    uint32_t c = a + b;
    a = b;
    b = c;
  }
  lcg g2(8);
  for (size_t i = fib.size() - 1; i > 0; i--)  // shuffle against matches
    std::swap(fib[i], fib[g2.next() % (i + 1)]);
  v.push_back({"fibonacci frequencies", fib});
  return v;
}

void check_deflate(const std::string &name, const bytes &in) {
  SCOPED_TRACE(name);
  bytes z = kp_compress(in);
  ASSERT_GE(z.size(), 6u);
  EXPECT_EQ(z[0], 0x78);
  EXPECT_EQ(z[1], 0x01);
  int rc;
  bytes back = zlib_uncompress(z, in.size(), &rc);
  EXPECT_EQ(rc, Z_OK);
  EXPECT_TRUE(back == in);
  uint32_t ad = static_cast<uint32_t>(adler32(1, in.data(), static_cast<uInt>(in.size())));
  size_t n = z.size();
  EXPECT_EQ((uint32_t(z[n - 4]) << 24) | (uint32_t(z[n - 3]) << 16) |
                (uint32_t(z[n - 2]) << 8) | z[n - 1],
            ad);
  bytes ours;
  bytes body(z.begin() + 2, z.end());
  EXPECT_EQ(kp_inflate_vec(body, in.size(), &ours), static_cast<int>(in.size()));
  EXPECT_TRUE(ours == in);
  // The same bytes as the plain model of the algorithm.
  EXPECT_TRUE(z == ref::deflate(in.data(), in.size()));
}

TEST(Deflate, RoundTripsThroughZlibAndMatchesModel) {
  for (const auto &c : deflate_inputs()) check_deflate(c.name, c.data);
}

TEST(Deflate, RoundTripsCorpusFiles) {
  int done = 0;
  for (const char *sub : {"pdf", "png/pngsuite"}) {
    std::string dir = tu::corpus(sub);
    DIR *d = opendir(dir.c_str());
    ASSERT_NE(d, nullptr) << dir;
    std::vector<std::string> names;
    while (dirent *e = readdir(d))
      if (e->d_name[0] != '.' && e->d_type == DT_REG) names.push_back(e->d_name);
    closedir(d);
    std::sort(names.begin(), names.end());
    // Every third file keeps the run short.
    for (size_t i = 0; i < names.size(); i += 3) {
      bytes f = tu::read_file(dir + "/" + names[i]);
      check_deflate(names[i], f);
      done++;
    }
  }
  EXPECT_GE(done, 17 + 59);
}

TEST(Deflate, EmptyInputIsEighteenBytes) {
  bytes z = kp_compress({});
  ASSERT_EQ(z.size(), 18u);
  EXPECT_EQ(z[0], 0x78);
  EXPECT_EQ(z[1], 0x01);
  EXPECT_EQ(z[14], 0);
  EXPECT_EQ(z[15], 0);
  EXPECT_EQ(z[16], 0);
  EXPECT_EQ(z[17], 1);
  // Final dynamic block: HLIT 0, HDIST 1; literal code {0, 256}, distance
  // code {0, 1}, all 1 bit.
  ref::reader r = {z.data() + 2, 0, 12, 0, 0, 0};
  EXPECT_EQ(ref::bits(r, 3), 5);  // BFINAL 1, BTYPE 2
  EXPECT_EQ(ref::bits(r, 5), 0);
  EXPECT_EQ(ref::bits(r, 5), 1);
  bytes out;
  EXPECT_EQ(kp_inflate_vec(bytes(z.begin() + 2, z.end()), 0, &out), 0);
}

TEST(Deflate, NullEmptyInput) {
  uint8_t *out = nullptr;
  size_t out_len = 0;
  ASSERT_EQ(kp_deflate(nullptr, 0, &out, &out_len), 0);
  EXPECT_EQ(out_len, 18u);
  free(out);
}

TEST(Deflate, RunOf300IsTwoLiteralsThen258Then40) {
  std::vector<token> t = tokens_of(kp_compress(bytes(300, 'x')));
  ASSERT_EQ(t.size(), 4u);
  EXPECT_EQ(t[0].len, 0);
  EXPECT_EQ(t[1].len, 0);
  EXPECT_EQ(t[2].len, 258);
  EXPECT_EQ(t[2].dist, 1);
  EXPECT_EQ(t[3].len, 40);
  EXPECT_EQ(t[3].dist, 1);
}

TEST(Deflate, NoMatchReachesIntoAnEarlierBlock) {
  // The second block repeats the first exactly.
  bytes half = random_bytes(65536, 11);
  bytes in = half;
  in.insert(in.end(), half.begin(), half.end());
  std::vector<token> t = tokens_of(kp_compress(in));
  int first_of_block2 = -1;
  for (size_t i = 0; i < t.size(); i++) {
    if (t[i].len) {
      EXPECT_LE(t[i].dist, t[i].pos) << "token " << i;
    }
    if (t[i].block == 1 && first_of_block2 < 0) first_of_block2 = static_cast<int>(i);
  }
  ASSERT_GE(first_of_block2, 0);
  EXPECT_EQ(t[first_of_block2].len, 0);
  EXPECT_EQ(t[first_of_block2 + 1].len, 0);
  // 65537 bytes: two blocks, the second holding one literal.
  std::vector<token> t2 = tokens_of(kp_compress(bytes(65537, 'z')));
  ASSERT_FALSE(t2.empty());
  EXPECT_EQ(t2.back().block, 1);
  EXPECT_EQ(t2.back().len, 0);
  EXPECT_EQ(t2[t2.size() - 2].block, 0);
}

TEST(Deflate, DistanceLimitIs32767) {
  for (int gap : {32767, 32768}) {
    SCOPED_TRACE(gap);
    // Background bytes below 128, the pattern above 200: the pattern can
    // only match its own earlier copy.
    bytes in = random_bytes(40000, 12, 128);
    const uint8_t pat[8] = {201, 202, 203, 204, 205, 206, 207, 208};
    memcpy(&in[1], pat, 8);
    memcpy(&in[1 + gap], pat, 8);
    std::vector<token> t = tokens_of(kp_compress(in));
    bool found = false;
    for (const token &k : t) {
      EXPECT_LE(k.dist, k.len ? 32767 : 255);
      if (k.pos == 1 + gap) {
        found = true;
        if (gap == 32767) {
          EXPECT_EQ(k.dist, 32767);
          EXPECT_GE(k.len, 8);
        } else {
          EXPECT_EQ(k.len, 0);
        }
      }
    }
    EXPECT_TRUE(found);
  }
}

TEST(Deflate, NoRepeatsGiveTwoSymbolDistanceCode) {
  bytes in;
  for (int i = 0; i < 256; i++) in.push_back(static_cast<uint8_t>(i));
  bytes z = kp_compress(in);
  ref::reader r = {z.data() + 2, 0, z.size() - 2, 0, 0, 0};
  ref::bits(r, 3);
  ref::bits(r, 5);
  EXPECT_EQ(ref::bits(r, 5), 1);  // HDIST 1: distance symbols 0 and 1
}

TEST(Deflate, OutputIsDeterministicAcrossCalls) {
  bytes in = text_bytes(200000, 21);
  EXPECT_TRUE(kp_compress(in) == kp_compress(in));
}

TEST(Deflate, RandomSmallInputsMatchModel) {
  lcg g(99);
  for (int i = 0; i < 300; i++) {
    size_t n = g.next() % 3000;
    unsigned alpha = 1 + g.next() % 256;
    bytes in = random_bytes(n, 1000 + i, alpha);
    SCOPED_TRACE(i);
    bytes z = kp_compress(in);
    ASSERT_TRUE(z == ref::deflate(in.data(), in.size()));
    int rc;
    ASSERT_TRUE(zlib_uncompress(z, n, &rc) == in);
  }
}

// ---- Inflate: zlib's streams ----

TEST(Inflate, DecodesEveryZlibLevelAndStrategy) {
  std::vector<named_input> inputs = {
      {"empty", {}},
      {"one", {7}},
      {"text", text_bytes(300000, 31)},
      {"random", random_bytes(100000, 32)},
      {"photo", photo_bytes(200000, 33)},
      {"runs", bytes(100000, 'r')},
      {"small alphabet", random_bytes(100000, 34, 3)},
  };
  const int strategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY,
                            Z_RLE, Z_FIXED};
  for (const auto &in : inputs) {
    for (int level = 0; level <= 9; level++) {
      for (int s : strategies) {
        SCOPED_TRACE(in.name + " level " + std::to_string(level) +
                     " strategy " + std::to_string(s));
        bytes z = zlib_raw(in.data, level, s);
        bytes out;
        ASSERT_EQ(kp_inflate_vec(z, in.data.size(), &out),
                  static_cast<int>(in.data.size()));
        ASSERT_TRUE(out == in.data);
      }
    }
  }
  // A tiny memLevel makes many small blocks.
  bytes text = text_bytes(200000, 35);
  bytes z = zlib_raw(text, 9, Z_DEFAULT_STRATEGY, 1);
  bytes out;
  EXPECT_EQ(kp_inflate_vec(z, text.size(), &out), static_cast<int>(text.size()));
  EXPECT_TRUE(out == text);
}

// Stored blocks right after Huffman blocks (sync flushes, level 0 pieces)
// make the decoder give back the bytes it had read ahead.
TEST(Inflate, DecodesMixedStoredAndHuffmanBlocks) {
  bytes in = text_bytes(120000, 36);
  z_stream z;
  memset(&z, 0, sizeof z);
  ASSERT_EQ(deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
  bytes out(deflateBound(&z, in.size()) + 4096);
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  size_t at = 0;
  for (int piece = 0; at < in.size(); piece++) {
    size_t n = std::min<size_t>(in.size() - at, 997 + 1000 * (piece % 7));
    if (piece % 3 == 0) deflateParams(&z, piece % 2 ? 0 : 1, Z_DEFAULT_STRATEGY);
    z.next_in = in.data() + at;
    z.avail_in = static_cast<uInt>(n);
    at += n;
    ASSERT_NE(deflate(&z, at == in.size() ? Z_FINISH : (piece % 2 ? Z_SYNC_FLUSH : Z_FULL_FLUSH)),
              Z_STREAM_ERROR);
  }
  out.resize(z.total_out);
  deflateEnd(&z);
  bytes dec;
  ASSERT_EQ(kp_inflate_vec(out, in.size(), &dec), static_cast<int>(in.size()));
  EXPECT_TRUE(dec == in);
}

TEST(Inflate, DecodesLargeTrueTypeFontFromZlib) {
  const char *path = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf";
  bytes f = tu::read_file(path);
  REQUIRE_PRESENT(!f.empty(), "font " << path << " (fonts-dejavu-core)");
  for (int level : {1, 6, 9}) {
    bytes z = zlib_raw(f, level, Z_DEFAULT_STRATEGY);
    bytes out;
    EXPECT_EQ(kp_inflate_vec(z, f.size(), &out), static_cast<int>(f.size()));
    EXPECT_TRUE(out == f);
  }
}

// ---- Inflate: crafted streams ----

struct inflate_case {
  const char *name;
  bytes stream;
  size_t cap;
  int expect;        // result
  bytes expect_out;  // checked unless expect is -1 (-2: the first cap bytes)
};

bytes stored(std::initializer_list<uint8_t> data, bool final = true) {
  bytes s = {static_cast<uint8_t>(final ? 1 : 0)};
  uint16_t n = static_cast<uint16_t>(data.size());
  s.push_back(static_cast<uint8_t>(n));
  s.push_back(static_cast<uint8_t>(n >> 8));
  s.push_back(static_cast<uint8_t>(~n));
  s.push_back(static_cast<uint8_t>(~n >> 8));
  s.insert(s.end(), data);
  return s;
}

// A fixed block: literals, then an optional match, then end of block.
bytes fixed_block(const bytes &lits, int match_len_sym = 0, unsigned len_extra = 0,
                  int len_extra_bits = 0, int dist_sym = 0,
                  unsigned dist_extra = 0, int dist_extra_bits = 0,
                  bool final = true) {
  bit_writer w;
  w.bits(final ? 1 : 0, 1).bits(1, 2);
  for (uint8_t b : lits) w.fixed_lit(b);
  if (match_len_sym) {
    w.fixed_lit(static_cast<unsigned>(match_len_sym));
    w.bits(len_extra, len_extra_bits);
    w.code(static_cast<unsigned>(dist_sym), 5);
    w.bits(dist_extra, dist_extra_bits);
  }
  w.fixed_lit(256);
  return w.done();
}

// A dynamic block with literal/length lengths `ll` (HLIT+257 entries) and
// distance lengths `dl`, all sent as plain code-length symbols with a
// 4-bit code-length code; `body` writes the symbols.
template <class Body>
bytes dynamic_block(const std::vector<int> &ll, const std::vector<int> &dl,
                    Body body) {
  bit_writer w;
  w.bits(1, 1).bits(2, 2);
  w.bits(static_cast<unsigned>(ll.size() - 257), 5);
  w.bits(static_cast<unsigned>(dl.size() - 1), 5);
  w.bits(15, 4);  // all 19 code-length lengths
  // Code-length code: symbols 0-15 with 4 bits each (complete), 16-18 none.
  for (int i = 0; i < 19; i++) w.bits(d_bl_order[i] < 16 ? 4 : 0, 3);
  for (int l : ll) w.code(static_cast<unsigned>(l), 4);
  for (int l : dl) w.code(static_cast<unsigned>(l), 4);
  body(w);
  return w.done();
}

// Canonical codes for a length list (MSB-first values).
std::vector<unsigned> canonical(const std::vector<int> &lens) {
  int count[16] = {0};
  for (int l : lens) count[l]++;
  count[0] = 0;
  unsigned next[16] = {0};
  for (int b = 2; b < 16; b++) next[b] = 2 * (next[b - 1] + count[b - 1]);
  std::vector<unsigned> codes(lens.size());
  for (size_t s = 0; s < lens.size(); s++)
    if (lens[s]) codes[s] = next[lens[s]]++;
  return codes;
}

std::vector<inflate_case> inflate_cases() {
  std::vector<inflate_case> v;
  v.push_back({"empty input", {}, 16, -1, {}});
  v.push_back({"final empty stored block", {0x01, 0x00, 0x00, 0xFF, 0xFF}, 0, 0, {}});
  v.push_back({"stored, trailing bytes ignored",
               [] { bytes s = stored({1, 2, 3}); s.insert(s.end(), {9, 9, 9, 9}); return s; }(),
               3, 3, {1, 2, 3}});
  v.push_back({"stored exact cap", stored({1, 2, 3}), 3, 3, {1, 2, 3}});
  v.push_back({"stored cap one short", stored({1, 2, 3}), 2, -2, {1, 2}});
  v.push_back({"stored wrong NLEN", {0x01, 0x03, 0x00, 0xFC, 0xFE, 1, 2, 3}, 8, -1, {}});
  v.push_back({"stored LEN past input", {0x01, 0x04, 0x00, 0xFB, 0xFF, 1, 2, 3}, 8, -1, {}});
  v.push_back({"stored header cut", {0x01, 0x03, 0x00, 0xFC}, 8, -1, {}});
  v.push_back({"last block not final", stored({1}, false), 8, -1, {}});
  v.push_back({"BTYPE 3", {0x07, 0, 0, 0}, 8, -1, {}});
  v.push_back({"fixed literals", fixed_block({'a', 'b', 'c'}), 3, 3, {'a', 'b', 'c'}});
  v.push_back({"fixed literals cap one short", fixed_block({'a', 'b', 'c'}), 2, -2,
               {'a', 'b'}});
  // Symbol 285 = 258 at distance 1.
  bytes run259(259, 'q');
  v.push_back({"258 at distance 1", fixed_block({'q'}, 285, 0, 0, 0), 259, 259, run259});
  v.push_back({"258 at distance 1, cap one short", fixed_block({'q'}, 285, 0, 0, 0), 258, -2,
               bytes(258, 'q')});
  v.push_back({"258 at distance 1, room for 5", fixed_block({'q'}, 285, 0, 0, 0), 5, -2,
               bytes(5, 'q')});
  v.push_back({"distance before start", fixed_block({'q'}, 257, 0, 0, 1), 64, -1, {}});
  v.push_back({"distance reaching start", fixed_block({'a', 'b'}, 257, 0, 0, 1), 64, 5,
               {'a', 'b', 'a', 'b', 'a'}});
  v.push_back({"length symbol 286", fixed_block({'q'}, 286, 0, 0, 0), 64, -1, {}});
  v.push_back({"length symbol 287", fixed_block({'q'}, 287, 0, 0, 0), 64, -1, {}});
  v.push_back({"distance symbol 30", fixed_block({'q'}, 257, 0, 0, 30), 64, -1, {}});
  v.push_back({"distance symbol 31", fixed_block({'q'}, 257, 0, 0, 31), 64, -1, {}});
  // A match into the bytes of an earlier (stored) block.
  {
    bytes s = stored({'x', 'y', 'z'}, false);
    bytes f = fixed_block({}, 257, 0, 0, 2);  // length 3 at distance 3
    s.insert(s.end(), f.begin(), f.end());
    v.push_back({"match into earlier block", s, 6, 6, {'x', 'y', 'z', 'x', 'y', 'z'}});
  }
  // Dynamic blocks. Literal/length code: 'a' and 256 and 257 with 2 bits,
  // 'b' 2 bits (complete).
  std::vector<int> ll(258, 0);
  ll['a'] = 2;
  ll['b'] = 2;
  ll[256] = 2;
  ll[257] = 2;
  std::vector<unsigned> lc = canonical(ll);
  {
    std::vector<int> dl(1, 0);  // no distance codes at all
    v.push_back({"no distance codes, literals only",
                 dynamic_block(ll, dl, [&](bit_writer &w) {
                   w.code(lc['a'], 2).code(lc['b'], 2).code(lc[256], 2);
                 }),
                 8, 2, {'a', 'b'}});
    v.push_back({"no distance codes, a match",
                 dynamic_block(ll, dl, [&](bit_writer &w) {
                   w.code(lc['a'], 2).code(lc[257], 2).code(0, 15).code(lc[256], 2);
                 }),
                 8, -1, {}});
  }
  {
    std::vector<int> dl(1, 1);  // one distance code of one bit: incomplete
    v.push_back({"single one-bit distance code",
                 dynamic_block(ll, dl, [&](bit_writer &w) {
                   w.code(lc['a'], 2).code(lc[257], 2).code(0, 1).code(lc[256], 2);
                 }),
                 8, 4, {'a', 'a', 'a', 'a'}});
    v.push_back({"unassigned distance pattern",
                 dynamic_block(ll, dl, [&](bit_writer &w) {
                   w.code(lc['a'], 2).code(lc[257], 2).code(0x7FFF, 15).code(lc[256], 2);
                 }),
                 8, -1, {}});
  }
  {
    // Incomplete literal/length code: only 'a' (1 bit) and 256 (2 bits);
    // pattern 11... matches nothing.
    std::vector<int> l2(257, 0);
    l2['a'] = 1;
    l2[256] = 2;
    std::vector<int> dl(1, 0);
    v.push_back({"incomplete literal code accepted",
                 dynamic_block(l2, dl, [&](bit_writer &w) {
                   w.code(0, 1).code(2, 2);
                 }),
                 8, 1, {'a'}});
    v.push_back({"15 bits matching no code",
                 dynamic_block(l2, dl, [&](bit_writer &w) {
                   w.code(0, 1).code(0x7FFF, 15).code(2, 2);
                 }),
                 8, -1, {}});
  }
  {
    // Three codes of length 1: over-subscribed literal/length code.
    std::vector<int> l3(257, 0);
    l3['a'] = 1;
    l3['b'] = 1;
    l3[256] = 1;
    v.push_back({"over-subscribed literal code",
                 dynamic_block(l3, std::vector<int>(1, 0), [&](bit_writer &w) {
                   w.code(0, 1).code(0, 8);
                 }),
                 8, -1, {}});
  }
  // Header-level failures, written by hand.
  {
    bit_writer w;  // HLIT 30 -> 287 codes
    w.bits(1, 1).bits(2, 2).bits(30, 5).bits(0, 5).bits(0, 4).bits(0, 32);
    v.push_back({"287 literal/length codes", w.done(), 8, -1, {}});
  }
  {
    bit_writer w;  // HDIST 30 -> 31 codes
    w.bits(1, 1).bits(2, 2).bits(0, 5).bits(30, 5).bits(0, 4).bits(0, 32);
    v.push_back({"31 distance codes", w.done(), 8, -1, {}});
  }
  {
    // Code-length code: 3 codes of length 1 (over-subscribed).
    bit_writer w;
    w.bits(1, 1).bits(2, 2).bits(0, 5).bits(0, 5).bits(0, 4);
    w.bits(1, 3).bits(1, 3).bits(1, 3).bits(0, 3).bits(0, 32);
    v.push_back({"over-subscribed code-length code", w.done(), 8, -1, {}});
  }
  {
    // Code-length code: 16 and 0 with 1 bit; first symbol 16.
    bit_writer w;
    w.bits(1, 1).bits(2, 2).bits(0, 5).bits(0, 5).bits(0, 4);
    w.bits(1, 3).bits(0, 3).bits(0, 3).bits(1, 3);  // 16:1, 17:0, 18:0, 0:1
    w.code(1, 1).bits(0, 2).bits(0, 32);  // symbol 16 first
    v.push_back({"repeat as first length", w.done(), 8, -1, {}});
  }
  {
    // 17 and 18 with 1 bit; 18 with 138 zeros twice, then 17 with 10 zeros:
    // 286 > 258 lengths declared.
    bit_writer w;
    w.bits(1, 1).bits(2, 2).bits(0, 5).bits(0, 5).bits(0, 4);
    w.bits(0, 3).bits(1, 3).bits(1, 3).bits(0, 3);
    w.code(1, 1).bits(127, 7).code(1, 1).bits(127, 7).bits(0, 32);
    v.push_back({"repeat past the declared lengths", w.done(), 8, -1, {}});
  }
  return v;
}

TEST(Inflate, CraftedStreams) {
  for (const auto &c : inflate_cases()) {
    SCOPED_TRACE(c.name);
    bytes out;
    int r = kp_inflate_vec(c.stream, c.cap, &out);
    EXPECT_EQ(r, c.expect);
    if (c.expect != -1) {
      EXPECT_TRUE(out == c.expect_out);
    }
    bytes refout(c.cap + 1);
    EXPECT_EQ(ref::inflate(c.stream.data(), c.stream.size(), refout.data(), c.cap), c.expect);
  }
}

TEST(Inflate, NullBuffersWithZeroSizes) {
  EXPECT_EQ(kp_inflate(nullptr, 0, nullptr, 0), -1);
  const uint8_t empty_final[] = {0x01, 0x00, 0x00, 0xFF, 0xFF};
  EXPECT_EQ(kp_inflate(empty_final, 5, nullptr, 0), 0);
}

// ---- Inflate: damaged streams ----

TEST(Inflate, EveryTruncationFails) {
  for (int level : {0, 1, 6, 9}) {
    for (int strat : {Z_DEFAULT_STRATEGY, Z_FIXED, Z_HUFFMAN_ONLY}) {
      bytes in = text_bytes(3000, 41);
      bytes z = zlib_raw(in, level, strat);
      for (size_t n = 0; n < z.size(); n++) {
        bytes cut(z.begin(), z.begin() + static_cast<long>(n));
        bytes out;
        ASSERT_EQ(kp_inflate_vec(cut, in.size(), &out), -1)
            << "level " << level << " strategy " << strat << " cut at " << n;
      }
      bytes out;
      EXPECT_EQ(kp_inflate_vec(z, in.size(), &out), static_cast<int>(in.size()));
      EXPECT_EQ(kp_inflate_vec(z, in.size() - 1, &out), -2);
    }
  }
}

// Each bit flip: the result equals the plain model's (bytes, -1 or -2), and
// whatever zlib decodes completely we decode to the same bytes.
TEST(Inflate, BitFlipsAgreeWithModelAndZlib) {
  bytes in = text_bytes(2000, 51);
  for (int strat : {Z_DEFAULT_STRATEGY, Z_FIXED}) {
    bytes z = zlib_raw(in, 6, strat);
    for (size_t bit = 0; bit < z.size() * 8; bit++) {
      bytes d = z;
      d[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
      size_t cap = in.size() + 64;
      bytes ours, theirs, model(cap + 1);
      int r = kp_inflate_vec(d, cap, &ours);
      int m = ref::inflate(d.data(), d.size(), model.data(), cap);
      ASSERT_EQ(r, m) << "bit " << bit;
      if (r != -1) {
        model.resize(r >= 0 ? static_cast<size_t>(m) : cap);
        ASSERT_TRUE(ours == model) << "bit " << bit;
      }
      if (zlib_raw_inflate(d, cap, &theirs)) {
        ASSERT_EQ(r, static_cast<int>(theirs.size())) << "bit " << bit;
        ASSERT_TRUE(ours == theirs) << "bit " << bit;
      }
    }
  }
}

// Random garbage and random mutations, against the plain model.
TEST(Inflate, RandomStreamsAgreeWithModel) {
  lcg g(61);
  bytes base = zlib_raw(text_bytes(5000, 62), 9, Z_DEFAULT_STRATEGY);
  for (int i = 0; i < 3000; i++) {
    bytes d;
    if (i % 2) {
      d = random_bytes(g.next() % 200, 7000 + i);
      if (!d.empty()) d[0] = static_cast<uint8_t>((d[0] & ~6u) | ((g.next() % 2 + 1) << 1));
    } else {
      d = base;
      int edits = 1 + static_cast<int>(g.next() % 4);
      for (int e = 0; e < edits; e++) d[g.next() % d.size()] = static_cast<uint8_t>(g.next());
    }
    size_t cap = g.next() % 6000;
    bytes ours, model(cap + 1);
    int r = kp_inflate_vec(d, cap, &ours);
    int m = ref::inflate(d.data(), d.size(), model.data(), cap);
    ASSERT_EQ(r, m) << "case " << i;
    if (r != -1) {
      model.resize(r >= 0 ? static_cast<size_t>(m) : cap);
      ASSERT_TRUE(ours == model) << "case " << i;
    }
  }
}

}  // namespace
