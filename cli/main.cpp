// reraruvozari: the command-line front end of the library. Parses the
// arguments strictly, calls the exported functions and prints the library's
// error text. It uses nothing but the public header.
//
// Exit status: 0 success, 1 an operation failed, 2 a usage error.

#include "reraruvozari.h"

#include "batch.h"

#include <cerrno>
#include <csignal>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cctype>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <memory>
#include <new>
#include <system_error>
#include <string>
#include <vector>

#if defined(_WIN32)
#  include <io.h>
#  include <windows.h>
#  include <shellapi.h>
#  define rrv_isatty _isatty
#  define rrv_fileno _fileno
#else
#  include <unistd.h>
#  define rrv_isatty isatty
#  define rrv_fileno fileno
#endif

namespace {

constexpr const char *k_version = "0.1.0";
constexpr int k_exit_ok = 0;
constexpr int k_exit_failed = 1;
constexpr int k_exit_usage = 2;

// The largest font size accepted: 14400 pt is the largest page side a PDF
// viewer is required to handle, so a bigger glyph can never be seen whole.
constexpr long k_size_max = 14400;
constexpr double k_scale_max = 1000.0;
constexpr double k_rotation_max = 360.0;

const char k_usage[] =
    "usage: reraruvozari text  INPUT.pdf OUTPUT.pdf TEXT [options]\n"
    "       reraruvozari text  -o DIR --text TEXT INPUT.pdf... [options]\n"
    "       reraruvozari image INPUT.pdf OUTPUT.pdf IMAGE.png [options]\n"
    "       reraruvozari image -o DIR --image IMAGE.png INPUT.pdf... [options]\n"
    "       reraruvozari remove INPUT.pdf OUTPUT.pdf [options]\n"
    "       reraruvozari pages INPUT.pdf...\n"
    "       reraruvozari --help | --version\n";

const char k_help[] =
    "reraruvozari: stamp a text or image watermark onto the pages of a PDF file.\n"
    "\n"
    "Commands:\n"
    "  text    stamp one line of text (any script the library has fonts for)\n"
    "  image   stamp a PNG image, keeping its transparency\n"
    "  remove  take this program's stamps off the pages again\n"
    "  pages   print the number of pages\n"
    "\n"
    "Run 'reraruvozari COMMAND --help' for the options of a command.\n"
    "\n"
    "Options:\n"
    "  -h, --help     show this help\n"
    "  --version      show the version\n"
    "\n"
    "Exit status: 0 success, 1 an operation failed, 2 a usage error.\n";

// The options of every command that changes a file, in each one's help.
#define K_HELP_CHANGE_OPTIONS                                                  \
  "  --incremental   keep the input's bytes and append the changes as an\n"   \
  "                  incremental update (digital signatures stay valid)\n"  \
  "  --password PW   the password of an encrypted INPUT.pdf (user or owner);\n" \
  "                  files with an empty user password need none\n"          \
  "  --password-file FILE\n"                                                  \
  "                  read the password from the first line of FILE\n"        \
  "  --ignore-permissions\n"                                                  \
  "                  change an encrypted file whose permissions forbid\n"    \
  "                  modifying it without its owner password, or a\n"        \
  "                  certified file whose certification forbids it\n"

const char k_help_text[] =
    "usage: reraruvozari text INPUT.pdf OUTPUT.pdf TEXT [options]\n"
    "       reraruvozari text -o DIR --text TEXT INPUT.pdf... [options]\n"
    "\n"
    "Stamps TEXT (UTF-8) onto the pages of INPUT.pdf and writes OUTPUT.pdf.\n"
    "OUTPUT.pdf may be INPUT.pdf itself.\n"
    "\n"
    "Options:\n"
    "  --opacity F     0 to 1 (default 0.3)\n"
    "  --rotation DEG  degrees counter-clockwise, -360 to 360 (default 0)\n"
    "  --size PT       font size in points, 1 to 14400 (default 48)\n"
    "  --position P    center, top-left, top-right, bottom-left, bottom-right,\n"
    "                  diagonal, top, bottom, left, right, or the number 0 to 5\n"
    "                  for the first six (default diagonal)\n"
    "  --color C       #RRGGBB, RRGGBB or R,G,B with R, G, B 0 to 255\n"
    "                  (default #808080)\n"
    "  --line-spacing F\n"
    "                  baseline to baseline of the lines of TEXT (separated by\n"
    "                  line feeds), times the size, 0.1 to 10 (default 1.2)\n"
    "  --font FILE     draw with this TrueType font (.ttf, or the first font of\n"
    "                  a .ttc) first, the embedded fonts for what it lacks\n"
    "  --no-subset     embed whole fonts instead of the glyphs used\n"
    "  --pages LIST    comma-separated N, N-M, N- (to the last), -M (from the\n"
    "                  first), last, odd, even; default every page\n"
    "  --fit F         size the stamp to span F (0 to 1) of the page width (of\n"
    "                  its diagonal for diagonal), inside the margins\n"
    "  --margin PT     from the page edge to the stamp at the corners and edges\n"
    "                  (default 36)\n"
    "  --offset DX,DY  move the stamp DX points right and DY up\n"
    "  --tile          repeat the stamp across the whole page\n"
    "  --tile-gap PT   space between the repetitions (default 36)\n"
    "  --under         draw the stamp under the page's content\n"
    "  --ignore-rotation\n"
    "                  place the stamp in the unrotated page; by default it is\n"
    "                  placed and kept upright as the page is displayed\n"
    "  --layer NAME    the name of the stamp's layer, which viewers list and\n"
    "                  can switch off (default Watermark)\n"
    "  --no-layer      put the stamp in no layer\n"
    "  --show WHEN     both, screen (not printed) or print (hidden on screen);\n"
    "                  default both\n"
    "  --replace       remove this program's earlier stamps from the pages\n"
    "                  first, so that the new stamp replaces them\n"
    K_HELP_CHANGE_OPTIONS
    "  -o, --output-dir DIR\n"
    "                  batch mode: stamp every INPUT.pdf into DIR under its\n"
    "                  own file name (DIR is created if missing); the text\n"
    "                  is given with --text\n"
    "  --text TEXT     the text (instead of the TEXT argument)\n"
    "  -j, --jobs N    batch mode: stamp N files at a time, each in a process\n"
    "                  of its own (default: the number of processors)\n"
    "  -r, --recursive batch mode: an INPUT that is a directory stands for\n"
    "                  every *.pdf below it, written to the same path below\n"
    "                  DIR\n"
    "  -h, --help      show this help\n"
    "\n"
    "Batch mode carries on after a file fails, shows \"[k/n] file\" progress\n"
    "when standard error is a terminal, ends with the line\n"
    "\"stamped X of N files, Y failed\" and exits 1 if any file failed.\n"
    "\n"
    "Options may come before or after the arguments; '--' ends the options.\n";

const char k_help_image[] =
    "usage: reraruvozari image INPUT.pdf OUTPUT.pdf IMAGE.png [options]\n"
    "       reraruvozari image -o DIR --image IMAGE.png INPUT.pdf... [options]\n"
    "\n"
    "Stamps the PNG image IMAGE.png upright onto the pages of INPUT.pdf and\n"
    "writes OUTPUT.pdf. OUTPUT.pdf may be INPUT.pdf itself.\n"
    "\n"
    "Options:\n"
    "  --opacity F     0 to 1 (default 0.5)\n"
    "  --scale F       points per image pixel, above 0 up to 1000 (default 1)\n"
    "  --rotation DEG  degrees counter-clockwise, -360 to 360 (default 0)\n"
    "  --position P    center, top-left, top-right, bottom-left, bottom-right,\n"
    "                  diagonal, top, bottom, left, right, or the number 0 to 5\n"
    "                  for the first six (default center)\n"
    "  --pages LIST    comma-separated N, N-M, N- (to the last), -M (from the\n"
    "                  first), last, odd, even; default every page\n"
    "  --fit F         size the stamp to span F (0 to 1) of the page width (of\n"
    "                  its diagonal for diagonal), inside the margins\n"
    "  --margin PT     from the page edge to the stamp at the corners and edges\n"
    "                  (default 36)\n"
    "  --offset DX,DY  move the stamp DX points right and DY up\n"
    "  --tile          repeat the stamp across the whole page\n"
    "  --tile-gap PT   space between the repetitions (default 36)\n"
    "  --under         draw the stamp under the page's content\n"
    "  --ignore-rotation\n"
    "                  place the stamp in the unrotated page; by default it is\n"
    "                  placed and kept upright as the page is displayed\n"
    "  --layer NAME    the name of the stamp's layer, which viewers list and\n"
    "                  can switch off (default Watermark)\n"
    "  --no-layer      put the stamp in no layer\n"
    "  --show WHEN     both, screen (not printed) or print (hidden on screen);\n"
    "                  default both\n"
    "  --replace       remove this program's earlier stamps from the pages\n"
    "                  first, so that the new stamp replaces them\n"
    K_HELP_CHANGE_OPTIONS
    "  -o, --output-dir DIR\n"
    "                  batch mode: stamp every INPUT.pdf into DIR under its\n"
    "                  own file name (DIR is created if missing); the image\n"
    "                  is given with --image\n"
    "  --image IMAGE.png\n"
    "                  the image (instead of the IMAGE.png argument)\n"
    "  -j, --jobs N    batch mode: stamp N files at a time, each in a process\n"
    "                  of its own (default: the number of processors)\n"
    "  -r, --recursive batch mode: an INPUT that is a directory stands for\n"
    "                  every *.pdf below it, written to the same path below\n"
    "                  DIR\n"
    "  -h, --help      show this help\n"
    "\n"
    "Batch mode carries on after a file fails, shows \"[k/n] file\" progress\n"
    "when standard error is a terminal, ends with the line\n"
    "\"stamped X of N files, Y failed\" and exits 1 if any file failed.\n"
    "\n"
    "Options may come before or after the arguments; '--' ends the options.\n";

const char k_help_remove[] =
    "usage: reraruvozari remove INPUT.pdf OUTPUT.pdf [options]\n"
    "\n"
    "Removes the stamps this program added to INPUT.pdf and writes OUTPUT.pdf:\n"
    "each page gets back the content and resources it had, and a stamp's\n"
    "layer goes once no page uses it. Prints how many stamps were removed\n"
    "from how many pages, or \"no watermark found\" (OUTPUT.pdf is then an\n"
    "unchanged copy). A page changed by another program after stamping keeps\n"
    "its stamp and is named on standard error.\n"
    "\n"
    "Options:\n"
    "  --pages LIST    the pages to remove stamps from (as for text); default\n"
    "                  every page\n"
    K_HELP_CHANGE_OPTIONS
    "  -h, --help      show this help\n";

const char k_help_pages[] =
    "usage: reraruvozari pages INPUT.pdf...\n"
    "\n"
    "Prints the number of pages of INPUT.pdf. With several files, prints one\n"
    "\"name: count\" line per file that could be read and exits 1 if any\n"
    "could not.\n"
    "\n"
    "Options:\n"
    "  --password PW   the password of an encrypted INPUT.pdf (user or owner);\n"
    "                  files with an empty user password need none\n"
    "  --password-file FILE\n"
    "                  read the password from the first line of FILE\n"
    "  -h, --help      show this help\n";

// Thrown by the parsers and caught once in main: a usage error ends the
// program with status 2 and this message.
struct usage_error {
  std::string message;
};

[[noreturn]] void fail_usage(const std::string &message) {
  throw usage_error{message};
}

void print_error(const std::string &message) {
  std::fprintf(stderr, "reraruvozari: %s\n", message.c_str());
}

std::string library_error() {
  const char *e = reraruvozari_last_error();
  return (e && *e) ? e : "unknown error";
}

// The library's message about one of several files. Most messages already
// name the file; the others get its name in front.
std::string file_error(const std::string &path) {
  std::string message = library_error();
  if (message.find(path) != std::string::npos) return message;
  return path + ": " + message;
}

bool all_digits(const std::string &s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// A finite decimal number in [lo, hi]. Hexadecimal floats, "inf" and "nan"
// are refused; so are leading blanks, which strtod would skip.
double parse_number(const std::string &opt, const std::string &s, double lo,
                    double hi, bool lo_open = false) {
  bool ok = !s.empty();
  for (char c : s) {
    if (!((c >= '0' && c <= '9') || c == '.' || c == '-' || c == '+' ||
          c == 'e' || c == 'E')) {
      ok = false;
    }
  }
  double v = 0;
  if (ok) {
    errno = 0;
    char *end = nullptr;
    v = std::strtod(s.c_str(), &end);
    ok = end != s.c_str() && *end == '\0' && errno != ERANGE && std::isfinite(v);
  }
  if (!ok) fail_usage(opt + ": not a number: " + s);
  if (v > hi || v < lo || (lo_open && v <= lo)) {
    char range[96];
    std::snprintf(range, sizeof range, "%s%g to %g", lo_open ? "above " : "", lo, hi);
    fail_usage(opt + ": out of range (" + range + "): " + s);
  }
  return v;
}

// The position's name for the library; the digits 0 to 5 name the first six.
std::string parse_position(const std::string &s) {
  static const char *const names[] = {"center", "top-left", "top-right",
                                      "bottom-left", "bottom-right", "diagonal",
                                      "top", "bottom", "left", "right", "centre"};
  for (const char *n : names) {
    if (s == n) return s;
  }
  if (s.size() == 1 && s[0] >= '0' && s[0] <= '5') return names[s[0] - '0'];
  fail_usage("--position: unknown position: " + s +
             " (use center, top-left, top-right, bottom-left, bottom-right, "
             "diagonal, top, bottom, left, right or 0 to 5)");
}

// "DX,DY": two numbers in points.
void parse_offset(const std::string &opt, const std::string &s, double *dx,
                  double *dy) {
  size_t comma = s.find(',');
  if (comma == std::string::npos)
    fail_usage(opt + ": not an offset (use DX,DY in points): " + s);
  *dx = parse_number(opt, s.substr(0, comma), -k_size_max, k_size_max);
  *dy = parse_number(opt, s.substr(comma + 1), -k_size_max, k_size_max);
}

struct rgb {
  int red = 128;
  int green = 128;
  int blue = 128;
};

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

rgb parse_color(const std::string &s) {
  const std::string bad =
      "--color: not a colour (use #RRGGBB, RRGGBB or R,G,B): " + s;
  rgb c;
  if (s.find(',') != std::string::npos) {
    int parts[3] = {0, 0, 0};
    size_t start = 0;
    for (int i = 0; i < 3; ++i) {
      size_t comma = s.find(',', start);
      if ((i < 2) != (comma != std::string::npos)) fail_usage(bad);
      std::string part = s.substr(start, comma == std::string::npos ? std::string::npos
                                                                    : comma - start);
      if (!all_digits(part) || part.size() > 3) fail_usage(bad);
      parts[i] = std::atoi(part.c_str());
      if (parts[i] > 255) fail_usage("--color: component out of range (0 to 255): " + s);
      start = comma + 1;
    }
    c.red = parts[0];
    c.green = parts[1];
    c.blue = parts[2];
    return c;
  }
  std::string hex = (!s.empty() && s[0] == '#') ? s.substr(1) : s;
  if (hex.size() != 6) fail_usage(bad);
  int v[6];
  for (int i = 0; i < 6; ++i) {
    v[i] = hex_digit(hex[static_cast<size_t>(i)]);
    if (v[i] < 0) fail_usage(bad);
  }
  c.red = v[0] * 16 + v[1];
  c.green = v[2] * 16 + v[3];
  c.blue = v[4] * 16 + v[5];
  return c;
}

// What the command line asked for, after parsing.
struct request {
  std::vector<std::string> args;  // positional arguments
  // The stamp's settings, each checked by the library's setter as it is
  // parsed; a refused value is a usage error.
  std::unique_ptr<reraruvozari_options, void (*)(reraruvozari_options *)>
      options{nullptr, reraruvozari_options_free};
  bool batch = false;
  std::string out_dir;
  bool have_payload = false;  // --text / --image given
  std::string payload;        // the text or the image path
  int jobs = 0;               // -j; 0: one per processor
  bool recursive = false;     // -r
};

enum class command { text, image, remove, pages };

const char *command_name(command c) {
  switch (c) {
    case command::text: return "text";
    case command::image: return "image";
    case command::remove: return "remove";
    case command::pages: return "pages";
  }
  return "";
}

const char *command_help(command c) {
  switch (c) {
    case command::text: return k_help_text;
    case command::image: return k_help_image;
    case command::remove: return k_help_remove;
    case command::pages: return k_help_pages;
  }
  return k_help;
}

// The first line of a password file, without its line ending (LF or
// CR LF); an unreadable file is a usage error.
std::string read_password_file(const std::string &opt, const std::string &path) {
  // A pipe is fine (--password-file <(...)); a directory reads as nothing.
  std::error_code ec;
  if (std::filesystem::is_directory(std::filesystem::u8path(path), ec))
    fail_usage(opt + ": cannot read " + path + ": " + std::strerror(EISDIR));
  std::ifstream f(std::filesystem::u8path(path), std::ios::binary);
  if (!f) fail_usage(opt + ": cannot read " + path + ": " + std::strerror(errno));
  // The first line, read up to a bound: /dev/zero has no end of line.
  constexpr size_t k_max_line = 64 * 1024;
  std::string line;
  char c;
  while (line.size() <= k_max_line + 1 && f.get(c) && c != '\n') line += c;
  if (f.bad()) fail_usage(opt + ": cannot read " + path);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.size() > k_max_line) fail_usage(opt + ": the first line of " + path + " is too long");
  return line;
}

// Splits "--name=value" and takes the value of an option, from the same
// argument or the next one. Returns false when the command shows its help.
bool parse_args(command cmd, const std::vector<std::string> &argv, request &req) {
  req.options.reset(reraruvozari_options_new());
  if (!req.options) throw std::bad_alloc();
  reraruvozari_options *o = req.options.get();
  bool options_done = false;
  for (size_t i = 0; i < argv.size(); ++i) {
    const std::string &arg = argv[i];
    if (options_done || arg.size() < 2 || arg[0] != '-') {
      req.args.push_back(arg);
      continue;
    }
    if (arg == "--") {
      options_done = true;
      continue;
    }
    if (arg == "-h" || arg == "--help") return false;

    std::string name = arg;
    std::string value;
    bool inline_value = false;
    size_t eq = arg.find('=');
    if (arg.compare(0, 2, "--") == 0 && eq != std::string::npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
      inline_value = true;
    } else if (arg.compare(0, 2, "-j") == 0 && arg.size() > 2) {  // -j4
      name = "-j";
      value = arg.substr(2);
      inline_value = true;
    }
    auto take = [&]() -> std::string {
      if (inline_value) return value;
      if (i + 1 >= argv.size()) fail_usage(name + ": missing value");
      return argv[++i];
    };

    bool stamping = cmd == command::text || cmd == command::image;
    bool is_text = cmd == command::text;
    // A value the library refuses is a usage error with its message.
    auto set = [&](int ok) {
      if (!ok) fail_usage(name + ": " + library_error());
    };
    if (stamping && name == "--opacity") {
      set(reraruvozari_options_set_opacity(o, parse_number(name, take(), 0.0, 1.0)));
    } else if (stamping && name == "--position") {
      set(reraruvozari_options_set_position(o, parse_position(take()).c_str()));
    } else if ((stamping || cmd == command::remove) && name == "--pages") {
      const std::string list = take();
      if (list.empty()) fail_usage(name + ": not a page list: the list is empty");
      set(reraruvozari_options_set_pages(o, list.c_str()));
    } else if (stamping && (name == "-o" || name == "--output-dir")) {
      req.batch = true;
      req.out_dir = take();
      if (req.out_dir.empty()) fail_usage(name + ": empty directory name");
    } else if (stamping && (name == "-j" || name == "--jobs")) {
      const std::string jobs = take();
      if (!all_digits(jobs)) fail_usage(name + ": not a whole number: " + jobs);
      req.jobs = static_cast<int>(parse_number(name, jobs, 1, 1024));
    } else if (stamping && (name == "-r" || name == "--recursive")) {
      req.recursive = true;
    } else if (stamping && name == "--rotation") {
      set(reraruvozari_options_set_rotation(
          o, parse_number(name, take(), -k_rotation_max, k_rotation_max)));
    } else if (stamping && name == "--fit") {
      set(reraruvozari_options_set_fit(o, parse_number(name, take(), 0.0, 1.0, true)));
    } else if (stamping && name == "--margin") {
      set(reraruvozari_options_set_margin(o, parse_number(name, take(), 0.0, k_size_max)));
    } else if (stamping && name == "--offset") {
      double dx = 0, dy = 0;
      parse_offset(name, take(), &dx, &dy);
      set(reraruvozari_options_set_offset(o, dx, dy));
    } else if (stamping && name == "--tile") {
      set(reraruvozari_options_set_tile(o, 1));
    } else if (stamping && name == "--tile-gap") {
      set(reraruvozari_options_set_tile_gap(o, parse_number(name, take(), 0.0, k_size_max)));
    } else if (stamping && name == "--under") {
      set(reraruvozari_options_set_under(o, 1));
    } else if (name == "--password") {
      set(reraruvozari_options_set_password(o, take().c_str()));
    } else if (name == "--password-file") {
      set(reraruvozari_options_set_password(o, read_password_file(name, take()).c_str()));
    } else if (name == "--ignore-permissions") {
      // Accepted by pages too (counting needs no permission), so that one
      // set of options serves every command.
      set(reraruvozari_options_set_ignore_permissions(o, 1));
    } else if (stamping && name == "--ignore-rotation") {
      set(reraruvozari_options_set_ignore_rotation(o, 1));
    } else if (stamping && name == "--layer") {
      const std::string layer = take();
      if (layer.empty()) fail_usage(name + ": empty layer name");
      set(reraruvozari_options_set_layer(o, layer.c_str()));
    } else if (stamping && name == "--no-layer") {
      set(reraruvozari_options_set_layer(o, nullptr));
    } else if (stamping && name == "--show") {
      const std::string when = take();
      if (when != "both" && when != "screen" && when != "print")
        fail_usage(name + ": use both, screen or print: " + when);
      set(reraruvozari_options_set_show(o, when.c_str()));
    } else if (stamping && name == "--replace") {
      set(reraruvozari_options_set_replace(o, 1));
    } else if ((stamping || cmd == command::remove) && name == "--incremental") {
      set(reraruvozari_options_set_incremental(o, 1));
    } else if (is_text && name == "--size") {
      set(reraruvozari_options_set_size(o, parse_number(name, take(), 1, k_size_max)));
    } else if (is_text && name == "--line-spacing") {
      set(reraruvozari_options_set_line_spacing(o, parse_number(name, take(), 0.1, 10)));
    } else if (is_text && (name == "--color" || name == "--colour")) {
      rgb c = parse_color(take());
      set(reraruvozari_options_set_color(o, c.red, c.green, c.blue));
    } else if (is_text && name == "--font") {
      const std::string path = take();
      if (path.empty()) fail_usage(name + ": empty file name");
      set(reraruvozari_options_set_font(o, path.c_str()));
    } else if (is_text && name == "--no-subset") {
      set(reraruvozari_options_set_subset(o, 0));
    } else if (is_text && name == "--text") {
      req.have_payload = true;
      req.payload = take();
    } else if (cmd == command::image && name == "--scale") {
      set(reraruvozari_options_set_scale(o, parse_number(name, take(), 0.0, k_scale_max, true)));
    } else if (cmd == command::image && name == "--image") {
      req.have_payload = true;
      req.payload = take();
    } else {
      fail_usage(std::string(command_name(cmd)) + ": unknown option: " + name);
    }
  }
  return true;
}

// Stamps one file; what the library has to say besides (a signed input
// rewritten whole) goes to standard error.
// The last call's notice on standard error, one warning per line. Removal
// lists the pages whose stamps it left as they stand ("page N: ...").
void print_notice(const char *notice, bool removal) {
  if (!notice || !*notice) return;
  std::fflush(stdout);
  for (const char *line = notice; *line;) {
    const char *end = std::strchr(line, '\n');
    const size_t n = end ? static_cast<size_t>(end - line) : std::strlen(line);
    // "page N: ..." (a signed file's line begins with its path, which may
    // begin so too, but not with digits and a colon after it).
    size_t digits = 0;
    while (5 + digits < n && std::isdigit(static_cast<unsigned char>(line[5 + digits]))) digits++;
    const bool page_line = removal && std::strncmp(line, "page ", 5) == 0 && digits > 0 &&
                           5 + digits < n && line[5 + digits] == ':';
    std::fprintf(stderr, "%s%.*s\n", page_line ? "" : "reraruvozari: warning: ",
                 static_cast<int>(n), line);
    line += n + (end ? 1 : 0);
  }
}

int stamp_one(command cmd, const request &req, const std::string &in,
              const std::string &out, const std::string &payload) {
  int ok = cmd == command::text
               ? reraruvozari_stamp_text(in.c_str(), out.c_str(), payload.c_str(),
                                         req.options.get())
               : reraruvozari_stamp_image(in.c_str(), out.c_str(), payload.c_str(),
                                          req.options.get());
  if (ok) print_notice(reraruvozari_last_notice(), false);
  return ok;
}

int run_batch(command cmd, const request &req) {
  const char *what = cmd == command::text ? "--text" : "--image";
  if (!req.have_payload) {
    fail_usage(std::string(command_name(cmd)) + ": -o needs " + what +
               (cmd == command::text ? " TEXT" : " IMAGE.png"));
  }
  if (req.args.empty()) fail_usage(std::string(command_name(cmd)) + ": no input files");

  // Like mkdir -p: a missing output directory is created.
  std::error_code ec;
  std::filesystem::path dir = std::filesystem::u8path(req.out_dir);
  if (!std::filesystem::is_directory(dir, ec)) {
    ec.clear();
    std::filesystem::create_directories(dir, ec);
    if (ec || !std::filesystem::is_directory(dir, ec)) {
      print_error("cannot create the output directory " + req.out_dir +
                  (ec ? ": " + ec.message() : std::string()));
      return k_exit_failed;
    }
  }

  std::vector<batch_item> items = batch_collect(req.args, req.out_dir, req.recursive);
  size_t total = items.size();
  bool progress = rrv_isatty(rrv_fileno(stderr)) != 0;
  int jobs = req.jobs > 0 ? req.jobs : batch_default_jobs();
  size_t stamped = batch_run(items, jobs, progress,
                             [&](const batch_item &item, std::string &error) {
                               if (stamp_one(cmd, req, item.in, item.out, req.payload)) return true;
                               error = file_error(item.in);
                               return false;
                             });
  std::fflush(stderr);
  std::printf("stamped %zu of %zu files, %zu failed\n", stamped, total, total - stamped);
  return stamped == total ? k_exit_ok : k_exit_failed;
}

int run_stamp(command cmd, const request &req) {
  if (req.batch) return run_batch(cmd, req);
  if (req.jobs > 0 || req.recursive) {
    fail_usage(std::string(command_name(cmd)) + ": " + (req.recursive ? "-r" : "-j") +
               " is for batch mode (-o DIR)");
  }
  size_t want = req.have_payload ? 2 : 3;
  const char *shape = cmd == command::text ? "INPUT.pdf OUTPUT.pdf TEXT"
                                           : "INPUT.pdf OUTPUT.pdf IMAGE.png";
  if (req.args.size() < want) {
    fail_usage(std::string(command_name(cmd)) + ": missing arguments (expected " +
               shape + ")");
  }
  if (req.args.size() > want) {
    fail_usage(std::string(command_name(cmd)) + ": too many arguments: " +
               req.args[want] + " (expected " + shape + ")");
  }
  const std::string &payload = req.have_payload ? req.payload : req.args[2];
  if (!stamp_one(cmd, req, req.args[0], req.args[1], payload)) {
    print_error(library_error());
    return k_exit_failed;
  }
  return k_exit_ok;
}

int run_remove(const request &req) {
  if (req.args.size() < 2)
    fail_usage("remove: missing arguments (expected INPUT.pdf OUTPUT.pdf)");
  if (req.args.size() > 2)
    fail_usage("remove: too many arguments: " + req.args[2] +
               " (expected INPUT.pdf OUTPUT.pdf)");
  int stamps = 0, pages = 0;
  if (!reraruvozari_remove(req.args[0].c_str(), req.args[1].c_str(),
                           req.options.get(), &stamps, &pages)) {
    print_error(library_error());
    return k_exit_failed;
  }
  const char *notice = reraruvozari_last_notice();
  print_notice(notice, true);
  // Stamps found but all left in place (the notice names their pages) are
  // not "none found".
  if (stamps == 0)
    std::printf(notice && *notice ? "no stamp removed\n" : "no watermark found\n");
  else
    std::printf("removed %d stamp%s from %d page%s\n", stamps,
                stamps == 1 ? "" : "s", pages, pages == 1 ? "" : "s");
  return k_exit_ok;
}

int run_pages(const request &req) {
  if (req.args.empty()) fail_usage("pages: no input files");
  bool several = req.args.size() > 1;
  int status = k_exit_ok;
  for (const std::string &path : req.args) {
    int count = 0;
    if (!reraruvozari_count_pages(path.c_str(), req.options.get(), &count)) {
      std::fflush(stdout);
      print_error(several ? file_error(path) : library_error());
      status = k_exit_failed;
      continue;
    }
    if (several) {
      std::printf("%s: %d\n", path.c_str(), count);
    } else {
      std::printf("%d\n", count);
    }
  }
  return status;
}

int run(const std::vector<std::string> &args) {
  if (args.empty()) {
    std::fputs(k_usage, stderr);
    return k_exit_usage;
  }
  const std::string &first = args[0];
  if (first == "-h" || first == "--help") {
    std::fputs(k_usage, stdout);
    std::fputs("\n", stdout);
    std::fputs(k_help, stdout);
    return k_exit_ok;
  }
  if (first == "--version") {
    std::printf("reraruvozari %s\n", k_version);
    return k_exit_ok;
  }
  command cmd;
  if (first == "text") {
    cmd = command::text;
  } else if (first == "image") {
    cmd = command::image;
  } else if (first == "pages") {
    cmd = command::pages;
  } else if (first == "remove") {
    cmd = command::remove;
  } else if (first == "help") {
    if (args.size() == 1) return run({"--help"});
    return run({args[1], "--help"});
  } else if (!first.empty() && first[0] == '-') {
    fail_usage("unknown option: " + first);
  } else {
    fail_usage("unknown command: " + first + " (use text, image, remove or pages)");
  }

  request req;
  if (!parse_args(cmd, std::vector<std::string>(args.begin() + 1, args.end()), req)) {
    std::fputs(command_help(cmd), stdout);
    return k_exit_ok;
  }
  reraruvozari_init();
  int status = cmd == command::pages    ? run_pages(req)
               : cmd == command::remove ? run_remove(req)
                                        : run_stamp(cmd, req);
  reraruvozari_cleanup();
  return status;
}

// The arguments as UTF-8. On Windows argv is in the ANSI code page, which
// cannot hold every file name, so they are taken from the wide command line.
std::vector<std::string> utf8_args(int argc, char **argv) {
  std::vector<std::string> out;
#if defined(_WIN32)
  (void)argc;
  (void)argv;
  int n = 0;
  LPWSTR *wide = CommandLineToArgvW(GetCommandLineW(), &n);
  for (int i = 1; wide && i < n; ++i) {
    int len = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
    std::string s(len > 0 ? static_cast<size_t>(len) : 1u, '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, &s[0], len, nullptr, nullptr);
    s.resize(std::strlen(s.c_str()));
    out.push_back(s);
  }
  if (wide) LocalFree(wide);
#else
  for (int i = 1; i < argc; ++i) out.emplace_back(argv[i]);
#endif
  return out;
}

}  // namespace

#ifndef _WIN32
// Interrupted or terminated, the process takes its temporary outputs away
// (a full copy of a large input otherwise stays beside the output), then
// ends as the signal would have ended it.
extern "C" void on_fatal_signal(int sig) {
  reraruvozari_remove_temporary_files();
  signal(sig, SIG_DFL);
  raise(sig);
}

void catch_fatal_signals() {
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction old;
    // A signal the caller ignores (nohup, a shell's background job) stays
    // ignored.
    if (sigaction(sig, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_fatal_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(sig, &sa, nullptr);
  }
}
#endif

int main(int argc, char **argv) {
#ifndef _WIN32
  catch_fatal_signals();
#endif
  try {
    return run(utf8_args(argc, argv));
  } catch (const usage_error &e) {
    print_error(e.message);
    std::fputs("Try 'reraruvozari --help' for more information.\n", stderr);
    return k_exit_usage;
  } catch (const std::exception &e) {
    print_error(e.what());
    return k_exit_failed;
  }
}
