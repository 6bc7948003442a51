// RC4 stream cipher (as in RFC 6229's test vectors), for the PDF security
// handler's revisions 2 to 4. Encryption and decryption are the same
// operation.
//
// No process-wide state.
#pragma once

#include <cstddef>
#include <cstdint>

struct rc4_state {
  uint8_t s[256];
  uint8_t i, j;
};

// key_len 1 to 256 bytes (PDF uses 5 to 16).
void rc4_init(rc4_state *st, const uint8_t *key, size_t key_len);
// XORs n bytes of key stream into in, written to out (out may equal in).
void rc4_crypt(rc4_state *st, const uint8_t *in, uint8_t *out, size_t n);
// One-shot: a fresh key schedule, then n bytes in place.
void rc4(const uint8_t *key, size_t key_len, uint8_t *data, size_t n);
