// The worst inputs found, converted by the program in a child whose address space is
// limited: an OGG stream whose last page claims far more than it holds, the longest
// material a target legitimately makes, an event list of many small chunks, a MIDI file whose
// dense first track belies the rest, and counts and sizes that lie (more of these in the reader
// tests). Each converts, its output within a bound, or ends in its clean error.
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/ogg_encode.h"
#include "tests/program_run.h"
#include "tests/song_builder.h"
#include "tests/writer_fixture.h"

namespace {

// The address sanitizer reserves terabytes of address space for itself: there the inputs
// run without the limit.
#ifdef __SANITIZE_ADDRESS__
constexpr bool LIMIT_ADDRESS_SPACE = false;
#else
constexpr bool LIMIT_ADDRESS_SPACE = true;
#endif

constexpr rlim_t ADDRESS_SPACE = rlim_t(256) << 20;

void limit_address_space() {
  if (!LIMIT_ADDRESS_SPACE) return;
  struct rlimit limit = {ADDRESS_SPACE, ADDRESS_SPACE};
  setrlimit(RLIMIT_AS, &limit);
}

Bytes ogg_chunk(const std::vector<uint8_t>& stream) {
  Bytes body;
  body.u16(0).u16(0x4500).u32(0).f32(1.0f).u32(0).u32(0).u32(0);
  body.u32(static_cast<uint32_t>(stream.size()))
      .b.insert(body.b.end(), stream.begin(), stream.end());
  return Bytes().chunk("mateOGGV", body);
}

// A qxNoise body of the longest length with four units of every part.
Bytes longest_noise_chunk() {
  Bytes noise = Bytes().text("QXNOISE-").u32(20120418).var(1000000).u8(4);
  for (int u = 0; u < 4; ++u) {
    noise.var(4 | 8 | 16 | 32 | 64).var(3);
    for (int k = 0; k < 3; ++k) noise.var(2000).var(100);
    noise.u8(20);
    for (int o = 0; o < 3; ++o) noise.var(o + 1).var(0).var(4400).var(1000).var(0);
  }
  return Bytes().chunk("mateQXN ", Bytes().u16(0).u16(0x4500).u32(0).f32(1.0f).u32(1).add(noise));
}

Bytes x5x_song(const Bytes& chunks) {
  return song_header(5)
      .add(master_v5(480, 4, 120.0f, 0, 0))
      .add(event_v5({{0, 0, EVENT_ON, 480}}))
      .add(chunks)
      .add(num_unit(1))
      .add(end_chunk(5));
}

// A first track dense with volume and pan changes, then a track of one 60 MB sysex: the
// controls to come must not be guessed from the first track's rate over the whole file.
Bytes dense_then_sparse_midi() {
  const auto be = [](Bytes& b, uint32_t v, int n) {
    for (int i = n - 1; i >= 0; --i) b.u8(v >> (8 * i));
  };
  Bytes first = Bytes().u8(0).u8(0x90).u8(60).u8(100).u8(0).u8(0xB0).u8(7).u8(64);
  for (int i = 0; i < 20000; ++i) first.u8(0).u8(10).u8(i % 128).u8(0).u8(7).u8(i % 128);
  first.u8(1).u8(0x80).u8(60).u8(0).u8(0).u8(0xFF).u8(0x2F).u8(0);
  const uint32_t sysex = 60u << 20;
  Bytes second = Bytes().u8(0).u8(0xF0);
  for (int shift = 21; shift > 0; shift -= 7) second.u8(0x80 | ((sysex >> shift) & 0x7F));
  second.u8(sysex & 0x7F);
  second.b.resize(second.b.size() + sysex - 1, 0);
  second.u8(0xF7).u8(0).u8(0xFF).u8(0x2F).u8(0);
  Bytes midi = Bytes().text("MThd");
  be(midi, 6, 4);
  be(midi, 1, 2);
  be(midi, 2, 2);
  be(midi, 480, 2);
  for (const Bytes* track : {&first, &second}) {
    midi.text("MTrk");
    be(midi, static_cast<uint32_t>(track->size()), 4);
    midi.add(*track);
  }
  return midi;
}

struct Case {
  const char* name;
  Bytes file;
  int target;
  const char* result;  // the end of the program's result line
  uintmax_t output_max = 0;
  const char* input = "song.qxprj";
};

}  // namespace

TEST(ResourceLimits, WorstInputsConvertOrFailCleanlyInLittleMemory) {
  writer_fixture::ScratchDir dir;
  const std::vector<uint8_t> stream = ogg_encode::tone_stream(2, 44100, 40000);
  ASSERT_FALSE(stream.empty());
  // Just below the claim the decoder still believes: 31 million frames from 8 KB.
  const std::vector<uint8_t> forged = ogg_encode::with_last_granule(stream, stream.size() * 4000);

  Bytes many_chunks = song_header(4).add(even_mast({}));
  for (uint32_t i = 0; i < 60000; ++i)
    many_chunks.add(unit_events("evenUNIT", 0, EVENT_ON, {{i, 1}}));
  many_chunks.add(num_unit(1)).add(end_chunk(4));

  const std::vector<Case> cases = {
      {"OGG whose last page claims 120 MB", x5x_song(ogg_chunk(forged)), 7, "\tout/song.qxprj",
       1 << 20},
      {"qxNoise of the longest length, rendered", x5x_song(longest_noise_chunk()), 1,
       "\tout/song.qxprj", 2 << 20},
      {"60000 one-event chunks", many_chunks, 6, "\tout/song.qxprj", 1 << 20},
      {"qxVoice of 2^28 voices",
       x5x_song(Bytes().chunk("mateQXV ", Bytes()
                                              .u16(0)
                                              .u16(0)
                                              .f32(1.0f)
                                              .u32(20)
                                              .text("QXVOICE-")
                                              .u32(20060111)
                                              .u32(8)
                                              .var(0)
                                              .var(0)
                                              .var(0)
                                              .var(0x0FFFFFFF)
                                              .var(0))),
       9, ": Error reading file: read qxv."},
      {"OGG of 2 GB in a few bytes",
       x5x_song(Bytes().chunk("mateOGGV", Bytes()
                                              .u16(0)
                                              .u16(0)
                                              .u32(0)
                                              .f32(1.0f)
                                              .u32(0)
                                              .u32(0)
                                              .u32(0)
                                              .u32(0x7FFFFFF0)
                                              .text("OggS"))),
       9, ": Error reading file: read oggv."},
      {"MIDI file of a dense short track and a long sparse one", dense_then_sparse_midi(), 9,
       "\tout/song.qxprj", 1 << 20, "song.mid"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::create_directories(dir.file("out"));
    FILE* f = std::fopen(dir.file(c.input).c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(c.file.b.data(), 1, c.file.size(), f);
    std::fclose(f);
    const ProgramRun r =
        run_tarvenox(dir.path(), {"-t", std::to_string(c.target), "-o", "out", c.input}, -1, 0,
                     limit_address_space);
    const bool converted = std::string(c.result).starts_with("\t");
    EXPECT_EQ(r.status, converted ? 0 : 1) << r.out;
    EXPECT_TRUE(r.out.ends_with(std::string(c.result) + "\n")) << r.out;
    EXPECT_EQ(std::filesystem::exists(dir.file("out/song.qxprj")), converted);
    if (converted && std::filesystem::exists(dir.file("out/song.qxprj"))) {
      EXPECT_LE(std::filesystem::file_size(dir.file("out/song.qxprj")), c.output_max);
    }
    std::filesystem::remove_all(dir.file("out"));
    std::filesystem::remove(dir.file(c.input));
  }
}
