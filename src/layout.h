// Stamp placement: where a stamp of a given size goes on a page, as one
// matrix from the stamp's own coordinates to the page's user space; the
// page's displayed rotation (/Rotate, own or inherited); fitting to the page;
// the repetitions of a tiled stamp.
//
// Process-wide state: none.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "pdf_parse.h"

// [a b c d e f] as in a PDF "cm": (x, y) -> (a x + c y + e, b x + d y + f).
struct lay_matrix {
  double a, b, c, d, e, f;
};

struct lay_request {
  double x0, y0, w, h;   // the visible box, user space
  int rotate;            // displayed rotation: 0, 90, 180 or 270
  double stamp_w, stamp_h;  // the stamp's box at scale 1
  double angle;          // degrees counter-clockwise on the displayed page
  int position;          // stamp_position, 0..9
  double margin;         // points from the page edge to the box
  double off_x, off_y;   // points, right and up on the displayed page
  double fit;            // 0, or the share of the page the stamp spans
  // Classic placement: margins apply to the unrotated box, and with
  // lower_left the matrix's origin is the box's lower-left corner (an
  // image's), else its centre.
  int classic;
  int lower_left;
};

struct lay_result {
  lay_matrix m;  // stamp coordinates (origin: the box's centre, or its
                 // lower-left corner for a classic lower_left request)
  double scale;  // the factor applied to the stamp's box (1 without fit)
  double angle;  // the angle used (the diagonal's for "diagonal")
};

// Places one stamp. Pure arithmetic: the same request gives the same bits.
lay_result lay_place(const lay_request *req);

// The repetitions of a tiled stamp covering the visible page: a staggered
// grid along the stamp's angle with `gap` points between boxes, keeping
// every repetition whose box meets the page. Appends at most `max_count`
// matrices (stamp centre as origin); false when more would be needed.
bool lay_tiles(const lay_request *req, double gap, size_t max_count,
               std::vector<lay_matrix> *out);

// The page's rotation as displayed: its /Rotate or the nearest ancestor's,
// normalised to 0, 90, 180 or 270 as viewers do (-90 is 270, 450 is 90);
// a value that is no multiple of 90 counts as 0. `memo` keeps the answers
// for page tree nodes across the pages of one document.
int lay_page_rotation(const pdf_doc *doc, const page_info *pg,
                      std::unordered_map<int64_t, int> *memo);

// Product p x q of two matrices (p applied first).
lay_matrix lay_concat(const lay_matrix &p, const lay_matrix &q);
