#!/usr/bin/env bash
# Regenerates the bundled examples:
#   examples/sample.pdf  3 A4 pages of plain text (Helvetica and Times, not
#                        embedded), written as PostScript below and converted
#                        with Ghostscript's ps2pdf, then given a content-derived
#                        /ID by qpdf so that a rerun yields the same bytes.
#   examples/logo.png    a 200x80 RGBA badge with partial transparency, drawn
#                        with Pillow (python3-pil) from shapes only.
# Needs: ghostscript (ps2pdf), qpdf, python3 with PIL.
# Usage: tools/make_examples.sh [OUTDIR]   (default: examples/)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/examples}
python=${PYTHON:-/usr/bin/python3}
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cat > "$work/sample.ps" <<'PS'
%!PS-Adobe-3.0
%%Title: reraruvozari sample document
%%Pages: 3
%%DocumentMedia: A4 595 842 0 () ()
%%EndComments
/font { findfont exch scalefont setfont } def
/lines { % [ (line) ... ] y  ->  shows each line 15 pt below the last
  /y exch def
  { 72 y moveto show /y y 15 sub def } forall
} def
/page { % title [lines] number
  /num exch def /body exch def /title exch def
  20 /Helvetica-Bold font 72 760 moveto title show
  0.6 setgray 72 748 moveto 523 748 lineto 0.5 setlinewidth stroke 0 setgray
  11 /Times-Roman font body 720 lines
  9 /Helvetica font 0.4 setgray
  72 40 moveto (reraruvozari sample document) show
  470 40 moveto (Page ) show num 1 string cvs show ( of 3) show
  0 setgray
  showpage
} def

%%Page: 1 1
(1. Introduction)
[ (This document is a small example input for the reraruvozari watermark tool.)
  (It has three A4 pages of ordinary text drawn with the standard Times and)
  (Helvetica fonts, so that a stamped watermark can be seen over real content.)
  ()
  (Try a text watermark:)
  (    reraruvozari text examples/sample.pdf out/draft.pdf DRAFT)
  ()
  (or an image watermark with the bundled logo:)
  (    reraruvozari image examples/sample.pdf out/logo.pdf examples/logo.png)
  ()
  (The input file is never changed; the result is written to a new file.) ]
1 page

%%Page: 2 2
(2. Quarterly figures)
[ (Region            Q1        Q2        Q3        Q4)
  (North            1,204     1,388     1,502     1,617)
  (South              987     1,045     1,113     1,250)
  (East             1,410     1,396     1,478     1,533)
  (West               812       905       977     1,066)
  ()
  (The figures above are invented for this example. A watermark such as)
  (CONFIDENTIAL on this page only can be stamped with --pages 2.) ]
2 page

%%Page: 3 3
(3. Notes)
[ (Watermarks are drawn on top of the page content with the chosen opacity,)
  (so the text underneath stays readable.)
  ()
  (Positions: center, top-left, top-right, bottom-left, bottom-right and)
  (diagonal, which runs the text along the page diagonal.)
  ()
  (End of the sample document.) ]
3 page
%%EOF
PS

# Ghostscript derives the /ID from the time and the file name: fix both.
(cd "$work" && SOURCE_DATE_EPOCH=1700000000 ps2pdf -dEmbedAllFonts=false \
  -sPAPERSIZE=a4 sample.ps sample-gs.pdf)
qpdf --deterministic-id "$work/sample-gs.pdf" "$out/sample.pdf"

"$python" - "$out/logo.png" <<'PY'
import sys
from PIL import Image, ImageDraw

w, h = 200, 80
img = Image.new("RGBA", (w, h), (0, 0, 0, 0))
draw = ImageDraw.Draw(img)
# A badge whose fill fades from opaque on the left to half transparent.
for x in range(w):
    alpha = 230 - (x * 110) // (w - 1)
    draw.line([(x, 0), (x, h - 1)], fill=(20, 70, 160, alpha))
mask = Image.new("L", (w, h), 0)
ImageDraw.Draw(mask).rounded_rectangle([0, 0, w - 1, h - 1], radius=18, fill=255)
badge = Image.new("RGBA", (w, h), (0, 0, 0, 0))
badge.paste(img, (0, 0), mask)
draw = ImageDraw.Draw(badge)
# An opaque ring, three bars and a see-through window in the middle.
draw.ellipse([14, 12, 70, 68], outline=(255, 255, 255, 255), width=6)
draw.ellipse([30, 28, 54, 52], fill=(255, 200, 40, 255))
for i, length in enumerate((100, 80, 60)):
    y = 20 + i * 16
    draw.rounded_rectangle([86, y, 86 + length, y + 8], radius=4, fill=(255, 255, 255, 200))
draw.rectangle([150, 52, 186, 66], fill=(255, 255, 255, 0))
badge.save(sys.argv[1], optimize=True)
PY
echo "wrote $out/sample.pdf and $out/logo.png"
