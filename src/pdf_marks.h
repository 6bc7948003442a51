// Watermarks that can be found again: the marked-content wrapping of a
// stamp (an /Artifact of subtype /Watermark, inside an optional content
// group), the group's dictionary, its entry in the catalog's
// /OCProperties (added to, or taken out of, whatever groups the document
// has), and the small value scanner these edits of object text need.
//
// No process-wide state.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pdf_write.h"

// When the layer of a stamp is shown: on screen and in print, on screen
// only, in print only.
enum mk_show { MK_SHOW_BOTH = 0, MK_SHOW_SCREEN = 1, MK_SHOW_PRINT = 2 };

// The key of the private marker in the stamp's stream dictionaries and
// the group's dictionary.
extern const char k_mk_marker[];

// ---- object text -------------------------------------------------------------
// Positions are offsets into t; nothing at or beyond `end` is read.

// One past the value that starts at or after pos (whitespace passed): a
// dictionary, array, string, hex string, name, number or keyword, and
// "num gen R" as one value. -1 when no value ends before end.
int64_t mk_value_end(const char *t, int64_t pos, int64_t end);
// The top-level entry /key of the dictionary at or after start: its key's
// '/' in *ks (may be NULL) and its value [*vs, *ve). 1 when found.
int mk_dict_find(const char *t, int64_t start, int64_t end, const char *key,
                 int64_t *ks, int64_t *vs, int64_t *ve);
// 1 when [vs, ve) is "num gen R"; the numbers (either pointer may be NULL).
int mk_ref(const char *t, int64_t vs, int64_t ve, int64_t *num, int64_t *gen);
// The elements [start, end) of the array at or after pos. 0 when there is
// no closed array there.
int mk_array_items(const char *t, int64_t pos, int64_t end,
                   std::vector<std::pair<int64_t, int64_t>> *items);
// The name value at [vs, ve) without its '/', or "" when it is none.
std::string mk_name(const char *t, int64_t vs, int64_t ve);

// Edits of a dictionary text held in a string (the top level only).
// Removes the entry /key (and one blank before it); 1 when there was one.
int mk_del_key(std::string *dict, const char *key);
// Adds " /key value" before the closing ">>". 0 when the text does not end
// in ">>".
int mk_add_key(std::string *dict, const char *key, const std::string &value);
// 1 when the dictionary or array at [vs, ve) holds nothing.
int mk_empty(const char *t, int64_t vs, int64_t ve);

// The current dictionary text of object num (overlay first); 0 when none.
int mk_obj_text(const pdf_doc *doc, const overlay *ov, int64_t num,
                std::string *out);
// Records a new text for object num; throws std::bad_alloc.
void mk_set_text(overlay *ov, int64_t num, const std::string &text);
// The text of a direct object that is not a dictionary (an array object),
// from "obj" to "endobj"; 0 when there is none.
int mk_plain_obj_text(const pdf_doc *doc, int64_t num, std::string *out);

// ---- stamps -------------------------------------------------------------------

// The resource name of group `ocg` in the pages' /Properties: unique to
// the operation that made the group.
std::string mk_layer_name(int64_t ocg);
// The operators that open and close the marked content of a stamp: the
// optional content sequence of group `ocg` (none when 0) around the
// watermark artifact.
std::string mk_marks_open(int64_t ocg);
std::string mk_marks_close(int64_t ocg);
// The group's dictionary: /Name from a UTF-8 name, the usage for `show`
// and the private marker.
std::string mk_ocg_dict(const std::string &name, int show);

// 1 when the catalog has an /OCProperties entry.
int mk_catalog_has_oc(const pdf_doc *doc, const overlay *ov);
// The optional content groups the pages use without the catalog declaring
// them: the groups that /Properties entries of their resources name, and
// those of the XObjects there (/OC), directly or through a membership
// dictionary's /OCGs. Readers draw such content; once /OCProperties lists
// other groups only, poppler hides it. Called before the pages are
// stamped (the stamp's own entries are not looked at).
std::vector<int64_t> mk_used_groups(const pdf_doc *doc, const overlay *ov);
// Where the numbers of a stamp's new objects may start so that its names
// (/KpWmGS<n>, /KpWmFm<n>, /KpWmOC<n>, after the objects' numbers) meet
// none that the resources of the pages marked in `pages` hold already: a
// file whose objects were renumbered (qpdf, page extraction) can hold such
// names for numbers it no longer uses. `from` is the first choice (the
// largest number in use) and `reach` how many numbers the stamp takes at
// most; names beyond its reach are left alone.
int64_t mk_stamp_names_top(const pdf_doc *doc, const overlay *ov, const std::vector<char> &pages,
                           int64_t from, int64_t reach);
// Adds group `ocg` to the catalog's /OCProperties (created when missing,
// listing `used` first: see mk_used_groups; existing groups,
// configurations and orders stay first and unchanged), with its state in
// the default configuration, the View and Print entries of /AS, and a
// /Version of at least 1.5. 1 when done, 0 when the catalog cannot be
// edited (the document then draws the group as always on).
int mk_catalog_add_ocg(const pdf_doc *doc, overlay *ov, int64_t ocg, int show,
                       const std::vector<int64_t> &used = {});
// Takes the groups out of /OCProperties (their references in every array
// there, /AS entries left empty); drops /OCProperties when no group stays.
void mk_catalog_drop_ocgs(const pdf_doc *doc, overlay *ov,
                          const std::vector<int64_t> &ocgs);
