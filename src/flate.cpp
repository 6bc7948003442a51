// The Deflate codec: kp_inflate decodes raw Deflate data (RFC 1951) into a
// caller's buffer without allocating; kp_deflate writes complete zlib streams
// (RFC 1950) with greedy hash-chain matching and one dynamic-Huffman block
// per 64 KiB of input. No stored or fixed blocks are ever written, no preset
// dictionaries are read or written.
//
// Process-wide state: s_bitbuf, s_bitcnt, the four inflater length arrays,
// the cached fixed-code tables, the compressor's symbol tables, d_head and
// d_prev. Nothing is reentrant.
#include "flate.h"

#include <cstdlib>
#include <cstring>
#if defined(_MSC_VER)
#include <intrin.h>
#endif

// RFC 1951 3.2.5: length codes 257-285 and distance codes 0-29.
const int32_t d_len_base[29] = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                67, 83, 99, 115, 131, 163, 195, 227, 258};
const int32_t d_len_extra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
const int32_t d_dist_base[30] = {
    1,    2,    3,    4,    5,    7,     9,     13,    17,  25,
    33,   49,   65,   97,   129,  193,   257,   385,   513, 769,
    1025, 1537, 2049, 3073, 4097, 6145,  8193,  12289, 16385, 24577};
const int32_t d_dist_extra[30] = {0, 0, 0, 0, 1, 1, 2,  2,  3,  3,
                                  4, 4, 5, 5, 6, 6, 7,  7,  8,  8,
                                  9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
// RFC 1951 3.2.7: the order of the code-length code lengths in a block header.
const int32_t d_bl_order[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                11, 4,  12, 3, 13, 2, 14, 1, 15};

static uint64_t load_le64(const uint8_t *p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; i--) v = (v << 8) | p[i];
  return v;
}

static uint64_t load_ne64(const uint8_t *p) {
  uint64_t v;
  memcpy(&v, p, 8);
  return v;
}

static bool little_endian() {
  const uint16_t one = 1;
  uint8_t b;
  memcpy(&b, &one, 1);
  return b == 1;
}

// ---------------------------------------------------------------------------
// Inflate
//
// Format notes:
// - Huffman codes are packed most significant bit first, every other field
//   least significant bit first. The lookup tables below are therefore
//   indexed by the next bits of the stream in reading order, i.e. by the
//   bit-reversed code.
// - Incomplete codes are legal (a block with a single distance code of one
//   bit); a bit pattern that matches no code is an error only when it is
//   actually met. Over-subscribed codes are refused when the table is built.
// - The fixed literal/length code has codes for symbols 286 and 287 and the
//   fixed distance code leaves two 5-bit patterns unassigned: both decode
//   and are then refused.
// - A back-reference may overlap the bytes it produces (distance < length);
//   the copy must then behave as a byte-by-byte copy.
// - The bit buffer is refilled a 64-bit word at a time while 8 or more input
//   bytes remain. Near the end of the input it is topped up with zero bytes
//   that are counted in `pad`; if decoding ever consumes one of those bits
//   the input was too short and the call fails.

struct inf_reader {
  const uint8_t *src;
  size_t pos;  // next byte not yet taken into the bit buffer
  size_t len;
  int err;
  size_t pad;  // zero bytes appended past the end of src
  int full;    // decoding stopped for want of output room
};

static uint64_t s_bitbuf;
static unsigned s_bitcnt;

static int lit_lens[288];
static int dist_lens[30];
static int cl_lens[19];
static int all_lens[320];

// Fast table: indexed by the next FAST_BITS input bits. An entry holds the
// code length in bits 0-7, the kind in bits 8-11, the number of extra bits
// in bits 12-15 and the literal byte / base length / base distance in bits
// 16-31. Codes longer than FAST_BITS are resolved from the canonical
// description (count, first, offset, symbol).
constexpr int FAST_BITS = 10;
constexpr uint32_t FAST_SIZE = 1u << FAST_BITS;

enum : uint32_t { K_LIT = 0, K_LEN = 1, K_EOB = 2, K_BAD = 3, K_LONG = 4 };
enum huff_role { ROLE_LIT, ROLE_DIST, ROLE_CL };

struct huff_table {
  int32_t count[16];
  int32_t first[16];
  int32_t offset[16];
  uint16_t symbol[288];
  uint32_t fast[FAST_SIZE];
};

static uint32_t entry_kind(uint32_t e) { return (e >> 8) & 15; }

