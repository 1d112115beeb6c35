// The console of the Windows program: a console of its own (or the one it was started in),
// standard output reopened on "CONOUT$" and unbuffered so that echo and erasing stay in
// order with the messages, and key events read from the console input in the code page of
// the console, one byte a character.
#include "platform/console.h"

#include <windows.h>

#include <cstdio>
#include <string>

struct ConsoleState {
  HANDLE in_handle = nullptr;
  HANDLE out_handle = nullptr;
  bool close_in = false;  // opened here rather than taken from the standard handles
  bool close_out = false;
};

namespace {

bool is_console_handle(HANDLE h) {
  DWORD mode = 0;
  return h != nullptr && h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode) != 0;
}

// The standard handle when it is the console's; otherwise (a program started in a terminal
// under another system's console, or with its standard handles sent elsewhere) the console
// device itself.
HANDLE console_handle(DWORD standard, const char* device, bool* opened) {
  *opened = false;
  HANDLE h = GetStdHandle(standard);
  if (is_console_handle(h)) return h;
  h = CreateFileA(device, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                  OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  *opened = true;
  return h;
}

}  // namespace

Console::Console() : state(std::make_unique<ConsoleState>()) {}

Console::~Console() {
  console_close(*this);
}

int console_open(Console& con) {
  // A program started from a console has one already and cannot have a second: that
  // failure is of no concern, the console it has serves.
  AllocConsole();
  if (!std::freopen("CONOUT$", "w", stdout)) return 0;
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  con.state->in_handle = console_handle(STD_INPUT_HANDLE, "CONIN$", &con.state->close_in);
  con.state->out_handle = console_handle(STD_OUTPUT_HANDLE, "CONOUT$", &con.state->close_out);
  con.open = true;
  return 1;
}

void console_close(Console& con) {
  if (!con.open) return;
  if (con.state->close_in) CloseHandle(con.state->in_handle);
  if (con.state->close_out) CloseHandle(con.state->out_handle);
  con.state->in_handle = con.state->out_handle = nullptr;
  con.state->close_in = con.state->close_out = false;
  std::fclose(stdout);
  FreeConsole();
  con.open = false;
}

void console_set_title(Console&, const char* title) {
  SetConsoleTitleA(title);
}

std::string terminal_safe_text(std::string_view text) {
  std::string shown(text);
  for (char& c : shown) {
    const auto u = static_cast<unsigned char>(c);
    if ((u < 0x20 && u != '\n' && u != '\r' && u != '\t') || u == 0x7F) c = '?';
  }
  return shown;
}

void console_print(Console&, std::string_view text) {
  const std::string shown = terminal_safe_text(text);
  std::fwrite(shown.data(), 1, shown.size(), stdout);
}

void erase_char(Console& con, int cells) {
  HANDLE out = con.state->out_handle;
  for (int i = 0; i < cells; ++i) {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(out, &info)) return;
    COORD target = info.dwCursorPosition;
    if (target.X > 0) {
      --target.X;
    } else if (target.Y > 0) {
      // The first character of a wrapped row stands after the end of the row above.
      target.X = static_cast<SHORT>(info.dwSize.X - 1);
      --target.Y;
    } else {
      return;
    }
    DWORD written = 0;
    SetConsoleCursorPosition(out, target);
    WriteConsoleA(out, " ", 1, &written, nullptr);
    SetConsoleCursorPosition(out, target);
  }
}

int console_read_key(Console& con, KeyRecord& key, int timeout_ms) {
  HANDLE in = con.state->in_handle;
  if (!in) return -1;
  for (;;) {
    const DWORD wait =
        WaitForSingleObject(in, timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms));
    if (wait == WAIT_TIMEOUT) return 0;
    if (wait != WAIT_OBJECT_0) return -1;
    INPUT_RECORD record;
    DWORD read = 0;
    if (!ReadConsoleInputA(in, &record, 1, &read)) return -1;
    if (read == 1 && record.EventType == KEY_EVENT) {
      const KEY_EVENT_RECORD& k = record.Event.KeyEvent;
      key = KeyRecord{};
      key.key_down = k.bKeyDown != FALSE;
      key.virtual_key = k.wVirtualKeyCode;
      key.character = static_cast<uint8_t>(k.uChar.AsciiChar);
      // Windows' own console gives the Esc key its character 27; the console wine makes of
      // a terminal gives it none.
      if (key.virtual_key == VK_ESCAPE && key.character == 0) key.character = 27;
      return 1;
    }
    // Mouse, focus and window-size records are no keys.
    if (timeout_ms >= 0) return 0;
  }
}

// A console code page character takes one byte and one cell.
int char_cells(std::string_view text) {
  return text.empty() ? 0 : 1;
}

size_t last_char_length(std::string_view text, int* cells) {
  *cells = text.empty() ? 0 : 1;
  return text.empty() ? 0 : 1;
}

void console_message_box(const char* text) {
  MessageBoxA(nullptr, text, "Error", MB_OK | MB_ICONWARNING);
}
