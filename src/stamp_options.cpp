// The options object of the public interface: creation, the setters (each
// checks its value and says what is wrong), and the parsers of page lists
// and position names they share with the operations.
//
// Process-wide state: none (messages go to the error text of pdf_parse).
#include "stamp_options.h"

#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#include "pdf_parse.h"
#include "pdf_unicode.h"
#include "reraruvozari.h"
#include "user_font.h"

namespace {

// The largest size of anything on a page: 14400 pt is the largest page side
// a viewer must handle.
constexpr double k_max_extent = 14400;

// Runs a setter's body: no exception crosses, the error text is cleared
// first, a NULL object is refused.
template <class F>
int guarded(reraruvozari_options *o, F body) RERARUVOZARI_NOEXCEPT {
  try {
    set_error("");
    if (!o) {
      set_error("NULL options argument");
      return 0;
    }
    return body(&o->v);
  } catch (const std::bad_alloc &) {
    set_error("out of memory");
  } catch (...) {
    set_error("internal error");
  }
  return 0;
}

// 1 when v is a finite number in [lo, hi]; otherwise 0 with a message.
int in_range(const char *what, double v, double lo, double hi) {
  if (std::isfinite(v) && v >= lo && v <= hi) return 1;
  set_error("%s must be between %g and %g (got %g)", what, lo, hi, v);
  return 0;
}

// A page number at *p (decimal digits), advancing *p: the number, 0 when
// there are no digits, -1 for page 0, -2 for a number beyond 2^31 - 1.
int64_t page_number(const char **p) {
  const char *s = *p;
  if (*s < '0' || *s > '9') return 0;
  int64_t v = 0;
  while (*s >= '0' && *s <= '9') {
    if (v <= INT32_MAX) v = v * 10 + (*s - '0');
    s++;
  }
  *p = s;
  if (v > INT32_MAX) return -2;
  return v == 0 ? -1 : v;
}

}  // namespace

int so_parse_pages(const char *list, std::vector<page_item> *out) {
  if (!list) {
    set_error("NULL page list");
    return 0;
  }
  std::vector<page_item> items;
  const char *s = list;
  for (;;) {
    while (*s == ' ') s++;
    const char *start = s;
    while (*s && *s != ',') s++;
    const char *stop = s;
    while (stop > start && stop[-1] == ' ') stop--;
    const std::string item(start, stop);
    page_item it{PAGES_RANGE, 1, INT32_MAX};
    if (item == "odd") {
      it.kind = PAGES_ODD;
    } else if (item == "even") {
      it.kind = PAGES_EVEN;
    } else if (item == "last") {
      it.kind = PAGES_LAST;
    } else {
      // N, N-M, N- or -M.
      const char *p = item.c_str();
      int64_t first = 1, last = 0;
      if (*p != '-') first = page_number(&p);
      const bool dash = *p == '-';
      if (dash) {
        p++;
        last = *p ? page_number(&p) : INT32_MAX;
        if (*p == 0 && p == item.c_str() + 1) last = 0;  // "-" alone
      } else {
        last = first;
      }
      if (*p != 0 || first == 0 || last == 0) {
        set_error("not a page list (use N, N-M, N-, -M, last, odd or even, "
                  "separated by commas): %s",
                  list);
        return 0;
      }
      if (first == -2 || last == -2) {
        set_error("page number too large: %s", list);
        return 0;
      }
      if (first == -1 || last == -1) {
        set_error("page numbers start at 1: %s", list);
        return 0;
      }
      if (last < first) {
        set_error("the range ends before it starts: %s", list);
        return 0;
      }
      it.first = static_cast<int32_t>(first);
      it.last = static_cast<int32_t>(last);
    }
    items.push_back(it);
    if (!*s) break;
    s++;
  }
  *out = std::move(items);
  return 1;
}

bool so_page_selected(const std::vector<page_item> &items, int32_t n,
                      int32_t count) {
  if (items.empty()) return true;
  for (const page_item &it : items) {
    switch (it.kind) {
      case PAGES_RANGE:
        if (n >= it.first && n <= it.last) return true;
        break;
      case PAGES_ODD:
        if (n % 2 == 1) return true;
        break;
      case PAGES_EVEN:
        if (n % 2 == 0) return true;
        break;
      case PAGES_LAST:
        if (n == count) return true;
        break;
    }
  }
  return false;
}

int so_position(const char *name) {
  static const char *const names[] = {
      "center", "top-left", "top-right", "bottom-left", "bottom-right",
      "diagonal", "top", "bottom", "left", "right"};
  if (!name) return -2;
  for (int i = 0; i < 10; i++)
    if (strcmp(name, names[i]) == 0) return i;
  if (strcmp(name, "centre") == 0) return POS_CENTER;
  if (name[0] >= '0' && name[0] <= '5' && name[1] == 0) return name[0] - '0';
  return -2;
}

