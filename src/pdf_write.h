// PDF writing: the overlay of replaced dictionary texts, resource merging,
// the list of new objects and the document writer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "pdf_parse.h"

struct dict_entry;

// Object number -> complete replacement dictionary text. Entries keep the
// order in which they were first added; `hash` is an open-addressing index
// into `keys` so that lookups stay O(1) on documents with many pages.
// A growth that fails sets `failed`; the operation then reports it.
struct overlay {
  int64_t *keys;
  char **texts;
  int64_t count;
  int64_t cap;
  int64_t *hash;
  int64_t hash_cap;
  // One bit per slot of `hash`, set for the numbers n whose n mod hash_cap
  // is held: most look-ups are of numbers the overlay does not hold, and
  // this answers them from a few kilobytes instead of the table.
  uint64_t *seen;
  int failed;
  // Where the texts of a large job come from (ov_text_alloc); NULL until
  // ov_reserve makes room for many.
  struct text_arena *arena;
};

void ov_init(overlay *ov);
void ov_free(overlay *ov);
// Takes ownership of `text` (NULL changes nothing): malloc'ed, or from
// ov_text_alloc.
void ov_add(overlay *ov, int64_t num, char *text);
// Room for n entries in all, made at once (nothing changes when it
// cannot be: the entries then make their room as they come). Room for
// many also gives the overlay a text arena (text_arena.h).
void ov_reserve(overlay *ov, int64_t n);
// n bytes for a text the overlay or a new object will own: from the
// overlay's arena when it has one, else malloc'ed. NULL when memory runs
// out. Such a text is freed with ov_text_free, or by the overlay.
char *ov_text_alloc(overlay *ov, size_t n);
void ov_text_free(overlay *ov, char *p);
const char *ov_get(const overlay *ov, int64_t num);

// A new malloc'ed copy of the object's current dictionary text, or NULL.
char *get_obj_dict_text(const pdf_doc *doc, const overlay *ov, int64_t num);
// The same text, borrowed: valid until the overlay entry of `num` changes.
// 0 when the object has none.
int dict_text_view(const pdf_doc *doc, const overlay *ov, int64_t num,
                   const char **text, int64_t *len);
// Adds "/name num 0 R" under /category of a resources dictionary text (owned;
// the text to use afterwards is returned).
char *merge_into_dict_text(const pdf_doc *doc, overlay *ov, char *res,
                           const char *category, const char *name,
                           int64_t num);
// What one operation has learnt of the page tree's resources, so that a node
// that many pages inherit from is looked at and merged into once per
// operation, not once per page.
struct res_memo {
  std::unordered_map<int64_t, int64_t> holder;  // node -> node whose
                                                // /Resources it passes down, 0: none
  std::unordered_set<uint64_t> merged;          // holder << 32 | entry object
};

// Adds the entry to the resources the page uses, wherever they live: the
// page's own /Resources, else those of the nearest node above it that has
// them (inherited resources are extended in place, never hidden), else a new
// /Resources of the page. A /Resources that names no dictionary counts as
// absent and is removed. 1 on success; 0 with the error text set when the
// page cannot take the entry (its dictionary, or the resources', cannot be
// had or edited). Throws std::bad_alloc. `memo` may be NULL.
int res_merge(const pdf_doc *doc, overlay *ov, const page_info *page,
              const char *category, const char *name, int64_t num,
              res_memo *memo);
int res_merge_entry(const pdf_doc *doc, overlay *ov, const page_info *page,
                    const char *category, const char *name, int64_t num);
// A resource entry: /name num 0 R under /category.
struct res_entry {
  const char *category;
  const char *name;
  int64_t num;
};
// res_merge of each entry in turn: 1, or 0 with the error text set. The
// common page (its own /Resources a dictionary in its text, each category
// either missing there or naming a dictionary object, no two entries of one
// category) takes them in one edit through res_merge_page.
int res_merge_all(const pdf_doc *doc, overlay *ov, const page_info *page,
                  const res_entry *entries, int n, res_memo *memo);
// The one edit: the same result as merging one by one, to the byte and to
// the order in which objects were first changed. 1 when done; 0 when the
// page is not of that kind (nothing was changed); -1 with the error text set
// when a category object cannot take its entry. Throws std::bad_alloc.
int res_merge_page(const pdf_doc *doc, overlay *ov, const page_info *page,
                   const res_entry *adds, int n);

// The suffix that keeps the classic stamp's resource names (/KpWmGS,
// /KpWmF1, /KpWmIm...) new in this document: "" when no name beginning with
// KpWm occurs in it (the classic names are free), else "_N" with N above
// every suffix of that form already there (the file was stamped before).
std::string res_name_suffix(const pdf_doc *doc);

struct new_object {
  int64_t num;
  char *dict;     // owned, NULL is written as "<< >>"
  uint8_t *data;  // owned stream bytes, or NULL
  size_t len;
  int64_t has_stream;
};

// Appends a record, growing the array (32, then doubling; its memory comes
// from arr_realloc and is freed with arr_free). Ownership of dict and data
// passes to the array; on failure both are freed and 0 returned.
int push_obj(new_object **objs, int *count, int *capacity, int64_t num,
             char *dict, uint8_t *data, size_t len, int has_stream);
