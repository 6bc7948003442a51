// Bidirectional reordering of one line: the steps of the Unicode
// bidirectional algorithm that a line without explicit embeddings needs.
// The line is one level run at the paragraph level, so the start and end of
// the run take the paragraph's direction; then the weak types (W1-W7), the
// paired brackets (N0), the other neutrals (N1, N2), the implicit levels
// (I1, I2), trailing white space (L1) and the reversal (L2). Characters of
// class BN and the explicit embedding controls are set aside first (X9) and
// get the level of the character before them.
//
// Format notes:
// - The bracket pairs are searched with a stack of 63 entries; when it
//   overflows no further pairs are taken, as the algorithm prescribes.
// - U+2329/U+232A and U+3008/U+3009 pair with each other (canonical
//   equivalents).
#include "bidi.h"

#include <algorithm>
#include <vector>

#include "unicode_tables.h"

bidi_class bidi_class_of(uint32_t cp) {
  return bidi_class(uc_range_value(uc_bidi_ranges, uc_bidi_ranges_len, cp, BIDI_L));
}

uint32_t bidi_mirror(uint32_t cp) {
  const uc_pair *end = uc_mirror_pairs + uc_mirror_pairs_len;
  const uc_pair *p = std::lower_bound(
      uc_mirror_pairs, end, cp,
      [](const uc_pair &a, uint32_t v) { return a.from < v; });
  return p != end && p->from == cp ? p->to : cp;
}

bool bidi_has_rtl(const uint32_t *cps, size_t n) {
  for (size_t i = 0; i < n; i++) {
    bidi_class c = bidi_class_of(cps[i]);
    if (c == BIDI_R || c == BIDI_AL || c == BIDI_AN) return true;
  }
  return false;
}

namespace {

bool removed(bidi_class c) {
  return c == BIDI_BN || (c >= BIDI_LRE && c <= BIDI_PDF);
}

bool neutral(bidi_class c) {
  return c == BIDI_B || c == BIDI_S || c == BIDI_WS || c == BIDI_ON ||
         c >= BIDI_LRI;
}

// L, or R for the classes that count as R among neutrals (R, AN, EN);
// BIDI_ON for anything else.
bidi_class strong_dir(bidi_class c) {
  if (c == BIDI_L) return BIDI_L;
  if (c == BIDI_R || c == BIDI_AL || c == BIDI_AN || c == BIDI_EN) return BIDI_R;
  return BIDI_ON;
}

const uc_bracket *bracket_of(uint32_t cp) {
  const uc_bracket *end = uc_brackets + uc_brackets_len;
  const uc_bracket *p = std::lower_bound(
      uc_brackets, end, cp,
      [](const uc_bracket &a, uint32_t v) { return a.cp < v; });
  return p != end && p->cp == cp ? p : nullptr;
}

uint32_t canonical_bracket(uint32_t cp) {
  if (cp == 0x2329) return 0x3008;
  if (cp == 0x232A) return 0x3009;
  return cp;
}

// N0 over the run t[0, n) of classes (after W1-W7), with the characters
// cps and the original classes orig.
void resolve_brackets(std::vector<bidi_class> &t, const std::vector<uint32_t> &cps,
                      const std::vector<bidi_class> &orig, bidi_class e) {
  struct open_entry {
    uint32_t pair;
    size_t pos;
  };
  std::vector<open_entry> stack;
  std::vector<std::pair<size_t, size_t>> pairs;
  const size_t n = t.size();
  for (size_t i = 0; i < n; i++) {
    if (t[i] != BIDI_ON) continue;
    const uc_bracket *b = bracket_of(cps[i]);
    if (!b) continue;
    if (b->opening) {
      if (stack.size() == 63) break;
      stack.push_back({canonical_bracket(b->pair), i});
    } else {
      uint32_t me = canonical_bracket(cps[i]);
      for (size_t k = stack.size(); k-- > 0;) {
        if (stack[k].pair == me) {
          pairs.push_back({stack[k].pos, i});
          stack.resize(k);
          break;
        }
      }
    }
  }
  std::sort(pairs.begin(), pairs.end());
  const bidi_class opposite = e == BIDI_L ? BIDI_R : BIDI_L;
  for (auto &p : pairs) {
    bool found_e = false, found_opp = false;
    for (size_t k = p.first + 1; k < p.second; k++) {
      bidi_class d = strong_dir(t[k]);
      if (d == e) found_e = true;
      else if (d == opposite) found_opp = true;
    }
    bidi_class set = BIDI_ON;
    if (found_e) {
      set = e;
    } else if (found_opp) {
      bidi_class before = e;  // sos: the paragraph direction
      for (size_t k = p.first; k-- > 0;) {
        bidi_class d = strong_dir(t[k]);
        if (d != BIDI_ON) {
          before = d;
          break;
        }
      }
      set = before == opposite ? opposite : e;
    }
    if (set == BIDI_ON) continue;
    t[p.first] = t[p.second] = set;
    for (size_t k = p.first + 1; k < n && orig[k] == BIDI_NSM; k++) t[k] = set;
    for (size_t k = p.second + 1; k < n && orig[k] == BIDI_NSM; k++) t[k] = set;
  }
}

}  // namespace

