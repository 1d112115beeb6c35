// The entry and the console dialogue: path and number prompts with their key rules, the
// conversion sequence, output naming, and the closing message with its key wait.
#include "app/dialogue.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "app/convert.h"
#include "app/output.h"
#include "io/writer.h"
#include "platform/console.h"
#include "platform/paths.h"
#include "project/project.h"
#include "project/targets.h"

namespace {

constexpr int KEY_SLICE_MS = 50;
constexpr size_t NUMBER_LIMIT = 2;

const char BANNER[] =
    "*** Tarvenox - by Pell Vantrey ***\n\n"
    "Type a path, or drag & drop a QXPRJ, QXTUNE or QXI file, then press Enter:\n>";

// The menu of targets in two columns, each as wide as its longest label.
std::string menu_text() {
  constexpr int ROWS = (MENU_TARGET_COUNT + 1) / 2;
  size_t width[2] = {0, 0};
  for (int target = 1; target <= MENU_TARGET_COUNT; ++target) {
    size_t& w = width[(target - 1) / ROWS];
    w = std::max(w, std::strlen(target_rule(target).label));
  }
  std::string text = "\n\nChoose what format to convert:\n";
  char cell[64];
  for (int row = 1; row <= ROWS; ++row) {
    std::snprintf(cell, sizeof cell, "[%2d]: %-*s", row, static_cast<int>(width[0]),
                  target_rule(row).label);
    text += cell;
    if (row + ROWS <= MENU_TARGET_COUNT) {
      std::snprintf(cell, sizeof cell, " | [%2d]: %-*s", row + ROWS, static_cast<int>(width[1]),
                    target_rule(row + ROWS).label);
      text += cell;
    }
    text += "\n";
  }
  return text + "\n>";
}

enum Mode { PATH_MODE, NUMBER_MODE };

bool is_digit_key(uint16_t vk) {
  return (vk >= VK_DIGIT_0 && vk <= VK_DIGIT_9) || (vk >= VK_NUMPAD_0 && vk <= VK_NUMPAD_9);
}

// Edits `line` by the keys until Enter on a non-empty line (true) or Esc or the end of the
// input (false).
bool read_line(Project& p, Console& con, std::string& line, Mode mode) {
  const size_t limit = mode == PATH_MODE ? PATH_TEXT_MAX : NUMBER_LIMIT;
  for (;;) {
    KeyRecord key;
    int got = console_read_key(con, key, KEY_SLICE_MS);
    if (got < 0) return false;
    if (got == 0 || !key.key_down) continue;
    const uint8_t c = key.character;
    const uint16_t vk = key.virtual_key;
    if (c == 27) return false;
    if (!line.empty() && c == 13) return true;
    if (vk == VK_SHIFT || vk == VK_CONTROL || vk == VK_MENU || c == '"') continue;
    if (vk == VK_BACK) {
      if (!line.empty()) {
        // A character of several bytes goes whole, as the screen shows it.
        int cells = 1;
        line.resize(line.size() - last_char_length(line, &cells));
        erase_char(con, cells);
      }
      continue;
    }
    if (mode == NUMBER_MODE && !is_digit_key(vk)) continue;
    std::string typed;
    if (c >= 32 && c <= 126) {
      typed.assign(1, static_cast<char>(c));
    } else if (!key.text.empty() && (!line.empty() || char_cells(key.text) > 0)) {
      // Letters beyond ASCII, typed or pasted, for names such as "café"; a mark that
      // is drawn over the character before needs one to stand on.
      typed = key.text;
    } else {
      continue;
    }
    if (line.size() + typed.size() <= limit) {
      line += typed;
      print_text(p, "%s", typed.c_str());
    }
  }
}

// Tables, loading, naming and writing; prints the outcome.
void convert(Project& p, const std::string& input_path, uint8_t target) {
  const Conversion c = convert_into_folder(p, input_path, target, p.module_folder);
  switch (c.stage) {
    case CONVERT_DONE:
      print_text(p, "\n\n<< File converted successfully! >>");
      break;
    case CONVERT_READ_FAILED:
      print_text(p, "\n\n<< Error reading file: %s >>", c.error.c_str());
      break;
    case CONVERT_SKIPPED:  // never asked for here
    case CONVERT_NO_NAME:
      print_text(p, "\n\n<< Error: failure creating file in path: %s >>", c.output_path.c_str());
      break;
    case CONVERT_WRITE_FAILED:
      print_text(p, "\n\n<< Error converting file: %s >>", c.error.c_str());
      break;
  }
}

}  // namespace

int build_output_path(const Project& p, const std::string& input_path, uint8_t target,
                      int tune_flag, std::string* output_path) {
  const std::vector<std::string> names =
      output_names(p.module_folder, input_path, target, tune_flag);
  const size_t first = first_free_name(names, target);
  *output_path = names[first < names.size() ? first : 0];
  return first < names.size() ? 1 : 0;
}

void wait_any_key(Console& console) {
  KeyRecord key;
  for (;;) {
    int got = console_read_key(console, key, -1);
    if (got < 0 || (got > 0 && key.key_down)) return;
  }
}

void run_dialogue(Project& p, Console& con, const std::string& command_line) {
  std::string line;
  print_text(p, "%s", BANNER);
  bool accepted = false;
  if (!command_line.empty()) {
    // The quotes a dropped path comes in, or whatever stands in their place.
    line = command_line.size() >= 2 ? command_line.substr(1, command_line.size() - 2) : "";
    print_text(p, "%s", line.c_str());
    // An empty path is an Enter on an empty line: the prompt waits for typing.
    accepted = !line.empty();
  }
  if (accepted || read_line(p, con, line, PATH_MODE)) {
    // A shell has already undone its quoting of an argument, and a backslash there belongs
    // to the name; only a launcher's file URI needs decoding. Typed text may be a terminal's
    // drop in any of its forms.
    const std::string path = accepted ? decode_file_uri(line) : decode_typed_path(line);
    std::string input_path = path_is_file_spec(path) ? path_join(p.module_folder, path) : path;
    line.clear();
    print_text(p, "%s", menu_text().c_str());
    if (read_line(p, con, line, NUMBER_MODE)) {
      uint8_t target = static_cast<uint8_t>(std::atoi(line.c_str()));
      // The menu holds the song family's targets; a number past it is past the table.
      if (target > MENU_TARGET_COUNT) target = TARGET_PAST_TABLE;
      convert(p, input_path, target);
    } else {
      print_text(p, "\n\nOperation cancelled!");
    }
  } else {
    print_text(p, "\n\nOperation cancelled!");
  }
  print_text(p, "\n\nPress any key to exit...");
  wait_any_key(con);
}

int program_entry(const std::string& command_line) {
  try {
    Project p;
    p.module_folder = module_folder_path();
    if (p.module_folder.empty() || !path_is_directory(p.module_folder)) {
      console_message_box("Get module path");
      return 1;
    }
    Console con;
    if (!console_open(con)) {
      console_message_box("Open CONOUT");
      return 1;
    }
    console_set_title(con, "Tarvenox");
    p.console = [&con](std::string_view text) { console_print(con, text); };
    run_dialogue(p, con, command_line);
    p.console = nullptr;
    console_close(con);
    return 0;
  } catch (const std::bad_alloc&) {
    console_message_box("Out of memory");
    return 1;
  }
}
