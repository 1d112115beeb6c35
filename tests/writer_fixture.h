// Builders for the writer tests: a Project set up as the dialogue sets it up, woices of
// every kind added by hand, a scratch folder, and a write that captures the console.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "app/convert.h"
#include "app/output.h"
#include "io/writer.h"
#include "material/ogg.h"
#include "project/events.h"
#include "project/project.h"
#include "tests/song_parser.h"

namespace writer_fixture {

inline void project_setup(Project& p, int32_t event_capacity = 200) {
  const char* failed = nullptr;
  ASSERT_TRUE(project_prepare(p, &failed));
  ASSERT_TRUE(events_allocate(p, event_capacity));
}

inline void set_magic(Project& p, const char* magic16) {
  std::memcpy(p.file_magic, magic16, 16);
}

inline Unit& add_unit(Project& p, const char* name) {
  EXPECT_TRUE(unit_add(p));
  Unit* found = nullptr;
  for (auto& u : p.units) {
    if (u) found = u.get();
  }
  std::memset(found->name, 0, sizeof found->name);
  std::memcpy(found->name, name, std::min(std::strlen(name), sizeof found->name));
  found->name_len = NAME_FIELD_SIZE;
  return *found;
}

// A woice of `type` in the first free slot with `voices` voices, each set up by voice_init
// for `wave` when one is given (qxVoice voices are filled in by hand instead).
inline Woice& new_woice(Project& p, uint32_t type, int voices, int32_t wave = -1) {
  Woice* w = woice_add(p);
  EXPECT_NE(w, nullptr);
  EXPECT_TRUE(woice_alloc_voices(p, *w, voices));
  if (wave >= 0) {
    for (Voice& v : w->voices) EXPECT_TRUE(voice_init(v, wave));
  }
  w->type = type;
  return *w;
}

// Voice A's values that every material chunk header carries.
inline Voice& set_voice_a(Woice& w, int32_t basic_key, uint32_t voice_flags, float tuning) {
  Voice& v = w.voices[0];
  v.basic_key = basic_key;
  v.voice_flags = voice_flags;
  v.tuning = tuning;
  return v;
}

// A PCM woice of `frames` frames whose bytes count 0, 1, 2...
inline Woice& add_pcm_woice(Project& p, int channels = 2, int bits = 16, int rate = 44100,
                            int frames = 3) {
  Woice& w = new_woice(p, WOICE_PCM, 1, WAVE_PCM);
  PcmBuffer& pcm = *set_voice_a(w, 0x4800, 3, 1.25f).pcm;
  pcm.channels = channels;
  pcm.bits = bits;
  pcm.sample_rate = rate;
  pcm.sample_num = frames;
  pcm.samples.resize(static_cast<size_t>(frames * channels * bits / 8));
  for (size_t i = 0; i < pcm.samples.size(); ++i) pcm.samples[i] = static_cast<uint8_t>(i);
  return w;
}

// A qxVoice woice with `voices` oscillator voices (no envelope).
inline Woice& add_voice_woice(Project& p, int voices = 1) {
  Woice& w = new_woice(p, WOICE_QXVOICE, voices);
  for (Voice& v : w.voices) {
    v.basic_key = 0x4500;
    v.volume = 64;
    v.pan = 64;
    v.tuning = 1.0f;
    v.voice_flags = 3;
    v.data_flags = DATA_WAVE;
    v.wave_type = WAVE_OSCILLATOR;
    v.point_num = 2;
    v.points = {{1, 128}, {3, 40}};
  }
  return w;
}

// A qxNoise woice: one enabled unit with a sine oscillator.
inline Woice& add_noise_woice(Project& p, int32_t sample_num = 1000) {
  Woice& w = new_woice(p, WOICE_QXNOISE, 1, WAVE_NOISE);
  NoiseDesign& d = *set_voice_a(w, 0x4600, 1, 0.5f).noise;
  d.sample_num = sample_num;
  d.unit_num = 1;
  d.units.resize(1);
  NoiseUnit& u = d.units[0];
  u.enabled = 1;
  u.env_num = 1;
  u.env_points = {{10, 100}};
  u.osc_main = {1, 440.0f, 50.0f, 0.0f, 0};
  return w;
}

// An OGG woice holding `stream` (which need not be a valid Ogg Vorbis stream).
inline Woice& add_ogg_woice(Project& p, const std::vector<uint8_t>& stream) {
  Woice& w = new_woice(p, WOICE_OGG, 1, WAVE_OGG);
  OggStream& ogg = *set_voice_a(w, 0x4700, 2, 1.0f).ogg;
  ogg.header_values[0] = 1;
  ogg.header_values[1] = 2;
  ogg.header_values[2] = 3;
  ogg.size = static_cast<int32_t>(stream.size());
  ogg.data = stream;
  return w;
}

inline void put(Project& p, int32_t clock, int unit, int kind, int32_t value) {
  ASSERT_TRUE(event_put(p, clock, static_cast<uint8_t>(unit), static_cast<uint8_t>(kind), value));
  events_place(p);
}

// One woice of each kind (the qxVoice with two voices) and one unit "first", with events
// of units 0 to 3 that the generations tying unit i to woice i play through the units
// created for the woices, and kinds that every generation before x5x drops.
inline void add_every_woice_kind(Project& p, const std::vector<uint8_t>& ogg,
                                 int32_t noise_samples) {
  add_pcm_woice(p);
  add_voice_woice(p, 2);
  add_noise_woice(p, noise_samples);
  add_ogg_woice(p, ogg);
  add_unit(p, "first");
  put(p, 0, 0, EVENT_ON, 480);
  put(p, 0, 1, EVENT_KEY, 0x5000);
  put(p, 480, 2, EVENT_VOL, 90);
  put(p, 960, 3, EVENT_ON, 240);
  put(p, 0, 0, EVENT_LAST, 0);
  put(p, 0, 1, EVENT_VOICE_NO, 1);
  put(p, 0, 2, EVENT_GROUP_NO, 2);
  put(p, 0, 3, EVENT_CORRECT, 0x3F800000);
  put(p, 0, 3, EVENT_PAN_TIME, 10);
}

// A fresh folder under the test temporary directory, removed with its files at the end.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = testing::TempDir() + "tarvenox_writer_XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    const char* made = mkdtemp(buf.data());
    EXPECT_NE(made, nullptr);
    path_ = made ? made : "";
  }
  ~ScratchDir() {
    if (!path_.empty()) std::system(("rm -rf '" + path_ + "'").c_str());
  }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// A song whose conversion writes about 64 MB.
