// Helpers shared by the test programs: files, temporary directories, running
// the third-party judges (qpdf, poppler, mutool) and skipping when one is
// missing. With RRV_REQUIRE_ORACLES=1 in the environment (CI), a missing
// judge fails the test instead of skipping it.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tu {

inline std::string corpus(const std::string &rel) {
  return std::string(RRV_CORPUS_DIR) + "/" + rel;
}

inline std::vector<uint8_t> read_file(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)),
                              std::istreambuf_iterator<char>());
}

inline std::string read_text(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

inline void write_file(const std::string &path, const std::string &s) {
  std::ofstream f(path, std::ios::binary);
  f << s;
}

inline bool exists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// A fresh directory under /tmp, removed at the end of the test.
struct temp_dir {
  std::string path;
  temp_dir() {
    char tmpl[] = "/tmp/rrvtestXXXXXX";
    char *p = mkdtemp(tmpl);
    path = p ? p : "/tmp";
  }
  ~temp_dir() {
    if (path != "/tmp") {
      std::string cmd = "rm -rf '" + path + "'";
      if (system(cmd.c_str()) != 0) {
      }
    }
  }
  std::string operator/(const std::string &name) const {
    return path + "/" + name;
  }
  // Names of the files in the directory (for "no temporary left behind").
  std::vector<std::string> list() const {
    std::vector<std::string> out;
    std::string cmd = "ls -A '" + path + "'";
    FILE *p = popen(cmd.c_str(), "r");
    char line[4096];
    while (p && fgets(line, sizeof line, p)) {
      std::string s(line);
      while (!s.empty() && s.back() == '\n') s.pop_back();
      out.push_back(s);
    }
    if (p) pclose(p);
    return out;
  }
};

struct run_result {
  int status;  // exit status, or -1 when the command could not run
  std::string out;
};

// Runs a shell command, capturing stdout (and stderr with 2>&1 in cmd).
inline run_result run(const std::string &cmd) {
  run_result r{-1, ""};
  FILE *p = popen(cmd.c_str(), "r");
  if (!p) return r;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  int st = pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

inline bool have_tool(const std::string &tool) {
  return run("command -v " + tool + " >/dev/null 2>&1").status == 0;
}

inline bool oracles_required() {
  const char *v = getenv("RRV_REQUIRE_ORACLES");
  return v && *v && std::string(v) != "0";
}


// A PDF written piece by piece, with cross-reference sections that list the
// objects at the offsets where they were written (for files with
// revisions, object streams and damage).
struct pdf_text {
  std::string s = "%PDF-1.4\n";
  std::vector<std::pair<int, long>> at;  // number, offset of a copy; the last counts
  long off_of(int num) const {
    long o = -1;
    for (const auto &a : at)
      if (a.first == num) o = a.second;
    return o;
  }
  void obj(int num, const std::string &body, int gen = 0) {
    at.push_back({num, (long)s.size()});
    s += std::to_string(num) + " " + std::to_string(gen) + " obj\n" + body + "\nendobj\n";
  }
  // A stream object: `entries` and /Length before the data.
  void stream(int num, const std::string &entries, const std::string &data) {
    obj(num, "<< " + entries + " /Length " + std::to_string(data.size()) + " >>\nstream\n" +
                 data + "\nendstream");
  }
  // An unfiltered object stream of (number, text) objects.
  void objstm(int num, const std::vector<std::pair<int, std::string>> &objs,
              const std::string &extra = "/Type /ObjStm") {
    std::string hdr, body;
    for (const auto &o : objs) {
      hdr += std::to_string(o.first) + " " + std::to_string(body.size()) + " ";
      body += o.second + "\n";
    }
    stream(num, extra + " /N " + std::to_string(objs.size()) + " /First " +
                    std::to_string(hdr.size()),
           hdr + body);
  }
  // A classic section: `used` at their latest offsets, `freed` as free
  // entries of generation 1, one subsection each. Returns its offset.
  long table(const std::vector<int> &used, const std::vector<int> &freed,
             const std::string &trailer_entries, long prev = -1) {
    long x = (long)s.size();
    s += "xref\n0 1\n0000000000 65535 f \n";
    char e[64];
    for (int n : used) {
      snprintf(e, sizeof e, "%d 1\n%010ld 00000 n \n", n, off_of(n));
      s += e;
    }
    for (int n : freed) {
      snprintf(e, sizeof e, "%d 1\n0000000000 00001 f \n", n);
      s += e;
    }
    s += "trailer\n<< " + trailer_entries +
         (prev >= 0 ? " /Prev " + std::to_string(prev) : std::string()) + " >>\n";
    return x;
  }
  // A cross-reference stream (object `num`, unfiltered, /W [1 4 2]) with
  // entries {number, type, field 2, field 3}; -1 as field 2 of type 1
  // stands for the number's latest offset. Returns its offset.
  long xref_stream(int num, std::vector<std::vector<long>> entries,
                   const std::string &dict_entries, long prev = -1) {
    long x = (long)s.size();
    entries.push_back({num, 1, x, 0});
    std::string index, data;
    for (auto &en : entries) {
      if (en[1] == 1 && en[2] < 0) en[2] = off_of((int)en[0]);
      index += std::to_string(en[0]) + " 1 ";
      data += (char)en[1];
      for (int b = 3; b >= 0; b--) data += (char)((en[2] >> (8 * b)) & 0xff);
      data += (char)((en[3] >> 8) & 0xff);
      data += (char)(en[3] & 0xff);
    }
    stream(num, "/Type /XRef /W [1 4 2] /Index [" + index + "] /Size " + std::to_string(num + 1) +
                    " " + dict_entries +
                    (prev >= 0 ? " /Prev " + std::to_string(prev) : std::string()),
           data);
    return x;
  }
  std::string done(long xref) const {
    return s + "startxref\n" + std::to_string(xref) + "\n%%EOF\n";
  }
  // The same with startxref leading nowhere.
  std::string done_damaged() const { return s + "startxref\n9\n%%EOF\n"; }
};
}  // namespace tu

// Skips the test when something it needs from the system (a locale, a
// font, a converter) is missing; fails in CI, where scripts/test installs it.
#define REQUIRE_PRESENT(present, what)                                \
  do {                                                                \
    if (!(present)) {                                                 \
      if (tu::oracles_required()) FAIL() << "missing: " << what;      \
      GTEST_SKIP() << "missing: " << what;                            \
    }                                                                 \
  } while (0)

// Skips the test when a judge is missing (fails in CI, where it must exist).
#define REQUIRE_TOOL(tool) REQUIRE_PRESENT(tu::have_tool(tool), "judge " << tool)
