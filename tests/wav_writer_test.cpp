// WAV files of woices: whole files byte for byte, the names they take, what a WAV file
// cannot hold, and the target as a whole: rendered as target 1 renders, and read by readers
// no one here wrote (Python's wave module and sox).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>

#include "io/downgrade.h"
#include "io/wav_writer.h"
#include "platform/streams.h"
#include "tests/ogg_encode.h"
#include "tests/writer_fixture.h"

using namespace writer_fixture;
namespace fs = std::filesystem;

namespace {

struct Written {
  int ok = 0;
  std::string error;
  std::vector<uint8_t> bytes;
};

Written wav_of(Project& p, const Woice& w) {
  TargetWoice tw;
  tw.source = &w;
  MemoryStream out;
  Written r;
  r.ok = write_wav(p, tw, out.file());
  EXPECT_TRUE(out.finish());
  r.error = p.error_text;
  r.bytes.assign(out.data(), out.data() + out.size());
  return r;
}

// The files of a folder in name order, with their bytes.
std::map<std::string, std::vector<uint8_t>> folder_files(const std::string& dir) {
  std::map<std::string, std::vector<uint8_t>> files;
  for (const auto& e : fs::directory_iterator(dir)) {
    files[e.path().filename().string()] = song_parser::read_file(e.path().string());
  }
  return files;
}

}  // namespace

TEST(WavFile, StoredPcmWholeFile) {
  struct Case {
    int channels, bits, rate, frames;
    int32_t basic_key;
    uint32_t root, fraction;
  };
  for (const Case& c : {Case{1, 8, 11025, 3, 0x4580, 69, 0x80000000u},  // odd: a pad byte
                        Case{2, 16, 44100, 2, 0x3C00, 60, 0}, Case{1, 24, 48000, 1, -5, 0, 0},
                        Case{2, 8, 22050, 0, 0xFFFF, 127, 0xFF000000u}}) {
    SCOPED_TRACE(c.bits);
    Project p;
    project_setup(p);
    Woice& w = add_pcm_woice(p, c.channels, c.bits, c.rate, c.frames);
    w.voices[0].basic_key = c.basic_key;
    const Written r = wav_of(p, w);
    ASSERT_EQ(r.ok, 1) << r.error;
    const auto data = static_cast<uint32_t>(c.frames * c.channels * c.bits / 8);
    const auto block = static_cast<uint16_t>(c.channels * c.bits / 8);
    Bytes want;
    want.str("RIFF").u32(4 + 24 + 44 + 8 + data + (data & 1)).str("WAVE");
    want.str("fmt ").u32(16).u16(1).u16(static_cast<uint16_t>(c.channels)).u32(c.rate);
    want.u32(c.rate * block).u16(block).u16(static_cast<uint16_t>(c.bits));
    want.str("smpl").u32(36).u32(0).u32(0).u32(1000000000u / c.rate).u32(c.root).u32(c.fraction);
    want.u32(0).u32(0).u32(0).u32(0);
    want.str("data").u32(data);
    for (uint32_t i = 0; i < data; ++i) want.u8(static_cast<uint8_t>(i));
    if (data & 1) want.u8(0);
    EXPECT_EQ(r.bytes, want.b);
  }
}

TEST(WavFile, PcmAWavFileCannotHoldIsRefused) {
  struct Case {
    int channels, bits, rate;
  };
  for (const Case& c : {Case{2, 12, 44100}, Case{2, 0, 44100}, Case{0, 16, 44100},
                        Case{1, 40, 44100}, Case{1, 16, 0}}) {
    Project p;
    project_setup(p);
    const Written r = wav_of(p, add_pcm_woice(p, c.channels, c.bits, c.rate));
    EXPECT_EQ(r.ok, 0) << c.channels << " " << c.bits << " " << c.rate;
    EXPECT_EQ(r.error, "write wav");
  }
}

