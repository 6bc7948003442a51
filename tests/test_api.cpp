// The stamping operations end to end on small documents built here: the
// argument checks in their order, the objects added and their numbers, the
// page dictionaries after the resource merge and the /Contents rewrite, the
// stamp streams' operators and the placement.
#include <cmath>
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <clocale>
#include <cstring>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include "png.h"
#include "reraruvozari.h"
#include "test_util.h"

namespace {

// A PDF whose object i + 1 has body objs[i], with a correct xref table and
// /Root 1 0 R.
std::string make_pdf(const std::vector<std::string> &objs) {
  std::string s = "%PDF-1.4\n";
  std::vector<size_t> off;
  for (size_t i = 0; i < objs.size(); i++) {
    off.push_back(s.size());
    s += std::to_string(i + 1) + " 0 obj\n" + objs[i] + "\nendobj\n";
  }
  size_t x = s.size();
  s += "xref\n0 " + std::to_string(objs.size() + 1) + "\n0000000000 65535 f \n";
  for (size_t o : off) {
    char e[32];
    snprintf(e, sizeof e, "%010zu 00000 n \n", o);
    s += e;
  }
  s += "trailer\n<< /Size " + std::to_string(objs.size() + 1) +
       " /Root 1 0 R >>\nstartxref\n" + std::to_string(x) + "\n%%EOF\n";
  return s;
}

std::string stream_obj(const std::string &dict_extra, const std::string &data) {
  return "<< /Length " + std::to_string(data.size()) + dict_extra +
         " >>\nstream\n" + data + "\nendstream";
}

// The body of object `num` in a file written by the library.
std::string obj_body(const std::string &pdf, int num) {
  std::string head = "\n" + std::to_string(num) + " 0 obj\n";
  size_t a = pdf.find(head);
  if (a == std::string::npos) return "";
  a += head.size();
  size_t b = pdf.find("\nendobj\n", a);
  return pdf.substr(a, b == std::string::npos ? std::string::npos : b - a);
}

// One page 3 (no /Contents), pages node 2 without /Resources, catalog 1.
std::vector<std::string> one_page_doc(const std::string &page_extra = "") {
  return {"<< /Type /Catalog /Pages 2 0 R >>",
          "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
          "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792]" + page_extra +
              " >>"};
}

int stamp_text(const std::string &in, const std::string &out,
               const char *text, float opacity = 0.3f, float rotation = 0,
               int size = 20, int position = 0, int r = 128, int g = 128,
               int b = 128, int start = 1, int end = -1) {
  return reraruvozari_text_range(in.c_str(), out.c_str(), text, opacity,
                                 rotation, size, position, r, g, b, start,
                                 end);
}

// The extended text call with its defaults, as a full rewrite or an
// incremental update.
int stamp_extended(const std::string &in, const std::string &out, const char *text,
                   int incremental) {
  reraruvozari_options *o = reraruvozari_options_new();
  if (!o) return 0;
  reraruvozari_options_set_incremental(o, incremental);
  const int r = reraruvozari_stamp_text(in.c_str(), out.c_str(), text, o);
  reraruvozari_options_free(o);
  return r;
}

std::string write_png(const tu::temp_dir &d, const std::string &name, int w,
                      int h, uint8_t alpha_of_first) {
  std::vector<uint8_t> px(static_cast<size_t>(w) * h * 4);
  for (size_t i = 0; i < px.size(); i += 4) {
    px[i] = 200;
    px[i + 1] = 30;
    px[i + 2] = 40;
    px[i + 3] = 255;
  }
  px[3] = alpha_of_first;
  std::string path = d / name;
  EXPECT_EQ(kp_png_write(path.c_str(), w, h, px.data()), 1);
  return path;
}

// A PNG of one row of raw samples (filter byte included) with a tRNS chunk,
// framed with zlib's crc32 and compress.
std::string write_keyed_png(const tu::temp_dir &d, const std::string &name, int w, int depth,
                            int ct, const std::vector<uint8_t> &raw,
                            const std::vector<uint8_t> &trns) {
  auto be32 = [](std::string *s, uint32_t v) {
    for (int k = 24; k >= 0; k -= 8) s->push_back(static_cast<char>(v >> k));
  };
  auto chunk = [&](std::string *s, const char *type, const std::string &data) {
    be32(s, static_cast<uint32_t>(data.size()));
    std::string td = std::string(type, 4) + data;
    *s += td;
    be32(s, static_cast<uint32_t>(
                crc32(0, reinterpret_cast<const Bytef *>(td.data()), static_cast<uInt>(td.size()))));
  };
  std::string ihdr;
  be32(&ihdr, static_cast<uint32_t>(w));
  be32(&ihdr, 1);
  ihdr += {static_cast<char>(depth), static_cast<char>(ct), 0, 0, 0};
  uLongf zl = compressBound(raw.size());
  std::string z(zl, '\0');
  compress(reinterpret_cast<Bytef *>(&z[0]), &zl, raw.data(), raw.size());
  z.resize(zl);
  std::string png("\x89PNG\r\n\x1a\n", 8);
  chunk(&png, "IHDR", ihdr);
  chunk(&png, "tRNS", std::string(trns.begin(), trns.end()));
  chunk(&png, "IDAT", z);
  chunk(&png, "IEND", "");
  tu::write_file(d / name, png);
  return d / name;
}

}  // namespace

TEST(TextOperation, ChecksArgumentsInOrderBeforeOpeningTheFile) {
  const char *missing = "/nonexistent/in.pdf";
  struct {
    const char *in, *out, *text;
    int size, position, start, end;
    const char *message;
    float opacity = 0.5f;
  } cases[] = {
      {nullptr, "o.pdf", nullptr, 0, -1, 0, 0, "NULL path argument"},
      {missing, nullptr, "x", 10, 0, 1, -1, "NULL path argument"},
      {missing, "o.pdf", "", 0, -1, 0, 0, "watermark text cannot be empty"},
      {missing, "o.pdf", nullptr, 10, 0, 1, -1,
       "watermark text cannot be empty"},
      {missing, "o.pdf", "x", 0, -1, 0, 0,
       "font_size must be positive (got 0)"},
      {missing, "o.pdf", "x", 10, -1, 0, 0,
       "invalid position -1: must be 0-5"},
      {missing, "o.pdf", "x", 10, 6, 0, 0, "invalid position 6: must be 0-5"},
      {missing, "o.pdf", "x", 10, 5, 0, 0, "start_page must be >= 1 (got 0)"},
      {missing, "o.pdf", "x", 10, 5, 3, 2,
       "end_page must be >= start_page (got 2 < 3)"},
      // Clamped, a NaN drew an invisible stamp and reported success.
      {missing, "o.pdf", "x", 10, 5, 1, -1, "opacity is not a number", std::nanf("")},
      {missing, "o.pdf", "x", 10, 5, 1, -1,
       "cannot open /nonexistent/in.pdf: No such file or directory"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.message);
    EXPECT_EQ(reraruvozari_text_range(c.in, c.out, c.text, c.opacity, 0, c.size,
                                      c.position, 0, 0, 0, c.start, c.end),
              0);
    EXPECT_STREQ(reraruvozari_last_error(), c.message);
  }
}

TEST(TextOperation, StandardFontPageGainsResourcesAndStampAlone) {
  tu::temp_dir d;
  tu::write_file(d / "in.pdf", make_pdf(one_page_doc()));
  ASSERT_EQ(stamp_text(d / "in.pdf", d / "out.pdf", "ABC"), 1)
      << reraruvozari_last_error();
  EXPECT_STREQ(reraruvozari_last_error(), "");
  std::string out = tu::read_text(d / "out.pdf");
  EXPECT_EQ(obj_body(out, 3),
            "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792]  "
            "/Resources << /Font << /KpWmF1 5 0 R >>  /ExtGState << /KpWmGS 4 "
            "0 R >> >>  /Contents 8 0 R >>");
  EXPECT_EQ(obj_body(out, 4), "<< /Type /ExtGState /ca 0.3000 /CA 0.3000 >>");
  EXPECT_EQ(obj_body(out, 5),
            "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica-Bold >>");
  EXPECT_EQ(obj_body(out, 6), "<< /Length 2 >>\nstream\nq\n\nendstream");
  // ABC at size 20: W = 43.32, centred on the page centre.
  const std::string body =
      "/KpWmGS gs\n0.5020 0.5020 0.5020 rg\n0.5020 0.5020 0.5020 RG\n"
      "1.000000 0.000000 -0.000000 1.000000 306.00 396.00 cm\n"
      "BT\n/KpWmF1 20 Tf\n1 0 0 1 -21.66 -7.20 Tm\n(ABC) Tj\nET\nQ\n";
  EXPECT_NE(obj_body(out, 7).find("stream\nQ\nq\n" + body), std::string::npos)
      << obj_body(out, 7);
  EXPECT_NE(obj_body(out, 8).find("stream\nq\n" + body), std::string::npos);
  EXPECT_NE(out.find("xref\n0 9\n"), std::string::npos);
  EXPECT_NE(out.find("trailer\n<< /Size 9 /Root 1 0 R >>"), std::string::npos);
}

