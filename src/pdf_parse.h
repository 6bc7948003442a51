// PDF reading: the error text, byte buffers and growable arrays, the object
// index, the document loader and the page tree walk. Dictionaries are never parsed into an object model; they
// are searched and edited as text.
//
// Process-wide state: g_err (the last error), g_inline_kids (set by the page
// walk when a /Kids array holds an inline dictionary), g_scan_wide,
// g_trim_steps and g_lazy_budget (tests).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <unordered_set>
#include <vector>

#include "file_map.h"
#include "mem_pages.h"
#include "pdf_syntax.h"

#if defined(__MINGW32__)
// MinGW formats through its own C99 printf (%zu, %lld); "printf" would
// check against the Microsoft runtime's.
#define RRV_PRINTF(a, b) __attribute__((format(gnu_printf, a, b)))
#elif defined(__GNUC__)
#define RRV_PRINTF(a, b) __attribute__((format(printf, a, b)))
#else
#define RRV_PRINTF(a, b)
#endif

// ---- error text -----------------------------------------------------------

extern char g_err[1024];
// Formats the message of the last failure; at most 1023 bytes are kept.
// set_error("") clears it.
void set_error(const char *fmt, ...) RRV_PRINTF(1, 2);
const char *get_error(void);

// ---- files ----------------------------------------------------------------
// Paths are UTF-8. On Windows they are converted to UTF-16 and opened with the
// wide-character functions; elsewhere they are passed through unchanged.

FILE *file_open(const char *path, const char *mode);
// Creates `path` for writing only if no file of that name exists (never
// follows or truncates an existing file or link). NULL with errno set.
FILE *file_create_excl(const char *path);
int file_remove(const char *path);
// Moves `from` over `to`, replacing `to` atomically where the system can.
// 0 on success, -1 with errno set.
int file_replace(const char *from, const char *to);
enum { FILE_MISSING = 0, FILE_REGULAR = 1, FILE_OTHER = 2 };
// What stands at `path`: nothing, a regular file, or something else
// (a directory, device, FIFO, socket). Links are followed.
int file_kind(const char *path);
// 1 when the input of an operation must be read rather than mapped because
// its output will replace it: Windows cannot rename a file over one that is
// mapped (output names the same file as input). Always 0 elsewhere.
int file_keep_unmapped(const char *input, const char *output);
// fwrite of all n bytes, in pieces of at most 1 GiB (a count every C
// runtime takes in one call). 1 when every byte was written.
int file_write_all(FILE *f, const void *p, size_t n);

// ---- byte buffer ----------------------------------------------------------

// A growable byte string, NUL-terminated whenever it holds storage. A failed
// growth frees the storage and sets `failed`; from then on every append is
// ignored, so a writer that checks `failed` never emits a truncated result.
struct byte_buf {
  char *data;
  size_t len;
  size_t cap;
  int failed;
};

void buf_init(byte_buf *b);
void buf_free(byte_buf *b);
void buf_reserve(byte_buf *b, size_t n);
void buf_bytes(byte_buf *b, const void *src, size_t n);
void buf_str(byte_buf *b, const char *s);
void buf_int(byte_buf *b, int64_t v);
// printf-style append (any length).
void buf_printf(byte_buf *b, const char *fmt, ...) RRV_PRINTF(2, 3);

// ---- object index records -------------------------------------------------

// Room for n elements in *v, the new part populated (see mem_populate);
// throws what reserve throws.
template <class T>
void vec_reserve_populated(std::vector<T> *v, size_t n) {
  if (n <= v->capacity()) return;
  v->reserve(n);
  mem_populate(v->data() + v->size(), (n - v->size()) * sizeof(T));
}
// A vector on arr_alloc memory comes populated already.
template <class T>
void vec_reserve_populated(std::vector<T, arr_alloc<T>> *v, size_t n) {
  v->reserve(n);
}

// Room for `extra` more elements in *v, at least doubling the room when it
// must grow (room made for exactly what each step adds copies the whole
// vector each time); throws what reserve throws.
template <class T, class A>
void vec_reserve_more(std::vector<T, A> *v, size_t extra) {
  const size_t want = v->size() + extra;
  if (want > v->capacity()) v->reserve(std::max(want, 2 * v->capacity()));
}

