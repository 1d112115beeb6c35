// qxNoise bodies. Not built yet: every operation fails.
#include "material/qxnoise.h"

#include "project/project.h"

const char* const NOISE_WAVEFORM_NAMES[NOISE_WAVEFORM_NUM] = {
    "none", "sine",  "saw",   "rect",   "random", "saw2", "rect2", "tri", "random2",
    "rect3", "rect4", "rect8", "rect16", "saw3",   "saw4", "saw6",  "saw8"};

int qxnoise_read(ByteSource&, NoiseDesign&, int*) { return 0; }
int qxnoise_read_osc(ByteSource&, NoiseOsc&) { return 0; }
int qxnoise_write(Project&, FILE*, int32_t*, NoiseDesign&, int, const char*) { return 0; }
int qxnoise_write_osc(FILE*, const NoiseOsc&, int32_t*) { return 0; }
void qxnoise_free(NoiseDesign& design) { design = NoiseDesign{}; }
int32_t qxnoise_body_size(const NoiseDesign&) { return 0; }