TEST(TextOperation, ContentsRewrite) {
  struct {
    const char *name;
    std::string page_extra;
    std::vector<std::string> extra_objs;  // objects 4, 5, ...
    std::string expected_contents;        // with opening stream and stamp
  } cases[] = {
      {"single reference", " /Contents 4 0 R", {stream_obj("", "0 0 m")},
       "/Contents [ 7 0 R 4 0 R 8 0 R ]"},
      {"array", " /Contents [4 0 R 5 0 R]",
       {stream_obj("", "0 0 m"), stream_obj("", "1 1 m")},
       "/Contents [ 8 0 R 4 0 R 5 0 R 9 0 R ]"},
      {"generation kept", " /Contents 4 3 R", {stream_obj("", "0 0 m")},
       "/Contents [ 7 0 R 4 3 R 8 0 R ]"},
      {"generation 65535 written as 0", " /Contents 4 65535 R",
       {stream_obj("", "0 0 m")}, "/Contents [ 7 0 R 4 0 R 8 0 R ]"},
      {"empty array", " /Contents []", {}, "/Contents [ 6 0 R  7 0 R ]"},
      // A reference to an array object is spliced, never nested.
      {"reference to an array object", " /Contents 4 0 R",
       {"[5 0 R 6 0 R]", stream_obj("", "0 0 m"), stream_obj("", "1 1 m")},
       "/Contents [ 9 0 R 5 0 R 6 0 R 10 0 R ]"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    tu::temp_dir d;
    std::vector<std::string> objs = one_page_doc(c.page_extra);
    for (const auto &o : c.extra_objs) objs.push_back(o);
    tu::write_file(d / "in.pdf", make_pdf(objs));
    ASSERT_EQ(stamp_text(d / "in.pdf", d / "out.pdf", "X"), 1)
        << reraruvozari_last_error();
    std::string page = obj_body(tu::read_text(d / "out.pdf"), 3);
    EXPECT_NE(page.find(c.expected_contents), std::string::npos) << page;
    EXPECT_EQ(page.find("/Contents"), page.rfind("/Contents")) << page;
  }
}

TEST(TextOperation, FormatsColourOpacityRotationAndEscapes) {
  tu::temp_dir d;
  tu::write_file(d / "in.pdf", make_pdf(one_page_doc()));
  struct {
    const char *name;
    const char *text;
    float opacity, rotation;
    int position, r, g, b;
    const char *expected;
  } cases[] = {
      {"colour clamped", "x", 0.5f, 0, 0, 128, 0, 300,
       "0.5020 0.0000 1.0000 rg\n0.5020 0.0000 1.0000 RG\n"},
      {"opacity clamped", "x", 1.7f, 0, 0, 0, 0, 0, "/ca 1.0000 /CA 1.0000"},
      {"diagonal", "x", 0.5f, 0, 5, 0, 0, 0,
       "0.611448 0.791285 -0.791285 0.611448 306.00 396.00 cm"},
      {"diagonal with rotation", "x", 0.5f, 30, 5, 0, 0, 0,
       "0.866025 0.500000 -0.500000 0.866025 306.00 396.00 cm"},
      {"rotation 90", "x", 0.5f, 90, 0, 0, 0, 0,
       "0.000000 1.000000 -1.000000 0.000000 306.00 396.00 cm"},
      {"escapes", "a(b)\\c", 0.5f, 0, 0, 0, 0, 0, "(a\\(b\\)\\\\c) Tj"},
      {"line feed drawn as one line", "ab\ncd", 0.5f, 0, 0, 0, 0, 0,
       "(ab\\ncd) Tj"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(stamp_text(d / "in.pdf", d / "out.pdf", c.text, c.opacity,
                         c.rotation, 20, c.position, c.r, c.g, c.b),
              1)
        << reraruvozari_last_error();
    EXPECT_NE(tu::read_text(d / "out.pdf").find(c.expected), std::string::npos);
  }
}

TEST(TextOperation, CornerAnchorsUseTextWidth) {
  tu::temp_dir d;
  tu::write_file(d / "in.pdf", make_pdf(one_page_doc()));
  ASSERT_EQ(stamp_text(d / "in.pdf", d / "o1.pdf", "ABC", 0.5f, 0, 20, 1), 1);
  EXPECT_NE(tu::read_text(d / "o1.pdf").find(" 57.66 746.00 cm"),
            std::string::npos);
  ASSERT_EQ(stamp_text(d / "in.pdf", d / "o4.pdf", "ABC", 0.5f, 0, 20, 4), 1);
  EXPECT_NE(tu::read_text(d / "o4.pdf").find(" 554.34 46.00 cm"),
            std::string::npos);
}

TEST(TextOperation, PageRangeIsCheckedAndCut) {
  tu::temp_dir d;
  std::vector<std::string> objs = {
      "<< /Type /Catalog /Pages 2 0 R >>",
      "<< /Type /Pages /Kids [3 0 R 4 0 R 5 0 R] /Count 3 /MediaBox [0 0 100 "
      "100] >>",
      "<< /Type /Page /Parent 2 0 R >>", "<< /Type /Page /Parent 2 0 R >>",
      "<< /Type /Page /Parent 2 0 R >>"};
  tu::write_file(d / "in.pdf", make_pdf(objs));
  EXPECT_EQ(stamp_text(d / "in.pdf", d / "out.pdf", "x", 0.5f, 0, 10, 0, 0, 0,
                       0, 5, -1),
            0);
  EXPECT_STREQ(reraruvozari_last_error(),
               "page range 5--1 is outside this document (3 pages)");
  EXPECT_FALSE(tu::exists(d / "out.pdf"));

  ASSERT_EQ(stamp_text(d / "in.pdf", d / "out.pdf", "x", 0.5f, 0, 10, 0, 0, 0,
                       0, 2, 99),
            1);
  std::string out = tu::read_text(d / "out.pdf");
  // Objects 6-8 are shared; pages 2 and 3 take 9/10 and 11/12.
  EXPECT_EQ(obj_body(out, 3), "<< /Type /Page /Parent 2 0 R >>\n");
  EXPECT_NE(obj_body(out, 4).find("/Contents 10 0 R"), std::string::npos);
  EXPECT_NE(obj_body(out, 5).find("/Contents 12 0 R"), std::string::npos);
  EXPECT_EQ(obj_body(out, 13), "");
}

TEST(TextOperation, NumericOutputIgnoresTheHostLocale) {
  auto comma_locale = [] {
    for (const char *n : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8"}) {
      const char *set = setlocale(LC_NUMERIC, n);
      if (set && strcmp(localeconv()->decimal_point, ".") != 0) return true;
    }
    return false;
  };
  tu::temp_dir d;
  bool set = comma_locale();
  if (!set && tu::have_tool("localedef")) {
    // None installed: compile one into the temporary directory.
    tu::run("localedef -i de_DE -f UTF-8 '" + (d / "de_DE.UTF-8") + "' >/dev/null 2>&1");
    setenv("LOCPATH", d.path.c_str(), 1);
    set = comma_locale();
    unsetenv("LOCPATH");
  }
  REQUIRE_PRESENT(set, "a locale with a decimal comma (locales: de_DE.UTF-8)");
  tu::write_file(d / "in.pdf", make_pdf(one_page_doc()));
  int ok = stamp_text(d / "in.pdf", d / "out.pdf", "ABC");
  setlocale(LC_NUMERIC, "C");
  ASSERT_EQ(ok, 1);
  EXPECT_NE(tu::read_text(d / "out.pdf").find("/ca 0.3000"), std::string::npos);
}

TEST(ImageOperation, ChecksInOrderAndDecodesThePngFirst) {
  tu::temp_dir d;
  tu::write_file(d / "not.png", "hello, not an image\n");
  const std::string bad = d / "not.png";
  // Image paths that are no regular file are refused before they are
  // opened, as the PDF paths are: a FIFO would block the call forever.
  const std::string fifo = d / "fifo.png";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string dir = d.path;
  struct {
    const char *in, *out, *img;
    int position, start, end;
    std::string message;
  } cases[] = {
      {nullptr, "o", "i", 0, 1, -1, "NULL path argument"},
      {"i", "o", nullptr, 0, 1, -1, "NULL image_path argument"},
      {"i", "o", "i", 7, 1, -1, "invalid position 7: must be 0-5"},
      {"i", "o", "i", 0, 0, -1, "start_page must be >= 1 (got 0)"},
      {"i", "o", "i", 0, 4, 3, "end_page must be >= start_page (got 3 < 4)"},
      // A bad PNG is reported even though the PDF is missing too.
      {"/nonexistent.pdf", "o", bad.c_str(), 0, 1, -1,
       "cannot decode PNG image " + bad +
           ": png: not a PNG file (bad signature)"},
      {"/nonexistent.pdf", "o", fifo.c_str(), 0, 1, -1,
       "cannot open " + fifo + ": not a regular file"},
      {"/nonexistent.pdf", "o", dir.c_str(), 0, 1, -1,
       "cannot open " + dir + ": not a regular file"},
      {"/nonexistent.pdf", "o", "/dev/zero", 0, 1, -1,
       "cannot open /dev/zero: not a regular file"},
  };
  alarm(60);  // a blocked open ends the test program rather than hanging it
  for (const auto &c : cases) {
    SCOPED_TRACE(c.message);
    EXPECT_EQ(reraruvozari_image_range(c.in, c.out, c.img, 0.5f, c.position,
                                       1.0f, c.start, c.end),
              0);
    EXPECT_EQ(std::string(reraruvozari_last_error()), c.message);
  }
  alarm(0);
  // The decoder refuses them too, without blocking.
  int w = 0, h = 0;
  const char *err = nullptr;
  EXPECT_EQ(kp_png_decode(fifo.c_str(), &w, &h, &err), nullptr);
  EXPECT_STREQ(err, "png: not a regular file");
}

// A colour key (tRNS of an RGB or grey image) becomes a soft mask, as
// libpng makes those pixels transparent: pdfimages lists the mask and
// extracts it with 0 exactly at the keyed pixels.
TEST(ImageOperation, ColourKeyBecomesSoftMask) {
  REQUIRE_TOOL("pdfimages");
  struct row {
    const char *name;
    int depth, ct;
    std::vector<uint8_t> raw, trns;
  } rows[] = {
      {"RGB 8-bit", 8, 2, {0, 9, 8, 7, 1, 2, 3, 9, 8, 7, 9, 8, 6}, {0, 9, 0, 8, 0, 7}},
      {"RGB 16-bit", 16, 2, {0, 9, 1, 8, 1, 7, 1, 9, 1, 8, 1, 7, 2, 9, 1, 8, 1, 7, 1, 0, 0, 0, 0, 0, 0},
       {9, 1, 8, 1, 7, 1}},
      {"grey 16-bit", 16, 0, {0, 0x80, 1, 0x80, 2, 0x80, 1, 0x7F, 1}, {0x80, 1}},
      {"grey 8-bit", 8, 0, {0, 5, 6, 5, 0}, {0, 5}},
  };
  // The keyed pixels of each row: alpha 0 there, 255 elsewhere.
  const std::vector<std::vector<uint8_t>> masks = {
      {0, 255, 0, 255}, {0, 255, 0, 255}, {0, 255, 0, 255}, {0, 255, 0, 255}};
  tu::temp_dir d;
  tu::write_file(d / "in.pdf", make_pdf(one_page_doc()));
  for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++) {
    const row &r = rows[i];
    SCOPED_TRACE(r.name);
    std::string png = write_keyed_png(d, "k.png", 4, r.depth, r.ct, r.raw, r.trns);
    ASSERT_EQ(reraruvozari_image((d / "in.pdf").c_str(), (d / "out.pdf").c_str(), png.c_str(),
                                 1.0f, 0, 1.0f),
              1)
        << reraruvozari_last_error();
    std::string list = tu::run("pdfimages -list '" + (d / "out.pdf") + "'").out;
    EXPECT_NE(list.find("smask"), std::string::npos) << list;
    tu::run("rm -f '" + d.path + "'/x-*; pdfimages '" + (d / "out.pdf") + "' '" + (d / "x") + "'");
    // The mask comes out as a PGM or (grey in three channels) a PPM.
    std::string pnm = tu::read_text(d / "x-001.pgm");
    size_t ch = 1;
    if (pnm.empty()) {
      pnm = tu::read_text(d / "x-001.ppm");
      ch = 3;
    }
    ASSERT_GE(pnm.size(), 4 * ch) << "no soft mask extracted";
    std::vector<uint8_t> mask;
    for (size_t k = pnm.size() - 4 * ch; k < pnm.size(); k += ch) mask.push_back(uint8_t(pnm[k]));
    EXPECT_EQ(mask, masks[i]);
  }
}

TEST(ImageOperation, SoftMaskOnlyWithTransparency) {
  tu::temp_dir d;
  tu::write_file(d / "in.pdf", make_pdf(one_page_doc()));
  // Opaque: graphics state 4, image 5, opening stream 6, stamps 7 and 8.
  std::string opaque = write_png(d, "opaque.png", 200, 100, 255);
  ASSERT_EQ(reraruvozari_image((d / "in.pdf").c_str(), (d / "o1.pdf").c_str(),
                               opaque.c_str(), 0.5f, 0, 1.0f),
            1)
      << reraruvozari_last_error();
  std::string out = tu::read_text(d / "o1.pdf");
  EXPECT_EQ(out.find("/SMask"), std::string::npos);
  EXPECT_NE(obj_body(out, 5).find("/Width 200 /Height 100 /ColorSpace "
                                   "/DeviceRGB"),
            std::string::npos);
  EXPECT_EQ(obj_body(out, 6), "<< /Length 2 >>\nstream\nq\n\nendstream");
  EXPECT_NE(obj_body(out, 8).find("200.00 0 0 100.00 206.00 346.00 cm\n"
                                  "/KpWmIm Do\nQ\n"),
            std::string::npos);
  EXPECT_NE(obj_body(out, 3).find("/XObject << /KpWmIm 5 0 R >>"),
            std::string::npos);

  // One pixel of alpha 254: soft mask 5, image 6 naming it, opening 7.
  std::string alpha = write_png(d, "alpha.png", 100, 50, 254);
  ASSERT_EQ(reraruvozari_image_range((d / "in.pdf").c_str(),
                                     (d / "o2.pdf").c_str(), alpha.c_str(),
                                     -0.5f, 3, 0.5f, 1, -1),
            1);
  out = tu::read_text(d / "o2.pdf");
  EXPECT_NE(obj_body(out, 5).find("/ColorSpace /DeviceGray"), std::string::npos);
  EXPECT_NE(obj_body(out, 6).find("/SMask 5 0 R"), std::string::npos);
  EXPECT_EQ(obj_body(out, 7), "<< /Length 2 >>\nstream\nq\n\nendstream");
  EXPECT_NE(obj_body(out, 4).find("/ca 0.0000 /CA 0.0000"), std::string::npos);
  EXPECT_NE(out.find("50.00 0 0 25.00 36.00 36.00 cm"), std::string::npos);

  ASSERT_EQ(reraruvozari_image((d / "in.pdf").c_str(), (d / "o3.pdf").c_str(),
                               alpha.c_str(), 0.5f, 2, 0.5f),
            1);
  EXPECT_NE(tu::read_text(d / "o3.pdf").find("50.00 0 0 25.00 526.00 731.00 cm"),
            std::string::npos);
  // A scale not above 0 draws one point per pixel.
  ASSERT_EQ(reraruvozari_image((d / "in.pdf").c_str(), (d / "o4.pdf").c_str(),
                               alpha.c_str(), 0.5f, 0, -2.0f),
            1);
  EXPECT_NE(tu::read_text(d / "o4.pdf").find("100.00 0 0 50.00 "),
            std::string::npos);
}

TEST(PageCount, MessagesAndDuplicateListing) {
  int n = 0;
  EXPECT_EQ(reraruvozari_page_count(nullptr, nullptr), 0);
  EXPECT_STREQ(reraruvozari_last_error(), "NULL path argument");
  EXPECT_EQ(reraruvozari_page_count("/nonexistent", nullptr), 0);
  EXPECT_STREQ(reraruvozari_last_error(), "NULL pages argument");

  tu::temp_dir d;
  std::vector<std::string> objs = {
      "<< /Type /Catalog /Pages 2 0 R >>",
      "<< /Type /Pages /Kids [3 0 R 4 0 R 3 0 R 5 0 R] /Count 4 >>",
      "<< /Type /Page /Parent 2 0 R >>", "<< /Type /Page /Parent 2 0 R >>",
      "<< /Type /Page /Parent 2 0 R >>"};
  tu::write_file(d / "in.pdf", make_pdf(objs));
  ASSERT_EQ(reraruvozari_page_count((d / "in.pdf").c_str(), &n), 1);
  EXPECT_EQ(n, 4) << "a page listed twice counts twice";

  // A message built from a 2000-byte path is cut to 1023 bytes.
  std::string long_path(2000, 'a');
  long_path[0] = '/';
  EXPECT_EQ(reraruvozari_page_count(long_path.c_str(), &n), 0);
  EXPECT_EQ(strlen(reraruvozari_last_error()), 1023u);
}

TEST(Stamping, CropBoxIsClippedToTheMediaBox) {
  // A CropBox reaching past the MediaBox: the stamp goes to the centre of
  // what a viewer shows (their intersection), not off the page.
  tu::temp_dir d;
  tu::write_file(d / "in.pdf",
                 make_pdf(one_page_doc(" /CropBox [0 0 1000 1000]")));
  ASSERT_EQ(stamp_text(d / "in.pdf", d / "out.pdf", "X"), 1);
  EXPECT_NE(tu::read_text(d / "out.pdf").find(" 306.00 396.00 cm"),
            std::string::npos);
  // A CropBox inside the MediaBox is used as it is.
  tu::write_file(d / "in2.pdf",
                 make_pdf(one_page_doc(" /CropBox [10 20 300 400]")));
  ASSERT_EQ(stamp_text(d / "in2.pdf", d / "out2.pdf", "X"), 1);
  EXPECT_NE(tu::read_text(d / "out2.pdf").find(" 155.00 210.00 cm"),
            std::string::npos);
}

// Pages with the same visible box share the bytes of their stamp streams;
// every page still gets the stamp of its own box, whatever order the boxes
// come in, and each object its own number.
TEST(Stamping, PagesOfAlternatingSizesGetTheirOwnStamps) {
  tu::temp_dir d;
  const char *boxes[] = {"[0 0 600 800]", "[0 0 400 200]", "[0 0 600 800]",
                         "[0 0 600 800]", "[0 0 400 200]"};
  std::vector<std::string> objs = {"<< /Type /Catalog /Pages 2 0 R >>",
                                   "<< /Type /Pages /Kids [3 0 R 4 0 R 5 0 R 6 0 R 7 0 R] /Count 5 >>"};
  for (const char *b : boxes)
    objs.push_back(std::string("<< /Type /Page /Parent 2 0 R /MediaBox ") + b + " >>");
  tu::write_file(d / "in.pdf", make_pdf(objs));
  ASSERT_EQ(stamp_text(d / "in.pdf", d / "out.pdf", "X"), 1) << reraruvozari_last_error();
  std::string out = tu::read_text(d / "out.pdf");
  // Objects 8-10: graphics state, font, "q"; then two streams per page.
  for (int page = 0; page < 5; page++) {
    SCOPED_TRACE(page);
    std::string centre = boxes[page][5] == '6' ? " 300.00 400.00 cm" : " 200.00 100.00 cm";
    std::string pd = obj_body(out, 3 + page);
    int alone = 11 + 2 * page + 1;
    EXPECT_NE(pd.find("/Contents " + std::to_string(alone) + " 0 R"), std::string::npos) << pd;
    EXPECT_NE(obj_body(out, alone - 1).find(centre), std::string::npos);
    EXPECT_NE(obj_body(out, alone).find(centre), std::string::npos);
    EXPECT_NE(obj_body(out, alone - 1).find(">>\nstream\nQ\nq\n"), std::string::npos);
    EXPECT_NE(obj_body(out, alone).find(">>\nstream\nq\n"), std::string::npos);
  }
  EXPECT_EQ(tu::run("qpdf --check '" + (d / "out.pdf") + "' >/dev/null 2>&1").status, 0);
}

TEST(Stamping, StreamWithWrongLengthIsWrittenWithItsTrueLength) {
  tu::temp_dir d;
  std::vector<std::string> objs = one_page_doc(" /Contents 4 0 R");
  // /Length says 5; the data up to "endstream" is 12 bytes.
  objs.push_back("<< /Length 5 >>\nstream\n0 0 m 1 1 l\nendstream");
  tu::write_file(d / "in.pdf", make_pdf(objs));
  ASSERT_EQ(stamp_text(d / "in.pdf", d / "out.pdf", "X"), 1);
  std::string body = obj_body(tu::read_text(d / "out.pdf"), 4);
  EXPECT_EQ(body.find("/Length 5"), std::string::npos) << body;
  EXPECT_NE(body.find("/Length 12"), std::string::npos) << body;
  if (tu::have_tool("qpdf")) {
    EXPECT_EQ(tu::run("qpdf --check '" + (d / "out.pdf") + "' >/dev/null 2>&1")
                  .status,
              0);
  }
}

TEST(Stamping, StaleLinearizationParametersAreDropped) {
  tu::temp_dir d;
  const std::string lin_dict =
      "<< /Linearized 1 /L 999 /H [ 10 20 ] /O 3 /E 50 /N 1 /T 80 >>";
  // Elsewhere than first in the file it is not a linearization dictionary.
  std::vector<std::string> objs = one_page_doc();
  objs.push_back(lin_dict);
  tu::write_file(d / "in.pdf", make_pdf(objs));
  ASSERT_EQ(stamp_text(d / "in.pdf", d / "plain.pdf", "X"), 1);
  EXPECT_NE(tu::read_text(d / "plain.pdf").find("/Linearized"),
            std::string::npos);
  // First in the file, as linearized files have it: left out.
  std::string pdf = make_pdf(one_page_doc());
  tu::write_file(d / "lin.pdf",
                 "%PDF-1.4\n9 0 obj\n" + lin_dict + "\nendobj\n" + pdf.substr(9));
  ASSERT_EQ(stamp_text(d / "lin.pdf", d / "out.pdf", "X"), 1)
      << reraruvozari_last_error();
  std::string out = tu::read_text(d / "out.pdf");
  EXPECT_EQ(out.find("/Linearized"), std::string::npos);
}

TEST(Stamping, PackedPageWithCommentsAroundItsDictionary) {
  // qpdf's QDF mode writes comments before and after each packed object.
  tu::temp_dir d;
  const std::string head = "5 0 ";
  const std::string packed =
      head + "%% Page 1\n<< /Type /Page /Parent 2 0 R /Contents 4 0 R >>\n"
             "%% Object stream: object 3, index 0\n";
  std::vector<std::string> objs = {
      "<< /Type /Catalog /Pages 2 0 R >>",
      "<< /Type /Pages /Kids [5 0 R] /Count 1 >>",
      stream_obj(" /Type /ObjStm /N 1 /First " + std::to_string(head.size()),
                 packed),
      stream_obj("", "0 0 m")};
  tu::write_file(d / "in.pdf", make_pdf(objs));
  ASSERT_EQ(stamp_text(d / "in.pdf", d / "out.pdf", "X"), 1)
      << reraruvozari_last_error();
  std::string page = obj_body(tu::read_text(d / "out.pdf"), 5);
  EXPECT_NE(page.find("/Contents [ 8 0 R 4 0 R 9 0 R ]"), std::string::npos)
      << page;
}

TEST(ImageOperation, ExtractedImageAndMaskEqualThePngAndBlendAtOpacity) {
  REQUIRE_TOOL("pdfimages");
  REQUIRE_TOOL("pdftoppm");
  tu::temp_dir d;
  std::vector<std::string> objs = {
      "<< /Type /Catalog /Pages 2 0 R >>",
      "<< /Type /Pages /Kids [3 0 R 4 0 R 5 0 R] /Count 3 /MediaBox [0 0 612 "
      "792] >>",
      "<< /Type /Page /Parent 2 0 R >>", "<< /Type /Page /Parent 2 0 R >>",
      "<< /Type /Page /Parent 2 0 R >>"};
  tu::write_file(d / "in.pdf", make_pdf(objs));
  // 40 x 30 pixels: colour varies per pixel; alpha is 255 in the left
  // half and a gradient in the right half.
  const int w = 40, h = 30;
  std::vector<uint8_t> px(w * h * 4);
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++) {
      uint8_t *p = &px[(y * w + x) * 4];
      p[0] = static_cast<uint8_t>(x * 6);
      p[1] = static_cast<uint8_t>(y * 8);
      p[2] = static_cast<uint8_t>(255 - x * 3);
      p[3] = x < w / 2 ? 255 : static_cast<uint8_t>(y * 8);
    }
  ASSERT_EQ(kp_png_write((d / "img.png").c_str(), w, h, px.data()), 1);
  ASSERT_EQ(reraruvozari_image((d / "in.pdf").c_str(), (d / "out.pdf").c_str(),
                               (d / "img.png").c_str(), 0.5f, 0, 4.0f),
            1)
      << reraruvozari_last_error();

  // Three pages share one image and one soft mask.
  std::string out = tu::read_text(d / "out.pdf");
  size_t images = 0;
  for (size_t at = out.find("/Subtype /Image"); at != std::string::npos;
       at = out.find("/Subtype /Image", at + 1))
    images++;
  EXPECT_EQ(images, 2u);

  ASSERT_EQ(tu::run("pdfimages -f 1 -l 1 -png '" + (d / "out.pdf") + "' '" +
                    (d / "x") + "'")
                .status,
            0);
  int iw = 0, ih = 0, mw = 0, mh = 0;
  const char *err = nullptr;
  uint8_t *img = kp_png_decode((d / "x-000.png").c_str(), &iw, &ih, &err);
  uint8_t *mask = kp_png_decode((d / "x-001.png").c_str(), &mw, &mh, &err);
  ASSERT_TRUE(img && mask) << err;
  ASSERT_EQ(iw, w);
  ASSERT_EQ(mh, h);
  size_t diffs = 0;
  for (int i = 0; i < w * h; i++) {
    for (int c = 0; c < 3; c++) diffs += img[i * 4 + c] != px[i * 4 + c];
    diffs += mask[i * 4] != px[i * 4 + 3];
  }
  free(img);
  free(mask);
  EXPECT_EQ(diffs, 0u);

  // Page 2 at 72 dpi: the opaque left half blends half and half with the
  // white page. The image spans 160 x 120 points about the centre.
  ASSERT_EQ(tu::run("pdftoppm -r 72 -f 2 -l 2 -singlefile '" + (d / "out.pdf") +
                    "' '" + (d / "p") + "'")
                .status,
            0);
  std::vector<uint8_t> ppm = tu::read_file(d / "p.ppm");
  const size_t head = std::string("P6\n612 792\n255\n").size();
  ASSERT_EQ(ppm.size(), head + 612u * 792 * 3);
  // Pixel at image column 5, row 10 (from the top): page x 226 + 5*4 + 2,
  // y 336 + 10*4 + 2.
  const int ix = 5, iy = 10;
  const uint8_t *p = &ppm[head + ((336 + iy * 4 + 2) * 612 + 226 + ix * 4 + 2) * 3];
  const uint8_t *src = &px[(iy * w + ix) * 4];
  for (int c = 0; c < 3; c++)
    EXPECT_NEAR(p[c], (255 + src[c]) / 2.0, 3.0) << "channel " << c;
  // Far outside the image the page stays white.
  const uint8_t *q = &ppm[head + (50 * 612 + 50) * 3];
  EXPECT_EQ(q[0] + q[1] + q[2], 3 * 255);
}