// A table by object number is used while it costs no more than this many
// slots per entry (plus a fixed allowance); sparser numbers are sorted or
// searched instead.
inline bool dense_enough(int64_t max_num, int64_t count) {
  return max_num <= 4 * count + 65536;
}

// Offsets are 64-bit (files past 4 GiB); numbers, generations and the
// length of a packed object's text fit 32 bits, which keeps the record of
// each object of a large file small.
struct pdf_obj {
  int64_t dict_off;       // '<' that begins the body, or -1
  int64_t stream_kw_off;  // keyword "stream", or -1
  int64_t data_off;       // first stream data byte, or -1
  int64_t data_end;       // one past the last stream data byte, or -1
  int64_t endobj_off;     // "endobj", or where the object is taken to end
  int64_t hdr_off;        // first digit of the object number
  int64_t dict_close;     // first '>' of the dictionary's closing ">>" when
                          // greater than dict_off; otherwise not known
  const char *text;  // object from an object stream: its text (arena memory)
  int32_t num;       // at most INT32_MAX
  int32_t gen;       // at most INT32_MAX
  int32_t text_len;  // object streams decode to less than 2 GiB
  int8_t has_stream;
  int8_t in_objstm;
  int8_t lazy;  // an index read from the cross-reference chain fills its
                // records on first use (obj_find): OBJ_* below, 0 once filled
};
enum { OBJ_UNREAD = 1, OBJ_STREAM_UNREAD = 2, OBJ_UNREADABLE = 3 };

// Growable array of records. Once built with objvec_index, `by_num` maps an
// object number to the index of its first record so that obj_find is O(1);
// when the numbers are far sparser than the records (one object numbered in
// the millions), `by_pair` holds (number, index) pairs by increasing number
// instead and obj_find searches them: the memory follows the count of
// records, never the largest number. A push that cannot grow the array
// sets `failed` and returns NULL.
struct obj_vec {
  pdf_obj *items;
  int64_t count;
  int64_t cap;
  int32_t *by_num;  // record indexes: at most INT32_MAX / 2 records
  int64_t by_num_len;
  int32_t *by_pair;
  int64_t pair_count;
  int failed;
  struct lazy_scan *lazy;  // records filled on first use (see doc_load_opts),
                           // or NULL: every record is filled
};

pdf_obj *objvec_push(obj_vec *v, const pdf_obj *rec);
// The current record of an object number, or NULL. A record of an index
// read lazily is filled here first; one that cannot be read is NULL.
const pdf_obj *obj_find(const obj_vec *v, int64_t num);
// obj_find for code that only asks what an object is (a stream or not, its
// value when it has no stream): on an index read lazily, a stream's data
// end and "endobj" (data_end, endobj_off) may still be -1 in the record.
const pdf_obj *obj_find_head(const obj_vec *v, int64_t num);
// Fills every record of an index read lazily and drops those that cannot
// be read: for code that walks the records instead of finding them.
void objvec_fill_all(obj_vec *v);
// Builds the number -> record table; without memory obj_find stays linear.
void objvec_index(obj_vec *v);
void objvec_free(obj_vec *v);

struct arena {
  void **blocks;
  int64_t count;
  int64_t cap;
};

void *arena_alloc(arena *a, size_t n);
void arena_free(arena *a);

// ---- page list --------------------------------------------------------------

struct page_info {
  int32_t num;
  int32_t parent;
  double media_x, media_y, media_w, media_h;
  double crop_x, crop_y, crop_w, crop_h;
  int32_t has_crop;
  // The CropBox of the nearest node above the page that has one (the key
  // is inheritable): what viewers show when the page has none of its own.
  double inh_crop_x, inh_crop_y, inh_crop_w, inh_crop_h;
  int32_t has_inh_crop;
};

struct page_vec {
  page_info *items;
  int64_t count;
  int64_t cap;
  int failed;
  int too_deep;  // the tree goes deeper than the walk follows
};

