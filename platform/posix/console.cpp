// The console over a POSIX terminal: raw input mode restored on every way out (signals
// included), key decoding with a 50 ms wait to tell a lone Esc from an escape sequence,
// and output written straight to the file descriptor so echo and messages stay in order.
#include "platform/console.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "platform/posix/exit_signals.h"
#include "platform/posix/terminal.h"

struct ConsoleState {
  int in_fd = 0;
  int out_fd = 1;
  bool in_terminal = false;
  bool out_terminal = false;
  bool raw_mode = false;  // in_fd's settings are changed and must be put back
  struct termios saved_mode {};
  bool title_pushed = false;
  // Cursor column from what was printed; equal to the width when the last column has just
  // been written and the terminal holds the wrap until the next character.
  int column = 0;
  std::string pending;  // input bytes read but not yet decoded
  bool input_ended = false;
};

namespace {

constexpr int ESC_WAIT_MS = 50;
constexpr int DEFAULT_WIDTH = 80;

constexpr char TITLE_PUSH[] = "\x1b[22;0t";
constexpr char TITLE_POP[] = "\x1b[23;0t";

void write_all(int fd, std::string_view text) {
  const char* data = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t n = write(fd, data, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // nowhere left to show it
    }
    data += n;
    left -= static_cast<size_t>(n);
  }
}

