// The document writer: layout of the output (objects, cross-reference table,
// trailer), its failures (nothing partial is ever left, an old output survives
// every failure) and a round trip over the corpus judged by qpdf and poppler.

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <vector>

#include "flate.h"
#include "pdf_incr.h"
#include "pdf_write.h"
#include "test_util.h"

namespace {

struct in_obj {
  int num;
  int gen;
  std::string body;  // everything between "obj\n" and "endobj"
};

// A complete small PDF with a correct classic cross-reference table.
std::string build_pdf(const std::vector<in_obj> &objs, const std::string &trailer_extra,
                      int root = 1) {
  std::string s = "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n";
  std::map<int, std::pair<size_t, int>> at;
  int maxn = 0;
  for (const auto &o : objs) {
    at[o.num] = {s.size(), o.gen};
    if (o.num > maxn) maxn = o.num;
    s += std::to_string(o.num) + " " + std::to_string(o.gen) + " obj\n" + o.body +
         "endobj\n";
  }
  size_t x = s.size();
  s += "xref\n0 " + std::to_string(maxn + 1) + "\n0000000000 65535 f \n";
  char e[32];
  for (int i = 1; i <= maxn; i++) {
    auto it = at.find(i);
    if (it == at.end()) {
      s += "0000000000 65535 f \n";
    } else {
      snprintf(e, sizeof e, "%010zu %05d n \n", it->second.first, it->second.second);
      s += e;
    }
  }
  s += "trailer\n<< /Size " + std::to_string(maxn + 1) + " /Root " +
       std::to_string(root) + " 0 R" + trailer_extra + " >>\nstartxref\n" +
       std::to_string(x) + "\n%%EOF\n";
  return s;
}

std::string stream_body(const std::string &dict_extra, const std::string &data) {
  return "<< /Length " + std::to_string(data.size()) + dict_extra + " >>\nstream\n" +
         data + "\nendstream\n";
}

// The five objects of a one-page document; object 4 is a plain font.
std::vector<in_obj> simple_objs() {
  return {{1, 0, "<< /Type /Catalog /Pages 2 0 R >>\n"},
          {2, 0, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>\n"},
          {3, 0,
           "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 200] /Contents 5 0 R "
           "/Resources << /Font << /F1 4 0 R >> >> >>\n"},
          {4, 0, "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>\n"},
          {5, 0, stream_body("", "BT /F1 24 Tf 20 100 Td (Hi) Tj ET")}};
}

struct loaded {
  pdf_doc doc;
  int rc;
  explicit loaded(const std::string &path) {
    memset(&doc, 0, sizeof doc);
    rc = doc_load(path.c_str(), &doc);
  }
  ~loaded() {
    if (rc == 0) doc_free(&doc);
  }
};

struct new_objs {
  new_object *items = nullptr;
  int count = 0;
  int cap = 0;
  void add(int num, const char *dict, const std::string *data, bool stream) {
    uint8_t *d = nullptr;
    if (data && !data->empty()) {
      d = static_cast<uint8_t *>(malloc(data->size()));
      memcpy(d, data->data(), data->size());
    }
    ASSERT_EQ(push_obj(&items, &count, &cap, num, dict ? strdup(dict) : nullptr, d,
                       data ? data->size() : 0, stream ? 1 : 0),
              1);
  }
  ~new_objs() {
    for (int i = 0; i < count; i++) {
      free(items[i].dict);
      free(items[i].data);
    }
    arr_free(items);
  }
};

struct ov_holder {
  overlay ov;
  ov_holder() { ov_init(&ov); }
  ~ov_holder() { ov_free(&ov); }
};

// Checks the cross-reference table against the objects it lists and returns
// the offsets by object number.
std::map<int, size_t> check_xref(const std::string &out, int size) {
  std::map<int, size_t> offs;
  size_t sx = out.rfind("startxref\n");
  EXPECT_NE(sx, std::string::npos);
  size_t x = std::stoul(out.substr(sx + 10));
  EXPECT_EQ(out.compare(x, 5, "xref\n"), 0);
  std::string head = "xref\n0 " + std::to_string(size) + "\n";
  EXPECT_EQ(out.compare(x, head.size(), head), 0);
  size_t e = x + head.size();
  EXPECT_EQ(out.compare(e, 20, "0000000000 65535 f \n"), 0);
  for (int i = 1; i < size; i++) {
    std::string ent = out.substr(e + 20 * static_cast<size_t>(i), 20);
    EXPECT_EQ(ent.size(), 20u);
    if (ent[17] == 'f') {
      EXPECT_EQ(ent, "0000000000 65535 f \n") << i;
      continue;
    }
    EXPECT_EQ(ent.substr(16), " n \n") << i;
    size_t off = std::stoul(ent.substr(0, 10));
    int gen = std::stoi(ent.substr(11, 5));
    std::string hdr = std::to_string(i) + " " + std::to_string(gen) + " obj\n";
    EXPECT_EQ(out.compare(off, hdr.size(), hdr), 0) << "object " << i;
    offs[i] = off;
  }
  EXPECT_EQ(out.compare(e + 20 * static_cast<size_t>(size), 8, "trailer\n"), 0);
  return offs;
}

int qpdf_check(const std::string &path) {
  return tu::run("qpdf --check '" + path + "' >/dev/null 2>&1").status;
}

// qpdf's error lines, with the file's own path taken out so that the lines of
// an input and of its copy compare.
std::set<std::string> qpdf_errors(const std::string &path) {
  std::set<std::string> errs;
  std::istringstream lines(tu::run("qpdf --check '" + path + "' 2>&1").out);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.compare(0, 6, "ERROR:") != 0) continue;
    for (size_t at; (at = line.find(path)) != std::string::npos;)
      line.replace(at, path.size(), "FILE");
    errs.insert(line);
  }
  return errs;
}

std::string page_text(const std::string &path) {
  return tu::run("pdftotext -q '" + path + "' - 2>/dev/null").out;
}

}  // namespace

