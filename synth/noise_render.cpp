// qxNoise renderer: up to four units, each a table oscillator shaped by an envelope, panned
// and modulated in frequency and volume by two more oscillators, summed and clipped.
// Every step keeps a fixed order in double precision so the output is the same bit for bit.
#include "synth/noise_render.h"

#include <algorithm>
#include <cmath>
#include <memory>
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
  double signed_gain = 0.0;        // gain, negated when the oscillator is reversed
  const int16_t* table = nullptr;  // NOISE_TABLE_LENGTH entries for mode 0
  int32_t reverse = 0;
  int32_t mode = 0;     // 1 gliding random, 2 held random, 0 table
  bool silent = false;  // mode 0 on the "none" table
  int32_t random_level = 0;
  int32_t random_step = 0;
  int32_t random_position = 0;
};

struct NoiseEnvPoint {
  int32_t length = 0;  // samples
  double level = 0.0;
};

struct NoiseEnvState {
  const NoiseEnvPoint* points = nullptr;
  int32_t num = 0;
  int32_t index = 0;
  int32_t counter = 0;
  double start = 0.0;
  double delta = 0.0;
};

struct NoiseUnitState {
  int32_t enabled = 0;
  double gain_left = 1.0;
  double gain_right = 1.0;
  std::vector<NoiseEnvPoint> env_points;
  NoiseEnvState env;
  NoiseOscState main;
  NoiseOscState freq;
  NoiseOscState volu;
  // Output at each table position of table oscillators, and the frequency factor at each
  // position of a table freq oscillator: the same products, computed once per render.
  double main_values[NOISE_TABLE_LENGTH] = {};
  double volu_values[NOISE_TABLE_LENGTH] = {};
  double freq_factors[NOISE_TABLE_LENGTH] = {};
};

// No file can hold a non-finite frequency or volume; a hand-made design that does would turn
// every later value into NaN, so such a value counts as 0.
double finite_or_zero(double x) {
  return std::isfinite(x) ? x : 0.0;
}