int terminal_width(int fd) {
  struct winsize ws {};
  if (ioctl(fd, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  return DEFAULT_WIDTH;
}

// Reads what is available within timeout_ms. Returns true when bytes were added.
bool fill_pending(Console& con, int timeout_ms) {
  if (con.state->input_ended) return false;
  struct pollfd pfd {};
  pfd.fd = con.state->in_fd;
  pfd.events = POLLIN;
  int ready;
  do {
    ready = poll(&pfd, 1, timeout_ms);
  } while (ready < 0 && errno == EINTR);
  if (ready < 0) {
    con.state->input_ended = true;
    return false;
  }
  if (ready == 0) return false;
  char buf[256];
  ssize_t n;
  do {
    n = read(con.state->in_fd, buf, sizeof buf);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) {
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return false;
    con.state->input_ended = true;  // end of file, hang-up or a closed descriptor
    return false;
  }
  con.state->pending.append(buf, static_cast<size_t>(n));
  return true;
}

// Length of the escape sequence at the start of `b` (b[0] is Esc and b.size() >= 2), or 0
// when it may go on and more bytes are expected.
size_t escape_sequence_length(std::string_view b, bool complete) {
  const size_t size = b.size();
  size_t i = 1;
  if (static_cast<uint8_t>(b[1]) == 0x1B) {
    // Alt with a cursor key sends Esc twice; otherwise the first Esc stands alone.
    if (size == 2) return complete ? 1 : 0;
    if (b[2] != '[' && b[2] != 'O') return 1;
    i = 2;
  }
  char c = b[i];
  if (c == '[') {
    size_t j = i + 1;
    if (j < size && b[j] == '[') {  // the Linux console's function keys: Esc [ [ A
      if (j + 1 < size) return j + 2;
      return complete ? size : 0;
    }
    for (; j < size; ++j) {
      uint8_t d = static_cast<uint8_t>(b[j]);
      if (d >= 0x40 && d <= 0x7E) return j + 1;  // final byte
      if (d < 0x20 || d > 0x7E) return j;        // broken off: the byte starts a new key
    }
    return complete ? size : 0;
  }
  if (c == 'O') {
    if (i + 1 < size) return i + 2;
    return complete ? size : 0;
  }
  return i + 1;  // Alt with a key
}

uint16_t virtual_key_of(uint8_t c) {
  if (c >= '0' && c <= '9') return c;
  if (c >= 'A' && c <= 'Z') return c;
  if (c >= 'a' && c <= 'z') return static_cast<uint16_t>(c - 'a' + 'A');
  if (c == ' ') return VK_SPACE;
  // The shifted digits of the US layout, in the order of the digit keys 0 to 9.
  static const std::string_view SHIFTED_DIGITS = ")!@#$%^&*(";
  size_t digit = SHIFTED_DIGITS.find(static_cast<char>(c));
  if (digit != std::string_view::npos) return static_cast<uint16_t>(VK_DIGIT_0 + digit);
  struct Punctuation {
    std::string_view chars;
    uint16_t vk;
  };
  static const Punctuation PUNCTUATION[] = {
      {";:", 0xBA}, {"=+", 0xBB}, {",<", 0xBC},  {"-_", 0xBD}, {".>", 0xBE},  {"/?", 0xBF},
      {"`~", 0xC0}, {"[{", 0xDB}, {"\\|", 0xDC}, {"]}", 0xDD}, {"'\"", 0xDE},
  };
  for (const Punctuation& key : PUNCTUATION) {
    if (key.chars.find(static_cast<char>(c)) != std::string_view::npos) return key.vk;
  }
  if (c >= 1 && c <= 26) return static_cast<uint16_t>('A' + c - 1);  // Ctrl with a letter
  return 0;
}

size_t utf8_length(uint8_t lead) {
  if (lead >= 0xC0 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF7) return 4;
  return 1;  // a stray continuation byte or no UTF-8 at all
}

// Decodes the UTF-8 character at the start of `bytes`. Returns its length, or 0 when the
// bytes start with no complete, well-formed character (overlong forms and surrogates are
// not).
size_t utf8_decode(std::string_view bytes, char32_t* code) {
  if (bytes.empty()) return 0;
  const auto lead = static_cast<uint8_t>(bytes[0]);
  if (lead < 0x80) {
    *code = lead;
    return 1;
  }
  const size_t n = utf8_length(lead);
  if (n == 1 || bytes.size() < n) return 0;
  char32_t value = lead & (0x7F >> n);
  for (size_t i = 1; i < n; ++i) {
    const auto b = static_cast<uint8_t>(bytes[i]);
    if ((b & 0xC0) != 0x80) return 0;
    value = (value << 6) | (b & 0x3F);
  }
  static const char32_t SMALLEST[] = {0, 0, 0x80, 0x800, 0x10000};
  if (value < SMALLEST[n] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  *code = value;
  return n;
}

struct CodeRange {
  char32_t first, last;
};

bool in_ranges(char32_t code, std::initializer_list<CodeRange> ranges) {
  for (const CodeRange& r : ranges) {
    if (code >= r.first && code <= r.last) return true;
  }
  return false;
}

// C1 controls, which some terminals obey, and the line, paragraph and direction controls
// that would make the line on the screen differ from the path.
bool is_printable_beyond_ascii(char32_t code) {
  return !in_ranges(code, {{0x80, 0x9F}, {0x2028, 0x202E}, {0x2066, 0x2069}});
}

}  // namespace

Console::Console() : state(std::make_unique<ConsoleState>()) {}

Console::~Console() {
  console_close(*this);
}

int console_open(Console& con) {
  con.state->in_fd = STDIN_FILENO;
  con.state->out_fd = STDOUT_FILENO;
  int flags = fcntl(con.state->out_fd, F_GETFL);
  if (flags < 0 || (flags & O_ACCMODE) == O_RDONLY) return 0;
  // Whatever is printed through the C library reaches the screen at once as well.
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  con.state->out_terminal = isatty(con.state->out_fd) != 0;
  con.state->in_terminal = isatty(con.state->in_fd) != 0;
  // A reader that went away must not kill the program in the middle of a write.
  std::signal(SIGPIPE, SIG_IGN);
  // The handlers put back the title as well, so a terminal on either side needs them.
  if (con.state->in_terminal || con.state->out_terminal) {
    exit_signals_install();
    stop_signal_install();
  }
  if (con.state->in_terminal) {
    if (tcgetattr(con.state->in_fd, &con.state->saved_mode) != 0) return 0;
    struct termios raw = con.state->saved_mode;
    // Keys arrive one by one without echo; Ctrl-C still interrupts and printed line
    // breaks still return to the start of the line.
    raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO | ECHONL | IEXTEN));
    raw.c_iflag &= static_cast<tcflag_t>(~(ICRNL | INLCR | IGNCR | IXON | ISTRIP));
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    exit_signals_keep_terminal(con.state->in_fd, con.state->saved_mode, raw);
    if (tcsetattr(con.state->in_fd, TCSAFLUSH, &raw) != 0) {
      exit_signals_forget_terminal();
      return 0;
    }
    con.state->raw_mode = true;
  }
  con.open = true;
  return 1;
}