// Hebrew is drawn in the order it is typed (there is no bidirectional
// reordering), so poppler reads it back reversed, between embedding marks:
// undo both to compare.
static std::string unreverse_rtl(const std::string &t) {
  std::vector<std::string> chars;
  for (size_t i = 0; i < t.size();) {
    size_t n = (t[i] & 0x80) == 0 ? 1 : (t[i] & 0xE0) == 0xC0 ? 2
               : (t[i] & 0xF0) == 0xE0 ? 3 : 4;
    std::string ch = t.substr(i, n);
    if (ch != "\xE2\x80\xAB" && ch != "\xE2\x80\xAC") chars.push_back(ch);
    i += n;
  }
  std::string out;
  for (auto it = chars.rbegin(); it != chars.rend(); ++it) out += *it;
  return out;
}

// Every script the embedded fonts cover comes back out of poppler as the
// same text (which proves the ToUnicode maps), in embedded CID TrueType
// fonts, and qpdf finds nothing wrong with the file.
TEST(TextOperation, ScriptsExtractExactlyWithEmbeddedFonts) {
  REQUIRE_TOOL("pdftotext");
  REQUIRE_TOOL("pdffonts");
  REQUIRE_TOOL("qpdf");
  struct {
    const char *name, *text, *font;
    int listed;  // fonts pdffonts lists: one per run
  } cases[] = {
      {"plain ASCII", "CONFIDENTIAL 2026", "Helvetica-Bold", 1},
      // Straight quote and grave accent, which the font's own encoding
      // would draw as curly quotes.
      {"ASCII quotes", "Don't copy `x`", "Helvetica-Bold", 1},
      {"Latin with accents", "Gr\xC3\xBC\xC3\x9F" "e \xC3\xA0 \xC3\xA9t\xC3\xA9", "DejaVuSans-Bold", 1},
      {"Greek", "\xCE\x95\xCE\xBC\xCF\x80\xCE\xB9\xCF\x83\xCF\x84\xCE\xB5\xCF\x85\xCF\x84\xCE\xB9\xCE\xBA\xCF\x8C", "DejaVuSans-Bold", 1},
      {"Cyrillic", "\xD0\xA1\xD0\xB5\xD0\xBA\xD1\x80\xD0\xB5\xD1\x82\xD0\xBD\xD0\xBE", "DejaVuSans-Bold", 1},
      {"Hebrew", "\xD7\xA1\xD7\x95\xD7\x93\xD7\x99", "DejaVuSans-Bold", 1},
      {"Chinese", "\xE6\x9C\xBA\xE5\xAF\x86\xE6\x96\x87\xE4\xBB\xB6", "DroidSansFallback", 1},
      {"Japanese kana", "\xE3\x81\xB2\xE3\x81\xBF\xE3\x81\xA4", "DroidSansFallback", 1},
      {"Korean", "\xEA\xB8\xB0\xEB\xB0\x80", "NanumGothic-Bold", 1},
      {"mixed", "Secret \xE6\x9C\xBA\xE5\xAF\x86 \xEA\xB8\xB0\xEB\xB0\x80", "NanumGothic-Bold", 4},
  };
  tu::temp_dir d;
  tu::write_file(d / "in.pdf", make_pdf(one_page_doc()));
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(stamp_text(d / "in.pdf", d / "out.pdf", c.text, 0.5f, 0, 24, 0),
              1)
        << reraruvozari_last_error();
    std::string t =
        tu::run("pdftotext -raw '" + (d / "out.pdf") + "' - 2>/dev/null").out;
    while (!t.empty() && (t.back() == '\n' || t.back() == '\f')) t.pop_back();
    if (std::string(c.name) == "Hebrew") t = unreverse_rtl(t);
    EXPECT_EQ(t, c.text);
    std::string fonts = tu::run("pdffonts '" + (d / "out.pdf") + "'").out;
    EXPECT_NE(fonts.find(c.font), std::string::npos) << fonts;
    EXPECT_EQ(std::count(fonts.begin(), fonts.end(), '\n'), 2 + c.listed) << fonts;
    if (std::string(c.font) != "Helvetica-Bold") {
      EXPECT_NE(fonts.find("CID TrueType      Identity-H       yes"),
                std::string::npos)
          << fonts;
    }
    EXPECT_EQ(
        tu::run("qpdf --check '" + (d / "out.pdf") + "' >/dev/null 2>&1").status,
        0);
  }
}

