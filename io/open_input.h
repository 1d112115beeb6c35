// The single entry into loading: opens the input, tells a song from an instrument file,
// prepares the tables, runs the matching reader and reports the failure text.
#pragma once

#include <cstdint>
#include <string>

struct Project;

// On failure returns 0 with p.report_text set. Sets *tune_flag when the loaded song's
// beat clock is not 480.
// The song read is the same whatever it is converted to.
// How a MIDI file is told from the others: by its extension (".mid", ".midi"), which it must
// then bear out; or, for a file without a name of its own (standard input), by its bytes.
enum InputKindBy { KIND_BY_NAME, KIND_BY_BYTES };
int open_input(Project& p, const std::string& path, int* tune_flag,
               InputKindBy kind_by = KIND_BY_NAME);