TEST(WavFile, NamesEveryBuildCanMake) {
  const std::pair<const char*, const char*> cases[] = {
      {"voice_00", "07 voice_00.wav"},
      {"", "07.wav"},
      {"a/b\\c:d*e?f", "07 a_b_c_d_e_f.wav"},
      {"\"<|>\"", "07 _____.wav"},
      {"dots...", "07 dots.._.wav"},
      {"blank ", "07 blank_.wav"},
      {"\x81\x40tab\tend", "07 _@tab_end.wav"},
      {"sixteen chars ok", "07 sixteen chars ok.wav"},
  };
  for (const auto& [name, want] : cases) {
    Woice w;
    // The field is not a C string: sixteen letters fill it without a NUL.
    std::memcpy(w.name, name, std::min(std::strlen(name), sizeof w.name));
    EXPECT_EQ(wav_file_name(7, w), want);
  }
}

// Every kind of woice: the same files as from the song written as target 1 first, and each
// read by Python's wave module and by sox as the header says.
TEST(WavTarget, RendersAsTarget1AndOtherReadersAgree) {
  ScratchDir dir;
  Project p;
  project_setup(p);
  add_every_woice_kind(p, ogg_encode::tone_stream(1, 22050, 300), 400);
  add_pcm_woice(p, 1, 8, 8000, 5);
  ASSERT_EQ(write_capture(p, dir.file("song.woices"), TARGET_WAV).ok, 1);
  ASSERT_EQ(write_capture(p, dir.file("song1.qxprj"), TARGET_X1X_PCM).ok, 1);
  Project q;
  int tune = 0;
  ASSERT_EQ(load_input(q, dir.file("song1.qxprj"), &tune), 1) << q.report_text;
  ASSERT_EQ(write_capture(q, dir.file("song1.woices"), TARGET_WAV).ok, 1);
  const auto direct = folder_files(dir.file("song.woices"));
  const auto through = folder_files(dir.file("song1.woices"));
  ASSERT_EQ(direct.size(), 5u);
  ASSERT_EQ(through.size(), direct.size());
  for (auto a = direct.begin(), b = through.begin(); a != direct.end(); ++a, ++b) {
    EXPECT_EQ(a->second, b->second) << a->first << " and " << b->first;
  }

  const char* script = R"PY(
import json, os, subprocess, sys, wave
out = {}
for name in sorted(os.listdir(sys.argv[1])):
    path = os.path.join(sys.argv[1], name)
    with wave.open(path) as w:
        read = [w.getnchannels(), w.getsampwidth() * 8, w.getframerate(), w.getnframes()]
    sox = subprocess.run(['sox', '--i', '-c', path], capture_output=True, text=True)
    rate = subprocess.run(['sox', '--i', '-r', path], capture_output=True, text=True)
    out[name] = read + [int(sox.stdout or -1), int(rate.stdout or -1)]
print(json.dumps(out))
)PY";
  const std::string py = dir.file("read.py");
  FILE* f = std::fopen(py.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fputs(script, f);
  std::fclose(f);
  FILE* pipe =
      popen(("/usr/bin/python3 '" + py + "' '" + dir.file("song.woices") + "'").c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string text;
  char buf[4096];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;) text.append(buf, n);
  ASSERT_EQ(pclose(pipe), 0) << text;
  const nlohmann::json read = nlohmann::json::parse(text);
  ASSERT_EQ(read.size(), direct.size());
  for (const auto& [name, bytes] : direct) {
    SCOPED_TRACE(name);
    ASSERT_GE(bytes.size(), 88u);
    const auto u16 = [&](size_t at) { return int64_t{bytes[at]} | int64_t{bytes[at + 1]} << 8; };
    const auto u32 = [&](size_t at) { return u16(at) | u16(at + 2) << 16; };
    const int64_t channels = u16(22), bits = u16(34);
    const int64_t rate = u32(24), frames = u32(84) / (channels * bits / 8);
    EXPECT_EQ(read[name], nlohmann::json({channels, bits, rate, frames, channels, rate}));
  }
}