void console_close(Console& con) {
  if (!con.open) return;
  if (con.state->out_terminal && con.state->column != 0) write_all(con.state->out_fd, "\n");
  if (con.state->title_pushed) {
    exit_signals_forget_title();
    write_all(con.state->out_fd, TITLE_POP);
    con.state->title_pushed = false;
  }
  if (con.state->raw_mode) {
    tcsetattr(con.state->in_fd, TCSAFLUSH, &con.state->saved_mode);
    exit_signals_forget_terminal();
    con.state->raw_mode = false;
  }
  con.open = false;
}

void console_set_title(Console& con, const char* title) {
  if (!con.state->out_terminal) return;
  std::string seq;
  if (!con.state->title_pushed) {
    seq = TITLE_PUSH;  // keep the user's title to put back at the end
    con.state->title_pushed = true;
    exit_signals_keep_title(con.state->out_fd, TITLE_POP);
  }
  seq += "\x1b]0;";
  for (const char* c = title; *c; ++c) {
    if (static_cast<uint8_t>(*c) >= 0x20 && *c != 0x7F) seq += *c;
  }
  seq += '\a';
  write_all(con.state->out_fd, seq);
}

std::string terminal_safe_text(std::string_view text) {
  std::string shown;
  shown.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const auto u = static_cast<uint8_t>(text[i]);
    const bool control = (u < 0x20 && u != '\n' && u != '\r' && u != '\t') || u == 0x7F;
    // The second set of control characters, U+0080 to U+009F, as UTF-8 spells them: some
    // terminals act on them as on ESC sequences.
    const bool c1 = u == 0xC2 && i + 1 < text.size() && static_cast<uint8_t>(text[i + 1]) >= 0x80 &&
                    static_cast<uint8_t>(text[i + 1]) <= 0x9F;
    if (c1) ++i;
    shown += control || c1 ? '?' : text[i];
  }
  return shown;
}

void console_print(Console& con, std::string_view text) {
  const std::string shown = terminal_safe_text(text);
  write_all(con.state->out_fd, shown);
  if (con.state->out_terminal)
    con.state->column = column_after(con.state->column, terminal_width(con.state->out_fd), shown);
}

void erase_char(Console& con, int cells) {
  std::string seq;
  const int width = con.state->out_terminal ? terminal_width(con.state->out_fd) : 0;
  for (int i = 0; i < cells; ++i) {
    seq += con.state->out_terminal ? erase_sequence(con.state->column, width, &con.state->column)
                                   : "\b \b";
  }
  write_all(con.state->out_fd, seq);
}

int console_read_key(Console& con, KeyRecord& key, int timeout_ms) {
  for (;;) {
    if (!con.state->pending.empty()) {
      size_t used = decode_key(con.state->pending, con.state->input_ended, key);
      if (used == 0 && !fill_pending(con, ESC_WAIT_MS)) {
        used = decode_key(con.state->pending, true, key);
      }
      if (used > 0) {
        con.state->pending.erase(0, used);
        return 1;
      }
      continue;
    }
    if (con.state->input_ended) return -1;
    if (!fill_pending(con, timeout_ms)) return con.state->input_ended ? -1 : 0;
  }
}

void console_message_box(const char* text) {
  std::string line = std::string("Error: ") + text + "\n";
  write_all(STDERR_FILENO, line);
}

