// Where a conversion's bytes go and under which name: the names an output may take in a
// folder, and the staged output that appears under the first free one complete or not at
// all, never in place of a file that stands there (unless asked to replace the plain name's
// own file, in one step). Every front end names its outputs here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/staged_file.h"
#include "platform/staged_folder.h"

struct Run;
struct Song;

// The input path that stands for standard input; its outputs are named after "stdin".
constexpr const char* STANDARD_INPUT = "-";

// The names the output may take in `folder`, in the order they are tried: the plain name,
// then _00 to _99 before the extension. With a `name_template`, the plain name is the
// template's, its fields filled: {stem} the input's name without its extension, {gen} the
// target's tag ("x4x", "qxi", "mid", "wav"), {target} its number and {ext} its extension
// without the dot (added after a dot at the end when the template has no {ext}).
std::vector<std::string> output_names(const std::string& folder, const std::string& input_path,
                                      uint8_t target, int tune_flag,
                                      const std::string& name_template = {});
// Whether `name_template` is one output_names can fill, and gives each of `targets` names of
// its own (as the default names do where the extensions differ). Otherwise false, with
// *problem saying why.
bool names_differ_by_target(const std::string& name_template, const std::vector<int>& targets,
                            std::string* problem);
// Whether nothing stands at the name, nor, for target 11, where its listing goes.
bool output_name_free(const std::string& path, uint8_t target);
// The first of `names` that output_name_free finds free; names.size() when none is.
size_t first_free_name(const std::vector<std::string>& names, uint8_t target);

// A conversion written but not yet named: it appears under a name complete or not at all,
// and never in place of a file that stands there.
struct StagedOutput {
  StagedFile out;
  StagedFile listing;
  StagedFolder folder;         // for a target written as a folder of files, in place of `out`
  bool folder_output = false;  // written as `folder`
  int result = 0;              // the write succeeded
  bool keep_listing = false;   // target 11's listing is whole and stays even if the write failed
};
// Writes the conversion, unnamed, in `folder`. Returns s.result (0 with the ErrorText set).
int write_output_staged(Run& run, const Song& song, const std::string& folder, int target,
                        StagedOutput& s);
// Names the written file with the first of `names` (all in the folder it was written in)
// whose place is free, with target 11's listing beside it; the listing is named even when
// the write failed. Returns 1 with *named set (when given); 0 with the ErrorText set.
int publish_output(Run& run, StagedOutput& s, const std::vector<std::string>& names,
                   std::string* named);
// Why the output of `target` may not replace what stands at `path` (or, for target 11, at its
// listing's place), in words; "" when it may: nothing stands there, a regular file does, or
// for a target written as a folder a folder of .wav files alone does. Sets *text to the
// ErrorText that goes with it.
std::string replace_refused(const std::string& path, int target, const char** text);
// Names the written file `path` (in the folder it was written in) in place of what stands
// there, with target 11's listing beside it in place of its own, as publish_output does;
// what replace_refused turns away fails the naming. Returns 1; 0 with the ErrorText (and the
// reason) set.
int replace_output(Run& run, StagedOutput& s, const std::string& path, int target);
// Writes and names the file `path`, refused at once when something stands there.
int write_output(Run& run, const Song& song, const std::string& path, int target);
