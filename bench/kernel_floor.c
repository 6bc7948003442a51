/* What an incremental update of a large file costs before any parsing: the
 * kernel's part alone, against a plain copy of the file (what `cat in > out`
 * does), measured in one process, interleaved, medians.
 *
 *   copy       read()/write() in 128 KiB pieces (the reference: cat)
 *   kcopy      copy_file_range of the whole file (the update's prefix)
 *   kcopy+map  and one byte read from every 4 KiB page of a mapping (the
 *              page dictionaries of a large file lie on every page)
 *   kcopy+pread and 10,000 preads of 256 bytes spread over the file
 *   ...+update and UPDATE bytes written after the copy (the new page
 *              dictionaries and cross-reference section)
 *
 *   cc -O2 -o kernel_floor bench/kernel_floor.c
 *   ./kernel_floor IN.pdf OUTDIR [UPDATE_BYTES [ROUNDS]]
 *
 * Linux only (copy_file_range). The output is removed and `sync` runs
 * before every timed run, outside the timing.
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

enum { COPY, KCOPY, KCOPY_MAP, KCOPY_PREAD, KCOPY_MAP_UPDATE, KCOPY_PREAD_UPDATE, MODES };
static const char *const k_names[MODES] = {"copy (cat)", "kcopy", "kcopy+map", "kcopy+pread",
                                           "kcopy+map+update", "kcopy+pread+update"};

static double now_ms(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

static int cmp_double(const void *a, const void *b) {
  double x = *(const double *)a, y = *(const double *)b;
  return x < y ? -1 : x > y;
}

/* One timed run of `mode`; returns milliseconds, or -1 on an error. */
static double run(int mode, int in, off_t size, const char *out_path, size_t update) {
  unlink(out_path);
  sync();
  double t0 = now_ms();
  int out = open(out_path, O_WRONLY | O_CREAT | O_EXCL, 0644);
  if (out < 0) return -1;
  long sum = 0;
  if (mode == COPY) {
    static char buf[1 << 17];
    off_t at = 0;
    ssize_t n;
    while ((n = pread(in, buf, sizeof buf, at)) > 0) {
      if (write(out, buf, (size_t)n) != n) return -1;
      at += n;
    }
  } else {
    loff_t at = 0;
    size_t left = (size_t)size;
    while (left) {
      ssize_t n = copy_file_range(in, &at, out, NULL, left, 0);
      if (n <= 0) return -1;
      left -= (size_t)n;
    }
  }
  if (mode == KCOPY_MAP || mode == KCOPY_MAP_UPDATE) {
    const volatile char *p = mmap(NULL, (size_t)size, PROT_READ, MAP_PRIVATE, in, 0);
    if (p == MAP_FAILED) return -1;
    for (off_t i = 0; i < size; i += 4096) sum += p[i];
    munmap((void *)p, (size_t)size);
  }
  if (mode == KCOPY_PREAD || mode == KCOPY_PREAD_UPDATE) {
    char b[256];
    off_t step = size / 10000;
    for (long i = 0; i < 10000; i++)
      if (pread(in, b, sizeof b, i * step) > 0) sum += b[0];
  }
  if (mode == KCOPY_MAP_UPDATE || mode == KCOPY_PREAD_UPDATE) {
    char *u = malloc(update);
    if (!u) return -1;
    memset(u, 'x', update);
    if (write(out, u, update) != (ssize_t)update) return -1;
    free(u);
  }
  if (close(out) != 0) return -1;
  double t = now_ms() - t0;
  return sum == -1 ? -1 : t; /* keeps the reads */
}

int main(int argc, char **argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: %s IN.pdf OUTDIR [UPDATE_BYTES [ROUNDS]]\n", argv[0]);
    return 2;
  }
  size_t update = argc > 3 ? strtoul(argv[3], NULL, 10) : 2500000;
  int rounds = argc > 4 ? atoi(argv[4]) : 11;
  if (rounds < 1 || rounds > 1000) rounds = 11;
  int in = open(argv[1], O_RDONLY);
  struct stat st;
  if (in < 0 || fstat(in, &st) != 0) {
    perror(argv[1]);
    return 1;
  }
  char out_path[4096];
  snprintf(out_path, sizeof out_path, "%s/kernel_floor.out", argv[2]);
  double *t = calloc((size_t)rounds * MODES, sizeof *t);
  if (!t) return 1;
  for (int r = 0; r < rounds; r++)
    for (int m = 0; m < MODES; m++)
      if ((t[m * rounds + r] = run(m, in, st.st_size, out_path, update)) < 0) {
        perror("run");
        return 1;
      }
  unlink(out_path);
  printf("input %lld bytes; update %zu bytes; medians of %d interleaved rounds\n",
         (long long)st.st_size, update, rounds);
  double ref = 0;
  for (int m = 0; m < MODES; m++) {
    qsort(t + m * rounds, (size_t)rounds, sizeof *t, cmp_double);
    double med = t[m * rounds + rounds / 2];
    if (m == COPY) ref = med;
    printf("| %-20s | %7.1f ms | %5.2fx |\n", k_names[m], med, med / ref);
  }
  free(t);
  return 0;
}
