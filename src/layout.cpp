// Stamp placement on the displayed page. A page with /Rotate is shown turned
// clockwise by that angle: a stamp meant to read upright in a corner the
// reader sees is placed in the displayed page's coordinates, then mapped
// back to the unrotated user space the content stream draws in. Inheritance
// of /Rotate follows the page tree (a page without its own takes the
// nearest ancestor's), and viewers reduce it modulo 360.
//
// Process-wide state: none.
#include "layout.h"

#include <cmath>
#include <cstring>

#include "stamp_options.h"

namespace {

constexpr double k_pi = 3.141592653589793;

// The integer after the name at `at` in text[0, end): a direct number, or
// the number stored in the object a reference names. 0 when there is none.
bool int_after_name(const pdf_doc *doc, const char *text, int64_t end,
                    int64_t after, int64_t *value) {
  int64_t p = skip_ws(text, after, end);
  if (p >= end) return false;
  bool neg = false;
  if (text[p] == '-' || text[p] == '+') {
    neg = text[p] == '-';
    p++;
  }
  if (p >= end || !is_digit_c(static_cast<unsigned char>(text[p])))
    return false;
  int64_t v = 0;
  while (p < end && is_digit_c(static_cast<unsigned char>(text[p]))) {
    if (v < 1000000000) v = v * 10 + (text[p] - '0');
    p++;
  }
  // "90.0" is a real number; only its integer part matters.
  if (p < end && text[p] == '.') {
    p++;
    while (p < end && is_digit_c(static_cast<unsigned char>(text[p]))) p++;
  }
  // A reference "N G R": the number lies in object N.
  int64_t q = skip_ws(text, p, end);
  if (!neg && q < end && is_digit_c(static_cast<unsigned char>(text[q]))) {
    int64_t r = q;
    parse_int_at(text, end, &r);
    r = skip_ws(text, r, end);
    if (r < end && text[r] == 'R') {
      const pdf_obj *o = obj_find(&doc->objects, static_cast<int64_t>(v));
      if (!o || o->has_stream) return false;
      const char *t;
      int64_t s, e;
      if (o->in_objstm) {
        if (!o->text) return false;
        t = o->text;
        s = 0;
        e = o->text_len;
      } else {
        t = doc->data;
        e = o->endobj_off > 0 ? o->endobj_off : doc->size;
        s = find_kw(doc->data, e, o->hdr_off, "obj");
        if (s < 0) return false;
        s += 3;
      }
      // A reference to a reference is not followed.
      int64_t inner = 0;
      int64_t k = skip_ws(t, s, e);
      if (k >= e) return false;
      bool ineg = t[k] == '-';
      if (ineg || t[k] == '+') k++;
      if (k >= e || !is_digit_c(static_cast<unsigned char>(t[k]))) return false;
      while (k < e && is_digit_c(static_cast<unsigned char>(t[k]))) {
        if (inner < 1000000000) inner = inner * 10 + (t[k] - '0');
        k++;
      }
      *value = ineg ? -inner : inner;
      return true;
    }
  }
  *value = neg ? -v : v;
  return true;
}

// The /Rotate of object `num` when it has one, else its /Parent (0 when
// none). False when the object has no dictionary.
bool node_rotate(const pdf_doc *doc, int64_t num, bool *has, int *rotate,
                 int64_t *parent) {
  const pdf_obj *o = obj_find(&doc->objects, num);
  const char *t;
  int64_t s, e;
  if (!o || !obj_dict_range(doc->data, doc->size, o, &t, &s, &e)) return false;
  *has = false;
  *parent = 0;
  // The node's own entries: not a key inside a nested dictionary or a
  // string, and a key spelt with '#' escapes is the key it spells.
  dict_entry de;
  int64_t v = 0;
  if (dict_get(t, s, e, "Rotate", &de) && de.val >= 0 && int_after_name(doc, t, e, de.val, &v)) {
    *has = true;
    int64_t r = ((v % 360) + 360) % 360;
    *rotate = r % 90 == 0 ? static_cast<int>(r) : 0;
    return true;  // the parent matters only to a node without /Rotate
  }
  if (dict_get(t, s, e, "Parent", &de) && de.val >= 0) {
    int64_t p = skip_ws(t, de.val, e);
    if (p < e && is_digit_c(static_cast<unsigned char>(t[p])))
      *parent = parse_int_at(t, e, &p);
  }
  return true;
}

// Rotates (x, y) by `deg` degrees: the half-widths of the box a w x h box
// occupies once turned.
void turned_extent(double w, double h, double deg, double *ew, double *eh) {
  double rad = deg * k_pi / 180.0;
  double c = std::fabs(std::cos(rad)), s = std::fabs(std::sin(rad));
  *ew = c * w + s * h;
  *eh = s * w + c * h;
}

// The map from the displayed page (origin at its lower-left corner) to user
// space, for a page shown turned clockwise by `rotate`.
lay_matrix display_to_user(double x0, double y0, double w, double h,
                           int rotate) {
  switch (rotate) {
    case 90: return {0, 1, -1, 0, x0 + w, y0};
    case 180: return {-1, 0, 0, -1, x0 + w, y0 + h};
    case 270: return {0, -1, 1, 0, x0, y0 + h};
    default: return {1, 0, 0, 1, x0, y0};
  }
}

}  // namespace

