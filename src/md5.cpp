// MD5 (RFC 1321 section 3): 64-byte blocks, four rounds of sixteen
// operations, little-endian words and length.
#include "md5.h"

#include <cstring>

// RFC 1321 3.4: T[i] = floor(2^32 * |sin(i + 1)|), and the per-step shifts.
static const uint32_t s_md5_t[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a,
    0xa8304613, 0xfd469501, 0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be,
    0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821, 0xf61e2562, 0xc040b340,
    0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8,
    0x676f02d9, 0x8d2a4c8a, 0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c,
    0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70, 0x289b7ec6, 0xeaa127fa,
    0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92,
    0xffeff47d, 0x85845dd1, 0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1,
    0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};
static const uint8_t s_md5_shift[4][4] = {
    {7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

static uint32_t rol(uint32_t x, unsigned n) { return (x << n) | (x >> (32 - n)); }

static void compress(uint32_t st[4], const uint8_t *b) {
  uint32_t x[16];
  for (int i = 0; i < 16; i++)
    x[i] = uint32_t(b[4 * i]) | uint32_t(b[4 * i + 1]) << 8 |
           uint32_t(b[4 * i + 2]) << 16 | uint32_t(b[4 * i + 3]) << 24;
  uint32_t a = st[0], bb = st[1], c = st[2], d = st[3];
  for (int i = 0; i < 64; i++) {
    int round = i / 16;
    uint32_t f;
    int k;
    switch (round) {
    case 0: f = (bb & c) | (~bb & d); k = i; break;
    case 1: f = (bb & d) | (c & ~d); k = (5 * i + 1) & 15; break;
    case 2: f = bb ^ c ^ d; k = (3 * i + 5) & 15; break;
    default: f = c ^ (bb | ~d); k = (7 * i) & 15; break;
    }
    uint32_t t = d;
    d = c;
    c = bb;
    bb = bb + rol(a + f + s_md5_t[i] + x[k], s_md5_shift[round][i & 3]);
    a = t;
  }
  st[0] += a;
  st[1] += bb;
  st[2] += c;
  st[3] += d;
}

void md5_init(md5_ctx *c) {
  c->state[0] = 0x67452301;
  c->state[1] = 0xefcdab89;
  c->state[2] = 0x98badcfe;
  c->state[3] = 0x10325476;
  c->total_len = 0;
}

void md5_update(md5_ctx *c, const uint8_t *p, size_t n) {
  if (n == 0) return; // p may be null for an empty input
  size_t have = size_t(c->total_len % 64);
  c->total_len += n;
  if (have) {
    size_t take = 64 - have < n ? 64 - have : n;
    memcpy(c->block + have, p, take);
    p += take;
    n -= take;
    if (have + take < 64) return;
    compress(c->state, c->block);
  }
  for (; n >= 64; p += 64, n -= 64) compress(c->state, p);
  if (n) memcpy(c->block, p, n);
}

void md5_final(md5_ctx *c, uint8_t out[16]) {
  // RFC 1321 3.1-3.2: a 1 bit, zeros up to 56 mod 64, the bit length (LE).
  uint64_t bits = c->total_len * 8;
  uint8_t pad[72] = {0x80};
  size_t have = size_t(c->total_len % 64);
  size_t pad_len = (have < 56 ? 56 : 120) - have;
  for (int i = 0; i < 8; i++) pad[pad_len + size_t(i)] = uint8_t(bits >> (8 * i));
  md5_update(c, pad, pad_len + 8);
  for (int i = 0; i < 4; i++)
    for (int j = 0; j < 4; j++) out[4 * i + j] = uint8_t(c->state[i] >> (8 * j));
}

void md5(const uint8_t *p, size_t n, uint8_t out[16]) {
  md5_ctx c;
  md5_init(&c);
  md5_update(&c, p, n);
  md5_final(&c, out);
}
