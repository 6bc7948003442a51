#!/usr/bin/env bash
# Builds the Windows binaries with MinGW-w64 and checks them from Linux:
#   1. scripts/build-windows: reraruvozari.dll, its import library, the CLI;
#   2. the DLL exports exactly the undecorated names the public header
#      declares, and the DLL and
#      the CLI import only system DLLs (no libstdc++/libgcc/libwinpthread);
#   3. tests/windows/host.c, built with MinGW, loads the DLL under Wine with
#      LoadLibraryW/GetProcAddress and stamps text, CJK text and a PNG into
#      files with non-ASCII names; the CLI runs under Wine as well;
#   4. the outputs pass qpdf --check and pdftotext finds the stamped text.
#
#   tests/windows/run.sh
#
# Environment:
#   RRV_WIN_BUILD_DIR   build directory (default build-win)
#   RRV_WIN_BUILD_ARGS  more options for scripts/build-windows, e.g.
#                       "--config RelWithDebInfo --werror"
#   RRV_WINE_OPTIONAL=1 when Wine is missing or cannot start, skip step 3-4
#                       with a notice instead of failing; steps 1-2 always run
#   RRV_WINE            the Wine loader (default: wine64, /usr/lib/wine/wine64, wine)
#   RRV_WINE_TIMEOUT    seconds allowed for each Wine program (default 300)
#
# Needs: g++-mingw-w64-x86-64-posix, cmake, wine64 (or wine), qpdf,
# poppler-utils. Exit status 0 when every check passed, 1 otherwise.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD

dir=${RRV_WIN_BUILD_DIR:-build-win}
timeout_s=${RRV_WINE_TIMEOUT:-300}
failures=0

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
pass() { echo "ok:   $*"; }

echo "== build"
# shellcheck disable=SC2086 # RRV_WIN_BUILD_ARGS is a list of options
scripts/build-windows --dir "$dir" ${RRV_WIN_BUILD_ARGS:-}
dll=$dir/reraruvozari.dll
implib=$dir/libreraruvozari.dll.a
cli=$dir/bin/reraruvozari.exe

objdump=$(command -v x86_64-w64-mingw32-objdump || true)
if [ -z "$objdump" ]; then
  echo "FAIL: x86_64-w64-mingw32-objdump not found (binutils-mingw-w64-x86-64)" >&2
  exit 1
fi

echo "== exports"
# Every function the public header declares, and nothing else.
expected=$(sed -n 's/.*RERARUVOZARI_CALL[[:space:]]*\**\(reraruvozari_[a-z_]*\)(.*/\1/p' \
             include/reraruvozari.h | sort)
n_expected=$(( $(echo "$expected" | wc -l) ))
# The name pointer table of the export directory: "[   n] name" lines.
exports=$("$objdump" -p "$dll" |
          sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
          sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\][[:space:]]*//p' | sort)
if [ "$exports" = "$expected" ]; then
  pass "the DLL exports exactly the $n_expected names of the header"
else
  fail "the export table differs from the names of the header:"
  diff <(echo "$expected") <(echo "$exports") >&2 || true
fi
# Forwarders or ordinal-only entries would not show in the name table.
count=$("$objdump" -p "$dll" | sed -n '/^Number in:/,/^Table Addresses/s/^[[:space:]]*Export Address Table[[:space:]]*\([0-9a-fA-F]*\).*/\1/p')
if [ -z "$count" ] || [ "$((16#$count))" != "$n_expected" ]; then
  fail "the export address table has ${count:-no} entries, not $n_expected"
fi
implib_names=$(x86_64-w64-mingw32-nm "$implib" 2>/dev/null |
               sed -n 's/^[0-9a-f]* T \(reraruvozari_[a-z_]*\)$/\1/p' | sort)
if [ "$implib_names" = "$expected" ]; then
  pass "the import library defines the names of the header"
else
  fail "the import library's names differ:"
  diff <(echo "$expected") <(echo "$implib_names") >&2 || true
fi

echo "== dependencies"
# System DLLs only; the C++ runtime is linked in statically.
check_imports() {
  local file=$1 extra=$2 bad=0 name
  while read -r name; do
    case "${name,,}" in
      libstdc++*|libgcc*|libwinpthread*|*mingw*)
        fail "$file needs $name (the MinGW runtime must be linked statically)"; bad=1 ;;
      kernel32.dll|msvcrt.dll|ucrtbase.dll|api-ms-win-*.dll|user32.dll|advapi32.dll|\
      shell32.dll|ole32.dll|ws2_32.dll|bcrypt.dll|ntdll.dll|"$extra") ;;
      *) fail "$file needs $name, which is not a system DLL"; bad=1 ;;
    esac
  done < <("$objdump" -p "$file" | sed -n 's/^[[:space:]]*DLL Name:[[:space:]]*//p')
  [ "$bad" = 0 ] && pass "$file imports only: $("$objdump" -p "$file" |
                         sed -n 's/^[[:space:]]*DLL Name:[[:space:]]*//p' | tr '\n' ' ')"
  return 0
}
check_imports "$dll" ""
check_imports "$cli" "reraruvozari.dll"

