// Instrument-file writing: the song as three-byte step records for units 0 to 5 and the
// optional plain-text listing.
#pragma once

#include <cstdio>
#include <string>

struct Run;
struct Song;
struct TargetSong;

constexpr int QXI_BEAT_DIVIDE = 8;
constexpr int QXI_UNIT_NUM = 6;

// The tempo byte: the song's tempo truncated and held within 1 to 255, said when it changes.
int32_t qxi_tempo_byte(Run& run, const Song& song);
// Writes the body with the tempo byte `tempo`; the listing may be absent, and without `out`
// the records are only made, so that `say` is told what a byte could not hold (the
// downgrade step does that; the write itself says nothing). Returns 0 when the beat clock
// is too small or a write to `out` falls short (writes to the listing are not tested).
int write_qxi(Run* say, const Song& song, int32_t tempo, FILE* out, FILE* listing);
// The listing of target 11 stands beside the output: its path with the extension ".txt".
std::string qxi_listing_path(const std::string& output_path);
// The branch of the writer driver for targets 10 and 11. Target 11 needs the listing stream
// ("open txt" without one). Without `records` nothing is written: the records were made
// when the downgrade step said what they lose. Returns 0 with the ErrorText set.
int write_qxi_target(Run& run, const Song& song, const TargetSong& t, FILE* out, FILE* listing,
                     bool records = true);
