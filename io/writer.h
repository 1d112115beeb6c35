// The writer driver: writes the loaded Project as one output file of the chosen target,
// in the target's chunk order; a file that fails part-way never appears.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "platform/staged_file.h"
#include "project/targets.h"

struct Project;

// Writes the Project for `target` into `out`; target 11 writes its text listing into
// `listing`. *listing_started tells whether the listing was written to (it is kept even
// when the instrument file fails). Returns 1, or 0 with the ErrorText set; closes nothing.
int write_output_streams(Project& p, FILE* out, FILE* listing, int target,
                         bool* listing_started = nullptr);
// A conversion written but not yet named: it appears under a name complete or not at all,
// and never in place of a file that stands there.
struct StagedOutput {
  StagedFile out;
  StagedFile listing;
  int result = 0;             // the write succeeded
  bool keep_listing = false;  // target 11's listing is whole and stays even if the write failed
};
// Writes the conversion, unnamed, in `folder`. Returns s.result (0 with the ErrorText set).
int write_output_staged(Project& p, const std::string& folder, int target, StagedOutput& s);
// Names the written file with the first of `names` (all in the folder it was written in)
// whose place is free, with target 11's listing beside it; the listing is named even when
// the write failed. Returns 1 with *named set (when given); 0 with the ErrorText set.
int publish_output(Project& p, StagedOutput& s, const std::vector<std::string>& names,
                   std::string* named);
// Writes and names the file `path`, refused at once when something stands there.
int write_output(Project& p, const std::string& path, int target);
