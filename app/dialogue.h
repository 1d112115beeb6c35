// The console dialogue: the program's whole visible life. It takes a path (from the command
// line or typed) and a menu number, runs one conversion and closes with the outcome and a
// wait for a key.
#pragma once

#include <cstdint>
#include <string>

struct Console;
struct Project;

// The program: finds its folder, sets up the console and runs the dialogue. Returns the
// exit code: 1 when the folder or the console cannot be had, otherwise 0.
int program_entry(const std::string& command_line);

// `command_line` is the path as a dropped file gives it (surrounded by double quotes), or
// empty when the path is to be typed. A file URI there, or a path typed in the forms a
// terminal gives a dropped file (quoted, escaped, a URI), names the file it stands for.
void run_dialogue(Project& p, Console& console, const std::string& command_line);

// Names the output in p.module_folder after the input's base name, numbered _00 to _99 when
// the plain name is taken. Returns 1 with *output_path set; 0 when every name is taken,
// with *output_path the plain name.
int build_output_path(const Project& p, const std::string& input_path, uint8_t target,
                      int tune_flag, std::string* output_path);

// Blocks until a key is pressed (or the input has ended).
void wait_any_key(Console& console);