TEST(DocWrite, LayoutWithNewObjects) {
  REQUIRE_TOOL("qpdf");
  tu::temp_dir dir;
  tu::write_file(dir / "in.pdf", build_pdf(simple_objs(), ""));
  loaded in(dir / "in.pdf");
  ASSERT_EQ(in.rc, 0) << get_error();
  ASSERT_EQ(in.doc.max_num, 5);

  new_objs no;
  std::string q = "q\n", empty;
  no.add(6, nullptr, nullptr, false);
  no.add(7, "<< /Length 0 >>", &empty, true);
  no.add(8, "<< /Length 2 >>", &q, true);
  no.add(9, "<< /Type /ExtGState /ca 0.5000 /CA 0.5000 >>", nullptr, false);
  no.add(10, "<< /Length 0 >>", nullptr, true);
  set_error("before");
  ASSERT_EQ(doc_write(&in.doc, nullptr, no.items, no.count, (dir / "out.pdf").c_str()),
            1)
      << get_error();
  EXPECT_STREQ(get_error(), "before");  // success leaves the text alone
  std::string out = tu::read_text(dir / "out.pdf");

  EXPECT_EQ(out.substr(0, 15), "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n");
  EXPECT_NE(out.find("4 0 obj\n<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica "
                     ">>\n\nendobj\n"),
            std::string::npos);
  EXPECT_NE(out.find("5 0 obj\n<< /Length 33 >>\nstream\nBT /F1 24 Tf 20 100 Td (Hi) "
                     "Tj ET\nendstream\nendobj\n"),
            std::string::npos);
  EXPECT_NE(out.find("6 0 obj\n<< >>\nendobj\n"), std::string::npos);
  EXPECT_NE(out.find("7 0 obj\n<< /Length 0 >>\nstream\n\nendstream\nendobj\n"),
            std::string::npos);
  EXPECT_NE(out.find("8 0 obj\n<< /Length 2 >>\nstream\nq\n\nendstream\nendobj\n"),
            std::string::npos);
  EXPECT_NE(out.find("10 0 obj\n<< /Length 0 >>\nstream\n\nendstream\nendobj\n"),
            std::string::npos);
  auto offs = check_xref(out, 11);
  EXPECT_EQ(offs.size(), 10u);
  size_t x = out.find("\nxref\n0 11\n") + 1;
  EXPECT_NE(out.find("trailer\n<< /Size 11 /Root 1 0 R >>\nstartxref\n" +
                     std::to_string(x) + "\n%%EOF\n"),
            std::string::npos);
  EXPECT_EQ(out.size() - out.rfind("%%EOF\n"), 6u);
  EXPECT_EQ(qpdf_check(dir / "out.pdf"), 0);
  auto names = dir.list();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"in.pdf", "out.pdf"}));
}

// Writes a document of stream and array objects whose data lengths come from
// `len_of(num)`, some with a wrong /Length (their dictionary is rewritten for
// the output), some replaced by the overlay, plus new objects, and checks
// that every object comes out whole, in order, where the table says.
template <class LenFn>
void check_pieces(int last, LenFn len_of) {
  tu::temp_dir dir;
  std::vector<in_obj> objs = simple_objs();
  std::map<int, std::string> expect;  // each object as it must be written
  auto stream_text = [](const std::string &dict, const std::string &data) {
    return dict + "\nstream\n" + data + "\nendstream\nendobj\n";
  };
  for (int num = 6; num < last; num++) {
    size_t len = len_of(num);
    std::string data;
    for (size_t i = 0; i < len; i++) data += static_cast<char>('a' + (num * 7 + i) % 26);
    std::string hdr = std::to_string(num) + " 0 obj\n";
    if (num % 3 == 0) {
      objs.push_back({num, 0, "[" + data + "]\n"});
      // A body that is not a dictionary runs from "obj" to "endobj".
      expect[num] = hdr + "\n[" + data + "]\n\nendobj\n";
      continue;
    }
    // A damaged /Length (the loader finds the end, the writer mends the
    // dictionary), with a dictionary long or short; the long ones, written
    // at once, only late in the file.
    bool wrong = num % 17 == 0;
    std::string pad = num % 11 == 0 && num > 2000 ? " /Pad (" + std::string(600, 'p') + ")" : "";
    std::string dict = "<< /Length " + std::to_string(wrong ? len + 5 : len) + pad + " >>";
    objs.push_back({num, 0, dict + "\nstream\n" + data + "\nendstream\n"});
    if (wrong)  // the data runs to "endstream"; the dictionary gets its length
      expect[num] = hdr + stream_text("<<" + pad + "  /Length " + std::to_string(len + 1) + " >>",
                                      data + "\n");
    else
      expect[num] = hdr + stream_text(dict, data);
  }
  tu::write_file(dir / "in.pdf", build_pdf(objs, ""));
  loaded in(dir / "in.pdf");
  ASSERT_EQ(in.rc, 0) << get_error();
  ov_holder ov;
  for (int num = 300; num < last; num += 300) {  // array objects get a dictionary
    std::string text = "<< /Replaced " + std::to_string(num) + " >>";
    ov_add(&ov.ov, num, strdup(text.c_str()));
    expect[num] = std::to_string(num) + " 0 obj\n" + text + "\nendobj\n";
  }
  new_objs no;
  for (int num = last; num < last + 400; num++) {
    std::string data(static_cast<size_t>(num % 7 == 0 ? 2000 : num % 50), 'n');
    std::string dict = "<< /Length " + std::to_string(data.size()) + " >>";
    no.add(num, dict.c_str(), &data, true);
    expect[num] = std::to_string(num) + " 0 obj\n" + stream_text(dict, data);
  }
  ASSERT_EQ(doc_write(&in.doc, &ov.ov, no.items, no.count, (dir / "out.pdf").c_str()), 1)
      << get_error();
  std::string out = tu::read_text(dir / "out.pdf");
  auto offs = check_xref(out, last + 400);
  ASSERT_EQ(offs.size(), static_cast<size_t>(last + 399));
  for (const auto &e : expect) {
    size_t at = offs[e.first];
    ASSERT_EQ(out.compare(at, e.second.size(), e.second), 0)
        << "object " << e.first << ": " << out.substr(at, std::min<size_t>(e.second.size(), 120));
  }
}

