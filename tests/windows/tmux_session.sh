# Sourced by the tests that drive the Windows program on a wine console
# inside tmux, which gives it a real Windows console. Exits with 77 (skip)
# when tmux or wine is missing; otherwise sets scratch, a scratch folder,
# and session, a tmux session name, both removed at exit, and defines
#   fail MESSAGE     reports MESSAGE and the screen, and fails the test
#   type_line TEXT   types TEXT and Enter at the console
#   . tmux_session.sh NAME
command -v tmux >/dev/null || { echo "SKIP: needs tmux (package tmux)"; exit 77; }
. "$(dirname "${BASH_SOURCE[0]}")/need_wine.sh"
scratch=$(mktemp -d)
session=kartoteka-$1-$$
trap 'tmux kill-session -t "$session" 2>/dev/null; rm -rf "$scratch"' EXIT
fail() {
  echo "FAIL: $*" >&2
  tmux capture-pane -p -J -S -200 -t "$session" >&2
  exit 1
}
type_line() {
  tmux send-keys -t "$session" -l "$1"
  tmux send-keys -t "$session" Enter
}