extern int g_inline_kids;
// How the object scan compares bytes: -1 (the default) as the processor
// allows, 0 never with 32-byte vectors (lets tests cover the narrower path).
extern int g_scan_wide;
// Bytes a lean open's reads on demand may search before the records left
// are read in file order at once: -1 (the default) four times the file's
// size and 64 MiB; tests set 0 to read them all at the first request.
extern int64_t g_lazy_budget;

// Levels below the root a page may lie. Trees are rarely deeper than a
// handful, but a writer that chains one node per page makes a tree as deep
// as the document is long; a tree deeper than this fails the load rather
// than losing its deepest pages.
constexpr int64_t k_max_tree_depth = (int64_t)1 << 16;

// The nodes met on a climb up the /Parent links of a page tree, to stop at
// a cycle: a short path is searched in place, the nodes beyond in a set.
struct climb_seen {
  std::vector<int64_t> path;
  std::unordered_set<int64_t> deep;
};
// Adds node; false when it was met before (a cycle) or the climb has gone
// deeper than any tree the walk reads.
bool climb_add(climb_seen *c, int64_t node);

// The pages under the node `num`, in order, appended to `pages` (whose
// items are freed with arr_free).
void walk_pages(const char *data, int64_t size, const obj_vec *objects,
                int64_t num, int64_t parent, double media_x, double media_y,
                double media_w, double media_h, page_vec *pages,
                int64_t depth);

// Object numbers above this never survive into a final index: numbers of
// new objects are taken above the largest kept, and must stay in int32. The
// writers make none above it either (the output could not be read again).
constexpr int64_t k_max_obj_num = (1 << 30) - 1;

// ---- document -----------------------------------------------------------------

struct pdf_doc {
  char *data;
  int64_t size;
  size_t data_map;  // length of the mapping that holds data, 0: malloc'ed
  struct fmap_view map;  // the file mapped, when data is its mapping
  char *map_path;        // its path, for messages (malloc'ed)
  obj_vec objects;
  page_vec pages;
  struct arena arena;
  int64_t startxref;     // loading only
  int64_t trailer_root;  // loading only
  int64_t trailer_info;  // loading only
  int32_t saw_encrypt;   // loading only
  int32_t names_encrypt; // loading only: "/Encrypt" occurs in the file (noted
                         // by the object scan)
  int64_t root;
  int64_t info;
  int64_t max_num;
  // What the output keeps of the input: the header version (major * 10 +
  // minor, at least 14) and the trailer's /ID array, as the text
  // data[id_off, id_off + id_len) (id_len 0: none).
  int32_t version;
  int64_t id_off;
  int64_t id_len;
  // The input's newest cross-reference section: its offset (-1: none
  // found), its kind (XREF_NONE, XREF_TABLE, XREF_STREAM, XREF_HYBRID of
  // pdf_xref.h), and whether the whole chain was read and agrees with the
  // objects, so that it decided which copy of each object is current.
  int64_t xref_off;
  int32_t xref_kind;
  int32_t xref_trusted;
  struct doc_security *sec; // the security handler of an encrypted document
                            // opened with doc_load_opts, else NULL
  const char *password;     // loading only: the caller's, or NULL
  int32_t allow_encrypted;  // loading only: encrypted documents may open
  int32_t lean;             // doc_open_opts.lean
  int32_t sec_tried;        // loading only: the handler was read
  int32_t sec_status;       // loading only: its SEC_ result (pdf_decrypt.h)
  char sec_why[256];        // loading only: why it was refused
};

