// Builders of qxNoise designs for the renderer tests and the render benchmark.
#pragma once

#include <utility>
#include <vector>

#include "project/project.h"

namespace noise_designs {

inline NoiseOsc osc(int32_t waveform, float freq, float volume, float offset = 0.0f,
                    int32_t reverse = 0) {
  NoiseOsc o;
  o.waveform = waveform;
  o.freq = freq;
  o.volume = volume;
  o.offset = offset;
  o.reverse = reverse;
  return o;
}

inline NoiseUnit unit(std::vector<NoisePoint> env, int32_t pan, NoiseOsc main, NoiseOsc freq = {},
                      NoiseOsc volu = {}) {
  NoiseUnit u;
  u.enabled = 1;
  u.env_num = static_cast<int32_t>(env.size());
  u.env_points = std::move(env);
  u.pan = pan;
  u.osc_main = main;
  u.osc_freq = freq;
  u.osc_volu = volu;
  return u;
}

inline NoiseDesign design(std::vector<NoiseUnit> units, int32_t frames) {
  NoiseDesign d;
  d.sample_num = frames;
  d.unit_num = static_cast<int32_t>(units.size());
  d.units = std::move(units);
  return d;
}

}  // namespace noise_designs