static uint32_t make_entry(huff_role role, int sym, int code_len) {
  uint32_t l = static_cast<uint32_t>(code_len);
  switch (role) {
  case ROLE_CL:
    return (static_cast<uint32_t>(sym) << 16) | (K_LIT << 8) | l;
  case ROLE_DIST:
    if (sym < 30)
      return (static_cast<uint32_t>(d_dist_base[sym]) << 16) |
             (static_cast<uint32_t>(d_dist_extra[sym]) << 12) | (K_LEN << 8) |
             l;
    return K_BAD << 8;
  case ROLE_LIT:
    break;
  }
  if (sym < 256) return (static_cast<uint32_t>(sym) << 16) | (K_LIT << 8) | l;
  if (sym == 256) return (K_EOB << 8) | l;
  if (sym <= 285)
    return (static_cast<uint32_t>(d_len_base[sym - 257]) << 16) |
           (static_cast<uint32_t>(d_len_extra[sym - 257]) << 12) |
           (K_LEN << 8) | l;
  return K_BAD << 8;  // 286, 287: only the fixed code has them
}

static unsigned reverse_bits(unsigned code, int n) {
  unsigned r = 0;
  for (int i = 0; i < n; i++) {
    r = (r << 1) | (code & 1);
    code >>= 1;
  }
  return r;
}

// Builds `t` from n code lengths (0 = no code). 0 with err set when the
// lengths are over-subscribed; an incomplete code is accepted.
static int huff_build(inf_reader *r, huff_table *t, const int *lengths, int n,
                      huff_role role) {
  memset(t->count, 0, sizeof t->count);
  for (int s = 0; s < n; s++)
    if (lengths[s] > 0) t->count[lengths[s]]++;
  int32_t left = 1;
  for (int len = 1; len < 16; len++) {
    left = 2 * left - t->count[len];
    if (left < 0) {
      r->err = 1;
      return 0;
    }
  }
  t->first[0] = t->offset[0] = 0;
  t->first[1] = t->offset[1] = 0;
  for (int len = 2; len < 16; len++) {
    t->first[len] = 2 * (t->first[len - 1] + t->count[len - 1]);
    t->offset[len] = t->offset[len - 1] + t->count[len - 1];
  }
  int32_t next[16];
  memcpy(next, t->offset, sizeof next);
  for (int s = 0; s < n; s++)
    if (lengths[s] > 0) t->symbol[next[lengths[s]]++] = static_cast<uint16_t>(s);

  const uint32_t long_entry = K_LONG << 8;
  for (uint32_t i = 0; i < FAST_SIZE; i++) t->fast[i] = long_entry;
  for (int len = 1; len <= FAST_BITS; len++) {
    for (int32_t k = 0; k < t->count[len]; k++) {
      unsigned code = static_cast<unsigned>(t->first[len] + k);
      uint32_t e = make_entry(role, t->symbol[t->offset[len] + k], len);
      for (uint32_t j = reverse_bits(code, len); j < FAST_SIZE; j += 1u << len)
        t->fast[j] = e;
    }
  }
  return 1;
}

// Canonical decoding of a code longer than the fast table covers, from the
// next 15 bits of `bits`; a K_BAD entry when 15 bits match no code.
static uint32_t huff_slow(const huff_table *t, uint64_t bits, huff_role role) {
  int32_t code = 0;
  for (int len = 1; len < 16; len++) {
    code = 2 * code + static_cast<int32_t>((bits >> (len - 1)) & 1);
    if (code >= t->first[len] && code - t->first[len] < t->count[len])
      return make_entry(role, t->symbol[t->offset[len] + code - t->first[len]],
                        len);
  }
  return K_BAD << 8;
}

// Tops the bit buffer up to at least 56 bits, past the end with zero bytes.
// Bits above `bc` are either zero or the low bits of src[pos], so or-ing a
// whole word or byte over them is harmless.
static void refill(inf_reader *r, uint64_t &bb, unsigned &bc) {
  if (r->len - r->pos >= 8) {
    bb |= load_le64(r->src + r->pos) << bc;
    r->pos += (63 - bc) >> 3;
    bc |= 56;
    return;
  }
  while (bc < 56) {
    uint64_t b = 0;
    if (r->pos < r->len)
      b = r->src[r->pos++];
    else
      r->pad++;
    bb |= b << bc;
    bc += 8;
  }
}

// True while no bit of the zero padding has been consumed.
static bool bits_real(const inf_reader *r, unsigned bc) {
  return r->pad == 0 || static_cast<uint64_t>(bc) >= 8 * static_cast<uint64_t>(r->pad);
}

// The next n bits (1 to 13), first bit read in bit 0; sets err when the
// input ends first.
static int in_bits(inf_reader *r, int n) {
  uint64_t bb = s_bitbuf;
  unsigned bc = s_bitcnt;
  if (bc < static_cast<unsigned>(n)) refill(r, bb, bc);
  int v = static_cast<int>(bb & ((1u << n) - 1));
  s_bitbuf = bb >> n;
  s_bitcnt = bc - static_cast<unsigned>(n);
  if (!bits_real(r, s_bitcnt)) {
    r->err = 1;
    return 0;
  }
  return v;
}

