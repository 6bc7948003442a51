// The standard security handler. Format notes:
// - Revisions 2 to 4 derive the file key from MD5 over the padded password,
//   /O, /P (little-endian), the first /ID string and, under
//   /EncryptMetadata false in revision 4, four 0xFF bytes; revision 3 and
//   up rehash it 50 times. /U is RC4 of the padding (revision 2) or of
//   MD5(padding, ID) under 20 key variants (3 and 4); only its first 16
//   bytes are defined. The owner password decrypts /O to the user password.
// - Revisions 5 and 6 keep the 32-byte file key AES-256-encrypted in /UE
//   and /OE under a hash of the password and a salt. Revision 6's hash runs
//   at least 64 rounds of AES-128 and SHA-256/384/512, and stops when the
//   last byte of the round's data is at most the round count minus 32.
// - Strings and streams use a key per object; cross-reference streams are
//   never encrypted, nor is metadata under /EncryptMetadata false.
// - Values in the /Encrypt dictionary are read direct; indirect ones are
//   taken as missing.
#include "pdf_crypt.h"

#include "aes.h"
#include "md5.h"
#include "rc4.h"
#include "sha2.h"

#include <cstring>
#include <stdexcept>

#if defined(_WIN32)
#include <windows.h>
#include <bcrypt.h>
#else
#include <fcntl.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/random.h>
#endif
#endif

// The 32 bytes that pad a password (and stand for an empty one).
static const uint8_t s_pad[32] = {
    0x28, 0xBF, 0x4E, 0x5E, 0x4E, 0x75, 0x8A, 0x41, 0x64, 0x00, 0x4E,
    0x56, 0xFF, 0xFA, 0x01, 0x08, 0x2E, 0x2E, 0x00, 0xB6, 0xD0, 0x68,
    0x3E, 0x80, 0x2F, 0x0C, 0xA9, 0xFE, 0x64, 0x53, 0x69, 0x7A};

// ---- a small reader for the dictionary values this module needs ----------

static bool is_ws(unsigned char ch) {
  return ch == 0 || ch == 9 || ch == 10 || ch == 12 || ch == 13 || ch == 32;
}
static bool is_delim(unsigned char ch) {
  return ch == '(' || ch == ')' || ch == '<' || ch == '>' || ch == '[' ||
         ch == ']' || ch == '{' || ch == '}' || ch == '/' || ch == '%';
}

static size_t skip_ws_comments(const char *t, size_t pos, size_t end) {
  while (pos < end) {
    if (is_ws(uint8_t(t[pos]))) {
      pos++;
    } else if (t[pos] == '%') {
      while (pos < end && t[pos] != '\n' && t[pos] != '\r') pos++;
    } else {
      break;
    }
  }
  return pos;
}

// One past the literal string that opens at pos (balanced parentheses,
// backslash escapes), or end.
static size_t literal_end(const char *t, size_t pos, size_t end) {
  int depth = 0;
  for (; pos < end; pos++) {
    char ch = t[pos];
    if (ch == '\\') {
      pos++;
    } else if (ch == '(') {
      depth++;
    } else if (ch == ')') {
      if (--depth == 0) return pos + 1;
    }
  }
  return end;
}

// One past the value that starts at pos: a dictionary, array, string,
// name or other single token. Nesting is bounded by the text's length.
static size_t value_end(const char *t, size_t pos, size_t end) {
  if (pos >= end) return end;
  char ch = t[pos];
  if (ch == '(') return literal_end(t, pos, end);
  if (ch == '<' && pos + 1 < end && t[pos + 1] == '<') {
    int depth = 0;
    while (pos < end) {
      if (t[pos] == '(') {
        pos = literal_end(t, pos, end);
      } else if (t[pos] == '%') {
        pos = skip_ws_comments(t, pos, end);
      } else if (t[pos] == '<' && pos + 1 < end && t[pos + 1] == '<') {
        depth++;
        pos += 2;
      } else if (t[pos] == '>' && pos + 1 < end && t[pos + 1] == '>') {
        pos += 2;
        if (--depth == 0) return pos;
      } else if (t[pos] == '<') {
        // A hex string: its '>' followed by the dictionary's ">>" is not
        // the dictionary's end ("/U<3B39>>>", as some writers pack it).
        while (pos < end && t[pos] != '>') pos++;
        if (pos < end) pos++;
      } else {
        pos++;
      }
    }
    return end;
  }
  if (ch == '<') {
    while (pos < end && t[pos] != '>') pos++;
    return pos < end ? pos + 1 : end;
  }
  if (ch == '[') {
    int depth = 0;
    while (pos < end) {
      if (t[pos] == '(') {
        pos = literal_end(t, pos, end);
        continue;
      }
      if (t[pos] == '[') depth++;
      if (t[pos] == ']' && --depth == 0) return pos + 1;
      pos++;
    }
    return end;
  }
  pos++; // the slash of a name, or the first byte of a token
  while (pos < end && !is_ws(uint8_t(t[pos])) && !is_delim(uint8_t(t[pos]))) pos++;
  return pos;
}

