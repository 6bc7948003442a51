#!/usr/bin/env bash
# The Debian packages from end to end, as root on a Debian machine:
#   1. dpkg-buildpackage -us -uc -b builds reraruvozari, libreraruvozari0 and
#      libreraruvozari-dev from a copy of the tree;
#   2. lintian finds no error in them;
#   3. apt-get installs the three .deb files; `reraruvozari --version`,
#      `man reraruvozari` and a stamp work, and a C program builds against
#      the installed library with pkg-config;
#   4. apt-get purges them, and none of their files is left.
#
#   tests/debian/run.sh      (CI runs it as a step of its own)
#
# Needs: dpkg-dev, debhelper, cmake, g++, lintian, man-db, pkg-config,
# qpdf, poppler-utils. Exit status 0 when every check passed.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
if [ "$(id -u)" != 0 ]; then
  echo "tests/debian/run.sh: must run as root (it installs packages)" >&2
  exit 1
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
packages=(reraruvozari libreraruvozari0 libreraruvozari-dev)

echo "== build"
# A copy: dpkg-buildpackage writes beside the source and into debian/.
mkdir "$work/src"
tar -C "$root" --exclude='./build*' --exclude=./.git --exclude='./obj-*' \
  --exclude=./out --exclude=./tests/data --exclude=./bench/peers/work \
  --exclude='./debian/.debhelper' --exclude='./debian/tmp' -cf - . | tar -C "$work/src" -xf -
(cd "$work/src" && DEB_BUILD_OPTIONS="parallel=$(nproc)" dpkg-buildpackage -us -uc -b) \
  >"$work/build.log" 2>&1 || { tail -50 "$work/build.log"; exit 1; }
ls "$work"/*.deb

echo "== lintian"
lintian --fail-on error --no-tag-display-limit "$work"/*.changes

echo "== install"
apt_get() { DEBIAN_FRONTEND=noninteractive apt-get -y -qq "$@"; }
apt_get install "$work"/reraruvozari_*.deb "$work"/libreraruvozari0_*.deb \
  "$work"/libreraruvozari-dev_*.deb >/dev/null
files=$(dpkg -L "${packages[@]}" | sort -u)
[ "$(command -v reraruvozari)" = /usr/bin/reraruvozari ]
version=$(reraruvozari --version)
[[ $version == "reraruvozari "[0-9]* ]]
# Whole outputs, not pipes into grep -q: an early exit of grep would be a
# failure of the writer under pipefail.
man -P cat reraruvozari >"$work/man.txt" 2>/dev/null
grep -q 'RERARUVOZARI(1)' "$work/man.txt"
grep -q -- '--recursive' "$work/man.txt"
if readelf -d /usr/bin/reraruvozari | grep -q -E 'RPATH|RUNPATH'; then
  echo "FAIL: the packaged program has a run path" >&2
  exit 1
fi
reraruvozari text examples/sample.pdf "$work/out.pdf" PACKAGED >/dev/null
qpdf --check "$work/out.pdf" >/dev/null
pdftotext "$work/out.pdf" "$work/out.txt"
tr -d ' \n' <"$work/out.txt" | grep PACKAGED >/dev/null
cc -std=c99 -Wall -Werror tests/install/consumer/stamp.c -o "$work/stamp" \
  $(pkg-config --cflags --libs reraruvozari)
[ "$("$work/stamp" examples/sample.pdf "$work/out2.pdf" DEV)" = 3 ]

echo "== remove"
apt_get purge "${packages[@]}" >/dev/null
for p in "${packages[@]}"; do
  if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed'; then
    echo "FAIL: $p is still installed" >&2
    exit 1
  fi
done
left=0
while IFS= read -r f; do
  # Directories such as /usr/bin belong to other packages too.
  if [ -e "$f" ] && [ ! -d "$f" ]; then
    echo "FAIL: left behind: $f" >&2
    left=1
  fi
done <<<"$files"
[ "$left" = 0 ]
echo "ok: Debian packages built, checked, installed, used and removed"