// The next symbol of a code-length code, -1 with err set on failure.
static int huff_decode(inf_reader *r, const huff_table *t) {
  uint64_t bb = s_bitbuf;
  unsigned bc = s_bitcnt;
  if (bc < 15) refill(r, bb, bc);
  uint32_t e = t->fast[bb & (FAST_SIZE - 1)];
  if (entry_kind(e) == K_LONG) e = huff_slow(t, bb, ROLE_CL);
  unsigned n = e & 0xFF;
  s_bitbuf = bb >> n;
  s_bitcnt = bc - n;
  if (entry_kind(e) == K_BAD || !bits_real(r, s_bitcnt)) {
    r->err = 1;
    return -1;
  }
  return static_cast<int>(e >> 16);
}

// Copies a back-reference of `length` bytes from `dist` bytes back; `room`
// is the space left from o to the end of the output buffer.
static void copy_match(uint8_t *o, size_t dist, size_t length, size_t room) {
  const uint8_t *s = o - dist;
  if (room >= length + 8) {
    // With 8 bytes of room to spare, copies go in 8-byte chunks and the
    // last one may spill into the free room; the spilled bytes are
    // overwritten later or lie beyond the result.
    if (dist >= 8) {
      // Each chunk reads only bytes written before it.
      for (size_t i = 0; i < length; i += 8) memcpy(o + i, s + i, 8);
      return;
    }
    if (dist == 1) {
      memset(o, *s, length);
      return;
    }
    // A short distance repeats a pattern of `dist` bytes: lay down the
    // first 8 bytes one by one, then copy chunks from a whole number of
    // periods back, at least 8 bytes so the chunks do not overlap.
    for (size_t i = 0; i < 8; i++) o[i] = s[i];
    const size_t step = dist * ((8 + dist - 1) / dist);
    for (size_t i = 8; i < length; i += 8) memcpy(o + i, o + i - step, 8);
    return;
  }
  for (size_t i = 0; i < length; i++) o[i] = s[i];
}

// Decodes the symbols of one block up to its end-of-block code. The reader
// is worked on in a local copy: stores into dst could alias it otherwise.
static int inflate_symbols(inf_reader *reader, const huff_table *lt,
                           const huff_table *dt, uint8_t *dst,
                           size_t &out_pos, size_t out_cap) {
  inf_reader rd = *reader;
  inf_reader *r = &rd;
  uint64_t bb = s_bitbuf;
  unsigned bc = s_bitcnt;
  size_t op = out_pos;
  int ok = 0;
  for (;;) {
    refill(r, bb, bc);  // at least 56 bits: one symbol and its match fit

    uint32_t e = lt->fast[bb & (FAST_SIZE - 1)];
    if (entry_kind(e) == K_LONG) e = huff_slow(lt, bb, ROLE_LIT);
    uint32_t kind = entry_kind(e);
    if (kind == K_LIT) {
      unsigned n = e & 0xFF;
      bb >>= n;
      bc -= n;
      if (!bits_real(r, bc)) break;
      if (op >= out_cap) {
        r->full = 1;
        break;
      }
      dst[op++] = static_cast<uint8_t>(e >> 16);
      // A second literal from the same refill when it is short enough.
      uint32_t e2 = lt->fast[bb & (FAST_SIZE - 1)];
      if (entry_kind(e2) == K_LIT) {
        unsigned n2 = e2 & 0xFF;
        bb >>= n2;
        bc -= n2;
        if (!bits_real(r, bc)) break;
        if (op >= out_cap) {
          r->full = 1;
          break;
        }
        dst[op++] = static_cast<uint8_t>(e2 >> 16);
      }
      continue;
    }
    if (kind != K_LEN) {
      if (kind == K_EOB) {
        unsigned n = e & 0xFF;
        bb >>= n;
        bc -= n;
        ok = bits_real(r, bc);
      }
      break;  // K_EOB, or K_BAD (286, 287, or no code)
    }
    unsigned n = e & 0xFF;
    unsigned extra = (e >> 12) & 15;
    bb >>= n;
    size_t length = (e >> 16) + static_cast<size_t>(bb & ((1u << extra) - 1));
    bb >>= extra;
    bc -= n + extra;

    uint32_t d = dt->fast[bb & (FAST_SIZE - 1)];
    if (entry_kind(d) == K_LONG) d = huff_slow(dt, bb, ROLE_DIST);
    if (entry_kind(d) != K_LEN) break;
    n = d & 0xFF;
    extra = (d >> 12) & 15;
    bb >>= n;
    size_t dist = (d >> 16) + static_cast<size_t>(bb & ((1u << extra) - 1));
    bb >>= extra;
    bc -= n + extra;
    if (!bits_real(r, bc)) break;
    if (dist > op) break;
    if (length > out_cap - op) {
      // What fits is written: a caller that asked for the first bytes
      // alone has them all.
      copy_match(dst + op, dist, out_cap - op, out_cap - op);
      op = out_cap;
      r->full = 1;
      break;
    }
    copy_match(dst + op, dist, length, out_cap - op);
    op += length;
  }
  s_bitbuf = bb;
  s_bitcnt = bc;
  out_pos = op;
  rd.err = ok ? rd.err : 1;
  *reader = rd;
  return ok;
}

