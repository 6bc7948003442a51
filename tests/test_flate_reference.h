// Plain, slow models of the codec for differential testing: an inflater that
// reads one bit at a time and walks the canonical code lengths (as puff
// does), and a compressor that matches byte by byte and writes byte by byte.
// Both follow the codec's documented behaviour step by step; the real codec
// must give the same result (bytes or -1) for every input.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "flate.h"

namespace ref {

struct reader {
  const uint8_t *src;
  size_t pos, len;
  int err;
  uint32_t bitbuf;
  int bitcnt;
};

inline int bits(reader &r, int n) {
  while (r.bitcnt < n) {
    if (r.pos >= r.len) {
      r.err = 1;
      return 0;
    }
    r.bitbuf |= static_cast<uint32_t>(r.src[r.pos++]) << r.bitcnt;
    r.bitcnt += 8;
  }
  int v = static_cast<int>(r.bitbuf & ((1u << n) - 1));
  r.bitbuf >>= n;
  r.bitcnt -= n;
  return v;
}

struct table {
  int count[16], first[16], offset[16];
  int symbol[288];
};

inline int build(reader &r, table &t, const int *len, int n) {
  memset(&t, 0, sizeof t);
  for (int s = 0; s < n; s++)
    if (len[s]) t.count[len[s]]++;
  int left = 1;
  for (int l = 1; l < 16; l++) {
    left = 2 * left - t.count[l];
    if (left < 0) {
      r.err = 1;
      return 0;
    }
  }
  for (int l = 2; l < 16; l++) {
    t.first[l] = 2 * (t.first[l - 1] + t.count[l - 1]);
    t.offset[l] = t.offset[l - 1] + t.count[l - 1];
  }
  int next[16];
  memcpy(next, t.offset, sizeof next);
  for (int s = 0; s < n; s++)
    if (len[s]) t.symbol[next[len[s]]++] = s;
  return 1;
}

inline int decode(reader &r, const table &t) {
  int code = 0;
  for (int l = 1; l < 16; l++) {
    code = 2 * code + bits(r, 1);
    if (r.err) return -1;
    if (code >= t.first[l] && code < t.first[l] + t.count[l])
      return t.symbol[t.offset[l] + code - t.first[l]];
  }
  r.err = 1;
  return -1;
}

// 1 at the end-of-block code, 2 when the output has no room, 0 for damage.
inline int symbols(reader &r, const table &lt, const table &dt, uint8_t *dst,
                   size_t &op, size_t cap) {
  for (;;) {
    int sym = decode(r, lt);
    if (r.err || sym < 0) return 0;
    if (sym < 256) {
      if (op == cap) return 2;
      dst[op++] = static_cast<uint8_t>(sym);
    } else if (sym == 256) {
      return 1;
    } else {
      if (sym > 285) return 0;
      int i = sym - 257;
      size_t length = static_cast<size_t>(d_len_base[i] + bits(r, d_len_extra[i]));
      if (r.err) return 0;
      int ds = decode(r, dt);
      if (ds < 0 || ds > 29) return 0;
      size_t dist = static_cast<size_t>(d_dist_base[ds] + bits(r, d_dist_extra[ds]));
      if (r.err) return 0;
      if (dist > op) return 0;
      if (op + length > cap) {
        for (; op < cap; op++) dst[op] = dst[op - dist];
        return 2;
      }
      for (size_t k = 0; k < length; k++, op++) dst[op] = dst[op - dist];
    }
  }
}

// Same contract as kp_inflate.
inline int inflate(const uint8_t *src, size_t src_len, uint8_t *dst,
                   size_t dst_cap) {
  reader r = {src, 0, src_len, 0, 0, 0};
  size_t op = 0;
  const size_t cap = dst_cap < 0x7FFFFFFFu ? dst_cap : 0x7FFFFFFFu;
  for (;;) {
    int hdr = bits(r, 3);
    if (r.err) return -1;
    int type = hdr >> 1;
    if (type == 0) {
      r.bitbuf = 0;
      r.bitcnt = 0;
      if (r.len - r.pos < 4) return -1;
      unsigned len = src[r.pos] | (src[r.pos + 1] << 8);
      unsigned nlen = src[r.pos + 2] | (src[r.pos + 3] << 8);
      r.pos += 4;
      if (nlen != (~len & 0xFFFFu)) return -1;
      if (r.len - r.pos < len) return -1;
      if (op + len > cap) {
        while (op < cap) dst[op++] = src[r.pos++];
        return -2;
      }
      for (unsigned k = 0; k < len; k++) dst[op++] = src[r.pos++];
    } else if (type == 1) {
      int ll[288], dl[30];
      for (int s = 0; s < 288; s++)
        ll[s] = s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8;
      for (int s = 0; s < 30; s++) dl[s] = 5;
      table lt, dt;
      build(r, lt, ll, 288);
      build(r, dt, dl, 30);
      if (int k = symbols(r, lt, dt, dst, op, cap); k != 1) return k == 2 ? -2 : -1;
    } else if (type == 2) {
      int nlen = bits(r, 5) + 257, ndist = bits(r, 5) + 1,
          ncode = bits(r, 4) + 4;
      if (r.err || nlen > 286 || ndist > 30) return -1;
      int cl[19] = {0};
      for (int i = 0; i < ncode; i++) cl[d_bl_order[i]] = bits(r, 3);
      if (r.err) return -1;
      table ct;
      if (!build(r, ct, cl, 19)) return -1;
      int lens[320];
      int i = 0;
      while (i < nlen + ndist) {
        int sym = decode(r, ct);
        if (sym < 0) return -1;
        if (sym < 16) {
          lens[i++] = sym;
          continue;
        }
        int v = 0, rep;
        if (sym == 16) {
          if (i == 0) return -1;
          v = lens[i - 1];
          rep = 3 + bits(r, 2);
        } else if (sym == 17) {
          rep = 3 + bits(r, 3);
        } else {
          rep = 11 + bits(r, 7);
        }
        if (r.err || i + rep > nlen + ndist) return -1;
        while (rep--) lens[i++] = v;
      }
      table lt, dt;
      if (!build(r, lt, lens, nlen) || !build(r, dt, lens + nlen, ndist))
        return -1;
      if (int k = symbols(r, lt, dt, dst, op, cap); k != 1) return k == 2 ? -2 : -1;
    } else {
      return -1;
    }
    if (hdr & 1) return static_cast<int>(op);
  }
}

// ---- compressor ----

struct writer {
  uint32_t bitbuf = 0;
  int bitcnt = 0;
  std::vector<uint8_t> data;
  void put(unsigned v, int n) {
    bitbuf |= v << bitcnt;
    bitcnt += n;
    while (bitcnt >= 8) {
      data.push_back(static_cast<uint8_t>(bitbuf));
      bitbuf >>= 8;
      bitcnt -= 8;
    }
  }
};

struct node {
  uint32_t freq = 0;
  int len = 0;
  unsigned code = 0;
  int parent = 0;
};

struct heap_area {
  int heap[575];
  int depth[576];
  int heap_len, heap_max, max_code;
};

inline bool smaller(const node *t, const heap_area &h, int a, int b) {
  return t[a].freq < t[b].freq ||
         (t[a].freq == t[b].freq && h.depth[a] <= h.depth[b]);
}

inline void pqdown(heap_area &h, const node *t, int k) {
  int v = h.heap[k];
  while (2 * k <= h.heap_len) {
    int j = 2 * k;
    if (j < h.heap_len &&
        (t[h.heap[j + 1]].freq < t[h.heap[j]].freq ||
         (t[h.heap[j + 1]].freq == t[h.heap[j]].freq &&
          h.depth[h.heap[j + 1]] < h.depth[h.heap[j]])))
      j++;
    if (smaller(t, h, v, h.heap[j])) break;
    h.heap[k] = h.heap[j];
    k = j;
  }
  h.heap[k] = v;
}

inline int build_tree(node *t, int elems, int max_length) {
  heap_area h;
  memset(&h, 0, sizeof h);
  h.heap_max = 575;
  h.max_code = -1;
  for (int n = 0; n < elems; n++) {
    if (t[n].freq) {
      h.heap[++h.heap_len] = n;
      h.max_code = n;
      h.depth[n] = 0;
    } else {
      t[n].len = 0;
    }
  }
  while (h.heap_len < 2) {
    int nd = h.max_code < 2 ? ++h.max_code : 0;
    h.heap[++h.heap_len] = nd;
    t[nd].freq = 1;
    h.depth[nd] = 0;
  }
  for (int k = h.heap_len / 2; k >= 1; k--) pqdown(h, t, k);
  int nd = elems;
  do {
    int n = h.heap[1];
    h.heap[1] = h.heap[h.heap_len--];
    pqdown(h, t, 1);
    int m = h.heap[1];
    h.heap[--h.heap_max] = n;
    h.heap[--h.heap_max] = m;
    t[nd].freq = t[n].freq + t[m].freq;
    h.depth[nd] = (h.depth[n] > h.depth[m] ? h.depth[n] : h.depth[m]) + 1;
    t[n].parent = t[m].parent = nd;
    h.heap[1] = nd++;
    pqdown(h, t, 1);
  } while (h.heap_len >= 2);
  h.heap[--h.heap_max] = h.heap[1];
  int bl_count[16] = {0};
  t[h.heap[h.heap_max]].len = 0;
  int overflow = 0;
  for (int k = h.heap_max + 1; k < 575; k++) {
    int n = h.heap[k];
    int b = t[t[n].parent].len + 1;
    if (b > max_length) {
      b = max_length;
      overflow++;
    }
    t[n].len = b;
    if (n <= h.max_code) bl_count[b]++;
  }
  if (overflow) {
    do {
      int b = max_length - 1;
      while (b > 0 && bl_count[b] == 0) b--;
      if (b == 0) break;
      bl_count[b]--;
      bl_count[b + 1] += 2;
      bl_count[max_length]--;
      overflow -= 2;
    } while (overflow > 0);
    int k = 575;
    for (int b = max_length; b; b--) {
      int n = bl_count[b];
      while (n) {
        int m = h.heap[--k];
        if (m > h.max_code) continue;
        t[m].len = b;
        n--;
      }
    }
  }
  int count[16] = {0};
  for (int n = 0; n <= h.max_code; n++) count[t[n].len]++;
  unsigned next[16] = {0};
  for (int b = 2; b < 16; b++) next[b] = 2 * (next[b - 1] + count[b - 1]);
  for (int n = 0; n <= h.max_code; n++) {
    int l = t[n].len;
    unsigned c = l ? next[l]++ : 0, r = 0;
    for (int i = 0; i < l; i++) r = (r << 1) | ((c >> i) & 1);
    t[n].code = r;
  }
  return h.max_code;
}

template <class F>
inline void walk(const node *t, int max_code, F emit) {
  int prevlen = -1, nextlen = t[0].len, count = 0, maxc = 7, minc = 4;
  if (nextlen == 0) maxc = 138, minc = 3;
  for (int n = 0; n <= max_code; n++) {
    int cur = nextlen;
    nextlen = t[n + 1].len;
    if (++count < maxc && cur == nextlen) continue;
    if (count < minc) {
      for (int i = 0; i < count; i++) emit(cur, 0, 0);
    } else if (cur != 0) {
      if (cur != prevlen) {
        emit(cur, 0, 0);
        count--;
      }
      emit(16, count - 3, 2);
    } else if (count <= 10) {
      emit(17, count - 3, 3);
    } else {
      emit(18, count - 11, 7);
    }
    count = 0;
    prevlen = cur;
    if (nextlen == 0)
      maxc = 138, minc = 3;
    else if (cur == nextlen)
      maxc = 6, minc = 3;
    else
      maxc = 7, minc = 4;
  }
}

inline int len_sym(int length) {
  if (length == 258) return 285;
  int i = 0;
  while (i < 27 && d_len_base[i + 1] <= length) i++;
  return 257 + i;
}

inline int dist_sym(int dist) {
  int j = 0;
  while (j < 29 && d_dist_base[j + 1] <= dist) j++;
  return j;
}

inline void emit_block(writer &w, const uint8_t *data, int len, int final) {
  std::vector<node> lt(572), dt(61), bt(39);
  lt[256].freq = 1;
  std::vector<int> head(32768, 0), prev(32768, 0);
  struct item { int len, dist; };
  std::vector<item> items;
  auto hash = [&](int p) {
    return ((data[p] * 31 + data[p + 1]) * 31 + data[p + 2]) & 0x7FFF;
  };
  int k = 0;
  while (k < len) {
    int best = 0, bdist = 0;
    if (len - k >= 3) {
      int limit = k > 32767 ? k - 32768 : 0;
      int cand = head[hash(k)], tries = 0;
      while (cand > limit && tries < 128) {
        tries++;
        if (data[cand] == data[k] && data[cand + 1] == data[k + 1] &&
            data[cand + 2] == data[k + 2]) {
          int max = len - k < 258 ? len - k : 258, c = 0;
          while (c < max && data[cand + c] == data[k + c]) c++;
          if (c > 2 && c > best) {
            best = c;
            bdist = k - cand;
            if (c == 258) break;
          }
        }
        cand = prev[cand % 32768];
      }
    }
    int nk;
    if (best >= 3) {
      items.push_back({best, bdist});
      lt[len_sym(best)].freq++;
      dt[dist_sym(bdist)].freq++;
      nk = k + best;
    } else {
      items.push_back({0, data[k]});
      lt[data[k]].freq++;
      nk = k + 1;
    }
    for (int p = k; p < nk; p++) {
      if (p + 3 > len) break;
      int h = hash(p);
      prev[p % 32768] = head[h];
      head[h] = p;
    }
    k = nk;
  }
  int lmax = build_tree(lt.data(), 286, 15);
  int dmax = build_tree(dt.data(), 30, 15);
  lt[lmax + 1].len = -1;
  dt[dmax + 1].len = -1;
  auto scan = [&](int sym, int, int) { bt[sym].freq++; };
  walk(lt.data(), lmax, scan);
  walk(dt.data(), dmax, scan);
  build_tree(bt.data(), 19, 7);
  int mb = 3;
  for (int i = 18; i >= 4; i--)
    if (bt[d_bl_order[i]].len) {
      mb = i;
      break;
    }
  w.put(final, 1);
  w.put(2, 2);
  w.put(lmax - 256, 5);
  w.put(dmax, 5);
  w.put(mb - 3, 4);
  for (int i = 0; i <= mb; i++) w.put(bt[d_bl_order[i]].len, 3);
  auto send = [&](int sym, int v, int nb) {
    w.put(bt[sym].code, bt[sym].len);
    if (nb) w.put(v, nb);
  };
  walk(lt.data(), lmax, send);
  walk(dt.data(), dmax, send);
  for (const item &it : items) {
    if (!it.len) {
      w.put(lt[it.dist].code, lt[it.dist].len);
      continue;
    }
    int ls = len_sym(it.len), i = ls - 257;
    w.put(lt[ls].code, lt[ls].len);
    if (d_len_extra[i]) w.put(it.len - d_len_base[i], d_len_extra[i]);
    int ds = dist_sym(it.dist);
    w.put(dt[ds].code, dt[ds].len);
    if (d_dist_extra[ds]) w.put(it.dist - d_dist_base[ds], d_dist_extra[ds]);
  }
  w.put(lt[256].code, lt[256].len);
}

inline std::vector<uint8_t> deflate(const uint8_t *src, size_t n) {
  writer w;
  w.data = {0x78, 0x01};
  if (n == 0) emit_block(w, src, 0, 1);
  for (size_t at = 0; at < n; at += 65536) {
    size_t m = n - at < 65536 ? n - at : 65536;
    emit_block(w, src + at, static_cast<int>(m), at + m == n);
  }
  if (w.bitcnt) w.put(0, 8 - w.bitcnt);
  uint32_t a = 1, b = 0;
  for (size_t i = 0; i < n; i++) {
    a = (a + src[i]) % 65521;
    b = (b + a) % 65521;
  }
  uint32_t ad = (b << 16) | a;
  for (int s = 24; s >= 0; s -= 8) w.data.push_back(static_cast<uint8_t>(ad >> s));
  return w.data;
}

}  // namespace ref
