/* reraruvozari: stamp a text or image watermark onto the pages of a PDF file.
 *
 * Every operation reads the input file completely, builds a new PDF in memory
 * and writes it to a temporary file beside the output path, which then takes
 * the output file's name. The input file is never modified; the output path
 * may equal the input path.
 *
 * Result convention: operations return 1 on success and 0 on failure. Every
 * operation first clears the error text; after a failure
 * reraruvozari_last_error() tells why. Paths and texts are UTF-8.
 *
 * Threads: the library keeps process-wide state (the error text, the cache of
 * inflated fonts, codec tables). Calls must not overlap: a host that uses the
 * library from several threads must serialise the calls itself.
 *
 * Signals: on POSIX systems input files are memory-mapped, and the first
 * call that maps one installs a SIGBUS handler. It handles only faults on
 * the library's own mappings (an input truncated by another process while
 * it is read: the call then fails with "the input file changed while it was
 * read") and passes every other fault to the handler installed before it.
 * A host that installs its own SIGBUS handler later should pass on the
 * faults it does not handle in the same way.
 */
#ifndef RERARUVOZARI_H
#define RERARUVOZARI_H

#if defined(_WIN32)
#  define RERARUVOZARI_CALL __cdecl
#  if defined(RERARUVOZARI_STATIC)
#    define RERARUVOZARI_API
#  elif defined(RERARUVOZARI_BUILD)
#    define RERARUVOZARI_API __declspec(dllexport)
#  else
#    define RERARUVOZARI_API __declspec(dllimport)
#  endif
#else
#  define RERARUVOZARI_CALL
#  if defined(RERARUVOZARI_BUILD) || !defined(RERARUVOZARI_STATIC)
#    define RERARUVOZARI_API __attribute__((visibility("default")))
#  else
#    define RERARUVOZARI_API
#  endif
#endif