static huff_table s_fixed_lit, s_fixed_dist;
static bool s_fixed_ready;

static int inflate_block_fixed(inf_reader *r, uint8_t *dst, size_t &out_pos,
                               size_t out_cap) {
  if (!s_fixed_ready) {
    for (int s = 0; s < 288; s++)
      lit_lens[s] = s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8;
    for (int s = 0; s < 30; s++) dist_lens[s] = 5;
    inf_reader scratch = {nullptr, 0, 0, 0, 0, 0};
    huff_build(&scratch, &s_fixed_lit, lit_lens, 288, ROLE_LIT);
    huff_build(&scratch, &s_fixed_dist, dist_lens, 30, ROLE_DIST);
    s_fixed_ready = true;
  }
  return inflate_symbols(r, &s_fixed_lit, &s_fixed_dist, dst, out_pos,
                         out_cap);
}

static int inflate_block_dynamic(inf_reader *r, uint8_t *dst, size_t &out_pos,
                                 size_t out_cap) {
  int nlen = in_bits(r, 5) + 257;
  int ndist = in_bits(r, 5) + 1;
  int ncode = in_bits(r, 4) + 4;
  if (r->err || nlen > 286 || ndist > 30) return 0;

  memset(cl_lens, 0, sizeof cl_lens);
  for (int i = 0; i < ncode; i++) cl_lens[d_bl_order[i]] = in_bits(r, 3);
  if (r->err) return 0;
  huff_table lt, dt;
  if (!huff_build(r, &lt, cl_lens, 19, ROLE_CL)) return 0;

  int total = nlen + ndist;
  int i = 0;
  while (i < total) {
    int sym = huff_decode(r, &lt);
    if (sym < 0) return 0;
    if (sym < 16) {
      all_lens[i++] = sym;
      continue;
    }
    int value = 0, rep;
    if (sym == 16) {
      if (i == 0) return 0;
      value = all_lens[i - 1];
      rep = 3 + in_bits(r, 2);
    } else if (sym == 17) {
      rep = 3 + in_bits(r, 3);
    } else {
      rep = 11 + in_bits(r, 7);
    }
    if (r->err || i + rep > total) return 0;
    while (rep--) all_lens[i++] = value;
  }
  if (r->err) return 0;
  if (!huff_build(r, &lt, all_lens, nlen, ROLE_LIT)) return 0;
  if (!huff_build(r, &dt, all_lens + nlen, ndist, ROLE_DIST)) return 0;
  return inflate_symbols(r, &lt, &dt, dst, out_pos, out_cap);
}

int kp_inflate(const uint8_t *src, size_t src_len, uint8_t *dst,
               size_t dst_cap) {
  // The count is returned as a signed 32-bit value: 2 GiB or more fails.
  const size_t out_cap = dst_cap < 0x7FFFFFFFu ? dst_cap : 0x7FFFFFFFu;
  inf_reader r = {src, 0, src ? src_len : 0, 0, 0, 0};
  s_bitbuf = 0;
  s_bitcnt = 0;
  size_t out_pos = 0;
  for (;;) {
    int hdr = in_bits(&r, 3);
    if (r.err) return -1;
    int type = hdr >> 1;
    if (type == 0) {
      // Back to the byte boundary: give back the whole bytes still in the
      // buffer (the padding is not input).
      unsigned whole = s_bitcnt >> 3;
      if (whole < r.pad) return -1;
      r.pos -= whole - r.pad;
      r.pad = 0;
      s_bitbuf = 0;
      s_bitcnt = 0;
      if (r.len - r.pos < 4) return -1;
      const uint8_t *p = src + r.pos;
      unsigned len = p[0] | (p[1] << 8);
      unsigned nlen = p[2] | (p[3] << 8);
      r.pos += 4;
      if (nlen != (~len & 0xFFFFu)) return -1;
      if (r.len - r.pos < len) return -1;
      if (out_cap - out_pos < len) {
        if (out_cap > out_pos) memcpy(dst + out_pos, src + r.pos, out_cap - out_pos);
        return -2;
      }
      if (len) memcpy(dst + out_pos, src + r.pos, len);
      r.pos += len;
      out_pos += len;
    } else if (type == 1) {
      if (!inflate_block_fixed(&r, dst, out_pos, out_cap)) return r.full ? -2 : -1;
    } else if (type == 2) {
      if (!inflate_block_dynamic(&r, dst, out_pos, out_cap)) return r.full ? -2 : -1;
    } else {
      return -1;
    }
    if (hdr & 1) return static_cast<int>(out_pos);
  }
}

// ---------------------------------------------------------------------------
// Deflate
//
// The output is fully determined by the input: greedy matching over hash
// chains of at most 128 candidates, each block's chains starting empty,
// code lengths built as zlib builds them (heap ordered by frequency, then
// subtree depth; lengths limited by moving leaves down). Word-at-a-time
// comparisons and the checks that skip hopeless candidates only make it
// faster; they never change which match is chosen.

