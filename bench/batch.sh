#!/usr/bin/env bash
# Batch throughput: files per second of the CLI's batch mode over N copies
# of examples/sample.pdf (3 pages), with -j 1 and -j 2 worker processes,
# beside a shell loop of `qpdf --overlay` stamping the same files with a
# one-page text stamp (serially, and two at a time with xargs -P 2).
#
#   bench/batch.sh [CLI]     default CLI: build-bench/bin/reraruvozari
#                            (configured and built as Release when missing)
#   N=1000 RUNS=5 bench/batch.sh
#   TMPDIR=/dev/shm bench/batch.sh   inputs and outputs in memory (tmpfs)
#   PAGES=300 N=200 bench/batch.sh    inputs of 300 pages (the sample repeated)
#
# Beside the stamping, the time the file system takes to create N empty
# files (a shell loop of ': > FILE'): on a disk whose file creation is
# slow and serialised, that floor, not the stamping, bounds every run.
#
# Each figure is the best of RUNS runs; the outputs are removed before each
# run. Needs qpdf and /usr/bin/python3.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
N=${N:-1000}
RUNS=${RUNS:-5}
CLI=${1:-$ROOT/build-bench/bin/reraruvozari}
if [ ! -x "$CLI" ]; then
  cmake -S "$ROOT" -B "$ROOT/build-bench" -DCMAKE_BUILD_TYPE=Release -DRRV_TESTS=OFF >/dev/null
  cmake --build "$ROOT/build-bench" -j2 --target rrv_cli >/dev/null
fi
W=$(mktemp -d)
trap 'rm -rf "$W"' EXIT
mkdir "$W/in"
# PAGES above 3: each input is the sample repeated to that many pages.
PAGES=${PAGES:-3}
src="$ROOT/examples/sample.pdf"
if [ "$PAGES" -gt 3 ]; then
  set --
  n=0
  while [ "$n" -lt "$PAGES" ]; do set -- "$@" "$ROOT/examples/sample.pdf"; n=$((n + 3)); done
  qpdf --empty --pages "$@" -- "$W/big.pdf"
  qpdf --pages "$W/big.pdf" 1-"$PAGES" -- "$W/big.pdf" "$W/src.pdf"
  src="$W/src.pdf"
fi
for i in $(seq -w 1 "$N"); do cp "$src" "$W/in/f$i.pdf"; done

# The stamp for qpdf: a blank A4 page with the same text stamped by the CLI.
/usr/bin/python3 - "$W/blank.pdf" <<'PY'
import sys
objs = [b"<< /Type /Catalog /Pages 2 0 R >>",
        b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] >>"]
out = bytearray(b"%PDF-1.4\n")
offsets = []
for i, body in enumerate(objs, 1):
    offsets.append(len(out))
    out += b"%d 0 obj\n%s\nendobj\n" % (i, body)
xref = len(out)
out += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objs) + 1)
out += b"".join(b"%010d 00000 n \n" % o for o in offsets)
out += b"trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (len(objs) + 1, xref)
open(sys.argv[1], "wb").write(out)
PY
"$CLI" text "$W/blank.pdf" "$W/stamp.pdf" CONFIDENTIAL

# best_of CMD...: the shortest wall time of RUNS runs, in seconds.
best_of() {
  local best="" t0 t1 t
  for _ in $(seq "$RUNS"); do
    rm -rf "$W/out"
    mkdir "$W/out"
    sync
    t0=$(date +%s.%N)
    "$@" >/dev/null 2>&1 || true
    t1=$(date +%s.%N)
    # qpdf exits 3 on mere warnings: judge every run by its outputs.
    n=$(find "$W/out" -name '*.pdf' | wc -l)
    if [ "$n" != "$N" ]; then
      echo "bench/batch.sh: $* wrote $n of $N files" >&2
      exit 1
    fi
    t=$(echo "$t1 - $t0" | bc -l)
    if [ -z "$best" ] || [ "$(echo "$t < $best" | bc -l)" = 1 ]; then best=$t; fi
  done
  echo "$best"
}
qpdf_loop() {
  for f in "$W"/in/*.pdf; do qpdf "$f" --overlay "$W/stamp.pdf" -- "$W/out/${f##*/}"; done
}
qpdf_xargs() {
  find "$W/in" -name '*.pdf' -print0 | xargs -0 -P 2 -I{} sh -c \
    'qpdf "$1" --overlay "$2" -- "$3/${1##*/}"' _ {} "$W/stamp.pdf" "$W/out"
}
create_only() {
  for f in "$W"/in/*.pdf; do : > "$W/out/${f##*/}"; done
}
export -f qpdf_loop qpdf_xargs create_only
export W

j1=$(best_of "$CLI" text -j 1 -o "$W/out" --text CONFIDENTIAL "$W"/in/*.pdf)
j2=$(best_of "$CLI" text -j 2 -o "$W/out" --text CONFIDENTIAL "$W"/in/*.pdf)
c0=$(best_of bash -c create_only)
q1=$(best_of bash -c qpdf_loop)
q2=$(best_of bash -c qpdf_xargs)
# The two CLI runs must agree byte for byte.
rm -rf "$W/o1" "$W/o2"
"$CLI" text -j 1 -o "$W/o1" --text CONFIDENTIAL "$W"/in/*.pdf >/dev/null
"$CLI" text -j 2 -o "$W/o2" --text CONFIDENTIAL "$W"/in/*.pdf >/dev/null
[ "$(find "$W/o1" -name '*.pdf' | wc -l)" = "$N" ] && diff -r -q "$W/o1" "$W/o2" >/dev/null \
  && same=yes || same=NO

rate() { echo "scale=0; $N / $1" | bc -l; }
printf '%s files of %s pages in %s (%s), %s processors, best of %s runs\n' "$N" "$PAGES" \
  "$(dirname "$W")" "$(stat -f -c %T "$W")" "$(nproc)" "$RUNS"
printf '%-40s %8s s %8s files/s\n' "reraruvozari text -j 1" "$j1" "$(rate "$j1")"
printf '%-40s %8s s %8s files/s\n' "reraruvozari text -j 2" "$j2" "$(rate "$j2")"
printf '%-40s %8s s %8s files/s\n' "creating empty files, shell loop" "$c0" "$(rate "$c0")"
printf '%-40s %8s s %8s files/s\n' "qpdf --overlay, shell loop" "$q1" "$(rate "$q1")"
printf '%-40s %8s s %8s files/s\n' "qpdf --overlay, xargs -P 2" "$q2" "$(rate "$q2")"
printf 'speed-up -j 2 / -j 1: %s; outputs of -j 1 and -j 2 identical: %s\n' \
  "$(echo "scale=2; $j1 / $j2" | bc -l)" "$same"