// ---- resident input ---------------------------------------------------------
// A pass over the objects or pages of a mapped input opened lean gives the
// mapping's pages back every so many steps or bytes of progress
// (fmap_release): they stay in the page cache and are mapped again when read
// again, and the process's resident memory stays far below the file's size
// (an incremental update reads a fraction of a large file and copies the
// rest in the kernel). Costs a few page faults per step; nothing when the
// input is not mapped.
struct input_trim {
  const struct fmap_view *map;  // NULL: not mapped
  int64_t left;
  int64_t next_pos;
};
// Steps between two releases: 1024 by default (and 4 KiB of progress per
// step: 4 MiB); tests set 1 to release the input at every step.
extern int64_t g_trim_steps;
// Bytes of a mapped input copied at a time when a lean open reads the
// headers its chain leads to: 256 KiB by default; tests set a few pages.
extern int64_t g_header_window;
// Headers in a chain from which a lean open checks them on two threads (two
// halves at once): 16384 by default; tests set a few.
extern int64_t g_split_heads;
// Inputs up to this size are read into memory rather than mapped by opens
// for a full rewrite (doc_open_opts.whole): 256 MiB by default; tests set
// -1 to map every input from k_fmap_min up.
extern int64_t g_read_whole_max;
// Called with the path once a file has been read into memory, before it is
// checked to be unchanged: tests change the file there (NULL: nothing).
extern void (*g_after_read)(const char *path);
void trim_init(input_trim *t, const pdf_doc *doc);
void trim_release(input_trim *t);
// One step (an object, a page) of a pass.
inline void trim_step(input_trim *t) {
  if (t->map && --t->left <= 0) trim_release(t);
}
// A pass that reads the file in order has reached offset pos.
inline void trim_pos(input_trim *t, int64_t pos) {
  if (t->map && pos >= t->next_pos) {
    trim_release(t);
    t->next_pos = pos + (int64_t)g_trim_steps * 4096;
  }
}

// 0 on success; -1 with the message set and the document released.
// Encrypted documents are refused.
int32_t doc_load(const char *path, pdf_doc *doc);

struct doc_open_opts {
  int32_t allow_encrypted; // open encrypted documents (else refused)
  const char *password;    // UTF-8; NULL: only an empty user password
  int32_t lean;            // for operations that do not read the whole file
                           // again afterwards (incremental output, page
                           // counts): a mapped input's pages are given back
                           // on long passes (see input_trim), and a sound
                           // cross-reference chain gives the index, whose
                           // records are read on first use (obj_find; code
                           // that walks objects.items calls objvec_fill_all)
  int32_t no_map;          // read the file even where it could be mapped
                           // (see file_keep_unmapped)
  int32_t whole = 0;       // the operation reads and copies every byte (a
                           // full rewrite): a file up to g_read_whole_max is
                           // read into memory rather than mapped
};
// doc_load, opening encrypted documents as opts allows (NULL: refused):
// object streams are decrypted while indexing, and doc->sec keeps the
// handler for the writer.
int32_t doc_load_opts(const char *path, pdf_doc *doc, const doc_open_opts *opts);
void doc_free(pdf_doc *doc);
// 1 when the bytes the document was read from are still the input file's;
// otherwise 0 with the message set ("the input file changed while it was
// read"). Writers that copy the input's bytes check it before an output
// takes its place.
int doc_input_intact(const pdf_doc *doc);
// Whether the document may be modified: not encrypted, opened with the
// owner password, or its permissions allow it.
int doc_may_modify(const pdf_doc *doc);

// Builds the object index of a document whose data and size are set
// (object scan, stream extents, cross-reference chain, object streams, the
// current copy of each number). Where the chain is whole and its offsets
// agree with the objects found, it decides which copy of a number is
// current (free entries delete); otherwise, and for numbers it does not
// list, the last copy found wins, a direct one over one in an object
// stream. Objects inside stream data or comments never count.
void doc_index_objects(pdf_doc *doc);

// The first '>' of the ">>" that closes a direct object's dictionary (as
// remembered by the index, else scanned for), or -1.
int64_t obj_dict_close(const char *data, int64_t size, const pdf_obj *o);

// The range of an object's value, whatever it is (for a stream: its
// dictionary). 0 when it cannot be found.
int obj_value_range(const char *data, int64_t size, const pdf_obj *o,
                    const char **text, int64_t *start, int64_t *end);

// The dictionary range of an object: the text to search and the range
// [*start, *end) in it. 0 when the object has none.
int obj_dict_range(const char *data, int64_t size, const pdf_obj *o,
                   const char **text, int64_t *start, int64_t *end);