struct span {
  size_t pos, end; // value text [pos, end); pos == end when absent
};

// The value of /key at the top level of the dictionary text [pos, end)
// that begins with "<<".
static span dict_get(const char *t, size_t pos, size_t end, const char *key) {
  size_t klen = strlen(key);
  pos = skip_ws_comments(t, pos, end);
  if (pos + 2 > end || t[pos] != '<' || t[pos + 1] != '<') return {0, 0};
  pos += 2;
  while (true) {
    pos = skip_ws_comments(t, pos, end);
    if (pos >= end || t[pos] != '/') return {0, 0};
    size_t k = pos + 1, ke = value_end(t, pos, end);
    size_t v = skip_ws_comments(t, ke, end);
    size_t ve = value_end(t, v, end);
    if (ve == v) return {0, 0};
    // An indirect reference "n g R" is three tokens, taken as one value.
    size_t a = skip_ws_comments(t, ve, end);
    if (a < end && t[a] >= '0' && t[a] <= '9' && t[v] >= '0' && t[v] <= '9') {
      size_t b = skip_ws_comments(t, value_end(t, a, end), end);
      if (b < end && t[b] == 'R') ve = b + 1;
    }
    if (ke - k == klen && memcmp(t + k, key, klen) == 0) return {v, ve};
    pos = ve;
  }
}

static bool span_int(const char *t, span s, long *out) {
  if (s.pos == s.end) return false;
  size_t i = s.pos;
  bool neg = false;
  if (t[i] == '-' || t[i] == '+') neg = t[i++] == '-';
  if (i == s.end) return false;
  // long long: long has 32 bits on Windows, and /P may be written as the
  // unsigned 32-bit number (4294967292 for -4), which then wraps as meant.
  long long v = 0;
  for (; i < s.end; i++) {
    if (t[i] < '0' || t[i] > '9') return t[i] == '.' && i > s.pos;
    if (v > 100000000000LL) return false;
    v = v * 10 + (t[i] - '0');
  }
  *out = static_cast<long>(neg ? -v : v);
  return true;
}

static bool span_is(const char *t, span s, const char *word) {
  size_t n = strlen(word);
  return s.end - s.pos == n && memcmp(t + s.pos, word, n) == 0;
}

static int hexval(char ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
  return -1;
}

// Decodes a literal string "(...)" or hexadecimal string "<...>".
static bool decode_string(const char *t, size_t pos, size_t end, std::string *out) {
  out->clear();
  if (pos >= end) return false;
  if (t[pos] == '<') {
    int hi = -1;
    for (pos++; pos < end && t[pos] != '>'; pos++) {
      int v = hexval(t[pos]);
      if (v < 0) continue; // white space (and junk) between digits
      if (hi < 0) {
        hi = v;
      } else {
        out->push_back(char(hi << 4 | v));
        hi = -1;
      }
    }
    if (hi >= 0) out->push_back(char(hi << 4));
    return true;
  }
  if (t[pos] != '(') return false;
  int depth = 1;
  for (pos++; pos < end; pos++) {
    char ch = t[pos];
    if (ch == '(') {
      depth++;
    } else if (ch == ')') {
      if (--depth == 0) return true;
    } else if (ch == '\r') {
      // An end of line in a string reads as a single newline.
      if (pos + 1 < end && t[pos + 1] == '\n') pos++;
      ch = '\n';
    } else if (ch == '\\' && pos + 1 < end) {
      ch = t[++pos];
      switch (ch) {
      case 'n': ch = '\n'; break;
      case 'r': ch = '\r'; break;
      case 't': ch = '\t'; break;
      case 'b': ch = '\b'; break;
      case 'f': ch = '\f'; break;
      case '\r':
        if (pos + 1 < end && t[pos + 1] == '\n') pos++;
        continue; // an escaped end of line continues the string
      case '\n':
        continue;
      default:
        if (ch >= '0' && ch <= '7') {
          int v = ch - '0';
          for (int k = 0; k < 2 && pos + 1 < end && t[pos + 1] >= '0' && t[pos + 1] <= '7'; k++)
            v = v * 8 + (t[++pos] - '0');
          ch = char(v & 255);
        }
        break;
      }
    }
    out->push_back(ch);
  }
  return true;
}

static bool span_string(const char *t, span s, std::string *out) {
  return s.pos != s.end && decode_string(t, s.pos, s.end, out);
}

