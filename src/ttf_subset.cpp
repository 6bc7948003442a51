// TrueType subsetter. Reads the tables a glyph outline needs (loca, glyf,
// hmtx) in place, with every offset checked against the font's length, and
// writes a new sfnt of the kept glyphs.
//
// Format notes:
// - A composite glyph (numberOfContours < 0) names its components by glyph
//   id; the closure over them is found with a work list (a cycle ends there,
//   since a glyph is queued once) and every component id is rewritten to its
//   new number in the copied bytes.
// - The whole font's head is kept, flags included: renderers place unhinted
//   outlines by bit 3 (integer ppem) and the lsb bit, so a new head would
//   move glyphs by a pixel.
// - Glyphs are padded to 4 bytes; short loca offsets (half the offset) are
//   used while the glyf table stays under 128 KiB.
// - hmtx keeps full records up to the last change of advance; the glyphs
//   after it share that advance and store only their lsb.
// Follows the OpenType 'glyf', 'loca', 'hmtx', 'cmap' format 4 and 'post'
// version 3 tables and the sfnt directory and checksum rules.
#include "ttf_subset.h"

#include <algorithm>
#include <cstring>

namespace {

struct table_ref {
  uint32_t off;
  uint32_t len;
  bool found;
};

uint32_t be16(const uint8_t *p) { return (uint32_t(p[0]) << 8) | p[1]; }
uint32_t be32(const uint8_t *p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) |
         (uint32_t(p[2]) << 8) | p[3];
}
void put16(std::vector<uint8_t> &b, uint32_t v) {
  b.push_back(uint8_t(v >> 8));
  b.push_back(uint8_t(v));
}
void put32(std::vector<uint8_t> &b, uint32_t v) {
  put16(b, v >> 16);
  put16(b, v & 0xFFFF);
}
void set16(std::vector<uint8_t> &b, size_t at, uint32_t v) {
  b[at] = uint8_t(v >> 8);
  b[at + 1] = uint8_t(v);
}
void set32(std::vector<uint8_t> &b, size_t at, uint32_t v) {
  set16(b, at, v >> 16);
  set16(b, at + 2, v & 0xFFFF);
}

table_ref find(const uint8_t *data, size_t len, const char tag[4]) {
  table_ref t{0, 0, false};
  if (len < 12) return t;
  uint32_t num = be16(data + 4);
  if (12 + 16 * uint64_t(num) > len) return t;
  for (uint32_t i = 0; i < num; i++) {
    const uint8_t *rec = data + 12 + 16 * size_t(i);
    if (memcmp(rec, tag, 4) != 0) continue;
    uint32_t o = be32(rec + 8), l = be32(rec + 12);
    if (uint64_t(o) + l > len) return t;
    t = {o, l, true};
    return t;
  }
  return t;
}

// What the subsetter reads of the whole font.
struct source {
  const uint8_t *data;
  size_t len;
  table_ref head, hhea, maxp, hmtx, loca, glyf;
  uint32_t num_glyphs;
  uint32_t num_hmetrics;
  bool long_loca;
};

// The bytes of glyph `g` inside glyf: [*off, *off + *glen). False when loca
// is out of order or points outside glyf.
bool glyph_range(const source &s, uint32_t g, uint32_t *off, uint32_t *glen) {
  uint32_t a, b;
  const uint8_t *loca = s.data + s.loca.off;
  if (s.long_loca) {
    a = be32(loca + 4 * size_t(g));
    b = be32(loca + 4 * size_t(g) + 4);
  } else {
    a = 2 * be16(loca + 2 * size_t(g));
    b = 2 * be16(loca + 2 * size_t(g) + 2);
  }
  if (b < a || b > s.glyf.len) return false;
  *off = s.glyf.off + a;
  *glen = b - a;
  return true;
}

// Calls fn(position of the glyph id field) for each component of a
// composite glyph; false when the records run past the glyph.
template <class Fn>
bool each_component(const uint8_t *g, uint32_t glen, Fn fn) {
  uint32_t p = 10;
  for (int guard = 0; guard < 65536; guard++) {
    if (p + 4 > glen) return false;
    uint32_t flags = be16(g + p);
    fn(p + 2);
    p += 4;
    p += (flags & 0x0001) ? 4 : 2;          // ARG_1_AND_2_ARE_WORDS
    if (flags & 0x0008) p += 2;             // WE_HAVE_A_SCALE
    else if (flags & 0x0040) p += 4;        // WE_HAVE_AN_X_AND_Y_SCALE
    else if (flags & 0x0080) p += 8;        // WE_HAVE_A_TWO_BY_TWO
    if (!(flags & 0x0020)) return p <= glen;  // MORE_COMPONENTS
  }
  return false;
}

