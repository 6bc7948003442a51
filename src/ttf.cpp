// TrueType table reader: where a table lies and a copy of it, the glyph of a
// Unicode code point (cmap formats 0, 4, 6, 10 and 12), advance widths, a
// font summary and two single-byte code page converters. Works on the big
// endian bytes in place and keeps no state; every read is checked against
// the font's length (and each cmap read against the cmap table's length).
// Follows the OpenType 'cmap', 'hhea', 'hmtx', 'maxp' and 'name' tables.
#include "ttf.h"

#include <cstdlib>
#include <cstring>

// ---- bounded big-endian reads --------------------------------------------
// Each reader answers false when the field does not lie wholly inside
// [0, len); offsets are 64-bit so that offset + size never wraps.

static bool rd16(const uint8_t *p, uint64_t len, uint64_t off, uint32_t *v) {
  if (off > len || len - off < 2) return false;
  *v = (uint32_t(p[off]) << 8) | p[off + 1];
  return true;
}

static bool rd32(const uint8_t *p, uint64_t len, uint64_t off, uint32_t *v) {
  if (off > len || len - off < 4) return false;
  *v = (uint32_t(p[off]) << 24) | (uint32_t(p[off + 1]) << 16) |
       (uint32_t(p[off + 2]) << 8) | p[off + 3];
  return true;
}

// ---- table directory -----------------------------------------------------

// The first record with the tag decides: if it runs past the data the table
// counts as missing, even when a later record of the same tag would fit.
static int find_table(const uint8_t *data, size_t len, const char tag[4],
                      uint32_t *off, uint32_t *tlen) {
  uint32_t num = 0;
  if (!data || len < 12 || !rd16(data, len, 4, &num) || num == 0) return 0;
  if (12 + 16 * uint64_t(num) > len) return 0;
  for (uint32_t i = 0; i < num; i++) {
    const uint8_t *rec = data + 12 + 16 * size_t(i);
    if (memcmp(rec, tag, 4) != 0) continue;
    uint32_t o = 0, l = 0;
    rd32(data, len, 12 + 16 * uint64_t(i) + 8, &o);
    rd32(data, len, 12 + 16 * uint64_t(i) + 12, &l);
    if (uint64_t(o) + l > len) return 0;
    *off = o;
    *tlen = l;
    return 1;
  }
  return 0;
}

int ttf_table(const uint8_t *data, size_t len, const char *tag,
              ttf_bytes *out) {
  out->data = nullptr;
  out->len = 0;
  if (!tag || strlen(tag) != 4) return 0;
  uint32_t off = 0, tlen = 0;
  if (!find_table(data, len, tag, &off, &tlen)) return 0;
  uint8_t *copy = static_cast<uint8_t *>(malloc(tlen ? tlen : 1));
  if (!copy) return 0;
  if (tlen) memcpy(copy, data + off, tlen);
  out->data = copy;
  out->len = tlen;
  return 1;
}

// ---- cmap ----------------------------------------------------------------
// Subtable choice: Windows Unicode BMP, then Windows Symbol, then Unicode
// BMP / full repertoire, then Macintosh. Formats 0 and 10 are read too and
// rank like the others; Windows encoding 10 (UCS-4) is never chosen, as
// every font that has it also has the (3,1) subtable.

static int subtable_rank(uint32_t platform, uint32_t encoding,
                         uint32_t format) {
  bool unicode_format = format == 0 || format == 4 || format == 6 ||
                        format == 10 || format == 12;
  if (platform == 3 && encoding == 1 && unicode_format) return 1;
  if (platform == 3 && encoding == 0 && unicode_format) return 2;
  if (platform == 0 && (encoding == 3 || encoding == 4) && unicode_format)
    return 3;
  if (platform == 1) {
    if (format == 4) return 6;
    if (format == 0) return 7;
    if (format == 6) return 8;
  }
  return 0;
}

