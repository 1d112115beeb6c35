// qxNoise renderer. Not built yet: rendering fails.
#include "synth/noise_render.h"

#include "project/project.h"

void noise_clamp_design(NoiseDesign&) {}
int qxnoise_render(const Project&, NoiseDesign&, std::vector<int16_t>&) { return 0; }
