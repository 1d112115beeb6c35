// qxVoice renderer. Not built yet: rendering fails.
#include "synth/voice_render.h"

#include "project/project.h"

Woice* qxvoice_render(Woice&) { return nullptr; }
double coordinate_level(const Point*, int32_t, int32_t, int32_t, int32_t, int32_t) { return 0.0; }
