// The cryptographic primitives against the published test vectors
// (RFC 1321, RFC 6229, FIPS 197, SP 800-38A, FIPS 180-4) and against
// OpenSSL's libcrypto on generated inputs of many lengths.
#define OPENSSL_SUPPRESS_DEPRECATED // the low-level RC4 calls
#include <openssl/evp.h>
#include <openssl/rc4.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "aes.h"
#include "md5.h"
#include "rc4.h"
#include "sha2.h"

namespace {

std::vector<uint8_t> unhex(const std::string &h) {
  std::vector<uint8_t> v;
  for (size_t i = 0; i + 1 < h.size(); i += 2)
    v.push_back(uint8_t(std::stoi(h.substr(i, 2), nullptr, 16)));
  return v;
}

std::string hex(const uint8_t *p, size_t n) {
  static const char d[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; i++) {
    s += d[p[i] >> 4];
    s += d[p[i] & 15];
  }
  return s;
}

std::vector<uint8_t> bytes(const std::string &s) {
  return std::vector<uint8_t>(s.begin(), s.end());
}

// Deterministic filler (a 64-bit LCG), so a failure repeats.
std::vector<uint8_t> filler(size_t n, uint64_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; i++) {
    seed = seed * 6364136223846793005ull + 1442695040888963407ull;
    v[i] = uint8_t(seed >> 56);
  }
  return v;
}

using digest_fn = std::string (*)(const std::vector<uint8_t> &);

std::string our_md5(const std::vector<uint8_t> &m) {
  uint8_t d[16];
  md5(m.data(), m.size(), d);
  return hex(d, 16);
}
std::string our_sha256(const std::vector<uint8_t> &m) {
  uint8_t d[32];
  sha256(m.data(), m.size(), d);
  return hex(d, 32);
}
std::string our_sha384(const std::vector<uint8_t> &m) {
  uint8_t d[48];
  sha384(m.data(), m.size(), d);
  return hex(d, 48);
}
std::string our_sha512(const std::vector<uint8_t> &m) {
  uint8_t d[64];
  sha512(m.data(), m.size(), d);
  return hex(d, 64);
}

// The same digest fed in two pieces split at `cut`.
std::string split_digest(const std::string &alg, const std::vector<uint8_t> &m,
                         size_t cut) {
  uint8_t d[64];
  if (alg == "md5") {
    md5_ctx c;
    md5_init(&c);
    md5_update(&c, m.data(), cut);
    md5_update(&c, m.data() + cut, m.size() - cut);
    md5_final(&c, d);
    return hex(d, 16);
  }
  if (alg == "sha256") {
    sha256_ctx c;
    sha256_init(&c);
    sha256_update(&c, m.data(), cut);
    sha256_update(&c, m.data() + cut, m.size() - cut);
    sha256_final(&c, d);
    return hex(d, 32);
  }
  sha512_ctx c;
  size_t len = alg == "sha384" ? 48 : 64;
  if (len == 48)
    sha384_init(&c);
  else
    sha512_init(&c);
  sha512_update(&c, m.data(), cut);
  sha512_update(&c, m.data() + cut, m.size() - cut);
  sha512_final(&c, d, len);
  return hex(d, len);
}

std::string openssl_digest(const std::string &alg, const std::vector<uint8_t> &m) {
  const EVP_MD *md = alg == "md5"      ? EVP_md5()
                     : alg == "sha256" ? EVP_sha256()
                     : alg == "sha384" ? EVP_sha384()
                                       : EVP_sha512();
  unsigned char d[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EXPECT_EQ(EVP_Digest(m.data(), m.size(), d, &len, md, nullptr), 1);
  return hex(d, len);
}

struct digest_case {
  const char *alg;
  digest_fn fn;
  std::string message;
  const char *expected;
};

} // namespace

TEST(Digest, PublishedVectors) {
  const std::string az = "abcdefghijklmnopqrstuvwxyz";
  const std::string two_blocks =
      "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  const std::string long_blocks =
      "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmno"
      "ijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu";
  std::string digits;
  for (int i = 0; i < 8; i++) digits += "1234567890";
  const digest_case cases[] = {
      // RFC 1321 A.5
      {"md5", our_md5, "", "d41d8cd98f00b204e9800998ecf8427e"},
      {"md5", our_md5, "a", "0cc175b9c0f1b6a831c399e269772661"},
      {"md5", our_md5, "abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"md5", our_md5, "message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"md5", our_md5, az, "c3fcd3d76192e4007dfb496cca67e13b"},
      {"md5", our_md5,
       "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"md5", our_md5, digits, "57edf4a22be3c955ac49da2e2107b67a"},
      // FIPS 180-4 examples (NIST's published example values)
      {"sha256", our_sha256, "",
       "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"sha256", our_sha256, "abc",
       "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"sha256", our_sha256, two_blocks,
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"sha384", our_sha384, "abc",
       "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed"
       "8086072ba1e7cc2358baeca134c825a7"},
      {"sha384", our_sha384, long_blocks,
       "09330c33f71147e83d192fc782cd1b4753111b173b3b05d22fa08086e3b0f712"
       "fcc7c71a557e2db966c3e9fa91746039"},
      {"sha512", our_sha512, "",
       "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce"
       "47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e"},
      {"sha512", our_sha512, "abc",
       "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
       "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f"},
      {"sha512", our_sha512, long_blocks,
       "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018"
       "501d289e4900f7e4331b99dec4b5433ac7d329eeb6dd26545e96e55b874be909"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.alg) + " of \"" + c.message + "\"");
    EXPECT_EQ(c.fn(bytes(c.message)), c.expected);
  }
}

