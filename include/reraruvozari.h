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
 * Hebrew, Arabic, Chinese, Japanese kana, Korean). opacity 0..1 (clamped),
 * rotation in degrees counter-clockwise, font_size >= 1 in points, position
 * 0 centre, 1 top-left, 2 top-right, 3 bottom-left, 4 bottom-right,
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

#ifdef __cplusplus
}
#endif

#endif /* RERARUVOZARI_H */
