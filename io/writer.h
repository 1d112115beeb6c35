// The writer driver: writes a target's copy of a song (made by the downgrade step) into
// streams, in the target's chunk order. Files and their names are the front ends'
// (app/output.h).
#pragma once

#include <cstdio>
#include <functional>
#include <string>

#include "project/targets.h"

struct Run;
struct Song;
struct TargetSong;

// Writes `t`, the downgrade of `song` for its target, into `out`; target 11 writes its text
// listing into `listing`; a target written as a folder writes its files one after another.
// *listing_started tells whether the listing was written to (it is kept even when the instrument
// file fails). Returns 1, or 0 with the ErrorText set; closes nothing.
//
// Without the events (inspection) the rest is written all the same: the event chunks can
// fail only where the stream does, what else a write may refuse is refused.
enum WriteParts { WRITE_WHOLE, WRITE_WITHOUT_EVENTS };
int write_target(Run& run, const Song& song, const TargetSong& t, FILE* out, FILE* listing,
                 bool* listing_started = nullptr, WriteParts parts = WRITE_WHOLE);
// The downgrade step and the write, for one target.
int write_output_streams(Run& run, const Song& song, FILE* out, FILE* listing, int target,
                         bool* listing_started = nullptr);

// Where a target written as a folder of files (wav) puts them: `open` gives the stream of the
// file `name` in the folder, nullptr when it cannot; `close` closes it and tells whether
// every byte reached it.
struct FileSink {
  std::function<FILE*(const std::string& name)> open;
  std::function<bool(FILE*)> close;
};
// Writes `t` as files, one a woice. Returns 1, or 0 with the ErrorText set.
int write_target_files(Run& run, const TargetSong& t, FileSink& sink);
// The downgrade step and the write as files, for one target.
int write_output_files(Run& run, const Song& song, int target, FileSink& sink);