// The text without the directional marks poppler puts around right-to-left
// runs (U+202A LRE, U+202B RLE, U+202C PDF) and without trailing breaks.
static std::string without_marks(std::string t) {
  for (const char *m : {"\xE2\x80\xAA", "\xE2\x80\xAB", "\xE2\x80\xAC"})
    for (size_t at; (at = t.find(m)) != std::string::npos;) t.erase(at, 3);
  while (!t.empty() && (t.back() == '\n' || t.back() == '\f')) t.pop_back();
  return t;
}

// The extended call subsets the fonts and puts right-to-left text in visual
// order with Arabic forms. Against the same call with whole fonts: the same
// rendering pixel for pixel and the same extracted text, which is the text
// as typed (poppler reorders the visual runs back); pdffonts lists every
// font embedded and subset; each font file mutool extracts loads in fontTools
// and survives a ttx round trip; a Latin stamp adds at most 6 KB and a CJK
// one at most 12 KB.
TEST(StampText, SubsetFontsRenderAndExtractLikeWholeFonts) {
  REQUIRE_TOOL("pdftotext");
  REQUIRE_TOOL("pdffonts");
  REQUIRE_TOOL("pdftoppm");
  REQUIRE_TOOL("mutool");
  REQUIRE_TOOL("qpdf");
  if (tu::run("/usr/bin/python3 -c 'import fontTools' 2>/dev/null").status != 0) {
    if (tu::oracles_required()) FAIL() << "missing judge: python3-fonttools";
    GTEST_SKIP() << "missing judge: python3-fonttools";
  }
  struct {
    const char *name, *text;
    size_t max_growth;
    int fonts;  // one font per font drawn with, subset or whole
  } cases[] = {
      {"Latin with accents", "Vertraulich \xC3\x84\xC3\x96\xC3\x9C", 6 * 1024, 1},
      {"Korean", "\xEA\xB8\xB0\xEB\xB0\x80", 12 * 1024, 1},
      {"Chinese", "\xE6\x9C\xBA\xE5\xAF\x86", 12 * 1024, 1},
      {"three fonts", "\xE6\x9C\xBA\xE5\xAF\x86 \xEA\xB8\xB0\xEB\xB0\x80 \xC3\x9Cn\xC3\xAF" "code", 24 * 1024, 3},
      {"Chinese with spaces and digits",
       "\xE6\x9C\xBA\xE5\xAF\x86 \xE7\xAC\xAC" "1\xE9\xA1\xB5 \xE5\x85\xB1" "2\xE9\xA1\xB5 \xE5\x86\x85\xE9\x83\xA8", 18 * 1024, 2},
      {"Hebrew", "\xD7\xA1\xD7\x95\xD7\x93\xD7\x99", 6 * 1024, 1},
      // A digit again after the range of the first ones: whole fonts drew
      // it apart (poppler misread widths whose ranges overlapped).
      {"Cyrillic and digits", "\xD0\xA1\xD1\x82\xD1\x80. 123 \xD0\xB8\xD0\xB7 1", 6 * 1024, 1},
      {"Arabic with lam-alef", "\xD8\xA7\xD9\x84\xD8\xB3\xD9\x84\xD8\xA7\xD9\x85 \xD8\xB9\xD9\x84\xD9\x8A\xD9\x83\xD9\x85", 6 * 1024, 1},
      {"number in Arabic", "\xD8\xB3\xD8\xB1\xD9\x8A 2024", 6 * 1024, 1},
      {"mixed directions",
       "Confidential \xE2\x80\x94 \xD7\xA1\xD7\x95\xD7\x93\xD7\x99 \xE2\x80\x94 \xD8\xB3\xD8\xB1\xD9\x8A", 6 * 1024, 1},
  };
  tu::temp_dir d;
  const std::string in = d / "in.pdf";
  tu::write_file(in, make_pdf(one_page_doc()));
  const size_t in_size = tu::read_file(in).size();
  const std::string judge = std::string(RRV_TEST_DATA) + "/../font_judge.py";
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    reraruvozari_options *o = reraruvozari_options_new();
    ASSERT_NE(o, nullptr);
    ASSERT_EQ(reraruvozari_options_set_position(o, "center"), 1);
    ASSERT_EQ(reraruvozari_options_set_size(o, 24), 1);
    ASSERT_EQ(reraruvozari_stamp_text(in.c_str(), (d / "sub.pdf").c_str(), c.text, o), 1)
        << reraruvozari_last_error();
    ASSERT_EQ(reraruvozari_options_set_subset(o, 0), 1);
    ASSERT_EQ(reraruvozari_stamp_text(in.c_str(), (d / "whole.pdf").c_str(), c.text, o), 1)
        << reraruvozari_last_error();
    reraruvozari_options_free(o);

    EXPECT_LE(tu::read_file(d / "sub.pdf").size(), in_size + c.max_growth);
    for (const char *f : {"sub.pdf", "whole.pdf"})
      EXPECT_EQ(tu::run("qpdf --check '" + (d / f) + "' >/dev/null 2>&1").status, 0) << f;
    std::string t = tu::run("pdftotext '" + (d / "sub.pdf") + "' - 2>/dev/null").out;
    EXPECT_EQ(without_marks(t), c.text);
    EXPECT_EQ(t, tu::run("pdftotext '" + (d / "whole.pdf") + "' - 2>/dev/null").out);
    EXPECT_EQ(tu::run("pdftoppm -r 50 '" + (d / "sub.pdf") + "' | sha256sum").out,
              tu::run("pdftoppm -r 50 '" + (d / "whole.pdf") + "' | sha256sum").out);

    std::istringstream fonts(tu::run("pdffonts '" + (d / "sub.pdf") + "'").out);
    int cid_fonts = 0;
    for (std::string line; std::getline(fonts, line);) {
      if (line.find("CID TrueType") == std::string::npos) continue;
      cid_fonts++;
      EXPECT_NE(line.find("Identity-H       yes yes yes"), std::string::npos) << line;
      EXPECT_EQ(line.find('+'), 6u) << line;
    }
    EXPECT_EQ(cid_fonts, c.fonts);
    // Whole fonts are embedded once each too, whatever the runs.
    const std::string whole_fonts = tu::run("pdffonts '" + (d / "whole.pdf") + "'").out;
    int whole_cid = 0;
    for (size_t at = 0; (at = whole_fonts.find("CID TrueType", at)) != std::string::npos; at++)
      whole_cid++;
    EXPECT_EQ(whole_cid, c.fonts) << whole_fonts;
    tu::run("rm -rf '" + (d / "x") + "' && mkdir '" + (d / "x") + "'");
    ASSERT_EQ(tu::run("cd '" + (d / "x") + "' && mutool extract ../sub.pdf >/dev/null 2>&1").status, 0);
    std::istringstream files(tu::run("ls '" + (d / "x") + "'").out);
    int extracted = 0;
    for (std::string f; std::getline(files, f);) {
      if (f.find(".ttf") == std::string::npos) continue;
      extracted++;
      tu::run_result r = tu::run("/usr/bin/python3 '" + judge + "' ttx '" + (d / "x") + "/" + f + "' 2>&1");
      EXPECT_EQ(r.status, 0) << f << ": " << r.out;
    }
    EXPECT_EQ(extracted, cid_fonts);
  }
}

// A combining mark typed after its letter is drawn over it: the word takes
// the room of its precomposed spelling, as pdftotext's boxes measure it.
TEST(StampText, MarksSitOverTheirLetters) {
  REQUIRE_TOOL("pdftotext");
  struct {
    const char *name, *decomposed, *precomposed;
  } cases[] = {
      {"acute", "Cafe\xCC\x81s", "Caf\xC3\xA9s"},
      {"tilde", "Man\xCC\x83" "ana", "Ma\xC3\xB1" "ana"},
      {"two marks", "Vie\xCC\x82\xCC\xA3t", "Vi\xE1\xBB\x87t"},
  };
  tu::temp_dir d;
  const std::string in = d / "in.pdf";
  tu::write_file(in, make_pdf(one_page_doc()));
  // The width of the stamped word's box.
  auto width_of = [&](const char *text) {
    reraruvozari_options *o = reraruvozari_options_new();
    reraruvozari_options_set_size(o, 40);
    const std::string out = d / "out.pdf";
    const int ok = reraruvozari_stamp_text(in.c_str(), out.c_str(), text, o);
    reraruvozari_options_free(o);
    if (!ok) return -1.0;
    std::istringstream words(tu::run("pdftotext -bbox '" + out + "' - 2>/dev/null").out);
    for (std::string line; std::getline(words, line);) {
      double x0, x1;
      if (line.find("<word") != std::string::npos &&
          sscanf(line.c_str(), " <word xMin=\"%lf\" yMin=\"%*f\" xMax=\"%lf\"", &x0, &x1) == 2 &&
          x1 - x0 > 50)
        return x1 - x0;
    }
    return -2.0;
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    const double precomposed = width_of(c.precomposed);
    ASSERT_GT(precomposed, 0) << reraruvozari_last_error();
    EXPECT_NEAR(width_of(c.decomposed), precomposed, 0.5);
  }
}

// A tab is drawn as a space by the extended calls, in Helvetica-Bold as in
// the embedded fonts: the same words in the same boxes as with a space.
TEST(StampText, TabDrawsAsASpace) {
  REQUIRE_TOOL("pdftotext");
  tu::temp_dir d;
  const std::string in = d / "in.pdf";
  tu::write_file(in, make_pdf(one_page_doc()));
  for (const char *pair : {"A?B", "\xC3\x84?B"}) {
    SCOPED_TRACE(pair);
    std::string boxes[2];
    for (int tab = 0; tab < 2; tab++) {
      std::string text = pair;
      text[text.find('?')] = tab ? '\t' : ' ';
      const std::string out = d / "out.pdf";
      ASSERT_EQ(reraruvozari_stamp_text(in.c_str(), out.c_str(), text.c_str(), nullptr), 1)
          << reraruvozari_last_error();
      boxes[tab] = tu::run("pdftotext -bbox '" + out + "' - 2>/dev/null | grep '<word'").out;
    }
    EXPECT_NE(boxes[0].find(">B</word>"), std::string::npos) << boxes[0];
    EXPECT_EQ(boxes[1], boxes[0]);
  }
}

// Beyond eight runs a line's runs share their fonts' names: on a second
// line of 65,538 runs the Korean font, first met at run 65,537, keeps a
// name of its own (no duplicate key in the page's fonts).
TEST(StampText, ManyRunsOnALaterLineKeepTheirNames) {
  REQUIRE_TOOL("qpdf");
  std::string text = "x\n";
  for (int i = 0; i < 32768; i++) text += "a\xE4\xB8\xAD";
  text += "\xED\x95\x9C\xEA\xB5\xAD";
  tu::temp_dir d;
  const std::string in = d / "in.pdf", out = d / "out.pdf";
  tu::write_file(in, make_pdf(one_page_doc()));
  ASSERT_EQ(reraruvozari_stamp_text(in.c_str(), out.c_str(), text.c_str(), nullptr), 1)
      << reraruvozari_last_error();
  tu::run_result check = tu::run("qpdf --check '" + out + "' 2>&1");
  EXPECT_EQ(check.status, 0) << check.out;
  EXPECT_EQ(tu::run("qpdf --qdf '" + out + "' - | grep -a -c '/KpWmL2F65537 [0-9]* 0 R'").out, "1\n");
}

// Rendered by poppler, the ink of the text lies centred on the anchor that
// the placement table gives for each position.
TEST(TextOperation, InkIsCentredOnTheAnchorOfEachPosition) {
  REQUIRE_TOOL("pdftoppm");
  tu::temp_dir d;
  tu::write_file(d / "in.pdf", make_pdf(one_page_doc()));
  const double W = (722 + 722 + 722) / 1000.0 * 24;  // "ABC" at 24 pt
  struct {
    int position;
    double ax, ay;
  } cases[] = {
      {0, 306, 396},
      {1, 36 + W / 2, 792 - 36 - 12},
      {2, 612 - 36 - W / 2, 792 - 36 - 12},
      {3, 36 + W / 2, 36 + 12},
      {4, 612 - 36 - W / 2, 36 + 12},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.position);
    ASSERT_EQ(stamp_text(d / "in.pdf", d / "out.pdf", "ABC", 1.0f, 0, 24,
                         c.position, 0, 0, 0),
              1);
    ASSERT_EQ(tu::run("pdftoppm -r 72 -singlefile '" + (d / "out.pdf") +
                      "' '" + (d / "r") + "'")
                  .status,
              0);
    std::vector<uint8_t> ppm = tu::read_file(d / "r.ppm");
    const size_t head = std::string("P6\n612 792\n255\n").size();
    ASSERT_EQ(ppm.size(), head + 612u * 792 * 3);
    int x0 = 612, y0 = 792, x1 = -1, y1 = -1;
    for (int y = 0; y < 792; y++)
      for (int x = 0; x < 612; x++)
        if (ppm[head + (y * 612 + x) * 3] < 128) {
          x0 = std::min(x0, x);
          x1 = std::max(x1, x);
          y0 = std::min(y0, y);
          y1 = std::max(y1, y);
        }
    ASSERT_GE(x1, 0) << "no ink";
    EXPECT_NEAR((x0 + x1 + 1) / 2.0, c.ax, 3.0);
    EXPECT_NEAR(792 - (y0 + y1 + 1) / 2.0, c.ay, 3.0);
    EXPECT_NEAR(x1 + 1 - x0, W, 4.0);
  }
}

static const std::string k_logo = std::string(RRV_TEST_DATA) + "/../../examples/logo.png";

// The page dictionary's /Contents value exactly as written, "" without one.
static std::string contents_value(const std::string &page) {
  size_t at = page.find("/Contents");
  if (at == std::string::npos) return "";
  size_t v = page.find_first_not_of(" \n", at + 9);
  size_t e = page[v] == '[' ? page.find(']', v) + 1 : page.find(" R", v) + 2;
  return page.substr(v, e - v);
}

