// Batch mode: collecting the files and stamping them in worker processes.
//
// The parent forks up to -j workers after the library is initialised. Each
// worker reads a file number from its request pipe, stamps that file and
// writes the outcome to its reply pipe, until the request pipe closes. The
// parent hands out the next file as each reply comes in, so a slow file never
// holds the others up, and reports the files in input order so that standard
// error reads as in a serial run. A worker that dies (end of file on its
// reply pipe while it holds a file) fails that file alone; a new worker is
// forked for the files still waiting. Outputs do not depend on which process
// stamped them: the library's output is a function of its inputs.
//
// The environment variable RRV_TEST_WORKER_CRASH=<file name> makes a worker
// kill itself before stamping a file of that name; the tests use it to
// check that a crash costs one file only.

#include "batch.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <set>
#include <system_error>
#include <thread>

#if !defined(_WIN32)
#  include <poll.h>
#  include <sys/types.h>
#  include <sys/wait.h>
#  include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

std::string base_name(const std::string &path) {
  size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string join_path(const std::string &dir, const std::string &name) {
  if (dir.back() == '/' || dir.back() == '\\') return dir + name;
  return dir + "/" + name;
}

bool has_pdf_extension(const fs::path &p) {
  std::string ext = p.extension().u8string();
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return ext == ".pdf";
}

// Every *.pdf regular file below `dir`, in name order, skipping the
// directory `skip` (the output directory when it lies inside). Symbolic
// links to directories are not followed, so a loop of links cannot trap
// the walk.
std::vector<fs::path> walk_pdfs(const fs::path &dir, const fs::path &skip,
                                std::error_code &ec) {
  std::vector<fs::path> found;
  fs::recursive_directory_iterator it(dir, fs::directory_options::skip_permission_denied, ec);
  for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    std::error_code e;
    if (it->is_directory(e)) {
      if (!skip.empty() && fs::weakly_canonical(it->path(), e) == skip) {
        it.disable_recursion_pending();
      }
      continue;
    }
    if (it->is_regular_file(e) && has_pdf_extension(it->path())) found.push_back(it->path());
  }
  std::sort(found.begin(), found.end(), [](const fs::path &a, const fs::path &b) {
    return a.generic_u8string() < b.generic_u8string();
  });
  return found;
}

void print_failure(const std::string &message) {
  std::fprintf(stderr, "reraruvozari: %s\n", message.c_str());
}

// Outcomes of the items, reported strictly in input order as they complete.
struct batch_state {
  const std::vector<batch_item> &items;
  bool progress;
  std::vector<char> done;  // 0 waiting, 1 stamped, 2 failed
  std::vector<std::string> errors;
  size_t reported = 0;
  size_t stamped = 0;
};

void settle(batch_state &st, size_t k, bool ok, const std::string &error) {
  st.done[k] = ok ? 1 : 2;
  st.errors[k] = error;
  size_t total = st.items.size();
  while (st.reported < total && st.done[st.reported]) {
    size_t r = st.reported++;
    if (st.progress) {
      std::fprintf(stderr, "[%zu/%zu] %s\n", r + 1, total, st.items[r].in.c_str());
    }
    if (st.done[r] == 1) {
      ++st.stamped;
    } else {
      print_failure(st.errors[r]);
    }
  }
}

void stamp_here(batch_state &st, size_t k, const batch_stamp_fn &stamp) {
  std::string error;
  bool ok = stamp(st.items[k], error);
  settle(st, k, ok, error);
}

#if !defined(_WIN32)

// One worker process and the parent's ends of its two pipes.
struct worker {
  pid_t pid = -1;
  int request_fd = -1;       // parent writes item numbers
  int reply_fd = -1;         // parent reads outcomes
  std::deque<size_t> held;   // items sent, not answered yet; front: in work
  std::string pending;       // bytes of a reply not complete yet
};

// Items handed to a worker ahead of its replies: with two, a worker finds
// its next file waiting when it finishes one instead of idling until the
// parent has been scheduled to read its reply.
constexpr size_t k_depth = 2;

// Small files take a fraction of a millisecond each, and waking the parent
// for every reply then costs the workers a share of the processors (each
// wake-up takes a processor from a worker). Once replies come in faster than
// one per k_quick_us, each worker is kept k_depth_quick items ahead and the
// parent lets replies gather for k_gather_us before it reads them. Larger
// files keep k_depth, so that no worker sits on files another could take.
constexpr size_t k_depth_quick = 8;
constexpr long k_quick_us = 1000;
constexpr long k_gather_us = 500;

// A reply: item number (4 bytes), 1 or 0 for success (1 byte), message
// length (4 bytes), message. Host byte order: both ends are one program.
constexpr size_t k_reply_head = 9;

