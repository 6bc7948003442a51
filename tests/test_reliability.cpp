// Reliability through the exports: hostile paths and I/O faults (missing
// directories, directories, FIFOs and devices as files, a file size limit
// that cuts the write short, names taken by links), and pathological
// documents (cycles, very deep trees, a million objects, an object stream
// that inflates 1000:1, absurd lengths, deep nesting, unbalanced strings).
// Each pathological case runs in a child process with an alarm, so a hang
// fails the test instead of stalling it; its time and peak resident size
// are printed. The files of tests/data/bad/ must all fail or succeed
// cleanly, with a message on failure.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include "file_map.h"
#include "flate.h"
#include "pdf_incr.h"
#include "pdf_parse.h"
#include "png.h"
#include "reraruvozari.h"
#include "test_util.h"

namespace {

std::string repo_file(const std::string &rel) {
  std::string here = __FILE__;
  return here.substr(0, here.find_last_of('/')) + "/../" + rel;
}

std::string sample_pdf() { return repo_file("examples/sample.pdf"); }

// ---- building documents ------------------------------------------------------

struct pdf_obj_src {
  int num;
  std::string body;  // what stands between "N 0 obj" and "endobj"
};

std::string stream_body(const std::string &dict_entries, const std::string &data) {
  return "<< " + dict_entries + " /Length " + std::to_string(data.size()) +
         " >>\nstream\n" + data + "\nendstream";
}

// A complete file with a cross-reference table and a trailer naming `root`.
std::string make_pdf(const std::vector<pdf_obj_src> &objs, int root) {
  std::string out = "%PDF-1.7\n%\xE2\xE3\xCF\xD3\n";
  int max_num = 0;
  for (const pdf_obj_src &o : objs) max_num = std::max(max_num, o.num);
  std::vector<long> off(static_cast<size_t>(max_num) + 1, -1);
  for (const pdf_obj_src &o : objs) {
    off[static_cast<size_t>(o.num)] = static_cast<long>(out.size());
    out += std::to_string(o.num) + " 0 obj\n" + o.body + "\nendobj\n";
  }
  long xref = static_cast<long>(out.size());
  out += "xref\n0 " + std::to_string(max_num + 1) + "\n0000000000 65535 f \n";
  char line[32];
  for (int i = 1; i <= max_num; i++) {
    if (off[static_cast<size_t>(i)] < 0)
      snprintf(line, sizeof line, "0000000000 65535 f \n");
    else
      snprintf(line, sizeof line, "%010ld 00000 n \n", off[static_cast<size_t>(i)]);
    out += line;
  }
  out += "trailer\n<< /Size " + std::to_string(max_num + 1) + " /Root " +
         std::to_string(root) + " 0 R >>\nstartxref\n" + std::to_string(xref) +
         "\n%%EOF\n";
  return out;
}

const char k_page_content[] = "BT /F1 24 Tf 72 700 Td (Hello) Tj ET";

// Catalog 1, pages 2, page 3 with `page_extra` in its dictionary, content 4.
std::vector<pdf_obj_src> one_page(const std::string &page_extra = "") {
  return {
      {1, "<< /Type /Catalog /Pages 2 0 R >>"},
      {2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>"},
      {3, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 4 0 R" +
              page_extra + " >>"},
      {4, stream_body("", k_page_content)},
  };
}

// ---- running a case in a child -------------------------------------------------

struct child_result {
  int code = -1;       // the child's exit code; -1 when it did not exit
  int signal = 0;      // the signal that ended it (SIGALRM: too slow)
  double secs = 0;
  long peak_rss_kb = 0;
  std::string message;  // what the child sent back
};

// Runs `body` in a child process that is killed after `timeout_s`. The body
// returns the exit code and may fill a message for the parent.
child_result in_child(const std::function<int(std::string *)> &body,
                      unsigned timeout_s = 60) {
  child_result res;
  int fds[2];
  if (pipe(fds) != 0) return res;
  fflush(nullptr);
  auto t0 = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    alarm(timeout_s);
    std::string msg;
    int code = body(&msg);
    size_t done = 0;
    while (done < msg.size()) {
      ssize_t w = write(fds[1], msg.data() + done, msg.size() - done);
      if (w <= 0) break;
      done += static_cast<size_t>(w);
    }
    close(fds[1]);
    _exit(code);
  }
  close(fds[1]);
  char buf[4096];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0)
    res.message.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  int st = 0;
  struct rusage ru;
  memset(&ru, 0, sizeof ru);
  if (pid > 0 && wait4(pid, &st, 0, &ru) == pid) {
    if (WIFEXITED(st)) res.code = WEXITSTATUS(st);
    if (WIFSIGNALED(st)) res.signal = WTERMSIG(st);
    res.peak_rss_kb = ru.ru_maxrss;
  }
  res.secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  return res;
}

void report(const char *name, const child_result &r) {
  printf("[ figures  ] %-28s exit %d signal %d  %.3f s  peak RSS %ld KB  %s\n",
         name, r.code, r.signal, r.secs, r.peak_rss_kb, r.message.c_str());
  testing::Test::RecordProperty(std::string(name) + "_ms",
                                std::to_string(static_cast<long>(r.secs * 1000)));
  testing::Test::RecordProperty(std::string(name) + "_rss_kb",
                                std::to_string(r.peak_rss_kb));
}

// "result N pages P: message" from one export call.
std::string outcome(int r, int pages = -1) {
  return "result " + std::to_string(r) + " pages " + std::to_string(pages) +
         ": \"" + reraruvozari_last_error() + "\"";
}

bool qpdf_ok(const std::string &path) {
  if (!tu::have_tool("qpdf")) return true;
  tu::run_result r = tu::run("qpdf --check '" + path + "' >/dev/null 2>&1");
  return r.status == 0 || r.status == 3;
}

