// The layout options of the extended calls, judged by poppler: pdftotext
// reports words in the page as displayed (after /Rotate), pdftoppm renders
// the whole MediaBox so that anything drawn past the visible page shows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "png.h"
#include "reraruvozari.h"
#include "test_util.h"

namespace {

struct page_spec {
  double w, h;          // the visible box
  double crop_x, crop_y;  // its offset inside a larger MediaBox (0: none)
  std::string extra;    // more entries of the page dictionary
  std::string content;  // the page's content stream ("" : none)
};

// A document of the given pages; `pages_extra` goes into the page tree
// node (for inherited entries).
std::string build_doc(const std::vector<page_spec> &pages,
                      const std::string &pages_extra = "") {
  std::vector<std::string> objs = {"<< /Type /Catalog /Pages 2 0 R >>", ""};
  std::string kids;
  for (const page_spec &p : pages) {
    int num = static_cast<int>(objs.size()) + 1;
    kids += std::to_string(num) + " 0 R ";
    char box[256];
    if (p.crop_x != 0 || p.crop_y != 0)
      snprintf(box, sizeof box,
               "/MediaBox [0 0 %g %g] /CropBox [%g %g %g %g]",
               p.w + 2 * p.crop_x, p.h + 2 * p.crop_y, p.crop_x, p.crop_y,
               p.crop_x + p.w, p.crop_y + p.h);
    else
      snprintf(box, sizeof box, "/MediaBox [0 0 %g %g]", p.w, p.h);
    std::string page = "<< /Type /Page /Parent 2 0 R " + std::string(box) +
                       " " + p.extra;
    if (!p.content.empty()) page += " /Contents " + std::to_string(num + 1) + " 0 R";
    objs.push_back(page + " >>");
    if (!p.content.empty())
      objs.push_back("<< /Length " + std::to_string(p.content.size()) +
                     " >>\nstream\n" + p.content + "\nendstream");
  }
  objs[1] = "<< /Type /Pages /Kids [" + kids + "] /Count " +
            std::to_string(pages.size()) + " " + pages_extra + " >>";
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

using setup_fn = std::function<void(reraruvozari_options *)>;

// Stamps with a fresh options object set up by `setup`; the call's result.
int stamp(const std::string &in, const std::string &out, const char *text,
          const setup_fn &setup, const char *png = nullptr) {
  reraruvozari_options *o = reraruvozari_options_new();
  if (setup) setup(o);
  int ok = png ? reraruvozari_stamp_image(in.c_str(), out.c_str(), png, o)
               : reraruvozari_stamp_text(in.c_str(), out.c_str(), text, o);
  reraruvozari_options_free(o);
  return ok;
}

struct word {
  std::string text;
  double x0, y0, x1, y1;  // displayed page, y down from the top
};

// pdftotext -bbox: the words of one page.
std::vector<word> words(const std::string &pdf, int page) {
  tu::run_result r = tu::run("pdftotext -bbox -f " + std::to_string(page) +
                             " -l " + std::to_string(page) + " '" + pdf +
                             "' - 2>/dev/null");
  std::vector<word> out;
  std::istringstream in(r.out);
  std::string line;
  while (std::getline(in, line)) {
    word w;
    double v[4];
    const char *names[4] = {"xMin=\"", "yMin=\"", "xMax=\"", "yMax=\""};
    if (line.find("<word ") == std::string::npos) continue;
    for (int i = 0; i < 4; i++)
      v[i] = atof(line.c_str() + line.find(names[i]) + strlen(names[i]));
    size_t a = line.find('>') + 1, b = line.rfind("</word>");
    w.text = line.substr(a, b - a);
    w.x0 = v[0];
    w.y0 = v[1];
    w.x1 = v[2];
    w.y1 = v[3];
    out.push_back(w);
  }
  return out;
}

// pdftotext -raw of one page without white space: the text in the order the
// content draws it.
std::string raw_text(const std::string &pdf, int page) {
  tu::run_result r = tu::run("pdftotext -raw -f " + std::to_string(page) +
                             " -l " + std::to_string(page) + " '" + pdf +
                             "' - 2>/dev/null");
  std::string s;
  for (char c : r.out)
    if (!isspace(static_cast<unsigned char>(c))) s += c;
  return s;
}

struct image {
  int w = 0, h = 0;
  std::vector<uint8_t> rgb;
  bool ink(int x, int y) const {
    const uint8_t *p = &rgb[(static_cast<size_t>(y) * w + x) * 3];
    return p[0] < 250 || p[1] < 250 || p[2] < 250;
  }
};

// The whole MediaBox of a page rendered at `dpi`.
image render(const tu::temp_dir &d, const std::string &pdf, int page, double dpi) {
  image img;
  std::string base = d / "render";
  if (tu::run("pdftoppm -r " + std::to_string(dpi) + " -f " +
              std::to_string(page) + " -l " + std::to_string(page) +
              " -singlefile '" + pdf + "' '" + base + "'")
          .status != 0)
    return img;
  std::string ppm = tu::read_text(base + ".ppm");
  std::istringstream in(ppm);
  std::string magic;
  int maxval;
  in >> magic >> img.w >> img.h >> maxval;
  in.get();
  img.rgb.resize(static_cast<size_t>(img.w) * img.h * 3);
  in.read(reinterpret_cast<char *>(img.rgb.data()),
          static_cast<std::streamsize>(img.rgb.size()));
  return img;
}

// The box around the ink of a rendering, in pixels; x1 < 0 when none.
struct ink_box {
  int x0, y0, x1, y1;
  double centroid_x;
};
ink_box ink_of(const image &img) {
  ink_box b{img.w, img.h, -1, -1, 0};
  double sum = 0, n = 0;
  for (int y = 0; y < img.h; y++)
    for (int x = 0; x < img.w; x++)
      if (img.ink(x, y)) {
        b.x0 = std::min(b.x0, x);
        b.x1 = std::max(b.x1, x);
        b.y0 = std::min(b.y0, y);
        b.y1 = std::max(b.y1, y);
        sum += x;
        n++;
      }
  b.centroid_x = n > 0 ? sum / n : 0;
  return b;
}

std::string opaque_png(const tu::temp_dir &d, int w, int h) {
  std::vector<uint8_t> px(static_cast<size_t>(w) * h * 4, 0);
  for (size_t i = 0; i < px.size(); i += 4) {
    px[i] = 20;
    px[i + 3] = 255;
  }
  std::string path = d / "opaque.png";
  kp_png_write(path.c_str(), w, h, px.data());
  return path;
}

}  // namespace

// On pages shown rotated (own or inherited /Rotate, normalised as viewers
// do), every position lands where the reader sees it, as a horizontal word
// reading left to right.
TEST(Layout, UprightOnTheDisplayedPageForEveryRotation) {
  REQUIRE_TOOL("pdftotext");
  REQUIRE_TOOL("pdftoppm");
  tu::temp_dir d;
  struct {
    const char *name;
    int col, row;  // -1 left/top, 0 middle, 1 right/bottom
  } positions[] = {
      {"top-left", -1, -1},   {"top-right", 1, -1}, {"bottom-left", -1, 1},
      {"bottom-right", 1, 1}, {"top", 0, -1},       {"bottom", 0, 1},
      {"left", -1, 0},        {"right", 1, 0},      {"center", 0, 0},
  };
  const int rotations[] = {0, 90, 180, 270, -90, 450};
  for (int rot : rotations) {
    for (int inherited = 0; inherited < 2; inherited++) {
      const std::string r = "/Rotate " + std::to_string(rot);
      tu::write_file(d / "in.pdf",
                     build_doc({{400, 600, 0, 0, inherited ? "" : r, ""}},
                               inherited ? r : ""));
      const bool turned = ((rot % 360) + 360) % 180 == 90;
      const double W = turned ? 600 : 400, H = turned ? 400 : 600;
      for (const auto &p : positions) {
        SCOPED_TRACE(std::string(p.name) + " rotate " + std::to_string(rot) +
                     (inherited ? " inherited" : " own"));
        ASSERT_EQ(stamp(d / "in.pdf", d / "out.pdf", "iWWWW",
                        [&](reraruvozari_options *o) {
                          reraruvozari_options_set_position(o, p.name);
                          reraruvozari_options_set_size(o, 24);
                          reraruvozari_options_set_opacity(o, 1);
                        }),
                  1)
            << reraruvozari_last_error();
        std::vector<word> ws = words(d / "out.pdf", 1);
        ASSERT_EQ(ws.size(), 1u);
        const word &w = ws[0];
        EXPECT_EQ(w.text, "iWWWW");
        EXPECT_GT(w.x1 - w.x0, 2 * (w.y1 - w.y0)) << "not horizontal";
        const double mx = (w.x0 + w.x1) / 2, my = (w.y0 + w.y1) / 2;
        // How far the word is from where it belongs, across and down.
        const double dx = p.col < 0 ? w.x0 - 36 : p.col > 0 ? w.x1 - (W - 36) : mx - W / 2;
        const double dy = p.row < 0 ? w.y0 - 36 : p.row > 0 ? w.y1 - (H - 36) : my - H / 2;
        EXPECT_NEAR(dx, 0, 1.5);
        EXPECT_NEAR(dy, 0, 1.5);
      }
      // Rendered: the thin "i" on the left, the heavy "W"s on the right.
      image img = render(d, d / "out.pdf", 1, 36);
      ink_box b = ink_of(img);
      ASSERT_GE(b.x1, 0);
      EXPECT_GT(b.x1 - b.x0, b.y1 - b.y0);
      EXPECT_GT(b.centroid_x, (b.x0 + b.x1) / 2.0) << "not left to right";
    }
  }
}

// The rotation is the page's own /Rotate entry however it is spelt, and
// never a /Rotate inside a nested dictionary or a string of the page.
TEST(Layout, RotationIsThePageEntryItself) {
  REQUIRE_TOOL("pdftotext");
  tu::temp_dir d;
  struct {
    const char *entries;
    int rot;
  } rows[] = {
      {"/Rot#61te 90", 90},
      {"/Annots [<< /Subtype /Square /Rect [0 0 9 9] /Rotate 90 >>]", 0},
      {"/PieceInfo << /X << /Private (set /Rotate 180) >> >>", 0},
      {"/PieceInfo << /Rotate 270 >> /Rotate 90", 90},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.entries);
    tu::write_file(d / "in.pdf", build_doc({{400, 600, 0, 0, r.entries, ""}}));
    ASSERT_EQ(stamp(d / "in.pdf", d / "out.pdf", "iWWWW",
                    [&](reraruvozari_options *o) {
                      reraruvozari_options_set_position(o, "top-left");
                      reraruvozari_options_set_size(o, 24);
                    }),
              1)
        << reraruvozari_last_error();
    std::vector<word> ws = words(d / "out.pdf", 1);
    ASSERT_EQ(ws.size(), 1u);
    EXPECT_GT(ws[0].x1 - ws[0].x0, 2 * (ws[0].y1 - ws[0].y0)) << "not horizontal";
    EXPECT_NEAR(ws[0].x0, 36, 1.5);
    EXPECT_NEAR(ws[0].y0, 36, 1.5);
  }
}

