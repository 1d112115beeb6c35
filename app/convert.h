// One input converted into a folder: the tables set up as for every conversion, the file
// loaded, the output named by the dialogue's rules (base name, extension from the target
// and the beat clock, _00 to _99 when the name is taken) and written. The dialogue and the
// batch mode share it; each says the outcome in its own words.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct Project;

enum ConvertStage {
  CONVERT_DONE,
  CONVERT_READ_FAILED,   // the tables could not be made or the input not read
  CONVERT_NO_NAME,       // every name is taken
  CONVERT_WRITE_FAILED,  // the write failed; the ErrorText says why
};

struct Conversion {
  ConvertStage stage = CONVERT_READ_FAILED;
  // The output's name; for CONVERT_NO_NAME the plain name that was taken.
  std::string output_path;
  // The reader's text (CONVERT_READ_FAILED) or the writer's (CONVERT_WRITE_FAILED).
  std::string error;
};

// Clears the Project and sets it up for one conversion. Returns 0 with *failure set when
// the tables cannot be made.
int project_prepare(Project& p, const char** failure);

// Runs the naming step, which picks among the free names, when it is this file's turn.
using NamingTurn = std::function<void(const std::function<void()>& name_it)>;

// `turn`, when given, runs the naming step; batch runs with several jobs name their files
// in argument order with it, so that the names come out as in a run of one job.
Conversion convert_into_folder(Project& p, const std::string& input_path, uint8_t target,
                               const std::string& folder, const NamingTurn& turn = {});

// The names the output may take in `folder`, in the order they are tried: the plain name,
// then _00 to _99.
std::vector<std::string> output_names(const std::string& folder, const std::string& input_path,
                                      uint8_t target, int tune_flag);
// Whether nothing stands at the name, nor, for target 11, where its listing goes.
bool output_name_free(const std::string& path, uint8_t target);