// ---- parsing the dictionary ----------------------------------------------

static int method_of(const char *t, span cfm) {
  if (span_is(t, cfm, "/V2")) return CRYPT_RC4;
  if (span_is(t, cfm, "/AESV2")) return CRYPT_AESV2;
  if (span_is(t, cfm, "/AESV3")) return CRYPT_AESV3;
  if (cfm.pos == cfm.end || span_is(t, cfm, "/None")) return CRYPT_IDENTITY;
  return -1;
}

static int filter_method(const pdf_crypt *c, const std::string &name) {
  for (const auto &f : c->filters)
    if (f.name == name) return f.method;
  return -1;
}

static bool fail(std::string *err, const std::string &msg) {
  *err = msg;
  return false;
}

static bool parse_filters(const char *t, size_t end, pdf_crypt *c, std::string *err) {
  c->filters.push_back({"Identity", CRYPT_IDENTITY});
  span cf = dict_get(t, 0, end, "CF");
  if (cf.pos != cf.end) {
    if (t[cf.pos] != '<') return fail(err, "the /CF entry is not a dictionary");
    size_t pos = cf.pos + 2;
    while (true) {
      pos = skip_ws_comments(t, pos, cf.end);
      if (pos >= cf.end || t[pos] != '/') break;
      size_t ke = value_end(t, pos, cf.end);
      std::string name(t + pos + 1, ke - pos - 1);
      size_t v = skip_ws_comments(t, ke, cf.end), ve = value_end(t, v, cf.end);
      if (ve == v) break;
      if (t[v] == '<') {
        int m = method_of(t, dict_get(t, v, ve, "CFM"));
        if (m < 0) return fail(err, "unknown crypt filter method in /" + name);
        c->filters.push_back({name, m});
      }
      pos = ve;
    }
  }
  for (int which = 0; which < 2; which++) {
    span s = dict_get(t, 0, end, which ? "StrF" : "StmF");
    std::string name = s.pos == s.end ? "Identity" : std::string(t + s.pos + 1, s.end - s.pos - 1);
    if (s.pos != s.end && t[s.pos] != '/') return fail(err, "/StmF or /StrF is not a name");
    int m = filter_method(c, name);
    if (m < 0) return fail(err, "the crypt filter /" + name + " is not defined");
    (which ? c->str_method : c->stm_method) = m;
  }
  return true;
}