// The writer gathers small pieces and hands large ones over where they lie;
// however its buffer fills and is flushed, nothing may be lost or moved.
TEST(DocWrite, ManyPiecesComeOutWhole) {
  uint32_t seed = 7;
  auto next = [&seed] { return seed = seed * 1103515245u + 12345u; };
  {
    SCOPED_TRACE("random mix");
    check_pieces(3000, [&](int) -> size_t {
      return next() % 5 == 0 ? 512 + next() % 9000 : next() % 700;
    });
  }
  // A run of large pieces ending at various points, then a long run of
  // small ones that share the buffer.
  for (int run : {200, 255, 256, 257, 300, 400, 511}) {
    SCOPED_TRACE("large run " + std::to_string(run));
    check_pieces(3000, [&](int num) -> size_t {
      return num < 6 + run ? 600 + next() % 3000 : next() % 100;
    });
  }
}

TEST(DocWrite, GapsGenerationsAndInfo) {
  REQUIRE_TOOL("qpdf");
  tu::temp_dir dir;
  auto objs = simple_objs();
  objs[3].gen = 3;  // object 4 of generation 3
  objs[2].body.replace(objs[2].body.find("4 0 R"), 5, "4 3 R");
  objs.push_back({12, 3, "<< /Title (t) >>\n"});
  objs.push_back({13, 65535, "(free generation)\n"});
  tu::write_file(dir / "in.pdf", build_pdf(objs, " /Info 12 3 R"));
  loaded in(dir / "in.pdf");
  ASSERT_EQ(in.rc, 0) << get_error();
  ASSERT_EQ(doc_write(&in.doc, nullptr, nullptr, 0, (dir / "out.pdf").c_str()), 1)
      << get_error();
  std::string out = tu::read_text(dir / "out.pdf");
  auto offs = check_xref(out, 14);
  for (int gap = 6; gap <= 11; gap++) EXPECT_EQ(offs.count(gap), 0u) << gap;
  EXPECT_NE(out.find("12 3 obj\n<< /Title (t) >>"), std::string::npos);
  EXPECT_NE(out.find("4 3 obj\n"), std::string::npos);
  EXPECT_NE(out.find("13 0 obj\n\n(free generation)\n\nendobj\n"), std::string::npos);
  EXPECT_NE(out.find(" 00003 n \n"), std::string::npos);
  EXPECT_NE(out.find("trailer\n<< /Size 14 /Root 1 0 R /Info 12 3 R >>"),
            std::string::npos);
  EXPECT_EQ(qpdf_check(dir / "out.pdf"), 0);
  EXPECT_NE(tu::run("pdfinfo '" + (dir / "out.pdf") + "'").out.find("Title:"),
            std::string::npos);
}

TEST(DocWrite, OverlayTextReplacesDictionaryKeepsStream) {
  REQUIRE_TOOL("qpdf");
  tu::temp_dir dir;
  tu::write_file(dir / "in.pdf", build_pdf(simple_objs(), ""));
  loaded in(dir / "in.pdf");
  ASSERT_EQ(in.rc, 0) << get_error();
  ov_holder h;
  // A new dictionary for the content stream and for the page.
  ov_add(&h.ov, 5, strdup("<< /Length 33 /X (overlay) >>"));
  ov_add(&h.ov, 3,
         strdup("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 300 300] /Contents 5 0 "
                "R /Resources << /Font << /F1 4 0 R >> >> >>"));
  ASSERT_EQ(doc_write(&in.doc, &h.ov, nullptr, 0, (dir / "out.pdf").c_str()), 1)
      << get_error();
  std::string out = tu::read_text(dir / "out.pdf");
  EXPECT_NE(out.find("5 0 obj\n<< /Length 33 /X (overlay) >>\nstream\nBT /F1 24 Tf 20 "
                     "100 Td (Hi) Tj ET\nendstream\nendobj\n"),
            std::string::npos);
  EXPECT_NE(out.find("3 0 obj\n<< /Type /Page /Parent 2 0 R /MediaBox [0 0 300 300] "
                     "/Contents 5 0 R /Resources << /Font << /F1 4 0 R >> >> >>\nendobj\n"),
            std::string::npos);
  check_xref(out, 6);
  EXPECT_EQ(qpdf_check(dir / "out.pdf"), 0);
  EXPECT_NE(tu::run("pdfinfo '" + (dir / "out.pdf") + "'").out.find("300 x 300"),
            std::string::npos);
  EXPECT_NE(page_text(dir / "out.pdf").find("Hi"), std::string::npos);
}

TEST(DocWrite, ObjectsFromObjectStreamsComeOutAtTopLevel) {
  REQUIRE_TOOL("qpdf");
  tu::temp_dir dir;
  tu::write_file(dir / "plain.pdf", build_pdf(simple_objs(), ""));
  for (const char *compress : {"y", "n"}) {
    SCOPED_TRACE(compress);
    std::string in_path = dir / (std::string("objstm_") + compress + ".pdf");
    ASSERT_EQ(tu::run("qpdf --object-streams=generate --compress-streams=" +
                      std::string(compress) + " '" + (dir / "plain.pdf") + "' '" +
                      in_path + "'")
                  .status,
              0);
    ASSERT_NE(tu::read_text(in_path).find("/ObjStm"), std::string::npos);
    loaded in(in_path);
    ASSERT_EQ(in.rc, 0) << get_error();
    const pdf_obj *page = obj_find(&in.doc.objects, 3);
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(page->in_objstm, 1);
    std::string out_path = dir / (std::string("out_") + compress + ".pdf");
    ASSERT_EQ(doc_write(&in.doc, nullptr, nullptr, 0, out_path.c_str()), 1)
        << get_error();
    std::string out = tu::read_text(out_path);
    EXPECT_EQ(out.find("/ObjStm"), std::string::npos);
    size_t p = out.find("\n3 0 obj\n<<");
    ASSERT_NE(p, std::string::npos);
    EXPECT_NE(out.find("\nendobj\n", p), std::string::npos);
    check_xref(out, in.doc.max_num + 1);
    EXPECT_EQ(qpdf_check(out_path), 0);
    EXPECT_NE(page_text(out_path).find("Hi"), std::string::npos);
  }
}

