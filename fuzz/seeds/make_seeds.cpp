// Writes the raw seed inputs of every fuzz target into OUT/<target>/: the example files
// with a target byte before them, the material chunks the examples hold, the built-in
// bodies, small Ogg Vorbis streams, songs of every generation made with the tests'
// builders, and MIDI files built byte by byte. scripts/fuzz.sh --merge merges them into
// fuzz/corpus/, keeping the fewest that cover the same code.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/resources.h"
#include "tests/ogg_encode.h"
#include "tests/song_builder.h"

namespace fs = std::filesystem;

namespace {

std::vector<uint8_t> read_file(const fs::path& path) {
  std::vector<uint8_t> out;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return out;
  uint8_t buf[65536];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) out.insert(out.end(), buf, buf + n);
  std::fclose(f);
  return out;
}

void write_seed(const fs::path& dir, const std::string& name, const std::vector<uint8_t>& bytes) {
  fs::create_directories(dir);
  FILE* f = std::fopen((dir / name).c_str(), "wb");
  if (!f) return;
  if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
}

std::vector<uint8_t> with_byte(uint8_t first, const std::vector<uint8_t>& rest) {
  std::vector<uint8_t> out{first};
  out.insert(out.end(), rest.begin(), rest.end());
  return out;
}

// Every chunk of a song file of generation 2 to 5 with that tag: its bytes after the tag.
std::vector<std::vector<uint8_t>> chunks_of(const std::vector<uint8_t>& file, const char* tag) {
  std::vector<std::vector<uint8_t>> found;
  // Generations 3 to 5 have two 16-bit words after the magic.
  if (file.size() < 16) return found;
  size_t at = std::memcmp(file.data(), "QXMOSAIKA-05", 12) == 0 ? 16 : 20;
  while (at + 12 <= file.size()) {
    uint32_t size = 0;
    for (int k = 0; k < 4; ++k) size |= static_cast<uint32_t>(file[at + 8 + k]) << (8 * k);
    if (at + 12 + size > file.size()) break;
    if (std::memcmp(file.data() + at, tag, 8) == 0) {
      found.emplace_back(file.begin() + static_cast<long>(at) + 8,
                         file.begin() + static_cast<long>(at + 12 + size));
    }
    at += 12 + size;
  }
  return found;
}

std::vector<uint8_t> resource(const char* name) {
  const uint8_t* data = nullptr;
  int32_t size = 0;
  if (!find_resource(name, &data, &size)) return {};
  return std::vector<uint8_t>(data, data + size);
}

Bytes ogg_chunk_body(const std::vector<uint8_t>& stream) {
  Bytes body;
  body.u16(0).u16(0x4500).u32(3).f32(1.0f);
  body.u32(7).u32(8).u32(9).u32(static_cast<uint32_t>(stream.size()));
  body.b.insert(body.b.end(), stream.begin(), stream.end());
  return body;
}

Bytes noise_chunk_body(const std::vector<uint8_t>& noise, uint32_t layout) {
  Bytes body;
  body.u16(0).u16(0x4500).u32(0).f32(1.0f).u32(layout);
  body.b.insert(body.b.end(), noise.begin(), noise.end());
  return body;
}

Bytes voice_chunk_body(const std::vector<uint8_t>& voice) {
  Bytes body;
  body.u16(0).u16(0).f32(1.5f).u32(static_cast<uint32_t>(voice.size()));
  body.b.insert(body.b.end(), voice.begin(), voice.end());
  return body;
}

// Chunk bytes after the size field's owner: the size, then the body.
std::vector<uint8_t> sized(const Bytes& body) {
  return Bytes().u32(static_cast<uint32_t>(body.size())).add(body).b;
}

