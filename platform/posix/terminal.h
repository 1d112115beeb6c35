// What the POSIX console works out from bytes alone, apart so that the tests can reach it:
// the key a terminal's bytes stand for, and the cursor column behind erasing across a wrap.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/console.h"

// Decodes the first key of the bytes. `complete` says that no further byte follows soon
// (50 ms have passed without one, or the input has ended). Returns the number of bytes the
// key uses, or 0 when more bytes are needed to decide.
size_t decode_key(std::string_view bytes, bool complete, KeyRecord& key);
// The cursor column after printing text from `column` on a terminal `width` cells wide.
int column_after(int column, int width, std::string_view text);
// What erase_char sends to a terminal for the cursor at `column`; *new_column receives
// the column it leaves the cursor in.
std::string erase_sequence(int column, int width, int* new_column);
