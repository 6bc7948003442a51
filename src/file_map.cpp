// Input files read by memory mapping; see file_map.h for the handling of
// files truncated while they are mapped.
//
// Process-wide state: the fault table g_slots, the handler it replaced
// (g_old_bus) and the page size, set once by the first mapping.

#include "file_map.h"

#include <algorithm>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <atomic>
#include <cerrno>
#include <csignal>
#include <mutex>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#ifdef _WIN32

namespace {

// The file's size and last write time, for fmap_changed.
bool file_stamp(HANDLE h, int64_t *size, int64_t *written) {
  LARGE_INTEGER sz;
  FILETIME ft;
  if (!GetFileSizeEx(h, &sz) || !GetFileTime(h, nullptr, nullptr, &ft)) return false;
  *size = static_cast<int64_t>(sz.QuadPart);
  *written = static_cast<int64_t>((static_cast<uint64_t>(ft.dwHighDateTime) << 32) |
                                  ft.dwLowDateTime);
  return true;
}

}  // namespace

int fmap_open(int fd, int64_t size, fmap_view *v) {
  memset(v, 0, sizeof *v);
  v->fd = -1;
  v->slot = -1;
  HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  if (size <= 0 || h == INVALID_HANDLE_VALUE || GetFileType(h) != FILE_TYPE_DISK) return 0;
  SYSTEM_INFO si;
  GetSystemInfo(&si);
  const int64_t page = si.dwPageSize ? static_cast<int64_t>(si.dwPageSize) : 4096;
  // The view ends with the file's last page, whose rest reads as zeros:
  // data[size] is a byte of the view only when the file does not fill
  // that page. A file that does is read instead.
  if (size % page == 0 || static_cast<uint64_t>(size) >= SIZE_MAX / 2) return 0;
  int64_t now_size = 0, written = 0;
  HANDLE dup = nullptr;
  if (!file_stamp(h, &now_size, &written) || now_size != size ||
      !DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &dup, 0, FALSE,
                       DUPLICATE_SAME_ACCESS))
    return 0;
  // The section is as large as the file was found: when another process
  // cut it short meanwhile, creating it fails (read-only sections cannot
  // grow a file), and once the view exists the file cannot shrink.
  const uint64_t want = static_cast<uint64_t>(size);
  HANDLE section = CreateFileMappingW(dup, nullptr, PAGE_READONLY,
                                      static_cast<DWORD>(want >> 32),
                                      static_cast<DWORD>(want & 0xFFFFFFFFu), nullptr);
  void *p = section ? MapViewOfFile(section, FILE_MAP_READ, 0, 0, 0) : nullptr;
  if (!p) {
    if (section) CloseHandle(section);
    CloseHandle(dup);
    return 0;
  }
  v->data = static_cast<char *>(p);
  v->len = static_cast<size_t>((size + page) / page * page);
  v->file = dup;
  v->section = section;
  v->size = size;
  v->mtime_s = written;
  return 1;
}

int fmap_changed(const fmap_view *v) {
  if (!v->len) return 0;
  int64_t size = 0, written = 0;
  if (!file_stamp(static_cast<HANDLE>(v->file), &size, &written)) return 1;
  return size != v->size || written != v->mtime_s;
}

// Not in the kernel here: the caller writes the bytes from the view.
size_t fmap_copy_to(const fmap_view *, int, size_t) { return 0; }
int fmap_copy_path(const char *, int, fmap_stamp *, const std::atomic<int> *) { return 0; }
int fmap_copy_path_worth(const char *) { return 0; }
int fmap_holds(const fmap_view *, const fmap_stamp *) { return 0; }

// Pages of a file view leave the working set when the system needs them;
// nothing to give back by hand.
void fmap_release(const fmap_view *) {}

int64_t fmap_read(const fmap_view *, char *, size_t, int64_t) { return -1; }

void fmap_close(fmap_view *v) {
  if (v->len) {
    UnmapViewOfFile(v->data);
    CloseHandle(static_cast<HANDLE>(v->section));
    CloseHandle(static_cast<HANDLE>(v->file));
  }
  memset(v, 0, sizeof *v);
  v->fd = -1;
  v->slot = -1;
}

#else

#ifdef __APPLE__
#define RRV_MTIM(st) (st).st_mtimespec
#else
#define RRV_MTIM(st) (st).st_mtim
#endif