TEST(DocWrite, OutputMayBeTheInput) {
  REQUIRE_TOOL("qpdf");
  tu::temp_dir dir;
  tu::write_file(dir / "same.pdf", build_pdf(simple_objs(), ""));
  loaded in(dir / "same.pdf");
  ASSERT_EQ(in.rc, 0) << get_error();
  new_objs no;
  no.add(6, "<< /Marker 1 >>", nullptr, false);
  ASSERT_EQ(doc_write(&in.doc, nullptr, no.items, no.count, (dir / "same.pdf").c_str()),
            1)
      << get_error();
  EXPECT_NE(tu::read_text(dir / "same.pdf").find("6 0 obj\n<< /Marker 1 >>"),
            std::string::npos);
  EXPECT_EQ(qpdf_check(dir / "same.pdf"), 0);
  EXPECT_EQ(dir.list(), std::vector<std::string>{"same.pdf"});
}

TEST(DocWrite, FailuresLeaveNothingBehind) {
  tu::temp_dir dir;
  tu::write_file(dir / "in.pdf", build_pdf(simple_objs(), ""));
  loaded in(dir / "in.pdf");
  ASSERT_EQ(in.rc, 0) << get_error();
  ASSERT_EQ(mkdir((dir / "adir").c_str(), 0755), 0);
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0644), 0);
  new_objs bad;
  bad.add(0, "<< >>", nullptr, false);
  // New objects that claim 11 GiB of data, past what the ten digits of a
  // table line can address: the size is refused before a byte of it is
  // read (the buffer is far smaller).
  new_objs huge;
  std::string small = "q\n";
  huge.add(6, "<< /Length 11811160064 >>", &small, true);
  huge.items[0].len = size_t{11} << 30;

  struct {
    const char *name;
    std::string path;
    const new_objs *objs;
    std::string message_prefix;
  } cases[] = {
      {"directory missing", dir / "nodir/out.pdf", nullptr,
       "cannot open output file " + (dir / "nodir/out.pdf.tmp")},
      {"output is a directory", dir / "adir", nullptr,
       "cannot write " + (dir / "adir") + ": not a regular file"},
      {"output is a fifo", dir / "fifo", nullptr,
       "cannot write " + (dir / "fifo") + ": not a regular file"},
      {"bad new object number", dir / "out.pdf", &bad, "invalid object number 0"},
      {"output too large", dir / "out.pdf", &huge, "output file too large"},
  };
  std::vector<std::string> before = dir.list();
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    set_error("");
    EXPECT_EQ(doc_write(&in.doc, nullptr, c.objs ? c.objs->items : nullptr,
                        c.objs ? c.objs->count : 0, c.path.c_str()),
              0);
    EXPECT_EQ(std::string(get_error()).substr(0, c.message_prefix.size()),
              c.message_prefix);
    EXPECT_EQ(dir.list(), before);
  }
  set_error("");
  EXPECT_EQ(doc_write(&in.doc, nullptr, nullptr, 0, nullptr), 0);
  EXPECT_STREQ(get_error(), "NULL output_path");
  // The missing directory's message ends with the system's text.
  doc_write(&in.doc, nullptr, nullptr, 0, (dir / "nodir/out.pdf").c_str());
  EXPECT_NE(std::string(get_error()).find(strerror(ENOENT)), std::string::npos);
}

// A write that runs into the file size limit: the child process reports the
// result and message; the old output must survive byte for byte.
TEST(DocWrite, ShortWriteKeepsOldOutput) {
  tu::temp_dir dir;
  std::string big(200000, 'x');
  auto objs = simple_objs();
  objs.push_back({6, 0, stream_body("", big)});
  tu::write_file(dir / "in.pdf", build_pdf(objs, ""));
  std::string old = "old output, must stay\n";
  tu::write_file(dir / "out.pdf", old);
  loaded in(dir / "in.pdf");
  ASSERT_EQ(in.rc, 0) << get_error();

  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(fds[0]);
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit rl;
    rl.rlim_cur = rl.rlim_max = 4096;
    setrlimit(RLIMIT_FSIZE, &rl);
    int r = doc_write(&in.doc, nullptr, nullptr, 0, (dir / "out.pdf").c_str());
    std::string msg = std::to_string(r) + "|" + get_error();
    if (write(fds[1], msg.data(), msg.size()) < 0) _exit(2);
    _exit(0);
  }
  close(fds[1]);
  std::string msg;
  char buf[1024];
  ssize_t k;
  while ((k = read(fds[0], buf, sizeof buf)) > 0) msg.append(buf, static_cast<size_t>(k));
  close(fds[0]);
  int st = 0;
  waitpid(pid, &st, 0);
  ASSERT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
  // The output's name and the system's reason, not the temporary's name.
  EXPECT_EQ(msg, "0|write error on " + (dir / "out.pdf") + ": " + strerror(EFBIG));
  EXPECT_EQ(tu::read_text(dir / "out.pdf"), old);
  auto names = dir.list();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"in.pdf", "out.pdf"}));
}

