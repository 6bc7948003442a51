// Taking this library's stamps off pages again: the wrapping streams out
// of /Contents, the resource entries the stamps added out of the resources,
// their optional content groups out of the catalog when no page uses them.
//
// No process-wide state.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pdf_write.h"

struct rm_result {
  int stamps = 0;              // stamps removed
  int pages = 0;               // pages they were removed from
  std::vector<int64_t> changed;  // pages (1-based) whose stamp stays: the
                                 // page was changed after stamping
};

// Removes the stamps of the pages whose entry in `selected` (one per page
// of doc->pages) is nonzero, recording the changed objects in the overlay.
// A stamp is recognised by the marker of its streams, or, for stamps
// without one, by the exact wrapping the classic calls write: the "q"
// stream first in /Contents, the stamp stream last, drawn with the /KpWm
// resource names. Throws std::bad_alloc.
void rm_stamps(const pdf_doc *doc, overlay *ov,
               const std::vector<char> &selected, rm_result *out);
