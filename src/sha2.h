// SHA-256, SHA-384 and SHA-512 (FIPS 180-4), for the PDF security handler's
// revisions 5 and 6 (AES-256 keys and the password hash).
//
// No process-wide state.
#pragma once

#include <cstddef>
#include <cstdint>

struct sha256_ctx {
  uint32_t state[8];
  uint64_t total_len; // bytes hashed so far
  uint8_t block[64];
};

// SHA-384 is SHA-512 with other initial values, truncated to 48 bytes.
struct sha512_ctx {
  uint64_t state[8];
  uint64_t total_len; // bytes hashed so far (inputs stay far below 2^64)
  uint8_t block[128];
};

void sha256_init(sha256_ctx *c);
void sha256_update(sha256_ctx *c, const uint8_t *p, size_t n);
void sha256_final(sha256_ctx *c, uint8_t out[32]);
void sha256(const uint8_t *p, size_t n, uint8_t out[32]);

void sha384_init(sha512_ctx *c);
void sha512_init(sha512_ctx *c);
void sha512_update(sha512_ctx *c, const uint8_t *p, size_t n);
// out_len 48 after sha384_init, 64 after sha512_init.
void sha512_final(sha512_ctx *c, uint8_t *out, size_t out_len);
void sha384(const uint8_t *p, size_t n, uint8_t out[48]);
void sha512(const uint8_t *p, size_t n, uint8_t out[64]);
