// OGG bodies: reading and writing, the memory callbacks, and decoding streams encoded here
// against what vorbisfile gives when it reads the same stream from a file.
#include <gtest/gtest.h>
#include <vorbis/vorbisfile.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "material/ogg.h"
#include "material_helpers.h"
#include "tests/ogg_encode.h"

using namespace material_test;

namespace {

// A tone of `frames` frames, a different pitch per channel.
Bytes encode_vorbis(int channels, long rate, int frames) {
  return ogg_encode::tone_stream(channels, static_cast<int>(rate), frames);
}

OggStream stream_of(const Bytes& data) {
  OggStream s;
  s.size = static_cast<int32_t>(data.size());
  s.data = data;
  return s;
}

// What vorbisfile gives for the same bytes read from a file.
Bytes decode_from_file(const Bytes& data, const std::string& name, int* channels, long* rate,
                       int64_t* total) {
  std::string path = testing::TempDir() + name;
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return {};
  std::fwrite(data.data(), 1, data.size(), f);
  std::fclose(f);
  OggVorbis_File vf;
  Bytes out;
  if (ov_fopen(path.c_str(), &vf) == 0) {
    *channels = ov_info(&vf, -1)->channels;
    *rate = ov_info(&vf, -1)->rate;
    *total = ov_pcm_total(&vf, -1);
    char chunk[4096];
    int bitstream = 0;
    long n;
    while ((n = ov_read(&vf, chunk, sizeof chunk, 0, 2, 1, &bitstream)) != 0) {
      if (n > 0) out.insert(out.end(), chunk, chunk + n);
    }
    ov_clear(&vf);
  }
  std::remove(path.c_str());
  return out;
}

PcmBuffer marked_pcm() {
  PcmBuffer pcm;
  pcm.channels = 2;
  pcm.sample_rate = 8000;
  pcm.bits = 8;
  pcm.sample_num = 3;
  pcm.samples = {1, 2, 3, 4, 5, 6};
  return pcm;
}

void expect_marked(const PcmBuffer& pcm) {
  EXPECT_EQ(pcm.channels, 2);
  EXPECT_EQ(pcm.sample_rate, 8000);
  EXPECT_EQ(pcm.bits, 8);
  EXPECT_EQ(pcm.sample_num, 3);
  EXPECT_EQ(pcm.samples, (Bytes{1, 2, 3, 4, 5, 6}));
}

}  // namespace

TEST(Ogg, DecodesLikeVorbisfileFromAFile) {
  struct Case {
    int channels;
    long rate;
    int frames;
  };
  for (const Case& c : {Case{1, 44100, 1000}, Case{2, 22050, 3000}}) {
    SCOPED_TRACE(c.channels);
    Bytes data = encode_vorbis(c.channels, c.rate, c.frames);
    ASSERT_FALSE(data.empty());
    OggStream s = stream_of(data);
    PcmBuffer pcm = marked_pcm();
    ASSERT_EQ(ogg_decode(&s, &pcm), 1);
    EXPECT_EQ(pcm.channels, c.channels);
    EXPECT_EQ(pcm.sample_rate, c.rate);
    EXPECT_EQ(pcm.bits, 16);
    EXPECT_EQ(pcm.sample_num, c.frames);
    EXPECT_EQ(pcm.samples.size(), static_cast<size_t>(c.frames * c.channels * 2));
    int channels = 0;
    long rate = 0;
    int64_t total = 0;
    Bytes reference = decode_from_file(data, "tarvenox_ogg_" + std::to_string(c.channels) + ".ogg",
                                       &channels, &rate, &total);
    EXPECT_EQ(channels, c.channels);
    EXPECT_EQ(rate, c.rate);
    EXPECT_EQ(total, c.frames);
    EXPECT_EQ(pcm.samples, reference);
    // Not all silence: the tone came through.
    size_t loud = 0;
    for (uint8_t b : pcm.samples) loud += b != 0;
    EXPECT_GT(loud, pcm.samples.size() / 2);
  }
}