// Page count, a text stamp and an image stamp on `pdf`, in a child. Exit
// code 0 when every call ended cleanly: 1 with an output that qpdf accepts
// (when `want_valid`) or 0 with a message. 1 otherwise.
child_result stamp_all(const std::string &pdf, const std::string &dir,
                       bool want_valid, unsigned timeout_s = 60) {
  return in_child([&](std::string *msg) {
    const std::string out = dir + "/stamped.pdf", png = dir + "/mark.png";
    uint8_t rgba[2 * 2 * 4] = {255, 0, 0, 255, 0, 255, 0, 128,
                               0, 0, 255, 64, 9, 9, 9, 0};
    if (!kp_png_write(png.c_str(), 2, 2, rgba)) return 2;
    int pages = -1;
    int r = reraruvozari_page_count(pdf.c_str(), &pages);
    *msg = "count " + outcome(r, pages);
    if (!r && !*reraruvozari_last_error()) return 1;
    struct call {
      const char *what;
      std::function<int()> fn;
    } calls[] = {
        {"text", [&] { return reraruvozari_text(pdf.c_str(), out.c_str(), "Draft", 0.5f, 45, 40, 0, 255, 0, 0); }},
        {"cjk", [&] { return reraruvozari_text(pdf.c_str(), out.c_str(), "\xE6\x9C\xBA\xE5\xAF\x86", 0.5f, 0, 30, 5, 0, 0, 0); }},
        {"image", [&] { return reraruvozari_image(pdf.c_str(), out.c_str(), png.c_str(), 0.5f, 0, 10); }},
    };
    for (const call &c : calls) {
      remove(out.c_str());
      int ok = c.fn();
      *msg += std::string("; ") + c.what + " " + outcome(ok);
      if (ok) {
        if (*reraruvozari_last_error() || !tu::exists(out)) return 1;
        if (want_valid && !qpdf_ok(out)) {
          *msg += " (qpdf rejects the output)";
          return 1;
        }
      } else if (!*reraruvozari_last_error()) {
        return 1;
      }
    }
    remove(out.c_str());
    remove(png.c_str());
    return 0;
  }, timeout_s);
}

std::vector<std::string> names_in(const std::string &dir) {
  std::vector<std::string> out;
  if (DIR *d = opendir(dir.c_str())) {
    while (dirent *e = readdir(d))
      if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) out.push_back(e->d_name);
    closedir(d);
  }
  std::sort(out.begin(), out.end());
  return out;
}

// ---- hostile paths and I/O faults ----------------------------------------------

class HostilePaths : public ::testing::Test {
 protected:
  void SetUp() override {
    in = dir / "in.pdf";
    out = dir / "out.pdf";
    original = tu::read_text(sample_pdf());
    ASSERT_FALSE(original.empty());
    tu::write_file(in, original);
  }
  int stamp(const std::string &i, const std::string &o) {
    return reraruvozari_text(i.c_str(), o.c_str(), "Copy", 0.5f, 0, 24, 0, 0, 0, 0);
  }
  tu::temp_dir dir;
  std::string in, out, original;
};

// The file a stamp replaces (its own input, or an older output) keeps its
// permission bits and, where permitted (root here), its owner and group; a
// new output gets 0666 less the umask. qpdf judges every output.
TEST_F(HostilePaths, ReplacedFileKeepsItsMode) {
  REQUIRE_TOOL("qpdf");
  const bool root = geteuid() == 0;
  struct row {
    const char *name;
    bool in_place;
    mode_t mode;  // of the file replaced; 0: no file there
  } rows[] = {
      {"in place, private", true, 0600},     {"in place, read-only", true, 0444},
      {"in place, group", true, 0640},       {"over an output, private", false, 0600},
      {"over an output, setgid", false, 02750}, {"new output", false, 0},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.name);
    chmod(in.c_str(), 0644);  // the previous row may have left it read-only
    tu::write_file(in, original);
    remove(out.c_str());
    const std::string &target = r.in_place ? in : out;
    if (r.mode) {
      if (!r.in_place) tu::write_file(out, "older output");
      // Owner first: a change of owner clears the set-id bits.
      if (root) {
        ASSERT_EQ(chown(target.c_str(), 1234, 5678), 0);
      }
      ASSERT_EQ(chmod(target.c_str(), r.mode), 0);
    }
    mode_t mask = umask(027);
    int ok = stamp(in, target);
    umask(mask);
    ASSERT_EQ(ok, 1) << reraruvozari_last_error();
    struct stat st;
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, r.mode ? r.mode : 0640u) << std::oct << st.st_mode;
    if (root && r.mode) {
      EXPECT_EQ(st.st_uid, 1234u);
      EXPECT_EQ(st.st_gid, 5678u);
    } else {
      EXPECT_EQ(st.st_uid, geteuid());
    }
    EXPECT_EQ(tu::run("qpdf --check '" + target + "' >/dev/null 2>&1").status, 0);
    EXPECT_EQ(names_in(dir.path).size(), r.in_place ? 1u : 2u) << "no temporary left";
  }
}

TEST_F(HostilePaths, OutputDirectoryMissing) {
  std::string o = dir / "no/such/dir/out.pdf";
  EXPECT_EQ(stamp(in, o), 0);
  EXPECT_NE(std::string(reraruvozari_last_error()).find("cannot open output file"),
            std::string::npos)
      << reraruvozari_last_error();
  EXPECT_FALSE(tu::exists(dir / "no"));
  EXPECT_EQ(names_in(dir.path), std::vector<std::string>{"in.pdf"});
}

