// The options of one stamping operation: the record behind the opaque
// reraruvozari_options handle of the public header, with the defaults of the
// command-line tool. The eight classic exports fill one too (classic = 1),
// so that every operation runs through the same driver.
//
// A new option is a field here (with its default), a setter in
// stamp_options.cpp and a line in the header; nothing else has to change
// for callers built against an older header.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Where the stamp goes on the (displayed) page. The first six are the
// classic numbers 0..5.
enum stamp_position {
  POS_CENTER = 0,
  POS_TOP_LEFT = 1,
  POS_TOP_RIGHT = 2,
  POS_BOTTOM_LEFT = 3,
  POS_BOTTOM_RIGHT = 4,
  POS_DIAGONAL = 5,
  POS_TOP = 6,
  POS_BOTTOM = 7,
  POS_LEFT = 8,
  POS_RIGHT = 9,
  POS_DEFAULT = -1  // the kind's own: diagonal for text, centre for images
};

// One item of a page list. A range is [first, last] with last = INT32_MAX
// for "to the end"; odd, even and last select by the page's number.
enum page_item_kind { PAGES_RANGE, PAGES_ODD, PAGES_EVEN, PAGES_LAST };
struct page_item {
  page_item_kind kind;
  int32_t first;
  int32_t last;
};

struct stamp_options {
  double opacity = -1;  // 0..1; below 0: the kind's own (text 0.3, image 0.5)
  double rotation = 0;  // degrees counter-clockwise on the displayed page
  double font_size = 48;
  double scale = 1;  // points per image pixel
  int red = 128, green = 128, blue = 128;
  int position = POS_DEFAULT;
  std::string pages_text;         // as given, for messages; "" every page
  std::vector<page_item> pages;   // parsed from pages_text
  double fit = 0;                 // 0 off, else the share of the page spanned
  double margin = 36;             // points between the page edge and the box
  double offset_x = 0, offset_y = 0;  // points, right and up on the page
  double line_spacing = 1.2;      // baseline to baseline, times the size
  int tile = 0;
  double tile_gap = 36;           // points between repetitions
  int under = 0;                  // drawn before the page's content
  int ignore_rotation = 0;        // place in the unrotated page (classic)
  std::string layer = "Watermark";  // the optional content group; "" none
  int no_layer = 0;               // set: no group at all
  int show = 0;                   // mk_show: both, screen only, print only
  int replace = 0;                // remove earlier stamps of the pages first
  int subset = 1;                 // embed fonts cut down to the glyphs drawn
  std::string font_path;          // the user's font, tried first; "" none
  int incremental = 0;            // append an update instead of rewriting
  // Encrypted inputs: the password (UTF-8) when has_password, and whether
  // a document whose permissions forbid modifying it is stamped anyway.
  std::string password;
  int has_password = 0;
  int ignore_permissions = 0;

  // Set by the classic exports only: their own placement and page range.
  int classic = 0;
  int32_t start_page = 1;
  int32_t end_page = -1;
};

struct reraruvozari_options {
  stamp_options v;
};

// Parses a page list ("1-3,7,10-", "-4", "odd", "even", "last"); 1, or 0 with
// the error text set. `out` is replaced only on success.
int so_parse_pages(const char *list, std::vector<page_item> *out);
// Whether page n (1-based) of a document of `count` pages is listed.
bool so_page_selected(const std::vector<page_item> &items, int32_t n,
                      int32_t count);
// The position named `name` (the CLI's names, "centre", or a digit 0..5);
// -2 when there is no such position.
int so_position(const char *name);
