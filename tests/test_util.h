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
