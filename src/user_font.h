// The user's own font file: a TrueType font (.ttf) or the first face of a
// collection (.ttc), checked for glyf outlines and for the licence bits that
// govern embedding (OS/2 fsType) before the text plan draws with it.
#pragma once

#include <cstddef>
#include <cstdint>

struct user_font {
  uint8_t *data;  // malloc'ed standalone font file (a collection's face copied out)
  size_t len;
  char name[64];  // the family name with only letters, digits and '-'
  int no_subset;  // 1 when the licence forbids subsetting: embedded whole
};

// Reads and checks the font at `path`. 1 on success; 0 with the error text
// set and *out empty. OpenType CFF fonts, bitmap-only embedding and
// restricted-licence fonts are refused.
int user_font_load(const char *path, user_font *out);
// Same checks on bytes in memory (copied).
int user_font_from_bytes(const uint8_t *data, size_t len, const char *what,
                         user_font *out);
void user_font_free(user_font *f);
