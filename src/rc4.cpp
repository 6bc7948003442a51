// RC4: the key-scheduling algorithm, then the output generator.
#include "rc4.h"

void rc4_init(rc4_state *st, const uint8_t *key, size_t key_len) {
  for (int k = 0; k < 256; k++) st->s[k] = uint8_t(k);
  uint8_t j = 0;
  for (size_t k = 0; k < 256; k++) {
    j = uint8_t(j + st->s[k] + key[k % key_len]);
    uint8_t t = st->s[k];
    st->s[k] = st->s[j];
    st->s[j] = t;
  }
  st->i = 0;
  st->j = 0;
}

void rc4_crypt(rc4_state *st, const uint8_t *in, uint8_t *out, size_t n) {
  uint8_t i = st->i, j = st->j;
  uint8_t *s = st->s;
  for (size_t k = 0; k < n; k++) {
    i = uint8_t(i + 1);
    uint8_t si = s[i];
    j = uint8_t(j + si);
    uint8_t sj = s[j];
    s[i] = sj;
    s[j] = si;
    out[k] = uint8_t(in[k] ^ s[uint8_t(si + sj)]);
  }
  st->i = i;
  st->j = j;
}

void rc4(const uint8_t *key, size_t key_len, uint8_t *data, size_t n) {
  rc4_state st;
  rc4_init(&st, key, key_len);
  rc4_crypt(&st, data, data, n);
}
