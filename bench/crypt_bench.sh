#!/bin/sh
# Stamping an AES-256 encrypted 10,000-page file against the same file
# unencrypted (both with object streams), through the CLI; prints the
# median of RUNS runs of each and their ratio.
#   bench/crypt_bench.sh CLI [PAGES] [RUNS]
# Needs qpdf (to build and encrypt the input).
set -eu
cli=$1
pages=${2:-10000}
runs=${3:-5}
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d /tmp/rrvcrypt.XXXXXX)
trap 'rm -rf "$work"' EXIT
# A 10,000-page document: the 3-page sample repeated.
set --
n=0
while [ $n -lt "$pages" ]; do set -- "$@" "$root/examples/sample.pdf"; n=$((n + 3)); done
qpdf --empty --pages "$@" -- "$work/big.pdf"
qpdf --pages "$work/big.pdf" 1-"$pages" -- --object-streams=generate "$work/big.pdf" "$work/plain.pdf"
qpdf --object-streams=generate --encrypt "" owner 256 -- "$work/plain.pdf" "$work/aes256.pdf"
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
time_one() {
  i=0
  while [ $i -lt "$runs" ]; do
    rm -f "$work/out.pdf"
    s=$(date +%s%N)
    "$cli" text "$1" "$work/out.pdf" "CONFIDENTIAL" >/dev/null
    e=$(date +%s%N)
    echo $(( (e - s) / 1000000 ))
    i=$((i + 1))
  done | median
}
plain=$(time_one "$work/plain.pdf")
enc=$(time_one "$work/aes256.pdf")
echo "pages $pages: unencrypted ${plain} ms, AES-256 ${enc} ms, ratio $(awk "BEGIN {printf \"%.2f\", $enc / $plain}")"