void noise_osc_init(NoiseOscState& s, const NoiseOsc& osc, const NoiseTables& tables) {
  int32_t waveform = osc.waveform;
  // Outside the table (negative, or a disabled unit that was never clamped) plays "none".
  if (waveform < 0 || waveform >= NOISE_WAVEFORM_NUM) waveform = 0;
  s.mode = waveform == WAVE_RANDOM ? 1 : waveform == WAVE_RANDOM2 ? 2 : 0;
  // Entries per sample: 441 entries at 100 Hz, scaled by the tables' rate over the output's.
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
  s.signed_gain = s.reverse ? -s.gain : s.gain;
  s.silent = s.mode == 0 && waveform == 0;
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

// What an oscillator contributes, fixed for the whole render so that the block loops below
// carry no per-sample test of it.
enum OscKind { KIND_TABLE, KIND_GLIDE, KIND_HOLD, KIND_SILENT };

OscKind osc_kind(const NoiseOscState& s) {
  if (s.mode == 1) return KIND_GLIDE;
  if (s.mode == 2) return KIND_HOLD;
  // The "none" table is all zeros: its value is 0 whatever the phase.
  return s.silent ? KIND_SILENT : KIND_TABLE;
}

// A phase leaves 0..441 only through a negative step. When no step of a unit can be negative
// (FORWARD), its integer part is the table position and the tests below fall away.
template <bool FORWARD>
inline int32_t sound_position(double phase) {
  if constexpr (FORWARD) return static_cast<int32_t>(phase);
  return phase_position(phase);
}

// The modulators read position 0 for a phase below 0.
template <bool FORWARD>
inline int32_t modulator_position(double phase) {
  if constexpr (FORWARD) return static_cast<int32_t>(phase);
  return std::max(phase_position(phase), 0);
}

// The sounding oscillator is silent while its phase is below 0.
template <int KIND, bool FORWARD>
inline int32_t main_value(const NoiseOscState& s) {
  if constexpr (KIND == KIND_GLIDE) {
    return FORWARD || s.phase >= 0.0 ? random_glide(s, sound_position<FORWARD>(s.phase)) : 0;
  } else if constexpr (KIND == KIND_HOLD) {
    return FORWARD || s.phase >= 0.0 ? s.random_level : 0;
  } else {
    const int32_t position = sound_position<FORWARD>(s.phase);
    return position >= 0 ? s.table[position] : 0;
  }
}

template <int KIND, bool FORWARD>
inline int32_t modulator_value(const NoiseOscState& s) {
  if constexpr (KIND == KIND_GLIDE) {
    return random_glide(s, modulator_position<FORWARD>(s.phase));
  } else if constexpr (KIND == KIND_HOLD) {
    return s.random_level;
  } else {
    return s.table[modulator_position<FORWARD>(s.phase)];
  }
}

// Value times gain, negated when reversed. The negation is folded into the gain's sign,
// which gives the same product (at most the sign of a zero differs, which no later step
// can see).
inline double osc_output(const NoiseOscState& s, int32_t value) {
  return static_cast<double>(value) * s.signed_gain;
}

// Returns true at a wrap, where a random oscillator takes its next level.
template <int KIND>
inline bool osc_advance(NoiseOscState& s, double step, const int16_t* random) {
  s.phase += step;
  if (s.phase < 441.0) return false;
  s.phase -= 441.0;
  if (s.phase >= 441.0) s.phase = 0.0;
  if constexpr (KIND == KIND_GLIDE || KIND == KIND_HOLD) {
    s.random_level = random[s.random_position];
    if (++s.random_position >= RANDOM_TABLE_LENGTH) s.random_position = 0;
    s.random_step = random[s.random_position] - s.random_level;
  }
  return true;
}

// Index into the frequency table for a freq oscillator output, limited to the table.
inline int32_t freq_index(double value) {
  if (value >= 1.0e9) return FREQ_TABLE_SIZE - 1;
  if (!(value > -1.0e9)) return 0;
  return std::clamp((static_cast<int32_t>(value) + 24576) / 16, 0, FREQ_TABLE_SIZE - 1);
}

// Takes every zero-length point at the index at once; stops at one with a length.
inline void env_settle(NoiseEnvState& e) {
  while (e.index < e.num) {
    const NoiseEnvPoint& pt = e.points[e.index];
    e.delta = pt.level - e.start;
    if (pt.length != 0) break;
    e.start = pt.level;
    ++e.index;
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
  s.env_points.resize(env_num);
  for (size_t i = 0; i < env_num; ++i) {
    const int64_t length = static_cast<int64_t>(unit.env_points[i].time) * 44100 / 1000;
    // A negative duration has no meaning; the point takes effect at once.
    s.env_points[i].length = length > 0 ? static_cast<int32_t>(length) : 0;
    s.env_points[i].level = unit.env_points[i].level / 100.0;
  }
  s.env = NoiseEnvState{};
  s.env.points = s.env_points.data();
  s.env.num = static_cast<int32_t>(env_num);
  env_settle(s.env);

  noise_osc_init(s.main, unit.osc_main, tables);
  noise_osc_init(s.freq, unit.osc_freq, tables);
  noise_osc_init(s.volu, unit.osc_volu, tables);
}

constexpr int32_t BLOCK_FRAMES = 256;

struct RenderShared {
  const int16_t* random = nullptr;
  const float* freq_table = nullptr;  // nullptr: absent, every factor is 0
  double silent_factor = 0.0;         // factor of a freq oscillator that gives 0
};

// Frequency factor for a freq oscillator value (table values already scaled to +-12800).
inline double freq_factor(const NoiseOscState& s, int32_t value, const RenderShared& r) {
  return static_cast<double>(r.freq_table[freq_index(osc_output(s, value))]);
}

void noise_unit_prepare(NoiseUnitState& u, const RenderShared& r) {
  for (int32_t i = 0; i < NOISE_TABLE_LENGTH; ++i) {
    if (u.main.table) u.main_values[i] = osc_output(u.main, u.main.table[i]);
    if (u.volu.table) u.volu_values[i] = osc_output(u.volu, u.volu.table[i]);
    if (u.freq.table && r.freq_table) {
      u.freq_factors[i] = freq_factor(u.freq, u.freq.table[i] * 12800 / 32767, r);
    }
  }
}

// Per-frame values of one unit over a block, between the stepping and the mixing passes.
struct UnitBlockValues {
  double main[BLOCK_FRAMES];
  double volu[BLOCK_FRAMES];
  double level[BLOCK_FRAMES];
};

// Envelope levels of `frames` frames, a segment at a time.
void env_block(NoiseEnvState& env, int32_t frames, double* level) {
  int32_t k = 0;
  while (k < frames) {
    if (env.index >= env.num) {
      std::fill(level + k, level + frames, env.start);
      return;
    }
    const NoiseEnvPoint& pt = env.points[env.index];
    const int32_t run = std::min(frames - k, pt.length - env.counter);
    const double start = env.start;
    const double delta = env.delta;
    const int32_t counter = env.counter;
    const int32_t length = pt.length;
    for (int32_t i = 0; i < run; ++i) {
      level[k + i] = start + static_cast<double>(counter + i) * delta / length;
    }
    k += run;
    env.counter += run;
    if (env.counter >= length) {
      env.counter = 0;
      env.start = pt.level;
      env.delta = 0.0;
      ++env.index;
      env_settle(env);
    }
  }
}

// Adds one unit's left and right contributions of `frames` frames to `acc` (interleaved).
// Units are independent, so rendering them one after the other over a block and adding in
// unit order gives exactly the sums of a frame-by-frame render. The oscillators are stepped
// first; the envelope, the divisions and the mixing then run over whole arrays.
template <int MAIN, int FREQ, int VOLU, bool FORWARD>
void unit_block(NoiseUnitState& u, const RenderShared& r, int32_t frames, double* acc,
                UnitBlockValues& b) {
  NoiseOscState main = u.main;
  NoiseOscState freq = u.freq;
  NoiseOscState volu = u.volu;
  // A held random level gives the same factor until its next wrap.
  double held_factor = 0.0;
  if constexpr (FREQ == KIND_HOLD) held_factor = freq_factor(freq, freq.random_level, r);
  for (int32_t k = 0; k < frames; ++k) {
    if constexpr (MAIN == KIND_TABLE) {
      const int32_t position = sound_position<FORWARD>(main.phase);
      b.main[k] = FORWARD || position >= 0 ? u.main_values[position] : 0.0;
    } else {
      b.main[k] = osc_output(main, main_value<MAIN, FORWARD>(main));
    }
    if constexpr (VOLU == KIND_TABLE) {
      b.volu[k] = u.volu_values[modulator_position<FORWARD>(volu.phase)];
    } else if constexpr (VOLU != KIND_SILENT) {
      b.volu[k] = osc_output(volu, modulator_value<VOLU, FORWARD>(volu));
    }

    double factor = r.silent_factor;
    if constexpr (FREQ == KIND_TABLE) {
      factor = u.freq_factors[modulator_position<FORWARD>(freq.phase)];
    } else if constexpr (FREQ == KIND_HOLD) {
      factor = held_factor;
    } else if constexpr (FREQ == KIND_GLIDE) {
      factor = freq_factor(freq, modulator_value<FREQ, FORWARD>(freq), r);
    }
    osc_advance<MAIN>(main, factor * main.increment, r.random);
    if constexpr (FREQ != KIND_SILENT) {
      if (osc_advance<FREQ>(freq, freq.increment, r.random) && FREQ == KIND_HOLD) {
        held_factor = freq_factor(freq, freq.random_level, r);
      }
    }
    if constexpr (VOLU != KIND_SILENT) osc_advance<VOLU>(volu, volu.increment, r.random);
  }
  u.main = main;
  u.freq = freq;
  u.volu = volu;
  env_block(u.env, frames, b.level);

  const double gain_left = u.gain_left;
  const double gain_right = u.gain_right;
  for (int32_t k = 0; k < frames; ++k) {
    const double v = VOLU == KIND_SILENT ? 0.0 : b.volu[k];
    const double sample = (v + 32767.0) * b.main[k] / 65534.0;
    acc[2 * k] += b.level[k] * (sample * gain_left);
    acc[2 * k + 1] += b.level[k] * (sample * gain_right);
  }
}

using UnitBlockFn = void (*)(NoiseUnitState&, const RenderShared&, int32_t, double*,
                             UnitBlockValues&);

template <bool FORWARD, int MAIN, int FREQ>
UnitBlockFn pick_volu(OscKind volu) {
  switch (volu) {
    case KIND_TABLE:
      return &unit_block<MAIN, FREQ, KIND_TABLE, FORWARD>;
    case KIND_GLIDE:
      return &unit_block<MAIN, FREQ, KIND_GLIDE, FORWARD>;
    case KIND_HOLD:
      return &unit_block<MAIN, FREQ, KIND_HOLD, FORWARD>;
    default:
      return &unit_block<MAIN, FREQ, KIND_SILENT, FORWARD>;
  }
}

template <bool FORWARD, int MAIN>
UnitBlockFn pick_freq(OscKind freq, OscKind volu) {
  switch (freq) {
    case KIND_TABLE:
      return pick_volu<FORWARD, MAIN, KIND_TABLE>(volu);
    case KIND_GLIDE:
      return pick_volu<FORWARD, MAIN, KIND_GLIDE>(volu);
    case KIND_HOLD:
      return pick_volu<FORWARD, MAIN, KIND_HOLD>(volu);
    default:
      return pick_volu<FORWARD, MAIN, KIND_SILENT>(volu);
  }
}

template <bool FORWARD>
UnitBlockFn pick_main(OscKind main, OscKind freq, OscKind volu) {
  switch (main) {
    case KIND_TABLE:
      return pick_freq<FORWARD, KIND_TABLE>(freq, volu);
    case KIND_GLIDE:
      return pick_freq<FORWARD, KIND_GLIDE>(freq, volu);
    case KIND_HOLD:
      return pick_freq<FORWARD, KIND_HOLD>(freq, volu);
    default:
      return nullptr;
  }
}

// nullptr for a unit that adds nothing: a silent main oscillator makes every sample 0.
// `forward_factors`: every frequency factor is finite and not negative.
UnitBlockFn pick_unit_block(const NoiseUnitState& u, bool has_freq_table, bool forward_factors) {
  const OscKind main = osc_kind(u.main);
  const OscKind freq = has_freq_table ? osc_kind(u.freq) : KIND_SILENT;
  const OscKind volu = osc_kind(u.volu);
  const bool forward = forward_factors && u.main.increment >= 0.0 && u.freq.increment >= 0.0 &&
                       u.volu.increment >= 0.0;
  return forward ? pick_main<true>(main, freq, volu) : pick_main<false>(main, freq, volu);
}

// Integer part limited to -32767..32767 (limiting first gives the same result, and the
// branch-free form vectorises).
inline int16_t clip_sample(double sum) {
  double x = sum == sum ? sum : 0.0;
  x = x >= -32767.0 ? x : -32767.0;
  x = x <= 32767.0 ? x : 32767.0;
  return static_cast<int16_t>(static_cast<int32_t>(x));
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

int qxnoise_render(const Run& run, const NoiseDesign& source, std::vector<int16_t>& pcm) {
  try {
    NoiseDesign design = source;
    noise_clamp_design(design);
    NoiseTables tables;
    if (!noise_build_tables(tables)) return 0;
    const int32_t unit_num = unit_count(design);
    std::vector<NoiseUnitState> units(static_cast<size_t>(unit_num));
    std::vector<UnitBlockFn> blocks(static_cast<size_t>(unit_num), nullptr);
    const bool has_freq_table = run.freq_table.size() >= static_cast<size_t>(FREQ_TABLE_SIZE);
    bool forward_factors = true;
    for (int32_t i = 0; has_freq_table && i < FREQ_TABLE_SIZE; ++i) {
      const float f = run.freq_table[static_cast<size_t>(i)];
      if (!(std::isfinite(f) && f >= 0.0f)) forward_factors = false;
    }
    for (int32_t u = 0; u < unit_num; ++u) {
      const NoiseUnit& unit = design.units[static_cast<size_t>(u)];
      if (!unit.enabled) continue;
      noise_unit_init(units[static_cast<size_t>(u)], unit, tables);
      blocks[static_cast<size_t>(u)] =
          pick_unit_block(units[static_cast<size_t>(u)], has_freq_table, forward_factors);
    }
    RenderShared shared;
    shared.random = tables.wave[WAVE_RANDOM].data();
    if (has_freq_table) {
      shared.freq_table = run.freq_table.data();
      shared.silent_factor =
          static_cast<double>(run.freq_table[static_cast<size_t>(freq_index(0.0))]);
    }
    for (int32_t u = 0; u < unit_num; ++u) {
      if (blocks[static_cast<size_t>(u)]) noise_unit_prepare(units[static_cast<size_t>(u)], shared);
    }
    std::vector<double> acc(static_cast<size_t>(BLOCK_FRAMES) * 2);
    auto values = std::make_unique<UnitBlockValues>();

    std::vector<int16_t>().swap(pcm);
    const int32_t frames = design.sample_num;
    // A negative length (a damaged body) has no block to give: the conversion fails rather
    // than passing off an empty sound as the material.
    if (frames < 0) return 0;
    pcm.resize(static_cast<size_t>(frames) * 2);
    for (int32_t done = 0; done < frames; done += BLOCK_FRAMES) {
      const int32_t n = std::min(BLOCK_FRAMES, frames - done);
      std::fill(acc.begin(), acc.begin() + 2 * n, 0.0);
      for (int32_t u = 0; u < unit_num; ++u) {
        if (blocks[static_cast<size_t>(u)]) {
          blocks[static_cast<size_t>(u)](units[static_cast<size_t>(u)], shared, n, acc.data(),
                                         *values);
        }
      }
      int16_t* out = pcm.data() + static_cast<size_t>(done) * 2;
      for (int32_t k = 0; k < 2 * n; ++k) out[k] = clip_sample(acc[static_cast<size_t>(k)]);
    }
  } catch (const std::bad_alloc&) {
    std::vector<int16_t>().swap(pcm);
    return 0;
  }
  return 1;
}