// The temporary name is created exclusively: an existing file or link of
// that name is neither followed nor truncated, and another name is used.
TEST(DocWrite, TakenTemporaryNamesAreSkipped) {
  REQUIRE_TOOL("qpdf");
  tu::temp_dir dir;
  tu::write_file(dir / "in.pdf", build_pdf(simple_objs(), ""));
  tu::write_file(dir / "victim", "victim bytes\n");
  loaded in(dir / "in.pdf");
  ASSERT_EQ(in.rc, 0) << get_error();
  std::string out = dir / "out.pdf";
  srand(1234);
  long r1 = rand(), r2 = rand();
  std::string taken_file = out + ".tmp" + std::to_string(r1);
  std::string taken_link = out + ".tmp" + std::to_string(r2);
  tu::write_file(taken_file, "keep\n");
  ASSERT_EQ(symlink((dir / "victim").c_str(), taken_link.c_str()), 0);
  srand(1234);
  ASSERT_EQ(doc_write(&in.doc, nullptr, nullptr, 0, out.c_str()), 1) << get_error();
  EXPECT_EQ(tu::read_text(taken_file), "keep\n");
  EXPECT_EQ(tu::read_text(dir / "victim"), "victim bytes\n");
  char target[4096];
  ssize_t n = readlink(taken_link.c_str(), target, sizeof target);
  ASSERT_GT(n, 0);
  EXPECT_EQ(std::string(target, static_cast<size_t>(n)), dir / "victim");
  EXPECT_EQ(qpdf_check(out), 0);
  EXPECT_EQ(dir.list().size(), 5u);  // in, victim, out and the two taken names
}

// The temporary file holds the output's bytes (an incremental update's
// begins with the whole input) long before it is renamed: it is the
// owner's alone until then. A new output then gets the mode the umask
// gives a new file; a replaced one keeps the mode it had.
TEST(DocWrite, TemporaryIsPrivateUntilRenamed) {
  tu::temp_dir dir;
  tu::write_file(dir / "in.pdf", build_pdf(simple_objs(), ""));
  loaded in(dir / "in.pdf");
  ASSERT_EQ(in.rc, 0) << get_error();
  struct mask_guard {
    mode_t old = umask(0);
    ~mask_guard() { umask(old); }
  } guard;
  const std::string out = dir / "out.pdf";
  // What the output path holds before each write: nothing, or a 0604 file.
  auto prepare = [&out](bool replaces) {
    remove(out.c_str());
    if (replaces) {
      tu::write_file(out, "old\n");
      return chmod(out.c_str(), 0604) == 0;
    }
    return true;
  };
  auto mode_of = [](const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 07777u;
  };
  for (mode_t mask : {022, 077, 002, 027}) {
    for (bool replaces : {false, true}) {
      SCOPED_TRACE(std::to_string(mask) + (replaces ? " replacing" : " new"));
      umask(mask);
      const mode_t want = replaces ? 0604 : (0666 & ~mask);
      ASSERT_TRUE(prepare(replaces));
      char tmp[1024];
      unsigned made = 0;
      FILE *f = out_open_temp(out.c_str(), tmp, sizeof tmp, &made);
      ASSERT_NE(f, nullptr) << get_error();
      EXPECT_EQ(made, 0666u & ~mask);
      EXPECT_EQ(mode_of(tmp) & 077, 0u);
      fputs("new\n", f);
      out_give_mode(f, out.c_str(), made);
      fclose(f);
      ASSERT_EQ(out_commit(tmp, out.c_str()), 1) << get_error();
      EXPECT_EQ(mode_of(out), want);
      // The writers pass the mode on.
      ASSERT_TRUE(prepare(replaces));
      ASSERT_EQ(doc_write(&in.doc, nullptr, nullptr, 0, out.c_str()), 1) << get_error();
      EXPECT_EQ(mode_of(out), want);
      ASSERT_TRUE(prepare(replaces));
      ASSERT_EQ(doc_write_incremental(&in.doc, nullptr, nullptr, 0, out.c_str()), 1)
          << get_error();
      EXPECT_EQ(mode_of(out), want);
    }
  }
}

TEST(DocWrite, OverlayThatFailedToGrowIsRefused) {
  tu::temp_dir dir;
  tu::write_file(dir / "in.pdf", build_pdf(simple_objs(), ""));
  loaded in(dir / "in.pdf");
  ASSERT_EQ(in.rc, 0) << get_error();
  ov_holder h;
  h.ov.failed = 1;
  EXPECT_EQ(doc_write(&in.doc, &h.ov, nullptr, 0, (dir / "out.pdf").c_str()), 0);
  EXPECT_STREQ(get_error(), "out of memory");
  EXPECT_FALSE(tu::exists(dir / "out.pdf"));
}

