#!/bin/sh
# SPDX-License-Identifier: MIT
# Usage: interrupt_under_wine.sh WINE-RUN PREFIX LUMVANE.EXE
# Lumvane.exe under Wine on a terminal (a tmux pane), interrupted by Ctrl-C:
#  - while it writes its third image: that image is removed, the two before
#    it stay byte for byte, and the exit code is STATUS_CONTROL_C_EXIT
#    (0xC000013A, whose low byte 58 is what Wine's process gives its parent);
#  - while the key prompt waits with the terminal in raw mode: the terminal
#    has its line editing and echo back, and the exit code is the same.
set -eu

[ $# -eq 3 ] || { echo "usage: $0 WINE-RUN PREFIX LUMVANE.EXE" >&2; exit 2; }
wine_run=$1
prefix=$2
lumvane=$3

work=$(mktemp -d)
# One tmux server a run, each on a socket of its own: a server that is being
# killed may still answer on its socket for a moment.
runs=0
tmux_() { tmux -S "$work/tmux$runs.sock" -f /dev/null "$@"; }
trap 'tmux_ kill-server 2>/dev/null || true; rm -rf "$work"' EXIT
unset TMUX

. "$(dirname "$0")/under_wine.sh"


python3 - "$work" <<'EOF'
import sys
def image(n, fill):
    return (b"\x89PNG\r\n\x1a\n" + b"\0\0\0\x0dIHDR" + bytes([fill]) * n +
            b"\0\0\0\0IEND\xaeB`\x82")
images = [image(4000, 1), image(5000, 2), image(256 << 20, 3)]
open(sys.argv[1] + "/big.bin", "wb").write(b"".join(images))
for i in (0, 1):
    open(sys.argv[1] + "/want%d.png" % i, "wb").write(images[i])
open(sys.argv[1] + "/small.bin", "wb").write(images[0])
EOF
full=$(( (256 << 20) + 28 ))

# Runs Lumvane.exe on $1 in a pane; its exit status lands in $work/status.
start() {
  rm -f "$work/status"
  tmux_ kill-server 2>/dev/null || true
  runs=$((runs + 1))
  tmux_ new-session -d -s run -x 80 -y 30 -c "$work" \
    "'$wine_run' --prefix '$prefix' '$lumvane' $1; echo \$? >status.tmp; \
     mv status.tmp status; sleep 600"
}

# Ctrl-C while 02.png is part way written.
caught=no
for attempt in 1 2 3; do
  rm -rf "$work/big"
  start big.bin
  wait_for '[ -f "$work/status" ] || { [ -f "$work/big/02.png" ] &&
            s=$(stat -c %s "$work/big/02.png") && [ "$s" -gt 0 ] && [ "$s" -lt $full ]; }' ||
    fail "the run neither ended nor wrote 02.png"
  [ -f "$work/status" ] && continue
  tmux_ send-keys -t run C-c
  caught=yes
  break
done
[ $caught = yes ] || fail "never caught the run while it wrote 02.png"
wait_for '[ -f "$work/status" ]' || fail "the interrupted run did not end"
[ "$(cat "$work/status")" = 58 ] || fail "status $(cat "$work/status"), not 58"
[ "$(ls "$work/big")" = "00.png
01.png" ] || fail "the output folder holds: $(ls "$work/big")"
cmp -s "$work/big/00.png" "$work/want0.png" || fail "00.png changed"
cmp -s "$work/big/01.png" "$work/want1.png" || fail "01.png changed"

# Ctrl-C at the key prompt, once the terminal is in raw mode.
start small.bin
pane=$(tmux_ display-message -p -t run '#{pane_tty}')
wait_for 'tmux_ capture-pane -p -t run | grep -q "Any Key to Quit" &&
          stty -F "$pane" -a | grep -q -- "-icanon"' || fail "the key wait never set raw mode"
tmux_ send-keys -t run C-c
wait_for '[ -f "$work/status" ]' || fail "the run interrupted at the prompt did not end"
[ "$(cat "$work/status")" = 58 ] || fail "status $(cat "$work/status") at the prompt, not 58"
# Wine's console process, which outlives the program by a moment, gives the
# terminal its settings back.
wait_for 'stty -F "$pane" -a | grep -q -- " icanon" && stty -F "$pane" -a | grep -q -- " echo "' ||
  fail "the terminal was left without line editing or echo: $(stty -F "$pane" -a)"
echo "PASS"
