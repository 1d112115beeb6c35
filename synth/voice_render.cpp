// qxVoice renderer: one 200-frame stereo cycle of each voice's wave (polyline or harmonic
// sum), scaled by the voice volume and panned. Envelope, tuning and key play no part.
#include "synth/voice_render.h"

#include <algorithm>
#include <cmath>
#include <new>

#include "project/project.h"

namespace {

constexpr double PI = 3.141592653589793;
constexpr int32_t CYCLE_FRAMES = 200;

int32_t point_count(const Voice& v) {
  return static_cast<int32_t>(
      std::min(static_cast<size_t>(std::max(v.point_num, 0)), v.points.size()));
}

double oscillator_level(const Voice& v, int32_t frame) {
  const int32_t n = point_count(v);
  double sum = 0.0;
  for (int32_t k = 0; k < n; ++k) {
    const Point& pt = v.points[static_cast<size_t>(k)];
    if (pt.x == 0) continue;  // harmonic 0 has no pitch (and would divide by 0)
    const double h = static_cast<double>(pt.x);
    sum += std::sin(h * 2.0 * PI * frame / 200.0) * pt.y / h * 0.0078125;
  }
  return v.volume * sum * 0.0078125;
}

int16_t channel_sample(int32_t gain, double level) {
  double f = gain * level * 0.015625;
  if (!(f == f)) return 0;
  f = std::clamp(f, -1.0, 1.0);
  return static_cast<int16_t>(f * 32767.0);
}

}  // namespace

double coordinate_level(const Point* points, int32_t point_num, int32_t resolution, int32_t volume,
                        int32_t period, int32_t frame) {
  // A wave without points, or without a period, is silent.
  if (!points || point_num <= 0 || period <= 0) return 0.0;
  const int64_t x = static_cast<int64_t>(frame) * resolution / period;
  int32_t i = 0;
  while (i < point_num && points[i].x <= x) ++i;
  double value;
  if (i == 0) {
    value = points[0].y;
  } else {
    const Point& p0 = points[i - 1];
    // Past the last point the wave closes on itself at the period's end.
    const int64_t x1 = i == point_num ? resolution : points[i].x;
    const int32_t y1 = i == point_num ? points[0].y : points[i].y;
    if (x == p0.x || x1 <= p0.x) {
      value = p0.y;
    } else {
      value = static_cast<double>(static_cast<int64_t>(y1) - p0.y) * static_cast<double>(x - p0.x) /
                  static_cast<double>(x1 - p0.x) +
              p0.y;
    }
  }
  return volume * value * 0.0078125 * 0.0078125;
}

Woice* qxvoice_render(Woice& woice) {
  const size_t voice_num =
      std::min(static_cast<size_t>(std::max(woice.voice_num, 0)), woice.voices.size());
  try {
    if (woice.instances.size() < voice_num) woice.instances.resize(voice_num);
    for (size_t i = 0; i < voice_num; ++i) {
      const Voice& v = woice.voices[i];
      if (v.wave_type != WAVE_COORDINATE && v.wave_type != WAVE_OSCILLATOR) continue;
      VoiceInstance& inst = woice.instances[i];
      inst.samples.assign(static_cast<size_t>(CYCLE_FRAMES) * 2, 0);
      inst.body_num = CYCLE_FRAMES;

      int32_t gain_left = 64;
      int32_t gain_right = 64;
      if (v.pan <= 64) {
        gain_right = v.pan;
      } else {
        gain_left = static_cast<int32_t>(128 - static_cast<int64_t>(v.pan));
      }
      const int32_t n = point_count(v);
      for (int32_t j = 0; j < CYCLE_FRAMES; ++j) {
        const double level =
            v.wave_type == WAVE_OSCILLATOR
                ? oscillator_level(v, j)
                : coordinate_level(v.points.data(), n, v.resolution, v.volume, CYCLE_FRAMES, j);
        inst.samples[static_cast<size_t>(j) * 2] = channel_sample(gain_left, level);
        inst.samples[static_cast<size_t>(j) * 2 + 1] = channel_sample(gain_right, level);
      }
    }
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  return &woice;
}
