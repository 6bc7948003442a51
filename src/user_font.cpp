// The user's font file. A collection ('ttcf') gives its first face, copied
// into a standalone font with its own table directory so that the table
// reader, which expects the directory at offset 0, works on it. The OS/2
// fsType bits decide about embedding: bit 1 (0x0002, restricted licence)
// and bit 9 (0x0200, bitmap embedding only) refuse it, bit 8 (0x0100, no
// subsetting) embeds the whole font; preview & print and editable are fine.
#include "user_font.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "pdf_parse.h"
#include "ttf.h"

namespace {

uint32_t be16(const uint8_t *p) { return (uint32_t(p[0]) << 8) | p[1]; }
uint32_t be32(const uint8_t *p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

// The face whose directory starts at `at`, copied with offsets made
// relative to the copy; empty when a table lies outside the file.
std::vector<uint8_t> face_copy(const uint8_t *d, size_t len, uint32_t at) {
  std::vector<uint8_t> out;
  if (uint64_t(at) + 12 > len) return out;
  uint32_t num = be16(d + at + 4);
  uint64_t dir_end = uint64_t(at) + 12 + 16 * uint64_t(num);
  if (num == 0 || dir_end > len) return out;
  out.assign(d + at, d + dir_end);
  for (uint32_t i = 0; i < num; i++) {
    const uint8_t *rec = d + at + 12 + 16 * size_t(i);
    uint32_t off = be32(rec + 8), tlen = be32(rec + 12);
    if (uint64_t(off) + tlen > len) return {};
    size_t now = out.size();
    uint8_t *r = out.data() + 12 + 16 * size_t(i);
    r[8] = uint8_t(now >> 24);
    r[9] = uint8_t(now >> 16);
    r[10] = uint8_t(now >> 8);
    r[11] = uint8_t(now);
    out.insert(out.end(), d + off, d + off + tlen);
    while (out.size() % 4) out.push_back(0);
  }
  return out;
}

bool has_table(const uint8_t *d, size_t len, const char *tag) {
  ttf_bytes t;
  if (!ttf_table(d, len, tag, &t)) return false;
  free(t.data);
  return true;
}

}  // namespace

int user_font_from_bytes(const uint8_t *data, size_t len, const char *what,
                         user_font *out) {
  memset(out, 0, sizeof *out);
  if (len < 12) {
    set_error("font %s is not a TrueType font", what);
    return 0;
  }
  std::vector<uint8_t> face;
  uint32_t tag = be32(data);
  // A TrueType or OpenType font begins with its version, a collection with
  // "ttcf"; anything else (a Type 1 font, a PDF) is no font we read.
  if (tag != 0x00010000 && tag != 0x74727565 /* true */ && tag != 0x4F54544F /* OTTO */ &&
      tag != 0x74746366 /* ttcf */) {
    set_error("font %s is not a TrueType font", what);
    return 0;
  }
  if (tag == 0x74746366 /* ttcf */) {
    if (len < 16 || be32(data + 8) == 0) {
      set_error("font collection %s has no font", what);
      return 0;
    }
    face = face_copy(data, len, be32(data + 12));
  } else {
    face = face_copy(data, len, 0);
  }
  if (face.empty()) {
    set_error("font %s is damaged (its tables lie outside the file)", what);
    return 0;
  }
  uint32_t version = be32(face.data());
  if (version == 0x4F54544F /* OTTO */ || has_table(face.data(), face.size(), "CFF ") ||
      has_table(face.data(), face.size(), "CFF2")) {
    set_error("font %s has OpenType CFF outlines; only TrueType (glyf) fonts "
              "can be used", what);
    return 0;
  }
  ttf_face_info info;
  if (!has_table(face.data(), face.size(), "glyf") ||
      !has_table(face.data(), face.size(), "loca") ||
      !ttf_info(face.data(), face.size(), &info)) {
    set_error("font %s is not a TrueType font with glyf outlines", what);
    return 0;
  }
  // Readers refuse a font whose em is outside the range the format allows,
  // and would then draw no stamp at all.
  if (info.units_per_em < 16 || info.units_per_em > 16384) {
    set_error("font %s is damaged (%d units per em, not 16 to 16384)", what,
              info.units_per_em);
    return 0;
  }
  ttf_bytes os2;
  int no_subset = 0;
  if (ttf_table(face.data(), face.size(), "OS/2", &os2)) {
    uint32_t fs = os2.len >= 10 ? be16(os2.data + 8) : 0;
    free(os2.data);
    if (fs & 0x0200) {
      set_error("font %s allows bitmap embedding only (OS/2 fsType 0x%04X): "
                "its licence forbids embedding its outlines", what, unsigned(fs));
      return 0;
    }
    // Restricted licence embedding counts only when no less restrictive bit
    // is set, as the bits are read by rank.
    if ((fs & 0x000F) == 0x0002) {
      set_error("font %s has a restricted licence (OS/2 fsType 0x%04X): it "
                "must not be embedded", what, unsigned(fs));
      return 0;
    }
    no_subset = (fs & 0x0100) ? 1 : 0;
  }
  out->data = static_cast<uint8_t *>(malloc(face.size()));
  if (!out->data) {
    set_error("out of memory reading font %s", what);
    return 0;
  }
  memcpy(out->data, face.data(), face.size());
  out->len = face.size();
  out->no_subset = no_subset;
  size_t n = 0;
  for (const char *p = info.family; *p && n + 1 < sizeof out->name; p++) {
    char c = *p;
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-')
      out->name[n++] = c;
  }
  if (n == 0) memcpy(out->name, "UserFont", sizeof "UserFont");
  return 1;
}

int user_font_load(const char *path, user_font *out) {
  memset(out, 0, sizeof *out);
  // A FIFO, a device or a directory is refused before it is opened (a FIFO
  // would wait for a writer, a device might never end).
  if (path && file_kind(path) == FILE_OTHER) {
    set_error("cannot open font file %s: not a regular file", path);
    return 0;
  }
  FILE *f = path ? file_open(path, "rb") : nullptr;
  if (!f) {
    set_error("cannot open font file %s", path ? path : "(null)");
    return 0;
  }
  std::vector<uint8_t> bytes;
  uint8_t chunk[65536];
  size_t got;
  while ((got = fread(chunk, 1, sizeof chunk, f)) > 0) {
    if (bytes.size() > (size_t(256) << 20)) break;
    bytes.insert(bytes.end(), chunk, chunk + got);
  }
  fclose(f);
  if (bytes.size() > (size_t(256) << 20)) {
    set_error("font file %s is larger than 256 MB", path);
    return 0;
  }
  return user_font_from_bytes(bytes.data(), bytes.size(), path, out);
}

void user_font_free(user_font *f) {
  if (!f) return;
  free(f->data);
  memset(f, 0, sizeof *f);
}
