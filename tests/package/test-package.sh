#!/bin/sh
# SPDX-License-Identifier: MIT
# Usage: tests/package/test-package.sh BUILD SAMPLES
#
# Tests the Debian package that `make package` left in BUILD (a release build
# whose kelb-probe serves as reference, with the sample writers of a build
# with the tests, SAMPLES, target testdata): checks it with
# lintian and its copyright and changelog against the repository's, installs it,
# runs lumvane and kelb-probe from PATH on samples from another folder,
# checks their results and reads both manual pages, then removes the package
# and checks that nothing of it is left.
#
# As root, with the package not installed already, it installs with dpkg -i
# and removes with dpkg --purge. Otherwise (or with TEST_PACKAGE_SCRATCH=1)
# it unpacks the package into a scratch root with dpkg-deb -x and puts that
# root's bin/ first on PATH; the removal checks need dpkg and are skipped.
set -eu

[ $# -eq 2 ] || { echo "usage: $0 BUILD SAMPLES" >&2; exit 2; }
build=$(cd "$1" && pwd)
samples=$(cd "$2" && pwd)
src=$(cd "$(dirname "$0")/../.." && pwd)
pkg=lumvane

fail() { echo "test-package: FAIL: $*" >&2; exit 1; }
. "$src/tests/package/check-images.sh"
note() { echo "test-package: $*"; }

set -- "$build"/${pkg}_*.deb
[ $# -eq 1 ] && [ -f "$1" ] || fail "expected one ${pkg}_*.deb in $build, found: $*"
deb=$1
version=$(dpkg-deb --field "$deb" Version)

work=$(mktemp -d "${TMPDIR:-/tmp}/test-package.XXXXXX")
installed_by_us=no
excluded=no
cleanup() {
  if [ "$installed_by_us" = yes ]; then
    dpkg --purge "$pkg" >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' HUP INT TERM

already=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
if [ "$(id -u)" = 0 ] && [ "${TEST_PACKAGE_SCRATCH:-0}" != 1 ]; then
  case "$already" in
    *" installed") mode=scratch
                   note "$pkg is installed on this machine already; leaving it alone" ;;
    *) mode=dpkg ;;
  esac
else
  mode=scratch
fi

# The package's own list of files, "./usr/bin/kelb-probe" -> "/usr/bin/kelb-probe".
dpkg-deb --contents "$deb" | awk '{ print $NF }' | sed 's|^\.||; s|/$||' |
  grep -v '^$' >"$work/contents"
has() { grep -qx "$1" "$work/contents"; }
has /usr/bin/kelb-probe || fail "the package holds no /usr/bin/kelb-probe"
programs="kelb-probe lumvane"
for prog in $programs; do
  has "/usr/bin/$prog" || fail "the package holds no /usr/bin/$prog"
done
module_dir=$(grep '/kelb/sun\.mod$' "$work/contents" | sed 's|/sun\.mod$||')
[ -n "$module_dir" ] || fail "the package holds no kelb/sun.mod"
# Exactly these files: nothing of the tests, samples or benchmarks ships.
dpkg-deb --contents "$deb" | awk '/^-/ { print $NF }' | sed 's|^\.||' | sort >"$work/files"
{
  printf '%s\n' /usr/bin/kelb-probe /usr/bin/lumvane /usr/share/doc/$pkg/README.md \
    /usr/share/man/man1/kelb-probe.1.gz /usr/share/man/man1/lumvane.1.gz \
    /usr/share/doc/$pkg/copyright /usr/share/doc/$pkg/changelog.gz /usr/share/lintian/overrides/$pkg
  for m in sun amiga apple acorn; do echo "$module_dir/$m.mod"; done
} | sort >"$work/files.expected"
cmp -s "$work/files.expected" "$work/files" ||
  { diff "$work/files.expected" "$work/files" >&2 || true; fail "the package holds other files than expected"; }

# ---- lintian, the licence and the changelog ------------------------------------
# No error or warning, and an override only with a reason: lintian prints an
# override's comment as N: lines right before the O: line of what it hides.
lintian --display-info --show-overrides --fail-on none "$deb" >"$work/lintian" 2>"$work/lintian.err" ||
  fail "lintian did not run: $(cat "$work/lintian.err")"
sed 's/^/  /' "$work/lintian"
awk '/^[EW]: / || /^[A-Z]: [^ ]+ (unused|mismatched)-override/ { bad = 1; print }
     /^O: / && !reason { bad = 1; print "no reason given for: " $0 }
     { reason = /^N: [^ ]/ }
     END { exit bad }' "$work/lintian" >&2 || fail "lintian rejects the package (above)"
packaged() { dpkg-deb --fsys-tarfile "$deb" | tar -xOf - ".$1"; }
# The copyright file's licence text is LICENSE's, unfolded.
packaged /usr/share/doc/$pkg/copyright | sed -n '/^License: Expat$/,$p' | tail -n +2 |
  sed 's/^ //; s/^\.$//' >"$work/licence"
sed -n '/^Permission/,$p' "$src/LICENSE" | cmp -s - "$work/licence" ||
  fail "the copyright file's Expat text is not LICENSE's"
packaged /usr/share/doc/$pkg/changelog.gz | gzip -dc >"$work/changelog" ||
  fail "changelog.gz is no gzip file"
head -n 1 "$work/changelog" | grep -q "^$pkg ($version) " ||
  fail "the changelog's latest entry is not $version: $(head -n 1 "$work/changelog")"
# Reproducible: no file of the package holds the build folder's path, as
# written or with links resolved (manual pages are read uncompressed).
mkdir "$work/paths" && dpkg-deb -x "$deb" "$work/paths"
build_real=$(cd "$build" && pwd -P)
find "$work/paths" -type f >"$work/paths.list"
while read -r f; do
  case "$f" in *.gz) gzip -dc "$f" ;; *) cat "$f" ;; esac >"$work/plain"
  if grep -qaF -e "$build" -e "$build_real" "$work/plain"; then
    fail "${f#"$work/paths"} holds the build folder's path $build"
  fi
