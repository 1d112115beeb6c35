# The dialogue of the Windows program in its console: a dropped path, typed paths, the menu,
# Esc, and outputs written beside the program with the Linux program's bytes.

MENU_TITLE="Choose what format to convert:"
KEY_WAIT="Press any key to exit..."

# Drops `input` on the program (its path in double quotes on the command line), picks
# `target` and expects success: the files `outputs` beside the program, as the Linux
# program writes them.
convert_dropped() {
  local input="$1" target="$2"
  shift 2
  local folder
  folder="$(program_folder "dropped-$(basename "$input")-$target")"
  run_in_terminal "$folder/tarvenox.exe" "$SCREEN_WIDTH" "$(winpath "$input")"
  # The path stands after the prompt without its quotes.
  wait_for_screen ">$(winpath "$input")"
  wait_for_screen "$MENU_TITLE"
  type_text "$target"
  keys Enter
  wait_for_screen "$KEY_WAIT"
  expect_screen "<< File converted successfully! >>"
  keys Space
  expect_exit 0
  local reference output
  reference="$(linux_output "$input" "$target")"
  for output in "$@"; do
    expect_same_file "$folder/$output" "$reference/$output"
  done
  diff <(cd "$folder" && ls -A) <(printf '%s\n' tarvenox.exe "$@" | sort) >&2 ||
    fail "other files beside the program than tarvenox.exe $*"
}

test_dropped_files_convert_to_the_linux_programs_bytes() {
  local in
  in="$(inputs_folder)"
  # input, target, what it writes: qxVoice and qxNoise rendered (1), old bodies (2),
  # x4x (6), old qxNoise (8); OGG decoded (1, 7) or kept (9); an instrument file to a song
  # (4) and to itself with its listing (11).
  local name target outputs output names
  while read -r name target outputs; do
    # A "+" stands for a space.
    names=()
    for output in $outputs; do names+=("${output//+/ }"); done
    convert_dropped "$in/${name//+/ }" "$target" "${names[@]}"
  done <<'CASES'
demo.qxprj     1  demo.qxprj
demo.qxprj     2  demo.qxprj
demo.qxprj     6  demo.qxprj
demo.qxprj     8  demo.qxprj
ogg+song.qxprj 1  ogg+song.qxprj
ogg+song.qxprj 7  ogg+song.qxprj
ogg+song.qxprj 9  ogg+song.qxprj
demo.qxi       4  demo.qxprj
demo.qxi       11 demo.qxi demo.txt
CASES
}

test_typed_bare_name_is_read_beside_the_program_and_numbered() {
  local folder
  folder="$(program_folder typed)"
  cp "$SOURCE_DIR/examples/demo.qxprj" "$folder/"
  run_in_terminal "$folder/tarvenox.exe" "$SCREEN_WIDTH"
  wait_for_screen "then press Enter:"
  # A slip mended with Backspace; the double quote is never taken.
  type_text 'de"mo.qxpz'
  keys BSpace
  type_text 'rj'
  wait_for_screen ">demo.qxprj"
  expect_no_screen "qxpz"
  keys Enter
  wait_for_screen "$MENU_TITLE"
  # A letter is not taken at the menu.
  type_text 'a5'
  keys Enter
  wait_for_screen "$KEY_WAIT"
  expect_screen "<< File converted successfully! >>"
  keys Space
  expect_exit 0
  # The input itself holds the plain name.
  expect_same_file "$folder/demo_00.qxprj" "$(linux_output "$SOURCE_DIR/examples/demo.qxprj" 5)/demo.qxprj"
  expect_same_file "$folder/demo.qxprj" "$SOURCE_DIR/examples/demo.qxprj"
}

test_esc_at_either_prompt_cancels_and_writes_nothing() {
  local folder in
  folder="$(program_folder cancelled)"
  in="$(inputs_folder)"
  run_in_terminal "$folder/tarvenox.exe" "$SCREEN_WIDTH"
  wait_for_screen "then press Enter:"
  [ "$(screen_title)" = "Tarvenox" ] || fail "the console's title is $(screen_title)"
  keys Escape
  wait_for_screen "Operation cancelled!"
  wait_for_screen "$KEY_WAIT"
  keys a
  expect_exit 0

  run_in_terminal "$folder/tarvenox.exe" "$SCREEN_WIDTH" "$(winpath "$in/demo.qxprj")"
  wait_for_screen "$MENU_TITLE"
  keys 1 Escape
  wait_for_screen "Operation cancelled!"
  wait_for_screen "$KEY_WAIT"
  keys Enter
  expect_exit 0
  [ "$(ls -A "$folder")" = "tarvenox.exe" ] || fail "files written: $(ls -A "$folder")"
}

test_menu_number_out_of_range_is_refused_by_the_writer() {
  local folder in
  folder="$(program_folder refused)"
  in="$(inputs_folder)"
  run_in_terminal "$folder/tarvenox.exe" "$SCREEN_WIDTH" "$(winpath "$in/demo.qxprj")"
  wait_for_screen "$MENU_TITLE"
  type_text '123'
  wait_for_screen ">12"
  expect_no_screen ">123"
  keys Enter
  wait_for_screen "<< Error converting file: Invalid format! >>"
  keys Space
  expect_exit 0
  [ "$(ls -A "$folder")" = "tarvenox.exe" ] || fail "files written: $(ls -A "$folder")"
}

test_command_line_loses_its_first_and_last_characters() {
  local folder
  folder="$(program_folder unquoted)"
  cp "$SOURCE_DIR/examples/demo.qxprj" "$folder/"
  # Without a space wine passes the path without quotes, and its ends are cut all the same.
  local path
  path="$(winpath "$folder/demo.qxprj")"
  run_in_terminal "$folder/tarvenox.exe" "$SCREEN_WIDTH" "$path"
  wait_for_screen ">${path:1:${#path}-2}"
  wait_for_screen "$MENU_TITLE"
  keys 9 Enter
  wait_for_screen "<< Error reading file: File not found! >>"
  keys Space
  expect_exit 0
}

test_backspace_erases_across_a_wrapped_row() {
  local folder
  folder="$(program_folder wrapped)"
  run_in_terminal "$folder/tarvenox.exe" 40
  wait_for_screen "then press Enter:"
  # ">" and 39 characters fill the row; the 40th begins the next one.
  type_text 'abcdefghijklmnopqrstuvwxyz0123456789ABC'
  wait_for_screen "789ABC"
  type_text 'D'
  wait_for_screen "D"
  keys BSpace BSpace
  type_text 'Z'
  # Z stands where C stood, at the end of the row; the next row is empty again.
  local deadline=$((SECONDS + STEP_TIMEOUT))
  until screen_rows | grep -q '^>abcdefghijklmnopqrstuvwxyz0123456789ABZ$'; do
    [ "$SECONDS" -lt "$deadline" ] || fail "Backspace did not erase across the rows"
    sleep 0.2
  done
  screen_rows | grep -A1 '789ABZ$' | tail -n 1 | grep -q '^ *$' || fail "D is still shown"
  keys Escape
  wait_for_screen "$KEY_WAIT"
  keys Space
  expect_exit 0
}
