/* A Windows host for reraruvozari.dll, the way an application without the
 * import library uses it: LoadLibraryW, then GetProcAddress by the eight
 * undecorated names. It counts the pages of a sample PDF and stamps text
 * (ASCII, Chinese and Korean) and a PNG image into files under a directory
 * with a non-ASCII name, created through the wide API, so that every path
 * the library receives is UTF-8 that only reads correctly as UTF-16.
 *
 *   host.exe [DLL [SAMPLE.pdf [LOGO.png [OUTDIR]]]]
 *
 * Defaults: reraruvozari.dll sample.pdf logo.png out. The outputs land in
 * OUTDIR\Verträge; tests/windows/run.sh checks them with qpdf and poppler.
 * Exit status 0 when every check passed, 1 otherwise, 2 when the DLL or one
 * of its exports could not be loaded.
 */
#ifndef UNICODE
#  define UNICODE
#endif
#ifndef _UNICODE
#  define _UNICODE
#endif
#include <windows.h>
#include <shellapi.h>

#include <locale.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

typedef int(__cdecl *init_fn)(void);
typedef const char *(__cdecl *last_error_fn)(void);
typedef int(__cdecl *text_fn)(const char *, const char *, const char *, float,
                              float, int, int, int, int, int);
typedef int(__cdecl *text_range_fn)(const char *, const char *, const char *,
                                    float, float, int, int, int, int, int, int,
                                    int);
typedef int(__cdecl *image_fn)(const char *, const char *, const char *, float,
                               int, float);
typedef int(__cdecl *image_range_fn)(const char *, const char *, const char *,
                                     float, int, float, int, int);
typedef int(__cdecl *page_count_fn)(const char *, int *);
typedef void(__cdecl *cleanup_fn)(void);

static struct {
  init_fn init;
  last_error_fn last_error;
  text_fn text;
  text_range_fn text_range;
  image_fn image;
  image_range_fn image_range;
  page_count_fn page_count;
  cleanup_fn cleanup;
} s_rrv;

static int s_failures;

static void check(int ok, const char *what) {
  printf("%s %s\n", ok ? "ok  " : "FAIL", what);
  if (!ok) {
    s_failures++;
    printf("     last error: %s\n", s_rrv.last_error ? s_rrv.last_error() : "");
  }
  fflush(stdout);
}

/* GetProcAddress returns FARPROC; the detour through a generic function
 * pointer keeps -Wcast-function-type quiet. */
static void (*lookup(HMODULE dll, const char *name))(void) {
  FARPROC p = GetProcAddress(dll, name);
  if (!p) fprintf(stderr, "host: export %s missing (error %lu)\n", name, GetLastError());
  return (void (*)(void))p;
}

/* Wide to a malloc'ed UTF-8 string. */
static char *narrow(const wchar_t *w) {
  int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, NULL, 0, NULL, NULL);
  char *s = n > 0 ? (char *)malloc((size_t)n) : NULL;
  if (s && WideCharToMultiByte(CP_UTF8, 0, w, -1, s, n, NULL, NULL) != n) {
    free(s);
    s = NULL;
  }
  if (!s) {
    fprintf(stderr, "host: cannot convert a path to UTF-8\n");
    exit(2);
  }
  return s;
}

/* dir\name as an absolute wide path (drive letter and all). */
static void join_full(wchar_t *out, size_t cap, const wchar_t *dir, const wchar_t *name) {
  wchar_t rel[MAX_PATH];
  if (name)
    _snwprintf(rel, MAX_PATH, L"%ls\\%ls", dir, name);
  else
    _snwprintf(rel, MAX_PATH, L"%ls", dir);
  rel[MAX_PATH - 1] = 0;
  DWORD n = GetFullPathNameW(rel, (DWORD)cap, out, NULL);
  if (n == 0 || n >= cap) {
    fprintf(stderr, "host: GetFullPathNameW failed (error %lu)\n", GetLastError());
    exit(2);
  }
}

/* Size in bytes through the wide API, -1 when the file does not exist. */
static long long wide_size(const wchar_t *path) {
  WIN32_FILE_ATTRIBUTE_DATA a;
  if (!GetFileAttributesExW(path, GetFileExInfoStandard, &a)) return -1;
  return ((long long)a.nFileSizeHigh << 32) | a.nFileSizeLow;
}

