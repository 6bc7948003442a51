#!/bin/sh
# Stamping every page of a large input, full rewrite and --incremental,
# against `cat in > out`, for one or two builds of the CLI side by side:
# RUNS interleaved rounds (one run of every command per round), the output
# removed and `sync` before every run, medians of wall time and of peak RSS
# (GNU time %M).
#
#   bench/input_map.sh IN.pdf CLI [BASE_CLI]      (RUNS=9 by default)
set -eu
in=$1
cli=$2
base=${3:-}
runs=${RUNS:-9}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
out=$work/out.pdf
log=$work/log

cat "$in" > /dev/null  # in the page cache

one() {  # label command...
  label=$1
  shift
  rm -f "$out"
  sync
  /usr/bin/time -f "$label %e %M" -a -o "$log" "$@" > /dev/null
}

i=0
while [ "$i" -lt "$runs" ]; do
  rm -f "$out"
  sync
  /usr/bin/time -f "cat %e %M" -a -o "$log" sh -c 'cat "$1" > "$2"' sh "$in" "$out"
  one full "$cli" text "$in" "$out" CONFIDENTIAL --position diagonal --opacity 0.3 --size 48
  one incremental "$cli" text "$in" "$out" CONFIDENTIAL --position diagonal --opacity 0.3 \
    --size 48 --incremental
  if [ -n "$base" ]; then
    one full-before "$base" text "$in" "$out" CONFIDENTIAL --position diagonal --opacity 0.3 \
      --size 48
    one incremental-before "$base" text "$in" "$out" CONFIDENTIAL --position diagonal \
      --opacity 0.3 --size 48 --incremental
  fi
  i=$((i + 1))
done

/usr/bin/python3 - "$log" "$in" <<'EOF'
import os, statistics, sys
rows = {}
for line in open(sys.argv[1]):
    p = line.split()
    if len(p) == 3:
        rows.setdefault(p[0], []).append((float(p[1]), int(p[2])))
size = os.path.getsize(sys.argv[2])
cat = statistics.median(t for t, _ in rows["cat"])
print(f"input {size} bytes ({size / 2**20:.1f} MiB); medians of {len(rows['cat'])} interleaved runs")
print("| command | wall | x cat | peak RSS | RSS / input |")
print("|---|---:|---:|---:|---:|")
for k, v in rows.items():
    t = statistics.median(x for x, _ in v)
    m = statistics.median(x for _, x in v)
    print(f"| {k} | {t:.3f} s [{min(x for x, _ in v):.3f}-{max(x for x, _ in v):.3f}] | "
          f"{t / cat:.2f}x | {m / 1024:.1f} MiB | {m * 1024 / size:.2f} |")
EOF