done <"$work/paths.list"

if [ "$mode" = dpkg ]; then
  note "installing $deb with dpkg -i"
  installed_by_us=yes
  dpkg -i "$deb" >"$work/dpkg-i.log" 2>&1 || { cat "$work/dpkg-i.log" >&2; fail "dpkg -i"; }
  root=""
  # Every file of the package is in place, but for what this machine's dpkg
  # is told to leave out (path-exclude, as in slim container images); those
  # are read from the package itself below.
  mkdir "$work/unpacked" && dpkg-deb -x "$deb" "$work/unpacked"
  excluded=no
  while read -r path; do
    if [ -f "$work/unpacked$path" ] && [ ! -f "$path" ]; then
      grep -qs '^path-exclude' /etc/dpkg/dpkg.cfg.d/* || fail "dpkg -i did not install $path"
      note "dpkg leaves out $path here (path-exclude)"
      excluded=yes
    fi
  done <"$work/contents"
else
  note "unpacking $deb into a scratch root"
  root="$work/root"
  dpkg-deb -x "$deb" "$root"
  PATH="$root/usr/bin:$PATH"
  export PATH
fi

# ---- Both programs come from the package, through PATH ----------------------
for prog in $programs; do
  found=$(command -v "$prog" || true)
  [ "$found" = "$root/usr/bin/$prog" ] ||
    fail "$prog on PATH is '$found', not the package's $root/usr/bin/$prog"
done
unset KELB_MODULE_DIR KELB_DEBUG 2>/dev/null || true

mkdir "$work/data" "$work/elsewhere" "$work/empty"

# ---- kelb-probe ---------------------------------------------------------------
out=$(kelb-probe --version) || fail "kelb-probe --version exited $?"
[ "$out" = "kelb-probe $version" ] || fail "kelb-probe --version printed '$out', not 'kelb-probe $version'"

# Each scheme's sample disk, probed from another folder: the installed copy
# must list exactly what the build tree's copy lists.
for s in sun amiga apple acorn; do
  img="$work/data/$s.img"
  "$samples/testdata/kelb-sample-$s" "$img" >/dev/null
  "$build/host/kelb-probe" "$img" >"$work/$s.expected" ||
    fail "the build tree's kelb-probe failed on the $s sample"
  status=0
  (cd "$work/elsewhere" && kelb-probe "$img") >"$work/$s.out" 2>"$work/$s.err" || status=$?
  [ "$status" -eq 0 ] || fail "kelb-probe $s sample: status $status: $(cat "$work/$s.err")"
  [ ! -s "$work/$s.err" ] || fail "kelb-probe $s sample wrote to stderr: $(cat "$work/$s.err")"
  cmp -s "$work/$s.expected" "$work/$s.out" ||
    { diff "$work/$s.expected" "$work/$s.out" >&2 || true; fail "kelb-probe lists the $s sample differently"; }
  rows=$(($(wc -l <"$work/$s.out") - 2))
  [ "$rows" -ge 1 ] || fail "kelb-probe found no partition on the $s sample"
done

# The Sun sample's partitions, as the sample writes them, by a relative name.
(cd "$work/data" && kelb-probe sun.img) >"$work/sun-rel.out"
cat >"$work/sun-rel.expected" <<'EOF'
sun.img: sun_partition_map (sectors of 512 bytes; OFFSET: the label's sector)
NAME          START          END       LENGTH   SIZE       OFFSET
1                 0         1023         1024   512K            0
2              1024         1535          512   256K            0
5              1536         4095         2560   1.3M            0
EOF
cmp -s "$work/sun-rel.expected" "$work/sun-rel.out" ||
  { diff "$work/sun-rel.expected" "$work/sun-rel.out" >&2 || true; fail "kelb-probe sun.img"; }

# The modules it loaded are the installed ones, found beside the program,
# each from a sealed in-memory copy of the bytes checked.
KELB_DEBUG=modules kelb-probe "$work/data/sun.img" 2>"$work/loaded.log" >/dev/null
sed -n "s/.*: module '[^']*' loaded from '\(.*\)' through a sealed in-memory copy\$/\1/p" \
  "$work/loaded.log" | sort -u >"$work/loaded"
[ "$(wc -l <"$work/loaded")" -eq 4 ] || fail "kelb-probe loaded $(wc -l <"$work/loaded") modules, not 4"
while read -r mod; do
  [ "$(realpath "$(dirname "$mod")")" = "$(realpath "$root$module_dir")" ] ||
    fail "kelb-probe loaded $mod, not a module of $root$module_dir"
done <"$work/loaded"

# The installed program carries no failure knobs for the tests.
knobs=$(nm -DC "$root/usr/bin/kelb-probe" | grep -E 'fail_reads_at|fail_nth_malloc|live_allocations|malloc_calls|read_count' || true)
[ -z "$knobs" ] || fail "kelb-probe exports the tests' failure knobs: $knobs"

# KELB_MODULE_DIR and --modules still override the installed folder.
status=0
KELB_MODULE_DIR="$work/empty" kelb-probe "$work/data/sun.img" >/dev/null 2>"$work/env.err" || status=$?
[ "$status" -eq 1 ] && grep -q "no modules" "$work/env.err" ||
  fail "KELB_MODULE_DIR naming an empty folder: status $status, '$(cat "$work/env.err")'"
status=0
KELB_MODULE_DIR="$work/empty" kelb-probe --modules "$root$module_dir" "$work/data/sun.img" \
  >"$work/opt.out" 2>&1 || status=$?
[ "$status" -eq 0 ] && cmp -s "$work/sun.expected" "$work/opt.out" ||
  fail "--modules over KELB_MODULE_DIR: status $status, '$(cat "$work/opt.out")'"

# The same install rules under another prefix, staged with DESTDIR (what
# `make install PREFIX=... DESTDIR=...` runs): the moved tree finds its own
# modules.
DESTDIR="$work/stage" cmake --install "$build" --prefix /opt/lumvane >"$work/install.log" ||
  { cat "$work/install.log" >&2; fail "cmake --install with a prefix and DESTDIR"; }
staged="$work/stage/opt/lumvane"
for prog in $programs; do
  [ -x "$staged/bin/$prog" ] || fail "no $staged/bin/$prog after the staged install"
done
[ -f "$staged/share/doc/$pkg/README.md" ] || fail "no README in $staged/share/doc/$pkg"
status=0
(cd "$work/elsewhere" && "$staged/bin/kelb-probe" "$work/data/sun.img") >"$work/staged.out" 2>&1 || status=$?
[ "$status" -eq 0 ] && cmp -s "$work/sun.expected" "$work/staged.out" ||
  fail "kelb-probe installed under $staged: status $status, '$(cat "$work/staged.out")'"

# ---- lumvane --------------------------------------------------------------------
# A blob of junk with pictures of our own; make_sample prints each picture's
# "start end" range.
"$samples/testdata/make_sample" "$work/data/dump.bin" 5 2026 >"$work/ranges"
count=$(wc -l <"$work/ranges")
[ "$count" -eq 5 ] || fail "make_sample gave $count ranges, not 5"

status=0
(cd "$work/elsewhere" && lumvane "$work/data/dump.bin" </dev/null) \
  >"$work/lumvane.out" 2>"$work/lumvane.err" || status=$?
[ "$status" -eq 0 ] || fail "lumvane: status $status: $(cat "$work/lumvane.out" "$work/lumvane.err")"
grep -q "Begin Dumping PNGs, (total: $count)" "$work/lumvane.out" ||
  fail "lumvane did not report $count images: $(cat "$work/lumvane.out")"
grep -q "PNGs saved to: $work/data/dump\." "$work/lumvane.out" ||
  fail "lumvane did not name $work/data/dump: $(cat "$work/lumvane.out")"
check_images "$work/data/dump" "$work/data/dump.bin" "$work/ranges"
[ -z "$(ls -A "$work/elsewhere")" ] || fail "lumvane wrote into the current folder: $(ls -A "$work/elsewhere")"

# Again by a bare name in the input's folder: the folder is emptied and
# written anew.
echo stale >"$work/data/dump/07.png"
status=0
(cd "$work/data" && lumvane dump.bin </dev/null) >"$work/lumvane2.out" 2>&1 || status=$?
[ "$status" -eq 0 ] || fail "lumvane dump.bin: status $status: $(cat "$work/lumvane2.out")"
check_images "$work/data/dump" "$work/data/dump.bin" "$work/ranges"

# ---- Manual pages and the README ---------------------------------------------
# A file as installed, or as packaged where dpkg left it out.
installed() {
  if [ "$mode" = dpkg ] && [ ! -f "$1" ] && [ "$excluded" = yes ]; then
    echo "$work/unpacked$1"
  else
    echo "$root$1"
  fi
}
man_dir=$(grep '/man/man1$' "$work/contents")
for page in $programs; do
  file=$(installed "$man_dir/$page.1.gz")
  if [ "$file" = "$root$man_dir/$page.1.gz" ]; then
    found=$(MANPATH="$root/usr/share/man" man -w "$page") || fail "man -w $page found nothing"
    [ "$found" = "$file" ] || fail "man -w $page gives $found, not $file"
  fi
  [ -f "$file" ] || fail "no manual page $file"
  MANWIDTH=80 man --warnings -l "$file" >"$work/$page.txt" 2>"$work/$page.warn" ||
    fail "man -l $file failed: $(cat "$work/$page.warn")"
  [ ! -s "$work/$page.warn" ] || fail "man -l $file warns: $(cat "$work/$page.warn")"
  for section in NAME SYNOPSIS DESCRIPTION "EXIT STATUS" EXAMPLES; do
    grep -qx "$section" "$work/$page.txt" || fail "$page(1) has no $section section"
  done
  grep -q "^ *$page " "$work/$page.txt" || fail "$page(1) does not name $page"
done
cmp -s "$src/README.md" "$(installed "/usr/share/doc/$pkg/README.md")" ||
  fail "the installed README is not the repository's"

# ---- Removal ---------------------------------------------------------------------
if [ "$mode" = dpkg ]; then
  dpkg -L "$pkg" | grep -v '^/\.$' >"$work/listed"
  while read -r path; do
    grep -qx "$path" "$work/listed" || fail "dpkg -L $pkg does not list $path"
  done <"$work/contents"
  dpkg --purge "$pkg" >"$work/dpkg-r.log" 2>&1 || { cat "$work/dpkg-r.log" >&2; fail "dpkg --purge"; }
  installed_by_us=no
  if dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q installed; then
    fail "$pkg is still known to dpkg after --purge"
  fi
  left=0
  while read -r path; do
    if [ -d "$path" ] && [ ! -L "$path" ]; then
      # A folder may stay only when another package shares it.
      dpkg -S "$path" >/dev/null 2>&1 || { echo "left behind: $path/" >&2; left=1; }
    elif [ -e "$path" ] || [ -L "$path" ]; then
      echo "left behind: $path" >&2
      left=1
    fi
  done <"$work/listed"
  [ "$left" -eq 0 ] || fail "files of $pkg remain after dpkg --purge"
  hash -r
  for prog in $programs; do
    [ "$(command -v "$prog" || true)" != "/usr/bin/$prog" ] || fail "/usr/bin/$prog is still on PATH"
  done
  note "removed; none of its $(wc -l <"$work/listed") paths is left"
else
  note "scratch root: installed and removed without dpkg; the removal checks need root"
fi
note "PASS ($mode)"
