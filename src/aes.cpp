// AES (FIPS 197) in the 32-bit table form: each round is four lookups per
// column in tables that fold SubBytes, ShiftRows and MixColumns together.
// Decryption uses the equivalent inverse cipher (FIPS 197 5.3.5), whose
// round keys pass through InvMixColumns. Table lookups depend on key and
// data, so this is not hardened against cache-timing observers; it
// protects files at rest, where that is not the threat.
#include "aes.h"

#include <cstring>

// FIPS 197 5.1.1, figure 7.
static constexpr uint8_t s_sbox[256] = {
    0x63, 0x7c, 0x77, 0x7b, 0xf2, 0x6b, 0x6f, 0xc5, 0x30, 0x01, 0x67, 0x2b,
    0xfe, 0xd7, 0xab, 0x76, 0xca, 0x82, 0xc9, 0x7d, 0xfa, 0x59, 0x47, 0xf0,
    0xad, 0xd4, 0xa2, 0xaf, 0x9c, 0xa4, 0x72, 0xc0, 0xb7, 0xfd, 0x93, 0x26,
    0x36, 0x3f, 0xf7, 0xcc, 0x34, 0xa5, 0xe5, 0xf1, 0x71, 0xd8, 0x31, 0x15,
    0x04, 0xc7, 0x23, 0xc3, 0x18, 0x96, 0x05, 0x9a, 0x07, 0x12, 0x80, 0xe2,
    0xeb, 0x27, 0xb2, 0x75, 0x09, 0x83, 0x2c, 0x1a, 0x1b, 0x6e, 0x5a, 0xa0,
    0x52, 0x3b, 0xd6, 0xb3, 0x29, 0xe3, 0x2f, 0x84, 0x53, 0xd1, 0x00, 0xed,
    0x20, 0xfc, 0xb1, 0x5b, 0x6a, 0xcb, 0xbe, 0x39, 0x4a, 0x4c, 0x58, 0xcf,
    0xd0, 0xef, 0xaa, 0xfb, 0x43, 0x4d, 0x33, 0x85, 0x45, 0xf9, 0x02, 0x7f,
    0x50, 0x3c, 0x9f, 0xa8, 0x51, 0xa3, 0x40, 0x8f, 0x92, 0x9d, 0x38, 0xf5,
    0xbc, 0xb6, 0xda, 0x21, 0x10, 0xff, 0xf3, 0xd2, 0xcd, 0x0c, 0x13, 0xec,
    0x5f, 0x97, 0x44, 0x17, 0xc4, 0xa7, 0x7e, 0x3d, 0x64, 0x5d, 0x19, 0x73,
    0x60, 0x81, 0x4f, 0xdc, 0x22, 0x2a, 0x90, 0x88, 0x46, 0xee, 0xb8, 0x14,
    0xde, 0x5e, 0x0b, 0xdb, 0xe0, 0x32, 0x3a, 0x0a, 0x49, 0x06, 0x24, 0x5c,
    0xc2, 0xd3, 0xac, 0x62, 0x91, 0x95, 0xe4, 0x79, 0xe7, 0xc8, 0x37, 0x6d,
    0x8d, 0xd5, 0x4e, 0xa9, 0x6c, 0x56, 0xf4, 0xea, 0x65, 0x7a, 0xae, 0x08,
    0xba, 0x78, 0x25, 0x2e, 0x1c, 0xa6, 0xb4, 0xc6, 0xe8, 0xdd, 0x74, 0x1f,
    0x4b, 0xbd, 0x8b, 0x8a, 0x70, 0x3e, 0xb5, 0x66, 0x48, 0x03, 0xf6, 0x0e,
    0x61, 0x35, 0x57, 0xb9, 0x86, 0xc1, 0x1d, 0x9e, 0xe1, 0xf8, 0x98, 0x11,
    0x69, 0xd9, 0x8e, 0x94, 0x9b, 0x1e, 0x87, 0xe9, 0xce, 0x55, 0x28, 0xdf,
    0x8c, 0xa1, 0x89, 0x0d, 0xbf, 0xe6, 0x42, 0x68, 0x41, 0x99, 0x2d, 0x0f,
    0xb0, 0x54, 0xbb, 0x16};

static constexpr uint8_t xtime(uint8_t x) {
  return uint8_t((x << 1) ^ ((x & 0x80) ? 0x1b : 0));
}
static constexpr uint8_t gmul(uint8_t a, uint8_t b) {
  uint8_t r = 0;
  while (b) {
    if (b & 1) r = uint8_t(r ^ a);
    a = xtime(a);
    b = uint8_t(b >> 1);
  }
  return r;
}
static constexpr uint32_t word(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  return uint32_t(a) << 24 | uint32_t(b) << 16 | uint32_t(c) << 8 | d;
}
static constexpr uint32_t ror8(uint32_t w, int n) {
  return n ? (w >> (8 * n)) | (w << (32 - 8 * n)) : w;
}

