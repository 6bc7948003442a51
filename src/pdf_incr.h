// Incremental output: the input's bytes unchanged, followed by the objects
// the overlay replaces, the new objects and one cross-reference section of
// the kind of the input's newest (a table after a table or a hybrid file, a
// cross-reference stream after a stream) that leads back to it with /Prev.
// Signatures over the input's bytes stay valid for the revision they sign.
//
// No process-wide state besides the error text.
#pragma once

#include "pdf_write.h"

// Writes the update to output_path through a temporary file beside it and
// renames it over the output (also when output_path is the input). 1 on
// success, 0 with the error text set. Refused when the input's newest
// cross-reference section cannot be trusted (the loader had to scan for the
// objects). An encrypted input (opened with its password) gets an update
// encrypted as doc_write encrypts: with the file key, the same /Encrypt
// and /ID.
int doc_write_incremental(const pdf_doc *doc, const overlay *ov,
                          const new_object *objs, int count,
                          const char *output_path);

// Writes the input's bytes unchanged to output_path, the same way (through
// the kernel where it can copy them, a temporary file renamed over the
// output). 1, or 0 with the error text set.
int doc_write_copy(const pdf_doc *doc, const char *output_path);

// Whether the document says it holds digital signatures (bit 1 of the
// /SigFlags of the catalog's /AcroForm): a full rewrite moves the bytes they
// sign, and they no longer verify.
int doc_signed(const pdf_doc *doc);

// Whether the document is certified (its catalog's /Perms has a /DocMDP
// signature) and with which level of the signature's DocMDP transform
// parameters: 1 no changes, 2 form filling and signing, 3 those and
// annotations (a missing or unreadable level counts as 2, the default).
// 0: not certified.
int doc_certified(const pdf_doc *doc);