struct ds_buf {
  uint64_t bitbuf;  // pending bits, next output bit in bit 0
  int bitcnt;       // 0-31 between writes
  uint8_t *data;
  size_t len;
  size_t cap;
};

struct d_seq {
  uint16_t len;   // 3-258, or 0 for a literal
  uint16_t dist;  // 1-32767, or the literal byte
};

struct d_node {
  uint32_t freq;
  int16_t len;
  uint16_t code;
  int16_t parent;
};

constexpr int L_CODES = 286;
constexpr int D_CODES = 30;
constexpr int BL_CODES = 19;
constexpr int HEAP_SIZE = 2 * L_CODES + 3;  // 575
constexpr int32_t WSIZE = 32768;
constexpr int MAX_CHAIN = 128;
constexpr int MAX_MATCH = 258;
constexpr size_t BLOCK_SIZE = 65536;

struct d_heap {
  int32_t heap[HEAP_SIZE];
  uint16_t depth[HEAP_SIZE + 1];
  int heap_len;
  int heap_max;
  int max_code;
};

static int32_t d_head[WSIZE];
static int32_t d_prev[WSIZE];

// Length 3-258 to index 0-28 of d_len_base; distance to its code, through
// the distance itself up to 256 and its 128-byte bucket above.
struct d_sym_tables {
  uint8_t len_index[MAX_MATCH + 1];
  uint8_t dist_code[512];
};

static d_sym_tables s_sym;
static bool s_sym_ready;

static void make_sym_tables() {
  d_sym_tables &t = s_sym;
  for (int l = 3; l <= MAX_MATCH; l++) {
    int i = 0;
    while (i < 27 && d_len_base[i + 1] <= l) i++;
    if (l == MAX_MATCH) i = 28;
    t.len_index[l] = static_cast<uint8_t>(i);
  }
  for (int d = 1; d <= 256; d++) {
    int j = 0;
    while (j < 29 && d_dist_base[j + 1] <= d) j++;
    t.dist_code[d - 1] = static_cast<uint8_t>(j);
  }
  for (int b = 2; b < 256; b++) {
    int d = b * 128 + 1;
    int j = 0;
    while (j < 29 && d_dist_base[j + 1] <= d) j++;
    t.dist_code[256 + b] = static_cast<uint8_t>(j);
  }
  s_sym_ready = true;
}

static int dist_code(unsigned dist) {
  return dist <= 256 ? s_sym.dist_code[dist - 1]
                     : s_sym.dist_code[256 + ((dist - 1) >> 7)];
}

// Makes room for `need` more bytes (plus an 8-byte margin for the word
// flushes); false when memory runs out.
static bool ds_reserve(ds_buf *w, size_t need) {
  if (need > SIZE_MAX - 8 - w->len) return false;
  size_t want = w->len + need + 8;
  if (want <= w->cap) return true;
  size_t cap = w->cap ? w->cap : (1u << 20);
  while (cap < want) {
    if (cap > SIZE_MAX / 2) return false;
    cap *= 2;
  }
  uint8_t *p = static_cast<uint8_t *>(realloc(w->data, cap));
  if (!p) return false;
  w->data = p;
  w->cap = cap;
  return true;
}

// Appends the nbits (at most 16) of value, least significant first. Room has
// been reserved beforehand.
static void ds_put(ds_buf *w, unsigned value, int nbits) {
  w->bitbuf |= static_cast<uint64_t>(value) << w->bitcnt;
  w->bitcnt += nbits;
  if (w->bitcnt >= 32) {
    uint32_t v = static_cast<uint32_t>(w->bitbuf);
    uint8_t *p = w->data + w->len;
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
    w->len += 4;
    w->bitbuf >>= 32;
    w->bitcnt -= 32;
  }
}

// Writes out the whole pending bytes; the rest of a partial byte is padded
// with zero bits.
static void ds_flush(ds_buf *w) {
  while (w->bitcnt > 0) {
    w->data[w->len++] = static_cast<uint8_t>(w->bitbuf);
    w->bitbuf >>= 8;
    w->bitcnt -= 8;
  }
  w->bitbuf = 0;
  w->bitcnt = 0;
}

static bool d_less(const d_node *tree, const d_heap *h, int a, int b) {
  return tree[a].freq < tree[b].freq ||
         (tree[a].freq == tree[b].freq && h->depth[a] <= h->depth[b]);
}

static void d_pqdown(d_heap *h, const d_node *tree, int k) {
  int v = h->heap[k];
  int j = k << 1;
  while (j <= h->heap_len) {
    if (j < h->heap_len) {
      int a = h->heap[j + 1], b = h->heap[j];
      if (tree[a].freq < tree[b].freq ||
          (tree[a].freq == tree[b].freq && h->depth[a] < h->depth[b]))
        j++;
    }
    if (d_less(tree, h, v, h->heap[j])) break;
    h->heap[k] = h->heap[j];
    k = j;
    j <<= 1;
  }
  h->heap[k] = v;
}

