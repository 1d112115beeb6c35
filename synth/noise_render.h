// Renders a qxNoise design to 44100 Hz stereo 16-bit PCM, bit-exact on every run.
#pragma once

#include <cstdint>
#include <vector>

#include "project/project.h"

constexpr int32_t NOISE_SAMPLE_NUM_MAX = 480000;
constexpr int32_t RANDOM_TABLE_LENGTH = 44100;
constexpr int32_t NOISE_TABLE_LENGTH = 441;  // one period; one entry per sample plays 100 Hz

// The waveform tables of one render: 441 entries each, "random" (4) RANDOM_TABLE_LENGTH
// entries, "random2" (8) none.
struct NoiseTables {
  std::vector<int16_t> wave[NOISE_WAVEFORM_NUM];
};

// Returns 0 when a table cannot be allocated (the tables are then left empty).
int noise_build_tables(NoiseTables& tables);
// The fixed-seed random table; returns 0 when it cannot be allocated.
int noise_build_random_table(std::vector<int16_t>& table);

void noise_clamp_design(NoiseDesign& design);
// On success `pcm` holds sample_num frames, left then right (sample_num * 4 bytes).
// Renders a clamped copy of the design (noise_clamp_design): the design itself is left as it is.
int qxnoise_render(const Run& run, const NoiseDesign& design, std::vector<int16_t>& pcm);