bool is_composite(const uint8_t *g, uint32_t glen) {
  return glen >= 10 && (g[0] & 0x80);
}

// Advance and lsb of glyph g, or false when hmtx is too short.
bool metrics(const source &s, uint32_t g, uint32_t *adv, uint32_t *lsb) {
  const uint8_t *h = s.data + s.hmtx.off;
  uint32_t n = s.num_hmetrics;
  if (g < n) {
    *adv = be16(h + 4 * size_t(g));
    *lsb = be16(h + 4 * size_t(g) + 2);
    return true;
  }
  *adv = be16(h + 4 * size_t(n - 1));
  uint64_t at = 4 * uint64_t(n) + 2 * uint64_t(g - n);
  if (at + 2 > s.hmtx.len) {
    *lsb = 0;  // a short lsb array: the outline's xMin is what counts
    return true;
  }
  *lsb = be16(h + at);
  return true;
}

uint32_t checksum(const uint8_t *p, size_t n) {
  uint32_t sum = 0;
  size_t i = 0;
  for (; i + 4 <= n; i += 4) sum += be32(p + i);
  if (i < n) {
    uint8_t last[4] = {0, 0, 0, 0};
    memcpy(last, p + i, n - i);
    sum += be32(last);
  }
  return sum;
}

// Format 4 subtable: a segment per stretch of codes whose glyph ids rise
// with them (one idDelta each), then the closing 0xFFFF segment.
std::vector<uint8_t> cmap_table(std::vector<std::pair<uint32_t, uint16_t>> m) {
  std::sort(m.begin(), m.end());
  m.erase(std::unique(m.begin(), m.end(),
                      [](const std::pair<uint32_t, uint16_t> &a,
                         const std::pair<uint32_t, uint16_t> &b) {
                        return a.first == b.first;
                      }),
          m.end());
  struct seg {
    uint32_t start, end;
    uint16_t delta;
  };
  std::vector<seg> segs;
  for (auto &e : m) {
    uint16_t delta = uint16_t(e.second - e.first);
    if (!segs.empty() && segs.back().end + 1 == e.first &&
        segs.back().delta == delta)
      segs.back().end = e.first;
    else
      segs.push_back({e.first, e.first, delta});
  }
  if (segs.empty() || segs.back().end != 0xFFFF) segs.push_back({0xFFFF, 0xFFFF, 1});
  uint32_t n = uint32_t(segs.size());
  uint32_t range = 1, selector = 0;
  while (range * 2 <= n) range *= 2, selector++;
  std::vector<uint8_t> sub;
  put16(sub, 4);
  put16(sub, 16 + 8 * n);  // length
  put16(sub, 0);           // language
  put16(sub, 2 * n);
  put16(sub, 2 * range);
  put16(sub, selector);
  put16(sub, 2 * n - 2 * range);
  for (auto &g : segs) put16(sub, g.end);
  put16(sub, 0);
  for (auto &g : segs) put16(sub, g.start);
  for (auto &g : segs) put16(sub, g.delta);
  for (size_t i = 0; i < segs.size(); i++) put16(sub, 0);
  std::vector<uint8_t> t;
  put16(t, 0);
  put16(t, 1);
  put16(t, 3);  // Windows
  put16(t, 1);  // Unicode BMP
  put32(t, 12);
  t.insert(t.end(), sub.begin(), sub.end());
  return t;
}

int fail(const char **why, const char *reason) {
  *why = reason;
  return 0;
}

}  // namespace