// Every other table is derived from the S-box at compile time.
struct aes_tables {
  uint8_t inv_sbox[256];
  uint32_t te[4][256]; // column (2s, s, s, 3s), rotated right by 8 * i bits
  uint32_t td[4][256]; // column (14t, 9t, 13t, 11t) for t = inverse S-box
};

static constexpr aes_tables make_tables() {
  aes_tables t{};
  for (int i = 0; i < 256; i++) t.inv_sbox[s_sbox[i]] = uint8_t(i);
  for (int i = 0; i < 256; i++) {
    uint8_t s = s_sbox[i], v = t.inv_sbox[i];
    uint32_t e = word(gmul(s, 2), s, s, gmul(s, 3));
    uint32_t d = word(gmul(v, 14), gmul(v, 9), gmul(v, 13), gmul(v, 11));
    for (int r = 0; r < 4; r++) {
      t.te[r][i] = ror8(e, r);
      t.td[r][i] = ror8(d, r);
    }
  }
  return t;
}

static constexpr aes_tables s_tab = make_tables();

static uint32_t load_be(const uint8_t *p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
static void store_be(uint8_t *p, uint32_t w) {
  p[0] = uint8_t(w >> 24);
  p[1] = uint8_t(w >> 16);
  p[2] = uint8_t(w >> 8);
  p[3] = uint8_t(w);
}
static uint32_t sub_word(uint32_t w) {
  return word(s_sbox[w >> 24], s_sbox[(w >> 16) & 255], s_sbox[(w >> 8) & 255],
              s_sbox[w & 255]);
}

bool aes_setup(aes_key *k, const uint8_t *key, size_t key_len) {
  if (key_len != 16 && key_len != 24 && key_len != 32) return false;
  // FIPS 197 5.2: Nk key words, Nr = Nk + 6 rounds.
  int nk = int(key_len / 4);
  k->rounds = nk + 6;
  int total = 4 * (k->rounds + 1);
  for (int i = 0; i < nk; i++) k->enc[i] = load_be(key + 4 * i);
  uint8_t rcon = 1;
  for (int i = nk; i < total; i++) {
    uint32_t t = k->enc[i - 1];
    if (i % nk == 0) {
      t = sub_word((t << 8) | (t >> 24)) ^ (uint32_t(rcon) << 24);
      rcon = xtime(rcon);
    } else if (nk > 6 && i % nk == 4) {
      t = sub_word(t);
    }
    k->enc[i] = k->enc[i - nk] ^ t;
  }
  // FIPS 197 5.3.5: the round keys in reverse order, the inner ones through
  // InvMixColumns (td applied to S(x) gives InvMixColumns of x).
  int nr = k->rounds;
  for (int r = 0; r <= nr; r++) {
    for (int j = 0; j < 4; j++) {
      uint32_t w = k->enc[4 * (nr - r) + j];
      if (r > 0 && r < nr)
        w = s_tab.td[0][s_sbox[w >> 24]] ^ s_tab.td[1][s_sbox[(w >> 16) & 255]] ^
            s_tab.td[2][s_sbox[(w >> 8) & 255]] ^ s_tab.td[3][s_sbox[w & 255]];
      k->dec[4 * r + j] = w;
    }
  }
  return true;
}

void aes_encrypt_block(const aes_key *k, const uint8_t in[16], uint8_t out[16]) {
  const uint32_t *rk = k->enc;
  uint32_t s0 = load_be(in) ^ rk[0], s1 = load_be(in + 4) ^ rk[1],
           s2 = load_be(in + 8) ^ rk[2], s3 = load_be(in + 12) ^ rk[3];
  const auto &te = s_tab.te;
  for (int r = 1; r < k->rounds; r++) {
    rk += 4;
    uint32_t t0 = te[0][s0 >> 24] ^ te[1][(s1 >> 16) & 255] ^
                  te[2][(s2 >> 8) & 255] ^ te[3][s3 & 255] ^ rk[0];
    uint32_t t1 = te[0][s1 >> 24] ^ te[1][(s2 >> 16) & 255] ^
                  te[2][(s3 >> 8) & 255] ^ te[3][s0 & 255] ^ rk[1];
    uint32_t t2 = te[0][s2 >> 24] ^ te[1][(s3 >> 16) & 255] ^
                  te[2][(s0 >> 8) & 255] ^ te[3][s1 & 255] ^ rk[2];
    uint32_t t3 = te[0][s3 >> 24] ^ te[1][(s0 >> 16) & 255] ^
                  te[2][(s1 >> 8) & 255] ^ te[3][s2 & 255] ^ rk[3];
    s0 = t0; s1 = t1; s2 = t2; s3 = t3;
  }
  rk += 4;
  // The last round has no MixColumns.
  store_be(out, word(s_sbox[s0 >> 24], s_sbox[(s1 >> 16) & 255],
                     s_sbox[(s2 >> 8) & 255], s_sbox[s3 & 255]) ^ rk[0]);
  store_be(out + 4, word(s_sbox[s1 >> 24], s_sbox[(s2 >> 16) & 255],
                         s_sbox[(s3 >> 8) & 255], s_sbox[s0 & 255]) ^ rk[1]);
  store_be(out + 8, word(s_sbox[s2 >> 24], s_sbox[(s3 >> 16) & 255],
                         s_sbox[(s0 >> 8) & 255], s_sbox[s1 & 255]) ^ rk[2]);
  store_be(out + 12, word(s_sbox[s3 >> 24], s_sbox[(s0 >> 16) & 255],
                          s_sbox[(s1 >> 8) & 255], s_sbox[s2 & 255]) ^ rk[3]);
}

void aes_decrypt_block(const aes_key *k, const uint8_t in[16], uint8_t out[16]) {
  const uint32_t *rk = k->dec;
  uint32_t s0 = load_be(in) ^ rk[0], s1 = load_be(in + 4) ^ rk[1],
           s2 = load_be(in + 8) ^ rk[2], s3 = load_be(in + 12) ^ rk[3];
  const auto &td = s_tab.td;
  const uint8_t *is = s_tab.inv_sbox;
  for (int r = 1; r < k->rounds; r++) {
    rk += 4;
    uint32_t t0 = td[0][s0 >> 24] ^ td[1][(s3 >> 16) & 255] ^
                  td[2][(s2 >> 8) & 255] ^ td[3][s1 & 255] ^ rk[0];
    uint32_t t1 = td[0][s1 >> 24] ^ td[1][(s0 >> 16) & 255] ^
                  td[2][(s3 >> 8) & 255] ^ td[3][s2 & 255] ^ rk[1];
    uint32_t t2 = td[0][s2 >> 24] ^ td[1][(s1 >> 16) & 255] ^
                  td[2][(s0 >> 8) & 255] ^ td[3][s3 & 255] ^ rk[2];
    uint32_t t3 = td[0][s3 >> 24] ^ td[1][(s2 >> 16) & 255] ^
                  td[2][(s1 >> 8) & 255] ^ td[3][s0 & 255] ^ rk[3];
    s0 = t0; s1 = t1; s2 = t2; s3 = t3;
  }
  rk += 4;
  store_be(out, word(is[s0 >> 24], is[(s3 >> 16) & 255], is[(s2 >> 8) & 255],
                     is[s1 & 255]) ^ rk[0]);
  store_be(out + 4, word(is[s1 >> 24], is[(s0 >> 16) & 255],
                         is[(s3 >> 8) & 255], is[s2 & 255]) ^ rk[1]);
  store_be(out + 8, word(is[s2 >> 24], is[(s1 >> 16) & 255],
                         is[(s0 >> 8) & 255], is[s3 & 255]) ^ rk[2]);
  store_be(out + 12, word(is[s3 >> 24], is[(s2 >> 16) & 255],
                          is[(s1 >> 8) & 255], is[s0 & 255]) ^ rk[3]);
}

void aes_cbc_encrypt(const aes_key *k, uint8_t iv[16], const uint8_t *in,
                     uint8_t *out, size_t n) {
  uint8_t b[16];
  for (size_t off = 0; off + 16 <= n; off += 16) {
    for (int i = 0; i < 16; i++) b[i] = uint8_t(in[off + size_t(i)] ^ iv[i]);
    aes_encrypt_block(k, b, iv);
    memcpy(out + off, iv, 16);
  }
}

void aes_cbc_decrypt(const aes_key *k, uint8_t iv[16], const uint8_t *in,
                     uint8_t *out, size_t n) {
  uint8_t c[16], p[16];
  for (size_t off = 0; off + 16 <= n; off += 16) {
    memcpy(c, in + off, 16); // in and out may be the same buffer
    aes_decrypt_block(k, c, p);
    for (int i = 0; i < 16; i++) out[off + size_t(i)] = uint8_t(p[i] ^ iv[i]);
    memcpy(iv, c, 16);
  }
}

std::vector<uint8_t> aes_cbc_encrypt_padded(const aes_key *k,
                                            const uint8_t iv[16],
                                            const uint8_t *in, size_t n) {
  const size_t pad = 16 - n % 16;
  std::vector<uint8_t> out(in, in + n);
  out.resize(n + pad, uint8_t(pad));
  uint8_t v[16];
  memcpy(v, iv, 16);
  aes_cbc_encrypt(k, v, out.data(), out.data(), out.size());
  return out;
}

bool aes_cbc_decrypt_padded(const aes_key *k, const uint8_t iv[16],
                            const uint8_t *in, size_t n,
                            std::vector<uint8_t> *out) {
  n -= n % 16;
  if (n < 16) return false;
  out->resize(n);
  uint8_t v[16];
  memcpy(v, iv, 16);
  aes_cbc_decrypt(k, v, in, out->data(), n);
  uint8_t pad = (*out)[n - 1];
  if (pad >= 1 && pad <= 16) {
    bool ok = true;
    for (size_t i = n - pad; i < n; i++) ok = ok && (*out)[i] == pad;
    if (ok) out->resize(n - pad);
  }
  return true;
}
