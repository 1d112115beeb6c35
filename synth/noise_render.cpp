// qxNoise renderer: up to four units, each a table oscillator shaped by an envelope, panned
// and modulated in frequency and volume by two more oscillators, summed and clipped.
// Every step keeps a fixed order in double precision so the output is the same bit for bit.
#include "synth/noise_render.h"

#include <algorithm>
#include <cmath>
#include <new>

#include "project/project.h"

namespace {

constexpr double PI = 3.141592653589793;
constexpr int32_t WAVE_RANDOM = 4;
constexpr int32_t WAVE_RANDOM2 = 8;
constexpr int32_t ENV_TIME_MAX = 10000;
constexpr int32_t ENV_LEVEL_MAX = 100;
constexpr float OSC_FREQ_MAX = 44100.0f;
constexpr float OSC_VOLUME_MAX = 200.0f;
constexpr float OSC_OFFSET_MAX = 100.0f;
constexpr double SAMPLE_RATE = 44100.0;

// The tables' amplitude: a full-scale double becomes the integer part of x * 32767.
int16_t full_scale(double x) {
  if (x > 1.0) x = 1.0;
  if (x < -1.0) x = -1.0;
  return static_cast<int16_t>(x * 32767.0);
}

void fill_steps(std::vector<int16_t>& t, std::initializer_list<std::pair<int, int16_t>> steps) {
  size_t i = 0;
  for (const auto& [count, value] : steps) {
    for (int k = 0; k < count; ++k) t[i++] = value;
  }
}

struct NoiseOscState {
  double increment = 0.0;
  double phase = 0.0;
  double gain = 0.0;
  const int16_t* table = nullptr;  // NOISE_TABLE_LENGTH entries for mode 0
  int32_t reverse = 0;
  int32_t mode = 0;  // 1 gliding random, 2 held random, 0 table
  int32_t random_level = 0;
  int32_t random_step = 0;
  int32_t random_position = 0;
};

struct NoiseEnvPoint {
  int32_t length = 0;  // samples
  double level = 0.0;
};

struct NoiseUnitState {
  int32_t enabled = 0;
  double gain_left = 1.0;
  double gain_right = 1.0;
  int32_t env_index = 0;
  int32_t env_counter = 0;
  double env_start = 0.0;
  double env_delta = 0.0;
  std::vector<NoiseEnvPoint> env;
  NoiseOscState main;
  NoiseOscState freq;
  NoiseOscState volu;
};

double finite_or_zero(double x) {
  return std::isfinite(x) ? x : 0.0;
}

void noise_osc_init(NoiseOscState& s, const NoiseOsc& osc, const NoiseTables& tables) {
  int32_t waveform = osc.waveform;
  // Outside the table (negative, or a disabled unit that was never clamped) plays "none".
  if (waveform < 0 || waveform >= NOISE_WAVEFORM_NUM) waveform = 0;
  s.mode = waveform == WAVE_RANDOM ? 1 : waveform == WAVE_RANDOM2 ? 2 : 0;
  s.increment = finite_or_zero(static_cast<double>(osc.freq) / 100.0 * (SAMPLE_RATE / SAMPLE_RATE));
  const float start = osc.offset / 100.0f;
  s.phase = 0.0;
  if (s.mode == 0) {
    // A start outside one period (negative offset, or exactly 100 %) starts at position 0.
    const double phase = static_cast<double>(start) * 441.0;
    if (phase >= 0.0 && phase < 441.0) s.phase = phase;
  }
  s.gain = finite_or_zero(static_cast<double>(osc.volume / 100.0f));
  s.table = s.mode == 0 ? tables.wave[waveform].data() : nullptr;
  s.reverse = osc.reverse;
  s.random_level = 0;
  const double position = static_cast<double>(start) * 44100.0;
  s.random_position =
      position > -1.0 && position < RANDOM_TABLE_LENGTH ? static_cast<int32_t>(position) : 0;
  s.random_step = tables.wave[WAVE_RANDOM][static_cast<size_t>(s.random_position)];
}

// Integer part of a phase as a table position, or -1 for a negative or unusable phase.
inline int32_t phase_position(double phase) {
  if (phase > -1.0 && phase < 441.0) return static_cast<int32_t>(phase);
  return -1;
}

inline int32_t random_glide(const NoiseOscState& s, int32_t position) {
  return s.random_level + position * s.random_step / 441;
}

// The sounding oscillator is silent while its phase is below 0.
inline int32_t main_value(const NoiseOscState& s) {
  switch (s.mode) {
    case 1:
      return s.phase >= 0.0 ? random_glide(s, phase_position(s.phase)) : 0;
    case 2:
      return s.phase >= 0.0 ? s.random_level : 0;
    default: {
      const int32_t position = phase_position(s.phase);
      return position >= 0 ? s.table[position] : 0;
    }
  }
}

// The modulators read position 0 for a phase below 0.
inline int32_t modulator_value(const NoiseOscState& s, bool freq) {
  const int32_t position = std::max(phase_position(s.phase), 0);
  switch (s.mode) {
    case 1:
      return random_glide(s, position);
    case 2:
      return s.random_level;
    default:
      return freq ? s.table[position] * 12800 / 32767 : s.table[position];
  }
}

inline double osc_output(const NoiseOscState& s, int32_t value) {
  return static_cast<double>(s.reverse ? -value : value) * s.gain;
}

inline void osc_advance(NoiseOscState& s, double step, const int16_t* random) {
  s.phase += step;
  if (s.phase >= 441.0) {
    s.phase -= 441.0;
    if (s.phase >= 441.0) s.phase = 0.0;
    if (s.mode != 0) {
      s.random_level = random[s.random_position];
      if (++s.random_position >= RANDOM_TABLE_LENGTH) s.random_position = 0;
      s.random_step = random[s.random_position] - s.random_level;
    }
  }
}

// Takes every zero-length point at the index at once; stops at one with a length.
void env_settle(NoiseUnitState& u) {
  const int32_t n = static_cast<int32_t>(u.env.size());
  while (u.env_index < n) {
    const NoiseEnvPoint& pt = u.env[static_cast<size_t>(u.env_index)];
    u.env_delta = pt.level - u.env_start;
    if (pt.length != 0) break;
    u.env_start = pt.level;
    ++u.env_index;
  }
}

inline double env_level(const NoiseUnitState& u) {
  if (u.env_index < static_cast<int32_t>(u.env.size())) {
    const NoiseEnvPoint& pt = u.env[static_cast<size_t>(u.env_index)];
    return u.env_start + static_cast<double>(u.env_counter) * u.env_delta / pt.length;
  }
  return u.env_start;
}

inline void env_advance(NoiseUnitState& u) {
  if (u.env_index >= static_cast<int32_t>(u.env.size())) return;
  const NoiseEnvPoint& pt = u.env[static_cast<size_t>(u.env_index)];
  if (++u.env_counter >= pt.length) {
    u.env_counter = 0;
    u.env_start = pt.level;
    u.env_delta = 0.0;
    ++u.env_index;
    env_settle(u);
  }
}

void noise_unit_init(NoiseUnitState& s, const NoiseUnit& unit, const NoiseTables& tables) {
  s.enabled = unit.enabled;
  const int32_t pan = unit.pan;
  s.gain_left = 1.0;
  s.gain_right = 1.0;
  if (pan < 0) s.gain_right = static_cast<double>(static_cast<float>(pan) + 100.0f) / 100.0;
  if (pan > 0) s.gain_left = static_cast<double>(100.0f - static_cast<float>(pan)) / 100.0;

  const size_t env_num =
      std::min(static_cast<size_t>(std::max(unit.env_num, 0)), unit.env_points.size());
  s.env.resize(env_num);
  for (size_t i = 0; i < env_num; ++i) {
    const int64_t length = static_cast<int64_t>(unit.env_points[i].time) * 44100 / 1000;
    // A negative duration has no meaning; the point takes effect at once.
    s.env[i].length = length > 0 ? static_cast<int32_t>(length) : 0;
    s.env[i].level = unit.env_points[i].level / 100.0;
  }
  s.env_index = 0;
  s.env_counter = 0;
  s.env_start = 0.0;
  s.env_delta = 0.0;
  env_settle(s);

  noise_osc_init(s.main, unit.osc_main, tables);
  noise_osc_init(s.freq, unit.osc_freq, tables);
  noise_osc_init(s.volu, unit.osc_volu, tables);
}

inline int16_t clip_sample(double sum) {
  if (sum >= 32767.0) return 32767;
  if (sum <= -32767.0) return -32767;
  if (sum != sum) return 0;
  return static_cast<int16_t>(static_cast<int32_t>(sum));
}

void clamp_osc(NoiseOsc& osc) {
  if (osc.waveform >= NOISE_WAVEFORM_NUM) osc.waveform = 0;
  if (osc.freq > OSC_FREQ_MAX) osc.freq = OSC_FREQ_MAX;
  if (osc.volume > OSC_VOLUME_MAX) osc.volume = OSC_VOLUME_MAX;
  if (osc.offset > OSC_OFFSET_MAX) osc.offset = OSC_OFFSET_MAX;
}

int32_t unit_count(const NoiseDesign& d) {
  return static_cast<int32_t>(
      std::min(static_cast<size_t>(std::max(d.unit_num, 0)), d.units.size()));
}

}  // namespace