int crypt_parse(const char *dict, size_t dict_len, const std::string &id0,
                pdf_crypt *c, std::string *err) {
  *c = pdf_crypt();
  c->id0 = id0;
  const char *t = dict;
  size_t end = dict_len;
  span filter = dict_get(t, 0, end, "Filter");
  if (!span_is(t, filter, "/Standard")) {
    if (filter.pos == filter.end) return fail(err, "no security handler named (/Filter)"), -1;
    std::string name(t + filter.pos, filter.end - filter.pos);
    span sub = dict_get(t, 0, end, "SubFilter");
    if (sub.pos != sub.end) name += " " + std::string(t + sub.pos, sub.end - sub.pos);
    if (name.compare(0, 7, "/Adobe.") == 0 || name.find("adbe.pkcs7") != std::string::npos)
      return fail(err, "the public-key security handler " + name + " is not supported"), -1;
    return fail(err, "the security handler " + name + " is not supported"), -1;
  }
  long v = 0, r = 0, len = 40, p = 0;
  if (!span_int(t, dict_get(t, 0, end, "V"), &v)) v = 0;
  if (!span_int(t, dict_get(t, 0, end, "R"), &r))
    return fail(err, "the revision (/R) is missing"), -1;
  if (!span_int(t, dict_get(t, 0, end, "P"), &p))
    return fail(err, "the permissions (/P) are missing"), -1;
  span lspan = dict_get(t, 0, end, "Length");
  if (lspan.pos != lspan.end && !span_int(t, lspan, &len))
    return fail(err, "the key length (/Length) is not a number"), -1;
  if (v != 1 && v != 2 && v != 4 && v != 5)
    return fail(err, "the algorithm /V " + std::to_string(v) + " is not supported"), -1;
  if (r < 2 || r > 6)
    return fail(err, "the revision /R " + std::to_string(r) + " is not supported"), -1;
  c->v = int(v);
  c->r = int(r);
  // /P is a 32-bit signed value; some writers store it unsigned.
  c->p = int32_t(uint32_t(uint64_t(p) & 0xffffffffu));
  span em = dict_get(t, 0, end, "EncryptMetadata");
  c->encrypt_metadata = !span_is(t, em, "false");

  if (v == 1 || v == 2) {
    if (v == 1) len = 40;
    if (len < 40 || len > 128 || len % 8) return fail(err, "the key length " + std::to_string(len) + " is not valid"), -1;
    c->key_len = r == 2 ? 5 : size_t(len / 8);
    c->stm_method = c->str_method = CRYPT_RC4;
  } else {
    if (!parse_filters(t, end, c, err)) return -1;
    if (v == 4) {
      if (lspan.pos == lspan.end) len = 128;
      if (len < 40 || len > 128 || len % 8) return fail(err, "the key length " + std::to_string(len) + " is not valid"), -1;
      c->key_len = size_t(len / 8);
      // AES-128 keys are derived from the file key and take 16 bytes of it.
      for (const auto &f : c->filters)
        if (f.method == CRYPT_AESV2 && c->key_len != 16)
          return fail(err, "the key length " + std::to_string(len) + " does not fit AES"), -1;
    } else {
      c->key_len = 32;
    }
    for (const auto &f : c->filters)
      if ((f.method == CRYPT_AESV3) != (v == 5) && f.method != CRYPT_IDENTITY)
        return fail(err, "the crypt filter /" + f.name + " does not fit /V " + std::to_string(v)), -1;
  }
  if ((v == 5) != (r >= 5))
    return fail(err, "/V " + std::to_string(v) + " does not fit /R " + std::to_string(r)), -1;

  size_t want = r >= 5 ? 48 : 32;
  const char *names[] = {"O", "U"};
  std::string *dst[] = {&c->o, &c->u};
  for (int i = 0; i < 2; i++) {
    if (!span_string(t, dict_get(t, 0, end, names[i]), dst[i]))
      return fail(err, std::string("the /") + names[i] + " entry is missing"), -1;
    // Some writers pad /O and /U beyond their length; shorter is damage.
    if (dst[i]->size() < want)
      return fail(err, std::string("the /") + names[i] + " entry is too short"), -1;
    dst[i]->resize(want);
  }
  if (r >= 5) {
    const char *names5[] = {"OE", "UE"};
    std::string *dst5[] = {&c->oe, &c->ue};
    for (int i = 0; i < 2; i++) {
      if (!span_string(t, dict_get(t, 0, end, names5[i]), dst5[i]))
        return fail(err, std::string("the /") + names5[i] + " entry is missing"), -1;
      if (dst5[i]->size() < 32)
        return fail(err, std::string("the /") + names5[i] + " entry is too short"), -1;
      dst5[i]->resize(32);
    }
    span_string(t, dict_get(t, 0, end, "Perms"), &c->perms);
  }
  return 0;
}

// ---- passwords -----------------------------------------------------------

// Next code point of a UTF-8 text, or -1 for a malformed sequence (one
// byte is consumed).
static long next_code_point(const uint8_t *s, size_t *i, size_t n) {
  uint8_t b = s[*i];
  int extra = b < 0x80 ? 0 : (b & 0xE0) == 0xC0 ? 1 : (b & 0xF0) == 0xE0 ? 2 : (b & 0xF8) == 0xF0 ? 3 : -1;
  if (extra < 0 || *i + size_t(extra) >= n + (extra ? 0 : 1)) {
    (*i)++;
    return -1;
  }
  long cp = extra ? b & (0x3F >> extra) : b;
  for (int k = 1; k <= extra; k++) {
    uint8_t cb = s[*i + size_t(k)];
    if ((cb & 0xC0) != 0x80) {
      (*i)++;
      return -1;
    }
    cp = cp << 6 | (cb & 0x3F);
  }
  *i += size_t(extra) + 1;
  return cp;
}

// PDFDocEncoding's bytes 0x18-0x1F and 0x80-0xA0, whose characters differ
// from Latin-1 (0 where the byte has no character).
static const uint16_t s_pdfdoc_low[8] = {0x02D8, 0x02C7, 0x02C6, 0x02D9,
                                         0x02DD, 0x02DB, 0x02DA, 0x02DC};
static const uint16_t s_pdfdoc_high[33] = {
    0x2022, 0x2020, 0x2021, 0x2026, 0x2014, 0x2013, 0x0192, 0x2044, 0x2039,
    0x203A, 0x2212, 0x2030, 0x201E, 0x201C, 0x201D, 0x2018, 0x2019, 0x201A,
    0x2122, 0xFB01, 0xFB02, 0x0141, 0x0152, 0x0160, 0x0178, 0x017D, 0x0131,
    0x0142, 0x0153, 0x0161, 0x017E, 0x0000, 0x20AC};