// Huffman code for symbols 0..elems-1 from their frequencies, no code longer
// than max_length. Returns the highest symbol that has a code.
static int d_build(d_heap *h, d_node *tree, int elems, int max_length) {
  memset(h, 0, sizeof *h);
  h->heap_max = HEAP_SIZE;
  h->max_code = -1;
  for (int n = 0; n < elems; n++) {
    if (tree[n].freq != 0) {
      h->heap[++h->heap_len] = n;
      h->max_code = n;
      h->depth[n] = 0;
    } else {
      tree[n].len = 0;
    }
  }
  // Deflate needs at least two codes, even when one or no symbol is used.
  while (h->heap_len < 2) {
    int node = h->max_code < 2 ? ++h->max_code : 0;
    h->heap[++h->heap_len] = node;
    tree[node].freq = 1;
    h->depth[node] = 0;
  }
  const int max_code = h->max_code;
  for (int k = h->heap_len / 2; k >= 1; k--) d_pqdown(h, tree, k);

  int node = elems;
  do {
    int n = h->heap[1];
    h->heap[1] = h->heap[h->heap_len--];
    d_pqdown(h, tree, 1);
    int m = h->heap[1];
    h->heap[--h->heap_max] = n;
    h->heap[--h->heap_max] = m;
    tree[node].freq = tree[n].freq + tree[m].freq;
    uint16_t dn = h->depth[n], dm = h->depth[m];
    h->depth[node] = static_cast<uint16_t>((dn >= dm ? dn : dm) + 1);
    tree[n].parent = tree[m].parent = static_cast<int16_t>(node);
    h->heap[1] = node++;
    d_pqdown(h, tree, 1);
  } while (h->heap_len >= 2);
  h->heap[--h->heap_max] = h->heap[1];

  // Lengths from the depths, cut at max_length.
  int bl_count[16] = {0};
  tree[h->heap[h->heap_max]].len = 0;
  int overflow = 0;
  for (int k = h->heap_max + 1; k < HEAP_SIZE; k++) {
    int n = h->heap[k];
    int bits = tree[tree[n].parent].len + 1;
    if (bits > max_length) {
      bits = max_length;
      overflow++;
    }
    tree[n].len = static_cast<int16_t>(bits);
    if (n <= max_code) bl_count[bits]++;
  }
  if (overflow > 0) {
    // Move a leaf from the deepest level below the limit one level down,
    // bringing one of the overflowed leaves along as its sibling.
    do {
      int bits = max_length - 1;
      while (bits > 0 && bl_count[bits] == 0) bits--;
      if (bits == 0) break;
      bl_count[bits]--;
      bl_count[bits + 1] += 2;
      bl_count[max_length]--;
      overflow -= 2;
    } while (overflow > 0);
    // The least frequent symbols left the heap first: they take the
    // longest codes.
    int k = HEAP_SIZE;
    for (int bits = max_length; bits != 0; bits--) {
      int n = bl_count[bits];
      while (n > 0 && k > h->heap_max) {
        int m = h->heap[--k];
        if (m > max_code) continue;
        tree[m].len = static_cast<int16_t>(bits);
        n--;
      }
    }
  }

  // Canonical codes, stored bit-reversed for least-significant-first output.
  int count[16] = {0};
  for (int n = 0; n <= max_code; n++) count[tree[n].len]++;
  unsigned next_code[16] = {0};
  for (int b = 2; b < 16; b++)
    next_code[b] = 2 * (next_code[b - 1] + static_cast<unsigned>(count[b - 1]));
  for (int n = 0; n <= max_code; n++) {
    int l = tree[n].len;
    if (l == 0) {
      tree[n].code = 0;
      continue;
    }
    tree[n].code = static_cast<uint16_t>(reverse_bits(next_code[l]++, l));
  }
  return max_code;
}

// The run-length walk shared by d_scan_tree and d_send_tree: calls
// emit(symbol, extra_value, extra_bits, times) for each code-length symbol.
template <class Emit>
static void d_walk_tree(const d_node *tree, int max_code, Emit emit) {
  int prevlen = -1;
  int nextlen = tree[0].len;
  int count = 0;
  int max_count = 7, min_count = 4;
  if (nextlen == 0) {
    max_count = 138;
    min_count = 3;
  }
  for (int n = 0; n <= max_code; n++) {
    int curlen = nextlen;
    nextlen = tree[n + 1].len;
    if (++count < max_count && curlen == nextlen) continue;
    if (count < min_count) {
      emit(curlen, 0, 0, count);
    } else if (curlen != 0) {
      if (curlen != prevlen) {
        emit(curlen, 0, 0, 1);
        count--;
      }
      emit(16, count - 3, 2, 1);
    } else if (count <= 10) {
      emit(17, count - 3, 3, 1);
    } else {
      emit(18, count - 11, 7, 1);
    }
    count = 0;
    prevlen = curlen;
    if (nextlen == 0) {
      max_count = 138;
      min_count = 3;
    } else if (curlen == nextlen) {
      max_count = 6;
      min_count = 3;
    } else {
      max_count = 7;
      min_count = 4;
    }
  }
}