// MIDI files: big-endian fields, a chunk of a four-letter tag and its exact size.
struct Midi {
  std::vector<uint8_t> b;
  Midi& bytes(std::initializer_list<int> v) {
    for (int x : v) b.push_back(static_cast<uint8_t>(x));
    return *this;
  }
  Midi& be(uint32_t v, int n) {
    for (int i = n - 1; i >= 0; --i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return *this;
  }
  Midi& chunk(const char* tag, const Midi& body) {
    b.insert(b.end(), tag, tag + 4);
    be(static_cast<uint32_t>(body.b.size()), 4);
    b.insert(b.end(), body.b.begin(), body.b.end());
    return *this;
  }
  Midi& header(int format, int tracks, int division) {
    return chunk("MThd", Midi().be(format, 2).be(tracks, 2).be(division, 2));
  }
};

const std::initializer_list<int> END_OF_TRACK = {0, 0xFF, 0x2F, 0};

// The MIDI seeds: every kind of event in running status, tracks of several channels with
// overlapping notes and drums, an alien chunk, and the refused formats.
std::vector<std::pair<std::string, std::vector<uint8_t>>> midi_seeds() {
  Midi everything;
  everything.bytes({0, 0xFF, 0x03, 4, 'l', 'e', 'a', 'd', 0, 0xFF, 0x51, 3, 0x07, 0xA1, 0x20});
  everything.bytes({0, 0xFF, 0x58, 4, 6, 3, 24, 8, 0, 0xF0, 3, 0x7E, 0x09, 0xF7});
  everything.bytes({0, 0xF7, 2, 0x01, 0x02, 0, 0xC0, 41, 0, 0xB0, 7, 100, 0, 10, 20});
  everything.bytes({0, 0x90, 60, 100, 48, 64, 90, 0, 0xE0, 0, 64, 48, 0x90, 60, 0, 0, 67, 70});
  everything.bytes({0x81, 0x00, 0xA0, 67, 30, 0, 0xD0, 20, 0, 0x80, 64, 0, 0, 0xFF, 0x51, 3});
  everything.bytes({0x09, 0x27, 0xC0, 0x60, 0xFF, 0x01, 0x81, 0x00});
  for (int i = 0; i < 128; ++i) everything.b.push_back('t');
  everything.bytes(END_OF_TRACK);
  Midi format0 = Midi().header(0, 1, 96).chunk("MTrk", everything);

  Midi conductor;
  conductor.bytes({0, 0xFF, 0x03, 4, 's', 'o', 'n', 'g', 0, 0xFF, 0x58, 4, 3, 2, 24, 8});
  conductor.bytes({0x83, 0x60, 0xFF, 0x51, 3, 0x09, 0x27, 0xC0}).bytes(END_OF_TRACK);
  Midi chords;
  for (int k = 0; k < 4; ++k) chords.bytes({0, 0x91, 60 + 4 * k, 80 + k});
  chords.bytes({0x83, 0x60, 0x81, 60, 0, 0, 64, 0, 0, 0x92, 48, 50});
  chords.bytes(END_OF_TRACK);
  Midi drums;
  for (int k = 0; k < 8; ++k) drums.bytes({0, 0x99, k % 2 ? 42 : 36, 100, 60, 0x89, 36, 0});
  drums.bytes(END_OF_TRACK);
  Midi format1 = Midi().header(1, 3, 480);
  format1.chunk("MTrk", conductor).chunk("MTrk", chords).chunk("MTrk", drums);

  Midi alien = Midi().chunk("MThd", Midi().be(1, 2).be(1, 2).be(1, 2).be(0, 4));
  alien.chunk("XFIH", Midi().bytes({1, 2, 3})).chunk("MTrk", everything);

  return {{"format0", format0.b},
          {"format1", format1.b},
          {"alien", alien.b},
          {"format2", Midi().header(2, 1, 480).chunk("MTrk", everything).b},
          {"smpte", Midi().header(1, 1, 0xE250).chunk("MTrk", everything).b},
          {"cut", std::vector<uint8_t>(format1.b.begin(), format1.b.end() - 9)}};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: make_seeds EXAMPLES_DIR OUT_DIR\n");
    return 2;
  }
  const fs::path examples = argv[1];
  const fs::path out = argv[2];

  std::vector<std::pair<std::string, std::vector<uint8_t>>> files;
  for (const auto& e : fs::directory_iterator(examples)) {
    const std::string ext = e.path().extension().string();
    if (ext == ".qxprj" || ext == ".qxi")
      files.emplace_back(e.path().filename(), read_file(e.path()));
  }

  // Songs the builders make: a legacy song, an x2x song with per-unit events, a tune, and
  // an x5x song with an OGG woice, effects and texts.
  const std::vector<uint8_t> tone = ogg_encode::tone_stream(1, 22050, 600);
  const std::vector<uint8_t> stereo = ogg_encode::tone_stream(2, 44100, 300);
  Bytes legacy = Bytes().text(song_magic(1)).add(project_old("old", 120.0f, 480, 4));
  legacy.add(unit_old("u0"))
      .add(pcm_chunk("matePCM=", 0x4500, 0, 1, 8, 11025, 1.0f, {128, 130, 126}));
  legacy.add(unit_events("EVENT===", 0, EVENT_ON, {{0, 480}, {480, 240}})).add(end_chunk(1));
  Bytes x2x = song_header(2).add(
      even_mast({{EVENT_BEAT_CLOCK, 0, 480}, {EVENT_BEAT_NUM, 0, 3}, {EVENT_LAST, 1920, 0}}));
  x2x.add(qxsg_unit(1, 0)).add(pcm_chunk("matePCM ", 0x4500, 1, 2, 16, 44100, 1.0f, {1, 2, 3, 4}));
  x2x.add(unit_events("evenUNIT", 0, EVENT_ON, {{0, 480}, {960, 120}}));
  x2x.add(unit_events("evenUNIT", 0, EVENT_KEY, {{0, 0x4000}})).add(end_chunk(2));
  Bytes tune = song_header(4, true).add(even_mast({{EVENT_BEAT_CLOCK, 0, 4800}}));
  tune.add(num_unit(1))
      .add(assist("assiUNIT", 0, "t"))
      .add(Bytes().chunk("mateOGGV", ogg_chunk_body(tone)));
  tune.add(unit_events("evenUNIT", 0, EVENT_ON, {{0, 4800}})).add(end_chunk(4));
  Bytes x5x = song_header(5).add(master_v5(480, 4, 128.0f, 0, 1920));
  x5x.add(
      event_v5({{0, 0, EVENT_VOICE_NO, 0}, {0, 0, EVENT_ON, 480}, {480, 1, EVENT_PAN_TIME, 3}}));
  x5x.add(text_chunk("textNAME", "song")).add(text_chunk("textCOMM", "comment"));
  x5x.add(delay_chunk(1, 0, 0.25f, 30.0f))
      .add(overdrive_new(0, 90.0f, 2.0f))
      .add(overdrive_old(1, 4.0f));
  x5x.add(Bytes().chunk("mateOGGV", ogg_chunk_body(stereo))).add(assist("assiWOIC", 0, "ogg"));
  x5x.add(Bytes().chunk("mateQXN ", noise_chunk_body(resource("QXN_BD6"), 1)));
  x5x.add(num_unit(2)).add(assist("assiUNIT", 1, "second")).add(end_chunk(5));
  files.emplace_back("legacy.qxprj", legacy.b);
  files.emplace_back("x2x.qxprj", x2x.b);
  files.emplace_back("tune.qxtune", tune.b);
  files.emplace_back("x5x_ogg.qxprj", x5x.b);

