// The console the dialogue talks to, key records with virtual-key codes, unbuffered
// printing, erasing, the window title and error boxes. On a POSIX system it is the process's
// terminal in raw mode (or plain standard input and output when they are not a terminal),
// with US-layout key codes and cursor-column tracking; on Windows it is the console the
// program opens for itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

// Virtual-key codes of the keys the dialogue tells apart. (A Windows source includes this
// header before <windows.h>, whose macros of the same names would otherwise replace them.)
constexpr uint16_t VK_BACK = 0x08;
constexpr uint16_t VK_TAB = 0x09;
constexpr uint16_t VK_RETURN = 0x0D;
constexpr uint16_t VK_SHIFT = 0x10;
constexpr uint16_t VK_CONTROL = 0x11;
constexpr uint16_t VK_MENU = 0x12;  // Alt
constexpr uint16_t VK_ESCAPE = 0x1B;
constexpr uint16_t VK_SPACE = 0x20;
constexpr uint16_t VK_DIGIT_0 = 0x30;
constexpr uint16_t VK_DIGIT_9 = 0x39;
constexpr uint16_t VK_NUMPAD_0 = 0x60;
constexpr uint16_t VK_NUMPAD_9 = 0x69;

// One key press: the character it types (0 for keys that type none) and the code of the
// US-layout key that types it. A character beyond ASCII has the first of its UTF-8 bytes
// as `character`, no key code, and all its bytes in `text` when it is printable.
struct KeyRecord {
  bool key_down = true;
  uint16_t virtual_key = 0;
  uint8_t character = 0;
  std::string text;
};

// What the platform keeps of its console: the terminal and its settings on a POSIX
// system, the console's handles on Windows. Defined beside each platform's functions.
struct ConsoleState;

struct Console {
  std::unique_ptr<ConsoleState> state;
  bool open = false;

  Console();
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;
  ~Console();
};

// Sets up standard input and output as the console: on Windows a new console (or the one
// the program already has) with standard output reopened on it. Returns 0 when standard
// output cannot be written or the terminal's mode cannot be set.
int console_open(Console& con);
// Puts the terminal back as it was found, or closes the console stream and lets the console
// go. Safe to call more than once.
void console_close(Console& con);
void console_set_title(Console& con, const char* title);
// The text with every control character but line breaks and tabs shown as "?", so that
// text taken from files cannot send commands to a terminal.
std::string terminal_safe_text(std::string_view text);
// Writes text at once. Control characters other than line breaks and tabs are shown as
// "?" so that text taken from files cannot send commands to the terminal.
void console_print(Console& con, std::string_view text);
// Removes the character left of the cursor from the screen: `cells` cells, two for a wide
// character.
void erase_char(Console& con, int cells = 1);
// Reads one key. Returns 1 with a key, 0 when none came within timeout_ms (-1: no limit),
// -1 when the input has ended.
int console_read_key(Console& con, KeyRecord& key, int timeout_ms);
// Cells the console gives the character at the start of `text`: on a terminal, the UTF-8
// character's, 0 for a mark drawn over the character before, 2 for a wide one, otherwise 1.
int char_cells(std::string_view text);
// Bytes of the last character of `text` together with the marks drawn over it; *cells
// receives the cells it takes on the screen.
size_t last_char_length(std::string_view text, int* cells);
// Shows an error that ends the program: a message box on Windows, "Error: " and the text on
// standard error elsewhere.
void console_message_box(const char* text);
