// The Deflate codec: raw Deflate decoding into a caller's buffer (RFC 1951)
// and compression into complete zlib streams (RFC 1950).
//
// Process-wide state: the inflater's bit buffer and length arrays, the
// compressor's hash tables. Neither function is reentrant.
#pragma once

#include <cstddef>
#include <cstdint>

// RFC 1951 3.2.5 and 3.2.7.
extern const int32_t d_len_base[29];
extern const int32_t d_len_extra[29];
extern const int32_t d_dist_base[30];
extern const int32_t d_dist_extra[30];
extern const int32_t d_bl_order[19];

// Decodes raw Deflate data (no zlib header) into dst. Returns the number of
// bytes written once a final block has been decoded; -2 when the output
// needs more than dst_cap (or 2 GiB or more) and the data decoded so far
// was sound, so more room may succeed (dst then holds the output's first
// dst_cap bytes, or its first 2 GiB - 1); -1 for damaged or truncated
// data, which no larger buffer mends. Never reads past src_len, never
// writes past dst_cap, allocates nothing.
int kp_inflate(const uint8_t *src, size_t src_len, uint8_t *dst,
               size_t dst_cap);

// Compresses src into a complete zlib stream (header 78 01, dynamic-Huffman
// blocks of 64 KiB input each, Adler-32 trailer). 0 on success with *out a
// malloc'ed buffer the caller frees; -1 when memory runs out (*out and
// *out_len untouched).
int kp_deflate(const uint8_t *src, size_t src_len, uint8_t **out,
               size_t *out_len);

// Adler-32 (RFC 1950) of a buffer, starting from 1.
uint32_t kp_adler32(const uint8_t *p, size_t n);
