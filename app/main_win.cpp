// Entry of the Windows program, a windowed one that opens its own console. A file dropped on
// its icon arrives as the raw command-line text (the path in double quotes), which goes to
// the dialogue unaltered; a command line that begins with an option comes from a console and
// is parsed into arguments for the batch conversion or the inspection, whose output goes to
// that console.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/command_line.h"
#include "app/dialogue.h"

namespace {

bool starts_with_option(const char* text) {
  while (*text == ' ' || *text == '\t') ++text;
  return *text == '-';
}

bool has_handle(DWORD which) {
  HANDLE h = GetStdHandle(which);
  return h != nullptr && h != INVALID_HANDLE_VALUE && GetFileType(h) != FILE_TYPE_UNKNOWN;
}

// A windowed program starts without a console: output that is not sent elsewhere goes to
// the console of the program that started this one, when there is one.
void use_parent_console() {
  const bool out = has_handle(STD_OUTPUT_HANDLE);
  const bool err = has_handle(STD_ERROR_HANDLE);
  if (out && err) return;
  if (!AttachConsole(ATTACH_PARENT_PROCESS)) return;
  if (!out) std::freopen("CONOUT$", "w", stdout);
  if (!err) std::freopen("CONOUT$", "w", stderr);
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR command_line, int) {
  const char* text = command_line ? command_line : "";
  if (starts_with_option(text)) {
    use_parent_console();
    return run_command_line(__argc, __argv);
  }
  return program_entry(text);
}