lay_matrix lay_concat(const lay_matrix &p, const lay_matrix &q) {
  return {p.a * q.a + p.b * q.c,       p.a * q.b + p.b * q.d,
          p.c * q.a + p.d * q.c,       p.c * q.b + p.d * q.d,
          p.e * q.a + p.f * q.c + q.e, p.e * q.b + p.f * q.d + q.f};
}

lay_result lay_place(const lay_request *req) {
  // The displayed page. Without rotation it is the box itself, so that the
  // classic placement keeps its arithmetic (and its output) bit for bit.
  const bool turned = req->rotate == 90 || req->rotate == 270;
  const bool mapped = req->rotate != 0;
  const double W = turned ? req->h : req->w;
  const double H = turned ? req->w : req->h;
  const double X0 = mapped ? 0.0 : req->x0;
  const double Y0 = mapped ? 0.0 : req->y0;

  lay_result res{};
  double theta = req->angle;
  if (req->position == POS_DIAGONAL && !(std::fabs(req->angle) > 0.001))
    theta = atan2(H, W) * 180.0 / k_pi;
  res.angle = theta;

  // A page too small for its margins gets none: the stamp is sized and
  // placed on the page itself rather than pushed off it.
  const double margin =
      (W - 2 * req->margin <= 0 || H - 2 * req->margin <= 0) ? 0 : req->margin;
  double k = 1.0;
  double sw = req->stamp_w, sh = req->stamp_h;
  double ew = sw, eh = sh;
  if (!req->classic) turned_extent(sw, sh, theta, &ew, &eh);
  if (req->fit > 0 && ew > 0 && eh > 0 && sw > 0) {
    double span = req->position == POS_DIAGONAL
                      ? req->fit * std::sqrt(W * W + H * H) / sw
                      : req->fit * W / ew;
    // Inside the page less its margins.
    double inside = std::min((W - 2 * margin) / ew, (H - 2 * margin) / eh);
    k = std::min(span, inside);
    sw *= k;
    sh *= k;
    ew *= k;
    eh *= k;
  }
  res.scale = k;

  // The reference point: the box's centre (f = 0.5) or its lower-left
  // corner (f = 0), written so that each classic case computes what it
  // always did.
  const double f = req->lower_left ? 0.0 : 0.5;
  const double m = req->classic ? req->margin : margin;
  double x, y;
  switch (req->position) {
    case POS_TOP_LEFT:
    case POS_BOTTOM_LEFT:
    case POS_LEFT: x = X0 + m + ew * f; break;
    case POS_TOP_RIGHT:
    case POS_BOTTOM_RIGHT:
    case POS_RIGHT: x = X0 + W - m - ew * (1 - f); break;
    default: x = X0 + (W - ew * (1 - 2 * f)) / 2; break;
  }
  switch (req->position) {
    case POS_TOP_LEFT:
    case POS_TOP_RIGHT:
    case POS_TOP: y = Y0 + H - m - eh * (1 - f); break;
    case POS_BOTTOM_LEFT:
    case POS_BOTTOM_RIGHT:
    case POS_BOTTOM: y = Y0 + m + eh * f; break;
    default: y = Y0 + (H - eh * (1 - 2 * f)) / 2; break;
  }
  if (!req->classic) {
    x += req->off_x;
    y += req->off_y;
  }

  double rad = theta * k_pi / 180.0;
  double c = cos(rad), s = sin(rad);
  if (k != 1.0) {
    c *= k;
    s *= k;
  }
  res.m = {c, s, -s, c, x, y};
  if (mapped)
    res.m = lay_concat(res.m,
                       display_to_user(req->x0, req->y0, req->w, req->h,
                                       req->rotate));
  return res;
}