// Stamps of every kind taken off again: the page gets back the /Contents it
// had (the marked stamps remember its exact form, the classic ones give
// back the streams between their wrapping), the resources lose every /KpWm
// entry, and the page renders as before.
TEST(Removal, EveryStampKindAndContentsFormComesOff) {
  REQUIRE_TOOL("pdftoppm");
  REQUIRE_TOOL("qpdf");
  auto classic_text = [](const std::string &in, const std::string &out) {
    return stamp_text(in, out, "CLASSIC", 0.5f, 30, 30);
  };
  auto classic_unicode = [](const std::string &in, const std::string &out) {
    return stamp_text(in, out, "\xce\x91\xce\xb2\xce\xb3 \xd0\x96", 0.5f, 0, 30);
  };
  auto classic_image = [](const std::string &in, const std::string &out) {
    return reraruvozari_image_range(in.c_str(), out.c_str(), k_logo.c_str(), 0.5f, 2,
                                    0.5f, 1, -1);
  };
  auto marked_text = [](const std::string &in, const std::string &out) {
    return reraruvozari_stamp_text(in.c_str(), out.c_str(), "MARKED", nullptr);
  };
  auto marked_under = [](const std::string &in, const std::string &out) {
    reraruvozari_options *o = reraruvozari_options_new();
    reraruvozari_options_set_under(o, 1);
    reraruvozari_options_set_layer(o, nullptr);
    int r = reraruvozari_stamp_image(in.c_str(), out.c_str(), k_logo.c_str(), o);
    reraruvozari_options_free(o);
    return r;
  };
  using stamp_fn = int (*)(const std::string &, const std::string &);
  struct {
    const char *name;
    std::vector<stamp_fn> stamps;
    bool first_marked;  // the page's own form is remembered
  } chains[] = {
      {"classic text", {+classic_text}, false},
      {"classic Unicode text", {+classic_unicode}, false},
      {"classic image", {+classic_image}, false},
      {"classic twice", {+classic_text, +classic_image}, false},
      {"marked", {+marked_text}, true},
      {"marked over classic", {+classic_text, +marked_text}, false},
      {"classic over marked under", {+marked_under, +classic_unicode}, true},
  };
  struct {
    const char *name;
    std::string page_extra;
    std::vector<std::string> extra_objs;  // objects 4, 5, ...
    bool exact;  // classic stamps cannot tell "[4 0 R]" from "4 0 R"
  } forms[] = {
      {"single reference", " /Contents 4 0 R", {stream_obj("", "0 0 1 rg 9 9 90 90 re f")}, true},
      {"array", " /Contents [4 0 R 5 0 R]",
       {stream_obj("", "0 0 1 rg 9 9 90 90 re f"), stream_obj("", "1 0 0 rg 50 50 90 90 re f")},
       true},
      {"one-entry array", " /Contents [4 0 R]", {stream_obj("", "0 0 1 rg 9 9 90 90 re f")}, false},
      {"no content", "", {}, true},
      // An empty /Resources the page had stays (it is a required key).
      {"empty resources", " /Contents 4 0 R /Resources << >>",
       {stream_obj("", "0 0 1 rg 9 9 90 90 re f")}, true},
      {"reference to an array object", " /Contents 4 0 R",
       {"[5 0 R 6 0 R]", stream_obj("", "0 0 1 rg 9 9 90 90 re f"),
        stream_obj("", "1 0 0 rg 50 50 90 90 re f")},
       false},
  };
  for (const auto &f : forms) {
    for (const auto &c : chains) {
      SCOPED_TRACE(std::string(f.name) + ", " + c.name);
      tu::temp_dir d;
      std::vector<std::string> objs = one_page_doc(f.page_extra);
      for (const auto &o : f.extra_objs) objs.push_back(o);
      const std::string in = d / "in.pdf";
      tu::write_file(in, make_pdf(objs));
      std::string cur = in;
      for (size_t k = 0; k < c.stamps.size(); k++) {
        const std::string next = d / ("s" + std::to_string(k) + ".pdf");
        ASSERT_EQ(c.stamps[k](cur, next), 1) << reraruvozari_last_error();
        cur = next;
      }
      int stamps = -1, pages = -1;
      ASSERT_EQ(reraruvozari_remove(cur.c_str(), (d / "out.pdf").c_str(), nullptr, &stamps,
                                    &pages),
                1)
          << reraruvozari_last_error();
      EXPECT_EQ(stamps, static_cast<int>(c.stamps.size()));
      EXPECT_EQ(pages, 1);
      EXPECT_STREQ(reraruvozari_last_notice(), "");
      const std::string out = tu::read_text(d / "out.pdf");
      const std::string page = obj_body(out, 3);
      EXPECT_EQ(page.find("KpWm"), std::string::npos) << page;
      const std::string want = contents_value(obj_body(tu::read_text(in), 3));
      if (f.exact || c.first_marked) {
        EXPECT_EQ(contents_value(page), want) << page;
      }
      if (f.page_extra.find("/Resources") != std::string::npos) {
        const size_t at = page.find("/Resources");
        ASSERT_NE(at, std::string::npos) << page;
        std::string value = page.substr(at + 10, page.find(">>", at) + 2 - at - 10);
        value.erase(std::remove(value.begin(), value.end(), ' '), value.end());
        EXPECT_EQ(value, "<<>>") << page;
      }
      EXPECT_EQ(tu::run("qpdf --check '" + (d / "out.pdf") + "' >/dev/null 2>&1").status, 0);
      auto render = [&](const std::string &p) {
        return tu::run("pdftoppm -r 30 '" + p + "'").out;
      };
      EXPECT_EQ(render(d / "out.pdf"), render(in));
    }
  }
}

// Classic stamps whose wrapping is no longer whole are left, and said so;
// files that were never stamped are copied unchanged.
TEST(Removal, LeavesWhatItDidNotWriteAsItWas) {
  struct {
    const char *name;
    std::string page_extra;
    std::vector<std::string> extra_objs;
    int stamps;
    const char *notice;
  } cases[] = {
      // The "q" stream and the stamp stream in their places.
      {"classic wrapping", " /Contents [5 0 R 4 0 R 6 0 R]",
       {stream_obj("", "0 0 m"), stream_obj("", "q\n"),
        stream_obj("", "Q\nq\n/KpWmGS gs\nBT /KpWmF1 9 Tf (X) Tj ET\nQ\n")},
       1, ""},
      // A suffixed graphics state name is still ours.
      {"suffixed name", " /Contents [5 0 R 4 0 R 6 0 R]",
       {stream_obj("", "0 0 m"), stream_obj("", "q\n"),
        stream_obj("", "Q\nq\n/KpWmGS2 gs\nBT /KpWmF3 9 Tf (X) Tj ET\nQ\n")},
       1, ""},
      // Content added after the stamp: the wrapping is broken.
      {"stream after the stamp", " /Contents [5 0 R 4 0 R 6 0 R 4 0 R]",
       {stream_obj("", "0 0 m"), stream_obj("", "q\n"),
        stream_obj("", "Q\nq\n/KpWmGS gs\nBT /KpWmF1 9 Tf (X) Tj ET\nQ\n")},
       0, "page 1: stamp left in place, the page was changed after stamping\n"},
      // Looks like a stamp but draws with names that are not ours.
      {"other names", " /Contents [5 0 R 4 0 R 6 0 R]",
       {stream_obj("", "0 0 m"), stream_obj("", "q\n"),
        stream_obj("", "Q\nq\n/GS1 gs\nQ\n")},
       0, ""},
      {"filtered look-alike", " /Contents [5 0 R 4 0 R 6 0 R]",
       {stream_obj("", "0 0 m"), stream_obj("", "q\n"),
        stream_obj(" /Filter /ASCIIHexDecode", "51 0A>")},
       0, ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    tu::temp_dir d;
    std::vector<std::string> objs = one_page_doc(c.page_extra);
    for (const auto &o : c.extra_objs) objs.push_back(o);
    tu::write_file(d / "in.pdf", make_pdf(objs));
    int stamps = -1, pages = -1;
    ASSERT_EQ(reraruvozari_remove((d / "in.pdf").c_str(), (d / "out.pdf").c_str(), nullptr,
                                  &stamps, &pages),
              1)
        << reraruvozari_last_error();
    EXPECT_EQ(stamps, c.stamps);
    EXPECT_EQ(pages, c.stamps ? 1 : 0);
    EXPECT_STREQ(reraruvozari_last_notice(), c.notice);
    const std::string out = tu::read_text(d / "out.pdf");
    if (c.stamps == 0) {
      EXPECT_EQ(out, tu::read_text(d / "in.pdf"));
      // In place: the same bytes, through a temporary file that is gone;
      // into a directory: refused like any output.
      ASSERT_EQ(reraruvozari_remove((d / "in.pdf").c_str(), (d / "in.pdf").c_str(), nullptr,
                                    &stamps, &pages),
                1)
          << reraruvozari_last_error();
      EXPECT_EQ(tu::read_text(d / "in.pdf"), out);
      EXPECT_EQ(d.list(), (std::vector<std::string>{"in.pdf", "out.pdf"}));
      ASSERT_EQ(mkdir((d / "dir").c_str(), 0755), 0);
      EXPECT_EQ(reraruvozari_remove((d / "in.pdf").c_str(), (d / "dir").c_str(), nullptr,
                                    &stamps, &pages),
                0);
      EXPECT_EQ(std::string(reraruvozari_last_error()),
                "cannot write " + (d / "dir") + ": not a regular file");
    } else {
      EXPECT_EQ(contents_value(obj_body(out, 3)), "4 0 R");
    }
  }
  EXPECT_EQ(reraruvozari_remove(nullptr, "o.pdf", nullptr, nullptr, nullptr), 0);
  EXPECT_STREQ(reraruvozari_last_error(), "NULL path argument");
}

// A page object the tree lists twice is one page shown twice: classic and
// marked stamps draw on it once (not wrapped twice, drawn twice as dark),
// and remove takes that one stamp off.
TEST(Removal, PageListedTwiceIsStampedAndCleanedOnce) {
  REQUIRE_TOOL("pdftoppm");
  REQUIRE_TOOL("qpdf");
  tu::temp_dir d;
  const std::string in = d / "in.pdf", st = d / "st.pdf", out = d / "out.pdf";
  tu::write_file(in, make_pdf({"<< /Type /Catalog /Pages 2 0 R >>",
                               "<< /Type /Pages /Kids [3 0 R 3 0 R] /Count 2 >>",
                               "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 300 300] /Contents 4 0 R >>",
                               stream_obj("", "0 0 1 rg 10 10 100 100 re f")}));
  for (bool classic : {true, false}) {
    SCOPED_TRACE(classic ? "classic" : "marked");
    ASSERT_EQ(classic ? stamp_text(in, st, "DRAFT")
                      : reraruvozari_stamp_text(in.c_str(), st.c_str(), "DRAFT", nullptr),
              1)
        << reraruvozari_last_error();
    EXPECT_EQ(tu::run("qpdf --qdf '" + st + "' - 2>/dev/null | grep -a -c 'KpWmGS[0-9]* gs'").out,
              "1\n");
    int stamps = -1, pages = -1;
    ASSERT_EQ(reraruvozari_remove(st.c_str(), out.c_str(), nullptr, &stamps, &pages), 1)
        << reraruvozari_last_error();
    EXPECT_EQ(stamps, 1);
    EXPECT_EQ(pages, 1);
    EXPECT_EQ(tu::run("pdftoppm -r 20 '" + out + "'").out, tu::run("pdftoppm -r 20 '" + in + "'").out);
  }
}

// A document that marks content with optional content groups but declares
// none (no /OCProperties): readers draw that content. The stamp's layer
// declares the groups the pages use beside its own, or poppler would hide
// the content of groups missing from the list.
TEST(Stamping, LayerKeepsUndeclaredGroupsShown) {
  REQUIRE_TOOL("pdftotext");
  REQUIRE_TOOL("qpdf");
  const std::string font = "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>";
  struct {
    const char *name;
    std::vector<std::string> objs;  // 1 catalog, 2 pages, 3 page
  } rows[] = {
      {"form XObject with /OC to a membership dictionary",
       {"<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 300 300] /Contents 4 0 R"
        " /Resources << /XObject << /Fm0 5 0 R >> >> >>",
        stream_obj("", "/Fm0 Do"),
        stream_obj(" /Type /XObject /Subtype /Form /BBox [0 0 300 300] /OC 8 0 R"
                   " /Resources << /Font << /F1 6 0 R >> >>",
                   "BT /F1 12 Tf 20 20 Td (Footerline) Tj ET"),
        font, "<< /Type /OCG /Name (Footer) >>", "<< /Type /OCMD /OCGs [7 0 R] >>"}},
      {"marked content through shared /Properties, group inside an array",
       {"<< /Type /Catalog /Pages 2 0 R >>",
        "<< /Type /Pages /Kids [3 0 R] /Count 1 /Resources 5 0 R >>",
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 300 300] /Contents 4 0 R >>",
        stream_obj("", "/OC /L1 BDC BT /F1 12 Tf 20 20 Td (Footerline) Tj ET EMC"),
        "<< /Font << /F1 6 0 R >> /Properties << /L1 8 0 R >> >>", font,
        "<< /Type /OCG /Name (Notes) >>", "<< /Type /OCMD /OCGs 7 0 R /P /AllOn >>"}},
      {"form inside a form, the inner one with /OC",
       {"<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 300 300] /Contents 4 0 R"
        " /Resources << /XObject << /Fm0 5 0 R >> >> >>",
        stream_obj("", "/Fm0 Do"),
        stream_obj(" /Type /XObject /Subtype /Form /BBox [0 0 300 300]"
                   " /Resources << /XObject << /Fm1 9 0 R >> >>",
                   "/Fm1 Do"),
        font, "<< /Type /OCG /Name (Inner) >>", "<< /Type /OCMD /OCGs [7 0 R] >>",
        stream_obj(" /Type /XObject /Subtype /Form /BBox [0 0 300 300] /OC 8 0 R"
                   " /Resources << /Font << /F1 6 0 R >> >>",
                   "BT /F1 12 Tf 20 20 Td (Footerline) Tj ET")}},
      {"marked content through a form's own /Properties",
       {"<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 300 300] /Contents 4 0 R"
        " /Resources << /XObject << /Fm0 5 0 R >> >> >>",
        stream_obj("", "/Fm0 Do"),
        stream_obj(" /Type /XObject /Subtype /Form /BBox [0 0 300 300]"
                   " /Resources << /Font << /F1 6 0 R >> /Properties << /MC0 8 0 R >> >>",
                   "/OC /MC0 BDC BT /F1 12 Tf 20 20 Td (Footerline) Tj ET EMC"),
        font, "<< /Type /OCG /Name (Form) >>", "<< /Type /OCMD /OCGs [7 0 R] >>"}},
  };
  tu::temp_dir d;
  for (const auto &r : rows) {
    for (int incremental : {0, 1}) {
      SCOPED_TRACE(std::string(r.name) + (incremental ? ", incremental" : ""));
      const std::string in = d / "in.pdf", out = d / "out.pdf";
      tu::write_file(in, make_pdf(r.objs));
      ASSERT_NE(tu::run("pdftotext '" + in + "' - 2>/dev/null").out.find("Footerline"),
                std::string::npos);
      ASSERT_EQ(stamp_extended(in, out, "DRAFT", incremental), 1) << reraruvozari_last_error();
      EXPECT_EQ(tu::run("qpdf --check '" + out + "' 2>&1").status, 0);
      const std::string text = tu::run("pdftotext '" + out + "' - 2>/dev/null").out;
      EXPECT_NE(text.find("Footerline"), std::string::npos) << text;
    }
  }
}