int noise_build_random_table(std::vector<int16_t>& table) {
  try {
    table.assign(static_cast<size_t>(RANDOM_TABLE_LENGTH), 0);
  } catch (const std::bad_alloc&) {
    table.clear();
    return 0;
  }
  uint16_t a = 0x4444;
  uint16_t b = 0x8888;
  for (int32_t i = 0; i < RANDOM_TABLE_LENGTH; ++i) {
    const uint16_t s = static_cast<uint16_t>(a + b);
    const uint16_t swapped = static_cast<uint16_t>((s << 8) | (s >> 8));
    table[static_cast<size_t>(i)] = static_cast<int16_t>(swapped);
    b = a;
    a = swapped;
  }
  return 1;
}

int noise_build_tables(NoiseTables& tables) {
  try {
    for (int w = 0; w < NOISE_WAVEFORM_NUM; ++w) {
      if (w == WAVE_RANDOM || w == WAVE_RANDOM2) continue;
      tables.wave[w].assign(static_cast<size_t>(NOISE_TABLE_LENGTH), 0);
    }
  } catch (const std::bad_alloc&) {
    for (auto& t : tables.wave) std::vector<int16_t>().swap(t);
    return 0;
  }
  if (!noise_build_random_table(tables.wave[WAVE_RANDOM])) {
    for (auto& t : tables.wave) std::vector<int16_t>().swap(t);
    return 0;
  }
  static constexpr int32_t TRI_X[4] = {0, 110, 330, 441};
  static constexpr int32_t TRI_Y[4] = {0, 128, -128, 0};
  int tri_point = 0;
  for (int32_t i = 0; i < NOISE_TABLE_LENGTH; ++i) {
    const size_t k = static_cast<size_t>(i);
    const double di = static_cast<double>(i);
    tables.wave[1][k] = full_scale(std::sin(di * 2.0 * PI / 441.0));
    tables.wave[2][k] = static_cast<int16_t>(32767.0 - di * 65534.0 / 441.0);
    tables.wave[3][k] = i < 220 ? 32767 : -32767;
    double saw2 = 0.0;
    for (int h = 1; h <= 16; ++h) {
      saw2 += std::sin(static_cast<double>(h) * 2.0 * PI * di / 441.0) * 128.0 / h / 128.0;
    }
    tables.wave[5][k] = full_scale(saw2);
    double rect2 = 0.0;
    for (int h = 1; h <= 15; h += 2) {
      rect2 += std::sin(static_cast<double>(h) * 2.0 * PI * di / 441.0) * 128.0 / h / 128.0;
    }
    tables.wave[6][k] = full_scale(rect2);
    while (tri_point < 2 && i >= TRI_X[tri_point + 1]) ++tri_point;
    const int32_t x0 = TRI_X[tri_point], y0 = TRI_Y[tri_point];
    const int32_t x1 = TRI_X[tri_point + 1], y1 = TRI_Y[tri_point + 1];
    const double y = i == x0 ? static_cast<double>(y0)
                             : y0 + static_cast<double>(y1 - y0) * (i - x0) / (x1 - x0);
    tables.wave[7][k] = full_scale(y / 128.0);
  }
  fill_steps(tables.wave[9], {{147, 32767}, {294, -32767}});
  fill_steps(tables.wave[10], {{110, 32767}, {331, -32767}});
  fill_steps(tables.wave[11], {{55, 32767}, {386, -32767}});
  fill_steps(tables.wave[12], {{27, 32767}, {414, -32767}});
  fill_steps(tables.wave[13], {{147, 32767}, {147, 0}, {147, -32767}});
  fill_steps(tables.wave[14], {{110, 32767}, {110, 10922}, {110, -10922}, {111, -32767}});
  fill_steps(tables.wave[15],
             {{73, 32767}, {74, 19661}, {73, 6553}, {74, -6553}, {73, -19661}, {74, -32767}});
  fill_steps(tables.wave[16], {{55, 32767},
                               {55, 23405},
                               {55, 14043},
                               {55, 4681},
                               {55, -4681},
                               {55, -14043},
                               {55, -23405},
                               {56, -32767}});
  return 1;
}

