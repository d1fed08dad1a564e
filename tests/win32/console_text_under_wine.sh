#!/bin/sh
# SPDX-License-Identifier: MIT
# Usage: console_text_under_wine.sh WINE-RUN PREFIX LUMVANE.EXE
# Lumvane.exe under Wine on a terminal (a tmux pane, UTF-8), its texts
# written to the console as UTF-16: a name with a character of the ANSI code
# page (é, code page 1252) is shown as that character, and a control
# sequence in it as \xNN, never acted on. (Wine's console reads narrow bytes
# in the ANSI code page too, so it cannot show what a Windows console in its
# OEM code page, 437 or 850, does with them: "Θ" or "Ú" for "é".)
set -eu

[ $# -eq 3 ] || { echo "usage: $0 WINE-RUN PREFIX LUMVANE.EXE" >&2; exit 2; }
wine_run=$1
prefix=$2
lumvane=$3

work=$(mktemp -d)
tmux_() { tmux -u -S "$work/tmux.sock" -f /dev/null "$@"; }
trap 'tmux_ kill-server 2>/dev/null || true; rm -rf "$work"' EXIT
unset TMUX
export LANG=C.UTF-8

. "$(dirname "$0")/under_wine.sh"

name=$(printf 'r\303\251sum\303\251-\033[7mx.bin')
tmux_ new-session -d -s run -x 120 -y 30 -c "$work" \
  "'$wine_run' --prefix '$prefix' '$lumvane' '$name' </dev/null; echo \$? >status.tmp; \
   mv status.tmp status; sleep 600"

wait_for 'tmux_ capture-pane -p -t run | grep -q "Any Key to Quit"' ||
  fail "the run never reached its key prompt: $(tmux_ capture-pane -p -t run)"
screen=$(tmux_ capture-pane -p -t run)
# Ended by Ctrl-C (exit code 58 from Wine, see interrupt_under_wine.sh).
tmux_ send-keys -t run C-c
wait_for '[ -f "$work/status" ]' || fail "Ctrl-C did not end the run"
[ "$(cat "$work/status")" = 58 ] || fail "status $(cat "$work/status"), not 58"
want=$(printf 'r\303\251sum\303\251-\\x1b[7mx.bin')
printf '%s\n' "$screen" | grep -qF "$want" || fail "the name is not shown as $want:
$screen"
echo "PASS"