TEST_F(HostilePaths, OutputIsADirectory) {
  ASSERT_EQ(mkdir(out.c_str(), 0755), 0);
  EXPECT_EQ(stamp(in, out), 0);
  EXPECT_NE(std::string(reraruvozari_last_error()).find("not a regular file"),
            std::string::npos)
      << reraruvozari_last_error();
  struct stat st;
  ASSERT_EQ(stat(out.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_TRUE(names_in(out).empty());
  EXPECT_EQ(names_in(dir.path), (std::vector<std::string>{"in.pdf", "out.pdf"}));
}

TEST_F(HostilePaths, ReadOnlyDirectory) {
  if (geteuid() == 0) GTEST_SKIP() << "root writes into read-only directories";
  std::string ro = dir / "ro";
  ASSERT_EQ(mkdir(ro.c_str(), 0755), 0);
  tu::write_file(ro + "/out.pdf", "previous");
  ASSERT_EQ(chmod(ro.c_str(), 0555), 0);
  EXPECT_EQ(stamp(in, ro + "/out.pdf"), 0);
  EXPECT_NE(std::string(reraruvozari_last_error()).find("cannot open output file"),
            std::string::npos)
      << reraruvozari_last_error();
  EXPECT_EQ(tu::read_text(ro + "/out.pdf"), "previous");
  EXPECT_EQ(names_in(ro), std::vector<std::string>{"out.pdf"});
  chmod(ro.c_str(), 0755);
}

// A file size limit below the output's size cuts the write short: the call
// fails with "write error", removes its temporary and leaves an existing
// output alone.
TEST_F(HostilePaths, ShortWrite) {
  for (bool existing : {false, true}) {
    SCOPED_TRACE(existing ? "over an existing output" : "fresh output");
    remove(out.c_str());
    if (existing) tu::write_file(out, "previous output");
    child_result r = in_child([&](std::string *msg) {
      signal(SIGXFSZ, SIG_IGN);
      struct rlimit lim = {1000, 1000};
      if (setrlimit(RLIMIT_FSIZE, &lim) != 0) return 2;
      int ok = stamp(in, out);
      *msg = outcome(ok);
      return ok == 0 && strstr(reraruvozari_last_error(), "write error") ? 0 : 1;
    });
    EXPECT_EQ(r.code, 0) << r.message;
    EXPECT_EQ(tu::read_text(in), original);
    if (existing) {
      EXPECT_EQ(tu::read_text(out), "previous output");
      EXPECT_EQ(names_in(dir.path), (std::vector<std::string>{"in.pdf", "out.pdf"}));
    } else {
      EXPECT_EQ(names_in(dir.path), std::vector<std::string>{"in.pdf"});
    }
  }
}

TEST_F(HostilePaths, InputIsNotARegularFile) {
  std::string fifo = dir / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  std::string sub = dir / "sub";
  ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
  struct {
    const char *name;
    std::string path;
  } cases[] = {{"directory", sub}, {"fifo", fifo}, {"/dev/zero", "/dev/zero"},
               {"/dev/null", "/dev/null"}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    // In a child with an alarm: opening a FIFO for reading would block.
    child_result r = in_child([&](std::string *msg) {
      int pages = -1;
      int a = reraruvozari_page_count(c.path.c_str(), &pages);
      *msg = outcome(a, pages);
      int b = stamp(c.path, out);
      *msg += "; " + outcome(b);
      return a == 0 && b == 0 && pages == -1 && *reraruvozari_last_error() ? 0 : 1;
    }, 10);
    EXPECT_EQ(r.signal, 0) << "hung";
    EXPECT_EQ(r.code, 0) << r.message;
    EXPECT_LT(r.secs, 5.0);
    EXPECT_FALSE(tu::exists(out));
  }
  // The FIFO as the output: refused before anything opens it.
  child_result r = in_child([&](std::string *msg) {
    int ok = stamp(in, fifo);
    *msg = outcome(ok);
    return ok == 0 && strstr(reraruvozari_last_error(), "not a regular file") ? 0 : 1;
  }, 10);
  EXPECT_EQ(r.signal, 0) << "hung";
  EXPECT_EQ(r.code, 0) << r.message;
  struct stat st;
  ASSERT_EQ(lstat(fifo.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

TEST_F(HostilePaths, InputDeletedBetweenCalls) {
  int pages = -1;
  ASSERT_EQ(reraruvozari_page_count(in.c_str(), &pages), 1);
  ASSERT_EQ(stamp(in, out), 1) << reraruvozari_last_error();
  ASSERT_EQ(remove(in.c_str()), 0);
  pages = -1;
  EXPECT_EQ(reraruvozari_page_count(in.c_str(), &pages), 0);
  EXPECT_EQ(pages, -1);
  EXPECT_NE(std::string(reraruvozari_last_error()).find("cannot open"), std::string::npos);
  std::string before = tu::read_text(out);
  EXPECT_EQ(stamp(in, out), 0);
  EXPECT_EQ(tu::read_text(out), before);
  EXPECT_EQ(names_in(dir.path), std::vector<std::string>{"out.pdf"});
}

TEST_F(HostilePaths, OutputEqualsInput) {
  ASSERT_EQ(stamp(in, in), 1) << reraruvozari_last_error();
  std::string now = tu::read_text(in);
  EXPECT_NE(now, original);
  EXPECT_NE(now.find("KpWmGS"), std::string::npos);
  EXPECT_TRUE(qpdf_ok(in));
  // And again, over its own output.
  ASSERT_EQ(reraruvozari_image(in.c_str(), in.c_str(), repo_file("examples/logo.png").c_str(),
                               0.5f, 0, 1.0f),
            1)
      << reraruvozari_last_error();
  EXPECT_TRUE(qpdf_ok(in));
  EXPECT_EQ(names_in(dir.path), std::vector<std::string>{"in.pdf"});
}

// Paths of 2,000 bytes: the message is cut to 1023 bytes, nothing overflows,
// and an output path too long for its temporary name is refused.
TEST_F(HostilePaths, VeryLongPaths) {
  std::string long_in = dir.path + "/" + std::string(2000, 'a') + ".pdf";
  int pages = -1;
  EXPECT_EQ(reraruvozari_page_count(long_in.c_str(), &pages), 0);
  size_t n = strlen(reraruvozari_last_error());
  EXPECT_GT(n, 100u);
  EXPECT_LE(n, 1023u);
  EXPECT_EQ(std::string(reraruvozari_last_error()).rfind("cannot open", 0), 0u);

  std::string long_out = dir.path + "/" + std::string(2000, 'b') + ".pdf";
  EXPECT_EQ(stamp(in, long_out), 0);
  n = strlen(reraruvozari_last_error());
  EXPECT_GT(n, 100u);
  EXPECT_LE(n, 1023u);
  EXPECT_EQ(names_in(dir.path), std::vector<std::string>{"in.pdf"});

  // Just below the limit of one name (255 bytes) the output still works.
  std::string ok_out = dir.path + "/" + std::string(200, 'c') + ".pdf";
  EXPECT_EQ(stamp(in, ok_out), 1) << reraruvozari_last_error();
  EXPECT_EQ(reraruvozari_image(long_in.c_str(), out.c_str(), long_in.c_str(), 1, 0, 1), 0);
  EXPECT_LE(strlen(reraruvozari_last_error()), 1023u);
}

// The temporary is named "<output>.tmp<rand()>". With the generator seeded
// here, the first names it will try are known: they are taken by a link to
// a file outside the directory, a link to nowhere and a plain file. The call
// must step past all three without following or truncating any of them.
TEST_F(HostilePaths, TakenTemporaryNamesAreNeverFollowed) {
  tu::temp_dir elsewhere;
  std::string victim = elsewhere / "victim.txt";
  tu::write_file(victim, "must not change");
  tu::write_file(out, "previous output");
  for (unsigned seed : {1u, 7u, 12345u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    srand(seed);
    std::vector<std::string> taken;
    for (int i = 0; i < 3; i++) taken.push_back(out + ".tmp" + std::to_string(rand()));
    ASSERT_EQ(symlink(victim.c_str(), taken[0].c_str()), 0);
    ASSERT_EQ(symlink((elsewhere / "nowhere.txt").c_str(), taken[1].c_str()), 0);
    tu::write_file(taken[2], "someone else's");
    srand(seed);
    ASSERT_EQ(stamp(in, out), 1) << reraruvozari_last_error();
    EXPECT_TRUE(qpdf_ok(out));
    EXPECT_EQ(tu::read_text(victim), "must not change");
    EXPECT_FALSE(tu::exists(elsewhere / "nowhere.txt"));
    EXPECT_EQ(tu::read_text(taken[2]), "someone else's");
    struct stat st;
    ASSERT_EQ(lstat(taken[0].c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(names_in(elsewhere.path), std::vector<std::string>{"victim.txt"});
    // Only the output, the input and the three names planted here remain.
    EXPECT_EQ(names_in(dir.path).size(), 5u);
    for (const std::string &t : taken) remove(t.c_str());
  }
  EXPECT_EQ(names_in(dir.path), (std::vector<std::string>{"in.pdf", "out.pdf"}));
}

// The output path is a link to a file elsewhere: the link is replaced by the
// new file, the file it pointed to is left alone.
TEST_F(HostilePaths, OutputLinkIsReplacedNotFollowed) {
  tu::temp_dir elsewhere;
  std::string victim = elsewhere / "victim.txt";
  tu::write_file(victim, "must not change");
  ASSERT_EQ(symlink(victim.c_str(), out.c_str()), 0);
  ASSERT_EQ(stamp(in, out), 1) << reraruvozari_last_error();
  EXPECT_EQ(tu::read_text(victim), "must not change");
  struct stat st;
  ASSERT_EQ(lstat(out.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_TRUE(qpdf_ok(out));
}

// ---- an input that changes while it is read ---------------------------------------

// `pages` pages, each with its own content stream of about 600 bytes: large
// enough that a cut file loses many pages of memory.
std::string many_pages(int pages) {
  std::vector<pdf_obj_src> objs;
  std::string kids;
  for (int i = 0; i < pages; i++) kids += std::to_string(3 + 2 * i) + " 0 R ";
  objs.push_back({1, "<< /Type /Catalog /Pages 2 0 R >>"});
  objs.push_back({2, "<< /Type /Pages /Kids [" + kids + "] /Count " +
                         std::to_string(pages) + " >>"});
  for (int i = 0; i < pages; i++) {
    std::string content;
    for (int line = 0; line < 12; line++)
      content += "BT /F1 10 Tf 72 " + std::to_string(700 - 14 * line) +
                 " Td (Page " + std::to_string(i + 1) + ", line " +
                 std::to_string(line + 1) + ") Tj ET\n";
    objs.push_back({3 + 2 * i, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] "
                               "/Contents " + std::to_string(4 + 2 * i) + " 0 R >>"});
    objs.push_back({4 + 2 * i, stream_body("", content)});
  }
  return make_pdf(objs, 1);
}

bool says_changed(const std::string &msg, const std::string &path) {
  return msg.find("the input file changed while it was read") != std::string::npos &&
         msg.find(path) != std::string::npos;
}

class InputChanges : public ::testing::Test {
 protected:
  void SetUp() override {
    in = dir / "in.pdf";
    out = dir / "out.pdf";
    original = many_pages(800);
    tu::write_file(in, original);
  }
  tu::temp_dir dir;
  std::string in, out, original;
};

// The mapping alone: a cut file's vanished pages read as zeros (no SIGBUS
// reaches the process) and the view says it changed; an untouched file's
// view does not.
TEST_F(InputChanges, MappedFileCutReadsZeros) {
  const size_t size = original.size();
  struct {
    const char *name;
    long cut;  // new size; -1: not cut
  } cases[] = {{"untouched", -1}, {"cut to 0", 0}, {"cut to a third", (long)size / 3},
               {"cut by one byte", (long)size - 1}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    tu::write_file(in, original);
    child_result r = in_child([&](std::string *msg) {
      int fd = open(in.c_str(), O_RDWR);
      fmap_view v;
      if (fd < 0 || !fmap_open(fd, (int64_t)size, &v)) return 2;
      if (memcmp(v.data, original.data(), size) != 0 || v.data[size] != 0) return 3;
      if (c.cut >= 0 && ftruncate(fd, c.cut) != 0) return 4;
      size_t keep = c.cut >= 0 ? (size_t)c.cut : size;
      // Given back and read again: the same bytes, the same zeros.
      fmap_release(&v);
      // Every byte, the vanished ones included.
      bool kept = memcmp(v.data, original.data(), keep) == 0;
      bool zeros = std::all_of(v.data + keep, v.data + size + 1, [](char b) { return b == 0; });
      int changed = fmap_changed(&v);
      // The kernel's copy takes what the file still has, and no more.
      std::string copy_path = dir / "copy.bin";
      int out_fd = open(copy_path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
      size_t copied = out_fd >= 0 ? fmap_copy_to(&v, out_fd, size) : 0;
      if (out_fd >= 0) close(out_fd);
      std::vector<uint8_t> got = tu::read_file(copy_path);
      bool copy_ok = got.size() == copied &&
                     (copied == 0 || memcmp(got.data(), original.data(), copied) == 0) &&
                     (copied == keep || copied == 0);  // 0: no kernel copy here
      *msg = std::string("kept ") + (kept ? "yes" : "no") + ", zeros " + (zeros ? "yes" : "no") +
             ", changed " + std::to_string(changed) + ", copied " + std::to_string(copied);
      fmap_close(&v);
      close(fd);
      return kept && zeros && copy_ok && changed == (c.cut >= 0) ? 0 : 1;
    });
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.code, 0) << r.message;
  }
}

// Giving the mapped input's pages back at every step of every pass (the
// loader's, the page walk's, the page loop's; an incremental update opens
// its input lean) changes no output byte.
TEST_F(InputChanges, ReleasingTheMappingChangesNothing) {
  struct restore {
    ~restore() { g_trim_steps = 1024; }
  } keep;
  std::string outputs[2];
  for (int steps : {1024, 1}) {
    g_trim_steps = steps;
    reraruvozari_options *o = reraruvozari_options_new();
    ASSERT_NE(o, nullptr);
    reraruvozari_options_set_incremental(o, 1);
    int ok = reraruvozari_stamp_text(in.c_str(), out.c_str(), "KEPT", o);
    reraruvozari_options_free(o);
    ASSERT_EQ(ok, 1) << reraruvozari_last_error();
    outputs[steps == 1] = tu::read_text(out);
  }
  EXPECT_FALSE(outputs[0].empty());
  EXPECT_TRUE(outputs[0] == outputs[1]);
}

// An incremental update begins its file (and the copy of the input's
// bytes into it) before the pages are edited. When the stamp fails after
// that (the input is mapped: it is larger than 64 KiB), in place or not, the file goes and nothing else changes; when it
// succeeds in place, the input is a prefix of the result.
TEST_F(InputChanges, IncrementalBegunThenGivenUp) {
  struct row {
    const char *name;
    bool in_place;
    const char *pages;  // NULL: every page
    const char *error;  // part of the message; NULL: success
  } rows[] = {
      {"no page matches", false, "900-901", "no page of"},
      {"no page matches, in place", true, "900-901", "no page of"},
      {"stamped in place", true, nullptr, nullptr},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.name);
    tu::write_file(in, original);
    remove(out.c_str());
    const std::string &target = r.in_place ? in : out;
    reraruvozari_options *o = reraruvozari_options_new();
    ASSERT_NE(o, nullptr);
    reraruvozari_options_set_incremental(o, 1);
    if (r.pages) {
      ASSERT_EQ(reraruvozari_options_set_pages(o, r.pages), 1);
    }
    int ok = reraruvozari_stamp_text(in.c_str(), target.c_str(), "Begun", o);
    reraruvozari_options_free(o);
    const std::string now = tu::read_text(target);
    if (r.error) {
      EXPECT_EQ(ok, 0);
      EXPECT_NE(std::string(reraruvozari_last_error()).find(r.error), std::string::npos)
          << reraruvozari_last_error();
      EXPECT_EQ(tu::read_text(in), original);
    } else {
      EXPECT_EQ(ok, 1) << reraruvozari_last_error();
      EXPECT_GT(now.size(), original.size());
      EXPECT_EQ(now.compare(0, original.size(), original), 0) << "input not a prefix";
    }
    const bool output_there = !r.in_place && !r.error;
    EXPECT_EQ(names_in(dir.path).size(), output_there ? 2u : 1u) << "no temporary left";
  }
}

// The early copy is given up between its pieces: with the stop set it
// copies nothing and says it failed; without, it copies the whole file.
// An update given up (upd_cancel) sets the stop for its copy.
TEST_F(InputChanges, EarlyCopyStopsWhenGivenUp) {
  for (int stop_first : {1, 0}) {
    SCOPED_TRACE(stop_first);
    std::atomic<int> stop{stop_first};
    const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    fmap_stamp got{};
    const int r = fmap_copy_path(in.c_str(), fd, &got, &stop);
    close(fd);
    EXPECT_EQ(r, stop_first ? 0 : 1);
    EXPECT_EQ(tu::read_text(out), stop_first ? std::string() : original);
  }
  remove(out.c_str());
  upd_file w;
  ASSERT_EQ(upd_begin(&w, in.c_str(), out.c_str()), 1);
  upd_cancel(&w);
  EXPECT_EQ(w.stop.load(), 1);
  EXPECT_EQ(names_in(dir.path).size(), 1u) << "no temporary left";
}

// The early copy of an incremental update is kept only when it holds the
// bytes the document was read from: a file rewritten (a different text of
// the same size, or a longer one) or replaced by another file of the same
// size and time, between the start of the copy and the loading, gives an
// output that begins with the new bytes, not the old.
TEST_F(InputChanges, EarlyCopyOfOlderBytesIsNotKept) {
  std::string longer = original;
  longer.insert(longer.size() - 6, "% a comment the loader reads past\n");
  std::string same_size = original;
  const size_t at = same_size.find("Page 1");
  ASSERT_NE(at, std::string::npos);
  same_size[at + 5] = '9';  // the same length, other bytes
  enum change { NONE, REWRITTEN, REPLACED };
  struct row {
    const char *name;
    change how;
    const std::string *now;
  } rows[] = {{"unchanged", NONE, &original},
              {"rewritten, same size", REWRITTEN, &same_size},
              {"rewritten, longer", REWRITTEN, &longer},
              {"replaced, same size and time", REPLACED, &same_size}};
  for (const row &r : rows) {
    SCOPED_TRACE(r.name);
    tu::write_file(in, original);
    remove(out.c_str());
    struct stat was;
    ASSERT_EQ(stat(in.c_str(), &was), 0);
    upd_file w;
    ASSERT_EQ(upd_begin(&w, in.c_str(), out.c_str()), 1);
    if (w.copier.joinable()) w.copier.join();  // the copy done with the old bytes
    if (r.how == REWRITTEN) {
      tu::write_file(in, *r.now);
      // A modification time apart from the first, whatever the clock's grain.
      struct timespec t[2] = {{0, UTIME_OMIT}, {0, 0}};
      clock_gettime(CLOCK_REALTIME, &t[1]);
      t[1].tv_sec += 5;
      ASSERT_EQ(utimensat(AT_FDCWD, in.c_str(), t, 0), 0);
    } else if (r.how == REPLACED) {
      // Another file, given the first one's time, renamed into its place.
      const std::string other = dir / "other.pdf";
      tu::write_file(other, *r.now);
      struct timespec t[2] = {{0, UTIME_OMIT}, was.st_mtim};
      ASSERT_EQ(utimensat(AT_FDCWD, other.c_str(), t, 0), 0);
      ASSERT_EQ(rename(other.c_str(), in.c_str()), 0);
    }
    pdf_doc doc;
    doc_open_opts opts = {0, nullptr, 1, 0};
    ASSERT_EQ(doc_load_opts(in.c_str(), &doc, &opts), 0) << reraruvozari_last_error();
    ASSERT_GT(doc.map.len, 0u) << "the input is mapped";
    EXPECT_EQ(doc_write_incremental(&doc, nullptr, nullptr, 0, out.c_str(), &w), 1)
        << reraruvozari_last_error();
    upd_cancel(&w);
    doc_free(&doc);
    const std::string written = tu::read_text(out);
    EXPECT_EQ(written.compare(0, r.now->size(), *r.now), 0)
        << "output does not begin with the input";
    EXPECT_GT(written.size(), r.now->size());
    EXPECT_EQ(names_in(dir.path).size(), 2u) << "no temporary left";
  }
}

// Loaded, then changed before the output is written. From a mapped input
// both writers fail with the message, leave no file behind, and reading the
// vanished bytes again does not crash. From an input read into memory (a
// full rewrite's, up to g_read_whole_max) nothing of the file is read again:
// both write what was read, whole.
TEST_F(InputChanges, ChangedAfterLoadingFailsTheWrite) {
  const size_t size = original.size();
  struct {
    const char *name;
    long cut;  // new size; -1: same size, rewritten later
  } cases[] = {{"cut to 0", 0}, {"cut to half", (long)size / 2},
               {"cut by one byte", (long)size - 1}, {"rewritten in place", -1}};
  for (const auto &c : cases) {
    for (int mode = 0; mode < 4; mode++) {
      const bool incremental = mode & 1, mapped = mode < 2;
      SCOPED_TRACE(std::string(c.name) + (incremental ? ", incremental" : ", full") +
                   (mapped ? ", mapped" : ", read"));
      tu::write_file(in, original);
      remove(out.c_str());
      child_result r = in_child([&](std::string *msg) {
        doc_open_opts whole = {0, nullptr, 0, 0, 1};  // as a full rewrite opens it
        pdf_doc doc;
        if (doc_load_opts(in.c_str(), &doc, mapped ? nullptr : &whole) != 0) return 2;
        if (!doc_input_intact(&doc)) return 3;
        if ((doc.map.len > 0) != mapped) return 5;
        int fd = open(in.c_str(), O_RDWR);
        if (fd < 0) return 4;
        if (c.cut >= 0) {
          if (ftruncate(fd, c.cut) != 0) return 4;
        } else {
          // Same bytes, same size, a later modification time.
          struct timespec t[2] = {{0, UTIME_OMIT}, {0, 0}};
          clock_gettime(CLOCK_REALTIME, &t[1]);
          t[1].tv_sec += 5;
          if (pwrite(fd, original.data(), size, 0) != (ssize_t)size || futimens(fd, t) != 0)
            return 4;
        }
        close(fd);
        int ok = incremental ? doc_write_incremental(&doc, nullptr, nullptr, 0, out.c_str())
                             : doc_write(&doc, nullptr, nullptr, 0, out.c_str());
        *msg = outcome(ok);
        if (!mapped) {
          doc_free(&doc);
          if (!ok) return 1;
          const std::string written = tu::read_text(out);
          // An update follows the bytes read; a rewrite keeps every page.
          if (incremental && written.compare(0, size, original) != 0) return 6;
          return qpdf_ok(out) ? 0 : 7;
        }
        long zero_from = c.cut >= 0 ? c.cut : (long)size;
        bool zeros = std::all_of(doc.data + zero_from, doc.data + size,
                                 [](char b) { return b == 0; });
        doc_free(&doc);
        return ok == 0 && says_changed(reraruvozari_last_error(), in) && zeros ? 0 : 1;
      });
      EXPECT_EQ(r.signal, 0);
      EXPECT_EQ(r.code, 0) << r.message;
      std::vector<std::string> left = {"in.pdf"};
      if (!mapped) left.push_back("out.pdf");
      EXPECT_EQ(names_in(dir.path), left);
    }
  }
}

// Changed while it was read into memory (cut and written again, or
// rewritten with the same size): the load fails with the message, as a
// mapped input's does, instead of stamping a mix of old and new bytes.
TEST_F(InputChanges, ChangedWhileReadFailsTheLoad) {
  static const std::string *now;
  struct {
    const char *name;
    std::string bytes;
  } cases[] = {{"cut and written again", original}, {"shorter", original.substr(0, 1000)}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    tu::write_file(in, original);
    now = &c.bytes;
    g_after_read = [](const char *path) {
      // Another second, whatever the file system's grain of time.
      tu::write_file(path, *now);
      struct timespec t[2] = {{0, UTIME_OMIT}, {0, 0}};
      clock_gettime(CLOCK_REALTIME, &t[1]);
      t[1].tv_sec += 5;
      utimensat(AT_FDCWD, path, t, 0);
    };
    doc_open_opts whole = {0, nullptr, 0, 0, 1};
    pdf_doc doc;
    const int32_t rc = doc_load_opts(in.c_str(), &doc, &whole);
    g_after_read = nullptr;
    EXPECT_EQ(rc, -1);
    EXPECT_TRUE(says_changed(reraruvozari_last_error(), in)) << reraruvozari_last_error();
  }
  // Untouched, it loads.
  tu::write_file(in, original);
  doc_open_opts whole = {0, nullptr, 0, 0, 1};
  pdf_doc doc;
  ASSERT_EQ(doc_load_opts(in.c_str(), &doc, &whole), 0) << reraruvozari_last_error();
  EXPECT_EQ(doc.map.len, 0u);
  doc_free(&doc);
}

// The handler that was there before the first mapping still gets the
// faults that are not ours: in a fresh process (the "threadsafe" death test
// style runs the statement in a new process), a handler is installed, a file
// is loaded (which installs ours), and then a vanished page of the loaded
// file reads as zeros while one of another mapping reaches the first handler.
void exit_42(int, siginfo_t *, void *) { _exit(42); }

void foreign_fault_after_load(const std::string &in, const std::string &other) {
  alarm(20);  // a fault handed to nobody would repeat for ever
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_sigaction = exit_42;
  sa.sa_flags = SA_SIGINFO;
  sigemptyset(&sa.sa_mask);
  if (sigaction(SIGBUS, &sa, nullptr) != 0) _exit(2);
  pdf_doc doc;
  if (doc_load(in.c_str(), &doc) != 0) _exit(3);
  if (truncate(in.c_str(), 0) != 0) _exit(4);
  volatile char sum = 0;
  for (int32_t i = 0; i < doc.size; i++) sum = static_cast<char>(sum | doc.data[i]);
  if (sum != 0 || doc_input_intact(&doc)) _exit(5);  // ours: zeros, changed
  // Someone else's mapping of a file that is then cut.
  int fd = open(other.c_str(), O_RDWR);
  void *p = fd >= 0 ? mmap(nullptr, 65536, PROT_READ, MAP_SHARED, fd, 0) : MAP_FAILED;
  if (p == MAP_FAILED || ftruncate(fd, 0) != 0) _exit(6);
  sum = static_cast<const volatile char *>(p)[32768];
  _exit(7);  // not reached: the first handler ends the process
}

TEST_F(InputChanges, OtherFaultsReachTheEarlierHandler) {
  std::string other = dir / "other.bin";
  tu::write_file(other, std::string(65536, 'x'));
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(foreign_fault_after_load(in, other), testing::ExitedWithCode(42), "");
}

// Another process cuts the file (to 0, a third, a half, all but its last
// 100 bytes) and restores it, over and over, while this one stamps it, in
// full and incrementally: every call either fails with a message or writes
// an output that qpdf accepts; none crashes. The count of each outcome is
// printed (calls that found the file already cut fail with other messages).
TEST_F(InputChanges, CutWhileStampedRepeatedly) {
  REQUIRE_TOOL("qpdf");
  child_result r = in_child([&](std::string *msg) {
    const long size = (long)original.size();
    // A lean open reads the headers through copies of a page at a time,
    // on two threads, so that cuts land between those reads too.
    g_header_window = 4096;
    g_split_heads = 2;
    // The file stays whole for 0.3 to 2.8 times what an undisturbed call
    // takes (with this build's speed), and cut for half a millisecond.
    auto c0 = std::chrono::steady_clock::now();
    if (!reraruvozari_text(in.c_str(), out.c_str(), "Late", 0.5f, 0, 24, 0, 0, 0, 0)) return 2;
    long call_us = (long)std::chrono::duration_cast<std::chrono::microseconds>(
                       std::chrono::steady_clock::now() - c0).count();
    pid_t cutter = fork();
    if (cutter == 0) {
      int fd = open(in.c_str(), O_WRONLY);
      const long cuts[] = {0, size / 3, size / 2, size - 100};
      for (unsigned i = 0;; i++) {
        if (pwrite(fd, original.data(), original.size(), 0) != size) _exit(1);
        usleep((useconds_t)(call_us * (30 + i * 37 % 250) / 100));
        if (ftruncate(fd, cuts[i % 4]) != 0) _exit(1);
        usleep(500);
      }
    }
    if (cutter < 0) return 2;
    reraruvozari_options *opts = reraruvozari_options_new();
    int written = 0, changed = 0, other = 0, bad = 0;
    // Until both outcomes were seen a few times (for at most 30 s); a
    // failed call waits a little, lest calls on an empty file crowd out the
    // rest.
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; (written < 4 || changed < 4) &&
                    std::chrono::steady_clock::now() - t0 < std::chrono::seconds(30);
         i++) {
      reraruvozari_options_set_incremental(opts, i % 2);
      // Full rewrites read the file into memory, or map it as they do a
      // file too large to read.
      g_read_whole_max = i % 4 == 0 ? -1 : (int64_t)256 << 20;
      remove(out.c_str());
      int ok = reraruvozari_stamp_text(in.c_str(), out.c_str(), "Late", opts);
      std::string err = reraruvozari_last_error();
      if (!ok) usleep(1000);
      if (ok) {
        written++;
        if (!qpdf_ok(out)) {
          bad++;
          *msg += "; call " + std::to_string(i) + ": qpdf rejects the output";
        }
      } else if (says_changed(err, in)) {
        changed++;
      } else if (!err.empty()) {
        if (other++ < 3) *msg += "; " + err;
      } else {
        bad++;
        *msg += "; call " + std::to_string(i) + " failed without a message";
      }
    }
    reraruvozari_options_free(opts);
    kill(cutter, SIGKILL);
    waitpid(cutter, nullptr, 0);
    *msg = "call " + std::to_string(call_us) + " us; written " + std::to_string(written) +
           ", changed " + std::to_string(changed) +
           ", other messages " + std::to_string(other) + *msg;
    // Both outcomes occurred: outputs were judged, and the cutter hit calls.
    return bad == 0 && written > 0 && changed + other > 0 ? 0 : 1;
  }, 120);
  report("cut while stamped", r);
  EXPECT_EQ(r.signal, 0) << r.message;
  EXPECT_EQ(r.code, 0) << r.message;
}

// ---- pathological documents ----------------------------------------------------

class Pathological : public ::testing::Test {
 protected:
  // Writes `pdf`, stamps it in a child and reports the figures; the child
  // must exit cleanly (no crash, no alarm).
  child_result check(const char *name, const std::string &pdf, bool want_valid = false) {
    std::string path = dir / "doc.pdf";
    tu::write_file(path, pdf);
    child_result r = stamp_all(path, dir.path, want_valid);
    report(name, r);
    EXPECT_EQ(r.signal, 0) << name << ": killed by signal (SIGALRM " << SIGALRM << ")";
    EXPECT_EQ(r.code, 0) << name << ": " << r.message;
    std::vector<std::string> left = names_in(dir.path);
    EXPECT_EQ(left, std::vector<std::string>{"doc.pdf"}) << name << ": stray files";
    return r;
  }
  tu::temp_dir dir;
};

TEST_F(Pathological, CyclicPageTree) {
  // 2 -> 5 -> 2, with one real page beside the loop; and a page that is its
  // own parent's kid twice.
  std::vector<pdf_obj_src> objs = {
      {1, "<< /Type /Catalog /Pages 2 0 R >>"},
      {2, "<< /Type /Pages /Kids [3 0 R 5 0 R 3 0 R] /Count 3 >>"},
      {3, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 300 300] /Contents 4 0 R >>"},
      {4, stream_body("", k_page_content)},
      {5, "<< /Type /Pages /Parent 2 0 R /Kids [2 0 R 5 0 R] /Count 1 >>"},
  };
  check("cyclic page tree", make_pdf(objs, 1));
}

TEST_F(Pathological, KidsChain10000Deep) {
  std::vector<pdf_obj_src> objs = {{1, "<< /Type /Catalog /Pages 2 0 R >>"}};
  const int depth = 10000;
  for (int i = 0; i < depth; i++) {
    int num = 2 + i;
    std::string parent = i ? " /Parent " + std::to_string(num - 1) + " 0 R" : "";
    objs.push_back({num, "<< /Type /Pages" + parent + " /Kids [" +
                             std::to_string(num + 1) + " 0 R] /Count 1 >>"});
  }
  int page = 2 + depth;
  objs.push_back({page, "<< /Type /Page /Parent " + std::to_string(page - 1) +
                            " 0 R /MediaBox [0 0 300 300] /Contents " +
                            std::to_string(page + 1) + " 0 R >>"});
  objs.push_back({page + 1, stream_body("", k_page_content)});
  check("kids chain 10000 deep", make_pdf(objs, 1));
}

TEST_F(Pathological, MillionTinyObjects) {
  std::vector<pdf_obj_src> objs = one_page();
  objs.reserve(1000010);
  for (int i = 0; i < 1000000; i++) objs.push_back({10 + i, "null"});
  std::string pdf = make_pdf(objs, 1);
  child_result r = check("1,000,000 objects", pdf);
  printf("[ figures  ] (file of %zu bytes)\n", pdf.size());
}

// An object stream whose 500 objects inflate about 1000:1; every object in
// it must be indexed.
TEST_F(Pathological, ObjectStreamInflating1000To1) {
  const int count = 500;
  const int first_num = 100;
  std::string header, bodies;
  for (int i = 0; i < count; i++) {
    header += std::to_string(first_num + i) + " " + std::to_string(bodies.size()) + " ";
    bodies += "<< /Type /Filler /I " + std::to_string(i) + " >>" + std::string(40000, ' ');
  }
  std::string plain = header + bodies;
  uint8_t *z = nullptr;
  size_t z_len = 0;
  ASSERT_EQ(kp_deflate(reinterpret_cast<const uint8_t *>(plain.data()), plain.size(), &z, &z_len), 0);
  std::string packed(reinterpret_cast<char *>(z), z_len);
  free(z);
  double ratio = static_cast<double>(plain.size()) / static_cast<double>(z_len);
  printf("[ figures  ] object stream: %zu bytes inflate from %zu (%.0f:1)\n",
         plain.size(), z_len, ratio);
  // kp_deflate tops out near 460:1 here (a block header every 64 KiB of
  // input); the loader must allow for up to 1032:1.
  EXPECT_GT(ratio, 400.0);

  std::vector<pdf_obj_src> objs = one_page();
  objs.push_back({5, stream_body("/Type /ObjStm /N " + std::to_string(count) +
                                     " /First " + std::to_string(header.size()) +
                                     " /Filter /FlateDecode",
                                 packed)});
  std::string pdf = make_pdf(objs, 1);
  std::string path = dir / "objstm.pdf";
  tu::write_file(path, pdf);
  child_result idx = in_child([&](std::string *msg) {
    pdf_doc doc;
    if (doc_load(path.c_str(), &doc) != 0) {
      *msg = get_error();
      return 1;
    }
    int missing = 0;
    for (int i = 0; i < count; i++) {
      const pdf_obj *o = obj_find(&doc.objects, first_num + i);
      if (!o || !o->in_objstm || o->text_len < 20 ||
          strncmp(o->text, "<< /Type /Filler", 16) != 0)
        missing++;
    }
    *msg = std::to_string(count - missing) + " of " + std::to_string(count) + " indexed";
    doc_free(&doc);
    return missing == 0 ? 0 : 1;
  });
  report("object stream 1000:1 load", idx);
  EXPECT_EQ(idx.code, 0) << idx.message;
  remove(path.c_str());
  check("object stream 1000:1 stamp", pdf, true);
}

TEST_F(Pathological, LengthOfTwoGiB) {
  std::vector<pdf_obj_src> objs = one_page();
  objs[3].body = std::string("<< /Length 2147483647 >>\nstream\n") + k_page_content +
                 "\nendstream";
  check("/Length 2^31-1", make_pdf(objs, 1), true);
  objs[3].body = std::string("<< /Length 2147483648 >>\nstream\n") + k_page_content +
                 "\nendstream";
  check("/Length 2^31", make_pdf(objs, 1), true);
  objs[3].body = std::string("<< /Length -5 >>\nstream\n") + k_page_content + "\nendstream";
  check("/Length -5", make_pdf(objs, 1), true);
  // Past 2^32 (once read modulo 2^32: 4294967297 was a length of 1), and
  // past what 64 bits hold.
  for (const char *len : {"4294967297", "9223372036854775807", "99999999999999999999999"}) {
    objs[3].body = std::string("<< /Length ") + len + " >>\nstream\n" + k_page_content +
                   "\nendstream";
    check((std::string("/Length ") + len).c_str(), make_pdf(objs, 1), true);
  }
}

uint32_t crc32_of(const std::string &s) {
  uint32_t c = 0xFFFFFFFFu;
  for (unsigned char b : s) {
    c ^= b;
    for (int k = 0; k < 8; k++) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
  }
  return c ^ 0xFFFFFFFFu;
}

std::string png_chunk(const char *type, const std::string &data) {
  std::string c;
  uint32_t n = static_cast<uint32_t>(data.size());
  for (int s = 24; s >= 0; s -= 8) c += static_cast<char>((n >> s) & 0xFF);
  std::string td = std::string(type, 4) + data;
  c += td;
  uint32_t crc = crc32_of(td);
  for (int s = 24; s >= 0; s -= 8) c += static_cast<char>((crc >> s) & 0xFF);
  return c;
}

// An image that claims 32768 x 32768 RGBA pixels (4 GiB) with a few bytes of
// data: refused quickly, without reserving the pixels.
TEST(PathologicalPng, HugeClaimedSize) {
  for (uint32_t side : {32768u, 65535u, 0x7FFFFFFFu}) {
    SCOPED_TRACE(side);
    std::string ihdr;
    for (int k = 0; k < 2; k++)
      for (int s = 24; s >= 0; s -= 8) ihdr += static_cast<char>((side >> s) & 0xFF);
    ihdr += std::string("\x08\x06\x00\x00\x00", 5);
    const uint8_t row[16] = {0};
    uint8_t *z = nullptr;
    size_t z_len = 0;
    ASSERT_EQ(kp_deflate(row, sizeof row, &z, &z_len), 0);
    std::string png = std::string("\x89PNG\r\n\x1a\n", 8) + png_chunk("IHDR", ihdr) +
                      png_chunk("IDAT", std::string(reinterpret_cast<char *>(z), z_len)) +
                      png_chunk("IEND", "");
    free(z);
    child_result r = in_child([&](std::string *msg) {
      // 1 GiB of address space: reserving the claimed pixels would fail
      // with "out of memory" instead of being refused for what they are.
      struct rlimit lim = {1ul << 30, 1ul << 30};
      if (setrlimit(RLIMIT_AS, &lim) != 0) return 2;
      int w = -1, h = -1;
      const char *err = nullptr;
      uint8_t *p = kp_png_decode_mem(reinterpret_cast<const uint8_t *>(png.data()),
                                     png.size(), &w, &h, &err);
      *msg = err ? err : "(no message)";
      if (p) {
        free(p);
        return 1;
      }
      return err && *err && !strstr(err, "out of memory") ? 0 : 1;
    });
    report(("PNG " + std::to_string(side) + " square").c_str(), r);
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.code, 0) << r.message;
    EXPECT_LT(r.peak_rss_kb, 512 * 1024) << "reserved the claimed pixels";
  }
}

TEST_F(Pathological, NestedHundredThousandLevels) {
  const int levels = 100000;
  std::string dicts, arrays;
  dicts.reserve(levels * 8);
  for (int i = 0; i < levels; i++) dicts += "<< /A ";
  dicts += "1";
  for (int i = 0; i < levels; i++) dicts += " >>";
  arrays = std::string(levels, '[') + "1" + std::string(levels, ']');
  check("100000 nested dicts", make_pdf(one_page(" /Deep " + dicts), 1));
  check("100000 nested arrays", make_pdf(one_page(" /Deep " + arrays), 1));
  // Unclosed: the nesting never comes back.
  check("100000 unclosed dicts",
        make_pdf(one_page(" /Deep " + dicts.substr(0, levels * 6)), 1));
  check("100000 unclosed arrays",
        make_pdf(one_page(" /Deep " + std::string(levels, '[')), 1));
  // In the resources, where the stamp's entries are merged.
  check("nested resources",
        make_pdf(one_page(" /Resources << /Font " + dicts + " >>"), 1));
}

TEST_F(Pathological, UnbalancedStringsInResources) {
  const char *cases[] = {
      " /Resources << /ProcSet [/PDF] /X (open ( never closed >> >>",
      " /Resources << /ProcSet [/PDF] /X (a) ) ) >> ) /Y 1 >>",
      " /Resources << /Font << /F1 << /Type /Font /Subtype /Type1 /BaseFont (>>) >> >> >>",
      " /Resources << /X (\\) >> ) /ExtGState << >> >>",
      " /Resources (<< /Font << >> >>",
      " /Resources << /X <414243 >> /Font 9 0 R >>",
  };
  int i = 0;
  for (const char *c : cases) {
    std::string name = "unbalanced strings " + std::to_string(i++);
    check(name.c_str(), make_pdf(one_page(c), 1));
  }
}

// ---- files that must be handled cleanly ------------------------------------------

// Every file of tests/data/bad/ (fuzz findings, hand-made damage) goes
// through the page count and both stamps without a crash or a hang.
TEST(BadFiles, HandledCleanly) {
  std::string bad = std::string(RRV_TEST_DATA) + "/bad";
  std::vector<std::string> files = names_in(bad);
  ASSERT_FALSE(files.empty()) << "no files in " << bad;
  tu::temp_dir dir;
  for (const std::string &f : files) {
    SCOPED_TRACE(f);
    child_result r = stamp_all(bad + "/" + f, dir.path, false, 30);
    report(f.c_str(), r);
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.code, 0) << r.message;
  }
}

}  // namespace