// Format 4: segments of 16-bit codes, binary searched on endCode.
static int32_t cmap_format4(const uint8_t *t, uint64_t tl, uint64_t s,
                            uint32_t cp) {
  uint32_t seg_x2;
  if (!rd16(t, tl, s + 6, &seg_x2) || seg_x2 < 2) return -1;
  uint64_t seg_count = seg_x2 / 2;
  uint64_t end_at = s + 14, start_at = s + 16 + seg_x2;
  uint64_t delta_at = s + 16 + 2 * uint64_t(seg_x2);
  uint64_t range_at = s + 16 + 3 * uint64_t(seg_x2);
  uint64_t lo = 0, hi = seg_count - 1;
  while (lo < hi) {
    uint64_t mid = (lo + hi) / 2;
    uint32_t end = 0;
    if (!rd16(t, tl, end_at + 2 * mid, &end)) return -1;
    if (end < cp)
      lo = mid + 1;
    else
      hi = mid;
  }
  uint32_t start = 0, end = 0, delta = 0, range = 0;
  if (!rd16(t, tl, start_at + 2 * lo, &start) ||
      !rd16(t, tl, end_at + 2 * lo, &end))
    return -1;
  if (start > cp || end < cp) return -1;
  if (!rd16(t, tl, delta_at + 2 * lo, &delta) ||
      !rd16(t, tl, range_at + 2 * lo, &range))
    return -1;
  if (range == 0) return int32_t((cp + delta) & 0xFFFF);
  uint64_t at = range_at + 2 * lo + range + 2 * uint64_t(cp - start);
  uint32_t gid = 0;
  if (!rd16(t, tl, at, &gid) || gid == 0) return -1;
  return int32_t((gid + delta) & 0xFFFF);
}

// Format 6 (u16 codes) and format 10 (u32 codes): one trimmed array of glyph
// ids from firstCode on. A zero entry means no glyph.
static int32_t cmap_trimmed(const uint8_t *t, uint64_t tl, uint64_t first,
                            uint64_t count, uint64_t array_at, uint32_t cp) {
  if (cp < first || cp - first >= count) return -1;
  if (array_at > tl || (tl - array_at) / 2 < count) return -1;
  uint32_t gid = 0;
  if (!rd16(t, tl, array_at + 2 * (cp - first), &gid) || gid == 0) return -1;
  return int32_t(gid);
}

static int32_t cmap_format12(const uint8_t *t, uint64_t tl, uint64_t s,
                             uint32_t cp) {
  uint32_t groups = 0;
  if (!rd32(t, tl, s + 12, &groups) || groups == 0) return -1;
  if (s + 16 + 12 * uint64_t(groups) > tl) return -1;
  for (uint64_t g = 0; g < groups; g++) {
    uint64_t at = s + 16 + 12 * g;
    uint32_t first = 0, last = 0, gid = 0;
    rd32(t, tl, at, &first);
    rd32(t, tl, at + 4, &last);
    rd32(t, tl, at + 8, &gid);
    if (first <= cp && cp <= last) {
      uint64_t r = uint64_t(gid) + (cp - first);
      return r > 0x7FFFFFFF ? -1 : int32_t(r);
    }
  }
  return -1;
}

int32_t ttf_unicode_to_gid(const uint8_t *data, size_t len, uint32_t cp) {
  uint32_t off, tl32;
  if (!find_table(data, len, "cmap", &off, &tl32)) return -1;
  const uint8_t *t = data + off;
  uint64_t tl = tl32;
  uint32_t num = 0;
  if (tl < 6 || !rd16(t, tl, 2, &num) || num == 0) return -1;

  int best_rank = 0;
  uint64_t best = 0;
  uint32_t best_format = 0;
  for (uint32_t i = 0; i < num; i++) {
    uint64_t rec = 4 + 8 * uint64_t(i);
    uint32_t platform = 0, encoding = 0, sub = 0, format = 0;
    if (!rd16(t, tl, rec, &platform) || !rd16(t, tl, rec + 2, &encoding) ||
        !rd32(t, tl, rec + 4, &sub))
      break;
    if (uint64_t(sub) + 2 > tl) continue;
    rd16(t, tl, sub, &format);
    int rank = subtable_rank(platform, encoding, format);
    if (rank != 0 && (best_rank == 0 || rank < best_rank)) {
      best_rank = rank;
      best = sub;
      best_format = format;
    }
  }
  if (best_rank == 0) return -1;

  switch (best_format) {
    case 0: {
      // 256 byte-sized glyph ids from offset 6.
      if (cp > 255 || best + 6 + cp >= tl) return -1;
      uint8_t gid = t[best + 6 + cp];
      return gid == 0 ? -1 : int32_t(gid);
    }
    case 4:
      return cmap_format4(t, tl, best, cp);
    case 6: {
      uint32_t first = 0, count = 0;
      if (cp > 0xFFFF || !rd16(t, tl, best + 6, &first) ||
          !rd16(t, tl, best + 8, &count))
        return -1;
      return cmap_trimmed(t, tl, first, count, best + 10, cp);
    }
    case 10: {
      uint32_t first = 0, count = 0;
      if (!rd32(t, tl, best + 12, &first) || !rd32(t, tl, best + 16, &count))
        return -1;
      return cmap_trimmed(t, tl, first, count, best + 20, cp);
    }
    case 12:
      return cmap_format12(t, tl, best, cp);
    default:
      return -1;
  }
}

