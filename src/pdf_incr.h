// Incremental output: the input's bytes unchanged, followed by the objects
// the overlay replaces, the new objects and one cross-reference section of
// the kind of the input's newest (a table after a table or a hybrid file, a
// cross-reference stream after a stream) that leads back to it with /Prev.
// Signatures over the input's bytes stay valid for the revision they sign.
//
// No process-wide state besides the error text.
#pragma once

#include <atomic>
#include <cstdio>
#include <thread>

#include "pdf_write.h"

// The output of an update being written: a temporary file beside the output
// path that takes the input's bytes, then the update in pieces as it is
// built (the update of a large document is several megabytes: it is never
// held whole). The destructor waits for the copy and removes the file
// unless the update was put in the output's place.
struct upd_file {
  FILE *f = nullptr;
  char tmp[1024];
  unsigned tmp_mode = 0;  // the mode a new output gets (out_give_mode)
  int64_t written = 0;  // bytes in the file so far
  bool bad = false;
  int err = 0;
  std::thread copier;  // the early copy of the input's bytes, while it runs
  // What the early copy copied: 1 when it holds the bytes of the file
  // `early` describes.
  int early_ok = 0;
  fmap_stamp early{};
  std::atomic<int> stop{0};  // set when the update is given up
  ~upd_file();
};

// Starts the update's file before the input is even loaded: opens it
// beside the output and copies the input file's bytes into it on a second
// thread (in the kernel), so that the copy runs beside the loading and the
// page edits. The update keeps the copy when it holds the bytes the
// document was read from (the same file, size and modification time as
// the loader's mapping), and copies them again otherwise. 1 when started; 0
// when not (a file too small to be mapped, a system without kernel copies,
// no file can be made beside the output, no thread can be had):
// doc_write_incremental then makes the file itself, and reports what fails.
int upd_begin(upd_file *w, const char *input_path, const char *output_path);
// Waits for the copy and removes the file: an update given up.
void upd_cancel(upd_file *w);

// Writes the update to output_path through a temporary file beside it and
// renames it over the output (also when output_path is the input). 1 on
// success, 0 with the error text set. Refused when the input's newest
// cross-reference section cannot be trusted (the loader had to scan for the
// objects). An encrypted input (opened with its password) gets an update
// encrypted as doc_write encrypts: with the file key, the same /Encrypt
// and /ID.
// `begun`: the file upd_begin started for this output, or NULL.
int doc_write_incremental(const pdf_doc *doc, const overlay *ov,
                          const new_object *objs, int count,
                          const char *output_path, upd_file *begun = nullptr);

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
