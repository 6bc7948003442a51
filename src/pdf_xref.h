// Cross-reference data: the chain of classic tables and cross-reference
// streams that startxref leads to (along /Prev, with the /XRefStm of hybrid
// files), read into one entry per object number, newest section first; the
// facts the chain's dictionaries give (root, info, /ID, /Encrypt); and the
// one function through which stream data is decoded.
//
// No process-wide state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "mem_pages.h"

// Kinds of the newest cross-reference section (pdf_doc.xref_kind).
enum { XREF_NONE = 0, XREF_TABLE = 1, XREF_STREAM = 2, XREF_HYBRID = 3 };
// Kinds of entry.
enum { XREF_FREE = 0, XREF_AT = 1, XREF_PACKED = 2 };

struct xref_entry {
  int32_t num;    // sections past INT32_MAX are refused
  int32_t type;   // XREF_FREE, XREF_AT or XREF_PACKED
  int32_t gen;    // XREF_AT, XREF_FREE: generation (at most INT32_MAX);
                  // XREF_PACKED: index in the stream
  int64_t where;  // XREF_AT: offset of the object's header; XREF_PACKED: the
                  // number of the object stream holding it
};

// Entries of a large file's chain: tens of thousands, filled at once.
using xref_list = std::vector<xref_entry, arr_alloc<xref_entry>>;

struct xref_chain {
  xref_list entries;  // one per number, increasing numbers
  int64_t last_off;   // offset of the newest section, -1 when startxref
                      // leads nowhere
  int32_t kind;       // XREF_* of the newest section
  int64_t sections;   // sections read
  int whole;          // every section along the chain was read
  // From the newest dictionary of the chain that has them (-1: none).
  int64_t root;
  int64_t info;
  int64_t id_off;     // '[' of the /ID array, its text [id_off, id_off + id_len)
  int64_t id_len;
  // Where the chain's dictionaries hold an /Encrypt value: the first byte
  // of each value.
  std::vector<int64_t> encrypt_at;
};

// Reads the chain of the file's bytes d[0, size) (d[size] is NUL). Never
// fails: a chain that cannot be read whole leaves `whole` 0 and the entries
// of the sections read so far.
void xref_read(const char *d, int64_t size, xref_chain *out);

// The object header "num gen obj" at or after whitespace from pos: 1 with
// *num, *gen set and *body at the first byte after "obj", whitespace and
// comments; 0 when none stands there.
int xref_header_at(const char *d, int64_t size, int64_t pos, int64_t *num,
                   int64_t *gen, int64_t *body);

// The value of the top-level entry /key of the dictionary whose "<<" is at
// t[s] and which ends before e: the position of the value's first byte, or
// -1.
int64_t dict_value_at(const char *t, int64_t s, int64_t e, const char *key);

// The length of the array of two strings (an /ID) whose '[' is at t[pos],
// within t[0, e); 0 when no such array stands there.
int64_t id_array_len(const char *t, int64_t e, int64_t pos);

// Decodes the data of stream object (num, gen), whose dictionary is the text
// t[s, e): no filter, or FlateDecode (also /Fl, with or without the zlib
// header) with an optional PNG or TIFF predictor. On success 1, *out a
// malloc'ed block of *out_len bytes plus a NUL the caller frees. 0 when the
// filter is another, the data is damaged, or decoding would need more than
// what is left of *budget (bytes; what is spent is taken from it).
// Every stream the loader decodes goes through here.
int stream_decode(int64_t num, int64_t gen, const char *t, int64_t s, int64_t e,
                  const uint8_t *data, size_t len, size_t *budget, uint8_t **out,
                  size_t *out_len);