// Every length across the padding boundaries (55/56/64 for the 64-byte
// blocks, 111/112/128 for the 128-byte ones) and a few large inputs, whole
// and fed in two pieces, against libcrypto.
TEST(Digest, MatchesLibcryptoAtEveryLength) {
  const char *algs[] = {"md5", "sha256", "sha384", "sha512"};
  const digest_fn fns[] = {our_md5, our_sha256, our_sha384, our_sha512};
  std::vector<size_t> lens;
  for (size_t n = 0; n <= 300; n++) lens.push_back(n);
  lens.push_back(4096);
  lens.push_back(100003);
  for (size_t a = 0; a < 4; a++) {
    for (size_t n : lens) {
      SCOPED_TRACE(std::string(algs[a]) + " length " + std::to_string(n));
      std::vector<uint8_t> m = filler(n, n * 31 + a);
      std::string want = openssl_digest(algs[a], m);
      ASSERT_EQ(fns[a](m), want);
      ASSERT_EQ(split_digest(algs[a], m, n / 3), want);
    }
  }
}

TEST(Rc4, PublishedVectors) {
  // RFC 6229: the key stream at offsets 0 and 16 (and 240, 256) for a
  // 40-bit and a 128-bit key.
  struct row {
    const char *key;
    size_t offset;
    const char *stream;
  } rows[] = {
      {"0102030405", 0, "b2396305f03dc027ccc3524a0a1118a8"},
      {"0102030405", 16, "6982944f18fc82d589c403a47a0d0919"},
      {"0102030405", 240, "28cb1132c96ce286421dcaadb8b69eae"},
      {"0102030405", 256, "1cfcf62b03eddb641d77dfcf7f8d8c93"},
      {"0102030405060708090a0b0c0d0e0f10", 0, "9ac7cc9a609d1ef7b2932899cde41b97"},
      {"0102030405060708090a0b0c0d0e0f10", 16, "5248c4959014126a6e8a84f11d1a9e1c"},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(std::string(r.key) + " at " + std::to_string(r.offset));
    std::vector<uint8_t> key = unhex(r.key), zeros(r.offset + 16, 0);
    rc4(key.data(), key.size(), zeros.data(), zeros.size());
    EXPECT_EQ(hex(zeros.data() + r.offset, 16), r.stream);
  }
}

TEST(Rc4, MatchesLibcryptoAndRoundTrips) {
  for (size_t key_len : {1, 5, 7, 10, 16, 32, 256}) {
    for (size_t n : {0, 1, 15, 16, 17, 1000, 65537}) {
      SCOPED_TRACE("key " + std::to_string(key_len) + " data " + std::to_string(n));
      std::vector<uint8_t> key = filler(key_len, key_len), m = filler(n, n + 7);
      std::vector<uint8_t> ours = m, theirs(n);
      rc4(key.data(), key.size(), ours.data(), n);
      RC4_KEY k;
      RC4_set_key(&k, int(key_len), key.data());
      if (n) RC4(&k, n, m.data(), theirs.data());
      ASSERT_EQ(ours, theirs);
      // Chained calls continue the same key stream.
      rc4_state st;
      rc4_init(&st, key.data(), key.size());
      std::vector<uint8_t> chained = m;
      rc4_crypt(&st, chained.data(), chained.data(), n / 2);
      rc4_crypt(&st, chained.data() + n / 2, chained.data() + n / 2, n - n / 2);
      ASSERT_EQ(chained, theirs);
      rc4(key.data(), key.size(), ours.data(), n);
      ASSERT_EQ(ours, m);
    }
  }
}