// A page that holds this library's stamp names for numbers the file no
// longer uses (its objects renumbered since, as qpdf's page extraction
// does) gets the new stamp under other names: drawn, not the old objects
// the names lead to (an empty form here), full and incremental.
TEST(Stamping, NamesOfRenumberedStampsAreNotReused) {
  REQUIRE_TOOL("pdftoppm");
  REQUIRE_TOOL("qpdf");
  std::string names = "/ExtGState <<";
  for (int n = 6; n <= 60; n++) names += " /KpWmGS" + std::to_string(n) + " 4 0 R";
  names += " >> /XObject <<";
  for (int n = 6; n <= 60; n++) names += " /KpWmFm" + std::to_string(n) + " 5 0 R";
  names += " >>";
  const std::vector<std::string> objs = {
      "<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
      "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 300 300] /Resources << " + names + " >> >>",
      "<< /Type /ExtGState /ca 1 >>",
      stream_obj(" /Type /XObject /Subtype /Form /BBox [0 0 300 300]", "")};
  tu::temp_dir d;
  const std::string in = d / "in.pdf", out = d / "out.pdf";
  tu::write_file(in, make_pdf(objs));
  const std::string blank = tu::run("pdftoppm -r 20 -gray '" + in + "' | sha256sum").out;
  for (int incremental : {0, 1}) {
    SCOPED_TRACE(incremental ? "incremental" : "full");
    ASSERT_EQ(stamp_extended(in, out, "DRAFT", incremental), 1) << reraruvozari_last_error();
    EXPECT_EQ(tu::run("qpdf --check '" + out + "' 2>&1").status, 0);
    EXPECT_NE(tu::run("pdftoppm -r 20 -gray '" + out + "' | sha256sum").out, blank);
  }
  // A name far beyond any number the stamp could take is left alone: the
  // new objects keep their usual numbers (MuPDF reads none past 2^23).
  std::vector<std::string> far = objs;
  far[2] = "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 300 300]"
           " /Resources << /ExtGState << /KpWmGS999999999999999999 4 0 R >> >> >>";
  tu::write_file(in, make_pdf(far));
  ASSERT_EQ(stamp_extended(in, out, "DRAFT", 0), 1) << reraruvozari_last_error();
  const std::string written = tu::read_text(out);
  const size_t size_at = written.rfind("/Size ");
  ASSERT_NE(size_at, std::string::npos);
  EXPECT_LT(atol(written.c_str() + size_at + 6), 100);
  EXPECT_EQ(tu::run("qpdf --check '" + out + "' 2>&1").status, 0);
}

// A damaged file (its table lost, repaired by the scan) that refers to
// objects it lost too: the stamp's new objects take other numbers, so the
// lost ones stay null for readers (the page's /Annots would otherwise list
// the stamp's graphics state, the catalog's /Outlines a font), classic and
// extended.
TEST(Stamping, LostObjectsOfARepairedFileStayLost) {
  REQUIRE_TOOL("qpdf");
  std::string text = make_pdf(
      {"<< /Type /Catalog /Pages 2 0 R /Outlines 12 0 R >>",
       "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
       "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 300 300] /Contents 4 0 R"
       " /Annots [7 0 R 8 0 R] >>",
       stream_obj("", "0 0 1 rg 10 10 50 50 re f")});
  text = text.substr(0, text.find("xref\n"));  // cut short: no table, no trailer
  tu::temp_dir d;
  const std::string in = d / "in.pdf", out = d / "out.pdf";
  tu::write_file(in, text);
  for (int classic : {1, 0}) {
    SCOPED_TRACE(classic ? "classic" : "extended");
    ASSERT_EQ(classic ? reraruvozari_text(in.c_str(), out.c_str(), "DRAFT", 0.5f, 0, 24, 0, 0,
                                          0, 0)
                      : stamp_extended(in, out, "DRAFT", 0),
              1)
        << reraruvozari_last_error();
    for (int lost : {7, 8, 12}) {
      EXPECT_EQ(tu::run("qpdf --show-object=" + std::to_string(lost) + " '" + out + "' 2>&1").out,
                "null\n")
          << lost;
    }
  }
}

// A document that uses the largest object number this library reads has no
// number left for the stamp: refused, rather than written with numbers no
// later call (this library's or its page count) could read back.
TEST(Stamping, NoNumbersLeftIsRefused) {
  const std::string top = "1073741823";
  std::string s = "%PDF-1.4\n";
  std::vector<std::pair<std::string, size_t>> at;
  auto obj = [&](const std::string &num, const std::string &body) {
    at.push_back({num, s.size()});
    s += num + " 0 obj\n" + body + "\nendobj\n";
  };
  obj("1", "<< /Type /Catalog /Pages 2 0 R >>");
  obj("2", "<< /Type /Pages /Kids [3 0 R] /Count 1 >>");
  obj("3", "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 300 300] /Contents " + top + " 0 R >>");
  obj(top, stream_obj("", "0 g 10 10 50 50 re f"));
  const size_t x = s.size();
  s += "xref\n0 4\n0000000000 65535 f \n";
  for (int i = 0; i < 3; i++) {
    char e[32];
    snprintf(e, sizeof e, "%010zu 00000 n \n", at[static_cast<size_t>(i)].second);
    s += e;
  }
  s += top + " 1\n";
  char e[32];
  snprintf(e, sizeof e, "%010zu 00000 n \n", at[3].second);
  s += e;
  s += "trailer\n<< /Size 1073741824 /Root 1 0 R >>\nstartxref\n" + std::to_string(x) +
       "\n%%EOF\n";
  tu::temp_dir d;
  const std::string in = d / "in.pdf", out = d / "out.pdf";
  tu::write_file(in, s);
  int pages = 0;
  ASSERT_EQ(reraruvozari_page_count(in.c_str(), &pages), 1) << reraruvozari_last_error();
  for (int way = 0; way < 3; way++) {
    SCOPED_TRACE(way);
    EXPECT_EQ(way == 0 ? reraruvozari_text(in.c_str(), out.c_str(), "X", 0.5f, 0, 24, 0, 0, 0, 0)
                       : stamp_extended(in, out, "X", way == 2),
              0);
    EXPECT_EQ(std::string(reraruvozari_last_error()).rfind("object number too large", 0), 0u)
        << reraruvozari_last_error();
    EXPECT_FALSE(tu::exists(out));
  }
  // An update written as a cross-reference stream numbers that stream too:
  // with the stamp's objects ending at the largest number, it would take
  // the one past it. The document's top number is chosen so (the objects a
  // stamp adds counted on a first run).
  auto stream_doc = [](long last) {
    tu::pdf_text p;
    p.obj(1, "<< /Type /Catalog /Pages 2 0 R >>");
    p.obj(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>");
    p.obj(3, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 300 300] /Contents " +
                 std::to_string(last) + " 0 R >>");
    p.stream(static_cast<int>(last), "", "0 g 10 10 50 50 re f");
    return p.done(p.xref_stream(4, {{1, 1, -1, 0}, {2, 1, -1, 0}, {3, 1, -1, 0},
                                    {last, 1, -1, 0}},
                                "/Root 1 0 R"));
  };
  auto size_after = [](const std::string &text) {
    const size_t k = text.rfind("/Type /XRef /Size ");
    return k == std::string::npos ? -1L : atol(text.c_str() + k + 18);
  };
  tu::write_file(in, stream_doc(1000));
  ASSERT_EQ(stamp_extended(in, out, "X", 1), 1) << reraruvozari_last_error();
  const long added = size_after(tu::read_text(out)) - 1 - 1000;  // with the stream's own
  ASSERT_GT(added, 1);
  tu::write_file(in, stream_doc(1073741823L - (added - 1)));  // the stamp's end at the top
  ASSERT_EQ(remove(out.c_str()), 0);
  EXPECT_EQ(stamp_extended(in, out, "X", 1), 0);
  EXPECT_EQ(std::string(reraruvozari_last_error()), "object number too large: 1073741824");
  EXPECT_FALSE(tu::exists(out));
}

// Optional content came with PDF 1.5: the stamp's layer raises an older
// document to 1.5 through the catalog's /Version, and leaves a later one
// (by its header or its catalog) at its own version, full and incremental.
TEST(Stamping, LayerRaisesOnlyOlderVersions) {
  struct {
    const char *name;
    const char *header;
    const char *catalog;  // the catalog's own /Version entry, or ""
    const char *after;    // the catalog's /Version after stamping, or "" for none
  } rows[] = {
      {"1.4 header", "%PDF-1.4", "", "/Version /1.5"},
      {"1.3 header, 1.4 catalog", "%PDF-1.3", " /Version /1.4", "/Version /1.5"},
      {"1.7 header", "%PDF-1.7", "", ""},
      {"2.0 header", "%PDF-2.0", "", ""},
      {"1.4 header, 1.6 catalog", "%PDF-1.4", " /Version /1.6", "/Version /1.6"},
      {"1.7 header, 1.4 catalog", "%PDF-1.7", " /Version /1.4", "/Version /1.4"},
  };
  tu::temp_dir d;
  for (const auto &r : rows) {
    for (int incremental : {0, 1}) {
      SCOPED_TRACE(std::string(r.name) + (incremental ? ", incremental" : ""));
      std::string pdf = make_pdf({std::string("<< /Type /Catalog /Pages 2 0 R") + r.catalog + " >>",
                                  "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
                                  "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 300 300] >>"});
      pdf.replace(0, 8, r.header);
      const std::string in = d / "in.pdf", out = d / "out.pdf";
      tu::write_file(in, pdf);
      ASSERT_EQ(stamp_extended(in, out, "DRAFT", incremental), 1) << reraruvozari_last_error();
      const std::string cat = tu::run("qpdf --show-object=1 '" + out + "'").out;
      const size_t at = cat.find("/Version");
      EXPECT_EQ(at == std::string::npos ? "" : cat.substr(at, 13), r.after) << cat;
    }
  }
}

// Keys spelt with '#' escapes are the keys they spell: the catalog's
// escaped /OCProperties is extended (not given a second one, which qpdf
// warns of and which showed the hidden layer), and the stamp's entries in
// an escaped /Resources come off again.
TEST(Removal, EscapedKeysAreTheKeysTheySpell) {
  REQUIRE_TOOL("pdftoppm");
  REQUIRE_TOOL("qpdf");
  const std::string content = "q 1 0 0 rg 0 0 100 100 re f Q /OC /L1 BDC 0 0 1 rg 100 100 100 100 re f EMC";
  tu::temp_dir d;
  const std::string in = d / "in.pdf", st = d / "st.pdf", out = d / "out.pdf";
  tu::write_file(in, make_pdf({"<< /Type /Catalog /Pages 2 0 R /OCPropert#69es << /OCGs [5 0 R] "
                               "/D << /OFF [5 0 R] /Order [5 0 R] >> >> >>",
                               "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
                               "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 300 300] /Contents 4 0 R "
                               "/Res#6Furces << /Properties << /L1 5 0 R >> >> >>",
                               stream_obj("", content), "<< /Type /OCG /Name (Hidden) >>"}));
  ASSERT_EQ(reraruvozari_stamp_text(in.c_str(), st.c_str(), "DRAFT", nullptr), 1)
      << reraruvozari_last_error();
  tu::run_result check = tu::run("qpdf --check '" + st + "' 2>&1");
  EXPECT_EQ(check.status, 0) << check.out;
  int stamps = -1, pages = -1;
  ASSERT_EQ(reraruvozari_remove(st.c_str(), out.c_str(), nullptr, &stamps, &pages), 1)
      << reraruvozari_last_error();
  EXPECT_EQ(stamps, 1);
  EXPECT_EQ(tu::run("qpdf --qdf '" + out + "' - | grep -a -c KpWm").out, "0\n");
  EXPECT_EQ(tu::run("pdftoppm -r 20 '" + out + "'").out, tu::run("pdftoppm -r 20 '" + in + "'").out);
}

