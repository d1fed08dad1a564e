# SPDX-License-Identifier: MIT
# Sourced by the scripts that run Lumvane.exe under Wine in a tmux pane:
# fail MESSAGE ends the script; wait_for CONDITION waits up to a minute for
# the shell condition CONDITION.
fail() { echo "FAIL: $*" >&2; exit 1; }

wait_for() {
  i=0
  while ! eval "$1"; do
    i=$((i + 1))
    [ $i -le 12000 ] || return 1
    sleep 0.005
  done
}