size_t decode_key(std::string_view bytes, bool complete, KeyRecord& key) {
  if (bytes.empty()) return 0;
  key = KeyRecord{};
  uint8_t c = static_cast<uint8_t>(bytes[0]);
  if (c == 0x1B) {
    size_t n = 1;
    if (bytes.size() == 1) {
      if (!complete) return 0;
    } else {
      n = escape_sequence_length(bytes, complete);
      if (n == 0) return 0;
    }
    if (n == 1) {
      key.character = 0x1B;
      key.virtual_key = VK_ESCAPE;
    }
    return n;  // a sequence is one key that types nothing
  }
  if (c == '\r' || c == '\n') {
    key.character = '\r';
    key.virtual_key = VK_RETURN;
    return 1;
  }
  if (c == 0x7F || c == 0x08) {
    key.character = 0x08;
    key.virtual_key = VK_BACK;
    return 1;
  }
  if (c == '\t') {
    key.character = '\t';
    key.virtual_key = VK_TAB;
    return 1;
  }
  if (c >= 0x80) {
    // One character of several bytes is one key; broken ones type nothing.
    size_t want = utf8_length(c);
    size_t n = 1;
    while (n < want && n < bytes.size() && (static_cast<uint8_t>(bytes[n]) & 0xC0) == 0x80) ++n;
    if (n < want && n == bytes.size() && !complete) return 0;
    key.character = c;
    char32_t code;
    if (utf8_decode(bytes.substr(0, n), &code) == n && is_printable_beyond_ascii(code)) {
      key.text = bytes.substr(0, n);
    }
    return n;
  }
  key.character = c;
  key.virtual_key = virtual_key_of(c);
  return 1;
}

int column_after(int column, int width, std::string_view text) {
  if (width < 1) width = 1;
  if (column > width) column = width;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<uint8_t>(text[i]);
    if (c == '\n' || c == '\r') {
      column = 0;
    } else if (c == '\t') {
      if (column >= width) column = 0;  // the held wrap happens first
      column = (column / 8 + 1) * 8;
      if (column > width - 1) column = width - 1;
    } else if (c < 0x20 || c == 0x7F || (c & 0xC0) == 0x80) {
      // takes no cell (continuation bytes belong to the character before)
    } else {
      const int cells = c < 0x80 ? 1 : char_cells(text.substr(i));
      if (cells == 2 && column >= width - 1) {
        column = 2;  // no room left in the row: the terminal wraps the character whole
      } else if (cells > 0) {
        column = column >= width ? cells : column + cells;
      }
    }
  }
  return column;
}

int char_cells(std::string_view text) {
  char32_t code;
  if (utf8_decode(text, &code) == 0) return 1;  // shown as one replacement character
  // The common marks and joiners, and the wide scripts and symbols of the terminals'
  // width tables in their main blocks.
  if (in_ranges(code, {{0x0300, 0x036F},
                       {0x0483, 0x0489},
                       {0x0591, 0x05BD},
                       {0x0610, 0x061A},
                       {0x064B, 0x065F},
                       {0x1AB0, 0x1AFF},
                       {0x1DC0, 0x1DFF},
                       {0x200B, 0x200F},
                       {0x20D0, 0x20FF},
                       {0xFE00, 0xFE0F},
                       {0xFE20, 0xFE2F}})) {
    return 0;
  }
  if (in_ranges(code, {{0x1100, 0x115F},
                       {0x2E80, 0x303E},
                       {0x3041, 0x33FF},
                       {0x3400, 0x4DBF},
                       {0x4E00, 0x9FFF},
                       {0xA000, 0xA4CF},
                       {0xAC00, 0xD7A3},
                       {0xF900, 0xFAFF},
                       {0xFE30, 0xFE4F},
                       {0xFF00, 0xFF60},
                       {0xFFE0, 0xFFE6},
                       {0x1F300, 0x1F64F},
                       {0x1F900, 0x1F9FF},
                       {0x20000, 0x2FFFD},
                       {0x30000, 0x3FFFD}})) {
    return 2;
  }
  return 1;
}

size_t last_char_length(std::string_view text, int* cells) {
  size_t start = text.size();
  *cells = 0;
  while (start > 0 && *cells == 0) {
    const size_t end = start;
    --start;
    while (start > 0 && end - start < 4 && (static_cast<uint8_t>(text[start]) & 0xC0) == 0x80) {
      --start;
    }
    *cells = char_cells(text.substr(start, end - start));
  }
  return text.size() - start;
}

std::string erase_sequence(int column, int width, int* new_column) {
  if (width < 1) width = 1;
  const std::string to_last = "\x1b[" + std::to_string(width) + "G";
  if (column >= width) {
    // The cursor still stands on the character it has just written in the last column.
    *new_column = width - 1;
    return to_last + " " + to_last;
  }
  if (column > 0) {
    *new_column = column - 1;
    return "\b \b";
  }
  *new_column = width - 1;
  return "\x1b[A" + to_last + " " + to_last;
}