bool write_all(int fd, const void *data, size_t len) {
  const char *p = static_cast<const char *>(data);
  while (len > 0) {
    ssize_t n = write(fd, p, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

bool read_all(int fd, void *data, size_t len) {
  char *p = static_cast<char *>(data);
  while (len > 0) {
    ssize_t n = read(fd, p, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

[[noreturn]] void worker_loop(int request_fd, int reply_fd,
                              const std::vector<batch_item> &items,
                              const batch_stamp_fn &stamp) {
  const char *crash = std::getenv("RRV_TEST_WORKER_CRASH");
  uint32_t k = 0;
  while (read_all(request_fd, &k, sizeof k) && k < items.size()) {
    const batch_item &item = items[k];
    if (crash && *crash && base_name(item.in) == crash) kill(getpid(), SIGKILL);
    std::string error;
    bool ok = stamp(item, error);
    uint32_t len = static_cast<uint32_t>(std::min<size_t>(error.size(), 65536));
    std::string reply(k_reply_head + len, '\0');
    std::memcpy(&reply[0], &k, 4);
    reply[4] = ok ? 1 : 0;
    std::memcpy(&reply[5], &len, 4);
    std::memcpy(&reply[k_reply_head], error.data(), len);
    if (!write_all(reply_fd, reply.data(), reply.size())) break;
  }
  // _exit: no atexit handlers, no flushing of stdio buffers copied from the
  // parent.
  _exit(0);
}

void close_fd(int &fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

// Forks a worker. Returns false (and no worker) when a pipe or the fork
// fails.
bool spawn(std::vector<worker> &workers, const std::vector<batch_item> &items,
           const batch_stamp_fn &stamp) {
  int request[2];
  int reply[2];
  if (pipe(request) != 0) return false;
  if (pipe(reply) != 0) {
    close(request[0]);
    close(request[1]);
    return false;
  }
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) {
    for (int fd : {request[0], request[1], reply[0], reply[1]}) close(fd);
    return false;
  }
  if (pid == 0) {
    // The other workers' pipes stay open in this copy otherwise, and a
    // worker would never see the end of its requests.
    for (worker &w : workers) {
      close_fd(w.request_fd);
      close_fd(w.reply_fd);
    }
    close(request[1]);
    close(reply[0]);
    worker_loop(request[0], reply[1], items, stamp);
  }
  close(request[0]);
  close(reply[1]);
  worker w;
  w.pid = pid;
  w.request_fd = request[1];
  w.reply_fd = reply[0];
  workers.push_back(w);
  return true;
}

std::string describe_exit(int status) {
  if (WIFSIGNALED(status)) {
    int sig = WTERMSIG(status);
    const char *name = strsignal(sig);
    return "was killed by signal " + std::to_string(sig) + (name ? std::string(" (") + name + ")" : "");
  }
  if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
  return "ended";
}

// Tops the worker up to `depth` items from the queue; closes its request
// pipe (it then exits after its last reply) when the queue is empty.
void hand_out(worker &w, std::deque<size_t> &queue, size_t depth = k_depth) {
  while (w.request_fd >= 0 && w.held.size() < depth && !queue.empty()) {
    uint32_t k = static_cast<uint32_t>(queue.front());
    // A failed write means the worker is gone: the item waits for another
    // worker, and the end of file on the reply pipe settles the rest.
    if (!write_all(w.request_fd, &k, sizeof k)) {
      close_fd(w.request_fd);
      return;
    }
    queue.pop_front();
    w.held.push_back(k);
  }
  if (queue.empty()) close_fd(w.request_fd);
}

// Takes the complete replies out of w.pending.
void take_replies(batch_state &st, worker &w, std::deque<size_t> &queue, size_t depth) {
  while (w.pending.size() >= k_reply_head) {
    uint32_t k = 0;
    uint32_t len = 0;
    std::memcpy(&k, w.pending.data(), 4);
    std::memcpy(&len, w.pending.data() + 5, 4);
    if (w.pending.size() < k_reply_head + len) return;
    bool ok = w.pending[4] != 0;
    std::string error = w.pending.substr(k_reply_head, len);
    w.pending.erase(0, k_reply_head + len);
    if (w.held.empty() || w.held.front() != k) continue;  // cannot happen
    w.held.pop_front();
    settle(st, k, ok, error);
    hand_out(w, queue, depth);
  }
}

void run_pool(batch_state &st, std::deque<size_t> queue, int jobs,
              const batch_stamp_fn &stamp) {
  struct sigaction ignore = {};
  struct sigaction old_pipe = {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &old_pipe);

  std::vector<worker> workers;
  size_t want = std::min(queue.size(), static_cast<size_t>(jobs));
  while (workers.size() < want && spawn(workers, st.items, stamp)) {
    hand_out(workers.back(), queue);
  }
  // Workers that die holding nothing make no progress; after a few of
  // those the rest is stamped in this process.
  int idle_deaths = 0;
  std::vector<pollfd> fds;
  const auto started = std::chrono::steady_clock::now();
  size_t replies = st.reported;
  bool quick = false;
  while (!workers.empty()) {
    if (quick) std::this_thread::sleep_for(std::chrono::microseconds(k_gather_us));
    fds.clear();
    for (const worker &w : workers) fds.push_back({w.reply_fd, POLLIN, 0});
    if (poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (size_t i = workers.size(); i-- > 0;) {
      if (fds[i].revents == 0) continue;
      worker &w = workers[i];
      char buf[4096];
      ssize_t n = read(w.reply_fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n > 0) {
        w.pending.append(buf, static_cast<size_t>(n));
        take_replies(st, w, queue, quick ? k_depth_quick : k_depth);
        continue;
      }
      // End of file: the worker has finished or died. It died in the
      // middle of its first held item; the others go back to the queue.
      close_fd(w.request_fd);
      close_fd(w.reply_fd);
      int status = 0;
      while (waitpid(w.pid, &status, 0) < 0 && errno == EINTR) {
      }
      std::deque<size_t> held = std::move(w.held);
      workers.erase(workers.begin() + static_cast<std::ptrdiff_t>(i));
      if (held.empty()) {
        ++idle_deaths;
      } else {
        size_t k = held.front();
        held.pop_front();
        queue.insert(queue.begin(), held.begin(), held.end());
        settle(st, k, false,
               st.items[k].in + ": the worker process stamping it " + describe_exit(status));
      }
      if (!queue.empty() && idle_deaths <= jobs && spawn(workers, st.items, stamp)) {
        hand_out(workers.back(), queue);
      }
    }
    // Quick replies: judged over the first 16 and from then on.
    const size_t answered = st.reported - replies;
    if (answered >= 16) {
      const auto us = std::chrono::duration_cast<std::chrono::microseconds>(
                          std::chrono::steady_clock::now() - started)
                          .count();
      quick = us < k_quick_us * static_cast<long>(answered);
    }
  }
  // Whatever no worker could take (fork failed) is stamped here.
  for (size_t k : queue) stamp_here(st, k, stamp);
  sigaction(SIGPIPE, &old_pipe, nullptr);
}

#endif  // !_WIN32

}  // namespace

std::vector<batch_item> batch_collect(const std::vector<std::string> &inputs,
                                      const std::string &out_dir, bool recursive) {
  std::vector<batch_item> items;
  std::set<std::string> outputs;
  // Two inputs with the same output would overwrite each other.
  auto add = [&](const std::string &in, const std::string &out) {
    batch_item item{in, out, ""};
    if (!outputs.insert(out).second) {
      item.error = in + ": skipped: an earlier file was already written to " + out;
    }
    items.push_back(item);
  };
  std::error_code ec;
  fs::path skip = recursive ? fs::weakly_canonical(fs::u8path(out_dir), ec) : fs::path();
  for (const std::string &in : inputs) {
    fs::path dir = fs::u8path(in);
    if (recursive && fs::is_directory(dir, ec)) {
      std::error_code walk_ec;
      std::vector<fs::path> found = walk_pdfs(dir, skip, walk_ec);
      if (walk_ec) {
        items.push_back({in, "", in + ": cannot read the directory: " + walk_ec.message()});
        continue;
      }
      for (const fs::path &f : found) {
        std::string rel = f.lexically_relative(dir).generic_u8string();
        std::string out = join_path(out_dir, rel);
        add(f.u8string(), out);
        std::error_code mk;
        fs::path parent = fs::u8path(out).parent_path();
        if (items.back().error.empty() && !fs::is_directory(parent, mk)) {
          fs::create_directories(parent, mk);
          if (mk) {
            items.back().error = "cannot create the output directory " +
                                 parent.u8string() + ": " + mk.message();
          }
        }
      }
      continue;
    }
    std::string name = base_name(in);
    if (name.empty() || name == "." || name == "..") {
      items.push_back({in, "", in + ": not a file name"});
      continue;
    }
    add(in, join_path(out_dir, name));
  }
  return items;
}

int batch_default_jobs() {
  unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : static_cast<int>(std::min(n, 1024u));
}

size_t batch_run(const std::vector<batch_item> &items, int jobs, bool progress,
                 const batch_stamp_fn &stamp) {
  batch_state st{items, progress, std::vector<char>(items.size(), 0),
                 std::vector<std::string>(items.size()), 0, 0};
  std::deque<size_t> queue;
  for (size_t k = 0; k < items.size(); ++k) {
    if (items[k].error.empty()) queue.push_back(k);
  }
#if defined(_WIN32)
  (void)jobs;
  for (size_t k = 0; k < items.size(); ++k) {
    if (items[k].error.empty()) {
      stamp_here(st, k, stamp);
    } else {
      settle(st, k, false, items[k].error);
    }
  }
#else
  // Refused items are settled first; they are reported in their turn.
  for (size_t k = 0; k < items.size(); ++k) {
    if (!items[k].error.empty()) settle(st, k, false, items[k].error);
  }
  run_pool(st, queue, std::max(jobs, 1), stamp);
#endif
  return st.stamped;
}