// Every corpus file that loads, written back unchanged, must satisfy qpdf
// (no errors; warnings only when the input had them; a damaged input's own
// errors, such as undecodable content or a page tree loop, may stay, but no
// new one), keep its page count and render page 1 to the same pixels.
TEST(DocWrite, CorpusRoundTrip) {
  REQUIRE_TOOL("qpdf");
  REQUIRE_TOOL("pdfinfo");
  REQUIRE_TOOL("pdftoppm");
  std::string cdir = tu::corpus("pdf");
  DIR *d = opendir(cdir.c_str());
  ASSERT_NE(d, nullptr) << cdir;
  std::vector<std::string> files;
  while (dirent *e = readdir(d)) {
    std::string n = e->d_name;
    if (n.size() > 4 && n.substr(n.size() - 4) == ".pdf") files.push_back(n);
  }
  closedir(d);
  std::sort(files.begin(), files.end());
  ASSERT_FALSE(files.empty());
  tu::temp_dir dir;
  int written = 0;
  auto pages_of = [](const std::string &p) {
    std::string o = tu::run("pdfinfo '" + p + "' 2>/dev/null").out;
    size_t at = o.find("Pages:");
    return at == std::string::npos ? -1 : atoi(o.c_str() + at + 6);
  };
  for (const auto &name : files) {
    SCOPED_TRACE(name);
    std::string in_path = cdir + "/" + name;
    loaded in(in_path);
    if (in.rc != 0) continue;
    std::string out_path = dir / name;
    ASSERT_EQ(doc_write(&in.doc, nullptr, nullptr, 0, out_path.c_str()), 1)
        << get_error();
    written++;
    int in_check = qpdf_check(in_path);
    int out_check = qpdf_check(out_path);
    bool ok = out_check == 0 || (out_check == 3 && in_check != 0);
    if (!ok && out_check == 2 && in_check == 2) {
      auto ein = qpdf_errors(in_path), eout = qpdf_errors(out_path);
      ok = !eout.empty() &&
           std::includes(ein.begin(), ein.end(), eout.begin(), eout.end());
    }
    EXPECT_TRUE(ok) << "qpdf --check: input " << in_check << ", output " << out_check
                    << "\n" << tu::run("qpdf --check '" + out_path + "' 2>&1").out;
    EXPECT_EQ(pages_of(out_path), pages_of(in_path));
    // poppler renders some files (non-embedded fonts) differently from run
    // to run: compare the sets of renderings of a few runs of each.
    std::vector<std::vector<uint8_t>> ra, rb;
    auto render = [&](const std::string &pdf) {
      std::string base = dir / "r";
      tu::run("pdftoppm -q -r 20 -f 1 -l 1 -singlefile '" + pdf + "' '" + base + "'");
      auto px = tu::read_file(base + ".ppm");
      remove((base + ".ppm").c_str());
      return px;
    };
    bool same = false;
    for (int attempt = 0; attempt < 8 && !same; attempt++) {
      ra.push_back(render(in_path));
      rb.push_back(render(out_path));
      for (const auto &x : ra)
        for (const auto &y : rb) same = same || (!x.empty() && x == y);
    }
    EXPECT_FALSE(ra[0].empty());
    EXPECT_TRUE(same) << "page 1 renders differently";
    remove(out_path.c_str());
  }
  EXPECT_GE(written, 30);
}

