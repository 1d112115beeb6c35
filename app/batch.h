// Batch conversion: every file given (or every song, tune, instrument and MIDI file inside a
// folder given) converted for one or more targets without a prompt, several at once. Each
// file's conversion lines and errors go to the error stream together, in argument order; the
// result lines, one a file written, go to the output stream in one shape a script can split;
// a summary closes a run of several files.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "app/convert.h"

enum Verbosity {
  VERBOSITY_QUIET,    // errors and the summary only
  VERBOSITY_NORMAL,   // the conversion lines and the results too
  VERBOSITY_VERBOSE,  // and what each step did
};

struct BatchOptions {
  std::vector<int> targets;
  std::string output_dir;  // empty: beside each input
  int jobs = 0;            // 0: one a processor
  std::vector<std::string> files;
  bool recursive = false;  // the folders' subfolders too, mirrored under output_dir
  Verbosity verbosity = VERBOSITY_NORMAL;
  std::string name_template;             // empty: the dialogue's names
  NamingMode naming = NAMING_NEXT_FREE;  // what becomes of an output whose name is taken
};

// Exit statuses of the command line; an interrupted run ends with 128 + the signal.
constexpr int EXIT_ALL_CONVERTED = 0;
constexpr int EXIT_SOME_FAILED = 1;
constexpr int EXIT_USAGE = 2;

// The most files converted at once, whatever -j asks: each holds a song in memory.
constexpr int JOBS_MAX = 64;

// Converts the files, printing the results to `out`, everything else to `err`. Returns one
// of the exit statuses above.
int run_batch(const BatchOptions& options, FILE* out, FILE* err);

// A file a FILE argument stands for, and the folder below the argument's that holds it
// ("" for the argument's own files), which an output folder mirrors.
struct BatchInput {
  std::string path;
  std::string subfolder;
};
// The files a FILE argument stands for: itself, or for a folder the song, tune, instrument
// and MIDI files inside it (with `recursive`, in its subfolders too, not following links to
// folders), sorted by name. Every other entry but hidden ones is added to `passed_over` with
// the reason, for the caller to report.
std::vector<BatchInput> expand_inputs(const std::string& argument, bool recursive,
                                      std::vector<std::string>* passed_over);
// The files of expand_inputs, without subfolders and without a word of what was passed over.
std::vector<std::string> expand_input(const std::string& argument);