extern "C" {

RERARUVOZARI_API reraruvozari_options *RERARUVOZARI_CALL
reraruvozari_options_new(void) RERARUVOZARI_NOEXCEPT {
  set_error("");
  reraruvozari_options *o = new (std::nothrow) reraruvozari_options();
  if (!o) set_error("out of memory");
  return o;
}

RERARUVOZARI_API void RERARUVOZARI_CALL
reraruvozari_options_free(reraruvozari_options *o) RERARUVOZARI_NOEXCEPT {
  delete o;
}

RERARUVOZARI_API int RERARUVOZARI_CALL reraruvozari_options_set_opacity(
    reraruvozari_options *o, double opacity) RERARUVOZARI_NOEXCEPT {
  return guarded(o, [&](stamp_options *v) {
    if (!in_range("opacity", opacity, 0, 1)) return 0;
    v->opacity = opacity;
    return 1;
  });
}

RERARUVOZARI_API int RERARUVOZARI_CALL reraruvozari_options_set_rotation(
    reraruvozari_options *o, double degrees) RERARUVOZARI_NOEXCEPT {
  return guarded(o, [&](stamp_options *v) {
    if (!in_range("rotation", degrees, -360, 360)) return 0;
    v->rotation = degrees;
    return 1;
  });
}

RERARUVOZARI_API int RERARUVOZARI_CALL reraruvozari_options_set_size(
    reraruvozari_options *o, double points) RERARUVOZARI_NOEXCEPT {
  return guarded(o, [&](stamp_options *v) {
    if (!in_range("size", points, 1, k_max_extent)) return 0;
    v->font_size = points;
    return 1;
  });
}

RERARUVOZARI_API int RERARUVOZARI_CALL reraruvozari_options_set_scale(
    reraruvozari_options *o, double scale) RERARUVOZARI_NOEXCEPT {
  return guarded(o, [&](stamp_options *v) {
    if (!(scale > 0)) {
      set_error("scale must be above 0 (got %g)", scale);
      return 0;
    }
    if (!in_range("scale", scale, 0, 1000)) return 0;
    v->scale = scale;
    return 1;
  });
}

RERARUVOZARI_API int RERARUVOZARI_CALL reraruvozari_options_set_color(
    reraruvozari_options *o, int red, int green, int blue) RERARUVOZARI_NOEXCEPT {
  return guarded(o, [&](stamp_options *v) {
    if (!in_range("red", red, 0, 255) || !in_range("green", green, 0, 255) ||
        !in_range("blue", blue, 0, 255))
      return 0;
    v->red = red;
    v->green = green;
    v->blue = blue;
    return 1;
  });
}

RERARUVOZARI_API int RERARUVOZARI_CALL reraruvozari_options_set_position(
    reraruvozari_options *o, const char *name) RERARUVOZARI_NOEXCEPT {
  return guarded(o, [&](stamp_options *v) {
    int p = so_position(name);
    if (p < 0) {
      set_error("unknown position %s (use center, top-left, top-right, "
                "bottom-left, bottom-right, diagonal, top, bottom, left or "
                "right)",
                name ? name : "(NULL)");
      return 0;
    }
    v->position = p;
    return 1;
  });
}

RERARUVOZARI_API int RERARUVOZARI_CALL reraruvozari_options_set_pages(
    reraruvozari_options *o, const char *list) RERARUVOZARI_NOEXCEPT {
  return guarded(o, [&](stamp_options *v) {
    if (list && !*list) {  // every page
      v->pages.clear();
      v->pages_text.clear();
      return 1;
    }
    if (!so_parse_pages(list, &v->pages)) return 0;
    v->pages_text = list;
    return 1;
  });
}

RERARUVOZARI_API int RERARUVOZARI_CALL reraruvozari_options_set_fit(
    reraruvozari_options *o, double share) RERARUVOZARI_NOEXCEPT {
  return guarded(o, [&](stamp_options *v) {
    if (!in_range("fit", share, 0, 1)) return 0;
    v->fit = share;
    return 1;
  });
}

RERARUVOZARI_API int RERARUVOZARI_CALL reraruvozari_options_set_margin(
    reraruvozari_options *o, double points) RERARUVOZARI_NOEXCEPT {
  return guarded(o, [&](stamp_options *v) {
    if (!in_range("margin", points, 0, k_max_extent)) return 0;
    v->margin = points;
    return 1;
  });
}

RERARUVOZARI_API int RERARUVOZARI_CALL reraruvozari_options_set_offset(
    reraruvozari_options *o, double dx, double dy) RERARUVOZARI_NOEXCEPT {
  return guarded(o, [&](stamp_options *v) {
    if (!in_range("offset x", dx, -k_max_extent, k_max_extent) ||
        !in_range("offset y", dy, -k_max_extent, k_max_extent))
      return 0;
    v->offset_x = dx;
    v->offset_y = dy;
    return 1;
  });
}

RERARUVOZARI_API int RERARUVOZARI_CALL reraruvozari_options_set_line_spacing(
    reraruvozari_options *o, double factor) RERARUVOZARI_NOEXCEPT {
  return guarded(o, [&](stamp_options *v) {
    if (!in_range("line spacing", factor, 0.1, 10)) return 0;
    v->line_spacing = factor;
    return 1;
  });
}

RERARUVOZARI_API int RERARUVOZARI_CALL reraruvozari_options_set_tile(
    reraruvozari_options *o, int on) RERARUVOZARI_NOEXCEPT {
  return guarded(o, [&](stamp_options *v) {
    v->tile = on != 0;
    return 1;
  });
}

RERARUVOZARI_API int RERARUVOZARI_CALL reraruvozari_options_set_tile_gap(
    reraruvozari_options *o, double points) RERARUVOZARI_NOEXCEPT {
  return guarded(o, [&](stamp_options *v) {
    if (!in_range("tile gap", points, 0, k_max_extent)) return 0;
    v->tile_gap = points;
    return 1;
  });
}

RERARUVOZARI_API int RERARUVOZARI_CALL reraruvozari_options_set_under(
    reraruvozari_options *o, int on) RERARUVOZARI_NOEXCEPT {
  return guarded(o, [&](stamp_options *v) {
    v->under = on != 0;
    return 1;
  });
}

RERARUVOZARI_API int RERARUVOZARI_CALL reraruvozari_options_set_ignore_rotation(
    reraruvozari_options *o, int on) RERARUVOZARI_NOEXCEPT {
  return guarded(o, [&](stamp_options *v) {
    v->ignore_rotation = on != 0;
    return 1;
  });
}

RERARUVOZARI_API int RERARUVOZARI_CALL reraruvozari_options_set_layer(
    reraruvozari_options *o, const char *name) RERARUVOZARI_NOEXCEPT {
  return guarded(o, [&](stamp_options *v) {
    if (!name) {
      v->no_layer = 1;
      return 1;
    }
    const size_t n = strlen(name);
    if (n == 0 || n > 1000) {
      set_error("the layer name must be 1 to 1000 bytes long (got %zu)", n);
      return 0;
    }
    const unsigned char *u = reinterpret_cast<const unsigned char *>(name);
    for (size_t at = 0; at < n;) {
      uint32_t cp;
      const int len = wm_decode_utf8(u + at, &cp);
      if (len == 0) {
        set_error("the layer name is not valid UTF-8 (bad byte 0x%02X at offset %zu)",
                  static_cast<unsigned>(u[at]), at);
        return 0;
      }
      at += static_cast<size_t>(len);
    }
    v->layer = name;
    v->no_layer = 0;
    return 1;
  });
}

RERARUVOZARI_API int RERARUVOZARI_CALL reraruvozari_options_set_show(
    reraruvozari_options *o, const char *when) RERARUVOZARI_NOEXCEPT {
  return guarded(o, [&](stamp_options *v) {
    static const char *const names[] = {"both", "screen", "print"};
    for (int i = 0; i < 3; i++) {
      if (when && strcmp(when, names[i]) == 0) {
        v->show = i;
        return 1;
      }
    }
    set_error("unknown show setting %s (use both, screen or print)",
              when ? when : "(null)");
    return 0;
  });
}

RERARUVOZARI_API int RERARUVOZARI_CALL reraruvozari_options_set_replace(
    reraruvozari_options *o, int on) RERARUVOZARI_NOEXCEPT {
  return guarded(o, [&](stamp_options *v) {
    v->replace = on != 0;
    return 1;
  });
}

RERARUVOZARI_API int RERARUVOZARI_CALL reraruvozari_options_set_subset(
    reraruvozari_options *o, int on) RERARUVOZARI_NOEXCEPT {
  return guarded(o, [&](stamp_options *v) {
    v->subset = on != 0;
    return 1;
  });
}

RERARUVOZARI_API int RERARUVOZARI_CALL reraruvozari_options_set_incremental(
    reraruvozari_options *o, int on) RERARUVOZARI_NOEXCEPT {
  return guarded(o, [&](stamp_options *v) {
    v->incremental = on != 0;
    return 1;
  });
}

RERARUVOZARI_API int RERARUVOZARI_CALL reraruvozari_options_set_font(
    reraruvozari_options *o, const char *path) RERARUVOZARI_NOEXCEPT {
  return guarded(o, [&](stamp_options *v) {
    if (!path || !*path) {
      v->font_path.clear();
      return 1;
    }
    // Read now so that a font that cannot be used is refused here, with
    // its reason; the stamp call reads it again.
    user_font f;
    if (!user_font_load(path, &f)) return 0;
    user_font_free(&f);
    v->font_path = path;
    return 1;
  });
}

RERARUVOZARI_API int RERARUVOZARI_CALL reraruvozari_options_set_password(
    reraruvozari_options *o, const char *password) RERARUVOZARI_NOEXCEPT {
  return guarded(o, [&](stamp_options *v) {
    v->password = password ? password : "";
    v->has_password = password != nullptr;
    return 1;
  });
}

RERARUVOZARI_API int RERARUVOZARI_CALL reraruvozari_options_set_ignore_permissions(
    reraruvozari_options *o, int on) RERARUVOZARI_NOEXCEPT {
  return guarded(o, [&](stamp_options *v) {
    v->ignore_permissions = on != 0;
    return 1;
  });
}

}  // extern "C"