static void d_scan_tree(const d_node *tree, int max_code, d_node *bl_tree) {
  d_walk_tree(tree, max_code, [bl_tree](int sym, int, int, int times) {
    bl_tree[sym].freq += static_cast<uint32_t>(times);
  });
}

static void d_send_tree(ds_buf *w, const d_node *tree, int max_code,
                        const d_node *bl_tree) {
  d_walk_tree(tree, max_code,
              [w, bl_tree](int sym, int value, int nbits, int times) {
                for (int t = 0; t < times; t++)
                  ds_put(w, bl_tree[sym].code, bl_tree[sym].len);
                if (nbits) ds_put(w, static_cast<unsigned>(value), nbits);
              });
}

// Index of the lowest nonzero byte of x (x != 0), little-endian order.
static unsigned first_diff_byte(uint64_t x) {
#if defined(_MSC_VER)
  unsigned long i;
  _BitScanForward64(&i, x);
  return static_cast<unsigned>(i >> 3);
#else
  return static_cast<unsigned>(__builtin_ctzll(x) >> 3);
#endif
}

static unsigned d_hash(const uint8_t *p) {
  return ((p[0] * 31u + p[1]) * 31u + p[2]) & 0x7FFF;
}

// Number of equal bytes at a and b, at most max.
static unsigned match_len(const uint8_t *a, const uint8_t *b, unsigned max,
                          bool le) {
  unsigned n = 0;
  if (le) {
    while (n + 8 <= max) {
      uint64_t x = load_ne64(a + n) ^ load_ne64(b + n);
      if (x) return n + first_diff_byte(x);
      n += 8;
    }
  }
  while (n < max && a[n] == b[n]) n++;
  return n;
}

// LZ77 pass over one block: fills items and the frequencies, returns the
// number of items.
static size_t d_lz77(const uint8_t *data, size_t len, d_seq *items,
                     d_node *ltree, d_node *dtree) {
  memset(d_head, 0, sizeof d_head);
  memset(d_prev, 0, sizeof d_prev);
  const bool le = little_endian();
  const int32_t n = static_cast<int32_t>(len);
  size_t nitems = 0;
  int32_t k = 0;
  while (k < n) {
    int32_t best = 0, best_dist = 0;
    if (n - k >= 3) {
      const uint8_t *cur = data + k;
      int32_t limit = k > WSIZE - 1 ? k - WSIZE : 0;
      int32_t max = n - k < MAX_MATCH ? n - k : MAX_MATCH;
      int32_t cand = d_head[d_hash(cur)];
      for (int tries = 0; cand > limit && tries < MAX_CHAIN; tries++) {
        const uint8_t *c = data + cand;
        // Only a strictly longer match can replace the best, so the byte
        // at the best length must agree too.
        if (c[best] == cur[best] && c[0] == cur[0] && c[1] == cur[1] &&
            c[2] == cur[2]) {
          int32_t count = static_cast<int32_t>(
              3 + match_len(c + 3, cur + 3, static_cast<unsigned>(max - 3), le));
          if (count > best) {
            best = count;
            best_dist = k - cand;
            if (best >= max) break;  // nothing can be longer
          }
        }
        cand = d_prev[cand & (WSIZE - 1)];
      }
    }
    int32_t next;
    if (best >= 3) {
      items[nitems].len = static_cast<uint16_t>(best);
      items[nitems].dist = static_cast<uint16_t>(best_dist);
      ltree[257 + s_sym.len_index[best]].freq++;
      dtree[dist_code(static_cast<unsigned>(best_dist))].freq++;
      next = k + best;
    } else {
      items[nitems].len = 0;
      items[nitems].dist = data[k];
      ltree[data[k]].freq++;
      next = k + 1;
    }
    nitems++;
    int32_t stop = next < n - 2 ? next : n - 2;  // p + 3 <= len
    for (int32_t p = k; p < stop; p++) {
      unsigned h = d_hash(data + p);
      d_prev[p & (WSIZE - 1)] = d_head[h];
      d_head[h] = p;
    }
    k = next;
  }
  return nitems;
}