std::string crypt_pdfdoc_password(const char *utf8, bool *ok) {
  std::string out;
  *ok = true;
  const uint8_t *s = reinterpret_cast<const uint8_t *>(utf8);
  size_t n = strlen(utf8), i = 0;
  while (i < n) {
    long cp = next_code_point(s, &i, n);
    int code = -1;
    if ((cp >= 0 && cp < 0x18) || (cp >= 0x20 && cp < 0x7F) || (cp >= 0xA1 && cp <= 0xFF && cp != 0xAD)) {
      code = int(cp);
    } else {
      for (int k = 0; k < 8 && code < 0; k++)
        if (s_pdfdoc_low[k] == cp) code = 0x18 + k;
      for (int k = 0; k < 33 && code < 0; k++)
        if (s_pdfdoc_high[k] == cp) code = 0x80 + k;
    }
    if (code < 0) {
      *ok = false;
      return std::string(utf8);
    }
    out.push_back(char(code));
  }
  return out;
}

// SASLprep's table B.1 (mapped to nothing) and C.1.2 (non-ASCII spaces).
static bool maps_to_nothing(long cp) {
  return cp == 0x00AD || cp == 0x034F || cp == 0x1806 || cp == 0x180B ||
         cp == 0x180C || cp == 0x180D || cp == 0x200B || cp == 0x200C ||
         cp == 0x200D || cp == 0x2060 || (cp >= 0xFE00 && cp <= 0xFE0F) ||
         cp == 0xFEFF;
}
static bool non_ascii_space(long cp) {
  return cp == 0x00A0 || cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200B) ||
         cp == 0x202F || cp == 0x205F || cp == 0x3000;
}

std::string crypt_saslprep_password(const char *utf8) {
  std::string out;
  const uint8_t *s = reinterpret_cast<const uint8_t *>(utf8);
  size_t n = strlen(utf8), i = 0;
  while (i < n) {
    size_t at = i;
    long cp = next_code_point(s, &i, n);
    if (maps_to_nothing(cp)) continue; // before the spaces: U+200B is in both
    if (non_ascii_space(cp)) {
      out.push_back(' ');
      continue;
    }
    out.append(utf8 + at, i - at);
  }
  // Truncated to 127 bytes, not cutting a character in two.
  if (out.size() > 127) {
    size_t cut = 127;
    while (cut > 0 && (uint8_t(out[cut]) & 0xC0) == 0x80) cut--;
    out.resize(cut);
  }
  return out;
}

// ---- revisions 2 to 4 ----------------------------------------------------

static void pad_password(const std::string &pw, uint8_t out[32]) {
  size_t n = pw.size() < 32 ? pw.size() : 32;
  memcpy(out, pw.data(), n);
  memcpy(out + n, s_pad, 32 - n);
}

static std::vector<uint8_t> key_r4(const pdf_crypt *c, const uint8_t padded[32]) {
  md5_ctx m;
  md5_init(&m);
  md5_update(&m, padded, 32);
  md5_update(&m, reinterpret_cast<const uint8_t *>(c->o.data()), 32);
  uint32_t p = uint32_t(c->p);
  uint8_t pb[4] = {uint8_t(p), uint8_t(p >> 8), uint8_t(p >> 16), uint8_t(p >> 24)};
  md5_update(&m, pb, 4);
  md5_update(&m, reinterpret_cast<const uint8_t *>(c->id0.data()), c->id0.size());
  if (c->r >= 4 && !c->encrypt_metadata) {
    static const uint8_t ff[4] = {0xff, 0xff, 0xff, 0xff};
    md5_update(&m, ff, 4);
  }
  uint8_t d[16];
  md5_final(&m, d);
  if (c->r >= 3)
    for (int i = 0; i < 50; i++) md5(d, c->key_len, d);
  return std::vector<uint8_t>(d, d + c->key_len);
}

// RC4 of data under key XOR i for i = 19 down to 0 (decrypt) or 0 up to
// 19 (encrypt), as revisions 3 and 4 apply it to /U and /O.
static void rc4_rounds(const std::vector<uint8_t> &key, uint8_t *data, size_t n, bool down) {
  uint8_t k[16];
  for (int step = 0; step < 20; step++) {
    int i = down ? 19 - step : step;
    for (size_t j = 0; j < key.size(); j++) k[j] = uint8_t(key[j] ^ i);
    rc4(k, key.size(), data, n);
  }
}

static bool check_user_r4(pdf_crypt *c, const uint8_t padded[32]) {
  std::vector<uint8_t> key = key_r4(c, padded);
  uint8_t u[32];
  size_t cmp = 32;
  if (c->r == 2) {
    memcpy(u, s_pad, 32);
    rc4(key.data(), key.size(), u, 32);
  } else {
    md5_ctx m;
    md5_init(&m);
    md5_update(&m, s_pad, 32);
    md5_update(&m, reinterpret_cast<const uint8_t *>(c->id0.data()), c->id0.size());
    md5_final(&m, u);
    rc4_rounds(key, u, 16, false);
    cmp = 16;
  }
  if (memcmp(u, c->u.data(), cmp) != 0) return false;
  c->key = key;
  return true;
}