/* The outputs the host writes, in OUTDIR\Verträge. run.sh knows them too. */
static const wchar_t *const s_outputs[] = {
    L"text-ascii.pdf",
    L"vertrag-\u65e5\u672c.pdf",         /* vertrag-日本.pdf */
    L"seite-1-\u00e4\u00f6\u00fc.pdf",   /* seite-1-äöü.pdf */
    L"bild-\u753b\u50cf.pdf",            /* bild-画像.pdf */
    L"bild-seite-1.pdf",
    L"kopie-\u00df.pdf",                 /* kopie-ß.pdf, stamped in place */
    L"komma-locale.pdf",
    L"pr\u00e4fix.pdf",                  /* präfix.pdf, through \\?\ */
};
static const wchar_t *const s_inputs[] = {
    L"logo-\u30ed\u30b4.png",            /* logo-ロゴ.png */
};

static int known_name(const wchar_t *name) {
  size_t i;
  for (i = 0; i < sizeof s_outputs / sizeof s_outputs[0]; i++)
    if (wcscmp(name, s_outputs[i]) == 0) return 1;
  for (i = 0; i < sizeof s_inputs / sizeof s_inputs[0]; i++)
    if (wcscmp(name, s_inputs[i]) == 0) return 1;
  return wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0;
}

