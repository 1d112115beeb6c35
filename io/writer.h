// The writer driver: writes the loaded Project as the chosen target into streams, in the
// target's chunk order. Files and their names are the front ends' (app/output.h).
#pragma once

#include <cstdio>

#include "project/targets.h"

struct Project;

// Writes the Project for `target` into `out`; target 11 writes its text listing into
// `listing`. *listing_started tells whether the listing was written to (it is kept even
// when the instrument file fails). Returns 1, or 0 with the ErrorText set; closes nothing.
int write_output_streams(Project& p, FILE* out, FILE* listing, int target,
                         bool* listing_started = nullptr);