static bool check_owner_r4(pdf_crypt *c, const std::string &pw) {
  uint8_t padded[32], d[16];
  pad_password(pw, padded);
  md5(padded, 32, d);
  if (c->r >= 3)
    for (int i = 0; i < 50; i++) md5(d, 16, d);
  std::vector<uint8_t> key(d, d + c->key_len);
  uint8_t user[32];
  memcpy(user, c->o.data(), 32);
  if (c->r == 2)
    rc4(key.data(), key.size(), user, 32);
  else
    rc4_rounds(key, user, 32, true);
  return check_user_r4(c, user);
}

// ---- revisions 5 and 6 ---------------------------------------------------

// The password hash: SHA-256 alone for revision 5, the iterated hash for 6.
static void hash_r6(const pdf_crypt *c, const std::string &pw, const uint8_t *salt,
                    const uint8_t *udata, size_t udata_len, uint8_t out[32]) {
  uint8_t k[64];
  sha256_ctx s;
  sha256_init(&s);
  sha256_update(&s, reinterpret_cast<const uint8_t *>(pw.data()), pw.size());
  sha256_update(&s, salt, 8);
  sha256_update(&s, udata, udata_len);
  sha256_final(&s, k);
  if (c->r == 5) {
    memcpy(out, k, 32);
    return;
  }
  size_t k_len = 32;
  std::vector<uint8_t> k1, e;
  for (int round = 0;; round++) {
    size_t piece = pw.size() + k_len + udata_len;
    k1.resize(piece * 64);
    for (size_t r = 0; r < 64; r++) {
      uint8_t *dst = k1.data() + r * piece;
      memcpy(dst, pw.data(), pw.size());
      memcpy(dst + pw.size(), k, k_len);
      if (udata_len) memcpy(dst + pw.size() + k_len, udata, udata_len);
    }
    aes_key ak;
    aes_setup(&ak, k, 16);
    uint8_t iv[16];
    memcpy(iv, k + 16, 16);
    e.resize(k1.size());
    aes_cbc_encrypt(&ak, iv, k1.data(), e.data(), k1.size());
    // The first 16 bytes as a big-endian number, modulo 3: as 256 = 1
    // (mod 3), the sum of the bytes modulo 3.
    unsigned sum = 0;
    for (int i = 0; i < 16; i++) sum += e[size_t(i)];
    switch (sum % 3) {
    case 0: sha256(e.data(), e.size(), k); k_len = 32; break;
    case 1: sha384(e.data(), e.size(), k); k_len = 48; break;
    default: sha512(e.data(), e.size(), k); k_len = 64; break;
    }
    if (round >= 63 && e.back() <= round + 1 - 32) break;
  }
  memcpy(out, k, 32);
}

static bool unwrap_key(pdf_crypt *c, const uint8_t hash[32], const std::string &wrapped) {
  aes_key ak;
  aes_setup(&ak, hash, 32);
  uint8_t iv[16] = {0};
  std::vector<uint8_t> key(32);
  aes_cbc_decrypt(&ak, iv, reinterpret_cast<const uint8_t *>(wrapped.data()), key.data(), 32);
  c->key = key;
  return true;
}

static bool check_r6(pdf_crypt *c, const std::string &pw, bool as_owner) {
  const uint8_t *u = reinterpret_cast<const uint8_t *>(c->u.data());
  const uint8_t *o = reinterpret_cast<const uint8_t *>(c->o.data());
  const uint8_t *rec = as_owner ? o : u;
  const uint8_t *udata = as_owner ? u : nullptr;
  size_t udata_len = as_owner ? 48 : 0;
  uint8_t h[32];
  hash_r6(c, pw, rec + 32, udata, udata_len, h); // validation salt
  if (memcmp(h, rec, 32) != 0) return false;
  hash_r6(c, pw, rec + 40, udata, udata_len, h); // key salt
  return unwrap_key(c, h, as_owner ? c->oe : c->ue);
}

int crypt_authenticate(pdf_crypt *c, const char *password) {
  c->key.clear();
  c->owner = false;
  if (c->r >= 5) {
    if (!password) return check_r6(c, "", false) ? 0 : -1;
    std::string pw = crypt_saslprep_password(password);
    if (check_r6(c, pw, false)) return 0;
    if (check_r6(c, pw, true)) {
      c->owner = true;
      return 0;
    }
    return -1;
  }
  uint8_t padded[32];
  if (!password) {
    pad_password("", padded);
    return check_user_r4(c, padded) ? 0 : -1;
  }
  // The PDFDocEncoding bytes first, then the UTF-8 bytes as given when they
  // differ (some writers hash those).
  bool ok = false;
  std::string doc = crypt_pdfdoc_password(password, &ok);
  std::string tries[2] = {doc, password};
  for (int i = 0; i < (doc == password ? 1 : 2); i++) {
    pad_password(tries[i], padded);
    if (check_user_r4(c, padded)) return 0;
    if (check_owner_r4(c, tries[i])) {
      c->owner = true;
      return 0;
    }
  }
  return -1;
}