int main(void) {
  int argc = 0;
  wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  const wchar_t *dll_path = argc > 1 ? argv[1] : L"reraruvozari.dll";
  const wchar_t *sample_w = argc > 2 ? argv[2] : L"sample.pdf";
  const wchar_t *logo_w = argc > 3 ? argv[3] : L"logo.png";
  const wchar_t *out_w = argc > 4 ? argv[4] : L"out";

  HMODULE dll = LoadLibraryW(dll_path);
  if (!dll) {
    fprintf(stderr, "host: LoadLibraryW(%ls) failed (error %lu)\n", dll_path, GetLastError());
    return 2;
  }
  s_rrv.init = (init_fn)lookup(dll, "reraruvozari_init");
  s_rrv.last_error = (last_error_fn)lookup(dll, "reraruvozari_last_error");
  s_rrv.text = (text_fn)lookup(dll, "reraruvozari_text");
  s_rrv.text_range = (text_range_fn)lookup(dll, "reraruvozari_text_range");
  s_rrv.image = (image_fn)lookup(dll, "reraruvozari_image");
  s_rrv.image_range = (image_range_fn)lookup(dll, "reraruvozari_image_range");
  s_rrv.page_count = (page_count_fn)lookup(dll, "reraruvozari_page_count");
  s_rrv.cleanup = (cleanup_fn)lookup(dll, "reraruvozari_cleanup");
  if (!s_rrv.init || !s_rrv.last_error || !s_rrv.text || !s_rrv.text_range ||
      !s_rrv.image || !s_rrv.image_range || !s_rrv.page_count || !s_rrv.cleanup)
    return 2;
  /* A decorated or mangled twin would mean the header lost its extern "C". */
  check(GetProcAddress(dll, "_reraruvozari_init") == NULL, "no decorated export names");

  wchar_t buf[MAX_PATH];
  join_full(buf, MAX_PATH, sample_w, NULL);
  char *sample = narrow(buf);
  wchar_t dir_w[MAX_PATH];
  join_full(dir_w, MAX_PATH, out_w, L"Vertr\u00e4ge");
  CreateDirectoryW(out_w, NULL);
  if (!CreateDirectoryW(dir_w, NULL) && GetLastError() != ERROR_ALREADY_EXISTS) {
    fprintf(stderr, "host: cannot create %ls (error %lu)\n", dir_w, GetLastError());
    return 2;
  }
  /* The PNG is read from a non-ASCII name as well. */
  join_full(buf, MAX_PATH, dir_w, s_inputs[0]);
  if (!CopyFileW(logo_w, buf, FALSE)) {
    fprintf(stderr, "host: cannot copy %ls (error %lu)\n", logo_w, GetLastError());
    return 2;
  }
  char *logo = narrow(buf);
  char *out[sizeof s_outputs / sizeof s_outputs[0]];
  size_t i;
  for (i = 0; i < sizeof s_outputs / sizeof s_outputs[0]; i++) {
    join_full(buf, MAX_PATH, dir_w, s_outputs[i]);
    DeleteFileW(buf);
    out[i] = narrow(buf);
  }
  printf("input  %s\noutput %s\n", sample, out[1]);

  check(s_rrv.init() == 1 && s_rrv.last_error()[0] == 0, "init");
  int pages = 0;
  check(s_rrv.page_count(sample, &pages) == 1 && pages >= 1, "page_count of the sample");
  printf("     %d page(s)\n", pages);

  check(s_rrv.text(sample, out[0], "CONFIDENTIAL", 0.3f, 45.0f, 48, 0, 200, 0, 0) == 1,
        "text, ASCII");
  /* 机密 기밀: Chinese and Korean through the embedded fonts. */
  check(s_rrv.text(sample, out[1], u8"\u673a\u5bc6 \uae30\ubc00", 0.5f, 0.0f, 36, 0,
                   0, 0, 255) == 1,
        "text, CJK, output vertrag-\xe6\x97\xa5\xe6\x9c\xac.pdf");
  check(s_rrv.text_range(sample, out[2], "ENTWURF", 0.4f, 0.0f, 30, 1, 0, 128, 0, 1, 1) == 1,
        "text_range, page 1");
  check(s_rrv.image(sample, out[3], logo, 0.6f, 0, 0.5f) == 1, "image from logo-\xe3\x83\xad\xe3\x82\xb4.png");
  check(s_rrv.image_range(sample, out[4], logo, 1.0f, 4, 0.25f, 1, 1) == 1,
        "image_range, page 1");

  /* Output path equal to the input path: the temporary file replaces an
   * existing file (MoveFileExW with MOVEFILE_REPLACE_EXISTING). */
  join_full(buf, MAX_PATH, dir_w, s_outputs[5]);
  check(CopyFileW(sample_w, buf, FALSE) != 0, "copy the sample for the in-place stamp");
  check(s_rrv.text(out[5], out[5], "IN PLACE", 0.5f, 0.0f, 40, 2, 0, 0, 0) == 1,
        "text, output equal to input");

  /* Extended-length form, the way hosts reach paths beyond MAX_PATH. */
  join_full(buf, MAX_PATH, dir_w, s_outputs[7]);
  {
    wchar_t ext_w[MAX_PATH + 8];
    _snwprintf(ext_w, MAX_PATH + 8, L"\\\\?\\%ls", buf);
    ext_w[MAX_PATH + 7] = 0;
    char *ext = narrow(ext_w);
    check(s_rrv.text(sample, ext, "PRAEFIX", 0.5f, 0.0f, 24, 4, 0, 0, 0) == 1,
          "text, output given as \\\\?\\ path");
    free(ext);
  }

  /* A locale with a decimal comma must not leak into the numbers written. */
  const char *loc = setlocale(LC_ALL, "German_Germany.1252");
  if (!loc) loc = setlocale(LC_ALL, "de-DE");
  printf("     locale: %s, decimal point \"%s\"\n", loc ? loc : "(not available)",
         localeconv()->decimal_point);
  check(s_rrv.text(sample, out[6], "KOMMA", 0.25f, 12.5f, 20, 3, 10, 20, 30) == 1,
        "text under a decimal-comma locale");
  setlocale(LC_ALL, "C");

  for (i = 0; i < sizeof s_outputs / sizeof s_outputs[0]; i++) {
    int n = 0;
    join_full(buf, MAX_PATH, dir_w, s_outputs[i]);
    check(wide_size(buf) > 0 && s_rrv.page_count(out[i], &n) == 1 && n == pages,
          "output exists (wide API) and keeps the page count");
  }

  /* Failures give a message, never a crash. */
  int n = -1;
  check(s_rrv.page_count("Z:\\no\\such\\dir\\fehlt.pdf", &n) == 0 && n == -1 &&
            s_rrv.last_error()[0] != 0,
        "page_count of a missing file fails with a message");
  printf("     message: %s\n", s_rrv.last_error());
  check(s_rrv.page_count("bad-\xff\xfe.pdf", &n) == 0 && s_rrv.last_error()[0] != 0,
        "a path that is not UTF-8 fails with a message");
  check(s_rrv.text(sample, out[0], "", 0.5f, 0.0f, 12, 0, 0, 0, 0) == 0 &&
            s_rrv.last_error()[0] != 0,
        "empty text is refused");
  check(s_rrv.init() == 1 && s_rrv.last_error()[0] == 0, "init clears the error");

  /* No temporary file may be left beside the outputs. */
  wchar_t pattern[MAX_PATH];
  _snwprintf(pattern, MAX_PATH, L"%ls\\*", dir_w);
  pattern[MAX_PATH - 1] = 0;
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW(pattern, &fd);
  int strays = 0;
  if (h != INVALID_HANDLE_VALUE) {
    do {
      if (!known_name(fd.cFileName)) {
        printf("     stray file: %ls\n", fd.cFileName);
        strays++;
      }
    } while (FindNextFileW(h, &fd));
    FindClose(h);
  }
  check(h != INVALID_HANDLE_VALUE && strays == 0, "no temporary files left behind");

  s_rrv.cleanup();
  check(s_rrv.last_error()[0] == 0, "cleanup");
  check(s_rrv.page_count(sample, &n) == 1 && n == pages, "usable after cleanup");

  for (i = 0; i < sizeof s_outputs / sizeof s_outputs[0]; i++) free(out[i]);
  free(logo);
  free(sample);
  FreeLibrary(dll);
  LocalFree(argv);
  printf("%s: %d failure(s)\n", s_failures ? "FAILED" : "PASSED", s_failures);
  return s_failures ? 1 : 0;
}
