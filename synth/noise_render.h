// Renders a qxNoise design to 44100 Hz stereo 16-bit PCM, bit-exact on every run.
#pragma once

#include <cstdint>
#include <vector>

struct NoiseDesign;
struct Project;

constexpr int32_t NOISE_SAMPLE_NUM_MAX = 480000;
constexpr int32_t RANDOM_TABLE_LENGTH = 44100;

void noise_clamp_design(NoiseDesign& design);
// On success `pcm` holds sample_num frames, left then right (sample_num * 4 bytes).
int qxnoise_render(const Project& p, NoiseDesign& design, std::vector<int16_t>& pcm);
