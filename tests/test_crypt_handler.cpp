// The standard security handler against files qpdf encrypts: the file key
// we derive equals the one qpdf reports, our decryption of a content
// stream and of an /Info string equals qpdf's, for every revision and with
// the user and the owner password; damaged /Encrypt dictionaries fail with
// a message naming what is wrong.
#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "pdf_crypt.h"
#include "test_util.h"

namespace {

std::string plain_pdf() {
  const char *objs[] = {
      "<< /Type /Catalog /Pages 2 0 R >>",
      "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
      "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 200] /Contents 4 0 R >>",
      nullptr,
      "<< /Title (Secret title) /Author (A \\(nested\\) one) >>"};
  std::string content = "BT /F1 12 Tf 10 10 Td (Hello, encrypted world) Tj ET";
  std::string out = "%PDF-1.7\n";
  std::vector<size_t> offs;
  for (int i = 0; i < 5; i++) {
    offs.push_back(out.size());
    out += std::to_string(i + 1) + " 0 obj\n";
    if (objs[i])
      out += objs[i];
    else
      out += "<< /Length " + std::to_string(content.size()) + " >>\nstream\n" + content + "\nendstream";
    out += "\nendobj\n";
  }
  size_t xref = out.size();
  out += "xref\n0 6\n0000000000 65535 f \n";
  char line[32];
  for (size_t o : offs) {
    snprintf(line, sizeof line, "%010zu 00000 n \n", o);
    out += line;
  }
  out += "trailer\n<< /Size 6 /Root 1 0 R /Info 5 0 R >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
  return out;
}

std::string unhex(const std::string &h) {
  std::string v;
  for (size_t i = 0; i + 1 < h.size(); i += 2) v.push_back(char(std::stoi(h.substr(i, 2), nullptr, 16)));
  return v;
}

std::string hex(const std::vector<uint8_t> &b) {
  static const char d[] = "0123456789abcdef";
  std::string s;
  for (uint8_t x : b) {
    s += d[x >> 4];
    s += d[x & 15];
  }
  return s;
}

std::string shq(const std::string &s) {
  std::string r = "'";
  for (char ch : s) r += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
  return r + "'";
}

// What qpdf tells about an encrypted file, opened with its owner password.
struct qpdf_view {
  std::string dict;  // the /Encrypt dictionary
  std::string id0;   // first /ID string
  std::string key;   // file key, hex
  int info = 0, contents = 0;
};

qpdf_view inspect(const std::string &file, const std::string &owner) {
  qpdf_view v;
  std::string pw = " --password=" + shq(owner) + " ";
  std::string trailer = tu::run("qpdf" + pw + "--show-object=trailer " + file).out;
  std::smatch m;
  if (std::regex_search(trailer, m, std::regex("/Encrypt (\\d+) 0 R"))) {
    v.dict = tu::run("qpdf" + pw + "--show-object=" + m[1].str() + " " + file).out;
  }
  if (std::regex_search(trailer, m, std::regex("/ID \\[ <([0-9a-f]*)>"))) v.id0 = unhex(m[1].str());
  if (std::regex_search(trailer, m, std::regex("/Info (\\d+) 0 R"))) v.info = std::stoi(m[1].str());
  std::string enc = tu::run("qpdf" + pw + "--show-encryption --show-encryption-key " + file).out;
  if (std::regex_search(enc, m, std::regex("Encryption key = ([0-9a-f]+)"))) v.key = m[1].str();
  std::string pages = tu::run("qpdf" + pw + "--show-pages " + file).out;
  if (std::regex_search(pages, m, std::regex("content:\\s+(\\d+) 0 R"))) v.contents = std::stoi(m[1].str());
  return v;
}

// The text of object num in a file written without object streams, as it
// lies in the file (qpdf shows streams and strings decrypted).
std::string object_text(const std::string &data, int num) {
  std::string head = "\n" + std::to_string(num) + " 0 obj";
  size_t at = data.find(head);
  if (at == std::string::npos) return "";
  size_t e = data.find("endobj", at);
  return data.substr(at + head.size(), e - at - head.size());
}

pdf_crypt open_dict(const qpdf_view &v) {
  pdf_crypt c;
  std::string err;
  EXPECT_EQ(crypt_parse(v.dict.data(), v.dict.size(), v.id0, &c, &err), 0) << err;
  return c;
}

}  // namespace

