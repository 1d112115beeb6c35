// Key decoding and the cursor-column bookkeeping behind erasing on a terminal.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "platform/console.h"
#include "platform/posix/terminal.h"

namespace {

struct Decoded {
  size_t used;
  uint16_t vk;
  uint8_t character;
};

Decoded decode(std::string_view bytes, bool complete) {
  KeyRecord key;
  size_t used = decode_key(bytes, complete, key);
  EXPECT_TRUE(key.key_down);
  return {used, key.virtual_key, key.character};
}

TEST(DecodeKey, DigitKeysAndTheirShiftedSymbols) {
  const std::string digits = "0123456789";
  const std::string shifted = ")!@#$%^&*(";
  for (int i = 0; i < 10; ++i) {
    Decoded d = decode(digits.substr(i, 1), false);
    EXPECT_EQ(d.vk, 0x30 + i);
    EXPECT_EQ(d.character, digits[i]);
    d = decode(shifted.substr(i, 1), false);
    EXPECT_EQ(d.used, 1u);
    EXPECT_EQ(d.vk, 0x30 + i) << shifted[i];
    EXPECT_EQ(d.character, shifted[i]);
  }
  // Other keys are no digit keys.
  for (char c : std::string("aZ -.\"/~")) {
    Decoded d = decode(std::string(1, c), false);
    EXPECT_FALSE(d.vk >= 0x30 && d.vk <= 0x39) << c;
    EXPECT_EQ(d.character, static_cast<uint8_t>(c));
  }
  EXPECT_EQ(decode("q", false).vk, 'Q');
}

TEST(DecodeKey, CtrlWithALetterIsThatLetterKey) {
  for (auto [bytes, vk] : {std::pair{"\x01", 'A'}, std::pair{"\x1a", 'Z'}}) {  // the range's ends
    Decoded d = decode(bytes, false);
    EXPECT_EQ(d.vk, vk);
    EXPECT_EQ(d.character, static_cast<uint8_t>(bytes[0]));
  }
}

TEST(DecodeKey, EnterBackspaceAndEsc) {
  for (const char* enter : {"\r", "\n"}) {
    Decoded d = decode(enter, false);
    EXPECT_EQ(d.used, 1u);
    EXPECT_EQ(d.vk, VK_RETURN);
    EXPECT_EQ(d.character, 13);
  }
  for (const char* back : {"\x7f", "\x08"}) {
    Decoded d = decode(back, false);
    EXPECT_EQ(d.vk, VK_BACK);
    EXPECT_EQ(d.character, 8);
  }
  // A lone Esc is known only once nothing followed it.
  EXPECT_EQ(decode("\x1b", false).used, 0u);
  Decoded esc = decode("\x1b", true);
  EXPECT_EQ(esc.used, 1u);
  EXPECT_EQ(esc.character, 27);
  EXPECT_EQ(esc.vk, VK_ESCAPE);
  // Esc pressed twice: the first stands alone.
  esc = decode("\x1b\x1b", true);
  EXPECT_EQ(esc.used, 1u);
  EXPECT_EQ(esc.character, 27);
}

TEST(DecodeKey, EscapeSequencesAreOneKeyThatTypesNothing) {
  struct Case {
    std::string bytes;
    size_t used;
  };
  const Case cases[] = {
      {"\x1b[A", 3},  {"\x1b[Dx", 3},    {"\x1b[15~", 5}, {"\x1b[1;5C", 6}, {"\x1bOP", 3},
      {"\x1b[[A", 4}, {"\x1b\x1b[A", 4}, {"\x1bx", 2},    {"\x1b[12\r", 4},  // broken off: Enter is
                                                                             // a key of its own
  };
  for (const Case& c : cases) {
    Decoded d = decode(c.bytes, false);
    EXPECT_EQ(d.used, c.used) << c.bytes.substr(1);
    EXPECT_NE(d.character, 27);
    EXPECT_TRUE(d.character < 32 || d.character > 126);
  }
  // Unfinished sequences wait for more, unless nothing more comes.
  EXPECT_EQ(decode("\x1b[", false).used, 0u);
  EXPECT_EQ(decode("\x1b[1;5", false).used, 0u);
  EXPECT_EQ(decode("\x1bO", false).used, 0u);
  Decoded cut = decode("\x1b[1;5", true);
  EXPECT_EQ(cut.used, 5u);
  EXPECT_NE(cut.character, 27);
}

TEST(DecodeKey, MultiByteCharacterIsOneKeyWithAllItsBytes) {
  struct Case {
    std::string bytes;
    bool complete;
    size_t used;
    std::string text;  // empty: types nothing
  };
  const Case cases[] = {
      {"\xc3\xa9z", false, 2, "\xc3\xa9"},  // e with acute accent, then z
      {"\xf0\x9f\x8e\xb5", false, 4, "\xf0\x9f\x8e\xb5"},
      {"\xe2\x82", false, 0, ""},  // the rest may follow
      {"\xe2\x82", true, 2, ""},
      {"\xc0\xaf", false, 2, ""},  // "/" in too many bytes
      {"\xc2\x9b", false, 2, ""},  // a control character of the terminal
      {"\xc2\x80", false, 2, ""},  // the first and the last of them
      {"\xc2\x9f", false, 2, ""},
      {"\xe2\x80\xae", false, 3, ""},  // turns the text around on the screen
  };
  for (const Case& c : cases) {
    KeyRecord key;
    EXPECT_EQ(decode_key(c.bytes, c.complete, key), c.used) << c.bytes;
    EXPECT_EQ(key.text, c.text) << c.bytes;
    EXPECT_TRUE(c.used == 0 || key.character >= 128);  // no ASCII character, no digit key
  }
}

TEST(ConsoleColumns, PrintingWrapsWithTheLastColumnHeld) {
  EXPECT_EQ(column_after(0, 10, "abc"), 3);
  EXPECT_EQ(column_after(0, 10, "0123456789"), 10);  // cursor held in the last column
  EXPECT_EQ(column_after(10, 10, "x"), 1);
  EXPECT_EQ(column_after(0, 10, "01234567890123"), 4);
  EXPECT_EQ(column_after(7, 10, "ab\ncd"), 2);
  EXPECT_EQ(column_after(5, 10, "\r"), 0);
  EXPECT_EQ(column_after(1, 20, "\t"), 8);
}

TEST(ConsoleColumns, CharactersTakeTheCellsTheTerminalGivesThem) {
  EXPECT_EQ(column_after(0, 10, "caf\xc3\xa9 \xe2\x99\xab"), 6);
  EXPECT_EQ(column_after(0, 10, "e\xcc\x81"), 1);                 // an accent drawn over the e
  EXPECT_EQ(column_after(0, 10, "\xe4\xb8\xad\xe6\x96\x87"), 4);  // two wide characters
  EXPECT_EQ(column_after(8, 10, "\xe4\xb8\xad"), 10);
  // One cell left, or the wrap held: the wide character goes whole to the next row.
  EXPECT_EQ(column_after(9, 10, "\xe4\xb8\xad"), 2);
  EXPECT_EQ(column_after(10, 10, "\xe4\xb8\xad"), 2);
}

TEST(ConsoleColumns, LastCharacterWithItsMarks) {
  const std::tuple<std::string, size_t, int> cases[] = {
      {"ab", 1, 1}, {"caf\xc3\xa9", 2, 1}, {"a\xf0\x9f\x8e\xb5", 4, 2}, {"ae\xcc\x81", 3, 1}};
  for (const auto& [text, length, cells] : cases) {
    int got = -1;
    EXPECT_EQ(last_char_length(text, &got), length) << text;
    EXPECT_EQ(got, cells) << text;
  }
}

TEST(ConsoleColumns, EraseSequenceForEachCursorPlace) {
  int column = -1;
  EXPECT_EQ(erase_sequence(5, 80, &column), "\b \b");
  EXPECT_EQ(column, 4);
  // In column 0 the character is the last one of the row above.
  EXPECT_EQ(erase_sequence(0, 80, &column), "\x1b[A\x1b[80G \x1b[80G");
  EXPECT_EQ(column, 79);
  // Just after writing the last column the cursor has not wrapped yet.
  EXPECT_EQ(erase_sequence(80, 80, &column), "\x1b[80G \x1b[80G");
  EXPECT_EQ(column, 79);
  EXPECT_EQ(erase_sequence(1, 80, &column), "\b \b");
  EXPECT_EQ(column, 0);
}

}  // namespace

TEST(ConsoleText, ControlCharactersFromFilesAreShownAsQuestionMarks) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"a\x1b[2Jb\n\t", "a?[2Jb\n\t"},
      {"\x7f\x01", "??"},
      {"\xc2\x9b"
       "31m",
       "?31m"},                                                  // CSI as UTF-8
      {"\xc2\x80\xc2\x9f", "??"},                                // first and last C1 control
      {"caf\xc3\xa9 \xe2\x99\xab", "caf\xc3\xa9 \xe2\x99\xab"},  // letters stay
      {"\xc2\xa0", "\xc2\xa0"},                                  // no-break space is no control
  };
  for (const auto& c : cases) EXPECT_EQ(terminal_safe_text(c.in), c.out);
}
