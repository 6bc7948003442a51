// Bidirectional reordering of one line of text: the character classes, the
// resolution of weak and neutral types (paired brackets included), the
// embedding levels, the visual order and mirrored characters. Explicit
// embeddings and overrides (LRE, RLE, LRO, RLO, PDF) are ignored like
// boundary neutrals, and isolates (LRI, RLI, FSI, PDI) are taken as plain
// neutrals: a watermark line has no nested directional runs. No state.
#pragma once

#include <cstddef>
#include <cstdint>

enum bidi_class : uint8_t {
  BIDI_L, BIDI_R, BIDI_AL, BIDI_EN, BIDI_ES, BIDI_ET, BIDI_AN, BIDI_CS,
  BIDI_NSM, BIDI_BN, BIDI_B, BIDI_S, BIDI_WS, BIDI_ON, BIDI_LRE, BIDI_LRO,
  BIDI_RLE, BIDI_RLO, BIDI_PDF, BIDI_LRI, BIDI_RLI, BIDI_FSI, BIDI_PDI
};

bidi_class bidi_class_of(uint32_t cp);

// The mirrored glyph's character of cp (")" for "("), or cp itself.
uint32_t bidi_mirror(uint32_t cp);

// True when the line holds a character of class R, AL or AN: only then can
// the visual order differ from the logical one.
bool bidi_has_rtl(const uint32_t *cps, size_t n);

// Embedding level of each of the n characters (0 or 1 for the paragraph,
// up to 2 for numbers inside right-to-left text). `base` is the paragraph
// level, or -1 to take it from the first strong character. Characters that
// take no part (boundary neutrals, ignored controls) get their neighbour's
// level. Returns the paragraph level.
int bidi_levels(const uint32_t *cps, size_t n, int base, uint8_t *levels);

// Visual order from the levels: order[k] is the logical index of the k-th
// character from the left.
void bidi_reorder(const uint8_t *levels, size_t n, size_t *order);
