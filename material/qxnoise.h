// qxNoise material bodies ("QXNOISE-"): reading, writing in the old or new layout with the
// waveform downgrade, releasing, and the size figure the conversion lines print.
#pragma once

#include <cstdint>
#include <cstdio>

#include "project/project.h"

struct ByteSource;

constexpr uint32_t QXNOISE_VERSION_OLD = 20051028;
constexpr uint32_t QXNOISE_VERSION_NEW = 20120418;

constexpr uint32_t NOISE_ENVELOPE = 4;
constexpr uint32_t NOISE_PAN = 8;
constexpr uint32_t NOISE_OSC_MAIN = 16;
constexpr uint32_t NOISE_OSC_FREQ = 32;
constexpr uint32_t NOISE_OSC_VOLU = 64;

extern const char* const NOISE_WAVEFORM_NAMES[NOISE_WAVEFORM_NUM];

int qxnoise_read(ByteSource& source, NoiseDesign& design, int* unsupported);
int qxnoise_read_osc(ByteSource& source, NoiseOsc& osc);
// *counter (when given) receives its previous value plus the body's length. Waveforms are
// written as the design holds them: for the old layout, qxnoise_downgrade_waveforms first.
int qxnoise_write(FILE* sink, int32_t* counter, const NoiseDesign& design, int old);
// Replaces the waveforms the old layout lacks by their nearest old ones, with a line for
// each. Returns 0 when the design's unit count is beyond its units.
int qxnoise_downgrade_waveforms(Run& run, NoiseDesign& design, const char* woice_name);
int qxnoise_write_osc(FILE* sink, const NoiseOsc& osc, int32_t* counter);
void qxnoise_free(NoiseDesign& design);
int32_t qxnoise_body_size(const NoiseDesign& design);
