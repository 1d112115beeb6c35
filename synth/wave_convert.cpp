// Coordinate-to-oscillator conversion: the polyline is sampled over one period and a
// discrete Fourier analysis gives the magnitude of harmonics 1 to 31. The arithmetic is
// single precision in a fixed order so that the amplitudes come out the same everywhere.
#include "synth/wave_convert.h"

#include <cmath>
#include <cstdint>
#include <new>
#include <vector>

#include "project/project.h"

namespace {

constexpr int HARMONIC_NUM = 31;
// Coordinates are bytes, so a longer period only stretches the same polyline; the cap
// keeps a damaged resolution from costing gigabytes and minutes of analysis.
constexpr int32_t RESOLUTION_MAX = 1 << 20;

void sample_polyline(const Voice& v, std::vector<float>& sample) {
  const int64_t n = v.resolution;
  const int64_t count = v.point_num;
  int64_t i = 0;
  for (int64_t j = 0; j < n; ++j) {
    while (i + 1 < count && v.points[static_cast<size_t>(i + 1)].x <= j) ++i;
    const Point& p0 = v.points[static_cast<size_t>(i)];
    const Point& p1 = v.points[static_cast<size_t>((i + 1) % count)];
    int64_t x0 = p0.x;
    int64_t x1 = p1.x;
    if (x1 <= x0) x1 += n;
    int64_t t = j - x0;
    if (j < x0) t += n;
    float value = static_cast<float>(p0.y);
    // Points out of order can make a segment of no width; it then holds its start level.
    if (x1 != x0) {
      value = static_cast<float>(t) / static_cast<float>(x1 - x0) *
                  static_cast<float>(static_cast<int64_t>(p1.y) - p0.y) +
              static_cast<float>(p0.y);
    }
    sample[static_cast<size_t>(j)] = value * 0.0078125f;
  }
}

int32_t harmonic_amplitude(const std::vector<float>& sample, int32_t n, int h) {
  const float w = static_cast<float>(h) * 6.2831855f;
  const float fn = static_cast<float>(n);
  float re = 0.0f;
  float im = 0.0f;
  for (int32_t k = 0; k < n; ++k) {
    float angle = static_cast<float>(k) * w / fn;
    double a = angle;
    re = static_cast<float>(std::cos(a) * sample[static_cast<size_t>(k)] + re);
    im = static_cast<float>(im - std::sin(a) * sample[static_cast<size_t>(k)]);
  }
  float a = static_cast<float>(re * (2.0 / n));
  float b = static_cast<float>(im * (2.0 / n));
  float sum = b * b + a * a;
  double m = std::sqrt(static_cast<double>(sum));
  double amplitude = std::round(m * h * 127.0);
  if (!(amplitude >= -128.0)) return amplitude != amplitude ? 0 : -128;
  if (amplitude > 128.0) return 128;
  return static_cast<int32_t>(amplitude);
}

}  // namespace

int coordinate_to_oscillator(Run& run, Voice& voice, const char* woice_name, int voice_index) {
  if (voice.resolution <= 0 || voice.resolution > RESOLUTION_MAX || voice.point_num <= 0 ||
      static_cast<size_t>(voice.point_num) > voice.points.size()) {
    return 0;
  }
  std::vector<float> sample;
  std::vector<Point> harmonics;
  try {
    sample.resize(static_cast<size_t>(voice.resolution));
    harmonics.resize(HARMONIC_NUM);
  } catch (const std::bad_alloc&) {
    return 0;
  }
  sample_polyline(voice, sample);
  for (int h = 1; h <= HARMONIC_NUM; ++h) {
    harmonics[static_cast<size_t>(h - 1)] =
        Point{h, harmonic_amplitude(sample, voice.resolution, h)};
  }
  voice.points = std::move(harmonics);
  voice.point_num = HARMONIC_NUM;
  voice.wave_type = WAVE_OSCILLATOR;
  record_loss_of(run, LOSS_CLAMP, "voice-waves", -1,
                 std::string(woice_name ? woice_name : "") + (voice_index == 0 ? "-A" : "-B"));
  print_text(run, "\n* converted qxVoice [%s-%s] wave from 'Coordinate' to 'Oscillator'",
             woice_name ? woice_name : "", voice_index == 0 ? "A" : "B");
  return 1;
}