// A CropBox the page inherits from its node is the page shown, as one of
// its own is: the stamp keeps its margin inside it (pdftotext measures from
// the MediaBox's top left).
TEST(Layout, InheritedCropBoxIsThePageShown) {
  REQUIRE_TOOL("pdftotext");
  tu::temp_dir d;
  struct {
    const char *name, *page_entries, *position;
    double x0, y0, x1, y1;  // expected corners of the word; < 0: not checked
  } cases[] = {
      {"top left", "", "top-left", 50 + 36, 40 + 36, -1, -1},
      {"bottom right", "", "bottom-right", -1, -1, 250 - 36, 340 - 36},
      {"the page's own wins", "/CropBox [100 100 280 380]", "top-left", 100 + 36, 20 + 36, -1,
       -1},
      // The same box by its other two corners, upper left first.
      {"corners in another order", "/CropBox [100 380 280 100]", "top-left", 100 + 36, 20 + 36,
       -1, -1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    tu::write_file(d / "in.pdf",
                   build_doc({{300, 400, 0, 0, c.page_entries, ""}}, "/CropBox [50 60 250 360]"));
    for (int classic = 0; classic < 2; classic++) {
      SCOPED_TRACE(classic ? "classic" : "extended");
      if (classic) {
        if (std::string(c.position) != "top-left") continue;
        // The classic call centres the text on the page shown.
        ASSERT_EQ(reraruvozari_text((d / "in.pdf").c_str(), (d / "out.pdf").c_str(), "iWWWW",
                                    1, 0, 24, 0, 0, 0, 0),
                  1);
        std::vector<word> ws = words(d / "out.pdf", 1);
        ASSERT_EQ(ws.size(), 1u);
        const double crop_x0 = c.x0 - 36, crop_y0 = c.y0 - 36;
        const double crop_w = c.page_entries[0] ? 180 : 200, crop_h = c.page_entries[0] ? 280 : 300;
        EXPECT_NEAR((ws[0].x0 + ws[0].x1) / 2, crop_x0 + crop_w / 2, 1.5);
        EXPECT_NEAR((ws[0].y0 + ws[0].y1) / 2, crop_y0 + crop_h / 2, 3);
        continue;
      }
      ASSERT_EQ(stamp(d / "in.pdf", d / "out.pdf", "iWWWW",
                      [&](reraruvozari_options *o) {
                        reraruvozari_options_set_position(o, c.position);
                        reraruvozari_options_set_size(o, 24);
                      }),
                1)
          << reraruvozari_last_error();
      std::vector<word> ws = words(d / "out.pdf", 1);
      ASSERT_EQ(ws.size(), 1u);
      if (c.x0 >= 0) {
        EXPECT_NEAR(ws[0].x0, c.x0, 1.5);
        EXPECT_NEAR(ws[0].y0, c.y0, 1.5);
      }
      if (c.x1 >= 0) {
        EXPECT_NEAR(ws[0].x1, c.x1, 1.5);
        EXPECT_NEAR(ws[0].y1, c.y1, 1.5);
      }
    }
  }
}

// Margins and offsets move the stamp on the displayed page; ignoring the
// rotation gives the classic placement, turned with the page.
TEST(Layout, MarginOffsetAndIgnoredRotation) {
  REQUIRE_TOOL("pdftotext");
  tu::temp_dir d;
  tu::write_file(d / "in.pdf", build_doc({{400, 600, 0, 0, "/Rotate 90", ""}}));
  struct {
    const char *name;
    setup_fn setup;
    double x0, y0;  // expected top-left of the word; < 0: not checked
    bool vertical;
  } cases[] = {
      {"margin 10", [](reraruvozari_options *o) {
         reraruvozari_options_set_margin(o, 10);
       }, 10, 10, false},
      {"offset right and down", [](reraruvozari_options *o) {
         reraruvozari_options_set_offset(o, 15, -25);
       }, 36 + 15, 36 + 25, false},
      {"margin and offset", [](reraruvozari_options *o) {
         reraruvozari_options_set_margin(o, 0);
         reraruvozari_options_set_offset(o, 5, 0);
       }, 5, 0, false},
      {"ignored rotation", [](reraruvozari_options *o) {
         reraruvozari_options_set_ignore_rotation(o, 1);
       }, -1, -1, true},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(stamp(d / "in.pdf", d / "out.pdf", "iWWWW",
                    [&](reraruvozari_options *o) {
                      reraruvozari_options_set_position(o, "top-left");
                      reraruvozari_options_set_size(o, 24);
                      c.setup(o);
                    }),
              1);
    std::vector<word> ws = words(d / "out.pdf", 1);
    ASSERT_EQ(ws.size(), 1u);
    EXPECT_EQ(c.vertical, ws[0].y1 - ws[0].y0 > ws[0].x1 - ws[0].x0);
    if (c.x0 >= 0) {
      EXPECT_NEAR(ws[0].x0, c.x0, 1.5);
      EXPECT_NEAR(ws[0].y0, c.y0, 1.5);
    }
  }
}

// Fit: the stamp spans the share of the page asked for, unless the page
// less its margins is too small for that; nothing is drawn outside the
// visible page (a CropBox inside a larger MediaBox).
TEST(Layout, FitSpansTheShareInsideTheVisiblePage) {
  REQUIRE_TOOL("pdftotext");
  REQUIRE_TOOL("pdftoppm");
  tu::temp_dir d;
  const std::string png = opaque_png(d, 40, 20);
  struct {
    const char *name;
    double w, h;
  } pages[] = {
      {"A7", 210, 298},   {"A7 landscape", 298, 210},
      {"A0", 2384, 3370}, {"A0 landscape", 3370, 2384},
      {"wide", 2000, 150}, {"tall", 150, 2000},
      {"smaller than its margins", 70, 60},
  };
  const double shares[] = {0.5, 0.9};
  const char *positions[] = {"center", "top-left", "diagonal"};
  for (const auto &pg : pages) {
    tu::write_file(d / "in.pdf",
                   build_doc({{pg.w, pg.h, 40, 50, "", ""}}));
    const double dpi = 72.0 * 500 / std::max(pg.w + 80, pg.h + 100);
    const double px = dpi / 72.0;  // pixels per point
    for (double f : shares) {
      for (const char *pos : positions) {
        for (int img = 0; img < 2; img++) {
          SCOPED_TRACE(std::string(pg.name) + " " + pos + " fit " +
                       std::to_string(f) + (img ? " image" : " text"));
          ASSERT_EQ(stamp(d / "in.pdf", d / "out.pdf", "CONFIDENTIAL",
                          [&](reraruvozari_options *o) {
                            reraruvozari_options_set_fit(o, f);
                            reraruvozari_options_set_position(o, pos);
                            reraruvozari_options_set_opacity(o, 1);
                          },
                          img ? png.c_str() : nullptr),
                    1)
              << reraruvozari_last_error();
          // Every changed pixel inside the visible page.
          image r = render(d, d / "out.pdf", 1, dpi);
          ink_box b = ink_of(r);
          ASSERT_GE(b.x1, 0) << "nothing drawn";
          EXPECT_GE(b.x0, 40 * px - 1);
          EXPECT_GE(b.y0, 50 * px - 1);
          EXPECT_LE(b.x1, (40 + pg.w) * px + 1);
          EXPECT_LE(b.y1, (50 + pg.h) * px + 1);
          if (std::string(pos) == "diagonal") continue;
          // The span: the share of the width, or the room the margins leave
          // across or along the page, whichever is least.
          double sw, sh;
          if (img) {
            sw = (b.x1 + 1 - b.x0) / px;
            sh = (b.y1 + 1 - b.y0) / px;
          } else {
            std::vector<word> ws = words(d / "out.pdf", 1);
            ASSERT_EQ(ws.size(), 1u);
            sw = ws[0].x1 - ws[0].x0;
            sh = ws[0].y1 - ws[0].y0;
          }
          const double tol = img ? 2.5 / px : 0;  // a pixel at each end
          // A page smaller than its margins (36 points each) gets none.
          const double margins = pg.w <= 72 || pg.h <= 72 ? 0 : 72;
          const double by_share = f * pg.w, by_width = pg.w - margins,
                       by_height = pg.h - margins;
          EXPECT_LE(sw, by_share * 1.02 + tol);
          EXPECT_LE(sw, by_width * 1.02 + tol);
          EXPECT_LE(sh, by_height * 1.02 + tol);
          const bool binds =
              std::fabs(sw - by_share) <= 0.02 * by_share + tol ||
              std::fabs(sw - by_width) <= 0.02 * by_width + tol ||
              std::fabs(sh - by_height) <= 0.02 * by_height + tol;
          EXPECT_TRUE(binds) << "span " << sw << " x " << sh;
        }
      }
    }
  }
}

// Lines come out in order, centred on each other, one spacing apart; with
// the embedded fonts as with Helvetica.
TEST(Layout, MultiLineTextInOrderAndCentred) {
  REQUIRE_TOOL("pdftotext");
  tu::temp_dir d;
  tu::write_file(d / "in.pdf", build_doc({{612, 792, 0, 0, "/Rotate 270", ""}}));
  struct {
    const char *text;
    std::vector<std::string> lines;
  } cases[] = {
      {"FIRST\nSECONDLINE\r\nTHIRD", {"FIRST", "SECONDLINE", "THIRD"}},
      {"Ελληνικά\nКириллица\nW", {"Ελληνικά", "Кириллица", "W"}},
      {"ASCII\nΚείμενο", {"ASCII", "Κείμενο"}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text);
    ASSERT_EQ(stamp(d / "in.pdf", d / "out.pdf", c.text,
                    [](reraruvozari_options *o) {
                      reraruvozari_options_set_position(o, "center");
                      reraruvozari_options_set_size(o, 30);
                      reraruvozari_options_set_line_spacing(o, 1.5);
                    }),
              1)
        << reraruvozari_last_error();
    std::vector<word> ws = words(d / "out.pdf", 1);
    ASSERT_EQ(ws.size(), c.lines.size());
    for (size_t i = 0; i < ws.size(); i++) {
      EXPECT_EQ(ws[i].text, c.lines[i]);
      EXPECT_NEAR((ws[i].x0 + ws[i].x1) / 2, 792 / 2.0, 1.0) << "not centred";
      if (i > 0) {
        EXPECT_NEAR(ws[i].y1 - ws[i - 1].y1, 45, 1.0) << "not 1.5 sizes apart";
      }
    }
  }
}

// Pages far too large to tile are refused with the reason, whatever their
// size: the repetition count is bounded before it becomes an integer (a box
// of 1e21 points overflowed it).
TEST(Layout, TilingRefusesPagesTooLargeToFill) {
  tu::temp_dir d;
  for (size_t zeros : {9, 21, 300}) {
    SCOPED_TRACE(zeros);
    // PDF numbers have no exponent: the side is written out in digits.
    const std::string side = "1" + std::string(zeros, '0');
    std::string doc = build_doc({{1, 1, 0, 0, "", ""}});
    const std::string small = "/MediaBox [0 0 1 1]";
    doc.replace(doc.find(small), small.size(), "/MediaBox [0 0 " + side + " " + side + "]");
    tu::write_file(d / "in.pdf", doc);
    EXPECT_EQ(stamp(d / "in.pdf", d / "out.pdf", "X",
                    [](reraruvozari_options *o) {
                      reraruvozari_options_set_tile(o, 1);
                      reraruvozari_options_set_size(o, 1);
                    }),
              0);
    EXPECT_STREQ(reraruvozari_last_error(),
                 "the tiled stamp is too small for the page: more than 100000 repetitions");
  }
}

// Tiling repeats the stamp across the page, and nothing is drawn past the
// visible page.
TEST(Layout, TilingFillsTheVisiblePageOnly) {
  REQUIRE_TOOL("pdftotext");
  REQUIRE_TOOL("pdftoppm");
  tu::temp_dir d;
  const std::string png = opaque_png(d, 60, 30);
  tu::write_file(d / "in.pdf", build_doc({{595, 842, 60, 70, "", ""},
                                          {842, 595, 60, 70, "/Rotate 90", ""}}));
  for (int img = 0; img < 2; img++) {
    SCOPED_TRACE(img ? "image" : "text");
    ASSERT_EQ(stamp(d / "in.pdf", d / "out.pdf", "CONFIDENTIAL",
                    [](reraruvozari_options *o) {
                      reraruvozari_options_set_tile(o, 1);
                      reraruvozari_options_set_opacity(o, 1);
                    },
                    img ? png.c_str() : nullptr),
              1);
    for (int page = 1; page <= 2; page++) {
      if (!img) {
        std::string t = raw_text(d / "out.pdf", page);
        size_t n = 0;
        for (size_t at = t.find("CONFIDENTIAL"); at != std::string::npos;
             at = t.find("CONFIDENTIAL", at + 1))
          n++;
        EXPECT_GE(n, 6u) << "page " << page;
      }
      image r = render(d, d / "out.pdf", page, 36);
      const double px = 0.5;
      ink_box b = ink_of(r);
      ASSERT_GE(b.x1, 0);
      const double w = page == 1 ? 595 : 842, h = page == 1 ? 842 : 595;
      // The rendering is turned for page 2: its MediaBox offsets swap.
      const double ox = page == 1 ? 60 : 70, oy = page == 1 ? 70 : 60;
      const double vw = page == 1 ? w : h, vh = page == 1 ? h : w;
      EXPECT_GE(b.x0, ox * px - 1);
      EXPECT_GE(b.y0, oy * px - 1);
      EXPECT_LE(b.x1, (ox + vw) * px + 1);
      EXPECT_LE(b.y1, (oy + vh) * px + 1);
      // And it covers the page: ink near every edge.
      EXPECT_LE(b.x0, (ox + 40) * px);
      EXPECT_GE(b.x1, (ox + vw - 40) * px);
    }
  }
}

// Under the content, an opaque page hides the stamp; over it, or with a
// page that draws nothing, the stamp shows.
TEST(Layout, UnderlayIsHiddenByOpaqueContent) {
  REQUIRE_TOOL("pdftoppm");
  tu::temp_dir d;
  const std::string white = "1 1 1 rg 0 0 612 792 re f";
  struct {
    const char *content;
    int under;
    bool shows;
  } cases[] = {
      {"1 1 1 rg 0 0 612 792 re f", 1, false},
      {"1 1 1 rg 0 0 612 792 re f", 0, true},
      {"", 1, true},
      // The page's unbalanced state stays its own: the stamp under it is
      // still covered, the colour it leaves set does not reach the stamp.
      {"q 1 1 1 rg 0 0 612 792 re f 0 0 1 rg", 1, false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.content) + (c.under ? " under" : " over"));
    tu::write_file(d / "in.pdf", build_doc({{612, 792, 0, 0, "", c.content}}));
    ASSERT_EQ(stamp(d / "in.pdf", d / "out.pdf", "UNDERLAY",
                    [&](reraruvozari_options *o) {
                      reraruvozari_options_set_under(o, c.under);
                      reraruvozari_options_set_opacity(o, 1);
                    }),
              1);
    ink_box b = ink_of(render(d, d / "out.pdf", 1, 36));
    EXPECT_EQ(b.x1 >= 0, c.shows);
  }
}