#ifdef __cplusplus
#  define RERARUVOZARI_NOEXCEPT noexcept
extern "C" {
#else
#  define RERARUVOZARI_NOEXCEPT
#endif

/* Clears the error text. Optional: nothing needs to be set up. Always 1. */
RERARUVOZARI_API int RERARUVOZARI_CALL reraruvozari_init(void) RERARUVOZARI_NOEXCEPT;

/* The message of the last failure, "" after a success. The text belongs to
 * the library and stays valid until the next call; never free it. */
RERARUVOZARI_API const char *RERARUVOZARI_CALL reraruvozari_last_error(void) RERARUVOZARI_NOEXCEPT;

/* Stamps one line of UTF-8 text on every page. Plain ASCII is drawn in
 * Helvetica-Bold; other text with the embedded fonts (Latin, Greek, Cyrillic,
 * Hebrew, Arabic, Chinese, Japanese kana, Korean). opacity 0..1 (clamped;
 * NaN is refused), rotation in degrees counter-clockwise, font_size >= 1 in
 * points, position 0 centre, 1 top-left, 2 top-right, 3 bottom-left, 4 bottom-right,
 * 5 centre along the page diagonal (when rotation is 0); colour components
 * 0..255 (clamped). Returns 1 or 0. */
RERARUVOZARI_API int RERARUVOZARI_CALL reraruvozari_text(
    const char *input_path, const char *output_path, const char *text,
    float opacity, float rotation, int font_size, int position,
    int red, int green, int blue) RERARUVOZARI_NOEXCEPT;

/* As reraruvozari_text, on pages start_page..end_page (1-based; end_page -1
 * means the last page; an end_page beyond the document is cut). */
RERARUVOZARI_API int RERARUVOZARI_CALL reraruvozari_text_range(
    const char *input_path, const char *output_path, const char *text,
    float opacity, float rotation, int font_size, int position,
    int red, int green, int blue, int start_page, int end_page) RERARUVOZARI_NOEXCEPT;

/* Stamps a PNG image (with its transparency) upright on every page. scale is
 * points per image pixel (a value <= 0 means 1); position as for text.
 * Returns 1 or 0. */
RERARUVOZARI_API int RERARUVOZARI_CALL reraruvozari_image(
    const char *input_path, const char *output_path, const char *image_path,
    float opacity, int position, float scale) RERARUVOZARI_NOEXCEPT;

/* As reraruvozari_image, on pages start_page..end_page. */
RERARUVOZARI_API int RERARUVOZARI_CALL reraruvozari_image_range(
    const char *input_path, const char *output_path, const char *image_path,
    float opacity, int position, float scale, int start_page, int end_page) RERARUVOZARI_NOEXCEPT;

/* Stores the number of pages of a PDF file in *out_pages (written only on
 * success). Returns 1 or 0. */
RERARUVOZARI_API int RERARUVOZARI_CALL reraruvozari_page_count(
    const char *pdf_path, int *out_pages) RERARUVOZARI_NOEXCEPT;

/* Frees the embedded fonts that text watermarks inflated (about 2 MB once all
 * three are in use) and clears the error text. The library stays usable. */
RERARUVOZARI_API void RERARUVOZARI_CALL reraruvozari_cleanup(void) RERARUVOZARI_NOEXCEPT;

/* Removes the temporary files that calls running in this process are
 * writing (each output is written to "OUTPUT.tmpN" beside it and renamed
 * when complete). Meant for a signal handler that ends the process, such
 * as one for SIGINT or SIGTERM: on POSIX systems it allocates nothing,
 * takes no lock and only unlinks files. A call still running then fails to
 * write its output; an existing output and the input stay as they were.
 * Up to 32 temporary files at once are known to it. */
RERARUVOZARI_API void RERARUVOZARI_CALL reraruvozari_remove_temporary_files(void) RERARUVOZARI_NOEXCEPT;

/* ---- The extended interface ------------------------------------------------
 * An options object collects the settings of one stamp; the stamp calls take
 * it (or NULL for the defaults). New settings are new setters: a host built
 * against an older header keeps working. Every setter clears the error text,
 * checks its value and returns 1, or 0 with the error text set and the
 * object unchanged. The defaults are those of the command-line tool.
 *
 * Unlike the classic calls above, positions, the rotation angle, margins and
 * offsets are taken in the page as it is displayed: a page with /Rotate gets
 * the stamp upright, in the corner the reader sees. */
typedef struct reraruvozari_options reraruvozari_options;

/* A new options object with the defaults, or NULL when memory runs out.
 * The host owns it; free it with reraruvozari_options_free. */
RERARUVOZARI_API reraruvozari_options *RERARUVOZARI_CALL reraruvozari_options_new(void) RERARUVOZARI_NOEXCEPT;

/* Frees an options object; NULL is ignored. */
RERARUVOZARI_API void RERARUVOZARI_CALL reraruvozari_options_free(reraruvozari_options *options) RERARUVOZARI_NOEXCEPT;

/* Opacity 0..1 (default 0.3 for text, 0.5 for images). */
RERARUVOZARI_API int RERARUVOZARI_CALL reraruvozari_options_set_opacity(reraruvozari_options *options, double opacity) RERARUVOZARI_NOEXCEPT;

/* Rotation in degrees counter-clockwise, -360..360 (default 0), for text and
 * images alike. */
RERARUVOZARI_API int RERARUVOZARI_CALL reraruvozari_options_set_rotation(reraruvozari_options *options, double degrees) RERARUVOZARI_NOEXCEPT;

/* Font size in points, 1..14400 (default 48). */
RERARUVOZARI_API int RERARUVOZARI_CALL reraruvozari_options_set_size(reraruvozari_options *options, double points) RERARUVOZARI_NOEXCEPT;

/* Image scale in points per pixel, above 0 up to 1000 (default 1). */
RERARUVOZARI_API int RERARUVOZARI_CALL reraruvozari_options_set_scale(reraruvozari_options *options, double scale) RERARUVOZARI_NOEXCEPT;

/* Text colour, components 0..255 (default 128, 128, 128). */
RERARUVOZARI_API int RERARUVOZARI_CALL reraruvozari_options_set_color(reraruvozari_options *options, int red, int green, int blue) RERARUVOZARI_NOEXCEPT;

/* Position by name: "center", "top-left", "top-right", "bottom-left",
 * "bottom-right", "diagonal" (centred along the page diagonal when the
 * rotation is 0), "top", "bottom", "left", "right" (the middle of an edge);
 * "centre" and the classic digits "0".."5" too. Default: "diagonal" for
 * text, "center" for images. */
RERARUVOZARI_API int RERARUVOZARI_CALL reraruvozari_options_set_position(reraruvozari_options *options, const char *name) RERARUVOZARI_NOEXCEPT;

/* The pages to stamp: comma-separated N, N-M, N- (to the last), -M (from the
 * first), "last", "odd", "even"; "" means every page (the default). Pages
 * beyond the document are ignored; a stamp call whose list selects no page
 * fails with "no page of <path> matches <list>". */
RERARUVOZARI_API int RERARUVOZARI_CALL reraruvozari_options_set_pages(reraruvozari_options *options, const char *list) RERARUVOZARI_NOEXCEPT;

/* Fit: with 0 < share <= 1 the size (or image scale) is the largest for
 * which the stamp spans at most `share` of the displayed page width (of its
 * diagonal for "diagonal") and lies inside the visible page less its margins;
 * the size and scale set are then ignored. 0 turns fitting off (default). */
RERARUVOZARI_API int RERARUVOZARI_CALL reraruvozari_options_set_fit(reraruvozari_options *options, double share) RERARUVOZARI_NOEXCEPT;

/* Distance in points, 0..14400, between the page edge and the stamp's box
 * at the corner and edge positions (default 36). The box of a text is its
 * advance width by the font's ascender-to-descender height. */
RERARUVOZARI_API int RERARUVOZARI_CALL reraruvozari_options_set_margin(reraruvozari_options *options, double points) RERARUVOZARI_NOEXCEPT;

/* Moves the stamp by dx points to the right and dy points up on the
 * displayed page, each -14400..14400 (default 0, 0). */
RERARUVOZARI_API int RERARUVOZARI_CALL reraruvozari_options_set_offset(reraruvozari_options *options, double dx, double dy) RERARUVOZARI_NOEXCEPT;

/* Baseline-to-baseline distance of multi-line text, as a multiple of the
 * font size, 0.1..10 (default 1.2). Line feeds separate lines (CR LF counts
 * as one); the lines are centred on each other. */
RERARUVOZARI_API int RERARUVOZARI_CALL reraruvozari_options_set_line_spacing(reraruvozari_options *options, double factor) RERARUVOZARI_NOEXCEPT;

/* Nonzero: the stamp repeated across the whole visible page in a staggered
 * grid, clipped to the page (default 0). */
RERARUVOZARI_API int RERARUVOZARI_CALL reraruvozari_options_set_tile(reraruvozari_options *options, int on) RERARUVOZARI_NOEXCEPT;

/* Space in points between the repetitions of a tiled stamp, 0..14400
 * (default 36). */
RERARUVOZARI_API int RERARUVOZARI_CALL reraruvozari_options_set_tile_gap(reraruvozari_options *options, double points) RERARUVOZARI_NOEXCEPT;

/* Nonzero: the stamp is drawn before the page's content, under it
 * (default 0: over it). */
RERARUVOZARI_API int RERARUVOZARI_CALL reraruvozari_options_set_under(reraruvozari_options *options, int on) RERARUVOZARI_NOEXCEPT;

/* Nonzero: place the stamp in the unrotated page, as the classic calls do,
 * whatever the page's /Rotate (default 0). */
RERARUVOZARI_API int RERARUVOZARI_CALL reraruvozari_options_set_ignore_rotation(reraruvozari_options *options, int on) RERARUVOZARI_NOEXCEPT;

/* The stamps of the extended calls are marked as watermark artifacts, which
 * assistive technology and tag-aware extraction pass over, and carry a
 * marker by which reraruvozari_remove finds them again. By default they
 * also lie in an optional content group (a layer viewers list and can switch
 * off) named "Watermark"; name gives it another name (UTF-8, 1 to 1000
 * bytes), NULL leaves the stamp out of any group. */
RERARUVOZARI_API int RERARUVOZARI_CALL reraruvozari_options_set_layer(reraruvozari_options *options, const char *name) RERARUVOZARI_NOEXCEPT;

/* When the layer is shown: "both" (default), "screen" (not printed) or
 * "print" (printed, hidden on screen). Without a layer it has no effect. */
RERARUVOZARI_API int RERARUVOZARI_CALL reraruvozari_options_set_show(reraruvozari_options *options, const char *when) RERARUVOZARI_NOEXCEPT;

/* Nonzero: remove this library's earlier stamps from the selected pages
 * before stamping, so that the new stamp replaces them (default 0). */
RERARUVOZARI_API int RERARUVOZARI_CALL reraruvozari_options_set_replace(reraruvozari_options *options, int on) RERARUVOZARI_NOEXCEPT;
/* The password of an encrypted input (UTF-8), tried as its user and as its
 * owner password; NULL (the default) gives none, which opens only files
 * whose user password is empty. Encrypted inputs are written encrypted the
 * same way (same passwords, same permissions). A wrong or missing password
 * fails with "PDF is encrypted; the password is wrong or missing: <path>". */
RERARUVOZARI_API int RERARUVOZARI_CALL reraruvozari_options_set_password(reraruvozari_options *options, const char *password) RERARUVOZARI_NOEXCEPT;

/* Nonzero: stamp an encrypted document opened with its user password even
 * when its permissions forbid modifying it (default 0: such a stamp fails
 * with "the document's permissions forbid modifying it; give the owner
 * password"), and stamp or remove stamps from a certified document (a
 * certification signature, /Perms /DocMDP, of any level: none admits a
 * change of page content; default 0: refused with "the document is
 * certified with ...; use --ignore-permissions to ... anyway"). The classic
 * calls stamp certified documents as they always did. */
RERARUVOZARI_API int RERARUVOZARI_CALL reraruvozari_options_set_ignore_permissions(reraruvozari_options *options, int on) RERARUVOZARI_NOEXCEPT;

/* Nonzero (the default): each font is embedded cut down to the glyphs the
 * stamp draws, its name tagged "ABCDEF+Name"; 0 embeds whole fonts. */
RERARUVOZARI_API int RERARUVOZARI_CALL reraruvozari_options_set_subset(reraruvozari_options *options, int on) RERARUVOZARI_NOEXCEPT;

/* Nonzero: the output is the input's bytes unchanged followed by an
 * incremental update (the changed and new objects and a cross-reference
 * section leading back to the input's), so that digital signatures stay
 * valid for the revision they sign; an encrypted input's update is
 * encrypted alike. Refused, with a message, for inputs whose
 * cross-reference data is damaged. Default 0: the whole file is
 * rewritten. */
RERARUVOZARI_API int RERARUVOZARI_CALL reraruvozari_options_set_incremental(reraruvozari_options *options, int on) RERARUVOZARI_NOEXCEPT;

/* A TrueType font file (.ttf, or the first font of a .ttc) that draws the
 * text first, plain ASCII included; the embedded fonts draw the characters
 * it lacks. Refused: OpenType CFF fonts and fonts whose licence bits (OS/2
 * fsType) forbid embedding; a font that forbids subsetting is embedded
 * whole. NULL or "" returns to the embedded fonts (the default). */
RERARUVOZARI_API int RERARUVOZARI_CALL reraruvozari_options_set_font(reraruvozari_options *options, const char *path) RERARUVOZARI_NOEXCEPT;

/* Stamps UTF-8 text with the given options (NULL: the defaults) on the
 * pages of input_path and writes output_path. Returns 1 or 0. */
RERARUVOZARI_API int RERARUVOZARI_CALL reraruvozari_stamp_text(
    const char *input_path, const char *output_path, const char *text,
    const reraruvozari_options *options) RERARUVOZARI_NOEXCEPT;

/* Stamps a PNG image (with its transparency) with the given options (NULL:
 * the defaults). Returns 1 or 0. */
RERARUVOZARI_API int RERARUVOZARI_CALL reraruvozari_stamp_image(
    const char *input_path, const char *output_path, const char *image_path,
    const reraruvozari_options *options) RERARUVOZARI_NOEXCEPT;

/* Removes the stamps this library added from the pages of input_path that
 * the options' page list selects (options may be NULL: every page; of its
 * other settings only the password, ignore_permissions and incremental
 * ones are used) and writes output_path: each page gets back
 * the /Contents it had, the resources the stamps added go, and so does a
 * stamp's layer once no page uses it. Stamps of the classic calls are
 * found when the page's content still has exactly the shape they gave it.
 * A page changed after stamping keeps its stamp and is named in
 * reraruvozari_last_notice(). With nothing to remove, output_path becomes
 * an unchanged copy of input_path. *removed_stamps and *pages_changed
 * (either may be NULL) receive the number of stamps removed and of pages
 * they were removed from. Returns 1 or 0. */
RERARUVOZARI_API int RERARUVOZARI_CALL reraruvozari_remove(
    const char *input_path, const char *output_path,
    const reraruvozari_options *options, int *removed_stamps,
    int *pages_changed) RERARUVOZARI_NOEXCEPT;

/* What the last call that succeeded has to report besides its result, one
 * line each (for reraruvozari_remove: the pages whose stamp was left in
 * place; for every call that rewrote a digitally signed input whole: that
 * its signatures no longer verify), "" when nothing. Owned by the library, valid until the next call. */
RERARUVOZARI_API const char *RERARUVOZARI_CALL reraruvozari_last_notice(void) RERARUVOZARI_NOEXCEPT;
/* The number of pages of pdf_path, opening an encrypted file with the
 * options' password (NULL options: none). Returns 1 or 0. */
RERARUVOZARI_API int RERARUVOZARI_CALL reraruvozari_count_pages(
    const char *pdf_path, const reraruvozari_options *options,
    int *out_pages) RERARUVOZARI_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* RERARUVOZARI_H */