TEST(Ogg, BrokenStreamsFailOrDecodeWithinBounds) {
  PcmBuffer pcm = marked_pcm();
  OggStream text =
      stream_of(Bytes{'n', 'o', 't', ' ', 'o', 'g', 'g', ' ', 'a', 't', ' ', 'a', 'l', 'l'});
  EXPECT_EQ(ogg_decode(&text, &pcm), 0);
  expect_marked(pcm);
  OggStream empty;
  EXPECT_EQ(ogg_decode(&empty, &pcm), 0);
  expect_marked(pcm);
  EXPECT_EQ(ogg_decode(nullptr, &pcm), 0);

  Bytes data = encode_vorbis(2, 22050, 2000);
  ASSERT_FALSE(data.empty());
  OggStream whole = stream_of(data);
  PcmBuffer full;
  ASSERT_EQ(ogg_decode(&whole, &full), 1);
  ASSERT_EQ(full.sample_num, 2000);
  // A damaged last page claiming a billion frames must not make the decoder allocate them.
  OggStream huge = stream_of(ogg_encode::with_last_granule(data, 1000000000ull));
  if (ogg_decode(&huge, &pcm)) {
    EXPECT_LE(pcm.sample_num, 4096);
    EXPECT_EQ(pcm.samples.size(), static_cast<size_t>(pcm.sample_num) * 4);
  } else {
    expect_marked(pcm);
  }
  // A page claiming more frames than the stream holds, yet few enough to be believed, gives
  // the frames that are there (the last block untrimmed): no silence is made up for the rest.
  OggStream inflated = stream_of(ogg_encode::with_last_granule(data, data.size() * 4000));
  ASSERT_EQ(ogg_decode(&inflated, &pcm), 1);
  EXPECT_GE(pcm.sample_num, 2000);
  EXPECT_LE(pcm.sample_num, 2000 + 4096);
  EXPECT_EQ(pcm.samples.size(), static_cast<size_t>(pcm.sample_num) * 4);
  EXPECT_TRUE(std::equal(full.samples.begin(), full.samples.end(), pcm.samples.begin()));
  // A last page ending earlier trims the stream; nothing beyond the buffer is written.
  OggStream shorter = stream_of(ogg_encode::with_last_granule(data, 1500));
  ASSERT_EQ(ogg_decode(&shorter, &pcm), 1);
  EXPECT_EQ(pcm.sample_num, 1500);
  EXPECT_EQ(pcm.samples, Bytes(full.samples.begin(), full.samples.begin() + 1500 * 4));

  // Cut short and with flipped bytes: each either fails and leaves the buffer, or gives
  // a consistent buffer.
  for (size_t cut = 1; cut < data.size(); cut += 5) {
    for (int flip = 0; flip < 2; ++flip) {
      Bytes broken(data.begin(), data.begin() + static_cast<long>(cut));
      if (flip) {
        broken = data;
        broken[cut] ^= 0x5A;
      }
      OggStream s = stream_of(broken);
      PcmBuffer out = marked_pcm();
      if (ogg_decode(&s, &out)) {
        EXPECT_EQ(out.bits, 16);
        EXPECT_EQ(out.samples.size(),
                  static_cast<size_t>(out.sample_num) * static_cast<size_t>(out.channels) * 2);
      } else {
        expect_marked(out);
      }
    }
  }
}

