// Encrypted documents through the loader and the writer: files qpdf
// encrypts (every revision, object streams on and off, restricted
// permissions, clear metadata) are opened with their passwords, given a new
// content stream on the page, and written whole or as incremental updates
// (two, one on top of the other); qpdf must find the output sound
// and encrypted exactly as the input, poppler must read the old and the new
// text with the password, and must not open the output without one when it
// did not open the input. Wrong passwords and damaged handlers fail.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "pdf_decrypt.h"
#include "pdf_incr.h"
#include "pdf_write.h"
#include "test_util.h"

namespace {

std::string plain_pdf() {
  const std::string content = "BT /F1 14 Tf 20 100 Td (Original words) Tj ET";
  const std::string objs[] = {
      "<< /Type /Catalog /Pages 2 0 R >>",
      "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
      "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 300 200] /Contents 4 0 R"
      " /Resources << /Font << /F1 5 0 R >> >> >>",
      "<< /Length " + std::to_string(content.size()) + " >>\nstream\n" + content + "\nendstream",
      "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>",
      "<< /Title (Secret title) /Producer (test \\(with\\) parens) >>"};
  std::string out = "%PDF-1.7\n";
  std::vector<size_t> offs;
  for (int i = 0; i < 6; i++) {
    offs.push_back(out.size());
    out += std::to_string(i + 1) + " 0 obj\n" + objs[i] + "\nendobj\n";
  }
  size_t xref = out.size();
  out += "xref\n0 7\n0000000000 65535 f \n";
  char line[32];
  for (size_t o : offs) {
    snprintf(line, sizeof line, "%010zu 00000 n \n", o);
    out += line;
  }
  out += "trailer\n<< /Size 7 /Root 1 0 R /Info 6 0 R >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
  return out;
}

std::string shq(const std::string &s) {
  std::string r = "'";
  for (char ch : s) r += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
  return r + "'";
}

// qpdf's description of the encryption, without the lines that name the
// password given or the key.
std::string encryption_of(const std::string &file, const std::string &pw) {
  std::string s = tu::run("qpdf --password=" + shq(pw) + " --show-encryption " + file + " 2>&1").out;
  std::string out, line;
  for (char ch : s) {
    if (ch != '\n') {
      line += ch;
      continue;
    }
    if (line.find("password") == std::string::npos) out += line + "\n";
    line.clear();
  }
  return out;
}

// Opens `in` with the password, adds a content stream drawing `words` to
// page one, writes `out` whole or as an incremental update. 0 on success,
// else the loader's or writer's -1/0. *note_num is the number of a new
// object holding the words as a string.
int stamp_internal(const std::string &in, const std::string &out, const char *password,
                   const std::string &words, int32_t *note_num, bool incremental = false,
                   int y = 40) {
  pdf_doc doc;
  doc_open_opts opts = {1, password, 0, 0};
  if (doc_load_opts(in.c_str(), &doc, &opts) != 0) return -1;
  const page_info *pg = &doc.pages.items[0];
  int32_t num = doc.max_num + 1;
  *note_num = num + 1;
  std::string content = "q BT /F1 14 Tf 20 " + std::to_string(y) + " Td (" + words + ") Tj ET Q";
  std::string dict = "<< /Length " + std::to_string(content.size()) + " >>";
  new_object *objs = nullptr;
  int count = 0, cap = 0;
  uint8_t *data = static_cast<uint8_t *>(malloc(content.size()));
  memcpy(data, content.data(), content.size());
  push_obj(&objs, &count, &cap, num, copy_bytes(dict.c_str(), dict.size()), data, content.size(), 1);
  // A second new object with a string, to be encrypted as well.
  std::string extra = "<< /Note (" + words + ") >>";
  push_obj(&objs, &count, &cap, num + 1, copy_bytes(extra.c_str(), extra.size()), nullptr, 0, 0);

  overlay ov;
  ov_init(&ov);
  char *page = get_obj_dict_text(&doc, &ov, pg->num);
  std::string text(page);
  free(page);
  std::smatch m;
  std::regex contents("/Contents\\s+(\\d+)\\s+0\\s+R");
  std::regex array("/Contents\\s*\\[([^\\]]*)\\]");
  if (std::regex_search(text, m, contents))
    text = m.prefix().str() + "/Contents [" + m[1].str() + " 0 R " + std::to_string(num) + " 0 R]" + m.suffix().str();
  else if (std::regex_search(text, m, array))
    text = m.prefix().str() + "/Contents [" + m[1].str() + " " + std::to_string(num) + " 0 R]" + m.suffix().str();
  ov_add(&ov, pg->num, copy_bytes(text.c_str(), text.size()));
  // The /Info dictionary changed as well: its strings, clear when it lay in
  // an object stream, must come out encrypted.
  if (char *info = doc.info > 0 ? get_obj_dict_text(&doc, &ov, doc.info) : nullptr) {
    std::string t(info);
    free(info);
    if (t.find("/Stamped") == std::string::npos) t.insert(t.rfind(">>"), " /Stamped true ");
    ov_add(&ov, doc.info, copy_bytes(t.c_str(), t.size()));
  }
  int ok = incremental ? doc_write_incremental(&doc, &ov, objs, count, out.c_str())
                       : doc_write(&doc, &ov, objs, count, out.c_str());
  for (int i = 0; i < count; i++) {
    free(objs[i].dict);
    free(objs[i].data);
  }
  arr_free(objs);
  ov_free(&ov);
  doc_free(&doc);
  return ok ? 0 : -2;
}

}  // namespace

