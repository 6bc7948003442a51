// AES (FIPS 197) with 128-, 192- and 256-bit keys, and CBC mode with the
// PKCS#5 padding PDF uses for strings and streams (AESV2, AESV3).
//
// No process-wide state (the lookup tables are compile-time constants).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct aes_key {
  uint32_t enc[60]; // encryption round keys, 4 * (rounds + 1) words
  uint32_t dec[60]; // the equivalent inverse cipher's round keys
  int rounds;       // 10, 12 or 14
};

// key_len 16, 24 or 32; false for any other length.
bool aes_setup(aes_key *k, const uint8_t *key, size_t key_len);
void aes_encrypt_block(const aes_key *k, const uint8_t in[16], uint8_t out[16]);
void aes_decrypt_block(const aes_key *k, const uint8_t in[16], uint8_t out[16]);

// CBC over n bytes (a multiple of 16), no padding; iv is advanced to the
// last cipher block so that calls chain. out may equal in.
void aes_cbc_encrypt(const aes_key *k, uint8_t iv[16], const uint8_t *in,
                     uint8_t *out, size_t n);
void aes_cbc_decrypt(const aes_key *k, uint8_t iv[16], const uint8_t *in,
                     uint8_t *out, size_t n);

// CBC with PKCS#5 padding: 1 to 16 bytes of value n appended, so the
// result is n rounded up to the next multiple of 16 (never equal).
std::vector<uint8_t> aes_cbc_encrypt_padded(const aes_key *k,
                                            const uint8_t iv[16],
                                            const uint8_t *in, size_t n);
// The reverse, lenient as readers of damaged files must be: a trailing
// partial block is dropped, and padding is removed only when it is valid
// (1 to 16 equal bytes); otherwise every decrypted byte is kept. Returns
// false only when fewer than 16 bytes remain.
bool aes_cbc_decrypt_padded(const aes_key *k, const uint8_t iv[16],
                            const uint8_t *in, size_t n,
                            std::vector<uint8_t> *out);