namespace {

// A content stream showing `word` in Helvetica.
std::string text_content(const std::string &word) {
  return "BT /F1 24 Tf 72 700 Td (" + word + ") Tj ET";
}

const std::string k_font = "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>";

// Catalog 1, pages 2, page 3 showing content 4 with font 5.
std::string page_with(int contents, const std::string &extra = "") {
  return "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Resources << /Font << /F1 5 0 R "
         ">> >> /Contents " +
         std::to_string(contents) + " 0 R" + extra + " >>";
}

tu::pdf_text base_revision(const std::string &word) {
  tu::pdf_text p;
  p.obj(1, "<< /Type /Catalog /Pages 2 0 R >>");
  p.obj(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>");
  p.obj(3, page_with(4));
  p.stream(4, "", text_content(word));
  p.obj(5, k_font);
  return p;
}

}  // namespace

// Revisions, attachments, comments, large numbers, deleted objects and
// damaged streams: the document the output shows is the current one, as
// qpdf and poppler read the input.
TEST(DocWrite, CurrentRevisionComesOut) {
  REQUIRE_TOOL("qpdf");
  REQUIRE_TOOL("pdftotext");
  struct rev_case {
    std::string name;
    std::string text;
    std::string shown;    // pdftotext finds it in the output
    std::string hidden;   // and not this ("": nothing to check)
    size_t max_size;      // of the output
    int qpdf_status = 0;  // of qpdf --check on the output (3: warnings)
  };
  std::vector<rev_case> cases;
  {
    // The new page, pointing at new content, saved in an object stream.
    tu::pdf_text p = base_revision("OLD");
    long t = p.table({1, 2, 3, 4, 5}, {}, "/Root 1 0 R /Size 6");
    p.stream(6, "", text_content("NEW"));
    p.objstm(7, {{3, page_with(6)}});
    long x = p.xref_stream(8, {{3, 2, 7, 0}, {6, 1, -1, 0}, {7, 1, -1, 0}}, "/Root 1 0 R", t);
    cases.push_back({"update in object stream", p.done(x), "NEW", "OLD", 4096});
  }
  {
    // An unfiltered PDF attached after the document, its numbers the same.
    tu::pdf_text inner = base_revision("INNER");
    std::string att = inner.done(inner.table({1, 2, 3, 4, 5}, {}, "/Root 1 0 R"));
    tu::pdf_text p = base_revision("MAIN");
    p.stream(6, "/Type /EmbeddedFile", att);
    long x = p.table({1, 2, 3, 4, 5, 6}, {}, "/Root 1 0 R /Size 7");
    cases.push_back({"unfiltered attachment", p.done(x), "MAIN", "INNER", 8192});
    cases.push_back({"unfiltered attachment, damaged startxref", p.done_damaged(), "MAIN",
                     "INNER", 8192});
  }
  {
    // Comments that look like objects, and one after an object header; the
    // pages node is packed, so a copy in a comment would win by the old rule.
    tu::pdf_text p;
    p.s += "% 2 0 obj << /Type /Pages /Kids [] /Count 0 >>\n";
    p.at.push_back({3, (long)p.s.size()});
    p.s += "3 0 obj % the page\n" + page_with(4) + "\nendobj\n";
    p.obj(1, "<< /Type /Catalog /Pages 2 0 R >>");
    p.stream(4, "", text_content("COMMENTED"));
    p.objstm(6, {{2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>"}, {5, k_font}});
    long x = p.xref_stream(
        7, {{1, 1, -1, 0}, {2, 2, 6, 0}, {3, 1, -1, 0}, {4, 1, -1, 0}, {5, 2, 6, 1}, {6, 1, -1, 0}},
        "/Root 1 0 R");
    cases.push_back({"comments", p.done(x), "COMMENTED", "", 8192});
    cases.push_back({"comments, damaged startxref", p.done_damaged(), "COMMENTED", "", 8192});
  }
  {
    // The content stream numbered 8,388,607: the output's table stays small.
    tu::pdf_text p = base_revision("x");
    p.obj(3, page_with(8388607));
    p.stream(8388607, "", text_content("FAR"));
    long x = p.table({1, 2, 3, 5, 8388607}, {}, "/Root 1 0 R /Size 8388608");
    cases.push_back({"large object number", p.done(x), "FAR", "", 8192});
  }
  {
    // An outline deleted by a later revision (free entry) stays deleted.
    tu::pdf_text p = base_revision("OUTLINED");
    p.obj(6, "<< /Type /Outlines /First 7 0 R /Last 7 0 R /Count 1 >>");
    p.obj(7, "<< /Title (GONE) /Parent 6 0 R /Dest [3 0 R /Fit] >>");
    p.obj(1, "<< /Type /Catalog /Pages 2 0 R /Outlines 6 0 R >>");
    long t = p.table({1, 2, 3, 4, 5, 6, 7}, {}, "/Root 1 0 R /Size 8");
    p.obj(1, "<< /Type /Catalog /Pages 2 0 R >>");
    long x = p.table({1}, {6, 7}, "/Root 1 0 R /Size 8", t);
    cases.push_back({"deleted outline", p.done(x), "OUTLINED", "", 4096});
  }
  {
    // A wrong /Length and no endstream: the data runs to endobj.
    tu::pdf_text p = base_revision("x");
    p.at.push_back({4, (long)p.s.size()});
    p.s += "4 0 obj\n<< /Length 9999 >>\nstream\n" + text_content("RECOVERED") + "\nendobj\n";
    long x = p.table({1, 2, 3, 4, 5}, {}, "/Root 1 0 R /Size 6");
    cases.push_back({"stream without endstream", p.done(x), "RECOVERED", "", 4096});
  }
  {
    // What peers tolerate: a page without /Type, /Fl on an object stream,
    // and an object stream of the wrong /Type that the chain names.
    const char *kinds[] = {"/Type /ObjStm /Filter /Fl", "/Type /Foo"};
    for (const char *kind : kinds) {
      tu::pdf_text p;
      p.obj(1, "<< /Type /Catalog /Pages 2 0 R >>");
      p.stream(4, "", text_content("TOLERATED"));
      std::string page = page_with(4);
      page.replace(page.find("/Type /Page "), 12, "");
      std::string hdr = "2 0 3 50 ";
      std::string objs = "<< /Type /Pages /Kids [3 0 R] /Count 1 >>";
      objs.resize(50, ' ');
      objs += page;
      std::string data = hdr + objs;
      if (std::string(kind).find("/Fl") != std::string::npos) {
        uint8_t *z = nullptr;
        size_t zn = 0;
        ASSERT_EQ(kp_deflate(reinterpret_cast<const uint8_t *>(data.data()), data.size(), &z, &zn), 0);
        data.assign(reinterpret_cast<char *>(z), zn);
        free(z);
      }
      p.stream(6, std::string(kind) + " /N 2 /First " + std::to_string(hdr.size()), data);
      p.obj(5, k_font);
      long x = p.xref_stream(
          7, {{1, 1, -1, 0}, {2, 2, 6, 0}, {3, 2, 6, 1}, {4, 1, -1, 0}, {5, 1, -1, 0}, {6, 1, -1, 0}},
          "/Root 1 0 R");
      // qpdf warns of the page without /Type in the output as in the input.
      cases.push_back({kind, p.done(x), "TOLERATED", "", 4096, 3});
    }
  }
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    tu::temp_dir dir;
    tu::write_file(dir / "in.pdf", c.text);
    loaded in(dir / "in.pdf");
    ASSERT_EQ(in.rc, 0) << get_error();
    ASSERT_EQ(doc_write(&in.doc, nullptr, nullptr, 0, (dir / "out.pdf").c_str()), 1)
        << get_error();
    std::string out = tu::read_text(dir / "out.pdf");
    EXPECT_LE(out.size(), c.max_size);
    EXPECT_EQ(qpdf_check(dir / "out.pdf"), c.qpdf_status);
    std::string shown = page_text(dir / "out.pdf");
    EXPECT_NE(shown.find(c.shown), std::string::npos) << shown;
    if (!c.hidden.empty()) {
      EXPECT_EQ(shown.find(c.hidden), std::string::npos) << shown;
    }
    if (c.name == "deleted outline") {
      EXPECT_EQ(out.find("GONE"), std::string::npos);
      EXPECT_EQ(tu::run("qpdf --json --json-key=outlines '" + (dir / "out.pdf") + "'")
                    .out.find("GONE"),
                std::string::npos);
    }
  }
}

// The output keeps the input's /ID (both strings as they were), its version
// (header or catalog /Version, at least 1.4) and the /Info of a
// cross-reference stream dictionary or a trailer, also when "startxref"
// leads nowhere and the trailers are found by a search.
TEST(DocWrite, KeepsIdVersionAndInfo) {
  REQUIRE_TOOL("qpdf");
  REQUIRE_TOOL("pdfinfo");
  struct {
    const char *name;
    std::string header;
    std::string catalog_extra;
    std::string version;  // pdfinfo's "PDF version"
    bool table;           // a classic table and trailer, not a stream
    bool damaged;         // "startxref" leads nowhere
  } cases[] = {
      {"1.3", "%PDF-1.3", "", "1.4", false, false},
      {"1.7", "%PDF-1.7", "", "1.7", false, false},
      {"2.0", "%PDF-2.0", "", "2.0", false, false},
      {"catalog /Version", "%PDF-1.5", " /Version /1.7", "1.7", false, false},
      {"stream, startxref leading nowhere", "%PDF-1.5", "", "1.5", false, true},
      {"table", "%PDF-1.4", "", "1.4", true, false},
      {"table, startxref leading nowhere", "%PDF-1.4", "", "1.4", true, true},
  };
  const std::string id = "[<00112233445566778899AABBCCDDEEFF> <FFEEDDCCBBAA99887766554433221100>]";
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    tu::pdf_text p = base_revision("x");
    p.s.replace(0, 8, c.header);
    p.obj(1, "<< /Type /Catalog /Pages 2 0 R" + c.catalog_extra + " >>");
    p.obj(6, "<< /Title (Kept title) /Author (An author) >>");
    const std::string entries = "/Root 1 0 R /Info 6 0 R /ID " + id;
    long x = c.table ? p.table({1, 2, 3, 4, 5, 6}, {}, "/Size 7 " + entries)
                     : p.xref_stream(7, {{1, 1, -1, 0}, {2, 1, -1, 0}, {3, 1, -1, 0},
                                         {4, 1, -1, 0}, {5, 1, -1, 0}, {6, 1, -1, 0}},
                                     entries);
    tu::temp_dir dir;
    tu::write_file(dir / "in.pdf", c.damaged ? p.done_damaged() : p.done(x));
    loaded in(dir / "in.pdf");
    ASSERT_EQ(in.rc, 0) << get_error();
    ASSERT_EQ(doc_write(&in.doc, nullptr, nullptr, 0, (dir / "out.pdf").c_str()), 1)
        << get_error();
    EXPECT_EQ(qpdf_check(dir / "out.pdf"), 0);
    std::string info = tu::run("pdfinfo '" + (dir / "out.pdf") + "' 2>&1").out;
    auto field = [&info](const std::string &key) {
      size_t a = info.find(key + ":");
      if (a == std::string::npos) return std::string("<none>");
      a = info.find_first_not_of(' ', a + key.size() + 1);
      return info.substr(a, info.find('\n', a) - a);
    };
    EXPECT_EQ(field("Title"), "Kept title");
    EXPECT_EQ(field("Author"), "An author");
    EXPECT_EQ(field("PDF version"), c.version);
    std::string trailer =
        tu::run("qpdf --show-object=trailer '" + (dir / "out.pdf") + "' 2>&1").out;
    EXPECT_NE(trailer.find("/ID [ <00112233445566778899aabbccddeeff> "
                           "<ffeeddccbbaa99887766554433221100> ]"),
              std::string::npos)
        << trailer;
  }
}

// An update whose trailer leaves /Info out has removed it: neither output
// brings back the older revision's (pdfinfo shows no title for the input).
TEST(DocWrite, InfoRemovedByAnUpdateStaysRemoved) {
  REQUIRE_TOOL("pdfinfo");
  for (bool table : {true, false}) {
    for (bool incremental : {false, true}) {
      SCOPED_TRACE(std::string(table ? "table" : "stream") + (incremental ? ", incremental" : ""));
      tu::pdf_text p = base_revision("x");
      p.obj(6, "<< /Title (Deleted title) >>");
      const std::vector<std::vector<long>> all = {{1, 1, -1, 0}, {2, 1, -1, 0}, {3, 1, -1, 0},
                                                  {4, 1, -1, 0}, {5, 1, -1, 0}, {6, 1, -1, 0}};
      long t = table ? p.table({1, 2, 3, 4, 5, 6}, {}, "/Size 7 /Root 1 0 R /Info 6 0 R")
                     : p.xref_stream(7, all, "/Root 1 0 R /Info 6 0 R");
      p.obj(1, "<< /Type /Catalog /Pages 2 0 R /Lang (en) >>");
      // The object stays; only the trailer no longer names it.
      long x = table ? p.table({1}, {}, "/Size 7 /Root 1 0 R", t)
                     : p.xref_stream(8, {{1, 1, -1, 0}}, "/Root 1 0 R", t);
      tu::temp_dir dir;
      tu::write_file(dir / "in.pdf", p.done(x));
      ASSERT_EQ(tu::run("pdfinfo '" + (dir / "in.pdf") + "'").out.find("Deleted"),
                std::string::npos);
      loaded in(dir / "in.pdf");
      ASSERT_EQ(in.rc, 0) << get_error();
      const std::string out = dir / "out.pdf";
      ASSERT_EQ(incremental ? doc_write_incremental(&in.doc, nullptr, nullptr, 0, out.c_str())
                            : doc_write(&in.doc, nullptr, nullptr, 0, out.c_str()),
                1)
          << get_error();
      std::string info = tu::run("pdfinfo '" + out + "' 2>&1").out;
      EXPECT_EQ(info.find("Deleted"), std::string::npos) << info;
      EXPECT_NE(info.find("Pages:"), std::string::npos) << info;
    }
  }
}

// A comment between "trailer" and its dictionary is whitespace: the update
// still finds the newest trailer (it was refused as damaged).
TEST(DocWrite, IncrementalAfterACommentedTrailer) {
  REQUIRE_TOOL("qpdf");
  tu::pdf_text p = base_revision("x");
  std::string text = p.done(p.table({1, 2, 3, 4, 5}, {}, "/Size 6 /Root 1 0 R"));
  const size_t t = text.rfind("trailer\n<<");
  ASSERT_NE(t, std::string::npos);
  text.replace(t, 10, "trailer % the end\n<<");  // after the table: its offsets stay
  tu::temp_dir dir;
  tu::write_file(dir / "in.pdf", text);
  ASSERT_EQ(tu::run("qpdf --check '" + (dir / "in.pdf") + "' >/dev/null 2>&1").status, 0);
  loaded in(dir / "in.pdf");
  ASSERT_EQ(in.rc, 0) << get_error();
  overlay ov;
  ov_init(&ov);
  const std::string cat = "<< /Type /Catalog /Pages 2 0 R /Lang (en) >>";
  ov_add(&ov, 1, copy_bytes(cat.c_str(), cat.size()));
  const int ok = doc_write_incremental(&in.doc, &ov, nullptr, 0, (dir / "out.pdf").c_str());
  ov_free(&ov);
  ASSERT_EQ(ok, 1) << get_error();
  tu::run_result r = tu::run("qpdf --check '" + (dir / "out.pdf") + "' 2>&1");
  EXPECT_EQ(r.status, 0) << r.out;
}
