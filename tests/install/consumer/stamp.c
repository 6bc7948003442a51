/* A program of a library user: stamps argv[3] onto argv[1], writes argv[2]
 * and prints the page count of the result. Built against an installed
 * reraruvozari, as C (pkg-config) and as C++ (CMake). */
#include <reraruvozari.h>
#include <stdio.h>

int main(int argc, char **argv) {
  int pages = 0;
  if (argc != 4) {
    fprintf(stderr, "usage: stamp IN.pdf OUT.pdf TEXT\n");
    return 2;
  }
  if (!reraruvozari_init() ||
      !reraruvozari_text(argv[1], argv[2], argv[3], 0.5f, 0.0f, 30, 0, 200, 0, 0) ||
      !reraruvozari_page_count(argv[2], &pages)) {
    fprintf(stderr, "stamp: %s\n", reraruvozari_last_error());
    return 1;
  }
  printf("%d\n", pages);
  reraruvozari_cleanup();
  return 0;
}