// Page lists select exactly their pages; pages past the end are ignored; a
// list that selects nothing is an error naming the file and the list.
TEST(Layout, PageListsSelectExactlyTheirPages) {
  REQUIRE_TOOL("pdftotext");
  tu::temp_dir d;
  std::vector<page_spec> five(5, page_spec{300, 300, 0, 0, "", ""});
  tu::write_file(d / "in.pdf", build_doc(five));
  struct {
    const char *list;
    std::vector<int> pages;
  } cases[] = {
      {"1-3,5", {1, 2, 3, 5}}, {"odd", {1, 3, 5}},   {"even", {2, 4}},
      {"last", {5}},           {"-2", {1, 2}},       {"4-", {4, 5}},
      {"2,9,40-50", {2}},      {"last,1", {1, 5}},   {"3-3, even", {2, 3, 4}},
      {"9", {}},               {"6-", {}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.list);
    int ok = stamp(d / "in.pdf", d / "out.pdf", "PICKED",
                   [&](reraruvozari_options *o) {
                     ASSERT_EQ(reraruvozari_options_set_pages(o, c.list), 1);
                     reraruvozari_options_set_size(o, 20);
                   });
    if (c.pages.empty()) {
      EXPECT_EQ(ok, 0);
      EXPECT_EQ(std::string(reraruvozari_last_error()),
                "no page of " + (d / "in.pdf") + " matches " + c.list);
      continue;
    }
    ASSERT_EQ(ok, 1);
    for (int p = 1; p <= 5; p++) {
      bool want = std::find(c.pages.begin(), c.pages.end(), p) != c.pages.end();
      EXPECT_EQ(raw_text(d / "out.pdf", p).find("PICKED") != std::string::npos,
                want)
          << "page " << p;
    }
  }
}