echo "== host program"
cc=$(sed -n 's/^RRV_MINGW_CC:[A-Z]*=//p' "$dir/CMakeCache.txt")
cc=${cc:-x86_64-w64-mingw32-gcc-posix}
host=$dir/windows-test/host.exe
mkdir -p "$dir/windows-test"
if "$cc" -std=c11 -O2 -Wall -Wextra -Wpedantic -Wshadow -Werror \
     -o "$host" tests/windows/host.c -lshell32 -static; then
  pass "host.exe built"
  if "$objdump" -p "$host" | grep -qi "DLL Name: reraruvozari"; then
    fail "host.exe links the DLL at load time; it must use LoadLibraryW"
  fi
else
  fail "host.exe does not build"
fi

finish() {
  if [ "$failures" -gt 0 ]; then
    echo "windows: $failures check(s) failed" >&2
    exit 1
  fi
  echo "windows: all checks passed${1:+ ($1)}"
  exit 0
}

# ---- Wine -------------------------------------------------------------------

wine_skip() {
  echo "windows: Wine unusable: $*" >&2
  if [ "${RRV_WINE_OPTIONAL:-0}" = 1 ]; then
    echo "windows: RRV_WINE_OPTIONAL=1: the Wine run is skipped; build, export and dependency checks ran" >&2
    finish "Wine run skipped"
  fi
  fail "Wine unusable (set RRV_WINE_OPTIONAL=1 to skip the Wine run)"
  finish
}

wine=${RRV_WINE:-}
if [ -z "$wine" ]; then
  for w in wine64 /usr/lib/wine/wine64 /usr/lib64/wine/wine64 wine; do
    if command -v "$w" >/dev/null 2>&1; then
      wine=$(command -v "$w")
      break
    fi
  done
fi
[ -n "$wine" ] || wine_skip "no wine64 or wine found (Debian: apt-get install wine64)"
[ "$failures" = 0 ] || { echo "windows: not running Wine after the failures above" >&2; finish; }

prefix=$(mktemp -d "${TMPDIR:-/tmp}/rrv-wine.XXXXXX")
# shellcheck disable=SC2317 # called by the EXIT trap
cleanup() {
  WINEPREFIX=$prefix timeout 30 "$(dirname "$wine")/wineserver" -k >/dev/null 2>&1 ||
    WINEPREFIX=$prefix timeout 30 wineserver -k >/dev/null 2>&1 || true
  rm -rf "$prefix"
}
trap cleanup EXIT
export WINEPREFIX=$prefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

echo "== wine: $wine (prefix $prefix)"
if ! out=$(timeout "$timeout_s" "$wine" wineboot --init 2>&1); then
  wine_skip "wineboot --init failed or timed out: $(echo "$out" | tail -n 5)"
fi
if ! out=$(timeout "$timeout_s" "$wine" cmd /c echo rrv-wine-ok 2>&1) ||
   ! echo "$out" | grep -q rrv-wine-ok; then
  wine_skip "cannot run a Windows program: $(echo "$out" | tail -n 5)"
fi

work=$dir/windows-test
rm -rf "$work/out" "$work/cli-out" "$work/big"
cp "$dll" "$work/"
cp examples/sample.pdf examples/logo.png "$work/"
vdir="$work/out/Verträge"

echo "== host.exe under Wine"
rc=0
(cd "$work" && timeout "$timeout_s" "$wine" host.exe reraruvozari.dll sample.pdf logo.png out) \
  > "$work/host.log" 2>&1 || rc=$?
if [ "$rc" = 0 ]; then
  tr -d '\r' < "$work/host.log"
  pass "host.exe"
else
  tr -d '\r' < "$work/host.log" >&2
  [ "$rc" = 124 ] && rc="124, timed out after ${timeout_s}s"
  fail "host.exe (exit status $rc)"
fi