// A writer that chains one node per page makes a tree as deep as the
// document is long. The deepest page of a 150-level chain (stamped alone,
// so that nothing learnt on the way up from other pages helps) is stamped,
// keeps the font it inherits from the root (pdffonts lists it beside the
// stamp's), and the stamp comes off again.
TEST(Removal, DeepChainedPageTreeStampedAndCleanedWhole) {
  REQUIRE_TOOL("pdffonts");
  REQUIRE_TOOL("pdftotext");
  REQUIRE_TOOL("qpdf");
  const int levels = 150;
  // 1 catalog, 2 font, 3 content; node 4 + 2i lists page 5 + 2i and node 6 + 2i.
  std::vector<std::string> objs = {
      "<< /Type /Catalog /Pages 4 0 R >>",
      "<< /Type /Font /Subtype /Type1 /BaseFont /Times-Roman >>",
      stream_obj("", "BT /F1 24 Tf 72 72 Td (Deep page) Tj ET")};
  for (int i = 0; i < levels; i++) {
    const int node = 4 + 2 * i;
    std::string kids = std::to_string(node + 1) + " 0 R";
    if (i + 1 < levels) kids += " " + std::to_string(node + 2) + " 0 R";
    std::string extra = i == 0 ? " /Resources << /Font << /F1 2 0 R >> >> /MediaBox [0 0 400 300]"
                               : " /Parent " + std::to_string(node - 2) + " 0 R";
    objs.push_back("<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(levels - i) +
                   extra + " >>");
    objs.push_back("<< /Type /Page /Parent " + std::to_string(node) + " 0 R /Contents 3 0 R >>");
  }
  tu::temp_dir d;
  const std::string in = d / "in.pdf", st = d / "st.pdf", out = d / "out.pdf";
  tu::write_file(in, make_pdf(objs));
  // The deepest page alone, then every page: the climbs that share what
  // they learnt from page to page must give the same answers.
  for (const char *pages_wanted : {"last", "1-"}) {
    SCOPED_TRACE(pages_wanted);
    reraruvozari_options *o = reraruvozari_options_new();
    ASSERT_NE(o, nullptr);
    ASSERT_EQ(reraruvozari_options_set_position(o, "center"), 1);
    ASSERT_EQ(reraruvozari_options_set_pages(o, pages_wanted), 1);
    ASSERT_EQ(reraruvozari_stamp_text(in.c_str(), st.c_str(), "MARKED", o), 1)
        << reraruvozari_last_error();
    reraruvozari_options_free(o);
    EXPECT_EQ(tu::run("qpdf --check '" + st + "' >/dev/null 2>&1").status, 0);
    const std::string last = " -f " + std::to_string(levels) + " -l " + std::to_string(levels) + " ";
    const std::string fonts = tu::run("pdffonts" + last + "'" + st + "'").out;
    EXPECT_NE(fonts.find("Times-Roman"), std::string::npos) << fonts;
    EXPECT_NE(fonts.find("Helvetica-Bold"), std::string::npos) << fonts;
    std::string text = tu::run("pdftotext" + last + "'" + st + "' -").out;
    EXPECT_NE(text.find("Deep page"), std::string::npos) << text;
    EXPECT_NE(text.find("MARKED"), std::string::npos) << text;

    int stamps = -1, pages = -1;
    ASSERT_EQ(reraruvozari_remove(st.c_str(), out.c_str(), nullptr, &stamps, &pages), 1)
        << reraruvozari_last_error();
    const int want = std::string(pages_wanted) == "last" ? 1 : levels;
    EXPECT_EQ(stamps, want);
    EXPECT_EQ(pages, want);
    EXPECT_EQ(tu::run("qpdf --check '" + out + "' >/dev/null 2>&1").status, 0);
    text = tu::run("pdftotext '" + out + "' -").out;
    EXPECT_EQ(text.find("MARKED"), std::string::npos);
    EXPECT_EQ(tu::run("qpdf --qdf '" + out + "' - | grep -a -c KpWm").out, "0\n");
  }
}