namespace {

// One live mapping: [start, start + len). `live` is set last when an entry
// is filled and cleared first when it is emptied (before the unmapping), so
// the handler never mends a range that is no longer ours.
struct fault_slot {
  std::atomic<int> live;
  std::atomic<uintptr_t> start;
  std::atomic<size_t> len;
  std::atomic<int> changed;
};

static_assert(ATOMIC_INT_LOCK_FREE == 2 && ATOMIC_POINTER_LOCK_FREE == 2,
              "the fault handler needs lock-free atomics");

fault_slot g_slots[k_fmap_slots];
std::mutex g_slots_mu;  // serialises filling and emptying entries
struct sigaction g_old_bus;
uintptr_t g_page = 4096;
bool g_installed = false;  // under g_slots_mu

// Faults outside our mappings go where they went before us.
void pass_on(int sig, siginfo_t *info, void *ctx) {
  if (g_old_bus.sa_flags & SA_SIGINFO) {
    if (g_old_bus.sa_sigaction) {
      g_old_bus.sa_sigaction(sig, info, ctx);
      return;
    }
  } else if (g_old_bus.sa_handler != SIG_DFL && g_old_bus.sa_handler != SIG_IGN) {
    g_old_bus.sa_handler(sig);
    return;
  }
  // The default action (an ignored fault would repeat for ever): restored,
  // the signal is taken again when the handler returns.
  struct sigaction dfl;
  memset(&dfl, 0, sizeof dfl);
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  sigaction(sig, &dfl, nullptr);
  raise(sig);
}

void on_bus(int sig, siginfo_t *info, void *ctx) {
  int saved = errno;
  uintptr_t at = reinterpret_cast<uintptr_t>(info ? info->si_addr : nullptr);
  for (fault_slot &s : g_slots) {
    if (!s.live.load(std::memory_order_acquire)) continue;
    uintptr_t start = s.start.load(std::memory_order_relaxed);
    if (at - start >= s.len.load(std::memory_order_relaxed)) continue;
    void *page = reinterpret_cast<void *>(at & ~(g_page - 1));
    if (mmap(page, g_page, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) !=
        MAP_FAILED) {
      s.changed.store(1, std::memory_order_release);
      errno = saved;
      return;  // the read is repeated and sees zeros
    }
    break;  // cannot be mended: as if it were not ours
  }
  errno = saved;
  pass_on(sig, info, ctx);
}

// Claims a table entry for [p, p + len) (installing the handler the first
// time); -1 when none is free or the handler cannot be installed.
int32_t slot_claim(char *p, size_t len) {
  std::lock_guard<std::mutex> lock(g_slots_mu);
  if (!g_installed) {
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_sigaction = on_bus;
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESTART;
    sigemptyset(&sa.sa_mask);
    if (sigaction(SIGBUS, &sa, &g_old_bus) != 0) return -1;
    g_installed = true;
  }
  for (int32_t i = 0; i < k_fmap_slots; i++) {
    fault_slot &s = g_slots[i];
    if (s.live.load(std::memory_order_relaxed)) continue;
    s.start.store(reinterpret_cast<uintptr_t>(p), std::memory_order_relaxed);
    s.len.store(len, std::memory_order_relaxed);
    s.changed.store(0, std::memory_order_relaxed);
    s.live.store(1, std::memory_order_release);
    return i;
  }
  return -1;
}

void slot_free(int32_t i) {
  std::lock_guard<std::mutex> lock(g_slots_mu);
  g_slots[i].live.store(0, std::memory_order_release);
}

}  // namespace