  for (const auto& [name, bytes] : files) {
    const bool qxi = name.ends_with(".qxi");
    for (uint8_t t : {1, 2, 3, 5, 6, 7, 9, 11}) {
      write_seed(out / "fuzz_convert", name + "." + std::to_string(t), with_byte(t, bytes));
    }
    for (uint8_t t = 0; t < 9; ++t) {
      write_seed(out / "fuzz_roundtrip", name + "." + std::to_string(t + 1), with_byte(t, bytes));
    }
    if (qxi) {
      for (uint8_t t : {1, 5, 7, 10}) {
        write_seed(out / "fuzz_qxi", name + "." + std::to_string(t), with_byte(t, bytes));
      }
    }
    for (const auto& c : chunks_of(bytes, "mateQXV ")) write_seed(out / "fuzz_qxvoice", name, c);
    for (const auto& c : chunks_of(bytes, "mateQXN ")) write_seed(out / "fuzz_qxnoise", name, c);
    for (const auto& c : chunks_of(bytes, "mateOGGV")) write_seed(out / "fuzz_ogg", name, c);
  }
  // Instrument files beyond the example: every command, a wait past the end, a bad unit.
  Bytes qxi = Bytes().u8(120).u8(4);
  for (uint8_t cmd = 1; cmd <= 6; ++cmd) qxi.u8(cmd % 7).u8(cmd).u8(static_cast<uint8_t>(cmd * 9));
  qxi.u8(9).u8(2).u8(4).u8(0).u8(1);
  write_seed(out / "fuzz_qxi", "commands.7", with_byte(7, qxi.b));

  for (const auto& [name, bytes] : midi_seeds()) {
    for (uint8_t t : {1, 3, 6, 9, 10}) {
      write_seed(out / "fuzz_midi", name + "." + std::to_string(t), with_byte(t, bytes));
    }
  }

  for (const char* name : {"QXV_TRIA784", "QXV_SAW784", "QXV_RECT784"}) {
    write_seed(out / "fuzz_qxvoice", name, sized(voice_chunk_body(resource(name))));
  }
  // An oscillator wave with an envelope, two voices.
  Bytes osc = Bytes().text("QXVOICE-").u32(20051101).u32(0).var(0).var(0).var(0).var(2);
  for (int v = 0; v < 2; ++v) {
    osc.var(11520).var(100).var(64).var(0x3F800000).var(3).var(3);
    osc.var(1).var(3).var(1).var(128).var(3).var(40).var(5).var(0xFFFFFFF0u);
    osc.var(100).var(2).var(0).var(1).var(0).var(0).var(10).var(128).var(30).var(0);
  }
  write_seed(out / "fuzz_qxvoice", "oscillator", sized(voice_chunk_body(osc.b)));
  for (const char* name : {"QXN_HATC", "QXN_BD6"}) {
    for (uint32_t layout : {0u, 1u}) {
      write_seed(out / "fuzz_qxnoise", std::string(name) + "." + std::to_string(layout),
                 sized(noise_chunk_body(resource(name), layout)));
    }
  }
  write_seed(out / "fuzz_ogg", "mono", sized(ogg_chunk_body(tone)));
  write_seed(out / "fuzz_ogg", "stereo", sized(ogg_chunk_body(stereo)));
  write_seed(out / "fuzz_ogg", "six", sized(ogg_chunk_body(ogg_encode::tone_stream(6, 8000, 100))));
  return 0;
}
