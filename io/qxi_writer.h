// Instrument-file writing: the song as three-byte step records for units 0 to 5, the
// warnings about what the format loses, and the optional plain-text listing.
#pragma once

#include <cstdio>
#include <string>

struct Project;

constexpr int QXI_BEAT_DIVIDE = 8;
constexpr int QXI_UNIT_NUM = 6;

// Writes the body; the listing may be absent. Returns 0 when the output is absent or a
// write to it falls short (writes to the listing are not tested).
int write_qxi(Project& p, FILE* out, FILE* listing);
// The listing of target 11 stands beside the output: its path with the extension ".txt".
std::string qxi_listing_path(const std::string& output_path);
// The branch of the writer driver for targets 10 and 11: the warnings and write_qxi.
// Target 11 needs the listing stream ("open txt" without one). Returns 0 with the
// ErrorText set.
int write_qxi_target(Project& p, FILE* out, FILE* listing, int target);