// Appends one dynamic-Huffman block for data[0..len), len <= 65536. `items`
// has room for max(len, 1) entries. False when the output cannot grow.
static bool d_emit_block(ds_buf *w, const uint8_t *data, size_t len, int final,
                         d_seq *items) {
  d_node ltree[2 * L_CODES];
  d_node dtree[2 * D_CODES + 1];
  d_node bl_tree[2 * BL_CODES + 1];
  d_heap heap;
  memset(ltree, 0, sizeof ltree);
  memset(dtree, 0, sizeof dtree);
  memset(bl_tree, 0, sizeof bl_tree);
  ltree[256].freq = 1;

  size_t nitems = d_lz77(data, len, items, ltree, dtree);

  int lmax = d_build(&heap, ltree, L_CODES, 15);
  int dmax = d_build(&heap, dtree, D_CODES, 15);
  ltree[lmax + 1].len = -1;
  dtree[dmax + 1].len = -1;
  d_scan_tree(ltree, lmax, bl_tree);
  d_scan_tree(dtree, dmax, bl_tree);
  d_build(&heap, bl_tree, BL_CODES, 7);
  int max_blindex = 3;
  for (int i = 18; i >= 4; i--) {
    if (bl_tree[d_bl_order[i]].len != 0) {
      max_blindex = i;
      break;
    }
  }

  // Header and trees take under 700 bytes; no item takes more than 15 bits
  // per literal or 48 bits per match of 3 or more bytes.
  if (!ds_reserve(w, 2 * len + 1024)) return false;
  ds_put(w, static_cast<unsigned>(final), 1);
  ds_put(w, 2, 2);
  ds_put(w, static_cast<unsigned>(lmax - 256), 5);
  ds_put(w, static_cast<unsigned>(dmax), 5);
  ds_put(w, static_cast<unsigned>(max_blindex - 3), 4);
  for (int i = 0; i <= max_blindex; i++)
    ds_put(w, static_cast<unsigned>(bl_tree[d_bl_order[i]].len), 3);
  d_send_tree(w, ltree, lmax, bl_tree);
  d_send_tree(w, dtree, dmax, bl_tree);

  for (size_t i = 0; i < nitems; i++) {
    const d_seq s = items[i];
    if (s.len == 0) {
      ds_put(w, ltree[s.dist].code, ltree[s.dist].len);
      continue;
    }
    int li = s_sym.len_index[s.len];
    ds_put(w, ltree[257 + li].code, ltree[257 + li].len);
    if (d_len_extra[li])
      ds_put(w, static_cast<unsigned>(s.len - d_len_base[li]), d_len_extra[li]);
    int dc = dist_code(s.dist);
    ds_put(w, dtree[dc].code, dtree[dc].len);
    if (d_dist_extra[dc])
      ds_put(w, static_cast<unsigned>(s.dist - d_dist_base[dc]),
             d_dist_extra[dc]);
  }
  ds_put(w, ltree[256].code, ltree[256].len);
  return true;
}

int kp_deflate(const uint8_t *src, size_t src_len, uint8_t **out,
               size_t *out_len) {
  ds_buf w = {0, 0, nullptr, 0, 0};
  if (!s_sym_ready) make_sym_tables();
  w.data = static_cast<uint8_t *>(malloc(1u << 20));
  if (!w.data) return -1;
  w.cap = 1u << 20;
  w.data[0] = 0x78;  // method 8, 32 KiB window
  w.data[1] = 0x01;  // no dictionary, level field 0, 0x7801 % 31 == 0
  w.len = 2;

  size_t item_num = src_len < BLOCK_SIZE ? src_len : BLOCK_SIZE;
  if (item_num == 0) item_num = 1;
  d_seq *items = static_cast<d_seq *>(malloc(item_num * sizeof(d_seq)));
  if (!items) {
    free(w.data);
    return -1;
  }
  bool ok = true;
  if (src_len == 0) {
    ok = d_emit_block(&w, src, 0, 1, items);
  } else {
    for (size_t at = 0; ok && at < src_len; at += BLOCK_SIZE) {
      size_t n = src_len - at < BLOCK_SIZE ? src_len - at : BLOCK_SIZE;
      ok = d_emit_block(&w, src + at, n, at + n == src_len, items);
    }
  }
  free(items);
  if (!ok || !ds_reserve(&w, 16)) {
    free(w.data);
    return -1;
  }
  ds_flush(&w);
  uint32_t a = kp_adler32(src, src_len);
  w.data[w.len++] = static_cast<uint8_t>(a >> 24);
  w.data[w.len++] = static_cast<uint8_t>(a >> 16);
  w.data[w.len++] = static_cast<uint8_t>(a >> 8);
  w.data[w.len++] = static_cast<uint8_t>(a);
  *out = w.data;
  *out_len = w.len;
  return 0;
}

uint32_t kp_adler32(const uint8_t *p, size_t n) {
  // 5552 is the largest run after which b cannot yet overflow 32 bits.
  uint32_t a = 1, b = 0;
  while (n > 0) {
    size_t run = n < 5552 ? n : 5552;
    n -= run;
    while (run >= 8) {
      a += p[0]; b += a;
      a += p[1]; b += a;
      a += p[2]; b += a;
      a += p[3]; b += a;
      a += p[4]; b += a;
      a += p[5]; b += a;
      a += p[6]; b += a;
      a += p[7]; b += a;
      p += 8;
      run -= 8;
    }
    while (run--) {
      a += *p++;
      b += a;
    }
    a %= 65521;
    b %= 65521;
  }
  return (b << 16) | a;
}
