#!/bin/sh
# SPDX-License-Identifier: MIT
# Usage: tests/package/test-windows-zip.sh WINBUILD
#
# Tests the zip that `make windows-zip` left in WINBUILD: it holds
# Lumvane.exe, the README and LICENSE, in one folder, and nothing else; the
# README and LICENSE are the repository's; the unpacked Lumvane.exe, run under Wine from another
# folder than the zip's, writes the images of a sample.
set -eu

[ $# -eq 1 ] || { echo "usage: $0 WINBUILD" >&2; exit 2; }
build=$(cd "$1" && pwd)
src=$(cd "$(dirname "$0")/../.." && pwd)

fail() { echo "test-windows-zip: FAIL: $*" >&2; exit 1; }
. "$src/tests/package/check-images.sh"

set -- "$build"/Lumvane-*-win64.zip
[ $# -eq 1 ] && [ -f "$1" ] || fail "expected one Lumvane-*-win64.zip in $build, found: $*"
zip=$1
top=$(basename "$zip" .zip)

work=$(mktemp -d "${TMPDIR:-/tmp}/test-windows-zip.XXXXXX")
trap 'rm -rf "$work"' EXIT
trap 'exit 1' HUP INT TERM

unzip -Z1 "$zip" | sort >"$work/entries"
printf '%s\n' "$top/Lumvane.exe" "$top/README.md" "$top/LICENSE" | sort >"$work/expected"
cmp -s "$work/entries" "$work/expected" ||
  { diff "$work/expected" "$work/entries" >&2 || true; fail "the zip holds other entries"; }

mkdir "$work/unzipped" "$work/data"
(cd "$work/unzipped" && unzip -q "$zip")
for doc in README.md LICENSE; do
  cmp -s "$src/$doc" "$work/unzipped/$top/$doc" || fail "the zipped $doc is not the repository's"
done

# A sample of our own; make_sample.exe prints each picture's "start end".
run() { "$src/scripts/wine-run" --prefix "$build/wine" "$@"; }
(cd "$work/data" && run "$build/testdata/make_sample.exe" dump.bin 4 77) | tr -d '\r' >"$work/ranges"
[ "$(wc -l <"$work/ranges")" -eq 4 ] || fail "make_sample.exe gave no 4 ranges: $(cat "$work/ranges")"

status=0
(cd "$work/data" && run "$work/unzipped/$top/Lumvane.exe" dump.bin </dev/null) \
  >"$work/out" 2>&1 || status=$?
[ "$status" -eq 0 ] || fail "Lumvane.exe dump.bin: status $status: $(cat "$work/out")"
grep -q "Begin Dumping PNGs, (total: 4)" "$work/out" || fail "Lumvane.exe did not report 4 images: $(cat "$work/out")"
check_images "$work/data/dump" "$work/data/dump.bin" "$work/ranges"
echo "test-windows-zip: PASS ($zip)"
