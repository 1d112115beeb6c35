// What a target loses of the song beyond what the downgrade step's other lines say: one line
// per kind of loss, with a count, printed first. And the other side of it: the events of
// a dropped kind that the target still plays by other means, which are no loss to warn of.
#pragma once

#include "io/chunk_writers.h"

struct Run;
struct Song;

// Prints a line for each kind of loss that `target` (after a tune's move to x2x) brings. Its
// walk over the events also tallies, into *lost when given, what tally_lost_events gives, so
// that the downgrade step need not walk them again.
void report_losses(Run& run, const Song& song, int target, int tune_input, int clock_divisor,
                   EventTally* lost = nullptr);

// The tally of the events `target` loses: voice-no events that say unit i plays woice i
// (which x1x to x3x and the instrument file say by their unit-woice tie), group-no events of
// group 0 (their units' group there), and correct events that repeat the x3x tuning an old
// qxVoice body carries are left out. Warnings about dropped kinds are given from it.
EventTally tally_lost_events(const Song& song, int target);
