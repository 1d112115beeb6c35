// One input converted into a folder: the tables set up as for every conversion, the file
// loaded once, and for each target asked for the output named by the dialogue's rules (base
// name, extension from the target and the beat clock, _00 to _99 when the name is taken; or
// the plain name alone, passed over or taken over when taken, as asked) and written. Every
// front end (the dialogue, batch mode, the page's worker, the Windows program) converts
// through it; each says the outcome in its own words.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/streams.h"

struct Project;

enum ConvertStage {
  CONVERT_DONE,
  CONVERT_READ_FAILED,   // the tables could not be made or the input not read
  CONVERT_NO_NAME,       // every name is taken
  CONVERT_WRITE_FAILED,  // the write failed; the ErrorText says why
  CONVERT_SKIPPED,       // the plain name is taken and taken names are passed over
};

// What becomes of an output whose plain name (NAME.ext; for target 11 its listing NAME.txt
// too) is taken.
enum NamingMode {
  NAMING_NEXT_FREE,      // the first free of NAME_00 to NAME_99 is taken
  NAMING_SKIP_EXISTING,  // the input is not converted
  NAMING_REPLACE,        // the output replaces the regular file (or our folder) standing there
};

// One file of an output written as a folder, kept in memory.
struct MemoryFile {
  std::string name;  // within the folder
  std::unique_ptr<MemoryStream> memory;
};

struct Conversion {
  ConvertStage stage = CONVERT_READ_FAILED;
  // The output's name; for CONVERT_NO_NAME the plain name that was taken.
  std::string output_path;
  // The reader's text (CONVERT_READ_FAILED) or the writer's (CONVERT_WRITE_FAILED).
  std::string error;
  // The system's reason for it, in words, when a system call failed; empty otherwise.
  std::string reason;
  // Kept in memory: the output's bytes (CONVERT_DONE), and where its listing was written
  // (empty when there is none).
  std::unique_ptr<MemoryStream> memory;
  std::string listing_path;
  // What was loaded, in a few words (the first Conversion of an input's only).
  std::string loaded;
  // Kept in memory, for a target written as a folder (an empty folder takes its name): its
  // files, in place of `memory`.
  std::vector<MemoryFile> files;
};

// Clears the Project and sets it up for one conversion. Returns 0 with *failure set when
// the tables cannot be made.
int project_prepare(Project& p, const char** failure);

// Prepares the Project and loads the input once, for any number of targets. Returns 0 with
// p.report_text set; sets *tune_flag as open_input does.
// A path of "-" reads standard input, told by its bytes what it is.
int load_input(Project& p, const std::string& input_path, int* tune_flag);

// Runs the naming step, which picks among the free names, when it is this file's turn.
using NamingTurn = std::function<void(const std::function<void()>& name_it)>;

// `turn`, when given, runs the naming step; batch runs with several jobs name their files
// in argument order with it, so that the names come out as in a run of one job. With
// `in_memory` (the page's way) the bytes stay in `memory` and an empty file takes the name
// in the folder, so that the files that follow are named as if it stood there; it always
// names as NAMING_NEXT_FREE. With NAMING_REPLACE an output whose place holds the input itself
// is refused.
Conversion convert_into_folder(Project& p, const std::string& input_path, uint8_t target,
                               const std::string& folder, const NamingTurn& turn = {},
                               bool in_memory = false, NamingMode naming = NAMING_NEXT_FREE);
// The input loaded once and written as each of `targets` in turn, each named on its own
// (`turn` runs once a target). One Conversion a target; one only, CONVERT_READ_FAILED, when
// the input could not be loaded.
// `name_template` names the outputs as output_names says (app/output.h).
std::vector<Conversion> convert_into_folder(Project& p, const std::string& input_path,
                                            const std::vector<uint8_t>& targets,
                                            const std::string& folder, const NamingTurn& turn = {},
                                            bool in_memory = false,
                                            const std::string& name_template = {},
                                            NamingMode naming = NAMING_NEXT_FREE);