// A user's font may map characters beyond U+FFFF only in a format 12
// subtable for the full repertoire (Windows UCS-4, Unicode full), which the
// choice above never takes, or have no other subtable at all: a character
// the chosen subtable does not map is looked up there.
int32_t ttf_unicode_to_gid_full(const uint8_t *data, size_t len, uint32_t cp) {
  const int32_t g = ttf_unicode_to_gid(data, len, cp);
  if (g > 0) return g;
  uint32_t off, tl32;
  if (!find_table(data, len, "cmap", &off, &tl32)) return g;
  const uint8_t *t = data + off;
  const uint64_t tl = tl32;
  uint32_t num = 0;
  if (tl < 6 || !rd16(t, tl, 2, &num)) return g;
  for (uint32_t i = 0; i < num; i++) {
    const uint64_t rec = 4 + 8 * uint64_t(i);
    uint32_t platform = 0, encoding = 0, sub = 0, format = 0;
    if (!rd16(t, tl, rec, &platform) || !rd16(t, tl, rec + 2, &encoding) ||
        !rd32(t, tl, rec + 4, &sub))
      break;
    if (uint64_t(sub) + 2 > tl || !rd16(t, tl, sub, &format) || format != 12) continue;
    if ((platform == 3 && encoding == 10) || (platform == 0 && encoding == 4)) {
      const int32_t f = cmap_format12(t, tl, sub, cp);
      return f > 0 ? f : g;
    }
  }
  return g;
}

// ---- metrics -------------------------------------------------------------

int32_t ttf_advance(const uint8_t *data, size_t len, int gid) {
  uint32_t hhea = 0, hhea_len = 0, maxp = 0, maxp_len = 0, hmtx = 0, hmtx_len = 0;
  if (!find_table(data, len, "hhea", &hhea, &hhea_len) || hhea_len < 36)
    return -1;
  if (!find_table(data, len, "maxp", &maxp, &maxp_len) || maxp_len < 6)
    return -1;
  uint32_t num_glyphs = 0, n = 0;
  rd16(data, len, uint64_t(maxp) + 4, &num_glyphs);
  rd16(data, len, uint64_t(hhea) + 34, &n);
  uint32_t g = uint32_t(gid) & 0xFFFF;
  if (g >= num_glyphs) return -1;
  if (!find_table(data, len, "hmtx", &hmtx, &hmtx_len)) return -1;
  uint32_t rec = 0;
  if (n >= 1 && n <= num_glyphs) {
    // Glyphs past the last full record share its advance.
    if (hmtx_len < 4 * uint64_t(n)) return -1;
    rec = g < n ? g : n - 1;
  } else {
    if (hmtx_len < 4 * uint64_t(num_glyphs)) return -1;
    rec = g;
  }
  uint32_t adv = 0;
  if (!rd16(data, len, uint64_t(hmtx) + 4 * uint64_t(rec), &adv)) return -1;
  return int32_t(adv);
}

// ---- font summary ----------------------------------------------------------

// Family name from the records of one platform: UTF-16BE (platform 3) or
// single bytes (platform 1). Non-printable characters become '?'.
static int family_from(const uint8_t *t, uint64_t tl, uint32_t platform,
                       char *out, size_t cap) {
  uint32_t count = 0, str_off = 0;
  rd16(t, tl, 2, &count);
  rd16(t, tl, 4, &str_off);
  for (uint32_t i = 0; i < count; i++) {
    uint64_t rec = 6 + 12 * uint64_t(i);
    uint32_t pid = 0, name_id = 0, slen = 0, soff = 0;
    if (rec + 12 > tl) break;
    rd16(t, tl, rec, &pid);
    rd16(t, tl, rec + 6, &name_id);
    rd16(t, tl, rec + 8, &slen);
    rd16(t, tl, rec + 10, &soff);
    if (pid != platform || name_id != 1) continue;
    uint64_t at = uint64_t(str_off) + soff;
    if (at + slen > tl) continue;
    size_t n = 0;
    uint32_t step = platform == 3 ? 2 : 1;
    for (uint32_t k = 0; k + step <= slen && n + 1 < cap; k += step) {
      uint32_t c = step == 2 ? (uint32_t(t[at + k]) << 8) | t[at + k + 1]
                             : t[at + k];
      out[n++] = (c >= 0x20 && c <= 0x7E) ? char(c) : '?';
    }
    out[n] = 0;
    if (n > 0) return 1;
  }
  return 0;
}

