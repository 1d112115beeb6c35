// Coordinate-to-oscillator conversion. Not built yet: the conversion fails.
#include "synth/wave_convert.h"

int coordinate_to_oscillator(Project&, Voice&, const char*, int) {
  return 0;
}
