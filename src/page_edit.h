// The page edits of a stamp: /Contents rewritten so that the page's own
// content runs between the stamp's streams, and the whole edit of the
// common page (its resources and its /Contents) made from one pass over
// its dictionary.
//
// No process-wide state besides the error text.
#pragma once

#include <cstdint>

#include "pdf_write.h"

// The page text `page` (borrowed, page_len bytes) with /Contents rewritten
// so that the page runs the stream open_num, its own content, then
// after_num; a page without content (no /Contents, null, or a missing
// object) draws alone_num alone. A new string, or NULL with the error text
// set when the page cannot be rewritten. Throws std::bad_alloc.
char *pe_rewrite_contents(const pdf_doc *doc, const char *page, int64_t page_len,
                          int64_t open_num, int64_t after_num, int64_t alone_num);

// The stamp's whole edit of a common page: the entries merged into its
// resources as res_merge_all merges them, and /Contents rewritten as
// pe_rewrite_contents rewrites it, to the byte and to the order in which
// objects are first changed. The common page: one dictionary without zero
// bytes, its own /Resources a dictionary that res_page_plan_make takes, one
// /Contents entry (a stream, an array, an array object or null). 1 when
// done; 0 when the page is not of that kind (nothing changed: the caller
// takes the general way); -1 with the error text set when a category
// object cannot take its entry. Throws std::bad_alloc.
// `t`, `len`: the page's current text, as dict_text_view gives it.
int pe_stamp_common(const pdf_doc *doc, overlay *ov, int64_t page_num, const char *t,
                    int64_t len, const res_entry *adds, int n, int64_t open_num,
                    int64_t after_num, int64_t alone_num);