echo "== reraruvozari.exe under Wine"
# Arguments reach the program as UTF-16 and must come back as UTF-8.
mkdir -p "$work/cli-out/Verträge"
cli_abs=$root/$cli
if (cd "$work" && timeout "$timeout_s" "$wine" "$cli_abs" text --size 30 --opacity 0.5 \
      sample.pdf "cli-out/Verträge/cli-日本.pdf" "机密 기밀 CLI") > "$work/cli.log" 2>&1 &&
   (cd "$work" && timeout "$timeout_s" "$wine" "$cli_abs" pages "cli-out/Verträge/cli-日本.pdf") \
      >> "$work/cli.log" 2>&1 &&
   (cd "$work" && timeout "$timeout_s" "$wine" "$cli_abs" image --pages 2 \
      sample.pdf "cli-out/Verträge/cli-bild.pdf" "out/Verträge/logo-ロゴ.png") >> "$work/cli.log" 2>&1 &&
   (cd "$work" && timeout "$timeout_s" "$wine" "$cli_abs" text -o "cli-out/Ausgabe-出力/neu" \
      --text BATCH sample.pdf) >> "$work/cli.log" 2>&1; then
  tr -d '\r' < "$work/cli.log"
  pass "reraruvozari.exe text, pages, image, batch into a new directory"
else
  tr -d '\r' < "$work/cli.log" >&2
  fail "reraruvozari.exe"
fi

echo "== large inputs (mapped, not read)"
# Files from 64 KiB up are mapped: stamped into a new file, in full and as
# an incremental update, and in place, where the output replaces the
# mapped input (Windows cannot rename over a mapped file).
big=tests/data/corpus/pdf/pypdf_Seige_of_Vicksburg_Sample_OCR.pdf
mkdir -p "$work/big"
cp "$big" "$work/big/in.pdf"
cp "$big" "$work/big/inplace.pdf"
cp "$big" "$work/big/inplace-incr.pdf"
cp "$big" "$work/big/inplace-classic.pdf"
if (cd "$work/big" &&
    timeout "$timeout_s" "$wine" "$cli_abs" text in.pdf full.pdf "MAPPED FULL" &&
    timeout "$timeout_s" "$wine" "$cli_abs" text --incremental in.pdf incr.pdf "MAPPED INCR" &&
    timeout "$timeout_s" "$wine" "$cli_abs" text --opacity 0.4 inplace.pdf inplace.pdf "IN PLACE MAPPED" &&
    timeout "$timeout_s" "$wine" "$cli_abs" text --incremental inplace-incr.pdf inplace-incr.pdf "IN PLACE INCR" &&
    timeout "$timeout_s" "$wine" "$cli_abs" text inplace-classic.pdf inplace-classic.pdf "IN PLACE CLASSIC") \
    > "$work/big.log" 2>&1; then
  pass "reraruvozari.exe stamps a $(stat -c %s "$big")-byte file, also in place"
else
  tr -d '\r' < "$work/big.log" >&2
  fail "reraruvozari.exe on a large input"
fi
for f in incr inplace-incr; do
  if cmp -s -n "$(stat -c %s "$big")" "$big" "$work/big/$f.pdf" &&
     [ "$(stat -c %s "$work/big/$f.pdf")" -gt "$(stat -c %s "$big")" ]; then
    pass "big/$f.pdf begins with the input's bytes"
  else
    fail "big/$f.pdf is not the input followed by an update"
  fi
done

echo "== outputs"
outputs=("$vdir/text-ascii.pdf" "$vdir/vertrag-日本.pdf" "$vdir/seite-1-äöü.pdf"
         "$vdir/bild-画像.pdf" "$vdir/bild-seite-1.pdf" "$vdir/kopie-ß.pdf"
         "$vdir/komma-locale.pdf" "$vdir/präfix.pdf" "$work/cli-out/Verträge/cli-日本.pdf"
         "$work/cli-out/Verträge/cli-bild.pdf" "$work/cli-out/Ausgabe-出力/neu/sample.pdf"
         "$work/big/full.pdf" "$work/big/incr.pdf" "$work/big/inplace.pdf"
         "$work/big/inplace-incr.pdf" "$work/big/inplace-classic.pdf")
for f in "${outputs[@]}"; do
  if [ ! -s "$f" ]; then
    fail "missing output $f"
  elif qpdf --check "$f" > "$work/qpdf.log" 2>&1; then
    pass "qpdf --check ${f#"$work"/}"
  else
    cat "$work/qpdf.log" >&2
    fail "qpdf --check $f"
  fi
done

