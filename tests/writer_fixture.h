// Builders for the writer tests: a Project set up as the dialogue sets it up, woices of
// every kind added by hand, a scratch folder, and a write that captures the console.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "io/writer.h"
#include "material/ogg.h"
#include "project/events.h"
#include "project/project.h"
#include "tests/song_parser.h"

namespace writer_fixture {

inline void project_setup(Project& p, int32_t event_capacity = 200) {
  project_clear(p);
  p.group_max = 7;
  const char* failed = nullptr;
  ASSERT_TRUE(project_create_tables(p, &failed));
  build_freq_table(p);
  ogg_codec_install(p);
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
  std::strncpy(found->name, name, sizeof found->name);
  found->name_len = NAME_FIELD_SIZE;
  return *found;
}

// A PCM woice of `frames` frames whose bytes count 0, 1, 2...
inline Woice& add_pcm_woice(Project& p, int channels = 2, int bits = 16, int rate = 44100,
                            int frames = 3) {
  Woice* w = woice_add(p);
  EXPECT_NE(w, nullptr);
  EXPECT_TRUE(woice_alloc_voices(p, *w, 1));
  EXPECT_TRUE(voice_init(w->voices[0], WAVE_PCM));
  w->type = WOICE_PCM;
  Voice& v = w->voices[0];
  v.basic_key = 0x4800;
  v.voice_flags = 3;
  v.tuning = 1.25f;
  PcmBuffer& pcm = *v.pcm;
  pcm.channels = channels;
  pcm.bits = bits;
  pcm.sample_rate = rate;
  pcm.sample_num = frames;
  pcm.samples.resize(static_cast<size_t>(frames * channels * bits / 8));
  for (size_t i = 0; i < pcm.samples.size(); ++i) pcm.samples[i] = static_cast<uint8_t>(i);
  return *w;
}

// A qxVoice woice with `voices` oscillator voices (no envelope).
inline Woice& add_voice_woice(Project& p, int voices = 1) {
  Woice* w = woice_add(p);
  EXPECT_NE(w, nullptr);
  EXPECT_TRUE(woice_alloc_voices(p, *w, voices));
  w->type = WOICE_QXVOICE;
  for (Voice& v : w->voices) {
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
  return *w;
}

// A qxNoise woice: one enabled unit with a sine oscillator.
inline Woice& add_noise_woice(Project& p, int32_t sample_num = 1000) {
  Woice* w = woice_add(p);
  EXPECT_NE(w, nullptr);
  EXPECT_TRUE(woice_alloc_voices(p, *w, 1));
  EXPECT_TRUE(voice_init(w->voices[0], WAVE_NOISE));
  w->type = WOICE_QXNOISE;
  Voice& v = w->voices[0];
  v.basic_key = 0x4600;
  v.voice_flags = 1;
  v.tuning = 0.5f;
  NoiseDesign& d = *v.noise;
  d.sample_num = sample_num;
  d.unit_num = 1;
  d.units.resize(1);
  NoiseUnit& u = d.units[0];
  u.enabled = 1;
  u.env_num = 1;
  u.env_points = {{10, 100}};
  u.osc_main = {1, 440.0f, 50.0f, 0.0f, 0};
  return *w;
}

// An OGG woice holding `stream` (which need not be a valid Ogg Vorbis stream).
inline Woice& add_ogg_woice(Project& p, const std::vector<uint8_t>& stream) {
  Woice* w = woice_add(p);
  EXPECT_NE(w, nullptr);
  EXPECT_TRUE(woice_alloc_voices(p, *w, 1));
  EXPECT_TRUE(voice_init(w->voices[0], WAVE_OGG));
  w->type = WOICE_OGG;
  Voice& v = w->voices[0];
  v.basic_key = 0x4700;
  v.voice_flags = 2;
  v.tuning = 1.0f;
  v.ogg->header_values[0] = 1;
  v.ogg->header_values[1] = 2;
  v.ogg->header_values[2] = 3;
  v.ogg->size = static_cast<int32_t>(stream.size());
  v.ogg->data = stream;
  return *w;
}

inline void put(Project& p, int32_t clock, int unit, int kind, int32_t value) {
  ASSERT_TRUE(event_put(p, clock, static_cast<uint8_t>(unit), static_cast<uint8_t>(kind), value));
  p.event_last_put = nullptr;
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
  r.ok = write_output(p, path, target);
  p.console = nullptr;
  r.error = p.error_text;
  if (r.ok) r.bytes = song_parser::read_file(path);
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