TEST(WriteEncrypted, KeepsTheEncryptionAndAddsReadableContent) {
  REQUIRE_TOOL("qpdf");
  REQUIRE_TOOL("mutool");
  REQUIRE_TOOL("pdftotext");
  REQUIRE_TOOL("pdfinfo");
  struct row {
    const char *name;
    const char *args;  // after --encrypt user owner
    const char *user, *owner;
    const char *open_with;  // NULL: no password given
    bool objstm;
    bool incremental = false;  // an update appended, then a second one
    bool mupdf = false;  // encrypted by mutool (args: its method), whose
                         // trailer holds the handler packed: "/U<...>>>>>"
  } rows[] = {
      {"RC4 40, empty user", "40", "", "own", nullptr, false},
      {"RC4 128, user password", "128 --use-aes=n", "usr", "own", "usr", false},
      {"RC4 128 R4, clear metadata, object streams", "128 --use-aes=n --cleartext-metadata", "", "own", nullptr, true},
      {"AES-128, object streams", "128 --use-aes=y", "", "own", nullptr, true},
      {"AES-128, owner password", "128 --use-aes=y --modify=none", "usr", "own", "own", true},
      {"AES-256 R6, user password, object streams", "256", "usr", "own", "usr", true},
      {"AES-256 R6, empty user", "256", "", "own", nullptr, false},
      {"AES-256 R5, object streams", "256 --force-R5", "", "own", nullptr, true},
      {"incremental RC4 128, user password", "128 --use-aes=n", "usr", "own", "usr", false, true},
      {"incremental RC4 128, object streams", "128 --use-aes=n", "", "own", nullptr, true, true},
      {"incremental AES-128, empty user", "128 --use-aes=y", "", "own", nullptr, false, true},
      {"incremental AES-128, user password, object streams", "128 --use-aes=y", "usr", "own",
       "usr", true, true},
      {"incremental AES-256, user password", "256", "usr", "own", "usr", false, true},
      {"incremental AES-256, object streams", "256", "", "own", nullptr, true, true},
      {"MuPDF AES-256, user password", "aes-256", "usr", "own", "usr", false, false, true},
      {"MuPDF RC4 128, incremental", "rc4-128", "usr", "own", "usr", false, true, true},
      {"MuPDF AES-128, empty user", "aes-128", "", "own", nullptr, false, false, true},
  };
  tu::temp_dir d;
  tu::write_file(d / "plain.pdf", plain_pdf());
  for (const auto &r : rows) {
    SCOPED_TRACE(r.name);
    std::string in = d / "in.pdf", out = d / "out.pdf";
    std::string cmd = std::string("qpdf --allow-weak-crypto ") +
                      (r.objstm ? "--object-streams=generate" : "--object-streams=disable") +
                      " --encrypt " + shq(r.user) + " " + shq(r.owner) + " " + r.args + " -- " +
                      (d / "plain.pdf") + " " + in + " 2>&1";
    if (r.mupdf) {
      cmd = std::string("mutool clean -E ") + r.args + " -O " + shq(r.owner) + " -U " +
            shq(r.user) + " " + (d / "plain.pdf") + " " + in + " 2>&1";
    }
    ASSERT_EQ(tu::run(cmd).status, 0) << cmd;
    int32_t note = 0;
    ASSERT_EQ(stamp_internal(in, out, r.open_with, "Stamped words", &note, r.incremental), 0)
        << get_error();
    if (r.incremental) {
      // The input unchanged in front, and a second update on top of the
      // first; the judges below look at the second.
      const std::string first = d / "first.pdf";
      EXPECT_EQ(tu::read_text(out).compare(0, tu::read_text(in).size(), tu::read_text(in)), 0);
      ASSERT_EQ(rename(out.c_str(), first.c_str()), 0);
      int32_t again = 0;
      ASSERT_EQ(stamp_internal(first, out, r.open_with, "Second words", &again, true, 150), 0)
          << get_error();
      EXPECT_EQ(tu::read_text(out).compare(0, tu::read_text(first).size(), tu::read_text(first)),
                0);
    }

    // Sound, and encrypted as the input was (revision, key length,
    // methods, permissions).
    std::string pw = r.open_with ? r.open_with : "";
    tu::run_result check = tu::run("qpdf --check --password=" + shq(pw) + " " + out + " 2>&1");
    EXPECT_EQ(check.status, 0) << check.out;
    EXPECT_NE(check.out.find("No syntax or stream encoding errors"), std::string::npos) << check.out;
    EXPECT_EQ(encryption_of(out, r.owner), encryption_of(in, r.owner));
    // The old text and the new, read with the password.
    std::string pw_opt = (pw == r.owner ? " -opw " : " -upw ") + shq(pw);
    std::string txt = tu::run("pdftotext" + pw_opt + " " + out + " - 2>&1").out;
    EXPECT_NE(txt.find("Original words"), std::string::npos) << txt;
    EXPECT_NE(txt.find("Stamped words"), std::string::npos) << txt;
    if (r.incremental) {
      EXPECT_NE(txt.find("Second words"), std::string::npos) << txt;
    }
    // The /Info strings (taken out of an object stream in some rows, so
    // encrypted anew) read back.
    std::string owner = " --password=" + shq(r.owner) + " ";
    std::smatch m;
    std::string trailer = tu::run("qpdf" + owner + "--show-object=trailer " + in).out;
    ASSERT_TRUE(std::regex_search(trailer, m, std::regex("/Info (\\d+) 0 R"))) << trailer;
    std::string info = tu::run("qpdf" + owner + "--show-object=" + m[1].str() + " " + out + " 2>&1").out;
    EXPECT_NE(info.find("Secret title"), std::string::npos) << info;
    EXPECT_NE(info.find("test \\(with\\) parens"), std::string::npos) << info;
    EXPECT_NE(info.find("/Stamped true"), std::string::npos) << info;
    if (!r.objstm) {
      info = tu::run("pdfinfo" + pw_opt + " " + out + " 2>&1").out;
      EXPECT_NE(info.find("Secret title"), std::string::npos) << info;
    }
    if (*r.user) {
      EXPECT_NE(tu::run("pdftotext " + out + " - >/dev/null 2>&1").status, 0);
      EXPECT_NE(tu::run("qpdf --check " + out + " >/dev/null 2>&1").status, 0);
    }
    // The new string object decrypts to its text.
    std::string shown = tu::run("qpdf" + owner + "--show-object=" + std::to_string(note) + " " + out + " 2>&1").out;
    EXPECT_NE(shown.find("Stamped words"), std::string::npos) << shown;
  }
}