bool lay_tiles(const lay_request *req, double gap, size_t max_count,
               std::vector<lay_matrix> *out) {
  lay_request one = *req;
  one.position = req->position == POS_DIAGONAL ? POS_DIAGONAL : POS_CENTER;
  one.off_x = one.off_y = 0;
  one.classic = 0;
  one.lower_left = 0;
  const lay_result centre = lay_place(&one);
  const bool turned = req->rotate == 90 || req->rotate == 270;
  const double W = turned ? req->h : req->w;
  const double H = turned ? req->w : req->h;
  const double k = centre.scale;
  const double sw = req->stamp_w * k, sh = req->stamp_h * k;
  double ew, eh;
  turned_extent(sw, sh, centre.angle, &ew, &eh);
  const double step_u = sw + gap, step_v = sh + gap;
  if (!(step_u > 0) || !(step_v > 0)) return false;

  // The grid's own axes on the displayed page.
  const double rad = centre.angle * k_pi / 180.0;
  const double ux = cos(rad), uy = sin(rad);
  const double vx = -uy, vy = ux;
  const double cx = W / 2 + req->off_x, cy = H / 2 + req->off_y;
  // Far enough to reach every corner of the page from its centre, plus a
  // box.
  const double reach = std::sqrt(W * W + H * H) / 2 + std::sqrt(sw * sw + sh * sh);
  // The count is checked in floating point before it becomes an integer:
  // a page box of 1e21 points would overflow one.
  const double fu = std::ceil(reach / step_u) + 1, fv = std::ceil(reach / step_v) + 1;
  if (!(fu >= 1 && fv >= 1) ||
      (2 * fu + 1) * (2 * fv + 1) > 4.0 * static_cast<double>(max_count) + 64)
    return false;
  const int64_t nu = static_cast<int64_t>(fu), nv = static_cast<int64_t>(fv);

  const lay_matrix to_user =
      display_to_user(req->x0, req->y0, req->w, req->h, req->rotate);
  const double c = cos(rad) * k, s = sin(rad) * k;
  for (int64_t j = -nv; j <= nv; j++) {
    const double shift = (j % 2 != 0) ? step_u / 2 : 0.0;
    for (int64_t i = -nu; i <= nu; i++) {
      const double u = static_cast<double>(i) * step_u + shift;
      const double v = static_cast<double>(j) * step_v;
      const double px = cx + u * ux + v * vx, py = cy + u * uy + v * vy;
      // The turned box of this repetition must meet the page.
      if (px + ew / 2 <= 0 || px - ew / 2 >= W || py + eh / 2 <= 0 ||
          py - eh / 2 >= H)
        continue;
      if (out->size() >= max_count) return false;
      out->push_back(lay_concat({c, s, -s, c, px, py}, to_user));
    }
  }
  return true;
}

int lay_page_rotation(const pdf_doc *doc, const page_info *pg,
                      std::unordered_map<int64_t, int> *memo) {
  bool has = false;
  int rotate = 0;
  int64_t parent = 0;
  if (node_rotate(doc, pg->num, &has, &rotate, &parent) && has) return rotate;
  // Up the tree from the parent the page walk found; every node visited
  // learns the answer. A cycle ends the climb.
  climb_seen seen;
  int64_t num = pg->parent > 0 ? pg->parent : parent;
  int result = 0;
  while (num > 0) {
    auto hit = memo->find(num);
    if (hit != memo->end()) {
      result = hit->second;
      break;
    }
    if (!climb_add(&seen, num)) break;
    int64_t up = 0;
    if (!node_rotate(doc, num, &has, &rotate, &up)) break;
    if (has) {
      result = rotate;
      break;
    }
    num = up;
  }
  for (int64_t n : seen.path) (*memo)[n] = result;
  return result;
}
