# Helpers of the Windows program's tests under wine, sourced by run.sh. The program runs in
# a terminal made by tmux, which wine turns into the program's console: tmux types the keys
# (wine hands them over as console key events) and shows the screen.
#
# Set by run.sh: EXE (the .exe), LINUX_EXE (the Linux program, whose outputs are the
# reference), SAMPLE_SONG (the song with OGG woices), WORK (a scratch folder of this test).

WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver
SOURCE_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
TMUX_SOCKET=""  # a new tmux server for every terminal
TERMINALS=0
SCREEN_WIDTH=120
STEP_TIMEOUT=30  # seconds for one thing to show; a cold wine takes several

fail() {
  echo "FAILED: $*" >&2
  if [ -n "$TMUX_SOCKET" ] && tmux -L "$TMUX_SOCKET" has-session -t t 2>/dev/null; then
    echo "--- screen:" >&2
    screen_text >&2
  fi
  exit 1
}

# The path wine gives a file of this machine (its drive Z: is the root folder).
winpath() {
  local p="$1"
  printf 'Z:%s' "${p//\//\\}"
}

# Starts a program in a new terminal of `width` columns, in the folder that holds it, with
# the arguments given: run_in_terminal PROGRAM WIDTH ARG...
run_in_terminal() {
  local program="$1" width="$2"
  shift 2
  local launcher="$WORK/launch.sh"
  rm -f "$WORK/exit-code"
  {
    echo "cd $(printf '%q' "$(dirname "$program")")"
    printf '%q ' "$WINE" "$program" "$@"
    echo
    echo "echo \$? > $(printf '%q' "$WORK/exit-code")"
  } >"$launcher"
  close_terminal
  TERMINALS=$((TERMINALS + 1))
  TMUX_SOCKET="tarvenox-wine-$BASHPID-$TERMINALS"
  # The terminal stays when the program has ended, so that its last words can be read.
  tmux -L "$TMUX_SOCKET" -f /dev/null new-session -d -s t -x "$width" -y 50 "bash $launcher" \; \
    set-option remain-on-exit on
}

close_terminal() {
  if [ -n "$TMUX_SOCKET" ]; then
    tmux -L "$TMUX_SOCKET" kill-server 2>/dev/null || true
    TMUX_SOCKET=""
  fi
}

# The screen and what scrolled off it, wrapped rows joined, without tmux's own last line.
screen_text() {
  tmux -L "$TMUX_SOCKET" capture-pane -p -J -S - -t t | sed -e 's/ *$//' -e '/^Pane is dead/d'
}

# The screen's rows as they are, without joining the wrapped ones.
screen_rows() {
  tmux -L "$TMUX_SOCKET" capture-pane -p -t t
}

# The title the program gave its console.
screen_title() {
  tmux -L "$TMUX_SOCKET" display-message -p -t t '#{pane_title}'
}

keys() {
  tmux -L "$TMUX_SOCKET" send-keys -t t "$@"
}

# Text typed as it stands.
type_text() {
  tmux -L "$TMUX_SOCKET" send-keys -t t -l "$1"
}

# Waits until the screen shows the text (fixed, on one line after joining wrapped rows).
wait_for_screen() {
  local text="$1" deadline=$((SECONDS + STEP_TIMEOUT))
  until screen_text | grep -qF -- "$text"; do
    [ "$SECONDS" -lt "$deadline" ] || fail "the screen never showed: $text"
    sleep 0.2
  done
}

expect_screen() {
  screen_text | grep -qF -- "$1" || fail "the screen does not show: $1"
}

expect_no_screen() {
  ! screen_text | grep -qF -- "$1" || fail "the screen shows: $1"
}

# Waits for the program to end and checks its exit code.
expect_exit() {
  local want="$1" deadline=$((SECONDS + STEP_TIMEOUT))
  until [ -s "$WORK/exit-code" ]; do
    [ "$SECONDS" -lt "$deadline" ] || fail "the program did not end"
    sleep 0.2
  done
  local got
  got="$(cat "$WORK/exit-code")"
  [ "$got" = "$want" ] || fail "exit code $got, expected $want"
}

expect_same_file() {
  [ -f "$1" ] || fail "missing: $1"
  [ -f "$2" ] || fail "missing: $2"
  cmp -s "$1" "$2" || fail "differ: $1 and $2"
}

# Every file of the two folders, by name and by byte, and so every folder in them (target
# 13 writes one for each song).
expect_same_folder() {
  diff <(cd "$1" && ls -A) <(cd "$2" && ls -A) >&2 || fail "other files in $1 than in $2"
  local f
  for f in "$1"/*; do
    [ -e "$f" ] || continue # an empty folder
    if [ -d "$f" ]; then
      [ -d "$2/$(basename "$f")" ] || fail "not a folder: $2/$(basename "$f")"
      expect_same_folder "$f" "$2/$(basename "$f")"
    else
      expect_same_file "$f" "$2/$(basename "$f")"
    fi
  done
}

# What the Linux program writes for the input and target, into a folder of its own:
# linux_output INPUT TARGET prints the folder.
linux_output() {
  local out
  out="$WORK/linux/$(basename "$1")-$2"
  if [ ! -d "$out" ]; then
    mkdir -p "$out"
    "$LINUX_EXE" --target "$2" --output-dir "$out" "$1" >/dev/null || true
  fi
  printf '%s' "$out"
}

# A folder holding a copy of the program, which writes its outputs beside itself.
program_folder() {
  local folder="$WORK/$1"
  mkdir -p "$folder"
  cp "$EXE" "$folder/tarvenox.exe"
  printf '%s' "$folder"
}

# The inputs of the tests, in a folder whose name has a space, so that wine puts a path
# given to the program in double quotes as a dropped file comes.
inputs_folder() {
  local folder="$WORK/drop box"
  if [ ! -d "$folder" ]; then
    mkdir -p "$folder"
    cp "$SOURCE_DIR/examples/demo.qxprj" "$SOURCE_DIR/examples/demo.qxi" \
      "$SOURCE_DIR/examples/demo_x3x.qxprj" "$folder/"
    cp "$SAMPLE_SONG" "$folder/ogg song.qxprj"
  fi
  printf '%s' "$folder"
}
