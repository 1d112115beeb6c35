# The Windows program's command line from a console: batch conversion of a folder and the
# inspection report, against what the Linux program writes and prints.

# The folder of inputs, with a file that is no song (passed over) and a damaged song.
batch_inputs() {
  local folder="$WORK/batch in"
  if [ ! -d "$folder" ]; then
    mkdir -p "$folder"
    cp "$(inputs_folder)"/* "$folder/"
    echo "not a song" >"$folder/notes.txt"
    printf 'QXMOSAIKA-071119 cut short' >"$folder/damaged.qxprj"
  fi
  printf '%s' "$folder"
}

test_batch_converts_a_folder_to_the_linux_programs_bytes() {
  local in
  in="$(batch_inputs)"
  local target
  for target in 1 6 11 midi wav; do
    local out="$WORK/batch out/$target" linux="$WORK/batch linux/$target"
    mkdir -p "$out" "$linux"
    # Run from a console: the lines show in it (whole: the console breaks them at its width).
    run_in_terminal "$EXE" 500 --target "$target" --output-dir "$(winpath "$out")" "$(winpath "$in")"
    expect_exit 1 # the damaged song fails, the others are converted all the same
    # The lines with the paths written as the Linux program writes them.
    local lines
    lines="$(screen_text | sed -e '/^$/d')"
    lines="${lines//"$(winpath "$in")\\"/"$in/"}"
    lines="${lines//"$(winpath "$out")\\"/"$linux/"}"
    "$LINUX_EXE" --target "$target" --output-dir "$linux" "$in" >"$WORK/linux-lines" 2>&1 || true
    # Both write the same files and the same lines; the console shows a result line's tabs
    # as blanks.
    expect_same_folder "$out" "$linux"
    diff <(tr -s '\t ' ' ' <<<"$lines") <(tr -s '\t ' ' ' <"$WORK/linux-lines") >&2 ||
      fail "the lines differ from the Linux program's"
  done
  grep -qF "converted 4 of 5, 1 failed" <<<"$lines" || fail "no summary: $lines"
}

test_info_reports_as_the_linux_program_does() {
  local in
  in="$(inputs_folder)"
  local options
  for options in "--info" "--info --json"; do
    # shellcheck disable=SC2086
    "$WINE" "$EXE" $options "$(winpath "$in/ogg song.qxprj")" "$(winpath "$in/demo.qxi")" \
      >"$WORK/info-windows" 2>&1 || fail "$options failed"
    # shellcheck disable=SC2086
    "$LINUX_EXE" $options "$in/ogg song.qxprj" "$in/demo.qxi" >"$WORK/info-linux"
    diff <(tr -d '\r' <"$WORK/info-windows" | sed -e 's#\\\\#/#g' -e 's#\\#/#g' -e 's#Z:/#/#g') \
      "$WORK/info-linux" >&2 || fail "$options differs from the Linux program's"
  done
}

test_usage_errors_write_nothing() {
  local out="$WORK/usage out"
  mkdir -p "$out"
  run_in_terminal "$EXE" "$SCREEN_WIDTH" --target 14 --output-dir "$(winpath "$out")" \
    "$(winpath "$(inputs_folder)/demo.qxprj")"
  expect_exit 2
  expect_screen "--target"
  [ -z "$(ls -A "$out")" ] || fail "files written: $(ls -A "$out")"
}