TEST(CryptHandler, OpensWhatQpdfEncrypts) {
  REQUIRE_TOOL("qpdf");
  struct row {
    const char *name;
    const char *args;  // qpdf --encrypt user owner bits [these] --
    const char *user, *owner;
    int r;
    int method;
    bool may_modify_as_user;
  } rows[] = {
      {"RC4 40-bit, empty user", "40", "", "own", 2, CRYPT_RC4, true},
      {"RC4 40-bit, no modify", "40 --modify=n", "usr", "own", 2, CRYPT_RC4, false},
      {"RC4 128-bit", "128 --use-aes=n", "usr", "own", 3, CRYPT_RC4, true},
      {"RC4 128-bit crypt filters, clear metadata", "128 --use-aes=n --cleartext-metadata", "", "own", 4, CRYPT_RC4, true},
      {"AES-128", "128 --use-aes=y", "usr", "own", 4, CRYPT_AESV2, true},
      {"AES-128, no modify", "128 --use-aes=y --modify=none", "", "own", 4, CRYPT_AESV2, false},
      {"AES-128, Latin password", "128 --use-aes=y", "pässwörd", "öwner", 4, CRYPT_AESV2, true},
      {"AES-256 R5", "256 --force-R5", "usr", "own", 5, CRYPT_AESV3, true},
      {"AES-256 R6", "256", "usr", "own", 6, CRYPT_AESV3, true},
      {"AES-256 R6, empty user, no modify", "256 --modify=none", "", "own", 6, CRYPT_AESV3, false},
      {"AES-256 R6, clear metadata", "256 --cleartext-metadata", "", "own", 6, CRYPT_AESV3, true},
      {"AES-256 R6, non-ASCII", "256", "пароль", "Ünïcødé", 6, CRYPT_AESV3, true},
  };
  tu::temp_dir d;
  tu::write_file(d / "plain.pdf", plain_pdf());
  for (const auto &r : rows) {
    SCOPED_TRACE(r.name);
    std::string out = d / "enc.pdf";
    // A fixed /ID: a random one is shown as a literal string now and then
    // (when its bytes happen to be printable), and the test must not depend
    // on how qpdf chooses to show it.
    ASSERT_EQ(tu::run("qpdf --static-id --allow-weak-crypto --object-streams=disable --stream-data=uncompress --encrypt " +
                      shq(r.user) + " " + shq(r.owner) + " " + r.args + " -- " + (d / "plain.pdf") + " " + out + " 2>&1")
                  .status,
              0);
    qpdf_view v = inspect(out, r.owner);
    ASSERT_FALSE(v.dict.empty());
    ASSERT_FALSE(v.key.empty());
    ASSERT_EQ(v.id0.size(), 16u);
    pdf_crypt c = open_dict(v);
    EXPECT_EQ(c.r, r.r);
    EXPECT_EQ(c.stm_method, r.method);
    EXPECT_EQ(c.str_method, r.method);

    // No password: opens only when the user password is empty.
    EXPECT_EQ(crypt_authenticate(&c, nullptr), *r.user ? -1 : 0);
    EXPECT_EQ(crypt_authenticate(&c, "wrong"), -1);
    if (*r.user) {
      EXPECT_EQ(crypt_authenticate(&c, ""), -1);
    }
    // The user password: the key qpdf reports, the permissions of /P.
    ASSERT_EQ(crypt_authenticate(&c, r.user), 0);
    EXPECT_EQ(hex(c.key), v.key);
    EXPECT_FALSE(c.owner);
    EXPECT_EQ(crypt_may_modify(&c), r.may_modify_as_user);
    // The owner password: the same key, everything allowed.
    ASSERT_EQ(crypt_authenticate(&c, r.owner), 0);
    EXPECT_EQ(hex(c.key), v.key);
    EXPECT_TRUE(c.owner);
    EXPECT_TRUE(crypt_may_modify(&c));

    // The content stream decrypts to what qpdf decrypts.
    std::string pw = " --password=" + shq(r.owner) + " ";
    std::string file = tu::read_text(out);
    std::string obj = object_text(file, v.contents);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(obj, m, std::regex("/Length (\\d+)")));
    size_t data_at = obj.find("stream\n") + 7;
    std::string raw = obj.substr(data_at, std::stoul(m[1].str()));
    std::string clear = tu::run("qpdf" + pw + "--show-object=" + std::to_string(v.contents) + " --raw-stream-data " + out).out;
    ASSERT_FALSE(raw.empty());
    ASSERT_NE(raw, clear);
    std::vector<uint8_t> got = crypt_decrypt(&c, v.contents, 0, c.stm_method,
                                             reinterpret_cast<const uint8_t *>(raw.data()), raw.size());
    EXPECT_EQ(std::string(got.begin(), got.end()), clear);
    // Re-encrypted (a fresh IV for AES) it decrypts again.
    std::vector<uint8_t> again = crypt_encrypt(&c, v.contents, 0, c.stm_method, got.data(), got.size());
    if (r.method != CRYPT_RC4) {
      EXPECT_NE(std::string(again.begin(), again.end()), raw);
    }
    std::vector<uint8_t> back = crypt_decrypt(&c, v.contents, 0, c.stm_method, again.data(), again.size());
    EXPECT_EQ(back, got);

    // The /Info strings, literal with escapes in the file, decrypt to text.
    std::string info = object_text(file, v.info);
    ASSERT_FALSE(info.empty());
    std::string dec = crypt_text_strings(&c, v.info, 0, info.data(), info.size(), false);
    EXPECT_NE(dec.find(hex(std::vector<uint8_t>({'S', 'e', 'c', 'r', 'e', 't', ' ', 't', 'i', 't', 'l', 'e'}))), std::string::npos) << dec;
    std::string nested = "A (nested) one";
    EXPECT_NE(dec.find(hex(std::vector<uint8_t>(nested.begin(), nested.end()))), std::string::npos) << dec;
    // Encrypted again and decrypted, the text is the same.
    std::string enc = crypt_text_strings(&c, v.info, 0, dec.data(), dec.size(), true);
    EXPECT_EQ(crypt_text_strings(&c, v.info, 0, enc.data(), enc.size(), false), dec);
  }
}