# The text of pages first..last without white space: a rotated stamp comes
# out of pdftotext one glyph a line.
page_text() {
  pdftotext -q -raw -enc UTF-8 -f "$2" -l "$3" "$1" - 2>/dev/null | tr -d ' \t\r\n\f' || true
}
# file, first page, last page, text that must be there
text_has() {
  local f=$1 first=$2 last=$3 want=$4 got
  got=$(page_text "$f" "$first" "$last")
  if [[ "$got" == *"${want// /}"* ]]; then
    pass "pdftotext finds \"$want\" in ${f#"$work"/} (pages $first-$last)"
  else
    fail "pdftotext does not find \"$want\" in $f (pages $first-$last)"
  fi
}
text_lacks() {
  local f=$1 page=$2 want=$3
  if [[ "$(page_text "$f" "$page" "$page")" == *"${want// /}"* ]]; then
    fail "\"$want\" stamped on page $page of $f, outside the range"
  else
    pass "page $page of ${f#"$work"/} has no \"$want\""
  fi
}
pages=$(pdfinfo examples/sample.pdf | sed -n 's/^Pages:[[:space:]]*//p')
text_has "$vdir/text-ascii.pdf" 1 1 "CONFIDENTIAL"
text_has "$vdir/text-ascii.pdf" "$pages" "$pages" "CONFIDENTIAL"
text_has "$vdir/vertrag-日本.pdf" 1 1 "机密"
text_has "$vdir/vertrag-日本.pdf" "$pages" "$pages" "기밀"
text_has "$vdir/seite-1-äöü.pdf" 1 1 "ENTWURF"
text_lacks "$vdir/seite-1-äöü.pdf" 2 "ENTWURF"
text_has "$vdir/kopie-ß.pdf" 1 1 "IN PLACE"
text_has "$vdir/komma-locale.pdf" 1 1 "KOMMA"
text_has "$vdir/präfix.pdf" 1 1 "PRAEFIX"
text_has "$work/cli-out/Ausgabe-出力/neu/sample.pdf" 1 1 "BATCH"
text_has "$work/cli-out/Verträge/cli-日本.pdf" 1 1 "机密 기밀 CLI"
big_pages=$(pdfinfo "$big" | sed -n 's/^Pages:[[:space:]]*//p')
text_has "$work/big/full.pdf" "$big_pages" "$big_pages" "MAPPED FULL"
text_has "$work/big/incr.pdf" 1 1 "MAPPED INCR"
text_has "$work/big/inplace.pdf" 1 1 "IN PLACE MAPPED"
text_has "$work/big/inplace-incr.pdf" "$big_pages" "$big_pages" "IN PLACE INCR"
text_has "$work/big/inplace-classic.pdf" 1 1 "IN PLACE CLASSIC"

# The watermark's numbers are written with a point under a comma locale.
if qpdf --qdf --object-streams=disable "$vdir/komma-locale.pdf" "$work/komma.qdf" 2>/dev/null; then
  ops=$(grep -a -E '^[-0-9., ]+ (cm|Tm|Td|rg|RG|Tf|re|w)$' "$work/komma.qdf" || true)
  if echo "$ops" | grep -q ','; then
    fail "decimal commas in the content of komma-locale.pdf: $(echo "$ops" | grep ',' | head -n 3)"
  elif echo "$ops" | grep -qE '\.[0-9]+ .* cm$'; then
    pass "numbers written with a decimal point under a comma locale"
  else
    fail "no fractional cm operator found in komma-locale.pdf"
  fi
else
  fail "qpdf --qdf komma-locale.pdf"
fi

# Image stamps: on every page, or only on the pages asked for.
images() { pdfimages -list -f "$2" -l "$2" "$1" 2>/dev/null | tail -n +3 | grep -c " image " || true; }
base=$(images examples/sample.pdf 1)
if [ "$(images "$vdir/bild-画像.pdf" "$pages")" -gt "$base" ]; then
  pass "image stamped on the last page of bild-画像.pdf"
else
  fail "no image stamped on page $pages of bild-画像.pdf"
fi
if [ "$(images "$vdir/bild-seite-1.pdf" 1)" -gt "$base" ] &&
   [ "$(images "$vdir/bild-seite-1.pdf" 2)" = "$(images examples/sample.pdf 2)" ]; then
  pass "image_range stamped page 1 only"
else
  fail "image_range did not stamp page 1 only"
fi
if [ "$(images "$work/cli-out/Verträge/cli-bild.pdf" 2)" -gt "$(images examples/sample.pdf 2)" ] &&
   [ "$(images "$work/cli-out/Verträge/cli-bild.pdf" 1)" = "$base" ]; then
  pass "CLI image --pages 2 stamped page 2 only"
else
  fail "CLI image --pages 2 did not stamp page 2 only"
fi

finish