// A classic stamp in a file another program rewrote: compressed streams
// and object streams still come off; content merged into one stream is
// reported and left.
TEST(Removal, ClassicStampAfterQpdfRewrote) {
  REQUIRE_TOOL("qpdf");
  REQUIRE_TOOL("pdftoppm");
  struct {
    const char *qpdf_args;
    int stamps;
    const char *notice;
  } cases[] = {
      {"--compress-streams=y --object-streams=generate", 1, ""},
      {"--coalesce-contents", 0,
       "page 1: stamp left in place, the page was changed after stamping\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.qpdf_args);
    tu::temp_dir d;
    std::vector<std::string> objs = one_page_doc(" /Contents 4 0 R");
    objs.push_back(stream_obj("", "0 0 1 rg 9 9 90 90 re f"));
    tu::write_file(d / "in.pdf", make_pdf(objs));
    ASSERT_EQ(stamp_text(d / "in.pdf", d / "s.pdf", "CLASSIC"), 1);
    ASSERT_EQ(tu::run("qpdf " + std::string(c.qpdf_args) + " '" + (d / "s.pdf") + "' '" +
                      (d / "q.pdf") + "' 2>&1").status,
              0);
    int stamps = -1;
    ASSERT_EQ(reraruvozari_remove((d / "q.pdf").c_str(), (d / "out.pdf").c_str(), nullptr,
                                  &stamps, nullptr),
              1)
        << reraruvozari_last_error();
    EXPECT_EQ(stamps, c.stamps);
    EXPECT_STREQ(reraruvozari_last_notice(), c.notice);
    auto render = [&](const std::string &p) { return tu::run("pdftoppm -r 30 '" + p + "'").out; };
    EXPECT_EQ(render(d / "out.pdf"), render(d / (c.stamps ? "in.pdf" : "q.pdf")));
  }
}

namespace {

// A PDF whose objects 1..n are `objs` and whose objects n+1.. are `packed`,
// stored in one object stream (number n + packed + 1, no filter) and listed
// by a cross-reference stream (the last object).
std::string make_packed_pdf(const std::vector<std::string> &objs,
                            const std::vector<std::string> &packed) {
  const int n = static_cast<int>(objs.size()), m = static_cast<int>(packed.size());
  const int stm = n + m + 1, xref = n + m + 2;
  std::string head, body;
  for (int i = 0; i < m; i++) {
    head += std::to_string(n + 1 + i) + " " + std::to_string(body.size()) + " ";
    body += packed[i] + "\n";
  }
  std::vector<std::string> all = objs;
  all.push_back(stream_obj(" /Type /ObjStm /N " + std::to_string(m) + " /First " +
                               std::to_string(head.size()),
                           head + body));
  std::string s = "%PDF-1.5\n";
  std::vector<size_t> off;
  for (size_t i = 0; i < all.size(); i++) {
    off.push_back(s.size());
    s += std::to_string(i + 1) + " 0 obj\n" + all[i] + "\nendobj\n";
  }
  size_t x = s.size();
  auto entry = [](int type, uint32_t a, uint16_t b) {
    std::string e(7, '\0');
    e[0] = static_cast<char>(type);
    for (int k = 0; k < 4; k++) e[1 + k] = static_cast<char>(a >> (24 - 8 * k));
    e[5] = static_cast<char>(b >> 8);
    e[6] = static_cast<char>(b);
    return e;
  };
  std::string data = entry(0, 0, 65535);
  for (int i = 0; i < n; i++) data += entry(1, static_cast<uint32_t>(off[i]), 0);
  for (int i = 0; i < m; i++) data += entry(2, static_cast<uint32_t>(stm), static_cast<uint16_t>(i));
  data += entry(1, static_cast<uint32_t>(off[n]), 0);
  data += entry(1, static_cast<uint32_t>(x), 0);
  s += std::to_string(xref) + " 0 obj\n" +
       stream_obj(" /Type /XRef /Size " + std::to_string(xref + 1) +
                      " /W [1 4 2] /Root 1 0 R",
                  data) +
       "\nendobj\nstartxref\n" + std::to_string(x) + "\n%%EOF\n";
  return s;
}

// Catalog 1, pages 2, page 3 (its dictionary's entries in `page`), content
// 4 drawing "Original" with font 5, then `extra` as objects 6, 7, ...
std::vector<std::string> syntax_doc(const std::string &page,
                                    const std::string &pages_extra = "",
                                    const std::vector<std::string> &extra = {}) {
  std::vector<std::string> objs = {
      "<< /Type /Catalog /Pages 2 0 R >>",
      "<< /Type /Pages /Kids [3 0 R] /Count 1" + pages_extra + " >>",
      "<< /Type /Page /Parent 2 0 R" + page + " >>",
      stream_obj("", "BT /F1 12 Tf 20 20 Td (Original) Tj ET"),
      "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>"};
  objs.insert(objs.end(), extra.begin(), extra.end());
  return objs;
}

const std::string k_res = " /Resources << /Font << /F1 5 0 R >> >>";
const std::string k_nul(1, '\0');

}  // namespace

// Page and resource dictionaries are edited as PDF syntax: strings,
// comments, escaped names, nesting and zero bytes are read as a reader
// reads them. Each file is stamped and judged by qpdf and poppler: the
// page's own text and the stamp are both found, or the call fails naming
// the page.
TEST(Stamping, DictionarySyntaxClasses) {
  REQUIRE_TOOL("qpdf");
  REQUIRE_TOOL("pdftotext");
  struct {
    const char *name;
    std::string pdf;
    bool original;            // the page's own text is expected
    const char *error;        // a failure naming the page, or NULL
    const char *output_has;   // bytes the output holds, or NULL
  } cases[] = {
      {"zero byte in a UTF-16 string of /PieceInfo",
       make_pdf(syntax_doc(" /PieceInfo << /A << /Private (\xFE\xFF" + k_nul + "A" +
                           k_nul + "B) >> >> /MediaBox [0 0 300 300]" + k_res +
                           " /Contents 4 0 R")),
       true, nullptr, "(\xFE\xFF\\000A\\000B)"},
      {"zero byte as whitespace in the page",
       make_pdf(syntax_doc(k_nul + "/MediaBox [0 0 300 300]" + k_nul + k_res + k_nul +
                           "/Contents" + k_nul + "4 0 R" + k_nul)),
       true, nullptr, nullptr},
      {"zero byte as whitespace in /Pages",
       make_pdf(syntax_doc(" /Contents 4 0 R", k_nul + "/MediaBox [0 0 300 300]" + k_nul + k_res)),
       true, nullptr, nullptr},
      {"comment holding >> and (",
       make_pdf(syntax_doc(" % was >> (draft\n /MediaBox [0 0 300 300]" + k_res +
                           " /Contents 4 0 R")),
       true, nullptr, nullptr},
      {"string naming /Contents before the key",
       make_pdf(syntax_doc(" /Note (/Contents 9 0 R) /MediaBox [0 0 300 300]" + k_res +
                           " /Contents 4 0 R")),
       true, nullptr, "/Note (/Contents 9 0 R)"},
      {"keys spelled with #xx",
       make_pdf(syntax_doc(" /MediaBox [0 0 300 300] /Res#6Furces << /Font << /F1 5 0 R >> >>"
                           " /Cont#65nts 4 0 R")),
       true, nullptr, nullptr},
      {"nested dictionaries with their own /Contents and /Resources first",
       make_pdf(syntax_doc(" /PieceInfo << /X << /Contents (note) /Resources null >> >>"
                           " /MediaBox [0 0 300 300]" + k_res + " /Contents 4 0 R")),
       true, nullptr, "/PieceInfo << /X << /Contents (note) /Resources null >> >>"},
      {"endobj in strings of the catalog and the page",
       [] {
         std::vector<std::string> o =
             syntax_doc(" /T (one endobj two) /MediaBox [0 0 300 300]" + k_res +
                        " /Contents 4 0 R");
         o[0] = "<< /Type /Catalog /Pages 2 0 R /Lang (en endobj) >>";
         return make_pdf(o);
       }(),
       true, nullptr, "/Lang (en endobj)"},
      {"/Contents null", make_pdf(syntax_doc(" /MediaBox [0 0 300 300] /Contents null")),
       false, nullptr, nullptr},
      {"/Contents naming a missing object",
       make_pdf(syntax_doc(" /MediaBox [0 0 300 300] /Contents 99 0 R")), false, nullptr,
       nullptr},
      // The null object, or any value that is neither a stream nor an array
      // of them, names no content: the page draws the stamp alone (inside
      // the new array, readers drew nothing of the page).
      {"/Contents naming the null object",
       make_pdf(syntax_doc(" /MediaBox [0 0 300 300] /Contents 6 0 R", "", {"null"})), false,
       nullptr, nullptr},
      {"/Contents naming a dictionary without a stream",
       make_pdf(syntax_doc(" /MediaBox [0 0 300 300] /Contents 6 0 R", "", {"<< /Length 0 >>"})),
       false, nullptr, nullptr},
      // The stamp is centred on the 200 x 100 page, not on US Letter.
      {"indirect /MediaBox",
       make_pdf(syntax_doc(" /MediaBox 6 0 R" + k_res + " /Contents 4 0 R", "",
                           {"[0 0 200 100]"})),
       true, nullptr, " 100.00 50.00 cm\n"},
      // The node between the page and the resources holds a /Resources that
      // is no dictionary: the page still inherits F1 from the root.
      {"malformed /Resources on an intermediate node",
       [] {
         std::vector<std::string> o = syntax_doc(" /Contents 4 0 R", "", {});
         o[1] = "<< /Type /Pages /Kids [6 0 R] /Count 1 /MediaBox [0 0 300 300]" + k_res + " >>";
         o[2] = "<< /Type /Page /Parent 6 0 R /Contents 4 0 R >>";
         o.push_back("<< /Type /Pages /Parent 2 0 R /Kids [3 0 R] /Count 1 /Resources null >>");
         return make_pdf(o);
       }(),
       true, nullptr, nullptr},
      {"packed page whose comments hold ( and >>",
       make_packed_pdf(
           {"<< /Type /Catalog /Pages 2 0 R >>",
            "<< /Type /Pages /Kids [6 0 R] /Count 1 /MediaBox [0 0 300 300] >>",
            "<< /Font << /F1 5 0 R >> >>",
            stream_obj("", "BT /F1 12 Tf 20 20 Td (Original) Tj ET"),
            "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>"},
           {"% page (one\n<< /Type /Page % >> here\n /Parent 2 0 R /Resources 3 0 R"
            " /Contents 4 0 R >>"}),
       true, nullptr, nullptr},
      // The name dictionary's named pages come before the catalog's own
      // page tree.
      {"catalog whose name dictionary has /Pages first",
       [] {
         std::vector<std::string> o =
             syntax_doc(" /MediaBox [0 0 300 300]" + k_res + " /Contents 4 0 R");
         o[0] = "<< /Type /Catalog /Names << /Pages 6 0 R >> /Pages 2 0 R >>";
         o.push_back("<< /Names [(front) 3 0 R] >>");
         return make_pdf(o);
       }(),
       true, nullptr, nullptr},
      // A stream that names /ObjStm without being one is page content.
      {"content stream naming /ObjStm",
       [] {
         std::vector<std::string> o =
             syntax_doc(" /MediaBox [0 0 300 300]" + k_res + " /Contents 4 0 R");
         o[3] = stream_obj(" /Note /ObjStm /N 1 /First 4",
                           "BT /F1 12 Tf 20 20 Td (Original) Tj ET");
         return make_pdf(o);
       }(),
       true, nullptr, nullptr},
      // Every /Contents entry goes; the first one's content stays drawn.
      {"two /Contents entries",
       make_pdf(syntax_doc(" /MediaBox [0 0 300 300]" + k_res + " /Contents 4 0 R /Contents null")),
       true, nullptr, nullptr},
      {"/Contents array followed by a word",
       make_pdf(syntax_doc(" /MediaBox [0 0 300 300]" + k_res + " /Contents [4 0 R]/X 1")),
       true, nullptr, nullptr},
      {"/Contents that is a number",
       make_pdf(syntax_doc(" /MediaBox [0 0 300 300] /Contents 4")), false,
       "cannot stamp page 1: the page's /Contents is neither a stream nor an array",
       nullptr},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    tu::temp_dir d;
    const std::string in = d / "in.pdf", out = d / "out.pdf";
    tu::write_file(in, c.pdf);
    int r = stamp_text(in, out, "STAMPED");
    if (c.error) {
      EXPECT_EQ(r, 0);
      EXPECT_STREQ(reraruvozari_last_error(), c.error);
      EXPECT_FALSE(tu::exists(out));
      // The extended call fails the same way, incrementally too.
      for (int incremental : {0, 1}) {
        reraruvozari_options *o = reraruvozari_options_new();
        ASSERT_NE(o, nullptr);
        reraruvozari_options_set_incremental(o, incremental);
        EXPECT_EQ(reraruvozari_stamp_text(in.c_str(), out.c_str(), "STAMPED", o), 0);
        EXPECT_STREQ(reraruvozari_last_error(), c.error);
        EXPECT_FALSE(tu::exists(out));
        reraruvozari_options_free(o);
      }
      continue;
    }
    ASSERT_EQ(r, 1) << reraruvozari_last_error();
    tu::run_result q = tu::run("qpdf --check '" + out + "' 2>&1");
    EXPECT_EQ(q.status, 0) << q.out;
    std::string text = tu::run("pdftotext '" + out + "' - 2>/dev/null").out;
    EXPECT_NE(text.find("STAMPED"), std::string::npos) << text;
    if (c.original) {
      EXPECT_NE(text.find("Original"), std::string::npos) << text;
    }
    if (c.output_has) {
      EXPECT_NE(tu::read_text(out).find(c.output_has), std::string::npos);
    }
  }
}

// A file stamped before is stamped again with names of its own: each text
// is found as it was written (an ASCII text after a Unicode one and the
// other way round), each image is listed and drawn with its own opacity.
TEST(Stamping, RestampingKeepsEveryStamp) {
  REQUIRE_TOOL("qpdf");
  REQUIRE_TOOL("pdftotext");
  REQUIRE_TOOL("pdfimages");
  REQUIRE_TOOL("pdftoppm");
  tu::temp_dir d;
  // 40 x 40 opaque squares, red and blue.
  auto square = [&](const std::string &name, uint8_t r, uint8_t g, uint8_t b) {
    std::vector<uint8_t> px(40 * 40 * 4);
    for (size_t i = 0; i < px.size(); i += 4) {
      px[i] = r;
      px[i + 1] = g;
      px[i + 2] = b;
      px[i + 3] = 255;
    }
    std::string path = d / name;
    EXPECT_EQ(kp_png_write(path.c_str(), 40, 40, px.data()), 1);
    return path;
  };
  const std::string red = square("red.png", 255, 0, 0), blue = square("blue.png", 0, 0, 255);
  struct step {
    const char *text;  // NULL: the image
    std::string image;
    float opacity;
    int position;
  };
  struct {
    const char *name;
    std::vector<step> steps;
  } cases[] = {
      {"ASCII then Unicode", {{"DRAFTONE", "", 0.5f, 1}, {"Черновик", "", 0.5f, 4}}},
      {"Unicode then ASCII", {{"Черновик", "", 0.5f, 1}, {"FINALTWO", "", 0.5f, 4}}},
      {"three texts", {{"ALPHA", "", 0.3f, 1}, {"Ωμέγα", "", 0.6f, 2}, {"GAMMA", "", 0.9f, 3}}},
      {"two images and a text",
       {{nullptr, red, 0.3f, 1}, {nullptr, blue, 0.8f, 4}, {"LATER", "", 0.5f, 0}}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    std::string in = d / "in.pdf";
    tu::write_file(in, make_pdf(one_page_doc()));
    int images = 0;
    for (size_t i = 0; i < c.steps.size(); i++) {
      const step &s = c.steps[i];
      std::string out = d / ("out" + std::to_string(i) + ".pdf");
      int r = s.text ? stamp_text(in, out, s.text, s.opacity, 0, 24, s.position)
                     : reraruvozari_image(in.c_str(), out.c_str(), s.image.c_str(),
                                          s.opacity, s.position, 1.0f);
      ASSERT_EQ(r, 1) << reraruvozari_last_error();
      images += s.text ? 0 : 1;
      in = out;
    }
    EXPECT_EQ(tu::run("qpdf --check '" + in + "' >/dev/null 2>&1").status, 0);
    std::string text = tu::run("pdftotext '" + in + "' - 2>/dev/null").out;
    for (const step &s : c.steps) {
      if (s.text) {
        EXPECT_NE(text.find(s.text), std::string::npos) << text;
      }
    }
    std::string list = tu::run("pdfimages -list '" + in + "' 2>/dev/null").out;
    int listed = 0;  // rows whose type column says "image"
    std::istringstream rows(list);
    for (std::string row; std::getline(rows, row);) {
      std::istringstream f(row);
      std::string page, num, type;
      if (f >> page >> num >> type && type == "image") listed++;
    }
    EXPECT_EQ(listed, images) << list;
    if (images == 0) continue;
    // Red at 0.3 in the top left corner, blue at 0.8 in the bottom right,
    // each over the white page.
    ASSERT_EQ(tu::run("pdftoppm -r 72 -singlefile '" + in + "' '" + (d / "p") + "'").status, 0);
    std::vector<uint8_t> ppm = tu::read_file(d / "p.ppm");
    const size_t head = std::string("P6\n612 792\n255\n").size();
    ASSERT_EQ(ppm.size(), head + 612u * 792 * 3);
    const uint8_t *tl = &ppm[head + (56 * 612 + 56) * 3];
    const uint8_t *br = &ppm[head + (736 * 612 + 556) * 3];
    EXPECT_NEAR(tl[0], 255, 3);
    EXPECT_NEAR(tl[1], 255 * 0.7, 3);
    EXPECT_NEAR(tl[2], 255 * 0.7, 3);
    EXPECT_NEAR(br[0], 255 * 0.2, 3);
    EXPECT_NEAR(br[1], 255 * 0.2, 3);
    EXPECT_NEAR(br[2], 255, 3);
  }
}

// Certified documents, their DocMDP level reached through direct and
// indirect objects: every level refuses a stamp and a removal unless
// permissions are ignored; the classic calls stamp them as before.
TEST(Certification, EveryLevelRefusesUnlessOverridden) {
  REQUIRE_TOOL("qpdf");
  REQUIRE_TOOL("pdftotext");
  const std::string sig = "<< /Type /Sig /Filter /Adobe.PPKLite /ByteRange [0 0 0 0] /Contents <00>";
  const std::string params = "/TransformMethod /DocMDP /TransformParams ";
  struct row {
    const char *name;
    std::string perms;      // the catalog's entry
    std::string reference;  // the signature's /Reference value
    std::string extra[3];   // objects 5, 6, 7
    const char *allowed;    // NULL: not certified
  } rows[] = {
      {"not certified", "", "", {}, nullptr},
      {"only usage rights", "/Perms << /UR3 4 0 R >>", "[]", {}, nullptr},
      {"level 1", "/Perms << /DocMDP 4 0 R >>",
       "[<< /Type /SigRef " + params + "<< /Type /TransformParams /P 1 /V /1.2 >> >>]", {},
       "no changes allowed"},
      {"level 2, all indirect", "/Perms 7 0 R", "5 0 R",
       {"[<< /TransformMethod /FieldMDP /TransformParams << /P 1 >> >> 6 0 R]",
        "<< " + params + "8 0 R >>", "<< /DocMDP 4 0 R >>"},
       "only form filling and signing allowed"},
      {"level 3", "/Perms << /DocMDP 4 0 R >>", "[<< " + params + "<< /P 3 >> >>]", {},
       "only form filling, signing and annotations allowed"},
      {"no level: the default", "/Perms << /DocMDP 4 0 R >>", "[<< " + params + "<< >> >>]",
       {}, "only form filling and signing allowed"},
      {"unknown level", "/Perms << /DocMDP 4 0 R >>", "[<< " + params + "<< /P 9 >> >>]", {},
       "only form filling and signing allowed"},
      {"no reference", "/Perms << /DocMDP 4 0 R >>", "[]", {},
       "only form filling and signing allowed"},
  };
  tu::temp_dir d;
  for (const auto &r : rows) {
    SCOPED_TRACE(r.name);
    std::vector<std::string> objs = one_page_doc(" /Contents 9 0 R");
    objs[0] = "<< /Type /Catalog /Pages 2 0 R " + r.perms + " >>";
    objs.push_back(sig + " /Reference " + (r.reference.empty() ? "[]" : r.reference) + " >>");
    for (const std::string &e : r.extra) objs.push_back(e.empty() ? "<< >>" : e);
    objs.push_back("<< /P 2 >>");  // 8: the level-2 row's parameters
    objs.push_back(stream_obj("", "BT /F1 12 Tf 72 700 Td (Body) Tj ET"));
    const std::string in = d / "in.pdf", out = d / "out.pdf", back = d / "back.pdf";
    tu::write_file(in, make_pdf(objs));
    reraruvozari_options *o = reraruvozari_options_new();
    ASSERT_EQ(reraruvozari_options_set_position(o, "top"), 1);
    for (int incremental = 0; incremental < 2; incremental++) {
      unlink(out.c_str());
      ASSERT_EQ(reraruvozari_options_set_incremental(o, incremental), 1);
      ASSERT_EQ(reraruvozari_options_set_ignore_permissions(o, 0), 1);
      int ok = reraruvozari_stamp_text(in.c_str(), out.c_str(), "CERTSTAMP", o);
      if (r.allowed) {
        EXPECT_EQ(ok, 0);
        EXPECT_EQ(std::string(reraruvozari_last_error()),
                  std::string("the document is certified with ") + r.allowed +
                      "; use --ignore-permissions to stamp it anyway");
        EXPECT_FALSE(tu::exists(out));
        ASSERT_EQ(reraruvozari_options_set_ignore_permissions(o, 1), 1);
      }
      ASSERT_EQ(reraruvozari_stamp_text(in.c_str(), out.c_str(), "CERTSTAMP", o), 1)
          << reraruvozari_last_error();
      EXPECT_EQ(tu::run("qpdf --check '" + out + "' >/dev/null 2>&1").status, 0);
      EXPECT_NE(tu::run("pdftotext '" + out + "' - 2>/dev/null").out.find("CERTSTAMP"),
                std::string::npos);
      if (incremental) {
        EXPECT_EQ(tu::read_text(out).compare(0, tu::read_text(in).size(), tu::read_text(in)), 0);
      }
      // Taking the stamp off again changes the pages as well.
      ASSERT_EQ(reraruvozari_options_set_ignore_permissions(o, 0), 1);
      int stamps = 0;
      ok = reraruvozari_remove(out.c_str(), back.c_str(), o, &stamps, nullptr);
      if (r.allowed) {
        EXPECT_EQ(ok, 0);
        EXPECT_NE(std::string(reraruvozari_last_error()).find("to remove its stamps anyway"),
                  std::string::npos) << reraruvozari_last_error();
        ASSERT_EQ(reraruvozari_options_set_ignore_permissions(o, 1), 1);
        ok = reraruvozari_remove(out.c_str(), back.c_str(), o, &stamps, nullptr);
      }
      EXPECT_EQ(ok, 1) << reraruvozari_last_error();
      EXPECT_EQ(stamps, 1);
      EXPECT_EQ(tu::run("pdftotext '" + back + "' - 2>/dev/null").out.find("CERTSTAMP"),
                std::string::npos);
    }
    reraruvozari_options_free(o);
    // The classic call knows no such option and stamps as it always did.
    EXPECT_EQ(stamp_text(in, out, "CLASSIC"), 1) << reraruvozari_last_error();
  }
}