TEST(CryptHandler, StreamMethods) {
  const char *dict =
      "<< /Filter /Standard /V 4 /R 4 /Length 128 /P -4 /EncryptMetadata false"
      " /CF << /StdCF << /CFM /AESV2 /Length 16 >> /Other << /CFM /V2 >> >>"
      " /StmF /StdCF /StrF /Other"
      " /O <0000000000000000000000000000000000000000000000000000000000000000>"
      " /U <0000000000000000000000000000000000000000000000000000000000000000> >>";
  pdf_crypt c;
  std::string err;
  ASSERT_EQ(crypt_parse(dict, strlen(dict), "id", &c, &err), 0) << err;
  EXPECT_EQ(c.str_method, CRYPT_RC4);
  struct row {
    const char *stream_dict;
    int method;
  } rows[] = {
      {"<< /Length 5 >>", CRYPT_AESV2},
      {"<< /Type /XRef /W [1 2 1] >>", CRYPT_IDENTITY},
      {"<< /Type /Metadata /Subtype /XML >>", CRYPT_IDENTITY},
      {"<< /Filter /Crypt >>", CRYPT_IDENTITY},
      {"<< /Filter [/Crypt /FlateDecode] /DecodeParms [<< /Name /Other >> null] >>", CRYPT_RC4},
      {"<< /Filter /Crypt /DecodeParms << /Name /Identity >> >>", CRYPT_IDENTITY},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.stream_dict);
    EXPECT_EQ(crypt_stream_method(&c, r.stream_dict, strlen(r.stream_dict)), r.method);
  }
  // Texts the writer leaves as they are (nothing to encrypt) and those it
  // must rewrite.
  struct text_row {
    const char *text;
    bool has;
  } texts[] = {
      {"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] >>", false},
      {"[1 0 R 2 0 R]", false},
      {"<<<</A 1>>>>", false},
      {"<< /Title (x) >>", true},
      {"<< /ID <0a1b> >>", true},
      {"<<<0a>>>", true},
      {"[<0a> 1]", true},
      {"<", true},
  };
  for (const auto &t : texts) {
    SCOPED_TRACE(t.text);
    EXPECT_EQ(crypt_text_has_strings(t.text, strlen(t.text)), t.has);
  }
  // Every AES string gets its own initialisation vector, across refills of
  // the buffer they come from and after a fresh start.
  std::set<std::string> ivs;
  c.key.assign(16, 7);
  const uint8_t clear[3] = {'a', 'b', 'c'};
  for (int i = 0; i < 600; i++) {
    if (i == 300) crypt_random_fresh();
    std::vector<uint8_t> e = crypt_encrypt(&c, 7, 0, CRYPT_AESV2, clear, sizeof clear);
    ASSERT_EQ(e.size(), 32u);
    ivs.insert(std::string(e.begin(), e.begin() + 16));
    EXPECT_EQ(crypt_decrypt(&c, 7, 0, CRYPT_AESV2, e.data(), e.size()),
              std::vector<uint8_t>(clear, clear + 3));
  }
  EXPECT_EQ(ivs.size(), 600u);
}