int ttf_info(const uint8_t *data, size_t len, ttf_face_info *out) {
  memset(out, 0, sizeof *out);
  uint32_t version = 0;
  if (!data || len < 12 || !rd32(data, len, 0, &version)) return 0;
  if (version != 0x00010000 && version != 0x74727565 /* true */ &&
      version != 0x4F54544F /* OTTO */)
    return 0;
  uint32_t head = 0, head_len = 0, maxp = 0, maxp_len = 0;
  if (!find_table(data, len, "head", &head, &head_len) || head_len < 50)
    return 0;
  if (!find_table(data, len, "maxp", &maxp, &maxp_len) || maxp_len < 6)
    return 0;
  uint32_t upem = 0, glyphs = 0;
  rd16(data, len, uint64_t(head) + 18, &upem);
  rd16(data, len, uint64_t(maxp) + 4, &glyphs);
  if (upem == 0 || glyphs == 0) return 0;
  out->units_per_em = int(upem);
  out->num_glyphs = int(glyphs);
  uint32_t name = 0, name_len = 0;
  int found = 0;
  if (find_table(data, len, "name", &name, &name_len) && name_len >= 18) {
    // 128 bytes hold at most 127 characters and the NUL.
    found = family_from(data + name, name_len, 3, out->family,
                        sizeof out->family) ||
            family_from(data + name, name_len, 1, out->family,
                        sizeof out->family);
  }
  if (!found) memcpy(out->family, "EmbeddedFont", sizeof "EmbeddedFont");
  out->valid = 1;
  return 1;
}

// ---- code pages ------------------------------------------------------------

// Windows-1252; 0xFFFF marks the five undefined bytes.
const uint32_t winansi_map[256] = {
    0x0000, 0x0001, 0x0002, 0x0003, 0x0004, 0x0005, 0x0006, 0x0007,
    0x0008, 0x0009, 0x000A, 0x000B, 0x000C, 0x000D, 0x000E, 0x000F,
    0x0010, 0x0011, 0x0012, 0x0013, 0x0014, 0x0015, 0x0016, 0x0017,
    0x0018, 0x0019, 0x001A, 0x001B, 0x001C, 0x001D, 0x001E, 0x001F,
    0x0020, 0x0021, 0x0022, 0x0023, 0x0024, 0x0025, 0x0026, 0x0027,
    0x0028, 0x0029, 0x002A, 0x002B, 0x002C, 0x002D, 0x002E, 0x002F,
    0x0030, 0x0031, 0x0032, 0x0033, 0x0034, 0x0035, 0x0036, 0x0037,
    0x0038, 0x0039, 0x003A, 0x003B, 0x003C, 0x003D, 0x003E, 0x003F,
    0x0040, 0x0041, 0x0042, 0x0043, 0x0044, 0x0045, 0x0046, 0x0047,
    0x0048, 0x0049, 0x004A, 0x004B, 0x004C, 0x004D, 0x004E, 0x004F,
    0x0050, 0x0051, 0x0052, 0x0053, 0x0054, 0x0055, 0x0056, 0x0057,
    0x0058, 0x0059, 0x005A, 0x005B, 0x005C, 0x005D, 0x005E, 0x005F,
    0x0060, 0x0061, 0x0062, 0x0063, 0x0064, 0x0065, 0x0066, 0x0067,
    0x0068, 0x0069, 0x006A, 0x006B, 0x006C, 0x006D, 0x006E, 0x006F,
    0x0070, 0x0071, 0x0072, 0x0073, 0x0074, 0x0075, 0x0076, 0x0077,
    0x0078, 0x0079, 0x007A, 0x007B, 0x007C, 0x007D, 0x007E, 0x007F,
    0x20AC, 0xFFFF, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0xFFFF, 0x017D, 0xFFFF,
    0xFFFF, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFF, 0x017E, 0x0178,
    0x00A0, 0x00A1, 0x00A2, 0x00A3, 0x00A4, 0x00A5, 0x00A6, 0x00A7,
    0x00A8, 0x00A9, 0x00AA, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x00AF,
    0x00B0, 0x00B1, 0x00B2, 0x00B3, 0x00B4, 0x00B5, 0x00B6, 0x00B7,
    0x00B8, 0x00B9, 0x00BA, 0x00BB, 0x00BC, 0x00BD, 0x00BE, 0x00BF,
    0x00C0, 0x00C1, 0x00C2, 0x00C3, 0x00C4, 0x00C5, 0x00C6, 0x00C7,
    0x00C8, 0x00C9, 0x00CA, 0x00CB, 0x00CC, 0x00CD, 0x00CE, 0x00CF,
    0x00D0, 0x00D1, 0x00D2, 0x00D3, 0x00D4, 0x00D5, 0x00D6, 0x00D7,
    0x00D8, 0x00D9, 0x00DA, 0x00DB, 0x00DC, 0x00DD, 0x00DE, 0x00DF,
    0x00E0, 0x00E1, 0x00E2, 0x00E3, 0x00E4, 0x00E5, 0x00E6, 0x00E7,
    0x00E8, 0x00E9, 0x00EA, 0x00EB, 0x00EC, 0x00ED, 0x00EE, 0x00EF,
    0x00F0, 0x00F1, 0x00F2, 0x00F3, 0x00F4, 0x00F5, 0x00F6, 0x00F7,
    0x00F8, 0x00F9, 0x00FA, 0x00FB, 0x00FC, 0x00FD, 0x00FE, 0x00FF,
};