int bidi_levels(const uint32_t *cps, size_t n, int base, uint8_t *levels) {
  std::vector<size_t> idx;  // characters that take part
  std::vector<bidi_class> orig;
  std::vector<uint32_t> kept;
  idx.reserve(n);
  for (size_t i = 0; i < n; i++) {
    bidi_class c = bidi_class_of(cps[i]);
    if (removed(c)) continue;
    idx.push_back(i);
    orig.push_back(c);
    kept.push_back(cps[i]);
  }
  // P2, P3: the first strong character sets the paragraph level.
  int para = base;
  if (para != 0 && para != 1) {
    para = 0;
    for (bidi_class c : orig) {
      if (c == BIDI_L) break;
      if (c == BIDI_R || c == BIDI_AL) {
        para = 1;
        break;
      }
    }
  }
  const bidi_class e = para ? BIDI_R : BIDI_L;
  const size_t m = idx.size();
  std::vector<bidi_class> t(orig);

  // W1: NSM takes the class of the character before it (sos at the start).
  for (size_t i = 0; i < m; i++)
    if (t[i] == BIDI_NSM) t[i] = i == 0 ? e : (t[i - 1] >= BIDI_LRI ? BIDI_ON : t[i - 1]);
  // W2, W3: EN after AL is AN; AL is R.
  bidi_class last_strong = e;
  for (size_t i = 0; i < m; i++) {
    if (t[i] == BIDI_L || t[i] == BIDI_R || t[i] == BIDI_AL) last_strong = t[i];
    else if (t[i] == BIDI_EN && last_strong == BIDI_AL) t[i] = BIDI_AN;
  }
  for (size_t i = 0; i < m; i++)
    if (t[i] == BIDI_AL) t[i] = BIDI_R;
  // W4: a single separator between two numbers of the same kind.
  for (size_t i = 1; i + 1 < m; i++) {
    if (t[i] == BIDI_ES && t[i - 1] == BIDI_EN && t[i + 1] == BIDI_EN) t[i] = BIDI_EN;
    else if (t[i] == BIDI_CS && t[i - 1] == BIDI_EN && t[i + 1] == BIDI_EN) t[i] = BIDI_EN;
    else if (t[i] == BIDI_CS && t[i - 1] == BIDI_AN && t[i + 1] == BIDI_AN) t[i] = BIDI_AN;
  }
  // W5: terminators next to European numbers.
  for (size_t i = 0; i < m;) {
    if (t[i] != BIDI_ET) {
      i++;
      continue;
    }
    size_t j = i;
    while (j < m && t[j] == BIDI_ET) j++;
    bool next_to_en = (i > 0 && t[i - 1] == BIDI_EN) || (j < m && t[j] == BIDI_EN);
    if (next_to_en)
      for (size_t k = i; k < j; k++) t[k] = BIDI_EN;
    i = j;
  }
  // W6: the separators and terminators left are neutral.
  for (size_t i = 0; i < m; i++)
    if (t[i] == BIDI_ES || t[i] == BIDI_ET || t[i] == BIDI_CS) t[i] = BIDI_ON;
  // W7: European numbers after L (or sos L) are L.
  last_strong = e;
  for (size_t i = 0; i < m; i++) {
    if (t[i] == BIDI_L || t[i] == BIDI_R) last_strong = t[i];
    else if (t[i] == BIDI_EN && last_strong == BIDI_L) t[i] = BIDI_L;
  }
  resolve_brackets(t, kept, orig, e);
  // N1, N2: neutrals between two strong characters of the same direction
  // take it; the others take the paragraph's.
  for (size_t i = 0; i < m;) {
    if (!neutral(t[i])) {
      i++;
      continue;
    }
    size_t j = i;
    while (j < m && neutral(t[j])) j++;
    bidi_class before = i == 0 ? e : strong_dir(t[i - 1]);
    bidi_class after = j == m ? e : strong_dir(t[j]);
    bidi_class set = before == after ? before : e;
    for (size_t k = i; k < j; k++) t[k] = set;
    i = j;
  }
  // I1, I2.
  std::vector<uint8_t> lv(m);
  for (size_t i = 0; i < m; i++) {
    int l = para;
    if (para == 0) {
      if (t[i] == BIDI_R) l = 1;
      else if (t[i] == BIDI_AN || t[i] == BIDI_EN) l = 2;
    } else if (t[i] == BIDI_L || t[i] == BIDI_EN || t[i] == BIDI_AN) {
      l = 2;
    }
    lv[i] = uint8_t(l);
  }
  // L1: separators and the white space before them or at the end of the
  // line go back to the paragraph level.
  bool trailing = true;
  for (size_t i = m; i-- > 0;) {
    bidi_class c = orig[i];
    if (c == BIDI_S || c == BIDI_B) {
      lv[i] = uint8_t(para);
      trailing = true;
    } else if (c == BIDI_WS || c >= BIDI_LRI) {
      if (trailing) lv[i] = uint8_t(para);
    } else {
      trailing = false;
    }
  }
  // The characters set aside: the level before them, the paragraph's at the
  // start and after the last character.
  size_t k = 0;
  uint8_t prev = uint8_t(para);
  for (size_t i = 0; i < n; i++) {
    if (k < m && idx[k] == i) {
      prev = lv[k];
      levels[i] = lv[k++];
    } else {
      levels[i] = k == m ? uint8_t(para) : prev;
    }
  }
  return para;
}

void bidi_reorder(const uint8_t *levels, size_t n, size_t *order) {
  uint8_t high = 0, low_odd = 255;
  for (size_t i = 0; i < n; i++) {
    order[i] = i;
    high = std::max(high, levels[i]);
    if (levels[i] % 2) low_odd = std::min(low_odd, levels[i]);
  }
  if (low_odd == 255) return;
  for (int l = high; l >= low_odd; l--) {
    for (size_t i = 0; i < n;) {
      if (levels[order[i]] < l) {
        i++;
        continue;
      }
      size_t j = i;
      while (j < n && levels[order[j]] >= l) j++;
      std::reverse(order + i, order + j);
      i = j;
    }
  }
}
