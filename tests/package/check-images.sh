# SPDX-License-Identifier: MIT
# Sourced by the package tests. check_images FOLDER INPUT RANGES: FOLDER holds
# exactly the images 00.png, 01.png, ... and each is the byte range of INPUT
# that its line of RANGES ("start end", as the sample writers print them)
# gives. Calls the sourcing script's fail() on the first difference.
check_images() {
  _folder=$1 _input=$2 _ranges=$3
  _i=0
  while read -r _start _end; do
    _name=$(printf '%s/%02d.png' "$_folder" "$_i")
    [ -f "$_name" ] || fail "no image $_name"
    tail -c +"$((_start + 1))" "$_input" | head -c "$((_end - _start))" | cmp -s - "$_name" ||
      fail "$_name is not bytes $_start to $_end of $_input"
    _i=$((_i + 1))
  done <"$_ranges"
  _n=$(find "$_folder" -mindepth 1 | wc -l)
  [ "$_n" -eq "$_i" ] || fail "$_folder holds $_n entries, not the $_i images"
}