// Mac OS Roman, bytes 0x80 to 0xFF (0xDB is the euro sign, 0xF0 the Apple
// logo in the private use area).
const uint32_t mac_roman_hi[128] = {
    0x00C4, 0x00C5, 0x00C7, 0x00C9, 0x00D1, 0x00D6, 0x00DC, 0x00E1,
    0x00E0, 0x00E2, 0x00E4, 0x00E3, 0x00E5, 0x00E7, 0x00E9, 0x00E8,
    0x00EA, 0x00EB, 0x00ED, 0x00EC, 0x00EE, 0x00EF, 0x00F1, 0x00F3,
    0x00F2, 0x00F4, 0x00F6, 0x00F5, 0x00FA, 0x00F9, 0x00FB, 0x00FC,
    0x2020, 0x00B0, 0x00A2, 0x00A3, 0x00A7, 0x2022, 0x00B6, 0x00DF,
    0x00AE, 0x00A9, 0x2122, 0x00B4, 0x00A8, 0x2260, 0x00C6, 0x00D8,
    0x221E, 0x00B1, 0x2264, 0x2265, 0x00A5, 0x00B5, 0x2202, 0x2211,
    0x220F, 0x03C0, 0x222B, 0x00AA, 0x00BA, 0x03A9, 0x00E6, 0x00F8,
    0x00BF, 0x00A1, 0x00AC, 0x221A, 0x0192, 0x2248, 0x2206, 0x00AB,
    0x00BB, 0x2026, 0x00A0, 0x00C0, 0x00C3, 0x00D5, 0x0152, 0x0153,
    0x2013, 0x2014, 0x201C, 0x201D, 0x2018, 0x2019, 0x00F7, 0x25CA,
    0x00FF, 0x0178, 0x2044, 0x20AC, 0x2039, 0x203A, 0xFB01, 0xFB02,
    0x2021, 0x00B7, 0x201A, 0x201E, 0x2030, 0x00C2, 0x00CA, 0x00C1,
    0x00CB, 0x00C8, 0x00CD, 0x00CE, 0x00CF, 0x00CC, 0x00D3, 0x00D4,
    0xF8FF, 0x00D2, 0x00DA, 0x00DB, 0x00D9, 0x0131, 0x02C6, 0x02DC,
    0x00AF, 0x02D8, 0x02D9, 0x02DA, 0x00B8, 0x02DD, 0x02DB, 0x02C7,
};

int32_t winansi_to_unicode(int b) {
  if (b < 0 || b > 255 || winansi_map[b] == 0xFFFF) return -1;
  return int32_t(winansi_map[b]);
}

int32_t macroman_to_unicode(int b) {
  if (b < 0 || b > 255) return -1;
  if (b < 128) return b;
  uint32_t cp = mac_roman_hi[b - 128];
  return cp == 0xFFFF ? -1 : int32_t(cp);
}
