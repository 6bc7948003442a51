// Allocation failure injection through the exports. malloc, calloc, realloc,
// free and the global operator new/delete are replaced by counting versions
// that can fail the k-th allocation of a call. For every operation and every
// k until the operation no longer reaches its k-th allocation: no crash; a
// failure says why and leaves a pre-existing output alone; a success leaves
// a complete, valid output; the input is untouched, no temporary remains,
// and no block allocated during the call outlives it.
//
// Replacing the allocator does not mix with AddressSanitizer (or valgrind):
// under ASan this file holds one skipped test.

#include <gtest/gtest.h>

#if defined(__SANITIZE_ADDRESS__)
#define RRV_ALLOC_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define RRV_ALLOC_ASAN 1
#endif
#endif

#if defined(RRV_ALLOC_ASAN) || !defined(__GLIBC__) || defined(_WIN32)

TEST(AllocFailure, Skipped) {
  GTEST_SKIP() << "allocator replacement needs glibc and no AddressSanitizer";
}

#else

#include <chrono>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "png.h"
#include "reraruvozari.h"
#include "test_util.h"

extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void __libc_free(void *);
void *__libc_memalign(size_t, size_t);
}

namespace {

// Plain globals: the allocator runs before main and after exit.
bool g_armed = false;
long g_fail_at = 0;   // the allocation (1-based, counted while armed) to fail
long g_calls = 0;     // allocations seen while armed
long g_failed = 0;    // allocations refused
long g_live = 0;      // blocks handed out minus blocks freed
// RRV_ALLOC_ABORT_AT=k aborts at the k-th injected failure instead, to get a
// debugger's backtrace of the allocation site.
long g_abort_at = -1;

bool refuse() {
  if (!g_armed) return false;
  g_calls++;
  if (g_calls == g_fail_at) {
    g_failed++;
    if (g_fail_at == g_abort_at) abort();
    errno = ENOMEM;
    return true;
  }
  return false;
}

void *counted_malloc(size_t n) {
  if (refuse()) return nullptr;
  void *p = __libc_malloc(n);
  if (p) g_live++;
  return p;
}

void counted_free(void *p) {
  if (!p) return;
  g_live--;
  __libc_free(p);
}

void *counted_aligned(size_t align, size_t n) {
  if (refuse()) return nullptr;
  void *p = __libc_memalign(align, n ? n : 1);
  if (p) g_live++;
  return p;
}

}  // namespace

extern "C" {

void *malloc(size_t n) { return counted_malloc(n); }

void *calloc(size_t a, size_t b) {
  if (refuse()) return nullptr;
  void *p = __libc_calloc(a, b);
  if (p) g_live++;
  return p;
}

void *realloc(void *p, size_t n) {
  if (!p) return counted_malloc(n);
  if (n == 0) {
    counted_free(p);
    return nullptr;
  }
  if (refuse()) return nullptr;
  return __libc_realloc(p, n);
}

void free(void *p) { counted_free(p); }

}  // extern "C"

void *operator new(size_t n) {
  void *p = counted_malloc(n ? n : 1);
  if (!p) throw std::bad_alloc();
  return p;
}
void *operator new[](size_t n) {
  void *p = counted_malloc(n ? n : 1);
  if (!p) throw std::bad_alloc();
  return p;
}
void *operator new(size_t n, const std::nothrow_t &) noexcept {
  return counted_malloc(n ? n : 1);
}
void *operator new[](size_t n, const std::nothrow_t &) noexcept {
  return counted_malloc(n ? n : 1);
}
void *operator new(size_t n, std::align_val_t a) {
  void *p = counted_aligned(static_cast<size_t>(a), n);
  if (!p) throw std::bad_alloc();
  return p;
}
void *operator new[](size_t n, std::align_val_t a) {
  void *p = counted_aligned(static_cast<size_t>(a), n);
  if (!p) throw std::bad_alloc();
  return p;
}
void operator delete(void *p) noexcept { counted_free(p); }
void operator delete[](void *p) noexcept { counted_free(p); }
void operator delete(void *p, size_t) noexcept { counted_free(p); }
void operator delete[](void *p, size_t) noexcept { counted_free(p); }
void operator delete(void *p, const std::nothrow_t &) noexcept { counted_free(p); }
void operator delete[](void *p, const std::nothrow_t &) noexcept { counted_free(p); }
void operator delete(void *p, std::align_val_t) noexcept { counted_free(p); }
void operator delete[](void *p, std::align_val_t) noexcept { counted_free(p); }
void operator delete(void *p, size_t, std::align_val_t) noexcept { counted_free(p); }
void operator delete[](void *p, size_t, std::align_val_t) noexcept { counted_free(p); }