TEST(Aes, PublishedVectors) {
  struct row {
    const char *name, *key, *iv, *plain, *cipher;
  } rows[] = {
      // FIPS 197 appendix C: one block, each key size.
      {"FIPS 197 C.1", "000102030405060708090a0b0c0d0e0f", nullptr,
       "00112233445566778899aabbccddeeff", "69c4e0d86a7b0430d8cdb78070b4c55a"},
      {"FIPS 197 C.2", "000102030405060708090a0b0c0d0e0f1011121314151617",
       nullptr, "00112233445566778899aabbccddeeff",
       "dda97ca4864cdfe06eaf70a0ec0d7191"},
      {"FIPS 197 C.3",
       "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
       nullptr, "00112233445566778899aabbccddeeff",
       "8ea2b7ca516745bfeafc49904b496089"},
      // SP 800-38A F.2.1 and F.2.5: CBC, four blocks.
      {"CBC-AES128", "2b7e151628aed2a6abf7158809cf4f3c",
       "000102030405060708090a0b0c0d0e0f",
       "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
       "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710",
       "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
       "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7"},
      {"CBC-AES256",
       "603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4",
       "000102030405060708090a0b0c0d0e0f",
       "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
       "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710",
       "f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d"
       "39f23369a9d9bacfa530e26304231461b2eb05e2c39be9fcda6c19078c6a9d1b"},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.name);
    std::vector<uint8_t> key = unhex(r.key), plain = unhex(r.plain),
                         want = unhex(r.cipher), got(plain.size()),
                         back(plain.size());
    aes_key k;
    ASSERT_TRUE(aes_setup(&k, key.data(), key.size()));
    if (!r.iv) {
      aes_encrypt_block(&k, plain.data(), got.data());
      aes_decrypt_block(&k, want.data(), back.data());
    } else {
      std::vector<uint8_t> iv = unhex(r.iv), iv2 = iv;
      aes_cbc_encrypt(&k, iv.data(), plain.data(), got.data(), plain.size());
      aes_cbc_decrypt(&k, iv2.data(), want.data(), back.data(), want.size());
    }
    EXPECT_EQ(hex(got.data(), got.size()), r.cipher);
    EXPECT_EQ(back, plain);
  }
  aes_key k;
  uint8_t key[33] = {0};
  for (size_t bad : {0, 8, 15, 17, 31, 33}) EXPECT_FALSE(aes_setup(&k, key, bad));
}

// The padded CBC forms against libcrypto's CBC with PKCS padding, every
// length around block boundaries, both key sizes PDF uses.
TEST(Aes, PaddedCbcMatchesLibcrypto) {
  for (size_t key_len : {16, 32}) {
    for (size_t n = 0; n <= 70; n++) {
      SCOPED_TRACE("key " + std::to_string(key_len) + " length " + std::to_string(n));
      std::vector<uint8_t> key = filler(key_len, 3 + key_len), iv = filler(16, n),
                           m = filler(n, 1000 + n);
      aes_key k;
      ASSERT_TRUE(aes_setup(&k, key.data(), key_len));
      std::vector<uint8_t> ours = aes_cbc_encrypt_padded(&k, iv.data(), m.data(), n);

      EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
      ASSERT_NE(ctx, nullptr);
      std::vector<uint8_t> theirs(n + 32);
      int l1 = 0, l2 = 0;
      EVP_EncryptInit_ex(ctx, key_len == 16 ? EVP_aes_128_cbc() : EVP_aes_256_cbc(),
                         nullptr, key.data(), iv.data());
      EVP_EncryptUpdate(ctx, theirs.data(), &l1, m.data(), int(n));
      EVP_EncryptFinal_ex(ctx, theirs.data() + l1, &l2);
      EVP_CIPHER_CTX_free(ctx);
      theirs.resize(size_t(l1 + l2));
      ASSERT_EQ(ours, theirs);

      std::vector<uint8_t> back;
      ASSERT_TRUE(aes_cbc_decrypt_padded(&k, iv.data(), ours.data(), ours.size(), &back));
      ASSERT_EQ(back, m);
    }
  }
}

// What readers of damaged files need: a partial trailing block is dropped,
// invalid padding leaves the bytes as they are, under one block fails.
TEST(Aes, LenientPaddedDecrypt) {
  std::vector<uint8_t> key = filler(16, 1), iv = filler(16, 2);
  aes_key k;
  ASSERT_TRUE(aes_setup(&k, key.data(), 16));
  struct row {
    const char *name;
    std::vector<uint8_t> plain; // encrypted without padding
    size_t extra;               // garbage bytes appended to the ciphertext
    bool ok;
    size_t out_len;
  } rows[] = {
      {"valid padding 4", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 4, 4, 4, 4}, 0, true, 12},
      {"valid full block", std::vector<uint8_t>(16, 16), 0, true, 0},
      {"pad byte 0 kept", std::vector<uint8_t>(16, 0), 0, true, 16},
      {"pad byte 17 kept", std::vector<uint8_t>(16, 17), 0, true, 16},
      {"unequal padding kept", {9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 2, 3}, 0, true, 16},
      {"partial block dropped", {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}, 7, true, 15},
      {"too short", {}, 15, false, 0},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.name);
    std::vector<uint8_t> c(r.plain.size()), v = iv;
    aes_cbc_encrypt(&k, v.data(), r.plain.data(), c.data(), c.size());
    c.insert(c.end(), r.extra, 0x55);
    std::vector<uint8_t> out;
    ASSERT_EQ(aes_cbc_decrypt_padded(&k, iv.data(), c.data(), c.size(), &out), r.ok);
    if (r.ok) {
      EXPECT_EQ(out.size(), r.out_len);
      EXPECT_TRUE(std::equal(out.begin(), out.end(), r.plain.begin()));
    }
  }
}