inline void write_large_song(const std::string& path) {
  Project p;
  project_setup(p);
  Woice& w = add_pcm_woice(p);
  PcmBuffer& pcm = *w.voices[0].pcm;
  pcm.sample_num = 16 << 20;
  pcm.samples.assign(size_t(pcm.sample_num) * 4, 0x55);
  add_unit(p, "big");
  put(p, 0, 0, EVENT_ON, 480);
  ASSERT_EQ(write_output(p, p, path, 9), 1) << p.error_text;
}

inline bool exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// Writes and captures the console lines.
struct WriteResult {
  int ok = 0;
  std::string console;
  std::vector<uint8_t> bytes;
  std::string error;
};

inline WriteResult write_capture(Project& p, const std::string& path, int target) {
  WriteResult r;
  p.console = [&r](std::string_view s) { r.console += s; };
  r.ok = write_output(p, p, path, target);
  p.console = nullptr;
  r.error = p.error_text;
  // A folder's files are the caller's to read.
  if (r.ok && !std::filesystem::is_directory(path)) r.bytes = song_parser::read_file(path);
  return r;
}

inline std::vector<uint8_t> le32(uint32_t v) {
  return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 24)};
}

// Builds expected bytes from pieces.
struct Bytes {
  std::vector<uint8_t> b;
  Bytes& str(const char* s) {
    b.insert(b.end(), s, s + std::strlen(s));
    return *this;
  }
  Bytes& u8(uint8_t v) {
    b.push_back(v);
    return *this;
  }
  Bytes& u16(uint16_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
    return *this;
  }
  Bytes& u32(uint32_t v) {
    auto x = le32(v);
    b.insert(b.end(), x.begin(), x.end());
    return *this;
  }
  Bytes& f32(float f) {
    uint32_t u;
    std::memcpy(&u, &f, 4);
    return u32(u);
  }
  Bytes& var(uint32_t v) {
    while (v >= 0x80) {
      b.push_back(static_cast<uint8_t>(0x80 | (v & 0x7F)));
      v >>= 7;
    }
    b.push_back(static_cast<uint8_t>(v));
    return *this;
  }
  Bytes& raw(const std::vector<uint8_t>& x) {
    b.insert(b.end(), x.begin(), x.end());
    return *this;
  }
  Bytes& zeros(size_t n) {
    b.insert(b.end(), n, 0);
    return *this;
  }
};

}  // namespace writer_fixture