// printf into a new malloc'ed string, NULL on failure.
char *fmt_alloc(const char *fmt, ...) RRV_PRINTF(1, 2);
// A malloc'ed, NUL-terminated copy of n bytes, NULL on failure.
char *copy_bytes(const char *p, size_t n);
// copy_bytes, or std::bad_alloc.
char *copy_bytes_or_throw(const char *p, size_t n);

// Short text joined in a fixed buffer without printf: formatting was a large
// part of the cost of stamping a page. `ok` is cleared (and the text left as
// it was) when a piece does not fit.
struct fixed_text {
  char s[256];
  size_t n;
  bool ok;
};

void ft_init(fixed_text *t);
void ft_bytes(fixed_text *t, const char *p, size_t n);
void ft_str(fixed_text *t, const char *s);
// The decimal number appended to s.
void str_append_num(std::string *s, long long v);
// A string literal, its length known without strlen.
#define FT_LIT(t, lit) ft_bytes((t), (lit), sizeof(lit) - 1)
void ft_num(fixed_text *t, long long v);
// "num gen obj\n", an object's header.
void ft_obj_header(fixed_text *t, int64_t num, int64_t gen);

// res_merge_page in two steps, for an editor that changes more of the page
// text in the same edit. The plan: what the page text t[0, len), whose
// /Resources entry is `res` (a dictionary in the text), needs for the
// entries. 1 when the page is of the common kind (the plan is filled), 0
// when not.
constexpr int k_res_plan_max = 8;
struct res_page_plan {
  int n;
  int64_t close;       // the ">>" of the page's resources in t
  int first_new;       // the first entry that makes a new category; -1: none
  // The new categories then ">>", to replace t[close, close + 2): at most
  // one fixed_text (less its closing) per entry.
  char added[k_res_plan_max * sizeof(fixed_text::s) + 4];
  size_t added_len;
  int64_t target[k_res_plan_max];  // -1 nothing, 0 a new category, else its object
  fixed_text refs[k_res_plan_max];
};
int res_page_plan_make(const pdf_doc *doc, const overlay *ov, int64_t page_num,
                       const char *t, int64_t len, const dict_entry *res,
                       const res_entry *adds, int n, res_page_plan *plan);
// Carries the plan out: page_text (owned; NULL when there is no new
// category and the page text stays) becomes the page's text where the
// entries' order of first change puts it, and the category objects take
// their entries. 1, or -1 with the error text set.
int res_page_plan_apply(const pdf_doc *doc, overlay *ov, int64_t page_num,
                        const res_entry *adds, const res_page_plan *plan,
                        char *page_text);

// The largest offset a cross-reference table line can hold (ten digits):
// an output written with a table ends its objects below it.
constexpr int64_t k_max_table_offset = 9999999999LL;

// Writes the whole new document to output_path through a temporary file
// beside it (created exclusively), then renames it over the output. 1 on
// success, 0 with the error text set; on failure the input, any existing
// output and the directory are left as they were. An output path that is not
// a regular file, and an overlay whose `failed` is set, are refused.
int doc_write(const pdf_doc *doc, const overlay *ov, const new_object *objs,
              int count, const char *output_path);

// Keeping an encrypted document's encryption (doc->sec set). Objects of
// the input are written as they are (encrypted under their own numbers),
// except those taken out of object streams, whose text is clear: the text
// of such an object `num` with its strings encrypted under num, generation
// 0; "" when it has none (the clear text is what the output holds).
std::string seal_packed_text(const pdf_doc *doc, int64_t num, const char *text, size_t n);
// A new object as the output holds it: its dictionary with the strings
// encrypted, the stream data encrypted under its number (AES with a fresh
// initialisation vector) and /Length set to the encrypted length. Throws
// std::bad_alloc, and std::runtime_error when the system gives no random
// bytes.
void seal_new_object(const pdf_doc *doc, const new_object *o, std::string *dict,
                     std::vector<uint8_t> *data);

// Whether an output can be written to path at all: a path is given, it
// names no FIFO, device or directory, and the overlay did not run out of
// memory. 0 with the error set otherwise.
int out_ready(const overlay *ov, const char *output_path);
// Raises *n to the largest number of the new objects; 0 with the error set
// when one is below 1 or the numbers leave no room below INT32_MAX.
int out_last_num(const new_object *objs, int count, int64_t *n);
// The temporary file an output is written to: a fresh name beside `path`
// (its text in tmp[0, tmp_cap)), created exclusively, never an existing file
// or link. It stays readable by its owner alone while it is written (it may
// hold a private input's bytes long before it is renamed); *mode is the
// mode the umask gave it, which a new output gets (out_give_mode). NULL with
// the error text set.
FILE *out_open_temp(const char *path, char *tmp, size_t tmp_cap, unsigned *mode);
// Gives the written temporary file, through its descriptor, the mode,
// owner and group of the file `target` it is about to replace (a 0600 file
// stays private when it is stamped in place or replaced), or `made` from
// out_open_temp when it replaces none (0: not known, the mode stays).
void out_give_mode(FILE *f, const char *target, unsigned made);
// Renames the written temporary file over `path`; on failure removes it.
// 1 or 0.
int out_commit(const char *tmp, const char *path);
// Temporary files from out_open_temp are noted until they are renamed or
// removed (out_forget_temp, which out_commit calls); out_remove_temps
// removes those still noted and is safe in a signal handler.
void out_forget_temp(const char *tmp);
void out_remove_temps();
