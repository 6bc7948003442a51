#!/bin/bash
# Whole-process benchmark: reraruvozari's CLI against the tools people use today to stamp a
# watermark on every page (qpdf --overlay, pdftk stamp, PyMuPDF, pypdf, pikepdf, pdf-lib,
# Ghostscript, mutool run) and the references `cat in > out`, `mutool clean`, `qpdf in out`.
#
#   bench/peers/run.sh            inputs + build + peers (10, 1,000, 10,000 pages) + scaling + plot
#   STEPS="peers" SIZES="10 1000" bench/peers/run.sh     a quicker subset
#   FULL=1 bench/peers/run.sh     every peer at 10,000 pages too (adds ~15 min; pypdf ~200 s a run)
#
# Steps (STEPS, default "setup inputs build peers scale plot"):
#   setup   apt-get/npm install the peer tools when missing (root, Debian)
#   inputs  $PEERS/gen_inputs.sh (default /work/shared/peers, the shared baselines' generator) -> $W (10/1,000/10,000-page PDFs, classic and object-stream, stamp.png,
#           stamp_text.pdf, stamp_image.pdf); 1/100/100,000 pages made from them with qpdf
#   build   Release build of the CLI in $B
#   peers   bench.py peers -> $W/peers.json, tables -> $W/peers.md
#   scale   bench.py scale -> $W/scale.json (our text watermark at 1 .. 100,000 pages)
#   plot    docs/scaling.png from $W/scale.json
# Inputs and outputs stay in $W (default bench/peers/work/, git-ignored).
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
export W=${W:-$HERE/work}
B=${B:-$ROOT/build-bench}
export CLI=${CLI:-$B/bin/reraruvozari}
PY=/usr/bin/python3
PEERS=${PEERS:-/work/shared/peers}
STEPS=${STEPS:-setup inputs build peers scale plot}
mkdir -p "$W"

has() { case " $STEPS " in *" $1 "*) return 0;; esac; return 1; }

if has setup; then
  need=()
  for t in qpdf:qpdf pdftk:pdftk-java mutool:mupdf-tools gs:ghostscript hyperfine:hyperfine \
           pdfinfo:poppler-utils node:nodejs npm:npm cmake:cmake g++:g++; do
    command -v "${t%%:*}" > /dev/null || need+=("${t#*:}")
  done
  [ -x /usr/bin/time ] || need+=(time)
  for m in fitz:python3-fitz pypdf:python3-pypdf pikepdf:python3-pikepdf matplotlib:python3-matplotlib; do
    $PY -c "import ${m%%:*}" 2> /dev/null || need+=("${m#*:}")
  done
  if [ ${#need[@]} -gt 0 ]; then apt-get update -qq && apt-get install -y -qq "${need[@]}"; fi
  [ -d "$HERE/node_modules/pdf-lib" ] || (cd "$HERE" && npm ci --silent)
fi

if has inputs; then
  OUT="$W" "$PEERS/gen_inputs.sh"   # its stamp PDFs need pdf-lib beside it: made here instead
  node "$HERE/make_stamps.js" "$W/stamp.png" "$W"
  [ -s "$W/in1.pdf" ] || qpdf --empty --pages "$W/in10.pdf" 1 -- "$W/in1.pdf"
  [ -s "$W/in100.pdf" ] || qpdf --empty --pages "$W/in1000.pdf" 1-100 -- "$W/in100.pdf"
  if [ ! -s "$W/in100000.pdf" ]; then
    # ten copies under different names, so qpdf copies every page's objects (no sharing)
    args=()
    for i in 0 1 2 3 4 5 6 7 8 9; do ln -f "$W/in10000.pdf" "$W/part$i.pdf"; args+=("$W/part$i.pdf" 1-z); done
    qpdf --empty --pages "${args[@]}" -- "$W/in100000.pdf"
    rm -f "$W"/part?.pdf
  fi
fi

if has build; then
  cmake -S "$ROOT" -B "$B" -DCMAKE_BUILD_TYPE=Release -DRRV_TESTS=OFF -DRRV_BENCH=ON > /dev/null
  cmake --build "$B" -j2 --target rrv_cli > /dev/null
fi

machine() {
  echo "nproc: $(nproc); cpu: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //');" \
       "RAM: $(free -g | awk '/^Mem:/{print $2}') GiB; $(uname -sr)"
  echo "load average at $(date -u +%FT%TZ): $(cut -d' ' -f1-3 /proc/loadavg)"
}

if has peers; then
  machine | tee "$W/machine-peers.txt"
  $PY "$HERE/bench.py" peers "$W/peers.json"
  echo "load average at end: $(cut -d' ' -f1-3 /proc/loadavg)" | tee -a "$W/machine-peers.txt"
  $PY "$HERE/bench.py" table "$W/peers.json" > "$W/peers.md"
fi

if has scale; then
  machine | tee "$W/machine-scale.txt"
  $PY "$HERE/bench.py" scale "$W/scale.json"
  echo "load average at end: $(cut -d' ' -f1-3 /proc/loadavg)" | tee -a "$W/machine-scale.txt"
fi

if has plot; then
  $PY "$HERE/bench.py" plot "$W/scale.json" "$ROOT/docs/scaling.png"
fi