// One damage per row, each refused with a message naming it.
TEST(CryptHandler, RefusesDamagedDictionaries) {
  const std::string o32 = " /O <" + std::string(64, 'a') + ">";
  const std::string u32 = " /U <" + std::string(64, 'b') + ">";
  const std::string good = "/Filter /Standard /V 2 /R 3 /Length 128 /P -4";
  struct row {
    std::string dict, message;
  } rows[] = {
      {"<< " + good + u32 + " >>", "/O entry is missing"},
      {"<< " + good + o32 + " >>", "/U entry is missing"},
      {"<< " + good + o32 + " /U <abcd> >>", "/U entry is too short"},
      {"<< /Filter /Standard /V 2 /R 7 /P -4" + o32 + u32 + " >>", "revision /R 7"},
      {"<< /Filter /Standard /V 3 /R 3 /P -4" + o32 + u32 + " >>", "algorithm /V 3"},
      {"<< /Filter /Standard /V 2 /P -4" + o32 + u32 + " >>", "/R) is missing"},
      {"<< /Filter /Standard /V 2 /R 3 /Length 129 /P -4" + o32 + u32 + " >>", "key length 129"},
      {"<< /Filter /FooBar /V 2 /R 3 /P -4" + o32 + u32 + " >>", "security handler /FooBar is not supported"},
      {"<< /Filter /Adobe.PubSec /SubFilter /adbe.pkcs7.s5 /V 4 >>", "public-key security handler /Adobe.PubSec /adbe.pkcs7.s5"},
      {"<< /V 2 /R 3 >>", "no security handler"},
      {"<< /Filter /Standard /V 4 /R 4 /P -4 /CF << /StdCF << /CFM /Bogus >> >> /StmF /StdCF" + o32 + u32 + " >>",
       "unknown crypt filter method in /StdCF"},
      {"<< /Filter /Standard /V 4 /R 4 /Length 40 /P -4 /CF << /StdCF << /CFM /AESV2 >> >> /StmF /StdCF" + o32 + u32 + " >>",
       "key length 40 does not fit AES"},
      {"<< /Filter /Standard /V 4 /R 4 /P -4 /StmF /Missing" + o32 + u32 + " >>", "/Missing is not defined"},
      {"<< /Filter /Standard /V 5 /R 4 /P -4" + o32 + u32 + " >>", "/V 5 does not fit /R 4"},
      {"<< /Filter /Standard /V 5 /R 6 /P -4 /CF << /StdCF << /CFM /AESV3 >> >>" + o32 + u32 + " >>", "/O entry is too short"},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.dict);
    pdf_crypt c;
    std::string err;
    EXPECT_EQ(crypt_parse(r.dict.data(), r.dict.size(), "id", &c, &err), -1);
    EXPECT_NE(err.find(r.message), std::string::npos) << err;
  }
}

TEST(CryptHandler, PasswordPreparation) {
  struct row {
    const char *utf8;
    const char *pdfdoc;  // expected bytes, or NULL when not encodable
    const char *saslprep;
  } rows[] = {
      {"plain", "plain", "plain"},
      {"p\xc3\xa4ss", "p\xe4ss", "p\xc3\xa4ss"},
      {"\xe2\x82\xac\xe2\x80\xa2\xc5\x93", "\xa0\x80\x9c", "\xe2\x82\xac\xe2\x80\xa2\xc5\x93"},  // euro, bullet, oe
      {"a\xc2\xa0" "b", nullptr, "a b"},  // no-break space: 0xA0 is the euro sign
      {"soft\xc2\xadhyphen", nullptr, "softhyphen"},
      {"zero\xe2\x80\x8bwidth", nullptr, "zerowidth"},
      {"ideographic\xe3\x80\x80space", nullptr, "ideographic space"},
      {"\xd0\xbf", nullptr, "\xd0\xbf"},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.utf8);
    bool ok = false;
    std::string doc = crypt_pdfdoc_password(r.utf8, &ok);
    EXPECT_EQ(ok, r.pdfdoc != nullptr);
    EXPECT_EQ(doc, r.pdfdoc ? r.pdfdoc : r.utf8);
    EXPECT_EQ(crypt_saslprep_password(r.utf8), r.saslprep);
  }
  // 127 bytes at most, never half a character.
  std::string longpw;
  for (int i = 0; i < 100; i++) longpw += "\xc3\xa4";
  std::string cut = crypt_saslprep_password(longpw.c_str());
  EXPECT_EQ(cut.size(), 126u);
}
