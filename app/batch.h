// Batch conversion: every file given (or every song, tune and instrument file directly
// inside a folder given) converted for one target without a prompt, several at once, with
// each file's lines printed together in argument order and a closing summary.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "app/convert.h"

struct BatchOptions {
  int target = 0;
  std::string output_dir;  // empty: beside each input
  int jobs = 1;
  std::vector<std::string> files;
  NamingMode naming = NAMING_NEXT_FREE;  // what becomes of an output whose name is taken
};

// Exit statuses of the command line.
constexpr int EXIT_ALL_CONVERTED = 0;
constexpr int EXIT_SOME_FAILED = 1;
constexpr int EXIT_USAGE = 2;

// Converts the files, printing to `out` and usage errors to `err`. Returns one of the exit
// statuses above.
int run_batch(const BatchOptions& options, FILE* out, FILE* err);

// The files a FILE argument stands for: itself, or for a folder the song, tune and
// instrument files directly inside it, sorted by name.
std::vector<std::string> expand_input(const std::string& argument);