TEST(WriteEncrypted, RefusesWrongPasswordsAndDamagedHandlers) {
  REQUIRE_TOOL("qpdf");
  tu::temp_dir d;
  tu::write_file(d / "plain.pdf", plain_pdf());
  std::string base = d / "aes.pdf";
  ASSERT_EQ(tu::run("qpdf --object-streams=disable --encrypt usr own 128 --use-aes=y -- " + (d / "plain.pdf") + " " + base).status, 0);
  std::string aes = tu::read_text(base);
  // A copy of the file with one edit in the /Encrypt dictionary (same
  // length, so the cross-reference table stays right).
  auto edited = [&](const std::string &from, const std::string &to) {
    std::string s = aes;
    size_t at = s.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    EXPECT_EQ(from.size(), to.size());
    if (at != std::string::npos) s.replace(at, from.size(), to);
    return s;
  };
  struct row {
    const char *name;
    std::string file;
    const char *password;
    const char *message;
  } rows[] = {
      {"no password", aes, nullptr, "PDF is encrypted; the password is wrong or missing: "},
      {"wrong password", aes, "nope", "PDF is encrypted; the password is wrong or missing: "},
      {"empty password", aes, "", "PDF is encrypted; the password is wrong or missing: "},
      {"unknown revision", edited("/R 4", "/R 9"), "usr", "revision /R 9 is not supported"},
      {"unknown algorithm", edited("/V 4", "/V 7"), "usr", "algorithm /V 7 is not supported"},
      {"unknown handler", edited("/Filter /Standard", "/Filter /Nonstand"), "usr", "security handler /Nonstand is not supported"},
      {"no /O", edited("/O <", "/X <"), "usr", "/O entry is missing"},
      {"no /U", edited("/U <", "/X <"), "usr", "/U entry is missing"},
      {"unknown method", edited("/AESV2", "/AESV9"), "usr", "unknown crypt filter method"},
      // A damaged file (its startxref leads nowhere) that defines the
      // handler's object again, as something else, further on: the copy
      // kept is not the one the handler was read from.
      {"handler's object defined twice", [&] {
         std::string s = aes;
         const size_t e = s.find("/Encrypt ");
         const long num = e == std::string::npos ? 0 : atol(s.c_str() + e + 9);
         const size_t sx = s.rfind("startxref\n");
         EXPECT_NE(sx, std::string::npos);
         if (sx != std::string::npos) s[sx + 10] = s[sx + 10] == '9' ? '8' : '9';
         return s + std::to_string(num) + " 0 obj\n<< /Flags 6 >>\nendobj\n";
       }(), "usr", "is defined twice"},
      // Cut short before its table (a download that stopped): the handler
      // is there, the trailer that named it and held /ID is not.
      {"trailer lost", aes.substr(0, aes.rfind("\nxref\n")), "usr",
       "it is encrypted, and the trailer that names its encryption is lost"},
      {"trailer lost, no password given", aes.substr(0, aes.rfind("\nxref\n")), nullptr,
       "it is encrypted, and the trailer that names its encryption is lost"},
      // A public-key handler's dictionary: /Recipients instead of /O, /U.
      {"trailer lost, public-key handler", [&] {
         std::string s = aes.substr(0, aes.rfind("\nxref\n"));
         for (const char *k : {"/O <", "/U <"}) {
           const size_t at = s.find(k);
           EXPECT_NE(at, std::string::npos) << k;
           if (at != std::string::npos) s.replace(at, 2, "/X");
         }
         const size_t f = s.find("/Filter /Standard");
         EXPECT_NE(f, std::string::npos);
         if (f != std::string::npos)
           s.replace(f, 17, "/Filter /Adobe.PubSec /Recipients [<3082>]");
         return s;
       }(), nullptr, "it is encrypted, and the trailer that names its encryption is lost"},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.name);
    tu::temp_dir w;
    tu::write_file(w / "in.pdf", r.file);
    pdf_doc doc;
    doc_open_opts opts = {1, r.password, 0, 0};
    ASSERT_EQ(doc_load_opts((w / "in.pdf").c_str(), &doc, &opts), -1);
    EXPECT_NE(std::string(get_error()).find(r.message), std::string::npos) << get_error();
  }
  // Values of the handler's dictionary given as objects of their own (the
  // objects added before the table; the loader's scan finds them) open as
  // the direct ones do, and the output still opens with the password.
  struct indirect_row {
    const char *entry;  // as in the file
    const char *key;    // the entry's key, followed by a reference instead
    const char *object; // the object's body
  } indirect[] = {
      {"/V 4", "/V", "4"},
      {"/Length 128", "/Length", "128"},
      {"/CFM /AESV2", "/CFM", "/AESV2"},
  };
  std::vector<std::pair<std::string, std::string>> opening;  // name, file
  for (const auto &r : indirect) {
    std::string s = aes;
    size_t at = s.find(r.entry);
    ASSERT_NE(at, std::string::npos);
    s.replace(at, strlen(r.entry), std::string(r.key) + " 77 0 R");
    s.insert(s.rfind("\nxref"), std::string("\n77 0 obj\n") + r.object + "\nendobj");
    opening.push_back({r.entry, s});
  }
  // An update that writes the handler's object again, the same: the copy
  // kept is the update's, and the file opens and is written as before.
  {
    std::string s = aes;
    const size_t e = s.find("/Encrypt ");
    ASSERT_NE(e, std::string::npos);
    const long num = atol(s.c_str() + e + 9);
    const size_t a = s.find("\n" + std::to_string(num) + " 0 obj");
    ASSERT_NE(a, std::string::npos);
    const std::string obj = s.substr(a + 1, s.find("endobj", a) + 6 - (a + 1));
    const size_t tr = s.rfind("trailer");
    const size_t sx = s.rfind("startxref");
    ASSERT_NE(tr, std::string::npos);
    ASSERT_NE(sx, std::string::npos);
    const std::string dict = s.substr(s.find("<<", tr) + 2, s.rfind(">>", sx) - s.find("<<", tr) - 2);
    const long prev = atol(s.c_str() + sx + 10);
    const size_t at = s.size();
    s += obj + "\n";
    const size_t xref = s.size();
    char line[32];
    snprintf(line, sizeof line, "%010zu 00000 n \n", at);
    s += "xref\n" + std::to_string(num) + " 1\n" + line + "trailer\n<<" + dict + " /Prev " +
         std::to_string(prev) + " >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
    opening.push_back({"handler written again by an update", s});
  }
  for (const auto &r : opening) {
    SCOPED_TRACE(r.first);
    tu::temp_dir w;
    tu::write_file(w / "in.pdf", r.second);
    pdf_doc doc;
    doc_open_opts opts = {1, "usr", 0, 0};
    ASSERT_EQ(doc_load_opts((w / "in.pdf").c_str(), &doc, &opts), 0) << get_error();
    ASSERT_NE(doc.sec, nullptr);
    EXPECT_EQ(doc.sec->crypt.stm_method, CRYPT_AESV2);
    EXPECT_EQ(doc.sec->crypt.key.size(), 16u);
    ASSERT_EQ(doc_write(&doc, nullptr, nullptr, 0, (w / "out.pdf").c_str()), 1) << get_error();
    EXPECT_EQ(tu::run("qpdf --check --password=usr " + (w / "out.pdf") + " >/dev/null 2>&1").status, 0);
    doc_free(&doc);
  }
  // Without the permission to open encrypted files, the classic refusal.
  pdf_doc doc;
  ASSERT_EQ(doc_load(base.c_str(), &doc), -1);
  EXPECT_NE(std::string(get_error()).find("encrypted PDFs are not supported"), std::string::npos);
}
