// SHA-2 (FIPS 180-4 sections 5 and 6): big-endian words, 64-byte blocks and
// 64 rounds for SHA-256, 128-byte blocks and 80 rounds for SHA-384/512.
#include "sha2.h"

#include <cstring>

// FIPS 180-4 4.2.2: the first 32 bits of the fractional parts of the cube
// roots of the first 64 primes.
static const uint32_t s_sha256_k[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1,
    0x923f82a4, 0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3,
    0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786,
    0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147,
    0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13,
    0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
    0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a,
    0x5b9cca4f, 0x682e6ff3, 0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208,
    0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

// FIPS 180-4 4.2.3: 64 bits of the cube roots of the first 80 primes.
static const uint64_t s_sha512_k[80] = {
    0x428a2f98d728ae22, 0x7137449123ef65cd, 0xb5c0fbcfec4d3b2f,
    0xe9b5dba58189dbbc, 0x3956c25bf348b538, 0x59f111f1b605d019,
    0x923f82a4af194f9b, 0xab1c5ed5da6d8118, 0xd807aa98a3030242,
    0x12835b0145706fbe, 0x243185be4ee4b28c, 0x550c7dc3d5ffb4e2,
    0x72be5d74f27b896f, 0x80deb1fe3b1696b1, 0x9bdc06a725c71235,
    0xc19bf174cf692694, 0xe49b69c19ef14ad2, 0xefbe4786384f25e3,
    0x0fc19dc68b8cd5b5, 0x240ca1cc77ac9c65, 0x2de92c6f592b0275,
    0x4a7484aa6ea6e483, 0x5cb0a9dcbd41fbd4, 0x76f988da831153b5,
    0x983e5152ee66dfab, 0xa831c66d2db43210, 0xb00327c898fb213f,
    0xbf597fc7beef0ee4, 0xc6e00bf33da88fc2, 0xd5a79147930aa725,
    0x06ca6351e003826f, 0x142929670a0e6e70, 0x27b70a8546d22ffc,
    0x2e1b21385c26c926, 0x4d2c6dfc5ac42aed, 0x53380d139d95b3df,
    0x650a73548baf63de, 0x766a0abb3c77b2a8, 0x81c2c92e47edaee6,
    0x92722c851482353b, 0xa2bfe8a14cf10364, 0xa81a664bbc423001,
    0xc24b8b70d0f89791, 0xc76c51a30654be30, 0xd192e819d6ef5218,
    0xd69906245565a910, 0xf40e35855771202a, 0x106aa07032bbd1b8,
    0x19a4c116b8d2d0c8, 0x1e376c085141ab53, 0x2748774cdf8eeb99,
    0x34b0bcb5e19b48a8, 0x391c0cb3c5c95a63, 0x4ed8aa4ae3418acb,
    0x5b9cca4f7763e373, 0x682e6ff3d6b2b8a3, 0x748f82ee5defb2fc,
    0x78a5636f43172f60, 0x84c87814a1f0ab72, 0x8cc702081a6439ec,
    0x90befffa23631e28, 0xa4506cebde82bde9, 0xbef9a3f7b2c67915,
    0xc67178f2e372532b, 0xca273eceea26619c, 0xd186b8c721c0c207,
    0xeada7dd6cde0eb1e, 0xf57d4f7fee6ed178, 0x06f067aa72176fba,
    0x0a637dc5a2c898a6, 0x113f9804bef90dae, 0x1b710b35131c471b,
    0x28db77f523047d84, 0x32caab7b40c72493, 0x3c9ebe0a15c9bebc,
    0x431d67c49c100d4c, 0x4cc5d4becb3e42b6, 0x597f299cfc657e2a,
    0x5fcb6fab3ad6faec, 0x6c44198c4a475817};

static uint32_t ror32(uint32_t x, unsigned n) { return (x >> n) | (x << (32 - n)); }
static uint64_t ror64(uint64_t x, unsigned n) { return (x >> n) | (x << (64 - n)); }

static void compress256(uint32_t st[8], const uint8_t *b) {
  uint32_t w[64];
  for (int i = 0; i < 16; i++)
    w[i] = uint32_t(b[4 * i]) << 24 | uint32_t(b[4 * i + 1]) << 16 |
           uint32_t(b[4 * i + 2]) << 8 | uint32_t(b[4 * i + 3]);
  for (int i = 16; i < 64; i++) {
    uint32_t s0 = ror32(w[i - 15], 7) ^ ror32(w[i - 15], 18) ^ (w[i - 15] >> 3);
    uint32_t s1 = ror32(w[i - 2], 17) ^ ror32(w[i - 2], 19) ^ (w[i - 2] >> 10);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  uint32_t a = st[0], bb = st[1], c = st[2], d = st[3], e = st[4], f = st[5],
           g = st[6], h = st[7];
  for (int i = 0; i < 64; i++) {
    uint32_t t1 = h + (ror32(e, 6) ^ ror32(e, 11) ^ ror32(e, 25)) +
                  ((e & f) ^ (~e & g)) + s_sha256_k[i] + w[i];
    uint32_t t2 = (ror32(a, 2) ^ ror32(a, 13) ^ ror32(a, 22)) +
                  ((a & bb) ^ (a & c) ^ (bb & c));
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = bb;
    bb = a;
    a = t1 + t2;
  }
  st[0] += a; st[1] += bb; st[2] += c; st[3] += d;
  st[4] += e; st[5] += f; st[6] += g; st[7] += h;
}

static void compress512(uint64_t st[8], const uint8_t *b) {
  uint64_t w[80];
  for (int i = 0; i < 16; i++) {
    uint64_t v = 0;
    for (int k = 0; k < 8; k++) v = v << 8 | b[8 * i + k];
    w[i] = v;
  }
  for (int i = 16; i < 80; i++) {
    uint64_t s0 = ror64(w[i - 15], 1) ^ ror64(w[i - 15], 8) ^ (w[i - 15] >> 7);
    uint64_t s1 = ror64(w[i - 2], 19) ^ ror64(w[i - 2], 61) ^ (w[i - 2] >> 6);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  uint64_t a = st[0], bb = st[1], c = st[2], d = st[3], e = st[4], f = st[5],
           g = st[6], h = st[7];
  for (int i = 0; i < 80; i++) {
    uint64_t t1 = h + (ror64(e, 14) ^ ror64(e, 18) ^ ror64(e, 41)) +
                  ((e & f) ^ (~e & g)) + s_sha512_k[i] + w[i];
    uint64_t t2 = (ror64(a, 28) ^ ror64(a, 34) ^ ror64(a, 39)) +
                  ((a & bb) ^ (a & c) ^ (bb & c));
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = bb;
    bb = a;
    a = t1 + t2;
  }
  st[0] += a; st[1] += bb; st[2] += c; st[3] += d;
  st[4] += e; st[5] += f; st[6] += g; st[7] += h;
}

void sha256_init(sha256_ctx *c) {
  static const uint32_t iv[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372,
                                 0xa54ff53a, 0x510e527f, 0x9b05688c,
                                 0x1f83d9ab, 0x5be0cd19};
  memcpy(c->state, iv, sizeof iv);
  c->total_len = 0;
}

void sha256_update(sha256_ctx *c, const uint8_t *p, size_t n) {
  if (n == 0) return; // p may be null for an empty input
  size_t have = size_t(c->total_len % 64);
  c->total_len += n;
  if (have) {
    size_t take = 64 - have < n ? 64 - have : n;
    memcpy(c->block + have, p, take);
    p += take;
    n -= take;
    if (have + take < 64) return;
    compress256(c->state, c->block);
  }
  for (; n >= 64; p += 64, n -= 64) compress256(c->state, p);
  if (n) memcpy(c->block, p, n);
}

void sha256_final(sha256_ctx *c, uint8_t out[32]) {
  // FIPS 180-4 5.1.1: a 1 bit, zeros to 56 mod 64, the 64-bit length (BE).
  uint64_t bits = c->total_len * 8;
  uint8_t pad[72] = {0x80};
  size_t have = size_t(c->total_len % 64);
  size_t pad_len = (have < 56 ? 56 : 120) - have;
  for (int i = 0; i < 8; i++) pad[pad_len + size_t(i)] = uint8_t(bits >> (56 - 8 * i));
  sha256_update(c, pad, pad_len + 8);
  for (int i = 0; i < 8; i++)
    for (int k = 0; k < 4; k++) out[4 * i + k] = uint8_t(c->state[i] >> (24 - 8 * k));
}

void sha256(const uint8_t *p, size_t n, uint8_t out[32]) {
  sha256_ctx c;
  sha256_init(&c);
  sha256_update(&c, p, n);
  sha256_final(&c, out);
}

void sha384_init(sha512_ctx *c) {
  static const uint64_t iv[8] = {
      0xcbbb9d5dc1059ed8, 0x629a292a367cd507, 0x9159015a3070dd17,
      0x152fecd8f70e5939, 0x67332667ffc00b31, 0x8eb44a8768581511,
      0xdb0c2e0d64f98fa7, 0x47b5481dbefa4fa4};
  memcpy(c->state, iv, sizeof iv);
  c->total_len = 0;
}

void sha512_init(sha512_ctx *c) {
  static const uint64_t iv[8] = {
      0x6a09e667f3bcc908, 0xbb67ae8584caa73b, 0x3c6ef372fe94f82b,
      0xa54ff53a5f1d36f1, 0x510e527fade682d1, 0x9b05688c2b3e6c1f,
      0x1f83d9abfb41bd6b, 0x5be0cd19137e2179};
  memcpy(c->state, iv, sizeof iv);
  c->total_len = 0;
}

void sha512_update(sha512_ctx *c, const uint8_t *p, size_t n) {
  if (n == 0) return; // p may be null for an empty input
  size_t have = size_t(c->total_len % 128);
  c->total_len += n;
  if (have) {
    size_t take = 128 - have < n ? 128 - have : n;
    memcpy(c->block + have, p, take);
    p += take;
    n -= take;
    if (have + take < 128) return;
    compress512(c->state, c->block);
  }
  for (; n >= 128; p += 128, n -= 128) compress512(c->state, p);
  if (n) memcpy(c->block, p, n);
}

void sha512_final(sha512_ctx *c, uint8_t *out, size_t out_len) {
  // FIPS 180-4 5.1.2: the length field is 128 bits; its high half is zero.
  uint64_t bits = c->total_len * 8;
  uint8_t pad[144] = {0x80};
  size_t have = size_t(c->total_len % 128);
  size_t pad_len = (have < 112 ? 112 : 240) - have;
  for (int i = 0; i < 8; i++) pad[pad_len + 8 + size_t(i)] = uint8_t(bits >> (56 - 8 * i));
  sha512_update(c, pad, pad_len + 16);
  for (size_t i = 0; i < out_len && i < 64; i++)
    out[i] = uint8_t(c->state[i / 8] >> (56 - 8 * (i % 8)));
}

void sha384(const uint8_t *p, size_t n, uint8_t out[48]) {
  sha512_ctx c;
  sha384_init(&c);
  sha512_update(&c, p, n);
  sha512_final(&c, out, 48);
}

void sha512(const uint8_t *p, size_t n, uint8_t out[64]) {
  sha512_ctx c;
  sha512_init(&c);
  sha512_update(&c, p, n);
  sha512_final(&c, out, 64);
}