int ttf_subset(const uint8_t *data, size_t len, const uint16_t *gids,
               size_t gid_num, const ttf_cmap_pair *pairs, size_t pair_num,
               ttf_subset_out *out, const char **why) {
  out->font.clear();
  out->old_gids.clear();
  source s{};
  s.data = data;
  s.len = len;
  if (!data || len < 12) return fail(why, "not a TrueType font");
  s.head = find(data, len, "head");
  s.hhea = find(data, len, "hhea");
  s.maxp = find(data, len, "maxp");
  s.hmtx = find(data, len, "hmtx");
  s.loca = find(data, len, "loca");
  s.glyf = find(data, len, "glyf");
  if (!s.glyf.found || !s.loca.found)
    return fail(why, "the font has no glyf outlines");
  if (!s.head.found || s.head.len < 54 || !s.hhea.found || s.hhea.len < 36 ||
      !s.maxp.found || s.maxp.len < 6 || !s.hmtx.found)
    return fail(why, "the font lacks head, hhea, maxp or hmtx");
  s.num_glyphs = be16(data + s.maxp.off + 4);
  s.num_hmetrics = be16(data + s.hhea.off + 34);
  s.long_loca = be16(data + s.head.off + 50) != 0;
  if (s.num_glyphs == 0) return fail(why, "the font has no glyphs");
  if (s.num_hmetrics == 0 || s.num_hmetrics > s.num_glyphs ||
      s.hmtx.len < 4 * uint64_t(s.num_hmetrics))
    return fail(why, "the font's hmtx table is damaged");
  if (s.loca.len < (uint64_t(s.num_glyphs) + 1) * (s.long_loca ? 4 : 2))
    return fail(why, "the font's loca table is too short");

  // The closure: .notdef, the asked glyphs, their components.
  std::vector<uint8_t> keep(s.num_glyphs, 0);
  std::vector<uint32_t> work;
  work.reserve(gid_num + 1);
  keep[0] = 1;
  work.push_back(0);
  for (size_t i = 0; i < gid_num; i++) {
    if (gids[i] >= s.num_glyphs) return fail(why, "a glyph id lies past the font's glyphs");
    if (!keep[gids[i]]) {
      keep[gids[i]] = 1;
      work.push_back(gids[i]);
    }
  }
  while (!work.empty()) {
    uint32_t g = work.back();
    work.pop_back();
    uint32_t off, glen;
    if (!glyph_range(s, g, &off, &glen)) return fail(why, "the font's loca table is damaged");
    const uint8_t *p = data + off;
    if (!is_composite(p, glen)) continue;
    bool bad = false;
    if (!each_component(p, glen, [&](uint32_t at) {
          uint32_t c = be16(p + at);
          if (c >= s.num_glyphs) {
            bad = true;
          } else if (!keep[c]) {
            keep[c] = 1;
            work.push_back(c);
          }
        }) || bad)
      return fail(why, "a composite glyph of the font is damaged");
  }
  for (uint32_t g = 0; g < s.num_glyphs; g++)
    if (keep[g]) out->old_gids.push_back(uint16_t(g));
  const size_t n = out->old_gids.size();

  // glyf and loca offsets.
  std::vector<uint8_t> glyf;
  std::vector<uint32_t> offsets;
  offsets.reserve(n + 1);
  for (size_t i = 0; i < n; i++) {
    offsets.push_back(uint32_t(glyf.size()));
    uint32_t off, glen;
    glyph_range(s, out->old_gids[i], &off, &glen);
    size_t at = glyf.size();
    glyf.insert(glyf.end(), data + off, data + off + glen);
    if (is_composite(data + off, glen)) {
      each_component(data + off, glen, [&](uint32_t p) {
        int32_t ng = ttf_subset_gid(out, uint16_t(be16(data + off + p)));
        set16(glyf, at + p, uint32_t(ng));
      });
    }
    while (glyf.size() % 4) glyf.push_back(0);
  }
  offsets.push_back(uint32_t(glyf.size()));
  const bool long_loca = glyf.size() >= 0x20000;
  std::vector<uint8_t> loca;
  for (uint32_t o : offsets) {
    if (long_loca) put32(loca, o);
    else put16(loca, o / 2);
  }

  // hmtx: full records up to the last change of advance.
  std::vector<uint32_t> adv(n), lsb(n);
  for (size_t i = 0; i < n; i++) metrics(s, out->old_gids[i], &adv[i], &lsb[i]);
  size_t full = n;
  while (full > 1 && adv[full - 1] == adv[full - 2]) full--;
  std::vector<uint8_t> hmtx;
  for (size_t i = 0; i < n; i++) {
    if (i < full) put16(hmtx, adv[i]);
    put16(hmtx, lsb[i]);
  }

  std::vector<uint8_t> head(data + s.head.off, data + s.head.off + s.head.len);
  set32(head, 8, 0);  // checkSumAdjustment, set below
  set16(head, 50, long_loca ? 1 : 0);
  std::vector<uint8_t> hhea(data + s.hhea.off, data + s.hhea.off + s.hhea.len);
  set16(hhea, 34, uint32_t(full));
  std::vector<uint8_t> maxp(data + s.maxp.off, data + s.maxp.off + s.maxp.len);
  set16(maxp, 4, uint32_t(n));

  std::vector<std::pair<uint32_t, uint16_t>> map;
  for (size_t i = 0; i < pair_num; i++) {
    int32_t ng = ttf_subset_gid(out, pairs[i].gid);
    if (ng > 0 && pairs[i].code <= 0xFFFF) map.push_back({pairs[i].code, uint16_t(ng)});
  }
  std::vector<uint8_t> cmap = cmap_table(map);

  // post version 3: the whole font's angle and underline, no names.
  std::vector<uint8_t> post(32, 0);
  table_ref old_post = find(data, len, "post");
  if (old_post.found && old_post.len >= 32)
    memcpy(post.data(), data + old_post.off, 32);
  set32(post, 0, 0x00030000);
  for (int i = 16; i < 32; i++) post[size_t(i)] = 0;  // memory hints

  struct out_table {
    const char *tag;
    const uint8_t *p;
    size_t len;
  };
  std::vector<out_table> tables = {
      {"cmap", cmap.data(), cmap.size()}, {"glyf", glyf.data(), glyf.size()},
      {"head", head.data(), head.size()}, {"hhea", hhea.data(), hhea.size()},
      {"hmtx", hmtx.data(), hmtx.size()}, {"loca", loca.data(), loca.size()},
      {"maxp", maxp.data(), maxp.size()}, {"post", post.data(), post.size()},
  };
  for (const char *tag : {"cvt ", "fpgm", "prep"}) {
    table_ref t = find(data, len, tag);
    if (t.found && t.len > 0) tables.push_back({tag, data + t.off, t.len});
  }
  std::sort(tables.begin(), tables.end(), [](const out_table &a, const out_table &b) {
    return memcmp(a.tag, b.tag, 4) < 0;
  });

  const uint32_t num = uint32_t(tables.size());
  uint32_t range = 1, selector = 0;
  while (range * 2 <= num) range *= 2, selector++;
  std::vector<uint8_t> &f = out->font;
  size_t total = 12 + 16 * size_t(num);
  for (auto &t : tables) total += (t.len + 3) & ~size_t(3);
  f.reserve(total);
  put32(f, 0x00010000);
  put16(f, num);
  put16(f, 16 * range);
  put16(f, selector);
  put16(f, 16 * num - 16 * range);
  size_t at = 12 + 16 * size_t(num);
  size_t head_at = 0;
  for (auto &t : tables) {
    f.insert(f.end(), t.tag, t.tag + 4);
    put32(f, checksum(t.p, t.len));
    put32(f, uint32_t(at));
    put32(f, uint32_t(t.len));
    if (memcmp(t.tag, "head", 4) == 0) head_at = at;
    at += (t.len + 3) & ~size_t(3);
  }
  for (auto &t : tables) {
    f.insert(f.end(), t.p, t.p + t.len);
    while (f.size() % 4) f.push_back(0);
  }
  set32(f, head_at + 8, 0xB1B0AFBAu - checksum(f.data(), f.size()));
  return 1;
}

int32_t ttf_subset_gid(const ttf_subset_out *s, uint16_t old_gid) {
  auto it = std::lower_bound(s->old_gids.begin(), s->old_gids.end(), old_gid);
  if (it == s->old_gids.end() || *it != old_gid) return -1;
  return int32_t(it - s->old_gids.begin());
}

void ttf_subset_tag(const ttf_subset_out *s, const char *name, char tag[7]) {
  // FNV-1a over the name and the kept old glyph ids.
  uint32_t h = 2166136261u;
  for (const char *p = name; p && *p; p++) h = (h ^ uint8_t(*p)) * 16777619u;
  for (uint16_t g : s->old_gids) {
    h = (h ^ (g & 0xFF)) * 16777619u;
    h = (h ^ (g >> 8)) * 16777619u;
  }
  for (int i = 0; i < 6; i++) {
    tag[i] = char('A' + h % 26);
    h /= 26;
  }
  tag[6] = 0;
}