void noise_clamp_design(NoiseDesign& design) {
  if (design.sample_num > NOISE_SAMPLE_NUM_MAX) design.sample_num = NOISE_SAMPLE_NUM_MAX;
  // A negative length would label a PCM block of negative size; it renders nothing.
  if (design.sample_num < 0) design.sample_num = 0;
  const int32_t n = unit_count(design);
  for (int32_t u = 0; u < n; ++u) {
    NoiseUnit& unit = design.units[static_cast<size_t>(u)];
    if (!unit.enabled) continue;
    for (NoisePoint& pt : unit.env_points) {
      if (pt.time > ENV_TIME_MAX) pt.time = ENV_TIME_MAX;
      if (pt.level > ENV_LEVEL_MAX) pt.level = ENV_LEVEL_MAX;
    }
    unit.pan = std::clamp(unit.pan, -100, 100);
    clamp_osc(unit.osc_main);
    clamp_osc(unit.osc_freq);
    clamp_osc(unit.osc_volu);
  }
}

int qxnoise_render(const Project& p, NoiseDesign& design, std::vector<int16_t>& pcm) {
  noise_clamp_design(design);
  try {
    NoiseTables tables;
    if (!noise_build_tables(tables)) return 0;
    const int32_t unit_num = unit_count(design);
    std::vector<NoiseUnitState> units(static_cast<size_t>(unit_num));
    for (int32_t u = 0; u < unit_num; ++u) {
      const NoiseUnit& unit = design.units[static_cast<size_t>(u)];
      if (unit.enabled) noise_unit_init(units[static_cast<size_t>(u)], unit, tables);
    }
    std::vector<int16_t>().swap(pcm);
    const int32_t frames = design.sample_num;
    pcm.resize(static_cast<size_t>(frames) * 2);

    const int16_t* random = tables.wave[WAVE_RANDOM].data();
    const bool has_freq_table = p.freq_table.size() >= static_cast<size_t>(FREQ_TABLE_SIZE);
    for (int32_t f = 0; f < frames; ++f) {
      for (int ch = 0; ch < 2; ++ch) {
        double sum = 0.0;
        for (const NoiseUnitState& u : units) {
          if (!u.enabled) continue;
          const double main = osc_output(u.main, main_value(u.main));
          const double volu = osc_output(u.volu, modulator_value(u.volu, false));
          const double sample =
              (volu + 32767.0) * main / 65534.0 * (ch == 0 ? u.gain_left : u.gain_right);
          sum += env_level(u) * sample;
        }
        pcm[static_cast<size_t>(f) * 2 + static_cast<size_t>(ch)] = clip_sample(sum);
      }
      for (NoiseUnitState& u : units) {
        if (!u.enabled) continue;
        const double value = osc_output(u.freq, modulator_value(u.freq, true));
        int32_t index;
        if (value >= 1.0e9) {
          index = FREQ_TABLE_SIZE - 1;
        } else if (value > -1.0e9) {
          index = std::clamp((static_cast<int32_t>(value) + 24576) / 16, 0, FREQ_TABLE_SIZE - 1);
        } else {
          index = 0;
        }
        const double factor =
            has_freq_table ? static_cast<double>(p.freq_table[static_cast<size_t>(index)]) : 0.0;
        osc_advance(u.main, factor * u.main.increment, random);
        osc_advance(u.freq, u.freq.increment, random);
        osc_advance(u.volu, u.volu.increment, random);
        env_advance(u);
      }
    }
  } catch (const std::bad_alloc&) {
    std::vector<int16_t>().swap(pcm);
    return 0;
  }
  return 1;
}