namespace {

const char k_previous[] = "previous output, must survive a failure\n";
const char k_cjk[] = "\xE6\x9C\xBA\xE5\xAF\x86 \xEA\xB8\xB0\xEB\xB0\x80";  // 机密 기밀

std::string sample_pdf() {
  std::string here = __FILE__;
  return here.substr(0, here.find_last_of('/')) + "/../examples/sample.pdf";
}

struct op_case {
  const char *name;
  int kind;  // 0 page count, 1 text ASCII, 2 text CJK, 3 image, 4 and 5
             // text and image through the options object, 6 and 7 the lean
             // load (a page count, an incremental update)
};

void PrintTo(const op_case &c, std::ostream *os) { *os << c.name; }

int run_op(int kind, const char *in, const char *out, const char *png,
           int *pages) {
  switch (kind) {
    case 0: return reraruvozari_page_count(in, pages);
    case 1:
      return reraruvozari_text(in, out, "CONFIDENTIAL (draft)", 0.4f, 45.0f, 48,
                               0, 255, 0, 0);
    case 2:
      return reraruvozari_text(in, out, k_cjk, 0.5f, 30.0f, 40, 5, 0, 0, 200);
    case 3: return reraruvozari_image(in, out, png, 0.6f, 0, 3.0f);
    case 6: return reraruvozari_count_pages(in, nullptr, pages);
    case 7: {
      reraruvozari_options *o = reraruvozari_options_new();
      if (!o) return 0;
      int ok = reraruvozari_options_set_incremental(o, 1);
      if (ok) ok = reraruvozari_stamp_text(in, out, "INCR", o);
      reraruvozari_options_free(o);
      return ok;
    }
    default: {
      // The extended calls: options built inside the armed region too.
      reraruvozari_options *o = reraruvozari_options_new();
      if (!o) return 0;
      int ok = reraruvozari_options_set_pages(o, "odd,2-") &&
               reraruvozari_options_set_tile(o, 1) &&
               reraruvozari_options_set_under(o, kind == 4) &&
               reraruvozari_options_set_fit(o, 0.3);
      if (ok)
        ok = kind == 4 ? reraruvozari_stamp_text(in, out, "FIRST\nΚείμενο", o)
                       : reraruvozari_stamp_image(in, out, png, o);
      reraruvozari_options_free(o);
      return ok;
    }
  }
}

bool qpdf_ok(const std::string &path) {
  if (!tu::have_tool("qpdf")) return true;
  tu::run_result r = tu::run("qpdf --check '" + path + "' >/dev/null 2>&1");
  // 0: no problems, 3: warnings only.
  return r.status == 0 || r.status == 3;
}

class AllocFailure : public ::testing::TestWithParam<op_case> {};

TEST_P(AllocFailure, EveryAllocationCanFail) {
  const op_case c = GetParam();
  tu::temp_dir dir;
  const std::string in = dir / "in.pdf", out = dir / "out.pdf",
                    png = dir / "stamp.png";
  const std::vector<uint8_t> original = tu::read_file(sample_pdf());
  ASSERT_FALSE(original.empty()) << sample_pdf();
  tu::write_file(in, std::string(original.begin(), original.end()));
  {
    // 6 x 5 pixels, alpha from opaque to clear.
    uint8_t rgba[6 * 5 * 4];
    for (int i = 0; i < 30; i++) {
      rgba[i * 4] = static_cast<uint8_t>(i * 8);
      rgba[i * 4 + 1] = 40;
      rgba[i * 4 + 2] = static_cast<uint8_t>(255 - i * 8);
      rgba[i * 4 + 3] = static_cast<uint8_t>(255 - i * 8);
    }
    ASSERT_EQ(kp_png_write(png.c_str(), 6, 5, rgba), 1);
  }
  const bool writes = c.kind != 0 && c.kind != 6;
  const std::vector<std::string> expected_files =
      writes ? std::vector<std::string>{"in.pdf", "out.pdf", "stamp.png"}
             : std::vector<std::string>{"in.pdf", "stamp.png"};
  if (writes) tu::write_file(out, k_previous);

  // Warm up once unarmed: lazily built process-wide state (locale data,
  // stdio) is then in place before blocks are counted.
  int pages = -1;
  ASSERT_EQ(run_op(c.kind, in.c_str(), out.c_str(), png.c_str(), &pages), 1)
      << reraruvozari_last_error();
  // What a complete stamp looks like in this output: how often the names
  // of the graphics state and of the stamp streams' operators occur.
  auto marks = [](const std::string &t) {
    size_t n = 0;
    for (const char *name : {"/KpWmGS", "/KpWmF1", "/KpWmF2", "/KpWmF3", "/KpWmIm",
                             "/Contents ["})
      for (size_t p = t.find(name); p != std::string::npos; p = t.find(name, p + 1)) n++;
    return n;
  };
  const size_t complete_marks = writes ? marks(tu::read_text(out)) : 0;
  if (writes) tu::write_file(out, k_previous);
  reraruvozari_cleanup();

  if (const char *e = getenv("RRV_ALLOC_ABORT_AT")) g_abort_at = atol(e);
  std::set<std::string> messages;
  long k = 1, successes_under_fault = 0;
  const long k_bound = 200000;
  auto t0 = std::chrono::steady_clock::now();
  for (; k < k_bound; k++) {
    pages = -1;
    const char *in_c = in.c_str(), *out_c = out.c_str(), *png_c = png.c_str();
    long live_before = g_live;
    g_calls = 0;
    g_failed = 0;
    g_fail_at = k;
    g_armed = true;
    int r = run_op(c.kind, in_c, out_c, png_c, &pages);
    g_armed = false;
    char msg_c[1024];
    snprintf(msg_c, sizeof msg_c, "%s", reraruvozari_last_error());
    reraruvozari_cleanup();
    long live_after = g_live;
    bool fired = g_failed > 0;
    std::string msg = msg_c;

    SCOPED_TRACE("failing allocation " + std::to_string(k) + " of " +
                 std::to_string(g_calls) + ": result " + std::to_string(r) +
                 ", \"" + msg + "\"");
    ASSERT_EQ(live_after, live_before) << "blocks leaked across the call";
    ASSERT_TRUE(tu::read_file(in) == original) << "input modified";
    ASSERT_EQ(dir.list(), expected_files) << "stray or missing file";
    if (r == 0) {
      ASSERT_TRUE(fired) << "failed without an injected fault";
      ASSERT_FALSE(msg.empty());
      messages.insert(msg);
      if (writes) {
        ASSERT_EQ(tu::read_text(out), k_previous) << "output touched";
      } else {
        ASSERT_EQ(pages, -1);
      }
    } else {
      ASSERT_EQ(msg, "");
      if (writes) {
        std::string text = tu::read_text(out);
        ASSERT_EQ(text.compare(0, 5, "%PDF-"), 0);
        ASSERT_NE(text.find("%%EOF", text.size() > 16 ? text.size() - 16 : 0),
                  std::string::npos);
        if (fired) {
          successes_under_fault++;
          ASSERT_EQ(marks(text), complete_marks) << "stamp incomplete";
          ASSERT_TRUE(qpdf_ok(out)) << "invalid output after a recovered fault";
        }
        tu::write_file(out, k_previous);
      } else {
        ASSERT_GE(pages, 1);
      }
      if (!fired) break;  // the call made fewer than k allocations
    }
  }
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  ASSERT_LT(k, k_bound);
  // The last output (from the unarmed-equivalent call) is checked in full.
  if (writes) {
    ASSERT_EQ(run_op(c.kind, in.c_str(), out.c_str(), png.c_str(), &pages), 1);
    ASSERT_TRUE(qpdf_ok(out));
  }
  printf("[ alloc    ] %s: %ld allocations per call, each failed in turn "
         "(%ld calls still succeeded) in %.1f s; messages:\n",
         c.name, k - 1, successes_under_fault, secs);
  for (const std::string &m : messages) printf("[ alloc    ]   %s\n", m.c_str());
  RecordProperty("allocations", std::to_string(k - 1));
  for (const std::string &m : messages) {
    bool clear = m.find("out of memory") != std::string::npos ||
                 m.find("Cannot allocate memory") != std::string::npos;
    EXPECT_TRUE(clear) << "unclear message under memory failure: " << m;
  }
}

const op_case k_cases[] = {
    {"page_count", 0},
    {"text_ascii", 1},
    {"text_cjk", 2},
    {"image_alpha", 3},
    {"options_text", 4},
    {"options_image", 5},
    {"count_pages_lean", 6},
    {"incremental_text", 7},
};

INSTANTIATE_TEST_SUITE_P(Ops, AllocFailure, ::testing::ValuesIn(k_cases),
                         [](const ::testing::TestParamInfo<op_case> &i) {
                           return std::string(i.param.name);
                         });

}  // namespace

#endif