TEST(Ogg, MemoryCallbacks) {
  const uint8_t bytes[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  OggMemSource m;
  m.data = bytes;
  m.size = 10;
  uint8_t out[16] = {};
  EXPECT_EQ(ogg_mem_read(out, 2, 3, &m), 3u);
  EXPECT_EQ(ogg_mem_tell(&m), 6);
  EXPECT_EQ(out[5], 5);
  // Larger than what is left: only the whole items left, then nothing.
  EXPECT_EQ(ogg_mem_read(out, 3, 5, &m), 1u);
  EXPECT_EQ(out[3], 9);
  EXPECT_EQ(ogg_mem_tell(&m), 10);
  EXPECT_EQ(ogg_mem_read(out, 1, 1, &m), 0u);
  // Exactly what is left takes the same path.
  m.position = 8;
  EXPECT_EQ(ogg_mem_read(out, 1, 2, &m), 2u);
  EXPECT_EQ(ogg_mem_tell(&m), 10);

  EXPECT_EQ(ogg_mem_seek(&m, 0, SEEK_END), 0);
  EXPECT_EQ(ogg_mem_tell(&m), 10);
  EXPECT_EQ(ogg_mem_seek(&m, 3, SEEK_SET), 0);
  EXPECT_EQ(ogg_mem_seek(&m, 2, SEEK_CUR), 0);
  EXPECT_EQ(ogg_mem_tell(&m), 5);
  EXPECT_EQ(ogg_mem_seek(&m, 20, SEEK_SET), 0);  // beyond the end is allowed
  EXPECT_EQ(ogg_mem_tell(&m), 20);
  EXPECT_EQ(ogg_mem_read(out, 1, 1, &m), 0u);
  EXPECT_EQ(ogg_mem_seek(&m, 1, 7), -1);
  EXPECT_EQ(ogg_mem_tell(&m), 20);
  EXPECT_EQ(ogg_mem_seek(&m, INT64_MAX, SEEK_CUR), -1);
  EXPECT_EQ(ogg_mem_tell(&m), 20);
  // A negative offset makes the source unusable.
  EXPECT_EQ(ogg_mem_seek(&m, -1, SEEK_END), -1);
  EXPECT_EQ(ogg_mem_tell(&m), -1);
  EXPECT_EQ(ogg_mem_seek(&m, 0, SEEK_SET), -1);
  EXPECT_EQ(ogg_mem_read(out, 1, 1, &m), 0u);

  EXPECT_EQ(ogg_mem_close(&m), 0);
  EXPECT_EQ(ogg_mem_close(nullptr), -1);
  EXPECT_EQ(ogg_mem_tell(nullptr), -1);
  EXPECT_EQ(ogg_mem_seek(nullptr, 0, SEEK_SET), -1);
  EXPECT_EQ(ogg_mem_read(out, 1, 1, nullptr), static_cast<size_t>(-1));
}

TEST(Ogg, BodyReadWriteRoundTrip) {
  Bytes stream(1000);
  for (size_t i = 0; i < stream.size(); ++i) stream[i] = static_cast<uint8_t>(i * 7);
  Bytes body = {0x01, 0x00, 0x00, 0x00, 0xFE, 0xFF, 0xFF, 0xFF, 0x44, 0xAC, 0x00, 0x00, 0, 0, 0, 0};
  put_u32(body, 12, 1000);
  body.insert(body.end(), stream.begin(), stream.end());
  OggStream s;
  ByteSource src = memory_source(body);
  ASSERT_EQ(ogg_read_body(src, &s), 1);
  EXPECT_EQ(s.header_values[0], 1);
  EXPECT_EQ(s.header_values[1], -2);
  EXPECT_EQ(s.header_values[2], 44100);
  EXPECT_EQ(s.size, 1000);
  EXPECT_EQ(s.data, stream);
  EXPECT_EQ(ogg_body_size(&s), 1016);
  EXPECT_EQ(ogg_body_size(nullptr), 0);
  int ok = 0;
  EXPECT_EQ(written_bytes([&](FILE* f) { return ogg_write_body(&s, f); }, &ok), body);
  EXPECT_EQ(ok, 1);
  EXPECT_EQ(ogg_write_body(nullptr, stdout), 0);
  EXPECT_EQ(ogg_write_body(&s, nullptr), 0);
}

TEST(Ogg, BadBodiesAreRefusedAndLeaveTheStream) {
  Bytes good = {9, 0, 0, 0, 8, 0, 0, 0, 7, 0, 0, 0, 3, 0, 0, 0, 'a', 'b', 'c'};
  std::vector<Bytes> bad;
  Bytes zero = good;
  put_u32(zero, 12, 0);
  bad.push_back(zero);
  Bytes negative = good;
  put_u32(negative, 12, 0xFFFFFFFFu);
  bad.push_back(negative);
  Bytes huge = good;
  put_u32(huge, 12, 0x7FFFFFFFu);  // two gigabytes claimed in three bytes
  bad.push_back(huge);
  for (size_t cut = 0; cut < good.size(); ++cut)
    bad.emplace_back(good.begin(), good.begin() + static_cast<long>(cut));
  for (const Bytes& b : bad) {
    OggStream s;
    s.header_values[0] = 42;
    s.size = 1;
    s.data = {5};
    ByteSource src = memory_source(b);
    EXPECT_EQ(ogg_read_body(src, &s), 0) << b.size();
    EXPECT_EQ(s.header_values[0], 42);
    EXPECT_EQ(s.size, 1);
    EXPECT_EQ(s.data, Bytes{5});
  }
  OggStream s;
  ByteSource src = memory_source(good);
  EXPECT_EQ(ogg_read_body(src, &s), 1);
  EXPECT_EQ(s.data, (Bytes{'a', 'b', 'c'}));
  EXPECT_EQ(ogg_read_body(src, nullptr), 0);
}

TEST(Ogg, CodecTableIsInstalledAndReleasesStreams) {
  CapturedProject cp;
  EXPECT_EQ(cp.p.ogg_codec.ogg_decode, nullptr);
  ogg_codec_install(cp.p);
  EXPECT_EQ(cp.p.ogg_codec.ogg_body_size, &ogg_body_size);
  EXPECT_EQ(cp.p.ogg_codec.ogg_write_body, &ogg_write_body);
  EXPECT_EQ(cp.p.ogg_codec.ogg_decode, &ogg_decode);
  EXPECT_EQ(cp.p.ogg_codec.ogg_read_body, &ogg_read_body);
  EXPECT_EQ(cp.p.ogg_codec.ogg_release, &ogg_release);
  auto stream = std::make_unique<OggStream>();
  stream->data.resize(10);
  ogg_release(stream);
  EXPECT_EQ(stream, nullptr);
  std::unique_ptr<OggStream> none;
  ogg_release(none);
  EXPECT_EQ(none, nullptr);
}
