// Project tables: creation, clearing, release, slot searches and the ErrorText.
#include "project/project.h"

#include <cstdarg>
#include <cstring>
#include <new>

namespace {

template <typename T>
bool try_assign(std::vector<T>& v, size_t n) {
  try {
    v.clear();
    v.resize(n);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

std::string vformat(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  int n = vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (n <= 0) return std::string();
  std::string out(static_cast<size_t>(n) + 1, '\0');
  vsnprintf(out.data(), out.size(), format, args);
  out.resize(static_cast<size_t>(n));
  return out;
}

}  // namespace

int project_create_tables(Project& p, const char** failure_text) {
  const char* failed = nullptr;
  if (!try_assign(p.woices, PROJECT_WOICE_CAPACITY)) {
    failed = "Init woices";
  } else {
    p.woice_max = PROJECT_WOICE_CAPACITY;
    if (!try_assign(p.units, PROJECT_UNIT_CAPACITY)) {
      failed = "Init units";
    } else {
      p.unit_max = PROJECT_UNIT_CAPACITY;
      if (!try_assign(p.delays, PROJECT_DELAY_CAPACITY)) {
        failed = "Init delay";
      } else {
        p.delay_max = PROJECT_DELAY_CAPACITY;
        if (!try_assign(p.overdrives, PROJECT_OVERDRIVE_CAPACITY)) {
          failed = "Init overdrive";
        } else {
          p.overdrive_max = PROJECT_OVERDRIVE_CAPACITY;
        }
      }
    }
  }
  if (failed) {
    if (failure_text) *failure_text = failed;
    return 0;
  }
  return 1;
}

void project_clear(Project& p) {
  p.instrument = false;
  p.name_text.reset();
  p.comment_text.reset();
  units_clear(p);
  // The list is emptied; the records taken stay taken until events_clear.
  events_changed(p);
  p.events.clear();
  p.event_puts.clear();
  woices_clear(p);
  delays_clear(p);
  for (Overdrive& o : p.overdrives) {
    if (o.in_use) o = Overdrive{};
  }
  p.beat_num = 4;
  p.beat_tempo = 120.0f;
  p.beat_clock = 480;
  p.meas_num = 1;
  p.repeat_meas = 0;
  p.last_meas = 0;
}

void project_release(Project& p) {
  p.freq_table.clear();
  p.freq_table.shrink_to_fit();
  p.overdrives.clear();
  p.overdrives.shrink_to_fit();
  p.overdrive_max = 0;
  delays_clear(p);
  p.delays.clear();
  p.delays.shrink_to_fit();
  p.delay_max = 0;
  units_release(p);
  events_release(p);
  woices_clear(p);
  p.woices.clear();
  p.woices.shrink_to_fit();
  p.woice_max = 0;
}

void build_freq_table(Project& p) {
  // The 192nd root of 2, found digit by digit so that it is the same on every machine.
  double r = 1.0;
  double place = 1.0;
  for (int d = 0; d < 17; ++d) {
    int best = 0;
    for (int digit = 1; digit <= 9; ++digit) {
      double candidate = r + place * digit;
      double power = 1.0;
      for (int k = 0; k < 192; ++k) power *= candidate;
      if (power < 2.0) best = digit;
    }
    r += place * best;
    place /= 10.0;
  }
  if (!try_assign(p.freq_table, FREQ_TABLE_SIZE)) {
    p.freq_table.clear();
    return;
  }
  for (int i = 0; i < FREQ_TABLE_SIZE; ++i) {
    int octave = i / 192 - 8;
    double v =
        octave >= 0 ? static_cast<double>(1 << octave) : 1.0 / static_cast<double>(1 << -octave);
    for (int k = 0; k < i % 192; ++k) v *= r;
    p.freq_table[static_cast<size_t>(i)] = static_cast<float>(v);
  }
}

void set_error_text(Run& run, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = vformat(format, args);
  va_end(args);
  if (text.size() > ERROR_TEXT_SIZE - 1) text.resize(ERROR_TEXT_SIZE - 1);
  std::memset(run.error_text, 0, sizeof run.error_text);
  std::memcpy(run.error_text, text.data(), text.size());
}

void record_loss(Run& run, LossKind kind, const char* what, int64_t count) {
  record_loss_of(run, kind, what, -1, std::nullopt, count);
}

void record_change(Run& run, const char* what, double from, double to) {
  LossRecord r;
  r.kind = LOSS_CLAMP;
  r.what = what;
  r.from = from;
  r.to = to;
  run.losses.push_back(std::move(r));
}

void record_loss_of(Run& run, LossKind kind, const char* what, int32_t index,
                    std::optional<std::string> name, int64_t count) {
  LossRecord r;
  r.kind = kind;
  r.what = what;
  r.count = count;
  r.index = index;
  r.name = std::move(name);
  run.losses.push_back(std::move(r));
}

void record_material(Run& run, const char* kind, int32_t woice, std::string name,
                     int64_t from_bytes, int64_t to_bytes) {
  LossRecord r;
  r.kind = LOSS_MATERIAL;
  r.what = kind;
  r.index = woice;
  r.name = std::move(name);
  r.from = static_cast<double>(from_bytes);
  r.to = static_cast<double>(to_bytes);
  run.losses.push_back(std::move(r));
}

void print_text(Run& run, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = vformat(format, args);
  va_end(args);
  if (run.console) {
    run.console(text);
  } else {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
  }
}

int units_allocate(Project& p, int32_t capacity) {
  units_release(p);
  if (capacity < 0 || !try_assign(p.units, static_cast<size_t>(capacity))) {
    p.units.clear();
    return 0;
  }
  p.unit_max = capacity;
  return 1;
}

void units_clear(Project& p) {
  for (auto& u : p.units) u.reset();
}

void units_release(Project& p) {
  units_clear(p);
  p.units.clear();
  p.units.shrink_to_fit();
  p.unit_max = 0;
}

int32_t unit_count(const Song& song) {
  int32_t n = 0;
  for (const auto& u : song.units) {
    if (u) ++n;
  }
  return n;
}

int unit_add(Project& p) {
  for (auto& slot : p.units) {
    if (!slot) {
      try {
        slot = std::make_unique<Unit>();
      } catch (const std::bad_alloc&) {
        return 0;
      }
      return 1;
    }
  }
  return 0;
}

Woice* woice_add(Project& p) {
  for (size_t i = 0; i < p.woices.size(); ++i) {
    if (!p.woices[i]) {
      try {
        p.woices[i] = std::make_unique<Woice>();
      } catch (const std::bad_alloc&) {
        return nullptr;
      }
      Woice* w = p.woices[i].get();
      std::snprintf(w->name, sizeof w->name, "voice_%02d", static_cast<int>(i));
      w->name_len = NAME_FIELD_SIZE;
      return w;
    }
  }
  return nullptr;
}

int woice_alloc_voices(Project& p, Woice& woice, int32_t n) {
  woice_free_voices(p, &woice);
  if (n < 0) return 0;
  try {
    woice.voices.resize(static_cast<size_t>(n));
    woice.instances.resize(static_cast<size_t>(n));
  } catch (const std::bad_alloc&) {
    woice_free_voices(p, &woice);
    return 0;
  }
  woice.voice_num = n;
  return 1;
}

int voice_init(Voice& voice, int32_t wave_type) {
  voice.basic_key = 0x4500;
  voice.volume = 128;
  voice.pan = 64;
  voice.tuning = 1.0f;
  voice.voice_flags = 2;
  voice.data_flags = 1;
  voice.wave_type = wave_type;
  try {
    voice.pcm = std::make_unique<PcmBuffer>();
    voice.noise = std::make_unique<NoiseDesign>();
    voice.ogg = std::make_unique<OggStream>();
  } catch (const std::bad_alloc&) {
    voice.pcm.reset();
    voice.noise.reset();
    voice.ogg.reset();
    return 0;
  }
  return 1;
}

void woice_free_voices(Project& p, Woice* woice) {
  if (!woice) return;
  for (Voice& v : woice->voices) {
    v.pcm.reset();
    v.noise.reset();
    if (p.ogg_codec.ogg_release) p.ogg_codec.ogg_release(v.ogg);
    v.ogg.reset();
  }
  woice->voices.clear();
  woice->voices.shrink_to_fit();
  woice->instances.clear();
  woice->instances.shrink_to_fit();
  woice->voice_num = 0;
}

int woice_remove(Project& p, int32_t index) {
  if (index < 0 || index >= p.woice_max || static_cast<size_t>(index) >= p.woices.size()) return 0;
  auto& slot = p.woices[static_cast<size_t>(index)];
  woice_free_voices(p, slot.get());
  slot.reset();
  return 1;
}

void woices_clear(Project& p) {
  for (int32_t i = 0; i < static_cast<int32_t>(p.woices.size()); ++i) woice_remove(p, i);
}

void delays_clear(Project& p) {
  for (Delay& d : p.delays) {
    if (d.in_use) d = Delay{};
  }
}

int32_t overdrive_add(Project& p, int32_t group, float cut, float amp) {
  for (size_t i = 0; i < p.overdrives.size(); ++i) {
    Overdrive& o = p.overdrives[i];
    if (!o.in_use) {
      o.in_use = 1;
      o.group = group >= p.group_max ? 0 : group;
      o.cut = cut;
      o.amp = amp;
      return static_cast<int32_t>(i);
    }
  }
  return -1;
}

std::unique_ptr<Woice> woice_clone(const Woice& woice) {
  auto copy = std::make_unique<Woice>();
  copy->voice_num = woice.voice_num;
  std::memcpy(copy->name, woice.name, sizeof copy->name);
  copy->name_len = woice.name_len;
  copy->type = woice.type;
  copy->instances = woice.instances;
  copy->x3x_tuning = woice.x3x_tuning;
  copy->x3x_basic_key = woice.x3x_basic_key;
  copy->voices.resize(woice.voices.size());
  for (size_t i = 0; i < woice.voices.size(); ++i) {
    const Voice& v = woice.voices[i];
    Voice& c = copy->voices[i];
    c.basic_key = v.basic_key;
    c.volume = v.volume;
    c.pan = v.pan;
    c.tuning = v.tuning;
    c.voice_flags = v.voice_flags;
    c.data_flags = v.data_flags;
    c.wave_type = v.wave_type;
    if (v.pcm) c.pcm = std::make_unique<PcmBuffer>(*v.pcm);
    if (v.noise) c.noise = std::make_unique<NoiseDesign>(*v.noise);
    if (v.ogg) c.ogg = std::make_unique<OggStream>(*v.ogg);
    c.point_num = v.point_num;
    c.resolution = v.resolution;
    c.points = v.points;
    c.env_fps = v.env_fps;
    c.env_head_num = v.env_head_num;
    c.env_body_num = v.env_body_num;
    c.env_tail_num = v.env_tail_num;
    c.env_points = v.env_points;
  }
  return copy;
}

int32_t leading_woice_count(const Song& song) {
  int32_t n = 0;
  while (static_cast<size_t>(n) < song.woices.size() && song.woices[static_cast<size_t>(n)]) ++n;
  return n;
}

std::string name_field_text(const char (&name)[NAME_FIELD_SIZE]) {
  size_t n = 0;
  while (n < NAME_FIELD_SIZE && name[n] != '\0') ++n;
  return std::string(name, n);
}
