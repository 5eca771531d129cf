#!/usr/bin/env bash
# Runs the demo on a real terminal (tmux), answers its questions by typing,
# and checks the screen: the dialogue reads as Japanese, and every progress
# bar ends as 25 filled cells alone on its line.
set -uo pipefail
cd "$(dirname "$0")/../.."
export LC_ALL=C.UTF-8 LANG=C.UTF-8
session="terminal-check-$$"
screen_file=$(mktemp)
trap 'tmux kill-session -t "$session" 2>/dev/null; rm -f "$screen_file"' EXIT

tmux -u new-session -d -s "$session" -x 160 -y 50 \
  "UPDATER_PAUSE_SCALE=0 bash scripts/demo.sh; echo DEMO-FINISHED; sleep 120"

screen() { tmux capture-pane -p -J -S -400 -t "$session"; }
# Waits up to $2 seconds for text $1 to appear $3 times (default 1); gives
# up at once when the terminal session is gone or the demo has finished
# without it.
wait_for() {
  local deadline=$(( $(date +%s) + $2 )) shown
  while [ "$(date +%s)" -lt "$deadline" ]; do
    if ! tmux has-session -t "$session" 2>/dev/null; then
      echo "terminal check: the terminal session ended before '$1' appeared" >&2
      return 1
    fi
    shown=$(screen)
    [ "$(grep -c -F -- "$1" <<<"$shown")" -ge "${3:-1}" ] && return 0
    grep -q -F DEMO-FINISHED <<<"$shown" && break
    sleep 0.5
  done
  echo "terminal check: '$1' did not appear on the screen" >&2
  screen >&2
  return 1
}

passed=0 failed=0
check() {
  if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAIL: $*"; fi
}

# The two questions of the demo: the edited settings file (answered y) and
# the read-only library (answered a).
if wait_for "上書きしますか" 600 1; then
  tmux send-keys -t "$session" "y" Enter
  if wait_for "上書きしますか" 60 2; then
    tmux send-keys -t "$session" "a" Enter
  fi
fi
wait_for "DEMO-FINISHED" 120 || true
screen >"$screen_file"

check grep -q -F "3D Perinwoodのアップデートを開始します" "$screen_file"
check grep -q -F "アップデートするファイルより新しい日付のファイルが存在します。" "$screen_file"
check grep -q -F "3D Perinwoodのアップデートが終了しました" "$screen_file"
check grep -q -F "3pupdate exited with status 0" "$screen_file"
bars=$(grep -c -x '■■■■■■■■■■■■■■■■■■■■■■■■■' "$screen_file")
updated=$(grep -c -F "のアップデートを行っています" "$screen_file")
echo "files updated: $updated, full bars alone on their line: $bars"
check test "$updated" -ge 3
check test "$bars" -eq "$updated"
# No code page 932 bytes shown raw: the terminal got UTF-8 only.
check iconv -f UTF-8 -t UTF-8 "$screen_file" -o /dev/null

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
