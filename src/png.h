// PNG images: decoding any non-interlaced PNG to 8-bit RGBA, and encoding
// 8-bit RGBA as a simple PNG (IHDR, one IDAT, IEND).
//
// Process-wide state: the decoder's message buffer, the encoder's CRC table.
#pragma once

#include <cstddef>
#include <cstdint>

// Decodes the PNG file at `path` (UTF-8). Returns malloc'ed RGBA rows (top to
// bottom), *width and *height set; or NULL with *png_error pointing to the
// decoder's message (valid until the next failing call).
uint8_t *kp_png_decode(const char *path, int *width, int *height,
                       const char **png_error);
// The same for a PNG file image held in memory.
uint8_t *kp_png_decode_mem(const uint8_t *data, size_t len, int *width,
                           int *height, const char **png_error);

// Encodes RGBA pixels as a PNG file image (malloc'ed, caller frees), NULL on
// bad arguments or lack of memory; *out_len set only on success.
uint8_t *kp_png_encode(int width, int height, const uint8_t *rgba,
                       size_t *out_len);
// Encodes and writes to `path`; 1 when every byte was written.
int kp_png_write(const char *path, int width, int height, const uint8_t *rgba);