int fmap_open(int fd, int64_t size, fmap_view *v) {
  memset(v, 0, sizeof *v);
  v->fd = -1;
  v->slot = -1;
  struct stat st;
  if (size <= 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<int64_t>(st.st_size) != size)
    return 0;
  long ps = sysconf(_SC_PAGESIZE);
  if (ps <= 0 || (ps & (ps - 1)) != 0) return 0;
  g_page = static_cast<uintptr_t>(ps);  // the same value every time
  size_t page = static_cast<size_t>(ps);
  size_t file_len = (static_cast<size_t>(size) + page - 1) / page * page;
  // One byte more than the file, for the 0 after its last byte: the rest of
  // the file's last page reads as zeros, and when the file fills that page
  // an anonymous page follows it.
  size_t len = (static_cast<size_t>(size) + 1 + page - 1) / page * page;
  void *all = mmap(nullptr, len, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (all == MAP_FAILED) return 0;
  char *p = static_cast<char *>(all);
  if (mmap(p, file_len, PROT_READ, MAP_PRIVATE | MAP_FIXED, fd, 0) == MAP_FAILED) {
    munmap(all, len);
    return 0;
  }
  int dup = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  int32_t slot = dup >= 0 ? slot_claim(p, len) : -1;
  if (slot < 0) {
    if (dup >= 0) close(dup);
    munmap(all, len);
    return 0;
  }
#ifdef MADV_WILLNEED
  madvise(p, file_len, MADV_WILLNEED);
#endif
  v->data = p;
  v->len = len;
  v->slot = slot;
  v->fd = dup;
  v->size = size;
  v->mtime_s = static_cast<int64_t>(RRV_MTIM(st).tv_sec);
  v->mtime_ns = static_cast<int64_t>(RRV_MTIM(st).tv_nsec);
  return 1;
}

int fmap_changed(const fmap_view *v) {
  if (!v->len) return 0;
  if (g_slots[v->slot].changed.load(std::memory_order_acquire)) return 1;
  struct stat st;
  if (fstat(v->fd, &st) != 0) return 1;
  return static_cast<int64_t>(st.st_size) != v->size ||
         static_cast<int64_t>(RRV_MTIM(st).tv_sec) != v->mtime_s ||
         static_cast<int64_t>(RRV_MTIM(st).tv_nsec) != v->mtime_ns;
}

void fmap_release(const fmap_view *v) {
  if (v->len) madvise(v->data, v->len, MADV_DONTNEED);
}

int64_t fmap_read(const fmap_view *v, char *buf, size_t n, int64_t off) {
  if (!v->len || v->fd < 0 || off < 0) return -1;
  size_t done = 0;
  while (done < n) {
    ssize_t got = pread(v->fd, buf + done, n - done, static_cast<off_t>(off + done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return done ? static_cast<int64_t>(done) : -1;
    if (got == 0) break;
    done += static_cast<size_t>(got);
  }
  return static_cast<int64_t>(done);
}

size_t fmap_copy_to(const fmap_view *v, int out_fd, size_t len) {
  size_t done = 0;
#if defined(__linux__)
  if (v->len == 0 || v->fd < 0) return 0;
  loff_t at = 0;
  while (done < len) {
    ssize_t n = copy_file_range(v->fd, &at, out_fd, nullptr, len - done, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // unsupported here, or the end of a shortened file
    done += static_cast<size_t>(n);
  }
#else
  (void)v;
  (void)out_fd;
  (void)len;
#endif
  return done;
}

int fmap_copy_path(const char *path, int out_fd, fmap_stamp *got, const std::atomic<int> *stop) {
#if defined(__linux__)
  // Pieces large enough that the calls cost nothing beside the copy.
  constexpr size_t k_piece = size_t{8} << 20;
  // Without blocking: a FIFO put in the file's place would hold the open
  // (and the thread that waits for it) for ever.
  const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return 0;
  struct stat before, after;
  bool ok = fstat(fd, &before) == 0 && S_ISREG(before.st_mode) && before.st_size > 0;
  const size_t len = ok ? static_cast<size_t>(before.st_size) : 0;
  size_t done = 0;
  loff_t at = 0;
  while (ok && done < len && !(stop && *stop)) {
    ssize_t n = copy_file_range(fd, &at, out_fd, nullptr, std::min(len - done, k_piece), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  ok = ok && done == len && fstat(fd, &after) == 0 && after.st_size == before.st_size &&
       RRV_MTIM(after).tv_sec == RRV_MTIM(before).tv_sec &&
       RRV_MTIM(after).tv_nsec == RRV_MTIM(before).tv_nsec;
  close(fd);
  if (!ok) return 0;
  got->dev = static_cast<uint64_t>(before.st_dev);
  got->ino = static_cast<uint64_t>(before.st_ino);
  got->size = static_cast<int64_t>(before.st_size);
  got->mtime_s = static_cast<int64_t>(RRV_MTIM(before).tv_sec);
  got->mtime_ns = static_cast<int64_t>(RRV_MTIM(before).tv_nsec);
  return 1;
#else
  (void)path;
  (void)out_fd;
  (void)got;
  (void)stop;
  return 0;
#endif
}

int fmap_holds(const fmap_view *v, const fmap_stamp *s) {
  struct stat st;
  // The view's descriptor is the one the loader read: its device and inode
  // name the file the view shows, whatever now stands at the path.
  return v->len > 0 && fstat(v->fd, &st) == 0 && static_cast<uint64_t>(st.st_dev) == s->dev &&
         static_cast<uint64_t>(st.st_ino) == s->ino && v->size == s->size &&
         v->mtime_s == s->mtime_s && v->mtime_ns == s->mtime_ns;
}

int fmap_copy_path_worth(const char *path) {
#if defined(__linux__)
  struct stat st;
  return stat(path, &st) == 0 && S_ISREG(st.st_mode) &&
         static_cast<int64_t>(st.st_size) >= k_fmap_min;
#else
  (void)path;
  return 0;
#endif
}

void fmap_close(fmap_view *v) {
  if (v->len) {
    slot_free(v->slot);  // before the unmapping: the range is no longer ours
    munmap(v->data, v->len);
    close(v->fd);
  }
  memset(v, 0, sizeof *v);
  v->fd = -1;
  v->slot = -1;
}

#endif