bool crypt_may_modify(const pdf_crypt *c) {
  return c->owner || (uint32_t(c->p) & 8u) != 0;
}

// ---- per object ----------------------------------------------------------

int crypt_stream_method(const pdf_crypt *c, const char *dict, size_t len) {
  span type = dict_get(dict, 0, len, "Type");
  if (span_is(dict, type, "/XRef")) return CRYPT_IDENTITY;
  if (!c->encrypt_metadata && span_is(dict, type, "/Metadata")) return CRYPT_IDENTITY;
  // A /Crypt filter (first in the filter list) picks a named crypt filter.
  span filter = dict_get(dict, 0, len, "Filter");
  if (filter.pos != filter.end) {
    std::string f(dict + filter.pos, filter.end - filter.pos);
    if (f.find("/Crypt") != std::string::npos) {
      span parms = dict_get(dict, 0, len, "DecodeParms");
      std::string name = "Identity";
      if (parms.pos != parms.end) {
        size_t at = parms.pos;
        if (dict[at] == '[') at = skip_ws_comments(dict, at + 1, parms.end);
        span nm = dict_get(dict, at, parms.end, "Name");
        if (nm.pos != nm.end && dict[nm.pos] == '/')
          name.assign(dict + nm.pos + 1, nm.end - nm.pos - 1);
      }
      int m = filter_method(c, name);
      return m < 0 ? CRYPT_IDENTITY : m;
    }
  }
  return c->stm_method;
}

std::vector<uint8_t> crypt_object_key(const pdf_crypt *c, int32_t num,
                                      int32_t gen, int method) {
  if (method == CRYPT_AESV3) return c->key;
  md5_ctx m;
  md5_init(&m);
  md5_update(&m, c->key.data(), c->key.size());
  uint8_t ng[5] = {uint8_t(num), uint8_t(num >> 8), uint8_t(num >> 16),
                   uint8_t(gen), uint8_t(gen >> 8)};
  md5_update(&m, ng, 5);
  if (method == CRYPT_AESV2) md5_update(&m, reinterpret_cast<const uint8_t *>("sAlT"), 4);
  uint8_t d[16];
  md5_final(&m, d);
  size_t n = c->key.size() + 5 < 16 ? c->key.size() + 5 : 16;
  return std::vector<uint8_t>(d, d + n);
}

std::vector<uint8_t> crypt_decrypt(const pdf_crypt *c, int32_t num,
                                   int32_t gen, int method,
                                   const uint8_t *in, size_t n) {
  if (method == CRYPT_IDENTITY) return std::vector<uint8_t>(in, in + n);
  std::vector<uint8_t> key = crypt_object_key(c, num, gen, method);
  if (method == CRYPT_RC4) {
    std::vector<uint8_t> out(in, in + n);
    if (n) rc4(key.data(), key.size(), out.data(), n);
    return out;
  }
  std::vector<uint8_t> out;
  if (n < 32) return out; // the IV and at least one block
  aes_key ak;
  if (!aes_setup(&ak, key.data(), key.size())) return out;
  aes_cbc_decrypt_padded(&ak, in, in + 16, n - 16, &out);
  return out;
}

// The buffer the initialisation vectors come from: one per thread, used
// bytes cleared.
namespace {
struct iv_pool {
  uint8_t bytes[4096];
  size_t left;
};
thread_local iv_pool t_ivs{{0}, 0};
}  // namespace

void crypt_random_fresh() {
  memset(t_ivs.bytes, 0, sizeof t_ivs.bytes);
  t_ivs.left = 0;
}

static bool random_iv(uint8_t iv[16]) {
  iv_pool *p = &t_ivs;
  if (p->left < 16) {
    if (!crypt_random(p->bytes, sizeof p->bytes)) return false;
    p->left = sizeof p->bytes;
  }
  uint8_t *at = p->bytes + sizeof p->bytes - p->left;
  memcpy(iv, at, 16);
  memset(at, 0, 16);
  p->left -= 16;
  return true;
}

