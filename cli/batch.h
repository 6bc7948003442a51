// Batch mode of the command-line tool: the list of files to stamp (with
// directories walked for *.pdf under -r) and the pool of worker processes
// that stamps them. The library keeps process-wide state, so the files are
// spread over processes, not threads; each worker is a fork of the tool and
// stamps one file at a time on the parent's request.
//
// Windows has no fork: there the batch runs in the tool's own process, one
// file after the other, whatever -j says.

#ifndef RRV_CLI_BATCH_H
#define RRV_CLI_BATCH_H

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

// One file of a batch. A non-empty `error` marks a file refused before any
// stamping (a bad name, an output another file already takes); it is
// reported as failed in its turn.
struct batch_item {
  std::string in;
  std::string out;
  std::string error;
};

// Stamps item.in into item.out. Returns false and the message on failure.
using batch_stamp_fn = std::function<bool(const batch_item &item, std::string &error)>;

// The items for the input arguments, outputs in out_dir. A plain file
// goes to out_dir/<its name>; with `recursive`, a directory contributes every
// *.pdf below it (in name order, out_dir itself left out) to
// out_dir/<path below the directory>, and the subdirectories are created.
std::vector<batch_item> batch_collect(const std::vector<std::string> &inputs,
                                      const std::string &out_dir, bool recursive);

// The number of processors available, at least 1: the default of -j.
int batch_default_jobs();

// Stamps the items with up to `jobs` worker processes and returns how many
// succeeded. Each item is reported in input order, as a serial run would:
// "[k/n] file" on standard error when `progress`, then its error if it
// failed. A worker that dies fails its file only; a new worker takes over.
size_t batch_run(const std::vector<batch_item> &items, int jobs, bool progress,
                 const batch_stamp_fn &stamp);

#endif  // RRV_CLI_BATCH_H
