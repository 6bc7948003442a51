// Input files read by memory mapping (mmap on POSIX systems, a file mapping
// object on Windows; where neither works the caller reads the file into
// memory as before).
//
// A mapping shares the file's pages with the page cache instead of copying
// them, so a large input costs neither the copy nor a private page for every
// 4 KiB of it. The price is that the bytes are the file's, not ours: another
// process that truncates the file makes every later read of a vanished page
// raise SIGBUS, which kills the process by default, and one that rewrites
// the file changes what we read.
//
// The way chosen: catch the fault on our own ranges. A SIGBUS handler,
// installed once with the first mapping and chaining to the handler it
// replaced for any other fault, looks the faulting address up in a small
// fixed table of live mappings (atomics only: safe in a signal handler). On
// a hit it maps a zero-filled page over the vanished one, notes the mapping
// as changed and returns, so the interrupted read is repeated and sees
// zeros. The operation then goes on with bytes that are no longer the
// file's, and fmap_changed() tells it so: the loader checks it when it has
// read the file and the writers before an output takes its place, and both
// fail with "the input file changed while it was read". A system call that
// reads a vanished page (writev of mapped bytes) fails with EFAULT instead;
// the file's size, checked by fmap_changed() as well, tells that case.
//
// Not chosen: a private copy of the bytes the output copies (costs the copy
// the mapping saves, on the path that copies most); jumping out of the
// handler with siglongjmp (skips the destructors of the C++ code that was
// reading, leaking or corrupting its state).
//
// Windows: a file with a mapped view cannot be cut short (SetEndOfFile
// fails for every process while the view exists), so no fault handler is
// needed; a rewrite in place is seen through the size and last write time.
// Nor can such a file be replaced by a rename: an operation whose output
// replaces its input reads the input instead (file_keep_unmapped in
// pdf_parse.h). A file that fills its last page exactly is read too: the
// view's zeros after the last byte come from that page's rest.
//
// Limits: at most k_fmap_slots files are mapped at once (more are read
// instead); a rewrite that keeps the size is seen through the modification
// time, which some file systems keep coarsely.

#ifndef RRV_FILE_MAP_H
#define RRV_FILE_MAP_H

#include <atomic>
#include <stddef.h>
#include <stdint.h>

#define k_fmap_slots 64
// Files below this size are read rather than mapped: for a few pages of
// bytes the mapping's system calls cost more than the copy.
#define k_fmap_min ((int64_t)64 << 10)

struct fmap_view {
  char *data;      // the file's bytes; data[size] is 0
  size_t len;      // length of the mapping (0: nothing mapped)
  int32_t slot;    // entry in the fault table
  int fd;          // a duplicate of the caller's descriptor, kept for fstat
  int64_t size;    // the file's size and times when it was mapped
  int64_t mtime_s, mtime_ns;  // (Windows: mtime_s holds the last write time)
  void *file;      // Windows: a duplicate of the file's handle
  void *section;   // Windows: the file mapping object
};

// Maps the regular file open as fd (its size given) read-only, the view
// covering size + 1 bytes. 1 on success; 0 when it cannot be mapped (an
// empty file, a file system without mappings, no free table entry, no
// memory): the caller reads the file instead. Never sets an error message.
int fmap_open(int fd, int64_t size, struct fmap_view *v);

// Whether what was read through v may not be the file's bytes any more: a
// vanished page was read (and replaced by zeros), or the file's size or
// modification time differ from those it had when it was mapped.
int fmap_changed(const struct fmap_view *v);

// Copies the file's first len bytes to the descriptor out_fd at its current
// offset inside the kernel (copy_file_range: no page of the file passes
// through this process, and none counts in its memory). Returns the number
// of bytes copied, which may be fewer (also 0) where the system or the file
// systems cannot: the caller writes the rest from the mapping. A file cut
// short under us stops the copy early; fmap_changed() then says so.
size_t fmap_copy_to(const struct fmap_view *v, int out_fd, size_t len);

// Which file a copy was made from, and as it was: its device and inode,
// size and modification time.
struct fmap_stamp {
  uint64_t dev, ino;
  int64_t size, mtime_s, mtime_ns;
};
// The same copy made from the file at `path` before it is mapped, so that
// it can run beside the loading: the file's first bytes, as many as its
// size when the copy begins, go to out_fd at its current offset. 1 when all
// of them were copied and the file was the same (*got) after the copy as
// before it; 0 otherwise, and nothing may be assumed of what out_fd took.
// The copy goes in pieces and stops (0) before the next one once *stop is
// set (stop NULL: never), so that a caller that gives the copy up need not
// wait for the whole file. Where copy_file_range is missing (Windows,
// other systems): always 0.
int fmap_copy_path(const char *path, int out_fd, struct fmap_stamp *got,
                   const std::atomic<int> *stop);
// Whether fmap_copy_path is worth a thread for the file at path: the system
// copies in the kernel, and the file is regular and large enough to be
// mapped.
int fmap_copy_path_worth(const char *path);
// Whether the view is of the file `s` describes, as it was then (the same
// device, inode, size and modification time): a copy with that stamp holds
// the bytes the view was made from.
int fmap_holds(const struct fmap_view *v, const struct fmap_stamp *s);
// Gives the pages of the view that are resident in this process back
// (madvise MADV_DONTNEED): they stay in the page cache, and what is read
// again is mapped again. A long pass over a large file calls it now and
// then so that the process's resident memory stays far below the file's
// size. Nothing happens to a view with len 0.
void fmap_release(const struct fmap_view *v);

// Reads up to n of the file's bytes from offset off into buf, as a copy
// (pread): a pass over most of a large file that keeps only a little of
// each part costs no mapping of its pages. The count read (short at the
// end of the file, or of a file cut short), or -1 where the view cannot be
// read so (Windows, no view, an error): the caller reads the view.
int64_t fmap_read(const struct fmap_view *v, char *buf, size_t n, int64_t off);

// Unmaps the view and closes its descriptor; a view with len 0 is left
// alone.
void fmap_close(struct fmap_view *v);

#endif