// The round keys of the last key used: AES-256 encrypts every object with
// the file key, and setting it up costs as much as encrypting a string.
static const aes_key *schedule(const std::vector<uint8_t> &key) {
  struct cached {
    uint8_t key[32];
    size_t len;
    aes_key ak;
  };
  thread_local cached c{{0}, 0, {}};
  if (key.size() > sizeof c.key) return nullptr;
  if (c.len != key.size() || memcmp(c.key, key.data(), key.size()) != 0) {
    c.len = 0;
    if (!aes_setup(&c.ak, key.data(), key.size())) return nullptr;
    memcpy(c.key, key.data(), key.size());
    c.len = key.size();
  }
  return &c.ak;
}

bool crypt_text_has_strings(const char *text, size_t len) {
  for (size_t i = 0; i < len; i++) {
    if (text[i] == '(') return true;
    if (text[i] == '<') {
      if (i + 1 < len && text[i + 1] == '<') i++;
      else return true;
    }
  }
  return false;
}

std::vector<uint8_t> crypt_encrypt(const pdf_crypt *c, int32_t num,
                                   int32_t gen, int method,
                                   const uint8_t *in, size_t n) {
  if (method == CRYPT_IDENTITY) return std::vector<uint8_t>(in, in + n);
  std::vector<uint8_t> key = crypt_object_key(c, num, gen, method);
  if (method == CRYPT_RC4) {
    std::vector<uint8_t> out(in, in + n);
    if (n) rc4(key.data(), key.size(), out.data(), n);
    return out;
  }
  // The IV, then the data with PKCS#5 padding, encrypted in place.
  const size_t pad = 16 - n % 16;
  std::vector<uint8_t> out(16 + n + pad, uint8_t(pad));
  if (!random_iv(out.data())) throw std::runtime_error("no random bytes from the system");
  if (n) memcpy(out.data() + 16, in, n);
  const aes_key *ak = schedule(key);
  if (!ak) throw std::runtime_error("no AES key of that length");
  uint8_t v[16];
  memcpy(v, out.data(), 16);
  aes_cbc_encrypt(ak, v, out.data() + 16, out.data() + 16, n + pad);
  return out;
}

std::string crypt_text_strings(const pdf_crypt *c, int32_t num, int32_t gen,
                               const char *text, size_t len, bool encrypt) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(len + len / 2);
  size_t pos = 0;
  std::string raw;
  while (pos < len) {
    char ch = text[pos];
    bool hex = ch == '<' && !(pos + 1 < len && text[pos + 1] == '<');
    if (ch == '%') {
      size_t e = skip_ws_comments(text, pos, len);
      out.append(text + pos, e - pos);
      pos = e;
      continue;
    }
    if (ch == '<' && !hex) {
      out += "<<";
      pos += 2;
      continue;
    }
    if (ch != '(' && !hex) {
      out.push_back(ch);
      pos++;
      continue;
    }
    size_t e = value_end(text, pos, len);
    decode_string(text, pos, e, &raw);
    const uint8_t *rp = reinterpret_cast<const uint8_t *>(raw.data());
    std::vector<uint8_t> t = encrypt ? crypt_encrypt(c, num, gen, c->str_method, rp, raw.size())
                                     : crypt_decrypt(c, num, gen, c->str_method, rp, raw.size());
    out.push_back('<');
    for (uint8_t b : t) {
      out.push_back(digits[b >> 4]);
      out.push_back(digits[b & 15]);
    }
    out.push_back('>');
    pos = e;
  }
  return out;
}

bool crypt_trailer_entries(const char *dict, size_t len, std::string *encrypt,
                           std::string *id, std::string *id0) {
  span e = dict_get(dict, 0, len, "Encrypt");
  if (e.pos == e.end) return false;
  encrypt->assign(dict + e.pos, e.end - e.pos);
  span i = dict_get(dict, 0, len, "ID");
  id->clear();
  id0->clear();
  if (i.pos != i.end && dict[i.pos] == '[') {
    id->assign(dict + i.pos, i.end - i.pos);
    size_t s = skip_ws_comments(dict, i.pos + 1, i.end);
    decode_string(dict, s, value_end(dict, s, i.end), id0);
  }
  return true;
}

bool crypt_random(uint8_t *out, size_t n) {
#if defined(_WIN32)
  return BCryptGenRandom(nullptr, out, ULONG(n), BCRYPT_USE_SYSTEM_PREFERRED_RNG) == 0;
#else
  size_t got = 0;
#if defined(__linux__)
  while (got < n) {
    ssize_t r = getrandom(out + got, n - got, 0);
    if (r <= 0) break;
    got += size_t(r);
  }
  if (got == n) return true;
#endif
  int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  while (got < n) {
    ssize_t r = read(fd, out + got, n - got);
    if (r <= 0) break;
    got += size_t(r);
  }
  close(fd);
  return got == n;
#endif
}
