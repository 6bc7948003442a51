#!/usr/bin/env bash
# Joins the rows that the conformance test wrote into a markdown report.
#   tools/conformance_report.sh [BUILD_DIR] > docs/conformance.md
set -euo pipefail
build=${1:-build}
cat <<HEAD
# Conformance over the corpus

Every PDF of \`tests/data/corpus/pdf\` (51 files; the corpus README gives each
file's expected outcome), run through the library by \`test_conformance\` and
judged by qpdf 11 (\`qpdf --check\`), poppler 22 (\`pdfinfo\`, \`pdftotext\`,
\`pdfimages\`, \`pdftoppm\`):

1. page count; 2. text "CONFIDENTIAL", diagonal, every page; 3. text
"Confidential 机密 기밀" at the centre, rotation 30, pages 1-2; 4. a PNG with
partial transparency at the bottom right; 5. case 2 written over its own
input. "pass" means: the input is unchanged, \`qpdf --check\` reports no error
and no warning the input did not have, the page count is the input's, the
text is extracted (or the image and its soft mask are listed), and page 1 at
36 dpi differs from the input only inside the stamp's box.

| file | expected | page count | text | mixed text | image | in place |
|---|---|---|---|---|---|---|
HEAD
cat "$build"/conformance/*.row | sed -E "s#/tmp/rrvtest[^/ ]*/in.pdf#<file>#g"
