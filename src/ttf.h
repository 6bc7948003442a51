// TrueType table reader: table lookup and copy, cmap lookup (formats 4, 6,
// 12, plus 0 and 10), advance widths, a font summary and two code page
// converters. Every read is checked against the font's length; nothing here
// sets the error text and nothing keeps state.
#pragma once

#include <cstddef>
#include <cstdint>

struct ttf_bytes {
  uint8_t *data;  // malloc'ed copy, caller frees
  size_t len;
};

struct ttf_face_info {
  int units_per_em;
  int num_glyphs;
  char family[128];
  int valid;
};

// 1 with a fresh copy of the table named by the 4-character tag, else 0 with
// *out empty.
int ttf_table(const uint8_t *data, size_t len, const char *tag,
              ttf_bytes *out);
// Glyph id (0 is the missing-glyph shape, a real answer), or -1.
int32_t ttf_unicode_to_gid(const uint8_t *data, size_t len, uint32_t cp);
// The same, then the font's full-repertoire format 12 subtable for a
// character the first lookup does not map (for user fonts).
int32_t ttf_unicode_to_gid_full(const uint8_t *data, size_t len, uint32_t cp);
// Advance width in font units (0..65535), or -1.
int32_t ttf_advance(const uint8_t *data, size_t len, int gid);
int ttf_info(const uint8_t *data, size_t len, ttf_face_info *out);
// Code page tables: Windows-1252 (256 entries) and the upper half of Mac OS
// Roman (bytes 0x80..0xFF); 0xFFFF marks an undefined byte.
extern const uint32_t winansi_map[256];
extern const uint32_t mac_roman_hi[128];
// Code point of a Windows-1252 / Mac OS Roman byte, or -1 (undefined byte or
// a value outside 0..255).
int32_t winansi_to_unicode(int b);
int32_t macroman_to_unicode(int b);
