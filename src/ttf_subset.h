// TrueType subsetter: a font file reduced to the glyphs a text uses, for
// embedding in a PDF. Keeps .notdef, the asked glyphs and every component of
// their composite glyphs, renumbered compactly in the order of their old
// glyph ids; writes head (flags and all, only the loca format and checksum
// adjustment change), hhea, maxp, hmtx, loca, glyf, the hinting tables
// (cvt, fpgm, prep) where present, a small format 4 cmap and a post table
// without glyph names. No state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct ttf_cmap_pair {
  uint32_t code;  // code point
  uint16_t gid;   // glyph id in the whole font
};

struct ttf_subset_out {
  std::vector<uint8_t> font;       // the subset font file
  std::vector<uint16_t> old_gids;  // new glyph id -> old glyph id, rising
};

// Builds the subset of the font data[0, len) holding the glyphs `gids`
// (duplicates allowed; ids at or past the font's glyph count are refused).
// `pairs` become the cmap of the subset (codes above U+FFFF are left out).
// 1 on success; 0 with *why a static reason.
int ttf_subset(const uint8_t *data, size_t len, const uint16_t *gids,
               size_t gid_num, const ttf_cmap_pair *pairs, size_t pair_num,
               ttf_subset_out *out, const char **why);

// New glyph id of an old one kept in the subset, or -1.
int32_t ttf_subset_gid(const ttf_subset_out *s, uint16_t old_gid);

// The six capital letters that mark a subset font's name ("ABCDEF" of
// ABCDEF+Name), derived from the kept glyphs and the name, so the same
// glyphs of the same font always get the same tag. `tag` gets 7 bytes.
void ttf_subset_tag(const ttf_subset_out *s, const char *name, char tag[7]);
