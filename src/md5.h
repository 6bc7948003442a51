// MD5 message digest (RFC 1321). Used only where the PDF security handler
// requires it (key derivation for revisions 2 to 4); not for anything that
// needs collision resistance.
//
// No process-wide state.
#pragma once

#include <cstddef>
#include <cstdint>

struct md5_ctx {
  uint32_t state[4];
  uint64_t total_len; // bytes hashed so far
  uint8_t block[64];  // pending input, total_len % 64 bytes of it
};

void md5_init(md5_ctx *c);
void md5_update(md5_ctx *c, const uint8_t *p, size_t n);
// Writes the 16-byte digest; the context must be initialised again for reuse.
void md5_final(md5_ctx *c, uint8_t out[16]);
// One-shot digest of a buffer.
void md5(const uint8_t *p, size_t n, uint8_t out[16]);
